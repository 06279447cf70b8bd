#include "common/MemoryPool.h"

#include "tests/common/TestUtil.h"

namespace {

// A request goes to the current block when it fits what is left (exactly
// too), to a block of its own when that would leave less than the current
// one does, else to a new current block; sizes round up to 8.
TEST(MemoryPool, WhereRequestsGo) {
  enum { CUR, OWN, NEW };
  const int32_t rows[][4] = {{100000, 1, CUR, 99992},        {100000, 9, CUR, 99984},       {100000, 100000, CUR, 0},
                             {100000, 200000, OWN, 100000},  {50000, 200000, NEW, 62144},   {62144, 200000, NEW, 62144},
                             {8, MP_BLOCK_SIZE - 7, OWN, 8}, {0, MP_BLOCK_SIZE - 7, NEW, 0}};
  for (auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r[0] << " left, " << r[1] << " asked");
    MemoryPool* pool = MPNew();
    char* next = (char*)MPAlloc(pool, MP_BLOCK_SIZE - r[0]) + MP_BLOCK_SIZE - r[0];
    MPBlock* cur = pool->blocks;
    char* got = (char*)memset(MPAlloc(pool, r[1]), 1, r[1]);  // ASan checks all of it is ours
    EXPECT_EQ(std::make_tuple(got == next, pool->blocks == cur, pool->avail, pool->block_count),
              std::make_tuple(r[2] == CUR, r[2] != NEW, r[3], r[2] == CUR ? 1 : 2));
    MPDelete(pool);
  }
}

// The compression libraries' requests: the sizes they ask for take chunks
// of at least that much from the pool, handed out again once freed, zlib's
// 64 KiB spilling over four classes of two rows; others come from the pool
// (bzip2: four slots, then the heap, and back to it). Deleting the pool
// clears the hooks into it.
TEST(MemoryPool, LibraryAdapters) {
  MemoryPool* pool = MPNew();
  MPSetZlibAlloc(pool), MPSetBzip2Alloc(pool);
  void *zc = MPGetZlibHook().opaque, *bc = MPGetBzip2Hook().opaque, *uc = MPNewUnzCache(pool);
  auto took = [&](auto alloc, void* cache, unsigned n) {
    int32_t before = pool->avail;
    void* p = memset(alloc(cache, 1, n), 0, n);  // and ASan checks it is all ours
    EXPECT_TRUE(before < (int32_t)n || before - pool->avail >= (int32_t)n) << n;
    return p;
  };
  for (unsigned n : {1, 15, 16, 17, 100, 116, 5824, 9520, 16384, 32768, 7000}) took(MPZlibAlloc, zc, n);
  for (unsigned n : {16, 24, 28, 64, 76, 100, 144, 192, 512, 2048, 7080, 11520, 16384, 32768}) took(MPUnzAlloc, uc, n);
  void *z[9], *b[5], *u[3];
  for (void*& p : z) p = took(MPZlibAlloc, zc, 65536);
  for (int i = 0; i < 5; i++) b[i] = i < 4 ? took(MPBzip2Alloc, bc, 64116) : MPBzip2Alloc(bc, 1, 64116);
  for (void*& p : u) p = took(MPUnzAlloc, uc, 65536);
  for (void* p : z) MPZlibFree(zc, p);
  for (void* p : b) MPBzip2Free(bc, p);
  for (void* p : u) MPUnzFree(uc, p);
  for (int i = 0; i < 9; i++) EXPECT_EQ(MPZlibAlloc(zc, 1, 65536) == z[i], i < 8) << i;  // the ninth was never kept
  for (int i = 0; i < 4; i++) EXPECT_EQ(MPBzip2Alloc(bc, 1, 64116), b[i]);
  MPBzip2Free(bc, MPBzip2Alloc(bc, 1, 64116));
  for (int i = 0; i < 2; i++) EXPECT_EQ(MPUnzAlloc(uc, 1, 65536), u[i]);
  MPDelete(pool);
  EXPECT_TRUE(!MPGetZlibHook().alloc && !MPGetZlibHook().opaque && !MPGetBzip2Hook().alloc && !MPGetBzip2Hook().opaque);
}

}  // namespace
