// The SMTP client against a scripted server in a thread of the test: the exact bytes of the
// dialogue, the status texts, the failure texts, and servers that misbehave.
#include "notices/SmtpClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <regex>
#include <string>
#include <vector>

#include "notices/ScriptedServer.h"
#include "support/FakeUi.h"
#include "support/WaitUntil.h"

namespace quellor {
namespace {

using test::FakeUi;
using test::RefusingPort;
using test::Replies;
using test::Responder;
using test::ScriptedServer;
using test::ServerPeer;
using test::Upper;

TMailMessage Message() {
  TMailMessage msg;
  msg.Clear();
  msg.From.SetText("Abuse Desk <abuse@example.org>");
  msg.Recipients.SetText("a@isp.example, b@isp.example");
  msg.ReceiptRecipient.SetText("Abuse Desk <abuse@example.org>");
  msg.Subject = "Software piracy notice: http://warez.example/";
  msg.Body = {"Dear abuse team,", ".", "", "Regards"};
  return msg;
}

class SmtpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Locale::Override(LocaleInfo{'.', "UTF-8", "en", "US"});
    client.OnStatus = [this](const std::string& s) { statuses.push_back(s); };
  }
  void TearDown() override { Locale::Override(std::nullopt); }

  void Target(const ScriptedServer& server, const std::string& host = "127.0.0.1") {
    client.Host = host;
    client.Port = server.Port();
  }

  // Sends one message as the dispatcher does; returns the failure text, or "" when the mail went
  // out.
  std::string Send(TMailMessage msg) {
    try {
      client.Send(msg);
    } catch (const EMailError& e) {
      return e.what();
    }
    return "";
  }

  FakeUi ui;
  TSMTPClient client{ui};
  std::vector<std::string> statuses;
  const std::string host = TSMTPClient::LocalHostName();
};

TEST_F(SmtpClientTest, SuccessfulSessionBytes) {
  ScriptedServer server(Responder({}));
  Target(server);
  EXPECT_EQ(Send(Message()), "");
  server.Join();
  std::string received = server.Received();
  const std::regex date(
      "\r\nDate: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9][0-9]? "
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} "
      "[+-][0-9]{4}\r\n");
  ASSERT_TRUE(std::regex_search(received, date)) << received;
  received = std::regex_replace(received, date, "\r\nDate: <date>\r\n");
  EXPECT_EQ(received, "ehlo " + host +
                          "\r\n"
                          "Rset\r\n"
                          "Mail from:<abuse@example.org>\r\n"
                          "RCPT to:<a@isp.example>\r\n"
                          "RCPT to:<b@isp.example>\r\n"
                          "Data\r\n"
                          "From: \"Abuse Desk\" <abuse@example.org>\r\n"
                          "Subject: Software piracy notice: http://warez.example/\r\n"
                          "To: a@isp.example, b@isp.example\r\n"
                          "Disposition-Notification-To: \"Abuse Desk\" <abuse@example.org>\r\n"
                          "Date: <date>\r\n"
                          "X-Priority: 3\r\n"
                          "X-Library: Quellor 1.20\r\n"
                          "\r\n"
                          "Dear abuse team,\r\n"
                          "..\r\n"
                          "\r\n"
                          "Regards\r\n"
                          ".\r\n"
                          "Quit\r\n");
  EXPECT_FALSE(client.IsOpen());
}

TEST_F(SmtpClientTest, StatusLinesOfASendToANamedHost) {
  ScriptedServer server(Responder({}));
  Target(server, "localhost");
  EXPECT_EQ(Send(Message()), "");
  EXPECT_EQ(statuses, (std::vector<std::string>{
                          "Resolving hostname localhost.", "Connecting to 127.0.0.1.", "Connected.",
                          "Encoding text", "Disconnecting from 127.0.0.1.", "Not connected."}));
}

TEST_F(SmtpClientTest, DottedHostIsNotResolved) {
  ScriptedServer server(Responder({}));
  Target(server, "127.0.0.1");
  EXPECT_EQ(Send(Message()), "");
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.front(), "Connecting to 127.0.0.1.");
}

TEST_F(SmtpClientTest, RefusedConnection) {
  RefusingPort port;
  client.Host = "LocalHost";
  client.Port = port.Port();
  std::string error = Send(Message());
  EXPECT_EQ(error, "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(statuses,
            (std::vector<std::string>{"Resolving hostname LocalHost.", "Connecting to 127.0.0.1.",
                                      "Disconnecting from 127.0.0.1.", "Not connected."}));
  EXPECT_FALSE(client.IsOpen());
}

