#include "store/api/StoreDate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace quellor {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

const int64_t kDayOneOffset = DaysFromCivil(1, 1, 1) - 1;  // day number = civil days - this

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

// Reads an unsigned decimal number of 1 to maxDigits digits at text[pos].
bool ReadNumber(const std::string& text, size_t& pos, int maxDigits, int& value) {
  size_t start = pos;
  value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' &&
         pos - start < static_cast<size_t>(maxDigits)) {
    value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  return pos > start;
}

bool ParseTimeAt(const std::string& text, size_t& pos, int32_t& msOfDay) {
  int h = 0, n = 0, s = 0, z = 0;
  if (!ReadNumber(text, pos, 2, h) || pos >= text.size() || text[pos] != ':') return false;
  ++pos;
  if (!ReadNumber(text, pos, 2, n)) return false;
  if (pos < text.size() && text[pos] == ':') {
    ++pos;
    if (!ReadNumber(text, pos, 2, s)) return false;
    if (pos < text.size() && text[pos] == '.') {
      ++pos;
      size_t start = pos;
      if (!ReadNumber(text, pos, 3, z)) return false;
      for (size_t digits = pos - start; digits < 3; ++digits) z *= 10;
    }
  }
  if (h > 23 || n > 59 || s > 59) return false;
  msOfDay = ((h * 60 + n) * 60 + s) * 1000 + z;
  return true;
}

bool ParseDateAt(const std::string& text, size_t& pos, int32_t& dayNumber) {
  int y = 0, m = 0, d = 0;
  if (!ReadNumber(text, pos, 4, y) || pos >= text.size() || text[pos] != '-') return false;
  ++pos;
  if (!ReadNumber(text, pos, 2, m) || pos >= text.size() || text[pos] != '-') return false;
  ++pos;
  if (!ReadNumber(text, pos, 2, d)) return false;
  return EncodeDayNumber(y, m, d, dayNumber);
}

std::string Trimmed(const std::string& text) {
  size_t b = text.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  size_t e = text.find_last_not_of(' ');
  return text.substr(b, e - b + 1);
}

}  // namespace

bool EncodeDayNumber(int year, int month, int day, int32_t& dayNumber) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month))
    return false;
  dayNumber = static_cast<int32_t>(
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
      kDayOneOffset);
  return true;
}

bool DecodeDayNumber(int32_t dayNumber, int& year, int& month, int& day) {
  if (dayNumber < 1 || dayNumber > 3'652'059) return false;  // 9999-12-31
  int64_t y;
  unsigned m, d;
  CivilFromDays(dayNumber + kDayOneOffset, y, m, d);
  year = static_cast<int>(y);
  month = static_cast<int>(m);
  day = static_cast<int>(d);
  return true;
}

void SplitDateTime(TDateTime value, int32_t& dayNumber, int32_t& msOfDay) {
  if (!std::isfinite(value)) value = 0;
  double whole = std::trunc(value);
  double ms = std::round(std::fabs(value - whole) * kMsPerDay);
  if (ms >= kMsPerDay) {  // rounding reached the next day
    ms -= kMsPerDay;
    whole += value < 0 ? -1 : 1;
  }
  double day = whole + kDateDelta;
  if (day < -2e9) day = -2e9;
  if (day > 2e9) day = 2e9;
  dayNumber = static_cast<int32_t>(day);
  msOfDay = static_cast<int32_t>(ms);
}

TDateTime JoinDateTime(int32_t dayNumber, int32_t msOfDay) {
  double days = static_cast<double>(dayNumber) - kDateDelta;
  double fraction = static_cast<double>(msOfDay) / kMsPerDay;
  return days < 0 ? days - fraction : days + fraction;
}

TDateTime NowDateTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm local{};
  time_t secs = ts.tv_sec;
  localtime_r(&secs, &local);
  int32_t day = 0;
  EncodeDayNumber(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, day);
  int32_t ms = ((local.tm_hour * 60 + local.tm_min) * 60 + std::min(local.tm_sec, 59)) * 1000 +
               static_cast<int32_t>(ts.tv_nsec / 1'000'000);
  return JoinDateTime(day, ms);
}

std::string FormatDate(int32_t dayNumber) {
  int y, m, d;
  if (!DecodeDayNumber(dayNumber, y, m, d)) return {};
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return buf;
}

std::string FormatTime(int32_t msOfDay) {
  if (msOfDay < 0) msOfDay = 0;
  int z = msOfDay % 1000, s = msOfDay / 1000 % 60, n = msOfDay / 60000 % 60,
      h = msOfDay / 3600000 % 24;
  char buf[24];
  if (z)
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", h, n, s, z);
  else
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", h, n, s);
  return buf;
}

bool ParseDate(const std::string& text, int32_t& dayNumber) {
  std::string t = Trimmed(text);
  size_t pos = 0;
  return ParseDateAt(t, pos, dayNumber) && pos == t.size();
}

bool ParseTime(const std::string& text, int32_t& msOfDay) {
  std::string t = Trimmed(text);
  size_t pos = 0;
  return ParseTimeAt(t, pos, msOfDay) && pos == t.size();
}

bool ParseDateTime(const std::string& text, int32_t& dayNumber, int32_t& msOfDay) {
  std::string t = Trimmed(text);
  size_t pos = 0;
  if (!ParseDateAt(t, pos, dayNumber)) return false;
  msOfDay = 0;
  if (pos == t.size()) return true;
  if (t[pos] != ' ' && t[pos] != 'T') return false;
  while (pos < t.size() && (t[pos] == ' ' || t[pos] == 'T')) ++pos;
  return ParseTimeAt(t, pos, msOfDay) && pos == t.size();
}

}  // namespace quellor
