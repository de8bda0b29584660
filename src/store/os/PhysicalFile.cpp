#include "store/os/PhysicalFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "store/api/StoreError.h"

namespace quellor {

uint16_t OsErrorCode(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case EISDIR:
      return StoreCode::InvalidPath;
    case EMFILE:
    case ENFILE:
      return StoreCode::TooManyFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
    case EAGAIN:
      return StoreCode::AccessDenied;
    case EBADF:
      return StoreCode::InvalidFileHandle;
    case ENOMEM:
      return StoreCode::OutOfMemory;
    case ENODEV:
    case ENXIO:
      return StoreCode::InvalidDevice;
    case EXDEV:
      return StoreCode::TableMoved;
    default:
      return StoreCode::UnknownOsError;
  }
}

namespace {

[[noreturn]] void ThrowOs(int error, const std::string& tableName) {
  uint16_t code = OsErrorCode(error);
  if (code == StoreCode::OutOfMemory) throw EStoreEngineError(code, {});
  throw EStoreEngineError(code, {tableName});
}

bool HasWriteBit(const struct stat& st) {
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

// Takes the share lock of a freshly opened descriptor; false on a sharing violation.
bool TakeShareLock(int fd, bool exclusive, bool readOnly) {
  struct flock fl {};
  // A read-only descriptor can only hold read locks; nobody can change a read-only file anyway.
  fl.l_type = exclusive && !readOnly ? F_WRLCK : F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kShareLockOffset;
  fl.l_len = 1;
  file_calls::Count(file_calls::locks);
  return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// Whether the file lies on a local file system, whose page cache a shared mapping reads
// coherently with every other program's writes. Network and user-space file systems keep their
// own caches (and a mapping there may fail in ways a read call reports as an error), so their
// files are always read with read calls.
bool LocalFileSystem(int fd) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<uint32_t>(fs.f_type)) {
    case 0x6969u:      // NFS
    case 0x517Bu:      // SMB
    case 0xFF534D42u:  // CIFS
    case 0xFE534D42u:  // SMB2
    case 0x65735546u:  // FUSE
    case 0x01021997u:  // 9P
    case 0x5346414Fu:  // AFS
    case 0x6B414653u:  // kAFS
    case 0x00C36400u:  // Ceph
    case 0x73757245u:  // Coda
    case 0x564Cu:      // NCP
    case 0x47504653u:  // GPFS
    case 0x0BD00BD0u:  // Lustre
    case 0x013111A8u:  // IBRIX
    case 0x19830326u:  // FhGFS / BeeGFS
      return false;
    default:
      return true;
  }
}

// ---- bus errors in the mappings ----
// The mappings live in a fixed table that the handler reads without locks: a slot is in use
// while its start is not 0 (its end and flag are set before the start, and the start cleared
// first when it goes).
struct TMapSlot {
  std::atomic<uintptr_t> start{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<std::atomic<bool>*> faulted{nullptr};
};
constexpr size_t kMapSlots = 512;
TMapSlot gMapSlots[kMapSlots];
std::atomic<uint64_t> gBusErrors{0};
uintptr_t gPageSize = 4096;
struct sigaction gPreviousBusAction {};

void OnBusError(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (TMapSlot& slot : gMapSlots) {
    const uintptr_t start = slot.start.load(std::memory_order_acquire);
    if (start == 0 || address < start || address >= slot.end.load(std::memory_order_acquire))
      continue;
    // Zeros in place of the page that cannot be read; the file notices the mark after the copy.
    void* page = reinterpret_cast<void*>(address & ~(gPageSize - 1));
    if (::mmap(page, gPageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) ==
        MAP_FAILED)
      break;
    if (std::atomic<bool>* faulted = slot.faulted.load(std::memory_order_acquire))
      faulted->store(true, std::memory_order_release);
    gBusErrors.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  // Not a page of ours: whoever handled bus errors before does, or the default action when the
  // faulting access runs again.
  if ((gPreviousBusAction.sa_flags & SA_SIGINFO) && gPreviousBusAction.sa_sigaction) {
    gPreviousBusAction.sa_sigaction(signal, info, context);
    return;
  }
  if (gPreviousBusAction.sa_handler != SIG_DFL && gPreviousBusAction.sa_handler != SIG_IGN) {
    gPreviousBusAction.sa_handler(signal);
    return;
  }
  ::signal(SIGBUS, SIG_DFL);
}

void InstallBusErrorHandler() {
  static const bool installed = [] {
    gPageSize = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGBUS, &action, &gPreviousBusAction) == 0;
  }();
  (void)installed;
}

// Enters a mapping into the table; false when the table is full (the file is then not mapped).
bool RegisterMapping(const uint8_t* map, int64_t length, std::atomic<bool>* faulted) {
  for (TMapSlot& slot : gMapSlots) {
    if (slot.start.load(std::memory_order_acquire) != 0 ||
        slot.faulted.load(std::memory_order_acquire) != nullptr)
      continue;
    std::atomic<bool>* none = nullptr;
    if (!slot.faulted.compare_exchange_strong(none, faulted)) continue;
    slot.end.store(reinterpret_cast<uintptr_t>(map) + static_cast<uintptr_t>(length),
                   std::memory_order_release);
    slot.start.store(reinterpret_cast<uintptr_t>(map), std::memory_order_release);
    return true;
  }
  return false;
}

void UnregisterMapping(const uint8_t* map) {
  for (TMapSlot& slot : gMapSlots) {
    if (slot.start.load(std::memory_order_acquire) != reinterpret_cast<uintptr_t>(map)) continue;
    slot.start.store(0, std::memory_order_release);
    slot.end.store(0, std::memory_order_release);
    slot.faulted.store(nullptr, std::memory_order_release);
    return;
  }
}

}  // namespace

uint64_t TPhysicalFile::BusErrorsCaught() {
  return gBusErrors.load(std::memory_order_relaxed);
}

TPhysicalFile::TPhysicalFile(int fd, std::string path, bool readOnly)
    : fd_(fd), path_(std::move(path)), readOnly_(readOnly), mappable_(LocalFileSystem(fd)) {}

TPhysicalFile::~TPhysicalFile() {
  Unmap();
  if (fd_ >= 0) ::close(fd_);  // closing the descriptor drops every lock it holds
}

void TPhysicalFile::Unmap() {
  if (map_) {
    UnregisterMapping(map_);
    ::munmap(const_cast<uint8_t*>(map_), static_cast<size_t>(mapLength_));
  }
  map_ = nullptr;
  mapLength_ = 0;
}

void TPhysicalFile::BeginGuardedReads(bool mapped) {
  std::lock_guard lock(mutex_);
  ++guards_;
  if (mapped) ++mappedGuards_;
}

void TPhysicalFile::EndGuardedReads(bool mapped) {
  std::lock_guard lock(mutex_);
  if (guards_ > 0) --guards_;
  if (mapped && mappedGuards_ > 0) --mappedGuards_;
  // The size seen holds only while a guard lasts.
  if (guards_ == 0) mappedEnd_ = -1;
  if (guards_ == 0 && faulted_.load(std::memory_order_acquire)) {
    Unmap();
    faulted_.store(false, std::memory_order_release);
  }
}

bool TPhysicalFile::MappedRange(int64_t offset, int64_t count) {
  // Every holder of a guard must allow the mapping (the switch is a session's).
  if (!mappable_ || mappedGuards_ == 0 || mappedGuards_ != guards_) return false;
  if (mappedEnd_ < 0) {
    struct stat st {};
    file_calls::Count(file_calls::reads);
    if (::fstat(fd_, &st) != 0) return false;
    const int64_t size = st.st_size;
    if (size > mapLength_) {
      // Room to grow, so that a file that gets longer is not mapped anew for every record
      // added: a quarter more, at least 1 MiB, in whole MiB.
      constexpr int64_t kMiB = int64_t{1} << 20;
      const int64_t length = (std::max(size + size / 4, kMiB) + kMiB - 1) / kMiB * kMiB;
      Unmap();
      file_calls::Count(file_calls::reads);
      InstallBusErrorHandler();
      void* p = ::mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_SHARED, fd_, 0);
      if (p == MAP_FAILED) {
        mappable_ = false;  // read calls from now on
        return false;
      }
      if (!RegisterMapping(static_cast<const uint8_t*>(p), length, &faulted_)) {
        ::munmap(p, static_cast<size_t>(length));
        return false;  // too many files mapped: read calls this time
      }
      map_ = static_cast<const uint8_t*>(p);
      mapLength_ = length;
    }
    mappedEnd_ = std::min(size, mapLength_);
  }
  return count <= mappedEnd_ && offset <= mappedEnd_ - count;
}

