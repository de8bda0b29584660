// TDataFile: the data file (".DAT") of a table: its header, field descriptors and record slots,
// with the table's record cache.
//
// All integers are little-endian; string[n] is a length byte and n bytes of text (zero past the
// text). The file has three areas:
//
//   header              127 bytes at offset 0
//   field descriptors   768 bytes each, one per field, from offset 127
//   record slots        record size bytes each; slot n (from 1) at
//                       127 + 768 x field count + (n - 1) x record size
//
// Header (127 bytes):
//   0   int32      change counter, incremented by every header write
//   4   uint32     BLOB block size B, 64 to 65,535 (0 reads as 512)
//   8   uint8      format version, 4
//   9   int32      first slot of the chain of deleted slots; 0 when empty
//   13  int32      next physical record number: number of slots + 1
//   17  int32      last logical record id given out (0 in a new or emptied table)
//   21  uint16     record size
//   23  uint16     field count, 1 to 1024
//   25  int16      number of BLOB fields, 0 to 64
//   27  float64    time of the last header write: local date and time as days since
//                  1899-12-30, minus 693,594.0
//   35  string[50] description (text bytes enciphered in an encrypted table)
//   86  uint8      encrypted flag
//   87  string[15] password (text bytes enciphered); empty when not encrypted
//   103 int16      language id (0: byte order)
//   105 int16      sort id
//   107 int16      user major version
//   109 int16      user minor version
//   111 uint8      header-changed flag: set while the writer's copy has unwritten changes;
//                  meaningless to a reader, which clears it
//   112 int32      last BLOB id given out
//   116 int64      writer version, 21200
//   124 3 bytes    reserved
// The counters at 17 and 112 wrap: a stored 2,147,483,647 is reset to 0 before incrementing.
//
// Field descriptor (768 bytes):
//   0   uint16     field number
//   2   string[30] name
//   33  string[50] description
//   84  uint8      type code (TStoreFieldType)
//   85  uint8      subtype
//   86  uint8      size (string, bytes, variable bytes: 1 to 250; else 0)
//   87  uint8      decimals (BCD: 0 to 4; else 0)
//   88  uint8      stored width
//   89  uint8      copy of the decimals
//   90  uint16     record offset of the field's null-flag byte (5 for auto-increment)
//   92  uint8      required flag
//   93  uint8      character case: 0 unchanged, 1 lower, 2 upper
//   94  string[50] minimum, as text
//   145 string[50] maximum, as text
//   196 string[50] default, as text
//   247 uint8      0 (a field with a nonzero byte here takes no bytes in the record)
//   248 520 bytes  reserved
//
// Record slot (record size bytes; its 9-byte header is read and written through the accessors
// of TableFormat.h):
//   0   uint8      deleted flag: 0 active, 1 deleted
//   1   int32      active: the slot's own number; deleted: next slot of the deleted chain
//   5   int32      logical record id (also the value of every auto-increment field)
//   9              each field that is not auto-increment: a null-flag byte (1 value, 0 NULL
//                  with zero value bytes) followed by its stored width
//
// In an encrypted table each slot is one cipher piece and all descriptors together one more
// (Cipher.h). The cache holds deciphered slot images.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "store/api/StoreTypes.h"
#include "store/format/TableFormat.h"
#include "store/os/AbstractFile.h"

namespace quellor {

// The limits and the record slot header are TableFormat.h's.
inline constexpr int kDataHeaderSize = 127;
inline constexpr int kFieldDescSize = 768;

struct TDataHeader {
  int32_t changeCounter = 0;
  uint32_t blobBlockSize = kDefaultBlobBlockSize;
  uint8_t version = kFormatVersion;
  int32_t deletedChain = 0;
  int32_t nextPhysical = 1;
  int32_t lastLogicalId = 0;
  uint16_t recordSize = 0;
  uint16_t fieldCount = 0;
  int16_t blobFieldCount = 0;
  double lastWrite = 0;
  std::string description;
  bool encrypted = false;
  std::string password;
  int16_t languageId = 0;
  int16_t sortId = 0;
  int16_t userMajor = 0;
  int16_t userMinor = 0;
  int32_t lastBlobId = 0;
  int64_t writerVersion = kWriterVersion;

