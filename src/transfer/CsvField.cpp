// The quote-aware field splitter; see CsvField.h for the rules.
#include "transfer/CsvField.h"

#include <cstddef>

namespace quellor {

namespace {

constexpr char kQuote = '"';

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 0x20;
}

}  // namespace

std::string TrimBlanks(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::vector<std::string> GetCsvFields(const std::string& line, char separator) {
  // The collect phase of GetCsvField, field after field. A field starts right after the separator
  // that ended the one before; there the skip phase's quote state is off as well (a separator
  // only counts outside quotes), so both phases agree on where every field begins.
  std::vector<std::string> fields;
  const std::size_t size = line.size();
  std::size_t pos = 0;
  std::string value;
  for (;;) {
    value.clear();
    bool inQuotes = false;
    while (pos < size) {
      // A run of ordinary characters is copied at once.
      std::size_t run = pos;
      while (run < size && line[run] != kQuote && (inQuotes || line[run] != separator)) ++run;
      value.append(line, pos, run - pos);
      pos = run;
      if (pos >= size || line[pos] != kQuote) break;  // the end, or a separator outside quotes
      if (pos + 1 < size && line[pos + 1] == kQuote) {
        value += kQuote;
        pos += 2;
      } else {
        inQuotes = !inQuotes;
        value += kQuote;
        ++pos;
      }
    }
    if (!value.empty() && value.front() == kQuote && value.back() == kQuote)
      value = value.size() == 1 ? std::string() : value.substr(1, value.size() - 2);
    fields.push_back(TrimBlanks(value));
    if (pos >= size) return fields;
    ++pos;  // past the separator
  }
}

std::string GetCsvField(const std::string& line, char separator, int n) {
  if (n < 0) return {};
  const std::size_t size = line.size();
  std::size_t pos = 0;

  // Skip phase: pass n separators that stand outside quotes.
  bool inQuotes = false;
  int passed = 0;
  while (passed < n && pos < size) {
    const char c = line[pos];
    if (c == kQuote) {
      if (pos + 1 < size && line[pos + 1] == kQuote) {
        pos += 2;  // a literal quote: switches nothing
        continue;
      }
      inQuotes = !inQuotes;
    } else if (c == separator && !inQuotes) {
      ++passed;
    }
    ++pos;
  }
  if (passed < n) return {};  // the line has fewer fields

  // Collect phase: copy up to the next separator outside quotes.
  std::string value;
  inQuotes = false;
  while (pos < size) {
    const char c = line[pos];
    if (c == kQuote) {
      if (pos + 1 < size && line[pos + 1] == kQuote) {
        value += kQuote;
        pos += 2;
        continue;
      }
      inQuotes = !inQuotes;
      value += c;
    } else if (c == separator && !inQuotes) {
      break;
    } else {
      value += c;
    }
    ++pos;
  }

  // Enclosing quotes go before the blanks are trimmed, so a blank before the opening quote
  // keeps the quotes in the value.
  if (!value.empty() && value.front() == kQuote && value.back() == kQuote) {
    value = value.size() == 1 ? std::string() : value.substr(1, value.size() - 2);
  }
  return TrimBlanks(value);
}

}  // namespace quellor
