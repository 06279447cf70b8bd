#include "common/input.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/MemoryPool.h"

static bool mp_once = (MPInit(), true);

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Log-like text that compresses the way real logs do.
std::string LogText(int lines, unsigned seed = 1) {
  std::string s;
  char line[200];
  for (int i = 0; i < lines; i++) {
    seed = seed * 1103515245u + 12345u;
    snprintf(line, sizeof line,
             "198.51.%u.%u - - [10/Oct/2023:13:%02u:%02u +0000] \"GET /p/%u HTTP/1.1\" 200 %u\n",
             (seed >> 8) & 255, (seed >> 16) & 255, (seed >> 4) % 60, i % 60, seed % 9973, seed % 65536);
    s += line;
  }
  return s;
}

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void Spit(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

class InputTest : public testing::Test {
 protected:
  static std::string dir;
  static std::string big;  // ~1.3 MB of log text; big.{txt,gz,bz2,zip} made once

  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/lv_input_XXXXXX";
    dir = mkdtemp(tmpl);
    big = LogText(16000);
    Spit(P("big.txt"), big);
    Sh("gzip -c big.txt > big.gz && bzip2 -c big.txt > big.bz2 && zip -q big.zip big.txt");
  }
  static void TearDownTestSuite() { Sh("cd / && rm -rf '" + dir + "'"); }

  static std::string P(const std::string& name) { return dir + "/" + name; }
  static void Sh(const std::string& cmd) {
    ASSERT_EQ(std::system(("cd '" + dir + "' && " + cmd).c_str()), 0) << cmd;
  }

  void SetUp() override { pool = MPNew(); }
  void TearDown() override { MPDelete(pool); }

  InputFile* Open(const std::string& name) {
    InputFile* in = INOpenPath(P(name).c_str(), pool);
    EXPECT_NE(in, nullptr) << name;
    return in;
  }

  MemoryPool* pool = nullptr;
};
std::string InputTest::dir;
std::string InputTest::big;

// Everything left, through the window.
std::string Drain(InputFile* in) {
  std::string out;
  while (char* p = INGetBuffer(in, nullptr)) {
    out.append(p, in->buff_cnt);
    INConsume(in, in->buff_cnt + 1);
  }
  return out;
}

// A pipe whose far end a thread fills with data, read through stdio.
struct Pipe {
  FILE* read_end;
  std::thread writer;
  explicit Pipe(std::string data) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    read_end = fdopen(fds[0], "rb");
    writer = std::thread([fd = fds[1], data = std::move(data)] {
      for (size_t done = 0; done < data.size();) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0) break;
        done += n;
      }
      close(fd);
    });
  }
  ~Pipe() { writer.join(); }
};

TEST_F(InputTest, EachKindYieldsTheText) {
  struct {
    const char* name;
    int type;
  } cases[] = {{"big.txt", IN_PLAIN}, {"big.gz", IN_GZIP}, {"big.bz2", IN_BZIP2}, {"big.zip", IN_ZIP}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    InputFile* in = Open(c.name);
    EXPECT_EQ(in->type, c.type);
    EXPECT_TRUE(Drain(in) == big);
    EXPECT_FALSE(in->read_error);
    EXPECT_EQ(INClose(in), 0);
  }
  InputFile* in = INOpenMem(big.data(), (int32_t)big.size(), pool);
  EXPECT_EQ(in->type, IN_MEMORY);
  EXPECT_TRUE(Drain(in) == big);
  EXPECT_EQ(INClose(in), 0);
}

