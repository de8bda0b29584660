// The change counter at the start of each table file, and how another program's write is
// noticed by it.
//
// Every file of a table (data, index and BLOB file) begins with a 4-byte change counter
// (int32, little-endian, at offset 0). A writer moves it on by one each time it writes the
// file's header, which it does after every change of the file. A reader that wants to know
// whether another program changed the file reads these four bytes again and compares them with
// the value its cached header carries: equal means unchanged. Only equality matters, so the
// counter runs through every int32 value: after 2,147,483,647 comes -2,147,483,648 (the
// two's-complement wrap), never an overflow. In an encrypted table the index and BLOB file
// headers are one cipher piece each that starts at offset 0, so the first four bytes decipher
// on their own; the data file header is never enciphered there.
#pragma once

#include <cstdint>
#include <string>

#include "store/format/Cipher.h"
#include "store/os/AbstractFile.h"

namespace quellor {

// The counter a header write stores: the one before plus one, wrapping from INT32_MAX to
// INT32_MIN.
constexpr int32_t NextChangeCounter(int32_t counter) {
  return static_cast<int32_t>(static_cast<uint32_t>(counter) + 1u);
}

// The change counter as the file holds it now (deciphered with `decipher` when set). A short
// or failed read raises 9217 naming `tableName`.
int32_t ReadChangeCounter(TAbstractFile& file, const TPieceCipher& decipher,
                          const std::string& tableName);

// Whether another writer changed the file: the counter on disk differs from `known`.
inline bool ChangedOnDisk(TAbstractFile& file, int32_t known, const TPieceCipher& decipher,
                          const std::string& tableName) {
  return ReadChangeCounter(file, decipher, tableName) != known;
}

}  // namespace quellor
