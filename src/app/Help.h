// Help: HTML pages shipped in the program folder's "help/" folder and opened in the browser.
// The contents page is "help/index.html", the keyword index "help/keywords.html", and each help
// context has its own page: 30 the main window, 40 the options dialog, 50 the filters dialog.
#pragma once

#include <string>

namespace quellor {

class Ui;

inline constexpr int kHelpMainWindow = 30;
inline constexpr int kHelpOptions = 40;
inline constexpr int kHelpFilters = 50;

// The page for contents (context 0), keyword search (-1) or a help context.
std::string HelpPage(int context);

bool HelpContents(Ui& ui);
bool HelpKeywordSearch(Ui& ui);
bool HelpContext(Ui& ui, int context);

}  // namespace quellor
