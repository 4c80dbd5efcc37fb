// qmv2avi-screenshots OUTDIR: renders the dialogs in their states to PNG files (offscreen platform).
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QThread>
#include <chrono>
#include <cstdio>
#include <thread>

#include "app/about_dialog.h"
#include "app/compress_options_dialog.h"
#include "app/control_ids.h"
#include "app/converter_dialog.h"
#include "app/folder_browser.h"
#include "app/options_dialog.h"
#include "tools/generator/recording_generator.h"

using namespace qmv;
using namespace qmv::app;

namespace {

bool save(QWidget* widget, const QString& dir, const QString& name) {
  widget->show();
  // Lets lazily filled views (the folder tree) load and sort before the picture is taken.
  for (int i = 0; i < 30; ++i) {
    QApplication::processEvents();
    QThread::msleep(10);
  }
  const QString path = QDir(dir).filePath(name);
  const bool ok = widget->grab().save(path);
  std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
  return ok;
}

// A recording on channels 1, 2, 4 and 7 (CH-01, CH-02, CH-04, CH-07).
bool writeRecording(const QString& path) {
  gen::BodyPlan plan;
  plan.header.systemName = "LOBBY-DVR";
  plan.header.hour = 14;
  for (int channel : {0, 1, 3, 6}) {
    gen::ChannelPlan c;
    c.channel = channel;
    c.rateByte = 30;
    plan.channels.push_back(c);
  }
  plan.seconds = 2;
  plan.reuseFrames = true;
  return gen::writeRecordingFile(gen::planScenario(plan), path.toStdString());
}

// Stands in for the worker: half way through, then waits for the stop request.
ConversionReport halfWay(const RecordingFile& recording, const ConversionContext& context) {
  context.progress->progressRange(recording.entryCount());
  context.progress->progressPosition(recording.entryCount() / 2);
  while (!context.stop->load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ConversionReport report;
  report.started = true;
  report.stopped = true;
  context.progress->conversionDone(report);
  return report;
}

}  // namespace

int main(int argc, char* argv[]) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: qmv2avi-screenshots OUTDIR\n");
    return 2;
  }
  const QString outDir = QString::fromLocal8Bit(argv[1]);
  if (!QDir().mkpath(outDir)) {
    std::fprintf(stderr, "cannot create %s\n", argv[1]);
    return 1;
  }
  QTemporaryDir work;
  const QString recordingPath = work.filePath(QStringLiteral("lobby_cam.qmv"));
  if (!writeRecording(recordingPath)) {
    std::fprintf(stderr, "cannot write the sample recording\n");
    return 1;
  }

  bool ok = true;
  DialogSeams seams;
  seams.openFile = [&](QWidget*) { return recordingPath; };
  seams.runConversion = halfWay;
  // The boxes are drawn below from the texts they were given; nothing waits for a click here.
  QString completionText;
  QStringList existing;
  seams.completion = [&](QWidget*, const QString& text, const QString&) {
    completionText = text;
    return false;
  };
  seams.confirmReplace = [&](QWidget*, const QStringList& files) {
    existing = files;
    return false;
  };
  seams.settingsFile = work.filePath(QStringLiteral("settings.ini"));
  ConverterDialog dialog(seams);
  ok &= save(&dialog, outDir, QStringLiteral("01-no-recording.png"));

  dialog.onOpen();
  dialog.controlAs<QCheckBox>(channelControlId(1))->click();  // CH-02 left out
  ok &= save(&dialog, outDir, QStringLiteral("02-recording-open.png"));

  dialog.onConvert();
  for (int i = 0; i < 200 && dialog.controlAs<QProgressBar>(id::kProgress)->value() == 0; ++i) {
    QThread::msleep(5);
    QApplication::processEvents();
  }
  ok &= save(&dialog, outDir, QStringLiteral("03-converting.png"));
  std::printf("title while converting: %s\n", qPrintable(dialog.windowTitle()));
  dialog.onConvert();  // stop
  for (int i = 0; i < 200 && dialog.hasWorker(); ++i) {
    QThread::msleep(5);
    QApplication::processEvents();
  }
  {
    const auto box = completionBox(&dialog, completionText, QStringLiteral("QMV to AVI"));
    ok &= save(box.get(), outDir, QStringLiteral("08-stopped-message.png"));
  }

  {
    // The context menu drawn over the dialog where a right click would open it.
    QImage image = dialog.grab().toImage();
    QMenu* menu = dialog.systemMenu();
    menu->popup(dialog.mapToGlobal(QPoint(120, 60)));
    QApplication::processEvents();
    QPainter painter(&image);
    painter.drawPixmap(QPoint(120, 60), menu->grab());
    painter.end();
    menu->hide();
    const QString path = QDir(outDir).filePath(QStringLiteral("04-context-menu.png"));
    const bool saved = image.save(path);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(path));
    ok &= saved;
  }

  AboutDialog about(&dialog);
  ok &= save(&about, outDir, QStringLiteral("05-about.png"));
  about.hide();

  FolderBrowser browser(QDir::tempPath() + QLatin1Char('/'), &dialog);
  ok &= save(&browser, outDir, QStringLiteral("06-folder-browser.png"));
  browser.hide();

  std::vector<EncoderInfo> encoders = availableEncoders();
  CompressOptionsDialog options(encoders, CompressOptions{}, &dialog);
  ok &= save(&options, outDir, QStringLiteral("07-compression-options.png"));
  options.hide();

  OptionsDialog ourOptions(DialogOptions{}, CompressOptionsDialog::choose, &dialog);
  ok &= save(&ourOptions, outDir, QStringLiteral("09-options.png"));
  ourOptions.hide();

  // A real conversion into a fresh folder for the completion message, then a second one that finds its files.
  {
    DialogSeams real = seams;
    real.runConversion = {};
    real.chooseFolder = [&](QWidget*, const QString&) {
      return std::optional<QString>(work.filePath("out"));
    };
    QDir(work.path()).mkpath(QStringLiteral("out"));
    ConverterDialog converter(real);
    converter.onOpen();
    converter.onDestination();
    completionText.clear();
    converter.onConvert();
    for (int i = 0; i < 2000 && completionText.isEmpty(); ++i) {
      QThread::msleep(5);
      QApplication::processEvents();
    }
    const auto done = completionBox(&converter, completionText, QStringLiteral("QMV to AVI"));
    ok &= save(done.get(), outDir, QStringLiteral("10-completion-message.png"));
    done->hide();
    converter.onConvert();
    const auto replace = replaceBox(&converter, existing);
    ok &= save(replace.get(), outDir, QStringLiteral("11-replace-question.png"));
    replace->hide();
    converter.close();
  }

  dialog.close();
  return ok ? 0 : 1;
}
