// The header of the index file (".IDX") and its 32 index descriptors: layout, encoding and
// the checks made when a stored header is read.
//
// Index file header, 4096 bytes at offset 0 (integers little-endian):
//
//   offset  size  content
//        0     4  int32 change counter, incremented on every header write
//        4     4  reserved
//        8     1  uint8 format version, 4
//        9     4  int32 end offset: where the next new page goes; 4096 in a new file
//       13     1  uint8 number of secondary indexes, 0 to 30
//       14  3840  32 index descriptors of 120 bytes: slot 0 the primary index, slots 1 to 30
//                 the secondary indexes in order of creation, slot 31 "Sys Deleted"; slots
//                 past the last secondary index are ignored
//     3854   120  reserved
//     3974     4  int32 number of active records in the table
//     3978     1  uint8 1 when the primary index has no key fields (slot 0 is then all zero)
//     3979     1  uint8 header-changed flag: set while the writer holds unwritten changes;
//                 means nothing to a reader
//     3980   116  reserved
//
// Index descriptor, 120 bytes:
//
//   offset  size  content
//        0    31  string[30] index name (length byte + 30 bytes); empty for the primary index
//       31     2  uint16 key size in bytes, the 4-byte suffix of a non-unique index included
//       33     1  uint8 descending (the whole index)
//       34     1  uint8 case-insensitive
//       35     1  uint8 unique (always 1 for the primary index)
//       36     1  uint8 compression: 0 none, 1 DUPBYTE, 2 TRAILBYTE, 3 FULL
//       37     1  uint8 number of key fields, 0 to 16
//       38    16  uint8 x 16 per key field, its descending flag
//       54    32  uint16 x 16 per key field, its field number; unused entries 0
//       86     4  int32 offset of the root page; 0 while the index holds no entries
//       90     4  int32 first page of this index's chain of free pages; 0 when empty
//       94    26  reserved
//
// Slot 31 of a new file holds "Sys Deleted" with key size 5 and everything else 0.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "store/api/StoreTypes.h"
#include "store/format/TableFormat.h"

namespace quellor {

inline constexpr int kIndexPageSize = 4096;
inline constexpr int kIndexHeaderSize = 4096;
inline constexpr uint8_t kIndexFileVersion = kFormatVersion;
inline constexpr int kMaxSecondaryIndexes = 30;
inline constexpr int kIndexDescriptorSize = 120;
// New pages are made only while the end offset is at most this many bytes (9479 beyond).
inline constexpr int64_t kIndexFileGrowthLimit = kGrowthLimit;

struct TIndexFileHeader {
  int32_t changeCounter = 0;
  uint8_t version = kIndexFileVersion;
  int32_t endOffset = kIndexHeaderSize;
  TIndexDesc primary;                 // slot 0; no field numbers when it has no key fields
  std::vector<TIndexDesc> secondary;  // slots 1 to 30
  TIndexDesc sysDeleted;              // slot 31
  int32_t recordCount = 0;
  bool primaryNoKeyFields = true;
  bool headerChanged = false;

  // A new file's header: version 4, end offset 4096, no indexes but "Sys Deleted".
  static TIndexFileHeader New();
};

// Writes the header into `out` (4096 bytes).
void EncodeIndexHeader(const TIndexFileHeader& header, uint8_t* out);

// Reads a header from `in` (4096 bytes) with the checks that need no field list: a version
// other than 4 raises 12035; more than 30 secondary indexes, a compression code above 3, more
// than 16 key fields, a primary index with a name, an end offset that is not a multiple of 4096
// at least 4096, a root or free chain start that is not 0 and not a page below the end offset,
// and a "Sys Deleted" slot whose key size is not 5 raise 8961. The header-changed flag is
// cleared.
TIndexFileHeader DecodeIndexHeader(const uint8_t* in, const std::string& tableName);

// A header read by verify and repair, which must see what a damaged header holds rather than
// be refused by it: every value as stored, or brought within what can be used, with what was
// wrong noted instead of raised.
struct TIndexHeaderReading {
  // Slot 0 is decoded whatever the no-key-fields flag says, which is kept as stored;
  // `secondary` holds at most 30 descriptors.
  TIndexFileHeader header;
  bool wrongVersion = false;      // the format version is not 4
  bool tooManySecondary = false;  // more than 30 secondary indexes (30 decoded)
  bool badEndOffset = false;      // the end offset is not a multiple of 4096 of at least 4096
  // By descriptor slot (0 the primary index, 31 "Sys Deleted"): a compression code above 3
  // (read as none) or more than 16 key fields (16 read).
  std::array<bool, 32> damagedSlot{};
};
TIndexHeaderReading ReadIndexHeaderLeniently(const uint8_t* in);

// Whether `offset` can be a page of a file whose end offset is `endOffset`: a multiple of 4096,
// at least 4096 and below the end offset.
inline bool IsIndexPageOffset(int64_t offset, int64_t endOffset) {
  return offset >= kIndexHeaderSize && offset % kIndexPageSize == 0 && offset < endOffset;
}

}  // namespace quellor
