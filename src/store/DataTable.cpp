#include "store/DataTable.h"

#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "store/ByteOrder.h"
#include "store/Cipher.h"
#include "store/DataSession.h"
#include "store/FieldValue.h"
#include "store/FileList.h"
#include "store/IndexFile.h"
#include "store/Language.h"
#include "store/PhysicalFile.h"
#include "store/StoreError.h"

namespace quellor {

using namespace bytes;

namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && Lower(s.substr(s.size() - suffix.size())) == Lower(suffix);
}

// The name of an existing file in `folder` equal to `name` without regard to case; `name`
// itself when there is none.
std::string ResolveCase(const std::string& folder, const std::string& name) {
  if (FileExists(folder + name)) return name;
  std::string wanted = Lower(name);
  std::string found = name;
  if (DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      if (Lower(entry->d_name) == wanted && FileExists(folder + entry->d_name)) {
        found = entry->d_name;
        break;
      }
    }
    ::closedir(dir);
  }
  return found;
}

}  // namespace

TTableFiles TableFileNames(const std::string& folder, const std::string& tableName) {
  std::string name = tableName;
  std::string dir = folder;
  size_t slash = name.rfind('/');
  if (slash != std::string::npos) {
    dir = name[0] == '/' ? name.substr(0, slash + 1) : folder + name.substr(0, slash + 1);
    name = name.substr(slash + 1);
  }
  std::string base = name;
  size_t dot = base.rfind('.');
  if (dot != std::string::npos && dot > 0) base = base.substr(0, dot);
  TTableFiles files;
  files.data = dir + ResolveCase(dir, EndsWithNoCase(name, ".DAT") ? name : base + ".DAT");
  files.index = dir + ResolveCase(dir, EndsWithNoCase(name, ".IDX") ? name : base + ".IDX");
  files.blob = dir + ResolveCase(dir, EndsWithNoCase(name, ".BLB") ? name : base + ".BLB");
  return files;
}

TDataTable::TDataTable(TDataSession& session, const TTableFiles& files,
                       const std::string& tableName, bool exclusive)
    : session_(session), files_(files), tableName_(tableName), exclusive_(exclusive) {
  TFileList& list = TFileList::Instance();
  dataFile_ = files.inMemory ? list.OpenMemory(files.data, exclusive, tableName)
                             : list.OpenDisk(files.data, exclusive, tableName);
  readOnlyFiles_ = dataFile_->IsReadOnly();
  data_ = std::make_unique<TDataFile>(dataFile_, tableName);
  data_->Load();
  const TDataHeader& header = data_->Header();
  if (header.languageId != 0 && !LanguageIsValid(static_cast<uint16_t>(header.languageId),
                                                 static_cast<uint16_t>(header.sortId)))
    Fail(StoreCode::LanguageDriver);
  if (header.encrypted) session_.CheckPassword(header.password, tableName);

  // A missing index file is made anew: a primary index without key fields, no secondary
  // indexes, and every record slot entered into "Sys Deleted" with the active ones counted.
  TIndexFileOptions options;
  options.tableName = tableName;
  options.languageId = static_cast<uint16_t>(header.languageId);
  options.sortId = static_cast<uint16_t>(header.sortId);
  if (header.encrypted)
    options.cipher = [](uint8_t* bytes, size_t size) { ApplyCipher(bytes, size, kBodyKey); };
  bool indexExists = files.inMemory ? list.MemoryFileExists(files.index) : FileExists(files.index);
  if (indexExists) {
    indexFile_ = files.inMemory ? list.OpenMemory(files.index, exclusive, tableName)
                                : list.OpenDisk(files.index, exclusive, tableName);
  } else {
    indexFile_ = files.inMemory ? list.CreateMemory(files.index, exclusive, tableName)
                                : list.CreateDisk(files.index, exclusive, tableName);
    CreateIndexFile(*indexFile_, data_->Fields(), nullptr, options);
  }
  indexes_ =
      std::make_unique<TTableIndexes>(indexFile_, data_->Fields(), options, data_->RecordSize());
  if (!indexExists) {
    indexes_->FillSlots([this](const TSlotVisitor& visit) { VisitSlots(visit); });
    indexes_->Flush(false);
  } else if (data_->SlotCount() > 0 && indexes_->File().SysDeleted().Empty() && !readOnlyFiles_) {
    // Every slot has an entry in "Sys Deleted": an empty one beside records is an index file
    // that was never kept in step (written by a build before index maintenance). Its
    // definitions are good; its trees are built again from the records.
    indexes_->File().Rebuild([this](const TRecordVisitor& visit) { VisitRecords(visit); },
                             [this](const TSlotVisitor& visit) { VisitSlots(visit); });
    indexes_->Flush(false);
  }

  if (header.blobFieldCount > 0) {
    blobFile_ = files.inMemory ? list.OpenMemory(files.blob, exclusive, tableName)
                               : list.OpenDisk(files.blob, exclusive, tableName);
    blob_ =
        std::make_unique<TBlobFile>(blobFile_, tableName, header.BlobBlockSize(), header.encrypted);
    blob_->Load();
  }
}

