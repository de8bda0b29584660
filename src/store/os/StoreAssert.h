// STORE_ASSERT: the store's invariants, checked in debug and sanitizer builds.
//
// An assertion states what the code around it already guarantees: the order in which a table
// takes its lock regions, that a written change moves a file's change counter on by exactly
// one, that an index page lies inside the index file on a 4096-byte boundary, that a record
// slot lies inside the data file. A failed one is a fault of the store itself, never of the
// files or of what a caller asked for (those raise EStoreEngineError as usual), so it prints
// where it failed and aborts at once, before the fault can reach a file.
//
// Release builds define NDEBUG and the condition is not evaluated (only named inside sizeof,
// so that what it alone uses does not count as unused): an assertion may not read a file,
// take a lock or change anything, or the builds would behave differently (the tests count the
// lock and read calls of an operation, in every build).
#pragma once

#ifdef NDEBUG
#define STORE_ASSERT(condition) static_cast<void>(sizeof(!!(condition)))
#else
#include <cstdio>
#include <cstdlib>
#define STORE_ASSERT(condition)                                                                   \
  ((condition) ? static_cast<void>(0)                                                             \
               : (std::fprintf(stderr, "%s:%d: store invariant failed: %s\n", __FILE__, __LINE__, \
                               #condition),                                                       \
                  std::abort()))
#endif
