// The options dialog and the settings it persists in.
#include "app/options_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QVBoxLayout>
#include <algorithm>

#include "convert/recorded_moment.h"
#include "convert/recorded_time.h"
#include "output/encoder_fit.h"

namespace qmv::app {

namespace {

const QString kGroup = QStringLiteral("options/");
// Pauses up to a day; longer ones are kept as they are.
constexpr int kMaxGapLimit = 24 * 60 * 60;

// The command line's words for an offset it does not take.
const QString kUtcOffsetRule = QStringLiteral("wants +HH:MM or -HH:MM, from -14:00 to +14:00");

bool fits(const std::vector<Container>& fitting, Container container) {
  return std::find(fitting.begin(), fitting.end(), container) != fitting.end();
}

}  // namespace

bool isForWeb(const DialogOptions& options) {
  return options.codec.mode == VideoMode::kReEncode &&
         options.codec.compressOptions == webCompressOptions() && options.container == Container::kMp4;
}

std::vector<Container> fittingContainers(const CodecChoice& codec) {
  if (codec.mode == VideoMode::kPassThrough || codec.compressOptions.encoder.empty())
    return {Container::kAvi, Container::kMkv, Container::kMp4};
  return containersFitting(codec.compressOptions.encoder);
}

DialogOptions loadDialogOptions(QSettings& settings) {
  DialogOptions o;
  o.sideFiles.subtitles = settings.value(kGroup + "subtitles", true).toBool();
  o.sideFiles.frameLog = settings.value(kGroup + "frameLog", false).toBool();
  o.sideFiles.report = settings.value(kGroup + "report", false).toBool();
  o.salvage = settings.value(kGroup + "salvage", false).toBool();
  const int container = settings.value(kGroup + "container", 0).toInt();
  if (container >= 0 && container <= int(Container::kMp4)) o.container = Container(container);
  o.timing =
      settings.value(kGroup + "recordedTiming", false).toBool() ? Timing::kRecorded : Timing::kDeclared;
  o.maxGapSeconds =
      uint32_t(std::clamp(settings.value(kGroup + "maxGapSeconds", 0).toInt(), 0, kMaxGapLimit));
  const QString encoder = settings.value(kGroup + "encoder").toString();
  // A re-encode setting whose encoder this build lacks falls back to pass-through.
  if (settings.value(kGroup + "reEncode", false).toBool() && !encoder.isEmpty() &&
      findEncoder(encoder.toStdString())) {
    o.codec.mode = VideoMode::kReEncode;
    o.codec.compressOptions.encoder = encoder.toStdString();
    o.codec.compressOptions.fourcc = settings.value(kGroup + "fourcc", 0u).toUInt();
    o.codec.compressOptions.quality = settings.value(kGroup + "quality", -1).toInt();
    o.codec.compressOptions.keyFrameInterval = settings.value(kGroup + "keyFrameInterval", 0).toInt();
    o.codec.compressOptions.bitRate = settings.value(kGroup + "bitRate", 0).toLongLong();
    o.codec.compressOptions.profile = settings.value(kGroup + "profile").toString().toStdString();
    o.burnIn = settings.value(kGroup + "burnIn", false).toBool();
    const std::vector<Container> fitting = fittingContainers(o.codec);
    if (!fitting.empty() && !fits(fitting, o.container)) o.container = fitting.front();
  }
  o.utcOffsetMinutes = parseUtcOffset(settings.value(kGroup + "utcOffset").toString().toStdString());
  return o;
}

void saveDialogOptions(QSettings& settings, const DialogOptions& o) {
  settings.setValue(kGroup + "subtitles", o.sideFiles.subtitles);
  settings.setValue(kGroup + "frameLog", o.sideFiles.frameLog);
  settings.setValue(kGroup + "report", o.sideFiles.report);
  const CompressOptions& c = o.codec.compressOptions;
  settings.setValue(kGroup + "reEncode", o.codec.mode == VideoMode::kReEncode);
  settings.setValue(kGroup + "encoder", QString::fromStdString(c.encoder));
  settings.setValue(kGroup + "fourcc", c.fourcc);
  settings.setValue(kGroup + "quality", c.quality);
  settings.setValue(kGroup + "keyFrameInterval", c.keyFrameInterval);
  settings.setValue(kGroup + "bitRate", qlonglong(c.bitRate));
  settings.setValue(kGroup + "profile", QString::fromStdString(c.profile));
  settings.setValue(kGroup + "burnIn", o.burnIn);
  settings.setValue(kGroup + "salvage", o.salvage);
  settings.setValue(kGroup + "container", int(o.container));
  settings.setValue(kGroup + "recordedTiming", o.timing == Timing::kRecorded);
  settings.setValue(kGroup + "maxGapSeconds", int(o.maxGapSeconds));
  settings.setValue(kGroup + "utcOffset", o.utcOffsetMinutes
                                              ? QString::fromStdString(formatUtcOffset(*o.utcOffsetMinutes))
                                              : QString());
}

OptionsDialog::OptionsDialog(const DialogOptions& current, CompressionChooser chooseCompression,
                             QWidget* parent)
    : QDialog(parent), options_(current), chooseCompression_(std::move(chooseCompression)) {
  setWindowTitle(QStringLiteral("Options"));
  auto* layout = new QVBoxLayout(this);

  auto* files = new QGroupBox(QStringLiteral("Files beside the video files"), this);
  auto* filesLayout = new QVBoxLayout(files);
  subtitles_ = new QCheckBox(QStringLiteral("&Subtitles with the recorded date and time (.srt)"), files);
  frameLog_ = new QCheckBox(QStringLiteral("&Frame log (.csv)"), files);
  report_ = new QCheckBox(QStringLiteral("&Integrity report (.report.json)"), files);
  for (QCheckBox* box : {subtitles_, frameLog_, report_}) filesLayout->addWidget(box);
  layout->addWidget(files);

  auto* video = new QGroupBox(QStringLiteral("Video"), this);
  auto* videoLayout = new QVBoxLayout(video);
  passThrough_ = new QRadioButton(QStringLiteral("&Pass-through: the recorded frames unchanged"), video);
  reEncode_ = new QRadioButton(QStringLiteral("&Re-encode"), video);
  // Pass-through MP4 keeps the recorded MPEG-4 Part 2 video, which browsers do not play.
  forWeb_ = new QRadioButton(QStringLiteral("MP4 for bro&wsers and phones (H.264 and AAC)"), video);
  auto* encoderRow = new QHBoxLayout;
  encoder_ = new QPushButton(QStringLiteral("&Encoder..."), video);
  encoderName_ = new QLabel(video);
  encoderRow->addSpacing(20);
  encoderRow->addWidget(encoder_);
  encoderRow->addWidget(encoderName_, 1);
  burnIn_ = new QCheckBox(QStringLiteral("&Burn in the camera name and recorded time"), video);
  videoLayout->addWidget(passThrough_);
  videoLayout->addWidget(reEncode_);
  videoLayout->addLayout(encoderRow);
  videoLayout->addWidget(forWeb_);
  videoLayout->addWidget(burnIn_);
  layout->addWidget(video);

  auto* output = new QGroupBox(QStringLiteral("Video files"), this);
  auto* outputLayout = new QFormLayout(output);
  container_ = new QComboBox(output);
  container_->addItems({QStringLiteral("AVI"), QStringLiteral("MKV (with recorded-time subtitles)"),
                        QStringLiteral("MP4 (AAC audio; browsers need H.264: see below)")});
  timing_ = new QComboBox(output);
  timing_->addItems({QStringLiteral("Declared: frames follow one another at the declared rate"),
                     QStringLiteral("Recorded: every frame at its recorded time, pauses kept")});
  maxGap_ = new QSpinBox(output);
  maxGap_->setRange(0, kMaxGapLimit);
  maxGap_->setSuffix(QStringLiteral(" s"));
  maxGap_->setSpecialValueText(QStringLiteral("never"));
  outputLayout->addRow(QStringLiteral("&Container:"), container_);
  outputLayout->addRow(QStringLiteral("&Timing:"), timing_);
  outputLayout->addRow(QStringLiteral("Shorten pauses &longer than:"), maxGap_);
  utcOffset_ = new QLineEdit(output);
  utcOffset_->setPlaceholderText(QStringLiteral("+HH:MM; empty: not known"));
  utcOffsetHint_ = new QLabel(output);
  // The recorder states no zone: without an offset the files keep the recorded time and claim none.
  utcOffsetHint_->setWordWrap(true);
  outputLayout->addRow(QStringLiteral("Recorder's &UTC offset:"), utcOffset_);
  outputLayout->addRow(QString(), utcOffsetHint_);
  layout->addWidget(output);

  auto* window = new QGroupBox(QStringLiteral("Part of the recording"), this);
  auto* windowLayout = new QFormLayout(window);
  from_ = new QLineEdit(QString::fromStdString(current.from), window);
  from_->setPlaceholderText(QStringLiteral("HH:MM:SS; empty: from the start"));
  to_ = new QLineEdit(QString::fromStdString(current.to), window);
  to_->setPlaceholderText(QStringLiteral("HH:MM:SS; empty: to the end"));
  windowHint_ = new QLabel(window);
  windowHint_->setWordWrap(true);
  windowLayout->addRow(QStringLiteral("&From:"), from_);
  windowLayout->addRow(QStringLiteral("T&o:"), to_);
  windowLayout->addRow(QString(), windowHint_);
  layout->addWidget(window);

  auto* input = new QGroupBox(QStringLiteral("Recordings"), this);
  auto* inputLayout = new QVBoxLayout(input);
  salvage_ = new QCheckBox(QStringLiteral("Sal&vage damaged recordings"), input);
  inputLayout->addWidget(salvage_);
  layout->addWidget(input);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  layout->addWidget(buttons);
  ok_ = buttons->button(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  subtitles_->setChecked(current.sideFiles.subtitles);
  frameLog_->setChecked(current.sideFiles.frameLog);
  report_->setChecked(current.sideFiles.report);
  burnIn_->setChecked(current.burnIn);
  salvage_->setChecked(current.salvage);
  container_->setCurrentIndex(int(current.container));
  timing_->setCurrentIndex(current.timing == Timing::kRecorded ? 1 : 0);
  maxGap_->setValue(int(std::min<uint32_t>(current.maxGapSeconds, kMaxGapLimit)));
  maxGap_->setEnabled(current.timing == Timing::kRecorded);
  if (current.utcOffsetMinutes)
    utcOffset_->setText(QString::fromStdString(formatUtcOffset(*current.utcOffsetMinutes)));
  onUtcOffsetEdited(utcOffset_->text());
  connect(utcOffset_, &QLineEdit::textChanged, this, &OptionsDialog::onUtcOffsetEdited);
  onWindowEdited();
  connect(from_, &QLineEdit::textChanged, this, &OptionsDialog::onWindowEdited);
  connect(to_, &QLineEdit::textChanged, this, &OptionsDialog::onWindowEdited);
  connect(container_, &QComboBox::currentIndexChanged, this,
          [this](int index) { options_.container = Container(std::clamp(index, 0, int(Container::kMp4))); });
  connect(timing_, &QComboBox::currentIndexChanged, this, [this](int index) {
    options_.timing = index == 1 ? Timing::kRecorded : Timing::kDeclared;
    // Only the recorded clock has pauses to shorten.
    maxGap_->setEnabled(options_.timing == Timing::kRecorded);
  });
  connect(maxGap_, &QSpinBox::valueChanged, this,
          [this](int value) { options_.maxGapSeconds = uint32_t(value); });
  connect(subtitles_, &QCheckBox::toggled, this, [this](bool on) { options_.sideFiles.subtitles = on; });
  connect(frameLog_, &QCheckBox::toggled, this, [this](bool on) { options_.sideFiles.frameLog = on; });
  connect(report_, &QCheckBox::toggled, this, [this](bool on) { options_.sideFiles.report = on; });
  connect(burnIn_, &QCheckBox::toggled, this, [this](bool on) { options_.burnIn = on; });
  connect(salvage_, &QCheckBox::toggled, this, [this](bool on) { options_.salvage = on; });
  connect(passThrough_, &QRadioButton::clicked, this, [this] { chooseCodec(true, false); });
  connect(reEncode_, &QRadioButton::clicked, this, [this] { chooseCodec(false, false); });
  connect(encoder_, &QPushButton::clicked, this, [this] { chooseCodec(false, true); });
  connect(forWeb_, &QRadioButton::clicked, this, [this] { chooseForWeb(); });
  showCodec();
}

void OptionsDialog::chooseCodec(bool passThrough, bool askAgain) {
  // From the web choice, Re-encode asks for an encoder of the user's own.
  if (!passThrough && !askAgain && options_.codec.mode == VideoMode::kReEncode && !isForWeb(options_)) return;
  // The Default Codec box's rule: pass-through clears the compression options; re-encode runs the
  // chooser, and cancelling it falls back to pass-through, except that cancelling the Encoder button's
  // chooser keeps the encoder chosen before.
  const CodecChoice before = options_.codec;
  onDefaultCodec(options_.codec, passThrough,
                 [this](const CompressOptions& current) { return chooseCompression_(this, current); });
  if (!passThrough && options_.codec.mode == VideoMode::kPassThrough && before.mode == VideoMode::kReEncode)
    options_.codec = before;
  if (options_.codec.mode == VideoMode::kPassThrough) options_.burnIn = false;
  showCodec();
}

void OptionsDialog::chooseForWeb() {
  options_.codec = CodecChoice{VideoMode::kReEncode, webCompressOptions()};
  options_.container = Container::kMp4;
  showCodec();
}

void OptionsDialog::showCodec() {
  const bool reEncode = options_.codec.mode == VideoMode::kReEncode;
  const bool web = isForWeb(options_);
  passThrough_->setChecked(!reEncode);
  reEncode_->setChecked(reEncode && !web);
  forWeb_->setChecked(web);
  encoder_->setEnabled(reEncode && !web);
  encoderName_->setText(reEncode && !web ? QString::fromStdString(options_.codec.compressOptions.encoder)
                                         : QString());
  // Pass-through never changes a frame, so nothing can be drawn into one.
  burnIn_->setEnabled(reEncode);
  burnIn_->setChecked(reEncode && options_.burnIn);
  offerFittingContainers();
  // The web choice is MP4 by definition.
  if (web) container_->setCurrentIndex(int(Container::kMp4));
  container_->setEnabled(!web);
}

void OptionsDialog::offerFittingContainers() {
  const std::string encoder =
      options_.codec.mode == VideoMode::kReEncode ? options_.codec.compressOptions.encoder : std::string();
  if (encoder == fittedEncoder_ && !encoder.empty()) return;  // each fit test opens an encoder and a muxer
  fittedEncoder_ = encoder;
  const std::vector<Container> fitting = fittingContainers(options_.codec);
  auto* model = qobject_cast<QStandardItemModel*>(container_->model());
  for (int i = 0; i < container_->count(); ++i) {
    QStandardItem* item = model->item(i);
    const bool fit = fitting.empty() || fits(fitting, Container(i));
    item->setEnabled(fit);
    item->setToolTip(
        fit ? QString()
            : QStringLiteral("%1 video does not fit this container").arg(QString::fromStdString(encoder)));
  }
  if (!fitting.empty() && !fits(fitting, options_.container))
    container_->setCurrentIndex(int(fitting.front()));
}

void OptionsDialog::onUtcOffsetEdited(const QString& text) {
  const QString trimmed = text.trimmed();
  const std::optional<int> offset = parseUtcOffset(trimmed.toStdString());
  const bool valid = trimmed.isEmpty() || offset.has_value();
  if (valid) options_.utcOffsetMinutes = trimmed.isEmpty() ? std::nullopt : offset;
  utcOffsetValid_ = valid;
  enableOk();
  if (!valid) {
    utcOffsetHint_->setText(QStringLiteral("The offset %1.").arg(kUtcOffsetRule));
  } else if (offset) {
    utcOffsetHint_->setText(QStringLiteral("The files say when they were recorded in UTC."));
  } else {
    utcOffsetHint_->setText(QStringLiteral("The files keep the recorded time and claim no time zone."));
  }
}

// Only the form is checked here: whether the times lie in the recording is told when Convert is pressed.
void OptionsDialog::onWindowEdited() {
  const std::string from = from_->text().trimmed().toStdString(), to = to_->text().trimmed().toStdString();
  QString wrong;
  for (const std::string* text : {&from, &to}) {
    if (text->empty() || !wrong.isEmpty()) continue;
    if (const Result<int64_t> read = recordedSecondsFrom(SystemInfo{}, *text); !read)
      wrong = QString::fromStdString(read.error().message);
  }
  windowValid_ = wrong.isEmpty();
  if (windowValid_) options_.from = from, options_.to = to;
  windowHint_->setText(!windowValid_                ? wrong + "."
                       : from.empty() && to.empty() ? QStringLiteral("The whole recording is converted.")
                                                    : QStringLiteral("Each camera starts at its last key "
                                                                     "frame at or before the start."));
  enableOk();
}

void OptionsDialog::enableOk() { ok_->setEnabled(utcOffsetValid_ && windowValid_); }

std::optional<DialogOptions> OptionsDialog::choose(QWidget* parent, const DialogOptions& current,
                                                   const CompressionChooser& chooseCompression) {
  OptionsDialog dialog(current, chooseCompression, parent);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.options();
}

}  // namespace qmv::app
