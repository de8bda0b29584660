#include "app/Ui.h"

namespace quellor {

void UiPoster::Post(std::function<void()> call) {
  std::lock_guard lock(mutex_);
  if (!open_) return;
  calls_.push_back(std::move(call));
  if (wake_) wake_();
}

void UiPoster::RunPending() {
  std::deque<std::function<void()>> calls;
  {
    std::lock_guard lock(mutex_);
    if (!open_) return;
    calls.swap(calls_);
  }
  // Without the lock: a call may show a box, whose event loop runs further posted calls.
  for (auto& call : calls) call();
}

void UiPoster::SetWake(std::function<void()> wake) {
  std::lock_guard lock(mutex_);
  wake_ = std::move(wake);
}

void UiPoster::Close() {
  std::lock_guard lock(mutex_);
  open_ = false;
  wake_ = nullptr;
  calls_.clear();
}

Ui::~Ui() {
  poster_->Close();
}

std::string StandardErrorText(const std::string& text) {
  if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.'))
    return text + ".";
  return text;
}

}  // namespace quellor
