// Shell and text helpers shared by the program's commands: the program folder, the host of a
// Url, the base name of a file, temporary files, and handing documents, programs and web
// addresses to the desktop.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quellor {

class Ui;

// The absolute folder of the executable, ending with "/". Computed once at start
// (InitProgramFolder); tests point it at a folder of their own with SetProgramFolder.
const std::string& ProgramFolder();
void InitProgramFolder();
void SetProgramFolder(const std::string& folder);

// The host name of a Url: backslashes read as slashes; the text after the first "://" up to the
// first "/" is the authority, and the host is the authority up to its first ":". Without "://"
// the host is empty. Nothing is trimmed. A byte that is the second byte of a multi-byte
// character of the system's code page is never taken for a backslash.
std::string HostFromUrl(const std::string& url);

// The file name without its folder, cut before the first occurrence of its extension (the text
// from the last dot on). A name without an extension gives the empty string.
std::string FileBaseName(const std::string& path);

// Opens a program or document; on failure shows "Could not launch " + name with the caption
// "Launch Error" and returns false.
bool LaunchFile(Ui& ui, const std::string& name);
// Opens a web address or document (the address as WebAddress gives it) through the Url
// launcher; when the launcher fails shows "Launch Error" with the caption "Could not start your
// Internet browser" and returns false.
bool OpenUrl(Ui& ui, const std::string& address);

// The address a Url opens as: blanks around it are dropped, and a Url without a scheme
// ("scheme://" or "mailto:" at its start) is a web host and gets "http://" in front. An empty
// Url and a path starting with "/" stay as they are.
std::string WebAddress(const std::string& url);

// What hands an address to the desktop: true when a program took it. The system's launcher
// gives a web address to xdg-open and watches it for 0.8 seconds, so that a desktop without a
// browser (xdg-open ending with an error) counts as a failure; other names go to ShellOpen.
// Tests put in a launcher of their own; an empty one brings back the system's.
using UrlLauncher = std::function<bool(const std::string& address)>;
void SetUrlLauncher(UrlLauncher launcher);
bool SystemUrlLauncher(const std::string& address);

// The text editor that previews and SQL files open in, as a program and its leading arguments:
// the words of $VISUAL when it is set, else the first desktop editor found on PATH
// (gnome-text-editor, gedit, kate, kwrite, mousepad, pluma, xed, featherpad, leafpad), else
// "xdg-open".
std::vector<std::string> TextEditorCommand();

// A new, empty, uniquely named file in the temporary folder: "_TR" + hexadecimal number +
// ".tmp". Throws std::runtime_error when the temporary folder cannot take a new file.
std::string MakeTempFileName();

}  // namespace quellor
