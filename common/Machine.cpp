#include "common/Machine.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>

static int32_t tick_base;  // whole second of the first reading

int32_t MachTicks() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  int32_t s = (int32_t)tv.tv_sec;
  int32_t u = (int32_t)tv.tv_usec;
  if (tick_base == 0) tick_base = s;
  return (s - tick_base) * 60 + (u * 3) / 50000;
}

void MachYield() { sleep(0); }

MachMutex MachNewMutex() {
  MachMutex m = (MachMutex)malloc(sizeof(pthread_mutex_t));
  if (m) pthread_mutex_init(m, nullptr);  // null then fails every lock
  return m;
}

// A null handle (no mutex made yet) counts as a failed lock.
bool MachLockMutex(MachMutex m) { return m && pthread_mutex_lock(m) == 0; }

void MachUnlockMutex(MachMutex m) { pthread_mutex_unlock(m); }
