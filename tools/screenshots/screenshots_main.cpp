// qmv2avi-screenshots OUTDIR: renders the dialogs in their states to PNG files (offscreen platform).
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QMenu>
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
  dialog.onConvert();  // stop
  for (int i = 0; i < 200 && dialog.hasWorker(); ++i) {
    QThread::msleep(5);
    QApplication::processEvents();
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

  dialog.close();
  return ok ? 0 : 1;
}
