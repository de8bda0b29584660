#include "store/format/FieldValue.h"

#include <langinfo.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "store/api/StoreDate.h"
#include "store/expr/ExprValue.h"
#include "store/format/ByteOrder.h"

namespace quellor {

using namespace bytes;

namespace {

bool CodePageIsUtf8() {
  const char* codeset = nl_langinfo(CODESET);
  if (!codeset) return true;
  // The C locale's ASCII stands for the default, UTF-8; every other 8-bit code page is itself.
  return std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0 ||
         std::strcmp(codeset, "ANSI_X3.4-1968") == 0 || std::strcmp(codeset, "ASCII") == 0;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool ParseInt(const std::string& text, int64_t& v) {
  std::string t = Trim(text);
  const char* b = t.data();
  const char* e = b + t.size();
  if (b != e && *b == '+') ++b;
  auto r = std::from_chars(b, e, v);
  return b != e && r.ec == std::errc() && r.ptr == e;
}

bool ParseFloat(const std::string& text, double& v) {
  std::string t = Trim(text);
  const char* b = t.data();
  const char* e = b + t.size();
  if (b != e && *b == '+') ++b;
  auto r = std::from_chars(b, e, v);
  return b != e && r.ec == std::errc() && r.ptr == e && std::isfinite(v);
}

std::string FloatText(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string UpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}
std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

int Sign(double a, double b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

std::string CutText(const std::string& text, size_t maxBytes) {
  size_t end = std::min(text.size(), maxBytes);
  size_t zero = text.find('\0');
  if (zero != std::string::npos && zero < end) return text.substr(0, zero);
  if (end < text.size() && CodePageIsUtf8()) {
    // Step back over continuation bytes to the lead byte of the sequence that was cut.
    size_t lead = end;
    while (lead > 0 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80 && end - lead < 4)
      --lead;
    if (lead < end || (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
      unsigned char c = static_cast<unsigned char>(text[lead]);
      if (c >= 0xC0) end = lead;
    }
  }
  return text.substr(0, end);
}

bool FieldIsNull(const uint8_t* record, const TFieldDesc& f) {
  if (f.IsAutoInc()) return false;
  if (f.noStorage) return true;
  return record[f.offset] == 0;
}

void ClearField(uint8_t* record, const TFieldDesc& f) {
  if (f.IsAutoInc() || f.noStorage) return;
  std::memset(record + f.offset, 0, static_cast<size_t>(f.width) + 1);
}

void MarkFieldSet(uint8_t* record, const TFieldDesc& f) {
  if (f.IsAutoInc() || f.noStorage) return;
  record[f.offset] = 1;
}

bool IsIntegerType(const TFieldDesc& f) {
  switch (f.type) {
    case TStoreFieldType::SmallInt:
    case TStoreFieldType::Integer:
    case TStoreFieldType::Word:
    case TStoreFieldType::UInt32:
      return true;
    default:
      return false;
  }
}

int64_t GetIntegerValue(const uint8_t* v, const TFieldDesc& f) {
  switch (f.type) {
    case TStoreFieldType::SmallInt:
      return GetI16(v);
    case TStoreFieldType::Boolean:
      return GetI16(v) != 0 ? 1 : 0;
    case TStoreFieldType::Word:
      return GetU16(v);
    case TStoreFieldType::Integer:
    case TStoreFieldType::Date:
    case TStoreFieldType::Time:
      return GetI32(v);
    case TStoreFieldType::UInt32:
      return GetU32(v);
    case TStoreFieldType::Float:
    case TStoreFieldType::BCD:
    case TStoreFieldType::TimeStamp: {
      double d = GetFloatValue(v, f);
      if (!(std::fabs(d) < 9.2e18)) return 0;
      return static_cast<int64_t>(std::llround(d));
    }
    default:
      return 0;
  }
}

bool PutIntegerValue(uint8_t* v, const TFieldDesc& f, int64_t x) {
  auto in = [x](int64_t lo, int64_t hi) { return x >= lo && x <= hi; };
  switch (f.type) {
    case TStoreFieldType::SmallInt:
      if (!in(-32768, 32767)) return false;
      PutI16(v, static_cast<int16_t>(x));
      return true;
    case TStoreFieldType::Boolean:
      PutI16(v, x != 0 ? 1 : 0);
      return true;
    case TStoreFieldType::Word:
      if (!in(0, 65535)) return false;
      PutU16(v, static_cast<uint16_t>(x));
      return true;
    case TStoreFieldType::Integer:
    case TStoreFieldType::Date:
      if (!in(std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()))
        return false;
      PutI32(v, static_cast<int32_t>(x));
      return true;
    case TStoreFieldType::Time:
      if (!in(0, kMsPerDay - 1)) return false;
      PutI32(v, static_cast<int32_t>(x));
      return true;
    case TStoreFieldType::UInt32:
      if (!in(0, 4294967295LL)) return false;
      PutU32(v, static_cast<uint32_t>(x));
      return true;
    case TStoreFieldType::Float:
    case TStoreFieldType::BCD:
    case TStoreFieldType::TimeStamp:
      return PutFloatValue(v, f, static_cast<double>(x));
    default:
      return false;
  }
}

double GetFloatValue(const uint8_t* v, const TFieldDesc& f) {
  switch (f.type) {
    case TStoreFieldType::Float:
    case TStoreFieldType::TimeStamp:
      return GetF64(v);
    case TStoreFieldType::BCD:
      return static_cast<double>(GetI64(v)) / 10000.0;
    default:
      return static_cast<double>(GetIntegerValue(v, f));
  }
}

bool PutFloatValue(uint8_t* v, const TFieldDesc& f, double x) {
  if (!std::isfinite(x)) return false;
  switch (f.type) {
    case TStoreFieldType::Float:
    case TStoreFieldType::TimeStamp:
      PutF64(v, x);
      return true;
    case TStoreFieldType::BCD: {
      int decimals = std::min<int>(f.decimals, 4);
      double scale = std::pow(10.0, decimals);
      double units = std::round(x * scale) * (10000.0 / scale);
      if (!(std::fabs(units) < 9.2e18)) return false;
      PutI64(v, static_cast<int64_t>(units));
      return true;
    }
    default:
      if (!(std::fabs(x) < 9.2e18)) return false;
      return PutIntegerValue(v, f, static_cast<int64_t>(std::llround(x)));
  }
}

std::string GetTextValue(const uint8_t* v, const TFieldDesc& f) {
  switch (f.type) {
    case TStoreFieldType::String: {
      const char* p = reinterpret_cast<const char*>(v);
      return std::string(p, strnlen(p, f.width));
    }
    case TStoreFieldType::Boolean:
      return GetI16(v) != 0 ? "True" : "False";
    case TStoreFieldType::SmallInt:
    case TStoreFieldType::Integer:
    case TStoreFieldType::Word:
    case TStoreFieldType::UInt32:
      return std::to_string(GetIntegerValue(v, f));
    case TStoreFieldType::Float:
      return FloatText(GetF64(v));
    case TStoreFieldType::BCD: {
      int64_t units = GetI64(v);
      int decimals = std::min<int>(f.decimals, 4);
      bool negative = units < 0;
      uint64_t mag = negative ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
      std::string text = std::to_string(mag / 10000);
      if (decimals > 0) {
        char frac[8];
        std::snprintf(frac, sizeof frac, "%04u", static_cast<unsigned>(mag % 10000));
        text += "." + std::string(frac, static_cast<size_t>(decimals));
      }
      return negative ? "-" + text : text;
    }
    case TStoreFieldType::Date:
      return FormatDate(GetI32(v));
    case TStoreFieldType::Time:
      return FormatTime(GetI32(v));
    case TStoreFieldType::TimeStamp: {
      double ms = GetF64(v);
      if (!std::isfinite(ms) || ms < 0 || ms > 4e17) return {};
      int64_t total = static_cast<int64_t>(std::llround(ms));
      return FormatDate(static_cast<int32_t>(total / kMsPerDay)) + " " +
             FormatTime(static_cast<int32_t>(total % kMsPerDay));
    }
    case TStoreFieldType::Bytes:
    case TStoreFieldType::VarBytes:
    case TStoreFieldType::Float10:
      return std::string(reinterpret_cast<const char*>(v), f.width);
    case TStoreFieldType::Blob:
      return {};
  }
  return {};
}

bool PutTextValue(uint8_t* v, const TFieldDesc& f, const std::string& text) {
  switch (f.type) {
    case TStoreFieldType::String: {
      std::string s = CutText(text, f.size);
      if (f.charCase == TCharCase::Upper) s = UpperAscii(s);
      if (f.charCase == TCharCase::Lower) s = LowerAscii(s);
      std::memset(v, 0, f.width);
      std::memcpy(v, s.data(), s.size());
      return true;
    }
    case TStoreFieldType::Boolean: {
      std::string t = UpperAscii(Trim(text));
      if (t != "TRUE" && t != "FALSE") return false;
      PutI16(v, t == "TRUE" ? 1 : 0);
      return true;
    }
    case TStoreFieldType::SmallInt:
    case TStoreFieldType::Integer:
    case TStoreFieldType::Word:
    case TStoreFieldType::UInt32: {
      int64_t x;
      return ParseInt(text, x) && PutIntegerValue(v, f, x);
    }
    case TStoreFieldType::Float:
    case TStoreFieldType::BCD: {
      double x;
      return ParseFloat(text, x) && PutFloatValue(v, f, x);
    }
    case TStoreFieldType::Date: {
      int32_t day;
      if (!ParseDate(text, day)) return false;
      PutI32(v, day);
      return true;
    }
    case TStoreFieldType::Time: {
      int32_t ms;
      if (!ParseTime(text, ms)) return false;
      PutI32(v, ms);
      return true;
    }
    case TStoreFieldType::TimeStamp: {
      int32_t day, ms;
      if (!ParseDateTime(text, day, ms)) return false;
      PutF64(v, static_cast<double>(day) * kMsPerDay + ms);
      return true;
    }
    case TStoreFieldType::Bytes:
    case TStoreFieldType::VarBytes:
    case TStoreFieldType::Float10: {
      std::memset(v, 0, f.width);
      std::memcpy(v, text.data(), std::min<size_t>(text.size(), f.width));
      return true;
    }
    case TStoreFieldType::Blob:
      return false;
  }
  return false;
}

namespace {

// Whether `text`, ignoring ASCII case, is the beginning of `word`.
bool IsPrefixOfWord(const std::string& text, const char* word) {
  size_t n = std::strlen(word);
  if (text.size() > n) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    char w = word[i];
    if (w >= 'A' && w <= 'Z') w = static_cast<char>(w - 'A' + 'a');
    if (c != w) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An optionally signed integer in decimal, or in hexadecimal after "$", "0x" or "x"; blanks
// around it are allowed. False for anything else and for magnitudes beyond 64 bits.
bool ParseUserInteger(const std::string& text, int64_t& v) {
  std::string t = Trim(text);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  int base = 10;
  if (i < t.size() && t[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < t.size() && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
    base = 16;
    i += 2;
  } else if (i < t.size() && (t[i] == 'x' || t[i] == 'X')) {
    base = 16;
    ++i;
  }
  if (i == t.size()) return false;
  uint64_t magnitude = 0;
  for (; i < t.size(); ++i) {
    int d = base == 16 ? HexDigit(t[i]) : (t[i] >= '0' && t[i] <= '9' ? t[i] - '0' : -1);
    if (d < 0) return false;
    if (magnitude > (std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(d)) /
                        static_cast<uint64_t>(base))
      return false;
    magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  if (magnitude > limit) return false;
  v = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

std::string GeneralNumber(double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15g", v);
  return buffer;
}

const char* KindName(const TFieldDesc& f) {
  switch (f.type) {
    case TStoreFieldType::Boolean:
      return "boolean";
    case TStoreFieldType::Float:
    case TStoreFieldType::BCD:
      return "floating point";
    case TStoreFieldType::Date:
      return "date";
    case TStoreFieldType::Time:
      return "time";
    case TStoreFieldType::TimeStamp:
      return "date and time";
    default:
      return "integer";
  }
}

std::string InvalidValueText(const std::string& text, const TFieldDesc& f) {
  return "'" + text + "' is not a valid " + KindName(f) + " value for field '" + f.name + "'";
}

// A date (in the person's format, or as yyyy-mm-dd) with an optional time, or a time alone on
// the zero date; milliseconds in the TIMESTAMP encoding.
bool ParseUserTimeStamp(const std::string& text, const TTextFormats& formats, double& ms) {
  TExprDateFormat own;
  own.dateFormat = formats.shortDateFormat;
  own.dateSeparator = formats.dateSeparator;
  own.timeSeparator = formats.timeSeparator;
  if (ParseTimeStampText(text, own, ms)) return true;
  const TExprDateFormat iso;  // the form the store writes: yyyy-mm-dd hh:nn:ss
  if (ParseTimeStampText(text, iso, ms)) return true;
  // A time alone needs its separator or AM/PM, so that a bare number is no time of day.
  std::string upper = UpperAscii(Trim(text));
  bool looksLikeTime = upper.find(formats.timeSeparator) != std::string::npos ||
                       (upper.size() > 2 && (upper.ends_with("AM") || upper.ends_with("PM")));
  int64_t time = 0;
  if (!looksLikeTime || !ParseTimeText(text, own, time)) return false;
  ms = static_cast<double>(int64_t{kDateDelta} * kMsPerDay + time);
  return true;
}

}  // namespace

void IntegerRange(const TFieldDesc& f, int64_t& lowest, int64_t& highest) {
  switch (f.type) {
    case TStoreFieldType::SmallInt:
      lowest = std::numeric_limits<int16_t>::min();
      highest = std::numeric_limits<int16_t>::max();
      return;
    case TStoreFieldType::Word:
      lowest = 0;
      highest = std::numeric_limits<uint16_t>::max();
      return;
    case TStoreFieldType::UInt32:
      lowest = 0;
      highest = std::numeric_limits<uint32_t>::max();
      return;
    default:
      lowest = std::numeric_limits<int32_t>::min();
      highest = std::numeric_limits<int32_t>::max();
      return;
  }
}

std::string RangeErrorText(double v, const TFieldDesc& f) {
  int64_t lowest, highest;
  IntegerRange(f, lowest, highest);
  return GeneralNumber(v) + " is not a valid value for field '" + f.name +
         "'. The allowed range is " + GeneralNumber(static_cast<double>(lowest)) + " to " +
         GeneralNumber(static_cast<double>(highest));
}

std::string PutUserText(uint8_t* v, const TFieldDesc& f, const std::string& text,
                        const TTextFormats& formats) {
  switch (f.type) {
    case TStoreFieldType::Boolean:
      if (!text.empty() && IsPrefixOfWord(text, "False")) {
        PutI16(v, 0);
      } else if (!text.empty() && IsPrefixOfWord(text, "True")) {
        PutI16(v, 1);
      } else {
        return InvalidValueText(text, f);
      }
      return {};
    case TStoreFieldType::SmallInt:
    case TStoreFieldType::Integer:
    case TStoreFieldType::Word:
    case TStoreFieldType::UInt32: {
      if (f.IsAutoInc()) break;
      int64_t x;
      if (!ParseUserInteger(text, x)) return InvalidValueText(text, f);
      if (!PutIntegerValue(v, f, x)) return RangeErrorText(static_cast<double>(x), f);
      return {};
    }
    case TStoreFieldType::TimeStamp: {
      double ms;
      if (!ParseUserTimeStamp(text, formats, ms))
        return "'" + text + "' is not a valid date and time";
      PutF64(v, ms);
      return {};
    }
    default:
      break;
  }
  if (!PutTextValue(v, f, text)) return InvalidValueText(text, f);
  return {};
}

bool ConstantConverts(const TFieldDesc& f, const std::string& text) {
  if (text.empty() || f.type == TStoreFieldType::Blob) return true;
  if (f.IsAutoInc()) {
    int64_t x;
    return ParseInt(text, x);
  }
  std::vector<uint8_t> scratch(std::max<size_t>(f.width, 16));
  return PutTextValue(scratch.data(), f, text);
}

int CompareValues(const uint8_t* a, const uint8_t* b, const TFieldDesc& f) {
  switch (f.type) {
    case TStoreFieldType::String: {
      std::string x = GetTextValue(a, f), y = GetTextValue(b, f);
      return x < y ? -1 : (x > y ? 1 : 0);
    }
    case TStoreFieldType::Float:
    case TStoreFieldType::TimeStamp:
      return Sign(GetF64(a), GetF64(b));
    case TStoreFieldType::BCD: {
      int64_t x = GetI64(a), y = GetI64(b);
      return x < y ? -1 : (x > y ? 1 : 0);
    }
    case TStoreFieldType::Bytes:
    case TStoreFieldType::VarBytes:
    case TStoreFieldType::Float10:
    case TStoreFieldType::Blob:
      return std::memcmp(a, b, f.width);
    default: {
      int64_t x = GetIntegerValue(a, f), y = GetIntegerValue(b, f);
      return x < y ? -1 : (x > y ? 1 : 0);
    }
  }
}

}  // namespace quellor
