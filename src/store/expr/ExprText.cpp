#include "store/expr/ExprText.h"

#include <unicode/ucnv.h>
#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstring>

namespace quellor {

struct TExprTextRules::TCollators {
  UCollator* marks = nullptr;   // ignores non-spacing marks, respects case
  UCollator* noCase = nullptr;  // ignores marks and case
  ~TCollators() {
    if (marks) ucol_close(marks);
    if (noCase) ucol_close(noCase);
  }
};

namespace {

bool IsAscii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

int CompareBytes(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  int r = n ? std::memcmp(a.data(), b.data(), n) : 0;
  if (r) return r < 0 ? -1 : 1;
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

UCollator* OpenCollator(const char* locale, bool caseLevel) {
  UErrorCode status = U_ZERO_ERROR;
  UCollator* c = ucol_open(locale, &status);
  if (U_FAILURE(status)) {
    status = U_ZERO_ERROR;
    c = ucol_open("", &status);
  }
  if (!c) return nullptr;
  status = U_ZERO_ERROR;
  ucol_setStrength(c, UCOL_PRIMARY);
  ucol_setAttribute(c, UCOL_CASE_LEVEL, caseLevel ? UCOL_ON : UCOL_OFF, &status);
  return c;
}

// Classic wildcard match with one backtrack point: on a mismatch, go back to the last "%" and
// let it swallow one more character. Linear space, O(n*m) time at worst.
bool MatchLike(const std::u32string& v, const std::u32string& p) {
  size_t vi = 0, pi = 0;
  size_t starP = std::u32string::npos, starV = 0;
  while (vi < v.size()) {
    if (pi < p.size() && p[pi] == U'%') {
      starP = pi++;
      starV = vi;
    } else if (pi < p.size() && (p[pi] == U'_' || p[pi] == v[vi])) {
      ++pi;
      ++vi;
    } else if (starP != std::u32string::npos) {
      pi = starP + 1;
      vi = ++starV;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == U'%') ++pi;
  return pi == p.size();
}

}  // namespace

TExprTextRules::TExprTextRules(uint32_t languageId, std::string codePage)
    : languageId_(languageId), codePage_(std::move(codePage)) {
  std::string cp = codePage_;
  std::transform(cp.begin(), cp.end(), cp.begin(), [](unsigned char c) { return std::toupper(c); });
  cp.erase(std::remove(cp.begin(), cp.end(), '-'), cp.end());
  utf8_ = cp == "UTF8";
  if (languageId_ == 0) {
    locale_ = "en_US";
    return;
  }
  char buffer[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  uloc_getLocaleForLCID(languageId_, buffer, sizeof buffer - 1, &status);
  locale_ = U_SUCCESS(status) ? buffer : "";
  collators_ = std::make_unique<TCollators>();
  collators_->marks = OpenCollator(locale_.c_str(), true);
  collators_->noCase = OpenCollator(locale_.c_str(), false);
}

TExprTextRules::~TExprTextRules() = default;

std::u16string TExprTextRules::ToUnicode(std::string_view s) const {
  std::u16string out;
  if (s.empty()) return out;
  UErrorCode status = U_ZERO_ERROR;
  if (utf8_) {
    int32_t length = 0;
    u_strFromUTF8WithSub(nullptr, 0, &length, s.data(), static_cast<int32_t>(s.size()), 0xFFFD,
                         nullptr, &status);
    status = U_ZERO_ERROR;
    out.resize(length);
    u_strFromUTF8WithSub(out.data(), length, &length, s.data(), static_cast<int32_t>(s.size()),
                         0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) out.clear();
    return out;
  }
  UConverter* conv = ucnv_open(codePage_.c_str(), &status);
  if (U_FAILURE(status)) {
    // An unknown code page: read the bytes as Latin-1.
    for (char c : s) out += static_cast<char16_t>(static_cast<unsigned char>(c));
    return out;
  }
  out.resize(s.size() * 2 + 4);
  int32_t n = ucnv_toUChars(conv, out.data(), static_cast<int32_t>(out.size()), s.data(),
                            static_cast<int32_t>(s.size()), &status);
  ucnv_close(conv);
  out.resize(U_SUCCESS(status) ? n : 0);
  return out;
}

std::string TExprTextRules::FromUnicode(const std::u16string& s) const {
  std::string out;
  if (s.empty()) return out;
  UErrorCode status = U_ZERO_ERROR;
  if (utf8_) {
    int32_t length = 0;
    u_strToUTF8WithSub(nullptr, 0, &length, s.data(), static_cast<int32_t>(s.size()), 0xFFFD,
                       nullptr, &status);
    status = U_ZERO_ERROR;
    out.resize(length);
    u_strToUTF8WithSub(out.data(), length, &length, s.data(), static_cast<int32_t>(s.size()),
                       0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) out.clear();
    return out;
  }
  UConverter* conv = ucnv_open(codePage_.c_str(), &status);
  if (U_FAILURE(status)) {
    for (char16_t c : s) out += static_cast<char>(c <= 0xFF ? c : '?');
    return out;
  }
  out.resize(s.size() * 4 + 4);
  int32_t n = ucnv_fromUChars(conv, out.data(), static_cast<int32_t>(out.size()), s.data(),
                              static_cast<int32_t>(s.size()), &status);
  ucnv_close(conv);
  out.resize(U_SUCCESS(status) ? n : 0);
  return out;
}

std::vector<size_t> TExprTextRules::CharStarts(std::string_view s) const {
  std::vector<size_t> starts;
  starts.reserve(s.size() + 1);
  for (size_t i = 0; i < s.size(); ++i) {
    // In UTF-8 a continuation byte (10xxxxxx) never starts a character.
    if (!utf8_ || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 || starts.empty())
      starts.push_back(i);
  }
  starts.push_back(s.size());
  return starts;
}

std::u32string TExprTextRules::Characters(std::string_view s) const {
  std::u32string out;
  out.reserve(s.size());
  if (!utf8_) {
    for (char c : s) out += static_cast<char32_t>(static_cast<unsigned char>(c));
    return out;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
  int32_t i = 0, n = static_cast<int32_t>(s.size());
  while (i < n) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, n, c);
    // A byte that is not part of a valid sequence stands for itself, outside the code points.
    out += c < 0 ? static_cast<char32_t>(0x110000 + bytes[start]) : static_cast<char32_t>(c);
  }
  return out;
}

std::u32string TExprTextRules::FoldMarks(std::string_view s) const {
  std::u16string u = ToUnicode(s);
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* nfd = unorm2_getNFDInstance(&status);
  std::u16string d(u.size() * 4 + 4, u'\0');
  int32_t n = U_SUCCESS(status)
                  ? unorm2_normalize(nfd, u.data(), static_cast<int32_t>(u.size()), d.data(),
                                     static_cast<int32_t>(d.size()), &status)
                  : 0;
  if (U_FAILURE(status)) {
    d = u;
    n = static_cast<int32_t>(u.size());
  }
  std::u32string out;
  for (int32_t i = 0; i < n;) {
    UChar32 c;
    U16_NEXT(d.data(), i, n, c);
    if (u_charType(c) != U_NON_SPACING_MARK) out += static_cast<char32_t>(c);
  }
  return out;
}

std::string TExprTextRules::ChangeCase(std::string_view s, bool upper) const {
  if (IsAscii(s)) {
    std::string out(s);
    for (char& c : out)
      c = static_cast<char>(upper ? std::toupper(static_cast<unsigned char>(c))
                                  : std::tolower(static_cast<unsigned char>(c)));
    return out;
  }
  std::u16string u = ToUnicode(s);
  std::u16string r(u.size() * 3 + 4, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = upper ? u_strToUpper(r.data(), static_cast<int32_t>(r.size()), u.data(),
                                   static_cast<int32_t>(u.size()), locale_.c_str(), &status)
                    : u_strToLower(r.data(), static_cast<int32_t>(r.size()), u.data(),
                                   static_cast<int32_t>(u.size()), locale_.c_str(), &status);
  if (U_FAILURE(status)) return std::string(s);
  r.resize(n);
  return FromUnicode(r);
}

std::string TExprTextRules::Upper(std::string_view s) const {
  return ChangeCase(s, true);
}
std::string TExprTextRules::Lower(std::string_view s) const {
  return ChangeCase(s, false);
}

int TExprTextRules::Compare(std::string_view a, std::string_view b, bool ignoreCase) const {
  if (languageId_ == 0) {
    if (!ignoreCase) return CompareBytes(a, b);
    return CompareBytes(Upper(a), Upper(b));
  }
  UCollator* c = ignoreCase ? collators_->noCase : collators_->marks;
  if (!c) return CompareBytes(a, b);
  std::u16string ua = ToUnicode(a), ub = ToUnicode(b);
  UCollationResult r = ucol_strcoll(c, ua.data(), static_cast<int32_t>(ua.size()), ub.data(),
                                    static_cast<int32_t>(ub.size()));
  return r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0;
}

bool TExprTextRules::StartsWith(std::string_view value, std::string_view prefix,
                                bool ignoreCase) const {
  if (languageId_ == 0) {
    if (!ignoreCase) return value.substr(0, prefix.size()) == prefix;
    std::string v = Upper(value), p = Upper(prefix);
    return std::string_view(v).substr(0, p.size()) == p;
  }
  // Compare the operand's first characters, as many as the prefix has once marks are removed.
  std::u32string v = FoldMarks(value), p = FoldMarks(prefix);
  if (v.size() < p.size()) return false;
  v.resize(p.size());
  UCollator* c = ignoreCase ? collators_->noCase : collators_->marks;
  std::u16string uv, up;
  auto append = [](std::u16string& out, char32_t ch) {
    if (ch > 0x10FFFF) ch = 0xFFFD;
    if (ch >= 0x10000) {
      out += static_cast<char16_t>(0xD7C0 + (ch >> 10));
      out += static_cast<char16_t>(0xDC00 | (ch & 0x3FF));
    } else {
      out += static_cast<char16_t>(ch);
    }
  };
  for (char32_t ch : v) append(uv, ch);
  for (char32_t ch : p) append(up, ch);
  if (!c) return uv == up;
  return ucol_strcoll(c, uv.data(), static_cast<int32_t>(uv.size()), up.data(),
                      static_cast<int32_t>(up.size())) == UCOL_EQUAL;
}

bool TExprTextRules::Like(std::string_view value, std::string_view pattern) const {
  if (languageId_ == 0) return MatchLike(Characters(value), Characters(pattern));
  return MatchLike(FoldMarks(value), FoldMarks(pattern));
}

}  // namespace quellor
