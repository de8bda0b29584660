// Datasets of the front end: a query's result behaves as a table does through TStoreDataSet
// (navigation, fields, filters, bookmarks, listeners, read-only results), and the dataset
// properties of a table: InMemory, AutoCalcFields, AutoDisplayLabels, CopyOnAppend and the
// progress of building an index.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

// A table "t": Name n1..n<count>, Num 1..count, in `dir`.
void MakeNumbers(TStoreSession& session, const TempDir& dir, int count) {
  TStoreTable t(session);
  Bind(t, dir, "t");
  t.FieldDefs().Add("Name", TFieldType::String, 10);
  t.FieldDefs().Add("Num", TFieldType::Integer);
  t.IndexDefs().Add("", "Num", IndexOption::Primary | IndexOption::Unique);
  t.CreateTable();
  t.Open();
  for (int i = 1; i <= count; ++i) {
    t.Append();
    t.FieldByName("Name").SetAsString("n" + std::to_string(i));
    t.FieldByName("Num").SetAsInteger(i);
    t.Post();
  }
  t.Close();
}

// Counts what a dataset tells its listeners, and what it shows at each ActiveChanged.
struct TCounter : TDataSetListener {
  explicit TCounter(TStoreDataSet& d) : dataSet(d) {}
  void DataSetEvent(TDataEvent event, int) override {
    ++events[static_cast<int>(event)];
    if (event == TDataEvent::ActiveChanged) activeSeen.push_back(dataSet.Active());
  }
  TStoreDataSet& dataSet;
  int events[5] = {};
  std::vector<bool> activeSeen;
};

class DataSets : public ::testing::Test {
 protected:
  void SetUp() override {
    session_.SetPrivateDir(private_.path());
    MakeNumbers(session_, dir_, 5);
    table_ = std::make_unique<TStoreTable>(session_);
    Bind(*table_, dir_, "t");
    query_ = std::make_unique<TStoreQuery>(session_);
    query_->SetDatabaseName(dir_.path());
    query_->SetSQL("SELECT Name, Num FROM t ORDER BY Num");
  }

  TempDir dir_, private_;
  TStoreSession session_;
  std::unique_ptr<TStoreTable> table_;
  std::unique_ptr<TStoreQuery> query_;
};

}  // namespace

// The same moves on the table and on a query over it end in the same place.
TEST_F(DataSets, QueryNavigatesLikeATable) {
  struct TCase {
    const char* name;
    std::function<void(TStoreDataSet&)> moves;
    int recNo;
    bool bof, eof;
    const char* current;  // Name of the current record; "" for none
  };
  const TCase cases[] = {
      {"open", [](TStoreDataSet&) {}, 1, true, false, "n1"},
      {"next", [](TStoreDataSet& d) { d.Next(); }, 2, false, false, "n2"},
      {"last", [](TStoreDataSet& d) { d.Last(); }, 5, false, true, "n5"},
      {"past last",
       [](TStoreDataSet& d) {
         d.Last();
         d.Next();
       },
       5, false, true, "n5"},
      {"prior",
       [](TStoreDataSet& d) {
         d.Last();
         d.Prior();
       },
       4, false, false, "n4"},
      {"move by 3", [](TStoreDataSet& d) { d.MoveBy(3); }, 4, false, false, "n4"},
      {"move by -9",
       [](TStoreDataSet& d) {
         d.Last();
         d.MoveBy(-9);
       },
       1, true, false, "n1"},
      {"set recno", [](TStoreDataSet& d) { d.SetRecNo(3); }, 3, false, false, "n3"},
      {"bookmark",
       [](TStoreDataSet& d) {
         d.SetRecNo(4);
         TBookmark mark = d.GetBookmark();
         d.First();
         d.GotoBookmark(mark);
       },
       4, false, false, "n4"},
      {"filter",
       [](TStoreDataSet& d) {
         d.SetFilter("Num > 2");
         d.SetFiltered(true);
         d.Next();
       },
       2, false, false, "n4"},
  };
  for (const TCase& c : cases) {
    for (TStoreDataSet* d :
         {static_cast<TStoreDataSet*>(table_.get()), static_cast<TStoreDataSet*>(query_.get())}) {
      SCOPED_TRACE(std::string(c.name) + (d == table_.get() ? " table" : " query"));
      d->SetFiltered(false);
      d->SetFilter("");
      d->Open();
      c.moves(*d);
      EXPECT_EQ(d->RecNo(), c.recNo);
      EXPECT_EQ(d->Bof(), c.bof);
      EXPECT_EQ(d->Eof(), c.eof);
      EXPECT_EQ(d->FieldByName("Name").AsString(), c.current);
      EXPECT_EQ(d->FieldCount(), 2);
      EXPECT_EQ(d->Fields(1).FieldName(), "Num");
      EXPECT_EQ(d->RecordCount(), std::string(c.name) == "filter" ? 3 : 5);
      EXPECT_EQ(d->CursorTable() != nullptr, true);
      d->Close();
      EXPECT_EQ(d->CursorTable(), d == table_.get() ? table_.get() : nullptr);
      EXPECT_FALSE(d->Active());
    }
  }
}

