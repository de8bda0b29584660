// The SMTP dialogue as this client speaks it (RFC 5321 without extensions other than
// AUTH LOGIN). Every line ends in CR LF; the command words are sent in exactly this spelling:
//
//   S: 220 ...                       greeting, must be 220
//   C: ehlo <local host name>        any reply; 250 reads the AUTH mechanisms, else
//   C: Helo <local host name>        must be 250
//   C: STARTTLS                      220   only with Security STARTTLS, which the EHLO reply
//      <TLS handshake>                     must offer; then EHLO (or HELO) again, and what the
//   C: ehlo <local host name>              server said before the handshake is forgotten
//   C: Rset                          any reply
//   C: auth LOGIN                    334   only with atLogin, LOGIN announced, not yet done
//   C: <Base64 of UserId>            334
//   C: <Base64 of Password>          235
//   C: Mail from:<address>           250
//   C: RCPT to:<address>             250   one per recipient (251 is a failure too)
//   C: Data                          354
//   C: <message text>                header lines, empty line, dot-stuffed body
//   C: .                             250
//   C: Quit                          reply not read
//
// A reply is one line, or several when the fourth character of the first is "-": reading goes
// on to a line shorter than four characters or one beginning with the same three characters
// and a space. Lines are trimmed of blanks and control characters; empty lines are skipped.
// The code is the number in the first three characters of the last line (0 when they are no
// number). The password travels as Base64, which is no protection unless the connection is
// secured (Security STARTTLS or TLS). With Security TLS the handshake comes before the greeting.
//
// Every wait is bounded (TSmtpTimeouts): the connect, the greeting, each command's reply, the
// reply to DATA, each piece of the message text taken by the system, and the reply after ".".
#include "notices/SmtpClient.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <exception>
#include <unordered_set>

#include "notices/MailEncoding.h"
#include "platform/Locale.h"

namespace quellor {
namespace {

std::string Upper(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return r;
}

int ReplyCodeOf(std::string_view line) {
  std::string_view digits = line.substr(0, 3);
  if (digits.empty()) return 0;
  int code = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    code = code * 10 + (c - '0');
  }
  return code;
}

void RefuseLineBreaks(std::string_view what, std::string_view value) {
  if (HasLineBreakOrNul(value))
    throw EMailError(std::string("The ") + std::string(what) +
                     " holds a line break or a NUL character.");
}

}  // namespace

TSMTPClient::TSMTPClient(Ui& ui) : ui_(ui), conn_([this] { ui_.ProcessEvents(); }) {}

TSMTPClient::~TSMTPClient() {
  conn_.CloseSocket();
}

std::string TSMTPClient::LocalHostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  std::string r = name;
  if (HasLineBreakOrNul(r) || r.find(' ') != std::string::npos) return "localhost";
  return r;
}

void TSMTPClient::Status(const std::string& text) {
  if (OnStatus) OnStatus(text);
}

void TSMTPClient::CheckSettings() const {
  RefuseLineBreaks("SMTP host", Host);
  if (Port < 1 || Port > 65535)
    throw EMailError("The SMTP port " + std::to_string(Port) + " is not between 1 and 65535.");
  if (AuthenticationType == TAuthenticationType::atLogin) {
    RefuseLineBreaks("login name", UserId);
    RefuseLineBreaks("password", Password);
  }
  RefuseLineBreaks("mail agent name", MailAgent);
}

void TSMTPClient::DropConnection() {
  if (!conn_.HasSocket()) return;
  Status("Disconnecting from " + peerIp_ + ".");
  conn_.CloseSocket();
  connected_ = false;
  Status("Not connected.");
}

