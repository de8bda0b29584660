#include "notices/SmtpSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace quellor {
namespace {

struct KnownError {
  int err;
  int code;
  const char* text;
};

constexpr KnownError kKnownErrors[] = {
    {ENETDOWN, 10050, "Network is down."},
    {ENETUNREACH, 10051, "Network is unreachable."},
    {ECONNABORTED, 10053, "Software caused connection abort."},
    {ECONNRESET, 10054, "Connection reset by peer."},
    {ENOTCONN, 10057, "Socket is not connected."},
    {EPIPE, 10058, "Cannot send or receive after socket is closed."},
    {ESHUTDOWN, 10058, "Cannot send or receive after socket is closed."},
    {ETIMEDOUT, 10060, "Connection timed out."},
    {ECONNREFUSED, 10061, "Connection refused."},
    {EHOSTDOWN, 10064, "Host is down."},
    {EHOSTUNREACH, 10065, "No route to host."},
};

// The TLS session's transport: the connection's socket, written with MSG_NOSIGNAL. OpenSSL's
// own socket transport writes with write(), which raises SIGPIPE once the server has reset the
// connection, and that signal ends the program; here such a write fails with EPIPE like any
// other, whether it is a command, the "Quit" or the TLS close message at disconnect. The
// transport also notes when the server closed the connection, so that a session the server
// ends without the TLS close message reads as closed rather than as a broken record.
struct SocketBioState {
  int fd = -1;
  bool sawEof = false;
};

int SocketBioWrite(BIO* bio, const char* data, int size) {
  auto* state = static_cast<SocketBioState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  for (;;) {
    ssize_t n = ::send(state->fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(bio);
    return -1;
  }
}

int SocketBioRead(BIO* bio, char* data, int size) {
  auto* state = static_cast<SocketBioState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  for (;;) {
    ssize_t n = ::recv(state->fd, data, static_cast<size_t>(size), 0);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) {
      state->sawEof = true;
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_read(bio);
    return -1;
  }
}

long SocketBioCtrl(BIO* bio, int cmd, long, void*) {
  switch (cmd) {
    case BIO_CTRL_FLUSH:  // every write goes out at once
      return 1;
    case BIO_CTRL_EOF:
      return static_cast<SocketBioState*>(BIO_get_data(bio))->sawEof ? 1 : 0;
    default:
      return 0;
  }
}

int SocketBioCreate(BIO* bio) {
  BIO_set_data(bio, new SocketBioState);
  BIO_set_init(bio, 1);
  return 1;
}

int SocketBioDestroy(BIO* bio) {
  delete static_cast<SocketBioState*>(BIO_get_data(bio));
  BIO_set_data(bio, nullptr);
  return 1;
}

BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quellor socket");
    if (m) {
      BIO_meth_set_write(m, SocketBioWrite);
      BIO_meth_set_read(m, SocketBioRead);
      BIO_meth_set_ctrl(m, SocketBioCtrl);
      BIO_meth_set_create(m, SocketBioCreate);
      BIO_meth_set_destroy(m, SocketBioDestroy);
    }
    return m;
  }();
  return method;
}

}  // namespace

ESocketError::ESocketError(int code, const std::string& text)
    : EMailError("Socket Error # " + std::to_string(code) + "\r\n" + text), code_(code) {}

ESocketError SocketErrorFromErrno(int err) {
  for (const KnownError& k : kKnownErrors)
    if (k.err == err) return ESocketError(k.code, k.text);
  return ESocketError(err, std::strerror(err));
}

TTcpConnection::TTcpConnection(std::function<void()> onIdle) : onIdle_(std::move(onIdle)) {}

TTcpConnection::~TTcpConnection() {
  CloseSocket();
}

bool TTcpConnection::IsDottedIPv4(const std::string& host) {
  in_addr addr{};
  return inet_pton(AF_INET, host.c_str(), &addr) == 1;
}

