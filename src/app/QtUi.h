// The Ui port on Qt widgets, and the two conversions between the program's text (bytes of the
// system code page) and QString.
#pragma once

#include <QString>
#include <string>

#include "app/Ui.h"

class QProgressDialog;
class QWidget;

namespace quellor {

inline QString ToQ(const std::string& s) {
  return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size()));
}
inline std::string FromQ(const QString& s) {
  QByteArray b = s.toLocal8Bit();
  return std::string(b.constData(), static_cast<size_t>(b.size()));
}

class QtUi : public Ui {
 public:
  // Dialogs are owned by `parent` (may be null until the main window exists).
  explicit QtUi(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }
  void SetFindText(const std::string& text) { findText_ = text; }

  void ShowMessage(const std::string& text) override;
  void ShowError(const std::string& text) override;
  MbResult MessageBox(const std::string& text, const std::string& caption, MbButtons buttons,
                      MbIcon icon) override;
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
  QWidget* parent_;
  std::string findText_;
  QProgressDialog* progress_ = nullptr;
};

}  // namespace quellor
