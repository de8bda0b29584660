// A synchronous hand-over of a call from a worker thread to the user-interface thread.
//
// A worker calls RunOnUiThread(call): the call is queued, the user-interface thread runs it the
// next time it handles events, and the worker waits until it has run. The queue and the wait use
// std::mutex and std::condition_variable, so the hand-over is visible to the thread checkers; the
// only thing that crosses Qt's own event queue is a wake-up without payload.
//
// Install() runs once on the user-interface thread (the program does it at start; the first
// window that uses workers does it too). When the application object goes away, calls still
// waiting are released without running, and later calls return at once: a worker never waits for
// a user-interface thread that has stopped handling events for good.
#pragma once

#include <QObject>
#include <functional>

namespace quellor {

class TUiHandOver : public QObject {
  Q_OBJECT

 public:
  // Creates the receiver on the calling (user-interface) thread, once; later calls do nothing.
  static void Install();
  // Runs `call` on the user-interface thread and waits for it. True when it ran; false when
  // no receiver is installed or it went away before running it. Must not be called on the
  // user-interface thread itself.
  static bool RunOnUiThread(const std::function<void()>& call);

  ~TUiHandOver() override;

 private:
  TUiHandOver();
  Q_INVOKABLE void Drain();
};

}  // namespace quellor
