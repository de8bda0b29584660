// Creating a table: the one way the files of a new table are made, for the front end's
// CreateTable and for the tables that restructure and repair build (Restructure.h, Repair.h).
//
// CreateTable checks a definition in this order, and only then writes anything:
//   1. the fields (FieldCheck.h, strict): 9492, 10038, 10000, 10006, 9498, 9477;
//   2. the indexes, which name their key fields: 9985 for a name that is no field of the
//      table, 9993 for a second primary index;
//   3. the attributes: a BLOB block size of 64 to 65,535 (9498), a password of 1 to 15
//      characters for an encrypted table (10015), the session's language a locale the store
//      can order and upper-case by (15878);
//   4. 13060 when the table's data file exists.
// CreateTableFiles then writes, in this order:
//   - the data file: its header (format version 4, change counter 0, an empty chain of deleted
//     slots, next physical record 1, last logical id 0) and the field descriptors;
//   - the BLOB file, when the table has BLOB fields: its header (end offset 512, no free
//     blocks);
//   - last the index file: its header with the primary index, whose definition is checked then
//     (9487, 10023, 12292, 10026 naming "Primary"), and each secondary index added after it
//     (9487, 10010, 10022, 10027 and the key checks).
// A failure part way deletes every file it made. An index or BLOB file left on disk by a table
// whose data file is gone is replaced, and a journal without its table deleted. Files on disk
// are created for exclusive use while they are written; memory files are shared, since the
// table is later opened by name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/api/StoreTypes.h"
#include "store/engine/TableFiles.h"
#include "store/format/DataFile.h"
#include "store/format/FieldCheck.h"
#include "store/os/AbstractFile.h"

namespace quellor {

class TDataDirectory;

// An index as a definition names it: its key fields by name.
struct TIndexPlan {
  std::string name;
  std::vector<std::string> fieldNames;
  uint8_t options = 0;  // 1 primary, 2 unique, 4 descending, 8 case-insensitive
  uint8_t compression = 0;
};

// What the front end's CreateTable hands over.
struct TTableDefinition {
  std::vector<TFieldPlan> fields;
  std::vector<TIndexPlan> indexes;
  std::string description;
  bool encrypted = false;
  std::string password;
  int blobBlockSize = kDefaultBlobBlockSize;
  int userMajor = 0, userMinor = 0;
};

// A new table as CreateTableFiles writes it: checked definitions.
struct TNewTable {
  TDataHeader header;              // the attributes; record size and BLOB field count follow
  std::vector<TFieldDesc> fields;  // the fields, laid out by CreateTableFiles
  bool hasPrimary = false;
  TIndexDesc primary;
  std::vector<TIndexDesc> secondary;
};

// The files CreateTableFiles made, open; `blob` is null for a table without BLOB fields.
struct TCreatedTableFiles {
  std::shared_ptr<TAbstractFile> data, index, blob;
  // Every file made, the data file first.
  std::vector<std::shared_ptr<TAbstractFile>> All() const;
};

// Writes the files of `table` as described at the top (lays its fields out: 9477 for a record
// longer than 65,535 bytes, 9498 for more than 64 BLOB fields; 13060 when the data file
// exists). With `flushOs` the files are flushed once written.
TCreatedTableFiles CreateTableFiles(const TTableFiles& files, const std::string& tableName,
                                    TNewTable table, bool flushOs);

// The index an index plan describes over `fields`: its name trimmed (empty for the primary
// index), its options, and its key fields' numbers; 9985 for a key field name that is no
// field.
TIndexDesc IndexDescOf(const TIndexPlan& plan, const std::vector<TFieldDesc>& fields,
                       const std::string& tableName);

// Checks `definition` and creates table `tableName` in `directory` as described at the top;
// the language and sort id come from the directory's session, and so does the flushing of the
// files (ForceBufferFlush). A table of the in-memory database is held by the directory until it
// is first opened.
void CreateTable(TDataDirectory& directory, const std::string& tableName,
                 const TTableDefinition& definition);

}  // namespace quellor