void TSMTPClient::Open() {
  if (conn_.HasSocket()) throw EMailError("Already connected.");
  CheckSettings();
  closedByPeer_ = false;
  didAuthenticate_ = false;
  mechanisms_.clear();
  lastReply_.clear();
  lastCode_ = 0;
  try {
    if (!TTcpConnection::IsDottedIPv4(Host)) Status("Resolving hostname " + Host + ".");
    peerIp_ = conn_.ResolveIPv4(Host, Timeouts.Connect);
    Status("Connecting to " + peerIp_ + ".");
    conn_.CreateSocket();
    conn_.Connect(peerIp_, Port, Timeouts.Connect);
  } catch (...) {
    try {
      Close();
    } catch (...) {
    }
    throw;
  }
  connected_ = true;
  Status("Connected.");
  try {
    if (Security == TMailSecurity::Tls) SecureConnection();
    Greet();
  } catch (const ETlsError&) {
    // Nothing more is said on a connection that could not be secured, not even "Quit".
    DropConnection();
    throw;
  } catch (...) {
    try {
      Close();
    } catch (...) {
    }
    throw;
  }
}

void TSMTPClient::Greet() {
  ReadReply({220}, Timeouts.Greeting);
  const std::string name = LocalHostName();
  Ehlo(name);
  if (Security == TMailSecurity::StartTls) {
    if (!offersStartTls_)
      throw ETlsError(
          "TLS: the server does not offer STARTTLS, which the Security setting asks for; "
          "nothing was sent.");
    CommandWithin("STARTTLS", {220}, Timeouts.Command);
    SecureConnection();
    Ehlo(name);
  }
}

void TSMTPClient::Ehlo(const std::string& name) {
  mechanisms_.clear();
  offersStartTls_ = false;
  if (CommandWithin("ehlo " + name, {}, Timeouts.Command) == 250)
    ReadMechanisms();
  else
    CommandWithin("Helo " + name, {250}, Timeouts.Command);
}

void TSMTPClient::SecureConnection() {
  Status("Starting TLS.");
  conn_.StartTls(Host, peerIp_, CAFile, TTcpConnection::Clock::now() + Timeouts.Command);
  Status("Secured with " + conn_.TlsDescription() + ".");
}

void TSMTPClient::ReadMechanisms() {
  // One pass over the reply with a set of the names seen: a reply listing very many mechanisms
  // costs time in proportion to its length.
  std::unordered_set<std::string> seen(mechanisms_.begin(), mechanisms_.end());
  for (size_t i = 1; i < lastReply_.size(); ++i) {
    std::string line = Upper(lastReply_[i]);
    if (line.size() >= 12 && line.compare(4, std::string::npos, "STARTTLS") == 0)
      offersStartTls_ = true;
    if (line.size() < 9 || line.compare(4, 4, "AUTH") != 0 || (line[8] != ' ' && line[8] != '='))
      continue;
    std::string_view rest = std::string_view(line).substr(9);
    while (!rest.empty()) {
      size_t sp = rest.find(' ');
      std::string_view piece = rest.substr(0, sp);
      if (!piece.empty() && seen.emplace(piece).second) mechanisms_.emplace_back(piece);
      if (sp == std::string_view::npos) break;
      rest.remove_prefix(sp + 1);
    }
  }
}

bool TSMTPClient::IsOpen() {
  if (closedByPeer_) DropConnection();
  return conn_.HasSocket() && connected_;
}

void TSMTPClient::Close() {
  std::exception_ptr quitError;
  if (IsOpen()) {
    try {
      Write("Quit\r\n", Timeouts.Command);
    } catch (...) {
      quitError = std::current_exception();
    }
  }
  DropConnection();
  didAuthenticate_ = false;
  if (quitError) std::rethrow_exception(quitError);
}

bool TSMTPClient::Send(TMailMessage& message) {
  Open();
  if (!IsOpen()) return false;
  try {
    Deliver(message);
  } catch (...) {
    try {
      Close();
    } catch (...) {
    }
    throw;
  }
  Close();
  return true;
}

void TSMTPClient::Write(std::string_view bytes, std::chrono::milliseconds blockTimeout) {
  try {
    conn_.Write(bytes, blockTimeout);
  } catch (const EMailError&) {
    // The connection is gone; nothing more can be said on it.
    DropConnection();
    throw;
  }
}