TDataTable::~TDataTable() {
  // The last user's close writes what is still cached; a failure cannot be reported here.
  try {
    std::lock_guard lock(mutex_);
    if (data_ && !readOnlyFiles_) WriteChanges(false);
  } catch (...) {
  }
}

void TDataTable::Fail(uint16_t code) const {
  throw EStoreEngineError(code, {tableName_});
}

int32_t TDataTable::RecordCount() {
  std::lock_guard lock(mutex_);
  return indexes_->RecordCount();
}

void TDataTable::VisitSlots(const TSlotVisitor& visit) {
  for (int32_t slot = 1; slot <= data_->SlotCount(); ++slot) {
    const uint8_t* image = data_->ReadSlot(slot);
    visit(image[0] != 0, GetI32(image + 5), slot);
  }
}

void TDataTable::VisitRecords(const TRecordVisitor& visit) {
  std::lock_guard lock(mutex_);
  const size_t size = static_cast<size_t>(data_->RecordSize());
  for (int32_t slot = 1; slot <= data_->SlotCount(); ++slot) {
    const uint8_t* image = data_->ReadSlot(slot);
    if (image[0] == 0) visit(std::span<const uint8_t>(image, size), slot, GetI32(image + 5));
  }
}

void TDataTable::AddIndex(const TIndexDesc& desc, bool primary) {
  std::lock_guard lock(mutex_);
  if (readOnlyFiles_) Fail(StoreCode::AccessDenied);
  if (!exclusive_) Fail(StoreCode::MustBeExclusive);
  // The records are copied first: building the tree must not interleave with the data cache.
  std::vector<std::pair<int32_t, std::vector<uint8_t>>> records;
  VisitRecords([&](std::span<const uint8_t> record, int32_t slot, int32_t) {
    records.emplace_back(slot, std::vector<uint8_t>(record.begin(), record.end()));
  });
  indexes_->AddIndex(desc, primary, [&](const TRecordVisitor& visit) {
    for (const auto& [slot, image] : records) visit(image, slot, GetI32(image.data() + 5));
  });
}

void TDataTable::DeleteIndex(const std::string& name) {
  std::lock_guard lock(mutex_);
  if (readOnlyFiles_) Fail(StoreCode::AccessDenied);
  if (!exclusive_) Fail(StoreCode::MustBeExclusive);
  indexes_->DeleteIndex(name);
}

std::vector<uint8_t> TDataTable::ReadRecord(int32_t slot) {
  std::lock_guard lock(mutex_);
  const uint8_t* image = data_->ReadSlot(slot);
  return std::vector<uint8_t>(image, image + data_->RecordSize());
}

std::string TDataTable::ReadBlob(const uint8_t* image, const TFieldDesc& field) {
  std::lock_guard lock(mutex_);
  if (field.type != TStoreFieldType::Blob || FieldIsNull(image, field)) return {};
  if (!blob_) Fail(StoreCode::BlobBlocksCorrupt);
  const uint8_t* v = image + ValueOffset(field);
  return blob_->ReadValue(GetI32(v), GetI32(v + 4));
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
  bool changed = data_->HasUnwrittenChanges();
  if (blob_) blob_->Flush(false, flushOs);
  data_->Flush(changed, flushOs);
  indexes_->Flush(flushOs);
}

