#include "data/SiteTables.h"

#include "store/api/StoreTb.h"

namespace quellor {

void DefineSiteFields(TFieldDefs& f) {
  f.Add("Url", TFieldType::String, 125);
  f.Add("E-mails", TFieldType::String, 200);
  f.Add("BadE-mails", TFieldType::String, 75);
  f.Add("IPAddr", TFieldType::String, 16);
  f.Add("Notes", TFieldType::String, 50);
  for (const char* flag : {"Cracks", "Serialz", "Warez", "LinksOnly", "Tutes", "Forumz", "Toolz",
                           "Porn", "Hacks", "DMCA"})
    f.Add(flag, TFieldType::Boolean);
  f.Add("Urls", TFieldType::String, 200);
  for (const char* flag : {"Blessed", "USA", "IPChanged", "Killed", "Dead"})
    f.Add(flag, TFieldType::Boolean);
  f.Add("LastSent", TFieldType::DateTime);
  f.Add("LastDMCASent", TFieldType::DateTime);
  f.Add("Priority", TFieldType::SmallInt);
  f.Add("KilledBy", TFieldType::String, 1);
  f.Add("DMCAUrls", TFieldType::Blob);
}

void DefineIspFields(TFieldDefs& f) {
  f.Add("Domain", TFieldType::String, 25);
  // As wide as a site's E-mails, into which the ISP contacts copy it.
  f.Add("Emails", TFieldType::String, 200);
}

const TTableSchema kSiteTable = {"cracks.DAT", "Cracks", 1, 2, DefineSiteFields, "Url"};
const TTableSchema kIspTable = {"isps.DAT", "ISPs", 1, 1, DefineIspFields, "Domain"};

const std::vector<TTableSchema>& ProgramTables() {
  static const std::vector<TTableSchema> tables = {kSiteTable, kIspTable};
  return tables;
}

void DefineTable(TStoreTable& table, const TTableSchema& schema) {
  table.FieldDefs().Clear();
  schema.defineFields(table.FieldDefs());
  table.IndexDefs().Clear();
  table.IndexDefs().Add("", schema.primaryKey, IndexOption::Primary);
  table.StoreDefs().Description = schema.description;
  table.StoreDefs().UserMajorVersion = schema.userMajor;
  table.StoreDefs().UserMinorVersion = schema.userMinor;
}

std::vector<bool> CreateProgramTables(const std::string& folder) {
  std::vector<bool> created;
  for (const TTableSchema& schema : ProgramTables()) {
    TStoreTable table;
    table.SetDatabaseName(folder);
    table.SetTableName(schema.file);
    if (table.Exists()) {
      created.push_back(false);
      continue;
    }
    DefineTable(table, schema);
    table.CreateTable();
    created.push_back(true);
  }
  return created;
}

}  // namespace quellor
