// Filter expressions on a real table: the filter cases of the site table, compile errors, the
// filter limit, navigation and counts while filtered, a second cursor, and seeded random
// conditions answered with the table's indexes against the same conditions record by record.
#include "store/engine/TableFilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "ExprRandom.h"
#include "StoreTestTables.h"
#include "store/api/StoreTb.h"
#include "store/engine/DataTable.h"
#include "store/engine/StoreInternals.h"
#include "store/expr/ExprFilter.h"

namespace quellor {
namespace {

using test::Bind;
using test::TempDir;

// The engine's own object of an open table, as the cursors of this process share it.
std::shared_ptr<TDataTable> EngineTable(TStoreSession& session, const TempDir& dir,
                                        const std::string& name) {
  char* real = ::realpath(dir.path().c_str(), nullptr);
  std::string folder = real ? real : dir.path();
  std::free(real);
  if (folder.back() != '/') folder += '/';
  return TStoreInternals::DirectoryFor(session, folder)->OpenTable(name, false);
}

// A small site table: Url (primary index), the flags, Priority and E-mails.
struct SiteTable {
  TempDir dir;

  struct Row {
    std::string url;
    const char* killed;  // "True", "False" or "" (NULL)
    const char* ipChanged;
    const char* priority;
    const char* emails;
  };

  void Create(bool killedIndex) {
    TStoreTable t;
    Bind(t, dir, "cracks.DAT");
    auto& f = t.FieldDefs();
    f.Add("Url", TFieldType::String, 100);
    f.Add("Killed", TFieldType::Boolean);
    f.Add("IPChanged", TFieldType::Boolean);
    f.Add("Priority", TFieldType::SmallInt);
    f.Add("E-mails", TFieldType::String, 60);
    f.Add("Notes", TFieldType::Memo);
    t.IndexDefs().Add("", "Url", IndexOption::Primary);
    if (killedIndex) t.IndexDefs().Add("ByKilled", "Killed", 0);
    t.CreateTable();
    t.Open();
    for (const Row& r : Rows()) {
      t.Append();
      t.FieldByName("Url").SetAsString(r.url);
      t.FieldByName("Killed").SetAsString(r.killed);
      t.FieldByName("IPChanged").SetAsString(r.ipChanged);
      t.FieldByName("Priority").SetAsString(r.priority);
      t.FieldByName("E-mails").SetAsString(r.emails);
      t.FieldByName("Notes").SetAsString(
          r.url.find("crack") != std::string::npos ? "has crack inside" : "nothing");
      t.Post();
    }
  }

  static std::vector<Row> Rows() {
    return {
        {"http://a.example", "False", "True", "2", "abuse@a"},
        {"http://b.example", "False", "True", "1", ""},
        {"http://c.example", "True", "True", "2", "abuse@c"},
        {"http://d.example", "", "True", "2", "abuse@d"},
        {"http://e.example", "False", "False", "2", ""},
        {"http://f.example", "False", "True", "3", "abuse@f"},
        {"www", "True", "", "", ""},
        {"www.crack.example", "False", "True", "2", "abuse@w"},
        {"wwwx.example", "False", "", "4", "abuse@x"},
    };
  }

