// The order of keys in an index.
//
// In a table of language id 0, and always in "Sys Deleted", keys compare as unsigned bytes from
// the first on. In a table with a language id they compare field by field: the null-flag bytes
// as bytes; string values with the table's locale (ICU collation that ignores non-spacing
// marks, keeps case apart and weighs hyphens and apostrophes like other symbols), over the
// field's width or the bytes that remain of a shorter search key; other values as bytes; each
// field's result reversed when the index is descending or the field's descending flag is set
// (not twice). Bytes after the last key field (the suffix of a non-unique index) compare as
// bytes, reversed in a descending index. In byte order a descending index reverses the result.
//
// A search key may be shorter than a key: only its first n bytes count, so a prefix finds every
// key that starts with it.
#pragma once

#include <unicode/uversion.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "store/format/KeyLayout.h"

U_NAMESPACE_BEGIN
class Collator;
U_NAMESPACE_END

namespace quellor {

class TKeyComparer {
 public:
  explicit TKeyComparer(const TKeyLayout& layout);

  // Negative, zero or positive as `a` sorts before, with or after `b`, over their first `n`
  // bytes (n at most the key size).
  int Compare(const uint8_t* a, const uint8_t* b, int n) const;
  int KeySize() const { return keySize_; }
  // Whether keys compare as bytes (no locale's collation takes part).
  bool ByteOrder() const { return byteOrder_; }

 private:
  int CompareFields(const uint8_t* a, const uint8_t* b, int n) const;

  int keySize_ = 0;
  bool byteOrder_ = true;
  bool descending_ = false;
  std::vector<TKeyField> fields_;
  std::shared_ptr<const icu::Collator> collator_;
};

}  // namespace quellor
