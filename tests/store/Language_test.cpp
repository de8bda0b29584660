#include "store/format/Language.h"

#include <gtest/gtest.h>
#include <unicode/coll.h>

#include <memory>
#include <set>

using namespace quellor;

TEST(Language, NinetyNineLanguagesWithUniqueNamesAndIds) {
  const auto& all = Languages();
  ASSERT_EQ(all.size(), 99u);
  EXPECT_STREQ(all.front().name, "ANSI Standard");
  EXPECT_EQ(all.front().languageId, 0);
  EXPECT_STREQ(all.back().name, "Vietnamese");
  std::set<std::string> names;
  std::set<uint16_t> ids;
  for (const TLanguage& l : all) {
    EXPECT_TRUE(names.insert(l.name).second) << l.name;
    EXPECT_TRUE(ids.insert(l.languageId).second) << l.name;
    EXPECT_TRUE(LanguageIsValid(l.languageId)) << l.name;
    // Every locale has a collator of its own language (not just the root order).
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> c(icu::Collator::createInstance(
        icu::Locale::createCanonical(LanguageIcuLocale(l.languageId).c_str()), status));
    EXPECT_TRUE(U_SUCCESS(status) && c) << l.name;
  }
}

TEST(Language, IdsAreSublanguageTimes1024PlusPrimaryLanguage) {
  struct Case {
    const char* name;
    uint16_t id;
    const char* locale;
  };
  const Case cases[] = {
      {"ANSI Standard", 0, "en_US"},
      {"English (USA)", 1033, "en_US"},
      {"english (uk)", 2 * 1024 + 9, "en_GB"},
      {"German (Standard)", 1031, "de_DE"},
      {"German (Swiss)", 2 * 1024 + 7, "de_CH"},
      {"Spanish (Modern)", 3 * 1024 + 10, "es_ES"},
      {"Serbian (Cyrillic)", 3 * 1024 + 26, "sr_Cyrl_RS"},
      {"Portuguese (Brazilian)", 1046, "pt_BR"},
      {"ukranian", 1058, "uk_UA"},
  };
  for (const Case& c : cases) {
    auto id = LanguageIdFromName(c.name);
    ASSERT_TRUE(id.has_value()) << c.name;
    EXPECT_EQ(*id, c.id) << c.name;
    EXPECT_EQ(LanguageIcuLocale(*id), c.locale) << c.name;
  }
  EXPECT_FALSE(LanguageIdFromName("Klingon").has_value());
  EXPECT_FALSE(LanguageIdFromName("English").has_value());
  EXPECT_EQ(LanguageName(1031), "German (Standard)");
  EXPECT_EQ(LanguageName(4242), "");
}

TEST(Language, SortIdsAndValidity) {
  EXPECT_EQ(LanguageSortIdFromName(1033, "default order"), 0);
  EXPECT_EQ(LanguageSortIdFromName(1031, "German Phone Book Order"), 1);
  EXPECT_EQ(LanguageSortIdFromName(5127, "German Phone Book Order"), 1);
  EXPECT_FALSE(LanguageSortIdFromName(1033, "German Phone Book Order").has_value());
  EXPECT_FALSE(LanguageSortIdFromName(1031, "Dictionary").has_value());
  EXPECT_TRUE(LanguageIsValid(1031, 1));
  EXPECT_FALSE(LanguageIsValid(1033, 1));
  EXPECT_FALSE(LanguageIsValid(1033, 7));
  EXPECT_FALSE(LanguageIsValid(9999));
  EXPECT_EQ(LanguageIcuLocale(1031, 1), "de_DE@collation=phonebook");
  EXPECT_EQ(LanguageIcuLocale(9999), "en_US");
}
