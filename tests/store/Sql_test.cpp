// The SQL dialect: statements against small site and ISP tables, as tables of statement ->
// result rows or exact error; results as temporary tables; the program's two fixed statements;
// changes and their row counts; a DELETE meeting a record another process holds; bad input.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <string>
#include <vector>

#include "ChildProcess.h"
#include "LockTestSupport.h"
#include "StoreTool.h"
#include "data/SiteTables.h"
#include "store/api/StoreQuery.h"
#include "store/api/StoreTb.h"
#include "store/sql/SqlExec.h"
#include "support/TempDir.h"

using namespace quellor;
using namespace quellor::test;

namespace {

struct TSite {
  const char* url;
  const char* killed;  // "T", "F" or nullptr
  const char* dead;
  int priority;  // 0: NULL
  const char* notes;
};

const TSite kSites[] = {
    {"http://b.example", "T", "T", 1, "isp-one.net"},
    {"http://a.example", "T", "F", 2, "isp-two.net"},
    {"http://d.example", "F", "F", 2, "isp-one.net"},
    {"http://c.example", "F", nullptr, 3, nullptr},
    {"http://e.example", nullptr, "T", 0, "nowhere.net"},
};

std::vector<std::string> Files(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Sql : public ::testing::Test {
 protected:
  void SetUp() override {
    session_.SetPrivateDir(private_.path());
    TStoreTable sites(session_);
    sites.SetDatabaseName(dir_.path());
    sites.SetTableName("cracks.DAT");
    DefineSiteFields(sites.FieldDefs());
    sites.IndexDefs().Add("", "Url", IndexOption::Primary | IndexOption::Unique);
    sites.CreateTable();
    sites.Open();
    for (const TSite& s : kSites) {
      sites.Append();
      sites.FieldByName("Url").SetAsString(s.url);
      if (s.killed) sites.FieldByName("Killed").SetAsBoolean(s.killed[0] == 'T');
      if (s.dead) sites.FieldByName("Dead").SetAsBoolean(s.dead[0] == 'T');
      if (s.priority) sites.FieldByName("Priority").SetAsInteger(s.priority);
      if (s.notes) sites.FieldByName("Notes").SetAsString(s.notes);
      sites.Post();
    }
    sites.Close();
    TStoreTable isps(session_);
    isps.SetDatabaseName(dir_.path());
    isps.SetTableName("isps.DAT");
    DefineIspFields(isps.FieldDefs());
    isps.IndexDefs().Add("", "Domain", IndexOption::Primary | IndexOption::Unique);
    isps.CreateTable();
    isps.Open();
    for (auto [domain, mail] :
         {std::pair{"isp-one.net", "abuse@one"}, std::pair{"isp-two.net", "abuse@two"},
          std::pair{"isp-three.net", "abuse@three"}}) {
      isps.Append();
      isps.FieldByName("Domain").SetAsString(domain);
      isps.FieldByName("Emails").SetAsString(mail);
      isps.Post();
    }
    isps.Close();
  }

  // The result as lines: the column names, then one line per row; values joined by "|",
  // NULL as "NULL". An error as "ERR <code> <message>".
  std::string Run(const std::string& sql, int maxRows = -1) {
    TStoreQuery q(session_);
    q.SetDatabaseName(dir_.path());
    q.SetSQL(sql);
    q.SetMaxRowCount(maxRows);
    try {
      if (SqlStatementKind(sql, session_) != TSqlStatementKind::Select) {
        q.ExecuteStatement();
        return "ROWS " + std::to_string(q.RowsAffected());
      }
      q.Open();
      std::string out;
      for (int i = 0; i < q.FieldCount(); ++i) out += (i ? "|" : "") + q.Fields(i).FieldName();
      for (q.First(); !q.Eof(); q.Next()) {
        out += "\n";
        for (int i = 0; i < q.FieldCount(); ++i) {
          TStoreField& f = q.Fields(i);
          out += (i ? "|" : "") + (f.IsNull() ? std::string("NULL") : f.AsString());
        }
      }
      EXPECT_EQ(q.RecordCount(), q.RowsAffected()) << sql;
      return out;
    } catch (const EStoreEngineError& e) {
      return "ERR " + std::to_string(e.ErrorCode()) + " " + e.Errors()[0].Message;
    }
  }

  std::string Dump() { return Run("SELECT Url, Killed, Dead, Priority FROM Cracks"); }

  TempDir dir_, private_;
  TStoreSession session_;
};

struct TCase {
  const char* sql;
  const char* expected;
};

TEST_F(Sql, SelectStatementsGiveTheirRows) {
  const TCase cases[] = {
      // The program's two fixed statements.
      {"SELECT Count(Url) As KillCount FROM Cracks WHERE Killed = True AND Dead = True",
       "KillCount\n1"},
      {"SELECT Url FROM Cracks WHERE Killed = True ORDER BY Url",
       "Url\nhttp://a.example\nhttp://b.example"},
      {"SELECT Url FROM Cracks WHERE Killed = True ORDER BY Url DESC",
       "Url\nhttp://b.example\nhttp://a.example"},
      // No site matches: one row whose count is NULL.
      {"SELECT Count(Url) As KillCount FROM Cracks WHERE Killed = True AND Priority = 9",
       "KillCount\nNULL"},
      // Column names.
      {"SELECT Count(Url) FROM Cracks", "Count Of Url\n5"},
      {"SELECT Url, Url FROM Cracks WHERE Url = 'http://a.example'",
       "Url|Url_1\nhttp://a.example|http://a.example"},
      {"select min(Priority), MAX(Priority), sum(Priority), avg(Priority) from cracks",
       "Min Of Priority|Max Of Priority|Sum Of Priority|Average Of Priority\n1|3|8|2"},
      {"SELECT Sum(Priority + 1) FROM Cracks", "Sum Of Expr\n12"},
      {"SELECT Priority * 2 FROM Cracks WHERE Url = 'http://c.example'", "Expression\n6"},
      {"SELECT Url AS \"A very long column name that goes on\" FROM Cracks WHERE Priority = 3",
       "A very long column name that g\nhttp://c.example"},
      // GROUP BY, HAVING, DISTINCT, ORDER BY by number and NOCASE.
      {"SELECT Priority, Count(Url) FROM Cracks GROUP BY Priority ORDER BY 1",
       "Priority|Count Of Url\nNULL|1\n1|1\n2|2\n3|1"},
      {"SELECT Priority, Count(Url) AS N FROM Cracks GROUP BY Priority HAVING Count(Url) > 1",
       "Priority|N\n2|2"},
      {"SELECT DISTINCT Notes FROM Cracks ORDER BY Notes",
       "Notes\nNULL\nisp-one.net\nisp-two.net\nnowhere.net"},
      {"SELECT Url, Priority FROM Cracks WHERE Priority >= 2 ORDER BY Priority DESC, Url",
       "Url|Priority\nhttp://c.example|3\nhttp://a.example|2\nhttp://d.example|2"},
      // ORDER BY names result columns.
      {"SELECT Url FROM Cracks ORDER BY Priority",
       "ERR 11949 SQL error - Invalid column name 'Priority' or table correlation name '' "
       "specified in ORDER BY clause"},
      {"SELECT UPPER(Url) AS U FROM Cracks WHERE Url LIKE '%a.ex%' ORDER BY U NOCASE",
       "U\nHTTP://A.EXAMPLE"},
      // Joins.
      {"SELECT c.Url, i.Emails FROM Cracks c JOIN Isps i ON i.Domain = c.Notes ORDER BY Url",
       "Url|Emails\nhttp://a.example|abuse@two\nhttp://b.example|abuse@one\n"
       "http://d.example|abuse@one"},
      {"SELECT c.Url, i.Emails FROM Cracks c LEFT OUTER JOIN Isps i ON c.Notes = i.Domain "
       "WHERE c.Priority >= 3 OR c.Priority IS NULL ORDER BY Url",
       "Url|Emails\nhttp://c.example|NULL\nhttp://e.example|NULL"},
      {"SELECT i.Domain, c.Url FROM Cracks c RIGHT JOIN Isps i ON c.Notes = i.Domain "
       "WHERE c.Url IS NULL",
       "Domain|Url\nisp-three.net|NULL"},
      {"SELECT Count(*) FROM Cracks, Isps", "Count Of *\n15"},
      // A table joined with itself (the index lookup reads the table the scan reads).
      {"SELECT a.Url, b.Priority FROM Cracks a JOIN Cracks b ON b.Url = a.Url WHERE a.Priority "
       "= 3",
       "Url|Priority\nhttp://c.example|3"},
      {"SELECT a.Url, b.Url FROM Cracks a JOIN Cracks b ON b.Notes = a.Notes AND b.Url > a.Url",
       "Url|Url_1\nhttp://b.example|http://d.example"},
      {"SELECT i.* FROM Isps i WHERE Domain = 'isp-two.net'",
       "Domain|Emails\nisp-two.net|abuse@two"},
      // IN with a sub-select.
      {"SELECT Url FROM Cracks WHERE Notes IN (SELECT Domain FROM Isps WHERE Emails = "
       "'abuse@one') ORDER BY Url",
       "Url\nhttp://b.example\nhttp://d.example"},
      {"SELECT Url FROM Cracks WHERE Notes NOT IN (SELECT Domain FROM Isps) ORDER BY Url",
       "Url\nhttp://c.example\nhttp://e.example"},
      // Errors.
      {"SHOW TABLES",
       "ERR 11949 SQL error - SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword "
       "expected, instead found 'SHOW'"},
      {"SELECT a, b FROM Cracks FULL JOIN Isps ON a = b",
       "ERR 11949 SQL error - Full outer joins are currently not supported in SQL SELECT "
       "statements"},
      {"SELECT Kiled FROM Cracks",
       "ERR 11949 SQL error - Invalid column name 'Kiled' or table correlation name '' "
       "specified in source columns"},
      {"SELECT Url FROM Cracks c, Isps c",
       "ERR 11949 SQL error - Duplicate table correlation name 'c' found in source tables"},
      {"SELECT Url, Count(Url) FROM Cracks",
       "ERR 11949 SQL error - Invalid use of aggregate function(s), the necessary GROUP BY "
       "clause is missing"},
      {"SELECT Count(Max(Priority)) FROM Cracks",
       "ERR 11949 SQL error - Aggregate functions cannot be nested"},
      {"SELECT Count(Url) + 1 FROM Cracks",
       "ERR 11949 SQL error - Aggregate functions cannot be used within expressions"},
      {"SELECT Url FROM Cracks HAVING Url = 'x'",
       "ERR 11949 SQL error - A GROUP BY clause must exist in order to use the HAVING clause"},
      {"SELECT Sum(Url) FROM Cracks",
       "ERR 11949 SQL error - SUM aggregate function must contain a numeric, date, time, or "
       "timestamp expression in SQL statement"},
      {"SELECT Url FROM Cracks WHERE Priority",
       "ERR 11949 SQL error - WHERE or JOIN clause must be a boolean expression"},
      {"SELECT Url FROM Cracks WHERE", "ERR 11949 SQL error - WHERE or JOIN clause is empty"},
      {"SELECT Url FROM Cracks WHERE Url IN (SELECT Domain, Emails FROM Isps)",
       "ERR 11949 SQL error - More than 1 column for sub-select  specified in SQL statement"},
      {"SELECT Url FROM Cracks ORDER BY Url x",
       "ERR 11949 SQL error - End of SELECT statement expected, instead found 'x'"},
      {"SELECT Url FROM Nothing",
       "ERR 11949 SQL error - Table 'Nothing' does not exist in SQL statement"},
      {"SELECT Url FROM Cracks; DROP TABLE Cracks",
       "ERR 11949 SQL error - End of SELECT statement expected, instead found 'DROP'"},
      {"SELECT Url FROM Cracks WHERE Priority = 'x'",
       "ERR 11949 SQL error - Type mismatch between Priority (small integer) and 'x' (string) "
       "for the = operator in SQL statement"},
  };
  for (const TCase& c : cases) EXPECT_EQ(Run(c.sql), c.expected) << c.sql;
  // Nothing was left in the private folder.
  EXPECT_TRUE(Files(private_.path()).empty()) << ::testing::PrintToString(Files(private_.path()));
}

TEST_F(Sql, MaxRowCountLimitsTheRows) {
  const struct {
    int max;
    int rows;
  } cases[] = {{10, 5}, {-1, 5}, {2, 2}, {0, 0}};
  for (auto c : cases) {
    std::string out = Run("SELECT Url FROM Cracks", c.max);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), c.rows) << c.max;
    out = Run("SELECT Url FROM Cracks ORDER BY Url DESC", c.max);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), c.rows) << c.max;
    if (c.max == 2) {
      EXPECT_EQ(out, "Url\nhttp://e.example\nhttp://d.example");
    }
  }
}

