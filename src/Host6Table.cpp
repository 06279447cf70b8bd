#define ASSERT_MODULE "src/Logvane"
#include "src/Host6Table.h"

#include <cstring>

#include "common/Assert.h"
#include "common/HashTable.h"
#include "common/MemoryPool.h"

HashTable* host6Table = nullptr;

void Host6Init() {
  LV_ASSERT(hostPool);
  host6Table = HashInit(HOST6_TABLE_EXPECTED, hostPool, Host6KeyHash, Host6KeyEqual);
}

Host6Entry* Host6Find(const IP6Key* key) {
  void* item = nullptr;
  return HashFind(host6Table, key, &item) ? (Host6Entry*)item : nullptr;
}

Host6Entry* Host6Add(const IP6Key* key) {
  Host6Entry* e = (Host6Entry*)MPAlloc(hostPool, sizeof(Host6Entry));
  memset(e, 0, sizeof *e);
  e->address = *key;
  HashInsert(host6Table, e);
  return e;
}

void Host6Count(uint32_t* total, uint32_t* reused) {
  if (!host6Table) return;
  void* item;
  for (HashNode* n = HashFirst(host6Table); n; n = HashNext(host6Table)) {
    HashItem(host6Table, n, &item);
    ++*total;
    if (((Host6Entry*)item)->entry.status == HOST_REUSED) ++*reused;
  }
}

// Addresses of one network differ in their low bytes: all of them are mixed in.
uint32_t Host6KeyHash(const void* key) {
  const uint8_t* b = ((const IP6Key*)key)->b;
  uint32_t h = 2166136261u;
  for (int i = 0; i < 16; i++) h = (h ^ b[i]) * 16777619u;
  return h;
}

bool Host6KeyEqual(const void* key, const void* item) {
  return memcmp(key, &((const Host6Entry*)item)->address, sizeof(IP6Key)) == 0;
}
