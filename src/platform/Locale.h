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
  std::string territory;          // territory part of the locale name ("CN", "TW", ...), or ""
};

class Locale {
 public:
  // The locale in force: the override when one is set, else what the C library says.
  static LocaleInfo Current();
  // Pins the locale for tests; nullopt returns to the system's.
  static void Override(std::optional<LocaleInfo> info);
};

}  // namespace quellor
