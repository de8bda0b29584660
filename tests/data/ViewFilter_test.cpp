#include "data/ViewFilter.h"

#include <gtest/gtest.h>

#include "app/Config.h"

using namespace quellor;

TEST(ViewFilter, TextFromTheThreeValues) {
  struct Case {
    const char *killed, *ipChanged, *priority, *text;
  } cases[] = {
      {"False", "", "", "Killed = False"},
      {"True", "True", "3", "Killed = True And IPChanged = True And Priority = 3"},
      {"", "True", "2", "IPChanged = True And Priority = 2"},
      {"False", "", " 5", "Killed = False And Priority =  5"},
      {"", "", "", ""},
      {"", "", " 5 ", "Priority =  5"},
      {"", "", "x y", "Priority = x y"},  // not checked here; the store's filter compiler is
  };
  for (const auto& c : cases) {
    TConfig config;
    config.KilledFilter = c.killed;
    config.IPChangedFilter = c.ipChanged;
    config.PriorityFilter = c.priority;
    EXPECT_EQ(ViewFilterText(config), c.text)
        << c.killed << "|" << c.ipChanged << "|" << c.priority;
  }
}

TEST(ViewFilter, AppendClause) {
  std::string text;
  AppendClause(text, "A = 1");
  EXPECT_EQ(text, "A = 1");
  AppendClause(text, "B = 2");
  EXPECT_EQ(text, "A = 1 And B = 2");
}
