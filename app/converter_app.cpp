// Application start-up: one dialog, run modally, destroyed, then the process ends.
#include "app/converter_app.h"

#include <memory>

namespace qmv::app {

bool ConverterApp::initInstance() {
  auto dialog = std::make_unique<ConverterDialog>(seams_);
  dialog->openRecordings(recordings_);
  dialog->exec();  // its result is not examined
  dialog.reset();
  return false;
}

}  // namespace qmv::app
