// The lookup pass: every IPv4 address anywhere in a log goes to LkLookup.
#define ASSERT_MODULE "src/Logvane"
#include "src/Scan.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "common/Assert.h"
#include "common/HashTable.h"
#include "common/MemoryPool.h"
#include "common/input.h"
#include "src/CacheFile.h"
#include "src/Filter.h"
#include "src/FormatCount.h"
#include "src/Host6Table.h"
#include "src/HostTable.h"
#include "src/IPScan.h"
#include "src/Resolver.h"
#include "src/Settings.h"

#define SCAN_BATCH 64  // hits found before the first of them is acted on
#define SCAN_AHEAD 8   // hits between an address's second prefetch and its probe
#define SCAN_PROGRESS_SECS 10
#define SCAN_CHECKPOINT_SECS 300

// Last periodic cache checkpoint; survives from one file to the next.
static int32_t save_time = 0;

struct ScanState {
  InputFile* in;
  IPCursor cur;
  int32_t start_time;
  int32_t mark;  // progress mark, advanced by exactly 10 per report
  int32_t lines;
  int32_t lookups;
  int32_t duplicates;
};

// After the line end that ends at line_end; true when it reported, and so
// moved the window to start there.
static bool ScanProgress(ScanState* s, const char* line_end) {
  int32_t now = (int32_t)time(nullptr);
  int32_t m = s->mark + SCAN_PROGRESS_SECS;
  if (m >= now) return false;
  // The reader's position is reported just past this line end.
  IPRewind(&s->cur, line_end);
  INConsume(s->in, IPTake(&s->cur));
  IPWindow(&s->cur, INGetBuffer(s->in, nullptr), s->in->buff_cnt, s->in->at_eof);
  int32_t e = m - s->start_time;
  int32_t r = (10 * s->lookups + e / 2) / e;
  printf("Read %s lines (%d%%), %s lookups, %s lines/sec, %ld.%ld lookups/sec.\n",
         FormatCount(s->lines), INPercent(s->in) / 10, FormatCount(s->lookups),
         FormatCount(s->lines / e), (long)(r / 10), (long)(r % 10));
  s->mark = m;
  if (save_time + SCAN_CHECKPOINT_SECS < now) {
    save_time += SCAN_CHECKPOINT_SECS;
    LkWrite(Settings.private_cache);
  }
  return true;
}

static void ScanAddress(ScanState* s, const IPHit* hit, int kind) {
  if (kind == IP_ADDRESS ? LkLookup(false, hit->key) : LkLookup6(&hit->key6))
    s->lookups++;
  else
    s->duplicates++;
}

// Acts on the hits of the window in text order. They are found a batch
// ahead, and each address's first probe of the table is asked of memory on
// the way, so a big table's misses overlap the search instead of stalling it.
static void ScanWindow(ScanState* s) {
  IPHit hits[SCAN_BATCH];
  int kinds[SCAN_BATCH];
  for (;;) {
    int n = 0;
    while (n < SCAN_BATCH && (kinds[n] = IPNext(&s->cur, &hits[n])) != IP_NONE)
      if (kinds[n++] == IP_ADDRESS) HashPrefetch(hostTable, &hits[n - 1].key, 0);
    bool moved = false;
    for (int i = 0; i < n && !moved; i++) {
      if (i + SCAN_AHEAD < n && kinds[i + SCAN_AHEAD] == IP_ADDRESS)
        HashPrefetch(hostTable, &hits[i + SCAN_AHEAD].key, 1);
      if (kinds[i] != IP_LINE_END)
        ScanAddress(s, &hits[i], kinds[i]);
      else if ((++s->lines & 255) == 0 && Settings.verbose)
        moved = ScanProgress(s, hits[i].end);  // the hits after it are found again
    }
    if (n < SCAN_BATCH && !moved) return;
  }
}

static void ScanTotals(ScanState* s) {
  int32_t end_time = (int32_t)time(nullptr);
  uint32_t total = 0, used = 0;
  void* item;
  for (HashNode* n = HashFirst(hostTable); n; n = HashNext(hostTable)) total++;
  for (HashNode* n = HashFirst(hostTable); n; n = HashNext(hostTable)) {
    HashItem(hostTable, n, &item);
    if (((HostEntry*)item)->status == HOST_REUSED) used++;
  }
  Host6Count(&total, &used);
  printf("Looked up %s IPs, used %s from cache, total of %s in cache,\n", FormatCount(s->lookups),
         FormatCount(used), FormatCount(total));
  int32_t d = end_time - s->start_time;
  printf("  %s duplicates, %s lines in %d:%02d!\n", FormatCount(s->duplicates),
         FormatCount(s->lines), d / 60, d % 60);
}

bool LkScan(const char* name) {
  ScanState s;
  memset(&s, 0, sizeof s);
  s.start_time = (int32_t)time(nullptr);
  if (save_time == 0) save_time = s.start_time;
  MemoryPool* pool = MPNew();
  s.in = strcmp(name, "-") == 0 ? INFOpen(FLStandardInput(false), pool) : INOpenPath(name, pool);
  if (!s.in) {
    printf("Error opening input file '%s'.\n", name);
    MPDelete(pool);
    return false;
  }
  s.mark = s.start_time;
  IPStart(&s.cur);
  while (char* window = INGetBuffer(s.in, nullptr)) {
    IPWindow(&s.cur, window, s.in->buff_cnt, s.in->at_eof);
    ScanWindow(&s);
    if (int32_t used = IPTake(&s.cur)) INConsume(s.in, used);
  }
  if (Settings.verbose) ScanTotals(&s);
  INClose(s.in);
  MPDelete(pool);
  return true;
}
