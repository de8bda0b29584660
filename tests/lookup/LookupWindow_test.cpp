// The lookup commands in the main window, offscreen: the Tools items and their shortcuts, the
// editable Domain box, the progress window of "Check IPs" with its Cancel button.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/ui/QtUi.h"
#include "app/ui/fMain.h"
#include "data/ui/DBControls.h"
#include "lookup/LookupTestSupport.h"
#include "support/RecordingQtUi.h"
#include "support/ScriptedResolver.h"

using namespace quellor;
using namespace quellor::test;

namespace {

class LookupWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AddSites(folder.dir, {{"http://www.one.site.test/x", "10.0.0.1", 0, 0, "old@x"},
                          {"http://www.two.site.test/", "10.0.0.2", 0, 0, ""},
                          {"http://www.three.site.test/", "10.0.0.3", -1, 0, ""}});
    TDM& dm = folder.Open();
    form = std::make_unique<TForm1>(folder.config, ui);
    ui.SetParent(form.get());
    form->AttachData(&dm.dsCracks);
    form->SetDataModule(&dm);
    form->SetResolver(resolver);
    form->show();
    QApplication::setActiveWindow(form.get());
  }
  void TearDown() override {
    resolver->Release();
    form.reset();
  }
  template <typename T>
  T* Find(const char* name) {
    T* w = form->findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  bool Called(const std::string& line) {
    return std::find(ui.calls.begin(), ui.calls.end(), line) != ui.calls.end();
  }

  TLookupFolder folder;
  std::shared_ptr<TScriptedResolver> resolver = std::make_shared<TScriptedResolver>();
  RecordingQtUi ui;
  std::unique_ptr<TForm1> form;
};

TEST_F(LookupWindowTest, TheFourToolsItemsAreEnabledWithTheirShortcuts) {
  struct Item {
    const char *name, *shortcut;
  } items[] = {
      {"GetIP1", "Ctrl+I"}, {"CheckIPs1", ""}, {"GetEmails1", "Ctrl+E"}, {"SaveISP1", "Ctrl+S"}};
  for (const Item& item : items) {
    QAction* action = form->MenuItem(item.name);
    ASSERT_NE(action, nullptr) << item.name;
    EXPECT_TRUE(action->isEnabled()) << item.name;
    EXPECT_EQ(action->shortcut(), QKeySequence(item.shortcut)) << item.name;
  }
}

TEST_F(LookupWindowTest, TheShortenedDomainBoxIsSavedAndMatchesAnotherSiteOfTheProvider) {
  auto* host = Find<QLineEdit>("edHost");
  EXPECT_FALSE(host->isReadOnly());
  EXPECT_EQ(host->text(), "www.one.site.test");
  host->setFocus();
  host->selectAll();
  QTest::keyClicks(host, "site.test");
  EXPECT_EQ(host->text(), "site.test");
  // An edit of the Emails box that is not yet posted counts.
  auto* emails = Find<TDBEdit>("DBEdit2");
  emails->setFocus();
  emails->selectAll();
  QTest::keyClicks(emails, "abuse@site.test");
  QTest::keyClick(emails, Qt::Key_S, Qt::ControlModifier);
  EXPECT_EQ(IspSnapshot(folder.dir),
            (std::vector<std::pair<std::string, std::string>>{{"site.test", "abuse@site.test"}}));
  // Each command says what it did.
  EXPECT_EQ(ui.calls, std::vector<std::string>{
                          "message: The addresses of site.test were saved as a new provider"});
  ui.calls.clear();

  folder.dm->tblCracks.Post();
  folder.dm->tblCracks.Next();  // Url order: one, three, two
  EXPECT_EQ(host->text(), "www.three.site.test");
  QTest::keyClick(host, Qt::Key_E, Qt::ControlModifier);
  EXPECT_EQ(emails->text(), "abuse@site.test");
  EXPECT_EQ(Snapshot(folder.dir)[1].emails, "abuse@site.test");
  EXPECT_EQ(ui.calls, std::vector<std::string>{"message: The site's addresses are now those of "
                                               "its provider: abuse@site.test"});
  ui.calls.clear();
  // Saved again: the stored addresses are replaced. A domain no provider matches: said so.
  QTest::keyClick(host, Qt::Key_S, Qt::ControlModifier);
  host->selectAll();
  QTest::keyClicks(host, "elsewhere.test");
  QTest::keyClick(host, Qt::Key_E, Qt::ControlModifier);
  EXPECT_EQ(ui.calls, (std::vector<std::string>{
                          "message: The addresses of www.three.site.test were saved as a new "
                          "provider",
                          "message: No provider of the ISP table matches elsewhere.test; the "
                          "site's addresses stay as they were"}));
  EXPECT_EQ(emails->text(), "abuse@site.test");
  ui.calls.clear();
  host->selectAll();
  QTest::keyClicks(host, "site.test");
  QTest::keyClick(host, Qt::Key_S, Qt::ControlModifier);
  EXPECT_EQ(ui.calls, std::vector<std::string>{"message: The addresses of site.test were saved, "
                                               "replacing those stored before"});
}

