// The main window as a new user meets it, offscreen on a real program folder (storetool init,
// a few sites), found by objectName: the column Find searches, the grid's first column widths
// and in-place editing, where exports go, the Options and Filters dialogs keeping the person's
// work, import errors that name their line, SQL files in the grid and the locale's dates.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "StoreTool.h"
#include "app/Config.h"
#include "app/DialogFolders.h"
#include "app/Include.h"
#include "app/ui/FindDialog.h"
#include "app/ui/Icons.h"
#include "app/ui/QtUi.h"
#include "app/ui/Startup.h"
#include "app/ui/fMain.h"
#include "app/ui/fOptions.h"
#include "data/DataMod.h"
#include "data/DataSource.h"
#include "data/FieldText.h"
#include "data/ui/DBControls.h"
#include "data/ui/DBGrid.h"
#include "data/ui/fFilters.h"
#include "platform/Locale.h"
#include "store/api/StoreDate.h"
#include "store/api/StoreTb.h"
#include "support/RecordingQtUi.h"
#include "support/TempDir.h"

using namespace quellor;
using quellor::test::ReadFileBytes;
using quellor::test::TempDir;
using quellor::test::WriteFileBytes;

namespace {

// The recording Ui that also answers the file dialogs and the boxes that ask.
class AnsweringUi : public quellor::test::RecordingQtUi {
 public:
  std::vector<std::string> files;   // what the next open or save dialogs return
  std::vector<MbResult> answers;    // what the next boxes with buttons answer
  std::vector<std::string> starts;  // the folders the file dialogs started in
  std::optional<std::string> OpenFileDialog(const std::string&, const std::vector<FileFilter>&,
                                            const std::string& initialDir) override {
    starts.push_back("open " + initialDir);
    return NextFile();
  }
  std::optional<std::string> SaveFileDialog(const std::string&, const std::vector<FileFilter>&,
                                            const std::string& initialDir,
                                            const std::string&) override {
    starts.push_back("save " + initialDir);
    return NextFile();
  }
  MbResult MessageBox(const std::string& text, const std::string& caption, MbButtons,
                      MbIcon) override {
    calls.push_back("box: " + caption + "|" + text);
    if (answers.empty()) return MbResult::Ok;
    MbResult r = answers.front();
    answers.erase(answers.begin());
    return r;
  }

 private:
  std::optional<std::string> NextFile() {
    if (files.empty()) return std::nullopt;
    std::string f = files.front();
    files.erase(files.begin());
    return f;
  }
};

// Runs `act` on the modal dialog of type T once a command has shown it.
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

// Closes a modal dialog when a check ends early, so that the command's exec() returns.
class ClosedAtEnd {
 public:
  explicit ClosedAtEnd(QDialog& dialog) : dialog_(dialog) {}
  ~ClosedAtEnd() {
    if (dialog_.isVisible()) dialog_.reject();
  }

 private:
  QDialog& dialog_;
};

struct Site {
  const char* url;
  const char* notes;
  bool killed;
  int priority;
};

const Site kSites[] = {
    {"http://appz-one.test/files/", "first", false, 2}, {"http://b-live.test/", "second", false, 3},
    {"http://c-killed.test/", "third", true, 2},        {"http://d-live.test/", "fourth", false, 1},
    {"http://e-live.test/", "fifth", false, 2},
};

class UseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The person's own settings (window state) and home in folders of this test.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString(settings.path()));
    std::ostringstream out, err;
    ASSERT_EQ(RunStoreTool({"init", dir.path()}, out, err), 0) << err.str();
    TStoreTable t;
    t.SetDatabaseName(dir.path());
    t.SetTableName("cracks.DAT");
    t.Open();
    for (const Site& s : kSites) {
      t.Append();
      t.FieldByName("Url").SetAsString(s.url);
      t.FieldByName("Notes").SetAsString(s.notes);
      t.FieldByName("Killed").SetAsBoolean(s.killed);
      t.FieldByName("Dead").SetAsBoolean(s.killed);
      t.FieldByName("Priority").SetAsInteger(s.priority);
      t.Post();
    }
  }
  void Start() {
    startUp = std::make_unique<TStartUp>(ui);
    startUp->Run(dir.path());
    ASSERT_TRUE(ui.calls.empty()) << ui.calls.front();
    QApplication::setActiveWindow(&Form());
  }
  void TearDown() override {
    if (startUp) startUp->Form().close();
    startUp.reset();
    QCoreApplication::setOrganizationName("");
    QCoreApplication::setApplicationName("");
  }

  TForm1& Form() { return startUp->Form(); }
  TDM& Dm() { return startUp->DataModule(); }
  QAction* Item(const char* name) {
    QAction* a = Form().MenuItem(name);
    EXPECT_NE(a, nullptr) << name;
    return a;
  }
  template <typename T>
  T* Find(const char* name) {
    T* w = Form().findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  TDBGrid* Grid() { return Find<TDBGrid>("DBGrid1"); }
  int Column(const char* field) {
    for (int c = 0; c < Grid()->model()->columnCount(); ++c)
      if (Grid()->model()->headerData(c, Qt::Horizontal).toString() == field) return c;
    ADD_FAILURE() << "no column " << field;
    return 0;
  }
  void ShowDetail() { Find<QTabWidget>("PageControl1")->setCurrentIndex(1); }
  std::string Url() { return Dm().tblCracks.FieldByName("Url").AsString(); }

  TempDir dir;
  TempDir settings;
  AnsweringUi ui;
  std::unique_ptr<TStartUp> startUp;
};

}  // namespace

