// One index of the index file: its B+-tree of pages, kept balanced, with the number of leaf
// entries below every upper entry so that the position of a key, the count of a key range and
// the n-th entry each take one descent; its chain of free pages; and its own cache of decoded
// pages (the most recently used looked up first, then the rest sorted by offset by halving).
//
// Changed pages stay in the cache until WriteDirtyPages; nothing read from the file is trusted
// (IndexPage.h), and a damaged tree raises 8965 rather than looping or crashing. Every page read
// from the file is checked on the way: in a byte-ordered index its keys stand in order, and a
// child page must not be a root, must hold the count and begin with the key its parent gives it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/api/StoreTypes.h"
#include "store/btree/KeyCompare.h"
#include "store/format/IndexPage.h"
#include "store/format/KeyLayout.h"

namespace quellor {

// What a tree needs of the file that holds it.
class TIndexPageIo {
 public:
  virtual ~TIndexPageIo() = default;
  // Reads the 4096 bytes of a page (deciphered); a short read raises 9217.
  virtual void ReadPage(int32_t offset, uint8_t* raw) = 0;
  // Writes the 4096 bytes of a page (enciphering them); a failed write raises 9218.
  virtual void WritePage(int32_t offset, const uint8_t* raw) = 0;
  // The offset for a new page at the end of the file, which then grows by 4096; 9479 when the
  // end offset is beyond 2,000,000,000.
  virtual int32_t AppendPage() = 0;
  virtual int32_t EndOffset() const = 0;
  // The tree's root or free chain changed: the header must be written.
  virtual void DescriptorChanged() = 0;
  virtual const std::string& TableName() const = 0;
};

class TIndexTree {
 public:
  // One step of a path from the root to a leaf entry.
  struct TStep {
    std::shared_ptr<TIndexPage> page;
    int index = 0;
  };
  using TPath = std::vector<TStep>;

  TIndexTree(TIndexPageIo& io, TIndexDesc desc, TKeyLayout layout);

  const TIndexDesc& Desc() const { return desc_; }
  const TKeyLayout& Layout() const { return layout_; }
  const TKeyComparer& Comparer() const { return comparer_; }
  const TIndexPageFormat& Format() const { return format_; }
  int KeySize() const { return format_.keySize; }
  bool Empty() const { return desc_.rootPage == 0; }
  // Changes with every change of the tree and of the cache's validity; cursors compare it to
  // know that their path must be found again.
  uint64_t Generation() const { return generation_; }

  // Number of entries: the sum of the root's counts.
  int64_t Count();
  // The record number of the entry whose key equals `key` (a whole key), if any.
  std::optional<int32_t> Find(const uint8_t* key);
  // Adds an entry. Uniqueness is the caller's check.
  void Insert(const uint8_t* key, int32_t recNo);
  // Adds an entry unless the tree holds one with an equal key for another record: then it
  // returns false and changes nothing. One descent checks and places the entry.
  bool InsertUnique(const uint8_t* key, int32_t recNo);
  // Removes the entry whose key equals `key`; false when there is none.
  bool Remove(const uint8_t* key);

  // Descents for cursors. Each fills `path` and returns the position (0-based) of the entry it
  // stops at; at the end of the index the path's leaf index equals the leaf's count (or the
  // path is empty in an empty index) and the position is Count().
  int64_t SeekFirstNotBelow(const uint8_t* key, int n, TPath& path);  // first entry >= key
  int64_t SeekFirstAbove(const uint8_t* key, int n, TPath& path);     // first entry > key
  int64_t SeekPosition(int64_t position, TPath& path);                // the n-th entry
  // Steps to the next or prior entry; false (path unchanged) at the end or the start.
  bool StepNext(TPath& path);
  bool StepPrior(TPath& path);
  static bool OnEntry(const TPath& path) {
    return !path.empty() && path.back().index < path.back().page->Count();
  }
  const uint8_t* PathKey(const TPath& path) const {
    return path.back().page->Key(path.back().index, KeySize());
  }
  int32_t PathRecNo(const TPath& path) const { return path.back().page->refs[path.back().index]; }

