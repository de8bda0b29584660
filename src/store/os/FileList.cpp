#include "store/os/FileList.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "store/api/StoreError.h"
#include "store/os/MemoryFile.h"
#include "store/os/PhysicalFile.h"

namespace quellor {

TFileList& TFileList::Instance() {
  static TFileList* list = new TFileList;  // lives as long as the process; files may outlive main
  return *list;
}

std::string TFileList::MemoryKey(const std::string& name) {
  std::string key = "MEMORY:" + name;
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return key;
}

void TFileList::Forget(const std::string& key, const TAbstractFile* file) {
  std::lock_guard lock(mutex_);
  auto it = files_.find(key);
  if (it == files_.end()) return;
  auto current = it->second.file.lock();
  if (!current || current.get() == file) files_.erase(it);
}

std::shared_ptr<TAbstractFile> TFileList::Share(const std::string& key,
                                                std::unique_ptr<TAbstractFile> file,
                                                bool exclusive) {
  TAbstractFile* raw = file.release();
  std::shared_ptr<TAbstractFile> shared(raw, [this, key](TAbstractFile* f) {
    Forget(key, f);
    delete f;
  });
  files_[key] = Entry{shared, exclusive};
  return shared;
}

std::shared_ptr<TAbstractFile> TFileList::Existing(const std::string& key, bool exclusive,
                                                   const std::string& tableName) {
  auto it = files_.find(key);
  if (it == files_.end()) return nullptr;
  auto file = it->second.file.lock();
  if (!file) return nullptr;
  if (exclusive || it->second.exclusive)
    throw EStoreEngineError(StoreCode::AccessDenied, {tableName});
  return file;
}

std::shared_ptr<TAbstractFile> TFileList::OpenDisk(const std::string& path, bool exclusive,
                                                   const std::string& tableName) {
  std::lock_guard lock(mutex_);
  if (auto file = Existing(path, exclusive, tableName)) return file;
  return Share(path, TPhysicalFile::Open(path, exclusive, tableName), exclusive);
}

std::shared_ptr<TAbstractFile> TFileList::CreateDisk(const std::string& path, bool exclusive,
                                                     const std::string& tableName) {
  std::lock_guard lock(mutex_);
  if (Existing(path, true, tableName)) throw EStoreEngineError(StoreCode::TableExists, {tableName});
  return Share(path, TPhysicalFile::Create(path, exclusive, tableName), exclusive);
}

std::shared_ptr<TAbstractFile> TFileList::OpenMemory(const std::string& name, bool exclusive,
                                                     const std::string& tableName) {
  std::lock_guard lock(mutex_);
  if (auto file = Existing(MemoryKey(name), exclusive, tableName)) return file;
  throw EStoreEngineError(StoreCode::InvalidPath, {tableName});
}

std::shared_ptr<TAbstractFile> TFileList::CreateMemory(const std::string& name, bool exclusive,
                                                       const std::string& tableName) {
  std::lock_guard lock(mutex_);
  std::string key = MemoryKey(name);
  auto it = files_.find(key);
  if (it != files_.end() && !it->second.file.expired())
    throw EStoreEngineError(StoreCode::TableExists, {tableName});
  return Share(key, std::make_unique<TMemoryFile>(name), exclusive);
}

bool TFileList::MemoryFileExists(const std::string& name) {
  return IsOpen(MemoryKey(name));
}

bool TFileList::IsOpen(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto it = files_.find(key);
  return it != files_.end() && !it->second.file.expired();
}

std::shared_ptr<TAbstractFile> TFileList::RenameMemory(const std::string& from,
                                                       const std::string& to,
                                                       const std::string& tableName) {
  std::lock_guard lock(mutex_);
  auto it = files_.find(MemoryKey(from));
  auto file = it == files_.end() ? nullptr : it->second.file.lock();
  if (!file) throw EStoreEngineError(StoreCode::InvalidPath, {tableName});
  std::string newKey = MemoryKey(to);
  auto other = files_.find(newKey);
  if (other != files_.end() && !other->second.file.expired())
    throw EStoreEngineError(StoreCode::TableExists, {tableName});
  // The deleter remembers the key it was made with; hand the buffer over to a new holder.
  auto* memory = static_cast<TMemoryFile*>(file.get());
  auto moved = std::make_unique<TMemoryFile>(to);
  int64_t size = memory->Size();
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  if (size > 0) memory->ReadAt(0, bytes.data(), size);
  if (size > 0) moved->WriteAt(0, bytes.data(), size);
  files_.erase(it);
  return Share(newKey, std::move(moved), false);
}

}  // namespace quellor
