#include "store/engine/DataSession.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "store/api/StoreError.h"
#include "store/os/FileList.h"

namespace quellor {

void TDataSession::AddPassword(const std::string& password) {
  std::lock_guard lock(mutex_);
  if (std::find(passwords_.begin(), passwords_.end(), password) == passwords_.end())
    passwords_.push_back(password);
}

void TDataSession::RemovePassword(const std::string& password) {
  std::lock_guard lock(mutex_);
  std::erase(passwords_, password);
}

void TDataSession::RemoveAllPasswords() {
  std::lock_guard lock(mutex_);
  passwords_.clear();
}

std::vector<std::string> TDataSession::Passwords() const {
  std::lock_guard lock(mutex_);
  return passwords_;
}

void TDataSession::CheckPassword(const std::string& password, const std::string& tableName) {
  for (;;) {
    auto known = Passwords();
    if (std::find(known.begin(), known.end(), password) != known.end()) return;
    // The handler runs without the session's lock: it may add passwords.
    if (!onPassword || !onPassword())
      throw EStoreEngineError(StoreCode::PasswordRequired, {tableName});
  }
}

TDataDirectory::TDataDirectory(TDataSession& session, std::string folder, bool inMemory)
    : session_(session), folder_(std::move(folder)), inMemory_(inMemory) {}

TDataDirectory::~TDataDirectory() {
  try {
    RollbackTransaction();
  } catch (...) {
  }
}

TTableFiles TDataDirectory::Files(const std::string& tableName) const {
  if (!inMemory_) return TableFileNames(folder_, tableName);
  std::string base = tableName;
  size_t dot = base.rfind('.');
  if (dot != std::string::npos && dot > 0) base = base.substr(0, dot);
  return TTableFiles{base + ".DAT", base + ".IDX", base + ".BLB", true, {}};
}

std::string TDataDirectory::Key(const std::string& tableName) const {
  std::string key = Files(tableName).data;
  if (inMemory_)
    for (char& c : key)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return key;
}

std::shared_ptr<TDataTable> TDataDirectory::OpenTable(const std::string& tableName,
                                                      bool exclusive) {
  std::lock_guard lock(mutex_);
  std::string key = Key(tableName);
  auto it = tables_.find(key);
  if (it != tables_.end()) {
    if (auto table = it->second.lock()) {
      if (exclusive || table->Exclusive())
        throw EStoreEngineError(StoreCode::AccessDenied, {tableName});
      return table;
    }
  }
  auto table = std::make_shared<TDataTable>(session_, Files(tableName), tableName, exclusive);
  if (inTransaction_) {
    // A table opened while the transaction runs takes part in it.
    table->BeginTransaction();
    transactionTables_.push_back(table);
  }
  tables_[key] = table;
  heldMemoryFiles_.erase(key);  // the table holds its files now
  return table;
}

bool TDataDirectory::InTransaction() {
  std::lock_guard lock(mutex_);
  return inTransaction_;
}

std::vector<std::shared_ptr<TDataTable>> TDataDirectory::TransactionTablesNewestFirst() {
  auto tables = transactionTables_;
  std::sort(tables.begin(), tables.end(),
            [](const auto& a, const auto& b) { return a->OpenSequence() > b->OpenSequence(); });
  return tables;
}

namespace {

// The tables that have taken one step of a transaction (begun it, or taken the write range of
// their commit): unless every table took it, the step is undone for each of those that did.
class TTablesStepped {
 public:
  using TUndo = void (TDataTable::*)() noexcept;
  explicit TTablesStepped(TUndo undo) : undo_(undo) {}
  ~TTablesStepped() {
    for (auto& table : tables_) ((*table).*undo_)();
  }
  TTablesStepped(const TTablesStepped&) = delete;
  TTablesStepped& operator=(const TTablesStepped&) = delete;

  void Add(std::shared_ptr<TDataTable> table) { tables_.push_back(std::move(table)); }
  // Every table took the step: it stands.
  std::vector<std::shared_ptr<TDataTable>> Done() { return std::exchange(tables_, {}); }

 private:
  TUndo undo_;
  std::vector<std::shared_ptr<TDataTable>> tables_;
};

}  // namespace

void TDataDirectory::BeginTransaction() {
  std::lock_guard lock(mutex_);
  if (inTransaction_) return;
  std::vector<std::shared_ptr<TDataTable>> open;
  for (auto& [key, weak] : tables_)
    if (auto table = weak.lock()) open.push_back(table);
  std::sort(open.begin(), open.end(),
            [](const auto& a, const auto& b) { return a->OpenSequence() < b->OpenSequence(); });
  TTablesStepped begun(&TDataTable::AbandonTransaction);
  for (auto& table : open) {
    table->BeginTransaction();
    begun.Add(table);
  }
  transactionTables_ = begun.Done();
  inTransaction_ = true;
}

void TDataDirectory::EndTransaction() {
  inTransaction_ = false;
  // The tables closed meanwhile close now, each writing nothing more and letting its locks go.
  transactionTables_.clear();
}

void TDataDirectory::CommitTransaction() {
  std::unique_lock lock(mutex_);
  if (!inTransaction_) return;
  auto tables = TransactionTablesNewestFirst();
  // Every table takes its write range first, so that a range that cannot be had leaves all of
  // them uncommitted (the transaction goes on).
  TTablesStepped prepared(&TDataTable::ReleaseCommitRange);
  for (auto& table : tables) {
    table->PrepareCommit();
    prepared.Add(table);
  }
  prepared.Done();
  std::exception_ptr failure;
  for (auto& table : tables) {
    try {
      table->Commit();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  EndTransaction();
  if (failure) std::rethrow_exception(failure);
}

void TDataDirectory::RollbackTransaction() {
  std::unique_lock lock(mutex_);
  if (!inTransaction_) return;
  std::exception_ptr failure;
  for (auto& table : TransactionTablesNewestFirst()) {
    try {
      table->Rollback();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  EndTransaction();
  if (failure) std::rethrow_exception(failure);
}

bool TDataDirectory::TableIsOpen(const std::string& tableName) {
  std::lock_guard lock(mutex_);
  auto it = tables_.find(Key(tableName));
  return it != tables_.end() && !it->second.expired();
}

void TDataDirectory::HoldMemoryFiles(std::vector<std::shared_ptr<TAbstractFile>> files) {
  if (files.empty()) return;
  std::lock_guard lock(mutex_);
  std::string key = files.front()->Name();
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  heldMemoryFiles_[key] = std::move(files);
}

void TDataDirectory::ReleaseMemoryFiles(const std::string& tableName) {
  std::lock_guard lock(mutex_);
  heldMemoryFiles_.erase(Key(tableName));
}

}  // namespace quellor
