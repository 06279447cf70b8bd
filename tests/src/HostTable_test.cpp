#include "src/HostTable.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

uint32_t Key(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a | b << 8 | c << 16 | d << 24;
}

TEST(IPParse, Accepts) {
  struct {
    const char* text;
    uint32_t key;
  } rows[] = {{"0.0.0.0", 0},
              {"255.255.255.255", 0xFFFFFFFFu},
              {"001.02.3.4", Key(1, 2, 3, 4)},
              {"192.168.001.010", Key(192, 168, 1, 10)},
              {"1.2.3.4x", Key(1, 2, 3, 4)},
              {"1.2.3.4:80", Key(1, 2, 3, 4)},
              {"10.0.0.1 - - [", Key(10, 0, 0, 1)},
              {"10.0.0.1-", Key(10, 0, 0, 1)},
              {"10.0.0.1/24", Key(10, 0, 0, 1)},
              {"199.200.249.250\n", Key(199, 200, 249, 250)},
              {"000.000.000.000", 0}};
  for (auto& r : rows) {
    SCOPED_TRACE(r.text);
    uint32_t key = 0xDEADBEEF;
    EXPECT_TRUE(IPParse(r.text, &key));
    EXPECT_EQ(key, r.key);
    EXPECT_TRUE(IPParse(r.text, nullptr));
  }
}

TEST(IPParse, Rejects) {
  const char* rows[] = {"256.1.1.1", "1.2.3.256", "1.256.3.4", "999.1.1.1", "1.2.3",
                        "1.2.3.",    "1.2.3.4.5", "1.2.3.4.",  "1..2.3",    " 1.2.3.4",
                        "+1.2.3.4",  "1234.1.1.1", "1.2.3.4567", "1.2.3.0004", "1.2.3.-4",
                        "a1.2.3.4",  "",          ".1.2.3.4",  "1,2.3.4",   "1.2.3. 4",
                        "\xb9.2.3.4"};
  for (const char* text : rows) {
    SCOPED_TRACE(text);
    uint32_t key = 0xDEADBEEF;
    EXPECT_FALSE(IPParse(text, &key));
    EXPECT_EQ(key, 0xDEADBEEFu);  // untouched
    EXPECT_FALSE(IPParse(text, nullptr));
  }
}

TEST(IPParse, StopsAtTheEndOfTheBuffer) {
  // Exactly sized, no slack after the NUL: ASan catches any over-read.
  const char* texts[] = {"1", "12", "123", "1.2.3.4", "1.2.3.44", "1.2.3.255", "255.2"};
  for (const char* t : texts) {
    size_t n = strlen(t) + 1;
    char* copy = new char[n];
    memcpy(copy, t, n);
    IPParse(copy, nullptr);
    delete[] copy;
  }
}

TEST(IPFormat, RoundTrip) {
  char out[16];
  IPFormat(Key(192, 168, 1, 10), out);
  EXPECT_STREQ(out, "192.168.1.10");
  IPFormat(0xFFFFFFFFu, out);
  EXPECT_STREQ(out, "255.255.255.255");
  IPFormat(0, out);
  EXPECT_STREQ(out, "0.0.0.0");

  // Every octet value in every position survives format then parse.
  for (uint32_t v = 0; v < 256; v++) {
    for (int pos = 0; pos < 4; pos++) {
      uint32_t key = Key(7, 80, 9, 100) & ~(255u << 8 * pos);
      key |= v << 8 * pos;
      IPFormat(key, out);
      uint32_t back = 0;
      ASSERT_TRUE(IPParse(out, &back)) << out;
      ASSERT_EQ(back, key) << out;
    }
  }
}

TEST(HostTable, KeysAndMarks) {
  HostEntry e{Key(1, 2, 3, 4), nullptr, 0, 1, HOST_NEW};
  uint32_t probe = Key(1, 2, 3, 4), other = Key(4, 3, 2, 1);
  EXPECT_EQ(HostKeyHash(&probe), probe);
  EXPECT_EQ(HostKeyHash(&e), probe);  // an entry begins with its key
  EXPECT_TRUE(HostKeyEqual(&probe, &e));
  EXPECT_FALSE(HostKeyEqual(&other, &e));

  EXPECT_FALSE(HostFailed(&e));  // pending is neither
  EXPECT_FALSE(HostNamed(&e));
  e.domain = FailedMark;
  EXPECT_STREQ(FailedMark, "*");
  EXPECT_TRUE(HostFailed(&e));
  EXPECT_FALSE(HostNamed(&e));
  e.domain = "host.example";
  EXPECT_TRUE(HostNamed(&e));
  e.domain = "*odd";
  EXPECT_TRUE(HostFailed(&e));
}

}  // namespace
