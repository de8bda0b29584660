#include "store/btree/IndexFile.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "store/api/StoreError.h"
#include "store/format/ChangeCounter.h"
#include "store/format/DataFile.h"
#include "store/format/KeyLayout.h"
#include "store/os/StoreAssert.h"

namespace quellor {
namespace {

void WriteHeaderBytes(TAbstractFile& file, const TIndexFileHeader& header,
                      const TIndexFileOptions& options) {
  std::array<uint8_t, kIndexHeaderSize> bytes;
  EncodeIndexHeader(header, bytes.data());
  if (options.cipher) options.cipher(bytes.data(), bytes.size());
  if (file.WriteAt(0, bytes.data(), kIndexHeaderSize) != kIndexHeaderSize)
    throw EStoreEngineError(StoreCode::WriteError, {options.tableName});
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

bool SameName(const std::string& a, const std::string& b) {
  std::string x = Trim(a), y = Trim(b);
  if (x.size() != y.size()) return false;
  for (size_t i = 0; i < x.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(x[i])) !=
        std::toupper(static_cast<unsigned char>(y[i])))
      return false;
  }
  return true;
}

// A name starts with an ASCII letter, an underscore or a character from 129 to 254.
bool ValidFirstCharacter(const std::string& name) {
  unsigned char c = static_cast<unsigned char>(name[0]);
  return std::isalpha(c) || c == '_' || (c >= 129 && c <= 254);
}

bool IsPrimaryName(const std::string& name) {
  return Trim(name).empty() || SameName(name, "Primary");
}

bool SameDefinition(const TIndexDesc& a, const TIndexDesc& b) {
  return a.name == b.name && a.keySize == b.keySize && a.descending == b.descending &&
         a.caseInsensitive == b.caseInsensitive && a.unique == b.unique &&
         a.compression == b.compression && a.fieldNumbers == b.fieldNumbers &&
         a.fieldDescending == b.fieldDescending;
}

}  // namespace

TIndexFileOptions TIndexFileOptions::ForTable(const std::string& tableName,
                                              const TDataHeader& header) {
  TIndexFileOptions options;
  options.tableName = tableName;
  options.languageId = static_cast<uint16_t>(header.languageId);
  options.sortId = static_cast<uint16_t>(header.sortId);
  options.cipher = BodyCipher(header.encrypted);
  return options;
}

void CreateIndexFile(TAbstractFile& file, const std::vector<TFieldDesc>& fields,
                     const TIndexDesc* primary, const TIndexFileOptions& options) {
  TIndexFileHeader header = TIndexFileHeader::New();
  if (primary != nullptr && !primary->fieldNumbers.empty()) {
    TKeyLayout layout = TKeyLayout::Make(*primary, true, fields, options.languageId, options.sortId,
                                         options.tableName);
    header.primary = *primary;
    header.primary.name.clear();
    header.primary.unique = true;
    header.primary.keySize = static_cast<uint16_t>(layout.KeySize());
    header.primary.fieldDescending.resize(header.primary.fieldNumbers.size(), false);
    header.primary.rootPage = 0;
    header.primary.freeChain = 0;
    header.primaryNoKeyFields = false;
  }
  file.WriteAt(0, nullptr, 0);
  WriteHeaderBytes(file, header, options);
}

// ---- opening ------------------------------------------------------------------------------

TIndexFile::TIndexFile(TAbstractFile& file, std::vector<TFieldDesc> fields,
                       TIndexFileOptions options)
    : file_(file), fields_(std::move(fields)), options_(std::move(options)) {
  header_ = ReadHeader();
  BuildTrees();
}

TIndexFile::~TIndexFile() = default;

