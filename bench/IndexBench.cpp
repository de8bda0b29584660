// The index engine against SQLite, side by side in one run: inserting keys into an index,
// looking each one up, walking the index in order and finding the position of keys, on
// in-memory files for both (no disk time in either). Prints the times and their ratio.
//
//   bench_index [records]     (default 200000)
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "store/btree/IndexCursor.h"
#include "store/btree/IndexFile.h"
#include "store/os/AbstractFile.h"

using namespace quellor;

namespace {

class TMemFile : public TAbstractFile {
 public:
  int64_t ReadAt(int64_t offset, void* buffer, int64_t count) override {
    if (offset >= static_cast<int64_t>(bytes_.size())) return 0;
    int64_t n = std::min<int64_t>(count, static_cast<int64_t>(bytes_.size()) - offset);
    std::memcpy(buffer, bytes_.data() + offset, static_cast<size_t>(n));
    return n;
  }
  int64_t WriteAt(int64_t offset, const void* buffer, int64_t count) override {
    if (count == 0) {
      bytes_.resize(static_cast<size_t>(offset));
      return 0;
    }
    if (offset + count > static_cast<int64_t>(bytes_.size()))
      bytes_.resize(static_cast<size_t>(offset + count));
    std::memcpy(bytes_.data() + offset, buffer, static_cast<size_t>(count));
    return count;
  }
  int64_t Size() override { return static_cast<int64_t>(bytes_.size()); }
  bool Flush() override { return true; }
  bool Lock(int64_t, int64_t, bool) override { return true; }
  bool Unlock(int64_t, int64_t) override { return true; }
  const std::string& Name() const override { return name_; }

 private:
  std::vector<uint8_t> bytes_;
  std::string name_ = "bench.IDX";
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s\n", error);
    std::exit(1);
  }
}

struct TTimes {
  double insert = 0, lookup = 0, walk = 0, position = 0;
};

TTimes RunStore(const std::vector<std::string>& names) {
  TFieldDesc f;
  f.number = 1;
  f.name = "Url";
  f.type = TStoreFieldType::String;
  f.size = 40;
  f.offset = 9;
  f.width = 41;
  std::vector<TFieldDesc> fields{f};
  TIndexFileOptions options;
  options.tableName = "bench.DAT";
  TIndexDesc primary;
  primary.fieldNumbers = {1};
  TMemFile file;
  CreateIndexFile(file, fields, &primary, options);
  TIndexFile index(file, fields, options);
  std::vector<uint8_t> record(9 + 42, 0);
  auto fill = [&](const std::string& s) {
    std::memset(record.data() + 9, 0, 42);
    record[9] = 1;
    std::memcpy(record.data() + 10, s.data(), s.size());
  };
  TTimes t;
  auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < names.size(); ++i) {
    fill(names[i]);
    index.InsertRecord(record, static_cast<int32_t>(i + 1), static_cast<int32_t>(i + 1));
  }
  index.WriteChanges();
  t.insert = Seconds(start);

  TIndexTree& tree = *index.Primary();
  start = std::chrono::steady_clock::now();
  size_t found = 0;
  for (const std::string& s : names) {
    fill(s);
    auto key = tree.Layout().BuildKey(record.data(), static_cast<int>(record.size()), 0, "");
    found += tree.Find(key.data()).has_value();
  }
  t.lookup = Seconds(start);
  if (found != names.size()) std::fprintf(stderr, "store: %zu of %zu found\n", found, names.size());

  start = std::chrono::steady_clock::now();
  TIndexCursor cursor(tree);
  size_t walked = 0;
  for (bool on = cursor.First(); on; on = cursor.Next()) ++walked;
  t.walk = Seconds(start);

  start = std::chrono::steady_clock::now();
  int64_t sum = 0;
  for (size_t i = 0; i < names.size(); i += 10) {
    std::vector<uint8_t> key(1 + names[i].size());
    key[0] = 1;
    std::memcpy(key.data() + 1, names[i].data(), names[i].size());
    cursor.Seek(key);
    sum += cursor.Position();
  }
  t.position = Seconds(start);
  if (walked != names.size() || sum < 0) std::fprintf(stderr, "store: walk %zu\n", walked);
  return t;
}

TTimes RunSqlite(const std::vector<std::string>& names) {
  sqlite3* db = nullptr;
  sqlite3_open(":memory:", &db);
  Exec(db, "CREATE TABLE t(url TEXT PRIMARY KEY, r INTEGER) WITHOUT ROWID");
  TTimes t;
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?, ?)", -1, &insert, nullptr);
  auto start = std::chrono::steady_clock::now();
  Exec(db, "BEGIN");
  for (size_t i = 0; i < names.size(); ++i) {
    sqlite3_bind_text(insert, 1, names[i].data(), static_cast<int>(names[i].size()), SQLITE_STATIC);
    sqlite3_bind_int(insert, 2, static_cast<int>(i + 1));
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  Exec(db, "COMMIT");
  t.insert = Seconds(start);
  sqlite3_finalize(insert);

  sqlite3_stmt* find = nullptr;
  sqlite3_prepare_v2(db, "SELECT r FROM t WHERE url = ?", -1, &find, nullptr);
  start = std::chrono::steady_clock::now();
  size_t found = 0;
  for (const std::string& s : names) {
    sqlite3_bind_text(find, 1, s.data(), static_cast<int>(s.size()), SQLITE_STATIC);
    found += sqlite3_step(find) == SQLITE_ROW;
    sqlite3_reset(find);
  }
  t.lookup = Seconds(start);
  sqlite3_finalize(find);
  if (found != names.size()) std::fprintf(stderr, "sqlite: %zu found\n", found);

  sqlite3_stmt* walk = nullptr;
  sqlite3_prepare_v2(db, "SELECT url FROM t ORDER BY url", -1, &walk, nullptr);
  start = std::chrono::steady_clock::now();
  while (sqlite3_step(walk) == SQLITE_ROW) {
  }
  t.walk = Seconds(start);
  sqlite3_finalize(walk);

  // SQLite keeps no counts in its trees: the position of a key is a count of the keys below.
  sqlite3_stmt* position = nullptr;
  sqlite3_prepare_v2(db, "SELECT count(*) FROM t WHERE url < ?", -1, &position, nullptr);
  start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < names.size(); i += 10 * 100) {
    sqlite3_bind_text(position, 1, names[i].data(), static_cast<int>(names[i].size()),
                      SQLITE_STATIC);
    sqlite3_step(position);
    sqlite3_reset(position);
  }
  t.position = Seconds(start) * 100;  // measured on 1 in 100 of the keys the store looks up
  sqlite3_finalize(position);
  sqlite3_close(db);
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  size_t records = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
  std::mt19937 rng(1);
  std::vector<std::string> names;
  for (size_t i = 0; i < records; ++i)
    names.push_back("http://site" + std::to_string(rng() % 1000000000) + "-" + std::to_string(i) +
                    ".example/");
  TTimes store = RunStore(names);
  TTimes lite = RunSqlite(names);
  std::printf("%zu keys          store (s)  sqlite (s)  store/sqlite\n", records);
  auto row = [](const char* what, double a, double b) {
    std::printf("%-18s %9.3f  %10.3f  %12.2f\n", what, a, b, b > 0 ? a / b : 0.0);
  };
  row("insert", store.insert, lite.insert);
  row("lookup", store.lookup, lite.lookup);
  row("walk in order", store.walk, lite.walk);
  row("position (1/10)", store.position, lite.position);
  return 0;
}
