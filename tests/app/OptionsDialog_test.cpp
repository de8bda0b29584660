// The Options dialog and the folder picker as real widgets, offscreen, found by objectName:
// captions, hints and tab order, the login fields, editing each kind of value with OK writing
// exactly those keys, Cancel writing nothing, bad input, the wording choice box and F1.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "app/Config.h"
#include "app/DialogFolders.h"
#include "app/FolderChoice.h"
#include "app/Include.h"
#include "app/ui/FolderPicker.h"
#include "app/ui/QtUi.h"
#include "app/ui/fOptions.h"
#include "platform/Files.h"
#include "support/RecordingQtUi.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

using namespace quellor;
using quellor::test::ReadFileBytes;
using quellor::test::TempDir;
using quellor::test::WriteFileBytes;

namespace {

// The Qt Ui with its boxes recorded instead of shown, and folder answers given beforehand.
class RecordingQtUi : public quellor::test::RecordingQtUi {
 public:
  std::vector<MbResult> answers;
  std::vector<std::optional<std::string>> folders;
  MbResult MessageBox(const std::string& text, const std::string& caption, MbButtons,
                      MbIcon) override {
    calls.push_back("box: " + caption + "|" + text);
    if (answers.empty()) return MbResult::Ok;
    MbResult r = answers.front();
    answers.erase(answers.begin());
    return r;
  }
  std::optional<std::string> SelectFolder(const std::string& title,
                                          const std::string& initialDir) override {
    calls.push_back("folder: " + title + "|" + initialDir);
    if (folders.empty()) return std::nullopt;
    auto r = folders.front();
    folders.erase(folders.begin());
    return r;
  }
};

std::map<std::string, std::string> Keys(const std::string& path) {
  std::map<std::string, std::string> keys;
  std::string section;
  for (const std::string& line : SplitLines(ReadFileBytes(path))) {
    if (!line.empty() && line[0] == '[')
      section = line.substr(1, line.find(']') - 1);
    else if (size_t eq = line.find('='); eq != std::string::npos)
      keys[section + "/" + line.substr(0, eq)] = line.substr(eq + 1);
  }
  return keys;
}

std::vector<std::string> Changed(const std::map<std::string, std::string>& a,
                                 const std::map<std::string, std::string>& b) {
  std::vector<std::string> out;
  for (const auto& [k, v] : b)
    if (!a.count(k) || a.at(k) != v) out.push_back(k);
  return out;
}

class OptionsDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramFolder(dir.path());
    config.ReadLastCompany();
    config.ReadSettings();
    WriteFileBytes(dir.file("noticeFooter.txt"), "Regards,\r\nThe team\r\n");
  }
  std::string SettingsFile() const { return ResolveFileNoCase(dir.path(), "quellor.ini"); }
  template <typename T>
  T* Find(QWidget& dialog, const char* name) {
    T* w = dialog.findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  void Click(QWidget& dialog, const char* button) {
    QTest::mouseClick(Find<QPushButton>(dialog, button), Qt::LeftButton);
  }

  TempDir dir;
  TConfig config;
  RecordingQtUi ui;
};

}  // namespace