TEST_F(LookupWindowTest, CtrlIStoresAChangedAddressAndSaysSo) {
  resolver->Answer("www.one.site.test", "10.5.5.5");
  auto* url = Find<TDBEdit>("DBEdit1");
  url->setFocus();
  QTest::keyClick(url, Qt::Key_I, Qt::ControlModifier);
  EXPECT_EQ(ui.calls, std::vector<std::string>{"message: IP has changed!"});
  EXPECT_EQ(Find<TDBEdit>("DBEdit7")->text(), "10.5.5.5");
  EXPECT_EQ(Find<TDBCheckBox>("cbIPChanged")->checkState(), Qt::Unchecked);
  EXPECT_EQ(Snapshot(folder.dir)[0].ip, "10.5.5.5");
  QTest::keyClick(url, Qt::Key_I, Qt::ControlModifier);
  EXPECT_EQ(ui.calls.size(), 1u) << "unchanged: nothing shown";
}

TEST_F(LookupWindowTest, CheckIpsRunsToTheEndAndSaysFinished) {
  resolver->Answer("www.one.site.test", "10.5.5.5");
  resolver->Answer("www.two.site.test", "10.0.0.2");
  form->MenuItem("CheckIPs1")->trigger();
  // It says what it did.
  EXPECT_EQ(ui.calls, std::vector<std::string>{
                          "message: Finished IP check: 3 checked, 1 changed, 0 not found"});
  std::vector<TSite> after = Snapshot(folder.dir);
  EXPECT_EQ(after[0].ip, "10.5.5.5");
  EXPECT_EQ(after[0].ipChanged, 1);
  EXPECT_EQ(after[2].ipChanged, 0);
  // It stands on the last site in Url order, www.two, whose address did not change.
  EXPECT_EQ(Find<TDBEdit>("DBEdit1")->text(), "http://www.two.site.test/");
  EXPECT_EQ(Find<QCheckBox>("cbIPChanged")->checkState(), Qt::Unchecked);
  EXPECT_EQ(form->findChild<QProgressDialog*>("ProgressDialog"), nullptr);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(LookupWindowTest, TheProgressWindowsCancelStopsAWalkWaitingForItsLookups) {
  resolver->Answer("www.one.site.test", "10.5.5.5");
  resolver->Hang();
  int ticks = 0;
  bool clicked = false;
  QTimer timer;
  timer.setInterval(10);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    ++ticks;
    auto* dialog = form->findChild<QProgressDialog*>("ProgressDialog");
    if (!clicked && dialog && dialog->isVisible()) {
      EXPECT_EQ(dialog->windowTitle(), "Check IPs");
      EXPECT_EQ(dialog->maximum(), 3);
      if (auto* cancel = dialog->findChild<QPushButton*>()) {
        clicked = true;
        cancel->click();
      }
    }
  });
  timer.start();
  form->MenuItem("CheckIPs1")->trigger();
  timer.stop();
  EXPECT_TRUE(clicked);
  EXPECT_GE(ticks, 5) << "the window kept handling its events";
  EXPECT_TRUE(ui.calls.empty()) << "no Finished IP check after Cancel";
  EXPECT_EQ(Snapshot(folder.dir)[0].ip, "10.0.0.1");
  EXPECT_EQ(form->findChild<QProgressDialog*>("ProgressDialog"), nullptr);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