std::unique_ptr<TPhysicalFile> TPhysicalFile::Open(const std::string& path, bool exclusive,
                                                   const std::string& tableName) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) ThrowOs(errno, tableName);
  if (!S_ISREG(st.st_mode)) ThrowOs(ENOENT, tableName);
  bool readOnly = !HasWriteBit(st);
  int fd = ::open(path.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
  if (fd < 0) ThrowOs(errno, tableName);
  if (!TakeShareLock(fd, exclusive, readOnly)) {
    ::close(fd);
    throw EStoreEngineError(StoreCode::AccessDenied, {tableName});
  }
  return std::unique_ptr<TPhysicalFile>(new TPhysicalFile(fd, path, readOnly));
}

std::unique_ptr<TPhysicalFile> TPhysicalFile::Create(const std::string& path, bool exclusive,
                                                     const std::string& tableName) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errno == EEXIST) throw EStoreEngineError(StoreCode::TableExists, {tableName});
    ThrowOs(errno, tableName);
  }
  if (!TakeShareLock(fd, exclusive, false)) {
    ::close(fd);
    throw EStoreEngineError(StoreCode::AccessDenied, {tableName});
  }
  return std::unique_ptr<TPhysicalFile>(new TPhysicalFile(fd, path, false));
}

bool TPhysicalFile::MappingFaulted() {
  if (!faulted_.load(std::memory_order_acquire)) return false;
  // The mapping holds pages of zeros now: nothing more is read from it, and it goes when the
  // last guard ends (views handed out in this stretch stay readable until then).
  mappable_ = false;
  return true;
}

