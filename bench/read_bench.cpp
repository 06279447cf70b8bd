// Reads a file through the input reader in 64 KiB consumes, the way the
// scanning pass walks its window, and prints the throughput.
#include <chrono>
#include <cstdio>

#include "common/MemoryPool.h"
#include "common/input.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: read_bench FILE\n");
    return 2;
  }
  MPInit();
  MemoryPool* pool = MPNew();
  auto t0 = std::chrono::steady_clock::now();
  InputFile* in = INOpenPath(argv[1], pool);
  if (!in) {
    fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  int64_t total = 0;
  unsigned check = 0;
  while (char* p = INGetBuffer(in, nullptr)) {
    int32_t step = in->buff_cnt < 65536 ? in->buff_cnt : 65536;
    check += (unsigned char)p[step - 1];  // touch the window like a parser would
    total += step;
    INConsume(in, step);
  }
  bool failed = in->read_error;
  INClose(in);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  MPDelete(pool);
  printf("%lld bytes in %.3f s, %.0f MB/s (check %u)%s\n", (long long)total, secs,
         total / secs / 1e6, check, failed ? " READ ERROR" : "");
  return failed ? 1 : 0;
}
