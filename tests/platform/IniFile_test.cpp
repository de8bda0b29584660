#include "platform/IniFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/Locale.h"
#include "support/TempDir.h"

using namespace quellor;
using quellor::test::ReadFileBytes;
using quellor::test::TempDir;
using quellor::test::WriteFileBytes;
using namespace std::string_literals;

namespace {

struct LocaleGuard {
  explicit LocaleGuard(char sep) {
    LocaleInfo info;
    info.decimalSeparator = sep;
    Locale::Override(info);
  }
  ~LocaleGuard() { Locale::Override(std::nullopt); }
};

}  // namespace

TEST(IniFile, ReadsValuesAsTheFormatDefines) {
  TempDir dir;
  WriteFileBytes(dir.file("s.ini"),
                 "stray=before any section\r\n"
                 "[Mail]\r\n"
                 "Port=0x19\n"
                 "  hostname  =  smtp.example.org  \r"
                 "Quoted=\"  keep inner blanks  \"\r\n"
                 "Single='x'\r\n"
                 "Half=\"open only\r\n"
                 "Hex=0XfF\r\n"
                 "Neg=-12\r\n"
                 "Bad=abc\r\n"
                 "Big=99999999999\r\n"
                 "Auth=2\r\n"
                 "Zero=0\r\n"
                 "Dup=first\r\n"
                 "Dup=second\r\n"
                 "[DATA]\r\n"
                 "SiteVer=1.5\r\n"
                 "Comma=1,5\r\n"
                 "[Mail]\r\n"
                 "Later=ignored, the first section wins\r\n"
                 "[Last]\r\n"
                 "NoBreak=end");
  TIniFile ini(dir.file("s.ini"));
  struct StringCase {
    const char *section, *key, *expected;
  } strings[] = {
      {"mail", "HOSTNAME", "smtp.example.org"},
      {"Mail", "Quoted", "  keep inner blanks  "},
      {"Mail", "Single", "x"},
      {"Mail", "Half", "\"open only"},
      {"Mail", "Dup", "first"},
      {"Mail", "Later", "default"},
      {"Mail", "stray", "default"},
      {"Nope", "Port", "default"},
      {"Last", "NoBreak", "end"},
  };
  for (const auto& c : strings)
    EXPECT_EQ(ini.ReadString(c.section, c.key, "default"), c.expected) << c.key;

  struct IntCase {
    const char* key;
    int32_t expected;
  } ints[] = {{"Port", 25}, {"Hex", 255}, {"Neg", -12}, {"Bad", 25}, {"Big", 25}, {"Missing", 25}};
  for (const auto& c : ints) EXPECT_EQ(ini.ReadInteger("Mail", c.key, 25), c.expected) << c.key;

  EXPECT_TRUE(ini.ReadBool("Mail", "Auth", false));
  EXPECT_FALSE(ini.ReadBool("Mail", "Zero", true));
  EXPECT_TRUE(ini.ReadBool("Mail", "Bad", true));  // not an integer: the default
  {
    LocaleGuard dot('.');
    EXPECT_DOUBLE_EQ(ini.ReadFloat("Data", "SiteVer", 1), 1.5);
    EXPECT_DOUBLE_EQ(ini.ReadFloat("Data", "Comma", 1), 1);
  }
  {
    LocaleGuard comma(',');
    EXPECT_DOUBLE_EQ(ini.ReadFloat("Data", "SiteVer", 1), 1);
    EXPECT_DOUBLE_EQ(ini.ReadFloat("Data", "Comma", 1), 1.5);
  }
}

TEST(IniFile, LongValuesAreCutTo2047Characters) {
  TempDir dir;
  WriteFileBytes(dir.file("s.ini"), "[A]\nK=" + std::string(5000, 'v') + "\n");
  EXPECT_EQ(TIniFile(dir.file("s.ini")).ReadString("A", "K", "").size(), 2047u);
}

TEST(IniFile, WritesInPlaceAtSectionEndOrNewSection) {
  TempDir dir;
  WriteFileBytes(dir.file("s.ini"), "; comment\n[Mail]\nPort=25\nFrom=a@b\n\n[Data]\nSiteVer=1\n");
  TIniFile ini(dir.file("s.ini"));
  ini.WriteInteger("mail", "PORT", 2525);       // replaced where it stands
  ini.WriteString("Mail", "HostName", "smtp");  // appended at the end of its section
  ini.WriteString("Wording", "TOS", "x=y");     // new section at the end
  ini.WriteBool("Mail", "Authentication", true);
  EXPECT_EQ(ReadFileBytes(dir.file("s.ini")),
            "; comment\r\n[Mail]\r\nPORT=2525\r\nFrom=a@b\r\nHostName=smtp\r\n"
            "Authentication=1\r\n\r\n[Data]\r\nSiteVer=1\r\n[Wording]\r\nTOS=x=y\r\n");
  EXPECT_EQ(TIniFile(dir.file("s.ini")).ReadString("Wording", "TOS", ""), "x=y");
}

