// Restructuring a table (Restructure.h): the checks of the new definitions, the in-place change
// of indexes, the copy into a temporary table and the exchange of the files.
#include "store/maint/Restructure.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "store/api/StoreError.h"
#include "store/btree/IndexFile.h"
#include "store/engine/DataSession.h"
#include "store/engine/TableIndexes.h"
#include "store/format/AsciiText.h"
#include "store/format/BlobFile.h"
#include "store/format/ByteOrder.h"
#include "store/format/Cipher.h"
#include "store/format/FieldValue.h"
#include "store/format/Language.h"
#include "store/os/FileList.h"
#include "store/os/PhysicalFile.h"

namespace quellor {

using namespace bytes;

namespace {

[[noreturn]] void Raise(uint16_t code, std::initializer_list<std::string> args) {
  throw EStoreEngineError(code, args);
}

bool SameField(const TFieldDesc& a, const TFieldDesc& b) {
  return a.number == b.number && a.name == b.name && a.type == b.type && a.subtype == b.subtype &&
         a.size == b.size && a.decimals == b.decimals && a.required == b.required &&
         a.charCase == b.charCase && a.minimum == b.minimum && a.maximum == b.maximum &&
         a.defaultValue == b.defaultValue && a.description == b.description &&
         a.noStorage == b.noStorage;
}

bool SameIndex(const TIndexDesc& a, const TIndexDesc& b) {
  return AsciiLower(TrimBlanks(a.name)) == AsciiLower(TrimBlanks(b.name)) &&
         a.fieldNumbers == b.fieldNumbers && a.unique == b.unique && a.descending == b.descending &&
         a.caseInsensitive == b.caseInsensitive && a.compression == b.compression &&
         a.fieldDescending == b.fieldDescending;
}

// Whole-file reads and writes that take no share lock: the table is held open exclusively by
// this restructure while they run.
std::vector<uint8_t> ReadWhole(const std::string& path, const std::string& table) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Raise(OsErrorCode(errno), {table});
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      Raise(StoreCode::ReadError, {table});
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  ::close(fd);
  return bytes;
}

void WriteAll(int fd, const std::vector<uint8_t>& bytes, const std::string& table) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      Raise(StoreCode::WriteError, {table});
    }
    done += static_cast<size_t>(n);
  }
  if (::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0 || ::fsync(fd) != 0) {
    ::close(fd);
    Raise(StoreCode::WriteError, {table});
  }
  ::close(fd);
}

// Puts a file's bytes back as they were (a failed in-place change).
void WriteWhole(const std::string& path, const std::vector<uint8_t>& bytes,
                const std::string& table) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) Raise(OsErrorCode(errno), {table});
  WriteAll(fd, bytes, table);
}

void WriteNewFile(const std::string& path, const std::vector<uint8_t>& bytes,
                  const std::string& table) {
  if (FileExists(path)) DeleteDiskFile(path, table);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) Raise(OsErrorCode(errno), {table});
  WriteAll(fd, bytes, table);
}

// Moves a closed file; across file systems (a private folder elsewhere) by copying.
void MoveFile(const std::string& from, const std::string& to, const std::string& table) {
  if (::rename(from.c_str(), to.c_str()) == 0) return;
  if (errno != EXDEV) Raise(OsErrorCode(errno), {table});
  std::string part = to + ".part";
  WriteNewFile(part, ReadWhole(from, table), table);
  if (::rename(part.c_str(), to.c_str()) != 0) Raise(OsErrorCode(errno), {table});
  ::unlink(from.c_str());
}

// Key size of an index over `fields` (without the suffix of a non-unique index).
int KeyBytes(const std::vector<uint16_t>& numbers, const std::vector<TFieldDesc>& fields) {
  int size = 0;
  for (uint16_t n : numbers)
    for (const auto& f : fields)
      if (f.number == n) size += ValueWidth(f) + 1;
  return size;
}

// The checked definitions of a restructure.
struct TNewStructure : TNewTable {
  int32_t lastAutoInc = -1;
};

