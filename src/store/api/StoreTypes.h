// Field types and the in-memory form of field and index descriptors, shared by the data file,
// the index file, the filter expressions and the front end of the table store.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quellor {

// The size of a string, bytes or variable-bytes field (and of a CHAR(n) the expressions cast
// to): 1 to 250 bytes.
inline constexpr int kMaxFieldSize = 250;

// Field type codes as they stand in a field descriptor of the data file.
enum class TStoreFieldType : uint8_t {
  String = 1,
  Date = 2,
  Blob = 3,
  Boolean = 4,
  SmallInt = 5,
  Integer = 6,
  Float = 7,
  BCD = 8,
  Bytes = 9,
  Time = 10,
  TimeStamp = 11,
  Word = 12,
  UInt32 = 13,
  Float10 = 14,
  VarBytes = 15,
};

// Subtypes.
namespace StoreSubtype {
enum : uint8_t {
  None = 0,
  Money = 21,        // float
  Memo = 22,         // BLOB
  Binary = 23,       // BLOB
  FmtMemo = 24,      // BLOB
  Ole = 25,          // BLOB
  Graphic = 26,      // BLOB
  DBaseOle = 27,     // BLOB
  TypedBinary = 28,  // BLOB
  AutoInc = 29,      // 32-bit integer
};
}

enum class TCharCase : uint8_t { Unchanged = 0, Lower = 1, Upper = 2 };

// Width of a field's value in the record, not counting its null-flag byte; 0 for an unknown
// type. An auto-increment field takes no bytes of its own (it is the logical record id), which
// the caller handles.
inline int StoredWidth(TStoreFieldType type, int size) {
  switch (type) {
    case TStoreFieldType::String:
      return size + 1;
    case TStoreFieldType::Bytes:
    case TStoreFieldType::VarBytes:
      return size;
    case TStoreFieldType::Blob:
    case TStoreFieldType::Float:
    case TStoreFieldType::BCD:
    case TStoreFieldType::TimeStamp:
      return 8;
    case TStoreFieldType::Boolean:
    case TStoreFieldType::SmallInt:
    case TStoreFieldType::Word:
      return 2;
    case TStoreFieldType::Float10:
      return 10;
    case TStoreFieldType::Date:
    case TStoreFieldType::Integer:
    case TStoreFieldType::Time:
    case TStoreFieldType::UInt32:
      return 4;
  }
  return 0;
}

// A field as the engine knows it: the descriptor's content plus the derived record layout.
struct TFieldDesc {
  uint16_t number = 0;      // field number, unique in the table
  std::string name;         // 1 to 30 characters
  std::string description;  // up to 50 characters
  TStoreFieldType type = TStoreFieldType::String;
  uint8_t subtype = 0;
  uint8_t size = 0;      // string, bytes and variable bytes only
  uint8_t decimals = 0;  // BCD only
  bool required = false;
  TCharCase charCase = TCharCase::Unchanged;
  std::string minimum, maximum, defaultValue;  // texts, up to 50 characters
  // Descriptor byte 247 was nonzero: the field takes no bytes in the record and reads as NULL.
  bool noStorage = false;
  // Derived layout.
  uint16_t offset = 0;  // offset of the null-flag byte in the record (5 for auto-inc)
  uint8_t width = 0;    // stored width of the value

  bool IsAutoInc() const {
    return type == TStoreFieldType::Integer && subtype == StoreSubtype::AutoInc;
  }
};

enum class TIndexCompression : uint8_t { None = 0, DupByte = 1, TrailByte = 2, Full = 3 };

// An index as the engine knows it. Field references are field numbers (not positions).
struct TIndexDesc {
  std::string name;      // empty for the primary index
  uint16_t keySize = 0;  // bytes, including the 4-byte suffix of a non-unique index
  bool descending = false;
  bool caseInsensitive = false;
  bool unique = false;
  TIndexCompression compression = TIndexCompression::None;
  std::vector<uint16_t> fieldNumbers;  // up to 16
  std::vector<bool> fieldDescending;   // per key field
  int32_t rootPage = 0;
  int32_t freeChain = 0;
};

// Why a restructure would lose data (OnDataLost): an unexpected error; a duplicate key (context:
// the index name); a required, minimum or maximum violation (the field name); an old field that
// has no new field (its name); a value that cannot be converted (the field name).
enum class TDataLossCause : uint8_t {
  Unexpected = 0,
  DuplicateKey = 1,
  ValidityCheck = 2,
  FieldDropped = 3,
  Conversion = 4
};

}  // namespace quellor
