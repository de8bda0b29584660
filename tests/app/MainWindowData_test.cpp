// The main window on a real site table, offscreen: Domain box, Esc, shortcuts, Find, grid.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTabWidget>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <chrono>
#include <sstream>

#include "app/Config.h"
#include "app/Find.h"
#include "app/Help.h"
#include "app/Include.h"
#include "app/TableNotice.h"
#include "app/ui/FindDialog.h"
#include "app/ui/QtUi.h"
#include "app/ui/Startup.h"
#include "app/ui/fMain.h"
#include "data/DataSource.h"
#include "data/SiteTables.h"
#include "data/ui/DBControls.h"
#include "data/ui/DBGrid.h"
#include "store/api/StoreTb.h"
#include "support/RecordingQtUi.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

using namespace quellor;
using quellor::test::RecordingQtUi;
using quellor::test::TempDir;

namespace {

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramFolder(dir.path());
    table.SetDatabaseName(dir.path());
    table.SetTableName("cracks.DAT");
    table.FieldDefs().Add("Url", TFieldType::String, 125);
    table.FieldDefs().Add("E-mails", TFieldType::String, 200);
    table.FieldDefs().Add("Notes", TFieldType::String, 50);
    table.FieldDefs().Add("Killed", TFieldType::Boolean);
    table.FieldDefs().Add("Priority", TFieldType::SmallInt);
    table.FieldDefs().Add("DMCAUrls", TFieldType::Blob);
    table.CreateTable();
    table.Open();
    for (const char* url : {"http://www.crackz.test:8080/path/x", "http://abc.test/",
                            "http://serialz.test/", "http://xabcx.test/"}) {
      table.Append();
      table.FieldByName("Url").SetAsString(url);
      table.FieldByName("Notes").SetAsString("stored");
      table.Post();
    }
    table.First();
    form = std::make_unique<TForm1>(config, ui);
    ds.SetDataSet(&table);
    form->AttachData(&ds);
    form->show();
    QApplication::setActiveWindow(form.get());
  }
  void TearDown() override {
    form.reset();
    ds.SetDataSet(nullptr);
  }
  template <typename T>
  T* Find(const char* name) {
    T* w = form->findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }

  TempDir dir;
  TStoreTable table;
  TDataSource ds;
  TConfig config;
  RecordingQtUi ui;
  std::unique_ptr<TForm1> form;
};

}  // namespace

TEST_F(WindowTest, DomainBoxShowsTheHostAndCopiesItOnClick) {
  auto* host = Find<QLineEdit>("edHost");
  EXPECT_EQ(host->text(), "www.crackz.test");
  table.Next();
  EXPECT_EQ(host->text(), "abc.test");
  QTest::mouseClick(host, Qt::LeftButton);
  ASSERT_FALSE(ui.calls.empty());
  EXPECT_EQ(ui.calls.back(), "clipboard: abc.test");
  EXPECT_EQ(host->selectedText(), "abc.test");
}

TEST_F(WindowTest, EscDiscardsAnEditOfTheNotesBox) {
  auto* notes = Find<TDBEdit>("DBEdit4");
  notes->setFocus();
  QTest::keyClick(notes, Qt::Key_End);
  QTest::keyClicks(notes, " and changed");
  EXPECT_EQ(table.State(), TDataSetState::Edit);
  QTest::keyClick(notes, Qt::Key_Escape);
  EXPECT_EQ(table.State(), TDataSetState::Browse);
  EXPECT_EQ(notes->text(), "stored");
  table.Next();
  table.Prior();
  EXPECT_EQ(table.FieldByName("Notes").AsString(), "stored");
}

