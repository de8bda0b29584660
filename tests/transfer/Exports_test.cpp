// The site list exports on a real program folder: the killed-sites report's lines, Export to
// HTML with a recording converter, the text form of every field type, the CSV export of the
// site view and of a query result, and its way back through storetool load.
#include "transfer/Exports.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <sstream>

#include "store/api/StoreDate.h"
#include "store/api/StoreError.h"
#include "transfer/ImportTestSupport.h"

using namespace quellor;
using namespace quellor::test;

namespace {

// A FakeUi that also remembers whether the busy cursor was ever on.
class BusyUi : public FakeUi {
 public:
  int maxBusy = 0;
  void BeginBusy() override {
    FakeUi::BeginBusy();
    maxBusy = std::max(maxBusy, busyDepth);
  }
  // The save dialog's proposed name and filters, before the fake's own record.
  std::optional<std::string> SaveFileDialog(const std::string& title,
                                            const std::vector<FileFilter>& filters,
                                            const std::string& initialDir,
                                            const std::string& defaultName) override {
    std::string text = "proposed: " + defaultName;
    for (const FileFilter& f : filters) text += "|" + f.description + "|" + f.pattern;
    calls.push_back(text);
    return FakeUi::SaveFileDialog(title, filters, initialDir, defaultName);
  }
};

enum class T3 { Null, False, True };

class ExportTest : public ImportFixture {
 protected:
  // Adds a site with the given Killed and Dead values.
  void Site(const std::string& url, T3 killed, T3 dead) {
    TStoreTable& t = dm->tblCracks;
    t.Append();
    t.FieldByName("Url").SetAsString(url);
    if (killed != T3::Null) t.FieldByName("Killed").SetAsBoolean(killed == T3::True);
    if (dead != T3::Null) t.FieldByName("Dead").SetAsBoolean(dead == T3::True);
    t.Post();
  }
  void KilledDeadLiveFixture() {
    Site("http://live1.test/", T3::False, T3::False);
    Site("http://killed-dead-b.test/", T3::True, T3::True);
    Site("http://killed-alive.test/", T3::True, T3::False);
    Site("http://killed-dead-a.test/", T3::True, T3::True);
    Site("http://unknown.test/", T3::Null, T3::Null);
    Site("http://live2.test/", T3::False, T3::Null);
  }
  std::vector<std::string> Lines(const std::string& file) {
    std::string bytes = ReadFileBytes(file);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t p; (p = bytes.find("\r\n", start)) != std::string::npos; start = p + 2)
      lines.push_back(bytes.substr(start, p - start));
    EXPECT_EQ(start, bytes.size()) << "every line ends in CR LF, the last one too";
    return lines;
  }
  std::string Today() {
    int32_t day = 0, ms = 0;
    SplitDateTime(NowDateTime(), day, ms);
    return FormatShortDate(day, TStoreSession::Default().ShortDateFormat());
  }
  std::vector<std::string> Head(const std::string& kills, const std::string& live) {
    return {"Last updated: " + Today(),
            "",
            "Killed sites starting as of 2001-07-20",
            "",
            "The following " + kills + " sites were listed in the Ostrel Quellor database.",
            "Due to the actions of the Ostrel, ISPs and/or others they are now dead.",
            "There are " + live + " sites left in the database.",
            ""};
  }
};

TEST_F(ExportTest, KilledSitesReportLinesWithDeadOnlyFalseAndTrue) {
  KilledDeadLiveFixture();
  const std::vector<std::string> killed = {
      "http://killed-alive.test/", "http://killed-dead-a.test/", "http://killed-dead-b.test/"};
  struct Case {
    bool deadOnly;
    const char* kills;
  } cases[] = {{false, "3"}, {true, "2"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.deadOnly);
    Exportkilledsites(dm->qry1, dir.path(), c.deadOnly);
    // Killed <> True counts the site whose Killed is empty as left.
    std::vector<std::string> expected = Head(c.kills, "3");
    expected.insert(expected.end(), killed.begin(), killed.end());
    EXPECT_EQ(Lines(dir.file("killedsites.txt")), expected);
    EXPECT_FALSE(dm->qry1.Active());
  }
}

TEST_F(ExportTest, ReportCoversTheWholeTableNotTheView) {
  KilledDeadLiveFixture();
  ASSERT_EQ(dm->tblCracks.Filter(), "Killed = False");
  Exportkilledsites(dm->qry1, dir.path(), false);
  EXPECT_EQ(Lines(dir.file("killedsites.txt")).size(), 8u + 3u);
}

