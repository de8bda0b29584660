#include "app/ui/FindDialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "app/ui/QtText.h"

namespace quellor {

TFindDialog::TFindDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("FindDialog1");
  setWindowTitle("Find");
  setModal(false);
  text_ = new QLineEdit(this);
  text_->setObjectName("FindText");
  auto* label = new QLabel("Fi&nd what:", this);
  label->setBuddy(text_);
  matchCase_ = new QCheckBox("Match &case", this);
  matchCase_->setObjectName("MatchCase");
  auto* direction = new QGroupBox("Direction", this);
  up_ = new QRadioButton("&Up", direction);
  up_->setObjectName("Up");
  down_ = new QRadioButton("&Down", direction);
  down_->setObjectName("Down");
  down_->setChecked(true);
  auto* dirRow = new QHBoxLayout(direction);
  dirRow->addWidget(up_);
  dirRow->addWidget(down_);
  auto* findNext = new QPushButton("&Find Next", this);
  findNext->setObjectName("FindNextButton");
  findNext->setDefault(true);
  auto* cancel = new QPushButton("Cancel", this);
  connect(findNext, &QPushButton::clicked, this, &TFindDialog::FindNext);
  connect(cancel, &QPushButton::clicked, this, &QDialog::hide);

  column_ = new QLabel(this);
  column_->setObjectName("FindColumn");
  SetColumn("Url");

  auto* grid = new QGridLayout(this);
  grid->addWidget(label, 0, 0);
  grid->addWidget(text_, 0, 1, 1, 2);
  grid->addWidget(findNext, 0, 3);
  grid->addWidget(column_, 1, 1, 1, 2);
  grid->addWidget(matchCase_, 2, 0, 1, 2);
  grid->addWidget(direction, 2, 2);
  grid->addWidget(cancel, 2, 3);
}

void TFindDialog::SetColumn(const QString& name) {
  column_->setText(name.isEmpty() ? QString("Searches no column (the grid is empty)")
                                  : "Searches the column: " + name);
}

TFindOptions TFindDialog::Options() const {
  TFindOptions o;
  o.text = FromQ(text_->text());
  o.down = down_->isChecked();
  o.matchCase = matchCase_->isChecked();
  return o;
}

void TFindDialog::SetText(const QString& text) {
  text_->setText(text);
}

}  // namespace quellor