TEST_F(SmtpClientTest, EhloRefusedFallsBackToHelo) {
  Replies r;
  r.ehlo = "500 Command not recognized\r\n";
  ScriptedServer server(Responder(r));
  Target(server);
  client.AuthenticationType = TAuthenticationType::atLogin;
  client.UserId = "user";
  client.Password = "secret";
  EXPECT_EQ(Send(Message()), "");
  server.Join();
  EXPECT_EQ(
      server.Received().rfind(
          "ehlo " + host + "\r\nHelo " + host + "\r\nRset\r\nMail from:<abuse@example.org>\r\n", 0),
      0u)
      << server.Received();
  EXPECT_FALSE(client.DidAuthenticate());
}

TEST_F(SmtpClientTest, HeloRefusedToo) {
  Replies r;
  r.ehlo = "500 no\r\n";
  r.helo = "501 Syntax error\r\n";
  ScriptedServer server(Responder(r));
  Target(server);
  EXPECT_EQ(Send(Message()), "501 Syntax error");
  server.Join();
  EXPECT_EQ(server.Received(), "ehlo " + host + "\r\nHelo " + host + "\r\nQuit\r\n");
}

TEST_F(SmtpClientTest, LoginAnnouncedAfterEqualsSignOnALaterLine) {
  Replies r;
  r.ehlo =
      "250-mail.test Hello\r\n250-SIZE 10240000\r\n250-AUTH=LOGIN\r\n250-AUTH PLAIN login\r\n"
      "250 HELP\r\n";
  ScriptedServer server(Responder(r));
  Target(server);
  client.AuthenticationType = TAuthenticationType::atLogin;
  client.UserId = "user";
  client.Password = "secret";
  EXPECT_EQ(Send(Message()), "");
  server.Join();
  EXPECT_EQ(server.Received().rfind("ehlo " + host +
                                        "\r\n"
                                        "Rset\r\n"
                                        "auth LOGIN\r\n"
                                        "dXNlcg==\r\n"
                                        "c2VjcmV0\r\n"
                                        "Mail from:<abuse@example.org>\r\n",
                                    0),
            0u)
      << server.Received();
  EXPECT_EQ(client.AnnouncedMechanisms(), (std::vector<std::string>{"LOGIN", "PLAIN"}));
}

TEST_F(SmtpClientTest, RefusedLoginIsAFailure) {
  ScriptedServer server([](ServerPeer& p) {
    p.Send("220 mail.test\r\n");
    p.ReadLine();
    p.Send("250-mail.test\r\n250 AUTH LOGIN\r\n");
    p.ReadLine();
    p.Send("250 reset\r\n");
    p.ReadLine();
    p.Send("334 VXNlcm5hbWU6\r\n");
    p.ReadLine();
    p.Send("334 UGFzc3dvcmQ6\r\n");
    p.ReadLine();
    p.Send("535 5.7.8 Authentication credentials invalid\r\n");
    p.DrainUntilClosed();
  });
  Target(server);
  client.AuthenticationType = TAuthenticationType::atLogin;
  client.UserId = "user";
  client.Password = "wrong";
  EXPECT_EQ(Send(Message()), "535 5.7.8 Authentication credentials invalid");
  EXPECT_FALSE(client.DidAuthenticate());
  server.Join();
  EXPECT_EQ(server.Received(),
            "ehlo " + host + "\r\nRset\r\nauth LOGIN\r\ndXNlcg==\r\nd3Jvbmc=\r\nQuit\r\n");
}

TEST_F(SmtpClientTest, FailedLookupIsASocketError) {
  client.Host = "";
  client.Port = 25;
  std::string error = Send(Message());
  EXPECT_EQ(error.rfind("Socket Error # 11001\r\n", 0), 0u) << error;
  EXPECT_GT(error.size(), std::string("Socket Error # 11001\r\n").size());
  EXPECT_EQ(statuses, (std::vector<std::string>{"Resolving hostname ."}));
}

