#include "src/FormatCount.h"

#include <gtest/gtest.h>

#include <string>

TEST(FormatCount, Groups) {
  struct {
    uint32_t n;
    const char* text;
  } rows[] = {{0, "0"},
              {999, "999"},
              {1000, "1,000"},
              {1001, "1,001"},
              {999999, "999,999"},
              {1000000, "1,000,000"},
              {1002003, "1,002,003"},
              {999999999, "999,999,999"},
              {1000000000, "1,000,000,000"},
              {4294967295u, "4,294,967,295"},
              {(uint32_t)-1, "4,294,967,295"}};
  for (auto& r : rows) EXPECT_STREQ(FormatCount(r.n), r.text);
}

TEST(FormatCount, RingOfFour) {
  const char* a = FormatCount(1);
  const char* b = FormatCount(2);
  const char* c = FormatCount(3);
  const char* d = FormatCount(4);
  EXPECT_EQ(std::string(a) + b + c + d, "1234");
  EXPECT_NE(a, b);
  EXPECT_NE(b, c);
  EXPECT_NE(c, d);
  EXPECT_NE(a, d);
  const char* e = FormatCount(5);
  EXPECT_EQ(e, a);
  EXPECT_STREQ(a, "5");
  EXPECT_STREQ(b, "2");
}