const uint8_t* TPhysicalFile::MappedView(int64_t offset, int64_t count) {
  std::lock_guard lock(mutex_);
  if (offset < 0 || count <= 0 || guards_ == 0 || !MappedRange(offset, count)) return nullptr;
  // Every page of the view is touched now: one that cannot be read makes the view null (the
  // caller reads with read calls) rather than show zeros later.
  const volatile uint8_t* view = map_ + offset;
  for (int64_t at = 0; at < count; at += static_cast<int64_t>(gPageSize)) (void)view[at];
  (void)view[count - 1];
  if (MappingFaulted()) return nullptr;
  // The mapping is only replaced at the first mapped read of a stretch: the pointer stays good
  // while the caller's guard lasts.
  return map_ + offset;
}

bool TPhysicalFile::ReadMappedPieces(const int64_t* offsets, size_t count, size_t size,
                                     uint8_t* const* outs) {
  std::lock_guard lock(mutex_);
  if (count == 0 || size == 0 || guards_ == 0) return false;
  int64_t low = offsets[0], high = offsets[0];
  for (size_t i = 1; i < count; ++i) {
    low = std::min(low, offsets[i]);
    high = std::max(high, offsets[i]);
  }
  if (low < 0 || !MappedRange(low, high - low + static_cast<int64_t>(size))) return false;
  // The pieces lie anywhere in the file: the next ones are asked for while one is copied, so
  // that their fetches from memory overlap.
  constexpr size_t kAhead = 4;
  auto prefetch = [&](size_t i) {
    const uint8_t* p = map_ + offsets[i];
    for (size_t at = 0; at < size; at += 64) __builtin_prefetch(p + at);
  };
  for (size_t i = 0; i < std::min(count, kAhead); ++i) prefetch(i);
  for (size_t i = 0; i < count; ++i) {
    if (i + kAhead < count) prefetch(i + kAhead);
    std::memcpy(outs[i], map_ + offsets[i], size);
  }
  return !MappingFaulted();
}