TEST_F(SmtpClientTest, EmptyLoginIsSentAsEmptyLines) {
  Replies r;
  r.ehlo = "250-mail.test\r\n250 AUTH LOGIN\r\n";
  ScriptedServer server(Responder(r));
  Target(server);
  client.AuthenticationType = TAuthenticationType::atLogin;
  EXPECT_EQ(Send(Message()), "");
  server.Join();
  EXPECT_NE(server.Received().find("Rset\r\nauth LOGIN\r\n\r\n\r\nMail from:<"), std::string::npos)
      << server.Received();
}

TEST_F(SmtpClientTest, NoAuthWithoutLoginAnnouncedOrConfigured) {
  struct Case {
    const char* what;
    std::string ehlo;
    TAuthenticationType type;
  } cases[] = {
      {"only PLAIN announced", "250-mail.test\r\n250 AUTH PLAIN\r\n", TAuthenticationType::atLogin},
      {"AUTH without separator", "250-mail.test\r\n250 AUTHLOGIN\r\n",
       TAuthenticationType::atLogin},
      {"LOGIN on the first line only", "250 AUTH LOGIN\r\n", TAuthenticationType::atLogin},
      {"not configured", "250-mail.test\r\n250 AUTH LOGIN\r\n", TAuthenticationType::atNone},
  };
  for (const Case& c : cases) {
    Replies r;
    r.ehlo = c.ehlo;
    r.mail = "530 5.7.0 Authentication required\r\n";
    ScriptedServer server(Responder(r));
    Target(server);
    client.AuthenticationType = c.type;
    EXPECT_EQ(Send(Message()), "530 5.7.0 Authentication required") << c.what;
    server.Join();
    EXPECT_EQ(server.Received().find("auth"), std::string::npos) << c.what;
    EXPECT_NE(server.Received().find("Rset\r\nMail from:<abuse@example.org>\r\nQuit\r\n"),
              std::string::npos)
        << c.what;
  }
}

TEST_F(SmtpClientTest, MultiLineReplyWithTrailingBlanks) {
  Replies r;
  r.ehlo = "250-mail.test   \r\n\r\n250-AUTH LOGIN  \r\n  250-8BITMIME\t\r\n250 OK   \r\n";
  ScriptedServer server(Responder(r));
  Target(server);
  client.Open();
  EXPECT_EQ(client.LastReply(), (std::vector<std::string>{"250-mail.test", "250-AUTH LOGIN",
                                                          "250-8BITMIME", "250 OK"}));
  EXPECT_EQ(client.LastReplyCode(), 250);
  EXPECT_EQ(client.AnnouncedMechanisms(), (std::vector<std::string>{"LOGIN"}));
  client.Close();
}

TEST_F(SmtpClientTest, ReplyEndsAtShortLineOrSameCodeAndSpace) {
  struct Case {
    std::string reply;
    std::vector<std::string> lines;
    int code;
  } cases[] = {
      {"250-a\r\n250 b\r\n", {"250-a", "250 b"}, 250},
      {"250-a\r\n251 b\r\n250 c\r\n", {"250-a", "251 b", "250 c"}, 250},
      {"250-a\r\nOK\r\n", {"250-a", "OK"}, 0},
      {"250-a\r\n25\r\n", {"250-a", "25"}, 25},
      {"250-a\r\n2x0 b\r\n250 c\r\n", {"250-a", "2x0 b", "250 c"}, 250},
      {"abc-x\r\nABC y\r\n", {"abc-x", "ABC y"}, 0},
      {"+25 odd\r\n", {"+25 odd"}, 0},
  };
  for (const Case& c : cases) {
    ScriptedServer server([&](ServerPeer& p) {
      p.Send("220 hi\r\n");
      p.ReadLine();  // ehlo
      p.Send("250 ok\r\n");
      p.ReadLine();  // NOOP
      p.Send(c.reply);
      p.ReadLine();  // Quit
    });
    Target(server);
    client.Open();
    EXPECT_EQ(client.Command("NOOP"), c.code) << c.reply;
    EXPECT_EQ(client.LastReply(), c.lines) << c.reply;
    client.Close();
  }
}

TEST_F(SmtpClientTest, RecipientAnswered251IsAFailure) {
  Replies r;
  r.rcpt = "251 User not local; will forward to <a@elsewhere.example>\r\n";
  ScriptedServer server(Responder(r));
  Target(server);
  EXPECT_EQ(Send(Message()), "251 User not local; will forward to <a@elsewhere.example>");
  server.Join();
  EXPECT_NE(server.Received().find("RCPT to:<a@isp.example>\r\nQuit\r\n"), std::string::npos);
  EXPECT_FALSE(client.IsOpen());
}

