// A Ui nobody looks at, for the benchmarks: every box is answered OK, progress is never
// cancelled, and what the person would have been told is kept in `messages`.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/Ui.h"

namespace quellor {

class SilentUi : public Ui {
 public:
  std::vector<std::string> messages;
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  void ShowError(const std::string& text) override { messages.push_back("error: " + text); }
  MbResult MessageBox(const std::string& text, const std::string&, MbButtons, MbIcon) override {
    messages.push_back(text);
    return MbResult::Ok;
  }
  std::optional<std::string> InputBox(const std::string&, const std::string&,
                                      const std::string&) override {
    return std::nullopt;
  }
  std::optional<std::string> OpenFileDialog(const std::string&, const std::vector<FileFilter>&,
                                            const std::string&) override {
    return std::nullopt;
  }
  std::optional<std::string> SaveFileDialog(const std::string&, const std::vector<FileFilter>&,
                                            const std::string&, const std::string&) override {
    return std::nullopt;
  }
  std::optional<std::string> SelectFolder(const std::string&, const std::string&) override {
    return std::nullopt;
  }
  void BeginBusy() override {}
  void EndBusy() override {}
  void ProcessEvents() override {}
  void SetClipboardText(const std::string&) override {}
  std::string FindText() override { return {}; }
  void BeginProgress(const std::string&, int) override {}
  bool StepProgress(int, const std::string&) override { return false; }
  void EndProgress() override {}
};

}  // namespace quellor
