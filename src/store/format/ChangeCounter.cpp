#include "store/format/ChangeCounter.h"

#include "store/api/StoreError.h"
#include "store/format/ByteOrder.h"

namespace quellor {

int32_t ReadChangeCounter(TAbstractFile& file, const TPieceCipher& decipher,
                          const std::string& tableName) {
  uint8_t raw[4];
  if (file.ReadAt(0, raw, 4) != 4) throw EStoreEngineError(StoreCode::ReadError, {tableName});
  if (decipher) decipher(raw, 4);
  return bytes::GetI32(raw);
}

}  // namespace quellor
