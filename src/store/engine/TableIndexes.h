// The indexes of an open table: its index file (IndexFile.h) kept in step with the records.
//
// TDataTable calls a TTableIndexes at fixed points of every change, in this order:
//   insert:  CheckInsert (every unique index accepts the key; 9729 naming the index) -> Insert
//   update:  CheckUpdate -> Update
//   delete:  Delete
//   empty:   Empty
// The Check calls run before anything is changed; the others after all checks passed, inside
// the table's change (BeginChange ... EndChange; AbortChange puts the trees back). Besides the
// primary and secondary indexes, every change keeps the internal index "Sys Deleted" (one entry
// per record slot, keyed by deleted flag and logical id) and the header's count of active
// records. Flush writes the index file's changes at the end of a change, Reload notices other
// users' changes.
//
// Adding and removing indexes happens here too; each such change moves DefinitionsGeneration
// on, so that cursors holding a tree of the old set find their index again by name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/btree/IndexFile.h"
#include "store/os/AbstractFile.h"

namespace quellor {

class TTableIndexes {
 public:
  // Opens the index file `file` of a table with `fields` and records of `recordSize` bytes;
  // the header is checked (12035, 8961).
  TTableIndexes(std::shared_ptr<TAbstractFile> file, std::vector<TFieldDesc> fields,
                TIndexFileOptions options, int recordSize);

  TIndexFile& File() { return *index_; }
  // Whether the primary index has key fields; only then are deleted slots reused.
  bool PrimaryHasKeyFields() const { return index_->PrimaryHasKeyFields(); }
  // The header's number of active records.
  int32_t RecordCount() const { return index_->RecordCount(); }

  // The record images below are whole records with their 9-byte header filled in (slot and
  // logical id).
  void CheckInsert(const uint8_t* image);
  void CheckUpdate(int32_t slot, const uint8_t* oldImage, const uint8_t* newImage);
  // A record was inserted into `slot`; `reusedLogicalId` is the id the deleted record of a
  // reused slot had, 0 when the slot is new.
  void Insert(int32_t slot, const uint8_t* image, int32_t reusedLogicalId);
  void Update(int32_t slot, const uint8_t* oldImage, const uint8_t* newImage);
  void Delete(int32_t slot, const uint8_t* oldImage);
  // The table was emptied: the file is cut to its header (written at once).
  void Empty();

  void BeginChange() { index_->BeginChange(); }
  void EndChange() { index_->EndChange(); }
  void AbortChange() { index_->AbortChange(); }
  void Flush(bool flushOs) { index_->WriteChanges(false, flushOs); }
  // About how many changed index pages wait to be written.
  size_t DirtyPageCount() const { return index_->DirtyPageCount(); }
  // Reads the header again when another user changed the file (its cached pages are dropped);
  // returns whether it had changed.
  bool Reload();
  // Forgets every unwritten change and cached page and reads the header again (a transaction
  // rolled back).
  void Discard();

  // The first use of an index file that was made anew because it was missing: every slot goes
  // into "Sys Deleted" and the active ones are counted.
  void FillSlots(const TSlotSource& slots);

  // Adds an index built from `records`: the primary index (9993 when one with key fields
  // exists) or a secondary one (9487, 10010, 10022, 10027); 9729 when a unique index would
  // hold a key twice. Nothing changes on failure. The header is written at once.
  void AddIndex(const TIndexDesc& desc, bool primary, const TRecordSource& records);
  // Removes a secondary index (10055 for the primary index, 10022 for an unknown name).
  void DeleteIndex(const std::string& name);
  // Moves on whenever the set of index trees was replaced.
  uint64_t DefinitionsGeneration() const { return generation_; }

 private:
  std::span<const uint8_t> Record(const uint8_t* image) const {
    return {image, static_cast<size_t>(recordSize_)};
  }
  // The trees as they are now, to notice that a reload replaced them.
  std::vector<const void*> TreeIdentity();

  std::shared_ptr<TAbstractFile> file_;
  std::unique_ptr<TIndexFile> index_;
  int recordSize_;
  uint64_t generation_ = 1;
};

}  // namespace quellor
