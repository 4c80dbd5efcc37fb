// The main window's template: every control in dialog units, in creation (tab) order.
#include "app/dialog_layout.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>

#include "app/dialog_units.h"

namespace qmv::app {

void IdleTextProgressBar::setIdleText(const QString& text) {
  idleText_ = text;
  setTextVisible(!text.isEmpty());
  update();
}

DialogControls createDialogControls(QWidget& window) {
  DialogControls controls;
  const DialogUnits du(window.font());
  window.setFixedSize(du.toPixels(320, 158));

  auto add = [&]<typename T>(int id, T* widget, int x, int y, int width, int height) {
    widget->setGeometry(du.toPixels(DuRect{x, y, width, height}));
    widget->setProperty("controlId", id);
    controls.byId.insert(id, widget);
    return widget;
  };

  auto label = [&](int id, const char* text, int x, int y) {
    auto* l = add(id, new QLabel(QString::fromLatin1(text), &window), x, y, 61, 8);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    l->setGeometry(
        fitTextWidth(l->geometry(), l->fontMetrics().horizontalAdvance(l->text()), l->alignment()));
  };
  label(id::kSystemNameLabel, "System Name:", 9, 14);
  label(id::kVersionLabel, "System Version:", 9, 27);
  label(id::kRecordedTimeLabel, "Recorded Time:", 9, 41);
  label(id::kMacAddressLabel, "MAC Address:", 168, 14);
  label(id::kLanguageVideoLabel, "Language and VGA:", 168, 27);

  static constexpr int kChannelX[8] = {11, 46, 84, 122, 160, 198, 236, 274};
  for (int k = 0; k < kChannelCount; ++k) {
    controls.channels[std::size_t(k)] =
        add(channelControlId(k),
            new QCheckBox(QStringLiteral("CH-%1").arg(k + 1, 2, 10, QLatin1Char('0')), &window),
            kChannelX[k % 8], k < 8 ? 65 : 80, 35, 10);
  }

  add(id::kOpen, new QPushButton(QStringLiteral("&Open"), &window), 7, 119, 50, 14);
  add(id::kConvert, new QPushButton(QStringLiteral("&Convert"), &window), 262, 119, 50, 14);

  controls.progress = add(id::kProgress, new IdleTextProgressBar(&window), 66, 137, 183, 14);
  controls.progress->setTextVisible(false);
  controls.progress->setRange(0, 100);
  controls.progress->setValue(0);

  auto* standardize =
      add(id::kStandardize, new QCheckBox(QStringLiteral("Standardization"), &window), 255, 139, 58, 10);
  standardize->setVisible(false);
  standardize->setEnabled(false);

  add(id::kDestination, new QPushButton(QStringLiteral("&Destination"), &window), 7, 137, 50, 14);

  auto field = [&](int id, int x, int y, int width) {
    // The template's placeholder text; the first data exchange replaces it.
    auto* f = add(id, new QLabel(QStringLiteral("Static"), &window), x, y, width, 8);
    f->setTextFormat(Qt::PlainText);
    f->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  };
  field(id::kSystemName, 77, 14, 71);
  field(id::kVersion, 77, 27, 71);
  field(id::kRecordedTime, 77, 41, 236);
  field(id::kMacAddress, 237, 14, 71);
  field(id::kLanguageVideo, 237, 27, 71);

  // Frames are drawn beneath the controls they surround.
  add(id::kChannelGroup, new QGroupBox(&window), 7, 55, 306, 53)->lower();
  add(id::kInfoGroup, new QGroupBox(QStringLiteral("File Information"), &window), 7, 5, 306, 52)->lower();

  add(id::kAllChannels, new QCheckBox(QStringLiteral("All CHs"), &window), 274, 95, 38, 10);

  auto* defaultCodec =
      add(id::kDefaultCodec, new QCheckBox(QStringLiteral("Default Codec (Fast)"), &window), 66, 120, 77, 10);
  defaultCodec->setVisible(false);
  defaultCodec->setEnabled(false);

  // 30 units is the opened list; the closed box takes its natural height.
  controls.compressor = add(id::kCompressor, new QComboBox(&window), 158, 119, 89, 30);
  QComboBox* compressor = controls.compressor;
  compressor->setEditable(true);
  compressor->setInsertPolicy(QComboBox::NoInsert);
  // Pass-through copies the recorded frames; the choice is the label AVI players see.
  compressor->addItem(QStringLiteral("Copy as XVID"));
  compressor->addItem(QStringLiteral("Copy as DivX"));
  compressor->resize(compressor->width(), std::max(compressor->sizeHint().height(), du.toPixelsY(14)));
  return controls;
}

}  // namespace qmv::app
