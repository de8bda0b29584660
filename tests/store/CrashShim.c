/* The write shim of the crash tests: linked into the test program, it stands in front of the C
 * library's pwrite, write, ftruncate, fsync and fdatasync (the program's own definitions come
 * first for every caller), counts the calls on files whose path begins with an armed prefix
 * (the tables' holder boards, "*.WHO", aside), and at the Nth such call kills the process,
 * tears the write and kills it, or fails the call with ENOSPC (once, or from then on) as a full
 * disk does. Unarmed it only passes calls on. */
#define _GNU_SOURCE
#include "CrashShim.h"

#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static char g_prefix[4096];
static long g_count;
static long g_at;
static int g_mode;
static int g_failing;

void CrashShimArm(const char* prefix, long at, int mode) {
  snprintf(g_prefix, sizeof g_prefix, "%s", prefix ? prefix : "");
  g_count = 0;
  g_at = at;
  g_mode = mode;
  g_failing = 0;
}

long CrashShimCount(void) {
  return g_count;
}

void CrashShimDisarm(void) {
  g_prefix[0] = 0;
  g_failing = 0;
}

static int Matches(int fd) {
  char link[64], path[4096];
  ssize_t n;
  if (!g_prefix[0]) return 0;
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  n = readlink(link, path, sizeof path - 1);
  if (n <= 0) return 0;
  path[n] = 0;
  /* The holder board (HolderBoard.h) is advice beside the tables, not part of what a crash
   * must leave whole: its writes are neither counted nor failed. */
  if (n > 4 && strcmp(path + n - 4, ".WHO") == 0) return 0;
  return strncmp(path, g_prefix, strlen(g_prefix)) == 0;
}

/* What to do with this call: 0 pass it on, 1 tear it (write half, then die), 2 fail it. */
static int Decide(int fd) {
  if (!Matches(fd)) return 0;
  ++g_count;
  if (g_failing) return 2;
  if (g_at <= 0 || g_count != g_at) return 0;
  switch (g_mode) {
    case kCrashKill:
      kill(getpid(), SIGKILL);
      return 0;
    case kCrashTear:
      return 1;
    case kCrashFullDiskOnce:
      return 2;
    case kCrashFullDisk:
      g_failing = 1;
      return 2;
  }
  return 0;
}

typedef ssize_t (*PwriteFn)(int, const void*, size_t, off_t);
typedef ssize_t (*WriteFn)(int, const void*, size_t);
typedef int (*TruncateFn)(int, off_t);
typedef int (*SyncFn)(int);

ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset) {
  static PwriteFn real;
  if (!real) real = (PwriteFn)dlsym(RTLD_NEXT, "pwrite");
  switch (Decide(fd)) {
    case 1:
      if (n > 1) real(fd, buf, n / 2, offset);
      kill(getpid(), SIGKILL);
      break;
    case 2:
      errno = ENOSPC;
      return -1;
  }
  return real(fd, buf, n, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off_t offset) {
  return pwrite(fd, buf, n, offset);
}

ssize_t write(int fd, const void* buf, size_t n) {
  static WriteFn real;
  if (!real) real = (WriteFn)dlsym(RTLD_NEXT, "write");
  switch (Decide(fd)) {
    case 1:
      if (n > 1) real(fd, buf, n / 2);
      kill(getpid(), SIGKILL);
      break;
    case 2:
      errno = ENOSPC;
      return -1;
  }
  return real(fd, buf, n);
}

int ftruncate(int fd, off_t length) {
  static TruncateFn real;
  if (!real) real = (TruncateFn)dlsym(RTLD_NEXT, "ftruncate");
  switch (Decide(fd)) {
    case 1:
      kill(getpid(), SIGKILL);
      break;
    case 2:
      errno = ENOSPC;
      return -1;
  }
  return real(fd, length);
}

int ftruncate64(int fd, off_t length) {
  return ftruncate(fd, length);
}

static int Sync(const char* name, int fd) {
  SyncFn real = (SyncFn)dlsym(RTLD_NEXT, name);
  switch (Decide(fd)) {
    case 1:
      kill(getpid(), SIGKILL);
      break;
    case 2:
      errno = ENOSPC;
      return -1;
  }
  return real(fd);
}

int fsync(int fd) {
  return Sync("fsync", fd);
}

int fdatasync(int fd) {
  return Sync("fdatasync", fd);
}
