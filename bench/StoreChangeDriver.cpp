// A small driver for profiling the store's change path on the site table: inserts `sites`
// records (each a change of its own, or all in one transaction with "tx"), deletes every tenth
// and inserts it again, then prints the lock calls, reads and writes per operation that the
// file layer counted. Meant to run under strace or perf; it measures nothing against a peer.
//
//   bench_store_change <folder> [sites] [tx]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "data/SiteTables.h"
#include "store/api/StoreTb.h"
#include "store/engine/StoreInternals.h"
#include "store/os/PhysicalFile.h"

using namespace quellor;

namespace {

void Insert(TStoreTable& t, int i) {
  char url[96];
  std::snprintf(url, sizeof url, "http://www.%08x-%d.example/warez/",
                static_cast<unsigned>(i * 2654435761u), i);
  t.Append();
  t.FieldByName("Url").SetAsString(url);
  t.FieldByName("E-mails").SetAsString("abuse@provider" + std::to_string(i % 977) + ".example");
  t.FieldByName("IPAddr").SetAsString("10.1.1." + std::to_string(i % 250));
  t.FieldByName("Killed").SetAsBoolean(i % 7 == 0);
  t.FieldByName("Priority").SetAsInteger(i % 5);
  t.Post();
}

void Print(const char* what, const TFileCallCounts& before, double ops) {
  const TFileCallCounts now = FileCallCounts();
  std::printf("%s: %.2f locks, %.2f reads, %.2f writes per op\n", what,
              static_cast<double>(now.locks - before.locks) / ops,
              static_cast<double>(now.reads - before.reads) / ops,
              static_cast<double>(now.writes - before.writes) / ops);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_store_change <folder> [sites] [tx]\n");
    return 2;
  }
  const std::string folder = argv[1];
  const int count = argc > 2 ? std::atoi(argv[2]) : 1000;
  const bool tx = argc > 3 && std::strcmp(argv[3], "tx") == 0;
  {
    TStoreTable t;
    t.SetDatabaseName(folder);
    t.SetTableName("sites.DAT");
    DefineTable(t, kSiteTable);
    t.CreateTable();
  }
  TStoreDatabase database;
  database.SetDatabaseName("Driver");
  database.SetDirectory(folder);
  TStoreTable t;
  t.SetDatabaseName("Driver");
  t.SetTableName("sites.DAT");
  t.Open();
  TFileCallCounts before = FileCallCounts();
  if (tx) database.BeginTransaction();
  for (int i = 0; i < count; ++i) Insert(t, i);
  if (tx) database.CommitTransaction();
  Print("insert", before, count);
  before = FileCallCounts();
  int changes = 0;
  for (int i = 0; i < count; i += 10) {
    char url[96];
    std::snprintf(url, sizeof url, "http://www.%08x-%d.example/warez/",
                  static_cast<unsigned>(i * 2654435761u), i);
    if (!t.FindKey({url})) {
      std::fprintf(stderr, "missing %s\n", url);
      return 1;
    }
    t.Delete();
    Insert(t, i);
    changes += 2;
  }
  Print("delete+insert", before, changes);
  std::printf("%d records\n", t.RecordCount());
  return 0;
}
