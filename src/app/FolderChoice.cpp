#include "app/FolderChoice.h"

#include <filesystem>
#include <system_error>

#include "app/Ui.h"

namespace quellor {

bool AcceptFolder(Ui& ui, const std::string& folder) {
  namespace fs = std::filesystem;
  if (folder.empty()) return false;
  std::error_code ec;
  fs::file_status status = fs::status(folder, ec);
  if (fs::is_directory(status)) return true;
  if (fs::exists(status)) {
    ui.ShowError("'" + folder + "' is a file, not a folder");
    return false;
  }
  if (ui.MessageBox(kCreateFolderQuestion, "Confirm", MbButtons::YesNo, MbIcon::Question) !=
      MbResult::Yes)
    return false;
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder)) {
    ui.ShowError("Cannot create the folder " + folder + ": " +
                 (ec ? ec.message() : std::string("not a folder")));
    return false;
  }
  return true;
}

}  // namespace quellor
