// Errors of the table store.
//
// Two kinds of failure leave the store:
//  - EStoreEngineError: an engine failure with one or more TStoreError items, each a numeric
//    engine code and its message. The exception's text is
//    "Store Engine Error # " + code of item 0 + " " + message of item 0.
//  - EDatabaseError: a check of the dataset layer, carrying only a text
//    ("Cannot perform this operation on a closed dataset", "Field 'x' not found", ...).
// Both derive from std::runtime_error, whose what() is the text shown to the person.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

namespace quellor {

// Engine error codes the rest of the program names.
namespace StoreCode {
enum : uint16_t {
  BOF = 8705,
  EOF_ = 8706,
  RecordChanged = 8708,
  NoCurrentRecord = 8709,
  RecordNotFound = 8710,
  BlobEndPremature = 8711,
  HeaderCorrupt = 8961,
  RecordsCorrupt = 8962,
  BlobBlocksCorrupt = 8963,
  IndexPagesCorrupt = 8965,
  ReadError = 9217,
  WriteError = 9218,
  CannotDeleteTable = 9220,
  HeaderAccessError = 9221,
  MaxRecordSize = 9477,
  TableFull = 9479,
  TooManyFilters = 9482,
  IndexLimits = 9487,
  FieldLimits = 9492,
  TooManyBlobs = 9494,
  BlobFieldLimits = 9498,
  DuplicateKey = 9729,
  BelowMinimum = 9730,
  AboveMaximum = 9731,
  RequiredValue = 9732,
  InvalidFieldName = 9985,
  PrimaryIndexExists = 9993,
  InvalidBlobOffset = 9998,
  InvalidFieldDef = 10000,
  InvalidValidityCheck = 10006,
  SecondaryIndexNameMissing = 10010,
  InvalidPassword = 10015,
  InvalidSecondaryIndexName = 10022,
  InvalidIndexFieldNumber = 10023,
  InvalidKeySize = 10026,
  SecondaryIndexExists = 10027,
  InvalidBlobLength = 10029,
  InvalidBlobHandle = 10030,
  TableInUse = 10031,
  DuplicateFieldName = 10038,
  InvalidFilterHandle = 10050,
  FilterError = 10051,
  PrimaryIndexRemove = 10055,
  TableLocked = 10241,
  CannotUnlock = 10242,
  GeneralLockFailure = 10249,
  MustBeExclusive = 10253,
  RecordLocked = 10258,
  PasswordRequired = 10498,
  InvalidBlobField = 10753,
  EngineNotInitialized = 10758,
  InvalidPath = 11010,
  TooManyFiles = 11012,
  AccessDenied = 11013,
  InvalidFileHandle = 11014,
  OutOfMemory = 11016,
  InvalidMemoryLength = 11017,
  InvalidDevice = 11023,
  TableMoved = 11025,
  UnknownOsError = 11047,
  SqlError = 11949,
  WrongVersion = 12035,
  InvalidIndexFieldType = 12292,
  TableExists = 13060,
  LanguageDriver = 15878,
};
}  // namespace StoreCode

// One item of an engine error: the code and its finished message.
struct TStoreError {
  uint16_t ErrorCode = 0;
  std::string Message;
};

class EStoreEngineError : public std::runtime_error {
 public:
  // Builds the message from the code's format text, filling each "%s" with the next argument
  // (for most codes the table name; see StoreErrorFormat). A code without a format text gives
  // "Unknown error occurred with table '<first argument>'". The item's message is cut to 254
  // characters.
  EStoreEngineError(uint16_t code, std::initializer_list<std::string> args);
  EStoreEngineError(std::vector<TStoreError> errors);

  uint16_t ErrorCode() const { return errors_.empty() ? 0 : errors_[0].ErrorCode; }
  const std::vector<TStoreError>& Errors() const { return errors_; }
  int ErrorCount() const { return static_cast<int>(errors_.size()); }

 private:
  std::vector<TStoreError> errors_;
};

class EDatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The format text of an engine code, or nullptr for a code that has none.
const char* StoreErrorFormat(uint16_t code);

// The finished item message for a code and its arguments (cut to 254 characters).
std::string StoreErrorMessage(uint16_t code, std::initializer_list<std::string> args);

// Dataset-level texts.
namespace DatasetText {
inline constexpr const char* ClosedDataset = "Cannot perform this operation on a closed dataset";
inline constexpr const char* OpenDataset = "Cannot perform this operation on an open dataset";
inline constexpr const char* NotEditing = "Dataset not in edit or insert mode";
inline constexpr const char* ReadOnly = "Cannot modify a read-only dataset";
inline constexpr const char* MissingTableName = "Missing table name.";
inline constexpr const char* TableHandle = "Error creating table handle.";
inline constexpr const char* FieldNameMissing = "Field name missing";
inline constexpr const char* InvalidFieldSize = "Invalid field size";
std::string FieldNotFound(const std::string& field);           // "Field '%s' not found"
std::string DuplicateFieldName(const std::string& field);      // "Duplicate field name '%s'"
std::string DuplicateIndexName(const std::string& index);      // "Duplicate index name '%s'"
std::string TransactionActive(const std::string& database);    // "Database %s already has ..."
std::string NoTransaction(const std::string& database);        // "Database %s has no ..."
}  // namespace DatasetText

}  // namespace quellor
