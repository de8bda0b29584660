// TDataTable: one open table of a database folder, shared by every cursor of the process that
// opens it (reference-counted by shared pointers held in its TDataDirectory).
//
// It owns the table's three files (data, index, BLOB), checks them at open (version, header,
// descriptors, language, password), and carries out each change as one unit: all checks first,
// then the changes in the caches, then one write of everything that changed. A change that fails
// part-way is rolled back in the caches, so the files stay as they were.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "store/BlobFile.h"
#include "store/DataFile.h"
#include "store/TableIndexes.h"

namespace quellor {

class TDataSession;

// New values of a record's BLOB fields, by field position.
using TBlobChanges = std::map<size_t, std::string>;

// Where a table's files are: full paths on disk, or names in the "MEMORY" database.
struct TTableFiles {
  std::string data, index, blob;
  bool inMemory = false;
};

class TDataTable {
 public:
  // Opens the files and checks them; `tableName` is the name for messages.
  TDataTable(TDataSession& session, const TTableFiles& files, const std::string& tableName,
             bool exclusive);
  ~TDataTable();

  const std::string& Name() const { return tableName_; }
  bool Exclusive() const { return exclusive_; }
  bool InMemory() const { return files_.inMemory; }
  // The data file's read-only attribute is set: nothing may be changed.
  bool ReadOnlyFiles() const { return readOnlyFiles_; }

  TDataFile& Data() { return *data_; }
  const std::vector<TFieldDesc>& Fields() const { return data_->Fields(); }
  TTableIndexes& Indexes() { return *indexes_; }
  // Held by every operation on the table's files and caches; cursors walking an index hold it
  // too (the index trees are not safe for use from several threads at once).
  std::recursive_mutex& Mutex() { return mutex_; }

  // The number of active records, from the index file's header.
  int32_t RecordCount();
  // A copy of a slot's image (8962 for a damaged slot).
  std::vector<uint8_t> ReadRecord(int32_t slot);
  // The value of a BLOB field of a record image.
  std::string ReadBlob(const uint8_t* image, const TFieldDesc& field);

  // Inserts a record: `image` holds the field values (its 9-byte header is filled here);
  // returns its slot. 9732/9730/9731 for values, 9479 when full.
  int32_t Insert(std::vector<uint8_t>& image, const TBlobChanges& blobs);
  // Rewrites a record; `shown` is the copy the cursor read (8708 when the disk differs).
  void Update(int32_t slot, const std::vector<uint8_t>& shown, std::vector<uint8_t>& image,
              const TBlobChanges& blobs);
  void Delete(int32_t slot, const std::vector<uint8_t>& shown);
  // 8708 when the record on disk differs from `shown` or is gone.
  void CheckUnchanged(int32_t slot, const std::vector<uint8_t>& shown);
  void Empty();
  // Adds an index built from the records, or removes a secondary one; the table must be open
  // exclusively (10253). Errors of the definition: TTableIndexes::AddIndex and DeleteIndex.
  void AddIndex(const TIndexDesc& desc, bool primary);
  void DeleteIndex(const std::string& name);
  // Hands every active record to `visit` (for building an index).
  void VisitRecords(const TRecordVisitor& visit);
  // Writes everything cached and asks the system to flush the files.
  void FlushToDisk();
  // Notices changes other users wrote (change counters) and drops stale caches.
  void DetectChanges();
  // Moves on with every change of the records this process makes or notices (a change, an
  // emptying, another user's change found by DetectChanges, a rolled-back transaction), so
  // that what a cursor derived from the records (a filter's record set) knows it is stale.
  uint64_t ChangeCount() const { return changeCount_; }
  void NoteChange() { ++changeCount_; }

  // Record locks of this process: one cursor at a time per record (10258 otherwise).
  void LockRecord(int32_t slot, const void* cursor);
  void UnlockRecord(int32_t slot, const void* cursor);

 private:
  void CheckValues(const std::vector<uint8_t>& image, const TBlobChanges& blobs);
  void WriteBlobs(std::vector<uint8_t>& image, const TBlobChanges& blobs);
  // Runs a change: snapshot, body, write; rollback of the caches on failure.
  void Change(const std::function<void()>& body);
  void WriteChanges(bool flushOs);
  void VisitSlots(const TSlotVisitor& visit);
  [[noreturn]] void Fail(uint16_t code) const;

  TDataSession& session_;
  TTableFiles files_;
  std::string tableName_;
  bool exclusive_;
  bool readOnlyFiles_ = false;
  std::shared_ptr<TAbstractFile> dataFile_, indexFile_, blobFile_;
  std::unique_ptr<TDataFile> data_;
  std::unique_ptr<TBlobFile> blob_;
  std::unique_ptr<TTableIndexes> indexes_;
  std::map<int32_t, const void*> lockedRecords_;
  uint64_t changeCount_ = 0;
  std::recursive_mutex mutex_;
};

// The file names of a table: the name with its extension replaced by ".DAT", ".IDX" and
// ".BLB" (a name already ending in the extension is used as it is), each looked up in the
// folder without regard to case.
TTableFiles TableFileNames(const std::string& folder, const std::string& tableName);

}  // namespace quellor
