#include "data/ui/fFilters.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>

#include "app/Help.h"
#include "app/Ui.h"
#include "app/ui/QtUi.h"

namespace quellor {

namespace {

TCheckState StateOf(const QCheckBox* box) {
  switch (box->checkState()) {
    case Qt::Checked:
      return TCheckState::Checked;
    case Qt::PartiallyChecked:
      return TCheckState::Grayed;
    case Qt::Unchecked:
      break;
  }
  return TCheckState::Unchecked;
}

}  // namespace

TfrmFilters::TfrmFilters(Ui& ui, QWidget* parent) : QDialog(parent), ui_(ui) {
  setObjectName("frmFilters");
  setWindowTitle("Filters");
  setModal(true);
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

  cbIPChanged_ = new QCheckBox("IP Changed", this);
  cbIPChanged_->setObjectName("cbIPChanged");
  cbIPChanged_->setTristate(true);
  cbKilled_ = new QCheckBox("Killed", this);
  cbKilled_->setObjectName("cbKilled");
  cbKilled_->setTristate(true);
  auto* rank = new QLabel("Rank:", this);
  rank->setObjectName("Label1");
  edPriority_ = new QLineEdit(this);
  edPriority_->setObjectName("edPriority");
  edPriority_->setMaximumWidth(60);
  rank->setBuddy(edPriority_);

  auto* defaults = new QPushButton("Defaults", this);
  defaults->setObjectName("btnDefaults");
  defaults->setAutoDefault(false);
  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("OK");
  ok->setDefault(true);
  auto* cancel = new QPushButton("Cancel", this);
  cancel->setObjectName("Cancel");
  cancel->setAutoDefault(false);
  connect(defaults, &QPushButton::clicked, this, [this] { btnDefaultsClick(); });
  connect(ok, &QPushButton::clicked, this, [this] { OKClick(); });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);  // Esc rejects as well

  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(help, &QShortcut::activated, this, [this] { HelpContext(ui_, kHelpFilters); });

  auto* grid = new QGridLayout(this);
  grid->addWidget(cbIPChanged_, 0, 0, 1, 2);
  grid->addWidget(cbKilled_, 1, 0, 1, 2);
  grid->addWidget(rank, 2, 0);
  grid->addWidget(edPriority_, 2, 1, Qt::AlignLeft);
  auto* buttons = new QHBoxLayout();
  buttons->addWidget(defaults);
  buttons->addStretch(1);
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  grid->addLayout(buttons, 3, 0, 1, 2);
  grid->setSizeConstraint(QLayout::SetFixedSize);  // a fixed dialog border

  QWidget::setTabOrder(cbIPChanged_, cbKilled_);
  QWidget::setTabOrder(cbKilled_, edPriority_);
  QWidget::setTabOrder(edPriority_, defaults);
  QWidget::setTabOrder(defaults, ok);
  QWidget::setTabOrder(ok, cancel);
  btnDefaultsClick();
}

TFilterChoice TfrmFilters::Choice() const {
  TFilterChoice choice;
  choice.killed = StateOf(cbKilled_);
  choice.ipChanged = StateOf(cbIPChanged_);
  choice.priority = FromQ(edPriority_->text());
  return choice;
}

void TfrmFilters::OKClick() {
  std::string error = RankError(FromQ(edPriority_->text()));
  if (!error.empty()) {
    ui_.ShowError(error);
    edPriority_->setFocus(Qt::OtherFocusReason);
    edPriority_->selectAll();
    return;
  }
  accept();
}

void TfrmFilters::btnDefaultsClick() {
  cbIPChanged_->setCheckState(Qt::PartiallyChecked);
  cbKilled_->setCheckState(Qt::Unchecked);
  edPriority_->clear();
}

void TfrmFilters::showEvent(QShowEvent* event) {
  btnDefaultsClick();
  QDialog::showEvent(event);
}

}  // namespace quellor