TEST_F(WindowTest, CtrlDelDoesNothingAndMenuShortcutsWinOverTheBoxes) {
  auto* notes = Find<TDBEdit>("DBEdit4");
  notes->setFocus();
  QTest::keyClick(notes, Qt::Key_Home);
  QTest::keyClick(notes, Qt::Key_Delete, Qt::ControlModifier);
  EXPECT_EQ(notes->text(), "stored");
  EXPECT_EQ(table.RecordCount(), 4);
  EXPECT_EQ(table.State(), TDataSetState::Browse);

  // Ctrl+N is Navigate > Next, even with the focus in a box.
  QTest::keyClick(notes, Qt::Key_N, Qt::ControlModifier);
  EXPECT_EQ(table.FieldByName("Url").AsString(), "http://abc.test/");
  QTest::keyClick(notes, Qt::Key_P, Qt::ControlModifier);
  EXPECT_EQ(table.FieldByName("Url").AsString(), "http://www.crackz.test:8080/path/x");
}

TEST_F(WindowTest, FindThroughTheDialog) {
  table.Last();
  form->MenuItem("FindFirst1")->trigger();
  TFindDialog* dialog = form->FindDialog();
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(table.FieldByName("Url").AsString(), "http://www.crackz.test:8080/path/x");
  dialog->SetText("ABC");
  emit dialog->FindNext();
  EXPECT_EQ(table.FieldByName("Url").AsString(), "http://abc.test/");
  emit dialog->FindNext();
  EXPECT_EQ(table.FieldByName("Url").AsString(), "http://xabcx.test/");
  emit dialog->FindNext();
  EXPECT_EQ(table.FieldByName("Url").AsString(), "http://xabcx.test/");
  ASSERT_FALSE(ui.calls.empty());
  EXPECT_EQ(ui.calls.back(), "message: No matches found");

  // Up right after Find First: nothing is compared.
  ui.calls.clear();
  form->MenuItem("FindFirst1")->trigger();
  dialog->findChild<QRadioButton*>("Up")->setChecked(true);
  dialog->SetText("crackz");
  emit dialog->FindNext();
  EXPECT_EQ(ui.calls, std::vector<std::string>{"message: No matches found"});
  EXPECT_EQ(table.FieldByName("Url").AsString(), "http://www.crackz.test:8080/path/x");
}

TEST_F(WindowTest, FindRunsOverTheSelectedColumnFromTheCurrentRecord) {
  const char* notes[] = {"alpha", "beta one", "gamma", "two beta"};
  table.First();
  for (const char* n : notes) {
    table.Edit();
    table.FieldByName("Notes").SetAsString(n);
    table.Post();
    table.Next();
  }
  table.First();
  auto* grid = Find<TDBGrid>("DBGrid1");
  grid->setCurrentIndex(grid->model()->index(0, 2));
  ASSERT_EQ(grid->SelectedIndex(), 2);
  QTest::keyClick(grid, Qt::Key_F, Qt::ControlModifier);
  TFindDialog* dialog = form->FindDialog();
  ASSERT_TRUE(dialog->isVisible());
  EXPECT_EQ(grid->SelectedIndex(), 2);
  dialog->SetText("beta");
  emit dialog->FindNext();
  EXPECT_EQ(table.FieldByName("Notes").AsString(), "beta one");
  EXPECT_EQ(grid->SelectedIndex(), 2);
  emit dialog->FindNext();
  EXPECT_EQ(table.FieldByName("Notes").AsString(), "two beta");
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.back();

  // A click on another row: the next search starts there, in the same column.
  QRect cell = grid->visualRect(grid->model()->index(2, 2));
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_EQ(table.FieldByName("Notes").AsString(), "gamma");
  EXPECT_EQ(grid->SelectedIndex(), 2);
  emit dialog->FindNext();
  EXPECT_EQ(table.FieldByName("Notes").AsString(), "two beta");
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.back();
}

TEST_F(WindowTest, GridShowsTheSitesAndAFailedPostKeepsTheEdit) {
  auto* grid = Find<TDBGrid>("DBGrid1");
  EXPECT_EQ(grid->model()->rowCount(), 4);
  EXPECT_EQ(grid->model()->data(grid->model()->index(2, 0)).toString(), "http://serialz.test/");

  auto* priority = Find<TDBEdit>("DBEdit8");
  priority->setFocus();
  QTest::keyClicks(priority, "q9");  // the box takes digits only
  EXPECT_EQ(priority->text(), "9");
  QTest::keyClicks(priority, "9999");  // digits, but past the small whole number's range
  form->MenuItem("Next1")->trigger();  // moving posts; the value does not convert
  ASSERT_FALSE(ui.calls.empty());
  EXPECT_EQ(ui.calls.back().rfind("error: ", 0), 0u) << ui.calls.back();
  EXPECT_EQ(table.State(), TDataSetState::Edit);
  EXPECT_EQ(priority->text(), "99999");
  EXPECT_EQ(table.FieldByName("Url").AsString(), "http://www.crackz.test:8080/path/x");
}

