// Sessions and databases of the front end: when a database stays connected (KeepConnection,
// KeepConnections), the session's start-up, name and activity, and the default table language.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <string>
#include <vector>

#include "store/StoreTestTables.h"
#include "store/api/StoreQuery.h"
#include "store/api/StoreTb.h"
#include "support/TempDir.h"

using namespace quellor;
using namespace quellor::test;

namespace {

// A table "t" with one string field and one record, in `dir`.
void MakeTable(TStoreSession& session, const TempDir& dir) {
  TStoreTable t(session);
  Bind(t, dir, "t");
  t.FieldDefs().Add("Name", TFieldType::String, 10);
  t.CreateTable();
  t.Open();
  t.Append();
  t.FieldByName("Name").SetAsString("a");
  t.Post();
  t.Close();
}

bool Lists(const std::vector<std::string>& folders, const std::string& folder) {
  std::string wanted = folder;
  if (wanted.back() != '/') wanted += '/';
  return std::find(folders.begin(), folders.end(), wanted) != folders.end();
}

}  // namespace

// A database disconnects after its last dataset closes unless KeepConnection is set; it
// connects again (BeforeConnect told anew) when a dataset opens.
TEST(StoreConnection, KeepConnectionDecidesWhetherTheLastCloseDisconnects) {
  struct TCase {
    bool keep;
    int tables;  // opened together, then closed one by one
    bool connectedAfterFirstClose;
    bool connectedAfterLastClose;
  };
  const TCase cases[] = {
      {true, 1, true, true},
      {false, 1, false, false},
      {true, 2, true, true},
      {false, 2, true, false},  // one is still open after the first close
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.keep) + " " + std::to_string(c.tables));
    TempDir dir;
    TStoreSession session;
    MakeTable(session, dir);
    TStoreDatabase db(session);
    db.SetDatabaseName("Data");
    db.SetDirectory(dir.path());
    db.SetKeepConnection(c.keep);
    int connects = 0;
    db.BeforeConnect = [&](TStoreDatabase&) { ++connects; };
    std::vector<std::unique_ptr<TStoreTable>> tables;
    for (int i = 0; i < c.tables; ++i) {
      tables.push_back(std::make_unique<TStoreTable>(session));
      tables.back()->SetDatabaseName("Data");
      tables.back()->SetTableName("t");
      tables.back()->Open();
      EXPECT_EQ(tables.back()->Database(), &db);
    }
    EXPECT_TRUE(db.Connected());
    EXPECT_EQ(db.DataSetCount(), c.tables);
    EXPECT_EQ(connects, 1);
    tables.front()->Close();
    EXPECT_EQ(db.Connected(), c.connectedAfterFirstClose);
    tables.back()->Close();
    EXPECT_EQ(db.Connected(), c.connectedAfterLastClose);
    EXPECT_EQ(db.DataSetCount(), 0);
    // Opening again connects again.
    tables.front()->Open();
    EXPECT_TRUE(db.Connected());
    EXPECT_EQ(connects, c.keep ? 1 : 2);
    tables.front()->Close();
  }
}

// A query counts on its database like a table: its open result keeps the database connected.
TEST(StoreConnection, AnOpenQueryKeepsItsDatabaseConnected) {
  TempDir dir, priv;
  TStoreSession session;
  session.SetPrivateDir(priv.path());
  MakeTable(session, dir);
  TStoreDatabase db(session);
  db.SetDatabaseName("Data");
  db.SetDirectory(dir.path());
  db.SetKeepConnection(false);
  TStoreQuery q(session);
  q.SetDatabaseName("Data");
  q.SetSQL("SELECT Name FROM t");
  q.Open();
  EXPECT_TRUE(db.Connected());
  EXPECT_EQ(q.Database(), &db);
  q.Close();
  EXPECT_FALSE(db.Connected());
}

// Switching KeepConnection off disconnects an idle database at once; a failed open leaves no
// connection behind; closing a database closes the datasets open on it.
TEST(StoreConnection, IdleAndFailedAndClosedDatabases) {
  TempDir dir;
  TStoreSession session;
  MakeTable(session, dir);
  TStoreDatabase db(session);
  db.SetDatabaseName("Data");
  db.SetDirectory(dir.path());
  db.Open();
  db.SetKeepConnection(false);
  EXPECT_FALSE(db.Connected());

  TStoreTable missing(session);
  missing.SetDatabaseName("Data");
  missing.SetTableName("nosuch");
  EXPECT_THROW(missing.Open(), EStoreEngineError);
  EXPECT_FALSE(db.Connected());

  db.SetKeepConnection(true);
  TStoreTable t(session);
  t.SetDatabaseName("Data");
  t.SetTableName("t");
  t.Open();
  db.Close();
  EXPECT_FALSE(t.Active());
  EXPECT_FALSE(db.Connected());
  EXPECT_EQ(t.Database(), nullptr);
}

