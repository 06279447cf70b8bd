#include "common/HashTable.h"

#include <cstring>

#include "common/MemoryPool.h"

#define ASSERT_MODULE "common/HashTable"
#include "common/Assert.h"

#define HASH_LOAD 3  // items per bucket the bucket count is made for
#define HASH_GROWTH 4
#define HASH_SIZE_MAX 0x10000000  // no growth past this many buckets

// The k-th primes for k = 20..200 step 20, 280..1000 step 80, 1200..3000
// step 200 and 3800..7000 step 800.
static const int32_t hash_primes[35] = {
    71,    173,   281,   409,   541,   659,   809,   941,   1069,  1223,  1811,  2423,
    3079,  3727,  4409,  5087,  5791,  6473,  7207,  7919,  9733,  11657, 13499, 15401,
    17389, 19423, 21383, 23321, 25391, 27449, 35759, 44201, 52919, 61631, 70657};

static int32_t BucketCount(int32_t expected) {
  int32_t want = expected / 3;
  for (int i = 0; i < 34; i++)
    if (hash_primes[i] >= want) return hash_primes[i];
  return hash_primes[34];
}

static bool IsPrime(int32_t n) {
  for (int32_t d = 3; d <= n / d; d += 2)
    if (n % d == 0) return false;
  return n > 2 && n % 2 != 0;
}

// count null pointers. An array may outgrow a pool block; it still dies with
// the pool.
static void* NewPointers(MemoryPool* pool, int32_t count) {
  size_t bytes = (size_t)count * sizeof(void*);
  void* a = bytes <= MP_BLOCK_SIZE ? MPAlloc(pool, (int32_t)bytes) : MPAllocLarge(pool, bytes);
  memset(a, 0, bytes);
  return a;
}

static inline void** RecentSlot(HashTable* t, uint32_t hash) {
  return &t->recent[(hash * 2654435761u) >> t->recent_shift];
}

// A slot per bucket or more; empty.
static void NewRecent(HashTable* t) {
  int bits = 1;
  while ((1 << bits) < t->size) bits++;
  t->recent = (void**)NewPointers(t->pool, 1 << bits);
  t->recent_shift = 32 - bits;
}

HashTable* HashInit(int32_t expected, MemoryPool* pool, HashFunc hash, HashEqualFunc equal) {
  LV_ASSERT(hash && equal);
  HashTable* t = (HashTable*)MPAlloc(pool, sizeof(HashTable));
  t->size = BucketCount(expected);
  t->table = (HashNode**)NewPointers(pool, t->size);
  t->pool = pool;
  t->hash = hash;
  t->equal = equal;
  t->iter_bucket = 0;
  t->iter_node = nullptr;
  t->count = 0;
  NewRecent(t);
  return t;
}

bool HashFind(HashTable* t, const void* key, void** item) {
  uint32_t h = t->hash(key);
  void** recent = RecentSlot(t, h);
  if (*recent && t->equal(key, *recent)) {
    *item = *recent;
    return true;
  }
  for (HashNode* n = t->table[h % (uint32_t)t->size]; n; n = n->next) {
    if (t->equal(key, n->item)) {
      *item = *recent = n->item;
      return true;
    }
  }
  *item = nullptr;
  return false;
}

void HashPrefetch(HashTable* t, const void* key, int depth) {
  uint32_t h = t->hash(key);
  void** recent = RecentSlot(t, h);
  HashNode** head = &t->table[h % (uint32_t)t->size];
  if (depth == 0) {
    __builtin_prefetch(recent);
    __builtin_prefetch(head);
  } else {
    if (*recent) __builtin_prefetch(*recent);
    if (*head) __builtin_prefetch(*head);
  }
}

// Relinks every node into about four times the buckets. Each old chain is
// taken oldest first, so the items of one key keep their order.
static void Grow(HashTable* t) {
  int32_t size = t->size * HASH_GROWTH + 1;
  while (!IsPrime(size)) size += 2;
  HashNode** table = (HashNode**)NewPointers(t->pool, size);
  for (int32_t b = 0; b < t->size; b++) {
    HashNode* oldest = nullptr;
    for (HashNode *n = t->table[b], *next; n; n = next)
      next = n->next, n->next = oldest, oldest = n;
    for (HashNode *n = oldest, *next; n; n = next) {
      next = n->next;
      HashNode** head = &table[t->hash(n->item) % (uint32_t)size];
      n->next = *head;
      *head = n;
    }
  }
  t->table = table;  // the old arrays stay in the pool until it goes
  t->size = size;
  NewRecent(t);
}

bool HashInsert(HashTable* t, void* item) {
  HashNode* n = (HashNode*)MPAlloc(t->pool, sizeof(HashNode));
  uint32_t h = t->hash(item);
  HashNode** head = &t->table[h % (uint32_t)t->size];
  n->item = item;
  n->next = *head;
  *head = n;
  *RecentSlot(t, h) = item;
  if (++t->count > HASH_LOAD * t->size && t->size <= HASH_SIZE_MAX / HASH_GROWTH) Grow(t);
  return true;
}

HashNode* HashFirst(HashTable* t) {
  t->iter_bucket = 0;
  t->iter_node = nullptr;
  return HashNext(t);
}

HashNode* HashNext(HashTable* t) {
  if (HashNode* n = t->iter_node) {
    t->iter_node = n->next;
    return n;
  }
  for (int32_t b = t->iter_bucket; b < t->size; b++) {
    if (HashNode* n = t->table[b]) {
      t->iter_bucket = b + 1;
      t->iter_node = n->next;
      return n;
    }
  }
  t->iter_bucket = t->size;
  return nullptr;
}

void HashItem(HashTable*, HashNode* node, void** item) { *item = node->item; }

void HashFini(HashTable* t) {
  t->size = 0;
  t->table = nullptr;
  t->hash = nullptr;
  t->equal = nullptr;
}