TIndexFileHeader TIndexFile::ReadHeader() {
  std::array<uint8_t, kIndexHeaderSize> bytes;
  if (file_.ReadAt(0, bytes.data(), kIndexHeaderSize) != kIndexHeaderSize)
    throw EStoreEngineError(StoreCode::HeaderCorrupt, {options_.tableName});
  if (options_.cipher) options_.cipher(bytes.data(), bytes.size());
  TIndexFileHeader h = DecodeIndexHeader(bytes.data(), options_.tableName);
  // Secondary index names: valid and used once, compared without case.
  for (size_t i = 0; i < h.secondary.size(); ++i) {
    const std::string& name = h.secondary[i].name;
    if (Trim(name).empty() || !ValidFirstCharacter(name))
      throw EStoreEngineError(StoreCode::HeaderCorrupt, {options_.tableName});
    for (size_t j = 0; j < i; ++j) {
      if (SameName(name, h.secondary[j].name))
        throw EStoreEngineError(StoreCode::HeaderCorrupt, {options_.tableName});
    }
  }
  return h;
}

std::unique_ptr<TIndexTree> TIndexFile::MakeTree(const TIndexDesc& desc, bool isPrimary,
                                                 uint16_t corruptCode) {
  TKeyLayout layout = TKeyLayout::Make(desc, isPrimary, fields_, options_.languageId,
                                       options_.sortId, options_.tableName, corruptCode);
  if (corruptCode != 0 && desc.keySize != layout.KeySize())
    throw EStoreEngineError(corruptCode, {options_.tableName});
  TIndexDesc d = desc;
  d.keySize = static_cast<uint16_t>(layout.KeySize());
  d.unique = isPrimary || desc.unique;
  d.fieldDescending.resize(d.fieldNumbers.size(), false);
  return std::make_unique<TIndexTree>(static_cast<TIndexPageIo&>(*this), d, std::move(layout));
}

void TIndexFile::BuildTrees() {
  // Everything is checked before the trees are replaced.
  std::unique_ptr<TIndexTree> primary;
  if (!header_.primaryNoKeyFields)
    primary = MakeTree(header_.primary, true, StoreCode::HeaderCorrupt);
  std::vector<std::unique_ptr<TIndexTree>> secondary;
  for (const TIndexDesc& d : header_.secondary)
    secondary.push_back(MakeTree(d, false, StoreCode::HeaderCorrupt));
  primary_ = std::move(primary);
  secondary_ = std::move(secondary);
  sysDeleted_ = std::make_unique<TIndexTree>(static_cast<TIndexPageIo&>(*this), header_.sysDeleted,
                                             TKeyLayout::SysDeleted());
}

// ---- page access for the trees ------------------------------------------------------------

void TIndexFile::ReadPage(int32_t offset, uint8_t* raw) {
  if (readHook_) readHook_();
  STORE_ASSERT(IsIndexPageOffset(offset, header_.endOffset));  // the trees check what they follow
  if (file_.ReadAt(offset, raw, kIndexPageSize) != kIndexPageSize)
    throw EStoreEngineError(StoreCode::ReadError, {options_.tableName});
  if (options_.cipher) options_.cipher(raw, kIndexPageSize);
}

void TIndexFile::WritePage(int32_t offset, const uint8_t* raw) {
  STORE_ASSERT(IsIndexPageOffset(offset, header_.endOffset));
  std::array<uint8_t, kIndexPageSize> bytes;
  std::copy(raw, raw + kIndexPageSize, bytes.begin());
  if (options_.cipher) options_.cipher(bytes.data(), bytes.size());
  if (file_.WriteAt(offset, bytes.data(), kIndexPageSize) != kIndexPageSize)
    throw EStoreEngineError(StoreCode::WriteError, {options_.tableName});
}

int32_t TIndexFile::AppendPage() {
  if (header_.endOffset > kIndexFileGrowthLimit)
    throw EStoreEngineError(StoreCode::TableFull, {options_.tableName});
  int32_t offset = header_.endOffset;
  header_.endOffset += kIndexPageSize;
  headerDirty_ = true;
  return offset;
}

