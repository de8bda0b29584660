// A scripted SMTP server that speaks TLS, for the client's tests of secured sessions that end
// badly. It listens on 127.0.0.1 (port 0), accepts one connection in a thread of the test and
// secures it either at once (TLS on connect) or after a plain greeting, EHLO offering STARTTLS
// and the STARTTLS command; then the script runs on the secured connection. The certificate and
// key are PEM files the test makes.
//
// The server's own writes may meet a client that has gone. Its thread blocks SIGPIPE for itself
// only (a broken pipe raised by a write is directed at the writing thread), so the signal never
// reaches the test's main thread, where the client runs unprotected by anything of the test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

namespace quellor::test {

// The server's end of the secured connection.
class TlsServerPeer {
 public:
  TlsServerPeer(SSL* ssl, int fd) : ssl_(ssl), fd_(fd) {}

  // Sends bytes; false when the client has gone.
  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      int n = SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()));
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
      char buf[16384];
      int n = SSL_read(ssl_, buf, sizeof buf);
      if (n <= 0) return std::nullopt;
      pending_.append(buf, static_cast<size_t>(n));
    }
  }

  // Ends the session the orderly way: the TLS close message, then the socket is closed.
  void Close() {
    SSL_shutdown(ssl_);
    closed_ = true;
  }
  // Ends it with a reset (RST), without the TLS close message.
  void Reset() {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    closed_ = true;
  }
  bool Closed() const { return closed_; }

 private:
  SSL* ssl_;
  int fd_;
  std::string pending_;
  bool closed_ = false;
};

class ScriptedTlsServer {
 public:
  using Script = std::function<void(TlsServerPeer&)>;
  enum class Mode { TlsOnConnect, StartTls };

  ScriptedTlsServer(const std::string& certFile, const std::string& keyFile, Mode mode,
                    Script script)
      : mode_(mode) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_ || SSL_CTX_use_certificate_chain_file(ctx_, certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
      throw std::runtime_error("scripted TLS server: cannot load the certificate");
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 4) != 0)
      throw std::runtime_error("scripted TLS server: cannot listen");
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, script = std::move(script)] { Run(script); });
  }

  ~ScriptedTlsServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    SSL_CTX_free(ctx_);
  }

  int Port() const { return port_; }
  // True once the TLS handshake with the client has completed.
  bool Secured() const { return secured_; }

 private:
  // Plain line reading for the part before STARTTLS: the client sends nothing after its
  // STARTTLS line before the server's 220, so nothing of the handshake is read here.
  static std::optional<std::string> PlainLine(int fd) {
    std::string line;
    char c;
    for (;;) {
      ssize_t n = ::recv(fd, &c, 1, 0);
      if (n <= 0) return std::nullopt;
      if (c == '\n') break;
      line += c;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  static bool PlainSend(int fd, std::string_view bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }

  void Run(const Script& script) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    int fd = -1;
    for (int waited = 0; waited < 200 && !stop_; ++waited) {  // 20 s at most
      pollfd p{listenFd_, POLLIN, 0};
      if (::poll(&p, 1, 100) > 0) {
        fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        break;
      }
    }
    if (fd < 0) return;
    timeval limit{20, 0};  // a hung client fails the test instead of hanging it
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    bool ready = true;
    if (mode_ == Mode::StartTls) {
      ready = PlainSend(fd, "220 mail.test ESMTP ready\r\n") && PlainLine(fd) &&
              PlainSend(fd, "250-mail.test\r\n250 STARTTLS\r\n") && PlainLine(fd) &&
              PlainSend(fd, "220 2.0.0 Ready to start TLS\r\n");
    }
    SSL* ssl = ready ? SSL_new(ctx_) : nullptr;
    if (ssl) {
      SSL_set_fd(ssl, fd);
      if (SSL_accept(ssl) == 1) {
        secured_ = true;
        TlsServerPeer peer(ssl, fd);
        script(peer);
        if (!peer.Closed()) peer.Close();
      }
      SSL_free(ssl);
    }
    ERR_clear_error();
    ::close(fd);
  }

  Mode mode_;
  SSL_CTX* ctx_ = nullptr;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> secured_{false};
  std::thread thread_;
};

}  // namespace quellor::test
