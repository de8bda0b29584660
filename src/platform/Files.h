// File-system helpers of the platform layer: names looked up without regard to case (the
// program folder's files were named on a system that ignores case), whole-file text reading
// that accepts CR, LF and CR LF, writing a file in one step, and the person's documents folder.
#pragma once

#include <string>
#include <vector>

namespace quellor {

// The existing entry of `folder` whose name equals `name` without regard to ASCII case; an exact
// match wins. When none exists, folder + name. `folder` ends with "/" or is empty (current
// folder).
std::string ResolveFileNoCase(const std::string& folder, const std::string& name);
// Same for a full path: the folder part is taken as it is, the last component is resolved.
std::string ResolvePathNoCase(const std::string& path);

// The names (without folder) of the regular files of `folder` that match `pattern` ("*" any
// text, "?" one character) without regard to ASCII case, in the order the folder listing gives.
std::vector<std::string> ListFilesNoCase(const std::string& folder, const std::string& pattern);

// ASCII case-insensitive comparison and search.
bool EqualsNoCase(const std::string& a, const std::string& b);
size_t FindNoCase(const std::string& text, const std::string& what, size_t from = 0);
bool WildcardMatchNoCase(const std::string& pattern, const std::string& text);

// Splits text into lines at CR LF, LF or CR; a final line break gives no empty last line.
std::vector<std::string> SplitLines(const std::string& text);

// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string* bytes);
// Writes a whole file through a new file in the same folder renamed over the old one, keeping
// the old file's mode. False (errno set) when it cannot be written, also when the existing file
// has no write bit for anyone.
bool WriteWholeFile(const std::string& path, const std::string& bytes);

// The person's documents folder, ending with "/": XDG_DOCUMENTS_DIR of the XDG user folders
// ($XDG_CONFIG_HOME/user-dirs.dirs, by default ~/.config/user-dirs.dirs; "$HOME/..." and plain
// absolute paths) when that folder exists, else ~/Documents when it exists, else the home
// folder ($HOME, else the password database's), else the temporary folder's "/tmp/".
std::string UserDocumentsFolder();

}  // namespace quellor
