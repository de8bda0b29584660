#include "store/format/IndexPage.h"

#include <algorithm>
#include <cstring>

#include "store/api/StoreError.h"
#include "store/format/IndexBytes.h"
#include "store/format/IndexHeader.h"

namespace quellor {
namespace {

using namespace indexbytes;

int CommonPrefix(const uint8_t* a, const uint8_t* b, int n) {
  int i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

int TrailingZeros(const uint8_t* key, int from, int to) {
  int t = 0;
  while (to - t > from && key[to - t - 1] == 0) ++t;
  return t;
}

struct TEntryCode {
  int d = 0;  // leading bytes taken from the previous key
  int t = 0;  // zero bytes left out before the end (or before the suffix)
};

TEntryCode CodeOf(const TIndexPageFormat& f, const uint8_t* previous, const uint8_t* key) {
  const int ks = f.keySize;
  TEntryCode c;
  switch (f.compression) {
    case TIndexCompression::None:
      break;
    case TIndexCompression::DupByte:
      c.d = previous ? CommonPrefix(previous, key, ks) : 0;
      break;
    case TIndexCompression::TrailByte:
      c.t = TrailingZeros(key, 0, f.unique ? ks : ks - 4);
      break;
    case TIndexCompression::Full:
      c.d = previous ? std::min(CommonPrefix(previous, key, ks), 255) : 0;
      if (f.unique) {
        c.t = std::min(TrailingZeros(key, c.d, ks), 255);
      } else if (ks - c.d >= 5) {
        c.t = std::min(TrailingZeros(key, c.d, ks - 4), 255);
      }
      break;
  }
  return c;
}

[[noreturn]] void Corrupt(const std::string& tableName) {
  throw EStoreEngineError(StoreCode::IndexPagesCorrupt, {tableName});
}

bool ValidLink(int32_t link, int32_t self, int32_t endOffset) {
  return link == 0 || (link != self && IsIndexPageOffset(link, endOffset));
}

}  // namespace

int TIndexPageFormat::EncodedEntrySize(const uint8_t* previous, const uint8_t* key) const {
  if (!Compressed()) return keySize + 4;
  TEntryCode c = CodeOf(*this, previous, key);
  return 2 + keySize - c.d - c.t + 4;
}

int64_t TIndexPage::Total() const {
  if (IsLeaf()) return Count();
  int64_t total = 0;
  for (int32_t c : counts) total += c;
  return total;
}

namespace {

// A cached page grows by this many entries at a time and gives back what lies beyond as much
// again when it loses entries: vectors that double would leave most pages of a large cache
// with room for twice their entries, and a page that split with its old room.
constexpr size_t kGrowEntries = 8;

template <typename T>
void Grow(std::vector<T>& v, size_t add, size_t step) {
  if (v.size() + add > v.capacity()) v.reserve(v.size() + std::max(add, step));
}

template <typename T>
void Trim(std::vector<T>& v, size_t step) {
  if (v.capacity() > v.size() + step) v.shrink_to_fit();
}

}  // namespace

void TIndexPage::TrimRoom(int keySize) {
  Trim(keys, kGrowEntries * static_cast<size_t>(keySize));
  Trim(refs, kGrowEntries);
  Trim(counts, kGrowEntries);
}

void TIndexPage::InsertEntry(int i, const uint8_t* key, int keySize, int32_t ref, int32_t count) {
  Grow(keys, static_cast<size_t>(keySize), kGrowEntries * static_cast<size_t>(keySize));
  Grow(refs, 1, kGrowEntries);
  if (!IsLeaf()) Grow(counts, 1, kGrowEntries);
  keys.insert(keys.begin() + static_cast<ptrdiff_t>(i) * keySize, key, key + keySize);
  refs.insert(refs.begin() + i, ref);
  if (!IsLeaf()) counts.insert(counts.begin() + i, count);
}

void TIndexPage::RemoveEntry(int i, int keySize) {
  auto k = keys.begin() + static_cast<ptrdiff_t>(i) * keySize;
  keys.erase(k, k + keySize);
  refs.erase(refs.begin() + i);
  if (!IsLeaf()) counts.erase(counts.begin() + i);
}

void TIndexPage::MoveTail(int from, TIndexPage& to, bool atFront, int keySize) {
  auto kFrom = keys.begin() + static_cast<ptrdiff_t>(from) * keySize;
  auto kAt = atFront ? to.keys.begin() : to.keys.end();
  to.keys.insert(kAt, kFrom, keys.end());
  to.refs.insert(atFront ? to.refs.begin() : to.refs.end(), refs.begin() + from, refs.end());
  if (!IsLeaf()) {
    to.counts.insert(atFront ? to.counts.begin() : to.counts.end(), counts.begin() + from,
                     counts.end());
    counts.erase(counts.begin() + from, counts.end());
  }
  keys.erase(kFrom, keys.end());
  refs.erase(refs.begin() + from, refs.end());
  TrimRoom(keySize);
}

void TIndexPage::MoveHead(int n, TIndexPage& to, int keySize) {
  auto kEnd = keys.begin() + static_cast<ptrdiff_t>(n) * keySize;
  to.keys.insert(to.keys.end(), keys.begin(), kEnd);
  to.refs.insert(to.refs.end(), refs.begin(), refs.begin() + n);
  if (!IsLeaf()) {
    to.counts.insert(to.counts.end(), counts.begin(), counts.begin() + n);
    counts.erase(counts.begin(), counts.begin() + n);
  }
  keys.erase(keys.begin(), kEnd);
  refs.erase(refs.begin(), refs.begin() + n);
  TrimRoom(keySize);
}

void TIndexPage::Clear() {
  keys.clear();
  refs.clear();
  counts.clear();
}

int EncodedLeafSize(const TIndexPage& page, const TIndexPageFormat& format) {
  const int ks = format.keySize;
  if (!format.Compressed()) return page.Count() * (ks + 4);
  int size = 0;
  for (int i = 0; i < page.Count(); ++i)
    size += format.EncodedEntrySize(i == 0 ? nullptr : page.Key(i - 1, ks), page.Key(i, ks));
  return size;
}

bool PageOverfull(const TIndexPage& page, const TIndexPageFormat& format) {
  if (!page.IsLeaf()) return page.Count() > format.UpperCapacity();
  if (!format.Compressed()) return page.Count() > format.LeafCapacity();
  return EncodedLeafSize(page, format) > kIndexPageRoom;
}

void DecodeIndexPage(const uint8_t* raw, const TIndexPageFormat& format, int32_t offset,
                     int32_t endOffset, const std::string& tableName, TIndexPage& page) {
  const int ks = format.keySize;
  page.Clear();
  page.offset = offset;
  page.kind = raw[0];
  page.prev = GetI32(raw + 3);
  page.next = GetI32(raw + 7);
  page.dirty = false;
  const int count = GetU16(raw + 1);
  if (page.kind > IndexPageKind::RootLeaf || ks <= 0) Corrupt(tableName);
  if (!ValidLink(page.prev, offset, endOffset) || !ValidLink(page.next, offset, endOffset))
    Corrupt(tableName);
  if (count == 0) return;  // a free page (or an empty one, which the tree rejects)
  const uint8_t* p = raw + kIndexPageHeaderSize;
  page.keys.resize(static_cast<size_t>(count) * ks);
  page.refs.resize(static_cast<size_t>(count));

  if (!page.IsLeaf()) {
    if (count > format.UpperCapacity()) Corrupt(tableName);
    page.counts.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i, p += ks + 8) {
      std::memcpy(page.Key(i, ks), p, static_cast<size_t>(ks));
      page.refs[i] = GetI32(p + ks);
      page.counts[i] = GetI32(p + ks + 4);
      if (!IsIndexPageOffset(page.refs[i], endOffset) || page.refs[i] == offset ||
          page.counts[i] < 1)
        Corrupt(tableName);
    }
    return;
  }
  if (!format.Compressed()) {
    if (count > format.LeafCapacity()) Corrupt(tableName);
    for (int i = 0; i < count; ++i, p += ks + 4) {
      std::memcpy(page.Key(i, ks), p, static_cast<size_t>(ks));
      page.refs[i] = GetI32(p + ks);
    }
    return;
  }

