#include "store/api/StoreTb.h"

#include <langinfo.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <utility>

#include "store/format/AsciiText.h"
#include "store/format/BlobFile.h"
#include "store/format/ByteOrder.h"
#include "store/format/Cipher.h"
#include "store/engine/CursorOrder.h"
#include "store/format/DataFile.h"
#include "store/engine/DataSession.h"
#include "store/expr/ExprFilter.h"
#include "store/format/FieldValue.h"
#include "store/os/FileList.h"
#include "store/btree/IndexFile.h"
#include "store/format/KeyLayout.h"
#include "store/format/Language.h"
#include "store/os/PhysicalFile.h"
#include "store/engine/TableFilter.h"

namespace quellor {

namespace {

struct TypeCode {
  TStoreFieldType type;
  uint8_t subtype;
};

// The type code and subtype a dataset field kind is stored as.
bool CodeOf(TFieldType kind, TypeCode& code) {
  using T = TStoreFieldType;
  switch (kind) {
    case TFieldType::String:
      code = {T::String, 0};
      return true;
    case TFieldType::SmallInt:
      code = {T::SmallInt, 0};
      return true;
    case TFieldType::Integer:
      code = {T::Integer, 0};
      return true;
    case TFieldType::Word:
      code = {T::Word, 0};
      return true;
    case TFieldType::Boolean:
      code = {T::Boolean, 0};
      return true;
    case TFieldType::Float:
      code = {T::Float, 0};
      return true;
    case TFieldType::Currency:
      code = {T::Float, StoreSubtype::Money};
      return true;
    case TFieldType::BCD:
      code = {T::BCD, 0};
      return true;
    case TFieldType::Date:
      code = {T::Date, 0};
      return true;
    case TFieldType::Time:
      code = {T::Time, 0};
      return true;
    case TFieldType::DateTime:
      code = {T::TimeStamp, 0};
      return true;
    case TFieldType::Bytes:
      code = {T::Bytes, 0};
      return true;
    case TFieldType::VarBytes:
      code = {T::VarBytes, 0};
      return true;
    case TFieldType::AutoInc:
      code = {T::Integer, StoreSubtype::AutoInc};
      return true;
    case TFieldType::Blob:
      code = {T::Blob, StoreSubtype::Binary};
      return true;
    case TFieldType::Memo:
      code = {T::Blob, StoreSubtype::Memo};
      return true;
    case TFieldType::Graphic:
      code = {T::Blob, StoreSubtype::Graphic};
      return true;
    case TFieldType::FmtMemo:
      code = {T::Blob, StoreSubtype::FmtMemo};
      return true;
    case TFieldType::Ole:
      code = {T::Blob, StoreSubtype::Ole};
      return true;
    case TFieldType::TypedBinary:
      code = {T::Blob, StoreSubtype::TypedBinary};
      return true;
    case TFieldType::Unknown:
      return false;
  }
  return false;
}

// The dataset field kind of a stored field; Unknown for one without a dataset field (10-byte
// float, fields without storage).
TFieldType KindOf(const TFieldDesc& f) {
  using T = TStoreFieldType;
  if (f.noStorage) return TFieldType::Unknown;
  switch (f.type) {
    case T::String:
      return TFieldType::String;
    case T::Date:
      return TFieldType::Date;
    case T::Blob:
      switch (f.subtype) {
        case StoreSubtype::Memo:
          return TFieldType::Memo;
        case StoreSubtype::FmtMemo:
          return TFieldType::FmtMemo;
        case StoreSubtype::Graphic:
          return TFieldType::Graphic;
        case StoreSubtype::TypedBinary:
          return TFieldType::TypedBinary;
        case StoreSubtype::Ole:
          return TFieldType::Ole;
        default:
          return TFieldType::Blob;
      }
    case T::Boolean:
      return TFieldType::Boolean;
    case T::SmallInt:
      return TFieldType::SmallInt;
    case T::Integer:
      return f.IsAutoInc() ? TFieldType::AutoInc : TFieldType::Integer;
    case T::Float:
      return f.subtype == StoreSubtype::Money ? TFieldType::Currency : TFieldType::Float;
    case T::BCD:
      return TFieldType::BCD;
    case T::Bytes:
      return TFieldType::Bytes;
    case T::Time:
      return TFieldType::Time;
    case T::TimeStamp:
      return TFieldType::DateTime;
    case T::Word:
      return TFieldType::Word;
    case T::UInt32:
      return TFieldType::Integer;
    case T::Float10:
      return TFieldType::Unknown;
    case T::VarBytes:
      return TFieldType::VarBytes;
  }
  return TFieldType::Unknown;
}

std::vector<std::string> SplitNames(const std::string& list) {
  std::vector<std::string> names;
  std::stringstream stream(list);
  std::string name;
  while (std::getline(stream, name, ';')) {
    name = TrimBlanks(name);
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

bool IsPrimaryIndexName(const std::string& name) {
  std::string n = AsciiLower(TrimBlanks(name));
  return n.empty() || n == "primary";
}

// The system code page as an ICU converter name; the C locale's ASCII stands for UTF-8.
std::string SystemCodePage() {
  const char* codeset = nl_langinfo(CODESET);
  if (!codeset || !*codeset || std::strcmp(codeset, "ANSI_X3.4-1968") == 0 ||
      std::strcmp(codeset, "ASCII") == 0)
    return "UTF-8";
  return codeset;
}

// A filter text without an expression: nothing but separators (codes 0 to 32).
bool BlankFilter(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) <= 32; });
}

bool SizedKind(TFieldType kind) {
  return kind == TFieldType::String || kind == TFieldType::Bytes || kind == TFieldType::VarBytes;
}

}  // namespace

// ---- Session ----------------------------------------------------------------------------------

TStoreSession::TStoreSession() : engine_(std::make_unique<TDataSession>()) {}
TStoreSession::~TStoreSession() = default;

int TStoreSession::LockRetryCount() const {
  return engine_->lockRetryCount;
}
void TStoreSession::SetLockRetryCount(int count) {
  engine_->lockRetryCount = count;
}
int TStoreSession::LockWaitTime() const {
  return engine_->lockWaitTime;
}
void TStoreSession::SetLockWaitTime(int ms) {
  engine_->lockWaitTime = ms;
}
bool TStoreSession::ForceBufferFlush() const {
  return engine_->forceBufferFlush;
}
void TStoreSession::SetForceBufferFlush(bool on) {
  engine_->forceBufferFlush = on;
}
bool TStoreSession::StrictChangeDetection() const {
  return engine_->strictChangeDetection;
}
void TStoreSession::SetStrictChangeDetection(bool on) {
  engine_->strictChangeDetection = on;
}
bool TStoreSession::MappedReads() const {
  return engine_->mappedReads;
}
void TStoreSession::SetMappedReads(bool on) {
  engine_->mappedReads = on;
}
int TStoreSession::LanguageID() const {
  return engine_->languageId;
}
void TStoreSession::SetLanguageID(int id) {
  engine_->languageId = static_cast<int16_t>(id);
}
int TStoreSession::SortID() const {
  return engine_->sortId;
}
void TStoreSession::SetSortID(int id) {
  engine_->sortId = static_cast<int16_t>(id);
}

