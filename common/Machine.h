// Tick clock, yield and process mutexes.
#pragma once
#include <cstdint>
#include <pthread.h>

typedef pthread_mutex_t* MachMutex;

// Wall-clock ticks of 1/60 s since the start of the second of the first call.
int32_t MachTicks();
// Lets the system run something else; returns at once.
void MachYield();
// A new mutex with default attributes; lives until the process ends.
MachMutex MachNewMutex();
// Blocks until held; true on success.
bool MachLockMutex(MachMutex m);
void MachUnlockMutex(MachMutex m);
