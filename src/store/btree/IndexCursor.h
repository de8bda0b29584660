// A cursor over one index: moves to the first, last, next and prior entry, seeks a key, goes to
// the n-th entry, and knows its position and the number of entries, all within an optional key
// range. Positions and counts come from the counts in the upper pages (one descent each).
//
// The cursor keeps the key and record number of its entry. When the tree changed since the
// cursor last looked (its generation moved on), it finds its place again by that key: on the
// same entry when it still exists, otherwise between its neighbours, so Next and Prior go on
// from where it was.
#pragma once

#include <cstdint>
#include <vector>

#include "store/btree/IndexTree.h"

namespace quellor {

class TIndexCursor {
 public:
  explicit TIndexCursor(TIndexTree& tree) : tree_(&tree) {}

  // Limits the cursor to keys from `low` to `high`, each compared over its own length (so a
  // shorter key is a prefix: the same as a lower key padded with zero bytes and an upper key
  // padded with bytes 255). An empty bound leaves that end open. The cursor goes before the
  // first entry.
  void SetRange(std::vector<uint8_t> low, std::vector<uint8_t> high);
  void ClearRange();

  // Each returns whether the cursor stands on an entry afterwards.
  bool First();
  bool Last();
  bool Next();   // from before the first entry: the first entry
  bool Prior();  // from after the last entry: the last entry
  // Goes to the first entry not below `key` (compared over key.size() bytes, at most the key
  // size) within the range; returns true when that entry's first key.size() bytes equal `key`.
  // Without such an entry the cursor stands after the last one.
  bool Seek(const std::vector<uint8_t>& key);
  // Goes to the entry at `position` (0-based within the range); false and after the last entry
  // when there is none.
  bool GoTo(int64_t position);

  bool Bof() const { return state_ == TState::Bof; }
  bool Eof() const { return state_ == TState::Eof; }
  bool OnEntry() const { return state_ == TState::On; }
  // The current entry's key (the key size) and record number; valid only on an entry.
  const std::vector<uint8_t>& Key() const { return key_; }
  int32_t RecNo() const { return recNo_; }
  // The record numbers of the current entry and of up to `max` - 1 entries after it within the
  // range, without moving the cursor (for reading their records ahead); 0 when not on an entry.
  // Reading a page that is not cached may end the list early.
  size_t PeekRecNos(int32_t* out, size_t max);
  // 0-based position of the current entry within the range; -1 when not on an entry.
  int64_t Position();
  // The number of entries within the range.
  int64_t Count();

 private:
  enum class TState { Bof, On, Eof };
  struct TBounds {
    int64_t begin = 0;  // position of the first entry in the range
    int64_t end = 0;    // position after the last one
  };
  TBounds Bounds();
  bool Land(int64_t position);  // take the path's entry when it lies in the range
  void Capture();
  // Finds the current entry again after the tree changed; true when it still exists.
  bool Resync();

  TIndexTree* tree_;
  TIndexTree::TPath path_;
  TState state_ = TState::Bof;
  std::vector<uint8_t> key_;
  int32_t recNo_ = 0;
  int64_t position_ = -1;  // position in the whole index
  uint64_t generation_ = 0;
  std::vector<uint8_t> low_, high_;
  TBounds bounds_;
  uint64_t boundsGeneration_ = 0;
};

}  // namespace quellor
