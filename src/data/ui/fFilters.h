// TfrmFilters: the Filters dialog, opened modally from View > Filters. Two three-state boxes
// (cbIPChanged, cbKilled), the Rank box edPriority, and the buttons Defaults, OK and Cancel.
// It does not show the current view: each time it is shown, and when Defaults is pressed, the
// boxes return to IP Changed grey, Killed unchecked, Rank empty. On OK the caller hands
// Choice() to ApplyFilterChoice; Cancel changes nothing. F1 opens help context 50.
#pragma once

#include <QDialog>

#include "data/SiteViews.h"

class QCheckBox;
class QLineEdit;

namespace quellor {

class Ui;

class TfrmFilters : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmFilters(Ui& ui, QWidget* parent = nullptr);

  // What the boxes hold now.
  TFilterChoice Choice() const;
  // Defaults: IP Changed grey, Killed unchecked, Rank empty.
  void btnDefaultsClick();
  // OK: a Rank that is not a whole number is refused (RankError) with the dialog open and the
  // focus on it; otherwise the dialog closes with OK.
  void OKClick();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  Ui& ui_;
  QCheckBox* cbIPChanged_;
  QCheckBox* cbKilled_;
  QLineEdit* edPriority_;
};

}  // namespace quellor
