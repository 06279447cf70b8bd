// Fatal contract failures. Each source file defines ASSERT_MODULE (its module
// name, such as "common/MemoryPool") before using LV_ASSERT.
#pragma once

// Prints the function, module, line and failed condition, then aborts.
[[noreturn]] void AssertFail(const char* func, const char* module, int line, const char* cond);

#define LV_ASSERT(cond) ((cond) ? (void)0 : AssertFail(__func__, ASSERT_MODULE, __LINE__, #cond))
