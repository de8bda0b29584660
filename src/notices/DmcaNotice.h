// The DMCA notice: the person's template "dmca-template.txt" with the placeholders replaced by
// the current site's values, followed by one closing paragraph per kind of offence found; and
// the same placeholder expansion, without the paragraphs, for mail subjects.
//
// The DMCA Urls field: entries separated by ";", each entry fields separated by ",", cut by
// the quote-aware rule of GetCsvField (quotes keep separators, fields are trimmed):
//
//   field 1       address of the offending page
//   field 2       kind letter, exactly "C" (crack), "S" (serial numbers), "K" (key generator)
//                 or "W" (full-version downloads)
//   field 3 ...   software titles, up to the first empty field
//
//   e.g.  http://warez.example/a.html, C, Photo Editor 7, Sound Forge;
//         http://warez.example/b.html, S, "Office, Pro"
//
// The list ends at the first empty entry. Placeholders, replaced in this order, every
// occurrence, matched with their case: "%url%" (Url), "%IP%" (IPAddr), "%urls%" (one line per
// entry with an address: address, the kind's sentence, the titles joined by ", ", then an empty
// line), "%apps%" (every title once, sorted without regard to case in the user's language, one
// per line; titles that differ in case only are one title, of which the first spelling met is
// kept, while titles that differ in more than case, such as width or kana type, all stay), "%date%"
// (today as "<full month name> <day>, <year>", the month name in the user's language). Lines
// inserted end with CR LF.
//
// An entry whose kind is none of the four letters has no sentence: its line is the address, a
// space and the titles.
#pragma once

#include <string>
#include <vector>

namespace quellor {

class TStoreTable;

// The site fields the expansion reads.
struct TDmcaSite {
  std::string Url;
  std::string IPAddr;
  std::string DMCAUrls;
};

// A calendar date.
struct TDmcaDate {
  int year = 2000;
  int month = 1;  // 1..12
  int day = 1;
};

// Today's local date.
TDmcaDate TodayDate();
// "<full month name> <day>, <year>" with the month name of the user's language (LC_TIME).
std::string FormatDmcaDate(const TDmcaDate& date);

// The fields of the current record of the site table.
TDmcaSite ReadDmcaSite(TStoreTable& siteTable);

// One entry of the DMCA Urls field.
struct TDmcaEntry {
  std::string Address;
  std::string Kind;
  std::vector<std::string> Titles;
};
// The entries up to the first empty one.
std::vector<TDmcaEntry> ParseDmcaUrls(const std::string& dmcaUrls);

// The expansion for a site and a date. subjectOnly false (DMCA mode) appends the closing
// paragraphs, each followed by CR LF CR LF: Serialz, KeyGens, crack, each only when an entry
// of its kind was read.
std::string ExpandTemplateFor(const TDmcaSite& site, const std::string& text, bool subjectOnly,
                              const TDmcaDate& today);

// The expansion over the current record of the site table and today's date.
std::string ExpandTemplate(TStoreTable& siteTable, const std::string& text, bool subjectOnly);

// Reads ProgramFolder + "dmca-template.txt" (a missing file raises "Cannot open file " + path
// and leaves `noticeLines` alone) and replaces `noticeLines` with its DMCA-mode expansion split
// into lines.
void BuildDmcaNotice(TStoreTable& siteTable, std::vector<std::string>& noticeLines);
// The same for the template's lines, site and date given.
std::vector<std::string> BuildDmcaNoticeLines(const std::vector<std::string>& templateLines,
                                              const TDmcaSite& site, const TDmcaDate& today);

}  // namespace quellor
