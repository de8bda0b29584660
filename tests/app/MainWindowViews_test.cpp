// The view and kill commands through the main window, offscreen: View > Killed sites with the
// look of bnKilled, All sites, Filters with its dialog, Cracks table, Kill site from the keyboard
// with unsaved edits in the form, an empty view, closed tables, Options, and F1 in the Filters
// dialog.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <chrono>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "StoreTool.h"
#include "app/Config.h"
#include "app/Include.h"
#include "app/ui/QtUi.h"
#include "app/ui/Startup.h"
#include "app/ui/fMain.h"
#include "app/ui/fOptions.h"
#include "data/DataMod.h"
#include "data/DataSource.h"
#include "data/SiteViews.h"
#include "data/ui/DBControls.h"
#include "data/ui/DBGrid.h"
#include "data/ui/fFilters.h"
#include "support/RecordingQtUi.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

using namespace quellor;
using quellor::test::ReadFileBytes;
using quellor::test::RecordingQtUi;
using quellor::test::TempDir;
using quellor::test::WriteFileBytes;

namespace {

// Runs `act` on the modal dialog of type T once it is shown (by a command that runs exec()).
template <typename T>
void WhenShown(std::function<void(T&)> act) {
  QTimer::singleShot(0, [act] {
    auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
    if (!dialog) {
      ADD_FAILURE() << "no dialog";
      if (QWidget* w = QApplication::activeModalWidget()) w->close();
      return;
    }
    act(*dialog);
  });
}

void Press(QWidget& dialog, const char* button) {
  auto* b = dialog.findChild<QPushButton*>(button);
  ASSERT_NE(b, nullptr) << button;
  QTest::mouseClick(b, Qt::LeftButton);
}

class ViewsWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ostringstream out, err;
    ASSERT_EQ(RunStoreTool({"init", dir.path()}, out, err), 0) << err.str();
    {
      TStoreTable t;
      t.SetDatabaseName(dir.path());
      t.SetTableName("cracks.DAT");
      t.Open();
      struct Site {
        const char* url;
        bool killed, ipChanged;
        int priority;
      } sites[] = {{"http://a-live.test/", false, true, 2},
                   {"http://b-live.test/", false, false, 3},
                   {"http://c-killed.test/", true, true, 2},
                   {"http://d-killed.test/", true, false, 1}};
      for (const Site& s : sites) {
        t.Append();
        t.FieldByName("Url").SetAsString(s.url);
        t.FieldByName("Notes").SetAsString("stored");
        t.FieldByName("Killed").SetAsBoolean(s.killed);
        t.FieldByName("IPChanged").SetAsBoolean(s.ipChanged);
        t.FieldByName("Priority").SetAsInteger(s.priority);
        t.Post();
      }
    }
    startUp = std::make_unique<TStartUp>(ui);
    startUp->Run(dir.path());
    ASSERT_TRUE(ui.calls.empty()) << ui.calls.front();
    QApplication::setActiveWindow(&Form());
  }
  void TearDown() override { startUp.reset(); }

  TForm1& Form() { return startUp->Form(); }
  TDM& Dm() { return startUp->DataModule(); }
  QAction* Item(const char* name) {
    QAction* a = Form().MenuItem(name);
    EXPECT_NE(a, nullptr) << name;
    return a;
  }
  QToolButton* Killed() { return Form().findChild<QToolButton*>("bnKilled"); }
  std::set<std::string> GridUrls() {
    auto* grid = Form().findChild<TDBGrid*>("DBGrid1");
    std::set<std::string> urls;
    for (int r = 0; r < grid->model()->rowCount(); ++r)
      urls.insert(FromQ(grid->model()->data(grid->model()->index(r, 0)).toString()));
    return urls;
  }
  std::string StoredNotesAndKilled(const std::string& url) {
    TStoreTable t;
    t.SetDatabaseName(dir.path());
    t.SetTableName("cracks.DAT");
    t.Open();
    if (!t.FindKey({url})) return "missing";
    return t.FieldByName("Notes").AsString() + "|" +
           (t.FieldByName("Killed").AsBoolean() ? "killed" : "live");
  }

  TempDir dir;
  RecordingQtUi ui;
  std::unique_ptr<TStartUp> startUp;
};

}  // namespace

