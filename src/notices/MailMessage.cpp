// The message text as it goes on the wire inside the SMTP DATA phase:
//
//   header line CR LF          one per header, in the order of TMailMessage::GenerateHeader;
//   ...                        a line longer than 79 characters is folded into lines joined
//                              by CR LF and a blank
//   CR LF                      the empty line that ends the header
//   body line CR LF            one per body line; a line beginning with "." gets one more "."
//   ...                        in front (RFC 5321 transparency)
//
// The closing "." line belongs to the SMTP session. For a message as the complaint dispatcher
// builds it, the header lines are From, Subject, To, Disposition-Notification-To, Date,
// X-Priority and X-Library, e.g.
//
//   From: "Abuse Desk" <abuse@example.org>
//   Subject: Software piracy notice: http://example.com/
//   To: abuse@isp.example, noc@isp.example
//   Disposition-Notification-To: "Abuse Desk" <abuse@example.org>
//   Date: Tue, 5 Mar 2024 14:07:09 +0100
//   X-Priority: 3
//   X-Library: Quellor 1.20
//
// No Message-Id line is sent. A message whose body is 7-bit text with lines of at most 998
// bytes (the dot of transparency counted) goes out without MIME-Version, Content-Type or
// Content-Transfer-Encoding, byte for byte as above. Any other body (a byte above 127 or a NUL,
// or a longer line) is declared and encoded, in the place of the content headers (after
// Newsgroups, before Disposition-Notification-To):
//
//   MIME-Version: 1.0
//   Content-Type: text/plain; charset=UTF-8          the system code page (MimeCharsetOf)
//   Content-Transfer-Encoding: quoted-printable      every body line at most 76 characters
//
// No header line passes 998 characters: a Subject that blanks cannot fold short enough has its
// long words sent as encoded words, which fold; any other such header is refused.
#include "notices/MailMessage.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

#include "notices/MailEncoding.h"

namespace quellor {
namespace {

constexpr const char* kLibraryName = "Quellor 1.20";
constexpr size_t kFoldAbove = 79;  // lines up to this length are never folded
constexpr size_t kFoldAt = 78;     // a line is cut once this many characters are scanned
constexpr size_t kMaxLine = 998;   // RFC 5322: no line of a message longer, CR LF not counted

bool IsPrintableAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 32 && u <= 126;
  });
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

void CheckHeaderName(std::string_view name) {
  bool ok = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u > 32 && u < 127 && c != ':';
  });
  if (!ok) throw EMailError("Invalid header name \"" + ShowLineBreaks(name) + "\".");
}

void CheckItem(const TEMailAddressItem& item) {
  if (HasLineBreakOrNul(item.Name) || HasLineBreakOrNul(item.Address))
    throw EMailError("The e-mail address \"" + ShowLineBreaks(item.Name) +
                     (item.Name.empty() ? "" : " ") + ShowLineBreaks(item.Address) +
                     "\" holds a line break or a NUL character.");
}

// A header line may hold line breaks only as CR LF followed by a blank (a folded line).
void CheckHeaderLine(std::string_view line) {
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    bool bad = c == '\0' || (c == '\n' && (i == 0 || line[i - 1] != '\r')) ||
               (c == '\r' && (i + 2 >= line.size() || line[i + 1] != '\n' ||
                              (line[i + 2] != ' ' && line[i + 2] != '\t')));
    if (bad)
      throw EMailError("The header line \"" + ShowLineBreaks(line) +
                       "\" holds a line break or a NUL character.");
  }
}

bool IsJapanese(const LocaleInfo& locale) {
  return locale.language.size() == 2 &&
         std::tolower(static_cast<unsigned char>(locale.language[0])) == 'j' &&
         std::tolower(static_cast<unsigned char>(locale.language[1])) == 'a';
}

// A body line cut at the line breaks it may hold (CR LF, CR or LF).
std::vector<std::string_view> PhysicalLines(std::string_view line) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '\r' && line[i] != '\n') continue;
    parts.push_back(line.substr(start, i - start));
    if (line[i] == '\r' && i + 1 < line.size() && line[i + 1] == '\n') ++i;
    start = i + 1;
  }
  parts.push_back(line.substr(start));
  return parts;
}

// The body as it goes out: its lines before dot-stuffing, and whether (and in which character
// set) it is declared and quoted-printable encoded.
struct BodyPlan {
  bool mime = false;
  std::string charset;
  std::vector<std::string> lines;
};

