#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/FakeUi.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace quellor::test {

bool FakeUi::WaitForCalls(size_t count) {
  return WaitUntilServing([&] { return calls.size() >= count; }, [&] { ProcessEvents(); });
}

void FakeUi::ShowMessage(const std::string& text) {
  calls.push_back("message: " + text);
}
void FakeUi::ShowError(const std::string& text) {
  calls.push_back("error: " + text);
}

MbResult FakeUi::MessageBox(const std::string& text, const std::string& caption, MbButtons buttons,
                            MbIcon) {
  calls.push_back("box: " + caption + "|" + text);
  if (!boxAnswers.empty()) {
    MbResult r = boxAnswers.front();
    boxAnswers.pop_front();
    return r;
  }
  return buttons == MbButtons::Ok || buttons == MbButtons::OkCancel ? MbResult::Ok : MbResult::Yes;
}

std::optional<std::string> FakeUi::InputBox(const std::string& caption, const std::string& prompt,
                                            const std::string& initial) {
  calls.push_back("input: " + caption + "|" + prompt + "|" + initial);
  if (inputAnswers.empty()) return std::nullopt;
  auto r = inputAnswers.front();
  inputAnswers.pop_front();
  return r;
}

std::optional<std::string> FakeUi::NextFile(const std::string& what) {
  calls.push_back(what);
  if (fileAnswers.empty()) return std::nullopt;
  auto r = fileAnswers.front();
  fileAnswers.pop_front();
  return r;
}

std::optional<std::string> FakeUi::OpenFileDialog(const std::string& title,
                                                  const std::vector<FileFilter>&,
                                                  const std::string&) {
  return NextFile("open: " + title);
}
std::optional<std::string> FakeUi::SaveFileDialog(const std::string& title,
                                                  const std::vector<FileFilter>&,
                                                  const std::string&, const std::string&) {
  return NextFile("save: " + title);
}
std::optional<std::string> FakeUi::SelectFolder(const std::string& title, const std::string&) {
  return NextFile("folder: " + title);
}
void FakeUi::SetClipboardText(const std::string& text) {
  clipboard = text;
  calls.push_back("clipboard: " + text);
}
void FakeUi::BeginProgress(const std::string& caption, int total) {
  progressShown = true;
  progressSteps = 0;
  calls.push_back("progress: " + caption + "|" + std::to_string(total));
}
bool FakeUi::StepProgress(int done, const std::string& text) {
  ++progressSteps;
  progressDone = done;
  progressText = text;
  return cancelAtStep >= 0 && progressSteps >= cancelAtStep;
}
void FakeUi::EndProgress() {
  progressShown = false;
  calls.push_back("progress end");
}

TempDir::TempDir() {
  std::string base = std::filesystem::temp_directory_path().string() + "/quellor-test-XXXXXX";
  if (!mkdtemp(base.data())) throw std::runtime_error("mkdtemp failed");
  path_ = base + "/";
}
TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

}  // namespace quellor::test
