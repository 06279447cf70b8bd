// The translation pass: a copy of each log in which every resolved address is
// replaced by its host name, compressed and with the chosen newlines.
#define ASSERT_MODULE "src/Logvane"
#include "src/Translate.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/Assert.h"
#include "common/HashTable.h"
#include "common/MemoryPool.h"
#include "common/UnixFileSpec.h"
#include "common/input.h"
#include "common/zstream.h"
#include "src/Filter.h"
#include "src/FormatCount.h"
#include "src/Host6Table.h"
#include "src/HostTable.h"
#include "src/IPText.h"
#include "src/Settings.h"

// Line ends and address starts are examined only this far past the first
// unconsumed byte, so an address (15 bytes) and the byte after it, or a CR and
// its LF, always lie within the 32,768 bytes the reader keeps buffered.
#define TR_LOOKAHEAD 32753
#define TR_REPORT_SECS 10
#define TR_ADDR_MIN 7          // "0.0.0.0"
#define TR_ADDR_MAX 15         // "255.255.255.255"

#define TR_CACHE_BITS 14        // recently met addresses, direct-mapped
#define TR_CACHE_SIZE (1 << TR_CACHE_BITS)

enum { SLOT_KEEP = -1, SLOT_UNUSED = -2 };  // NameSlot.len besides a name's length

// A log names the same few addresses over and over; this spares the table
// walk, which costs cache misses, and the name's strlen.
struct NameSlot {
  uint32_t key;
  int32_t len;  // SLOT_KEEP: the address stays as it is
  const char* name;
};

static inline bool IsDigit(uint8_t c) { return (unsigned)(c - '0') < 10u; }
static inline bool RunByte(uint8_t c) { return IsDigit(c) || c == '.'; }

// Where the rewriting must look: every CR and LF, and every digit that may
// start an address, one with no digit right before it and a dot within the
// next three bytes (an address's first dot always is). Other digits are
// copied like text; a candidate is checked exactly where it is met.
//
// The first such byte in [p, lim), or lim. end is the window's end (a NUL);
// prev_digit tells whether the byte before p is a digit. stop is one more
// byte to look at (a colon while IPv6 addresses count; else LF again).
static inline const uint8_t* SkipText(const uint8_t* p, const uint8_t* lim, const uint8_t* end,
                                      bool prev_digit, uint8_t stop) {
#if defined(__SSE2__)
  const __m128i digit_base = _mm_set1_epi8((char)('0' + 128));  // digits -> -128..-119
  const __m128i digit_top = _mm_set1_epi8(-118);
  const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), dot = _mm_set1_epi8('.');
  const __m128i extra = _mm_set1_epi8((char)stop);
  unsigned carry = prev_digit;
  for (; lim - p >= 16 && end - p >= 31; p += 16) {  // 32 bytes readable
    __m128i v = _mm_loadu_si128((const __m128i*)p);
    __m128i w = _mm_loadu_si128((const __m128i*)(p + 16));
    unsigned digits = (unsigned)_mm_movemask_epi8(
        _mm_cmplt_epi8(_mm_sub_epi8(v, digit_base), digit_top));
    unsigned ends = (unsigned)_mm_movemask_epi8(_mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)), _mm_cmpeq_epi8(v, extra)));
    unsigned dots = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(v, dot)) |
                    (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(w, dot)) << 16;
    unsigned starts = digits & ~(digits << 1 | carry) & (dots >> 1 | dots >> 2 | dots >> 3);
    if (unsigned hits = (starts | ends) & 0xFFFFu) return p + __builtin_ctz(hits);
    carry = digits >> 15;
  }
  prev_digit = carry;
#endif
  for (; p < lim; p++) {
    uint8_t c = *p;
    if (c == '\n' || c == '\r' || c == stop) return p;
    bool digit = IsDigit(c);
    if (digit && !prev_digit &&
        (p[1] == '.' || (p + 2 <= end && (p[2] == '.' || (p + 3 <= end && p[3] == '.')))))
      return p;
    prev_digit = digit;
  }
  return p;
}

