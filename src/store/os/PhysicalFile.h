// TPhysicalFile: a table file on disk, opened for random access with POSIX calls.
//
// Share modes have no POSIX equivalent, so they are emulated with a one-byte lock at
// kShareLockOffset, an offset outside every region the store uses: the files stop growing at
// 2,000,000,000 bytes (plus a last record or block), the record locks of the data file reach
// down to 2,147,483,646 - 99,999,999 = 2,047,483,647 and the other regions begin at
// 2,147,418,112. A shared opener holds a read lock on that byte, an exclusive opener a write
// lock. An open that conflicts is a sharing violation, reported as 11013. The locks are
// open-file-description locks (F_OFD_SETLK), so they belong to the open file and work between
// processes and on network mounts.
//
// One process opens a file once (TFileList) and every table of the process that uses it shares
// the descriptor, so the operating system would see all of them as one holder. The file
// therefore remembers the regions locked through it and refuses a lock that overlaps one of
// them, as another process would be refused: two sessions of one program exclude each other
// just as two programs do. Unlock must name a region exactly as it was locked.
//
// A file whose mode has no write bit is the read-only attribute: it is opened for reading only
// and the table becomes read-only (the bits are tested, not access(), which succeeds for root).
//
// Mapped reads: on a local file system (not NFS, SMB/CIFS, FUSE, 9P, AFS, Ceph and the like,
// told by fstatfs at the open) a read inside a guarded stretch (BeginGuardedReads with `mapped`
// from every holder) is served from a read-only shared mapping of the file: a copy from the
// page cache instead of a read call, the same bytes a read call returns. A mapped page beyond
// the end of the file must never be touched (the process would get SIGBUS), so the first
// mapped read of a stretch asks the system for the file's size (fstat, counted as a read) and
// maps at least that much; reads up to that size come from the mapping for the rest of the
// stretch, anything beyond it (or straddling it) from read calls. The size cannot drop below
// what was seen while the stretch lasts: only a writer cuts a table file, and the guard keeps
// every writer out; a cut through this file itself lowers the mapped limit at once. Outside a
// stretch, and on a network or user-space file system, every read is a read call.
//
// A mapped page that cannot be read after all (a disk error, or a program that cuts the file
// without taking the table's locks) raises SIGBUS. The store's handler puts a page of zeros in
// place of that page, so the copy goes on instead of the process dying, and marks the file: the
// read that met it is made again with a read call, which reports the error (or the shorter
// file) as read calls do, and the file is read with read calls from then on. Bus errors outside
// the store's mappings go to the handler that was there before. A view (MappedView) has its
// pages touched before it is handed out, so a page that cannot be read makes it null.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "store/os/AbstractFile.h"

namespace quellor {

inline constexpr int64_t kShareLockOffset = 2'040'000'000;

// Process-wide counts of the system calls the store makes on its table and journal files: lock
// calls (each fcntl lock or unlock), reads (each pread) and writes (each pwrite or truncate).
// Relaxed counters, cheap enough to stay on in every build; benchmarks read them to report the
// calls per operation, which over a network share are round trips.
struct TFileCallCounts {
  uint64_t locks = 0, reads = 0, writes = 0;
};
namespace file_calls {
inline std::atomic<uint64_t> locks{0}, reads{0}, writes{0};
inline void Count(std::atomic<uint64_t>& counter) {
  counter.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace file_calls
inline TFileCallCounts FileCallCounts() {
  return {file_calls::locks.load(std::memory_order_relaxed),
          file_calls::reads.load(std::memory_order_relaxed),
          file_calls::writes.load(std::memory_order_relaxed)};
}

class TPhysicalFile : public TAbstractFile {
 public:
  ~TPhysicalFile() override;

  // Opens an existing file; `exclusive` asks for sole use. Throws EStoreEngineError with the
  // operating system's failure turned into an engine code (OsErrorCode) and `tableName` in the
  // message.
  static std::unique_ptr<TPhysicalFile> Open(const std::string& path, bool exclusive,
                                             const std::string& tableName);
  // Creates a new file; fails with 13060 when it exists already.
  static std::unique_ptr<TPhysicalFile> Create(const std::string& path, bool exclusive,
                                               const std::string& tableName);

  int64_t ReadAt(int64_t offset, void* buffer, int64_t count) override;
  int64_t WriteAt(int64_t offset, const void* buffer, int64_t count) override;
  int64_t Size() override;
  bool Flush() override;
  bool Lock(int64_t offset, int64_t length, bool shared = false) override;
  bool Unlock(int64_t offset, int64_t length) override;
  const std::string& Name() const override { return path_; }
  bool IsReadOnly() const override { return readOnly_; }
  void BeginGuardedReads(bool mapped) override;
  void EndGuardedReads(bool mapped) override;
  bool ReadMappedPieces(const int64_t* offsets, size_t count, size_t size,
                        uint8_t* const* outs) override;
  const uint8_t* MappedView(int64_t offset, int64_t count) override;
  // Whether reads can be mapped at all (a local file system); for tests and diagnostics.
  bool Mappable() const { return mappable_; }
  // How many bus errors in the store's mappings the process has caught (see above).
  static uint64_t BusErrorsCaught();

 private:
  TPhysicalFile(int fd, std::string path, bool readOnly);
  bool SetLock(short type, int64_t offset, int64_t length);
  // Whether [offset, offset + count) can be copied from the mapping now; maps the file the
  // first time in a guarded stretch. Called with the mutex held.
  bool MappedRange(int64_t offset, int64_t count);
  // After copying from the mapping: whether a bus error hit it meanwhile; if so the mapping
  // stays unread (it goes when the last guard ends) and the file is read with read calls from
  // now on. Called with the mutex held.
  bool MappingFaulted();
  void Unmap();

  int fd_;
  std::string path_;
  bool readOnly_;
  std::mutex mutex_;
  std::map<int64_t, int64_t> held_;   // the regions locked through this file: offset, length
  bool mappable_ = false;             // a local file system
  const uint8_t* map_ = nullptr;      // the mapping, mapLength_ bytes (may exceed the file)
  std::atomic<bool> faulted_{false};  // a bus error hit the mapping (set by the handler)
  int64_t mapLength_ = 0;
  int guards_ = 0, mappedGuards_ = 0;  // guarded stretches open, those allowing the mapping
  int64_t mappedEnd_ = -1;  // bytes readable from the mapping in this stretch; -1: not asked
};

// The engine code of an operating-system error number: file or path not found 11010, too many
// open files 11012, access denied or sharing violation 11013, bad handle 11014, out of memory
// 11016, invalid device 11023, not the same device 11025, anything else 11047.
uint16_t OsErrorCode(int error);

// Whether a file (not a folder) exists at `path`.
bool FileExists(const std::string& path);
// Deletes a closed table file. It must not be open in another program: the delete first takes
// the exclusive share lock (11013 when that fails). Other failures give OsErrorCode.
void DeleteDiskFile(const std::string& path, const std::string& tableName);
// Renames a closed table file; the new name must not exist (13060).
void RenameDiskFile(const std::string& from, const std::string& to, const std::string& tableName);

}  // namespace quellor
