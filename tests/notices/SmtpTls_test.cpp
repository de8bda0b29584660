// Transport security against a real server: aiosmtpd with a TLS context and certificates made
// by the test with the openssl command. The server records every byte it received (after
// decryption) and every login with whether the connection was secured. Secured sessions that a
// server ends at every step of the dialogue run against a scripted TLS server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "notices/MailEncoding.h"
#include "notices/ScriptedTlsServer.h"
#include "notices/SmtpClient.h"
#include "notices/SmtpSink.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

namespace quellor {
namespace {

using Strings = std::vector<std::string>;

// A self-signed certificate and its key for the given subject alternative names.
bool MakeCertificate(const std::string& folder, const std::string& name, const std::string& san) {
  std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
      "-nodes -days 2 -subj /CN=quellor-test -addext 'subjectAltName=" +
      san + "' -keyout '" + folder + name + ".key' -out '" + folder + name +
      ".pem' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

class SmtpTls : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::HaveAiosmtpd()) << "python3-aiosmtpd is not installed (scripts/setup.sh)";
    ASSERT_TRUE(MakeCertificate(certs.path(), "server", "IP:127.0.0.1,DNS:localhost"))
        << "openssl is not installed (scripts/setup.sh)";
    ASSERT_TRUE(MakeCertificate(certs.path(), "other", "DNS:other.example"));
    ASSERT_TRUE(MakeCertificate(certs.path(), "unrelated", "IP:127.0.0.1"));
    client.OnStatus = [this](const std::string& s) { statuses.push_back(s); };
    client.AuthenticationType = TAuthenticationType::atLogin;
    client.UserId = "desk";
    client.Password = "s3cret-pass";
  }

  // The dispatcher's calling order; "" when the mail went out, else the failure text.
  std::string Send(int port) {
    client.Host = "127.0.0.1";
    client.Port = port;
    TMailMessage msg;
    msg.From.SetText("desk@example.org");
    msg.Recipients.SetText("abuse@isp.example");
    msg.Subject = "Notice";
    msg.Body = {"Please shut down this site:", "http://warez.example/"};
    try {
      client.Send(msg);
    } catch (const EMailError& e) {
      return e.what();
    }
    return "";
  }

  test::TempDir certs;
  test::TempDir box;
  test::FakeUi ui;
  TSMTPClient client{ui};
  Strings statuses;
};

TEST_F(SmtpTls, StartTlsUpgradesBeforeTheLoginAndTheMessageArrives) {
  test::SinkServer sink(box.path(), certs.file("server.pem"), certs.file("server.key"));
  ASSERT_GT(sink.Port(), 0);
  client.Security = TMailSecurity::StartTls;
  client.CAFile = certs.file("server.pem");
  EXPECT_EQ(Send(sink.Port()), "");
  ASSERT_TRUE(test::WaitForFile(box.file("msg1.eml")));
  EXPECT_EQ(test::ReadFileBytes(box.file("auth1.json")),
            "{\"mechanism\": \"LOGIN\", \"login\": \"desk\", \"password\": \"s3cret-pass\", "
            "\"tls\": true}");
  const std::string wire = test::ReadFileBytes(box.file("wire.log"));
  const size_t starttls = wire.find("STARTTLS\r\n");
  ASSERT_NE(starttls, std::string::npos) << wire;
  EXPECT_LT(starttls, wire.find("auth LOGIN\r\n")) << wire;
  // EHLO again on the secured connection.
  EXPECT_NE(wire.find("ehlo ", starttls), std::string::npos);
  EXPECT_EQ(statuses.at(2), "Starting TLS.");
  EXPECT_EQ(statuses.at(3).rfind("Secured with TLSv1.", 0), 0u) << statuses.at(3);
}

TEST_F(SmtpTls, TlsFromTheFirstByte) {
  test::SinkServer sink(box.path(), certs.file("server.pem"), certs.file("server.key"), true);
  ASSERT_GT(sink.Port(), 0);
  client.Security = TMailSecurity::Tls;
  client.CAFile = certs.file("server.pem");
  EXPECT_EQ(Send(sink.Port()), "");
  ASSERT_TRUE(test::WaitForFile(box.file("msg1.eml")));
  EXPECT_NE(test::ReadFileBytes(box.file("auth1.json")).find("\"tls\": true"), std::string::npos);
  EXPECT_EQ(test::ReadFileBytes(box.file("wire.log")).find("STARTTLS"), std::string::npos);
}

