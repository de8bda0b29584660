#include "app/Config.h"

#include "app/Include.h"
#include "platform/Files.h"
#include "platform/IniFile.h"

namespace quellor {

namespace {

const char* const kWordingDefaults[15] = {
    "Please shut down this site:",
    "The above site is linking to sites engaging in illegal activity relating to software "
    "copyright violations. The Linked to sites are violating software copyrights via the "
    "following means:",
    "The above site is engaging in illegal activity relating to software copyright violations. "
    "It is violating software copyrights via the following means:",
    "making available software cracks (crackz) - software patches used to disable software "
    "purchase incentives (nag screens, time limits, feature limitations)",
    "making available illegally obtained software serial numbers (serialz) - used to illegally "
    "unlock copyright protected software",
    "making available illegally copied software (warez) - full retail versions of software made "
    "available for Internet download or sold on CD's without the authors consent",
    "The following are direct links to some of the files on the site:",
    "Note that linking to a site hosting illegal material is just as bad as hosting the "
    "material. Just as planning and financing a murder is just as bad as committing the "
    "murder. Both cases involve someone helping another to commit a crime.",
    "The hypertext links are \"Information Location Tools\" as described in, and proscribed by, "
    "Section 512(d) of Title 17, United States Code.",
    "above site is engaging in the following activity that may be against your TOS/AUP:",
    "providing instructions (Tutes/Tutorialz) on how to disable software copyright protections",
    "providing a discussion forum (Forumz) devoted to bypassing software copyright protections",
    "providing software tools or links to software tools (Toolz) used by crackers to disable "
    "software copyright protections",
    "contains explicit pornographic images or contains links to sites hosting such images",
    "providing information on how to break into computer systems for malicious purposes",
};

}  // namespace

const std::array<TConfig::Wording, 15>& TConfig::WordingFields() {
  static const std::array<Wording, 15> fields = {{
      {"CloseRequest", "Close request", &TConfig::CloseRequest},
      {"LinkToSites", "Link to sites", &TConfig::LinkToSites},
      {"DirectLinkSites", "Direct link sites", &TConfig::DirectLinkSites},
      {"Cracks", "Cracks", &TConfig::Cracks},
      {"Serials", "Serials", &TConfig::Serials},
      {"Warez", "Warez", &TConfig::Warez},
      {"DirectLinkUrls", "Direct links only", &TConfig::DirectLinkUrls},
      {"LinksOnly", "Links only", &TConfig::LinksOnly},
      {"USALinksOnly", "USA links only", &TConfig::USALinksOnly},
      {"TOS", "TOS", &TConfig::TOS},
      {"Tutes", "Tutes", &TConfig::Tutes},
      {"Forumz", "Forumz", &TConfig::Forumz},
      {"Toolz", "Toolz", &TConfig::Toolz},
      {"Porn", "Porn", &TConfig::Porn},
      {"Hackz", "Hackz", &TConfig::Hackz},
  }};
  return fields;
}

std::string EncodeFragment(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\r' || c == '\n') {
      out += "\\n";
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += c;
    }
  }
  return out;
}

std::string ProtectValue(const std::string& value) {
  bool edgeBlank = !value.empty() && (value.front() == ' ' || value.front() == '\t' ||
                                      value.back() == ' ' || value.back() == '\t');
  bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front();
  return edgeBlank || quoted ? "\"" + value + "\"" : value;
}

std::string WithoutFinalLineBreaks(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

std::string DecodeFragment(const std::string& stored) {
  std::string out;
  out.reserve(stored.size());
  for (size_t i = 0; i < stored.size(); ++i) {
    if (stored[i] == '\\' && i + 1 < stored.size() &&
        (stored[i + 1] == 'n' || stored[i + 1] == '\\')) {
      out += stored[i + 1] == 'n' ? "\r\n" : "\\";
      ++i;
    } else {
      out += stored[i];
    }
  }
  return out;
}

std::string DefaultKilledSiteFolder() {
  return UserDocumentsFolder();
}

std::string TConfig::GlobalFileName() {
  return ProgramFolder() + "Quellor.Ini";
}

std::string TConfig::CompanyFileName() const {
  return ProgramFolder() + "Quellor" + Company + ".ini";
}

void TConfig::ReadLastCompany() {
  KilledFilter = "False";
  Company = TIniFile(GlobalFileName()).ReadString("Defaults", "LastCompany", "");
}

void TConfig::WriteLastCompany() {
  TIniFile(GlobalFileName()).WriteString("Defaults", "LastCompany", Company);
}

void TConfig::ReadSettings() {
  KilledFilter = "False";
  TIniFile ini(CompanyFileName());
  HostName = ini.ReadString("Mail", "HostName", ConfigDefault::HostName);
  Port = ini.ReadInteger("Mail", "Port", ConfigDefault::Port);
  From = ini.ReadString("Mail", "From", ConfigDefault::From);
  Subject = ini.ReadString("Mail", "Subject", ConfigDefault::Subject);
  TOSSubject = ini.ReadString("Mail", "TOSSubject", ConfigDefault::TOSSubject);
  SignOn = ini.ReadString("Mail", "SignOn", ConfigDefault::SignOn);
  LoginID = ini.ReadString("Mail", "LoginID", "");
  Password = ini.ReadString("Mail", "Password", "");
  Authentication = ini.ReadBool("Mail", "Authentication", false);
  KilledSiteFolder = ini.ReadString("Data", "KilledSiteFolder", "");
  if (KilledSiteFolder.empty() || KilledSiteFolder == ConfigDefault::OldKilledSiteFolder)
    KilledSiteFolder = DefaultKilledSiteFolder();
  SiteVer = ini.ReadFloat("Data", "SiteVer", ConfigDefault::SiteVer);
  const auto& wording = WordingFields();
  for (size_t i = 0; i < wording.size(); ++i) {
    this->*wording[i].field = WithoutFinalLineBreaks(
        DecodeFragment(ini.ReadString("Wording", wording[i].key, kWordingDefaults[i])));
  }
}

void TConfig::WriteSettings() {
  TIniFile ini(CompanyFileName());
  auto writeString = [&ini](const char* section, const char* key, const std::string& value) {
    ini.WriteString(section, key, ProtectValue(value));
  };
  writeString("Mail", "HostName", HostName);
  ini.WriteInteger("Mail", "Port", Port);
  writeString("Mail", "From", From);
  writeString("Mail", "Subject", Subject);
  writeString("Mail", "TOSSubject", TOSSubject);
  writeString("Mail", "SignOn", SignOn);
  writeString("Mail", "LoginID", LoginID);
  writeString("Mail", "Password", Password);
  ini.WriteBool("Mail", "Authentication", Authentication);
  writeString("Data", "KilledSiteFolder",
              KilledSiteFolder == DefaultKilledSiteFolder() ? std::string() : KilledSiteFolder);
  ini.WriteFloat("Data", "SiteVer", SiteVer);
  for (const auto& w : WordingFields())
    writeString("Wording", w.key, EncodeFragment(this->*w.field));
}

}  // namespace quellor
