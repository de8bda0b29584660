// The store's password dialog, offscreen: installed as the session's password handler, it lets
// an encrypted table open once the person typed its password, and Cancel gives up with 10498.
#include "app/ui/StorePw.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <functional>

#include "store/api/StoreTb.h"
#include "support/TempDir.h"

using namespace quellor;
using quellor::test::TempDir;

namespace {

void MakeEncrypted(TStoreSession& session, const TempDir& dir) {
  session.AddPassword("opensesame");
  TStoreTable t(session);
  t.SetDatabaseName(dir.path());
  t.SetTableName("secret.DAT");
  t.FieldDefs().Add("Name", TFieldType::String, 20);
  t.StoreDefs().Encrypted = true;
  t.StoreDefs().Password = "opensesame";
  t.CreateTable();
  t.Open();
  t.Append();
  t.FieldByName("Name").SetAsString("hidden");
  t.Post();
  t.Close();
  session.RemoveAllPasswords();
}

// Works the dialog once it is shown: `act` gets it.
void WhenShown(const std::function<void(TStorePasswordDialog&)>& act) {
  QTimer::singleShot(0, [act] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (auto* dialog = qobject_cast<TStorePasswordDialog*>(w); dialog && dialog->isVisible()) {
        act(*dialog);
        return;
      }
    }
    WhenShown(act);  // not shown yet
  });
}

template <typename T>
T* Child(QWidget& parent, const char* name) {
  T* child = parent.findChild<T*>(name);
  EXPECT_NE(child, nullptr) << name;
  return child;
}

TEST(StorePasswordDialog, TypingThePasswordOpensTheTable) {
  TempDir dir;
  TStoreSession session;
  MakeEncrypted(session, dir);
  InstallStorePasswordDialog(session, nullptr);
  int shown = 0;
  WhenShown([&](TStorePasswordDialog& d) {
    ++shown;
    Child<QLineEdit>(d, "edPassword")->setText("opensesame");
    Child<QPushButton>(d, "btnAdd")->click();
    EXPECT_EQ(Child<QListWidget>(d, "lbPasswords")->count(), 1);
    Child<QPushButton>(d, "btnOK")->click();
  });
  TStoreTable t(session);
  t.SetDatabaseName(dir.path());
  t.SetTableName("secret.DAT");
  t.Open();
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(t.FieldByName("Name").AsString(), "hidden");
  EXPECT_EQ(session.Passwords(), std::vector<std::string>{"opensesame"});
}

TEST(StorePasswordDialog, WrongPasswordAsksAgainAndCancelGivesUp) {
  TempDir dir;
  TStoreSession session;
  MakeEncrypted(session, dir);
  InstallStorePasswordDialog(session, nullptr);
  int shown = 0;
  std::function<void(TStorePasswordDialog&)> answer = [&](TStorePasswordDialog& d) {
    ++shown;
    if (shown == 1) {
      Child<QLineEdit>(d, "edPassword")->setText("wrong");
      Child<QPushButton>(d, "btnOK")->click();  // typed, not added: OK adds it
      WhenShown(answer);
    } else {
      EXPECT_EQ(Child<QListWidget>(d, "lbPasswords")->count(), 1);
      Child<QPushButton>(d, "btnRemoveAll")->click();
      EXPECT_EQ(Child<QListWidget>(d, "lbPasswords")->count(), 0);
      Child<QPushButton>(d, "btnCancel")->click();
    }
  };
  WhenShown(answer);
  TStoreTable t(session);
  t.SetDatabaseName(dir.path());
  t.SetTableName("secret.DAT");
  try {
    t.Open();
    ADD_FAILURE() << "opened without the password";
  } catch (const EStoreEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 10498);
  }
  EXPECT_EQ(shown, 2);
  EXPECT_EQ(session.Passwords(), std::vector<std::string>{"wrong"});  // Cancel keeps the list
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
