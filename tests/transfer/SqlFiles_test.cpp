// SQL query files on a real program folder: which statements open and which execute, what
// DataSourceQ1 then holds, errors that leave the previous result in place, bad files, and the
// text editor the two editing commands start.
#include "transfer/SqlFiles.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <thread>

#include "platform/Shell.h"
#include "store/api/StoreError.h"
#include "support/ScopedEnvironment.h"
#include "support/WaitUntil.h"
#include "transfer/ImportTestSupport.h"

using namespace quellor;
using namespace quellor::test;

namespace {

class SqlFileTest : public ImportFixture {
 protected:
  void SetUp() override {
    ImportFixture::SetUp();
    AddSite("http://a.test/", false, "one");
    AddSite("http://b.test/", false, "two");
    AddSite("http://c.test/", true, "three");
  }
  // Writes the statement to a file and runs "&Open SQL file" on it.
  bool Run(const std::string& text, const std::string& name = "q.sql") {
    WriteFileBytes(dir.file(name), text);
    ui.fileAnswers.push_back(dir.file(name));
    return OpenSQLfile(*dm, ui);
  }
  int ShownRows() {
    TStoreTable* t = dm->DataSourceQ1.DataSet();
    return t && t->Active() ? t->RecordCount() : -1;
  }
  std::string EngineError(const std::string& text) {
    try {
      Run(text);
    } catch (const EStoreEngineError& e) {
      return e.what();
    }
    return "no error";
  }
};

// Statements that return rows open, whatever words they hold; the others execute.
TEST_F(SqlFileTest, KindDecidesBetweenOpeningAndExecuting) {
  struct Case {
    const char* text;
    int rows;  // rows shown through DataSourceQ1; -1: none (executed)
  } cases[] = {
      {"SELECT Url FROM Cracks", 3},
      {"select Url AS LastUpdate from Cracks where Killed = False;", 2},
      {"SELECT Url FROM Cracks WHERE Notes <> 'DELETE me' AND Notes <> 'insert'", 3},
      {"SELECT Url, 'UPDATE' AS Word FROM Cracks WHERE Url = 'http://a.test/'", 1},
      {"\r\n  SELECT\r\nUrl\r\nFROM Cracks\r\n", 3},
      {"\xEF\xBB\xBFSELECT Url FROM Cracks", 3},
      {"UPDATE Cracks SET Priority = 4 WHERE Killed = False", -1},
      {"CREATE TABLE Extra (Name CHAR(10))", -1},
      {"INSERT INTO Extra (Name) VALUES ('x')", -1},
      {"DELETE FROM Extra", -1},
      {"DROP TABLE Extra", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_TRUE(Run(c.text));
    EXPECT_EQ(ShownRows(), c.rows);
    EXPECT_EQ(dm->qry1.Active(), c.rows >= 0);
  }
  dm->qry1.SetSQL("SELECT Count(Url) AS N FROM Cracks WHERE Priority = 4");
  dm->qry1.Open();
  EXPECT_EQ(dm->qry1.FieldByName("N").AsInteger(), 2);
}

// The statement runs under the busy cursor, which is off again afterwards, also after an error.
TEST_F(SqlFileTest, StatementRunsUnderTheBusyCursor) {
  struct CountingUi : FakeUi {
    int begun = 0;
    void BeginBusy() override {
      FakeUi::BeginBusy();
      ++begun;
    }
  } counting;
  WriteFileBytes(dir.file("q.sql"), "SELECT Url FROM Cracks");
  counting.fileAnswers.push_back(dir.file("q.sql"));
  EXPECT_TRUE(OpenSQLfile(*dm, counting));
  WriteFileBytes(dir.file("bad.sql"), "SELECT Nope FROM Cracks");
  counting.fileAnswers.push_back(dir.file("bad.sql"));
  EXPECT_THROW(OpenSQLfile(*dm, counting), EStoreEngineError);
  EXPECT_EQ(counting.begun, 2);
  EXPECT_EQ(counting.busyDepth, 0);
  EXPECT_FALSE(counting.progressShown);
}

TEST_F(SqlFileTest, SelectOfAColumnNamedLastUpdateShowsItsRows) {
  ASSERT_TRUE(Run("CREATE TABLE Notes (Title CHAR(20), LastUpdate TIMESTAMP)"));
  ASSERT_TRUE(Run("INSERT INTO Notes (Title, LastUpdate) VALUES ('x', '2026-01-02 03:04:05')"));
  ASSERT_TRUE(Run("SELECT Title, LastUpdate FROM Notes"));
  ASSERT_EQ(ShownRows(), 1);
  EXPECT_EQ(dm->DataSourceQ1.DataSet()->FieldByName("Title").AsString(), "x");
}

TEST_F(SqlFileTest, RejectedStatementKeepsTheResultShownBefore) {
  ASSERT_TRUE(Run("SELECT Url FROM Cracks WHERE Killed = False"));
  TStoreTable* shown = dm->DataSourceQ1.DataSet();
  ASSERT_EQ(ShownRows(), 2);
  std::string error = EngineError("SELEC Url FROM Cracks");
  EXPECT_EQ(error,
            "Store Engine Error # 11949 SQL error - SELECT, INSERT, UPDATE, DELETE, CREATE, "
            "ALTER, or DROP keyword expected, instead found 'SELEC'");
  EXPECT_NE(EngineError("SELECT Url FROM Cracks WHERE"), "no error");
  EXPECT_EQ(dm->DataSourceQ1.DataSet(), shown);
  EXPECT_EQ(ShownRows(), 2);
  EXPECT_EQ(dm->qry1.SQL(), "SELECT Url FROM Cracks WHERE Killed = False");
}

TEST_F(SqlFileTest, CancelledDialogAndMissingFileDoNothing) {
  ui.fileAnswers.push_back(std::nullopt);
  EXPECT_FALSE(OpenSQLfile(*dm, ui));
  ui.fileAnswers.push_back(dir.file("does-not-exist.sql"));
  EXPECT_FALSE(OpenSQLfile(*dm, ui));
  ui.fileAnswers.push_back(dir.path());  // a folder is no file
  EXPECT_FALSE(OpenSQLfile(*dm, ui));
  EXPECT_EQ(ui.calls, (std::vector<std::string>{"open: ", "open: ", "open: "}));
  EXPECT_FALSE(dm->qry1.Active());
  // A name typed without its extension finds the .SQL file.
  WriteFileBytes(dir.file("mine.SQL"), "SELECT Url FROM Cracks");
  ui.fileAnswers.push_back(dir.file("mine"));
  EXPECT_TRUE(OpenSQLfile(*dm, ui));
  EXPECT_EQ(ShownRows(), 3);
}

// Files that hold no usable statement give the engine's error, never a crash or a hang.
TEST_F(SqlFileTest, BadFilesGiveTheEnginesError) {
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919) & 0xFF);
  std::string nested = "SELECT Url FROM Cracks WHERE " + std::string(100000, '(') + "Killed" +
                       std::string(100000, ')');
  std::string longText = "SELECT Url FROM Cracks WHERE ";
  while (longText.size() < 10'000'000) longText += "Notes = 'abcdefghij' OR ";
  longText += "Notes = 'x' )";
  std::string longWord(10'000'000, 'x');
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {{"empty", ""},
               {"blank", " \r\n\t "},
               {"binary", binary},
               {"nul byte in a word", std::string("SEL\0ECT Url FROM Cracks", 23)},
               {"deeply nested", nested},
               {"10 MB statement", longText},
               {"10 MB word", longWord}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error = EngineError(c.text);
    EXPECT_EQ(error.rfind("Store Engine Error # 11949 SQL error - ", 0), 0u) << error;
    EXPECT_LT(error.size(), 400u);
  }
  EXPECT_EQ(EngineError(""), "Store Engine Error # 11949 SQL error - No SQL statement available");
  EXPECT_FALSE(dm->qry1.Active());
}