  void Open(TStoreTable& t) {
    Bind(t, dir, "cracks.DAT");
    t.Open();
  }
};

std::vector<std::string> Urls(TStoreTable& t) {
  std::vector<std::string> out;
  for (t.First(); !t.Eof(); t.Next()) out.push_back(t.FieldByName("Url").AsString());
  return out;
}

struct FilterCase {
  const char* filter;
  std::vector<std::string> urls;  // in Url order
};

const std::vector<FilterCase>& SiteCases() {
  static const std::vector<FilterCase> cases = {
      {"Killed = False And IPChanged = True And Priority = 2",
       {"http://a.example", "www.crack.example"}},
      {"killed = false and ipchanged = true AND priority = 2",
       {"http://a.example", "www.crack.example"}},
      {"Killed = False",
       {"http://a.example", "http://b.example", "http://e.example", "http://f.example",
        "www.crack.example", "wwwx.example"}},
      {"Killed", {"http://c.example", "www"}},
      {"Killed = True", {"http://c.example", "www"}},
      {"Not Killed",
       {"http://a.example", "http://b.example", "http://d.example", "http://e.example",
        "http://f.example", "www.crack.example", "wwwx.example"}},
      {"2 < Priority", {"http://f.example", "wwwx.example"}},
      {"Priority > 2", {"http://f.example", "wwwx.example"}},
      {"2 <= Priority",
       {"http://a.example", "http://c.example", "http://d.example", "http://e.example",
        "http://f.example", "www.crack.example", "wwwx.example"}},
      {"Url = 'www*'", {"www", "www.crack.example", "wwwx.example"}},
      {"Url = 'www'", {"www"}},
      {"Url <> 'http*'", {"www", "www.crack.example", "wwwx.example"}},
      {"Url LIKE 'www.%'", {"www.crack.example"}},
      {"[E-mails] = ''", {"http://b.example", "http://e.example", "www"}},
      {"Notes LIKE '%crack%'", {"www.crack.example"}},
      {"Notes LIKE '%Crack%'", {}},
      {"Killed = False And Priority IN (3, 4)", {"http://f.example", "wwwx.example"}},
      {"Priority BETWEEN 3 AND 9 OR Killed",
       {"http://c.example", "http://f.example", "www", "wwwx.example"}},
      {"IPChanged IS NULL", {"www", "wwwx.example"}},
  };
  return cases;
}

class SiteFilter : public ::testing::TestWithParam<bool> {};

TEST_P(SiteFilter, CasesSelectExactlyTheirRecordsAndCountThem) {
  SiteTable site;
  site.Create(GetParam());
  TStoreTable t;
  site.Open(t);
  t.SetFiltered(true);
  for (const FilterCase& c : SiteCases()) {
    SCOPED_TRACE(c.filter);
    t.SetFilter(c.filter);
    EXPECT_EQ(t.Filter(), c.filter);
    EXPECT_EQ(Urls(t), c.urls);
    EXPECT_EQ(t.RecordCount(), static_cast<int>(c.urls.size()));
    // Navigation from the end and by position stays within the passing records.
    std::vector<std::string> back;
    for (t.Last(); !t.Bof(); t.Prior()) back.push_back(t.FieldByName("Url").AsString());
    std::reverse(back.begin(), back.end());
    EXPECT_EQ(back, c.urls);
    for (size_t i = 0; i < c.urls.size(); ++i) {
      t.SetRecNo(static_cast<int>(i + 1));
      EXPECT_EQ(t.FieldByName("Url").AsString(), c.urls[i]);
      EXPECT_EQ(t.RecNo(), static_cast<int>(i + 1));
    }
  }
  t.SetFilter("");
  EXPECT_EQ(t.RecordCount(), static_cast<int>(SiteTable::Rows().size()));
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutKilledIndex, SiteFilter, ::testing::Bool());

TEST(TableFilter, MisspeltFieldGivesTheFilterErrorAndKeepsThePreviousFilter) {
  SiteTable site;
  site.Create(true);
  TStoreTable t;
  site.Open(t);
  t.SetFilter("Priority = 2");
  t.SetFiltered(true);
  ASSERT_EQ(t.RecordCount(), 5);
  struct Bad {
    const char* text;
    const char* message;
  };
  const Bad bad[] = {
      {"Kiled = True",
       "Store Engine Error # 10051 Filter error for table 'cracks.DAT' - Invalid column name "
       "'Kiled' or table correlation name '' specified in filter expression"},
      {"Priority + 1",
       "Store Engine Error # 10051 Filter error for table 'cracks.DAT' - filter expression must "
       "be a boolean expression"},
      {"Priority = 'x'", nullptr},
      {"Url = 'abc", nullptr},
      {"((((Killed", nullptr},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.text);
    try {
      t.SetFilter(b.text);
      ADD_FAILURE() << "compiled";
    } catch (const EStoreEngineError& e) {
      EXPECT_EQ(e.ErrorCode(), 10051);
      if (b.message) {
        EXPECT_STREQ(e.what(), b.message);
      }
    }
    EXPECT_EQ(t.Filter(), "Priority = 2");
    EXPECT_EQ(t.RecordCount(), 5);
  }
  // Options that the text does not compile under leave options and filter as they were.
  t.SetFilterOptions({true, false});
  EXPECT_TRUE(t.FilterOptions().caseInsensitive);
  EXPECT_EQ(t.RecordCount(), 5);
}

TEST(TableFilter, TextSetOnAClosedTableCompilesAtOpen) {
  SiteTable site;
  site.Create(false);
  TStoreTable t;
  Bind(t, site.dir, "cracks.DAT");
  t.SetFilter("Kiled = True");
  t.SetFiltered(true);
  EXPECT_THROW(t.Open(), EStoreEngineError);
  EXPECT_FALSE(t.Active());
  t.SetFilter("Killed");
  t.Open();
  EXPECT_EQ(Urls(t), (std::vector<std::string>{"http://c.example", "www"}));
  t.SetFiltered(false);
  EXPECT_EQ(t.RecordCount(), 9);
  EXPECT_EQ(t.Filter(), "Killed");
}

TEST(TableFilter, SixtyFifthFilterFailsWith9482) {
  SiteTable site;
  site.Create(false);
  TStoreTable t;
  site.Open(t);
  t.SetFilter("Priority >= 2");
  t.OnFilterRecord = [](TStoreTable&, bool& accept) { accept = true; };
  std::vector<int> handles;
  for (int i = 0; i < kMaxFilters - 2; ++i)
    handles.push_back(t.AddRecordFilter([](TStoreTable&) { return true; }));
  try {
    t.AddRecordFilter([](TStoreTable&) { return true; });
    ADD_FAILURE() << "65th filter accepted";
  } catch (const EStoreEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 9482);
    EXPECT_STREQ(e.what(),
                 "Store Engine Error # 9482 Too many filters defined for table 'cracks.DAT'");
  }
  // Replacing the expression is no new filter; adding one where none was is.
  t.SetFilter("Priority = 2");
  t.SetFilter("");
  t.RemoveRecordFilter(handles.back());
  t.AddRecordFilter([](TStoreTable&) { return true; });
  t.AddRecordFilter([](TStoreTable& s) { return s.FieldByName("Killed").AsBoolean(); });
  try {
    t.SetFilter("Priority = 2");
    ADD_FAILURE() << "65th filter accepted";
  } catch (const EStoreEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 9482);
  }
  EXPECT_EQ(t.Filter(), "");
  try {
    t.RemoveRecordFilter(9999);
    ADD_FAILURE() << "unknown handle accepted";
  } catch (const EStoreEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 10050);
  }
  t.SetFiltered(true);
  EXPECT_EQ(Urls(t), (std::vector<std::string>{"http://c.example", "www"}));
}

