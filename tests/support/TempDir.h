// A temporary folder for one test, removed with everything in it when the test ends.
#pragma once

#include <string>

namespace quellor::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder, ending with "/".
  const std::string& path() const { return path_; }
  // path() + name.
  std::string file(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

// Whole-file helpers for tests.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

}  // namespace quellor::test