// A filter set on a closed query applies to every result it opens; a bad one is refused
// with the filter error and the old filter stays.
TEST_F(DataSets, QueryFilterOutlivesItsResults) {
  query_->SetFilter("Num >= 4");
  query_->SetFiltered(true);
  query_->Open();
  EXPECT_EQ(query_->RecordCount(), 2);
  query_->Close();
  query_->SetSQL("SELECT Name, Num FROM t WHERE Num <> 5");
  query_->Open();
  EXPECT_EQ(query_->RecordCount(), 1);
  EXPECT_EQ(query_->FieldByName("Num").AsInteger(), 4);
  EXPECT_THROW(query_->SetFilter("Num >"), EStoreEngineError);
  EXPECT_EQ(query_->Filter(), "Num >= 4");
  EXPECT_EQ(query_->RecordCount(), 1);
}

// Edits: a canned result refuses them; a live result changes the table beneath it.
TEST_F(DataSets, CannedResultsAreReadOnlyAndLiveOnesEditTheTable) {
  struct TCase {
    bool live;
    const char* error;  // of Edit
    const char* nameAfter;
  };
  const TCase cases[] = {
      {false, "Cannot modify a read-only dataset", "n1"},
      {true, "", "changed"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.live);
    query_->SetSQL("SELECT * FROM t WHERE Num = 1");
    query_->SetRequestLive(c.live);
    query_->Open();
    EXPECT_EQ(query_->ReadOnly(), !c.live);
    EXPECT_EQ(Message([&] {
                query_->Edit();
                query_->FieldByName("Name").SetAsString("changed");
                query_->Post();
              }),
              c.error);
    query_->Close();
    table_->Open();
    EXPECT_EQ(table_->FieldByName("Name").AsString(), c.nameAfter);
    table_->Close();
  }
  EXPECT_TRUE(query_->ReadOnly());  // closed
}

// Listeners of a query hear its results open and close (Active already false at the close)
// and every move within them.
TEST_F(DataSets, QueryListenersFollowItsResults) {
  TCounter counter(*query_);
  query_->AddListener(&counter);
  query_->Open();
  query_->Next();
  query_->Next();
  query_->SetSQL("SELECT Name FROM t");  // closes the result
  query_->Open();
  query_->DisableControls();
  query_->Last();
  EXPECT_EQ(counter.events[static_cast<int>(TDataEvent::RecordChanged)], 2);
  query_->EnableControls();
  EXPECT_EQ(counter.events[static_cast<int>(TDataEvent::RecordChanged)], 3);
  query_->Close();
  EXPECT_EQ(counter.activeSeen, (std::vector<bool>{true, false, true, false}));
  query_->RemoveListener(&counter);
  query_->Open();
  EXPECT_EQ(counter.activeSeen.size(), 4u);
}

// Open runs only statements that return rows; anything else is not run at all.
TEST_F(DataSets, OpenRefusesStatementsWithoutRows) {
  const char* statements[] = {
      "UPDATE t SET Name = 'x'",
      "DELETE FROM t",
      "CREATE TABLE u (A INTEGER)",
  };
  for (const char* sql : statements) {
    SCOPED_TRACE(sql);
    query_->SetSQL(sql);
    EXPECT_EQ(Message([&] { query_->Open(); }), "Error creating table handle.");
    EXPECT_FALSE(query_->Active());
  }
  table_->Open();
  EXPECT_EQ(table_->RecordCount(), 5);
  EXPECT_EQ(table_->FieldByName("Name").AsString(), "n1");
  table_->Close();
  struct stat st {};
  EXPECT_NE(::stat((dir_.path() + "/u.DAT").c_str(), &st), 0);
}