TEST_F(SmtpClientTest, NoRecipientsSendsNoRcptAndTheServerDecides) {
  Replies r;
  r.data = "503 5.5.1 Error: need RCPT command\r\n";
  ScriptedServer server(Responder(r));
  Target(server);
  TMailMessage msg = Message();
  msg.Recipients.SetText("");
  EXPECT_EQ(Send(msg), "503 5.5.1 Error: need RCPT command");
  server.Join();
  EXPECT_EQ(server.Received(),
            "ehlo " + host + "\r\nRset\r\nMail from:<abuse@example.org>\r\nData\r\nQuit\r\n");
}

TEST_F(SmtpClientTest, CopiesAndBlindCopiesAreEnvelopeRecipients) {
  ScriptedServer server(Responder({}));
  Target(server);
  TMailMessage msg = Message();
  msg.CCList.SetText("c@isp.example");
  msg.BccList.SetText("hidden@isp.example");
  EXPECT_EQ(Send(msg), "");
  server.Join();
  const std::string received = server.Received();
  EXPECT_NE(received.find("RCPT to:<a@isp.example>\r\nRCPT to:<b@isp.example>\r\n"
                          "RCPT to:<c@isp.example>\r\nRCPT to:<hidden@isp.example>\r\nData\r\n"),
            std::string::npos)
      << received;
  EXPECT_NE(received.find("\r\nCc: c@isp.example\r\n"), std::string::npos);
  EXPECT_EQ(received.find("hidden", received.find("Data\r\n")), std::string::npos);
}

TEST_F(SmtpClientTest, ReplyErrorCarriesTheCode) {
  Replies r;
  r.rcpt = "550 5.1.1 No such user\r\n";
  ScriptedServer server(Responder(r));
  Target(server);
  client.Open();
  TMailMessage msg = Message();
  try {
    client.Deliver(msg);
    FAIL();
  } catch (const EMailReplyError& e) {
    EXPECT_EQ(e.ReplyCode(), 550);
    EXPECT_STREQ(e.what(), "550 5.1.1 No such user");
  }
  client.Close();
}

TEST_F(SmtpClientTest, ServerClosingAfterTheGreeting) {
  ScriptedServer server([](ServerPeer& p) {
    p.Send("220 mail.test\r\n");
    p.ShutdownWrite();
    p.DrainUntilClosed();
  });
  Target(server);
  EXPECT_EQ(Send(Message()), "Connection Closed Gracefully.");
  EXPECT_EQ(statuses,
            (std::vector<std::string>{"Connecting to 127.0.0.1.", "Connected.",
                                      "Disconnecting from 127.0.0.1.", "Not connected."}));
  EXPECT_FALSE(client.IsOpen());
}

TEST_F(SmtpClientTest, AlreadyConnectedLeavesTheConnectionAlone) {
  ScriptedServer server(Responder({}));
  Target(server);
  client.Open();
  try {
    client.Open();
    FAIL();
  } catch (const EMailError& e) {
    EXPECT_STREQ(e.what(), "Already connected.");
  }
  EXPECT_TRUE(client.IsOpen());
  TMailMessage msg = Message();
  EXPECT_NO_THROW(client.Deliver(msg));
  client.Close();
  EXPECT_FALSE(client.IsOpen());
}

TEST_F(SmtpClientTest, UsableAgainAfterAFailure) {
  {
    RefusingPort port;
    client.Host = "127.0.0.1";
    client.Port = port.Port();
    EXPECT_NE(Send(Message()), "");
  }
  ScriptedServer server(Responder({}));
  Target(server);
  EXPECT_EQ(Send(Message()), "");
}

TEST_F(SmtpClientTest, WaitingLetsTheWindowProcessEvents) {
  struct SignallingUi : FakeUi {
    std::atomic<int> events{0};
    void ProcessEvents() override {
      FakeUi::ProcessEvents();
      ++events;
    }
  } signallingUi;
  TSMTPClient slowClient(signallingUi);
  // The server greets only once the client has been through at least one empty wait slice.
  ScriptedServer server([&](ServerPeer& p) {
    test::WaitUntil([&] { return signallingUi.events > 0; });
    p.Send("220 late\r\n");
    p.ReadLine();
    p.Send("250 ok\r\n");
    p.ReadLine();
  });
  slowClient.Host = "127.0.0.1";
  slowClient.Port = server.Port();
  slowClient.Open();
  EXPECT_GE(signallingUi.processEventsCount, 1);
  slowClient.Close();
}