// ---- the indexes --------------------------------------------------------------------------

TIndexTree* TIndexFile::FindIndex(const std::string& name) {
  if (IsPrimaryName(name)) return primary_.get();
  for (auto& t : secondary_) {
    if (SameName(t->Desc().name, name)) return t.get();
  }
  return nullptr;
}

std::string TIndexFile::DisplayName(const TIndexTree& tree) {
  return tree.Desc().name.empty() ? std::string("Primary") : tree.Desc().name;
}

std::vector<TIndexDesc> TIndexFile::Definitions() const {
  std::vector<TIndexDesc> defs;
  if (primary_) defs.push_back(primary_->Desc());
  for (const auto& t : secondary_) defs.push_back(t->Desc());
  return defs;
}

std::vector<TIndexTree*> TIndexFile::RecordIndexes() {
  std::vector<TIndexTree*> trees;
  if (primary_) trees.push_back(primary_.get());
  for (auto& t : secondary_) trees.push_back(t.get());
  return trees;
}

// ---- one change ---------------------------------------------------------------------------

std::vector<TIndexTree*> TIndexFile::AllTrees() {
  std::vector<TIndexTree*> trees = RecordIndexes();
  trees.push_back(sysDeleted_.get());
  return trees;
}

void TIndexFile::BeginChange() {
  savedHeader_ = header_;
  savedHeaderDirty_ = headerDirty_;
  writtenInChange_ = false;
  for (TIndexTree* t : AllTrees()) t->BeginChange();
  inChange_ = true;
}

void TIndexFile::EndChange() {
  for (TIndexTree* t : AllTrees()) t->EndChange();
  inChange_ = false;
}

void TIndexFile::AbortChange() {
  if (!inChange_) return;
  for (TIndexTree* t : AllTrees()) t->AbortChange();
  header_.endOffset = savedHeader_.endOffset;
  header_.recordCount = savedHeader_.recordCount;
  // A header written during the change is written again; otherwise it is as unwritten as it
  // was before the change, so that a refused change leaves nothing to write.
  headerDirty_ = savedHeaderDirty_ || writtenInChange_;
  inChange_ = false;
}

template <typename F>
void TIndexFile::AsOneChange(F&& change) {
  if (inChange_) {
    change();
    return;
  }
  BeginChange();
  try {
    change();
  } catch (...) {
    AbortChange();
    throw;
  }
  EndChange();
}

// ---- record maintenance -------------------------------------------------------------------

void TIndexFile::CheckUnique(std::span<const uint8_t> record, int32_t recNo, int32_t logicalId) {
  const int size = static_cast<int>(record.size());
  for (TIndexTree* t : RecordIndexes()) {
    if (!t->Layout().Unique()) continue;
    auto key = t->Layout().BuildKey(record.data(), size, logicalId, options_.tableName);
    auto found = t->Find(key.data());
    if (found && *found != recNo)
      throw EStoreEngineError(StoreCode::DuplicateKey, {DisplayName(*t), options_.tableName});
  }
}

void TIndexFile::InsertRecord(std::span<const uint8_t> record, int32_t recNo, int32_t logicalId) {
  const int size = static_cast<int>(record.size());
  std::vector<std::vector<uint8_t>> keys;
  for (TIndexTree* t : RecordIndexes())
    keys.push_back(t->Layout().BuildKey(record.data(), size, logicalId, options_.tableName));
  // Each unique index checks the key on the descent that places it; a duplicate undoes what
  // the indexes before it took (the change is aborted as a whole).
  AsOneChange([&] {
    size_t i = 0;
    for (TIndexTree* t : RecordIndexes()) {
      const uint8_t* key = keys[i++].data();
      if (!t->Layout().Unique()) {
        t->Insert(key, recNo);
      } else if (!t->InsertUnique(key, recNo)) {
        throw EStoreEngineError(StoreCode::DuplicateKey, {DisplayName(*t), options_.tableName});
      }
    }
  });
}