TEST_F(WindowTest, DetailGridSortsByItsHeaderAndCtrlEndGoesToTheLastSite) {
  auto* grid = Find<TDBGrid>("DBGrid1");
  form->MenuItem("ToggleFormView1")->trigger();
  table.First();
  table.Next();  // http://abc.test/
  QHeaderView* header = grid->horizontalHeader();
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                    QPoint(header->sectionViewportPosition(0) + 5, header->height() / 2));
  EXPECT_TRUE(header->isSortIndicatorShown());
  std::vector<QString> urls;
  for (int r = 0; r < 4; ++r) urls.push_back(grid->model()->index(r, 0).data().toString());
  std::vector<QString> expected = {"http://abc.test/", "http://serialz.test/",
                                   "http://www.crackz.test:8080/path/x", "http://xabcx.test/"};
  EXPECT_EQ(urls, expected);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                    QPoint(header->sectionViewportPosition(0) + 5, header->height() / 2));
  EXPECT_EQ(grid->model()->index(0, 0).data().toString(), "http://xabcx.test/");
  EXPECT_EQ(table.FieldByName("Url").AsString(), "http://abc.test/");
  EXPECT_EQ(grid->currentIndex().row(), 3);

  grid->setFocus();
  QTest::keyClick(grid, Qt::Key_Home, Qt::ControlModifier);
  EXPECT_EQ(table.FieldByName("Url").AsString(), "http://xabcx.test/");
  QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(table.FieldByName("Url").AsString(), "http://abc.test/");
  EXPECT_TRUE(grid->selectionModel()->isRowSelected(3, {}));
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.back();
}

// A find step over many sites whose records read slowly: after a second the Qt progress
// window is up, the window keeps handling its timers, and Cancel there ends the step on the site
// it began on, without a message.
TEST(FindProgress, TheProgressWindowShowsAfterASecondAndCancelStopsTheSearch) {
  TempDir dir;
  TStoreTable table;
  table.SetDatabaseName(dir.path());
  table.SetTableName("slow.DAT");
  table.FieldDefs().Add("Url", TFieldType::String, 60);
  table.CreateTable();
  table.Open();
  for (int i = 0; i < 8000; ++i) {
    table.Append();
    table.FieldByName("Url").SetAsString("http://site" + std::to_string(i) + ".test/");
    table.Post();
  }
  table.First();
  table.Next();
  RecordingQtUi ui;
  TFinder finder;
  auto start = TFinder::Clock::now();
  finder.SetClock([] {
    // Each chunk of records really takes 40 ms: the finder's clock and the progress window's own
    // delay both measure the time that passes.
    QThread::msleep(40);
    return TFinder::Clock::now();
  });
  double shownAfter = -1;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget());
    if (!dialog || dialog->objectName() != "ProgressDialog" || shownAfter >= 0) return;
    shownAfter = std::chrono::duration<double>(TFinder::Clock::now() - start).count();
    dialog->findChild<QPushButton*>()->click();
  });
  poll.start(20);
  EXPECT_FALSE(finder.SearchStep(table, 0, {"no such text", true, false}, ui));
  EXPECT_TRUE(finder.Cancelled());  // the window came up while the step ran
  EXPECT_GE(shownAfter, 0.9);       // the finder's half second, then the window's own
  EXPECT_EQ(table.FieldByName("Url").AsString(), "http://site1.test/");
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.back();
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST(StartUp, MissingTablesShowTheErrorThenAUsableWindow) {
  TempDir dir;
  RecordingQtUi ui;
  TStartUp startUp(ui);
  startUp.Run(dir.path());
  EXPECT_EQ(ui.calls, (std::vector<std::string>{
                          "message: Store Engine Error # 11010 Invalid path or file name for "
                          "table 'cracks.DAT'",
                          "error: Store Engine Error # 11010 Invalid path or file name for table "
                          "'isps.DAT'"}));
  TForm1& form = startUp.Form();
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(form.windowTitle(), "Quellor - default");
  ui.calls.clear();
  for (const char* item : {"Next1", "Prev1", "FindFirst1", "ToggleFormView1", "Delete1"})
    form.MenuItem(item)->trigger();
  EXPECT_TRUE(ui.calls.empty());
  EXPECT_FALSE(form.findChild<TDBEdit*>("DBEdit1")->isEnabled());
  // The window says why everything is greyed.
  auto* notice = form.findChild<QLabel*>("TableNotice");
  ASSERT_NE(notice, nullptr);
  EXPECT_TRUE(notice->isVisible());
  EXPECT_EQ(notice->text().toStdString(), std::string(kSiteTableMissing) + "\n" + kIspTableMissing);
  EXPECT_EQ(notice->text().toStdString(),
            "The site table is missing \u2014 create it with storetool init\n"
            "The ISP table is missing \u2014 create it with storetool init");
  auto* nav = form.findChild<TDBNavigator*>("DBNavigator1");
  EXPECT_FALSE(nav->ButtonWidget(TDBNavigator::nbInsert)->isEnabled());
}

