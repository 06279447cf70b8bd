#include "common/MemoryPool.h"

#include <libdeflate.h>

#include <cstdlib>
#include <cstring>

#include "common/Machine.h"

#define ASSERT_MODULE "common/MemoryPool"
#include "common/Assert.h"

static constexpr std::nullptr_t nil = nullptr;

// Requests are rounded to 8 bytes, not 4: pools hold records with pointers
// in them, and a 64-bit build needs those 8-aligned.
#define MP_GRAIN 8

struct MPBlock {
  MPBlock* link;
  alignas(MP_GRAIN) unsigned char data[MP_BLOCK_SIZE];
};

// Header of an MPAllocLarge allocation; the payload follows, max-aligned.
struct MPLarge {
  MPLarge* next;
};
static const size_t LARGE_HEADER = alignof(std::max_align_t) > sizeof(MPLarge)
                                       ? alignof(std::max_align_t)
                                       : sizeof(MPLarge);

static MPBlock* free_blocks;
static MachMutex free_blocks_mutex;

static MPZlibHook zlib_hook;
static MPBzip2Hook bzip2_hook;

void MPInit() {
  if (free_blocks_mutex) return;
  free_blocks_mutex = MachNewMutex();
}

MemoryPool* MPNew() {
  MemoryPool* pool = (MemoryPool*)malloc(sizeof(MemoryPool));
  LV_ASSERT(pool!=nil);
  pool->block_count = 0;
  pool->avail = 0;
  pool->blocks = nullptr;
  pool->key = POOL_KEY;
  pool->fd = -1;
  pool->root = nullptr;
  pool->map_size = 0;
  pool->large = nullptr;
  return pool;
}

static MPBlock* MPNewBlock(MemoryPool* pool) {
  if (!MachLockMutex(free_blocks_mutex)) return nullptr;
  MPBlock* b = free_blocks;
  if (b)
    free_blocks = b->link;
  else
    b = (MPBlock*)malloc(sizeof(MPBlock));
  if (b) pool->block_count++;
  MachUnlockMutex(free_blocks_mutex);
  return b;
}

void* MPAlloc(MemoryPool* pool, int32_t request) {
  int64_t size = ((int64_t)request + (MP_GRAIN - 1)) & ~(int64_t)(MP_GRAIN - 1);
  LV_ASSERT(size>0 && size<=MP_BLOCK_SIZE);
  LV_ASSERT(pool && pool->key==POOL_KEY);
  int32_t r = (int32_t)size;
  if (r <= pool->avail) {
    void* chunk = pool->blocks->data + (MP_BLOCK_SIZE - pool->avail);
    pool->avail -= r;
    return chunk;
  }
  MPBlock* b = MPNewBlock(pool);
  if (!b) LV_ASSERT(!"Ran out of memory!");
  if (MP_BLOCK_SIZE - r < pool->avail) {
    // Keep the fuller current block; this one serves the request alone.
    b->link = pool->blocks->link;
    pool->blocks->link = b;
  } else {
    b->link = pool->blocks;
    pool->blocks = b;
    pool->avail = MP_BLOCK_SIZE - r;
  }
  return b->data;
}

void* MPAllocLarge(MemoryPool* pool, size_t size) {
  LV_ASSERT(pool && pool->key==POOL_KEY);
  MPLarge* l = (MPLarge*)malloc(LARGE_HEADER + size);
  if (!l) LV_ASSERT(!"Ran out of memory!");
  l->next = pool->large;
  pool->large = l;
  return (unsigned char*)l + LARGE_HEADER;
}

static void ForgetHooks(MemoryPool* pool);

