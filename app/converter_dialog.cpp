// The main dialog: its controls laid out in dialog units, the enabling rule, data exchange and the commands.
#include "app/converter_dialog.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <climits>
#include <system_error>

#include "app/about_dialog.h"
#include "app/app_icon.h"
#include "app/compress_options_dialog.h"
#include "app/control_ids.h"
#include "app/conversion_thread.h"
#include "app/dialog_units.h"
#include "app/folder_browser.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace qmv::app {

namespace {

const QString kCaption = QStringLiteral("QMV to AVI Converter");
// String 101: "QMV2AVI information", Alt+A selects it.
const QString kAboutItemText = QStringLiteral("QMV2AVI 정보(&A)...");
const QString kWarningCaption = QStringLiteral("QMV to AVI");

QString withTrailingSeparator(const QString& folder) {
  return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

QString folderOf(const QString& filePath) {
  return withTrailingSeparator(QFileInfo(filePath).absolutePath());
}

std::string localPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

QString defaultOpenFile(QWidget* parent) {
  QString selectedFilter;
  return QFileDialog::getOpenFileName(parent, QStringLiteral("Open DVR File"), QString(), openFileFilter(),
                                      &selectedFilter, QFileDialog::HideNameFilterDetails);
}

}  // namespace

QString openFileFilter() {
  // Qt takes each filter's patterns from its last parentheses; the description keeps the original text.
  return QStringLiteral("DVR(QMV or Exe) Files (*.qmv, *.exe) (*.qmv *.exe);;All Files (*.*) (*)");
}

DialogSeams withDefaults(DialogSeams seams) {
  if (!seams.openFile) seams.openFile = defaultOpenFile;
  if (!seams.chooseFolder) seams.chooseFolder = FolderBrowser::choose;
  if (!seams.chooseOptions) seams.chooseOptions = CompressOptionsDialog::choose;
  if (!seams.warning) {
    seams.warning = [](QWidget* parent, const QString& text, const QString& caption) {
      QMessageBox::warning(parent, caption, text);
    };
  }
  if (!seams.runConversion) seams.runConversion = qmv::runConversion;
  return seams;
}

ConverterDialog::ConverterDialog(DialogSeams seams, QWidget* parent)
    : QDialog(parent), seams_(withDefaults(std::move(seams))) {
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

  setWindowIcon(appIcon());

  standardize_ = 1;
  compressorIndex_ = 0;
  sourcePath_.clear();
  destinationDir_.clear();
  recording_.close();
  enableControls(false);
  compressor_->setCurrentIndex(0);
  compressor_->lineEdit()->setCursorPosition(0);
  defaultCodec_ = 1;
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
  const QString chosen = seams_.openFile(this);
  if (chosen.isEmpty()) return;
  const QFileInfo file(chosen);
  setWindowTitle(QStringLiteral("QMV to AVI : '%1'").arg(file.fileName()));

  // The reader keeps the earlier recording when it rejects a file, and so does everything named
  // after it: sourcePath, baseName and destinationDir go on describing the recording that is current.
  const Status opened = recording_.open(localPath(file.absoluteFilePath()));
  if (opened.ok()) {
    sourcePath_ = file.absoluteFilePath();
    // Taken on every accepted Open, so that outputs are named after the recording being converted.
    baseName_ = file.completeBaseName();
    if (destinationDir_.isEmpty()) destinationDir_ = folderOf(sourcePath_);

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
  if (folder && !folder->isEmpty())
    destinationDir_ = withTrailingSeparator(QDir::fromNativeSeparators(*folder));
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
  // After a completed conversion the destination is empty until the next Open or Destination;
  // the files then go next to the recording rather than into whatever the current directory is.
  return destinationDir_.isEmpty() ? folderOf(sourcePath_) : destinationDir_;
}

void ConverterDialog::onConvert() {
  exchangeData(true);
  if (sourcePath_.isEmpty()) return;
  if (running() == 1) {
    // A stop request: the worker sees it at its next index entry and reports its end.
    stop_.store(true);
    return;
  }
  // A worker that ended early, or whose end is still queued, is finished with before the next starts.
  stopWorker();

  compressorIndex_ = compressor_->currentIndex();
  ConversionSettings settings;
  settings.selectedChannels = selectedChannels_;
  settings.videoMode = defaultCodec_ != 0 ? VideoMode::kPassThrough : VideoMode::kReEncode;
  // Item 0 is XVID, item 1 Divx; no selection labels the video XVID.
  settings.passThroughFourcc = compressorIndex_ == 1 ? PassThroughFourcc::kDivx : PassThroughFourcc::kXvid;
  settings.compressOptions = compressOptions_;
  settings.standardize = standardize_ != 0;
  settings.destinationDir = localPath(effectiveDestination());
  settings.baseName = localPath(baseName_);

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
        if (current()) setProgressPosition(position);
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
  try {
    // Made before the first press can return, so that a quick second press is a stop and never a
    // second worker.
    worker_ = std::make_unique<ConversionThread>(
        std::move(sink), [run, recording, settings, stop = &stop_](QtConversionSink& s) {
          ConversionContext context;
          context.settings = settings;
          context.progress = &s;
          context.messages = &s;
          context.stop = stop;
          return run(*recording, context);
        });
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
}

void ConverterDialog::setProgressPosition(quint32 position) {
  progress_->setValue(int(position >> progressShift_));
}

void ConverterDialog::onConversionDone(const ConversionReport& report) {
  ++completions_;
  enableControls(true);
  progress_->setValue(0);
  destinationDir_.clear();
  if (worker_) {
    // The worker emits its end as its last act; the join only waits for its return.
    worker_->join();
    worker_.reset();
  }
  exchangeData(false);
  if (report.outputError) {
    // Not a finished conversion: the files of this pass are incomplete, so the user is told.
    seams_.warning(this,
                   QStringLiteral("The conversion stopped because an output file could not be written.\n\n%1")
                       .arg(QString::fromStdString(report.outputError->message)),
                   kWarningCaption);
  } else if (report.inputError) {
    seams_.warning(this,
                   QStringLiteral("The conversion stopped because the recording changed while it was read.\n\n%1")
                       .arg(QString::fromStdString(report.inputError->message)),
                   kWarningCaption);
  }
}

void ConverterDialog::stopWorker() {
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
  QDialog::closeEvent(event);
  if (event->isAccepted()) shutDown();
}

void ConverterDialog::contextMenuEvent(QContextMenuEvent* event) {
#ifdef Q_OS_WIN
  QDialog::contextMenuEvent(event);
#else
  // The window manager owns the title-bar menu here; the About item is offered on the dialog instead.
  systemMenu_->exec(event->globalPos());
#endif
}

void ConverterDialog::keyPressEvent(QKeyEvent* event) {
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
