// Data-aware controls on a real table, with the real widgets offscreen.
#include "data/DBControls.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>

#include "data/DBGrid.h"
#include "store/StoreTb.h"
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

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