std::string TTcpConnection::ResolveIPv4(const std::string& host) {
  if (strcasecmp(host.c_str(), "LOCALHOST") == 0) return "127.0.0.1";
  if (IsDottedIPv4(host)) return host;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  int rc = host.empty() ? EAI_NONAME : getaddrinfo(host.c_str(), nullptr, &hints, &result);
  if (rc != 0 || result == nullptr) {
    if (result) freeaddrinfo(result);
    throw ESocketError(kHostNotFound, rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc));
  }
  char text[INET_ADDRSTRLEN] = {};
  const auto* sin = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
  inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
  freeaddrinfo(result);
  return text;
}

std::string TTcpConnection::ResolveIPv4(const std::string& host,
                                        std::chrono::milliseconds timeout) {
  if (strcasecmp(host.c_str(), "LOCALHOST") == 0 || IsDottedIPv4(host) || host.empty())
    return ResolveIPv4(host);
  struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::string address;
    std::exception_ptr error;
  };
  auto lookup = std::make_shared<Lookup>();
  std::thread([lookup, host] {
    std::string address;
    std::exception_ptr error;
    try {
      address = ResolveIPv4(host);
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(lookup->mutex);
    lookup->address = std::move(address);
    lookup->error = error;
    lookup->finished = true;
    lookup->done.notify_all();
  }).detach();
  const Deadline deadline = Clock::now() + timeout;
  std::unique_lock<std::mutex> lock(lookup->mutex);
  while (!lookup->finished) {
    if (Clock::now() >= deadline)
      throw ESocketError(kHostNotFound, "The host name lookup timed out.");
    if (!lookup->done.wait_for(lock, std::chrono::milliseconds(kWaitSliceMs),
                               [&] { return lookup->finished; })) {
      lock.unlock();
      if (onIdle_) onIdle_();
      lock.lock();
    }
  }
  if (lookup->error) std::rethrow_exception(lookup->error);
  return lookup->address;
}

void TTcpConnection::CreateSocket() {
  CloseSocket();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) throw SocketErrorFromErrno(errno);
}

void TTcpConnection::WaitFor(short events, Deadline deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) throw SocketErrorFromErrno(ETIMEDOUT);
    int slice = static_cast<int>(std::min<long long>(left.count(), kWaitSliceMs));
    pollfd p{fd_, events, 0};
    int ready = ::poll(&p, 1, slice);
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw SocketErrorFromErrno(errno);
    }
    if (ready > 0) return;  // ready, or an error the next call reports
    if (onIdle_) onIdle_();
    if (fd_ < 0) throw SocketErrorFromErrno(ENOTCONN);
  }
}

