// The lookup pass: every IPv4 address anywhere in a log goes to LkLookup.
#define ASSERT_MODULE "src/Logvane"
#include "src/Scan.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/Assert.h"
#include "common/HashTable.h"
#include "common/MemoryPool.h"
#include "common/input.h"
#include "src/CacheFile.h"
#include "src/Filter.h"
#include "src/FormatCount.h"
#include "src/Host6Table.h"
#include "src/HostTable.h"
#include "src/IPText.h"
#include "src/Resolver.h"
#include "src/Settings.h"

#define SCAN_LOOKAHEAD 32752  // bytes examined past p in one step
#define SCAN_PROGRESS_SECS 10
#define SCAN_CHECKPOINT_SECS 300

// Last periodic cache checkpoint; survives from one file to the next.
static int32_t save_time = 0;

enum { SC_OTHER = 0, SC_DIGIT, SC_CR, SC_LF, SC_NUL, SC_COLON };

// Colons are SC_COLON only while a scan looks for IPv6 addresses.
struct ScanClassTable {
  unsigned char c[256];
  ScanClassTable() {
    memset(c, SC_OTHER, sizeof c);
    for (int d = '0'; d <= '9'; d++) c[d] = SC_DIGIT;
    c[(unsigned char)'\r'] = SC_CR;
    c[(unsigned char)'\n'] = SC_LF;
    c[0] = SC_NUL;
  }
};
static ScanClassTable kClass;

struct ScanState {
  InputFile* in;
  const char* win;   // first byte not yet handed to INConsume
  const char* step;  // start of the step being handled
  int32_t start_time;
  int32_t mark;  // progress mark, advanced by exactly 10 per report
  int32_t lines;
  int32_t lookups;
  int32_t duplicates;
};

static inline int ClassOf(const char* p) { return kClass.c[(unsigned char)*p]; }

static void ScanProgress(ScanState* s) {
  int32_t now = (int32_t)time(nullptr);
  int32_t m = s->mark + SCAN_PROGRESS_SECS;
  if (m >= now) return;
  // The reader's position must be where single-step consumes would have
  // left it. Nothing is refilled here: a step only starts without a
  // consume while more than IN_KEEP bytes lie ahead.
  if (s->step > s->win) {
    INConsume(s->in, (int32_t)(s->step - s->win));
    s->win = s->step;
  }
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
}

// Offers the run of digits and dots at q to the parser once; returns its end.
// An address is always the whole run, so only a run of 7 to 15 bytes with
// three dots can be one; the parser is not asked about the rest.
static const char* ScanAddressRun(ScanState* s, const char* q) {
  const char* r = q;
  int dots = 0;
  for (;; r++) {
    if (ClassOf(r) == SC_DIGIT) continue;
    if (*r != '.') break;
    dots++;
  }
  uint32_t key;
  if (dots == 3 && r - q <= 15 && !(Settings.skip_versions && IPVersionQuad(q)) &&
      IPParse(q, &key)) {
    if (LkLookup(false, key))
      s->lookups++;
    else
      s->duplicates++;
  }
  return r;
}

// An IPv6 address whose first colon is at q is looked up whole. One that may
// run on past the window waits for the next: the step ends before q.
static const char* ScanColon(ScanState* s, const char* q, const char* end) {
  IP6Match m;
  int found = IP6Find(q, end, s->in->at_eof, &m);
  if (found == IP6_MORE) return q > s->step ? q : q + 1;
  if (found != IP6_FOUND) return m.end;
  if (LkLookup6(&m.key))
    s->lookups++;
  else
    s->duplicates++;
  return m.end;
}

static const char* ScanLineEnd(ScanState* s, const char* q) {
  const char* end = (q[0] == '\r' && q[1] == '\n') ? q + 2 : q + 1;
  s->lines++;
  if ((s->lines & 255) == 0 && Settings.verbose) ScanProgress(s);
  return end;
}

#if defined(__SSE2__)
// Passes over 16-byte blocks holding no digit, CR, LF or NUL, as long as a
// whole block lies before stop; returns where the byte-wise search goes on.
static inline const char* SkipPlainBlocks(const char* q, const char* stop) {
  const __m128i colon = _mm_set1_epi8(kClass.c[(unsigned char)':'] == SC_COLON ? ':' : '\n');
  const __m128i zero_char = _mm_set1_epi8('0');
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i nul = _mm_setzero_si128();
  while (stop - q >= 16) {
    __m128i v = _mm_loadu_si128((const __m128i*)q);
    __m128i d = _mm_sub_epi8(v, zero_char);
    __m128i hit = _mm_cmpeq_epi8(_mm_min_epu8(d, nine), d);
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, cr));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, lf));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, nul));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, colon));
    int mask = _mm_movemask_epi8(hit);
    if (mask) return q + __builtin_ctz((unsigned)mask);
    q += 16;
  }
  return q;
}
#else
static inline const char* SkipPlainBlocks(const char* q, const char*) { return q; }
#endif

// One step from p; returns how many bytes it consumes. end is the window's
// end (its NUL); nothing at or past it is read.
static int32_t ScanStep(ScanState* s, const char* p, const char* end) {
  const char* q = p;
  int cls = ClassOf(q);
  if (cls == SC_NUL) return 1;
  if (cls == SC_OTHER) {
    const char* limit = p + SCAN_LOOKAHEAD;
    // Whole blocks first, none reaching past the limit or the window's end.
    q = SkipPlainBlocks(p + 1, limit + 1 < end ? limit + 1 : end);
    if (q > limit) return SCAN_LOOKAHEAD + 1;
    q--;
    do {
      q++;
      cls = ClassOf(q);
    } while (cls == SC_OTHER && q < limit);
    if (cls == SC_OTHER) return SCAN_LOOKAHEAD + 1;
    if (cls == SC_NUL) return (int32_t)(q - p);
  }
  const char* next = cls == SC_DIGIT   ? ScanAddressRun(s, q)
                     : cls == SC_COLON ? ScanColon(s, q, end)
                                       : ScanLineEnd(s, q);
  return (int32_t)(next - p);
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
  printf("Looked up %s IPs, used %s from cache, total of %s in cache,\n",
         FormatCount(s->lookups), FormatCount(used), FormatCount(total));
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
  kClass.c[(unsigned char)':'] = Settings.ipv6 ? SC_COLON : SC_OTHER;
  // Steps run on in place; consumes are gathered up to the point where a
  // single one would have refilled the window (at most IN_KEEP bytes left).
  while ((s.win = INGetBuffer(s.in, nullptr)) != nullptr) {
    const char* end = s.win + s.in->buff_cnt;
    s.step = s.win;
    do {
      s.step += ScanStep(&s, s.step, end);
    } while (end - s.step > IN_KEEP);
    INConsume(s.in, (int32_t)(s.step - s.win));
  }
  if (Settings.verbose) ScanTotals(&s);
  INClose(s.in);
  MPDelete(pool);
  return true;
}
