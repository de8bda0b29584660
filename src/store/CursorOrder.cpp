#include "store/CursorOrder.h"

#include <algorithm>
#include <cctype>
#include <mutex>

#include "store/ByteOrder.h"
#include "store/DataTable.h"
#include "store/StoreError.h"

namespace quellor {

namespace {

std::string TrimBlanks(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

bool IsPrimaryName(const std::string& name) {
  std::string n = TrimBlanks(name);
  if (n.empty()) return true;
  if (n.size() != 7) return false;
  for (size_t i = 0; i < n.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(n[i])) != "primary"[i]) return false;
  return true;
}

}  // namespace

TCursorOrder::TCursorOrder(TDataTable& table) : table_(table) {}

void TCursorOrder::SelectIndex(const std::string& name) {
  table_.Reading([&] {
    TIndexFile& file = table_.Indexes().File();
    TIndexTree* tree = file.FindIndex(name);
    if (!tree && !IsPrimaryName(name))
      throw EStoreEngineError(StoreCode::InvalidSecondaryIndexName, {name, table_.Name()});
    name_ = name;
    hasRange_ = false;
    low_.clear();
    high_.clear();
    generation_ = 0;
    Resolve();
  });
}

void TCursorOrder::Resolve() {
  TTableIndexes& indexes = table_.Indexes();
  if (cursor_ && generation_ == indexes.DefinitionsGeneration()) return;
  TIndexFile& file = indexes.File();
  TIndexTree* tree = file.FindIndex(name_);
  if (!tree && !IsPrimaryName(name_)) {
    // The index was removed (by a restructure elsewhere): the primary index's order remains.
    name_.clear();
    hasRange_ = false;
    tree = file.Primary();
  }
  keyed_ = tree != nullptr;
  tree_ = keyed_ ? tree : &file.SysDeleted();
  cursor_ = std::make_unique<TIndexCursor>(*tree_);
  if (!keyed_)
    cursor_->SetRange({0}, {0});  // the active records, in the order of insertion
  else if (hasRange_)
    cursor_->SetRange(low_, high_);
  generation_ = indexes.DefinitionsGeneration();
}

bool TCursorOrder::Keyed() {
  return table_.Reading([&] {
    Resolve();
    return keyed_;
  });
}

const TKeyLayout* TCursorOrder::Layout() {
  return table_.Reading([&] {
    Resolve();
    return keyed_ ? &tree_->Layout() : nullptr;
  });
}

void TCursorOrder::SetRange(std::vector<uint8_t> low, std::vector<uint8_t> high) {
  table_.Reading([&] {
    Resolve();
    if (!keyed_) return;
    low_ = std::move(low);
    high_ = std::move(high);
    hasRange_ = true;
    cursor_->SetRange(low_, high_);
  });
}

void TCursorOrder::ClearRange() {
  table_.Reading([&] {
    Resolve();
    hasRange_ = false;
    low_.clear();
    high_.clear();
    if (keyed_) cursor_->ClearRange();
  });
}

std::vector<uint8_t> TCursorOrder::KeyOf(int32_t slot, const std::vector<uint8_t>* image) {
  std::vector<uint8_t> read;
  if (!image) {
    read = table_.ReadRecord(slot);
    image = &read;
  }
  if (image->size() < static_cast<size_t>(table_.Data().RecordSize()))
    throw EStoreEngineError(StoreCode::RecordsCorrupt, {table_.Name()});
  int32_t logicalId = bytes::GetI32(image->data() + 5);
  if (!keyed_) return TKeyLayout::SysDeletedKey(false, logicalId);
  return tree_->Layout().BuildKey(image->data(), static_cast<int>(image->size()), logicalId,
                                  table_.Name());
}

bool TCursorOrder::Locate(int32_t slot, const std::vector<uint8_t>* image) {
  if (cursor_->OnEntry() && cursor_->RecNo() == slot) {
    // Nothing changed in the tree since the cursor stood there: its place is right (even when
    // a damaged entry carries another key than the record, the walk goes on from it).
    if (!image || tree_->Generation() == seenGeneration_) return true;
    if (cursor_->Key() == KeyOf(slot, image)) return true;
  }
  return cursor_->Seek(KeyOf(slot, image)) && cursor_->RecNo() == slot;
}

int32_t TCursorOrder::Result() {
  seenGeneration_ = tree_->Generation();
  if (!cursor_->OnEntry()) return 0;
  const int32_t slot = cursor_->RecNo();
  // The record an entry leads to must be active and carry the entry's key; anything else is
  // a damaged index, never a record to show in its place.
  TDataFile& data = table_.Data();
  if (slot < 1 || slot > data.SlotCount())
    throw EStoreEngineError(StoreCode::IndexPagesCorrupt, {table_.Name()});
  const uint8_t* image = data.ReadSlot(slot);
  const int32_t logicalId = bytes::GetI32(image + 5);
  std::vector<uint8_t> key =
      keyed_ ? tree_->Layout().BuildKey(image, data.RecordSize(), logicalId, table_.Name())
             : TKeyLayout::SysDeletedKey(false, logicalId);
  if (image[0] != 0 || key != cursor_->Key())
    throw EStoreEngineError(StoreCode::IndexPagesCorrupt, {table_.Name()});
  return slot;
}

int32_t TCursorOrder::First() {
  return table_.Reading([&] {
    Resolve();
    cursor_->First();
    return Result();
  });
}

int32_t TCursorOrder::Last() {
  return table_.Reading([&] {
    Resolve();
    cursor_->Last();
    return Result();
  });
}

int32_t TCursorOrder::Next(int32_t slot, const std::vector<uint8_t>* image) {
  return table_.Reading([&] {
    Resolve();
    if (slot == 0) return First();
    // When the record is no longer in the index, the cursor already stands on the entry that
    // follows where it was.
    if (Locate(slot, image)) cursor_->Next();
    return Result();
  });
}

int32_t TCursorOrder::Prior(int32_t slot, const std::vector<uint8_t>* image) {
  return table_.Reading([&] {
    Resolve();
    if (slot == 0) return Last();
    // On the record, or on the entry after where it was, or after the last: one step back.
    Locate(slot, image);
    cursor_->Prior();
    return Result();
  });
}

int64_t TCursorOrder::Position(int32_t slot, const std::vector<uint8_t>* image) {
  return table_.Reading([&] {
    Resolve();
    bool located = slot != 0 && Locate(slot, image);
    Result();
    return located ? cursor_->Position() : -1;
  });
}

int32_t TCursorOrder::GoTo(int64_t position) {
  return table_.Reading([&] {
    Resolve();
    cursor_->GoTo(position);
    return Result();
  });
}

int64_t TCursorOrder::Count() {
  return table_.Reading([&] {
    Resolve();
    return cursor_->Count();
  });
}

int32_t TCursorOrder::Seek(const std::vector<uint8_t>& key, bool& found) {
  return table_.Reading([&] {
    Resolve();
    found = cursor_->Seek(key);
    return Result();
  });
}

bool TCursorOrder::CurrentMatches(const std::vector<uint8_t>& key) {
  return table_.Reading([&] {
    Resolve();
    if (!cursor_->OnEntry()) return false;
    int n = static_cast<int>(std::min<size_t>(key.size(), static_cast<size_t>(tree_->KeySize())));
    return tree_->Comparer().Compare(cursor_->Key().data(), key.data(), n) == 0;
  });
}

}  // namespace quellor
