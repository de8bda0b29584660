#include "app/Include.h"

#include <cctype>
#include <cstdlib>
#include <cwchar>

#include "app/Ui.h"
#include "platform/Shell.h"

namespace quellor {

namespace {
std::string AsciiLowerPrefix(const std::string& text, size_t n) {
  std::string out = text.substr(0, n);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

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

namespace {
UrlLauncher& Launcher() {
  static UrlLauncher launcher;
  return launcher;
}

bool HasScheme(const std::string& url) {
  if (url.size() >= 7 && AsciiLowerPrefix(url, 7) == "mailto:") return true;
  size_t i = 0;
  if (i >= url.size() || !std::isalpha(static_cast<unsigned char>(url[i]))) return false;
  while (i < url.size() && (std::isalnum(static_cast<unsigned char>(url[i])) || url[i] == '+' ||
                            url[i] == '-' || url[i] == '.'))
    ++i;
  return url.compare(i, 3, "://") == 0;
}

// How long a hand-over to xdg-open is watched for a failure. A desktop without a browser makes it
// fail within some tens of milliseconds; a launcher that runs the browser in its own process is
// still running when the time is up, and the window waits that long, so it stays under a second.
constexpr int kLauncherWatchMs = 800;
}  // namespace

void SetUrlLauncher(UrlLauncher launcher) {
  Launcher() = std::move(launcher);
}

bool SystemUrlLauncher(const std::string& address) {
  if (HasScheme(address)) return StartWatched("xdg-open", {address}, kLauncherWatchMs);
  return ShellOpen(address);
}

std::string WebAddress(const std::string& url) {
  size_t first = url.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  size_t last = url.find_last_not_of(" \t\r\n");
  std::string address = url.substr(first, last - first + 1);
  if (address[0] == '/' || HasScheme(address)) return address;
  return "http://" + address;
}

bool OpenUrl(Ui& ui, const std::string& address) {
  std::string target = WebAddress(address);
  bool opened;
  {
    BusyCursor busy(ui);
    opened = Launcher() ? Launcher()(target) : SystemUrlLauncher(target);
  }
  if (opened) return true;
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
