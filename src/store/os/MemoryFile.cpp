#include "store/os/MemoryFile.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace quellor {

namespace {
// The same limit as a disk file's growth, with room for a last record or block.
constexpr int64_t kMaxMemoryFile = 2'100'000'000;
}  // namespace

int64_t TMemoryFile::ReadAt(int64_t offset, void* buffer, int64_t count) {
  std::lock_guard lock(mutex_);
  if (offset < 0 || count < 0) return -1;
  int64_t size = static_cast<int64_t>(data_.size());
  if (offset >= size) return 0;
  int64_t n = std::min(count, size - offset);
  std::memcpy(buffer, data_.data() + offset, static_cast<size_t>(n));
  return n;
}

int64_t TMemoryFile::WriteAt(int64_t offset, const void* buffer, int64_t count) {
  std::lock_guard lock(mutex_);
  if (offset < 0 || count < 0 || offset + count > kMaxMemoryFile) return -1;
  try {
    if (count == 0) {
      data_.resize(static_cast<size_t>(offset));
      return 0;
    }
    if (static_cast<size_t>(offset + count) > data_.size())
      data_.resize(static_cast<size_t>(offset + count));
  } catch (const std::bad_alloc&) {
    return -1;
  }
  std::memcpy(data_.data() + offset, buffer, static_cast<size_t>(count));
  return count;
}

int64_t TMemoryFile::Size() {
  std::lock_guard lock(mutex_);
  return static_cast<int64_t>(data_.size());
}

void TMemoryFile::SetName(std::string name) {
  std::lock_guard lock(mutex_);
  name_ = std::move(name);
}

}  // namespace quellor
