// The quote-aware field splitter of delimited text lines: CSV site files, the DMCA notice's
// entries and every other line the program cuts into fields.
//
// A field is the text between two separators that stand outside double quotes. A double quote
// switches the in-quotes state; two double quotes in a row are one literal quote and switch
// nothing. A field enclosed in double quotes loses them, and every field is trimmed of blanks
// and control characters (bytes up to 0x20) at both ends, after the quotes are removed.
#pragma once

#include <string>
#include <vector>

namespace quellor {

// Field n (counting from 0) of line, cut at the separators outside double quotes.
//
// Skip phase: the line is walked from its start, counting the separators outside quotes until
// n of them have been passed; the in-quotes state carries over from field to field here.
// Collect phase: from the character after the n-th separator, with the in-quotes state off,
// characters are copied until a separator outside quotes or the end of the line; a doubled
// quote adds one quote, a lone quote switches the state and is copied itself. A value whose
// first and last characters are both double quotes loses them (a lone quote becomes empty);
// then blanks and control characters are trimmed from both ends.
//
// A field number beyond the last field, or a negative one, yields the empty text. No side
// effects; any byte values, NUL included, are safe.
std::string GetCsvField(const std::string& line, char separator, int n);

// Every field of line, in one pass: element n is GetCsvField(line, separator, n), for n from 0 to
// the number of separators outside quotes. Time in proportion to the line's length, so a list of
// many thousands of entries is cut at once.
std::vector<std::string> GetCsvFields(const std::string& line, char separator);

// Removes blanks and control characters (bytes 0x00-0x20) from both ends of text. Bytes of
// multi-byte characters (0x80 and above) are never removed.
std::string TrimBlanks(const std::string& text);

}  // namespace quellor