TEST(TableFilter, FilterCombinesWithOnFilterRecordAndRange) {
  SiteTable site;
  site.Create(true);
  TStoreTable t;
  site.Open(t);
  t.OnFilterRecord = [](TStoreTable& s, bool& accept) {
    accept = s.FieldByName("Url").AsString().find("example") != std::string::npos;
  };
  t.SetFilter("Killed = False");
  t.SetFiltered(true);
  EXPECT_EQ(t.RecordCount(), 6);
  t.SetRange({"http://c"}, {"http://f~"});
  EXPECT_EQ(Urls(t), (std::vector<std::string>{"http://e.example", "http://f.example"}));
  EXPECT_EQ(t.RecordCount(), 2);
  t.CancelRange();
  t.OnFilterRecord = [](TStoreTable& s, bool& accept) {
    accept = s.FieldByName("Priority").AsInteger() != 4;
  };
  t.SetFiltered(true);
  EXPECT_EQ(t.RecordCount(), 5);
}

// Records changed by this cursor or another one are judged as they are now.
TEST(TableFilter, SecondCursorAndChangesSeeTheRecordsAsTheyAreNow) {
  SiteTable site;
  site.Create(true);
  TStoreTable editor, reader;
  site.Open(editor);
  Bind(reader, site.dir, "cracks.DAT");
  reader.SetReadOnly(true);
  reader.SetFilter("Killed = False");
  reader.SetFiltered(true);
  reader.Open();
  ASSERT_EQ(reader.RecordCount(), 6);

  editor.SetFilter(reader.Filter());
  editor.SetFiltered(true);
  ASSERT_EQ(editor.RecordCount(), 6);
  // Killing the sites one by one while walking the filtered table.
  editor.First();
  editor.Edit();
  editor.FieldByName("Killed").SetAsBoolean(true);
  editor.Post();
  EXPECT_EQ(editor.RecordCount(), 5);
  EXPECT_EQ(reader.RecordCount(), 5);
  EXPECT_EQ(Urls(reader).front(), "http://b.example");

  editor.SetFiltered(false);
  editor.FindKey({"http://d.example"});
  editor.Edit();
  editor.FieldByName("Killed").SetAsBoolean(false);
  editor.Post();
  editor.Append();
  editor.FieldByName("Url").SetAsString("http://z.example");
  editor.FieldByName("Killed").SetAsBoolean(false);
  editor.Post();
  EXPECT_EQ(reader.RecordCount(), 7);
  EXPECT_EQ(Urls(reader).back(), "wwwx.example");
  EXPECT_EQ(Urls(reader)[2], "http://e.example");
  editor.FindKey({"http://z.example"});
  editor.Delete();
  EXPECT_EQ(reader.RecordCount(), 6);
}

