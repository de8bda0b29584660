// The update check: compares the program's version and the version of the person's site data
// with the version file "quellorver.ini" in the program folder, says when a newer program exists
// and records a newer site-data version in the settings (in memory).
//
// Nothing is fetched: DownloadFile transfers nothing, so the check works on a version file that
// was put into the program folder by other means, and applying the site-data archive changes no
// table (UpdateSiteData always succeeds).
#pragma once

#include <string>

namespace quellor {

class TConfig;
class Ui;

// The program's own version, as the version file compares it.
inline constexpr double kProgramVersion = 1.2;

// The maker's server has no configured host; a build that fetches would take it from its own
// configuration. Transfers nothing and leaves `localFile` as it is.
void DownloadFile(const std::string& remoteAddress, const std::string& localFile);

// Applies the site-data archive to the tables: changes nothing and reports success.
bool UpdateSiteData();

// "Check for &Update": the messages through `ui`, a newer site-data version into config.SiteVer.
void CheckforUpdate1Click(Ui& ui, TConfig& config);

}  // namespace quellor
