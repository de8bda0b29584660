#include "store/api/StoreTbSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "store/format/AsciiText.h"
#include "store/format/TableFormat.h"

namespace quellor {

namespace {

struct TypeCode {
  TStoreFieldType type;
  uint8_t subtype;
};

// The type code and subtype a dataset field kind is stored as.
bool CodeOf(TFieldType kind, TypeCode& code) {
  using T = TStoreFieldType;
  switch (kind) {
    case TFieldType::String:
      code = {T::String, 0};
      return true;
    case TFieldType::SmallInt:
      code = {T::SmallInt, 0};
      return true;
    case TFieldType::Integer:
      code = {T::Integer, 0};
      return true;
    case TFieldType::Word:
      code = {T::Word, 0};
      return true;
    case TFieldType::Boolean:
      code = {T::Boolean, 0};
      return true;
    case TFieldType::Float:
      code = {T::Float, 0};
      return true;
    case TFieldType::Currency:
      code = {T::Float, StoreSubtype::Money};
      return true;
    case TFieldType::BCD:
      code = {T::BCD, 0};
      return true;
    case TFieldType::Date:
      code = {T::Date, 0};
      return true;
    case TFieldType::Time:
      code = {T::Time, 0};
      return true;
    case TFieldType::DateTime:
      code = {T::TimeStamp, 0};
      return true;
    case TFieldType::Bytes:
      code = {T::Bytes, 0};
      return true;
    case TFieldType::VarBytes:
      code = {T::VarBytes, 0};
      return true;
    case TFieldType::AutoInc:
      code = {T::Integer, StoreSubtype::AutoInc};
      return true;
    case TFieldType::Blob:
      code = {T::Blob, StoreSubtype::Binary};
      return true;
    case TFieldType::Memo:
      code = {T::Blob, StoreSubtype::Memo};
      return true;
    case TFieldType::Graphic:
      code = {T::Blob, StoreSubtype::Graphic};
      return true;
    case TFieldType::FmtMemo:
      code = {T::Blob, StoreSubtype::FmtMemo};
      return true;
    case TFieldType::Ole:
      code = {T::Blob, StoreSubtype::Ole};
      return true;
    case TFieldType::TypedBinary:
      code = {T::Blob, StoreSubtype::TypedBinary};
      return true;
    case TFieldType::Unknown:
      return false;
  }
  return false;
}

TFieldType KindOf(const TFieldDesc& f) {
  using T = TStoreFieldType;
  if (f.noStorage) return TFieldType::Unknown;
  switch (f.type) {
    case T::String:
      return TFieldType::String;
    case T::Date:
      return TFieldType::Date;
    case T::Blob:
      switch (f.subtype) {
        case StoreSubtype::Memo:
          return TFieldType::Memo;
        case StoreSubtype::FmtMemo:
          return TFieldType::FmtMemo;
        case StoreSubtype::Graphic:
          return TFieldType::Graphic;
        case StoreSubtype::TypedBinary:
          return TFieldType::TypedBinary;
        case StoreSubtype::Ole:
          return TFieldType::Ole;
        default:
          return TFieldType::Blob;
      }
    case T::Boolean:
      return TFieldType::Boolean;
    case T::SmallInt:
      return TFieldType::SmallInt;
    case T::Integer:
      return f.IsAutoInc() ? TFieldType::AutoInc : TFieldType::Integer;
    case T::Float:
      return f.subtype == StoreSubtype::Money ? TFieldType::Currency : TFieldType::Float;
    case T::BCD:
      return TFieldType::BCD;
    case T::Bytes:
      return TFieldType::Bytes;
    case T::Time:
      return TFieldType::Time;
    case T::TimeStamp:
      return TFieldType::DateTime;
    case T::Word:
      return TFieldType::Word;
    case T::UInt32:
      return TFieldType::Integer;
    case T::Float10:
      return TFieldType::Unknown;
    case T::VarBytes:
      return TFieldType::VarBytes;
  }
  return TFieldType::Unknown;
}

}  // namespace

bool StoreTypeOfKind(TFieldType kind, TStoreFieldType& type, uint8_t& subtype) {
  TypeCode code;
  if (!CodeOf(kind, code)) return false;
  type = code.type;
  subtype = code.subtype;
  return true;
}

TFieldType KindOfStoreField(const TFieldDesc& field) {
  return KindOf(field);
}

bool FieldSizeAllowed(TFieldType kind, int size) {
  switch (kind) {
    case TFieldType::String:
    case TFieldType::Bytes:
    case TFieldType::VarBytes:
      return size >= 1 && size <= kMaxFieldSize;
    case TFieldType::BCD:
      return size >= 0 && size <= 8;
    default:
      return size == 0;
  }
}

std::vector<std::string> SplitNames(const std::string& list) {
  std::vector<std::string> names;
  std::stringstream stream(list);
  std::string name;
  while (std::getline(stream, name, ';')) {
    name = TrimBlanks(name);
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

bool IsPrimaryIndexName(const std::string& name) {
  std::string n = AsciiLower(TrimBlanks(name));
  return n.empty() || n == "primary";
}

TIndexPlan IndexPlanOf(const TIndexDef& def, TBlankIndexName blank) {
  const std::string name = AsciiLower(TrimBlanks(def.Name));
  const bool primary = (def.Options & IndexOption::Primary) != 0 || name == "primary" ||
                       (name.empty() && blank == TBlankIndexName::Primary);
  TIndexPlan plan;
  plan.name = def.Name;
  plan.fieldNames = SplitNames(def.Fields);
  plan.options = static_cast<uint8_t>(def.Options | (primary ? IndexOption::Primary : 0));
  plan.compression = static_cast<uint8_t>(def.Compression);
  return plan;
}

std::string UniversalFolder(const std::string& folder) {
  const std::string name = TrimBlanks(folder);
  char* real = ::realpath(name.empty() ? "." : name.c_str(), nullptr);
  if (!real) return {};
  std::string universal = real;
  std::free(real);
  if (universal.empty() || universal.back() != '/') universal += '/';
  return universal;
}

bool BlankFilter(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) <= 32; });
}

}  // namespace quellor
