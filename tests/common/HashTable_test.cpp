#include "common/HashTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/common/TestUtil.h"

namespace {

struct Rec {
  uint32_t key;
  int tag;
};

uint32_t KeyHash(const void* key) { return *(const uint32_t*)key; }
bool KeyEqual(const void* key, const void* item) { return *(const uint32_t*)key == ((const Rec*)item)->key; }

struct HashTableTest : testing::Test {
  MemoryPool* pool = MPNew();
  void TearDown() override { MPDelete(pool); }
  HashTable* Make(int32_t expected) { return HashInit(expected, pool, KeyHash, KeyEqual); }
  void Put(HashTable* t, uint32_t key, int tag) {
    Rec* r = (Rec*)MPAlloc(pool, sizeof(Rec));
    *r = Rec{key, tag};
    HashInsert(t, r);
  }
  int Get(HashTable* t, uint32_t key) {
    void* item = &key;
    return HashFind(t, &key, &item) ? ((Rec*)item)->tag : item ? -2 : -1;
  }
  std::vector<int> Walk(HashTable* t) {
    std::vector<int> tags;
    void* item;
    for (HashNode* n = HashFirst(t); n; n = HashNext(t)) HashItem(t, n, &item), tags.push_back(((Rec*)item)->tag);
    return tags;
  }
};

TEST_F(HashTableTest, BucketCounts) {
  struct { int32_t expected, buckets; } rows[] = {
      {-5, 71},           {0, 71},          {215, 71},        {216, 173},       {3 * 7919, 7919}, {3 * 7919 + 2, 7919},
      {3 * 7919 + 3, 9733}, {184320, 61631}, {184895, 61631}, {184896, 70657}, {INT32_MAX, 70657}};
  for (auto& r : rows) {
    SCOPED_TRACE(r.expected);
    HashTable* t = Make(r.expected);
    EXPECT_EQ(t->size, r.buckets);
    for (int32_t b = 0; b < t->size; b++) ASSERT_EQ(t->table[b], nullptr);  // and ASan checks the size
    EXPECT_EQ(HashFirst(t), nullptr);
  }
}

TEST_F(HashTableTest, BucketOrderLatestFirst) {
  HashTable* t = Make(0);  // 71 buckets
  int tag = 1;
  for (uint32_t key : {70u, 5u, 5u + 71, 0u, 5u + 142, 70u}) Put(t, key, tag++);
  EXPECT_EQ(Walk(t), (std::vector<int>{4, 5, 3, 2, 6, 1}));
  EXPECT_EQ(HashNext(t), nullptr);  // stays at the end
  EXPECT_EQ(Walk(t), (std::vector<int>{4, 5, 3, 2, 6, 1}));  // HashFirst restarts
  EXPECT_EQ((std::vector<int>{Get(t, 76), Get(t, 70), Get(t, 8)}), (std::vector<int>{3, 6, -1}));  // latest; a miss
}

// Up to three items per bucket the layout is the planned one; past that the
// buckets grow, every item stays, and of equal keys the latest still wins.
TEST_F(HashTableTest, GrowsPastThreePerBucket) {
  struct { int32_t expected, buckets; } rows[] = {{0, 71}, {HOST_TABLE_EXPECTED, 61631}};
  for (auto& r : rows) {
    SCOPED_TRACE(r.expected);
    HashTable* t = Make(r.expected);
    const int planned = 3 * r.buckets;
    std::vector<int> want(planned);
    auto key = [](int i) { return (uint32_t)i * 2654435761u; };  // all over the 32 bits, distinct
    for (int i = 0; i < planned; i++) Put(t, key(i), i);
    for (int i = 0; i < planned; i++) want[i] = planned - 1 - i;
    if (r.buckets == 71) {
      std::stable_sort(want.begin(), want.end(), [&](int a, int b) { return key(a) % 71 < key(b) % 71; });
      EXPECT_EQ(Walk(t), want);
    }
    EXPECT_EQ(t->size, r.buckets);
    Put(t, key(1), planned);  // a second item of key(1), the first past the plan
    EXPECT_GT(t->size, 3 * r.buckets);
    for (int i = planned + 1; i < 4 * planned; i++) Put(t, key(i), i);
    std::vector<int> tags = Walk(t);
    std::sort(tags.begin(), tags.end());
    ASSERT_EQ((int)tags.size(), 4 * planned);
    for (int i = 0; i < 4 * planned; i++) ASSERT_EQ(tags[i], i);
    EXPECT_EQ(Get(t, key(1)), planned);
    for (int i = 2; i < 4 * planned; i += 97) EXPECT_EQ(Get(t, key(i)), i);
  }
}

}  // namespace
