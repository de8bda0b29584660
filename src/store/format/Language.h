// The table languages: the 99 language names a table may be given, the Windows language id
// each stands for (sublanguage x 1024 + primary language) and the ICU locale that supplies its
// collation and upper-casing. Language id 0 ("ANSI Standard") means plain byte order; its
// upper-casing follows US English. A table's sort id picks a variant of the language's order:
// 0 "Default Order" for every language, 1 "German Phone Book Order" for the German languages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quellor {

struct TLanguage {
  const char* name;       // "English (USA)"
  uint16_t languageId;    // 1033
  const char* icuLocale;  // "en_US"
};

// The 99 languages in the order the store keeps them, "ANSI Standard" first.
const std::vector<TLanguage>& Languages();

// The language id of a name, compared without regard to case; nullopt for an unknown name.
std::optional<uint16_t> LanguageIdFromName(const std::string& name);

// The name of a language id; empty for an id that is not in the table.
std::string LanguageName(uint16_t languageId);

// The sort id of a sort name for a language ("Default Order" 0 everywhere, "German Phone Book
// Order" 1 for the German languages), compared without regard to case; nullopt otherwise.
std::optional<uint16_t> LanguageSortIdFromName(uint16_t languageId, const std::string& sortName);

// Whether a table's language and sort id name a locale the store supports. The caller raises
// 15878 ("The language driver for table '%s' is not available or installed") when not.
bool LanguageIsValid(uint16_t languageId, uint16_t sortId = 0);

// The ICU locale id for a table's language and sort id ("de_DE@collation=phonebook"); the US
// English locale for language id 0 and for ids that are not valid.
std::string LanguageIcuLocale(uint16_t languageId, uint16_t sortId = 0);

}  // namespace quellor
