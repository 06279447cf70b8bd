#include "common/input.h"

#include "tests/common/TestUtil.h"

namespace {

// Each kind, read in odd amounts: the window holds more than IN_KEEP bytes
// until the end, NUL-terminated, IN_HISTORY consumed bytes before it. Members
// and streams follow one another (zip members a newline apart); text that only
// begins like a compressed file is text.
TEST(Input, EveryKindWhole) {
  tu::TempDir dir;
  std::string big = tu::LogText(1300000), pad(40, 'x');
  tu::Spit(dir / "big", big), tu::Spit(dir / "a", "one\ntwo"), tu::Spit(dir / "e", ""), tu::Spit(dir / "b", "three\n");
  ASSERT_TRUE(tu::Sh(dir.path,
                     "gzip -c big a > 1.gz && bzip2 -c e big > 2.bz2 && zip -q 3.zip big && zip -q 4.zip a e b "
                     "&& gzip -k e && bzip2 -k e"));
  std::string e = tu::Slurp(dir / "e.bz2"), gz = tu::Slurp(dir / "1.gz");
  // clang-format off
  std::vector<std::tuple<std::string, int, std::string>> rows = {{"1.gz", IN_GZIP, big + "one\ntwo"}, {"2.bz2", IN_BZIP2, big},
      {"3.zip", IN_ZIP, big}, {"4.zip", IN_ZIP, "one\ntwo\n\nthree\n"}, {"e.gz", IN_GZIP, ""}, {"e.bz2", IN_BZIP2, ""}};
  for (std::string text : {big, std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03" "ab", 12), std::string("\x1f\x8b\x07\0", 4) + pad,
       "BZhx1AY&SY" + pad, "BZh91AY&SX" + pad, std::string("PK\x03\x04", 4) + pad, std::string("BZh91AY&SY"),
       std::string("BZh91AY&SY1.2.3"), e.substr(0, 13), e + "\n", gz.replace(2, 1, "\x07")})
    tu::Spit(dir / std::to_string(rows.size()), text), rows.push_back({std::to_string(rows.size()), IN_PLAIN, text});
  // clang-format on
  MemoryPool* pool = MPNew();
  for (auto& [name, type, text] : rows) {
    SCOPED_TRACE(name);
    InputFile* in = INOpenPath((dir / name).c_str(), pool);
    ASSERT_EQ(in ? in->type : -1, type);
    std::string got;
    int64_t pos;
    for (unsigned seed = 3; char* p = INGetBuffer(in, &pos); seed = seed * 1103515245u + 12345u) {
      ASSERT_EQ(pos, (int64_t)got.size());
      ASSERT_EQ(p[in->buff_cnt], 0);
      ASSERT_EQ(std::string(p - IN_HISTORY, IN_HISTORY), (std::string(IN_HISTORY, 0) + got).substr(got.size()));
      ASSERT_TRUE(in->buff_cnt > IN_KEEP || pos + in->buff_cnt == (int64_t)text.size()) << pos;
      int32_t len = std::min(1 + (int32_t)((seed >> 8) % 40000), in->buff_cnt + 1);
      got.append(p, std::min(len, in->buff_cnt));
      INConsume(in, len);
    }
    EXPECT_TRUE(got == text);
    EXPECT_TRUE(type == IN_ZIP || INPercent(in) == 1000);
    EXPECT_EQ(std::make_pair(in->read_error, INClose(in)), std::make_pair(false, 0));
  }
  MPDelete(pool);
}

// A line too long for the buffer is cut and skipped to its end (CR or LF)
// however far past the window, its CR LF split by a refill included (65,535).
TEST(Input, TooLongLines) {
  MemoryPool* pool = MPNew();
  char buf[8];
  for (size_t len : {10, 65535, 70000}) {
    std::string longer = "abcdefghij" + std::string(len - 10, 'x') + "\r\nk\n";
    InputFile* in = INOpenMem(longer.data(), (int32_t)longer.size(), pool);
    int64_t at;
    auto line = [&] {
      int32_t n = INReadLine(buf, sizeof buf, &at, in);
      return std::make_tuple(std::string(buf, n), at, INLineCut(buf, n));
    };
    std::string said = tu::Stdout([&] { EXPECT_EQ(line(), std::make_tuple("abcdef", 0, true)); });
    EXPECT_EQ(said, "Line 1 too long " + std::to_string(len) + "/6.\n");
    EXPECT_EQ(line(), std::make_tuple("k\n", len + 2, false));
    EXPECT_EQ(line(), std::make_tuple("", len + 4, false));
  }
  MPDelete(pool);
}

}  // namespace