TEST_F(Sql, ChangesReportTheirRowCounts) {
  const TCase cases[] = {
      {"UPDATE Cracks SET Priority = 1 WHERE Killed = False", "ROWS 2"},
      {"SELECT Url FROM Cracks WHERE Priority = 1 ORDER BY Url",
       "Url\nhttp://b.example\nhttp://c.example\nhttp://d.example"},
      {"UPDATE Cracks c SET Priority = c.Priority + 10, Notes = 'x' WHERE c.Url = "
       "'http://b.example'",
       "ROWS 1"},
      {"SELECT Priority, Notes FROM Cracks WHERE Url = 'http://b.example'", "Priority|Notes\n11|x"},
      {"INSERT INTO Cracks (Url, Priority) VALUES ('http://f.example', ?)",
       "ERR 0 "},  // placeholder replaced below
      {"INSERT INTO Cracks (Url, Priority) VALUES ('http://f.example', 'high')",
       "ERR 11949 SQL error - Type mismatch between column Priority and constant value 'high' in "
       "INSERT statement"},
      {"INSERT INTO Cracks (Url, Priority) VALUES ('http://f.example')",
       "ERR 11949 SQL error - The number of values must match the number of table columns"},
      {"INSERT INTO Cracks (Url, Priority) VALUES ('http://f.example', 4) COMMIT INTERVAL 0",
       "ERR 11949 SQL error - COMMIT INTERVAL specified (0) is invalid, it must be greater than 0"},
      {"INSERT INTO Cracks (Url, Priority) VALUES ('http://a.example', 4)",
       "ERR 9729 Duplicate key found in index 'Primary' of table 'Cracks'"},
      {"INSERT INTO Isps (Domain) SELECT Notes FROM Cracks WHERE Notes = 'nowhere.net'", "ROWS 1"},
      {"DELETE FROM Cracks WHERE Dead = True", "ROWS 2"},
      {"SELECT Count(*) FROM Cracks", "Count Of *\n4"},
      {"DELETE FROM Isps", "ROWS 4"},
  };
  for (const TCase& c : cases) {
    if (std::string(c.expected) == "ERR 0 ") {
      TStoreQuery q(session_);
      q.SetDatabaseName(dir_.path());
      q.SetSQL(c.sql);
      ASSERT_EQ(q.Params().Count(), 1);
      q.Params().Items(0).SetAsInteger(4);
      q.ExecuteStatement();
      EXPECT_EQ(q.RowsAffected(), 1);
      EXPECT_EQ(Run("SELECT Priority FROM Cracks WHERE Url = 'http://f.example'"), "Priority\n4");
      continue;
    }
    EXPECT_EQ(Run(c.sql), c.expected) << c.sql;
  }
}

