// What stands in for the desktop shell: opening a document or web address in the program the
// desktop has for it, starting a program, the program's own folder and temporary files.
//
// ShellOpen decides how to open a name:
//  - a web address ("scheme://...", "mailto:...", or "www." + host) goes to xdg-open;
//  - a bare name without "/" found as an executable on PATH is started as a program;
//  - an existing path is started when it is an executable file, otherwise handed to xdg-open;
//  - anything else is refused.
// Programs are started detached (own session, no wait), like a double-click on the desktop.
// The result tells whether the name was accepted and the program started; what the started
// program does afterwards is not waited for.
#pragma once

#include <string>
#include <vector>

namespace quellor {

bool ShellOpen(const std::string& name);

// Starts `program` (searched on PATH when it holds no "/") with `args`, detached. False when it
// cannot be started (not found, not executable).
bool StartDetached(const std::string& program, const std::vector<std::string>& args);

// Starts `program` (searched on PATH when it holds no "/") with `args` in a session of its own
// and watches it for up to `waitMs` milliseconds. False when it cannot be started, or when it
// ends within that time with a non-zero exit status or by a signal; true when it ends with
// status 0 or is still running then (it is not waited for afterwards). This is how a hand-over
// to a launcher such as xdg-open finds out that no program could be found for the document.
bool StartWatched(const std::string& program, const std::vector<std::string>& args, int waitMs);

// Full path of an executable named `name` on PATH, or empty.
std::string FindOnPath(const std::string& name);

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
