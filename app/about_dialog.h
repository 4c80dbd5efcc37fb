// AboutDialog: the About box, reached through the system menu's About item.
#pragma once

#include <QDialog>

namespace qmv::app {

class AboutDialog : public QDialog {
  Q_OBJECT
 public:
  explicit AboutDialog(QWidget* parent = nullptr);
};

// "Version 0.1.0 - DVR recordings to standard video files"
QString aboutVersionLine();

}  // namespace qmv::app
