// The mail message that the complaint dispatcher fills and the SMTP client sends: addresses,
// the header list in its order, and the message text as it goes on the wire (header lines, a
// blank line, the dot-stuffed body). Only plain-text messages without MIME structure are made;
// a body that is not 7-bit text with short lines is declared with its character set and sent
// quoted-printable.
#pragma once

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Locale.h"

namespace quellor {

// A failure of the mail message or of the SMTP session; what() is the text for the person.
class EMailError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TMessagePriority { mpHighest, mpHigh, mpNormal, mpLow, mpLowest };

// One mailbox: a display name and an address (not validated).
struct TEMailAddressItem {
  std::string Name;
  std::string Address;

  // Sets the item from text: "Name <address>", "address (Name)" or a bare address. Text ending
  // in ">" without a "<" (or in ")" without a "(") leaves both empty. Throws EMailError when the
  // name or the address would hold a CR, LF or NUL.
  void SetText(std::string_view text);
  // The item as a header shows it: the address alone, or the name (quoted, or as encoded words
  // when it is not printable ASCII), " <", the address and ">".
  std::string Text(const LocaleInfo& locale) const;
  void Clear();
};

// An ordered list of mailboxes.
class TEMailAddressList {
 public:
  // Sets the list from comma-separated text; a comma inside a double-quoted name does not
  // separate, a semicolon never does. Pieces are trimmed and empty ones dropped. Throws
  // EMailError (and leaves the list empty) when an item would hold a CR, LF or NUL.
  void SetText(std::string_view text);
  // The items rendered one by one and joined by ", "; empty text for an empty list.
  std::string Text(const LocaleInfo& locale) const;

  void Add(TEMailAddressItem item) { items_.push_back(std::move(item)); }
  void Clear() { items_.clear(); }
  size_t Count() const { return items_.size(); }
  bool Empty() const { return items_.empty(); }
  const TEMailAddressItem& operator[](size_t i) const { return items_[i]; }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::vector<TEMailAddressItem> items_;
};

// One header line: the name, the value, and the line "Name: value" as folded when it was set.
struct THeaderLine {
  std::string Name;
  std::string Value;
  std::string Text;
};

// An ordered list of header lines, each "Name: value", folded when set. Names compare without
// regard to case.
class THeaderList {
 public:
  // Replaces the first line of that name in place, or appends one; an empty value removes
  // every line of that name. Throws EMailError for a name that is empty or holds a blank, a
  // colon or a control character.
  void SetValue(std::string_view name, std::string_view value);
  // Appends a line even when one of that name exists; an empty value adds nothing.
  void Add(std::string_view name, std::string_view value);
  // The value of the first line of that name, or "".
  std::string Value(std::string_view name) const;
  void Clear() { lines_.clear(); }
  size_t Count() const { return lines_.size(); }
  const std::vector<THeaderLine>& Items() const { return lines_; }
  // The folded lines, in order; a folded line holds CR LF followed by a blank.
  std::vector<std::string> Lines() const;

 private:
  std::vector<THeaderLine> lines_;
};

// Folds a header line longer than 79 characters at blanks of the value outside double quotes,
// so that no output line passes 78 characters where a blank allows; continuation lines begin
// with one space. A CR LF already in the line starts a new output line.
std::string FoldHeaderLine(std::string_view line);

// "Tue, 5 Mar 2024 14:07:09 +0100": the time in the local time zone with the offset in force at
// that moment, English day and month names.
std::string RenderMailDate(std::chrono::system_clock::time_point when);

class TMailMessage {
 public:
  TEMailAddressItem From;
  TEMailAddressList Recipients;
  TEMailAddressList CCList;
  TEMailAddressList BccList;  // envelope only, never rendered
  TEMailAddressItem ReceiptRecipient;
  std::string Subject;
  std::vector<std::string> Body;
  TMessagePriority Priority = TMessagePriority::mpNormal;
  // The epoch (the value after Clear) stands for the time at which the header is rendered.
  std::chrono::system_clock::time_point Date{};
  THeaderList ExtraHeaders;

  // Headers this program never sets; an empty one gives no line.
  TEMailAddressItem Sender;
  TEMailAddressList ReplyTo;
  std::string Organization;
  std::string References;
  std::string Newsgroups;
  std::string ContentType;  // e.g. "text/plain"; CharSet is added as its parameter
  std::string CharSet;
  std::string ContentTransferEncoding;

  // Empties every field and the body; Priority mpNormal, Date the epoch.
  void Clear();

  // True when Date is the epoch and the current time is used.
  bool UseNowForDate() const { return Date == std::chrono::system_clock::time_point{}; }

  // The header list: From, Subject, To, Cc, the never-set headers, Disposition-Notification-To,
  // Date, X-Priority, X-Library "Quellor 1.20", then ExtraHeaders in order.
  THeaderList GenerateHeader(const LocaleInfo& locale) const;

  // Throws EMailError when an address of the envelope (From and every recipient) holds a CR,
  // LF or NUL, a blank, "<" or ">", or a byte outside printable ASCII, so that nothing of such
  // a message is sent and no command can gain parameters.
  void CheckAddresses() const;

  // The header block: every header line followed by CR LF, then the empty line. Throws
  // EMailError when a header line would hold a bare line break or a NUL, or a line longer than
  // 998 characters that cannot be folded.
  std::string HeaderText(const LocaleInfo& locale) const;
  // The body: every line followed by CR LF, a line beginning with "." with one more "." before
  // it. A line holding line breaks is sent as the lines it holds. In Japanese the lines are
  // converted to ISO-2022-JP. A body with a byte above 127 or a NUL, or with a line longer than
  // 998 bytes, is sent quoted-printable (GenerateHeader then declares it).
  std::string BodyText(const LocaleInfo& locale) const;
  // HeaderText and BodyText together: the text sent inside the DATA phase, without the closing
  // "." line.
  std::string MessageText(const LocaleInfo& locale) const;
};

}  // namespace quellor
