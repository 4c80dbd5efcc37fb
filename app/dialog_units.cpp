// Dialog units converted to pixels with the dialog font's metrics.
#include "app/dialog_units.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>

namespace qmv::app {

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  baseWidth_ = metrics.averageCharWidth();
  baseHeight_ = metrics.height();
}

// Rounded like the platform's MulDiv, so that adjacent controls keep their spacing.
int DialogUnits::toPixelsX(int du) const { return (du * baseWidth_ * 2 + 4) / 8; }
int DialogUnits::toPixelsY(int du) const { return (du * baseHeight_ * 2 + 8) / 16; }

QRect DialogUnits::toPixels(const DuRect& r) const {
  const int left = toPixelsX(r.x);
  const int top = toPixelsY(r.y);
  // Right and bottom edges are converted on their own so that rounding never opens gaps.
  return QRect(left, top, toPixelsX(r.x + r.width) - left, toPixelsY(r.y + r.height) - top);
}

QSize DialogUnits::toPixels(int widthDu, int heightDu) const {
  return QSize(toPixelsX(widthDu), toPixelsY(heightDu));
}

QRect fitTextWidth(const QRect& rect, int textWidth, Qt::Alignment alignment) {
  if (textWidth <= rect.width()) return rect;
  QRect fitted = rect;
  if (alignment & Qt::AlignRight) {
    fitted.setLeft(rect.right() + 1 - textWidth);
  } else if (alignment & Qt::AlignHCenter) {
    fitted.setLeft(rect.left() - (textWidth - rect.width()) / 2);
    fitted.setWidth(textWidth);
  } else {
    fitted.setWidth(textWidth);
  }
  return fitted;
}

QFont dialogFont() {
  static const QString kTemplateFamily = QStringLiteral("Microsoft Sans Serif");
  QFont font;
  if (QFontDatabase::families().contains(kTemplateFamily)) {
    font.setFamily(kTemplateFamily);
  } else {
    font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
    font.setStyleHint(QFont::SansSerif);
  }
  font.setPointSize(10);
  return font;
}

}  // namespace qmv::app
