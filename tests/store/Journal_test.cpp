// The journaled file wrapper holding a change's writes back: what it holds reads back as
// written, reaches the file whole at the commit and not at all when the change is dropped,
// also for changes of many megabytes written piece by piece.
#include "store/engine/Journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "store/os/MemoryFile.h"
#include "support/TempDir.h"

using namespace quellor;
using namespace quellor::test;

namespace {

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 131 + seed) % 251);
  return bytes;
}

std::vector<uint8_t> ReadAll(TAbstractFile& file) {
  std::vector<uint8_t> bytes(static_cast<size_t>(file.Size()));
  EXPECT_EQ(file.ReadAt(0, bytes.data(), static_cast<int64_t>(bytes.size())),
            static_cast<int64_t>(bytes.size()));
  return bytes;
}

struct TWrite {
  int64_t offset;
  size_t size;
  uint8_t seed;
};

struct TCase {
  const char* name;
  size_t existing;  // bytes in the file before the change
  std::vector<TWrite> writes;
  size_t piece;  // each write is handed over in pieces of this size
};

const TCase kCases[] = {
    {"small overwrite", 10000, {{100, 500, 1}}, 500},
    {"5 MiB appended in 4 KiB pieces", 8192, {{8192, 5 << 20, 2}}, 4096},
    {"3 MiB appended, then a write across two runs",
     4096,
     {{4096, 3 << 20, 3}, {4096 + (1 << 20) - 30000, 70000, 4}},
     1000},
    {"overwrite of existing bytes and growth in record-sized pieces",
     2 << 20,
     {{(1 << 20) + 7, 3 << 20, 5}, {0, 127, 6}},
     977},
};

class JournaledFile : public ::testing::TestWithParam<TCase> {};

// A data file in memory holding the case's existing bytes, wrapped and journaled.
struct TTable {
  explicit TTable(const TCase& c)
      : base(std::make_shared<TMemoryFile>("T.DAT")),
        before(Pattern(c.existing, 9)),
        file(base),
        journal(dir.file("T.JNL"), "T") {
    base->WriteAt(0, before.data(), static_cast<int64_t>(before.size()));
    journal.SetFiles(&file, nullptr, nullptr);
  }
  TempDir dir;
  std::shared_ptr<TMemoryFile> base;
  std::vector<uint8_t> before;
  TJournaledFile file;
  TTableJournal journal;
};

// Runs the case: the expected bytes after it, and the wrapper after the writes. `afterWrite`
// runs after each piece.
std::vector<uint8_t> Apply(const TCase& c, TJournaledFile& file,
                           const std::function<void()>& afterWrite = {}) {
  std::vector<uint8_t> expected = ReadAll(file);
  for (const TWrite& w : c.writes) {
    std::vector<uint8_t> bytes = Pattern(w.size, w.seed);
    for (size_t at = 0; at < w.size; at += c.piece) {
      size_t n = std::min(c.piece, w.size - at);
      EXPECT_EQ(file.WriteAt(w.offset + static_cast<int64_t>(at), bytes.data() + at,
                             static_cast<int64_t>(n)),
                static_cast<int64_t>(n));
      if (afterWrite) afterWrite();
    }
    if (expected.size() < w.offset + w.size) expected.resize(w.offset + w.size);
    std::copy(bytes.begin(), bytes.end(), expected.begin() + w.offset);
  }
  return expected;
}

TEST_P(JournaledFile, HeldWritesReadBackInBoundedRunsAndReachTheFileAtCommit) {
  const TCase& c = GetParam();
  TTable table(c);
  auto& [dir, base, before, file, journal] = table;

  journal.Begin();
  std::vector<uint8_t> expected = Apply(c, file);
  // Runs grow by continuation to 1 MiB; a write across the end of one joins the two.
  EXPECT_LE(file.LongestHeldRun(), size_t{2} << 20);
  EXPECT_EQ(ReadAll(file), expected);
  EXPECT_EQ(ReadAll(*base), before);  // nothing reached the file yet
  journal.Commit(false);
  EXPECT_EQ(ReadAll(*base), expected);
  EXPECT_FALSE(journal.Hot());
}

TEST_P(JournaledFile, DroppedChangeLeavesTheFileAsItWas) {
  const TCase& c = GetParam();
  TTable table(c);
  auto& [dir, base, before, file, journal] = table;

  journal.Begin();
  Apply(c, file);
  journal.Abort();
  EXPECT_EQ(ReadAll(*base), before);
  EXPECT_EQ(ReadAll(file), before);
}

// A transaction's spill in chunks: the held-back writes never grow past the chunk (and the
// piece that reached it), what was spilled part way is in the file, and the transaction's end
// keeps all of it or, rolled back, none.
TEST_P(JournaledFile, SpillInChunksHoldsAChunkAtMostAndEndsWhole) {
  const TCase& c = GetParam();
  constexpr int64_t kChunk = 256 << 10;
  size_t total = 0;
  for (const TWrite& w : c.writes) total += w.size;
  for (bool commit : {true, false}) {
    SCOPED_TRACE(commit ? "committed" : "rolled back");
    TTable table(c);
    auto& [dir, base, before, file, journal] = table;

    journal.Begin(false, kChunk);
    int64_t most = 0;
    std::vector<uint8_t> expected =
        Apply(c, file, [&] { most = std::max(most, file.HeldBytes()); });
    EXPECT_LT(most, kChunk + static_cast<int64_t>(c.piece));
    EXPECT_EQ(ReadAll(file), expected);
    // Beyond one chunk, part of the change reached the file before the spill's end.
    EXPECT_EQ(ReadAll(*base) != before, total >= static_cast<size_t>(kChunk));
    journal.Spill(false);
    EXPECT_TRUE(journal.Spilled());
    EXPECT_EQ(ReadAll(*base), expected);
    if (commit)
      journal.FinishSpilled(false);
    else
      journal.RollBackSpilled();
    EXPECT_EQ(ReadAll(*base), commit ? expected : before);
    EXPECT_FALSE(journal.Hot());
  }
}

