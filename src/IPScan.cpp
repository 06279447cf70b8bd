#include "src/IPScan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "src/HostTable.h"
#include "src/IPText.h"
#include "src/Settings.h"

static inline bool IsDigit(uint8_t c) { return (unsigned)(c - '0') < 10u; }
static inline bool RunByte(uint8_t c) { return IsDigit(c) || c == '.'; }

// Marks are where a pass must look: every CR and LF, every digit that may
// start an address, one with no digit right before it and a dot within the
// next three bytes (an address's first dot always is), and with ipv6 on every
// colon. Other digits are text. prev_digit tells whether the byte before p is
// a digit; end is the window's end (its NUL may be read, nothing past it).
static inline bool Mark(const uint8_t* p, const uint8_t* end, bool prev_digit, bool ipv6) {
  if (*p == '\n' || *p == '\r' || (ipv6 && *p == ':')) return true;
  return IsDigit(*p) && !prev_digit &&
         (p[1] == '.' || (p + 2 <= end && (p[2] == '.' || (p + 3 <= end && p[3] == '.'))));
}

#if defined(__SSE2__)
#define IP_BLOCK 64
#define IP_BLOCK_READ (IP_BLOCK + 16)  // a mark's run and dots may lie past the block

// Bits of a 64-bit mask moved k places toward bit 0, the tail's (the 16 bytes
// after the block) coming in at the top.
static inline uint64_t Down(uint64_t x, uint64_t tail, int k) { return x >> k | tail << (64 - k); }

static inline uint64_t Bits(__m128i v) { return (uint64_t)(uint32_t)_mm_movemask_epi8(v); }

static inline __m128i Digits(__m128i v) {  // digits -> -128..-119, the rest above
  return _mm_cmplt_epi8(_mm_sub_epi8(v, _mm_set1_epi8((char)('0' + 128))), _mm_set1_epi8(-118));
}
static inline __m128i Dots(__m128i v) { return _mm_cmpeq_epi8(v, _mm_set1_epi8('.')); }
static inline __m128i Ends(__m128i v) {
  return _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')),
                      _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
}
static inline __m128i Colons(__m128i v) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(':')); }
static inline uint64_t Join(__m128i a, __m128i b, __m128i c, __m128i d) {
  return Bits(a) | Bits(b) << 16 | Bits(c) << 32 | Bits(d) << 48;
}

// The marks among the 64 bytes at b, as bits; 80 bytes must be readable. A
// digit mark whose run cannot be an address (under 7 bytes or over 15) is
// dropped here: the run is text, and what follows it in the run is never an
// address either.
template <bool V6>
static inline uint64_t BlockMarks(const uint8_t* b, bool prev_digit) {
  const __m128i* v = (const __m128i*)b;
  __m128i v0 = _mm_loadu_si128(v), v1 = _mm_loadu_si128(v + 1), v2 = _mm_loadu_si128(v + 2),
          v3 = _mm_loadu_si128(v + 3), v4 = _mm_loadu_si128(v + 4);
  uint64_t digits = Join(Digits(v0), Digits(v1), Digits(v2), Digits(v3));
  uint64_t dots = Join(Dots(v0), Dots(v1), Dots(v2), Dots(v3));
  uint64_t ends = Join(Ends(v0), Ends(v1), Ends(v2), Ends(v3));
  if (V6) ends |= Join(Colons(v0), Colons(v1), Colons(v2), Colons(v3));
  uint64_t tail_digits = Bits(Digits(v4)), tail_dots = Bits(Dots(v4));
  uint64_t near = Down(dots, tail_dots, 1) | Down(dots, tail_dots, 2) | Down(dots, tail_dots, 3);
  // Bit s of run_k: the k bytes from s on are all digits or dots.
  uint64_t run1 = digits | dots, tail1 = tail_digits | tail_dots;
  uint64_t run2 = run1 & Down(run1, tail1, 1), tail2 = tail1 & tail1 >> 1;
  uint64_t run4 = run2 & Down(run2, tail2, 2), tail4 = tail2 & tail2 >> 2;
  uint64_t run7 = run4 & Down(run4, tail4, 3);
  uint64_t run8 = run4 & Down(run4, tail4, 4), tail8 = tail4 & tail4 >> 4;
  uint64_t run16 = run8 & Down(run8, tail8, 8);
  uint64_t starts = digits & ~(digits << 1 | (uint64_t)prev_digit);
  return (starts & near & run7 & ~run16) | ends;
}
#endif

// Whether the bytes before q, back over any dots, end in a digit: then a run
// begun there goes on at q.
static inline bool InRun(const IPCursor* c, const uint8_t* q) {
  while (q > c->base && q[-1] == '.') q--;
  return q > c->base ? IsDigit(q[-1]) : c->in_run;
}