TEST_F(UseTest, CtrlEndKeepsTheColumnFindSearchesAndTheFindDialogNamesIt) {
  Start();
  ShowDetail();
  TDBGrid* grid = Grid();
  grid->setFocus();
  QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(Url(), "http://e-live.test/");
  EXPECT_EQ(grid->SelectedIndex(), 0);
  QTest::keyClick(grid, Qt::Key_F, Qt::ControlModifier);
  TFindDialog* dialog = Form().FindDialog();
  ASSERT_TRUE(dialog->isVisible());
  auto* column = dialog->findChild<QLabel*>("FindColumn");
  ASSERT_NE(column, nullptr);
  EXPECT_TRUE(column->text().contains("Url")) << column->text().toStdString();
  dialog->SetText("appz");
  emit dialog->FindNext();
  EXPECT_EQ(Url(), "http://appz-one.test/files/");
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.back();

  // The person chooses another column: the dialog says so, and Find searches it.
  int notes = Column("Notes");
  QRect cell = grid->visualRect(grid->model()->index(1, notes));
  grid->scrollTo(grid->model()->index(1, notes));
  cell = grid->visualRect(grid->model()->index(1, notes));
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_EQ(grid->SelectedIndex(), notes);
  EXPECT_TRUE(column->text().contains("Notes")) << column->text().toStdString();
  QTest::keyClick(grid, Qt::Key_Home, Qt::ControlModifier);
  EXPECT_EQ(grid->SelectedIndex(), notes);
  dialog->SetText("fourth");
  emit dialog->FindNext();
  EXPECT_EQ(Url(), "http://d-live.test/");
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.back();
}

TEST_F(UseTest, GridColumnsStartAsWideAsTheirContentAndAnOlderLayoutIsDropped) {
  // A layout kept by an older program: the same number of columns, the Url 30 pixels wide.
  {
    QSettings kept("Ostrel", "Quellor");
    QHeaderView old(Qt::Horizontal);
    QStandardItemModel columns(1, 26);
    old.setModel(&columns);
    old.resizeSection(0, 30);
    kept.setValue("MainWindow/gridColumns", old.saveState());
    kept.setValue("MainWindow/gridColumnCount", 26);
  }
  auto widths = [this] {
    std::map<std::string, int> w;
    for (int c = 0; c < Grid()->model()->columnCount(); ++c)
      w[Grid()->model()->headerData(c, Qt::Horizontal).toString().toStdString()] =
          Grid()->columnWidth(c);
    return w;
  };
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start);
    Start();
    ShowDetail();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form()));
    QFontMetrics fm = Grid()->fontMetrics();
    std::map<std::string, int> w = widths();
    EXPECT_GE(w["Url"], fm.horizontalAdvance("http://appz-one.test/files/")) << w["Url"];
    for (const char* yesNo : {"Cracks", "Serialz", "Killed", "Dead", "USA"}) {
      EXPECT_GE(w[yesNo], fm.horizontalAdvance(yesNo)) << yesNo;
      EXPECT_LT(w[yesNo], w["Url"]) << yesNo;
      EXPECT_LE(w[yesNo], fm.horizontalAdvance(yesNo) + 40) << yesNo;
    }
    EXPECT_GE(w["LastSent"], fm.horizontalAdvance("2025-12-31 00:57:38")) << w["LastSent"];
    EXPECT_GE(w["Notes"], fm.horizontalAdvance("fourth"));
    // A change of the rows (a post) keeps the widths.
    TStoreTable& t = Dm().tblCracks;
    t.Edit();
    t.FieldByName("Notes").SetAsString("changed");
    t.Post();
    EXPECT_EQ(widths(), w);
    Form().close();
    startUp.reset();
  }
}

