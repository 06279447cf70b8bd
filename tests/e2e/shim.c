/* Preloaded by the end-to-end tests. With FASTTIME_STEP, every time() call
   moves the clock on that many seconds, so that hours of a run pass in a
   moment; with NOSYNC, fsync finds the disk full, as where blocks are only
   allocated when flushed. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

time_t time(time_t* out) {
  static time_t now;
  struct timeval tv;
  const char* step = getenv("FASTTIME_STEP");
  if (!now || !step) gettimeofday(&tv, NULL), now = tv.tv_sec;
  if (step) now += atol(step);
  if (out) *out = now;
  return now;
}

int fsync(int fd) {
  if (getenv("NOSYNC")) return errno = ENOSPC, -1;
  return (int)syscall(SYS_fsync, fd);
}
