// The index file (".IDX") of a table: its header with the index definitions, and one B+-tree
// of 4096-byte pages per index (IndexTree.h), with the operations a table needs to keep its
// indexes in step with its records.
//
// Layout of the header: IndexHeader.h; of the pages: IndexPage.h; of keys: KeyLayout.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "store/api/StoreTypes.h"
#include "store/btree/IndexTree.h"
#include "store/format/Cipher.h"
#include "store/format/IndexHeader.h"
#include "store/os/AbstractFile.h"

namespace quellor {

struct TDataHeader;

// Enciphers or deciphers one piece in place (Cipher.h); empty for a table that is not
// encrypted. The index file header (4096 bytes) and every page (4096 bytes) are one piece each.
using TIndexCipher = TPieceCipher;

// What the index file needs to know of its table.
struct TIndexFileOptions {
  std::string tableName;    // as given to the table, for error messages
  uint16_t languageId = 0;  // the table's language id (0: byte order)
  uint16_t sortId = 0;
  TIndexCipher cipher;  // empty when the table is not encrypted

  // The options of the index file of the table whose data file header is `header`: its
  // language and sort id, and the table's cipher when it is encrypted.
  static TIndexFileOptions ForTable(const std::string& tableName, const TDataHeader& header);
};

// Creates a new, empty index file on `file` (which is cut to the header): version 4, end
// offset 4096, record count 0, no secondary indexes, "Sys Deleted" in slot 31 with key size 5,
// and `primary` in slot 0 (unique, its key size computed from `fields`) or, when `primary` is
// null or has no field numbers, the flag of a primary index without key fields. A bad primary
// index raises 9487, 10023, 12292 or 10026 (naming "Primary") before anything is written; a
// failed write raises 9218.
void CreateIndexFile(TAbstractFile& file, const std::vector<TFieldDesc>& fields,
                     const TIndexDesc* primary, const TIndexFileOptions& options);

// Hands every active record of the table to a visitor: its bytes, physical record number and
// logical id. Used to build an index that is being added.
using TRecordVisitor =
    std::function<void(std::span<const uint8_t> record, int32_t recNo, int32_t logicalId)>;
using TRecordSource = std::function<void(const TRecordVisitor& visit)>;

// Hands every record slot of the data file, active or deleted, to a visitor: its deleted flag,
// logical id and physical record number.
using TSlotVisitor = std::function<void(bool deleted, int32_t logicalId, int32_t recNo)>;
using TSlotSource = std::function<void(const TSlotVisitor& visit)>;

// An open index file. One per open table; not safe for use from several threads at once (the
// table serialises its operations).
//
// Changes stay in memory until WriteChanges, which writes the changed pages and then the
// header with its change counter incremented; DiscardChanges forgets them (a rolled-back
// transaction). ChangedOnDisk and Reload serve change detection between processes.
class TIndexFile : private TIndexPageIo {
 public:
  // Reads and checks the header of an existing index file: a version other than 4 raises
  // 12035; any other damage (counts, names, key fields against `fields`, key sizes, page
  // offsets) raises 8961.
  TIndexFile(TAbstractFile& file, std::vector<TFieldDesc> fields, TIndexFileOptions options);
  ~TIndexFile() override;
  TIndexFile(const TIndexFile&) = delete;
  TIndexFile& operator=(const TIndexFile&) = delete;

  // ---- the indexes ----
  bool PrimaryHasKeyFields() const { return primary_ != nullptr; }
  // The primary index; null when it has no key fields (the table is in physical order).
  TIndexTree* Primary() { return primary_.get(); }
  TIndexTree& SysDeleted() { return *sysDeleted_; }
  int SecondaryCount() const { return static_cast<int>(secondary_.size()); }
  TIndexTree& Secondary(int i) { return *secondary_.at(static_cast<size_t>(i)); }
  // The index of a name as the front end gives it: empty or "Primary" for the primary index
  // (null without key fields), else a secondary index compared without regard to case and
  // outer blanks; null for an unknown name.
  TIndexTree* FindIndex(const std::string& name);
  // The name messages use for an index: "Primary" for the primary index.
  static std::string DisplayName(const TIndexTree& tree);
  // The current definitions: the primary index (when it has key fields) first, then the
  // secondary indexes in order.
  std::vector<TIndexDesc> Definitions() const;

  // ---- keeping the indexes in step with the records (primary and secondary indexes) ----
  // Each takes the whole record bytes, its physical record number and logical id. Checks come
  // before changes: a key that already exists in a unique index (held by another record)
  // raises 9729 naming the index, and a key that should be there but is not raises 8965, in
  // both cases with no index changed.
  void CheckUnique(std::span<const uint8_t> record, int32_t recNo, int32_t logicalId);
  // Checks each unique index on the descent that places the entry (no CheckUnique needed
  // first); a duplicate raises 9729 with no index changed once the change is aborted: at once
  // when the call made the change of its own, else by the caller's AbortChange.
  void InsertRecord(std::span<const uint8_t> record, int32_t recNo, int32_t logicalId);
  void DeleteRecord(std::span<const uint8_t> record, int32_t recNo, int32_t logicalId);
  // Only the indexes whose key changed are touched.
  void UpdateRecord(std::span<const uint8_t> oldRecord, std::span<const uint8_t> newRecord,
                    int32_t recNo, int32_t logicalId);

