// Test support for the index engine: an in-memory TAbstractFile and a few field layouts.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "store/api/StoreTypes.h"
#include "store/os/AbstractFile.h"

namespace quellor::test {

// A growable byte buffer standing in for a file.
class TBufferFile : public TAbstractFile {
 public:
  explicit TBufferFile(std::string name = "t.IDX") : name_(std::move(name)) {}
  int64_t ReadAt(int64_t offset, void* buffer, int64_t count) override {
    if (offset < 0 || offset >= static_cast<int64_t>(bytes.size())) return 0;
    int64_t n = std::min<int64_t>(count, static_cast<int64_t>(bytes.size()) - offset);
    std::memcpy(buffer, bytes.data() + offset, static_cast<size_t>(n));
    return n;
  }
  int64_t WriteAt(int64_t offset, const void* buffer, int64_t count) override {
    ++writes;
    if (count == 0) {
      bytes.resize(static_cast<size_t>(offset));
      return 0;
    }
    if (offset + count > static_cast<int64_t>(bytes.size()))
      bytes.resize(static_cast<size_t>(offset + count));
    std::memcpy(bytes.data() + offset, buffer, static_cast<size_t>(count));
    return count;
  }
  int64_t Size() override { return static_cast<int64_t>(bytes.size()); }
  bool Flush() override { return true; }
  bool Lock(int64_t, int64_t, bool) override { return true; }
  bool Unlock(int64_t, int64_t) override { return true; }
  const std::string& Name() const override { return name_; }

  std::vector<uint8_t> bytes;
  int writes = 0;

 private:
  std::string name_;
};

// Fields laid out as the data file does: from offset 9, each its stored width plus one.
inline std::vector<TFieldDesc> LayOutFields(std::vector<TFieldDesc> fields) {
  uint16_t offset = 9;
  uint16_t number = 1;
  for (TFieldDesc& f : fields) {
    if (f.number == 0) f.number = number;
    number = static_cast<uint16_t>(f.number + 1);
    f.width = static_cast<uint8_t>(StoredWidth(f.type, f.size));
    if (f.IsAutoInc()) {
      f.offset = 5;
      continue;
    }
    f.offset = offset;
    offset = static_cast<uint16_t>(offset + f.width + 1);
  }
  return fields;
}

inline int RecordSizeOf(const std::vector<TFieldDesc>& fields) {
  int size = 9;
  for (const TFieldDesc& f : fields)
    if (!f.IsAutoInc()) size += f.width + 1;
  return size;
}

inline TFieldDesc Field(const char* name, TStoreFieldType type, uint8_t size = 0) {
  TFieldDesc f;
  f.name = name;
  f.type = type;
  f.size = size;
  return f;
}

}  // namespace quellor::test