void MPDelete(MemoryPool* pool) {
  LV_ASSERT(pool->key==POOL_KEY);
  ForgetHooks(pool);
  pool->key = 0;
  for (MPLarge* l = pool->large; l;) {
    MPLarge* next = l->next;
    free(l);
    l = next;
  }
  for (MPBlock* b = pool->blocks; b;) {
    MPBlock* next = b->link;
    // A block whose lock fails is abandoned rather than risk the list.
    if (MachLockMutex(free_blocks_mutex)) {
      b->link = free_blocks;
      free_blocks = b;
      MachUnlockMutex(free_blocks_mutex);
      pool->block_count--;
    }
    b = next;
  }
  free(pool);
}

// ---- Slot caches for the compression libraries ----

template <int N>
struct SlotCache {
  MemoryPool* pool;
  void* chunk[N];
  int32_t state[N];
};

enum { ZLIB_SLOTS = 24, ZLIB_CLASSES = 12, BZIP2_SLOTS = 4, UNZ_SLOTS = 16 };
enum { BZIP2_CHUNK = 64116 };

typedef SlotCache<ZLIB_SLOTS> ZlibCache;
typedef SlotCache<BZIP2_SLOTS> Bzip2Cache;
typedef SlotCache<UNZ_SLOTS> UnzCache;

template <int N>
static SlotCache<N>* NewCache(MemoryPool* pool) {
  SlotCache<N>* c = (SlotCache<N>*)MPAlloc(pool, sizeof(SlotCache<N>));
  c->pool = pool;
  for (int i = 0; i < N; i++) {
    c->chunk[i] = nullptr;
    c->state[i] = SLOT_EMPTY;
  }
  return c;
}

// The chunk of slot i if it can be had, else null (slot busy).
template <int N>
static void* TakeSlot(SlotCache<N>* c, int i, int32_t chunk_size) {
  switch (c->state[i]) {
    case SLOT_FREE: break;
    case SLOT_EMPTY: c->chunk[i] = MPAlloc(c->pool, chunk_size); break;
    default: return nullptr;
  }
  c->state[i] = SLOT_BUSY;
  return c->chunk[i];
}

// True when some slot held ptr; that slot is free again.
template <int N>
static bool ReleaseSlot(SlotCache<N>* c, void* ptr) {
  for (int i = 0; i < N; i++) {
    if (c->chunk[i] == ptr) {
      c->state[i] = SLOT_FREE;
      return true;
    }
  }
  return false;
}

static const int32_t zlib_chunk[ZLIB_CLASSES] = {16,    16,    100,   116,   5824,  9520,
                                                 16384, 32768, 65536, 65536, 65536, 65536};

static int ZlibClass(uint32_t n) {
  switch (n) {
    case 16: return 1;
    case 116: return 3;
    case 5824: return 4;
    case 9520: return 5;
    case 16384: return 6;
    case 32768: return 7;
    case 65536: return 8;
  }
  if (n < 16) return 0;
  if (n <= 100) return 2;
  return -1;
}

void* MPZlibAlloc(void* opaque, unsigned items, unsigned size) {
  ZlibCache* c = (ZlibCache*)opaque;
  uint32_t n = (uint32_t)items * (uint32_t)size;
  int cls = ZlibClass(n);
  while (cls >= 0) {
    for (int row = 0; row < 2; row++) {
      int i = cls + ZLIB_CLASSES * row;
      if (void* p = TakeSlot(c, i, zlib_chunk[cls])) return p;
    }
    // The 64 KiB class spills over into three more classes.
    cls = (cls >= 8 && cls < 11) ? cls + 1 : -1;
  }
  return MPAlloc(c->pool, (int32_t)n);
}

void MPZlibFree(void* opaque, void* ptr) {
  if (ptr) ReleaseSlot((ZlibCache*)opaque, ptr);
}

void* MPBzip2Alloc(void* opaque, int items, int size) {
  Bzip2Cache* c = (Bzip2Cache*)opaque;
  uint32_t n = (uint32_t)items * (uint32_t)size;
  if (n == BZIP2_CHUNK) {
    for (int i = 0; i < BZIP2_SLOTS; i++)
      if (void* p = TakeSlot(c, i, BZIP2_CHUNK)) return p;
  }
  return malloc(n);
}

