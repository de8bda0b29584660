// TForm1: the main window. It shows the site table as a form or a grid, carries the menus and
// tool buttons from which every command starts, and keeps the status memo. Each command runs
// through RunCommand, which shows any error in the standard error box and leaves the window
// usable. Menu items are named after their caption plus "1" ("Killsite1"); controls carry the
// names the rest of the program and the tests use ("edHost", "DBEdit1", "bbtnMail").
#pragma once

#include <QMainWindow>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/Company.h"
#include "app/Find.h"
#include "app/ui/QtUi.h"
#include "notices/NoticeDispatch.h"

class QAction;
class QByteArray;
class QCheckBox;
class QCloseEvent;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QTabWidget;
class QTimer;
class QToolButton;
class QWidget;

namespace quellor {

class TConfig;
class TDM;
class THostResolver;
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
  // The notice commands (their mail message Msg and SMTP client SMTP are below).
  TNoticeDispatcher& Notices() { return notices_; }
  // The SMTP client's status handler: each text becomes a line of the status memo.
  void SMTPStatus(const std::string& text) { AddStatusLine(text); }

  // A menu item by its name ("Killsite1"); null when there is none.
  QAction* MenuItem(const std::string& name) const;

  // Binds the form controls, the grid and the navigator to the site table's data source (done
  // when the data module has been created). The dataset the source holds then is the site
  // table, which the DMCA commands and the subject of a complaint read.
  void AttachData(TDataSource* dsCracks);
  TStoreTable* SiteTable() const { return siteTable_; }
  // The host resolver of "Get IP" and "Check IPs" (the system's unless a test sets another).
  void SetResolver(std::shared_ptr<THostResolver> resolver);
  // The dataset the navigator is bound to, and the grid's; null while there is none.
  TStoreTable* NavigatorDataSet() const;
  TStoreTable* GridDataSet() const;
  TFindDialog* FindDialog() const { return findDialog_; }
  // The data module whose tables and query the view, kill, lookup, export and SQL file commands
  // work on (null: those do nothing).
  void SetDataModule(TDM* dm) {
    dm_ = dm;
    UpdateTableNotice();
  }

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
  // The View and Edit commands that change the view and mark sites (fMainViews.cpp).
  void Options1Click();
  void Killedsites1Click();
  void Allsites1Click();
  void Crackstable1Click();
  void Filters1Click();
  void Killsite1Click();
  void Killsitedead1Click();
  void GetIP1Click();
  void CheckIPs1Click();
  void GetEmails1Click();
  void SaveISP1Click();
  // The exports, the SQL files and Cracks table (fMainExports.cpp).
  void Exportkilledsites1Click();
  void ExporttoHTML1Click();
  void ExporttoCSV1Click();
  void NewSQLfile1Click();
  void EditSQLfile1Click();
  void OpenSQLfile1Click();

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
  void WireViewCommands();
  // Draws bnKilled flat while the killed-sites view is on, raised otherwise.
  void SetKilledLook(bool on);
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
  TStoreTable* siteTable_ = nullptr;
  void WireNoticeCommands();

 public:
  // The mail message and the SMTP client of the notice commands (after ui_, which they use).
  TMailMessage Msg;
  TSMTPClient SMTP{ui_};

 private:
  TNoticeDispatcher notices_{config_, ui_, NoticeLines, Msg, SMTP};
  TDM* dm_ = nullptr;
  std::shared_ptr<THostResolver> resolver_;

  // The table notice, the status bar, the window keys and the state kept across starts
  // (fMainStatus.cpp).
 public:
  // The note above the pages about missing, closed or read-only tables (hidden when empty).
  void UpdateTableNotice();
  // "site n of N" in the current view and the modified mark, brought up to date at once.
  void UpdateStatusBar();
  // The window's size and position and its page, in the person's own settings (QSettings with
  // the organisation and application names the program sets; nothing is kept without them).
  void SaveWindowState() const;
  void RestoreWindowState();
  // The grid's column widths and order, as its header's state, and back.
  QByteArray GridColumnsState() const;
  bool RestoreGridColumns(const QByteArray& state);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  class TStatusLink;
  struct TStatusLinkDeleter {
    void operator()(TStatusLink* link) const;
  };
  void BuildStatusBar();
  void BuildWindowKeys();
  void ScheduleStatusUpdate();
  void FindNextKey();
  void AttachStatus(TDataSource* dsCracks);
  std::unique_ptr<TStatusLink, TStatusLinkDeleter> statusLink_;
  QLabel* tableNotice_ = nullptr;
  QLabel* statusPosition_ = nullptr;
  QLabel* statusModified_ = nullptr;
  QTimer* statusTimer_ = nullptr;  // the position is counted once the moving has paused
};

}  // namespace quellor
