#include "store/format/BlobFile.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "store/api/StoreError.h"
#include "store/format/ByteOrder.h"
#include "store/format/ChangeCounter.h"
#include "store/format/Cipher.h"
#include "store/format/TableFormat.h"
#include "store/os/RunWriter.h"

namespace quellor {

using namespace bytes;

namespace {

void EncodeHeader(const TBlobHeader& h, bool changed, bool encrypted, uint8_t* out) {
  std::memset(out, 0, kBlobHeaderSize);
  PutI32(out + 0, h.changeCounter);
  PutU8(out + 8, h.version);
  PutI32(out + 9, h.freeChain);
  PutI32(out + 13, h.endOffset);
  PutU8(out + 17, changed ? 1 : 0);
  if (encrypted) ApplyCipher(out, kBlobHeaderSize, kBodyKey);
}

// Block fields.
int32_t NextOf(const uint8_t* b) {
  return GetI32(b + 4);
}
int UsedOf(const uint8_t* b) {
  return GetU16(b + 8);
}
int32_t IdOf(const uint8_t* b) {
  return GetI32(b + 10);
}
int32_t TotalOf(const uint8_t* b) {
  return GetI32(b + 14);
}

}  // namespace

TBlobChain WalkBlobChain(int32_t firstBlock, int32_t blobId, int blockSize, int64_t endOffset,
                         const std::function<const uint8_t*(int32_t offset)>& block) {
  TBlobChain chain;
  auto valid = [&](int64_t offset) {
    return offset >= kBlobHeaderSize && offset + blockSize <= endOffset &&
           (offset - kBlobHeaderSize) % blockSize == 0;
  };
  if (!valid(firstBlock)) {
    chain.fault = TBlobFault::FirstOffset;
    return chain;
  }
  const int room = blockSize - kBlobBlockHeaderSize;
  const uint8_t* b = block(firstBlock);
  if (!b || IdOf(b) != blobId) {
    chain.fault = b ? TBlobFault::OtherValue : TBlobFault::FirstOffset;
    return chain;
  }
  chain.total = TotalOf(b);
  if (GetI32(b) != 0) {
    chain.fault = TBlobFault::Pointer;
    return chain;
  }
  // No chain of this file holds more than its blocks' room.
  const int64_t capacity = std::max<int64_t>(0, (endOffset - kBlobHeaderSize) / blockSize * room);
  if (chain.total > 0) chain.value.reserve(static_cast<size_t>(std::min(chain.total, capacity)));
  std::unordered_set<int32_t> seen{firstBlock};
  int32_t offset = firstBlock;
  for (;;) {
    const int used = UsedOf(b);
    if (used > room) {
      chain.fault = TBlobFault::BlockSize;
      return chain;
    }
    chain.value.append(reinterpret_cast<const char*>(b) + kBlobBlockHeaderSize,
                       static_cast<size_t>(used));
    const int32_t next = NextOf(b);
    if (next == 0) break;
    if (!valid(next)) {
      chain.fault = TBlobFault::Pointer;
      return chain;
    }
    if (!seen.insert(next).second) {
      chain.fault = TBlobFault::Recursive;
      return chain;
    }
    if (used != room) {
      chain.fault = TBlobFault::BlockSize;
      return chain;
    }
    b = block(next);
    if (!b || IdOf(b) != blobId || GetI32(b) != offset || TotalOf(b) != 0) {
      chain.otherId = b && IdOf(b) != blobId;
      chain.fault = TBlobFault::Pointer;
      return chain;
    }
    offset = next;
  }
  if (chain.total < 0 || static_cast<int64_t>(chain.value.size()) != chain.total ||
      chain.total == 0)
    chain.fault = TBlobFault::SizeMismatch;
  return chain;
}

TBlobFile::TBlobFile(std::shared_ptr<TAbstractFile> file, std::string tableName, int blockSize,
                     bool encrypted)
    : file_(std::move(file)),
      tableName_(std::move(tableName)),
      blockSize_(blockSize),
      encrypted_(encrypted),
      capacity_(static_cast<size_t>(std::min(131070 / blockSize, 32767))),
      readAhead_(std::max(1, 65535 / blockSize)) {}

void TBlobFile::Fail(uint16_t code) const {
  throw EStoreEngineError(code, {tableName_});
}

void TBlobFile::Create(TAbstractFile& file, bool encrypted, const std::string& tableName) {
  uint8_t raw[kBlobHeaderSize];
  EncodeHeader(TBlobHeader{}, false, encrypted, raw);
  if (file.WriteAt(0, raw, kBlobHeaderSize) != kBlobHeaderSize ||
      file.WriteAt(kBlobHeaderSize, nullptr, 0) != 0)
    throw EStoreEngineError(StoreCode::WriteError, {tableName});
}

void TBlobFile::Decode(const uint8_t* in) {
  uint8_t raw[kBlobHeaderSize];
  std::memcpy(raw, in, kBlobHeaderSize);
  if (encrypted_) ApplyCipher(raw, kBlobHeaderSize, kBodyKey);
  TBlobHeader h;
  h.changeCounter = GetI32(raw + 0);
  h.version = GetU8(raw + 8);
  h.freeChain = GetI32(raw + 9);
  h.endOffset = GetI32(raw + 13);
  if (h.version != kFormatVersion) Fail(StoreCode::WrongVersion);
  int64_t end = h.endOffset;
  if (end < kBlobHeaderSize || (end - kBlobHeaderSize) % blockSize_ != 0 ||
      end > kGrowthLimit + blockSize_)
    Fail(StoreCode::HeaderCorrupt);
  if (end == kBlobHeaderSize && h.freeChain != 0) Fail(StoreCode::HeaderCorrupt);
  if (h.freeChain != 0 && (h.freeChain < kBlobHeaderSize || h.freeChain > end - blockSize_ ||
                           (h.freeChain - kBlobHeaderSize) % blockSize_ != 0))
    Fail(StoreCode::HeaderCorrupt);
  header_ = h;
}

void TBlobFile::Load() {
  uint8_t raw[kBlobHeaderSize];
  if (file_->ReadAt(0, raw, kBlobHeaderSize) != kBlobHeaderSize) Fail(StoreCode::ReadError);
  Decode(raw);
  headerChanged_ = false;
  sorted_.clear();
  recent_.fill(nullptr);
}

bool TBlobFile::ValidOffset(int64_t offset) const {
  return offset >= kBlobHeaderSize && offset + blockSize_ <= header_.endOffset &&
         (offset - kBlobHeaderSize) % blockSize_ == 0;
}

TBlobFile::Block* TBlobFile::Find(int32_t offset) {
  for (Block* b : recent_)
    if (b && b->offset == offset) return b;
  auto it =
      std::lower_bound(sorted_.begin(), sorted_.end(), offset,
                       [](const std::unique_ptr<Block>& b, int32_t o) { return b->offset < o; });
  if (it == sorted_.end() || (*it)->offset != offset) return nullptr;
  return it->get();
}

TBlobFile::Block& TBlobFile::Insert(int32_t offset, const uint8_t* bytes, bool dirty) {
  auto it =
      std::lower_bound(sorted_.begin(), sorted_.end(), offset,
                       [](const std::unique_ptr<Block>& b, int32_t o) { return b->offset < o; });
  auto block = std::make_unique<Block>();
  block->offset = offset;
  block->bytes.assign(bytes, bytes + blockSize_);
  block->dirty = dirty;
  return **sorted_.insert(it, std::move(block));
}

TBlobFile::Block& TBlobFile::Get(int32_t offset) {
  Block* block = Find(offset);
  if (!block) {
    if (readHook_) readHook_();
    int32_t count = static_cast<int32_t>(
        std::min<int64_t>(readAhead_, (header_.endOffset - offset) / blockSize_));
    count = std::max(count, 1);
    std::vector<uint8_t> buffer(static_cast<size_t>(count) * blockSize_);
    int64_t got = file_->ReadAt(offset, buffer.data(), static_cast<int64_t>(buffer.size()));
    if (got < blockSize_) Fail(StoreCode::ReadError);
    for (int64_t i = 0; i < got / blockSize_; ++i) {
      int32_t at = offset + static_cast<int32_t>(i * blockSize_);
      if (Find(at)) continue;
      uint8_t* raw = buffer.data() + i * blockSize_;
      if (encrypted_) {
        ApplyCipher(raw, kBlobBlockHeaderSize, kBodyKey);
        ApplyCipher(raw + kBlobBlockHeaderSize, blockSize_ - kBlobBlockHeaderSize, kBodyKey);
      }
      Insert(at, raw, false).used = ++tick_;
    }
    block = Find(offset);
  }
  block->used = ++tick_;
  if (std::find(recent_.begin(), recent_.end(), block) == recent_.end()) {
    std::move_backward(recent_.begin(), recent_.end() - 1, recent_.end());
    recent_[0] = block;
  }
  Trim();
  return *block;
}

void TBlobFile::Trim() {
  while (sorted_.size() > capacity_) {
    // The least recently used clean block that is not among the four most recent.
    auto victim = sorted_.end();
    for (auto it = sorted_.begin(); it != sorted_.end(); ++it) {
      Block* b = it->get();
      if (b->dirty || std::find(recent_.begin(), recent_.end(), b) != recent_.end()) continue;
      if (victim == sorted_.end() || b->used < (*victim)->used) victim = it;
    }
    if (victim == sorted_.end()) return;  // everything is changed or recent: wait for Flush
    sorted_.erase(victim);
  }
}

std::vector<int32_t> TBlobFile::WalkChain(int32_t firstBlock, int32_t blobId) {
  std::vector<int32_t> chain;
  if (firstBlock == 0) return chain;
  if (!ValidOffset(firstBlock)) Fail(StoreCode::InvalidBlobOffset);
  std::unordered_set<int32_t> seen;
  int32_t offset = firstBlock;
  while (offset != 0) {
    if (!ValidOffset(offset)) Fail(StoreCode::BlobBlocksCorrupt);
    if (!seen.insert(offset).second) Fail(StoreCode::BlobBlocksCorrupt);
    const uint8_t* b = Get(offset).bytes.data();
    if (IdOf(b) != blobId) Fail(StoreCode::RecordChanged);
    if (UsedOf(b) > blockSize_ - kBlobBlockHeaderSize) Fail(StoreCode::BlobBlocksCorrupt);
    chain.push_back(offset);
    offset = NextOf(b);
  }
  return chain;
}

std::string TBlobFile::ReadValue(int32_t firstBlock, int32_t blobId) {
  if (firstBlock == 0) return {};
  TBlobChain chain = WalkBlobChain(firstBlock, blobId, blockSize_, header_.endOffset,
                                   [this](int32_t offset) { return Get(offset).bytes.data(); });
  switch (chain.fault) {
    case TBlobFault::None:
      return std::move(chain.value);
    case TBlobFault::FirstOffset:
      Fail(StoreCode::InvalidBlobOffset);
    case TBlobFault::OtherValue:
      Fail(StoreCode::RecordChanged);
    case TBlobFault::Pointer:
      Fail(chain.otherId ? StoreCode::RecordChanged : StoreCode::BlobBlocksCorrupt);
    case TBlobFault::SizeMismatch:
      if (chain.total < 0) Fail(StoreCode::InvalidBlobLength);
      if (static_cast<int64_t>(chain.value.size()) < chain.total) Fail(StoreCode::BlobEndPremature);
      Fail(StoreCode::BlobBlocksCorrupt);
    default:
      Fail(StoreCode::BlobBlocksCorrupt);
  }
}

int32_t TBlobFile::AllocateBlock(const std::vector<int32_t>& inUse) {
  int32_t offset;
  if (header_.freeChain != 0) {
    offset = header_.freeChain;
    if (!ValidOffset(offset) || std::find(inUse.begin(), inUse.end(), offset) != inUse.end())
      Fail(StoreCode::BlobBlocksCorrupt);
    int32_t next = NextOf(Get(offset).bytes.data());
    if (next != 0 && !ValidOffset(next)) Fail(StoreCode::BlobBlocksCorrupt);
    header_.freeChain = next;
  } else {
    offset = header_.endOffset;
    if (offset > kGrowthLimit) Fail(StoreCode::TableFull);
    header_.endOffset = offset + blockSize_;
  }
  headerChanged_ = true;
  std::vector<uint8_t> zero(static_cast<size_t>(blockSize_), 0);
  if (Block* b = Find(offset)) {
    b->bytes = zero;
    b->dirty = true;
  } else {
    Insert(offset, zero.data(), true);
  }
  return offset;
}

void TBlobFile::FreeBlock(int32_t offset) {
  Block& b = Get(offset);
  std::memset(b.bytes.data(), 0, kBlobBlockHeaderSize);
  PutI32(b.bytes.data() + 4, header_.freeChain);
  b.dirty = true;
  header_.freeChain = offset;
  headerChanged_ = true;
}

void TBlobFile::WriteValue(int32_t& firstBlock, int32_t oldId, int32_t newId,
                           const std::string& data) {
  std::vector<int32_t> chain = WalkChain(firstBlock, oldId);  // checks come before changes
  if (data.empty()) {
    for (int32_t offset : chain) FreeBlock(offset);
    firstBlock = 0;
    return;
  }
  const size_t dataSize = static_cast<size_t>(blockSize_ - kBlobBlockHeaderSize);
  const size_t needed = (data.size() + dataSize - 1) / dataSize;
  std::vector<int32_t> blocks(chain.begin(), chain.begin() + std::min(needed, chain.size()));
  std::vector<int32_t> inUse = chain;
  while (blocks.size() < needed) {
    int32_t offset = AllocateBlock(inUse);
    blocks.push_back(offset);
    inUse.push_back(offset);
  }
  size_t written = 0;
  for (size_t i = 0; i < needed; ++i) {
    Block& b = Get(blocks[i]);
    uint8_t* p = b.bytes.data();
    size_t take = std::min(dataSize, data.size() - written);
    std::memset(p, 0, static_cast<size_t>(blockSize_));
    PutI32(p + 0, i == 0 ? 0 : blocks[i - 1]);
    PutI32(p + 4, i + 1 < needed ? blocks[i + 1] : 0);
    PutU16(p + 8, static_cast<uint16_t>(take));
    PutI32(p + 10, newId);
    PutI32(p + 14, i == 0 ? static_cast<int32_t>(data.size()) : 0);
    std::memcpy(p + kBlobBlockHeaderSize, data.data() + written, take);
    b.dirty = true;
    written += take;
  }
  for (size_t i = needed; i < chain.size(); ++i) FreeBlock(chain[i]);
  if (written != data.size()) Fail(StoreCode::BlobEndPremature);
  firstBlock = blocks[0];
}

void TBlobFile::FreeValue(int32_t firstBlock, int32_t blobId) {
  std::unordered_set<int32_t> seen;
  std::vector<int32_t> chain;
  int32_t offset = firstBlock;
  while (offset != 0 && ValidOffset(offset) && seen.insert(offset).second) {
    const uint8_t* b = Get(offset).bytes.data();
    if (IdOf(b) != blobId) break;
    chain.push_back(offset);
    offset = NextOf(b);
  }
  for (int32_t block : chain) FreeBlock(block);
}

TBlobFile::TSnapshot TBlobFile::Snapshot() const {
  TSnapshot s{header_, headerChanged_, {}};
  for (const auto& b : sorted_)
    if (b->dirty) s.dirtyBlocks.emplace_back(b->offset, b->bytes);
  return s;
}

void TBlobFile::Restore(const TSnapshot& s) {
  header_ = s.header;
  headerChanged_ = s.headerChanged;
  recent_.fill(nullptr);
  std::erase_if(sorted_, [](const std::unique_ptr<Block>& b) { return b->dirty; });
  for (const auto& [offset, bytes] : s.dirtyBlocks) {
    if (Block* b = Find(offset)) {
      b->bytes = bytes;
      b->dirty = true;
    } else {
      Insert(offset, bytes.data(), true);
    }
  }
}

void TBlobFile::Flush(bool forceHeader, bool flushOs) {
  TRunWriter writer(*file_, tableName_, [this](int64_t offset, int64_t size) {
    for (int64_t at = offset; at < offset + size; at += blockSize_)
      if (Block* b = Find(static_cast<int32_t>(at))) b->dirty = false;
  });
  for (auto& block : sorted_) {
    if (!block->dirty) continue;
    const size_t size = static_cast<size_t>(blockSize_);
    uint8_t* at = writer.Add(block->offset, size);
    std::memcpy(at, block->bytes.data(), size);
    if (encrypted_) {
      ApplyCipher(at, kBlobBlockHeaderSize, kBodyKey);
      ApplyCipher(at + kBlobBlockHeaderSize, blockSize_ - kBlobBlockHeaderSize, kBodyKey);
    }
  }
  const bool wroteBlocks = writer.Finish();
  // Blocks rewritten in place must be noticed by other users too: their counter moves on.
  if (headerChanged_ || forceHeader || wroteBlocks) WriteHeader();
  if (flushOs && !file_->Flush()) Fail(StoreCode::WriteError);
  Trim();
}

void TBlobFile::WriteHeader() {
  header_.changeCounter = NextChangeCounter(header_.changeCounter);
  uint8_t raw[kBlobHeaderSize];
  EncodeHeader(header_, headerChanged_, encrypted_, raw);
  if (file_->WriteAt(0, raw, kBlobHeaderSize) != kBlobHeaderSize) Fail(StoreCode::WriteError);
  headerChanged_ = false;
}

bool TBlobFile::ChangedOnDisk() {
  return quellor::ChangedOnDisk(*file_, header_.changeCounter, BodyCipher(encrypted_), tableName_);
}

void TBlobFile::Discard() {
  sorted_.clear();
  recent_.fill(nullptr);
  headerChanged_ = false;
  uint8_t raw[kBlobHeaderSize];
  if (file_->ReadAt(0, raw, kBlobHeaderSize) != kBlobHeaderSize) Fail(StoreCode::ReadError);
  Decode(raw);
}

bool TBlobFile::Reload() {
  if (!ChangedOnDisk()) return false;  // the counter alone while nothing moved
  uint8_t raw[kBlobHeaderSize];
  if (file_->ReadAt(0, raw, kBlobHeaderSize) != kBlobHeaderSize) Fail(StoreCode::ReadError);
  TBlobHeader mine = header_;
  Decode(raw);
  if (header_.changeCounter == mine.changeCounter) {
    header_ = mine;
    return false;
  }
  bool unwritten = headerChanged_;
  for (const auto& b : sorted_) unwritten = unwritten || b->dirty;
  if (unwritten) {
    header_ = mine;
  } else {
    sorted_.clear();
    recent_.fill(nullptr);
  }
  return true;
}

void TBlobFile::Empty() {
  if (file_->WriteAt(kBlobHeaderSize, nullptr, 0) != 0) Fail(StoreCode::WriteError);
  sorted_.clear();
  recent_.fill(nullptr);
  header_.changeCounter = 0;
  header_.freeChain = 0;
  header_.endOffset = kBlobHeaderSize;
  headerChanged_ = true;
  WriteHeader();
}

}  // namespace quellor
