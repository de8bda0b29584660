#include "store/engine/TableLocks.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "store/api/StoreError.h"
#include "store/engine/DataSession.h"
#include "store/os/RandomSeed.h"

namespace quellor {

TTableLocks::TTableLocks(TDataSession& session, std::string tableName, bool active)
    : session_(session), tableName_(std::move(tableName)), active_(active) {
  const uint64_t seed = RandomSeed();
  random_.seed(static_cast<uint32_t>(seed ^ (seed >> 32)));
}

TTableLocks::~TTableLocks() {
  ReleaseAll();
}

void TTableLocks::SetFiles(std::shared_ptr<TAbstractFile> data,
                           std::shared_ptr<TAbstractFile> index,
                           std::shared_ptr<TAbstractFile> blob) {
  data_ = std::move(data);
  index_ = std::move(index);
  blob_ = std::move(blob);
  if (active_ && data_ && !board_) board_ = std::make_unique<THolderBoard>(data_->Name());
}

void TTableLocks::NoteHolder(int32_t slot) {
  if (!active_ || !board_ || !records_.count(slot)) return;
  board_->Note(slot, session_.userName);
  noted_.insert(slot);
}

std::string TTableLocks::Holder(int32_t slot) {
  if (records_.count(slot)) return session_.userName;
  return board_ ? board_->Holder(slot) : std::string();
}

void TTableLocks::ForgetNote(int32_t slot) noexcept {
  if (noted_.erase(slot) && board_) board_->Clear(slot);
}

void TTableLocks::Fail(uint16_t code) const {
  throw EStoreEngineError(code, {tableName_});
}

bool TTableLocks::TryLock(TAbstractFile& file, int64_t offset, int64_t length, int tries,
                          int waitMs) {
  for (int attempt = 0; attempt < tries; ++attempt) {
    if (attempt > 0 && waitMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    if (file.Lock(offset, length)) return true;
  }
  return false;
}

int32_t TTableLocks::DrawSlot() {
  return std::uniform_int_distribution<int32_t>(1, kReadSlotCount)(random_);
}

int32_t TTableLocks::TakeReadSlot(TAbstractFile& file) {
  // A failed try draws a new byte: another reader may simply hold the same one.
  for (int attempt = 0; attempt < kTableLockTries; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(kTableLockWaitMs));
    int32_t slot = DrawSlot();
    if (file.Lock(kReadSlotBase - slot, 1)) return slot;
  }
  return 0;
}

void TTableLocks::AcquireReadSlots() {
  if (!active_ || HoldsReadSlots()) return;
  STORE_ASSERT(!rangeWrite_);
  int32_t indexSlot = TakeReadSlot(*index_);
  if (!indexSlot) Fail(StoreCode::GeneralLockFailure);
  indexSlot_ = indexSlot;
  ++readTerm_;
  guardMapped_ = session_.mappedReads;
  guardedData_ = data_;
  guardedIndex_ = index_;
  if (guardedData_) guardedData_->BeginGuardedReads(guardMapped_);
  if (guardedIndex_) guardedIndex_->BeginGuardedReads(guardMapped_);
}

void TTableLocks::EndGuard() {
  // Before the slot goes: from then on a writer may cut the files.
  if (guardedData_) guardedData_->EndGuardedReads(guardMapped_);
  if (guardedIndex_) guardedIndex_->EndGuardedReads(guardMapped_);
  guardedData_.reset();
  guardedIndex_.reset();
}

void TTableLocks::AcquireBlobSlot() {
  if (!active_ || !blob_ || !HoldsReadSlots() || blobSlot_) return;
  int32_t blobSlot = TakeReadSlot(*blob_);
  if (!blobSlot) Fail(StoreCode::GeneralLockFailure);
  blobSlot_ = blobSlot;
}

void TTableLocks::ReleaseReadSlots() {
  if (!active_) return;
  if (!HoldsReadSlots()) Fail(StoreCode::CannotUnlock);
  if (!UnlockReadSlots()) Fail(StoreCode::CannotUnlock);
}

bool TTableLocks::UnlockReadSlots() noexcept {
  if (!indexSlot_) return true;
  int32_t indexSlot = indexSlot_, blobSlot = blobSlot_;
  EndGuard();
  indexSlot_ = blobSlot_ = 0;
  bool ok = index_->Unlock(kReadSlotBase - indexSlot, 1);
  if (blob_ && blobSlot) ok = blob_->Unlock(kReadSlotBase - blobSlot, 1) && ok;
  return ok;
}

void TTableLocks::AcquireDataWriteLock() {
  if (!active_ || dataWrite_) return;
  // The data byte first: a writer holding a read slot would wait here for another writer that
  // waits for that slot; one holding the range took it out of order.
  STORE_ASSERT(!rangeWrite_ && indexSlot_ == 0);
  // The turn byte first, then the data byte, then the turn byte goes again: whoever holds the
  // turn is the next writer, as nobody can take the data byte without it. A program that gives
  // the data byte back and wants it again at once finds the turn taken by the one waiting.
  bool turn = false;
  for (int attempt = 0; attempt < kTableLockTries; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(kTableLockWaitMs));
    if (!turn) turn = data_->Lock(kWriterTurnOffset, 1);
    if (turn && data_->Lock(kDataWriteLockOffset, 1)) {
      if (!data_->Unlock(kWriterTurnOffset, 1)) {
        data_->Unlock(kDataWriteLockOffset, 1);
        Fail(StoreCode::CannotUnlock);
      }
      dataWrite_ = true;
      return;
    }
  }
  if (turn) data_->Unlock(kWriterTurnOffset, 1);
  Fail(StoreCode::GeneralLockFailure);
}

