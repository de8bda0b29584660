#include "notices/DmcaNotice.h"

#include <langinfo.h>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <optional>
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

// The titles' order and sameness. Order: sort keys of the user's language at secondary strength,
// which ignores case (accents still count); titles that differ in more than case but sort alike
// (width, ligatures, kana type) keep the order in which they were met. Sameness: equal after
// simple case folding, code point by code point, and nothing else, so "ABC" and "abc" are one
// title, while "ＡＢＣ" (full width), "ﬁle" (a ligature) and "カタ" (katakana) stay apart from
// "ABC", "file" and "かた".
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

  // The text of a title with its case folded: titles with equal texts are the same title.
  std::string Sameness(const std::string& title) const {
    const icu::UnicodeString u = Unicode(title);
    icu::UnicodeString folded;
    for (int32_t i = 0; i < u.length();) {
      const UChar32 c = u.char32At(i);
      folded.append(u_foldCase(c, U_FOLD_CASE_DEFAULT));
      i += U16_LENGTH(c);
    }
    std::string out;
    folded.toUTF8String(out);
    return out;
  }

  std::string Key(const std::string& title) const {
    if (!collator_) {  // no collation data: byte order of the lower-case text
      std::string k = title;
      for (char& c : k) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return k;
    }
    const icu::UnicodeString u = Unicode(title);
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
  icu::UnicodeString Unicode(const std::string& text) const {
    return IsUtf8() ? icu::UnicodeString::fromUTF8(text)
                    : icu::UnicodeString(text.data(), static_cast<int32_t>(text.size()),
                                         codeset_.c_str());
  }

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
  // Cut once into entries and each entry once into fields: the same values as GetCsvField entry
  // by entry, in time proportional to the text (a list of thousands of entries is read at once).
  std::vector<TDmcaEntry> entries;
  for (const std::string& entry : GetCsvFields(dmcaUrls, ';')) {
    if (entry.empty()) break;
    std::vector<std::string> fields = GetCsvFields(entry, ',');
    TDmcaEntry e;
    e.Address = std::move(fields[0]);
    if (fields.size() > 1) e.Kind = std::move(fields[1]);
    for (size_t k = 2; k < fields.size() && !fields[k].empty(); ++k)
      e.Titles.push_back(std::move(fields[k]));
    entries.push_back(std::move(e));
  }
  return entries;
}

namespace {

// What the expansion takes from the DMCA Urls field.
struct TDmcaList {
  std::string offences;             // the text of "%urls%"
  std::vector<std::string> titles;  // every title, in the order met
  bool crack = false, serialz = false, keygens = false;
};

TDmcaList ReadDmcaList(const std::string& dmcaUrls) {
  TDmcaList list;
  if (dmcaUrls.empty()) return list;
  for (const TDmcaEntry& e : ParseDmcaUrls(dmcaUrls)) {
    const char* sentence = nullptr;
    if (e.Kind == "C") {
      sentence = kSentenceC;
      list.crack = true;
    } else if (e.Kind == "S") {
      sentence = kSentenceS;
      list.serialz = true;
    } else if (e.Kind == "K") {
      sentence = kSentenceK;
      list.keygens = true;
    } else if (e.Kind == "W") {
      sentence = kSentenceW;
    }
    std::string titleText;
    for (const std::string& t : e.Titles) {
      if (!titleText.empty()) titleText += ", ";
      titleText += t;
      list.titles.push_back(t);
    }
    if (!e.Address.empty()) {
      list.offences += e.Address + " ";
      if (sentence) list.offences += std::string(sentence) + " ";
      list.offences += titleText + "\r\n\r\n";
    }
  }
  return list;
}

// The text of "%apps%": each title once, sorted (see TitleCollation).
std::string TitleList(const std::vector<std::string>& titles) {
  std::string apps;
  if (titles.empty()) return apps;
  TitleCollation collation;
  std::vector<std::pair<std::string, std::string>> keyed;  // sort key, first spelling
  std::unordered_set<std::string> seen;
  for (const std::string& t : titles)
    if (seen.insert(collation.Sameness(t)).second) keyed.emplace_back(collation.Key(t), t);
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [key, title] : keyed) apps += title + "\r\n";
  return apps;
}

bool Holds(const std::string& text, const char* placeholder) {
  return text.find(placeholder) != std::string::npos;
}

}  // namespace

std::string ExpandTemplateFor(const TDmcaSite& site, const std::string& text, bool subjectOnly,
                              const TDmcaDate& today) {
  // The list is read only when the text asks for it ("%urls%", "%apps%", also when a value
  // replaced before brings one in) or the paragraphs are wanted: a subject such as "Software
  // piracy notice: %url%" does not read a long list at all.
  std::optional<TDmcaList> list;
  auto dmcaList = [&]() -> const TDmcaList& {
    if (!list) list = ReadDmcaList(site.DMCAUrls);
    return *list;
  };
  std::string result = ReplaceAll(text, "%url%", site.Url);
  result = ReplaceAll(result, "%IP%", site.IPAddr);
  if (Holds(result, "%urls%")) result = ReplaceAll(result, "%urls%", dmcaList().offences);
  if (Holds(result, "%apps%")) result = ReplaceAll(result, "%apps%", TitleList(dmcaList().titles));
  result = ReplaceAll(result, "%date%", FormatDmcaDate(today));
  if (!subjectOnly) {
    if (dmcaList().serialz) result += std::string(kParagraphSerialz) + "\r\n\r\n";
    if (dmcaList().keygens) result += std::string(kParagraphKeyGens) + "\r\n\r\n";
    if (dmcaList().crack) result += std::string(kParagraphCrack) + "\r\n\r\n";
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
