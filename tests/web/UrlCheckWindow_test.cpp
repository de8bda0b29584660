// The "Url Check" window offscreen: listing a page's links, the workers' status columns, and
// closing the window while workers still run.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>

#include "app/DialogFolders.h"
#include "app/Include.h"
#include "platform/Files.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"
#include "web/ui/UrlCheckThread.h"
#include "web/ui/fUrlCheck.h"

using namespace quellor;
using quellor::test::FakeUi;
using quellor::test::TempDir;
using quellor::test::WriteFileBytes;

namespace {

std::string Cell(QTableWidget* grid, int dataRow, int column) {
  QTableWidgetItem* item = grid->item(dataRow - 1, column);
  return item ? item->text().toStdString() : std::string();
}

// Lets the user-interface thread run the workers' updates until every worker has finished.
bool WaitForWorkers() {
  return quellor::test::WaitUntilServing([] { return UrlCheck::Running() == 0; },
                                         [] { QCoreApplication::processEvents(); });
}

std::string Page(int links) {
  std::string page = "<html><body>\n";
  for (int i = 1; i <= links; ++i)
    page += "<a href=\"http://site" + std::to_string(i) + ".example/Warez\">" + std::to_string(i) +
            "</a>\n<p>filler</p>\n";
  return page + "</body></html>\n";
}

}  // namespace

TEST(UrlCheckWindow, ListsTheLinksOfAPageAndGoFillsTheStatusColumns) {
  TempDir dir;
  SetProgramFolder(dir.path());
  WriteFileBytes(dir.file("page.html"), Page(3) + "<a name=\"x\" href=\"http://no.example/\">\n");
  FakeUi ui;
  ui.fileAnswers.push_back(dir.file("page.html"));
  SetDialogFolders({});
  TfrmUrlCheck window(ui);
  EXPECT_EQ(window.windowTitle().toStdString(), "Url Check");
  // The open dialog starts in the documents folder, then where the last page was chosen.
  EXPECT_EQ(window.InitialDir(), UserDocumentsFolder());
  auto* grid = window.findChild<QTableWidget*>("StringGrid1");
  ASSERT_NE(grid, nullptr);
  EXPECT_EQ(grid->rowCount(), 1);  // one empty data row when the window opens
  EXPECT_EQ(grid->columnCount(), 3);

  window.findChild<QPushButton*>("Button1")->click();
  EXPECT_EQ(window.findChild<QLineEdit*>("edtUrl")->text().toStdString(), dir.file("page.html"));
  EXPECT_EQ(window.InitialDir(), dir.path());
  ASSERT_EQ(grid->rowCount(), 3);
  EXPECT_EQ(Cell(grid, 1, 0), "http://site1.example/Warez");
  EXPECT_EQ(Cell(grid, 3, 0), "http://site3.example/Warez");

  for (int pass = 0; pass < 2; ++pass) {
    window.findChild<QPushButton*>("btnGo")->click();
    ASSERT_TRUE(WaitForWorkers());
    for (int row = 1; row <= 3; ++row) {
      EXPECT_EQ(Cell(grid, row, 1), std::to_string(row));
      EXPECT_EQ(Cell(grid, row, 2), std::to_string(row + 1));
    }
  }
}

TEST(UrlCheckWindow, ASecondFileStartsAtRowOneAndKeepsLaterRows) {
  TempDir dir;
  SetProgramFolder(dir.path());
  WriteFileBytes(dir.file("a.html"), Page(3));
  WriteFileBytes(dir.file("b.html"),
                 "<a href=\"http://b1.example/\">\n<a href=\"http://b2.example/\">\n");
  FakeUi ui;
  ui.fileAnswers.push_back(dir.file("a.html"));
  ui.fileAnswers.push_back(dir.file("b.html"));
  ui.fileAnswers.push_back(std::nullopt);  // cancelled: the dialog still holds b.html
  TfrmUrlCheck window(ui);
  auto* grid = window.findChild<QTableWidget*>("StringGrid1");
  auto* browse = window.findChild<QPushButton*>("Button1");
  browse->click();
  browse->click();
  ASSERT_EQ(grid->rowCount(), 4);  // grows by one row per link after the first, each time
  EXPECT_EQ(Cell(grid, 1, 0), "http://b1.example/");
  EXPECT_EQ(Cell(grid, 2, 0), "http://b2.example/");
  EXPECT_EQ(Cell(grid, 3, 0), "http://site3.example/Warez");
  EXPECT_EQ(Cell(grid, 4, 0), "");
  browse->click();
  EXPECT_EQ(window.findChild<QLineEdit*>("edtUrl")->text().toStdString(), dir.file("b.html"));
  EXPECT_EQ(grid->rowCount(), 5);
}

TEST(UrlCheckWindow, ClosingWhileWorkersRunDropsTheirUpdates) {
  TempDir dir;
  SetProgramFolder(dir.path());
  WriteFileBytes(dir.file("big.html"), Page(500));
  FakeUi ui;
  ui.fileAnswers.push_back(dir.file("big.html"));
  {
    auto window = std::make_unique<TfrmUrlCheck>(ui);
    window->findChild<QPushButton*>("Button1")->click();
    auto* grid = window->findChild<QTableWidget*>("StringGrid1");
    ASSERT_EQ(grid->rowCount(), 500);
    window->findChild<QPushButton*>("btnGo")->click();
    // No worker can finish before this thread runs its update: all 500 are still running when
    // the window goes.
    EXPECT_EQ(UrlCheck::Running(), 500);
    window.reset();
  }
  // The waiting workers' updates now reach a closed window: dropped, and every worker ends.
  EXPECT_TRUE(WaitForWorkers());
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
