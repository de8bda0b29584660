#include "app/Company.h"

#include "app/Config.h"
#include "app/Include.h"
#include "app/Ui.h"
#include "platform/Files.h"

namespace quellor {

TCompanyMenu::TCompanyMenu(TConfig& config, Ui& ui) : config_(config), ui_(ui) {}

void TCompanyMenu::Build() {
  items_.clear();
  items_.push_back({"&New company", false});
  items_.push_back({"&Default", config_.Company.empty()});
  for (const std::string& file : ListFilesNoCase(ProgramFolder(), "Quellor*.ini")) {
    std::string name = FileBaseName(file);
    size_t at = FindNoCase(name, "Quellor");
    if (at != std::string::npos) name.erase(at, 7);
    if (name.empty()) continue;
    items_.push_back({name, name == config_.Company});
  }
  SetTitle(config_.Company);
  Changed();
}

void TCompanyMenu::CheckOnly(int index) {
  for (size_t i = 0; i < items_.size(); ++i) items_[i].checked = static_cast<int>(i) == index;
}

void TCompanyMenu::SetTitle(const std::string& name) {
  // The default company has no name: the title says "default", as after "&Default".
  title_ = "Quellor - " + (name.empty() ? std::string("default") : name);
}

void TCompanyMenu::Changed() {
  if (OnChange) OnChange();
}

void TCompanyMenu::Choose(int index) {
  if (index < kFirstCompany || index >= static_cast<int>(items_.size())) return;
  CheckOnly(index);
  std::string name = items_[index].caption;
  if (size_t amp = name.find('&'); amp != std::string::npos) name.erase(amp, 1);
  config_.Company = name;
  SetTitle(name);
  Changed();
  config_.WriteLastCompany();
  config_.ReadSettings();
}

void TCompanyMenu::NewCompany() {
  std::optional<std::string> answer = ui_.InputBox("New Company", "Enter new company name", "");
  if (!answer || answer->empty()) return;
  if (std::string reason = InvalidCompanyNameReason(*answer); !reason.empty()) {
    ui_.ShowError(reason);
    return;
  }
  config_.Company = *answer;
  SetTitle(*answer);
  // The new company is listed (unless a file gave it an item already) and checked alone.
  int index = -1;
  for (size_t i = kFirstCompany; i < items_.size(); ++i)
    if (items_[i].caption == *answer) index = static_cast<int>(i);
  if (index < 0) {
    items_.push_back({*answer, false});
    index = static_cast<int>(items_.size()) - 1;
  }
  CheckOnly(index);
  Changed();
  config_.WriteLastCompany();
  config_.ReadSettings();
}

void TCompanyMenu::Default() {
  CheckOnly(kDefault);
  config_.Company.clear();
  SetTitle("");
  Changed();
  config_.WriteLastCompany();
  config_.ReadSettings();
}

std::string InvalidCompanyNameReason(const std::string& name) {
  if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos || name == "." ||
      name == "..")
    return "The company name '" + name +
           "' cannot be used: it may not contain \"/\" and may not be \".\" or \"..\"";
  return {};
}

}  // namespace quellor
