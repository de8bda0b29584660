// TTableJournal: the rollback journal that makes every change of a table all or nothing, also
// when the program is killed part way or a write fails (a full disk).
//
// The three table files keep their formats; the journal is a fourth file beside them, named
// after the table with the extension ".JNL" (cracks.DAT, cracks.IDX, cracks.BLB: cracks.JNL).
// It is created by the first change and stays; between changes it holds nothing to do.
//
// How a change is written (TDataTable, under the table's write locks):
//   1. While the change is written out, every write, truncation and flush of the table files
//      is held back by their TJournaledFile wrappers (reads see the held-back writes).
//   2. The journal is written with ONE write at offset 0: its header (state "roll back") and
//      a body with the bytes each held-back write will overwrite, as they are now (the
//      "before-images"; only the 32-byte blocks the write alters, neighbouring ones joined),
//      and each file's size when the change makes it longer. The before-images of what the
//      table's previous change wrote come from memory when the table vouches that nobody
//      wrote the files since (TrustKnown); the others are read from the files.
//      Durable changes (ForceBufferFlush, FlushToDisk) then fsync the journal (fdatasync: its
//      data and size are what count).
//   3. The held-back writes go to the table files, neighbouring ones merged into one write.
//      Durable changes fsync every table file written.
//   4. ONE write of the header with state "nothing to do" ends the change: from here on it
//      stands. Durable changes fsync the journal once more; a failure of that fsync does not
//      undo the change (its table files are on the device already; at worst a power loss
//      brings back the state before it). A journal body that grew beyond 1 MiB is cut to
//      nothing instead of the header write (one ftruncate).
// A change that cuts a table file shorter (emptying a table) journals the headers it
// rewrites; after writing them it sets the state to "cut" with one more header write, cuts the
// files, and ends as in 4. When a cut file is also written beyond the cut, the bytes cut off
// are journaled instead and the change is an ordinary roll-back change.
//
// Large transactions: a transaction keeps its changes in the table's caches until its commit,
// unless they grow large. Then it writes them to the table files before its commit ("spills"),
// holding the write range (so no other program reads them) to its end:
//   1. The first spill records each file's size as it was before the transaction in the file
//      table and journals the bytes the spill overwrites below those sizes, then writes the
//      held-back writes; the state stays "roll back".
//   2. Each later spill, and the commit's own writes, add a "level" right after what the
//      journal holds: a header and body as above, in ONE write, with the before-images of the
//      bytes not journaled yet in this transaction (its file table all -1), before touching
//      the table files. A level's nonce is derived from the journal's (level k of a journal
//      with nonce N: Mix(N xor k x 0xC2B2AE3D27D4EB4F)), so a level left from an earlier
//      journal never passes for one of this one. Resolving undoes the entries of the journal
//      and of every level that follows it and holds together; the first that does not (torn
//      while written, before its table writes) ends the chain. Levels never overlap.
//   3. The commit ends the journal as in 4 above; a rollback resolves it as below: the files
//      are back as before the transaction, and the caches are dropped.
//
// Whoever comes next and finds the state "roll back" or "cut" (a program that opens the table,
// takes its write locks, or takes a read slot: TDataTable checks the header each time, one
// read) takes the write locks and resolves it: "roll back" writes every before-image back and
// cuts each file to its size before the change; "cut" finishes the cuts. Then it fsyncs the
// table files, writes the state "nothing to do" and fsyncs the journal. Resolving again after
// being killed while resolving does the same again. A journal whose checksums do not hold was
// torn while it was written, before any table file was touched: it is ignored. The table is
// thus always as before the interrupted change or as after it.
//
// A write or flush that fails in step 3 is undone at once the same way by the program that
// made it (9218); if undoing fails too, the journal stays for the next program.
//
// Journal file (integers little-endian):
//
//   Header, 64 bytes at offset 0
//   0   8   magic "QJOURNAL"
//   8   4   uint32  format version: 2; 1 in journals of earlier builds, still read (they
//                   differ only in the body checksum)
//   12  4   uint32  state: 0 nothing to do, 1 roll back, 2 cut
//   16  8   uint64  nonce, drawn anew for every journal; the body checksum starts from it, so
//                   the body of an earlier journal never passes for this one's
//   24  4   uint32  number of entries in the body
//   28  4           reserved, 0
//   32  8   int64   body length in bytes
//   40  8   uint64  body checksum, seeded with the nonce: JournalChecksum of the body in
//                   version 2, JournalChecksumV1 in version 1
//   48  8           reserved, 0
//   56  8   uint64  header checksum (JournalChecksumV1 of bytes 0 to 55, seed 0)
//
//   Body, from offset 64
//   file table, 3 x 16 bytes, for the data (0), index (1) and BLOB file (2):
//     0   8  int64  size before the change when the change makes the file longer, else -1
//     8   8  int64  the size to cut the file to (state 2), else -1
//   entries, each:
//     0   1  uint8  file (0 data, 1 index, 2 BLOB)
//     1   3         reserved, 0
//     4   4  uint32 length n
//     8   8  int64  offset in the file
//     16  n         the bytes there before the change (enciphered as on disk)
//
// In-memory tables have no journal: nothing of them outlives the process.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/os/AbstractFile.h"

