// THolderBoard: who is editing which record of a table, so that a program refused a record
// lock can say whose edit it waits for. Byte-range locks cannot tell (an open-file-description
// lock has no owner that another machine could name), so the program that takes a record for
// editing writes its user's name on a small board beside the table's data file, and clears it
// when it lets the record go.
//
// The board is the file of the data file's name with the extension ".WHO" (cracks.DAT ->
// cracks.WHO), created on first use. It holds kHolderBoardEntries entries of 64 bytes; the
// entry of a record is its slot modulo that count: the slot (4 bytes, little-endian) and the
// user name (up to 60 bytes, padded with zero bytes). An entry that names another slot (two
// records sharing an entry) tells nothing, so the answer is "cannot tell" rather than a wrong
// name. The board is advice only: it is read only after a lock was refused, never decides a
// lock, and a board that cannot be created or read (a read-only folder) just leaves the holder
// unknown. A program that ended without clearing its entry leaves a name that is believed only
// while someone actually holds that record.
#pragma once

#include <cstdint>
#include <string>

namespace quellor {

inline constexpr int kHolderBoardEntries = 4096;
inline constexpr int kHolderEntrySize = 64;

class THolderBoard {
 public:
  // `dataFileName`: the path of the table's data file.
  explicit THolderBoard(const std::string& dataFileName);
  ~THolderBoard();
  THolderBoard(const THolderBoard&) = delete;
  THolderBoard& operator=(const THolderBoard&) = delete;

  // The board's path for a data file.
  static std::string BoardName(const std::string& dataFileName);

  // Writes `user` as the holder of `slot` (quietly does nothing when the board cannot be had).
  void Note(int32_t slot, const std::string& user) noexcept;
  // Clears the entry of `slot` when it still names that slot.
  void Clear(int32_t slot) noexcept;
  // The user noted for `slot`; empty when the board cannot tell.
  std::string Holder(int32_t slot) noexcept;

 private:
  bool OpenForWriting() noexcept;
  bool OpenForReading() noexcept;
  static int64_t EntryOffset(int32_t slot);

  std::string path_;
  int fd_ = -1;
  bool writable_ = false;
};

// The name of the user this program runs as (the login name; "" when it cannot be found).
std::string CurrentUserName();

}  // namespace quellor
