// Tests of the qmv2avi program as started from a shell or a menu: --help and --version without a
// display, and a normal start that shows the converter window.
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include "gui_test_support.h"

namespace {

class ProgramStartTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    QVERIFY(qmv::test::writeRecording(dir_.filePath("cam.qmv"), {0}));
  }

  void start_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("offscreen");
    QTest::addColumn<QString>("expectedOut");
    // No platform at all: the manual page is made from these at build time, on machines without one.
    QTest::newRow("version") << QStringList{"--version"} << false
                             << QStringLiteral("qmv2avi " QMV2AVI_VERSION "\n");
    QTest::newRow("help") << QStringList{"--help"} << false
                          << QStringLiteral("Usage: qmv2avi [--help] [--version] [RECORDING...]\n");
    QTest::newRow("help among Qt options")
        << QStringList{"-platform", "offscreen", "-h"} << false
        << QStringLiteral("Usage: qmv2avi [--help] [--version] [RECORDING...]\n");
    QTest::newRow("window") << QStringList{} << true
                            << QStringLiteral("qmv2avi: window shown: QMV to AVI Converter\n");
    // As the desktop entry's %f passes it.
    QTest::newRow("recording named") << QStringList{"cam.qmv"} << true
                                     << QStringLiteral("qmv2avi: window shown: QMV to AVI : 'cam.qmv'\n");
  }

  void start() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, offscreen);
    QFETCH(QString, expectedOut);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
      env.remove(QString::fromLatin1(name));
    if (offscreen) {
      env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
      env.insert(QStringLiteral("QMV2AVI_QUIT_AFTER_SHOW"), QStringLiteral("1"));
    }
    // The program reads its remembered folders and options; never the user's.
    QTemporaryDir config;
    QVERIFY(config.isValid());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    QProcess program;
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(dir_.path());
    program.start(QStringLiteral(QMV2AVI_APP_PATH), arguments);
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    const QString out = QString::fromUtf8(program.readAllStandardOutput());
    // The help goes on past its first line; the other outputs are exactly one line.
    QCOMPARE(expectedOut.startsWith(QStringLiteral("Usage")) ? out.left(expectedOut.size()) : out,
             expectedOut);
  }
};

}  // namespace

QTEST_GUILESS_MAIN(ProgramStartTest)
#include "program_start_test.moc"
