// The application icon: a film strip with a camera lens, drawn at each size it is shown in.
#pragma once

#include <QIcon>
#include <QPainter>
#include <QPixmap>

namespace qmv::app {

// Paints the icon into the square (0, 0, size, size) of any paint device: a pixmap, an image, an SVG file.
void paintAppIcon(QPainter& p, qreal size);
QPixmap appIconPixmap(int size);
QIcon appIcon();

}  // namespace qmv::app
