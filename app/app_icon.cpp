// Draws the application icon with QPainter, so that no image file has to travel with the program.
#include "app/app_icon.h"

#include <QPainter>

namespace qmv::app {

void paintAppIcon(QPainter& p, qreal size) {
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size / 32.0;

  // Film strip with sprocket holes along both edges.
  const QRectF strip(2 * s, 5 * s, 28 * s, 22 * s);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(40, 44, 52));
  p.drawRoundedRect(strip, 2.5 * s, 2.5 * s);
  p.setBrush(QColor(235, 235, 235));
  for (int i = 0; i < 6; ++i) {
    const qreal x = (4 + i * 4.4) * s;
    p.drawRect(QRectF(x, 6.5 * s, 2.4 * s, 2.2 * s));
    p.drawRect(QRectF(x, 23.3 * s, 2.4 * s, 2.2 * s));
  }

  // The frame window with a lens in it.
  p.setBrush(QColor(70, 130, 200));
  p.drawRect(QRectF(4 * s, 10 * s, 24 * s, 12 * s));
  p.setBrush(QColor(25, 25, 30));
  p.drawEllipse(QPointF(16 * s, 16 * s), 5.2 * s, 5.2 * s);
  p.setBrush(QColor(120, 190, 255));
  p.drawEllipse(QPointF(16 * s, 16 * s), 3 * s, 3 * s);
  p.setBrush(QColor(255, 255, 255, 200));
  p.drawEllipse(QPointF(14.8 * s, 14.8 * s), 1 * s, 1 * s);

  // Recording dot.
  p.setBrush(QColor(220, 40, 40));
  p.drawEllipse(QPointF(25.5 * s, 12.5 * s), 1.6 * s, 1.6 * s);
}

QPixmap appIconPixmap(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  paintAppIcon(p, size);
  return pixmap;
}

QIcon appIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64}) icon.addPixmap(appIconPixmap(size));
  return icon;
}

}  // namespace qmv::app
