// The Qt Ui with its message boxes and clipboard recorded instead of shown, for tests that run
// the real windows offscreen: `calls` holds what the person would have been told, in order.
#pragma once

#include <string>
#include <vector>

#include "app/ui/QtUi.h"

namespace quellor::test {

class RecordingQtUi : public QtUi {
 public:
  std::vector<std::string> calls;
  std::vector<MbResult> defaults;  // the default button of each box that names one
  MbResult answer = MbResult::Ok;  // what a box with a default button answers

  void ShowMessage(const std::string& text) override { calls.push_back("message: " + text); }
  void ShowError(const std::string& text) override { calls.push_back("error: " + text); }
  MbResult MessageBox(const std::string& text, const std::string& caption, MbButtons,
                      MbIcon) override {
    calls.push_back("box: " + caption + "|" + text);
    return MbResult::Ok;
  }
  MbResult MessageBoxWithDefault(const std::string& text, const std::string& caption, MbButtons,
                                 MbIcon, MbResult defaultButton) override {
    calls.push_back("box: " + caption + "|" + text);
    defaults.push_back(defaultButton);
    return answer;
  }
  void SetClipboardText(const std::string& text) override { calls.push_back("clipboard: " + text); }
};

}  // namespace quellor::test
