// Shell and text helpers shared by the program's commands: the program folder, the host of a
// Url, the base name of a file, temporary files, and handing documents, programs and web
// addresses to the desktop.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/Shell.h"

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

// ---- Launching programs for the person ------------------------------------------------------
//
// Every launch goes through LaunchReported: the platform's launcher (platform/Shell.h) starts the
// first command of a list that can be started and never makes the window wait. A failure is
// reported in full in a box captioned "Launch Error" whose text is the sentence of the action
// followed by the reason on lines of their own:
//  - at once, when no command could be started (each program tried and why not, and a hint);
//  - later, from the window's event loop, when the started program ends with an error, however
//    long after (its exit status or signal).

// The sentence of a launch's failure: for the program that was started, or for "" when none
// could be.
using LaunchSentence = std::function<std::string(const std::string& program)>;

// Starts the first of `commands` that can be started and reports failures as above; `hint` is
// added when none could be started. True when a program was started.
bool LaunchReported(Ui& ui, const std::vector<TLaunchCommand>& commands,
                    const LaunchSentence& sentence, const std::string& hint);

// Opens a program or document (a program on PATH or an executable file is started, another file
// or a web address goes to the desktop's default); failure: "Could not launch " + name.
bool LaunchFile(Ui& ui, const std::string& name);
// Opens a web address or document (the address as WebAddress gives it) in the desktop's default
// program; failure: "Could not start your Internet browser".
bool OpenUrl(Ui& ui, const std::string& address);
// Opens `file` in the person's text editor (platform TextEditorCommands); without a file the
// editor starts alone. Failure: "Could not launch " + the editor, or "Could not launch a text
// editor" when none could be started.
bool OpenInTextEditor(Ui& ui, const std::string& file);

// The address a Url opens as: blanks around it are dropped, and a Url without a scheme
// ("scheme://" or "mailto:" at its start) is a web host and gets "http://" in front. An empty
// Url and a path starting with "/" stay as they are.
std::string WebAddress(const std::string& url);

// Tests put in a launcher of their own for web addresses: true when it took the address (a false
// answer is reported as a browser that could not be started). An empty one brings back the
// desktop's.
using UrlLauncher = std::function<bool(const std::string& address)>;
void SetUrlLauncher(UrlLauncher launcher);

// A new, empty, uniquely named file in the temporary folder: "_TR" + hexadecimal number +
// ".tmp". Throws std::runtime_error when the temporary folder cannot take a new file.
std::string MakeTempFileName();

}  // namespace quellor
