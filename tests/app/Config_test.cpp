#include "app/Config.h"

#include <gtest/gtest.h>

#include "app/Include.h"
#include "platform/IniFile.h"
#include "platform/Locale.h"
#include "support/TempDir.h"

using namespace quellor;
using quellor::test::ReadFileBytes;
using quellor::test::TempDir;
using quellor::test::WriteFileBytes;

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramFolder(dir.path());
    Locale::Override(LocaleInfo{});
  }
  void TearDown() override { Locale::Override(std::nullopt); }
  TempDir dir;
  TConfig config;
};

}  // namespace

TEST_F(ConfigTest, NewObjectIsEmptyAndMissingFileGivesEveryDefault) {
  EXPECT_TRUE(config.Company.empty());
  EXPECT_EQ(config.Port, 0);
  EXPECT_FALSE(config.Authentication);
  config.IPChangedFilter = "True";
  config.PriorityFilter = "2";
  config.ReadLastCompany();
  config.ReadSettings();
  EXPECT_EQ(config.Company, "");
  EXPECT_EQ(config.KilledFilter, "False");
  EXPECT_EQ(config.IPChangedFilter, "True");  // untouched
  EXPECT_EQ(config.PriorityFilter, "2");
  EXPECT_EQ(config.HostName, ConfigDefault::HostName);
  EXPECT_EQ(config.Port, 25);
  EXPECT_EQ(config.Subject, "Software piracy notice: %url%");
  EXPECT_EQ(config.TOSSubject, "Possible TOS violation: %url%");
  EXPECT_EQ(config.SignOn, "Quellor");
  EXPECT_EQ(config.LoginID, "");
  EXPECT_DOUBLE_EQ(config.SiteVer, 1);
  EXPECT_EQ(config.CloseRequest, "Please shut down this site:");
  EXPECT_EQ(config.USALinksOnly,
            "The hypertext links are \"Information Location Tools\" as described in, and "
            "proscribed by, Section 512(d) of Title 17, United States Code.");
  EXPECT_EQ(config.Hackz,
            "providing information on how to break into computer systems for malicious purposes");
  EXPECT_TRUE(ReadFileBytes(dir.file("Quellor.Ini")).empty());  // nothing created
}

TEST_F(ConfigTest, ValuesThatDoNotConvertGiveDefaults) {
  struct Case {
    const char* file;
    int port;
    bool auth;
    double siteVer;
    char sep;
  } cases[] = {
      {"[Mail]\nPort=0x19\n", 25, false, 1, '.'},
      {"[Mail]\nPort=abc\n", 25, false, 1, '.'},
      {"[Mail]\nPort=2525\nAuthentication=2\n", 2525, true, 1, '.'},
      {"[Mail]\nAuthentication=yes\n", 25, false, 1, '.'},
      {"[Data]\nSiteVer=1.5\n", 25, false, 1.5, '.'},
      {"[Data]\nSiteVer=1.5\n", 25, false, 1, ','},
      {"[Data]\nSiteVer=1,25\n", 25, false, 1.25, ','},
  };
  for (const auto& c : cases) {
    LocaleInfo info;
    info.decimalSeparator = c.sep;
    Locale::Override(info);
    WriteFileBytes(dir.file("Quellor.ini"), c.file);
    config.ReadSettings();
    EXPECT_EQ(config.Port, c.port) << c.file;
    EXPECT_EQ(config.Authentication, c.auth) << c.file;
    EXPECT_DOUBLE_EQ(config.SiteVer, c.siteVer) << c.file;
  }
}

TEST_F(ConfigTest, AuthenticationTwoIsWrittenBackAsOne) {
  WriteFileBytes(dir.file("Quellor.ini"), "[Mail]\nAuthentication=2\n");
  config.ReadSettings();
  config.WriteSettings();
  EXPECT_EQ(TIniFile(dir.file("Quellor.ini")).ReadString("Mail", "Authentication", ""), "1");
}

TEST_F(ConfigTest, CompanyFileWithOnlyHostNameGivesEveryOtherDefault) {
  WriteFileBytes(dir.file("QuellorAcme.ini"), "[Mail]\nHostName=smtp.acme.test\n");
  config.Company = "Acme";
  config.ReadSettings();
  EXPECT_EQ(config.HostName, "smtp.acme.test");
  EXPECT_EQ(config.Port, 25);
  EXPECT_EQ(config.From, ConfigDefault::From);
  EXPECT_EQ(config.Warez.rfind("making available illegally copied software", 0), 0u);
}

