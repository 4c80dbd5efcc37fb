// The main dialog: the enabling rule, data exchange and the commands.
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
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <climits>

#include "app/about_dialog.h"
#include "app/app_icon.h"
#include "app/compress_options_dialog.h"
#include "app/control_ids.h"
#include "app/dialog_units.h"
#include "app/folder_browser.h"
#include "app/remembered_state.h"
#include "app/run_controller.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace qmv::app {

namespace {

const QString kCaption = QStringLiteral("QMV to AVI Converter");
// "QMV2AVI information"; Alt+A selects it.
const QString kAboutItemText = QStringLiteral("QMV2AVI 정보(&A)...");
const QString kWarningCaption = QStringLiteral("QMV to AVI");

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

bool defaultOfferSalvage(QWidget* parent, const QString& text) {
  const std::unique_ptr<QMessageBox> box = salvageBox(parent, text);
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

std::unique_ptr<QMessageBox> salvageBox(QWidget* parent, const QString& text) {
  auto box =
      std::make_unique<QMessageBox>(QMessageBox::Warning, kWarningCaption, text, QMessageBox::Cancel, parent);
  box->addButton(QStringLiteral("Convert what can be recovered"), QMessageBox::AcceptRole);
  // Salvage is a choice the user makes, never the default.
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
  if (!seams.openUrl) seams.openUrl = [](const QUrl& folder) { return QDesktopServices::openUrl(folder); };
  if (!seams.offerSalvage) seams.offerSalvage = defaultOfferSalvage;
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
    : QDialog(parent),
      seams_(withDefaults(std::move(seams))),
      remembered_(std::make_unique<RememberedState>(seams_.settingsFile)),
      run_(std::make_unique<RunController>(seams_.runConversion)) {
  setWindowTitle(kCaption);
  // Modal frame with caption and system menu; no minimise or maximise box.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setFont(dialogFont());
  createControls();
  initDialog();
}

ConverterDialog::~ConverterDialog() { shutDown(); }

bool ConverterDialog::running() const { return run_->running(); }

bool ConverterDialog::hasWorker() const { return run_->hasWorker(); }

const QStringList& ConverterDialog::batchRest() const { return run_->batchRest(); }

void ConverterDialog::createControls() {
  controls_ = createDialogControls(*this);
  for (int k = 0; k < kChannelCount; ++k)
    connect(controls_.channels[std::size_t(k)], &QCheckBox::clicked, this, [this, k] { toggleChannel(k); });
  connect(controlAs<QPushButton>(id::kOpen), &QPushButton::clicked, this, &ConverterDialog::onOpen);
  connect(controlAs<QPushButton>(id::kConvert), &QPushButton::clicked, this, &ConverterDialog::onConvert);
  connect(controlAs<QPushButton>(id::kDestination), &QPushButton::clicked, this,
          &ConverterDialog::onDestination);
  connect(controlAs<QCheckBox>(id::kAllChannels), &QCheckBox::clicked, this, &ConverterDialog::onAllChannels);
  connect(controlAs<QCheckBox>(id::kDefaultCodec), &QCheckBox::clicked, this,
          &ConverterDialog::onDefaultCodec);
  // An edit field shows the start of its text, as the platform's combo box does.
  QComboBox* compressor = controls_.compressor;
  connect(compressor, &QComboBox::currentIndexChanged, this,
          [compressor] { compressor->lineEdit()->setCursorPosition(0); });

  // The run's progress and end, from the worker's thread.
  connect(run_.get(), &RunController::rangeChanged, this, [this](quint32 maximum) {
    // The pass has begun: the controls stay off until its end.
    enableControls(false);
    setProgressRange(maximum);
    showProgressTitle(0);
  });
  connect(run_.get(), &RunController::positionChanged, this, [this](quint32 position) {
    setProgressPosition(position);
    showProgressTitle(position);
  });
  connect(run_.get(), &RunController::decoderMessage, this,
          [this](const QString& text, const QString& caption) { seams_.warning(this, text, caption); });
  connect(run_.get(), &RunController::passEnded, this, &ConverterDialog::onConversionDone);
  connect(run_.get(), &RunController::passNotStarted, this, [this] {
    enableControls(recording_.isOpen());
    setConvertLabel(false);
  });

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

  standardize_ = true;
  compressorIndex_ = 0;
  sourcePath_.clear();
  destinationDir_.clear();
  recording_.close();
  enableControls(false);
  controls_.compressor->setCurrentIndex(0);
  controls_.compressor->lineEdit()->setCursorPosition(0);
  options_ = remembered_->options();
  showVideoPlan();
  selectedChannels_ = 0;
  control(id::kOpen)->setEnabled(true);
  controls_.compressor->setEnabled(false);
  control(id::kDefaultCodec)->setEnabled(false);
  exchangeData(false);
}

void ConverterDialog::enableControls(bool enable) {
  const uint32_t videoMask = recording_.isOpen() ? recording_.videoMask() : 0;
  for (int k = 0; k < kChannelCount; ++k) {
    controls_.channels[std::size_t(k)]->setEnabled(enable && (videoMask >> k & 1u));
  }
  for (int id : {id::kOpen, id::kDestination, id::kStandardize, id::kAllChannels, id::kDefaultCodec}) {
    control(id)->setEnabled(enable);
  }
  controls_.compressor->setEnabled(enable &&
                                   videoPlanText(options_.codec.mode, {}, options_.container).isEmpty());
}

void ConverterDialog::showVideoPlan() {
  QComboBox* box = controls_.compressor;
  const QString plan =
      videoPlanText(options_.codec.mode, options_.codec.compressOptions.encoder, options_.container);
  box->setEnabled(recording_.isOpen() && !running() && plan.isEmpty());
  if (plan.isEmpty()) {
    box->setEditText(box->itemText(box->currentIndex()));
  } else {
    box->setEditText(plan);
  }
  box->lineEdit()->setCursorPosition(0);
}

void ConverterDialog::showDestination() {
  IdleTextProgressBar* bar = controls_.progress;
  if (destinationDir_.isEmpty()) {
    bar->setIdleText({});
    bar->setToolTip({});
    return;
  }
  const QString folder = QDir::toNativeSeparators(destinationDir_);
  // Long paths lose their middle: the start and the folder's own name are what tell them apart.
  const int room = bar->contentsRect().width() - bar->fontMetrics().averageCharWidth() * 2;
  bar->setIdleText(bar->fontMetrics().elidedText(QStringLiteral("To: ") + folder, Qt::ElideMiddle, room));
  bar->setToolTip(folder);
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
  for (const TextBinding& b : kTexts) {
    auto* label = controlAs<QLabel>(b.id);
    if (fromControls) {
      this->*b.member = label->text();
    } else {
      label->setText(this->*b.member);
    }
  }
  auto* standardize = controlAs<QCheckBox>(id::kStandardize);
  auto* defaultCodec = controlAs<QCheckBox>(id::kDefaultCodec);
  if (fromControls) {
    standardize_ = standardize->isChecked();
    options_.codec.mode = defaultCodec->isChecked() ? VideoMode::kPassThrough : VideoMode::kReEncode;
  } else {
    standardize->setChecked(standardize_);
    defaultCodec->setChecked(this->defaultCodec());
  }
}

void ConverterDialog::onOpen() {
  // A worker never reads one file's index from another: it is stopped and waited for first.
  stopWorker();
  const QStringList chosen = seams_.openFiles ? seams_.openFiles(this, remembered_->lastOpenFolder())
                                              : QStringList{seams_.openFile(this)};
  if (chosen.isEmpty() || chosen.front().isEmpty()) return;
  openRecordings(chosen);
}

QString ConverterDialog::titleFor(const QString& path) const {
  QString title = QStringLiteral("QMV to AVI : '%1'").arg(QFileInfo(path).fileName());
  const QStringList& rest = run_->batchRest();
  if (!rest.isEmpty()) title += QStringLiteral(" + %1 more").arg(rest.size());
  return title;
}

void ConverterDialog::openRecordings(const QStringList& paths) {
  if (paths.isEmpty()) return;
  openRecording(paths.front(), paths.mid(1));
}

void ConverterDialog::openRecording(const QString& path, const QStringList& batchRest) {
  stopWorker();
  const QFileInfo file(path);
  remembered_->setLastOpenFolder(file.absolutePath());
  const QString previous = sourcePath_;
  bool convertRecovered = false;
  if (!loadRecording(path, nullptr, &convertRecovered)) return;
  remembered_->addRecent(sourcePath_);
  // A destination chosen for a recording stays while that recording is converted again, also in a
  // later run of the program; another recording starts in its own folder.
  if (sourcePath_ != previous || destinationDir_.isEmpty()) {
    const QString remembered = remembered_->destinationFor(sourcePath_);
    destinationDir_ = !remembered.isEmpty() ? remembered : folderOf(sourcePath_);
  }
  remembered_->rememberDestination(sourcePath_, destinationDir_);
  control(id::kDestination)->setToolTip(QDir::toNativeSeparators(destinationDir_));
  showDestination();
  // Set before a conversion can start, so that its check before writing covers the whole batch.
  if (!batchRest.isEmpty()) {
    run_->setBatchRest(batchRest);
    setWindowTitle(titleFor(sourcePath_));
  }
  if (convertRecovered) onConvert();
}

bool ConverterDialog::loadRecording(const QString& path, QString* rejection, bool* convertRecovered) {
  const QFileInfo file(path);

  // The reader keeps the earlier recording when it rejects a file, and so does everything named
  // after it: the title, sourcePath, baseName and destinationDir go on describing the recording that is
  // current. A silent rejection would leave a window that looks as if the new file were loaded, so the
  // reason is shown.
  const std::string local = localPath(file.absoluteFilePath());
  Status opened = options_.salvage ? recording_.openSalvage(local) : recording_.open(local);
  if (!opened.ok() && rejection != nullptr) {
    // A batch lists its rejected files in its one message at the end instead of stopping on each.
    *rejection = rejectionReason(opened.error());
  } else if (!opened.ok() && !options_.salvage && convertRecovered != nullptr &&
             looksDamaged(opened.error())) {
    // Damage is not the end: what salvage recovers can be converted, and the completion says how much.
    const QString text = QStringLiteral(
                             "%1 was not opened: the file looks cut short or damaged.\n\n%2\n\n"
                             "What can be recovered from it can still be converted; the completion message "
                             "will say how much that is.")
                             .arg(file.fileName(), QString::fromStdString(opened.error().message));
    if (seams_.offerSalvage(this, text)) {
      opened = recording_.openSalvage(local);
      *convertRecovered = opened.ok();
      if (!opened.ok())
        seams_.warning(this,
                       QStringLiteral("Nothing could be recovered from %1.\n\n%2")
                           .arg(file.fileName(), rejectionReason(opened.error())),
                       kWarningCaption);
    }
  } else if (!opened.ok()) {
    seams_.warning(
        this,
        QStringLiteral("%1 was not opened.\n\n%2").arg(file.fileName(), rejectionReason(opened.error())),
        kWarningCaption);
  }
  if (opened.ok()) {
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
      controls_.channels[std::size_t(k)]->setEnabled(hasVideo);
      controls_.channels[std::size_t(k)]->setChecked(hasVideo);
    }
    auto* all = controlAs<QCheckBox>(id::kAllChannels);
    all->setEnabled(true);
    all->setChecked(true);
    enableControls(true);
    showVideoPlan();
  }
  exchangeData(false);
  return opened.ok();
}

QStringList ConverterDialog::recentRecordings() const { return remembered_->recent(); }

void ConverterDialog::fillRecentMenu() {
  recentMenu_->clear();
  const QStringList recent = recentRecordings();
  for (const QString& path : recent) {
    QAction* action = recentMenu_->addAction(QDir::toNativeSeparators(path));
    connect(action, &QAction::triggered, this, [this, path] {
      if (!running()) openRecording(path);
    });
  }
  recentMenu_->setEnabled(!recent.isEmpty());
}

void ConverterDialog::onOptions() {
  exchangeData(true);
  const std::optional<DialogOptions> chosen = seams_.chooseDialogOptions(this, dialogOptions());
  if (!chosen) return;
  options_ = *chosen;
  options_.burnIn = chosen->burnIn && chosen->codec.mode == VideoMode::kReEncode;
  showVideoPlan();
  remembered_->setOptions(options_);
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
      if (videoMask >> k & 1u) controls_.channels[std::size_t(k)]->setChecked(true);
    }
  } else {
    selectedChannels_ = 0;
    for (QCheckBox* box : controls_.channels) box->setChecked(false);
  }
  exchangeData(false);
}

