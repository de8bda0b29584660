#include "platform/Shell.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <stdexcept>

namespace quellor {
namespace {

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
}

bool IsWebAddress(const std::string& name) {
  return name.find("://") != std::string::npos || name.rfind("mailto:", 0) == 0 ||
         name.rfind("www.", 0) == 0 || name.rfind("WWW.", 0) == 0;
}

}  // namespace

std::string FindOnPath(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return IsExecutableFile(name) ? name : std::string();
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t colon = dirs.find(':', start);
    if (colon == std::string::npos) colon = dirs.size();
    std::string dir = dirs.substr(start, colon - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
    start = colon + 1;
  }
  return {};
}

namespace {

// Runs `exe` as a grandchild in a session of its own, so that it is reparented and never becomes
// our zombie. A pipe closed on exec carries a failure back: the errno of an exec that failed, or,
// when `watchMs` is not negative, one byte from the first child when the program ended within
// that many milliseconds with a non-zero status or by a signal. Nothing read means success.
bool Spawn(const std::string& exe, const std::string& program, const std::vector<std::string>& args,
           int watchMs) {
  std::vector<std::string> argvStore;
  argvStore.push_back(program);
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (child == 0) {
    close(fds[0]);
    setsid();
    pid_t grandchild = fork();
    if (grandchild < 0) {
      int err = errno;
      (void)!write(fds[1], &err, sizeof err);
      _exit(1);
    }
    if (grandchild == 0) {
      int devnull = open("/dev/null", O_RDWR);
      if (devnull >= 0) {
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        if (devnull > 2) close(devnull);
      }
      execv(exe.c_str(), argv.data());
      int err = errno;
      (void)!write(fds[1], &err, sizeof err);
      _exit(127);
    }
    const timespec step{0, 10 * 1000 * 1000};
    for (int waited = 0; waited <= watchMs; waited += 10) {
      int status = 0;
      pid_t done = waitpid(grandchild, &status, WNOHANG);
      if (done == grandchild) {
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) (void)!write(fds[1], "0", 1);
        break;
      }
      if (done < 0 && errno != EINTR) break;
      nanosleep(&step, nullptr);
    }
    _exit(0);
  }
  close(fds[1]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t n;
  while ((n = read(fds[0], &err, sizeof err)) < 0 && errno == EINTR) {
  }
  close(fds[0]);
  return n == 0;
}

}  // namespace

bool StartDetached(const std::string& program, const std::vector<std::string>& args) {
  std::string exe = FindOnPath(program);
  return !exe.empty() && Spawn(exe, program, args, -1);
}

bool StartWatched(const std::string& program, const std::vector<std::string>& args, int waitMs) {
  std::string exe = FindOnPath(program);
  return !exe.empty() && Spawn(exe, program, args, waitMs < 0 ? 0 : waitMs);
}

bool ShellOpen(const std::string& name) {
  if (name.empty()) return false;
  if (IsWebAddress(name)) {
    std::string address = name;
    if (name.rfind("www.", 0) == 0 || name.rfind("WWW.", 0) == 0) address = "http://" + name;
    return StartDetached("xdg-open", {address});
  }
  if (name.find('/') == std::string::npos) {
    if (!FindOnPath(name).empty()) return StartDetached(name, {});
  }
  struct stat st;
  if (stat(name.c_str(), &st) != 0) return false;
  if (IsExecutableFile(name)) {
    std::string path = name.find('/') == std::string::npos ? "./" + name : name;
    return StartDetached(path, {});
  }
  return StartDetached("xdg-open", {name});
}

std::string ExecutableFolder() {
  std::string buf(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return "./";
  buf.resize(static_cast<size_t>(n));
  size_t slash = buf.rfind('/');
  return slash == std::string::npos ? "./" : buf.substr(0, slash + 1);
}

std::string TempFolder() {
  const char* dir = std::getenv("TMPDIR");
  std::string folder = dir && *dir ? dir : "/tmp";
  struct stat st;
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) folder = "/tmp";
  if (folder.back() != '/') folder += '/';
  return folder;
}

std::string CreateUniqueFile(const std::string& folder, const std::string& prefix,
                             const std::string& extension) {
  std::random_device rd;
  std::mt19937_64 gen((static_cast<uint64_t>(rd()) << 32) ^ rd() ^ static_cast<uint64_t>(getpid()));
  int lastError = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(gen() & 0xFFFFFFu));
    std::string path = folder + prefix + hex + extension;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      return path;
    }
    lastError = errno;
    if (lastError != EEXIST) break;
  }
  throw std::runtime_error("Unable to create a temporary file in " + folder + ": " +
                           std::strerror(lastError));
}

}  // namespace quellor
