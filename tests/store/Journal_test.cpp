// The journaled file wrapper holding a change's writes back: what it holds reads back as
// written, reaches the file whole at the commit and not at all when the change is dropped,
// also for changes of many megabytes written piece by piece.
#include "store/Journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "store/MemoryFile.h"
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