  // The block size in use: the stored value, 512 for 0.
  int BlobBlockSize() const { return blobBlockSize == 0 ? kDefaultBlobBlockSize : blobBlockSize; }
};

// Header and descriptor images. Encoding enciphers the description and password texts of an
// encrypted table, decoding deciphers them; `changedFlag` is the byte at offset 111.
void EncodeDataHeader(const TDataHeader& header, bool changedFlag, uint8_t* out);
TDataHeader DecodeDataHeader(const uint8_t* in);
void EncodeFieldDesc(const TFieldDesc& field, uint8_t* out);
TFieldDesc DecodeFieldDesc(const uint8_t* in);

// Deciphers the descriptor piece (all descriptors, as read from the file) of a table with this
// header; nothing when the table is not encrypted. The piece follows Cipher.h's rules; a piece
// whose length is a multiple of 65,536 is plain, but earlier writers of this store enciphered it
// whole, so such a piece is deciphered when it reads as descriptors only that way.
void DecipherDescriptors(std::vector<uint8_t>& descriptors, const TDataHeader& header);

// Derives each field's stored width and record offset, in definition order from offset 9
// (auto-increment fields and fields without storage take none). Returns the record size, which
// may exceed 65,535 (the caller reports 9477).
int LayoutFields(std::vector<TFieldDesc>& fields);

// Checks one field definition apart from its name: known type, size and decimals within the
// type's bounds, texts of at most 50 characters that convert to the type.
bool FieldDefinitionValid(const TFieldDesc& field);
// Whether a field or index name is valid: 1 to 30 characters, no leading or trailing blank,
// first character an ASCII letter, "_" or a character from 129 to 254.
bool NameValid(const std::string& name);

// Whether a field of an active record's image holds bytes a writer leaves: a null flag of 0 or 1,
// a NULL with zero value bytes, a string with its closing zero byte, a boolean of 0 or 1. The
// field must be laid out.
bool FieldPlausible(const TFieldDesc& field, const uint8_t* image);
// The first field of the image that is not plausible, or -1.
int ImplausibleField(const std::vector<TFieldDesc>& fields, const uint8_t* image);

class TDataFile {
 public:
  TDataFile(std::shared_ptr<TAbstractFile> file, std::string tableName);

  // Writes a new data file: header (counter 0, version 4, empty chain, next record 1, last
  // id 0) and descriptors. The fields must be laid out (LayoutFields).
  static void Create(TAbstractFile& file, TDataHeader header, const std::vector<TFieldDesc>& fields,
                     const std::string& tableName);

  // Reads and checks header and descriptors: version 4 (12035), field count, record size, BLOB
  // block size, counters and every descriptor rule (8961). The language is checked by the
  // caller (15878).
  void Load();

  const TDataHeader& Header() const { return header_; }
  // The header for changing; the change is written by the next Flush.
  TDataHeader& EditHeader() {
    headerChanged_ = true;
    return header_;
  }
  const std::vector<TFieldDesc>& Fields() const { return fields_; }
  int RecordSize() const { return header_.recordSize; }
  int32_t SlotCount() const { return header_.nextPhysical - 1; }
  int64_t SlotOffset(int32_t slot) const;
  TAbstractFile& File() { return *file_; }
  const std::string& TableName() const { return tableName_; }

  // The image of a slot (deciphered), from the cache or read ahead from the file. Fails with
  // 8962 for a slot outside the file's slots or one that does not carry its own number (active)
  // or a valid flag, 9217 when the file is shorter than the header says.
  const uint8_t* ReadSlot(int32_t slot);
  // Copies the images of `count` slots into `out` (count x record size bytes) for a reader that
  // keeps them itself (a cursor reading ahead): cached images (changed ones included) are
  // copied, the others read from the file in as few reads as neighbouring slots allow, without
  // entering the cache. Every slot must lie within the file's slots; the images are not
  // checked (CheckImage). 9217 when the file is shorter than the header says.
  void ReadSlots(const int32_t* slots, size_t count, uint8_t* out);
  // Copies the images of the `count` slots from `first` on into `out` with one read of the
  // file, for a reading operation that goes through the slots in order (a filter scan); the
  // cache's changed images (a transaction's) replace what the file holds. Nothing enters the
  // cache and the images are not checked (CheckImage). The slots must lie within the file's
  // slots; 9217 when the file is shorter than the header says.
  void ReadRun(int32_t first, int32_t count, uint8_t* out);
  // The images of the `count` slots from `first` on in place in the file's mapping, for a
  // caller that holds the read slots once the read hook ran (TDataTable::ReadTerm nonzero):
  // valid while it keeps them. Null when they cannot be had in place (no mapping, an
  // encrypted table, a changed image of the range in the cache): the caller uses ReadRun.
  // The same checks and failures as ReadRun otherwise.
  const uint8_t* ViewRun(int32_t first, int32_t count);
  // 8962 for an image that does not carry its own slot number (active) or a valid flag, an
  // active record with logical id 0 or below, an implausible field (ImplausibleField), or one
  // whose closing zero bytes run on into a zeroed header of the next slot: a stretch of zeros
  // that damaged both, since no slot header is all zero.
  void CheckImage(int32_t slot, const uint8_t* image) const { CheckSlot(slot, image); }
  // Puts a slot image into the cache; it is written by Flush.
  void WriteSlot(int32_t slot, const uint8_t* image);

