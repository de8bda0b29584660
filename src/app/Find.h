// Find in the site view: the search steps of the Find dialog over a dataset, comparing the text
// of one column (the grid's selected column) of each record.
//
// The dataset's Bof and Eof flags are the at-start and at-end flags: moving to the first record
// or a backward move that finds none sets at-start, moving to the last record or a forward move
// that finds none sets at-end, and a move that reaches another record clears both.
//
// A long step keeps the person informed: once it has run kBusyAfter the busy cursor shows; once
// it has run kProgressAfter a progress window begins (the Qt Ui shows it half a second later, so
// at one second) with a Cancel button, and the window repaints between chunks of records. Cancel
// ends the step on the record that was current before it, without a message, and leaves search
// started as it was, so the next step begins where this one began.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace quellor {

class TStoreTable;
class Ui;

struct TFindOptions {
  std::string text;
  bool down = true;
  bool matchCase = false;
};

class TFinder {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kBusyAfter{300};
  static constexpr std::chrono::milliseconds kProgressAfter{500};
  // Records compared between two looks at the clock (and two progress steps).
  static constexpr int kChunk = 256;

  // Find First: search started := false, the dataset moves to its first record.
  void FindFirst(TStoreTable& dataSet);
  // One press of Find Next. The controls do not follow the moves; without a match the box
  // "No matches found" is shown and the record that was current stays current. Returns whether
  // a match was found (false also when the person cancelled the step).
  bool SearchStep(TStoreTable& dataSet, int column, const TFindOptions& options, Ui& ui);
  bool SearchStarted() const { return searchStarted_; }
  // Whether the last step ended by the person's Cancel.
  bool Cancelled() const { return cancelled_; }
  // The clock the step's busy and progress times are measured by (tests set a fake one).
  void SetClock(std::function<Clock::time_point()> now) { now_ = std::move(now); }

 private:
  bool searchStarted_ = false;
  bool cancelled_ = false;
  std::function<Clock::time_point()> now_ = [] { return Clock::now(); };
};

// The needle as compared: blanks trimmed at both ends; upper-cased (a to z only) unless
// matchCase.
std::string FindNeedle(const std::string& text, bool matchCase);

}  // namespace quellor
