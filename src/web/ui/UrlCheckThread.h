// UrlCheck: the URL check's worker, one thread per row of the "Url Check" grid.
//
// A worker starts running when it is created and deletes itself when its body has finished; the
// window keeps no reference to it. Its body sends no request: it hands one status update of its
// row to the user-interface thread and waits until that thread has run it, so grid cells are only
// ever written on the user-interface thread and updates never overlap.
//
// The hand-over is TUiHandOver's (app/ui/UiThread.h). Workers and the window meet in a
// TUrlCheckTarget, shared by the window and every worker it started. The window detaches the target
// when it closes; an update that reaches the user-interface thread after that is dropped (the
// closed window is never touched, and closing never waits for workers, which could not finish while
// the user-interface thread waits).
#pragma once

#include <memory>
#include <string>
#include <thread>

class QTableWidget;

namespace quellor {

class TUrlCheckTarget {
 public:
  explicit TUrlCheckTarget(QTableWidget* grid) : grid_(grid) {}
  // Both run on the user-interface thread only.
  void Detach() { grid_ = nullptr; }
  void ShowStatus(int row);

 private:
  QTableWidget* grid_;
};

class UrlCheck {
 public:
  // Starts the worker for data row `row` (from 1) with the link of that row.
  static void Start(int row, std::string link, std::shared_ptr<TUrlCheckTarget> target);
  // Workers whose body has not finished yet, in the whole process.
  static int Running();

  ~UrlCheck();

 private:
  UrlCheck(int row, std::string link, std::shared_ptr<TUrlCheckTarget> target);
  void Execute();

  int row_;
  std::string link_;
  std::shared_ptr<TUrlCheckTarget> target_;
};

}  // namespace quellor