void TStoreSession::AddPassword(const std::string& password) {
  engine_->AddPassword(password);
}
void TStoreSession::RemovePassword(const std::string& password) {
  engine_->RemovePassword(password);
}
void TStoreSession::RemoveAllPasswords() {
  engine_->RemoveAllPasswords();
}
std::vector<std::string> TStoreSession::Passwords() const {
  return engine_->Passwords();
}

TStoreSession& TStoreSession::Default() {
  static TStoreSession* session = new TStoreSession;  // lives as long as the process
  return *session;
}

void TStoreSession::Register(TStoreDatabase* database) {
  std::lock_guard lock(mutex_);
  databases_.push_back(database);
}

void TStoreSession::Unregister(TStoreDatabase* database) {
  std::lock_guard lock(mutex_);
  std::erase(databases_, database);
}

TStoreDatabase* TStoreSession::FindDatabase(const std::string& name) const {
  std::string wanted = AsciiLower(TrimBlanks(name));
  for (TStoreDatabase* db : databases_)
    if (AsciiLower(TrimBlanks(db->DatabaseName())) == wanted) return db;
  return nullptr;
}

std::shared_ptr<TDataDirectory> TStoreSession::DirectoryFor(const std::string& universalName,
                                                            bool inMemory) {
  std::lock_guard lock(mutex_);
  std::string key = inMemory ? std::string("\x01MEMORY") : universalName;
  if (auto existing = directories_[key].lock()) return existing;
  auto directory =
      std::make_shared<TDataDirectory>(*engine_, inMemory ? "" : universalName, inMemory);
  directories_[key] = directory;
  engine_->onPassword = [this] {
    bool again = true;
    if (!OnPassword) return false;
    OnPassword(*this, again);
    return again;
  };
  return directory;
}

// ---- Database ---------------------------------------------------------------------------------

TStoreDatabase::TStoreDatabase(TStoreSession& session) : session_(session) {
  session_.Register(this);
}

TStoreDatabase::~TStoreDatabase() {
  session_.Unregister(this);
}

void TStoreDatabase::SetDatabaseName(const std::string& name) {
  if (connected_) Close();
  databaseName_ = name;
}

void TStoreDatabase::SetDirectory(const std::string& directory) {
  if (connected_) Close();
  directory_ = directory;
}

bool TStoreDatabase::IsMemory() const {
  return AsciiLower(TrimBlanks(databaseName_)) == "memory";
}

void TStoreDatabase::SetConnected(bool on) {
  if (on == connected_) return;
  if (!on) {
    // A transaction not committed when its database goes is rolled back.
    if (InTransaction()) dataDirectory_->RollbackTransaction();
    dataDirectory_.reset();  // open tables keep their folder object alive
    connected_ = false;
    return;
  }
  if (BeforeConnect) BeforeConnect(*this);
  if (IsMemory()) {
    dataDirectory_ = session_.DirectoryFor("", true);
  } else {
    std::string folder = TrimBlanks(directory_);
    if (folder.empty()) folder = ".";
    // The universal name: two spellings of one folder are one database folder.
    char* real = ::realpath(folder.c_str(), nullptr);
    if (!real) throw EStoreEngineError(OsErrorCode(errno), {folder});
    std::string universal = real;
    std::free(real);
    if (universal.empty() || universal.back() != '/') universal += '/';
    dataDirectory_ = session_.DirectoryFor(universal, false);
  }
  connected_ = true;
}

std::shared_ptr<TDataDirectory> TStoreDatabase::DataDirectory() {
  if (!connected_) Open();
  return dataDirectory_;
}

bool TStoreDatabase::InTransaction() {
  return connected_ && dataDirectory_ && dataDirectory_->InTransaction();
}

void TStoreDatabase::BeginTransaction() {
  auto directory = DataDirectory();
  if (directory->InTransaction())
    throw EDatabaseError(DatasetText::TransactionActive(databaseName_));
  directory->BeginTransaction();
}

void TStoreDatabase::CommitTransaction() {
  if (!InTransaction()) throw EDatabaseError(DatasetText::NoTransaction(databaseName_));
  dataDirectory_->CommitTransaction();
}

void TStoreDatabase::RollbackTransaction() {
  if (!InTransaction()) throw EDatabaseError(DatasetText::NoTransaction(databaseName_));
  dataDirectory_->RollbackTransaction();
}

// ---- Definitions ------------------------------------------------------------------------------

