// Tests of the main dialog: layout, control states, channel selection, commands, conversion and shutdown.
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
}

#include "app/about_dialog.h"
#include "app/control_ids.h"
#include "app/converter_dialog.h"
#include "app/dialog_units.h"
#include "gui_test_support.h"
#include "job/damage_text.h"

using namespace qmv;
using namespace qmv::app;

namespace {

// The controls whose enabled state the dialog changes.
QList<int> inputControls() {
  QList<int> ids;
  for (int k = 0; k < kChannelCount; ++k) ids << channelControlId(k);
  ids << id::kOpen << id::kConvert << id::kDestination << id::kStandardize << id::kAllChannels
      << id::kDefaultCodec << id::kCompressor;
  return ids;
}

// The controls the dialog never disables.
QList<int> staticControls() {
  return {id::kInfoGroup,     id::kSystemNameLabel,    id::kMacAddressLabel,
          id::kVersionLabel,  id::kLanguageVideoLabel, id::kRecordedTimeLabel,
          id::kSystemName,    id::kMacAddress,         id::kVersion,
          id::kLanguageVideo, id::kRecordedTime,       id::kChannelGroup,
          id::kProgress};
}

QList<int> checkBoxes() {
  QList<int> ids;
  for (int k = 0; k < kChannelCount; ++k) ids << channelControlId(k);
  ids << id::kStandardize << id::kAllChannels << id::kDefaultCodec;
  return ids;
}

// Clicks OK of the About box that the action opens; returns the caption of each About box seen.
QStringList aboutBoxesOpenedBy(const std::function<void()>& action) {
  QStringList seen;
  QTimer timer;
  timer.setInterval(5);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    auto* about = qobject_cast<AboutDialog*>(QApplication::activeModalWidget());
    if (!about) return;
    seen << about->windowTitle();
    for (auto* button : about->findChildren<QPushButton*>()) {
      if (button->property("controlId").toInt() == id::kAboutOk) button->click();
    }
  });
  timer.start();
  action();
  timer.stop();
  return seen;
}

struct AviFacts {
  bool opened = false;
  unsigned streams = 0;
  bool video = false;
  uint32_t codecTag = 0;
  int packets = 0;
};

AviFacts readAvi(const QString& path) {
  AviFacts facts;
  AVFormatContext* ctx = nullptr;
  if (avformat_open_input(&ctx, QFile::encodeName(path).constData(), nullptr, nullptr) < 0) return facts;
  facts.opened = true;
  facts.streams = ctx->nb_streams;
  if (ctx->nb_streams > 0) {
    facts.video = ctx->streams[0]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    facts.codecTag = ctx->streams[0]->codecpar->codec_tag;
  }
  AVPacket* packet = av_packet_alloc();
  while (av_read_frame(ctx, packet) >= 0) {
    ++facts.packets;
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  avformat_close_input(&ctx);
  return facts;
}

}  // namespace

class ConverterDialogTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString recA_;  // video on CH-01, CH-03, CH-05
  QString recB_;  // video on CH-01, CH-05
  QString bad_;   // not a recording
  test::FakeWorker fake_;
  QString nextFile_;
  std::optional<QString> nextFolder_;
  QString folderAskedWith_;
  QStringList warnings_;
  bool workerEndedBeforeChooser_ = false;
  QStringList completionTexts_;
  bool pressOpenFolder_ = false;
  QList<QUrl> openedUrls_;
  bool fileManagerAnswers_ = true;
  QStringList salvageOffers_;
  bool salvageAnswer_ = false;
  QList<QStringList> replaceAsked_;
  bool replaceAnswer_ = false;
  int stopAsked_ = 0;
  bool stopAnswer_ = false;
  int settingsFiles_ = 0;

  DialogSeams seams(bool realWorker = false) {
    DialogSeams s;
    s.openFile = [this](QWidget*) {
      workerEndedBeforeChooser_ = fake_.calls.load() == 0 || fake_.finished.load();
      return nextFile_;
    };
    s.chooseFolder = [this](QWidget*, const QString& initial) {
      folderAskedWith_ = initial;
      return nextFolder_;
    };
    s.warning = [this](QWidget*, const QString& text, const QString& caption) {
      warnings_ << caption + "|" + text;
    };
    s.completion = [this](QWidget*, const QString& text, const QString& caption) {
      completionTexts_ << caption + "|" + text;
      return pressOpenFolder_;
    };
    s.openUrl = [this](const QUrl& url) {
      openedUrls_ << url;
      return fileManagerAnswers_;
    };
    s.offerSalvage = [this](QWidget*, const QString& text) {
      salvageOffers_ << text;
      return salvageAnswer_;
    };
    s.confirmReplace = [this](QWidget*, const QStringList& existing) {
      replaceAsked_ << existing;
      return replaceAnswer_;
    };
    s.confirmStop = [this](QWidget*) {
      ++stopAsked_;
      return stopAnswer_;
    };
    // Each dialog gets settings of its own, never the user's.
    s.settingsFile = dir_.filePath(QStringLiteral("settings-%1.ini").arg(++settingsFiles_));
    if (!realWorker) s.runConversion = std::ref(fake_);
    return s;
  }

  void open(ConverterDialog& dialog, const QString& path) {
    nextFile_ = path;
    dialog.controlAs<QPushButton>(id::kOpen)->click();
  }

  // Drops files on the dialog as a file manager does.
  void drop(ConverterDialog& dialog, const QStringList& paths) {
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
    mime.setUrls(urls);
    // Straight to the window's handlers: the application routes drops only while a drag it started runs.
    QObject& window = dialog;
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    window.event(&enter);
    QVERIFY(enter.isAccepted());
    QDropEvent event(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    window.event(&event);
  }

  // The first six tenths of a recording: the rest, and with it the index trailer, are gone.
  void writeCutCopy(const QString& from, const QString& to) {
    QFile whole(from);
    QVERIFY(whole.open(QIODevice::ReadOnly));
    const QByteArray bytes = whole.readAll();
    QFile cut(to);
    QVERIFY(cut.open(QIODevice::WriteOnly));
    QVERIFY(cut.write(bytes.left(bytes.size() * 6 / 10)) > 0);
  }

  // Convert, then wait until the worker's disabling of the controls has arrived.
  void startConverting(ConverterDialog& dialog) {
    dialog.controlAs<QPushButton>(id::kConvert)->click();
    QTRY_VERIFY(!dialog.control(id::kOpen)->isEnabled());
  }

  QList<int> enabledOf(ConverterDialog& dialog, const QList<int>& ids) {
    QList<int> result;
    for (int i : ids)
      if (dialog.control(i)->isEnabled()) result << i;
    return result;
  }
  QList<int> checkedOf(ConverterDialog& dialog) {
    QList<int> result;
    for (int i : checkBoxes())
      if (dialog.controlAs<QCheckBox>(i)->isChecked()) result << i;
    return result;
  }

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    QVERIFY(QDir(dir_.path()).mkpath("a"));
    QVERIFY(QDir(dir_.path()).mkpath("b"));
    recA_ = dir_.filePath("a/recA.qmv");
    recB_ = dir_.filePath("b/recB.qmv");
    bad_ = dir_.filePath("bad.qmv");
    QVERIFY(test::writeRecording(recA_, {0, 2, 4}));
    QVERIFY(test::writeRecording(recB_, {0, 4}));
    QFile badFile(bad_);
    QVERIFY(badFile.open(QIODevice::WriteOnly));
    badFile.write(QByteArray(4096, 'x'));
  }

  void init() {
    fake_.calls = 0;
    fake_.endByItself = false;
    fake_.returnUnstarted = false;
    fake_.outputError.reset();
    nextFile_.clear();
    nextFolder_.reset();
    folderAskedWith_ = "unasked";
    warnings_.clear();
    completionTexts_.clear();
    pressOpenFolder_ = false;
    openedUrls_.clear();
    fileManagerAnswers_ = true;
    salvageOffers_.clear();
    salvageAnswer_ = false;
    replaceAsked_.clear();
    replaceAnswer_ = false;
    stopAsked_ = 0;
    stopAnswer_ = false;
  }

  void layout_data() {
    QTest::addColumn<int>("controlId");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QRect>("du");
    QTest::addColumn<bool>("tabStop");
    auto row = [](int i, const char* cls, const QString& text, QRect du, bool tab) {
      QTest::addRow("%d", i) << i << QString(cls) << text << du << tab;
    };
    row(id::kSystemNameLabel, "QLabel", "System Name:", {9, 14, 61, 8}, false);
    row(id::kVersionLabel, "QLabel", "System Version:", {9, 27, 61, 8}, false);
    row(id::kRecordedTimeLabel, "QLabel", "Recorded Time:", {9, 41, 61, 8}, false);
    row(id::kMacAddressLabel, "QLabel", "MAC Address:", {168, 14, 61, 8}, false);
    row(id::kLanguageVideoLabel, "QLabel", "Language and VGA:", {168, 27, 61, 8}, false);
    row(channelControlId(0), "QCheckBox", "CH-01", {11, 65, 35, 10}, true);
    row(channelControlId(5), "QCheckBox", "CH-06", {198, 65, 35, 10}, true);
    row(channelControlId(7), "QCheckBox", "CH-08", {274, 65, 35, 10}, true);
    row(channelControlId(8), "QCheckBox", "CH-09", {11, 80, 35, 10}, true);
    row(channelControlId(13), "QCheckBox", "CH-14", {198, 80, 35, 10}, true);
    row(channelControlId(15), "QCheckBox", "CH-16", {274, 80, 35, 10}, true);
    row(id::kOpen, "QPushButton", "&Open", {7, 119, 50, 14}, true);
    row(id::kConvert, "QPushButton", "&Convert", {262, 119, 50, 14}, true);
    row(id::kProgress, "QProgressBar", "", {66, 137, 183, 14}, false);
    row(id::kStandardize, "QCheckBox", "Standardization", {255, 139, 58, 10}, true);
    row(id::kDestination, "QPushButton", "&Destination", {7, 137, 50, 14}, true);
    row(id::kSystemName, "QLabel", "", {77, 14, 71, 8}, false);
    row(id::kVersion, "QLabel", "", {77, 27, 71, 8}, false);
    row(id::kRecordedTime, "QLabel", "", {77, 41, 236, 8}, false);
    row(id::kMacAddress, "QLabel", "", {237, 14, 71, 8}, false);
    row(id::kLanguageVideo, "QLabel", "", {237, 27, 71, 8}, false);
    row(id::kChannelGroup, "QGroupBox", "", {7, 55, 306, 53}, false);
    row(id::kInfoGroup, "QGroupBox", "File Information", {7, 5, 306, 52}, false);
    row(id::kAllChannels, "QCheckBox", "All CHs", {274, 95, 38, 10}, true);
    row(id::kDefaultCodec, "QCheckBox", "Default Codec (Fast)", {66, 120, 77, 10}, true);
    row(id::kCompressor, "QComboBox", "", {158, 119, 89, 30}, true);
  }

  void layout() {
    QFETCH(int, controlId);
    QFETCH(QString, className);
    QFETCH(QString, text);
    QFETCH(QRect, du);
    QFETCH(bool, tabStop);
    ConverterDialog dialog(seams());
    QWidget* w = dialog.control(controlId);
    QVERIFY(w);
    QCOMPARE(w->property("controlId").toInt(), controlId);
    QCOMPARE(QString(w->metaObject()->className()), className);
    if (auto* label = qobject_cast<QLabel*>(w)) QCOMPARE(label->text(), text);
    if (auto* button = qobject_cast<QAbstractButton*>(w)) QCOMPARE(button->text(), text);
    if (auto* group = qobject_cast<QGroupBox*>(w)) QCOMPARE(group->title(), text);
    QCOMPARE(bool(w->focusPolicy() & Qt::TabFocus), tabStop);

    const DialogUnits units(dialog.font());
    const QRect expected = units.toPixels(DuRect{du.x(), du.y(), du.width(), du.height()});
    const QRect actual = w->geometry();
    QCOMPARE(actual.top(), expected.top());
    if (controlId == id::kCompressor) {
      // The height in the template is the opened list's; the closed box is one line high.
      QCOMPARE(actual.left(), expected.left());
      QCOMPARE(actual.width(), expected.width());
      QVERIFY(actual.height() < expected.height());
    } else if (className == "QLabel" && !text.isEmpty()) {
      // A caption wider than its rectangle grows away from its aligned edge and is never clipped.
      QCOMPARE(actual.height(), expected.height());
      QCOMPARE(actual.right(), expected.right());
      QVERIFY(actual.width() >= expected.width());
      QVERIFY(actual.width() >= w->fontMetrics().horizontalAdvance(text));
    } else {
      QCOMPARE(actual, expected);
    }
  }

  void windowAndTabOrder() {
    ConverterDialog dialog(seams());
    QCOMPARE(dialog.windowTitle(), QString("QMV to AVI Converter"));
    const DialogUnits units(dialog.font());
    QCOMPARE(dialog.size(), units.toPixels(320, 158));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    QVERIFY(!(dialog.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(!dialog.windowIcon().isNull());
    QCOMPARE(dialog.font().pointSize(), 10);
    QVERIFY(dialog.control(4242) == nullptr);

    QList<int> order;
    for (QWidget* w = dialog.nextInFocusChain(); w != &dialog; w = w->nextInFocusChain()) {
      if (w->focusPolicy() & Qt::TabFocus && w->property("controlId").isValid())
        order << w->property("controlId").toInt();
    }
    QList<int> expected;
    for (int k = 0; k < kChannelCount; ++k) expected << channelControlId(k);
    expected << id::kOpen << id::kConvert << id::kStandardize << id::kDestination << id::kAllChannels
             << id::kDefaultCodec << id::kCompressor;
    QCOMPARE(order, expected);
  }

  void initialState() {
    ConverterDialog dialog(seams());
    dialog.show();
    for (int i : {id::kSystemName, id::kVersion, id::kRecordedTime, id::kMacAddress, id::kLanguageVideo})
      QCOMPARE(dialog.controlAs<QLabel>(i)->text(), QString());
    for (int i : {id::kStandardize, id::kDefaultCodec}) {
      auto* box = dialog.controlAs<QCheckBox>(i);
      QVERIFY(box->isChecked());
      QVERIFY(!box->isVisible());
      QVERIFY(!box->isEnabled());
    }
    auto* combo = dialog.controlAs<QComboBox>(id::kCompressor);
    QCOMPARE(combo->count(), 2);
    // Whole in the closed box: the choice is the label the copied video gets.
    QCOMPARE(combo->itemText(0), QString("Copy as XVID"));
    QCOMPARE(combo->itemText(1), QString("Copy as DivX"));
    for (int i = 0; i < combo->count(); ++i)
      QVERIFY(combo->lineEdit()->width() >= combo->fontMetrics().horizontalAdvance(combo->itemText(i)));
    QCOMPARE(combo->currentIndex(), 0);
    QVERIFY(combo->isEditable());
    QCOMPARE(combo->lineEdit()->cursorPosition(), 0);
    QCOMPARE(dialog.controlAs<QProgressBar>(id::kProgress)->value(), 0);
    QVERIFY(dialog.standardize());
    QVERIFY(dialog.defaultCodec());
    QCOMPARE(dialog.selectedChannels(), 0u);
    QVERIFY(dialog.compressOptions().empty());
    QVERIFY(!dialog.recording().isOpen());
  }

  void stateTable_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<QList<int>>("enabled");
    QTest::addColumn<QList<int>>("checked");
    QTest::addColumn<int>("progress");
    const QList<int> hidden = {id::kStandardize, id::kDefaultCodec};
    const QList<int> open = {channelControlId(0), channelControlId(4), id::kOpen,
                             id::kConvert,        id::kDestination,    id::kStandardize,
                             id::kAllChannels,    id::kDefaultCodec,   id::kCompressor};
    const QList<int> marks = {channelControlId(0), channelControlId(4), id::kStandardize, id::kAllChannels,
                              id::kDefaultCodec};
    QTest::newRow("no recording") << "none" << QList<int>{id::kOpen, id::kConvert} << hidden << 0;
    QTest::newRow("recording open") << "open" << open << marks << 0;
    QTest::newRow("converting") << "converting" << QList<int>{id::kConvert} << marks << 50;
    QTest::newRow("after conversion") << "done" << open << marks << 0;
  }

  void stateTable() {
    QFETCH(QString, state);
    QFETCH(QList<int>, enabled);
    QFETCH(QList<int>, checked);
    QFETCH(int, progress);
    ConverterDialog dialog(seams());
    dialog.show();
    if (state != "none") open(dialog, recB_);
    if (state == "converting" || state == "done") startConverting(dialog);
    if (state == "done") {
      dialog.controlAs<QPushButton>(id::kConvert)->click();
      QTRY_COMPARE(dialog.completions(), 1);
    }
    std::sort(enabled.begin(), enabled.end());
    std::sort(checked.begin(), checked.end());
    QList<int> actualEnabled = enabledOf(dialog, inputControls());
    std::sort(actualEnabled.begin(), actualEnabled.end());
    QList<int> actualChecked = checkedOf(dialog);
    std::sort(actualChecked.begin(), actualChecked.end());
    QCOMPARE(actualEnabled, enabled);
    QCOMPARE(actualChecked, checked);
    QCOMPARE(enabledOf(dialog, staticControls()), staticControls());
    QCOMPARE(dialog.controlAs<QProgressBar>(id::kProgress)->value(), progress);
    if (state == "done") QCOMPARE(dialog.destinationDir(), dir_.filePath("b") + "/");
    dialog.close();
  }

  void openFillsFieldsAndTitle() {
    ConverterDialog dialog(seams());
    open(dialog, recB_);
    QCOMPARE(dialog.windowTitle(), QString("QMV to AVI : 'recB.qmv'"));
    const RecordingDescription& d = dialog.recording().description();
    QCOMPARE(dialog.controlAs<QLabel>(id::kSystemName)->text(), QString::fromStdString(d.systemName));
    QCOMPARE(dialog.controlAs<QLabel>(id::kVersion)->text(), QString::fromStdString(d.version));
    QCOMPARE(dialog.controlAs<QLabel>(id::kRecordedTime)->text(), QString::fromStdString(d.recordedTime));
    QCOMPARE(dialog.controlAs<QLabel>(id::kMacAddress)->text(), QString::fromStdString(d.macAddress));
    QCOMPARE(dialog.controlAs<QLabel>(id::kLanguageVideo)->text(), QString::fromStdString(d.languageVideo));
    QVERIFY(!d.systemName.empty());
    QCOMPARE(dialog.sourcePath(), recB_);
    QCOMPARE(dialog.baseName(), QString("recB"));
    QCOMPARE(dialog.destinationDir(), dir_.filePath("b") + "/");
  }

  void channelSelection() {
    ConverterDialog dialog(seams());
    auto box = [&](int k) { return dialog.controlAs<QCheckBox>(channelControlId(k)); };
    auto* all = dialog.controlAs<QCheckBox>(id::kAllChannels);

    open(dialog, recA_);
    QCOMPARE(dialog.selectedChannels(), 0x15u);
    box(2)->click();  // CH-03 off
    QCOMPARE(dialog.selectedChannels(), 0x11u);
    QVERIFY(!box(2)->isChecked());
    QVERIFY(all->isChecked());
    box(1)->click();  // CH-02 has no video: its box is disabled and nothing changes
    QCOMPARE(dialog.selectedChannels(), 0x11u);
    all->click();  // All CHs off
    QCOMPARE(dialog.selectedChannels(), 0u);
    QCOMPARE(checkedOf(dialog), (QList<int>{id::kStandardize, id::kDefaultCodec}));
    box(2)->click();  // CH-03 back on alone; All CHs stays as it is
    QCOMPARE(dialog.selectedChannels(), 0x04u);
    QVERIFY(!all->isChecked());

    // The next recording's channels replace the selection; CH-03 has no video there.
    open(dialog, recB_);
    QCOMPARE(dialog.selectedChannels(), 0x11u);
    QVERIFY(!box(2)->isChecked());
    QVERIFY(!box(2)->isEnabled());
    all->click();
    all->click();  // off and on again: exactly the channels with video
    QCOMPARE(dialog.selectedChannels(), 0x11u);
    QCOMPARE(checkedOf(dialog), (QList<int>{channelControlId(0), channelControlId(4), id::kStandardize,
                                            id::kAllChannels, id::kDefaultCodec}));
  }

  // Convert that cannot start says why, starts nothing and leaves the button reading Convert; pressing it
  // again says it again instead of starting anything.
  void convertThatCannotStartSaysWhy_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("words");
    QTest::newRow("nothing open") << "none"
                                  << "There is no recording to convert yet.";
    QTest::newRow("only a rejected file") << "rejected"
                                          << "There is no recording to convert yet.";
    QTest::newRow("no channel ticked") << "unticked"
                                       << "No channel is ticked.";
  }

  void convertThatCannotStartSaysWhy() {
    QFETCH(QString, state);
    QFETCH(QString, words);
    ConverterDialog dialog(seams());
    if (state == "rejected") open(dialog, bad_);
    if (state == "unticked") {
      open(dialog, recB_);
      dialog.controlAs<QCheckBox>(id::kAllChannels)->click();
    }
    warnings_.clear();
    auto* convert = dialog.controlAs<QPushButton>(id::kConvert);
    for (int press = 1; press <= 2; ++press) {
      convert->click();
      QTest::qWait(20);
      QCOMPARE(warnings_.size(), press);
      QVERIFY2(warnings_.back().startsWith("QMV to AVI|" + words), qPrintable(warnings_.back()));
      QCOMPARE(fake_.calls.load(), 0);
      QVERIFY(!dialog.hasWorker());
      QCOMPARE(convert->text(), QString("&Convert"));
    }
  }

  // A worker that returns without starting a pass (nothing to do) leaves the button reading Convert, and
  // the next press starts a pass.
  void workerWithNothingToDoEndsQuietly() {
    ConverterDialog dialog(seams());
    open(dialog, recB_);
    fake_.returnUnstarted = true;
    auto* convert = dialog.controlAs<QPushButton>(id::kConvert);
    convert->click();
    QTRY_VERIFY(fake_.finished.load());
    QTRY_VERIFY(!dialog.hasWorker());
    QCOMPARE(convert->text(), QString("&Convert"));
    QCOMPARE(dialog.completions(), 0);
    QVERIFY(dialog.control(id::kOpen)->isEnabled());
    QVERIFY(warnings_.isEmpty());
    fake_.returnUnstarted = false;
    startConverting(dialog);
    QCOMPARE(fake_.calls.load(), 2);
    QCOMPARE(convert->text(), QString("&Stop"));
    convert->click();
    QTRY_COMPARE(dialog.completions(), 1);
  }

  void convertThenConvertAgainStops() {
    ConverterDialog dialog(seams());
    open(dialog, recB_);
    dialog.controlAs<QComboBox>(id::kCompressor)->setCurrentIndex(1);
    startConverting(dialog);
    QVERIFY(dialog.running());
    QVERIFY(dialog.hasWorker());
    const ConversionSettings s = fake_.settings();
    QCOMPARE(s.selectedChannels, 0x11u);
    QCOMPARE(QString::fromStdString(s.destinationDir), dir_.filePath("b") + "/");
    QCOMPARE(QString::fromStdString(s.baseName), QString("recB"));
    QCOMPARE(s.videoMode, VideoMode::kPassThrough);
    QCOMPARE(s.standardize, true);
    QCOMPARE(s.passThroughFourcc, PassThroughFourcc::kDivx);
    QCOMPARE(dialog.compressorIndex(), 1);
    auto* bar = dialog.controlAs<QProgressBar>(id::kProgress);
    QCOMPARE(bar->maximum(), 100);
    QTRY_COMPARE(bar->value(), 50);
    QCOMPARE(dialog.controlAs<QPushButton>(id::kConvert)->text(), QString("&Stop"));
    QTRY_VERIFY2(dialog.windowTitle().startsWith(QString::fromUtf8("QMV to AVI : 'recB.qmv' \u2014 50 %")),
                 qPrintable(dialog.windowTitle()));

    dialog.controlAs<QPushButton>(id::kConvert)->click();  // stop
    QVERIFY(!dialog.running());
    QTRY_COMPARE(dialog.completions(), 1);
    QVERIFY(!dialog.hasWorker());
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->maximum(), 100);  // the range stays
    QVERIFY(dialog.control(id::kOpen)->isEnabled());
    QCOMPARE(dialog.selectedChannels(), 0x11u);
    QCOMPARE(fake_.calls.load(), 1);
    QVERIFY2(warnings_.isEmpty(), qPrintable(warnings_.join("\n")));
    QCOMPARE(dialog.controlAs<QPushButton>(id::kConvert)->text(), QString("&Convert"));
    QCOMPARE(dialog.windowTitle(), QString("QMV to AVI : 'recB.qmv'"));
    QCOMPARE(completionTexts_.size(), 1);
    QVERIFY2(completionTexts_[0].startsWith(
                 "QMV to AVI|The conversion was stopped. The files written so far are complete: 0 files"),
             qPrintable(completionTexts_[0]));

    startConverting(dialog);
    QCOMPARE(QString::fromStdString(fake_.settings().destinationDir), dir_.filePath("b") + "/");
    dialog.controlAs<QPushButton>(id::kConvert)->click();
    QTRY_COMPARE(dialog.completions(), 2);
  }

  void quickSecondPressIsAStop() {
    ConverterDialog dialog(seams());
    open(dialog, recB_);
    auto* convert = dialog.controlAs<QPushButton>(id::kConvert);
    convert->click();
    convert->click();  // before the worker has reported anything
    QVERIFY(!dialog.running());
    QTRY_COMPARE(dialog.completions(), 1);
    QCOMPARE(fake_.calls.load(), 1);
    QVERIFY(dialog.control(id::kOpen)->isEnabled());
  }

  void endingDuringConversionStopsAndWaits_data() {
    QTest::addColumn<bool>("destroy");
    QTest::newRow("close") << false;
    QTest::newRow("destroy") << true;
  }

  void endingDuringConversionStopsAndWaits() {
    QFETCH(bool, destroy);
    auto dialog = std::make_unique<ConverterDialog>(seams());
    dialog->show();
    open(*dialog, recB_);
    startConverting(*dialog);
    QTRY_COMPARE(dialog->controlAs<QProgressBar>(id::kProgress)->value(), 50);
    if (destroy) {
      dialog.reset();
      QVERIFY(fake_.finished.load());
      QTest::qWait(50);  // queued reports of the worker find no dialog
      return;
    }
    stopAnswer_ = true;
    dialog->close();
    QVERIFY(fake_.finished.load());  // the worker ended before close returned
    QVERIFY(!dialog->hasWorker());
    QVERIFY(!dialog->recording().isOpen());
    QTest::qWait(50);
    QCOMPARE(dialog->completions(), 0);
    QCOMPARE(dialog->controlAs<QProgressBar>(id::kProgress)->value(), 50);
    QVERIFY(!dialog->control(id::kOpen)->isEnabled());
  }

  void openDuringConversionWaitsForTheWorker() {
    ConverterDialog dialog(seams());
    open(dialog, recB_);
    startConverting(dialog);
    nextFile_ = recA_;
    // The handler as a press that raced the worker's disabling of Open would run it.
    dialog.onOpen();
    QVERIFY(workerEndedBeforeChooser_);
    QVERIFY(!dialog.hasWorker());
    QCOMPARE(dialog.completions(), 1);
    QCOMPARE(QString::fromStdString(dialog.recording().path()), recA_);
    QCOMPARE(dialog.selectedChannels(), 0x15u);
    QVERIFY(dialog.control(id::kOpen)->isEnabled());
    QTest::qWait(30);  // the stopped worker's queued reports are stale and change nothing
    QCOMPARE(dialog.completions(), 1);
    QVERIFY(dialog.control(id::kOpen)->isEnabled());
  }

  // The title, the fields, the channels and Convert stay with the loaded recording, and the reason is
  // shown: a title naming the rejected file would pass a failure off as success.
  void rejectedFileChangesNothingAndSaysWhy() {
    ConverterDialog dialog(seams());
    open(dialog, recB_);
    const QString fields = dialog.controlAs<QLabel>(id::kRecordedTime)->text();
    const QList<int> enabled = enabledOf(dialog, inputControls());
    QVERIFY2(warnings_.isEmpty(), qPrintable(warnings_.join("\n")));
    open(dialog, bad_);  // not a recording at all: refused, with nothing to offer
    QCOMPARE(dialog.windowTitle(), QString("QMV to AVI : 'recB.qmv'"));
    QCOMPARE(warnings_.size(), 1);
    QVERIFY(warnings_[0].startsWith("QMV to AVI|bad.qmv was not opened."));
    QVERIFY2(warnings_[0].contains("not a recording of this DVR"), qPrintable(warnings_[0]));
    QVERIFY(salvageOffers_.isEmpty());  // nothing in it to recover
    QCOMPARE(dialog.controlAs<QLabel>(id::kRecordedTime)->text(), fields);
    QCOMPARE(enabledOf(dialog, inputControls()), enabled);
    QCOMPARE(dialog.selectedChannels(), 0x11u);
    // Everything that names the current recording goes on naming it.
    QCOMPARE(QString::fromStdString(dialog.recording().path()), recB_);
    QCOMPARE(dialog.sourcePath(), recB_);
    QCOMPARE(dialog.baseName(), QString("recB"));
    startConverting(dialog);
    QCOMPARE(QString::fromStdString(fake_.settings().baseName), QString("recB"));
    dialog.controlAs<QPushButton>(id::kConvert)->click();
    QTRY_COMPARE(dialog.completions(), 1);
  }

  // An output name that leads to the recording itself: nothing starts, not even with Replace (which would
  // rename a new file over the link), and the message names both files.
  void outputThatIsTheRecordingIsRefused_data() {
    QTest::addColumn<bool>("hard");
    QTest::newRow("hard link") << true;
    QTest::newRow("symbolic link") << false;
  }
  // A dangling link at an output name is something there: Replace is asked for it before anything starts,
  // instead of the pass stopping at that file halfway.
  void danglingLinkAtAnOutputIsAsked() {
    QTemporaryDir out;
    const QString rec = QDir(out.path()).filePath("cam.qmv");
    const QString link = QDir(out.path()).filePath("cam_04.srt");
    QVERIFY(QFile::copy(recB_, rec));
    QVERIFY(QFile::link(QDir(out.path()).filePath("absent"), link));
    ConverterDialog dialog(seams());
    open(dialog, rec);
    dialog.controlAs<QPushButton>(id::kConvert)->click();  // Cancel
    QCOMPARE(replaceAsked_, QList<QStringList>{QStringList{QDir::toNativeSeparators(link)}});
    QTest::qWait(30);
    QCOMPARE(fake_.calls.load(), 0);
  }

  void outputThatIsTheRecordingIsRefused() {
    QFETCH(bool, hard);
    QTemporaryDir out;
    const QString rec = QDir(out.path()).filePath("cam.qmv");
    const QString link = QDir(out.path()).filePath("cam_04.avi");
    QVERIFY(QFile::copy(recB_, rec));
    QVERIFY(hard ? ::link(QFile::encodeName(rec).constData(), QFile::encodeName(link).constData()) == 0
                 : QFile::link(rec, link));
    ConverterDialog dialog(seams());
    open(dialog, rec);
    replaceAnswer_ = true;
    dialog.controlAs<QPushButton>(id::kConvert)->click();
    QCOMPARE(warnings_.size(), 1);
    QVERIFY2(warnings_[0].startsWith("QMV to AVI|Nothing was converted."), qPrintable(warnings_[0]));
    QVERIFY2(warnings_[0].contains(link + " would be the same file as " + rec + ", the recording itself"),
             qPrintable(warnings_[0]));
    QVERIFY(replaceAsked_.isEmpty());
    QTest::qWait(30);
    QCOMPARE(fake_.calls.load(), 0);
    QVERIFY(!dialog.hasWorker());
    QVERIFY(dialog.control(id::kOpen)->isEnabled());
  }

  void cancelledDialogsChangeNothing() {
    ConverterDialog dialog(seams());
    open(dialog, recB_);
    nextFolder_ = dir_.filePath("a");
    dialog.controlAs<QPushButton>(id::kDestination)->click();
    QCOMPARE(folderAskedWith_, dir_.filePath("b") + "/");
    QCOMPARE(dialog.destinationDir(), dir_.filePath("a") + "/");

    const QString title = dialog.windowTitle();
    const QList<int> enabled = enabledOf(dialog, inputControls());
    const QList<int> checked = checkedOf(dialog);
    open(dialog, QString());  // file dialog cancelled
    nextFolder_.reset();
    dialog.controlAs<QPushButton>(id::kDestination)->click();  // folder browser cancelled
    QCOMPARE(folderAskedWith_, dir_.filePath("a") + "/");
    QCOMPARE(dialog.windowTitle(), title);
    QCOMPARE(enabledOf(dialog, inputControls()), enabled);
    QCOMPARE(checkedOf(dialog), checked);
    QCOMPARE(dialog.destinationDir(), dir_.filePath("a") + "/");
    QCOMPARE(dialog.sourcePath(), recB_);
  }

  void destinationAndBaseNameAcrossOpens() {
    ConverterDialog dialog(seams());
    open(dialog, recA_);
    QCOMPARE(dialog.destinationDir(), dir_.filePath("a") + "/");
    // Another recording starts in its own folder; the base name follows the file that is opened.
    open(dialog, recB_);
    QCOMPARE(dialog.destinationDir(), dir_.filePath("b") + "/");
    QCOMPARE(dialog.baseName(), QString("recB"));
  }

  void destinationKeptForTheSameRecording() {
    const QString chosen = dir_.filePath("b") + "/";
    DialogSeams s = seams();
    {
      ConverterDialog dialog(s);
      open(dialog, recA_);
      nextFolder_ = dir_.filePath("b");
      dialog.controlAs<QPushButton>(id::kDestination)->click();
      QCOMPARE(dialog.controlAs<QPushButton>(id::kDestination)->toolTip(), QDir::toNativeSeparators(chosen));
      // Two conversions in a row both go where the user chose, and so does one after reopening the file.
      for (int pass = 1; pass <= 3; ++pass) {
        if (pass == 3) open(dialog, recA_);
        startConverting(dialog);
        QCOMPARE(QString::fromStdString(fake_.settings().destinationDir), chosen);
        dialog.controlAs<QPushButton>(id::kConvert)->click();
        QTRY_COMPARE(dialog.completions(), pass);
      }
      QVERIFY(completionTexts_.last().endsWith("Folder: " + QDir::toNativeSeparators(chosen)));
    }
    // The next run of the program remembers it for that recording; another recording starts in its own
    // folder.
    ConverterDialog later(s);
    open(later, recA_);
    QCOMPARE(later.destinationDir(), chosen);
    open(later, recB_);
    QCOMPARE(later.destinationDir(), dir_.filePath("b") + "/");
    nextFolder_ = dir_.filePath("a");
    later.controlAs<QPushButton>(id::kDestination)->click();
    open(later, recA_);
    QCOMPARE(later.destinationDir(), dir_.filePath("a") + "/");
    QCOMPARE(later.controlAs<QPushButton>(id::kDestination)->toolTip(),
             QDir::toNativeSeparators(dir_.filePath("a") + "/"));
  }

  // Esc and closing end a running conversion only when the user agrees.
  void endingARunningConversionAsks_data() {
    QTest::addColumn<bool>("escape");
    QTest::addColumn<bool>("agree");
    QTest::newRow("Esc, declined") << true << false;
    QTest::newRow("Esc, agreed") << true << true;
    QTest::newRow("close, declined") << false << false;
    QTest::newRow("close, agreed") << false << true;
  }

  void endingARunningConversionAsks() {
    QFETCH(bool, escape);
    QFETCH(bool, agree);
    ConverterDialog dialog(seams());
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    open(dialog, recB_);
    startConverting(dialog);
    stopAnswer_ = agree;
    if (escape) {
      QTest::keyClick(&dialog, Qt::Key_Escape);
    } else {
      dialog.close();
    }
    QCOMPARE(stopAsked_, 1);
    QCOMPARE(dialog.isVisible(), !agree);
    QCOMPARE(dialog.hasWorker(), !agree);
    if (!agree) {
      dialog.controlAs<QPushButton>(id::kConvert)->click();
      QTRY_COMPARE(dialog.completions(), 1);
    }
    // Without a running conversion nothing is asked.
    stopAsked_ = 0;
    dialog.show();
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QCOMPARE(stopAsked_, 0);
    QVERIFY(!dialog.isVisible());
  }

  void progressTitle_data() {
    QTest::addColumn<int>("percent");
    QTest::addColumn<int>("secondsLeft");
    QTest::addColumn<QString>("title");
    QTest::newRow("no estimate yet") << 0 << -1 << QString::fromUtf8("QMV to AVI : 'cam.qmv' \u2014 0 %");
    QTest::newRow("minutes") << 45 << 67
                             << QString::fromUtf8("QMV to AVI : 'cam.qmv' \u2014 45 % \u2014 1:07 left");
    QTest::newRow("seconds") << 99 << 5
                             << QString::fromUtf8("QMV to AVI : 'cam.qmv' \u2014 99 % \u2014 0:05 left");
    QTest::newRow("hours") << 3 << 3725
                           << QString::fromUtf8("QMV to AVI : 'cam.qmv' \u2014 3 % \u2014 1:02:05 left");
  }

  void progressTitle() {
    QFETCH(int, percent);
    QFETCH(int, secondsLeft);
    QFETCH(QString, title);
    QCOMPARE(app::progressTitle("cam.qmv", percent, secondsLeft), title);
  }

  void dropOpensARecording() {
    ConverterDialog dialog(seams());
    drop(dialog, {recA_});
    QCOMPARE(dialog.sourcePath(), recA_);
    QCOMPARE(dialog.windowTitle(), QString("QMV to AVI : 'recA.qmv'"));
    QCOMPARE(dialog.selectedChannels(), 0x15u);
    QVERIFY(dialog.batchRest().isEmpty());
  }

  // Open with several files chosen makes a batch; the file dialog starts in the folder opened last.
  void openSeveralFiles() {
    DialogSeams s = seams();
    QString startedIn = "unasked";
    s.openFile = {};
    s.openFiles = [&](QWidget*, const QString& initialDir) {
      startedIn = initialDir;
      return QStringList{recB_, recA_};
    };
    ConverterDialog dialog(s);
    dialog.onOpen();
    QCOMPARE(startedIn, QString());
    QCOMPARE(dialog.sourcePath(), recB_);
    QCOMPARE(dialog.batchRest(), QStringList{recA_});
    QCOMPARE(dialog.windowTitle(), QString("QMV to AVI : 'recB.qmv' + 1 more"));
    ConverterDialog later(s);
    later.onOpen();
    QCOMPARE(startedIn, dir_.filePath("b"));
  }

  // Several recordings dropped at once go one after another into the destination, with one message.
  void batchDrop() {
    QTemporaryDir out;
    ConverterDialog dialog(seams(true));
    drop(dialog, {recA_, bad_, recB_});
    QCOMPARE(dialog.windowTitle(), QString("QMV to AVI : 'recA.qmv' + 2 more"));
    nextFolder_ = out.path();
    dialog.controlAs<QPushButton>(id::kDestination)->click();
    dialog.controlAs<QPushButton>(id::kConvert)->click();
    QTRY_VERIFY_WITH_TIMEOUT(dialog.completions() == 2, 60000);
    QTRY_COMPARE(completionTexts_.size(), 1);
    QVERIFY2(warnings_.isEmpty(), qPrintable(warnings_.join("\n")));
    QCOMPARE(QDir(out.path()).entryList(QDir::Files, QDir::Name),
             (QStringList{"recA_00.avi", "recA_00.srt", "recA_02.avi", "recA_02.srt", "recA_04.avi",
                          "recA_04.srt", "recB_00.avi", "recB_00.srt", "recB_04.avi", "recB_04.srt"}));
    QVERIFY2(completionTexts_[0].contains("10 files written"), qPrintable(completionTexts_[0]));
    QVERIFY(completionTexts_[0].contains("bad.qmv: not a recording that can be read; left out"));
    QCOMPARE(dialog.sourcePath(), recB_);
    QCOMPARE(dialog.windowTitle(), QString("QMV to AVI : 'recB.qmv'"));
    QVERIFY(dialog.batchRest().isEmpty());

    // Again into the same folder: one question for the files of both recordings.
    drop(dialog, {recA_, recB_});
    nextFolder_ = out.path();
    dialog.controlAs<QPushButton>(id::kDestination)->click();
    dialog.controlAs<QPushButton>(id::kConvert)->click();
    QCOMPARE(replaceAsked_.size(), 1);
    QCOMPARE(replaceAsked_[0].size(), 10);
    QVERIFY(!dialog.hasWorker());
  }

  void recentRecordings() {
    DialogSeams s = seams();
    QStringList older;
    for (int i = 0; i < 8; ++i) older << dir_.filePath(QString("old%1.qmv").arg(i));
    QSettings(s.settingsFile, QSettings::IniFormat).setValue("recentRecordings", older);
    ConverterDialog dialog(s);
    open(dialog, recA_);
    open(dialog, recB_);
    open(dialog, recA_);
    // Newest first, each once, eight at most.
    QCOMPARE(dialog.recentRecordings(), (QStringList{recA_, recB_} + older.mid(0, 6)));
    QMenu* recent = nullptr;
    for (QAction* action : dialog.systemMenu()->actions())
      if (action->menu()) recent = action->menu();
    QVERIFY(recent);
    emit dialog.systemMenu()->aboutToShow();
    QCOMPARE(recent->actions().size(), 8);
    QCOMPARE(recent->actions()[1]->text(), QDir::toNativeSeparators(recB_));
    recent->actions()[1]->trigger();
    QCOMPARE(dialog.sourcePath(), recB_);
  }

  // The options dialog's choices reach the conversion and the next run of the program.
  void optionsReachTheConversion() {
    const std::vector<EncoderInfo> encoders = availableEncoders();
    QVERIFY(!encoders.empty());
    DialogOptions chosen;
    chosen.sideFiles = {false, true, true};
    chosen.codec.mode = VideoMode::kReEncode;
    chosen.codec.compressOptions.encoder = encoders.front().name;
    chosen.codec.compressOptions.quality = 80;
    chosen.burnIn = true;
    chosen.utcOffsetMinutes = -330;
    DialogSeams s = seams();
    int asked = 0;
    std::optional<DialogOptions> shown;
    s.chooseDialogOptions = [&](QWidget*, const DialogOptions& current) {
      ++asked;
      shown = current;
      return std::optional<DialogOptions>(chosen);
    };
    ConverterDialog dialog(s);
    open(dialog, recB_);
    QAction* options = dialog.systemMenu()->actions()[2];
    options->trigger();
    QCOMPARE(asked, 1);
    // The defaults: subtitles on, as in the command-line tool; pass-through.
    QVERIFY(shown && *shown == DialogOptions{});
    QVERIFY(shown->sideFiles.subtitles);
    QVERIFY(dialog.dialogOptions() == chosen);
    QVERIFY(!dialog.control(id::kCompressor)->isEnabled());  // no pass-through code while re-encoding
    startConverting(dialog);
    const ConversionSettings settings = fake_.settings();
    QCOMPARE(settings.videoMode, VideoMode::kReEncode);
    QVERIFY(settings.compressOptions == chosen.codec.compressOptions);
    QVERIFY(settings.burnIn);
    QCOMPARE(settings.utcOffsetMinutes, std::optional<int>(-330));
    dialog.controlAs<QPushButton>(id::kConvert)->click();
    QTRY_COMPARE(dialog.completions(), 1);

    ConverterDialog later(s);
    QVERIFY(later.dialogOptions() == chosen);
  }

  // A recording cut short is refused, and opens with what salvage recovers once the option is on.
  void salvageOptionOpensACutRecording() {
    const QString cut = dir_.filePath("cut.qmv");
    writeCutCopy(recB_, cut);

    DialogOptions chosen;
    chosen.salvage = true;
    DialogSeams s = seams();
    s.chooseDialogOptions = [&](QWidget*, const DialogOptions&) {
      return std::optional<DialogOptions>(chosen);
    };
    ConverterDialog dialog(s);
    open(dialog, cut);
    QVERIFY(dialog.sourcePath() != cut);
    dialog.onOptions();
    QVERIFY(dialog.dialogOptions().salvage);
    open(dialog, cut);
    QCOMPARE(dialog.sourcePath(), cut);
    QVERIFY(dialog.recording().salvageReport() != nullptr);
    QVERIFY(dialog.control(id::kConvert)->isEnabled());
    ConverterDialog later(s);
    QVERIFY(later.dialogOptions().salvage);
  }

  // A cut recording is refused with the way on offered; taken (or with the salvage option on), what is
  // recovered is converted and the completion message says how much that was.
  void damagedRecording_data() {
    QTest::addColumn<bool>("salvageOption");
    QTest::addColumn<bool>("accept");
    QTest::newRow("refused, offer declined") << false << false;
    QTest::newRow("refused, convert what can be recovered") << false << true;
    QTest::newRow("salvage option on") << true << false;
  }

  void damagedRecording() {
    QFETCH(bool, salvageOption);
    QFETCH(bool, accept);
    QTemporaryDir out;
    const QString cut = out.filePath("cut.qmv");
    writeCutCopy(recB_, cut);

    DialogSeams s = seams(true);
    s.chooseDialogOptions = [](QWidget*, const DialogOptions& current) {
      DialogOptions chosen = current;
      chosen.salvage = true;
      return std::optional<DialogOptions>(chosen);
    };
    ConverterDialog dialog(s);
    if (salvageOption) dialog.onOptions();
    salvageAnswer_ = accept;
    open(dialog, cut);
    if (!salvageOption) {
      QCOMPARE(salvageOffers_.size(), 1);
      QVERIFY2(salvageOffers_[0].startsWith("cut.qmv was not opened: the file looks cut short or damaged."),
               qPrintable(salvageOffers_[0]));
    } else {
      QVERIFY(salvageOffers_.isEmpty());
      dialog.controlAs<QPushButton>(id::kConvert)->click();
    }
    if (!salvageOption && !accept) {
      QVERIFY(dialog.sourcePath().isEmpty());
      QVERIFY(!dialog.hasWorker());
      QVERIFY(warnings_.isEmpty());
      return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(dialog.completions() == 1, 60000);
    QVERIFY2(warnings_.isEmpty(), qPrintable(warnings_.join("; ")));
    QCOMPARE(completionTexts_.size(), 1);
    // The command line's words for the same recording.
    const QString summary = QString::fromStdString(salvageSummary(dialog.recording()));
    QVERIFY2(summary.startsWith("salvaged ") && summary.contains(" of about "), qPrintable(summary));
    QVERIFY2(completionTexts_[0].contains("\n\nThe recording was damaged; the files hold what could be "
                                          "recovered:\n" +
                                          summary),
             qPrintable(completionTexts_[0]));
    QVERIFY(QFileInfo(out.filePath("cut_00.avi")).size() > 0);
    // The option is the user's: taking the offer once leaves it as it was.
    QCOMPARE(dialog.dialogOptions().salvage, salvageOption);
  }

  // Recovering the first recording of a dropped batch converts the batch: the one check before writing
  // covers every recording of it.
  void recoveredRecordingLeadsItsBatch() {
    QTemporaryDir out;
    const QString cut = out.filePath("cut.qmv");
    writeCutCopy(recB_, cut);
    QFile earlier(out.filePath("recA_00.avi"));
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.close();
    salvageAnswer_ = true;
    ConverterDialog dialog(seams(true));
    drop(dialog, {cut, recA_});
    QCOMPARE(salvageOffers_.size(), 1);
    QCOMPARE(replaceAsked_.size(), 1);
    QVERIFY2(replaceAsked_[0].contains(QDir::toNativeSeparators(out.filePath("recA_00.avi"))),
             qPrintable(replaceAsked_[0].join("; ")));
    QVERIFY(!dialog.hasWorker());
    QVERIFY(!QFileInfo::exists(out.filePath("cut_00.avi")));
    QCOMPARE(dialog.batchRest(), QStringList{recA_});
  }

  void openFolderWithoutAFileManagerSaysWhere() {
    ConverterDialog dialog(seams());
    open(dialog, recB_);
    pressOpenFolder_ = true;
    fileManagerAnswers_ = false;
    startConverting(dialog);
    dialog.controlAs<QPushButton>(id::kConvert)->click();
    QTRY_COMPARE(dialog.completions(), 1);
    QCOMPARE(openedUrls_.size(), 1);
    QCOMPARE(warnings_.size(), 1);
    QVERIFY2(warnings_[0].startsWith("QMV to AVI|The folder could not be shown: no file manager answered."),
             qPrintable(warnings_[0]));
    QVERIFY2(
        warnings_[0].endsWith("The files are in:\n" + QDir::toNativeSeparators(dir_.filePath("b") + "/")),
        qPrintable(warnings_[0]));
  }

  // While idle the progress bar names the destination; while converting it is a bar again.
  void idleProgressBarShowsTheDestination() {
    ConverterDialog dialog(seams());
    dialog.show();
    auto* bar = dialog.controlAs<QProgressBar>(id::kProgress);
    QVERIFY(!bar->isTextVisible());
    open(dialog, recB_);
    QVERIFY(bar->isTextVisible());
    QCOMPARE(bar->toolTip(), QDir::toNativeSeparators(dir_.filePath("b") + "/"));
    nextFolder_ = "/cases/A17";
    dialog.controlAs<QPushButton>(id::kDestination)->click();
    QCOMPARE(bar->text(), QString("To: /cases/A17/"));
    startConverting(dialog);
    QVERIFY(!bar->isTextVisible());
    dialog.controlAs<QPushButton>(id::kConvert)->click();
    QTRY_COMPARE(dialog.completions(), 1);
    QVERIFY(bar->isTextVisible());
    QCOMPARE(bar->text(), QString("To: /cases/A17/"));

    // A folder of any length fits, keeping its start and its own name; its text is never a format.
    nextFolder_ = "/evidence/" + QString("case-folder-with-a-long-name/").repeated(8) + "100%v-cameras";
    dialog.controlAs<QPushButton>(id::kDestination)->click();
    QVERIFY2(bar->text().startsWith("To: /evidence/"), qPrintable(bar->text()));
    QVERIFY2(bar->text().endsWith("100%v-cameras/"), qPrintable(bar->text()));
    QVERIFY(bar->text().contains(QChar(0x2026)));
    QVERIFY(bar->fontMetrics().horizontalAdvance(bar->text()) <= bar->contentsRect().width());
  }

  // The compressor box chooses the copied video's label only for AVI pass-through; otherwise it shows what
  // the video becomes.
  void compressorShowsWhatHappens_data() {
    QTest::addColumn<bool>("reEncode");
    QTest::addColumn<int>("container");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("AVI pass-through") << false << int(Container::kAvi) << "Copy as XVID" << true;
    QTest::newRow("MKV pass-through")
        << false << int(Container::kMkv) << QString::fromUtf8("copy \u2192 MKV") << false;
    QTest::newRow("libx264 into MP4")
        << true << int(Container::kMp4) << QString::fromUtf8("libx264 \u2192 MP4") << false;
  }

  void compressorShowsWhatHappens() {
    QFETCH(bool, reEncode);
    QFETCH(int, container);
    QFETCH(QString, shown);
    QFETCH(bool, enabled);
    DialogSeams s = seams();
    s.chooseDialogOptions = [&](QWidget*, const DialogOptions& current) {
      DialogOptions chosen = current;
      chosen.container = Container(container);
      if (reEncode) {
        chosen.codec.mode = VideoMode::kReEncode;
        chosen.codec.compressOptions.encoder = "libx264";
      }
      return std::optional<DialogOptions>(chosen);
    };
    ConverterDialog dialog(s);
    open(dialog, recB_);
    dialog.onOptions();
    auto* combo = dialog.controlAs<QComboBox>(id::kCompressor);
    for (int run = 0; run < 2; ++run) {
      QCOMPARE(combo->currentText(), shown);
      QCOMPARE(combo->isEnabled(), enabled);
      QCOMPARE(combo->lineEdit()->cursorPosition(), 0);
      // And so after a run, when the controls come back.
      startConverting(dialog);
      dialog.controlAs<QPushButton>(id::kConvert)->click();
      QTRY_COMPARE(dialog.completions(), run + 1);
    }
  }

  void sideFilesFollowTheOptions() {
    QTemporaryDir out;
    DialogSeams s = seams(true);
    DialogOptions chosen;
    chosen.sideFiles = {false, true, true};
    s.chooseDialogOptions = [&](QWidget*, const DialogOptions&) {
      return std::optional<DialogOptions>(chosen);
    };
    ConverterDialog dialog(s);
    dialog.onOptions();
    open(dialog, recB_);
    nextFolder_ = out.path();
    dialog.controlAs<QPushButton>(id::kDestination)->click();
    dialog.controlAs<QPushButton>(id::kConvert)->click();
    QTRY_VERIFY_WITH_TIMEOUT(dialog.completions() == 1, 60000);
    QVERIFY2(warnings_.isEmpty(), qPrintable(warnings_.join("; ")));
    QCOMPARE(QDir(out.path()).entryList(QDir::Files, QDir::Name),
             (QStringList{"recB.report.json", "recB_00.avi", "recB_00.csv", "recB_04.avi", "recB_04.csv"}));
    QFile log(QDir(out.path()).filePath("recB_00.csv"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readLine().startsWith("position,recorded_time,key_frame,bytes,source_offset"));
    QVERIFY(completionTexts_.value(0).contains("5 files written"));
    // The frame logs are hashed in the report like the video files.
    QFile reportFile(QDir(out.path()).filePath("recB.report.json"));
    QVERIFY(reportFile.open(QIODevice::ReadOnly));
    const QJsonArray sides =
        QJsonDocument::fromJson(reportFile.readAll()).object().value("sideFiles").toArray();
    QStringList hashed;
    for (const QJsonValue& side : sides)
      if (side.toObject().value("sha256").toString().size() == 64)
        hashed << QFileInfo(side.toObject().value("path").toString()).fileName();
    QCOMPARE(hashed, (QStringList{"recB_00.csv", "recB_04.csv"}));
  }

  void outputFailureIsReported() {
    ConverterDialog dialog(seams());
    open(dialog, recB_);
    fake_.outputError = Error{-1, "cannot create '/nowhere/recB_00.avi': No such file or directory"};
    fake_.endByItself = true;
    dialog.controlAs<QPushButton>(id::kConvert)->click();
    QTRY_COMPARE(dialog.completions(), 1);
    QCOMPARE(warnings_.size(), 1);
    QVERIFY(warnings_[0].startsWith("QMV to AVI|"));
    QVERIFY(warnings_[0].contains("/nowhere/recB_00.avi"));
    QVERIFY(dialog.control(id::kOpen)->isEnabled());

    QVERIFY(completionTexts_.isEmpty());

    // A pass that ends normally gets the completion message instead.
    fake_.outputError.reset();
    dialog.controlAs<QPushButton>(id::kConvert)->click();
    QTRY_COMPARE(dialog.completions(), 2);
    QCOMPARE(warnings_.size(), 1);
    QCOMPARE(completionTexts_.size(), 1);
  }

  void dialogKeys_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("focusId");
    QTest::addColumn<int>("result");  // -1: the dialog goes on
    QTest::addColumn<int>("opens");
    QTest::newRow("Esc") << int(Qt::Key_Escape) << int(id::kAllChannels) << int(QDialog::Rejected) << 0;
    QTest::newRow("Enter on a check box")
        << int(Qt::Key_Return) << int(id::kAllChannels) << int(QDialog::Accepted) << 0;
    QTest::newRow("Enter on Open") << int(Qt::Key_Return) << int(id::kOpen) << -1 << 1;
  }

  void dialogKeys() {
    QFETCH(int, key);
    QFETCH(int, focusId);
    QFETCH(int, result);
    QFETCH(int, opens);
    int asked = 0;
    DialogSeams s = seams();
    s.openFile = [&](QWidget*) {
      ++asked;
      return asked == 1 ? recB_ : QString();
    };
    ConverterDialog dialog(s);
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    dialog.onOpen();
    QWidget* focus = dialog.control(focusId);
    focus->setFocus();
    QTRY_VERIFY(focus->hasFocus());
    QTest::keyClick(focus, Qt::Key(key));
    QCOMPARE(asked - 1, opens);
    if (result < 0) {
      QVERIFY(dialog.isVisible());
      QVERIFY(dialog.recording().isOpen());
    } else {
      // Every way of ending the dialog shuts it down.
      QVERIFY(!dialog.isVisible());
      QCOMPARE(dialog.result(), result);
      QVERIFY(!dialog.recording().isOpen());
    }
  }

  void aboutThroughSystemCommand_data() {
    QTest::addColumn<uint>("command");
    QTest::addColumn<bool>("opens");
    QTest::newRow("IDM_ABOUTBOX") << 0x10u << true;
    QTest::newRow("low bits set") << 0x13u << true;
    QTest::newRow("low bits all set") << 0x1Fu << true;
    QTest::newRow("next command") << 0x20u << false;
    QTest::newRow("SC_CLOSE") << 0xF060u << false;
  }

  void aboutThroughSystemCommand() {
    QFETCH(uint, command);
    QFETCH(bool, opens);
    ConverterDialog dialog(seams());
    dialog.show();
    bool handled = false;
    const QStringList seen = aboutBoxesOpenedBy([&] { handled = dialog.onSysCommand(command); });
    QCOMPARE(handled, opens);
    QCOMPARE(seen, opens ? QStringList{"QMV to AVI"} : QStringList{});
  }

  void aboutItemInTheDialogMenu() {
    ConverterDialog dialog(seams());
    dialog.show();
    QMenu* menu = dialog.systemMenu();
    QVERIFY(menu);
    // About first, as it always was; our items follow it.
    QStringList texts;
    for (QAction* action : menu->actions()) texts << action->text();
    QCOMPARE(texts, (QStringList{QString::fromUtf8("QMV2AVI 정보(&A)..."), QString(),
                                 QString::fromUtf8("&Options\u2026"), "&Recent Recordings"}));
    QAction* item = menu->actions().first();
    QCOMPARE(item->text(), QString::fromUtf8("QMV2AVI 정보(&A)..."));
    QCOMPARE(item->data().toUInt(), kIdmAboutBox);
    QCOMPARE(aboutBoxesOpenedBy([&] { item->trigger(); }), QStringList{"QMV to AVI"});
  }

  void aboutBox() {
    AboutDialog about;
    QCOMPARE(about.windowTitle(), QString("QMV to AVI"));
    const QSize templateSize = DialogUnits(about.font()).toPixels(237, 57);
    QCOMPARE(about.height(), templateSize.height());
    QVERIFY(about.width() >= templateSize.width());
    QStringList texts;
    for (auto* label : about.findChildren<QLabel*>()) {
      if (label->text().isEmpty()) continue;
      texts << label->text();
      // Every line whole, inside the box.
      QVERIFY2(label->width() >= label->fontMetrics().horizontalAdvance(label->text()),
               qPrintable(label->text()));
      QVERIFY2(label->geometry().right() < about.width(), qPrintable(label->text()));
    }
    QVERIFY(texts.contains("QMV to AVI file format converter"));
    QVERIFY(texts.contains("Version " QMV2AVI_VERSION " - DVR recordings to standard video files"));
    QPushButton* ok = nullptr;
    for (auto* b : about.findChildren<QPushButton*>())
      if (b->property("controlId").toInt() == id::kAboutOk) ok = b;
    QVERIFY(ok && ok->isDefault());
    QCOMPARE(ok->text(), QString("OK"));
    about.show();
    ok->click();
    QCOMPARE(about.result(), int(QDialog::Accepted));
  }

  void defaultCodecBox() {
    std::optional<CompressOptions> answer;
    int asked = 0;
    DialogSeams s = seams();
    s.chooseOptions = [&](QWidget*, const CompressOptions&) {
      ++asked;
      return answer;
    };
    ConverterDialog dialog(s);
    open(dialog, recB_);
    auto* box = dialog.controlAs<QCheckBox>(id::kDefaultCodec);
    auto* combo = dialog.control(id::kCompressor);

    // The box is hidden in this layout; its handler is driven as a click would.
    CompressOptions chosen;
    chosen.encoder = "ffv1";
    chosen.fourcc = makeFourcc('F', 'F', 'V', '1');
    answer = chosen;
    box->setChecked(false);
    dialog.onDefaultCodec();
    QCOMPARE(asked, 1);
    QVERIFY(!dialog.defaultCodec());
    QCOMPARE(dialog.compressOptions(), chosen);
    QVERIFY(!combo->isEnabled());
    QVERIFY(!box->isChecked());

    box->setChecked(true);
    dialog.onDefaultCodec();
    QVERIFY(dialog.defaultCodec());
    QVERIFY(dialog.compressOptions().empty());
    QVERIFY(combo->isEnabled());

    answer.reset();  // cancelled: back to pass-through
    box->setChecked(false);
    dialog.onDefaultCodec();
    QCOMPARE(asked, 2);
    QVERIFY(dialog.defaultCodec());
    QVERIFY(box->isChecked());
    QVERIFY(combo->isEnabled());
    QVERIFY(dialog.compressOptions().empty());
  }

  void decoderMessagesFromTheWorkerThread() {
    std::atomic<bool> workerEnded{false};
    DialogSeams s = seams();
    s.runConversion = [&](const RecordingFile&, const ConversionContext& context) {
      ConversionReport report;
      report.started = true;
      context.progress->progressRange(1);
      context.messages->message(
          Message{MessageKind::kDecoderLibraryMissing, "xvidcore.dll not found!", "Error!", 0});
      context.messages->message(Message{MessageKind::kWarning, "entry 3 at 0x00001000: skipped", {}, -1});
      context.progress->conversionDone(report);
      workerEnded.store(true);
      return report;
    };
    ConverterDialog dialog(s);
    open(dialog, recB_);
    dialog.controlAs<QPushButton>(id::kConvert)->click();
    // The GUI thread runs no event loop meanwhile: the worker's messages must not wait for it.
    while (!workerEnded.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    QVERIFY2(warnings_.isEmpty(), qPrintable(warnings_.join("\n")));
    // The decoder's message in a box, with its own caption; warnings stay in the report.
    QTRY_COMPARE(warnings_, QStringList{"Error!|xvidcore.dll not found!"});
    QTRY_COMPARE(dialog.completions(), 1);
    QCOMPARE(warnings_, QStringList{"Error!|xvidcore.dll not found!"});
  }

  void realConversion() {
    QTemporaryDir out;
    ConverterDialog dialog(seams(true));
    open(dialog, recB_);
    nextFolder_ = out.path();
    dialog.controlAs<QPushButton>(id::kDestination)->click();
    pressOpenFolder_ = true;
    dialog.controlAs<QPushButton>(id::kConvert)->click();
    QTRY_VERIFY_WITH_TIMEOUT(dialog.completions() == 1, 60000);
    QVERIFY2(warnings_.isEmpty(), qPrintable(warnings_.join("; ")));
    QVERIFY(replaceAsked_.isEmpty());  // nothing was there to replace
    QCOMPARE(dialog.controlAs<QProgressBar>(id::kProgress)->value(), 0);
    QCOMPARE(dialog.controlAs<QProgressBar>(id::kProgress)->maximum(), int(dialog.recording().entryCount()));
    const QStringList written{"recB_00.avi", "recB_00.srt", "recB_04.avi", "recB_04.srt"};
    QCOMPARE(QDir(out.path()).entryList(QDir::Files, QDir::Name), written);
    qint64 total = 0;
    for (const QString& name : written) total += QFileInfo(QDir(out.path()).filePath(name)).size();
    for (const QString& name : {QString("recB_00.avi"), QString("recB_04.avi")}) {
      const AviFacts facts = readAvi(QDir(out.path()).filePath(name));
      QVERIFY2(facts.opened, qPrintable(name));
      QCOMPARE(facts.streams, 1u);
      QVERIFY(facts.video);
      QCOMPARE(facts.codecTag, makeFourcc('X', 'V', 'I', 'D'));
      QVERIFY(facts.packets >= 4);  // one second at 5 frames per second
    }
    // One message: the count, the folder and the total size; Open Folder opens that folder.
    QCOMPARE(
        completionTexts_,
        QStringList{QString("QMV to AVI|The conversion is complete: 4 files written (%1).\n\nFolder: %2/")
                        .arg(QLocale::c().formattedDataSize(total), QDir::toNativeSeparators(out.path()))});
    QCOMPARE(openedUrls_, QList<QUrl>{QUrl::fromLocalFile(out.path() + "/")});
    QCOMPARE(dialog.controlAs<QPushButton>(id::kDestination)->toolTip(),
             QDir::toNativeSeparators(out.path() + "/"));

    // The subtitles are the command-line tool's, byte for byte.
    QTemporaryDir cliOut;
    QProcess cli;
    cli.start(QMV2AVI_CLI_PATH, {"convert", "-o", cliOut.path(), recB_});
    QVERIFY(cli.waitForFinished(60000));
    QCOMPARE(cli.exitCode(), 0);
    for (const QString& name : {QString("recB_00.srt"), QString("recB_04.srt")}) {
      QFile ours(QDir(out.path()).filePath(name));
      QFile theirs(QDir(cliOut.path()).filePath(name));
      QVERIFY(ours.open(QIODevice::ReadOnly) && theirs.open(QIODevice::ReadOnly));
      const QByteArray bytes = ours.readAll();
      QVERIFY2(bytes.startsWith("1\r\n00:00:00,"), bytes.left(80).constData());
      QCOMPARE(bytes, theirs.readAll());
    }

    // A second conversion into the same folder asks once, naming every file it would replace.
    const QString marked = QDir(out.path()).filePath("recB_04.srt");
    {
      QFile mark(marked);
      QVERIFY(mark.open(QIODevice::WriteOnly | QIODevice::Truncate));
      mark.write("kept");
    }
    dialog.controlAs<QPushButton>(id::kConvert)->click();  // Cancel
    QCOMPARE(replaceAsked_.size(), 1);
    QStringList expected;
    for (const QString& name : written) expected << QDir::toNativeSeparators(QDir(out.path()).filePath(name));
    QCOMPARE(replaceAsked_[0], expected);
    QTest::qWait(50);
    QVERIFY(!dialog.hasWorker());
    QCOMPARE(dialog.completions(), 1);
    QFile kept(marked);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("kept"));
    kept.close();

    replaceAnswer_ = true;
    dialog.controlAs<QPushButton>(id::kConvert)->click();  // Replace
    QTRY_VERIFY_WITH_TIMEOUT(dialog.completions() == 2, 60000);
    QCOMPARE(replaceAsked_.size(), 2);
    QVERIFY2(warnings_.isEmpty(), qPrintable(warnings_.join("\n")));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QVERIFY(kept.readAll().startsWith("1\r\n"));
  }

  void unwritableDestinationIsReported() {
    ConverterDialog dialog(seams(true));
    open(dialog, recB_);
    nextFolder_ = dir_.filePath("missing-folder");
    dialog.controlAs<QPushButton>(id::kDestination)->click();
    dialog.controlAs<QPushButton>(id::kConvert)->click();
    QTRY_VERIFY_WITH_TIMEOUT(dialog.completions() == 1, 60000);
    QCOMPARE(warnings_.size(), 1);
    QVERIFY2(warnings_[0].contains("missing-folder/recB_00.avi"), qPrintable(warnings_[0]));
    QVERIFY(dialog.control(id::kOpen)->isEnabled());
  }
};

QTEST_MAIN(ConverterDialogTest)
#include "converter_dialog_test.moc"
