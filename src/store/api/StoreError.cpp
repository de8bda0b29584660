#include "store/api/StoreError.h"

#include <algorithm>
#include <iterator>

namespace quellor {
namespace {

struct CodeText {
  uint16_t code;
  const char* text;
};

// Sorted by code.
constexpr CodeText kTexts[] = {
    {8705, "Beginning of file encountered in table '%s'"},
    {8706, "End of file encountered in table '%s'"},
    {8708, "Record has been changed or deleted by another user, session, or table cursor in table '%s'"},
    {8709, "No current record in table '%s'"},
    {8710, "Record not found in table '%s'"},
    {8711, "End of blob data in table '%s' reached prematurely"},
    {8961, "Header information corrupt in table '%s'"},
    {8962, "Data record buffers corrupt in table '%s'"},
    {8963, "BLOB block buffers corrupt in table '%s'"},
    {8965, "Index page buffers corrupt in table '%s'"},
    {9217, "Error reading from table '%s'"},
    {9218, "Error writing to table '%s'"},
    {9220, "Cannot delete table '%s'"},
    {9221, "Error accessing header information for table '%s'"},
    {9477, "Maximum record size exceeded in table '%s'"},
    {9479, "The table '%s' is full and cannot contain any more data"},
    {9482, "Too many filters defined for table '%s'"},
    {9487, "Maximum or minimum limits on number of indexes or fields in an index exceeded in table '%s'"},
    {9492, "Maximum or minimum limits on number of fields, auto-increment field value, or field size exceeded in table '%s'"},
    {9494, "Too many blobs opened in table '%s'"},
    {9498, "Too many blob fields or invalid blob block size specified for table '%s'"},
    {9729, "Duplicate key found in index '%s' of table '%s'"},
    {9730, "The value for the field '%s' in table '%s' is below the minimum allowable value"},
    {9731, "The value for the field '%s' in table '%s' is above the maximum allowable value"},
    {9732, "A value must be provided for the field '%s' in table '%s'"},
    {9985, "Invalid field number or name '%s' specified for table '%s'"},
    {9993, "A primary index is already defined for table '%s' and cannot be added again"},
    {9998, "Invalid blob offset into table '%s' specified"},
    {10000, "Invalid field definition specified for the field '%s' in table '%s'"},
    {10006, "Invalid default, min or max validity check, or expression specified for '%s' in table '%s'"},
    {10010, "The secondary index name is missing or not specified for table '%s'"},
    {10015, "Password provided for table '%s' is invalid"},
    {10022, "Invalid secondary index name '%s' specified for table '%s'"},
    {10023, "Invalid field number '%s' specified in index '%s' for table '%s'"},
    {10026, "Invalid key size specified in index '%s' for table '%s'"},
    {10027, "The secondary index '%s' already exists for table '%s'"},
    {10029, "Invalid blob length in table '%s'"},
    {10030, "Invalid blob handle for table '%s' specified"},
    {10031, "table '%s' is already in use"},
    {10038, "Invalid or duplicate field name '%s' specified for table '%s'"},
    {10050, "Invalid filter handle specified for table '%s'"},
    {10051, "Filter error for table '%s' - %s"},
    {10055, "The primary index cannot be removed from table '%s'"},
    {10241, "The table '%s' is already locked by another user"},
    {10242, "Cannot unlock table or record in table '%s'"},
    {10249, "General lock failure with table '%s'"},
    {10253, "table '%s' must be opened exclusively"},
    {10258, "Record in table '%s' is in use by another user"},
    {10498, "Insufficient rights to table '%s', a password is required"},
    {10753, "Invalid blob field '%s' specified for table '%s'"},
    {10758, "Engine not initialized"},
    {11010, "Invalid path or file name for table '%s'"},
    {11012, "Too many files open while attempting to open table '%s'"},
    {11013, "Access denied to table '%s'"},
    {11014, "Invalid file handle for table '%s'"},
    {11016, "There is insufficient operating system memory available for the current operation"},
    {11017, "Invalid length for in-memory table '%s'"},
    {11023, "Access denied to logical operating system device for table '%s'"},
    {11025, "table '%s' has been moved"},
    {11047, "An unknown operating system error occurred with table '%s'"},
    {11949, "SQL error - %s"},
    {12035, "table '%s' is not the correct version"},
    {12292, "Invalid field type specified for index '%s' in table '%s'"},
    {13060, "The table '%s' already exists"},
    {15878, "The language driver for table '%s' is not available or installed"},
};

std::string Fill(const char* format, std::initializer_list<std::string> args) {
  std::string out;
  auto next = args.begin();
  for (const char* p = format; *p; ++p) {
    if (p[0] == '%' && (p[1] == 's' || p[1] == 'S')) {
      if (next != args.end()) out += *next++;
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

}  // namespace

const char* StoreErrorFormat(uint16_t code) {
  auto it = std::lower_bound(std::begin(kTexts), std::end(kTexts), code,
                             [](const CodeText& t, uint16_t c) { return t.code < c; });
  return it != std::end(kTexts) && it->code == code ? it->text : nullptr;
}

std::string StoreErrorMessage(uint16_t code, std::initializer_list<std::string> args) {
  const char* format = StoreErrorFormat(code);
  std::string text = Fill(format ? format : "Unknown error occurred with table '%S'", args);
  if (text.size() > 254) text.resize(254);
  return text;
}

static std::string EngineText(const std::vector<TStoreError>& errors) {
  if (errors.empty()) return "Store Engine Error";
  return "Store Engine Error # " + std::to_string(errors[0].ErrorCode) + " " + errors[0].Message;
}

EStoreEngineError::EStoreEngineError(uint16_t code, std::initializer_list<std::string> args)
    : EStoreEngineError(std::vector<TStoreError>{{code, StoreErrorMessage(code, args)}}) {}

EStoreEngineError::EStoreEngineError(std::vector<TStoreError> errors)
    : std::runtime_error(EngineText(errors)), errors_(std::move(errors)) {}

namespace DatasetText {
std::string FieldNotFound(const std::string& f) { return "Field '" + f + "' not found"; }
std::string DuplicateFieldName(const std::string& f) { return "Duplicate field name '" + f + "'"; }
std::string DuplicateIndexName(const std::string& i) { return "Duplicate index name '" + i + "'"; }
std::string TransactionActive(const std::string& d) {
  return "Database " + d + " already has an active transaction.";
}
std::string NoTransaction(const std::string& d) {
  return "Database " + d + " has no active transaction.";
}
}  // namespace DatasetText

}  // namespace quellor
