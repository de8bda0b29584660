// Waiting in a test for something another thread, another process or the event loop brings
// about: the condition itself is looked at until it holds or a generous deadline passes. A slow,
// loaded machine then makes such a test take longer, never fail; only a fault reaches the
// deadline.
#pragma once

#include <chrono>
#include <thread>

namespace quellor::test {

// Long enough for anything a test waits for, also on a loaded machine with sanitizers.
inline constexpr std::chrono::milliseconds kWaitDeadline{30000};

// Looks at `condition` until it holds or `deadline` has passed, calling `serve` between two
// looks (a window's test passes one that handles the pending events) and pausing 5 ms after it.
// Returns whether the condition held.
template <typename Condition, typename Serve>
bool WaitUntilServing(Condition condition, Serve serve,
                      std::chrono::milliseconds deadline = kWaitDeadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return condition();
    serve();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// WaitUntilServing with nothing to serve: the thread only pauses between two looks.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds deadline = kWaitDeadline) {
  return WaitUntilServing(
      condition, [] {}, deadline);
}

}  // namespace quellor::test
