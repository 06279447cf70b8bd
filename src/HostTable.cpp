#include "src/HostTable.h"

#include <cstddef>

const char FailedMark[] = "*";
const char UnconfirmedMark[] = "*u";
static const char PASSING_MARKS[HOST_PASSING_LIMIT - 1][4] = {"*t1", "*t2", "*t3", "*t4"};
static_assert(HOST_PASSING_LIMIT <= 10, "the count is one digit");

const char* HostPassingMark(uint32_t n) {
  return n && n < HOST_PASSING_LIMIT ? PASSING_MARKS[n - 1] : FailedMark;
}

const char* HostFailMark(const char* name) {
  if (name[1] == 'u' && !name[2]) return UnconfirmedMark;
  if (name[1] == 't' && name[2] > '0' && name[2] <= '9' && !name[3])
    return HostPassingMark((uint32_t)(name[2] - '0'));
  return FailedMark;
}

MemoryPool* hostPool = nullptr;
HashTable* hostTable = nullptr;

static inline unsigned DigitValue(unsigned char c) { return (unsigned)c - '0'; }  // > 9: no digit

// One group of one to three digits at p; advances p past it. Characters are
// only read while the previous one was a digit, so a NUL is never passed.
static inline bool ParseOctet(const unsigned char*& p, uint32_t& octet) {
  unsigned v = DigitValue(p[0]);
  if (v > 9) return false;
  unsigned d = DigitValue(p[1]);
  if (d > 9) {
    p += 1;
  } else {
    v = v * 10 + d;
    d = DigitValue(p[2]);
    if (d > 9) {
      p += 2;
    } else {
      v = v * 10 + d;
      if (v > 255 || DigitValue(p[3]) <= 9) return false;
      p += 3;
    }
  }
  octet = v;
  return true;
}

bool IPParse(const char* text, uint32_t* key) {
  const unsigned char* p = (const unsigned char*)text;
  uint32_t o0, o1, o2, o3;
  if (!ParseOctet(p, o0) || *p++ != '.') return false;
  if (!ParseOctet(p, o1) || *p++ != '.') return false;
  if (!ParseOctet(p, o2) || *p++ != '.') return false;
  if (!ParseOctet(p, o3) || *p == '.') return false;
  // ParseOctet already refused a digit after the last group.
  if (key) *key = o0 | o1 << 8 | o2 << 16 | o3 << 24;
  return true;
}

static inline char* PutOctet(char* out, unsigned v) {
  if (v >= 100) *out++ = (char)('0' + v / 100);
  if (v >= 10) *out++ = (char)('0' + v / 10 % 10);
  *out++ = (char)('0' + v % 10);
  return out;
}

void IPFormat(uint32_t key, char* out) {
  for (int i = 0; i < 4; i++) {
    out = PutOctet(out, (key >> (8 * i)) & 255);
    *out++ = i < 3 ? '.' : '\0';
  }
}

#define HOST_NAME_MAX_LEN 253  // characters in the longest name DNS can carry

static inline bool HostNameByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.';
}

bool HostNameValid(const char* name) {
  if (!name || !name[0]) return false;
  size_t len = 0;
  bool quad_bytes = true;  // digits and dots only so far
  for (const unsigned char* p = (const unsigned char*)name; *p; p++, len++) {
    if (!HostNameByte(*p)) return false;
    if (*p != '.' && (*p < '0' || *p > '9')) quad_bytes = false;
  }
  if (len > HOST_NAME_MAX_LEN) return false;
  // "10.0.0.99" and "10.0.0.99." both read as an address in a log.
  if (quad_bytes && IPParse(name, nullptr)) {
    const char* p = name;
    int dots = 0;
    for (; *p; p++) dots += *p == '.';
    if (dots == 3 || (dots == 4 && name[len - 1] == '.')) return false;
  }
  return true;
}

uint32_t HostKeyHash(const void* key) { return *(const uint32_t*)key; }

bool HostKeyEqual(const void* key, const void* item) {
  return *(const uint32_t*)key == ((const HostEntry*)item)->address;
}
