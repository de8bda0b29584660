// Accepting a folder in the folder picker: a folder that does not exist yet may be typed, and the
// picker offers to create it, with any missing parent folders, before it accepts it.
#pragma once

#include <string>

namespace quellor {

class Ui;

inline constexpr const char* kCreateFolderQuestion =
    "The specified directory does not exist. Create it?";

// Whether the picker may end with `folder`: true for an existing folder; for a missing one the
// person is asked kCreateFolderQuestion (Yes, No): Yes creates it with its parents and accepts
// it, No keeps the picker open. A folder that cannot be created, or a name that is an existing
// file, is reported in the standard error box and keeps the picker open.
bool AcceptFolder(Ui& ui, const std::string& folder);

}  // namespace quellor
