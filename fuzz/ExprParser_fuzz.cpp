// Fuzzes the filter expression compiler: every text either compiles or fails with engine error
// 10051 and a filter message; a compiled filter is then evaluated against a few site records
// and selected through fake indexes, which must agree with evaluating every record.
//
// Input: byte 0 chooses the options (bit 0 case-insensitive, bit 1 no partial compare, bit 2
// language id 1033 instead of 0, bit 3 decimal comma and "dd.mm.yyyy" dates); the rest is the
// filter text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ExprSupport.h"
#include "store/api/StoreError.h"
#include "store/expr/ExprFilter.h"

using namespace quellor;
using namespace quellor::exprtest;

namespace {

TMemTable MakeSites(const TExprTableScope& scope) {
  TMemTable table;
  auto id = [&](const char* name) { return scope.FindField("", name)->id; };
  const char* urls[] = {"www.a.com", "www", nullptr, "FTP.c.net", "résumé"};
  for (int i = 0; i < 5; ++i) {
    TMemRecord r(SiteFields().size());
    if (urls[i]) r.Set(id("Url"), TExprValue::Text(urls[i]));
    if (i != 2) r.Set(id("Killed"), TExprValue::Bool(i % 2));
    if (i != 4) r.Set(id("Priority"), TExprValue::Int(i - 1, TExprType::SmallInt));
    r.Set(id("LastSent"), TExprValue::TimeStamp(7.38e5 * kMsPerDay + i * 3.6e6));
    r.Set(id("Notes"), TExprValue::Text(i % 2 ? "crack" : "Serial_%"));
    table.records.push_back(r);
  }
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const TExprTableScope scope("cracks.DAT", SiteFields());
  static TMemTable table = MakeSites(scope);

  TExprSettings settings;
  settings.caseInsensitive = data[0] & 1;
  settings.noPartialCompare = data[0] & 2;
  settings.languageId = data[0] & 4 ? 1033 : 0;
  if (data[0] & 8) {
    settings.decimalSeparator = ',';
    settings.dateFormat = {"dd.mm.yyyy", '.', ':'};
  }
  settings.now = [] { return 7.39e5 * kMsPerDay; };
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  // A filter error (10051, with its text) is a valid end of compiling or of evaluating (an
  // integer overflow is found only on the values); any other engine error is a fault.
  auto expectFilterError = [](const EStoreEngineError& e) {
    const std::string what = e.what();
    if (e.ErrorCode() != StoreCode::FilterError ||
        what.rfind("Store Engine Error # 10051 Filter error for table 'cracks.DAT' - ", 0) != 0)
      std::abort();
  };
  std::unique_ptr<TExprFilter> filter;
  try {
    filter = TExprFilter::Compile(text, scope, settings, "cracks.DAT");
  } catch (const EStoreEngineError& e) {
    expectFilterError(e);
    return 0;
  }
  // Anything other than EStoreEngineError escapes and is reported by libFuzzer.

  TExprTextRules rules(settings.languageId);
  TExprEvaluator evaluator(settings, rules);
  TFakeIndexes indexes(table, evaluator);
  indexes.AddIndex(scope.FindField("", "Url")->id, settings.caseInsensitive);
  indexes.AddIndex(scope.FindField("", "Priority")->id, false);
  indexes.AddIndex(scope.FindField("", "Killed")->id, false);
  std::vector<uint32_t> scanned;
  try {
    for (uint32_t r = 1; r <= table.records.size(); ++r)
      if (filter->Matches(table.records[r - 1])) scanned.push_back(r);
  } catch (const EStoreEngineError& e) {
    expectFilterError(e);
    return 0;
  }
  // The index path may compute a bound that the scan's short cuts never reached.
  std::vector<uint32_t> selected;
  try {
    selected = filter->Select(indexes, table).Records();
  } catch (const EStoreEngineError& e) {
    expectFilterError(e);
    return 0;
  }
  if (selected != scanned) std::abort();
  return 0;
}
