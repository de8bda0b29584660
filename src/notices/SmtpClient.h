// The SMTP client: delivers one mail message to the configured server over a TCP connection
// (plain, or secured by TLS when Security asks for it; no pipelining, no retry), reporting each
// stage as a status text and every failure as an EMailError. While it connects, writes or waits
// for a reply the window processes its events through the Ui port, every 250 milliseconds, and
// every wait is bounded by the timeouts (a timeout fails like a socket error).
//
// Calling order, one connection per message: set the properties, Open(), then if IsOpen():
// Deliver(message) and, whatever happened, Close().
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/Ui.h"
#include "notices/MailMessage.h"
#include "notices/MailTransport.h"
#include "notices/SmtpSocket.h"

namespace quellor {

enum class TAuthenticationType { atNone, atLogin };

// A server reply with a code the step does not allow; what() is the reply's last line.
class EMailReplyError : public EMailError {
 public:
  EMailReplyError(int code, const std::string& line) : EMailError(line), code_(code) {}
  int ReplyCode() const { return code_; }

 private:
  int code_;
};

// The server closed the connection: "Connection Closed Gracefully.".
class EConnClosedGracefully : public EMailError {
 public:
  EConnClosedGracefully() : EMailError("Connection Closed Gracefully.") {}
};

class TSMTPClient {
 public:
  // A whole reply (all its lines with their line ends, skipped blank lines included) longer
  // than this is refused, so endless continuation or blank lines cannot hold the client.
  static constexpr size_t kMaxReplyBytes = 4 << 20;

  explicit TSMTPClient(Ui& ui);
  ~TSMTPClient();
  TSMTPClient(const TSMTPClient&) = delete;
  TSMTPClient& operator=(const TSMTPClient&) = delete;

  std::string Host;  // a host name, a dotted IPv4 address, or "LOCALHOST"
  int Port = 25;
  TAuthenticationType AuthenticationType = TAuthenticationType::atNone;
  std::string UserId;
  std::string Password;
  std::string MailAgent;  // the X-Mailer header; none when empty
  std::function<void(const std::string&)> OnStatus;
  // Transport security: None keeps the plain dialogue byte for byte. StartTls upgrades the
  // connection after EHLO ("STARTTLS", then EHLO again on the secured connection) and fails
  // when the server does not offer it; Tls secures the connection before the greeting. The
  // certificate is checked against CAFile, or the system's CA store when it is empty.
  TMailSecurity Security = TMailSecurity::None;
  std::string CAFile;
  TSmtpTimeouts Timeouts;

  // Connects and greets the server (EHLO, or "Helo " when EHLO is refused), securing the
  // connection as Security says. Fails with "Already connected." when a connection is open,
  // and before connecting when a setting would put a line break or NUL on the wire. Closes the
  // connection itself when it fails.
  void Open();
  // True while the connection is open; a connection the server has closed is closed here.
  bool IsOpen();
  // One mail transaction: Rset, AUTH LOGIN when configured and announced and not yet done,
  // Mail from, one RCPT per recipient of Recipients, CCList and BccList, Data, the message
  // text and the closing ".".
  void Deliver(TMailMessage& message);
  // Sends "Quit" without waiting for the reply when open, then closes the socket. A failure to
  // send "Quit" is passed on after the socket is closed.
  void Close();
  // One message on a connection of its own: Open, Deliver and Close. A failure of Deliver
  // closes the connection (quietly) and is passed on. Nothing is sent when Open leaves no
  // connection open; the result is true when the server took the message.
  bool Send(TMailMessage& message);
  // Writes the line and CR LF, reads the reply and returns its code; with allowed codes given,
  // any other code fails with EMailReplyError.
  int Command(std::string_view line, const std::vector<int>& allowed = {});

  // The last reply: its trimmed lines in order, and the code of its last line (0 when that
  // does not begin with a number).
  const std::vector<std::string>& LastReply() const { return lastReply_; }
  int LastReplyCode() const { return lastCode_; }
  // The upper-case authentication mechanisms of the server's EHLO reply.
  const std::vector<std::string>& AnnouncedMechanisms() const { return mechanisms_; }
  bool DidAuthenticate() const { return didAuthenticate_; }

  // The name of this computer as the system reports it, sent with EHLO and HELO.
  static std::string LocalHostName();

 private:
  void Status(const std::string& text);
  void CheckSettings() const;
  void Greet();
  void Ehlo(const std::string& name);
  void SecureConnection();
  void Write(std::string_view bytes, std::chrono::milliseconds blockTimeout);
  std::string ReadReplyLine(size_t& budget, TTcpConnection::Deadline deadline);
  int ReadReply(const std::vector<int>& allowed, std::chrono::milliseconds timeout);
  int CommandWithin(std::string_view line, const std::vector<int>& allowed,
                    std::chrono::milliseconds timeout);
  void ReadMechanisms();
  // Closes the socket with the status texts "Disconnecting from %s." and "Not connected.".
  void DropConnection();

  Ui& ui_;
  TTcpConnection conn_;
  std::string peerIp_;
  bool connected_ = false;
  bool closedByPeer_ = false;
  bool didAuthenticate_ = false;
  bool offersStartTls_ = false;
  std::vector<std::string> mechanisms_;
  std::vector<std::string> lastReply_;
  int lastCode_ = 0;
};

}  // namespace quellor