// ---- The text editor --------------------------------------------------------------------------

using Environment = quellor::test::ScopedEnvironment;

// $VISUAL for one test, with nothing else to fall back on: no $EDITOR and an empty PATH (no
// desktop editor, no xdg-open).
class VisualEditor {
 public:
  explicit VisualEditor(const std::string& value) {
    env_.Set("VISUAL", value);
    env_.Set("EDITOR", std::nullopt);
    env_.Set("PATH", empty_.path());
  }

 private:
  TempDir empty_;
  Environment env_;
};

TEST(TextEditor, VisualIsSplitIntoProgramAndArguments) {
  VisualEditor visual("  my-editor  --new-window\t-x ");
  std::vector<TLaunchCommand> commands = TextEditorCommands("");
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].argv, (std::vector<std::string>{"my-editor", "--new-window", "-x"}));
}

TEST_F(SqlFileTest, EditStartsTheEditorOnTheChosenFileWithoutWaiting) {
  // The "editor" records its arguments, then runs on until the test lets it end (or half a
  // minute has passed) and marks its end.
  std::string script = dir.file("editor.sh");
  WriteFileBytes(script, "#!/bin/sh\necho \"$@\" > \"" + dir.file("args.tmp") + "\"\n/bin/mv \"" +
                             dir.file("args.tmp") + "\" \"" + dir.file("args") + "\"\n" +
                             "i=0; while [ ! -e \"" + dir.file("release") +
                             "\" ] && [ $i -lt 600 ]; do /bin/sleep 0.05; i=$((i+1)); done\n" +
                             "/bin/touch \"" + dir.file("ended") + "\"\n");
  ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
  VisualEditor visual(script + " --flag");
  WriteFileBytes(dir.file("my query.sql"), "SELECT Url FROM Cracks");
  ui.fileAnswers.push_back(dir.file("my query.sql"));
  EditSQLfile(ui);
  EXPECT_NE(::access(dir.file("ended").c_str(), F_OK), 0) << "Edit waited for the editor";
  WaitUntil([&] { return ::access(dir.file("args").c_str(), F_OK) == 0; });
  EXPECT_EQ(ReadFileBytes(dir.file("args")), "--flag " + dir.file("my query.sql") + "\n");
  EXPECT_EQ(ui.calls, std::vector<std::string>{"open: "});
  WriteFileBytes(dir.file("release"), "");
  EXPECT_TRUE(WaitUntil([&] { return ::access(dir.file("ended").c_str(), F_OK) == 0; }));
}