TEST_F(UseTest, TextCellsOfTheGridAreEditedInPlace) {
  Start();
  ShowDetail();
  TDBGrid* grid = Grid();
  int notes = Column("Notes");
  grid->setFocus();
  grid->setCurrentIndex(grid->model()->index(1, notes));
  ASSERT_EQ(Url(), "http://b-live.test/");
  // F2 opens the cell's editor with the value; Enter takes the text into the site.
  QTest::keyClick(grid, Qt::Key_F2);
  auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->text(), "second");
  editor->selectAll();
  QTest::keyClicks(editor, "changed in the grid");
  QTest::keyClick(editor, Qt::Key_Return);
  QCoreApplication::processEvents();  // the cell's delegate takes the text in a queued call
  EXPECT_EQ(Dm().tblCracks.State(), TDataSetState::Edit);
  EXPECT_EQ(Dm().tblCracks.FieldByName("Notes").AsString(), "changed in the grid");
  EXPECT_EQ(Find<TDBEdit>("DBEdit4")->text(), "changed in the grid");
  Find<TDBNavigator>("DBNavigator1")->ButtonWidget(TDBNavigator::nbPost)->click();
  EXPECT_EQ(Dm().tblCracks.State(), TDataSetState::Browse);
  {
    TStoreTable t;
    t.SetDatabaseName(dir.path());
    t.SetTableName("cracks.DAT");
    t.Open();
    ASSERT_TRUE(t.FindKey({"http://b-live.test/"}));
    EXPECT_EQ(t.FieldByName("Notes").AsString(), "changed in the grid");
  }
  // Typing into a cell starts its editor with what was typed.
  grid->setFocus();
  grid->setCurrentIndex(grid->model()->index(2, notes));
  QTest::keyClicks(grid, "t");
  editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
  ASSERT_NE(editor, nullptr);
  QTest::keyClicks(editor, "yped");
  QTest::keyClick(editor, Qt::Key_Return);
  QCoreApplication::processEvents();
  EXPECT_EQ(Url(), "http://d-live.test/");
  EXPECT_EQ(Dm().tblCracks.FieldByName("Notes").AsString(), "typed");
  // The DMCA link list is edited in the form; the grid says so instead of ignoring the key.
  grid->setFocus();
  grid->setCurrentIndex(grid->model()->index(2, Column("DMCAUrls")));
  QTest::keyClick(grid, Qt::Key_F2);
  EXPECT_TRUE(Form().statusBar()->currentMessage().contains("Form"))
      << Form().statusBar()->currentMessage().toStdString();
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.front();
}

