#include "src/IPText.h"

#include <cstring>

#include "src/HostTable.h"

static inline bool IsDigit(unsigned char c) { return (unsigned)(c - '0') < 10u; }
static inline bool IsLetter(unsigned char c) { return (unsigned)((c | 0x20) - 'a') < 26u; }
static inline bool IsAlnum(unsigned char c) { return IsDigit(c) || IsLetter(c); }
static inline int HexValue(unsigned char c) {
  if (IsDigit(c)) return c - '0';
  c |= 0x20;
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}
static inline bool IsHex(unsigned char c) { return HexValue(c) >= 0; }
static inline bool RunByte(unsigned char c) { return IsHex(c) || c == ':' || c == '.'; }

// The dotted quad that must fill [p, end) exactly.
static bool ParseQuad(const char* p, const char* end, uint8_t* out) {
  const char* q = p;
  while (q < end && (IsDigit(*q) || *q == '.')) q++;
  uint32_t v4;
  // IPParse stops before a digit or dot only by failing, so the quad ends at q.
  if (q != end || !IPParse(p, &v4)) return false;
  memcpy(out, &v4, 4);
  return true;
}

bool IP6Parse(const char* p, const char* end, IP6Key* key) {
  uint8_t b[16];
  int n = 0;     // bytes of groups read
  int gap = -1;  // where "::" stands, in bytes
  if (end - p >= 2 && p[0] == ':' && p[1] == ':') {
    gap = 0;
    p += 2;
  }
  while (p < end) {
    const char* q = p;
    unsigned v = 0;
    while (q < end && q - p < 5 && IsHex(*q)) v = v * 16 + (unsigned)HexValue(*q++);
    if (q < end && *q == '.') {
      if (n > 12 || !ParseQuad(p, end, b + n)) return false;
      n += 4;
      break;
    }
    if (q == p || q - p > 4 || n == 16) return false;
    b[n++] = (uint8_t)(v >> 8);
    b[n++] = (uint8_t)v;
    if (q == end) break;
    if (*q != ':' || ++q == end) return false;  // a lone colon may not end it
    if (*q == ':') {
      if (gap >= 0) return false;
      gap = n;
      q++;
    }
    p = q;
  }
  if (gap < 0 ? n != 16 : n > 14) return false;
  int tail = gap < 0 ? 0 : n - gap;
  memset(key->b, 0, 16);
  memcpy(key->b, b, (size_t)(n - tail));
  memcpy(key->b + 16 - tail, b + n - tail, (size_t)tail);
  return true;
}

static const uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
static const uint8_t TRANSLATED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0};

bool IP6Mapped(const IP6Key* key, uint32_t* address) {
  if (memcmp(key->b, MAPPED_PREFIX, 12) != 0) return false;
  memcpy(address, key->b + 12, 4);
  return true;
}

void IP6Format(const IP6Key* key, char* out) {
  bool quad = memcmp(key->b, MAPPED_PREFIX, 12) == 0 || memcmp(key->b, TRANSLATED_PREFIX, 12) == 0;
  int groups = quad ? 6 : 8;
  unsigned g[8];
  for (int i = 0; i < 8; i++) g[i] = (unsigned)key->b[2 * i] << 8 | key->b[2 * i + 1];
  int best = -1, best_len = 1;  // "::" never stands for a single group
  for (int i = 0; i < groups;) {
    int j = i;
    while (j < groups && g[j] == 0) j++;
    if (j - i > best_len) best = i, best_len = j - i;
    i = j > i ? j : i + 1;
  }
  static const char HEX[] = "0123456789abcdef";
  char* p = out;
  for (int i = 0; i < groups; i++) {
    if (i == best) {
      *p++ = ':';
      if (i == 0) *p++ = ':';
      i += best_len - 1;
      continue;
    }
    bool lead = true;
    for (int shift = 12; shift >= 0; shift -= 4) {
      unsigned d = g[i] >> shift & 15;
      if (lead && d == 0 && shift > 0) continue;
      lead = false;
      *p++ = HEX[d];
    }
    if (i < groups - 1 || quad) *p++ = ':';
  }
  if (quad) {
    uint32_t v4;
    memcpy(&v4, key->b + 12, 4);
    IPFormat(v4, p);
  } else {
    *p = '\0';
  }
}

int IP6Find(const char* colon, const char* end, bool final, IP6Match* m) {
  m->end = colon + 1;
  const unsigned char* c = (const unsigned char*)colon;
  const unsigned char* s = c;
  while (c - s < 4 && IsHex(s[-1])) s--;
  // A longer group, a colon or dot before: not the run's first colon, or no
  // address. A letter before: glued.
  if (RunByte(s[-1]) || IsLetter(s[-1])) return IP6_NONE;
  const unsigned char* e = c;
  int colons = 0, dots = 0, gaps = 0;
  for (; e - s <= IP6_TEXT_MAX && RunByte(*e); e++) {
    colons += *e == ':';
    dots += *e == '.';
    gaps += *e == ':' && e[-1] == ':';
  }
  if (e - s > IP6_TEXT_MAX) return IP6_NONE;
  if (e == (const unsigned char*)end && !final) return IP6_MORE;
  // Neither this run nor any part of it can be an address of either kind.
  if (!dots) m->end = (const char*)e;
  // Without "::" there are eight groups, or six and a dotted quad: times
  // such as 10:15:30 need no parsing.
  static const IP6Key UNSPECIFIED = {};
  if (colons < 2 || (!gaps && colons != (dots ? 6 : 7)) || IsLetter(*e) ||
      !IP6Parse((const char*)s, (const char*)e, &m->key) ||
      memcmp(&m->key, &UNSPECIFIED, sizeof UNSPECIFIED) == 0)
    return IP6_NONE;
  m->start = (const char*)s;
  m->end = (const char*)e;
  return IP6_FOUND;
}

const char* IP6Hold(const char* p, const char* floor) {
  const unsigned char* s = (const unsigned char*)p;
  while ((const unsigned char*)p - s < 4 && IsHex(s[-1])) s--;
  if (s == (const unsigned char*)p || RunByte(s[-1]) || IsLetter(s[-1])) return p;
  return (const char*)s < floor ? p : (const char*)s;
}

bool IPVersionQuad(const char* text) {
  unsigned char before = (unsigned char)text[-1], first = (unsigned char)text[-2];
  return (before == '/' && IsAlnum(first)) || ((before | 0x20) == 'v' && !IsLetter(first));
}
