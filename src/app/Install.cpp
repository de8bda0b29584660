#include "app/Install.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "data/SiteTables.h"
#include "platform/Files.h"

namespace quellor {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSiteTableFile = "cracks.DAT";
// The defaults an installed program copies into a new per-user folder.
constexpr const char* kDefaultFiles[] = {"noticeFooter.txt", "dmca-template.txt"};

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void MakeFolders(const std::string& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec || !IsDirectory(folder))
    throw std::runtime_error("Cannot create the program folder " + folder + ": " + ec.message());
}

// Copies `from` to `to` unless `to` exists; files the person edited are never replaced.
void CopyIfMissing(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  if (fs::exists(to, ec)) return;
  fs::copy_file(from, to, ec);
}

void PrepareUserFolder(const std::string& folder, const std::string& defaults) {
  MakeFolders(folder);
  if (!defaults.empty()) {
    for (const char* name : kDefaultFiles)
      if (IsFile(defaults + name)) CopyIfMissing(defaults + name, ResolveFileNoCase(folder, name));
    if (IsDirectory(defaults + "help")) {
      MakeFolders(folder + "help/");
      std::error_code ec;
      for (const fs::directory_entry& e : fs::directory_iterator(defaults + "help", ec))
        if (e.is_regular_file())
          CopyIfMissing(e.path(), fs::path(folder + "help/") / e.path().filename());
    }
  }
  CreateProgramTables(folder);
}

}  // namespace

std::string InstalledDataFolder(const std::string& exeFolder) {
  fs::path bin = fs::path(exeFolder).lexically_normal();
  if (!bin.has_filename()) bin = bin.parent_path();  // "…/bin/" → "…/bin"
  if (bin.filename() != "bin") return "";
  std::string share = (bin.parent_path() / "share" / "quellor").string() + "/";
  return IsDirectory(share) ? share : "";
}

std::string UserProgramFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (data && data[0] == '/') {
    base = data;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home && *home ? home : "/tmp") + "/.local/share";
  }
  if (base.back() != '/') base += '/';
  return base + "quellor/";
}

bool FolderWritable(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (::geteuid() == 0) return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
  return ::access(folder.c_str(), W_OK) == 0;
}

std::string ChooseProgramFolder(const std::string& exeFolder) {
  if (IsFile(ResolveFileNoCase(exeFolder, kSiteTableFile))) return exeFolder;
  const std::string defaults = InstalledDataFolder(exeFolder);
  if (defaults.empty() && FolderWritable(exeFolder)) return exeFolder;
  const std::string folder = UserProgramFolder();
  PrepareUserFolder(folder, defaults);
  return folder;
}

}  // namespace quellor