TNewStructure CheckPlan(const TRestructurePlan& plan, const TDataHeader& old,
                        const std::vector<TFieldDesc>& oldFields, const std::string& table) {
  TNewStructure out;
  TDataHeader& h = out.header;
  h = TDataHeader{};
  h.languageId = static_cast<int16_t>(plan.languageId != 0 ? plan.languageId : old.languageId);
  h.sortId = static_cast<int16_t>(plan.sortId != 0 ? plan.sortId : old.sortId);
  h.userMajor = static_cast<int16_t>(plan.userMajor);
  h.userMinor = static_cast<int16_t>(plan.userMinor);
  h.encrypted = plan.encrypted;
  h.password = plan.encrypted ? plan.password : std::string();
  h.description = plan.description.substr(0, kMaxTextLength);
  h.blobBlockSize = static_cast<uint32_t>(std::clamp(plan.blobBlockSize, 0, kMaxBlobBlockSize));
  h.lastBlobId = old.lastBlobId;

  if (plan.encrypted && (TrimBlanks(plan.password).empty() ||
                         plan.password.size() > static_cast<size_t>(kMaxPasswordLength)))
    Raise(StoreCode::InvalidPassword, {table});
  if (h.languageId != 0 &&
      !LanguageIsValid(static_cast<uint16_t>(h.languageId), static_cast<uint16_t>(h.sortId)))
    Raise(StoreCode::LanguageDriver, {table});
  if (plan.fields.empty() || plan.fields.size() > static_cast<size_t>(kMaxFields) ||
      plan.lastAutoInc < -1)
    Raise(StoreCode::FieldLimits, {table});
  int secondaryCount = 0, primaryCount = 0;
  for (const auto& ix : plan.indexes) {
    if (ix.options & 1)
      ++primaryCount;
    else
      ++secondaryCount;
    if (ix.fieldNames.size() > static_cast<size_t>(kMaxKeyFields))
      Raise(StoreCode::IndexLimits, {table});
  }
  if (secondaryCount > kMaxSecondaryIndexes) Raise(StoreCode::IndexLimits, {table});
  if (primaryCount > 1) Raise(StoreCode::PrimaryIndexExists, {table});
  if (plan.blobBlockSize < kMinBlobBlockSize || plan.blobBlockSize > kMaxBlobBlockSize)
    Raise(StoreCode::BlobFieldLimits, {table});

  // The fields: names first, then numbers and types, sizes, texts (FieldCheck.h).
  uint16_t highest = 0;
  for (const auto& f : oldFields) highest = std::max(highest, f.number);
  TCheckedFields checked = CheckFieldPlans(plan.fields, highest, table);
  out.fields = std::move(checked.fields);
  h.recordSize = static_cast<uint16_t>(checked.recordSize);
  h.blobFieldCount = static_cast<int16_t>(checked.blobFields);
  h.fieldCount = static_cast<uint16_t>(out.fields.size());

  std::set<std::string> indexNames;
  for (const auto& ix : plan.indexes) {
    bool primary = (ix.options & 1) != 0;
    std::string name = primary ? std::string() : TrimBlanks(ix.name);
    std::string shown = primary ? std::string("Primary") : name;
    if (!primary) {
      if (name.empty()) Raise(StoreCode::SecondaryIndexNameMissing, {table});
      if (!NameValid(name)) Raise(StoreCode::InvalidSecondaryIndexName, {name, table});
      if (!indexNames.insert(AsciiLower(name)).second)
        Raise(StoreCode::SecondaryIndexExists, {name, table});
    }
    TIndexDesc d;
    d.name = name;
    d.unique = primary || (ix.options & 2) != 0;
    d.descending = (ix.options & 4) != 0;
    d.caseInsensitive = (ix.options & 8) != 0;
    d.compression = static_cast<TIndexCompression>(std::min<uint8_t>(ix.compression, 3));
    for (const auto& fieldName : ix.fieldNames) {
      auto it = std::find_if(out.fields.begin(), out.fields.end(), [&](const TFieldDesc& f) {
        return AsciiLower(f.name) == AsciiLower(TrimBlanks(fieldName));
      });
      if (it == out.fields.end())
        Raise(StoreCode::InvalidIndexFieldNumber, {fieldName, shown, table});
      if (it->type == TStoreFieldType::Blob)
        Raise(StoreCode::InvalidIndexFieldType, {shown, table});
      d.fieldNumbers.push_back(it->number);
      d.fieldDescending.push_back(false);
    }
    int bytes = KeyBytes(d.fieldNumbers, out.fields);
    if (primary && d.fieldNumbers.empty()) continue;  // a primary index without key fields
    if (bytes < 1 || bytes > kMaxKeyFieldBytes) Raise(StoreCode::InvalidKeySize, {shown, table});
    if (primary) {
      out.hasPrimary = true;
      out.primary = std::move(d);
    } else {
      out.secondary.push_back(std::move(d));
    }
  }
  out.lastAutoInc = plan.lastAutoInc;
  return out;
}

