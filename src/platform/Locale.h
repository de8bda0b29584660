// The user's locale, as the program's logic needs it: the decimal separator, the short date
// and long time formats, the month names and the code page. Read from the C library after
// setlocale(LC_ALL, ""); tests pin values with Locale::Override so results do not depend on the
// machine's settings.
#pragma once

#include <optional>
#include <string>

namespace quellor {

struct LocaleInfo {
  char decimalSeparator = '.';
  std::string codeset = "UTF-8";  // nl_langinfo(CODESET)
  std::string language = "en";    // language part of the locale name ("de", "ja", ...)
  std::string territory = "";     // territory part of the locale name ("CN", "TW", ...), or ""
  // The short date format in the program's notation (y, m and d runs, anything else literal)
  // and its separator, and the time separator of the long time format. The C and POSIX locales
  // (and a format that cannot be read) give yyyy-mm-dd.
  std::string shortDateFormat = "yyyy-mm-dd";
  char dateSeparator = '-';
  char timeSeparator = ':';
};

// The short date format of a C library date format (nl_langinfo(D_FMT): "%d.%m.%Y" gives
// "dd.mm.yyyy", "%m/%d/%y" "mm/dd/yyyy"). The year always has four digits, so that a date
// written by the program reads back in the same century. "" for a format that is not made of
// day, month and year with separators between them.
std::string ShortDateFormatFromPosix(const std::string& dFmt);

class Locale {
 public:
  // The locale in force: the override when one is set, else what the C library says.
  static LocaleInfo Current();
  // Pins the locale for tests; nullopt returns to the system's.
  static void Override(std::optional<LocaleInfo> info);
};

}  // namespace quellor
