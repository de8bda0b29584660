#include "store/engine/Journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

#include "store/api/StoreError.h"
#include "store/format/ByteOrder.h"
#include "store/os/PhysicalFile.h"
#include "store/os/RandomSeed.h"

namespace quellor {

using namespace bytes;

namespace {

constexpr char kMagic[8] = {'Q', 'J', 'O', 'U', 'R', 'N', 'A', 'L'};
// Version 2 checksums the body with JournalChecksum; version 1 (still read, so that a journal
// left by an earlier build is rolled back) with JournalChecksumV1. Headers use
// JournalChecksumV1 in both.
constexpr uint32_t kJournalVersion = 2;
constexpr uint32_t kJournalVersionV1 = 1;
constexpr uint32_t kStateIdle = 0;
constexpr uint32_t kStateRollBack = 1;
constexpr uint32_t kStateCut = 2;
constexpr int kFileTableSize = kJournalFileCount * 16;
constexpr int kEntryHeaderSize = 16;
// A journal body beyond this is cut away when the journal ends, so that one large transaction
// does not leave a large file behind.
constexpr int64_t kKeepBodyLimit = 1 << 20;
// The order in which held-back writes reach the files: BLOB blocks before the records that
// point at them, records before the index entries that lead to them.
constexpr std::array<int, kJournalFileCount> kApplyOrder{2, 0, 1};

uint64_t Mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  return h;
}

bool WriteAll(int fd, const uint8_t* data, size_t size, int64_t offset) {
  size_t done = 0;
  while (done < size) {
    file_calls::Count(file_calls::writes);
    ssize_t n = ::pwrite(fd, data + done, size - done, offset + static_cast<int64_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

int64_t ReadAll(int fd, uint8_t* data, size_t size, int64_t offset) {
  size_t done = 0;
  while (done < size) {
    file_calls::Count(file_calls::reads);
    ssize_t n = ::pread(fd, data + done, size - done, offset + static_cast<int64_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

bool KnownVersion(uint32_t version) {
  return version == kJournalVersion || version == kJournalVersionV1;
}

uint64_t BodyChecksum(uint32_t version, const uint8_t* data, size_t size, uint64_t seed) {
  return version == kJournalVersionV1 ? JournalChecksumV1(data, size, seed)
                                      : JournalChecksum(data, size, seed);
}

bool FullWrite(TAbstractFile& file, int64_t offset, const std::vector<uint8_t>& bytes) {
  int64_t size = static_cast<int64_t>(bytes.size());
  return file.WriteAt(offset, bytes.data(), size) == size;
}

}  // namespace

uint64_t JournalChecksumV1(const uint8_t* data, size_t size, uint64_t seed) {
  uint64_t h = Mix(seed ^ 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(size));
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    h ^= GetU64(data + i);
    h *= 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  uint8_t tail[8] = {};
  std::memcpy(tail, data + i, size - i);
  h ^= GetU64(tail);
  return Mix(h * 0x9E3779B97F4A7C15ull);
}

// Kept scalar: the vector units of the base instruction set have no 64-bit multiply, and
// emulating it is slower than four scalar chains.
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-tree-vectorize")))
#endif
uint64_t
JournalChecksum(const uint8_t* data, size_t size, uint64_t seed) {
  // Four independent lanes over 32-byte blocks: the multiplications of the lanes overlap
  // instead of waiting for one another. Each lane starts from its own value, so that moving
  // a word from one lane to another changes the sum.
  constexpr uint64_t kPrime = 0x9E3779B97F4A7C15ull;
  const uint64_t start = Mix(seed ^ kPrime ^ static_cast<uint64_t>(size));
  uint64_t a = start, b = start ^ 0xC2B2AE3D27D4EB4Full, c = start ^ 0x165667B19E3779F9ull,
           d = start ^ 0x27D4EB2F165667C5ull;
  auto step = [](uint64_t h, uint64_t word) {
    h ^= word;
    h *= kPrime;
    return h ^ (h >> 29);
  };
  size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    a = step(a, GetU64(data + i));
    b = step(b, GetU64(data + i + 8));
    c = step(c, GetU64(data + i + 16));
    d = step(d, GetU64(data + i + 24));
  }
  const uint64_t lane[4] = {a, b, c, d};
  uint64_t h =
      Mix(lane[0]) ^ Mix(lane[1] + kPrime) ^ Mix(lane[2] + 2 * kPrime) ^ Mix(lane[3] + 3 * kPrime);
  for (; i + 8 <= size; i += 8) {
    h ^= GetU64(data + i);
    h *= kPrime;
    h ^= h >> 29;
  }
  uint8_t tail[8] = {};
  std::memcpy(tail, data + i, size - i);
  h ^= GetU64(tail);
  return Mix(h * kPrime);
}

// ---- TJournaledFile -----------------------------------------------------------------------

namespace {
// The size a run of held-back writes grows to by writes that continue it.
constexpr size_t kRunLimit = size_t{1} << 20;
}  // namespace

void TJournaledFile::Hold(int64_t offset, const uint8_t* bytes, int64_t count) {
  auto& runs = held_.runs;
  const int64_t end = offset + count;
  // The common case, pages or records written in order: the write continues the run before.
  auto it = runs.upper_bound(offset);
  if (it != runs.begin()) {
    auto prev = std::prev(it);
    int64_t prevEnd = prev->first + static_cast<int64_t>(prev->second.size());
    // A run is continued up to kRunLimit only: growing one vector by the whole change would
    // need its old and its new buffer at once. Runs that touch are written one after another.
    if (prevEnd == offset && (it == runs.end() || it->first > end) &&
        prev->second.size() + static_cast<size_t>(count) <= kRunLimit) {
      if (prev->second.capacity() < prev->second.size() + static_cast<size_t>(count))
        prev->second.reserve(
            std::min(kRunLimit, 2 * (prev->second.size() + static_cast<size_t>(count))));
      prev->second.insert(prev->second.end(), bytes, bytes + count);
      held_.bytes += count;
      held_.runsEnd = std::max(held_.runsEnd, end);
      if (held_.cut) held_.sizeAfterCut = std::max(held_.sizeAfterCut, end);
      return;
    }
    if (prevEnd > offset) it = prev;
  }
  int64_t start = offset, stop = end;
  auto last = it;
  while (last != runs.end() && last->first <= end) {
    start = std::min(start, last->first);
    stop = std::max(stop, last->first + static_cast<int64_t>(last->second.size()));
    ++last;
  }
  std::vector<uint8_t> merged(static_cast<size_t>(stop - start));
  for (auto r = it; r != last; ++r) {
    std::copy(r->second.begin(), r->second.end(), merged.begin() + (r->first - start));
    held_.bytes -= static_cast<int64_t>(r->second.size());
  }
  held_.bytes += static_cast<int64_t>(merged.size());
  std::copy(bytes, bytes + count, merged.begin() + (offset - start));
  runs.erase(it, last);
  runs.emplace(start, std::move(merged));
  held_.runsEnd = std::max(held_.runsEnd, end);
  if (held_.cut) held_.sizeAfterCut = std::max(held_.sizeAfterCut, end);
}

size_t TJournaledFile::LongestHeldRun() const {
  size_t longest = 0;
  for (const auto& [offset, bytes] : held_.runs) longest = std::max(longest, bytes.size());
  return longest;
}

void TJournaledFile::HoldCut(int64_t size) {
  auto& runs = held_.runs;
  runs.erase(runs.lower_bound(size), runs.end());
  if (!runs.empty()) {
    auto& last = *runs.rbegin();
    if (last.first + static_cast<int64_t>(last.second.size()) > size)
      last.second.resize(static_cast<size_t>(size - last.first));
  }
  held_.bytes = 0;
  for (const auto& [offset, bytes] : runs) held_.bytes += static_cast<int64_t>(bytes.size());
  held_.cut = held_.cut ? std::min(*held_.cut, size) : size;
  held_.sizeAfterCut = size;
  held_.runsEnd =
      runs.empty() ? 0 : runs.rbegin()->first + static_cast<int64_t>(runs.rbegin()->second.size());
}

int64_t TJournaledFile::ReadAt(int64_t offset, void* buffer, int64_t count) {
  if (!holding_) return base_->ReadAt(offset, buffer, count);
  if (offset < 0 || count < 0) return -1;
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t got = base_->ReadAt(offset, out, count);
  if (got < 0) return -1;
  std::memset(out + got, 0, static_cast<size_t>(count - got));
  if (held_.cut) {
    int64_t keep = std::clamp<int64_t>(*held_.cut - offset, 0, got);
    std::memset(out + keep, 0, static_cast<size_t>(count - keep));
    got = std::clamp<int64_t>(held_.sizeAfterCut - offset, 0, count);
  } else {
    got = std::max(got, std::clamp<int64_t>(held_.runsEnd - offset, 0, count));
  }
  const int64_t end = offset + count;
  auto it = held_.runs.upper_bound(offset);
  if (it != held_.runs.begin()) --it;
  for (; it != held_.runs.end() && it->first < end; ++it) {
    int64_t runEnd = it->first + static_cast<int64_t>(it->second.size());
    int64_t from = std::max(offset, it->first), to = std::min(end, runEnd);
    if (from < to)
      std::memcpy(out + (from - offset), it->second.data() + (from - it->first),
                  static_cast<size_t>(to - from));
  }
  return got;
}

const uint8_t* TJournaledFile::KnownBytes(int64_t offset, int64_t count) const {
  auto it = known_.upper_bound(offset);
  if (it == known_.begin()) return nullptr;
  --it;
  const int64_t end = it->first + static_cast<int64_t>(it->second.size());
  if (offset + count > end) return nullptr;
  return it->second.data() + (offset - it->first);
}

int64_t TJournaledFile::WriteAt(int64_t offset, const void* buffer, int64_t count) {
  if (!holding_) {
    ForgetKnown();
    return base_->WriteAt(offset, buffer, count);
  }
  if (offset < 0 || count < 0 || base_->IsReadOnly()) return -1;
  if (count == 0) {
    HoldCut(offset);
    return 0;
  }
  Hold(offset, static_cast<const uint8_t*>(buffer), count);
  if (journal_) journal_->HeldGrew();
  return count;
}

int64_t TJournaledFile::Size() {
  if (!holding_) return base_->Size();
  if (held_.cut) return held_.sizeAfterCut;
  int64_t size = base_->Size();
  return size < 0 ? size : std::max(size, held_.runsEnd);
}

bool TJournaledFile::Flush() {
  if (!holding_) return base_->Flush();
  held_.flushAsked = true;
  return true;
}

// ---- TTableJournal ------------------------------------------------------------------------

TTableJournal::TTableJournal(std::string path, std::string tableName)
    : path_(std::move(path)), tableName_(std::move(tableName)) {
  nonceCounter_ = RandomSeed();
}

TTableJournal::~TTableJournal() {
  if (fd_ >= 0) ::close(fd_);
}

void TTableJournal::Fail(uint16_t code) const {
  throw EStoreEngineError(code, {tableName_});
}

void TTableJournal::SetFiles(TJournaledFile* data, TJournaledFile* index, TJournaledFile* blob) {
  files_ = {data, index, blob};
  for (TJournaledFile* f : files_)
    if (f) f->journal_ = this;
}

bool TTableJournal::OpenFile(bool create) {
  if (fd_ >= 0 && (writable_ || !create)) return true;
  int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0666);
  bool writable = fd >= 0;
  if (fd < 0 && !create && (errno == EACCES || errno == EROFS || errno == EPERM))
    fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (!create && errno == ENOENT) return false;
    uint16_t code = OsErrorCode(errno);
    if (!create && code == StoreCode::InvalidPath) return false;
    throw EStoreEngineError(code, {tableName_});
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    Fail(StoreCode::AccessDenied);
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  writable_ = writable;
  return true;
}

bool TTableJournal::Hot() {
  if (fd_ < 0 && !OpenFile(false)) return false;
  uint8_t h[kJournalHeaderSize];
  if (ReadAll(fd_, h, sizeof h, 0) != kJournalHeaderSize) return false;
  if (std::memcmp(h, kMagic, sizeof kMagic) != 0 || !KnownVersion(GetU32(h + 8))) return false;
  if (JournalChecksumV1(h, 56, 0) != GetU64(h + 56)) return false;
  uint32_t state = GetU32(h + 12);
  return state == kStateRollBack || state == kStateCut;
}

bool TTableJournal::ReadJournal(TPlan& plan, uint32_t& state) {
  state = kStateIdle;
  uint8_t* h = header_.data();
  if (ReadAll(fd_, h, kJournalHeaderSize, 0) != kJournalHeaderSize) return false;
  if (std::memcmp(h, kMagic, sizeof kMagic) != 0 || !KnownVersion(GetU32(h + 8)) ||
      JournalChecksumV1(h, 56, 0) != GetU64(h + 56))
    return false;
  const uint32_t version = GetU32(h + 8);
  state = GetU32(h + 12);
  if (state != kStateRollBack && state != kStateCut) return false;
  // From here on a journal that does not hold together was torn while it was written: the
  // table files were not touched yet.
  const uint64_t nonce = GetU64(h + 16);
  const uint32_t count = GetU32(h + 24);
  const int64_t length = GetI64(h + 32);
  struct stat st {};
  if (::fstat(fd_, &st) != 0) Fail(StoreCode::ReadError);
  bodyLength_ = std::max<int64_t>(length, 0);
  if (length < kFileTableSize || length > st.st_size - kJournalHeaderSize) {
    state = kStateIdle;
    return false;
  }
  std::vector<uint8_t> body(static_cast<size_t>(length));
  if (ReadAll(fd_, body.data(), body.size(), kJournalHeaderSize) != length)
    Fail(StoreCode::ReadError);
  if (BodyChecksum(version, body.data(), body.size(), nonce) != GetU64(h + 40)) {
    state = kStateIdle;
    return false;
  }
  for (int i = 0; i < kJournalFileCount; ++i) {
    plan.sizeBefore[i] = GetI64(body.data() + i * 16);
    plan.cutTo[i] = GetI64(body.data() + i * 16 + 8);
  }
  size_t at = kFileTableSize;
  for (uint32_t e = 0; e < count; ++e) {
    if (at + kEntryHeaderSize > body.size()) return state = kStateIdle, false;
    int file = body[at];
    uint32_t n = GetU32(body.data() + at + 4);
    int64_t offset = GetI64(body.data() + at + 8);
    at += kEntryHeaderSize;
    if (file >= kJournalFileCount || n > body.size() - at || offset < 0)
      return state = kStateIdle, false;
    plan.entries.push_back(
        {file, offset, std::vector<uint8_t>(body.begin() + at, body.begin() + at + n)});
    at += n;
  }
  if (state == kStateRollBack) ReadLevels(plan, version, nonce, st.st_size);
  return true;
}

uint64_t TTableJournal::LevelNonce(uint64_t nonce, uint32_t level) {
  return Mix(nonce ^ (0xC2B2AE3D27D4EB4Full * level));
}

void TTableJournal::ReadLevels(TPlan& plan, uint32_t version, uint64_t nonce, int64_t fileSize) {
  int64_t at = kJournalHeaderSize + bodyLength_;
  for (uint32_t level = 1;; ++level) {
    uint8_t h[kJournalHeaderSize];
    if (at + kJournalHeaderSize > fileSize ||
        ReadAll(fd_, h, kJournalHeaderSize, at) != kJournalHeaderSize)
      return;
    const uint64_t levelNonce = LevelNonce(nonce, level);
    // A level has the version of the journal it follows.
    if (std::memcmp(h, kMagic, sizeof kMagic) != 0 || GetU32(h + 8) != version ||
        JournalChecksumV1(h, 56, 0) != GetU64(h + 56) || GetU32(h + 12) != kStateRollBack ||
        GetU64(h + 16) != levelNonce)
      return;
    const uint32_t count = GetU32(h + 24);
    const int64_t length = GetI64(h + 32);
    if (length < kFileTableSize || length > fileSize - at - kJournalHeaderSize) return;
    std::vector<uint8_t> body(static_cast<size_t>(length));
    if (ReadAll(fd_, body.data(), body.size(), at + kJournalHeaderSize) != length ||
        BodyChecksum(version, body.data(), body.size(), levelNonce) != GetU64(h + 40))
      return;
    std::vector<TEntry> entries;
    size_t pos = kFileTableSize;
    for (uint32_t e = 0; e < count; ++e) {
      if (pos + kEntryHeaderSize > body.size()) return;
      int file = body[pos];
      uint32_t n = GetU32(body.data() + pos + 4);
      int64_t offset = GetI64(body.data() + pos + 8);
      pos += kEntryHeaderSize;
      if (file >= kJournalFileCount || n > body.size() - pos || offset < 0) return;
      entries.push_back(
          {file, offset, std::vector<uint8_t>(body.begin() + pos, body.begin() + pos + n)});
      pos += n;
    }
    for (auto& e : entries) plan.entries.push_back(std::move(e));
    at += kJournalHeaderSize + length;
    bodyLength_ = at - kJournalHeaderSize;
  }
}

bool TTableJournal::Resolve() {
  std::array<TAbstractFile*, kJournalFileCount> files{};
  for (int i = 0; i < kJournalFileCount; ++i)
    if (files_[i]) files[i] = &files_[i]->Base();
  return Resolve(files);
}

bool TTableJournal::Resolve(std::array<TAbstractFile*, kJournalFileCount> files) {
  // Resolving writes the files behind the wrappers' backs.
  ForgetAllKnown();
  trustKnown_ = false;
  if (fd_ < 0 && !OpenFile(false)) return false;
  TPlan plan;
  uint32_t state = kStateIdle;
  bool sound = ReadJournal(plan, state);
  if (!sound) {
    // A journal torn while it was written (no table file was touched yet) is ended, so that
    // nobody looks at it again.
    uint32_t stored = GetU32(header_.data() + 12);
    bool headerSound = JournalChecksumV1(header_.data(), 56, 0) == GetU64(header_.data() + 56);
    if (headerSound && (stored == kStateRollBack || stored == kStateCut)) {
      OpenFile(true);
      EndJournal(true);
    }
    return false;
  }
  if (!writable_) OpenFile(true);
  if (state == kStateRollBack) {
    if (!Undo(plan, files, true)) Fail(StoreCode::WriteError);
  } else {
    for (int i = 0; i < kJournalFileCount; ++i) {
      if (plan.cutTo[i] < 0 || !files[i]) continue;
      if (files[i]->WriteAt(plan.cutTo[i], nullptr, 0) != 0 || !files[i]->Flush())
        Fail(StoreCode::WriteError);
    }
  }
  EndJournal(true);
  return true;
}

bool TTableJournal::Undo(const TPlan& plan,
                         const std::array<TAbstractFile*, kJournalFileCount>& files, bool sync) {
  bool ok = true;
  std::array<bool, kJournalFileCount> touched{};
  for (const TEntry& e : plan.entries) {
    TAbstractFile* file = files[static_cast<size_t>(e.file)];
    if (!file) continue;
    ok = FullWrite(*file, e.offset, e.bytes) && ok;
    touched[static_cast<size_t>(e.file)] = true;
  }
  for (int i = 0; i < kJournalFileCount; ++i) {
    if (plan.sizeBefore[i] < 0 || !files[i]) continue;
    ok = files[i]->WriteAt(plan.sizeBefore[i], nullptr, 0) == 0 && ok;
    touched[i] = true;
  }
  if (sync) {
    for (int i = 0; i < kJournalFileCount; ++i)
      if (touched[i] && files[i]) ok = files[i]->Flush() && ok;
  }
  return ok;
}

void TTableJournal::Begin(bool durable, int64_t spillChunk) {
  spillChunk_ = spillChunk;
  chunkDurable_ = durable;
  holding_ = true;
  for (TJournaledFile* f : files_) {
    if (!f) continue;
    f->holding_ = true;
    f->held_ = {};
  }
}

void TTableJournal::HeldGrew() {
  if (!holding_ || spillChunk_ <= 0) return;
  int64_t held = 0;
  for (const TJournaledFile* f : files_)
    if (f) held += f->held_.bytes;
  if (held < spillChunk_) return;
  // What is held goes to the files under a level of its own; the writes that follow are held
  // anew. The caller's write is among those spilled, so it has reached the file.
  const int64_t chunk = spillChunk_;
  const bool durable = chunkDurable_;
  Spill(durable);
  Begin(durable, chunk);
}

void TTableJournal::ForgetAllKnown() {
  for (TJournaledFile* f : files_)
    if (f) f->ForgetKnown();
}

void TTableJournal::KeepKnown(const TPlan& plan) {
  // Kept only while small: the runs are moved, not copied, and replace what was kept before.
  constexpr size_t kKnownLimit = size_t{512} << 10;
  for (int i = 0; i < kJournalFileCount; ++i) {
    TJournaledFile* f = files_[i];
    if (!f) continue;
    auto& held = f->held_;
    size_t total = 0;
    for (const auto& run : held.runs) total += run.second.size();
    const int64_t before = plan.knownBefore[i];
    if (held.cut || plan.cutTo[i] >= 0 || total > kKnownLimit) {
      f->ForgetKnown();
      continue;
    }
    f->knownSize_ = before >= 0 ? std::max(before, held.runsEnd) : -1;
    f->known_ = std::move(held.runs);
  }
}

void TTableJournal::DropHeld() {
  holding_ = false;
  spillChunk_ = 0;
  trustKnown_ = false;
  for (TJournaledFile* f : files_) {
    if (!f) continue;
    f->holding_ = false;
    f->held_ = {};
  }
}

bool TTableJournal::HeldAnything() const {
  for (const TJournaledFile* f : files_)
    if (f && (!f->held_.runs.empty() || f->held_.cut)) return true;
  return false;
}

void TTableJournal::Abort() {
  DropHeld();
}

TTableJournal::TPlan TTableJournal::Plan() {
  TPlan plan;
  std::vector<uint8_t> scratch;  // before-images read from the files, one range at a time
  for (int i = 0; i < kJournalFileCount; ++i) {
    TJournaledFile* f = files_[i];
    if (!f) continue;
    auto& held = f->held_;
    TAbstractFile& base = f->Base();
    const bool trusted = trustKnown_ && !spilled_;
    int64_t sizeBefore = trusted ? f->knownSize_ : -1;  // known only where needed
    auto knowSize = [&] {
      if (sizeBefore < 0) sizeBefore = base.Size();
      if (sizeBefore < 0) Fail(StoreCode::ReadError);
    };
    // The before-image of [offset, offset + n) as entries; with `after` (the bytes the change
    // writes there) only the parts that differ from it, in blocks of 32 bytes (neighbouring
    // parts apart by less than two equal blocks stay one entry): what the change leaves as it
    // was needs no undoing. A page of which the change alters a few counts journals those.
    auto keep = [&](int64_t offset, const uint8_t* before, size_t n, const uint8_t* after) {
      if (n == 0) return;
      auto entry = [&](size_t from, size_t to) {
        plan.entries.push_back({i, offset + static_cast<int64_t>(from),
                                std::vector<uint8_t>(before + from, before + to)});
      };
      if (!after || held.cut) {
        entry(0, n);
        return;
      }
      constexpr size_t kBlock = 32;
      auto differs = [&](size_t at, size_t len) {
        if (len == kBlock) {
          uint64_t d = 0;
          for (size_t k = 0; k < kBlock; k += 8) {
            uint64_t x, y;
            std::memcpy(&x, before + at + k, 8);
            std::memcpy(&y, after + at + k, 8);
            d |= x ^ y;
          }
          return d != 0;
        }
        return std::memcmp(before + at, after + at, len) != 0;
      };
      size_t at = 0;
      while (at < n) {
        size_t len = std::min(kBlock, n - at);
        if (!differs(at, len)) {
          at += len;
          continue;
        }
        const size_t start = at;
        size_t stop = at + len;
        int equalBlocks = 0;
        for (at += len; at < n; at += len) {
          len = std::min(kBlock, n - at);
          if (differs(at, len)) {
            stop = at + len;
            equalBlocks = 0;
          } else if (++equalBlocks == 2) {
            break;
          }
        }
        entry(start, stop);
      }
    };
    auto journal = [&](int64_t offset, int64_t length, const uint8_t* after) {
      if (trusted) {
        if (const uint8_t* known = f->KnownBytes(offset, length)) {
          keep(offset, known, static_cast<size_t>(length), after);
          return;
        }
      }
      std::vector<uint8_t>& bytes = scratch;
      bytes.resize(static_cast<size_t>(length));
      int64_t got = base.ReadAt(offset, bytes.data(), length);
      if (got < 0) Fail(StoreCode::ReadError);
      if (got < length) {
        // The file ends inside (or before) the range: its size is known now.
        if (got > 0)
          sizeBefore = offset + got;
        else
          knowSize();
      }
      keep(offset, bytes.data(), static_cast<size_t>(got), after);
    };
    int64_t limit = INT64_MAX;  // runs at or beyond it need no before-image
    if (held.cut) {
      knowSize();
      if (*held.cut < sizeBefore) {
        if (held.runsEnd <= *held.cut && held.sizeAfterCut == *held.cut) {
          // Cut after the journal's state says so; nothing cut off needs keeping.
          plan.cutTo[i] = *held.cut;
          plan.cutting = true;
        } else {
          // Written beyond the cut as well: the bytes cut off are kept instead.
          journal(*held.cut, sizeBefore - *held.cut, nullptr);
          limit = sizeBefore;
        }
      } else {
        limit = sizeBefore;
      }
    }
    for (const auto& [offset, bytes] : held.runs) {
      int64_t end = offset + static_cast<int64_t>(bytes.size());
      if (sizeBefore >= 0) end = std::min(end, sizeBefore);
      end = std::min(end, limit);
      if (offset >= end) continue;
      journal(offset, end - offset, bytes.data());
    }
    plan.knownBefore[i] = sizeBefore;
    if (sizeBefore >= 0 && plan.cutTo[i] < 0) {
      int64_t after = held.cut ? held.sizeAfterCut : std::max(sizeBefore, held.runsEnd);
      if (after > sizeBefore || held.cut) plan.sizeBefore[i] = sizeBefore;
    }
  }
  return plan;
}

void TTableJournal::WriteJournal(const TPlan& plan, bool durable) {
  size_t bodySize = kFileTableSize;
  for (const TEntry& e : plan.entries) bodySize += kEntryHeaderSize + e.bytes.size();
  std::vector<uint8_t> buffer(kJournalHeaderSize + bodySize, 0);
  uint8_t* body = buffer.data() + kJournalHeaderSize;
  for (int i = 0; i < kJournalFileCount; ++i) {
    PutI64(body + i * 16, plan.sizeBefore[i]);
    PutI64(body + i * 16 + 8, plan.cutTo[i]);
  }
  size_t at = kFileTableSize;
  for (const TEntry& e : plan.entries) {
    body[at] = static_cast<uint8_t>(e.file);
    PutU32(body + at + 4, static_cast<uint32_t>(e.bytes.size()));
    PutI64(body + at + 8, e.offset);
    std::memcpy(body + at + kEntryHeaderSize, e.bytes.data(), e.bytes.size());
    at += kEntryHeaderSize + e.bytes.size();
  }
  if (nonceSeed_ == 0) {
    std::random_device device;
    nonceSeed_ = (static_cast<uint64_t>(device()) << 32) ^ device() ^
                 static_cast<uint64_t>(::getpid()) ^
                 static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    nonceSeed_ |= 1;
  }
  const uint64_t nonce = Mix((++nonceCounter_ * 0x9E3779B97F4A7C15ull) ^ nonceSeed_);
  uint8_t* h = buffer.data();
  std::memcpy(h, kMagic, sizeof kMagic);
  PutU32(h + 8, kJournalVersion);
  PutU32(h + 12, kStateRollBack);
  PutU64(h + 16, nonce);
  PutU32(h + 24, static_cast<uint32_t>(plan.entries.size()));
  PutI64(h + 32, static_cast<int64_t>(bodySize));
  PutU64(h + 40, JournalChecksum(body, bodySize, nonce));
  PutU64(h + 56, JournalChecksumV1(h, 56, 0));
  std::copy(h, h + kJournalHeaderSize, header_.begin());
  bodyLength_ = static_cast<int64_t>(bodySize);
  if (!WriteAll(fd_, buffer.data(), buffer.size(), 0) || (durable && ::fdatasync(fd_) != 0)) {
    // No table file was touched: a journal that reached the file whole would only write back
    // what the files hold; end it all the same where that is possible.
    WriteState(kStateIdle, false);
    Fail(StoreCode::WriteError);
  }
}

bool TTableJournal::WriteState(uint32_t state, bool durable) {
  PutU32(header_.data() + 12, state);
  PutU64(header_.data() + 56, JournalChecksumV1(header_.data(), 56, 0));
  if (!WriteAll(fd_, header_.data(), kJournalHeaderSize, 0)) return false;
  return !durable || ::fdatasync(fd_) == 0;
}

void TTableJournal::EndJournal(bool durable) {
  // Ending the journal is the point where the change stands. A failed write leaves the journal
  // to undo the change; a failed flush after it does not undo it (the table files are on the
  // device already: at worst a power loss then brings back the state before the change).
  bool ok;
  if (bodyLength_ > kKeepBodyLimit) {
    ok = ::ftruncate(fd_, 0) == 0;
    if (ok) bodyLength_ = 0;
  } else {
    ok = WriteState(kStateIdle, false);
  }
  if (!ok) Fail(StoreCode::WriteError);
  if (durable) ::fdatasync(fd_);
}

void TTableJournal::Sync() {
  if (fd_ >= 0 && writable_) ::fdatasync(fd_);
}

void TTableJournal::Commit(bool durable) {
  if (!holding_) return;
  if (spilled_) {
    Spill(durable);
    return;
  }
  // The held-back writes stay with the files until they are written; reads of the files go
  // straight to disk again only after that.
  bool anything = false;
  for (TJournaledFile* f : files_) {
    if (!f) continue;
    durable = durable || f->held_.flushAsked;
    anything = anything || !f->held_.runs.empty() || f->held_.cut;
  }
  std::array<TAbstractFile*, kJournalFileCount> base{};
  for (int i = 0; i < kJournalFileCount; ++i)
    if (files_[i]) base[i] = &files_[i]->Base();
  if (!anything) {
    bool ok = true;
    if (durable) {
      for (int i = 0; i < kJournalFileCount; ++i)
        if (files_[i] && files_[i]->held_.flushAsked) ok = base[i]->Flush() && ok;
      Sync();
    }
    DropHeld();
    if (!ok) Fail(StoreCode::WriteError);
    return;
  }
  TPlan plan;
  try {
    OpenFile(true);
    plan = Plan();
    WriteJournal(plan, durable);
  } catch (...) {
    // Nothing reached the table files: what is known of them still holds.
    DropHeld();
    throw;
  }
  // The journal is in place: from here on every failure is undone from it.
  bool ok = true;
  bool cutStarted = false;
  for (int i : kApplyOrder) {
    TJournaledFile* f = files_[i];
    if (!f || !ok) continue;
    auto& held = f->held_;
    const bool cutting = plan.cutTo[i] >= 0;
    if (held.cut && !cutting) ok = base[i]->WriteAt(*held.cut, nullptr, 0) == 0;
    for (const auto& [offset, bytes] : held.runs) {
      if (!ok) break;
      ok = FullWrite(*base[i], offset, bytes);
    }
    if (ok && held.cut && !cutting && held.sizeAfterCut > std::max(*held.cut, held.runsEnd))
      ok = base[i]->WriteAt(held.sizeAfterCut, nullptr, 0) == 0;
  }
  if (ok && plan.cutting) {
    // The headers say the files are empty now: the state "cut" finishes the change, whatever
    // happens next.
    ok = WriteState(kStateCut, durable);
    cutStarted = ok;
    for (int i = 0; ok && i < kJournalFileCount; ++i)
      if (plan.cutTo[i] >= 0) ok = base[i]->WriteAt(plan.cutTo[i], nullptr, 0) == 0;
  }
  if (ok && durable) {
    for (int i = 0; i < kJournalFileCount; ++i) {
      TJournaledFile* f = files_[i];
      if (f && (!f->held_.Empty() || plan.cutTo[i] >= 0)) ok = base[i]->Flush() && ok;
    }
  }
  if (ok && !plan.cutting)
    KeepKnown(plan);
  else
    ForgetAllKnown();
  DropHeld();
  if (!ok && cutStarted) {
    // The headers already say what the change made: the change stands, and the journal in
    // the state "cut" has the cuts finished by whoever takes the write locks next.
    return;
  }
  if (!ok) {
    // Undone at once when that is possible; otherwise the journal stays for whoever comes
    // next (this program included: its next lock looks at the journal first).
    if (!cutStarted && Undo(plan, base, durable)) {
      try {
        EndJournal(durable);
      } catch (...) {
      }
    }
    Fail(StoreCode::WriteError);
  }
  if (plan.cutting) {
    // The change stands whatever happens now; a journal that cannot be ended has its (done)
    // cuts made again by whoever comes next.
    try {
      EndJournal(durable);
    } catch (...) {
    }
    return;
  }
  EndJournal(durable);
}

// ---- a transaction that writes its changes before its commit -------------------------------

void TTableJournal::JournalRange(int i, int64_t from, int64_t to, std::vector<TEntry>& entries) {
  to = std::min(to, txSizeBefore_[i]);
  if (from >= to) return;
  auto& done = txJournaled_[i];
  TAbstractFile& base = files_[i]->Base();
  auto keep = [&](int64_t a, int64_t b) {
    if (a >= b) return;
    std::vector<uint8_t> bytes(static_cast<size_t>(b - a));
    int64_t got = base.ReadAt(a, bytes.data(), b - a);
    if (got < 0) Fail(StoreCode::ReadError);
    bytes.resize(static_cast<size_t>(got));
    if (!bytes.empty()) entries.push_back({i, a, std::move(bytes)});
  };
  // The gaps between the ranges journaled already.
  auto it = done.upper_bound(from);
  if (it != done.begin() && std::prev(it)->second > from) --it;
  int64_t at = from;
  for (; it != done.end() && it->first < to; ++it) {
    keep(at, std::min(it->first, to));
    at = std::max(at, it->second);
  }
  keep(at, to);
}

void TTableJournal::AppendEntries(std::vector<TEntry> entries, bool durable) {
  if (!spilled_) {
    TPlan plan;
    plan.sizeBefore = txSizeBefore_;
    plan.entries = std::move(entries);
    WriteJournal(plan, durable);
    level_ = 0;
    return;
  }
  if (entries.empty()) return;
  // A level after what is there, header and body in ONE write: torn, it does not hold
  // together and is ignored, and no table file was touched for it yet.
  size_t bodySize = kFileTableSize;
  for (const TEntry& e : entries) bodySize += kEntryHeaderSize + e.bytes.size();
  std::vector<uint8_t> buffer(kJournalHeaderSize + bodySize, 0);
  uint8_t* body = buffer.data() + kJournalHeaderSize;
  for (int i = 0; i < kJournalFileCount; ++i) {
    PutI64(body + i * 16, -1);
    PutI64(body + i * 16 + 8, -1);
  }
  size_t at = kFileTableSize;
  for (const TEntry& e : entries) {
    body[at] = static_cast<uint8_t>(e.file);
    PutU32(body + at + 4, static_cast<uint32_t>(e.bytes.size()));
    PutI64(body + at + 8, e.offset);
    std::memcpy(body + at + kEntryHeaderSize, e.bytes.data(), e.bytes.size());
    at += kEntryHeaderSize + e.bytes.size();
  }
  const uint64_t nonce = LevelNonce(GetU64(header_.data() + 16), level_ + 1);
  uint8_t* h = buffer.data();
  std::memcpy(h, kMagic, sizeof kMagic);
  PutU32(h + 8, kJournalVersion);
  PutU32(h + 12, kStateRollBack);
  PutU64(h + 16, nonce);
  PutU32(h + 24, static_cast<uint32_t>(entries.size()));
  PutI64(h + 32, static_cast<int64_t>(bodySize));
  PutU64(h + 40, JournalChecksum(body, bodySize, nonce));
  PutU64(h + 56, JournalChecksumV1(h, 56, 0));
  if (!WriteAll(fd_, buffer.data(), buffer.size(), kJournalHeaderSize + bodyLength_) ||
      (durable && ::fdatasync(fd_) != 0))
    Fail(StoreCode::WriteError);
  ++level_;
  bodyLength_ += static_cast<int64_t>(buffer.size());
}

void TTableJournal::Spill(bool durable) {
  if (!holding_) return;
  // A spill journals from the files themselves; what it writes is not kept.
  ForgetAllKnown();
  std::array<TAbstractFile*, kJournalFileCount> base{};
  bool anything = false;
  for (int i = 0; i < kJournalFileCount; ++i) {
    TJournaledFile* f = files_[i];
    if (!f) continue;
    base[i] = &f->Base();
    durable = durable || f->held_.flushAsked;
    anything = anything || !f->held_.runs.empty() || f->held_.cut;
  }
  if (!anything) {
    DropHeld();
    return;
  }
  std::vector<TEntry> entries;
  try {
    OpenFile(true);
    if (!spilled_) {
      for (int i = 0; i < kJournalFileCount; ++i) {
        txSizeBefore_[i] = -1;
        txJournaled_[i].clear();
        if (!base[i]) continue;
        txSizeBefore_[i] = base[i]->Size();
        if (txSizeBefore_[i] < 0) Fail(StoreCode::ReadError);
      }
    }
    for (int i = 0; i < kJournalFileCount; ++i) {
      if (!files_[i]) continue;
      const auto& held = files_[i]->held_;
      if (held.cut) JournalRange(i, *held.cut, txSizeBefore_[i], entries);
      for (const auto& [offset, bytes] : held.runs)
        JournalRange(i, offset, offset + static_cast<int64_t>(bytes.size()), entries);
    }
    std::vector<std::pair<int, std::pair<int64_t, int64_t>>> ranges;
    for (const TEntry& e : entries)
      ranges.push_back({e.file, {e.offset, e.offset + static_cast<int64_t>(e.bytes.size())}});
    AppendEntries(std::move(entries), durable);
    spilled_ = true;
    for (const auto& [i, range] : ranges) {
      auto& done = txJournaled_[static_cast<size_t>(i)];
      int64_t from = range.first, to = range.second;
      // Merged with the ranges it touches.
      auto it = done.upper_bound(from);
      if (it != done.begin() && std::prev(it)->second >= from) --it;
      while (it != done.end() && it->first <= to) {
        from = std::min(from, it->first);
        to = std::max(to, it->second);
        it = done.erase(it);
      }
      done.emplace(from, to);
    }
  } catch (...) {
    // No table file was touched by this spill: what earlier spills wrote is undone when the
    // transaction is rolled back.
    DropHeld();
    throw;
  }
  bool ok = true;
  for (int i : kApplyOrder) {
    TJournaledFile* f = files_[i];
    if (!f || !ok) continue;
    auto& held = f->held_;
    if (held.cut) ok = base[i]->WriteAt(*held.cut, nullptr, 0) == 0;
    for (const auto& [offset, bytes] : held.runs) {
      if (!ok) break;
      ok = FullWrite(*base[i], offset, bytes);
    }
    if (ok && held.cut && held.sizeAfterCut > std::max(*held.cut, held.runsEnd))
      ok = base[i]->WriteAt(held.sizeAfterCut, nullptr, 0) == 0;
    if (ok && durable) ok = base[i]->Flush();
  }
  DropHeld();
  if (!ok) {
    try {
      RollBackSpilled();
    } catch (...) {
    }
    Fail(StoreCode::WriteError);
  }
}

void TTableJournal::FinishSpilled(bool durable) {
  if (!spilled_) return;
  spilled_ = false;
  for (auto& done : txJournaled_) done.clear();
  EndJournal(durable);
}

void TTableJournal::RollBackSpilled() {
  if (!spilled_) return;
  spilled_ = false;
  for (auto& done : txJournaled_) done.clear();
  Resolve();
}

}  // namespace quellor
