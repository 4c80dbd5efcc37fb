// The application icon: a film strip with a camera lens, drawn at each size it is shown in.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace qmv::app {

QPixmap appIconPixmap(int size);
QIcon appIcon();

}  // namespace qmv::app
