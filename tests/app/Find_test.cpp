#include "app/Find.h"

#include <gtest/gtest.h>

#include "store/StoreTb.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

using namespace quellor;
using quellor::test::FakeUi;
using quellor::test::TempDir;

namespace {

class FindTest : public ::testing::Test {
 protected:
  void SetUp() override {
    t.SetDatabaseName(dir.path());
    t.SetTableName("f.DAT");
    t.FieldDefs().Add("Url", TFieldType::String, 60);
    t.FieldDefs().Add("Notes", TFieldType::String, 20);
    t.CreateTable();
    t.Open();
    const char* urls[] = {"http://one.test/", "http://xABCx.test/", "http://two.test/",
                          "http://abc.test/", "http://three.test/"};
    for (const char* u : urls) {
      t.Append();
      t.FieldByName("Url").SetAsString(u);
      t.FieldByName("Notes").SetAsString(std::string("note ") + u[7]);
      t.Post();
    }
  }
  std::string Url() { return t.FieldByName("Url").AsString(); }
  int Messages() const {
    int n = 0;
    for (const auto& c : ui.calls) n += c == "message: No matches found";
    return n;
  }

  TempDir dir;
  TStoreTable t;
  FakeUi ui;
  TFinder finder;
};

}  // namespace

TEST_F(FindTest, StepsThroughMatchesInAnyCaseThenReportsTheEnd) {
  finder.FindFirst(t);
  TFindOptions o{"  abc ", true, false};
  EXPECT_TRUE(finder.SearchStep(t, 0, o, ui));
  EXPECT_EQ(Url(), "http://xABCx.test/");
  EXPECT_TRUE(finder.SearchStep(t, 0, o, ui));
  EXPECT_EQ(Url(), "http://abc.test/");
  EXPECT_FALSE(finder.SearchStep(t, 0, o, ui));
  EXPECT_EQ(Url(), "http://abc.test/");  // the last match stays current
  EXPECT_EQ(Messages(), 1);

  o.matchCase = true;  // now only the lower-case one matches, searching up from here
  o.down = false;
  finder.FindFirst(t);
  t.Last();
  EXPECT_TRUE(finder.SearchStep(t, 0, {"abc", false, true}, ui));
  EXPECT_EQ(Url(), "http://abc.test/");
  EXPECT_FALSE(finder.SearchStep(t, 0, {"abc", false, true}, ui));
  EXPECT_EQ(Url(), "http://abc.test/");
}

TEST_F(FindTest, FlagsEndTheStepBeforeAnyComparison) {
  finder.FindFirst(t);  // at-start is set
  EXPECT_FALSE(finder.SearchStep(t, 0, {"one", false, false}, ui));
  EXPECT_EQ(Url(), "http://one.test/");
  EXPECT_EQ(Messages(), 1);

  TFinder fresh;
  t.Last();  // at-end is set and no step ran yet: the last record is not compared
  EXPECT_FALSE(fresh.SearchStep(t, 0, {"three", true, false}, ui));
  EXPECT_EQ(Url(), "http://three.test/");
  EXPECT_EQ(Messages(), 2);
}

TEST_F(FindTest, EmptyOrBlankTextNeverMatches) {
  for (const char* text : {"", "   "}) {
    finder.FindFirst(t);
    EXPECT_FALSE(finder.SearchStep(t, 0, {text, true, false}, ui));
    EXPECT_EQ(Url(), "http://one.test/");
  }
  EXPECT_EQ(Messages(), 2);
}

TEST_F(FindTest, ComparesTheSelectedColumn) {
  finder.FindFirst(t);
  EXPECT_TRUE(finder.SearchStep(t, 1, {"NOTE T", true, false}, ui));
  EXPECT_EQ(Url(), "http://two.test/");
  EXPECT_EQ(FindNeedle(" a b ", false), "A B");
  EXPECT_EQ(FindNeedle("\xc3\xa9x", false), "\xc3\xa9X");  // only a to z are upper-cased
}
