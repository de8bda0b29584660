// The ISP contacts: the abuse addresses kept per provider domain in the ISP table, moved to and
// from the current site.
//
//   SaveIsp        "&Save ISP": the addresses shown in the Emails box are stored under the text
//                  of the Domain box (exactly as shown), replacing the addresses of a domain
//                  already stored (found by the ISP table's primary index) or in a new record
//   GetSiteEmails  "Get Emails": the addresses of the ISP records whose Domain occurs in the
//                  Domain box's text (TDM::GetEmails: case-sensitive substring, the last match in
//                  index order wins) replace the site's E-mails; the site is posted also when
//                  nothing matched
//
// An error of either table ends the command with that error. The edit the command began is
// cancelled then, so neither table is left half-changed or in edit state.
#pragma once

#include <string>

namespace quellor {

class TDM;

// SaveIsp returns true when it replaced the addresses of a domain already stored, false for a
// new record; GetSiteEmails returns the addresses it put into the site ("" when no domain
// matched). The window says so (IspSavedText, EmailsFoundText).
bool SaveIsp(TDM& dm, const std::string& domainText, const std::string& emailsText);
std::string GetSiteEmails(TDM& dm, const std::string& domainText);

// What the window shows after the commands.
std::string IspSavedText(const std::string& domainText, bool replaced);
std::string EmailsFoundText(const std::string& domainText, const std::string& emails);

}  // namespace quellor