TEST(StartUp, ReadyProgramFolderOpensWithTheDefaultView) {
  TempDir dir;
  CreateProgramTables(dir.path());
  {
    TStoreTable t;
    t.SetDatabaseName(dir.path());
    t.SetTableName("cracks.DAT");
    t.Open();
    for (int killed : {0, 1}) {
      t.Append();
      t.FieldByName("Url").SetAsString(killed ? "http://killed.test/" : "http://live.test/a");
      t.FieldByName("Killed").SetAsBoolean(killed == 1);
      t.Post();
    }
  }
  RecordingQtUi ui;
  TStartUp startUp(ui);
  startUp.Run(dir.path());
  EXPECT_TRUE(ui.calls.empty());
  TForm1& form = startUp.Form();
  EXPECT_EQ(form.findChild<TDBEdit*>("DBEdit1")->text(), "http://live.test/a");
  EXPECT_EQ(form.findChild<QLineEdit*>("edHost")->text(), "live.test");
  EXPECT_EQ(form.findChild<TDBGrid*>("DBGrid1")->model()->rowCount(), 1);
}

// Whether the status bar comes to show `expected` once it has counted the position after the
// last move; the window's events are served meanwhile.
::testing::AssertionResult SettlesOn(QLabel* label, const QString& expected) {
  if (quellor::test::WaitUntilServing([&] { return label->text() == expected; },
                                      [] { QCoreApplication::processEvents(); }))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "it shows \"" << label->text().toStdString()
                                       << "\", not \"" << expected.toStdString() << "\"";
}

// The Url launcher of a test: records the addresses and fails (no browser).
class NoBrowser {
 public:
  NoBrowser() {
    SetUrlLauncher([this](const std::string& address) {
      addresses.push_back(address);
      return false;
    });
  }
  ~NoBrowser() { SetUrlLauncher(nullptr); }
  std::vector<std::string> addresses;
};

TEST_F(WindowTest, WithoutABrowserHelpAndUrlDoubleClicksSaySo) {
  NoBrowser browser;
  const std::string noBrowser = "box: Launch Error|Could not start your Internet browser";
  QTest::keyClick(form.get(), Qt::Key_F1);
  ASSERT_EQ(browser.addresses.size(), 1u);
  EXPECT_EQ(browser.addresses[0], "file://" + HelpPage(0));
  EXPECT_EQ(ui.calls, (std::vector<std::string>{noBrowser}));

  // A Url without a scheme opens as http.
  table.Edit();
  table.FieldByName("Url").SetAsString("cracks-example.test/warez");
  table.Post();
  QTest::mouseDClick(Find<TDBEdit>("DBEdit1"), Qt::LeftButton);
  ASSERT_EQ(browser.addresses.size(), 2u);
  EXPECT_EQ(browser.addresses[1], "http://cracks-example.test/warez");
  EXPECT_EQ(ui.calls, (std::vector<std::string>{noBrowser, noBrowser}));

  form->MenuItem("Contents1")->trigger();
  EXPECT_EQ(ui.calls.size(), 3u);
}