// HOME and XDG_CONFIG_HOME of a test, put back afterwards.
class HomeFolder {
 public:
  HomeFolder() {
    for (const char* name : {"HOME", "XDG_CONFIG_HOME"})
      if (const char* v = getenv(name)) saved_[name] = v;
    setenv("HOME", home.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", home.file(".config").c_str(), 1);
  }
  ~HomeFolder() {
    for (const char* name : {"HOME", "XDG_CONFIG_HOME"}) {
      if (saved_.count(name))
        setenv(name, saved_[name].c_str(), 1);
      else
        unsetenv(name);
    }
  }
  TempDir home;

 private:
  std::map<std::string, std::string> saved_;
};

TEST_F(UseTest, ExportsGoToTheDocumentsFolderAndSayWhere) {
  HomeFolder person;
  // The XDG user folders name the documents folder; the program is started from elsewhere.
  std::filesystem::create_directories(person.home.file(".config"));
  std::filesystem::create_directories(person.home.file("Papers"));
  WriteFileBytes(person.home.file(".config/user-dirs.dirs"),
                 "# written by xdg-user-dirs-update\nXDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
  std::string docs = person.home.file("Papers/");
  TempDir started;
  std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(started.path());
  Start();
  EXPECT_EQ(startUp->Config().KilledSiteFolder, docs);

  Item("Exportkilledsites1")->trigger();
  EXPECT_EQ(ui.calls, std::vector<std::string>{"message: The killed sites report was written to " +
                                               docs + "killedsites.txt"});
  EXPECT_NE(ReadFileBytes(docs + "killedsites.txt").find("http://c-killed.test/"),
            std::string::npos);

  ui.calls.clear();
  Item("ExporttoHTML1")->trigger();
  ASSERT_FALSE(ui.calls.empty());
  EXPECT_EQ(ui.calls.back(), "message: The live sites were written to " + docs +
                                 "cracksites.txt and the killed sites report to " + docs +
                                 "killedsites.txt; cracksites.html and killedsites.html are "
                                 "made beside them");
  EXPECT_NE(ReadFileBytes(docs + "cracksites.txt").find("http://appz-one.test/files/"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(started.file("cracksites.txt")));
  std::filesystem::current_path(cwd);

  // The company's settings file, shared by everyone, keeps the default as no folder at all.
  Form().close();
  startUp->Config().WriteSettings();
  EXPECT_NE(ReadFileBytes(startUp->Config().CompanyFileName()).find("KilledSiteFolder=\r\n"),
            std::string::npos);
}

TEST_F(UseTest, FileDialogsStartInTheLastFolderOfTheirKindElseInTheDocuments) {
  HomeFolder person;
  std::filesystem::create_directories(person.home.file(".config"));
  std::filesystem::create_directories(person.home.file("Papers"));
  WriteFileBytes(person.home.file(".config/user-dirs.dirs"),
                 "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
  const std::string docs = person.home.file("Papers/");
  std::filesystem::create_directories(person.home.file("lists"));
  const std::string lists = person.home.file("lists/");
  WriteFileBytes(lists + "none.csv", "");
  SetDialogFolders({});
  Start();
  // Nothing chosen yet: the documents folder, for every kind.
  Item("ImportCSVfile1")->trigger();
  Item("OpenSQLfile1")->trigger();
  ui.files = {lists + "none.csv"};
  Item("ImportCSVfile1")->trigger();
  // A CSV file was chosen in lists/: the CSV dialogs start there, the SQL dialog does not.
  Item("ExporttoCSV1")->trigger();
  Item("OpenSQLfile1")->trigger();
  EXPECT_EQ(ui.starts, (std::vector<std::string>{"open " + docs, "open " + docs, "open " + docs,
                                                 "save " + lists, "open " + docs}));
  // Kept across starts, in the person's own settings.
  Form().close();
  startUp.reset();
  SetDialogFolders({});
  ui.calls.clear();
  ui.starts.clear();
  Start();
  Item("ImportCSVfile1")->trigger();
  EXPECT_EQ(ui.starts, std::vector<std::string>{"open " + lists});
  // Never the hidden data folder of an installed program, even when a file was chosen there.
  const std::string hidden = person.home.file(".local/share/quellor/");
  std::filesystem::create_directories(hidden);
  SetProgramFolder(hidden);
  RememberDialogFolder(kCsvFiles, hidden + "sites.csv");
  ui.starts.clear();
  Item("ImportCSVfile1")->trigger();
  EXPECT_EQ(ui.starts, std::vector<std::string>{"open " + docs});
  SetProgramFolder(dir.path());
  SetDialogFolders({});
}

TEST_F(UseTest, ExportToCsvAsksAboutReplacingOnlyAFileTheSaveDialogDidNotAskAbout) {
  Start();
  WriteFileBytes(dir.file("asked.csv"), "old");
  WriteFileBytes(dir.file("typed.CSV"), "old");
  const std::string question =
      "box: Quellor|" + dir.file("typed.CSV") + " already exists.\nDo you want to replace it?";
  struct Case {
    const char* chosen;  // what the save dialog gave
    MbResult answer;     // to the question, when one is asked
    std::vector<std::string> calls;
    const char* written;  // the file that must hold the sites afterwards, or none
    const char* untouched;
  } cases[] = {
      // The dialog asked about this very file: no second question.
      {"asked.csv", MbResult::Yes, {}, "asked.csv", nullptr},
      // ".CSV" added to the typed name: that file was not asked about.
      {"typed", MbResult::No, {question}, nullptr, "typed.CSV"},
      {"typed", MbResult::Yes, {question}, "typed.CSV", nullptr},
      // Nothing there yet: nothing to ask.
      {"fresh", MbResult::Yes, {}, "fresh.CSV", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.chosen) + (c.answer == MbResult::Yes ? " yes" : " no"));
    ui.calls.clear();
    ui.defaults.clear();
    ui.files = {dir.file(c.chosen)};
    ui.answer = c.answer;
    Item("ExporttoCSV1")->trigger();
    EXPECT_EQ(ui.calls, c.calls);
    // No is the default: Enter keeps the file.
    EXPECT_EQ(ui.defaults, std::vector<MbResult>(c.calls.size(), MbResult::No));
    if (c.written) {
      EXPECT_NE(ReadFileBytes(dir.file(c.written)).find("http://b-live.test/"), std::string::npos);
    }
    if (c.untouched) {
      EXPECT_EQ(ReadFileBytes(dir.file(c.untouched)), "old");
    }
  }
}

TEST(SaveDialog, TheSaveDialogItselfAsksBeforeReplacingAFile) {
  QtUi ui;
  bool checked = false;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!dialog) {
      ADD_FAILURE() << "no file dialog";
      if (QWidget* w = QApplication::activeModalWidget()) w->close();
      return;
    }
    EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_FALSE(dialog->testOption(QFileDialog::DontConfirmOverwrite));
    checked = true;
    dialog->reject();
  });
  EXPECT_EQ(ui.SaveFileDialog("", {{"CSV Files", "*.CSV"}}, "/tmp", "Query.Csv"), std::nullopt);
  EXPECT_TRUE(checked);
}

