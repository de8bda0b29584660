#include "app/Include.h"

#include <cstdlib>
#include <cwchar>

#include "app/Ui.h"
#include "platform/Shell.h"

namespace quellor {

namespace {
std::string& ProgramFolderStore() {
  static std::string folder;
  return folder;
}
}  // namespace

const std::string& ProgramFolder() {
  return ProgramFolderStore();
}
void InitProgramFolder() {
  ProgramFolderStore() = ExecutableFolder();
}
void SetProgramFolder(const std::string& folder) {
  ProgramFolderStore() = folder.empty() || folder.back() == '/' ? folder : folder + "/";
}

std::string HostFromUrl(const std::string& url) {
  std::string text = url;
  std::mbstate_t state{};
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '\\') text[i] = '/';
    size_t n = std::mbrlen(text.data() + i, text.size() - i, &state);
    if (n == 0 || n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
      state = std::mbstate_t{};
      n = 1;
    }
    i += n;
  }
  size_t scheme = text.find("://");
  if (scheme == std::string::npos) return {};
  std::string rest = text.substr(scheme + 3);
  std::string authority = rest.substr(0, rest.find('/'));
  return authority.substr(0, authority.find(':'));
}

std::string FileBaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind('.');
  if (dot == std::string::npos) return {};
  return name.substr(0, name.find(name.substr(dot)));
}

bool LaunchFile(Ui& ui, const std::string& name) {
  if (ShellOpen(name)) return true;
  ui.MessageBox("Could not launch " + name, "Launch Error", MbButtons::Ok, MbIcon::None);
  return false;
}

bool OpenUrl(Ui& ui, const std::string& address) {
  if (ShellOpen(address)) return true;
  ui.MessageBox("Launch Error", "Could not start your Internet browser", MbButtons::Ok,
                MbIcon::None);
  return false;
}

std::string MakeTempFileName() {
  return CreateUniqueFile(TempFolder(), "_TR", ".tmp");
}

namespace {
// Editors tried, in order, when $VISUAL is not set.
const char* const kDesktopEditors[] = {
    "gnome-text-editor", "gedit",  "kate", "kwrite", "mousepad", "pluma", "xed",
    "featherpad",        "leafpad"};
}  // namespace

std::vector<std::string> TextEditorCommand() {
  if (const char* visual = std::getenv("VISUAL"); visual && *visual) {
    std::vector<std::string> words;
    std::string word;
    for (const char* p = visual;; ++p) {
      if (*p == '\0' || *p == ' ' || *p == '\t') {
        if (!word.empty()) words.push_back(word);
        word.clear();
        if (*p == '\0') break;
      } else {
        word += *p;
      }
    }
    if (!words.empty()) return words;
  }
  for (const char* editor : kDesktopEditors)
    if (!FindOnPath(editor).empty()) return {editor};
  return {"xdg-open"};
}

}  // namespace quellor
