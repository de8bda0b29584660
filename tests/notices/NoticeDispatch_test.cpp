// The notice commands on a real site table, with a scripted SMTP server: the bad-address file,
// the failure messages, the stamps, one send at a time, and the preview file.
#include "notices/NoticeDispatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/Config.h"
#include "app/Include.h"
#include "data/SiteTables.h"
#include "notices/ScriptedServer.h"
#include "store/api/StoreTb.h"
#include "support/FakeUi.h"
#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace quellor {
namespace {

using test::Replies;
using test::Responder;
using test::ScriptedServer;
using Strings = std::vector<std::string>;

// A recording Ui whose event processing can run a hook once (what the person does while the
// window serves its events during a send).
class EventUi : public test::FakeUi {
 public:
  std::function<void()> onEvents;
  // Runs when a plain message box comes up.
  std::function<void()> onMessage;
  void ShowMessage(const std::string& text) override {
    if (onMessage) onMessage();
    FakeUi::ShowMessage(text);
  }
  void ProcessEvents() override {
    FakeUi::ProcessEvents();
    if (onEvents) {
      auto hook = std::move(onEvents);
      onEvents = nullptr;
      hook();
    }
  }
};

// A program folder with a site table of two sites (both with Cracks set), the footer and the
// DMCA template, and the dispatcher with its message and client.
struct Env {
  Env() {
    SetProgramFolder(dir.path());
    CreateProgramTables(dir.path());
    test::WriteFileBytes(dir.file("noticeFooter.txt"), "Regards\r\n");
    test::WriteFileBytes(dir.file("dmca-template.txt"), "DMCA for %url%\r\n%urls%");
    table.SetDatabaseName(dir.path());
    table.SetTableName("cracks.DAT");
    table.Open();
    AddSite("http://one.example/", "abuse@isp.example, noc@isp.example");
    AddSite("http://two.example/", "abuse@other.example");
    table.First();
    config.Company = "Test";
    config.HostName = "127.0.0.1";
    config.From = "Abuse Desk <desk@example.org>";
    config.Subject = "Software piracy notice: %url%";
    config.TOSSubject = "Possible TOS violation: %url%";
    config.CloseRequest = "Please shut down this site:";
    config.Cracks = "cracks";
    dispatcher.GridDataSet = [this] { return &table; };
    dispatcher.SiteTable = [this] { return &table; };
    dispatcher.AddStatusLine = [this](const std::string& s) { memo.push_back(s); };
    dispatcher.OnBusyChanged = [this](bool b) { busy.push_back(b); };
  }
  void AddSite(const std::string& url, const std::string& emails) {
    table.Append();
    table.FieldByName("Url").SetAsString(url);
    table.FieldByName("E-mails").SetAsString(emails);
    table.FieldByName("Cracks").SetAsBoolean(true);
    table.Post();
  }
  void Set(const char* field, const std::string& value) {
    table.Edit();
    table.FieldByName(field).SetAsString(value);
    table.Post();
  }
  bool Stamped(const char* field) { return !table.FieldByName(field).IsNull(); }
  // Runs a command against a scripted server; true when the server saw a connection.
  bool Run(void (TNoticeDispatcher::*command)(), Replies replies = {}) {
    ScriptedServer server(Responder(replies));
    config.Port = server.Port();
    (dispatcher.*command)();
    wire = server.Received();
    return server.Accepted();
  }

