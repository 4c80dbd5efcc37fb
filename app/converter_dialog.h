// ConverterDialog: the main window; owns the recording and the chosen options, and hands conversions to its
// run controller.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

#include "app/dialog_layout.h"
#include "app/dialog_outputs.h"
#include "app/options_dialog.h"
#include "convert/conversion_worker.h"
#include "recording/recording_file.h"
#include "transcode/compress_options.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QMessageBox;
class QProgressBar;
class QPushButton;

namespace qmv::app {

class RememberedState;
class RunController;

// Everything the dialog asks of the user or shows modally, and the worker it starts.
// Each member defaults to the real thing; tests fill them.
struct DialogSeams {
  // The file-open dialog: the chosen file's full path, or empty when cancelled.
  std::function<QString(QWidget* parent)> openFile;
  // The file-open dialog with several files allowed, opened in initialDir; empty when cancelled. Used
  // when set; by default it is the real dialog unless openFile is set.
  std::function<QStringList(QWidget* parent, const QString& initialDir)> openFiles;
  // The folder browser, opened on the current destination: the chosen folder, or nullopt.
  std::function<std::optional<QString>(QWidget* parent, const QString& initialDir)> chooseFolder;
  // The compression-options dialog: the accepted options, or nullopt when cancelled.
  std::function<std::optional<CompressOptions>(QWidget* parent, const CompressOptions& current)>
      chooseOptions;
  // Our options dialog: the accepted options, or nullopt when cancelled.
  std::function<std::optional<DialogOptions>(QWidget* parent, const DialogOptions& current)>
      chooseDialogOptions;
  // A modal warning box.
  std::function<void(QWidget* parent, const QString& text, const QString& caption)> warning;
  // The completion box, with "Open Folder" beside OK: true when Open Folder was pressed.
  std::function<bool(QWidget* parent, const QString& text, const QString& caption)> completion;
  // Opens a folder in the desktop's file manager; false when none could be started.
  std::function<bool(const QUrl& folder)> openUrl;
  // A recording was refused as damaged: true = "Convert what can be recovered", false = Cancel.
  std::function<bool(QWidget* parent, const QString& text)> offerSalvage;
  // Asked once before anything is written when outputs exist already: true = Replace, false = Cancel.
  std::function<bool(QWidget* parent, const QStringList& existing)> confirmReplace;
  // Asked before Esc or closing ends a running conversion: true = stop it and close.
  std::function<bool(QWidget* parent)> confirmStop;
  // Where the remembered folders and options live: an ini file; empty = the user's settings.
  QString settingsFile;
  // The conversion pass; runs on the worker's thread.
  std::function<ConversionReport(const RecordingFile&, const ConversionContext&)> runConversion;
};

// Fills every empty member with the real dialog or function.
DialogSeams withDefaults(DialogSeams seams);

// The completion box ("Open Folder" beside OK) and the Replace / Cancel question, unshown.
std::unique_ptr<QMessageBox> completionBox(QWidget* parent, const QString& text, const QString& caption);
std::unique_ptr<QMessageBox> replaceBox(QWidget* parent, const QStringList& existing);
std::unique_ptr<QMessageBox> salvageBox(QWidget* parent, const QString& text);

// "DVR(QMV or Exe) Files (*.qmv, *.exe)" and "All Files (*.*)", in Qt's filter syntax.
QString openFileFilter();

class ConverterDialog : public QDialog {
  Q_OBJECT
 public:
  explicit ConverterDialog(DialogSeams seams = {}, QWidget* parent = nullptr);
  ~ConverterDialog() override;

  // The control with this template id, or null.
  QWidget* control(int id) const { return controls_.control(id); }
  template <typename T>
  T* controlAs(int id) const {
    return qobject_cast<T*>(control(id));
  }
  // The About item's menu (the title-bar menu where the window manager owns it).
  QMenu* systemMenu() const { return systemMenu_; }

  // Handlers.
  void onOpen();
  void toggleChannel(int channelIndex);
  void onAllChannels();
  void onDestination();
  void onDefaultCodec();
  void onConvert();
  // command & 0xFFF0 == 0x10 opens the About box; other commands are the window manager's.
  bool onSysCommand(unsigned command);

