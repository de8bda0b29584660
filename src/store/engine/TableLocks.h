// TTableLocks: the byte-range locks one open table takes on its files, the only thing besides
// the change counters that coordinates the programs sharing a table.
//
// Every region lies far beyond the 2,000,000,000-byte growth limit of the files, so a lock never
// covers data:
//
//   region            file        offset                         length  tries, wait   failing
//   record lock       .DAT        2,147,483,646 - physical rec.  1       LockRetryCount
//                                                                        x LockWaitTime 10258
//   data write lock   .DAT        2,147,483,647                  1       8192 x 3 ms    10249
//   writer turn       .DAT        2,147,483,648                  1       (within the data
//                                                                        write lock's wait)
//   write range       .IDX, .BLB  2,147,418,112                  65,535  8192 x 3 ms    10249
//   read slot         .IDX, .BLB  2,147,483,647 - r, r random    1       8192 x 3 ms    10249
//                                 from 1 to 65,535 (drawn anew
//                                 after each failed try)
//
// The read slots and the write range form a readers-writer lock between programs: every reader
// holds one random byte of the range, a writer the whole range, so it waits until no reader is
// left and keeps new ones out while it writes. Every writer takes the index range first and
// holds it while it writes any of the three files, so a reader's slot on the index file alone
// keeps all writers out; the slot on the BLOB file is added only when a reading operation reads
// BLOB blocks from the file.
//
// Writers take turns: the data write lock is only taken while holding the writer turn, which
// is let go as soon as the data byte is had. A writer that has to wait keeps the turn while it
// polls, so a program that releases the data byte and asks for it again at once (a transaction
// that failed and starts over) queues behind it instead of winning every race against the
// 3 ms polls. Programs that do not know the turn byte still exclude each other correctly
// through the data byte; they only skip the queue. Waiters for the turn are not ordered among
// themselves: whoever polls first after the turn is let go has it next.
//
// The BLOB file is locked only when the table has one. Order: read slots or write locks first
// (data byte, then the index range, then the BLOB range), record locks inside them; write locks
// are released before record locks.
//
// The set of records this table holds is kept here as well: a record that another cursor of the
// same program holds is refused at once (10258) without asking the operating system. Tables
// opened exclusively and in-memory tables keep that set but take no operating-system locks.
// Releasing what is not held fails with 10242. Every wait is bounded.
//
// Code takes the regions through scope objects (TLockScope, TRecordLockScope below): a scope
// takes its region in its constructor and lets it go in its destructor, so that every way out
// of an operation, an error included, lets go what the operation took, in the reverse order
// of taking. The order itself is checked (STORE_ASSERT, debug builds): the data byte is never
// asked for while holding the write range or a read slot, the write range only while holding
// the data byte and no read slot (the slot lies inside the range on the same open file, so
// the range would swallow it), a read slot never while holding the write range, and a record
// lock never while holding a read slot (a writer holding that record would wait for the slot
// while this program waited for the record).
//
// While the index file's read slot is held no writer can change (or cut) the data and index
// files, so the slot brackets a guarded stretch of both (TAbstractFile::BeginGuardedReads),
// in which their reads may come from a memory mapping when the session's mappedReads allows.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "store/engine/HolderBoard.h"
#include "store/os/AbstractFile.h"
#include "store/os/StoreAssert.h"

namespace quellor {

class TDataSession;

inline constexpr int64_t kRecordLockBase = 2'147'483'646;
inline constexpr int64_t kDataWriteLockOffset = 2'147'483'647;
inline constexpr int64_t kWriterTurnOffset = 2'147'483'648;
inline constexpr int64_t kWriteRangeOffset = 2'147'418'112;
inline constexpr int64_t kWriteRangeLength = 65'535;
inline constexpr int64_t kReadSlotBase = 2'147'483'647;
inline constexpr int kReadSlotCount = 65'535;
inline constexpr int kTableLockTries = 8192;
inline constexpr int kTableLockWaitMs = 3;

// The offset of a record's lock byte in the data file.
inline int64_t RecordLockOffset(int32_t slot) {
  return kRecordLockBase - slot;
}

// The regions a TLockScope holds.
enum class TLockRegion {
  DataWrite,   // the data write lock (the writer turn comes and goes with it)
  WriteRange,  // the write range of the index file, then the BLOB file's
  ReadSlots,   // the index file's read slot (and the BLOB file's once it is added)
};

class TTableLocks {
 public:
  // `active` false: exclusive or in-memory table, no operating-system locks. The session gives
  // the record lock retries (read at each lock, so a change takes effect at once).
  TTableLocks(TDataSession& session, std::string tableName, bool active);
  // Releases whatever is still held.
  ~TTableLocks();
  TTableLocks(const TTableLocks&) = delete;
  TTableLocks& operator=(const TTableLocks&) = delete;