// A table that names a folder connects through the session, which keeps that connection after
// the table closes only with KeepConnections.
TEST(StoreConnection, KeepConnectionsKeepsFolderConnections) {
  for (bool keep : {true, false}) {
    SCOPED_TRACE(keep);
    TempDir dir;
    TStoreSession session;
    session.SetKeepConnections(keep);
    MakeTable(session, dir);
    TStoreTable t(session);
    Bind(t, dir, "t");
    t.Open();
    EXPECT_TRUE(Lists(session.ConnectedFolders(), dir.path()));
    t.Close();
    EXPECT_EQ(Lists(session.ConnectedFolders(), dir.path()), keep);
    session.SetKeepConnections(false);
    EXPECT_FALSE(Lists(session.ConnectedFolders(), dir.path()));
  }
}

// A session starts when it is first used, telling OnStartup; deactivating it disconnects its
// databases (closing their datasets); it starts again on the next use.
TEST(StoreConnection, SessionStartsOnFirstUseAndStopsWithItsDatabases) {
  TempDir dir;
  TStoreSession session;
  int startups = 0;
  session.OnStartup = [&](TStoreSession& s) {
    EXPECT_TRUE(s.Active());
    ++startups;
  };
  EXPECT_FALSE(session.Active());
  MakeTable(session, dir);
  EXPECT_TRUE(session.Active());
  EXPECT_EQ(startups, 1);
  TStoreDatabase db(session);
  db.SetDatabaseName("Data");
  db.SetDirectory(dir.path());
  TStoreTable t(session);
  t.SetDatabaseName("Data");
  t.SetTableName("t");
  t.Open();
  EXPECT_EQ(startups, 1);
  session.SetActive(false);
  EXPECT_FALSE(session.Active());
  EXPECT_FALSE(db.Connected());
  EXPECT_FALSE(t.Active());
  EXPECT_TRUE(session.ConnectedFolders().empty());
  t.Open();
  EXPECT_TRUE(session.Active());
  EXPECT_EQ(startups, 2);
  session.SetActive(true);
  EXPECT_EQ(startups, 2);
}

TEST(StoreConnection, AutoSessionNameGivesUniqueNames) {
  TStoreSession a, b, c;
  c.SetSessionName("Session1");
  a.SetAutoSessionName(true);
  b.SetAutoSessionName(true);
  EXPECT_EQ(a.SessionName(), "Session2");
  EXPECT_EQ(b.SessionName(), "Session3");
  EXPECT_TRUE(a.AutoSessionName());
  a.SetSessionName("Mine");
  EXPECT_FALSE(a.AutoSessionName());
  EXPECT_EQ(a.SessionName(), "Mine");
  TStoreSession d;
  d.SetAutoSessionName(true);
  EXPECT_EQ(d.SessionName(), "Session2");  // free again
  EXPECT_EQ(TStoreSession::Default().SessionName(), "Default");
}

TEST(StoreConnection, HandleSharedIsKept) {
  TStoreDatabase db;
  EXPECT_FALSE(db.HandleShared());
  db.SetHandleShared(true);
  EXPECT_TRUE(db.HandleShared());
}

// The person's language from the locale's name.
TEST(StoreConnection, LanguageOfALocale) {
  struct TCase {
    const char* locale;
    int id;
  };
  const TCase cases[] = {
      {"C", 0},
      {"POSIX", 0},
      {"C.UTF-8", 0},
      {"", 0},
      {"en_US.UTF-8", 1033},
      {"en_GB", 2057},
      {"de_DE", 1031},
      {"de_AT.UTF-8", 3079},
      {"de_XX.UTF-8", 1031},  // territory unknown: the language's first
      {"fr_CA.ISO-8859-1@euro", 3084},
      {"en", 1033},
      {"xx_YY.UTF-8", 0},  // a language the store does not know
      {"ja_JP.UTF-8", 0},  // nor this one
      {"en_US.SJIS", 0},   // a double-byte code page
      {"de_DE.GB18030", 0},
      {"zh_TW.Big5", 0},
  };
  for (const TCase& c : cases) EXPECT_EQ(LanguageIDOfLocale(c.locale), c.id) << c.locale;
}

// A new session takes the person's language.
TEST(StoreConnection, NewSessionsTakeThePersonsLanguage) {
  const std::string saved = std::setlocale(LC_COLLATE, nullptr);
  EXPECT_EQ(TStoreSession().LanguageID(), UserDefaultLanguageID());
  ASSERT_NE(std::setlocale(LC_COLLATE, "C"), nullptr);
  EXPECT_EQ(UserDefaultLanguageID(), 0);
  EXPECT_EQ(TStoreSession().LanguageID(), 0);
  std::setlocale(LC_COLLATE, saved.c_str());
}
