#include "store/btree/IndexCursor.h"

#include <algorithm>

namespace quellor {

namespace {
// A step that keeps meeting a tree other programs are changing gives up retrying after this
// many attempts and takes the place the last one found.
constexpr int kMaxStepRetries = 16;
}  // namespace

void TIndexCursor::SetRange(std::vector<uint8_t> low, std::vector<uint8_t> high) {
  low_ = std::move(low);
  high_ = std::move(high);
  low_.resize(std::min<size_t>(low_.size(), static_cast<size_t>(tree_->KeySize())));
  high_.resize(std::min<size_t>(high_.size(), static_cast<size_t>(tree_->KeySize())));
  boundsGeneration_ = 0;
  state_ = TState::Bof;
}

void TIndexCursor::ClearRange() {
  SetRange({}, {});
}

TIndexCursor::TBounds TIndexCursor::Bounds() {
  if (boundsGeneration_ == tree_->Generation()) return bounds_;
  TIndexTree::TPath scratch;
  bounds_.begin =
      low_.empty() ? 0
                   : tree_->SeekFirstNotBelow(low_.data(), static_cast<int>(low_.size()), scratch);
  bounds_.end = high_.empty()
                    ? tree_->Count()
                    : tree_->SeekFirstAbove(high_.data(), static_cast<int>(high_.size()), scratch);
  if (bounds_.end < bounds_.begin) bounds_.end = bounds_.begin;
  boundsGeneration_ = tree_->Generation();
  return bounds_;
}

void TIndexCursor::Capture() {
  key_.assign(tree_->PathKey(path_), tree_->PathKey(path_) + tree_->KeySize());
  recNo_ = tree_->PathRecNo(path_);
  generation_ = tree_->Generation();
}

bool TIndexCursor::Land(int64_t position) {
  TBounds b = Bounds();
  if (!TIndexTree::OnEntry(path_) || position >= b.end) {
    state_ = TState::Eof;
    return false;
  }
  if (position < b.begin) {
    state_ = TState::Bof;
    return false;
  }
  state_ = TState::On;
  position_ = position;
  Capture();
  return true;
}

bool TIndexCursor::First() {
  TBounds b = Bounds();
  if (b.begin >= b.end) {
    state_ = TState::Eof;
    return false;
  }
  return Land(tree_->SeekPosition(b.begin, path_));
}

bool TIndexCursor::Last() {
  TBounds b = Bounds();
  if (b.begin >= b.end) {
    state_ = TState::Bof;
    return false;
  }
  return Land(tree_->SeekPosition(b.end - 1, path_));
}

bool TIndexCursor::Resync() {
  if (generation_ == tree_->Generation()) return true;
  position_ = tree_->SeekFirstNotBelow(key_.data(), tree_->KeySize(), path_);
  generation_ = tree_->Generation();
  return TIndexTree::OnEntry(path_) &&
         tree_->Comparer().Compare(tree_->PathKey(path_), key_.data(), tree_->KeySize()) == 0;
}

bool TIndexCursor::Next() {
  if (state_ == TState::Bof) return First();
  if (state_ == TState::Eof) return false;
  for (int attempt = 0;; ++attempt) {
    if (!Resync()) return Land(position_);  // the entry went: the one after it is next
    // Reading a page the step needs may find that another program changed the file and read
    // the tree afresh; the path then leads through pages that are gone, so the step starts
    // over from the entry's key.
    const uint64_t generation = tree_->Generation();
    const bool stepped = tree_->StepNext(path_);
    if (tree_->Generation() != generation && attempt < kMaxStepRetries) continue;
    if (!stepped) {
      state_ = TState::Eof;
      return false;
    }
    return Land(position_ + 1);
  }
}

bool TIndexCursor::Prior() {
  if (state_ == TState::Eof) return Last();
  if (state_ == TState::Bof) return false;
  bool stepped = false;
  for (int attempt = 0;; ++attempt) {
    Resync();  // on the entry or on the one after where it was: either way step back
    const uint64_t generation = tree_->Generation();  // see Next
    stepped = tree_->StepPrior(path_);
    if (tree_->Generation() == generation || attempt >= kMaxStepRetries) break;
  }
  if (!stepped) {
    state_ = TState::Bof;
    return false;
  }
  --position_;
  TBounds b = Bounds();
  if (position_ < b.begin) {
    state_ = TState::Bof;
    return false;
  }
  return Land(position_);
}

bool TIndexCursor::Seek(const std::vector<uint8_t>& key) {
  int n = static_cast<int>(std::min<size_t>(key.size(), static_cast<size_t>(tree_->KeySize())));
  int64_t pos = tree_->SeekFirstNotBelow(key.data(), n, path_);
  TBounds b = Bounds();
  if (pos < b.begin) pos = tree_->SeekPosition(b.begin, path_);
  if (!Land(pos)) {
    state_ = TState::Eof;
    return false;
  }
  return tree_->Comparer().Compare(key_.data(), key.data(), n) == 0;
}

bool TIndexCursor::GoTo(int64_t position) {
  TBounds b = Bounds();
  if (position < 0 || b.begin + position >= b.end) {
    state_ = TState::Eof;
    return false;
  }
  return Land(tree_->SeekPosition(b.begin + position, path_));
}

size_t TIndexCursor::PeekRecNos(int32_t* out, size_t max) {
  if (state_ != TState::On || max == 0 || generation_ != tree_->Generation()) return 0;
  const TBounds b = Bounds();
  const size_t limit = static_cast<size_t>(std::clamp<int64_t>(b.end - position_, 0, max));
  if (limit == 0) return 0;
  TIndexTree::TPath path = path_;
  out[0] = tree_->PathRecNo(path);
  const uint64_t generation = tree_->Generation();
  size_t n = 1;
  while (n < limit && tree_->StepNext(path) && tree_->Generation() == generation &&
         TIndexTree::OnEntry(path))
    out[n++] = tree_->PathRecNo(path);
  return tree_->Generation() == generation ? n : 1;
}

int64_t TIndexCursor::Position() {
  if (state_ != TState::On) return -1;
  Resync();
  return position_ - Bounds().begin;
}

int64_t TIndexCursor::Count() {
  TBounds b = Bounds();
  return b.end - b.begin;
}

}  // namespace quellor
