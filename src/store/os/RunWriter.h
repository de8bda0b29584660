// TRunWriter: writes the changed pieces of a file (records of the data file, blocks of the BLOB
// file) in as few writes as their places allow.
//
// The caller hands the pieces over in ascending offsets. A piece that starts where the one
// before it ended joins that one's run; a run is written with one write when the next piece
// does not follow it, when it has reached 1 MiB, and at Finish. After each write the caller is
// told which bytes the file now has, so that it can mark the pieces clean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/os/AbstractFile.h"

namespace quellor {

class TRunWriter {
 public:
  // Told of every run once it is written: its offset and length in the file.
  using TWritten = std::function<void(int64_t offset, int64_t size)>;

  // `tableName` names the table in the error of a failed write (9218).
  TRunWriter(TAbstractFile& file, std::string tableName, TWritten written);

  // Room for the `size` bytes of the piece at `offset`, which the caller fills before the next
  // call. REQUIRES: `offset` beyond the pieces added before. Writes the run so far first when
  // the piece does not follow it or it is full; 9218 when that write fails or falls short.
  uint8_t* Add(int64_t offset, size_t size);
  // Writes what is left (9218 on failure). Returns whether any piece was added at all.
  bool Finish();

 private:
  void WriteRun();

  static constexpr size_t kMaxRunBytes = size_t{1} << 20;
  TAbstractFile& file_;
  std::string tableName_;
  TWritten written_;
  std::vector<uint8_t> run_;
  int64_t start_ = 0;
  bool added_ = false;
};

}  // namespace quellor
