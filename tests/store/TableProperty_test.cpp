// Seeded random Append/Edit/Post/Delete through TStoreTable on a table with a unique primary
// index and several secondary indexes (case-insensitive and compressed, descending, unique),
// checked against a model: every index order walked through the cursor equals the model's
// order, RecNo of every record equals its position, RecordCount is right, and a rejected
// change (a duplicate key) changes nothing. The same after reopening the table.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>

#include "store/StoreTestTables.h"
#include "store/api/StoreTb.h"
#include "support/TempDir.h"

using namespace quellor;
using namespace quellor::test;

namespace {

struct TRow {
  int64_t id = 0;  // the logical id, read from the auto-increment field
  std::string code;
  std::string name;  // empty: NULL
  std::optional<int> num;
  std::string tag;  // empty: NULL
};

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Key orders in byte order (language id 0): NULL before every value, ties of a non-unique
// index by logical id; a descending index reverses the whole key, suffix included.
using TLess = std::function<bool(const TRow&, const TRow&)>;

const std::vector<std::pair<std::string, TLess>>& Orders() {
  static const std::vector<std::pair<std::string, TLess>> orders = {
      {"", [](const TRow& a, const TRow& b) { return a.code < b.code; }},
      {"ByName",
       [](const TRow& a, const TRow& b) {
         auto key = [](const TRow& r) {
           return std::make_tuple(!r.name.empty(), Upper(r.name), r.id);
         };
         return key(a) < key(b);
       }},
      {"ByNumDesc",
       [](const TRow& a, const TRow& b) {
         auto key = [](const TRow& r) {
           return std::make_tuple(r.num.has_value(), r.num.value_or(0), r.id);
         };
         return key(b) < key(a);
       }},
      {"ByTag",
       [](const TRow& a, const TRow& b) {
         return std::make_pair(!a.tag.empty(), a.tag) < std::make_pair(!b.tag.empty(), b.tag);
       }},
  };
  return orders;
}

class TModel {
 public:
  std::map<std::string, TRow> rows;  // by code

