// The SMTP client against a real server: aiosmtpd (Debian's python3-aiosmtpd) on 127.0.0.1,
// started by the test through tests/notices/smtp_sink.py. What arrives is read back with
// Python's email package: From, To, the decoded Subject, the Date and the body must be intact.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "notices/SmtpClient.h"
#include "notices/SmtpSink.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

extern char** environ;

namespace quellor {
namespace {

using test::HaveAiosmtpd;
using test::Parse;
using test::SinkServer;
using test::WaitForFile;

TEST(SmtpIntegration, RealServerReceivesTheMessageIntact) {
  // The set-up script installs python3-aiosmtpd; without it this test fails rather than hide.
  ASSERT_TRUE(HaveAiosmtpd()) << "python3-aiosmtpd is not installed (run scripts/setup.sh)";
  test::TempDir dir;
  SinkServer sink(dir.path());
  ASSERT_GT(sink.Port(), 0);

  struct Case {
    const char* what;
    LocaleInfo locale;
    std::string subject;      // in the locale's code page
    std::string decodedJson;  // the Subject as the parser decodes it, JSON in UTF-8
  } cases[] = {
      {"UTF-8 system",
       {'.', "UTF-8", "en", "US"},
       "Plainte: caf\xc3\xa9 cr\xc3\xa8me \xe2\x80\x93 http://warez.example/",
       "\"Plainte: caf\xc3\xa9 cr\xc3\xa8me \xe2\x80\x93 http://warez.example/\""},
      {"Latin-1 system, long subject",
       {'.', "ISO-8859-1", "de", "DE"},
       "Beschwerde \xfc"
       "ber Raubkopien: " +
           std::string(40, '\xe4') + " und " + std::string(30, '\xf6') + " http://warez.example/",
       "\"Beschwerde \xc3\xbc"
       "ber Raubkopien: " +
           [] {
             std::string s;
             for (int i = 0; i < 40; ++i) s += "\xc3\xa4";
             s += " und ";
             for (int i = 0; i < 30; ++i) s += "\xc3\xb6";
             return s;
           }() +
           " http://warez.example/\""},
      {"Japanese system",
       {'.', "UTF-8", "ja", "JP"},
       "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe4\xbb\xb6\xe5\x90\x8d notice",
       "\"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe4\xbb\xb6\xe5\x90\x8d notice\""},
  };

  int k = 0;
  for (const Case& c : cases) {
    ++k;
    Locale::Override(c.locale);
    test::FakeUi ui;
    TSMTPClient client(ui);
    client.Host = "127.0.0.1";
    client.Port = sink.Port();
    TMailMessage msg;
    msg.Clear();
    msg.From.SetText("Abuse Desk <abuse@example.org>");
    msg.Recipients.SetText("a@isp.example, \"Desk, Net\" <b@isp.example>");
    msg.ReceiptRecipient.SetText("Abuse Desk <abuse@example.org>");
    msg.Subject = c.subject;
    msg.Body = {"Dear abuse team,", ".hidden line", ".", "..", "", "Regards"};
    msg.Date = std::chrono::system_clock::from_time_t(1709644029);
    client.Open();
    ASSERT_TRUE(client.IsOpen()) << c.what;
    client.Deliver(msg);
    client.Close();
    Locale::Override(std::nullopt);

    const std::string base = dir.file("msg" + std::to_string(k));
    ASSERT_TRUE(WaitForFile(base + ".eml")) << c.what;
    std::map<std::string, std::string> f = Parse(base + ".eml");
    EXPECT_EQ(f["from_name"], "\"Abuse Desk\"") << c.what;
    EXPECT_EQ(f["from_addr"], "\"abuse@example.org\"") << c.what;
    EXPECT_EQ(f["to"], "[[\"\", \"a@isp.example\"], [\"Desk, Net\", \"b@isp.example\"]]") << c.what;
    EXPECT_EQ(f["subject"], c.decodedJson) << c.what;
    EXPECT_EQ(f["date"], "1709644029") << c.what;
    EXPECT_EQ(f["body"],
              "\"Dear abuse team,\\r\\n.hidden line\\r\\n.\\r\\n..\\r\\n\\r\\nRegards\\r\\n\"")
        << c.what;
    EXPECT_EQ(f["defects"], "[]") << c.what;
    EXPECT_EQ(test::ReadFileBytes(base + ".env"),
              "{\"from\": \"abuse@example.org\", \"to\": [\"a@isp.example\", \"b@isp.example\"]}")
        << c.what;
  }
}

}  // namespace
}  // namespace quellor

namespace quellor {
namespace {

// What a real server refused before: a body line over 998 bytes ("500 Line too long"), a Subject
// that folds into an overlong line, and 8-bit text without a declaration.
TEST(SmtpIntegration, LongLinesAndEightBitTextArriveIntact) {
  ASSERT_TRUE(HaveAiosmtpd()) << "python3-aiosmtpd is not installed (run scripts/setup.sh)";
  test::TempDir dir;
  SinkServer sink(dir.path());
  ASSERT_GT(sink.Port(), 0);
  Locale::Override(LocaleInfo{'.', "UTF-8", "en", "US"});
  test::FakeUi ui;
  TSMTPClient client(ui);
  client.Host = "127.0.0.1";
  client.Port = sink.Port();
  TMailMessage msg;
  msg.From.SetText("Abuse Desk <abuse@example.org>");
  msg.Recipients.SetText("a@isp.example");
  const std::string url = "http://warez.example/list?page=" + std::string(1500, 'p');
  msg.Subject = "Software piracy notice: " + url;
  std::string paragraph;
  for (int i = 0; i < 150; ++i) paragraph += "Caf\xc3\xa9 cr\xc3\xa8me = 100% ";
  msg.Body = {"Dear abuse team,", paragraph, ".leading dot", "Regards"};
  client.Open();
  ASSERT_TRUE(client.IsOpen());
  client.Deliver(msg);
  client.Close();
  Locale::Override(std::nullopt);

  ASSERT_TRUE(WaitForFile(dir.file("msg1.eml")));
  std::map<std::string, std::string> f = Parse(dir.file("msg1.eml"));
  EXPECT_EQ(f["subject"], "\"Software piracy notice: " + url + "\"");
  EXPECT_EQ(f["body"],
            "\"Dear abuse team,\\r\\n" + paragraph + "\\r\\n.leading dot\\r\\nRegards\\r\\n\"");
  EXPECT_EQ(f["charset"], "\"utf-8\"");
  EXPECT_EQ(f["cte"], "\"quoted-printable\"");
  EXPECT_EQ(f["defects"], "[]");
}

}  // namespace
}  // namespace quellor
