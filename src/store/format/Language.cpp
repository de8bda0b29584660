#include "store/format/Language.h"

#include <algorithm>
#include <cctype>

namespace quellor {
namespace {

bool SameTextNoCase(const std::string& a, const char* b) {
  size_t n = std::char_traits<char>::length(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

bool IsGerman(uint16_t languageId) {
  return (languageId & 0x3FF) == 0x07;
}

}  // namespace

const std::vector<TLanguage>& Languages() {
  static const std::vector<TLanguage> kLanguages = {
      {"ANSI Standard", 0, "en_US"},
      {"Afrikaans", 1078, "af_ZA"},
      {"Albanian", 1052, "sq_AL"},
      {"Arabic (Saudi Arabia)", 1025, "ar_SA"},
      {"Arabic (Iraq)", 2049, "ar_IQ"},
      {"Arabic (Egypt)", 3073, "ar_EG"},
      {"Arabic (Libya)", 4097, "ar_LY"},
      {"Arabic (Algeria)", 5121, "ar_DZ"},
      {"Arabic (Morocco)", 6145, "ar_MA"},
      {"Arabic (Tunisia)", 7169, "ar_TN"},
      {"Arabic (Oman)", 8193, "ar_OM"},
      {"Arabic (Yemen)", 9217, "ar_YE"},
      {"Arabic (Syria)", 10241, "ar_SY"},
      {"Arabic (Jordan)", 11265, "ar_JO"},
      {"Arabic (Lebanon)", 12289, "ar_LB"},
      {"Arabic (Kuwait)", 13313, "ar_KW"},
      {"Arabic (U.A.E)", 14337, "ar_AE"},
      {"Arabic (Bahrain)", 15361, "ar_BH"},
      {"Arabic (Qatar)", 16385, "ar_QA"},
      {"Basque", 1069, "eu_ES"},
      {"Belarusian", 1059, "be_BY"},
      {"Bulgarian", 1026, "bg_BG"},
      {"Catalan", 1027, "ca_ES"},
      {"Croatian", 1050, "hr_HR"},
      {"Czech", 1029, "cs_CZ"},
      {"Danish", 1030, "da_DK"},
      {"Dutch (Standard)", 1043, "nl_NL"},
      {"Dutch (Belgian)", 2067, "nl_BE"},
      {"English (USA)", 1033, "en_US"},
      {"English (UK)", 2057, "en_GB"},
      {"English (Australian)", 3081, "en_AU"},
      {"English (Canadian)", 4105, "en_CA"},
      {"English (New Zealand)", 5129, "en_NZ"},
      {"English (Irish)", 6153, "en_IE"},
      {"English (South Africa)", 7177, "en_ZA"},
      {"English (Jamaica)", 8201, "en_JM"},
      {"English (Caribbean)", 9225, "en_029"},
      {"English (Belize)", 10249, "en_BZ"},
      {"English (Trinidad)", 11273, "en_TT"},
      {"Estonian", 1061, "et_EE"},
      {"Faeroese", 1080, "fo_FO"},
      {"Farsi", 1065, "fa_IR"},
      {"Finnish", 1035, "fi_FI"},
      {"French (Standard)", 1036, "fr_FR"},
      {"French (Belgian)", 2060, "fr_BE"},
      {"French (Canadian)", 3084, "fr_CA"},
      {"French (Swiss)", 4108, "fr_CH"},
      {"French (Luxembourg)", 5132, "fr_LU"},
      {"German (Standard)", 1031, "de_DE"},
      {"German (Swiss)", 2055, "de_CH"},
      {"German (Austrian)", 3079, "de_AT"},
      {"German (Luxembourg)", 4103, "de_LU"},
      {"German (Liechtenstein)", 5127, "de_LI"},
      {"Greek", 1032, "el_GR"},
      {"Hebrew", 1037, "he_IL"},
      {"Hungarian", 1038, "hu_HU"},
      {"Icelandic", 1039, "is_IS"},
      {"Indonesian", 1057, "id_ID"},
      {"Italian (Standard)", 1040, "it_IT"},
      {"Italian (Swiss)", 2064, "it_CH"},
      {"Latvian", 1062, "lv_LV"},
      {"Lithuanian", 1063, "lt_LT"},
      {"Norwegian (Bokmal)", 1044, "nb_NO"},
      {"Norwegian (Nynorsk)", 2068, "nn_NO"},
      {"Polish", 1045, "pl_PL"},
      {"Portuguese (Standard)", 2070, "pt_PT"},
      {"Portuguese (Brazilian)", 1046, "pt_BR"},
      {"Romanian", 1048, "ro_RO"},
      {"Russian", 1049, "ru_RU"},
      {"Serbian (Latin)", 2074, "sr_Latn_RS"},
      {"Serbian (Cyrillic)", 3098, "sr_Cyrl_RS"},
      {"Slovak", 1051, "sk_SK"},
      {"Slovenian", 1060, "sl_SI"},
      // Castilian is the traditional Spanish order (ch and ll as letters of their own).
      {"Spanish (Castilian)", 1034, "es_ES@collation=traditional"},
      {"Spanish (Mexican)", 2058, "es_MX"},
      {"Spanish (Modern)", 3082, "es_ES"},
      {"Spanish (Guatemala)", 4106, "es_GT"},
      {"Spanish (Costa Rica)", 5130, "es_CR"},
      {"Spanish (Panama)", 6154, "es_PA"},
      {"Spanish (Dominican Republic)", 7178, "es_DO"},
      {"Spanish (Venezuela)", 8202, "es_VE"},
      {"Spanish (Colombia)", 9226, "es_CO"},
      {"Spanish (Peru)", 10250, "es_PE"},
      {"Spanish (Argentina)", 11274, "es_AR"},
      {"Spanish (Ecuador)", 12298, "es_EC"},
      {"Spanish (Chile)", 13322, "es_CL"},
      {"Spanish (Uruguay)", 14346, "es_UY"},
      {"Spanish (Paraguay)", 15370, "es_PY"},
      {"Spanish (Bolivia)", 16394, "es_BO"},
      {"Spanish (El Salvador)", 17418, "es_SV"},
      {"Spanish (Honduras)", 18442, "es_HN"},
      {"Spanish (Nicaragua)", 19466, "es_NI"},
      {"Spanish (Puerto Rico)", 20490, "es_PR"},
      {"Swedish (Standard)", 1053, "sv_SE"},
      {"Swedish (Finland)", 2077, "sv_FI"},
      {"Thai", 1054, "th_TH"},
      {"Turkish", 1055, "tr_TR"},
      {"Ukranian", 1058, "uk_UA"},
      {"Vietnamese", 1066, "vi_VN"},
  };
  return kLanguages;
}

std::optional<uint16_t> LanguageIdFromName(const std::string& name) {
  for (const TLanguage& l : Languages()) {
    if (SameTextNoCase(name, l.name)) return l.languageId;
  }
  return std::nullopt;
}

std::string LanguageName(uint16_t languageId) {
  for (const TLanguage& l : Languages()) {
    if (l.languageId == languageId) return l.name;
  }
  return {};
}

std::optional<uint16_t> LanguageSortIdFromName(uint16_t languageId, const std::string& sortName) {
  if (SameTextNoCase(sortName, "Default Order")) return 0;
  if (IsGerman(languageId) && SameTextNoCase(sortName, "German Phone Book Order")) return 1;
  return std::nullopt;
}

bool LanguageIsValid(uint16_t languageId, uint16_t sortId) {
  if (LanguageName(languageId).empty()) return false;
  if (sortId == 0) return true;
  return sortId == 1 && IsGerman(languageId);
}

std::string LanguageIcuLocale(uint16_t languageId, uint16_t sortId) {
  if (!LanguageIsValid(languageId, sortId)) return "en_US";
  for (const TLanguage& l : Languages()) {
    if (l.languageId != languageId) continue;
    std::string locale = l.icuLocale;
    if (sortId == 1) locale += "@collation=phonebook";
    return locale;
  }
  return "en_US";
}

}  // namespace quellor
