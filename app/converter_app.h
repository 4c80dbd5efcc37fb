// ConverterApp: runs the main dialog modally; the process ends when it closes.
#pragma once

#include "app/converter_dialog.h"

namespace qmv::app {

class ConverterApp {
 public:
  // recordings: opened in the dialog before it shows, as a drop of them would.
  explicit ConverterApp(DialogSeams seams = {}, QStringList recordings = {})
      : seams_(std::move(seams)), recordings_(std::move(recordings)) {}
  // Runs the dialog and returns false: there is no main loop after it.
  bool initInstance();

 private:
  DialogSeams seams_;
  QStringList recordings_;
};

}  // namespace qmv::app