TEST_F(SqlFileTest, EditorThatCannotStartShowsTheLaunchBoxes) {
  VisualEditor visual("/no/such/editor");
  NewSQLfile(ui);
  WriteFileBytes(dir.file("q.sql"), "SELECT Url FROM Cracks");
  ui.fileAnswers.push_back(dir.file("q.sql"));
  EditSQLfile(ui);
  // Both boxes carry the whole sentence in their text: the programs tried and why not (without a
  // file xdg-open is not tried), and what to do.
  const std::string hint =
      "Set VISUAL to your editor (or EDITOR, with TERMINAL naming a terminal, for one that runs "
      "in a terminal), or install a desktop text editor or xdg-utils.";
  EXPECT_EQ(ui.calls,
            (std::vector<std::string>{"box: Launch Error|Could not launch a text editor\n"
                                      "/no/such/editor: not found\n" +
                                          hint,
                                      "open: ",
                                      "box: Launch Error|Could not launch a text editor\n"
                                      "/no/such/editor: not found\nxdg-open: not found\n" +
                                          hint}));
  // Cancel and a missing file start nothing and show nothing.
  ui.calls.clear();
  ui.fileAnswers.push_back(std::nullopt);
  EditSQLfile(ui);
  ui.fileAnswers.push_back(dir.file("gone.sql"));
  EditSQLfile(ui);
  EXPECT_EQ(ui.calls, (std::vector<std::string>{"open: ", "open: "}));
}

// An editor that starts and then ends with an error is reported when it ends.
TEST_F(SqlFileTest, AnEditorThatFailsLaterIsReported) {
  std::string script = dir.file("editor.sh");
  WriteFileBytes(script, "#!/bin/sh\nexit 1\n");
  ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
  VisualEditor visual(script);
  WriteFileBytes(dir.file("q.sql"), "SELECT Url FROM Cracks");
  ui.fileAnswers.push_back(dir.file("q.sql"));
  EditSQLfile(ui);
  ASSERT_TRUE(ui.WaitForCalls(2));
  EXPECT_EQ(ui.calls,
            (std::vector<std::string>{"open: ", "box: Launch Error|Could not launch " + script +
                                                    "\n" + script + " ended with exit status 1."}));
}

}  // namespace

