// Reads of a table file through its memory mapping: only inside a guarded stretch whose every
// holder allows it, the same bytes a read call returns, never beyond the size the file had when
// the stretch began (a file cut while no guard was held is read with read calls up to its new
// end), a file that grew is mapped anew, and a cut through the file itself lowers the limit.
// A page that cannot be read after all (a program cuts the file without the table's locks) is
// a read error or a shorter read, as with read calls, never the end of the process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "store/os/PhysicalFile.h"
#include "support/TempDir.h"

namespace quellor::test {
namespace {

// A byte pattern that differs from offset to offset.
uint8_t PatternAt(int64_t offset, uint8_t seed) {
  return static_cast<uint8_t>((offset * 131 + offset / 251 + seed) & 0xff);
}

// Another program's descriptor of the file: writes and cuts that bypass the file object.
class TOther {
 public:
  explicit TOther(const std::string& path) : fd_(::open(path.c_str(), O_RDWR)) {}
  ~TOther() { ::close(fd_); }
  void Fill(int64_t from, int64_t to, uint8_t seed) {
    std::vector<uint8_t> bytes(static_cast<size_t>(to - from));
    for (int64_t i = from; i < to; ++i) bytes[static_cast<size_t>(i - from)] = PatternAt(i, seed);
    ASSERT_EQ(::pwrite(fd_, bytes.data(), bytes.size(), from), static_cast<ssize_t>(bytes.size()));
  }
  void Cut(int64_t size) { ASSERT_EQ(::ftruncate(fd_, size), 0); }

