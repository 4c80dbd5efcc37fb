// OptionsDialog: what a conversion from the dialog writes besides the video files, the container and clock of
// those files, and how their video is made.
#pragma once

#include <QDialog>
#include <functional>
#include <optional>
#include <vector>

#include "app/dialog_outputs.h"
#include "convert/conversion_context.h"
#include "transcode/compress_options.h"

class QCheckBox;
class QComboBox;
class QSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSettings;

namespace qmv::app {

// The options the main window's context menu sets; they persist in the settings.
struct DialogOptions {
  SideFileChoices sideFiles;
  CodecChoice codec;     // pass-through, or re-encode with the compression options
  bool burnIn = false;   // re-encode only: camera name and recorded time drawn into each picture
  bool salvage = false;  // a damaged recording opens with what salvage recovers instead of being refused
  Container container = Container::kAvi;
  Timing timing = Timing::kDeclared;
  uint32_t maxGapSeconds = 0;  // recorded timing: longer pauses close to this; 0 keeps every pause
  // Minutes east of UTC where the recorder stood, when the user knows it; none: the files claim no zone.
  std::optional<int> utcOffsetMinutes;
  // The part of the recording to convert, as typed (HH:MM:SS or YYYY-MM-DD HH:MM:SS); empty: from the start,
  // to the end. Checked against the recording when Convert is pressed; not kept for the next run of the
  // program, which will likely open another recording.
  std::string from;
  std::string to;

  bool operator==(const DialogOptions& other) const {
    return sideFiles == other.sideFiles && codec.mode == other.codec.mode &&
           codec.compressOptions == other.codec.compressOptions && burnIn == other.burnIn &&
           salvage == other.salvage && container == other.container && timing == other.timing &&
           maxGapSeconds == other.maxGapSeconds && utcOffsetMinutes == other.utcOffsetMinutes &&
           from == other.from && to == other.to;
  }
};

// "MP4 for browsers and phones": the web encoder settings (webCompressOptions) into MP4.
bool isForWeb(const DialogOptions& options);

// The containers the options' video fits: all for pass-through, those the re-encoder's stream fits
// otherwise (containersFitting).
std::vector<Container> fittingContainers(const CodecChoice& codec);

// A stored re-encoder whose stream its stored container does not take gets the first container it fits.
DialogOptions loadDialogOptions(QSettings& settings);
void saveDialogOptions(QSettings& settings, const DialogOptions& options);

// The compression-options chooser the Encoder button and the Re-encode choice open.
using CompressionChooser =
    std::function<std::optional<CompressOptions>(QWidget* parent, const CompressOptions& current)>;

class OptionsDialog : public QDialog {
  Q_OBJECT
 public:
  OptionsDialog(const DialogOptions& current, CompressionChooser chooseCompression,
                QWidget* parent = nullptr);

  DialogOptions options() const { return options_; }

  QCheckBox* subtitlesBox() const { return subtitles_; }
  QCheckBox* frameLogBox() const { return frameLog_; }
  QCheckBox* reportBox() const { return report_; }
  QRadioButton* passThroughButton() const { return passThrough_; }
  QRadioButton* reEncodeButton() const { return reEncode_; }
  QRadioButton* forWebButton() const { return forWeb_; }
  QPushButton* encoderButton() const { return encoder_; }
  QCheckBox* burnInBox() const { return burnIn_; }
  QCheckBox* salvageBox() const { return salvage_; }
  QComboBox* containerBox() const { return container_; }    // AVI, MKV, MP4 in Container's order
  QComboBox* timingBox() const { return timing_; }          // Declared, Recorded in Timing's order
  QSpinBox* maxGapBox() const { return maxGap_; }           // enabled with recorded timing
  QLineEdit* utcOffsetField() const { return utcOffset_; }  // "+HH:MM", or empty when not known
  QLabel* utcOffsetHint() const { return utcOffsetHint_; }
  QLineEdit* fromField() const { return from_; }  // the window's start; empty: the recording's
  QLineEdit* toField() const { return to_; }      // its end; empty: the recording's
  QLabel* windowHint() const { return windowHint_; }
  QPushButton* okButton() const { return ok_; }

  // Runs the dialog; the accepted options, or nullopt when cancelled.
  static std::optional<DialogOptions> choose(QWidget* parent, const DialogOptions& current,
                                             const CompressionChooser& chooseCompression);

 private:
  // The Re-encode and Pass-through choices and the Encoder button, through the Default Codec rule.
  void chooseCodec(bool passThrough, bool askAgain);
  void chooseForWeb();
  void showCodec();
  // Only the containers the video fits can be chosen; a choice that no longer fits moves to one that does.
  void offerFittingContainers();
  void onUtcOffsetEdited(const QString& text);
  void onWindowEdited();
  // OK takes only texts the conversion can read.
  void enableOk();

  DialogOptions options_;
  CompressionChooser chooseCompression_;
  QCheckBox* subtitles_;
  QCheckBox* frameLog_;
  QCheckBox* report_;
  QRadioButton* passThrough_;
  QRadioButton* reEncode_;
  QRadioButton* forWeb_;
  QPushButton* encoder_;
  QLabel* encoderName_;
  QCheckBox* burnIn_;
  QCheckBox* salvage_;
  QComboBox* container_;
  QComboBox* timing_;
  QSpinBox* maxGap_;
  QLineEdit* utcOffset_;
  QLabel* utcOffsetHint_;
  QLineEdit* from_;
  QLineEdit* to_;
  QLabel* windowHint_;
  bool utcOffsetValid_ = true;
  bool windowValid_ = true;
  QPushButton* ok_;
  std::string fittedEncoder_;  // the encoder the container list was last fitted to
};

}  // namespace qmv::app
