// Byte helpers of the index file: little-endian integers as the file stores them, big-endian
// forms used inside keys, and the string[n] layout (a length byte and n bytes of text).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace quellor::indexbytes {

inline uint16_t GetU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline int32_t GetI32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                              (static_cast<uint32_t>(p[2]) << 16) |
                              (static_cast<uint32_t>(p[3]) << 24));
}
inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutI32(uint8_t* p, int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, 4);  // one store (encoding a page writes one per entry)
  } else {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  }
}

// A 32-bit signed value in key form: big-endian with the top bit inverted, so that unsigned
// byte order equals numeric order.
inline void PutKeyI32(uint8_t* p, int32_t value) {
  uint32_t v = static_cast<uint32_t>(value) ^ 0x80000000u;
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * (3 - i)));
}
inline int32_t GetKeyI32(const uint8_t* p) {
  uint32_t v = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
               (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
  return static_cast<int32_t>(v ^ 0x80000000u);
}

// string[n]: reads the text (the length byte is capped at n); writes it cut to n bytes.
inline std::string GetShortString(const uint8_t* p, int n) {
  int len = p[0] > n ? n : p[0];
  return std::string(reinterpret_cast<const char*>(p + 1), static_cast<size_t>(len));
}
inline void PutShortString(uint8_t* p, int n, const std::string& text) {
  size_t len = text.size() > static_cast<size_t>(n) ? static_cast<size_t>(n) : text.size();
  std::memset(p, 0, static_cast<size_t>(n) + 1);
  p[0] = static_cast<uint8_t>(len);
  std::memcpy(p + 1, text.data(), len);
}

}  // namespace quellor::indexbytes
