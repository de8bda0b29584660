#include "StoreTool.h"

#include <fstream>
#include <iostream>
#include <sstream>

#include "data/SiteTables.h"
#include "store/api/StoreQuery.h"
#include "store/api/StoreTb.h"
#include "store/engine/DataTable.h"
#include "store/format/DataFile.h"
#include "store/format/Language.h"
#include "transfer/CsvRecords.h"

namespace quellor {

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

const char* kUsageText =
    "usage: storetool [--password PW] init DIR [--site-version 1.0|1.1|1.2] "
    "[--isp-version 1.0|1.1]\n"
    "       storetool [--password PW] info DIR TABLE\n"
    "       storetool [--password PW] dump DIR TABLE [--index NAME] [--filter EXPR]\n"
    "       storetool [--password PW] load DIR TABLE FILE\n"
    "       storetool [--password PW] verify DIR TABLE\n"
    "       storetool [--password PW] repair DIR TABLE\n"
    "       storetool [--password PW] sql DIR STATEMENT\n";

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
  std::string siteVersion, ispVersion;  // init --site-version V --isp-version V
  bool hasSiteVersion = false, hasIspVersion = false;
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

// verify and repair: the log lines on stdout; verify fails when it found damage, repair when
// some of it could not be mended.
int Check(const TCommand& c, TStoreSession& session, std::ostream& out) {
  TStoreTable table(session);
  table.SetDatabaseName(c.words[1]);
  table.SetTableName(c.words[2]);
  table.OnRepairLog = [&](TStoreTable&, const std::string& line) { out << line << "\n"; };
  bool ok = c.words[0] == "repair" ? table.Repair() : table.Verify();
  return ok ? kOk : kFailed;
}

// The fields of a table at an earlier user version, for making program folders of older
// releases: the site table at 1.0 lacks DMCAUrls and LastDMCASent, at 1.1 LastDMCASent; the ISP
// table at 1.0 has a Domain 20 characters wide. The field numbers follow the field order, as
// the older releases created them.
void DefineFieldsAtVersion(const TTableSchema& schema, int minor, TFieldDefs& fields) {
  TFieldDefs current;
  schema.defineFields(current);
  bool site = std::string(schema.file) == "cracks.DAT";
  for (int i = 0; i < current.Count(); ++i) {
    const TFieldDef& def = current.Items(i);
    if (site && minor < 1 && def.Name == "DMCAUrls") continue;
    if (site && minor < 2 && def.Name == "LastDMCASent") continue;
    TFieldDef& copy = fields.Add(def.Name, def.DataType, def.Size, def.Required);
    copy = def;
    if (!site && minor < 1 && def.Name == "Domain") copy.Size = 20;
  }
}

// "1.0", "1.1", ... up to the current minor version of a table, as its minor number; -1 for any
// other text.
int MinorVersionOf(const std::string& text, const TTableSchema& schema) {
  for (int minor = 0; minor <= schema.userMinor; ++minor)
    if (text == std::to_string(schema.userMajor) + "." + std::to_string(minor)) return minor;
  return -1;
}

// Why init's versions cannot be made, or empty.
std::string InitVersionError(const TCommand& c) {
  for (const TTableSchema& schema : ProgramTables()) {
    bool site = std::string(schema.file) == "cracks.DAT";
    if (!(site ? c.hasSiteVersion : c.hasIspVersion)) continue;
    const std::string& text = site ? c.siteVersion : c.ispVersion;
    if (MinorVersionOf(text, schema) < 0)
      return "Unknown version '" + text + "' of " + schema.file + ": storetool makes " +
             std::to_string(schema.userMajor) + ".0 to " + std::to_string(schema.userMajor) + "." +
             std::to_string(schema.userMinor);
  }
  return {};
}

int Init(const TCommand& c, TStoreSession& session, std::ostream& out) {
  for (const TTableSchema& schema : ProgramTables()) {
    bool site = std::string(schema.file) == "cracks.DAT";
    int minor = schema.userMinor;
    if (site && c.hasSiteVersion) minor = MinorVersionOf(c.siteVersion, schema);
    if (!site && c.hasIspVersion) minor = MinorVersionOf(c.ispVersion, schema);
    TStoreTable table(session);
    table.SetDatabaseName(c.words[1]);
    table.SetTableName(schema.file);
    if (table.Exists()) {
      out << schema.file << " exists: left as it is\n";
      continue;
    }
    DefineFieldsAtVersion(schema, minor, table.FieldDefs());
    table.IndexDefs().Add("", schema.primaryKey, IndexOption::Primary);
    // Older releases left the description empty until the upgrade to the current version.
    table.StoreDefs().Description = minor == schema.userMinor ? schema.description : "";
    table.StoreDefs().UserMajorVersion = schema.userMajor;
    table.StoreDefs().UserMinorVersion = minor;
    table.CreateTable();
    out << schema.file << " created (user version " << schema.userMajor << "." << minor << ")\n";
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
  if (query.StatementKind() != TSqlStatementKind::Select) {
    query.ExecuteStatement();
    out << query.RowsAffected() << " rows affected\r\n";
    return kOk;
  }
  query.Open();
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
    if ((args[i] == "--password" || args[i] == "--index" || args[i] == "--filter" ||
         args[i] == "--site-version" || args[i] == "--isp-version") &&
        i + 1 < args.size()) {
      if (args[i] == "--site-version") {
        c.siteVersion = args[++i];
        c.hasSiteVersion = true;
      } else if (args[i] == "--isp-version") {
        c.ispVersion = args[++i];
        c.hasIspVersion = true;
      } else if (args[i] == "--password") {
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
      {"init", 2}, {"info", 3}, {"dump", 3}, {"load", 4}, {"verify", 3}, {"repair", 3}, {"sql", 3}};
  bool known = false;
  for (const auto& [name, count] : kOperands)
    if (!c.words.empty() && c.words[0] == name && c.words.size() == count) known = true;
  if (!known || ((c.hasIndex || c.hasFilter) && c.words[0] != "dump") ||
      ((c.hasSiteVersion || c.hasIspVersion) && c.words[0] != "init")) {
    err << kUsageText;
    return kUsage;
  }
  if (c.words[0] == "init") {
    if (std::string why = InitVersionError(c); !why.empty()) {
      err << why << "\n";
      return kUsage;
    }
  }
  try {
    TStoreSession session;
    if (!c.password.empty()) session.AddPassword(c.password);
    const std::string& command = c.words[0];
    if (command == "init") return Init(c, session, out);
    if (command == "info") return Info(c, session, out);
    if (command == "dump") return Dump(c, session, out);
    if (command == "verify" || command == "repair") return Check(c, session, out);
    if (command == "sql") return Sql(c, session, out);
    return Load(c, session, out, err);
  } catch (const std::exception& e) {
    err << e.what() << "\n";
    return kFailed;
  }
}

}  // namespace quellor
