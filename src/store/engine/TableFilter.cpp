#include "store/engine/TableFilter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "store/btree/IndexFile.h"
#include "store/expr/ExprContext.h"
#include "store/format/ByteOrder.h"
#include "store/format/FieldValue.h"
#include "store/format/KeyLayout.h"
#include "store/format/TableFormat.h"

namespace quellor {

namespace {

// A 10-byte float: 64-bit mantissa (explicit leading bit), then 15-bit exponent and sign.
bool Float10Value(const uint8_t* v, double& out) {
  uint64_t mantissa = bytes::GetU64(v);
  uint16_t top = bytes::GetU16(v + 8);
  int exponent = top & 0x7fff;
  if (exponent == 0x7fff) return false;
  out = std::ldexp(static_cast<double>(mantissa), exponent - 16383 - 63);
  if (top & 0x8000) out = -out;
  return std::isfinite(out);
}

// The stored (little-endian) bytes of a key field's value: the inverse of its key form.
void StoredFromKey(TStoreFieldType type, const uint8_t* key, int width, uint8_t* stored) {
  std::vector<uint8_t> be(key, key + width);
  switch (type) {
    case TStoreFieldType::Date:
    case TStoreFieldType::Integer:
    case TStoreFieldType::Time:
    case TStoreFieldType::SmallInt:
    case TStoreFieldType::BCD:
      be[0] ^= 0x80;
      std::reverse_copy(be.begin(), be.end(), stored);
      return;
    case TStoreFieldType::Boolean:
    case TStoreFieldType::Word:
      std::reverse_copy(be.begin(), be.end(), stored);
      return;
    case TStoreFieldType::Float:
    case TStoreFieldType::TimeStamp:
      if (be[0] & 0x80) {
        be[0] &= 0x7f;
      } else {
        for (uint8_t& b : be) b = static_cast<uint8_t>(~b);
      }
      std::reverse_copy(be.begin(), be.end(), stored);
      return;
    default:
      std::memcpy(stored, key, static_cast<size_t>(width));
      return;
  }
}

bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

TExprValue StoredExprValue(const uint8_t* v, const TFieldDesc& f) {
  using T = TStoreFieldType;
  switch (f.type) {
    case T::String: {
      size_t n = 0;
      while (n < f.width && v[n] != 0) ++n;
      if (n == 0) return TExprValue::Null(TExprType::String);
      return TExprValue::Text(std::string(reinterpret_cast<const char*>(v), n));
    }
    case T::Date:
      return TExprValue::Date(bytes::GetI32(v));
    case T::Time:
      return TExprValue::Time(bytes::GetI32(v));
    case T::Boolean:
      return TExprValue::Bool(bytes::GetI16(v) != 0);
    case T::SmallInt:
      return TExprValue::Int(bytes::GetI16(v), TExprType::SmallInt);
    case T::Word:
      return TExprValue::Int(bytes::GetU16(v), TExprType::Word);
    case T::Integer:
      return TExprValue::Int(bytes::GetI32(v), TExprType::Integer);
    case T::UInt32:
      return TExprValue::Int(bytes::GetU32(v), TExprType::Integer);
    case T::Float:
      return TExprValue::Real(bytes::GetF64(v), TExprType::Float);
    case T::BCD:
      return TExprValue::Real(static_cast<double>(bytes::GetI64(v)) / 10000.0, TExprType::BCD);
    case T::TimeStamp:
      return TExprValue::TimeStamp(bytes::GetF64(v));
    case T::Bytes:
    case T::VarBytes:
      return TExprValue::Text(std::string(reinterpret_cast<const char*>(v), f.width),
                              TExprType::Bytes);
    case T::Float10: {
      double d = 0;
      if (!Float10Value(v, d)) return TExprValue::Null(TExprType::Float);
      return TExprValue::Real(d, TExprType::Float);
    }
    case T::Blob:
      break;
  }
  return TExprValue::Null(TExprTableScope::TypeOf(f.type));
}

TExprValue TRecordValues::Value(int fieldId) const {
  const auto& fields = table_.Fields();
  if (!image_ || fieldId < 0 || static_cast<size_t>(fieldId) >= fields.size())
    return TExprValue::Null();
  const TFieldDesc& f = fields[static_cast<size_t>(fieldId)];
  TExprType type = TExprTableScope::TypeOf(f.type);
  if (f.IsAutoInc()) return TExprValue::Int(SlotLogicalId(image_), TExprType::Integer);
  if (f.noStorage || FieldIsNull(image_, f)) return TExprValue::Null(type);
  if (f.type == TStoreFieldType::Blob) {
    std::string text = table_.ReadBlob(image_, f);
    if (text.empty()) return TExprValue::Null(type);
    return TExprValue::Text(std::move(text), type);
  }
  return StoredExprValue(image_ + ValueOffset(f), f);
}

TTableFilterAccess::TTableFilterAccess(TDataTable& table, const TExprEvaluator& evaluator)
    : table_(table), evaluator_(evaluator), record_(table, nullptr) {}

TExprRecordSet TTableFilterAccess::AllRecords() {
  std::lock_guard lock(table_.Mutex());
  TExprRecordSet all(static_cast<uint32_t>(std::max(0, table_.Data().SlotCount())));
  // The active part of "Sys Deleted": deleted flag 0, every record slot once.
  TIndexTree& tree = table_.Indexes().File().SysDeleted();
  TIndexTree::TPath path;
  const uint8_t active = 0;
  tree.SeekFirstNotBelow(&active, 1, path);
  while (TIndexTree::OnEntry(path)) {
    if (tree.PathKey(path)[0] != 0) break;
    int32_t slot = tree.PathRecNo(path);
    if (slot > 0) all.Add(static_cast<uint32_t>(slot));
    if (!tree.StepNext(path)) break;
  }
  return all;
}

TIndexTree* TTableFilterAccess::FindTree(int fieldId, bool caseInsensitive) {
  const auto& fields = table_.Fields();
  if (fieldId < 0 || static_cast<size_t>(fieldId) >= fields.size()) return nullptr;
  const TFieldDesc& f = fields[static_cast<size_t>(fieldId)];
  if (f.type == TStoreFieldType::Blob || f.noStorage) return nullptr;
  TIndexFile& file = table_.Indexes().File();
  std::vector<TIndexTree*> trees;
  if (file.Primary()) trees.push_back(file.Primary());
  for (int i = 0; i < file.SecondaryCount(); ++i) trees.push_back(&file.Secondary(i));
  TIndexTree* fallback = nullptr;
  for (TIndexTree* tree : trees) {
    const TKeyLayout& layout = tree->Layout();
    if (layout.Fields().empty()) continue;
    const TKeyField& first = layout.Fields()[0];
    if (first.number != f.number || first.descending) continue;
    if (f.type != TStoreFieldType::String) return tree;
    // A string key carried whole answers both kinds of comparison; an upper-cased one only
    // comparisons without regard to case, in byte order.
    if (!layout.CaseInsensitive()) {
      if (!caseInsensitive) return tree;
      fallback = fallback ? fallback : tree;
    } else if (caseInsensitive && layout.ByteOrder() && !fallback) {
      fallback = tree;
    }
  }
  return fallback;
}

bool TTableFilterAccess::HasIndex(int fieldId, bool caseInsensitive) {
  std::lock_guard lock(table_.Mutex());
  return FindTree(fieldId, caseInsensitive) != nullptr;
}

void TTableFilterAccess::Narrow(const TIndexTree& tree, const TFieldDesc& f,
                                const TExprKeyRange& range, std::vector<uint8_t>& low,
                                std::vector<uint8_t>& high) const {
  const TKeyLayout& layout = tree.Layout();
  const TKeyField& kf = layout.Fields()[0];
  using K = TExprKeyRange::TKind;
  using T = TStoreFieldType;

  if (f.type == T::String) {
    if (layout.CaseInsensitive()) return;  // upper-cased keys: the whole non-NULL part
    // Keys are the characters themselves: a bound's characters are a key prefix. Cut to the
    // key field; a shorter prefix still bounds every matching key.
    auto text = [&](const std::string& s) {
      std::vector<uint8_t> key{1};
      size_t n = std::min(s.size(), static_cast<size_t>(kf.width - 1));
      key.insert(key.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
      return key;
    };
    if (range.kind == K::Prefix) {
      low = high = text(range.prefix);
    } else if (range.kind == K::Equal) {
      if (IsTextType(range.low.type)) low = high = text(range.low.text);
    } else {
      if (range.hasLow && IsTextType(range.low.type)) low = text(range.low.text);
      if (range.hasHigh && IsTextType(range.high.type)) high = text(range.high.text);
    }
    return;
  }

  // Other types: the constant in the field's own encoding, rounded outwards, so that the key
  // bounds hold every value the comparison can accept.
  auto encode = [&](const TExprValue& v, bool lowerBound, std::vector<uint8_t>& out) {
    if (v.isNull) return;
    std::vector<uint8_t> stored(std::max(16, static_cast<int>(kf.width)), 0);
    bool ok = false;
    switch (f.type) {
      case T::Boolean:
        ok = v.type == TExprType::Boolean && PutIntegerValue(stored.data(), f, v.integer);
        break;
      case T::Date:
        ok = v.type == TExprType::Date && PutIntegerValue(stored.data(), f, v.integer);
        break;
      case T::Time:
        ok = v.type == TExprType::Time && PutIntegerValue(stored.data(), f, v.integer);
        break;
      case T::SmallInt:
      case T::Integer:
      case T::Word:
      case T::UInt32: {
        if (!IsNumericType(v.type)) break;
        double x = IsIntegerType(v.type) ? static_cast<double>(v.integer) : v.real;
        if (!std::isfinite(x) || std::fabs(x) > 9e15) break;
        x = lowerBound ? std::floor(x) : std::ceil(x);
        ok = PutIntegerValue(stored.data(), f, static_cast<int64_t>(x));
        break;
      }
      case T::Float:
        if (!IsNumericType(v.type)) break;
        bytes::PutF64(stored.data(),
                      IsIntegerType(v.type) ? static_cast<double>(v.integer) : v.real);
        ok = std::isfinite(bytes::GetF64(stored.data()));
        break;
      case T::TimeStamp:
        if (v.type != TExprType::TimeStamp || !std::isfinite(v.real)) break;
        bytes::PutF64(stored.data(), v.real);
        ok = true;
        break;
      default:
        break;
    }
    if (!ok) return;
    out.assign(static_cast<size_t>(kf.width) + 1, 0);
    layout.PutFieldKey(0, false, stored.data(), out.data());
  };
  if (range.kind == K::Equal) {
    encode(range.low, true, low);
    encode(range.low, false, high);
  } else if (range.kind == K::Range) {
    if (range.hasLow) encode(range.low, true, low);
    if (range.hasHigh) encode(range.high, false, high);
  }
}

bool TTableFilterAccess::InRange(const TExprValue& value, bool ci,
                                 const TExprKeyRange& range) const {
  using K = TExprKeyRange::TKind;
  switch (range.kind) {
    case K::Equal:
      if (range.low.isNull) return value.isNull;
      return !value.isNull && evaluator_.CompareValues(value, range.low, ci) == 0;
    case K::Prefix:
      return !value.isNull && IsTextType(value.type) &&
             evaluator_.Text().StartsWith(value.text, range.prefix, ci);
    case K::Range: {
      if (value.isNull) return false;
      if (range.hasLow) {
        int c = evaluator_.CompareValues(value, range.low, ci);
        if (range.lowInclusive ? c < 0 : c <= 0) return false;
      }
      if (range.hasHigh) {
        int c = evaluator_.CompareValues(value, range.high, ci);
        if (range.highInclusive ? c > 0 : c >= 0) return false;
      }
      return true;
    }
  }
  return false;
}

TExprRecordSet TTableFilterAccess::Lookup(int fieldId, bool ci, const TExprKeyRange& range) {
  std::lock_guard lock(table_.Mutex());
  TExprRecordSet out(static_cast<uint32_t>(std::max(0, table_.Data().SlotCount())));
  TIndexTree* tree = FindTree(fieldId, ci);
  if (!tree) return out;  // the planner asked HasIndex first; nothing answers otherwise
  const TFieldDesc& f = table_.Fields()[static_cast<size_t>(fieldId)];
  const TKeyLayout& layout = tree->Layout();
  const TKeyField& kf = layout.Fields()[0];
  const bool nullWanted = range.kind == TExprKeyRange::TKind::Equal && range.low.isNull;

  // Key prefixes to start at and stop after; only in plain ascending byte order, where the
  // NULL keys (flag 0) come before the others (flag 1).
  std::vector<uint8_t> low, high;
  const bool bounded = layout.ByteOrder() && !layout.Descending();
  if (bounded) {
    low = high = std::vector<uint8_t>{static_cast<uint8_t>(nullWanted ? 0 : 1)};
    // Strings compared without regard to case do not follow the order of case-sensitive keys.
    if (!nullWanted && !(f.type == TStoreFieldType::String && ci)) {
      std::vector<uint8_t> narrowLow, narrowHigh;
      Narrow(*tree, f, range, narrowLow, narrowHigh);
      if (!narrowLow.empty()) low = std::move(narrowLow);
      if (!narrowHigh.empty()) high = std::move(narrowHigh);
    }
  }

  TIndexTree::TPath path;
  if (low.empty())
    tree->SeekPosition(0, path);
  else
    tree->SeekFirstNotBelow(low.data(), static_cast<int>(low.size()), path);
  std::vector<uint8_t> stored(std::max(16, static_cast<int>(kf.width)), 0);
  while (TIndexTree::OnEntry(path)) {
    const uint8_t* key = tree->PathKey(path);
    if (!high.empty() && std::memcmp(key, high.data(), high.size()) > 0) break;
    const int32_t slot = tree->PathRecNo(path);
    ++entriesChecked_;
    TExprValue value;
    const uint8_t* field = key + kf.keyOffset;
    if (field[0] == 0) {
      value = TExprValue::Null(TExprTableScope::TypeOf(f.type));
    } else if (f.IsAutoInc()) {
      StoredFromKey(TStoreFieldType::Integer, field + 1, kf.width, stored.data());
      value = TExprValue::Int(bytes::GetI32(stored.data()), TExprType::Integer);
    } else {
      StoredFromKey(f.type, field + 1, kf.width, stored.data());
      value = StoredExprValue(stored.data(), f);
      // An upper-cased key stands for its value only when casing and cutting kept it whole.
      if (f.type == TStoreFieldType::String && layout.CaseInsensitive() && !value.isNull &&
          (!IsAscii(value.text) || value.text.size() >= static_cast<size_t>(kf.width - 1))) {
        ++recordsReadForKeys_;
        std::vector<uint8_t> image = table_.ReadRecord(slot);
        value = TRecordValues(table_, image.data()).Value(fieldId);
      }
    }
    if (InRange(value, ci, range)) out.Add(static_cast<uint32_t>(slot));
    if (!tree->StepNext(path)) break;
  }
  return out;
}

const TExprRecord& TTableFilterAccess::Read(uint32_t record) {
  const int32_t slot = static_cast<int32_t>(record);
  TDataFile& data = table_.Data();
  const uint8_t* image = table_.Reading([&]() -> const uint8_t* {
    if (slot < 1 || slot > data.SlotCount()) return nullptr;
    const size_t rs = static_cast<size_t>(data.RecordSize());
    // A run seen in place in the mapping is good only while the read slots it was seen under
    // are held (no writer can have changed or cut the file).
    const bool viewGood = !run_.view || run_.term == table_.ReadTerm();
    if (run_.count == 0 || !viewGood || run_.stamp != table_.ChangeCount() || slot < run_.first ||
        slot >= run_.first + run_.count) {
      const bool following = run_.count > 0 && slot == run_.first + run_.count;
      run_.bytes = following ? std::min<size_t>(run_.bytes * 2, 1u << 20) : 1u << 16;
      run_.count = 0;
      run_.view = nullptr;
      const int32_t count = static_cast<int32_t>(std::min<int64_t>(
          std::max<size_t>(1, run_.bytes / rs), static_cast<int64_t>(data.SlotCount()) - slot + 1));
      // In place when this operation holds the read slots and the file is mapped (the read
      // hook has run by then); copied otherwise.
      const uint8_t* view = data.ViewRun(slot, count);
      const uint64_t term = table_.ReadTerm();
      if (view && term != 0) {
        run_.view = view;
        run_.term = term;
      } else {
        run_.images.resize(static_cast<size_t>(count) * rs);
        data.ReadRun(slot, count, run_.images.data());
      }
      // Taken after the read: a change it found has been noted already.
      run_.stamp = table_.ChangeCount();
      run_.first = slot;
      run_.count = count;
    }
    const uint8_t* base = run_.view ? run_.view : run_.images.data();
    const uint8_t* found = base + static_cast<size_t>(slot - run_.first) * rs;
    data.CheckImage(slot, found);
    return found;
  });
  if (!image) {
    image_ = table_.ReadRecord(slot);  // reports the bad slot
    image = image_.data();
  }
  record_.SetImage(image);
  return record_;
}

}  // namespace quellor
