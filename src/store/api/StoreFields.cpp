// The fields of the front end: the definition lists a table is created from (TFieldDefs,
// TIndexDefs), the field objects of an open table (TStoreField), which read and write the
// values of the current record in their stored form, and the table's access to its fields and
// their BLOB values.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "store/api/StoreDate.h"
#include "store/api/StoreTb.h"
#include "store/api/StoreTbSupport.h"
#include "store/engine/DataSession.h"
#include "store/format/AsciiText.h"
#include "store/format/ByteOrder.h"
#include "store/format/FieldValue.h"

namespace quellor {

// ---- Definitions ------------------------------------------------------------------------------

TFieldDef& TFieldDefs::Add(const std::string& name, TFieldType type, int size, bool required) {
  if (TrimBlanks(name).empty()) throw EDatabaseError(DatasetText::FieldNameMissing);
  if (IndexOf(name) >= 0) throw EDatabaseError(DatasetText::DuplicateFieldName(name));
  if (!FieldSizeAllowed(type, size)) throw EDatabaseError(DatasetText::InvalidFieldSize);
  TFieldDef def;
  def.Name = name;
  def.DataType = type;
  def.Size = size;
  def.Required = required;
  items_.push_back(def);
  return items_.back();
}

int TFieldDefs::IndexOf(const std::string& name) const {
  std::string wanted = AsciiLower(TrimBlanks(name));
  for (size_t i = 0; i < items_.size(); ++i)
    if (AsciiLower(TrimBlanks(items_[i].Name)) == wanted) return static_cast<int>(i);
  return -1;
}

TIndexDef& TIndexDefs::Add(const std::string& name, const std::string& fields, uint8_t options,
                           TIndexCompression compression) {
  for (const auto& item : items_)
    if (AsciiLower(TrimBlanks(item.Name)) == AsciiLower(TrimBlanks(name)) &&
        ((item.Options | options) & IndexOption::Primary) == 0)
      throw EDatabaseError(DatasetText::DuplicateIndexName(name));
  items_.push_back(TIndexDef{name, fields, options, compression});
  return items_.back();
}

// ---- Fields -----------------------------------------------------------------------------------

TStoreField::TStoreField(TStoreTable& table, size_t index, const TFieldDesc& desc, TFieldType type)
    : table_(table), index_(index), desc_(desc), type_(type) {}

const uint8_t* TStoreField::Value() const {
  const uint8_t* image = table_.CurrentImage();
  return image ? image + ValueOffset(desc_) : nullptr;
}

bool TStoreField::IsNull() const {
  const uint8_t* image = table_.CurrentImage();
  if (!image) return true;
  if (desc_.type == TStoreFieldType::Blob && table_.state_ != TDataSetState::Browse &&
      !table_.candidate_) {
    auto pending = table_.pendingBlobs_.find(index_);
    if (pending != table_.pendingBlobs_.end()) return pending->second.empty();
  }
  if (desc_.IsAutoInc()) return table_.state_ == TDataSetState::Insert && !table_.candidate_;
  return FieldIsNull(image, desc_);
}

uint8_t* TStoreField::Writable() {
  if (!table_.Active()) throw EDatabaseError(DatasetText::ClosedDataset);
  if (table_.state_ != TDataSetState::Edit && table_.state_ != TDataSetState::Insert)
    throw EDatabaseError(DatasetText::NotEditing);
  if (desc_.IsAutoInc()) throw EDatabaseError("Field '" + desc_.name + "' cannot be modified");
  table_.blobCache_.clear();
  return table_.buffer_.data() + ValueOffset(desc_);
}

void TStoreField::Changed() {
  // With AutoCalcFields the record's calculations follow every change; a handler that sets
  // fields itself does not start them again.
  if (table_.AutoCalcFields() && table_.OnCalcFields && !table_.inCalcFields_) {
    table_.inCalcFields_ = true;
    struct TDone {
      bool& flag;
      ~TDone() { flag = false; }
    } done{table_.inCalcFields_};
    table_.OnCalcFields(table_);
  }
  table_.Notify(TDataEvent::FieldChanged, Index());
}

std::string TStoreField::DisplayLabel() const {
  if (!displayLabel_.empty()) return displayLabel_;
  if (table_.AutoDisplayLabels() && !desc_.description.empty()) return desc_.description;
  return desc_.name;
}

void TStoreField::Clear() {
  if (desc_.type == TStoreFieldType::Blob) {
    table_.SetBlobValue(index_, std::string());
    Changed();
    return;
  }
  Writable();
  ClearField(table_.buffer_.data(), desc_);
  Changed();
}

void TStoreField::ConversionError(const std::string& text, const char* kind) const {
  throw EDatabaseError("'" + text + "' is not a valid " + kind + " value for field '" + desc_.name +
                       "'");
}

std::string TStoreField::AsString() const {
  if (desc_.type == TStoreFieldType::Blob) return table_.BlobValue(index_);
  if (IsNull()) return {};
  return GetTextValue(Value(), desc_);
}

void TStoreField::SetAsString(const std::string& value) {
  if (desc_.type == TStoreFieldType::Blob) {
    table_.SetBlobValue(index_, value);
    Changed();
    return;
  }
  uint8_t* v = Writable();
  if (value.empty()) {
    ClearField(table_.buffer_.data(), desc_);
    Changed();
    return;
  }
  TTextFormats formats;
  formats.shortDateFormat = table_.session_.ShortDateFormat();
  formats.dateSeparator = table_.session_.DateSeparator();
  formats.timeSeparator = table_.session_.TimeSeparator();
  std::vector<uint8_t> scratch(std::max<size_t>(desc_.width, 16));
  std::string error = PutUserText(scratch.data(), desc_, value, formats);
  if (!error.empty()) throw EDatabaseError(error);
  std::memcpy(v, scratch.data(), desc_.width);
  MarkFieldSet(table_.buffer_.data(), desc_);
  Changed();
}

int64_t TStoreField::AsInteger() const {
  if (IsNull()) return 0;
  if (desc_.type == TStoreFieldType::String || desc_.type == TStoreFieldType::Blob) {
    std::string text = TrimBlanks(AsString());
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end) ConversionError(text, "integer");
    return v;
  }
  if (desc_.type == TStoreFieldType::Bytes || desc_.type == TStoreFieldType::VarBytes ||
      desc_.type == TStoreFieldType::Float10)
    throw EDatabaseError("Cannot access field '" + desc_.name + "' as type Integer");
  return GetIntegerValue(Value(), desc_);
}