TEST_F(UseTest, TheOptionsDialogKeepsTheWorkOnABadPortAndAsksBeforeDroppingAnEditedFragment) {
  Start();
  TConfig& config = startUp->Config();
  std::string tos = config.TOS, settingsFile = config.CompanyFileName();
  bool checked = false;
  WhenShown<TfrmOptions>([&](TfrmOptions& dialog) {
    ClosedAtEnd closer(dialog);
    auto* host = dialog.findChild<QLineEdit*>("HostEdit");
    auto* port = dialog.findChild<QLineEdit*>("PortEdit");
    auto* folder = dialog.findChild<QLineEdit*>("edKilledSiteFolder");
    host->setText("new.host");
    folder->setText(QString::fromStdString(dir.file("made/")));
    port->setText("abc");
    // A wording fragment edited, then another chosen: the dialog asks first.
    auto* choice = dialog.findChild<QComboBox*>("cbWording");
    auto* editor = dialog.findChild<QPlainTextEdit*>("memTextChange");
    choice->setCurrentIndex(9);  // TOS
    editor->setPlainText("An edited TOS text");
    ui.answers = {MbResult::Cancel};
    choice->setCurrentIndex(3);  // Cracks: Cancel keeps TOS and the edit
    ASSERT_EQ(ui.calls.size(), 1u);
    EXPECT_EQ(ui.calls[0],
              "box: Options|The text of \"TOS\" has changed. Save it before "
              "choosing another text?");
    EXPECT_EQ(choice->currentText(), "TOS");
    EXPECT_EQ(editor->toPlainText(), "An edited TOS text");
    ui.answers = {MbResult::Yes};
    choice->setCurrentIndex(3);  // Yes saves TOS, then Cracks is shown
    EXPECT_EQ(choice->currentText(), "Cracks");
    EXPECT_EQ(editor->toPlainText(), QString::fromStdString(config.Cracks));
    EXPECT_EQ(config.TOS.rfind("An edited TOS text", 0), 0u) << config.TOS;
    ui.calls.clear();

    QTest::mouseClick(dialog.findChild<QPushButton*>("OK"), Qt::LeftButton);
    // The port is refused with the dialog open, the focus on the port, nothing else taken.
    ASSERT_EQ(ui.calls.size(), 1u);
    EXPECT_EQ(ui.calls[0], "error: 'abc' is not a valid integer value");
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.focusWidget(), port);
    EXPECT_EQ(host->text(), "new.host");
    EXPECT_EQ(folder->text().toStdString(), dir.file("made/"));
    EXPECT_EQ(config.HostName, ConfigDefault::HostName);
    port->setText("2525");
    QTest::mouseClick(dialog.findChild<QPushButton*>("OK"), Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());
    checked = true;
  });
  Item("Options1")->trigger();
  ASSERT_TRUE(checked);
  EXPECT_EQ(config.Port, 2525);
  EXPECT_EQ(config.HostName, "new.host");
  EXPECT_EQ(config.KilledSiteFolder, dir.file("made/"));
  EXPECT_NE(ReadFileBytes(settingsFile).find("HostName=new.host"), std::string::npos);
}

TEST_F(UseTest, ImportErrorsNameTheLineAndTheField) {
  Start();
  // 25 fields before DMCAUrls: Url, four texts, Cracks (field 5), ... LastSent (field 21).
  auto line = [](const std::string& url, const std::string& cracks, const std::string& lastSent) {
    std::vector<std::string> f(26);
    f[0] = url;
    f[5] = cracks;
    f[21] = lastSent;
    std::string text;
    for (size_t i = 0; i < f.size(); ++i) text += (i ? "," : "") + f[i];
    return text + "\r\n";
  };
  struct Case {
    const char* file;
    std::string text;
    std::string message;
  } cases[] = {
      {"bool.csv",
       line("http://n1.test/", "True", "") + "\r\n" + line("http://n2.test/", "F", "") +
           line("http://n3.test/", "Yes", ""),
       "message: Line 4 of bool.csv: 'Yes' is not a valid boolean value for field 'Cracks'"},
      {"date.csv", line("http://n4.test/", "", "2025-12-31") + line("http://n5.test/", "", "31/31"),
       "message: Line 2 of date.csv, field 'LastSent': '31/31' is not a valid date and time"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    WriteFileBytes(dir.file(c.file), c.text);
    ui.calls.clear();
    ui.files = {dir.file(c.file)};
    Item("ImportCSVfile1")->trigger();
    EXPECT_EQ(ui.calls, (std::vector<std::string>{c.message, "message: 0 sites imported"}));
  }
  EXPECT_EQ(Dm().tblCracks.RecordCount(), 4);
}

TEST_F(UseTest, ARankThatIsNoNumberIsRefusedInTheFiltersDialog) {
  Start();
  bool checked = false;
  WhenShown<TfrmFilters>([&](TfrmFilters& dialog) {
    ClosedAtEnd closer(dialog);
    auto* rank = dialog.findChild<QLineEdit*>("edPriority");
    rank->setText("abc");
    QTest::mouseClick(dialog.findChild<QPushButton*>("OK"), Qt::LeftButton);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.focusWidget(), rank);
    EXPECT_EQ(ui.calls, std::vector<std::string>{"error: 'abc' is not a valid rank: type a "
                                                 "whole number from -32768 to 32767, or nothing"});
    rank->setText(" 2");  // blanks around a number are fine, as the filter takes them
    QTest::mouseClick(dialog.findChild<QPushButton*>("OK"), Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());
    checked = true;
  });
  Item("Filters1")->trigger();
  ASSERT_TRUE(checked);
  EXPECT_EQ(Dm().tblCracks.RecordCount(), 2);  // the live sites of priority 2
  // The killed-sites toggle goes on working, without an engine error.
  ui.calls.clear();
  Item("Killedsites1")->trigger();
  Item("Killedsites1")->trigger();
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.front();
}