TFieldDef& TFieldDefs::Add(const std::string& name, TFieldType type, int size, bool required) {
  if (TrimBlanks(name).empty()) throw EDatabaseError(DatasetText::FieldNameMissing);
  if (IndexOf(name) >= 0) throw EDatabaseError(DatasetText::DuplicateFieldName(name));
  bool sizeOk = SizedKind(type) ? size >= 1 && size <= 250
                                : (type == TFieldType::BCD ? size >= 0 && size <= 8 : size == 0);
  if (!sizeOk) throw EDatabaseError(DatasetText::InvalidFieldSize);
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
  table_.Notify(TDataEvent::FieldChanged, Index());
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

// ---- Table: opening and closing ---------------------------------------------------------------

TStoreTable::TStoreTable(TStoreSession& session) : session_(session) {}

TStoreTable::~TStoreTable() {
  try {
    Close();
  } catch (...) {
  }
  if (master_) {
    master_->RemoveListener(&masterLink_);
    std::erase(master_->details_, this);
  }
  for (TStoreTable* detail : details_) detail->master_ = nullptr;
}

void TStoreTable::CheckActive() const {
  if (!table_) throw EDatabaseError(DatasetText::ClosedDataset);
}

void TStoreTable::CheckWritable() const {
  CheckActive();
  if (ReadOnly()) throw EDatabaseError(DatasetText::ReadOnly);
}

void TStoreTable::SetDatabaseName(const std::string& name) {
  if (table_) throw EDatabaseError(DatasetText::OpenDataset);
  databaseName_ = name;
}
void TStoreTable::SetTableName(const std::string& name) {
  if (table_) throw EDatabaseError(DatasetText::OpenDataset);
  tableName_ = name;
}
void TStoreTable::SetExclusive(bool on) {
  if (table_) throw EDatabaseError(DatasetText::OpenDataset);
  exclusive_ = on;
}
bool TStoreTable::ReadOnly() const {
  return readOnly_ || (table_ && table_->ReadOnlyFiles());
}

void TStoreTable::SetReadOnly(bool on) {
  if (table_) throw EDatabaseError(DatasetText::OpenDataset);
  readOnly_ = on;
}

std::shared_ptr<TDataDirectory> TStoreTable::Directory() {
  if (TStoreDatabase* db = session_.FindDatabase(databaseName_)) return db->DataDirectory();
  // A name that no database carries names the folder itself (or the in-memory database).
  if (AsciiLower(TrimBlanks(databaseName_)) == "memory") return session_.DirectoryFor("", true);
  std::string folder = TrimBlanks(databaseName_);
  if (folder.empty()) folder = ".";
  char* real = ::realpath(folder.c_str(), nullptr);
  if (!real) throw EStoreEngineError(StoreCode::InvalidPath, {tableName_});
  std::string universal = real;
  std::free(real);
  if (universal.back() != '/') universal += '/';
  return session_.DirectoryFor(universal, false);
}

void TStoreTable::Open() {
  if (table_) return;
  if (TrimBlanks(tableName_).empty()) throw EDatabaseError(DatasetText::MissingTableName);
  Fire(BeforeOpen);
  directory_ = Directory();
  table_ = directory_->OpenTable(tableName_, exclusive_);
  fields_.clear();
  const auto& descs = table_->Fields();
  for (size_t i = 0; i < descs.size(); ++i) {
    TFieldType kind = KindOf(descs[i]);
    if (kind != TFieldType::Unknown)
      fields_.push_back(std::make_unique<TStoreField>(*this, i, descs[i], kind));
  }
  state_ = TDataSetState::Browse;
  try {
    order_ = std::make_unique<TCursorOrder>(*table_);
    order_->SelectIndex(indexFieldNames_.empty() ? indexName_
                                                 : IndexNameForFields(indexFieldNames_));
    if (!BlankFilter(filterText_)) {
      if (FilterCount() >= kMaxFilters)
        throw EStoreEngineError(StoreCode::TooManyFilters, {tableName_});
      exprFilter_ = CompileFilter(filterText_, filterOptions_);
    }
    ApplyMasterRange();
    First();
  } catch (...) {
    Close();
    throw;
  }
  Notify(TDataEvent::ActiveChanged);
  Fire(AfterOpen);
}

void TStoreTable::Close() {
  if (!table_) return;
  Fire(BeforeClose);
  ReleaseRecordLock();
  pendingBlobs_.clear();
  blobCache_.clear();
  fields_.clear();
  order_.reset();
  exprFilter_.reset();
  DropPassing();
  auto table = std::move(table_);
  table_.reset();
  state_ = TDataSetState::Inactive;
  slot_ = 0;
  bof_ = eof_ = true;
  shown_.clear();
  buffer_.clear();
  table.reset();  // the last user writes the caches and closes the files
  directory_.reset();
  Notify(TDataEvent::ActiveChanged);
  Fire(AfterClose);
}

void TStoreTable::AddListener(TDataSetListener* listener) {
  if (std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end())
    listeners_.push_back(listener);
}

void TStoreTable::RemoveListener(TDataSetListener* listener) {
  listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

void TStoreTable::EnableControls() {
  if (controlsDisabled_ > 0 && --controlsDisabled_ == 0) Notify(TDataEvent::RecordChanged);
}

void TStoreTable::Notify(TDataEvent event, int info) {
  if (controlsDisabled_ > 0) return;
  // A listener may remove itself (or another) while it is told; work on a copy.
  std::vector<TDataSetListener*> listeners = listeners_;
  for (TDataSetListener* l : listeners)
    if (std::find(listeners_.begin(), listeners_.end(), l) != listeners_.end())
      l->DataSetEvent(event, info);
}

bool TStoreTable::RunWithErrorEvent(const TDataSetErrorEvent& handler,
                                    const std::function<void()>& op) {
  for (;;) {
    try {
      op();
      return true;
    } catch (const std::exception& e) {
      if (!handler) throw;
      TDataAction action = TDataAction::Fail;
      handler(*this, e, action);
      if (action == TDataAction::Retry) continue;
      if (action == TDataAction::Abort) return false;
      throw;
    }
  }
}

void TStoreTable::ReleaseRecordLock() {
  if (lockedSlot_ && table_) {
    try {
      table_->UnlockRecord(lockedSlot_, this);
    } catch (...) {
    }
  }
  lockedSlot_ = 0;
}

// ---- Table: navigation ------------------------------------------------------------------------

const uint8_t* TStoreTable::CurrentImage() const {
  if (candidate_) return candidate_->data();
  if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert) return buffer_.data();
  if (slot_ && !shown_.empty()) return shown_.data();
  return nullptr;
}

// ---- Table: filters ---------------------------------------------------------------------------

int TStoreTable::FilterCount() const {
  return (exprFilter_ || (!table_ && !BlankFilter(filterText_)) ? 1 : 0) +
         (OnFilterRecord ? 1 : 0) + static_cast<int>(recordFilters_.size());
}

bool TStoreTable::FilterActive() const {
  return filtered_ && (exprFilter_ || OnFilterRecord || !recordFilters_.empty());
}

std::unique_ptr<TExprFilter> TStoreTable::CompileFilter(const std::string& text,
                                                        const TFilterOptions& options) const {
  TExprSettings settings;
  settings.caseInsensitive = options.caseInsensitive;
  settings.noPartialCompare = options.noPartialCompare;
  settings.languageId = static_cast<uint16_t>(table_->Data().Header().languageId);
  settings.codePage = SystemCodePage();
  settings.decimalSeparator = session_.DecimalSeparator();
  settings.dateFormat.dateFormat = session_.ShortDateFormat();
  settings.dateFormat.dateSeparator = session_.DateSeparator();
  settings.dateFormat.timeSeparator = session_.TimeSeparator();
  TExprTableScope scope(tableName_, table_->Fields());
  return TExprFilter::Compile(text, scope, settings, tableName_);
}

void TStoreTable::SetFilter(const std::string& text) {
  if (!table_) {
    filterText_ = text;
    return;
  }
  CheckBrowseMode();
  std::unique_ptr<TExprFilter> compiled;
  if (!BlankFilter(text)) {
    if (!exprFilter_ && FilterCount() >= kMaxFilters)
      throw EStoreEngineError(StoreCode::TooManyFilters, {tableName_});
    compiled = CompileFilter(text, filterOptions_);  // 10051: the old filter stays
  }
  exprFilter_ = std::move(compiled);
  filterText_ = text;
  DropPassing();
  if (filtered_) First();
}

void TStoreTable::SetFilterOptions(const TFilterOptions& options) {
  if (!table_) {
    filterOptions_ = options;
    return;
  }
  CheckBrowseMode();
  std::unique_ptr<TExprFilter> compiled;
  if (!BlankFilter(filterText_)) compiled = CompileFilter(filterText_, options);
  exprFilter_ = std::move(compiled);
  filterOptions_ = options;
  DropPassing();
  if (filtered_) First();
}

void TStoreTable::SetFiltered(bool on) {
  filtered_ = on;
  DropPassing();
  if (table_) First();
}

int TStoreTable::AddRecordFilter(TRecordFilter filter) {
  if (FilterCount() >= kMaxFilters)
    throw EStoreEngineError(StoreCode::TooManyFilters, {tableName_});
  int handle = nextFilterHandle_++;
  recordFilters_[handle] = std::move(filter);
  if (table_ && filtered_) First();
  return handle;
}

void TStoreTable::RemoveRecordFilter(int handle) {
  auto it = recordFilters_.find(handle);
  if (it == recordFilters_.end())
    throw EStoreEngineError(StoreCode::InvalidFilterHandle, {tableName_});
  recordFilters_.erase(it);
  if (hookHandle_ == handle) hookHandle_ = 0;
  if (table_ && filtered_) First();
}

void TStoreTable::SetRecordFilter(TRecordFilter filter) {
  if (hookHandle_) {
    recordFilters_.erase(hookHandle_);
    hookHandle_ = 0;
  }
  if (filter)
    hookHandle_ = AddRecordFilter(std::move(filter));
  else if (table_ && filtered_)
    First();
}

bool TStoreTable::PassingFresh() const {
  return passing_ && exprFilter_ && table_ && passingStamp_ == table_->ChangeCount();
}

void TStoreTable::DropPassing() {
  passing_.reset();
}

void TStoreTable::EnsurePassing() {
  if (!filtered_ || !exprFilter_ || PassingFresh()) return;
  // One reading operation: it holds the read slots from its first read of the files and starts
  // over when another program changed them under the caches.
  table_->Reading([&] {
    // The stamp is taken first: a change noticed while reading makes the set stale at once.
    uint64_t stamp = table_->ChangeCount();
    TTableFilterAccess access(*table_, exprFilter_->Evaluator());
    passing_ = std::make_unique<TExprRecordSet>(exprFilter_->Select(access, access));
    passingStamp_ = stamp;
  });
}

bool TStoreTable::Accept(int32_t slot) {
  if (!FilterActive()) return true;
  bool expressionDone = false;
  if (exprFilter_ && PassingFresh()) {
    if (!passing_->Contains(static_cast<uint32_t>(slot))) return false;
    expressionDone = true;
  }
  if (expressionDone && !OnFilterRecord && recordFilters_.empty()) return true;
  std::vector<uint8_t> image;
  if (!order_ || !order_->Record(slot, image)) image = table_->ReadRecord(slot);
  if (exprFilter_ && !expressionDone && !exprFilter_->Matches(TRecordValues(*table_, image.data())))
    return false;
  if (!OnFilterRecord && recordFilters_.empty()) return true;
  auto saved = std::move(blobCache_);
  blobCache_.clear();
  candidate_ = &image;
  bool accept = true;
  try {
    if (OnFilterRecord) OnFilterRecord(*this, accept);
    for (auto it = recordFilters_.begin(); accept && it != recordFilters_.end(); ++it)
      accept = it->second(*this);
  } catch (...) {
    candidate_ = nullptr;
    blobCache_ = std::move(saved);
    throw;
  }
  candidate_ = nullptr;
  blobCache_ = std::move(saved);
  return accept;
}

int32_t TStoreTable::Seek(int32_t from, bool forward) {
  TCursorOrder& order = *order_;
  // The move starts from the record as this cursor showed it, wherever the index put it since.
  const std::vector<uint8_t>* image = from == slot_ && !shown_.empty() ? &shown_ : nullptr;
  int32_t slot = from == 0 ? (forward ? order.First() : order.Last())
                           : (forward ? order.Next(from, image) : order.Prior(from, image));
  while (slot && !Accept(slot))
    slot = forward ? order.Next(slot, nullptr) : order.Prior(slot, nullptr);
  return slot;
}

void TStoreTable::SetCurrent(int32_t slot) {
  // A walk's record usually comes from the order's read-ahead.
  if (!order_ || !order_->Record(slot, shown_)) shown_ = table_->ReadRecord(slot);
  slot_ = slot;
  blobCache_.clear();
  Fire(OnCalcFields);
  Notify(TDataEvent::RecordChanged);
  if (AfterScroll) AfterScroll(*this);
}

void TStoreTable::ClearCurrent() {
  slot_ = 0;
  shown_.clear();
  blobCache_.clear();
  Notify(TDataEvent::RecordChanged);
}

void TStoreTable::CheckBrowseMode() {
  CheckActive();
  if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert) Post();
}

