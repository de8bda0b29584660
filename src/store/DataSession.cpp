#include "store/DataSession.h"

#include <algorithm>

#include "store/FileList.h"
#include "store/StoreError.h"

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

TTableFiles TDataDirectory::Files(const std::string& tableName) const {
  if (!inMemory_) return TableFileNames(folder_, tableName);
  std::string base = tableName;
  size_t dot = base.rfind('.');
  if (dot != std::string::npos && dot > 0) base = base.substr(0, dot);
  return TTableFiles{base + ".DAT", base + ".IDX", base + ".BLB", true};
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
  tables_[key] = table;
  heldMemoryFiles_.erase(key);  // the table holds its files now
  return table;
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
