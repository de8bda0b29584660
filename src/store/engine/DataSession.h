// The engine's session and database folders.
//
// TDataSession holds what a front-end session sets: lock retries and wait, buffer flushing,
// change detection, the language and sort id of new tables, and the table passwords it knows.
// TDataDirectory is one database folder of a session with the tables open in it; a table opened
// twice in the process is shared (reference count) unless one of the opens asks for exclusive
// use, which fails while the table is open (11013). The folder also carries the transaction of
// its database: every table open in it takes part, and a table closed meanwhile stays open in
// the engine until the transaction ends. What is done to a closed table as a whole (create,
// delete, rename, read its header) is done here, on its files as TableFiles.h names them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store/engine/DataTable.h"
#include "store/engine/HolderBoard.h"

namespace quellor {

inline constexpr int64_t kDefaultTransactionSpillBytes = int64_t{16} << 20;

class TDataSession {
 public:
  int lockRetryCount = 15;
  int lockWaitTime = 100;
  // The name written on a table's holder board for each record taken for editing, and told to
  // whoever is refused that record (HolderBoard.h). The user the program runs as.
  std::string userName = CurrentUserName();
  bool forceBufferFlush = false;
  bool strictChangeDetection = false;
  // Reads under a read slot come from a memory mapping of the data and index files on a local
  // file system (PhysicalFile.h); off: always read calls.
  bool mappedReads = true;
  // Changes go through each table's journal (Journal.h). Off only to measure what the journal
  // costs (the benchmark); a table changed with it off is not safe against crashes.
  bool journalChanges = true;
  // A transaction whose changed records, BLOB values and index pages reach this many bytes
  // writes them to the table files under its journal (Journal.h, "Large transactions") instead
  // of keeping them in memory to the commit. From the first such write to the commit, other
  // programs cannot read the table, so the bound is high enough for an import of thousands of
  // sites to leave the table readable to everyone else, and low enough to keep memory bounded.
  int64_t transactionSpillBytes = kDefaultTransactionSpillBytes;
  int16_t languageId = 0;
  int16_t sortId = 0;

  void AddPassword(const std::string& password);
  void RemovePassword(const std::string& password);
  void RemoveAllPasswords();
  std::vector<std::string> Passwords() const;
  // Asked when no known password fits a table; returns whether to try again (the handler
  // usually adds a password first). Unset: give up at once.
  std::function<bool()> onPassword;
  // Succeeds when a known password (or one supplied through onPassword) equals `password`;
  // 10498 otherwise.
  void CheckPassword(const std::string& password, const std::string& tableName);

 private:
  mutable std::recursive_mutex mutex_;
  std::vector<std::string> passwords_;
};

struct TTableDefinition;

class TDataDirectory {
 public:
  // `folder` ends with "/"; empty for the "MEMORY" database.
  TDataDirectory(TDataSession& session, std::string folder, bool inMemory);
  // A transaction still running is rolled back.
  ~TDataDirectory();

  const std::string& Folder() const { return folder_; }
  bool InMemory() const { return inMemory_; }
  TDataSession& Session() { return session_; }

  // The table's files: in the folder, or in the in-memory database.
  TTableFiles Files(const std::string& tableName) const;

  // ---- closed tables ----
  // Whether the table's data file exists.
  bool TableExists(const std::string& tableName) const;
  // Creates a table from its definition (TableCreate.h).
  void CreateTable(const std::string& tableName, const TTableDefinition& definition);
  // Deletes the table's files: 10031 while it is open in this process, 11010 when its data
  // file does not exist.
  void DeleteTable(const std::string& tableName);
  // Gives the table's files the names of `newName` (a journal left there goes): 10031 while it
  // is open in this process, 11010 for a table in memory or whose data file does not exist,
  // 13060 when a table `newName` exists.
  void RenameTable(const std::string& tableName, const std::string& newName);
  // The data file header of a table, read with no writer at work on it: under a read slot of
  // its index file, or through the table when this process has it open (which first takes in
  // other programs' changes). A journal left by a killed writer is resolved first by opening
  // the table. 12035 for a format version other than 4; the open's errors otherwise.
  TDataHeader ReadTableHeader(const std::string& tableName);
  // The open table of that name, shared, or a newly opened one.
  std::shared_ptr<TDataTable> OpenTable(const std::string& tableName, bool exclusive);
  bool TableIsOpen(const std::string& tableName);

  // ---- the transaction of the database ----
  bool InTransaction();
  // Every open table, in the order of opening, begins (TDataTable::BeginTransaction). When one
  // cannot (its data write lock stays taken: 10249), those that began leave the transaction
  // again and the error is raised: no transaction runs then.
  void BeginTransaction();
  // Commits every table, the last opened first, after each has taken its write range (10249
  // leaves the transaction running, so that it can be committed again or rolled back).
  void CommitTransaction();
  // Drops the changes of every table, the last opened first.
  void RollbackTransaction();
  // Keeps newly created memory files alive until the table is first opened.
  void HoldMemoryFiles(std::vector<std::shared_ptr<TAbstractFile>> files);
  void ReleaseMemoryFiles(const std::string& tableName);

 private:
  std::string Key(const std::string& tableName) const;
  // The tables of the transaction, last opened first; the caller holds mutex_.
  std::vector<std::shared_ptr<TDataTable>> TransactionTablesNewestFirst();
  void EndTransaction();

  TDataSession& session_;
  std::string folder_;
  bool inMemory_;
  std::mutex mutex_;
  std::map<std::string, std::weak_ptr<TDataTable>> tables_;
  std::map<std::string, std::vector<std::shared_ptr<TAbstractFile>>> heldMemoryFiles_;
  bool inTransaction_ = false;
  // Held while the transaction runs, so that a table closed meanwhile stays open.
  std::vector<std::shared_ptr<TDataTable>> transactionTables_;
};

}  // namespace quellor