TEST_F(UseTest, AnSqlFileShowsItsResultInTheGridWithItsRowCountAndAFailingOneKeepsIt) {
  Start();
  auto* pages = Find<QTabWidget>("PageControl1");
  ASSERT_EQ(pages->currentIndex(), 0);  // the Form page
  auto* position = Find<QLabel>("StatusPosition");
  ASSERT_TRUE(QTest::qWaitFor([&] { return position->text() == "site 1 of 4"; }))
      << position->text().toStdString();
  WriteFileBytes(dir.file("two.sql"), "SELECT Url, Priority FROM Cracks WHERE Priority = 2");
  ui.files = {dir.file("two.sql")};
  Item("OpenSQLfile1")->trigger();
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.front();
  // The result is shown at once, with its own count in the status bar.
  EXPECT_EQ(pages->currentIndex(), 1);
  EXPECT_EQ(Grid()->model()->rowCount(), 3);
  EXPECT_TRUE(QTest::qWaitFor([&] { return position->text() == "row 1 of 3 of the query result"; }))
      << position->text().toStdString();
  // Back on the Form page the status bar counts the sites again.
  pages->setCurrentIndex(0);
  EXPECT_TRUE(QTest::qWaitFor([&] { return position->text() == "site 1 of 4"; }))
      << position->text().toStdString();
  pages->setCurrentIndex(1);

  // A statement that reads but fails when it runs: its error, and the result stays shown.
  WriteFileBytes(dir.file("bad.sql"), "SELECT Nope FROM Cracks");
  ui.files = {dir.file("bad.sql")};
  Item("OpenSQLfile1")->trigger();
  ASSERT_EQ(ui.calls.size(), 1u);
  EXPECT_EQ(ui.calls[0].rfind("error: ", 0), 0u) << ui.calls[0];
  EXPECT_EQ(Grid()->model()->rowCount(), 3);
  EXPECT_EQ(Grid()->model()->headerData(1, Qt::Horizontal).toString(), "Priority");
  EXPECT_EQ(Grid()->model()->index(0, 0).data().toString(), "http://appz-one.test/files/");
}

// A locale pinned for one test; the session's date formats back to the C locale's afterwards.
class PinnedLocale {
 public:
  explicit PinnedLocale(const LocaleInfo& info) { Locale::Override(info); }
  ~PinnedLocale() {
    Locale::Override(std::nullopt);
    UseLocaleDateFormats(TStoreSession::Default(), LocaleInfo());
  }
};

