// Icons of the tool strip and the record navigator: the desktop theme's icon of a name from the
// freedesktop icon naming list when the theme has one, else the program's own drawing of it
// (resources/icons/<name>-24.png and -48.png, built into the program). Under a dark palette
// the program's own drawings are lightened so that they stand out from the background.
#pragma once

#include <QIcon>

namespace quellor {

// The theme's icon `name`, or the program's own icon `name` when the theme has none.
QIcon ThemeIcon(const char* name);
// The program's own icon `name` (empty when it ships none).
QIcon OwnIcon(const char* name);

}  // namespace quellor
