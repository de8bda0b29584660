// The indexes of the front end's table cursor: choosing the index it moves in (by name or by key
// fields), the definitions of the table's indexes, finding by key, ranges and the detail range
// of a master-detail link, and adding and deleting indexes.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "store/api/StoreTb.h"
#include "store/api/StoreTbSupport.h"
#include "store/engine/CursorOrder.h"
#include "store/engine/DataSession.h"
#include "store/format/AsciiText.h"
#include "store/format/FieldValue.h"
#include "store/format/KeyLayout.h"

namespace quellor {

// ---- Table: indexes ---------------------------------------------------------------------------

void TStoreTable::SetIndexName(const std::string& name) {
  if (table_) {
    CheckBrowseMode();
    order_->SelectIndex(name);  // 10022 for an unknown name, before anything changes
  }
  indexName_ = name;
  indexFieldNames_.clear();
  if (table_) {
    ApplyMasterRange();
    First();
  }
}

void TStoreTable::SetIndexFieldNames(const std::string& fieldNames) {
  if (table_) {
    CheckBrowseMode();
    order_->SelectIndex(IndexNameForFields(fieldNames));
  }
  indexFieldNames_ = fieldNames;
  indexName_.clear();
  if (table_) {
    ApplyMasterRange();
    First();
  }
}

std::vector<TIndexDef> TStoreTable::IndexDefinitions() {
  CheckActive();
  std::lock_guard lock(table_->Mutex());
  std::vector<TIndexDef> defs;
  for (const TIndexDesc& d : table_->Indexes().File().Definitions()) {
    TIndexDef def;
    def.Name = d.name;
    for (uint16_t number : d.fieldNumbers) {
      if (!def.Fields.empty()) def.Fields += ';';
      def.Fields += FieldByNumber(number).name;
    }
    def.Options = static_cast<uint8_t>((d.name.empty() ? IndexOption::Primary : 0) |
                                       (d.unique ? IndexOption::Unique : 0) |
                                       (d.descending ? IndexOption::Descending : 0) |
                                       (d.caseInsensitive ? IndexOption::CaseInsensitive : 0));
    def.Compression = d.compression;
    defs.push_back(std::move(def));
  }
  return defs;
}

std::string TStoreTable::IndexNameForFields(const std::string& fieldNames) {
  std::vector<std::string> wanted = SplitNames(fieldNames);
  if (wanted.empty()) return {};
  for (std::string& name : wanted) name = AsciiLower(name);
  std::vector<TIndexDef> defs = IndexDefinitions();
  // An index with exactly these key fields first, else one that begins with them.
  for (bool exact : {true, false}) {
    for (const TIndexDef& def : defs) {
      std::vector<std::string> have = SplitNames(def.Fields);
      if (have.size() < wanted.size() || (exact && have.size() != wanted.size())) continue;
      bool same = true;
      for (size_t i = 0; i < wanted.size() && same; ++i) same = AsciiLower(have[i]) == wanted[i];
      if (same) return def.Name;
    }
  }
  throw EStoreEngineError(StoreCode::InvalidSecondaryIndexName, {fieldNames, tableName_});
}

const TKeyLayout& TStoreTable::ActiveLayout() {
  const TKeyLayout* layout = order_->Layout();
  if (!layout) throw EDatabaseError("No index currently active");
  return *layout;
}

const TFieldDesc& TStoreTable::FieldByNumber(uint16_t number) const {
  for (const TFieldDesc& f : table_->Fields())
    if (f.number == number) return f;
  throw EStoreEngineError(StoreCode::InvalidIndexFieldNumber,
                          {std::to_string(number), "", tableName_});
}

std::vector<uint8_t> TStoreTable::KeyFromValues(const std::vector<std::string>& values) {
  const TKeyLayout& layout = ActiveLayout();
  const auto& keyFields = layout.Fields();
  if (values.size() > keyFields.size())
    throw EDatabaseError("Too many key values for the index of table '" + tableName_ + "'");
  std::vector<uint8_t> key;
  for (size_t i = 0; i < values.size(); ++i) {
    const TFieldDesc& f = FieldByNumber(keyFields[i].number);
    std::vector<uint8_t> stored(std::max(16, ValueWidth(f)), 0);
    bool isNull = values[i].empty();
    if (!isNull && !PutTextValue(stored.data(), f, values[i]))
      throw EDatabaseError("'" + values[i] + "' is not a valid value for field '" + f.name + "'");
    size_t at = key.size();
    key.resize(at + 1 + static_cast<size_t>(keyFields[i].width));
    layout.PutFieldKey(i, isNull, stored.data(), key.data() + at);
  }
  return key;
}

bool TStoreTable::FindKey(const std::vector<std::string>& values) {
  CheckBrowseMode();
  std::vector<uint8_t> key = KeyFromValues(values);
  bool found = false;
  int32_t slot = order_->Seek(key, found);
  // Records the filter rejects are passed over while the key still matches.
  while (found && slot && !Accept(slot)) {
    slot = order_->Next(slot, nullptr);
    found = slot && order_->CurrentMatches(key);
  }
  if (!found || !slot) return false;
  SetCurrent(slot);
  bof_ = eof_ = false;
  return true;
}

void TStoreTable::FindNearest(const std::vector<std::string>& values) {
  CheckBrowseMode();
  std::vector<uint8_t> key = KeyFromValues(values);
  bool found = false;
  int32_t slot = order_->Seek(key, found);
  while (slot && !Accept(slot)) slot = order_->Next(slot, nullptr);
  if (slot) {
    SetCurrent(slot);
    bof_ = eof_ = false;
  } else {
    Last();
    eof_ = true;
  }
}

void TStoreTable::SetRange(const std::vector<std::string>& start,
                           const std::vector<std::string>& end) {
  CheckBrowseMode();
  std::vector<uint8_t> low = KeyFromValues(start);
  std::vector<uint8_t> high = KeyFromValues(end);
  order_->SetRange(std::move(low), std::move(high));
  First();
}

void TStoreTable::CancelRange() {
  CheckBrowseMode();
  order_->ClearRange();
  ApplyMasterRange();
  First();
}

void TStoreTable::SetMasterSource(TStoreTable* master) {
  if (master == master_) return;
  for (TStoreTable* m = master; m; m = m->master_)
    if (m == this) throw EDatabaseError("Circular datalinks are not allowed");
  if (master_) {
    master_->RemoveListener(&masterLink_);
    std::erase(master_->details_, this);
  }
  master_ = master;
  if (master_) {
    master_->AddListener(&masterLink_);
    master_->details_.push_back(this);
  }
  if (table_) MasterChanged();
}

void TStoreTable::SetMasterFields(const std::string& fieldNames) {
  masterFields_ = fieldNames;
  if (table_) MasterChanged();
}

void TStoreTable::MasterChanged() {
  if (!table_) return;
  CheckBrowseMode();
  if (master_ && !SplitNames(masterFields_).empty())
    ApplyMasterRange();
  else
    order_->ClearRange();
  First();
}

void TStoreTable::TMasterLink::DataSetEvent(TDataEvent event, int) {
  if (event == TDataEvent::RecordChanged || event == TDataEvent::ActiveChanged)
    owner_.MasterChanged();
}

void TStoreTable::ApplyMasterRange() {
  std::vector<std::string> names = SplitNames(masterFields_);
  if (!master_ || names.empty()) return;
  const TKeyLayout& layout = ActiveLayout();
  const auto& keyFields = layout.Fields();
  if (names.size() > keyFields.size())
    throw EDatabaseError("Too many master fields for the index of table '" + tableName_ + "'");
  const uint8_t* image = master_->table_ ? master_->CurrentImage() : nullptr;
  std::vector<uint8_t> key;
  for (size_t i = 0; i < names.size(); ++i) {
    const TFieldDesc& target = FieldByNumber(keyFields[i].number);
    std::vector<uint8_t> stored(std::max(16, ValueWidth(target)), 0);
    bool isNull = true;
    if (image) {
      TStoreField* field = master_->FindField(names[i]);
      if (!field) throw EDatabaseError(DatasetText::FieldNotFound(names[i]));
      const TFieldDesc& source = field->Desc();
      isNull = field->IsNull();
      if (!isNull && source.type == target.type && ValueWidth(source) == ValueWidth(target)) {
        std::memcpy(stored.data(), image + ValueOffset(source), ValueWidth(source));
      } else if (!isNull) {
        std::string text = GetTextValue(image + ValueOffset(source), source);
        if (!PutTextValue(stored.data(), target, text))
          throw EDatabaseError("'" + text + "' is not a valid value for field '" + target.name +
                               "'");
      }
    }
    size_t at = key.size();
    key.resize(at + 1 + static_cast<size_t>(keyFields[i].width));
    layout.PutFieldKey(i, isNull, stored.data(), key.data() + at);
  }
  order_->SetRange(key, key);
}

void TStoreTable::AddIndex(const std::string& name, const std::string& fieldNames, uint8_t options,
                           TIndexCompression compression) {
  // Here only the name "Primary" (or the option) means the primary index; a blank name is a
  // secondary index without a name (10010).
  const TIndexPlan plan =
      IndexPlanOf(TIndexDef{name, fieldNames, options, compression}, TBlankIndexName::Secondary);
  const bool primary = (plan.options & IndexOption::Primary) != 0;
  if (table_) {
    CheckWritable();
    CheckBrowseMode();
    table_->AddIndex(IndexDescOf(plan, table_->Fields(), tableName_), primary, IndexProgress());
    First();
    return;
  }
  if (TrimBlanks(tableName_).empty()) throw EDatabaseError(DatasetText::MissingTableName);
  auto table = Directory()->OpenTable(tableName_, true);
  table->AddIndex(IndexDescOf(plan, table->Fields(), tableName_), primary, IndexProgress());
}

std::function<void(int, int)> TStoreTable::IndexProgress() {
  if (!OnIndexProgress) return {};
  return [this](int record, int percent) {
    OnIndexProgress(*this, record, static_cast<int16_t>(percent));
  };
}

void TStoreTable::DeleteIndex(const std::string& name) {
  if (table_) {
    CheckWritable();
    CheckBrowseMode();
    table_->DeleteIndex(name);
    const std::string& active = order_->IndexName();
    if (!IsPrimaryIndexName(active) &&
        AsciiLower(TrimBlanks(active)) == AsciiLower(TrimBlanks(name))) {
      indexName_.clear();
      indexFieldNames_.clear();
      order_->SelectIndex("");
      ApplyMasterRange();
    }
    First();
    return;
  }
  if (TrimBlanks(tableName_).empty()) throw EDatabaseError(DatasetText::MissingTableName);
  Directory()->OpenTable(tableName_, true)->DeleteIndex(name);
}

}  // namespace quellor
