#include "common/HashTable.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "common/MemoryPool.h"

static bool mp_ready = (MPInit(), true);

namespace {

struct Rec {
  uint32_t key;
  int tag;
};

uint32_t KeyHash(const void* key) { return *(const uint32_t*)key; }
bool KeyEqual(const void* key, const void* item) {
  return *(const uint32_t*)key == ((const Rec*)item)->key;
}

struct HashTableTest : testing::Test {
  MemoryPool* pool = MPNew();
  void TearDown() override { MPDelete(pool); }
  HashTable* Make(int32_t expected) { return HashInit(expected, pool, KeyHash, KeyEqual); }
  Rec* New(uint32_t key, int tag) {
    Rec* r = (Rec*)MPAlloc(pool, sizeof(Rec));
    *r = Rec{key, tag};
    return r;
  }
  std::vector<int> Walk(HashTable* t) {
    std::vector<int> tags;
    for (HashNode* n = HashFirst(t); n; n = HashNext(t)) {
      void* item;
      HashItem(t, n, &item);
      tags.push_back(((Rec*)item)->tag);
    }
    return tags;
  }
};

TEST_F(HashTableTest, BucketCounts) {
  struct {
    int32_t expected, buckets;
  } rows[] = {{-5, 71},         {0, 71},          {215, 71},        {216, 173},
              {3 * 7919, 7919}, {3 * 7919 + 2, 7919}, {3 * 7919 + 3, 9733}, {184320, 61631}, {184895, 61631},
              {184896, 70657},  {INT32_MAX, 70657}};
  for (auto& r : rows) {
    SCOPED_TRACE(r.expected);
    HashTable* t = Make(r.expected);
    EXPECT_EQ(t->size, r.buckets);
    for (int32_t b = 0; b < t->size; b++) ASSERT_EQ(t->table[b], nullptr);
    EXPECT_EQ(HashFirst(t), nullptr);
  }
}

TEST_F(HashTableTest, BigBucketArrayDiesWithPool) {
  HashTable* t = Make(184320);  // 61631 x 8 bytes: larger than a block
  t->table[61630] = nullptr;
  EXPECT_TRUE(HashInsert(t, New(61630, 1)));
  void* found;
  uint32_t key = 61630;
  EXPECT_TRUE(HashFind(t, &key, &found));
}

TEST_F(HashTableTest, FindAndMiss) {
  HashTable* t = Make(0);
  for (uint32_t k = 0; k < 500; k++) HashInsert(t, New(k * 7, (int)k));
  for (uint32_t k = 0; k < 500; k++) {
    uint32_t key = k * 7;
    void* item = nullptr;
    ASSERT_TRUE(HashFind(t, &key, &item));
    EXPECT_EQ(((Rec*)item)->tag, (int)k);
  }
  uint32_t absent = 8;
  void* item = &absent;
  EXPECT_FALSE(HashFind(t, &absent, &item));
  EXPECT_EQ(item, nullptr);
}

TEST_F(HashTableTest, DuplicateKeysKeepBothLatestWins) {
  HashTable* t = Make(0);
  HashInsert(t, New(42, 1));
  HashInsert(t, New(42, 2));
  uint32_t key = 42;
  void* item;
  ASSERT_TRUE(HashFind(t, &key, &item));
  EXPECT_EQ(((Rec*)item)->tag, 2);
  EXPECT_EQ(Walk(t), (std::vector<int>{2, 1}));
}

TEST_F(HashTableTest, IterationIsBucketOrderLatestFirst) {
  HashTable* t = Make(0);  // 71 buckets
  HashInsert(t, New(70, 1));
  HashInsert(t, New(5, 2));
  HashInsert(t, New(5 + 71, 3));
  HashInsert(t, New(0, 4));
  HashInsert(t, New(5 + 142, 5));
  EXPECT_EQ(Walk(t), (std::vector<int>{4, 5, 3, 2, 1}));
  EXPECT_EQ(HashNext(t), nullptr);  // stays at the end
  EXPECT_EQ(Walk(t), (std::vector<int>{4, 5, 3, 2, 1}));  // HashFirst restarts
}

TEST_F(HashTableTest, HostTableCollisionsComeOutLatestFirst) {
  HashTable* t = Make(184320);
  HashInsert(t, New(1000, 1));
  HashInsert(t, New(1000 + 61631u * 3, 2));
  EXPECT_EQ(Walk(t), (std::vector<int>{2, 1}));
}

}  // namespace