struct RecordingListener : TDataSetListener {
  std::vector<TDataEvent> events;
  void DataSetEvent(TDataEvent event, int) override { events.push_back(event); }
};

TEST(TableFilter, SettingTheFilterPostsAndMovesToTheFirstPassingRecord) {
  SiteTable site;
  site.Create(false);
  TStoreTable t;
  site.Open(t);
  RecordingListener listener;
  t.AddListener(&listener);
  t.SetFiltered(true);
  t.Last();
  t.Edit();
  t.FieldByName("Priority").SetAsInteger(2);
  listener.events.clear();
  t.SetFilter("Priority = 4");  // the edit is posted first: wwwx no longer passes
  EXPECT_EQ(t.State(), TDataSetState::Browse);
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(t.RecordCount(), 0);
  EXPECT_NE(std::find(listener.events.begin(), listener.events.end(), TDataEvent::RecordChanged),
            listener.events.end());
  t.SetFilter("Priority = 3");
  EXPECT_EQ(t.FieldByName("Url").AsString(), "http://f.example");
  EXPECT_EQ(t.MoveBy(5), 0);
  t.RemoveListener(&listener);
}

TEST(TableFilter, CaseInsensitiveOptionAndNoPartialCompare) {
  SiteTable site;
  site.Create(false);
  TStoreTable t;
  site.Open(t);
  t.SetFiltered(true);
  t.SetFilter("Url = 'WWW*'");
  EXPECT_EQ(t.RecordCount(), 0);
  t.SetFilterOptions({true, false});
  EXPECT_EQ(t.RecordCount(), 3);
  t.SetFilterOptions({false, true});
  t.SetFilter("Url = 'www*'");
  EXPECT_EQ(t.RecordCount(), 0);
}

// The index answers the whole of an indexed condition: no record is read.
TEST(TableFilter, IndexAnswersIndexedConditionsWithoutReadingRecords) {
  SiteTable site;
  site.Create(true);
  TStoreTable t;
  site.Open(t);
  std::shared_ptr<TDataTable> table = EngineTable(TStoreSession::Default(), site.dir, "cracks.DAT");
  TExprTableScope scope("cracks.DAT", table->Fields());
  TExprSettings settings;
  struct Case {
    const char* text;
    bool exact;
    size_t count;
  };
  for (const Case& c : {Case{"Killed = False", true, 6}, Case{"Url = 'www*'", true, 3},
                        Case{"Killed = False And Priority = 2", false, 3},
                        Case{"Not Killed", true, 7}, Case{"Priority = 2", false, 5}}) {
    SCOPED_TRACE(c.text);
    auto filter = TExprFilter::Compile(c.text, scope, settings, "cracks.DAT");
    TTableFilterAccess access(*table, filter->Evaluator());
    TExprSelectStats stats;
    TExprRecordSet set = filter->Select(access, access, &stats);
    EXPECT_EQ(stats.exact, c.exact);
    if (c.exact) {
      EXPECT_EQ(stats.recordsRead, 0u);
    }
    EXPECT_EQ(set.Count(), c.count);
  }
}

// ---- Seeded differential test -----------------------------------------------------------------

using exprtest::TRandomConditions;

struct RandomTable {
  TempDir dir;
  TStoreSession session;
  std::vector<exprtest::TMemRecord> records;