  void SetFiles(std::shared_ptr<TAbstractFile> data, std::shared_ptr<TAbstractFile> index,
                std::shared_ptr<TAbstractFile> blob);
  bool Active() const { return active_; }

  // ---- read slots (index and BLOB file) ----
  bool HoldsReadSlots() const { return indexSlot_ != 0; }
  // A number for the current holding of the read slots, new with every taking; 0 when they
  // are not held. What was read in place under one holding is good while the number stays.
  uint64_t ReadTerm() const { return indexSlot_ != 0 ? readTerm_ : 0; }
  // The index file's slot (the BLOB file's comes with AcquireBlobSlot); 10249.
  void AcquireReadSlots();
  // Adds the BLOB file's slot while the index file's is held (nothing otherwise); 10249.
  void AcquireBlobSlot();
  bool HoldsBlobSlot() const { return blobSlot_ != 0; }
  void ReleaseReadSlots();  // 10242 when not held

  // ---- write locks ----
  bool HoldsDataWriteLock() const { return dataWrite_; }
  bool HoldsWriteRange() const { return rangeWrite_; }
  void AcquireDataWriteLock();  // 10249
  void AcquireWriteRange();     // index, then BLOB; 10249
  void ReleaseWriteRange();     // BLOB, then index; 10242 when not held
  void ReleaseDataWriteLock();  // 10242 when not held

  // ---- record locks ----
  // 10258 at once when another cursor of this table holds the record; else the operating
  // system is asked LockRetryCount more times, LockWaitTime ms apart (10258 at the end). A
  // record kept by a transaction goes to the cursor without asking. `retries` >= 0 asks that
  // many more times instead of LockRetryCount (0: one try, no wait).
  void LockRecord(int32_t slot, const void* cursor, int retries = -1);
  // 10242 when the cursor does not hold the record. While records are kept (a transaction) the
  // lock stays, free for any cursor of this table, until ReleaseKeptRecords.
  void UnlockRecord(int32_t slot, const void* cursor);
  bool RecordLocked(int32_t slot) const { return records_.count(slot) != 0; }
  // Writes the session's user on the holder board (HolderBoard.h) as the one editing `slot`,
  // which this table holds; cleared when the record lock is let go. Nothing for tables that
  // take no operating-system locks.
  void NoteHolder(int32_t slot);
  // Who holds `slot` after a lock was refused: this session's user when another cursor of
  // this program holds it, else the name on the holder board; empty when that cannot be told.
  std::string Holder(int32_t slot);
  void SetKeepRecords(bool on) { keepRecords_ = on; }
  // Releases the records kept by a transaction; those a cursor still edits stay.
  void ReleaseKeptRecords();

  // Releases every lock (the table is closed); what cannot be let go is left to the close.
  void ReleaseAll() noexcept;

  // ---- by region (the scopes) ----
  bool Holds(TLockRegion region) const;
  void Acquire(TLockRegion region);
  void Release(TLockRegion region);  // 10242 when not held or when letting go fails
  // Lets the region go when held, ignoring failures: for a way out that reports another error.
  void ReleaseQuietly(TLockRegion region) noexcept;
  // UnlockRecord, ignoring that the record is not held or cannot be let go.
  void UnlockRecordQuietly(int32_t slot, const void* cursor) noexcept;
  // ReleaseKeptRecords, ignoring failures.
  void ReleaseKeptRecordsQuietly() noexcept { UnlockKeptRecords(); }

