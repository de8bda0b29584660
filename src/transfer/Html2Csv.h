// The web and FTP addresses of a saved web page as new sites: the logic of the "Html to Csv"
// window (TfrmHtml2Csv in fHtml2Csv.h).
//
// "Convert" takes the first "http:" address of every line of the file (or, in a line without
// one, the first "ftp:" address), turns each into a site line that marks the site as links-only,
// writes these lines to a temporary CSV file, imports it with ImportSites (which reports the
// count or the error) and deletes the file again. The search is plain text per line, case-
// sensitive; it does not parse HTML. The temporary file is a new, uniquely named file in the
// temporary folder, so no file of the person's is ever overwritten or deleted.
#pragma once

#include <optional>
#include <string>

#include "transfer/ImportSites.h"

namespace quellor {

class Ui;

// What follows the link in its site line: LinksOnly True; Blessed, USA, Killed and Dead False;
// IPChanged and every other field empty.
inline constexpr const char* kLinkLineTail = ",,,,,,,,TRUE,,,,,,,,FALSE,FALSE,,FALSE,FALSE";

// The site line of the first link of `line` (from "http:", else from "ftp:", up to the first
// '<', '"', blank or '\'' or the end of the line) followed by kLinkLineTail; the empty text when
// the line holds neither. A link holding a comma is enclosed in double quotes, so that it stays
// one field.
std::string LinkToCsvLine(const std::string& line);

// The window's logic.
class THtml2Csv {
 public:
  THtml2Csv(const TSiteTarget& target, Ui& ui) : target_(target), ui_(ui) {}

  // "Browse...": the open-file dialog on the program folder (Html files, All files). Returns the
  // text for the file name box: the chosen file, or after a cancel the file chosen last (empty
  // when there was none).
  std::string Browse();

  // "Convert" for the name in the file name box. An empty name or a file that cannot be read
  // raises "Cannot open file <name>", a temporary file that cannot be written "Cannot create
  // file <name>"; nothing is imported then. The import's own errors are reported by
  // ImportSites; the temporary file is deleted in every case.
  TImportResult Convert(const std::string& fileName);

 private:
  TSiteTarget target_;
  Ui& ui_;
  std::string dialogFile_;  // the dialog's file name, kept from one Browse to the next
};

}  // namespace quellor
