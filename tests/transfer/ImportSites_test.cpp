// The CSV site import into the data module's site table: conversions with their messages, the
// duplicate test, rollbacks, the progress window, and files written by storetool dump.
#include "transfer/ImportSites.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "store/api/StoreTb.h"
#include "transfer/ImportTestSupport.h"

using namespace quellor;
using namespace quellor::test;

namespace {

constexpr int kSiteFields = 26;

// A site line with the given values at their field numbers and every other field empty.
std::string SiteLine(const std::map<int, std::string>& values) {
  std::string line;
  for (int i = 0; i < kSiteFields; ++i) {
    if (i) line += ',';
    auto it = values.find(i);
    if (it != values.end()) line += it->second;
  }
  return line;
}

const char* const kNull = "<null>";

std::string Shown(TStoreField& f) {
  return f.IsNull() ? std::string(kNull) : f.AsString();
}

using ImportSitesTest = ImportFixture;

// Field numbers of the site line.
enum : int { kUrl = 0, kNotes = 4, kCracks = 5, kLinksOnly = 8, kUrls = 15, kKilled = 19 };
enum : int { kLastSent = 21, kPriority = 23, kKilledBy = 24, kDMCAUrls = 25 };

struct ConversionCase {
  int field;
  std::string text;    // as it stands in the line
  std::string stored;  // AsString afterwards, or kNull
  std::string error;   // the message when the file is rolled back
};

const ConversionCase kConversions[] = {
    // Booleans: the beginning of "False" or "True", ignoring case.
    {kCracks, "F", "False", ""},
    {kCracks, "fa", "False", ""},
    {kCracks, "false", "False", ""},
    {kCracks, "FALSE", "False", ""},
    {kCracks, "T", "True", ""},
    {kCracks, "tru", "True", ""},
    {kCracks, "TRUE", "True", ""},
    {kCracks, "\"True\"", "True", ""},
    {kCracks, "", kNull, ""},
    {kCracks, "Yes", "", "'Yes' is not a valid boolean value for field 'Cracks'"},
    {kCracks, "1", "", "'1' is not a valid boolean value for field 'Cracks'"},
    {kCracks, "0", "", "'0' is not a valid boolean value for field 'Cracks'"},
    {kCracks, "falsey", "", "'falsey' is not a valid boolean value for field 'Cracks'"},
    {kKilled, "truee", "", "'truee' is not a valid boolean value for field 'Killed'"},
    {kLinksOnly, "n", "", "'n' is not a valid boolean value for field 'LinksOnly'"},
    // Date-times: a date with an optional time, or a time alone on 1899-12-30.
    {kLastSent, "2021-03-04 05:06:07", "2021-03-04 05:06:07", ""},
    {kLastSent, "2021-03-04", "2021-03-04 00:00:00", ""},
    {kLastSent, "2021-03-04 17:30", "2021-03-04 17:30:00", ""},
    {kLastSent, "2021-03-04 5:30 PM", "2021-03-04 17:30:00", ""},
    {kLastSent, "13:45", "1899-12-30 13:45:00", ""},
    {kLastSent, "13:45:10", "1899-12-30 13:45:10", ""},
    {kLastSent, "", kNull, ""},
    {kLastSent, "2021-02-30", "", "'2021-02-30' is not a valid date and time"},
    {kLastSent, "tomorrow", "", "'tomorrow' is not a valid date and time"},
    {kLastSent, "2021-03-04 25:00", "", "'2021-03-04 25:00' is not a valid date and time"},
    {kLastSent, "17", "", "'17' is not a valid date and time"},
    // Small integers: decimal or hexadecimal, signed, within -32768 to 32767.
    {kPriority, "7", "7", ""},
    {kPriority, "+5", "5", ""},
    {kPriority, "-32768", "-32768", ""},
    {kPriority, "32767", "32767", ""},
    {kPriority, "$10", "16", ""},
    {kPriority, "0x1F", "31", ""},
    {kPriority, "0X1f", "31", ""},
    {kPriority, "x1f", "31", ""},
    {kPriority, "X10", "16", ""},
    {kPriority, "-$10", "-16", ""},
    {kPriority, "", kNull, ""},
    {kPriority, "32768", "",
     "32768 is not a valid value for field 'Priority'. The allowed range is -32768 to 32767"},
    {kPriority, "-32769", "",
     "-32769 is not a valid value for field 'Priority'. The allowed range is -32768 to 32767"},
    {kPriority, "$FFFF", "",
     "65535 is not a valid value for field 'Priority'. The allowed range is -32768 to 32767"},
    {kPriority, "1000000", "",
     "1000000 is not a valid value for field 'Priority'. The allowed range is -32768 to 32767"},
    {kPriority, "1.5", "", "'1.5' is not a valid integer value for field 'Priority'"},
    {kPriority, "abc", "", "'abc' is not a valid integer value for field 'Priority'"},
    {kPriority, "0x", "", "'0x' is not a valid integer value for field 'Priority'"},
    {kPriority, "$", "", "'$' is not a valid integer value for field 'Priority'"},
    {kPriority, "99999999999999999999", "",
     "'99999999999999999999' is not a valid integer value for field 'Priority'"},
    // Text: stored, cut to the width without notice.
    {kNotes, "a note", "a note", ""},
    {kNotes, std::string(60, 'n'), std::string(50, 'n'), ""},
    {kKilledBy, "XY", "X", ""},
    {kUrls, "\"http://a.test/x, http://a.test/y\"", "http://a.test/x, http://a.test/y", ""},
    {kNotes, "\"say \"\"hi\"\"\"", "say \"hi\"", ""},
    {kNotes, " \"quoted\"", "\"quoted\"", ""},
    // The BLOB holding text: stored unchanged.
    {kDMCAUrls, "http://a.test/1 http://a.test/2", "http://a.test/1 http://a.test/2", ""},
};

TEST_F(ImportSitesTest, ConversionsAndTheirMessages) {
  int n = 0;
  for (const ConversionCase& c : kConversions) {
    const std::string url = "http://case" + std::to_string(++n) + ".test/";
    const std::string before = Dump();
    ui.calls.clear();
    TImportResult r = Import(SiteLine({{kUrl, url}, {c.field, c.text}}) + "\r\n");
    const std::string what = std::to_string(c.field) + " <" + c.text + ">";
    if (c.error.empty()) {
      EXPECT_EQ(r.outcome, TImportOutcome::Imported) << what;
      EXPECT_EQ(ui.calls, std::vector<std::string>{"message: 1 sites imported"}) << what;
      ASSERT_TRUE(Find(url)) << what;
      EXPECT_EQ(Shown(dm->tblCracks.Fields(c.field)), c.stored) << what;
    } else {
      EXPECT_EQ(r.outcome, TImportOutcome::RolledBack) << what;
      // The line, and the field when the message does not name it.
      std::string field = "'" + dm->tblCracks.Fields(c.field).FieldName() + "'";
      std::string where = "Line 1 of sites.csv";
      if (c.error.find("field " + field) == std::string::npos) where += ", field " + field;
      EXPECT_EQ(ui.calls, (std::vector<std::string>{"message: " + where + ": " + c.error,
                                                    "message: 0 sites imported"}))
          << what;
      EXPECT_FALSE(Find(url)) << what;
      EXPECT_EQ(Dump(), before) << what;
    }
    dm->tblCracks.SetFiltered(true);
  }
}

TEST_F(ImportSitesTest, DatesInThePersonsShortDateFormat) {
  TStoreSession& session = TStoreSession::Default();
  session.SetShortDateFormat("dd.mm.yyyy");
  session.SetDateSeparator('.');
  Import(SiteLine({{kUrl, "http://de.test/"}, {kLastSent, "04.03.2021 05:06:07"}}) + "\r\n" +
         SiteLine({{kUrl, "http://iso.test/"}, {kLastSent, "2021-03-05 06:07:08"}}) + "\r\n");
  session.SetShortDateFormat("yyyy-mm-dd");
  session.SetDateSeparator('-');
  EXPECT_EQ(ui.calls.back(), "message: 2 sites imported");
  ASSERT_TRUE(Find("http://de.test/"));
  EXPECT_EQ(dm->tblCracks.Fields(kLastSent).AsString(), "2021-03-04 05:06:07");
  ASSERT_TRUE(Find("http://iso.test/"));
  EXPECT_EQ(dm->tblCracks.Fields(kLastSent).AsString(), "2021-03-05 06:07:08");
}

TEST_F(ImportSitesTest, FewerFieldsLeaveNullsAndMoreAreIgnored) {
  Import(
      "http://few.test/,abuse@few.test\r\n"
      "http://more.test/" +
      std::string(40, ',') + "x,y,z\r\n");
  EXPECT_EQ(ui.calls.back(), "message: 2 sites imported");
  ASSERT_TRUE(Find("http://few.test/"));
  TStoreTable& t = dm->tblCracks;
  EXPECT_EQ(t.Fields(1).AsString(), "abuse@few.test");
  for (int i = 2; i < kSiteFields; ++i)
    EXPECT_TRUE(t.Fields(i).IsNull()) << t.Fields(i).FieldName();  // booleans not False
  ASSERT_TRUE(Find("http://more.test/"));
  for (int i = 1; i < kSiteFields; ++i) EXPECT_TRUE(t.Fields(i).IsNull());
}

TEST_F(ImportSitesTest, DuplicatesAreSkippedAndExistingSitesLeftAlone) {
  AddSite("http://old.test/", true, "kept");  // killed: hidden by the view, still a duplicate
  TImportResult r = Import(SiteLine({{kUrl, "http://old.test/"}, {kNotes, "changed"}}) + "\r\n" +
                           SiteLine({{kUrl, "http://new.test/"}, {kNotes, "first"}}) + "\n" +
                           SiteLine({{kUrl, "http://new.test/"}, {kNotes, "second"}}) + "\r" +
                           "\"http://new.test/\"\r\n");
  EXPECT_EQ(r.imported, 1);
  EXPECT_EQ(ui.calls, std::vector<std::string>{"message: 1 sites imported"});
  ASSERT_TRUE(Find("http://old.test/"));
  EXPECT_EQ(dm->tblCracks.FieldByName("Notes").AsString(), "kept");
  EXPECT_EQ(dm->tblCracks.FieldByName("Killed").AsString(), "True");
  ASSERT_TRUE(Find("http://new.test/"));
  EXPECT_EQ(dm->tblCracks.FieldByName("Notes").AsString(), "first");
}

TEST_F(ImportSitesTest, LongUrlsAreCutWithoutSplittingACharacter) {
  // 124 bytes and a two-byte character: the character does not fit and goes whole.
  const std::string url = "http://" + std::string(117, 'u') + "\xc3\xa4" + "/rest";
  Import(url + "\r\n" + url + "/other\r\n");  // both cut to the same Url: imported once
  EXPECT_EQ(ui.calls.back(), "message: 1 sites imported");
  dm->tblCracks.SetFiltered(false);
  dm->tblCracks.First();
  EXPECT_EQ(dm->tblCracks.FieldByName("Url").AsString(), "http://" + std::string(117, 'u'));
  // And a plain long Url keeps its first 125 bytes.
  Import("http://" + std::string(200, 'v') + "\r\n");
  ASSERT_TRUE(Find("http://" + std::string(118, 'v')));
}

TEST_F(ImportSitesTest, BlankLinesOnlyImportNothing) {
  Import("\r\n \r\n\t\r\n\r\r\n\n");
  EXPECT_EQ(ui.calls, std::vector<std::string>{"message: 0 sites imported"});
  ui.calls.clear();
  Import("");
  EXPECT_EQ(ui.calls, std::vector<std::string>{"message: 0 sites imported"});
}

TEST_F(ImportSitesTest, AHeaderLineIsASite) {
  Import("Url,E-mails\r\nhttp://a.test/,x\r\n");
  EXPECT_EQ(ui.calls.back(), "message: 2 sites imported");
  EXPECT_TRUE(Find("Url"));
}

TEST_F(ImportSitesTest, AnErrorRollsTheWholeFileBack) {
  AddSite("http://old.test/", false, "kept");
  const std::string before = Dump();
  std::string file;
  for (int i = 0; i < 50; ++i)
    file += SiteLine({{kUrl, "http://s" + std::to_string(i) + ".t/"}}) + "\r\n";
  file += SiteLine({{kUrl, "http://bad.test/"}, {kCracks, "Yes"}}) + "\r\n";
  file += "http://after.test/\r\n";
  TImportResult r = Import(file);
  EXPECT_EQ(r.outcome, TImportOutcome::RolledBack);
  // The message names the line (the 51st) so that it can be found in a long file.
  EXPECT_EQ(ui.calls,
            (std::vector<std::string>{
                "message: Line 51 of sites.csv: 'Yes' is not a valid boolean value for field "
                "'Cracks'",
                "message: 0 sites imported"}));
  EXPECT_EQ(Dump(), before);
  EXPECT_FALSE(dm->db.InTransaction());
  // The table works on: the view is back, a later import goes through.
  EXPECT_TRUE(dm->tblCracks.Filtered());
  EXPECT_FALSE(dm->tblCracks.ControlsDisabled());
  ui.calls.clear();
  Import("http://later.test/\r\n");
  EXPECT_EQ(ui.calls.back(), "message: 1 sites imported");
}

TEST_F(ImportSitesTest, MissingAndUnreadableFiles) {
  const std::string before = Dump();
  TImportResult r = ImportSites(Target(), ui, dir.file("none.csv"));
  EXPECT_EQ(r.outcome, TImportOutcome::Missing);
  EXPECT_EQ(ui.calls,
            std::vector<std::string>{"message: " + dir.file("none.csv") + " does not exist."});

  struct Case {
    std::string name, bytes, error;
  } cases[] = {
      {"folder", "", "Cannot open file " + dir.path()},
      {"nul.csv", std::string("http://a.test/\0x\r\n", 18),
       dir.file("nul.csv") + " is not a text file: it holds NUL characters"},
      {"utf16.csv", std::string("\xff\xfeh\0t\0", 6),
       dir.file("utf16.csv") + " is not a text file: it holds NUL characters"},
  };
  for (const Case& c : cases) {
    std::string path = dir.path();
    if (c.name != "folder") {
      path = dir.file(c.name);
      WriteFileBytes(path, c.bytes);
    }
    ui.calls.clear();
    try {
      ImportSites(Target(), ui, path);
      ADD_FAILURE() << c.name << " imported";
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
    EXPECT_TRUE(ui.calls.empty()) << c.name;  // no count message
    EXPECT_EQ(ui.busyDepth, 0);
    EXPECT_TRUE(dm->tblCracks.Filtered());
    EXPECT_FALSE(dm->tblCracks.ControlsDisabled());
  }
  EXPECT_EQ(Dump(), before);
}

TEST_F(ImportSitesTest, ViewControlsAndPendingEditAreRestored) {
  AddSite("http://b.test/", false, "b");
  AddSite("http://c.test/", false, "c");
  TStoreTable& t = dm->tblCracks;
  ASSERT_TRUE(t.FindKey({"http://c.test/"}));
  t.Edit();
  t.FieldByName("Notes").SetAsString("edited");
  // The import fails; the person's edit was stored before it began and stays.
  Import("http://a.test/,,,,,Yes\r\n");
  EXPECT_EQ(t.State(), TDataSetState::Browse);
  EXPECT_TRUE(t.Filtered());
  EXPECT_FALSE(t.ControlsDisabled());
  EXPECT_EQ(t.FieldByName("Url").AsString(), "http://c.test/");  // still the current site
  EXPECT_EQ(t.FieldByName("Notes").AsString(), "edited");
  EXPECT_EQ(ui.busyDepth, 0);
}

TEST_F(ImportSitesTest, QuotedLineBreaksStayInTheirField) {
  Import("\"http://a.test/\",,,,\"two\r\nlines\",\"True\"" + std::string(20, ',') +
         "\"first\r\nsecond\r\n\"\r\n"
         "http://b.test/,\"unbalanced,x\r\n"
         "http://c.test/,y\r\n");
  EXPECT_EQ(ui.calls.back(), "message: 3 sites imported");
  TStoreTable& t = dm->tblCracks;
  ASSERT_TRUE(Find("http://a.test/"));
  EXPECT_EQ(t.FieldByName("Notes").AsString(), "two\r\nlines");
  EXPECT_EQ(t.FieldByName("Cracks").AsString(), "True");
  EXPECT_EQ(t.FieldByName("DMCAUrls").AsString(), "first\r\nsecond");  // ends trimmed
  ASSERT_TRUE(Find("http://b.test/"));
  EXPECT_EQ(t.FieldByName("E-mails").AsString(), "\"unbalanced,x");
  ASSERT_TRUE(Find("http://c.test/"));
  EXPECT_EQ(t.FieldByName("E-mails").AsString(), "y");
}

TEST_F(ImportSitesTest, ProgressForLargeFilesAndCancelRollsBack) {
  AddSite("http://old.test/", false);
  const std::string before = Dump();
  std::string file;
  const int lines = kImportProgressThreshold + 500;
  for (int i = 0; i < lines; ++i) file += "http://p" + std::to_string(i) + ".test/,,,,,T\r\n";
  ui.cancelAtStep = 4;
  TImportResult r = Import(file);
  EXPECT_EQ(r.outcome, TImportOutcome::Cancelled);
  EXPECT_EQ(ui.calls,
            (std::vector<std::string>{"progress: Importing sites|" + std::to_string(lines),
                                      "progress end", "message: 0 sites imported"}));
  EXPECT_EQ(Dump(), before);

  ui.calls.clear();
  ui.cancelAtStep = -1;
  r = Import(file);
  EXPECT_EQ(r.imported, lines);
  EXPECT_EQ(ui.progressDone, lines);
  EXPECT_EQ(ui.progressText, std::to_string(lines) + " of " + std::to_string(lines) + " lines");
  EXPECT_EQ(ui.calls.back(), "message: " + std::to_string(lines) + " sites imported");

  // A few lines: the busy cursor only.
  ui.calls.clear();
  Import("http://small.test/\r\n");
  EXPECT_EQ(ui.calls, std::vector<std::string>{"message: 1 sites imported"});
}

TEST_F(ImportSitesTest, WhatStoretoolDumpWritesComesBackEqual) {
  // Varied sites straight into the table, NULLs of every type included.
  struct Site {
    std::map<int, std::string> values;
  } sites[] = {
      {{{kUrl, "http://full.test/path?q=1"},
        {1, "abuse@full.test; noc@full.test"},
        {2, "bad@full.test"},
        {3, "192.0.2.1"},
        {kNotes, "say \"hi\", twice"},
        {kCracks, "True"},
        {6, "False"},
        {7, "True"},
        {kLinksOnly, "False"},
        {9, "True"},
        {10, "False"},
        {11, "True"},
        {12, "False"},
        {13, "True"},
        {14, "False"},
        {kUrls, "http://full.test/a.zip http://full.test/b.zip"},
        {16, "True"},
        {17, "False"},
        {18, "True"},
        {kKilled, "False"},
        {20, "True"},
        {kLastSent, "2021-03-04 05:06:07"},
        {22, "1999-12-31"},
        {kPriority, "-7"},
        {kKilledBy, "Z"},
        {kDMCAUrls, "http://full.test/1\r\nhttp://full.test/2\r\n\"quoted\", and more"}}},
      {{{kUrl, "http://nulls.test/"}}},
      {{{kUrl, "http://umlaut.test/\xc3\xa4\xc3\xb6"},
        {kNotes, "caf\xc3\xa9"},
        {kPriority, "32767"}}},
      {{{kUrl, "http://comma.test/a,b"}, {1, ",,,"}, {kKilled, "True"}, {kLastSent, "13:45:00"}}},
  };
  TStoreTable& t = dm->tblCracks;
  for (const Site& s : sites) {
    t.Append();
    for (const auto& [field, value] : s.values) t.Fields(field).SetAsString(value);
    t.Post();
  }
  const std::string dumped = Dump();
  WriteFileBytes(dir.file("dump.csv"), dumped);

  // Into an empty table in another program folder.
  TempDir other;
  std::ostringstream out, err;
  ASSERT_EQ(RunStoreTool({"init", other.path()}, out, err), 0);
  TStoreDatabase db;
  db.SetDatabaseName("Other");
  db.SetDirectory(other.path());
  TStoreTable sitesOther;
  sitesOther.SetDatabaseName("Other");
  sitesOther.SetTableName("cracks");
  sitesOther.Open();
  FakeUi otherUi;
  TImportResult r = ImportSites({db, sitesOther}, otherUi, dir.file("dump.csv"));
  EXPECT_EQ(r.imported, 4);
  sitesOther.Close();
  std::ostringstream back;
  ASSERT_EQ(RunStoreTool({"dump", other.path(), "cracks"}, back, err), 0) << err.str();
  EXPECT_EQ(back.str(), dumped);
}

TEST_F(ImportSitesTest, StoretoolLoadReadsAFileAsTheImportDoes) {
  const std::string file =
      "\xEF\xBB\xBFhttp://a.test/,x@a.test,,,\"two\r\nlines\",T,fa,,,,,,,,,,,,,,,,,$1F\r"
      "  http://b.test/  ,\"quoted, comma\",,, \"kept quotes\"\n"
      "http://c.test/" +
      std::string(40, ',') +
      "extra\r\n"
      "\r\n"
      "\"http://d.test/\",,,,\"unbalanced\r\n"
      "http://e.test/,,,,,,,,,,,,,,,,,,,,,13:45,2021-03-04 05:06:07,-7,K,\"l1\r\nl2\"\r\n";
  WriteFileBytes(dir.file("both.csv"), file);
  TempDir other;
  std::ostringstream out, err;
  ASSERT_EQ(RunStoreTool({"init", other.path()}, out, err), 0);
  ASSERT_EQ(RunStoreTool({"load", other.path(), "cracks", dir.file("both.csv")}, out, err), 0)
      << err.str();
  EXPECT_NE(out.str().find("5 rows added"), std::string::npos) << out.str();
  ImportSites(Target(), ui, dir.file("both.csv"));
  EXPECT_EQ(ui.calls.back(), "message: 5 sites imported");
  std::ostringstream loaded;
  ASSERT_EQ(RunStoreTool({"dump", other.path(), "cracks"}, loaded, err), 0);
  EXPECT_EQ(Dump(), loaded.str());
  ASSERT_TRUE(Find("http://b.test/"));
  EXPECT_EQ(dm->tblCracks.FieldByName("Notes").AsString(), "\"kept quotes\"");
}

// Records whether the busy cursor was on when a message box came up.
struct BusyWatchUi : FakeUi {
  std::vector<int> depthAtMessage;
  void ShowMessage(const std::string& text) override {
    depthAtMessage.push_back(busyDepth);
    FakeUi::ShowMessage(text);
  }
};

TEST_F(ImportSitesTest, MessagesComeAfterTheBusyCursor) {
  WriteFileBytes(dir.file("bad.csv"), "http://a.test/\r\nhttp://b.test/,,,,,Yes\r\n");
  BusyWatchUi watch;
  ImportSites(Target(), watch, dir.file("bad.csv"));
  EXPECT_EQ(watch.calls.size(), 2u);
  EXPECT_EQ(watch.depthAtMessage, (std::vector<int>{0, 0}));
}

TEST_F(ImportSitesTest, ImportCommandOffersTheOpenDialog) {
  WriteFileBytes(dir.file("picked.csv"), "http://picked.test/\r\n");
  ui.fileAnswers.push_back(dir.file("picked.csv"));
  ImportCSVfile1Click(Target(), ui);
  EXPECT_EQ(ui.calls.back(), "message: 1 sites imported");
  ui.calls.clear();
  ImportCSVfile1Click(Target(), ui);  // cancelled
  EXPECT_EQ(ui.calls.size(), 1u);
}

}  // namespace