// What a loss is answered with; counts the losses accepted.
class TLossPolicy {
 public:
  explicit TLossPolicy(TRestructureEvents& events) : events_(events) {}
  // True to go on.
  bool Accept(TDataLossCause cause, const std::string& context) {
    if (!events_.dataLost) return true;
    return events_.dataLost(cause, context);
  }

 private:
  TRestructureEvents& events_;
};

struct TStopped {};

// Carries one old field's value into a new field. Returns false when the value could not be
// carried whole (it is then empty, or cut to the new width).
bool CarryValue(TDataTable& table, const uint8_t* old, const TFieldDesc& of, uint8_t* image,
                const TFieldDesc& nf, size_t newIndex, TBlobChanges& blobs) {
  if (nf.IsAutoInc()) return true;  // the logical id, kept anyway
  if (!of.IsAutoInc() && (of.noStorage || FieldIsNull(old, of))) return true;
  const uint8_t* ov = old + ValueOffset(of);
  uint8_t* nv = image + ValueOffset(nf);
  std::string text;
  if (of.type == TStoreFieldType::Blob) {
    text = table.ReadBlob(old, of);
    if (nf.type == TStoreFieldType::Blob) {
      if (!text.empty()) blobs[newIndex] = text;
      return true;
    }
  } else if (nf.type == TStoreFieldType::Blob) {
    text = GetTextValue(ov, of);
    if (!text.empty()) blobs[newIndex] = text;
    return true;
  } else if (of.type == nf.type && ValueWidth(of) == ValueWidth(nf) && !of.IsAutoInc() &&
             (of.type != TStoreFieldType::BCD || of.decimals <= nf.decimals)) {
    std::memcpy(nv, ov, static_cast<size_t>(nf.width));
    MarkFieldSet(image, nf);
    return true;
  } else {
    text = GetTextValue(ov, of);
  }
  if (nf.type == TStoreFieldType::String) {
    std::string cut = CutText(text, nf.size);
    if (!cut.empty() && PutTextValue(nv, nf, cut)) MarkFieldSet(image, nf);
    return cut.size() == text.size();
  }
  if (text.empty()) return true;
  if (PutTextValue(nv, nf, text)) {
    MarkFieldSet(image, nf);
    return true;
  }
  ClearField(image, nf);
  return false;
}

}  // namespace

// ---- TTableBuilder ---------------------------------------------------------------------------

TTableBuilder::TTableBuilder(const TTableFiles& files, const std::string& tableName,
                             const TNewTable& table)
    : files_(files), name_(tableName) {
  try {
    TCreatedTableFiles created = CreateTableFiles(files, tableName, table, false);
    dataFile_ = created.data;
    indexFile_ = created.index;
    blobFile_ = created.blob;
    data_ = std::make_unique<TDataFile>(dataFile_, tableName);
    data_->Load();
    const TDataHeader& header = data_->Header();
    data_->EditHeader().lastBlobId = table.header.lastBlobId;
    if (blobFile_) {
      blob_ = std::make_unique<TBlobFile>(blobFile_, tableName, header.BlobBlockSize(),
                                          header.encrypted);
      blob_->Load();
    }
    indexes_ = std::make_unique<TTableIndexes>(indexFile_, data_->Fields(),
                                               TIndexFileOptions::ForTable(tableName, header),
                                               header.recordSize);
  } catch (...) {
    Abandon();
    throw;
  }
}

TTableBuilder::~TTableBuilder() {
  if (!done_) Abandon();
}