bool NeedsMime(const std::vector<std::string>& lines) {
  for (const std::string& l : lines) {
    const size_t stuffed = l.size() + (!l.empty() && l.front() == '.' ? 1 : 0);
    if (stuffed > kMaxLine) return true;
    for (char c : l)
      if (c == '\0' || static_cast<unsigned char>(c) > 127) return true;
  }
  return false;
}

BodyPlan PlanBody(const std::vector<std::string>& body, const LocaleInfo& locale) {
  std::vector<std::string> source;
  for (const std::string& bodyLine : body)
    for (std::string_view part : PhysicalLines(bodyLine)) source.emplace_back(part);
  BodyPlan plan;
  plan.charset = MimeCharsetOf(locale.codeset);
  std::vector<std::string> wire = source;
  bool allConverted = true;
  if (IsJapanese(locale)) {
    for (std::string& line : wire) {
      // A line the conversion cannot take is sent as it stands rather than lost.
      if (auto converted = ConvertCodePage(line, locale.codeset, "ISO-2022-JP"))
        line = std::move(*converted);
      else
        allConverted = false;
    }
  }
  if (!NeedsMime(wire)) {
    plan.lines = std::move(wire);
    return plan;
  }
  plan.mime = true;
  if (IsJapanese(locale) && allConverted) {
    plan.charset = "ISO-2022-JP";
    source = std::move(wire);
  }
  for (const std::string& line : source)
    for (std::string& qp : QuotedPrintableLines(line)) plan.lines.push_back(std::move(qp));
  return plan;
}

// The longest physical line of a header line (folded lines are joined by CR LF).
size_t LongestPhysicalLine(std::string_view text) {
  size_t longest = 0;
  size_t start = 0;
  for (;;) {
    size_t end = text.find("\r\n", start);
    longest = std::max(longest, (end == std::string_view::npos ? text.size() : end) - start);
    if (end == std::string_view::npos) return longest;
    start = end + 2;
  }
}

// An envelope address goes inside "<" and ">" of MAIL FROM and RCPT TO: it must not close the
// brackets, add parameters after a blank, or hold bytes outside printable ASCII.
void CheckEnvelopeAddress(const TEMailAddressItem& item) {
  CheckItem(item);
  for (char ch : item.Address) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '<' || c == '>' || c == ' ' || c == '\t')
      throw EMailError("The e-mail address \"" + item.Address +
                       "\" holds a blank, \"<\" or \">\" and cannot be sent to.");
    if (c < 32 || c > 126)
      throw EMailError("The e-mail address \"" + ShowLineBreaks(item.Address) +
                       "\" holds characters other than printable ASCII and cannot be sent to.");
  }
}

}  // namespace

// --- TEMailAddressItem ---------------------------------------------------------------------

void TEMailAddressItem::Clear() {
  Name.clear();
  Address.clear();
}

void TEMailAddressItem::SetText(std::string_view text) {
  Clear();
  if (!text.empty() && text.back() == '>') {
    size_t lt = text.find('<');
    if (lt != std::string_view::npos) {
      Address = TrimControls(text.substr(lt + 1, text.size() - 1 - (lt + 1)));
      Name = TrimControls(text.substr(0, lt));
    }
  } else if (!text.empty() && text.back() == ')') {
    size_t lp = text.find('(');
    if (lp != std::string_view::npos) {
      Name = TrimControls(text.substr(lp + 1, text.size() - 1 - (lp + 1)));
      Address = TrimControls(text.substr(0, lp));
    }
  } else {
    Address = text;
  }
  while (Name.size() > 1 && ((Name.front() == '"' && Name.back() == '"') ||
                             (Name.front() == '\'' && Name.back() == '\'')))
    Name = Name.substr(1, Name.size() - 2);
  try {
    CheckItem(*this);
  } catch (...) {
    Clear();
    throw;
  }
}

std::string TEMailAddressItem::Text(const LocaleInfo& locale) const {
  if (Name.empty()) return Address;
  if (IsPrintableAscii(Name)) {
    std::string quoted = "\"";
    for (char c : Name) {
      if (c == '\\' || c == '"') quoted += '\\';
      quoted += c;
    }
    return quoted + "\" <" + Address + ">";
  }
  return EncodeHeaderText(Name, true, locale) + " <" + Address + ">";
}

