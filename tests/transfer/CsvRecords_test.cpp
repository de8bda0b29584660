// Site lines out of CSV text: line ends, quoted line breaks, blank lines; the one-pass field
// split against GetCsvField.
#include "transfer/CsvRecords.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "transfer/CsvField.h"

using namespace quellor;

namespace {

struct RecordsCase {
  const char* name;
  std::string text;
  std::vector<std::string> records;
  std::vector<size_t> lines;
};

const RecordsCase kRecordCases[] = {
    {"empty text", "", {}, {}},
    {"CR LF", "a\r\nb\r\n", {"a", "b"}, {1, 2}},
    {"LF", "a\nb", {"a", "b"}, {1, 2}},
    {"lone CRs", "a\rb\rc", {"a", "b", "c"}, {1, 2, 3}},
    {"LF CR is two breaks", "a\n\rb", {"a", "b"}, {1, 3}},
    {"blank lines dropped", "\r\n  \r\n\ta\r\n\r\n", {"\ta"}, {3}},
    {"control characters only", "\x01\x02\r\nb", {"b"}, {2}},
    {"byte order mark skipped", "\xEF\xBB\xBFhttp://a.test/\r\n", {"http://a.test/"}, {1}},
    {"byte order mark only at the start",
     "a\r\n\xEF\xBB\xBF"
     "b",
     {"a",
      "\xEF\xBB\xBF"
      "b"},
     {1, 2}},
    {"quoted line break", "\"a\",\"x\r\ny\",z\r\nnext", {"\"a\",\"x\r\ny\",z", "next"}, {1, 3}},
    {"quoted break at the end of the text", "a,\"x\ny\"", {"a,\"x\ny\""}, {1}},
    {"several breaks in one field", "a,\"1\n2\n3\"\nb", {"a,\"1\n2\n3\"", "b"}, {1, 4}},
    {"two multi-line fields", "\"1\n2\",\"3\n4\"\nb", {"\"1\n2\",\"3\n4\"", "b"}, {1, 4}},
    {"doubled quotes inside", "a,\"x\"\"\ny\"\"\"\nb", {"a,\"x\"\"\ny\"\"\"", "b"}, {1, 3}},
    {"unbalanced quote never closed", "a,\"x\r\nb\r\nc", {"a,\"x", "b", "c"}, {1, 2, 3}},
    {"unbalanced quote, next quote not before a comma",
     "a,\"x\nb,\"c\"\n",
     {"a,\"x", "b,\"c\""},
     {1, 2}},
    {"quote not at the start of a field", "a,b\"x\ny\",c", {"a,b\"x", "y\",c"}, {1, 2}},
    {"blank before the quote", "a, \"x\ny\",c", {"a, \"x", "y\",c"}, {1, 2}},
};

TEST(CsvRecords, SplitCases) {
  for (const RecordsCase& c : kRecordCases) {
    std::vector<TCsvRecord> records = SplitCsvRecords(c.text);
    std::vector<std::string> texts;
    std::vector<size_t> lines;
    for (const auto& r : records) {
      texts.push_back(r.text);
      lines.push_back(r.line);
    }
    EXPECT_EQ(texts, c.records) << c.name;
    EXPECT_EQ(lines, c.lines) << c.name;
  }
}

TEST(CsvRecords, OneRecordPerLineOfAMillion) {
  std::string text;
  for (int i = 0; i < 1000000; ++i) text += "h" + std::to_string(i) + ",\"x\"\r\n";
  std::vector<TCsvRecord> records = SplitCsvRecords(text);
  ASSERT_EQ(records.size(), 1000000u);
  EXPECT_EQ(records.back().text, "h999999,\"x\"");
  EXPECT_EQ(records.back().line, 1000000u);
}

TEST(CsvRecords, ManyUnbalancedQuotesStayLinear) {
  // Every other line opens a quote that is never closed properly: each line stays alone.
  std::string text;
  for (int i = 0; i < 200000; ++i) text += i % 2 ? "a,\"open\n" : "plain line\n";
  EXPECT_EQ(SplitCsvRecords(text).size(), 200000u);
}

// Random lines of quotes, separators, blanks and letters: the one-pass split gives what
// GetCsvField gives for every field number.
TEST(CsvRecords, SplitFieldsAgreesWithGetCsvField) {
  std::mt19937 random(20261210);
  const char alphabet[] = {'"', '"', ',', ',', ' ', 'a', 'b', '\t', ';'};
  for (int round = 0; round < 20000; ++round) {
    std::string line;
    const int length = static_cast<int>(random() % 24);
    for (int i = 0; i < length; ++i) line += alphabet[random() % sizeof alphabet];
    const char separator = round % 3 ? ',' : ';';
    const size_t count = 12;
    std::vector<std::string> fields = SplitCsvFields(line, separator, count);
    ASSERT_EQ(fields.size(), count);
    for (size_t n = 0; n < count; ++n)
      ASSERT_EQ(fields[n], GetCsvField(line, separator, static_cast<int>(n)))
          << "line <" << line << "> field " << n;
  }
}

}  // namespace
