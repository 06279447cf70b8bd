#include "common/Machine.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstdlib>
#include <thread>

TEST(Machine, TicksFollowTheWallClock) {
  int32_t first = MachTicks();
  EXPECT_GE(first, 0);
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  int32_t t0 = MachTicks();
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  int32_t t1 = MachTicks();
  EXPECT_GE(t1 - t0, 7);   // 120 ms is 7.2 ticks
  EXPECT_LE(t1 - t0, 60);  // generous: a loaded machine may stall
  MachYield();
  EXPECT_GE(MachTicks(), t1);
}

TEST(Machine, MutexLocksAndUnlocks) {
  MachMutex m = MachNewMutex();
  ASSERT_NE(m, nullptr);
  EXPECT_TRUE(MachLockMutex(m));
  EXPECT_NE(pthread_mutex_trylock(m), 0);  // held
  MachUnlockMutex(m);
  EXPECT_EQ(pthread_mutex_trylock(m), 0);
  MachUnlockMutex(m);
  pthread_mutex_destroy(m);
  free(m);  // handles normally live as long as the process
  EXPECT_FALSE(MachLockMutex(nullptr));
}
