// TFileList: every table file open in the process, each opened once and shared.
//
// A disk file is known by its full path, a memory file by its name in the "MEMORY" database
// (without regard to case). The list hands out shared pointers; the file is closed (a memory
// file discarded) when the last holder lets go. A file already open in the process cannot be
// opened again exclusively, nor opened at all while it is open exclusively: both are sharing
// violations (11013), as they would be between processes.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "store/os/AbstractFile.h"

namespace quellor {

class TFileList {
 public:
  static TFileList& Instance();

  std::shared_ptr<TAbstractFile> OpenDisk(const std::string& path, bool exclusive,
                                          const std::string& tableName);
  std::shared_ptr<TAbstractFile> CreateDisk(const std::string& path, bool exclusive,
                                            const std::string& tableName);
  // A memory file that exists; 11010 when there is none of that name.
  std::shared_ptr<TAbstractFile> OpenMemory(const std::string& name, bool exclusive,
                                            const std::string& tableName);
  // A new, empty memory file; 13060 when one of that name exists.
  std::shared_ptr<TAbstractFile> CreateMemory(const std::string& name, bool exclusive,
                                              const std::string& tableName);
  bool MemoryFileExists(const std::string& name);
  // Whether the file is open anywhere in the process.
  bool IsOpen(const std::string& key);
  // Moves a memory file to a new name and returns the file under it; the caller's holds on the
  // old name should be dropped.
  std::shared_ptr<TAbstractFile> RenameMemory(const std::string& from, const std::string& to,
                                              const std::string& tableName);
  static std::string MemoryKey(const std::string& name);

 private:
  struct Entry {
    std::weak_ptr<TAbstractFile> file;
    bool exclusive = false;
  };
  std::shared_ptr<TAbstractFile> Share(const std::string& key, std::unique_ptr<TAbstractFile> file,
                                       bool exclusive);
  std::shared_ptr<TAbstractFile> Existing(const std::string& key, bool exclusive,
                                          const std::string& tableName);
  void Forget(const std::string& key, const TAbstractFile* file);

  // Recursive: releasing the last holder of a file inside the list's own work forgets it.
  std::recursive_mutex mutex_;
  std::map<std::string, Entry> files_;
};

}  // namespace quellor
