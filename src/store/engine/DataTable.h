// TDataTable: one open table of a database folder, shared by every cursor of the process that
// opens it (reference-counted by shared pointers held in its TDataDirectory).
//
// It owns the table's three files (data, index, BLOB), checks them at open (version, header,
// descriptors, language, password), and carries out each change as one unit: all checks first,
// then the changes in the caches, then one write of everything that changed. A change that fails
// part-way is rolled back in the caches, so the files stay as they were.
//
// Between programs it takes the lock regions of TableLocks.h and watches the change counters
// at the start of each file:
//   - a change takes the data write lock and the write range, re-reads the counters (dropping
//     stale caches), changes the caches, writes them and lets the locks go;
//   - a reading operation (Reading) that must read a record, page or block that is not cached
//     first takes the index file's read slot and compares the counters of the index and data
//     files; when another program changed a file the operation starts over on fresh caches,
//     still holding the slot, so it never mixes old cached pages with new ones from the file.
//     The first BLOB block it reads from the file adds the BLOB file's slot and compares that
//     counter too. With StrictChangeDetection every reading operation takes the slot and
//     compares the counters before it begins;
//   - index file changed: its pages are dropped and the data file's header and records are
//     read again; data file changed: its header is read again and its records dropped; BLOB file
//     changed: its blocks are dropped.
// In a transaction of its database the table holds the data write lock throughout, keeps its
// changes in the caches and its record locks until commit or rollback. A transaction whose
// changes (records, BLOB values and changed index pages) grow beyond the session's
// transactionSpillBytes writes them to the files under the journal instead (Journal.h, "Large
// transactions"), in chunks of an eighth of that bound (at most 2 MiB), and keeps the write
// range from then on, so that no other program reads what is not committed; its rollback undoes
// them from the journal.
//
// Every write of the table files goes through the table's journal (Journal.h), so a change or
// commit reaches the files whole or not at all, also when the program is killed while writing
// or a write fails. Whoever comes next resolves what a killed writer left: the open, every
// taking of the write locks and every taking of the read slots first look at the journal (one
// read), and a journal to resolve is resolved under the write locks before anything is read.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "store/engine/Journal.h"
#include "store/engine/TableFiles.h"
#include "store/engine/TableIndexes.h"
#include "store/engine/TableLocks.h"
#include "store/format/BlobFile.h"
#include "store/format/DataFile.h"

namespace quellor {

class TDataSession;

// New values of a record's BLOB fields, by field position.
using TBlobChanges = std::map<size_t, std::string>;

class TDataTable {
 public:
  // Opens the files and checks them; `tableName` is the name for messages.
  TDataTable(TDataSession& session, const TTableFiles& files, const std::string& tableName,
             bool exclusive);
  ~TDataTable();

  const std::string& Name() const { return tableName_; }
  // The order in which the tables of the process were opened (commit goes last opened first).
  uint64_t OpenSequence() const { return openSequence_; }
  bool Exclusive() const { return exclusive_; }
  bool InMemory() const { return files_.inMemory; }
  // The data file's read-only attribute is set: nothing may be changed.
  bool ReadOnlyFiles() const { return readOnlyFiles_; }

  TDataFile& Data() { return *data_; }
  const std::vector<TFieldDesc>& Fields() const { return data_->Fields(); }
  TTableIndexes& Indexes() { return *indexes_; }
  // Held by every operation on the table's files and caches; cursors walking an index hold it
  // too (the index trees are not safe for use from several threads at once).
  std::recursive_mutex& Mutex() { return mutex_; }
  // The read slots' current holding (TTableLocks::ReadTerm); 0 when they are not held.
  uint64_t ReadTerm() const { return locks_ ? locks_->ReadTerm() : 0; }

  // The number of active records, from the index file's header.
  int32_t RecordCount();
  // A copy of a slot's image (8962 for a damaged slot).
  std::vector<uint8_t> ReadRecord(int32_t slot);
  // The value of a BLOB field of a record image.
  std::string ReadBlob(const uint8_t* image, const TFieldDesc& field);
  // The value of a BLOB field of the record in `slot` as a reading cursor showed it (`shown`).
  // When another program changed the record since, the blocks of the value shown may belong
  // to another value now: the value is then the one the record holds now, none when the
  // record is gone. A reader is never told of a change it did not make.
  std::string ReadShownBlob(int32_t slot, const uint8_t* shown, const TFieldDesc& field);