// --- TEMailAddressList ---------------------------------------------------------------------

void TEMailAddressList::SetText(std::string_view text) {
  Clear();
  std::vector<std::string_view> pieces;
  size_t start = 0;
  int quotes = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') {
      ++quotes;
    } else if (text[i] == ',' && quotes != 1) {
      pieces.push_back(text.substr(start, i - start));
      start = i + 1;
      quotes = 0;
    }
  }
  pieces.push_back(text.substr(start));
  for (std::string_view piece : pieces) {
    piece = TrimControls(piece);
    if (piece.empty()) continue;
    TEMailAddressItem item;
    try {
      item.SetText(piece);
    } catch (...) {
      Clear();
      throw;
    }
    Add(std::move(item));
  }
}

std::string TEMailAddressList::Text(const LocaleInfo& locale) const {
  std::string r;
  for (const TEMailAddressItem& item : items_) {
    if (!r.empty()) r += ", ";
    r += item.Text(locale);
  }
  return r;
}

// --- THeaderList ---------------------------------------------------------------------------

std::string FoldHeaderLine(std::string_view line) {
  if (line.size() <= kFoldAbove) return std::string(line);
  std::string out;
  auto emit = [&](size_t from, size_t to) {
    std::string_view piece = line.substr(from, to - from);
    while (!piece.empty() && (piece.back() == ' ' || piece.back() == '\t')) piece.remove_suffix(1);
    out += piece;
  };
  const size_t npos = std::string_view::npos;
  size_t start = 0;
  size_t lastBlank = npos;
  bool inQuote = false;
  bool escaped = false;
  // The scan starts at the left: the blank after "Name:" is a place to cut like any other, so a
  // value that begins with a long encoded word moves to the next line whole.
  size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == '\r' && i + 1 < line.size() && line[i + 1] == '\n') {
      // A break already in the line (between encoded words) starts a new output line.
      emit(start, i);
      out += "\r\n";
      i += 2;
      start = i;
      lastBlank = npos;
      continue;
    }
    if (inQuote) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inQuote = false;
    } else if (c == '"') {
      inQuote = true;
    } else if (c == ' ' || c == '\t') {
      lastBlank = i;
    }
    if (i - start + 1 >= kFoldAt && lastBlank != npos) {
      size_t next = lastBlank + 1;
      while (next < line.size() &&
             (line[next] == ' ' || line[next] == '\t' || line[next] == '\r' || line[next] == '\n'))
        ++next;
      if (line.size() - next >= 2) {
        emit(start, lastBlank + 1);
        out += "\r\n ";
        start = next;
        lastBlank = npos;
        i = std::max(i + 1, next);
        continue;
      }
      lastBlank = npos;  // one character left: it stays on this line
    }
    ++i;
  }
  emit(start, line.size());
  return out;
}

void THeaderList::SetValue(std::string_view name, std::string_view value) {
  CheckHeaderName(name);
  if (value.empty()) {
    std::erase_if(lines_, [&](const THeaderLine& l) { return EqualsNoCase(l.Name, name); });
    return;
  }
  THeaderLine line{std::string(name), std::string(value),
                   FoldHeaderLine(std::string(name) + ": " + std::string(value))};
  auto it = std::find_if(lines_.begin(), lines_.end(),
                         [&](const THeaderLine& l) { return EqualsNoCase(l.Name, name); });
  if (it != lines_.end())
    *it = std::move(line);
  else
    lines_.push_back(std::move(line));
}

void THeaderList::Add(std::string_view name, std::string_view value) {
  CheckHeaderName(name);
  if (value.empty()) return;
  lines_.push_back({std::string(name), std::string(value),
                    FoldHeaderLine(std::string(name) + ": " + std::string(value))});
}

std::string THeaderList::Value(std::string_view name) const {
  for (const THeaderLine& l : lines_)
    if (EqualsNoCase(l.Name, name)) return l.Value;
  return "";
}

std::vector<std::string> THeaderList::Lines() const {
  std::vector<std::string> r;
  r.reserve(lines_.size());
  for (const THeaderLine& l : lines_) r.push_back(l.Text);
  return r;
}

// --- Date ----------------------------------------------------------------------------------

