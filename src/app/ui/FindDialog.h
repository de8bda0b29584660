// FindDialog1: the Find dialog of the main window. A text, the direction (up or down; down at
// first) and Match case; no whole-word option. It stays open while the person works on, and
// each press of Find Next emits FindNext. A line under the text names the grid's column the
// search compares, which the person chooses in the Detail grid.
#pragma once

#include <QDialog>

#include "app/Find.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace quellor {

class TFindDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TFindDialog(QWidget* parent = nullptr);
  TFindOptions Options() const;
  void SetText(const QString& text);
  // Names the column each step compares ("Searches the column: Url").
  void SetColumn(const QString& name);

 signals:
  void FindNext();

 private:
  QLineEdit* text_;
  QRadioButton* up_;
  QRadioButton* down_;
  QCheckBox* matchCase_;
  QLabel* column_;
};

}  // namespace quellor