  // Writes every changed page (in offset order) and keeps them cached.
  void WriteDirtyPages();
  bool HasDirtyPages() const;
  // About how many pages are changed and not written (a page changed back after a failed change
  // may count twice): what the tree holds in memory that only a write can free.
  size_t DirtyPageCount() const { return dirtyPages_.size(); }
  // Forgets every cached page, changed or not (another user changed the file, or a
  // transaction was rolled back), and takes the descriptor's root and free chain from `desc`.
  void Reload(const TIndexDesc& desc);
  // A change of the table begins: from here on the tree remembers every page as it was, so
  // that AbortChange can put the tree (pages in the cache, root, free chain) back as it was at
  // BeginChange. EndChange keeps what was done. Pages newly taken from the end of the file are
  // dropped on abort (the file's end offset is the caller's to restore).
  void BeginChange();
  void EndChange();
  void AbortChange();
  bool InChange() const { return inChange_; }
  // Renames the index (the descriptor's name only).
  void SetName(const std::string& name) { desc_.name = name; }

  // Walks the whole tree and reports every broken rule: page kinds, links in both directions
  // on every level, the parent's key equal to the child's first key, counts equal to the
  // entries below, keys in order, all leaves on one level, page sizes, and a free chain of
  // free pages. Empty when the tree is sound. Damage that stops the walk is reported too.
  std::vector<std::string> Verify();
  // Offsets of the pages on the free chain (at most as many as the file has pages).
  std::vector<int32_t> FreePages();

 private:
  // The first entry not below the key (above == false) or above it, comparing its first n bytes.
  int64_t SeekBound(const uint8_t* key, int n, bool above, TPath& path);
  int Cmp(const uint8_t* a, const uint8_t* b, int n) const { return comparer_.Compare(a, b, n); }
  std::shared_ptr<TIndexPage> GetPage(int32_t offset);
  std::shared_ptr<TIndexPage> RootPage();
  std::shared_ptr<TIndexPage> Child(const TIndexPage& parent, int index, size_t depth);
  std::shared_ptr<TIndexPage> AllocatePage(uint8_t kind);
  void FreePage(TIndexPage& page);
  void Touch(TIndexPage& page) {
    if (!page.dirty) dirtyPages_.push_back(page.offset);
    page.dirty = true;
  }
  TIndexPage* CachedPage(int32_t offset) const;
  // How many pages the cache keeps before it evicts clean ones.
  size_t CachedPagesLimit() const;
  void Remember(const TIndexPage& page);
  void EvictIfFull();
  [[noreturn]] void Corrupt() const;

  bool InsertChecked(const uint8_t* key, int32_t recNo, bool refuseEqual);
  // Descends choosing in upper pages the last entry not above `key` (insert and delete).
  void DescendForChange(const uint8_t* key, TPath& path);
  void FixFirstKeyUpward(TPath& path, size_t level);
  void SplitUpward(TPath& path, size_t level);
  void HandleUnderflow(TPath& path, size_t level);
  void Rebalance(TPath& path, size_t level);
  // Takes an empty page out of its level's links, frees it and removes its parent entry.
  void RemoveEmptyPage(TPath& path, size_t level);
  void RemoveFromParent(TPath& path, size_t level);
  void CollapseRoot();
  void NormalizeEnd(TPath& path);
  void DescendEdge(TPath& path, bool first);

  TIndexPageIo& io_;
  TIndexDesc desc_;
  TKeyLayout layout_;
  TKeyComparer comparer_;
  TIndexPageFormat format_;
  uint64_t generation_ = 1;
  uint64_t useClock_ = 0;
  // The cache: every cached page sorted by offset, and the most recently used in front.
  std::vector<std::shared_ptr<TIndexPage>> cache_;
  std::array<std::shared_ptr<TIndexPage>, 4> recent_;
  // The offsets of the pages made dirty since the last WriteDirtyPages (some may be clean or
  // gone again), so that writing them does not walk every cached page.
  std::vector<int32_t> dirtyPages_;
  uint64_t decodedBytes_ = 0, decodedPages_ = 0;  // of the pages read, for the cache's size
  std::vector<uint8_t> raw_;                      // one page's bytes, for reading and writing pages
  // The journal of the current change: each page as it was before it (none for a new page).
  // The first undoCount_ entries belong to the change; the entries after them keep their
  // buffers, so that remembering the pages of the next change allocates nothing. Lookups go
  // through undoIndex_ once a change remembers more than a few pages.
  struct TUndoEntry {
    int32_t offset = 0;
    bool existed = false;
    TIndexPage page;
  };
  bool Remembered(int32_t offset) const;
  void AddUndo(int32_t offset, const TIndexPage* page);
  void ClearUndo();
  bool inChange_ = false;
  bool writtenInChange_ = false;  // pages were written between BeginChange and its end
  std::vector<TUndoEntry> undo_;
  size_t undoCount_ = 0;
  std::unordered_map<int32_t, size_t> undoIndex_;
  TIndexDesc savedDesc_;
};

}  // namespace quellor