void ConverterDialog::onDestination() {
  const std::optional<QString> folder = seams_.chooseFolder(this, destinationDir_);
  if (!folder || folder->isEmpty()) return;
  destinationDir_ = withTrailingSeparator(QDir::fromNativeSeparators(*folder));
  control(id::kDestination)->setToolTip(QDir::toNativeSeparators(destinationDir_));
  remembered_->rememberDestination(sourcePath_, destinationDir_);
  showDestination();
}

void ConverterDialog::onDefaultCodec() {
  exchangeData(true);
  qmv::onDefaultCodec(options_.codec, defaultCodec(),
                      [this](const CompressOptions& current) { return seams_.chooseOptions(this, current); });
  showVideoPlan();
  exchangeData(false);
}

QString ConverterDialog::effectiveDestination() const {
  // Never empty while a recording is open; the fallback keeps files away from the current directory.
  return destinationDir_.isEmpty() ? folderOf(sourcePath_) : destinationDir_;
}

ConversionJob ConverterDialog::passJob() {
  compressorIndex_ = controls_.compressor->currentIndex();
  ConversionSettings settings;
  settings.selectedChannels = selectedChannels_;
  settings.videoMode = options_.codec.mode;
  // Item 0 is XVID, item 1 Divx; no selection labels the video XVID.
  settings.passThroughFourcc = compressorIndex_ == 1 ? PassThroughFourcc::kDivx : PassThroughFourcc::kXvid;
  settings.compressOptions = options_.codec.compressOptions;
  settings.burnIn = options_.burnIn && settings.videoMode == VideoMode::kReEncode;
  settings.container = options_.container;
  settings.timing = options_.timing;
  settings.maxGapSeconds = options_.timing == Timing::kRecorded ? options_.maxGapSeconds : 0;
  settings.utcOffsetMinutes = options_.utcOffsetMinutes;
  settings.standardize = standardize_;
  settings.destinationDir = localPath(effectiveDestination());
  settings.baseName = localPath(baseName_);
  // A recording opened through "Convert what can be recovered" is salvaged whatever the option says.
  const bool salvaged = options_.salvage || recording_.salvageReport() != nullptr;
  ConversionJob job = dialogJob(localPath(sourcePath_), salvaged ? OpenMode::kSalvage : OpenMode::kWhole,
                                settings, options_.sideFiles);
  job.from = options_.from;
  job.to = options_.to;
  return job;
}

