#include "store/engine/CursorOrder.h"

#include <algorithm>
#include <cctype>
#include <mutex>

#include "store/api/StoreError.h"
#include "store/engine/DataTable.h"
#include "store/format/ByteOrder.h"
#include "store/format/TableFormat.h"

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
  int32_t logicalId = SlotLogicalId(image->data());
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

void TCursorOrder::DropReadAhead() {
  ahead_.valid = false;
  ahead_.window = 0;
}

const uint8_t* TCursorOrder::Buffered(int32_t slot) {
  if (!ahead_.valid) return nullptr;
  if (ahead_.stamp != table_.ChangeCount()) {
    DropReadAhead();
    return nullptr;
  }
  const size_t n = ahead_.slots.size();
  const size_t size = static_cast<size_t>(table_.Data().RecordSize());
  // A step asks for the entry after the last one found, and then once more for the same one
  // (the order finds it, the cursor shows it): both are looked at first.
  const size_t from = ahead_.next == 0 ? 0 : ahead_.next - 1;
  for (size_t k = 0; k < n; ++k) {
    const size_t i = (from + k) % n;
    if (ahead_.slots[i] != slot) continue;
    ahead_.next = i + 1;
    return ahead_.images.data() + i * size;
  }
  return nullptr;
}

bool TCursorOrder::Record(int32_t slot, std::vector<uint8_t>& image) {
  return table_.Reading([&] {
    // Looked up inside a reading operation: with StrictChangeDetection that compares the
    // counters first, and a change found drops the buffer.
    const uint8_t* buffered = Buffered(slot);
    if (!buffered) return false;
    table_.Data().CheckImage(slot, buffered);
    image.assign(buffered, buffered + table_.Data().RecordSize());
    return true;
  });
}

int32_t TCursorOrder::Result(bool readAhead) {
  seenGeneration_ = tree_->Generation();
  if (!cursor_->OnEntry()) return 0;
  const int32_t slot = cursor_->RecNo();
  // The record an entry leads to must be active and carry the entry's key; anything else is
  // a damaged index, never a record to show in its place.
  TDataFile& data = table_.Data();
  if (slot < 1 || slot > data.SlotCount())
    throw EStoreEngineError(StoreCode::IndexPagesCorrupt, {table_.Name()});
  const uint8_t* image = Buffered(slot);
  if (!image && readAhead) {
    // The records of this entry and the next ones in one go; entries that lead outside the
    // file end the window (the step that reaches one reports it).
    const size_t window = std::clamp<size_t>(ahead_.window * 2, 8, 64);
    DropReadAhead();
    ahead_.slots.resize(window);
    size_t n = cursor_->PeekRecNos(ahead_.slots.data(), window);
    for (size_t i = 0; i < n; ++i)
      if (ahead_.slots[i] < 1 || ahead_.slots[i] > data.SlotCount()) n = i;
    if (n > 1 && ahead_.slots[0] == slot) {
      ahead_.slots.resize(n);
      ahead_.images.resize(n * static_cast<size_t>(data.RecordSize()));
      data.ReadSlots(ahead_.slots.data(), n, ahead_.images.data());
      // Taken after the reads: a change they found has been noted already.
      ahead_.stamp = table_.ChangeCount();
      ahead_.next = 0;
      ahead_.window = window;
      ahead_.valid = true;
      image = Buffered(slot);
    }
  }
  if (image)
    data.CheckImage(slot, image);
  else
    image = data.ReadSlot(slot);
  const int32_t logicalId = SlotLogicalId(image);
  if (keyed_)
    tree_->Layout().BuildKeyInto(image, data.RecordSize(), logicalId, table_.Name(), stepKey_);
  else
    stepKey_ = TKeyLayout::SysDeletedKey(false, logicalId);
  if (!SlotActive(image) || stepKey_ != cursor_->Key())
    throw EStoreEngineError(StoreCode::IndexPagesCorrupt, {table_.Name()});
  return slot;
}

int32_t TCursorOrder::First() {
  return table_.Reading([&] {
    Resolve();
    cursor_->First();
    return walkSlot_ = Result();
  });
}

int32_t TCursorOrder::Last() {
  return table_.Reading([&] {
    Resolve();
    walkSlot_ = 0;
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
    // A step from where First or the last Next left the order is a walk: it reads ahead.
    const bool walking = slot == walkSlot_;
    walkSlot_ = 0;
    if (Locate(slot, image)) cursor_->Next();
    return walkSlot_ = Result(walking);
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
    const int32_t slot = Result();
    if (!found && keyed_) {
      // A key that is not there: the entry before its place is checked against its record as
      // well, since a damaged entry on either side of the place could be the one looked for.
      if (cursor_->Prior()) Result();
      cursor_->Next();
      Result();
    }
    return slot;
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
