#include "store/btree/KeyCompare.h"

#include <unicode/coll.h>
#include <unicode/stringpiece.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "store/format/Language.h"

namespace quellor {
namespace {

// Collators are costly to make; one per locale serves every index of the process (comparing
// through a const collator is safe from several threads).
std::shared_ptr<const icu::Collator> CollatorFor(const std::string& locale) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<const icu::Collator>> collators;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = collators.find(locale);
  if (it != collators.end()) return it->second;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Collator> c(
      icu::Collator::createInstance(icu::Locale::createCanonical(locale.c_str()), status));
  if (U_FAILURE(status) || !c) {
    status = U_ZERO_ERROR;
    c.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
  }
  // Primary strength with the case level: accents (non-spacing marks) do not count, case does.
  status = U_ZERO_ERROR;
  c->setAttribute(UCOL_STRENGTH, UCOL_PRIMARY, status);
  c->setAttribute(UCOL_CASE_LEVEL, UCOL_ON, status);
  c->setAttribute(UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, status);
  std::shared_ptr<const icu::Collator> shared(c.release());
  collators.emplace(locale, shared);
  return shared;
}

int Sign(int v) {
  return (v > 0) - (v < 0);
}

int CompareBytes(const uint8_t* a, const uint8_t* b, int n) {
  return n <= 0 ? 0 : Sign(std::memcmp(a, b, static_cast<size_t>(n)));
}

// The text of a string value: its bytes up to the first zero, at most `n`.
icu::StringPiece TextOf(const uint8_t* p, int n) {
  const void* zero = std::memchr(p, 0, static_cast<size_t>(n));
  int len = zero ? static_cast<int>(static_cast<const uint8_t*>(zero) - p) : n;
  return icu::StringPiece(reinterpret_cast<const char*>(p), len);
}

}  // namespace

TKeyComparer::TKeyComparer(const TKeyLayout& layout)
    : keySize_(layout.KeySize()),
      byteOrder_(layout.ByteOrder()),
      descending_(layout.Descending()),
      fields_(layout.Fields()) {
  if (!byteOrder_) collator_ = CollatorFor(LanguageIcuLocale(layout.LanguageId(), layout.SortId()));
}

int TKeyComparer::Compare(const uint8_t* a, const uint8_t* b, int n) const {
  if (n > keySize_) n = keySize_;
  if (!byteOrder_) return CompareFields(a, b, n);
  int r = CompareBytes(a, b, n);
  return descending_ ? -r : r;
}

int TKeyComparer::CompareFields(const uint8_t* a, const uint8_t* b, int n) const {
  int pos = 0;
  for (const TKeyField& f : fields_) {
    if (pos >= n) return 0;
    int r = Sign(static_cast<int>(a[pos]) - static_cast<int>(b[pos]));
    if (r == 0) {
      int len = std::min(f.width, n - pos - 1);
      if (f.IsString() && len > 0) {
        UErrorCode status = U_ZERO_ERROR;
        r = Sign(
            collator_->compareUTF8(TextOf(a + pos + 1, len), TextOf(b + pos + 1, len), status));
      } else {
        r = CompareBytes(a + pos + 1, b + pos + 1, len);
      }
    }
    if (r != 0) return (f.descending || descending_) ? -r : r;
    pos += f.width + 1;
  }
  int r = CompareBytes(a + pos, b + pos, n - pos);
  return descending_ ? -r : r;
}

}  // namespace quellor
