// The index file (".IDX") of a table: its header with the index definitions, and one B+-tree
// of 4096-byte pages per index (IndexTree.h), with the operations a table needs to keep its
// indexes in step with its records.
//
// Layout of the header: IndexHeader.h; of the pages: IndexPage.h; of keys: KeyLayout.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/AbstractFile.h"
#include "store/IndexHeader.h"
#include "store/StoreTypes.h"

namespace quellor {

// Enciphers or deciphers one piece in place; the store's cipher is its own inverse, so one
// function serves both ways. Empty for a table that is not encrypted. The index file header
// (4096 bytes) and every page (4096 bytes) are one piece each.
using TIndexCipher = std::function<void(uint8_t* data, size_t size)>;

// What the index file needs to know of its table.
struct TIndexFileOptions {
  std::string tableName;    // as given to the table, for error messages
  uint16_t languageId = 0;  // the table's language id (0: byte order)
  uint16_t sortId = 0;
  TIndexCipher cipher;  // empty when the table is not encrypted
};

// Creates a new, empty index file on `file` (which is cut to the header): version 4, end
// offset 4096, record count 0, no secondary indexes, "Sys Deleted" in slot 31 with key size 5,
// and `primary` in slot 0 (unique, its key size computed from `fields`) or, when `primary` is
// null or has no field numbers, the flag of a primary index without key fields. A bad primary
// index raises 9487, 10023, 12292 or 10026 (naming "Primary") before anything is written; a
// failed write raises 9218.
void CreateIndexFile(TAbstractFile& file, const std::vector<TFieldDesc>& fields,
                     const TIndexDesc* primary, const TIndexFileOptions& options);

}  // namespace quellor
