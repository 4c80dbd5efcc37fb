// CompressOptionsDialog: picks the re-encoding compressor and its quality, key-frame and bit-rate settings.
#pragma once

#include <QDialog>
#include <optional>
#include <vector>

#include "transcode/compress_options.h"

class QCheckBox;
class QListWidget;
class QPushButton;
class QSpinBox;

namespace qmv::app {

class CompressOptionsDialog : public QDialog {
  Q_OBJECT
 public:
  // current preselects its encoder and settings when that encoder is on offer.
  CompressOptionsDialog(std::vector<EncoderInfo> encoders, const CompressOptions& current,
                        QWidget* parent = nullptr);

  // The options as the controls show them; empty when no encoder is selected.
  CompressOptions options() const;

  QListWidget* encoderList() const { return list_; }
  QSpinBox* qualityBox() const { return quality_; }
  QSpinBox* keyFrameBox() const { return keyFrames_; }
  QSpinBox* bitRateBox() const { return bitRate_; }

  // Runs the dialog over availableEncoders(); nullopt when cancelled or nothing was chosen.
  static std::optional<CompressOptions> choose(QWidget* parent, const CompressOptions& current);

 private:
  void onEncoderChanged();

  std::vector<EncoderInfo> encoders_;
  QListWidget* list_;
  QSpinBox* quality_;
  QSpinBox* keyFrames_;
  QSpinBox* bitRate_;
  QPushButton* okButton_ = nullptr;
};

}  // namespace qmv::app