void ConverterDialog::onConvert() {
  exchangeData(true);
  if (running()) {
    // A stop request: the worker sees it at its next index entry and reports its end.
    run_->requestStop();
    return;
  }
  if (sourcePath_.isEmpty()) {
    seams_.warning(this,
                   QStringLiteral("There is no recording to convert yet.\n\n"
                                  "Press Open to choose one, or drop a .qmv or .exe file on this window."),
                   kWarningCaption);
    return;
  }
  if (selectedChannels_ == 0) {
    seams_.warning(this,
                   recording_.videoMask() == 0
                       ? QStringLiteral("%1 holds no camera channel with video: there is nothing to convert.")
                             .arg(QFileInfo(sourcePath_).fileName())
                       : QStringLiteral("No channel is ticked. Tick the channels to convert (or All CHs), "
                                        "then press Convert."),
                   kWarningCaption);
    return;
  }
  // A time window that names no part of this recording: say what the recording spans.
  if (const Result<RecordedWindow> window = jobWindow(passJob(), recording_); !window) {
    seams_.warning(
        this,
        QStringLiteral("Nothing was converted: %1.\n\nChange the part of the recording in Options.")
            .arg(QString::fromStdString(window.error().message)),
        kWarningCaption);
    return;
  }
  // A worker that ended early, or whose end is still queued, is finished with before the next starts;
  // a batch that is only opened, not yet converting, stays.
  if (run_->hasWorker()) stopWorker();

  // An earlier conversion of the evidence is never replaced without a word: the existing outputs of
  // every recording of the run are named and the user decides once, before anything is written.
  const PreRunCheck check = checkBeforeRun(run_->planRun(passJob(), recording_));
  // An output that is a recording of the run or another output (a link, or two recordings of one name) is
  // never written, not even with Replace: nothing starts.
  if (!check.clashes.empty()) {
    QString text = QStringLiteral("Nothing was converted.\n");
    for (const std::string& clash : check.clashes)
      text += "\n" + QFile::decodeName(QByteArray::fromStdString(clash));
    seams_.warning(this, text, kWarningCaption);
    return;
  }
  QStringList existing;
  for (const std::string& name : check.existing)
    existing << QDir::toNativeSeparators(QFile::decodeName(QByteArray::fromStdString(name)));
  if (!existing.isEmpty() && !seams_.confirmReplace(this, existing)) return;
  run_->beginRun(QDir::toNativeSeparators(effectiveDestination()), !existing.isEmpty());
  startPass();
}

