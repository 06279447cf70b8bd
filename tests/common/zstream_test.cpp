#include "common/zstream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/MemoryPool.h"

static bool mp_once = (MPInit(), true);

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void Spit(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// Log-like lines: they compress, but not to nothing.
std::string LogText(size_t size) {
  std::string s;
  uint32_t x = 1;
  char line[128];
  while (s.size() < size) {
    x = x * 1103515245u + 12345u;
    snprintf(line, sizeof line, "%u.%u.%u.%u - - [10/Oct/2000:13:55:36] \"GET /a%u.html\" 200 %u\n",
             x >> 24, (x >> 16) & 255, (x >> 8) & 255, x & 255, x % 977, x % 5000);
    s += line;
  }
  s.resize(size);
  return s;
}

// Bytes no compressor can shrink.
std::string Noise(size_t size) {
  std::string s(size, 0);
  uint64_t x = 88172645463325252ull;
  for (char& c : s) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    c = (char)(x >> 32);
  }
  return s;
}

const char* Tool(int kind) { return kind == ZS_GZIP ? "gzip" : "bzip2"; }

ZSReader* Open(int kind, FILE* f, const std::string& pre = "") {
  return kind == ZS_GZIP ? ZSGzReadOpen(f, pre.data(), (int)pre.size())
                         : ZSBzReadOpen(f, pre.data(), (int)pre.size());
}

struct Got {
  std::string data;
  int last;  // the result that ended the reading: 0 or negative
};

// Reads to the end or the first error in calls of chunk bytes.
Got ReadAll(ZSReader* r, int chunk = 4096) {
  Got g;
  std::string buf(chunk, 0);
  while ((g.last = ZSRead(r, &buf[0], chunk)) > 0) g.data.append(buf, 0, g.last);
  return g;
}

class ZStream : public testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = testing::TempDir() + "/zstreamXXXXXX";
    ASSERT_TRUE(mkdtemp(&tmpl[0]));
    dir = tmpl;
    pool = MPNew();
    MPSetZlibAlloc(pool);
    MPSetBzip2Alloc(pool);
  }
  void TearDown() override {
    MPSetZlibAlloc(nullptr);
    MPSetBzip2Alloc(nullptr);
    MPDelete(pool);
    std::filesystem::remove_all(dir);
  }
  std::string Path(const std::string& name) { return dir + "/" + name; }
  void Sh(const std::string& cmd) {
    ASSERT_EQ(0, system(("cd " + dir + " && " + cmd).c_str())) << cmd;
  }
  // data compressed by the real tool, e.g. flags "-9".
  std::string Packed(int kind, const std::string& data, const char* flags = "-9") {
    Spit(Path("raw"), data);
    Sh(std::string(Tool(kind)) + " " + flags + " -c raw > packed");
    return Slurp(Path("packed"));
  }
  // Reads a file holding bytes, from offset skip, with pre fed first.
  Got ReadFile(int kind, const std::string& bytes, long skip = 0, const std::string& pre = "") {
    Spit(Path("in"), bytes);
    FILE* f = fopen(Path("in").c_str(), "rb");
    fseek(f, skip, SEEK_SET);
    ZSReader* r = Open(kind, f, pre);
    Got g = ReadAll(r);
    EXPECT_EQ(g.last < 0 ? -1 : 1000, ZSGzPercent(r));
    EXPECT_EQ(0, ZSReadClose(r));
    return g;
  }

  std::string dir;
  MemoryPool* pool;
};

TEST_F(ZStream, WriterOutputDecodesWithTools) {
  struct Case { int kind, level; size_t size; int chunk; bool sync; };
  const Case cases[] = {
      {ZS_GZIP, 0, 300000, 70000, false}, {ZS_GZIP, 1, 300000, 7, false},
      {ZS_GZIP, 6, 0, 1, true},           {ZS_GZIP, 9, 300000, 70000, true},
      {ZS_BZIP2, 0, 300000, 7, false},    {ZS_BZIP2, 9, 300000, 70000, true},
      {ZS_PLAIN, 0, 300000, 7, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << c.kind << " level " << c.level);
    std::string text = LogText(c.size), out = Path("out");
    unlink(out.c_str());
    ZSWriter* w = ZSWriteOpen(pool, ZSCreateExclusive(out.c_str()), c.kind, c.level);
    ASSERT_TRUE(w);
    for (size_t at = 0; at < text.size(); at += c.chunk) {
      int n = (int)std::min<size_t>(c.chunk, text.size() - at);
      ASSERT_EQ(n, ZSWrite(w, text.data() + at, n));
    }
    ASSERT_TRUE(ZSWriteClose(w, c.sync));
    std::string packed = Slurp(out);
    if (c.kind == ZS_PLAIN) {
      EXPECT_EQ(text, packed);
      continue;
    }
    Sh(std::string(Tool(c.kind)) + " -dc out > back");
    EXPECT_EQ(text, Slurp(Path("back")));
    if (c.kind == ZS_BZIP2) {
      EXPECT_EQ('0' + (c.level ? c.level : 1), packed[3]);  // block size
    } else {
      EXPECT_EQ(c.level == 9 ? 2 : c.level <= 1 ? 4 : 0, packed[8]);  // XFL
      if (c.size) {
        EXPECT_EQ(c.level == 0, packed.size() >= text.size());  // stored blocks
      }
    }
  }
}