TEST_F(Sql, ParametersAreNumberedAcrossClausesAndSubSelects) {
  TStoreQuery q(session_);
  q.SetDatabaseName(dir_.path());
  q.SetSQL(
      "SELECT Url FROM Cracks WHERE Notes IN (SELECT Domain FROM Isps WHERE Emails = ?) AND "
      "Priority = ? ORDER BY Url");
  ASSERT_EQ(q.Params().Count(), 2);
  q.Params().Items(0).SetAsString("abuse@one");
  q.Params().Items(1).SetAsInteger(2);
  q.Open();
  ASSERT_EQ(q.RecordCount(), 1);
  EXPECT_EQ(q.FieldByName("Url").AsString(), "http://d.example");
}

TEST_F(Sql, TableAndIndexStatements) {
  const TCase cases[] = {
      {"CREATE TABLE People (Name CHAR(20) NOT NULL, Age SMALLINT MIN 0 MAX 150, "
       "Born DATE, Rate DECIMAL(10,2), Notes BLOB(0,1), Id AUTOINC, "
       "PRIMARY KEY (Name)) DESCRIPTION 'People' USER MAJOR VERSION 3",
       "ROWS 0"},
      {"CREATE TABLE People (Name CHAR(20))", "ERR 13060 The table 'People' already exists"},
      {"CREATE TABLE Bad (Name CHAR(300))",
       "ERR 11949 SQL error - Data type size must be between 1 and 250 for CHAR"},
      {"CREATE TABLE Bad (Name TEXT)",
       "ERR 11949 SQL error - SQL data type keyword expected, instead found 'TEXT'"},
      {"CREATE TABLE Bad (Data BLOB(1,1))",
       "ERR 11949 SQL error - First BLOB type argument must be an integer with the value of 0 "
       "in SQL statement"},
      {"CREATE TABLE Bad (Data BLOB(0,4))",
       "ERR 11949 SQL error - BLOB type argument must be an integer equal to 1,2,3,5, or 7 in "
       "SQL statement"},
      {"CREATE TABLE Bad (Name CHAR(2)) LANGUAGE 'Klingon'",
       "ERR 11949 SQL error - Invalid language constant 'Klingon' specified after LANGUAGE "
       "keyword"},
      {"CREATE TABLE Bad (Name CHAR(2)) LANGUAGE 'English (USA)' SORT 'German Phone Book Order'",
       "ERR 11949 SQL error - Invalid sort constant 'German Phone Book Order' specified after "
       "SORT keyword"},
      {"INSERT INTO People (Name, Age, Born, Rate) VALUES ('Ann', 40, '1985-02-03', 12.5)",
       "ROWS 1"},
      {"INSERT INTO People (Name, Age) VALUES ('Bob', 200)",
       "ERR 9731 The value for the field 'Age' in table 'People' is above the maximum allowable "
       "value"},
      {"INSERT INTO People (Age) VALUES (20)",
       "ERR 9732 A value must be provided for the field 'Name' in table 'People'"},
      {"CREATE UNIQUE NOCASE INDEX ByAge ON People (Age)", "ROWS 0"},
      {"SELECT Name, Age, Born, Rate, Id FROM People WHERE Age = 40",
       "Name|Age|Born|Rate|Id\nAnn|40|1985-02-03|12.50|1"},
      {"DROP INDEX People.ByAge", "ROWS 0"},
      {"DROP INDEX People.ByAge",
       "ERR 10022 Invalid secondary index name 'ByAge' specified for table 'People'"},
      {"DROP TABLE People", "ROWS 0"},
      {"SELECT Name FROM People",
       "ERR 11949 SQL error - Table 'People' does not exist in SQL statement"},
      {"ALTER TABLE Cracks FOO Bar",
       "ERR 11949 SQL error - ADD, DROP, or REDEFINE keyword expected, instead found 'FOO'"},
  };
  for (const TCase& c : cases) EXPECT_EQ(Run(c.sql), c.expected) << c.sql;
  for (const std::string& name : Files(dir_.path()))
    EXPECT_EQ(name.rfind("People", 0), std::string::npos);
}

TEST_F(Sql, SelectIntoMakesTheNamedTable) {
  EXPECT_EQ(Run("SELECT Url, Priority INTO Killed FROM Cracks WHERE Killed = True ORDER BY Url"),
            "Url|Priority\nhttp://a.example|2\nhttp://b.example|1");
  EXPECT_EQ(Run("SELECT * FROM Killed"), "Url|Priority\nhttp://a.example|2\nhttp://b.example|1");
  EXPECT_EQ(Run("SELECT Url INTO MEMORY Mem FROM Cracks WHERE Priority = 3"),
            "Url\nhttp://c.example");
  EXPECT_EQ(Run("SELECT Url INTO Killed FROM Cracks"),
            "ERR 13060 The table 'Killed' already exists");
}

// Every statement says the same of a table that is not there, in a folder or in memory.
TEST_F(Sql, AMissingTableIsReportedAlikeOnDiskAndInMemory) {
  for (const char* table : {"Gone", "MEMORY Gone"}) {
    const std::string t = table;
    for (const std::string& sql : {"SELECT * FROM " + t, "INSERT INTO " + t + " (A) VALUES (1)",
                                   "UPDATE " + t + " SET A = 1", "DELETE FROM " + t}) {
      EXPECT_EQ(Run(sql), "ERR 11949 SQL error - Table 'Gone' does not exist in SQL statement")
          << sql;
    }
  }
}