TEST_F(OptionsDialogTest, EveryControlByItsNameWithCaptionsHintsAndTabOrder) {
  TfrmOptions dialog(config, ui);
  EXPECT_EQ(dialog.windowTitle(), "Options");
  auto* pages = Find<QTabWidget>(dialog, "PageControl1");
  ASSERT_NE(pages, nullptr);
  EXPECT_EQ(pages->count(), 3);
  EXPECT_EQ(pages->tabText(0), "Mail");
  EXPECT_EQ(pages->tabText(1), "Wording");
  EXPECT_EQ(pages->tabText(2), "Folders");
  EXPECT_EQ(pages->currentIndex(), 0);

  const std::string documents = DefaultKilledSiteFolder();
  struct Box {
    const char *name, *hint, *value;
  } boxes[] = {
      {"HostEdit", "Mail server hostname or IP address", ConfigDefault::HostName},
      {"PortEdit", "Mail server port (should be smtp)", "25"},
      {"FromEdit", "Author's EMail", ConfigDefault::From},
      {"SubjectEdit", "Message subject", ConfigDefault::Subject},
      {"SignOnEdit", "Signon message for the HELO command", ConfigDefault::SignOn},
      {"edTOSSubject", "Message subject", ConfigDefault::TOSSubject},
      {"edLoginID", "", ""},
      {"edPassword", "", ""},
      {"edKilledSiteFolder", "", documents.c_str()},
  };
  for (const Box& b : boxes) {
    auto* e = Find<QLineEdit>(dialog, b.name);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->toolTip(), b.hint) << b.name;
    EXPECT_EQ(e->text(), b.value) << b.name;
  }
  EXPECT_EQ(Find<QLineEdit>(dialog, "edPassword")->echoMode(), QLineEdit::Normal);
  struct Caption {
    const char *name, *text;
  } labels[] = {{"lbHost", "SMTP Host"},
                {"lbPort", "Port"},
                {"lbFrom", "From"},
                {"lbSubject", "Subject"},
                {"lbSign", "Sign"},
                {"lbTOSSubject", "TOS Subject"},
                {"lbLoginID", "LoginID:"},
                {"lbPassword", "Password:"},
                {"lbEditText", "Edit text"},
                {"lbFragment", "Message fragment text"},
                {"lbKilledSiteFolder", "Killed site export folder"}};
  for (const Caption& l : labels) {
    auto* label = Find<QLabel>(dialog, l.name);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), l.text);
  }
  EXPECT_EQ(Find<QCheckBox>(dialog, "ckEnableAuth")->text(), "Enable Authentication");
  EXPECT_EQ(Find<QPushButton>(dialog, "bnSave")->text(), "&Save");
  EXPECT_EQ(Find<QPushButton>(dialog, "bnKilledSites")->text(), "...");
  EXPECT_TRUE(Find<QPushButton>(dialog, "OK")->isDefault());
  EXPECT_EQ(Find<QPushButton>(dialog, "Cancel")->text(), "Cancel");
  auto* memo = Find<QPlainTextEdit>(dialog, "memTextChange");
  EXPECT_EQ(memo->size(), QSize(481, 161));
  EXPECT_TRUE(memo->toPlainText().isEmpty());

  auto* choice = Find<QComboBox>(dialog, "cbWording");
  EXPECT_EQ(choice->currentText(), "[Choose text to edit]");
  EXPECT_EQ(choice->currentIndex(), -1);
  QStringList entries;
  for (int i = 0; i < choice->count(); ++i) entries << choice->itemText(i);
  EXPECT_EQ(entries,
            (QStringList{"Close request", "Link to sites", "Direct link sites", "Cracks", "Serials",
                         "Warez", "Direct links only", "Links only", "USA links only", "TOS",
                         "Tutes", "Forumz", "Toolz", "Porn", "Hackz", "Notice footer"}));

  // Tab order of the Mail page.
  const char* order[] = {"HostEdit",     "PortEdit",     "FromEdit",  "SubjectEdit", "SignOnEdit",
                         "edTOSSubject", "ckEnableAuth", "edLoginID", "edPassword"};
  for (size_t i = 1; i < std::size(order); ++i) {
    QWidget* from = dialog.findChild<QWidget*>(order[i - 1]);
    QWidget* next = from->nextInFocusChain();
    while (next && next->focusPolicy() == Qt::NoFocus) next = next->nextInFocusChain();
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->objectName().toStdString(), order[i]) << "after " << order[i - 1];
  }
}

TEST_F(OptionsDialogTest, TheLoginFieldsFollowTheAuthenticationBoxAndKeepTheirContents) {
  config.LoginID = "me";
  config.Password = "pw";
  TfrmOptions dialog(config, ui);
  dialog.show();
  const char* login[] = {"lbLoginID", "edLoginID", "lbPassword", "edPassword"};
  for (const char* name : login) EXPECT_FALSE(Find<QWidget>(dialog, name)->isEnabled()) << name;
  auto* box = Find<QCheckBox>(dialog, "ckEnableAuth");
  QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(4, box->height() / 2));
  ASSERT_TRUE(box->isChecked());
  for (const char* name : login) EXPECT_TRUE(Find<QWidget>(dialog, name)->isEnabled()) << name;
  QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(4, box->height() / 2));
  for (const char* name : login) EXPECT_FALSE(Find<QWidget>(dialog, name)->isEnabled()) << name;
  EXPECT_EQ(Find<QLineEdit>(dialog, "edLoginID")->text(), "me");
  EXPECT_EQ(Find<QLineEdit>(dialog, "edPassword")->text(), "pw");

  config.Authentication = true;
  TfrmOptions checked(config, ui);
  for (const char* name : login) EXPECT_TRUE(Find<QWidget>(checked, name)->isEnabled()) << name;
}

