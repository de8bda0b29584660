// The way from the front end (StoreTb.h) to the engine objects behind it, for the store's own
// tests and tools: a session's engine settings and the engine folder of a database folder.
// Code outside the store does not see this header; program code uses the front end only.
#pragma once

#include <memory>
#include <string>

#include "store/api/StoreTb.h"
#include "store/engine/DataSession.h"

namespace quellor {

class TStoreInternals {
 public:
  // The engine session behind a front-end session (lock settings, passwords).
  static TDataSession& Engine(TStoreSession& session) { return session.Engine(); }
  // The engine folder of a folder's universal name, shared with the session's databases on it.
  static std::shared_ptr<TDataDirectory> DirectoryFor(TStoreSession& session,
                                                      const std::string& universalName,
                                                      bool inMemory = false) {
    return session.DirectoryFor(universalName, inMemory);
  }
  // The engine folder of an open database.
  static std::shared_ptr<TDataDirectory> DataDirectory(TStoreDatabase& database) {
    return database.DataDirectory();
  }
};

}  // namespace quellor
