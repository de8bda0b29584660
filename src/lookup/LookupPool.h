// Host lookups on worker threads, for the commands that must not wait for one lookup after the
// other.
//
// Protocol between the owner and the workers:
//   - One thread owns the pool (the user-interface thread): only it calls Start, Wait, Drop and
//     the counters. Worker threads run nothing but resolver->Resolve(host) and then store the
//     answer in their job under the job's mutex; they never touch tables, windows or the pool's
//     owner-side bookkeeping.
//   - Start queues a lookup; the pool starts a thread for it as soon as fewer than
//     `maxThreads` of its threads are alive. Each started lookup has a deadline of `timeout`
//     from its start; Wait returns Failed "timed out" once it has passed. A job that is only
//     waited for while still queued (every thread busy with hanging lookups) gets its
//     deadline from the first Wait, so no answer takes longer than `timeout` to be decided.
//   - A lookup that timed out or was dropped is abandoned, not stopped (a blocked resolver call
//     cannot be interrupted): its thread finishes on its own, detached, holding only shared
//     references to its job and to the resolver, and counts against `maxThreads` until then.
//   - The pool can be destroyed at any time; queued lookups are forgotten and running ones are
//     abandoned.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "lookup/HostResolver.h"

namespace quellor {

struct TLookupJob;

class TLookupPool {
 public:
  struct TOptions {
    int maxThreads = 128;  // threads alive at once, abandoned ones included
    std::chrono::milliseconds timeout = kLookupTimeout;
  };
  using TTicket = std::shared_ptr<TLookupJob>;

  TLookupPool(std::shared_ptr<THostResolver> resolver, TOptions options);
  ~TLookupPool();
  TLookupPool(const TLookupPool&) = delete;
  TLookupPool& operator=(const TLookupPool&) = delete;

  // Queues a lookup of `host` and starts what can be started. Hosts that are no host names
  // (IsHostName) are answered NotFound at once, without a thread.
  TTicket Start(const std::string& host);
  // Waits up to `slice` for the answer. Returns it once it is there (or Failed "timed out" once
  // the deadline passed); nullopt while it is still open.
  std::optional<TResolveAnswer> Wait(const TTicket& ticket, std::chrono::milliseconds slice);
  // The answer is no longer wanted; a queued lookup is removed, a running one abandoned.
  void Drop(const TTicket& ticket);
  // Lookups queued or running whose answer is still wanted and not yet there.
  int Open();

 private:
  struct TShared;
  void Pump();
  bool Launch(const TTicket& job);

  std::shared_ptr<THostResolver> resolver_;
  TOptions options_;
  std::shared_ptr<TShared> shared_;  // the count of live threads, shared with the workers
  std::deque<TTicket> queued_;
  std::deque<TTicket> running_;  // started by this pool and still wanted
};

}  // namespace quellor
