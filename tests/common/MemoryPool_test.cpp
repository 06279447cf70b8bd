#include "common/MemoryPool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "tests/common/TestUtil.h"

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

TEST(MemoryPool, RoundsToEightAndBumps) {
  MemoryPool* pool = MPNew();
  EXPECT_EQ(pool->block_count + pool->avail, 0);
  EXPECT_EQ(pool->key, POOL_KEY);
  byte *a = B(MPAlloc(pool, 1)), *b = B(MPAlloc(pool, 1)), *c = B(MPAlloc(pool, 9)), *d = B(MPAlloc(pool, 8));
  EXPECT_EQ(b - a, 8);
  EXPECT_EQ(c - b, 8);
  EXPECT_EQ(d - c, 16);
  EXPECT_EQ((uintptr_t)a % 8, 0u);
  EXPECT_EQ(pool->avail, MP_BLOCK_SIZE - 40);
  MPDelete(pool);
  pool = MPNew();
  memset(MPAlloc(pool, MP_BLOCK_SIZE), 0xAB, MP_BLOCK_SIZE);  // ASan checks the whole block is ours
  EXPECT_EQ(pool->avail, 0);
  MPAlloc(pool, MP_BLOCK_SIZE - 7);  // rounds up to a full block
  EXPECT_EQ(pool->block_count, 2);
  MPDelete(pool);
}

TEST(MemoryPool, WastefulRequestGetsBlockOfItsOwn) {
  MemoryPool* pool = PoolWithAvail(100000);
  byte* base = B(pool->blocks);
  byte* next = B(MPAlloc(pool, 1)) + 8;  // where the current block continues
  byte* big = B(MPAlloc(pool, 200000));
  EXPECT_EQ(B(pool->blocks), base);
  EXPECT_EQ(pool->avail, 100000 - 8);
  EXPECT_EQ(pool->block_count, 2);
  memset(big, 1, 200000);
  EXPECT_EQ(B(MPAlloc(pool, 50000)), next);
  MPDelete(pool);
  for (int32_t left : {50000, 62144}) {  // the new block leaves more, or the same
    SCOPED_TRACE(left);
    pool = PoolWithAvail(left);
    MPBlock* old = pool->blocks;
    big = B(MPAlloc(pool, 200000));
    EXPECT_NE(pool->blocks, old);
    EXPECT_EQ(pool->avail, 62144);
    EXPECT_EQ(B(MPAlloc(pool, 8)), big + 200000);
    MPDelete(pool);
  }
}

TEST(MemoryPool, DeletedBlocksAreReusedLastInFirstOut) {
  MemoryPool* a = MPNew();
  byte* blk[3];
  for (byte*& b : blk) memset(b = B(MPAlloc(a, MP_BLOCK_SIZE)), 0x5A, 64);
  MPDelete(a);  // gives back blk[2], blk[1], blk[0] in that order
  MemoryPool* b = MPNew();
  for (byte* expect : blk) {
    byte* got = B(MPAlloc(b, MP_BLOCK_SIZE));
    EXPECT_EQ(got, expect);
    EXPECT_EQ(got[63], 0x5A);  // contents survive reuse
  }
  MPDelete(b);
}

// Deleting a pool clears the hooks into it, and only those.
TEST(MemoryPool, DeleteForgetsItsOwnHooks) {
  MemoryPool *a = MPNew(), *b = MPNew();
  MPSetZlibAlloc(a), MPSetBzip2Alloc(b);
  MPDelete(b);
  EXPECT_TRUE(MPGetZlibHook().alloc && !MPGetBzip2Hook().alloc && !MPGetBzip2Hook().opaque);
  MPSetBzip2Alloc(a);
  MPDelete(a);
  EXPECT_TRUE(!MPGetZlibHook().alloc && !MPGetZlibHook().opaque && !MPGetBzip2Hook().alloc);
}

// ---- adapters ----

struct ZlibSlots : testing::Test {
  MemoryPool* pool = MPNew();
  void* cache = (MPSetZlibAlloc(pool), MPGetZlibHook().opaque);
  void TearDown() override { MPSetZlibAlloc(nullptr), MPDelete(pool); }
  void* Get(unsigned n) { return MPZlibAlloc(cache, 1, n); }
};

TEST_F(ZlibSlots, ClassChunkSizesComeFromThePool) {
  struct { unsigned items, size; int32_t chunk; } rows[] = {
      {1, 1, 16},     {3, 5, 16},      {4, 4, 16},         {1, 17, 104},      {10, 10, 104},  {2, 58, 120},
      {1, 5824, 5824}, {1, 9520, 9520}, {2, 8192, 16384}, {1, 32768, 32768}, {65536, 1, 65536}, {1, 7000, 7000}};
  for (auto& r : rows) {
    SCOPED_TRACE(r.items * r.size);
    int32_t before = pool->avail;
    memset(MPZlibAlloc(cache, r.items, r.size), 0, r.chunk);
    EXPECT_TRUE(before < r.chunk || before - pool->avail == r.chunk);
  }
}