TEST_F(OptionsDialogTest, EditingEachKindOfValueThenOkWritesExactlyThoseKeys) {
  config.WriteSettings();
  auto before = Keys(SettingsFile());
  {
    TfrmOptions dialog(config, ui);
    dialog.show();
    auto* host = Find<QLineEdit>(dialog, "HostEdit");
    host->selectAll();
    QTest::keyClicks(host, "smtp.example.net");
    auto* port = Find<QLineEdit>(dialog, "PortEdit");
    port->selectAll();
    QTest::keyClicks(port, "2525");
    auto* box = Find<QCheckBox>(dialog, "ckEnableAuth");
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(4, box->height() / 2));

    Find<QTabWidget>(dialog, "PageControl1")->setCurrentIndex(1);
    auto* choice = Find<QComboBox>(dialog, "cbWording");
    auto* memo = Find<QPlainTextEdit>(dialog, "memTextChange");
    choice->setCurrentIndex(9);  // TOS
    EXPECT_EQ(memo->toPlainText(), ToQ(config.TOS));
    memo->setPlainText("first line\n  second \"line\"\nthird");
    Click(dialog, "bnSave");
    choice->setCurrentIndex(15);  // Notice footer
    EXPECT_EQ(memo->toPlainText(), "Regards,\nThe team");
    memo->setPlainText("Kind regards,\nQuellor");
    Click(dialog, "bnSave");
    EXPECT_TRUE(ui.calls.empty()) << ui.calls.front();
    Click(dialog, "OK");
    EXPECT_FALSE(dialog.isVisible());
  }
  EXPECT_EQ(Changed(before, Keys(SettingsFile())),
            (std::vector<std::string>{"Mail/Authentication", "Mail/HostName", "Mail/Port",
                                      "Wording/TOS"}));
  EXPECT_EQ(ReadFileBytes(dir.file("noticeFooter.txt")), "Kind regards,\r\nQuellor\r\n");

  // Reopening shows them, from memory and from the file.
  TConfig fresh;
  fresh.ReadLastCompany();
  fresh.ReadSettings();
  for (TConfig* c : {&config, &fresh}) {
    TfrmOptions dialog(*c, ui);
    EXPECT_EQ(Find<QLineEdit>(dialog, "HostEdit")->text(), "smtp.example.net");
    EXPECT_EQ(Find<QLineEdit>(dialog, "PortEdit")->text(), "2525");
    EXPECT_TRUE(Find<QCheckBox>(dialog, "ckEnableAuth")->isChecked());
    auto* choice = Find<QComboBox>(dialog, "cbWording");
    auto* memo = Find<QPlainTextEdit>(dialog, "memTextChange");
    choice->setCurrentIndex(9);
    // As typed: the saved fragment has no line break after its last line.
    EXPECT_EQ(memo->toPlainText(), "first line\n  second \"line\"\nthird");
    choice->setCurrentIndex(15);
    EXPECT_EQ(memo->toPlainText(), "Kind regards,\nQuellor");
  }
}

TEST_F(OptionsDialogTest, CancelWritesNothing) {
  config.WriteSettings();
  std::string bytes = ReadFileBytes(SettingsFile());
  std::string footer = ReadFileBytes(dir.file("noticeFooter.txt"));
  TfrmOptions dialog(config, ui);
  dialog.show();
  QTest::keyClicks(Find<QLineEdit>(dialog, "HostEdit"), "x");
  QTest::keyClicks(Find<QLineEdit>(dialog, "edKilledSiteFolder"), "y");
  Find<QComboBox>(dialog, "cbWording")->setCurrentIndex(9);
  Find<QPlainTextEdit>(dialog, "memTextChange")->setPlainText("not saved");
  Click(dialog, "Cancel");
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_EQ(ReadFileBytes(SettingsFile()), bytes);
  EXPECT_EQ(ReadFileBytes(dir.file("noticeFooter.txt")), footer);
  EXPECT_EQ(config.HostName, ConfigDefault::HostName);
  EXPECT_EQ(config.TOS.find("not saved"), std::string::npos);
}