TEST_F(ExportTest, NoKilledSiteGivesTheHeadLinesAlone) {
  Site("http://live.test/", T3::False, T3::False);
  Exportkilledsites(dm->qry1, dir.path(), false);
  EXPECT_EQ(Lines(dir.file("killedsites.txt")), Head("0", "1"));
}

TEST_F(ExportTest, FolderWithoutFinalSeparatorGluesTheNameToItsLastPart) {
  Site("http://x.test/", T3::True, T3::True);
  ASSERT_EQ(::mkdir(dir.file("reports").c_str(), 0755), 0);
  Exportkilledsites(dm->qry1, dir.file("reports"), false);
  EXPECT_EQ(Lines(dir.file("reportskilledsites.txt")).back(), "http://x.test/");
  EXPECT_NE(::access(dir.file("reports/killedsites.txt").c_str(), F_OK), 0);
}

TEST_F(ExportTest, DateLineFollowsTheShortDateFormat) {
  TStoreSession& session = TStoreSession::Default();
  session.SetShortDateFormat("dd.mm.yyyy");
  Exportkilledsites(dm->qry1, dir.path(), false);
  std::string line = Lines(dir.file("killedsites.txt")).front();
  session.SetShortDateFormat("yyyy-mm-dd");
  ASSERT_EQ(line.size(), std::string("Last updated: 10.12.2026").size()) << line;
  EXPECT_EQ(line[16], '.');
  EXPECT_EQ(line[19], '.');
}

TEST(ExportFormats, ShortDateFormats) {
  int32_t day = 0;
  ASSERT_TRUE(EncodeDayNumber(2026, 3, 7, day));
  struct Case {
    const char* format;
    const char* text;
  } cases[] = {{"yyyy-mm-dd", "2026-03-07"}, {"dd.mm.yyyy", "07.03.2026"}, {"m/d/yy", "3/7/26"},
               {"d/m/yyyy", "7/3/2026"},     {"yyyy/MM/dd", "2026/03/07"}, {"", ""}};
  for (const Case& c : cases) EXPECT_EQ(FormatShortDate(day, c.format), c.text) << c.format;
}

TEST_F(ExportTest, MissingOrUnwritableFolderGivesCannotCreateFileAndKeepsEarlierFiles) {
  Site("http://x.test/", T3::True, T3::True);
  // An earlier report stays whole when the next one cannot be written.
  WriteFileBytes(dir.file("killedsites.txt"), "earlier\r\n");
  std::string missing = dir.file("no-such-folder/");
  try {
    Exportkilledsites(dm->qry1, missing, false);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file " + missing + "killedsites.txt");
  }
  EXPECT_EQ(ReadFileBytes(dir.file("killedsites.txt")), "earlier\r\n");
  // A path whose folder part is a file cannot be created either.
  WriteFileBytes(dir.file("plain"), "x");
  EXPECT_THROW(Exportkilledsites(dm->qry1, dir.file("plain/"), false), std::runtime_error);
}

// Runs a test body in another current folder and comes back.
class InFolder {
 public:
  explicit InFolder(const std::string& folder) {
    char buffer[PATH_MAX];
    old_ = ::getcwd(buffer, sizeof buffer) ? buffer : "/";
    EXPECT_EQ(::chdir(folder.c_str()), 0);
  }
  ~InFolder() { (void)::chdir(old_.c_str()); }

 private:
  std::string old_;
};

TEST_F(ExportTest, ExportToHtmlWritesBothListsAndStartsTheConverterTwice) {
  KilledDeadLiveFixture();
  InFolder here(dir.path());
  ASSERT_EQ(::mkdir(dir.file("k").c_str(), 0755), 0);
  std::vector<std::string> started;
  BusyUi busy;
  ExporttoHTML(dm->qry1, dir.file("k/"), busy, [&](const std::string& in, const std::string& out) {
    started.push_back(in + " " + out);
    return true;
  });
  // Every file goes into the killed-sites folder, none into the current folder.
  std::string k = dir.file("k/");
  EXPECT_EQ(started, (std::vector<std::string>{k + "cracksites.txt " + k + "cracksites.html",
                                               k + "killedsites.txt " + k + "killedsites.html"}));
  EXPECT_EQ(Lines(k + "cracksites.txt"),
            (std::vector<std::string>{"http://live1.test/", "http://live2.test/",
                                      "http://unknown.test/"}));
  EXPECT_FALSE(std::filesystem::exists(dir.file("cracksites.txt")));
  std::vector<std::string> report = Lines(dir.file("k/killedsites.txt"));
  EXPECT_EQ(report[4], "The following 2 sites were listed in the Ostrel Quellor database.");
  EXPECT_EQ(report.size(), 8u + 3u);  // every killed site is listed
  // It says where it wrote.
  EXPECT_EQ(busy.calls, std::vector<std::string>{
                            "message: The live sites were written to " + k +
                            "cracksites.txt and the killed sites report to " + k +
                            "killedsites.txt; cracksites.html and killedsites.html are made "
                            "beside them"});
  EXPECT_EQ(busy.maxBusy, 1);
  EXPECT_EQ(busy.busyDepth, 0);
}

