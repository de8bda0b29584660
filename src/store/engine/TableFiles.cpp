#include "store/engine/TableFiles.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "store/api/StoreError.h"
#include "store/format/AsciiText.h"
#include "store/os/FileList.h"
#include "store/os/PhysicalFile.h"

namespace quellor {

namespace {

constexpr const char* kDataExtension = ".DAT";
constexpr const char* kIndexExtension = ".IDX";
constexpr const char* kBlobExtension = ".BLB";
constexpr const char* kJournalExtension = ".JNL";

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         AsciiLower(s.substr(s.size() - suffix.size())) == AsciiLower(suffix);
}

// The name without its extension (a leading dot is no extension).
std::string BaseOf(const std::string& name) {
  size_t dot = name.rfind('.');
  return dot != std::string::npos && dot > 0 ? name.substr(0, dot) : name;
}

// The name of an existing file in `folder` equal to `name` without regard to case; `name`
// itself when there is none.
std::string ResolveCase(const std::string& folder, const std::string& name) {
  if (FileExists(folder + name)) return name;
  std::string wanted = AsciiLower(name);
  std::string found = name;
  if (DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      if (AsciiLower(entry->d_name) == wanted && FileExists(folder + entry->d_name)) {
        found = entry->d_name;
        break;
      }
    }
    ::closedir(dir);
  }
  return found;
}

}  // namespace

TTableFiles TTableFiles::Named(const std::string& base, bool inMemory) {
  TTableFiles files;
  files.data = base + kDataExtension;
  files.index = base + kIndexExtension;
  files.blob = base + kBlobExtension;
  files.inMemory = inMemory;
  if (!inMemory) files.journal = base + kJournalExtension;
  return files;
}

TTableFiles TTableFiles::OnDisk(const std::string& folder, const std::string& tableName) {
  std::string name = tableName;
  std::string dir = folder;
  size_t slash = name.rfind('/');
  if (slash != std::string::npos) {
    dir = name[0] == '/' ? name.substr(0, slash + 1) : folder + name.substr(0, slash + 1);
    name = name.substr(slash + 1);
  }
  const std::string base = BaseOf(name);
  auto named = [&](const char* extension) {
    return dir + ResolveCase(dir, EndsWithNoCase(name, extension) ? name : base + extension);
  };
  TTableFiles files;
  files.data = named(kDataExtension);
  files.index = named(kIndexExtension);
  files.blob = named(kBlobExtension);
  files.journal = dir + ResolveCase(dir, base + kJournalExtension);
  return files;
}

TTableFiles TTableFiles::InMemory(const std::string& tableName) {
  return Named(BaseOf(tableName), true);
}

TTableFiles TTableFiles::Temporary(const std::string& folder, bool inMemory,
                                   const std::string& memoryPrefix) {
  const std::string prefix = std::to_string(static_cast<long>(::syscall(SYS_gettid))).substr(0, 5);
  for (unsigned n = 0;; ++n) {
    TTableFiles files =
        Named((inMemory ? memoryPrefix : folder) + prefix + std::to_string(n), inMemory);
    if (!files.Exists(TTableFile::Data) && !files.Exists(TTableFile::Index) &&
        !files.Exists(TTableFile::Blob))
      return files;
  }
}

const std::string& TTableFiles::Path(TTableFile which) const {
  switch (which) {
    case TTableFile::Data:
      return data;
    case TTableFile::Index:
      return index;
    case TTableFile::Blob:
      return blob;
    case TTableFile::Journal:
      break;
  }
  return journal;
}

std::string TTableFiles::BackupPath(TTableFile which) const {
  const char* extension = which == TTableFile::Data    ? ".DBK"
                          : which == TTableFile::Index ? ".IBK"
                                                       : ".BBK";
  size_t slash = data.rfind('/');
  size_t dot = data.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = data.size();
  return data.substr(0, dot) + extension;
}

std::string TTableFiles::Folder() const {
  if (inMemory) return {};
  size_t slash = data.rfind('/');
  return slash == std::string::npos ? std::string() : data.substr(0, slash + 1);
}

bool TTableFiles::Exists(TTableFile which) const {
  const std::string& path = Path(which);
  if (path.empty()) return false;
  return inMemory ? TFileList::Instance().MemoryFileExists(path) : FileExists(path);
}

std::shared_ptr<TAbstractFile> TTableFiles::Open(TTableFile which, bool exclusive,
                                                 const std::string& tableName) const {
  TFileList& list = TFileList::Instance();
  return inMemory ? list.OpenMemory(Path(which), exclusive, tableName)
                  : list.OpenDisk(Path(which), exclusive, tableName);
}

std::shared_ptr<TAbstractFile> TTableFiles::Create(TTableFile which, bool exclusive,
                                                   const std::string& tableName) const {
  TFileList& list = TFileList::Instance();
  return inMemory ? list.CreateMemory(Path(which), exclusive, tableName)
                  : list.CreateDisk(Path(which), exclusive, tableName);
}

void TTableFiles::Delete(TTableFile which, const std::string& tableName) const {
  if (!inMemory && Exists(which)) DeleteDiskFile(Path(which), tableName);
}

void TTableFiles::Remove(TTableFile which) const noexcept {
  if (!inMemory && !Path(which).empty()) ::unlink(Path(which).c_str());
}

void TTableFiles::RemoveAll() const noexcept {
  for (TTableFile which :
       {TTableFile::Data, TTableFile::Index, TTableFile::Blob, TTableFile::Journal})
    Remove(which);
}

std::shared_ptr<TAbstractFile> TTableFiles::Rename(TTableFile which, const TTableFiles& to,
                                                   const std::string& tableName) const {
  if (!Exists(which)) return nullptr;
  if (inMemory) return TFileList::Instance().RenameMemory(Path(which), to.Path(which), tableName);
  RenameDiskFile(Path(which), to.Path(which), tableName);
  return nullptr;
}

}  // namespace quellor