TEST_F(UseTest, DatesFollowTheLocalesShortDateFormatAndShowSecondsAtMost) {
  LocaleInfo german;
  german.shortDateFormat = "dd.mm.yyyy";
  german.dateSeparator = '.';
  PinnedLocale pinned(german);
  {
    TStoreTable t;
    t.SetDatabaseName(dir.path());
    t.SetTableName("cracks.DAT");
    t.Open();
    ASSERT_TRUE(t.FindKey({"http://appz-one.test/files/"}));
    t.Edit();
    int32_t day = 0;
    ASSERT_TRUE(EncodeDayNumber(2025, 12, 31, day));
    t.FieldByName("LastSent")
        .SetAsDateTime(JoinDateTime(day, ((0 * 60 + 57) * 60 + 38) * 1000 + 861));
    t.Post();
  }
  Start();
  // The form and the grid: the locale's date, the time to the second.
  EXPECT_EQ(Find<TDBEdit>("DBEdit6")->text(), "31.12.2025 00:57:38");
  EXPECT_EQ(Grid()->model()->index(0, Column("LastSent")).data().toString(), "31.12.2025 00:57:38");
  // The import reads the locale's dates.
  std::vector<std::string> f(26);
  f[0] = "http://dated.test/";
  f[19] = "False";  // Killed: in the view
  f[21] = "30.11.2025 10:00:00";
  std::string line;
  for (size_t i = 0; i < f.size(); ++i) line += (i ? "," : "") + f[i];
  WriteFileBytes(dir.file("dated.csv"), line + "\r\n");
  ui.files = {dir.file("dated.csv")};
  Item("ImportCSVfile1")->trigger();
  EXPECT_EQ(ui.calls, std::vector<std::string>{"message: 1 sites imported"});
  // The CSV export and the killed-sites report write them.
  ui.files = {dir.file("out.csv")};
  Item("ExporttoCSV1")->trigger();
  std::string csv = ReadFileBytes(dir.file("out.csv"));
  EXPECT_NE(csv.find("\"31.12.2025 00:57:38\""), std::string::npos) << csv;
  EXPECT_NE(csv.find("\"30.11.2025 10:00:00\""), std::string::npos) << csv;
  startUp->Config().KilledSiteFolder = dir.path();
  Item("Exportkilledsites1")->trigger();
  std::string report = ReadFileBytes(dir.file("killedsites.txt"));
  ASSERT_GT(report.size(), 24u);
  EXPECT_EQ(report.substr(0, 14), "Last updated: ");
  EXPECT_EQ(report[16], '.') << report.substr(0, 30);
  EXPECT_EQ(report[19], '.') << report.substr(0, 30);
}

TEST(LocaleDates, ShortDateFormatsOfTheCLibrary) {
  struct Case {
    const char *posix, *ours;
  } cases[] = {
      {"%d.%m.%Y", "dd.mm.yyyy"}, {"%m/%d/%Y", "mm/dd/yyyy"},
      {"%d/%m/%y", "dd/mm/yyyy"}, {"%Y-%m-%d", "yyyy-mm-dd"},
      {"%F", "yyyy-mm-dd"},       {"%D", "mm/dd/yyyy"},
      {"%e.%m.%Y", "d.mm.yyyy"},  {"%Y年%m月%d日", "yyyy年mm月dd日"},
      {"%a %d %b %Y", ""},        {"%d.%m.", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ShortDateFormatFromPosix(c.posix), c.ours) << c.posix;
}

// Average lightness (0 to 255) of the opaque pixels of an icon at 24 pixels.
int IconLightness(const QIcon& icon) {
  QImage image = icon.pixmap(24, 24).toImage().convertToFormat(QImage::Format_ARGB32);
  long sum = 0, count = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      QColor c = image.pixelColor(x, y);
      if (c.alpha() < 128) continue;
      sum += c.lightness();
      ++count;
    }
  return count ? static_cast<int>(sum / count) : -1;
}

TEST(LooksTest, OwnIconsStandOutOnADarkPalette) {
  QPalette light = QApplication::palette();
  QPalette dark = light;
  dark.setColor(QPalette::Window, QColor(45, 45, 48));
  dark.setColor(QPalette::Base, QColor(30, 30, 32));
  dark.setColor(QPalette::Button, QColor(45, 45, 48));
  QApplication::setPalette(dark);
  for (const char* name : {"go-first", "go-previous", "go-next", "go-last", "view-refresh"}) {
    EXPECT_GE(IconLightness(OwnIcon(name)), 150) << name;
  }
  QApplication::setPalette(light);
}

TEST(LooksTest, MessageBoxesAreWideEnoughForTheirCaption) {
  QtUi ui;
  int width = 0;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) {
      ADD_FAILURE() << "no box";
      return;
    }
    width = box->width();
    box->accept();
  });
  ui.ShowMessage("nothing set");
  QFontMetrics fm(QApplication::font());
  EXPECT_GE(width, fm.horizontalAdvance("Quellor") + 120);
}

TEST_F(UseTest, TheMenuBarDrawsTheSeparatorBetweenToolsAndHelp) {
  Start();
  QMenuBar* bar = Form().menuBar();
  QList<QAction*> items = bar->actions();
  int tools = -1, help = -1;
  for (int i = 0; i < items.size(); ++i) {
    if (items[i] == Item("Tools1")) tools = i;
    if (items[i] == Item("Help1")) help = i;
  }
  ASSERT_GE(tools, 0);
  ASSERT_EQ(help, tools + 2);
  QAction* line = items[tools + 1];
  EXPECT_TRUE(line->isVisible());
  // Drawn: either the style draws menu bar separators, or it is an item that shows a bar.
  bool styleDraws = bar->style()->styleHint(QStyle::SH_DrawMenuBarSeparator, nullptr, bar);
  EXPECT_TRUE(styleDraws || (!line->isSeparator() && !line->text().isEmpty()));
  EXPECT_FALSE(line->isEnabled() && !line->isSeparator());
  EXPECT_GT(bar->actionGeometry(line).width(), 0);
}

