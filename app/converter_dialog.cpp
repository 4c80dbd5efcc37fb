// The main dialog: its controls laid out in dialog units, the enabling rule, data exchange and the commands.
#include "app/converter_dialog.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <algorithm>
#include <climits>
#include <filesystem>
#include <system_error>

#include "app/about_dialog.h"
#include "app/app_icon.h"
#include "app/compress_options_dialog.h"
#include "app/control_ids.h"
#include "app/conversion_thread.h"
#include "app/dialog_units.h"
#include "app/folder_browser.h"
#include "output/output_file.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace qmv::app {

namespace {

const QString kCaption = QStringLiteral("QMV to AVI Converter");
// String 101: "QMV2AVI information", Alt+A selects it.
const QString kAboutItemText = QStringLiteral("QMV2AVI 정보(&A)...");
const QString kWarningCaption = QStringLiteral("QMV to AVI");

// Keys of the remembered state.
const QString kLastOpenFolderKey = QStringLiteral("lastOpenFolder");
const QString kLastRecordingKey = QStringLiteral("lastRecording");
const QString kLastDestinationKey = QStringLiteral("lastDestination");
const QString kRecentKey = QStringLiteral("recentRecordings");
constexpr int kRecentCount = 8;

QString withTrailingSeparator(const QString& folder) {
  return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

QString folderOf(const QString& filePath) {
  return withTrailingSeparator(QFileInfo(filePath).absolutePath());
}

std::string localPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

QStringList defaultOpenFiles(QWidget* parent, const QString& initialDir) {
  QString selectedFilter;
  return QFileDialog::getOpenFileNames(parent, QStringLiteral("Open DVR File"), initialDir, openFileFilter(),
                                       &selectedFilter, QFileDialog::HideNameFilterDetails);
}

bool defaultCompletion(QWidget* parent, const QString& text, const QString& caption) {
  const std::unique_ptr<QMessageBox> box = completionBox(parent, text, caption);
  box->exec();
  return box->clickedButton() != box->button(QMessageBox::Ok) && box->clickedButton() != nullptr;
}

bool defaultConfirmReplace(QWidget* parent, const QStringList& existing) {
  const std::unique_ptr<QMessageBox> box = replaceBox(parent, existing);
  box->exec();
  return box->clickedButton() != box->button(QMessageBox::Cancel) && box->clickedButton() != nullptr;
}

bool defaultConfirmStop(QWidget* parent) {
  return QMessageBox::question(parent, kWarningCaption,
                               QStringLiteral("A conversion is running. Stop it and close?\n\n"
                                              "The files written so far stay complete."),
                               QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

}  // namespace

std::unique_ptr<QMessageBox> completionBox(QWidget* parent, const QString& text, const QString& caption) {
  auto box = std::make_unique<QMessageBox>(QMessageBox::Information, caption, text, QMessageBox::Ok, parent);
  box->addButton(QStringLiteral("Open Folder"), QMessageBox::ActionRole);
  box->setDefaultButton(QMessageBox::Ok);
  return box;
}

std::unique_ptr<QMessageBox> replaceBox(QWidget* parent, const QStringList& existing) {
  // Names under the folder they are in, so that long paths do not wrap; a long list is cut short.
  constexpr int kShownFiles = 16;
  QString list;
  QString folder;
  for (int i = 0; i < std::min<int>(kShownFiles, int(existing.size())); ++i) {
    const QFileInfo file(existing[i]);
    const QString dir = QDir::toNativeSeparators(file.absolutePath());
    if (dir != folder)
      list += (folder.isEmpty() ? QString() : QStringLiteral("\n")) + dir + QStringLiteral(":\n");
    folder = dir;
    list += QStringLiteral("    ") + file.fileName() + QLatin1Char('\n');
  }
  if (existing.size() > kShownFiles)
    list += QStringLiteral("(and %1 more)\n").arg(existing.size() - kShownFiles);
  auto box = std::make_unique<QMessageBox>(
      QMessageBox::Warning, kWarningCaption,
      QStringLiteral("These files exist already. Replace them?\n\n%1").arg(list.trimmed()),
      QMessageBox::Cancel, parent);
  box->addButton(QStringLiteral("Replace"), QMessageBox::DestructiveRole);
  box->setDefaultButton(QMessageBox::Cancel);
  return box;
}

QString openFileFilter() {
  // Qt takes each filter's patterns from its last parentheses; the description keeps the original text.
  return QStringLiteral("DVR(QMV or Exe) Files (*.qmv, *.exe) (*.qmv *.exe);;All Files (*.*) (*)");
}

DialogSeams withDefaults(DialogSeams seams) {
  if (!seams.openFile && !seams.openFiles) seams.openFiles = defaultOpenFiles;
  if (!seams.chooseFolder) seams.chooseFolder = FolderBrowser::choose;
  if (!seams.chooseOptions) seams.chooseOptions = CompressOptionsDialog::choose;
  if (!seams.warning) {
    seams.warning = [](QWidget* parent, const QString& text, const QString& caption) {
      QMessageBox::warning(parent, caption, text);
    };
  }
  if (!seams.runConversion) seams.runConversion = qmv::runConversion;
  if (!seams.completion) seams.completion = defaultCompletion;
  if (!seams.openUrl) seams.openUrl = [](const QUrl& folder) { QDesktopServices::openUrl(folder); };
  if (!seams.confirmReplace) seams.confirmReplace = defaultConfirmReplace;
  if (!seams.confirmStop) seams.confirmStop = defaultConfirmStop;
  if (!seams.chooseDialogOptions) {
    seams.chooseDialogOptions = [chooser = seams.chooseOptions](QWidget* parent,
                                                                const DialogOptions& current) {
      return OptionsDialog::choose(parent, current, chooser);
    };
  }
  return seams;
}

ConverterDialog::ConverterDialog(DialogSeams seams, QWidget* parent)
    : QDialog(parent), seams_(withDefaults(std::move(seams))) {
  settings_ = seams_.settingsFile.isEmpty()
                  ? std::make_unique<QSettings>(QStringLiteral("qmv2avi"), QStringLiteral("qmv2avi"))
                  : std::make_unique<QSettings>(seams_.settingsFile, QSettings::IniFormat);
  setWindowTitle(kCaption);
  // Modal frame with caption and system menu; no minimise or maximise box.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setFont(dialogFont());
  createControls();
  initDialog();
}

ConverterDialog::~ConverterDialog() { shutDown(); }

int ConverterDialog::running() const { return worker_ && !worker_->finished() && !stop_.load() ? 1 : 0; }

template <typename T>
T* ConverterDialog::addControl(int id, T* widget, int x, int y, int width, int height) {
  widget->setGeometry(DialogUnits(font()).toPixels(DuRect{x, y, width, height}));
  widget->setProperty("controlId", id);
  controls_.insert(id, widget);
  return widget;
}

QWidget* ConverterDialog::control(int id) const { return controls_.value(id, nullptr); }

void ConverterDialog::createControls() {
  const DialogUnits du(font());
  setFixedSize(du.toPixels(320, 158));

  // Creation order is the tab order of the template.
  auto label = [this](int id, const char* text, int x, int y) {
    auto* l = addControl(id, new QLabel(QString::fromLatin1(text), this), x, y, 61, 8);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    l->setGeometry(
        fitTextWidth(l->geometry(), l->fontMetrics().horizontalAdvance(l->text()), l->alignment()));
  };
  label(id::kSystemNameLabel, "System Name:", 9, 14);
  label(id::kVersionLabel, "System Version:", 9, 27);
  label(id::kRecordedTimeLabel, "Recorded Time:", 9, 41);
  label(id::kMacAddressLabel, "MAC Address:", 168, 14);
  label(id::kLanguageVideoLabel, "Language and VGA:", 168, 27);

  static constexpr int kChannelX[8] = {11, 46, 84, 122, 160, 198, 236, 274};
  for (int k = 0; k < kChannelCount; ++k) {
    auto* box = addControl(channelControlId(k),
                           new QCheckBox(QStringLiteral("CH-%1").arg(k + 1, 2, 10, QLatin1Char('0')), this),
                           kChannelX[k % 8], k < 8 ? 65 : 80, 35, 10);
    channelBoxes_[std::size_t(k)] = box;
    connect(box, &QCheckBox::clicked, this, [this, k] { toggleChannel(k); });
  }

  auto* open = addControl(id::kOpen, new QPushButton(QStringLiteral("&Open"), this), 7, 119, 50, 14);
  connect(open, &QPushButton::clicked, this, &ConverterDialog::onOpen);
  auto* convert =
      addControl(id::kConvert, new QPushButton(QStringLiteral("&Convert"), this), 262, 119, 50, 14);
  connect(convert, &QPushButton::clicked, this, &ConverterDialog::onConvert);

  progress_ = addControl(id::kProgress, new QProgressBar(this), 66, 137, 183, 14);
  progress_->setTextVisible(false);
  progress_->setRange(0, 100);
  progress_->setValue(0);

  auto* standardize =
      addControl(id::kStandardize, new QCheckBox(QStringLiteral("Standardization"), this), 255, 139, 58, 10);
  standardize->setVisible(false);
  standardize->setEnabled(false);

  auto* destination =
      addControl(id::kDestination, new QPushButton(QStringLiteral("&Destination"), this), 7, 137, 50, 14);
  connect(destination, &QPushButton::clicked, this, &ConverterDialog::onDestination);

  auto field = [this](int id, int x, int y, int width) {
    // The template's placeholder text; the first data exchange replaces it.
    auto* f = addControl(id, new QLabel(QStringLiteral("Static"), this), x, y, width, 8);
    f->setTextFormat(Qt::PlainText);
    f->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  };
  field(id::kSystemName, 77, 14, 71);
  field(id::kVersion, 77, 27, 71);
  field(id::kRecordedTime, 77, 41, 236);
  field(id::kMacAddress, 237, 14, 71);
  field(id::kLanguageVideo, 237, 27, 71);

  // Frames are drawn beneath the controls they surround.
  addControl(id::kChannelGroup, new QGroupBox(this), 7, 55, 306, 53)->lower();
  addControl(id::kInfoGroup, new QGroupBox(QStringLiteral("File Information"), this), 7, 5, 306, 52)->lower();

  auto* all = addControl(id::kAllChannels, new QCheckBox(QStringLiteral("All CHs"), this), 274, 95, 38, 10);
  connect(all, &QCheckBox::clicked, this, &ConverterDialog::onAllChannels);

  auto* defaultCodec = addControl(
      id::kDefaultCodec, new QCheckBox(QStringLiteral("Default Codec (Fast)"), this), 66, 120, 77, 10);
  defaultCodec->setVisible(false);
  defaultCodec->setEnabled(false);
  connect(defaultCodec, &QCheckBox::clicked, this, &ConverterDialog::onDefaultCodec);

  // 30 units is the opened list; the closed box takes its natural height.
  compressor_ = addControl(id::kCompressor, new QComboBox(this), 158, 119, 89, 30);
  compressor_->setEditable(true);
  compressor_->setInsertPolicy(QComboBox::NoInsert);
  compressor_->addItem(QStringLiteral("XVID (https://www.xvid.com)"));
  compressor_->addItem(QStringLiteral("Divx (https://www.divx.com)"));
  compressor_->resize(compressor_->width(), std::max(compressor_->sizeHint().height(), du.toPixelsY(14)));
  // An edit field shows the start of its text, as the platform's combo box does.
  connect(compressor_, &QComboBox::currentIndexChanged, this,
          [this] { compressor_->lineEdit()->setCursorPosition(0); });

  exchangeData(false);
}

void ConverterDialog::initDialog() {
  systemMenu_ = new QMenu(this);
  QAction* about = systemMenu_->addAction(kAboutItemText);
  about->setData(kIdmAboutBox);
  connect(about, &QAction::triggered, this, [this, about] { onSysCommand(about->data().toUInt()); });
  systemMenu_->addSeparator();
  QAction* optionsItem = systemMenu_->addAction(QStringLiteral("&Options\u2026"));
  connect(optionsItem, &QAction::triggered, this, &ConverterDialog::onOptions);
  recentMenu_ = systemMenu_->addMenu(QStringLiteral("&Recent Recordings"));
  connect(systemMenu_, &QMenu::aboutToShow, this, &ConverterDialog::fillRecentMenu);
  fillRecentMenu();
  setAcceptDrops(true);

  setWindowIcon(appIcon());

  standardize_ = 1;
  compressorIndex_ = 0;
  sourcePath_.clear();
  destinationDir_.clear();
  recording_.close();
  enableControls(false);
  compressor_->setCurrentIndex(0);
  compressor_->lineEdit()->setCursorPosition(0);
  const DialogOptions options = loadDialogOptions(*settings_);
  sideChoices_ = options.sideFiles;
  defaultCodec_ = options.codec.mode == VideoMode::kPassThrough ? 1 : 0;
  compressOptions_ = options.codec.compressOptions;
  burnIn_ = options.burnIn;
  salvage_ = options.salvage;
  container_ = options.container;
  timing_ = options.timing;
  maxGapSeconds_ = options.maxGapSeconds;
  selectedChannels_ = 0;
  control(id::kOpen)->setEnabled(true);
  compressor_->setEnabled(false);
  control(id::kDefaultCodec)->setEnabled(false);
  exchangeData(false);
}

void ConverterDialog::enableControls(bool enable) {
  const uint32_t videoMask = recording_.isOpen() ? recording_.videoMask() : 0;
  for (int k = 0; k < kChannelCount; ++k) {
    channelBoxes_[std::size_t(k)]->setEnabled(enable && (videoMask >> k & 1u));
  }
  for (int id : {id::kOpen, id::kDestination, id::kStandardize, id::kAllChannels, id::kDefaultCodec,
                 id::kCompressor}) {
    control(id)->setEnabled(enable);
  }
}

void ConverterDialog::exchangeData(bool fromControls) {
  struct TextBinding {
    int id;
    QString ConverterDialog::*member;
  };
  static constexpr TextBinding kTexts[] = {
      {id::kLanguageVideo, &ConverterDialog::infoLanguageVideo_},
      {id::kMacAddress, &ConverterDialog::infoMacAddress_},
      {id::kSystemName, &ConverterDialog::infoSystemName_},
      {id::kRecordedTime, &ConverterDialog::infoRecordedTime_},
      {id::kVersion, &ConverterDialog::infoVersion_},
  };
  struct CheckBinding {
    int id;
    int ConverterDialog::*member;
  };
  static constexpr CheckBinding kChecks[] = {
      {id::kStandardize, &ConverterDialog::standardize_},
      {id::kDefaultCodec, &ConverterDialog::defaultCodec_},
  };
  for (const TextBinding& b : kTexts) {
    auto* label = controlAs<QLabel>(b.id);
    if (fromControls) {
      this->*b.member = label->text();
    } else {
      label->setText(this->*b.member);
    }
  }
  for (const CheckBinding& b : kChecks) {
    auto* box = controlAs<QCheckBox>(b.id);
    if (fromControls) {
      this->*b.member = box->isChecked() ? 1 : 0;
    } else {
      box->setChecked(this->*b.member != 0);
    }
  }
}

void ConverterDialog::onOpen() {
  // A worker never reads one file's index from another: it is stopped and waited for first.
  stopWorker();
  const QStringList chosen = seams_.openFiles
                                 ? seams_.openFiles(this, settings_->value(kLastOpenFolderKey).toString())
                                 : QStringList{seams_.openFile(this)};
  if (chosen.isEmpty() || chosen.front().isEmpty()) return;
  openRecordings(chosen);
}

QString ConverterDialog::titleFor(const QString& path) const {
  QString title = QStringLiteral("QMV to AVI : '%1'").arg(QFileInfo(path).fileName());
  if (!batchRest_.isEmpty()) title += QStringLiteral(" + %1 more").arg(batchRest_.size());
  return title;
}

void ConverterDialog::openRecordings(const QStringList& paths) {
  if (paths.isEmpty()) return;
  openRecording(paths.front());
  if (paths.size() > 1 && sourcePath_ == QFileInfo(paths.front()).absoluteFilePath()) {
    batchRest_ = paths.mid(1);
    setWindowTitle(titleFor(sourcePath_));
  }
}

void ConverterDialog::openRecording(const QString& path) {
  stopWorker();
  batchRest_.clear();
  const QFileInfo file(path);
  settings_->setValue(kLastOpenFolderKey, file.absolutePath());
  const QString previous = sourcePath_;
  if (!loadRecording(path)) return;
  rememberRecent(sourcePath_);
  // A destination chosen for a recording stays while that recording is converted again, also in a
  // later run of the program; another recording starts in its own folder.
  if (sourcePath_ != previous || destinationDir_.isEmpty()) {
    const bool remembered = settings_->value(kLastRecordingKey).toString() == sourcePath_ &&
                            !settings_->value(kLastDestinationKey).toString().isEmpty();
    destinationDir_ = remembered ? settings_->value(kLastDestinationKey).toString() : folderOf(sourcePath_);
  }
  settings_->setValue(kLastRecordingKey, sourcePath_);
  settings_->setValue(kLastDestinationKey, destinationDir_);
  control(id::kDestination)->setToolTip(QDir::toNativeSeparators(destinationDir_));
}

bool ConverterDialog::loadRecording(const QString& path, QString* rejection) {
  const QFileInfo file(path);

  // The reader keeps the earlier recording when it rejects a file, and so does everything named
  // after it: the title, sourcePath, baseName and destinationDir go on describing the recording that is
  // current. A silent rejection would leave a window that looks as if the new file were loaded, so the
  // reason is shown.
  const std::string local = localPath(file.absoluteFilePath());
  const Status opened = salvage_ ? recording_.openSalvage(local) : recording_.open(local);
  if (!opened.ok() && rejection != nullptr) {
    // A batch lists its rejected files in its one message at the end instead of stopping on each.
    *rejection = QString::fromStdString(opened.error().message);
  } else if (!opened.ok()) {
    seams_.warning(this,
                   QStringLiteral("%1 was not opened.\n\n%2")
                       .arg(file.fileName(), QString::fromStdString(opened.error().message)),
                   kWarningCaption);
  } else {
    setWindowTitle(titleFor(path));
    sourcePath_ = file.absoluteFilePath();
    // Taken on every accepted Open, so that outputs are named after the recording being converted.
    baseName_ = file.completeBaseName();

    const RecordingDescription& d = recording_.description();
    infoSystemName_ = QString::fromStdString(d.systemName);
    infoVersion_ = QString::fromStdString(d.version);
    infoRecordedTime_ = QString::fromStdString(d.recordedTime);
    infoMacAddress_ = QString::fromStdString(d.macAddress);
    infoLanguageVideo_ = QString::fromStdString(d.languageVideo);

    // The selection is the new recording's channels: a channel of the previous one stays out of it.
    const uint32_t videoMask = recording_.videoMask();
    selectedChannels_ = videoMask & 0xFFFFu;
    for (int k = 0; k < kChannelCount; ++k) {
      const bool hasVideo = (videoMask >> k & 1u) != 0;
      channelBoxes_[std::size_t(k)]->setEnabled(hasVideo);
      channelBoxes_[std::size_t(k)]->setChecked(hasVideo);
    }
    auto* all = controlAs<QCheckBox>(id::kAllChannels);
    all->setEnabled(true);
    all->setChecked(true);
    enableControls(true);
  }
  exchangeData(false);
  return opened.ok();
}

QStringList ConverterDialog::recentRecordings() const { return settings_->value(kRecentKey).toStringList(); }

void ConverterDialog::rememberRecent(const QString& path) {
  QStringList recent = recentRecordings();
  recent.removeAll(path);
  recent.prepend(path);
  while (recent.size() > kRecentCount) recent.removeLast();
  settings_->setValue(kRecentKey, recent);
}

void ConverterDialog::fillRecentMenu() {
  recentMenu_->clear();
  const QStringList recent = recentRecordings();
  for (const QString& path : recent) {
    QAction* action = recentMenu_->addAction(QDir::toNativeSeparators(path));
    connect(action, &QAction::triggered, this, [this, path] {
      if (running() == 0) openRecording(path);
    });
  }
  recentMenu_->setEnabled(!recent.isEmpty());
}

DialogOptions ConverterDialog::dialogOptions() const {
  DialogOptions options;
  options.sideFiles = sideChoices_;
  options.codec.mode = defaultCodec_ != 0 ? VideoMode::kPassThrough : VideoMode::kReEncode;
  options.codec.compressOptions = compressOptions_;
  options.burnIn = burnIn_;
  options.salvage = salvage_;
  options.container = container_;
  options.timing = timing_;
  options.maxGapSeconds = maxGapSeconds_;
  return options;
}

void ConverterDialog::onOptions() {
  exchangeData(true);
  const std::optional<DialogOptions> chosen = seams_.chooseDialogOptions(this, dialogOptions());
  if (!chosen) return;
  sideChoices_ = chosen->sideFiles;
  defaultCodec_ = chosen->codec.mode == VideoMode::kPassThrough ? 1 : 0;
  compressOptions_ = chosen->codec.compressOptions;
  burnIn_ = chosen->burnIn && chosen->codec.mode == VideoMode::kReEncode;
  salvage_ = chosen->salvage;
  container_ = chosen->container;
  timing_ = chosen->timing;
  maxGapSeconds_ = chosen->maxGapSeconds;
  // The pass-through code is chosen in the combo box; it means nothing while re-encoding.
  compressor_->setEnabled(recording_.isOpen() && defaultCodec_ != 0);
  saveDialogOptions(*settings_, dialogOptions());
  exchangeData(false);
}

void ConverterDialog::toggleChannel(int channelIndex) {
  if (channelIndex < 0 || channelIndex >= kChannelCount) return;
  exchangeData(true);
  selectedChannels_ ^= 1u << channelIndex;
  exchangeData(false);
}

void ConverterDialog::onAllChannels() {
  exchangeData(true);
  const uint32_t videoMask = recording_.isOpen() ? recording_.videoMask() & 0xFFFFu : 0;
  if (controlAs<QCheckBox>(id::kAllChannels)->isChecked()) {
    selectedChannels_ = videoMask;
    for (int k = 0; k < kChannelCount; ++k) {
      if (videoMask >> k & 1u) channelBoxes_[std::size_t(k)]->setChecked(true);
    }
  } else {
    selectedChannels_ = 0;
    for (QCheckBox* box : channelBoxes_) box->setChecked(false);
  }
  exchangeData(false);
}

void ConverterDialog::onDestination() {
  const std::optional<QString> folder = seams_.chooseFolder(this, destinationDir_);
  if (!folder || folder->isEmpty()) return;
  destinationDir_ = withTrailingSeparator(QDir::fromNativeSeparators(*folder));
  control(id::kDestination)->setToolTip(QDir::toNativeSeparators(destinationDir_));
  settings_->setValue(kLastRecordingKey, sourcePath_);
  settings_->setValue(kLastDestinationKey, destinationDir_);
}

void ConverterDialog::onDefaultCodec() {
  exchangeData(true);
  CodecChoice choice;
  choice.mode = defaultCodec_ != 0 ? VideoMode::kPassThrough : VideoMode::kReEncode;
  choice.compressOptions = compressOptions_;
  qmv::onDefaultCodec(choice, defaultCodec_ != 0,
                      [this](const CompressOptions& current) { return seams_.chooseOptions(this, current); });
  defaultCodec_ = choice.mode == VideoMode::kPassThrough ? 1 : 0;
  compressOptions_ = choice.compressOptions;
  // The pass-through code is chosen in the combo box; it means nothing while re-encoding.
  compressor_->setEnabled(choice.mode == VideoMode::kPassThrough);
  exchangeData(false);
}

QString ConverterDialog::effectiveDestination() const {
  // Never empty while a recording is open; the fallback keeps files away from the current directory.
  return destinationDir_.isEmpty() ? folderOf(sourcePath_) : destinationDir_;
}

ConversionSettings ConverterDialog::passSettings() {
  compressorIndex_ = compressor_->currentIndex();
  ConversionSettings settings;
  settings.selectedChannels = selectedChannels_;
  settings.videoMode = defaultCodec_ != 0 ? VideoMode::kPassThrough : VideoMode::kReEncode;
  // Item 0 is XVID, item 1 Divx; no selection labels the video XVID.
  settings.passThroughFourcc = compressorIndex_ == 1 ? PassThroughFourcc::kDivx : PassThroughFourcc::kXvid;
  settings.compressOptions = compressOptions_;
  settings.burnIn = burnIn_ && settings.videoMode == VideoMode::kReEncode;
  settings.container = container_;
  settings.timing = timing_;
  settings.maxGapSeconds = timing_ == Timing::kRecorded ? maxGapSeconds_ : 0;
  settings.standardize = standardize_ != 0;
  settings.destinationDir = localPath(effectiveDestination());
  settings.baseName = localPath(baseName_);
  return settings;
}

void ConverterDialog::onConvert() {
  exchangeData(true);
  if (sourcePath_.isEmpty()) return;
  if (running() == 1) {
    // A stop request: the worker sees it at its next index entry and reports its end.
    stop_.store(true);
    batchRest_.clear();
    return;
  }
  // A worker that ended early, or whose end is still queued, is finished with before the next starts;
  // a batch that is only opened, not yet converting, stays.
  if (worker_) stopWorker();

  ConversionSettings settings = passSettings();
  // An earlier conversion of the evidence is never replaced without a word: the existing outputs of
  // every recording of the run are named and the user decides once, before anything is written.
  std::vector<std::string> planned = plannedOutputs(settings, sideChoices_);
  std::vector<std::string> inputs{localPath(sourcePath_)};
  for (const QString& path : batchRest_) {
    RecordingFile other;
    const Status opened = salvage_ ? other.openSalvage(localPath(path)) : other.open(localPath(path));
    if (!opened) continue;  // told when its turn comes
    inputs.push_back(localPath(path));
    ConversionSettings next = settings;
    next.selectedChannels = other.videoMask() & 0xFFFFu;
    next.baseName = localPath(QFileInfo(path).completeBaseName());
    for (std::string& name : plannedOutputs(next, sideChoices_)) planned.push_back(std::move(name));
  }
  // An output that is a recording of the run or another output (a link, or two recordings of one name) is
  // never written, not even with Replace: nothing starts.
  if (const std::vector<std::string> clashes = sameFileClashes(inputs, planned); !clashes.empty()) {
    QString text = QStringLiteral("Nothing was converted.\n");
    for (const std::string& clash : clashes)
      text += "\n" + QFile::decodeName(QByteArray::fromStdString(clash));
    seams_.warning(this, text, kWarningCaption);
    return;
  }
  QStringList existing;
  for (const std::string& name : planned) {
    // Anything at the name counts, a dangling link too: the pass would not create its file there.
    std::error_code unknown;
    if (std::filesystem::exists(std::filesystem::symlink_status(name, unknown)))
      existing << QDir::toNativeSeparators(QFile::decodeName(QByteArray::fromStdString(name)));
  }
  if (!existing.isEmpty() && !seams_.confirmReplace(this, existing)) return;
  replaceExisting_ = !existing.isEmpty();
  runFolder_ = QDir::toNativeSeparators(effectiveDestination());
  passes_.clear();
  startPass(settings);
}

void ConverterDialog::startPass(ConversionSettings settings) {
  // With nothing to replace, a file that appears meanwhile stops the pass instead of being replaced.
  settings.overwrite = replaceExisting_;
  auto side = std::make_shared<SideOutcome>();
  side_ = side;

  stop_.store(false);
  const int generation = ++generation_;
  auto sink = std::make_unique<QtConversionSink>();
  auto current = [this, generation] { return generation == generation_ && !shutDown_; };
  connect(
      sink.get(), &QtConversionSink::progressRangeChanged, this,
      [this, current](quint32 maximum) {
        if (!current()) return;
        // The pass has begun: the controls stay off until its end.
        enableControls(false);
        setProgressRange(maximum);
        showProgressTitle(0);
      },
      Qt::QueuedConnection);
  // The decoder library's load failures, queued from the worker's thread: never waited for, so a
  // worker can always run to its end while the dialog waits for it.
  connect(
      sink.get(), &QtConversionSink::decoderMessage, this,
      [this](const QString& text, const QString& caption) {
        if (!shutDown_) seams_.warning(this, text, caption);
      },
      Qt::QueuedConnection);
  connect(
      sink.get(), &QtConversionSink::progressPositionChanged, this,
      [this, current](quint32 position) {
        if (!current()) return;
        setProgressPosition(position);
        showProgressTitle(position);
      },
      Qt::QueuedConnection);
  connect(
      sink.get(), &QtConversionSink::finished, this,
      [this, current](const ConversionReport& report) {
        if (current()) onConversionDone(report);
      },
      Qt::QueuedConnection);

  auto run = seams_.runConversion;
  const RecordingFile* recording = &recording_;
  const std::string inputPath = localPath(sourcePath_);
  try {
    // Made before the first press can return, so that a quick second press is a stop and never a
    // second worker.
    worker_ = std::make_unique<ConversionThread>(
        std::move(sink), [run, recording, inputPath, settings, choices = sideChoices_, side,
                          stop = &stop_](QtConversionSink& s) {
          ConversionContext context;
          context.settings = settings;
          context.progress = &s;
          context.messages = &s;
          context.stop = stop;
          return convertWithSideFiles(*recording, inputPath, choices, context, run, *side);
        });
    setConvertLabel(true);
  } catch (const std::system_error&) {
    // No thread: nothing runs and nothing is reported; the next Convert tries again.
    worker_.reset();
  }
}

void ConverterDialog::setProgressRange(quint32 maximum) {
  progressShift_ = 0;
  while ((maximum >> progressShift_) > quint32(INT_MAX)) ++progressShift_;
  // An empty range would turn the bar into a busy indicator; 0..1 at position 0 shows it empty.
  progress_->setRange(0, std::max(1, int(maximum >> progressShift_)));
  progressMaximum_ = maximum;
  runClock_.start();
}

void ConverterDialog::showProgressTitle(quint32 position) {
  if (progressMaximum_ == 0) return;
  const double done = std::min(1.0, double(position) / progressMaximum_);
  // The time left is estimated from the pace so far; too early a guess would jump about.
  int secondsLeft = -1;
  const qint64 elapsed = runClock_.isValid() ? runClock_.elapsed() : 0;
  if (done > 0.01 && elapsed >= 1000) secondsLeft = int(elapsed * (1.0 - done) / done / 1000.0 + 0.5);
  setWindowTitle(progressTitle(QFileInfo(sourcePath_).fileName(), int(done * 100.0), secondsLeft));
}

void ConverterDialog::setConvertLabel(bool running) {
  // While a pass runs the button stops it, and says so.
  controlAs<QPushButton>(id::kConvert)
      ->setText(running ? QStringLiteral("&Stop") : QStringLiteral("&Convert"));
}

void ConverterDialog::setProgressPosition(quint32 position) {
  progress_->setValue(int(position >> progressShift_));
}

void ConverterDialog::onConversionDone(const ConversionReport& report) {
  ++completions_;
  enableControls(true);
  progress_->setValue(0);
  progressMaximum_ = 0;
  setConvertLabel(false);
  setWindowTitle(titleFor(sourcePath_));
  if (worker_) {
    // The worker emits its end as its last act; the join only waits for its return, and with it the
    // side files.
    worker_->join();
    worker_.reset();
  }
  exchangeData(false);
  PassOutcome pass;
  pass.recordingName = QFileInfo(sourcePath_).fileName();
  pass.report = report;
  if (side_) pass.side = *side_;
  side_.reset();
  const bool failed = !failureText(pass).isEmpty();
  passes_.push_back(std::move(pass));
  // A batch goes on with its next recording into the same destination; its one message comes at the end.
  while (!failed && !report.stopped && !batchRest_.isEmpty() && !shutDown_) {
    const QString next = batchRest_.takeFirst();
    QString rejection;
    if (loadRecording(next, &rejection)) {
      rememberRecent(sourcePath_);
      startPass(passSettings());
      if (worker_) return;
      break;
    }
    PassOutcome skipped;
    skipped.recordingName = QFileInfo(next).fileName();
    skipped.report.warnings.push_back("not a recording that can be read; left out: " +
                                      rejection.toStdString());
    passes_.push_back(std::move(skipped));
  }
  batchRest_.clear();
  setWindowTitle(titleFor(sourcePath_));
  tellOutcome();
}

void ConverterDialog::tellOutcome() {
  if (passes_.empty() || shutDown_) return;
  const QString failure = failureText(passes_.back());
  if (!failure.isEmpty()) {
    // Not a finished conversion: the files of this pass are incomplete, so the user is told which and why.
    seams_.warning(this, failure, kWarningCaption);
  } else if (seams_.completion(this, completionText(passes_, runFolder_), kWarningCaption)) {
    seams_.openUrl(QUrl::fromLocalFile(runFolder_));
  }
  passes_.clear();
}

void ConverterDialog::stopWorker() {
  // A batch ends with the worker: the pass finished here must not start the next recording.
  batchRest_.clear();
  stop_.store(true);
  if (!worker_) return;
  worker_->join();
  ++generation_;  // whatever it still has queued is stale now
  const ConversionReport report = worker_->report();
  worker_.reset();
  if (report.started) onConversionDone(report);
}

void ConverterDialog::shutDown() {
  if (shutDown_) return;
  shutDown_ = true;
  ++generation_;
  stop_.store(true);
  if (worker_) {
    // The worker never waits for this thread, so this wait always ends.
    worker_->join();
    worker_.reset();
  }
  side_.reset();
  recording_.close();
}

bool ConverterDialog::onSysCommand(unsigned command) {
  if ((command & 0xFFF0u) != kIdmAboutBox) return false;
  AboutDialog about(this);
  about.exec();
  return true;
}

void ConverterDialog::done(int result) {
  QDialog::done(result);
  shutDown();
}

void ConverterDialog::closeEvent(QCloseEvent* event) {
  if (running() == 1 && !seams_.confirmStop(this)) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
  if (event->isAccepted()) shutDown();
}

void ConverterDialog::contextMenuEvent(QContextMenuEvent* event) {
  // Options and the recent recordings; where the window manager owns the title-bar menu, the About
  // item is offered here as well.
  systemMenu_->exec(event->globalPos());
}

namespace {

QStringList localFilesOf(const QMimeData* mime) {
  QStringList files;
  if (mime == nullptr || !mime->hasUrls()) return files;
  for (const QUrl& url : mime->urls()) {
    if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile()) files << url.toLocalFile();
  }
  return files;
}

}  // namespace

void ConverterDialog::dragEnterEvent(QDragEnterEvent* event) {
  if (running() == 0 && !localFilesOf(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void ConverterDialog::dropEvent(QDropEvent* event) {
  const QStringList files = localFilesOf(event->mimeData());
  if (running() == 1 || files.isEmpty()) return;
  event->acceptProposedAction();
  openRecordings(files);
}

void ConverterDialog::keyPressEvent(QKeyEvent* event) {
  // Esc would end the window and with it the conversion: asked first.
  if (event->key() == Qt::Key_Escape && running() == 1 && !seams_.confirmStop(this)) return;
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && event->modifiers() == Qt::NoModifier && !qobject_cast<QPushButton*>(focusWidget())) {
    // Enter away from a push button is the dialog's OK: read the controls, then end.
    exchangeData(true);
    accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

#ifdef Q_OS_WIN
void ConverterDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (systemMenuAppended_) return;
  HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE);
  if (menu != nullptr && !kAboutItemText.isEmpty()) {
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kIdmAboutBox, reinterpret_cast<LPCWSTR>(kAboutItemText.utf16()));
    systemMenuAppended_ = true;
  }
}

bool ConverterDialog::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
  auto* msg = static_cast<MSG*>(message);
  if (msg->message == WM_SYSCOMMAND && onSysCommand(unsigned(msg->wParam))) {
    *result = 0;
    return true;
  }
  return QDialog::nativeEvent(eventType, message, result);
}
#endif

}  // namespace qmv::app