void TIndexFile::DeleteRecord(std::span<const uint8_t> record, int32_t recNo, int32_t logicalId) {
  const int size = static_cast<int>(record.size());
  std::vector<std::vector<uint8_t>> keys;
  for (TIndexTree* t : RecordIndexes())
    keys.push_back(t->Layout().BuildKey(record.data(), size, logicalId, options_.tableName));
  // One descent per index finds and removes the entry; a missing one undoes what the
  // indexes before it gave up (the change is aborted as a whole) and raises 8965.
  AsOneChange([&] {
    size_t i = 0;
    for (TIndexTree* t : RecordIndexes())
      if (!t->Remove(keys[i++].data()))
        throw EStoreEngineError(StoreCode::IndexPagesCorrupt, {options_.tableName});
  });
}

void TIndexFile::UpdateRecord(std::span<const uint8_t> oldRecord,
                              std::span<const uint8_t> newRecord, int32_t recNo,
                              int32_t logicalId) {
  struct TChange {
    TIndexTree* tree;
    std::vector<uint8_t> oldKey, newKey;
  };
  std::vector<TChange> changes;
  for (TIndexTree* t : RecordIndexes()) {
    TChange c{t,
              t->Layout().BuildKey(oldRecord.data(), static_cast<int>(oldRecord.size()), logicalId,
                                   options_.tableName),
              t->Layout().BuildKey(newRecord.data(), static_cast<int>(newRecord.size()), logicalId,
                                   options_.tableName)};
    if (c.oldKey == c.newKey) continue;
    if (!t->Find(c.oldKey.data()))
      throw EStoreEngineError(StoreCode::IndexPagesCorrupt, {options_.tableName});
    if (t->Layout().Unique()) {
      auto found = t->Find(c.newKey.data());
      if (found && *found != recNo)
        throw EStoreEngineError(StoreCode::DuplicateKey, {DisplayName(*t), options_.tableName});
    }
    changes.push_back(std::move(c));
  }
  AsOneChange([&] {
    for (TChange& c : changes) {
      c.tree->Remove(c.oldKey.data());
      c.tree->Insert(c.newKey.data(), recNo);
    }
  });
}

// ---- "Sys Deleted" ------------------------------------------------------------------------

void TIndexFile::SysDeletedAdd(bool deleted, int32_t logicalId, int32_t recNo) {
  auto key = TKeyLayout::SysDeletedKey(deleted, logicalId);
  if (sysDeleted_->Find(key.data()))
    throw EStoreEngineError(StoreCode::IndexPagesCorrupt, {options_.tableName});
  AsOneChange([&] { sysDeleted_->Insert(key.data(), recNo); });
}

void TIndexFile::SysDeletedMarkDeleted(int32_t logicalId, int32_t recNo) {
  auto active = TKeyLayout::SysDeletedKey(false, logicalId);
  auto deleted = TKeyLayout::SysDeletedKey(true, logicalId);
  if (!sysDeleted_->Find(active.data()) || sysDeleted_->Find(deleted.data()))
    throw EStoreEngineError(StoreCode::IndexPagesCorrupt, {options_.tableName});
  AsOneChange([&] {
    sysDeleted_->Remove(active.data());
    sysDeleted_->Insert(deleted.data(), recNo);
  });
}

void TIndexFile::SysDeletedReuse(int32_t oldLogicalId, int32_t newLogicalId, int32_t recNo) {
  auto old = TKeyLayout::SysDeletedKey(true, oldLogicalId);
  auto fresh = TKeyLayout::SysDeletedKey(false, newLogicalId);
  if (!sysDeleted_->Find(old.data()) || sysDeleted_->Find(fresh.data()))
    throw EStoreEngineError(StoreCode::IndexPagesCorrupt, {options_.tableName});
  AsOneChange([&] {
    sysDeleted_->Remove(old.data());
    sysDeleted_->Insert(fresh.data(), recNo);
  });
}

