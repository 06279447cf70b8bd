#include "src/FormatCount.h"

#include <gtest/gtest.h>

TEST(FormatCount, GroupsOfThree) {
  // clang-format off
  struct { uint32_t n; const char* text; } rows[] = {
      {0, "0"}, {999, "999"}, {1000, "1,000"}, {1001, "1,001"}, {999999, "999,999"}, {1000000, "1,000,000"},
      {1002003, "1,002,003"}, {1000000000, "1,000,000,000"}, {4294967295u, "4,294,967,295"}};
  // clang-format on
  for (auto& r : rows) EXPECT_STREQ(FormatCount(r.n), r.text);
}