TEST_F(Sql, ResultsAreTemporaryTablesRemovedOnClose) {
  TStoreQuery q(session_);
  q.SetDatabaseName(dir_.path());
  q.SetSQL("SELECT Url FROM Cracks WHERE Killed = True ORDER BY Url");
  q.Open();
  EXPECT_FALSE(q.Live());
  EXPECT_EQ(q.RecordCount(), 2);
  EXPECT_FALSE(Files(private_.path()).empty());
  // Read-only.
  EXPECT_THROW(q.Result().Edit(), EDatabaseError);
  q.Close();
  EXPECT_TRUE(Files(private_.path()).empty());
  // Replacing the statement closes the result, too.
  q.Open();
  EXPECT_FALSE(Files(private_.path()).empty());
  q.SetSQL("SELECT Url FROM Cracks");
  EXPECT_TRUE(Files(private_.path()).empty());
  EXPECT_THROW(q.First(), EDatabaseError);
  q.SetSQL("  ");
  try {
    q.Open();
    FAIL();
  } catch (const EStoreEngineError& e) {
    EXPECT_STREQ(e.what(), "Store Engine Error # 11949 SQL error - No SQL statement available");
  }
}

TEST_F(Sql, LiveResultIsTheFilteredTable) {
  TStoreQuery q(session_);
  q.SetDatabaseName(dir_.path());
  q.SetRequestLive(true);
  q.SetSQL("SELECT * FROM Cracks WHERE Killed = True");
  q.Open();
  EXPECT_TRUE(q.Live());
  EXPECT_EQ(q.RecordCount(), 2);
  q.Result().Edit();
  q.FieldByName("Priority").SetAsInteger(7);
  q.Result().Post();
  q.Close();
  EXPECT_EQ(Run("SELECT Count(Url) FROM Cracks WHERE Priority = 7"), "Count Of Url\n1");
  // ORDER BY makes it canned.
  q.SetSQL("SELECT * FROM Cracks WHERE Killed = True ORDER BY Url");
  q.Open();
  EXPECT_FALSE(q.Live());
}

TEST_F(Sql, ProgressMayAbort) {
  TStoreQuery q(session_);
  q.SetDatabaseName(dir_.path());
  int calls = 0;
  q.OnQueryProgress = [&](TStoreQuery&, int, int percent, bool& abort) {
    ++calls;
    EXPECT_GE(percent, 0);
    abort = true;
  };
  q.SetSQL("SELECT Url FROM Cracks");
  q.Open();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(q.RecordCount(), 0);
}

TEST_F(Sql, BadInputFailsWith11949AndChangesNothing) {
  const std::string before = Dump();
  std::string deep = "SELECT Url FROM Cracks WHERE " + std::string(10000, '(') + "Priority = 1" +
                     std::string(10000, ')');
  std::string longText = "SELECT Url FROM Cracks WHERE Url = '" + std::string(1 << 19, 'x') + "'";
  std::string longNoQuote = "SELECT " + std::string(1 << 20, 'y') + " FROM Cracks";
  std::string nuls =
      std::string("SELECT\0Url\0FROM\0\0Cracks\0WHERE\0", 31) + std::string(100, '\0');
  const std::string inputs[] = {
      "",
      ";",
      deep,
      longNoQuote,
      nuls,
      "SELECT \xff\xfe FROM Cracks",
      "UPDATE Cracks SET \xc3\x28 = 1",
      "DELETE FROM Missing WHERE Url = 'x'",
      "UPDATE Cracks SET Nothing = 1",
      "DELETE FROM Cracks WHERE Nothing = 1",
      "UPDATE Cracks SET Priority = 1 WHERE (((",
      "INSERT INTO Cracks VALUES (",
      "SELECT Url FROM Cracks WHERE Url IN (SELECT Url FROM Cracks WHERE Url IN (SELECT",
      "DROP TABLE Nothing",
  };
  for (const std::string& sql : inputs) {
    std::string out = Run(sql);
    EXPECT_EQ(out.rfind("ERR 11949 SQL error - ", 0), 0u) << sql.substr(0, 80) << " -> " << out;
  }
  // The long string constant is a valid statement that finds nothing.
  EXPECT_EQ(Run(longText), "Url");
  EXPECT_EQ(Dump(), before);
  EXPECT_TRUE(Files(private_.path()).empty());
}

TEST_F(Sql, ExecuteStatementRunsASelectWithoutAResult) {
  TStoreQuery q(session_);
  q.SetDatabaseName(dir_.path());
  q.SetSQL("SELECT Url FROM Cracks WHERE Killed = True");
  q.ExecuteStatement();
  EXPECT_FALSE(q.Active());
  EXPECT_EQ(q.RowsAffected(), 2);
  EXPECT_GE(q.ExecutionTime(), 0.0);
  EXPECT_TRUE(Files(private_.path()).empty());
}

TEST_F(Sql, DeleteMeetingARecordLockedElsewhereFailsWith10258AndKeepsEarlierDeletes) {
  // The other program edits http://e.example (the last dead site in Url order is not
  // necessarily the last in physical order; the slot order here is insertion order).
  TChild child([&](TChild& self) {
    TStoreSession session;
    TStoreTable t(session);
    t.SetDatabaseName(dir_.path());
    t.SetTableName("cracks.DAT");
    t.Open();
    CHILD_CHECK(t.FindKey({"http://e.example"}));
    t.Edit();
    self.Send("editing");
    self.Receive();
    t.Cancel();
    return 0;
  });
  ASSERT_EQ(child.Receive(), "editing");
  session_.SetLockRetryCount(3);
  session_.SetLockWaitTime(20);
  EXPECT_EQ(Run("DELETE FROM Cracks WHERE Dead = True"),
            "ERR 10258 Record in table 'Cracks' is in use by another user");
  child.Send("done");
  EXPECT_EQ(child.Wait(), 0);
  // b.example (inserted first) was deleted before the locked record was met.
  EXPECT_EQ(Run("SELECT Url FROM Cracks WHERE Dead = True"), "Url\nhttp://e.example");
  EXPECT_EQ(Run("SELECT Count(*) FROM Cracks"), "Count Of *\n4");
}

// The kind of a statement is read by the parser, never by looking for words in the text.
TEST_F(Sql, StatementKindIsTheStatementsOwn) {
  struct Case {
    const char* text;
    TSqlStatementKind kind;
  } cases[] = {
      {"SELECT LastUpdate FROM Cracks", TSqlStatementKind::Select},
      {"select 'DELETE', 'INSERT' AS UpdateText from Cracks;", TSqlStatementKind::Select},
      {"INSERT INTO Cracks (Url) VALUES ('x')", TSqlStatementKind::Insert},
      {"  update Cracks SET Notes = 'SELECT'", TSqlStatementKind::Update},
      {"DELETE FROM Cracks WHERE Url = 'x'", TSqlStatementKind::Delete},
      {"CREATE TABLE t (a INTEGER)", TSqlStatementKind::CreateTable},
      {"ALTER TABLE t ADD b INTEGER", TSqlStatementKind::AlterTable},
      {"DROP TABLE t", TSqlStatementKind::DropTable},
      {"CREATE UNIQUE NOCASE INDEX i ON t (a)", TSqlStatementKind::CreateIndex},
      {"DROP INDEX t.i", TSqlStatementKind::DropIndex},
  };
  for (const Case& c : cases) EXPECT_EQ(SqlStatementKind(c.text, session_), c.kind) << c.text;
  for (const char* bad :
       {"", "  \r\n", "SHOW TABLES", "SELECT FROM", "SELECT Url FROM Cracks x y"}) {
    EXPECT_THROW(SqlStatementKind(bad, session_), EStoreEngineError) << bad;
    try {
      SqlStatementKind(bad, session_);
    } catch (const EStoreEngineError& e) {
      EXPECT_EQ(e.ErrorCode(), StoreCode::SqlError);
    }
  }
}