int64_t TPhysicalFile::ReadAt(int64_t offset, void* buffer, int64_t count) {
  std::lock_guard lock(mutex_);
  if (offset < 0 || count < 0) return -1;
  if (count > 0 && guards_ > 0 && MappedRange(offset, count)) {
    std::memcpy(buffer, map_ + offset, static_cast<size_t>(count));
    if (!MappingFaulted()) return count;
    // A page could not be read: the read call below says why.
  }
  int64_t done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < count) {
    file_calls::Count(file_calls::reads);
    ssize_t n = ::pread(fd_, out + done, static_cast<size_t>(count - done), offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

int64_t TPhysicalFile::WriteAt(int64_t offset, const void* buffer, int64_t count) {
  std::lock_guard lock(mutex_);
  if (offset < 0 || count < 0 || readOnly_) return -1;
  file_calls::Count(file_calls::writes);
  if (count == 0) {
    // Nothing beyond the new end may be read from the mapping any more (whether the cut
    // succeeds or not).
    if (mappedEnd_ > offset) mappedEnd_ = offset;
    return ::ftruncate(fd_, offset) == 0 ? 0 : -1;
  }
  int64_t done = 0;
  const auto* in = static_cast<const char*>(buffer);
  while (done < count) {
    if (done > 0) file_calls::Count(file_calls::writes);
    ssize_t n = ::pwrite(fd_, in + done, static_cast<size_t>(count - done), offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? done : -1;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

int64_t TPhysicalFile::Size() {
  std::lock_guard lock(mutex_);
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return -1;
  return st.st_size;
}

bool TPhysicalFile::Flush() {
  std::lock_guard lock(mutex_);
  if (readOnly_) return true;
  return ::fsync(fd_) == 0;
}

bool TPhysicalFile::SetLock(short type, int64_t offset, int64_t length) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = length;
  file_calls::Count(file_calls::locks);
  return ::fcntl(fd_, F_OFD_SETLK, &fl) == 0;
}

bool TPhysicalFile::Lock(int64_t offset, int64_t length, bool shared) {
  std::lock_guard lock(mutex_);
  if (length <= 0) return false;
  // The regions held do not overlap: only the one at or after `offset` and the one before it
  // can meet the new one.
  auto next = held_.lower_bound(offset);
  if (next != held_.end() && next->first < offset + length) return false;
  if (next != held_.begin() && std::prev(next)->first + std::prev(next)->second > offset)
    return false;
  // A read-only descriptor cannot hold a write lock; it only ever needs to keep writers out.
  if (!SetLock(shared || readOnly_ ? F_RDLCK : F_WRLCK, offset, length)) return false;
  held_.emplace(offset, length);
  return true;
}

bool TPhysicalFile::Unlock(int64_t offset, int64_t length) {
  std::lock_guard lock(mutex_);
  auto it = held_.find(offset);
  if (it == held_.end() || it->second != length) return false;
  held_.erase(it);
  return SetLock(F_UNLCK, offset, length);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void DeleteDiskFile(const std::string& path, const std::string& tableName) {
  {
    // Proves that no other program has the file open: the exclusive share lock.
    auto probe = TPhysicalFile::Open(path, true, tableName);
  }
  if (::unlink(path.c_str()) != 0) ThrowOs(errno, tableName);
}

void RenameDiskFile(const std::string& from, const std::string& to, const std::string& tableName) {
  { auto probe = TPhysicalFile::Open(from, true, tableName); }
  if (FileExists(to)) throw EStoreEngineError(StoreCode::TableExists, {tableName});
  if (::rename(from.c_str(), to.c_str()) != 0) ThrowOs(errno, tableName);
}

}  // namespace quellor
