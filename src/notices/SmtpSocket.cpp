#include "notices/SmtpSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

void TTcpConnection::CreateSocket() {
  CloseSocket();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw SocketErrorFromErrno(errno);
}

void TTcpConnection::Connect(const std::string& ip, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) throw SocketErrorFromErrno(EINVAL);
  int rc;
  do {
    rc = ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) throw SocketErrorFromErrno(errno);
  // Commands go out at once: the client writes a few lines in a row (the message text, then
  // the "." line) and would otherwise wait on delayed acknowledgements.
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void TTcpConnection::CloseSocket() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  buffer_.clear();
  head_ = scanned_ = 0;
}

void TTcpConnection::Write(std::string_view bytes) {
  if (fd_ < 0) throw SocketErrorFromErrno(ENOTCONN);
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw SocketErrorFromErrno(errno);
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

std::optional<std::string> TTcpConnection::ReadLine() {
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

    pollfd p{fd_, POLLIN, 0};
    int ready = ::poll(&p, 1, kWaitSliceMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw SocketErrorFromErrno(errno);
    }
    if (ready == 0) {
      if (onIdle_) onIdle_();
      continue;
    }
    char chunk[16384];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      throw SocketErrorFromErrno(errno);
    }
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
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

}  // namespace quellor
