#include "common/zstream.h"

#include <gtest/gtest.h>

#include <libdeflate.h>

#include <cerrno>

#include "tests/common/TestUtil.h"

namespace {

using tu::Slurp;
using tu::Spit;

const char* Tool(int kind) { return kind == ZS_GZIP ? "gzip" : "bzip2"; }

class ZStream : public testing::Test {
 protected:
  void SetUp() override { MPSetZlibAlloc(pool), MPSetBzip2Alloc(pool); }
  void TearDown() override { MPSetZlibAlloc(nullptr), MPSetBzip2Alloc(nullptr), MPDelete(pool); }
  std::string P(const std::string& name) { return dir / name; }
  // data compressed by the real tool.
  std::string Packed(int kind, const std::string& data, const char* flags = "-9") {
    Spit(P("raw"), data);
    EXPECT_TRUE(tu::Sh(dir.path, std::string(Tool(kind)) + " " + flags + " -c raw > packed"));
    return Slurp(P("packed"));
  }
  ZSReader* Open(int kind, const std::string& bytes, const std::string& pre = "") {
    Spit(P("in"), bytes);
    FILE* f = fopen(P("in").c_str(), "rb");
    return kind == ZS_GZIP ? ZSGzReadOpen(f, pre.data(), (int)pre.size()) : ZSBzReadOpen(f, pre.data(), (int)pre.size());
  }
  // Everything a reader gives, with pre fed first; the last result must be 0.
  std::string ReadAll(int kind, const std::string& bytes, const std::string& pre = "") {
    ZSReader* r = Open(kind, bytes, pre);
    std::string data, buf(4096, 0);
    int n;
    while ((n = ZSRead(r, &buf[0], 4096)) > 0) data.append(buf, 0, n);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(0, ZSReadClose(r));
    return data;
  }
  tu::TempDir dir;
  MemoryPool* pool = MPNew();
};

// Every level and kind, in odd pieces, with and without workers: the same
// bytes, which gzip, bzip2 and our reader decode whole (members and streams
// of one block each; enough blocks at level 1 to go round the workers' ring).
TEST_F(ZStream, WriterOutputDecodesWithTools) {
  const size_t gz_block = 4 << 20;
  struct Case { int kind, level; size_t size; int chunk; bool sync; };
  std::vector<Case> cases = {{ZS_GZIP, 6, 0, 1, true}, {ZS_BZIP2, 9, 0, 1, false}, {ZS_PLAIN, 0, 300000, 7, true}};
  for (int level = 0; level <= 9; level++) {
    size_t bz_block = 100000 * (level ? level : 1);
    cases.push_back({ZS_GZIP, level, level == 1 ? 6 * gz_block + 5 : gz_block + 70000, 70001, level % 2 == 0});
    cases.push_back({ZS_BZIP2, level, level == 1 ? 7 * bz_block : 2 * bz_block, 65537, level % 2 == 1});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << c.kind << " level " << c.level << " size " << c.size);
    std::string text = tu::LogText(c.size), first;
    for (int threads : {1, 3}) {
      std::string out = P("out" + std::to_string(threads));
      unlink(out.c_str());
      ZSWriter* w = ZSWriteOpen(pool, ZSCreateExclusive(out.c_str()), c.kind, c.level, threads);
      ASSERT_TRUE(w);
      for (size_t at = 0; at < text.size(); at += c.chunk) {
        int n = (int)std::min<size_t>(c.chunk, text.size() - at);
        ASSERT_EQ(n, ZSWrite(w, text.data() + at, n));
      }
      ASSERT_TRUE(ZSWriteClose(w, c.sync));
      std::string packed = Slurp(out);
      if (threads == 1) first = packed;
      EXPECT_TRUE(packed == first) << threads << " threads";
    }
    if (c.kind == ZS_PLAIN) {
      EXPECT_TRUE(first == text);
      continue;
    }
    EXPECT_TRUE(tu::Unpack(Tool(c.kind), P("out1")) == text);
    EXPECT_TRUE(ReadAll(c.kind, first) == text);
    if (c.kind == ZS_GZIP && c.size) {
      EXPECT_EQ(first[8], c.level == 9 ? 2 : c.level < 2 ? 4 : 0);  // XFL, as zlib sets it
      EXPECT_EQ(c.level == 0, first.size() >= text.size());       // 0 stores
    }
  }
}