int TTableBuilder::BrokenValueRule(const uint8_t* image, const TBlobChanges& blobs) const {
  const auto& fields = data_->Fields();
  for (size_t i = 0; i < fields.size(); ++i) {
    const TFieldDesc& f = fields[i];
    if (f.IsAutoInc() || f.noStorage) continue;
    bool isNull = FieldIsNull(image, f);
    if (f.type == TStoreFieldType::Blob) {
      auto it = blobs.find(i);
      isNull = it == blobs.end() || it->second.empty();
    }
    if (f.required && isNull) return static_cast<int>(i);
    if (isNull || f.type == TStoreFieldType::Blob) continue;
    const uint8_t* value = image + ValueOffset(f);
    std::vector<uint8_t> limit(std::max<size_t>(f.width, 16));
    if (!f.minimum.empty() && PutTextValue(limit.data(), f, f.minimum) &&
        CompareValues(value, limit.data(), f) < 0)
      return static_cast<int>(i);
    std::fill(limit.begin(), limit.end(), 0);
    if (!f.maximum.empty() && PutTextValue(limit.data(), f, f.maximum) &&
        CompareValues(value, limit.data(), f) > 0)
      return static_cast<int>(i);
  }
  return -1;
}

std::string TTableBuilder::DuplicateIn(const uint8_t* image) {
  TIndexFile& file = indexes_->File();
  std::vector<TIndexTree*> trees;
  if (file.Primary()) trees.push_back(file.Primary());
  for (int i = 0; i < file.SecondaryCount(); ++i) trees.push_back(&file.Secondary(i));
  const int32_t id = SlotLogicalId(image);
  for (TIndexTree* t : trees) {
    if (!t->Layout().Unique()) continue;
    auto key = t->Layout().BuildKey(image, data_->RecordSize(), id, name_);
    if (t->Find(key.data())) return TIndexFile::DisplayName(*t);
  }
  return {};
}

int32_t TTableBuilder::Put(std::vector<uint8_t>& image, const TBlobChanges& blobs, int32_t slot) {
  image.resize(static_cast<size_t>(data_->RecordSize()));
  if (slot == 0) {
    bool reused = false;
    slot = data_->AllocateSlot(false, reused);
  } else if (slot >= data_->Header().nextPhysical) {
    data_->EditHeader().nextPhysical = slot + 1;
  }
  SetSlotDeletedFlag(image.data(), 0);
  SetSlotLink(image.data(), slot);
  const auto& fields = data_->Fields();
  for (size_t i = 0; i < fields.size(); ++i) {
    const TFieldDesc& f = fields[i];
    if (f.type != TStoreFieldType::Blob) continue;
    ClearField(image.data(), f);
    auto it = blobs.find(i);
    if (it == blobs.end() || it->second.empty()) continue;
    if (!blob_) Raise(StoreCode::BlobBlocksCorrupt, {name_});
    int32_t first = 0;
    int32_t id = data_->NextBlobId();
    blob_->WriteValue(first, 0, id, it->second);
    uint8_t* v = image.data() + ValueOffset(f);
    PutI32(v, first);
    PutI32(v + 4, id);
    MarkFieldSet(image.data(), f);
  }
  indexes_->Insert(slot, image.data(), 0);
  data_->WriteSlot(slot, image.data());
  if (++sinceFlush_ >= 4096) FlushSome();
  return slot;
}

void TTableBuilder::PutDeleted(int32_t slot, int32_t logicalId) {
  if (slot >= data_->Header().nextPhysical) data_->EditHeader().nextPhysical = slot + 1;
  std::vector<uint8_t> image(static_cast<size_t>(data_->RecordSize()), 0);
  SetSlotDeletedFlag(image.data(), 1);
  SetSlotLogicalId(image.data(), logicalId);
  data_->WriteSlot(slot, image.data());
  indexes_->File().SysDeletedAdd(true, logicalId, slot);
  deleted_.push_back(slot);
  if (++sinceFlush_ >= 4096) FlushSome();
}

void TTableBuilder::FlushSome() {
  sinceFlush_ = 0;
  if (blob_) blob_->Flush(false, false);
  data_->Flush(false, false);
  indexes_->Flush(false);
}