void TTableLocks::AcquireWriteRange() {
  if (!active_ || rangeWrite_) return;
  STORE_ASSERT(dataWrite_ && indexSlot_ == 0);
  if (!TryLock(*index_, kWriteRangeOffset, kWriteRangeLength, kTableLockTries, kTableLockWaitMs))
    Fail(StoreCode::GeneralLockFailure);
  if (blob_ &&
      !TryLock(*blob_, kWriteRangeOffset, kWriteRangeLength, kTableLockTries, kTableLockWaitMs)) {
    index_->Unlock(kWriteRangeOffset, kWriteRangeLength);
    Fail(StoreCode::GeneralLockFailure);
  }
  rangeWrite_ = true;
}

void TTableLocks::ReleaseWriteRange() {
  if (!active_) return;
  if (!rangeWrite_) Fail(StoreCode::CannotUnlock);
  if (!UnlockWriteRange()) Fail(StoreCode::CannotUnlock);
}

bool TTableLocks::UnlockWriteRange() noexcept {
  if (!rangeWrite_) return true;
  rangeWrite_ = false;
  bool ok = blob_ ? blob_->Unlock(kWriteRangeOffset, kWriteRangeLength) : true;
  return index_->Unlock(kWriteRangeOffset, kWriteRangeLength) && ok;
}

void TTableLocks::ReleaseDataWriteLock() {
  if (!active_) return;
  if (!dataWrite_) Fail(StoreCode::CannotUnlock);
  if (!UnlockDataWrite()) Fail(StoreCode::CannotUnlock);
}

bool TTableLocks::UnlockDataWrite() noexcept {
  if (!dataWrite_) return true;
  dataWrite_ = false;
  return data_->Unlock(kDataWriteLockOffset, 1);
}

void TTableLocks::LockRecord(int32_t slot, const void* cursor, int retries) {
  auto it = records_.find(slot);
  if (it != records_.end()) {
    if (it->second == cursor) return;
    if (it->second != nullptr) Fail(StoreCode::RecordLocked);  // another cursor of ours
    it->second = cursor;  // kept by the transaction: ours already
    return;
  }
  if (active_) {
    STORE_ASSERT(indexSlot_ == 0);
    if (retries < 0) retries = std::max(0, session_.lockRetryCount);
    if (!TryLock(*data_, RecordLockOffset(slot), 1, retries + 1, session_.lockWaitTime))
      Fail(StoreCode::RecordLocked);
  }
  records_[slot] = cursor;
}

