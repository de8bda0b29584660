// Transport security against a real server: aiosmtpd with a TLS context and certificates made
// by the test with the openssl command. The server records every byte it received (after
// decryption) and every login with whether the connection was secured.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "notices/MailEncoding.h"
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

}  // namespace
}  // namespace quellor
