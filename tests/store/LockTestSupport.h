// The shared table of the locking tests and small helpers around it.
//
// "shared.DAT": Key (string 10, primary index), Value (integer), Tag (string 250, non-unique
// index "ByTag"), Code (string 12, unique index "ByCode"). Records are about 290 bytes, so the
// data cache holds a few hundred of them and a table of a few thousand has records that a
// cursor has not cached.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "store/api/StoreTb.h"
#include "support/TempDir.h"

namespace quellor::test {

inline constexpr const char* kSharedTable = "shared.DAT";

inline std::string KeyOf(int i) {
  char text[16];
  std::snprintf(text, sizeof text, "K%05d", i);
  return text;
}

inline std::string CodeOf(int i) {
  char text[16];
  std::snprintf(text, sizeof text, "C%05d", i);
  return text;
}

inline void BindShared(TStoreTable& table, const TempDir& dir) {
  table.SetDatabaseName(dir.path());
  table.SetTableName(kSharedTable);
}

// Creates the table with records 0 .. count-1 (Value i, Tag "t" + i % 7, Code CodeOf(i)).
// Appends a record to the shared table.
inline void AppendShared(TStoreTable& table, const std::string& key, int value,
                         const std::string& tag, const std::string& code) {
  table.Append();
  table.FieldByName("Key").SetAsString(key);
  table.FieldByName("Value").SetAsInteger(value);
  table.FieldByName("Tag").SetAsString(tag);
  table.FieldByName("Code").SetAsString(code);
  table.Post();
}

inline void MakeSharedTable(const TempDir& dir, int count) {
  TStoreTable table;
  BindShared(table, dir);
  table.FieldDefs().Add("Key", TFieldType::String, 10);
  table.FieldDefs().Add("Value", TFieldType::Integer);
  table.FieldDefs().Add("Tag", TFieldType::String, 250);
  table.FieldDefs().Add("Code", TFieldType::String, 12);
  table.IndexDefs().Add("", "Key", IndexOption::Primary);
  table.IndexDefs().Add("ByTag", "Tag", 0);
  table.IndexDefs().Add("ByCode", "Code", IndexOption::Unique);
  table.CreateTable();
  table.Open();
  for (int i = 0; i < count; ++i)
    AppendShared(table, KeyOf(i), i, "t" + std::to_string(i % 7), CodeOf(i));
  table.Close();
}

// The engine code a call fails with; 0 when it succeeds.
inline int EngineCode(const std::function<void()>& call) {
  try {
    call();
  } catch (const EStoreEngineError& e) {
    return e.ErrorCode();
  }
  return 0;
}

inline int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// Every record in the order of an index: the keys, checking that the index's own key field
// never goes down. `field` is the index's key field; empty for the primary index.
inline std::vector<std::string> WalkKeys(TStoreTable& table, const std::string& index,
                                         const std::string& field, bool* ordered) {
  table.SetIndexName(index);
  std::vector<std::string> keys;
  std::string last;
  *ordered = true;
  for (table.First(); !table.Eof(); table.Next()) {
    keys.push_back(table.FieldByName("Key").AsString());
    if (!field.empty()) {
      std::string value = table.FieldByName(field).AsString();
      if (!keys.empty() && keys.size() > 1 && value < last) *ordered = false;
      last = value;
    }
  }
  table.SetIndexName("");
  return keys;
}

}  // namespace quellor::test

// A child that fails a check prints it and leaves with code 1.
#define CHILD_CHECK(cond)                                                           \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "child check failed at line %d: %s\n", __LINE__, #cond); \
      return 1;                                                                     \
    }                                                                               \
  } while (0)