void TTableBuilder::Finish(int32_t lastLogicalId) {
  std::sort(deleted_.begin(), deleted_.end());
  for (size_t i = 0; i < deleted_.size(); ++i) {
    std::vector<uint8_t> image(data_->ReadSlot(deleted_[i]),
                               data_->ReadSlot(deleted_[i]) + data_->RecordSize());
    SetSlotLink(image.data(), i + 1 < deleted_.size() ? deleted_[i + 1] : 0);
    data_->WriteSlot(deleted_[i], image.data());
  }
  TDataHeader& h = data_->EditHeader();
  h.deletedChain = deleted_.empty() ? 0 : deleted_.front();
  h.lastLogicalId = lastLogicalId;
  if (blob_) blob_->Flush(true, true);
  data_->Flush(true, true);
  indexes_->File().WriteChanges(true, true);
  indexes_.reset();
  blob_.reset();
  data_.reset();
  done_ = true;
  if (files_.inMemory) return;  // kept alive until TakeFiles
  indexFile_.reset();
  blobFile_.reset();
  dataFile_.reset();
}

std::vector<std::shared_ptr<TAbstractFile>> TTableBuilder::TakeFiles() {
  std::vector<std::shared_ptr<TAbstractFile>> files;
  for (auto* f : {&dataFile_, &indexFile_, &blobFile_})
    if (*f) files.push_back(std::move(*f));
  return files;
}

void TTableBuilder::Abandon() {
  indexes_.reset();
  blob_.reset();
  data_.reset();
  bool hadBlob = blobFile_ != nullptr, hadIndex = indexFile_ != nullptr,
       hadData = dataFile_ != nullptr;
  indexFile_.reset();
  blobFile_.reset();
  dataFile_.reset();
  done_ = true;
  // Memory files vanish with their last holder.
  if (hadData) files_.Remove(TTableFile::Data);
  if (hadIndex) files_.Remove(TTableFile::Index);
  if (hadBlob) files_.Remove(TTableFile::Blob);
}

// ---- the restructure --------------------------------------------------------------------------

namespace {

// Step 3: only secondary indexes and header attributes change. Returns false (with the files
// put back as they were) when a new unique index meets a key twice.
bool ChangeInPlace(std::shared_ptr<TDataTable>& table, const TTableFiles& files,
                   const TNewStructure& next, const TRestructurePlan& plan, const std::string& name,
                   const TRestructureEvents& events) {
  std::vector<TIndexDesc> current = table->Indexes().File().Definitions();
  std::vector<TIndexDesc> oldSecondary;
  for (const auto& d : current)
    if (!d.name.empty()) oldSecondary.push_back(d);
  std::vector<std::string> drop;
  std::vector<TIndexDesc> add;
  for (const auto& d : oldSecondary)
    if (std::none_of(next.secondary.begin(), next.secondary.end(),
                     [&](const TIndexDesc& n) { return SameIndex(n, d); }))
      drop.push_back(d.name);
  for (const auto& n : next.secondary)
    if (std::none_of(oldSecondary.begin(), oldSecondary.end(),
                     [&](const TIndexDesc& d) { return SameIndex(n, d); }))
      add.push_back(n);

  const bool indexesChange = !drop.empty() || !add.empty();
  std::vector<uint8_t> savedIndex, savedHeader;
  if (!files.inMemory) {
    if (indexesChange) savedIndex = ReadWhole(files.index, name);
    std::vector<uint8_t> data(kDataHeaderSize);
    auto& file = table->Data().File();
    if (file.ReadAt(0, data.data(), kDataHeaderSize) != kDataHeaderSize)
      Raise(StoreCode::ReadError, {name});
    savedHeader = std::move(data);
  }
  try {
    for (const auto& n : drop) table->DeleteIndex(n);
    for (const auto& d : add) table->AddIndex(d, false, events.indexProgress);
    int32_t highest = 0;
    if (next.lastAutoInc != -1) {
      for (int32_t s = 1; s <= table->Data().SlotCount(); ++s)
        highest = std::max(highest, SlotLogicalId(table->ReadRecord(s).data()));
    }
    TDataHeader& h = table->Data().EditHeader();
    h.userMajor = next.header.userMajor;
    h.userMinor = next.header.userMinor;
    h.description = next.header.description;
    if (next.lastAutoInc != -1) h.lastLogicalId = std::max(next.lastAutoInc, highest);
    table->FlushToDisk();
  } catch (const EStoreEngineError& e) {
    if (files.inMemory) throw;
    // Nothing of this restructure may stay: the index file and the data header go back.
    table->Data().Discard();
    table.reset();
    if (!savedIndex.empty()) WriteWhole(files.index, savedIndex, name);
    {
      std::vector<uint8_t> data = ReadWhole(files.data, name);
      if (data.size() >= savedHeader.size())
        std::copy(savedHeader.begin(), savedHeader.end(), data.begin());
      WriteWhole(files.data, data, name);
    }
    if (e.ErrorCode() == StoreCode::DuplicateKey) return false;
    throw;
  }
  table.reset();
  if (indexesChange && !plan.noBackup && !files.inMemory)
    WriteNewFile(files.BackupPath(TTableFile::Index), savedIndex, name);
  return true;
}

}  // namespace

