// Values between the expressions of SQL statements and the fields of tables: a value written
// into a record image or a cursor's field, whether a value's type fits a field, the kind of
// field a result column gets, NOAUTOINC values, and the byte keys that DISTINCT and GROUP BY
// compare.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "store/api/StoreDate.h"
#include "store/api/StoreTbSupport.h"
#include "store/format/FieldValue.h"
#include "store/maint/Restructure.h"
#include "store/sql/SqlRunner.h"

namespace quellor::sqlexec {

// A value as bytes that are equal exactly when the values are (DISTINCT, GROUP BY).
void AppendKey(std::string& key, const TExprValue& v) {
  if (v.isNull) {
    key += '\0';
    return;
  }
  key += '\1';
  if (IsTextType(v.type) || v.type == TExprType::Bytes) {
    uint32_t n = static_cast<uint32_t>(v.text.size());
    key.append(reinterpret_cast<const char*>(&n), 4);
    key += v.text;
  } else if (IsRealType(v.type) || v.type == TExprType::TimeStamp) {
    double d = v.real == 0 ? 0 : v.real;
    key.append(reinterpret_cast<const char*>(&d), 8);
  } else {
    double d = static_cast<double>(v.integer);
    if (v.type == TExprType::Date || v.type == TExprType::Time || v.type == TExprType::Boolean) {
      key += static_cast<char>(v.type);
      key.append(reinterpret_cast<const char*>(&v.integer), 8);
    } else {
      key.append(reinterpret_cast<const char*>(&d), 8);
    }
  }
}

// The kind of a result column that shows a stored field: the field's own kind, except that a
// result column holds plain values (an autoincrement field's are integers) and shows every
// stored number (a 10-byte float as a float).
TFieldType KindOfDesc(const TFieldDesc& f) {
  if (f.type == TStoreFieldType::Float10)
    return f.subtype == StoreSubtype::Money ? TFieldType::Currency : TFieldType::Float;
  const TFieldType kind = KindOfStoreField(f);
  if (kind == TFieldType::AutoInc) return TFieldType::Integer;
  return kind == TFieldType::Unknown ? TFieldType::String : kind;
}

TFieldType KindOfExpr(TExprType t) {
  switch (t) {
    case TExprType::Memo:
      return TFieldType::Memo;
    case TExprType::Boolean:
      return TFieldType::Boolean;
    case TExprType::SmallInt:
      return TFieldType::SmallInt;
    case TExprType::Integer:
      return TFieldType::Integer;
    case TExprType::Word:
      return TFieldType::Word;
    case TExprType::Float:
      return TFieldType::Float;
    case TExprType::BCD:
      return TFieldType::BCD;
    case TExprType::Date:
      return TFieldType::Date;
    case TExprType::Time:
      return TFieldType::Time;
    case TExprType::TimeStamp:
      return TFieldType::DateTime;
    case TExprType::Bytes:
      return TFieldType::Bytes;
    default:
      return TFieldType::String;
  }
}

void RefuseNul(const TFieldDesc& f, const TExprValue& v) {
  if (v.isNull || f.type != TStoreFieldType::String || !IsTextType(v.type)) return;
  const size_t at = v.text.find('\0');
  if (at == std::string::npos) return;
  SqlFail("Value for column " + f.name + " holds a NUL character (code 0) at position " +
          std::to_string(at + 1) + ", which a string column cannot hold, in " + kSqlStatementName);
}

// Writes a value into a record image's field; false when it cannot be held.
bool PutValue(std::vector<uint8_t>& image, const TFieldDesc& f, const TExprValue& v,
              TBlobChanges& blobs, size_t index) {
  if (v.isNull) return true;
  uint8_t* p = image.data() + ValueOffset(f);
  bool ok = false;
  switch (f.type) {
    case TStoreFieldType::Blob:
      blobs[index] = IsTextType(v.type) || v.type == TExprType::Bytes ? v.text : std::string();
      return true;
    case TStoreFieldType::String:
      RefuseNul(f, v);
      if (IsTextType(v.type) || v.type == TExprType::Bytes) ok = PutTextValue(p, f, v.text);
      break;
    case TStoreFieldType::Bytes:
    case TStoreFieldType::VarBytes:
      std::memcpy(p, v.text.data(), std::min<size_t>(v.text.size(), f.width));
      ok = true;
      break;
    case TStoreFieldType::Float:
    case TStoreFieldType::BCD:
      ok = PutFloatValue(p, f, NumericValue(v));
      break;
    case TStoreFieldType::TimeStamp:
      ok = PutFloatValue(
          p, f, v.type == TExprType::Date ? static_cast<double>(v.integer) * kMsPerDay : v.real);
      break;
    case TStoreFieldType::Date:
      ok = PutIntegerValue(p, f,
                           v.type == TExprType::TimeStamp
                               ? static_cast<int64_t>(std::floor(v.real / kMsPerDay))
                               : v.integer);
      break;
    default:
      if (f.IsAutoInc()) return true;
      ok = PutIntegerValue(p, f, IsRealType(v.type) ? std::llround(v.real) : v.integer);
      break;
  }
  if (ok) MarkFieldSet(image.data(), f);
  return ok;
}

// NOAUTOINC: the auto-increment value a statement gives a record, 0 when it gives none (the
// record then gets the next one as usual).
int32_t GivenAutoInc(const TFieldDesc& f, const TExprValue& v) {
  if (v.isNull) return 0;
  int64_t n = 0;
  switch (v.type) {
    case TExprType::SmallInt:
    case TExprType::Integer:
    case TExprType::Word:
      n = v.integer;
      break;
    case TExprType::Float:
    case TExprType::BCD:
      if (v.real != std::floor(v.real) || std::abs(v.real) > 4e9)
        SqlFail("NOAUTOINC value for column '" + f.name + "' must be a whole number");
      n = static_cast<int64_t>(v.real);
      break;
    default:
      SqlFail("NOAUTOINC value for column '" + f.name + "' must be a whole number");
  }
  if (n < 1 || n > 2147483647)
    SqlFail("NOAUTOINC value " + std::to_string(n) + " for column '" + f.name +
            "' must be between 1 and 2147483647");
  return static_cast<int32_t>(n);
}

// Sets a field of a cursor's edit buffer from a value.
void SetField(TStoreField& field, const TExprValue& v) {
  if (v.isNull) {
    field.Clear();
    return;
  }
  switch (v.type) {
    case TExprType::String:
    case TExprType::Memo:
    case TExprType::Bytes:
      field.SetAsString(v.text);
      break;
    case TExprType::Boolean:
      field.SetAsBoolean(v.integer != 0);
      break;
    case TExprType::SmallInt:
    case TExprType::Integer:
    case TExprType::Word:
      field.SetAsInteger(v.integer);
      break;
    case TExprType::Float:
    case TExprType::BCD:
      field.SetAsFloat(v.real);
      break;
    case TExprType::Date:
      field.SetAsDateTime(JoinDateTime(static_cast<int32_t>(v.integer), 0));
      break;
    case TExprType::Time:
      field.SetAsDateTime(JoinDateTime(kDateDelta, static_cast<int32_t>(v.integer)));
      break;
    case TExprType::TimeStamp: {
      double day = std::floor(v.real / kMsPerDay);
      field.SetAsDateTime(
          JoinDateTime(static_cast<int32_t>(day), static_cast<int32_t>(v.real - day * kMsPerDay)));
      break;
    }
    default:
      field.Clear();
  }
}

// Whether a value of type `value` can go into a field of kind `field`.
bool Assignable(TExprType value, const TFieldDesc& field) {
  if (value == TExprType::Null) return true;
  TExprType target = TExprTableScope::TypeOf(field.type);
  if (IsTextType(target) || target == TExprType::Bytes)
    return IsTextType(value) || value == TExprType::Bytes;
  if (IsNumericType(target)) return IsNumericType(value) || value == TExprType::String;
  if (target == TExprType::Date || target == TExprType::TimeStamp)
    return value == TExprType::Date || value == TExprType::TimeStamp || value == TExprType::String;
  if (target == TExprType::Time) return value == TExprType::Time || value == TExprType::String;
  if (target == TExprType::Boolean)
    return value == TExprType::Boolean || value == TExprType::String;
  return false;
}

}  // namespace quellor::sqlexec