TEST_F(ViewsWindowTest, TheItemsAreEnabledWithTheirCaptionsAndShortcuts) {
  struct I {
    const char *name, *caption, *shortcut;
  } items[] = {{"Options1", "&Options", ""},
               {"Killedsites1", "&Killed sites", ""},
               {"Allsites1", "&All sites", ""},
               {"Crackstable1", "&Cracks table", ""},
               {"Filters1", "&Filters", ""},
               {"Killsite1", "&Kill site", "Ctrl+K"},
               {"Killsitedead1", "Kill site dead", "Ctrl+L"}};
  for (const I& i : items) {
    QAction* a = Item(i.name);
    EXPECT_TRUE(a->isEnabled()) << i.name;
    EXPECT_EQ(a->text(), i.caption);
    EXPECT_EQ(a->shortcut().toString(), i.shortcut);
  }
  EXPECT_TRUE(Item("Killedsites1")->isCheckable());
  EXPECT_FALSE(Item("Killedsites1")->isChecked());
  EXPECT_TRUE(Killed()->isEnabled());
  EXPECT_EQ(Killed()->toolTip(), "Toggle killed sites view");
  EXPECT_FALSE(Killed()->autoRaise());  // raised while the toggle is off
}

TEST_F(ViewsWindowTest, KilledSitesToggleFromMenuAndButtonAndAllSites) {
  EXPECT_EQ(GridUrls(), (std::set<std::string>{"http://a-live.test/", "http://b-live.test/"}));
  Item("Killedsites1")->trigger();
  EXPECT_TRUE(Item("Killedsites1")->isChecked());
  EXPECT_TRUE(Killed()->autoRaise());  // flat while on
  EXPECT_EQ(Dm().tblCracks.Filter(), "Killed = True");
  EXPECT_EQ(GridUrls(), (std::set<std::string>{"http://c-killed.test/", "http://d-killed.test/"}));
  QTest::mouseClick(Killed(), Qt::LeftButton);
  EXPECT_FALSE(Item("Killedsites1")->isChecked());
  EXPECT_FALSE(Killed()->autoRaise());
  EXPECT_EQ(Dm().tblCracks.Filter(), "Killed = False");
  QTest::mouseClick(Killed(), Qt::LeftButton);
  EXPECT_TRUE(Item("Killedsites1")->isChecked());

  // All sites applies the values as they are and removes the check mark; the button keeps its
  // look.
  Item("Allsites1")->trigger();
  EXPECT_FALSE(Item("Killedsites1")->isChecked());
  EXPECT_TRUE(Killed()->autoRaise());
  EXPECT_EQ(Dm().tblCracks.Filter(), "Killed = True");
  EXPECT_TRUE(ui.calls.empty());
}

TEST_F(ViewsWindowTest, AFailingToggleKeepsTheCheckMarkAndShowsTheError) {
  startUp->Config().PriorityFilter = "x";
  Item("Killedsites1")->trigger();
  ASSERT_EQ(ui.calls.size(), 1u);
  EXPECT_EQ(ui.calls[0].rfind("error: Store Engine Error # 10051 ", 0), 0u) << ui.calls[0];
  EXPECT_FALSE(Item("Killedsites1")->isChecked());
  EXPECT_FALSE(Killed()->autoRaise());
}

