#include "store/IndexFile.h"

#include <array>

#include "store/KeyLayout.h"
#include "store/StoreError.h"

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

}  // namespace

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
    header.primary.rootPage = 0;
    header.primary.freeChain = 0;
    header.primaryNoKeyFields = false;
  }
  file.WriteAt(0, nullptr, 0);
  WriteHeaderBytes(file, header, options);
}

}  // namespace quellor
