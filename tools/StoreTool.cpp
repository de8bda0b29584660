#include "StoreTool.h"

#include <fstream>
#include <iostream>
#include <sstream>

#include "store/DataFile.h"
#include "store/DataTable.h"
#include "store/Language.h"
#include "store/StoreQuery.h"
#include "store/StoreTb.h"
#include "transfer/CsvRecords.h"

namespace quellor {

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

const char* kUsageText =
    "usage: storetool [--password PW] init DIR\n"
    "       storetool [--password PW] info DIR TABLE\n"
    "       storetool [--password PW] dump DIR TABLE [--index NAME] [--filter EXPR]\n"
    "       storetool [--password PW] load DIR TABLE FILE\n"
    "       storetool [--password PW] sql DIR STATEMENT\n";

// ---- the program's tables -------------------------------------------------------------------

struct TTableSchema {
  const char* file;
  const char* description;
  int major, minor;
  void (*define)(TFieldDefs& fields);
  const char* primary;
};

}  // namespace

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

namespace {

const TTableSchema kSchemas[] = {
    {"cracks.DAT", "Cracks", 1, 2, DefineSiteFields, "Url"},
    {"isps.DAT", "ISPs", 1, 1, DefineIspFields, "Domain"},
};

// ---- text ----------------------------------------------------------------------------------

std::string TypeName(const TStoreField& field) {
  switch (field.DataType()) {
    case TFieldType::String:
      return "String(" + std::to_string(field.Size()) + ")";
    case TFieldType::SmallInt:
      return "SmallInt";
    case TFieldType::Integer:
      return "Integer";
    case TFieldType::Word:
      return "Word";
    case TFieldType::Boolean:
      return "Boolean";
    case TFieldType::Float:
      return "Float";
    case TFieldType::Currency:
      return "Money";
    case TFieldType::BCD:
      return "BCD(" + std::to_string(field.Desc().decimals) + ")";
    case TFieldType::Date:
      return "Date";
    case TFieldType::Time:
      return "Time";
    case TFieldType::DateTime:
      return "TimeStamp";
    case TFieldType::Bytes:
      return "Bytes(" + std::to_string(field.Size()) + ")";
    case TFieldType::VarBytes:
      return "VarBytes(" + std::to_string(field.Size()) + ")";
    case TFieldType::AutoInc:
      return "AutoInc";
    case TFieldType::Blob:
      return "Blob";
    case TFieldType::Memo:
      return "Memo";
    case TFieldType::Graphic:
      return "Graphic";
    case TFieldType::FmtMemo:
      return "FmtMemo";
    case TFieldType::Ole:
      return "Ole";
    case TFieldType::TypedBinary:
      return "TypedBinary";
    case TFieldType::Unknown:
      break;
  }
  return "Unknown";
}

std::string CompressionName(TIndexCompression c) {
  switch (c) {
    case TIndexCompression::DupByte:
      return "DUPBYTE";
    case TIndexCompression::TrailByte:
      return "TRAILBYTE";
    case TIndexCompression::Full:
      return "FULL";
    case TIndexCompression::None:
      break;
  }
  return "NONE";
}

// ---- commands ------------------------------------------------------------------------------

struct TCommand {
  std::string password;
  std::vector<std::string> words;  // command and its operands
  std::string index;               // --index NAME
  bool hasIndex = false;
  std::string filter;  // --filter EXPR
  bool hasFilter = false;
};

void OpenTable(TStoreTable& table, TStoreSession& session, const TCommand& c) {
  table.SetDatabaseName(c.words[1]);
  table.SetTableName(c.words[2]);
  table.SetReadOnly(c.words[0] == "info" || c.words[0] == "dump");
  if (c.hasIndex) table.SetIndexName(c.index);
  if (c.hasFilter) {
    // Compiled at open: a bad expression fails the command with the filter error.
    table.SetFilter(c.filter);
    table.SetFiltered(true);
  }
  table.Open();
}

int Init(const TCommand& c, TStoreSession& session, std::ostream& out) {
  for (const TTableSchema& schema : kSchemas) {
    TStoreTable table(session);
    table.SetDatabaseName(c.words[1]);
    table.SetTableName(schema.file);
    if (table.Exists()) {
      out << schema.file << " exists: left as it is\n";
      continue;
    }
    schema.define(table.FieldDefs());
    table.IndexDefs().Add("", schema.primary, IndexOption::Primary);
    table.StoreDefs().Description = schema.description;
    table.StoreDefs().UserMajorVersion = schema.major;
    table.StoreDefs().UserMinorVersion = schema.minor;
    table.CreateTable();
    out << schema.file << " created (user version " << schema.major << "." << schema.minor << ")\n";
  }
  return kOk;
}

int Info(const TCommand& c, TStoreSession& session, std::ostream& out) {
  TStoreTable table(session);
  OpenTable(table, session, c);
  TDataHeader header;
  {
    // The header facts come straight from the data file; the table is open, so it is sound.
    TTableFiles files = TableFileNames(table.DatabaseName() + "/", table.TableName());
    std::ifstream data(files.data, std::ios::binary);
    uint8_t raw[kDataHeaderSize] = {};
    data.read(reinterpret_cast<char*>(raw), kDataHeaderSize);
    header = DecodeDataHeader(raw);
  }
  std::string language = LanguageName(static_cast<uint16_t>(header.languageId));
  out << "Table:          " << table.TableName() << "\n"
      << "Description:    " << header.description << "\n"
      << "Format version: " << static_cast<int>(header.version) << "\n"
      << "User version:   " << header.userMajor << "." << header.userMinor << "\n"
      << "Language:       " << header.languageId << (language.empty() ? "" : " " + language)
      << ", sort " << header.sortId << "\n"
      << "Encrypted:      " << (header.encrypted ? "yes" : "no") << "\n"
      << "Records:        " << table.RecordCount() << " (" << header.nextPhysical - 1
      << " slots, first deleted slot " << header.deletedChain << ")\n"
      << "Record size:    " << header.recordSize << " bytes\n"
      << "Last record id: " << header.lastLogicalId << "\n"
      << "BLOB block:     " << header.BlobBlockSize() << " bytes, " << header.blobFieldCount
      << " BLOB fields\n"
      << "Change counter: " << header.changeCounter << "\n";
  out << "Fields (" << table.FieldCount() << "):\n";
  for (int i = 0; i < table.FieldCount(); ++i) {
    const TStoreField& f = table.Fields(i);
    out << "  " << f.Desc().number << " " << f.FieldName() << " " << TypeName(f)
        << (f.Required() ? " required" : "") << "\n";
  }
  std::vector<TIndexDef> indexes = table.IndexDefinitions();
  out << "Indexes (" << indexes.size() << "):\n";
  if (indexes.empty()) out << "  (none: records in the order of insertion)\n";
  for (const TIndexDef& def : indexes) {
    out << "  " << (def.Name.empty() ? "Primary" : def.Name) << " (" << def.Fields << ")";
    if (def.Options & IndexOption::Unique) out << " unique";
    if (def.Options & IndexOption::Descending) out << " descending";
    if (def.Options & IndexOption::CaseInsensitive) out << " case-insensitive";
    out << " compression " << CompressionName(def.Compression) << "\n";
  }
  return kOk;
}

int Dump(const TCommand& c, TStoreSession& session, std::ostream& out) {
  TStoreTable table(session);
  OpenTable(table, session, c);
  std::vector<std::string> values(static_cast<size_t>(table.FieldCount()));
  std::vector<bool> isNull(values.size());
  for (table.First(); !table.Eof(); table.Next()) {
    for (int i = 0; i < table.FieldCount(); ++i) {
      TStoreField& f = table.Fields(i);
      isNull[static_cast<size_t>(i)] = f.IsNull();
      values[static_cast<size_t>(i)] = f.IsNull() ? std::string() : f.AsString();
    }
    out << CsvLine(values, isNull) << "\r\n";
  }
  return kOk;
}

// Runs one SQL statement on the tables of DIR: a SELECT prints its result as CSV after a header
// row of the column names; any other statement prints the number of rows it changed.
int Sql(const TCommand& c, TStoreSession& session, std::ostream& out) {
  TStoreQuery query(session);
  query.SetDatabaseName(c.words[1]);
  query.SetSQL(c.words[2]);
  query.Open();
  if (!query.Active()) {
    out << query.RowsAffected() << " rows affected\r\n";
    return kOk;
  }
  TStoreTable& result = query.Result();
  std::vector<std::string> values(static_cast<size_t>(result.FieldCount()));
  std::vector<bool> isNull(values.size(), false);
  for (int i = 0; i < result.FieldCount(); ++i)
    values[static_cast<size_t>(i)] = result.Fields(i).FieldName();
  out << CsvLine(values, isNull) << "\r\n";
  for (result.First(); !result.Eof(); result.Next()) {
    for (int i = 0; i < result.FieldCount(); ++i) {
      TStoreField& f = result.Fields(i);
      isNull[static_cast<size_t>(i)] = f.IsNull();
      values[static_cast<size_t>(i)] = f.IsNull() ? std::string() : f.AsString();
    }
    out << CsvLine(values, isNull) << "\r\n";
  }
  return kOk;
}

int Load(const TCommand& c, TStoreSession& session, std::ostream& out, std::ostream& err) {
  if (!std::ifstream(c.words[3], std::ios::binary)) {
    err << "Cannot read '" << c.words[3] << "'\n";
    return kFailed;
  }
  // The program's CSV import reads files through the same records and field conversion.
  std::vector<TCsvRecord> records;
  try {
    records = ReadCsvFile(c.words[3]);
  } catch (const std::exception& e) {
    err << e.what() << "\n";
    return kFailed;
  }
  TStoreTable table(session);
  OpenTable(table, session, c);
  int added = 0, rejected = 0;
  for (const TCsvRecord& record : records) {
    try {
      table.Append();
      SetFieldsFromCsvLine(table, record.text);
      table.Post();
      ++added;
    } catch (const std::exception& e) {
      if (table.State() != TDataSetState::Browse) table.Cancel();
      err << "line " << record.line << ": " << e.what() << "\n";
      ++rejected;
    }
  }
  out << added << " rows added";
  if (rejected) out << ", " << rejected << " rejected";
  out << "\n";
  return rejected ? kFailed : kOk;
}

}  // namespace