  // Enables the input controls (channel boxes only where the recording has video); Convert stays as it is.
  void enableControls(bool enable);
  // true: controls into members; false: members into controls.
  void exchangeData(bool fromControls);

  // Members, for the worker's settings and for tests.
  const RecordingFile& recording() const { return recording_; }
  uint32_t selectedChannels() const { return selectedChannels_; }
  int compressorIndex() const { return compressorIndex_; }
  // True while a worker converts and no stop has been asked of it.
  bool running() const;
  bool hasWorker() const;
  const QString& sourcePath() const { return sourcePath_; }
  const QString& baseName() const { return baseName_; }
  const QString& destinationDir() const { return destinationDir_; }
  bool standardize() const { return standardize_; }
  // The Default Codec box: pass-through.
  bool defaultCodec() const { return options_.codec.mode == VideoMode::kPassThrough; }
  const CompressOptions& compressOptions() const { return options_.codec.compressOptions; }
  // How many completion steps have run (one per finished conversion pass).
  int completions() const { return completions_; }
  // The options as the next conversion takes them.
  const DialogOptions& dialogOptions() const { return options_; }
  // The recordings of a batch still to convert after the current one.
  const QStringList& batchRest() const;
  // The recently opened recordings, newest first.
  QStringList recentRecordings() const;

  // Opens the recording at path as Open does after its file dialog; batchRest: the recordings Convert
  // converts after it.
  void openRecording(const QString& path, const QStringList& batchRest = {});
  // Opens the first of paths; Convert then converts them all, one after another, into the destination.
  void openRecordings(const QStringList& paths);
  void onOptions();

 protected:
  void done(int result) override;
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
#ifdef Q_OS_WIN
  bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
  void showEvent(QShowEvent* event) override;
#endif

 private:
  void createControls();
  void initDialog();
  void setProgressRange(quint32 maximum);
  void setProgressPosition(quint32 position);
  void onConversionDone(const ConversionReport& report);
  // Loads path as the current recording; false when the reader rejects it. The destination is left alone.
  // rejection: where a rejected file's reason goes instead of a message box (a batch tells it at its end).
  // convertRecovered: set when the user chose to convert what salvage recovers from a damaged recording.
  bool loadRecording(const QString& path, QString* rejection = nullptr, bool* convertRecovered = nullptr);
  // The compressor box: a choice only for AVI pass-through; otherwise it shows what the video becomes.
  void showVideoPlan();
  // The destination in the idle progress bar.
  void showDestination();
  void fillRecentMenu();
  // The job of a pass over the current recording into the current destination.
  ConversionJob passJob();
  void startPass();
  // The completion or failure message of the run that just ended.
  void tellOutcome();
  void setConvertLabel(bool running);
  void showProgressTitle(quint32 position);
  QString titleFor(const QString& path) const;
  // Stops a running worker and waits for it; a pass it finished gets its completion step here.
  void stopWorker();
  void shutDown();
  QString effectiveDestination() const;

  DialogSeams seams_;
  std::unique_ptr<RememberedState> remembered_;
  DialogOptions options_;
  std::unique_ptr<RunController> run_;
  QElapsedTimer runClock_;
  quint32 progressMaximum_ = 0;

  // Members of the template's data exchange.
  RecordingFile recording_;
  uint32_t selectedChannels_ = 0;
  int compressorIndex_ = 0;
  QString sourcePath_;
  QString baseName_;
  QString destinationDir_;
  QString infoSystemName_;
  QString infoVersion_;
  QString infoRecordedTime_;
  QString infoMacAddress_;
  QString infoLanguageVideo_;
  bool standardize_ = false;

  int progressShift_ = 0;  // positions are shifted down so that huge entry counts fit the bar's int
  int completions_ = 0;
  bool shutDown_ = false;

  DialogControls controls_;
  QMenu* systemMenu_ = nullptr;
  QMenu* recentMenu_ = nullptr;
#ifdef Q_OS_WIN
  bool systemMenuAppended_ = false;
#endif
};

}  // namespace qmv::app
