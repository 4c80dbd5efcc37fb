// FolderBrowser: a folder chooser with a status line that shows the selected folder's path.
#pragma once

#include <QDialog>
#include <QString>
#include <optional>

class QFileSystemModel;
class QLabel;
class QTreeView;

namespace qmv::app {

class FolderBrowser : public QDialog {
  Q_OBJECT
 public:
  // initialDir is the current destination, ending in one path separator, or empty.
  explicit FolderBrowser(const QString& initialDir, QWidget* parent = nullptr);

  // The initial path: initialDir without its trailing separator; empty for an empty initialDir.
  static QString initialPath(const QString& initialDir);

  // Selects the folder named by path (nothing happens for a path that names no folder).
  void selectPath(const QString& path);
  // The selected folder's file-system path, or empty.
  QString selectedPath() const;
  QString statusText() const;
  QTreeView* view() const { return view_; }

  // Runs the browser modally; the chosen folder, or nullopt when cancelled.
  static std::optional<QString> choose(QWidget* parent, const QString& initialDir);

 private:
  void onSelectionChanged();

  QFileSystemModel* model_;
  QTreeView* view_;
  QLabel* status_;
};

}  // namespace qmv::app
