// Data-aware controls on a real table, with the real widgets offscreen.
#include "data/ui/DBControls.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QToolButton>
#include <cstdio>

#include "data/ui/DBGrid.h"
#include "store/api/StoreTb.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

using namespace quellor;
using quellor::test::FakeUi;
using quellor::test::TempDir;

namespace {

class DBControlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDataControlErrorHandler([this](const std::string& e) { errors.push_back(e); });
    table.SetDatabaseName(dir.path());
    table.SetTableName("sites.DAT");
    table.FieldDefs().Add("Url", TFieldType::String, 125);
    table.FieldDefs().Add("Killed", TFieldType::Boolean);
    table.FieldDefs().Add("Priority", TFieldType::SmallInt);
    table.FieldDefs().Add("DMCAUrls", TFieldType::Blob);
    table.CreateTable();
    table.Open();
    for (int i = 1; i <= 3; ++i) {
      table.Append();
      table.FieldByName("Url").SetAsString("http://site" + std::to_string(i) + ".test/");
      if (i != 2) table.FieldByName("Killed").SetAsBoolean(i == 3);
      table.FieldByName("Priority").SetAsInteger(i);
      table.Post();
    }
    table.First();
    source.SetDataSet(&table);
  }
  void TearDown() override { SetDataControlErrorHandler(nullptr); }

  TempDir dir;
  TStoreTable table;
  TDataSource source;
  std::vector<std::string> errors;
};

}  // namespace

TEST_F(DBControlsTest, EditShowsTheFieldAndTypingPutsTheRecordIntoEditState) {
  TDBEdit url;
  url.SetDataSource(&source);
  url.SetDataField("Url");
  EXPECT_EQ(url.text(), "http://site1.test/");
  EXPECT_TRUE(url.isEnabled());
  EXPECT_EQ(url.maxLength(), 125);

  url.setFocus();
  QTest::keyClick(&url, Qt::Key_End);
  QTest::keyClicks(&url, "x");
  EXPECT_EQ(table.State(), TDataSetState::Edit);
  EXPECT_EQ(url.text(), "http://site1.test/x");  // entering edit state kept the typing

  table.Next();  // moving stores the record
  EXPECT_EQ(url.text(), "http://site2.test/");
  table.First();
  EXPECT_EQ(table.FieldByName("Url").AsString(), "http://site1.test/x");

  url.selectAll();
  QTest::keyClicks(&url, "http://changed.test/");
  table.Cancel();  // Cancel (or Esc in the window) discards it
  EXPECT_EQ(url.text(), "http://site1.test/x");
  EXPECT_EQ(table.FieldByName("Url").AsString(), "http://site1.test/x");
}

TEST_F(DBControlsTest, AValueThatDoesNotConvertStopsThePostAndKeepsTheEdit) {
  TDBEdit priority;
  priority.SetDataSource(&source);
  priority.SetDataField("Priority");
  EXPECT_EQ(priority.text(), "1");
  priority.selectAll();
  QTest::keyClicks(&priority, "abc");  // a box of a whole number takes no letters
  EXPECT_EQ(priority.text(), "1");
  priority.selectAll();
  QTest::keyClicks(&priority, "99999");  // digits past the small whole number's range
  EXPECT_THROW(table.Post(), std::exception);
  EXPECT_EQ(table.State(), TDataSetState::Edit);
  EXPECT_EQ(priority.text(), "99999");
  priority.selectAll();
  QTest::keyClicks(&priority, "7");
  table.Post();
  EXPECT_EQ(table.FieldByName("Priority").AsInteger(), 7);
}

TEST_F(DBControlsTest, CheckBoxShowsNullGreyAndStoresClicks) {
  TDBCheckBox killed("Killed");
  killed.SetDataSource(&source);
  killed.SetDataField("Killed");
  EXPECT_EQ(killed.checkState(), Qt::Unchecked);
  table.Next();
  EXPECT_EQ(killed.checkState(), Qt::PartiallyChecked);  // NULL
  killed.click();
  EXPECT_EQ(killed.checkState(), Qt::Checked);
  EXPECT_EQ(table.State(), TDataSetState::Edit);
  EXPECT_TRUE(table.FieldByName("Killed").AsBoolean());
  killed.click();
  EXPECT_EQ(killed.checkState(), Qt::Unchecked);
  table.Post();
  EXPECT_FALSE(table.FieldByName("Killed").IsNull());
  EXPECT_FALSE(table.FieldByName("Killed").AsBoolean());
}