void TIndexFile::FillSysDeleted(const TSlotSource& slots) {
  int32_t active = 0;
  AsOneChange([&] {
    slots([&](bool deleted, int32_t logicalId, int32_t recNo) {
      SysDeletedAdd(deleted, logicalId, recNo);
      if (!deleted) ++active;
    });
    SetRecordCount(active);
  });
}

void TIndexFile::Rebuild(const TRecordSource& records, const TSlotSource& slots) {
  Empty();
  if (records) {
    records([&](std::span<const uint8_t> record, int32_t recNo, int32_t logicalId) {
      InsertRecord(record, recNo, logicalId);
    });
  }
  if (slots) FillSysDeleted(slots);
}

// ---- changing the set of indexes ----------------------------------------------------------

void TIndexFile::FillNewIndex(TIndexTree& tree, const TRecordSource& records) {
  if (!records) return;
  const int32_t endBefore = header_.endOffset;
  try {
    records([&](std::span<const uint8_t> record, int32_t recNo, int32_t logicalId) {
      auto key = tree.Layout().BuildKey(record.data(), static_cast<int>(record.size()), logicalId,
                                        options_.tableName);
      if (tree.Layout().Unique() && tree.Find(key.data()))
        throw EStoreEngineError(StoreCode::DuplicateKey, {DisplayName(tree), options_.tableName});
      tree.Insert(key.data(), recNo);
    });
  } catch (...) {
    // The new index took its pages only from the end of the file: give them back.
    header_.endOffset = endBefore;
    throw;
  }
}

void TIndexFile::DefinePrimaryIndex(const TIndexDesc& desc, const TRecordSource& records) {
  if (primary_) throw EStoreEngineError(StoreCode::PrimaryIndexExists, {options_.tableName});
  TIndexDesc d = desc;
  d.name.clear();
  d.rootPage = 0;
  d.freeChain = 0;
  auto tree = MakeTree(d, true, 0);
  FillNewIndex(*tree, records);
  primary_ = std::move(tree);
  header_.primaryNoKeyFields = false;
  headerDirty_ = true;
}

void TIndexFile::AddSecondaryIndex(const TIndexDesc& desc, const TRecordSource& records) {
  const std::string& table = options_.tableName;
  if (secondary_.size() >= static_cast<size_t>(kMaxSecondaryIndexes))
    throw EStoreEngineError(StoreCode::IndexLimits, {table});
  std::string name = Trim(desc.name);
  if (name.empty()) throw EStoreEngineError(StoreCode::SecondaryIndexNameMissing, {table});
  if (name.size() > 30 || !ValidFirstCharacter(name))
    throw EStoreEngineError(StoreCode::InvalidSecondaryIndexName, {name, table});
  for (const auto& t : secondary_) {
    if (SameName(t->Desc().name, name))
      throw EStoreEngineError(StoreCode::SecondaryIndexExists, {name, table});
  }
  TIndexDesc d = desc;
  d.name = name;
  d.rootPage = 0;
  d.freeChain = 0;
  auto tree = MakeTree(d, false, 0);
  FillNewIndex(*tree, records);
  secondary_.push_back(std::move(tree));
  headerDirty_ = true;
}

void TIndexFile::RemoveSecondaryIndex(const std::string& name) {
  if (IsPrimaryName(name))
    throw EStoreEngineError(StoreCode::PrimaryIndexRemove, {options_.tableName});
  auto it = std::find_if(secondary_.begin(), secondary_.end(),
                         [&](const auto& t) { return SameName(t->Desc().name, name); });
  if (it == secondary_.end())
    throw EStoreEngineError(StoreCode::InvalidSecondaryIndexName, {name, options_.tableName});
  // Changed pages of the index go with it; its pages stay unused in the file.
  secondary_.erase(it);
  headerDirty_ = true;
}

