#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>

namespace quellor {
namespace {

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

bool IsRegularOrLink(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

size_t FindNoCase(const std::string& text, const std::string& what, size_t from) {
  if (what.empty()) return from <= text.size() ? from : std::string::npos;
  for (size_t i = from; i + what.size() <= text.size(); ++i) {
    size_t j = 0;
    while (j < what.size() && Lower(text[i + j]) == Lower(what[j])) ++j;
    if (j == what.size()) return i;
  }
  return std::string::npos;
}

bool WildcardMatchNoCase(const std::string& pattern, const std::string& text) {
  // Iterative match with one backtrack point for the last "*": linear in practice, never
  // exponential.
  size_t p = 0, t = 0, starP = std::string::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(text[t]))) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starT = t;
    } else if (starP != std::string::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::string ResolveFileNoCase(const std::string& folder, const std::string& name) {
  std::string exact = folder + name;
  struct stat st;
  if (lstat(exact.c_str(), &st) == 0) return exact;
  std::unique_ptr<DIR, DirCloser> dir(opendir(folder.empty() ? "." : folder.c_str()));
  if (!dir) return exact;
  while (dirent* e = readdir(dir.get())) {
    if (EqualsNoCase(e->d_name, name)) return folder + e->d_name;
  }
  return exact;
}

std::string ResolvePathNoCase(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ResolveFileNoCase("", path);
  return ResolveFileNoCase(path.substr(0, slash + 1), path.substr(slash + 1));
}

std::vector<std::string> ListFilesNoCase(const std::string& folder, const std::string& pattern) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, DirCloser> dir(opendir(folder.empty() ? "." : folder.c_str()));
  if (!dir) return names;
  while (dirent* e = readdir(dir.get())) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (WildcardMatchNoCase(pattern, name) && IsRegularOrLink(folder + name)) names.push_back(name);
  }
  return names;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.push_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

bool ReadWholeFile(const std::string& path, std::string* bytes) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bytes->clear();
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return false;
    }
    if (n == 0) break;
    bytes->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  mode_t mode = 0644;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode) || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
      errno = EACCES;
      return false;
    }
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  std::random_device rd;
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".%08x.new", static_cast<unsigned>(rd()));
  std::string temp = path + suffix;
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      close(fd);
      unlink(temp.c_str());
      errno = err;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (fchmod(fd, mode) != 0 || close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
    int err = errno;
    unlink(temp.c_str());
    errno = err;
    return false;
  }
  return true;
}

namespace {

bool IsFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The home folder without a final "/" ("" when there is none).
std::string HomeFolder() {
  std::string home;
  if (const char* h = std::getenv("HOME"); h && h[0] == '/')
    home = h;
  else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
    home = pw->pw_dir;
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home == "/" ? std::string() : home;
}

// XDG_DOCUMENTS_DIR="$HOME/Documents" from user-dirs.dirs, expanded; "" when not set there.
std::string XdgDocumentsDir(const std::string& home) {
  std::string config;
  if (const char* c = std::getenv("XDG_CONFIG_HOME"); c && c[0] == '/')
    config = c;
  else if (!home.empty())
    config = home + "/.config";
  std::string text;
  if (config.empty() || !ReadWholeFile(config + "/user-dirs.dirs", &text)) return {};
  for (const std::string& raw : SplitLines(text)) {
    size_t start = raw.find_first_not_of(" \t");
    if (start == std::string::npos || raw.compare(start, 18, "XDG_DOCUMENTS_DIR=") != 0) continue;
    std::string value = raw.substr(start + 18);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    if (value.compare(0, 5, "$HOME") == 0) {
      if (home.empty()) return {};
      value = home + value.substr(5);
    }
    return value.empty() || value[0] != '/' ? std::string() : value;
  }
  return {};
}

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace

std::string UserDocumentsFolder() {
  std::string home = HomeFolder();
  if (std::string xdg = XdgDocumentsDir(home); IsFolder(xdg)) return WithSlash(xdg);
  if (!home.empty() && IsFolder(home + "/Documents")) return home + "/Documents/";
  if (IsFolder(home)) return WithSlash(home);
  return "/tmp/";
}

}  // namespace quellor