TEST_F(DBControlsTest, MemoEditsTheBlobWithCrLfLines) {
  TDBMemo memo;
  memo.SetDataSource(&source);
  memo.SetDataField("DMCAUrls");
  EXPECT_TRUE(memo.toPlainText().isEmpty());
  memo.setFocus();
  QTest::keyClicks(&memo, "a");
  QTest::keyClick(&memo, Qt::Key_Return);
  QTest::keyClicks(&memo, "b");
  table.Post();
  EXPECT_EQ(table.FieldByName("DMCAUrls").AsString(), "a\r\nb");
  table.Next();
  table.Prior();
  EXPECT_EQ(memo.toPlainText(), "a\nb");
}

TEST_F(DBControlsTest, TabLeavesTheMemoAndCtrlTabInsertsATab) {
  QWidget window;
  auto* memo = new TDBMemo(&window);
  auto* after = new QLineEdit(&window);
  memo->SetDataSource(&source);
  memo->SetDataField("DMCAUrls");
  window.show();
  QApplication::setActiveWindow(&window);
  memo->setFocus();
  QTest::keyClicks(memo, "a");
  QTest::keyClick(memo, Qt::Key_Tab, Qt::ControlModifier);
  QTest::keyClicks(memo, "b");
  EXPECT_EQ(memo->toPlainText(), "a\tb");
  QTest::keyClick(memo, Qt::Key_Tab);
  EXPECT_EQ(memo->toPlainText(), "a\tb");
  EXPECT_TRUE(after->hasFocus());
}

TEST_F(DBControlsTest, ControlsDetachAndReattach) {
  TDBEdit url;
  url.SetDataSource(&source);
  url.SetDataField("Url");
  source.SetDataSet(nullptr);
  EXPECT_EQ(url.text(), "");
  EXPECT_FALSE(url.isEnabled());
  table.Last();
  source.SetDataSet(&table);
  EXPECT_EQ(url.text(), "http://site3.test/");
  source.SetEnabled(false);
  table.First();
  EXPECT_EQ(url.text(), "http://site3.test/");
  source.SetEnabled(true);
  EXPECT_EQ(url.text(), "http://site1.test/");
}

TEST_F(DBControlsTest, TypingIntoAnEmptyViewStartsANewRecordAndKeepsTheKey) {
  table.First();
  while (!table.IsEmpty()) table.Delete();
  TDBEdit url;
  url.SetDataSource(&source);
  url.SetDataField("Url");
  url.setFocus();
  QTest::keyClicks(&url, "http://new.test/");
  EXPECT_TRUE(errors.empty()) << errors.front();
  EXPECT_EQ(table.State(), TDataSetState::Insert);
  EXPECT_EQ(url.text(), "http://new.test/");
  table.Post();
  EXPECT_EQ(table.RecordCount(), 1);
  EXPECT_EQ(table.FieldByName("Url").AsString(), "http://new.test/");
}

TEST_F(DBControlsTest, NavigatorArrowsStayEnabledWhileEditingAndMovingStoresTheEdit) {
  FakeUi ui;
  TDBNavigator nav(ui);
  nav.SetDataSource(&source);
  table.Edit();
  table.FieldByName("Priority").SetAsInteger(42);
  for (auto b : {TDBNavigator::nbNext, TDBNavigator::nbLast})
    EXPECT_TRUE(nav.ButtonWidget(b)->isEnabled()) << b;
  EXPECT_FALSE(nav.ButtonWidget(TDBNavigator::nbPrior)->isEnabled());  // at the first record
  nav.BtnClick(TDBNavigator::nbNext);
  EXPECT_EQ(table.State(), TDataSetState::Browse);
  table.First();
  EXPECT_EQ(table.FieldByName("Priority").AsInteger(), 42);
}