void TStoreField::SetAsInteger(int64_t value) {
  switch (desc_.type) {
    case TStoreFieldType::String:
    case TStoreFieldType::Blob:
      SetAsString(std::to_string(value));
      return;
    case TStoreFieldType::Bytes:
    case TStoreFieldType::VarBytes:
    case TStoreFieldType::Float10:
      throw EDatabaseError("Cannot access field '" + desc_.name + "' as type Integer");
    default:
      break;
  }
  uint8_t* v = Writable();
  if (!PutIntegerValue(v, desc_, value)) {
    if (IsIntegerType(desc_))
      throw EDatabaseError(RangeErrorText(static_cast<double>(value), desc_));
    throw EDatabaseError(std::to_string(value) + " is not a valid value for field '" + desc_.name +
                         "'");
  }
  MarkFieldSet(table_.buffer_.data(), desc_);
  Changed();
}

bool TStoreField::AsBoolean() const {
  if (IsNull()) return false;
  if (desc_.type == TStoreFieldType::String) {
    std::string t = AsciiLower(TrimBlanks(AsString()));
    if (t == "true") return true;
    if (t == "false") return false;
    ConversionError(AsString(), "boolean");
  }
  return AsInteger() != 0;
}

void TStoreField::SetAsBoolean(bool value) {
  if (desc_.type == TStoreFieldType::String) {
    SetAsString(value ? "True" : "False");
    return;
  }
  SetAsInteger(value ? 1 : 0);
}

double TStoreField::AsFloat() const {
  if (IsNull()) return 0;
  switch (desc_.type) {
    case TStoreFieldType::Float:
    case TStoreFieldType::BCD:
      return GetFloatValue(Value(), desc_);
    case TStoreFieldType::Date:
    case TStoreFieldType::Time:
    case TStoreFieldType::TimeStamp:
      return AsDateTime();
    case TStoreFieldType::String:
    case TStoreFieldType::Blob: {
      std::string text = TrimBlanks(AsString());
      char* end = nullptr;
      double v = std::strtod(text.c_str(), &end);
      if (text.empty() || *end) ConversionError(text, "floating point");
      return v;
    }
    default:
      return static_cast<double>(AsInteger());
  }
}

void TStoreField::SetAsFloat(double value) {
  switch (desc_.type) {
    case TStoreFieldType::Date:
    case TStoreFieldType::Time:
    case TStoreFieldType::TimeStamp:
      SetAsDateTime(value);
      return;
    case TStoreFieldType::String:
    case TStoreFieldType::Blob: {
      std::ostringstream s;
      s.precision(15);
      s << value;
      SetAsString(s.str());
      return;
    }
    case TStoreFieldType::Bytes:
    case TStoreFieldType::VarBytes:
    case TStoreFieldType::Float10:
      throw EDatabaseError("Cannot access field '" + desc_.name + "' as type Float");
    default:
      break;
  }
  uint8_t* v = Writable();
  if (!PutFloatValue(v, desc_, value))
    throw EDatabaseError(std::to_string(value) + " is not a valid value for field '" + desc_.name +
                         "'");
  MarkFieldSet(table_.buffer_.data(), desc_);
  Changed();
}