TEST_F(OptionsDialogTest, AWordingFragmentEditedButNotSavedIsLostOnOk) {
  TfrmOptions dialog(config, ui);
  dialog.show();
  std::string tos = config.TOS;
  Find<QComboBox>(dialog, "cbWording")->setCurrentIndex(9);
  Find<QPlainTextEdit>(dialog, "memTextChange")->setPlainText("edited only");
  Click(dialog, "OK");
  EXPECT_EQ(config.TOS, tos);
}

TEST_F(OptionsDialogTest, APortThatIsNoIntegerIsRefusedWithTheDialogOpenAndNothingChanged) {
  for (const char* port : {"abc", "65536"}) {
    TConfig c;
    c.ReadLastCompany();
    c.ReadSettings();
    ui.calls.clear();
    TfrmOptions dialog(c, ui);
    dialog.show();
    auto* host = Find<QLineEdit>(dialog, "HostEdit");
    host->setText("new.host");
    Find<QLineEdit>(dialog, "FromEdit")->setText("new@example.org");
    Find<QLineEdit>(dialog, "PortEdit")->setText(port);
    Click(dialog, "OK");
    ASSERT_EQ(ui.calls.size(), 1u);
    EXPECT_EQ(ui.calls[0], std::string("error: '") + port +
                               (port[0] == 'a' ? "' is not a valid integer value"
                                               : "' is not a valid port: use a number from 1 to "
                                                 "65535"));
    // Everything typed stays in the dialog, the focus on the port; nothing is taken or written.
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.focusWidget(), Find<QLineEdit>(dialog, "PortEdit"));
    EXPECT_EQ(host->text(), "new.host");
    EXPECT_EQ(c.HostName, ConfigDefault::HostName);
    EXPECT_EQ(c.From, ConfigDefault::From);
    EXPECT_FALSE(std::filesystem::exists(SettingsFile()));
  }
}

TEST_F(OptionsDialogTest, AValueThatCannotBeStoredIsRefusedAndTheDialogStaysOpen) {
  config.WriteSettings();
  std::string bytes = ReadFileBytes(SettingsFile());
  TfrmOptions dialog(config, ui);
  dialog.show();
  auto* subject = Find<QLineEdit>(dialog, "SubjectEdit");
  subject->setText(QString(5000, 'q'));
  Click(dialog, "OK");
  ASSERT_EQ(ui.calls.size(), 1u);
  EXPECT_EQ(ui.calls[0],
            "error: The value of Subject is too long for the settings file (5000 bytes; at most "
            "2047)");
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(ReadFileBytes(SettingsFile()), bytes);
  EXPECT_EQ(config.Subject, ConfigDefault::Subject);

  // A pasted text keeps its line breaks in a one-line box; stored, they would add lines (and
  // keys) to the settings file.
  ui.calls.clear();
  subject->setText(ToQ(ConfigDefault::Subject));
  auto* host = Find<QLineEdit>(dialog, "HostEdit");
  host->clear();
  QApplication::clipboard()->setText("mail.example.org\n[Mail]\nPort=1");
  host->paste();
  ASSERT_TRUE(host->text().contains('\n'));
  Click(dialog, "OK");
  ASSERT_EQ(ui.calls.size(), 1u);
  EXPECT_EQ(ui.calls[0],
            "error: The value of SMTP Host holds a line break, which the settings file cannot keep "
            "in this setting");
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(ReadFileBytes(SettingsFile()), bytes);
  host->setText(ToQ(ConfigDefault::HostName));

  // Corrected, the same dialog stores the values typed with quotes and blanks exactly.
  ui.calls.clear();
  subject->setText("  \"Notice\" for %url% ");
  Find<QLineEdit>(dialog, "edPassword")->setText(" 'pa ss' ");
  Click(dialog, "OK");
  EXPECT_TRUE(ui.calls.empty());
  EXPECT_FALSE(dialog.isVisible());
  TConfig fresh;
  fresh.ReadLastCompany();
  fresh.ReadSettings();
  EXPECT_EQ(fresh.Subject, "  \"Notice\" for %url% ");
  EXPECT_EQ(fresh.Password, " 'pa ss' ");
}

