// qmv2avi-icons OUTDIR: writes the application icon as OUTDIR/scalable/apps/qmv2avi.svg and
// OUTDIR/NxN/apps/qmv2avi.png, the hicolor theme's layout, from the same drawing the program shows.
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>
#include <cstdio>

#include "app/app_icon.h"

namespace {

constexpr int kPngSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
constexpr int kSvgSize = 32;  // the drawing's own grid; the SVG scales from it

bool writeSvg(const QString& path) {
  QSvgGenerator svg;
  svg.setFileName(path);
  svg.setSize(QSize(kSvgSize, kSvgSize));
  svg.setViewBox(QRect(0, 0, kSvgSize, kSvgSize));
  svg.setTitle(QStringLiteral("qmv2avi"));
  svg.setDescription(QStringLiteral("Film strip with a camera lens"));
  QPainter p;
  if (!p.begin(&svg)) return false;
  qmv::app::paintAppIcon(p, kSvgSize);
  return p.end();
}

bool writePng(const QString& path, int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  {
    QPainter p(&image);
    qmv::app::paintAppIcon(p, size);
  }
  return image.save(path, "PNG");
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qmv2avi-icons OUTDIR\n");
    return 64;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  bool ok = out.mkpath(QStringLiteral("scalable/apps")) &&
            writeSvg(out.filePath(QStringLiteral("scalable/apps/qmv2avi.svg")));
  for (int size : kPngSizes) {
    const QString dir = QStringLiteral("%1x%1/apps").arg(size);
    ok = ok && out.mkpath(dir) && writePng(out.filePath(dir + QStringLiteral("/qmv2avi.png")), size);
  }
  if (!ok) std::fprintf(stderr, "qmv2avi-icons: could not write the icons under %s\n", argv[1]);
  return ok ? 0 : 1;
}
