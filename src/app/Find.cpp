#include "app/Find.h"

#include <memory>

#include "app/Ui.h"
#include "store/api/StoreTb.h"

namespace quellor {

namespace {

std::string UpperAsciiLetters(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// Keeps the controls from following the moves of a search step, also when it fails.
class ControlsDetached {
 public:
  explicit ControlsDetached(TStoreTable& t) : t_(t) { t_.DisableControls(); }
  ~ControlsDetached() { t_.EnableControls(); }

 private:
  TStoreTable& t_;
};

// The busy cursor and the progress window of one step, begun as the step grows long and ended
// however it ends.
class StepFeedback {
 public:
  StepFeedback(Ui& ui, const std::function<TFinder::Clock::time_point()>& now)
      : ui_(ui), now_(now), start_(now()) {}
  ~StepFeedback() {
    progress_.reset();
    busy_.reset();
  }
  // Called after every chunk of records; returns true once the person has pressed Cancel.
  bool Chunk(int compared) {
    auto elapsed = now_() - start_;
    if (!busy_ && elapsed >= TFinder::kBusyAfter) busy_ = std::make_unique<BusyCursor>(ui_);
    if (!progress_ && elapsed >= TFinder::kProgressAfter)
      progress_ = std::make_unique<ProgressScope>(ui_, "Find", 0);
    if (!progress_) return false;
    return progress_->Step(compared, std::to_string(compared) + " records searched");
  }

 private:
  Ui& ui_;
  const std::function<TFinder::Clock::time_point()>& now_;
  TFinder::Clock::time_point start_;
  std::unique_ptr<BusyCursor> busy_;
  std::unique_ptr<ProgressScope> progress_;
};

}  // namespace

std::string FindNeedle(const std::string& text, bool matchCase) {
  size_t b = text.find_first_not_of(' ');
  std::string needle =
      b == std::string::npos ? "" : text.substr(b, text.find_last_not_of(' ') - b + 1);
  return matchCase ? needle : UpperAsciiLetters(needle);
}

void TFinder::FindFirst(TStoreTable& dataSet) {
  searchStarted_ = false;
  dataSet.First();
}

bool TFinder::SearchStep(TStoreTable& t, int column, const TFindOptions& options, Ui& ui) {
  bool found = false;
  cancelled_ = false;
  {
    ControlsDetached detached(t);
    auto feedback = std::make_unique<StepFeedback>(ui, now_);
    TBookmark saved = t.GetBookmark();
    if (searchStarted_) options.down ? t.Next() : t.Prior();
    std::string needle = FindNeedle(options.text, options.matchCase);
    int compared = 0;
    // An empty needle never matches: no record needs to be read.
    while (!needle.empty()) {
      if (++compared % kChunk == 0 && feedback->Chunk(compared)) {
        cancelled_ = true;
        break;
      }
      if (options.down ? t.Eof() : t.Bof()) break;
      if (t.IsEmpty()) break;
      std::string hay = t.Fields(column).AsString();
      if (!options.matchCase) hay = UpperAsciiLetters(hay);
      if (hay.find(needle) != std::string::npos) {
        found = true;
        break;
      }
      options.down ? t.Next() : t.Prior();
    }
    feedback.reset();
    if (cancelled_) {
      if (saved.Valid()) t.GotoBookmark(saved);
      return false;
    }
    if (!found) {
      ui.ShowMessage("No matches found");
      if (saved.Valid()) t.GotoBookmark(saved);
    }
  }
  searchStarted_ = true;
  return found;
}

}  // namespace quellor