TEST(IniFile, MissingFileIsCreatedOnWriteButNotOnRead) {
  TempDir dir;
  TIniFile ini(dir.file("new.ini"));
  EXPECT_EQ(ini.ReadString("A", "B", "d"), "d");
  struct stat st;
  EXPECT_NE(stat(dir.file("new.ini").c_str(), &st), 0);
  ini.WriteString("A", "B", "v");
  EXPECT_EQ(ReadFileBytes(dir.file("new.ini")), "[A]\r\nB=v\r\n");
}

TEST(IniFile, FileNamesCompareWithoutCase) {
  TempDir dir;
  WriteFileBytes(dir.file("quellor.ini"), "[Defaults]\nLastCompany=Acme\n");
  TIniFile ini(dir.file("Quellor.Ini"));
  EXPECT_EQ(ini.FileName(), dir.file("quellor.ini"));
  EXPECT_EQ(ini.ReadString("Defaults", "LastCompany", ""), "Acme");
  ini.WriteString("Defaults", "LastCompany", "Beta");
  EXPECT_EQ(TIniFile(dir.file("QUELLOR.INI")).ReadString("Defaults", "LastCompany", ""), "Beta");
}

TEST(IniFile, FailedWriteRaisesUnableToWriteAndKeepsTheFile) {
  TempDir dir;
  // A file without any write bit (checked by mode, so it holds for root too).
  WriteFileBytes(dir.file("ro.ini"), "[A]\nK=old\n");
  chmod(dir.file("ro.ini").c_str(), 0444);
  TIniFile ro(dir.file("ro.ini"));
  try {
    ro.WriteString("A", "K", "new");
    FAIL() << "no error";
  } catch (const EIniWriteError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + dir.file("ro.ini"));
  }
  EXPECT_EQ(ro.ReadString("A", "K", ""), "old");
  EXPECT_EQ(ReadFileBytes(dir.file("ro.ini")), "[A]\nK=old\n");

  // A folder that cannot hold files (here: the "folder" is a plain file).
  WriteFileBytes(dir.file("plain"), "");
  TIniFile bad(dir.file("plain") + "/x.ini");
  EXPECT_THROW(bad.WriteString("A", "K", "v"), EIniWriteError);
}

TEST(IniFile, BadInputReadsWithoutCrash) {
  TempDir dir;
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919) & 0xFF);
  const std::string files[] = {
      binary,
      std::string(1 << 20, '['),
      "[A]\n" + std::string(300000, 'k') + "=" + std::string(300000, 'v'),
      "K=1\nL=2",  // no sections, no final line break
      "[A\nK=1\n]\n[]\n=\n[A]]\nK=\0\x01\n"s,
      "",
  };
  for (const auto& content : files) {
    WriteFileBytes(dir.file("b.ini"), content);
    TIniFile ini(dir.file("b.ini"));
    EXPECT_EQ(ini.ReadInteger("Mail", "Port", 25), 25);
    EXPECT_LE(ini.ReadString("A", std::string(300000, 'k'), "").size(), 2047u);
    ini.WriteString("Mail", "Port", "26");  // writing keeps working too
    EXPECT_EQ(TIniFile(dir.file("b.ini")).ReadInteger("Mail", "Port", 25), 26);
  }
}

TEST(IniFile, FloatFormat) {
  struct Case {
    double value;
    char sep;
    const char* text;
  } cases[] = {{1, '.', "1"},
               {1.5, ',', "1,5"},
               {0.1, '.', "0.1"},
               {123456789012345.0, '.', "123456789012345"},
               {1.0 / 3, '.', "0.333333333333333"}};
  for (const auto& c : cases) {
    EXPECT_EQ(FormatIniFloat(c.value, c.sep), c.text);
    double back = 0;
    ASSERT_TRUE(ParseIniFloat(c.text, c.sep, &back));
    EXPECT_NEAR(back, c.value, 1e-14 * (c.value < 1 ? 1 : c.value));
  }
}
