// TMemoryFile: a table file of the "MEMORY" database, a growable buffer in the process.
//
// It behaves like a disk file (positioned reads and writes, a zero-byte write sets the end) and
// lives while anyone holds it (TFileList). In-memory tables take no locks, so Lock always
// succeeds. A write that cannot be given memory returns -1, which the caller reports.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "store/os/AbstractFile.h"

namespace quellor {

class TMemoryFile : public TAbstractFile {
 public:
  explicit TMemoryFile(std::string name) : name_(std::move(name)) {}

  int64_t ReadAt(int64_t offset, void* buffer, int64_t count) override;
  int64_t WriteAt(int64_t offset, const void* buffer, int64_t count) override;
  int64_t Size() override;
  bool Flush() override { return true; }
  bool Lock(int64_t, int64_t, bool) override { return true; }
  bool Unlock(int64_t, int64_t) override { return true; }
  const std::string& Name() const override { return name_; }
  void SetName(std::string name);

 private:
  std::string name_;
  std::vector<uint8_t> data_;
  std::mutex mutex_;
};

}  // namespace quellor
