// The destination folder browser: a directory tree from the top of the file system and a status line.
#include "app/folder_browser.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/app_icon.h"
#include "app/dialog_units.h"

namespace qmv::app {

FolderBrowser::FolderBrowser(const QString& initialDir, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Choose Destination Directory"));
  setFont(dialogFont());
  setWindowIcon(appIcon());
  const DialogUnits du(font());
  resize(du.toPixels(230, 220));

  model_ = new QFileSystemModel(this);
  model_->setFilter(QDir::AllDirs | QDir::Drives | QDir::NoDotAndDotDot);
  model_->setReadOnly(true);
  // No root: the tree starts from the top of the file system.
  model_->setRootPath(QString());

  view_ = new QTreeView(this);
  view_->setModel(model_);
  view_->setHeaderHidden(true);
  for (int column = 1; column < model_->columnCount(); ++column) view_->hideColumn(column);
  view_->setSelectionMode(QAbstractItemView::SingleSelection);
  view_->setSortingEnabled(true);
  view_->sortByColumn(0, Qt::AscendingOrder);

  status_ = new QLabel(this);
  status_->setTextFormat(Qt::PlainText);
  status_->setMinimumHeight(du.toPixelsY(10));

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(status_);
  layout->addWidget(view_, 1);
  layout->addWidget(buttons);

  connect(view_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          &FolderBrowser::onSelectionChanged);
  // The tree fills and sorts itself later; keep the selected folder in sight as it does.
  auto keepInSight = [this] {
    if (view_->currentIndex().isValid()) view_->scrollTo(view_->currentIndex());
  };
  connect(model_, &QFileSystemModel::directoryLoaded, this, keepInSight);
  connect(model_, &QFileSystemModel::layoutChanged, this, keepInSight);
  selectPath(initialPath(initialDir));
}

QString FolderBrowser::initialPath(const QString& initialDir) {
  QString path = initialDir;
  path.chop(1);
  // The root folder keeps its only character: without it there would be nothing to select.
  if (path.isEmpty() && initialDir == QStringLiteral("/")) return initialDir;
  return path;
}

void FolderBrowser::selectPath(const QString& path) {
  if (path.isEmpty() || !QFileInfo(path).isDir()) return;
  const QModelIndex index = model_->index(path);
  if (!index.isValid()) return;
  view_->setCurrentIndex(index);
  view_->scrollTo(index);
}

QString FolderBrowser::selectedPath() const {
  const QModelIndex index = view_->currentIndex();
  return index.isValid() ? model_->filePath(index) : QString();
}

QString FolderBrowser::statusText() const { return status_->text(); }

void FolderBrowser::onSelectionChanged() {
  // An item without a file-system path shows an empty status line.
  status_->setText(QDir::toNativeSeparators(selectedPath()));
}

std::optional<QString> FolderBrowser::choose(QWidget* parent, const QString& initialDir) {
  FolderBrowser browser(initialDir, parent);
  if (browser.exec() != QDialog::Accepted) return std::nullopt;
  const QString path = browser.selectedPath();
  if (path.isEmpty()) return std::nullopt;
  return path;
}

}  // namespace qmv::app
