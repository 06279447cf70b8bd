// Arena allocator: memory is carved from large blocks and given back all at
// once by MPDelete. Blocks of deleted pools are recycled process-wide.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#define MP_BLOCK_SIZE 262144
#define POOL_KEY 0x3274065Cu

struct MPBlock;
struct MPLarge;

struct MemoryPool {
  int32_t block_count;  // blocks held
  int32_t avail;        // bytes free at the end of the current block
  MPBlock* blocks;      // current block, head of the chain
  uint32_t key;         // POOL_KEY while live
  int32_t fd;           // always -1 here
  void* root;           // unused
  int32_t map_size;     // unused
  MPLarge* large;       // allocations bigger than a block, freed by MPDelete
};

// Creates the mutex guarding the free-block list. Call once, first.
void MPInit();
MemoryPool* MPNew();
// size bytes (1..MP_BLOCK_SIZE after rounding), uninitialised. Never returns null.
void* MPAlloc(MemoryPool* pool, int32_t size);
// Any size, from the system heap, living exactly as long as the pool.
void* MPAllocLarge(MemoryPool* pool, size_t size);
// Gives every block back to the free list and frees the record.
void MPDelete(MemoryPool* pool);

// Slot-cache adapters for the compression libraries (opaque = the cache).
enum { SLOT_FREE = 0, SLOT_BUSY = 1, SLOT_EMPTY = 2 };
void* MPZlibAlloc(void* opaque, unsigned items, unsigned size);
void MPZlibFree(void* opaque, void* ptr);
void* MPBzip2Alloc(void* opaque, int items, int size);
void MPBzip2Free(void* opaque, void* ptr);
void* MPUnzAlloc(void* opaque, unsigned items, unsigned size);
void MPUnzFree(void* opaque, void* ptr);
// A new 16-slot cache from pool: the opaque for MPUnzAlloc / MPUnzFree.
void* MPNewUnzCache(MemoryPool* pool);

// Routes the next zlib / bzip2 streams' memory into pool (null: library default).
void MPSetZlibAlloc(MemoryPool* pool);
void MPSetBzip2Alloc(MemoryPool* pool);
// Routes the libdeflate compressors allocated next into pool, until called
// with null; their memory then lives as long as the pool (freeing is a no-op).
void MPSetDeflateAlloc(MemoryPool* pool);

// The hooks as installed; every stream the program opens reads them at setup.
struct MPZlibHook {
  void* (*alloc)(void*, unsigned, unsigned);
  void (*release)(void*, void*);
  void* opaque;
};
struct MPBzip2Hook {
  void* (*alloc)(void*, int, int);
  void (*release)(void*, void*);
  void* opaque;
};
MPZlibHook MPGetZlibHook();
MPBzip2Hook MPGetBzip2Hook();

// A zip reader (minizip unzFile) over an open stream, which unzClose leaves
// open; null when the stream is not a readable archive.
void* MPUnzOpen(MemoryPool* pool, FILE* stream);
