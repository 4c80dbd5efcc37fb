// The About box: icon, program name, version line and OK, laid out in dialog units.
#include "app/about_dialog.h"

#include <QLabel>
#include <QPushButton>
#include <algorithm>

#include "app/app_icon.h"
#include "app/control_ids.h"
#include "app/dialog_units.h"

#ifndef QMV2AVI_VERSION
#define QMV2AVI_VERSION "0.0.0"
#endif

namespace qmv::app {

QString aboutVersionLine() {
  return QStringLiteral("Version %1 - DVR recordings to standard video files")
      .arg(QStringLiteral(QMV2AVI_VERSION));
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("QMV to AVI"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setFont(dialogFont());
  setWindowIcon(appIcon());
  const DialogUnits du(font());
  setFixedSize(du.toPixels(237, 57));

  auto* icon = new QLabel(this);
  const QRect iconRect = du.toPixels(DuRect{7, 11, 20, 20});
  icon->setGeometry(iconRect);
  // The icon keeps its natural 32-pixel size in the top-left corner of its frame, as icon controls do.
  icon->setPixmap(appIconPixmap(32));
  icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  auto* name = new QLabel(QStringLiteral("QMV to AVI file format converter"), this);
  name->setTextFormat(Qt::PlainText);
  name->setGeometry(du.toPixels(DuRect{36, 7, 119, 8}));
  name->setGeometry(
      fitTextWidth(name->geometry(), name->fontMetrics().horizontalAdvance(name->text()), Qt::AlignLeft));

  auto* version = new QLabel(aboutVersionLine(), this);
  version->setTextFormat(Qt::PlainText);
  version->setGeometry(du.toPixels(DuRect{36, 19, 194, 8}));
  version->setGeometry(fitTextWidth(
      version->geometry(), version->fontMetrics().horizontalAdvance(version->text()), Qt::AlignLeft));
  // A version line longer than the template's box widens the box, keeping the template's right margin,
  // instead of being cut short; OK stays in the middle.
  const int width = std::max(du.toPixelsX(237), version->geometry().right() + 1 + du.toPixelsX(7));
  setFixedSize(width, du.toPixelsY(57));

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setProperty("controlId", id::kAboutOk);
  ok->setDefault(true);
  QRect okRect = du.toPixels(DuRect{93, 36, 50, 14});
  if (width > du.toPixelsX(237)) okRect.moveLeft((width - okRect.width()) / 2);
  ok->setGeometry(okRect);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace qmv::app
