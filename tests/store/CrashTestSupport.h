// The table of the crash tests, reading it whole into a comparable form, and a checker of its
// files that looks beneath the front end.
//
// "crash.DAT": Key (string 12, primary index), Value (integer), Tag (string 40, non-unique index
// "ByTag"), Code (string 12, unique index "ByCode"), Notes (memo, in the BLOB file), Id
// (auto-increment, the logical record id). Tables are created with language id 0 (byte order).
//
// CheckTableFiles looks at what the front end cannot see: every slot of the deleted chain is a
// deleted slot and every deleted slot is on it; active slots carry their own number and ids no
// higher than the header's last id; every index tree is sound (TIndexTree::Verify) and holds
// one entry per record ("Sys Deleted": one per slot); the header's record count is the number
// of active slots; no BLOB block is both on the free chain and in a record's chain, nor in two
// chains.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "store/api/StoreError.h"
#include "store/api/StoreTb.h"
#include "store/btree/IndexFile.h"
#include "store/format/BlobFile.h"
#include "store/format/ByteOrder.h"
#include "store/format/DataFile.h"
#include "store/os/PhysicalFile.h"
#include "support/TempDir.h"

namespace quellor::test {

inline constexpr const char* kCrashTable = "crash.DAT";

inline std::string CrashKey(int i) {
  char text[16];
  std::snprintf(text, sizeof text, "K%04d", i);
  return text;
}

// Notes of a given length made from a seed: letters that change along the text.
inline std::string NotesOf(int seed, int length) {
  std::string text(static_cast<size_t>(length), ' ');
  for (int i = 0; i < length; ++i)
    text[static_cast<size_t>(i)] = static_cast<char>('a' + (seed + i * 7) % 26);
  return text;
}

inline void BindCrash(TStoreTable& table, const std::string& folder) {
  table.SetDatabaseName(folder);
  table.SetTableName(kCrashTable);
}

struct TCrashRow {
  std::string key, tag, code, notes;
  int64_t value = 0;
  int64_t id = 0;
};

inline void SetRow(TStoreTable& t, const TCrashRow& row) {
  t.FieldByName("Key").SetAsString(row.key);
  t.FieldByName("Value").SetAsInteger(row.value);
  t.FieldByName("Tag").SetAsString(row.tag);
  t.FieldByName("Code").SetAsString(row.code);
  if (row.notes.empty())
    t.FieldByName("Notes").Clear();
  else
    t.FieldByName("Notes").SetAsString(row.notes);
}

inline void CreateCrashTable(const std::string& folder, int count) {
  TStoreSession::Default().SetLanguageID(0);
  TStoreTable table;
  BindCrash(table, folder);
  auto& f = table.FieldDefs();
  f.Add("Key", TFieldType::String, 12);
  f.Add("Value", TFieldType::Integer);
  f.Add("Tag", TFieldType::String, 40);
  f.Add("Code", TFieldType::String, 12);
  f.Add("Notes", TFieldType::Memo);
  f.Add("Id", TFieldType::AutoInc);
  table.IndexDefs().Add("", "Key", IndexOption::Primary);
  table.IndexDefs().Add("ByTag", "Tag", 0);
  table.IndexDefs().Add("ByCode", "Code", IndexOption::Unique);
  table.CreateTable();
  table.Open();
  for (int i = 0; i < count; ++i) {
    table.Append();
    // Every third record has notes of one to four BLOB blocks.
    SetRow(table, {CrashKey(i), "tag" + std::to_string(i % 9), "C" + CrashKey(i),
                   i % 3 == 0 ? NotesOf(i, 100 + (i * 37) % 1800) : std::string(), i, 0});
    table.Post();
  }
  // A few deleted slots, so that inserts reuse them.
  for (int i : {5, 17, 29}) {
    if (table.FindKey({CrashKey(i)})) table.Delete();
  }
  table.Close();
}

// The records in primary order, one line each, and the lines of every index order checked
// against it. Problems go to `problems`.
inline std::vector<std::string> ReadCrashTable(const std::string& folder,
                                               std::vector<std::string>& problems) {
  TStoreTable t;
  BindCrash(t, folder);
  t.Open();
  std::vector<std::string> lines;
  std::map<int64_t, std::string> byId;
  for (t.First(); !t.Eof(); t.Next()) {
    std::string line = std::to_string(t.FieldByName("Id").AsInteger()) + "|" +
                       t.FieldByName("Key").AsString() + "|" +
                       std::to_string(t.FieldByName("Value").AsInteger()) + "|" +
                       t.FieldByName("Tag").AsString() + "|" + t.FieldByName("Code").AsString() +
                       "|" + t.FieldByName("Notes").AsString();
    if (!byId.emplace(t.FieldByName("Id").AsInteger(), line).second)
      problems.push_back("two records with id " + line);
    lines.push_back(line);
  }
  if (t.RecordCount() != static_cast<int>(lines.size()))
    problems.push_back("RecordCount " + std::to_string(t.RecordCount()) + " for " +
                       std::to_string(lines.size()) + " records");
  // Every index reaches every record once, in its order.
  for (const char* index : {"ByTag", "ByCode"}) {
    t.SetIndexName(index);
    const std::string field = std::string(index) == "ByTag" ? "Tag" : "Code";
    std::set<int64_t> seen;
    std::string last;
    for (t.First(); !t.Eof(); t.Next()) {
      std::string key = t.FieldByName(field).AsString();
      if (key < last) problems.push_back(std::string(index) + " out of order at " + key);
      last = key;
      if (!seen.insert(t.FieldByName("Id").AsInteger()).second)
        problems.push_back(std::string(index) + " reaches a record twice");
    }
    if (seen.size() != byId.size())
      problems.push_back(std::string(index) + " reaches " + std::to_string(seen.size()) + " of " +
                         std::to_string(byId.size()) + " records");
  }
  t.Close();
  return lines;
}

// Looks beneath the front end; returns the problems found (none for a sound table).
inline std::vector<std::string> CheckTableFiles(const std::string& folder,
                                                const std::string& name = kCrashTable) {
  std::vector<std::string> problems;
  std::string base = name.substr(0, name.rfind('.'));
  auto dataFile =
      std::shared_ptr<TAbstractFile>(TPhysicalFile::Open(folder + base + ".DAT", false, name));
  TDataFile data(dataFile, name);
  data.Load();
  const int32_t slots = data.SlotCount();
  int32_t active = 0, deleted = 0;
  std::set<int32_t> deletedSlots;
  int32_t maxId = 0;
  for (int32_t s = 1; s <= slots; ++s) {
    const uint8_t* image = data.ReadSlot(s);
    int32_t id = bytes::GetI32(image + 5);
    maxId = std::max(maxId, id);
    if (image[0] == 0) {
      ++active;
    } else {
      ++deleted;
      deletedSlots.insert(s);
    }
  }
  if (maxId > data.Header().lastLogicalId) problems.push_back("an id above the last id given out");
  std::set<int32_t> chain;
  for (int32_t s = data.Header().deletedChain; s != 0;) {
    if (!deletedSlots.count(s) || !chain.insert(s).second) {
      problems.push_back("the deleted chain reaches slot " + std::to_string(s));
      break;
    }
    s = bytes::GetI32(data.ReadSlot(s) + 1);
  }
  if (chain.size() != deletedSlots.size()) problems.push_back("deleted slots off the chain");

  TIndexFileOptions options;
  options.tableName = name;
  auto indexFile = TPhysicalFile::Open(folder + base + ".IDX", false, name);
  TIndexFile index(*indexFile, data.Fields(), options);
  if (index.RecordCount() != active)
    problems.push_back("record count " + std::to_string(index.RecordCount()) + " for " +
                       std::to_string(active) + " active slots");
  std::vector<TIndexTree*> trees;
  if (index.Primary()) trees.push_back(index.Primary());
  for (int i = 0; i < index.SecondaryCount(); ++i) trees.push_back(&index.Secondary(i));
  trees.push_back(&index.SysDeleted());
  for (TIndexTree* tree : trees) {
    for (const std::string& p : tree->Verify()) problems.push_back("index: " + p);
    int64_t want = tree == &index.SysDeleted() ? slots : active;
    if (tree->Count() != want)
      problems.push_back("an index holds " + std::to_string(tree->Count()) + " entries for " +
                         std::to_string(want));
  }

  if (data.Header().blobFieldCount > 0) {
    auto blobFile = TPhysicalFile::Open(folder + base + ".BLB", false, name);
    TBlobFile blob(std::shared_ptr<TAbstractFile>(std::move(blobFile)), name,
                   data.Header().BlobBlockSize(), false);
    blob.Load();
    const int bs = data.Header().BlobBlockSize();
    auto next = [&](int32_t offset) {
      uint8_t head[kBlobBlockHeaderSize];
      blob.File().ReadAt(offset, head, sizeof head);
      return bytes::GetI32(head + 4);
    };
    auto valid = [&](int32_t o) {
      return o >= kBlobHeaderSize && o + bs <= blob.Header().endOffset &&
             (o - kBlobHeaderSize) % bs == 0;
    };
    std::set<int32_t> used;
    for (int32_t s = 1; s <= slots; ++s) {
      const uint8_t* image = data.ReadSlot(s);
      if (image[0] != 0) continue;
      for (const auto& f : data.Fields()) {
        if (f.type != TStoreFieldType::Blob || image[f.offset] == 0) continue;
        for (int32_t o = bytes::GetI32(image + f.offset + 1); o != 0; o = next(o)) {
          if (!valid(o) || !used.insert(o).second) {
            problems.push_back("a BLOB chain reaches block " + std::to_string(o) +
                               " twice or outside");
            break;
          }
        }
      }
    }
    std::set<int32_t> freeBlocks;
    for (int32_t o = blob.Header().freeChain; o != 0; o = next(o)) {
      if (!valid(o) || used.count(o) || !freeBlocks.insert(o).second) {
        problems.push_back("the free BLOB chain reaches block " + std::to_string(o));
        break;
      }
    }
  }
  return problems;
}

// Copies every file of `from` into `to` (emptied first).
inline void CopyFolder(const std::string& from, const std::string& to) {
  auto list = [](const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
      while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      ::closedir(d);
    }
    return names;
  };
  for (const auto& n : list(to)) ::unlink((to + n).c_str());
  for (const auto& n : list(from)) WriteFileBytes(to + n, ReadFileBytes(from + n));
}

}  // namespace quellor::test
