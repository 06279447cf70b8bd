#include "common/input.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/common/TestUtil.h"

namespace {

using tu::Drain;
using tu::Slurp;
using tu::Spit;

class InputTest : public testing::Test {
 protected:
  static tu::TempDir* dir;
  static std::string big;  // ~1.3 MB of log text; big.{txt,gz,bz2,zip} made once

  static void SetUpTestSuite() {
    dir = new tu::TempDir;
    big = tu::LogText(1300000);
    Spit(P("big.txt"), big);
    ASSERT_TRUE(tu::Sh(dir->path, "gzip -k big.txt && bzip2 -k big.txt && zip -q big.zip big.txt"));
  }
  static void TearDownTestSuite() { delete dir; }
  static std::string P(const std::string& name) { return *dir / name; }

  void TearDown() override { MPDelete(pool); }
  InputFile* Open(const std::string& name) {
    InputFile* in = INOpenPath(P(name).c_str(), pool);
    EXPECT_NE(in, nullptr) << name;
    return in;
  }
  MemoryPool* pool = MPNew();
};
tu::TempDir* InputTest::dir;
std::string InputTest::big;

// Whatever is consumed, the window holds more than 32,767 bytes until the end,
// NUL-terminated and matching the text, behind the last bytes consumed.
TEST_F(InputTest, EachKindKeepsTheWindowFull) {
  struct { const char* name; int type; } cases[] = {
      {"big.txt", IN_PLAIN}, {"big.txt.gz", IN_GZIP}, {"big.txt.bz2", IN_BZIP2}, {"big.zip", IN_ZIP}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    InputFile* in = Open(c.name);
    EXPECT_EQ(in->type, c.type);
    int64_t pos = 0;
    for (unsigned seed = 3; char* p = INGetBuffer(in, &pos);) {
      ASSERT_TRUE(in->buff_cnt > IN_KEEP || pos + in->buff_cnt == (int64_t)big.size()) << pos;
      ASSERT_EQ(p[in->buff_cnt], 0);
      ASSERT_EQ(memcmp(p, big.data() + pos, in->buff_cnt), 0) << pos;
      std::string before = std::string(IN_HISTORY, '\0') + big.substr(0, (size_t)pos);
      ASSERT_EQ(memcmp(p - IN_HISTORY, before.data() + pos, IN_HISTORY), 0) << pos;
      seed = seed * 1103515245u + 12345u;
      int32_t len = 1 + (int32_t)((seed >> 8) % 40000);
      INConsume(in, len < in->buff_cnt + 1 ? len : in->buff_cnt + 1);
    }
    EXPECT_EQ(pos, (int64_t)big.size());
    EXPECT_FALSE(in->read_error);
    EXPECT_EQ(INClose(in), 0);
  }
}

TEST_F(InputTest, SniffingEdgeCases) {
  std::string pad(40, 'x'), gz = Slurp(P("big.txt.gz"));
  gz[2] = 0x07;  // a real gzip file with another method byte
  const std::string plain[] = {
      "", std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03" "ab", 12), std::string("\x1f\x8b\x07\0", 4) + pad,
      "BZhx1AY&SY" + pad, "BZh91AY&SX" + pad, std::string("PK\x03\x04", 4) + pad + "\nmore junk\n",
      std::string("PK\x03\x05", 4) + pad, gz};
  for (const std::string& data : plain) {
    SCOPED_TRACE(data.substr(0, 12));
    Spit(P("sniff"), data);
    InputFile* in = Open("sniff");
    EXPECT_EQ(in->type, IN_PLAIN);
    EXPECT_TRUE(Drain(in) == data);
    char line[16];
    EXPECT_EQ(INReadLine(line, sizeof line, nullptr, in), 0);
    EXPECT_EQ(INClose(in), 0);
  }
}

TEST_F(InputTest, ConcatenatedMembers) {
  std::string a = tu::LogText(200000, 7), b = tu::LogText(130000, 9);
  Spit(P("a"), a);
  Spit(P("b"), b);
  ASSERT_TRUE(tu::Sh(dir->path, "gzip -c a > cat.gz && gzip -c b >> cat.gz && bzip2 -c a > cat.bz2 && bzip2 -c b >> cat.bz2"));
  for (const char* name : {"cat.gz", "cat.bz2"}) {
    SCOPED_TRACE(name);
    InputFile* in = Open(name);
    EXPECT_TRUE(Drain(in) == a + b);
    EXPECT_FALSE(in->read_error);
    INClose(in);
  }
}

// The tools write an empty input as a header and an end mark; no text in it.
TEST_F(InputTest, EmptyCompressedFiles) {
  ASSERT_TRUE(tu::Sh(dir->path, "gzip -c </dev/null >e.gz && bzip2 -c </dev/null >e.bz2 && "
                                "bzip2 -c </dev/null >e2.bz2 && bzip2 -c big.txt >>e2.bz2"));
  for (const char* name : {"e.gz", "e.bz2", "e2.bz2"}) {
    SCOPED_TRACE(name);
    InputFile* in = Open(name);
    EXPECT_NE(in->type, IN_PLAIN);
    EXPECT_TRUE(Drain(in) == (strcmp(name, "e2.bz2") ? "" : Slurp(P("big.txt"))));
    EXPECT_FALSE(in->read_error);
    INClose(in);
  }
  // Only that whole empty file: 10 to 15 bytes that begin like one are text.
  std::string e = Slurp(P("e.bz2"));
  ASSERT_EQ(e.size(), 14u);
  for (const std::string& data : {e.substr(0, 10), e.substr(0, 13), e + "\n", e.substr(0, 13) + "x",
                                  std::string("BZh91AY&SY"), std::string("BZh91AY&SY1.2.3")}) {
    SCOPED_TRACE(data.size());
    Spit(P("short"), data);
    InputFile* in = Open("short");
    EXPECT_EQ(in->type, IN_PLAIN);
    EXPECT_TRUE(Drain(in) == data);
    INClose(in);
  }
}

// Damage is reported once, after every good byte before it was delivered.
TEST_F(InputTest, DamagedCompressedInput) {
  ASSERT_TRUE(tu::Sh(dir->path, "bzip2 -1 -c big.txt > small_blocks.bz2"));  // whole blocks before the damage
  for (const char* name : {"big.txt.gz", "small_blocks.bz2"}) {
    std::string good = Slurp(P(name)), flipped = good;
    for (size_t i = good.size() * 3 / 4; i < good.size() * 3 / 4 + 64; i++) flipped[i] = (char)~flipped[i];
    for (const std::string& data : {flipped, good.substr(0, good.size() * 3 / 4), good.substr(0, good.size() - 3)}) {
      SCOPED_TRACE(std::string(name) + " of " + std::to_string(data.size()));
      Spit(P("damaged"), data);
      InputFile* in = Open("damaged");
      std::string got;
      EXPECT_EQ(tu::Stdout([&] { got = Drain(in); }), "Read error on input!\n");
      EXPECT_TRUE(in->read_error);
      ASSERT_GT(got.size(), big.size() / 2);
      EXPECT_TRUE(got.compare(0, big.size() / 2, big, 0, big.size() / 2) == 0);
      INClose(in);
    }
  }
}

TEST_F(InputTest, ZipMembersAreSeparatedByOneNewline) {
  Spit(P("m1"), "one\ntwo");
  Spit(P("m2"), "");
  Spit(P("m3"), "three\n");
  Spit(P("m4"), "four\n");
  ASSERT_TRUE(tu::Sh(dir->path, "zip -q -j members.zip m1 m2 m3 m4"));
  InputFile* in = Open("members.zip");
  ASSERT_EQ(in->type, IN_ZIP);
  std::vector<std::string> lines;
  char buf[64];
  while (INReadLine(buf, sizeof buf, nullptr, in) > 0) lines.push_back(buf);
  EXPECT_EQ(lines, (std::vector<std::string>{"one\n", "two\n", "\n", "three\n", "\n", "four\n"}));
  EXPECT_EQ(INClose(in), 0);
}

TEST_F(InputTest, PipedStandardInput) {
  Spit(P("tiny"), "tiny\n");
  std::string zip = Slurp(P("big.zip"));
  struct { const char* name; int type; std::string text; } cases[] = {
      {"big.txt", IN_PLAIN, big}, {"big.txt.gz", IN_GZIP, big}, {"big.txt.bz2", IN_BZIP2, big},
      {"big.zip", IN_PLAIN, zip},  // no central directory to seek to: the archive is just bytes
      {"tiny", IN_PLAIN, "tiny\n"}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    FILE* cat = popen(("cat '" + P(c.name) + "'").c_str(), "r");
    InputFile* in = INFOpen(fdopen(dup(fileno(cat)), "rb"), pool);
    EXPECT_EQ(in->type, c.type);
    EXPECT_EQ(INPercent(in), 0);
    EXPECT_TRUE(Drain(in) == c.text);
    EXPECT_FALSE(in->read_error);
    EXPECT_EQ(INPercent(in), c.type == IN_GZIP ? 1000 : 0);
    INClose(in);
    pclose(cat);
  }
}

TEST_F(InputTest, ReadLineEndsAndTooLongLines) {
  const char data[] = "a\r\nb\rc\n\rd";
  InputFile* in = INOpenMem(data, sizeof data - 1, pool);
  const char* want[] = {"a\n", "b\n", "c\n", "\n", "d\n", ""};
  const int64_t starts[] = {0, 3, 5, 7, 8, 9};
  char buf[8];
  int64_t at = -1;
  for (int i = 0; i < 6; i++) {
    EXPECT_EQ(INReadLine(buf, sizeof buf, &at, in), (int32_t)strlen(want[i]));
    EXPECT_TRUE(!*want[i] || strcmp(buf, want[i]) == 0) << i;
    EXPECT_EQ(at, starts[i]);
  }
  EXPECT_EQ(in->line_no, 5);
  // A cut line is skipped to its end however far past the window that lies,
  // its CR LF split by a refill included (65,535).
  for (size_t len : {10, 65535, 70000}) {
    std::string longer = "abcdefghij" + std::string(len - 10, 'x') + "\r\nk\n";
    in = INOpenMem(longer.data(), (int32_t)longer.size(), pool);
    int32_t n = 0;
    EXPECT_EQ(tu::Stdout([&] { n = INReadLine(buf, sizeof buf, nullptr, in); }),
              "Line 1 too long " + std::to_string(len) + "/6.\n");
    EXPECT_EQ(n, 6);
    EXPECT_STREQ(buf, "abcdef");
    EXPECT_TRUE(INLineCut(buf, n));
    EXPECT_EQ(INReadLine(buf, sizeof buf, nullptr, in), 2);
    EXPECT_STREQ(buf, "k\n");
    EXPECT_FALSE(INLineCut(buf, 2));
    EXPECT_EQ(INReadLine(buf, sizeof buf, nullptr, in), 0);
  }
}

TEST_F(InputTest, PercentFromStartToEnd) {
  for (const char* name : {"big.txt", "big.txt.gz", "big.txt.bz2", "big.zip"}) {
    SCOPED_TRACE(name);
    InputFile* in = Open(name);
    int32_t first = INPercent(in);  // compressed inputs have taken in what their first 64 KiB needed
    EXPECT_TRUE(in->type == IN_PLAIN ? first == 0 : first >= 0 && first < 1000) << first;
    INConsume(in, in->buff_cnt);  // a refill, which a 900 kB bzip2 block may not need
    EXPECT_TRUE(first < INPercent(in) || (in->type == IN_BZIP2 && first == INPercent(in)));
    Drain(in);
    EXPECT_TRUE(in->type == IN_ZIP || INPercent(in) == 1000);
    INClose(in);
  }
}

// Outside the fixture, so the death test's child makes no fixture files.
TEST(InputConsume, Bounds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  MemoryPool* pool = MPNew();
  InputFile* in = INOpenMem("abc", 3, pool);
  const char* msg = "INConsume, common/input line [0-9]+: len>0 && len<=in->buff_cnt\\+1";
  EXPECT_DEATH(INConsume(in, 0), msg);
  EXPECT_DEATH(INConsume(in, in->buff_cnt + 2), msg);
  INConsume(in, in->buff_cnt + 1);
  EXPECT_EQ(INGetBuffer(in, nullptr), nullptr);
  EXPECT_EQ(in->pos, 3);
  // A 2-byte line buffer would return 0, the end, for any cut line.
  char buf[3];
  in = INOpenMem("abc\nd", 5, pool);
  EXPECT_DEATH(INReadLine(buf, 2, nullptr, in), "INReadLine, common/input line [0-9]+: buf && size>=3");
  tu::Stdout([&] { EXPECT_EQ(INReadLine(buf, 3, nullptr, in), 1); });
  EXPECT_EQ(INReadLine(buf, 3, nullptr, in), 2);
  EXPECT_STREQ(buf, "d\n");
  MPDelete(pool);
}

}  // namespace