TEST_F(ViewsWindowTest, FiltersDialogSetsTheViewAndStartsFromItsDefaultsEachTime) {
  Item("Killedsites1")->trigger();  // check mark on, button flat
  WhenShown<TfrmFilters>([](TfrmFilters& d) {
    EXPECT_EQ(d.windowTitle(), "Filters");
    auto* ip = d.findChild<QCheckBox*>("cbIPChanged");
    auto* killed = d.findChild<QCheckBox*>("cbKilled");
    auto* rank = d.findChild<QLineEdit*>("edPriority");
    ASSERT_TRUE(ip && killed && rank);
    EXPECT_EQ(ip->text(), "IP Changed");
    EXPECT_EQ(killed->text(), "Killed");
    EXPECT_TRUE(ip->isTristate());
    EXPECT_TRUE(killed->isTristate());
    EXPECT_EQ(d.findChild<QLabel*>("Label1")->text(), "Rank:");
    EXPECT_EQ(ip->checkState(), Qt::PartiallyChecked);
    EXPECT_EQ(killed->checkState(), Qt::Unchecked);
    EXPECT_TRUE(d.findChild<QPushButton*>("OK")->isDefault());
    killed->setCheckState(Qt::PartiallyChecked);
    ip->setCheckState(Qt::Checked);
    QTest::keyClicks(rank, "2");
    Press(d, "OK");
  });
  Item("Filters1")->trigger();
  EXPECT_EQ(Dm().tblCracks.Filter(), "IPChanged = True And Priority = 2");
  EXPECT_EQ(GridUrls(), (std::set<std::string>{"http://a-live.test/", "http://c-killed.test/"}));
  // The dialog leaves the check mark and the button as they were.
  EXPECT_TRUE(Item("Killedsites1")->isChecked());
  EXPECT_TRUE(Killed()->autoRaise());

  // Shown again: the defaults, not the current values; Defaults resets what was changed;
  // Cancel changes nothing.
  WhenShown<TfrmFilters>([](TfrmFilters& d) {
    auto* ip = d.findChild<QCheckBox*>("cbIPChanged");
    auto* killed = d.findChild<QCheckBox*>("cbKilled");
    auto* rank = d.findChild<QLineEdit*>("edPriority");
    EXPECT_EQ(ip->checkState(), Qt::PartiallyChecked);
    EXPECT_EQ(killed->checkState(), Qt::Unchecked);
    EXPECT_TRUE(rank->text().isEmpty());
    killed->setCheckState(Qt::Checked);
    rank->setText("7");
    Press(d, "btnDefaults");
    EXPECT_EQ(killed->checkState(), Qt::Unchecked);
    EXPECT_TRUE(rank->text().isEmpty());
    killed->setCheckState(Qt::Checked);
    Press(d, "Cancel");
  });
  Item("Filters1")->trigger();
  EXPECT_EQ(Dm().tblCracks.Filter(), "IPChanged = True And Priority = 2");

  // Rank typed as a blank and 5, used unchanged; then a rank that is no number: the dialog says
  // so and stays open, and Cancel leaves the view as it was.
  WhenShown<TfrmFilters>([](TfrmFilters& d) {
    d.findChild<QLineEdit*>("edPriority")->setText(" 5");
    Press(d, "OK");
  });
  Item("Filters1")->trigger();
  EXPECT_EQ(Dm().tblCracks.Filter(), "Killed = False And Priority =  5");
  WhenShown<TfrmFilters>([this](TfrmFilters& d) {
    d.findChild<QLineEdit*>("edPriority")->setText("high");
    Press(d, "OK");
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(ui.calls, std::vector<std::string>{"error: 'high' is not a valid rank: type a whole "
                                                 "number from -32768 to 32767, or nothing"});
    Press(d, "Cancel");
  });
  Item("Filters1")->trigger();
  ASSERT_EQ(ui.calls.size(), 1u);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(Dm().tblCracks.Filter(), "Killed = False And Priority =  5");
}

TEST_F(ViewsWindowTest, KillSiteFromTheKeyboardStoresThePendingEditToo) {
  auto* url = Form().findChild<TDBEdit*>("DBEdit1");
  ASSERT_EQ(url->text(), "http://a-live.test/");
  auto* notes = Form().findChild<TDBEdit*>("DBEdit4");
  notes->setFocus();
  QTest::keyClick(notes, Qt::Key_End);
  QTest::keyClicks(notes, " and typed");
  EXPECT_EQ(Dm().tblCracks.State(), TDataSetState::Edit);
  QTest::keyClick(notes, Qt::Key_K, Qt::ControlModifier);
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.front();
  EXPECT_EQ(StoredNotesAndKilled("http://a-live.test/"), "stored and typed|killed");
  EXPECT_EQ(GridUrls(), std::set<std::string>{"http://b-live.test/"});
  EXPECT_EQ(url->text(), "http://b-live.test/");

  // Kill site dead with Ctrl+L: the last live site leaves the view; then the view is empty and
  // both commands are refused with a message.
  QTest::keyClick(notes, Qt::Key_L, Qt::ControlModifier);
  EXPECT_TRUE(GridUrls().empty());
  Item("Killsite1")->trigger();
  Item("Killsitedead1")->trigger();
  EXPECT_EQ(ui.calls, (std::vector<std::string>{std::string("message: ") + kNoSiteToKill,
                                                std::string("message: ") + kNoSiteToKill}));
  Item("Killedsites1")->trigger();
  EXPECT_EQ(GridUrls().size(), 4u);
}

