// The "Html to Csv" window; see fHtml2Csv.h.
#include "transfer/ui/fHtml2Csv.h"

#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <exception>

#include "app/Ui.h"
#include "app/ui/QtUi.h"

namespace quellor {

TfrmHtml2Csv::TfrmHtml2Csv(const TSiteTarget& target, Ui& ui, QWidget* parent)
    : QDialog(parent), ui_(ui), logic_(target, ui) {
  setObjectName("frmHtml2Csv");
  setWindowTitle("Html to Csv");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint);
  setModal(true);

  edtFile_ = new QLineEdit(this);
  edtFile_->setObjectName("edtFile");
  edtFile_->setMinimumWidth(280);
  auto* browse = new QPushButton("Browse...", this);
  browse->setObjectName("btnBrowse");
  browse->setAutoDefault(false);
  auto* convert = new QPushButton("Convert", this);
  convert->setObjectName("btnConvert");
  convert->setAutoDefault(false);

  auto* grid = new QGridLayout(this);
  grid->addWidget(edtFile_, 0, 0);
  grid->addWidget(browse, 0, 1);
  grid->addWidget(convert, 1, 0, 1, 2, Qt::AlignHCenter);
  grid->setSizeConstraint(QLayout::SetFixedSize);

  connect(browse, &QPushButton::clicked, this, &TfrmHtml2Csv::btnBrowseClick);
  connect(convert, &QPushButton::clicked, this, &TfrmHtml2Csv::btnConvertClick);
}

void TfrmHtml2Csv::btnBrowseClick() {
  try {
    edtFile_->setText(ToQ(logic_.Browse()));
  } catch (const std::exception& e) {
    ui_.ShowError(e.what());
  }
}

void TfrmHtml2Csv::btnConvertClick() {
  try {
    logic_.Convert(FromQ(edtFile_->text()));
  } catch (const std::exception& e) {
    ui_.ShowError(e.what());
  }
}

}  // namespace quellor