TEST_F(SmtpClientTest, LineBreaksInSettingsAreRefusedBeforeConnecting) {
  struct Case {
    const char* what;
    std::function<void(TSMTPClient&)> set;
  } cases[] = {
      {"login name", [](TSMTPClient& c) { c.UserId = "user\r\nMAIL FROM:<x>"; }},
      {"password", [](TSMTPClient& c) { c.Password = std::string("pw\0", 3); }},
      {"mail agent", [](TSMTPClient& c) { c.MailAgent = "agent\nBcc: x"; }},
      {"host", [](TSMTPClient& c) { c.Host = "127.0.0.1\r\n"; }},
      {"port", [](TSMTPClient& c) { c.Port = 70000; }},
  };
  RefusingPort port;
  for (const Case& c : cases) {
    TSMTPClient fresh(ui);
    std::vector<std::string> seen;
    fresh.OnStatus = [&](const std::string& s) { seen.push_back(s); };
    fresh.Host = "127.0.0.1";
    fresh.Port = port.Port();
    fresh.AuthenticationType = TAuthenticationType::atLogin;
    c.set(fresh);
    EXPECT_THROW(fresh.Open(), EMailError) << c.what;
    EXPECT_TRUE(seen.empty()) << c.what;
  }
}

TEST_F(SmtpClientTest, AddressWithLineBreakSetDirectlySendsNothingOfTheMessage) {
  ScriptedServer server(Responder({}));
  Target(server);
  TMailMessage msg = Message();
  msg.Recipients.Add({"", "x@evil.example>\r\nDATA"});
  EXPECT_NE(Send(msg), "");
  server.Join();
  EXPECT_EQ(server.Received(), "ehlo " + host + "\r\nQuit\r\n");
}

// --- Servers that misbehave ----------------------------------------------------------------

// Answers normally, but hangs up after the given number of steps (0: right after the greeting;
// -1: before it). The message text with its "." is one step; with midData the server hangs up
// after two lines of the message text.
ScriptedServer::Script HangUpAfter(int steps, bool midData) {
  return [=](ServerPeer& p) {
    if (steps >= 0) {
      p.Send("220 mail.test\r\n");
      bool inData = false;
      for (int n = 0; n < steps; ++n) {
        if (inData) {
          if (!p.ReadData()) return;
          p.Send("250 queued\r\n");
          inData = false;
          continue;
        }
        std::optional<std::string> line = p.ReadLine();
        if (!line) return;
        std::string word = Upper(line->substr(0, line->find(' ')));
        if (word == "EHLO") {
          p.Send("250-mail.test\r\n250 HELP\r\n");
        } else if (word == "DATA") {
          p.Send("354 go\r\n");
          inData = true;
        } else {
          p.Send("250 ok\r\n");
        }
      }
      if (midData && inData) {
        p.ReadLine();
        p.ReadLine();
      }
    }
    p.ShutdownWrite();
    p.DrainUntilClosed();
  };
}

TEST_F(SmtpClientTest, DroppedConnectionAtEveryStep) {
  // Steps: greeting, ehlo, Rset, Mail from, two RCPT, Data, message text.
  struct Case {
    int steps;
    bool midData;
  } cases[] = {{-1, false}, {0, false}, {1, false}, {2, false}, {3, false},
               {4, false},  {5, false}, {6, false}, {6, true}};
  for (const Case& c : cases) {
    statuses.clear();
    ScriptedServer server(HangUpAfter(c.steps, c.midData));
    Target(server);
    std::string error = Send(Message());
    EXPECT_EQ(error, "Connection Closed Gracefully.") << "after " << c.steps << " steps";
    EXPECT_FALSE(client.IsOpen());
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), "Not connected.");
  }
  // One step more and the message is through: the hang-up only meets the "Quit".
  ScriptedServer server(HangUpAfter(7, false));
  Target(server);
  EXPECT_EQ(Send(Message()), "");
}

