// TForm1: the main window. It shows the site table as a form or a grid, carries the menus and
// tool buttons from which every command starts, and keeps the status memo. Each command runs
// through RunCommand, which shows any error in the standard error box and leaves the window
// usable. Menu items are named after their caption plus "1" ("Killsite1"); controls carry the
// names the rest of the program and the tests use ("edHost", "DBEdit1", "bbtnMail").
#pragma once

#include <QMainWindow>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/Company.h"
#include "app/Find.h"

class QAction;
class QCheckBox;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QTabWidget;
class QToolButton;
class QWidget;

namespace quellor {

class TConfig;
class QtUi;
class TDataSource;
class TDBCheckBox;
class TDBEdit;
class TDBGrid;
class TDBMemo;
class TDBNavigator;
class TFindDialog;
class TStoreTable;
class TDM;

class TForm1 : public QMainWindow {
  Q_OBJECT

 public:
  TForm1(TConfig& config, QtUi& ui, QWidget* parent = nullptr);
  ~TForm1() override;

  TCompanyMenu& CompanyMenu() { return companyMenu_; }

  // Runs one command; an error ends it and shows the standard error box.
  void RunCommand(const std::function<void()>& command);

  // The notice buffer the notice commands compose, preview and send.
  std::vector<std::string> NoticeLines;
  // Appends one line to the status memo.
  void AddStatusLine(const std::string& line);

  // A menu item by its name ("Killsite1"); null when there is none.
  QAction* MenuItem(const std::string& name) const;

  // Binds the form controls, the grid and the navigator to the site table's data source (done
  // when the data module has been created).
  void AttachData(TDataSource* dsCracks);
  // The dataset the navigator is bound to, and the grid's; null while there is none.
  TStoreTable* NavigatorDataSet() const;
  TStoreTable* GridDataSet() const;
  TFindDialog* FindDialog() const { return findDialog_; }
  // The data module whose query the exports and SQL files use (null: those do nothing).
  void SetDataModule(TDM* dm) { dm_ = dm; }

  // Commands.
  void FindFirst1Click();
  void FindDialog1Find();
  void Next1Click();
  void Prev1Click();
  void CancelEdit();
  void OpenCurrentUrl();
  void edHostClick();
  void ImportCSVfile1Click();
  void ImportHtmlfile1Click();
  // The exports, the SQL files and Cracks table (fMainExports.cpp).
  void Exportkilledsites1Click();
  void ExporttoHTML1Click();
  void ExporttoCSV1Click();
  void NewSQLfile1Click();
  void EditSQLfile1Click();
  void OpenSQLfile1Click();
  void Crackstable1Click();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FormCreate();
  void BuildToolStrip();
  void BuildPages();
  void BuildFormPage(QWidget* page);
  void DBEdit1Change();
  void BuildMenus();
  void RebuildCompanyMenu();
  QAction* AddItem(QMenu* menu, const char* caption, const char* shortcut = nullptr);
  void ToggleFormView();
  void ShowAbout();
  void WireExportCommands();

  TConfig& config_;
  QtUi& ui_;
  TCompanyMenu companyMenu_;
  QMenu* companyMenuWidget_ = nullptr;
  std::map<std::string, QAction*> items_;

  QTabWidget* pages_ = nullptr;
  QPlainTextEdit* displayMemo_ = nullptr;
  QLineEdit* edHost_ = nullptr;
  std::vector<TDBEdit*> edits_;
  std::vector<TDBCheckBox*> checks_;
  TDBMemo* memo_ = nullptr;
  TDBGrid* grid_ = nullptr;
  TDBNavigator* navigator_ = nullptr;
  TFindDialog* findDialog_ = nullptr;
  TFinder finder_;
  TDataSource* dsCracks_ = nullptr;  // the site table's source, for the commands on the table
  TDM* dm_ = nullptr;
};

}  // namespace quellor
