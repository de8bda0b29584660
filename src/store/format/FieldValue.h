// Field values inside a record image: null flags, the stored encodings of every field type,
// their texts, and the order of two values (for minimum and maximum checks).
//
// A field's value bytes follow its null-flag byte at record offset `offset` (a TFieldDesc's
// derived layout); an auto-increment field has no flag and no bytes of its own: its value is
// the record's logical id at record offset 5. Encodings (all little-endian):
//   string      characters, then zero bytes up to size + 1
//   date        int32 day number, 0001-01-01 being day 1
//   BLOB        int32 offset of the first block in the .BLB (0: no blocks), int32 BLOB id
//   boolean     int16, 1 true, 0 false
//   SMALLINT    int16;  INTEGER int32;  WORD uint16;  32-bit unsigned uint32
//   FLOAT       float64 (money too)
//   BCD         int64 holding the value times 10,000, rounded to the field's decimals
//   bytes, variable bytes, 10-byte float: raw
//   time        int32 milliseconds since midnight
//   TIMESTAMP   float64 milliseconds, day 1 beginning at 86,400,000
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "store/api/StoreTypes.h"

namespace quellor {

// Offset in the record image of a field's value bytes.
inline int ValueOffset(const TFieldDesc& f) {
  return f.IsAutoInc() ? 5 : f.offset + 1;
}
// Width of a field's value as the front end sees it (auto-increment: the 4-byte id).
inline int ValueWidth(const TFieldDesc& f) {
  return f.IsAutoInc() ? 4 : f.width;
}

bool FieldIsNull(const uint8_t* record, const TFieldDesc& f);
// Sets the field to NULL: flag 0 and zero bytes.
void ClearField(uint8_t* record, const TFieldDesc& f);
// Marks the field as holding a value (after its bytes were written).
void MarkFieldSet(uint8_t* record, const TFieldDesc& f);

// Whether the field type holds whole numbers the front end reads as integers.
bool IsIntegerType(const TFieldDesc& f);
// Integer value of SMALLINT, INTEGER, WORD, 32-bit unsigned, boolean (1/0), date (day number)
// and time (milliseconds) fields.
int64_t GetIntegerValue(const uint8_t* value, const TFieldDesc& f);
// Writes an integer into those types; false when it is out of the type's range.
bool PutIntegerValue(uint8_t* value, const TFieldDesc& f, int64_t v);
// Float value of FLOAT, BCD and TIMESTAMP (milliseconds) fields.
double GetFloatValue(const uint8_t* value, const TFieldDesc& f);
// Writes a float into those types; false when it cannot be held (not finite, out of range).
bool PutFloatValue(uint8_t* value, const TFieldDesc& f, double v);

// The value as text: strings as they are, numbers in decimal ("." as separator, shortest
// round-trip form for floats), booleans "True"/"False", dates "yyyy-mm-dd", times "hh:nn:ss",
// timestamps "yyyy-mm-dd hh:nn:ss", raw bytes as they are.
std::string GetTextValue(const uint8_t* value, const TFieldDesc& f);
// Parses text into the value bytes (the constant forms of filter expressions: numbers with
// ".", TRUE/FALSE, "yyyy-mm-dd", "hh:nn[:ss[.zzz]]", "yyyy-mm-dd hh:nn[:ss]"). Strings are cut
// to the field size (never inside a UTF-8 sequence) and cased by the field's character case.
// Returns false when the text does not convert. Does not touch the null flag.
bool PutTextValue(uint8_t* value, const TFieldDesc& f, const std::string& text);
// The formats a person writes dates and times in: the session's short date format (only the
// order of its y, m and d letters counts) and its date and time separators.
struct TTextFormats {
  std::string shortDateFormat = "yyyy-mm-dd";
  char dateSeparator = '-';
  char timeSeparator = ':';
};

// Sets the value bytes from a text that a person typed or a file holds: the conversion behind
// TStoreField::SetAsString, which the CSV import uses for every field. `text` is not empty (an
// empty text clears the field instead). Returns the empty text on success, otherwise the error
// message, and then leaves `value` undefined:
//   boolean     the text, ignoring case, equals the beginning of "False" of its length, else of
//               "True" ("F", "fa", "TRUE", "tru"); anything else, also "Yes", "1" and texts longer
//               than the word: "'%s' is not a valid boolean value for field '%s'"
//   integers    decimal, or hexadecimal after "$", "0x" or "x" (either case), optionally signed,
//               blanks around allowed; else "'%s' is not a valid integer value for field '%s'";
//               outside the type's range "%g is not a valid value for field '%s'. The allowed
//               range is %g to %g" (the number, the name, the bounds; %g with 15 digits)
//   TIMESTAMP   a date in the short date format or as yyyy-mm-dd, optionally followed by blanks
//               and a time (h:nn[:ss[.zzz]], optionally AM or PM), or a time alone, which falls
//               on 1899-12-30; else "'%s' is not a valid date and time"
//   others      as PutTextValue; else "'%s' is not a valid <kind> value for field '%s'"
std::string PutUserText(uint8_t* value, const TFieldDesc& f, const std::string& text,
                        const TTextFormats& formats);
// The range of an integer field type, and the message for a value outside it.
void IntegerRange(const TFieldDesc& f, int64_t& lowest, int64_t& highest);
std::string RangeErrorText(double v, const TFieldDesc& f);

// Whether a default, minimum or maximum text converts to the field's type (empty always does).
bool ConstantConverts(const TFieldDesc& f, const std::string& text);

// Order of two values of the field: negative, 0 or positive. Strings compare as bytes up to
// their end, numbers by value.
int CompareValues(const uint8_t* a, const uint8_t* b, const TFieldDesc& f);

// The longest prefix of `text` of at most `maxBytes` bytes that does not end inside a UTF-8
// sequence (when the code page is UTF-8) and stops at a zero byte.
std::string CutText(const std::string& text, size_t maxBytes);

}  // namespace quellor
