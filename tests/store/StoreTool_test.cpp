// storetool: init, info, dump and load, run in-process with captured output.
#include "StoreTool.h"

#include <gtest/gtest.h>

#include <sstream>

#include "store/StoreTestTables.h"
#include "store/api/StoreTb.h"
#include "support/TempDir.h"

using namespace quellor;
using namespace quellor::test;

namespace {

struct TRun {
  int code;
  std::string out, err;
};

TRun Tool(std::vector<std::string> args) {
  std::ostringstream out, err;
  int code = RunStoreTool(args, out, err);
  return {code, out.str(), err.str()};
}

TEST(StoreTool, InitCreatesTheSiteAndIspTablesAndNeverOverwrites) {
  TempDir dir;
  TRun first = Tool({"init", dir.path()});
  ASSERT_EQ(first.code, 0) << first.err;
  EXPECT_EQ(first.out,
            "cracks.DAT created (user version 1.2)\nisps.DAT created (user version 1.1)\n");
  TStoreTable site;
  Bind(site, dir, "cracks.DAT");
  EXPECT_EQ(site.UserMajorVersion(), 1);
  EXPECT_EQ(site.UserMinorVersion(), 2);
  site.Open();
  ASSERT_EQ(site.FieldCount(), 26);
  EXPECT_EQ(site.Fields(0).FieldName(), "Url");
  EXPECT_EQ(site.Fields(25).FieldName(), "DMCAUrls");
  EXPECT_EQ(site.FieldByName("Priority").DataType(), TFieldType::SmallInt);
  EXPECT_EQ(site.FieldByName("LastSent").DataType(), TFieldType::DateTime);
  EXPECT_EQ(site.IndexDefinitions().at(0).Fields, "Url");
  site.Append();
  site.FieldByName("Url").SetAsString("http://kept.example");
  site.Post();
  site.Close();

  TRun again = Tool({"init", dir.path()});
  EXPECT_EQ(again.code, 0);
  EXPECT_EQ(again.out, "cracks.DAT exists: left as it is\nisps.DAT exists: left as it is\n");
  site.Open();
  EXPECT_EQ(site.RecordCount(), 1);

  TStoreTable isp;
  Bind(isp, dir, "isps.DAT");
  EXPECT_EQ(isp.UserMinorVersion(), 1);
  isp.Open();
  EXPECT_EQ(isp.FieldByName("Emails").Size(), 200);
}

TEST(StoreTool, LoadDumpAndInfo) {
  TempDir dir;
  ASSERT_EQ(Tool({"init", dir.path()}).code, 0);
  WriteFileBytes(dir.file("in.csv"),
                 "\"http://b.example\",\"abuse@b\",,,\"say \"\"hi\"\"\",True\r\n"
                 "\"http://a.example\",,,,\"two\nlines\",False\n"
                 "\"http://b.example\",\"dup\"\r\n"
                 "\"http://c.example\",,,,,maybe\r"
                 "\r\n"
                 "http://d.example,x,,,,,,,,,,,,,,,,,,,,\"2021-03-04 05:06:07\",,7\r\n");
  TRun load = Tool({"load", dir.path(), "cracks", dir.file("in.csv")});
  EXPECT_EQ(load.code, 1);
  EXPECT_EQ(load.out, "3 rows added, 2 rejected\n");
  EXPECT_NE(load.err.find("line 4: Store Engine Error # 9729 Duplicate key found in index "
                          "'Primary' of table 'cracks'"),
            std::string::npos)
      << load.err;
  EXPECT_NE(load.err.find("line 5: 'maybe' is not a valid boolean value for field 'Cracks'"),
            std::string::npos)
      << load.err;

  TRun dump = Tool({"dump", dir.path(), "cracks.DAT"});
  ASSERT_EQ(dump.code, 0) << dump.err;
  const std::string nulls20(20, ',');
  EXPECT_EQ(dump.out, "\"http://a.example\",,,,\"two\nlines\",\"False\"" + nulls20 + "\r\n" +
                          "\"http://b.example\",\"abuse@b\",,,\"say \"\"hi\"\"\",\"True\"" +
                          nulls20 + "\r\n" + "\"http://d.example\",\"x\"" + nulls20 +
                          "\"2021-03-04 05:06:07\",,\"7\",,\r\n");

  // What dump writes, load reads back as the same records.
  TempDir other;
  ASSERT_EQ(Tool({"init", other.path()}).code, 0);
  WriteFileBytes(other.file("out.csv"), dump.out);
  TRun back = Tool({"load", other.path(), "cracks", other.file("out.csv")});
  EXPECT_EQ(back.code, 0) << back.err;
  EXPECT_EQ(back.out, "3 rows added\n");
  EXPECT_EQ(Tool({"dump", other.path(), "cracks"}).out, dump.out);

  TRun byNotes = Tool({"dump", dir.path(), "cracks", "--index", "Nope"});
  EXPECT_EQ(byNotes.code, 1);
  EXPECT_EQ(byNotes.err,
            "Store Engine Error # 10022 Invalid secondary index name 'Nope' specified for table "
            "'cracks'\n");

  // Only the records that pass the filter; a bad filter fails with its filter error.
  struct FilterCase {
    const char* filter;
    std::string out;
  };
  const FilterCase filters[] = {
      {"Cracks = False", "\"http://a.example\",,,,\"two\nlines\",\"False\"" + nulls20 + "\r\n"},
      {"Url = 'http://d*' or Priority = 7",
       "\"http://d.example\",\"x\"" + nulls20 + "\"2021-03-04 05:06:07\",,\"7\",,\r\n"},
      {"Cracks IS NULL And [E-mails] = 'x'",
       "\"http://d.example\",\"x\"" + nulls20 + "\"2021-03-04 05:06:07\",,\"7\",,\r\n"},
      {"Url = 'nothing*'", ""},
      {"", dump.out},
  };
  for (const FilterCase& f : filters) {
    TRun run = Tool({"dump", dir.path(), "cracks", "--filter", f.filter});
    EXPECT_EQ(run.code, 0) << f.filter << ": " << run.err;
    EXPECT_EQ(run.out, f.out) << f.filter;
  }
  TRun badFilter = Tool({"dump", dir.path(), "cracks", "--filter", "Kiled = True"});
  EXPECT_EQ(badFilter.code, 1);
  EXPECT_EQ(badFilter.out, "");
  EXPECT_EQ(badFilter.err,
            "Store Engine Error # 10051 Filter error for table 'cracks' - Invalid column name "
            "'Kiled' or table correlation name '' specified in filter expression\n");

  TRun info = Tool({"info", dir.path(), "cracks"});
  ASSERT_EQ(info.code, 0) << info.err;
  for (const char* fact :
       {"Table:          cracks\n", "Description:    Cracks\n", "User version:   1.2\n",
        "Records:        3 (3 slots, first deleted slot 0)\n", "Fields (26):\n",
        "  1 Url String(125)\n", "  24 Priority SmallInt\n", "  26 DMCAUrls Blob\n",
        "Indexes (1):\n", "  Primary (Url) unique compression NONE\n"})
    EXPECT_NE(info.out.find(fact), std::string::npos) << fact << "\n" << info.out;
}

TEST(StoreTool, FailuresGiveTheEngineMessageAndANonZeroCode) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string err;
  } cases[] = {
      {{"info", dir.path(), "missing"},
       1,
       "Store Engine Error # 11010 Invalid path or file name for table 'missing'\n"},
      {{"load", dir.path(), "cracks", dir.file("none.csv")},
       1,
       "Cannot read '" + dir.file("none.csv") + "'\n"},
      {{"frobnicate"}, 2, ""},
      {{"dump", dir.path()}, 2, ""},
      {{"info", dir.path(), "x", "--index", "y"}, 2, ""},
      {{"info", dir.path(), "x", "--filter", "Killed"}, 2, ""},
  };
  for (const Case& c : cases) {
    TRun run = Tool(c.args);
    EXPECT_EQ(run.code, c.code);
    if (!c.err.empty())
      EXPECT_EQ(run.err, c.err);
    else
      EXPECT_NE(run.err.find("usage: storetool"), std::string::npos);
  }
}