TEST_F(DBControlsTest, NavigatorMovesAndAsksBeforeDeleting) {
  FakeUi ui;
  TDBNavigator nav(ui);
  nav.SetDataSource(&source);
  EXPECT_EQ(nav.ButtonWidget(TDBNavigator::nbNext)->toolTip(), "Next record");
  EXPECT_FALSE(nav.ButtonWidget(TDBNavigator::nbPost)->isEnabled());
  nav.BtnClick(TDBNavigator::nbLast);
  EXPECT_EQ(table.FieldByName("Priority").AsInteger(), 3);
  EXPECT_FALSE(nav.ButtonWidget(TDBNavigator::nbNext)->isEnabled());

  ui.boxAnswers.push_back(MbResult::Cancel);
  nav.BtnClick(TDBNavigator::nbDelete);
  EXPECT_EQ(table.RecordCount(), 3);
  ASSERT_EQ(ui.calls.size(), 1u);
  EXPECT_EQ(ui.calls[0], "box: Quellor|Delete record?");
  ui.boxAnswers.push_back(MbResult::Ok);
  nav.BtnClick(TDBNavigator::nbDelete);
  EXPECT_EQ(table.RecordCount(), 2);

  nav.BtnClick(TDBNavigator::nbInsert);
  EXPECT_EQ(table.State(), TDataSetState::Insert);
  EXPECT_TRUE(nav.ButtonWidget(TDBNavigator::nbPost)->isEnabled());
  nav.BtnClick(TDBNavigator::nbCancel);
  EXPECT_EQ(table.State(), TDataSetState::Browse);
}

TEST_F(DBControlsTest, GridReadsPagesOnDemandAndFollowsTheCurrentRecord) {
  for (int i = 4; i <= 1000; ++i) {
    table.Append();
    table.FieldByName("Url").SetAsString("http://site" + std::to_string(i) + ".test/");
    table.Post();
  }
  table.First();
  TDBGrid grid;
  grid.resize(600, 300);
  grid.SetDataSource(&source);
  TDataSetModel* model = grid.Model();
  EXPECT_EQ(model->columnCount(), 4);
  EXPECT_EQ(model->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), "Url");
  EXPECT_EQ(model->rowCount(), 1000);
  EXPECT_EQ(model->data(model->index(0, 0), Qt::DisplayRole).toString(), "http://site1.test/");
  EXPECT_EQ(model->PagesRead(), 1);
  EXPECT_EQ(model->data(model->index(999, 0), Qt::DisplayRole).toString(), "http://site1000.test/");
  EXPECT_EQ(model->PagesRead(), 2);

  table.Last();
  EXPECT_EQ(grid.currentIndex().row(), 999);
  grid.setCurrentIndex(model->index(10, 0));
  EXPECT_EQ(table.FieldByName("Url").AsString(), "http://site11.test/");
  EXPECT_TRUE(table.Eof() == false);
}

namespace {

// A grid over 2,000 sites behind a filter that leaves out every fifth (Priority 4): 1,600 rows,
// so that every position is a walk through the records.
class GridTest : public ::testing::Test {
 protected:
  static constexpr int kRows = 1600;
  void SetUp() override {
    SetDataControlErrorHandler([this](const std::string& e) { errors.push_back(e); });
    table.SetDatabaseName(dir.path());
    table.SetTableName("sites.DAT");
    table.FieldDefs().Add("Url", TFieldType::String, 125);
    table.FieldDefs().Add("E-mails", TFieldType::String, 40);
    table.FieldDefs().Add("Killed", TFieldType::Boolean);
    table.FieldDefs().Add("Priority", TFieldType::SmallInt);
    table.IndexDefs().Add("", "Url", IndexOption::Primary);
    table.CreateTable();
    table.Open();
    for (int i = 0; i < 2000; ++i) {
      table.Append();
      table.FieldByName("Url").SetAsString(Url(i));
      table.FieldByName("E-mails").SetAsString(std::string("m") + char('a' + (i * 7) % 13));
      if (i % 3 != 2) table.FieldByName("Killed").SetAsBoolean(i % 3 == 0);
      table.FieldByName("Priority").SetAsInteger(i % 5);
      table.Post();
    }
    table.SetFilter("Priority <> 4");
    table.SetFiltered(true);
    table.First();
    source.SetDataSet(&table);
    grid.resize(700, 300);
    grid.SetDataSource(&source);
    grid.show();
    model = grid.Model();
  }
  void TearDown() override { SetDataControlErrorHandler(nullptr); }
  static std::string Url(int i) {
    char url[40];
    std::snprintf(url, sizeof url, "http://site%04d.test/", i);
    return url;
  }
  std::string Current(const char* field) { return table.FieldByName(field).AsString(); }
  QString Cell(int row, int column) { return model->index(row, column).data().toString(); }