namespace quellor {

inline constexpr int kJournalHeaderSize = 64;
inline constexpr int kJournalFileCount = 3;  // data, index, BLOB

class TTableJournal;

// 64-bit checksum of a journal body (version 2): four independent lanes.
uint64_t JournalChecksum(const uint8_t* data, size_t size, uint64_t seed);
// 64-bit checksum of every journal header (56 bytes, seed 0) and of the body of a version 1
// journal: one serial chain.
uint64_t JournalChecksumV1(const uint8_t* data, size_t size, uint64_t seed);

// A table file whose writes a journal can hold back. Outside a change it passes everything to
// the file it wraps.
class TJournaledFile : public TAbstractFile {
 public:
  explicit TJournaledFile(std::shared_ptr<TAbstractFile> base) : base_(std::move(base)) {}

  int64_t ReadAt(int64_t offset, void* buffer, int64_t count) override;
  int64_t WriteAt(int64_t offset, const void* buffer, int64_t count) override;
  int64_t Size() override;
  bool Flush() override;
  bool Lock(int64_t offset, int64_t length, bool shared = false) override {
    return base_->Lock(offset, length, shared);
  }
  bool Unlock(int64_t offset, int64_t length) override { return base_->Unlock(offset, length); }
  const std::string& Name() const override { return base_->Name(); }
  bool IsReadOnly() const override { return base_->IsReadOnly(); }
  void BeginGuardedReads(bool mapped) override { base_->BeginGuardedReads(mapped); }
  void EndGuardedReads(bool mapped) override { base_->EndGuardedReads(mapped); }
  const uint8_t* MappedView(int64_t offset, int64_t count) override {
    return holding_ ? nullptr : base_->MappedView(offset, count);
  }
  bool ReadMappedPieces(const int64_t* offsets, size_t count, size_t size,
                        uint8_t* const* outs) override {
    return !holding_ && base_->ReadMappedPieces(offsets, count, size, outs);
  }

  TAbstractFile& Base() { return *base_; }
  // The longest run of writes held back now, in bytes: writes that continue one another are
  // kept in runs of at most 1 MiB, so that holding a large change back never needs its bytes
  // twice.
  size_t LongestHeldRun() const;
  // The bytes held back now, in all runs.
  int64_t HeldBytes() const { return held_.bytes; }