void TTcpConnection::Connect(const std::string& ip, int port, std::chrono::milliseconds timeout) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) throw SocketErrorFromErrno(EINVAL);
  int rc;
  do {
    rc = ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno != EINPROGRESS) throw SocketErrorFromErrno(errno);
    // The connection is under way; the window keeps its events while it completes.
    WaitFor(POLLOUT, Clock::now() + timeout);
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) throw SocketErrorFromErrno(err);
  }
  // Commands go out at once: the client writes a few lines in a row (the message text, then
  // the "." line) and would otherwise wait on delayed acknowledgements.
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void TTcpConnection::CloseSocket() {
  if (ssl_) {
    if (fd_ >= 0) SSL_shutdown(ssl_);  // one try, never waits: the socket is non-blocking
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
  if (sslCtx_) {
    SSL_CTX_free(sslCtx_);
    sslCtx_ = nullptr;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  buffer_.clear();
  head_ = scanned_ = 0;
}

namespace {

// The reasons OpenSSL queued for the last failure, as one line.
std::string OpenSslReasons() {
  std::string text;
  while (unsigned long e = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    if (const char* reason = ERR_reason_error_string(e)) {
      if (!text.empty()) text += "; ";
      text += reason;
    } else {
      if (!text.empty()) text += "; ";
      text += buf;
    }
  }
  return text;
}

}  // namespace

void TTcpConnection::TlsFailure(const std::string& what, int sslError) {
  if (ssl_) {
    long verify = SSL_get_verify_result(ssl_);
    if (verify != X509_V_OK) {
      ERR_clear_error();
      throw ETlsError("TLS: the server's certificate was not accepted: " +
                      std::string(X509_verify_cert_error_string(verify)) + ".");
    }
  }
  std::string reasons = OpenSslReasons();
  if (reasons.empty()) {
    if (sslError == SSL_ERROR_SYSCALL && errno != 0)
      reasons = std::strerror(errno);
    else if (sslError == SSL_ERROR_SYSCALL || sslError == SSL_ERROR_ZERO_RETURN)
      reasons = "the server closed the connection";
    else
      reasons = "error " + std::to_string(sslError);
  }
  throw ETlsError("TLS: " + what + " failed: " + reasons + ".");
}

void TTcpConnection::StartTls(const std::string& host, const std::string& ip,
                              const std::string& caFile, Deadline deadline) {
  if (fd_ < 0) throw SocketErrorFromErrno(ENOTCONN);
  if (ssl_) throw ETlsError("TLS: the connection is already secured.");
  if (head_ != buffer_.size())
    // Text the server sent before the handshake could have been injected by a third party.
    throw ETlsError("TLS: the server sent data before the handshake.");
  ERR_clear_error();
  sslCtx_ = SSL_CTX_new(TLS_client_method());
  if (!sslCtx_) TlsFailure("setting up", SSL_ERROR_SSL);
  SSL_CTX_set_min_proto_version(sslCtx_, TLS1_2_VERSION);
  SSL_CTX_set_verify(sslCtx_, SSL_VERIFY_PEER, nullptr);
  if (!caFile.empty()) {
    if (SSL_CTX_load_verify_locations(sslCtx_, caFile.c_str(), nullptr) != 1) {
      std::string reasons = OpenSslReasons();
      throw ETlsError("TLS: cannot read the CA file " + caFile +
                      (reasons.empty() ? "" : ": " + reasons) + ".");
    }
  } else if (SSL_CTX_set_default_verify_paths(sslCtx_) != 1) {
    TlsFailure("reading the system's CA store", SSL_ERROR_SSL);
  }
  ssl_ = SSL_new(sslCtx_);
  if (!ssl_) TlsFailure("setting up", SSL_ERROR_SSL);
  SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  BIO* bio = SocketBioMethod() ? BIO_new(SocketBioMethod()) : nullptr;
  if (!bio) TlsFailure("setting up", SSL_ERROR_SSL);
  static_cast<SocketBioState*>(BIO_get_data(bio))->fd = fd_;
  SSL_set_bio(ssl_, bio, bio);  // the session owns it from here
  const bool byAddress = IsDottedIPv4(host);
  std::string name = host;
  if (strcasecmp(host.c_str(), "LOCALHOST") == 0) name = "localhost";
  if (byAddress) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), ip.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl_, name.c_str());
    SSL_set1_host(ssl_, name.c_str());
  }
  for (;;) {
    ERR_clear_error();
    int rc = SSL_connect(ssl_);
    if (rc == 1) break;
    int err = SSL_get_error(ssl_, rc);
    if (err == SSL_ERROR_WANT_READ)
      WaitFor(POLLIN, deadline);
    else if (err == SSL_ERROR_WANT_WRITE)
      WaitFor(POLLOUT, deadline);
    else
      TlsFailure("the handshake", err);
  }
}

std::string TTcpConnection::TlsDescription() const {
  if (!ssl_) return {};
  std::string text = SSL_get_version(ssl_);
  if (const SSL_CIPHER* c = SSL_get_current_cipher(ssl_))
    text += std::string(" ") + SSL_CIPHER_get_name(c);
  return text;
}

