// How the SMTP client reaches the server beyond host and port: transport security and the time
// limits of the dialogue. Read from the company's settings file, section [Mail], at every send:
//
//   Security=None | STARTTLS | TLS    None (the default): plain TCP, the dialogue exactly as
//                                     without these keys. STARTTLS: after the greeting and
//                                     EHLO, "STARTTLS", the TLS handshake, then EHLO again;
//                                     a server that does not offer it is a failure. TLS: the
//                                     handshake right after connecting (port 465).
//   CAFile=<file of PEM certificates> the authorities the server's certificate must chain to
//                                     (a name without a leading "/" is in the program folder);
//                                     empty (the default): the system's CA store
//   ConnectTimeout=120                seconds to wait for the connection
//   GreetingTimeout=300               seconds for the server's greeting
//   CommandTimeout=300                seconds for the reply to each command (EHLO, MAIL, RCPT,
//                                     RSET, AUTH, STARTTLS, the handshake)
//   DataStartTimeout=120              seconds for the reply to DATA
//   DataBlockTimeout=180              seconds for each piece of the message text to be taken
//   DataEndTimeout=600                seconds for the reply after the closing "."
//
// The timeouts follow RFC 5321 (section 4.5.3.2). A value that is missing, not a number or not
// above 0 gives the default. The security setting is matched without regard to case; any other
// value is refused before connecting, so a typing error never sends a password in plain text.
#pragma once

#include <chrono>
#include <string>

namespace quellor {

enum class TMailSecurity { None, StartTls, Tls };

struct TSmtpTimeouts {
  std::chrono::milliseconds Connect{std::chrono::seconds(120)};
  std::chrono::milliseconds Greeting{std::chrono::seconds(300)};
  std::chrono::milliseconds Command{std::chrono::seconds(300)};
  std::chrono::milliseconds DataStart{std::chrono::seconds(120)};
  std::chrono::milliseconds DataBlock{std::chrono::seconds(180)};
  std::chrono::milliseconds DataEnd{std::chrono::seconds(600)};
};

struct TMailTransport {
  TMailSecurity Security = TMailSecurity::None;
  std::string CAFile;
  TSmtpTimeouts Timeouts;
};

// Reads the [Mail] keys above from a settings file; a missing file or key gives the defaults.
// Throws EMailError for a Security value that is none of the three.
TMailTransport ReadMailTransport(const std::string& settingsFile);

// "None", "STARTTLS" or "TLS" as the text of a setting; nullopt-like false for others.
bool ParseMailSecurity(const std::string& text, TMailSecurity* security);

}  // namespace quellor
