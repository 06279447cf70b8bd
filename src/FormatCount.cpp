#include "src/FormatCount.h"

#include <cstdio>

static char count_ring[4][16];
static int count_index;  // buffer used last

const char* FormatCount(uint32_t count) {
  count_index = (count_index + 1) % 4;
  char* out = count_ring[count_index];
  unsigned long n = count;
  // The separator is always a comma; no locale is consulted.
  if (n < 1000UL)
    snprintf(out, 16, "%lu", n);
  else if (n < 1000000UL)
    snprintf(out, 16, "%lu%c%03lu", n / 1000, ',', n % 1000);
  else if (n < 1000000000UL)
    snprintf(out, 16, "%lu%c%03lu%c%03lu", n / 1000000, ',', n / 1000 % 1000, ',', n % 1000);
  else
    snprintf(out, 16, "%lu%c%03lu%c%03lu%c%03lu", n / 1000000000, ',', n / 1000000 % 1000, ',',
             n / 1000 % 1000, ',', n % 1000);
  return out;
}