size_t TTcpConnection::WriteSome(std::string_view bytes, Deadline deadline) {
  for (;;) {
    if (ssl_) {
      ERR_clear_error();
      int n =
          SSL_write(ssl_, bytes.data(), static_cast<int>(std::min<size_t>(bytes.size(), 1 << 30)));
      if (n > 0) return static_cast<size_t>(n);
      int err = SSL_get_error(ssl_, n);
      if (err == SSL_ERROR_WANT_WRITE) {
        WaitFor(POLLOUT, deadline);
      } else if (err == SSL_ERROR_WANT_READ) {
        WaitFor(POLLIN, deadline);
      } else if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno != 0) {
        throw SocketErrorFromErrno(errno == EPIPE ? ECONNRESET : errno);
      } else {
        TlsFailure("writing", err);
      }
      continue;
    }
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) throw SocketErrorFromErrno(errno);
    WaitFor(POLLOUT, deadline);
  }
}

void TTcpConnection::Write(std::string_view bytes, std::chrono::milliseconds blockTimeout) {
  if (fd_ < 0) throw SocketErrorFromErrno(ENOTCONN);
  while (!bytes.empty()) {
    // Every piece the system takes starts the wait anew (the data-block timeout of RFC 5321).
    size_t n = WriteSome(bytes, Clock::now() + blockTimeout);
    bytes.remove_prefix(n);
  }
}

size_t TTcpConnection::ReadSome(char* buffer, size_t size, Deadline deadline) {
  for (;;) {
    if (ssl_) {
      ERR_clear_error();
      int n = SSL_read(ssl_, buffer, static_cast<int>(size));
      if (n > 0) return static_cast<size_t>(n);
      int err = SSL_get_error(ssl_, n);
      if (err == SSL_ERROR_WANT_READ) {
        WaitFor(POLLIN, deadline);
      } else if (err == SSL_ERROR_WANT_WRITE) {
        WaitFor(POLLOUT, deadline);
      } else if (err == SSL_ERROR_ZERO_RETURN) {
        return 0;
      } else if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno != 0) {
        throw SocketErrorFromErrno(errno);
      } else if (ServerClosed()) {
        // Closed without the TLS close message: the server hung up all the same.
        ERR_clear_error();
        return 0;
      } else {
        TlsFailure("reading", err);
      }
      continue;
    }
    ssize_t n = ::recv(fd_, buffer, size, 0);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) throw SocketErrorFromErrno(errno);
    WaitFor(POLLIN, deadline);
  }
}

bool TTcpConnection::ServerClosed() const {
  if (!ssl_) return false;
  BIO* bio = SSL_get_rbio(ssl_);  // always the socket transport set up by StartTls
  return bio && BIO_get_data(bio) && static_cast<const SocketBioState*>(BIO_get_data(bio))->sawEof;
}

std::optional<std::string> TTcpConnection::ReadLine(Deadline deadline) {
  if (fd_ < 0) throw SocketErrorFromErrno(ENOTCONN);
  auto tooLong = [this]() {
    buffer_.clear();
    head_ = scanned_ = 0;
    return EMailError("The server sent a line longer than " + std::to_string(kMaxLineLength) +
                      " bytes.");
  };
  for (;;) {
    size_t lf = buffer_.find('\n', scanned_);
    if (lf != std::string::npos) {
      size_t end = lf > head_ && buffer_[lf - 1] == '\r' ? lf - 1 : lf;
      if (end - head_ > kMaxLineLength) throw tooLong();
      std::string line = buffer_.substr(head_, end - head_);
      head_ = scanned_ = lf + 1;
      return line;
    }
    scanned_ = buffer_.size();
    if (buffer_.size() - head_ > kMaxLineLength + 1) throw tooLong();

    char chunk[16384];
    errno = 0;
    size_t n = ReadSome(chunk, sizeof chunk, deadline);
    // Lines already handed out leave the buffer once per read, not once per line.
    buffer_.erase(0, head_);
    scanned_ -= head_;
    head_ = 0;
    if (n == 0) {
      if (buffer_.empty()) return std::nullopt;
      std::string line = std::move(buffer_);
      buffer_.clear();
      scanned_ = 0;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() > kMaxLineLength) throw tooLong();
      return line;
    }
    buffer_.append(chunk, n);
  }
}

}  // namespace quellor
