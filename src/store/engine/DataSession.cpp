#include "store/engine/DataSession.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "store/api/StoreError.h"
#include "store/engine/TableCreate.h"
#include "store/os/FileList.h"

namespace quellor {

namespace {

// The data file header of a table no cursor of this process has open, read under a read slot
// of its index file, so that no other program is half way through writing it. Without an
// index file (made by the next open) or in memory there is no slot to take.
TDataHeader ReadClosedHeader(TDataSession& session, const TTableFiles& files,
                             const std::string& tableName) {
  auto data = files.Open(TTableFile::Data, false, tableName);
  std::shared_ptr<TAbstractFile> index;
  if (!files.inMemory && files.Exists(TTableFile::Index))
    index = files.Open(TTableFile::Index, false, tableName);
  TTableLocks locks(session, tableName, index != nullptr);
  if (index) {
    locks.SetFiles(data, index, nullptr);
    locks.AcquireReadSlots();
  }
  uint8_t raw[kDataHeaderSize];
  const bool read = data->ReadAt(0, raw, kDataHeaderSize) == kDataHeaderSize;
  if (index) locks.ReleaseReadSlots();
  if (!read) throw EStoreEngineError(StoreCode::ReadError, {tableName});
  TDataHeader header = DecodeDataHeader(raw);
  if (header.version != kFormatVersion)
    throw EStoreEngineError(StoreCode::WrongVersion, {tableName});
  return header;
}

}  // namespace

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
  return inMemory_ ? TTableFiles::InMemory(tableName) : TTableFiles::OnDisk(folder_, tableName);
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

// ---- closed tables ------------------------------------------------------------------------

bool TDataDirectory::TableExists(const std::string& tableName) const {
  return Files(tableName).Exists(TTableFile::Data);
}

void TDataDirectory::CreateTable(const std::string& tableName, const TTableDefinition& definition) {
  quellor::CreateTable(*this, tableName, definition);
}

void TDataDirectory::DeleteTable(const std::string& tableName) {
  if (TableIsOpen(tableName)) throw EStoreEngineError(StoreCode::TableInUse, {tableName});
  const TTableFiles files = Files(tableName);
  if (!files.Exists(TTableFile::Data)) throw EStoreEngineError(StoreCode::InvalidPath, {tableName});
  // A table in memory is its files, held here until its first open: they go when let go.
  ReleaseMemoryFiles(tableName);
  for (TTableFile which :
       {TTableFile::Data, TTableFile::Index, TTableFile::Blob, TTableFile::Journal})
    files.Delete(which, tableName);
}

void TDataDirectory::RenameTable(const std::string& tableName, const std::string& newName) {
  if (TableIsOpen(tableName)) throw EStoreEngineError(StoreCode::TableInUse, {tableName});
  const TTableFiles from = Files(tableName);
  const TTableFiles to = Files(newName);
  // A table in memory lives only while it is open.
  if (from.inMemory) throw EStoreEngineError(StoreCode::InvalidPath, {tableName});
  if (!from.Exists(TTableFile::Data)) throw EStoreEngineError(StoreCode::InvalidPath, {tableName});
  if (to.Exists(TTableFile::Data)) throw EStoreEngineError(StoreCode::TableExists, {newName});
  for (TTableFile which : {TTableFile::Data, TTableFile::Index, TTableFile::Blob})
    from.Rename(which, to, tableName);
  // The journal goes with its table (one left by a killed writer is resolved at the next open).
  to.Delete(TTableFile::Journal, newName);
  from.Rename(TTableFile::Journal, to, tableName);
}

TDataHeader TDataDirectory::ReadTableHeader(const std::string& tableName) {
  std::shared_ptr<TDataTable> table;
  {
    // Held while the files are read, so that no cursor of this process opens the table and
    // locks the same files meanwhile.
    std::lock_guard lock(mutex_);
    auto it = tables_.find(Key(tableName));
    if (it != tables_.end()) table = it->second.lock();
    if (!table) {
      const TTableFiles files = Files(tableName);
      if (files.inMemory || files.journal.empty() || !TTableJournal(files.journal, tableName).Hot())
        return ReadClosedHeader(session_, files, tableName);
    }
  }
  // Open here, or left half written by a killed writer: the table's own reading.
  if (!table) table = OpenTable(tableName, false);
  std::lock_guard lock(table->Mutex());
  table->DetectChanges();
  return table->Data().Header();
}

}  // namespace quellor