// The end of the run of digits and dots at p; the NUL at end stops it.
static inline const uint8_t* SkipRun(const uint8_t* p, const uint8_t* end) {
#if defined(__SSE2__)
  const __m128i digit_base = _mm_set1_epi8((char)('0' + 128));
  for (; end - p >= 15; p += 16) {  // 16 readable bytes, the NUL at end included
    __m128i v = _mm_loadu_si128((const __m128i*)p);
    __m128i digits = _mm_cmplt_epi8(_mm_sub_epi8(v, digit_base), _mm_set1_epi8(-118));
    __m128i run = _mm_or_si128(digits, _mm_cmpeq_epi8(v, _mm_set1_epi8('.')));
    unsigned stop = ~(unsigned)_mm_movemask_epi8(run) & 0xFFFFu;
    if (stop) return p + __builtin_ctz(stop);
  }
#else
  (void)end;  // the NUL at end stops the loop below
#endif
  while (RunByte(*p)) p++;
  return p;
}

// Whether the bytes before p, back over any dots, end in a digit: then a run
// begun there goes on at p. in_run answers for the bytes before base.
static inline bool InRun(const uint8_t* p, const uint8_t* base, bool in_run) {
  while (p > base && p[-1] == '.') p--;
  return p > base ? IsDigit(p[-1]) : in_run;
}

struct Translation {
  NameSlot* cache;
  InputFile* in;
  ZSWriter* out;
  const char* nl;        // configured newline text
  int nl_len;
  bool verbose;
  bool failed;           // a write failed; nothing more is written
  uint32_t lines;
  uint32_t addresses;
  uint32_t replaced;
  time_t start;
  time_t last_report;
};

// Writes n bytes; the first failure is reported once and ends the rewriting.
static void Put(Translation* t, const void* data, long n) {
  if (n <= 0 || t->failed) return;
  if (ZSWrite(t->out, data, (int)n) != (int)n) {
    puts("Write error on output file!");
    t->failed = true;
  }
}

// Reports in 10-second slots; after a stall it catches up a slot per call.
static void Progress(Translation* t) {
  time_t due = t->last_report + TR_REPORT_SECS;
  if (due >= time(nullptr)) return;
  printf("Read %s lines (%d%%), %s replacements, %s lines/sec.\n", FormatCount(t->lines),
         (int)(INPercent(t->in) / 10), FormatCount(t->replaced),
         FormatCount((uint32_t)(t->lines / (uint32_t)(due - t->start))));
  t->last_report = due;
}

static inline void CountLine(Translation* t) {
  if ((++t->lines & 0xFF) == 0 && t->verbose) Progress(t);
}

// The slot that tells what becomes of the run of digits and dots at d (7 to
// 15 bytes), or null when the run is no address.
static const NameSlot* Lookup(Translation* t, const uint8_t* d) {
  uint32_t key;
  if (Settings.skip_versions && IPVersionQuad((const char*)d)) return nullptr;
  if (!IPParse((const char*)d, &key)) return nullptr;
  t->addresses++;
  NameSlot* slot = &t->cache[(key * 2654435761u) >> (32 - TR_CACHE_BITS)];
  if (slot->len == SLOT_UNUSED || slot->key != key) {
    void* item = nullptr;
    HashFind(hostTable, &key, &item);
    const HostEntry* entry = (const HostEntry*)item;
    slot->key = key;
    slot->name = entry && HostNamed(entry) ? entry->domain : nullptr;
    slot->len = slot->name ? (int32_t)strlen(slot->name) : SLOT_KEEP;
  }
  if (slot->len != SLOT_KEEP) t->replaced++;
  return slot;
}

// The name an IPv6 address is written as, or null; an IPv4-mapped one has
// its IPv4 address's.
static const char* NameOf6(const IP6Key* key) {
  uint32_t v4;
  void* item = nullptr;
  const HostEntry* e = nullptr;
  if (IP6Mapped(key, &v4))
    e = HashFind(hostTable, &v4, &item) ? (const HostEntry*)item : nullptr;
  else if (const Host6Entry* e6 = Host6Find(key))
    e = &e6->entry;
  return e && HostNamed(e) ? e->domain : nullptr;
}

// The IPv6 address whose first colon is at q, replaced by its name when it
// has one (brackets and port stay, being no part of it); returns where the
// rewriting goes on, or null when the address may run on past the window.
static const uint8_t* RewriteColon(Translation* t, const uint8_t* q, const uint8_t* end,
                                   const uint8_t** from) {
  IP6Match m;
  int found = IP6Find((const char*)q, (const char*)end, t->in->at_eof, &m);
  if (found == IP6_MORE) return nullptr;
  if (found != IP6_FOUND) return (const uint8_t*)m.end;
  const uint8_t* start = (const uint8_t*)m.start;
  if (start < *from) return q + 1;
  t->addresses++;
  if (const char* name = NameOf6(&m.key)) {
    t->replaced++;
    Put(t, *from, start - *from);
    Put(t, name, (long)strlen(name));
    *from = (const uint8_t*)m.end;
  }
  return (const uint8_t*)m.end;
}

