// Where the file dialogs start: in the folder of the file the person last chose for that kind
// of file (CSV files, SQL files, saved web pages, the killed-sites folder), else in the
// person's documents folder (UserDocumentsFolder). Never in the program folder when that is a
// hidden folder (an installed program keeps its data in ~/.local/share/quellor), which the
// person never chose to keep files in. The folders are kept for the run; the main window keeps
// them across starts in the person's own settings.
#pragma once

#include <map>
#include <string>

namespace quellor {

// The kinds of file the dialogs ask for.
inline constexpr const char* kCsvFiles = "CsvFiles";
inline constexpr const char* kSqlFiles = "SqlFiles";
inline constexpr const char* kHtmlFiles = "HtmlFiles";
inline constexpr const char* kKilledSiteFolders = "KilledSiteFolders";

// The folder a dialog for `kind` starts in, ending with "/". A remembered folder that no
// longer exists, or lies in a hidden program folder, gives way to the documents folder.
std::string DialogFolder(const std::string& kind);
// Notes the folder the person used for `kind`: the folder of `file`, or `file` itself when it
// ends with "/" or names an existing folder (a folder picker's answer). Empty: nothing.
void RememberDialogFolder(const std::string& kind, const std::string& file);

// Every kind's remembered folder, to keep them across starts, and putting them back.
std::map<std::string, std::string> DialogFolders();
void SetDialogFolders(const std::map<std::string, std::string>& folders);

}  // namespace quellor