// A result can be read by a second cursor of the same program (a grid does), and the query
// tells its listener when the result opens and before it goes away.
TEST_F(Sql, ResultOpensForASecondReaderAndReportsItsChanges) {
  TStoreQuery q(session_);
  q.SetDatabaseName(dir_.path());
  std::vector<TStoreTable*> seen;
  q.OnResultChange = [&](TStoreTable* t) {
    seen.push_back(t);
    if (!t) {
      EXPECT_TRUE(q.Active()) << "told before the result closes";
    }
  };
  q.SetSQL("SELECT Url FROM Cracks ORDER BY Url");
  q.Open();
  ASSERT_EQ(seen, std::vector<TStoreTable*>{&q.Result()});
  TStoreTable reader(session_);
  reader.SetDatabaseName(q.Result().DatabaseName());
  reader.SetTableName(q.Result().TableName());
  reader.SetReadOnly(true);
  reader.Open();
  EXPECT_EQ(reader.RecordCount(), q.RecordCount());
  reader.Close();
  q.SetSQL("UPDATE Cracks SET Notes = 'x' WHERE Url = ''");
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen.back(), nullptr);
  // Not a SELECT: Open does not run it and says so.
  try {
    q.Open();
    ADD_FAILURE() << "opened";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Error creating table handle.");
  }
  EXPECT_EQ(seen.size(), 2u);
}

TEST_F(Sql, TablesLeftByACrashedProgramAreRemovedByTheNextSession) {
  // A program opens a result and is killed.
  {
    TChild child([&](TChild& self) {
      TStoreSession session;
      session.SetPrivateDir(private_.path());
      TStoreQuery q(session);
      q.SetDatabaseName(dir_.path());
      q.SetSQL("SELECT Url FROM Cracks");
      q.Open();
      self.Send("open");
      self.Receive();
      return 0;
    });
    ASSERT_EQ(child.Receive(), "open");
    EXPECT_EQ(Files(private_.path()).size(), 3u);  // .DAT, .IDX and the journal .JNL
    // While it lives, its table is not touched, however old.
    for (const std::string& name : Files(private_.path())) {
      utimbuf old{::time(nullptr) - 3600, ::time(nullptr) - 3600};
      ::utime(private_.file(name).c_str(), &old);
    }
    EXPECT_EQ(RemoveStaleTemporaryTables(private_.path()), 0);
    child.Kill();
    child.Wait();
  }
  EXPECT_EQ(Files(private_.path()).size(), 3u);
  // The next program that uses the folder removes it.
  TChild next([&](TChild&) {
    TStoreSession session;
    session.SetPrivateDir(private_.path());
    TStoreQuery q(session);
    q.SetDatabaseName(dir_.path());
    q.SetSQL("SELECT Url FROM Cracks");
    q.Open();
    CHILD_CHECK(q.RecordCount() == 5);
    CHILD_CHECK(Files(private_.path()).size() == 3u);  // only its own
    return 0;
  });
  EXPECT_EQ(next.Wait(), 0);
  EXPECT_TRUE(Files(private_.path()).empty());
}

}  // namespace

namespace {

// ALTER TABLE runs through the table's restructure: a table of statements -> result, run in
// order on the ISP table (each case sees what the cases before it made).
TEST_F(Sql, AlterTableChangesTheStructure) {
  const TCase cases[] = {
      {"ALTER TABLE Isps ADD Country CHAR(2) AT 2, REDEFINE Emails CHAR(120)", "ROWS 0"},
      {"SELECT * FROM Isps WHERE Domain = 'isp-one.net'",
       "Domain|Country|Emails\nisp-one.net|NULL|abuse@one"},
      {"ALTER TABLE Isps ADD PRIMARY KEY (Country)",
       "ERR 11949 SQL error - Cannot REDEFINE the primary key using the ADD keyword"},
      {"ALTER TABLE Isps ADD Zone CHAR(2) AT 9",
       "ERR 11949 SQL error - AT column position must be between 1 and 4"},
      {"ALTER TABLE Isps ADD Zone CHAR(2) AT 0",
       "ERR 11949 SQL error - AT column position must be between 1 and 4"},
      {"ALTER TABLE Isps ADD COLUMN Zone CHAR(4) DEFAULT 'EU' AT 4", "ROWS 0"},
      {"SELECT * FROM Isps WHERE Domain = 'isp-two.net'",
       "Domain|Country|Emails|Zone\nisp-two.net|NULL|abuse@two|NULL"},
      {"ALTER TABLE Isps REDEFINE Zone Region CHAR(6)", "ROWS 0"},
      {"SELECT Region FROM Isps WHERE Domain = 'isp-two.net'", "Region\nNULL"},
      {"ALTER TABLE Isps REDEFINE Region Emails CHAR(6)",
       "ERR 11949 SQL error - Duplicate column name 'Emails' specified in SQL statement"},
      {"ALTER TABLE Isps DROP Missing",
       "ERR 11949 SQL error - Invalid column name 'Missing' or table correlation name '' "
       "specified in SQL statement"},
      {"ALTER TABLE Nowhere DROP Country",
       "ERR 11949 SQL error - Table 'Nowhere' does not exist in SQL statement"},
      {"ALTER TABLE Isps DROP Country, DROP COLUMN Region NOBACKUP", "ROWS 0"},
      {"SELECT * FROM Isps WHERE Domain = 'isp-one.net'", "Domain|Emails\nisp-one.net|abuse@one"},
      {"ALTER TABLE Isps DROP PRIMARY KEY", "ROWS 0"},
      {"INSERT INTO Isps (Domain, Emails) VALUES ('isp-one.net', 'second')", "ROWS 1"},
      {"ALTER TABLE Isps ADD PRIMARY KEY (Domain)",
       "ERR 11949 SQL error - ALTER TABLE would leave out records of table 'Isps'"},
      {"SELECT Domain, Emails FROM Isps WHERE Domain = 'isp-one.net' ORDER BY Emails",
       "Domain|Emails\nisp-one.net|abuse@one\nisp-one.net|second"},
      {"DELETE FROM Isps WHERE Emails = 'second'", "ROWS 1"},
      {"ALTER TABLE Isps ADD CONSTRAINT Key NOCASE PRIMARY KEY (Domain) COMPRESS FULL", "ROWS 0"},
      {"INSERT INTO Isps (Domain, Emails) VALUES ('ISP-ONE.NET', 'third')",
       "ERR 9729 Duplicate key found in index 'Primary' of table 'Isps'"},
      {"ALTER TABLE Isps REDEFINE PRIMARY KEY (Emails)", "ROWS 0"},
      {"INSERT INTO Isps (Domain, Emails) VALUES ('ISP-ONE.NET', 'third')", "ROWS 1"},
      // In the order of the new primary key (Emails).
      {"SELECT Domain FROM Isps", "Domain\nisp-one.net\nisp-two.net\nisp-three.net\nISP-ONE.NET"},
      {"ALTER TABLE Isps REDEFINE Emails CHAR(60) DESCRIPTION 'Mail' USER MAJOR VERSION 7 "
       "LAST AUTOINC 100",
       "ROWS 0"},
      {"CREATE TABLE Counted (Id AUTOINC, Name CHAR(10))", "ROWS 0"},
      {"INSERT INTO Counted (Name) VALUES ('one')", "ROWS 1"},
      {"ALTER TABLE Counted ADD Note CHAR(5) LAST AUTOINC 100", "ROWS 0"},
      {"INSERT INTO Counted (Name) VALUES ('two')", "ROWS 1"},
      {"SELECT Id, Name, Note FROM Counted ORDER BY Id", "Id|Name|Note\n1|one|NULL\n101|two|NULL"},
      {"ALTER TABLE Isps DROP Emails extra",
       "ERR 11949 SQL error - End of ALTER TABLE statement expected, instead found 'extra'"},
  };
  for (const TCase& c : cases) {
    const std::string out = Run(c.sql);
    if (std::string(c.expected).starts_with("ERR 11949 SQL error - ALTER TABLE would leave out"))
      EXPECT_EQ(out.substr(0, std::string(c.expected).size()), c.expected) << c.sql << "\n" << out;
    else
      EXPECT_EQ(out, c.expected) << c.sql;
  }
  TStoreTable isps(session_);
  isps.SetDatabaseName(dir_.path());
  isps.SetTableName("Isps");
  isps.Open();
  EXPECT_EQ(isps.UserMajorVersion(), 7);
  isps.Close();
  // Restructures without NOBACKUP keep the old files beside the table.
  const std::vector<std::string> files = Files(dir_.path());
  EXPECT_NE(std::find(files.begin(), files.end(), "isps.DBK"), files.end());
}

// ALTER TABLE needs the table to itself: another program holding it open gets 11013 and the
// table keeps its structure.
TEST_F(Sql, AlterTableWaitsForNobody) {
  TChild child([&](TChild& self) {
    TStoreSession session;
    TStoreTable isps(session);
    isps.SetDatabaseName(dir_.path());
    isps.SetTableName("Isps");
    isps.Open();
    self.Send("open");
    self.Receive();
    return 0;
  });
  ASSERT_EQ(child.Receive(), "open");
  const std::string out = Run("ALTER TABLE Isps DROP Emails");
  EXPECT_EQ(out.substr(0, 10), "ERR 11013 ") << out;
  child.Kill();
  child.Wait();
  EXPECT_EQ(Run("SELECT * FROM Isps WHERE Domain = 'isp-two.net'"),
            "Domain|Emails\nisp-two.net|abuse@two");
}

}  // namespace

