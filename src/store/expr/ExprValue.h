// Values of the expression language: the result types of expression nodes, one typed value
// with its null flag, and the calendar arithmetic behind dates, times and timestamps.
//
// Result types carry the field type codes of the data file (1 string, 2 date, 3 BLOB read as a
// memo, 4 boolean, 5 small integer, 6 integer, 7 float, 8 BCD, 9 bytes, 10 time, 11 timestamp,
// 12 word) and 0 for the NULL constant, whose type is open. Payloads:
//   string, memo, bytes       `text` (bytes of the system code page)
//   boolean                   `integer` 1 or 0
//   small integer, integer,   `integer`
//   word (and 32-bit unsigned fields, read as integers)
//   date                      `integer`: day number, 0001-01-01 being day 1
//   time                      `integer`: milliseconds since midnight
//   float, BCD                `real`
//   timestamp                 `real`: milliseconds, day 1 beginning at 86,400,000
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "store/api/StoreDate.h"  // kMsPerDay

namespace quellor {

enum class TExprType : uint8_t {
  Null = 0,
  String = 1,
  Date = 2,
  Memo = 3,
  Boolean = 4,
  SmallInt = 5,
  Integer = 6,
  Float = 7,
  BCD = 8,
  Bytes = 9,
  Time = 10,
  TimeStamp = 11,
  Word = 12,
};


struct TExprValue {
  TExprType type = TExprType::Null;
  bool isNull = true;
  int64_t integer = 0;
  double real = 0;
  std::string text;

  static TExprValue Null(TExprType type = TExprType::Null) {
    TExprValue v;
    v.type = type;
    return v;
  }
  static TExprValue Text(std::string s, TExprType type = TExprType::String) {
    TExprValue v;
    v.type = type;
    v.isNull = false;
    v.text = std::move(s);
    return v;
  }
  static TExprValue Int(int64_t i, TExprType type = TExprType::Integer) {
    TExprValue v;
    v.type = type;
    v.isNull = false;
    v.integer = i;
    return v;
  }
  static TExprValue Real(double d, TExprType type = TExprType::Float) {
    TExprValue v;
    v.type = type;
    v.isNull = false;
    v.real = d;
    return v;
  }
  static TExprValue Bool(bool b) { return Int(b ? 1 : 0, TExprType::Boolean); }
  static TExprValue Date(int64_t day) { return Int(day, TExprType::Date); }
  static TExprValue Time(int64_t ms) { return Int(ms, TExprType::Time); }
  static TExprValue TimeStamp(double ms) { return Real(ms, TExprType::TimeStamp); }

  // A boolean that is true; NULL and every other value count as false.
  bool IsTrue() const { return !isNull && type == TExprType::Boolean && integer != 0; }
};

// Type classes.
inline bool IsTextType(TExprType t) {
  return t == TExprType::String || t == TExprType::Memo;
}
inline bool IsIntegerType(TExprType t) {
  return t == TExprType::SmallInt || t == TExprType::Integer || t == TExprType::Word;
}
inline bool IsRealType(TExprType t) {
  return t == TExprType::Float || t == TExprType::BCD;
}
inline bool IsNumericType(TExprType t) {
  return IsIntegerType(t) || IsRealType(t);
}
inline bool IsTemporalType(TExprType t) {
  return t == TExprType::Date || t == TExprType::Time || t == TExprType::TimeStamp;
}

// The numeric value of a number, date, time or timestamp as a double.
double NumericValue(const TExprValue& v);

// A short human name of a type for messages ("string", "small integer", ...).
const char* ExprTypeName(TExprType type);

// Calendar: proleptic Gregorian, day 1 = 0001-01-01.
int64_t DayFromCivil(int64_t year, int month, int day);
void CivilFromDay(int64_t dayNumber, int64_t& year, int& month, int& day);
bool IsValidCivil(int64_t year, int month, int day);
// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(int64_t dayNumber);

// The date and time formats used to turn text into dates, times and timestamps.
struct TExprDateFormat {
  std::string dateFormat = "yyyy-mm-dd";  // the order of y, m and d letters is what counts
  char dateSeparator = '-';
  char timeSeparator = ':';
};

// Text to date (day number), time (ms) or timestamp (ms); false when the text does not convert.
// Dates follow the format's order of year, month and day with its separator; times are
// h[:m[:s[.fff]]] with the time separator and an optional AM or PM; a timestamp is a date,
// optionally followed by blanks and a time.
bool ParseDateText(std::string_view text, const TExprDateFormat& format, int64_t& day);
bool ParseTimeText(std::string_view text, const TExprDateFormat& format, int64_t& ms);
bool ParseTimeStampText(std::string_view text, const TExprDateFormat& format, double& ms);
std::string FormatDate(int64_t day, const TExprDateFormat& format);
std::string FormatTime(int64_t ms, const TExprDateFormat& format);

}  // namespace quellor