TEST_F(ZStream, ConcatenatedStreamsAndTrailingBytes) {
  std::string a = tu::LogText(70000), b = "second part\n";
  for (int kind : {ZS_GZIP, ZS_BZIP2}) {
    SCOPED_TRACE(Tool(kind));
    std::string pa = Packed(kind, a), pb = Packed(kind, b), pe = Packed(kind, "");
    const std::pair<std::string, std::string> cases[] = {
        {pa + pe + pb, a + b}, {pa + "garbage\n", a}, {pa + "\x1f", a}, {pa + std::string(100, '\0'), a}};
    // The first three bytes come as sniffed off a pipe.
    for (const auto& c : cases) EXPECT_TRUE(ReadAll(kind, c.first.substr(3), c.first.substr(0, 3)) == c.second);
    // The next stream's magic split across two 64 KiB reads: pre bytes shift
    // the file's reads so that only its first byte(s) come with the first.
    std::string noise = tu::Noise(100000), all = Packed(kind, noise) + pb;
    size_t k = all.size() - pb.size() + (kind == ZS_GZIP ? 1 : 2) - 65536;
    EXPECT_TRUE(ReadAll(kind, all.substr(k), all.substr(0, k)) == noise + b);
  }
}

TEST_F(ZStream, GzPercentFollowsTheCompressedOffset) {
  EXPECT_EQ(-1, ZSGzPercent(nullptr));
  std::string packed = Packed(ZS_GZIP, tu::Noise(4 << 20), "-1");
  ZSReader* r = Open(ZS_GZIP, packed);
  EXPECT_EQ(0, ZSGzPercent(r));
  std::string buf(1 << 20, 0);
  for (int i = 0; i < 4; i++) {  // the last past the first 32-bit stage
    ASSERT_EQ((int)buf.size(), ZSRead(r, &buf[0], (int)buf.size()));
    int64_t want = ZSConsumed(r) * 1000 / (int64_t)packed.size();
    EXPECT_NEAR(want, ZSGzPercent(r), 1);
    EXPECT_GT(want, 200 * i);
  }
  EXPECT_EQ(0, ZSRead(r, &buf[0], (int)buf.size()));
  EXPECT_EQ(1000, ZSGzPercent(r));
  EXPECT_EQ((int64_t)packed.size(), ZSConsumed(r));
  ZSReadClose(r);
}

// With workers the failure shows once the ring comes round, or at the close.
TEST_F(ZStream, FullDeviceFailsAndStaysFailed) {
  std::string noise = tu::Noise(1 << 20);
  for (int kind : {ZS_PLAIN, ZS_GZIP, ZS_BZIP2})
    for (int threads : {1, 2}) {
      SCOPED_TRACE(testing::Message() << "kind " << kind << " threads " << threads);
      ZSWriter* w = ZSWriteOpen(pool, fopen("/dev/full", "wb"), kind, 1, threads);
      ASSERT_TRUE(w);
      bool failed = false;
      for (int i = 0; i < 24; i++) {
        int n = ZSWrite(w, noise.data(), (int)noise.size());
        EXPECT_TRUE(!failed || n < (int)noise.size()) << "writer recovered";
        failed |= n != (int)noise.size();
      }
      EXPECT_TRUE(failed) << "24 MiB went nowhere";
      EXPECT_FALSE(ZSWriteClose(w, true));
    }
}

TEST_F(ZStream, CreateExclusiveRefusesExistingFilesAndLinks) {
  std::string file = P("file"), target = P("target");
  FILE* f = ZSCreateExclusive(file.c_str());
  ASSERT_TRUE(f);
  fputs("kept", f);
  fclose(f);
  EXPECT_FALSE(ZSCreateExclusive(file.c_str()));
  EXPECT_EQ(EEXIST, errno);
  ASSERT_EQ(0, symlink(target.c_str(), P("dangling").c_str()));
  ASSERT_EQ(0, symlink(file.c_str(), P("link").c_str()));
  EXPECT_FALSE(ZSCreateExclusive(P("dangling").c_str()));
  EXPECT_FALSE(ZSCreateExclusive(P("link").c_str()));
  EXPECT_NE(0, access(target.c_str(), F_OK));
  EXPECT_EQ("kept", Slurp(file));
}

TEST_F(ZStream, CompressorMemoryComesFromThePool) {
  std::string text = tu::LogText(200000), packed = Packed(ZS_GZIP, text);
  for (bool use_pool : {true, false}) {
    MemoryPool* p = MPNew();
    MPSetZlibAlloc(use_pool ? p : nullptr);
    int32_t avail = p->avail;
    EXPECT_TRUE(ReadAll(ZS_GZIP, packed) == text);
    EXPECT_EQ(use_pool, p->block_count > 0);
    EXPECT_TRUE(!use_pool || avail - p->avail >= 32768);  // the window at least
    MPDelete(p);
  }
  // libdeflate's compressors, whose allocator is process-wide.
  MemoryPool* p = MPNew();
  MPSetDeflateAlloc(p);
  libdeflate_compressor* c = libdeflate_alloc_compressor(12);
  MPSetDeflateAlloc(nullptr);
  EXPECT_TRUE(c && p->large);
  libdeflate_free_compressor(c);
  MPDelete(p);
}

}  // namespace
