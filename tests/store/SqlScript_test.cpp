// Script mode of a query: splitting a text into statements, running them in order with their
// progress, and the error event that decides whether a failed statement stops the script.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "store/StoreTestTables.h"
#include "store/api/StoreQuery.h"
#include "store/api/StoreTb.h"
#include "support/TempDir.h"

using namespace quellor;
using namespace quellor::test;

namespace {

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

class SqlScript : public ::testing::Test {
 protected:
  void SetUp() override {
    session_.SetPrivateDir(private_.path());
    query_.SetDatabaseName(dir_.path());
    query_.SetSQLScript(true);
  }

  // The values of column N of table s, in order of insertion.
  std::vector<int> Values() {
    std::vector<int> values;
    TStoreTable t(session_);
    Bind(t, dir_, "s");
    t.Open();
    for (t.First(); !t.Eof(); t.Next()) values.push_back(static_cast<int>(t.Fields(0).AsInteger()));
    return values;
  }

  TempDir dir_, private_;
  TStoreSession session_;
  TStoreQuery query_{session_};
};

}  // namespace

TEST(SqlScriptSplit, StatementsAndWhereTheyStand) {
  struct TCase {
    const char* text;
    std::vector<std::string> statements;  // text @ line:column
  };
  const TCase cases[] = {
      {"", {}},
      {" ; ;\n ", {}},
      {"SELECT 1 FROM t", {"SELECT 1 FROM t@1:1"}},
      {"A;B", {"A@1:1", "B@1:3"}},
      {"A;\n  B;", {"A@1:1", "B@2:3"}},
      // Separators inside strings, names and comments do not count.
      {"X 'a;b';Y", {"X 'a;b'@1:1", "Y@1:9"}},
      {"X \"a;\"\";b\";Y", {"X \"a;\"\";b\"@1:1", "Y@1:12"}},
      {"X 'it''s;';Y", {"X 'it''s;'@1:1", "Y@1:12"}},
      {"X [E;mails];Y", {"X [E;mails]@1:1", "Y@1:13"}},
      {"/* a; b */ X; /* only a comment */ ; Y", {"X@1:12", "Y@1:38"}},
      // A string left open runs to the end.
      {"X 'open; Y", {"X 'open; Y@1:1"}},
      {"X /* open; Y", {"X /* open; Y@1:1"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> got;
    int number = 0;
    for (const TSqlScriptStatement& s : SplitSqlScript(c.text)) {
      EXPECT_EQ(s.Number, ++number);
      EXPECT_EQ(std::string(c.text).substr(s.Offset, s.Text.size()), s.Text);
      got.push_back(s.Text + "@" + std::to_string(s.Line) + ":" + std::to_string(s.Column));
    }
    EXPECT_EQ(got, c.statements);
  }
}

// A script of 1,000 statements with one bad statement in the middle: the error event sees it
// with its position, and its answer decides whether the rest runs.
TEST_F(SqlScript, ErrorEventDecidesWhetherTheScriptGoesOn) {
  constexpr int kStatements = 1000;
  constexpr int kBad = 500;  // statement number of the bad one
  std::string script = "CREATE TABLE s (N INTEGER);\n";
  for (int i = 2; i <= kStatements; ++i) {
    if (i == kBad)
      script += "INSERT INTO s VALUES ('not a number', 2);\n";
    else
      script += "INSERT INTO s VALUES (" + std::to_string(i) + ");\n";
  }
  enum class THandler { None, GoOn, Stop };
  struct TCase {
    THandler handler;
    bool fails;
    int rows;           // in s afterwards
    int progressCalls;  // OnSaveProgress
    int lastPercent;
  };
  const TCase cases[] = {
      {THandler::None, true, kBad - 2, kBad - 1, 49},
      {THandler::Stop, true, kBad - 2, kBad - 1, 49},
      {THandler::GoOn, false, kStatements - 2, kStatements, 100},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.handler));
    Message([&] {
      TStoreQuery drop(session_);
      drop.SetDatabaseName(dir_.path());
      drop.SetSQL("DROP TABLE s");
      drop.ExecuteStatement();
    });
    std::vector<TSqlScriptStatement> errors;
    std::vector<std::string> errorTexts;
    int progressCalls = 0, lastPercent = -1, lastRecord = 0;
    query_.OnScriptError = nullptr;
    if (c.handler != THandler::None) {
      query_.OnScriptError = [&](TStoreQuery& q, const std::exception& e, bool& abort) {
        EXPECT_TRUE(abort) << "stopping is the default";
        errors.push_back(q.ScriptStatement());
        errorTexts.push_back(e.what());
        abort = c.handler == THandler::Stop;
      };
    }
    query_.OnSaveProgress = [&](TStoreQuery&, int record, int16_t percent) {
      ++progressCalls;
      EXPECT_EQ(record, lastRecord + 1);
      EXPECT_GE(percent, lastPercent);
      lastRecord = record;
      lastPercent = percent;
    };
    query_.SetSQL(script);
    const std::string failure = Message([&] { query_.ExecuteStatement(); });
    EXPECT_EQ(!failure.empty(), c.fails) << failure;
    if (c.handler != THandler::None) {
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_EQ(errors[0].Number, kBad);
      EXPECT_EQ(errors[0].Line, kBad);
      EXPECT_EQ(errors[0].Column, 1);
      EXPECT_EQ(errors[0].Text, "INSERT INTO s VALUES ('not a number', 2)");
      EXPECT_NE(errorTexts[0].find("The number of values must match"), std::string::npos)
          << errorTexts[0];
      if (c.fails) {
        EXPECT_EQ(failure, errorTexts[0]);
      }
    }
    EXPECT_EQ(query_.ScriptErrors(), c.handler == THandler::GoOn ? 1 : 0);
    EXPECT_EQ(progressCalls, c.progressCalls);
    EXPECT_EQ(lastPercent, c.lastPercent);
    const std::vector<int> values = Values();
    ASSERT_EQ(static_cast<int>(values.size()), c.rows);
    EXPECT_EQ(values.front(), 2);
    EXPECT_EQ(values.back(), c.fails ? kBad - 1 : kStatements);
  }
}

