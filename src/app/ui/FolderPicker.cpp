#include "app/ui/FolderPicker.h"

#include <QDir>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/FolderChoice.h"
#include "app/ui/QtUi.h"

namespace quellor {

TFolderPicker::TFolderPicker(Ui& ui, QWidget* parent, const std::string& title,
                             const std::string& initialDir)
    : QDialog(parent), ui_(ui) {
  setObjectName("FolderPicker");
  setWindowTitle(ToQ(title.empty() ? std::string("Select folder") : title));
  base_ = initialDir.empty() ? QDir::currentPath() : QDir::cleanPath(ToQ(initialDir));

  model_ = new QFileSystemModel(this);
  model_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
  model_->setRootPath(QDir::rootPath());
  tree_ = new QTreeView(this);
  tree_->setObjectName("FolderTree");
  tree_->setModel(model_);
  for (int column = 1; column < model_->columnCount(); ++column) tree_->hideColumn(column);
  tree_->header()->hide();
  QModelIndex start = model_->index(base_);
  if (start.isValid()) {
    tree_->setCurrentIndex(start);
    tree_->scrollTo(start);
  }

  auto* label = new QLabel("&Folder:", this);
  edit_ = new QLineEdit(this);
  edit_->setObjectName("FolderEdit");
  edit_->setText(base_);
  label->setBuddy(edit_);
  connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& index) {
            if (index.isValid()) edit_->setText(model_->filePath(index));
          });

  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("OK");
  ok->setDefault(true);
  auto* cancel = new QPushButton("Cancel", this);
  cancel->setObjectName("Cancel");
  connect(ok, &QPushButton::clicked, this, &TFolderPicker::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tree_, 1);
  auto* row = new QHBoxLayout();
  row->addWidget(label);
  row->addWidget(edit_, 1);
  layout->addLayout(row);
  auto* buttons = new QHBoxLayout();
  buttons->addStretch(1);
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  resize(420, 380);
}

std::string TFolderPicker::Folder() const {
  QString text = edit_->text();
  if (text.isEmpty()) return {};
  QString path = QDir::isAbsolutePath(text) ? text : base_ + "/" + text;
  return FromQ(QDir::cleanPath(path));
}

void TFolderPicker::SetFolderText(const QString& text) {
  edit_->setText(text);
}

void TFolderPicker::accept() {
  if (!AcceptFolder(ui_, Folder())) return;
  QDialog::accept();
}

}  // namespace quellor
