#include "app/fMain.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <exception>

#include "app/Config.h"
#include "app/QtUi.h"

namespace quellor {

TForm1::TForm1(TConfig& config, QtUi& ui, QWidget* parent)
    : QMainWindow(parent), config_(config), ui_(ui), companyMenu_(config, ui) {
  setObjectName("Form1");
  resize(714, 457);
  QFont f("Arial");
  f.setPixelSize(11);
  setFont(f);
  BuildMenus();
  companyMenu_.OnChange = [this] { RebuildCompanyMenu(); };
  RunCommand([this] { FormCreate(); });
}

TForm1::~TForm1() {
  companyMenu_.OnChange = nullptr;
}

void TForm1::RunCommand(const std::function<void()>& command) {
  try {
    command();
  } catch (const std::exception& e) {
    ui_.ShowError(e.what());
  } catch (...) {
    ui_.ShowError("Unknown error");
  }
}

void TForm1::FormCreate() {
  companyMenu_.Build();
}

void TForm1::BuildMenus() {
  QMenu* file = menuBar()->addMenu("&File");
  file->setObjectName("File1");
  companyMenuWidget_ = file->addMenu("Com&pany");
  companyMenuWidget_->setObjectName("Company1");
  companyMenuWidget_->menuAction()->setObjectName("Company1");
  file->addSeparator();
  QAction* close = file->addAction("&Close");
  close->setObjectName("Close1");
  connect(close, &QAction::triggered, this, &QWidget::close);
}

void TForm1::RebuildCompanyMenu() {
  setWindowTitle(ToQ(companyMenu_.Title()));
  companyMenuWidget_->clear();
  const auto& items = companyMenu_.Items();
  for (size_t i = 0; i < items.size(); ++i) {
    int index = static_cast<int>(i);
    QAction* action = companyMenuWidget_->addAction(ToQ(items[i].caption));
    if (index == TCompanyMenu::kNewCompany) {
      action->setObjectName("Newcompany1");
      connect(action, &QAction::triggered, this,
              [this] { RunCommand([this] { companyMenu_.NewCompany(); }); });
      continue;
    }
    action->setCheckable(true);
    action->setChecked(items[i].checked);
    if (index == TCompanyMenu::kDefault) {
      action->setObjectName("Default1");
      connect(action, &QAction::triggered, this,
              [this] { RunCommand([this] { companyMenu_.Default(); }); });
    } else {
      action->setObjectName(QString("Company%1").arg(index - TCompanyMenu::kFirstCompany + 2));
      connect(action, &QAction::triggered, this,
              [this, index] { RunCommand([this, index] { companyMenu_.Choose(index); }); });
    }
  }
}

}  // namespace quellor
