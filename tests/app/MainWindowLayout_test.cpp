// The main window's layout at a scale of 1.5 (offscreen): it fits a 1280x800 screen, uses the
// desktop's font, scrolls its form and draws its tool strip and navigator with icons.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFrame>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QTabWidget>
#include <QToolButton>
#include <QtMath>
#include <memory>

#include "app/Config.h"
#include "app/Include.h"
#include "app/ui/QtUi.h"
#include "app/ui/fMain.h"
#include "app/ui/fOptions.h"
#include "data/DataMod.h"
#include "data/SiteTables.h"
#include "data/ui/DBControls.h"
#include "support/TempDir.h"

using namespace quellor;
using quellor::test::TempDir;

namespace {

class LayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramFolder(dir.path());
    CreateProgramTables(dir.path());
    config.KilledFilter = "False";
    dm = std::make_unique<TDM>(config);
    dm->DataModuleCreate();
    form = std::make_unique<TForm1>(config, ui);
    form->AttachData(&dm->dsCracks);
    form->SetDataModule(dm.get());
    form->show();
  }
  void TearDown() override {
    form.reset();
    dm.reset();
  }

  TempDir dir;
  TConfig config;
  QtUi ui;
  std::unique_ptr<TDM> dm;
  std::unique_ptr<TForm1> form;
};

}  // namespace

TEST_F(LayoutTest, FitsA1280By800ScreenAtScale1Point5) {
  ASSERT_DOUBLE_EQ(form->devicePixelRatioF(), 1.5);
  QSize least = form->minimumSizeHint();
  QSize physical(qCeil(least.width() * 1.5), qCeil(least.height() * 1.5));
  EXPECT_LE(physical.width(), 1280) << least.width() << "x" << least.height();
  EXPECT_LE(physical.height(), 800) << least.width() << "x" << least.height();
  // The window can be made as small as that hint.
  form->resize(least);
  EXPECT_LE(form->width() * 1.5, 1280);
  EXPECT_LE(form->height() * 1.5, 800);
}

TEST_F(LayoutTest, UsesTheDesktopsFontAndScrollsTheForm) {
  EXPECT_EQ(form->font(), QApplication::font());
  auto* scroll = form->findChild<QScrollArea*>("FormScroll");
  ASSERT_NE(scroll, nullptr);
  EXPECT_TRUE(scroll->widgetResizable());
  for (const char* name : {"edHost", "DBEdit1", "DBEdit8", "DBMemo1", "cbKilled"}) {
    auto* box = form->findChild<QWidget*>(name);
    ASSERT_NE(box, nullptr) << name;
    EXPECT_TRUE(scroll->widget()->isAncestorOf(box)) << name;
  }
  // A window lower than the form shows the form's scroll bar.
  form->findChild<QTabWidget*>("PageControl1")->setCurrentIndex(0);
  form->resize(form->minimumSizeHint());
  QApplication::processEvents();
  EXPECT_TRUE(scroll->verticalScrollBar()->isVisible());
  EXPECT_GT(scroll->verticalScrollBar()->maximum(), 0);
}

TEST_F(LayoutTest, ToolStripAndNavigatorUseIconsAndTakeTheirNaturalSize) {
  auto* strip = form->findChild<QFrame*>("Panel1");
  ASSERT_NE(strip, nullptr);
  EXPECT_NE(strip->minimumHeight(), strip->maximumHeight());
  std::vector<QToolButton*> buttons;
  for (const char* name : {"bbtnMail", "sbtnFindFirst", "SpeedButton1", "bnKilled"})
    buttons.push_back(form->findChild<QToolButton*>(name));
  auto* nav = form->findChild<TDBNavigator*>("DBNavigator1");
  ASSERT_NE(nav, nullptr);
  for (int b = TDBNavigator::nbFirst; b <= TDBNavigator::nbRefresh; ++b)
    buttons.push_back(nav->ButtonWidget(static_cast<TDBNavigator::Button>(b)));
  for (QToolButton* button : buttons) {
    ASSERT_NE(button, nullptr);
    EXPECT_FALSE(button->icon().isNull()) << button->objectName().toStdString();
    EXPECT_EQ(button->toolButtonStyle(), Qt::ToolButtonIconOnly);
    EXPECT_NE(button->maximumSize(), button->minimumSize()) << button->objectName().toStdString();
    // The whole icon is shown: the button is at least as large as its hint asks.
    EXPECT_GE(button->height(), button->sizeHint().height()) << button->objectName().toStdString();
    EXPECT_GE(button->width(), button->sizeHint().width()) << button->objectName().toStdString();
  }
}