void ConverterDialog::startPass() {
  if (run_->startPass(passJob(), recording_)) setConvertLabel(true);
}

void ConverterDialog::setProgressRange(quint32 maximum) {
  progressShift_ = 0;
  while ((maximum >> progressShift_) > quint32(INT_MAX)) ++progressShift_;
  // An empty range would turn the bar into a busy indicator; 0..1 at position 0 shows it empty.
  controls_.progress->setRange(0, std::max(1, int(maximum >> progressShift_)));
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
  // While a pass runs the button stops it, and says so; the idle bar shows where the files go.
  controlAs<QPushButton>(id::kConvert)
      ->setText(running ? QStringLiteral("&Stop") : QStringLiteral("&Convert"));
  if (running)
    controls_.progress->setIdleText({});
  else
    showDestination();
}

void ConverterDialog::setProgressPosition(quint32 position) {
  controls_.progress->setValue(int(position >> progressShift_));
}

void ConverterDialog::onConversionDone(const ConversionReport& report) {
  ++completions_;
  enableControls(true);
  controls_.progress->setValue(0);
  progressMaximum_ = 0;
  setConvertLabel(false);
  setWindowTitle(titleFor(sourcePath_));
  const bool failed =
      run_->finishPass(report, QFileInfo(sourcePath_).fileName(), salvageSummaryText(recording_));
  exchangeData(false);
  // A batch goes on with its next recording into the same destination; its one message comes at the end.
  while (!failed && !report.stopped && !run_->batchRest().isEmpty() && !shutDown_) {
    const QString next = run_->takeNextOfBatch();
    QString rejection;
    if (loadRecording(next, &rejection)) {
      remembered_->addRecent(sourcePath_);
      startPass();
      if (run_->hasWorker()) return;
      break;
    }
    run_->skipRecording(QFileInfo(next).fileName(), rejection);
  }
  run_->setBatchRest({});
  setWindowTitle(titleFor(sourcePath_));
  tellOutcome();
}

