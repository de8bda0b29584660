// The update check against version files in a temporary program folder.
#include "web/UpdateCheck.h"

#include <gtest/gtest.h>

#include "app/Config.h"
#include "app/Include.h"
#include "platform/Locale.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

using namespace quellor;
using quellor::test::FakeUi;
using quellor::test::TempDir;
using quellor::test::WriteFileBytes;
using namespace std::string_literals;

namespace {

struct Case {
  const char* name;
  char decimalSeparator;
  std::optional<std::string> versionFile;  // nullopt: no file
  double siteVer;
  std::vector<std::string> messages;
  double siteVerAfter;
};

}  // namespace

TEST(UpdateCheck, Cases) {
  const Case cases[] = {
      {"program 1.2 counts as equal",
       '.',
       "[Versions]\r\nQuellorVer=1.2\r\nCrackVer=1\r\n",
       1.0,
       {"message: Your Quellor data is up to date."},
       1.0},
      {"program 1.21 with a decimal comma",
       ',',
       "[Versions]\nQuellorVer=1,21\nCrackVer=1\n",
       1.0,
       {"message: Quellor version 1,21 is now available.",
        "message: Your Quellor data is up to date."},
       1.0},
      {"a point does not read with a decimal comma",
       ',',
       "[Versions]\nQuellorVer=1.5\n",
       1.0,
       {"message: Your Quellor data is up to date."},
       1.0},
      {"CrackVer equal to SiteVer",
       '.',
       "[Versions]\nCrackVer=1.3\n",
       1.3,
       {"message: Your Quellor data is up to date."},
       1.3},
      {"CrackVer greater: both messages, program first",
       '.',
       "[versions]\nquellorver=2\ncrackver=1.4\n",
       1.3,
       {"message: Quellor version 2 is now available.", "message: Quellor data updated"},
       1.4},
      {"SiteVer below 1.0 and no file",
       '.',
       std::nullopt,
       0.5,
       {"message: Quellor data updated"},
       1.0},
      {"no file", '.', std::nullopt, 1.0, {"message: Your Quellor data is up to date."}, 1.0},
      {"binary bytes",
       '.',
       "\x01\xff\xfe[Versions]\0QuellorVer=\x80\x81\n"s,
       1.0,
       {"message: Your Quellor data is up to date."},
       1.0},
      {"huge, NaN and negative versions",
       '.',
       "[Versions]\nQuellorVer=1e999\nCrackVer=nan\n",
       1.0,
       {"message: Your Quellor data is up to date."},
       1.0},
      {"negative versions are simply smaller",
       '.',
       "[Versions]\nQuellorVer=-3\nCrackVer=-1\n",
       1.0,
       {"message: Your Quellor data is up to date."},
       1.0},
      {"a very large finite version",
       '.',
       "[Versions]\nQuellorVer=123456789012345678\n",
       1.0,
       {"message: Quellor version 1.23456789012346e+17 is now available.",
        "message: Your Quellor data is up to date."},
       1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    SetProgramFolder(dir.path());
    LocaleInfo locale;
    locale.decimalSeparator = c.decimalSeparator;
    Locale::Override(locale);
    if (c.versionFile) WriteFileBytes(dir.file("quellorver.ini"), *c.versionFile);
    TConfig config;
    config.SiteVer = c.siteVer;
    FakeUi ui;
    CheckforUpdate1Click(ui, config);
    EXPECT_EQ(ui.calls, c.messages);
    EXPECT_DOUBLE_EQ(config.SiteVer, c.siteVerAfter);
    Locale::Override(std::nullopt);
  }
}

TEST(UpdateCheck, SecondRunAfterAnUpdateIsUpToDate) {
  TempDir dir;
  SetProgramFolder(dir.path());
  WriteFileBytes(dir.file("Quellorver.INI"), "[Versions]\nCrackVer=1.5\n");
  TConfig config;
  config.SiteVer = 1.0;
  FakeUi ui;
  CheckforUpdate1Click(ui, config);
  CheckforUpdate1Click(ui, config);
  EXPECT_EQ(ui.calls, (std::vector<std::string>{"message: Quellor data updated",
                                                "message: Your Quellor data is up to date."}));
  EXPECT_DOUBLE_EQ(config.SiteVer, 1.5);
}