 private:
  // The letting go itself, every lock call of the region made even when one fails; false when
  // one failed. The state says the region is free afterwards either way.
  bool UnlockReadSlots() noexcept;
  bool UnlockWriteRange() noexcept;
  bool UnlockDataWrite() noexcept;
  bool UnlockKeptRecords() noexcept;
  // 0: unlocked; 1: not held by `cursor`; 2: the operating system refused.
  int UnlockRecordFor(int32_t slot, const void* cursor) noexcept;
  // One non-blocking try after another, `waitMs` apart, up to `tries` tries.
  bool TryLock(TAbstractFile& file, int64_t offset, int64_t length, int tries, int waitMs);
  int32_t DrawSlot();
  // Clears the holder board's entry of a record this table noted, before its lock goes.
  void ForgetNote(int32_t slot) noexcept;
  int32_t TakeReadSlot(TAbstractFile& file);  // the slot taken, 0 when every try failed
  void EndGuard();                            // ends the guarded stretch the read slot began
  [[noreturn]] void Fail(uint16_t code) const;

  TDataSession& session_;
  std::string tableName_;
  bool active_;
  std::shared_ptr<TAbstractFile> data_, index_, blob_;
  int32_t indexSlot_ = 0, blobSlot_ = 0;  // the read slots held, 0 for none
  // The files whose guarded stretch the index slot began, and whether it allowed mapping.
  std::shared_ptr<TAbstractFile> guardedData_, guardedIndex_;
  bool guardMapped_ = false;
  uint64_t readTerm_ = 0;
  bool dataWrite_ = false, rangeWrite_ = false;
  bool keepRecords_ = false;
  std::map<int32_t, const void*> records_;  // cursor null: kept by the transaction
  std::unique_ptr<THolderBoard> board_;     // made with the files of a locking table
  std::set<int32_t> noted_;                 // records whose holder this table noted
  std::mt19937 random_;
};

// One region of a table's locks, held for a stretch of code. The constructor takes it unless
// the table holds it already (a transaction holds the data byte, a spilled one the write
// range, an outer scope the read slots): then this scope neither takes nor lets it go.
// Release() lets it go on the way out of an operation that succeeded and reports a failure
// (10242); the destructor lets it go quietly on any other way out (the operation's own error
// is the one that counts). Keep() hands it on: it stays held after the scope (a transaction's
// data byte). Scopes of one stretch are declared in the order of the regions, so that they
// are let go in the reverse order.
class TLockScope {
 public:
  // 10249 when the region cannot be had; nothing is held then.
  TLockScope(TTableLocks& locks, TLockRegion region);
  ~TLockScope() {
    if (took_) locks_.ReleaseQuietly(region_);
  }
  TLockScope(const TLockScope&) = delete;
  TLockScope& operator=(const TLockScope&) = delete;

  void Release() {
    if (!took_) return;
    took_ = false;
    locks_.Release(region_);
  }
  void Keep() { took_ = false; }

 private:
  TTableLocks& locks_;
  TLockRegion region_;
  bool took_ = false;
};

// The record lock a change takes for a cursor inside the write locks (a deleted record, an
// inserted record's new slot), let go after them: Lock within the change, Release after it;
// the destructor lets it go quietly when the change failed. A transaction keeps it (see
// TTableLocks::UnlockRecord).
class TRecordLockScope {
 public:
  TRecordLockScope(TTableLocks& locks, const void* cursor) : locks_(locks), cursor_(cursor) {}
  ~TRecordLockScope() {
    if (slot_) locks_.UnlockRecordQuietly(slot_, cursor_);
  }
  TRecordLockScope(const TRecordLockScope&) = delete;
  TRecordLockScope& operator=(const TRecordLockScope&) = delete;

  // REQUIRES: no record held by this scope. 10258 as TTableLocks::LockRecord.
  void Lock(int32_t slot) {
    STORE_ASSERT(slot_ == 0 && slot > 0);
    locks_.LockRecord(slot, cursor_);
    slot_ = slot;
  }
  void Release() {
    if (!slot_) return;
    const int32_t slot = slot_;
    slot_ = 0;
    locks_.UnlockRecord(slot, cursor_);
  }

 private:
  TTableLocks& locks_;
  const void* cursor_;
  int32_t slot_ = 0;
};

}  // namespace quellor
