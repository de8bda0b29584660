// How the windows and the exports write a field's value as text: dates in the person's short
// date format (the session's, which start-up takes from the locale), times as hh:nn:ss with the
// session's time separator and never with milliseconds, everything else as the store gives it.
// The session reads these texts back (TStoreField::SetAsString), so what a box shows can be
// typed back unchanged.
#pragma once

#include <cstdint>
#include <string>

namespace quellor {

struct LocaleInfo;
class TStoreField;
class TStoreSession;

// Makes the session read and write dates in the person's short date format and times with
// their time separator (LocaleInfo; start-up calls it with Locale::Current()).
void UseLocaleDateFormats(TStoreSession& session, const LocaleInfo& locale);

// A date (day number, see StoreDate.h) in a short date format ("yyyy-mm-dd", "dd.mm.yyyy",
// "m/d/yy": y, m and d runs, anything else literal).
std::string FormatShortDate(int32_t dayNumber, const std::string& format);

// A time of day (milliseconds since midnight) as hh:nn:ss; the milliseconds are dropped.
std::string FormatLongTime(int32_t msOfDay, char separator);

// The text a box or a grid cell shows for the field: NULL as empty text; a date in the
// session's short date format; a time as hh:nn:ss; a date-time as both, the time left out when
// it is midnight to the second; other types as TStoreField::AsString.
std::string FieldDisplayText(const TStoreField& field, const TStoreSession& session);
std::string FieldDisplayText(const TStoreField& field);

// The widest text FieldDisplayText gives for a date-time in the session's formats (for the
// first width of a grid column).
std::string WidestDateTimeText(const TStoreSession& session);

}  // namespace quellor
