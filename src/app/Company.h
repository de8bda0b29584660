// The File > Company submenu: the companies found in the program folder at start-up and the
// commands that switch between them, start a new company and return to the default one.
//
// The submenu is two fixed items, "&New company" and "&Default", then one item per file of the
// program folder named "Quellor*.ini" (without regard to case), captioned with the company's
// name: FileBaseName of the file with its first "Quellor" removed; the global settings file
// gives no item. Choosing an item checks it alone; a new company gets an item of its own,
// checked alone. The window's title is "Quellor - " + company ("Quellor - default" for the
// default company, at start as after "&Default").
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quellor {

class TConfig;
class Ui;

struct TCompanyItem {
  std::string caption;
  bool checked = false;
};

class TCompanyMenu {
 public:
  static constexpr int kNewCompany = 0;
  static constexpr int kDefault = 1;
  static constexpr int kFirstCompany = 2;

  TCompanyMenu(TConfig& config, Ui& ui);

  // Builds the items from the program folder and sets the title (window creation step).
  void Build();

  const std::vector<TCompanyItem>& Items() const { return items_; }
  const std::string& Title() const { return title_; }
  // Called after every change of items or title, for the window to show them.
  std::function<void()> OnChange;

  // The commands. Errors (a settings file that cannot be written) propagate to the caller,
  // which shows them in the standard error box; the state reached before the error stays.
  void Choose(int index);  // index into Items(), a company item
  void NewCompany();
  void Default();

 private:
  void CheckOnly(int index);
  void SetTitle(const std::string& name);
  void Changed();

  TConfig& config_;
  Ui& ui_;
  std::vector<TCompanyItem> items_;
  std::string title_;
};

// Why a typed company name cannot be used, or empty when it can: the name becomes part of a
// file name in the program folder, so it may hold no "/" and no NUL, and may not be "." or "..".
std::string InvalidCompanyNameReason(const std::string& name);

}  // namespace quellor
