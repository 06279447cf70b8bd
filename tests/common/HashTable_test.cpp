#include "common/HashTable.h"

#include "tests/common/TestUtil.h"

namespace {

typedef std::pair<uint32_t, int> Rec;  // key, tag
uint32_t KeyHash(const void* key) { return *(const uint32_t*)key; }
bool KeyEqual(const void* key, const void* item) { return *(const uint32_t*)key == ((const Rec*)item)->first; }

// Buckets in order, the latest first in each; a remembered lookup stands for
// no other key, nor for an older item of its own. Past three items a bucket
// on average the buckets grow, and every item stays.
TEST(HashTable, OrderLookupsAndGrowth) {
  MemoryPool* pool = MPNew();
  HashTable* t = HashInit(0, pool, KeyHash, KeyEqual);  // 71 buckets
  int tag = 0;
  auto put = [&](uint32_t key) { HashInsert(t, new (MPAlloc(pool, sizeof(Rec))) Rec{key, tag++}); };
  auto get = [&](uint32_t key) {
    void* item;
    return HashFind(t, &key, &item) ? ((Rec*)item)->second : -1;
  };
  auto walk = [&] {
    std::vector<int> tags;
    void* item;
    for (HashNode* n = HashFirst(t); n; n = HashNext(t)) HashItem(t, n, &item), tags.push_back(((Rec*)item)->second);
    return tags;
  };
  for (uint32_t key : {70u, 5u, 5u + 71, 0u, 5u + 142, 70u}) put(key);
  EXPECT_EQ(walk(), (std::vector<int>{3, 4, 2, 1, 5, 0}));
  EXPECT_EQ(HashNext(t), nullptr);  // stays at the end
  EXPECT_EQ((std::vector<int>{get(76), get(70), get(8)}), (std::vector<int>{2, 5, -1}));
  put(76);
  EXPECT_EQ(get(76), 6);
  auto key = [](int i) { return (uint32_t)i * 2654435761u + 1000; };  // all over the 32 bits, distinct
  while (tag < 213) put(key(tag));
  EXPECT_EQ(t->size, 71);
  put(key(100));  // a second item of key(100), the first past the plan
  EXPECT_GT(t->size, 213);
  while (tag < 852) put(key(tag));
  EXPECT_EQ(walk().size(), 852u);  // and HashFirst restarts
  for (int i = 7; i < 852; i++) ASSERT_EQ(get(key(i)), i == 100 ? 213 : i == 213 ? -1 : i) << i;
  EXPECT_EQ((std::vector<int>{get(76), get(8)}), (std::vector<int>{6, -1}));
  MPDelete(pool);
}

}  // namespace
