// The main window under the offscreen platform: title and Company submenu, found by objectName.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>

#include "app/Config.h"
#include "app/Help.h"
#include "app/Include.h"
#include "app/ui/About.h"
#include "app/ui/QtUi.h"
#include "app/ui/fMain.h"
#include "platform/Locale.h"
#include "support/TempDir.h"

using namespace quellor;
using quellor::test::TempDir;
using quellor::test::WriteFileBytes;

namespace {

QStringList Captions(QMenu* menu) {
  QStringList out;
  for (QAction* a : menu->actions()) out << a->text() + (a->isChecked() ? "*" : "");
  return out;
}

}  // namespace

TEST(MainWindow, TitleAndCompanySubmenu) {
  TempDir dir;
  SetProgramFolder(dir.path());
  WriteFileBytes(dir.file("Quellor.Ini"), "[Defaults]\nLastCompany=\n");
  WriteFileBytes(dir.file("QuellorAcme.ini"), "[Mail]\nPort=2600\n");
  TConfig config;
  config.ReadLastCompany();
  config.ReadSettings();
  QtUi ui;
  TForm1 form(config, ui);
  EXPECT_EQ(form.windowTitle(), "Quellor - default");

  QMenu* company = form.findChild<QMenu*>("Company1");
  ASSERT_NE(company, nullptr);
  EXPECT_EQ(company->title(), "Com&pany");
  EXPECT_EQ(Captions(company), (QStringList{"&New company", "&Default*", "Acme"}));
  QAction* close = form.findChild<QAction*>("Close1");
  ASSERT_NE(close, nullptr);
  EXPECT_EQ(close->text(), "&Close");

  company->actions()[2]->trigger();
  EXPECT_EQ(form.windowTitle(), "Quellor - Acme");
  EXPECT_EQ(config.Port, 2600);
  company = form.findChild<QMenu*>("Company1");
  EXPECT_EQ(Captions(company), (QStringList{"&New company", "&Default", "Acme*"}));

  form.findChild<QAction*>("Default1")->trigger();
  EXPECT_EQ(form.windowTitle(), "Quellor - default");
  EXPECT_EQ(Captions(company), (QStringList{"&New company", "&Default*", "Acme"}));

  form.show();
  close->trigger();
  EXPECT_FALSE(form.isVisible());
}

TEST(MainWindow, MenusCarryTheirCaptionsShortcutsAndHiddenItems) {
  TempDir dir;
  SetProgramFolder(dir.path());
  TConfig config;
  QtUi ui;
  TForm1 form(config, ui);
  struct Item {
    const char *name, *caption, *shortcut;
    bool visible;
  } items[] = {
      {"ExporttoHTML1", "Export to HTML", "", true},
      {"ImportCSVfile1", "&Import CSV file", "", true},
      {"Delete1", "&Delete", "Ctrl+Del", true},
      {"Killsite1", "&Kill site", "Ctrl+K", true},
      {"Killsitedead1", "Kill site dead", "Ctrl+L", true},
      {"FindFirst1", "Find &First", "Ctrl+F", true},
      {"FindNext1", "Find &Next", "F3", false},
      {"Next1", "&Next", "Ctrl+N", true},
      {"Prev1", "&Prev", "Ctrl+P", true},
      {"ToggleFormView1", "Toggle Form &View", "Ctrl+D", true},
      {"Urlcheck1", "&Url check", "", false},
      {"SendComplaintMail1", "Send Complaint &Mail", "Ctrl+M", true},
      {"GetIP1", "Get IP", "Ctrl+I", true},
      {"GetEmails1", "Get Emails", "Ctrl+E", true},
      {"SaveISP1", "&Save ISP", "Ctrl+S", true},
      {"CheckforUpdate1", "Check for &Update", "", false},
      {"Contents1", "&Contents", "F1", true},
      {"Keywordsearch1", "&Keyword search", "", true},
      {"About1", "About", "", true},
      {"Close1", "&Close", "Ctrl+Q", true},
  };
  for (const auto& i : items) {
    QAction* a = form.MenuItem(i.name);
    ASSERT_NE(a, nullptr) << i.name;
    EXPECT_EQ(a->text(), i.caption);
    EXPECT_EQ(a->shortcut().toString(), i.shortcut) << i.name;
    EXPECT_EQ(a->isVisible(), i.visible) << i.name;
  }
  QStringList menus;
  // The separator: a menu bar separator, or (where the style draws none) a disabled item "N1".
  for (QAction* a : form.menuBar()->actions())
    menus << (a->isSeparator() || a->objectName() == "N1" ? "-" : a->text());
  EXPECT_EQ(menus, (QStringList{"&File", "&Edit", "&Navigate", "&View", "&Tools", "-", "&Help"}));

  // Ctrl+Del does nothing; Toggle Form View flips the page.
  auto* pages = form.findChild<QTabWidget*>("PageControl1");
  ASSERT_NE(pages, nullptr);
  EXPECT_EQ(pages->tabText(0), "Form");
  EXPECT_EQ(pages->tabText(1), "Detail");
  form.MenuItem("Delete1")->trigger();
  EXPECT_EQ(pages->currentIndex(), 0);
  form.MenuItem("ToggleFormView1")->trigger();
  EXPECT_EQ(pages->currentIndex(), 1);
  form.MenuItem("ToggleFormView1")->trigger();
  EXPECT_EQ(pages->currentIndex(), 0);

  for (const char* name : {"bbtnMail", "sbtnFindFirst", "SpeedButton1", "bnKilled"})
    EXPECT_NE(form.findChild<QToolButton*>(name), nullptr) << name;
  EXPECT_EQ(form.findChild<QToolButton*>("bbtnMail")->toolTip(), "Send Complaint Mail");
  auto* memo = form.findChild<QPlainTextEdit*>("DisplayMemo");
  ASSERT_NE(memo, nullptr);
  EXPECT_TRUE(memo->isReadOnly());
  form.AddStatusLine("Connecting to smtp");
  EXPECT_EQ(memo->toPlainText(), "Connecting to smtp");
}

TEST(MainWindow, AboutBoxTexts) {
  // The build line follows the user's decimal separator.
  struct Case {
    char decimalSeparator;
    const char* build;
  };
  for (const Case& c : {Case{'.', "Build 1.200"}, Case{',', "Build 1,200"}}) {
    LocaleInfo locale;
    locale.decimalSeparator = c.decimalSeparator;
    Locale::Override(locale);
    QtUi ui;
    TAboutBox box(ui);
    Locale::Override(std::nullopt);
    EXPECT_EQ(box.windowTitle(), "About Quellor");
    auto text = [&box](const char* name) {
      auto* l = box.findChild<QLabel*>(name);
      return l ? l->text() : QString("<missing>");
    };
    EXPECT_EQ(text("Version"), "Version 1.20");
    EXPECT_EQ(text("Build"), c.build);
    EXPECT_TRUE(text("ProductName").startsWith("Quellor"));
    auto* ok = box.findChild<QPushButton*>("OKButton");
    ASSERT_NE(ok, nullptr);
    EXPECT_TRUE(ok->isDefault());
  }
}

TEST(Help, PagesForContentsKeywordsAndContextsAreShipped) {
  SetProgramFolder(QUELLOR_PROGRAM_DIR "/");
  for (int context : {0, -1, kHelpMainWindow, kHelpOptions, kHelpFilters}) {
    std::string page = HelpPage(context);
    EXPECT_FALSE(quellor::test::ReadFileBytes(page).empty()) << page;
  }
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
