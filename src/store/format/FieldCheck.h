// The check of a table's field descriptors, one for every place that takes definitions in:
// creating a table and restructuring it refuse definitions that break a rule (strict), verify
// and repair report every broken rule of a stored table and mend what can be mended (lenient).
//
// The rules (DataFile.h draws the descriptor), each with the engine code the strict check
// raises and what the lenient check does:
//
//   rule                                                    strict   lenient
//   name: 1 to 30 characters, no blank at either end, no    10038    blank or bad first
//     control character, first character an ASCII letter,            character: renamed
//     "_" or a character from 129 to 254; unique without             "Repaired_Fld" + number;
//     regard to case                                                 too long: cut to 30;
//                                                                    twice: renamed
//   type code 1 to 15 (and a kind the front end can store)  10000    reported; nothing else is
//                                                                    checked, the records
//                                                                    cannot be laid out
//   field number unique; 0 in a definition is a new field   10000    renumbered after the
//     and gets the next number after the highest                     highest
//   size 1 to 250 for string, bytes and variable bytes,     10000    taken from the stored
//     0 for the other types                                          width, or 0
//   decimals 0 to 4 for BCD, 0 for the other types          10000    4, or 0
//   description of at most 50 characters                    10000    cut to 50
//   default, minimum and maximum of at most 50 characters   10006    cleared
//     that convert to the field's type
//   character case 0, 1 or 2                                10006    unchanged (0)
//   at most 64 BLOB fields                                  9498     the caller's (a header
//   record size at most 65,535                              9477     fault)
//   the stored offsets are those the layout gives           (laid    reported
//                                                           out)
//
// The strict check goes through the names of all fields first, then field by field through the
// other rules in the order above, and raises the first fault it meets, naming the field (its
// name as given for a name fault) and the table. The lenient check first looks for unknown
// types, then field by field through number, name, size, decimals, character case,
// description, default, minimum and maximum.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/api/StoreTypes.h"

namespace quellor {

// A field as a definition gives it (create, restructure): the descriptor's name, type,
// subtype, number, flags and texts, and its size as given, which becomes the size of a string,
// bytes or variable-bytes field and the decimals of a BCD field.
struct TFieldPlan {
  TFieldDesc desc;    // number 0: a new field
  bool known = true;  // false: a kind the front end has no type code for
  int size = 0;
};

// A rule a stored descriptor breaks (lenient check), in the order they are looked for.
enum class TFieldFault {
  UnknownType,     // the field's type code is not 1 to 15
  Number,          // 0, or the number of a field before it
  BlankName,       // reported with the number the field has then
  LongName,        // more than 30 characters
  FirstCharacter,  // not a valid name
  DuplicateName,   // the name of a field before it
  Size,
  Decimals,
  Default,
  Minimum,
  Maximum,
  Offset,  // the stored record offset is not the one the layout gives
};

// Told of each fault the lenient check finds: the field as it is named when the fault is found
// (before the mend, except that a renumbered field already carries its new number).
using TFieldFaultReport = std::function<void(TFieldFault fault, const TFieldDesc& field)>;

struct TCheckedFields {
  std::vector<TFieldDesc> fields;  // numbered, mended (lenient) and laid out
  int recordSize = 0;              // may exceed 65,535 in a lenient check
  int blobFields = 0;
  bool laidOut = true;  // false: a lenient check met unknown types and stopped
};

// Strict: checks a definition's fields and lays them out. `highestNumber` is the highest field
// number already in use (a restructure's old fields; 0 for a new table): new fields are
// numbered after it and after every number the plans give. Raises 9492 for no fields or more
// than 1024, and the codes of the table at the top, before anything is changed.
TCheckedFields CheckFieldPlans(const std::vector<TFieldPlan>& plans, uint16_t highestNumber,
                               const std::string& tableName);

// Lenient: checks a stored table's descriptors as decoded, mends them and lays them out,
// reporting every fault. `fields` must not be empty.
TCheckedFields MendFieldDescs(std::vector<TFieldDesc> fields, const TFieldFaultReport& report);

}  // namespace quellor
