// The front end's session (TStoreSession, StoreTb.h): the settings it hands to its engine session
// (DataSession.h), the table passwords, the databases that carry its name and the engine folder
// of each database folder.
#include <algorithm>
#include <mutex>

#include "store/api/StoreTb.h"
#include "store/engine/DataSession.h"
#include "store/format/AsciiText.h"

namespace quellor {

// ---- Session ----------------------------------------------------------------------------------

TStoreSession::TStoreSession() : engine_(std::make_unique<TDataSession>()) {}
TStoreSession::~TStoreSession() = default;

int TStoreSession::LockRetryCount() const {
  return engine_->lockRetryCount;
}
void TStoreSession::SetLockRetryCount(int count) {
  engine_->lockRetryCount = count;
}
std::string TStoreSession::UserName() const {
  return engine_->userName;
}
void TStoreSession::SetUserName(const std::string& name) {
  engine_->userName = name;
}
int TStoreSession::LockWaitTime() const {
  return engine_->lockWaitTime;
}
void TStoreSession::SetLockWaitTime(int ms) {
  engine_->lockWaitTime = ms;
}
bool TStoreSession::ForceBufferFlush() const {
  return engine_->forceBufferFlush;
}
void TStoreSession::SetForceBufferFlush(bool on) {
  engine_->forceBufferFlush = on;
}
bool TStoreSession::StrictChangeDetection() const {
  return engine_->strictChangeDetection;
}
void TStoreSession::SetStrictChangeDetection(bool on) {
  engine_->strictChangeDetection = on;
}
bool TStoreSession::MappedReads() const {
  return engine_->mappedReads;
}
void TStoreSession::SetMappedReads(bool on) {
  engine_->mappedReads = on;
}
int TStoreSession::LanguageID() const {
  return engine_->languageId;
}
void TStoreSession::SetLanguageID(int id) {
  engine_->languageId = static_cast<int16_t>(id);
}
int TStoreSession::SortID() const {
  return engine_->sortId;
}
void TStoreSession::SetSortID(int id) {
  engine_->sortId = static_cast<int16_t>(id);
}

void TStoreSession::AddPassword(const std::string& password) {
  engine_->AddPassword(password);
}
void TStoreSession::RemovePassword(const std::string& password) {
  engine_->RemovePassword(password);
}
void TStoreSession::RemoveAllPasswords() {
  engine_->RemoveAllPasswords();
}
std::vector<std::string> TStoreSession::Passwords() const {
  return engine_->Passwords();
}

TStoreSession& TStoreSession::Default() {
  static TStoreSession* session = new TStoreSession;  // lives as long as the process
  return *session;
}

void TStoreSession::Register(TStoreDatabase* database) {
  std::lock_guard lock(mutex_);
  databases_.push_back(database);
}

void TStoreSession::Unregister(TStoreDatabase* database) {
  std::lock_guard lock(mutex_);
  std::erase(databases_, database);
}

TStoreDatabase* TStoreSession::FindDatabase(const std::string& name) const {
  std::string wanted = AsciiLower(TrimBlanks(name));
  for (TStoreDatabase* db : databases_)
    if (AsciiLower(TrimBlanks(db->DatabaseName())) == wanted) return db;
  return nullptr;
}

std::shared_ptr<TDataDirectory> TStoreSession::DirectoryFor(const std::string& universalName,
                                                            bool inMemory) {
  std::lock_guard lock(mutex_);
  std::string key = inMemory ? std::string("\x01MEMORY") : universalName;
  if (auto existing = directories_[key].lock()) return existing;
  auto directory =
      std::make_shared<TDataDirectory>(*engine_, inMemory ? "" : universalName, inMemory);
  directories_[key] = directory;
  engine_->onPassword = [this] {
    bool again = true;
    if (!OnPassword) return false;
    OnPassword(*this, again);
    return again;
  };
  return directory;
}

}  // namespace quellor
