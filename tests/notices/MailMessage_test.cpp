// The mail message: addresses, header folding, the date, the header list and the text on the
// wire.
#include "notices/MailMessage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace quellor {
namespace {

using std::chrono::system_clock;

const LocaleInfo kLatin1{'.', "ISO-8859-1", "de", "DE"};
const LocaleInfo kUtf8{'.', "UTF-8", "en", "US"};

const std::regex kDatePattern(
    R"((Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9]\d? (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d [+-]\d{4})");

// Sets TZ for one test and puts the old value back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (old_)
      setenv("TZ", old_->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

TEST(AddressItem, SetFromText) {
  struct Case {
    std::string text, name, address;
  } cases[] = {
      {"Abuse Desk <abuse@example.org>", "Abuse Desk", "abuse@example.org"},
      {"abuse@example.org", "", "abuse@example.org"},
      {"abuse@example.org>", "", ""},  // ends in ">" without "<": nothing
      {"abuse@example.org (Abuse Desk)", "Abuse Desk", "abuse@example.org"},
      {"abuse@example.org)", "", ""},
      {"\"Abuse Desk\" <abuse@example.org>", "Abuse Desk", "abuse@example.org"},
      {"'Abuse Desk' < abuse@example.org >", "Abuse Desk", "abuse@example.org"},
      {"\"'x'\" <a@b>", "x", "a@b"},
      {"\" <a@b>", "\"", "a@b"},
      {"<a@b>", "", "a@b"},
      {" a@b ", "", " a@b "},  // a bare address is taken unchanged
      {"", "", ""},
  };
  for (const Case& c : cases) {
    TEMailAddressItem item;
    item.Name = "old";
    item.SetText(c.text);
    EXPECT_EQ(item.Name, c.name) << c.text;
    EXPECT_EQ(item.Address, c.address) << c.text;
  }
}

TEST(AddressItem, Renders) {
  struct Case {
    std::string name, address, text;
  } cases[] = {
      {"", "abuse@example.org", "abuse@example.org"},
      {"Abuse Desk", "abuse@example.org", "\"Abuse Desk\" <abuse@example.org>"},
      {"Say \"hi\" \\o/", "a@b", "\"Say \\\"hi\\\" \\\\o/\" <a@b>"},
      {"M\xfcller", "a@b", "=?ISO-8859-1?Q?M=FCller?= <a@b>"},
      {"J\xfcrg M. M\xfcller", "a@b", "=?ISO-8859-1?Q?J=FCrg_M=2E_M=FCller?= <a@b>"},
  };
  for (const Case& c : cases) {
    TEMailAddressItem item{c.name, c.address};
    EXPECT_EQ(item.Text(kLatin1), c.text);
  }
}

TEST(AddressList, SplitsAtCommasOutsideQuotes) {
  struct Case {
    std::string text;
    std::vector<std::pair<std::string, std::string>> items;
    std::string rendered;
  } cases[] = {
      {"a@isp.example, b@isp.example",
       {{"", "a@isp.example"}, {"", "b@isp.example"}},
       "a@isp.example, b@isp.example"},
      {"a@isp.example,b@isp.example",
       {{"", "a@isp.example"}, {"", "b@isp.example"}},
       "a@isp.example, b@isp.example"},
      {"a@isp.example; b@isp.example",
       {{"", "a@isp.example; b@isp.example"}},
       "a@isp.example; b@isp.example"},
      {"\"Desk, Abuse\" <a@isp.example>, b@isp.example",
       {{"Desk, Abuse", "a@isp.example"}, {"", "b@isp.example"}},
       "\"Desk, Abuse\" <a@isp.example>, b@isp.example"},
      {"\"A\" <a@x>, \"B\" <b@x>", {{"A", "a@x"}, {"B", "b@x"}}, "\"A\" <a@x>, \"B\" <b@x>"},
      {" , a@x,, ", {{"", "a@x"}}, "a@x"},
      {"", {}, ""},
  };
  for (const Case& c : cases) {
    TEMailAddressList list;
    list.Add({"stale", "stale@x"});
    list.SetText(c.text);
    ASSERT_EQ(list.Count(), c.items.size()) << c.text;
    for (size_t i = 0; i < c.items.size(); ++i) {
      EXPECT_EQ(list[i].Name, c.items[i].first) << c.text;
      EXPECT_EQ(list[i].Address, c.items[i].second) << c.text;
    }
    EXPECT_EQ(list.Text(kLatin1), c.rendered);
  }
}

TEST(AddressInjection, LineBreaksAndNulAreRefused) {
  const std::string texts[] = {
      "a@isp.example\r\nRCPT to:<x@evil.example>",
      "a@isp.example\nDATA",
      "a@isp.example\rQUIT",
      std::string("a@isp.example\0x", 15),
      "Abuse\r\nBcc: x@evil.example <abuse@example.org>",
      "<a@b\r\nc>",
  };
  for (const std::string& text : texts) {
    TEMailAddressItem item;
    EXPECT_THROW(item.SetText(text), EMailError) << text;
    EXPECT_TRUE(item.Name.empty() && item.Address.empty());
    TEMailAddressList list;
    EXPECT_THROW(list.SetText("ok@isp.example, " + text), EMailError) << text;
    EXPECT_EQ(list.Count(), 0u);
  }
  try {
    TEMailAddressItem item;
    item.SetText("a@b\r\nDATA");
    FAIL();
  } catch (const EMailError& e) {
    EXPECT_STREQ(e.what(),
                 "The e-mail address \"a@b<CR><LF>DATA\" holds a line break or a NUL "
                 "character.");
  }
  // Line breaks between list pieces are only separators' blanks: they are trimmed away.
  TEMailAddressList list;
  list.SetText("a@x,\r\nb@x");
  EXPECT_EQ(list.Count(), 2u);
}

TEST(Folding, LinesUpTo79StayWhole) {
  struct Case {
    const char* what;
    std::string line, folded;
  } cases[] = {
      {"79 characters with blanks", "Subject: " + std::string(60, 'a') + " " + std::string(9, 'b'),
       "Subject: " + std::string(60, 'a') + " " + std::string(9, 'b')},
      {"80 characters, blank before the 79th",
       "Subject: " + std::string(60, 'a') + " " + std::string(10, 'b'),
       "Subject: " + std::string(60, 'a') + "\r\n " + std::string(10, 'b')},
      // The scan starts at the left: the blank after the name is a place to cut.
      {"only the blank after the name", "Subject: http://" + std::string(90, 'x'),
       "Subject:\r\n http://" + std::string(90, 'x')},
      {"blanks inside quotes are not used",
       "To: \"" + std::string(40, 'n') + " " + std::string(40, 'n') + "\" <a@b>",
       "To:\r\n \"" + std::string(40, 'n') + " " + std::string(40, 'n') + "\"\r\n <a@b>"},
      {"runs of blanks at the cut are dropped",
       "Subject: " + std::string(60, 'a') + "    " + std::string(20, 'b'),
       "Subject: " + std::string(60, 'a') + "\r\n " + std::string(20, 'b')},
      {"one character after the cut stays on the line", "Subject:" + std::string(70, 'a') + " b",
       "Subject:" + std::string(70, 'a') + " b"},
      {"an encoded word of 75 moves to the next line whole",
       "Subject: =?UTF-8?Q?" + std::string(62, 'e') + "?=",
       "Subject:\r\n =?UTF-8?Q?" + std::string(62, 'e') + "?="},
  };
  for (const Case& c : cases) EXPECT_EQ(FoldHeaderLine(c.line), c.folded) << c.what;
}

TEST(Folding, SixAddressesOfTwentyCharactersMakeTwoLines) {
  std::vector<std::string> addrs;
  for (char c = 'a'; c < 'g'; ++c) addrs.push_back(std::string(8, c) + "@isp.example");  // 20
  std::string value;
  for (const std::string& a : addrs) value += (value.empty() ? "" : ", ") + a;
  THeaderList h;
  h.SetValue("To", value);
  ASSERT_EQ(h.Count(), 1u);
  EXPECT_EQ(h.Lines()[0], "To: " + addrs[0] + ", " + addrs[1] + ", " + addrs[2] + ",\r\n " +
                              addrs[3] + ", " + addrs[4] + ", " + addrs[5]);
  EXPECT_EQ(h.Value("to"), value);
}

TEST(HeaderList, SetReplacesInPlaceAndEmptyRemoves) {
  THeaderList h;
  h.SetValue("From", "a@b");
  h.SetValue("Subject", "one");
  h.SetValue("X-Mailer", "agent");
  h.SetValue("SUBJECT", "two");
  EXPECT_EQ(h.Lines(), (std::vector<std::string>{"From: a@b", "SUBJECT: two", "X-Mailer: agent"}));
  h.SetValue("x-mailer", "");
  EXPECT_EQ(h.Lines(), (std::vector<std::string>{"From: a@b", "SUBJECT: two"}));
  EXPECT_EQ(h.Value("subject"), "two");
  EXPECT_EQ(h.Value("Cc"), "");
  for (const char* bad : {"", "Bad Name", "Bad:Name", "X\r\nBcc"})
    EXPECT_THROW(h.SetValue(bad, "v"), EMailError) << bad;
}

TEST(MailDate, UsesTheOffsetInForceAtThatMoment) {
  const auto march = system_clock::from_time_t(1709644029);  // 2024-03-05 13:07:09 UTC
  const auto july = system_clock::from_time_t(1719835200);   // 2024-07-01 12:00:00 UTC
  struct Case {
    const char* tz;
    system_clock::time_point when;
    std::string text;
  } cases[] = {
      {"UTC0", march, "Tue, 5 Mar 2024 13:07:09 +0000"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", march, "Tue, 5 Mar 2024 14:07:09 +0100"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", july, "Mon, 1 Jul 2024 14:00:00 +0200"},
      {"IST-5:30", march, "Tue, 5 Mar 2024 18:37:09 +0530"},
      {"NST3:30NDT,M3.2.0,M11.1.0", march, "Tue, 5 Mar 2024 09:37:09 -0330"},
      {"EST5EDT,M3.2.0,M11.1.0", july, "Mon, 1 Jul 2024 08:00:00 -0400"},
      {"XST12", march, "Tue, 5 Mar 2024 01:07:09 -1200"},
  };
  for (const Case& c : cases) {
    ScopedTimeZone tz(c.tz);
    EXPECT_EQ(RenderMailDate(c.when), c.text) << c.tz;
  }
}

TMailMessage DispatcherMessage() {
  TMailMessage msg;
  msg.Clear();
  msg.From.SetText("Abuse Desk <abuse@example.org>");
  msg.Recipients.SetText("a@isp.example, b@isp.example");
  msg.ReceiptRecipient.SetText("Abuse Desk <abuse@example.org>");
  msg.Subject = "Software piracy notice: http://warez.example/";
  msg.Body = {"Dear abuse team,", ".", "..", ".hidden", "", "Regards"};
  return msg;
}

TEST(MailMessage, HeaderLinesAsTheDispatcherFillsThem) {
  TMailMessage msg = DispatcherMessage();
  THeaderList h = msg.GenerateHeader(kUtf8);
  std::vector<std::string> lines = h.Lines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "From: \"Abuse Desk\" <abuse@example.org>");
  EXPECT_EQ(lines[1], "Subject: Software piracy notice: http://warez.example/");
  EXPECT_EQ(lines[2], "To: a@isp.example, b@isp.example");
  EXPECT_EQ(lines[3], "Disposition-Notification-To: \"Abuse Desk\" <abuse@example.org>");
  EXPECT_EQ(lines[4].rfind("Date: ", 0), 0u);
  EXPECT_TRUE(std::regex_match(h.Value("Date"), kDatePattern)) << lines[4];
  EXPECT_EQ(lines[5], "X-Priority: 3");
  EXPECT_EQ(lines[6], "X-Library: Quellor 1.20");
}

TEST(MailMessage, FromVariantsAndEnvelopeSender) {
  struct Case {
    std::string from;
    std::optional<std::string> fromLine;  // nullopt: no From line
    std::string envelope;
  } cases[] = {
      {"Abuse Desk <abuse@example.org>", "From: \"Abuse Desk\" <abuse@example.org>",
       "abuse@example.org"},
      {"abuse@example.org", "From: abuse@example.org", "abuse@example.org"},
      {"abuse@example.org>", std::nullopt, ""},
  };
  for (const Case& c : cases) {
    TMailMessage msg;
    msg.From.SetText(c.from);
    msg.ReceiptRecipient.SetText(c.from);
    std::vector<std::string> lines = msg.GenerateHeader(kUtf8).Lines();
    if (c.fromLine) {
      EXPECT_EQ(lines.at(0), *c.fromLine);
    } else {
      for (const std::string& l : lines) EXPECT_NE(l.rfind("From:", 0), 0u) << l;
      for (const std::string& l : lines)
        EXPECT_NE(l.rfind("Disposition-Notification-To:", 0), 0u) << l;
    }
    EXPECT_EQ(msg.From.Address, c.envelope);
  }
}

TEST(MailMessage, SubjectEncodingByLocale) {
  struct Case {
    LocaleInfo locale;
    std::string subject, line;
  } cases[] = {
      {kLatin1, "Plain notice: http://x.example/", "Subject: Plain notice: http://x.example/"},
      {kLatin1,
       "Beschwerde \xfc"
       "ber http://x.example/",
       "Subject: Beschwerde =?ISO-8859-1?Q?=FCber?= http://x.example/"},
      {kUtf8, "Plainte caf\xc3\xa9", "Subject: Plainte =?UTF-8?Q?caf=C3=A9?="},
  };
  for (const Case& c : cases) {
    TMailMessage msg;
    msg.Subject = c.subject;
    EXPECT_EQ(msg.GenerateHeader(c.locale).Lines().at(0), c.line);
  }
}

TEST(MailMessage, LongEncodedSubjectFoldsIntoShortLines) {
  TMailMessage msg;
  msg.Subject = "Beschwerde: " + std::string(30, '\xe4') + " wegen " + std::string(50, '\xfc') +
                " http://warez.example/";
  std::string line = msg.GenerateHeader(kLatin1).Lines().at(0);
  size_t start = 0;
  int lines = 0;
  for (;;) {
    size_t end = line.find("\r\n", start);
    std::string part = line.substr(start, end - start);
    EXPECT_LE(part.size(), 78u) << part;
    if (lines > 0) {
      EXPECT_TRUE(part[0] == ' ' || part[0] == '\t') << part;
    }
    ++lines;
    if (end == std::string::npos) break;
    start = end + 2;
  }
  EXPECT_GE(lines, 3);
  EXPECT_EQ(line.rfind("Subject: Beschwerde:\r\n =?ISO-8859-1?Q?", 0), 0u) << line;
}

TEST(MailMessage, SubjectCannotInjectHeaderLines) {
  TMailMessage msg = DispatcherMessage();
  msg.Subject = "Notice\r\nBcc: victim@evil.example\r\n\r\nforged body";
  std::string text = msg.HeaderText(kUtf8);
  EXPECT_EQ(text.find("\r\nBcc:"), std::string::npos) << text;
  EXPECT_NE(text.find("Subject: Notice Bcc: victim@evil.example forged body\r\n"),
            std::string::npos)
      << text;
}

TEST(MailMessage, PriorityAndClear) {
  const std::pair<TMessagePriority, std::string> cases[] = {
      {TMessagePriority::mpHighest, "1"}, {TMessagePriority::mpHigh, "2"},
      {TMessagePriority::mpNormal, "3"},  {TMessagePriority::mpLow, "4"},
      {TMessagePriority::mpLowest, "5"},
  };
  for (const auto& [priority, value] : cases) {
    TMailMessage msg;
    msg.Priority = priority;
    EXPECT_EQ(msg.GenerateHeader(kUtf8).Value("X-Priority"), value);
  }
  TMailMessage msg = DispatcherMessage();
  msg.Priority = TMessagePriority::mpLow;
  msg.Date = system_clock::from_time_t(1709644029);
  msg.ExtraHeaders.SetValue("X-Mailer", "agent");
  msg.Organization = "Org";
  msg.Clear();
  EXPECT_TRUE(msg.From.Address.empty() && msg.Recipients.Empty() && msg.Subject.empty() &&
              msg.Body.empty() && msg.ExtraHeaders.Count() == 0 && msg.Organization.empty());
  EXPECT_EQ(msg.Priority, TMessagePriority::mpNormal);
  EXPECT_TRUE(msg.UseNowForDate());
  // A cleared message has only the lines that are never empty.
  std::vector<std::string> lines = msg.GenerateHeader(kUtf8).Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind("Date: ", 0), 0u);
  EXPECT_EQ(lines[1], "X-Priority: 3");
  EXPECT_EQ(lines[2], "X-Library: Quellor 1.20");
}

