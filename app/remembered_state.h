// What the dialog remembers between runs: the last folders, the destination of the last recording, the
// recently opened recordings and the options.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>

#include "app/options_dialog.h"

class QSettings;

namespace qmv::app {

class RememberedState {
 public:
  // file: an ini file; empty = the user's settings.
  explicit RememberedState(const QString& file);
  ~RememberedState();
  RememberedState(const RememberedState&) = delete;
  RememberedState& operator=(const RememberedState&) = delete;

  // Where the file-open dialog starts.
  QString lastOpenFolder() const;
  void setLastOpenFolder(const QString& folder);

  // The destination chosen for recording, when it is the recording last remembered; else empty.
  QString destinationFor(const QString& recording) const;
  void rememberDestination(const QString& recording, const QString& destination);

  // The recently opened recordings, newest first.
  QStringList recent() const;
  void addRecent(const QString& path);

  DialogOptions options() const;
  void setOptions(const DialogOptions& options);

 private:
  std::unique_ptr<QSettings> settings_;
};

}  // namespace qmv::app