std::string TSMTPClient::ReadReplyLine(size_t& budget, TTcpConnection::Deadline deadline) {
  for (;;) {
    std::optional<std::string> raw;
    try {
      raw = conn_.ReadLine(deadline);
    } catch (...) {
      DropConnection();
      throw;
    }
    if (!raw) {
      closedByPeer_ = true;
      DropConnection();
      throw EConnClosedGracefully();
    }
    size_t cost = raw->size() + 2;
    if (cost > budget) {
      DropConnection();
      throw EMailError("The server sent a reply longer than " + std::to_string(kMaxReplyBytes) +
                       " bytes.");
    }
    budget -= cost;
    std::string_view line = TrimControls(*raw);
    if (!line.empty()) return std::string(line);
  }
}

int TSMTPClient::ReadReply(const std::vector<int>& allowed, std::chrono::milliseconds timeout) {
  const TTcpConnection::Deadline deadline = TTcpConnection::Clock::now() + timeout;
  size_t budget = kMaxReplyBytes;
  lastReply_.clear();
  lastCode_ = 0;
  lastReply_.push_back(ReadReplyLine(budget, deadline));
  const std::string first = lastReply_.front();
  if (first.size() > 3 && first[3] == '-') {
    for (;;) {
      std::string line = ReadReplyLine(budget, deadline);
      lastReply_.push_back(line);
      if (line.size() < 4 ||
          (Upper(line.substr(0, 3)) == Upper(first.substr(0, 3)) && line[3] == ' '))
        break;
    }
  }
  lastCode_ = ReplyCodeOf(lastReply_.back());
  if (!allowed.empty() && std::find(allowed.begin(), allowed.end(), lastCode_) == allowed.end())
    throw EMailReplyError(lastCode_, lastReply_.back());
  return lastCode_;
}

int TSMTPClient::Command(std::string_view line, const std::vector<int>& allowed) {
  return CommandWithin(line, allowed, Timeouts.Command);
}

int TSMTPClient::CommandWithin(std::string_view line, const std::vector<int>& allowed,
                               std::chrono::milliseconds timeout) {
  if (!conn_.HasSocket()) throw SocketErrorFromErrno(ENOTCONN);
  std::string bytes(line);
  bytes += "\r\n";
  Write(bytes, Timeouts.Command);
  return ReadReply(allowed, timeout);
}

void TSMTPClient::Deliver(TMailMessage& message) {
  if (!IsOpen()) throw SocketErrorFromErrno(ENOTCONN);
  // Nothing of a message whose addresses could break the dialogue goes out.
  message.CheckAddresses();
  message.ExtraHeaders.SetValue("X-Mailer", MailAgent);
  const LocaleInfo locale = Locale::Current();
  const std::string header = message.HeaderText(locale);
  const std::string body = message.BodyText(locale);

  Command("Rset");
  if (AuthenticationType == TAuthenticationType::atLogin && !didAuthenticate_ &&
      std::find(mechanisms_.begin(), mechanisms_.end(), "LOGIN") != mechanisms_.end()) {
    Command("auth LOGIN", {334});
    Command(Base64Encode(UserId), {334});
    Command(Base64Encode(Password), {235});
    didAuthenticate_ = true;
  }
  Command("Mail from:<" + message.From.Address + ">", {250});
  for (const TEMailAddressList* list : {&message.Recipients, &message.CCList, &message.BccList})
    for (const TEMailAddressItem& item : *list) Command("RCPT to:<" + item.Address + ">", {250});
  CommandWithin("Data", {354}, Timeouts.DataStart);
  Write(header, Timeouts.DataBlock);
  Status("Encoding text");
  Write(body, Timeouts.DataBlock);
  CommandWithin(".", {250}, Timeouts.DataEnd);
}

}  // namespace quellor
