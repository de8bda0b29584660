// Index use of filter expressions: what the indexes answer, and a seeded differential test that
// selecting with indexes gives the records that evaluating every record gives.
#include <gtest/gtest.h>

#include "ExprRandom.h"
#include "ExprSupport.h"
#include "store/expr/ExprFilter.h"

using namespace quellor;
using namespace quellor::exprtest;

namespace {

struct TFixtureTable {
  explicit TFixtureTable(const TExprSettings& s = {})
      : settings(s),
        scope("r.DAT", RandomFields()),
        rules(settings.languageId),
        evaluator(settings, rules),
        indexes(table, evaluator) {}

  void Fill(std::vector<TMemRecord> records) {
    table.records = std::move(records);
    indexes.AddIndex(kS, false);
    indexes.AddIndex(kS, true);
    indexes.AddIndex(kI, false);
    indexes.AddIndex(kB, false);
    indexes.AddIndex(kD, false);
    indexes.AddIndex(kF, false);
  }

  std::vector<uint32_t> Scan(const TExprFilter& f) const {
    std::vector<uint32_t> out;
    for (uint32_t r = 1; r <= table.records.size(); ++r)
      if (f.Matches(table.records[r - 1])) out.push_back(r);
    return out;
  }

  TExprSettings settings;
  TExprTableScope scope;
  TExprTextRules rules;
  TExprEvaluator evaluator;
  TMemTable table;
  TFakeIndexes indexes;
};

}  // namespace

TEST(ExprIndex, RecordSetsIntersectUniteAndSubtract) {
  TExprRecordSet a(10), b(10);
  for (uint32_t r : {1u, 3u, 5u, 64u}) a.Add(r);
  for (uint32_t r : {3u, 4u, 5u, 130u}) b.Add(r);
  EXPECT_EQ(a.Limit(), 64u);
  EXPECT_TRUE(a.Contains(64));
  EXPECT_FALSE(a.Contains(65));
  EXPECT_FALSE(a.Contains(100000));
  TExprRecordSet i = a, u = a, d = a;
  i.IntersectWith(b);
  u.UniteWith(b);
  d.Subtract(b);
  EXPECT_EQ(i.Records(), (std::vector<uint32_t>{3, 5}));
  EXPECT_EQ(u.Records(), (std::vector<uint32_t>{1, 3, 4, 5, 64, 130}));
  EXPECT_EQ(d.Records(), (std::vector<uint32_t>{1, 64}));
  EXPECT_EQ(u.Count(), 6u);
}

TEST(ExprIndex, IndexesAnswerWhatTheyCan) {
  TFixtureTable t;
  TRandomConditions gen(7, false);
  t.Fill(gen.Records(300));
  struct Case {
    const char* filter;
    bool usedIndex;
    bool exact;
  };
  const Case cases[] = {
      {"I = 2", true, true},
      {"2 < I", true, true},
      {"I <> 2", true, true},
      {"I IS NULL", true, true},
      {"S = 'a*'", true, true},
      {"S <> 'a*'", true, true},
      {"S LIKE 'ab%'", true, true},
      {"S LIKE '%ab'", false, false},
      {"I BETWEEN -1 AND 2", true, true},
      {"I NOT IN (1, 2)", true, true},
      {"B", true, true},
      {"NOT B", true, true},
      {"D >= '2024-01-01'", true, true},
      {"F > 1.5", true, true},
      {"UPPER(S) = 'AB'", true, true},    // a case-insensitive index answers it
      {"UPPER(S) = 'ab'", false, false},  // never true, but no index answers it
      {"J = 2", false, false},            // no index on J
      {"I = 2 AND J = 2", true, false},   // the J part is checked per record
      {"I = 2 AND S = 'a*'", true, true},
      {"I = 2 OR J = 2", false, false},
      {"I = 2 OR S LIKE 'a%'", true, true},
      {"NOT (I = 2 AND J = 2)", false, false},
      {"I = J", false, false},
      {"I + 1 = 2", false, false},
  };
  for (const Case& c : cases) {
    auto f = TExprFilter::Compile(c.filter, t.scope, t.settings, "r.DAT");
    TExprSelectStats stats;
    std::vector<uint32_t> selected = f->Select(t.indexes, t.table, &stats).Records();
    EXPECT_EQ(selected, t.Scan(*f)) << c.filter;
    EXPECT_EQ(stats.usedIndex, c.usedIndex) << c.filter;
    EXPECT_EQ(stats.exact, c.exact) << c.filter;
    if (c.exact) {
      EXPECT_EQ(stats.recordsRead, 0u) << c.filter;
    }
    if (c.usedIndex && !c.exact) {
      EXPECT_LT(stats.recordsRead, t.table.records.size()) << c.filter;
    }
  }
}

TEST(ExprIndex, CaseInsensitiveOptionNeedsACaseInsensitiveIndex) {
  TExprSettings noCase;
  noCase.caseInsensitive = true;
  TFixtureTable t(noCase);
  TRandomConditions gen(11, false);
  t.table.records = gen.Records(200);
  t.indexes.AddIndex(kS, false);  // only a case-sensitive index
  auto f = TExprFilter::Compile("S = 'AB'", t.scope, t.settings, "r.DAT");
  TExprSelectStats stats;
  EXPECT_EQ(f->Select(t.indexes, t.table, &stats).Records(), t.Scan(*f));
  EXPECT_FALSE(stats.usedIndex);
  t.indexes.AddIndex(kS, true);
  EXPECT_EQ(f->Select(t.indexes, t.table, &stats).Records(), t.Scan(*f));
  EXPECT_TRUE(stats.exact);
  EXPECT_FALSE(t.Scan(*f).empty());
}

TEST(ExprIndex, RandomConditionsSelectTheSameRecordsWithAndWithoutIndexes) {
  int answered = 0, total = 0;
  for (uint32_t seed = 1; seed <= 8; ++seed) {
    TExprSettings settings;
    settings.caseInsensitive = seed % 3 == 0;
    TFixtureTable t(settings);
    TRandomConditions gen(seed, false);
    t.Fill(gen.Records(150));
    for (int i = 0; i < 150; ++i) {
      const std::string text = gen.Condition().ours;
      std::unique_ptr<TExprFilter> f;
      try {
        f = TExprFilter::Compile(text, t.scope, t.settings, "r.DAT");
      } catch (const std::exception& e) {
        ADD_FAILURE() << text << ": " << e.what();
        continue;
      }
      TExprSelectStats stats;
      ASSERT_EQ(f->Select(t.indexes, t.table, &stats).Records(), t.Scan(*f))
          << "seed " << seed << ": " << text;
      answered += stats.usedIndex;
      ++total;
    }
  }
  // The generator must exercise the index paths, not only the scan.
  EXPECT_GT(answered, total / 3);
}
