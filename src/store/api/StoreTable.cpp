// The front end's table cursor (TStoreTable, StoreTb.h): opening and closing it on the engine's
// shared table, telling its listeners, moving through the records in the order of its index
// (through the filters), bookmarks, and editing: append, edit, post, cancel, delete, refresh.
// Its filters, indexes and ranges are StoreTableFilters.cpp and StoreTableIndexes.cpp; the
// operations on the table as a whole StoreTableMaint.cpp and StoreRestructure.cpp.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "store/api/StoreTb.h"
#include "store/api/StoreTbSupport.h"
#include "store/engine/CursorOrder.h"
#include "store/engine/DataSession.h"
#include "store/expr/ExprFilter.h"
#include "store/format/AsciiText.h"
#include "store/format/FieldValue.h"

namespace quellor {

// ---- Table: opening and closing ---------------------------------------------------------------

TStoreTable::TStoreTable(TStoreSession& session) : TStoreDBDataSet(session) {}

TStoreTable::~TStoreTable() {
  try {
    Close();
  } catch (...) {
  }
  if (master_) {
    master_->RemoveListener(&masterLink_);
    std::erase(master_->details_, this);
  }
  for (TStoreTable* detail : details_) detail->master_ = nullptr;
}

void TStoreTable::CheckActive() const {
  if (!table_) throw EDatabaseError(DatasetText::ClosedDataset);
}

void TStoreTable::CheckWritable() const {
  CheckActive();
  if (ReadOnly()) throw EDatabaseError(DatasetText::ReadOnly);
}

void TStoreTable::SetDatabaseName(const std::string& name) {
  if (table_) throw EDatabaseError(DatasetText::OpenDataset);
  databaseName_ = name;
}
void TStoreTable::SetTableName(const std::string& name) {
  if (table_) throw EDatabaseError(DatasetText::OpenDataset);
  tableName_ = name;
}
void TStoreTable::SetInMemory(bool on) {
  if (table_) throw EDatabaseError(DatasetText::OpenDataset);
  inMemory_ = on;
}
void TStoreTable::SetExclusive(bool on) {
  if (table_) throw EDatabaseError(DatasetText::OpenDataset);
  exclusive_ = on;
}
bool TStoreTable::ReadOnly() const {
  return readOnly_ || (table_ && table_->ReadOnlyFiles());
}

void TStoreTable::SetReadOnly(bool on) {
  if (table_) throw EDatabaseError(DatasetText::OpenDataset);
  readOnly_ = on;
}

std::shared_ptr<TDataDirectory> TStoreTable::Directory() {
  if (inMemory_) return session_.FolderConnection("", true);
  if (TStoreDatabase* db = session_.FindDatabase(databaseName_)) return db->DataDirectory();
  // A name that no database carries names the folder itself (or the in-memory database).
  if (AsciiLower(TrimBlanks(databaseName_)) == "memory") return session_.FolderConnection("", true);
  const std::string universal = UniversalFolder(databaseName_);
  if (universal.empty()) throw EStoreEngineError(StoreCode::InvalidPath, {tableName_});
  return session_.FolderConnection(universal, false);
}

void TStoreTable::Open() {
  if (table_) return;
  if (TrimBlanks(tableName_).empty()) throw EDatabaseError(DatasetText::MissingTableName);
  Fire(BeforeOpen);
  try {
    directory_ = Directory();
    table_ = directory_->OpenTable(tableName_, exclusive_);
  } catch (...) {
    directory_.reset();
    ReleaseUnusedDatabase();
    throw;
  }
  if (!inMemory_) AttachDatabase();
  fields_.clear();
  const auto& descs = table_->Fields();
  for (size_t i = 0; i < descs.size(); ++i) {
    TFieldType kind = KindOfStoreField(descs[i]);
    if (kind != TFieldType::Unknown)
      fields_.push_back(std::make_unique<TStoreField>(*this, i, descs[i], kind));
  }
  state_ = TDataSetState::Browse;
  try {
    order_ = std::make_unique<TCursorOrder>(*table_);
    order_->SelectIndex(indexFieldNames_.empty() ? indexName_
                                                 : IndexNameForFields(indexFieldNames_));
    if (!BlankFilter(filterText_)) {
      if (FilterCount() >= kMaxFilters)
        throw EStoreEngineError(StoreCode::TooManyFilters, {tableName_});
      exprFilter_ = CompileFilter(filterText_, filterOptions_);
    }
    ApplyMasterRange();
    First();
  } catch (...) {
    Close();
    throw;
  }
  Notify(TDataEvent::ActiveChanged);
  Fire(AfterOpen);
}

void TStoreTable::Close() {
  if (!table_) return;
  Fire(BeforeClose);
  ReleaseRecordLock();
  pendingBlobs_.clear();
  blobCache_.clear();
  fields_.clear();
  order_.reset();
  exprFilter_.reset();
  DropPassing();
  auto table = std::move(table_);
  table_.reset();
  state_ = TDataSetState::Inactive;
  slot_ = 0;
  bof_ = eof_ = true;
  shown_.clear();
  buffer_.clear();
  table.reset();  // the last user writes the caches and closes the files
  directory_.reset();
  DetachDatabase();
  Notify(TDataEvent::ActiveChanged);
  Fire(AfterClose);
}

void TStoreTable::AddListener(TDataSetListener* listener) {
  if (std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end())
    listeners_.push_back(listener);
}

void TStoreTable::RemoveListener(TDataSetListener* listener) {
  listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

void TStoreTable::EnableControls() {
  if (controlsDisabled_ > 0 && --controlsDisabled_ == 0) Notify(TDataEvent::RecordChanged);
}

void TStoreTable::Notify(TDataEvent event, int info) {
  if (controlsDisabled_ > 0) return;
  // A listener may remove itself (or another) while it is told; work on a copy.
  std::vector<TDataSetListener*> listeners = listeners_;
  for (TDataSetListener* l : listeners)
    if (std::find(listeners_.begin(), listeners_.end(), l) != listeners_.end())
      l->DataSetEvent(event, info);
}

bool TStoreTable::RunWithErrorEvent(const TDataSetErrorEvent& handler,
                                    const std::function<void()>& op) {
  for (;;) {
    try {
      op();
      return true;
    } catch (const std::exception& e) {
      if (!handler) throw;
      TDataAction action = TDataAction::Fail;
      handler(*this, e, action);
      if (action == TDataAction::Retry) continue;
      if (action == TDataAction::Abort) return false;
      throw;
    }
  }
}

void TStoreTable::ReleaseRecordLock() {
  if (lockedSlot_ && table_) {
    try {
      table_->UnlockRecord(lockedSlot_, this);
    } catch (...) {
    }
  }
  lockedSlot_ = 0;
}

// ---- Table: navigation ------------------------------------------------------------------------

const uint8_t* TStoreTable::CurrentImage() const {
  if (candidate_) return candidate_->data();
  if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert) return buffer_.data();
  if (slot_ && !shown_.empty()) return shown_.data();
  return nullptr;
}

int32_t TStoreTable::Seek(int32_t from, bool forward) {
  TCursorOrder& order = *order_;
  // The move starts from the record as this cursor showed it, wherever the index put it since.
  const std::vector<uint8_t>* image = from == slot_ && !shown_.empty() ? &shown_ : nullptr;
  int32_t slot = from == 0 ? (forward ? order.First() : order.Last())
                           : (forward ? order.Next(from, image) : order.Prior(from, image));
  while (slot && !Accept(slot))
    slot = forward ? order.Next(slot, nullptr) : order.Prior(slot, nullptr);
  return slot;
}

void TStoreTable::SetCurrent(int32_t slot) {
  // A walk's record usually comes from the order's read-ahead.
  if (!order_ || !order_->Record(slot, shown_)) shown_ = table_->ReadRecord(slot);
  slot_ = slot;
  blobCache_.clear();
  Fire(OnCalcFields);
  Notify(TDataEvent::RecordChanged);
  if (AfterScroll) AfterScroll(*this);
}

void TStoreTable::ClearCurrent() {
  slot_ = 0;
  shown_.clear();
  blobCache_.clear();
  Notify(TDataEvent::RecordChanged);
}

void TStoreTable::CheckBrowseMode() {
  CheckActive();
  if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert) Post();
}

