// The dialog's remembered state in QSettings.
#include "app/remembered_state.h"

#include <QSettings>

namespace qmv::app {

namespace {

const QString kLastOpenFolderKey = QStringLiteral("lastOpenFolder");
const QString kLastRecordingKey = QStringLiteral("lastRecording");
const QString kLastDestinationKey = QStringLiteral("lastDestination");
const QString kRecentKey = QStringLiteral("recentRecordings");
constexpr int kRecentCount = 8;

}  // namespace

RememberedState::RememberedState(const QString& file)
    : settings_(file.isEmpty()
                    ? std::make_unique<QSettings>(QStringLiteral("qmv2avi"), QStringLiteral("qmv2avi"))
                    : std::make_unique<QSettings>(file, QSettings::IniFormat)) {}

RememberedState::~RememberedState() = default;

QString RememberedState::lastOpenFolder() const { return settings_->value(kLastOpenFolderKey).toString(); }

void RememberedState::setLastOpenFolder(const QString& folder) {
  settings_->setValue(kLastOpenFolderKey, folder);
}

QString RememberedState::destinationFor(const QString& recording) const {
  if (settings_->value(kLastRecordingKey).toString() != recording) return {};
  return settings_->value(kLastDestinationKey).toString();
}

void RememberedState::rememberDestination(const QString& recording, const QString& destination) {
  settings_->setValue(kLastRecordingKey, recording);
  settings_->setValue(kLastDestinationKey, destination);
}

QStringList RememberedState::recent() const { return settings_->value(kRecentKey).toStringList(); }

void RememberedState::addRecent(const QString& path) {
  QStringList list = recent();
  list.removeAll(path);
  list.prepend(path);
  while (list.size() > kRecentCount) list.removeLast();
  settings_->setValue(kRecentKey, list);
}

DialogOptions RememberedState::options() const { return loadDialogOptions(*settings_); }

void RememberedState::setOptions(const DialogOptions& options) { saveDialogOptions(*settings_, options); }

}  // namespace qmv::app
