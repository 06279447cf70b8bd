#include "src/HostTable.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "src/IPText.h"

namespace {

uint32_t Key(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a | b << 8 | c << 16 | d << 24; }

TEST(IPParse, Accepts) {
  struct { const char* text; uint32_t key; } rows[] = {
      {"0.0.0.0", 0},  {"255.255.255.255", 0xFFFFFFFFu},  {"001.02.3.4", Key(1, 2, 3, 4)},
      {"192.168.001.010", Key(192, 168, 1, 10)}, {"1.2.3.4x", Key(1, 2, 3, 4)}, {"1.2.3.4:80", Key(1, 2, 3, 4)},
      {"10.0.0.1 - - [", Key(10, 0, 0, 1)}, {"10.0.0.1-", Key(10, 0, 0, 1)}, {"10.0.0.1/24", Key(10, 0, 0, 1)},
      {"199.200.249.250\n", Key(199, 200, 249, 250)}, {"000.000.000.000", 0}};
  for (auto& r : rows) {
    uint32_t key = 0xDEADBEEF;
    EXPECT_TRUE(IPParse(r.text, &key)) << r.text;
    EXPECT_EQ(key, r.key) << r.text;
    EXPECT_TRUE(IPParse(r.text, nullptr)) << r.text;
  }
}

TEST(IPParse, Rejects) {
  const char* rows[] = {"256.1.1.1", "1.2.3.256",  "1.256.3.4",  "999.1.1.1",  "1.2.3",    "1.2.3.",   "1.2.3.4.5",
                        "1.2.3.4.",  "1..2.3",     " 1.2.3.4",   "+1.2.3.4",   "1234.1.1.1", "1.2.3.4567", "1.2.3.0004",
                        "1.2.3.-4",  "a1.2.3.4",   "",           ".1.2.3.4",   "1,2.3.4",  "1.2.3. 4", "\xb9.2.3.4"};
  for (const char* text : rows) {
    uint32_t key = 0xDEADBEEF;
    EXPECT_FALSE(IPParse(text, &key)) << text;
    EXPECT_EQ(key, 0xDEADBEEFu) << text;  // untouched
    EXPECT_FALSE(IPParse(text, nullptr)) << text;
  }
  // Exactly sized, no slack after the NUL: ASan catches any over-read.
  for (const char* t : {"1", "12", "123", "1.2.3.4", "1.2.3.44", "1.2.3.255", "255.2"}) {
    char* copy = strcpy(new char[strlen(t) + 1], t);
    IPParse(copy, nullptr);
    delete[] copy;
  }
}

std::string Canonical(const std::string& text) {
  IP6Key key;
  if (!IP6Parse(text.data(), text.data() + text.size(), &key)) return "refused";
  char out[IP6_TEXT_SIZE];
  IP6Format(&key, out);
  return out;
}

// Every RFC 4291 spelling in, RFC 5952 text out; the quad of the last 32 bits
// is read as IPParse reads it.
TEST(IP6Parse, SpellingsAndTheirText) {
  struct { const char* in; const char* out; } rows[] = {
      {"2001:db8::1", "2001:db8::1"}, {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
      {"2001:db8::0:1", "2001:db8::1"}, {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
      {"1:0:0:2:0:0:0:3", "1:0:0:2::3"}, {"1:0:2:3:4:5:6:7", "1:0:2:3:4:5:6:7"}, {"::1", "::1"}, {"1::", "1::"},
      {"0:0:0:0:0:0:0:0", "::"}, {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"}, {"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8"},
      {"ABCD:EF01:2345:6789:abcd:ef01:2345:6789", "abcd:ef01:2345:6789:abcd:ef01:2345:6789"},
      {"::ffff:198.51.100.7", "::ffff:198.51.100.7"}, {"::FFFF:c633:6407", "::ffff:198.51.100.7"},
      {"::ffff:001.02.3.4", "::ffff:1.2.3.4"}, {"0::ffff:0:192.0.2.1", "::ffff:0:192.0.2.1"},
      {"::192.0.2.1", "::c000:201"}, {"64:ff9b::192.0.2.1", "64:ff9b::c000:201"},
      {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"}, {"fe80::1", "fe80::1"},
      // Refused.
      {"", "refused"}, {":", "refused"}, {":1", "refused"}, {"1:", "refused"}, {"1::2::3", "refused"},
      {":::", "refused"}, {"1:::2", "refused"}, {"12345::", "refused"}, {"1:2:3:4:5:6:7", "refused"},
      {"1:2:3:4:5:6:7:8:9", "refused"}, {"1:2:3:4:5:6:7:8::", "refused"}, {"::1:2:3:4:5:6:7:8", "refused"},
      {"1.2.3.4", "refused"}, {"::1.2.3", "refused"}, {"::1.2.3.4.5", "refused"}, {"::256.1.1.1", "refused"},
      {"::1.2.3.4:5", "refused"}, {"1:2:3:4:5:6:7:1.2.3.4", "refused"}, {"::ab.1.2.3", "refused"},
      {"g::1", "refused"}, {" ::1", "refused"}, {"::1 ", "refused"}, {"::1%eth0", "refused"}};
  for (auto& r : rows) EXPECT_EQ(Canonical(r.in), r.out) << r.in;
}

// Against the C library on random texts: the same verdicts and keys, and the
// same text back but where RFC 5952 and the library differ on dotted quads
// (addresses whose first 64 bits are zero).
TEST(IP6Parse, AgreesWithTheCLibrary) {
  std::mt19937 rng(11);
  const char alphabet[] = "0123456789abcdefABCDEF::::..";
  auto any = [&] { return alphabet[rng() % (sizeof alphabet - 1)]; };
  for (int i = 0; i < 300000; i++) {
    uint8_t b[16], want[16];
    for (uint8_t& x : b) x = (uint8_t)(rng() % 3 ? 0 : rng());
    if (i % 7 == 1) memcpy(b, "\0\0\0\0\0\0\0\0\0\0\xff\xff", 12);
    char text[INET6_ADDRSTRLEN], mine[IP6_TEXT_SIZE];
    std::string s = inet_ntop(AF_INET6, b, text, sizeof text);
    if (i % 2) s[rng() % s.size()] = any();
    if (i % 3 == 0)
      for (s.clear(); rng() % 24;) s += any();
    // The library refuses leading zeros in the quad, which IPParse reads.
    std::string quad = "." + s.substr(s.rfind(':') + 1);
    bool zeros = false;
    for (size_t at = 0; (at = quad.find(".0", at)) != std::string::npos; at++)
      zeros |= at + 2 < quad.size() && quad[at + 2] >= '0' && quad[at + 2] <= '9';
    IP6Key got;
    bool ok = IP6Parse(s.data(), s.data() + s.size(), &got);
    if (zeros) continue;
    ASSERT_EQ(ok, inet_pton(AF_INET6, s.c_str(), want) == 1) << s;
    if (!ok) continue;
    ASSERT_EQ(memcmp(got.b, want, 16), 0) << s;
    IP6Format(&got, mine);
    EXPECT_EQ(Canonical(mine), mine) << s;
    if (memcmp(want, "\0\0\0\0\0\0\0\0", 8) != 0) {
      ASSERT_STREQ(mine, inet_ntop(AF_INET6, want, text, sizeof text)) << s;
    }
  }
}

// Two bytes before the quad decide; a URL's host stays an address.
TEST(IPVersionQuad, ProductTokensAndMarks) {
  struct { const char* before; bool version; } rows[] = {
      {"Chrome/", true}, {"OPR/", true}, {"x86_64/", true}, {"5/", true}, {" v", true}, {"(V", true}, {"-v", true},
      {"_v", true},      {"//", false},  {"http:/", false}, {" /", false}, {"rev", false}, {"Ev", false}, {" ", false},
      {"=", false},      {"", false}};
  for (auto& r : rows) {
    std::string text = std::string("\0\0") + r.before + "1.2.3.4";
    EXPECT_EQ(IPVersionQuad(text.c_str() + text.size() - 7), r.version) << r.before;
  }
}

}  // namespace