// ---- header values, writing, change detection ---------------------------------------------

void TIndexFile::SetRecordCount(int32_t count) {
  if (header_.recordCount == count) return;
  header_.recordCount = count;
  headerDirty_ = true;
}

void TIndexFile::CollectDescriptors() {
  header_.primaryNoKeyFields = primary_ == nullptr;
  header_.primary = primary_ ? primary_->Desc() : TIndexDesc{};
  header_.secondary.clear();
  for (const auto& t : secondary_) header_.secondary.push_back(t->Desc());
  header_.sysDeleted = sysDeleted_->Desc();
}

bool TIndexFile::HasUnwrittenChanges() const {
  if (headerDirty_ || sysDeleted_->HasDirtyPages()) return true;
  if (primary_ && primary_->HasDirtyPages()) return true;
  return std::any_of(secondary_.begin(), secondary_.end(),
                     [](const auto& t) { return t->HasDirtyPages(); });
}

size_t TIndexFile::DirtyPageCount() const {
  size_t count = sysDeleted_->DirtyPageCount() + (primary_ ? primary_->DirtyPageCount() : 0);
  for (const auto& t : secondary_) count += t->DirtyPageCount();
  return count;
}

void TIndexFile::WriteChanges(bool forceHeader, bool flushToDisk) {
  // Every write of the file moves its change counter on, also one that changed pages alone
  // (an edit that moves an entry within its page): other programs keep their cached pages
  // for as long as the counter stands.
  const bool pagesChanged = HasUnwrittenChanges();
  if (primary_) primary_->WriteDirtyPages();
  for (auto& t : secondary_) t->WriteDirtyPages();
  sysDeleted_->WriteDirtyPages();
  if (pagesChanged || forceHeader) {
    CollectDescriptors();
    header_.changeCounter = NextChangeCounter(header_.changeCounter);
    header_.headerChanged = true;
    WriteHeaderBytes(file_, header_, options_);
    header_.headerChanged = false;
    headerDirty_ = false;
    if (inChange_) writtenInChange_ = true;
  }
  if (flushToDisk && !file_.Flush())
    throw EStoreEngineError(StoreCode::WriteError, {options_.tableName});
}

bool TIndexFile::ChangedOnDisk() {
  return quellor::ChangedOnDisk(file_, header_.changeCounter, options_.cipher, options_.tableName);
}

void TIndexFile::Reload() {
  TIndexFileHeader h = ReadHeader();
  bool sameDefinitions =
      h.primaryNoKeyFields == header_.primaryNoKeyFields && h.secondary.size() == secondary_.size();
  if (sameDefinitions && primary_) sameDefinitions = SameDefinition(h.primary, primary_->Desc());
  for (size_t i = 0; sameDefinitions && i < secondary_.size(); ++i)
    sameDefinitions = SameDefinition(h.secondary[i], secondary_[i]->Desc());
  if (sameDefinitions) {
    header_ = h;
    if (primary_) primary_->Reload(h.primary);
    for (size_t i = 0; i < secondary_.size(); ++i) secondary_[i]->Reload(h.secondary[i]);
    sysDeleted_->Reload(h.sysDeleted);
  } else {
    TIndexFileHeader saved = header_;
    header_ = h;
    try {
      BuildTrees();
    } catch (...) {
      header_ = saved;
      throw;
    }
  }
  headerDirty_ = false;
  inChange_ = false;
}

void TIndexFile::Empty() {
  file_.WriteAt(kIndexHeaderSize, nullptr, 0);
  header_.endOffset = kIndexHeaderSize;
  header_.recordCount = 0;
  TIndexDesc none;
  if (primary_) primary_->Reload(none);
  for (auto& t : secondary_) t->Reload(none);
  sysDeleted_->Reload(none);
  inChange_ = false;
  headerDirty_ = true;
  WriteChanges(true);
}

}  // namespace quellor
