// The "Html to Csv" window under the offscreen platform, its controls found by objectName, and
// the main window's two import commands enabled.
#include "transfer/ui/fHtml2Csv.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>

#include "app/ui/QtUi.h"
#include "app/ui/fMain.h"
#include "transfer/ImportTestSupport.h"

using namespace quellor;
using namespace quellor::test;

namespace {

using Html2CsvWindowTest = ImportFixture;

TEST_F(Html2CsvWindowTest, ConvertAndBrowseThroughTheControls) {
  TfrmHtml2Csv window(Target(), ui);
  EXPECT_EQ(window.windowTitle(), "Html to Csv");
  auto* edit = window.findChild<QLineEdit*>("edtFile");
  auto* browse = window.findChild<QPushButton*>("btnBrowse");
  auto* convert = window.findChild<QPushButton*>("btnConvert");
  ASSERT_TRUE(edit && browse && convert);
  EXPECT_EQ(browse->text(), "Browse...");
  EXPECT_EQ(convert->text(), "Convert");

  convert->click();  // empty box
  EXPECT_EQ(ui.calls, std::vector<std::string>{"error: Cannot open file "});

  WriteFileBytes(dir.file("links.htm"), "<a href=\"http://w.test/\">w</a>\r\n");
  ui.fileAnswers.push_back(dir.file("links.htm"));
  browse->click();
  EXPECT_EQ(edit->text(), QString::fromStdString(dir.file("links.htm")));
  ui.calls.clear();
  convert->click();
  EXPECT_EQ(ui.calls, std::vector<std::string>{"message: 1 sites imported"});
  EXPECT_TRUE(Find("http://w.test/"));
}

TEST(MainWindowImport, BothFileMenuItemsAreEnabled) {
  TempDir folder;
  SetProgramFolder(folder.path());
  TConfig config;
  QtUi qtUi;
  TForm1 form(config, qtUi);
  for (const char* name : {"ImportCSVfile1", "ImportHtmlfile1"}) {
    QAction* item = form.MenuItem(name);
    ASSERT_NE(item, nullptr) << name;
    EXPECT_TRUE(item->isEnabled()) << name;
  }
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
