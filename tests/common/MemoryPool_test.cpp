#include "common/MemoryPool.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>

static bool mp_ready = (MPInit(), true);

namespace {

typedef unsigned char byte;

byte* B(void* p) { return (byte*)p; }

// A pool whose current block has exactly `left` bytes free (left < block).
MemoryPool* PoolWithAvail(int32_t left) {
  MemoryPool* pool = MPNew();
  MPAlloc(pool, MP_BLOCK_SIZE - left);
  EXPECT_EQ(pool->avail, left);
  return pool;
}

TEST(MemoryPool, NewPoolIsEmpty) {
  MemoryPool* pool = MPNew();
  EXPECT_EQ(pool->block_count, 0);
  EXPECT_EQ(pool->avail, 0);
  EXPECT_EQ(pool->blocks, nullptr);
  EXPECT_EQ(pool->key, POOL_KEY);
  EXPECT_EQ(pool->fd, -1);
  MPDelete(pool);
}

TEST(MemoryPool, InitTwiceIsHarmless) {
  MPInit();
  MemoryPool* pool = MPNew();
  EXPECT_NE(MPAlloc(pool, 8), nullptr);
  MPDelete(pool);
}

TEST(MemoryPool, RoundsToEightAndBumps) {
  MemoryPool* pool = MPNew();
  byte* a = B(MPAlloc(pool, 1));
  byte* b = B(MPAlloc(pool, 1));
  byte* c = B(MPAlloc(pool, 9));
  byte* d = B(MPAlloc(pool, 8));
  EXPECT_EQ(b - a, 8);
  EXPECT_EQ(c - b, 8);
  EXPECT_EQ(d - c, 16);
  EXPECT_EQ((uintptr_t)a % 8, 0u);
  EXPECT_EQ(pool->avail, MP_BLOCK_SIZE - 40);
  EXPECT_EQ(pool->block_count, 1);
  MPDelete(pool);
}

TEST(MemoryPool, WholeBlockRequest) {
  MemoryPool* pool = MPNew();
  byte* p = B(MPAlloc(pool, MP_BLOCK_SIZE));
  memset(p, 0xAB, MP_BLOCK_SIZE);  // ASan checks the whole block is ours
  EXPECT_EQ(pool->avail, 0);
  MPAlloc(pool, MP_BLOCK_SIZE - 7);  // rounds up to a full block
  EXPECT_EQ(pool->block_count, 2);
  MPDelete(pool);
}

TEST(MemoryPool, WastefulRequestGetsBlockOfItsOwn) {
  MemoryPool* pool = PoolWithAvail(100000);
  byte* base = B(pool->blocks);
  byte* next = B(MPAlloc(pool, 1)) + 8;  // where the current block continues
  EXPECT_EQ(pool->avail, 100000 - 8);
  byte* big = B(MPAlloc(pool, 200000));
  EXPECT_EQ(B(pool->blocks), base);
  EXPECT_EQ(pool->avail, 100000 - 8);
  EXPECT_EQ(pool->block_count, 2);
  memset(big, 1, 200000);
  EXPECT_EQ(B(MPAlloc(pool, 50000)), next);
  EXPECT_EQ(pool->avail, 50000 - 8);
  MPDelete(pool);
}

TEST(MemoryPool, NewBlockBecomesCurrentWhenItLeavesMore) {
  for (int32_t left : {50000, 62144}) {  // 62,144 is the tie
    SCOPED_TRACE(left);
    MemoryPool* pool = PoolWithAvail(left);
    MPBlock* old = pool->blocks;
    byte* big = B(MPAlloc(pool, 200000));
    EXPECT_NE(pool->blocks, old);
    EXPECT_EQ(pool->avail, 62144);
    EXPECT_EQ(B(MPAlloc(pool, 8)), big + 200000);
    MPDelete(pool);
  }
}

TEST(MemoryPool, DeletedBlocksAreReusedLastInFirstOut) {
  MemoryPool* a = MPNew();
  byte* blk[3];
  for (byte*& b : blk) {
    b = B(MPAlloc(a, MP_BLOCK_SIZE));
    memset(b, 0x5A, 64);
  }
  EXPECT_EQ(a->block_count, 3);
  MPDelete(a);  // gives back blk[2], blk[1], blk[0] in that order

  MemoryPool* b = MPNew();
  for (byte* expect : blk) {
    byte* got = B(MPAlloc(b, MP_BLOCK_SIZE));
    EXPECT_EQ(got, expect);
    EXPECT_EQ(got[63], 0x5A);  // contents survive reuse
  }
  MPDelete(b);
}

TEST(MemoryPool, LargeAllocationsLiveWithThePool) {
  MemoryPool* pool = MPNew();
  const size_t n = 61631 * sizeof(void*);
  void** table = (void**)MPAllocLarge(pool, n);
  EXPECT_EQ((uintptr_t)table % alignof(std::max_align_t), 0u);
  memset(table, 0, n);
  MPAllocLarge(pool, 10);
  EXPECT_EQ(pool->block_count, 0);  // not carved from blocks
  MPDelete(pool);  // LeakSanitizer reports it if this does not free them
}

// ---- adapters ----

TEST(MemoryPool, HooksInstallAndClear) {
  MemoryPool* pool = MPNew();
  MPSetZlibAlloc(pool);
  MPSetBzip2Alloc(pool);
  MPZlibHook z = MPGetZlibHook();
  MPBzip2Hook bz = MPGetBzip2Hook();
  EXPECT_EQ(z.alloc, &MPZlibAlloc);
  EXPECT_EQ(z.release, &MPZlibFree);
  EXPECT_NE(z.opaque, nullptr);
  EXPECT_EQ(bz.alloc, &MPBzip2Alloc);
  EXPECT_EQ(bz.release, &MPBzip2Free);
  EXPECT_NE(bz.opaque, z.opaque);
  MPSetZlibAlloc(nullptr);
  MPSetBzip2Alloc(nullptr);
  EXPECT_EQ(MPGetZlibHook().alloc, nullptr);
  EXPECT_EQ(MPGetZlibHook().opaque, nullptr);
  EXPECT_EQ(MPGetBzip2Hook().release, nullptr);
  MPDelete(pool);
}

struct ZlibFixture : testing::Test {
  MemoryPool* pool = MPNew();
  void* cache = nullptr;
  void SetUp() override {
    MPSetZlibAlloc(pool);
    cache = MPGetZlibHook().opaque;
  }
  void TearDown() override {
    MPSetZlibAlloc(nullptr);
    MPDelete(pool);
  }
  void* Get(unsigned n) { return MPZlibAlloc(cache, 1, n); }
};

TEST_F(ZlibFixture, ClassChunkSizesComeFromThePool) {
  struct {
    unsigned items, size;
    int32_t chunk;
  } rows[] = {{1, 1, 16},         {3, 5, 16},        {4, 4, 16},     {1, 17, 104},
              {10, 10, 104},      {2, 58, 120},      {1, 5824, 5824}, {1, 9520, 9520},
              {2, 8192, 16384},   {1, 32768, 32768}, {65536, 1, 65536}};
  for (auto& r : rows) {
    SCOPED_TRACE(r.items * r.size);
    int32_t before = pool->avail;
    void* p = MPZlibAlloc(cache, r.items, r.size);
    memset(p, 0, r.chunk);
    if (before >= r.chunk) {
      EXPECT_EQ(before - pool->avail, r.chunk);
    }
  }
}

TEST_F(ZlibFixture, TwoRowsThenPoolThenReuse) {
  void* a = Get(16384);
  void* b = Get(16384);
  void* c = Get(16384);
  EXPECT_NE(a, b);
  EXPECT_NE(c, a);
  EXPECT_NE(c, b);
  MPZlibFree(cache, c);  // not cached: stays in the pool
  EXPECT_NE(Get(16384), c);
  MPZlibFree(cache, b);
  EXPECT_EQ(Get(16384), b);
  MPZlibFree(cache, a);
  EXPECT_EQ(Get(16384), a);
  MPZlibFree(cache, nullptr);
}

TEST_F(ZlibFixture, SmallClassesAreSeparate) {
  void* tiny = Get(10);   // class 0
  void* exact = Get(16);  // class 1
  void* mid = Get(50);    // class 2
  MPZlibFree(cache, tiny);
  MPZlibFree(cache, exact);
  MPZlibFree(cache, mid);
  EXPECT_EQ(Get(16), exact);
  EXPECT_EQ(Get(3), tiny);
  EXPECT_EQ(Get(100), mid);
}

TEST_F(ZlibFixture, SixtyFourKOverflowsThroughFourClasses) {
  void* p[9];
  for (void*& x : p) x = Get(65536);
  std::set<void*> cached(p, p + 8);
  EXPECT_EQ(cached.size(), 8u);
  EXPECT_EQ(cached.count(p[8]), 0u);
  for (void* x : p) MPZlibFree(cache, x);
  std::set<void*> again;
  for (int i = 0; i < 9; i++) again.insert(Get(65536));
  for (void* x : cached) EXPECT_EQ(again.count(x), 1u);
  EXPECT_EQ(again.count(p[8]), 0u);  // the ninth was never cached
}

TEST_F(ZlibFixture, UncachedSizeComesFromPool) {
  int32_t before = pool->avail;
  void* p = Get(7000);
  EXPECT_NE(p, nullptr);
  EXPECT_EQ(before - pool->avail, 7000);
}

TEST_F(ZlibFixture, RealStreamsRoundTripThroughTheHook) {
  std::string text;
  for (int i = 0; i < 2000; i++) text += "192.0.2." + std::to_string(i % 256) + " GET /\n";
  MPZlibHook h = MPGetZlibHook();
  unsigned char packed[65536], back[65536];
  for (int round = 0; round < 3; round++) {  // repeated streams reuse the slots
    int32_t before = pool->block_count;
    z_stream d{};
    d.zalloc = h.alloc;
    d.zfree = h.release;
    d.opaque = h.opaque;
    ASSERT_EQ(deflateInit(&d, 6), Z_OK);
    d.next_in = (Bytef*)text.data();
    d.avail_in = text.size();
    d.next_out = packed;
    d.avail_out = sizeof packed;
    ASSERT_EQ(deflate(&d, Z_FINISH), Z_STREAM_END);
    uLong packed_len = d.total_out;
    deflateEnd(&d);

    z_stream in{};
    in.zalloc = h.alloc;
    in.zfree = h.release;
    in.opaque = h.opaque;
    ASSERT_EQ(inflateInit(&in), Z_OK);
    in.next_in = packed;
    in.avail_in = packed_len;
    in.next_out = back;
    in.avail_out = sizeof back;
    ASSERT_EQ(inflate(&in, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(std::string((char*)back, in.total_out), text);
    inflateEnd(&in);
    if (round > 0) {
      EXPECT_LE(pool->block_count, before + 1);
    }
  }
}

TEST(MemoryPoolUnz, ClassesOverflowAndFallback) {
  MemoryPool* pool = MPNew();
  void* cache = MPNewUnzCache(pool);
  int32_t before = pool->avail;
  MPUnzAlloc(cache, 1, 300);  // no class
  EXPECT_EQ(before - pool->avail, 304);

  before = pool->avail;
  void* a = MPUnzAlloc(cache, 1, 1000);
  EXPECT_EQ(before - pool->avail, 2048);
  before = pool->avail;
  void* b = MPUnzAlloc(cache, 10, 100);
  EXPECT_EQ(before - pool->avail, 2048);
  before = pool->avail;
  void* c = MPUnzAlloc(cache, 1000, 1);
  EXPECT_EQ(before - pool->avail, 1000);
  EXPECT_NE(a, b);

  MPUnzFree(cache, c);  // ignored
  MPUnzFree(cache, a);
  EXPECT_EQ(MPUnzAlloc(cache, 1, 512), a);
  EXPECT_NE(MPUnzAlloc(cache, 1, 2048), b);  // b still busy

  void* s = MPUnzAlloc(cache, 1, 16);
  void* t = MPUnzAlloc(cache, 1, 8);  // class 0 busy: from the pool
  EXPECT_NE(s, t);
  void* w1 = MPUnzAlloc(cache, 1, 65536);
  void* w2 = MPUnzAlloc(cache, 2, 32768);
  MPUnzFree(cache, w1);
  MPUnzFree(cache, w2);
  EXPECT_EQ(MPUnzAlloc(cache, 1, 65536), w1);
  EXPECT_EQ(MPUnzAlloc(cache, 1, 65536), w2);
  MPUnzFree(cache, nullptr);
  MPDelete(pool);
}

TEST(MemoryPoolBzip2, PoolSlotsAndHeapPath) {
  MemoryPool* pool = MPNew();
  MPSetBzip2Alloc(pool);
  void* cache = MPGetBzip2Hook().opaque;
  MPSetBzip2Alloc(nullptr);

  int32_t before = pool->avail;
  void* s[5];
  s[0] = MPBzip2Alloc(cache, 1, 64116);
  EXPECT_EQ(before - pool->avail, 64120);
  for (int i = 1; i < 4; i++) s[i] = MPBzip2Alloc(cache, 2, 32058);
  EXPECT_EQ(before - pool->avail, 4 * 64120);
  s[4] = MPBzip2Alloc(cache, 1, 64116);  // all four busy: from the heap
  EXPECT_EQ(before - pool->avail, 4 * 64120);
  memset(s[4], 0, 64116);
  MPBzip2Free(cache, s[4]);  // heap: ASan flags a leak or bad free otherwise
  MPBzip2Free(cache, s[2]);
  EXPECT_EQ(MPBzip2Alloc(cache, 1, 64116), s[2]);

  before = pool->avail;
  void* h = MPBzip2Alloc(cache, 5000, 4);
  EXPECT_EQ(pool->avail, before);
  memset(h, 0, 20000);
  MPBzip2Free(cache, h);
  MPBzip2Free(cache, nullptr);
  MPDelete(pool);
}

// ---- contract failures ----

struct MemoryPoolDeath : testing::Test {
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(MemoryPoolDeath, SizeOutOfRange) {
  MemoryPool* pool = MPNew();
  const char* msg = "MPAlloc, common/MemoryPool line [0-9]+: size>0 && size<=MP_BLOCK_SIZE";
  EXPECT_DEATH(MPAlloc(pool, 0), msg);
  EXPECT_DEATH(MPAlloc(pool, -1), msg);
  EXPECT_DEATH(MPAlloc(pool, MP_BLOCK_SIZE + 1), msg);
  EXPECT_DEATH(MPAlloc(pool, INT32_MAX), msg);
  EXPECT_DEATH(MPAlloc(nullptr, 0), msg);  // size is checked first
  MPDelete(pool);
}

TEST_F(MemoryPoolDeath, DeadOrMissingPool) {
  MemoryPool dead{};
  EXPECT_DEATH(MPAlloc(nullptr, 8), "MPAlloc, common/MemoryPool line [0-9]+: pool && pool->key==POOL_KEY");
  EXPECT_DEATH(MPAlloc(&dead, 8), "pool && pool->key==POOL_KEY");
  EXPECT_DEATH(MPDelete(&dead), "MPDelete, common/MemoryPool line [0-9]+: pool->key==POOL_KEY");
}

}  // namespace