TEST_F(SmtpTls, CertificatesThatDoNotVerifyStopTheSendBeforeThePassword) {
  struct Case {
    const char* what;
    std::string serverCert;
    std::string caFile;
    std::string failure;
  } cases[] = {
      {"signed by nobody the client trusts", "server", certs.file("unrelated.pem"),
       "TLS: the server's certificate was not accepted: self-signed certificate."},
      {"the system's CA store does not know it", "server", "",
       "TLS: the server's certificate was not accepted: self-signed certificate."},
      {"trusted, but issued for another name", "other", certs.file("other.pem"),
       "TLS: the server's certificate was not accepted: IP address mismatch."},
      {"a CA file that cannot be read", "server", certs.file("missing.pem"),
       "TLS: cannot read the CA file"},
  };
  for (const Case& c : cases) {
    test::TempDir serverBox;
    statuses.clear();
    {
      test::SinkServer sink(serverBox.path(), certs.file(c.serverCert + ".pem"),
                            certs.file(c.serverCert + ".key"));
      ASSERT_GT(sink.Port(), 0);
      client.Security = TMailSecurity::StartTls;
      client.CAFile = c.caFile;
      const std::string failure = Send(sink.Port());
      EXPECT_EQ(failure.substr(0, c.failure.size()), c.failure) << c.what << ": " << failure;
      EXPECT_FALSE(client.IsOpen()) << c.what;
    }
    const std::string wire = test::ReadFileBytes(serverBox.file("wire.log"));
    EXPECT_NE(wire.find("STARTTLS"), std::string::npos) << c.what;
    for (const std::string& secret : {std::string("s3cret-pass"), Base64Encode("s3cret-pass"),
                                      std::string("auth"), std::string("Mail from")})
      EXPECT_EQ(wire.find(secret), std::string::npos) << c.what << ": " << secret;
    EXPECT_FALSE(std::filesystem::exists(serverBox.file("auth1.json"))) << c.what;
    EXPECT_FALSE(std::filesystem::exists(serverBox.file("msg1.eml"))) << c.what;
    EXPECT_EQ(statuses.back(), "Not connected.") << c.what;
  }
}

// ---- Secured sessions that the server ends ------------------------------------------------------

// Where the scripted server ends the secured session: right after the handshake; after its reply
// to EHLO; on reading Rset, Mail from, RCPT or Data; after two lines of the message text; on
// reading Quit.
enum class DropStep { Handshake, Ehlo, Rset, Mail, Rcpt, Data, MidData, Quit };
// How: a "421" reply and the orderly TLS close (as a mail server's access rule does), the orderly
// close alone, or a reset.
enum class DropKind { Reply421, Close, Reset };

const char* const kClosed = "Connection Closed Gracefully.";
const char* const kReset = "Socket Error # 10054\r\nConnection reset by peer.";
const char* const k421 = "421 4.7.0 closing now";

test::ScriptedTlsServer::Script DropAt(DropStep step, DropKind kind, bool greet) {
  return [=](test::TlsServerPeer& p) {
    auto drop = [&] {
      if (kind == DropKind::Reply421) p.Send(std::string(k421) + "\r\n");
      if (kind == DropKind::Reset)
        p.Reset();
      else
        p.Close();
    };
    if (step == DropStep::Handshake) return drop();
    if (greet && !p.Send("220 mail.test ESMTP ready\r\n")) return;
    if (!p.ReadLine() || !p.Send("250-mail.test\r\n250 HELP\r\n")) return;  // EHLO
    if (step == DropStep::Ehlo) return drop();
    if (!p.ReadLine()) return;  // Rset
    if (step == DropStep::Rset) return drop();
    if (!p.Send("250 OK\r\n") || !p.ReadLine()) return;  // Mail from
    if (step == DropStep::Mail) return drop();
    if (!p.Send("250 OK\r\n") || !p.ReadLine()) return;  // RCPT
    if (step == DropStep::Rcpt) return drop();
    if (!p.Send("250 OK\r\n") || !p.ReadLine()) return;  // Data
    if (step == DropStep::Data) return drop();
    if (!p.Send("354 go ahead\r\n") || !p.ReadLine() || !p.ReadLine()) return;
    if (step == DropStep::MidData) return drop();
    for (;;) {
      std::optional<std::string> line = p.ReadLine();
      if (!line) return;
      if (*line == ".") break;
    }
    if (!p.Send("250 Queued\r\n") || !p.ReadLine()) return;  // Quit
    drop();
  };
}

class SmtpTlsDrops : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeCertificate(certs.path(), "server", "IP:127.0.0.1,DNS:localhost"))
        << "openssl is not installed (scripts/setup.sh)";
    client.OnStatus = [this](const std::string& s) { statuses.push_back(s); };
    client.Host = "127.0.0.1";
    client.CAFile = certs.file("server.pem");
  }

  // The dispatcher's calling order; "" when the mail went out, else the failure text.
  std::string Send(int port) {
    client.Port = port;
    TMailMessage msg;
    msg.From.SetText("desk@example.org");
    msg.Recipients.SetText("abuse@isp.example");
    msg.Subject = "Notice";
    msg.Body = {"Please shut down this site:", "http://warez.example/", "Regards"};
    try {
      client.Send(msg);
    } catch (const EMailError& e) {
      return e.what();
    }
    return "";
  }

  test::TempDir certs;
  test::FakeUi ui;
  TSMTPClient client{ui};
  Strings statuses;
};

