#include "lookup/IspContacts.h"

#include "data/DataMod.h"
#include "lookup/RecordEdit.h"

namespace quellor {

void SaveIsp(TDM& dm, const std::string& domainText, const std::string& emailsText) {
  TStoreTable& isp = dm.tblIsp;
  // FindKey posts a pending edit of the ISP table first.
  if (isp.FindKey({domainText})) {
    ChangeRecord(isp, [&] { isp.FieldByName("Emails").SetAsString(emailsText); });
    return;
  }
  isp.Append();
  try {
    isp.FieldByName("Domain").SetAsString(domainText);
    isp.FieldByName("Emails").SetAsString(emailsText);
    isp.Post();
  } catch (...) {
    if (isp.State() != TDataSetState::Browse) isp.Cancel();
    throw;
  }
}

void GetSiteEmails(TDM& dm, const std::string& domainText) {
  TStoreTable& sites = dm.tblCracks;
  ChangeRecord(sites, [&] {
    std::string emails = dm.GetEmails(domainText);
    if (!emails.empty()) sites.FieldByName("E-mails").SetAsString(emails);
  });
}

}  // namespace quellor
