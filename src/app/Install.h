// Where the program keeps its files: the program folder of a ready or shared installation, or a
// per-user program folder for a program installed into a system prefix.
//
// A ready program folder holds the executable beside the tables (a build's program/ folder, or a
// folder that several people share). An installed program sits in <prefix>/bin with its defaults
// in <prefix>/share/quellor/ (help pages, notice footer, DMCA template); it never writes beside
// its executable. Instead it uses the person's own folder $XDG_DATA_HOME/quellor/ (by default
// ~/.local/share/quellor/), which it makes ready at start: the defaults copied where missing and
// the empty site and ISP tables created where missing.
#pragma once

#include <string>

namespace quellor {

// The installed defaults beside an executable in <prefix>/bin/: "<prefix>/share/quellor/" when
// that folder exists, else "". `exeFolder` ends with "/".
std::string InstalledDataFolder(const std::string& exeFolder);

// The person's own program folder, ending with "/": $XDG_DATA_HOME/quellor/ when that variable
// holds an absolute path, else $HOME/.local/share/quellor/.
std::string UserProgramFolder();

// True when the person may create files in `folder`. For root, whom access() always lets in,
// a folder whose mode has no write bit counts as not writable, as a read-only share would.
bool FolderWritable(const std::string& folder);

// The program folder for an executable in `exeFolder`:
//   - `exeFolder` itself when it holds the site table (a ready or shared program folder);
//   - else the per-user folder when the executable is installed (InstalledDataFolder is not
//     empty) or `exeFolder` cannot be written;
//   - else `exeFolder`, where the missing tables are reported as they are.
// The per-user folder is made ready (see above). Throws std::runtime_error naming the folder when
// it cannot be created or its tables cannot be made.
std::string ChooseProgramFolder(const std::string& exeFolder);

}  // namespace quellor