  // ---- one change of the table ----
  // A change of the table begins (an insert, update or delete with everything it does to the
  // indexes). AbortChange puts pages, roots, free chains, end offset and record count back as
  // they were at BeginChange; EndChange keeps the change (still unwritten until
  // WriteChanges). A record operation called outside such a change makes one of its own, so a
  // failure part way never leaves a half-changed tree behind.
  void BeginChange();
  void EndChange();
  void AbortChange();

  // ---- "Sys Deleted": one entry per record slot, keyed by deleted flag and logical id ----
  void SysDeletedAdd(bool deleted, int32_t logicalId, int32_t recNo);
  // A record was deleted: its entry changes from flag 0 to flag 1.
  void SysDeletedMarkDeleted(int32_t logicalId, int32_t recNo);
  // A deleted slot is reused: its entry (flag 1, old id) becomes (flag 0, new id).
  void SysDeletedReuse(int32_t oldLogicalId, int32_t newLogicalId, int32_t recNo);

  // Enters every slot into an empty "Sys Deleted" and sets the record count to the number of
  // active slots: the first use of an index file that was recreated because it was missing.
  // Two slots with one id raise 8965.
  void FillSysDeleted(const TSlotSource& slots);
  // Empties the file and builds every index again from the records and slots (a repair).
  // 9729 when two records share a key of a unique index; the file is then left empty and the
  // caller repairs the records or drops the index.
  void Rebuild(const TRecordSource& records, const TSlotSource& slots);

  // ---- changing the set of indexes (the table is open exclusively) ----
  // Defines the primary index and builds it from `records`: 9993 when one with key fields is
  // defined; 9487, 10023, 12292, 10026 for a bad definition; 9729 when two records share a key
  // (nothing changes then).
  void DefinePrimaryIndex(const TIndexDesc& desc, const TRecordSource& records);
  // Appends a secondary index and builds it from `records`: 9487 beyond 30; 10010 for a blank
  // name; 10022 for a name that does not start with a letter, an underscore or a character
  // from 129 to 254, or is longer than 30; 10027 for a name in use; the definition checks as
  // above; 9729 for a unique index over duplicate keys (nothing changes then).
  void AddSecondaryIndex(const TIndexDesc& desc, const TRecordSource& records);
  // Removes a secondary index; the ones after it move down a slot. 10055 for the primary
  // index (an empty name or "Primary"), 10022 for an unknown name. Its pages stay in the file
  // unused until the table is emptied or rebuilt.
  void RemoveSecondaryIndex(const std::string& name);

  // ---- the header's other values ----
  int32_t RecordCount() const { return header_.recordCount; }
  void SetRecordCount(int32_t count);
  int32_t ChangeCounter() const { return header_.changeCounter; }
  int32_t EndOffset() const override { return header_.endOffset; }

  // ---- writing, change detection, emptying ----
  // Writes changed pages, then the header (when changed, or when `forceHeader`) with its
  // change counter incremented; with `flushToDisk` the file is flushed as well (9218 on
  // failure).
  void WriteChanges(bool forceHeader = false, bool flushToDisk = false);
  bool HasUnwrittenChanges() const;
  // About how many index pages of all trees wait to be written (TIndexTree::DirtyPageCount).
  size_t DirtyPageCount() const;
  // Forgets unwritten changes and reads the header again.
  void DiscardChanges() { Reload(); }
  // Whether another writer changed the file: the change counter on disk differs from ours.
  bool ChangedOnDisk();
  // Drops every cached page and reads the header again (with the checks of opening). The
  // trees stay the same objects while the definitions are unchanged.
  void Reload();
  // Called before a page is read from the file (not from a cache); may throw to make the
  // caller start its reading over.
  void SetReadHook(std::function<void()> hook) { readHook_ = std::move(hook); }
  // Cuts the file to its header: end offset 4096, record count 0, every root and free chain
  // 0; the header is written at once.
  void Empty();

 private:
  // TIndexPageIo
  void ReadPage(int32_t offset, uint8_t* raw) override;
  void WritePage(int32_t offset, const uint8_t* raw) override;
  int32_t AppendPage() override;
  void DescriptorChanged() override { headerDirty_ = true; }
  const std::string& TableName() const override { return options_.tableName; }

  TIndexFileHeader ReadHeader();
  void BuildTrees();
  std::unique_ptr<TIndexTree> MakeTree(const TIndexDesc& desc, bool isPrimary,
                                       uint16_t corruptCode);
  void CollectDescriptors();
  // The primary (with key fields) and secondary indexes.
  std::vector<TIndexTree*> RecordIndexes();
  void FillNewIndex(TIndexTree& tree, const TRecordSource& records);
  std::vector<TIndexTree*> AllTrees();
  // Runs `change` inside a change of its own unless one is open.
  template <typename F>
  void AsOneChange(F&& change);

  TAbstractFile& file_;
  std::vector<TFieldDesc> fields_;
  TIndexFileOptions options_;
  TIndexFileHeader header_;
  bool headerDirty_ = false;
  bool inChange_ = false;
  TIndexFileHeader savedHeader_;
  bool savedHeaderDirty_ = false;  // headerDirty_ at BeginChange
  bool writtenInChange_ = false;   // the header was written between BeginChange and its end
  std::unique_ptr<TIndexTree> primary_;
  std::vector<std::unique_ptr<TIndexTree>> secondary_;
  std::unique_ptr<TIndexTree> sysDeleted_;
  std::function<void()> readHook_;
};

}  // namespace quellor