  TempDir dir;
  TStoreTable table;
  TDataSource source;
  TDBGrid grid;
  TDataSetModel* model = nullptr;
  std::vector<std::string> errors;
};

}  // namespace

TEST_F(GridTest, LastAndCtrlEndShowTheLastPageWithoutReadingEveryRecordAgain) {
  ASSERT_EQ(model->rowCount(), kRows);
  EXPECT_EQ(Cell(0, 0), "http://site0000.test/");
  int fullReads = model->FullReads();
  int pages = model->PagesRead();

  table.Last();
  EXPECT_EQ(grid.currentIndex().row(), kRows - 1);
  EXPECT_TRUE(grid.selectionModel()->isRowSelected(kRows - 1, {}));
  EXPECT_EQ(Cell(kRows - 1, 0), "http://site1998.test/");
  table.Prior();
  EXPECT_EQ(grid.currentIndex().row(), kRows - 2);
  table.First();
  EXPECT_EQ(grid.currentIndex().row(), 0);

  grid.setFocus();
  QTest::keyClick(&grid, Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(Current("Url"), "http://site1998.test/");
  EXPECT_EQ(grid.currentIndex().row(), kRows - 1);

  // Moves neither count the records again nor read more than the pages they show.
  EXPECT_EQ(model->FullReads(), fullReads);
  EXPECT_LE(model->PagesRead() - pages, 3);
  EXPECT_TRUE(errors.empty());
}

TEST_F(GridTest, ChangesOfTheRecordsAreShown) {
  table.MoveBy(5);
  int row = grid.currentIndex().row();
  ASSERT_EQ(row, 5);
  table.Edit();
  table.FieldByName("E-mails").SetAsString("changed");
  EXPECT_EQ(Cell(row, 1), "changed");  // the edit buffer
  table.Post();
  EXPECT_EQ(Cell(row, 1), "changed");
  table.Delete();
  EXPECT_EQ(model->rowCount(), kRows - 1);
  EXPECT_EQ(Cell(row, 0), QString::fromStdString(Current("Url")));

  // Another cursor's change shows once this one refreshes.
  TStoreTable other;
  other.SetDatabaseName(dir.path());
  other.SetTableName("sites.DAT");
  other.Open();
  other.Edit();
  other.FieldByName("E-mails").SetAsString("other");
  other.Post();
  table.Refresh();
  EXPECT_EQ(Cell(0, 1), "other");
  EXPECT_EQ(grid.currentIndex().row(), row);
}

TEST_F(GridTest, HeaderClicksSortAscendingDescendingThenBackAndTheSiteStaysCurrent) {
  QHeaderView* header = grid.horizontalHeader();
  auto click = [&](int section) {
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(section) + 5, header->height() / 2));
  };
  table.MoveBy(7);
  std::string url = Current("Url");

  click(1);
  EXPECT_EQ(model->Sort(), TGridSort::Ascending);
  EXPECT_TRUE(header->isSortIndicatorShown());
  EXPECT_EQ(header->sortIndicatorSection(), 1);
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
  ASSERT_EQ(model->rowCount(), kRows);
  for (int r = 1; r < kRows; r += 37) EXPECT_LE(Cell(r - 1, 1), Cell(r, 1)) << r;
  EXPECT_EQ(Cell(0, 1), "ma");
  EXPECT_EQ(Cell(kRows - 1, 1), "mm");
  EXPECT_EQ(Current("Url"), url);
  EXPECT_EQ(Cell(grid.currentIndex().row(), 0).toStdString(), url);

  // Choosing a row moves to its site; editing goes on, and the edited site stays current.
  grid.setCurrentIndex(model->index(3, 0));
  EXPECT_EQ(Current("Url"), Cell(3, 0).toStdString());
  url = Current("Url");
  table.Edit();
  table.FieldByName("E-mails").SetAsString("mz");
  table.Post();
  EXPECT_EQ(Current("Url"), url);
  EXPECT_EQ(grid.currentIndex().row(), kRows - 1);
  EXPECT_EQ(Cell(kRows - 1, 0).toStdString(), url);

  click(1);
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
  EXPECT_EQ(Cell(0, 1), "mz");
  EXPECT_EQ(Cell(1, 1), "mm");
  EXPECT_EQ(grid.currentIndex().row(), 0);

  click(1);
  EXPECT_EQ(model->Sort(), TGridSort::None);
  EXPECT_FALSE(header->isSortIndicatorShown());
  EXPECT_EQ(Cell(0, 0), "http://site0000.test/");
  EXPECT_EQ(Cell(grid.currentIndex().row(), 0).toStdString(), url);
  EXPECT_TRUE(errors.empty());
}