std::string RenderMailDate(std::chrono::system_clock::time_point when) {
  static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&t, &local);
  long offset = local.tm_gmtoff;  // seconds east of UTC, daylight saving time included
  char sign = offset >= 0 ? '+' : '-';
  long minutes = (offset >= 0 ? offset : -offset) / 60;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                kDays[local.tm_wday % 7], local.tm_mday, kMonths[local.tm_mon % 12],
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, sign, minutes / 60,
                minutes % 60);
  return buf;
}

// --- TMailMessage --------------------------------------------------------------------------

void TMailMessage::Clear() {
  *this = TMailMessage();
}

THeaderList TMailMessage::GenerateHeader(const LocaleInfo& locale) const {
  THeaderList h;
  h.SetValue("From", From.Text(locale));
  h.SetValue("Subject", EncodeHeaderText(Subject, false, locale));
  if (!h.Items().empty() && h.Items().back().Name == "Subject" &&
      LongestPhysicalLine(h.Items().back().Text) > kMaxLine) {
    // A word no blank can fold short enough (a very long Url): such words become encoded
    // words, which fold between them.
    h.SetValue("Subject", EncodeHeaderText(Subject, false, locale, kMaxLine - 1));
  }
  h.SetValue("To", Recipients.Text(locale));
  h.SetValue("Cc", CCList.Text(locale));
  h.SetValue("Sender", Sender.Text(locale));
  h.SetValue("Reply-To", ReplyTo.Text(locale));
  h.SetValue("Organization", EncodeHeaderText(Organization, false, locale));
  h.SetValue("References", References);
  h.SetValue("Newsgroups", Newsgroups);
  std::string contentType = ContentType;
  std::string charSet = CharSet;
  std::string transferEncoding = ContentTransferEncoding;
  if (contentType.empty()) {
    const BodyPlan plan = PlanBody(Body, locale);
    if (plan.mime) {
      h.SetValue("MIME-Version", "1.0");
      contentType = "text/plain";
      charSet = plan.charset;
      transferEncoding = "quoted-printable";
    }
  }
  if (!contentType.empty())
    h.SetValue("Content-Type",
               charSet.empty() ? contentType : contentType + "; charset=" + charSet);
  h.SetValue("Content-Transfer-Encoding", transferEncoding);
  h.SetValue("Disposition-Notification-To", ReceiptRecipient.Text(locale));
  h.SetValue("Date", RenderMailDate(UseNowForDate() ? std::chrono::system_clock::now() : Date));
  h.SetValue("X-Priority", std::to_string(static_cast<int>(Priority) + 1));
  h.SetValue("X-Library", kLibraryName);
  for (const THeaderLine& extra : ExtraHeaders.Items()) h.Add(extra.Name, extra.Value);
  return h;
}

void TMailMessage::CheckAddresses() const {
  CheckEnvelopeAddress(From);
  for (const TEMailAddressList* list : {&Recipients, &CCList, &BccList})
    for (const TEMailAddressItem& item : *list) CheckEnvelopeAddress(item);
  CheckItem(From);
  CheckItem(ReceiptRecipient);
  CheckItem(Sender);
  for (const TEMailAddressList* list : {&Recipients, &CCList, &BccList, &ReplyTo})
    for (const TEMailAddressItem& item : *list) CheckItem(item);
}

std::string TMailMessage::HeaderText(const LocaleInfo& locale) const {
  std::string out;
  for (const std::string& line : GenerateHeader(locale).Lines()) {
    CheckHeaderLine(line);
    if (LongestPhysicalLine(line) > kMaxLine)
      throw EMailError("The header line \"" + line.substr(0, 60) +
                       "...\" is longer than 998 characters and cannot be folded.");
    out += line;
    out += "\r\n";
  }
  out += "\r\n";
  return out;
}

std::string TMailMessage::BodyText(const LocaleInfo& locale) const {
  BodyPlan plan = PlanBody(Body, locale);
  if (plan.mime && !ContentType.empty()) {
    // A content type set by the caller: the body goes as the caller prepared it.
    plan = BodyPlan{};
    for (const std::string& bodyLine : Body)
      for (std::string_view part : PhysicalLines(bodyLine)) plan.lines.emplace_back(part);
  }
  std::string out;
  for (const std::string& line : plan.lines) {
    if (!line.empty() && line.front() == '.') out += '.';
    out += line;
    out += "\r\n";
  }
  return out;
}

std::string TMailMessage::MessageText(const LocaleInfo& locale) const {
  return HeaderText(locale) + BodyText(locale);
}

}  // namespace quellor
