// The filters of the front end's table cursor: the filter expression (compiled against the
// table's fields, and answered from the indexes where it can be), the OnFilterRecord event and
// the record filters, and the test of each record against all of them.
#include <langinfo.h>

#include <algorithm>
#include <cstring>

#include "store/api/StoreTb.h"
#include "store/api/StoreTbSupport.h"
#include "store/engine/CursorOrder.h"
#include "store/engine/DataSession.h"
#include "store/engine/TableFilter.h"
#include "store/expr/ExprFilter.h"

namespace quellor {

namespace {

// The system code page as an ICU converter name; the C locale's ASCII stands for UTF-8.
std::string SystemCodePage() {
  const char* codeset = nl_langinfo(CODESET);
  if (!codeset || !*codeset || std::strcmp(codeset, "ANSI_X3.4-1968") == 0 ||
      std::strcmp(codeset, "ASCII") == 0)
    return "UTF-8";
  return codeset;
}

}  // namespace

// ---- Table: filters ---------------------------------------------------------------------------

int TStoreTable::FilterCount() const {
  return (exprFilter_ || (!table_ && !BlankFilter(filterText_)) ? 1 : 0) +
         (OnFilterRecord ? 1 : 0) + static_cast<int>(recordFilters_.size());
}

bool TStoreTable::FilterActive() const {
  return filtered_ && (exprFilter_ || OnFilterRecord || !recordFilters_.empty());
}

std::unique_ptr<TExprFilter> TStoreTable::CompileFilter(const std::string& text,
                                                        const TFilterOptions& options) const {
  TExprSettings settings;
  settings.caseInsensitive = options.caseInsensitive;
  settings.noPartialCompare = options.noPartialCompare;
  settings.languageId = static_cast<uint16_t>(table_->Data().Header().languageId);
  settings.codePage = SystemCodePage();
  settings.decimalSeparator = session_.DecimalSeparator();
  settings.dateFormat.dateFormat = session_.ShortDateFormat();
  settings.dateFormat.dateSeparator = session_.DateSeparator();
  settings.dateFormat.timeSeparator = session_.TimeSeparator();
  TExprTableScope scope(tableName_, table_->Fields());
  return TExprFilter::Compile(text, scope, settings, tableName_);
}

void TStoreTable::SetFilter(const std::string& text) {
  if (!table_) {
    filterText_ = text;
    return;
  }
  CheckBrowseMode();
  std::unique_ptr<TExprFilter> compiled;
  if (!BlankFilter(text)) {
    if (!exprFilter_ && FilterCount() >= kMaxFilters)
      throw EStoreEngineError(StoreCode::TooManyFilters, {tableName_});
    compiled = CompileFilter(text, filterOptions_);  // 10051: the old filter stays
  }
  exprFilter_ = std::move(compiled);
  filterText_ = text;
  DropPassing();
  if (filtered_) First();
}

void TStoreTable::SetFilterOptions(const TFilterOptions& options) {
  if (!table_) {
    filterOptions_ = options;
    return;
  }
  CheckBrowseMode();
  std::unique_ptr<TExprFilter> compiled;
  if (!BlankFilter(filterText_)) compiled = CompileFilter(filterText_, options);
  exprFilter_ = std::move(compiled);
  filterOptions_ = options;
  DropPassing();
  if (filtered_) First();
}

void TStoreTable::SetFiltered(bool on) {
  filtered_ = on;
  DropPassing();
  if (table_) First();
}

int TStoreTable::AddRecordFilter(TRecordFilter filter) {
  if (FilterCount() >= kMaxFilters)
    throw EStoreEngineError(StoreCode::TooManyFilters, {tableName_});
  int handle = nextFilterHandle_++;
  recordFilters_[handle] = std::move(filter);
  if (table_ && filtered_) First();
  return handle;
}

void TStoreTable::RemoveRecordFilter(int handle) {
  auto it = recordFilters_.find(handle);
  if (it == recordFilters_.end())
    throw EStoreEngineError(StoreCode::InvalidFilterHandle, {tableName_});
  recordFilters_.erase(it);
  if (hookHandle_ == handle) hookHandle_ = 0;
  if (table_ && filtered_) First();
}

void TStoreTable::SetRecordFilter(TRecordFilter filter) {
  if (hookHandle_) {
    recordFilters_.erase(hookHandle_);
    hookHandle_ = 0;
  }
  if (filter)
    hookHandle_ = AddRecordFilter(std::move(filter));
  else if (table_ && filtered_)
    First();
}

bool TStoreTable::PassingFresh() const {
  return passing_ && exprFilter_ && table_ && passingStamp_ == table_->ChangeCount();
}

void TStoreTable::DropPassing() {
  passing_.reset();
}

void TStoreTable::EnsurePassing() {
  if (!filtered_ || !exprFilter_ || PassingFresh()) return;
  // One reading operation: it holds the read slots from its first read of the files and starts
  // over when another program changed them under the caches.
  table_->Reading([&] {
    // The stamp is taken first: a change noticed while reading makes the set stale at once.
    uint64_t stamp = table_->ChangeCount();
    TTableFilterAccess access(*table_, exprFilter_->Evaluator());
    passing_ = std::make_unique<TExprRecordSet>(exprFilter_->Select(access, access));
    passingStamp_ = stamp;
  });
}

bool TStoreTable::Accept(int32_t slot) {
  if (!FilterActive()) return true;
  bool expressionDone = false;
  if (exprFilter_ && PassingFresh()) {
    if (!passing_->Contains(static_cast<uint32_t>(slot))) return false;
    expressionDone = true;
  }
  if (expressionDone && !OnFilterRecord && recordFilters_.empty()) return true;
  std::vector<uint8_t> image;
  if (!order_ || !order_->Record(slot, image)) image = table_->ReadRecord(slot);
  if (exprFilter_ && !expressionDone && !exprFilter_->Matches(TRecordValues(*table_, image.data())))
    return false;
  if (!OnFilterRecord && recordFilters_.empty()) return true;
  auto saved = std::move(blobCache_);
  blobCache_.clear();
  candidate_ = &image;
  bool accept = true;
  try {
    if (OnFilterRecord) OnFilterRecord(*this, accept);
    for (auto it = recordFilters_.begin(); accept && it != recordFilters_.end(); ++it)
      accept = it->second(*this);
  } catch (...) {
    candidate_ = nullptr;
    blobCache_ = std::move(saved);
    throw;
  }
  candidate_ = nullptr;
  blobCache_ = std::move(saved);
  return accept;
}

}  // namespace quellor
