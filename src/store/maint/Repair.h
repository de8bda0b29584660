// Verifying and repairing a closed table: one routine reads the table's three files on its own
// (without the checks of opening, which a damaged table would fail), reports each finding as a
// log line and, when repairing, writes a mended table in their place.
//
// The checks, in order: the data file header and its field descriptors; the index file header
// and its index descriptors; every record slot (logical id, BLOB references and chains); the
// count of records and the last logical id given out. A repair keeps every record in its slot
// with its logical id, drops what cannot be read (a BLOB value whose chain is broken keeps its
// data up to the first bad link, one whose length disagrees with its blocks takes the sum of
// their used counts, one whose first block belongs to another value becomes empty), builds every
// index anew from the records (a record whose key collides in a unique index is deleted and
// logged; when the index file header lost every definition, the definitions are found again by
// matching the keys of each tree's first leaf against their records), and replaces the files only
// once the mended table is complete: a repair that fails part way leaves the damaged files as they
// were.
#pragma once

#include <functional>
#include <string>

namespace quellor {

class TDataDirectory;

struct TRepairEvents {
  std::function<void(const std::string& line)> log;
  std::function<void(int record, int percent)> progress;
};

// Verify (`repair` false) or repair the table. The table is opened exclusively for the time
// (11013 while another program has it open). Returns whether the table was sound (verify) or
// everything found could be mended (repair).
bool CheckTable(TDataDirectory& directory, const std::string& tableName, bool repair,
                TRepairEvents& events);

}  // namespace quellor
