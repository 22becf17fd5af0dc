// Hash tables: exact result codes, both kinds of keys, the maximum, growth
// through the prime sizes, removal markers under churn, and a randomised
// comparison with std::unordered_map.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <unordered_map>
#include <vector>

#include "vqx_hash.h"
#include "vqx_hash_internal.h"

namespace {

struct HashDeleter {
  void operator()(VQX_HASH* h) const { EXPECT_EQ(VQXHashDestroy(h), VQX_RESULT_OK); }
};
using HashPtr = std::unique_ptr<VQX_HASH, HashDeleter>;

HashPtr MakeKeyed(u32 un32Max = 0) { return HashPtr(VQXHashCreateWithKeyInternal(un32Max, "test", 0)); }

bool IsPrime(u32 n) {
  if (n < 2) return false;
  for (u64 d = 2; d * d <= n; ++d)
    if (n % d == 0) return false;
  return true;
}

struct Record {
  u64 un64Serial;
  int nPayload;
};
u64 SerialOf(void* pContext, u64 un64Value) {
  ++*static_cast<int*>(pContext);
  return reinterpret_cast<Record*>(static_cast<uintptr_t>(un64Value))->un64Serial;
}
u64 AsValue(const void* p) { return reinterpret_cast<uintptr_t>(p); }

TEST(HashCodes, NullTableGivesNullParamEverywhere) {
  u64 un64Out = 77;
  EXPECT_EQ(VQXHashInsert(nullptr, 1, 2), 0x82000009u);
  EXPECT_EQ(VQXHashFind(nullptr, 1, &un64Out), 0x82000009u);
  EXPECT_EQ(un64Out, 0u) << "Find clears the out value first";
  un64Out = 77;
  EXPECT_EQ(VQXHashRemove(nullptr, 1, &un64Out), 0x82000009u);
  EXPECT_EQ(un64Out, 77u);
  EXPECT_EQ(VQXHashDestroy(nullptr), 0x82000009u);
  EXPECT_EQ(VQXHashSetCreateFileLine(nullptr, __FILE__, __LINE__), 0x82000009u);
}

TEST(HashCodes, TableOfCases) {
  struct Row {
    const char* pszName;
    u64 un64Key;
    u64 un64Value;
    VQX_RESULT expected;
  };
  // Applied in order to one table with a maximum of 4 entries.
  const Row aRows[] = {
      {"key 0 is an ordinary key", 0, 10, 0x02000000u},
      {"key 1 is an ordinary key", 1, 11, 0x02000000u},
      {"all-ones key is an ordinary key", ~0ull, 12, 0x02000000u},
      {"value all ones refused", 5, ~0ull, 0x8200000Au},
      {"duplicate of key 1", 1, 99, 0x82000005u},
      {"value 0 accepted", 0x8000000000000000ull, 0, 0x02000000u},
      {"fifth entry beyond the maximum", 6, 13, 0x82000008u},
      {"duplicate reported before fullness", 0, 14, 0x82000005u},
  };
  HashPtr h = MakeKeyed(4);
  ASSERT_TRUE(h);
  for (const Row& r : aRows) EXPECT_EQ(VQXHashInsert(h.get(), r.un64Key, r.un64Value), r.expected) << r.pszName;
  u64 un64Out = 0;
  ASSERT_EQ(VQXHashFind(h.get(), 1, &un64Out), 0x02000000u);
  EXPECT_EQ(un64Out, 11u) << "the stored value stays after a duplicate";
  EXPECT_EQ(VQXHashFind(h.get(), 0x8000000000000000ull, &un64Out), 0x02000000u);
  EXPECT_EQ(un64Out, 0u);
  un64Out = 5;
  EXPECT_EQ(VQXHashFind(h.get(), 6, &un64Out), 0x82000015u);
  EXPECT_EQ(un64Out, 0u) << "absent: out value cleared";
  EXPECT_EQ(VQXHashFind(h.get(), ~0ull, nullptr), 0x02000000u) << "out value is optional";

  un64Out = 1234;
  EXPECT_EQ(VQXHashRemove(h.get(), 6, &un64Out), 0x82000015u);
  EXPECT_EQ(un64Out, 1234u) << "absent: out value untouched";
  EXPECT_EQ(VQXHashRemove(h.get(), ~0ull, &un64Out), 0x02000000u);
  EXPECT_EQ(un64Out, 12u);
  EXPECT_EQ(VQXHashRemove(h.get(), ~0ull, nullptr), 0x82000015u);
  EXPECT_EQ(VQXHashInsert(h.get(), 6, 13), 0x02000000u) << "room again after a removal";
  EXPECT_EQ(VqxHashCheck(h.get()), 0x02000000u);
}

TEST(HashCodes, CreationRefusesBadArguments) {
  int nCalls = 0;
  EXPECT_EQ(VQXHashCreateWithKeyInternal(0, "x", 1), nullptr) << "flags must be 0";
  EXPECT_EQ(VQXHashCreateInternal(0, nullptr, nullptr, nullptr, &nCalls, "x", 0), nullptr) << "key function needed";
  EXPECT_EQ(VQXHashCreateInternal(0, SerialOf, &nCalls, nullptr, &nCalls, "x", 0), nullptr) << "callbacks null";
  EXPECT_EQ(VQXHashCreateInternal(0, SerialOf, nullptr, &nCalls, &nCalls, "x", 0), nullptr) << "callbacks null";
  EXPECT_EQ(VQXHashCreateInternal(0, SerialOf, nullptr, nullptr, &nCalls, "x", 2), nullptr) << "flags must be 0";
  EXPECT_EQ(nCalls, 0);
}

TEST(HashCodes, CreationSiteAndNameAreKept) {
  HashPtr h(VQXHashCreateWithKeyInternal(0, "a name longer than the thirty-one characters kept", 0));
  ASSERT_TRUE(h);
  EXPECT_EQ(VQXHashSetCreateFileLine(h.get(), "origin.cpp", 42), 0x02000000u);
  VQX_HASH_STATS s{};
  ASSERT_EQ(VqxHashGetStats(h.get(), &s), 0x02000000u);
  EXPECT_STREQ(s.pszName, "a name longer than the thirty-o");
  EXPECT_STREQ(s.pszCreateFile, "origin.cpp");
  EXPECT_EQ(s.un32CreateLine, 42u);
  EXPECT_EQ(s.un32NbEntries, 0u);
}

TEST(HashKeyFunction, KeysComeFromTheValues) {
  int nCalls = 0;
  HashPtr h(VQXHashCreateInternal(32, SerialOf, nullptr, nullptr, &nCalls, "reassembly", 0));
  ASSERT_TRUE(h);
  std::vector<Record> aRec(40);
  for (u32 i = 0; i < aRec.size(); ++i) aRec[i] = {0x1000 + i * 7ull, static_cast<int>(i)};
  for (u32 i = 0; i < 32; ++i)
    ASSERT_EQ(VQXHashInsert(h.get(), aRec[i].un64Serial, AsValue(&aRec[i])), 0x02000000u) << i;
  EXPECT_EQ(VQXHashInsert(h.get(), aRec[32].un64Serial, AsValue(&aRec[32])), 0x82000008u) << "max 32";
  EXPECT_EQ(VQXHashInsert(h.get(), 0xDEAD, AsValue(&aRec[0])), 0x8200000Au) << "key not the value's key";
  EXPECT_EQ(VQXHashInsert(h.get(), aRec[3].un64Serial, AsValue(&aRec[3])), 0x82000005u);
  u64 un64Out = 0;
  ASSERT_EQ(VQXHashFind(h.get(), aRec[17].un64Serial, &un64Out), 0x02000000u);
  EXPECT_EQ(reinterpret_cast<Record*>(static_cast<uintptr_t>(un64Out))->nPayload, 17);
  EXPECT_EQ(VQXHashRemove(h.get(), aRec[17].un64Serial, &un64Out), 0x02000000u);
  EXPECT_EQ(VQXHashFind(h.get(), aRec[17].un64Serial, nullptr), 0x82000015u);
  EXPECT_GT(nCalls, 32) << "the key function is consulted at insertion";
  EXPECT_EQ(VqxHashCheck(h.get()), 0x02000000u);
}

TEST(HashGrowth, PassesManyPrimesAndLosesNothing) {
  HashPtr h = MakeKeyed(0);
  ASSERT_TRUE(h);
  constexpr u32 kNbKeys = 300000;
  std::vector<u32> aSizes;
  VQX_HASH_STATS s{};
  for (u32 i = 0; i < kNbKeys; ++i) {
    const u64 un64Key = static_cast<u64>(i) * 0x10001ull + 3;  // regular keys: a weak hash would cluster
    ASSERT_EQ(VQXHashInsert(h.get(), un64Key, i), 0x02000000u) << i;
    ASSERT_EQ(VqxHashGetStats(h.get(), &s), 0x02000000u);
    if (aSizes.empty() || aSizes.back() != s.un32NbSlots) {
      aSizes.push_back(s.un32NbSlots);
      ASSERT_EQ(VqxHashCheck(h.get()), 0x02000000u) << "after growing to " << s.un32NbSlots;
    }
  }
  EXPECT_GE(aSizes.size(), 14u) << "growth through the prime table";
  for (size_t i = 0; i < aSizes.size(); ++i) {
    EXPECT_TRUE(IsPrime(aSizes[i])) << aSizes[i];
    if (i > 0) {
      EXPECT_GT(aSizes[i], aSizes[i - 1]);
    }
  }
  EXPECT_EQ(s.un32NbEntries, kNbKeys);
  EXPECT_LE(static_cast<u64>(s.un32NbEntries) * 2, static_cast<u64>(s.un32NbSlots)) << "load bound";
  for (u32 i = 0; i < kNbKeys; ++i) {
    u64 un64Out = 0;
    ASSERT_EQ(VQXHashFind(h.get(), static_cast<u64>(i) * 0x10001ull + 3, &un64Out), 0x02000000u) << i;
    ASSERT_EQ(un64Out, i);
  }
  EXPECT_EQ(VqxHashCheck(h.get()), 0x02000000u);
}

TEST(HashRemoval, ChurnDoesNotGrowTheTable) {
  // A sliding window of 1000 live keys: every step removes the oldest and
  // inserts a new one. Markers must be recycled, not accumulated.
  HashPtr h = MakeKeyed(0);
  ASSERT_TRUE(h);
  constexpr u64 kWindow = 1000;
  for (u64 k = 0; k < kWindow; ++k) ASSERT_EQ(VQXHashInsert(h.get(), k, k + 1), 0x02000000u);
  VQX_HASH_STATS s{};
  ASSERT_EQ(VqxHashGetStats(h.get(), &s), 0x02000000u);
  const u32 un32SlotsAtStart = s.un32NbSlots;
  for (u64 k = 0; k < 200000; ++k) {
    u64 un64Out = 0;
    ASSERT_EQ(VQXHashRemove(h.get(), k, &un64Out), 0x02000000u) << k;
    ASSERT_EQ(un64Out, k + 1);
    ASSERT_EQ(VQXHashInsert(h.get(), k + kWindow, k + kWindow + 1), 0x02000000u) << k;
    if (k % 20000 == 0) {
      ASSERT_EQ(VqxHashCheck(h.get()), 0x02000000u) << k;
    }
  }
  ASSERT_EQ(VqxHashGetStats(h.get(), &s), 0x02000000u);
  EXPECT_EQ(s.un32NbEntries, kWindow);
  EXPECT_LE(s.un32NbSlots, un32SlotsAtStart * 3) << "churn must not inflate the table";
  EXPECT_LE(static_cast<u64>(s.un32NbEntries + s.un32NbRemoved) * 2, static_cast<u64>(s.un32NbSlots));
  for (u64 k = 0; k < 200000; ++k) ASSERT_EQ(VQXHashFind(h.get(), k, nullptr), 0x82000015u) << k;
  for (u64 k = 200000; k < 200000 + kWindow; ++k) ASSERT_EQ(VQXHashFind(h.get(), k, nullptr), 0x02000000u) << k;
}

TEST(HashRemoval, ReinsertAfterRemoveFindsTheNewValue) {
  HashPtr h = MakeKeyed(0);
  ASSERT_TRUE(h);
  for (u64 k = 0; k < 500; ++k) ASSERT_EQ(VQXHashInsert(h.get(), k, k), 0x02000000u);
  for (u64 k = 0; k < 500; k += 2) ASSERT_EQ(VQXHashRemove(h.get(), k, nullptr), 0x02000000u);
  // Keys after a removed one in a probe run must stay reachable.
  for (u64 k = 1; k < 500; k += 2) ASSERT_EQ(VQXHashFind(h.get(), k, nullptr), 0x02000000u) << k;
  for (u64 k = 0; k < 500; k += 2) ASSERT_EQ(VQXHashInsert(h.get(), k, k + 1000), 0x02000000u) << k;
  for (u64 k = 1; k < 500; k += 2) EXPECT_EQ(VQXHashInsert(h.get(), k, 0), 0x82000005u) << "no duplicate past a marker";
  for (u64 k = 0; k < 500; ++k) {
    u64 un64Out = 0;
    ASSERT_EQ(VQXHashFind(h.get(), k, &un64Out), 0x02000000u);
    EXPECT_EQ(un64Out, (k % 2 == 0) ? k + 1000 : k);
  }
  EXPECT_EQ(VqxHashCheck(h.get()), 0x02000000u);
}

TEST(HashRandomised, AgreesWithUnorderedMap) {
  HashPtr h = MakeKeyed(0);
  ASSERT_TRUE(h);
  std::unordered_map<u64, u64> ref;
  std::mt19937_64 rng(20261206);
  for (int n = 0; n < 300000; ++n) {
    const u64 un64Key = rng() % 5000;  // small key space: many hits, duplicates and misses
    const u64 un64Value = rng() >> 1;
    u64 un64Out = 0;
    switch (rng() % 3) {
      case 0: {
        const VQX_RESULT r = VQXHashInsert(h.get(), un64Key, un64Value);
        const bool fNew = ref.emplace(un64Key, un64Value).second;
        ASSERT_EQ(r, fNew ? 0x02000000u : 0x82000005u) << "op " << n;
        break;
      }
      case 1: {
        const VQX_RESULT r = VQXHashFind(h.get(), un64Key, &un64Out);
        auto it = ref.find(un64Key);
        ASSERT_EQ(r, it != ref.end() ? 0x02000000u : 0x82000015u) << "op " << n;
        ASSERT_EQ(un64Out, it != ref.end() ? it->second : 0u) << "op " << n;
        break;
      }
      default: {
        const VQX_RESULT r = VQXHashRemove(h.get(), un64Key, &un64Out);
        auto it = ref.find(un64Key);
        ASSERT_EQ(r, it != ref.end() ? 0x02000000u : 0x82000015u) << "op " << n;
        if (it != ref.end()) {
          ASSERT_EQ(un64Out, it->second);
          ref.erase(it);
        }
      }
    }
  }
  VQX_HASH_STATS s{};
  ASSERT_EQ(VqxHashGetStats(h.get(), &s), 0x02000000u);
  EXPECT_EQ(s.un32NbEntries, ref.size());
  EXPECT_EQ(VqxHashCheck(h.get()), 0x02000000u);
}

}  // namespace
