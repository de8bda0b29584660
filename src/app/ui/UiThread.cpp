#include "app/ui/UiThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace quellor {

namespace {

struct Request {
  const std::function<void()>* call;
  bool done = false;
  bool ran = false;
};

struct HandOverState {
  std::mutex mutex;
  std::condition_variable finished;
  std::deque<Request*> queue;
  TUiHandOver* receiver = nullptr;
};

HandOverState& State() {
  static HandOverState state;
  return state;
}

}  // namespace

TUiHandOver::TUiHandOver() : QObject(QCoreApplication::instance()) {}

void TUiHandOver::Install() {
  HandOverState& s = State();
  std::lock_guard lock(s.mutex);
  if (s.receiver || !QCoreApplication::instance()) return;
  s.receiver = new TUiHandOver;  // owned by the application object
}

TUiHandOver::~TUiHandOver() {
  HandOverState& s = State();
  std::lock_guard lock(s.mutex);
  s.receiver = nullptr;
  for (Request* r : s.queue) r->done = true;  // released without running
  s.queue.clear();
  s.finished.notify_all();
}

bool TUiHandOver::RunOnUiThread(const std::function<void()>& call) {
  HandOverState& s = State();
  Request request{&call};
  std::unique_lock lock(s.mutex);
  if (!s.receiver) return false;
  s.queue.push_back(&request);
  // Queued by name: the event is made inside Qt, and the receiver cannot go away meanwhile
  // because its destructor takes the same lock.
  QMetaObject::invokeMethod(s.receiver, "Drain", Qt::QueuedConnection);
  s.finished.wait(lock, [&] { return request.done; });
  return request.ran;
}

void TUiHandOver::Drain() {
  HandOverState& s = State();
  for (;;) {
    Request* request = nullptr;
    {
      std::lock_guard lock(s.mutex);
      if (s.queue.empty()) return;
      request = s.queue.front();
      s.queue.pop_front();
    }
    (*request->call)();
    std::lock_guard lock(s.mutex);
    request->ran = true;
    request->done = true;
    s.finished.notify_all();
  }
}

}  // namespace quellor
