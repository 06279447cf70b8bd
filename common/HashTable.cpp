#include "common/HashTable.h"

#include "common/MemoryPool.h"

#define ASSERT_MODULE "common/HashTable"
#include "common/Assert.h"

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

HashTable* HashInit(int32_t expected, MemoryPool* pool, HashFunc hash, HashEqualFunc equal) {
  LV_ASSERT(hash && equal);
  HashTable* t = (HashTable*)MPAlloc(pool, sizeof(HashTable));
  t->size = BucketCount(expected);
  size_t bytes = (size_t)t->size * sizeof(HashNode*);
  // A 64-bit bucket array may outgrow a pool block; it still dies with the pool.
  t->table = (HashNode**)(bytes <= MP_BLOCK_SIZE ? MPAlloc(pool, (int32_t)bytes)
                                                 : MPAllocLarge(pool, bytes));
  for (int32_t i = 0; i < t->size; i++) t->table[i] = nullptr;
  t->pool = pool;
  t->hash = hash;
  t->equal = equal;
  t->iter_bucket = 0;
  t->iter_node = nullptr;
  return t;
}

bool HashFind(HashTable* t, const void* key, void** item) {
  uint32_t bucket = t->hash(key) % (uint32_t)t->size;
  for (HashNode* n = t->table[bucket]; n; n = n->next) {
    if (t->equal(key, n->item)) {
      *item = n->item;
      return true;
    }
  }
  *item = nullptr;
  return false;
}

bool HashInsert(HashTable* t, void* item) {
  HashNode* n = (HashNode*)MPAlloc(t->pool, sizeof(HashNode));
  uint32_t bucket = t->hash(item) % (uint32_t)t->size;
  n->item = item;
  n->next = t->table[bucket];
  t->table[bucket] = n;
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
