// Start-up of the program, in its fixed order: the settings object, the program folder, the last
// company and its settings, the application title, the main window, the data module. An error in
// any step is shown in the standard error box and start-up goes on; the window is always shown.
#pragma once

#include <memory>

#include "app/Config.h"

namespace quellor {

class QtUi;
class TForm1;
class TDM;

class TStartUp {
 public:
  explicit TStartUp(QtUi& ui);
  ~TStartUp();

  // The steps from the settings object to the data module, then shows the window.
  // `programFolder` empty: the executable's folder.
  void Run(const std::string& programFolder = "");

  TConfig& Config() { return config_; }
  TForm1& Form() { return *form_; }
  TDM& DataModule() { return *dm_; }

 private:
  QtUi& ui_;
  TConfig config_;
  std::unique_ptr<TDM> dm_;
  std::unique_ptr<TForm1> form_;
};

}  // namespace quellor