void TDataTable::Change(const std::function<void()>& body) {
  std::lock_guard lock(mutex_);
  if (readOnlyFiles_) Fail(StoreCode::AccessDenied);
  DetectChanges();
  NoteChange();
  auto dataSnapshot = data_->Snapshot();
  std::optional<TBlobFile::TSnapshot> blobSnapshot;
  if (blob_) blobSnapshot = blob_->Snapshot();
  indexes_->BeginChange();
  try {
    body();
    WriteChanges(session_.forceBufferFlush);
    indexes_->EndChange();
  } catch (...) {
    data_->Restore(dataSnapshot);
    if (blob_) blob_->Restore(*blobSnapshot);
    indexes_->AbortChange();
    throw;
  }
}

void TDataTable::CheckUnchanged(int32_t slot, const std::vector<uint8_t>& shown) {
  std::lock_guard lock(mutex_);
  DetectChanges();
  if (slot < 1 || slot > data_->SlotCount()) Fail(StoreCode::RecordChanged);
  const uint8_t* image = data_->ReadSlot(slot);
  if (image[0] != 0 || shown.size() != static_cast<size_t>(data_->RecordSize()) ||
      std::memcmp(image, shown.data(), shown.size()) != 0)
    Fail(StoreCode::RecordChanged);
}

int32_t TDataTable::Insert(std::vector<uint8_t>& image, const TBlobChanges& blobs) {
  int32_t slot = 0;
  Change([&] {
    image.resize(static_cast<size_t>(data_->RecordSize()));
    // A new record owns no BLOB blocks yet, whatever the buffer was copied from.
    for (const auto& f : data_->Fields())
      if (f.type == TStoreFieldType::Blob) ClearField(image.data(), f);
    CheckValues(image, blobs);
    bool reused = false;
    slot = data_->AllocateSlot(indexes_->PrimaryHasKeyFields(), reused);
    const int32_t reusedId = reused ? GetI32(data_->ReadSlot(slot) + 5) : 0;
    image[0] = 0;
    PutI32(image.data() + 1, slot);
    PutI32(image.data() + 5, data_->NextLogicalId());
    indexes_->CheckInsert(image.data());
    WriteBlobs(image, blobs);
    indexes_->Insert(slot, image.data(), reusedId);
    data_->WriteSlot(slot, image.data());
  });
  return slot;
}

void TDataTable::Update(int32_t slot, const std::vector<uint8_t>& shown,
                        std::vector<uint8_t>& image, const TBlobChanges& blobs) {
  Change([&] {
    CheckUnchanged(slot, shown);
    std::vector<uint8_t> disk = ReadRecord(slot);
    image.resize(disk.size());
    std::memcpy(image.data(), disk.data(), kRecordHeaderSize);
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
  Change([&] {
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
  });
}

void TDataTable::Empty() {
  std::lock_guard lock(mutex_);
  if (readOnlyFiles_) Fail(StoreCode::AccessDenied);
  NoteChange();
  data_->Empty();
  if (blob_) blob_->Empty();
  indexes_->Empty();
  if (session_.forceBufferFlush) WriteChanges(true);
}

void TDataTable::FlushToDisk() {
  std::lock_guard lock(mutex_);
  if (readOnlyFiles_) return;
  WriteChanges(true);
}

void TDataTable::DetectChanges() {
  if (exclusive_ || files_.inMemory) return;
  bool indexChanged = indexes_->Reload();
  bool dataChanged = data_->Reload();
  if (blob_) blob_->Reload();
  if (indexChanged || dataChanged) NoteChange();
}

void TDataTable::LockRecord(int32_t slot, const void* cursor) {
  std::lock_guard lock(mutex_);
  auto it = lockedRecords_.find(slot);
  if (it != lockedRecords_.end() && it->second != cursor) Fail(StoreCode::RecordLocked);
  lockedRecords_[slot] = cursor;
}

void TDataTable::UnlockRecord(int32_t slot, const void* cursor) {
  std::lock_guard lock(mutex_);
  auto it = lockedRecords_.find(slot);
  if (it == lockedRecords_.end() || it->second != cursor) Fail(StoreCode::CannotUnlock);
  lockedRecords_.erase(it);
}

}  // namespace quellor