// Open runs the whole script and shows the last SELECT's result; a script without a SELECT
// does not run; parameters are taken in order across the statements.
TEST_F(SqlScript, OpenShowsTheLastSelect) {
  struct TCase {
    const char* script;
    std::vector<int> params;
    const char* error;    // of Open; "" for none
    const char* columns;  // of the result
    int rows;
    std::vector<int> values;  // of s afterwards
  };
  const TCase cases[] = {
      {"CREATE TABLE s (N INTEGER); INSERT INTO s VALUES (1); SELECT N FROM s;"
       "INSERT INTO s VALUES (2); SELECT N AS Twice FROM s WHERE N = 2",
       {},
       "",
       "Twice",
       1,
       {1, 2}},
      {"CREATE TABLE s (N INTEGER); INSERT INTO s VALUES (?); INSERT INTO s VALUES (?);"
       "SELECT N FROM s WHERE N > ?",
       {5, 6, 5},
       "",
       "N",
       1,
       {5, 6}},
      // The last SELECT fails and is passed over: the one before it is shown.
      {"CREATE TABLE s (N INTEGER); INSERT INTO s VALUES (3); SELECT N FROM s;"
       "SELECT Nope FROM s",
       {},
       "",
       "N",
       1,
       {3}},
      // No SELECT at all: nothing runs.
      {"CREATE TABLE s (N INTEGER); INSERT INTO s VALUES (1)",
       {},
       "Error creating table handle.",
       "",
       0,
       {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.script);
    Message([&] {
      TStoreQuery drop(session_);
      drop.SetDatabaseName(dir_.path());
      drop.SetSQL("DROP TABLE s");
      drop.ExecuteStatement();
    });
    query_.OnScriptError = [](TStoreQuery&, const std::exception&, bool& abort) { abort = false; };
    query_.SetSQL(c.script);
    for (size_t i = 0; i < c.params.size(); ++i)
      query_.Params().Items(static_cast<int>(i)).SetAsInteger(c.params[i]);
    EXPECT_EQ(Message([&] { query_.Open(); }), c.error);
    if (*c.error) {
      EXPECT_FALSE(query_.Active());
      EXPECT_THROW(Values(), EStoreEngineError);  // not even the CREATE ran
      continue;
    }
    ASSERT_TRUE(query_.Active());
    EXPECT_EQ(query_.Fields(0).FieldName(), c.columns);
    EXPECT_EQ(query_.RecordCount(), c.rows);
    query_.Close();
    EXPECT_EQ(Values(), c.values);
  }
}

// Outside script mode a text of two statements is one bad statement.
TEST_F(SqlScript, OnlyScriptModeRunsSeveralStatements) {
  query_.SetSQLScript(false);
  query_.SetSQL("CREATE TABLE s (N INTEGER); INSERT INTO s VALUES (1)");
  EXPECT_THROW(query_.ExecuteStatement(), EStoreEngineError);
  EXPECT_THROW(Values(), EStoreEngineError);
  query_.SetSQLScript(true);
  query_.ExecuteStatement();
  EXPECT_EQ(Values(), std::vector<int>{1});
}
