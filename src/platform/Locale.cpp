#include "platform/Locale.h"

#include <langinfo.h>

#include <clocale>
#include <mutex>

namespace quellor {
namespace {
std::mutex gMutex;
std::optional<LocaleInfo> gOverride;
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