// The dataset switches of a table.
TEST_F(DataSets, CalcFieldsLabelsAndCopies) {
  // AutoCalcFields: OnCalcFields also runs after each field change of an edit.
  for (bool autoCalc : {true, false}) {
    SCOPED_TRACE(autoCalc);
    int calcs = 0;
    table_->OnCalcFields = [&](TStoreTable& t) {
      ++calcs;
      if (t.State() == TDataSetState::Edit) t.FieldByName("Num").AsInteger();
    };
    table_->SetAutoCalcFields(autoCalc);
    table_->Open();
    const int atOpen = calcs;
    table_->Edit();
    table_->FieldByName("Name").SetAsString("m1");
    table_->FieldByName("Name").SetAsString("m2");
    EXPECT_EQ(calcs - atOpen, autoCalc ? 2 : 0);
    table_->Cancel();
    table_->Close();
    table_->OnCalcFields = nullptr;
  }

  // AutoDisplayLabels: a field's description stands for its name.
  TStoreTable labelled(session_);
  Bind(labelled, dir_, "labelled");
  labelled.FieldDefs().Add("Url", TFieldType::String, 40).Description = "Web address";
  labelled.FieldDefs().Add("Notes", TFieldType::Memo);
  labelled.CreateTable();
  labelled.Open();
  EXPECT_EQ(labelled.FieldByName("Url").DisplayLabel(), "Url");
  labelled.SetAutoDisplayLabels(true);
  EXPECT_EQ(labelled.FieldByName("Url").DisplayLabel(), "Web address");
  EXPECT_EQ(labelled.FieldByName("Notes").DisplayLabel(), "Notes");
  labelled.FieldByName("Url").SetDisplayLabel("Site");
  EXPECT_EQ(labelled.FieldByName("Url").DisplayLabel(), "Site");

  // CopyOnAppend: the new record starts as a copy of the current one, BLOB values included.
  labelled.Append();
  labelled.FieldByName("Url").SetAsString("http://a.example");
  labelled.FieldByName("Notes").SetAsString("long notes");
  labelled.Post();
  for (bool copy : {false, true}) {
    SCOPED_TRACE(copy);
    labelled.SetCopyOnAppend(copy);
    labelled.First();
    labelled.Append();
    EXPECT_EQ(labelled.FieldByName("Url").AsString(), copy ? "http://a.example" : "");
    EXPECT_EQ(labelled.FieldByName("Notes").AsString(), copy ? "long notes" : "");
    labelled.Cancel();
  }
  labelled.First();
  labelled.Append();
  labelled.FieldByName("Url").SetAsString("http://b.example");
  labelled.Post();
  labelled.First();
  labelled.Edit();
  labelled.FieldByName("Notes").SetAsString("changed");
  labelled.Post();
  // The copy has a value of its own.
  labelled.Last();
  EXPECT_EQ(labelled.FieldByName("Url").AsString(), "http://b.example");
  EXPECT_EQ(labelled.FieldByName("Notes").AsString(), "long notes");
  EXPECT_EQ(labelled.RecordCount(), 2);
}

// An in-memory table ignores the folder it names; its files are memory buffers.
TEST_F(DataSets, InMemoryTablesLeaveNoFiles) {
  TStoreTable memory(session_);
  Bind(memory, dir_, "scratch");
  memory.SetInMemory(true);
  memory.FieldDefs().Add("A", TFieldType::Integer);
  memory.CreateTable();
  memory.Open();
  memory.Append();
  memory.FieldByName("A").SetAsInteger(7);
  memory.Post();
  EXPECT_EQ(memory.RecordCount(), 1);
  struct stat st {};
  EXPECT_NE(::stat((dir_.path() + "/scratch.DAT").c_str(), &st), 0);
  TStoreTable same(session_);
  same.SetDatabaseName("MEMORY");
  same.SetTableName("scratch");
  same.Open();
  EXPECT_EQ(same.FieldByName("A").AsInteger(), 7);
  EXPECT_THROW(memory.SetInMemory(false), EDatabaseError);  // open
}

// Building an index reports its progress, ending with every record read at 100 percent.
TEST_F(DataSets, AddIndexReportsProgress) {
  MakeNumbers(session_, private_, 300);
  for (bool open : {false, true}) {
    SCOPED_TRACE(open);
    TStoreTable t(session_);
    Bind(t, private_, "t");
    std::vector<std::pair<int, int>> seen;
    t.OnIndexProgress = [&](TStoreTable&, int record, int16_t percent) {
      seen.emplace_back(record, percent);
    };
    if (open) {
      t.SetExclusive(true);
      t.Open();
    }
    const std::string name = open ? "ByName2" : "ByName";
    t.AddIndex(name, "Name", 0);
    ASSERT_EQ(seen.size(), 300u);
    EXPECT_EQ(seen.front(), std::make_pair(1, 0));
    EXPECT_EQ(seen.back(), std::make_pair(300, 100));
    for (size_t i = 1; i < seen.size(); ++i) EXPECT_LE(seen[i - 1].second, seen[i].second);
  }
}