  test::TempDir dir;
  TStoreTable table;
  TConfig config;
  EventUi ui;
  Strings noticeLines;
  TMailMessage msg;
  TSMTPClient smtp{ui};
  TNoticeDispatcher dispatcher{config, ui, noticeLines, msg, smtp};
  Strings memo;
  std::vector<bool> busy;
  std::string wire;
};

TEST(NoticeDispatch, SuccessfulComplaintStampsLastSent) {
  Env env;
  ASSERT_TRUE(env.Run(&TNoticeDispatcher::SendComplaintMail1Click));
  EXPECT_EQ(env.ui.calls, Strings{});
  EXPECT_NE(env.wire.find("RCPT to:<abuse@isp.example>\r\nRCPT to:<noc@isp.example>\r\n"),
            std::string::npos)
      << env.wire;
  EXPECT_NE(env.wire.find("Subject: Software piracy notice: http://one.example/\r\n"),
            std::string::npos);
  EXPECT_NE(env.wire.find("\r\n\r\nPlease shut down this site:\r\nhttp://one.example/\r\n"),
            std::string::npos);
  EXPECT_EQ(env.memo, (Strings{"Connecting to 127.0.0.1.", "Connected.", "Encoding text",
                               "Disconnecting from 127.0.0.1.", "Not connected.",
                               "Mail sent to abuse@isp.example, noc@isp.example."}));
  EXPECT_EQ(env.busy, (std::vector<bool>{true, false}));
  EXPECT_TRUE(env.Stamped("LastSent"));
  EXPECT_FALSE(env.Stamped("LastDMCASent"));
  EXPECT_EQ(env.table.State(), TDataSetState::Browse);
}

TEST(NoticeDispatch, FailuresOfTheSend) {
  const char* const kCouldNot = "message: Could not send mail, you may have an invalid SMTP host";
  struct Case {
    const char* what;
    std::function<void(Env&)> setUp;
    Replies replies;
    Strings calls;
    Strings memoTail;
    bool connected;
    bool stamped;
  } cases[] = {
      {"bad address: the later entry of the file, nothing sent, no stamp",
       [](Env& e) {
         test::WriteFileBytes(e.dir.file("bademails.txt"),
                              "noc@isp\r\n\r\nabuse@isp.example\r\nnobody@else\r\n");
       },
       {},
       {"message: Bad email: abuse@isp.example"},
       {},
       false,
       false},
      {"no host: invalid parameters, stamped",
       [](Env& e) { e.config.HostName = ""; },
       {},
       {"message: Invalid SMTP server parameters."},
       {},
       false,
       true},
      {"no sender: invalid parameters, stamped",
       [](Env& e) { e.config.From = ""; },
       {},
       {"message: Invalid SMTP server parameters."},
       {},
       false,
       true},
      {"an address that would add a parameter to RCPT: refused before connecting",
       [](Env& e) { e.Set("E-mails", "victim@example.org> NOTIFY=SUCCESS"); },
       {},
       {kCouldNot},
       {"The e-mail address \"victim@example.org> NOTIFY=SUCCESS\" holds a blank, \"<\" or "
        "\">\" and cannot be sent to."},
       false,
       true},
      {"an unknown security setting: refused before connecting",
       [](Env& e) {
         test::WriteFileBytes(e.config.CompanyFileName(), "[Mail]\r\nSecurity=SSL\r\n");
       },
       {},
       {kCouldNot},
       {"The [Mail] Security setting \"SSL\" is none of None, STARTTLS and TLS."},
       false,
       true},
      {"a refused recipient: the reply in the memo, stamped",
       [](Env&) {},
       Replies{.rcpt = "550 5.1.1 No such user\r\n"},
       {kCouldNot},
       {"Disconnecting from 127.0.0.1.", "Not connected.", "550 5.1.1 No such user"},
       true,
       true},
      {"empty E-mails: no RCPT, the server refuses Data, stamped",
       [](Env& e) { e.Set("E-mails", " "); },
       Replies{.data = "503 5.5.1 No recipients\r\n"},
       {kCouldNot},
       {"Not connected.", "503 5.5.1 No recipients"},
       true,
       true},
  };
  for (const Case& c : cases) {
    Env env;
    c.setUp(env);
    // What the memo shows while the box is up: the box hides the window until OK.
    std::optional<Strings> memoAtBox;
    env.ui.onMessage = [&] { memoAtBox = env.memo; };
    EXPECT_EQ(env.Run(&TNoticeDispatcher::SendComplaintMail1Click, c.replies), c.connected)
        << c.what;
    EXPECT_EQ(env.ui.calls, c.calls) << c.what;
    if (!c.memoTail.empty()) {
      ASSERT_TRUE(memoAtBox) << c.what;
      EXPECT_EQ(*memoAtBox, env.memo) << c.what << ": the reason is in the memo before the box";
    }
    EXPECT_TRUE(std::none_of(env.memo.begin(), env.memo.end(), [](const std::string& line) {
      return line.rfind("Mail sent", 0) == 0;
    })) << c.what;
    ASSERT_GE(env.memo.size(), c.memoTail.size()) << c.what;
    EXPECT_EQ(Strings(env.memo.end() - static_cast<long>(c.memoTail.size()), env.memo.end()),
              c.memoTail)
        << c.what;
    EXPECT_EQ(env.Stamped("LastSent"), c.stamped) << c.what;
    EXPECT_EQ(env.table.State(), TDataSetState::Browse) << c.what;
  }
}

TEST(NoticeDispatch, RefusedConnectionGivesTheSocketErrorInTwoLines) {
  Env env;
  test::RefusingPort port;
  env.config.Port = port.Port();
  std::optional<Strings> memoAtBox;
  env.ui.onMessage = [&] { memoAtBox = env.memo; };
  env.dispatcher.SendComplaintMail1Click();
  EXPECT_EQ(memoAtBox, env.memo);
  EXPECT_EQ(env.ui.calls,
            Strings{"message: Could not send mail, you may have an invalid SMTP host"});
  EXPECT_EQ(env.memo, (Strings{"Connecting to 127.0.0.1.", "Disconnecting from 127.0.0.1.",
                               "Not connected.", "Socket Error # 10061", "Connection refused."}));
  EXPECT_TRUE(env.Stamped("LastSent"));
}

TEST(NoticeDispatch, SubjectsAndStamps) {
  struct Case {
    const char* what;
    std::function<void(Env&)> setUp;
    void (TNoticeDispatcher::*command)();
    std::string subjectLine;
    const char* stamp;
  } cases[] = {
      {"terms of service only: TOSSubject",
       [](Env& e) {
         e.table.Edit();
         e.table.FieldByName("Cracks").SetAsBoolean(false);
         e.table.FieldByName("Forumz").SetAsBoolean(true);
         e.table.Post();
       },
       &TNoticeDispatcher::SendComplaintMail1Click,
       "Subject: Possible TOS violation: http://one.example/", "LastSent"},
      {"a Subject setting with DMCA stamps LastDMCASent",
       [](Env& e) { e.config.Subject = "DMCA-style notice for %url%"; },
       &TNoticeDispatcher::SendComplaintMail1Click,
       "Subject: DMCA-style notice for http://one.example/", "LastDMCASent"},
      {"the DMCA notice: fixed subject, LastDMCASent",
       [](Env& e) { e.Set("DMCAUrls", "http://one.example/a, C, Tool"); },
       &TNoticeDispatcher::SendDMCAComplaintMail1Click, "Subject: DMCA Notice", "LastDMCASent"},
  };
  for (const Case& c : cases) {
    Env env;
    c.setUp(env);
    ASSERT_TRUE(env.Run(c.command)) << c.what;
    EXPECT_NE(env.wire.find("\r\n" + c.subjectLine + "\r\n"), std::string::npos) << c.what << "\n"
                                                                                 << env.wire;
    EXPECT_TRUE(env.Stamped(c.stamp)) << c.what;
    EXPECT_FALSE(env.Stamped(std::string(c.stamp) == "LastSent" ? "LastDMCASent" : "LastSent"))
        << c.what;
  }
}

TEST(NoticeDispatch, CommandsThatStopBeforeSending) {
  struct Case {
    const char* what;
    std::function<void(Env&)> setUp;
    void (TNoticeDispatcher::*command)();
    Strings calls;
  } cases[] = {
      {"nothing set",
       [](Env& e) { e.Set("Cracks", "False"); },
       &TNoticeDispatcher::SendComplaintMail1Click,
       {std::string("message: ") + kNothingSetText}},
      {"a blank DMCA Urls",
       [](Env& e) { e.Set("DMCAUrls", " \r\n\t "); },
       &TNoticeDispatcher::SendDMCAComplaintMail1Click,
       {"message: The DMCA Urls field must be properly entered before sending a DMCA notice."}},
      {"no footer file: the error ends the command",
       [](Env& e) { std::filesystem::remove(e.dir.file("noticeFooter.txt")); },
       &TNoticeDispatcher::SendComplaintMail1Click,
       {"error"}},
  };
  for (const Case& c : cases) {
    Env env;
    c.setUp(env);
    bool connected = false;
    try {
      connected = env.Run(c.command);
    } catch (const std::exception& e) {
      env.ui.calls.push_back("error");
      EXPECT_EQ(std::string(e.what()), "Cannot open file " + env.dir.file("noticeFooter.txt"));
    }
    EXPECT_FALSE(connected) << c.what;
    EXPECT_EQ(env.ui.calls, c.calls) << c.what;
    EXPECT_FALSE(env.Stamped("LastSent")) << c.what;
    EXPECT_FALSE(env.Stamped("LastDMCASent")) << c.what;
    EXPECT_TRUE(env.busy.empty()) << c.what;
  }
}

TEST(NoticeDispatch, OneSendAtATimeAndTheSentRecordIsStamped) {
  Env env;
  std::atomic<int> reentered{0};
  // While the window serves its events the person moves to the next site and tries to send
  // again: the second send does nothing, the first one stamps the site it sent.
  env.ui.onEvents = [&] {
    EXPECT_TRUE(env.dispatcher.Busy());
    EXPECT_EQ(env.ui.busyDepth, 1);  // the busy cursor shows during the send
    env.table.Next();
    env.dispatcher.SendComplaintMail1Click();
    env.dispatcher.SendDMCAComplaintMail1Click();
    env.dispatcher.PreviewComplaintMail1Click();
    ++reentered;
  };
  ScriptedServer server([&](test::ServerPeer& p) {
    // The greeting comes once the window has served its events while the client waited for it.
    test::WaitUntil([&] { return reentered.load() > 0; });
    Responder(Replies{})(p);
  });
  env.config.Port = server.Port();
  env.dispatcher.SendComplaintMail1Click();
  server.Join();
  EXPECT_EQ(reentered.load(), 1);
  EXPECT_EQ(env.ui.busyDepth, 0);
  EXPECT_EQ(env.busy, (std::vector<bool>{true, false}));
  EXPECT_EQ(env.ui.calls, Strings{});
  // The person's position is back on the second site, which is not stamped.
  EXPECT_EQ(env.table.FieldByName("Url").AsString(), "http://two.example/");
  EXPECT_FALSE(env.Stamped("LastSent"));
  env.table.First();
  EXPECT_EQ(env.table.FieldByName("Url").AsString(), "http://one.example/");
  EXPECT_TRUE(env.Stamped("LastSent"));
}

TEST(NoticeDispatch, FindBadAddress) {
  Env env;
  EXPECT_EQ(env.dispatcher.FindBadAddress("a@b.example"), "");  // no file: nothing is bad
  test::WriteFileBytes(env.dir.file("bademails.txt"), "b.example\nA@B\n\n x@y\r\nb.exa\n");
  struct Case {
    const char* emails;
    const char* bad;
  } cases[] = {{"a@b.example", "b.exa"},  // the later of two matches
               {"A@B.example",
                "A@B"},  // case counts {"zz@b.ex", ""}, {"x@y", ""},  // the entry's blank counts
               {"p, x@y", " x@y"},
               {"", ""}};
  for (const Case& c : cases) EXPECT_EQ(env.dispatcher.FindBadAddress(c.emails), c.bad) << c.emails;
}

using Environment = quellor::test::ScopedEnvironment;

const char* const kEditorHint =
    "Set VISUAL to your editor (or EDITOR, with TERMINAL naming a terminal, for one that runs in "
    "a terminal), or install a desktop text editor or xdg-utils.";

TEST(NoticeDispatch, PreviewWritesTheNoticeAndNamesTheEditorTried) {
  Env env;
  test::TempDir tmp;
  test::TempDir emptyBin;  // no desktop editor, no xdg-open
  Environment vars;
  vars.Set("TMPDIR", tmp.path());
  vars.Set("PATH", emptyBin.path());
  vars.Set("EDITOR", std::nullopt);
  // An editor that records its argument.
  const std::string editor = tmp.file("editor.sh");
  test::WriteFileBytes(editor, "#!/bin/sh\necho \"$1\" > " + tmp.file("opened") + "\n");
  std::filesystem::permissions(editor, std::filesystem::perms::owner_all);
  vars.Set("VISUAL", editor);
  env.dispatcher.PreviewComplaintMail1Click();
  std::string opened;
  test::WaitUntil([&] {
    opened = test::ReadFileBytes(tmp.file("opened"));
    return opened.ends_with("\n");
  });
  ASSERT_FALSE(opened.empty());
  opened.pop_back();
  EXPECT_EQ(opened.rfind(tmp.path() + "_TR", 0), 0u) << opened;
  EXPECT_EQ(opened.substr(opened.size() - 4), ".tmp");
  EXPECT_EQ(test::ReadFileBytes(opened),
            "Please shut down this site:\r\nhttp://one.example/\r\n\r\n\r\n\r\n1)  cracks\r\n\r\n"
            "Regards\r\n\r\n");
  EXPECT_EQ(env.ui.calls, Strings{});

  // The DMCA preview needs no DMCA Urls; an editor that cannot be started is named in the box's
  // text with the reason, and so is every other program tried.
  vars.Set("VISUAL", "/nonexistent/editor --wait");
  env.dispatcher.PreviewDMCAReport1Click();
  EXPECT_EQ(env.ui.calls, Strings{"box: Launch Error|Could not launch a text editor\n"
                                  "/nonexistent/editor: not found\nxdg-open: not found\n" +
                                  std::string(kEditorHint)});
  EXPECT_EQ(env.noticeLines, (Strings{"DMCA for http://one.example/", ""}));

  // No editor at all and no xdg-open: a clear message.
  env.ui.calls.clear();
  vars.Set("VISUAL", std::nullopt);
  env.dispatcher.PreviewComplaintMail1Click();
  EXPECT_EQ(env.ui.calls, Strings{"box: Launch Error|Could not launch a text editor\n"
                                  "xdg-open: not found\n" +
                                  std::string(kEditorHint)});

  // Nothing set: no preview.
  env.ui.calls.clear();
  env.Set("Cracks", "False");
  env.dispatcher.PreviewComplaintMail1Click();
  EXPECT_EQ(env.ui.calls, Strings{std::string("message: ") + kNothingSetText});
}

// $EDITOR runs in the configured terminal; when it ends with an error, however late, the box
// says so, and the preview command itself returned at once.
TEST(NoticeDispatch, PreviewInAnEditorThatFailsLater) {
  Env env;
  test::TempDir tmp;
  Environment vars;
  vars.Set("TMPDIR", tmp.path());
  vars.Set("PATH", tmp.path());  // no desktop editor, no xdg-open
  vars.Set("VISUAL", std::nullopt);
  const std::string terminal = tmp.file("terminal");
  test::WriteFileBytes(terminal, "#!/bin/sh\n[ \"$1\" = -e ] && shift\nexec \"$@\"\n");
  std::filesystem::permissions(terminal, std::filesystem::perms::owner_all);
  const std::string release = tmp.file("release");
  const std::string editor = tmp.file("vi");
  test::WriteFileBytes(
      editor, "#!/bin/sh\ni=0\nwhile [ ! -e '" + release +
                  "' ] && [ $i -lt 3000 ]; do /bin/sleep 0.02; i=$((i+1)); done\nexit 1\n");
  std::filesystem::permissions(editor, std::filesystem::perms::owner_all);
  vars.Set("EDITOR", "vi");
  vars.Set("TERMINAL", terminal);
  env.dispatcher.PreviewComplaintMail1Click();
  env.ui.ProcessEvents();
  EXPECT_EQ(env.ui.calls, Strings{});
  test::WriteFileBytes(release, "");
  ASSERT_TRUE(env.ui.WaitForCalls(1));
  EXPECT_EQ(env.ui.calls, Strings{"box: Launch Error|Could not launch vi in " + terminal +
                                  "\nvi in " + terminal + " ended with exit status 1."});
}

TEST(NoticeDispatch, BadInputNeverReachesTheWireAsCommandsOrHeaders) {
  const std::string longUrl = "http://warez.example/" + std::string(100, 'u');
  struct Case {
    const char* what;
    std::function<void(Env&)> setUp;
    bool delivered;
  } cases[] = {
      {"E-mails with CR LF and a command",
       [](Env& e) { e.Set("E-mails", "a@isp.example\r\nRCPT to:<x@evil.example>"); }, false},
      // The table keeps a text field up to a NUL.
      {"E-mails with a NUL",
       [](Env& e) { e.Set("E-mails", std::string("a@isp.example\0x@evil.example", 28)); }, true},
      // The address is taken from the first "<": it would close the brackets early.
      {"E-mails with a quoted name holding brackets",
       [](Env& e) { e.Set("E-mails", "\"Desk <Abuse>\" <a@isp.example>"); }, false},
      {"E-mails with bytes that are not UTF-8",
       [](Env& e) { e.Set("E-mails", "a\xff@isp.example"); }, false},
      {"a Subject setting with CR LF and a header",
       [](Env& e) { e.config.Subject = "Notice %url%\r\nBcc: x@evil.example\r\n\r\nbody"; }, true},
      {"a Url with quotes, a NUL and bytes that are not UTF-8",
       [](Env& e) { e.Set("Url", std::string("http://q\"x\".example/\0\xff", 22)); }, true},
      {"a very long Url in a Subject setting repeating it",
       [&](Env& e) {
         e.Set("Url", longUrl);
         e.config.Subject = "%url%%url%%url%%url%%url%%url%%url%%url%%url%%url%";
       },
       true},
      {"DMCA Urls and wording with line breaks, NUL and dots",
       [](Env& e) {
         e.config.Cracks = std::string("line\r\n.\r\nQUIT\0", 15);
         e.Set("Urls", ".\r\nMAIL FROM:<x@evil.example>");
       },
       true},
  };
  for (const Case& c : cases) {
    Env env;
    c.setUp(env);
    env.Run(&TNoticeDispatcher::SendComplaintMail1Click);
    const std::string& wire = env.wire;
    // The commands (before "Data" and after the closing "."), and the header block.
    const size_t data = wire.find("\r\nData\r\n");
    const size_t dot = wire.rfind("\r\n.\r\n");
    const std::string commands =
        wire.substr(0, data) + (dot == std::string::npos ? "" : wire.substr(dot));
    const std::string header =
        data == std::string::npos ? "" : wire.substr(data, wire.find("\r\n\r\n", data) - data);
    EXPECT_EQ(commands.find("evil"), std::string::npos) << c.what << "\n" << wire;
    EXPECT_EQ(commands.find("QUIT"), std::string::npos) << c.what;
    EXPECT_EQ(header.find("\r\nBcc:"), std::string::npos) << c.what;
    EXPECT_EQ(wire.find('\0'), std::string::npos) << c.what;
    size_t start = 0;
    while (start < wire.size()) {
      size_t end = wire.find("\r\n", start);
      if (end == std::string::npos) end = wire.size();
      EXPECT_LE(end - start, 998u) << c.what;
      EXPECT_EQ(wire.substr(start, end - start).find_first_of("\r\n"), std::string::npos) << c.what;
      start = end + 2;
    }
    const bool delivered = wire.find("\r\n.\r\n") != std::string::npos;
    EXPECT_EQ(delivered, c.delivered) << c.what << "\n" << wire;
    if (!delivered) {
      EXPECT_EQ(env.ui.calls,
                Strings{"message: Could not send mail, you may have an invalid SMTP host"})
          << c.what;
      ASSERT_FALSE(env.memo.empty());
      EXPECT_NE(env.memo.back().find("e-mail address"), std::string::npos)
          << c.what << ": " << env.memo.back();
    }
    EXPECT_EQ(env.table.State(), TDataSetState::Browse) << c.what;
    EXPECT_TRUE(env.Stamped("LastSent")) << c.what;
  }
}

}  // namespace
}  // namespace quellor