void TStoreTable::First() {
  CheckBrowseMode();
  Fire(BeforeScroll);
  int32_t slot = Seek(0, true);
  if (slot) {
    SetCurrent(slot);
    eof_ = false;
  } else {
    ClearCurrent();
    eof_ = true;
  }
  bof_ = true;
}

void TStoreTable::Last() {
  CheckBrowseMode();
  Fire(BeforeScroll);
  int32_t slot = Seek(0, false);
  if (slot) {
    SetCurrent(slot);
    bof_ = false;
  } else {
    ClearCurrent();
    bof_ = true;
  }
  eof_ = true;
}

void TStoreTable::Next() {
  CheckBrowseMode();
  Fire(BeforeScroll);
  int32_t slot = slot_ ? Seek(slot_, true) : 0;
  if (slot) {
    SetCurrent(slot);
    bof_ = eof_ = false;
  } else {
    eof_ = true;
  }
}

void TStoreTable::Prior() {
  CheckBrowseMode();
  Fire(BeforeScroll);
  int32_t slot = slot_ ? Seek(slot_, false) : 0;
  if (slot) {
    SetCurrent(slot);
    bof_ = eof_ = false;
  } else {
    bof_ = true;
  }
}

int TStoreTable::MoveBy(int distance) {
  int moved = 0;
  while (distance > 0 && !eof_) {
    Next();
    if (!eof_) ++moved;
    --distance;
  }
  while (distance < 0 && !bof_) {
    Prior();
    if (!bof_) --moved;
    ++distance;
  }
  return moved;
}

bool TStoreTable::IsEmpty() {
  CheckActive();
  return slot_ == 0 && state_ != TDataSetState::Insert;
}

int TStoreTable::RecordCount() {
  CheckActive();
  if (!FilterActive()) {
    // Counts come from the index: the header's count, or one descent for a range.
    if (!order_->HasRange()) return table_->RecordCount();
    return static_cast<int>(order_->Count());
  }
  EnsurePassing();
  // The expression alone over the whole table: the size of its record set.
  if (PassingFresh() && !OnFilterRecord && recordFilters_.empty() && !order_->HasRange())
    return static_cast<int>(passing_->Count());
  int count = 0;
  for (int32_t slot = Seek(0, true); slot; slot = Seek(slot, true)) ++count;
  return count;
}

int TStoreTable::RecNo() {
  CheckActive();
  if (!slot_ || state_ == TDataSetState::Insert) return 0;
  if (!FilterActive()) return static_cast<int>(order_->Position(slot_, &shown_) + 1);
  EnsurePassing();
  int position = 0;
  for (int32_t slot = Seek(0, true); slot; slot = Seek(slot, true)) {
    ++position;
    if (slot == slot_) return position;
  }
  return 0;
}

void TStoreTable::SetRecNo(int recNo) {
  CheckBrowseMode();
  if (recNo < 1) return;
  if (FilterActive()) {
    EnsurePassing();
    First();
    MoveBy(recNo - 1);
    return;
  }
  int32_t slot = order_->GoTo(recNo - 1);
  if (!slot) return;
  SetCurrent(slot);
  bof_ = eof_ = false;
}

TBookmark TStoreTable::GetBookmark() const {
  if (!table_ || !slot_ || shown_.size() < kRecordHeaderSize) return {};
  return TBookmark{slot_, bytes::GetI32(shown_.data() + 5)};
}

uint64_t TStoreTable::ChangeCount() const {
  return table_ ? table_->ChangeCount() : 0;
}

void TStoreTable::GotoBookmark(const TBookmark& bookmark) {
  CheckBrowseMode();
  if (bookmark.slot < 1 || bookmark.slot > table_->Data().SlotCount())
    throw EStoreEngineError(StoreCode::RecordNotFound, {tableName_});
  std::vector<uint8_t> image = table_->ReadRecord(bookmark.slot);
  if (image[0] != 0 || bytes::GetI32(image.data() + 5) != bookmark.logicalId)
    throw EStoreEngineError(StoreCode::RecordNotFound, {tableName_});
  SetCurrent(bookmark.slot);
  bof_ = eof_ = false;
}

