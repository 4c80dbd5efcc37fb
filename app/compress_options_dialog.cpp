// The compression-options dialog: the encoders this FFmpeg build offers, with their settings.
#include "app/compress_options_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/app_icon.h"
#include "app/dialog_units.h"

namespace qmv::app {

namespace {
// The spin boxes show their special text at their minimum, which stands for the encoder's default.
constexpr int kDefaultQuality = -1;
constexpr int kMaxKeyInterval = 1000;
constexpr int kMaxKbps = 100000;
}  // namespace

CompressOptionsDialog::CompressOptionsDialog(std::vector<EncoderInfo> encoders,
                                             const CompressOptions& current, QWidget* parent)
    : QDialog(parent), encoders_(std::move(encoders)) {
  setWindowTitle(QStringLiteral("Video Compression"));
  setFont(dialogFont());
  setWindowIcon(appIcon());
  const DialogUnits du(font());
  resize(du.toPixels(220, 170));

  list_ = new QListWidget(this);
  int currentRow = -1;
  for (std::size_t i = 0; i < encoders_.size(); ++i) {
    const EncoderInfo& e = encoders_[i];
    QString text = QString::fromStdString(e.description);
    if (e.fourcc != 0) text += QStringLiteral(" (%1)").arg(QString::fromStdString(fourccToString(e.fourcc)));
    if (e.lossless) text += QStringLiteral(", lossless");
    list_->addItem(text);
    if (e.name == current.encoder) currentRow = int(i);
  }

  quality_ = new QSpinBox(this);
  quality_->setRange(kDefaultQuality, 100);
  quality_->setSpecialValueText(QStringLiteral("Default"));
  quality_->setSuffix(QStringLiteral(" %"));
  quality_->setValue(kDefaultQuality);
  keyFrames_ = new QSpinBox(this);
  keyFrames_->setRange(0, kMaxKeyInterval);
  keyFrames_->setSpecialValueText(QStringLiteral("Default"));
  keyFrames_->setSuffix(QStringLiteral(" frames"));
  bitRate_ = new QSpinBox(this);
  bitRate_->setRange(0, kMaxKbps);
  bitRate_->setSpecialValueText(QStringLiteral("Quality-driven"));
  bitRate_->setSuffix(QStringLiteral(" kbit/s"));

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("&Quality:"), quality_);
  form->addRow(QStringLiteral("&Key frame every:"), keyFrames_);
  form->addRow(QStringLiteral("&Data rate:"), bitRate_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  okButton_ = buttons->button(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  auto* listLabel = new QLabel(QStringLiteral("&Compressor:"), this);
  listLabel->setBuddy(list_);
  layout->addWidget(listLabel);
  layout->addWidget(list_, 1);
  layout->addLayout(form);
  layout->addWidget(buttons);

  connect(list_, &QListWidget::currentRowChanged, this, &CompressOptionsDialog::onEncoderChanged);
  if (currentRow >= 0) {
    list_->setCurrentRow(currentRow);
    quality_->setValue(current.quality);
    keyFrames_->setValue(current.keyFrameInterval);
    bitRate_->setValue(int(current.bitRate / 1000));
  } else if (!encoders_.empty()) {
    list_->setCurrentRow(0);
  }
  onEncoderChanged();
}

void CompressOptionsDialog::onEncoderChanged() {
  const int row = list_->currentRow();
  const bool valid = row >= 0 && std::size_t(row) < encoders_.size();
  quality_->setEnabled(valid && encoders_[std::size_t(row)].usesQuality);
  bitRate_->setEnabled(valid && encoders_[std::size_t(row)].usesBitRate);
  keyFrames_->setEnabled(valid);
  okButton_->setEnabled(valid);
}

CompressOptions CompressOptionsDialog::options() const {
  CompressOptions options;
  const int row = list_->currentRow();
  if (row < 0 || std::size_t(row) >= encoders_.size()) return options;
  const EncoderInfo& e = encoders_[std::size_t(row)];
  options.encoder = e.name;
  options.fourcc = e.fourcc;
  options.quality = e.usesQuality ? quality_->value() : kDefaultQuality;
  options.keyFrameInterval = keyFrames_->value();
  options.bitRate = e.usesBitRate ? int64_t(bitRate_->value()) * 1000 : 0;
  return options;
}

std::optional<CompressOptions> CompressOptionsDialog::choose(QWidget* parent,
                                                             const CompressOptions& current) {
  CompressOptionsDialog dialog(availableEncoders(), current, parent);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  CompressOptions options = dialog.options();
  if (options.empty()) return std::nullopt;
  return options;
}

}  // namespace qmv::app