TEST_F(SmtpClientTest, GarbageAndFloodsEndInAFailure) {
  const std::string megabyte(1 << 20, 'A');
  struct Case {
    const char* what;
    std::string greeting;
    std::string error;
  } cases[] = {
      {"text without a code", "hello there\r\n", "hello there"},
      {"binary garbage", std::string("\x00\xff\x01\r\n", 4), "\xff"},
      {"endless line", megabyte + megabyte, "The server sent a line longer than 1048576 bytes."},
      {"line one byte over the limit", "220 " + std::string((1 << 20) - 3, 'x') + "\r\n",
       "The server sent a line longer than 1048576 bytes."},
      {"endless multi-line reply",
       [] {
         std::string s;
         while (s.size() < (4u << 20) + 100) s += "220-more\r\n";
         return s;
       }(),
       "The server sent a reply longer than 4194304 bytes."},
      {"endless empty lines", std::string((2 << 20) + 10, '\n'),
       "The server sent a reply longer than 4194304 bytes."},
      {"partial line and close", "220 no line end", "Connection Closed Gracefully."},
  };
  for (const Case& c : cases) {
    statuses.clear();
    ScriptedServer server([&](ServerPeer& p) {
      p.Send(c.greeting);
      p.ShutdownWrite();
      p.DrainUntilClosed();
    });
    Target(server);
    EXPECT_EQ(Send(Message()), c.error) << c.what;
    EXPECT_FALSE(client.IsOpen()) << c.what;
    EXPECT_EQ(statuses.back(), "Not connected.") << c.what;
  }
}

TEST_F(SmtpClientTest, RepliesInPiecesAndAtTheLineLimit) {
  const std::string longest = "250 " + std::string((1 << 20) - 4, 'x');  // exactly the limit
  ScriptedServer server([&](ServerPeer& p) {
    for (char c : std::string("220 mail.test\r\n")) p.Send(std::string(1, c));
    p.ReadLine();
    p.Send("250-mail.test\r");
    p.Send("\n250 AUTH");
    p.Send(" LOGIN\r\n");
    p.ReadLine();  // NOOP
    p.Send(longest + "\r\n");
    p.ReadLine();  // Quit
  });
  Target(server);
  client.Open();
  EXPECT_EQ(client.AnnouncedMechanisms(), (std::vector<std::string>{"LOGIN"}));
  EXPECT_EQ(client.Command("NOOP"), 250);
  EXPECT_EQ(client.LastReply(), (std::vector<std::string>{longest}));
  client.Close();
}

TEST_F(SmtpClientTest, ResetConnectionGivesTheSocketError) {
  ScriptedServer server([](ServerPeer& p) {
    p.Send("220 mail.test\r\n");
    p.ReadLine();
    p.ResetOnClose();
  });
  Target(server);
  EXPECT_EQ(Send(Message()), "Socket Error # 10054\r\nConnection reset by peer.");
  EXPECT_FALSE(client.IsOpen());
}

}  // namespace
}  // namespace quellor

