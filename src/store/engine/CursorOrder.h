// The order one cursor walks a table in: the key order of its active index (the primary index
// or a secondary one, chosen by name), optionally limited to a key range; or, for a table
// whose primary index has no key fields, the order of insertion, which the active part of the
// internal index "Sys Deleted" gives.
//
// Records are named by their physical record number (slot). A move starts from the record the
// cursor shows: the index cursor is used as it stands when it is still on that record;
// otherwise the record is found again by its key, built from the image the cursor showed, so
// that changes by this or another cursor (an edited key, a deleted record) are walked
// correctly. Positions and counts come from the index's counts: one descent each.
//
// Every call is one reading operation of the table (TDataTable::Reading): it holds the table's
// lock and is started over when another program changed the files under the caches.
//
// A walk with Next reads ahead: when the record it lands on is not in the cursor's read-ahead
// buffer, the records of that entry and of the entries after it (8 at first, doubling with
// every refill of one walk up to 64) are read in one operation, under one read slot and one
// comparison of the change counters, into the buffer; later steps take their records from it
// (Record) without reading the files. The buffer belongs to the table's change count
// (TDataTable::ChangeCount): any change this program makes or notices, another program's
// included, drops it, so it never outlives what the caches may hold.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/btree/IndexCursor.h"

namespace quellor {

class TDataTable;

class TCursorOrder {
 public:
  explicit TCursorOrder(TDataTable& table);

  // Selects the index by name: empty or "Primary" for the primary index, else a secondary
  // index (compared without regard to case). 10022 for an unknown name. Clears the range.
  void SelectIndex(const std::string& name);
  // The selected index's name as given.
  const std::string& IndexName() const { return name_; }
  // Whether the order is that of an index with key fields (not the order of insertion).
  bool Keyed();
  // The key layout of the selected index; null in the order of insertion.
  const TKeyLayout* Layout();

  // Limits the order to keys from `low` to `high`, each a key prefix compared over its own
  // length (empty: that end is open). Only for a keyed order.
  void SetRange(std::vector<uint8_t> low, std::vector<uint8_t> high);
  void ClearRange();
  bool HasRange() const { return hasRange_; }

  // Each returns a slot, 0 when there is none. `image` is the record as the cursor showed it
  // (null: read it from the table when needed).
  int32_t First();
  int32_t Last();
  int32_t Next(int32_t slot, const std::vector<uint8_t>* image);
  int32_t Prior(int32_t slot, const std::vector<uint8_t>* image);
  // The position (from 0) of a record within the order; -1 when it is not in it.
  int64_t Position(int32_t slot, const std::vector<uint8_t>* image);
  // The record at a position (from 0); 0 when there is none.
  int32_t GoTo(int64_t position);
  // The number of records in the order (within the range).
  int64_t Count();
  // Goes to the first record whose key begins with `key` (or, without one, the first above
  // it): returns its slot (0 when none) and whether the key matched.  // A miss checks the entries
  // on both sides of the key's place against their records (8965 when one does not match), so that
  // a damaged entry never reads as a key that is not there.
  int32_t Seek(const std::vector<uint8_t>& key, bool& found);
  // Whether the order stands on a record whose key begins with `key`.
  bool CurrentMatches(const std::vector<uint8_t>& key);
  // Copies a record's image from the read-ahead buffer; false when it is not there (or the
  // buffer is stale): the caller reads it from the table.
  bool Record(int32_t slot, std::vector<uint8_t>& image);

 private:
  // Finds the selected tree again when the set of indexes changed.
  void Resolve();
  std::vector<uint8_t> KeyOf(int32_t slot, const std::vector<uint8_t>* image);
  // Puts the index cursor on the record; false when it is not in the index (the cursor then
  // stands where its key would be).
  bool Locate(int32_t slot, const std::vector<uint8_t>* image);
  // The slot the cursor stands on after checking its record; `readAhead` fills the
  // read-ahead buffer from the cursor's entry when the record is not in it.
  int32_t Result(bool readAhead = false);
  // The buffered image of a slot; null when the buffer does not hold it or is stale.
  const uint8_t* Buffered(int32_t slot);
  void DropReadAhead();

  TDataTable& table_;
  std::string name_;
  uint64_t generation_ = 0;
  TIndexTree* tree_ = nullptr;
  bool keyed_ = false;
  std::unique_ptr<TIndexCursor> cursor_;
  uint64_t seenGeneration_ = 0;  // the tree's generation when the cursor last moved
  bool hasRange_ = false;
  std::vector<uint8_t> low_, high_;
  int32_t walkSlot_ = 0;          // the slot First or Next returned last (0: not walking)
  std::vector<uint8_t> stepKey_;  // the key Result builds from a record, kept for its memory
  struct TReadAhead {
    uint64_t stamp = 0;           // the table's change count it belongs to
    std::vector<int32_t> slots;   // in the order of the walk
    std::vector<uint8_t> images;  // one record image per slot
    size_t next = 0;              // where the next lookup starts
    size_t window = 0;            // entries of the last fill
    bool valid = false;
  } ahead_;
};

}  // namespace quellor