// The room a window manager's frame takes around a window: a title bar of about 30 pixels and
// thin borders.
const QSize kFrame(2 * 4, 30 + 2 * 4);

TEST_F(LayoutTest, TheWindowAndItsStatusBarFitTheScreenWithAFrame) {
  QScreen* screen = form->screen();
  ASSERT_NE(screen, nullptr);
  QRect free = screen->availableGeometry();
  // 1280x800 at a scale of 1.5.
  EXPECT_EQ(free.size(), QSize(853, 533));
  EXPECT_LE(form->minimumSizeHint().width() + kFrame.width(), free.width());
  EXPECT_LE(form->minimumSizeHint().height() + kFrame.height(), free.height())
      << form->minimumSizeHint().height();
  // A new window opens with its frame inside the free area.
  TForm1 fresh(config, ui);
  fresh.AttachData(&dm->dsCracks);
  // A window's position is that of its frame.
  QRect framed(fresh.pos(), fresh.size() + kFrame);
  EXPECT_TRUE(free.contains(framed))
      << framed.x() << "," << framed.y() << " " << framed.width() << "x" << framed.height();
  fresh.AttachData(nullptr);
}

TEST_F(LayoutTest, ASizeKeptFromALargerScreenIsMadeToFitWithItsFrame) {
  TempDir kept;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                     QString::fromStdString(kept.path()));
  QCoreApplication::setOrganizationName("Ostrel");
  QCoreApplication::setApplicationName("Quellor");
  // The window as it was left on a large screen: 1000x700 at 300,200.
  form->setGeometry(300, 200, 1000, 700);
  form->SaveWindowState();
  TForm1 fresh(config, ui);
  QRect free = fresh.screen()->availableGeometry();
  QRect framed(fresh.pos(), fresh.size() + kFrame);
  EXPECT_TRUE(free.contains(framed))
      << framed.x() << "," << framed.y() << " " << framed.width() << "x" << framed.height();
  QCoreApplication::setOrganizationName("");
  QCoreApplication::setApplicationName("");
}

TEST_F(LayoutTest, TheOptionsDialogFitsTheScreenWithAFrame) {
  TfrmOptions dialog(config, ui, form.get());
  dialog.show();
  QApplication::processEvents();
  QRect free = dialog.screen()->availableGeometry();
  for (int page = 0; page < 3; ++page) {
    dialog.findChild<QTabWidget*>("PageControl1")->setCurrentIndex(page);
    EXPECT_LE(dialog.minimumSizeHint().height() + kFrame.height(), free.height()) << page;
    EXPECT_LE(dialog.height() + kFrame.height(), free.height()) << page;
    EXPECT_LE(dialog.width() + kFrame.width(), free.width()) << page;
  }
  dialog.reject();
}

int main(int argc, char** argv) {
  // One screen of 1280x800 at a scale of 1.5, as a laptop with a scaled desktop shows it.
  TempDir screens;
  quellor::test::WriteFileBytes(
      screens.file("screens.json"),
      R"({"screens": [{"name": "laptop", "x": 0, "y": 0, "width": 1280, "height": 800,)"
      R"( "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
  qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") +
                                 QByteArray::fromStdString(screens.file("screens.json")));
  qputenv("QT_SCALE_FACTOR", "1.5");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
