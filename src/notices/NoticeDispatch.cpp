#include "notices/NoticeDispatch.h"

#include <cstdlib>
#include <stdexcept>

#include "app/Config.h"
#include "app/Include.h"
#include "app/Ui.h"
#include "notices/DmcaNotice.h"
#include "notices/MailEncoding.h"
#include "notices/MailTransport.h"
#include "platform/Files.h"
#include "store/api/StoreDate.h"

namespace quellor {
namespace {

const char* const kDmcaSubject = "DMCA Notice";

}  // namespace

TNoticeDispatcher::TNoticeDispatcher(TConfig& config, Ui& ui, std::vector<std::string>& noticeLines,
                                     TMailMessage& msg, TSMTPClient& smtp)
    : config_(config), ui_(ui), noticeLines_(noticeLines), msg_(msg), smtp_(smtp) {
  smtp_.OnStatus = [this](const std::string& text) { SMTPStatus(text); };
}

TStoreTable& TNoticeDispatcher::Grid() const {
  TStoreTable* t = GridDataSet ? GridDataSet() : nullptr;
  if (!t || !t->Active()) throw std::runtime_error("The site table is not open");
  return *t;
}

TStoreTable& TNoticeDispatcher::Site() const {
  TStoreTable* t = SiteTable ? SiteTable() : nullptr;
  if (!t || !t->Active()) throw std::runtime_error("The site table is not open");
  return *t;
}

void TNoticeDispatcher::SetBusy(bool on) {
  busy_ = on;
  if (OnBusyChanged) OnBusyChanged(on);
}

void TNoticeDispatcher::SMTPStatus(const std::string& text) {
  if (AddStatusLine) AddStatusLine(text);
  // The line shows at once, not only when the send has ended or the server is slow.
  if (busy_) ui_.ProcessEvents();
}

bool TNoticeDispatcher::SmtpConfigured() const {
  return !config_.HostName.empty() && !config_.From.empty();
}

std::string TNoticeDispatcher::FindBadAddress(const std::string& emails) const {
  std::string bytes;
  if (!ReadWholeFile(ResolveFileNoCase(ProgramFolder(), "bademails.txt"), &bytes)) return {};
  std::string result;
  for (const std::string& line : SplitLines(bytes))
    if (!line.empty() && emails.find(line) != std::string::npos) result = line;
  return result;
}

void TNoticeDispatcher::PrepareMessage(const std::string& recipients, const std::string& subject) {
  const TMailTransport transport = ReadMailTransport(config_.CompanyFileName());
  smtp_.Host = config_.HostName;
  smtp_.Port = config_.Port;
  if (config_.Authentication) {
    smtp_.AuthenticationType = TAuthenticationType::atLogin;
    smtp_.UserId = config_.LoginID;
    smtp_.Password = config_.Password;
  } else {
    smtp_.AuthenticationType = TAuthenticationType::atNone;
  }
  smtp_.Security = transport.Security;
  smtp_.CAFile = transport.CAFile;
  smtp_.Timeouts = transport.Timeouts;

  msg_.Clear();
  msg_.From.SetText(config_.From);
  msg_.Recipients.SetText(recipients);
  msg_.ReceiptRecipient.SetText(config_.From);
  msg_.Subject = subject;
  msg_.Body = noticeLines_;
}

bool TNoticeDispatcher::Deliver() {
  // Nothing goes on the wire for a message whose addresses could break the dialogue.
  msg_.CheckAddresses();
  return smtp_.Send(msg_);
}

std::string TNoticeDispatcher::SentLine() const {
  std::string to;
  for (const TEMailAddressList* list : {&msg_.Recipients, &msg_.CCList, &msg_.BccList})
    for (const TEMailAddressItem& item : *list) to += (to.empty() ? "" : ", ") + item.Address;
  return to.empty() ? "Mail sent." : "Mail sent to " + to + ".";
}

void TNoticeDispatcher::Stamp(TStoreTable& dataSet, const TBookmark& sent,
                              const std::string& subject) {
  // The person may have moved on while the window served events during the send.
  const TBookmark here = dataSet.GetBookmark();
  const bool moved = here.slot != sent.slot || here.logicalId != sent.logicalId;
  if (moved) dataSet.GotoBookmark(sent);
  dataSet.Edit();
  try {
    const char* field = subject.find("DMCA") != std::string::npos ? "LastDMCASent" : "LastSent";
    dataSet.FieldByName(field).SetAsDateTime(NowDateTime());
    dataSet.Post();
  } catch (...) {
    // No half-stamped record stays in editing, to be stored by the next move.
    dataSet.Cancel();
    throw;
  }
  if (moved && here.Valid()) {
    try {
      dataSet.GotoBookmark(here);
    } catch (...) {
    }
  }
}

void TNoticeDispatcher::SendNotice(const std::string& subject) {
  if (busy_) return;
  TStoreTable& dataSet = Grid();
  dataSet.Edit();
  dataSet.Post();
  const TBookmark sent = dataSet.GetBookmark();

  const std::string emails = dataSet.FieldByName("E-mails").AsString();
  const std::string bad = FindBadAddress(emails);
  if (!bad.empty()) {
    ui_.ShowMessage("Bad email: " + bad);
    return;
  }
  const std::string recipients(TrimControls(emails));

  struct BusyScope {
    TNoticeDispatcher& d;
    explicit BusyScope(TNoticeDispatcher& dispatcher) : d(dispatcher) { d.SetBusy(true); }
    ~BusyScope() { d.SetBusy(false); }
  } busy(*this);

  if (SmtpConfigured()) {
    bool sent = false;
    try {
      BusyCursor cursor(ui_);
      PrepareMessage(recipients, subject);
      sent = Deliver();
    } catch (const std::exception& e) {
      // The reason stands in the memo before the box, which hides the window until OK.
      for (const std::string& line : SplitTextLines(e.what())) SMTPStatus(line);
      ui_.ShowMessage("Could not send mail, you may have an invalid SMTP host");
    }
    if (sent) SMTPStatus(SentLine());
  } else {
    ui_.ShowMessage("Invalid SMTP server parameters.");
  }
  Stamp(dataSet, sent, subject);
}

void TNoticeDispatcher::PreviewNotice() {
  const std::string file = MakeTempFileName();
  std::string text;
  for (const std::string& line : noticeLines_) text += line + "\r\n";
  if (!WriteWholeFile(file, text)) throw std::runtime_error("Unable to write to " + file);
  OpenInTextEditor(ui_, file);
}

void TNoticeDispatcher::SendComplaintMail1Click() {
  if (busy_) return;
  const NoticeKind kind = ComposeNotice(Grid(), config_, ui_, noticeLines_);
  if (kind == NoticeKind::None) return;
  const std::string& subjectTemplate =
      kind == NoticeKind::TosOnly ? config_.TOSSubject : config_.Subject;
  SendNotice(ExpandTemplate(Site(), subjectTemplate, true));
}

void TNoticeDispatcher::PreviewComplaintMail1Click() {
  if (busy_) return;
  if (ComposeNotice(Grid(), config_, ui_, noticeLines_) == NoticeKind::None) return;
  PreviewNotice();
}

void TNoticeDispatcher::PreviewDMCAReport1Click() {
  if (busy_) return;
  BuildDmcaNotice(Site(), noticeLines_);
  PreviewNotice();
}

void TNoticeDispatcher::SendDMCAComplaintMail1Click() {
  if (busy_) return;
  TStoreTable& site = Site();
  if (TrimControls(site.FieldByName("DMCAUrls").AsString()).empty()) {
    ui_.ShowMessage("The DMCA Urls field must be properly entered before sending a DMCA notice.");
    return;
  }
  BuildDmcaNotice(site, noticeLines_);
  SendNotice(kDmcaSubject);
}

}  // namespace quellor
