// Reading comma-separated text into site lines, and a site line into a record: the one path by
// which both the program's CSV import and `storetool load` read files, so the two never read a
// file differently.
//
// File format (8-bit text in the system code page, one record per line):
//   - A line ends at CR, LF or CR LF. A UTF-8 byte order mark at the very start is skipped.
//   - A record is one line, except that a field which opens with a double quote (the quote is
//     the field's first character) may hold line breaks: when a line ends inside such a quote and
//     a later lone double quote closes it right before a comma or the end of a line, the record
//     runs on to that line. Otherwise (the quote is never closed that way) the line stands alone,
//     and its open quote simply swallows the rest of that line. This is how values with line
//     breaks, such as a DMCA link list, come back whole from files the program or storetool wrote.
//   - Fields are cut by GetCsvField (CsvField.h): field N of the line goes into field N of the
//     table; missing fields are empty text, extra fields are ignored. There is no header line.
//   - A line that is empty after trimming blanks and control characters is no record.
//   - A file holding NUL bytes is not text and is refused as a whole, and so is a file larger
//     than kMaxCsvFileBytes (it is read whole into memory).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quellor {

class TStoreTable;

// One record of a CSV file: its text without the line end, and the line it starts on (from 1).
struct TCsvRecord {
  std::string text;
  size_t line = 0;
};

// Splits the text of a CSV file into its records (see the file format above); blank lines are
// dropped. Never fails.
std::vector<TCsvRecord> SplitCsvRecords(const std::string& text);

// The largest CSV file read: 256 MiB.
inline constexpr long long kMaxCsvFileBytes = 256LL << 20;

// Reads a CSV file whole and splits it. Throws std::runtime_error "Cannot open file <name>" when
// it cannot be read, "<name> is not a text file: it holds NUL characters" for binary data and
// "<name> is larger than 256 MB: split it into smaller files" beyond kMaxCsvFileBytes.
std::vector<TCsvRecord> ReadCsvFile(const std::string& fileName);

// The fields of a line as GetCsvField(line, separator, n) gives them, for n from 0 to count - 1,
// in one pass.
std::vector<std::string> SplitCsvFields(const std::string& line, char separator, size_t count);

// Sets every field of the record being appended or edited in `table` from the site line: field
// N from CSV field N through TStoreField::SetAsString, an empty value clearing the field. Auto-
// increment fields are left to the store. The first conversion error propagates (its message
// names the text and the field).
void SetFieldsFromCsvLine(TStoreTable& table, const std::string& line);
// The same with the line already cut into its fields (SplitCsvFields with the table's
// FieldCount). REQUIRES: values.size() >= table.FieldCount(). When a value does not convert,
// *failedField (when given) holds the number of its field as the error leaves.
void SetFieldsFromCsvValues(TStoreTable& table, const std::vector<std::string>& values,
                            int* failedField = nullptr);

}  // namespace quellor
