// storetool: the table store's command-line companion for administrators and scripts.
//
//   storetool [--password PW] init DIR [--site-version V] [--isp-version V]
//                                                       create the empty site and ISP tables
//                                                       (data/SiteTables.h defines them), at the
//                                                       current user versions (site 1.2, ISP 1.1)
//                                                       or at the earlier ones given (site 1.0 or
//                                                       1.1, ISP 1.0), as older releases made them
//   storetool [--password PW] info DIR TABLE            header facts, fields and indexes
//   storetool [--password PW] dump DIR TABLE [--index NAME] [--filter EXPR]
//                                                       records as CSV in index order; with a
//                                                       filter expression only those passing
//   storetool [--password PW] load DIR TABLE FILE       append the rows of a CSV file, read
//                                                       as the program's CSV import reads it
//   storetool [--password PW] verify DIR TABLE          check the table's files, print what is
//                                                       wrong; exit 1 when anything is
//   storetool [--password PW] repair DIR TABLE          mend the table, print what was mended;
//                                                       exit 1 when something could not be
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

// Runs one command; `args` are the arguments after the program name. Returns the exit code.
int RunStoreTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// One CSV record in the form dump writes and load reads: every value in double quotes with
// inner quotes doubled; `isNull` values are written empty. No line end.
std::string CsvLine(const std::vector<std::string>& values, const std::vector<bool>& isNull);

}  // namespace quellor
