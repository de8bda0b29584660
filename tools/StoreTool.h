// storetool: the table store's command-line companion for administrators and scripts.
//
//   storetool [--password PW] init DIR                  create the empty site and ISP tables
//   storetool [--password PW] info DIR TABLE            header facts, fields and indexes
//   storetool [--password PW] dump DIR TABLE [--index NAME] [--filter EXPR]
//                                                       records as CSV in index order; with a
//                                                       filter expression only those passing
//   storetool [--password PW] load DIR TABLE FILE       append the rows of a CSV file, read
//                                                       as the program's CSV import reads it
//   storetool [--password PW] sql DIR STATEMENT         run one SQL statement: a SELECT's
//                                                       result as CSV with a header row,
//                                                       otherwise the number of rows changed
//
// Every failure prints the engine's message on stderr and ends with a non-zero exit code:
// 1 for a failed command (or a load with rejected rows), 2 for a wrong command line.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace quellor {

class TFieldDefs;

// The fields of the program's site table ("cracks.DAT", 26 fields from Url to DMCAUrls) and of
// its ISP table ("isps.DAT": Domain, Emails), as init creates them.
void DefineSiteFields(TFieldDefs& fields);
void DefineIspFields(TFieldDefs& fields);

// Runs one command; `args` are the arguments after the program name. Returns the exit code.
int RunStoreTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// One CSV record in the form dump writes and load reads: every value in double quotes with
// inner quotes doubled; `isNull` values are written empty. No line end.
std::string CsvLine(const std::vector<std::string>& values, const std::vector<bool>& isNull);

}  // namespace quellor
