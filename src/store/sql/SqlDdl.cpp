// The statements that define tables: CREATE TABLE (13060 when it exists), CREATE INDEX,
// ALTER TABLE (the table's current definitions plus the changes, carried out by the table's
// restructure), DROP TABLE (after an exclusive open proves nobody has it open) and DROP INDEX.
#include <string>
#include <vector>

#include "store/api/StoreError.h"
#include "store/sql/SqlRunner.h"

namespace quellor::sqlexec {

void CreateTableWithLanguage(TStoreSession& session, TStoreTable& table, int languageId,
                             int sortId) {
  // The session's language is the one a new table takes; it comes back whatever happens.
  struct TRestore {
    TStoreSession& session;
    int language, sort;
    ~TRestore() {
      session.SetLanguageID(language);
      session.SetSortID(sort);
    }
  } restore{session, session.LanguageID(), session.SortID()};
  session.SetLanguageID(languageId);
  session.SetSortID(sortId);
  table.CreateTable();
}

TSqlRunOutcome TSqlRunner::RunCreateTable(const TSqlStatement& st) {
  TStoreTable table(session_);
  NameTable(table, st.table);
  if (table.Exists()) throw EStoreEngineError(StoreCode::TableExists, {st.table.name});
  for (const TSqlColumnDef& c : st.columns) {
    TFieldDef& d = table.FieldDefs().Add(c.name, c.type, c.size, c.notNull);
    d.Description = c.description;
    d.DefaultValue = c.defaultValue;
    d.Minimum = c.minimum;
    d.Maximum = c.maximum;
    d.CharCase = c.charCase;
  }
  if (st.hasPrimaryKey) {
    std::string fieldsText;
    for (const std::string& f : st.primaryKey.columns)
      fieldsText += (fieldsText.empty() ? "" : ";") + f;
    table.IndexDefs().Add("", fieldsText, IndexOption::Primary | IndexOption::Unique,
                          st.primaryKey.compression);
  }
  TStoreDefs& defs = table.StoreDefs();
  defs.Description = st.options.description;
  defs.Encrypted = st.options.encrypted;
  defs.Password = st.options.password;
  defs.BlobBlockSize = st.options.blobBlockSize;
  defs.UserMajorVersion = st.options.userMajor;
  defs.UserMinorVersion = st.options.userMinor;
  if (st.options.encrypted) session_.AddPassword(st.options.password);
  CreateTableWithLanguage(session_, table, st.options.languageId, st.options.sortId);
  return {};
}

TSqlRunOutcome TSqlRunner::RunCreateIndex(const TSqlStatement& st) {
  TStoreTable table(session_);
  NameTable(table, st.table);
  std::string fieldsText;
  for (const std::string& f : st.index.columns) fieldsText += (fieldsText.empty() ? "" : ";") + f;
  uint8_t options = 0;
  if (st.index.unique) options |= IndexOption::Unique;
  if (st.index.descending) options |= IndexOption::Descending;
  if (st.index.noCase) options |= IndexOption::CaseInsensitive;
  table.AddIndex(st.indexName, fieldsText, options, st.index.compression);
  return {};
}

TSqlRunOutcome TSqlRunner::RunDrop(const TSqlStatement& st) {
  TStoreTable table(session_);
  NameTable(table, st.table);
  if (!table.Exists()) NoSuchTable(st.table.name);
  if (st.kind == TSqlKind::DropTable) {
    // Nobody may have it open: an exclusive open proves it (11013 otherwise).
    table.SetExclusive(true);
    table.Open();
    table.Close();
    table.DeleteTable();
  } else {
    table.DeleteIndex(st.indexName);
  }
  return {};
}

namespace {

// ALTER TABLE: the table's current definitions plus the changes, applied by the table's
// restructure (which opens it exclusively and checks everything before it changes anything).
void AlterTable(TStoreTable& table, const TSqlStatement& st, const TDataHeader& current) {
  {
    auto& fields = table.RestructureFieldDefs();
    fields.LoadFromTable();
    auto& indexes = table.RestructureIndexDefs();
    indexes.LoadFromTable();
    auto join = [](const std::vector<std::string>& columns) {
      std::string text;
      for (const std::string& c : columns) text += (text.empty() ? "" : ";") + c;
      return text;
    };
    auto primary = [&] {
      for (int i = 0; i < indexes.Count(); ++i)
        if (indexes.Items(i).Options & IndexOption::Primary) return i;
      return -1;
    };
    auto column = [&](const std::string& name) {
      int i = fields.IndexOf(name);
      if (i < 0)
        SqlFail("Invalid column name '" + name + "' or table correlation name '' specified in " +
                kSqlStatementName);
      return i;
    };
    auto keyOptions = [](const TSqlKeyDef& key) {
      uint8_t options = IndexOption::Primary | IndexOption::Unique;
      if (key.descending) options |= IndexOption::Descending;
      if (key.noCase) options |= IndexOption::CaseInsensitive;
      return options;
    };
    for (const TSqlAlterChange& ch : st.changes) {
      const TSqlColumnDef& c = ch.column;
      switch (ch.kind) {
        case TSqlAlterKind::AddColumn: {
          const int last = fields.Count() + 1;
          if (c.at < 0 || c.at > last)
            SqlFail("AT column position must be between 1 and " + std::to_string(last));
          fields.Insert(c.at > 0 ? c.at - 1 : fields.Count(), c.name, c.type, c.size, c.notNull,
                        c.defaultValue, c.minimum, c.maximum, c.description, c.charCase, 0);
          break;
        }
        case TSqlAlterKind::RedefineColumn: {
          auto& d = fields.Items(column(ch.name));
          if (Upper(c.name) != Upper(d.Name)) {
            if (fields.IndexOf(c.name) >= 0)
              SqlFail("Duplicate column name '" + c.name + "' specified in " + kSqlStatementName);
            // Indexes over a renamed column follow it.
            for (int i = 0; i < indexes.Count(); ++i) {
              std::string renamed;
              std::string& list = indexes.Items(i).Fields;
              size_t from = 0;
              while (from <= list.size()) {
                size_t to = list.find(';', from);
                if (to == std::string::npos) to = list.size();
                std::string part = list.substr(from, to - from);
                renamed += (renamed.empty() && from == 0 ? "" : ";") +
                           (Upper(part) == Upper(d.Name) ? c.name : part);
                from = to + 1;
              }
              list = renamed;
            }
          }
          d.Name = c.name;
          d.DataType = c.type;
          d.Size = c.size;
          d.Required = c.notNull;
          d.DefaultValue = c.defaultValue;
          d.MinimumValue = c.minimum;
          d.MaximumValue = c.maximum;
          if (c.hasDescription) d.Description = c.description;
          d.CharCase = c.charCase;
          break;
        }
        case TSqlAlterKind::DropColumn: {
          fields.Delete(column(ch.name));
          // Indexes over the column go with it.
          for (int i = indexes.Count() - 1; i >= 0; --i) {
            std::string list = ";" + indexes.Items(i).Fields + ";";
            std::string upper = Upper(list);
            if (upper.find(";" + Upper(ch.name) + ";") != std::string::npos) indexes.Delete(i);
          }
          break;
        }
        case TSqlAlterKind::AddPrimaryKey:
          if (primary() >= 0) SqlFail("Cannot REDEFINE the primary key using the ADD keyword");
          indexes.Add("", join(ch.key.columns), keyOptions(ch.key),
                      static_cast<uint8_t>(ch.key.compression));
          break;
        case TSqlAlterKind::RedefinePrimaryKey:
          if (int p = primary(); p >= 0) indexes.Delete(p);
          indexes.Add("", join(ch.key.columns), keyOptions(ch.key),
                      static_cast<uint8_t>(ch.key.compression));
          break;
        case TSqlAlterKind::DropPrimaryKey:
          if (int p = primary(); p >= 0) indexes.Delete(p);
          break;
      }
    }
    // Value conversions and dropped columns follow from the statement itself; a record that
    // the new structure would leave out (a duplicate key, a failed validity check) stops the
    // statement instead, with the table left as it was.
    std::string lost;
    table.OnDataLost = [&](TStoreTable&, TDataLossCause cause, const std::string& context, bool& go,
                           bool&) {
      if (cause == TDataLossCause::Conversion || cause == TDataLossCause::FieldDropped) return;
      go = false;
      lost = context;
    };
    const TSqlTableOptions& o = st.options;
    const bool done = table.Restructure(
        o.hasLanguage ? o.languageId : 0, o.hasLanguage ? o.sortId : 0,
        o.hasUserMajor ? o.userMajor : current.userMajor,
        o.hasUserMinor ? o.userMinor : current.userMinor, o.encrypted || current.encrypted,
        o.encrypted ? o.password : current.password,
        o.hasDescription ? o.description : current.description,
        o.hasBlobBlockSize ? o.blobBlockSize : current.BlobBlockSize(),
        st.hasLastAutoInc ? static_cast<int>(st.lastAutoInc) : -1, st.noBackup);
    if (!done)
      SqlFail("ALTER TABLE would leave out records of table '" + st.table.name + "' (" + lost +
              "); the table is unchanged");
  }
}

}  // namespace

TSqlRunOutcome TSqlRunner::RunAlter(const TSqlStatement& st) {
  TStoreTable table(session_);
  NameTable(table, st.table);
  if (!table.Exists()) NoSuchTable(st.table.name);
  table.Open();
  TDataHeader current = TSqlTableAccess::Engine(table).Data().Header();
  table.Close();
  AlterTable(table, st, current);
  return {};
}

}  // namespace quellor::sqlexec
