// Helper processes for the tests of locking between programs.
//
// TChild forks; the child runs a function and leaves with its result as exit code (_exit, so
// nothing of the parent's test state is torn down twice). Parent and child exchange lines over
// two pipes. Fork a child only while the parent has no table open: the child must open its own
// files, or the operating system would see both processes as one lock holder.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/WaitUntil.h"

namespace quellor::test {

class TChild {
 public:
  explicit TChild(const std::function<int(TChild&)>& body) {
    int down[2], up[2];
    if (::pipe(down) != 0 || ::pipe(up) != 0) throw std::runtime_error("pipe failed");
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      ::close(down[1]);
      ::close(up[0]);
      in_ = down[0];
      out_ = up[1];
      int code = 99;
      try {
        code = body(*this);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "child %d: uncaught: %s\n", ::getpid(), e.what());
      } catch (...) {
        std::fprintf(stderr, "child %d: uncaught exception\n", ::getpid());
      }
      std::fflush(nullptr);
      ::_exit(code);
    }
    ::close(down[0]);
    ::close(up[1]);
    out_ = down[1];
    in_ = up[0];
  }

  ~TChild() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(in_);
    ::close(out_);
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  pid_t Pid() const { return pid_; }

  // Either side: sends one line to the other.
  void Send(const std::string& line) {
    std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(out_, text.data() + done, text.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

  // Either side: the next line from the other; empty when it does not come within `timeoutMs`
  // or the other side is gone.
  std::string Receive(int timeoutMs = 60000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return {};
      pollfd p{in_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char chunk[4096];
      ssize_t n = ::read(in_, chunk, sizeof chunk);
      if (n <= 0) return {};
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  // Parent: the child's exit code; 128 + signal when a signal ended it; -1 when it did not end
  // within `timeoutMs` (it is killed then).
  int Wait(int timeoutMs = 120000) {
    int status = 0;
    if (!WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; },
                   std::chrono::milliseconds(timeoutMs))) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      reaped_ = true;
      return -1;
    }
    reaped_ = true;
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
  }

  void Kill(int signal = SIGKILL) { ::kill(pid_, signal); }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  bool reaped_ = false;
  std::string buffer_;
};

}  // namespace quellor::test
