// Little-endian integers, doubles and length-prefixed strings inside byte buffers.
//
// Every number in the table files is little-endian whatever the host; a string[n] is n + 1
// bytes: a length byte followed by n bytes of text, zero past the text. The readers never trust
// the length byte beyond n, so a damaged length cannot make them read outside the field.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace quellor::bytes {

inline uint8_t GetU8(const uint8_t* p) {
  return p[0];
}
inline uint16_t GetU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline int16_t GetI16(const uint8_t* p) {
  return static_cast<int16_t>(GetU16(p));
}
inline uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline int32_t GetI32(const uint8_t* p) {
  return static_cast<int32_t>(GetU32(p));
}
inline uint64_t GetU64(const uint8_t* p) {
  return static_cast<uint64_t>(GetU32(p)) | (static_cast<uint64_t>(GetU32(p + 4)) << 32);
}
inline int64_t GetI64(const uint8_t* p) {
  return static_cast<int64_t>(GetU64(p));
}
inline double GetF64(const uint8_t* p) {
  return std::bit_cast<double>(GetU64(p));
}

inline void PutU8(uint8_t* p, uint8_t v) {
  p[0] = v;
}
inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutI16(uint8_t* p, int16_t v) {
  PutU16(p, static_cast<uint16_t>(v));
}
inline void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutI32(uint8_t* p, int32_t v) {
  PutU32(p, static_cast<uint32_t>(v));
}
inline void PutU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutI64(uint8_t* p, int64_t v) {
  PutU64(p, static_cast<uint64_t>(v));
}
inline void PutF64(uint8_t* p, double v) {
  PutU64(p, std::bit_cast<uint64_t>(v));
}

// string[n] at p (n + 1 bytes). A length byte above n reads as n.
inline std::string GetShortString(const uint8_t* p, int n) {
  int len = std::min<int>(p[0], n);
  return std::string(reinterpret_cast<const char*>(p + 1), static_cast<size_t>(len));
}
// Writes string[n] at p: the text cut to n bytes, zeros after it.
inline void PutShortString(uint8_t* p, int n, const std::string& s) {
  size_t len = std::min<size_t>(s.size(), static_cast<size_t>(n));
  std::memset(p, 0, static_cast<size_t>(n) + 1);
  p[0] = static_cast<uint8_t>(len);
  std::memcpy(p + 1, s.data(), len);
}

}  // namespace quellor::bytes