  const int used = GetU16(raw + 11);
  if (used > kIndexPageRoom) Corrupt(tableName);
  const uint8_t* end = p + used;
  const bool full = format.compression == TIndexCompression::Full;
  for (int i = 0; i < count; ++i) {
    if (end - p < 2) Corrupt(tableName);
    TEntryCode c;
    if (full) {
      c.d = p[0];
      c.t = p[1];
    } else if (format.compression == TIndexCompression::DupByte) {
      c.d = GetU16(p);
    } else {
      c.t = GetU16(p);
    }
    p += 2;
    // Where the left-out zeros go: at the end, or before the suffix of a non-unique index.
    const bool beforeSuffix = !format.unique && c.t > 0;
    if (c.d > ks || c.t > ks - c.d || (i == 0 && c.d > 0)) Corrupt(tableName);
    if (beforeSuffix && c.t > ks - c.d - 4) Corrupt(tableName);
    const int stored = ks - c.d - c.t;
    if (end - p < stored + 4) Corrupt(tableName);
    uint8_t* key = page.Key(i, ks);
    if (c.d > 0) std::memcpy(key, page.Key(i - 1, ks), static_cast<size_t>(c.d));
    std::memset(key + c.d, 0, static_cast<size_t>(ks - c.d));
    if (beforeSuffix) {
      std::memcpy(key + c.d, p, static_cast<size_t>(stored - 4));
      std::memcpy(key + ks - 4, p + stored - 4, 4);
    } else {
      std::memcpy(key + c.d, p, static_cast<size_t>(stored));
    }
    p += stored;
    page.refs[i] = GetI32(p);
    p += 4;
  }
  if (p != end) Corrupt(tableName);
}

void EncodeIndexPage(const TIndexPage& page, const TIndexPageFormat& format,
                     const std::string& tableName, uint8_t* raw) {
  const int ks = format.keySize;
  std::memset(raw, 0, kIndexPageSize);
  raw[0] = page.kind;
  PutU16(raw + 1, static_cast<uint16_t>(page.Count()));
  PutI32(raw + 3, page.prev);
  PutI32(raw + 7, page.next);
  uint8_t* p = raw + kIndexPageHeaderSize;
  uint8_t* const end = raw + kIndexPageHeaderSize + kIndexPageRoom;
  if (!page.IsLeaf() || !format.Compressed()) {
    const int entrySize = page.IsLeaf() ? ks + 4 : ks + 8;
    if (static_cast<int64_t>(page.Count()) * entrySize > kIndexPageRoom) Corrupt(tableName);
    for (int i = 0; i < page.Count(); ++i, p += entrySize) {
      std::memcpy(p, page.Key(i, ks), static_cast<size_t>(ks));
      PutI32(p + ks, page.refs[i]);
      if (!page.IsLeaf()) PutI32(p + ks + 4, page.counts[i]);
    }
    return;
  }
  if (EncodedLeafSize(page, format) > kIndexPageRoom) Corrupt(tableName);
  const bool full = format.compression == TIndexCompression::Full;
  for (int i = 0; i < page.Count(); ++i) {
    const uint8_t* key = page.Key(i, ks);
    TEntryCode c = CodeOf(format, i == 0 ? nullptr : page.Key(i - 1, ks), key);
    const int stored = ks - c.d - c.t;
    if (end - p < 2 + stored + 4) Corrupt(tableName);
    if (full) {
      p[0] = static_cast<uint8_t>(c.d);
      p[1] = static_cast<uint8_t>(c.t);
    } else {
      PutU16(p,
             static_cast<uint16_t>(format.compression == TIndexCompression::DupByte ? c.d : c.t));
    }
    p += 2;
    if (!format.unique && c.t > 0) {
      std::memcpy(p, key + c.d, static_cast<size_t>(stored - 4));
      std::memcpy(p + stored - 4, key + ks - 4, 4);
    } else {
      std::memcpy(p, key + c.d, static_cast<size_t>(stored));
    }
    p += stored;
    PutI32(p, page.refs[i]);
    p += 4;
  }
  PutU16(raw + 11, static_cast<uint16_t>(p - (raw + kIndexPageHeaderSize)));
}

}  // namespace quellor