  // Inserts a record: `image` holds the field values (its 9-byte header is filled here);
  // returns its slot. 9732/9730/9731 for values, 9479 when full.
  // `givenLogicalId` (above 0) is the record's logical id (its auto-increment value) instead of
  // the next one: 9729 when a record of the table, live or deleted, has it; the counter of ids
  // given out moves up to it, so later records do not meet it again.
  int32_t Insert(std::vector<uint8_t>& image, const TBlobChanges& blobs,
                 int32_t givenLogicalId = 0);
  // Rewrites a record; `shown` is the copy the cursor read (8708 when the disk differs).
  // `givenLogicalId` (above 0) changes the record's logical id as for Insert.
  void Update(int32_t slot, const std::vector<uint8_t>& shown, std::vector<uint8_t>& image,
              const TBlobChanges& blobs, int32_t givenLogicalId = 0);
  void Delete(int32_t slot, const std::vector<uint8_t>& shown);
  // 8708 when the record on disk differs from `shown` or is gone.
  void CheckUnchanged(int32_t slot, const std::vector<uint8_t>& shown);
  void Empty();
  // Adds an index built from the records, or removes a secondary one; the table must be open
  // exclusively (10253). Errors of the definition: TTableIndexes::AddIndex and DeleteIndex.
  // `progress` is told (records read so far, percent) as the records are read for the index.
  void AddIndex(const TIndexDesc& desc, bool primary,
                const std::function<void(int record, int percent)>& progress = {});
  void DeleteIndex(const std::string& name);
  // Hands every active record to `visit` (for building an index).
  void VisitRecords(const TRecordVisitor& visit);
  // Writes everything cached and asks the system to flush the files (in a transaction only
  // the files are flushed: the changes wait for the commit).
  void FlushToDisk();
  // Takes the read slots and notices changes other users wrote (change counters), dropping
  // stale caches. Only at the start of an operation: nothing may hold cached pages or records.
  void DetectChanges();
  // Moves on with every change of the records this process makes or notices (a change, an
  // emptying, another user's change found by DetectChanges, a rolled-back transaction), so
  // that what a cursor derived from the records (a filter's record set) knows it is stale.
  uint64_t ChangeCount() const { return changeCount_; }
  void NoteChange() { ++changeCount_; }

  // Runs a reading operation: holds the table's mutex, and the read slots from the first read
  // that is not served by the caches (or, with StrictChangeDetection, from the start) to the
  // end of the outermost one; starts `read` over when another program changed the files.
  template <typename F>
  auto Reading(F&& read) -> decltype(read());

  // Record locks: one cursor of the process at a time per record (10258 at once otherwise),
  // and the operating system's lock of the record's byte between programs (10258 after
  // LockRetryCount retries). 10242 for unlocking a record the cursor does not hold.
  void LockRecord(int32_t slot, const void* cursor, int retries = -1);
  // The record taken for editing by a cursor: its holder is noted (TTableLocks::NoteHolder).
  void NoteHolder(int32_t slot);
  // Who holds a record whose lock was refused; empty when that cannot be told.
  std::string RecordHolder(int32_t slot);
  void UnlockRecord(int32_t slot, const void* cursor);
  // Whether this table holds a lock on the record (for any cursor, or kept by a transaction).
  bool RecordLocked(int32_t slot);
  // Deletes the current record of `cursor`, locking it inside the write locks.
  void Delete(int32_t slot, const std::vector<uint8_t>& shown, const void* cursor);

  // ---- transactions (driven by the database folder, TDataDirectory) ----
  bool InTransaction() const { return inTransaction_; }
  // Writes out what an exclusive table has cached, takes the data write lock (10249) and
  // re-reads the counters; the table then holds its changes in its caches.
  void BeginTransaction();
  // Undoes BeginTransaction when another table of the database could not begin (what cannot
  // be let go is the close's to let go).
  void AbandonTransaction() noexcept;
  // The first step of a commit: the write range (10249; the transaction goes on).
  void PrepareCommit();
  // Lets the write range of PrepareCommit go when another table could not take its own (what
  // cannot be let go is the close's to let go).
  void ReleaseCommitRange() noexcept;
  // Writes every cached change, lets the data write lock go and then the kept record locks.
  void Commit();
  // Drops every cached change and lets the data write lock and the kept record locks go.
  void Rollback();

