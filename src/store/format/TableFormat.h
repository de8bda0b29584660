// The rules of the table format that do not belong to one file alone: the format's limits, the
// header at the start of every record slot, and the two counters of ids that the data file
// header hands out. The files themselves are drawn in DataFile.h (data file), BlobFile.h (BLOB
// file) and IndexHeader.h (index file); the change counter at the start of each is
// ChangeCounter.h.
//
// Record slot header, the first 9 bytes of every slot of the data file (integers
// little-endian):
//
//   offset  size  content
//        0     1  uint8 deleted flag: 0 active, 1 deleted
//        1     4  int32 active record: its own slot number; deleted record: the next slot of
//                 the chain of deleted slots, 0 at the end
//        5     4  int32 logical record id; it is also the value of every auto-increment field
//                 of the record (their descriptors carry offset 5), and a deleted slot keeps it
//        9        the fields, as DataFile.h draws them
//
// Nothing outside this header spells these offsets: code reads and writes a slot's header
// through the accessors below.
#pragma once

#include <cstdint>

#include "store/api/StoreTypes.h"
#include "store/format/ByteOrder.h"

namespace quellor {

// ---- versions -----------------------------------------------------------------------------

// The format version at offset 8 of every file's header.
inline constexpr uint8_t kFormatVersion = 4;
// What the data file header carries at offset 116 after every write.
inline constexpr int64_t kWriterVersion = 21200;

// ---- limits of a table's definition -------------------------------------------------------

inline constexpr int kMaxFields = 1024;
inline constexpr int kMaxBlobFields = 64;
inline constexpr int kMaxRecordSize = 65535;
// The size of a string, bytes or variable-bytes field: kMaxFieldSize (StoreTypes.h, where the
// expression language's casts see it too).
// The decimals of a BCD field: 0 to 4.
inline constexpr int kMaxBcdDecimals = 4;
// Field and index names: 1 to 30 characters (string[30]).
inline constexpr int kMaxNameLength = 30;
// A field's description, default, minimum and maximum, and the table's description: at most
// 50 characters (string[50]).
inline constexpr int kMaxTextLength = 50;
// The table's password: at most 15 characters (string[15]).
inline constexpr int kMaxPasswordLength = 15;
// The BLOB block size: 64 to 65,535 bytes; a stored 0 reads as 512.
inline constexpr int kMinBlobBlockSize = 64;
inline constexpr int kMaxBlobBlockSize = 65535;
inline constexpr int kDefaultBlobBlockSize = 512;

// ---- growth limits ------------------------------------------------------------------------

// A new record slot n is made only while n is at most this...
inline constexpr int32_t kMaxSlots = 99'999'999;
// ...and n x record size, a new BLOB block or index page only while the end offset, is at most
// this many bytes (9479 beyond). Every lock region lies above it.
inline constexpr int64_t kGrowthLimit = 2'000'000'000;

// ---- the record slot header ---------------------------------------------------------------

inline constexpr int kSlotDeletedFlagOffset = 0;
inline constexpr int kSlotLinkOffset = 1;
inline constexpr int kSlotLogicalIdOffset = 5;
inline constexpr int kRecordHeaderSize = 9;

inline uint8_t SlotDeletedFlag(const uint8_t* slot) {
  return slot[kSlotDeletedFlagOffset];
}
// Whether the slot holds an active record (deleted flag 0).
inline bool SlotActive(const uint8_t* slot) {
  return slot[kSlotDeletedFlagOffset] == 0;
}
inline void SetSlotDeletedFlag(uint8_t* slot, uint8_t flag) {
  slot[kSlotDeletedFlagOffset] = flag;
}
// Active: the slot's own number; deleted: the next slot of the deleted chain.
inline int32_t SlotLink(const uint8_t* slot) {
  return bytes::GetI32(slot + kSlotLinkOffset);
}
inline void SetSlotLink(uint8_t* slot, int32_t link) {
  bytes::PutI32(slot + kSlotLinkOffset, link);
}
inline int32_t SlotLogicalId(const uint8_t* slot) {
  return bytes::GetI32(slot + kSlotLogicalIdOffset);
}
inline void SetSlotLogicalId(uint8_t* slot, int32_t id) {
  bytes::PutI32(slot + kSlotLogicalIdOffset, id);
}
// The bytes of the logical id, which are also the value of an auto-increment field.
inline const uint8_t* SlotLogicalIdBytes(const uint8_t* slot) {
  return slot + kSlotLogicalIdOffset;
}

// ---- counters of ids ----------------------------------------------------------------------

// Next value of a counter of ids the data file header hands out (the last logical record id
// at offset 17, the last BLOB id at offset 112): a stored 2,147,483,647 (or a negative value)
// is first reset to 0; then it is incremented and the new value handed out.
inline int32_t NextWrappingId(int32_t& counter) {
  if (counter == 2'147'483'647 || counter < 0) counter = 0;
  return ++counter;
}

}  // namespace quellor
