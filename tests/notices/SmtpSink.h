// A real SMTP server for the tests: aiosmtpd (Debian's python3-aiosmtpd) on 127.0.0.1, started
// as a child process through tests/notices/smtp_sink.py, and Python's email parser reading back
// what it received.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/WaitUntil.h"

extern char** environ;

namespace quellor::test {

inline const char* kPython = "/usr/bin/python3";
inline const std::string kSink = std::string(QUELLOR_NOTICES_TEST_DIR) + "/smtp_sink.py";

// The sink server as a child process: its port, and its standard input, whose closing stops it.
class SinkServer {
 public:
  // `cert` and `key` (PEM files) make the server offer STARTTLS and AUTH LOGIN after it.
  // With `implicit` the connection is TLS from the first byte instead.
  explicit SinkServer(const std::string& folder, const std::string& cert = "",
                      const std::string& key = "", bool implicit = false) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> args = {kPython, kSink, "serve", folder};
    if (!cert.empty()) {
      args.push_back(cert);
      args.push_back(key);
      if (implicit) args.push_back("implicit");
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, kPython, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    // The first line is "PORT <n>".
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    if (line.rfind("PORT ", 0) == 0) port_ = std::atoi(line.c_str() + 5);
  }
  ~SinkServer() {
    if (stdin_ >= 0) close(stdin_);
    if (pid_ > 0) {
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }
  int Port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int port_ = 0;
};

// Runs the parser over a received message: key -> JSON value.
inline std::map<std::string, std::string> Parse(const std::string& file) {
  std::map<std::string, std::string> fields;
  std::string command =
      "PYTHONIOENCODING=utf-8 " + std::string(kPython) + " '" + kSink + "' parse '" + file + "'";
  FILE* p = popen(command.c_str(), "r");
  if (!p) return fields;
  char buf[65536];
  while (fgets(buf, sizeof buf, p)) {
    std::string line = buf;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    size_t sp = line.find(' ');
    if (sp != std::string::npos) fields[line.substr(0, sp)] = line.substr(sp + 1);
  }
  pclose(p);
  return fields;
}

// Waits for the server to have written a message (a generous limit, only against a hang).
inline bool WaitForFile(const std::string& path) {
  return WaitUntil([&] { return std::filesystem::exists(path); });
}

inline bool HaveAiosmtpd() {
  std::string command = std::string(kPython) + " -c 'import aiosmtpd' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace quellor::test
