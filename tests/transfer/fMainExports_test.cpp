// The File menu's SQL file and export commands in the real main window, offscreen: the Detail
// grid shows a query's rows through DataSourceQ1 while the navigator stays on the site table,
// an executed statement leaves the grid empty, a rejected one leaves it as it was, and
// Cracks table brings the grid back.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <deque>

#include "app/ui/QtUi.h"
#include "app/ui/fMain.h"
#include "data/ui/DBGrid.h"
#include "transfer/ImportTestSupport.h"

using namespace quellor;
using namespace quellor::test;

namespace {

// The Qt Ui with its boxes recorded and its file dialogs answered from a queue.
class ScriptedQtUi : public QtUi {
 public:
  std::vector<std::string> calls;
  std::deque<std::optional<std::string>> files;
  void ShowMessage(const std::string& text) override { calls.push_back("message: " + text); }
  void ShowError(const std::string& text) override { calls.push_back("error: " + text); }
  MbResult MessageBox(const std::string& text, const std::string& caption, MbButtons,
                      MbIcon) override {
    calls.push_back("box: " + caption + "|" + text);
    return MbResult::Ok;
  }
  std::optional<std::string> OpenFileDialog(const std::string&, const std::vector<FileFilter>&,
                                            const std::string&) override {
    return Next();
  }
  std::optional<std::string> SaveFileDialog(const std::string&, const std::vector<FileFilter>&,
                                            const std::string&, const std::string&) override {
    return Next();
  }

 private:
  std::optional<std::string> Next() {
    if (files.empty()) return std::nullopt;
    auto f = files.front();
    files.pop_front();
    return f;
  }
};

class SqlWindowTest : public ImportFixture {
 protected:
  void SetUp() override {
    ImportFixture::SetUp();
    AddSite("http://a.test/", false, "one");
    AddSite("http://b.test/", false, "two");
    AddSite("http://c.test/", true, "three");
    dm->tblCracks.First();
    form = std::make_unique<TForm1>(config, qtUi);
    form->AttachData(&dm->dsCracks);
    form->SetDataModule(dm.get());
    form->show();
    grid = form->findChild<TDBGrid*>("DBGrid1");
    ASSERT_NE(grid, nullptr);
  }
  void TearDown() override {
    form.reset();
    ImportFixture::TearDown();
  }
  // Runs "&Open SQL file" from the menu on a file holding `text`.
  void OpenSql(const std::string& text) {
    WriteFileBytes(dir.file("q.sql"), text);
    qtUi.files.push_back(dir.file("q.sql"));
    Trigger("OpenSQLfile1");
  }
  void Trigger(const char* item) {
    QAction* action = form->MenuItem(item);
    ASSERT_NE(action, nullptr) << item;
    EXPECT_TRUE(action->isEnabled()) << item;
    action->trigger();
  }
  QString Cell(int row, int column) {
    return grid->model()->data(grid->model()->index(row, column)).toString();
  }

  ScriptedQtUi qtUi;
  std::unique_ptr<TForm1> form;
  TDBGrid* grid = nullptr;
};

TEST_F(SqlWindowTest, SelectShowsItsRowsInTheGridWhileTheNavigatorStaysOnTheSites) {
  EXPECT_EQ(grid->model()->rowCount(), 2);  // the default view
  OpenSql("SELECT Url, Notes AS LastUpdate FROM Cracks ORDER BY Url DESC");
  EXPECT_TRUE(qtUi.calls.empty()) << qtUi.calls.front();
  EXPECT_EQ(form->GridDataSet(), dm->DataSourceQ1.DataSet());
  EXPECT_EQ(form->NavigatorDataSet(), &dm->tblCracks);
  ASSERT_EQ(grid->model()->rowCount(), 3);
  EXPECT_EQ(grid->model()->columnCount(), 2);
  EXPECT_EQ(Cell(0, 0), "http://c.test/");
  EXPECT_EQ(Cell(2, 1), "one");
  EXPECT_EQ(grid->model()->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), "LastUpdate");

  // A second file replaces the first result.
  OpenSql("SELECT Notes FROM Cracks WHERE Killed = True");
  ASSERT_EQ(grid->model()->rowCount(), 1);
  EXPECT_EQ(Cell(0, 0), "three");

  // Cracks table brings grid and navigator back to the site view.
  Trigger("Crackstable1");
  EXPECT_EQ(form->GridDataSet(), &dm->tblCracks);
  EXPECT_EQ(form->NavigatorDataSet(), &dm->tblCracks);
  EXPECT_EQ(grid->model()->rowCount(), 2);
}

TEST_F(SqlWindowTest, UpdateChangesTheTableAndLeavesTheGridEmpty) {
  OpenSql("UPDATE Cracks SET Notes = 'changed' WHERE Killed = False");
  EXPECT_TRUE(qtUi.calls.empty());
  EXPECT_EQ(grid->model()->rowCount(), 0);
  EXPECT_EQ(form->GridDataSet(), nullptr);
  EXPECT_EQ(form->NavigatorDataSet(), &dm->tblCracks);
  Trigger("Crackstable1");
  dm->tblCracks.Refresh();
  EXPECT_EQ(Cell(0, 2 + 2), "changed");  // Url, E-mails, BadE-mails, IPAddr, Notes
}

TEST_F(SqlWindowTest, RejectedStatementShowsTheEngineErrorAndTheGridKeepsItsRows) {
  OpenSql("SELECT Url FROM Cracks ORDER BY Url");
  ASSERT_EQ(grid->model()->rowCount(), 3);
  OpenSql("SELECT Url FROM Cracks WHERE ORDER BY Url");
  ASSERT_EQ(qtUi.calls.size(), 1u);
  EXPECT_EQ(qtUi.calls[0].rfind("error: Store Engine Error # 11949 SQL error - ", 0), 0u)
      << qtUi.calls[0];
  EXPECT_EQ(grid->model()->rowCount(), 3);
  EXPECT_EQ(Cell(1, 0), "http://b.test/");
  // On the site table, too.
  Trigger("Crackstable1");
  OpenSql("SELEC * FROM Cracks");
  EXPECT_EQ(qtUi.calls.size(), 2u);
  EXPECT_EQ(form->GridDataSet(), &dm->tblCracks);
  EXPECT_EQ(grid->model()->rowCount(), 2);
}

TEST_F(SqlWindowTest, CsvExportWritesTheRowsTheGridShows) {
  OpenSql("SELECT Url FROM Cracks WHERE Killed = True");
  qtUi.files.push_back(dir.file("shown.csv"));
  Trigger("ExporttoCSV1");
  EXPECT_EQ(ReadFileBytes(dir.file("shown.csv")), "\"http://c.test/\"\r\n");
  // The killed-sites report reuses the query: the grid shows no rows afterwards.
  config.KilledSiteFolder = dir.path();
  Trigger("Exportkilledsites1");
  EXPECT_EQ(qtUi.calls,
            std::vector<std::string>{"message: The killed sites report was written to " +
                                     dir.file("killedsites.txt")});
  qtUi.calls.clear();
  EXPECT_EQ(grid->model()->rowCount(), 0);
  EXPECT_NE(ReadFileBytes(dir.file("killedsites.txt")).find("http://c.test/\r\n"),
            std::string::npos);
  // Exporting the now closed query is an error, not a file.
  qtUi.files.push_back(dir.file("closed.csv"));
  Trigger("ExporttoCSV1");
  EXPECT_EQ(qtUi.calls,
            std::vector<std::string>{"error: Cannot perform this operation on a closed dataset"});
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