void TStoreTable::First() {
  CheckBrowseMode();
  Fire(BeforeScroll);
  int32_t slot = Seek(0, true);
  if (slot) {
    SetCurrent(slot);
    eof_ = false;
  } else {
    ClearCurrent();
    eof_ = true;
  }
  bof_ = true;
}

void TStoreTable::Last() {
  CheckBrowseMode();
  Fire(BeforeScroll);
  int32_t slot = Seek(0, false);
  if (slot) {
    SetCurrent(slot);
    bof_ = false;
  } else {
    ClearCurrent();
    bof_ = true;
  }
  eof_ = true;
}

void TStoreTable::Next() {
  CheckBrowseMode();
  Fire(BeforeScroll);
  int32_t slot = slot_ ? Seek(slot_, true) : 0;
  if (slot) {
    SetCurrent(slot);
    bof_ = eof_ = false;
  } else {
    eof_ = true;
  }
}

void TStoreTable::Prior() {
  CheckBrowseMode();
  Fire(BeforeScroll);
  int32_t slot = slot_ ? Seek(slot_, false) : 0;
  if (slot) {
    SetCurrent(slot);
    bof_ = eof_ = false;
  } else {
    bof_ = true;
  }
}

int TStoreTable::MoveBy(int distance) {
  int moved = 0;
  while (distance > 0 && !eof_) {
    Next();
    if (!eof_) ++moved;
    --distance;
  }
  while (distance < 0 && !bof_) {
    Prior();
    if (!bof_) --moved;
    ++distance;
  }
  return moved;
}