namespace quellor {
namespace {

TEST(MailTransport, SettingsOfTheMailSection) {
  test::TempDir dir;
  SetProgramFolder(dir.path());
  struct Case {
    const char* ini;
    TMailSecurity security;
    std::string caFile;
    long long commandSeconds, dataEndSeconds;
  } cases[] = {
      {"", TMailSecurity::None, "", 300, 600},
      {"[Mail]\r\nSecurity=starttls\r\nCAFile=certs/ca.pem\r\nCommandTimeout=30\r\n",
       TMailSecurity::StartTls, dir.path() + "certs/ca.pem", 30, 600},
      {"[Mail]\r\nSecurity=TLS\r\nCAFile=/etc/ca.pem\r\nCommandTimeout=0\r\nDataEndTimeout=x\r\n",
       TMailSecurity::Tls, "/etc/ca.pem", 300, 600},
      {"[Mail]\r\nSecurity=None\r\nDataEndTimeout=0x3C\r\n", TMailSecurity::None, "", 300, 60},
  };
  for (const Case& c : cases) {
    test::WriteFileBytes(dir.file("Quellor.Ini"), c.ini);
    TMailTransport t = ReadMailTransport(dir.file("Quellor.Ini"));
    EXPECT_EQ(t.Security, c.security) << c.ini;
    EXPECT_EQ(t.CAFile, c.caFile) << c.ini;
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(t.Timeouts.Command).count(),
              c.commandSeconds)
        << c.ini;
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(t.Timeouts.DataEnd).count(),
              c.dataEndSeconds)
        << c.ini;
  }
}

}  // namespace
}  // namespace quellor
