// IPParse against a plain reading of the address grammar, and IPFormat back;
// IP6Parse against the C library, and IP6Format back.
#include <arpa/inet.h>

#include <cstring>

#include "src/IPText.h"
#include "tests/fuzz/FuzzSupport.h"

static bool Digit(char c) { return c >= '0' && c <= '9'; }

// Four groups of one to three digits, each at most 255, joined by dots and
// followed by neither a digit nor a dot.
static bool Model(const char* s, uint32_t* key) {
  *key = 0;
  for (int g = 0; g < 4; g++) {
    if (g > 0 && *s++ != '.') return false;
    unsigned v = 0, n = 0;
    for (; Digit(*s) && n < 4; n++) v = v * 10 + (unsigned)(*s++ - '0');
    if (n == 0 || n > 3 || v > 255) return false;
    *key |= v << (8 * g);
  }
  return !Digit(*s) && *s != '.';
}

// The C library refuses leading zeros in the quad of the last 32 bits.
static bool ZeroLedQuad(const std::string& s) {
  std::string quad = "." + s.substr(s.rfind(':') == std::string::npos ? 0 : s.rfind(':') + 1);
  for (size_t at = 0; (at = quad.find(".0", at)) != std::string::npos; at++)
    if (at + 2 < quad.size() && Digit(quad[at + 2])) return true;
  return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The parsers read a NUL-terminated text, as the reader's window ends.
  std::string s((const char*)data, strnlen((const char*)data, size));
  IP6Key key6, back6;
  uint8_t want6[16];
  char text[IP6_TEXT_SIZE];
  bool ok = IP6Parse(s.data(), s.data() + s.size(), &key6);
  FUZZ_CHECK(ZeroLedQuad(s) ||
             (ok == (inet_pton(AF_INET6, s.c_str(), want6) == 1) && (!ok || memcmp(key6.b, want6, 16) == 0)));
  if (ok) IP6Format(&key6, text);
  FUZZ_CHECK(!ok || (strlen(text) <= IP6_TEXT_MAX && IP6Parse(text, text + strlen(text), &back6) &&
                     memcmp(&back6, &key6, sizeof key6) == 0));
  uint32_t got = 0, want = 0, back = 0;
  ok = IPParse(s.c_str(), &got);
  FUZZ_CHECK(ok == Model(s.c_str(), &want) && IPParse(s.c_str(), nullptr) == ok);
  if (ok) IPFormat(got, text);
  FUZZ_CHECK(!ok || (got == want && IPParse(text, &back) && back == got));
  return 0;
}