TEST_F(ExportTest, ConverterThatCannotStartIsReportedAndTheCommandGoesOn) {
  Site("http://x.test/", T3::True, T3::True);
  InFolder here(dir.path());
  int starts = 0;
  ExporttoHTML(dm->qry1, dir.path(), ui, [&](const std::string&, const std::string&) {
    ++starts;
    return false;
  });
  EXPECT_EQ(starts, 2);
  ASSERT_EQ(ui.calls.size(), 3u);
  EXPECT_EQ(ui.calls[0], "box: Launch Error|Could not convert text");
  EXPECT_EQ(ui.calls[1], "box: Launch Error|Could not convert text");
  EXPECT_EQ(ui.calls[2].rfind("message: The live sites were written to ", 0), 0u) << ui.calls[2];
  EXPECT_EQ(Lines(dir.file("killedsites.txt")).back(), "http://x.test/");
}

TEST_F(ExportTest, ExportToHtmlStopsAtAReportThatCannotBeWrittenAndKeepsTheList) {
  Site("http://live.test/", T3::False, T3::False);
  InFolder here(dir.path());
  // The report's name is taken by a folder: the report cannot be written.
  ASSERT_EQ(::mkdir(dir.file("killedsites.txt").c_str(), 0755), 0);
  int starts = 0;
  EXPECT_THROW(ExporttoHTML(dm->qry1, dir.path(), ui,
                            [&](const std::string&, const std::string&) {
                              ++starts;
                              return true;
                            }),
               std::runtime_error);
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(Lines(dir.file("cracksites.txt")), std::vector<std::string>{"http://live.test/"});
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.front();
}

TEST(Text2HtmlLookup, BesideTheExecutableThenInTheProgramFolderThenOnPath) {
  TempDir exe, program;
  auto make = [](const std::string& file) {
    WriteFileBytes(file, "#!/bin/sh\n");
    ASSERT_EQ(::chmod(file.c_str(), 0755), 0);
  };
  EXPECT_EQ(Text2HtmlProgram(exe.path(), program.path()), "Text2Html");
  make(program.file("Text2Html"));
  EXPECT_EQ(Text2HtmlProgram(exe.path(), program.path()), program.file("Text2Html"));
  make(exe.file("Text2Html"));
  EXPECT_EQ(Text2HtmlProgram(exe.path(), program.path()), exe.file("Text2Html"));
}

TEST_F(ExportTest, ExportsCloseAQueryResultTheGridShows) {
  Site("http://x.test/", T3::True, T3::True);
  dm->qry1.SetSQL("SELECT Url FROM Cracks");
  dm->qry1.Open();
  ASSERT_NE(dm->DataSourceQ1.DataSet(), nullptr);
  Exportkilledsites(dm->qry1, dir.path(), false);
  EXPECT_EQ(dm->DataSourceQ1.DataSet(), nullptr);
  EXPECT_FALSE(dm->DataSourceQ1.Active());
}

// ---- CSV --------------------------------------------------------------------------------------