void InstallTable(TDataDirectory& directory, const std::string& tableName, const TTableFiles& files,
                  const TTableFiles& temp, std::vector<std::shared_ptr<TAbstractFile>> fresh,
                  bool keepBackup) {
  const std::string& name = tableName;
  if (files.inMemory) {
    // A memory table keeps no backup: the old files vanish with their last holder.
    directory.ReleaseMemoryFiles(tableName);
    std::vector<std::shared_ptr<TAbstractFile>> held;
    for (TTableFile which : {TTableFile::Data, TTableFile::Index, TTableFile::Blob})
      if (auto file = temp.Rename(which, files, name)) held.push_back(std::move(file));
    fresh.clear();
    directory.HoldMemoryFiles(std::move(held));
    return;
  }
  struct TMove {
    std::string current, backup, fresh;
  };
  std::vector<TMove> moves;
  for (TTableFile which : {TTableFile::Data, TTableFile::Index, TTableFile::Blob})
    moves.push_back({files.Path(which), files.BackupPath(which), temp.Path(which)});
  if (keepBackup) {
    // A second name for each old file keeps the table in place until its new file replaces it;
    // where the file system has no hard links the old file is moved instead.
    for (const auto& m : moves) {
      if (!FileExists(m.current)) continue;
      if (FileExists(m.backup)) DeleteDiskFile(m.backup, name);
      if (::link(m.current.c_str(), m.backup.c_str()) != 0) MoveFile(m.current, m.backup, name);
    }
  }
  // Each new file replaces the old one in one step; an old file without a new one goes.
  for (const auto& m : moves) {
    if (FileExists(m.fresh))
      MoveFile(m.fresh, m.current, name);
    else if (FileExists(m.current))
      DeleteDiskFile(m.current, name);
  }
}