TEST_F(WindowTest, AReadOnlyTableSaysSoAndOffersNoChanges) {
  auto* notice = Find<QLabel>("TableNotice");
  ASSERT_NE(notice, nullptr);
  EXPECT_FALSE(notice->isVisible());
  auto* nav = Find<TDBNavigator>("DBNavigator1");
  EXPECT_TRUE(nav->ButtonWidget(TDBNavigator::nbInsert)->isEnabled());

  table.Close();
  table.SetReadOnly(true);
  table.Open();
  EXPECT_TRUE(notice->isVisible());
  EXPECT_EQ(notice->text().toStdString(), kSiteTableReadOnly);
  EXPECT_FALSE(nav->ButtonWidget(TDBNavigator::nbInsert)->isEnabled());
  EXPECT_FALSE(nav->ButtonWidget(TDBNavigator::nbDelete)->isEnabled());
  EXPECT_TRUE(nav->ButtonWidget(TDBNavigator::nbNext)->isEnabled());
  auto* notes = Find<TDBEdit>("DBEdit4");
  EXPECT_TRUE(notes->isEnabled());
  EXPECT_TRUE(notes->isReadOnly());
  EXPECT_TRUE(Find<TDBMemo>("DBMemo1")->isReadOnly());
  EXPECT_FALSE(Find<TDBCheckBox>("cbKilled")->isEnabled());
  for (const char* item : {"Killsite1", "Killsitedead1", "ImportCSVfile1", "GetIP1", "GetEmails1"})
    EXPECT_FALSE(form->MenuItem(item)->isEnabled()) << item;
  EXPECT_TRUE(form->MenuItem("FindFirst1")->isEnabled());
  notes->setFocus();
  QTest::keyClicks(notes, "x");
  EXPECT_EQ(table.State(), TDataSetState::Browse);
  EXPECT_EQ(notes->text(), "stored");
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.front();

  table.Close();
  table.SetReadOnly(false);
  table.Open();
  EXPECT_FALSE(notice->isVisible());
  EXPECT_FALSE(notes->isReadOnly());
  EXPECT_TRUE(nav->ButtonWidget(TDBNavigator::nbInsert)->isEnabled());
  EXPECT_TRUE(form->MenuItem("Killsite1")->isEnabled());
  EXPECT_TRUE(form->MenuItem("GetEmails1")->isEnabled());
}

TEST_F(WindowTest, StatusBarShowsThePositionAndTheModifiedMark) {
  auto* position = Find<QLabel>("StatusPosition");
  auto* modified = Find<QLabel>("StatusModified");
  ASSERT_TRUE(position && modified);
  EXPECT_EQ(position->text(), "site 1 of 4");
  // Moves in quick succession are counted once, after they pause.
  table.Next();
  QCoreApplication::processEvents();
  table.Next();
  QCoreApplication::processEvents();
  EXPECT_EQ(position->text(), "site 1 of 4");
  EXPECT_TRUE(SettlesOn(position, "site 3 of 4"));
  EXPECT_EQ(modified->text(), "");

  // The mark follows at once.
  auto* notes = Find<TDBEdit>("DBEdit4");
  notes->setFocus();
  QTest::keyClicks(notes, "!");
  EXPECT_EQ(modified->text(), "Modified");
  QTest::keyClick(notes, Qt::Key_Escape);
  EXPECT_EQ(modified->text(), "");

  table.Append();
  EXPECT_TRUE(SettlesOn(position, "new site (4 in view)"));
  table.FieldByName("Url").SetAsString("http://new.test/");
  table.Post();
  EXPECT_TRUE(SettlesOn(position, QString("site %1 of 5").arg(table.RecNo())));

  table.SetFilter("Url = 'http://abc.test/'");
  table.SetFiltered(true);
  EXPECT_TRUE(SettlesOn(position, "site 1 of 1"));
  table.SetFilter("Url = 'none'");
  EXPECT_TRUE(SettlesOn(position, "no sites in view"));
}

