// What the front end's table does to its table as a whole: create it from its definitions,
// read its user versions, say whether it exists, empty, delete and rename it. The engine does
// the work (DataSession.h, TableCreate.h); this side turns the definition lists into what the
// engine takes. Restructure, verify and repair are StoreRestructure.cpp.
#include "store/api/StoreTb.h"
#include "store/api/StoreTbSupport.h"
#include "store/engine/DataSession.h"
#include "store/format/AsciiText.h"

namespace quellor {

// ---- Table operations -------------------------------------------------------------------------

void TStoreTable::CreateTable() {
  if (table_) throw EDatabaseError(DatasetText::OpenDataset);
  if (TrimBlanks(tableName_).empty()) throw EDatabaseError(DatasetText::MissingTableName);
  // The definitions as the engine takes them; it checks them and writes the files.
  TTableDefinition definition;
  for (int i = 0; i < fieldDefs_.Count(); ++i) {
    const TFieldDef& def = fieldDefs_.Items(i);
    TFieldPlan plan;
    plan.desc.number = static_cast<uint16_t>(i + 1);
    plan.desc.name = def.Name;
    plan.known = StoreTypeOfKind(def.DataType, plan.desc.type, plan.desc.subtype);
    plan.size = def.Size;
    plan.desc.required = def.Required;
    plan.desc.charCase = def.CharCase;
    plan.desc.description = def.Description;
    plan.desc.defaultValue = def.DefaultValue;
    plan.desc.minimum = def.Minimum;
    plan.desc.maximum = def.Maximum;
    definition.fields.push_back(std::move(plan));
  }
  for (int i = 0; i < indexDefs_.Count(); ++i)
    definition.indexes.push_back(IndexPlanOf(indexDefs_.Items(i), TBlankIndexName::Primary));
  definition.description = storeDefs_.Description;
  definition.encrypted = storeDefs_.Encrypted;
  definition.password = storeDefs_.Password;
  definition.blobBlockSize = storeDefs_.BlobBlockSize;
  definition.userMajor = storeDefs_.UserMajorVersion;
  definition.userMinor = storeDefs_.UserMinorVersion;
  Directory()->CreateTable(tableName_, definition);
}

TDataHeader TStoreTable::TableHeader() {
  if (table_) return table_->Data().Header();
  if (TrimBlanks(tableName_).empty()) throw EDatabaseError(DatasetText::MissingTableName);
  return Directory()->ReadTableHeader(tableName_);
}

int TStoreTable::UserMajorVersion() {
  return TableHeader().userMajor;
}

int TStoreTable::UserMinorVersion() {
  return TableHeader().userMinor;
}

bool TStoreTable::Exists() {
  if (TrimBlanks(tableName_).empty()) return false;
  return Directory()->TableExists(tableName_);
}

void TStoreTable::EmptyTable() {
  if (table_) {
    CheckWritable();
    if (state_ != TDataSetState::Browse) Cancel();
    table_->Empty();
    First();
    return;
  }
  Open();
  try {
    CheckWritable();
    table_->Empty();
  } catch (...) {
    Close();
    throw;
  }
  Close();
}

void TStoreTable::DeleteTable() {
  if (table_) throw EDatabaseError(DatasetText::OpenDataset);
  if (TrimBlanks(tableName_).empty()) throw EDatabaseError(DatasetText::MissingTableName);
  Directory()->DeleteTable(tableName_);
}

void TStoreTable::RenameTable(const std::string& newName) {
  if (table_) throw EDatabaseError(DatasetText::OpenDataset);
  if (TrimBlanks(tableName_).empty() || TrimBlanks(newName).empty())
    throw EDatabaseError(DatasetText::MissingTableName);
  Directory()->RenameTable(tableName_, newName);
  tableName_ = newName;
}

}  // namespace quellor
