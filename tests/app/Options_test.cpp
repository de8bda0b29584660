// The Options dialog's logic on a temporary program folder: the port, OK writing exactly the
// changed keys, values that must read back exactly (or be refused), the wording fragments and
// the notice footer, and accepting a folder in the picker.
#include "app/Options.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "app/Config.h"
#include "app/FolderChoice.h"
#include "app/Include.h"
#include "notices/NoticeComposer.h"
#include "platform/Files.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

using namespace quellor;
using quellor::test::FakeUi;
using quellor::test::ReadFileBytes;
using quellor::test::TempDir;
using quellor::test::WriteFileBytes;

namespace {

// The settings file as "Section/Key" -> raw value.
std::map<std::string, std::string> Keys(const std::string& path) {
  std::map<std::string, std::string> keys;
  std::string section;
  for (const std::string& line : SplitLines(ReadFileBytes(path))) {
    if (!line.empty() && line[0] == '[') {
      section = line.substr(1, line.find(']') - 1);
    } else if (size_t eq = line.find('='); eq != std::string::npos) {
      keys[section + "/" + line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return keys;
}

// The keys whose values differ between two readings (also keys only in one of them).
std::vector<std::string> Changed(const std::map<std::string, std::string>& a,
                                 const std::map<std::string, std::string>& b) {
  std::vector<std::string> out;
  for (const auto& [k, v] : b)
    if (!a.count(k) || a.at(k) != v) out.push_back(k);
  for (const auto& [k, v] : a)
    if (!b.count(k)) out.push_back(k);
  return out;
}

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramFolder(dir.path());
    config.ReadLastCompany();
    config.ReadSettings();
  }
  // The default company's settings file, which is the global one ("Quellor.ini").
  std::string SettingsFile() const { return ResolveFileNoCase(dir.path(), "quellor.ini"); }
  // A second Settings object reading the file, as the next start would.
  TConfig Reread() const {
    TConfig c;
    c.ReadLastCompany();
    c.ReadSettings();
    return c;
  }

  TempDir dir;
  TConfig config;
  FakeUi ui;
};

}  // namespace

TEST(PortFromText, IntegersInRangeAreTakenEverythingElseIsRefused) {
  struct Case {
    const char* text;
    int port;  // 0: refused
    const char* error;
  } cases[] = {
      {"25", 25, ""},
      {"  2525", 2525, ""},
      {"0x19", 25, ""},
      {"$19", 25, ""},
      {"+587", 587, ""},
      {"1", 1, ""},
      {"65535", 65535, ""},
      {"abc", 0, "'abc' is not a valid integer value"},
      {"", 0, "'' is not a valid integer value"},
      {"25 ", 0, "'25 ' is not a valid integer value"},
      {"2 5", 0, "'2 5' is not a valid integer value"},
      {"0x", 0, "'0x' is not a valid integer value"},
      {"--5", 0, "'--5' is not a valid integer value"},
      {"99999999999", 0, "'99999999999' is not a valid integer value"},
      {"0", 0, "'0' is not a valid port: use a number from 1 to 65535"},
      {"65536", 0, "'65536' is not a valid port: use a number from 1 to 65535"},
      {"-25", 0, "'-25' is not a valid port: use a number from 1 to 65535"},
  };
  for (const Case& c : cases) {
    if (c.port) {
      EXPECT_EQ(PortFromText(c.text), c.port) << c.text;
      continue;
    }
    try {
      PortFromText(c.text);
      ADD_FAILURE() << "no error for '" << c.text << "'";
    } catch (const EConvertError& e) {
      EXPECT_STREQ(e.what(), c.error);
    }
  }
}

TEST_F(OptionsTest, OkWithoutChangesWritesTheSameValuesEveryTime) {
  TOptionsFields f = OptionsFromSettings(config);
  EXPECT_EQ(f.Port, "25");
  OptionsOk(config, f);
  std::string first = ReadFileBytes(SettingsFile());
  auto keys = Keys(SettingsFile());
  EXPECT_EQ(keys.size(), 26u);
  EXPECT_EQ(keys.count("Mail/LoginID"), 1u);
  EXPECT_EQ(keys.count("Mail/Password"), 1u);
  OptionsOk(config, OptionsFromSettings(config));
  EXPECT_EQ(ReadFileBytes(SettingsFile()), first);
}

TEST_F(OptionsTest, OkWritesExactlyTheChangedKeys) {
  OptionsOk(config, OptionsFromSettings(config));
  auto before = Keys(SettingsFile());
  TOptionsFields f = OptionsFromSettings(config);
  f.HostName = "smtp.example.net";
  f.Port = "2525";
  f.Authentication = true;
  f.LoginID = "me";
  f.KilledSiteFolder = "/srv/reports";
  OptionsOk(config, f);
  auto after = Keys(SettingsFile());
  EXPECT_EQ(Changed(before, after),
            (std::vector<std::string>{"Data/KilledSiteFolder", "Mail/Authentication",
                                      "Mail/HostName", "Mail/LoginID", "Mail/Port"}));
  EXPECT_EQ(after["Mail/Port"], "2525");
  EXPECT_EQ(after["Mail/Authentication"], "1");
  TConfig again = Reread();
  EXPECT_EQ(again.HostName, "smtp.example.net");
  EXPECT_EQ(again.Port, 2525);
  EXPECT_TRUE(again.Authentication);
  EXPECT_EQ(again.LoginID, "me");
  // A folder typed without a final separator is stored with one.
  EXPECT_EQ(again.KilledSiteFolder, "/srv/reports/");

  // Unchecking authentication keeps the login and password; only the flag changes.
  f = OptionsFromSettings(again);
  f.Password = "secret";
  OptionsOk(config, f);
  before = Keys(SettingsFile());
  f.Authentication = false;
  OptionsOk(config, f);
  EXPECT_EQ(Changed(before, Keys(SettingsFile())), std::vector<std::string>{"Mail/Authentication"});
  EXPECT_EQ(Reread().Password, "secret");
}

TEST_F(OptionsTest, APortThatDoesNotConvertTakesOnlyTheHostAndWritesNothing) {
  for (const char* port : {"abc", "70000", "0"}) {
    TConfig c = Reread();
    TOptionsFields f = OptionsFromSettings(c);
    f.HostName = std::string("host-for-") + port;
    f.Port = port;
    f.From = "changed@example.org";
    f.KilledSiteFolder = "/elsewhere/";
    EXPECT_THROW(OptionsOk(c, f), EConvertError) << port;
    EXPECT_EQ(c.HostName, f.HostName);
    EXPECT_EQ(c.Port, 25);
    EXPECT_NE(c.From, f.From);
    EXPECT_NE(c.KilledSiteFolder, f.KilledSiteFolder);
    EXPECT_FALSE(std::filesystem::exists(SettingsFile())) << port;
  }
}

TEST_F(OptionsTest, TypedValuesReadBackExactlyOrAreRefused) {
  const std::string long2047(2047, 'x');
  struct Case {
    const char* what;
    std::string value;
    bool stored;
  } cases[] = {
      {"double quotes around", "\"quoted\"", true},
      {"single quotes around", "'single'", true},
      {"one quote", "\"", true},
      {"quotes inside", "a \"b\" 'c'", true},
      {"mixed quotes around", "'mixed\"", true},
      {"leading blanks", "   leading", true},
      {"trailing blanks", "trailing   ", true},
      {"blanks and quotes", "  \"both\"  ", true},
      {"a tab", "\tx", true},
      {"backslashes", "C:\\new\\table", true},
      {"equals and semicolon", "a=b; c", true},
      {"brackets", "[Mail]", true},
      {"2047 characters", long2047, true},
      {"UTF-8", "Ångström ☃", true},
      {"line break", "first\nsecond", false},
      {"CR LF", "first\r\nsecond", false},
      {"NUL", std::string("a\0b", 3), false},
      {"2048 characters", long2047 + "y", false},
      {"5000 characters", std::string(5000, 'z'), false},
  };
  std::string TOptionsFields::*textFields[] = {
      &TOptionsFields::HostName, &TOptionsFields::From,
      &TOptionsFields::Subject,  &TOptionsFields::TOSSubject,
      &TOptionsFields::SignOn,   &TOptionsFields::LoginID,
      &TOptionsFields::Password, &TOptionsFields::KilledSiteFolder};
  for (const Case& c : cases) {
    for (auto field : textFields) {
      TConfig mem = Reread();
      TOptionsFields f = OptionsFromSettings(mem);
      f.*field = c.value;
      if (field == &TOptionsFields::KilledSiteFolder && c.stored) {
        if (c.value.size() >= 2047) continue;  // the added separator makes it too long: below
        f.*field += "/";
      }
      std::string bytes = ReadFileBytes(SettingsFile());
      if (!c.stored) {
        try {
          OptionsOk(mem, f);
          ADD_FAILURE() << c.what << ": not refused";
        } catch (const EOptionsRefused& e) {
          EXPECT_EQ(std::string(e.what()).rfind("The value of ", 0), 0u) << e.what();
        }
        EXPECT_EQ(ReadFileBytes(SettingsFile()), bytes) << c.what;
        EXPECT_EQ(OptionsFromSettings(mem).HostName, OptionsFromSettings(Reread()).HostName);
        continue;
      }
      OptionsOk(mem, f);
      TOptionsFields back = OptionsFromSettings(Reread());
      EXPECT_EQ(back.*field, f.*field) << c.what;
    }
  }
  // A folder that reaches the limit only with its added separator is refused too.
  TConfig mem = Reread();
  TOptionsFields f = OptionsFromSettings(mem);
  f.KilledSiteFolder = long2047;
  EXPECT_THROW(OptionsOk(mem, f), EOptionsRefused);
}

TEST_F(OptionsTest, ASettingsFileThatCannotBeWrittenRaisesUnableToWrite) {
  OptionsOk(config, OptionsFromSettings(config));
  std::string bytes = ReadFileBytes(SettingsFile());
  ASSERT_EQ(chmod(SettingsFile().c_str(), 0444), 0);
  TOptionsFields f = OptionsFromSettings(config);
  f.HostName = "other";
  try {
    OptionsOk(config, f);
    FAIL() << "no error";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + SettingsFile());
  }
  EXPECT_EQ(ReadFileBytes(SettingsFile()), bytes);
}

