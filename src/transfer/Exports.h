// The site list exports of the File menu: the public killed-sites report ("&Export killed
// sites"), the live-sites list and the report handed to the HTML converter ("Export to HTML"),
// and whatever the Detail grid shows as comma-separated text ("E&xport to CSV").
//
// The counts and lists are read with SQL through the data module's one query object qry1, so
// they cover the whole site table, never only the current view; each export leaves qry1 closed.
//
// Files written (8-bit text in the system code page, every line ending in CR LF, the last one
// too; an existing file is replaced in one step, so a failed write leaves the old file whole):
//
//   killedsites.txt (KilledSiteFolder + "killedsites.txt"; the folder is glued on as it stands,
//   so it should end with "/"):
//     Last updated: <today in the short date format>
//     <empty>
//     Killed sites starting as of 2001-07-20
//     <empty>
//     The following <n> sites were listed in the Ostrel Quellor database.
//     Due to the actions of the Ostrel, ISPs and/or others they are now dead.
//     There are <m> sites left in the database.
//     <empty>
//     <the Url of every killed site, one a line, in Url order>
//   n counts the killed sites (with DeadOnly only those that are also dead), m the sites whose
//   Killed is not True (empty Killed included).
//
//   cracksites.txt (in the killed-sites folder too, beside the report): the Url of every site
//   whose Killed is not True, one a line, in Url order.
//
// The killed-sites folder is the person's documents folder unless the Options say otherwise
// (Config.h); the exports never write into the folder the program was started from, and each
// says where it wrote.
//
// Replacing files: the reports above are the program's own files, written anew by each export
// without a question (the message after the export names them). The CSV export's file is named
// by the person in the save dialog, which itself asks before replacing an existing file; the
// export asks again only when the name gets the ".CSV" extension added after the dialog, since
// that is another file the dialog did not ask about (ReplaceQuestion, Yes/No, No the default).
//
//   CSV export (the file the person chooses): one line per record of the dataset, no header;
//   every field in the dataset's order as its text form (FieldText) inside double quotes, inner
//   double quotes doubled, joined by commas. A value holding line breaks keeps them inside its
//   quotes. Written from the site table this is the layout the CSV import reads back.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "data/FieldText.h"  // FormatShortDate

namespace quellor {

class TStoreField;
class TStoreQuery;
class TStoreSession;
class TStoreTable;
class Ui;

// How dates, times and numbers are written: the person's short date format ("yyyy-mm-dd",
// "dd.mm.yyyy", "m/d/yy": y, m and d runs, anything else literal), the time separator of the
// long time format hh:nn:ss, and the decimal separator.
struct TExportFormats {
  std::string shortDate = "yyyy-mm-dd";
  char timeSeparator = ':';
  char decimalSeparator = '.';
};

// The session's formats: the same ones the CSV import and the filters read dates and numbers
// with, so an exported file imports back.
TExportFormats SessionFormats(TStoreSession& session);

// The text form of a field's value: text as stored; booleans "True"/"False"; date-times as
// short date, a blank and hh:nn:ss (the time left out at exactly midnight); dates alone; times
// as hh:nn:ss; whole numbers in decimal; other numbers with the decimal separator; a BLOB as its
// stored bytes; NULL of any type as empty text.
std::string FieldText(const TStoreField& field, const TExportFormats& formats);

// "<file> already exists.\nDo you want to replace it?"
std::string ReplaceQuestion(const std::string& fileName);

// One CSV line (without its line end) of the dataset's current record.
std::string CsvExportLine(TStoreTable& dataSet, const TExportFormats& formats);

// Writes lines, each ending in CR LF, replacing the file in one step. Throws
// std::runtime_error "Cannot create file <name>" when it cannot be written.
void WriteTextLines(const std::string& fileName, const std::vector<std::string>& lines);

// The lines of the killed-sites report (see above), for the given date line text.
std::vector<std::string> KilledSitesReport(TStoreQuery& qry1, bool DeadOnly,
                                           const std::string& today);

// Writes the report to killedSiteFolder + "killedsites.txt" with today's date and returns that
// name. Engine errors and "Cannot create file ..." propagate; the file is then not written.
std::string Exportkilledsites(TStoreQuery& qry1, const std::string& killedSiteFolder,
                              bool DeadOnly);

// "&Export killed sites": the report as above, then the message "The killed sites report was
// written to <file>".
void ExportKilledSitesCommand(TStoreQuery& qry1, const std::string& killedSiteFolder, Ui& ui);

// Starts the converter with its two file names, not waiting for it; false when it cannot be
// started.
using TConverterStart = std::function<bool(const std::string& input, const std::string& output)>;

// The converter the program ships: "Text2Html" beside the executable (where an installation
// puts it, in <prefix>/bin), else in the program folder, else the name alone for a search on
// PATH.
std::string Text2HtmlProgram();
std::string Text2HtmlProgram(const std::string& exeFolder, const std::string& programFolder);
// Starts Text2HtmlProgram() detached with the two names as its arguments.
bool StartText2Html(const std::string& input, const std::string& output);

// "Export to HTML": killedSiteFolder + "cracksites.txt", converted to cracksites.html beside
// it; then the report with DeadOnly, converted from killedSiteFolder + "killedsites.txt" to
// killedsites.html beside it. A converter that cannot be started shows "Could not convert text"
// (caption "Launch Error") and the command goes on. Busy cursor throughout. At the end a
// message names the files written and those the converter makes.
void ExporttoHTML(TStoreQuery& qry1, const std::string& killedSiteFolder, Ui& ui,
                  const TConverterStart& startConverter = StartText2Html);

// "E&xport to CSV": the save dialog ("Query.Csv"; CSV, Text and All files; a name without an
// extension gets ".CSV"), then every record of `dataSet` (the grid's dataset; null when the grid
// shows a closed query) as CsvExportLine, written with WriteTextLines. The dataset's controls are
// detached while it is walked and attached again also when an error ends the command; the
// dataset ends on its first record. Cancel does nothing, and so does No to the question about
// replacing a file the extension was added to (above).
void ExporttoCSV(TStoreTable* dataSet, Ui& ui);

}  // namespace quellor
