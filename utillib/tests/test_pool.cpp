// Record pools: every case runs on the four combinations of handle kind (plain, 64-bit) and storage (one block,
// heap) through one adapter table; every pool a case makes is checked for consistency and destroyed at its end (with
// records still in use: AddressSanitizer's leak check sees any the pool forgets). The randomised model checks the
// walk, the indexes and the keys after every kind of change, and Next before each Free, as a freeing walk takes it.
#include <unistd.h>

#include <cstdarg>
#include <list>

#include "support/vqx_test_support.h"
#include "vqx_pool.h"
#include "vqx_pool_internal.h"

namespace {

constexpr VQX_RESULT kOk = VQX_RESULT_OK, kNull = 0x82000009u, kInvalid = 0x8200000Au, kBadHandle = 0x8200000Cu;
using Ptrs = std::vector<void*>;

u32 KeyOf(const void* pRecord) {  // the key a test writes in the first word of each record
  u32 un32Key;
  return std::memcpy(&un32Key, pRecord, sizeof(un32Key)), un32Key;
}
u64 FirstWordKey(void*, const void* pRecord) { return KeyOf(pRecord); }

// One pool kind seen through plain function pointers, so that each test body serves both handle kinds.
struct PoolApi {
  void* (*create)(u32 nb, u32 size, PFN_VQX_POOL_GET_KEY fct, u32 heap);
  void* (*alloc)(void* h, u64 key);
  VQX_RESULT (*free)(void* h, void* rec);
  void* (*find)(void* h, u64 key);
  void *(*first)(void* h), *(*next)(void* h, const void* rec), *(*last)(void* h);
  VQX_RESULT (*usage)(void* h, u32* free, u32* used);
  VQX_RESULT (*index)(void* h, const void* rec, u32* idx);
  void* (*byIndex)(void* h, u32 idx);
  VQX_RESULT (*destroy)(void* h), (*check)(void* h);
  PFN_VQX_POOL_VPRINTF* ppHook;
  void** ppHookContext;
};

#define POOL_API(P, H, HOOK)                                                                                       \
  PoolApi {                                                                                                         \
    [](u32 n, u32 s, PFN_VQX_POOL_GET_KEY f, u32 heap) -> void* { return P##Create(n, s, f, nullptr, heap); },      \
        [](void* h, u64 k) { return P##Alloc(H(h), k); }, [](void* h, void* r) { return P##Free(H(h), r); },        \
        [](void* h, u64 k) { return P##Find(H(h), k); }, [](void* h) { return P##First(H(h)); },                    \
        [](void* h, const void* r) { return P##Next(H(h), r); }, [](void* h) { return P##Last(H(h)); },             \
        [](void* h, u32* f, u32* u) { return P##GetUsage(H(h), f, u); },                                            \
        [](void* h, const void* r, u32* i) { return P##GetBufferIndex(H(h), r, i); },                               \
        [](void* h, u32 i) { return P##FindBufferByIndex(H(h), i); }, [](void* h) { return P##Destroy(H(h)); },     \
        [](void* h) { return HOOK##Check(H(h)); }, &g_pFct##HOOK##vPrintf, &g_p##HOOK##vPrintfContext          \
  }
const PoolApi kPlain = POOL_API(VQXPoolOfBuffers, HVQXPOOLOFBUFFERS, VqxPoolOfBuffers);
const PoolApi k64 = POOL_API(VQXPoolOfBuffers64, HVQXPOOLOFBUFFERS64, VqxPoolOfBuffers64);

// Collects the lines one kind's pools print through its hook, for the capture's life.
struct Capture {
  explicit Capture(const PoolApi& a) : api(a) { std::swap(*a.ppHook, fct), std::swap(*a.ppHookContext, ctx); }
  ~Capture() { std::swap(*api.ppHook, fct), std::swap(*api.ppHookContext, ctx); }
  static int Print(void* pCapture, const char* pszFormat, va_list va) {
    char sz[512];
    const int n = std::vsnprintf(sz, sizeof(sz), pszFormat, va);
    return static_cast<Capture*>(pCapture)->lines.push_back(sz), n;
  }
  const PoolApi& api;
  PFN_VQX_POOL_VPRINTF fct = Print;
  void* ctx = this;
  std::vector<std::string> lines;
};

struct Combo { const PoolApi* pApi; u32 fHeap; };

class PoolTest : public ::testing::TestWithParam<Combo> {
 protected:
  const PoolApi& api() const { return *GetParam().pApi; }
  const PoolApi& other() const { return &api() == &kPlain ? k64 : kPlain; }
  void* Make(u32 nb, u32 size, bool fKeyed = true) {
    void* h = api().create(nb, size, fKeyed ? FirstWordKey : nullptr, GetParam().fHeap);
    if (h != nullptr) pools_.push_back(h);
    return h;
  }
  void TearDown() override {
    for (void* h : pools_) {
      EXPECT_EQ(api().check(h), kOk);
      EXPECT_EQ(api().destroy(h), kOk);
    }
  }
  Ptrs Walk(void* h) {  // used records, head first
    Ptrs v;
    for (void* r = api().first(h); r != nullptr && v.size() < 100000; r = api().next(h, r)) v.push_back(r);
    return v;
  }
  void* AllocKeyed(void* h, u32 key) {  // the record holds its key in its first word
    void* r = api().alloc(h, key);
    if (r != nullptr) std::memcpy(r, &key, sizeof(key));
    return r;
  }
  std::pair<u32, u32> Usage(void* h) {  // (free, used)
    u32 un32Free = 99, un32Used = 99;
    EXPECT_EQ(api().usage(h, &un32Free, &un32Used), kOk);
    return {un32Free, un32Used};
  }
  std::vector<void*> pools_;
};

TEST_P(PoolTest, CreationArgumentsCountAndRecords) {
  const struct { const char* pszName; u32 nb, size, un32Count; } rows[] = {  // count 0: refused
              {"zero count refused", 0, 16, 0}, {"zero size refused", 4, 0, 0}, {"count 1 taken as 2", 1, 8, 2},
              {"count 2", 2, 8, 2},           {"size 13 rounded to 16", 7, 13, 7},
              {"count above the limit refused", VQX_POOL_MAX_BUFFERS + 1, 8, 0}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.pszName);
    void* h = Make(r.nb, r.size);
    EXPECT_EQ(h != nullptr, r.un32Count != 0);
    if (h == nullptr) continue;
    const u32 room = (r.size + 7) & ~7u;
    EXPECT_EQ(Usage(h), std::pair(r.un32Count, 0u));
    Ptrs v;
    while (v.size() <= r.un32Count && api().alloc(h, v.size()) != nullptr) v.push_back(api().find(h, v.size()));
    EXPECT_EQ(v.size(), r.un32Count) << "full after its count";
    EXPECT_EQ(Usage(h), std::pair(0u, r.un32Count));
    for (void* p : v) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
      std::memset(p, 0xAB, room);  // the whole rounded record is the caller's
    }
    EXPECT_TRUE(GetParam().fHeap || (static_cast<u8*>(v[1]) - static_cast<u8*>(v[0])) % room == 0);
    ASSERT_EQ(api().free(h, v[0]), kOk);
    auto* p = static_cast<u8*>(AllocKeyed(h, 999));
    ASSERT_NE(p, nullptr) << "room again";
    EXPECT_EQ(std::count(p + 4, p + room, 0), room - 4) << "zeroed";
    EXPECT_TRUE(api().find(h, 0) == nullptr && api().find(h, 999) == p);
  }
  EXPECT_EQ(api().create(4, 8, nullptr, 2), nullptr) << "heap mode is 0 or 1";
  EXPECT_EQ(VQXPoolOfBuffersCreatePrivate(4, 8, FirstWordKey, nullptr, 0, 1, __FILE__, __LINE__, 0), nullptr);
  EXPECT_EQ(VQXPoolOfBuffersCreatePrivate(4, 8, FirstWordKey, nullptr, 1, 0, __FILE__, __LINE__, 0), nullptr);
}

TEST_P(PoolTest, DuplicateKeyIsRefusedAndPrintedThroughItsKindsHook) {
  void* h = Make(4, 16);
  Capture mine(api()), theirs(other());
  void* a = api().alloc(h, 0x123456789ABCDEF0ull);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(api().alloc(h, 0x123456789ABCDEF0ull), nullptr);
  EXPECT_NE(api().alloc(h, 0x023456789ABCDEF0ull), nullptr) << "keys differing above bit 31 are distinct";
  char szExpected[200];
  std::snprintf(szExpected, sizeof(szExpected),
                "\nProcess 0x%X: VQXPool:Error: Caller trying to allocate two elements with the same hashing key "
                "(0x9ABCDEF0)!!!\n",
                static_cast<unsigned>(getpid()));
  EXPECT_EQ(mine.lines, std::vector<std::string>{szExpected});
  EXPECT_TRUE(theirs.lines.empty()) << "each kind prints through its own hook";
  EXPECT_EQ(api().find(h, 0x123456789ABCDEF0ull), a) << "the first record keeps the key";
  EXPECT_EQ(Usage(h), std::pair(2u, 2u));
  // An unkeyed pool ignores keys: the same key twice is fine, Find finds nothing.
  void* hUnkeyed = Make(3, 8, false);
  EXPECT_NE(api().alloc(hUnkeyed, 5), nullptr);
  EXPECT_NE(api().alloc(hUnkeyed, 5), nullptr);
  EXPECT_EQ(api().find(hUnkeyed, 5), nullptr);
}

TEST_P(PoolTest, FreeOfAnythingButAUsedRecordIsRefused) {
  // Records are found from pointers by shift (16) or by multiplication (24): both paths.
  for (u32 un32Size : {16u, 24u}) {
    void* h = Make(4, un32Size);
    void* pForeign = AllocKeyed(Make(4, un32Size), 1);
    auto* a = static_cast<u8*>(AllocKeyed(h, 1));
    auto* b = static_cast<u8*>(AllocKeyed(h, 2));
    ASSERT_TRUE(a && b && pForeign);
    ASSERT_EQ(api().free(h, b), kOk);
    u64 un64Stack = 0;
    std::vector<u8> heap(16);
    const struct { const char* pszName; void* p; VQX_RESULT expected; } rows[] = {{"null record", nullptr, kNull},         {"stack variable", &un64Stack, kInvalid},
                {"heap block of nobody", heap.data(), kInvalid}, {"record of another pool", pForeign, kInvalid},
                {"inside a record, +1", a + 1, kInvalid}, {"inside a record, +8", a + 8, kInvalid},
                {"already free", b, kInvalid},           {"one record before the first", a - un32Size, kInvalid}};
    for (const auto& r : rows) {
      SCOPED_TRACE(testing::Message() << r.pszName << ", size " << un32Size);
      EXPECT_EQ(api().free(h, r.p), r.expected);
      EXPECT_EQ(api().next(h, r.p), nullptr) << "Next refuses it too";
      EXPECT_EQ(Usage(h), std::pair(3u, 1u)) << "nothing changed";
      EXPECT_EQ(api().check(h), kOk);
    }
    EXPECT_EQ(Walk(h), Ptrs{a});
  }
}

TEST_P(PoolTest, NullAndWrongKindHandlesAreRefusedWithoutBeingUsed) {
  u32 un32Free = 5, un32Used = 5, un32Index = 5;
  EXPECT_EQ(api().usage(nullptr, &un32Free, &un32Used), kNull);
  EXPECT_EQ(un32Free + un32Used, 0u) << "counts cleared";
  EXPECT_EQ(std::pair(api().destroy(nullptr), api().free(nullptr, &un32Free)), std::pair(kNull, kNull));
  EXPECT_EQ((Ptrs{api().alloc(nullptr, 1), api().find(nullptr, 1), api().first(nullptr), api().last(nullptr),
                  api().next(nullptr, &un32Free)}),
            Ptrs(5));
  EXPECT_EQ(api().byIndex(nullptr, 0), nullptr);
  void* hOther = other().create(4, 8, FirstWordKey, GetParam().fHeap);
  void* pRecord = other().alloc(hOther, 7);
  ASSERT_NE(pRecord, nullptr);
  EXPECT_EQ(api().index(nullptr, pRecord, &un32Index), kNull);
  EXPECT_EQ(un32Index, 0xFFFFFFFFu);
  un32Index = 5;
  EXPECT_EQ(other().index(hOther, &un32Index, &un32Index), kInvalid) << "not a record";
  EXPECT_EQ(un32Index, 0xFFFFFFFFu);
  EXPECT_EQ(std::pair(other().index(hOther, nullptr, &un32Index), other().index(hOther, pRecord, nullptr)),
            std::pair(kNull, kNull));
  EXPECT_EQ((Ptrs{api().alloc(hOther, 1), api().find(hOther, 7), api().first(hOther), api().last(hOther),
                  api().next(hOther, pRecord), api().byIndex(hOther, 0)}),
            Ptrs(6));
  EXPECT_EQ((Results{api().free(hOther, pRecord), api().usage(hOther, &un32Free, &un32Used),
                     api().index(hOther, pRecord, &un32Index), api().check(hOther), api().destroy(hOther)}),
            Results(5, kBadHandle));
  EXPECT_EQ(other().usage(hOther, nullptr, &un32Used), kOk) << "the free count is optional";
  EXPECT_EQ(un32Used, 1u) << "the other kind's calls changed nothing";
  EXPECT_EQ(other().find(hOther, 7), pRecord);
  EXPECT_EQ(other().destroy(hOther), kOk);
}

TEST_P(PoolTest, RandomisedAgainstAListModel) {
  constexpr u32 kNb = 200;
  void* h = Make(kNb, 40);
  struct Used { u32 key, index; void* p; };
  std::list<Used> model;  // head = newest
  std::mt19937 rng(7);
  Capture dup(api());
  size_t nDuplicates = 0;
  for (int n = 0; n < 20000; ++n) {
    if (rng() % 2 == 0) {
      const u32 key = rng() % 400;
      const bool fTaken = std::any_of(model.begin(), model.end(), [&](const Used& u) { return u.key == key; });
      Used u{key, 0xFFFFFFFFu, AllocKeyed(h, key)};
      nDuplicates += fTaken ? 1 : 0;
      ASSERT_EQ(u.p == nullptr, fTaken) << "op " << n;
      if (u.p == nullptr) continue;
      ASSERT_EQ(api().index(h, u.p, &u.index), kOk);
      ASSERT_LT(u.index, kNb);
      model.push_front(u);
    } else if (!model.empty()) {
      auto it = std::next(model.begin(), rng() % model.size());
      void* pNext = api().next(h, it->p);  // taken before the free, as a walk that frees does
      ASSERT_EQ(api().free(h, it->p), kOk) << "op " << n;
      it = model.erase(it);
      ASSERT_EQ(pNext, it == model.end() ? nullptr : it->p) << "op " << n;
    }
    if (n % 1000 == 0) {
      Ptrs walk, byIndex(kNb, nullptr);
      for (const Used& u : model) walk.push_back(u.p), byIndex[u.index] = u.p;
      ASSERT_EQ(Walk(h), walk) << "op " << n;
      ASSERT_EQ(api().last(h), model.empty() ? nullptr : model.back().p);
      ASSERT_EQ(Usage(h), std::pair(u32(kNb - model.size()), u32(model.size())));
      for (u32 i = 0; i < kNb; ++i) ASSERT_EQ(api().byIndex(h, i), byIndex[i]) << "index " << i << " kept";
      for (const Used& u : model) ASSERT_EQ(api().find(h, u.key), u.p);
      ASSERT_EQ(api().check(h), kOk) << "op " << n;
    }
  }
  EXPECT_EQ(api().byIndex(h, kNb), nullptr) << "beyond the pool";
  EXPECT_GT(nDuplicates, 0u);
  EXPECT_EQ(dup.lines.size(), nDuplicates) << "one line per refused duplicate";
}

INSTANTIATE_TEST_SUITE_P(Kinds, PoolTest,
                         ::testing::Values(Combo{&kPlain, 0}, Combo{&kPlain, 1}, Combo{&k64, 0}, Combo{&k64, 1}),
                         [](const auto& i) {
                           return std::string(i.param.pApi == &kPlain ? "Plain" : "Pool64") +
                                  (i.param.fHeap ? "Heap" : "Block");
                         });

}  // namespace
