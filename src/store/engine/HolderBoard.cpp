#include "store/engine/HolderBoard.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace quellor {

namespace {

constexpr size_t kNameBytes = kHolderEntrySize - 4;

bool WriteAll(int fd, const uint8_t* data, size_t size, int64_t offset) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::pwrite(fd, data + done, size - done, offset + static_cast<int64_t>(done));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

THolderBoard::THolderBoard(const std::string& dataFileName) : path_(BoardName(dataFileName)) {}

THolderBoard::~THolderBoard() {
  if (fd_ >= 0) ::close(fd_);
}

std::string THolderBoard::BoardName(const std::string& dataFileName) {
  size_t slash = dataFileName.rfind('/');
  size_t dot = dataFileName.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return dataFileName + ".WHO";
  return dataFileName.substr(0, dot) + ".WHO";
}

int64_t THolderBoard::EntryOffset(int32_t slot) {
  return static_cast<int64_t>(static_cast<uint32_t>(slot) % kHolderBoardEntries) * kHolderEntrySize;
}

bool THolderBoard::OpenForWriting() noexcept {
  if (fd_ >= 0 && writable_) return true;
  int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  writable_ = true;
  return true;
}

bool THolderBoard::OpenForReading() noexcept {
  if (fd_ >= 0) return true;
  fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  writable_ = false;
  return fd_ >= 0;
}

void THolderBoard::Note(int32_t slot, const std::string& user) noexcept {
  if (user.empty() || !OpenForWriting()) return;
  uint8_t entry[kHolderEntrySize] = {};
  const uint32_t s = static_cast<uint32_t>(slot);
  for (int i = 0; i < 4; ++i) entry[i] = static_cast<uint8_t>(s >> (8 * i));
  std::memcpy(entry + 4, user.data(), std::min(user.size(), kNameBytes));
  WriteAll(fd_, entry, sizeof entry, EntryOffset(slot));
}

void THolderBoard::Clear(int32_t slot) noexcept {
  if (!OpenForWriting()) return;
  uint8_t head[4] = {};
  if (::pread(fd_, head, sizeof head, EntryOffset(slot)) != sizeof head) return;
  uint32_t s = 0;
  for (int i = 0; i < 4; ++i) s |= static_cast<uint32_t>(head[i]) << (8 * i);
  if (s != static_cast<uint32_t>(slot)) return;  // another record's entry by now
  const uint8_t empty[kHolderEntrySize] = {};
  WriteAll(fd_, empty, sizeof empty, EntryOffset(slot));
}

std::string THolderBoard::Holder(int32_t slot) noexcept {
  if (!OpenForReading()) return {};
  uint8_t entry[kHolderEntrySize] = {};
  if (::pread(fd_, entry, sizeof entry, EntryOffset(slot)) != sizeof entry) return {};
  uint32_t s = 0;
  for (int i = 0; i < 4; ++i) s |= static_cast<uint32_t>(entry[i]) << (8 * i);
  if (s != static_cast<uint32_t>(slot)) return {};
  const char* name = reinterpret_cast<const char*>(entry + 4);
  return std::string(name, strnlen(name, kNameBytes));
}

std::string CurrentUserName() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<size_t>(size) : 16384, '\0');
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
      !found->pw_name)
    return {};
  return found->pw_name;
}

}  // namespace quellor
