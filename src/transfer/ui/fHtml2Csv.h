// TfrmHtml2Csv: the "Html to Csv" window, a fixed-size dialog with the file name box (edtFile),
// "Browse..." (btnBrowse) beside it and "Convert" (btnConvert) below. It stays open for further
// files until the person closes it. The work is THtml2Csv's (Html2Csv.h); errors of a conversion
// are shown in the standard error box.
#pragma once

#include <QDialog>

#include "transfer/Html2Csv.h"

class QLineEdit;
class QPushButton;

namespace quellor {

class Ui;

class TfrmHtml2Csv : public QDialog {
  Q_OBJECT

 public:
  TfrmHtml2Csv(const TSiteTarget& target, Ui& ui, QWidget* parent = nullptr);

  void btnBrowseClick();
  void btnConvertClick();

 private:
  Ui& ui_;
  THtml2Csv logic_;
  QLineEdit* edtFile_ = nullptr;
};

}  // namespace quellor