 private:
  friend class TTableJournal;
  // The writes held back, merged: non-overlapping runs of bytes by offset.
  struct THeld {
    std::map<int64_t, std::vector<uint8_t>> runs;
    int64_t bytes = 0;           // the bytes of all runs
    std::optional<int64_t> cut;  // the lowest size the file was cut to
    int64_t sizeAfterCut = 0;    // the file's size as the change leaves it, once cut
    int64_t runsEnd = 0;         // the end of the last run
    bool flushAsked = false;
    bool Empty() const { return runs.empty() && !cut && !flushAsked; }
  };
  void Hold(int64_t offset, const uint8_t* bytes, int64_t count);
  void HoldCut(int64_t size);

  // What the file holds after this table's last change, as far as it is known without a
  // read: the runs that change wrote (the before-images of the next change, when nobody else
  // wrote the file in between) and the file's size then (-1: not known). Any write that does
  // not go through a change of the journal forgets them.
  void ForgetKnown() {
    known_.clear();
    knownSize_ = -1;
  }
  // The bytes [offset, offset + count) in the known runs; null when a run does not cover
  // them whole.
  const uint8_t* KnownBytes(int64_t offset, int64_t count) const;

  std::shared_ptr<TAbstractFile> base_;
  TTableJournal* journal_ = nullptr;  // the journal holding this file's writes back
  bool holding_ = false;
  THeld held_;
  std::map<int64_t, std::vector<uint8_t>> known_;
  int64_t knownSize_ = -1;
};

class TTableJournal {
 public:
  // `path` is the journal file (it need not exist); `tableName` names the table in errors.
  TTableJournal(std::string path, std::string tableName);
  ~TTableJournal();
  TTableJournal(const TTableJournal&) = delete;
  TTableJournal& operator=(const TTableJournal&) = delete;

  // The table's files; the BLOB file may be null.
  void SetFiles(TJournaledFile* data, TJournaledFile* index, TJournaledFile* blob);

  // Whether the journal holds something to resolve (state 1 or 2 with a sound header). One
  // read; no locks needed, but only a caller holding the write locks may resolve it.
  bool Hot();
  // REQUIRES: the table's write locks. Rolls back or finishes what the journal holds, on the
  // files given (null: not there), and ends the journal. False when there was nothing to do
  // (a torn journal is ended too). 9218/9217 when the table files cannot be written or read.
  bool Resolve(std::array<TAbstractFile*, kJournalFileCount> files);
  bool Resolve();

  // A change is written: the files hold back their writes until Commit or Abort. With
  // `spillChunk` > 0 (a transaction's spill, or its commit once it has spilled), whenever the
  // held-back writes of all files reach that many bytes they are spilled at once (Spill) as a
  // level of their own and holding goes on, so that a large spill never keeps more than about
  // that much in memory. `durable` is the durability of such a level (as Spill's).
  void Begin(bool durable = false, int64_t spillChunk = 0);
  bool Holding() const { return holding_; }
  // Whether a file took a write or cut since Begin.
  bool HeldAnything() const;
  // Writes the journal, then the held-back writes, then ends the journal; `durable` (or a
  // flush asked of a file meanwhile) adds the fsyncs. A failure leaves the files as before
  // the change whenever undoing succeeds, and raises 9218.
  void Commit(bool durable);
  // Forgets the held-back writes (nothing reached the files).
  void Abort();
  // REQUIRES: the table's data write lock or write range, taken after this table's last
  // change, and its change counters found as that change left them (no other writer came in
  // between). The next Commit then takes the before-images of what the last change wrote, and
  // the files' sizes, from memory instead of reading them. Every Commit, Abort, Spill and
  // Resolve ends this trust; DistrustKnown ends it too (the write locks are let go).
  void TrustKnown() { trustKnown_ = true; }
  void DistrustKnown() { trustKnown_ = false; }

