#include "store/format/DataFile.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "store/api/StoreDate.h"
#include "store/api/StoreError.h"
#include "store/format/ByteOrder.h"
#include "store/format/ChangeCounter.h"
#include "store/format/Cipher.h"
#include "store/format/FieldValue.h"
#include "store/os/RunWriter.h"
#include "store/os/StoreAssert.h"

namespace quellor {

using namespace bytes;

namespace {

std::string LowerName(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

void PutCipheredText(uint8_t* p, int n, const std::string& text, bool encrypted) {
  PutShortString(p, n, text);
  if (encrypted) ApplyCipher(p + 1, p[0], kHeaderTextKey);
}

std::string GetCipheredText(const uint8_t* p, int n, bool encrypted) {
  std::string text = GetShortString(p, n);
  if (encrypted) ApplyCipher(reinterpret_cast<uint8_t*>(text.data()), text.size(), kHeaderTextKey);
  return text;
}

}  // namespace

void EncodeDataHeader(const TDataHeader& h, bool changedFlag, uint8_t* out) {
  std::memset(out, 0, kDataHeaderSize);
  PutI32(out + 0, h.changeCounter);
  PutU32(out + 4, h.blobBlockSize);
  PutU8(out + 8, h.version);
  PutI32(out + 9, h.deletedChain);
  PutI32(out + 13, h.nextPhysical);
  PutI32(out + 17, h.lastLogicalId);
  PutU16(out + 21, h.recordSize);
  PutU16(out + 23, h.fieldCount);
  PutI16(out + 25, h.blobFieldCount);
  PutF64(out + 27, h.lastWrite);
  PutCipheredText(out + 35, 50, h.description, h.encrypted);
  PutU8(out + 86, h.encrypted ? 1 : 0);
  PutCipheredText(out + 87, 15, h.encrypted ? h.password : std::string(), h.encrypted);
  PutI16(out + 103, h.languageId);
  PutI16(out + 105, h.sortId);
  PutI16(out + 107, h.userMajor);
  PutI16(out + 109, h.userMinor);
  PutU8(out + 111, changedFlag ? 1 : 0);
  PutI32(out + 112, h.lastBlobId);
  PutI64(out + 116, h.writerVersion);
}

TDataHeader DecodeDataHeader(const uint8_t* in) {
  TDataHeader h;
  h.changeCounter = GetI32(in + 0);
  h.blobBlockSize = GetU32(in + 4);
  h.version = GetU8(in + 8);
  h.deletedChain = GetI32(in + 9);
  h.nextPhysical = GetI32(in + 13);
  h.lastLogicalId = GetI32(in + 17);
  h.recordSize = GetU16(in + 21);
  h.fieldCount = GetU16(in + 23);
  h.blobFieldCount = GetI16(in + 25);
  h.lastWrite = GetF64(in + 27);
  h.encrypted = GetU8(in + 86) != 0;
  h.description = GetCipheredText(in + 35, 50, h.encrypted);
  h.password = GetCipheredText(in + 87, 15, h.encrypted);
  h.languageId = GetI16(in + 103);
  h.sortId = GetI16(in + 105);
  h.userMajor = GetI16(in + 107);
  h.userMinor = GetI16(in + 109);
  h.lastBlobId = GetI32(in + 112);
  h.writerVersion = GetI64(in + 116);
  return h;
}

void EncodeFieldDesc(const TFieldDesc& f, uint8_t* out) {
  std::memset(out, 0, kFieldDescSize);
  PutU16(out + 0, f.number);
  PutShortString(out + 2, 30, f.name);
  PutShortString(out + 33, 50, f.description);
  PutU8(out + 84, static_cast<uint8_t>(f.type));
  PutU8(out + 85, f.subtype);
  PutU8(out + 86, f.size);
  PutU8(out + 87, f.decimals);
  PutU8(out + 88, f.width);
  PutU8(out + 89, f.decimals);
  PutU16(out + 90, f.offset);
  PutU8(out + 92, f.required ? 1 : 0);
  PutU8(out + 93, static_cast<uint8_t>(f.charCase));
  PutShortString(out + 94, 50, f.minimum);
  PutShortString(out + 145, 50, f.maximum);
  PutShortString(out + 196, 50, f.defaultValue);
  PutU8(out + 247, f.noStorage ? 1 : 0);
}

TFieldDesc DecodeFieldDesc(const uint8_t* in) {
  TFieldDesc f;
  f.number = GetU16(in + 0);
  f.name = GetShortString(in + 2, 30);
  f.description = GetShortString(in + 33, 50);
  f.type = static_cast<TStoreFieldType>(GetU8(in + 84));
  f.subtype = GetU8(in + 85);
  f.size = GetU8(in + 86);
  f.decimals = GetU8(in + 87);
  f.width = GetU8(in + 88);
  f.offset = GetU16(in + 90);
  f.required = GetU8(in + 92) != 0;
  f.charCase = static_cast<TCharCase>(GetU8(in + 93));
  f.minimum = GetShortString(in + 94, 50);
  f.maximum = GetShortString(in + 145, 50);
  f.defaultValue = GetShortString(in + 196, 50);
  f.noStorage = GetU8(in + 247) != 0;
  return f;
}

namespace {

// How many descriptors of a piece look like descriptors: length bytes within their strings'
// room, a known type code and a valid name.
size_t PlausibleDescriptors(const std::vector<uint8_t>& piece) {
  size_t plausible = 0;
  for (size_t at = 0; at + kFieldDescSize <= piece.size(); at += kFieldDescSize) {
    const uint8_t* raw = piece.data() + at;
    if (raw[2] > kMaxNameLength || raw[33] > kMaxTextLength || raw[94] > kMaxTextLength ||
        raw[145] > kMaxTextLength || raw[196] > kMaxTextLength || raw[84] < 1 || raw[84] > 15)
      continue;
    if (NameValid(GetShortString(raw + 2, 30))) ++plausible;
  }
  return plausible;
}

}  // namespace

void DecipherDescriptors(std::vector<uint8_t>& piece, const TDataHeader& header) {
  if (!header.encrypted) return;
  if (header.writerVersion == 0) {
    ApplyCipherBytes(piece.data(), piece.size() % 65536, kBodyKey);
    return;
  }
  if (!CipherLeavesPlain(piece.size())) {
    ApplyCipher(piece.data(), piece.size(), kBodyKey);
    return;
  }
  std::vector<uint8_t> whole = piece;
  ApplyCipherBytes(whole.data(), whole.size(), kBodyKey);
  if (PlausibleDescriptors(whole) > PlausibleDescriptors(piece)) piece = std::move(whole);
}

int LayoutFields(std::vector<TFieldDesc>& fields) {
  int offset = kRecordHeaderSize;
  for (auto& f : fields) {
    f.width = static_cast<uint8_t>(std::min(StoredWidth(f.type, f.size), 255));
    if (f.IsAutoInc()) {
      f.offset = kSlotLogicalIdOffset;
    } else if (f.noStorage) {
      f.offset = 0;
    } else {
      f.offset = static_cast<uint16_t>(std::min(offset, 65535));
      offset += StoredWidth(f.type, f.size) + 1;
    }
  }
  return offset;
}

bool NameValid(const std::string& name) {
  if (name.empty() || name.size() > static_cast<size_t>(kMaxNameLength)) return false;
  if (name.front() == ' ' || name.back() == ' ') return false;
  for (unsigned char ch : name)
    if (ch < 32) return false;
  unsigned char c = static_cast<unsigned char>(name[0]);
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 129 && c <= 254);
}

bool FieldDefinitionValid(const TFieldDesc& f) {
  uint8_t type = static_cast<uint8_t>(f.type);
  if (type < 1 || type > 15) return false;
  bool sized = f.type == TStoreFieldType::String || f.type == TStoreFieldType::Bytes ||
               f.type == TStoreFieldType::VarBytes;
  if (sized ? (f.size < 1 || f.size > kMaxFieldSize) : f.size != 0) return false;
  if (f.type == TStoreFieldType::BCD ? f.decimals > kMaxBcdDecimals : f.decimals != 0) return false;
  if (static_cast<uint8_t>(f.charCase) > 2) return false;
  for (const auto* text : {&f.description, &f.minimum, &f.maximum, &f.defaultValue})
    if (text->size() > static_cast<size_t>(kMaxTextLength)) return false;
  return ConstantConverts(f, f.defaultValue) && ConstantConverts(f, f.minimum) &&
         ConstantConverts(f, f.maximum);
}

// ---------------------------------------------------------------------------------------------

TDataFile::TDataFile(std::shared_ptr<TAbstractFile> file, std::string tableName)
    : file_(std::move(file)), tableName_(std::move(tableName)) {}

void TDataFile::Fail(uint16_t code) const {
  throw EStoreEngineError(code, {tableName_});
}

void TDataFile::Create(TAbstractFile& file, TDataHeader header,
                       const std::vector<TFieldDesc>& fields, const std::string& tableName) {
  header.version = kFormatVersion;
  header.changeCounter = 0;
  header.deletedChain = 0;
  header.nextPhysical = 1;
  header.lastLogicalId = 0;
  header.fieldCount = static_cast<uint16_t>(fields.size());
  header.writerVersion = kWriterVersion;
  header.lastWrite = NowDateTime() - kDateDelta;
  std::vector<uint8_t> image(kDataHeaderSize + kFieldDescSize * fields.size());
  EncodeDataHeader(header, false, image.data());
  for (size_t i = 0; i < fields.size(); ++i)
    EncodeFieldDesc(fields[i], image.data() + kDataHeaderSize + kFieldDescSize * i);
  if (header.encrypted)
    ApplyCipher(image.data() + kDataHeaderSize, kFieldDescSize * fields.size(), kBodyKey);
  int64_t size = static_cast<int64_t>(image.size());
  if (file.WriteAt(0, image.data(), size) != size || file.WriteAt(size, nullptr, 0) != 0)
    throw EStoreEngineError(StoreCode::WriteError, {tableName});
}

void TDataFile::Load() {
  uint8_t raw[kDataHeaderSize];
  if (file_->ReadAt(0, raw, kDataHeaderSize) != kDataHeaderSize) Fail(StoreCode::ReadError);
  TDataHeader h = DecodeDataHeader(raw);
  if (h.version != kFormatVersion) Fail(StoreCode::WrongVersion);
  if (h.fieldCount < 1 || h.fieldCount > kMaxFields) Fail(StoreCode::HeaderCorrupt);
  if (h.blobBlockSize != 0 &&
      (h.blobBlockSize < kMinBlobBlockSize || h.blobBlockSize > kMaxBlobBlockSize))
    Fail(StoreCode::HeaderCorrupt);
  if (raw[86] > 1 || raw[35] > kMaxTextLength || raw[87] > kMaxPasswordLength)
    Fail(StoreCode::HeaderCorrupt);
  if (h.nextPhysical < 1 || h.nextPhysical > kMaxSlots + 1) Fail(StoreCode::HeaderCorrupt);
  if (h.deletedChain < 0 || h.deletedChain >= h.nextPhysical) Fail(StoreCode::HeaderCorrupt);

  size_t descBytes = static_cast<size_t>(kFieldDescSize) * h.fieldCount;
  std::vector<uint8_t> desc(descBytes);
  if (file_->ReadAt(kDataHeaderSize, desc.data(), static_cast<int64_t>(descBytes)) !=
      static_cast<int64_t>(descBytes))
    Fail(StoreCode::ReadError);
  DecipherDescriptors(desc, h);

  std::vector<TFieldDesc> fields;
  fields.reserve(h.fieldCount);
  std::set<std::string> names;
  std::set<uint16_t> numbers;
  int blobFields = 0;
  for (size_t i = 0; i < h.fieldCount; ++i) {
    const uint8_t* raw = desc.data() + kFieldDescSize * i;
    // Length bytes beyond their strings' room are damage, not texts to cut.
    if (raw[2] > kMaxNameLength || raw[33] > kMaxTextLength || raw[94] > kMaxTextLength ||
        raw[145] > kMaxTextLength || raw[196] > kMaxTextLength)
      Fail(StoreCode::HeaderCorrupt);
    TFieldDesc f = DecodeFieldDesc(raw);
    if (!NameValid(f.name) || !names.insert(LowerName(f.name)).second ||
        !numbers.insert(f.number).second || !FieldDefinitionValid(f))
      Fail(StoreCode::HeaderCorrupt);
    if (f.type == TStoreFieldType::Blob) ++blobFields;
    fields.push_back(std::move(f));
  }
  // The stored layout must be the one the definitions give, or values would be read from the
  // wrong bytes (or outside the record).
  std::vector<TFieldDesc> laidOut = fields;
  int recordSize = LayoutFields(laidOut);
  for (size_t i = 0; i < fields.size(); ++i)
    if (laidOut[i].width != fields[i].width || laidOut[i].offset != fields[i].offset)
      Fail(StoreCode::HeaderCorrupt);
  if (recordSize > kMaxRecordSize || recordSize != h.recordSize) Fail(StoreCode::HeaderCorrupt);
  if (blobFields > kMaxBlobFields || blobFields != h.blobFieldCount) Fail(StoreCode::HeaderCorrupt);

  header_ = std::move(h);
  headerChanged_ = false;
  fields_ = std::move(fields);
  zeroImage_.assign(static_cast<size_t>(recordSize), 0);
  if (header_.encrypted) ApplyCipher(zeroImage_.data(), zeroImage_.size(), kBodyKey);
  capacity_ = static_cast<size_t>(std::max(1, std::min(131070 / recordSize, 8191)));
  readAhead_ = std::max(1, 65535 / recordSize);
  cache_.clear();
  dirty_.clear();
  lru_.clear();
}

int64_t TDataFile::SlotOffset(int32_t slot) const {
  return kDataHeaderSize + static_cast<int64_t>(kFieldDescSize) * header_.fieldCount +
         static_cast<int64_t>(slot - 1) * header_.recordSize;
}

bool FieldPlausible(const TFieldDesc& f, const uint8_t* image) {
  if (f.IsAutoInc() || f.noStorage) return true;
  const uint8_t flag = image[f.offset];
  const uint8_t* v = image + f.offset + 1;
  if (flag > 1) return false;
  if (flag == 0) return std::all_of(v, v + f.width, [](uint8_t b) { return b == 0; });
  if (f.type == TStoreFieldType::String) return v[f.width - 1] == 0;
  if (f.type == TStoreFieldType::Boolean) return GetU16(v) <= 1;
  return true;
}

int ImplausibleField(const std::vector<TFieldDesc>& fields, const uint8_t* image) {
  for (size_t i = 0; i < fields.size(); ++i)
    if (!FieldPlausible(fields[i], image)) return static_cast<int>(i);
  return -1;
}

bool TDataFile::StoredZero(const uint8_t* image, size_t at, size_t length) const {
  return std::memcmp(image + at, zeroImage_.data() + at, length) == 0;
}

bool TDataFile::NextHeaderZero(int32_t slot) const {
  if (slot >= SlotCount()) return false;
  auto it = cache_.find(slot + 1);
  if (it != cache_.end()) return StoredZero(it->second.image.data(), 0, kRecordHeaderSize);
  uint8_t header[kRecordHeaderSize];
  if (file_->ReadAt(SlotOffset(slot + 1), header, kRecordHeaderSize) != kRecordHeaderSize)
    return false;
  return std::all_of(header, header + kRecordHeaderSize, [](uint8_t b) { return b == 0; });
}

void TDataFile::CheckSlot(int32_t slot, const uint8_t* image) const {
  uint8_t flag = SlotDeletedFlag(image);
  if (flag > 1) Fail(StoreCode::RecordsCorrupt);
  if (flag != 0) return;
  if (SlotLink(image) != slot || SlotLogicalId(image) <= 0 || ImplausibleField(fields_, image) >= 0)
    Fail(StoreCode::RecordsCorrupt);
  const size_t rs = static_cast<size_t>(header_.recordSize);
  if (rs > kRecordHeaderSize && zeroImage_.size() == rs && StoredZero(image, rs - 1, 1) &&
      NextHeaderZero(slot))
    Fail(StoreCode::RecordsCorrupt);
}

void TDataFile::SetDirty(int32_t slot, CacheEntry& e, bool dirty) {
  e.dirty = dirty;
  if (dirty)
    dirty_.insert(slot);
  else
    dirty_.erase(slot);
  if (dirty && e.inLru) {
    lru_.erase(e.lru);
    e.inLru = false;
  } else if (!dirty && !e.inLru) {
    lru_.push_front(slot);
    e.lru = lru_.begin();
    e.inLru = true;
  }
}

void TDataFile::Forget(std::map<int32_t, CacheEntry>::iterator it) {
  if (it->second.inLru) lru_.erase(it->second.lru);
  dirty_.erase(it->first);
  cache_.erase(it);
}

TDataFile::CacheEntry& TDataFile::CacheSlot(int32_t slot, const uint8_t* image, bool dirty) {
  auto [it, fresh] = cache_.try_emplace(slot);
  CacheEntry& e = it->second;
  e.image.assign(image, image + header_.recordSize);
  if (fresh) {
    SetDirty(slot, e, dirty);
  } else if (dirty) {
    SetDirty(slot, e, true);
  } else if (e.inLru) {
    lru_.splice(lru_.begin(), lru_, e.lru);
  }
  return e;
}

void TDataFile::Trim(int32_t keep) {
  // Evicts the least recently used clean slots; changed ones wait for Flush, and `keep` (the
  // slot being handed out) stays even when everything else is changed, as in a transaction.
  auto it = lru_.end();
  while (cache_.size() > capacity_ && it != lru_.begin()) {
    --it;
    if (*it == keep) continue;
    auto victim = it++;
    cache_.erase(*victim);
    lru_.erase(victim);
  }
}

const uint8_t* TDataFile::ReadSlot(int32_t slot) {
  if (slot < 1 || slot > SlotCount()) Fail(StoreCode::RecordsCorrupt);
  auto it = cache_.find(slot);
  if (it == cache_.end()) {
    if (readHook_) readHook_();
    STORE_ASSERT(slot >= 1 && slot <= SlotCount());  // the hook drops caches, never the slot
    const int rs = header_.recordSize;
    // Read ahead only while slots are read in order: a walk in key order reads records at
    // random, and each would otherwise read (and evict for) a block it does not need.
    int32_t ahead = slot == nextAfterRead_ ? readAhead_ : 1;
    int32_t count = std::min(ahead, SlotCount() - slot + 1);
    std::vector<uint8_t> buffer(static_cast<size_t>(count) * rs);
    int64_t got =
        file_->ReadAt(SlotOffset(slot), buffer.data(), static_cast<int64_t>(buffer.size()));
    if (got < rs) Fail(StoreCode::ReadError);
    int32_t complete = static_cast<int32_t>(got / rs);
    nextAfterRead_ = slot + complete;
    // Later slots first, so that the slot asked for ends up most recently used.
    for (int32_t i = complete - 1; i >= 0; --i) {
      if (cache_.count(slot + i)) continue;
      uint8_t* image = buffer.data() + static_cast<size_t>(i) * rs;
      if (header_.encrypted) ApplyCipher(image, rs, kBodyKey);
      CacheSlot(slot + i, image, false);
    }
    Trim(slot);
    it = cache_.find(slot);
  } else if (it->second.inLru) {
    lru_.splice(lru_.begin(), lru_, it->second.lru);
  }
  CheckSlot(slot, it->second.image.data());
  return it->second.image.data();
}

void TDataFile::ReadSlots(const int32_t* slots, size_t count, uint8_t* out) {
  const size_t rs = static_cast<size_t>(header_.recordSize);
  // The slots to read from the file, in file order, with where each goes.
  std::vector<std::pair<int32_t, size_t>> wanted;
  for (size_t i = 0; i < count; ++i) {
    if (slots[i] < 1 || slots[i] > SlotCount()) Fail(StoreCode::RecordsCorrupt);
    auto it = cache_.find(slots[i]);
    if (it != cache_.end())
      std::memcpy(out + i * rs, it->second.image.data(), rs);
    else
      wanted.emplace_back(slots[i], i);
  }
  if (wanted.empty()) return;
  if (readHook_) readHook_();
  // Copied from a mapping when the file has one: each record straight to its place, nothing
  // between them.
  pieceOffsets_.resize(wanted.size());
  pieceOuts_.resize(wanted.size());
  for (size_t k = 0; k < wanted.size(); ++k) {
    pieceOffsets_[k] = SlotOffset(wanted[k].first);
    pieceOuts_[k] = out + wanted[k].second * rs;
  }
  if (file_->ReadMappedPieces(pieceOffsets_.data(), wanted.size(), rs, pieceOuts_.data())) {
    if (header_.encrypted)
      for (uint8_t* image : pieceOuts_) ApplyCipher(image, static_cast<int>(rs), kBodyKey);
    nextAfterRead_ = 0;
    return;
  }
  std::sort(wanted.begin(), wanted.end());
  // Neighbours are read together while the bytes between them stay few (a gap of at most
  // 8 KiB or 4 records) and the read stays within 1 MiB.
  const int32_t maxGap = std::max<int32_t>(4, static_cast<int32_t>(8192 / rs));
  const int32_t maxRun = std::max<int32_t>(1, static_cast<int32_t>((1u << 20) / rs));
  for (size_t first = 0; first < wanted.size();) {
    size_t last = first;
    while (last + 1 < wanted.size() && wanted[last + 1].first - wanted[last].first <= maxGap &&
           wanted[last + 1].first - wanted[first].first < maxRun)
      ++last;
    const int32_t begin = wanted[first].first;
    const size_t bytes = static_cast<size_t>(wanted[last].first - begin + 1) * rs;
    if (runBuffer_.size() < bytes) runBuffer_.resize(bytes);
    int64_t got = file_->ReadAt(SlotOffset(begin), runBuffer_.data(), static_cast<int64_t>(bytes));
    for (size_t k = first; k <= last; ++k) {
      const size_t at = static_cast<size_t>(wanted[k].first - begin) * rs;
      if (got < 0 || static_cast<size_t>(got) < at + rs) Fail(StoreCode::ReadError);
      uint8_t* image = out + wanted[k].second * rs;
      std::memcpy(image, runBuffer_.data() + at, rs);
      if (header_.encrypted) ApplyCipher(image, static_cast<int>(rs), kBodyKey);
    }
    first = last + 1;
  }
  nextAfterRead_ = 0;  // not a walk in slot order
}

void TDataFile::ReadRun(int32_t first, int32_t count, uint8_t* out) {
  if (count < 1 || first < 1 || first > SlotCount() - count + 1) Fail(StoreCode::RecordsCorrupt);
  const size_t rs = static_cast<size_t>(header_.recordSize);
  const int64_t bytes = static_cast<int64_t>(count) * static_cast<int64_t>(rs);
  if (readHook_) readHook_();
  if (file_->ReadAt(SlotOffset(first), out, bytes) != bytes) Fail(StoreCode::ReadError);
  if (header_.encrypted)
    for (int32_t i = 0; i < count; ++i) ApplyCipher(out + i * rs, static_cast<int>(rs), kBodyKey);
  // Clean cached images are what the file holds; changed ones are newer.
  for (auto it = cache_.lower_bound(first); it != cache_.end() && it->first < first + count; ++it)
    if (it->second.dirty)
      std::memcpy(out + static_cast<size_t>(it->first - first) * rs, it->second.image.data(), rs);
  nextAfterRead_ = 0;
}

const uint8_t* TDataFile::ViewRun(int32_t first, int32_t count) {
  if (count < 1 || first < 1 || first > SlotCount() - count + 1) Fail(StoreCode::RecordsCorrupt);
  if (header_.encrypted) return nullptr;
  if (readHook_) readHook_();
  // Changed images are newer than the file's.
  for (auto it = cache_.lower_bound(first); it != cache_.end() && it->first < first + count; ++it)
    if (it->second.dirty) return nullptr;
  const int64_t bytes = static_cast<int64_t>(count) * header_.recordSize;
  const uint8_t* view = file_->MappedView(SlotOffset(first), bytes);
  if (view) nextAfterRead_ = 0;
  return view;
}

void TDataFile::WriteSlot(int32_t slot, const uint8_t* image) {
  if (slot < 1 || slot > SlotCount()) Fail(StoreCode::RecordsCorrupt);
  if (undoActive_ && !undo_.count(slot)) {
    auto it = cache_.find(slot);
    if (it == cache_.end())
      undo_.emplace(slot, std::nullopt);
    else
      undo_.emplace(slot, TSaved{it->second.image, it->second.dirty});
  }
  CacheSlot(slot, image, true);
}

int32_t TDataFile::AllocateSlot(bool reuseDeleted, bool& reused) {
  if (reuseDeleted && header_.deletedChain != 0) {
    int32_t slot = header_.deletedChain;
    const uint8_t* image = ReadSlot(slot);
    int32_t link = SlotLink(image);
    if (SlotDeletedFlag(image) != 1 || link < 0 || link > SlotCount() || link == slot)
      Fail(StoreCode::RecordsCorrupt);
    EditHeader().deletedChain = link;
    reused = true;
    return slot;
  }
  int32_t slot = header_.nextPhysical;
  if (slot > kMaxSlots || static_cast<int64_t>(slot) * header_.recordSize > kGrowthLimit)
    Fail(StoreCode::TableFull);
  EditHeader().nextPhysical = slot + 1;
  reused = false;
  return slot;
}

void TDataFile::FreeSlot(int32_t slot, uint8_t* image) {
  SetSlotDeletedFlag(image, 1);
  SetSlotLink(image, header_.deletedChain);
  EditHeader().deletedChain = slot;
  WriteSlot(slot, image);
}

TDataFile::TSnapshot TDataFile::Snapshot() {
  undo_.clear();
  undoActive_ = true;
  return {header_, headerChanged_};
}

void TDataFile::EndChange() {
  undo_.clear();
  undoActive_ = false;
}

void TDataFile::Restore(const TSnapshot& snapshot) {
  header_ = snapshot.header;
  headerChanged_ = snapshot.headerChanged;
  // Changes of the failed operation are still in the cache only: put the slots back.
  for (auto& [slot, saved] : undo_) {
    auto it = cache_.find(slot);
    if (!saved) {
      if (it != cache_.end()) Forget(it);
      continue;
    }
    CacheEntry& e = CacheSlot(slot, saved->image.data(), false);
    SetDirty(slot, e, saved->dirty);
  }
  EndChange();
  Trim();
}

bool TDataFile::HasUnwrittenChanges() const {
  return headerChanged_ || !dirty_.empty();
}

void TDataFile::Flush(bool forceHeader, bool flushOs) {
  const int rs = header_.recordSize;
  const int64_t first = SlotOffset(1);
  TRunWriter writer(*file_, tableName_, [&](int64_t offset, int64_t size) {
    const int32_t begin = static_cast<int32_t>((offset - first) / rs) + 1;
    const int32_t end = begin + static_cast<int32_t>(size / rs);
    STORE_ASSERT(begin >= 1 && end - 1 <= SlotCount() && size == int64_t{rs} * (end - begin));
    for (int32_t s = begin; s < end; ++s) SetDirty(s, cache_[s], false);
    // Written records may go at once: the file (or the journal holding its writes back) has
    // them now, so a transaction's many changed records are not kept twice while they are
    // written. The record the loop stands on is still changed and stays.
    Trim();
  });
  // Only the changed slots are walked (in slot order), not the whole cache; the list is
  // copied because writing a run marks its slots clean.
  const std::vector<int32_t> changed(dirty_.begin(), dirty_.end());
  for (int32_t slot : changed) {
    auto found = cache_.find(slot);
    if (found == cache_.end() || !found->second.dirty) continue;
    uint8_t* at = writer.Add(SlotOffset(slot), static_cast<size_t>(rs));
    std::memcpy(at, found->second.image.data(), static_cast<size_t>(rs));
    if (header_.encrypted) ApplyCipher(at, rs, kBodyKey);
  }
  writer.Finish();
  if (headerChanged_ || forceHeader) WriteHeader(false);
  if (flushOs && !file_->Flush()) Fail(StoreCode::WriteError);
  Trim();
}

void TDataFile::WriteHeader(bool flushOs) {
  header_.changeCounter = NextChangeCounter(header_.changeCounter);
  header_.writerVersion = kWriterVersion;
  header_.lastWrite = NowDateTime() - kDateDelta;
  uint8_t raw[kDataHeaderSize];
  EncodeDataHeader(header_, headerChanged_, raw);
  if (file_->WriteAt(0, raw, kDataHeaderSize) != kDataHeaderSize) Fail(StoreCode::WriteError);
  headerChanged_ = false;
  if (flushOs && !file_->Flush()) Fail(StoreCode::WriteError);
}

TDataHeader TDataFile::ReadHeaderFromDisk() {
  uint8_t raw[kDataHeaderSize];
  if (file_->ReadAt(0, raw, kDataHeaderSize) != kDataHeaderSize) Fail(StoreCode::ReadError);
  return DecodeDataHeader(raw);
}

bool TDataFile::ChangedOnDisk() {
  // The data file header is never enciphered before offset 35.
  return quellor::ChangedOnDisk(*file_, header_.changeCounter, {}, tableName_);
}

void TDataFile::Discard() {
  cache_.clear();
  dirty_.clear();
  lru_.clear();
  undo_.clear();
  undoActive_ = false;
  headerChanged_ = false;
  TDataHeader h = ReadHeaderFromDisk();
  if (h.version != kFormatVersion) Fail(StoreCode::WrongVersion);
  if (h.fieldCount != header_.fieldCount || h.recordSize != header_.recordSize ||
      h.nextPhysical < 1 || h.nextPhysical > kMaxSlots + 1 || h.deletedChain < 0 ||
      h.deletedChain >= h.nextPhysical)
    Fail(StoreCode::HeaderCorrupt);
  header_ = std::move(h);
}

bool TDataFile::Reload() {
  // The counter alone first: the whole header is read and decoded only when it moved.
  if (!ChangedOnDisk()) return false;
  TDataHeader h = ReadHeaderFromDisk();
  if (h.changeCounter == header_.changeCounter) return false;
  if (h.version != kFormatVersion) Fail(StoreCode::WrongVersion);
  // Another writer may change the counters and attributes, never the layout.
  if (h.fieldCount != header_.fieldCount || h.recordSize != header_.recordSize ||
      h.blobBlockSize != header_.blobBlockSize || h.encrypted != header_.encrypted ||
      h.nextPhysical < 1 || h.nextPhysical > kMaxSlots + 1 || h.deletedChain < 0 ||
      h.deletedChain >= h.nextPhysical)
    Fail(StoreCode::HeaderCorrupt);
  if (!HasUnwrittenChanges()) {
    header_ = std::move(h);
    cache_.clear();
    dirty_.clear();
    lru_.clear();
  }
  return true;
}

void TDataFile::Empty() {
  int64_t end = SlotOffset(1);
  if (file_->WriteAt(end, nullptr, 0) != 0) Fail(StoreCode::WriteError);
  cache_.clear();
  dirty_.clear();
  lru_.clear();
  header_.changeCounter = 0;
  header_.deletedChain = 0;
  header_.nextPhysical = 1;
  header_.lastLogicalId = 0;
  headerChanged_ = true;
  WriteHeader(false);
}

}  // namespace quellor
