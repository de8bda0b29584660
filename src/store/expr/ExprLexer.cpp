#include "store/expr/ExprLexer.h"

#include <charconv>
#include <limits>

#include "store/expr/ExprContext.h"

namespace quellor {

bool TExprToken::IsWord(std::string_view keyword) const {
  return kind == TExprTokenKind::Word && EqualsNoCase(text, keyword);
}

namespace {

bool IsWordStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 129 && c <= 254);
}
// Byte 128 may follow: in UTF-8 it is a continuation byte of letters such as "À".
bool IsWordPart(unsigned char c) {
  return IsWordStart(c) || (c >= '0' && c <= '9') || c == 128;
}
bool IsDigit(unsigned char c) {
  return c >= '0' && c <= '9';
}

class TLexer {
 public:
  TLexer(std::string_view text, char separator, const std::string& name)
      : s_(text), sep_(separator), name_(name) {}

  std::vector<TExprToken> Run() {
    // Counted first, so the tokens are built once in room made for them (a long statement's
    // tokens are not moved again and again as the vector grows).
    size_t count = 0;
    Scan([&](TExprToken&&) { ++count; });
    i_ = 0;
    std::vector<TExprToken> out;
    out.reserve(count);
    Scan([&](TExprToken&& t) { out.push_back(std::move(t)); });
    return out;
  }

  // Calls `sink` with every token, the End token last.
  template <class TSink>
  void Scan(TSink&& sink) {
    while (true) {
      SkipBlanks();
      TExprToken t;
      t.position = i_;
      if (i_ >= s_.size()) {
        sink(std::move(t));
        return;
      }
      const unsigned char c = At(i_);
      if (c == '[') {
        ReadName(t);
      } else if (c == '\'' || c == '"') {
        ReadString(t, static_cast<char>(c));
      } else if (c == '#' && IsDigit(At(i_ + 1))) {
        ReadCharacter(t);
      } else if (IsDigit(c) || (c == static_cast<unsigned char>(sep_) && IsDigit(At(i_ + 1)))) {
        ReadNumber(t);
      } else if (IsWordStart(c)) {
        size_t start = i_;
        while (i_ < s_.size() && IsWordPart(At(i_))) ++i_;
        t.kind = TExprTokenKind::Word;
        t.text = std::string(s_.substr(start, i_ - start));
      } else {
        t.kind = TExprTokenKind::Symbol;
        const unsigned char d = At(i_ + 1);
        size_t len = (c == '<' && (d == '>' || d == '=')) || (c == '>' && d == '=') ? 2 : 1;
        t.text = std::string(s_.substr(i_, len));
        i_ += len;
      }
      sink(std::move(t));
    }
  }

 private:
  unsigned char At(size_t i) const { return i < s_.size() ? static_cast<unsigned char>(s_[i]) : 0; }

  [[noreturn]] void Fail(const std::string& message) { throw EExprError(message); }

  void SkipBlanks() {
    while (i_ < s_.size()) {
      if (At(i_) <= ' ') {
        ++i_;
      } else if (At(i_) == '/' && At(i_ + 1) == '*') {
        size_t end = s_.find("*/", i_ + 2);
        if (end == std::string_view::npos)
          Fail("Missing ending comment slash and asterisk in " + name_);
        i_ = end + 2;
      } else {
        return;
      }
    }
  }

  void ReadName(TExprToken& t) {
    size_t end = s_.find(']', i_ + 1);
    if (end == std::string_view::npos)
      Fail("Missing right bracket after '" + std::string(s_.substr(i_ + 1)) + "' in " + name_);
    t.kind = TExprTokenKind::Name;
    t.text = std::string(s_.substr(i_ + 1, end - i_ - 1));
    i_ = end + 1;
  }

