#include "store/format/Cipher.h"

namespace quellor {

void ApplyCipher(uint8_t* data, size_t length, TCipherKey key) {
  if (!CipherLeavesPlain(length)) ApplyCipherBytes(data, length, key);
}

void ApplyCipherBytes(uint8_t* data, size_t length, TCipherKey key) {
  uint8_t low = key.low;
  uint8_t high = key.high;
  for (size_t i = 0; i < length; ++i) {
    data[i] = static_cast<uint8_t>(data[i] ^ low ^ high);
    ++low;
    --high;
  }
}

TPieceCipher BodyCipher(bool encrypted) {
  if (!encrypted) return {};
  return [](uint8_t* bytes, size_t size) { ApplyCipher(bytes, size, kBodyKey); };
}

}  // namespace quellor
