#include "app/Find.h"

#include <gtest/gtest.h>

#include "store/api/StoreTb.h"
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

namespace {

// The fake Ui noting the busy cursor as well.
class FeedbackUi : public FakeUi {
 public:
  void BeginBusy() override {
    FakeUi::BeginBusy();
    calls.push_back("busy");
  }
  void EndBusy() override {
    FakeUi::EndBusy();
    calls.push_back("busy end");
  }
};

// A long table and a clock that moves on 100 ms each time it is read, so that a step over it
// takes "seconds".
class LongFindTest : public ::testing::Test {
 protected:
  void SetUp() override {
    t.SetDatabaseName(dir.path());
    t.SetTableName("long.DAT");
    t.FieldDefs().Add("Url", TFieldType::String, 60);
    t.CreateTable();
    t.Open();
    for (int i = 0; i < 3000; ++i) {
      t.Append();
      t.FieldByName("Url").SetAsString("http://site" + std::to_string(i) + ".test/");
      t.Post();
    }
    finder.SetClock([this] {
      fake += std::chrono::milliseconds(100);
      return fake;
    });
    finder.FindFirst(t);
    t.MoveBy(5);
  }
  std::string Url() { return t.FieldByName("Url").AsString(); }

  TempDir dir;
  TStoreTable t;
  FeedbackUi ui;
  TFinder finder;
  TFinder::Clock::time_point fake{};
};

}  // namespace

TEST_F(LongFindTest, ALongStepShowsTheBusyCursorThenProgressAndEndsBoth) {
  EXPECT_FALSE(finder.SearchStep(t, 0, {"no such text", true, false}, ui));
  std::vector<std::string> expected = {"busy", "progress: Find|0", "progress end", "busy end",
                                       "message: No matches found"};
  EXPECT_EQ(ui.calls, expected);
  EXPECT_GE(ui.progressSteps, 5);
  EXPECT_EQ(ui.busyDepth, 0);
  EXPECT_FALSE(finder.Cancelled());
  EXPECT_EQ(Url(), "http://site5.test/");
}

TEST_F(LongFindTest, CancelLeavesTheRecordWhereItWasWithoutAMessage) {
  ui.cancelAtStep = 2;
  EXPECT_FALSE(finder.SearchStep(t, 0, {"site2999", true, false}, ui));
  EXPECT_TRUE(finder.Cancelled());
  std::vector<std::string> expected = {"busy", "progress: Find|0", "progress end", "busy end"};
  EXPECT_EQ(ui.calls, expected);
  EXPECT_EQ(ui.progressSteps, 2);
  EXPECT_EQ(Url(), "http://site5.test/");
  // The cancelled step did not count: the next one compares the record it starts on.
  EXPECT_FALSE(finder.SearchStarted());
  ui.cancelAtStep = -1;
  EXPECT_TRUE(finder.SearchStep(t, 0, {"site5.", true, false}, ui));
  EXPECT_EQ(Url(), "http://site5.test/");
}

TEST_F(LongFindTest, AShortStepShowsNeitherBusyCursorNorProgress) {
  finder.SetClock([] { return TFinder::Clock::time_point{}; });
  EXPECT_TRUE(finder.SearchStep(t, 0, {"site2999.", true, false}, ui));
  EXPECT_EQ(ui.calls, std::vector<std::string>{});
  EXPECT_EQ(Url(), "http://site2999.test/");
}
