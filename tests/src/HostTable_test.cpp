#include "src/HostTable.h"

#include <gtest/gtest.h>

#include <cstring>

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

}  // namespace
