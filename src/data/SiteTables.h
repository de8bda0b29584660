// The program's two tables as they are created: the site table "cracks.DAT" (26 fields from Url
// to DMCAUrls, primary index on Url, user version 1.2) and the ISP table "isps.DAT" (Domain and
// Emails, primary index on Domain, user version 1.1). Both use the session's language (0, byte
// order, by default) and have no secondary indexes.
//
// storetool init, the tests and the benchmarks create the tables from here, so there is one
// definition of them.
#pragma once

#include <string>
#include <vector>

namespace quellor {

class TFieldDefs;
class TStoreTable;

// The fields of the site table and of the ISP table.
void DefineSiteFields(TFieldDefs& fields);
void DefineIspFields(TFieldDefs& fields);

// One of the program's tables: file name, description, user version, fields and the key fields
// of its primary index.
struct TTableSchema {
  const char* file;
  const char* description;
  int userMajor, userMinor;
  void (*defineFields)(TFieldDefs& fields);
  const char* primaryKey;
};

extern const TTableSchema kSiteTable;
extern const TTableSchema kIspTable;

// Both tables, in the order they are created: the site table, then the ISP table.
const std::vector<TTableSchema>& ProgramTables();

// Sets the fields, the primary index and the table attributes of `schema` on a closed table
// (whose database and table name the caller sets); CreateTable then makes it.
void DefineTable(TStoreTable& table, const TTableSchema& schema);

// Creates every program table that is missing in `folder` (a database folder name); an
// existing table is left as it is. Returns, in order, whether each table was created.
std::vector<bool> CreateProgramTables(const std::string& folder);

}  // namespace quellor