TEST(MailMessage, FixedDateAndExtraHeadersAfterTheStandardOnes) {
  ScopedTimeZone tz("UTC0");
  TMailMessage msg = DispatcherMessage();
  msg.Date = system_clock::from_time_t(1709644029);
  msg.ExtraHeaders.SetValue("X-Mailer", "Quellor");
  msg.ExtraHeaders.SetValue("X-Site", "warez");
  std::vector<std::string> lines = msg.GenerateHeader(kUtf8).Lines();
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[4], "Date: Tue, 5 Mar 2024 13:07:09 +0000");
  EXPECT_EQ(lines[7], "X-Mailer: Quellor");
  EXPECT_EQ(lines[8], "X-Site: warez");
  msg.ExtraHeaders.SetValue("X-Mailer", "");
  EXPECT_EQ(msg.GenerateHeader(kUtf8).Lines().size(), 8u);
}

TEST(MailMessage, ExtraHeaderWithALineBreakIsRefused) {
  TMailMessage msg = DispatcherMessage();
  msg.ExtraHeaders.SetValue("X-Mailer", "agent\r\nBcc: victim@evil.example");
  EXPECT_THROW(msg.HeaderText(kUtf8), EMailError);
  msg.ExtraHeaders.SetValue("X-Mailer", std::string("agent\0", 6));
  EXPECT_THROW(msg.HeaderText(kUtf8), EMailError);
}

