// The pieces of an encrypted table: a piece whose length is a multiple of 65,536 (the
// descriptors of a table of 256, 512, 768 or 1,024 fields) is stored plain, every other piece
// enciphered; a table whose descriptors an earlier writer enciphered whole still opens.
#include <gtest/gtest.h>

#include <string>

#include "store/StoreTestTables.h"
#include "store/api/StoreTb.h"
#include "store/format/Cipher.h"
#include "support/TempDir.h"

using namespace quellor;
using namespace quellor::test;

namespace {

constexpr size_t kDescStart = 127;
constexpr size_t kDescSize = 768;

std::string FieldName(int i) {
  return "F" + std::to_string(i);
}

void CreateWide(const TempDir& dir, TStoreSession& session, int fields) {
  TStoreTable t(session);
  Bind(t, dir, "w");
  for (int i = 1; i <= fields; ++i) t.FieldDefs().Add(FieldName(i), TFieldType::SmallInt);
  t.StoreDefs().Encrypted = true;
  t.StoreDefs().Password = "pw";
  t.CreateTable();
  t.Open();
  t.Append();
  t.FieldByName(FieldName(1)).SetAsInteger(11);
  t.FieldByName(FieldName(fields)).SetAsInteger(-7);
  t.Post();
}

// The first field's name as it stands in the file.
std::string StoredFirstName(const std::string& dat) {
  return dat.substr(kDescStart + 3, 2);
}

void ExpectRecord(const TempDir& dir, TStoreSession& session, int fields) {
  TStoreTable t(session);
  Bind(t, dir, "w");
  t.Open();
  ASSERT_EQ(t.FieldCount(), fields);
  t.First();
  ASSERT_FALSE(t.Eof());
  EXPECT_EQ(t.FieldByName(FieldName(1)).AsInteger(), 11);
  EXPECT_EQ(t.FieldByName(FieldName(fields)).AsInteger(), -7);
  EXPECT_TRUE(t.FieldByName(FieldName(2)).IsNull());
}

struct TWide {
  int fields;
  bool plain;  // the descriptor piece is a multiple of 65,536 bytes long
};

class CipherPieces : public ::testing::TestWithParam<TWide> {};

TEST_P(CipherPieces, DescriptorsFollowThePieceRuleAndReadBack) {
  TempDir dir;
  TStoreSession session;
  session.AddPassword("pw");
  CreateWide(dir, session, GetParam().fields);
  const std::string dat = ReadFileBytes(dir.file("w.DAT"));
  EXPECT_EQ(StoredFirstName(dat) == "F1", GetParam().plain);
  // The records are enciphered either way.
  EXPECT_EQ(dat.find(std::string("\x01\x00\x00\x00", 4), dat.size() - 10), std::string::npos);
  ExpectRecord(dir, session, GetParam().fields);
}

TEST_P(CipherPieces, DescriptorsEncipheredWholeByAnEarlierWriterStillOpen) {
  TempDir dir;
  TStoreSession session;
  session.AddPassword("pw");
  CreateWide(dir, session, GetParam().fields);
  std::string dat = ReadFileBytes(dir.file("w.DAT"));
  if (GetParam().plain) {
    // What the earlier writer left: the whole piece enciphered.
    ApplyCipherBytes(reinterpret_cast<uint8_t*>(dat.data()) + kDescStart,
                     kDescSize * static_cast<size_t>(GetParam().fields), kBodyKey);
    WriteFileBytes(dir.file("w.DAT"), dat);
    ASSERT_NE(StoredFirstName(dat), "F1");
  }
  ExpectRecord(dir, session, GetParam().fields);
  // A verify of either form finds nothing.
  TStoreTable t(session);
  Bind(t, dir, "w");
  std::vector<std::string> lines;
  t.OnRepairLog = [&](TStoreTable&, const std::string& line) { lines.push_back(line); };
  t.Verify();
  EXPECT_EQ(lines.size(), 2u) << (lines.size() > 1 ? lines[1] : "");
}

INSTANTIATE_TEST_SUITE_P(Widths, CipherPieces,
                         ::testing::Values(TWide{255, false}, TWide{256, true}, TWide{257, false},
                                           TWide{512, true}, TWide{1024, true}),
                         [](const auto& info) { return std::to_string(info.param.fields); });

}  // namespace
