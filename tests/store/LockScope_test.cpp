// The lock scopes of TableLocks.h: each lets go what it took on every way out of its stretch
// (an error included), leaves alone what was held before it, hands a region on when asked;
// and the order of the regions is checked in debug builds. Whether a region is held is asked
// of the operating system through a second open of the file, whose locks conflict with the
// table's as another program's would.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "LockTestSupport.h"
#include "store/engine/StoreInternals.h"
#include "store/engine/TableLocks.h"
#include "store/os/FileList.h"
#include "store/os/PhysicalFile.h"

namespace quellor::test {
namespace {

class LockScope : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeSharedTable(dir_, 3);
    TFileList& list = TFileList::Instance();
    data_ = list.OpenDisk(dir_.file("shared.DAT"), false, "shared.DAT");
    index_ = list.OpenDisk(dir_.file("shared.IDX"), false, "shared.DAT");
    locks_ = std::make_unique<TTableLocks>(TStoreInternals::Engine(TStoreSession::Default()),
                                           "shared.DAT", true);
    locks_->SetFiles(data_, index_, nullptr);
    otherData_ = TPhysicalFile::Open(dir_.file("shared.DAT"), false, "shared.DAT");
    otherIndex_ = TPhysicalFile::Open(dir_.file("shared.IDX"), false, "shared.DAT");
  }

  // Whether the table holds a region, as another program finds out by trying to take it.
  bool HeldOnDisk(TLockRegion region) {
    TAbstractFile& file = region == TLockRegion::DataWrite ? *otherData_ : *otherIndex_;
    const int64_t offset =
        region == TLockRegion::DataWrite ? kDataWriteLockOffset : kWriteRangeOffset;
    // A read slot is one byte of the write range: the whole range conflicts with it.
    const int64_t length = region == TLockRegion::DataWrite ? 1 : kWriteRangeLength;
    if (!file.Lock(offset, length)) return true;
    EXPECT_TRUE(file.Unlock(offset, length));
    return false;
  }
  bool RecordHeldOnDisk(int32_t slot) {
    if (!otherData_->Lock(RecordLockOffset(slot), 1)) return true;
    EXPECT_TRUE(otherData_->Unlock(RecordLockOffset(slot), 1));
    return false;
  }
  // The regions a region needs before it: the write range comes inside the data byte.
  void TakeBefore(TLockRegion region) {
    if (region == TLockRegion::WriteRange) locks_->AcquireDataWriteLock();
  }
  void ReleaseBefore(TLockRegion region) {
    if (region == TLockRegion::WriteRange) locks_->ReleaseDataWriteLock();
  }

  TempDir dir_;
  std::shared_ptr<TAbstractFile> data_, index_;
  std::unique_ptr<TTableLocks> locks_;
  std::unique_ptr<TPhysicalFile> otherData_, otherIndex_;
};

struct TRegionCase {
  const char* name;
  TLockRegion region;
};
const TRegionCase kRegions[] = {
    {"data write lock", TLockRegion::DataWrite},
    {"write range", TLockRegion::WriteRange},
    {"read slots", TLockRegion::ReadSlots},
};

TEST_F(LockScope, AScopeLetsGoWhatItTookOnEveryWayOutAndKeepsWhatItIsToldTo) {
  struct TWayOut {
    const char* name;
    std::function<void(TLockScope&)> leave;  // runs inside the scope's stretch
    bool heldAfter;
  };
  const TWayOut ways[] = {
      {"released", [](TLockScope& s) { s.Release(); }, false},
      {"an error", [](TLockScope&) { throw std::runtime_error("failed"); }, false},
      {"the end of the stretch", [](TLockScope&) {}, false},
      {"kept", [](TLockScope& s) { s.Keep(); }, true},
  };
  for (const TRegionCase& r : kRegions) {
    for (const TWayOut& way : ways) {
      SCOPED_TRACE(std::string(r.name) + ", " + way.name);
      TakeBefore(r.region);
      try {
        TLockScope scope(*locks_, r.region);
        EXPECT_TRUE(locks_->Holds(r.region));
        EXPECT_TRUE(HeldOnDisk(r.region));
        way.leave(scope);
      } catch (const std::runtime_error&) {
      }
      EXPECT_EQ(locks_->Holds(r.region), way.heldAfter);
      EXPECT_EQ(HeldOnDisk(r.region), way.heldAfter);
      if (way.heldAfter) locks_->Release(r.region);
      ReleaseBefore(r.region);
      EXPECT_FALSE(HeldOnDisk(r.region));
    }
  }
}

TEST_F(LockScope, AScopeLeavesARegionHeldBeforeItToItsHolder) {
  for (const TRegionCase& r : kRegions) {
    SCOPED_TRACE(r.name);
    TakeBefore(r.region);
    locks_->Acquire(r.region);
    try {
      TLockScope scope(*locks_, r.region);
      throw std::runtime_error("failed");
    } catch (const std::runtime_error&) {
    }
    {
      TLockScope scope(*locks_, r.region);
      scope.Release();
    }
    EXPECT_TRUE(HeldOnDisk(r.region));
    locks_->Release(r.region);
    ReleaseBefore(r.region);
  }
}

TEST_F(LockScope, ARecordLockScopeLetsGoOnFailureAndATransactionKeepsTheRecord) {
  const int cursor = 0;
  try {
    TRecordLockScope record(*locks_, &cursor);
    record.Lock(2);
    EXPECT_TRUE(RecordHeldOnDisk(2));
    throw std::runtime_error("the change failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(locks_->RecordLocked(2));
  EXPECT_FALSE(RecordHeldOnDisk(2));

  // In a transaction the record stays locked after the change, to the commit.
  locks_->SetKeepRecords(true);
  {
    TRecordLockScope record(*locks_, &cursor);
    record.Lock(3);
    record.Release();
  }
  EXPECT_TRUE(locks_->RecordLocked(3));
  EXPECT_TRUE(RecordHeldOnDisk(3));
  locks_->SetKeepRecords(false);
  locks_->ReleaseKeptRecords();
  EXPECT_FALSE(RecordHeldOnDisk(3));
}

#ifndef NDEBUG
// Out of order is a fault of the store's own code: debug builds stop at once.
TEST_F(LockScope, TakingRegionsOutOfOrderStopsADebugBuild) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct TCase {
    const char* name;
    std::function<void()> outOfOrder;
  };
  const TCase cases[] = {
      {"write range without the data byte", [&] { locks_->AcquireWriteRange(); }},
      {"data byte while reading",
       [&] {
         locks_->AcquireReadSlots();
         locks_->AcquireDataWriteLock();
       }},
      {"write range while reading",
       [&] {
         locks_->AcquireDataWriteLock();
         locks_->AcquireReadSlots();
         locks_->AcquireWriteRange();
       }},
      {"read slot inside the write range",
       [&] {
         locks_->AcquireDataWriteLock();
         locks_->AcquireWriteRange();
         locks_->AcquireReadSlots();
       }},
      {"record lock while reading",
       [&] {
         locks_->AcquireReadSlots();
         locks_->LockRecord(1, this);
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_DEATH(c.outOfOrder(), "store invariant failed");
  }
}
#endif

}  // namespace
}  // namespace quellor::test