void MPBzip2Free(void* opaque, void* ptr) {
  if (ptr && !ReleaseSlot((Bzip2Cache*)opaque, ptr)) free(ptr);
}

static const int32_t unz_chunk[UNZ_SLOTS] = {16,   24,   28,   64,    76,    100,   144,   192,
                                             2048, 2048, 7080, 11520, 16384, 32768, 65536, 65536};

static int UnzClass(uint32_t n) {
  switch (n) {
    case 24: return 1;
    case 28: return 2;
    case 64: return 3;
    case 76: return 4;
    case 100: return 5;
    case 144: return 6;
    case 192: return 7;
    case 7080: return 10;
    case 11520: return 11;
    case 16384: return 12;
    case 32768: return 13;
    case 65536: return 14;
  }
  if (n <= 16) return 0;
  if (n >= 512 && n <= 2048) return 8;
  return -1;
}

void* MPUnzAlloc(void* opaque, unsigned items, unsigned size) {
  UnzCache* c = (UnzCache*)opaque;
  uint32_t n = (uint32_t)items * (uint32_t)size;
  int cls = UnzClass(n);
  while (cls >= 0) {
    if (void* p = TakeSlot(c, cls, unz_chunk[cls])) return p;
    cls = (cls == 8 || cls == 14) ? cls + 1 : -1;
  }
  return MPAlloc(c->pool, (int32_t)n);
}

void MPUnzFree(void* opaque, void* ptr) {
  if (ptr) ReleaseSlot((UnzCache*)opaque, ptr);
}

void* MPNewUnzCache(MemoryPool* pool) { return NewCache<UNZ_SLOTS>(pool); }

void MPSetZlibAlloc(MemoryPool* pool) {
  if (pool)
    zlib_hook = MPZlibHook{MPZlibAlloc, MPZlibFree, NewCache<ZLIB_SLOTS>(pool)};
  else
    zlib_hook = MPZlibHook{nullptr, nullptr, nullptr};
}

void MPSetBzip2Alloc(MemoryPool* pool) {
  if (pool)
    bzip2_hook = MPBzip2Hook{MPBzip2Alloc, MPBzip2Free, NewCache<BZIP2_SLOTS>(pool)};
  else
    bzip2_hook = MPBzip2Hook{nullptr, nullptr, nullptr};
}

// libdeflate has one process-wide allocator and no opaque: it is installed
// once and finds the pool here. Only the thread that opens writers allocates
// (compression itself allocates nothing), so the pool needs no lock.
static MemoryPool* deflate_pool;
static void* DeflateAlloc(size_t size) {
  LV_ASSERT(deflate_pool!=nil);
  return MPAllocLarge(deflate_pool, size);
}
static void DeflateFree(void*) {}

void MPSetDeflateAlloc(MemoryPool* pool) {
  static bool installed;
  // Installing is allowed only while no compressor exists: before the first.
  if (!installed) libdeflate_set_memory_allocator(DeflateAlloc, DeflateFree);
  installed = true;
  deflate_pool = pool;
}

// A hook left pointing into a deleted pool would hand its blocks, by then
// another pool's, to the next stream opened without setting it again.
static void ForgetHooks(MemoryPool* pool) {
  if (zlib_hook.opaque && ((ZlibCache*)zlib_hook.opaque)->pool == pool) MPSetZlibAlloc(nullptr);
  if (bzip2_hook.opaque && ((Bzip2Cache*)bzip2_hook.opaque)->pool == pool) MPSetBzip2Alloc(nullptr);
  if (deflate_pool == pool) deflate_pool = nullptr;
}

MPZlibHook MPGetZlibHook() { return zlib_hook; }
MPBzip2Hook MPGetBzip2Hook() { return bzip2_hook; }