TEST_F(OptionsTest, WordingEntriesAndTheEditorText) {
  const std::vector<std::string> expected = {"Close request",
                                             "Link to sites",
                                             "Direct link sites",
                                             "Cracks",
                                             "Serials",
                                             "Warez",
                                             "Direct links only",
                                             "Links only",
                                             "USA links only",
                                             "TOS",
                                             "Tutes",
                                             "Forumz",
                                             "Toolz",
                                             "Porn",
                                             "Hackz",
                                             "Notice footer"};
  EXPECT_EQ(WordingEntries(), expected);
  EXPECT_EQ(WordingEntryOf("TOS"), 9);
  EXPECT_EQ(WordingEntryOf("Notice footer"), kNoticeFooterEntry);
  EXPECT_EQ(WordingEntryOf("tos"), -1);
  EXPECT_EQ(WordingEntryOf(kChooseTextToEdit), -1);

  EXPECT_EQ(WordingEditorText(config, 3), config.Cracks);
  EXPECT_EQ(WordingEditorText(config, -1), std::nullopt);
  config.TOS = "one\r\ntwo\r\n";
  EXPECT_EQ(WordingEditorText(config, 9), "one\ntwo\n");
}

TEST_F(OptionsTest, SavingAFragmentStoresItWithItsLineBreaks) {
  WordingSave(config, 9, "Please note:\nthe site breaks\n\n  your TOS ");
  EXPECT_EQ(config.TOS, "Please note:\r\nthe site breaks\r\n\r\n  your TOS ");
  EXPECT_EQ(Reread().TOS, config.TOS);
  // Saving without editing stores the fragment as it was, however often.
  std::string cracks = config.Cracks;
  WordingSave(config, 3, *WordingEditorText(config, 3));
  EXPECT_EQ(config.Cracks, cracks);
  WordingSave(config, 3, *WordingEditorText(config, 3));
  EXPECT_EQ(config.Cracks, cracks);
  EXPECT_EQ(Reread().Cracks, cracks);
  // Line breaks at the end of the editor's text end the last line and add nothing.
  struct Case {
    const char* editor;
    const char* fragment;
  } cases[] = {
      {"one line\n", "one line"},
      {"one line\r\n\r\n\n", "one line"},
      {"two\nlines\n\n", "two\r\nlines"},
      {"\n", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    WordingSave(config, 0, c.editor);
    EXPECT_EQ(config.CloseRequest, c.fragment) << c.editor;
    EXPECT_EQ(Reread().CloseRequest, c.fragment) << c.editor;
  }
}

// A fragment saved with a final line break (as the dialog did before) reads back without it, and
// the notice has no blank line after it.
TEST_F(OptionsTest, AFinalLineBreakInTheSettingsFileIsDropped) {
  config.CloseRequest = "Please shut down this site:\r\n";
  config.Cracks = "crackz\r\n\r\n";
  config.WriteSettings();
  EXPECT_NE(ReadFileBytes(SettingsFile()).find("CloseRequest=Please shut down this site:\\n\r\n"),
            std::string::npos);
  TConfig back = Reread();
  EXPECT_EQ(back.CloseRequest, "Please shut down this site:");
  EXPECT_EQ(back.Cracks, "crackz");

  TNoticeSite site;
  site.Url = "http://warez.example/";
  site.Cracks = true;
  std::vector<std::string> lines;
  ASSERT_EQ(ComposeNoticeLines(site, back, {"Regards"}, lines), NoticeKind::Infringement);
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  EXPECT_EQ(text.rfind("Please shut down this site:\r\nhttp://warez.example/\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("1)  crackz\r\n\r\nRegards\r\n"), std::string::npos) << text;
}

TEST_F(OptionsTest, SaveWritesEverySettingAlsoWithoutAnEntryAndValuesChangedInMemory) {
  config.SiteVer = 1.5;
  config.HostName = "changed.in.memory";
  WordingSave(config, -1, "ignored");
  TConfig back = Reread();
  EXPECT_EQ(back.HostName, "changed.in.memory");
  EXPECT_EQ(Keys(SettingsFile()).size(), 26u);
}

TEST_F(OptionsTest, FragmentsThatCannotBeStoredAreRefusedAndNothingChanges) {
  WordingSave(config, -1, "");
  std::string bytes = ReadFileBytes(SettingsFile());
  std::string tos = config.TOS;
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"5000 characters", std::string(5000, 'w')},
      // 1024 backslashes are 2048 characters as stored.
      {"backslashes", std::string(1024, '\\')},
      {"many short lines",
       [] {
         std::string s;
         for (int i = 0; i < 700; ++i) s += "ab\n";
         return s;
       }()},
      {"NUL", std::string("a\0b", 3)},
  };
  for (const Case& c : cases) {
    EXPECT_THROW(WordingSave(config, 9, c.text), EOptionsRefused) << c.what;
    EXPECT_EQ(config.TOS, tos) << c.what;
    EXPECT_EQ(ReadFileBytes(SettingsFile()), bytes) << c.what;
  }
  // The longest fragment that fits: 2047 characters.
  WordingSave(config, 9, std::string(2047, 'v'));
  EXPECT_EQ(Reread().TOS, std::string(2047, 'v'));
  EXPECT_THROW(WordingSave(config, 9, std::string(2048, 'v')), EOptionsRefused);
}