// Rewrites the whole input in place on the reader's window. Bytes that come
// out unchanged are gathered into one write, so a window is cut only where a
// name or a different newline goes in, and at the look-ahead limit.
static void Rewrite(Translation* t) {
  const bool keep_lf = t->nl_len == 1 && t->nl[0] == '\n';
  const bool keep_cr = t->nl_len == 1 && t->nl[0] == '\r';
  const bool keep_crlf = t->nl_len == 2;
  bool in_run = false;  // the consumed bytes end inside a run (see InRun)
  const uint8_t colon = Settings.ipv6 ? ':' : '\n';
  while (!t->failed) {
    char* window = INGetBuffer(t->in, nullptr);
    if (!window) return;
    const int32_t cnt = t->in->buff_cnt;
    const uint8_t* const base = (const uint8_t*)window;
    const uint8_t* const end = base + cnt;  // a NUL stands here
    const uint8_t* const lim = base + (cnt < TR_LOOKAHEAD ? cnt : TR_LOOKAHEAD);
    const uint8_t* p = base;
    const uint8_t* from = base;  // first byte not yet written
    while (p < lim) {
      p = SkipText(p, lim, end, p > base ? IsDigit(p[-1]) : in_run, colon);
      if (p >= lim) break;
      if (*p == ':') {
        const uint8_t* next = RewriteColon(t, p, end, &from);
        if (!next && p > base) break;  // the next window starts at its run
        p = next ? next : p + 1;
      } else if (*p >= '0') {  // a digit that may start an address
        const uint8_t* d = p;
        p = SkipRun(p, end);
        if (p - d < TR_ADDR_MIN || p - d > TR_ADDR_MAX || InRun(d, base, in_run)) continue;
        const NameSlot* slot = Lookup(t, d);
        if (slot && slot->len != SLOT_KEEP) {
          Put(t, from, d - from);
          Put(t, slot->name, slot->len);
          from = p;
        }
      } else if (*p == '\n') {
        CountLine(t);
        if (!keep_lf) {
          Put(t, from, p - from);
          Put(t, t->nl, t->nl_len);
          from = p + 1;
        }
        p++;
      } else {
        CountLine(t);
        const bool crlf = p[1] == '\n';  // p + 1 <= end
        const uint8_t* after = p + (crlf ? 2 : 1);
        if (!(crlf ? keep_crlf : keep_cr)) {
          Put(t, from, p - from);
          Put(t, t->nl, t->nl_len);
          from = after;
        }
        p = after;
      }
    }
    // Hex digits at the cut may begin an IPv6 address: kept for the next window.
    if (colon == ':')
      p = (const uint8_t*)IP6Hold((const char*)p, (const char*)(from > base ? from : base + 1));
    Put(t, from, p - from);
    in_run = InRun(p, base, in_run);
    INConsume(t->in, (int32_t)(p - base));
  }
}

static void NewlineText(int32_t style, const char** text, int* len) {
  switch (style) {
    case NEWLINE_MAC: *text = "\r"; *len = 1; break;
    case NEWLINE_DOS: *text = "\r\n"; *len = 2; break;
    default: *text = "\n"; *len = 1; break;
  }
}

static const char* Suffix() {
  if (Settings.exchange) return ".$$$";
  switch (Settings.compress) {
    case COMPRESS_GZIP: return ".gz";
    case COMPRESS_BZIP2: return ".bz2";
    default: return ".out";
  }
}

// The log stays locked until its output is in place, so that two runs never
// translate it at once: the second skips it.
static bool LockLog(const char* name, InputFile* in) {
  int fd = fileno(in->file);
  if (FSLock(fd, false) && FSSameFile(name, fd)) return true;
  printf("'%s' is being translated by another run, skipping it.\n", name);
  return false;
}

// The output is made as "<log>.$$$" and renamed to its name when complete:
// a kill never leaves a cut output under the final name, and a link there is
// replaced, never written through. It gets the log's mode and, as root, its
// owner, so no one reads the copy who could not read the log.
static bool FinishOutput(FSTemp* tmp, const struct stat* log) {
  return FSTempFinish(tmp, log->st_mode & 0777, log->st_uid, log->st_gid) && FSTempInstall(tmp, nullptr);
}