// ---- Table: indexes ---------------------------------------------------------------------------

void TStoreTable::SetIndexName(const std::string& name) {
  if (table_) {
    CheckBrowseMode();
    order_->SelectIndex(name);  // 10022 for an unknown name, before anything changes
  }
  indexName_ = name;
  indexFieldNames_.clear();
  if (table_) {
    ApplyMasterRange();
    First();
  }
}

void TStoreTable::SetIndexFieldNames(const std::string& fieldNames) {
  if (table_) {
    CheckBrowseMode();
    order_->SelectIndex(IndexNameForFields(fieldNames));
  }
  indexFieldNames_ = fieldNames;
  indexName_.clear();
  if (table_) {
    ApplyMasterRange();
    First();
  }
}

std::vector<TIndexDef> TStoreTable::IndexDefinitions() {
  CheckActive();
  std::lock_guard lock(table_->Mutex());
  std::vector<TIndexDef> defs;
  for (const TIndexDesc& d : table_->Indexes().File().Definitions()) {
    TIndexDef def;
    def.Name = d.name;
    for (uint16_t number : d.fieldNumbers) {
      if (!def.Fields.empty()) def.Fields += ';';
      def.Fields += FieldByNumber(number).name;
    }
    def.Options = static_cast<uint8_t>((d.name.empty() ? IndexOption::Primary : 0) |
                                       (d.unique ? IndexOption::Unique : 0) |
                                       (d.descending ? IndexOption::Descending : 0) |
                                       (d.caseInsensitive ? IndexOption::CaseInsensitive : 0));
    def.Compression = d.compression;
    defs.push_back(std::move(def));
  }
  return defs;
}

std::string TStoreTable::IndexNameForFields(const std::string& fieldNames) {
  std::vector<std::string> wanted = SplitNames(fieldNames);
  if (wanted.empty()) return {};
  for (std::string& name : wanted) name = AsciiLower(name);
  std::vector<TIndexDef> defs = IndexDefinitions();
  // An index with exactly these key fields first, else one that begins with them.
  for (bool exact : {true, false}) {
    for (const TIndexDef& def : defs) {
      std::vector<std::string> have = SplitNames(def.Fields);
      if (have.size() < wanted.size() || (exact && have.size() != wanted.size())) continue;
      bool same = true;
      for (size_t i = 0; i < wanted.size() && same; ++i) same = AsciiLower(have[i]) == wanted[i];
      if (same) return def.Name;
    }
  }
  throw EStoreEngineError(StoreCode::InvalidSecondaryIndexName, {fieldNames, tableName_});
}

const TKeyLayout& TStoreTable::ActiveLayout() {
  const TKeyLayout* layout = order_->Layout();
  if (!layout) throw EDatabaseError("No index currently active");
  return *layout;
}

const TFieldDesc& TStoreTable::FieldByNumber(uint16_t number) const {
  for (const TFieldDesc& f : table_->Fields())
    if (f.number == number) return f;
  throw EStoreEngineError(StoreCode::InvalidIndexFieldNumber,
                          {std::to_string(number), "", tableName_});
}

std::vector<uint8_t> TStoreTable::KeyFromValues(const std::vector<std::string>& values) {
  const TKeyLayout& layout = ActiveLayout();
  const auto& keyFields = layout.Fields();
  if (values.size() > keyFields.size())
    throw EDatabaseError("Too many key values for the index of table '" + tableName_ + "'");
  std::vector<uint8_t> key;
  for (size_t i = 0; i < values.size(); ++i) {
    const TFieldDesc& f = FieldByNumber(keyFields[i].number);
    std::vector<uint8_t> stored(std::max(16, ValueWidth(f)), 0);
    bool isNull = values[i].empty();
    if (!isNull && !PutTextValue(stored.data(), f, values[i]))
      throw EDatabaseError("'" + values[i] + "' is not a valid value for field '" + f.name + "'");
    size_t at = key.size();
    key.resize(at + 1 + static_cast<size_t>(keyFields[i].width));
    layout.PutFieldKey(i, isNull, stored.data(), key.data() + at);
  }
  return key;
}

bool TStoreTable::FindKey(const std::vector<std::string>& values) {
  CheckBrowseMode();
  std::vector<uint8_t> key = KeyFromValues(values);
  bool found = false;
  int32_t slot = order_->Seek(key, found);
  // Records the filter rejects are passed over while the key still matches.
  while (found && slot && !Accept(slot)) {
    slot = order_->Next(slot, nullptr);
    found = slot && order_->CurrentMatches(key);
  }
  if (!found || !slot) return false;
  SetCurrent(slot);
  bof_ = eof_ = false;
  return true;
}

void TStoreTable::FindNearest(const std::vector<std::string>& values) {
  CheckBrowseMode();
  std::vector<uint8_t> key = KeyFromValues(values);
  bool found = false;
  int32_t slot = order_->Seek(key, found);
  while (slot && !Accept(slot)) slot = order_->Next(slot, nullptr);
  if (slot) {
    SetCurrent(slot);
    bof_ = eof_ = false;
  } else {
    Last();
    eof_ = true;
  }
}

void TStoreTable::SetRange(const std::vector<std::string>& start,
                           const std::vector<std::string>& end) {
  CheckBrowseMode();
  std::vector<uint8_t> low = KeyFromValues(start);
  std::vector<uint8_t> high = KeyFromValues(end);
  order_->SetRange(std::move(low), std::move(high));
  First();
}

void TStoreTable::CancelRange() {
  CheckBrowseMode();
  order_->ClearRange();
  ApplyMasterRange();
  First();
}

void TStoreTable::SetMasterSource(TStoreTable* master) {
  if (master == master_) return;
  for (TStoreTable* m = master; m; m = m->master_)
    if (m == this) throw EDatabaseError("Circular datalinks are not allowed");
  if (master_) {
    master_->RemoveListener(&masterLink_);
    std::erase(master_->details_, this);
  }
  master_ = master;
  if (master_) {
    master_->AddListener(&masterLink_);
    master_->details_.push_back(this);
  }
  if (table_) MasterChanged();
}

void TStoreTable::SetMasterFields(const std::string& fieldNames) {
  masterFields_ = fieldNames;
  if (table_) MasterChanged();
}

void TStoreTable::MasterChanged() {
  if (!table_) return;
  CheckBrowseMode();
  if (master_ && !SplitNames(masterFields_).empty())
    ApplyMasterRange();
  else
    order_->ClearRange();
  First();
}

void TStoreTable::TMasterLink::DataSetEvent(TDataEvent event, int) {
  if (event == TDataEvent::RecordChanged || event == TDataEvent::ActiveChanged)
    owner_.MasterChanged();
}

