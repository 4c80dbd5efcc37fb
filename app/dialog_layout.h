// The main window's controls at their template places, with their control ids, texts and fonts.
#pragma once

#include <QHash>
#include <array>

#include "app/control_ids.h"

class QCheckBox;
class QComboBox;
class QProgressBar;
class QWidget;

namespace qmv::app {

struct DialogControls {
  QHash<int, QWidget*> byId;
  std::array<QCheckBox*, kChannelCount> channels{};
  QComboBox* compressor = nullptr;
  QProgressBar* progress = nullptr;

  // The control with this template id, or null.
  QWidget* control(int id) const { return byId.value(id, nullptr); }
};

// Sizes window to the template and creates its controls on it, in the template's tab order. Signals are the
// window's to connect; the information fields keep their placeholder text until the first data exchange.
DialogControls createDialogControls(QWidget& window);

}  // namespace qmv::app