TEST_F(WindowTest, DeleteNamesTheSiteAndDefaultsToCancel) {
  auto* nav = Find<TDBNavigator>("DBNavigator1");
  ui.answer = MbResult::Cancel;
  nav->ButtonWidget(TDBNavigator::nbDelete)->click();
  EXPECT_EQ(ui.calls, (std::vector<std::string>{
                          "box: Quellor|Delete the site http://www.crackz.test:8080/path/x?"}));
  EXPECT_EQ(ui.defaults, (std::vector<MbResult>{MbResult::Cancel}));
  EXPECT_EQ(table.RecordCount(), 4);
  ui.answer = MbResult::Ok;
  nav->ButtonWidget(TDBNavigator::nbDelete)->click();
  EXPECT_EQ(table.RecordCount(), 3);
}

TEST_F(WindowTest, F3FindsNextAndCtrlQCloses) {
  // F3 before anything was looked for opens the Find dialog.
  QTest::keyClick(form.get(), Qt::Key_F3);
  EXPECT_TRUE(form->FindDialog()->isVisible());
  form->FindDialog()->SetText("serialz");
  QTest::keyClick(Find<TDBEdit>("DBEdit4"), Qt::Key_F3);
  EXPECT_EQ(table.FieldByName("Url").AsString(), "http://serialz.test/");
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.front();

  QTest::keyClick(form.get(), Qt::Key_Q, Qt::ControlModifier);
  EXPECT_FALSE(form->isVisible());
}

TEST_F(WindowTest, LabelMnemonicsMoveToTheirBoxes) {
  struct Case {
    const char *label, *text, *box;
    Qt::Key key;
  } cases[] = {
      {"lblDBEdit1", "&Url:", "DBEdit1", Qt::Key_U},
      {"lblDBEdit4", "N&otes:", "DBEdit4", Qt::Key_O},
      {"lblDBEdit8", "&Priority:", "DBEdit8", Qt::Key_P},
      {"lblDBMemo1", "DMC&A Urls:", "DBMemo1", Qt::Key_A},
      {"lbledHost", "&Domain:", "edHost", Qt::Key_D},
  };
  for (const Case& c : cases) {
    auto* label = Find<QLabel>(c.label);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), c.text);
    auto* box = Find<QWidget>(c.box);
    EXPECT_EQ(label->buddy(), box) << c.label;
    QTest::keyClick(form.get(), c.key, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), box) << c.label;
  }
}

TEST_F(WindowTest, WindowSizePageAndGridColumnsAreKeptAcrossStarts) {
  TempDir settingsDir;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                     QString::fromStdString(settingsDir.path()));
  QCoreApplication::setOrganizationName("OstrelTest");
  form.reset();
  form = std::make_unique<TForm1>(config, ui);
  form->AttachData(&ds);
  form->show();
  form->resize(640, 480);
  form->findChild<QTabWidget*>("PageControl1")->setCurrentIndex(1);
  auto* grid = Find<TDBGrid>("DBGrid1");
  grid->horizontalHeader()->resizeSection(2, 177);
  grid->horizontalHeader()->moveSection(0, 3);
  form->close();
  EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(settingsDir.path()) + "/OstrelTest"));

  form = std::make_unique<TForm1>(config, ui);
  form->AttachData(&ds);
  form->show();
  QCoreApplication::setOrganizationName("");
  EXPECT_EQ(form->size(), QSize(640, 480));
  EXPECT_EQ(form->findChild<QTabWidget*>("PageControl1")->currentIndex(), 1);
  grid = Find<TDBGrid>("DBGrid1");
  EXPECT_EQ(grid->horizontalHeader()->sectionSize(2), 177);
  EXPECT_EQ(grid->horizontalHeader()->visualIndex(0), 3);
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // Start-up names the program, after which the window keeps its state: keep it here.
  TempDir settings;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                     QString::fromStdString(settings.path()));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
