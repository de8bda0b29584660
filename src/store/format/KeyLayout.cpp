#include "store/format/KeyLayout.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstring>

#include "store/api/StoreError.h"
#include "store/format/IndexBytes.h"
#include "store/format/Language.h"
#include "store/format/TableFormat.h"

namespace quellor {
namespace {

[[noreturn]] void Fail(uint16_t corruptCode, uint16_t code, std::initializer_list<std::string> args,
                       const std::string& tableName) {
  if (corruptCode != 0) throw EStoreEngineError(corruptCode, {tableName});
  throw EStoreEngineError(code, args);
}

bool ValidUtf8(const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
  return status == U_BUFFER_OVERFLOW_ERROR || U_SUCCESS(status);
}

// Cuts UTF-8 text to at most `limit` bytes without splitting a character.
size_t Utf8Cut(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text.size();
  size_t cut = limit;
  while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

void PutBigEndian(uint8_t* out, const uint8_t* littleEndian, int width) {
  for (int i = 0; i < width; ++i) out[i] = littleEndian[width - 1 - i];
}

}  // namespace

std::string UpperCaseText(const std::string& text, const std::string& icuLocale) {
  if (!ValidUtf8(text)) {
    std::string upper = text;
    for (char& c : upper) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
  }
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
  u.toUpper(icu::Locale(icuLocale.c_str()));
  std::string upper;
  u.toUTF8String(upper);
  return upper;
}

TKeyLayout TKeyLayout::Make(const TIndexDesc& index, bool isPrimary,
                            const std::vector<TFieldDesc>& fields, uint16_t languageId,
                            uint16_t sortId, const std::string& tableName, uint16_t corruptCode) {
  const std::string indexName = isPrimary ? std::string("Primary") : index.name;
  TKeyLayout layout;
  layout.unique_ = isPrimary || index.unique;
  layout.descending_ = index.descending;
  layout.caseInsensitive_ = index.caseInsensitive;
  layout.languageId_ = languageId;
  layout.sortId_ = sortId;
  layout.icuLocale_ = LanguageIcuLocale(languageId, sortId);

  size_t count = index.fieldNumbers.size();
  if (count > static_cast<size_t>(kMaxKeyFields) || (count == 0 && !isPrimary))
    Fail(corruptCode, StoreCode::IndexLimits, {tableName}, tableName);
  int keyOffset = 0;
  for (size_t i = 0; i < count; ++i) {
    uint16_t number = index.fieldNumbers[i];
    auto it = std::find_if(fields.begin(), fields.end(),
                           [number](const TFieldDesc& f) { return f.number == number; });
    if (number == 0 || it == fields.end())
      Fail(corruptCode, StoreCode::InvalidIndexFieldNumber,
           {std::to_string(number), indexName, tableName}, tableName);
    if (it->type == TStoreFieldType::Blob)
      Fail(corruptCode, StoreCode::InvalidIndexFieldType, {indexName, tableName}, tableName);
    TKeyField k;
    k.number = number;
    k.type = it->type;
    k.autoInc = it->IsAutoInc();
    k.recordOffset = k.autoInc ? 5 : it->offset;
    k.width = k.autoInc ? 4 : StoredWidth(it->type, it->size);
    if (k.width <= 0)
      Fail(corruptCode, StoreCode::InvalidIndexFieldType, {indexName, tableName}, tableName);
    k.keyOffset = keyOffset;
    k.descending = i < index.fieldDescending.size() && index.fieldDescending[i];
    keyOffset += k.width + 1;
    layout.fields_.push_back(k);
  }
  if (keyOffset > kMaxKeyFieldBytes || (keyOffset == 0 && count > 0))
    Fail(corruptCode, StoreCode::InvalidKeySize, {indexName, tableName}, tableName);
  layout.keySize_ = keyOffset + (count > 0 && !layout.unique_ ? kKeySuffixSize : 0);
  return layout;
}

TKeyLayout TKeyLayout::SysDeleted() {
  TKeyLayout layout;
  layout.unique_ = true;
  layout.keySize_ = kSysDeletedKeySize;
  return layout;
}

std::vector<uint8_t> TKeyLayout::SysDeletedKey(bool deleted, int32_t logicalId) {
  std::vector<uint8_t> key(kSysDeletedKeySize);
  key[0] = deleted ? 1 : 0;
  indexbytes::PutKeyI32(key.data() + 1, logicalId);
  return key;
}

void TKeyLayout::PutFieldKey(size_t keyField, bool isNull, const uint8_t* stored,
                             uint8_t* out) const {
  const TKeyField& f = fields_.at(keyField);
  const int w = f.width;
  std::memset(out, 0, static_cast<size_t>(w) + 1);
  if (!isNull) {
    out[0] = 1;
    uint8_t* v = out + 1;
    switch (f.type) {
      case TStoreFieldType::String: {
        size_t len = 0;
        while (len < static_cast<size_t>(w - 1) && stored[len] != 0) ++len;
        if (!caseInsensitive_) {
          std::memcpy(v, stored, len);  // the characters themselves
          break;
        }
        std::string text(reinterpret_cast<const char*>(stored), len);
        if (caseInsensitive_) {
          text = UpperCaseText(text, icuLocale_);
          text.resize(Utf8Cut(text, static_cast<size_t>(w - 1)));
        }
        std::memcpy(v, text.data(), text.size());
        break;
      }
      case TStoreFieldType::Date:
      case TStoreFieldType::Integer:
      case TStoreFieldType::Time:
      case TStoreFieldType::SmallInt:
      case TStoreFieldType::BCD:
        PutBigEndian(v, stored, w);
        v[0] ^= 0x80;
        break;
      case TStoreFieldType::Boolean:
      case TStoreFieldType::Word:
        PutBigEndian(v, stored, w);
        break;
      case TStoreFieldType::Float:
      case TStoreFieldType::TimeStamp: {
        double d;
        std::memcpy(&d, stored, sizeof d);
        PutBigEndian(v, stored, 8);
        if (d >= 0.0) {
          v[0] |= 0x80;
        } else {
          for (int i = 0; i < 8; ++i) v[i] = static_cast<uint8_t>(~v[i]);
        }
        break;
      }
      case TStoreFieldType::UInt32:
      case TStoreFieldType::Bytes:
      case TStoreFieldType::VarBytes:
      case TStoreFieldType::Float10:
      case TStoreFieldType::Blob:
        std::memcpy(v, stored, static_cast<size_t>(w));
        break;
    }
  }
  if (languageId_ == 0 && !descending_ && f.descending) {
    int invert = 1 + (f.IsString() ? w - 1 : w);
    for (int i = 0; i < invert; ++i) out[i] = static_cast<uint8_t>(~out[i]);
  }
}

std::vector<uint8_t> TKeyLayout::BuildKey(const uint8_t* record, int recordSize, int32_t logicalId,
                                          const std::string& tableName) const {
  std::vector<uint8_t> key;
  BuildKeyInto(record, recordSize, logicalId, tableName, key);
  return key;
}

void TKeyLayout::BuildKeyInto(const uint8_t* record, int recordSize, int32_t logicalId,
                              const std::string& tableName, std::vector<uint8_t>& key) const {
  key.assign(static_cast<size_t>(keySize_), 0);
  for (size_t i = 0; i < fields_.size(); ++i) {
    const TKeyField& f = fields_[i];
    uint8_t* out = key.data() + f.keyOffset;
    if (f.autoInc) {
      if (recordSize < 9) throw EStoreEngineError(StoreCode::RecordsCorrupt, {tableName});
      PutFieldKey(i, false, SlotLogicalIdBytes(record), out);
      continue;
    }
    if (f.recordOffset < 9 || f.recordOffset + 1 + f.width > recordSize)
      throw EStoreEngineError(StoreCode::RecordsCorrupt, {tableName});
    bool isNull = record[f.recordOffset] == 0;
    PutFieldKey(i, isNull, record + f.recordOffset + 1, out);
  }
  if (!fields_.empty() && !unique_)
    indexbytes::PutKeyI32(key.data() + keySize_ - kKeySuffixSize, logicalId);
}

}  // namespace quellor