TEST_F(UseTest, TheSortArrowDoesNotComeBackAfterARestart) {
  Start();
  ShowDetail();
  emit Grid()->horizontalHeader()->sectionClicked(Column("Notes"));
  ASSERT_TRUE(Grid()->horizontalHeader()->isSortIndicatorShown());
  Form().close();
  startUp.reset();
  Start();
  ShowDetail();
  // The rows come in Url order after a start: no arrow says otherwise.
  EXPECT_FALSE(Grid()->horizontalHeader()->isSortIndicatorShown());
  EXPECT_EQ(Grid()->model()->index(0, 0).data().toString(), "http://appz-one.test/files/");
}

TEST_F(UseTest, ANoticeWithoutACategoryNamesTheBoxesToTick) {
  Start();
  ASSERT_EQ(Url(), "http://appz-one.test/files/");
  // Links only and USA alone make no notice.
  Find<TDBCheckBox>("cbLinksOnly")->click();
  Find<TDBCheckBox>("cbUSA")->click();
  Item("PreviewComplaintMail1")->trigger();
  Item("SendComplaintMail1")->trigger();
  const std::string told =
      "message: nothing set: no category of this site is ticked. Tick at least one of Cracks, "
      "Serials, Warez, Tutes, Forumz, Toolz, Porn or Hackz (Links only and USA only change the "
      "wording).";
  EXPECT_EQ(ui.calls, (std::vector<std::string>{told, told}));
}

TEST_F(UseTest, TypingIntoASiteAnotherUserEditsSaysWhoAtOnceAndKeepsTheText) {
  Start();
  ASSERT_EQ(Url(), "http://appz-one.test/files/");
  // Another person, in a session of their own on the same folder, edits the first site.
  TStoreSession other;
  other.SetUserName("anna");
  auto held = std::make_unique<TStoreTable>(other);
  held->SetDatabaseName(dir.path());
  held->SetTableName("cracks.DAT");
  held->Open();
  ASSERT_TRUE(held->FindKey({"http://appz-one.test/files/"}));
  held->Edit();

  TStoreSession& mine = TStoreSession::Default();
  int retries = mine.LockRetryCount(), wait = mine.LockWaitTime();
  mine.SetLockRetryCount(20);
  mine.SetLockWaitTime(100);  // a lock wait would take two seconds
  auto* notes = Find<TDBEdit>("DBEdit4");
  notes->setFocus();
  notes->selectAll();
  QElapsedTimer clock;
  clock.start();
  QTest::keyClicks(notes, "mine");
  qint64 took = clock.elapsed();
  mine.SetLockRetryCount(retries);
  mine.SetLockWaitTime(wait);
  EXPECT_LT(took, 1000);
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.front();
  EXPECT_EQ(notes->text(), "mine");
  EXPECT_EQ(Form().statusBar()->currentMessage().toStdString(),
            "anna is editing this site. Your typing is kept: press Post when they are done, or "
            "Esc to drop it.");
  auto* nav = Find<TDBNavigator>("DBNavigator1");
  EXPECT_TRUE(nav->ButtonWidget(TDBNavigator::nbPost)->isEnabled());
  // Post while the other person still edits: still theirs, the text stays.
  nav->ButtonWidget(TDBNavigator::nbPost)->click();
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.front();
  EXPECT_EQ(notes->text(), "mine");
  EXPECT_EQ(Dm().tblCracks.FieldByName("Notes").AsString(), "first");
  // They are done: Post stores the typing.
  held->Cancel();
  nav->ButtonWidget(TDBNavigator::nbPost)->click();
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.front();
  EXPECT_EQ(Dm().tblCracks.State(), TDataSetState::Browse);
  EXPECT_EQ(Dm().tblCracks.FieldByName("Notes").AsString(), "mine");
  EXPECT_TRUE(Form().statusBar()->currentMessage().isEmpty());

  // Held again, then Esc drops the typing and shows the stored text.
  held->Refresh();
  ASSERT_TRUE(held->FindKey({"http://appz-one.test/files/"}));
  held->Edit();
  notes->setFocus();
  notes->end(false);
  QTest::keyClicks(notes, " more");
  EXPECT_EQ(notes->text(), "mine more");
  EXPECT_FALSE(Form().statusBar()->currentMessage().isEmpty());
  QTest::keyClick(notes, Qt::Key_Escape);
  EXPECT_EQ(notes->text(), "mine");
  EXPECT_TRUE(Form().statusBar()->currentMessage().isEmpty());
  held->Cancel();
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.front();
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