  // ---- a transaction that writes its changes before its commit ----
  // Writes what is held back to the files under the transaction's journal, which stays in the
  // state "roll back" (starting it when this is the first spill). While spilled, Commit does
  // the same. A failure rolls back everything spilled (where that fails, the journal stays for
  // whoever comes next) and raises 9218.
  void Spill(bool durable);
  // Whether the files hold changes of a transaction not ended yet.
  bool Spilled() const { return spilled_; }
  // Ends the transaction's journal: what was spilled stands. 9218 when the state cannot be
  // written (the journal then rolls the transaction back for whoever comes next).
  void FinishSpilled(bool durable);
  // Writes back what the transaction overwrote and cuts the files to their sizes before it.
  // 9218 when that fails (the journal stays for whoever comes next).
  void RollBackSpilled();
  // Asks the system to write the journal file to the device (FlushToDisk), so that an ended
  // journal stays ended after a power loss.
  void Sync();

 private:
  friend class TJournaledFile;
  struct TEntry {
    int file;
    int64_t offset;
    std::vector<uint8_t> bytes;
  };
  struct TPlan {
    std::array<int64_t, kJournalFileCount> sizeBefore{-1, -1, -1};
    std::array<int64_t, kJournalFileCount> cutTo{-1, -1, -1};
    std::vector<TEntry> entries;
    bool cutting = false;
    // Each file's size before the change where it became known (not written to the journal).
    std::array<int64_t, kJournalFileCount> knownBefore{-1, -1, -1};
  };
  // Keeps what a successful Commit wrote as the files' known content (see TrustKnown).
  void KeepKnown(const TPlan& plan);
  void ForgetAllKnown();
  // Opens the journal file; `create` makes it when missing. False when it is not there.
  bool OpenFile(bool create);
  TPlan Plan();
  void WriteJournal(const TPlan& plan, bool durable);
  bool WriteState(uint32_t state, bool durable);
  // Writes the before-images back and cuts each file to its size before; false on failure.
  static bool Undo(const TPlan& plan, const std::array<TAbstractFile*, kJournalFileCount>& files,
                   bool sync);
  bool ReadJournal(TPlan& plan, uint32_t& state);
  void EndJournal(bool durable);
  // Spill: the before-images of [from, to) of file `i` not journaled yet in this transaction.
  void JournalRange(int i, int64_t from, int64_t to, std::vector<TEntry>& entries);
  // Spill: appends entries to the journal and rewrites its header (or writes a new journal
  // for the first spill).
  void AppendEntries(std::vector<TEntry> entries, bool durable);
  // The nonce of level `level` of the journal with `nonce`.
  static uint64_t LevelNonce(uint64_t nonce, uint32_t level);
  // Adds the entries of the levels after the body (as far as they hold together) to `plan`.
  void ReadLevels(TPlan& plan, uint32_t version, uint64_t nonce, int64_t fileSize);
  void DropHeld();
  // A file took a write while holding: spills what is held when it reached the chunk.
  void HeldGrew();
  [[noreturn]] void Fail(uint16_t code) const;

  std::string path_;
  std::string tableName_;
  int fd_ = -1;
  bool writable_ = false;
  std::array<TJournaledFile*, kJournalFileCount> files_{};
  bool holding_ = false;
  // Begin's chunk and durability: held-back writes of a spill are spilled in chunks.
  int64_t spillChunk_ = 0;
  bool chunkDurable_ = false;
  bool trustKnown_ = false;
  // The last journal written: its header, so that ending it needs no read.
  std::array<uint8_t, kJournalHeaderSize> header_{};
  int64_t bodyLength_ = 0;
  uint64_t nonceCounter_ = 0;
  uint64_t nonceSeed_ = 0;  // drawn at the first journal, so that no two programs share nonces
  // A spilled transaction: each file's size before it, and the ranges journaled in it.
  bool spilled_ = false;
  uint32_t level_ = 0;  // levels written after the first spill's journal
  std::array<int64_t, kJournalFileCount> txSizeBefore_{-1, -1, -1};
  std::array<std::map<int64_t, int64_t>, kJournalFileCount> txJournaled_;
};

}  // namespace quellor
