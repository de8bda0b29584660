#include "app/Options.h"

#include <charconv>
#include <limits>

#include "app/Config.h"
#include "app/DialogFolders.h"
#include "app/Include.h"
#include "app/Ui.h"
#include "platform/Files.h"
#include "platform/IniFile.h"

namespace quellor {

namespace {

// Why a text box's value cannot be kept by the settings file as typed, or empty.
std::string UnstorableReason(const std::string& value) {
  if (value.find_first_of("\r\n") != std::string::npos)
    return "holds a line break, which the settings file cannot keep in this setting";
  if (value.find('\0') != std::string::npos)
    return "holds a NUL character, which the settings file cannot keep";
  if (value.size() > TIniFile::kMaxValueLength)
    return "is too long for the settings file (" + std::to_string(value.size()) +
           " bytes; at most " + std::to_string(TIniFile::kMaxValueLength) + ")";
  return {};
}

void CheckStorable(const char* label, const std::string& value) {
  std::string reason = UnstorableReason(value);
  if (!reason.empty()) throw EOptionsRefused(std::string("The value of ") + label + " " + reason);
}

}  // namespace

TOptionsFields OptionsFromSettings(const TConfig& config) {
  TOptionsFields f;
  f.HostName = config.HostName;
  f.Port = std::to_string(config.Port);
  f.From = config.From;
  f.Subject = config.Subject;
  f.TOSSubject = config.TOSSubject;
  f.SignOn = config.SignOn;
  f.Authentication = config.Authentication;
  f.LoginID = config.LoginID;
  f.Password = config.Password;
  f.KilledSiteFolder = config.KilledSiteFolder;
  return f;
}

int PortFromText(const std::string& text) {
  auto notInteger = [&text] {
    return EConvertError("'" + text + "' is not a valid integer value");
  };
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size() || text[i] == '+' || text[i] == '-') throw notInteger();
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data() + i, text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size()) throw notInteger();
  if (negative) value = -value;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
    throw notInteger();
  if (value < 1 || value > 65535)
    throw EConvertError("'" + text + "' is not a valid port: use a number from 1 to 65535");
  return static_cast<int>(value);
}

void OptionsOk(TConfig& config, const TOptionsFields& f) {
  const std::pair<const char*, const std::string*> texts[] = {
      {"SMTP Host", &f.HostName},     {"From", &f.From},
      {"Subject", &f.Subject},        {"Sign", &f.SignOn},
      {"TOS Subject", &f.TOSSubject}, {"LoginID", &f.LoginID},
      {"Password", &f.Password},      {"Killed site export folder", &f.KilledSiteFolder},
  };
  for (const auto& [label, value] : texts) CheckStorable(label, *value);
  if (!f.KilledSiteFolder.empty() && f.KilledSiteFolder.back() != '/')
    CheckStorable("Killed site export folder", f.KilledSiteFolder + "/");

  config.HostName = f.HostName;
  config.Port = PortFromText(f.Port);
  config.From = f.From;
  config.Subject = f.Subject;
  config.TOSSubject = f.TOSSubject;
  config.SignOn = f.SignOn;
  config.Authentication = f.Authentication;
  config.LoginID = f.LoginID;
  config.Password = f.Password;
  config.KilledSiteFolder = f.KilledSiteFolder;
  if (config.KilledSiteFolder.empty() || config.KilledSiteFolder.back() != '/')
    config.KilledSiteFolder += '/';
  config.WriteSettings();
}

// ---- Wording page ----------------------------------------------------------------------------

const std::vector<std::string>& WordingEntries() {
  static const std::vector<std::string> entries = [] {
    std::vector<std::string> list;
    for (const auto& w : TConfig::WordingFields()) list.push_back(w.label);
    list.push_back("Notice footer");
    return list;
  }();
  return entries;
}

int WordingEntryOf(const std::string& text) {
  const auto& entries = WordingEntries();
  for (size_t i = 0; i < entries.size(); ++i)
    if (entries[i] == text) return static_cast<int>(i);
  return -1;
}

std::string NoticeFooterFileName() {
  return ResolveFileNoCase(ProgramFolder(), "noticeFooter.txt");
}

std::optional<std::string> WordingEditorText(const TConfig& config, int entry) {
  if (entry < 0 || entry > kNoticeFooterEntry) return std::nullopt;
  std::vector<std::string> lines;
  if (entry == kNoticeFooterEntry) {
    std::string name = NoticeFooterFileName(), bytes;
    if (!ReadWholeFile(name, &bytes)) throw EFileError("Cannot open file " + name);
    lines = SplitLines(bytes);
  } else {
    const std::string& fragment =
        config.*TConfig::WordingFields()[static_cast<size_t>(entry)].field;
    // The editor shows the value as it is: a final line break shows as an empty last line.
    std::string text;
    for (size_t i = 0; i < fragment.size(); ++i) {
      if (fragment[i] == '\r') {
        text += '\n';
        if (i + 1 < fragment.size() && fragment[i + 1] == '\n') ++i;
      } else {
        text += fragment[i];
      }
    }
    return text;
  }
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) text += '\n';
    text += lines[i];
  }
  return text;
}

std::string FragmentFromEditor(const std::string& editorText) {
  const std::vector<std::string> lines = SplitLines(editorText);
  std::string fragment;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) fragment += "\r\n";
    fragment += lines[i];
  }
  return WithoutFinalLineBreaks(fragment);
}

namespace {
// The footer file's text: every line followed by CR LF.
std::string FooterFromEditor(const std::string& editorText) {
  std::string text;
  for (const std::string& line : SplitLines(editorText)) text += line + "\r\n";
  return text;
}
}  // namespace

void WordingSave(TConfig& config, int entry, const std::string& editorText) {
  if (entry >= 0 && entry < kNoticeFooterEntry) {
    const auto& w = TConfig::WordingFields()[static_cast<size_t>(entry)];
    std::string fragment = FragmentFromEditor(editorText);
    std::string stored = EncodeFragment(fragment);
    if (fragment.find('\0') != std::string::npos)
      throw EOptionsRefused(std::string("The text of ") + w.label +
                            " holds a NUL character, which the settings file cannot keep");
    if (stored.size() > TIniFile::kMaxValueLength)
      throw EOptionsRefused(std::string("The text of ") + w.label +
                            " is too long for the settings file (" + std::to_string(stored.size()) +
                            " bytes as stored; at most " +
                            std::to_string(TIniFile::kMaxValueLength) + ")");
    config.*w.field = fragment;
  } else if (entry == kNoticeFooterEntry) {
    std::string name = NoticeFooterFileName();
    if (!WriteWholeFile(name, FooterFromEditor(editorText)))
      throw EFileError("Cannot create file " + name);
  }
  config.WriteSettings();
}

// ---- Folders page ------------------------------------------------------------------------------

std::optional<std::string> BrowseKilledSiteFolder(Ui& ui) {
  std::optional<std::string> folder =
      ui.SelectFolder("Killed site export folder", DialogFolder(kKilledSiteFolders));
  if (folder && !folder->empty())
    RememberDialogFolder(kKilledSiteFolders, folder->back() == '/' ? *folder : *folder + "/");
  return folder;
}

}  // namespace quellor
