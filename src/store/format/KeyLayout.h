// The key of a record for one index: which fields it takes, where each sits in the record and
// in the key, and how a record's bytes become key bytes.
//
// A key is, per key field in the index's order, a null-flag byte (1: the field holds a value,
// 0: NULL) followed by the value in its key form, as many bytes as the field's stored width:
//
//   string                     characters, then zero bytes; upper-cased with the table's
//                              locale in a case-insensitive index
//   date, integer, time        4 bytes big-endian, top bit inverted
//   smallint                   2 bytes big-endian, top bit inverted
//   boolean, word              2 bytes big-endian
//   float, date-time           value >= 0: 8 bytes big-endian with the top bit set;
//                              value < 0: 8 bytes big-endian with every bit inverted
//   BCD                        the signed 64-bit integer big-endian, top bit inverted
//   uint32, bytes, varbytes,   the stored bytes unchanged
//   10-byte float
//
// In a table of language id 0, a field whose own descending flag is set in an index that is
// not descending as a whole has every bit of its null flag and value inverted (for a string,
// of all value bytes but the last). A non-unique index ends every key with a 4-byte suffix, the
// record's logical id big-endian with the top bit inverted, so that equal keys keep the order
// of insertion. The key of the internal index "Sys Deleted" is the record's deleted flag byte
// and its logical id in that same 4-byte form.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/api/StoreTypes.h"

namespace quellor {

// Key size limits: the key fields together take 1 to 524 bytes; at most 16 key fields.
inline constexpr int kMaxKeyFieldBytes = 524;
inline constexpr int kMaxKeyFields = 16;
inline constexpr int kKeySuffixSize = 4;
inline constexpr int kSysDeletedKeySize = 5;
inline constexpr const char* kSysDeletedName = "Sys Deleted";

// One key field: its place in the record and in the key.
struct TKeyField {
  uint16_t number = 0;
  TStoreFieldType type = TStoreFieldType::String;
  bool autoInc = false;     // the value is the record's logical id (record offset 5)
  int recordOffset = 0;     // offset of the null-flag byte in the record
  int width = 0;            // stored width of the value
  int keyOffset = 0;        // offset of the null-flag byte in the key
  bool descending = false;  // the field's own descending flag
  bool IsString() const { return type == TStoreFieldType::String; }
};

class TKeyLayout {
 public:
  // The layout of `index` over the table's `fields`. Raises, naming the index ("Primary" for
  // the primary index) and `tableName`: 9487 for more than 16 key fields (or none in a
  // secondary index), 10023 for a field number that names no field, 12292 for a BLOB key
  // field, 10026 when the key fields take 0 or more than 524 bytes. With `corruptCode` nonzero
  // every one of these raises that code instead (8961 when a stored header is read). A primary
  // index without key fields is valid and has key size 0.
  static TKeyLayout Make(const TIndexDesc& index, bool isPrimary,
                         const std::vector<TFieldDesc>& fields, uint16_t languageId,
                         uint16_t sortId, const std::string& tableName, uint16_t corruptCode = 0);
  // The layout of "Sys Deleted": 5 bytes, always in byte order.
  static TKeyLayout SysDeleted();

  int KeySize() const { return keySize_; }
  bool Unique() const { return unique_; }
  bool Descending() const { return descending_; }
  bool CaseInsensitive() const { return caseInsensitive_; }
  // True when keys compare as plain bytes (language id 0, and "Sys Deleted").
  bool ByteOrder() const { return languageId_ == 0; }
  uint16_t LanguageId() const { return languageId_; }
  uint16_t SortId() const { return sortId_; }
  const std::vector<TKeyField>& Fields() const { return fields_; }

  // The key of a record: `record` is the whole record of `recordSize` bytes, `logicalId` the
  // record's logical id (the suffix of a non-unique index). Fields lying outside the record
  // raise 8962.
  std::vector<uint8_t> BuildKey(const uint8_t* record, int recordSize, int32_t logicalId,
                                const std::string& tableName) const;
  // The same into `key` (resized to the key size), reusing its memory: for a walk that builds
  // a key per step.
  void BuildKeyInto(const uint8_t* record, int recordSize, int32_t logicalId,
                    const std::string& tableName, std::vector<uint8_t>& key) const;
  // The key of "Sys Deleted" for a record slot.
  static std::vector<uint8_t> SysDeletedKey(bool deleted, int32_t logicalId);

  // The key form of one value, as a search key's part: `stored` holds the field's stored
  // width of bytes (ignored for NULL). Writes 1 + width bytes at `out`, inverted for a
  // descending field in byte order just as BuildKey does.
  void PutFieldKey(size_t keyField, bool isNull, const uint8_t* stored, uint8_t* out) const;

 private:
  std::vector<TKeyField> fields_;
  int keySize_ = 0;
  bool unique_ = true;
  bool descending_ = false;
  bool caseInsensitive_ = false;
  uint16_t languageId_ = 0;
  uint16_t sortId_ = 0;
  std::string icuLocale_ = "en_US";  // upper-casing of case-insensitive keys
};

// Upper-cases text (UTF-8) with the rules of an ICU locale; bytes that are not valid UTF-8 are
// upper-cased as ASCII one by one.
std::string UpperCaseText(const std::string& text, const std::string& icuLocale);

}  // namespace quellor