namespace quellor {
namespace {

// --- Bounded waits ---------------------------------------------------------------------------

using test::ServerPeer;

// Answers like Responder until the client sends `word` (or, for "GREETING", from the start;
// for ".", after the message text), then says nothing more and reads until the client leaves.
ScriptedServer::Script SilentAt(const std::string& word) {
  return [word](ServerPeer& p) {
    if (word == "GREETING") return p.DrainUntilClosed();
    p.Send("220 mail.test ESMTP ready\r\n");
    for (;;) {
      std::optional<std::string> line = p.ReadLine();
      if (!line) return;
      std::string w = Upper(line->substr(0, line->find(' ')));
      if (w == word) return p.DrainUntilClosed();
      if (w == "EHLO") {
        p.Send("250-mail.test\r\n250 HELP\r\n");
      } else if (w == "DATA") {
        p.Send("354 go ahead\r\n");
        if (!p.ReadData()) return;
        if (word == ".") return p.DrainUntilClosed();
        p.Send("250 Queued\r\n");
      } else {
        p.Send("250 OK\r\n");
      }
    }
  };
}

TSmtpTimeouts Short() {
  std::chrono::milliseconds t(400);
  return {t, t, t, t, t, t};
}

TEST_F(SmtpClientTest, ServerThatStopsAnsweringTimesOutAtEveryStep) {
  for (const char* step : {"GREETING", "EHLO", "RSET", "MAIL", "RCPT", "DATA", "."}) {
    ScriptedServer server(SilentAt(step));
    TSMTPClient c(ui);
    c.Host = "127.0.0.1";
    c.Port = server.Port();
    c.Timeouts = Short();
    const int before = ui.processEventsCount;
    std::string failure;
    try {
      c.Open();
      if (c.IsOpen()) {
        TMailMessage msg = Message();
        try {
          c.Deliver(msg);
        } catch (...) {
          c.Close();
          throw;
        }
        c.Close();
      }
    } catch (const EMailError& e) {
      failure = e.what();
    }
    EXPECT_EQ(failure, "Socket Error # 10060\r\nConnection timed out.") << step;
    EXPECT_GT(ui.processEventsCount, before) << step;  // the window was served while waiting
    EXPECT_FALSE(c.IsOpen()) << step;
  }
}

TEST_F(SmtpClientTest, ServerThatStopsReadingTheBodyDoesNotHoldTheWindow) {
  std::atomic<bool> clientDone{false};
  ScriptedServer server([&](ServerPeer& p) {
    p.Send("220 mail.test ESMTP ready\r\n");
    for (;;) {
      std::optional<std::string> line = p.ReadLine();
      if (!line) return;
      std::string w = Upper(line->substr(0, line->find(' ')));
      if (w == "EHLO") {
        p.Send("250 mail.test\r\n");
      } else if (w == "DATA") {
        p.Send("354 go ahead\r\n");
        // Reads nothing more until the client has given up: its writes find full buffers.
        test::WaitUntil([&] { return clientDone.load(); });
        return;
      } else {
        p.Send("250 OK\r\n");
      }
    }
  });
  Target(server);
  client.Timeouts = Short();
  TMailMessage msg = Message();
  msg.Body.assign(400000, std::string(70, 'b'));  // 28 MB, more than the socket buffers hold
  EXPECT_EQ(Send(msg), "Socket Error # 10060\r\nConnection timed out.");
  clientDone = true;
  EXPECT_GT(ui.processEventsCount, 0);
  EXPECT_EQ(statuses.back(), "Not connected.");
}

TEST_F(SmtpClientTest, TwoHundredThousandMechanismsAreReadInOnePass) {
  std::string ehlo = "250-mail.test\r\n";
  for (int line = 0; line < 200; ++line) {
    ehlo += "250-AUTH";
    for (int i = 0; i < 1000; ++i) ehlo += " M" + std::to_string(line * 1000 + i);
    ehlo += "\r\n";
  }
  ehlo += "250-AUTH M5 M17 LOGIN\r\n250 HELP\r\n";
  Replies r;
  r.ehlo = ehlo;
  // The server gives up after 20 s without a command: a client that needed minutes to read the
  // reply would fail the send.
  ScriptedServer server(Responder(r));
  Target(server);
  EXPECT_EQ(Send(Message()), "");
  EXPECT_EQ(client.AnnouncedMechanisms().size(), 200001u);
  EXPECT_EQ(client.AnnouncedMechanisms().back(), "LOGIN");
}

TEST_F(SmtpClientTest, StartTlsThatIsNotOfferedSendsNothingMore) {
  ScriptedServer server(Responder({}));
  Target(server);
  client.Security = TMailSecurity::StartTls;
  client.AuthenticationType = TAuthenticationType::atLogin;
  client.UserId = "user";
  client.Password = "secret";
  EXPECT_EQ(Send(Message()),
            "TLS: the server does not offer STARTTLS, which the Security setting asks for; "
            "nothing was sent.");
  server.Join();
  EXPECT_EQ(server.Received(), "ehlo " + host + "\r\n");
  EXPECT_EQ(statuses.back(), "Not connected.");
}

TEST_F(SmtpClientTest, DataBeforeTheHandshakeIsRefused) {
  // A reply to STARTTLS followed at once by more text: what stands behind it could have been
  // put there by someone between client and server (the STARTTLS command injection).
  ScriptedServer server([](ServerPeer& p) {
    p.Send("220 mail.test ESMTP ready\r\n");
    p.ReadLine();
    p.Send("250-mail.test\r\n250 STARTTLS\r\n");
    p.ReadLine();
    p.Send("220 go ahead\r\n250 injected\r\n");
    p.DrainUntilClosed();
  });
  Target(server);
  client.Security = TMailSecurity::StartTls;
  EXPECT_EQ(Send(Message()), "TLS: the server sent data before the handshake.");
}

}  // namespace
}  // namespace quellor
