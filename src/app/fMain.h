// TForm1: the main window. It carries the menus from which every command starts; each command
// runs through RunCommand, which shows any error in the standard error box and leaves the window
// usable.
#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>

#include "app/Company.h"

class QMenu;

namespace quellor {

class TConfig;
class QtUi;

class TForm1 : public QMainWindow {
  Q_OBJECT

 public:
  TForm1(TConfig& config, QtUi& ui, QWidget* parent = nullptr);
  ~TForm1() override;

  TCompanyMenu& CompanyMenu() { return companyMenu_; }

  // Runs one command; an error ends it and shows the standard error box.
  void RunCommand(const std::function<void()>& command);

 private:
  void FormCreate();
  void BuildMenus();
  void RebuildCompanyMenu();

  TConfig& config_;
  QtUi& ui_;
  TCompanyMenu companyMenu_;
  QMenu* companyMenuWidget_ = nullptr;
};

}  // namespace quellor
