// Chained hash table of caller records with a prime bucket count, fixed until
// the table holds more than three items per bucket. Stores no keys: a record
// must begin with its key in the form probes use.
#pragma once
#include <cstdint>

struct MemoryPool;

typedef uint32_t (*HashFunc)(const void* key);
typedef bool (*HashEqualFunc)(const void* key, const void* item);

struct HashNode {
  HashNode* next;
  void* item;
};

struct HashTable {
  int32_t size;  // buckets
  HashNode** table;
  MemoryPool* pool;
  HashFunc hash;
  HashEqualFunc equal;
  int32_t iter_bucket;  // next bucket the iteration examines
  HashNode* iter_node;  // next node the iteration hands out
  int32_t count;        // items held
  // Per slot of the hash, the item last found or inserted: the latest of its
  // key, so a probe that meets its key here needs no walk. At least as many
  // slots as buckets, a power of two.
  void** recent;
  int32_t recent_shift;  // 32 - log2(slots)
};

// Everything comes from pool and lives as long as it.
HashTable* HashInit(int32_t expected, MemoryPool* pool, HashFunc hash, HashEqualFunc equal);
// The most recently inserted matching item, or null.
bool HashFind(HashTable* t, const void* key, void** item);
// Starts bringing in what HashFind(t, key) will read: with depth 0 the slot
// and bucket, with depth 1 the item and node they name. Depth 1 reads what 0
// brought in, so the two are asked for some time apart, then the probe.
void HashPrefetch(HashTable* t, const void* key, int depth);
// Inserts at the head of its chain; no duplicate test. Always true. Past
// three items per bucket the buckets grow about fourfold; the order of the
// items of one key stays.
bool HashInsert(HashTable* t, void* item);
// Bucket order, latest-inserted first within a bucket (once grown, among the
// items of one key); one iteration at a time.
HashNode* HashFirst(HashTable* t);
HashNode* HashNext(HashTable* t);
void HashItem(HashTable* t, HashNode* node, void** item);
void HashFini(HashTable* t);