 private:
  // 9729 when `id` is taken by a record (live, or deleted except `reusedId`); moves the
  // counter of given-out ids up to it.
  void TakeGivenLogicalId(int32_t id, int32_t reusedId);
  // The next id of the counter that no live record has.
  int32_t NextFreeLogicalId();
  // The end of a transaction that is not committed: undoes what it spilled into the files
  // (from the journal), and drops its changes from the caches; each returns its failure.
  std::exception_ptr UndoSpills() noexcept;
  std::exception_ptr DropCachedChanges() noexcept;
  // Leaves transaction mode: releases the write locks, then the record locks kept; rethrows
  // `failure` (or the first release failure) afterwards.
  void EndTransaction(std::exception_ptr failure);
  // Thrown by the read hooks when the files changed under the caches: the outermost reading
  // operation drops the stale caches and starts over. Never leaves the table.
  struct TStaleCaches {};
  class TReadScope;
  class TWriteScope;
  // Whether reads are coordinated with other programs now (not exclusive, not in memory, not
  // inside a change or transaction that keeps writers out anyway).
  bool CoordinatedReads() const;
  void BeforeDiskRead();
  // BeforeDiskRead, then the BLOB file's slot and counter (once per operation).
  void BeforeBlobRead();
  bool CountersChanged();
  // Re-reads the counters and drops what is stale; returns whether anything was.
  bool DropStaleCaches();
  // The start of the outermost reading operation with StrictChangeDetection: read slots, then
  // counters. LeaveRead ends every one (the outermost lets the slots go).
  void EnterRead();
  void LeaveRead();
  // The read slots, with what a killed writer left resolved first.
  void AcquireReadSlots();
  // REQUIRES: the write locks. Resolves the journal when it holds something; then nothing that
  // this table has cached may be trusted (it may have come from its own failed write).
  bool ResolveJournal();
  // At open, before the headers are read: resolves under the write locks what is there.
  void ResolveJournalAtOpen();
  // Whether the caches hold changes that the files do not (none, after a change that was
  // written or refused; a failed commit's, or an exclusive table's).
  bool HasUnwrittenChanges() const;
  // Under the write locks, writes what HasUnwrittenChanges found, or drops it when the files
  // changed under it since.
  void WriteLeftChanges(bool durable);
  // Writes the cached changes as one journaled unit; `write` does the writing.
  void Journaled(bool durable, const std::function<void()>& write);
  // Forgets every cache (after a failed write): the next operation reads the files again.
  void DiscardAll();
  void SetJournalFiles();
  void DeleteLocked(int32_t slot, const std::vector<uint8_t>& shown);
  void CheckUnchangedCached(int32_t slot, const std::vector<uint8_t>& shown);
  void CheckValues(const std::vector<uint8_t>& image, const TBlobChanges& blobs);
  void WriteBlobs(std::vector<uint8_t>& image, const TBlobChanges& blobs);
  // Runs a change: snapshot, body, write; rollback of the caches on failure.
  void Change(const std::function<void()>& body);
  // Writes what the caches hold changed; every file written moves its change counter on.
  void WriteChanges(bool flushOs);
  void WriteChangesJournaled(bool flushOs) {
    Journaled(flushOs, [&] { WriteChanges(flushOs); });
  }
  void VisitSlots(const TSlotVisitor& visit);
  // In a transaction: counts what a change added to the caches, and writes the changes out
  // under the journal when they are many.
  void NoteTransactionBytes(int64_t bytes);
  // The bytes a spill holds back before it writes them as a level of its own.
  int64_t SpillChunkBytes() const;
  // Drops a transaction whose spill failed: the files go back to the state before it.
  void LoseTransaction();
  bool KeepsWriteRange() const { return inTransaction_ && journal_ && journal_->Spilled(); }
  [[noreturn]] void Fail(uint16_t code) const;

