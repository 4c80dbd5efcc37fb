// Entry of the qmv2avi program: no arguments and no settings, just the converter dialog.
#include <QApplication>

#include "app/converter_app.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("qmv2avi"));
  qmv::app::ConverterApp app;
  app.initInstance();
  return 0;
}
