#include "platform/Shell.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

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

// The words of an environment variable, split at blanks ("code --wait" is a program and its
// argument); empty when the variable is not set.
std::vector<std::string> EnvironmentWords(const char* name) {
  std::vector<std::string> words;
  const char* value = std::getenv(name);
  if (!value) return words;
  std::string word;
  for (const char* p = value;; ++p) {
    if (*p == '\0' || *p == ' ' || *p == '\t') {
      if (!word.empty()) words.push_back(word);
      word.clear();
      if (*p == '\0') break;
    } else {
      word += *p;
    }
  }
  return words;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Waits for the program on a thread of its own and hands its end to `onEnd`. A program that
// someone else reaped (nothing in this program does) counts as ended well.
void WatchProgram(pid_t pid, ProgramEndHandler onEnd) {
  auto wait = [pid, onEnd = std::move(onEnd)] {
    int status = 0;
    pid_t done;
    while ((done = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (done != pid || !onEnd) return;
    TProgramEnd end;
    end.exited = WIFEXITED(status);
    end.code = end.exited ? WEXITSTATUS(status) : WTERMSIG(status);
    onEnd(end);
  };
  try {
    std::thread(std::move(wait)).detach();
  } catch (const std::system_error&) {
    // No thread to be had: the program runs on, unwatched, and stays a zombie when it ends.
  }
}

}  // namespace

std::string DescribeProgramEnd(const std::string& program, const TProgramEnd& end) {
  if (!end.exited) {
    const char* name = ::strsignal(end.code);
    return program + " was ended by signal " + std::to_string(end.code) +
           (name ? std::string(" (") + name + ")" : std::string());
  }
  std::string text = program + " ended with exit status " + std::to_string(end.code);
  if (BaseName(program) == "xdg-open") {
    switch (end.code) {
      case 1:
        text += ": it did not understand its command";
        break;
      case 2:
        text += ": the file does not exist";
        break;
      case 3:
        text += ": no program is set up to open it";
        break;
      case 4:
        text += ": the program set up to open it failed";
        break;
      default:
        break;
    }
  }
  return text;
}

std::string StartProgram(const std::string& program, const std::vector<std::string>& args,
                         ProgramEndHandler onEnd) {
  const std::string exe = FindOnPath(program);
  if (exe.empty()) {
    struct stat st;
    if (program.find('/') != std::string::npos && ::stat(program.c_str(), &st) == 0)
      return "cannot be run: it is not an executable file";
    return "not found";
  }
  std::vector<std::string> argvStore;
  argvStore.push_back(program);
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  // posix_spawn reports a failed exec itself, so "cannot be run" is known before it returns.
  int rc = ::posix_spawn(&pid, exe.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return std::string("cannot be run: ") + std::strerror(rc);
  WatchProgram(pid, std::move(onEnd));
  return {};
}

bool StartDetached(const std::string& program, const std::vector<std::string>& args) {
  return StartProgram(program, args).empty();
}

void IgnoreBrokenPipes() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

namespace {
// Desktop editors tried, in order, after $VISUAL and $EDITOR.
const char* const kDesktopEditors[] = {
    "gnome-text-editor", "gedit",  "kate", "kwrite", "mousepad", "pluma", "xed",
    "featherpad",        "leafpad"};
}  // namespace

std::vector<TLaunchCommand> TextEditorCommands(const std::string& file) {
  std::vector<TLaunchCommand> commands;
  auto add = [&](std::vector<std::string> argv) {
    if (!file.empty()) argv.push_back(file);
    commands.push_back({std::move(argv)});
  };
  if (std::vector<std::string> visual = EnvironmentWords("VISUAL"); !visual.empty()) add(visual);
  if (std::vector<std::string> editor = EnvironmentWords("EDITOR"); !editor.empty()) {
    // $EDITOR is a program for a terminal, and this program has none of its own.
    std::vector<std::string> terminal = EnvironmentWords("TERMINAL");
    if (terminal.empty() && !FindOnPath("x-terminal-emulator").empty())
      terminal = {"x-terminal-emulator"};
    if (!terminal.empty()) {
      const std::string name = editor.front() + " in " + terminal.front();
      terminal.push_back("-e");
      terminal.insert(terminal.end(), editor.begin(), editor.end());
      add(terminal);
      commands.back().name = name;
    }
  }
  for (const char* editor : kDesktopEditors)
    if (!FindOnPath(editor).empty()) add({editor});
  if (!file.empty()) commands.push_back({{"xdg-open", file}});
  return commands;
}

std::vector<TLaunchCommand> DesktopOpenCommands(const std::string& target) {
  return {{{"xdg-open", target}}};
}

std::vector<TLaunchCommand> ShellOpenCommands(const std::string& name) {
  if (name.empty()) return {};
  if (IsWebAddress(name)) {
    std::string address = name;
    if (name.rfind("www.", 0) == 0 || name.rfind("WWW.", 0) == 0) address = "http://" + name;
    return DesktopOpenCommands(address);
  }
  if (name.find('/') == std::string::npos && !FindOnPath(name).empty()) return {{{name}}};
  struct stat st;
  if (::stat(name.c_str(), &st) != 0) return {};
  if (IsExecutableFile(name)) return {{{name.find('/') == std::string::npos ? "./" + name : name}}};
  return DesktopOpenCommands(name);
}

TLaunchStart LaunchFirst(const std::vector<TLaunchCommand>& commands,
                         LaunchFailureHandler onFailure) {
  TLaunchStart start;
  for (const TLaunchCommand& command : commands) {
    if (command.argv.empty()) continue;
    const std::string name = command.Name();
    ProgramEndHandler onEnd;
    if (onFailure) {
      onEnd = [name, onFailure](const TProgramEnd& end) {
        if (!end.Succeeded()) onFailure(name, DescribeProgramEnd(name, end));
      };
    }
    std::string whyNot = StartProgram(
        command.argv.front(),
        std::vector<std::string>(command.argv.begin() + 1, command.argv.end()), std::move(onEnd));
    if (whyNot.empty()) {
      start.program = name;
      start.failure.clear();
      return start;
    }
    if (!start.failure.empty()) start.failure += "\n";
    start.failure += name + ": " + whyNot;
  }
  return start;
}

bool ShellOpen(const std::string& name) {
  return LaunchFirst(ShellOpenCommands(name), nullptr).Started();
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
