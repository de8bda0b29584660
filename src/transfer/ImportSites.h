// The CSV site import: "&Import CSV file" and the routine that imports a file of site lines
// into the site table, also used by the "Html to Csv" conversion.
//
// ImportSites reads the whole file (CsvRecords.h), then, with the site table's controls
// detached and its filter off (so the duplicate test sees every site), adds the sites of the file
// in one transaction of the database: a line whose Url (field 0) the primary index already holds
// is skipped, every other line is appended with each field converted from its text and posted,
// so a Url twice in one file is imported once. Any error (a value that does not convert, a post
// or the commit failing) rolls the whole file back, shows its message and reports 0 sites. A
// file of more than a few thousand lines shows a progress window whose Cancel rolls the whole
// file back as well. At the end the filter and controls are restored and "<n> sites imported"
// is shown.
#pragma once

#include <cstddef>
#include <string>

namespace quellor {

class TStoreDatabase;
class TStoreTable;
class Ui;

// Where sites are imported: the database that runs the transaction and its open site table.
struct TSiteTarget {
  TStoreDatabase& db;
  TStoreTable& sites;
};

// Files of more records than this show the progress window.
inline constexpr int kImportProgressThreshold = 2000;

// The most site lines one import takes. The transaction keeps every new site in memory until
// it commits (about 2 KB a site), so a larger file is refused before anything changes, with a
// message that asks for smaller files.
inline constexpr size_t kMaxImportLines = 500000;

// What became of one import.
enum class TImportOutcome { Missing, Imported, RolledBack, Cancelled };
struct TImportResult {
  TImportOutcome outcome = TImportOutcome::Missing;
  int imported = 0;  // sites that stay in the table
};

// Imports the file; see above. A missing file shows "<name> does not exist." and does nothing
// else. A file that cannot be read or is not text raises "Cannot open file <name>" (or the
// not-a-text-file error) for the standard error box, with the table as it was.
// A file of more than `maxLines` site lines raises "<name> holds <n> site lines; at most <max>
// are imported at once. Split it into smaller files; no site was imported".
TImportResult ImportSites(const TSiteTarget& target, Ui& ui, const std::string& fileName,
                          size_t maxLines = kMaxImportLines);

// "&Import CSV file": the open-file dialog on the program folder (default extension "*.CSV",
// filters CSV, Text and All files), then ImportSites with the chosen file. Nothing happens when
// the person cancels.
void ImportCSVfile1Click(const TSiteTarget& target, Ui& ui);

}  // namespace quellor
