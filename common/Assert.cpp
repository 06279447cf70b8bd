#include "common/Assert.h"

#include <cstdio>
#include <cstdlib>

void AssertFail(const char* func, const char* module, int line, const char* cond) {
  fflush(stdout);
  fprintf(stderr, "Assertion failed in %s, %s line %d: %s\n", func, module, line, cond);
  abort();
}
