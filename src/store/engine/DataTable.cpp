#include "store/engine/DataTable.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <optional>

#include "store/api/StoreError.h"
#include "store/btree/IndexFile.h"
#include "store/engine/DataSession.h"
#include "store/format/AsciiText.h"
#include "store/format/ByteOrder.h"
#include "store/format/Cipher.h"
#include "store/format/FieldValue.h"
#include "store/format/KeyLayout.h"
#include "store/format/Language.h"
#include "store/os/FileList.h"
#include "store/os/PhysicalFile.h"

namespace quellor {

using namespace bytes;

TDataTable::TDataTable(TDataSession& session, const TTableFiles& files,
                       const std::string& tableName, bool exclusive)
    : session_(session), files_(files), tableName_(tableName), exclusive_(exclusive) {
  static std::atomic<uint64_t> openCount{0};
  openSequence_ = ++openCount;
  locks_ = std::make_unique<TTableLocks>(session, tableName, !exclusive && !files.inMemory);
  // Disk files are written through the journal; memory files directly.
  auto journaled = [&](std::shared_ptr<TAbstractFile> file) -> std::shared_ptr<TAbstractFile> {
    if (files.inMemory) return file;
    return std::make_shared<TJournaledFile>(std::move(file));
  };
  auto open = [&](TTableFile which) { return journaled(files.Open(which, exclusive, tableName)); };
  dataFile_ = open(TTableFile::Data);
  readOnlyFiles_ = dataFile_->IsReadOnly();
  bool indexExists = files.Exists(TTableFile::Index);
  if (indexExists) indexFile_ = open(TTableFile::Index);
  if (!files.inMemory && !files.journal.empty()) {
    journal_ = std::make_unique<TTableJournal>(files.journal, tableName);
    SetJournalFiles();
  }
  locks_->SetFiles(dataFile_, indexFile_, nullptr);
  ResolveJournalAtOpen();
  // Headers are read under a read slot of the index file: no writer is half way through
  // writing them then (a writer holds the whole range of the index file), and a writer that
  // was killed half way has been undone.
  auto readLocked = [this](const std::function<void()>& read) {
    for (;;) {
      std::optional<TLockScope> slot;
      if (indexFile_ && locks_->Active()) slot.emplace(*locks_, TLockRegion::ReadSlots);
      if (journal_ && journal_->Hot()) {
        if (slot) slot->Release();
        ResolveJournalAtOpen();
        continue;
      }
      read();
      if (slot) slot->Release();
      return;
    }
  };
  data_ = std::make_unique<TDataFile>(dataFile_, tableName);
  readLocked([this] { data_->Load(); });
  const TDataHeader& header = data_->Header();
  if (header.languageId != 0 && !LanguageIsValid(static_cast<uint16_t>(header.languageId),
                                                 static_cast<uint16_t>(header.sortId)))
    Fail(StoreCode::LanguageDriver);
  if (header.encrypted) session_.CheckPassword(header.password, tableName);

  // A missing index file is made anew: a primary index without key fields, no secondary
  // indexes, and every record slot entered into "Sys Deleted" with the active ones counted.
  const TIndexFileOptions options = TIndexFileOptions::ForTable(tableName, header);
  if (!indexExists) {
    indexFile_ = journaled(files.Create(TTableFile::Index, exclusive, tableName));
    CreateIndexFile(*indexFile_, data_->Fields(), nullptr, options);
    locks_->SetFiles(dataFile_, indexFile_, nullptr);
    SetJournalFiles();
  }
  readLocked([&] {
    data_->Reload();  // a writer may have come between the two headers
    indexes_ =
        std::make_unique<TTableIndexes>(indexFile_, data_->Fields(), options, data_->RecordSize());
  });
  auto writeLocked = [this](const std::function<void()>& write) {
    // Other programs may have the table open: the index file is written under the write locks.
    TWriteScope writeLocks(*this);
    Journaled(false, write);
    writeLocks.Release();
  };
  if (!indexExists) {
    writeLocked([this] {
      indexes_->FillSlots([this](const TSlotVisitor& visit) { VisitSlots(visit); });
      indexes_->Flush(false);
    });
  } else if (data_->SlotCount() > 0 && indexes_->File().SysDeleted().Empty() && !readOnlyFiles_) {
    // Every slot has an entry in "Sys Deleted": an empty one beside records is an index file
    // that was not kept in step with the data file. Its definitions are good; its trees are
    // built again from the records.
    writeLocked([this] {
      if (indexes_->Reload()) data_->Reload();
      if (!indexes_->File().SysDeleted().Empty()) return;  // another program rebuilt it
      indexes_->File().Rebuild([this](const TRecordVisitor& visit) { VisitRecords(visit); },
                               [this](const TSlotVisitor& visit) { VisitSlots(visit); });
      indexes_->Flush(false);
    });
  }

  if (header.blobFieldCount > 0) {
    blobFile_ = open(TTableFile::Blob);
    SetJournalFiles();
    blob_ = std::make_unique<TBlobFile>(blobFile_, tableName, data_->Header().BlobBlockSize(),
                                        data_->Header().encrypted);
    locks_->SetFiles(dataFile_, indexFile_, blobFile_);
    readLocked([this] {
      locks_->AcquireBlobSlot();
      blob_->Load();
    });
  }
  locks_->SetFiles(dataFile_, indexFile_, blobFile_);
  if (locks_->Active()) {
    data_->SetReadHook([this] { BeforeDiskRead(); });
    indexes_->File().SetReadHook([this] { BeforeDiskRead(); });
    if (blob_) blob_->SetReadHook([this] { BeforeBlobRead(); });
  }
}

TDataTable::~TDataTable() {
  // The last user's close writes what is still cached (nothing, unless a commit failed part
  // way); a failure cannot be reported here. Then every lock is let go.
  try {
    std::lock_guard lock(mutex_);
    if (inTransaction_) Rollback();  // never commit what nobody committed
    if (data_ && !readOnlyFiles_ && HasUnwrittenChanges()) WriteLeftChanges(false);
  } catch (...) {
  }
  locks_->ReleaseAll();
}

void TDataTable::Fail(uint16_t code) const {
  throw EStoreEngineError(code, {tableName_});
}

int32_t TDataTable::RecordCount() {
  return Reading([&] { return indexes_->RecordCount(); });
}

void TDataTable::VisitSlots(const TSlotVisitor& visit) {
  for (int32_t slot = 1; slot <= data_->SlotCount(); ++slot) {
    const uint8_t* image = data_->ReadSlot(slot);
    visit(!SlotActive(image), SlotLogicalId(image), slot);
  }
}

void TDataTable::VisitRecords(const TRecordVisitor& visit) {
  std::lock_guard lock(mutex_);
  const size_t size = static_cast<size_t>(data_->RecordSize());
  for (int32_t slot = 1; slot <= data_->SlotCount(); ++slot) {
    const uint8_t* image = data_->ReadSlot(slot);
    if (SlotActive(image)) visit(std::span<const uint8_t>(image, size), slot, SlotLogicalId(image));
  }
}

void TDataTable::AddIndex(const TIndexDesc& desc, bool primary,
                          const std::function<void(int record, int percent)>& progress) {
  std::lock_guard lock(mutex_);
  if (readOnlyFiles_) Fail(StoreCode::AccessDenied);
  if (!exclusive_) Fail(StoreCode::MustBeExclusive);
  // The records are handed to the tree straight from the record cache, one at a time: building
  // the tree touches only index pages, so each image stays valid while it is visited, and the
  // table is never held in memory as a whole (the table is open exclusively: no other program
  // changes the files meanwhile).
  Journaled(false, [&] {
    indexes_->AddIndex(desc, primary, [&](const TRecordVisitor& visit) {
      if (!progress) return VisitRecords(visit);
      const int64_t total = std::max<int32_t>(indexes_->RecordCount(), 1);
      int read = 0;
      VisitRecords([&](std::span<const uint8_t> record, int32_t recNo, int32_t logicalId) {
        visit(record, recNo, logicalId);
        ++read;
        progress(read, static_cast<int>(std::min<int64_t>(100, read * 100 / total)));
      });
    });
  });
}

void TDataTable::DeleteIndex(const std::string& name) {
  std::lock_guard lock(mutex_);
  if (readOnlyFiles_) Fail(StoreCode::AccessDenied);
  if (!exclusive_) Fail(StoreCode::MustBeExclusive);
  Journaled(false, [&] { indexes_->DeleteIndex(name); });
}

std::vector<uint8_t> TDataTable::ReadRecord(int32_t slot) {
  return Reading([&] {
    const uint8_t* image = data_->ReadSlot(slot);
    return std::vector<uint8_t>(image, image + data_->RecordSize());
  });
}

std::string TDataTable::ReadBlob(const uint8_t* image, const TFieldDesc& field) {
  return Reading([&] {
    if (field.type != TStoreFieldType::Blob || FieldIsNull(image, field)) return std::string();
    if (!blob_) Fail(StoreCode::BlobBlocksCorrupt);
    const uint8_t* v = image + ValueOffset(field);
    return blob_->ReadValue(GetI32(v), GetI32(v + 4));
  });
}

std::string TDataTable::ReadShownBlob(int32_t slot, const uint8_t* shown, const TFieldDesc& field) {
  return Reading([&] {
    try {
      return ReadBlob(shown, field);
    } catch (const EStoreEngineError& e) {
      if (e.ErrorCode() != StoreCode::RecordChanged) throw;
    }
    // The files were read anew for the failed read (the counters had moved): the slot now
    // holds the record as the other program left it.
    if (slot < 1 || slot > data_->SlotCount()) return std::string();
    const uint8_t* now = data_->ReadSlot(slot);
    if (!SlotActive(now) || SlotLogicalId(now) != SlotLogicalId(shown)) return std::string();
    return ReadBlob(now, field);
  });
}

void TDataTable::CheckValues(const std::vector<uint8_t>& image, const TBlobChanges& blobs) {
  const auto& fields = data_->Fields();
  for (size_t i = 0; i < fields.size(); ++i) {
    const TFieldDesc& f = fields[i];
    if (f.IsAutoInc() || f.noStorage) continue;
    bool isNull = FieldIsNull(image.data(), f);
    auto blob = blobs.find(i);
    if (blob != blobs.end()) isNull = blob->second.empty();
    if (f.required && isNull)
      throw EStoreEngineError(StoreCode::RequiredValue, {f.name, tableName_});
    if (isNull || f.type == TStoreFieldType::Blob) continue;
    if (f.minimum.empty() && f.maximum.empty()) continue;
    const uint8_t* value = image.data() + ValueOffset(f);
    std::vector<uint8_t> limit(std::max<size_t>(f.width, 16));
    if (!f.minimum.empty() && PutTextValue(limit.data(), f, f.minimum) &&
        CompareValues(value, limit.data(), f) < 0)
      throw EStoreEngineError(StoreCode::BelowMinimum, {f.name, tableName_});
    std::fill(limit.begin(), limit.end(), 0);
    if (!f.maximum.empty() && PutTextValue(limit.data(), f, f.maximum) &&
        CompareValues(value, limit.data(), f) > 0)
      throw EStoreEngineError(StoreCode::AboveMaximum, {f.name, tableName_});
  }
}

void TDataTable::WriteBlobs(std::vector<uint8_t>& image, const TBlobChanges& blobs) {
  const auto& fields = data_->Fields();
  for (const auto& [index, value] : blobs) {
    if (index >= fields.size() || fields[index].type != TStoreFieldType::Blob) continue;
    if (!blob_) Fail(StoreCode::BlobBlocksCorrupt);
    const TFieldDesc& f = fields[index];
    uint8_t* v = image.data() + ValueOffset(f);
    bool isNull = FieldIsNull(image.data(), f);
    int32_t first = isNull ? 0 : GetI32(v);
    int32_t oldId = isNull ? 0 : GetI32(v + 4);
    int32_t newId = data_->NextBlobId();
    blob_->WriteValue(first, oldId, newId, value);
    changeBlobBytes_ += static_cast<int64_t>(value.size());
    if (value.empty()) {
      ClearField(image.data(), f);
    } else {
      PutI32(v, first);
      PutI32(v + 4, newId);
      MarkFieldSet(image.data(), f);
    }
  }
}

void TDataTable::WriteChanges(bool flushOs) {
  // BLOB blocks before the records that point at them; every change moves the data file's
  // change counter on, so that other users notice it.
  const bool changed = data_->HasUnwrittenChanges();
  const bool indexChanged = indexes_->File().HasUnwrittenChanges();
  const std::array<int32_t, 3> before = CurrentCounters();
  if (blob_) blob_->Flush(false, flushOs);
  data_->Flush(changed, flushOs);
  indexes_->Flush(flushOs);
  // Each file's header was written once at most, and those with changes were written.
  const std::array<int32_t, 3> after = CurrentCounters();
  auto step = [&](size_t file) {
    return static_cast<uint32_t>(after[file]) - static_cast<uint32_t>(before[file]);
  };
  STORE_ASSERT(step(0) <= 1 && step(1) <= 1 && step(2) <= 1);
  STORE_ASSERT((!changed || step(0) == 1) && step(1) == (indexChanged ? 1u : 0u));
}

// ---- write locks --------------------------------------------------------------------------

TDataTable::TWriteScope::TWriteScope(TDataTable& table)
    : table_(table),
      data_(*table.locks_, TLockRegion::DataWrite),
      range_(*table.locks_, TLockRegion::WriteRange) {
  // A writer killed half way is undone before anything is read or written.
  resolved_ = table.ResolveJournal();
}

TDataTable::TWriteScope::~TWriteScope() {
  // A change that failed: the files may have been written by it, or will be by others.
  if (!released_ && table_.journal_ && !table_.inTransaction_) table_.journal_->DistrustKnown();
}

void TDataTable::TWriteScope::Release() {
  released_ = true;
  // From here on other programs may write: what this table wrote last is no longer known to
  // be what the files hold (a transaction goes on holding the data byte).
  if (table_.journal_ && !table_.inTransaction_) table_.journal_->DistrustKnown();
  if (table_.KeepsWriteRange())
    range_.Keep();
  else
    range_.Release();
  data_.Release();
}

void TDataTable::SetJournalFiles() {
  if (!journal_) return;
  auto journaled = [](const std::shared_ptr<TAbstractFile>& f) {
    return dynamic_cast<TJournaledFile*>(f.get());
  };
  journal_->SetFiles(journaled(dataFile_), journaled(indexFile_), journaled(blobFile_));
}

bool TDataTable::ResolveJournal() {
  // What this table's own running transaction spilled is not a killed writer's.
  if (!journal_ || !session_.journalChanges || journal_->Spilled() || !journal_->Hot())
    return false;
  if (readOnlyFiles_) Fail(StoreCode::AccessDenied);
  journal_->Resolve();
  // Other programs' caches hold the state before the killed change, which is what the files
  // hold again; this table's may hold what its own failed write left.
  discardAll_ = true;
  NoteChange();
  return true;
}

void TDataTable::ResolveJournalAtOpen() {
  if (!journal_ || !journal_->Hot()) return;
  if (readOnlyFiles_) Fail(StoreCode::AccessDenied);
  auto base = [](const std::shared_ptr<TAbstractFile>& f) -> TAbstractFile* {
    auto* j = dynamic_cast<TJournaledFile*>(f.get());
    return j ? &j->Base() : f.get();
  };
  // The BLOB file is not open yet: it is opened for this alone when it exists.
  std::shared_ptr<TAbstractFile> blob = blobFile_;
  if (!blob && files_.Exists(TTableFile::Blob))
    blob = files_.Open(TTableFile::Blob, exclusive_, tableName_);
  TLockScope data(*locks_, TLockRegion::DataWrite);
  std::optional<TLockScope> range;
  if (indexFile_) range.emplace(*locks_, TLockRegion::WriteRange);
  journal_->Resolve(
      {base(dataFile_), indexFile_ ? base(indexFile_) : nullptr, blob ? base(blob) : nullptr});
  if (range) range->Release();
  data.Release();
}

void TDataTable::AcquireReadSlots() {
  for (;;) {
    locks_->AcquireReadSlots();
    if (!journal_ || !session_.journalChanges || journal_->Spilled() || !journal_->Hot()) return;
    // A writer was killed half way: undone under the write locks, then read.
    locks_->ReleaseReadSlots();
    TWriteScope(*this).Release();
  }
}

void TDataTable::DiscardAll() {
  discardAll_ = false;
  auto quietly = [this](const std::function<void()>& discard) {
    try {
      discard();
    } catch (...) {
      discardAll_ = true;  // tried again before the next use
    }
  };
  if (indexes_) quietly([this] { indexes_->Discard(); });
  if (data_) quietly([this] { data_->Discard(); });
  if (blob_) quietly([this] { blob_->Discard(); });
  NoteChange();
}

std::array<int32_t, 3> TDataTable::CurrentCounters() const {
  return {data_->Header().changeCounter, indexes_->File().ChangeCounter(),
          blob_ ? blob_->Header().changeCounter : 0};
}

void TDataTable::TrustKnownIfUnchanged() {
  // Called under the write locks right after the counters were compared with the files and
  // found as cached: nobody wrote the files since this table's last written change when they
  // are still the ones that change left.
  if (journal_ && knownCountersSet_ && CurrentCounters() == knownCounters_) journal_->TrustKnown();
}

void TDataTable::Journaled(bool durable, const std::function<void()>& write) {
  knownCountersSet_ = false;
  if (!journal_ || !session_.journalChanges) {
    write();
    return;
  }
  // Once a transaction has spilled, its commit writes in chunks as its spills do.
  journal_->Begin(durable, journal_->Spilled() ? SpillChunkBytes() : 0);
  try {
    write();
  } catch (...) {
    // The caches may take what they handed over as written.
    bool held = journal_->HeldAnything();
    journal_->Abort();
    if (held) {
      DiscardAll();
      discardAll_ = true;
    }
    throw;
  }
  try {
    journal_->Commit(durable);
  } catch (...) {
    DiscardAll();
    discardAll_ = true;
    throw;
  }
  knownCounters_ = CurrentCounters();
  knownCountersSet_ = true;
}

void TDataTable::Change(const std::function<void()>& body) {
  std::lock_guard lock(mutex_);
  if (readOnlyFiles_) Fail(StoreCode::AccessDenied);
  if (inTransaction_ && txLost_) Fail(StoreCode::WriteError);
  // In a transaction the data write lock keeps every other writer out and the changes stay in
  // the caches: nothing more to take, nothing to re-read.
  std::optional<TWriteScope> writeLocks;
  if (!inTransaction_) {
    writeLocks.emplace(*this);
    if (!DropStaleCaches()) TrustKnownIfUnchanged();
  }
  NoteChange();
  changeBlobBytes_ = 0;
  auto dataSnapshot = data_->Snapshot();
  std::optional<TBlobFile::TSnapshot> blobSnapshot;
  if (blob_) blobSnapshot = blob_->Snapshot();
  indexes_->BeginChange();
  bool writing = false;
  try {
    body();
    writing = !inTransaction_;
    if (writing) WriteChangesJournaled(session_.forceBufferFlush);
    indexes_->EndChange();
    data_->EndChange();
  } catch (...) {
    data_->Restore(dataSnapshot);
    if (blob_) blob_->Restore(*blobSnapshot);
    indexes_->AbortChange();
    // A failed write left the files as before (Journaled): the caches go with the change.
    if (writing && discardAll_) DiscardAll();
    throw;
  }
  if (writeLocks) writeLocks->Release();
  if (inTransaction_) NoteTransactionBytes(data_->RecordSize() + changeBlobBytes_);
}

int64_t TDataTable::SpillChunkBytes() const {
  return std::clamp<int64_t>(session_.transactionSpillBytes / 8, kIndexPageSize, int64_t{2} << 20);
}

void TDataTable::NoteTransactionBytes(int64_t bytes) {
  txUnspilled_ += bytes;
  // The changed index pages count as well: a transaction that changes keys all over a large
  // index holds a good part of it changed in memory.
  const int64_t held =
      txUnspilled_ + static_cast<int64_t>(indexes_->DirtyPageCount()) * kIndexPageSize;
  if (held < session_.transactionSpillBytes || !journal_ || !session_.journalChanges ||
      readOnlyFiles_)
    return;
  txUnspilled_ = 0;
  if (!journal_->Spilled()) {
    // From the first spill to its end the transaction keeps readers out. When they do not let
    // it in, the changes stay in the caches a while longer.
    try {
      locks_->AcquireWriteRange();
    } catch (const EStoreEngineError&) {
      return;
    }
  }
  try {
    journal_->Begin(session_.forceBufferFlush, SpillChunkBytes());
    try {
      WriteChanges(false);
    } catch (...) {
      journal_->Abort();
      throw;
    }
    journal_->Spill(session_.forceBufferFlush);
  } catch (...) {
    LoseTransaction();
    throw;
  }
}

void TDataTable::LoseTransaction() {
  txLost_ = true;
  try {
    journal_->RollBackSpilled();
  } catch (...) {
    // The journal stays: it is resolved under the write locks before anything is read again.
  }
  DiscardAll();
  discardAll_ = true;
}

void TDataTable::CheckUnchanged(int32_t slot, const std::vector<uint8_t>& shown) {
  std::lock_guard lock(mutex_);
  // Inside a change the counters were compared under the write locks already.
  if (!locks_->HoldsWriteRange()) DetectChanges();
  Reading([&] { CheckUnchangedCached(slot, shown); });
}

void TDataTable::CheckUnchangedCached(int32_t slot, const std::vector<uint8_t>& shown) {
  if (slot < 1 || slot > data_->SlotCount()) Fail(StoreCode::RecordChanged);
  const uint8_t* image = data_->ReadSlot(slot);
  if (!SlotActive(image) || shown.size() != static_cast<size_t>(data_->RecordSize()) ||
      std::memcmp(image, shown.data(), shown.size()) != 0)
    Fail(StoreCode::RecordChanged);
}

void TDataTable::TakeGivenLogicalId(int32_t id, int32_t reusedId) {
  TIndexFile& file = indexes_->File();
  const bool live = file.SysDeleted().Find(TKeyLayout::SysDeletedKey(false, id).data()).has_value();
  const bool deleted =
      id != reusedId && file.SysDeleted().Find(TKeyLayout::SysDeletedKey(true, id).data());
  if (live || deleted) {
    std::string name = "Sys Deleted";
    for (const auto& f : data_->Fields())
      if (f.IsAutoInc()) name = f.name;
    throw EStoreEngineError(StoreCode::DuplicateKey, {name, tableName_});
  }
  int32_t& last = data_->EditHeader().lastLogicalId;
  if (last >= 0 && id > last) last = id;
}

int32_t TDataTable::NextFreeLogicalId() {
  // Ids are given out in rising order until the counter passes 2,147,483,647 and starts at 1
  // again (or a restructure set it lower): from then on the next id may still belong to a live
  // record, and is passed over. A live record holds every id passed, so the loop ends.
  TIndexTree& sysDeleted = indexes_->File().SysDeleted();
  for (int32_t tries = 0;; ++tries) {
    const int32_t id = data_->NextLogicalId();
    if (!sysDeleted.Find(TKeyLayout::SysDeletedKey(false, id).data())) return id;
    if (tries > data_->SlotCount()) Fail(StoreCode::IndexPagesCorrupt);
  }
}

int32_t TDataTable::Insert(std::vector<uint8_t>& image, const TBlobChanges& blobs,
                           int32_t givenLogicalId) {
  std::lock_guard lock(mutex_);
  int32_t slot = 0;
  TRecordLockScope record(*locks_, &image);
  Change([&] {
    image.resize(static_cast<size_t>(data_->RecordSize()));
    // A new record owns no BLOB blocks yet, whatever the buffer was copied from.
    for (const auto& f : data_->Fields())
      if (f.type == TStoreFieldType::Blob) ClearField(image.data(), f);
    CheckValues(image, blobs);
    bool reused = false;
    slot = data_->AllocateSlot(indexes_->PrimaryHasKeyFields(), reused);
    STORE_ASSERT(slot >= 1 && slot <= data_->SlotCount());
    const int32_t reusedId = reused ? SlotLogicalId(data_->ReadSlot(slot)) : 0;
    SetSlotDeletedFlag(image.data(), 0);
    SetSlotLink(image.data(), slot);
    if (givenLogicalId > 0) {
      TakeGivenLogicalId(givenLogicalId, reusedId);
      SetSlotLogicalId(image.data(), givenLogicalId);
    } else {
      SetSlotLogicalId(image.data(), NextFreeLogicalId());
    }
    // The entries go in with one descent per index, each unique one checked on its way
    // (a duplicate raises 9729 before the record lock; the change then undoes them). No
    // key holds a BLOB field, so the BLOB references written below do not touch them.
    indexes_->Insert(slot, image.data(), reusedId);
    // The new slot's record lock, inside the write locks: a program that still edits the
    // record it showed before that slot was freed is waited for (10258 in the end).
    record.Lock(slot);
    WriteBlobs(image, blobs);
    data_->WriteSlot(slot, image.data());
  });
  // After the write locks: the record lock (kept to the end of a transaction).
  record.Release();
  return slot;
}

void TDataTable::Update(int32_t slot, const std::vector<uint8_t>& shown,
                        std::vector<uint8_t>& image, const TBlobChanges& blobs,
                        int32_t givenLogicalId) {
  Change([&] {
    CheckUnchanged(slot, shown);
    std::vector<uint8_t> disk = ReadRecord(slot);
    image.resize(disk.size());
    std::memcpy(image.data(), disk.data(), kRecordHeaderSize);
    if (givenLogicalId > 0 && givenLogicalId != SlotLogicalId(disk.data())) {
      TakeGivenLogicalId(givenLogicalId, 0);
      SetSlotLogicalId(image.data(), givenLogicalId);
    }
    // BLOB references come from the disk; only changed values get new chains.
    for (const auto& f : data_->Fields())
      if (f.type == TStoreFieldType::Blob)
        std::memcpy(image.data() + f.offset, disk.data() + f.offset, f.width + 1u);
    CheckValues(image, blobs);
    indexes_->CheckUpdate(slot, disk.data(), image.data());
    WriteBlobs(image, blobs);
    indexes_->Update(slot, disk.data(), image.data());
    data_->WriteSlot(slot, image.data());
  });
}

void TDataTable::Delete(int32_t slot, const std::vector<uint8_t>& shown) {
  Change([&] { DeleteLocked(slot, shown); });
}

void TDataTable::Delete(int32_t slot, const std::vector<uint8_t>& shown, const void* cursor) {
  std::lock_guard lock(mutex_);
  TRecordLockScope record(*locks_, cursor);
  Change([&] {
    CheckUnchanged(slot, shown);
    // The record lock comes inside the write locks.
    record.Lock(slot);
    DeleteLocked(slot, shown);
  });
  record.Release();
}

void TDataTable::DeleteLocked(int32_t slot, const std::vector<uint8_t>& shown) {
  {
    CheckUnchanged(slot, shown);
    std::vector<uint8_t> image = ReadRecord(slot);
    indexes_->Delete(slot, image.data());
    for (const auto& f : data_->Fields()) {
      if (f.type != TStoreFieldType::Blob || FieldIsNull(image.data(), f) || !blob_) continue;
      const uint8_t* v = image.data() + ValueOffset(f);
      blob_->FreeValue(GetI32(v), GetI32(v + 4));
      ClearField(image.data(), f);
    }
    data_->FreeSlot(slot, image.data());
  }
}

void TDataTable::Empty() {
  std::lock_guard lock(mutex_);
  if (readOnlyFiles_) Fail(StoreCode::AccessDenied);
  NoteChange();
  TWriteScope writeLocks(*this);
  DropStaleCaches();
  const bool durable = session_.forceBufferFlush;
  Journaled(durable, [&] {
    data_->Empty();
    if (blob_) blob_->Empty();
    indexes_->Empty();
    if (durable) WriteChanges(true);
  });
  writeLocks.Release();
}

void TDataTable::FlushToDisk() {
  std::lock_guard lock(mutex_);
  if (readOnlyFiles_) return;
  if (inTransaction_) {
    // The changes of a transaction reach the files only at its commit.
    data_->File().Flush();
    return;
  }
  if (HasUnwrittenChanges()) {
    WriteLeftChanges(true);
    return;
  }
  TWriteScope writeLocks(*this);
  WriteChangesJournaled(true);
  writeLocks.Release();
}

bool TDataTable::HasUnwrittenChanges() const {
  // The BLOB file changes only together with the data file.
  return data_->HasUnwrittenChanges() || indexes_->File().HasUnwrittenChanges();
}

void TDataTable::WriteLeftChanges(bool durable) {
  TWriteScope writeLocks(*this);
  // Written only onto the files these changes were made on: after a resolved journal, or when
  // another program wrote the files since they were cached, they are stale and are dropped
  // (writing them would put old pages over the other program's change).
  if (writeLocks.ResolvedJournal() || (locks_->Active() && CountersChanged()))
    DiscardAll();
  else
    WriteChangesJournaled(durable);
  writeLocks.Release();
}

// ---- reading between programs -------------------------------------------------------------

bool TDataTable::CoordinatedReads() const {
  return locks_->Active() && !inTransaction_ && !locks_->HoldsWriteRange();
}

void TDataTable::EnterRead() {
  if (readDepth_ == 1 && session_.strictChangeDetection && CoordinatedReads()) {
    AcquireReadSlots();
    DropStaleCaches();
  }
}

void TDataTable::LeaveRead() {
  if (--readDepth_ > 0) return;
  readChecked_ = false;
  blobChecked_ = false;
  // What was read stands: a slot that cannot be let go is the close's to let go.
  locks_->ReleaseQuietly(TLockRegion::ReadSlots);
}

void TDataTable::BeforeDiskRead() {
  if (readDepth_ == 0 || readChecked_ || !CoordinatedReads()) return;
  // The first read from the files in this operation: keep writers out from here to its end,
  // and make sure the caches still belong to what the files hold.
  AcquireReadSlots();
  readChecked_ = true;
  if (discardAll_ || CountersChanged()) throw TStaleCaches{};
}

void TDataTable::BeforeBlobRead() {
  BeforeDiskRead();
  if (readDepth_ == 0 || blobChecked_ || !CoordinatedReads()) return;
  // BLOB blocks are read under the BLOB file's slot as well, and its counter is compared
  // once per operation before the first block comes from the file.
  locks_->AcquireBlobSlot();
  blobChecked_ = true;
  if (blob_->ChangedOnDisk()) throw TStaleCaches{};
}

bool TDataTable::CountersChanged() {
  // Every change of the BLOB file comes with one of the data file (the records hold the
  // values' ids and the header the last id given out), so the BLOB file's counter is compared
  // only when blocks are read from it (BeforeBlobRead) or the others moved (DropStaleCaches).
  return indexes_->File().ChangedOnDisk() || data_->ChangedOnDisk();
}

bool TDataTable::DropStaleCaches() {
  // Inside a reading operation the counters now stand compared for the rest of it. A change
  // calls this outside any: the mark must not outlive it, or the next reading operation would
  // read the files without the read slots and without comparing the counters, into caches
  // another program's later change has made stale.
  if (readDepth_ > 0) readChecked_ = true;
  if (discardAll_) {
    locks_->AcquireBlobSlot();  // the BLOB header is read again too (nothing for a writer)
    if (locks_->HoldsBlobSlot()) blobChecked_ = true;
    DiscardAll();
    return true;
  }
  if (!locks_->Active()) return false;
  bool indexChanged = indexes_->Reload();
  bool dataChanged = data_->Reload();
  // The index file changed alone (a writer that touched only it): the records go too.
  if (indexChanged && !dataChanged && !data_->HasUnwrittenChanges()) data_->Discard();
  // The BLOB file changes only together with the data file (see CountersChanged), so a
  // writer under the write range whose other two counters stand does not read it (a killed
  // writer's BLOB writes were undone when the range was taken); without the write range and
  // the read slots (a transaction's start), or once its slot is held, it is read anyway.
  bool blobChanged = false;
  const bool writer = locks_->HoldsWriteRange();
  if (blob_ &&
      (indexChanged || dataChanged || (!locks_->HoldsReadSlots() && !writer) || blobChecked_)) {
    locks_->AcquireBlobSlot();  // nothing when the read slots are not held (a writer)
    if (locks_->HoldsBlobSlot()) blobChecked_ = true;
    blobChanged = blob_->Reload();
  }
  if (indexChanged || dataChanged) NoteChange();
  return indexChanged || dataChanged || blobChanged;
}

void TDataTable::DetectChanges() {
  std::lock_guard lock(mutex_);
  if (!CoordinatedReads()) return;
  TReadScope scope(*this);
  AcquireReadSlots();
  DropStaleCaches();
}

// ---- record locks -------------------------------------------------------------------------

void TDataTable::LockRecord(int32_t slot, const void* cursor, int retries) {
  std::lock_guard lock(mutex_);
  locks_->LockRecord(slot, cursor, retries);
}

void TDataTable::NoteHolder(int32_t slot) {
  std::lock_guard lock(mutex_);
  locks_->NoteHolder(slot);
}

std::string TDataTable::RecordHolder(int32_t slot) {
  std::lock_guard lock(mutex_);
  return locks_->Holder(slot);
}

void TDataTable::UnlockRecord(int32_t slot, const void* cursor) {
  std::lock_guard lock(mutex_);
  locks_->UnlockRecord(slot, cursor);
}

bool TDataTable::RecordLocked(int32_t slot) {
  std::lock_guard lock(mutex_);
  return locks_->RecordLocked(slot);
}

// ---- transactions -------------------------------------------------------------------------

void TDataTable::BeginTransaction() {
  std::lock_guard lock(mutex_);
  if (inTransaction_) return;
  if (exclusive_ && !readOnlyFiles_) WriteChangesJournaled(false);
  if (locks_->Active()) {
    TLockScope data(*locks_, TLockRegion::DataWrite);
    if (journal_ && journal_->Hot()) {
      // A writer killed half way: undone under the whole write lock first.
      TLockScope range(*locks_, TLockRegion::WriteRange);
      ResolveJournal();
      range.Release();
    }
    {
      // No other writer can be at work now: the files are as the last one left them.
      TReadScope scope(*this);
      if (!DropStaleCaches()) TrustKnownIfUnchanged();
    }
    data.Keep();  // to the end of the transaction
  }
  locks_->SetKeepRecords(true);
  inTransaction_ = true;
  txLost_ = false;
  txUnspilled_ = 0;
}

void TDataTable::AbandonTransaction() noexcept {
  std::lock_guard lock(mutex_);
  if (!inTransaction_) return;
  if (journal_) journal_->DistrustKnown();
  inTransaction_ = false;
  locks_->SetKeepRecords(false);
  locks_->ReleaseKeptRecordsQuietly();
  locks_->ReleaseQuietly(TLockRegion::DataWrite);
}

void TDataTable::PrepareCommit() {
  std::lock_guard lock(mutex_);
  if (inTransaction_ && !readOnlyFiles_) locks_->AcquireWriteRange();
}

void TDataTable::ReleaseCommitRange() noexcept {
  std::lock_guard lock(mutex_);
  if (!KeepsWriteRange()) locks_->ReleaseQuietly(TLockRegion::WriteRange);
}

void TDataTable::Commit() {
  std::lock_guard lock(mutex_);
  if (!inTransaction_) return;
  std::exception_ptr failure;
  try {
    // A spill that failed rolled the whole transaction back already.
    if (txLost_) Fail(StoreCode::WriteError);
    if (!readOnlyFiles_) {
      locks_->AcquireWriteRange();  // held already after PrepareCommit
      WriteChangesJournaled(session_.forceBufferFlush);
      // What was spilled before stands from here on.
      if (journal_) journal_->FinishSpilled(session_.forceBufferFlush);
    }
  } catch (...) {
    // What could not be written is dropped: the files keep the state before the transaction
    // as far as they were not written yet, and what earlier spills wrote is undone.
    failure = std::current_exception();
    NoteChange();  // what readers derived from the dropped changes is stale
    UndoSpills();
    DropCachedChanges();
  }
  EndTransaction(failure);
}

void TDataTable::Rollback() {
  std::lock_guard lock(mutex_);
  if (!inTransaction_) return;
  NoteChange();
  // What the transaction spilled into the files is undone from its journal first.
  std::exception_ptr failure = UndoSpills();
  if (std::exception_ptr dropped = DropCachedChanges()) failure = dropped;
  EndTransaction(failure);
}

std::exception_ptr TDataTable::UndoSpills() noexcept {
  if (!journal_ || !journal_->Spilled()) return nullptr;
  try {
    journal_->RollBackSpilled();
  } catch (...) {
    discardAll_ = true;  // the caches go before the next use, the journal is resolved then
    return std::current_exception();
  }
  return nullptr;
}

std::exception_ptr TDataTable::DropCachedChanges() noexcept {
  try {
    indexes_->Discard();
    data_->Discard();
    if (blob_) blob_->Discard();
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

void TDataTable::EndTransaction(std::exception_ptr failure) {
  if (journal_) journal_->DistrustKnown();
  inTransaction_ = false;
  txLost_ = false;
  txUnspilled_ = 0;
  locks_->SetKeepRecords(false);
  // Write locks before record locks.
  try {
    if (locks_->HoldsWriteRange()) locks_->ReleaseWriteRange();
    if (locks_->HoldsDataWriteLock()) locks_->ReleaseDataWriteLock();
    locks_->ReleaseKeptRecords();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quellor