namespace {

// NOAUTOINC keeps the auto-increment values a statement gives (INSERT and UPDATE); without it
// they are assigned as usual. A value another record has, live or deleted, is refused; the
// counter moves past given values, and the table's files stay sound.
TEST_F(Sql, NoAutoIncKeepsTheGivenValues) {
  const TCase cases[] = {
      {"CREATE TABLE Numbered (Id AUTOINC, Name CHAR(10), PRIMARY KEY (Name))", "ROWS 0"},
      {"CREATE INDEX ById ON Numbered (Id)", "ROWS 0"},
      {"INSERT INTO Numbered (Name) VALUES ('a')", "ROWS 1"},
      {"INSERT INTO Numbered (Id, Name) VALUES (50, 'b')", "ROWS 1"},
      {"INSERT INTO Numbered (Id, Name) VALUES (50, 'c') NOAUTOINC", "ROWS 1"},
      {"INSERT INTO Numbered (Name) VALUES ('d')", "ROWS 1"},
      {"SELECT Id, Name FROM Numbered ORDER BY Id", "Id|Name\n1|a\n2|b\n50|c\n51|d"},
      {"INSERT INTO Numbered (Id, Name) VALUES (50, 'e') NOAUTOINC",
       "ERR 9729 Duplicate key found in index 'Id' of table 'Numbered'"},
      {"INSERT INTO Numbered (Id, Name) VALUES (0, 'e') NOAUTOINC",
       "ERR 11949 SQL error - NOAUTOINC value 0 for column 'Id' must be between 1 and "
       "2147483647"},
      {"INSERT INTO Numbered (Id, Name) VALUES (2.5, 'e') NOAUTOINC",
       "ERR 11949 SQL error - NOAUTOINC value for column 'Id' must be a whole number"},
      {"UPDATE Numbered SET Id = 70 WHERE Name = 'a' NOAUTOINC", "ROWS 1"},
      {"UPDATE Numbered SET Id = 80 WHERE Name = 'b'", "ROWS 1"},
      {"UPDATE Numbered SET Id = 51 WHERE Name = 'c' NOAUTOINC",
       "ERR 9729 Duplicate key found in index 'Id' of table 'Numbered'"},
      {"SELECT Id, Name FROM Numbered WHERE Id = 70", "Id|Name\n70|a"},
      {"SELECT Id, Name FROM Numbered WHERE Id = 1", "Id|Name"},
      {"INSERT INTO Numbered (Name) VALUES ('f')", "ROWS 1"},
      {"DELETE FROM Numbered WHERE Name = 'f'", "ROWS 1"},
      // The deleted record's slot is taken again, and its value with it.
      {"INSERT INTO Numbered (Id, Name) VALUES (71, 'g') NOAUTOINC", "ROWS 1"},
      {"INSERT INTO Numbered (Id, Name) SELECT Id + 100, Name + 'x' FROM Numbered NOAUTOINC",
       "ROWS 5"},
      {"INSERT INTO Numbered (Name) VALUES ('h')", "ROWS 1"},
      {"SELECT Id, Name FROM Numbered ORDER BY Id",
       "Id|Name\n2|b\n50|c\n51|d\n70|a\n71|g\n102|bx\n150|cx\n151|dx\n170|ax\n171|gx\n172|h"},
      // Without key fields deleted slots are not taken again; their values stay refused.
      {"CREATE TABLE Plain (Id AUTOINC, Name CHAR(10))", "ROWS 0"},
      {"INSERT INTO Plain (Name) VALUES ('a')", "ROWS 1"},
      {"DELETE FROM Plain", "ROWS 1"},
      {"INSERT INTO Plain (Id, Name) VALUES (1, 'b') NOAUTOINC",
       "ERR 9729 Duplicate key found in index 'Id' of table 'Plain'"},
      {"INSERT INTO Plain (Id, Name) VALUES (5, 'b') NOAUTOINC", "ROWS 1"},
      {"DELETE FROM Plain", "ROWS 1"},
      {"INSERT INTO Plain (Name) VALUES ('c')", "ROWS 1"},
      {"SELECT Id, Name FROM Plain", "Id|Name\n6|c"},
  };
  for (const TCase& c : cases) EXPECT_EQ(Run(c.sql), c.expected) << c.sql;
  for (const char* name : {"Numbered", "Plain"}) {
    TStoreTable table(session_);
    table.SetDatabaseName(dir_.path());
    table.SetTableName(name);
    std::string log;
    table.OnRepairLog = [&](TStoreTable&, const std::string& line) { log += line + "\n"; };
    EXPECT_TRUE(table.Verify()) << name << "\n" << log;
  }
}

}  // namespace

