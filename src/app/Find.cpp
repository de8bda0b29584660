#include "app/Find.h"

#include "app/Ui.h"
#include "store/StoreTb.h"

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
  {
    ControlsDetached detached(t);
    TBookmark saved = t.GetBookmark();
    if (searchStarted_) options.down ? t.Next() : t.Prior();
    std::string needle = FindNeedle(options.text, options.matchCase);
    for (;;) {
      if (options.down ? t.Eof() : t.Bof()) break;
      if (t.IsEmpty()) break;
      std::string hay = t.Fields(column).AsString();
      if (!options.matchCase) hay = UpperAsciiLetters(hay);
      if (!needle.empty() && hay.find(needle) != std::string::npos) {
        found = true;
        break;
      }
      options.down ? t.Next() : t.Prior();
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