TEST_F(InputTest, SniffingEdgeCases) {
  std::string pad(40, 'x');
  struct {
    const char* what;
    std::string data;
  } plain[] = {
      {"empty", ""},
      {"short gzip magic", std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03" "ab", 12)},
      {"gzip other method", std::string("\x1f\x8b\x07\0", 4) + pad},
      {"BZh non-digit", "BZhx1AY&SY" + pad},
      {"BZh9 other block magic", "BZh91AY&SX" + pad},
      {"PK34 junk", std::string("PK\x03\x04", 4) + pad + "\nmore junk\n"},
      {"PK other", std::string("PK\x03\x05", 4) + pad},
  };
  for (auto& c : plain) {
    SCOPED_TRACE(c.what);
    Spit(P("sniff"), c.data);
    InputFile* in = Open("sniff");
    EXPECT_EQ(in->type, IN_PLAIN);
    EXPECT_EQ(Drain(in), c.data);
    EXPECT_EQ(INClose(in), 0);
  }
  // A real gzip file with its method byte changed is read byte for byte.
  std::string gz = Slurp(P("big.gz"));
  gz[2] = 0x07;
  Spit(P("sniff"), gz);
  InputFile* in = Open("sniff");
  EXPECT_EQ(in->type, IN_PLAIN);
  EXPECT_TRUE(Drain(in) == gz);
  INClose(in);
}

TEST_F(InputTest, EmptyInputHasNoLine) {
  Spit(P("empty"), "");
  InputFile* in = Open("empty");
  char line[16];
  EXPECT_EQ(INGetBuffer(in, nullptr), nullptr);
  EXPECT_EQ(INReadLine(line, sizeof line, nullptr, in), 0);
  INClose(in);
}

TEST_F(InputTest, ConcatenatedMembers) {
  std::string a = LogText(3000, 7), b = LogText(2000, 9);
  Spit(P("a"), a);
  Spit(P("b"), b);
  Sh("gzip -c a > cat.gz && gzip -c b >> cat.gz && bzip2 -c a > cat.bz2 && bzip2 -c b >> cat.bz2");
  for (const char* name : {"cat.gz", "cat.bz2"}) {
    SCOPED_TRACE(name);
    InputFile* in = Open(name);
    EXPECT_TRUE(Drain(in) == a + b);
    EXPECT_FALSE(in->read_error);
    INClose(in);
  }
}

TEST_F(InputTest, DamagedCompressedInput) {
  // Small bzip2 blocks so that whole blocks precede the damage.
  Sh("bzip2 -1 -c big.txt > small_blocks.bz2");
  for (const char* name : {"big.gz", "small_blocks.bz2"}) {
    for (bool truncate : {false, true}) {
      SCOPED_TRACE(std::string(name) + (truncate ? " truncated" : " corrupt"));
      std::string data = Slurp(P(name));
      size_t at = data.size() * 3 / 4;
      if (truncate)
        data.resize(at);
      else
        for (size_t i = at; i < at + 64; i++) data[i] = (char)~data[i];
      Spit(P("damaged"), data);
      InputFile* in = Open("damaged");
      CaptureStdout();
      std::string got = Drain(in);
      std::string said = GetCapturedStdout();
      EXPECT_EQ(said, "Read error on input!\n");
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
  Sh("zip -q -j members.zip m1 m2 m3 m4");
  InputFile* in = Open("members.zip");
  ASSERT_EQ(in->type, IN_ZIP);
  std::vector<std::string> lines;
  char buf[64];
  while (INReadLine(buf, sizeof buf, nullptr, in) > 0) lines.push_back(buf);
  EXPECT_EQ(lines, (std::vector<std::string>{"one\n", "two\n", "\n", "three\n", "\n", "four\n"}));
  EXPECT_TRUE(in->zip_end);
  EXPECT_EQ(INClose(in), 0);
}

TEST_F(InputTest, PipedStandardInput) {
  struct {
    const char* what;
    std::string bytes;
    int type;
    std::string text;
  } cases[] = {
      {"plain", big, IN_PLAIN, big},
      {"gzip", Slurp(P("big.gz")), IN_GZIP, big},
      {"bzip2", Slurp(P("big.bz2")), IN_BZIP2, big},
      // No central directory to seek to: the archive is just bytes.
      {"zip", Slurp(P("big.zip")), IN_PLAIN, Slurp(P("big.zip"))},
      {"short", "tiny\n", IN_PLAIN, "tiny\n"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    Pipe pipe(c.bytes);
    InputFile* in = INFOpen(pipe.read_end, pool);
    EXPECT_EQ(in->type, c.type);
    EXPECT_EQ(INPercent(in), 0);
    EXPECT_TRUE(Drain(in) == c.text);
    EXPECT_FALSE(in->read_error);
    EXPECT_EQ(INPercent(in), c.type == IN_GZIP ? 1000 : 0);
    INClose(in);
  }
}

TEST_F(InputTest, ReadLineTerminators) {
  const char data[] = "a\r\nb\rc\n\rd";
  InputFile* in = INOpenMem(data, sizeof data - 1, pool);
  const char* want[] = {"a\n", "b\n", "c\n", "\n", "d\n"};
  const int64_t starts[] = {0, 3, 5, 7, 8};
  char buf[16];
  int64_t at = -1;
  for (int i = 0; i < 5; i++) {
    int32_t n = INReadLine(buf, sizeof buf, &at, in);
    EXPECT_EQ(n, (int32_t)strlen(want[i]));
    EXPECT_STREQ(buf, want[i]);
    EXPECT_EQ(at, starts[i]);
  }
  EXPECT_EQ(INReadLine(buf, sizeof buf, &at, in), 0);
  EXPECT_EQ(at, 9);
  EXPECT_EQ(in->line_no, 5);
}

TEST_F(InputTest, ReadLineTooLong) {
  const char data[] = "abcdefghij\r\nk\n";
  InputFile* in = INOpenMem(data, sizeof data - 1, pool);
  char buf[8];
  CaptureStdout();
  int32_t n = INReadLine(buf, sizeof buf, nullptr, in);
  EXPECT_EQ(GetCapturedStdout(), "Line 1 too long 10/6.\n");
  EXPECT_EQ(n, 6);
  EXPECT_STREQ(buf, "abcdef");
  EXPECT_EQ(INReadLine(buf, sizeof buf, nullptr, in), 2);
  EXPECT_STREQ(buf, "k\n");
}

TEST_F(InputTest, WindowStaysAboveRefillThreshold) {
  for (const char* name : {"big.txt", "big.gz", "big.zip"}) {
    SCOPED_TRACE(name);
    InputFile* in = Open(name);
    int64_t total = (int64_t)big.size();
    unsigned seed = 3;
    int64_t pos = 0;
    while (char* p = INGetBuffer(in, &pos)) {
      ASSERT_TRUE(in->buff_cnt > IN_KEEP || pos + in->buff_cnt == total) << pos;
      ASSERT_EQ(p[in->buff_cnt], 0);
      ASSERT_EQ(memcmp(p, big.data() + pos, in->buff_cnt), 0) << pos;
      seed = seed * 1103515245u + 12345u;
      int32_t len = 1 + (int32_t)((seed >> 8) % 40000);
      INConsume(in, len < in->buff_cnt + 1 ? len : in->buff_cnt + 1);
    }
    EXPECT_EQ(pos, total);
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
  MPDelete(pool);
}

TEST_F(InputTest, PercentFromStartToEnd) {
  for (const char* name : {"big.txt", "big.gz", "big.bz2"}) {
    SCOPED_TRACE(name);
    InputFile* in = Open(name);
    // Compressed inputs have taken in what their first 64 KiB needed.
    int32_t first = INPercent(in);
    EXPECT_TRUE(in->type == IN_PLAIN ? first == 0 : first >= 0 && first < 1000) << first;
    Drain(in);
    EXPECT_EQ(INPercent(in), 1000);
    INClose(in);
  }
  InputFile* in = Open("big.zip");
  int32_t before = INPercent(in);
  INConsume(in, in->buff_cnt);  // refills from the member
  EXPECT_LT(before, INPercent(in));
  INClose(in);
  std::string half(100000, 'x');
  in = INOpenMem(half.data(), (int32_t)half.size(), pool);
  INConsume(in, 50000);
  EXPECT_EQ(INPercent(in), 500);
}

TEST_F(InputTest, InvalidTypeMessages) {
  InputFile* in = INOpenMem(big.data(), (int32_t)big.size(), pool);
  in->type = 9;
  CaptureStdout();
  INConsume(in, in->buff_cnt);
  EXPECT_EQ(INPercent(in), 0);
  EXPECT_EQ(INClose(in), -1);
  EXPECT_EQ(GetCapturedStdout(),
            "Invalid file type in fill input buffer (9)!\n"
            "INPercent: Invalid file type on input (9)!\n"
            "Invalid file type in INClose!\n");
  EXPECT_TRUE(in->at_eof);
  EXPECT_EQ(INGetBuffer(in, nullptr), nullptr);
}

TEST_F(InputTest, OpenPathFailuresAndLongPaths) {
  CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(INOpenPath(P("missing").c_str(), pool), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(INFOpen(nullptr, pool), nullptr);

  // A path of exactly 1,023 characters to a real file, then 77 more.
  char real[4096];
  ASSERT_NE(realpath(dir.c_str(), real), nullptr);
  std::string path = real;
  while (path.size() < 1023 - 201) {
    path += "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  }
  path += "/" + std::string(1023 - path.size() - 1, 'f');
  ASSERT_EQ(path.size(), 1023u);
  Spit(path, "found\n");
  std::string longer = path + std::string(77, 'z');
  InputFile* in = INOpenPath(longer.c_str(), pool);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(Drain(in), "found\n");
  INClose(in);
}

}  // namespace