// Sources listed with commas are joined as JOIN ... ON would join them: WHERE's equalities are
// their join conditions, so no cross product is built before WHERE.
TEST_F(Sql, CommaJoinsGiveTheRowsOfTheirJoinForm) {
  const struct {
    const char* comma;
    const char* join;
  } pairs[] = {
      {"SELECT c.Url, i.Emails FROM Cracks c, Isps i WHERE i.Domain = c.Notes ORDER BY Url",
       "SELECT c.Url, i.Emails FROM Cracks c JOIN Isps i ON i.Domain = c.Notes ORDER BY Url"},
      {"SELECT c.Url, i.Emails FROM Cracks c, Isps i WHERE c.Notes = i.Domain AND c.Killed "
       "ORDER BY Url",
       "SELECT c.Url, i.Emails FROM Cracks c JOIN Isps i ON c.Notes = i.Domain WHERE c.Killed "
       "ORDER BY Url"},
      {"SELECT i.Domain, c.Url FROM Isps i, Cracks c WHERE c.Notes = i.Domain OR c.Priority = 3 "
       "ORDER BY 1, 2",
       "SELECT i.Domain, c.Url FROM Isps i JOIN Cracks c ON c.Notes = i.Domain OR c.Priority = 3 "
       "ORDER BY 1, 2"},
      {"SELECT a.Url, b.Url FROM Cracks a, Cracks b, Isps i WHERE a.Notes = b.Notes AND "
       "a.Url < b.Url AND i.Domain = b.Notes",
       "SELECT a.Url, b.Url FROM Cracks a JOIN Cracks b ON a.Notes = b.Notes AND a.Url < b.Url "
       "JOIN Isps i ON i.Domain = b.Notes"},
      {"SELECT c.Url, i.Emails, d.Url FROM Cracks c, Isps i LEFT JOIN Cracks d ON d.Notes = "
       "i.Domain AND d.Url <> c.Url WHERE i.Domain = c.Notes ORDER BY 1, 3",
       "SELECT c.Url, i.Emails, d.Url FROM Cracks c JOIN Isps i ON i.Domain = c.Notes LEFT JOIN "
       "Cracks d ON d.Notes = i.Domain AND d.Url <> c.Url ORDER BY 1, 3"},
      {"SELECT Count(*) FROM Cracks c, Isps i WHERE i.Domain > 'isp-p'",
       "SELECT Count(*) FROM Cracks c JOIN Isps i ON i.Domain > 'isp-p'"},
      {"SELECT c.Url FROM Cracks c, Isps i WHERE 1 = 2", "SELECT c.Url FROM Cracks c WHERE 1 = 2"},
  };
  for (const auto& p : pairs) {
    const std::string join = Run(p.join);
    EXPECT_EQ(join.rfind("ERR", 0), std::string::npos) << p.join << " -> " << join;
    EXPECT_EQ(Run(p.comma), join) << p.comma;
  }
  EXPECT_EQ(Run("SELECT c.Url, i.Emails FROM Cracks c, Isps i WHERE i.Domain = c.Notes ORDER BY "
                "Url"),
            "Url|Emails\nhttp://a.example|abuse@two\nhttp://b.example|abuse@one\n"
            "http://d.example|abuse@one");

  // Twelve tables of ten rows linked by WHERE: ten rows, not 10^12 combinations.
  std::string from, where;
  for (int t = 1; t <= 12; ++t) {
    const std::string n = std::to_string(t);
    ASSERT_EQ(Run("CREATE TABLE T" + n + " (K INTEGER, V CHAR(10))"), "ROWS 0");
    for (int r = 0; r < 10; ++r)
      ASSERT_EQ(Run("INSERT INTO T" + n + " VALUES (" + std::to_string(r) + ", 'v" + n + "')"),
                "ROWS 1");
    from += (t > 1 ? ", T" : "T") + n + " a" + n;
    if (t > 1) where += (t > 2 ? " AND a" : "a") + std::to_string(t - 1) + ".K = a" + n + ".K";
  }
  EXPECT_EQ(Run("SELECT a1.K, a12.V FROM " + from + " WHERE " + where + " AND a5.K < 3 ORDER BY 1"),
            "K|V\n0|v12\n1|v12\n2|v12");
  EXPECT_EQ(Run("SELECT Count(*) FROM " + from + " WHERE " + where), "Count Of *\n10");
}

// A statement whose rows would pass the memory limit fails with an SQL error naming it, not with
// the process's memory exhausted.
TEST_F(Sql, RowsBeyondTheMemoryLimitFailTheStatement) {
  std::string from;
  for (int t = 1; t <= 9; ++t) {
    const std::string n = std::to_string(t);
    ASSERT_EQ(Run("CREATE TABLE T" + n + " (K INTEGER)"), "ROWS 0");
    for (int r = 0; r < 10; ++r)
      ASSERT_EQ(Run("INSERT INTO T" + n + " VALUES (" + std::to_string(r) + ")"), "ROWS 1");
    from += (t > 1 ? ", T" : "T") + n;
  }
  const size_t saved = SqlMemoryLimit();
  SetSqlMemoryLimit(size_t{64} * 1024 * 1024);
  const std::string out = Run("SELECT Count(*) FROM " + from);
  const std::string ordered = Run("SELECT T1.K FROM T1, T2, T3, T4, T5, T6, T7 ORDER BY 1");
  SetSqlMemoryLimit(saved);
  EXPECT_EQ(out,
            "ERR 11949 SQL error - The rows of the SQL statement need more than 64 MB of memory; "
            "narrow its WHERE or join conditions");
  EXPECT_EQ(ordered.rfind("ERR 11949 SQL error - The rows of the SQL statement need more", 0), 0u)
      << ordered.substr(0, 200);
  // Within the limit the same kind of statement runs.
  EXPECT_EQ(Run("SELECT Count(*) FROM T1, T2, T3"), "Count Of *\n1000");
  EXPECT_TRUE(Files(private_.path()).empty());
}