  // Whether `row` may take its keys: no other row with its code or (unique) tag.
  bool Fits(const TRow& row, const std::string& replacing) const {
    for (const auto& [code, r] : rows) {
      if (code == replacing) continue;
      if (r.code == row.code || r.tag == row.tag) return false;
    }
    return true;
  }
  std::vector<int64_t> Ids(const TLess& less) const {
    std::vector<TRow> sorted;
    for (const auto& [code, r] : rows) sorted.push_back(r);
    std::sort(sorted.begin(), sorted.end(), less);
    std::vector<int64_t> ids;
    for (const TRow& r : sorted) ids.push_back(r.id);
    return ids;
  }
};

void Fill(TStoreTable& t, const TRow& row) {
  t.FieldByName("Code").SetAsString(row.code);
  t.FieldByName("Name").SetAsString(row.name);
  if (row.num)
    t.FieldByName("Num").SetAsInteger(*row.num);
  else
    t.FieldByName("Num").Clear();
  t.FieldByName("Tag").SetAsString(row.tag);
}

void CheckOrders(TStoreTable& t, const TModel& model) {
  for (const auto& [index, less] : Orders()) {
    SCOPED_TRACE("index '" + index + "'");
    t.SetIndexName(index);
    ASSERT_EQ(t.RecordCount(), static_cast<int>(model.rows.size()));
    std::vector<int64_t> seen;
    for (t.First(); !t.Eof(); t.Next()) {
      seen.push_back(t.FieldByName("Id").AsInteger());
      ASSERT_EQ(t.RecNo(), static_cast<int>(seen.size()));
    }
    ASSERT_EQ(seen, model.Ids(less));
    // Backwards too.
    std::vector<int64_t> back;
    for (t.Last(); !t.Bof(); t.Prior()) back.push_back(t.FieldByName("Id").AsInteger());
    std::reverse(back.begin(), back.end());
    ASSERT_EQ(back, seen);
  }
  t.SetIndexName("");
}

TEST(TableProperty, RandomChangesKeepEveryIndexOrderRecNoAndCountRight) {
  for (uint32_t seed : {7u, 20240601u, 99u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); };
    TempDir dir;
    {
      TStoreTable t;
      Bind(t, dir, "p");
      t.FieldDefs().Add("Code", TFieldType::String, 12);
      t.FieldDefs().Add("Name", TFieldType::String, 60);
      t.FieldDefs().Add("Num", TFieldType::Integer);
      t.FieldDefs().Add("Tag", TFieldType::String, 8);
      t.FieldDefs().Add("Id", TFieldType::AutoInc);
      t.IndexDefs().Add("", "Code", IndexOption::Primary, TIndexCompression::DupByte);
      t.IndexDefs().Add("ByName", "Name", IndexOption::CaseInsensitive, TIndexCompression::Full);
      t.IndexDefs().Add("ByNumDesc", "Num", IndexOption::Descending);
      t.IndexDefs().Add("ByTag", "Tag", IndexOption::Unique, TIndexCompression::TrailByte);
      t.CreateTable();
    }
    TModel model;
    TStoreTable t;
    Bind(t, dir, "p");
    t.Open();
    auto randomRow = [&] {
      TRow r;
      r.code = "k" + std::to_string(pick(3000));
      static const char* names[] = {"", "alpha", "Alpha", "beta", "GAMMA", "gamma ray", "zeta"};
      r.name = names[pick(7)];
      if (pick(4)) r.name += std::string(static_cast<size_t>(pick(40)), 'x');  // long keys
      if (pick(5)) r.num = pick(50) - 25;
      if (pick(40)) r.tag = "t" + std::to_string(pick(20000));
      return r;
    };
    int rejected = 0;
    for (int step = 0; step < 3000; ++step) {
      int op = pick(20);
      if (op < 12 || model.rows.empty()) {
        TRow row = randomRow();
        t.Append();
        Fill(t, row);
        if (model.Fits(row, "")) {
          t.Post();
          row.id = t.FieldByName("Id").AsInteger();
          model.rows[row.code] = row;
        } else {
          ASSERT_EQ(
              [&] {
                try {
                  t.Post();
                } catch (const EStoreEngineError& e) {
                  return e.ErrorCode();
                }
                return uint16_t{0};
              }(),
              9729);
          t.Cancel();
          ++rejected;
        }
      } else {
        auto it = model.rows.begin();
        std::advance(it, pick(static_cast<int>(model.rows.size())));
        ASSERT_TRUE(t.FindKey({it->first}));
        ASSERT_EQ(t.FieldByName("Id").AsInteger(), it->second.id);
        if (op < 17) {
          TRow row = randomRow();
          if (pick(2)) row.code = it->first;  // keep the primary key now and then
          row.id = it->second.id;
          t.Edit();
          Fill(t, row);
          if (model.Fits(row, it->first)) {
            t.Post();
            model.rows.erase(it);
            model.rows[row.code] = row;
          } else {
            ASSERT_THROW(t.Post(), EStoreEngineError);
            t.Cancel();
            ++rejected;
          }
        } else {
          t.Delete();
          model.rows.erase(it);
        }
      }
      ASSERT_EQ(t.RecordCount(), static_cast<int>(model.rows.size()));
      if (step % 500 == 499) {
        CheckOrders(t, model);
        if (HasFatalFailure()) return;
      }
    }
    EXPECT_GT(rejected, 0);
    // Enough records for trees of several levels: a name key takes 62 bytes (+4 suffix).
    EXPECT_GT(model.rows.size(), 800u);
    EXPECT_GT(ReadFileBytes(dir.file("p.IDX")).size(), 20u * 4096);
    CheckOrders(t, model);
    t.Close();
    t.Open();
    CheckOrders(t, model);
  }
}

}  // namespace
