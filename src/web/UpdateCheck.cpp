#include "web/UpdateCheck.h"

#include "app/Config.h"
#include "app/Include.h"
#include "app/Ui.h"
#include "platform/IniFile.h"
#include "platform/Locale.h"

namespace quellor {

namespace {

constexpr const char* kVersionFile = "quellorver.ini";
constexpr const char* kSiteArchive = "quellorsites.zip";
constexpr const char* kRemoteFolder = "/download/";

}  // namespace

void DownloadFile(const std::string& /*remoteAddress*/, const std::string& /*localFile*/) {}

bool UpdateSiteData() {
  return true;
}

void CheckforUpdate1Click(Ui& ui, TConfig& config) {
  const std::string local = ProgramFolder() + kVersionFile;
  DownloadFile(std::string(kRemoteFolder) + kVersionFile, local);

  // Values that do not read as finite numbers (text, NaN, overflow) give the defaults.
  TIniFile versions(local);
  const double quellorVer = versions.ReadFloat("Versions", "QuellorVer", kProgramVersion);
  const double crackVer = versions.ReadFloat("Versions", "CrackVer", 1.0);

  if (quellorVer > kProgramVersion) {
    ui.ShowMessage("Quellor version " +
                   FormatIniFloat(quellorVer, Locale::Current().decimalSeparator) + " " +
                   "is now available.");
  }
  if (crackVer > config.SiteVer) {
    DownloadFile(std::string(kRemoteFolder) + kSiteArchive, ProgramFolder() + kSiteArchive);
    if (UpdateSiteData()) {
      config.SiteVer = crackVer;
      ui.ShowMessage("Quellor data updated");
    }
  } else {
    ui.ShowMessage("Your Quellor data is up to date.");
  }
}

}  // namespace quellor
