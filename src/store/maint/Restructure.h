// Restructuring a table: changing its fields, indexes and attributes while keeping its records.
//
// The front end (TStoreTable::Restructure) turns its restructure lists into a TRestructurePlan;
// RestructureTable then, in this order:
//   1. opens the table exclusively and for writing (11013 when another program has it open or
//      its data file is read-only);
//   2. checks the new definitions, each with its engine code, before anything changes;
//   3. when locale, sort, encryption, BLOB block size, every field and the primary index are
//      unchanged, changes the secondary indexes in place (dropping removed ones, building new or
//      changed ones from the records) and writes the header attributes; a unique index that meets
//      a key twice puts the index file and header back and goes on with step 4 instead;
//   4. otherwise builds a temporary table (TTableBuilder) in the private folder (the table's own
//      folder when none is set), named after the first five digits of the thread id and the
//      lowest number free, and copies every record in physical order, keeping logical ids;
//      values go to the new field of the same field number, converted where the type changed;
//   5. offers every loss to the caller (TRestructureEvents::dataLost); a "stop" deletes the
//      temporary table and leaves the old files untouched;
//   6. sets the last logical id, renames the old files to ".DBK", ".IBK", ".BBK" (or deletes them
//      with noBackup) and the new files to the table's names.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "store/api/StoreError.h"
#include "store/api/StoreTypes.h"
#include "store/engine/DataTable.h"
#include "store/engine/TableCreate.h"
#include "store/format/DataFile.h"
#include "store/format/FieldCheck.h"

namespace quellor {

class TDataDirectory;
class TDataSession;

struct TRestructurePlan {
  std::vector<TFieldPlan> fields;
  std::vector<TIndexPlan> indexes;
  int languageId = 0;  // 0: keep
  int sortId = 0;      // 0 with languageId 0: keep
  int userMajor = 0, userMinor = 0;
  bool encrypted = false;
  std::string password;
  std::string description;
  int blobBlockSize = kDefaultBlobBlockSize;
  int lastAutoInc = -1;
  bool noBackup = false;
  std::string privateDir;  // empty: the table's own folder
};

struct TRestructureEvents {
  // Asked for each loss; returns false to stop the restructure.
  std::function<bool(TDataLossCause cause, const std::string& context)> dataLost;
  // The copy of the records into the new table (record number, percent done).
  std::function<void(int record, int percent)> progress;
  // A restructure that keeps the records where they are and builds new secondary indexes in
  // place: the records read for each new index (record number, percent done).
  std::function<void(int record, int percent)> indexProgress;
};

// How a restructure went: whether the records were copied (false: indexes changed in place).
struct TRestructureResult {
  bool copied = false;
  int recordsCopied = 0;
  int recordsLeftOut = 0;
};

// A restructure stopped by the caller's answer to a loss; the old table is as it was.
class ERestructureStopped : public EDatabaseError {
 public:
  using EDatabaseError::EDatabaseError;
};

// Carries out a restructure as described at the top. Throws the engine codes of the checks,
// of opening the table, and ERestructureStopped when the caller stopped it.
TRestructureResult RestructureTable(TDataDirectory& directory, const std::string& tableName,
                                    const TRestructurePlan& plan, TRestructureEvents& events);

// Writes a new table's three files and fills them record by record; the table is nobody else's
// while it is built (files on disk are created exclusively). Used by restructure and repair.
class TTableBuilder {
 public:
  // Creates the files as a new table's (CreateTableFiles, TableCreate.h): 13060 when the data
  // file exists; the fields are laid out there and the index definitions checked.
  TTableBuilder(const TTableFiles& files, const std::string& tableName, const TNewTable& table);
  ~TTableBuilder();
  TTableBuilder(const TTableBuilder&) = delete;
  TTableBuilder& operator=(const TTableBuilder&) = delete;

  const std::vector<TFieldDesc>& Fields() const { return data_->Fields(); }
  int RecordSize() const { return data_->RecordSize(); }
  // The first field whose value breaks its required, minimum or maximum rule (its position),
  // -1 when none does. `blobs` are the record's BLOB values by position.
  int BrokenValueRule(const uint8_t* image, const TBlobChanges& blobs) const;
  // The name of a unique index that holds the record's key already ("" when none).
  std::string DuplicateIn(const uint8_t* image);
  // Adds an active record at `slot` (0: the next slot) keeping the logical id at image offset
  // 5; BLOB values are written anew. Returns the slot.
  int32_t Put(std::vector<uint8_t>& image, const TBlobChanges& blobs, int32_t slot = 0);
  // Adds a deleted slot with its logical id (its place in the chain of deleted slots is given
  // at Finish, lowest slot first).
  void PutDeleted(int32_t slot, int32_t logicalId);
  // Writes out what is cached (called now and then to bound memory).
  void FlushSome();
  // Sets the last logical id given out, links the deleted slots and writes and flushes
  // everything. The files are closed afterwards.
  void Finish(int32_t lastLogicalId);
  // The files of a finished in-memory table, which would vanish without a holder.
  std::vector<std::shared_ptr<TAbstractFile>> TakeFiles();
  // Closes and deletes the files (after a failure or a stop).
  void Abandon();

 private:
  TTableFiles files_;
  std::string name_;
  std::shared_ptr<TAbstractFile> dataFile_, indexFile_, blobFile_;
  std::unique_ptr<TDataFile> data_;
  std::unique_ptr<TBlobFile> blob_;
  std::unique_ptr<TTableIndexes> indexes_;
  std::vector<int32_t> deleted_;
  int sinceFlush_ = 0;
  bool done_ = false;
};

// Puts a finished table (`temp`, with `fresh` holding its memory files) in the place of the
// table `files`: the old files become ".DBK", ".IBK", ".BBK" with `keepBackup`, each new file
// replaces its old one in one rename (copied across file systems), and an old file without a
// new one is deleted. The old table must be closed.
void InstallTable(TDataDirectory& directory, const std::string& tableName, const TTableFiles& files,
                  const TTableFiles& temp, std::vector<std::shared_ptr<TAbstractFile>> fresh,
                  bool keepBackup);

}  // namespace quellor
