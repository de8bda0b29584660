// What the files of the front end (StoreTb.h) share: the registry that maps the dataset field
// kinds of the front end to stored type codes and back, and the translation of definitions
// (field name lists, index definitions, filter texts) into what the engine takes.
//
// Not part of the front end's interface: it names engine types, so code outside the store cannot
// include it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/api/StoreTb.h"
#include "store/engine/TableCreate.h"

namespace quellor {

// The type code and subtype a dataset field kind is stored as; false for a kind without one.
bool StoreTypeOfKind(TFieldType kind, TStoreFieldType& type, uint8_t& subtype);
// The dataset field kind of a stored field; Unknown for one without a dataset field (10-byte
// float, fields without storage).
TFieldType KindOfStoreField(const TFieldDesc& field);
// Whether a definition list takes `size` for a field of `kind`: 1 to 250 for string, bytes and
// variable bytes, up to 8 for BCD (the table then refuses more than 4 decimals, 10000), 0 for
// the other kinds.
bool FieldSizeAllowed(TFieldType kind, int size);

// The names of a list separated by ";", each trimmed; empty ones left out.
std::vector<std::string> SplitNames(const std::string& list);
// Whether an index name stands for the primary index: blank, or "Primary" in any case.
bool IsPrimaryIndexName(const std::string& name);

// Whether a blank index name marks the primary index: it does in the definitions of a new or
// restructured table, not when an index is added to a table.
enum class TBlankIndexName { Primary, Secondary };
// An index definition as the engine takes it: the name "Primary" (and, as `blank` says, a
// blank name) marks the primary index as the option does.
TIndexPlan IndexPlanOf(const TIndexDef& def, TBlankIndexName blank);
// The universal name of a database folder: its real path ending with "/" (the current folder
// for a blank name), so that two spellings of one folder name one database folder. Empty when
// the folder cannot be resolved; errno then says why.
std::string UniversalFolder(const std::string& folder);

// A filter text without an expression: nothing but separators (codes 0 to 32).
bool BlankFilter(const std::string& text);

}  // namespace quellor
