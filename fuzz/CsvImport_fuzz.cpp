// Fuzzes the reading of CSV site files: the split of a file's text into site lines, the quote-
// aware field splitter GetCsvField against the one-pass split the import uses, and the line
// conversion that sets every field of a site record from its text. A line either converts and
// posts or fails with one of the conversion messages (or the duplicate key of the Url); any
// other failure, a crash or a disagreement of the two splitters is a finding.
//
// Input: the bytes of a CSV file. Files holding NUL bytes are only split, as the import refuses
// them before converting anything.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "data/SiteTables.h"
#include "store/api/StoreError.h"
#include "store/api/StoreTb.h"
#include "transfer/CsvField.h"
#include "transfer/CsvRecords.h"

using namespace quellor;

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& line) {
  std::fprintf(stderr, "%s\nline: <%s>\n", what.c_str(), line.c_str());
  std::abort();
}

// The in-memory site table the lines are converted into.
TStoreTable& Sites() {
  static TStoreTable* table = [] {
    // The in-memory database keeps its tables while it is open: for the whole run.
    auto* db = new TStoreDatabase();
    db->SetDatabaseName("Memory");
    db->Open();
    auto* t = new TStoreTable();
    t->SetDatabaseName("MEMORY");
    t->SetTableName("cracks");
    DefineSiteFields(t->FieldDefs());
    t->IndexDefs().Add("", "Url", IndexOption::Primary);
    t->CreateTable();
    t->Open();
    return t;
  }();
  return *table;
}

bool IsConversionMessage(const std::string& m) {
  auto has = [&](const char* s) { return m.find(s) != std::string::npos; };
  return has(" is not a valid boolean value for field '") ||
         has(" is not a valid integer value for field '") || has(" is not a valid date and time") ||
         has("'. The allowed range is ");
}

void CheckFields(const std::string& line, char separator) {
  const std::vector<std::string> fields = SplitCsvFields(line, separator, 28);
  for (int n = 0; n < 28; ++n)
    if (fields[static_cast<size_t>(n)] != GetCsvField(line, separator, n))
      Fail("SplitCsvFields and GetCsvField disagree on field " + std::to_string(n), line);
  if (!GetCsvField(line, separator, -1).empty()) Fail("a negative field number gave text", line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<TCsvRecord> records = SplitCsvRecords(text);
  size_t lastLine = 0;
  for (const TCsvRecord& record : records) {
    if (TrimBlanks(record.text).empty()) Fail("a blank record", record.text);
    if (record.line <= lastLine) Fail("record lines out of order", record.text);
    if (record.text.size() > text.size()) Fail("a record longer than the text", record.text);
    lastLine = record.line;
  }

  for (const TCsvRecord& record : records) {
    CheckFields(record.text, ',');
    CheckFields(record.text, ';');
  }
  // Files with NUL bytes are refused before any line is converted (ReadCsvFile).
  if (text.find('\0') != std::string::npos) return 0;

  TStoreTable& sites = Sites();
  for (const TCsvRecord& record : records) {
    sites.Append();
    try {
      SetFieldsFromCsvLine(sites, record.text);
      sites.Post();
    } catch (const EStoreEngineError& e) {
      if (e.ErrorCode() != StoreCode::DuplicateKey)
        Fail(std::string("engine error: ") + e.what(), record.text);
    } catch (const EDatabaseError& e) {
      if (!IsConversionMessage(e.what())) Fail(std::string("message: ") + e.what(), record.text);
    }
    if (sites.State() != TDataSetState::Browse) sites.Cancel();
  }
  // Keep the table small from one input to the next.
  if (sites.RecordCount() > 1000) sites.EmptyTable();
  return 0;
}