 private:
  int fd_;
};

std::string MakeFile(const TempDir& dir, int64_t size) {
  const std::string path = dir.file("mapped.DAT");
  { auto created = TPhysicalFile::Create(path, false, "mapped.DAT"); }
  TOther(path).Fill(0, size, 1);
  return path;
}

// Reads `count` bytes at `offset` and checks them against the pattern; returns the number read.
int64_t ReadChecked(TPhysicalFile& file, int64_t offset, int64_t count, uint8_t seed) {
  std::vector<uint8_t> got(static_cast<size_t>(count), 0xEE);
  const int64_t n = file.ReadAt(offset, got.data(), count);
  for (int64_t i = 0; i < n; ++i)
    if (got[static_cast<size_t>(i)] != PatternAt(offset + i, seed)) {
      ADD_FAILURE() << "byte " << offset + i << " differs";
      break;
    }
  return n;
}

uint64_t ReadCalls() {
  return FileCallCounts().reads;
}

class MappedReads : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = MakeFile(dir_, 100'000);
    file_ = TPhysicalFile::Open(path_, false, "mapped.DAT");
    if (!file_->Mappable()) GTEST_SKIP() << "the temporary folder is not on a local file system";
    busErrors_ = TPhysicalFile::BusErrorsCaught();
  }
  // Within the limits no page beyond the end is ever touched: no bus error was caught (the
  // handler would hide a limit read past the end of the file).
  void TearDown() override {
    if (!expectBusError_) {
      EXPECT_EQ(TPhysicalFile::BusErrorsCaught(), busErrors_);
    }
  }
  uint64_t busErrors_ = 0;
  bool expectBusError_ = false;
  TempDir dir_;
  std::string path_;
  std::unique_ptr<TPhysicalFile> file_;
};

TEST_F(MappedReads, InsideAMappedStretchReadsAreCopiesAndSeeOtherWrites) {
  file_->BeginGuardedReads(true);
  EXPECT_EQ(ReadChecked(*file_, 1000, 500, 1), 500);  // the size asked and the file mapped
  const uint64_t before = ReadCalls();
  for (int64_t at = 0; at < 99'000; at += 7'001) EXPECT_EQ(ReadChecked(*file_, at, 1000, 1), 1000);
  EXPECT_EQ(ReadCalls(), before);  // no read call
  // The mapping shows the page cache: another descriptor's write is seen at once.
  TOther(path_).Fill(40'000, 41'000, 9);
  EXPECT_EQ(ReadChecked(*file_, 40'000, 1000, 9), 1000);
  // A read that runs over the end is a read call, which stops at the end.
  EXPECT_EQ(ReadChecked(*file_, 99'900, 500, 1), 100);
  EXPECT_GT(ReadCalls(), before);
  file_->EndGuardedReads(true);
}

TEST_F(MappedReads, OutsideAStretchOrWhenAnyHolderForbidsItEveryReadIsAReadCall) {
  auto expectReadCall = [&] {
    const uint64_t before = ReadCalls();
    EXPECT_EQ(ReadChecked(*file_, 5000, 100, 1), 100);
    EXPECT_EQ(ReadCalls(), before + 1);
    EXPECT_EQ(file_->MappedView(5000, 100), nullptr);
  };
  expectReadCall();
  file_->BeginGuardedReads(false);
  expectReadCall();
  file_->BeginGuardedReads(true);
  expectReadCall();  // one holder forbids it
  file_->EndGuardedReads(false);
  const uint8_t* view = file_->MappedView(5000, 100);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[0], PatternAt(5000, 1));
  file_->EndGuardedReads(true);
  expectReadCall();
}

TEST_F(MappedReads, AFileCutBetweenStretchesIsNeverReadBeyondItsNewEnd) {
  file_->BeginGuardedReads(true);
  EXPECT_EQ(ReadChecked(*file_, 90'000, 1000, 1), 1000);
  file_->EndGuardedReads(true);
  // Another program cuts the file while no guard is held; the mapping still spans the old
  // size (touching its pages past the end would kill the process).
  TOther(path_).Cut(10'000);
  file_->BeginGuardedReads(true);
  EXPECT_EQ(ReadChecked(*file_, 90'000, 1000, 1), 0);
  EXPECT_EQ(ReadChecked(*file_, 9'900, 1000, 1), 100);
  EXPECT_EQ(ReadChecked(*file_, 0, 4096, 1), 4096);
  EXPECT_EQ(file_->MappedView(9'000, 2'000), nullptr);
  ASSERT_NE(file_->MappedView(0, 10'000), nullptr);
  std::vector<int64_t> offsets{0, 5'000, 12'000};
  std::vector<uint8_t> pieces(3 * 100);
  uint8_t* outs[3] = {pieces.data(), pieces.data() + 100, pieces.data() + 200};
  EXPECT_FALSE(file_->ReadMappedPieces(offsets.data(), 3, 100, outs));
  offsets[2] = 9'900;
  ASSERT_TRUE(file_->ReadMappedPieces(offsets.data(), 3, 100, outs));
  for (size_t p = 0; p < 3; ++p)
    for (int64_t i = 0; i < 100; ++i)
      ASSERT_EQ(pieces[p * 100 + static_cast<size_t>(i)], PatternAt(offsets[p] + i, 1));
  file_->EndGuardedReads(true);
}

TEST_F(MappedReads, ACutThroughTheFileItselfLowersTheLimitAtOnce) {
  file_->BeginGuardedReads(true);
  EXPECT_EQ(ReadChecked(*file_, 80'000, 1000, 1), 1000);
  ASSERT_EQ(file_->WriteAt(20'000, nullptr, 0), 0);
  EXPECT_EQ(ReadChecked(*file_, 80'000, 1000, 1), 0);
  EXPECT_EQ(file_->MappedView(19'000, 2'000), nullptr);
  EXPECT_EQ(ReadChecked(*file_, 19'000, 2000, 1), 1000);
  file_->EndGuardedReads(true);
}

// Another program cuts the file inside a stretch without taking the table's locks: the pages
// past its new end cannot be read. The read that meets them gets what a read call gets, the
// process lives on, and the file is read with read calls from then on.
TEST_F(MappedReads, APageCutAwayInsideAStretchIsAShortReadNotTheEndOfTheProcess) {
  expectBusError_ = true;
  file_->BeginGuardedReads(true);
  EXPECT_EQ(ReadChecked(*file_, 60'000, 1000, 1), 1000);  // mapped, 100,000 bytes seen
  TOther(path_).Cut(8'192);
  EXPECT_EQ(ReadChecked(*file_, 60'000, 1000, 1), 0);
  EXPECT_EQ(TPhysicalFile::BusErrorsCaught(), busErrors_ + 1);
  const uint64_t before = ReadCalls();
  EXPECT_EQ(ReadChecked(*file_, 0, 1000, 1), 1000);
  EXPECT_EQ(ReadCalls(), before + 1);  // a read call now
  EXPECT_EQ(file_->MappedView(0, 1000), nullptr);
  file_->EndGuardedReads(true);
  file_->BeginGuardedReads(true);
  EXPECT_EQ(file_->MappedView(0, 1000), nullptr);  // and in later stretches
  EXPECT_EQ(ReadChecked(*file_, 4'000, 5'000, 1), 4'192);
  file_->EndGuardedReads(true);
}

// The same for a view and for pieces: a view with a page that cannot be read is not handed
// out, and pieces from such a page are read with read calls.
TEST_F(MappedReads, ViewsAndPiecesOfAPageCutAwayAreNotServedFromTheMapping) {
  expectBusError_ = true;
  auto other = TPhysicalFile::Open(path_, false, "mapped.DAT");
  for (TPhysicalFile* f : {file_.get(), other.get()}) f->BeginGuardedReads(true);
  ASSERT_NE(file_->MappedView(0, 4096), nullptr);
  EXPECT_EQ(ReadChecked(*other, 0, 100, 1), 100);
  TOther(path_).Cut(40'960);
  EXPECT_EQ(file_->MappedView(50'000, 1'000), nullptr);
  std::vector<int64_t> offsets{0, 70'000};
  std::vector<uint8_t> pieces(2 * 100);
  uint8_t* outs[2] = {pieces.data(), pieces.data() + 100};
  EXPECT_FALSE(other->ReadMappedPieces(offsets.data(), 2, 100, outs));
  EXPECT_EQ(TPhysicalFile::BusErrorsCaught(), busErrors_ + 2);
  for (TPhysicalFile* f : {file_.get(), other.get()}) f->EndGuardedReads(true);
}

TEST_F(MappedReads, AFileThatGrewIsMappedAnewInTheNextStretch) {
  file_->BeginGuardedReads(true);
  EXPECT_EQ(ReadChecked(*file_, 0, 1000, 1), 1000);
  file_->EndGuardedReads(true);
  const int64_t grown = 3 * (int64_t{1} << 20) + 123;
  TOther(path_).Fill(100'000, grown, 2);
  file_->BeginGuardedReads(true);
  EXPECT_EQ(ReadChecked(*file_, grown - 5000, 5000, 2), 5000);
  const uint64_t before = ReadCalls();
  EXPECT_EQ(ReadChecked(*file_, 2'500'000, 4000, 2), 4000);
  EXPECT_EQ(ReadCalls(), before);
  file_->EndGuardedReads(true);
}

}  // namespace
}  // namespace quellor::test