TEST_F(OptionsDialogTest, TheChoiceBoxLoadsOnlyForATextThatNamesAnEntry) {
  TfrmOptions dialog(config, ui);
  dialog.show();
  auto* choice = Find<QComboBox>(dialog, "cbWording");
  auto* memo = Find<QPlainTextEdit>(dialog, "memTextChange");
  memo->setPlainText("kept");
  choice->setEditText("Crack");
  EXPECT_EQ(memo->toPlainText(), "kept");
  // Save with no entry selected writes the settings and changes no fragment.
  std::string cracks = config.Cracks;
  Click(dialog, "bnSave");
  EXPECT_EQ(config.Cracks, cracks);
  EXPECT_TRUE(std::filesystem::exists(SettingsFile()));
  // Typing a whole entry's name chooses it.
  choice->setEditText("Cracks");
  EXPECT_EQ(memo->toPlainText(), ToQ(cracks));

  // A missing footer file: the error, and the editor keeps its text.
  std::filesystem::remove(dir.file("noticeFooter.txt"));
  choice->setCurrentIndex(15);
  ASSERT_EQ(ui.calls.size(), 1u);
  EXPECT_EQ(ui.calls[0], "error: Cannot open file " + dir.file("noticeFooter.txt"));
  EXPECT_EQ(memo->toPlainText(), ToQ(cracks));
}

TEST_F(OptionsDialogTest, TheFolderButtonOpensThePickerAtTheLastFolderChosenElseTheDocuments) {
  SetDialogFolders({});
  TfrmOptions dialog(config, ui);
  dialog.show();
  auto* folder = Find<QLineEdit>(dialog, "edKilledSiteFolder");
  std::filesystem::create_directories(dir.file("killed"));
  ui.folders.push_back(dir.file("killed"));
  Click(dialog, "bnKilledSites");
  EXPECT_EQ(folder->text().toStdString(), dir.file("killed"));
  ui.folders.push_back(std::string("/srv/killed"));  // a folder that is not there (yet)
  Click(dialog, "bnKilledSites");
  EXPECT_EQ(folder->text(), "/srv/killed");
  Click(dialog, "bnKilledSites");  // cancelled: the box stays
  EXPECT_EQ(folder->text(), "/srv/killed");
  const std::string docs = UserDocumentsFolder();
  EXPECT_EQ(ui.calls,
            (std::vector<std::string>{"folder: Killed site export folder|" + docs,
                                      "folder: Killed site export folder|" + dir.file("killed/"),
                                      "folder: Killed site export folder|" + docs}));
  Click(dialog, "OK");
  EXPECT_EQ(config.KilledSiteFolder, "/srv/killed/");
}

TEST_F(OptionsDialogTest, ThePickerCreatesATypedFolderOnlyWhenTheAnswerIsYes) {
  TFolderPicker picker(ui, nullptr, "Killed site export folder", dir.path());
  EXPECT_EQ(picker.Folder() + "/", dir.path());
  picker.show();
  picker.SetFolderText("exports/2024");
  EXPECT_EQ(picker.Folder(), dir.file("exports/2024"));
  ui.answers = {MbResult::No};
  QTest::mouseClick(picker.findChild<QPushButton*>("OK"), Qt::LeftButton);
  EXPECT_TRUE(picker.isVisible());
  EXPECT_FALSE(std::filesystem::exists(dir.file("exports")));
  ui.answers = {MbResult::Yes};
  QTest::mouseClick(picker.findChild<QPushButton*>("OK"), Qt::LeftButton);
  EXPECT_FALSE(picker.isVisible());
  EXPECT_EQ(picker.result(), QDialog::Accepted);
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("exports/2024")));
  EXPECT_EQ(ui.calls,
            (std::vector<std::string>{std::string("box: Confirm|") + kCreateFolderQuestion,
                                      std::string("box: Confirm|") + kCreateFolderQuestion}));
}

TEST_F(OptionsDialogTest, F1OpensHelpContext40) {
  // A stand-in for the desktop's opener records what it is asked to open.
  TempDir bin;
  std::string log = bin.file("opened.txt");
  WriteFileBytes(bin.file("xdg-open"), "#!/bin/sh\necho \"$1\" >> '" + log + "'\n");
  ASSERT_EQ(chmod(bin.file("xdg-open").c_str(), 0755), 0);
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (bin.path() + ":" + path).c_str(), 1);
  {
    TfrmOptions dialog(config, ui);
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    QTest::keyClick(Find<QLineEdit>(dialog, "HostEdit"), Qt::Key_F1);
    quellor::test::WaitUntil([&] { return ReadFileBytes(log).ends_with("\n"); });
  }
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(ReadFileBytes(log), "file://" + dir.path() + "help/context-40.html\n");
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
