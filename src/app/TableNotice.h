// The note the main window shows above its pages when the site table cannot be used as usual:
// missing from the program folder, present but closed, or read-only; and when the ISP table is
// missing. Empty when there is nothing to say.
#pragma once

#include <string>

namespace quellor {

class TStoreTable;

inline constexpr const char* kSiteTableMissing =
    "The site table is missing \xE2\x80\x94 create it with storetool init";
inline constexpr const char* kSiteTableClosed =
    "The site table could not be opened, so no sites are shown";
inline constexpr const char* kSiteTableReadOnly =
    "The site table is read-only: sites can be viewed but not added, changed or deleted";
inline constexpr const char* kIspTableMissing =
    "The ISP table is missing \xE2\x80\x94 create it with storetool init";

// What the status bar says while typing is held on a site another user edits: "<user> is
// editing this site" (or "Another user ..." when the store cannot tell who), and what to do.
std::string SiteHeldText(const std::string& holder);
// "<user> is editing this site" ("Another user ..." when unknown), without the advice.
std::string SiteEditedByText(const std::string& holder);

// One line per finding, the site table first; `sites` or `isps` null: nothing to say about it.
std::string TableNoticeText(TStoreTable* sites, TStoreTable* isps);

}  // namespace quellor
