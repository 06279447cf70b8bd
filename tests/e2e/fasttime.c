/* Preloaded by the checkpoint test: every call of time() moves the clock on
   by FASTTIME_STEP seconds, so hours of a long verbose scan pass in a moment. */
#define _GNU_SOURCE
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

static time_t fake_now;

time_t time(time_t* out) {
  if (!fake_now) {
    struct timeval tv;
    gettimeofday(&tv, NULL);
    fake_now = tv.tv_sec;
  }
  const char* step = getenv("FASTTIME_STEP");
  fake_now += step ? atol(step) : 1;
  if (out) *out = fake_now;
  return fake_now;
}
