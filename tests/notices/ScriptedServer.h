// A scripted SMTP server for the client's tests: it listens on 127.0.0.1 (port 0, the system
// picks), accepts one connection in a thread of the test and runs a script against it. Every
// byte the client sends is kept, so a test can compare the whole dialogue.
//
// The server gives up waiting after a generous limit so that a broken client fails the test
// instead of hanging it; no test measures time.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

namespace quellor::test {

// The server's end of the one connection.
class ServerPeer {
 public:
  explicit ServerPeer(int fd) : fd_(fd) {}

  // Sends bytes; false when the client has gone.
  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  // The next line the client sent, without CR LF; nullopt at the end of the connection.
  std::optional<std::string> ReadLine() {
    for (;;) {
      size_t lf = pending_.find('\n');
      if (lf != std::string::npos) {
        std::string line = pending_.substr(0, lf);
        pending_.erase(0, lf + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
      }
      if (!Fill()) return std::nullopt;
    }
  }

  // The message text of the DATA phase, up to and without the "." line; nullopt at the end of
  // the connection.
  std::optional<std::string> ReadData() {
    std::string text;
    for (;;) {
      std::optional<std::string> line = ReadLine();
      if (!line) return std::nullopt;
      if (*line == ".") return text;
      text += *line + "\r\n";
    }
  }

  // Reads until the client closes the connection.
  void DrainUntilClosed() {
    while (Fill()) {
    }
  }

  // Makes the close at the end of the script a reset (RST) instead of a graceful close.
  void ResetOnClose() {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }

  // A graceful close of the server's sending side.
  void ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }

  // Everything received so far.
  std::string Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  bool Fill() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 20000) <= 0) return false;  // a hung client: give up
    char buf[65536];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    pending_.append(buf, static_cast<size_t>(n));
    std::lock_guard<std::mutex> lock(mutex_);
    received_.append(buf, static_cast<size_t>(n));
    return true;
  }

  int fd_;
  std::string pending_;
  std::mutex mutex_;
  std::string received_;
};

class ScriptedServer {
 public:
  using Script = std::function<void(ServerPeer&)>;

  explicit ScriptedServer(Script script) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 4) != 0)
      throw std::runtime_error("scripted server: cannot listen");
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, script = std::move(script)] { Run(script); });
  }

  ~ScriptedServer() {
    stop_ = true;
    Join();
    if (listenFd_ >= 0) ::close(listenFd_);
  }

  int Port() const { return port_; }

  // Waits for the script to end.
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  // Everything the client sent (complete once Join has returned).
  std::string Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return peer_ ? peer_->Received() : received_;
  }

  bool Accepted() const { return accepted_; }

 private:
  void Run(const Script& script) {
    int fd = -1;
    for (int waited = 0; waited < 200 && !stop_; ++waited) {  // 20 s at most
      pollfd p{listenFd_, POLLIN, 0};
      if (::poll(&p, 1, 100) > 0) {
        fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        break;
      }
    }
    if (fd < 0) return;
    int one = 1;  // what the script sends in pieces arrives in pieces
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    accepted_ = true;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      peer_.emplace(fd);
    }
    script(*peer_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_ = peer_->Received();
    }
    ::close(fd);
  }

  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> accepted_{false};
  std::mutex mutex_;
  std::optional<ServerPeer> peer_;
  std::string received_;
  std::thread thread_;
};

// A port on 127.0.0.1 that refuses connections: bound, never listening, for as long as the
// object lives.
class RefusingPort {
 public:
  RefusingPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~RefusingPort() { ::close(fd_); }
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

inline std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// What the responding server answers; each reply is sent as written.
struct Replies {
  std::string greeting = "220 mail.test ESMTP ready\r\n";
  std::string ehlo = "250-mail.test\r\n250 HELP\r\n";
  std::string helo = "250 mail.test\r\n";
  std::string mail = "250 2.1.0 OK\r\n";
  std::string rcpt = "250 2.1.5 OK\r\n";
  std::string data = "354 End data with <CR><LF>.<CR><LF>\r\n";
  std::string dot = "250 2.0.0 Queued\r\n";
};

// A server that answers every command by its word; "auth LOGIN" starts the two-step login.
inline ScriptedServer::Script Responder(Replies r) {
  return [r](ServerPeer& p) {
    if (!p.Send(r.greeting)) return;
    for (;;) {
      std::optional<std::string> line = p.ReadLine();
      if (!line) return;
      std::string word = Upper(line->substr(0, line->find(' ')));
      if (word == "EHLO") {
        p.Send(r.ehlo);
      } else if (word == "HELO") {
        p.Send(r.helo);
      } else if (word == "RSET") {
        p.Send("250 OK\r\n");
      } else if (Upper(*line) == "AUTH LOGIN") {
        p.Send("334 VXNlcm5hbWU6\r\n");
        if (!p.ReadLine()) return;
        p.Send("334 UGFzc3dvcmQ6\r\n");
        if (!p.ReadLine()) return;
        p.Send("235 2.7.0 Authentication successful\r\n");
      } else if (word == "MAIL") {
        p.Send(r.mail);
      } else if (word == "RCPT") {
        p.Send(r.rcpt);
      } else if (word == "DATA") {
        p.Send(r.data);
        if (r.data.rfind("354", 0) == 0) {
          if (!p.ReadData()) return;
          p.Send(r.dot);
        }
      } else if (word == "QUIT") {
        p.Send("221 Bye\r\n");
        return;
      } else {
        p.Send("500 Unknown command\r\n");
      }
    }
  };
}

}  // namespace quellor::test
