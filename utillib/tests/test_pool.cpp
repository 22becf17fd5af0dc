// Record pools: every case runs on the four combinations of handle kind
// (plain, 64-bit) and storage (one block, heap), through one adapter table.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "vqx_pool.h"
#include "vqx_pool_internal.h"

namespace {

u64 FirstWordKey(void*, const void* pRecord) {
  u32 un32Key;
  std::memcpy(&un32Key, pRecord, sizeof(un32Key));
  return un32Key;
}

// One pool kind seen through plain function pointers, so that each test body
// serves both handle kinds.
struct PoolApi {
  const char* pszName;
  void* (*create)(u32 nb, u32 size, PFN_VQX_POOL_GET_KEY fct, void* ctx, u32 heap);
  void* (*alloc)(void* h, u64 key);
  VQX_RESULT (*free)(void* h, void* rec);
  void* (*find)(void* h, u64 key);
  void* (*first)(void* h);
  void* (*next)(void* h, const void* rec);
  void* (*last)(void* h);
  VQX_RESULT (*usage)(void* h, u32* free, u32* used);
  VQX_RESULT (*index)(void* h, const void* rec, u32* idx);
  void* (*byIndex)(void* h, u32 idx);
  VQX_RESULT (*destroy)(void* h);
  VQX_RESULT (*check)(void* h);
  PFN_VQX_POOL_VPRINTF* ppHook;
  void** ppHookContext;
};

#define POOL_API(PFX, HANDLE, HOOK, HOOKCTX, CREATE)                                                           \
  PoolApi {                                                                                                      \
    #PFX, CREATE, [](void* h, u64 k) { return PFX##Alloc(static_cast<HANDLE>(h), k); },                          \
        [](void* h, void* r) { return PFX##Free(static_cast<HANDLE>(h), r); },                                   \
        [](void* h, u64 k) { return PFX##Find(static_cast<HANDLE>(h), k); },                                     \
        [](void* h) { return PFX##First(static_cast<HANDLE>(h)); },                                              \
        [](void* h, const void* r) { return PFX##Next(static_cast<HANDLE>(h), r); },                             \
        [](void* h) { return PFX##Last(static_cast<HANDLE>(h)); },                                               \
        [](void* h, u32* f, u32* u) { return PFX##GetUsage(static_cast<HANDLE>(h), f, u); },                     \
        [](void* h, const void* r, u32* i) { return PFX##GetBufferIndex(static_cast<HANDLE>(h), r, i); },        \
        [](void* h, u32 i) { return PFX##FindBufferByIndex(static_cast<HANDLE>(h), i); },                        \
        [](void* h) { return PFX##Destroy(static_cast<HANDLE>(h)); },                                            \
        [](void* h) { return Vqx##PFX##Check(static_cast<HANDLE>(h)); }, &HOOK, &HOOKCTX                         \
  }

#define VqxVQXPoolOfBuffersCheck VqxPoolOfBuffersCheck
#define VqxVQXPoolOfBuffers64Check VqxPoolOfBuffers64Check

const PoolApi kPlain = POOL_API(VQXPoolOfBuffers, HVQXPOOLOFBUFFERS, g_pFctVqxPoolOfBuffersvPrintf,
                                g_pVqxPoolOfBuffersvPrintfContext,
                                [](u32 n, u32 s, PFN_VQX_POOL_GET_KEY f, void* c, u32 heap) -> void* {
                                  return VQXPoolOfBuffersCreate(n, s, f, c, heap);
                                });
const PoolApi k64 = POOL_API(VQXPoolOfBuffers64, HVQXPOOLOFBUFFERS64, g_pFctVqxPoolOfBuffers64vPrintf,
                             g_pVqxPoolOfBuffers64vPrintfContext,
                             [](u32 n, u32 s, PFN_VQX_POOL_GET_KEY f, void* c, u32 heap) -> void* {
                               return VQXPoolOfBuffers64Create(n, s, f, c, heap);
                             });

struct Combo {
  const PoolApi* pApi;
  u32 fHeap;
};

// Collects what the pool prints through its hook.
struct Capture {
  std::string text;
  int nCalls = 0;
  static int Print(void* pContext, const char* pszFormat, va_list va) {
    auto* c = static_cast<Capture*>(pContext);
    char sz[512];
    const int n = std::vsnprintf(sz, sizeof(sz), pszFormat, va);
    c->text += sz;
    ++c->nCalls;
    return n;
  }
};

// Installs a capture on one kind's hook for a scope, then puts back the old one.
class HookGuard {
 public:
  HookGuard(const PoolApi& api, Capture* pCapture)
      : ppHook_(api.ppHook), ppCtx_(api.ppHookContext), pSaved_(*api.ppHook), pSavedCtx_(*api.ppHookContext) {
    *ppHook_ = Capture::Print;
    *ppCtx_ = pCapture;
  }
  ~HookGuard() {
    *ppHook_ = pSaved_;
    *ppCtx_ = pSavedCtx_;
  }

 private:
  PFN_VQX_POOL_VPRINTF* ppHook_;
  void** ppCtx_;
  PFN_VQX_POOL_VPRINTF pSaved_;
  void* pSavedCtx_;
};

class PoolTest : public ::testing::TestWithParam<Combo> {
 protected:
  const PoolApi& api() const { return *GetParam().pApi; }
  void* Make(u32 nb, u32 size, bool fKeyed = true) {
    void* h = api().create(nb, size, fKeyed ? FirstWordKey : nullptr, nullptr, GetParam().fHeap);
    pools_.push_back(h);
    return h;
  }
  void TearDown() override {
    for (void* h : pools_) EXPECT_EQ(api().destroy(h), VQX_RESULT_OK);
  }
  // Used records, head first.
  std::vector<void*> Walk(void* h) {
    std::vector<void*> v;
    for (void* r = api().first(h); r != nullptr && v.size() < 100000; r = api().next(h, r)) v.push_back(r);
    return v;
  }
  void* AllocKeyed(void* h, u32 key) {
    void* r = api().alloc(h, key);
    if (r != nullptr) std::memcpy(r, &key, sizeof(key));
    return r;
  }
  std::vector<void*> pools_;
};

TEST_P(PoolTest, CreationArguments) {
  struct Row {
    const char* pszName;
    u32 nb, size;
    bool fCreated;
    u32 un32Count;
  };
  const Row aRows[] = {
      {"zero count refused", 0, 16, false, 0},
      {"zero size refused", 4, 0, false, 0},
      {"count 1 taken as 2", 1, 8, true, 2},
      {"count 2", 2, 8, true, 2},
      {"odd size", 7, 13, true, 7},
      {"count above the limit refused", VQX_POOL_MAX_BUFFERS + 1, 8, false, 0},
  };
  for (const Row& r : aRows) {
    void* h = api().create(r.nb, r.size, FirstWordKey, nullptr, GetParam().fHeap);
    EXPECT_EQ(h != nullptr, r.fCreated) << r.pszName;
    if (h == nullptr) continue;
    u32 un32Free = 0, un32Used = 99;
    EXPECT_EQ(api().usage(h, &un32Free, &un32Used), VQX_RESULT_OK);
    EXPECT_EQ(un32Free, r.un32Count) << r.pszName;
    EXPECT_EQ(un32Used, 0u) << r.pszName;
    EXPECT_EQ(api().destroy(h), VQX_RESULT_OK);
  }
  EXPECT_EQ(api().create(4, 8, nullptr, nullptr, 2), nullptr) << "heap mode is 0 or 1";
}

TEST_P(PoolTest, RecordsAreZeroedAlignedAndRoundedTo8) {
  void* h = Make(4, 13);
  ASSERT_NE(h, nullptr);
  unsigned char* a = static_cast<unsigned char*>(AllocKeyed(h, 1));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 8, 0u);
  std::memset(a + 4, 0xAB, 12);  // the whole rounded record (16 bytes) is the caller's
  ASSERT_EQ(api().free(h, a), VQX_RESULT_OK);
  unsigned char* b = static_cast<unsigned char*>(api().alloc(h, 2));
  ASSERT_NE(b, nullptr);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(b[i], 0) << "byte " << i << " not zeroed";
  unsigned char* c = static_cast<unsigned char*>(api().alloc(h, 3));
  ASSERT_NE(c, nullptr);
  if (!GetParam().fHeap) {
    const auto d = reinterpret_cast<uintptr_t>(b) > reinterpret_cast<uintptr_t>(c)
                       ? reinterpret_cast<uintptr_t>(b) - reinterpret_cast<uintptr_t>(c)
                       : reinterpret_cast<uintptr_t>(c) - reinterpret_cast<uintptr_t>(b);
    EXPECT_EQ(d % 16, 0u) << "records 16 bytes apart";
  }
  EXPECT_EQ(api().check(h), VQX_RESULT_OK);
}

TEST_P(PoolTest, ExhaustionAndRecovery) {
  void* h = Make(8, 24);
  ASSERT_NE(h, nullptr);
  std::vector<void*> v;
  for (u32 k = 0; k < 8; ++k) {
    v.push_back(AllocKeyed(h, 100 + k));
    ASSERT_NE(v.back(), nullptr) << k;
  }
  EXPECT_EQ(api().alloc(h, 999), nullptr) << "ninth record";
  u32 un32Free = 99, un32Used = 0;
  EXPECT_EQ(api().usage(h, &un32Free, &un32Used), VQX_RESULT_OK);
  EXPECT_EQ(un32Free, 0u);
  EXPECT_EQ(un32Used, 8u);
  EXPECT_EQ(api().usage(h, nullptr, &un32Used), VQX_RESULT_OK) << "free count optional";
  EXPECT_EQ(api().free(h, v[3]), VQX_RESULT_OK);
  EXPECT_NE(AllocKeyed(h, 999), nullptr);
  EXPECT_EQ(api().find(h, 103), nullptr);
  EXPECT_NE(api().find(h, 999), nullptr);
  EXPECT_EQ(api().check(h), VQX_RESULT_OK);
}

TEST_P(PoolTest, DuplicateKeyIsRefusedAndTracedThroughTheHook) {
  void* h = Make(4, 16);
  ASSERT_NE(h, nullptr);
  const PoolApi& other = (&api() == &kPlain) ? k64 : kPlain;
  Capture mine, theirs;
  void* a = nullptr;
  {
    HookGuard gMine(api(), &mine), gTheirs(other, &theirs);
    a = api().alloc(h, 0x123456789ABCDEF0ull);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(api().alloc(h, 0x123456789ABCDEF0ull), nullptr);
    EXPECT_NE(api().alloc(h, 0x023456789ABCDEF0ull), nullptr) << "keys differing above bit 31 are distinct";
  }

  char szExpected[200];
  std::snprintf(szExpected, sizeof(szExpected),
                "\nProcess 0x%X: VQXPool:Error: Caller trying to allocate two elements with the same hashing key "
                "(0x9ABCDEF0)!!!\n",
                static_cast<unsigned>(getpid()));
  EXPECT_EQ(mine.text, szExpected);
  EXPECT_EQ(mine.nCalls, 1);
  EXPECT_EQ(theirs.nCalls, 0) << "each kind prints through its own hook";
  EXPECT_EQ(api().find(h, 0x123456789ABCDEF0ull), a) << "the first record keeps the key";
  u32 un32Used = 0;
  EXPECT_EQ(api().usage(h, nullptr, &un32Used), VQX_RESULT_OK);
  EXPECT_EQ(un32Used, 2u);
}

TEST_P(PoolTest, UnkeyedPoolIgnoresKeys) {
  void* h = Make(3, 8, false);
  ASSERT_NE(h, nullptr);
  EXPECT_NE(api().alloc(h, 5), nullptr);
  EXPECT_NE(api().alloc(h, 5), nullptr) << "no key index: same key twice is fine";
  EXPECT_EQ(api().find(h, 5), nullptr);
  EXPECT_EQ(api().check(h), VQX_RESULT_OK);
}

TEST_P(PoolTest, FreeOfAnythingButAUsedRecordIsRefused) {
  // A power-of-two record size and another one: the pool maps pointers to
  // records by shift in the first case and by multiplication in the second.
  for (u32 un32Size : {16u, 24u}) {
    void* h = Make(4, un32Size);
    void* hOther = Make(4, un32Size);
    ASSERT_NE(h, nullptr);
    ASSERT_NE(hOther, nullptr);
    auto* a = static_cast<unsigned char*>(AllocKeyed(h, 1));
    auto* b = static_cast<unsigned char*>(AllocKeyed(h, 2));
    void* pForeign = AllocKeyed(hOther, 1);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    u64 un64Stack = 0;
    void* pHeap = std::malloc(16);
    ASSERT_EQ(api().free(h, b), VQX_RESULT_OK);
    struct Row {
      const char* pszName;
      void* p;
      VQX_RESULT expected;
    };
    const Row aRows[] = {
        {"null record", nullptr, 0x82000009u},
        {"stack variable", &un64Stack, 0x8200000Au},
        {"heap block of nobody", pHeap, 0x8200000Au},
        {"record of another pool", pForeign, 0x8200000Au},
        {"inside a record, +1", a + 1, 0x8200000Au},
        {"inside a record, +8", a + 8, 0x8200000Au},
        {"already free", b, 0x8200000Au},
        {"one record before the first", a - un32Size, 0x8200000Au},
    };
    for (const Row& r : aRows) {
      EXPECT_EQ(api().free(h, r.p), r.expected) << r.pszName << ", size " << un32Size;
      u32 un32Used = 0;
      EXPECT_EQ(api().usage(h, nullptr, &un32Used), VQX_RESULT_OK);
      EXPECT_EQ(un32Used, 1u) << r.pszName << ": nothing changed";
      EXPECT_EQ(api().check(h), VQX_RESULT_OK) << r.pszName;
      EXPECT_EQ(api().next(h, r.p), nullptr) << r.pszName << ": Next refuses it too";
    }
    EXPECT_EQ(api().first(h), a);
    EXPECT_EQ(api().free(h, a), VQX_RESULT_OK);
    EXPECT_EQ(api().free(nullptr, a), 0x82000009u);
    std::free(pHeap);
  }
}

TEST_P(PoolTest, WalkOrderNewestFirstLastIsOldest) {
  void* h = Make(8, 8);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(api().first(h), nullptr);
  EXPECT_EQ(api().last(h), nullptr);
  std::vector<void*> r(6);
  for (u32 k = 1; k <= 5; ++k) r[k] = AllocKeyed(h, k);
  EXPECT_EQ(Walk(h), (std::vector<void*>{r[5], r[4], r[3], r[2], r[1]}));
  EXPECT_EQ(api().last(h), r[1]);
  ASSERT_EQ(api().free(h, r[3]), VQX_RESULT_OK);
  EXPECT_EQ(Walk(h), (std::vector<void*>{r[5], r[4], r[2], r[1]}));
  ASSERT_EQ(api().free(h, r[1]), VQX_RESULT_OK);
  EXPECT_EQ(api().last(h), r[2]) << "oldest still in use";
  ASSERT_EQ(api().free(h, r[5]), VQX_RESULT_OK);
  EXPECT_EQ(api().first(h), r[4]);
  void* pNew = AllocKeyed(h, 9);
  EXPECT_EQ(Walk(h), (std::vector<void*>{pNew, r[4], r[2]}));
  EXPECT_EQ(api().check(h), VQX_RESULT_OK);
}

TEST_P(PoolTest, WalkWhileFreeingTheRecordJustVisited) {
  void* h = Make(64, 32);
  ASSERT_NE(h, nullptr);
  for (u32 k = 0; k < 64; ++k) ASSERT_NE(AllocKeyed(h, k), nullptr);
  // Free every record whose key is even while walking; allocate one new
  // record on the way (it goes to the head, behind the walk).
  u32 un32Visited = 0;
  bool fAllocated = false;
  for (void* r = api().first(h); r != nullptr && un32Visited < 1000; ++un32Visited) {
    void* pNext = api().next(h, r);
    u32 un32Key;
    std::memcpy(&un32Key, r, sizeof(un32Key));
    if (un32Key % 2 == 0) {
      ASSERT_EQ(api().free(h, r), VQX_RESULT_OK);
      if (!fAllocated) {
        ASSERT_NE(AllocKeyed(h, 1000), nullptr);
        fAllocated = true;
      }
    }
    r = pNext;
  }
  EXPECT_EQ(un32Visited, 64u) << "each original record visited once, the new one not";
  std::vector<void*> v = Walk(h);
  ASSERT_EQ(v.size(), 33u);
  u32 un32Key;
  std::memcpy(&un32Key, v[0], sizeof(un32Key));
  EXPECT_EQ(un32Key, 1000u);
  for (size_t i = 1; i < v.size(); ++i) {
    std::memcpy(&un32Key, v[i], sizeof(un32Key));
    EXPECT_EQ(un32Key, 63u - 2 * (i - 1)) << i;
  }
  // Drain completely the same way.
  for (void* r = api().first(h); r != nullptr;) {
    void* pNext = api().next(h, r);
    ASSERT_EQ(api().free(h, r), VQX_RESULT_OK);
    r = pNext;
  }
  EXPECT_EQ(api().first(h), nullptr);
  EXPECT_EQ(api().last(h), nullptr);
  EXPECT_EQ(api().check(h), VQX_RESULT_OK);
}

TEST_P(PoolTest, IndexIsStableForTheRecordsLife) {
  void* h = Make(16, 40);
  ASSERT_NE(h, nullptr);
  std::vector<void*> v;
  std::vector<u32> idx;
  for (u32 k = 0; k < 16; ++k) {
    v.push_back(AllocKeyed(h, k));
    u32 i = 0xFFFFFFFFu;
    ASSERT_EQ(api().index(h, v.back(), &i), VQX_RESULT_OK);
    ASSERT_LT(i, 16u);
    idx.push_back(i);
  }
  for (u32 k = 0; k < 16; k += 3) ASSERT_EQ(api().free(h, v[k]), VQX_RESULT_OK);
  for (u32 k = 0; k < 16; k += 3) EXPECT_EQ(api().byIndex(h, idx[k]), nullptr) << "index of a freed record";
  for (u32 k = 0; k < 16; k += 3) ASSERT_NE(AllocKeyed(h, 100 + k), nullptr);
  for (u32 k = 0; k < 16; ++k) {
    if (k % 3 == 0) continue;
    u32 i = 0;
    EXPECT_EQ(api().index(h, v[k], &i), VQX_RESULT_OK);
    EXPECT_EQ(i, idx[k]) << "record " << k << " kept its index";
    EXPECT_EQ(api().byIndex(h, idx[k]), v[k]);
  }
  EXPECT_EQ(api().byIndex(h, 16), nullptr) << "beyond the pool";
  EXPECT_EQ(api().byIndex(h, 0xFFFFFFFFu), nullptr);
  u64 un64Stack = 0;
  u32 i = 0;
  EXPECT_EQ(api().index(h, &un64Stack, &i), 0x8200000Au);
  EXPECT_EQ(i, 0xFFFFFFFFu);
  EXPECT_EQ(api().index(h, nullptr, &i), 0x82000009u);
  EXPECT_EQ(api().index(h, v[1], nullptr), 0x82000009u);
  EXPECT_EQ(api().byIndex(nullptr, 0), nullptr);
}

TEST_P(PoolTest, NullAndWrongKindHandles) {
  u32 un32Free = 5, un32Used = 5;
  EXPECT_EQ(api().usage(nullptr, &un32Free, &un32Used), 0x82000009u);
  EXPECT_EQ(un32Free, 0u);
  EXPECT_EQ(un32Used, 0u);
  EXPECT_EQ(api().alloc(nullptr, 1), nullptr);
  EXPECT_EQ(api().find(nullptr, 1), nullptr);
  EXPECT_EQ(api().first(nullptr), nullptr);
  EXPECT_EQ(api().last(nullptr), nullptr);
  EXPECT_EQ(api().next(nullptr, &un32Free), nullptr);
  EXPECT_EQ(api().destroy(nullptr), 0x82000009u);
  // A handle of the other kind is refused without being used.
  const PoolApi& other = (&api() == &kPlain) ? k64 : kPlain;
  void* hOther = other.create(4, 8, FirstWordKey, nullptr, GetParam().fHeap);
  ASSERT_NE(hOther, nullptr);
  void* pRecord = other.alloc(hOther, 7);
  ASSERT_NE(pRecord, nullptr);
  u32 un32Index = 5;
  EXPECT_EQ(api().index(nullptr, pRecord, &un32Index), 0x82000009u);
  EXPECT_EQ(un32Index, 0xFFFFFFFFu);
  EXPECT_EQ(api().alloc(hOther, 1), nullptr);
  EXPECT_EQ(api().find(hOther, 7), nullptr);
  EXPECT_EQ(api().first(hOther), nullptr);
  EXPECT_EQ(api().last(hOther), nullptr);
  EXPECT_EQ(api().next(hOther, pRecord), nullptr);
  EXPECT_EQ(api().byIndex(hOther, 0), nullptr);
  EXPECT_EQ(api().free(hOther, pRecord), 0x8200000Cu);
  EXPECT_EQ(api().usage(hOther, &un32Free, &un32Used), 0x8200000Cu);
  EXPECT_EQ(api().index(hOther, pRecord, &un32Index), 0x8200000Cu);
  EXPECT_EQ(api().check(hOther), 0x8200000Cu);
  EXPECT_EQ(api().destroy(hOther), 0x8200000Cu);
  EXPECT_EQ(other.usage(hOther, nullptr, &un32Used), VQX_RESULT_OK);
  EXPECT_EQ(un32Used, 1u) << "the other kind's calls changed nothing";
  EXPECT_EQ(other.find(hOther, 7), pRecord);
  EXPECT_EQ(other.destroy(hOther), VQX_RESULT_OK);
}

TEST_P(PoolTest, DestroyFreesRecordsStillInUse) {
  // Leak detection (AddressSanitizer) turns a missed record into a failure.
  void* h = api().create(32, 100, FirstWordKey, nullptr, GetParam().fHeap);
  ASSERT_NE(h, nullptr);
  for (u32 k = 0; k < 20; ++k) ASSERT_NE(AllocKeyed(h, k), nullptr);
  EXPECT_EQ(api().destroy(h), VQX_RESULT_OK);
}

TEST_P(PoolTest, RandomisedAgainstAListModel) {
  void* h = Make(200, 24);
  ASSERT_NE(h, nullptr);
  std::list<std::pair<u32, void*>> model;  // head = newest
  std::mt19937 rng(7);
  Capture dup;
  HookGuard guard(api(), &dup);
  int nDuplicates = 0;
  for (int n = 0; n < 20000; ++n) {
    if (rng() % 2 == 0) {
      const u32 key = rng() % 400;
      bool fTaken = false;
      for (auto& e : model) fTaken |= e.first == key;
      void* r = AllocKeyed(h, key);
      nDuplicates += (fTaken && model.size() < 200) ? 1 : 0;
      if (fTaken || model.size() == 200) {
        ASSERT_EQ(r, nullptr) << "op " << n;
      } else {
        ASSERT_NE(r, nullptr) << "op " << n;
        model.emplace_front(key, r);
      }
    } else if (!model.empty()) {
      auto it = model.begin();
      std::advance(it, rng() % model.size());
      ASSERT_EQ(api().free(h, it->second), VQX_RESULT_OK) << "op " << n;
      model.erase(it);
    }
    if (n % 1000 == 0) {
      ASSERT_EQ(api().check(h), VQX_RESULT_OK) << "op " << n;
      std::vector<void*> expected;
      for (auto& e : model) expected.push_back(e.second);
      ASSERT_EQ(Walk(h), expected) << "op " << n;
      ASSERT_EQ(api().last(h), model.empty() ? nullptr : model.back().second);
      for (auto& e : model) ASSERT_EQ(api().find(h, e.first), e.second);
    }
  }
  EXPECT_GT(nDuplicates, 0);
  EXPECT_EQ(dup.nCalls, nDuplicates) << "one line per refused duplicate, none for a full pool";
}

INSTANTIATE_TEST_SUITE_P(Kinds, PoolTest,
                         ::testing::Values(Combo{&kPlain, 0}, Combo{&kPlain, 1}, Combo{&k64, 0}, Combo{&k64, 1}),
                         [](const ::testing::TestParamInfo<Combo>& i) {
                           return std::string(i.param.pApi == &kPlain ? "Plain" : "Pool64") +
                                  (i.param.fHeap ? "Heap" : "Block");
                         });

TEST(PoolCreation, KeyKindAndReservedArgumentAreChecked) {
  EXPECT_EQ(VQXPoolOfBuffersCreatePrivate(4, 8, FirstWordKey, nullptr, 0, 1, __FILE__, __LINE__, 0), nullptr);
  EXPECT_EQ(VQXPoolOfBuffersCreatePrivate(4, 8, FirstWordKey, nullptr, 1, 0, __FILE__, __LINE__, 0), nullptr);
  HVQXPOOLOFBUFFERS h = VQXPoolOfBuffersCreatePrivate(4, 8, FirstWordKey, nullptr, 0, 0, __FILE__, __LINE__, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(VQXPoolOfBuffersDestroy(h), VQX_RESULT_OK);
}

}  // namespace
