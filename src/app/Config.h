// TConfig: the Settings object. One instance for the whole run, created first and destroyed
// last; every subsystem reads its fields directly and only the options dialog writes them to
// the company's settings file.
//
// Files: the global settings file ProgramFolder + "Quellor.Ini" holds [Defaults] LastCompany;
// a company's settings file is ProgramFolder + "Quellor" + company + ".ini" (for the default
// company, whose name is empty, that is the global file itself). Sections [Mail], [Data] and
// [Wording]; see kWordingKeys and ReadSettings for every key and default.
//
// Multi-line wording fragments: the format holds one line per key, so the wording keys store a
// line break as the two characters "\n" and a backslash as "\\" (see EncodeFragment). A fragment
// without backslashes or line breaks is stored as it is, so files written by hand stay valid.
// A fragment never ends with a line break: the notice puts its own blank lines around it, and a
// final break would add one more. The Options dialog saves none, and reading drops any that a
// file holds (files saved by earlier versions of the dialog end every edited fragment with one).
#pragma once

#include <array>
#include <string>

namespace quellor {

class TConfig {
 public:
  // Every string empty, every number zero, every flag false (start-up step 2).
  TConfig() = default;

  std::string Company;
  std::string LoginID;
  std::string Password;
  std::string KilledSiteFolder;
  std::string KilledFilter;     // memory only: "True", "False" or empty
  std::string IPChangedFilter;  // memory only
  std::string PriorityFilter;   // memory only
  std::string HostName;
  std::string From;
  std::string Subject;
  std::string TOSSubject;
  std::string SignOn;
  // Wording fragments, in this order.
  std::string CloseRequest;
  std::string LinkToSites;
  std::string DirectLinkSites;
  std::string Cracks;
  std::string Serials;
  std::string Warez;
  std::string DirectLinkUrls;
  std::string LinksOnly;
  std::string USALinksOnly;
  std::string TOS;
  std::string Tutes;
  std::string Forumz;
  std::string Toolz;
  std::string Porn;
  std::string Hackz;
  int Port = 0;
  double SiteVer = 0;
  bool Authentication = false;

  // Sets KilledFilter to "False", then reads every key of the current company's file, the
  // default for each missing or unconvertible key. Company and the other two filters stay.
  void ReadSettings();
  // Writes every key, in order, into the current company's file. Throws EIniWriteError
  // ("Unable to write to " + file name); keys written before the failure stay written.
  void WriteSettings();
  // Sets KilledFilter to "False", then reads [Defaults] LastCompany of the global file.
  void ReadLastCompany();
  // Writes Company as [Defaults] LastCompany of the global file.
  void WriteLastCompany();

  // The current company's settings file and the global settings file.
  std::string CompanyFileName() const;
  static std::string GlobalFileName();

  // The wording fragments with their keys (also the options dialog's list).
  struct Wording {
    const char* key;
    const char* label;
    std::string TConfig::*field;
  };
  static const std::array<Wording, 15>& WordingFields();
};

// Defaults of the settings that have one.
namespace ConfigDefault {
inline constexpr const char* HostName = "mail.quellor.org";
inline constexpr int Port = 25;
inline constexpr const char* From = "Your Name <your.name@example.org>";
inline constexpr const char* Subject = "Software piracy notice: %url%";
inline constexpr const char* TOSSubject = "Possible TOS violation: %url%";
inline constexpr const char* SignOn = "Quellor";
// The killed-sites folder of older versions: the temporary folder, which every user of the
// machine shares. Read from a settings file it stands for the default below.
inline constexpr const char* OldKilledSiteFolder = "/tmp/";
inline constexpr double SiteVer = 1;
}  // namespace ConfigDefault

// The default killed-sites folder: the person's own documents folder (UserDocumentsFolder),
// ending with "/". A company's settings file is shared by everyone who uses the program folder,
// so it keeps the default as an empty KilledSiteFolder, which each person reads as their own
// folder.
std::string DefaultKilledSiteFolder();

// How a multi-line fragment is kept on one line of the settings file, and back.
std::string EncodeFragment(const std::string& text);
std::string DecodeFragment(const std::string& stored);
// The text without the line breaks (CR and LF) at its end.
std::string WithoutFinalLineBreaks(std::string text);
// A string value as written to the settings file: one extra pair of double quotes when the value
// has blanks at either end or is itself enclosed in quotes, which reading would otherwise strip.
std::string ProtectValue(const std::string& value);

}  // namespace quellor
