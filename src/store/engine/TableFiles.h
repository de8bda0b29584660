// TTableFiles: the files of one table, their names and what is done with them as a set.
//
// A table `name` is up to four files in its database folder:
//
//   name.DAT   the data file (DataFile.h)       always
//   name.IDX   the index file (IndexHeader.h)   made anew at open when it is missing
//   name.BLB   the BLOB file (BlobFile.h)       only for a table with BLOB fields
//   name.JNL   the journal (Journal.h)          beside a table on disk only
//
// and a restructure keeps the old files as name.DBK, name.IBK and name.BBK. On disk each name
// is looked up in its folder without regard to case (an existing "Cracks.dat" is the data file
// of table "cracks"). A table of the in-memory database ("MEMORY") has the same names, without
// a folder and without a journal, as memory files of the process's file list (FileList.h).
//
// Whether a table lives on disk or in memory is settled here, when its names are made; from then
// on everything done with its files (does one exist, open, create, delete, rename) is asked of
// this set, which knows which of the two it is. No other part of the store spells the
// extensions or chooses between disk and memory files itself.
#pragma once

#include <memory>
#include <string>

#include "store/os/AbstractFile.h"

namespace quellor {

enum class TTableFile { Data, Index, Blob, Journal };

struct TTableFiles {
  std::string data, index, blob;
  bool inMemory = false;
  std::string journal;  // empty in memory

  // ---- names ----
  // The files of `tableName` in `folder` (ending with "/"): the name with its extension
  // replaced by ".DAT", ".IDX", ".BLB" and ".JNL" (a name already ending in one of the first
  // three keeps it for that file), each looked up in the folder without regard to case. A name
  // with a folder part names a file of that folder (absolute, or below `folder`).
  static TTableFiles OnDisk(const std::string& folder, const std::string& tableName);
  // The files of `tableName` in the in-memory database: its extension replaced.
  static TTableFiles InMemory(const std::string& tableName);
  // The files whose names are `base` (a path without extension on disk, a name in memory)
  // with the four extensions, as they are spelled.
  static TTableFiles Named(const std::string& base, bool inMemory);
  // A table of names not in use, for building a table beside another (restructure, repair):
  // on disk in `folder` (ending with "/"), the first five digits of the thread's id followed by
  // the lowest number whose ".DAT", ".IDX" and ".BLB" are all free; in memory `memoryPrefix`
  // followed by such a name free among the memory files.
  static TTableFiles Temporary(const std::string& folder, bool inMemory,
                               const std::string& memoryPrefix);

  const std::string& Path(TTableFile which) const;
  // The name a restructure gives the old file: ".DBK", ".IBK" or ".BBK" in place of the data
  // file's extension. REQUIRES: not the journal.
  std::string BackupPath(TTableFile which) const;
  // The folder of the data file, ending with "/"; empty in memory.
  std::string Folder() const;

  // ---- the files ----
  bool Exists(TTableFile which) const;
  // Opens an existing file, shared or `exclusive` (11013 when that conflicts with another
  // open); 11010 when it does not exist.
  std::shared_ptr<TAbstractFile> Open(TTableFile which, bool exclusive,
                                      const std::string& tableName) const;
  // Creates a new, empty file; 13060 when one of that name exists.
  std::shared_ptr<TAbstractFile> Create(TTableFile which, bool exclusive,
                                        const std::string& tableName) const;
  // Deletes the file when it exists on disk; a memory file goes with its last holder, so
  // nothing is done in memory.
  void Delete(TTableFile which, const std::string& tableName) const;
  // Deletes the file on disk without raising anything: what a failed creation made goes.
  void Remove(TTableFile which) const noexcept;
  // Remove for all four files.
  void RemoveAll() const noexcept;
  // Gives the file, when it exists, the name it has in `to`; 13060 when that name is taken.
  // A memory file lives on under its new name only while held: it is returned for the caller
  // to hold (null on disk, and when there was no file).
  std::shared_ptr<TAbstractFile> Rename(TTableFile which, const TTableFiles& to,
                                        const std::string& tableName) const;
};

// The files of a table on disk (TTableFiles::OnDisk).
inline TTableFiles TableFileNames(const std::string& folder, const std::string& tableName) {
  return TTableFiles::OnDisk(folder, tableName);
}

}  // namespace quellor
