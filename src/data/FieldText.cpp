// Field values as text for the windows and the exports; see FieldText.h.
#include "data/FieldText.h"

#include <cctype>
#include <cstdio>

#include "platform/Locale.h"
#include "store/api/StoreDate.h"
#include "store/api/StoreTb.h"

namespace quellor {

namespace {

std::string Padded(int value, int width) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%0*d", width, value);
  return buffer;
}

}  // namespace

void UseLocaleDateFormats(TStoreSession& session, const LocaleInfo& locale) {
  session.SetShortDateFormat(locale.shortDateFormat);
  session.SetDateSeparator(locale.dateSeparator);
  session.SetTimeSeparator(locale.timeSeparator);
}

std::string FormatShortDate(int32_t dayNumber, const std::string& format) {
  int year = 0, month = 0, day = 0;
  if (!DecodeDayNumber(dayNumber, year, month, day)) return {};
  std::string text;
  for (size_t i = 0; i < format.size();) {
    char c = static_cast<char>(std::tolower(static_cast<unsigned char>(format[i])));
    size_t run = 1;
    while (i + run < format.size() &&
           std::tolower(static_cast<unsigned char>(format[i + run])) == c)
      ++run;
    switch (c) {
      case 'y':
        text += run <= 2 ? Padded(year % 100, 2) : Padded(year, 4);
        break;
      case 'm':
        text += run == 1 ? std::to_string(month) : Padded(month, 2);
        break;
      case 'd':
        text += run == 1 ? std::to_string(day) : Padded(day, 2);
        break;
      default:
        text.append(format, i, run);
        break;
    }
    i += run;
  }
  return text;
}

std::string FormatLongTime(int32_t msOfDay, char separator) {
  int seconds = msOfDay / 1000;
  return Padded(seconds / 3600, 2) + separator + Padded(seconds / 60 % 60, 2) + separator +
         Padded(seconds % 60, 2);
}

std::string FieldDisplayText(const TStoreField& field, const TStoreSession& session) {
  TFieldType type = field.DataType();
  if (type != TFieldType::Date && type != TFieldType::Time && type != TFieldType::DateTime)
    return field.AsString();
  if (field.IsNull()) return {};
  int32_t day = 0, ms = 0;
  SplitDateTime(field.AsDateTime(), day, ms);
  if (type == TFieldType::Time) return FormatLongTime(ms, session.TimeSeparator());
  std::string text = FormatShortDate(day, session.ShortDateFormat());
  if (type == TFieldType::DateTime && ms / 1000 != 0)
    text += " " + FormatLongTime(ms, session.TimeSeparator());
  return text;
}

std::string FieldDisplayText(const TStoreField& field) {
  return FieldDisplayText(field, TStoreSession::Default());
}

std::string WidestDateTimeText(const TStoreSession& session) {
  // 28 December 2088 at 20:28:28: two-digit days and months, and wide digits.
  int32_t day = 0;
  EncodeDayNumber(2088, 12, 28, day);
  return FormatShortDate(day, session.ShortDateFormat()) + " " +
         FormatLongTime((20 * 3600 + 28 * 60 + 28) * 1000, session.TimeSeparator());
}

}  // namespace quellor