TEST(MailMessage, BodyIsDotStuffed) {
  struct Case {
    std::vector<std::string> body;
    std::string text;
  } cases[] = {
      {{}, ""},
      {{"."}, "..\r\n"},
      {{".."}, "...\r\n"},
      {{".hidden", "a.b", ""}, "..hidden\r\na.b\r\n\r\n"},
      {{"caf\xc3\xa9 8-bit"}, "caf=C3=A9 8-bit\r\n"},  // declared and quoted-printable
      // A line that holds line breaks goes as the lines it holds, each stuffed: no bare
      // line end reaches the server and no "." line ends the data early.
      {{"one\r\n.\r\ntwo"}, "one\r\n..\r\ntwo\r\n"},
      {{"one\n.\nMAIL FROM:<x>"}, "one\r\n..\r\nMAIL FROM:<x>\r\n"},
      {{"a\rb"}, "a\r\nb\r\n"},
  };
  for (const Case& c : cases) {
    TMailMessage msg;
    msg.Body = c.body;
    EXPECT_EQ(msg.BodyText(kUtf8), c.text);
  }
}

TEST(MailMessage, EmptyBodyEndsAfterTheBlankLine) {
  TMailMessage msg = DispatcherMessage();
  msg.Body.clear();
  std::string text = msg.MessageText(kUtf8);
  ASSERT_GE(text.size(), 4u);
  EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");
  EXPECT_EQ(text.find("\r\n\r\n"), text.size() - 4);
  EXPECT_EQ(text.rfind("X-Library: Quellor 1.20\r\n\r\n"), text.size() - 27);
}