TEST_F(OptionsTest, TheNoticeFooterIsReadAndWrittenAsLines) {
  std::string footer = dir.file("noticeFooter.txt");
  try {
    WordingEditorText(config, kNoticeFooterEntry);
    FAIL() << "no error";
  } catch (const EFileError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file " + footer);
  }
  WriteFileBytes(footer, "Regards,\r\nThe team\nline three\r");
  EXPECT_EQ(WordingEditorText(config, kNoticeFooterEntry), "Regards,\nThe team\nline three");
  WordingSave(config, kNoticeFooterEntry, "Thanks,\n  Quellor\n");
  EXPECT_EQ(ReadFileBytes(footer), "Thanks,\r\n  Quellor\r\n");
  // The settings are written as well.
  EXPECT_EQ(Keys(SettingsFile()).size(), 26u);
  // A footer file named in another case is the same file.
  std::filesystem::rename(footer, dir.file("NOTICEFOOTER.TXT"));
  EXPECT_EQ(WordingEditorText(config, kNoticeFooterEntry), "Thanks,\n  Quellor");
}

TEST_F(OptionsTest, AFooterThatCannotBeWrittenLeavesTheSettingsUnwritten) {
  std::string footer = dir.file("noticeFooter.txt");
  WriteFileBytes(footer, "old\r\n");
  ASSERT_EQ(chmod(footer.c_str(), 0444), 0);
  try {
    WordingSave(config, kNoticeFooterEntry, "new");
    FAIL() << "no error";
  } catch (const EFileError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file " + footer);
  }
  EXPECT_EQ(ReadFileBytes(footer), "old\r\n");
  EXPECT_FALSE(std::filesystem::exists(SettingsFile()));
}

