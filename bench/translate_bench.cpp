// Times the translation pass alone: the host table is filled from an
// "address name" map (as bench/genlog.py --map writes it), so no resolver is
// involved.
//   translate_bench MAP LOG gzip|bzip2|none [LEVEL] [RUNS] [THREADS]
// Prints the best of RUNS: wall and CPU seconds, and input MB/s by CPU time.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/HashTable.h"
#include "common/MemoryPool.h"
#include "src/HostTable.h"
#include "src/Settings.h"
#include "src/Translate.h"

static double Now(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

static int LoadMap(const char* path) {
  FILE* f = fopen(path, "r");
  if (!f) return -1;
  char line[512], addr[64], name[400];
  int n = 0;
  while (fgets(line, sizeof line, f)) {
    if (sscanf(line, "%63s %399s", addr, name) != 2) continue;
    HostEntry* e = (HostEntry*)MPAlloc(hostPool, sizeof(HostEntry));
    if (!IPParse(addr, &e->address)) continue;
    char* copy = (char*)MPAlloc(hostPool, (int32_t)strlen(name) + 1);
    e->domain = strcpy(copy, name);
    e->time = 0;
    e->tries = 1;
    e->status = HOST_NEW;
    HashInsert(hostTable, e);
    n++;
  }
  fclose(f);
  return n;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s MAP LOG gzip|bzip2|none [LEVEL] [RUNS] [THREADS]\n", argv[0]);
    return 2;
  }
  MPInit();
  SettingsDefaults();
  hostPool = MPNew();
  hostTable = HashInit(HOST_TABLE_EXPECTED, hostPool, HostKeyHash, HostKeyEqual);
  if (LoadMap(argv[1]) < 0) {
    fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  Settings.compress = !strcmp(argv[3], "gzip")    ? COMPRESS_GZIP
                      : !strcmp(argv[3], "bzip2") ? COMPRESS_BZIP2
                                                  : COMPRESS_NONE;
  if (argc > 4) Settings.level = atoi(argv[4]);
  int runs = argc > 5 ? atoi(argv[5]) : 1;
  if (argc > 6) Settings.threads = atoi(argv[6]);
  struct stat st;
  if (stat(argv[2], &st) != 0) return 1;
  // CPU time (user and system) as well as wall time: on a busy machine the
  // wall clock measures the neighbours.
  double best_wall = 1e30, best_cpu = 1e30;
  for (int i = 0; i < runs; i++) {
    double w0 = Now(CLOCK_MONOTONIC), c0 = Now(CLOCK_PROCESS_CPUTIME_ID);
    if (!TranslateLog(argv[2])) return 1;
    double c = Now(CLOCK_PROCESS_CPUTIME_ID) - c0, w = Now(CLOCK_MONOTONIC) - w0;
    if (w < best_wall) best_wall = w;
    if (c < best_cpu) best_cpu = c;
  }
  printf("wall %.3f s cpu %.3f s %.1f MB/s\n", best_wall, best_cpu, st.st_size / best_cpu / 1e6);
  return 0;
}