TEST_F(ConfigTest, DefaultCompanyKeepsLastCompanyWhenSettingsAreRewritten) {
  WriteFileBytes(dir.file("Quellor.Ini"), "[Defaults]\r\nLastCompany=\r\n[Mail]\r\nPort=26\r\n");
  config.ReadLastCompany();
  config.ReadSettings();
  config.HostName = "other";
  config.WriteSettings();
  std::string text = ReadFileBytes(dir.file("Quellor.Ini"));
  EXPECT_EQ(text.rfind("[Defaults]\r\nLastCompany=\r\n[Mail]\r\nPort=26\r\nHostName=other\r\n", 0),
            0u)
      << text;
  config.Company = "Zeta";
  config.WriteLastCompany();
  TConfig again;
  again.ReadLastCompany();
  EXPECT_EQ(again.Company, "Zeta");
  again.Company = "";
  again.ReadSettings();
  EXPECT_EQ(again.HostName, "other");
}

TEST_F(ConfigTest, EverySettingRoundTripsIncludingMultiLineWording) {
  config.Company = "Acme";
  config.HostName = "smtp.acme.test";
  config.Port = 587;
  config.From = "\"Acme, Inc.\" <abuse@acme.test>";
  config.Subject = "  padded subject  ";
  config.LoginID = "me";
  config.Password = "p\"w'd";
  config.Authentication = true;
  config.KilledSiteFolder = "/srv/reports/";
  config.SiteVer = 1.25;
  config.CloseRequest = "Line one\r\nLine two with c:\\path\\n kept\r\n\r\nLast";
  config.TOS = "'quoted whole'";
  config.Porn = "";
  config.WriteSettings();

  TConfig back;
  back.Company = "Acme";
  back.ReadSettings();
  EXPECT_EQ(back.HostName, config.HostName);
  EXPECT_EQ(back.Port, 587);
  EXPECT_EQ(back.From, config.From);
  EXPECT_EQ(back.Subject, config.Subject);
  EXPECT_EQ(back.Password, config.Password);
  EXPECT_TRUE(back.Authentication);
  EXPECT_EQ(back.KilledSiteFolder, "/srv/reports/");
  EXPECT_DOUBLE_EQ(back.SiteVer, 1.25);
  EXPECT_EQ(back.CloseRequest, config.CloseRequest);
  EXPECT_EQ(back.TOS, config.TOS);
  EXPECT_EQ(back.Porn, "");
  // One line per key in the file.
  std::string text = ReadFileBytes(dir.file("QuellorAcme.ini"));
  EXPECT_NE(text.find("CloseRequest=Line one\\nLine two with c:\\\\path\\\\n kept\\n\\nLast\r\n"),
            std::string::npos)
      << text;
}

// A fragment never ends with a line break: one written into the file (earlier versions of the
// Options dialog saved one after every edited fragment) is dropped at reading, so the notice gets
// no blank line after the fragment.
TEST_F(ConfigTest, WordingReadsBackWithoutFinalLineBreaks) {
  config.Company = "Acme";
  config.CloseRequest = "Please shut down this site:\r\n";
  config.TOS = "two\r\nlines\r\n\r\n";
  config.Porn = "\r\n";
  config.WriteSettings();
  TConfig back;
  back.Company = "Acme";
  back.ReadSettings();
  EXPECT_EQ(back.CloseRequest, "Please shut down this site:");
  EXPECT_EQ(back.TOS, "two\r\nlines");
  EXPECT_EQ(back.Porn, "");
  EXPECT_EQ(WithoutFinalLineBreaks("a\r\nb\n\r"), "a\r\nb");
}

TEST(ConfigFragments, EncodeDecode) {
  struct Case {
    const char* text;
    const char* stored;
    const char* back;  // what comes back (line breaks become CR LF)
  } cases[] = {
      {"plain", "plain", "plain"},
      {"a\nb", "a\\nb", "a\r\nb"},
      {"a\rb\r\n", "a\\nb\\n", "a\r\nb\r\n"},
      {"c:\\temp\\", "c:\\\\temp\\\\", "c:\\temp\\"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeFragment(c.text), c.stored);
    EXPECT_EQ(DecodeFragment(c.stored), c.back);
  }
  // A file written by hand with single backslashes reads as it stands.
  EXPECT_EQ(DecodeFragment("c:\\temp\\"), "c:\\temp\\");
}