void TStoreTable::ApplyMasterRange() {
  std::vector<std::string> names = SplitNames(masterFields_);
  if (!master_ || names.empty()) return;
  const TKeyLayout& layout = ActiveLayout();
  const auto& keyFields = layout.Fields();
  if (names.size() > keyFields.size())
    throw EDatabaseError("Too many master fields for the index of table '" + tableName_ + "'");
  const uint8_t* image = master_->table_ ? master_->CurrentImage() : nullptr;
  std::vector<uint8_t> key;
  for (size_t i = 0; i < names.size(); ++i) {
    const TFieldDesc& target = FieldByNumber(keyFields[i].number);
    std::vector<uint8_t> stored(std::max(16, ValueWidth(target)), 0);
    bool isNull = true;
    if (image) {
      TStoreField* field = master_->FindField(names[i]);
      if (!field) throw EDatabaseError(DatasetText::FieldNotFound(names[i]));
      const TFieldDesc& source = field->Desc();
      isNull = field->IsNull();
      if (!isNull && source.type == target.type && ValueWidth(source) == ValueWidth(target)) {
        std::memcpy(stored.data(), image + ValueOffset(source), ValueWidth(source));
      } else if (!isNull) {
        std::string text = GetTextValue(image + ValueOffset(source), source);
        if (!PutTextValue(stored.data(), target, text))
          throw EDatabaseError("'" + text + "' is not a valid value for field '" + target.name +
                               "'");
      }
    }
    size_t at = key.size();
    key.resize(at + 1 + static_cast<size_t>(keyFields[i].width));
    layout.PutFieldKey(i, isNull, stored.data(), key.data() + at);
  }
  order_->SetRange(key, key);
}

TIndexDesc TStoreTable::MakeIndexDesc(const std::string& name, const std::string& fieldNames,
                                      uint8_t options, TIndexCompression compression,
                                      const std::vector<TFieldDesc>& fields) const {
  TIndexDesc desc;
  desc.name = TrimBlanks(name);
  desc.unique = (options & (IndexOption::Unique | IndexOption::Primary)) != 0;
  desc.descending = (options & IndexOption::Descending) != 0;
  desc.caseInsensitive = (options & IndexOption::CaseInsensitive) != 0;
  desc.compression = compression;
  for (const std::string& fieldName : SplitNames(fieldNames)) {
    auto it = std::find_if(fields.begin(), fields.end(), [&](const TFieldDesc& f) {
      return AsciiLower(f.name) == AsciiLower(fieldName);
    });
    if (it == fields.end())
      throw EStoreEngineError(StoreCode::InvalidFieldName, {fieldName, tableName_});
    desc.fieldNumbers.push_back(it->number);
    desc.fieldDescending.push_back(false);
  }
  return desc;
}

void TStoreTable::AddIndex(const std::string& name, const std::string& fieldNames, uint8_t options,
                           TIndexCompression compression) {
  bool primary = (options & IndexOption::Primary) != 0 || AsciiLower(TrimBlanks(name)) == "primary";
  if (table_) {
    CheckWritable();
    CheckBrowseMode();
    TIndexDesc desc =
        MakeIndexDesc(primary ? "" : name, fieldNames, options, compression, table_->Fields());
    table_->AddIndex(desc, primary);
    First();
    return;
  }
  if (TrimBlanks(tableName_).empty()) throw EDatabaseError(DatasetText::MissingTableName);
  auto table = Directory()->OpenTable(tableName_, true);
  TIndexDesc desc =
      MakeIndexDesc(primary ? "" : name, fieldNames, options, compression, table->Fields());
  table->AddIndex(desc, primary);
}

void TStoreTable::DeleteIndex(const std::string& name) {
  if (table_) {
    CheckWritable();
    CheckBrowseMode();
    table_->DeleteIndex(name);
    const std::string& active = order_->IndexName();
    if (!IsPrimaryIndexName(active) &&
        AsciiLower(TrimBlanks(active)) == AsciiLower(TrimBlanks(name))) {
      indexName_.clear();
      indexFieldNames_.clear();
      order_->SelectIndex("");
      ApplyMasterRange();
    }
    First();
    return;
  }
  if (TrimBlanks(tableName_).empty()) throw EDatabaseError(DatasetText::MissingTableName);
  Directory()->OpenTable(tableName_, true)->DeleteIndex(name);
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
  std::string value = table_->ReadBlob(image, table_->Fields()[index]);
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

// ---- Table: editing ---------------------------------------------------------------------------

void TStoreTable::Append() {
  CheckWritable();
  CheckBrowseMode();
  Fire(BeforeInsert);
  buffer_.assign(static_cast<size_t>(table_->Data().RecordSize()), 0);
  pendingBlobs_.clear();
  const auto& descs = table_->Fields();
  for (size_t i = 0; i < descs.size(); ++i) {
    const TFieldDesc& f = descs[i];
    if (f.defaultValue.empty() || f.IsAutoInc() || f.noStorage) continue;
    if (f.type == TStoreFieldType::Blob) {
      pendingBlobs_[i] = f.defaultValue;
    } else if (PutTextValue(buffer_.data() + ValueOffset(f), f, f.defaultValue)) {
      MarkFieldSet(buffer_.data(), f);
    }
  }
  slotBeforeInsert_ = slot_;
  state_ = TDataSetState::Insert;
  blobCache_.clear();
  if (OnNewRecord) OnNewRecord(*this);
  Notify(TDataEvent::StateChanged);
  Notify(TDataEvent::RecordChanged);
  Fire(AfterInsert);
}

void TStoreTable::Edit() {
  CheckWritable();
  if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert) return;
  Fire(BeforeEdit);
  bool done = RunWithErrorEvent(OnEditError, [this] {
    // Without a current record: before the first one, after the last one, or none at all.
    if (!slot_) {
      if (bof_ && !eof_) throw EStoreEngineError(StoreCode::BOF, {tableName_});
      if (eof_ && !bof_) throw EStoreEngineError(StoreCode::EOF_, {tableName_});
      throw EStoreEngineError(StoreCode::NoCurrentRecord, {tableName_});
    }
    table_->LockRecord(slot_, this);
    lockedSlot_ = slot_;
    try {
      table_->CheckUnchanged(slot_, shown_);
    } catch (...) {
      ReleaseRecordLock();
      throw;
    }
  });
  if (!done) return;
  buffer_ = shown_;
  pendingBlobs_.clear();
  state_ = TDataSetState::Edit;
  Notify(TDataEvent::StateChanged);
  Fire(AfterEdit);
}

void TStoreTable::Post() {
  CheckActive();
  if (state_ == TDataSetState::Browse) return;
  Notify(TDataEvent::UpdateRecord);
  if (BeforePost) BeforePost(*this);
  std::vector<uint8_t> image;  // the buffer stays as it was if the post fails
  int32_t slot = 0;
  const int32_t givenId = std::exchange(givenLogicalId_, 0);
  if (!RunWithErrorEvent(OnPostError, [&] {
        image = buffer_;
        if (state_ == TDataSetState::Insert)
          slot = table_->Insert(image, pendingBlobs_, givenId);
        else
          table_->Update(slot_, shown_, image, pendingBlobs_, givenId);
      }))
    return;
  if (state_ == TDataSetState::Insert) {
    state_ = TDataSetState::Browse;
    pendingBlobs_.clear();
    SetCurrent(slot);
    bof_ = eof_ = false;
  } else {
    ReleaseRecordLock();
    state_ = TDataSetState::Browse;
    pendingBlobs_.clear();
    SetCurrent(slot_);
  }
  Notify(TDataEvent::StateChanged);
  if (AfterPost) AfterPost(*this);
}

