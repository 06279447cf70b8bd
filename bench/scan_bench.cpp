// Times the lookup pass alone: every address of the log is put in the host
// table first (with a name), so LkScan finds each one and starts no query.
//   scan_bench LOG [RUNS [MAP]]
// MAP (bench/genlog.py --map: an address first on each line) adds its
// addresses too, so the table holds as many as a big cache would.
// Prints the best of RUNS: seconds, MB/s, lines/s, addresses handed to
// LkLookup per second, the best processor time, and ns per line. The resolver channel is opened on
// a loopback server only and the program refuses to run outside a private network namespace (use
// scripts/netns).
#include <net/if.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/HashTable.h"
#include "common/MemoryPool.h"
#include "src/HostTable.h"
#include "src/Resolver.h"
#include "src/Scan.h"
#include "src/Settings.h"

#define BENCH_SERVER "127.0.0.1:9"  // discard port: nobody answers, nothing leaves
#define BENCH_NAME "bench.example"

struct LogCounts {
  long long bytes;
  long long lines;
  long long addresses;  // address texts, with repeats
  long long distinct;
};

// True when lo is the only interface, as in a fresh namespace.
static bool OnlyLoopback() {
  struct if_nameindex* ifs = if_nameindex();
  if (!ifs) return false;
  bool ok = true;
  for (struct if_nameindex* i = ifs; i->if_index; i++) {
    if (strcmp(i->if_name, "lo") != 0) ok = false;
  }
  if_freenameindex(ifs);
  return ok;
}

static double CpuSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void AddNamed(uint32_t key, LogCounts* c) {
  void* found;
  if (HashFind(hostTable, &key, &found) && found) return;
  HostEntry* e = (HostEntry*)MPAlloc(hostPool, sizeof(HostEntry));
  e->address = key;
  e->domain = BENCH_NAME;
  e->time = 0;
  e->tries = 1;
  e->status = HOST_CACHED;
  HashInsert(hostTable, e);
  c->distinct++;
}

// Every run of digits and dots that parses as an address goes in the table,
// found the simple way: the whole file in memory, one run at a time.
static bool FillTable(const char* path, LogCounts* c) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  struct stat st;
  if (fstat(fileno(f), &st) != 0) return false;
  char* data = (char*)malloc((size_t)st.st_size + 1);
  size_t n = fread(data, 1, (size_t)st.st_size, f);
  fclose(f);
  data[n] = '\0';
  memset(c, 0, sizeof *c);
  c->bytes = (long long)n;
  for (size_t i = 0; i < n;) {
    char ch = data[i];
    if (ch >= '0' && ch <= '9') {
      uint32_t key;
      if (IPParse(data + i, &key)) {
        AddNamed(key, c);
        c->addresses++;
      }
      while (i < n && ((data[i] >= '0' && data[i] <= '9') || data[i] == '.')) i++;
      continue;
    }
    if (ch == '\n' || (ch == '\r' && data[i + 1] != '\n')) c->lines++;
    i++;
  }
  free(data);
  return true;
}

// The address at the start of every line of path.
static bool FillFromMap(const char* path, LogCounts* c) {
  FILE* f = fopen(path, "r");
  if (!f) return false;
  char line[1024];
  uint32_t key;
  while (fgets(line, sizeof line, f))
    if (IPParse(line, &key)) AddNamed(key, c);
  fclose(f);
  return true;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s LOG [RUNS [MAP]]\n", argv[0]);
    return 2;
  }
  if (!OnlyLoopback()) {
    fprintf(stderr, "%s: run me in a private network namespace (scripts/netns)\n", argv[0]);
    return 2;
  }
  int runs = argc > 2 ? atoi(argv[2]) : 3;
  MPInit();
  SettingsDefaults();
  snprintf(Settings.dns_servers, sizeof Settings.dns_servers, "%s", BENCH_SERVER);
  hostPool = MPNew();
  hostTable = HashInit(HOST_TABLE_EXPECTED, hostPool, HostKeyHash, HostKeyEqual);
  if (!LkNetInit()) return 1;
  LogCounts c;
  if (!FillTable(argv[1], &c) || (argc > 3 && !FillFromMap(argv[3], &c))) {
    fprintf(stderr, "cannot read %s\n", argc > 3 ? argv[3] : argv[1]);
    return 1;
  }
  // Wall time is what counts; processor time shows it on a busy machine.
  double best = 1e30, best_cpu = 1e30;
  for (int i = 0; i < runs; i++) {
    double c0 = CpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    if (!LkScan(argv[1])) return 1;
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double cpu = CpuSeconds() - c0;
    if (s < best) best = s;
    if (cpu < best_cpu) best_cpu = cpu;
  }
  if (LkPendingCount() != 0) {
    fprintf(stderr, "%d queries were issued; the table fill missed addresses\n", LkPendingCount());
    return 1;
  }
  LkFini();
  printf(
      "%.3f s %.1f MB/s %.0f lines/s %.0f addresses/s, cpu %.3f s, %.0f ns/line "
      "(%lld bytes, %lld lines, %lld addresses, %lld in the table, best of %d)\n",
      best, c.bytes / best / 1e6, c.lines / best, c.addresses / best, best_cpu,
      best_cpu * 1e9 / c.lines, c.bytes, c.lines, c.addresses, c.distinct, runs);
  return 0;
}
