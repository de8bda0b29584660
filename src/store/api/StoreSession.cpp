// The front end's session (TStoreSession, StoreTb.h): the settings it hands to its engine session
// (DataSession.h), the table passwords, the databases that carry its name, the engine folder
// of each database folder and the connections it keeps, its name and start-up, and the
// person's default table language.
#include <algorithm>
#include <cctype>
#include <clocale>
#include <mutex>

#include "store/api/StoreTb.h"
#include "store/engine/DataSession.h"
#include "store/format/AsciiText.h"
#include "store/format/Language.h"

namespace quellor {

// ---- Session ----------------------------------------------------------------------------------

namespace {

// Every session of the process, for names that must differ.
std::mutex& SessionListMutex() {
  static std::mutex mutex;
  return mutex;
}
std::vector<TStoreSession*>& SessionList() {
  static std::vector<TStoreSession*> sessions;
  return sessions;
}

// Code pages with characters of two bytes: a table in such a session sorts in byte order.
bool DoubleByteCodeset(const std::string& codeset) {
  std::string c;
  for (char ch : codeset)
    if (ch != '-' && ch != '_')
      c += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  static const char* const kDoubleByte[] = {
      "sjis",  "shiftjis", "eucjp", "gbk",   "gb2312", "gb18030", "big5", "big5hkscs",
      "euckr", "euctw",    "cp932", "cp936", "cp949",  "cp950",   "uhc",  "johab"};
  for (const char* name : kDoubleByte)
    if (c == name) return true;
  return false;
}

}  // namespace

int LanguageIDOfLocale(const std::string& localeName) {
  // language[_territory][.codeset][@modifier]
  std::string name = localeName;
  std::string codeset;
  if (size_t at = name.find('@'); at != std::string::npos) name.erase(at);
  if (size_t dot = name.find('.'); dot != std::string::npos) {
    codeset = name.substr(dot + 1);
    name.erase(dot);
  }
  if (DoubleByteCodeset(codeset)) return 0;
  std::string language = name, territory;
  if (size_t bar = name.find('_'); bar != std::string::npos) {
    language = name.substr(0, bar);
    territory = name.substr(bar + 1);
  }
  language = AsciiLower(language);
  if (language.empty() || language == "c" || language == "posix") return 0;
  const std::string full = language + "_" + territory;
  int sameLanguage = 0;
  for (const TLanguage& l : Languages()) {
    if (l.languageId == 0) continue;
    const std::string icu = l.icuLocale;
    if (AsciiLower(icu) == AsciiLower(full)) return l.languageId;
    if (!sameLanguage && AsciiLower(icu.substr(0, icu.find('_'))) == language)
      sameLanguage = l.languageId;
  }
  return sameLanguage;
}

int UserDefaultLanguageID() {
  const char* collate = std::setlocale(LC_COLLATE, nullptr);
  return LanguageIDOfLocale(collate ? collate : "C");
}

TStoreSession::TStoreSession() : engine_(std::make_unique<TDataSession>()) {
  engine_->languageId = static_cast<int16_t>(UserDefaultLanguageID());
  std::lock_guard lock(SessionListMutex());
  SessionList().push_back(this);
}

TStoreSession::~TStoreSession() {
  std::lock_guard lock(SessionListMutex());
  std::erase(SessionList(), this);
}

void TStoreSession::SetSessionName(const std::string& name) {
  autoSessionName_ = false;
  sessionName_ = name;
}

void TStoreSession::SetAutoSessionName(bool on) {
  if (on == autoSessionName_) return;
  autoSessionName_ = on;
  if (!on) return;
  std::lock_guard lock(SessionListMutex());
  for (int n = 1;; ++n) {
    const std::string candidate = "Session" + std::to_string(n);
    bool used = false;
    for (const TStoreSession* other : SessionList())
      if (other != this && AsciiLower(other->sessionName_) == AsciiLower(candidate)) used = true;
    if (!used) {
      sessionName_ = candidate;
      return;
    }
  }
}

void TStoreSession::SetActive(bool on) {
  if (on == active_) return;
  if (on) {
    active_ = true;
    if (OnStartup) OnStartup(*this);
    return;
  }
  std::vector<TStoreDatabase*> databases;
  {
    std::lock_guard lock(mutex_);
    databases = databases_;
  }
  for (TStoreDatabase* db : databases) db->Close();
  {
    std::lock_guard lock(mutex_);
    keptFolders_.clear();
  }
  active_ = false;
}

void TStoreSession::SetKeepConnections(bool on) {
  std::lock_guard lock(mutex_);
  keepConnections_ = on;
  if (!on) keptFolders_.clear();
}

std::vector<std::string> TStoreSession::ConnectedFolders() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> folders;
  for (const auto& [key, directory] : directories_)
    if (!directory.expired()) folders.push_back(key == "\x01MEMORY" ? "MEMORY" : key);
  return folders;
}

std::shared_ptr<TDataDirectory> TStoreSession::FolderConnection(const std::string& universalName,
                                                                bool inMemory) {
  SetActive(true);
  auto directory = DirectoryFor(universalName, inMemory);
  std::lock_guard lock(mutex_);
  // A kept in-memory database holds a table created in it until it is first opened; its tables
  // still vanish when their last user closes them.
  if (keepConnections_ &&
      std::find(keptFolders_.begin(), keptFolders_.end(), directory) == keptFolders_.end())
    keptFolders_.push_back(directory);
  return directory;
}

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