TEST_F(ZStream, ReadsToolOutputFromAnyPosition) {
  std::string text = LogText(1 << 20);
  for (int kind : {ZS_GZIP, ZS_BZIP2}) {
    SCOPED_TRACE(Tool(kind));
    std::string packed = Packed(kind, text, "-1");
    Spit(Path("in"), packed);
    FILE* f = fopen(Path("in").c_str(), "rb");
    ZSReader* r = Open(kind, f);
    EXPECT_EQ(0, ZSGzPercent(r));
    Got g = ReadAll(r, 5000);
    EXPECT_EQ(0, g.last);
    EXPECT_TRUE(g.data == text);
    EXPECT_EQ(1000, ZSGzPercent(r));
    EXPECT_EQ((int64_t)packed.size(), ZSConsumed(r));
    EXPECT_EQ(0, ZSReadClose(r));
    // Behind other bytes, with the first three bytes sniffed off a pipe.
    g = ReadFile(kind, "header" + packed, 6 + 3, packed.substr(0, 3));
    EXPECT_EQ(0, g.last);
    EXPECT_TRUE(g.data == text);
  }
}

TEST_F(ZStream, ReadsConcatenatedStreamsAndStopsAtTrailingBytes) {
  std::string a = LogText(70000), b = "second part\n";
  for (int kind : {ZS_GZIP, ZS_BZIP2}) {
    SCOPED_TRACE(Tool(kind));
    std::string pa = Packed(kind, a), pb = Packed(kind, b), pe = Packed(kind, "");
    const std::pair<std::string, std::string> cases[] = {
        {pa + pb, a + b}, {pa + pe + pb, a + b}, {pa + "garbage\n", a},
        {pa + "\x1f", a}, {pa + std::string(100, '\0'), a}};
    for (const auto& c : cases) {
      Got g = ReadFile(kind, c.first);
      EXPECT_EQ(0, g.last);
      EXPECT_TRUE(g.data == c.second);
    }
    // The next stream's magic split across two 64 KiB reads: pre bytes shift
    // the file's reads so that only its first byte(s) come with the first.
    std::string noise = Noise(100000), all = Packed(kind, noise) + pb;
    size_t k = all.size() - pb.size() + (kind == ZS_GZIP ? 1 : 2) - 65536;
    Got g = ReadFile(kind, all.substr(k), 0, all.substr(0, k));
    EXPECT_TRUE(g.data == noise + b);
  }
}

TEST_F(ZStream, DamageIsAReadErrorAfterTheGoodBytes) {
  std::string text = LogText(600000);
  for (int kind : {ZS_GZIP, ZS_BZIP2}) {
    SCOPED_TRACE(Tool(kind));
    std::string packed = Packed(kind, text, "-1"), flipped = packed;
    for (size_t i = flipped.size() / 2; i < flipped.size() / 2 + 8; i++) flipped[i] ^= 0x55;
    const std::string cases[] = {flipped, packed.substr(0, packed.size() / 2),
                                 packed.substr(0, packed.size() - 3)};
    for (const std::string& bytes : cases) {
      Got g = ReadFile(kind, bytes);
      EXPECT_LT(g.last, 0);
      ASSERT_GE(g.data.size(), text.size() / 4);
      EXPECT_EQ(0, text.compare(0, text.size() / 4, g.data, 0, text.size() / 4));
    }
    // One call asking for everything gets the good bytes, the next the error.
    Spit(Path("cut"), packed.substr(0, packed.size() / 2));
    ZSReader* r = Open(kind, fopen(Path("cut").c_str(), "rb"));
    std::string buf(text.size(), 0);
    EXPECT_GT(ZSRead(r, &buf[0], (int)buf.size()), 0);
    EXPECT_LT(ZSRead(r, &buf[0], (int)buf.size()), 0);
    EXPECT_LT(ZSRead(r, &buf[0], (int)buf.size()), 0);
    EXPECT_EQ(-1, ZSGzPercent(r));
    ZSReadClose(r);
  }
}

