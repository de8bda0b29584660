// The cipher of encrypted tables.
//
// A running state of two bytes (L, H) starts from a fixed pair. Each byte b of a piece becomes
//   b XOR L XOR H
// after which L grows by 1 and H shrinks by 1, both modulo 256. Applying it twice with the same
// starting pair gives back the original bytes, so one function enciphers and deciphers.
//
// Pieces (each enciphered on its own, from the starting pair):
//   every record slot of the data file         record size bytes        kBodyKey
//   all field descriptors together             768 x field count bytes  kBodyKey
//   the text bytes of the table description    length-byte many bytes   kHeaderTextKey
//   and of the table password (not the length bytes)
//   the index file header and each index page  4096 bytes               kBodyKey
//   the BLOB file header                       512 bytes                kBodyKey
//   each BLOB block                            18-byte block header, then B - 18 data bytes,
//                                              as two pieces            kBodyKey
// The data file header is otherwise plain, so the table's attributes (field count, record
// size, encrypted flag) can be read without the password.
//
// A piece whose length is a multiple of 65,536 is left as it is (only the descriptor piece can
// be that long: tables of 256, 512, 768 or 1,024 fields). Files whose writer version (data
// file header offset 116) is 0 came from writers that kept the length in 16 bits: their
// descriptor piece is deciphered with its length taken modulo 65,536. Earlier writers of this
// store enciphered such a descriptor piece whole; DescriptorCipher in DataFile.h reads both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace quellor {

struct TCipherKey {
  uint8_t low;
  uint8_t high;
};

// Starting pair of records, descriptors, index and BLOB data.
inline constexpr TCipherKey kBodyKey{0x5A, 0xC3};
// Starting pair of the description and password texts in the data file header.
inline constexpr TCipherKey kHeaderTextKey{0x3D, 0x96};

// The piece rule: a length that is a multiple of 65,536 leaves the piece as it is.
inline bool CipherLeavesPlain(size_t length) {
  return length % 65536 == 0;
}

// Enciphers or deciphers one piece of `length` bytes at `data` in place, following the piece
// rule above.
void ApplyCipher(uint8_t* data, size_t length, TCipherKey key);
// The running state over `length` bytes whatever their length: for the descriptor pieces of
// files whose writers did not follow the piece rule.
void ApplyCipherBytes(uint8_t* data, size_t length, TCipherKey key);

// Enciphers or deciphers one piece in place from its start (the cipher is its own inverse).
// Empty for a file that is not enciphered.
using TPieceCipher = std::function<void(uint8_t* data, size_t size)>;

// The cipher of the pieces of records, descriptors, index file and BLOB file (kBodyKey) of a
// table that is `encrypted`; empty for one that is not.
TPieceCipher BodyCipher(bool encrypted);

}  // namespace quellor