void TTableLocks::UnlockRecord(int32_t slot, const void* cursor) {
  if (UnlockRecordFor(slot, cursor) != 0) Fail(StoreCode::CannotUnlock);
}

void TTableLocks::UnlockRecordQuietly(int32_t slot, const void* cursor) noexcept {
  UnlockRecordFor(slot, cursor);
}

int TTableLocks::UnlockRecordFor(int32_t slot, const void* cursor) noexcept {
  auto it = records_.find(slot);
  if (it == records_.end() || (it->second != cursor && it->second != nullptr)) return 1;
  if (keepRecords_) {
    it->second = nullptr;
    return 0;
  }
  records_.erase(it);
  ForgetNote(slot);
  if (active_ && !data_->Unlock(RecordLockOffset(slot), 1)) return 2;
  return 0;
}

void TTableLocks::ReleaseKeptRecords() {
  if (!UnlockKeptRecords()) Fail(StoreCode::CannotUnlock);
}

bool TTableLocks::UnlockKeptRecords() noexcept {
  // Highest record first, which is the lowest lock offset first: the kernel keeps a file's locks
  // sorted by offset, so each unlock then finds its lock at the front of the list instead of
  // walking past every lock still held (quadratic with thousands of kept records).
  bool ok = true;
  for (auto it = records_.end(); it != records_.begin();) {
    --it;
    if (it->second != nullptr) continue;
    ForgetNote(it->first);
    if (active_) ok = data_->Unlock(RecordLockOffset(it->first), 1) && ok;
    it = records_.erase(it);
  }
  return ok;
}

void TTableLocks::ReleaseAll() noexcept {
  // Write locks before record locks; every region is let go even when one fails.
  if (active_) {
    UnlockWriteRange();
    UnlockDataWrite();
    UnlockReadSlots();
    for (auto it = records_.rbegin(); it != records_.rend(); ++it) {  // lowest offset first
      ForgetNote(it->first);
      data_->Unlock(RecordLockOffset(it->first), 1);
    }
  }
  rangeWrite_ = dataWrite_ = false;
  indexSlot_ = blobSlot_ = 0;
  records_.clear();
}

// ---- by region ----------------------------------------------------------------------------

bool TTableLocks::Holds(TLockRegion region) const {
  switch (region) {
    case TLockRegion::DataWrite:
      return dataWrite_;
    case TLockRegion::WriteRange:
      return rangeWrite_;
    case TLockRegion::ReadSlots:
      return HoldsReadSlots();
  }
  return false;
}

void TTableLocks::Acquire(TLockRegion region) {
  switch (region) {
    case TLockRegion::DataWrite:
      return AcquireDataWriteLock();
    case TLockRegion::WriteRange:
      return AcquireWriteRange();
    case TLockRegion::ReadSlots:
      return AcquireReadSlots();
  }
}

void TTableLocks::Release(TLockRegion region) {
  switch (region) {
    case TLockRegion::DataWrite:
      return ReleaseDataWriteLock();
    case TLockRegion::WriteRange:
      return ReleaseWriteRange();
    case TLockRegion::ReadSlots:
      return ReleaseReadSlots();
  }
}

void TTableLocks::ReleaseQuietly(TLockRegion region) noexcept {
  if (!active_) return;
  switch (region) {
    case TLockRegion::DataWrite:
      UnlockDataWrite();
      break;
    case TLockRegion::WriteRange:
      UnlockWriteRange();
      break;
    case TLockRegion::ReadSlots:
      UnlockReadSlots();
      break;
  }
}

TLockScope::TLockScope(TTableLocks& locks, TLockRegion region) : locks_(locks), region_(region) {
  if (locks_.Holds(region_)) return;
  locks_.Acquire(region_);
  took_ = true;
}

}  // namespace quellor