bool TStoreTable::IsEmpty() {
  CheckActive();
  return slot_ == 0 && state_ != TDataSetState::Insert;
}

int TStoreTable::RecordCount() {
  CheckActive();
  if (!FilterActive()) {
    // Counts come from the index: the header's count, or one descent for a range.
    if (!order_->HasRange()) return table_->RecordCount();
    return static_cast<int>(order_->Count());
  }
  EnsurePassing();
  // The expression alone over the whole table: the size of its record set.
  if (PassingFresh() && !OnFilterRecord && recordFilters_.empty() && !order_->HasRange())
    return static_cast<int>(passing_->Count());
  int count = 0;
  for (int32_t slot = Seek(0, true); slot; slot = Seek(slot, true)) ++count;
  return count;
}

int TStoreTable::RecNo() {
  CheckActive();
  if (!slot_ || state_ == TDataSetState::Insert) return 0;
  if (!FilterActive()) return static_cast<int>(order_->Position(slot_, &shown_) + 1);
  EnsurePassing();
  int position = 0;
  for (int32_t slot = Seek(0, true); slot; slot = Seek(slot, true)) {
    ++position;
    if (slot == slot_) return position;
  }
  return 0;
}

void TStoreTable::SetRecNo(int recNo) {
  CheckBrowseMode();
  if (recNo < 1) return;
  if (FilterActive()) {
    EnsurePassing();
    First();
    MoveBy(recNo - 1);
    return;
  }
  int32_t slot = order_->GoTo(recNo - 1);
  if (!slot) return;
  SetCurrent(slot);
  bof_ = eof_ = false;
}

TBookmark TStoreTable::GetBookmark() const {
  if (!table_ || !slot_ || shown_.size() < kRecordHeaderSize) return {};
  return TBookmark{slot_, SlotLogicalId(shown_.data())};
}

uint64_t TStoreTable::ChangeCount() const {
  return table_ ? table_->ChangeCount() : 0;
}

