// The complaint notice composer: the text of a complaint to a site's Internet service provider,
// put together from the wording fragments of the settings, chosen and numbered by the site's
// category flags, and closed by the footer file "noticeFooter.txt" of the program folder.
//
// A notice, line by line (every part after the address block only when its flags ask for it):
//
//   CloseRequest                      fragment
//   <Url>
//   IP Address: <IPAddr>              only when IPAddr is not empty
//                                     infringement section (Cracks, Serialz or Warez):
//   <blank>
//   LinkToSites | DirectLinkSites     LinkToSites when LinksOnly is set
//   <blank>
//   1)  Cracks / Serials / Warez      numbered from 1, each followed by a blank line
//   <blank>
//   DirectLinkUrls, <Urls>, <blank>   when Urls is not empty
//   LinksOnly [, USALinksOnly]        when LinksOnly is set (USALinksOnly also needs USA)
//                                     terms-of-service section (Tutes, Forumz, Toolz, Hacks, Porn):
//   <blank>
//   "In addition the " | "The " + TOS "The " when there was no infringement section
//   <blank>
//   1)  Tutes / Forumz / Toolz / Hackz numbered from 1 again, each followed by a blank line
//   The site also <Porn>, <blank>     when Porn is set; never numbered
//   <footer lines>, <blank>
//
// Field values and fragments go in exactly as stored; a fragment or value holding line breaks
// becomes as many lines of the notice.
#pragma once

#include <string>
#include <vector>

namespace quellor {

class TConfig;
class TStoreTable;
class Ui;

// Which notice the composer wrote; it decides the mail subject.
enum class NoticeKind {
  None,          // no category flag set: nothing written, nothing to send
  Infringement,  // Cracks, Serialz or Warez set: the Subject setting
  TosOnly,       // only terms-of-service flags: the TOSSubject setting
};

// The fields of a site record the composer reads.
struct TNoticeSite {
  std::string Url;
  std::string IPAddr;
  std::string Urls;
  bool Cracks = false;
  bool Serialz = false;
  bool Warez = false;
  bool LinksOnly = false;
  bool USA = false;
  bool Tutes = false;
  bool Forumz = false;
  bool Toolz = false;
  bool Hacks = false;
  bool Porn = false;
};

// The composer's fields of the current record of `dataSet` (the site table, or a query result
// with these columns). An empty (null) flag reads as not set. A missing column raises the
// dataset's "Field '...' not found" error.
TNoticeSite ReadNoticeSite(TStoreTable& dataSet);

// True when at least one of the eight category flags is set.
bool HasCategory(const TNoticeSite& site);

// The kind a site's flags give (None, Infringement or TosOnly).
NoticeKind KindOf(const TNoticeSite& site);

// Composes the notice of `site` from the wording of `config` and the footer's lines. Returns
// the kind; on None `lines` is left alone, otherwise replaced by the notice.
NoticeKind ComposeNoticeLines(const TNoticeSite& site, const TConfig& config,
                              const std::vector<std::string>& footerLines,
                              std::vector<std::string>& lines);

// What the person is told when the site has no category ticked: it names the check boxes that
// make a notice, since Links only and USA alone make none.
inline constexpr const char* kNothingSetText =
    "nothing set: no category of this site is ticked. Tick at least one of Cracks, Serials, "
    "Warez, Tutes, Forumz, Toolz, Porn or Hackz (Links only and USA only change the wording).";

// The command's composer: reads the current record of `gridDataSet`; with no category set
// shows kNothingSetText and returns None. Otherwise reads ProgramFolder + "noticeFooter.txt"
// (a missing or unreadable file raises "Cannot open file " + its path, and `noticeLines` is
// left alone) and replaces `noticeLines` with the notice.
NoticeKind ComposeNotice(TStoreTable& gridDataSet, const TConfig& config, Ui& ui,
                         std::vector<std::string>& noticeLines);

// The lines of a text file of the program folder (CR, LF or CR LF), or raises
// "Cannot open file " + the full path when it cannot be read.
std::vector<std::string> ReadProgramTextFile(const std::string& name);

// Splits text at its line breaks (CR LF, CR or LF) into lines; a text without any is one line
// (an empty text one empty line).
std::vector<std::string> SplitTextLines(const std::string& text);

}  // namespace quellor
