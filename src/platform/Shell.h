// What stands in for the desktop shell: starting programs and learning how they ended, opening a
// document or web address in the program the desktop has for it, the person's text editor, the
// program's own folder and temporary files.
//
// Starting a program (StartProgram): the program is found on PATH (or taken as a path when its
// name holds a "/") and started with posix_spawn in a session of its own, its standard input and
// output on /dev/null, every signal at its default and none blocked (this program ignores
// SIGPIPE, and an ignored signal would otherwise stay ignored in the programs it starts). The
// caller never waits: whether the program could be started is known at once, and its end is
// waited for on a thread of its own, which reaps it (no zombie stays) and hands its exit status
// to the caller's handler however late it comes.
//
// Launching for the person (LaunchFirst) tries a list of commands in order and starts the first
// that can be started; the lists say what a Linux user expects:
//  - a text file (TextEditorCommands): the words of $VISUAL; then $EDITOR in a terminal, when
//    one is configured ($TERMINAL, else Debian's x-terminal-emulator), as "<terminal> -e
//    <editor> <file>"; then the desktop editors found on PATH (gnome-text-editor, gedit, kate,
//    kwrite, mousepad, pluma, xed, featherpad, leafpad); then the desktop's default for the file
//    through xdg-open;
//  - a web address or document (DesktopOpenCommands): xdg-open;
//  - a name the shell opens (ShellOpenCommands): a program found on PATH or an executable path
//    is started itself; a web address or an existing file goes to xdg-open; anything else is
//    refused.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace quellor {

// ---- Starting programs -------------------------------------------------------------------------

// How a started program ended.
struct TProgramEnd {
  bool exited = true;  // false: a signal ended it
  int code = 0;        // the exit status, or the number of the signal
  bool Succeeded() const { return exited && code == 0; }
};

// "<program> ended with exit status 3" or "<program> was ended by signal 9 (Killed)", with what
// xdg-open's documented exit statuses mean ("no program is set up to open it", ...).
std::string DescribeProgramEnd(const std::string& program, const TProgramEnd& end);

// Runs on the watching thread once the program has ended.
using ProgramEndHandler = std::function<void(const TProgramEnd&)>;

// Starts `program` with `args` as described above and returns at once: "" when it runs, else why
// it could not be started ("not found", or the system's reason such as "Permission denied").
// `onEnd`, when given, runs on a thread of its own when the program has ended.
std::string StartProgram(const std::string& program, const std::vector<std::string>& args,
                         ProgramEndHandler onEnd = nullptr);

// StartProgram without a handler: true when the program runs.
bool StartDetached(const std::string& program, const std::vector<std::string>& args);

// Full path of an executable named `name` on PATH (or `name` itself when it holds a "/" and is an
// executable file), or empty.
std::string FindOnPath(const std::string& name);

// Makes writes to a pipe or socket whose reader has gone fail with EPIPE instead of ending the
// program with SIGPIPE. The program calls it first thing; programs it starts get the signal's
// default back (see StartProgram).
void IgnoreBrokenPipes();

// ---- Launching for the person ------------------------------------------------------------------

// One way of opening something: the program and its arguments, and the name messages give it
// (the program itself unless set: "nano in xterm" for an editor run in a terminal).
struct TLaunchCommand {
  TLaunchCommand(std::vector<std::string> programAndArgs, std::string nameInMessages = {})
      : argv(std::move(programAndArgs)), name(std::move(nameInMessages)) {}
  std::vector<std::string> argv;
  std::string name;
  std::string Name() const { return name.empty() && !argv.empty() ? argv.front() : name; }
};

// The commands that open the text file `file` (none: the editor alone, and xdg-open, which needs
// a file, is left out), in the order given at the top.
std::vector<TLaunchCommand> TextEditorCommands(const std::string& file);
// xdg-open with the address or document.
std::vector<TLaunchCommand> DesktopOpenCommands(const std::string& target);
// What opens `name`: the program itself, or xdg-open; empty when nothing can open it.
std::vector<TLaunchCommand> ShellOpenCommands(const std::string& name);

// The outcome of LaunchFirst at the moment it returns.
struct TLaunchStart {
  std::string program;  // the name of the command started; empty when none could be
  std::string failure;  // when none: one line per command tried, "<name>: <why not>"
  bool Started() const { return !program.empty(); }
};

// Runs on the watching thread when the started program ends without success, with the command's
// name; `reason` is DescribeProgramEnd's text for that name.
using LaunchFailureHandler =
    std::function<void(const std::string& program, const std::string& reason)>;

// Starts the first of `commands` that can be started (StartProgram); `onFailure` learns if it
// later ends without success.
TLaunchStart LaunchFirst(const std::vector<TLaunchCommand>& commands,
                         LaunchFailureHandler onFailure);

// Opens `name` as ShellOpenCommands says, without reporting: true when a program was started.
bool ShellOpen(const std::string& name);

// ---- Folders and files -------------------------------------------------------------------------

// The folder of the running executable, ending with "/".
std::string ExecutableFolder();

// The folder for temporary files: $TMPDIR when set and a folder, else "/tmp/".
std::string TempFolder();

// Creates a new, empty file in `folder` named prefix + unique hexadecimal number + extension
// and returns its full path. Throws std::runtime_error with the reason when no file can be
// created there.
std::string CreateUniqueFile(const std::string& folder, const std::string& prefix,
                             const std::string& extension);

}  // namespace quellor
