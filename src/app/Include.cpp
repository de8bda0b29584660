#include "app/Include.h"

#include <cctype>
#include <cstdlib>
#include <cwchar>
#include <memory>

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

namespace {
UrlLauncher& TestLauncher() {
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

const char* const kLaunchError = "Launch Error";
const char* const kBrowserSentence = "Could not start your Internet browser";

void ShowLaunchFailure(Ui& ui, const std::string& text) {
  ui.MessageBox(text, kLaunchError, MbButtons::Ok, MbIcon::None);
}
}  // namespace

bool LaunchReported(Ui& ui, const std::vector<TLaunchCommand>& commands,
                    const LaunchSentence& sentence, const std::string& hint) {
  std::weak_ptr<UiPoster> poster = ui.Poster();
  Ui* target = &ui;
  // Runs on the thread that watched the program: the box goes to the window's event loop. The
  // posted call runs only while the Ui exists (its poster is closed with it).
  auto onFailure = [poster, target, sentence](const std::string& program,
                                              const std::string& reason) {
    std::shared_ptr<UiPoster> p = poster.lock();
    if (!p) return;
    std::string text = sentence(program) + "\n" + reason + ".";
    p->Post([target, text] { ShowLaunchFailure(*target, text); });
  };
  TLaunchStart start = LaunchFirst(commands, onFailure);
  if (start.Started()) return true;
  std::string text = sentence("");
  if (!start.failure.empty()) text += "\n" + start.failure;
  if (!hint.empty()) text += "\n" + hint;
  ShowLaunchFailure(ui, text);
  return false;
}

bool LaunchFile(Ui& ui, const std::string& name) {
  std::vector<TLaunchCommand> commands = ShellOpenCommands(name);
  if (commands.empty()) {
    ShowLaunchFailure(ui, "Could not launch " + name + "\nNo program or file of that name.");
    return false;
  }
  return LaunchReported(
      ui, commands, [name](const std::string&) { return "Could not launch " + name; },
      "Install xdg-utils so that documents open in the desktop's programs.");
}

void SetUrlLauncher(UrlLauncher launcher) {
  TestLauncher() = std::move(launcher);
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
  if (TestLauncher()) {
    if (TestLauncher()(target)) return true;
    ShowLaunchFailure(ui, kBrowserSentence);
    return false;
  }
  // A web address, a file:// page or a document: the desktop's default program for it.
  return LaunchReported(
      ui, DesktopOpenCommands(target), [](const std::string&) { return kBrowserSentence; },
      "Install xdg-utils and a web browser.");
}

bool OpenInTextEditor(Ui& ui, const std::string& file) {
  return LaunchReported(
      ui, TextEditorCommands(file),
      [](const std::string& program) {
        return "Could not launch " + (program.empty() ? std::string("a text editor") : program);
      },
      "Set VISUAL to your editor (or EDITOR, with TERMINAL naming a terminal, for one that runs "
      "in a terminal), or install a desktop text editor or xdg-utils.");
}

std::string MakeTempFileName() {
  return CreateUniqueFile(TempFolder(), "_TR", ".tmp");
}

}  // namespace quellor
