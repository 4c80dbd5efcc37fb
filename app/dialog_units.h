// Dialog units: the font-relative coordinates the dialog templates are laid out in.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace qmv::app {

// A rectangle in dialog units, as the templates give it.
struct DuRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// Horizontal unit = average character width / 4, vertical unit = character height / 8.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  DialogUnits(int baseWidth, int baseHeight) : baseWidth_(baseWidth), baseHeight_(baseHeight) {}

  int baseWidth() const { return baseWidth_; }
  int baseHeight() const { return baseHeight_; }
  int toPixelsX(int du) const;
  int toPixelsY(int du) const;
  QRect toPixels(const DuRect& r) const;
  QSize toPixels(int widthDu, int heightDu) const;

 private:
  int baseWidth_;
  int baseHeight_;
};

// A fixed label whose text is wider than its template rectangle grows away from its aligned edge
// (right-aligned: to the left), so that no text is clipped and aligned edges stay where the template has
// them.
QRect fitTextWidth(const QRect& rect, int textWidth, Qt::Alignment alignment);

// The templates' font, "Microsoft Sans Serif" 10 pt, or the platform's sans-serif at that size.
QFont dialogFont();

}  // namespace qmv::app
