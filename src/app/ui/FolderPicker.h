// TFolderPicker: the folder picker behind Ui::SelectFolder. A tree of the file system's folders
// and a box holding the chosen folder; the person picks a folder in the tree or types one, also
// one that does not exist yet (a relative name is taken inside the folder the picker opened at).
// OK accepts an existing folder; for a missing one it asks whether to create it (AcceptFolder):
// Yes creates it with its parents and accepts it, No keeps the picker open.
#pragma once

#include <QDialog>
#include <string>

class QFileSystemModel;
class QLineEdit;
class QTreeView;

namespace quellor {

class Ui;

class TFolderPicker : public QDialog {
  Q_OBJECT

 public:
  TFolderPicker(Ui& ui, QWidget* parent, const std::string& title, const std::string& initialDir);

  // The folder in the box, made absolute: what OK accepted.
  std::string Folder() const;
  void SetFolderText(const QString& text);

  void accept() override;

 private:
  Ui& ui_;
  QString base_;
  QFileSystemModel* model_;
  QTreeView* tree_;
  QLineEdit* edit_;
};

}  // namespace quellor