std::string CsvLine(const std::vector<std::string>& values, const std::vector<bool>& isNull) {
  std::string line;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) line += ',';
    if (i < isNull.size() && isNull[i]) continue;
    line += '"';
    for (char ch : values[i]) {
      if (ch == '"') line += '"';
      line += ch;
    }
    line += '"';
  }
  return line;
}

int RunStoreTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  TCommand c;
  for (size_t i = 0; i < args.size(); ++i) {
    if ((args[i] == "--password" || args[i] == "--index" || args[i] == "--filter") &&
        i + 1 < args.size()) {
      if (args[i] == "--password") {
        c.password = args[++i];
      } else if (args[i] == "--filter") {
        c.filter = args[++i];
        c.hasFilter = true;
      } else {
        c.index = args[++i];
        c.hasIndex = true;
      }
    } else {
      c.words.push_back(args[i]);
    }
  }
  static const std::vector<std::pair<std::string, size_t>> kOperands = {
      {"init", 2}, {"info", 3}, {"dump", 3}, {"load", 4}, {"sql", 3}};
  bool known = false;
  for (const auto& [name, count] : kOperands)
    if (!c.words.empty() && c.words[0] == name && c.words.size() == count) known = true;
  if (!known || ((c.hasIndex || c.hasFilter) && c.words[0] != "dump")) {
    err << kUsageText;
    return kUsage;
  }
  try {
    TStoreSession session;
    if (!c.password.empty()) session.AddPassword(c.password);
    const std::string& command = c.words[0];
    if (command == "init") return Init(c, session, out);
    if (command == "info") return Info(c, session, out);
    if (command == "dump") return Dump(c, session, out);
    if (command == "sql") return Sql(c, session, out);
    return Load(c, session, out, err);
  } catch (const std::exception& e) {
    err << e.what() << "\n";
    return kFailed;
  }
}

}  // namespace quellor