TEST_F(ZlibSlots, RowsThenPoolThenReuse) {
  void *a = Get(16384), *b = Get(16384), *c = Get(16384);
  EXPECT_EQ(std::set<void*>({a, b, c}).size(), 3u);
  MPZlibFree(cache, c);  // not cached: stays in the pool
  EXPECT_NE(Get(16384), c);
  MPZlibFree(cache, b);
  EXPECT_EQ(Get(16384), b);
  MPZlibFree(cache, a);
  EXPECT_EQ(Get(16384), a);
  MPZlibFree(cache, nullptr);
  void *tiny = Get(10), *exact = Get(16), *mid = Get(50);  // classes 0, 1, 2
  for (void* p : {tiny, exact, mid}) MPZlibFree(cache, p);
  EXPECT_EQ(Get(16), exact);
  EXPECT_EQ(Get(3), tiny);
  EXPECT_EQ(Get(100), mid);
  // 64 KiB requests overflow through four classes of two rows.
  void* p[9];
  for (void*& x : p) x = Get(65536);
  std::set<void*> cached(p, p + 8), again;
  EXPECT_EQ(cached.size(), 8u);
  EXPECT_EQ(cached.count(p[8]), 0u);
  for (void* x : p) MPZlibFree(cache, x);
  for (int i = 0; i < 9; i++) again.insert(Get(65536));
  for (void* x : cached) EXPECT_EQ(again.count(x), 1u);
  EXPECT_EQ(again.count(p[8]), 0u);  // the ninth was never cached
}

TEST(MemoryPoolUnz, ClassesOverflowAndFallback) {
  MemoryPool* pool = MPNew();
  void* cache = MPNewUnzCache(pool);
  auto took = [&](unsigned items, unsigned size, void** p = nullptr) {
    int32_t before = pool->avail;
    void* got = MPUnzAlloc(cache, items, size);
    if (p) *p = got;
    return before - pool->avail;
  };
  void *a, *b, *c;
  EXPECT_EQ(took(1, 300), 304);  // no class
  EXPECT_EQ(took(1, 1000, &a), 2048);
  EXPECT_EQ(took(10, 100, &b), 2048);
  EXPECT_EQ(took(1000, 1, &c), 1000);  // both 2 KiB slots busy
  MPUnzFree(cache, c);  // ignored
  MPUnzFree(cache, a);
  EXPECT_EQ(MPUnzAlloc(cache, 1, 512), a);
  EXPECT_NE(MPUnzAlloc(cache, 1, 2048), b);  // b still busy
  EXPECT_NE(MPUnzAlloc(cache, 1, 16), MPUnzAlloc(cache, 1, 8));  // class 0 busy: from the pool
  void *w1 = MPUnzAlloc(cache, 1, 65536), *w2 = MPUnzAlloc(cache, 2, 32768);
  MPUnzFree(cache, w1);
  MPUnzFree(cache, w2);
  EXPECT_EQ(MPUnzAlloc(cache, 1, 65536), w1);
  EXPECT_EQ(MPUnzAlloc(cache, 1, 65536), w2);
  MPUnzFree(cache, nullptr);
  MPDelete(pool);
}

TEST(MemoryPoolBzip2, PoolSlotsAndHeapPath) {
  MemoryPool* pool = MPNew();
  void* cache = (MPSetBzip2Alloc(pool), MPGetBzip2Hook().opaque);
  MPSetBzip2Alloc(nullptr);
  int32_t before = pool->avail;
  void* s[5];
  s[0] = MPBzip2Alloc(cache, 1, 64116);
  EXPECT_EQ(before - pool->avail, 64120);
  for (int i = 1; i < 4; i++) s[i] = MPBzip2Alloc(cache, 2, 32058);
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

TEST(MemoryPoolDeath, BadSizeOrPool) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  MemoryPool* pool = MPNew();
  const char* msg = "MPAlloc, common/MemoryPool line [0-9]+: size>0 && size<=MP_BLOCK_SIZE";
  for (int32_t size : {0, -1, MP_BLOCK_SIZE + 1, INT32_MAX}) EXPECT_DEATH(MPAlloc(pool, size), msg);
  EXPECT_DEATH(MPAlloc(nullptr, 0), msg);  // size is checked first
  MPDelete(pool);
  MemoryPool dead{};
  EXPECT_DEATH(MPAlloc(nullptr, 8), "MPAlloc, common/MemoryPool line [0-9]+: pool && pool->key==POOL_KEY");
  EXPECT_DEATH(MPAlloc(&dead, 8), "pool && pool->key==POOL_KEY");
  EXPECT_DEATH(MPDelete(&dead), "MPDelete, common/MemoryPool line [0-9]+: pool->key==POOL_KEY");
}

}  // namespace
