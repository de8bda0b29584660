#include "store/expr/ExprValue.h"

#include <cctype>
#include <cstdio>
#include <vector>

namespace quellor {

double NumericValue(const TExprValue& v) {
  switch (v.type) {
    case TExprType::Float:
    case TExprType::BCD:
    case TExprType::TimeStamp:
      return v.real;
    default:
      return static_cast<double>(v.integer);
  }
}

const char* ExprTypeName(TExprType type) {
  switch (type) {
    case TExprType::Null:
      return "NULL";
    case TExprType::String:
      return "string";
    case TExprType::Date:
      return "date";
    case TExprType::Memo:
      return "memo";
    case TExprType::Boolean:
      return "boolean";
    case TExprType::SmallInt:
      return "small integer";
    case TExprType::Integer:
      return "integer";
    case TExprType::Float:
      return "float";
    case TExprType::BCD:
      return "BCD";
    case TExprType::Bytes:
      return "bytes";
    case TExprType::Time:
      return "time";
    case TExprType::TimeStamp:
      return "timestamp";
    case TExprType::Word:
      return "word";
  }
  return "unknown";
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's civil algorithms), moved so
// that 0001-01-01 is day 1.
int64_t DayFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + 719163;
}

void CivilFromDay(int64_t dayNumber, int64_t& year, int& month, int& day) {
  const int64_t z = dayNumber - 719163 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = yoe + era * 400 + (month <= 2);
}

bool IsValidCivil(int64_t year, int month, int day) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

int DayOfWeek(int64_t dayNumber) {
  // Day 1 (0001-01-01) was a Monday.
  int64_t r = dayNumber % 7;
  if (r < 0) r += 7;
  return static_cast<int>(r + 1);  // r 0 = Sunday
}

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

// Splits on `sep`; every part must be 1 to `maxDigits` digits.
bool SplitNumbers(std::string_view s, char sep, std::vector<int64_t>& out, size_t maxDigits,
                  std::vector<size_t>* lengths = nullptr) {
  out.clear();
  size_t start = 0;
  while (true) {
    size_t end = s.find(sep, start);
    std::string_view part = s.substr(start, end == std::string_view::npos ? end : end - start);
    if (part.empty() || part.size() > maxDigits) return false;
    int64_t v = 0;
    for (char c : part) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
      v = v * 10 + (c - '0');
    }
    out.push_back(v);
    if (lengths) lengths->push_back(part.size());
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

// The order of year, month and day in a date format: e.g. "ymd" or "dmy".
std::string FieldOrder(const std::string& format) {
  std::string order;
  for (char c : format) {
    char l = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if ((l == 'y' || l == 'm' || l == 'd') && order.find(l) == std::string::npos) order += l;
  }
  return order.size() == 3 ? order : "ymd";
}

}  // namespace

bool ParseDateText(std::string_view text, const TExprDateFormat& format, int64_t& day) {
  text = Trim(text);
  std::vector<int64_t> parts;
  std::vector<size_t> lengths;
  if (!SplitNumbers(text, format.dateSeparator, parts, 4, &lengths) || parts.size() != 3)
    return false;
  const std::string order = FieldOrder(format.dateFormat);
  int64_t y = 0;
  int m = 0, d = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (order[i] == 'y') {
      y = parts[i];
      // Two-digit years fall in 1950..2049.
      if (lengths[i] <= 2) y += y < 50 ? 2000 : 1900;
    } else if (order[i] == 'm') {
      m = static_cast<int>(parts[i]);
    } else {
      d = static_cast<int>(parts[i]);
    }
  }
  if (!IsValidCivil(y, m, d)) return false;
  day = DayFromCivil(y, m, d);
  return true;
}

bool ParseTimeText(std::string_view text, const TExprDateFormat& format, int64_t& ms) {
  text = Trim(text);
  int pm = -1;  // -1 none, 0 AM, 1 PM
  if (text.size() >= 2) {
    std::string tail{text.substr(text.size() - 2)};
    for (char& c : tail) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (tail == "AM" || tail == "PM") {
      pm = tail == "PM";
      text = Trim(text.substr(0, text.size() - 2));
    }
  }
  int64_t fraction = 0;
  size_t dot = text.find('.');
  if (dot != std::string_view::npos && format.timeSeparator != '.') {
    std::string_view f = text.substr(dot + 1);
    if (f.empty() || f.size() > 3) return false;
    for (size_t i = 0; i < 3; ++i) {
      int digit = 0;
      if (i < f.size()) {
        if (!std::isdigit(static_cast<unsigned char>(f[i]))) return false;
        digit = f[i] - '0';
      }
      fraction = fraction * 10 + digit;
    }
    text = text.substr(0, dot);
  }
  std::vector<int64_t> parts;
  if (!SplitNumbers(text, format.timeSeparator, parts, 2) || parts.size() > 3) return false;
  if (fraction && parts.size() != 3) return false;
  int64_t h = parts[0], m = parts.size() > 1 ? parts[1] : 0, s = parts.size() > 2 ? parts[2] : 0;
  if (pm >= 0) {
    if (h < 1 || h > 12) return false;
    h = h % 12 + (pm ? 12 : 0);
  }
  if (h > 23 || m > 59 || s > 59) return false;
  ms = ((h * 60 + m) * 60 + s) * 1000 + fraction;
  return true;
}

bool ParseTimeStampText(std::string_view text, const TExprDateFormat& format, double& ms) {
  text = Trim(text);
  size_t blank = 0;
  while (blank < text.size() && static_cast<unsigned char>(text[blank]) > ' ') ++blank;
  int64_t day = 0, time = 0;
  if (!ParseDateText(text.substr(0, blank), format, day)) return false;
  if (blank < text.size() && !ParseTimeText(text.substr(blank), format, time)) return false;
  ms = static_cast<double>(day * kMsPerDay + time);
  return true;
}

std::string FormatDate(int64_t dayNumber, const TExprDateFormat& format) {
  int64_t y;
  int m, d;
  CivilFromDay(dayNumber, y, m, d);
  const std::string order = FieldOrder(format.dateFormat);
  std::string out;
  char buffer[32];
  for (size_t i = 0; i < 3; ++i) {
    if (i) out += format.dateSeparator;
    if (order[i] == 'y')
      std::snprintf(buffer, sizeof buffer, "%04lld", static_cast<long long>(y));
    else
      std::snprintf(buffer, sizeof buffer, "%02d", order[i] == 'm' ? m : d);
    out += buffer;
  }
  return out;
}

std::string FormatTime(int64_t ms, const TExprDateFormat& format) {
  char buffer[48];
  const char sep = format.timeSeparator;
  std::snprintf(buffer, sizeof buffer, "%02lld%c%02lld%c%02lld",
                static_cast<long long>(ms / 3600000), sep, static_cast<long long>(ms / 60000 % 60),
                sep, static_cast<long long>(ms / 1000 % 60));
  return buffer;
}

}  // namespace quellor
