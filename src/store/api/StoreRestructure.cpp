// The front end of restructure, verify and repair: the restructure lists of TStoreTable and
// the table operations that hand them to the engine (Restructure.h, Repair.h).
#include <algorithm>
#include <sstream>

#include "store/api/StoreTb.h"
#include "store/api/StoreTbSupport.h"
#include "store/btree/IndexFile.h"
#include "store/engine/DataSession.h"
#include "store/format/AsciiText.h"
#include "store/maint/Repair.h"
#include "store/maint/Restructure.h"

namespace quellor {

// ---- field list -------------------------------------------------------------------------------

void TRestructureFieldDefs::LoadFromTable() {
  if (loaded_) return;
  if (loader_) loader_(*this);
  loaded_ = true;
}

int TRestructureFieldDefs::IndexOf(const std::string& name) const {
  std::string wanted = AsciiLower(TrimBlanks(name));
  for (size_t i = 0; i < items_.size(); ++i)
    if (AsciiLower(TrimBlanks(items_[i].Name)) == wanted) return static_cast<int>(i);
  return -1;
}

TRestructureFieldDef& TRestructureFieldDefs::Find(const std::string& name) {
  int i = IndexOf(name);
  if (i < 0) throw EDatabaseError(DatasetText::FieldNotFound(name));
  return items_[static_cast<size_t>(i)];
}

void TRestructureFieldDefs::Delete(int i) {
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i < 0 || i >= Count() ? Count() : i));
}

TRestructureFieldDef& TRestructureFieldDefs::Place(size_t position, TRestructureFieldDef def) {
  if (TrimBlanks(def.Name).empty()) throw EDatabaseError("Field name missing");
  if (IndexOf(def.Name) >= 0) throw EDatabaseError("Duplicate field name '" + def.Name + "'");
  if (!FieldSizeAllowed(def.DataType, def.Size)) throw EDatabaseError("Invalid field size");
  position = std::min(position, items_.size());
  return *items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(position), std::move(def));
}

TRestructureFieldDef& TRestructureFieldDefs::Add(const std::string& name, TFieldType type, int size,
                                                 bool required, const std::string& defaultValue,
                                                 const std::string& minimum,
                                                 const std::string& maximum,
                                                 const std::string& description, TCharCase charCase,
                                                 int fieldNo) {
  return Insert(Count(), name, type, size, required, defaultValue, minimum, maximum, description,
                charCase, fieldNo);
}

TRestructureFieldDef& TRestructureFieldDefs::Insert(
    int position, const std::string& name, TFieldType type, int size, bool required,
    const std::string& defaultValue, const std::string& minimum, const std::string& maximum,
    const std::string& description, TCharCase charCase, int fieldNo) {
  TRestructureFieldDef def;
  def.Name = name;
  def.DataType = type;
  def.Size = size;
  def.Required = required;
  def.DefaultValue = defaultValue;
  def.MinimumValue = minimum;
  def.MaximumValue = maximum;
  def.Description = description;
  def.CharCase = charCase;
  def.FieldNo = fieldNo;
  return Place(static_cast<size_t>(std::max(position, 0)), std::move(def));
}

// ---- index list -------------------------------------------------------------------------------

void TRestructureIndexDefs::LoadFromTable() {
  if (loaded_) return;
  if (loader_) loader_(*this);
  loaded_ = true;
}

int TRestructureIndexDefs::IndexOf(const std::string& name) const {
  std::string wanted = AsciiLower(TrimBlanks(name));
  for (size_t i = 0; i < items_.size(); ++i)
    if (AsciiLower(TrimBlanks(items_[i].Name)) == wanted) return static_cast<int>(i);
  return -1;
}

TRestructureIndexDef& TRestructureIndexDefs::Add(const std::string& name, const std::string& fields,
                                                 uint8_t options, uint8_t compression) {
  if (IndexOf(name) >= 0) throw EDatabaseError("Duplicate index name '" + name + "'");
  items_.push_back({name, fields, options, compression});
  return items_.back();
}

void TRestructureIndexDefs::Delete(int i) {
  if (i >= 0 && i < Count()) items_.erase(items_.begin() + i);
}

// ---- table ------------------------------------------------------------------------------------

TRestructureFieldDefs& TStoreTable::RestructureFieldDefs() {
  if (!restructureFields_.loader_)
    restructureFields_.loader_ = [this](TRestructureFieldDefs& list) {
      LoadRestructureFields(list);
    };
  return restructureFields_;
}

TRestructureIndexDefs& TStoreTable::RestructureIndexDefs() {
  if (!restructureIndexes_.loader_)
    restructureIndexes_.loader_ = [this](TRestructureIndexDefs& list) {
      LoadRestructureIndexes(list);
    };
  return restructureIndexes_;
}

void TStoreTable::LoadRestructureFields(TRestructureFieldDefs& list) {
  if (TrimBlanks(tableName_).empty()) throw EDatabaseError(DatasetText::MissingTableName);
  std::shared_ptr<TDataTable> table = table_ ? table_ : Directory()->OpenTable(tableName_, false);
  list.items_.clear();
  for (const TFieldDesc& f : table->Fields()) {
    TRestructureFieldDef def;
    def.Name = f.name;
    def.DataType = KindOfStoreField(f);
    def.Size = f.type == TStoreFieldType::BCD ? f.decimals : f.size;
    def.Required = f.required;
    def.DefaultValue = f.defaultValue;
    def.MinimumValue = f.minimum;
    def.MaximumValue = f.maximum;
    def.Description = f.description;
    def.CharCase = f.charCase;
    def.FieldNo = f.number;
    list.items_.push_back(std::move(def));
  }
}

