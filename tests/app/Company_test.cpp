#include "app/Company.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "app/Config.h"
#include "app/Include.h"
#include "platform/IniFile.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

using namespace quellor;
using quellor::test::FakeUi;
using quellor::test::ReadFileBytes;
using quellor::test::TempDir;
using quellor::test::WriteFileBytes;

namespace {

class CompanyTest : public ::testing::Test {
 protected:
  void SetUp() override { SetProgramFolder(dir.path()); }

  void StartUp() {
    config.ReadLastCompany();
    config.ReadSettings();
    menu.Build();
  }
  std::set<std::string> CompanyCaptions() const {
    std::set<std::string> s;
    for (size_t i = TCompanyMenu::kFirstCompany; i < menu.Items().size(); ++i)
      s.insert(menu.Items()[i].caption);
    return s;
  }
  int IndexOf(const std::string& caption) const {
    const auto& items = menu.Items();
    for (size_t i = 0; i < items.size(); ++i)
      if (items[i].caption == caption) return static_cast<int>(i);
    return -1;
  }
  std::vector<std::string> Checked() const {
    std::vector<std::string> out;
    for (const auto& i : menu.Items())
      if (i.checked) out.push_back(i.caption);
    return out;
  }
  std::string LastCompanyInFile() const {
    return TIniFile(dir.file("Quellor.Ini")).ReadString("Defaults", "LastCompany", "<none>");
  }

  TempDir dir;
  TConfig config;
  FakeUi ui;
  TCompanyMenu menu{config, ui};
};

}  // namespace

TEST_F(CompanyTest, ListsCompanyFilesWithoutRegardToCase) {
  for (const char* f : {"Quellor.Ini", "QuellorAcme.ini", "QUELLORBeta.INI", "Quellor_x.ini",
                        "QuellorQuellor.ini", "notes.ini", "Quellor.txt", "QuellorGamma.ini.bak"})
    WriteFileBytes(dir.file(f), "");
  StartUp();
  ASSERT_GE(menu.Items().size(), 2u);
  EXPECT_EQ(menu.Items()[0].caption, "&New company");
  EXPECT_EQ(menu.Items()[1].caption, "&Default");
  EXPECT_EQ(CompanyCaptions(), (std::set<std::string>{"Acme", "Beta", "_x", "Quellor"}));
  EXPECT_EQ(Checked(), std::vector<std::string>{"&Default"});
  EXPECT_EQ(menu.Title(), "Quellor - default");
}

TEST_F(CompanyTest, CurrentCompanyIsCheckedOnlyWhenItsCaseMatches) {
  WriteFileBytes(dir.file("Quellor.Ini"), "[Defaults]\nLastCompany=Acme\n");
  WriteFileBytes(dir.file("Quelloracme.ini"), "");
  WriteFileBytes(dir.file("QuellorBeta.ini"), "");
  StartUp();
  EXPECT_EQ(menu.Title(), "Quellor - Acme");
  EXPECT_TRUE(Checked().empty());
  EXPECT_EQ(CompanyCaptions(), (std::set<std::string>{"acme", "Beta"}));
}

TEST_F(CompanyTest, ChoosingAnItemWritesLastCompanyThenReadsItsSettings) {
  WriteFileBytes(dir.file("QuellorBeta.ini"), "[Mail]\nPort=2600\n");
  WriteFileBytes(dir.file("QuellorA&B.ini"), "[Mail]\nPort=2700\n");
  StartUp();
  menu.Choose(IndexOf("Beta"));
  EXPECT_EQ(config.Company, "Beta");
  EXPECT_EQ(config.Port, 2600);
  EXPECT_EQ(menu.Title(), "Quellor - Beta");
  EXPECT_EQ(Checked(), std::vector<std::string>{"Beta"});
  EXPECT_EQ(LastCompanyInFile(), "Beta");

  menu.Choose(IndexOf("A&B"));  // the first "&" is the menu's accelerator marker
  EXPECT_EQ(config.Company, "AB");
  EXPECT_EQ(config.Port, 25);  // "QuellorAB.ini" does not exist
  EXPECT_EQ(LastCompanyInFile(), "AB");

  menu.Default();
  EXPECT_EQ(config.Company, "");
  EXPECT_EQ(menu.Title(), "Quellor - default");
  EXPECT_EQ(Checked(), std::vector<std::string>{"&Default"});
  EXPECT_EQ(LastCompanyInFile(), "");
}

TEST_F(CompanyTest, NewCompany) {
  StartUp();
  size_t items = menu.Items().size();

  ui.inputAnswers.push_back(std::string());  // empty answer: nothing changes, nothing written
  menu.NewCompany();
  ui.inputAnswers.push_back(std::nullopt);  // cancelled
  menu.NewCompany();
  EXPECT_EQ(menu.Title(), "Quellor - default");
  EXPECT_EQ(ReadFileBytes(dir.file("Quellor.Ini")), "");
  EXPECT_EQ(ui.calls[0], "input: New Company|Enter new company name|");

  ui.inputAnswers.push_back(std::string(" Zeta "));  // taken exactly as typed
  config.Port = 9999;
  menu.NewCompany();
  EXPECT_EQ(config.Company, " Zeta ");
  EXPECT_EQ(menu.Title(), "Quellor -  Zeta ");
  EXPECT_EQ(config.Port, 25);
  // The new company is listed and checked at once.
  EXPECT_EQ(menu.Items().size(), items + 1);
  EXPECT_EQ(Checked(), std::vector<std::string>{" Zeta "});
  EXPECT_EQ(LastCompanyInFile(), "Zeta");  // reading trims the blanks
}

TEST_F(CompanyTest, NewCompanyRefusesNamesThatLeaveTheProgramFolder) {
  StartUp();
  for (const std::string& bad :
       std::vector<std::string>{"../evil", "a/b", ".", "..", std::string("a\0b", 3)}) {
    ui.calls.clear();
    ui.inputAnswers.push_back(bad);
    menu.NewCompany();
    ASSERT_EQ(ui.calls.size(), 2u) << bad;
    EXPECT_EQ(ui.calls[1].rfind("error: The company name '", 0), 0u) << ui.calls[1];
    EXPECT_EQ(config.Company, "");
    EXPECT_EQ(menu.Title(), "Quellor - default");
  }
  EXPECT_EQ(ReadFileBytes(dir.file("Quellor.Ini")), "");
  // Names with other odd characters are still allowed: they stay inside the folder.
  ui.inputAnswers.push_back(std::string("..Acme & Co"));
  menu.NewCompany();
  EXPECT_EQ(config.Company, "..Acme & Co");
}

TEST_F(CompanyTest, UnwritableGlobalFileRaisesAfterTitleChangedAndSkipsReading) {
  WriteFileBytes(dir.file("QuellorBeta.ini"), "[Mail]\nPort=2600\n");
  StartUp();
  WriteFileBytes(dir.file("Quellor.Ini"), "[Defaults]\nLastCompany=\n");
  chmod(dir.file("Quellor.Ini").c_str(), 0444);
  try {
    menu.Choose(IndexOf("Beta"));
    FAIL() << "no error";
  } catch (const EIniWriteError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + dir.file("Quellor.Ini"));
  }
  EXPECT_EQ(config.Company, "Beta");
  EXPECT_EQ(menu.Title(), "Quellor - Beta");
  EXPECT_EQ(config.Port, 25);  // Beta's settings were not read
  EXPECT_EQ(LastCompanyInFile(), "");
}
