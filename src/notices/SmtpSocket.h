// The TCP connection under the SMTP client: IPv4 name resolution (on a thread of its own, the
// window served meanwhile), and a non-blocking socket on
// which connecting, writing and reading lines all wait in slices of 250 milliseconds, after
// each slice without progress running the caller's idle hook (the window processes its events
// there), and each up to a deadline the caller gives: a wait that passes it fails with the
// error of a timed-out connection (10060). The connection can be turned into a TLS session
// (OpenSSL) at any point; the server's certificate must chain to the system's CA store or to
// the given CA file and name the host (or its address) that was dialled.
//
// No write raises SIGPIPE, plain or secured: the plain socket is written with MSG_NOSIGNAL, and
// the TLS session runs over a transport of its own that does the same (OpenSSL's socket
// transport uses write(), and a server that resets a secured session would otherwise end the
// program with the signal). A write to a connection the server has closed fails with the socket
// error instead. A secured session the server ends without the TLS close message reads as closed
// by the server, as a plain one does.
//
// Failures of the sockets layer are ESocketError, whose text is "Socket Error # <number>",
// CR LF and a short text. The conditions below keep the numbers and texts users and other
// programs know from the mail client on other systems; any other error keeps the system's own
// number (errno) and text:
//
//   ENETDOWN         10050  "Network is down."
//   ENETUNREACH      10051  "Network is unreachable."
//   ECONNABORTED     10053  "Software caused connection abort."
//   ECONNRESET       10054  "Connection reset by peer."
//   ENOTCONN         10057  "Socket is not connected."
//   EPIPE, ESHUTDOWN 10058  "Cannot send or receive after socket is closed."
//   ETIMEDOUT        10060  "Connection timed out."
//   ECONNREFUSED     10061  "Connection refused."
//   EHOSTDOWN        10064  "Host is down."
//   EHOSTUNREACH     10065  "No route to host."
//
// A failed host-name lookup is number 11001 with the resolver's text.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "notices/MailMessage.h"

struct ssl_st;
struct ssl_ctx_st;

namespace quellor {

class ESocketError : public EMailError {
 public:
  ESocketError(int code, const std::string& text);
  int ErrorCode() const { return code_; }

 private:
  int code_;
};

// A failed TLS handshake, certificate check or TLS read or write; what() says which.
class ETlsError : public EMailError {
 public:
  using EMailError::EMailError;
};

// The error for a system error number (errno), mapped as in the table above.
ESocketError SocketErrorFromErrno(int err);

// The number of a failed host-name lookup.
inline constexpr int kHostNotFound = 11001;

class TTcpConnection {
 public:
  using Clock = std::chrono::steady_clock;
  using Deadline = Clock::time_point;

  // A reply line longer than this (without its line end) is refused, so a server cannot make
  // the client hold unbounded text.
  static constexpr size_t kMaxLineLength = 1 << 20;
  // The wait slice after which the idle hook runs while nothing arrives.
  static constexpr int kWaitSliceMs = 250;

  explicit TTcpConnection(std::function<void()> onIdle);
  ~TTcpConnection();
  TTcpConnection(const TTcpConnection&) = delete;
  TTcpConnection& operator=(const TTcpConnection&) = delete;

  // The dotted IPv4 address of a host: "LOCALHOST" in any case is 127.0.0.1, a dotted address
  // stands for itself, another name goes to the system's resolver (first IPv4 address).
  static std::string ResolveIPv4(const std::string& host);
  // The same, with the system's resolver running on a thread of its own while the idle hook
  // runs every wait slice; a lookup that has not answered by `timeout` fails like a failed
  // lookup (its thread finishes on its own and its answer is dropped).
  std::string ResolveIPv4(const std::string& host, std::chrono::milliseconds timeout);
  // True for a dotted IPv4 address ("a.b.c.d", decimal).
  static bool IsDottedIPv4(const std::string& host);

  // Creates the socket; then Connect to a dotted address, waiting at most `timeout`.
  void CreateSocket();
  void Connect(const std::string& ip, int port, std::chrono::milliseconds timeout);
  bool HasSocket() const { return fd_ >= 0; }
  // Closes the socket (ending a TLS session first) and forgets any unread data.
  void CloseSocket();

  // Runs the TLS handshake as a client on the open connection. `host` is the name dialled
  // (checked against the certificate, and sent as server name), `ip` its address (checked
  // instead when the host was given as an address); `caFile` empty uses the system's CA store.
  // Throws ETlsError with the reason; the caller closes the connection then.
  void StartTls(const std::string& host, const std::string& ip, const std::string& caFile,
                Deadline deadline);
  bool IsTls() const { return ssl_ != nullptr; }
  // "TLSv1.3 TLS_AES_256_GCM_SHA384" for an open TLS session.
  std::string TlsDescription() const;

  // Writes all bytes; each wait for the system to take more may last `blockTimeout`.
  void Write(std::string_view bytes, std::chrono::milliseconds blockTimeout);
  // The next line without its LF (and a CR before it); nullopt when the peer has closed the
  // connection and no data is left. Text after the last LF at close comes back as a last line.
  // Throws EMailError for a line longer than kMaxLineLength, and the timeout error when no
  // line is complete by `deadline`.
  std::optional<std::string> ReadLine(Deadline deadline);

 private:
  // Waits until the socket is ready for `events` (POLLIN, POLLOUT); throws the timeout error
  // after the deadline.
  void WaitFor(short events, Deadline deadline);
  // Reads what is there (waiting for something); 0 when the peer has closed the connection.
  size_t ReadSome(char* buffer, size_t size, Deadline deadline);
  // Writes some bytes (waiting until at least one is taken); returns how many.
  size_t WriteSome(std::string_view bytes, Deadline deadline);
  [[noreturn]] void TlsFailure(const std::string& what, int sslError);
  // True when the TLS session's transport has read the end of the connection.
  bool ServerClosed() const;

  std::function<void()> onIdle_;
  int fd_ = -1;
  ssl_ctx_st* sslCtx_ = nullptr;  // OpenSSL's SSL_CTX
  ssl_st* ssl_ = nullptr;         // OpenSSL's SSL
  std::string buffer_;
  size_t head_ = 0;     // start of the first line not yet handed out
  size_t scanned_ = 0;  // buffer_ before this offset holds no LF of an unread line
};

}  // namespace quellor
