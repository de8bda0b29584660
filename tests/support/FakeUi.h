// A recording Ui for tests: every call is appended to `calls` as one line
// ("message: text", "error: text", "box: caption|text", "input: caption|prompt|initial", ...),
// and answers are taken from the queues a test fills beforehand. A progress window records
// "progress: caption|total" and "progress end"; its steps only update the counters below.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "app/Ui.h"

namespace quellor::test {

class FakeUi : public Ui {
 public:
  std::vector<std::string> calls;
  std::deque<MbResult> boxAnswers;  // default Ok / Yes
  // The default button of each box asked with one (MessageBoxWithDefault), in order.
  std::vector<MbResult> boxDefaults;
  std::deque<std::optional<std::string>> inputAnswers;  // default: cancelled
  std::deque<std::optional<std::string>> fileAnswers;   // open, save and folder dialogs
  std::string findText;
  std::string clipboard;
  int busyDepth = 0;
  int processEventsCount = 0;
  // Progress: whether a progress window is up, its steps so far, the last step's values, and
  // the step at which the person presses Cancel (StepProgress returns true from that step on;
  // -1: never).
  bool progressShown = false;
  int progressSteps = 0;
  int progressDone = 0;
  std::string progressText;
  int cancelAtStep = -1;

  void ShowMessage(const std::string& text) override;
  void ShowError(const std::string& text) override;
  MbResult MessageBox(const std::string& text, const std::string& caption, MbButtons buttons,
                      MbIcon icon) override;
  MbResult MessageBoxWithDefault(const std::string& text, const std::string& caption,
                                 MbButtons buttons, MbIcon icon, MbResult defaultButton) override {
    boxDefaults.push_back(defaultButton);
    return MessageBox(text, caption, buttons, icon);
  }
  std::optional<std::string> InputBox(const std::string& caption, const std::string& prompt,
                                      const std::string& initial) override;
  std::optional<std::string> OpenFileDialog(const std::string& title,
                                            const std::vector<FileFilter>& filters,
                                            const std::string& initialDir) override;
  std::optional<std::string> SaveFileDialog(const std::string& title,
                                            const std::vector<FileFilter>& filters,
                                            const std::string& initialDir,
                                            const std::string& defaultName) override;
  std::optional<std::string> SelectFolder(const std::string& title,
                                          const std::string& initialDir) override;
  void BeginBusy() override { ++busyDepth; }
  void EndBusy() override { --busyDepth; }
  // Also runs the calls other threads posted (Ui::Poster).
  void ProcessEvents() override {
    ++processEventsCount;
    RunPostedCalls();
  }
  void SetClipboardText(const std::string& text) override;
  // Handles events until `calls` holds at least `count` entries (what other threads post comes in
  // through ProcessEvents); false when a minute passes without them, so that a test fails
  // instead of hanging.
  bool WaitForCalls(size_t count);
  std::string FindText() override { return findText; }
  void BeginProgress(const std::string& caption, int total) override;
  bool StepProgress(int done, const std::string& text) override;
  void EndProgress() override;

 private:
  std::optional<std::string> NextFile(const std::string& what);
};

}  // namespace quellor::test
