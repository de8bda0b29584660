// The main window under the offscreen platform: title and Company submenu, found by objectName.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>

#include "app/Config.h"
#include "app/Include.h"
#include "app/QtUi.h"
#include "app/fMain.h"
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
  EXPECT_EQ(form.windowTitle(), "Quellor - ");

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

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
