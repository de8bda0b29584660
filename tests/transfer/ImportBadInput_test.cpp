// Bad input for the CSV site import: binary files, a 10 MB line, lone CRs, invalid UTF-8, a
// million lines, and errors anywhere in a file, after which the table and its indexes are
// exactly as before.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "store/api/StoreTb.h"
#include "transfer/ImportSites.h"
#include "transfer/ImportTestSupport.h"

using namespace quellor;
using namespace quellor::test;

namespace {

class ImportBadInputTest : public ImportFixture {
 protected:
  // Every site in the order of the index `name`, as storetool dump writes them.
  std::string DumpBy(const std::string& name) {
    std::ostringstream out, err;
    EXPECT_EQ(RunStoreTool({"dump", dir.path(), "cracks", "--index", name}, out, err), 0)
        << err.str();
    return out.str();
  }
  // Expects ImportSites to refuse the file with `message` and to leave the table alone.
  void ExpectRefused(const std::string& file, const std::string& message, size_t maxLines) {
    const std::string before = Dump();
    ui.calls.clear();
    try {
      ImportSites(Target(), ui, file, maxLines);
      ADD_FAILURE() << "imported: " << file;
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
    EXPECT_TRUE(ui.calls.empty());
    EXPECT_EQ(ui.busyDepth, 0);
    EXPECT_EQ(Dump(), before);
  }
};

TEST_F(ImportBadInputTest, TenMegabyteLines) {
  const std::string huge(10 << 20, 'u');
  const std::string blob(1 << 20, 'b');
  Import("http://" + huge + "\r\nhttp://notes.test/,,,," + huge + "\r\n" + "http://blob.test/," +
         std::string(24, ',') + blob + "\r\n");
  EXPECT_EQ(ui.calls.back(), "message: 3 sites imported");
  ASSERT_TRUE(Find("http://" + huge.substr(0, 118)));
  ASSERT_TRUE(Find("http://notes.test/"));
  EXPECT_EQ(dm->tblCracks.FieldByName("Notes").AsString(), huge.substr(0, 50));
  ASSERT_TRUE(Find("http://blob.test/"));
  EXPECT_EQ(dm->tblCracks.FieldByName("DMCAUrls").AsString(), blob);
}

TEST_F(ImportBadInputTest, LoneCarriageReturnsAndInvalidUtf8) {
  const std::string dangling = "http://" + std::string(117, 'a') + "\xc3\xc3\xc3";
  Import("http://a.test/\xff\xfe,\xc3\x28\rhttp://b.test/\x80\r" + dangling + "\r");
  EXPECT_EQ(ui.calls.back(), "message: 3 sites imported");
  ASSERT_TRUE(Find("http://a.test/\xff\xfe"));
  EXPECT_EQ(dm->tblCracks.FieldByName("E-mails").AsString(), "\xc3\x28");
  EXPECT_TRUE(Find("http://b.test/\x80"));
  EXPECT_TRUE(Find(dangling.substr(0, 125)));
}

TEST_F(ImportBadInputTest, BinaryWithoutNulBytesIsImportedOrRolledBack) {
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    std::string bytes(16 << 10, ' ');
    for (char& c : bytes) c = static_cast<char>(1 + random() % 255);
    const std::string before = Dump();
    ui.calls.clear();
    TImportResult r = Import(bytes);
    ASSERT_FALSE(ui.calls.empty());
    if (r.outcome == TImportOutcome::RolledBack) {
      EXPECT_EQ(Dump(), before) << round;
      EXPECT_EQ(ui.calls.back(), "message: 0 sites imported");
    } else {
      EXPECT_EQ(r.outcome, TImportOutcome::Imported);
    }
    EXPECT_EQ(ui.busyDepth, 0);
    EXPECT_FALSE(dm->db.InTransaction());
  }
}

TEST_F(ImportBadInputTest, AMillionLinesAreRefusedWithAClearMessage) {
  std::string text;
  text.reserve(30 << 20);
  for (int i = 0; i < 1000000; ++i) text += "http://m" + std::to_string(i) + ".test/,,,,,T\r\n";
  WriteFileBytes(dir.file("million.csv"), text);
  ExpectRefused(dir.file("million.csv"),
                dir.file("million.csv") +
                    " holds 1000000 site lines; at most 500000 are imported at once. Split it "
                    "into smaller files; no site was imported",
                kMaxImportLines);
  // The bound itself: as many lines as allowed are imported, one more is refused.
  WriteFileBytes(dir.file("three.csv"), "http://1.t/\r\nhttp://2.t/\r\n\r\nhttp://3.t/\r\n");
  ImportSites(Target(), ui, dir.file("three.csv"), 3);
  EXPECT_EQ(ui.calls.back(), "message: 3 sites imported");
  WriteFileBytes(dir.file("four.csv"), "http://4.t/\r\nhttp://5.t/\r\nhttp://6.t/\r\nhttp://7.t/");
  ExpectRefused(dir.file("four.csv"),
                dir.file("four.csv") +
                    " holds 4 site lines; at most 3 are imported at once. Split it into smaller "
                    "files; no site was imported",
                3);
}

TEST_F(ImportBadInputTest, AnErrorAnywhereLeavesTableAndIndexesAsBefore) {
  // A secondary index beside the primary one.
  dm->tblCracks.Close();
  {
    TStoreTable t;
    t.SetDatabaseName(dir.path());
    t.SetTableName("cracks.DAT");
    t.AddIndex("ByNotes", "Notes", 0);
  }
  dm->tblCracks.Open();
  for (int i = 0; i < 30; ++i)
    AddSite("http://have" + std::to_string(i) + ".test/", i % 3 == 0,
            "note " + std::to_string(i % 7));
  const std::string byUrl = Dump(), byNotes = DumpBy("ByNotes");

  std::string good;
  for (int i = 0; i < 300; ++i)
    good +=
        "http://new" + std::to_string(i) + ".test/,,,,\"n" + std::to_string(i % 11) + "\",T\r\n";
  const std::string bad[] = {
      "http://bad.test/,,,,,1\r\n",
      "http://bad.test/" + std::string(22, ',') + ",32768\r\n",
      "http://bad.test/" + std::string(21, ',') + "2021-13-01\r\n",
  };
  for (const std::string& line : bad) {
    const size_t middle = good.find("http://new150.test/");
    for (const std::string& file :
         {line + good, good + line, good.substr(0, middle) + line + good.substr(middle)}) {
      ui.calls.clear();
      TImportResult r = Import(file);
      EXPECT_EQ(r.outcome, TImportOutcome::RolledBack) << line;
      EXPECT_EQ(ui.calls.back(), "message: 0 sites imported");
      EXPECT_EQ(Dump(), byUrl) << line;
      EXPECT_EQ(DumpBy("ByNotes"), byNotes) << line;
    }
  }
  // Afterwards the same lines without the bad one go in whole, in both orders.
  ui.calls.clear();
  Import(good);
  EXPECT_EQ(ui.calls.back(), "message: 300 sites imported");
  dm->tblCracks.SetFiltered(false);
  EXPECT_EQ(dm->tblCracks.RecordCount(), 330);
  dm->tblCracks.SetIndexName("ByNotes");
  EXPECT_EQ(dm->tblCracks.RecordCount(), 330);
}

}  // namespace
