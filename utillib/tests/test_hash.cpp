// Hash tables: exact result codes, both kinds of keys, the maximum, growth through the prime sizes, and a randomised
// comparison with std::unordered_map under churn (removal markers). Every table is checked whole when it is freed.
#include <unordered_map>

#include "support/vqx_test_support.h"
#include "vqx_hash.h"
#include "vqx_hash_internal.h"

namespace {

constexpr VQX_RESULT kOk = 0x02000000u, kExists = 0x82000005u, kFull = 0x82000008u, kNull = 0x82000009u,
                     kInvalid = 0x8200000Au, kAbsent = 0x82000015u;
using R = std::pair<VQX_RESULT, u64>;

struct HashDeleter {
  void operator()(VQX_HASH* h) const { EXPECT_EQ((Results{VqxHashCheck(h), VQXHashDestroy(h)}), Results(2, kOk)); }
};
using HashPtr = std::unique_ptr<VQX_HASH, HashDeleter>;
HashPtr Keyed(u32 un32Max = 0) { return HashPtr(VQXHashCreateWithKeyInternal(un32Max, "test", 0)); }

// (result, out value) of one call whose out value starts at 77.
R Find(VQX_HASH* h, u64 k) {
  u64 v = 77;
  return {VQXHashFind(h, k, &v), v};
}
R Remove(VQX_HASH* h, u64 k) {
  u64 v = 77;
  return {VQXHashRemove(h, k, &v), v};
}
VQX_HASH_STATS Stats(VQX_HASH* h) {
  VQX_HASH_STATS s{};
  EXPECT_EQ(VqxHashGetStats(h, &s), kOk);
  return s;
}

TEST(Hash, ResultCodesInOrderOnATableOfFour) {
  const struct { const char* pszName; u64 un64Key, un64Value; VQX_RESULT expected; } rows[] = {
      {"key 0 is an ordinary key", 0, 10, kOk},          {"key 1 is an ordinary key", 1, 11, kOk},
      {"all-ones key is an ordinary key", ~0ull, 12, kOk}, {"value all ones refused", 5, ~0ull, kInvalid},
      {"duplicate of key 1", 1, 99, kExists},            {"value 0 accepted", 0x8000000000000000ull, 0, kOk},
      {"fifth entry beyond the maximum", 6, 13, kFull},  {"duplicate reported before fullness", 0, 14, kExists}};
  HashPtr h = Keyed(4);
  for (const auto& r : rows) EXPECT_EQ(VQXHashInsert(h.get(), r.un64Key, r.un64Value), r.expected) << r.pszName;
  // The stored value stays after a duplicate; Find clears its out value (also when absent or the table is null),
  // Remove leaves it untouched when it fails; both take a null out value.
  EXPECT_EQ((std::vector<R>{Find(h.get(), 1), Find(h.get(), 0x8000000000000000ull), Find(h.get(), 6), Remove(h.get(), 6),
                            Remove(h.get(), ~0ull), Find(nullptr, 1), Remove(nullptr, 1)}),
            (std::vector<R>{{kOk, 11}, {kOk, 0}, {kAbsent, 0}, {kAbsent, 77}, {kOk, 12}, {kNull, 0}, {kNull, 77}}));
  EXPECT_EQ((Results{VQXHashFind(h.get(), 0, nullptr), VQXHashRemove(h.get(), ~0ull, nullptr), VQXHashInsert(h.get(), 6, 13)}),
            (Results{kOk, kAbsent, kOk})) << "room again after a removal";
  EXPECT_EQ((Results{VQXHashInsert(nullptr, 1, 2), VQXHashDestroy(nullptr), VQXHashSetCreateFileLine(nullptr, __FILE__, __LINE__)}),
            Results(3, kNull));
}

u64 SerialOf(void* pCalls, u64 un64Value) {  // the key of a value is the u64 it points to
  ++*static_cast<int*>(pCalls);
  return *reinterpret_cast<u64*>(static_cast<uintptr_t>(un64Value));
}

TEST(Hash, CreationArgumentsAndTheKeyFunction) {
  int nCalls = 0;
  // Flags must be 0, a key function is needed, the two reserved callbacks must be null.
  EXPECT_EQ((std::vector<void*>{VQXHashCreateWithKeyInternal(0, "x", 1), VQXHashCreateInternal(0, nullptr, nullptr, nullptr, &nCalls, "x", 0),
                                VQXHashCreateInternal(0, SerialOf, &nCalls, nullptr, &nCalls, "x", 0),
                                VQXHashCreateInternal(0, SerialOf, nullptr, &nCalls, &nCalls, "x", 0),
                                VQXHashCreateInternal(0, SerialOf, nullptr, nullptr, &nCalls, "x", 2)}),
            std::vector<void*>(5));
  EXPECT_EQ(nCalls, 0);
  std::vector<u64> aSerial(33);  // before the table: its check at the end reads them
  const auto value = [&](int i) { return u64(uintptr_t(&aSerial[i])); };
  HashPtr h(VQXHashCreateInternal(32, SerialOf, nullptr, nullptr, &nCalls, "reassembly", 0));
  ASSERT_TRUE(h && VQXHashSetCreateFileLine(h.get(), "origin.cpp", 42) == kOk);
  for (int i = 0; i < 33; ++i) aSerial[i] = 0x1000 + i * 7ull;
  for (int i = 0; i < 32; ++i) ASSERT_EQ(VQXHashInsert(h.get(), aSerial[i], value(i)), kOk);
  EXPECT_EQ((Results{VQXHashInsert(h.get(), aSerial[32], value(32)), VQXHashInsert(h.get(), 0xDEAD, value(0)),
                     VQXHashInsert(h.get(), aSerial[3], value(3))}), (Results{kFull, kInvalid, kExists}))
      << "max 32, a key that is not the value's, a duplicate";
  EXPECT_EQ((std::vector<R>{Remove(h.get(), aSerial[17]), Find(h.get(), aSerial[17])}), (std::vector<R>{{kOk, value(17)}, {kAbsent, 0}}));
  EXPECT_GT(nCalls, 32) << "the key function is consulted at insertion";
}

TEST(Hash, GrowthThroughThePrimesLosesNothing) {
  HashPtr h = Keyed();
  constexpr u32 kNbKeys = 300000;
  const auto key = [](u64 i) { return i * 0x10001ull + 3; };  // regular keys: a weak hash would cluster
  u32 un32Sizes = 0;
  for (u32 i = 0, un32Last = 0; i < kNbKeys; ++i) {
    ASSERT_EQ(VQXHashInsert(h.get(), key(i), i), kOk) << i;
    const u32 un32Slots = Stats(h.get()).un32NbSlots;
    ASSERT_TRUE(un32Slots == std::exchange(un32Last, un32Slots) || (++un32Sizes, VqxHashCheck(h.get()) == kOk)) << "grown to " << un32Slots;
  }
  EXPECT_GE(un32Sizes, 15u) << "growth through the prime table";
  EXPECT_LE(u64(kNbKeys) * 2, Stats(h.get()).un32NbSlots) << "load bound";
  for (u32 i = 0; i < kNbKeys; ++i) ASSERT_EQ(Find(h.get(), key(i)), R(kOk, i));
}

TEST(Hash, RandomisedAgainstUnorderedMap) {
  // A small key space gives many hits, duplicates, misses and removal markers: markers must be recycled, never
  // accumulated (the table stays at the size its live entries need: about 2500 of them, 12263 slots), and nothing
  // may be lost on the way.
  HashPtr h = Keyed();
  std::unordered_map<u64, u64> ref;
  std::mt19937_64 rng(20261206);
  for (int n = 0; n < 300000; ++n) {
    const u64 un64Key = rng() % 5000, un64Value = rng() >> 1;
    const auto it = ref.find(un64Key);
    const bool fFound = it != ref.end();
    if (const u64 op = rng() % 3; op == 0) {
      ASSERT_EQ(VQXHashInsert(h.get(), un64Key, un64Value), fFound ? kExists : kOk) << "op " << n;
      ref.emplace(un64Key, un64Value);
    } else if (op == 1) {
      ASSERT_EQ(Find(h.get(), un64Key), fFound ? R(kOk, it->second) : R(kAbsent, 0)) << "op " << n;
    } else {
      ASSERT_EQ(Remove(h.get(), un64Key), fFound ? R(kOk, it->second) : R(kAbsent, 77)) << "op " << n;
      ref.erase(un64Key);
    }
    const VQX_HASH_STATS s = n % 1000 ? VQX_HASH_STATS{} : Stats(h.get());
    ASSERT_TRUE(n % 1000 || (VqxHashCheck(h.get()) == kOk && s.un32NbEntries == ref.size() && s.un32NbSlots <= 12263 &&
                             u64(s.un32NbEntries + s.un32NbRemoved) * 2 <= s.un32NbSlots)) << "op " << n << " slots " << s.un32NbSlots;
  }
}

}  // namespace