// The writer of the settings' kind over file (null file: null).
static ZSWriter* OpenWriter(MemoryPool* pool, FILE* file) {
  int level = Settings.level < 0 ? 0 : Settings.level > 9 ? 9 : Settings.level;
  int kind = Settings.compress == COMPRESS_GZIP    ? ZS_GZIP
             : Settings.compress == COMPRESS_BZIP2 ? ZS_BZIP2
                                                    : ZS_PLAIN;
  return file ? ZSWriteOpen(pool, file, kind, level, Settings.threads) : nullptr;  // closes file on failure
}

static void StartTranslation(Translation* t) {
  memset(t, 0, sizeof *t);
  t->verbose = Settings.verbose != 0;
  t->start = time(nullptr);
  t->last_report = t->start;
}

// Rewrites t->in into t->out, reports and closes the writer; true when all
// of the input was read and written.
static bool RunTranslation(Translation* t, MemoryPool* pool) {
  t->cache = (NameSlot*)MPAlloc(pool, (int32_t)(TR_CACHE_SIZE * sizeof(NameSlot)));
  for (int i = 0; i < TR_CACHE_SIZE; i++) t->cache[i].len = SLOT_UNUSED;
  NewlineText(Settings.newlines, &t->nl, &t->nl_len);
  Rewrite(t);

  if (t->verbose) {
    long secs = (long)(time(nullptr) - t->start);
    printf("Translated %s IPs, %s unresolved, %s lines in %d:%02d!\n", FormatCount(t->replaced),
           FormatCount(t->addresses - t->replaced), FormatCount(t->lines), (int)(secs / 60),
           (int)(secs % 60));
  }
  bool closed = ZSWriteClose(t->out, false);
  if (!closed && !t->failed) puts("Write error on output file!");
  return closed && !t->failed && !t->in->read_error;
}

// "-" in filter mode: standard input as the lookup pass kept it, to standard
// output. Nothing is replaced or deleted.
static bool TranslateStandardInput() {
  if (Settings.verbose) puts("Translating '-'");
  Translation t;
  StartTranslation(&t);
  MemoryPool* pool = MPNew();
  t.in = INFOpen(FLStandardInput(true), pool);
  if (!t.in) {
    puts("Error opening input file '-'.");
    MPDelete(pool);
    return false;
  }
  t.out = OpenWriter(pool, FLStandardOutput());
  if (!t.out) {
    puts("Error opening output file '-'.");
    INClose(t.in);
    MPDelete(pool);
    return false;
  }
  bool ok = RunTranslation(&t, pool);
  INClose(t.in);
  MPDelete(pool);
  return ok;
}

bool TranslateLog(const char* name) {
  if (FLActive() && strcmp(name, "-") == 0) return TranslateStandardInput();
  if (FSNotAFile(name)) {
    if (Settings.verbose) printf("'%s' is not a file, skipping it.\n", name);
    return false;
  }
  if (Settings.verbose) printf("Translating '%s'\n", name);

  Translation t;
  StartTranslation(&t);
  MemoryPool* pool = MPNew();
  t.in = INOpenPath(name, pool);
  if (!t.in) {
    printf("Error opening input file '%s'.\n", name);
    MPDelete(pool);
    return false;
  }
  struct stat st;
  if (fstat(fileno(t.in->file), &st) != 0 || !LockLog(name, t.in)) {
    INClose(t.in);
    MPDelete(pool);
    return false;
  }

  const char* suffix = Suffix();
  const bool exchange = Settings.exchange != 0;
  const std::string temp = std::string(name) + ".$$$";
  const std::string target = exchange ? std::string(name) : name + std::string(suffix);
  FSTemp tmp;
  int err;
  FILE* file = FSTempCreate(&tmp, target.c_str(), temp.c_str(), &err) ? FSTempStream(&tmp) : nullptr;
  t.out = OpenWriter(pool, file);
  if (!t.out) {
    printf("Error opening output file '%s%s'.\n", name, suffix);
    FSTempClose(&tmp);
    INClose(t.in);
    MPDelete(pool);
    return false;
  }

  // A copy cut short by a write error or an unreadable input never takes the
  // final name, and never costs the input.
  bool ok = RunTranslation(&t, pool);
  if (ok && !FinishOutput(&tmp, &st)) {
    puts("Write error on output file!");
    ok = false;
  }
  FSTempClose(&tmp);
  if (ok && Settings.delete_input && !exchange) unlink(name);
  INClose(t.in);
  MPDelete(pool);
  return ok;
}