TEST(StoreTool, CsvLineQuotesEveryValue) {
  EXPECT_EQ(CsvLine({"a\"b", "", "c"}, {false, true, false}), "\"a\"\"b\",,\"c\"");
}

}  // namespace

namespace {

TEST(StoreTool, VerifyAndRepairPrintTheLogAndTellDamageByTheExitCode) {
  TempDir dir;
  ASSERT_EQ(Tool({"init", dir.path()}).code, 0);
  TRun sound = Tool({"verify", dir.path(), "cracks.DAT"});
  EXPECT_EQ(sound.code, 0) << sound.err;
  EXPECT_EQ(sound.out.rfind("Verification of table cracks.DAT started at ", 0), 0u) << sound.out;
  EXPECT_NE(sound.out.find("\nVerification of table cracks.DAT completed at "), std::string::npos);
  // A wrong count of slots in the header.
  std::string data = ReadFileBytes(dir.file("cracks.DAT"));
  data[13] = 9;
  WriteFileBytes(dir.file("cracks.DAT"), data);
  TRun damaged = Tool({"verify", dir.path(), "cracks.DAT"});
  EXPECT_EQ(damaged.code, 1);
  EXPECT_NE(damaged.out.find("Physical record count not correct, error not fixed"),
            std::string::npos)
      << damaged.out;
  TRun repaired = Tool({"repair", dir.path(), "cracks.DAT"});
  EXPECT_EQ(repaired.code, 0) << repaired.err;
  EXPECT_NE(repaired.out.find("Physical record count not correct, error fixed"), std::string::npos);
  EXPECT_EQ(Tool({"verify", dir.path(), "cracks.DAT"}).code, 0);
  // A field of unknown type cannot be mended.
  data = ReadFileBytes(dir.file("isps.DAT"));
  data[127 + 84] = 77;
  WriteFileBytes(dir.file("isps.DAT"), data);
  TRun unfixable = Tool({"repair", dir.path(), "isps.DAT"});
  EXPECT_EQ(unfixable.code, 1);
  EXPECT_NE(unfixable.out.find("error cannot be fixed"), std::string::npos);
  EXPECT_EQ(Tool({"verify", dir.path()}).code, 2);
}

}  // namespace