// Integer arithmetic gives INTEGER (32 bits); a result beyond it, or a CAST beyond its target,
// fails naming the value instead of giving NULL.
TEST_F(Sql, IntegerOverflowFailsNamingTheValue) {
  const std::string c = " FROM Cracks WHERE Url = 'http://c.example'";  // Priority 3
  const TCase cases[] = {
      {"SELECT (Priority + 29997) * 100000 AS V",
       "ERR 11949 SQL error - Integer overflow: 30000 * 100000 gives 3000000000, outside the "
       "range of INTEGER (-2147483648 to 2147483647) in SQL statement"},
      {"SELECT 2147483647 + 1 AS V",
       "ERR 11949 SQL error - Integer overflow: 2147483647 + 1 gives 2147483648, outside the "
       "range of INTEGER (-2147483648 to 2147483647) in SQL statement"},
      {"SELECT -2147483647 - Priority AS V",
       "ERR 11949 SQL error - Integer overflow: -2147483647 - 3 gives -2147483650, outside the "
       "range of INTEGER (-2147483648 to 2147483647) in SQL statement"},
      {"SELECT CAST(99999999999 AS SMALLINT) AS V",
       "ERR 11949 SQL error - Value 99999999999 is outside the range of SMALLINT (-32768 to "
       "32767) in SQL statement"},
      {"SELECT CAST(-32769 AS SMALLINT) AS V",
       "ERR 11949 SQL error - Value -32769 is outside the range of SMALLINT (-32768 to 32767) in "
       "SQL statement"},
      {"SELECT CAST(70000 AS WORD) AS V",
       "ERR 11949 SQL error - Value 70000 is outside the range of WORD (0 to 65535) in SQL "
       "statement"},
      {"SELECT CAST('3000000000' AS INTEGER) AS V",
       "ERR 11949 SQL error - Value 3000000000 is outside the range of INTEGER (-2147483648 to "
       "2147483647) in SQL statement"},
      // Within range, and the wide result through a float.
      {"SELECT 2147483646 + 1 AS V", "V\n2147483647"},
      {"SELECT -2147483647 - 1 AS V", "V\n-2147483648"},
      {"SELECT (Priority + 29997) * 10000 AS V", "V\n300000000"},
      {"SELECT CAST(Priority + 29997 AS FLOAT) * 100000 AS V", "V\n3e+09"},
      {"SELECT CAST(32767 AS SMALLINT) AS V", "V\n32767"},
      {"SELECT CAST(-32768 AS SMALLINT) AS V", "V\n-32768"},
      {"SELECT CAST(65535 AS WORD) AS V", "V\n65535"},
      {"SELECT 1 + 2 * 3 - 4 AS V", "V\n3"},
      {"SELECT (1 + 2) * 3 - 4 AS V", "V\n5"},
  };
  for (const TCase& k : cases) EXPECT_EQ(Run(k.sql + c), k.expected) << k.sql;
  // In a WHERE condition the same.
  EXPECT_EQ(Run("SELECT Url FROM Cracks WHERE Priority * 1000000000 > 0"),
            "ERR 11949 SQL error - Integer overflow: 3 * 1000000000 gives 3000000000, outside the "
            "range of INTEGER (-2147483648 to 2147483647) in SQL statement");
  // A sum of integers is an INTEGER too.
  ASSERT_EQ(Run("CREATE TABLE Big (K INTEGER)"), "ROWS 0");
  for (int i = 0; i < 2; ++i) ASSERT_EQ(Run("INSERT INTO Big VALUES (2000000000)"), "ROWS 1");
  EXPECT_EQ(Run("SELECT Sum(K) FROM Big"),
            "ERR 11949 SQL error - Integer overflow: SUM gives 4000000000, outside the range of "
            "INTEGER (-2147483648 to 2147483647) in SQL statement");
  EXPECT_EQ(Run("SELECT Sum(CAST(K AS FLOAT)) AS S FROM Big"), "S\n4e+09");
  EXPECT_EQ(Run("SELECT Sum(K - 1500000000) AS S FROM Big"), "S\n1000000000");
}

// A flat chain is one level however long; the statement size has a stated limit.
TEST_F(Sql, FlatChainsAreNotNestingAndLongStatementsAreRefusedAtOnce) {
  std::string plus = "SELECT 0";
  for (int i = 0; i < 255; ++i) plus += " + 1";
  EXPECT_EQ(Run(plus + " AS V FROM Cracks WHERE Url = 'http://a.example'"), "V\n255");
  std::string longPlus = "SELECT 0";
  for (int i = 0; i < 100000; ++i) longPlus += " + 1";
  EXPECT_EQ(Run(longPlus + " AS V FROM Cracks WHERE Url = 'http://a.example'"), "V\n100000");
  std::string ors = "SELECT Url FROM Cracks WHERE Priority = 3";
  for (int i = 0; i < 50000; ++i) ors += " OR Priority = 9";
  EXPECT_EQ(Run(ors), "Url\nhttp://c.example");
  // Nesting is still bounded.
  EXPECT_EQ(Run("SELECT Url FROM Cracks WHERE " + std::string(300, '(') + "Priority = 3" +
                std::string(300, ')'))
                .rfind("ERR 11949 SQL error - Expression is nested more than", 0),
            0u);
  // Past the limit the text is refused before it is read.
  std::string huge = "SELECT Url FROM Cracks WHERE Priority = 3";
  while (huge.size() <= kMaxSqlStatementBytes) huge += " OR Priority = 9";
  EXPECT_EQ(Run(huge), "ERR 11949 SQL error - SQL statement is " + std::to_string(huge.size()) +
                           " bytes long; the longest accepted is " +
                           std::to_string(kMaxSqlStatementBytes) + " bytes");
  // Not a byte of it is read first: a text that would not even tokenize gets the same answer.
  const std::string unreadable = "SELECT '" + std::string(kMaxSqlStatementBytes, 'x');
  EXPECT_EQ(Run(unreadable), "ERR 11949 SQL error - SQL statement is " +
                                 std::to_string(unreadable.size()) +
                                 " bytes long; the longest accepted is " +
                                 std::to_string(kMaxSqlStatementBytes) + " bytes");
}

// A string value with a NUL byte is refused, not stored cut short at the NUL.
TEST_F(Sql, ValuesWithANulAreRefused) {
  const std::string before = Dump();
  const std::string nul("nul\0x", 5);
  const std::string inserts[] = {
      "INSERT INTO Cracks (Url, Notes) VALUES ('http://n.example', '" + nul + "')",
      "INSERT INTO Cracks (Url, Notes) VALUES ('http://n.example', 'nul' || #0 || 'x')",
      "UPDATE Cracks SET Notes = '" + nul + "' WHERE Url = 'http://a.example'",
  };
  for (const std::string& sql : inserts)
    EXPECT_EQ(Run(sql),
              "ERR 11949 SQL error - Value for column Notes holds a NUL character (code 0) at "
              "position 4, which a string column cannot hold, in SQL statement")
        << sql;
  EXPECT_EQ(Run("SELECT Url FROM Cracks WHERE Url = 'http://n.example'"), "Url");
  EXPECT_EQ(Dump(), before);
  EXPECT_EQ(Run("SELECT 'a' || #0 || 'b' AS V FROM Cracks WHERE Url = 'http://a.example'"),
            "ERR 11949 SQL error - Value for column V holds a NUL character (code 0) at position "
            "2, which a string column cannot hold, in SQL statement");
  // A value without one is stored whole.
  EXPECT_EQ(Run("INSERT INTO Cracks (Url, Notes) VALUES ('http://n.example', 'nul x')"), "ROWS 1");
  EXPECT_EQ(Run("SELECT Notes FROM Cracks WHERE Url = 'http://n.example'"), "Notes\nnul x");
}
