// IPParse against a plain reading of the address grammar, and IPFormat back.
#include <cstdio>
#include <cstring>
#include <string>

#include "src/HostTable.h"
#include "tests/fuzz/FuzzSupport.h"

static bool Digit(char c) { return c >= '0' && c <= '9'; }

// Four groups of one to three digits, each at most 255, joined by dots and
// followed by neither a digit nor a dot.
static bool Model(const std::string& s, uint32_t* key) {
  size_t i = 0;
  uint32_t k = 0;
  for (int g = 0; g < 4; g++) {
    if (g > 0 && (i >= s.size() || s[i++] != '.')) return false;
    size_t start = i;
    unsigned v = 0;
    while (i < s.size() && Digit(s[i]) && i - start < 4) v = v * 10 + (unsigned)(s[i++] - '0');
    size_t n = i - start;
    if (n == 0 || n > 3 || v > 255) return false;
    k |= v << (8 * g);
  }
  if (i < s.size() && (Digit(s[i]) || s[i] == '.')) return false;
  *key = k;
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The parser reads a NUL-terminated text, as the reader's window ends.
  std::string s((const char*)data, size);
  s = s.substr(0, strlen(s.c_str()));
  uint32_t got = 0, want = 0;
  bool ok = IPParse(s.c_str(), &got);
  FUZZ_CHECK(ok == Model(s, &want));
  FUZZ_CHECK(IPParse(s.c_str(), nullptr) == ok);
  if (!ok) return 0;
  FUZZ_CHECK(got == want);
  char text[16];
  IPFormat(got, text);
  uint32_t back = 0;
  FUZZ_CHECK(IPParse(text, &back) && back == got);
  return 0;
}