TEST_F(GridTest, AColumnThatLeadsAnIndexSortsInTheIndexOrder) {
  table.MoveBy(2);
  grid.HeaderClicked(0);  // Url, the primary index
  EXPECT_EQ(Cell(0, 0), "http://site0000.test/");
  EXPECT_EQ(Cell(kRows - 1, 0), "http://site1998.test/");
  EXPECT_EQ(grid.currentIndex().row(), 2);
  grid.HeaderClicked(0);
  EXPECT_EQ(model->Sort(), TGridSort::Descending);
  EXPECT_EQ(Cell(0, 0), "http://site1998.test/");
  EXPECT_EQ(Cell(kRows - 1, 0), "http://site0000.test/");
  EXPECT_EQ(grid.currentIndex().row(), kRows - 3);
  EXPECT_EQ(Cell(kRows - 3, 0).toStdString(), Current("Url"));
  grid.HeaderClicked(1);  // another column: ascending by it, the reader back on its own index
  grid.HeaderClicked(1);
  grid.HeaderClicked(1);
  EXPECT_EQ(model->Sort(), TGridSort::None);
  EXPECT_EQ(Cell(kRows - 1, 0), "http://site1998.test/");
  EXPECT_EQ(Cell(500, 0).toStdString(), Url(500 / 4 * 5 + 500 % 4));
  EXPECT_TRUE(errors.empty());
}

TEST_F(GridTest, BooleansAreCheckBoxesThatAClickChanges) {
  // Rows 0, 1, 2 are sites 0, 1, 2: killed, not killed, empty.
  EXPECT_EQ(model->index(0, 2).data(Qt::CheckStateRole).toInt(), Qt::Checked);
  EXPECT_EQ(model->index(1, 2).data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
  EXPECT_EQ(model->index(2, 2).data(Qt::CheckStateRole).toInt(), Qt::PartiallyChecked);
  EXPECT_FALSE(model->index(0, 2).data(Qt::DisplayRole).isValid());
  EXPECT_TRUE(model->flags(model->index(0, 2)) & Qt::ItemIsUserCheckable);
  EXPECT_FALSE(model->flags(model->index(0, 1)) & Qt::ItemIsUserCheckable);

  // A click on the box of row 1: that site becomes current, goes into editing, and is killed.
  QStyleOptionViewItem option;
  option.initFrom(&grid);
  option.rect = grid.visualRect(model->index(1, 2));
  option.features = QStyleOptionViewItem::HasCheckIndicator;
  QRect box = grid.style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, &grid);
  QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, box.center());
  EXPECT_EQ(Current("Url"), "http://site0001.test/");
  EXPECT_EQ(table.State(), TDataSetState::Edit);
  EXPECT_TRUE(table.FieldByName("Killed").AsBoolean());
  EXPECT_EQ(model->index(1, 2).data(Qt::CheckStateRole).toInt(), Qt::Checked);
  table.Post();
  EXPECT_EQ(model->index(1, 2).data(Qt::CheckStateRole).toInt(), Qt::Checked);

  // A table that cannot be written shows the boxes without letting a click change them.
  TStoreTable readOnly;
  readOnly.SetDatabaseName(dir.path());
  readOnly.SetTableName("sites.DAT");
  readOnly.SetReadOnly(true);
  readOnly.Open();
  TDataSource readOnlySource(&readOnly);
  TDBGrid other;
  other.SetDataSource(&readOnlySource);
  EXPECT_FALSE(other.Model()->flags(other.Model()->index(0, 2)) & Qt::ItemIsUserCheckable);
  EXPECT_FALSE(
      other.Model()->setData(other.Model()->index(0, 2), Qt::Unchecked, Qt::CheckStateRole));
  EXPECT_TRUE(errors.empty());
}

TEST_F(GridTest, TheUrlColumnIsWideEnoughForItsText) {
  int text = grid.fontMetrics().horizontalAdvance("http://site0000.test/");
  EXPECT_GE(grid.columnWidth(0), text);
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