  TDataSession& session_;
  TTableFiles files_;
  std::string tableName_;
  bool exclusive_;
  bool readOnlyFiles_ = false;
  std::shared_ptr<TAbstractFile> dataFile_, indexFile_, blobFile_;
  std::unique_ptr<TTableJournal> journal_;  // null for in-memory tables
  // The change counters of the three files as this table's last written change left them:
  // the journal may take before-images from what that change wrote only while the files
  // still carry them (nobody wrote since; a reading operation that took in another program's
  // change has the newer counters).
  std::array<int32_t, 3> CurrentCounters() const;
  void TrustKnownIfUnchanged();
  std::array<int32_t, 3> knownCounters_{};
  bool knownCountersSet_ = false;
  bool discardAll_ = false;  // the caches must go before the next use
  std::unique_ptr<TDataFile> data_;
  std::unique_ptr<TBlobFile> blob_;
  std::unique_ptr<TTableIndexes> indexes_;
  uint64_t changeCount_ = 0;
  std::unique_ptr<TTableLocks> locks_;
  std::recursive_mutex mutex_;
  uint64_t openSequence_ = 0;
  bool inTransaction_ = false;
  int64_t txUnspilled_ = 0;      // bytes changed in the caches since the last spill
  bool txLost_ = false;          // a spill failed: the transaction was rolled back
  int64_t changeBlobBytes_ = 0;  // BLOB bytes written by the running change
  int readDepth_ = 0;            // nested reading operations running
  bool readChecked_ = false;     // the counters were compared under the read slots in this one
  bool blobChecked_ = false;     // the BLOB file's slot is held and its counter was compared
};

// One reading operation, nested ones counted: the outermost holds the read slots from the
// first read that is not served by the caches (or, with StrictChangeDetection, from its start)
// and lets them go at its end.
class TDataTable::TReadScope {
 public:
  // The depth counts first, so that a failure of the strict start (10249 for the slots, the
  // errors of reading the headers) ends the operation again and lets go what it took.
  explicit TReadScope(TDataTable& table) : depth_(table) { table.EnterRead(); }
  TReadScope(const TReadScope&) = delete;
  TReadScope& operator=(const TReadScope&) = delete;

 private:
  struct TDepth {
    explicit TDepth(TDataTable& t) : table(t) { ++table.readDepth_; }
    ~TDepth() { table.LeaveRead(); }
    TDataTable& table;
  } depth_;
};

// The write locks of one change (TableLocks.h): the data byte, unless the transaction holds
// it, then the write range, unless a spilled transaction holds it; a journal that a killed
// writer left is resolved under them before anything is read or written. Release() lets them
// go (the range, then the data byte) on the way out of a change that succeeded and reports a
// failure; the destructor lets them go quietly on any other way out.
class TDataTable::TWriteScope {
 public:
  // 10249 when a lock cannot be had; the errors of resolving the journal. Nothing is held then.
  explicit TWriteScope(TDataTable& table);
  ~TWriteScope();
  TWriteScope(const TWriteScope&) = delete;
  TWriteScope& operator=(const TWriteScope&) = delete;

  // The journal held a killed writer's change, undone now: nothing cached may be trusted.
  bool ResolvedJournal() const { return resolved_; }
  void Release();

 private:
  TDataTable& table_;
  // Declared in the order of taking: they are let go in the reverse order.
  TLockScope data_;
  TLockScope range_;
  bool resolved_ = false;
  bool released_ = false;
};

template <typename F>
auto TDataTable::Reading(F&& read) -> decltype(read()) {
  std::lock_guard lock(mutex_);
  TReadScope scope(*this);
  const bool outermost = readDepth_ == 1;
  for (;;) {
    try {
      return read();
    } catch (const TStaleCaches&) {
      // The slots are held now: the caches are dropped and the read starts over on what the
      // files hold (and is not interrupted again). Only the outermost operation may drop them;
      // inner ones run while their callers hold pages and records of the caches.
      if (!outermost) throw;
      DropStaleCaches();
    }
  }
}

}  // namespace quellor
