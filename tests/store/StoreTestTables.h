// Tables the store's tests build: one field of every kind the front end can create.
#pragma once

#include <string>

#include "store/api/StoreTb.h"
#include "support/TempDir.h"

namespace quellor::test {

// Adds one field of each creatable kind to `table`'s FieldDefs.
inline void AddEveryFieldKind(TStoreTable& table) {
  auto& defs = table.FieldDefs();
  defs.Add("Name", TFieldType::String, 20);
  defs.Add("Small", TFieldType::SmallInt);
  defs.Add("Whole", TFieldType::Integer);
  defs.Add("Count", TFieldType::Word);
  defs.Add("Flag", TFieldType::Boolean);
  defs.Add("Ratio", TFieldType::Float);
  defs.Add("Price", TFieldType::Currency);
  defs.Add("Amount", TFieldType::BCD, 2);
  defs.Add("Day", TFieldType::Date);
  defs.Add("Clock", TFieldType::Time);
  defs.Add("Stamp", TFieldType::DateTime);
  defs.Add("Raw", TFieldType::Bytes, 4);
  defs.Add("VarRaw", TFieldType::VarBytes, 6);
  defs.Add("Id", TFieldType::AutoInc);
  defs.Add("Data", TFieldType::Blob);
  defs.Add("Notes", TFieldType::Memo);
}

// A table object on `dir` named `name` (not opened).
inline void Bind(TStoreTable& table, const TempDir& dir, const std::string& name) {
  table.SetDatabaseName(dir.path());
  table.SetTableName(name);
}

}  // namespace quellor::test