TEST_F(OptionsTest, TheFolderPickerOpensAtTheProgramFolder) {
  ui.fileAnswers.push_back(std::string("/srv/out"));
  EXPECT_EQ(BrowseKilledSiteFolder(ui), "/srv/out");
  EXPECT_EQ(ui.calls, std::vector<std::string>{"folder: Killed site export folder"});
  EXPECT_EQ(BrowseKilledSiteFolder(ui), std::nullopt);  // cancelled
}

TEST_F(OptionsTest, AMissingFolderIsCreatedWithItsParentsOnlyWhenTheAnswerIsYes) {
  EXPECT_TRUE(AcceptFolder(ui, dir.path()));
  EXPECT_TRUE(ui.calls.empty());

  std::string nested = dir.file("reports/2024/killed");
  ui.boxAnswers.push_back(MbResult::No);
  EXPECT_FALSE(AcceptFolder(ui, nested));
  EXPECT_FALSE(std::filesystem::exists(dir.file("reports")));
  ui.boxAnswers.push_back(MbResult::Yes);
  EXPECT_TRUE(AcceptFolder(ui, nested));
  EXPECT_TRUE(std::filesystem::is_directory(nested));
  EXPECT_EQ(ui.calls,
            (std::vector<std::string>{std::string("box: Confirm|") + kCreateFolderQuestion,
                                      std::string("box: Confirm|") + kCreateFolderQuestion}));

  // A file of that name, or a folder that cannot be made, keeps the picker open.
  ui.calls.clear();
  WriteFileBytes(dir.file("plain"), "x");
  EXPECT_FALSE(AcceptFolder(ui, dir.file("plain")));
  ui.boxAnswers.push_back(MbResult::Yes);
  EXPECT_FALSE(AcceptFolder(ui, dir.file("plain/sub")));
  ASSERT_EQ(ui.calls.size(), 3u);
  EXPECT_EQ(ui.calls[0], "error: '" + dir.file("plain") + "' is a file, not a folder");
  EXPECT_EQ(ui.calls[2].rfind("error: Cannot create the folder " + dir.file("plain/sub"), 0), 0u)
      << ui.calls[2];
}
