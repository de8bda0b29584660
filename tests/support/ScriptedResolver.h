// A host resolver for tests and benchmarks that answers from a script instead of the network:
// per host a list of answers (taken in turn, the last one repeating; unknown hosts NotFound),
// a delay for every lookup and per host, hosts that hang until Release, hosts whose lookup
// throws. It records the hosts it was asked, in order, and the most lookups it had running at
// once. Safe to call from several threads, as the lookups are.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "lookup/HostResolver.h"

namespace quellor::test {

class TScriptedResolver : public THostResolver {
 public:
  using ms = std::chrono::milliseconds;

  // `host` answers `address` (several calls: several answers, taken in turn).
  void Answer(const std::string& host, const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[host].push_back(TResolveAnswer::Found(address));
  }
  void Answer(const std::string& host, const TResolveAnswer& answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[host].push_back(answer);
  }
  void Delay(ms delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    delay_ = delay;
  }
  void Delay(const std::string& host, ms delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    hostDelay_[host] = delay;
  }
  // Lookups of `host` (every host when empty) block until Release.
  void Hang(const std::string& host = "") {
    std::lock_guard<std::mutex> lock(mutex_);
    hang_.insert(host);
  }
  void Throw(const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    throw_.insert(host);
  }
  // Lets every hanging lookup go on (they answer as scripted) and ends hanging for good.
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    wake_.notify_all();
  }

  std::vector<std::string> Asked() {
    std::lock_guard<std::mutex> lock(mutex_);
    return asked_;
  }
  int MaxRunning() {
    std::lock_guard<std::mutex> lock(mutex_);
    return maxRunning_;
  }
  int Running() {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
  }

  TResolveAnswer Resolve(const std::string& host) override {
    ms delay{0};
    bool hang = false, fail = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      asked_.push_back(host);
      maxRunning_ = std::max(maxRunning_, ++running_);
      auto d = hostDelay_.find(host);
      delay = d != hostDelay_.end() ? d->second : delay_;
      hang = hang_.count(host) || hang_.count("");
      fail = throw_.count(host) > 0;
    }
    // A slow resolver: the lookup really takes this long, for the time limits that measure it.
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    std::unique_lock<std::mutex> lock(mutex_);
    if (hang) wake_.wait(lock, [this] { return released_; });
    --running_;
    if (fail) throw std::runtime_error("scripted failure");
    auto it = answers_.find(host);
    if (it == answers_.end() || it->second.empty()) return TResolveAnswer::NotFound();
    size_t& next = taken_[host];
    TResolveAnswer answer = it->second[std::min(next, it->second.size() - 1)];
    ++next;
    return answer;
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, std::vector<TResolveAnswer>> answers_;
  std::map<std::string, size_t> taken_;
  std::map<std::string, ms> hostDelay_;
  ms delay_{0};
  std::set<std::string> hang_, throw_;
  bool released_ = false;
  std::vector<std::string> asked_;
  int running_ = 0, maxRunning_ = 0;
};

}  // namespace quellor::test
