// IPParse against a plain reading of the address grammar, and IPFormat back;
// IP6Parse against the C library, and IP6Format back.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "src/HostTable.h"
#include "src/IPText.h"
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

// The C library refuses leading zeros in the quad of the last 32 bits.
static bool ZeroLedQuad(const std::string& s) {
  std::string quad = "." + s.substr(s.rfind(':') == std::string::npos ? 0 : s.rfind(':') + 1);
  for (size_t at = 0; (at = quad.find(".0", at)) != std::string::npos; at++)
    if (at + 2 < quad.size() && Digit(quad[at + 2])) return true;
  return false;
}

static void CheckIPv6(const std::string& s) {
  IP6Key key;
  uint8_t want[16];
  bool ok = IP6Parse(s.data(), s.data() + s.size(), &key);
  if (!ZeroLedQuad(s)) FUZZ_CHECK(ok == (inet_pton(AF_INET6, s.c_str(), want) == 1));
  if (!ok) return;
  FUZZ_CHECK(ZeroLedQuad(s) || memcmp(key.b, want, 16) == 0);
  char text[IP6_TEXT_SIZE];
  IP6Format(&key, text);
  IP6Key back;
  FUZZ_CHECK(strlen(text) <= IP6_TEXT_MAX && IP6Parse(text, text + strlen(text), &back) &&
             memcmp(&back, &key, sizeof key) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The parser reads a NUL-terminated text, as the reader's window ends.
  std::string s((const char*)data, size);
  s = s.substr(0, strlen(s.c_str()));
  CheckIPv6(s);
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
