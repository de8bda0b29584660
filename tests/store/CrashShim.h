/* The write shim of the crash tests (CrashShim.c): counts the writes, truncations and flushes
 * of files under a folder and kills the process at the Nth, or fails it as a full disk does. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum {
  kCrashKill = 1,         /* SIGKILL before the call */
  kCrashTear = 2,         /* half of the write, then SIGKILL */
  kCrashFullDiskOnce = 3, /* the call fails with ENOSPC, later ones go through */
  kCrashFullDisk = 4      /* the call and every later one fail with ENOSPC */
};

/* Counts the calls on files whose path begins with `prefix`; `at` 0 only counts. */
void CrashShimArm(const char* prefix, long at, int mode);
long CrashShimCount(void);
void CrashShimDisarm(void);

#ifdef __cplusplus
}
#endif