void TStoreTable::GotoBookmark(const TBookmark& bookmark) {
  CheckBrowseMode();
  if (bookmark.slot < 1 || bookmark.slot > table_->Data().SlotCount())
    throw EStoreEngineError(StoreCode::RecordNotFound, {tableName_});
  std::vector<uint8_t> image = table_->ReadRecord(bookmark.slot);
  if (!SlotActive(image.data()) || SlotLogicalId(image.data()) != bookmark.logicalId)
    throw EStoreEngineError(StoreCode::RecordNotFound, {tableName_});
  SetCurrent(bookmark.slot);
  bof_ = eof_ = false;
}

// ---- Table: editing ---------------------------------------------------------------------------

void TStoreTable::Append() {
  CheckWritable();
  CheckBrowseMode();
  Fire(BeforeInsert);
  buffer_.assign(static_cast<size_t>(table_->Data().RecordSize()), 0);
  pendingBlobs_.clear();
  const auto& descs = table_->Fields();
  const bool copy = copyOnAppend_ && slot_ && !shown_.empty();
  if (copy) {
    // The current record's values, field by field: the record header and the auto-increment
    // value are the new record's own, and a BLOB value is copied as a value (the reference in
    // the record would share the old record's blocks).
    for (size_t i = 0; i < descs.size(); ++i) {
      const TFieldDesc& f = descs[i];
      if (f.IsAutoInc() || f.noStorage || FieldIsNull(shown_.data(), f)) continue;
      if (f.type == TStoreFieldType::Blob) {
        pendingBlobs_[i] = BlobValue(i);
        continue;
      }
      const int from = ValueOffset(f) - 1;  // the null-flag byte, then the value
      std::memcpy(buffer_.data() + from, shown_.data() + from,
                  static_cast<size_t>(ValueWidth(f)) + 1);
    }
  }
  for (size_t i = 0; i < descs.size() && !copy; ++i) {
    const TFieldDesc& f = descs[i];
    if (f.defaultValue.empty() || f.IsAutoInc() || f.noStorage) continue;
    if (f.type == TStoreFieldType::Blob) {
      pendingBlobs_[i] = f.defaultValue;
    } else if (PutTextValue(buffer_.data() + ValueOffset(f), f, f.defaultValue)) {
      MarkFieldSet(buffer_.data(), f);
    }
  }
  slotBeforeInsert_ = slot_;
  state_ = TDataSetState::Insert;
  blobCache_.clear();
  if (OnNewRecord) OnNewRecord(*this);
  Notify(TDataEvent::StateChanged);
  Notify(TDataEvent::RecordChanged);
  Fire(AfterInsert);
}

void TStoreTable::Edit() {
  CheckWritable();
  if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert) return;
  Fire(BeforeEdit);
  bool done = RunWithErrorEvent(OnEditError, [this] {
    // Without a current record: before the first one, after the last one, or none at all.
    if (!slot_) {
      if (bof_ && !eof_) throw EStoreEngineError(StoreCode::BOF, {tableName_});
      if (eof_ && !bof_) throw EStoreEngineError(StoreCode::EOF_, {tableName_});
      throw EStoreEngineError(StoreCode::NoCurrentRecord, {tableName_});
    }
    recordHolder_.clear();
    try {
      table_->LockRecord(slot_, this, editLockRetries_);
    } catch (const EStoreEngineError& e) {
      if (e.ErrorCode() == StoreCode::RecordLocked) recordHolder_ = table_->RecordHolder(slot_);
      throw;
    }
    lockedSlot_ = slot_;
    try {
      table_->CheckUnchanged(slot_, shown_);
    } catch (...) {
      ReleaseRecordLock();
      throw;
    }
    table_->NoteHolder(slot_);
  });
  if (!done) return;
  buffer_ = shown_;
  pendingBlobs_.clear();
  state_ = TDataSetState::Edit;
  Notify(TDataEvent::StateChanged);
  Fire(AfterEdit);
}

