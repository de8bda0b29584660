// TAbstractFile: the file operations the table store needs, on a disk file (TPhysicalFile) or
// a growable memory buffer (TMemoryFile, for tables of the "MEMORY" database).
//
// Positioned reads and writes only; a write of zero bytes sets the end of the file at the given
// offset. Byte-range locks are non-blocking: Lock returns false at once when another holder
// conflicts, and the caller retries. Every operation of one file runs under that file's own
// mutex, so a file shared by several tables of one process is safe to use from several threads.
// Reads and writes report an operating-system failure by returning -1 and never throw: the
// caller knows the table and raises the engine error (9217 for a short or failed read, 9218 for
// a short or failed write or flush) with the table's name in the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quellor {

class TAbstractFile {
 public:
  virtual ~TAbstractFile() = default;

  // Reads up to `count` bytes at `offset`; returns the number read (fewer at the end of file),
  // or -1 when the operating system fails the read.
  virtual int64_t ReadAt(int64_t offset, void* buffer, int64_t count) = 0;
  // Writes `count` bytes at `offset`; count 0 truncates or extends the file to `offset`.
  // Returns the number written, or -1 on failure.
  virtual int64_t WriteAt(int64_t offset, const void* buffer, int64_t count) = 0;
  virtual int64_t Size() = 0;
  // Asks the operating system to write its buffers to the device; false on failure.
  virtual bool Flush() = 0;
  // Non-blocking byte-range locks. `shared` asks for a read lock that other read locks do not
  // conflict with; the store's own regions use exclusive locks.
  virtual bool Lock(int64_t offset, int64_t length, bool shared = false) = 0;
  virtual bool Unlock(int64_t offset, int64_t length) = 0;
  virtual const std::string& Name() const = 0;
  // True when the file can only be read (a disk file whose mode has no write bit).
  virtual bool IsReadOnly() const { return false; }
  // Brackets a stretch in which the caller holds a lock that keeps every writer of the file
  // out (a reader's slot or a writer's range), so that no other program truncates the file
  // until the matching EndGuardedReads. `mapped`: reads may then come from a memory mapping
  // of the file instead of read calls (a disk file on a local file system); they see exactly
  // what a read call would. Nested and overlapping brackets are counted.
  virtual void BeginGuardedReads(bool mapped) { (void)mapped; }
  virtual void EndGuardedReads(bool mapped) { (void)mapped; }
  // The bytes [offset, offset + count) in place in a mapping, when they can be read from one
  // now; null otherwise. Only for a caller that holds a guard of its own (BeginGuardedReads):
  // the bytes stay valid, and show what the file holds, until that guard ends.
  virtual const uint8_t* MappedView(int64_t offset, int64_t count) {
    (void)offset;
    (void)count;
    return nullptr;
  }
  // Copies `count` pieces of `size` bytes each, the i-th from offsets[i] to outs[i], when they
  // can all be copied from a mapping now (see BeginGuardedReads); false (nothing copied) when
  // they cannot, and the caller reads them with ReadAt.
  virtual bool ReadMappedPieces(const int64_t* offsets, size_t count, size_t size,
                                uint8_t* const* outs) {
    (void)offsets;
    (void)count;
    (void)size;
    (void)outs;
    return false;
  }
};

}  // namespace quellor
