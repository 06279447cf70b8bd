// Times writing and loading a large DNS cache file, in both formats, and
// reports peak memory and pool bytes per entry.
//   cache_bench [ENTRIES [DIR]]     (defaults: 1000000, a new directory in /tmp)
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "common/HashTable.h"
#include "common/MemoryPool.h"
#include "src/CacheFile.h"
#include "src/HostTable.h"
#include "src/Settings.h"

static double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

static long PeakRssKb() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

static void NewTable() {
  hostPool = MPNew();
  hostTable = HashInit(HOST_TABLE_EXPECTED, hostPool, HostKeyHash, HostKeyEqual);
}

static void DropTable() {
  HashFini(hostTable);
  MPDelete(hostPool);
}

// Distinct addresses spread over the whole space (an odd multiplier is a
// bijection), names of typical length, one in ten failed.
static void Fill(uint32_t count) {
  int32_t now = (int32_t)time(nullptr);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (uint32_t i = 0; i < count; i++) {
    HostEntry* e = (HostEntry*)MPAlloc(hostPool, sizeof(HostEntry));
    e->address = (i + 1) * 2654435761u;
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    e->time = now - (int32_t)(x % (30u * 86400u));
    e->tries = 1 + (uint32_t)(x >> 40) % 4;
    e->status = HOST_NEW;
    if (i % 10 == 9) {
      e->domain = FailedMark;
    } else {
      char name[64];
      int n = snprintf(name, sizeof name, "host-%u.dyn%u.example-isp.net", i,
                       (unsigned)(x >> 50) % 100);
      char* copy = (char*)MPAlloc(hostPool, n + 1);
      memcpy(copy, name, (size_t)n + 1);
      e->domain = copy;
    }
    HashInsert(hostTable, e);
  }
}

static uint32_t Count() {
  uint32_t n = 0;
  for (HashNode* node = HashFirst(hostTable); node; node = HashNext(hostTable)) n++;
  return n;
}

static long FileSize(const char* path) {
  FILE* f = fopen(path, "rb");
  if (!f) return -1;
  fseek(f, 0, SEEK_END);
  long n = ftell(f);
  fclose(f);
  return n;
}

static void Round(const char* label, uint8_t private_cache, uint32_t count) {
  double t0 = Now();
  LkWrite(private_cache);
  double t1 = Now();
  DropTable();
  NewTable();
  double t2 = Now();
  LkRead();
  double t3 = Now();
  uint32_t loaded = Count();
  double pool_bytes = (double)hostPool->block_count * MP_BLOCK_SIZE;
  printf(
      "%s: write %.3f s, read %.3f s, file %ld bytes, %u loaded, pool %.1f bytes/entry, peak RSS "
      "%.1f MB\n",
      label, t1 - t0, t3 - t2, FileSize(cachePath), loaded, pool_bytes / (loaded ? loaded : 1),
      PeakRssKb() / 1024.0);
  if (loaded != count) printf("MISMATCH: expected %u\n", count);
}

int main(int argc, char** argv) {
  uint32_t count = argc > 1 ? (uint32_t)strtoul(argv[1], nullptr, 10) : 1000000;
  std::string dir;
  if (argc > 2) {
    dir = argv[2];
  } else {
    char tmpl[] = "/tmp/cache_benchXXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    dir = tmpl;
  }
  std::string path = dir + "/dnscache";

  MPInit();
  SettingsDefaults();
  Settings.verbose = 1;
  cachePath = path.c_str();
  NewTable();
  double t0 = Now();
  Fill(count);
  printf("filled %u entries in %.3f s, peak RSS %.1f MB\n", count, Now() - t0,
         PeakRssKb() / 1024.0);

  Round("plain", 0, count);
  Round("private", 1, count);
  DropTable();

  std::string bak = path + ".bak";
  unlink(path.c_str());
  unlink(bak.c_str());
  if (argc <= 2) rmdir(dir.c_str());
  return 0;
}