INSTANTIATE_TEST_SUITE_P(Changes, JournaledFile, ::testing::ValuesIn(kCases), [](const auto& info) {
  std::string name;
  for (char ch : std::string(info.param.name))
    name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
});

}  // namespace

// ---- journals of both body checksums ---------------------------------------------------------

namespace {

void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
void Put64(std::string& s, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

// A journal in state "roll back" as a build writes it: one entry that puts `before` back at
// offset `at` of the data file. `version` 1 checksums its body with the serial function, 2 with
// the lanes; `laneSum` chooses the function actually used (to make a journal that does not
// hold together).
std::string MakeJournal(uint32_t version, bool laneSum, const std::vector<uint8_t>& before,
                        int64_t at) {
  std::string body(48 + 16 + before.size(), '\0');
  for (int i = 0; i < 3; ++i) {
    Put64(body, static_cast<size_t>(i) * 16, static_cast<uint64_t>(-1));
    Put64(body, static_cast<size_t>(i) * 16 + 8, static_cast<uint64_t>(-1));
  }
  body[48] = 0;  // data file
  Put32(body, 48 + 4, static_cast<uint32_t>(before.size()));
  Put64(body, 48 + 8, static_cast<uint64_t>(at));
  std::copy(before.begin(), before.end(), body.begin() + 64);
  const uint64_t nonce = 0x1234567887654321ull;
  const auto* b = reinterpret_cast<const uint8_t*>(body.data());
  std::string header(64, '\0');
  header.replace(0, 8, "QJOURNAL");
  Put32(header, 8, version);
  Put32(header, 12, 1);  // roll back
  Put64(header, 16, nonce);
  Put32(header, 24, 1);
  Put64(header, 32, body.size());
  Put64(
      header, 40,
      laneSum ? JournalChecksum(b, body.size(), nonce) : JournalChecksumV1(b, body.size(), nonce));
  Put64(header, 56, JournalChecksumV1(reinterpret_cast<const uint8_t*>(header.data()), 56, 0));
  return header + body;
}

struct TJournalCase {
  const char* name;
  uint32_t version;
  bool laneSum;
  bool rollsBack;  // false: the body does not hold together and is ignored
};

const TJournalCase kJournalCases[] = {
    {"earlier build, serial checksum", 1, false, true},
    {"this build, lane checksum", 2, true, true},
    {"earlier build with a lane checksum", 1, true, false},
    {"this build with a serial checksum", 2, false, false},
};

class JournalVersion : public ::testing::TestWithParam<TJournalCase> {};

TEST_P(JournalVersion, IsRolledBackOnlyWhenItsBodyChecksumHolds) {
  const TJournalCase& c = GetParam();
  TempDir dir;
  auto base = std::make_shared<TMemoryFile>("T.DAT");
  const std::vector<uint8_t> before = Pattern(5000, 3);
  std::vector<uint8_t> changed = before;
  const std::vector<uint8_t> image(before.begin() + 1000, before.begin() + 1777);
  std::fill(changed.begin() + 1000, changed.begin() + 1777, uint8_t{0xEE});
  base->WriteAt(0, changed.data(), static_cast<int64_t>(changed.size()));
  WriteFileBytes(dir.file("T.JNL"), MakeJournal(c.version, c.laneSum, image, 1000));
  TJournaledFile file(base);
  TTableJournal journal(dir.file("T.JNL"), "T");
  journal.SetFiles(&file, nullptr, nullptr);
  EXPECT_TRUE(journal.Hot());
  EXPECT_EQ(journal.Resolve(), c.rollsBack);
  EXPECT_EQ(ReadAll(*base), c.rollsBack ? before : changed);
  EXPECT_FALSE(journal.Hot());  // ended either way
}

INSTANTIATE_TEST_SUITE_P(Checksums, JournalVersion, ::testing::ValuesIn(kJournalCases),
                         [](const auto& info) {
                           std::string name;
                           for (char ch : std::string(info.param.name))
                             name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return name;
                         });

TEST(JournalChecksum, LanesSeeEveryByteAndItsPlace) {
  std::vector<uint8_t> bytes = Pattern(4096 + 13, 1);
  const uint64_t sum = JournalChecksum(bytes.data(), bytes.size(), 7);
  EXPECT_NE(sum, JournalChecksum(bytes.data(), bytes.size(), 8));
  for (size_t at : {size_t{0}, size_t{8}, size_t{17}, size_t{31}, size_t{4095}, size_t{4108}}) {
    bytes[at] ^= 1;
    EXPECT_NE(JournalChecksum(bytes.data(), bytes.size(), 7), sum) << at;
    bytes[at] ^= 1;
  }
  // Two words swapped between lanes.
  std::swap_ranges(bytes.begin(), bytes.begin() + 8, bytes.begin() + 8);
  EXPECT_NE(JournalChecksum(bytes.data(), bytes.size(), 7), sum);
}

}  // namespace
