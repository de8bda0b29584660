#include "notices/DmcaNotice.h"

#include <langinfo.h>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <unordered_set>

#include "notices/NoticeComposer.h"
#include "platform/Files.h"
#include "platform/Locale.h"
#include "store/api/StoreTb.h"
#include "transfer/CsvField.h"

namespace quellor {
namespace {

const char* const kSentenceC = "displays an active hypertext link for a \"crack\" for";
const char* const kSentenceS = "displays serial numbers \"serialz\" for";
const char* const kSentenceK = "displays a serial number generator \"keygen\" for";
const char* const kSentenceW =
    "displays an active hypertext link for full-version downloads \"warez\" for";

const char* const kParagraphSerialz =
    "The \"Serialz\" are designed to disable or bypass copyright protection encoded in the "
    "software programs, in violation of US Copyright law.";
const char* const kParagraphKeyGens =
    "The \"KeyGens\" are designed to disable or bypass copyright protection encoded in the "
    "software programs, in violation of US Copyright law.";
const char* const kParagraphCrack =
    "The \"crack\" files are designed to disable or bypass copyright protection encoded in the "
    "software programs, in violation of US Copyright law.";

std::string ReplaceAll(std::string text, const std::string& what, const std::string& with) {
  std::string out;
  size_t pos = 0;
  for (;;) {
    size_t hit = text.find(what, pos);
    if (hit == std::string::npos) break;
    out.append(text, pos, hit - pos);
    out += with;
    pos = hit + what.size();
  }
  out.append(text, pos, std::string::npos);
  return out;
}

// Sort keys of a comparison that ignores case in the user's language (accents still count).
class TitleCollation {
 public:
  TitleCollation() {
    const LocaleInfo info = Locale::Current();
    codeset_ = info.codeset;
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale locale(info.language.c_str(),
                       info.territory.empty() ? nullptr : info.territory.c_str());
    collator_.reset(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status)) collator_.reset();
    if (collator_) collator_->setStrength(icu::Collator::SECONDARY);
  }

  std::string Key(const std::string& title) const {
    if (!collator_) {  // no collation data: byte order of the lower-case text
      std::string k = title;
      for (char& c : k) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return k;
    }
    icu::UnicodeString u =
        IsUtf8() ? icu::UnicodeString::fromUTF8(title)
                 : icu::UnicodeString(title.data(), static_cast<int32_t>(title.size()),
                                      codeset_.c_str());
    std::string key(64, '\0');
    for (;;) {
      int32_t n = collator_->getSortKey(u, reinterpret_cast<uint8_t*>(key.data()),
                                        static_cast<int32_t>(key.size()));
      if (n <= static_cast<int32_t>(key.size())) {
        key.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return key;
      }
      key.assign(static_cast<size_t>(n), '\0');
    }
  }

 private:
  bool IsUtf8() const {
    std::string u = codeset_;
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u == "UTF-8" || u == "UTF8";
  }

  std::string codeset_;
  std::unique_ptr<icu::Collator> collator_;
};

}  // namespace

TDmcaDate TodayDate() {
  std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

std::string FormatDmcaDate(const TDmcaDate& date) {
  static const nl_item kMonths[] = {MON_1, MON_2, MON_3, MON_4,  MON_5,  MON_6,
                                    MON_7, MON_8, MON_9, MON_10, MON_11, MON_12};
  int m = std::clamp(date.month, 1, 12);
  const char* name = nl_langinfo(kMonths[m - 1]);
  return std::string(name ? name : "") + " " + std::to_string(date.day) + ", " +
         std::to_string(date.year);
}

TDmcaSite ReadDmcaSite(TStoreTable& siteTable) {
  return {siteTable.FieldByName("Url").AsString(), siteTable.FieldByName("IPAddr").AsString(),
          siteTable.FieldByName("DMCAUrls").AsString()};
}

std::vector<TDmcaEntry> ParseDmcaUrls(const std::string& dmcaUrls) {
  std::vector<TDmcaEntry> entries;
  for (int n = 0;; ++n) {
    const std::string entry = GetCsvField(dmcaUrls, ';', n);
    if (entry.empty()) break;
    TDmcaEntry e;
    e.Address = GetCsvField(entry, ',', 0);
    e.Kind = GetCsvField(entry, ',', 1);
    for (int k = 2;; ++k) {
      std::string title = GetCsvField(entry, ',', k);
      if (title.empty()) break;
      e.Titles.push_back(std::move(title));
    }
    entries.push_back(std::move(e));
  }
  return entries;
}

std::string ExpandTemplateFor(const TDmcaSite& site, const std::string& text, bool subjectOnly,
                              const TDmcaDate& today) {
  std::string offences;
  std::vector<std::string> titles;
  bool crack = false, serialz = false, keygens = false;
  if (!site.DMCAUrls.empty()) {
    for (const TDmcaEntry& e : ParseDmcaUrls(site.DMCAUrls)) {
      const char* sentence = nullptr;
      if (e.Kind == "C") {
        sentence = kSentenceC;
        crack = true;
      } else if (e.Kind == "S") {
        sentence = kSentenceS;
        serialz = true;
      } else if (e.Kind == "K") {
        sentence = kSentenceK;
        keygens = true;
      } else if (e.Kind == "W") {
        sentence = kSentenceW;
      }
      std::string titleText;
      for (const std::string& t : e.Titles) {
        if (!titleText.empty()) titleText += ", ";
        titleText += t;
        titles.push_back(t);
      }
      if (!e.Address.empty()) {
        offences += e.Address + " ";
        if (sentence) offences += std::string(sentence) + " ";
        offences += titleText + "\r\n\r\n";
      }
    }
  }

  std::string apps;
  if (!titles.empty()) {
    TitleCollation collation;
    std::vector<std::pair<std::string, std::string>> keyed;  // sort key, first spelling
    std::unordered_set<std::string> seen;
    for (const std::string& t : titles) {
      std::string key = collation.Key(t);
      if (seen.insert(key).second) keyed.emplace_back(std::move(key), t);
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [key, title] : keyed) apps += title + "\r\n";
  }

  std::string result = ReplaceAll(text, "%url%", site.Url);
  result = ReplaceAll(result, "%IP%", site.IPAddr);
  result = ReplaceAll(result, "%urls%", offences);
  result = ReplaceAll(result, "%apps%", apps);
  result = ReplaceAll(result, "%date%", FormatDmcaDate(today));
  if (!subjectOnly) {
    if (serialz) result += std::string(kParagraphSerialz) + "\r\n\r\n";
    if (keygens) result += std::string(kParagraphKeyGens) + "\r\n\r\n";
    if (crack) result += std::string(kParagraphCrack) + "\r\n\r\n";
  }
  return result;
}

std::string ExpandTemplate(TStoreTable& siteTable, const std::string& text, bool subjectOnly) {
  return ExpandTemplateFor(ReadDmcaSite(siteTable), text, subjectOnly, TodayDate());
}

std::vector<std::string> BuildDmcaNoticeLines(const std::vector<std::string>& templateLines,
                                              const TDmcaSite& site, const TDmcaDate& today) {
  std::string text;
  for (const std::string& l : templateLines) text += l + "\r\n";
  return SplitLines(ExpandTemplateFor(site, text, false, today));
}

void BuildDmcaNotice(TStoreTable& siteTable, std::vector<std::string>& noticeLines) {
  std::vector<std::string> templateLines = ReadProgramTextFile("dmca-template.txt");
  noticeLines = BuildDmcaNoticeLines(templateLines, ReadDmcaSite(siteTable), TodayDate());
}

}  // namespace quellor
