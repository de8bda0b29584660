// The TCP connection under the SMTP client: IPv4 name resolution, a blocking connect, blocking
// writes, and reading lines while waiting in slices of 250 milliseconds, after each of which
// the caller's idle hook runs (the window processes its events there).
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

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "notices/MailMessage.h"

namespace quellor {

class ESocketError : public EMailError {
 public:
  ESocketError(int code, const std::string& text);
  int ErrorCode() const { return code_; }

 private:
  int code_;
};

// The error for a system error number (errno), mapped as in the table above.
ESocketError SocketErrorFromErrno(int err);

// The number of a failed host-name lookup.
inline constexpr int kHostNotFound = 11001;

class TTcpConnection {
 public:
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
  // True for a dotted IPv4 address ("a.b.c.d", decimal).
  static bool IsDottedIPv4(const std::string& host);

  // Creates the socket; then Connect to a dotted address.
  void CreateSocket();
  void Connect(const std::string& ip, int port);
  bool HasSocket() const { return fd_ >= 0; }
  // Closes the socket and forgets any unread data.
  void CloseSocket();

  // Writes all bytes, blocking until the system has taken them.
  void Write(std::string_view bytes);
  // The next line without its LF (and a CR before it); nullopt when the peer has closed the
  // connection and no data is left. Text after the last LF at close comes back as a last line.
  // Throws EMailError for a line longer than kMaxLineLength.
  std::optional<std::string> ReadLine();

 private:
  std::function<void()> onIdle_;
  int fd_ = -1;
  std::string buffer_;
  size_t head_ = 0;     // start of the first line not yet handed out
  size_t scanned_ = 0;  // buffer_ before this offset holds no LF of an unread line
};

}  // namespace quellor
