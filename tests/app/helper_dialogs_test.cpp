// Tests of the dialog-unit conversion, the folder browser, the compression-options dialog and the file
// filter.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include "app/compress_options_dialog.h"
#include "app/converter_dialog.h"
#include "app/dialog_units.h"
#include "app/folder_browser.h"
#include "app/options_dialog.h"

using namespace qmv;
using namespace qmv::app;

class HelperDialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void dialogUnits_data() {
    QTest::addColumn<int>("baseWidth");
    QTest::addColumn<int>("baseHeight");
    QTest::addColumn<QRect>("du");
    QTest::addColumn<QRect>("pixels");
    // Units: x = du * baseWidth / 4, y = du * baseHeight / 8, rounded to the nearest pixel.
    QTest::newRow("exact") << 8 << 16 << QRect(10, 10, 50, 14) << QRect(20, 20, 100, 28);
    QTest::newRow("rounded") << 7 << 15 << QRect(9, 14, 61, 8) << QRect(16, 26, 107, 15);
    QTest::newRow("half rounds up") << 6 << 13 << QRect(1, 1, 1, 1) << QRect(2, 2, 1, 1);
    QTest::newRow("origin") << 7 << 15 << QRect(0, 0, 320, 158) << QRect(0, 0, 560, 296);
  }

  void dialogUnits() {
    QFETCH(int, baseWidth);
    QFETCH(int, baseHeight);
    QFETCH(QRect, du);
    QFETCH(QRect, pixels);
    const DialogUnits units(baseWidth, baseHeight);
    QCOMPARE(units.toPixels(DuRect{du.x(), du.y(), du.width(), du.height()}), pixels);
  }

  void adjacentControlsKeepTheirEdges() {
    // Two rectangles that touch in dialog units touch in pixels, whatever the rounding.
    const DialogUnits units(7, 15);
    for (int x = 0; x < 40; ++x) {
      const QRect left = units.toPixels(DuRect{x, x, 3, 3});
      const QRect right = units.toPixels(DuRect{x + 3, x + 3, 5, 5});
      QCOMPARE(left.right() + 1, right.left());
      QCOMPARE(left.bottom() + 1, right.top());
    }
  }

  void fontMetricsGiveTheUnits() {
    const QFont font = dialogFont();
    QCOMPARE(font.pointSize(), 10);
    const DialogUnits units(font);
    const QFontMetrics metrics(font);
    QCOMPARE(units.baseWidth(), metrics.averageCharWidth());
    QCOMPARE(units.baseHeight(), metrics.height());
  }

  void fitTextWidth_data() {
    QTest::addColumn<int>("alignment");
    QTest::addColumn<int>("textWidth");
    QTest::addColumn<QRect>("fitted");
    const QRect r(100, 10, 50, 15);
    QTest::newRow("fits") << int(Qt::AlignRight) << 50 << r;
    QTest::newRow("right grows left") << int(Qt::AlignRight) << 60 << QRect(90, 10, 60, 15);
    QTest::newRow("left grows right") << int(Qt::AlignLeft) << 60 << QRect(100, 10, 60, 15);
    QTest::newRow("centre grows both") << int(Qt::AlignHCenter) << 60 << QRect(95, 10, 60, 15);
  }

  void fitTextWidth() {
    QFETCH(int, alignment);
    QFETCH(int, textWidth);
    QFETCH(QRect, fitted);
    QCOMPARE(qmv::app::fitTextWidth(QRect(100, 10, 50, 15), textWidth, Qt::Alignment(alignment)), fitted);
  }

  void folderBrowserInitialPath_data() {
    QTest::addColumn<QString>("initialDir");
    QTest::addColumn<QString>("path");
    QTest::newRow("trailing separator dropped") << "/srv/out/"
                                                << "/srv/out";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("root") << "/"
                          << "/";
  }

  void folderBrowserInitialPath() {
    QFETCH(QString, initialDir);
    QFETCH(QString, path);
    QCOMPARE(FolderBrowser::initialPath(initialDir), path);
  }

  void folderBrowserSelectionAndStatus() {
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath("first"));
    QVERIFY(QDir(dir.path()).mkpath("second"));
    const QString first = QDir(dir.path()).filePath("first");
    const QString second = QDir(dir.path()).filePath("second");

    FolderBrowser browser(first + "/");
    QCOMPARE(browser.windowTitle(), QString("Choose Destination Directory"));
    QCOMPARE(browser.selectedPath(), first);
    QCOMPARE(browser.statusText(), QDir::toNativeSeparators(first));
    browser.selectPath(second);
    QCOMPARE(browser.selectedPath(), second);
    QCOMPARE(browser.statusText(), QDir::toNativeSeparators(second));
    browser.selectPath(QDir(dir.path()).filePath("no-such-folder"));
    QCOMPARE(browser.selectedPath(), second);

    FolderBrowser empty{QString()};
    QCOMPARE(empty.selectedPath(), QString());
    QCOMPARE(empty.statusText(), QString());
  }

  void compressOptionsDialog() {
    std::vector<EncoderInfo> encoders(2);
    encoders[0].name = "ffv1";
    encoders[0].description = "FFmpeg video codec #1";
    encoders[0].fourcc = makeFourcc('F', 'F', 'V', '1');
    encoders[0].lossless = true;
    encoders[1].name = "mpeg4";
    encoders[1].description = "MPEG-4 part 2";
    encoders[1].fourcc = makeFourcc('F', 'M', 'P', '4');
    encoders[1].usesQuality = true;
    encoders[1].usesBitRate = true;

    // Nothing chosen yet: the first encoder is offered with its defaults.
    CompressOptionsDialog fresh(encoders, CompressOptions{});
    QCOMPARE(fresh.encoderList()->count(), 2);
    QCOMPARE(fresh.options().encoder, std::string("ffv1"));
    QCOMPARE(fresh.options().quality, -1);
    QVERIFY(!fresh.qualityBox()->isEnabled());
    QVERIFY(!fresh.bitRateBox()->isEnabled());
    fresh.encoderList()->setCurrentRow(1);
    QVERIFY(fresh.qualityBox()->isEnabled());
    QCOMPARE(fresh.options().quality, -1);
    QCOMPARE(fresh.options().keyFrameInterval, 0);
    QCOMPARE(fresh.options().bitRate, int64_t(0));

    // The current options are shown, and what is changed comes back.
    CompressOptions current;
    current.encoder = "mpeg4";
    current.fourcc = encoders[1].fourcc;
    current.quality = 70;
    current.keyFrameInterval = 25;
    current.bitRate = 800000;
    CompressOptionsDialog dialog(encoders, current);
    QCOMPARE(dialog.options(), current);
    dialog.qualityBox()->setValue(90);
    dialog.keyFrameBox()->setValue(0);
    CompressOptions expected = current;
    expected.quality = 90;
    expected.keyFrameInterval = 0;
    QCOMPARE(dialog.options(), expected);

    // An encoder without a quality or bit-rate setting gets neither.
    dialog.encoderList()->setCurrentRow(0);
    QCOMPARE(dialog.options().encoder, std::string("ffv1"));
    QCOMPARE(dialog.options().quality, -1);
    QCOMPARE(dialog.options().bitRate, int64_t(0));

    CompressOptionsDialog none(std::vector<EncoderInfo>{}, current);
    QVERIFY(none.options().empty());
    QPushButton* ok = nullptr;
    for (auto* b : none.findChildren<QPushButton*>())
      if (b->text().remove('&') == "OK") ok = b;
    QVERIFY(ok && !ok->isEnabled());
  }

  // Re-encode runs the compression chooser; pass-through clears its options; burn-in goes with re-encode
  // only.
  void optionsDialog() {
    std::optional<CompressOptions> answer;
    int asked = 0;
    auto chooser = [&](QWidget*, const CompressOptions&) {
      ++asked;
      return answer;
    };
    DialogOptions current;
    OptionsDialog dialog(current, chooser);
    QVERIFY(dialog.subtitlesBox()->isChecked());
    QVERIFY(!dialog.frameLogBox()->isChecked() && !dialog.reportBox()->isChecked());
    QVERIFY(dialog.passThroughButton()->isChecked());
    QVERIFY(!dialog.burnInBox()->isEnabled() && !dialog.encoderButton()->isEnabled());

    dialog.reEncodeButton()->click();  // chooser cancelled: still pass-through
    QCOMPARE(asked, 1);
    QVERIFY(dialog.passThroughButton()->isChecked());
    QCOMPARE(dialog.options().codec.mode, VideoMode::kPassThrough);

    answer = CompressOptions{"mpeg4", 0, 70, 0, 0, ""};
    dialog.reEncodeButton()->click();
    QCOMPARE(asked, 2);
    QCOMPARE(dialog.options().codec.mode, VideoMode::kReEncode);
    QVERIFY(dialog.burnInBox()->isEnabled());
    dialog.burnInBox()->click();
    dialog.frameLogBox()->click();
    dialog.subtitlesBox()->click();

    answer.reset();
    dialog.encoderButton()->click();  // cancelled: the encoder chosen before stays
    QCOMPARE(asked, 3);
    QCOMPARE(dialog.options().codec.compressOptions.encoder, std::string("mpeg4"));
    QCOMPARE(dialog.options().codec.compressOptions.quality, 70);
    DialogOptions expected;
    expected.sideFiles = {false, true, false};
    expected.codec = {VideoMode::kReEncode, CompressOptions{"mpeg4", 0, 70, 0, 0, ""}};
    expected.burnIn = true;
    QVERIFY(dialog.options() == expected);

    dialog.passThroughButton()->click();
    QCOMPARE(asked, 3);
    QVERIFY(dialog.options().codec.compressOptions.empty());
    QVERIFY(!dialog.options().burnIn);
    QVERIFY(!dialog.burnInBox()->isEnabled() && !dialog.burnInBox()->isChecked());
  }

  // Container and timing map onto the conversion settings' fields; the pause limit goes with recorded timing
  // only; all three persist.
  void optionsDialogContainerAndTiming() {
    DialogOptions current;
    OptionsDialog dialog(current,
                         [](QWidget*, const CompressOptions&) { return std::optional<CompressOptions>(); });
    QCOMPARE(dialog.containerBox()->currentIndex(), 0);
    QCOMPARE(dialog.timingBox()->currentIndex(), 0);
    QVERIFY(!dialog.maxGapBox()->isEnabled());
    QCOMPARE(dialog.containerBox()->count(), 3);

    dialog.containerBox()->setCurrentIndex(2);
    dialog.timingBox()->setCurrentIndex(1);
    QVERIFY(dialog.maxGapBox()->isEnabled());
    dialog.maxGapBox()->setValue(5);
    DialogOptions expected;
    expected.container = Container::kMp4;
    expected.timing = Timing::kRecorded;
    expected.maxGapSeconds = 5;
    QVERIFY(dialog.options() == expected);
    dialog.timingBox()->setCurrentIndex(0);
    QVERIFY(!dialog.maxGapBox()->isEnabled());
    QCOMPARE(dialog.options().timing, Timing::kDeclared);

    QTemporaryDir dir;
    QSettings settings(QDir(dir.path()).filePath("options.ini"), QSettings::IniFormat);
    saveDialogOptions(settings, expected);
    QVERIFY(loadDialogOptions(settings) == expected);
    // A container number from elsewhere that names none stays AVI.
    settings.setValue("options/container", 7);
    QCOMPARE(loadDialogOptions(settings).container, Container::kAvi);
    OptionsDialog reopened(expected,
                           [](QWidget*, const CompressOptions&) { return std::optional<CompressOptions>(); });
    QCOMPARE(reopened.containerBox()->currentIndex(), 2);
    QCOMPARE(reopened.timingBox()->currentIndex(), 1);
    QCOMPARE(reopened.maxGapBox()->value(), 5);
  }

  // "MP4 for browsers and phones" is one choice: the web encoder settings in MP4, the container fixed while
  // it holds; it persists, and Re-encode or Pass-through leave it.
  void optionsDialogForWeb() {
    if (!findEncoder(webCompressOptions().encoder)) QSKIP("this FFmpeg build lacks libx264");
    std::optional<CompressOptions> answer = CompressOptions{"mpeg4", 0, 70, 0, 0, ""};
    const auto chooser = [&](QWidget*, const CompressOptions&) { return answer; };
    OptionsDialog dialog(DialogOptions{}, chooser);
    QVERIFY(!dialog.forWebButton()->isChecked());
    dialog.forWebButton()->click();
    QVERIFY(isForWeb(dialog.options()));
    QVERIFY(dialog.forWebButton()->isChecked() && !dialog.reEncodeButton()->isChecked());
    QCOMPARE(dialog.containerBox()->currentIndex(), int(Container::kMp4));
    QVERIFY(!dialog.containerBox()->isEnabled() && !dialog.encoderButton()->isEnabled());
    QVERIFY(dialog.burnInBox()->isEnabled());

    QTemporaryDir dir;
    QSettings settings(QDir(dir.path()).filePath("options.ini"), QSettings::IniFormat);
    saveDialogOptions(settings, dialog.options());
    QVERIFY(isForWeb(loadDialogOptions(settings)));
    OptionsDialog reopened(loadDialogOptions(settings), chooser);
    QVERIFY(reopened.forWebButton()->isChecked() && !reopened.containerBox()->isEnabled());

    dialog.reEncodeButton()->click();  // asks for an encoder of the user's own
    QVERIFY(!isForWeb(dialog.options()));
    QCOMPARE(dialog.options().codec.compressOptions.encoder, std::string("mpeg4"));
    QVERIFY(dialog.reEncodeButton()->isChecked() && dialog.containerBox()->isEnabled());
    reopened.passThroughButton()->click();
    QCOMPARE(reopened.options().codec.mode, VideoMode::kPassThrough);
    QVERIFY(reopened.containerBox()->isEnabled() && !reopened.forWebButton()->isChecked());
  }

  // Only the containers the video fits can be chosen; a container the new encoder does not fit moves to
  // the first one it does. Stored options get the same rule.
  void optionsDialogOffersOnlyFittingPairs_data() {
    QTest::addColumn<QString>("encoder");  // empty: pass-through
    QTest::addColumn<int>("container");
    QTest::addColumn<QList<int>>("offered");
    QTest::addColumn<int>("chosen");
    const int avi = int(Container::kAvi), mkv = int(Container::kMkv), mp4 = int(Container::kMp4);
    QTest::newRow("pass-through") << "" << mp4 << QList<int>{avi, mkv, mp4} << mp4;
    QTest::newRow("libx264") << "libx264" << mp4 << QList<int>{avi, mkv, mp4} << mp4;
    QTest::newRow("huffyuv, not in MP4") << "huffyuv" << mp4 << QList<int>{avi, mkv} << avi;
    QTest::newRow("ffv1, not in MP4") << "ffv1" << mp4 << QList<int>{avi, mkv} << avi;
    QTest::newRow("rawvideo, not in MKV") << "rawvideo" << mkv << QList<int>{avi} << avi;
  }

  void optionsDialogOffersOnlyFittingPairs() {
    QFETCH(QString, encoder);
    QFETCH(int, container);
    QFETCH(QList<int>, offered);
    QFETCH(int, chosen);
    if (!encoder.isEmpty() && !findEncoder(encoder.toStdString()))
      QSKIP("this FFmpeg build lacks the encoder");
    DialogOptions current;
    current.container = Container(container);
    if (!encoder.isEmpty()) {
      current.codec.mode = VideoMode::kReEncode;
      current.codec.compressOptions.encoder = encoder.toStdString();
    }
    OptionsDialog dialog(current,
                         [](QWidget*, const CompressOptions&) { return std::optional<CompressOptions>(); });
    auto* model = qobject_cast<QStandardItemModel*>(dialog.containerBox()->model());
    QList<int> enabled;
    for (int i = 0; i < dialog.containerBox()->count(); ++i)
      if (model->item(i)->isEnabled()) enabled << i;
    QCOMPARE(enabled, offered);
    QCOMPARE(dialog.containerBox()->currentIndex(), chosen);
    QCOMPARE(int(dialog.options().container), chosen);

    QTemporaryDir dir;
    QSettings settings(QDir(dir.path()).filePath("options.ini"), QSettings::IniFormat);
    saveDialogOptions(settings, current);
    QCOMPARE(int(loadDialogOptions(settings).container), chosen);
  }

  // The recorder's UTC offset, read as the command line reads it; OK only with an offset it takes or none.
  void optionsDialogUtcOffset_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("minutes");  // -1000: none
    QTest::addColumn<QString>("hint");
    QTest::newRow("empty") << "" << true << -1000
                           << "The files keep the recorded time and claim no time zone.";
    QTest::newRow("east") << "+02:00" << true << 120 << "The files say when they were recorded in UTC.";
    QTest::newRow("west, half hour") << " -05:30 " << true << -330
                                     << "The files say when they were recorded in UTC.";
    QTest::newRow("beyond 14 hours") << "+15:00" << false << -1000
                                     << "The offset wants +HH:MM or -HH:MM, from -14:00 to +14:00.";
    QTest::newRow("no sign") << "02:00" << false << -1000
                             << "The offset wants +HH:MM or -HH:MM, from -14:00 to +14:00.";
  }

  void optionsDialogUtcOffset() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(int, minutes);
    QFETCH(QString, hint);
    DialogOptions current;
    current.utcOffsetMinutes = 60;
    OptionsDialog dialog(current,
                         [](QWidget*, const CompressOptions&) { return std::optional<CompressOptions>(); });
    QCOMPARE(dialog.utcOffsetField()->text(), QString("+01:00"));
    dialog.utcOffsetField()->setText(text);
    QCOMPARE(dialog.okButton()->isEnabled(), valid);
    QCOMPARE(dialog.utcOffsetHint()->text(), hint);
    if (!valid) return;
    const std::optional<int> expected = minutes == -1000 ? std::nullopt : std::optional<int>(minutes);
    QCOMPARE(dialog.options().utcOffsetMinutes, expected);
    QTemporaryDir dir;
    QSettings settings(QDir(dir.path()).filePath("options.ini"), QSettings::IniFormat);
    saveDialogOptions(settings, dialog.options());
    QCOMPARE(loadDialogOptions(settings).utcOffsetMinutes, expected);
  }

  // The time window's fields: OK only with texts a conversion can read; empty means the whole recording.
  void optionsDialogWindow_data() {
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("hint");
    QTest::newRow("whole") << ""
                           << "" << true << "The whole recording is converted.";
    QTest::newRow("clock times") << " 13:10:21"
                                 << "13:15:21 " << true
                                 << "Each camera starts at its last key frame at or before the start.";
    QTest::newRow("dates") << ""
                           << "2007-06-15 13:15:21" << true
                           << "Each camera starts at its last key frame at or before the start.";
    QTest::newRow("no time") << "13:61:00"
                             << "" << false
                             << "\"13:61:00\" is no time: use HH:MM:SS or YYYY-MM-DD HH:MM:SS.";
  }

  void optionsDialogWindow() {
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(bool, valid);
    QFETCH(QString, hint);
    DialogOptions current;
    current.from = "01:00:00";
    OptionsDialog dialog(current,
                         [](QWidget*, const CompressOptions&) { return std::optional<CompressOptions>(); });
    QCOMPARE(dialog.fromField()->text(), QString("01:00:00"));
    dialog.fromField()->setText(from);
    dialog.toField()->setText(to);
    QCOMPARE(dialog.okButton()->isEnabled(), valid);
    QCOMPARE(dialog.windowHint()->text(), hint);
    if (!valid) return;
    QCOMPARE(dialog.options().from, from.trimmed().toStdString());
    QCOMPARE(dialog.options().to, to.trimmed().toStdString());
  }

  void openFileFilterOffersTwoChoices() {
    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setNameFilter(openFileFilter());
    const QStringList filters = dialog.nameFilters();
    QCOMPARE(filters.size(), 2);
    QVERIFY(filters[0].startsWith("DVR(QMV or Exe) Files (*.qmv, *.exe)"));
    QVERIFY(filters[1].startsWith("All Files (*.*)"));

    // The first filter lists recordings and player executables and nothing else.
    QTemporaryDir dir;
    for (const char* name : {"a.qmv", "b.exe", "c.txt"}) {
      QFile f(QDir(dir.path()).filePath(name));
      QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QDir listing(dir.path());
    const QString patterns = filters[0].mid(filters[0].lastIndexOf('(') + 1).chopped(1);
    listing.setNameFilters(patterns.split(' '));
    QCOMPARE(listing.entryList(QDir::Files, QDir::Name), (QStringList{"a.qmv", "b.exe"}));
  }
};

QTEST_MAIN(HelperDialogsTest)
#include "helper_dialogs_test.moc"
