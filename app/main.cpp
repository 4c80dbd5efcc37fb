// Entry of the qmv2avi program: the converter dialog, with the recordings named on the command line open in
// it;
// --help and --version answer and exit.
#include <QApplication>
#include <QEvent>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/converter_app.h"
#include "recording/standard_descriptors.h"

#ifndef QMV2AVI_VERSION
#define QMV2AVI_VERSION "0.0.0"
#endif

namespace {

constexpr char kHelp[] =
    "Usage: qmv2avi [--help] [--version] [RECORDING...]\n"
    "Converts recordings of a 16-channel DVR (.qmv, or a player .exe with a recording) to video files\n"
    "(AVI, MKV or MP4), one per camera channel. Opens one window: Open a recording, pick channels\n"
    "and a destination folder, press Convert (press it again to stop). A RECORDING named here is open\n"
    "in the window; with several, Convert converts them all, one after another.\n"
    "\n"
    "Options:\n"
    "  -h, --help     Print this help message and exit\n"
    "  --version      Display program version information and exit\n"
    "\n"
    "Qt's own options, such as -platform offscreen, are accepted as well.\n"
    "The command-line tool qmv2avi-cli does the same conversions from a shell.\n";

// Answered before QApplication exists, so that they work without a display (the manual page is made
// from them at build time). Any other argument is left to Qt.
bool answerInfoOption(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kHelp, stdout);
      return true;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("qmv2avi " QMV2AVI_VERSION);
      return true;
    }
  }
  return false;
}

// With QMV2AVI_QUIT_AFTER_SHOW set, the first window that is shown is named on stdout and closed again,
// which ends the program with status 0. Installed packages are smoke-tested this way on the offscreen
// platform: a run that only timed out could not tell a shown window from a start that hangs before it.
class QuitAfterShow : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!done_ && event->type() == QEvent::Show && widget != nullptr && widget->isWindow()) {
      done_ = true;
      std::printf("qmv2avi: window shown: %s\n", qPrintable(widget->windowTitle()));
      std::fflush(stdout);
      QTimer::singleShot(0, widget, [widget] { widget->close(); });
    }
    return false;
  }

 private:
  bool done_ = false;
};

}  // namespace

int main(int argc, char* argv[]) {
  if (!qmv::keepStandardDescriptorsOpen()) return 1;
  if (answerInfoOption(argc, argv)) return 0;
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("qmv2avi"));
  QuitAfterShow quitAfterShow;
  if (std::getenv("QMV2AVI_QUIT_AFTER_SHOW") != nullptr) application.installEventFilter(&quitAfterShow);
  // Qt has taken its own options out of the arguments; the rest name recordings. "--" ends the options.
  QStringList recordings;
  bool optionsEnded = false;
  const QStringList arguments = QApplication::arguments();
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    if (!optionsEnded && arguments[i] == QStringLiteral("--")) {
      optionsEnded = true;
    } else if (optionsEnded || !arguments[i].startsWith(QLatin1Char('-'))) {
      recordings << arguments[i];
    }
  }
  qmv::app::ConverterApp app({}, recordings);
  app.initInstance();
  return 0;
}