void TStoreTable::Cancel() {
  CheckActive();
  if (state_ == TDataSetState::Browse) return;
  Fire(BeforeCancel);
  bool inserting = state_ == TDataSetState::Insert;
  ReleaseRecordLock();
  state_ = TDataSetState::Browse;
  pendingBlobs_.clear();
  buffer_.clear();
  blobCache_.clear();
  if (inserting && slotBeforeInsert_ && slotBeforeInsert_ <= table_->Data().SlotCount())
    slot_ = slotBeforeInsert_;
  Notify(TDataEvent::StateChanged);
  Notify(TDataEvent::RecordChanged);
  Fire(AfterCancel);
}

void TStoreTable::Delete() {
  CheckWritable();
  if (state_ == TDataSetState::Insert) {
    Cancel();
    return;
  }
  if (state_ == TDataSetState::Edit) Cancel();
  if (!slot_) throw EStoreEngineError(StoreCode::NoCurrentRecord, {tableName_});
  Fire(BeforeDelete);
  // The record is locked inside the table's write locks and let go after them.
  if (!RunWithErrorEvent(OnDeleteError, [this] { table_->Delete(slot_, shown_, this); })) return;
  int32_t deleted = slot_;
  int32_t next = Seek(deleted, true);
  if (next) {
    SetCurrent(next);
    bof_ = eof_ = false;
    Fire(AfterDelete);
    return;
  }
  int32_t prior = Seek(deleted, false);
  if (prior) {
    SetCurrent(prior);
    bof_ = false;
  } else {
    ClearCurrent();
    bof_ = true;
  }
  eof_ = true;
  Fire(AfterDelete);
}

void TStoreTable::Refresh() {
  CheckBrowseMode();
  table_->DetectChanges();
  if (!slot_) {
    First();
    return;
  }
  std::vector<uint8_t> image;
  bool present = slot_ <= table_->Data().SlotCount();
  if (present) {
    image = table_->ReadRecord(slot_);
    present = image[0] == 0 && Accept(slot_);
  }
  if (present) {
    SetCurrent(slot_);
    return;
  }
  int32_t next = Seek(slot_, true);
  if (next) {
    SetCurrent(next);
    bof_ = eof_ = false;
  } else {
    Last();
  }
}

void TStoreTable::FlushToDisk() {
  CheckActive();
  table_->FlushToDisk();
}

// ---- Table operations -------------------------------------------------------------------------

void TStoreTable::CreateTable() {
  if (table_) throw EDatabaseError(DatasetText::OpenDataset);
  if (TrimBlanks(tableName_).empty()) throw EDatabaseError(DatasetText::MissingTableName);
  auto directory = Directory();
  TTableFiles files = directory->Files(tableName_);
  const std::string& name = tableName_;

  // Fields: names, types, sizes, texts, layout.
  if (fieldDefs_.Count() < 1 || fieldDefs_.Count() > kMaxFields)
    throw EStoreEngineError(StoreCode::FieldLimits, {name});
  std::vector<TFieldDesc> fields;
  std::set<std::string> names;
  int blobFields = 0;
  for (int i = 0; i < fieldDefs_.Count(); ++i) {
    const TFieldDef& def = fieldDefs_.Items(i);
    TFieldDesc f;
    f.number = static_cast<uint16_t>(i + 1);
    f.name = TrimBlanks(def.Name);
    if (!NameValid(f.name) || !names.insert(AsciiLower(f.name)).second)
      throw EStoreEngineError(StoreCode::DuplicateFieldName, {def.Name, name});
    TypeCode code;
    if (!CodeOf(def.DataType, code))
      throw EStoreEngineError(StoreCode::InvalidFieldDef, {f.name, name});
    f.type = code.type;
    f.subtype = code.subtype;
    if (SizedKind(def.DataType)) {
      if (def.Size < 1 || def.Size > 250)
        throw EStoreEngineError(StoreCode::InvalidFieldDef, {f.name, name});
      f.size = static_cast<uint8_t>(def.Size);
    } else if (def.DataType == TFieldType::BCD) {
      if (def.Size < 0 || def.Size > 4)
        throw EStoreEngineError(StoreCode::InvalidFieldDef, {f.name, name});
      f.decimals = static_cast<uint8_t>(def.Size);
    }
    f.required = def.Required;
    f.charCase = def.CharCase;
    f.description = def.Description;
    f.defaultValue = def.DefaultValue;
    f.minimum = def.Minimum;
    f.maximum = def.Maximum;
    for (const auto* text : {&f.description, &f.defaultValue, &f.minimum, &f.maximum})
      if (text->size() > 50) throw EStoreEngineError(StoreCode::InvalidFieldDef, {f.name, name});
    if (!FieldDefinitionValid(f))
      throw EStoreEngineError(StoreCode::InvalidValidityCheck, {f.name, name});
    if (f.type == TStoreFieldType::Blob) ++blobFields;
    fields.push_back(std::move(f));
  }
  if (blobFields > kMaxBlobFields) throw EStoreEngineError(StoreCode::BlobFieldLimits, {name});
  int recordSize = LayoutFields(fields);
  if (recordSize > kMaxRecordSize) throw EStoreEngineError(StoreCode::MaxRecordSize, {name});

  // The indexes: the primary one goes into the new index file's header, the secondary ones
  // are added to it after.
  TIndexDesc primary;
  bool hasPrimary = false;
  std::vector<TIndexDesc> secondary;
  for (int i = 0; i < indexDefs_.Count(); ++i) {
    const TIndexDef& def = indexDefs_.Items(i);
    bool isPrimary = (def.Options & IndexOption::Primary) != 0 || IsPrimaryIndexName(def.Name);
    TIndexDesc desc =
        MakeIndexDesc(isPrimary ? "" : def.Name, def.Fields, def.Options, def.Compression, fields);
    if (!isPrimary) {
      secondary.push_back(std::move(desc));
      continue;
    }
    if (hasPrimary) throw EStoreEngineError(StoreCode::PrimaryIndexExists, {name});
    hasPrimary = true;
    primary = std::move(desc);
    primary.unique = true;
  }

  const TStoreDefs& attrs = storeDefs_;
  if (attrs.BlobBlockSize < 64 || attrs.BlobBlockSize > 65535)
    throw EStoreEngineError(StoreCode::BlobFieldLimits, {name});
  if (attrs.Encrypted && (attrs.Password.empty() || attrs.Password.size() > 15))
    throw EStoreEngineError(StoreCode::InvalidPassword, {name});
  TDataHeader header;
  header.blobBlockSize = static_cast<uint32_t>(attrs.BlobBlockSize);
  header.description = attrs.Description.substr(0, 50);
  header.encrypted = attrs.Encrypted;
  header.password = attrs.Encrypted ? attrs.Password : std::string();
  header.userMajor = static_cast<int16_t>(attrs.UserMajorVersion);
  header.userMinor = static_cast<int16_t>(attrs.UserMinorVersion);
  header.recordSize = static_cast<uint16_t>(recordSize);
  header.blobFieldCount = static_cast<int16_t>(blobFields);
  header.languageId = session_.Engine().languageId;
  header.sortId = session_.Engine().sortId;
  // A table is only made with a language the store can order and upper-case by.
  if (header.languageId != 0 && !LanguageIsValid(static_cast<uint16_t>(header.languageId),
                                                 static_cast<uint16_t>(header.sortId)))
    throw EStoreEngineError(StoreCode::LanguageDriver, {name});

  TFileList& list = TFileList::Instance();
  bool memory = files.inMemory;
  if (memory ? list.MemoryFileExists(files.data) : FileExists(files.data))
    throw EStoreEngineError(StoreCode::TableExists, {name});
  // Leftover index or BLOB files of a table whose data file is gone are replaced.
  std::vector<std::shared_ptr<TAbstractFile>> created;
  std::vector<std::string> createdPaths;
  auto make = [&](const std::string& path) {
    std::shared_ptr<TAbstractFile> file;
    if (memory) {
      file = list.CreateMemory(path, false, name);
    } else {
      if (FileExists(path)) DeleteDiskFile(path, name);
      file = list.CreateDisk(path, true, name);
      createdPaths.push_back(path);
    }
    created.push_back(file);
    return file;
  };
  // A journal without its table belongs to none.
  if (!memory && FileExists(files.journal)) DeleteDiskFile(files.journal, name);
  try {
    auto data = make(files.data);
    TDataFile::Create(*data, header, fields, name);
    if (blobFields > 0) TBlobFile::Create(*make(files.blob), header.encrypted, name);
    // The index file comes last: its header with the primary index.
    TIndexFileOptions options;
    options.tableName = name;
    options.languageId = static_cast<uint16_t>(header.languageId);
    options.sortId = static_cast<uint16_t>(header.sortId);
    if (header.encrypted)
      options.cipher = [](uint8_t* bytes, size_t size) { ApplyCipher(bytes, size, kBodyKey); };
    auto indexFile = make(files.index);
    CreateIndexFile(*indexFile, fields, hasPrimary ? &primary : nullptr, options);
    if (!secondary.empty()) {
      TIndexFile index(*indexFile, fields, options);
      for (const TIndexDesc& desc : secondary) index.AddSecondaryIndex(desc, nullptr);
      index.WriteChanges(true);
    }
    if (session_.Engine().forceBufferFlush)
      for (auto& file : created) file->Flush();
  } catch (...) {
    created.clear();
    for (const auto& path : createdPaths) ::unlink(path.c_str());
    throw;
  }
  if (memory) {
    // Memory tables live while someone holds them: the folder keeps them until the first open.
    directory->HoldMemoryFiles(std::move(created));
  }
}