// The first mark at or after c->p and before c->lim, or c->lim.
static const uint8_t* NextMark(IPCursor* c) {
  for (;;) {
    if (c->mask) {
      long off = (long)(c->p - c->block);
      if (off >= 64)
        c->mask = 0;
      else if (off > 0)
        c->mask &= ~0ull << off;
      if (c->mask) return c->block + __builtin_ctzll(c->mask);
    }
    const uint8_t* from = c->p > c->scanned ? c->p : c->scanned;
    if (from >= c->lim) return c->lim;
    bool prev_digit = from > c->base ? IsDigit(from[-1]) : c->in_run;
#if defined(__SSE2__)
    if (c->end - from >= IP_BLOCK_READ) {
      uint64_t marks =
          c->ipv6 ? BlockMarks<true>(from, prev_digit) : BlockMarks<false>(from, prev_digit);
      if (c->lim - from < IP_BLOCK) marks &= (1ull << (c->lim - from)) - 1;
      c->block = from;
      c->mask = marks;
      c->scanned = from + IP_BLOCK;
      continue;
    }
#endif
    for (const uint8_t* q = from; q < c->lim; q++) {
      if (Mark(q, c->end, prev_digit, c->ipv6)) return q;
      prev_digit = IsDigit(*q);
    }
    return c->lim;
  }
}

// The end of the run of digits and dots at p; the NUL at end stops it.
static inline const uint8_t* SkipRun(const uint8_t* p, const uint8_t* end) {
#if defined(__SSE2__)
  for (; end - p >= 15; p += 16) {  // 16 readable bytes, the NUL at end included
    __m128i v = _mm_loadu_si128((const __m128i*)p);
    unsigned stop = ~(unsigned)Bits(_mm_or_si128(Digits(v), Dots(v))) & 0xFFFFu;
    if (stop) return p + __builtin_ctz(stop);
  }
#else
  (void)end;  // the NUL at end stops the loop below
#endif
  while (RunByte(*p)) p++;
  return p;
}

// Whether the run [q, r), begun at a mark, stands for an address: the one
// place that decides it. A run is one address or none, offered whole from its
// first digit and never again from inside it. A rule that looks at the bytes
// before q must carry them across windows, as in_run does, or read no further
// back than the reader's history (IPVersionQuad reads two bytes).
static inline bool AddressRun(const IPCursor* c, const uint8_t* q, const uint8_t* r,
                              uint32_t* key) {
  if (r - q < IP_TEXT_MIN || r - q > IP_TEXT_MAX || InRun(c, q)) return false;
  if (c->skip_versions && IPVersionQuad((const char*)q)) return false;
  return IPParse((const char*)q, key);
}

// The colon at q, with ipv6 on: IP_ADDRESS6 when an IPv6 address has it as
// its first colon and begins after the last hit; IP_NONE otherwise, with
// c->p where to go on. An address that may run on past the window ends the
// window's hits before q, to be judged whole in the next one.
static int ColonRun(IPCursor* c, const uint8_t* q, IPHit* hit) {
  IP6Match m;
  int found = IP6Find((const char*)q, (const char*)c->end, c->final, &m);
  if (found == IP6_MORE) {
    if (q == c->base) {
      c->p = q + 1;  // a run longer than any window
    } else {
      c->p = c->lim = q;
      c->mask = 0;
    }
    return IP_NONE;
  }
  const uint8_t* start = (const uint8_t*)m.start;
  if (found != IP6_FOUND || start < c->floor) {
    c->p = found == IP6_FOUND ? q + 1 : (const uint8_t*)m.end;
    return IP_NONE;
  }
  c->p = (const uint8_t*)m.end;
  hit->at = m.start;
  hit->end = m.end;
  hit->key6 = m.key;
  return IP_ADDRESS6;
}

void IPStart(IPCursor* c) {
  IPWindow(c, nullptr, 0, true);
  c->in_run = false;
  c->ipv6 = Settings.ipv6;
  c->skip_versions = Settings.skip_versions;
}

void IPWindow(IPCursor* c, const char* window, int32_t cnt, bool final) {
  c->base = (const uint8_t*)(window ? window : "");
  c->end = c->base + (window ? cnt : 0);
  c->lim = c->base + (c->end - c->base < IP_LOOKAHEAD ? c->end - c->base : IP_LOOKAHEAD);
  c->p = c->scanned = c->block = c->floor = c->base;
  c->mask = 0;
  c->final = final;
}

int IPNext(IPCursor* c, IPHit* hit) {
  for (;;) {
    const uint8_t* q = NextMark(c);
    if (q >= c->lim) {
      if (c->p < c->lim) c->p = c->lim;
      return IP_NONE;
    }
    if (*q == '\n' || *q == '\r') {
      c->p = c->floor = q + (*q == '\r' && q[1] == '\n' ? 2 : 1);
      hit->at = (const char*)q;
      hit->end = (const char*)c->p;
      return IP_LINE_END;
    }
    if (*q == ':') {
      int kind = ColonRun(c, q, hit);
      if (kind == IP_NONE) continue;
      c->floor = c->p;
      return kind;
    }
    const uint8_t* r = SkipRun(q, c->end);
    c->p = r;
    if (AddressRun(c, q, r, &hit->key)) {
      c->floor = r;
      hit->at = (const char*)q;
      hit->end = (const char*)r;
      return IP_ADDRESS;
    }
  }
}

void IPRewind(IPCursor* c, const char* at) {
  c->p = c->scanned = c->floor = (const uint8_t*)at;
  c->mask = 0;
}

int32_t IPTake(IPCursor* c) {
  if (c->ipv6) {
    const uint8_t* floor = c->floor > c->base ? c->floor : c->base + 1;
    c->p = (const uint8_t*)IP6Hold((const char*)c->p, (const char*)floor);
  }
  c->in_run = InRun(c, c->p);
  return (int32_t)(c->p - c->base);
}
