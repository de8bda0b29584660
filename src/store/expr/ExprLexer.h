// Tokens of the expression language.
//
// The text is read left to right; bytes 0 to 32 separate tokens and "/*" ... "*/" is a comment.
//   word        a letter, "_" or a byte 129-254, then any of those, digits or byte 128
//   name        "[" ... "]": a field name with any characters (E-mails)
//   string      '...' or "...", a doubled quote standing for one
//   character   "#" and digits: the character with that code, 0 to 255 (a string token)
//   integer     digits that fit a 32-bit signed integer; larger ones become floats
//   float       digits with the session's decimal separator and/or an exponent (E/e, signed);
//               may start with the separator
//   symbol      any other single byte; "<>", "<=" and ">=" are read as one symbol
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quellor {

enum class TExprTokenKind : uint8_t { End, Word, Name, String, Integer, Float, Symbol };

struct TExprToken {
  TExprTokenKind kind = TExprTokenKind::End;
  // The token as messages quote it: a word or symbol as written, a name or string without its
  // brackets or quotes, a number or character constant as written.
  std::string text;
  std::string value;  // string tokens: the characters
  int64_t integer = 0;
  double real = 0;
  char quote = 0;       // string tokens: ' or ", '#' for a character constant
  size_t position = 0;  // byte offset in the text

  bool IsSymbol(std::string_view s) const { return kind == TExprTokenKind::Symbol && text == s; }
  // Case-insensitive keyword test.
  bool IsWord(std::string_view keyword) const;
};

// Splits `text` into tokens, ending with an End token. Throws EExprError with the lexical
// messages ("Missing single quote after '...'" etc.), each ending " in " + statementName.
std::vector<TExprToken> TokenizeExpression(std::string_view text, char decimalSeparator,
                                           const std::string& statementName);
// How many symbol tokens `symbol` the text holds, read as TokenizeExpression reads it (without
// keeping the tokens). Throws EExprError as it does.
size_t CountSymbols(std::string_view text, char decimalSeparator, std::string_view symbol);

}  // namespace quellor
