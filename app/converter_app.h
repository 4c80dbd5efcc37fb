// ConverterApp: runs the main dialog modally; the process ends when it closes.
#pragma once

#include "app/converter_dialog.h"

namespace qmv::app {

class ConverterApp {
 public:
  explicit ConverterApp(DialogSeams seams = {}) : seams_(std::move(seams)) {}
  // Runs the dialog and returns false: there is no main loop after it.
  bool initInstance();

 private:
  DialogSeams seams_;
};

}  // namespace qmv::app