TRestructureResult RestructureTable(TDataDirectory& directory, const std::string& tableName,
                                    const TRestructurePlan& plan, TRestructureEvents& events) {
  TRestructureResult result;
  const std::string& name = tableName;
  TTableFiles files = directory.Files(tableName);
  auto table = directory.OpenTable(tableName, true);
  if (table->ReadOnlyFiles()) Raise(StoreCode::AccessDenied, {name});
  const TDataHeader old = table->Data().Header();
  const std::vector<TFieldDesc> oldFields = table->Fields();
  TNewStructure next = CheckPlan(plan, old, oldFields, name);

  // Step 3: indexes only.
  bool sameFields = next.fields.size() == oldFields.size();
  for (size_t i = 0; sameFields && i < oldFields.size(); ++i)
    sameFields = SameField(next.fields[i], oldFields[i]);
  TIndexTree* oldPrimary = table->Indexes().File().Primary();
  bool samePrimary = oldPrimary ? next.hasPrimary && SameIndex(oldPrimary->Desc(), next.primary)
                                : !next.hasPrimary;
  bool inPlace = sameFields && samePrimary && next.header.languageId == old.languageId &&
                 next.header.sortId == old.sortId && next.header.encrypted == old.encrypted &&
                 next.header.password == old.password &&
                 static_cast<int>(next.header.blobBlockSize) == old.BlobBlockSize();
  if (inPlace) {
    if (ChangeInPlace(table, files, next, plan, name, events)) return result;
    table = directory.OpenTable(tableName, true);
  }

  // Step 4: copy into a temporary table.
  TLossPolicy losses(events);
  std::string folder = plan.privateDir.empty() ? files.Folder() : plan.privateDir;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  const TTableFiles temp = TTableFiles::Temporary(folder, files.inMemory, "_RS");
  TTableBuilder builder(temp, name, next);
  const auto& newFields = builder.Fields();
  try {
    // Old fields without a new one.
    for (const auto& of : oldFields) {
      bool kept = std::any_of(newFields.begin(), newFields.end(),
                              [&](const TFieldDesc& f) { return f.number == of.number; });
      if (!kept && !losses.Accept(TDataLossCause::FieldDropped, of.name)) throw TStopped{};
    }
    std::vector<int> source(newFields.size(), -1);
    for (size_t j = 0; j < newFields.size(); ++j)
      for (size_t i = 0; i < oldFields.size(); ++i)
        if (oldFields[i].number == newFields[j].number) source[j] = static_cast<int>(i);

    const int32_t slots = table->Data().SlotCount();
    int32_t highest = 0;
    int lastPercent = -1;
    for (int32_t s = 1; s <= slots; ++s) {
      std::vector<uint8_t> oldImage;
      try {
        oldImage = table->ReadRecord(s);
      } catch (const EStoreEngineError& e) {
        if (!losses.Accept(TDataLossCause::Unexpected, e.what())) throw TStopped{};
        ++result.recordsLeftOut;
        continue;
      }
      if (!SlotActive(oldImage.data())) {
        highest = std::max(highest, SlotLogicalId(oldImage.data()));
        continue;
      }
      const int32_t id = SlotLogicalId(oldImage.data());
      highest = std::max(highest, id);
      std::vector<uint8_t> image(static_cast<size_t>(builder.RecordSize()), 0);
      SetSlotLogicalId(image.data(), id);
      TBlobChanges blobs;
      for (size_t j = 0; j < newFields.size(); ++j) {
        if (source[j] < 0) continue;
        const TFieldDesc& of = oldFields[static_cast<size_t>(source[j])];
        bool whole = false;
        try {
          whole = CarryValue(*table, oldImage.data(), of, image.data(), newFields[j], j, blobs);
        } catch (const EStoreEngineError& e) {
          if (!losses.Accept(TDataLossCause::Unexpected, e.what())) throw TStopped{};
          continue;
        }
        if (!whole && !losses.Accept(TDataLossCause::Conversion, newFields[j].name))
          throw TStopped{};
      }
      int broken = builder.BrokenValueRule(image.data(), blobs);
      if (broken >= 0) {
        if (!losses.Accept(TDataLossCause::ValidityCheck,
                           newFields[static_cast<size_t>(broken)].name))
          throw TStopped{};
        ++result.recordsLeftOut;
        continue;
      }
      std::string duplicate = builder.DuplicateIn(image.data());
      if (!duplicate.empty()) {
        if (!losses.Accept(TDataLossCause::DuplicateKey, duplicate)) throw TStopped{};
        ++result.recordsLeftOut;
        continue;
      }
      builder.Put(image, blobs);
      ++result.recordsCopied;
      int percent = static_cast<int>(static_cast<int64_t>(s) * 100 / std::max(slots, 1));
      if (events.progress && percent != lastPercent) {
        lastPercent = percent;
        events.progress(s, percent);
      }
    }
    if (events.progress && lastPercent != 100) events.progress(slots, 100);
    int32_t last = plan.lastAutoInc == -1 ? std::max(old.lastLogicalId, highest)
                                          : std::max(plan.lastAutoInc, highest);
    builder.Finish(last);
  } catch (const TStopped&) {
    builder.Abandon();
    throw ERestructureStopped("Restructure of table '" + name + "' was stopped");
  } catch (...) {
    builder.Abandon();
    throw;
  }
  table.reset();  // closes the old files

  // Step 7: the old files become backups (or go), the new ones take their names.
  InstallTable(directory, tableName, files, temp, builder.TakeFiles(), !plan.noBackup);
  result.copied = true;
  return result;
}

}  // namespace quellor