TEST_F(ZStream, GzPercentFollowsTheCompressedOffset) {
  EXPECT_EQ(-1, ZSGzPercent(nullptr));
  std::string packed = Packed(ZS_GZIP, Noise(4 << 20), "-1");
  Spit(Path("in"), packed);
  ZSReader* r = ZSGzReadOpen(fopen(Path("in").c_str(), "rb"), nullptr, 0);
  std::string buf(1 << 20, 0);
  for (int i = 0; i < 3; i++) {  // the last past the first 32-bit stage
    ASSERT_EQ((int)buf.size(), ZSRead(r, &buf[0], (int)buf.size()));
    int64_t want = ZSConsumed(r) * 1000 / (int64_t)packed.size();
    EXPECT_NEAR(want, ZSGzPercent(r), 1);
    EXPECT_GT(want, 200 * i);
  }
  ZSReadClose(r);
}

TEST_F(ZStream, FullDeviceFailsAtWriteOrClose) {
  std::string noise = Noise(1 << 16);
  for (int kind : {ZS_PLAIN, ZS_GZIP, ZS_BZIP2}) {
    SCOPED_TRACE(kind);
    ZSWriter* w = ZSWriteOpen(pool, fopen("/dev/full", "wb"), kind, 1);
    ASSERT_TRUE(w);
    bool failed = false;
    for (int i = 0; i < 32; i++) {
      int n = ZSWrite(w, noise.data(), (int)noise.size());
      EXPECT_TRUE(!failed || n < (int)noise.size()) << "writer recovered";
      failed |= n != (int)noise.size();
    }
    EXPECT_FALSE(ZSWriteClose(w, true));
  }
}

TEST_F(ZStream, CreateExclusiveRefusesExistingFilesAndLinks) {
  std::string file = Path("file"), target = Path("target");
  FILE* f = ZSCreateExclusive(file.c_str());
  ASSERT_TRUE(f);
  fputs("kept", f);
  fclose(f);
  EXPECT_FALSE(ZSCreateExclusive(file.c_str()));
  EXPECT_EQ(EEXIST, errno);
  EXPECT_EQ("kept", Slurp(file));
  ASSERT_EQ(0, symlink(target.c_str(), Path("dangling").c_str()));
  ASSERT_EQ(0, symlink(file.c_str(), Path("link").c_str()));
  EXPECT_FALSE(ZSCreateExclusive(Path("dangling").c_str()));
  EXPECT_FALSE(ZSCreateExclusive(Path("link").c_str()));
  EXPECT_NE(0, access(target.c_str(), F_OK));
  EXPECT_EQ("kept", Slurp(file));
}

TEST_F(ZStream, CompressorMemoryComesFromThePool) {
  std::string text = LogText(200000), packed = Packed(ZS_GZIP, text);
  Spit(Path("in"), packed);
  for (bool use_pool : {true, false}) {
    MemoryPool* p = MPNew();
    MPSetZlibAlloc(use_pool ? p : nullptr);
    int32_t avail = p->avail;
    ZSReader* r = ZSGzReadOpen(fopen(Path("in").c_str(), "rb"), nullptr, 0);
    Got g = ReadAll(r);
    EXPECT_TRUE(g.data == text);
    EXPECT_EQ(0, ZSReadClose(r));
    if (use_pool) {
      EXPECT_GT(p->block_count, 0);
      EXPECT_GE(avail - p->avail, 32768);  // the window at least
    } else {
      EXPECT_EQ(0, p->block_count);
    }
    MPDelete(p);
  }
  MPSetZlibAlloc(nullptr);
  MemoryPool* p = MPNew();
  ZSWriter* w = ZSWriteOpen(p, fopen(Path("out").c_str(), "wb"), ZS_GZIP, 9);
  EXPECT_GE(p->block_count, 2);  // 64 KiB output buffer plus deflate's 256 KiB
  EXPECT_TRUE(ZSWriteClose(w, false));
  MPDelete(p);
}

}  // namespace
