// The text rules of one table for expressions: string comparison, prefix comparison, LIKE
// matching and upper/lower casing in the table's locale.
//
// Language id 0 is plain byte order: strings compare byte by byte up to the end of the longer
// one (a shorter string that is a prefix of the other sorts first), case is ignored by
// upper-casing both sides with the United States English rules, and LIKE compares characters
// exactly. Any other id is a Windows language id, mapped to the ICU locale of that id (an id ICU
// does not know falls back to the root locale): comparisons use that locale's collation ignoring
// non-spacing marks (and case when asked), and LIKE ignores non-spacing marks but not case.
//
// Text is bytes of the system code page (`codePage`, an ICU converter name; "UTF-8" by
// default). Characters (for LIKE's "_", SUBSTRING and POS) are code points in UTF-8 and bytes in
// any other code page. One object is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quellor {

class TExprTextRules {
 public:
  explicit TExprTextRules(uint32_t languageId = 0, std::string codePage = "UTF-8");
  ~TExprTextRules();
  TExprTextRules(const TExprTextRules&) = delete;
  TExprTextRules& operator=(const TExprTextRules&) = delete;

  uint32_t LanguageId() const { return languageId_; }

  // <0, 0, >0 as a sorts before, with or after b.
  int Compare(std::string_view a, std::string_view b, bool ignoreCase) const;
  // Whether `value` begins with `prefix` under the same rules as Compare.
  bool StartsWith(std::string_view value, std::string_view prefix, bool ignoreCase) const;
  // SQL LIKE: "%" any run of characters, "_" one character; backtracks to the last "%".
  bool Like(std::string_view value, std::string_view pattern) const;

  std::string Upper(std::string_view s) const;
  std::string Lower(std::string_view s) const;

  // Byte offsets at which the characters of `s` begin, followed by s.size().
  std::vector<size_t> CharStarts(std::string_view s) const;

 private:
  struct TCollators;
  std::u16string ToUnicode(std::string_view s) const;
  std::string FromUnicode(const std::u16string& s) const;
  std::u32string Characters(std::string_view s) const;
  std::u32string FoldMarks(std::string_view s) const;
  std::string ChangeCase(std::string_view s, bool upper) const;

  uint32_t languageId_;
  std::string codePage_;
  bool utf8_;
  std::string locale_;  // ICU locale id used for casing and collation
  std::unique_ptr<TCollators> collators_;
};

}  // namespace quellor
