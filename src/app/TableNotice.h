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

// One line per finding, the site table first; `sites` or `isps` null: nothing to say about it.
std::string TableNoticeText(TStoreTable* sites, TStoreTable* isps);

}  // namespace quellor
