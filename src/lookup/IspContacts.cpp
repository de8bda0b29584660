#include "lookup/IspContacts.h"

#include "data/DataMod.h"
#include "lookup/RecordEdit.h"

namespace quellor {

bool SaveIsp(TDM& dm, const std::string& domainText, const std::string& emailsText) {
  TStoreTable& isp = dm.tblIsp;
  // FindKey posts a pending edit of the ISP table first.
  if (isp.FindKey({domainText})) {
    ChangeRecord(isp, [&] { isp.FieldByName("Emails").SetAsString(emailsText); });
    return true;
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
  return false;
}

std::string GetSiteEmails(TDM& dm, const std::string& domainText) {
  TStoreTable& sites = dm.tblCracks;
  std::string emails;
  ChangeRecord(sites, [&] {
    emails = dm.GetEmails(domainText);
    if (!emails.empty()) sites.FieldByName("E-mails").SetAsString(emails);
  });
  return emails;
}

std::string IspSavedText(const std::string& domainText, bool replaced) {
  return "The addresses of " + domainText +
         (replaced ? " were saved, replacing those stored before"
                   : " were saved as a new provider");
}

std::string EmailsFoundText(const std::string& domainText, const std::string& emails) {
  if (emails.empty())
    return "No provider of the ISP table matches " + domainText +
           "; the site's addresses stay as they were";
  return "The site's addresses are now those of its provider: " + emails;
}

}  // namespace quellor