// A file of several statements runs as a script: the grid shows the last SELECT's rows, and a
// statement that fails asks whether to go on.
TEST_F(SqlFileTest, ScriptsRunTheirStatementsInTurn) {
  struct Case {
    const char* name;
    const char* text;
    std::vector<MbResult> answers;  // to the boxes of failed statements
    bool fails;                     // the command ends with the error
    int rows;                       // shown; -1: none
    int boxes;
    int priority4;  // sites with Priority 4 afterwards
  } cases[] = {
      {"select last",
       "UPDATE Cracks SET Priority = 4 WHERE Killed = False;\n"
       "SELECT Url FROM Cracks WHERE Priority = 4",
       {},
       false,
       2,
       0,
       2},
      {"no select",
       "UPDATE Cracks SET Priority = 4 WHERE Killed = False;\n"
       "UPDATE Cracks SET Priority = 4 WHERE Url = 'http://c.test/';",
       {},
       false,
       -1,
       0,
       3},
      {"go on",
       "UPDATE Cracks SET Priority = 4 WHERE Killed = False;\n"
       "UPDATE Nowhere SET Priority = 1;\n"
       "SELECT Url FROM Cracks",
       {MbResult::Yes},
       false,
       3,
       1,
       2},
      {"stop",
       "UPDATE Cracks SET Priority = 4 WHERE Killed = False;\n"
       "UPDATE Nowhere SET Priority = 1;\n"
       "UPDATE Cracks SET Priority = 4 WHERE Url = 'http://c.test/';\n"
       "SELECT Url FROM Cracks",
       {MbResult::No},
       true,
       1,
       1,
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Run("UPDATE Cracks SET Priority = 1");
    Run("SELECT Url FROM Cracks WHERE Killed = True");  // shown before: one row
    ui.calls.clear();
    ui.boxDefaults.clear();
    for (MbResult a : c.answers) ui.boxAnswers.push_back(a);
    bool failed = false;
    try {
      Run(c.text);
    } catch (const EStoreEngineError& e) {
      failed = true;
      EXPECT_NE(std::string(e.what()).find("Nowhere"), std::string::npos) << e.what();
    }
    EXPECT_EQ(failed, c.fails);
    EXPECT_EQ(ShownRows(), c.rows);
    int boxes = 0;
    for (const std::string& call : ui.calls) {
      if (call.rfind("box: ", 0) != 0) continue;
      ++boxes;
      EXPECT_NE(call.find("Statement 2 of "), std::string::npos) << call;
      EXPECT_NE(call.find("(line 2)"), std::string::npos) << call;
      EXPECT_NE(call.find("Go on with the rest of the script?"), std::string::npos) << call;
    }
    EXPECT_EQ(boxes, c.boxes);
    for (MbResult d : ui.boxDefaults) EXPECT_EQ(d, MbResult::No);
    EXPECT_TRUE(ui.boxAnswers.empty());
    dm->qry1.SetSQLScript(false);
    dm->qry1.SetSQL("SELECT Count(Url) AS N FROM Cracks WHERE Priority = 4");
    dm->qry1.Open();
    EXPECT_EQ(dm->qry1.FieldByName("N").AsInteger(), c.priority4);
    dm->qry1.Close();
  }
}

// A script with a statement that does not parse fails before any of it runs.
TEST_F(SqlFileTest, ScriptThatDoesNotParseRunsNothing) {
  Run("SELECT Url FROM Cracks WHERE Killed = True");
  ui.calls.clear();
  std::string error = EngineError(
      "UPDATE Cracks SET Priority = 4;\nUPDATE Cracks SET Priority = ;\nSELECT Url FROM Cracks");
  EXPECT_EQ(error.rfind("Store Engine Error # 11949 SQL error - ", 0), 0u) << error;
  for (const std::string& call : ui.calls) EXPECT_NE(call.rfind("box: ", 0), 0u) << call;
  EXPECT_EQ(ShownRows(), 1);
  dm->qry1.SetSQL("SELECT Count(Url) AS N FROM Cracks WHERE Priority = 4");
  dm->qry1.Open();
  EXPECT_EQ(dm->qry1.FieldByName("N").AsInteger(), 0);
}