// A server that hangs up or resets a secured session at any step ends the send with the reply it
// gave or the socket error, never the program: writing to the dead connection (the "Quit", the
// TLS close message) raises no SIGPIPE. The same client then sends the next message.
TEST_F(SmtpTlsDrops, EverySecuredStepEndsInAFailureAndTheProgramGoesOn) {
  using Mode = test::ScriptedTlsServer::Mode;
  using Outcomes = std::set<std::string>;
  struct Case {
    DropStep step;
    DropKind kind;
    Outcomes tlsOnConnect;  // the failure texts that can come, "" for a delivered message
    Outcomes startTls;
  };
  // Where the client may still be writing when the server goes, the text depends on whether the
  // reset or the server's last words arrive first; every outcome is one of the session's own.
  const Case cases[] = {
      {DropStep::Handshake, DropKind::Reply421, {k421}, {kClosed, kReset}},
      {DropStep::Handshake, DropKind::Close, {kClosed}, {kClosed, kReset}},
      {DropStep::Handshake, DropKind::Reset, {kReset}, {kReset}},
      {DropStep::Ehlo, DropKind::Reply421, {kClosed, kReset}, {kClosed, kReset}},
      {DropStep::Ehlo, DropKind::Close, {kClosed}, {kClosed}},
      {DropStep::Ehlo, DropKind::Reset, {kReset}, {kReset}},
      {DropStep::Rset, DropKind::Reply421, {kClosed, kReset}, {kClosed, kReset}},
      {DropStep::Rset, DropKind::Close, {kClosed}, {kClosed}},
      {DropStep::Rset, DropKind::Reset, {kReset}, {kReset}},
      {DropStep::Mail, DropKind::Reply421, {k421}, {k421}},
      {DropStep::Mail, DropKind::Close, {kClosed}, {kClosed}},
      {DropStep::Mail, DropKind::Reset, {kReset}, {kReset}},
      {DropStep::Rcpt, DropKind::Reply421, {k421}, {k421}},
      {DropStep::Rcpt, DropKind::Close, {kClosed}, {kClosed}},
      {DropStep::Rcpt, DropKind::Reset, {kReset}, {kReset}},
      {DropStep::Data, DropKind::Reply421, {k421}, {k421}},
      {DropStep::Data, DropKind::Close, {kClosed}, {kClosed}},
      {DropStep::Data, DropKind::Reset, {kReset}, {kReset}},
      {DropStep::MidData, DropKind::Reply421, {k421, kClosed, kReset}, {k421, kClosed, kReset}},
      {DropStep::MidData, DropKind::Close, {kClosed, kReset}, {kClosed, kReset}},
      {DropStep::MidData, DropKind::Reset, {kReset}, {kReset}},
      {DropStep::Quit, DropKind::Reply421, {""}, {""}},
      {DropStep::Quit, DropKind::Close, {""}, {""}},
      {DropStep::Quit, DropKind::Reset, {""}, {""}},
  };
  for (Mode mode : {Mode::TlsOnConnect, Mode::StartTls}) {
    const bool onConnect = mode == Mode::TlsOnConnect;
    client.Security = onConnect ? TMailSecurity::Tls : TMailSecurity::StartTls;
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(onConnect ? "TLS on connect" : "STARTTLS") + ", step " +
                   std::to_string(static_cast<int>(c.step)) + ", kind " +
                   std::to_string(static_cast<int>(c.kind)));
      statuses.clear();
      test::ScriptedTlsServer server(certs.file("server.pem"), certs.file("server.key"), mode,
                                     DropAt(c.step, c.kind, onConnect));
      const std::string outcome = Send(server.Port());
      const Outcomes& expected = onConnect ? c.tlsOnConnect : c.startTls;
      EXPECT_EQ(expected.count(outcome), 1u) << outcome;
      EXPECT_TRUE(server.Secured());
      EXPECT_FALSE(client.IsOpen());
      ASSERT_FALSE(statuses.empty());
      EXPECT_EQ(statuses.back(), "Not connected.");
    }
    // The program goes on: the same client delivers the next message.
    test::ScriptedTlsServer server(certs.file("server.pem"), certs.file("server.key"), mode,
                                   DropAt(DropStep::Quit, DropKind::Close, onConnect));
    EXPECT_EQ(Send(server.Port()), "");
  }
}

}  // namespace
}  // namespace quellor
