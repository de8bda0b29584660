#include "store/format/IndexHeader.h"

#include <cstring>

#include "store/api/StoreError.h"
#include "store/format/IndexBytes.h"
#include "store/format/KeyLayout.h"

namespace quellor {
namespace {

using namespace indexbytes;

constexpr int kOffCounter = 0;
constexpr int kOffVersion = 8;
constexpr int kOffEnd = 9;
constexpr int kOffSecondaryCount = 13;
constexpr int kOffDescriptors = 14;
constexpr int kOffRecordCount = 3974;
constexpr int kOffNoKeyFields = 3978;
constexpr int kOffHeaderChanged = 3979;

constexpr int kDescName = 0;
constexpr int kDescKeySize = 31;
constexpr int kDescDescending = 33;
constexpr int kDescCaseInsensitive = 34;
constexpr int kDescUnique = 35;
constexpr int kDescCompression = 36;
constexpr int kDescFieldCount = 37;
constexpr int kDescFieldDescending = 38;
constexpr int kDescFieldNumbers = 54;
constexpr int kDescRoot = 86;
constexpr int kDescFreeChain = 90;

void EncodeDescriptor(const TIndexDesc& d, uint8_t* p) {
  std::memset(p, 0, kIndexDescriptorSize);
  PutShortString(p + kDescName, 30, d.name);
  PutU16(p + kDescKeySize, d.keySize);
  p[kDescDescending] = d.descending ? 1 : 0;
  p[kDescCaseInsensitive] = d.caseInsensitive ? 1 : 0;
  p[kDescUnique] = d.unique ? 1 : 0;
  p[kDescCompression] = static_cast<uint8_t>(d.compression);
  size_t count = d.fieldNumbers.size() > 16 ? 16 : d.fieldNumbers.size();
  p[kDescFieldCount] = static_cast<uint8_t>(count);
  for (size_t i = 0; i < count; ++i) {
    p[kDescFieldDescending + i] = i < d.fieldDescending.size() && d.fieldDescending[i] ? 1 : 0;
    PutU16(p + kDescFieldNumbers + 2 * i, d.fieldNumbers[i]);
  }
  PutI32(p + kDescRoot, d.rootPage);
  PutI32(p + kDescFreeChain, d.freeChain);
}

// Decodes one descriptor. Strict (`damaged` null): a name length beyond 30, a compression code
// above 3 or more than 16 key fields raise 8961. Lenient: the name is cut to 30, the others are
// read as none and 16, and `damaged` is set.
TIndexDesc DecodeDescriptor(const uint8_t* p, const std::string& tableName, bool* damaged) {
  auto fault = [&] {
    if (!damaged) throw EStoreEngineError(StoreCode::HeaderCorrupt, {tableName});
    *damaged = true;
  };
  TIndexDesc d;
  if (p[kDescName] > 30 && !damaged) fault();
  d.name = GetShortString(p + kDescName, 30);
  d.keySize = GetU16(p + kDescKeySize);
  d.descending = p[kDescDescending] != 0;
  d.caseInsensitive = p[kDescCaseInsensitive] != 0;
  d.unique = p[kDescUnique] != 0;
  uint8_t compression = p[kDescCompression];
  if (compression > 3) {
    fault();
    compression = 0;
  }
  d.compression = static_cast<TIndexCompression>(compression);
  int count = p[kDescFieldCount];
  if (count > kMaxKeyFields) {
    fault();
    count = kMaxKeyFields;
  }
  for (int i = 0; i < count; ++i) {
    d.fieldDescending.push_back(p[kDescFieldDescending + i] != 0);
    d.fieldNumbers.push_back(GetU16(p + kDescFieldNumbers + 2 * i));
  }
  d.rootPage = GetI32(p + kDescRoot);
  d.freeChain = GetI32(p + kDescFreeChain);
  return d;
}

const uint8_t* DescriptorAt(const uint8_t* in, int slot) {
  return in + kOffDescriptors + slot * kIndexDescriptorSize;
}

void CheckPageLinks(const TIndexDesc& d, int32_t endOffset, const std::string& tableName) {
  for (int32_t link : {d.rootPage, d.freeChain}) {
    if (link != 0 && !IsIndexPageOffset(link, endOffset))
      throw EStoreEngineError(StoreCode::HeaderCorrupt, {tableName});
  }
}

}  // namespace

TIndexFileHeader TIndexFileHeader::New() {
  TIndexFileHeader h;
  h.sysDeleted.name = kSysDeletedName;
  h.sysDeleted.keySize = kSysDeletedKeySize;
  return h;
}

void EncodeIndexHeader(const TIndexFileHeader& h, uint8_t* out) {
  std::memset(out, 0, kIndexHeaderSize);
  PutI32(out + kOffCounter, h.changeCounter);
  out[kOffVersion] = h.version;
  PutI32(out + kOffEnd, h.endOffset);
  size_t secondaryCount = h.secondary.size() > 30 ? 30 : h.secondary.size();
  out[kOffSecondaryCount] = static_cast<uint8_t>(secondaryCount);
  if (!h.primaryNoKeyFields) EncodeDescriptor(h.primary, out + kOffDescriptors);
  for (size_t i = 0; i < secondaryCount; ++i)
    EncodeDescriptor(h.secondary[i], out + kOffDescriptors + (1 + i) * kIndexDescriptorSize);
  EncodeDescriptor(h.sysDeleted, out + kOffDescriptors + 31 * kIndexDescriptorSize);
  PutI32(out + kOffRecordCount, h.recordCount);
  out[kOffNoKeyFields] = h.primaryNoKeyFields ? 1 : 0;
  out[kOffHeaderChanged] = h.headerChanged ? 1 : 0;
}

TIndexFileHeader DecodeIndexHeader(const uint8_t* in, const std::string& tableName) {
  TIndexFileHeader h;
  h.version = in[kOffVersion];
  if (h.version != kIndexFileVersion) throw EStoreEngineError(StoreCode::WrongVersion, {tableName});
  h.changeCounter = GetI32(in + kOffCounter);
  h.endOffset = GetI32(in + kOffEnd);
  if (h.endOffset < kIndexHeaderSize || h.endOffset % kIndexPageSize != 0)
    throw EStoreEngineError(StoreCode::HeaderCorrupt, {tableName});
  int secondaryCount = in[kOffSecondaryCount];
  if (secondaryCount > kMaxSecondaryIndexes)
    throw EStoreEngineError(StoreCode::HeaderCorrupt, {tableName});
  h.primary = DecodeDescriptor(DescriptorAt(in, 0), tableName, nullptr);
  for (int i = 0; i < secondaryCount; ++i)
    h.secondary.push_back(DecodeDescriptor(DescriptorAt(in, 1 + i), tableName, nullptr));
  h.sysDeleted = DecodeDescriptor(DescriptorAt(in, 31), tableName, nullptr);
  h.recordCount = GetI32(in + kOffRecordCount);
  h.primaryNoKeyFields = in[kOffNoKeyFields] != 0;
  h.headerChanged = false;

  // The primary index has no name and is always unique; without key fields its slot is empty.
  if (!h.primary.name.empty()) throw EStoreEngineError(StoreCode::HeaderCorrupt, {tableName});
  if (h.primaryNoKeyFields && !h.primary.fieldNumbers.empty())
    throw EStoreEngineError(StoreCode::HeaderCorrupt, {tableName});
  if (h.primary.fieldNumbers.empty()) h.primaryNoKeyFields = true;
  if (h.sysDeleted.keySize != kSysDeletedKeySize || !h.sysDeleted.fieldNumbers.empty())
    throw EStoreEngineError(StoreCode::HeaderCorrupt, {tableName});
  CheckPageLinks(h.primary, h.endOffset, tableName);
  for (const TIndexDesc& d : h.secondary) CheckPageLinks(d, h.endOffset, tableName);
  CheckPageLinks(h.sysDeleted, h.endOffset, tableName);
  if (h.primaryNoKeyFields && (h.primary.rootPage != 0 || h.primary.freeChain != 0))
    throw EStoreEngineError(StoreCode::HeaderCorrupt, {tableName});
  return h;
}

TIndexHeaderReading ReadIndexHeaderLeniently(const uint8_t* in) {
  TIndexHeaderReading r;
  TIndexFileHeader& h = r.header;
  const std::string none;  // nothing is raised, so no table is named
  h.version = in[kOffVersion];
  r.wrongVersion = h.version != kIndexFileVersion;
  h.changeCounter = GetI32(in + kOffCounter);
  h.endOffset = GetI32(in + kOffEnd);
  r.badEndOffset = h.endOffset < kIndexHeaderSize || h.endOffset % kIndexPageSize != 0;
  int secondaryCount = in[kOffSecondaryCount];
  if (secondaryCount > kMaxSecondaryIndexes) {
    r.tooManySecondary = true;
    secondaryCount = kMaxSecondaryIndexes;
  }
  bool damaged = false;
  h.primary = DecodeDescriptor(DescriptorAt(in, 0), none, &damaged);
  r.damagedSlot[0] = damaged;
  for (int i = 0; i < secondaryCount; ++i) {
    damaged = false;
    h.secondary.push_back(DecodeDescriptor(DescriptorAt(in, 1 + i), none, &damaged));
    r.damagedSlot[static_cast<size_t>(1 + i)] = damaged;
  }
  damaged = false;
  h.sysDeleted = DecodeDescriptor(DescriptorAt(in, 31), none, &damaged);
  r.damagedSlot[31] = damaged;
  h.recordCount = GetI32(in + kOffRecordCount);
  h.primaryNoKeyFields = in[kOffNoKeyFields] != 0;
  h.headerChanged = false;
  return r;
}

}  // namespace quellor
