// The dataset's before and after events, its error events with their actions, Edit without a
// current record, and the BLOB stream.
#include <gtest/gtest.h>

#include "StoreTestTables.h"
#include "store/api/StoreTb.h"
#include "support/TempDir.h"

namespace quellor::test {
namespace {

void Make(const TempDir& dir) {
  TStoreTable t;
  Bind(t, dir, "t");
  t.FieldDefs().Add("Name", TFieldType::String, 10);
  t.FieldDefs().Add("Data", TFieldType::Blob);
  t.IndexDefs().Add("", "Name", IndexOption::Primary);
  t.CreateTable();
  t.Open();
  for (const char* n : {"a", "b"}) {
    t.Append();
    t.FieldByName("Name").SetAsString(n);
    t.Post();
  }
}

TEST(DataSetEvents, BeforeAndAfterEventsComeInOrder) {
  TempDir dir;
  Make(dir);
  TStoreTable t;
  Bind(t, dir, "t");
  std::vector<std::string> log;
  auto note = [&](const char* name) { return [&log, name](TStoreTable&) { log.push_back(name); }; };
  t.BeforeOpen = note("BeforeOpen");
  t.AfterOpen = note("AfterOpen");
  t.BeforeClose = note("BeforeClose");
  t.AfterClose = note("AfterClose");
  t.BeforeInsert = note("BeforeInsert");
  t.AfterInsert = note("AfterInsert");
  t.BeforeEdit = note("BeforeEdit");
  t.AfterEdit = note("AfterEdit");
  t.BeforePost = note("BeforePost");
  t.AfterPost = note("AfterPost");
  t.BeforeCancel = note("BeforeCancel");
  t.AfterCancel = note("AfterCancel");
  t.BeforeDelete = note("BeforeDelete");
  t.AfterDelete = note("AfterDelete");
  t.BeforeScroll = note("BeforeScroll");
  t.AfterScroll = note("AfterScroll");
  t.OnCalcFields = note("OnCalcFields");
  struct Step {
    std::function<void()> run;
    std::vector<std::string> events;
  };
  std::vector<Step> steps = {
      {[&] { t.Open(); },
       {"BeforeOpen", "BeforeScroll", "OnCalcFields", "AfterScroll", "AfterOpen"}},
      {[&] { t.Next(); }, {"BeforeScroll", "OnCalcFields", "AfterScroll"}},
      {[&] { t.Edit(); }, {"BeforeEdit", "AfterEdit"}},
      {[&] { t.Cancel(); }, {"BeforeCancel", "AfterCancel"}},
      {[&] {
         t.Append();
         t.FieldByName("Name").SetAsString("c");
         t.Post();
       },
       // AutoCalcFields: the field change is calculated too.
       {"BeforeInsert", "AfterInsert", "OnCalcFields", "BeforePost", "OnCalcFields", "AfterScroll",
        "AfterPost"}},
      {[&] { t.Delete(); }, {"BeforeDelete", "OnCalcFields", "AfterScroll", "AfterDelete"}},
      {[&] { t.Close(); }, {"BeforeClose", "AfterClose"}},
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    log.clear();
    steps[i].run();
    EXPECT_EQ(log, steps[i].events) << "step " << i;
  }
}

TEST(DataSetEvents, ErrorEventsFailAbortOrRetry) {
  struct Case {
    const char* what;
    TStoreTable::TDataAction action;
    bool throws;
    int calls;
  };
  for (Case c : {Case{"fail", TStoreTable::TDataAction::Fail, true, 1},
                 Case{"abort", TStoreTable::TDataAction::Abort, false, 1},
                 Case{"retry", TStoreTable::TDataAction::Retry, false, 1}}) {
    TempDir dir;
    Make(dir);
    TStoreTable t;
    Bind(t, dir, "t");
    t.Open();
    int calls = 0;
    uint16_t code = 0;
    t.OnPostError = [&](TStoreTable& table, const std::exception& e, TStoreTable::TDataAction& a) {
      ++calls;
      if (auto* engine = dynamic_cast<const EStoreEngineError*>(&e)) code = engine->ErrorCode();
      a = c.action;
      // A retry after mending the value succeeds.
      if (c.action == TStoreTable::TDataAction::Retry) table.FieldByName("Name").SetAsString("z");
    };
    t.Append();
    t.FieldByName("Name").SetAsString("a");  // a duplicate of the primary key
    bool threw = false;
    try {
      t.Post();
    } catch (const EStoreEngineError&) {
      threw = true;
    }
    EXPECT_EQ(threw, c.throws) << c.what;
    EXPECT_EQ(calls, c.calls) << c.what;
    EXPECT_EQ(code, 9729) << c.what;
    EXPECT_EQ(t.State(), c.action == TStoreTable::TDataAction::Retry ? TDataSetState::Browse
                                                                     : TDataSetState::Insert)
        << c.what;
  }
}

TEST(DataSetEvents, EditWithoutARecordAndEditErrors) {
  TempDir dir;
  TStoreTable t;
  Bind(t, dir, "e");
  t.FieldDefs().Add("Name", TFieldType::String, 10);
  t.CreateTable();
  t.Open();
  try {
    t.Edit();
    ADD_FAILURE();
  } catch (const EStoreEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 8709);
  }
  int calls = 0;
  t.OnEditError = [&](TStoreTable&, const std::exception&, TStoreTable::TDataAction& a) {
    ++calls;
    a = TStoreTable::TDataAction::Abort;
  };
  t.Edit();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(t.State(), TDataSetState::Browse);
}

TEST(BlobStream, WritesReadsSeeksAndTruncates) {
  TempDir dir;
  Make(dir);
  TStoreTable t;
  Bind(t, dir, "t");
  t.Open();
  EXPECT_THROW(TStoreBlobStream(t.FieldByName("Data"), TBlobStreamMode::Write), EDatabaseError);
  try {
    TStoreBlobStream s(t.FieldByName("Name"), TBlobStreamMode::Read);
    ADD_FAILURE();
  } catch (const EStoreEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 10753);
  }
  t.Edit();
  {
    TStoreBlobStream s(t.FieldByName("Data"), TBlobStreamMode::Write);
    std::string big(5000, 'x');
    EXPECT_EQ(s.Write(big.data(), 5000), 5000);
    s.Seek(-10, TStoreBlobStream::TSeekOrigin::End);
    EXPECT_EQ(s.Write("0123456789abc", 13), 13);
    EXPECT_EQ(s.Size(), 5003);
  }
  t.Post();
  t.Close();
  t.Open();
  {
    TStoreBlobStream s(t.FieldByName("Data"), TBlobStreamMode::Read);
    EXPECT_EQ(s.Size(), 5003);
    char tail[14] = {};
    s.Seek(4990, TStoreBlobStream::TSeekOrigin::Beginning);
    EXPECT_EQ(s.Read(tail, 100), 13);
    EXPECT_STREQ(tail, "0123456789abc");
    EXPECT_THROW(s.Write("x", 1), EDatabaseError);
  }
  t.Edit();
  {
    TStoreBlobStream s(t.FieldByName("Data"), TBlobStreamMode::ReadWrite);
    s.Seek(3, TStoreBlobStream::TSeekOrigin::Beginning);
    s.Truncate();
  }
  t.Post();
  EXPECT_EQ(t.FieldByName("Data").AsString(), "xxx");
}

}  // namespace
}  // namespace quellor::test
