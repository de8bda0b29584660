#include "notices/NoticeComposer.h"

#include <stdexcept>

#include "app/Config.h"
#include "app/Include.h"
#include "app/Ui.h"
#include "platform/Files.h"
#include "store/api/StoreTb.h"

namespace quellor {
namespace {

// Appends text as one or more lines: the line breaks it may hold start new lines.
void AddLine(std::vector<std::string>& lines, const std::string& text) {
  for (std::string& l : SplitTextLines(text)) lines.push_back(std::move(l));
}

void AddItem(std::vector<std::string>& lines, int& counter, const std::string& fragment) {
  AddLine(lines, std::to_string(counter++) + ")  " + fragment);
  lines.emplace_back();
}

}  // namespace

std::vector<std::string> SplitTextLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  lines.push_back(text.substr(start));
  return lines;
}

TNoticeSite ReadNoticeSite(TStoreTable& dataSet) {
  TNoticeSite s;
  auto text = [&](const char* name) { return dataSet.FieldByName(name).AsString(); };
  auto flag = [&](const char* name) {
    TStoreField& f = dataSet.FieldByName(name);
    return !f.IsNull() && f.AsBoolean();
  };
  s.Url = text("Url");
  s.IPAddr = text("IPAddr");
  s.Urls = text("Urls");
  s.Cracks = flag("Cracks");
  s.Serialz = flag("Serialz");
  s.Warez = flag("Warez");
  s.LinksOnly = flag("LinksOnly");
  s.USA = flag("USA");
  s.Tutes = flag("Tutes");
  s.Forumz = flag("Forumz");
  s.Toolz = flag("Toolz");
  s.Hacks = flag("Hacks");
  s.Porn = flag("Porn");
  return s;
}

bool HasCategory(const TNoticeSite& s) {
  return s.Cracks || s.Serialz || s.Warez || s.Tutes || s.Forumz || s.Porn || s.Hacks || s.Toolz;
}

NoticeKind KindOf(const TNoticeSite& s) {
  if (!HasCategory(s)) return NoticeKind::None;
  return s.Cracks || s.Serialz || s.Warez ? NoticeKind::Infringement : NoticeKind::TosOnly;
}

NoticeKind ComposeNoticeLines(const TNoticeSite& s, const TConfig& config,
                              const std::vector<std::string>& footerLines,
                              std::vector<std::string>& lines) {
  if (!HasCategory(s)) return NoticeKind::None;
  NoticeKind kind = NoticeKind::Infringement;
  std::vector<std::string> body;

  if (s.Cracks || s.Serialz || s.Warez) {
    body.emplace_back();
    AddLine(body, s.LinksOnly ? config.LinkToSites : config.DirectLinkSites);
    body.emplace_back();
    int n = 1;
    if (s.Cracks) AddItem(body, n, config.Cracks);
    if (s.Serialz) AddItem(body, n, config.Serials);
    if (s.Warez) AddItem(body, n, config.Warez);
    if (!s.Urls.empty()) {
      AddLine(body, config.DirectLinkUrls);
      AddLine(body, s.Urls);
      body.emplace_back();
    }
    if (s.LinksOnly) {
      AddLine(body, config.LinksOnly);
      if (s.USA) AddLine(body, config.USALinksOnly);
    }
  }

  if (s.Tutes || s.Forumz || s.Toolz || s.Hacks || s.Porn) {
    std::string prefix = "In addition the ";
    if (body.empty()) {
      prefix = "The ";
      kind = NoticeKind::TosOnly;
    }
    body.emplace_back();
    AddLine(body, prefix + config.TOS);
    body.emplace_back();
    int n = 1;
    if (s.Tutes) AddItem(body, n, config.Tutes);
    if (s.Forumz) AddItem(body, n, config.Forumz);
    if (s.Toolz) AddItem(body, n, config.Toolz);
    if (s.Hacks) AddItem(body, n, config.Hackz);
  }

  if (s.Porn) {
    AddLine(body, "The site also " + config.Porn);
    body.emplace_back();
  }

  for (const std::string& l : footerLines) body.push_back(l);
  body.emplace_back();

  std::vector<std::string> notice;
  AddLine(notice, config.CloseRequest);
  AddLine(notice, s.Url);
  if (!s.IPAddr.empty()) AddLine(notice, "IP Address: " + s.IPAddr);
  notice.insert(notice.end(), body.begin(), body.end());
  lines = std::move(notice);
  return kind;
}

std::vector<std::string> ReadProgramTextFile(const std::string& name) {
  const std::string path = ResolveFileNoCase(ProgramFolder(), name);
  std::string bytes;
  if (!ReadWholeFile(path, &bytes)) throw std::runtime_error("Cannot open file " + path);
  return SplitLines(bytes);
}

NoticeKind ComposeNotice(TStoreTable& gridDataSet, const TConfig& config, Ui& ui,
                         std::vector<std::string>& noticeLines) {
  const TNoticeSite site = ReadNoticeSite(gridDataSet);
  if (!HasCategory(site)) {
    ui.ShowMessage(kNothingSetText);
    return NoticeKind::None;
  }
  const std::vector<std::string> footer = ReadProgramTextFile("noticeFooter.txt");
  return ComposeNoticeLines(site, config, footer, noticeLines);
}

}  // namespace quellor