TEST(MailMessage, JapaneseBodyLinesGoAsIso2022Jp) {
  TMailMessage msg;
  msg.Body = {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "plain"};
  LocaleInfo japanese{'.', "UTF-8", "ja", "JP"};
  EXPECT_EQ(msg.BodyText(japanese), "\x1b$BF|K\\8l\x1b(B\r\nplain\r\n");
  // Elsewhere the 8-bit line goes quoted-printable.
  EXPECT_EQ(msg.BodyText(kUtf8), "=E6=97=A5=E6=9C=AC=E8=AA=9E\r\nplain\r\n");
}

TEST(MailMessage, EnvelopeCheckFindsAddressesSetDirectly) {
  TMailMessage msg = DispatcherMessage();
  EXPECT_NO_THROW(msg.CheckAddresses());
  msg.BccList.Add({"", "x@evil.example>\r\nDATA"});
  EXPECT_THROW(msg.CheckAddresses(), EMailError);
  msg = DispatcherMessage();
  msg.From.Address = std::string("a\0b", 3);
  EXPECT_THROW(msg.CheckAddresses(), EMailError);
}

TEST(MailMessage, EnvelopeAddressesCannotGainParameters) {
  struct Case {
    std::string recipients;
    const char* error;  // nullptr: accepted
  } cases[] = {
      {"abuse@isp.example", nullptr},
      {"Abuse Desk <abuse@isp.example>", nullptr},
      {"victim@example.org> NOTIFY=SUCCESS",
       "The e-mail address \"victim@example.org> NOTIFY=SUCCESS\" holds a blank, \"<\" or \">\" "
       "and cannot be sent to."},
      {"<victim@example.org> SIZE=1>",
       "The e-mail address \"victim@example.org> SIZE=1\" holds a blank, \"<\" or \">\" and "
       "cannot be sent to."},
      {"a b@isp.example",
       "The e-mail address \"a b@isp.example\" holds a blank, \"<\" or \">\" and cannot be sent "
       "to."},
      {"x@isp.example<y@evil.example",
       "The e-mail address \"x@isp.example<y@evil.example\" holds a blank, \"<\" or \">\" and "
       "cannot be sent to."},
      {"m\xc3\xbcller@isp.example",
       "The e-mail address \"m\xc3\xbcller@isp.example\" holds characters other than printable "
       "ASCII and cannot be sent to."},
      {"a\x01"
       "b@isp.example",
       "The e-mail address \"a\x01"
       "b@isp.example\" holds characters other than printable ASCII and cannot be "
       "sent to."},
  };
  for (const Case& c : cases) {
    TMailMessage msg = DispatcherMessage();
    msg.Recipients.SetText(c.recipients);
    if (!c.error) {
      EXPECT_NO_THROW(msg.CheckAddresses()) << c.recipients;
      continue;
    }
    try {
      msg.CheckAddresses();
      ADD_FAILURE() << "accepted: " << c.recipients;
    } catch (const EMailError& e) {
      EXPECT_STREQ(e.what(), c.error);
    }
  }
  // The sender is an envelope address as well.
  TMailMessage msg = DispatcherMessage();
  msg.From.SetText("desk@example.org> RET=FULL");
  EXPECT_THROW(msg.CheckAddresses(), EMailError);
}

