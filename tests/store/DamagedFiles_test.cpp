// A populated table's three files are truncated, zeroed and bit-flipped at many offsets; every
// open and read must give data or an engine error of the store's list, never a crash or hang.
#include <gtest/gtest.h>

#include <random>

#include "store/StoreTestTables.h"
#include "store/api/StoreTb.h"
#include "support/TempDir.h"

using namespace quellor;
using namespace quellor::test;

namespace {

void Populate(const TempDir& dir, TStoreSession& session, bool encrypted) {
  TStoreTable t(session);
  Bind(t, dir, "d");
  AddEveryFieldKind(t);
  t.StoreDefs().BlobBlockSize = 64;  // many blocks, long chains
  if (encrypted) {
    t.StoreDefs().Encrypted = true;
    t.StoreDefs().Password = "pw";
  }
  t.CreateTable();
  t.Open();
  for (int i = 0; i < 12; ++i) {
    t.Append();
    t.FieldByName("Name").SetAsString("record " + std::to_string(i));
    t.FieldByName("Whole").SetAsInteger(i * 1000);
    t.FieldByName("Stamp").SetAsString("2020-01-02 03:04:05");
    t.FieldByName("Amount").SetAsFloat(i * 1.25);
    if (i % 3 != 0)
      t.FieldByName("Data").SetAsString(std::string(static_cast<size_t>(i * 40), 'x'));
    if (i % 2 == 0) t.FieldByName("Notes").SetAsString("note " + std::to_string(i));
    t.Post();
  }
  t.First();
  t.Next();
  t.Delete();  // a deleted chain
  t.Next();
  t.Delete();
}

// Opens the table, reads every field of every record and makes one change.
void ReadEverything(const TempDir& dir, TStoreSession& session) {
  TStoreTable t(session);
  Bind(t, dir, "d");
  t.Open();
  int guard = 0;
  for (t.First(); !t.Eof() && guard < 1000; t.Next(), ++guard)
    for (int i = 0; i < t.FieldCount(); ++i) {
      t.Fields(i).AsString();
      t.Fields(i).IsNull();
    }
  ASSERT_LT(guard, 1000);
  t.RecordCount();
  t.Append();
  t.FieldByName("Name").SetAsString("new");
  t.FieldByName("Data").SetAsString(std::string(300, 'n'));
  t.Post();
  t.First();
  if (!t.Eof()) {
    t.Edit();
    t.FieldByName("Data").SetAsString("short");
    t.Post();
    t.Delete();
  }
}

TEST(DamagedFiles, EveryDamageGivesDataOrAnEngineError) {
  std::mt19937 random(20240229);
  int errors = 0, clean = 0;
  for (bool encrypted : {false, true}) {
    TempDir dir;
    TStoreSession session;
    session.AddPassword("pw");
    Populate(dir, session, encrypted);
    for (const char* ext : {".DAT", ".IDX", ".BLB"}) {
      const std::string path = dir.file(std::string("d") + ext);
      const std::string good = ReadFileBytes(path);
      std::vector<std::string> originals;
      for (const char* other : {".DAT", ".IDX", ".BLB"})
        originals.push_back(ReadFileBytes(dir.file(std::string("d") + other)));
      std::vector<size_t> offsets;
      for (size_t o : {0,   4,       8,       9,        13,       17,       21,       23,
                       25,  86,      112,     127,      127 + 84, 127 + 86, 127 + 88, 127 + 90,
                       512, 512 + 4, 512 + 8, 512 + 14, 576,      580,      3974,     4095})
        if (o < good.size()) offsets.push_back(o);
      for (int i = 0; i < 60; ++i) offsets.push_back(random() % good.size());
      for (size_t offset : offsets) {
        for (int kind = 0; kind < 3; ++kind) {
          std::string bad = good;
          if (kind == 0) bad.resize(offset);
          if (kind == 1)
            std::fill_n(bad.begin() + static_cast<long>(offset),
                        std::min<size_t>(8, bad.size() - offset), '\0');
          if (kind == 2) bad[offset] = static_cast<char>(bad[offset] ^ (1 << (random() % 8)));
          WriteFileBytes(path, bad);
          SCOPED_TRACE(std::string(ext) + " kind " + std::to_string(kind) + " at " +
                       std::to_string(offset));
          try {
            ReadEverything(dir, session);
            ++clean;
          } catch (const EStoreEngineError& e) {
            EXPECT_NE(StoreErrorFormat(e.ErrorCode()), nullptr) << e.what();
            ++errors;
          } catch (const EDatabaseError& e) {
            // A damaged value may not convert; that is a dataset error, not a crash.
            ++errors;
          }
          // Restore all three files: a write may have touched the others.
          int n = 0;
          for (const char* other : {".DAT", ".IDX", ".BLB"})
            WriteFileBytes(dir.file(std::string("d") + other), originals[static_cast<size_t>(n++)]);
        }
      }
    }
  }
  EXPECT_GT(errors, 0);
  EXPECT_GT(clean, 0);
}

}  // namespace
