// Seeds for the store's random choices (the byte of a read slot, the nonces of a journal).
//
// Asking the system for random bits (std::random_device) can take tens of microseconds (on a
// virtual machine the processor's random-number and feature queries may trap to the host), and
// every open of a table would ask several times. So the system is asked once per process; each
// call then returns a different value: that seed, the process id, a call counter and the clock,
// mixed (splitmix64). Good for spreading choices between processes, not for secrets.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>

namespace quellor {

inline uint64_t RandomSeed() {
  static const uint64_t processSeed = [] {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device();
  }();
  static std::atomic<uint64_t> calls{0};
  uint64_t z = processSeed ^ (static_cast<uint64_t>(::getpid()) << 40) ^
               static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
               ((calls.fetch_add(1, std::memory_order_relaxed) + 1) * 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace quellor
