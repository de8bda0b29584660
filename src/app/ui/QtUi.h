// The Ui port on Qt widgets. The text conversions ToQ and FromQ (QtText.h) come with it.
#pragma once

#include <string>

#include "app/Ui.h"
#include "app/ui/QtText.h"

class QProgressDialog;
class QWidget;

namespace quellor {

class QtUi : public Ui {
 public:
  // Dialogs are owned by `parent` (may be null until the main window exists).
  // Calls posted from other threads (Ui::Poster) run from the application's event loop.
  explicit QtUi(QWidget* parent = nullptr);
  ~QtUi() override;
  void SetParent(QWidget* parent) { parent_ = parent; }
  void SetFindText(const std::string& text) { findText_ = text; }

  void ShowMessage(const std::string& text) override;
  void ShowError(const std::string& text) override;
  MbResult MessageBox(const std::string& text, const std::string& caption, MbButtons buttons,
                      MbIcon icon) override;
  MbResult MessageBoxWithDefault(const std::string& text, const std::string& caption,
                                 MbButtons buttons, MbIcon icon, MbResult defaultButton) override;
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
  void BeginBusy() override;
  void EndBusy() override;
  void ProcessEvents() override;
  void SetClipboardText(const std::string& text) override;
  std::string FindText() override { return findText_; }
  // A QProgressDialog named "ProgressDialog", application-modal, shown once the work has taken
  // half a second; until then only non-input events are handled.
  void BeginProgress(const std::string& caption, int total) override;
  bool StepProgress(int done, const std::string& text) override;
  void EndProgress() override;

 private:
  MbResult ShowBox(const std::string& text, const std::string& caption, MbButtons buttons,
                   MbIcon icon, const MbResult* defaultButton);

  QWidget* parent_;
  std::string findText_;
  QProgressDialog* progress_ = nullptr;
};

}  // namespace quellor