void TStoreTable::LoadRestructureIndexes(TRestructureIndexDefs& list) {
  if (TrimBlanks(tableName_).empty()) throw EDatabaseError(DatasetText::MissingTableName);
  std::shared_ptr<TDataTable> table = table_ ? table_ : Directory()->OpenTable(tableName_, false);
  list.items_.clear();
  const auto& fields = table->Fields();
  for (const TIndexDesc& d : table->Indexes().File().Definitions()) {
    TRestructureIndexDef def;
    def.Name = d.name;
    for (uint16_t n : d.fieldNumbers) {
      auto it = std::find_if(fields.begin(), fields.end(),
                             [&](const TFieldDesc& f) { return f.number == n; });
      if (it == fields.end()) continue;
      if (!def.Fields.empty()) def.Fields += ";";
      def.Fields += it->name;
    }
    def.Options = static_cast<uint8_t>((d.name.empty() ? IndexOption::Primary : 0) |
                                       (d.unique ? IndexOption::Unique : 0) |
                                       (d.descending ? IndexOption::Descending : 0) |
                                       (d.caseInsensitive ? IndexOption::CaseInsensitive : 0));
    def.Compression = static_cast<uint8_t>(d.compression);
    list.items_.push_back(std::move(def));
  }
}

bool TStoreTable::Restructure(int LanguageID, int SortID, int UserMajorVersion,
                              int UserMinorVersion, bool Encrypted, const std::string& Password,
                              const std::string& Description, int BlobBlockSize, int LastAutoInc,
                              bool NoBackup) {
  if (table_) throw EDatabaseError(DatasetText::OpenDataset);
  if (TrimBlanks(tableName_).empty()) throw EDatabaseError(DatasetText::MissingTableName);
  RestructureFieldDefs().LoadFromTable();
  RestructureIndexDefs().LoadFromTable();

  TRestructurePlan plan;
  for (int i = 0; i < restructureFields_.Count(); ++i) {
    const TRestructureFieldDef& def = restructureFields_.Items(i);
    TFieldPlan f;
    f.desc.name = def.Name;
    f.known = StoreTypeOfKind(def.DataType, f.desc.type, f.desc.subtype);
    f.size = def.Size;
    f.desc.required = def.Required;
    f.desc.defaultValue = def.DefaultValue;
    f.desc.minimum = def.MinimumValue;
    f.desc.maximum = def.MaximumValue;
    f.desc.description = def.Description;
    f.desc.charCase = def.CharCase;
    f.desc.number = static_cast<uint16_t>(std::clamp(def.FieldNo, 0, 65535));
    plan.fields.push_back(std::move(f));
  }
  for (int i = 0; i < restructureIndexes_.Count(); ++i) {
    const TRestructureIndexDef& def = restructureIndexes_.Items(i);
    plan.indexes.push_back(IndexPlanOf(TIndexDef{def.Name, def.Fields, def.Options,
                                                 static_cast<TIndexCompression>(def.Compression)},
                                       TBlankIndexName::Primary));
  }
  plan.languageId = LanguageID;
  plan.sortId = SortID;
  plan.userMajor = UserMajorVersion;
  plan.userMinor = UserMinorVersion;
  plan.encrypted = Encrypted;
  plan.password = Password;
  plan.description = Description;
  plan.blobBlockSize = BlobBlockSize;
  plan.lastAutoInc = LastAutoInc;
  plan.noBackup = NoBackup;
  plan.privateDir = session_.PrivateDir();

  TRestructureEvents events;
  bool stopAsking = false;
  events.dataLost = [&](TDataLossCause cause, const std::string& context) {
    if (stopAsking || !OnDataLost) return true;
    bool go = true;
    OnDataLost(*this, cause, context, go, stopAsking);
    return go;
  };
  // The copy of the records is told to both events; an in-place rebuild of indexes, which
  // leaves the records where they are, to OnOptimizeProgress.
  if (OnRestructureProgress || OnCopyProgress)
    events.progress = [&](int record, int percent) {
      if (OnRestructureProgress)
        OnRestructureProgress(*this, record, static_cast<int16_t>(percent));
      if (OnCopyProgress) OnCopyProgress(*this, record, static_cast<int16_t>(percent));
    };
  if (OnOptimizeProgress)
    events.indexProgress = [&](int record, int percent) {
      OnOptimizeProgress(*this, record, static_cast<int16_t>(percent));
    };
  auto directory = Directory();
  try {
    RestructureTable(*directory, tableName_, plan, events);
  } catch (const ERestructureStopped&) {
    return false;
  }
  // The next LoadFromTable reads the new structure.
  restructureFields_.loaded_ = false;
  restructureIndexes_.loaded_ = false;
  return true;
}

bool TStoreTable::CheckTable(bool repair) {
  if (table_) throw EDatabaseError(DatasetText::OpenDataset);
  if (TrimBlanks(tableName_).empty()) throw EDatabaseError(DatasetText::MissingTableName);
  TRepairEvents events;
  events.log = [this](const std::string& line) {
    if (OnRepairLog) OnRepairLog(*this, line);
  };
  events.progress = [this](int record, int percent) {
    if (OnRepairProgress) OnRepairProgress(*this, record, static_cast<int16_t>(percent));
  };
  auto directory = Directory();
  return quellor::CheckTable(*directory, tableName_, repair, events);
}

bool TStoreTable::Verify() {
  return CheckTable(false);
}
bool TStoreTable::Repair() {
  return CheckTable(true);
}

}  // namespace quellor
