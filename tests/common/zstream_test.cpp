#include "common/zstream.h"

#include "tests/common/TestUtil.h"

namespace {

// Every kind in odd pieces, with and without workers: the same bytes, which
// the tools and our reader decode whole (gzip members of 4 MiB and bzip2
// blocks, at level 1 enough to go round the workers' ring); level 0 stores,
// level 9 is no larger than gzip -9; XFL says slowest (2) or fastest (4). On
// a full device the writer fails for good, with workers too.
TEST(ZStream, WriterOutput) {
  tu::TempDir dir;
  MemoryPool* pool = MPNew();
  std::string log = tu::LogText(6 * (4 << 20) + 5);
  const int rows[][4] = {{ZS_PLAIN, 0, 300000, 0},   {ZS_GZIP, 1, 6 * (4 << 20) + 5, 0}, {ZS_GZIP, 9, 2 << 20, 0},
                         {ZS_GZIP, 0, 100000, 0},    {ZS_BZIP2, 1, 700000, 0},           {ZS_BZIP2, 9, 1000000, 0},
                         {ZS_PLAIN, 0, 24 << 20, 1}, {ZS_GZIP, 1, 24 << 20, 1},          {ZS_BZIP2, 1, 24 << 20, 1}};
  for (auto& [kind, level, size, full] : rows) {
    SCOPED_TRACE(testing::Message() << "kind " << kind << " level " << level << (full ? " full" : ""));
    std::string text = full ? tu::Noise(size) : log.substr(0, size), out = dir / "out", first;
    for (int threads : {1, 3}) {
      unlink(out.c_str());
      ZSWriter* w =
          ZSWriteOpen(pool, full ? fopen("/dev/full", "wb") : ZSCreateExclusive(out.c_str()), kind, level, threads);
      bool failed = false;
      for (size_t at = 0; at < text.size(); at += 70001) {
        int n = (int)std::min<size_t>(70001, text.size() - at);
        bool short_write = ZSWrite(w, text.data() + at, n) < n;
        EXPECT_TRUE(short_write || !failed) << "writer recovered";
        failed |= short_write;
      }
      EXPECT_EQ(std::make_pair(failed, ZSWriteClose(w, threads == 1)), std::make_pair(full == 1, full == 0));
      EXPECT_TRUE(full || (threads == 3 ? tu::Slurp(out) == first : (first = tu::Slurp(out)).size() > 0));
    }
    if (full) continue;
    EXPECT_TRUE((kind == ZS_PLAIN ? first : tu::Unpack(kind == ZS_GZIP ? "gzip" : "bzip2", out)) == text);
    EXPECT_TRUE(tu::ReadBack(out) == text);
    EXPECT_EQ(level == 0 && kind == ZS_GZIP, first.size() > text.size());
    EXPECT_TRUE(kind != ZS_GZIP || first[8] == (level == 9 ? 2 : 4));
    EXPECT_TRUE(level != 9 || kind != ZS_GZIP ||
                (tu::Sh(dir.path, "gzip -9 -c out.dec > ref") && first.size() <= tu::Slurp(dir / "ref").size()));
  }
  MPDelete(pool);
}

}  // namespace