bool TStoreTable::TryEdit() {
  editLockRetries_ = 0;
  try {
    Edit();
  } catch (const EStoreEngineError& e) {
    editLockRetries_ = -1;
    if (e.ErrorCode() == StoreCode::RecordLocked) return false;
    throw;
  } catch (...) {
    editLockRetries_ = -1;
    throw;
  }
  editLockRetries_ = -1;
  return state_ == TDataSetState::Edit || state_ == TDataSetState::Insert;
}

void TStoreTable::Post() {
  CheckActive();
  if (state_ == TDataSetState::Browse) return;
  Notify(TDataEvent::UpdateRecord);
  if (BeforePost) BeforePost(*this);
  std::vector<uint8_t> image;  // the buffer stays as it was if the post fails
  int32_t slot = 0;
  const int32_t givenId = std::exchange(givenLogicalId_, 0);
  if (!RunWithErrorEvent(OnPostError, [&] {
        image = buffer_;
        if (state_ == TDataSetState::Insert)
          slot = table_->Insert(image, pendingBlobs_, givenId);
        else
          table_->Update(slot_, shown_, image, pendingBlobs_, givenId);
      }))
    return;
  if (state_ == TDataSetState::Insert) {
    state_ = TDataSetState::Browse;
    pendingBlobs_.clear();
    SetCurrent(slot);
    bof_ = eof_ = false;
  } else {
    ReleaseRecordLock();
    state_ = TDataSetState::Browse;
    pendingBlobs_.clear();
    SetCurrent(slot_);
  }
  Notify(TDataEvent::StateChanged);
  if (AfterPost) AfterPost(*this);
}

void TStoreTable::Cancel() {
  CheckActive();
  if (state_ == TDataSetState::Browse) return;
  Fire(BeforeCancel);
  bool inserting = state_ == TDataSetState::Insert;
  ReleaseRecordLock();
  state_ = TDataSetState::Browse;
  pendingBlobs_.clear();
  buffer_.clear();
  blobCache_.clear();
  if (inserting && slotBeforeInsert_ && slotBeforeInsert_ <= table_->Data().SlotCount())
    slot_ = slotBeforeInsert_;
  Notify(TDataEvent::StateChanged);
  Notify(TDataEvent::RecordChanged);
  Fire(AfterCancel);
}

void TStoreTable::Delete() {
  CheckWritable();
  if (state_ == TDataSetState::Insert) {
    Cancel();
    return;
  }
  if (state_ == TDataSetState::Edit) Cancel();
  if (!slot_) throw EStoreEngineError(StoreCode::NoCurrentRecord, {tableName_});
  Fire(BeforeDelete);
  // The record is locked inside the table's write locks and let go after them.
  if (!RunWithErrorEvent(OnDeleteError, [this] { table_->Delete(slot_, shown_, this); })) return;
  int32_t deleted = slot_;
  int32_t next = Seek(deleted, true);
  if (next) {
    SetCurrent(next);
    bof_ = eof_ = false;
    Fire(AfterDelete);
    return;
  }
  int32_t prior = Seek(deleted, false);
  if (prior) {
    SetCurrent(prior);
    bof_ = false;
  } else {
    ClearCurrent();
    bof_ = true;
  }
  eof_ = true;
  Fire(AfterDelete);
}

void TStoreTable::Refresh() {
  CheckBrowseMode();
  table_->DetectChanges();
  if (!slot_) {
    First();
    return;
  }
  std::vector<uint8_t> image;
  bool present = slot_ <= table_->Data().SlotCount();
  if (present) {
    image = table_->ReadRecord(slot_);
    present = SlotActive(image.data()) && Accept(slot_);
  }
  if (present) {
    SetCurrent(slot_);
    return;
  }
  int32_t next = Seek(slot_, true);
  if (next) {
    SetCurrent(next);
    bof_ = eof_ = false;
  } else {
    Last();
  }
}

void TStoreTable::FlushToDisk() {
  CheckActive();
  table_->FlushToDisk();
}

}  // namespace quellor
