// Dates and times of the table store.
//
// The front end hands dates and times out as TDateTime: days since 1899-12-30 as a double, the
// fraction being the time of day (for days before 1899-12-30 the integer part counts back and
// the fraction still adds time forward in magnitude, so -1.25 is 1899-12-29 06:00).
// The files keep them as a day number (0001-01-01 being day 1), milliseconds since midnight,
// or a double of milliseconds where day 1 begins at 86,400,000 (Part of the record format, see
// DataFile.h). Dates follow the proleptic Gregorian calendar from year 1 to 9999.
#pragma once

#include <cstdint>
#include <string>

namespace quellor {

using TDateTime = double;

// Day number of 1899-12-30, the day TDateTime counts from.
inline constexpr int32_t kDateDelta = 693594;
inline constexpr int64_t kMsPerDay = 86'400'000;

// Day number of a date; false when the date does not exist or lies outside years 1 to 9999.
bool EncodeDayNumber(int year, int month, int day, int32_t& dayNumber);
// The date of a day number; false outside years 1 to 9999.
bool DecodeDayNumber(int32_t dayNumber, int& year, int& month, int& day);

// A TDateTime split into its day number and milliseconds of the day, and back.
void SplitDateTime(TDateTime value, int32_t& dayNumber, int32_t& msOfDay);
TDateTime JoinDateTime(int32_t dayNumber, int32_t msOfDay);

// The local date and time now.
TDateTime NowDateTime();

// Texts of dates and times as the store reads and writes them: "yyyy-mm-dd", "hh:nn:ss" (with
// ".zzz" when there are milliseconds) and both joined by a blank.
std::string FormatDate(int32_t dayNumber);
std::string FormatTime(int32_t msOfDay);
bool ParseDate(const std::string& text, int32_t& dayNumber);
bool ParseTime(const std::string& text, int32_t& msOfDay);
bool ParseDateTime(const std::string& text, int32_t& dayNumber, int32_t& msOfDay);

}  // namespace quellor
