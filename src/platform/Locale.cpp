#include "platform/Locale.h"

#include <langinfo.h>

#include <cctype>
#include <clocale>
#include <mutex>

namespace quellor {
namespace {
std::mutex gMutex;
std::optional<LocaleInfo> gOverride;
}  // namespace

std::string ShortDateFormatFromPosix(const std::string& dFmt) {
  std::string f = dFmt;
  if (f == "%F") f = "%Y-%m-%d";
  if (f == "%D") f = "%m/%d/%y";
  std::string out;
  int day = 0, month = 0, year = 0;
  for (size_t i = 0; i < f.size(); ++i) {
    char c = f[i];
    if (c != '%') {
      if (std::isalnum(static_cast<unsigned char>(c))) return {};  // words are not a short date
      out += c;
      continue;
    }
    if (++i >= f.size()) return {};
    if (f[i] == '-' || f[i] == '0' || f[i] == 'O' || f[i] == 'E') {  // flags: padding, numerals
      if (++i >= f.size()) return {};
    }
    switch (f[i]) {
      case 'd':
        out += "dd";
        ++day;
        break;
      case 'e':
        out += "d";
        ++day;
        break;
      case 'm':
        out += "mm";
        ++month;
        break;
      case 'y':
      case 'Y':
        out += "yyyy";
        ++year;
        break;
      default:
        return {};
    }
  }
  return day == 1 && month == 1 && year == 1 ? out : std::string();
}

namespace {

// The locale's short date format and separators, from LC_TIME.
void ReadDateFormats(LocaleInfo& info) {
  const char* name = setlocale(LC_TIME, nullptr);
  std::string n = name ? name : "C";
  if (n == "C" || n == "POSIX" || n.rfind("C.", 0) == 0) return;
  if (const char* d = nl_langinfo(D_FMT); d && *d) {
    std::string format = ShortDateFormatFromPosix(d);
    if (!format.empty()) {
      info.shortDateFormat = format;
      for (char c : format)
        if (c != 'd' && c != 'm' && c != 'y') {
          info.dateSeparator = c;
          break;
        }
    }
  }
  if (const char* t = nl_langinfo(T_FMT); t) {
    std::string time = t;
    size_t h = time.find("%H");
    if (h != std::string::npos && h + 2 < time.size() && time[h + 2] != '%')
      info.timeSeparator = time[h + 2];
  }
}

}  // namespace

LocaleInfo Locale::Current() {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gOverride) return *gOverride;
  }
  LocaleInfo info;
  if (const lconv* lc = localeconv(); lc && lc->decimal_point && lc->decimal_point[0])
    info.decimalSeparator = lc->decimal_point[0];
  if (const char* cs = nl_langinfo(CODESET); cs && *cs) info.codeset = cs;
  ReadDateFormats(info);
  if (const char* name = setlocale(LC_CTYPE, nullptr); name && *name) {
    std::string n = name;
    if (n == "C" || n == "POSIX" || n.rfind("C.", 0) == 0) {
      info.language = "en";
    } else {
      info.language = n.substr(0, n.find_first_of("_.@"));
      if (size_t us = n.find('_'); us != std::string::npos && us < n.find_first_of(".@"))
        info.territory = n.substr(us + 1, n.find_first_of(".@", us) - us - 1);
    }
  }
  return info;
}

void Locale::Override(std::optional<LocaleInfo> info) {
  std::lock_guard<std::mutex> lock(gMutex);
  gOverride = std::move(info);
}

}  // namespace quellor
