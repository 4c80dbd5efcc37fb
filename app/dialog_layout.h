// The main window's controls at their template places, with their control ids, texts and fonts.
#pragma once

#include <QHash>
#include <QProgressBar>
#include <QString>
#include <array>

#include "app/control_ids.h"

class QCheckBox;
class QComboBox;
class QWidget;

namespace qmv::app {

// The progress bar, which shows a text of its own while idle (the destination). No Q_OBJECT: to Qt it is
// the template's QProgressBar.
class IdleTextProgressBar : public QProgressBar {
 public:
  using QProgressBar::QProgressBar;
  // Shown instead of the bar's own text while not empty; taken as it is (no %p, %v or %m).
  void setIdleText(const QString& text);
  const QString& idleText() const { return idleText_; }
  QString text() const override { return idleText_.isEmpty() ? QProgressBar::text() : idleText_; }

 private:
  QString idleText_;
};

struct DialogControls {
  QHash<int, QWidget*> byId;
  std::array<QCheckBox*, kChannelCount> channels{};
  QComboBox* compressor = nullptr;
  IdleTextProgressBar* progress = nullptr;

  // The control with this template id, or null.
  QWidget* control(int id) const { return byId.value(id, nullptr); }
};

// Sizes window to the template and creates its controls on it, in the template's tab order. Signals are the
// window's to connect; the information fields keep their placeholder text until the first data exchange.
DialogControls createDialogControls(QWidget& window);

}  // namespace qmv::app
