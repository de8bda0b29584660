// The temporary result tables of SQL statements (SqlExec.h says how they are named, held and
// cleaned up): the registry of those this process owns, which removes them at exit when their
// queries did not, new names, the session's private folder, and the clean-up of tables that a
// crashed program left there.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <set>
#include <string>

#include "store/api/StoreError.h"
#include "store/engine/TableFiles.h"
#include "store/os/PhysicalFile.h"
#include "store/sql/SqlRunner.h"

namespace quellor {

namespace {

std::mutex& TempMutex() {
  static std::mutex m;
  return m;
}

// The temporary tables this process owns; removed at exit when still there.
struct TTempRegistry {
  std::set<std::pair<std::string, std::string>> tables;
  std::set<std::string> cleanedFolders;
  ~TTempRegistry() {
    for (const auto& [folder, table] : tables)
      TTableFiles::Named(folder + table, false).RemoveAll();
  }
};

TTempRegistry& Registry() {
  static TTempRegistry r;
  return r;
}

}  // namespace

std::string sqlexec::NewTemporaryName(const std::string& folder) {
  std::string prefix = std::to_string(static_cast<long>(::syscall(SYS_gettid)));
  if (prefix.size() > 5) prefix.resize(5);
  std::lock_guard lock(TempMutex());
  for (int n = 1;; ++n) {
    std::string name = prefix + std::to_string(n);
    if (Registry().tables.count({folder, name})) continue;
    if (TTableFiles::OnDisk(folder, name).Exists(TTableFile::Data)) continue;
    Registry().tables.insert({folder, name});
    return name;
  }
}

using sqlexec::Upper;

void RemoveTemporaryTable(const std::string& folder, const std::string& table) {
  TTableFiles::Named(folder + table, false).RemoveAll();
  std::lock_guard lock(TempMutex());
  Registry().tables.erase({folder, table});
}

int RemoveStaleTemporaryTables(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return 0;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name.size() < 5) continue;
    std::string ext = Upper(name.substr(name.size() - 4));
    std::string stem = name.substr(0, name.size() - 4);
    if (ext != ".DAT" || stem.empty() ||
        !std::all_of(stem.begin(), stem.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    names.push_back(name);
  }
  ::closedir(dir);
  int removed = 0;
  const time_t now = ::time(nullptr);
  for (const std::string& name : names) {
    std::string path = folder + name;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || now - st.st_mtime < kStaleTemporaryAge) continue;
    try {
      // Its owner holds it open exclusively while it lives; one that opens is left over.
      auto file = TPhysicalFile::Open(path, true, name);
      file.reset();
    } catch (const std::exception&) {
      continue;
    }
    TTableFiles::OnDisk(folder, name).RemoveAll();
    ++removed;
  }
  return removed;
}

std::string SessionPrivateFolder(TStoreSession& session) {
  std::string folder = session.PrivateDir();
  if (folder.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    struct stat st;
    std::string base = tmp && *tmp && ::stat(tmp, &st) == 0 && S_ISDIR(st.st_mode) ? tmp : "/tmp";
    if (base.back() != '/') base += '/';
    folder = base + "quellor-" + std::to_string(::getuid());
  }
  if (folder.back() != '/') folder += '/';
  ::mkdir(folder.c_str(), 0700);
  struct stat st;
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw EStoreEngineError(StoreCode::SqlError,
                            {"Cannot use the private folder '" + folder + "'"});
  bool first;
  {
    std::lock_guard lock(TempMutex());
    first = Registry().cleanedFolders.insert(folder).second;
  }
  if (first) RemoveStaleTemporaryTables(folder);
  return folder;
}

}  // namespace quellor
