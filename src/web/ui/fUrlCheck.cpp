#include "web/ui/fUrlCheck.h"

#include <sys/stat.h>

#include <QAbstractItemView>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/DialogFolders.h"
#include "app/Include.h"
#include "app/Ui.h"
#include "app/ui/UiThread.h"
#include "platform/Files.h"
#include "web/LinkScan.h"
#include "web/ui/UrlCheckThread.h"

namespace quellor {

TfrmUrlCheck::TfrmUrlCheck(Ui& ui, QWidget* parent) : QDialog(parent), ui_(ui) {
  setObjectName("frmUrlCheck");
  setWindowTitle("Url Check");
  setSizeGripEnabled(true);

  edtUrl_ = new QLineEdit(this);
  edtUrl_->setObjectName("edtUrl");
  Button1_ = new QPushButton("...", this);
  Button1_->setObjectName("Button1");
  btnGo_ = new QPushButton("Go", this);
  btnGo_->setObjectName("btnGo");

  StringGrid1_ = new QTableWidget(1, 3, this);
  StringGrid1_->setObjectName("StringGrid1");
  StringGrid1_->setHorizontalHeaderLabels({"", "", ""});  // one fixed title row without titles
  StringGrid1_->verticalHeader()->setVisible(false);
  StringGrid1_->setSelectionMode(QAbstractItemView::ContiguousSelection);
  StringGrid1_->setEditTriggers(QAbstractItemView::DoubleClicked |
                                QAbstractItemView::EditKeyPressed |
                                QAbstractItemView::AnyKeyPressed);
  QHeaderView* header = StringGrid1_->horizontalHeader();
  header->setSectionResizeMode(0, QHeaderView::Stretch);
  header->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  header->setSectionResizeMode(2, QHeaderView::ResizeToContents);

  auto* top = new QHBoxLayout;
  top->addWidget(edtUrl_, 1);
  top->addWidget(Button1_);
  top->addWidget(btnGo_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(StringGrid1_, 1);
  resize(640, 400);

  target_ = std::make_shared<TUrlCheckTarget>(StringGrid1_);
  connect(Button1_, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(btnGo_, &QPushButton::clicked, this, [this] { btnGoClick(); });
  FormCreate();
}

TfrmUrlCheck::~TfrmUrlCheck() {
  // Workers still running drop their updates from now on (see UrlCheckThread.h).
  target_->Detach();
}

void TfrmUrlCheck::FormCreate() {
  initialDir_ = DialogFolder(kHtmlFiles);
  TUiHandOver::Install();
}

void TfrmUrlCheck::Button1Click() {
  std::optional<std::string> chosen = ui_.OpenFileDialog(
      "Open", {{"Html files", "*.htm;*.html"}, {"All files", "*.*"}}, initialDir_);
  if (chosen && !chosen->empty()) {
    dialogFileName_ = *chosen;
    RememberDialogFolder(kHtmlFiles, *chosen);
    initialDir_ = DialogFolder(kHtmlFiles);
  }
  if (!dialogFileName_.empty()) edtUrl_->setText(QString::fromLocal8Bit(dialogFileName_));

  const std::string fileName = edtUrl_->text().toLocal8Bit().toStdString();
  struct stat st {};
  if (fileName.empty() || ::stat(fileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  ListLinks(fileName);
}

void TfrmUrlCheck::ListLinks(const std::string& fileName) {
  std::string text;
  if (!ReadWholeFile(fileName, &text)) return;
  BusyCursor busy(ui_);
  int row = 0;  // the grid's row of data row 1
  for (const std::string& link : LinksOfText(text)) {
    if (row > 0) StringGrid1_->setRowCount(StringGrid1_->rowCount() + 1);
    QTableWidgetItem* item = StringGrid1_->item(row, 0);
    if (!item) {
      item = new QTableWidgetItem;
      StringGrid1_->setItem(row, 0, item);
    }
    item->setText(QString::fromLocal8Bit(link));
    ++row;
  }
}

void TfrmUrlCheck::btnGoClick() {
  for (int row = 1; row <= StringGrid1_->rowCount(); ++row) {
    QTableWidgetItem* item = StringGrid1_->item(row - 1, 0);
    std::string link = item ? item->text().toLocal8Bit().toStdString() : std::string();
    UrlCheck::Start(row, std::move(link), target_);
  }
}

void Urlcheck1Click(Ui& ui, QWidget* parent) {
  TfrmUrlCheck window(ui, parent);
  window.exec();
}

}  // namespace quellor
