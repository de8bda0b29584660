#include "lookup/LookupPool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace quellor {

using Clock = std::chrono::steady_clock;

// One lookup. The fields under `mutex` are written by the worker; the rest belong to the owner.
struct TLookupJob {
  std::string host;

  std::mutex mutex;
  std::condition_variable arrived;
  bool done = false;        // under mutex
  TResolveAnswer received;  // under mutex

  // Owner side.
  bool started = false;
  bool hasDeadline = false;
  Clock::time_point deadline;
  std::optional<TResolveAnswer> decided;
};

struct TLookupPool::TShared {
  std::atomic<int> alive{0};
};

TLookupPool::TLookupPool(std::shared_ptr<THostResolver> resolver, TOptions options)
    : resolver_(std::move(resolver)), options_(options), shared_(std::make_shared<TShared>()) {
  options_.maxThreads = std::max(1, options_.maxThreads);
}

TLookupPool::~TLookupPool() = default;  // running workers own what they use

TLookupPool::TTicket TLookupPool::Start(const std::string& host) {
  auto job = std::make_shared<TLookupJob>();
  job->host = host;
  if (!IsHostName(host)) {
    job->decided = TResolveAnswer::NotFound();
    return job;
  }
  queued_.push_back(job);
  Pump();
  return job;
}

bool TLookupPool::Launch(const TTicket& job) {
  shared_->alive.fetch_add(1);
  try {
    std::thread([resolver = resolver_, job, shared = shared_] {
      TResolveAnswer answer;
      try {
        answer = resolver->Resolve(job->host);
      } catch (const std::exception& e) {
        answer = TResolveAnswer::Failed(e.what());
      } catch (...) {
        answer = TResolveAnswer::Failed("the resolver failed");
      }
      {
        std::lock_guard<std::mutex> lock(job->mutex);
        job->received = std::move(answer);
        job->done = true;
      }
      job->arrived.notify_all();
      shared->alive.fetch_sub(1);
    }).detach();
  } catch (const std::system_error&) {
    shared_->alive.fetch_sub(1);
    return false;
  }
  return true;
}

void TLookupPool::Pump() {
  while (!queued_.empty() && shared_->alive.load() < options_.maxThreads) {
    TTicket job = queued_.front();
    queued_.pop_front();
    if (!Launch(job)) {
      job->decided = TResolveAnswer::Failed("no thread could be started for the lookup");
      continue;
    }
    job->started = true;
    if (!job->hasDeadline) {
      job->hasDeadline = true;
      job->deadline = Clock::now() + options_.timeout;
    }
    running_.push_back(job);
  }
}

std::optional<TResolveAnswer> TLookupPool::Wait(const TTicket& ticket,
                                                std::chrono::milliseconds slice) {
  TLookupJob& job = *ticket;
  auto sliceEnd = Clock::now() + slice;
  auto forget = [this, &ticket] {
    running_.erase(std::remove(running_.begin(), running_.end(), ticket), running_.end());
    queued_.erase(std::remove(queued_.begin(), queued_.end(), ticket), queued_.end());
  };
  for (;;) {
    if (job.decided) return job.decided;
    Pump();
    if (!job.hasDeadline) {
      job.hasDeadline = true;
      job.deadline = Clock::now() + options_.timeout;
    }
    if (job.started) {
      std::unique_lock<std::mutex> lock(job.mutex);
      job.arrived.wait_until(lock, std::min(sliceEnd, job.deadline), [&job] { return job.done; });
      if (job.done) {
        job.decided = job.received;
        lock.unlock();
        forget();
        return job.decided;
      }
    } else {
      // Every thread is taken by lookups that hang; look again shortly.
      std::this_thread::sleep_until(
          std::min({sliceEnd, job.deadline, Clock::now() + std::chrono::milliseconds(2)}));
    }
    auto now = Clock::now();
    if (now >= job.deadline) {
      job.decided = TResolveAnswer::Failed("timed out");
      forget();
      return job.decided;
    }
    if (now >= sliceEnd) return std::nullopt;
  }
}

void TLookupPool::Drop(const TTicket& ticket) {
  running_.erase(std::remove(running_.begin(), running_.end(), ticket), running_.end());
  queued_.erase(std::remove(queued_.begin(), queued_.end(), ticket), queued_.end());
  if (!ticket->decided) ticket->decided = TResolveAnswer::Failed("dropped");
}

int TLookupPool::Open() {
  Pump();
  int open = static_cast<int>(queued_.size());
  for (const TTicket& job : running_) {
    std::lock_guard<std::mutex> lock(job->mutex);
    if (!job->done) ++open;
  }
  return open;
}

}  // namespace quellor