// Every field type of the store in one table, and its text form.
TEST(ExportFieldText, EveryFieldType) {
  TempDir dir;
  TStoreTable t;
  t.SetDatabaseName(dir.path());
  t.SetTableName("types");
  struct Def {
    const char* name;
    TFieldType type;
    int size;
  } defs[] = {{"S", TFieldType::String, 20},    {"B", TFieldType::Boolean, 0},
              {"I16", TFieldType::SmallInt, 0}, {"I32", TFieldType::Integer, 0},
              {"W", TFieldType::Word, 0},       {"F", TFieldType::Float, 0},
              {"D", TFieldType::Date, 0},       {"T", TFieldType::Time, 0},
              {"DT", TFieldType::DateTime, 0},  {"DT0", TFieldType::DateTime, 0},
              {"BL", TFieldType::Blob, 0},      {"N", TFieldType::String, 5}};
  for (const Def& d : defs) t.FieldDefs().Add(d.name, d.type, d.size);
  t.CreateTable();
  t.Open();
  t.Append();
  t.FieldByName("S").SetAsString("say \"hi\", ok");
  t.FieldByName("B").SetAsBoolean(false);
  t.FieldByName("I16").SetAsInteger(-32768);
  t.FieldByName("I32").SetAsInteger(2000000000);
  t.FieldByName("W").SetAsInteger(65535);
  t.FieldByName("F").SetAsFloat(2.5);
  int32_t day = 0;
  ASSERT_TRUE(EncodeDayNumber(2024, 2, 29, day));
  t.FieldByName("D").SetAsDateTime(JoinDateTime(day, 0));
  t.FieldByName("T").SetAsDateTime(JoinDateTime(kDateDelta, (13 * 3600 + 5 * 60 + 9) * 1000));
  t.FieldByName("DT").SetAsDateTime(JoinDateTime(day, (7 * 3600 + 30 * 60) * 1000));
  t.FieldByName("DT0").SetAsDateTime(JoinDateTime(day, 0));
  t.FieldByName("BL").SetAsString("line 1\r\nline \"2\"");
  t.Post();
  TExportFormats formats;
  formats.shortDate = "dd.mm.yyyy";
  formats.decimalSeparator = ',';
  const char* expected[] = {"say \"hi\", ok",
                            "False",
                            "-32768",
                            "2000000000",
                            "65535",
                            "2,5",
                            "29.02.2024",
                            "13:05:09",
                            "29.02.2024 07:30:00",
                            "29.02.2024",
                            "line 1\r\nline \"2\"",
                            ""};
  for (int i = 0; i < t.FieldCount(); ++i)
    EXPECT_EQ(FieldText(t.Fields(i), formats), expected[i]) << t.Fields(i).FieldName();
  EXPECT_EQ(CsvExportLine(t, formats),
            "\"say \"\"hi\"\", ok\",\"False\",\"-32768\",\"2000000000\",\"65535\",\"2,5\","
            "\"29.02.2024\",\"13:05:09\",\"29.02.2024 07:30:00\",\"29.02.2024\","
            "\"line 1\r\nline \"\"2\"\"\",\"\"");
  // NULL of every type is empty text.
  t.Append();
  t.FieldByName("S").SetAsString("x");
  t.Post();
  for (int i = 1; i < t.FieldCount(); ++i) EXPECT_EQ(FieldText(t.Fields(i), formats), "");
}

class CsvExportTest : public ExportTest {
 protected:
  // A site with every field set, text with quotes, commas and non-ASCII letters.
  void FullSite(const std::string& url, bool killed, const std::string& dmcaUrls) {
    TStoreTable& t = dm->tblCracks;
    t.Append();
    for (int i = 0; i < t.FieldCount(); ++i) {
      TStoreField& f = t.Fields(i);
      switch (f.DataType()) {
        case TFieldType::Boolean:
          f.SetAsBoolean(i % 2 == 0);
          break;
        case TFieldType::SmallInt:
          f.SetAsInteger(-1234);
          break;
        case TFieldType::DateTime: {
          int32_t day = 0;
          EncodeDayNumber(2025, 11, 30, day);
          f.SetAsDateTime(JoinDateTime(day, i % 2 ? 0 : (23 * 3600 + 59 * 60 + 58) * 1000));
          break;
        }
        case TFieldType::Blob:
          f.SetAsString(dmcaUrls);
          break;
        default:
          f.SetAsString(f.Size() == 1 ? "Z" : "a \"quoted\", text \xC3\xA4");
      }
    }
    t.FieldByName("Url").SetAsString(url);
    t.FieldByName("Killed").SetAsBoolean(killed);
    t.FieldByName("Dead").Clear();  // an empty boolean stays empty
    t.Post();
  }
  std::string DumpOf(const std::string& folder, const std::string& filter) {
    std::ostringstream out, err;
    std::vector<std::string> args = {"dump", folder, "cracks"};
    if (!filter.empty()) args.insert(args.end(), {"--filter", filter});
    EXPECT_EQ(RunStoreTool(args, out, err), 0) << err.str();
    return out.str();
  }
};