void ConverterDialog::tellOutcome() {
  if (shutDown_) return;
  const std::optional<RunOutcome> outcome = run_->takeOutcome();
  if (!outcome) return;
  if (outcome->failed) {
    seams_.warning(this, outcome->text, kWarningCaption);
  } else if (seams_.completion(this, outcome->text, kWarningCaption) &&
             !seams_.openUrl(QUrl::fromLocalFile(run_->folder()))) {
    seams_.warning(this,
                   QStringLiteral("The folder could not be shown: no file manager answered.\n\n"
                                  "The files are in:\n%1")
                       .arg(run_->folder()),
                   kWarningCaption);
  }
}

void ConverterDialog::stopWorker() {
  if (const std::optional<ConversionReport> report = run_->stopAndWait()) onConversionDone(*report);
}

void ConverterDialog::shutDown() {
  if (shutDown_) return;
  shutDown_ = true;
  run_->shutDown();
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
  if (running() && !seams_.confirmStop(this)) {
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
  if (!running() && !localFilesOf(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void ConverterDialog::dropEvent(QDropEvent* event) {
  const QStringList files = localFilesOf(event->mimeData());
  if (running() || files.isEmpty()) return;
  event->acceptProposedAction();
  openRecordings(files);
}

void ConverterDialog::keyPressEvent(QKeyEvent* event) {
  // Esc would end the window and with it the conversion: asked first.
  if (event->key() == Qt::Key_Escape && running() && !seams_.confirmStop(this)) return;
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
