// The pages of an index tree: 4096 bytes at offsets that are multiples of 4096, from 4096 on,
// the pages of all indexes mixed in one file; each page belongs to one index.
//
// Page header, 13 bytes (integers little-endian):
//
//   offset  size  content
//        0     1  uint8 kind: 0 root with child pages, 1 inner page, 2 leaf,
//                 3 root that is the index's only page
//        1     2  uint16 number of entries; 0 in a free page
//        3     4  int32 previous page on the same level; 0 for none
//        7     4  int32 next page on the same level, 0 for none; in a free page the next page
//                 of the index's chain of free pages
//       11     2  uint16 bytes taken by the entries of a compressed leaf; 0 in other pages
//       13  4083  entries, then zero bytes
//
// Entries of a root or inner page (kinds 0 and 1) are never compressed: the key (key size
// bytes), an int32 child page offset and an int32 count of the leaf entries below that child.
// The key of an entry is the smallest key in its child's subtree. Such a page holds at most
// 4083 / (key size + 10) entries.
//
// Entries of a leaf (kinds 2 and 3) hold a key and an int32 physical record number. Without
// compression an entry is the key followed by the record number, and a leaf holds at most
// 4083 / (key size + 6) entries. A compressed leaf is full when its encoded entries would take
// more than 4083 bytes; each entry is encoded as:
//
//   DUPBYTE    uint16 d, the leading bytes shared with the previous entry's key (0 in the first
//              entry); the key bytes from d on; the record number
//   TRAILBYTE  uint16 t, the zero bytes at the end of the key (in a non-unique index the zero
//              bytes before the 4-byte suffix, which is always kept); the key without them;
//              the record number
//   FULL       uint8 d (as for DUPBYTE, at most 255); uint8 t, the zero bytes at the end of the
//              rest of the key (at most 255; in a non-unique index those before the suffix,
//              and 0 when fewer than 5 key bytes follow the first d); the key bytes between
//              the first d and the last t; the record number
//
// An encoded entry takes 2 + (key size - d - t) + 4 bytes. A reader restores the shared bytes
// from the previous key and fills the trailing zeros.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/api/StoreTypes.h"

namespace quellor {

inline constexpr int kIndexPageHeaderSize = 13;
inline constexpr int kIndexPageRoom = 4083;

namespace IndexPageKind {
enum : uint8_t { Root = 0, Inner = 1, Leaf = 2, RootLeaf = 3 };
}

// How the pages of one index are laid out.
struct TIndexPageFormat {
  int keySize = 0;
  bool unique = true;
  TIndexCompression compression = TIndexCompression::None;

  bool Compressed() const { return compression != TIndexCompression::None; }
  int UpperCapacity() const { return kIndexPageRoom / (keySize + 10); }
  int LeafCapacity() const { return kIndexPageRoom / (keySize + 6); }
  // Encoded size of a leaf entry whose key follows `previous` (null for the first entry).
  int EncodedEntrySize(const uint8_t* previous, const uint8_t* key) const;
};

// A page decoded into memory.
struct TIndexPage {
  int32_t offset = 0;
  uint8_t kind = IndexPageKind::Leaf;
  int32_t prev = 0;
  int32_t next = 0;
  std::vector<uint8_t> keys;    // entry count x key size
  std::vector<int32_t> refs;    // leaf: record numbers; upper page: child page offsets
  std::vector<int32_t> counts;  // upper page: leaf entries below each child
  bool dirty = false;
  uint64_t lastUse = 0;

  int Count() const { return static_cast<int>(refs.size()); }
  bool IsLeaf() const { return kind == IndexPageKind::Leaf || kind == IndexPageKind::RootLeaf; }
  bool IsRoot() const { return kind == IndexPageKind::Root || kind == IndexPageKind::RootLeaf; }
  const uint8_t* Key(int i, int keySize) const { return keys.data() + i * keySize; }
  uint8_t* Key(int i, int keySize) { return keys.data() + i * keySize; }
  // Leaf entries below this page: the entry count of a leaf, the sum of counts otherwise.
  int64_t Total() const;

  void InsertEntry(int i, const uint8_t* key, int keySize, int32_t ref, int32_t count = 0);
  void RemoveEntry(int i, int keySize);
  // Moves entries [from, Count()) of this page to the front (atFront) or end of `to`.
  void MoveTail(int from, TIndexPage& to, bool atFront, int keySize);
  // Moves the first `n` entries of this page to the end of `to`.
  void MoveHead(int n, TIndexPage& to, int keySize);
  void Clear();
  // Gives back room for more than a few entries beyond those the page holds.
  void TrimRoom(int keySize);
};

// Bytes the entries of a leaf take when encoded with the format's compression.
int EncodedLeafSize(const TIndexPage& page, const TIndexPageFormat& format);

// Whether a page holds more than it may: more entries than its capacity, or a compressed leaf
// whose entries take more than 4083 bytes.
bool PageOverfull(const TIndexPage& page, const TIndexPageFormat& format);

// Decodes the 4096 bytes of the page at `offset`. Nothing read is trusted: a kind above 3, a
// count beyond the capacity, links or child offsets that are not pages below `endOffset`, child
// counts below 1, and compressed entries that run past their length or the page raise 8965
// naming `tableName`.
void DecodeIndexPage(const uint8_t* raw, const TIndexPageFormat& format, int32_t offset,
                     int32_t endOffset, const std::string& tableName, TIndexPage& page);

// Encodes a page into 4096 bytes; a page whose entries do not fit raises 8965.
void EncodeIndexPage(const TIndexPage& page, const TIndexPageFormat& format,
                     const std::string& tableName, uint8_t* raw);

}  // namespace quellor
