// Find in the site view: the search steps of the Find dialog over a dataset, comparing the text
// of one column (the grid's selected column) of each record.
//
// The dataset's Bof and Eof flags are the at-start and at-end flags: moving to the first record
// or a backward move that finds none sets at-start, moving to the last record or a forward move
// that finds none sets at-end, and a move that reaches another record clears both.
#pragma once

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
  // Find First: search started := false, the dataset moves to its first record.
  void FindFirst(TStoreTable& dataSet);
  // One press of Find Next. The controls do not follow the moves; without a match the box
  // "No matches found" is shown and the record that was current stays current. Returns whether
  // a match was found.
  bool SearchStep(TStoreTable& dataSet, int column, const TFindOptions& options, Ui& ui);
  bool SearchStarted() const { return searchStarted_; }

 private:
  bool searchStarted_ = false;
};

// The needle as compared: blanks trimmed at both ends; upper-cased (a to z only) unless
// matchCase.
std::string FindNeedle(const std::string& text, bool matchCase);

}  // namespace quellor