  void ReadString(TExprToken& t, char quote) {
    std::string value;
    size_t j = i_ + 1;
    while (true) {
      if (j >= s_.size()) {
        Fail(std::string(quote == '\'' ? "Missing single quote after '"
                                       : "Missing double quote after '") +
             value + "' in " + name_);
      }
      if (s_[j] == quote) {
        if (j + 1 < s_.size() && s_[j + 1] == quote) {
          value += quote;
          j += 2;
          continue;
        }
        break;
      }
      value += s_[j++];
    }
    t.kind = TExprTokenKind::String;
    t.quote = quote;
    t.text = value;
    t.value = std::move(value);
    i_ = j + 1;
  }

  void ReadCharacter(TExprToken& t) {
    size_t start = i_++;
    int64_t v = 0;
    while (IsDigit(At(i_))) {
      if (v <= 255) v = v * 10 + (At(i_) - '0');
      ++i_;
    }
    if (v > 255) Fail("Character constants (#) must be within the range of 0 to 255 in " + name_);
    t.kind = TExprTokenKind::String;
    t.quote = '#';
    t.text = std::string(s_.substr(start, i_ - start));
    t.value = std::string(1, static_cast<char>(v));
  }

  void ReadNumber(TExprToken& t) {
    const size_t start = i_;
    bool real = false;
    while (IsDigit(At(i_))) ++i_;
    // The separator belongs to the number only before a digit, so "IN (1, 5)" is a list also
    // where the separator is a comma.
    if (At(i_) == static_cast<unsigned char>(sep_) && IsDigit(At(i_ + 1))) {
      real = true;
      ++i_;
      while (IsDigit(At(i_))) ++i_;
    }
    if ((At(i_) == 'e' || At(i_) == 'E') &&
        (IsDigit(At(i_ + 1)) ||
         ((At(i_ + 1) == '+' || At(i_ + 1) == '-') && IsDigit(At(i_ + 2))))) {
      real = true;
      i_ += 2;
      while (IsDigit(At(i_))) ++i_;
    }
    // Letters, digits or a separator glued to the number make it invalid ("12ab", "1.2.3").
    bool bad = false;
    while (i_ < s_.size() && (IsWordPart(At(i_)) || (At(i_) == static_cast<unsigned char>(sep_) &&
                                                     IsWordPart(At(i_ + 1))))) {
      bad = true;
      ++i_;
    }
    t.text = std::string(s_.substr(start, i_ - start));
    if (bad) Fail("Constant '" + t.text + "' is not a valid number  in " + name_);
    std::string plain = t.text;
    for (char& ch : plain)
      if (ch == sep_) ch = '.';
    if (!real) {
      int64_t v = 0;
      auto [p, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), v);
      if (ec == std::errc() && p == plain.data() + plain.size() &&
          v <= std::numeric_limits<int32_t>::max()) {
        t.kind = TExprTokenKind::Integer;
        t.integer = v;
        t.real = static_cast<double>(v);
        return;
      }
    }
    double d = 0;
    auto [p, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), d);
    if (p != plain.data() + plain.size() ||
        (ec != std::errc() && ec != std::errc::result_out_of_range))
      Fail("Constant '" + t.text + "' is not a valid number  in " + name_);
    if (ec == std::errc::result_out_of_range)
      Fail("Constant '" + t.text + "' is not a valid number  in " + name_);
    t.kind = TExprTokenKind::Float;
    t.real = d;
  }

  std::string_view s_;
  char sep_;
  const std::string& name_;
  size_t i_ = 0;
};

}  // namespace

std::vector<TExprToken> TokenizeExpression(std::string_view text, char decimalSeparator,
                                           const std::string& statementName) {
  return TLexer(text, decimalSeparator, statementName).Run();
}

size_t CountSymbols(std::string_view text, char decimalSeparator, std::string_view symbol) {
  size_t n = 0;
  const std::string name;
  TLexer(text, decimalSeparator, name).Scan([&](TExprToken&& t) {
    if (t.IsSymbol(symbol)) ++n;
  });
  return n;
}

}  // namespace quellor
