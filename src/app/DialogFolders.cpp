#include "app/DialogFolders.h"

#include <sys/stat.h>

#include "app/Include.h"
#include "platform/Files.h"

namespace quellor {

namespace {

std::map<std::string, std::string>& Folders() {
  static std::map<std::string, std::string> folders;
  return folders;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string WithSlash(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

// A folder in (or equal to) the program folder when one of the program folder's names begins
// with a dot.
bool InHiddenProgramFolder(const std::string& folder) {
  const std::string program = WithSlash(ProgramFolder());
  if (program.empty() || program.find("/.") == std::string::npos) return false;
  return WithSlash(folder).compare(0, program.size(), program) == 0;
}

}  // namespace

std::string DialogFolder(const std::string& kind) {
  auto it = Folders().find(kind);
  if (it != Folders().end() && IsFolder(it->second) && !InHiddenProgramFolder(it->second))
    return WithSlash(it->second);
  return UserDocumentsFolder();
}

void RememberDialogFolder(const std::string& kind, const std::string& file) {
  if (file.empty()) return;
  std::string folder;
  if (file.back() == '/' || IsFolder(file)) {
    folder = file;
  } else {
    size_t slash = file.rfind('/');
    if (slash == std::string::npos) return;  // no folder named
    folder = file.substr(0, slash + 1);
  }
  Folders()[kind] = WithSlash(folder);
}

std::map<std::string, std::string> DialogFolders() {
  return Folders();
}

void SetDialogFolders(const std::map<std::string, std::string>& folders) {
  Folders() = folders;
}

}  // namespace quellor