TEST_F(CsvExportTest, SiteViewFileLoadsBackIntoAnEmptyTableWithEveryFieldEqual) {
  FullSite("http://a.test/", false, "http://a.test/1\r\nhttp://a.test/2, \"two\"");
  FullSite("http://b.test/", false, "");
  FullSite("http://killed.test/", true, "x");  // not in the view
  Site("http://sparse.test/", T3::False, T3::Null);
  dm->tblCracks.First();
  BusyUi busy;
  busy.fileAnswers.push_back(dir.file("sites.csv"));
  ExporttoCSV(&dm->tblCracks, busy);
  EXPECT_EQ(busy.calls,
            (std::vector<std::string>{
                "proposed: Query.Csv|CSV Files|*.CSV|Text Files|*.TXT|All Files|*", "save: "}));
  EXPECT_EQ(busy.maxBusy, 1);
  EXPECT_EQ(busy.busyDepth, 0);
  std::string csv = ReadFileBytes(dir.file("sites.csv"));
  EXPECT_EQ(csv.find("killed.test"), std::string::npos);
  EXPECT_NE(csv.find("\"a \"\"quoted\"\", text \xC3\xA4\""), std::string::npos);
  EXPECT_NE(csv.find("\"2025-11-30 23:59:58\""), std::string::npos);
  EXPECT_NE(csv.find(",\"2025-11-30\","), std::string::npos);
  ASSERT_EQ(csv.substr(csv.size() - 2), "\r\n");

  TempDir other;
  std::ostringstream out, err;
  ASSERT_EQ(RunStoreTool({"init", other.path()}, out, err), 0);
  ASSERT_EQ(RunStoreTool({"load", other.path(), "cracks", dir.file("sites.csv")}, out, err), 0)
      << err.str();
  // The DMCA list with its line breaks comes back whole, too.
  EXPECT_EQ(DumpOf(other.path(), ""), DumpOf(dir.path(), "Killed = False"));

  // And through the program's own import, into another empty table.
  TempDir third;
  ASSERT_EQ(RunStoreTool({"init", third.path()}, out, err), 0);
  {
    TStoreDatabase db;
    db.SetDatabaseName("ImportBack");
    db.SetDirectory(third.path());
    db.SetConnected(true);
    TStoreTable sites;
    sites.SetDatabaseName("ImportBack");
    sites.SetTableName("cracks.DAT");
    sites.Open();
    FakeUi importUi;
    TImportResult result = ImportSites({db, sites}, importUi, dir.file("sites.csv"));
    EXPECT_EQ(result.imported, 3) << (importUi.calls.empty() ? "" : importUi.calls.front());
  }
  EXPECT_EQ(DumpOf(third.path(), ""), DumpOf(dir.path(), "Killed = False"));
}

TEST_F(CsvExportTest, QueryResultAndEmptyViewAndCancel) {
  Site("http://a.test/", T3::True, T3::True);
  Site("http://b.test/", T3::True, T3::False);
  dm->qry1.SetSQL("SELECT Url, Dead, Count(Url) AS N FROM Cracks GROUP BY Url, Dead ORDER BY Url");
  dm->qry1.Open();
  ui.fileAnswers.push_back(dir.file("q.csv"));
  ExporttoCSV(dm->DataSourceQ1.DataSet(), ui);
  EXPECT_EQ(ReadFileBytes(dir.file("q.csv")),
            "\"http://a.test/\",\"True\",\"1\"\r\n\"http://b.test/\",\"False\",\"1\"\r\n");
  // The default view (Killed = False) is empty here: an empty file.
  ui.fileAnswers.push_back(dir.file("empty"));  // no extension: ".CSV" is added
  ExporttoCSV(&dm->tblCracks, ui);
  EXPECT_EQ(ReadFileBytes(dir.file("empty.CSV")), "");
  // Cancel writes nothing and asks nothing more.
  ui.calls.clear();
  ExporttoCSV(&dm->tblCracks, ui);
  EXPECT_EQ(ui.calls.size(), 1u);
  EXPECT_EQ(ui.busyDepth, 0);
}

TEST_F(CsvExportTest, ClosedQueryAndUnwritableFileGiveErrorsWithControlsAttached) {
  Site("http://a.test/", T3::False, T3::False);
  ui.fileAnswers.push_back(dir.file("x.csv"));
  EXPECT_THROW(ExporttoCSV(nullptr, ui), EDatabaseError);
  EXPECT_EQ(ui.busyDepth, 0);
  ui.fileAnswers.push_back(dir.file("missing/x.csv"));
  try {
    ExporttoCSV(&dm->tblCracks, ui);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file " + dir.file("missing/x.csv"));
  }
  EXPECT_FALSE(dm->tblCracks.ControlsDisabled());
  EXPECT_EQ(ui.busyDepth, 0);
}

}  // namespace