TEST_F(ViewsWindowTest, CracksTableBindsTheGridAndTheNavigatorToTheSiteTableAgain) {
  // A query result in the grid is another dataset behind its own source.
  TStoreTable other;
  other.SetDatabaseName(dir.path());
  other.SetTableName("isps.DAT");
  other.Open();
  TDataSource source(&other);
  auto* grid = Form().findChild<TDBGrid*>("DBGrid1");
  auto* navigator = Form().findChild<TDBNavigator*>();
  ASSERT_NE(navigator, nullptr);
  grid->SetDataSource(&source);
  navigator->SetDataSource(&source);
  EXPECT_EQ(Form().GridDataSet(), &other);
  // The kill commands act on the site table even now.
  Item("Killsite1")->trigger();
  EXPECT_EQ(StoredNotesAndKilled("http://a-live.test/"), "stored|killed");
  Item("Crackstable1")->trigger();
  EXPECT_EQ(Form().GridDataSet(), &Dm().tblCracks);
  EXPECT_EQ(Form().NavigatorDataSet(), &Dm().tblCracks);
  EXPECT_EQ(GridUrls(), std::set<std::string>{"http://b-live.test/"});
  grid->SetDataSource(nullptr);  // before `source` goes
  Item("Crackstable1")->trigger();
}

TEST_F(ViewsWindowTest, OptionsOpensTheDialogModally) {
  WhenShown<TfrmOptions>([](TfrmOptions& d) {
    EXPECT_TRUE(d.isModal());
    EXPECT_EQ(d.windowTitle(), "Options");
    Press(d, "Cancel");
  });
  Item("Options1")->trigger();
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_TRUE(ui.calls.empty());
}

TEST(ViewsClosedTables, KillCommandsShowTheStoreErrorAndTheViewCommandsRunOn) {
  TempDir dir;
  RecordingQtUi ui;
  TStartUp startUp(ui);
  startUp.Run(dir.path());
  ui.calls.clear();
  startUp.Form().MenuItem("Killsite1")->trigger();
  startUp.Form().MenuItem("Killsitedead1")->trigger();
  EXPECT_EQ(ui.calls,
            (std::vector<std::string>{"error: Cannot perform this operation on a closed dataset",
                                      "error: Cannot perform this operation on a closed dataset"}));
  ui.calls.clear();
  startUp.Form().MenuItem("Killedsites1")->trigger();
  startUp.Form().MenuItem("Allsites1")->trigger();
  startUp.Form().MenuItem("Crackstable1")->trigger();
  EXPECT_TRUE(ui.calls.empty());
}

TEST(FiltersDialog, F1OpensHelpContext50) {
  TempDir dir, bin;
  SetProgramFolder(dir.path());
  std::string log = bin.file("opened.txt");
  WriteFileBytes(bin.file("xdg-open"), "#!/bin/sh\necho \"$1\" >> '" + log + "'\n");
  ASSERT_EQ(chmod(bin.file("xdg-open").c_str(), 0755), 0);
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (bin.path() + ":" + path).c_str(), 1);
  {
    RecordingQtUi ui;
    TfrmFilters dialog(ui);
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    QTest::keyClick(dialog.findChild<QLineEdit*>("edPriority"), Qt::Key_F1);
    quellor::test::WaitUntil([&] { return ReadFileBytes(log).ends_with("\n"); });
  }
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(ReadFileBytes(log), "file://" + dir.path() + "help/context-50.html\n");
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // Start-up names the program, after which the window keeps its state: keep it here.
  quellor::test::TempDir settings;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                     QString::fromStdString(settings.path()));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
