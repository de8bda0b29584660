// Splitting CSV text into site lines and setting a record from one; see CsvRecords.h.
#include "transfer/CsvRecords.h"

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "store/api/StoreTb.h"
#include "transfer/CsvField.h"

namespace quellor {

namespace {

constexpr char kQuote = '"';
constexpr char kComma = ',';

bool IsLineBreak(char c) {
  return c == '\r' || c == '\n';
}

// The index of the CR or LF that ends the line starting at `pos`, or the size of the text.
size_t LineEnd(const std::string& t, size_t pos) {
  while (pos < t.size() && !IsLineBreak(t[pos])) ++pos;
  return pos;
}

// The start of the line after the line break at `end` (CR LF counts as one).
size_t NextLineStart(const std::string& t, size_t end) {
  if (end >= t.size()) return t.size();
  if (t[end] == '\r' && end + 1 < t.size() && t[end + 1] == '\n') return end + 2;
  return end + 1;
}

// The quote state of a record as GetCsvField's skip phase sees it, and whether the quote that
// is open began its field.
struct TQuoteScan {
  bool inQuotes = false;
  bool quoteOpensField = false;
  bool fieldStart = true;
};

void ScanLine(const std::string& t, size_t from, size_t end, TQuoteScan& s) {
  for (size_t i = from; i < end; ++i) {
    const char c = t[i];
    if (c == kQuote) {
      if (i + 1 < end && t[i + 1] == kQuote) {
        ++i;  // a literal quote switches nothing
      } else if (!s.inQuotes) {
        s.inQuotes = true;
        s.quoteOpensField = s.fieldStart;
      } else {
        s.inQuotes = false;
      }
      s.fieldStart = false;
    } else {
      s.fieldStart = c == kComma && !s.inQuotes;
    }
  }
}

// From the line break at `end`, inside a quoted field: the position of the lone quote that
// closes it right before a comma, a line break or the end of the text, and the number of line
// breaks passed on the way. False when the next lone quote is not such a closing one, or when
// there is none.
bool FindClosingQuote(const std::string& t, size_t end, size_t& closeAt, size_t& breaks) {
  breaks = 0;
  size_t i = end;
  while (i < t.size()) {
    const char c = t[i];
    if (IsLineBreak(c)) {
      i = NextLineStart(t, i);
      ++breaks;
    } else if (c == kQuote) {
      if (i + 1 < t.size() && t[i + 1] == kQuote) {
        i += 2;
        continue;
      }
      if (i + 1 < t.size() && t[i + 1] != kComma && !IsLineBreak(t[i + 1])) return false;
      closeAt = i;
      return true;
    } else {
      ++i;
    }
  }
  return false;
}

}  // namespace

std::vector<TCsvRecord> SplitCsvRecords(const std::string& t) {
  std::vector<TCsvRecord> records;
  size_t pos = 0, line = 1;
  if (t.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
  while (pos < t.size()) {
    const size_t start = pos, startLine = line;
    TQuoteScan scan;
    size_t end = LineEnd(t, pos);
    ScanLine(t, pos, end, scan);
    size_t lines = 1;
    // A quoted field left open at the end of the line runs on when it is closed properly.
    while (scan.inQuotes && scan.quoteOpensField && end < t.size()) {
      size_t closeAt = 0, breaks = 0;
      if (!FindClosingQuote(t, end, closeAt, breaks)) break;
      scan.inQuotes = false;
      scan.fieldStart = false;
      end = LineEnd(t, closeAt + 1);
      ScanLine(t, closeAt + 1, end, scan);
      lines += breaks;
    }
    TCsvRecord record;
    record.text = t.substr(start, end - start);
    record.line = startLine;
    if (!TrimBlanks(record.text).empty()) records.push_back(std::move(record));
    line += lines;
    pos = NextLineStart(t, end);
  }
  return records;
}

std::vector<TCsvRecord> ReadCsvFile(const std::string& fileName) {
  struct stat st;
  std::ifstream in;
  if (::stat(fileName.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    in.open(fileName, std::ios::binary);
  if (!in.is_open()) throw std::runtime_error("Cannot open file " + fileName);
  if (st.st_size > kMaxCsvFileBytes)
    throw std::runtime_error(fileName + " is larger than 256 MB: split it into smaller files");
  std::ostringstream bytes;
  if (in.peek() != std::ifstream::traits_type::eof()) bytes << in.rdbuf();
  if (in.bad()) throw std::runtime_error("Cannot open file " + fileName);
  const std::string text = std::move(bytes).str();
  if (std::memchr(text.data(), '\0', text.size()))
    throw std::runtime_error(fileName + " is not a text file: it holds NUL characters");
  return SplitCsvRecords(text);
}

std::vector<std::string> SplitCsvFields(const std::string& line, char separator, size_t count) {
  // GetCsvField's collect phase field after field is GetCsvFields; a line with fewer fields
  // leaves the rest empty, one with more has them left out.
  std::vector<std::string> fields = GetCsvFields(line, separator);
  fields.resize(count);
  return fields;
}

void SetFieldsFromCsvLine(TStoreTable& table, const std::string& line) {
  SetFieldsFromCsvValues(table,
                         SplitCsvFields(line, kComma, static_cast<size_t>(table.FieldCount())));
}

void SetFieldsFromCsvValues(TStoreTable& table, const std::vector<std::string>& values,
                            int* failedField) {
  if (values.size() < static_cast<size_t>(table.FieldCount()))
    throw std::logic_error("SetFieldsFromCsvValues: fewer values than fields");
  for (int i = 0; i < table.FieldCount(); ++i) {
    TStoreField& field = table.Fields(i);
    if (field.DataType() == TFieldType::AutoInc) continue;  // the store gives the ids
    const std::string& value = values[static_cast<size_t>(i)];
    if (failedField) *failedField = i;
    if (value.empty())
      field.Clear();
    else
      field.SetAsString(value);
  }
  if (failedField) *failedField = -1;
}

}  // namespace quellor
