#include "store/TableIndexes.h"

#include <array>

#include "store/Cipher.h"
#include "store/DataFile.h"
#include "store/StoreError.h"

namespace quellor {

bool TPhysicalOrder::Active(int32_t slot) {
  return data_.ReadSlot(slot)[0] == 0;
}

int32_t TPhysicalOrder::First() {
  return Next(0);
}

int32_t TPhysicalOrder::Last() {
  return Prior(data_.SlotCount() + 1);
}

int32_t TPhysicalOrder::Next(int32_t slot) {
  for (int32_t s = slot + 1; s <= data_.SlotCount(); ++s)
    if (Active(s)) return s;
  return 0;
}

int32_t TPhysicalOrder::Prior(int32_t slot) {
  for (int32_t s = std::min(slot - 1, data_.SlotCount()); s >= 1; --s)
    if (Active(s)) return s;
  return 0;
}

TIndexFileOnly::TIndexFileOnly(std::shared_ptr<TAbstractFile> file, std::string tableName,
                               bool encrypted)
    : file_(std::move(file)), tableName_(std::move(tableName)), encrypted_(encrypted) {
  ReadHeader();
}

void TIndexFileOnly::ReadHeader() {
  std::array<uint8_t, kIndexHeaderSize> raw;
  if (file_->ReadAt(0, raw.data(), kIndexHeaderSize) != kIndexHeaderSize)
    throw EStoreEngineError(StoreCode::ReadError, {tableName_});
  if (encrypted_) ApplyCipher(raw.data(), raw.size(), kBodyKey);
  header_ = DecodeIndexHeader(raw.data(), tableName_);
}

void TIndexFileOnly::Empty() {
  // The index file is cut to its header: end offset 4096, no records, every tree empty.
  header_.endOffset = kIndexHeaderSize;
  header_.recordCount = 0;
  header_.primary.rootPage = header_.primary.freeChain = 0;
  for (auto& index : header_.secondary) index.rootPage = index.freeChain = 0;
  header_.sysDeleted.rootPage = header_.sysDeleted.freeChain = 0;
  header_.changeCounter = 0;
  if (file_->WriteAt(kIndexHeaderSize, nullptr, 0) != 0)
    throw EStoreEngineError(StoreCode::WriteError, {tableName_});
  header_.headerChanged = true;
  Flush(false);
}

void TIndexFileOnly::Flush(bool flushOs) {
  if (header_.headerChanged) {
    ++header_.changeCounter;
    std::array<uint8_t, kIndexHeaderSize> raw;
    EncodeIndexHeader(header_, raw.data());
    if (encrypted_) ApplyCipher(raw.data(), raw.size(), kBodyKey);
    if (file_->WriteAt(0, raw.data(), kIndexHeaderSize) != kIndexHeaderSize)
      throw EStoreEngineError(StoreCode::WriteError, {tableName_});
    header_.headerChanged = false;
  }
  if (flushOs && !file_->Flush()) throw EStoreEngineError(StoreCode::WriteError, {tableName_});
}

bool TIndexFileOnly::Reload() {
  int32_t counter = header_.changeCounter;
  ReadHeader();
  return header_.changeCounter != counter;
}

}  // namespace quellor