void TStoreTable::ReadHeaderClosed(TDataHeader& header) {
  if (TrimBlanks(tableName_).empty()) throw EDatabaseError(DatasetText::MissingTableName);
  TTableFiles files = Directory()->Files(tableName_);
  TFileList& list = TFileList::Instance();
  auto file = files.inMemory ? list.OpenMemory(files.data, false, tableName_)
                             : list.OpenDisk(files.data, false, tableName_);
  uint8_t raw[kDataHeaderSize];
  if (file->ReadAt(0, raw, kDataHeaderSize) != kDataHeaderSize)
    throw EStoreEngineError(StoreCode::ReadError, {tableName_});
  header = DecodeDataHeader(raw);
  if (header.version != kFormatVersion)
    throw EStoreEngineError(StoreCode::WrongVersion, {tableName_});
}

int TStoreTable::UserMajorVersion() {
  TDataHeader header;
  if (table_)
    header = table_->Data().Header();
  else
    ReadHeaderClosed(header);
  return header.userMajor;
}

int TStoreTable::UserMinorVersion() {
  TDataHeader header;
  if (table_)
    header = table_->Data().Header();
  else
    ReadHeaderClosed(header);
  return header.userMinor;
}

bool TStoreTable::Exists() {
  if (TrimBlanks(tableName_).empty()) return false;
  TTableFiles files = Directory()->Files(tableName_);
  return files.inMemory ? TFileList::Instance().MemoryFileExists(files.data)
                        : FileExists(files.data);
}

void TStoreTable::EmptyTable() {
  if (table_) {
    CheckWritable();
    if (state_ != TDataSetState::Browse) Cancel();
    table_->Empty();
    First();
    return;
  }
  Open();
  try {
    CheckWritable();
    table_->Empty();
  } catch (...) {
    Close();
    throw;
  }
  Close();
}

void TStoreTable::DeleteTable() {
  if (table_) throw EDatabaseError(DatasetText::OpenDataset);
  if (TrimBlanks(tableName_).empty()) throw EDatabaseError(DatasetText::MissingTableName);
  auto directory = Directory();
  if (directory->TableIsOpen(tableName_))
    throw EStoreEngineError(StoreCode::TableInUse, {tableName_});
  TTableFiles files = directory->Files(tableName_);
  if (files.inMemory) {
    if (!TFileList::Instance().MemoryFileExists(files.data))
      throw EStoreEngineError(StoreCode::InvalidPath, {tableName_});
    directory->ReleaseMemoryFiles(tableName_);
    return;
  }
  if (!FileExists(files.data)) throw EStoreEngineError(StoreCode::InvalidPath, {tableName_});
  DeleteDiskFile(files.data, tableName_);
  if (FileExists(files.index)) DeleteDiskFile(files.index, tableName_);
  if (FileExists(files.blob)) DeleteDiskFile(files.blob, tableName_);
  if (FileExists(files.journal)) DeleteDiskFile(files.journal, tableName_);
}

void TStoreTable::RenameTable(const std::string& newName) {
  if (table_) throw EDatabaseError(DatasetText::OpenDataset);
  if (TrimBlanks(tableName_).empty() || TrimBlanks(newName).empty())
    throw EDatabaseError(DatasetText::MissingTableName);
  auto directory = Directory();
  if (directory->TableIsOpen(tableName_))
    throw EStoreEngineError(StoreCode::TableInUse, {tableName_});
  TTableFiles from = directory->Files(tableName_);
  TTableFiles to = directory->Files(newName);
  if (from.inMemory)
    throw EStoreEngineError(StoreCode::InvalidPath, {tableName_});  // memory tables live open
  if (!FileExists(from.data)) throw EStoreEngineError(StoreCode::InvalidPath, {tableName_});
  if (FileExists(to.data)) throw EStoreEngineError(StoreCode::TableExists, {newName});
  RenameDiskFile(from.data, to.data, tableName_);
  if (FileExists(from.index)) RenameDiskFile(from.index, to.index, tableName_);
  if (FileExists(from.blob)) RenameDiskFile(from.blob, to.blob, tableName_);
  // The journal goes with its table (one left by a killed writer is resolved at the next open).
  if (FileExists(to.journal)) DeleteDiskFile(to.journal, newName);
  if (FileExists(from.journal)) RenameDiskFile(from.journal, to.journal, tableName_);
  tableName_ = newName;
}

// ---- Kinds and stored types, for the restructure lists --------------------------------------

bool StoreTypeOfKind(TFieldType kind, TStoreFieldType& type, uint8_t& subtype) {
  TypeCode code;
  if (!CodeOf(kind, code)) return false;
  type = code.type;
  subtype = code.subtype;
  return true;
}

TFieldType KindOfStoreField(const TFieldDesc& field) {
  return KindOf(field);
}

}  // namespace quellor
