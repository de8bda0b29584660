// The complaint mail dispatcher: the four notice commands of the main window (preview and send
// of the complaint notice and of the DMCA notice), the check of a site's addresses against
// "bademails.txt", filling the message and the SMTP client, the send itself and the stamp of
// the site with the time of the attempt.
//
// Send, in order: post the current record of the grid's dataset (values typed into the form
// count); refuse addresses listed in "bademails.txt" ("Bad email: " + entry, nothing sent, no
// stamp); with HostName and From set, fill the message, check every envelope address before
// connecting, connect, deliver and close; a delivered message adds the status line "Mail sent to
// <addresses>." after the dialogue's lines; a failure puts its text in the status memo and then
// shows "Could not send mail, you may have an invalid SMTP host" (the reason is in view while the
// box is up); without them "Invalid SMTP server parameters."; finally stamp LastSent (LastDMCASent
// when the subject holds "DMCA") of the record that was sent, also after a failed send.
//
// One send at a time: while a send is under way (the SMTP client lets the window process its
// events) every notice command returns at once, and OnBusyChanged tells the window to disable
// the commands' menu items and button. The record that was sent is stamped even if the person
// moved to another record meanwhile; the person's position is restored afterwards.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "notices/MailMessage.h"
#include "notices/NoticeComposer.h"
#include "notices/SmtpClient.h"
#include "store/api/StoreTb.h"

namespace quellor {

class TConfig;
class Ui;

class TNoticeDispatcher {
 public:
  // The window's notice buffer, message and SMTP client; all outlive the dispatcher.
  TNoticeDispatcher(TConfig& config, Ui& ui, std::vector<std::string>& noticeLines,
                    TMailMessage& msg, TSMTPClient& smtp);
  TNoticeDispatcher(const TNoticeDispatcher&) = delete;
  TNoticeDispatcher& operator=(const TNoticeDispatcher&) = delete;

  // What the dispatcher needs of the window: the dataset the grid shows (null while none is
  // open), the site table itself, and a new line of the status memo.
  std::function<TStoreTable*()> GridDataSet;
  std::function<TStoreTable*()> SiteTable;
  std::function<void(const std::string&)> AddStatusLine;
  // Called with true when a send begins and false when it has ended.
  std::function<void(bool)> OnBusyChanged;

  // The four commands.
  void SendComplaintMail1Click();
  void PreviewComplaintMail1Click();
  void PreviewDMCAReport1Click();
  void SendDMCAComplaintMail1Click();

  void SendNotice(const std::string& subject);
  void PreviewNotice();
  bool SmtpConfigured() const;
  // The last line of ProgramFolder + "bademails.txt" that occurs in `emails` (case-sensitive,
  // blanks included; an empty line never matches), or "" (also when the file is missing).
  std::string FindBadAddress(const std::string& emails) const;
  void PrepareMessage(const std::string& recipients, const std::string& subject);
  // The SMTP client's status handler: one line of the status memo per text.
  void SMTPStatus(const std::string& text);

  bool Busy() const { return busy_; }

 private:
  TStoreTable& Grid() const;
  TStoreTable& Site() const;
  // True when the server took the message.
  bool Deliver();
  // The status line of a delivered message: "Mail sent to <addresses>.".
  std::string SentLine() const;
  void Stamp(TStoreTable& dataSet, const TBookmark& sent, const std::string& subject);
  void SetBusy(bool on);

  TConfig& config_;
  Ui& ui_;
  std::vector<std::string>& noticeLines_;
  TMailMessage& msg_;
  TSMTPClient& smtp_;
  bool busy_ = false;
};

}  // namespace quellor