  void Create(uint32_t seed, int languageId, bool indexes) {
    session.SetLanguageID(languageId);
    TStoreTable t(session);
    Bind(t, dir, "rnd");
    auto& f = t.FieldDefs();
    f.Add("S", TFieldType::String, 10);
    f.Add("T", TFieldType::String, 10);
    f.Add("I", TFieldType::SmallInt);
    f.Add("J", TFieldType::SmallInt);
    f.Add("F", TFieldType::Float);
    f.Add("B", TFieldType::Boolean);
    f.Add("D", TFieldType::Date);
    if (indexes) {
      t.IndexDefs().Add("ByS", "S", 0);
      t.IndexDefs().Add("BySNoCase", "S", IndexOption::CaseInsensitive);
      t.IndexDefs().Add("ByTNoCase", "T", IndexOption::CaseInsensitive);
      t.IndexDefs().Add("ByI", "I", 0);
      t.IndexDefs().Add("ByJDown", "J", IndexOption::Descending);
      t.IndexDefs().Add("ByF", "F;I", 0);
      t.IndexDefs().Add("ByB", "B", 0);
      t.IndexDefs().Add("ByD", "D", 0);
    }
    t.CreateTable();
    t.Open();
    TRandomConditions gen(seed, false);
    records = gen.Records(150);
    for (const auto& r : records) {
      t.Append();
      for (int i = 0; i < exprtest::kFieldCount; ++i) {
        TExprValue v = r.Value(i);
        if (v.isNull) continue;
        TStoreField& field = t.Fields(i);
        switch (v.type) {
          case TExprType::String:
            field.SetAsString(v.text);
            break;
          case TExprType::Float:
            field.SetAsFloat(v.real);
            break;
          case TExprType::Date:
            field.SetAsDateTime(JoinDateTime(static_cast<int32_t>(v.integer), 0));
            break;
          default:
            field.SetAsInteger(v.integer);
            break;
        }
      }
      t.Post();
    }
    // Some records go again, leaving free slots behind.
    t.First();
    for (int i = 0; i < 10 && !t.Eof(); ++i) {
      t.Delete();
      t.MoveBy(7);
    }
  }
};

// The records (by Url-free identity: slot) a condition selects record by record.
std::vector<int32_t> Walk(TStoreTable& t) {
  std::vector<int32_t> out;
  for (t.First(); !t.Eof(); t.Next()) out.push_back(t.GetBookmark().slot);
  std::sort(out.begin(), out.end());
  return out;
}

void RunDifferential(int languageId) {
  RandomTable indexed, plain;
  const uint32_t seed = 20240501u + static_cast<uint32_t>(languageId);
  indexed.Create(seed, languageId, true);
  plain.Create(seed, languageId, false);
  TStoreTable a(indexed.session), b(plain.session);
  Bind(a, indexed.dir, "rnd");
  Bind(b, plain.dir, "rnd");
  a.Open();
  b.Open();
  a.SetFiltered(true);
  b.SetFiltered(true);
  // The plain table's cursor sees each record through OnFilterRecord as well, so its answer
  // comes from evaluating the expression record by record.
  b.OnFilterRecord = [](TStoreTable&, bool& accept) { accept = true; };
  TRandomConditions gen(seed * 7u + 1u, false);
  int usedIndex = 0;
  for (int i = 0; i < 300; ++i) {
    std::string text = gen.Condition().ours;
    SCOPED_TRACE(text);
    bool noCase = i % 3 == 0;
    a.SetFilterOptions({noCase, false});
    b.SetFilterOptions({noCase, false});
    try {
      a.SetFilter(text);
    } catch (const EStoreEngineError& e) {
      ASSERT_EQ(e.ErrorCode(), 10051);
      EXPECT_THROW(b.SetFilter(text), EStoreEngineError);
      continue;
    }
    b.SetFilter(text);
    int count = a.RecordCount();
    std::vector<int32_t> expected = Walk(b);
    ASSERT_EQ(Walk(a), expected);
    ASSERT_EQ(count, static_cast<int>(expected.size()));
    ASSERT_EQ(b.RecordCount(), count);
    std::shared_ptr<TDataTable> table = EngineTable(indexed.session, indexed.dir, "rnd");
    TExprSettings settings;
    settings.caseInsensitive = noCase;
    settings.languageId = static_cast<uint32_t>(languageId);
    auto filter =
        TExprFilter::Compile(text, TExprTableScope("rnd", table->Fields()), settings, "rnd");
    TTableFilterAccess access(*table, filter->Evaluator());
    TExprSelectStats stats;
    filter->Select(access, access, &stats);
    if (stats.usedIndex) ++usedIndex;
  }
  EXPECT_GT(usedIndex, 30);
}

TEST(TableFilterRandom, IndexedAnswersEqualRecordByRecordAnswersInByteOrder) {
  RunDifferential(0);
}

TEST(TableFilterRandom, IndexedAnswersEqualRecordByRecordAnswersWithALanguage) {
  RunDifferential(1031);
}

}  // namespace
}  // namespace quellor