// Decodes quoted-printable text (soft breaks joined, =XX turned back into bytes).
std::string DecodeQp(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '=' && i + 2 < text.size() && text[i + 1] == '\r' && text[i + 2] == '\n') {
      i += 2;
    } else if (text[i] == '=' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

TEST(MailMessage, BodiesThatAreNot7BitShortLinesAreDeclaredAndQuotedPrintable) {
  struct Case {
    const char* what;
    LocaleInfo locale;
    std::vector<std::string> body;
    const char* charset;  // nullptr: no MIME at all, the body as it stands
  } cases[] = {
      {"7-bit with a line of 998", kUtf8, {std::string(998, 'a'), "end"}, nullptr},
      {"a line of 999", kUtf8, {std::string(999, 'a'), "end"}, "UTF-8"},
      {"a dot line that stuffing makes 999", kUtf8, {"." + std::string(997, 'a')}, "UTF-8"},
      {"8-bit text of the code page", kUtf8, {"caf\xc3\xa9 = 100%", ".dot"}, "UTF-8"},
      {"8-bit on a Latin-1 system", kLatin1, {"caf\xe9"}, "ISO-8859-1"},
      {"a NUL byte", kUtf8, {std::string("a\0b", 3)}, "UTF-8"},
      {"a long paragraph with blanks at the cuts",
       kUtf8,
       {[] {
         std::string s;
         for (int i = 0; i < 200; ++i) s += "word\xc3\xa9 \t";
         return s + " ";
       }()},
       "UTF-8"},
  };
  for (const Case& c : cases) {
    TMailMessage msg = DispatcherMessage();
    msg.Body = c.body;
    const std::string header = msg.HeaderText(c.locale);
    const std::string body = msg.BodyText(c.locale);
    std::string original;
    for (const std::string& l : c.body) original += l + "\r\n";
    if (!c.charset) {
      EXPECT_EQ(header.find("MIME-Version"), std::string::npos) << c.what;
      EXPECT_EQ(header.find("Content-"), std::string::npos) << c.what;
      EXPECT_EQ(body, original) << c.what;
      continue;
    }
    EXPECT_NE(header.find("\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=" +
                          std::string(c.charset) +
                          "\r\nContent-Transfer-Encoding: quoted-printable\r\n"
                          "Disposition-Notification-To: "),
              std::string::npos)
        << c.what << "\n"
        << header;
    // Every line within 76 (one more for a stuffed dot), nothing but printable ASCII.
    size_t start = 0;
    std::string unstuffed;
    while (start < body.size()) {
      size_t end = body.find("\r\n", start);
      ASSERT_NE(end, std::string::npos);
      std::string line = body.substr(start, end - start);
      if (!line.empty() && line[0] == '.') line.erase(0, 1);
      EXPECT_LE(line.size(), 76u) << c.what << ": " << line;
      for (char ch : line) EXPECT_TRUE(ch == ' ' || ch == '\t' || (ch > 32 && ch < 127)) << c.what;
      if (!line.empty()) {
        EXPECT_NE(line.back(), ' ') << c.what;
      }
      unstuffed += line + "\r\n";
      start = end + 2;
    }
    EXPECT_EQ(DecodeQp(unstuffed), original) << c.what;
  }
}

TEST(MailMessage, SubjectThatBlanksCannotFoldGoesAsEncodedWords) {
  TMailMessage msg = DispatcherMessage();
  const std::string url = "http://warez.example/?q=" + std::string(1500, 'x') + "_end";
  msg.Subject = "Software piracy notice: " + url;
  const std::string line = msg.GenerateHeader(kUtf8).Lines().at(1);
  EXPECT_EQ(
      line.rfind("Subject: Software piracy notice:\r\n =?UTF-8?Q?http://warez.example/=3Fq=3Dx", 0),
      0u)
      << line.substr(0, 120);
  size_t start = 0;
  for (;;) {
    size_t end = line.find("\r\n", start);
    EXPECT_LE((end == std::string::npos ? line.size() : end) - start, 78u);
    if (end == std::string::npos) break;
    start = end + 2;
  }
  EXPECT_NO_THROW(msg.HeaderText(kUtf8));
  // A Subject that folds at its blanks stays as it was.
  msg.Subject = "Software piracy notice: http://warez.example/" + std::string(900, 'y');
  EXPECT_EQ(msg.GenerateHeader(kUtf8).Lines().at(1),
            "Subject: Software piracy notice:\r\n http://warez.example/" + std::string(900, 'y'));
}

TEST(MailMessage, SubjectBeginningWithAnEncodedWordKeepsItsLinesShort) {
  TMailMessage msg = DispatcherMessage();
  msg.Subject = std::string(30, '\xe9') + " notice";
  const std::string line = msg.GenerateHeader(kLatin1).Lines().at(1);
  EXPECT_EQ(line.rfind("Subject:\r\n =?ISO-8859-1?Q?=E9", 0), 0u) << line;
  size_t start = 0;
  for (;;) {
    size_t end = line.find("\r\n", start);
    EXPECT_LE((end == std::string::npos ? line.size() : end) - start, 76u) << line;
    if (end == std::string::npos) break;
    start = end + 2;
  }
}

TEST(MailMessage, OtherHeadersThatCannotFoldAreRefused) {
  TMailMessage msg = DispatcherMessage();
  msg.ExtraHeaders.SetValue("X-Long", std::string(1200, 'z'));
  try {
    msg.HeaderText(kUtf8);
    FAIL();
  } catch (const EMailError& e) {
    EXPECT_NE(std::string(e.what()).find("is longer than 998 characters"), std::string::npos);
  }
}

}  // namespace
}  // namespace quellor