TDateTime TStoreField::AsDateTime() const {
  if (IsNull()) return 0;
  const uint8_t* v = Value();
  switch (desc_.type) {
    case TStoreFieldType::Date:
      return JoinDateTime(bytes::GetI32(v), 0);
    case TStoreFieldType::Time:
      return JoinDateTime(kDateDelta, bytes::GetI32(v));
    case TStoreFieldType::TimeStamp: {
      double ms = bytes::GetF64(v);
      if (!std::isfinite(ms) || std::fabs(ms) > 1e18) return 0;
      int64_t total = static_cast<int64_t>(std::llround(ms));
      return JoinDateTime(static_cast<int32_t>(total / kMsPerDay),
                          static_cast<int32_t>(total % kMsPerDay));
    }
    case TStoreFieldType::String: {
      int32_t day, ms;
      if (!ParseDateTime(AsString(), day, ms)) ConversionError(AsString(), "date and time");
      return JoinDateTime(day, ms);
    }
    case TStoreFieldType::Float:
      return GetFloatValue(v, desc_);
    default:
      throw EDatabaseError("Cannot access field '" + desc_.name + "' as type DateTime");
  }
}

void TStoreField::SetAsDateTime(TDateTime value) {
  int32_t day, ms;
  SplitDateTime(value, day, ms);
  switch (desc_.type) {
    case TStoreFieldType::String:
      SetAsString(ms ? FormatDate(day) + " " + FormatTime(ms) : FormatDate(day));
      return;
    case TStoreFieldType::Float:
      SetAsFloat(value);
      return;
    case TStoreFieldType::Date:
    case TStoreFieldType::Time:
    case TStoreFieldType::TimeStamp:
      break;
    default:
      throw EDatabaseError("Cannot access field '" + desc_.name + "' as type DateTime");
  }
  int y, m, d;
  if (desc_.type != TStoreFieldType::Time && !DecodeDayNumber(day, y, m, d))
    throw EDatabaseError("Invalid date for field '" + desc_.name + "'");
  uint8_t* v = Writable();
  if (desc_.type == TStoreFieldType::Date) bytes::PutI32(v, day);
  if (desc_.type == TStoreFieldType::Time) bytes::PutI32(v, ms);
  if (desc_.type == TStoreFieldType::TimeStamp)
    bytes::PutF64(v, static_cast<double>(day) * kMsPerDay + ms);
  MarkFieldSet(table_.buffer_.data(), desc_);
  Changed();
}

// ---- Table: fields ----------------------------------------------------------------------------

TStoreField& TStoreTable::Fields(int i) {
  CheckActive();
  if (i < 0 || i >= FieldCount()) throw EDatabaseError("Field index out of range");
  return *fields_[static_cast<size_t>(i)];
}

TStoreField* TStoreTable::FindField(const std::string& name) {
  // Called for every FieldByName: compared in place, without lower-case copies.
  const std::string_view wanted = TrimBlanksView(name);
  for (auto& f : fields_)
    if (AsciiEqualNoCase(f->FieldName(), wanted)) return f.get();
  return nullptr;
}

TStoreField& TStoreTable::FieldByName(const std::string& name) {
  CheckActive();
  TStoreField* field = FindField(name);
  if (!field) throw EDatabaseError(DatasetText::FieldNotFound(name));
  return *field;
}

std::string TStoreTable::BlobValue(size_t index) const {
  const uint8_t* image = CurrentImage();
  if (!image) return {};
  if (!candidate_ && state_ != TDataSetState::Browse) {
    auto pending = pendingBlobs_.find(index);
    if (pending != pendingBlobs_.end()) return pending->second;
    if (state_ == TDataSetState::Insert) return {};
  }
  auto cached = blobCache_.find(index);
  if (cached != blobCache_.end()) return cached->second;
  // A record only shown may have been changed by another program since it was read.
  const TFieldDesc& field = table_->Fields()[index];
  std::string value = state_ == TDataSetState::Browse && !candidate_ && slot_ > 0
                          ? table_->ReadShownBlob(slot_, image, field)
                          : table_->ReadBlob(image, field);
  blobCache_[index] = value;
  return value;
}

void TStoreTable::SetBlobValue(size_t index, const std::string& value) {
  CheckActive();
  if (state_ != TDataSetState::Edit && state_ != TDataSetState::Insert)
    throw EDatabaseError(DatasetText::NotEditing);
  // A cursor holds at most 64 changed BLOB values (one per BLOB field of the table).
  if (!pendingBlobs_.count(index) && pendingBlobs_.size() >= static_cast<size_t>(kMaxBlobFields))
    throw EStoreEngineError(StoreCode::TooManyBlobs, {tableName_});
  pendingBlobs_[index] = value;
}

}  // namespace quellor
