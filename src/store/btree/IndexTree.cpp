#include "store/btree/IndexTree.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "store/api/StoreError.h"
#include "store/format/IndexHeader.h"

namespace quellor {
namespace {

// No sound tree is deeper than this (each level multiplies the entries by at least 3).
constexpr size_t kMaxDepth = 32;
// The cache grows with the file up to the page count of the index file (which bounds every
// tree in it), at least 1024 and at most 8192 pages per tree, and beyond 1024 pages only while
// its decoded pages stay within 32 MiB (a compressed page decodes to several times its size).
constexpr size_t kMinCachedPages = 1024;
constexpr size_t kMaxCachedPages = 8192;
constexpr size_t kMaxCachedBytes = size_t{32} << 20;

size_t DecodedBytes(const TIndexPage& page) {
  return sizeof(TIndexPage) + page.keys.capacity() +
         (page.refs.capacity() + page.counts.capacity()) * sizeof(int32_t);
}

}  // namespace

TIndexTree::TIndexTree(TIndexPageIo& io, TIndexDesc desc, TKeyLayout layout)
    : io_(io), desc_(std::move(desc)), layout_(std::move(layout)), comparer_(layout_) {
  format_.keySize = layout_.KeySize();
  format_.unique = layout_.Unique();
  format_.compression = desc_.compression;
  raw_.resize(kIndexPageSize);
}

void TIndexTree::Corrupt() const {
  throw EStoreEngineError(StoreCode::IndexPagesCorrupt, {io_.TableName()});
}

// ---- page cache ---------------------------------------------------------------------------

std::shared_ptr<TIndexPage> TIndexTree::GetPage(int32_t offset) {
  if (!IsIndexPageOffset(offset, io_.EndOffset())) Corrupt();
  std::shared_ptr<TIndexPage> page;
  for (size_t i = 0; i < recent_.size(); ++i) {
    if (recent_[i] && recent_[i]->offset == offset) {
      page = recent_[i];
      std::rotate(recent_.begin(), recent_.begin() + static_cast<ptrdiff_t>(i),
                  recent_.begin() + static_cast<ptrdiff_t>(i) + 1);
      page->lastUse = ++useClock_;
      if (inChange_) Remember(*page);
      return page;
    }
  }
  auto it = std::lower_bound(cache_.begin(), cache_.end(), offset,
                             [](const auto& p, int32_t off) { return p->offset < off; });
  if (it != cache_.end() && (*it)->offset == offset) {
    page = *it;
  } else {
    io_.ReadPage(offset, raw_.data());
    page = std::make_shared<TIndexPage>();
    DecodeIndexPage(raw_.data(), format_, offset, io_.EndOffset(), io_.TableName(), *page);
    // Keys in byte order must stand in order within a page (a collation is left out of this:
    // its order could differ between systems).
    if (comparer_.ByteOrder()) {
      const int ks = KeySize();
      for (int e = 1; e < page->Count(); ++e)
        if (Cmp(page->Key(e - 1, ks), page->Key(e, ks), ks) > 0) Corrupt();
    }
    decodedBytes_ += DecodedBytes(*page);
    ++decodedPages_;
    EvictIfFull();
    it = std::lower_bound(cache_.begin(), cache_.end(), offset,
                          [](const auto& p, int32_t off) { return p->offset < off; });
    cache_.insert(it, page);
  }
  std::rotate(recent_.begin(), recent_.end() - 1, recent_.end());
  recent_[0] = page;
  page->lastUse = ++useClock_;
  if (inChange_) Remember(*page);
  return page;
}

namespace {
// Up to this many remembered pages are searched one by one (a change of one record remembers
// the pages of one path per tree); beyond it through the index.
constexpr size_t kUndoLinear = 16;
// Entries kept for reuse after a change; a large change's buffers go.
constexpr size_t kUndoKept = 16;
}  // namespace

bool TIndexTree::Remembered(int32_t offset) const {
  if (undoCount_ > kUndoLinear) return undoIndex_.count(offset) != 0;
  for (size_t i = 0; i < undoCount_; ++i)
    if (undo_[i].offset == offset) return true;
  return false;
}

void TIndexTree::AddUndo(int32_t offset, const TIndexPage* page) {
  if (undoCount_ == undo_.size()) undo_.emplace_back();
  TUndoEntry& e = undo_[undoCount_];
  e.offset = offset;
  e.existed = page != nullptr;
  if (page) e.page = *page;  // copied into the entry's buffers, reused from earlier changes
  ++undoCount_;
  if (undoCount_ == kUndoLinear + 1) {
    for (size_t i = 0; i < undoCount_; ++i) undoIndex_.emplace(undo_[i].offset, i);
  } else if (undoCount_ > kUndoLinear + 1) {
    undoIndex_.emplace(offset, undoCount_ - 1);
  }
}

void TIndexTree::ClearUndo() {
  undoCount_ = 0;
  if (!undoIndex_.empty()) undoIndex_.clear();
  if (undo_.size() > kUndoKept) undo_.resize(kUndoKept);
}

void TIndexTree::Remember(const TIndexPage& page) {
  if (!Remembered(page.offset)) AddUndo(page.offset, &page);
}

void TIndexTree::BeginChange() {
  ClearUndo();
  savedDesc_ = desc_;
  inChange_ = true;
  writtenInChange_ = false;
}

void TIndexTree::EndChange() {
  ClearUndo();
  inChange_ = false;
}

void TIndexTree::AbortChange() {
  if (!inChange_) return;
  for (size_t i = 0; i < undoCount_; ++i) {
    TUndoEntry& saved = undo_[i];
    const int32_t offset = saved.offset;
    auto it = std::lower_bound(cache_.begin(), cache_.end(), offset,
                               [](const auto& p, int32_t off) { return p->offset < off; });
    bool cached = it != cache_.end() && (*it)->offset == offset;
    if (!cached) continue;
    if (saved.existed) {
      **it = std::move(saved.page);
      // A page that was clean before the change is clean again, unless the change's pages
      // were written meanwhile (then the file holds the changed one and it must be written
      // back): a refused change leaves nothing to write.
      if (writtenInChange_) (*it)->dirty = true;
      if ((*it)->dirty) dirtyPages_.push_back(offset);
    } else {
      cache_.erase(it);
    }
  }
  recent_.fill(nullptr);
  ClearUndo();
  desc_.rootPage = savedDesc_.rootPage;
  desc_.freeChain = savedDesc_.freeChain;
  inChange_ = false;
  ++generation_;
}

size_t TIndexTree::CachedPagesLimit() const {
  const size_t filePages = static_cast<size_t>(std::max(0, io_.EndOffset()) / kIndexPageSize);
  // The average decoded size of the pages read so far.
  const size_t pageBytes =
      decodedPages_ ? std::max<size_t>(decodedBytes_ / decodedPages_, 1) : kIndexPageSize;
  return std::clamp(std::min(filePages, kMaxCachedBytes / pageBytes), kMinCachedPages,
                    kMaxCachedPages);
}

void TIndexTree::EvictIfFull() {
  const size_t limit = CachedPagesLimit();
  if (cache_.size() < limit) return;
  // Only clean pages that nobody holds (no path, not among the most recent) may go.
  std::vector<std::shared_ptr<TIndexPage>> candidates;
  for (const auto& p : cache_) {
    bool recent = std::find(recent_.begin(), recent_.end(), p) != recent_.end();
    if (!p->dirty && !recent && p.use_count() == 1) candidates.push_back(p);
  }
  std::sort(candidates.begin(), candidates.end(),
            [](const auto& a, const auto& b) { return a->lastUse < b->lastUse; });
  size_t excess = cache_.size() - limit * 3 / 4;
  if (candidates.size() > excess) candidates.resize(excess);
  std::set<const TIndexPage*> gone;
  for (const auto& p : candidates) gone.insert(p.get());
  candidates.clear();
  cache_.erase(std::remove_if(cache_.begin(), cache_.end(),
                              [&](const auto& p) { return gone.count(p.get()) != 0; }),
               cache_.end());
}

TIndexPage* TIndexTree::CachedPage(int32_t offset) const {
  auto it = std::lower_bound(cache_.begin(), cache_.end(), offset,
                             [](const auto& p, int32_t off) { return p->offset < off; });
  return it != cache_.end() && (*it)->offset == offset ? it->get() : nullptr;
}

void TIndexTree::WriteDirtyPages() {
  // In offset order, from the list of pages made dirty (changed pages are never evicted).
  std::sort(dirtyPages_.begin(), dirtyPages_.end());
  dirtyPages_.erase(std::unique(dirtyPages_.begin(), dirtyPages_.end()), dirtyPages_.end());
  for (int32_t offset : dirtyPages_) {
    TIndexPage* p = CachedPage(offset);
    if (!p || !p->dirty) continue;
    EncodeIndexPage(*p, format_, io_.TableName(), raw_.data());
    io_.WritePage(p->offset, raw_.data());
    p->dirty = false;
    if (inChange_) writtenInChange_ = true;
  }
  dirtyPages_.clear();
}

bool TIndexTree::HasDirtyPages() const {
  return std::any_of(dirtyPages_.begin(), dirtyPages_.end(), [this](int32_t offset) {
    const TIndexPage* p = CachedPage(offset);
    return p && p->dirty;
  });
}

void TIndexTree::Reload(const TIndexDesc& desc) {
  ClearUndo();
  inChange_ = false;
  cache_.clear();
  dirtyPages_.clear();
  recent_.fill(nullptr);
  desc_.rootPage = desc.rootPage;
  desc_.freeChain = desc.freeChain;
  ++generation_;
}

// ---- pages of the tree --------------------------------------------------------------------

std::shared_ptr<TIndexPage> TIndexTree::RootPage() {
  auto root = GetPage(desc_.rootPage);
  if (!root->IsRoot() || root->Count() == 0) Corrupt();
  return root;
}

std::shared_ptr<TIndexPage> TIndexTree::Child(const TIndexPage& parent, int index, size_t depth) {
  if (depth >= kMaxDepth || index < 0 || index >= parent.Count()) Corrupt();
  auto child = GetPage(parent.refs[index]);
  if (child->IsRoot() || child->Count() == 0 || child->Total() != parent.counts[index]) Corrupt();
  // The parent's key for a page is the page's first key.
  const size_t ks = static_cast<size_t>(KeySize());
  if (std::memcmp(parent.Key(index, KeySize()), child->Key(0, KeySize()), ks) != 0) Corrupt();
  return child;
}

std::shared_ptr<TIndexPage> TIndexTree::AllocatePage(uint8_t kind) {
  std::shared_ptr<TIndexPage> page;
  if (desc_.freeChain != 0) {
    page = GetPage(desc_.freeChain);
    if (page->Count() != 0) Corrupt();  // a page on the free chain that is in use
    desc_.freeChain = page->next;
  } else {
    int32_t offset = io_.AppendPage();
    page = std::make_shared<TIndexPage>();
    page->offset = offset;
    EvictIfFull();
    auto it = std::lower_bound(cache_.begin(), cache_.end(), offset,
                               [](const auto& p, int32_t off) { return p->offset < off; });
    if (it != cache_.end() && (*it)->offset == offset) Corrupt();
    cache_.insert(it, page);
    page->lastUse = ++useClock_;
    if (inChange_ && !Remembered(offset)) AddUndo(offset, nullptr);
  }
  page->Clear();
  page->kind = kind;
  page->prev = 0;
  page->next = 0;
  Touch(*page);
  io_.DescriptorChanged();
  return page;
}

void TIndexTree::FreePage(TIndexPage& page) {
  page.Clear();
  page.prev = 0;
  page.next = desc_.freeChain;
  desc_.freeChain = page.offset;
  Touch(page);
  io_.DescriptorChanged();
}

// ---- searching ----------------------------------------------------------------------------

namespace {

// First entry of `page` whose key compares >= key (orAbove false) or > key (orAbove true).
template <typename Cmp>
int Bound(const TIndexPage& page, int keySize, const uint8_t* key, int n, bool above, Cmp cmp) {
  int lo = 0, hi = page.Count();
  while (lo < hi) {
    int mid = lo + (hi - lo) / 2;
    int c = cmp(page.Key(mid, keySize), key, n);
    if (c < 0 || (above && c == 0)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

}  // namespace

int64_t TIndexTree::Count() {
  if (desc_.rootPage == 0) return 0;
  return RootPage()->Total();
}

void TIndexTree::DescendForChange(const uint8_t* key, TPath& path) {
  path.clear();
  const int ks = KeySize();
  auto cmp = [this](const uint8_t* a, const uint8_t* b, int n) { return Cmp(a, b, n); };
  auto page = RootPage();
  for (size_t depth = 0;; ++depth) {
    if (page->IsLeaf()) {
      path.push_back({page, 0});
      return;
    }
    int idx = std::max(Bound(*page, ks, key, ks, true, cmp) - 1, 0);
    path.push_back({page, idx});
    page = Child(*page, idx, depth + 1);
  }
}

int64_t TIndexTree::SeekFirstNotBelow(const uint8_t* key, int n, TPath& path) {
  return SeekBound(key, n, false, path);
}

int64_t TIndexTree::SeekFirstAbove(const uint8_t* key, int n, TPath& path) {
  return SeekBound(key, n, true, path);
}

int64_t TIndexTree::SeekBound(const uint8_t* key, int n, bool above, TPath& path) {
  path.clear();
  if (desc_.rootPage == 0) return 0;
  const int ks = KeySize();
  n = std::clamp(n, 0, ks);
  auto cmp = [this](const uint8_t* a, const uint8_t* b, int m) { return Cmp(a, b, m); };
  int64_t pos = 0;
  auto page = RootPage();
  for (size_t depth = 0;; ++depth) {
    if (page->IsLeaf()) {
      int idx = Bound(*page, ks, key, n, above, cmp);
      path.push_back({page, idx});
      NormalizeEnd(path);
      return pos + idx;
    }
    int idx = std::max(Bound(*page, ks, key, n, above, cmp) - 1, 0);
    for (int i = 0; i < idx; ++i) pos += page->counts[i];
    path.push_back({page, idx});
    page = Child(*page, idx, depth + 1);
  }
}

int64_t TIndexTree::SeekPosition(int64_t position, TPath& path) {
  path.clear();
  if (desc_.rootPage == 0) return 0;
  auto page = RootPage();
  int64_t total = page->Total();
  if (position < 0) position = 0;
  if (position >= total) {
    DescendEdge(path, false);
    path.back().index = path.back().page->Count();
    return total;
  }
  int64_t rest = position;
  for (size_t depth = 0;; ++depth) {
    if (page->IsLeaf()) {
      if (rest >= page->Count()) Corrupt();
      path.push_back({page, static_cast<int>(rest)});
      return position;
    }
    int i = 0;
    while (i < page->Count() - 1 && rest >= page->counts[i]) rest -= page->counts[i++];
    path.push_back({page, i});
    page = Child(*page, i, depth + 1);
  }
}

void TIndexTree::DescendEdge(TPath& path, bool first) {
  path.clear();
  if (desc_.rootPage == 0) return;
  auto page = RootPage();
  for (size_t depth = 0;; ++depth) {
    int idx = first ? 0 : page->Count() - 1;
    path.push_back({page, idx});
    if (page->IsLeaf()) return;
    page = Child(*page, idx, depth + 1);
  }
}

void TIndexTree::NormalizeEnd(TPath& path) {
  TStep& leaf = path.back();
  if (leaf.index < leaf.page->Count()) return;
  TPath next = path;
  next.back().index = leaf.page->Count() - 1;
  if (StepNext(next)) path = std::move(next);
}

bool TIndexTree::StepNext(TPath& path) {
  if (path.empty()) return false;
  TStep& leaf = path.back();
  if (leaf.index + 1 < leaf.page->Count()) {
    ++leaf.index;
    return true;
  }
  int l = static_cast<int>(path.size()) - 2;
  while (l >= 0 && path[l].index + 1 >= path[l].page->Count()) --l;
  if (l < 0) return false;
  TPath moved(path.begin(), path.begin() + l + 1);
  ++moved.back().index;
  for (size_t depth = moved.size();; ++depth) {
    auto child = Child(*moved.back().page, moved.back().index, depth);
    moved.push_back({child, 0});
    if (child->IsLeaf()) break;
  }
  path = std::move(moved);
  return true;
}

bool TIndexTree::StepPrior(TPath& path) {
  if (path.empty()) return false;
  TStep& leaf = path.back();
  if (leaf.index > 0) {
    leaf.index = std::min(leaf.index, leaf.page->Count()) - 1;
    return true;
  }
  int l = static_cast<int>(path.size()) - 2;
  while (l >= 0 && path[l].index == 0) --l;
  if (l < 0) return false;
  TPath moved(path.begin(), path.begin() + l + 1);
  --moved.back().index;
  for (size_t depth = moved.size();; ++depth) {
    auto child = Child(*moved.back().page, moved.back().index, depth);
    moved.push_back({child, child->Count() - 1});
    if (child->IsLeaf()) break;
  }
  path = std::move(moved);
  return true;
}

std::optional<int32_t> TIndexTree::Find(const uint8_t* key) {
  TPath path;
  SeekFirstNotBelow(key, KeySize(), path);
  if (OnEntry(path) && Cmp(PathKey(path), key, KeySize()) == 0) return PathRecNo(path);
  return std::nullopt;
}

// ---- insert -------------------------------------------------------------------------------

void TIndexTree::Insert(const uint8_t* key, int32_t recNo) {
  InsertChecked(key, recNo, false);
}

bool TIndexTree::InsertUnique(const uint8_t* key, int32_t recNo) {
  return InsertChecked(key, recNo, true);
}

bool TIndexTree::InsertChecked(const uint8_t* key, int32_t recNo, bool refuseEqual) {
  const int ks = KeySize();
  if (desc_.rootPage == 0) {
    auto page = AllocatePage(IndexPageKind::RootLeaf);
    page->InsertEntry(0, key, ks, recNo);
    desc_.rootPage = page->offset;
    io_.DescriptorChanged();
    ++generation_;
    return true;
  }
  TPath path;
  DescendForChange(key, path);
  auto cmp = [this](const uint8_t* a, const uint8_t* b, int n) { return Cmp(a, b, n); };
  TIndexPage& leaf = *path.back().page;
  const int pos = Bound(leaf, ks, key, ks, true, cmp);
  // The upper pages lead to the last child whose first key is not above `key`: an entry
  // equal to it is in that leaf, right before the place of the new one.
  if (refuseEqual && pos > 0 && Cmp(leaf.Key(pos - 1, ks), key, ks) == 0 &&
      leaf.refs[static_cast<size_t>(pos - 1)] != recNo)
    return false;
  // A split may take a page on every level and a new root; refuse before changing anything
  // when the file cannot grow by that much.
  int64_t pagesNeeded = static_cast<int64_t>(path.size()) + 1;
  if (io_.EndOffset() + (pagesNeeded - 1) * kIndexPageSize > kIndexFileGrowthLimit &&
      static_cast<int64_t>(FreePages().size()) < pagesNeeded)
    throw EStoreEngineError(StoreCode::TableFull, {io_.TableName()});

  leaf.InsertEntry(pos, key, ks, recNo);
  Touch(leaf);
  path.back().index = pos;
  for (size_t l = 0; l + 1 < path.size(); ++l) {
    ++path[l].page->counts[path[l].index];
    Touch(*path[l].page);
  }
  ++generation_;
  if (pos == 0) FixFirstKeyUpward(path, path.size() - 1);
  SplitUpward(path, path.size() - 1);
  return true;
}

void TIndexTree::FixFirstKeyUpward(TPath& path, size_t level) {
  const int ks = KeySize();
  for (size_t l = level; l > 0; --l) {
    TStep& parent = path[l - 1];
    std::memcpy(parent.page->Key(parent.index, ks), path[l].page->Key(0, ks),
                static_cast<size_t>(ks));
    Touch(*parent.page);
    if (parent.index != 0) break;
  }
}

void TIndexTree::SplitUpward(TPath& path, size_t level) {
  const int ks = KeySize();
  for (;;) {
    auto old = path[level].page;
    if (!PageOverfull(*old, format_)) return;
    const bool wasRoot = old->IsRoot();
    const bool upper = !old->IsLeaf();
    auto fresh = AllocatePage(upper ? IndexPageKind::Inner : IndexPageKind::Leaf);
    const int n = old->Count();
    old->MoveTail((n + 1) / 2, *fresh, false, ks);
    old->kind = upper ? IndexPageKind::Inner : IndexPageKind::Leaf;
    if (!upper && format_.Compressed()) {
      // Move single entries across until both halves fit.
      for (int guard = n; guard > 0; --guard) {
        int a = EncodedLeafSize(*old, format_), b = EncodedLeafSize(*fresh, format_);
        if (a <= kIndexPageRoom && b <= kIndexPageRoom) break;
        if (a > kIndexPageRoom && old->Count() > 1) {
          old->MoveTail(old->Count() - 1, *fresh, true, ks);
        } else if (b > kIndexPageRoom && fresh->Count() > 1) {
          fresh->MoveHead(1, *old, ks);
        } else {
          Corrupt();
        }
      }
      if (PageOverfull(*old, format_) || PageOverfull(*fresh, format_)) Corrupt();
    }
    fresh->prev = old->offset;
    fresh->next = old->next;
    if (old->next != 0) {
      auto after = GetPage(old->next);
      after->prev = fresh->offset;
      Touch(*after);
    }
    old->next = fresh->offset;
    Touch(*old);
    Touch(*fresh);
    if (wasRoot) {
      auto root = AllocatePage(IndexPageKind::Root);
      root->InsertEntry(0, old->Key(0, ks), ks, old->offset, static_cast<int32_t>(old->Total()));
      root->InsertEntry(1, fresh->Key(0, ks), ks, fresh->offset,
                        static_cast<int32_t>(fresh->Total()));
      desc_.rootPage = root->offset;
      io_.DescriptorChanged();
      return;
    }
    TStep& parent = path[level - 1];
    parent.page->counts[parent.index] = static_cast<int32_t>(old->Total());
    parent.page->InsertEntry(parent.index + 1, fresh->Key(0, ks), ks, fresh->offset,
                             static_cast<int32_t>(fresh->Total()));
    Touch(*parent.page);
    --level;
  }
}

// ---- delete -------------------------------------------------------------------------------

bool TIndexTree::Remove(const uint8_t* key) {
  if (desc_.rootPage == 0) return false;
  const int ks = KeySize();
  TPath path;
  DescendForChange(key, path);
  auto cmp = [this](const uint8_t* a, const uint8_t* b, int n) { return Cmp(a, b, n); };
  TIndexPage& leaf = *path.back().page;
  int pos = Bound(leaf, ks, key, ks, false, cmp);
  if (pos >= leaf.Count() || Cmp(leaf.Key(pos, ks), key, ks) != 0) return false;
  leaf.RemoveEntry(pos, ks);
  Touch(leaf);
  path.back().index = pos;
  for (size_t l = 0; l + 1 < path.size(); ++l) {
    --path[l].page->counts[path[l].index];
    Touch(*path[l].page);
  }
  ++generation_;
  if (pos == 0 && leaf.Count() > 0) FixFirstKeyUpward(path, path.size() - 1);
  HandleUnderflow(path, path.size() - 1);
  return true;
}

void TIndexTree::HandleUnderflow(TPath& path, size_t level) {
  for (;;) {
    auto page = path[level].page;
    if (page->kind == IndexPageKind::RootLeaf) {
      if (page->Count() == 0) {
        FreePage(*page);
        desc_.rootPage = 0;
        io_.DescriptorChanged();
      }
      return;
    }
    if (page->kind == IndexPageKind::Root) {
      if (page->Count() == 1) CollapseRoot();
      return;
    }
    if (level == 0) Corrupt();
    if (page->IsLeaf() && format_.Compressed()) {
      // A compressed leaf is only dealt with when it has become empty.
      if (page->Count() > 0) return;
      RemoveEmptyPage(path, level);
      --level;
      continue;
    }
    int capacity = page->IsLeaf() ? format_.LeafCapacity() : format_.UpperCapacity();
    if (page->Count() >= capacity / 2) return;
    Rebalance(path, level);
    return;
  }
}

void TIndexTree::RemoveEmptyPage(TPath& path, size_t level) {
  auto page = path[level].page;
  if (page->prev != 0) {
    auto before = GetPage(page->prev);
    before->next = page->next;
    Touch(*before);
  }
  if (page->next != 0) {
    auto after = GetPage(page->next);
    after->prev = page->prev;
    Touch(*after);
  }
  FreePage(*page);
  RemoveFromParent(path, level);
}

void TIndexTree::RemoveFromParent(TPath& path, size_t level) {
  const int ks = KeySize();
  TStep& parent = path[level - 1];
  parent.page->RemoveEntry(parent.index, ks);
  Touch(*parent.page);
  if (parent.index == 0 && parent.page->Count() > 0) FixFirstKeyUpward(path, level - 1);
}

void TIndexTree::Rebalance(TPath& path, size_t level) {
  const int ks = KeySize();
  // Joining may cascade upward: loop while a parent lost an entry and is short in turn.
  for (;;) {
    auto page = path[level].page;
    TStep& ps = path[level - 1];
    auto parent = ps.page;
    bool parentLost = false;
    if (parent->Count() < 2) {
      // An only child cannot be rebalanced; an empty one is taken out.
      if (page->Count() > 0) return;
      RemoveEmptyPage(path, level);
      parentLost = true;
    } else {
      // The previous page, unless the page is its parent's first child: then the next one.
      const int li = ps.index == 0 ? 0 : ps.index - 1;
      const int ri = li + 1;
      auto left = ps.index == li ? page : Child(*parent, li, level);
      auto right = ps.index == ri ? page : Child(*parent, ri, level);
      if (left->IsLeaf() != right->IsLeaf() || left->next != right->offset ||
          right->prev != left->offset)
        Corrupt();
      const int capacity = page->IsLeaf() ? format_.LeafCapacity() : format_.UpperCapacity();
      const int total = left->Count() + right->Count();
      if (total < capacity) {
        if (page == right) {
          // Join into the previous page.
          right->MoveHead(right->Count(), *left, ks);
          left->next = right->next;
          if (right->next != 0) {
            auto after = GetPage(right->next);
            after->prev = left->offset;
            Touch(*after);
          }
          parent->counts[li] = static_cast<int32_t>(left->Total());
          FreePage(*right);
          ps.index = ri;
        } else {
          // Join into the next page.
          left->MoveTail(0, *right, true, ks);
          right->prev = left->prev;
          if (left->prev != 0) {
            auto before = GetPage(left->prev);
            before->next = right->offset;
            Touch(*before);
          }
          parent->counts[ri] = static_cast<int32_t>(right->Total());
          std::memcpy(parent->Key(ri, ks), right->Key(0, ks), static_cast<size_t>(ks));
          FreePage(*left);
          ps.index = li;
        }
        Touch(*left);
        Touch(*right);
        Touch(*parent);
        RemoveFromParent(path, level);
        parentLost = true;
      } else {
        // Share the entries evenly.
        const int keepLeft = (total + 1) / 2;
        if (left->Count() > keepLeft) {
          left->MoveTail(keepLeft, *right, true, ks);
        } else if (left->Count() < keepLeft) {
          right->MoveHead(keepLeft - left->Count(), *left, ks);
        }
        parent->counts[li] = static_cast<int32_t>(left->Total());
        parent->counts[ri] = static_cast<int32_t>(right->Total());
        std::memcpy(parent->Key(ri, ks), right->Key(0, ks), static_cast<size_t>(ks));
        Touch(*left);
        Touch(*right);
        Touch(*parent);
      }
    }
    if (!parentLost) return;
    // The parent lost an entry: a root may collapse, any other page may be short now.
    --level;
    auto up = path[level].page;
    if (up->kind == IndexPageKind::Root) {
      if (up->Count() == 1) CollapseRoot();
      return;
    }
    if (level == 0) Corrupt();
    if (up->Count() >= format_.UpperCapacity() / 2 && up->Count() > 0) return;
  }
}

void TIndexTree::CollapseRoot() {
  auto root = RootPage();
  for (size_t depth = 0; root->kind == IndexPageKind::Root && root->Count() == 1; ++depth) {
    if (depth >= kMaxDepth) Corrupt();
    auto child = Child(*root, 0, 1);
    child->kind = child->IsLeaf() ? IndexPageKind::RootLeaf : IndexPageKind::Root;
    child->prev = 0;
    child->next = 0;
    Touch(*child);
    desc_.rootPage = child->offset;
    FreePage(*root);
    io_.DescriptorChanged();
    root = child;
  }
}

// ---- verification -------------------------------------------------------------------------

std::vector<int32_t> TIndexTree::FreePages() {
  std::vector<int32_t> pages;
  std::set<int32_t> seen;
  const int64_t maxPages = io_.EndOffset() / kIndexPageSize;
  for (int32_t at = desc_.freeChain; at != 0;) {
    if (!seen.insert(at).second || static_cast<int64_t>(pages.size()) > maxPages) Corrupt();
    auto page = GetPage(at);
    if (page->Count() != 0) Corrupt();
    pages.push_back(at);
    at = page->next;
  }
  return pages;
}

std::vector<std::string> TIndexTree::Verify() {
  std::vector<std::string> problems;
  auto report = [&problems](int32_t offset, const std::string& what) {
    problems.push_back("page " + std::to_string(offset) + ": " + what);
  };
  const int ks = KeySize();
  std::set<int32_t> seen;
  try {
    if (desc_.rootPage != 0) {
      auto root = GetPage(desc_.rootPage);
      if (!root->IsRoot()) report(root->offset, "root page of kind " + std::to_string(root->kind));
      if (root->prev != 0 || root->next != 0) report(root->offset, "root page has neighbours");
      std::vector<std::shared_ptr<TIndexPage>> level{root};
      std::vector<int32_t> expectedCounts{-1};
      std::vector<std::vector<uint8_t>> expectedKeys{{}};
      for (size_t depth = 0; !level.empty(); ++depth) {
        if (depth >= kMaxDepth) {
          report(level[0]->offset, "tree deeper than " + std::to_string(kMaxDepth));
          break;
        }
        const bool leafLevel = level[0]->IsLeaf();
        std::vector<std::shared_ptr<TIndexPage>> below;
        std::vector<int32_t> belowCounts;
        std::vector<std::vector<uint8_t>> belowKeys;
        for (size_t i = 0; i < level.size(); ++i) {
          const TIndexPage& p = *level[i];
          if (!seen.insert(p.offset).second) {
            report(p.offset, "reached twice");
            return problems;
          }
          if (p.IsLeaf() != leafLevel) report(p.offset, "leaves on different levels");
          if (depth > 0 && p.IsRoot()) report(p.offset, "root kind below the root");
          if (p.Count() == 0) report(p.offset, "no entries");
          if (PageOverfull(p, format_)) report(p.offset, "more entries than fit");
          int32_t wantPrev = i == 0 ? 0 : level[i - 1]->offset;
          int32_t wantNext = i + 1 == level.size() ? 0 : level[i + 1]->offset;
          if (p.prev != wantPrev) report(p.offset, "previous link " + std::to_string(p.prev));
          if (p.next != wantNext) report(p.offset, "next link " + std::to_string(p.next));
          if (expectedCounts[i] >= 0 && p.Total() != expectedCounts[i])
            report(p.offset, "count in parent " + std::to_string(expectedCounts[i]) +
                                 ", entries below " + std::to_string(p.Total()));
          if (depth > 0 && p.Count() > 0 &&
              std::memcmp(expectedKeys[i].data(), p.Key(0, ks), static_cast<size_t>(ks)) != 0)
            report(p.offset, "parent key differs from first key");
          for (int e = 1; e < p.Count(); ++e)
            if (Cmp(p.Key(e - 1, ks), p.Key(e, ks), ks) >= 0)
              report(p.offset, "keys out of order at entry " + std::to_string(e));
          if (i > 0 && p.Count() > 0 && level[i - 1]->Count() > 0 &&
              Cmp(level[i - 1]->Key(level[i - 1]->Count() - 1, ks), p.Key(0, ks), ks) >= 0)
            report(p.offset, "first key not above the previous page's last");
          if (!p.IsLeaf()) {
            for (int e = 0; e < p.Count(); ++e) {
              below.push_back(GetPage(p.refs[e]));
              belowCounts.push_back(p.counts[e]);
              belowKeys.emplace_back(p.Key(e, ks), p.Key(e, ks) + ks);
            }
          }
        }
        level = std::move(below);
        expectedCounts = std::move(belowCounts);
        expectedKeys = std::move(belowKeys);
      }
    }
    for (int32_t free : FreePages()) {
      if (seen.count(free)) report(free, "both in the tree and on the free chain");
    }
  } catch (const EStoreEngineError& e) {
    problems.push_back(e.what());
  }
  return problems;
}

}  // namespace quellor