  // Takes a slot for a new record: the head of the deleted chain when `reuseDeleted` and the
  // chain is not empty, else the next physical number (9479 beyond the growth limits).
  // `reused` tells which. The slot's image is not written here.
  int32_t AllocateSlot(bool reuseDeleted, bool& reused);
  // Makes a record's slot the head of the deleted chain: sets the flag and the link in `image`
  // (the record's current image) and caches it.
  void FreeSlot(int32_t slot, uint8_t* image);

  int32_t NextLogicalId() { return NextWrappingId(EditHeader().lastLogicalId); }
  int32_t NextBlobId() { return NextWrappingId(EditHeader().lastBlobId); }

  // One operation's changes: Snapshot saves the header and starts noting the state of every
  // slot the operation writes; Restore puts header and those slots back as they were (changes
  // of earlier operations that are still unwritten, as in a transaction, stay); EndChange keeps
  // the operation's changes.
  struct TSnapshot {
    TDataHeader header;
    bool headerChanged;
  };
  TSnapshot Snapshot();
  void Restore(const TSnapshot& snapshot);
  void EndChange();

  // Writes changed records (neighbours in one write), then the header when it changed or
  // `forceHeader`; flushes the file when `flushOs`. Short writes and failed flushes: 9218.
  void Flush(bool forceHeader, bool flushOs);
  // Re-reads the header; when its change counter differs from ours the record cache is
  // dropped and true returned. Unwritten changes are kept.
  bool Reload();
  // Whether another writer changed the file since our header was read (ChangeCounter.h).
  bool ChangedOnDisk();
  // Forgets every cached record and unwritten change and reads the header again (a
  // transaction rolled back).
  void Discard();
  // Called before a record is read from the file (not from the cache); may throw to make the
  // caller start its reading over.
  void SetReadHook(std::function<void()> hook) { readHook_ = std::move(hook); }
  // Cuts the file after the descriptors and resets chain, next record number and last id.
  void Empty();
  bool HasUnwrittenChanges() const;

 private:
  // Only clean slots are in the LRU list: changed ones cannot be evicted, and a transaction
  // may hold many more of them than the cache's capacity.
  struct CacheEntry {
    std::vector<uint8_t> image;
    bool dirty = false;
    bool inLru = false;
    std::list<int32_t>::iterator lru;
  };
  void SetDirty(int32_t slot, CacheEntry& e, bool dirty);
  void Forget(std::map<int32_t, CacheEntry>::iterator it);
  void CheckSlot(int32_t slot, const uint8_t* image) const;
  // Whether `length` bytes of a slot image from `at` were zero in the file (enciphered images
  // compare with the cipher's running state).
  bool StoredZero(const uint8_t* image, size_t at, size_t length) const;
  // Whether the header of the slot after `slot` is all zero bytes in the file.
  bool NextHeaderZero(int32_t slot) const;
  TDataHeader ReadHeaderFromDisk();
  CacheEntry& CacheSlot(int32_t slot, const uint8_t* image, bool dirty);
  void Trim(int32_t keep = 0);
  void WriteHeader(bool flushOs);
  [[noreturn]] void Fail(uint16_t code) const;

  std::shared_ptr<TAbstractFile> file_;
  std::string tableName_;
  TDataHeader header_;
  bool headerChanged_ = false;
  std::vector<TFieldDesc> fields_;
  std::vector<uint8_t> zeroImage_;  // a slot of zero bytes as it reads (deciphered)
  std::map<int32_t, CacheEntry> cache_;
  std::list<int32_t> lru_;   // clean slots, most recently used first
  std::set<int32_t> dirty_;  // the changed slots in the cache
  size_t capacity_ = 1;
  int32_t readAhead_ = 1;
  int32_t nextAfterRead_ = 1;          // the slot after the last one read from the file
  std::vector<uint8_t> runBuffer_;     // ReadSlots' reads, kept for the next call
  std::vector<int64_t> pieceOffsets_;  // ReadSlots' offsets and places for a mapped copy
  std::vector<uint8_t*> pieceOuts_;
  std::function<void()> readHook_;
  // The slots the running operation wrote, with their cache state before it (none: not cached).
  struct TSaved {
    std::vector<uint8_t> image;
    bool dirty;
  };
  bool undoActive_ = false;
  std::map<int32_t, std::optional<TSaved>> undo_;
};

}  // namespace quellor
