// The Ui port: everything a person sees or answers, as the program's logic asks for it.
//
// The logic of every subsystem (layer 3) talks to the person only through this interface, so
// it can run under tests with a recording fake and under the Qt program with real dialogs.
// Texts are std::string in the system code page; the Qt implementation converts them.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quellor {

enum class MbButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class MbIcon { None, Information, Warning, Error, Question };
enum class MbResult { Ok, Cancel, Yes, No };

// One file-type entry of an open or save dialog, e.g. {"CSV files", "*.csv"}.
struct FileFilter {
  std::string description;
  std::string pattern;
};

// Hands calls from any thread to the user-interface thread, which runs them, in the order they
// were posted, when it next handles events: between commands, or while a command lets the window
// process its events. Every Ui owns one (Ui::Poster); a thread that may outlive the Ui keeps the
// shared pointer, and calls posted after the Ui has gone are dropped. This is how work that ends
// on another thread (a started program that fails later) reaches the person without the window
// ever waiting for it.
class UiPoster {
 public:
  // Queues `call`. Any thread.
  void Post(std::function<void()> call);
  // Runs the calls queued so far. The user-interface thread only; nothing once the Ui has gone.
  void RunPending();
  // How the implementation has its event loop call RunPending soon; called on the posting thread
  // for every post. Without one, calls wait for the implementation's next RunPending.
  void SetWake(std::function<void()> wake);
  // Drops queued calls and refuses new ones (the Ui is going away).
  void Close();

 private:
  std::mutex mutex_;
  bool open_ = true;
  std::function<void()> wake_;
  std::deque<std::function<void()>> calls_;
};

class Ui {
 public:
  Ui() = default;
  // A copy has a poster of its own.
  Ui(const Ui&) {}
  Ui& operator=(const Ui&) { return *this; }
  virtual ~Ui();

  // The poster through which other threads reach this Ui (see UiPoster).
  std::shared_ptr<UiPoster> Poster() const { return poster_; }
  // Runs the calls posted so far; implementations run it whenever they handle events.
  void RunPostedCalls() { poster_->RunPending(); }

  // Plain message box: the text, caption "Quellor", an OK button, no icon.
  virtual void ShowMessage(const std::string& text) = 0;
  // Standard error box: caption "Quellor", error icon. The caller passes the raw error text;
  // the box itself applies the period rule (see StandardErrorText).
  virtual void ShowError(const std::string& text) = 0;
  // Message box with its own caption, buttons and icon; returns the button pressed.
  virtual MbResult MessageBox(const std::string& text, const std::string& caption,
                              MbButtons buttons, MbIcon icon) = 0;
  // The same with the button that Enter presses when the box opens (a question whose Yes or OK
  // destroys something makes Cancel or No its default). The base version shows the box with
  // the buttons' usual default.
  virtual MbResult MessageBoxWithDefault(const std::string& text, const std::string& caption,
                                         MbButtons buttons, MbIcon icon, MbResult defaultButton) {
    (void)defaultButton;
    return MessageBox(text, caption, buttons, icon);
  }
  // Input box; nullopt when the person cancels.
  virtual std::optional<std::string> InputBox(const std::string& caption, const std::string& prompt,
                                              const std::string& initial) = 0;
  // File dialogs; nullopt when cancelled. initialDir may be empty (current folder); the commands
  // pass the folder DialogFolders.h chooses for the kind of file.
  virtual std::optional<std::string> OpenFileDialog(const std::string& title,
                                                    const std::vector<FileFilter>& filters,
                                                    const std::string& initialDir) = 0;
  virtual std::optional<std::string> SaveFileDialog(const std::string& title,
                                                    const std::vector<FileFilter>& filters,
                                                    const std::string& initialDir,
                                                    const std::string& defaultName) = 0;
  // Folder picker that lets the person create folders.
  virtual std::optional<std::string> SelectFolder(const std::string& title,
                                                  const std::string& initialDir) = 0;
  // Busy cursor, nested: every BeginBusy is matched by one EndBusy (use BusyCursor below).
  virtual void BeginBusy() = 0;
  virtual void EndBusy() = 0;
  // Let the window handle its pending events (repaints, clicks) while a command waits.
  virtual void ProcessEvents() = 0;
  virtual void SetClipboardText(const std::string& text) = 0;
  // The text currently in the find dialog's box.
  virtual std::string FindText() = 0;

  // Progress of a long command: a window with `caption`, a bar from 0 to `total` and a Cancel
  // button, until EndProgress. StepProgress shows `done` of `total` with a line of text, lets
  // the window handle its pending events (repaints; while the progress window is up it is the
  // only one that takes input) and returns true once the person has pressed Cancel. Not
  // nested: one progress at a time (use ProgressScope below).
  virtual void BeginProgress(const std::string& caption, int total) = 0;
  virtual bool StepProgress(int done, const std::string& text) = 0;
  virtual void EndProgress() = 0;

 private:
  std::shared_ptr<UiPoster> poster_ = std::make_shared<UiPoster>();
};

// The text the standard error box shows: a period is added when the code of the last
// character is greater than that of the period (so "x" gets one, "x." and "x!" do not).
std::string StandardErrorText(const std::string& text);

// Scoped busy cursor.
class BusyCursor {
 public:
  explicit BusyCursor(Ui& ui) : ui_(ui) { ui_.BeginBusy(); }
  ~BusyCursor() { ui_.EndBusy(); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;

 private:
  Ui& ui_;
};

// Scoped progress window: begun on construction, ended on destruction (also when an error
// ends the command).
class ProgressScope {
 public:
  ProgressScope(Ui& ui, const std::string& caption, int total) : ui_(ui) {
    ui_.BeginProgress(caption, total);
  }
  ~ProgressScope() { ui_.EndProgress(); }
  ProgressScope(const ProgressScope&) = delete;
  ProgressScope& operator=(const ProgressScope&) = delete;

  bool Step(int done, const std::string& text) { return ui_.StepProgress(done, text); }

 private:
  Ui& ui_;
};

}  // namespace quellor
