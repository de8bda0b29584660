// TBlobFile: the BLOB file (".BLB") of a table with BLOB fields, with its block cache.
//
// All integers are little-endian. A 512-byte header, then blocks of the table's BLOB block size
// B (data file header offset 4), block k at offset 512 + k x B. Valid block offsets are at least
// 512, on a block boundary and below the end offset.
//
// Header (512 bytes):
//   0   int32    change counter, incremented by every header write
//   4   4 bytes  reserved
//   8   uint8    format version, 4
//   9   int32    first block of the chain of free blocks; 0 when empty
//   13  int32    end offset: where the next new block goes; 512 in a new file
//   17  uint8    header-changed flag (set while the writer's copy has unwritten changes)
//   18  494      reserved
//
// Block (B bytes):
//   0   int32    previous block of the same value; 0 in the first block
//   4   int32    next block of the same value, 0 in the last; in a free block the next free one
//   8   uint16   data bytes used in this block
//   10  int32    BLOB id of the value owning the block
//   14  int32    total length of the value, in its first block; 0 in the others
//   18  B - 18   data
//
// A value of length L is a chain whose used counts add up to L, every block but the last full.
// Every write gives the value a new BLOB id, stamped into the record and into each block, so a
// reader holding an older copy of the record meets another id and knows the record changed.
// In an encrypted table the header is one cipher piece, each block two (its 18-byte header and
// its data). The cache keeps deciphered blocks: the four most recently used are looked at
// first, the rest is kept sorted by offset and searched by halving.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "store/format/TableFormat.h"
#include "store/os/AbstractFile.h"

namespace quellor {

inline constexpr int kBlobHeaderSize = 512;
inline constexpr int kBlobBlockHeaderSize = 18;

// What a walk along one value's chain of blocks found: the first rule it breaks, if any.
enum class TBlobFault : uint8_t {
  None,
  FirstOffset,   // the first block is not a block of the file
  OtherValue,    // the first block carries another BLOB id than the record's
  BlockSize,     // a used count beyond the block's room, or short in a block that is not the last
  Pointer,       // a link outside the file, or to a block that is not the value's next one (its
                 // previous link, BLOB id or length field say otherwise)
  Recursive,     // a link back to a block already on the chain
  SizeMismatch,  // a negative length, or used counts that do not add up to the length
};

struct TBlobChain {
  std::string value;  // the data of the chain's blocks up to the first bad link
  int64_t total = 0;  // the length the first block gives
  TBlobFault fault = TBlobFault::None;
  bool otherId = false;  // the Pointer fault is a later block carrying another BLOB id
};

// Walks the chain of a record's BLOB value that starts at `firstBlock` and carries `blobId`,
// checking every block header against its place: the first block has no previous block and the
// value's length, every other one the previous block as its previous link and length 0; all
// carry the id; every block but the last is full; the last links nowhere; the used counts add
// up to the length. `block` gives the deciphered bytes of the block at an offset (null when it
// cannot be read); offsets are checked against `endOffset` before it is asked. The walk stops
// at the first fault; `value` then holds the data before it.
TBlobChain WalkBlobChain(int32_t firstBlock, int32_t blobId, int blockSize, int64_t endOffset,
                         const std::function<const uint8_t*(int32_t offset)>& block);

struct TBlobHeader {
  int32_t changeCounter = 0;
  uint8_t version = kFormatVersion;
  int32_t freeChain = 0;
  int32_t endOffset = kBlobHeaderSize;
};

class TBlobFile {
 public:
  TBlobFile(std::shared_ptr<TAbstractFile> file, std::string tableName, int blockSize,
            bool encrypted);

  // Writes the header of a new, empty BLOB file.
  static void Create(TAbstractFile& file, bool encrypted, const std::string& tableName);

  // Reads and checks the header: version 4 (12035); end offset and free chain inside the file
  // and on block boundaries (8961).
  void Load();
  const TBlobHeader& Header() const { return header_; }
  int BlockSize() const { return blockSize_; }
  TAbstractFile& File() { return *file_; }

  // The value whose chain starts at `firstBlock` with id `blobId` (a record's BLOB field),
  // checked as WalkBlobChain describes. 8708 when a block carries another id; 8963 for a block
  // header that does not fit its place (links, used counts, lengths) or a chain that comes back
  // on itself or holds more than the length; 8711 when the chain ends before the length; 9998
  // for a first block that is not a block of the file; 10029 for a negative length.
  std::string ReadValue(int32_t firstBlock, int32_t blobId);

  // Writes `data` as the value of a record's BLOB field whose current chain starts at
  // `firstBlock` with id `oldId`; the value gets `newId`. The old chain is checked whole before
  // anything changes (as ReadValue), then its blocks are reused, more allocated (free chain
  // first, 9479 beyond the growth limit) or the surplus freed. `firstBlock` becomes the new
  // first block (0 for an empty value).
  void WriteValue(int32_t& firstBlock, int32_t oldId, int32_t newId, const std::string& data);

  // Frees the chain of a deleted record's value. Only the blocks that carry the record's id
  // along valid links are freed; a damaged rest is left for repair, not reported.
  void FreeValue(int32_t firstBlock, int32_t blobId);

  struct TSnapshot {
    TBlobHeader header;
    bool headerChanged;
    std::vector<std::pair<int32_t, std::vector<uint8_t>>> dirtyBlocks;
  };
  TSnapshot Snapshot() const;
  // Drops the changes made since the snapshot (a failed operation).
  void Restore(const TSnapshot& snapshot);

  // Writes changed blocks (neighbours in one write) and then the header when it changed or
  // `forceHeader`; flushes the file when `flushOs` (9218 on failure).
  void Flush(bool forceHeader, bool flushOs);
  // Change detection (ChangeCounter.h): ChangedOnDisk compares the file's counter with the one
  // of our header; Reload reads the header again when they differ and then drops the cached
  // blocks, unless some are changed and unwritten (true when the counter moved).
  bool ChangedOnDisk();
  bool Reload();
  // A rolled-back transaction: every cached block and unwritten change goes, and the header is
  // read again.
  void Discard();
  // Runs before each read of blocks from the file (not for cached ones); it may throw, and the
  // caller then starts its reading over.
  void SetReadHook(std::function<void()> hook) { readHook_ = std::move(hook); }
  // Cuts the file to its header: end offset 512, empty free chain.
  void Empty();

 private:
  struct Block {
    int32_t offset = 0;
    std::vector<uint8_t> bytes;
    bool dirty = false;
    uint64_t used = 0;
  };
  bool ValidOffset(int64_t offset) const;
  Block& Get(int32_t offset);
  Block* Find(int32_t offset);
  Block& Insert(int32_t offset, const uint8_t* bytes, bool dirty);
  void Trim();
  // Walks a chain from its first block, checking links, loops and ids; returns the offsets.
  std::vector<int32_t> WalkChain(int32_t firstBlock, int32_t blobId);
  int32_t AllocateBlock(const std::vector<int32_t>& inUse);
  void FreeBlock(int32_t offset);
  void WriteHeader();
  void Decode(const uint8_t* raw);
  [[noreturn]] void Fail(uint16_t code) const;

  std::shared_ptr<TAbstractFile> file_;
  std::string tableName_;
  int blockSize_;
  bool encrypted_;
  TBlobHeader header_;
  bool headerChanged_ = false;
  std::vector<std::unique_ptr<Block>> sorted_;  // by offset
  std::array<Block*, 4> recent_{};
  size_t capacity_;
  int32_t readAhead_;
  uint64_t tick_ = 0;
  std::function<void()> readHook_;
};

}  // namespace quellor
