// The engine's session and database folders.
//
// TDataSession holds what a front-end session sets: lock retries and wait, buffer flushing,
// change detection, the language and sort id of new tables, and the table passwords it knows.
// TDataDirectory is one database folder of a session with the tables open in it; a table opened
// twice in the process is shared (reference count) unless one of the opens asks for exclusive
// use, which fails while the table is open (11013).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store/DataTable.h"

namespace quellor {

class TDataSession {
 public:
  int lockRetryCount = 15;
  int lockWaitTime = 100;
  bool forceBufferFlush = false;
  bool strictChangeDetection = false;
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

class TDataDirectory {
 public:
  // `folder` ends with "/"; empty for the "MEMORY" database.
  TDataDirectory(TDataSession& session, std::string folder, bool inMemory);

  const std::string& Folder() const { return folder_; }
  bool InMemory() const { return inMemory_; }
  TDataSession& Session() { return session_; }

  TTableFiles Files(const std::string& tableName) const;
  // The open table of that name, shared, or a newly opened one.
  std::shared_ptr<TDataTable> OpenTable(const std::string& tableName, bool exclusive);
  bool TableIsOpen(const std::string& tableName);
  // Keeps newly created memory files alive until the table is first opened.
  void HoldMemoryFiles(std::vector<std::shared_ptr<TAbstractFile>> files);
  void ReleaseMemoryFiles(const std::string& tableName);

 private:
  std::string Key(const std::string& tableName) const;

  TDataSession& session_;
  std::string folder_;
  bool inMemory_;
  std::mutex mutex_;
  std::map<std::string, std::weak_ptr<TDataTable>> tables_;
  std::map<std::string, std::vector<std::shared_ptr<TAbstractFile>>> heldMemoryFiles_;
};

}  // namespace quellor
