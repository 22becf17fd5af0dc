// Record pools, on both storages (one block, heap): every pool a case makes is checked for consistency and destroyed
// at its end with records still in use (AddressSanitizer's leak check sees any the pool forgets). The 64-bit kind
// shares the behaviour: a randomised run drives one pool of each kind in lockstep, against a list model.
#include <unistd.h>

#include <cstdarg>
#include <list>

#include "support/vqx_test_support.h"
#include "vqx_pool.h"
#include "vqx_pool_internal.h"

namespace {

constexpr VQX_RESULT kOk = VQX_RESULT_OK, kNull = 0x82000009u, kInvalid = 0x8200000Au, kBadHandle = 0x8200000Cu;
using Ptrs = std::vector<void*>;
using Pool = HVQXPOOLOFBUFFERS;

u32 KeyOf(const void* pRecord) {  // the key a test writes in the first word of each record
  u32 un32Key;
  return std::memcpy(&un32Key, pRecord, sizeof(un32Key)), un32Key;
}
u64 FirstWordKey(void*, const void* pRecord) { return KeyOf(pRecord); }

// Collects the lines one kind's pools print through its hook, for the capture's life.
struct Capture {
  Capture(PFN_VQX_POOL_VPRINTF& hook, void*& ctx) : rHook(hook), rCtx(ctx) { std::swap(hook, fct), std::swap(ctx, pv); }
  ~Capture() { std::swap(rHook, fct), std::swap(rCtx, pv); }
  static int Print(void* pCapture, const char* pszFormat, va_list va) {
    char sz[512];
    const int n = std::vsnprintf(sz, sizeof(sz), pszFormat, va);
    return static_cast<Capture*>(pCapture)->lines.push_back(sz), n;
  }
  PFN_VQX_POOL_VPRINTF& rHook;
  void*& rCtx;
  PFN_VQX_POOL_VPRINTF fct = Print;
  void* pv = this;
  std::vector<std::string> lines;
};

class PoolTest : public ::testing::TestWithParam<u32> {  // the parameter is the heap mode
 protected:
  Pool Make(u32 nb, u32 size, bool fKeyed = true) {
    Pool h = VQXPoolOfBuffersCreate(nb, size, fKeyed ? FirstWordKey : nullptr, nullptr, GetParam());
    if (h != nullptr) pools_.push_back(h);
    return h;
  }
  void TearDown() override {
    for (Pool h : pools_) EXPECT_EQ((Results{VqxPoolOfBuffersCheck(h), VQXPoolOfBuffersDestroy(h)}), Results(2, kOk));
  }
  static Ptrs Walk(Pool h) {  // used records, head first
    Ptrs v;
    for (void* r = VQXPoolOfBuffersFirst(h); r != nullptr && v.size() < 100000; r = VQXPoolOfBuffersNext(h, r)) v.push_back(r);
    return v;
  }
  static void* AllocKeyed(Pool h, u32 key) {  // the record holds its key in its first word
    void* r = VQXPoolOfBuffersAlloc(h, key);
    return r != nullptr ? std::memcpy(r, &key, sizeof(key)) : nullptr;
  }
  static std::pair<u32, u32> Usage(Pool h) {  // (free, used)
    u32 un32Free = 99, un32Used = 99;
    EXPECT_EQ(VQXPoolOfBuffersGetUsage(h, &un32Free, &un32Used), kOk);
    return {un32Free, un32Used};
  }
  std::vector<Pool> pools_;
};

TEST_P(PoolTest, CreationArgumentsCountAndRecords) {
  const struct { const char* pszName; u32 nb, size, un32Count; } rows[] = {  // count 0: refused
      {"zero count refused", 0, 16, 0}, {"zero size refused", 4, 0, 0},    {"count 1 taken as 2", 1, 8, 2},
      {"count 2", 2, 8, 2},             {"size 13 rounded to 16", 7, 13, 7}, {"above the limit", VQX_POOL_MAX_BUFFERS + 1, 8, 0}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.pszName);
    Pool h = Make(r.nb, r.size);
    EXPECT_EQ(h != nullptr, r.un32Count != 0);
    if (h == nullptr) continue;
    const u32 room = (r.size + 7) & ~7u;
    Ptrs v;
    while (v.size() <= r.un32Count && VQXPoolOfBuffersAlloc(h, v.size()) != nullptr) v.push_back(VQXPoolOfBuffersFind(h, v.size()));
    EXPECT_EQ(v.size(), r.un32Count) << "full after its count";
    EXPECT_EQ(Usage(h), std::pair(0u, r.un32Count));
    for (void* p : v) EXPECT_EQ(reinterpret_cast<uintptr_t>(std::memset(p, 0xAB, room)) % 8, 0u);  // all the caller's
    EXPECT_TRUE(GetParam() || (static_cast<u8*>(v[1]) - static_cast<u8*>(v[0])) % room == 0);
    ASSERT_EQ(VQXPoolOfBuffersFree(h, v[0]), kOk);
    auto* p = static_cast<u8*>(AllocKeyed(h, 999));
    ASSERT_NE(p, nullptr) << "room again";
    EXPECT_EQ(std::count(p + 4, p + room, 0), room - 4) << "zeroed";
    EXPECT_TRUE(VQXPoolOfBuffersFind(h, 0) == nullptr && VQXPoolOfBuffersFind(h, 999) == p);
  }
  EXPECT_EQ(VQXPoolOfBuffersCreate(4, 8, nullptr, nullptr, 2), nullptr) << "heap mode is 0 or 1";
  EXPECT_EQ(VQXPoolOfBuffers64Create(4, 8, nullptr, nullptr, 2), nullptr);
  EXPECT_EQ(VQXPoolOfBuffersCreatePrivate(4, 8, FirstWordKey, nullptr, 0, 1, __FILE__, __LINE__, 0), nullptr) << "key";
  EXPECT_EQ(VQXPoolOfBuffersCreatePrivate(4, 8, FirstWordKey, nullptr, 1, 0, __FILE__, __LINE__, 0), nullptr);
  // An unkeyed pool ignores keys: the same key twice is fine, Find finds nothing.
  Pool hUnkeyed = Make(3, 8, false);
  EXPECT_TRUE(VQXPoolOfBuffersAlloc(hUnkeyed, 5) && VQXPoolOfBuffersAlloc(hUnkeyed, 5) && !VQXPoolOfBuffersFind(hUnkeyed, 5));
}

TEST_P(PoolTest, FreeOfAnythingButAUsedRecordIsRefused) {
  // Records are found from pointers by shift (16) or by multiplication (24): both paths.
  for (u32 un32Size : {16u, 24u}) {
    Pool h = Make(4, un32Size);
    void* pForeign = AllocKeyed(Make(4, un32Size), 1);
    auto* a = static_cast<u8*>(AllocKeyed(h, 1));
    auto* b = static_cast<u8*>(AllocKeyed(h, 2));
    ASSERT_TRUE(a && b && pForeign && VQXPoolOfBuffersFree(h, b) == kOk);
    u64 un64Stack = 0;
    std::vector<u8> heap(16);
    const struct { const char* pszName; void* p; VQX_RESULT expected; } rows[] = {
        {"null record", nullptr, kNull},            {"stack variable", &un64Stack, kInvalid},
        {"heap block of nobody", heap.data(), kInvalid}, {"record of another pool", pForeign, kInvalid},
        {"inside a record, +1", a + 1, kInvalid},   {"inside a record, +8", a + 8, kInvalid},
        {"already free", b, kInvalid},              {"one record before the first", a - un32Size, kInvalid}};
    for (const auto& r : rows) {
      SCOPED_TRACE(testing::Message() << r.pszName << ", size " << un32Size);
      EXPECT_EQ(VQXPoolOfBuffersFree(h, r.p), r.expected);
      EXPECT_EQ(VQXPoolOfBuffersNext(h, r.p), nullptr) << "Next refuses it too";
      u32 un32Index = 5;
      EXPECT_EQ(VQXPoolOfBuffersGetBufferIndex(h, r.p, &un32Index), r.expected) << "and GetBufferIndex";
      EXPECT_EQ(un32Index, 0xFFFFFFFFu);
      EXPECT_EQ(Usage(h), std::pair(3u, 1u)) << "nothing changed";
      EXPECT_EQ(VqxPoolOfBuffersCheck(h), kOk);
    }
    EXPECT_EQ(Walk(h), Ptrs{a});
  }
}

TEST_P(PoolTest, NullAndWrongKindHandlesAreRefusedWithoutBeingUsed) {
  u32 un32Free = 5, un32Used = 5, un32Index = 5;
  EXPECT_EQ(VQXPoolOfBuffers64GetUsage(nullptr, &un32Free, &un32Used), kNull);
  EXPECT_EQ(un32Free + un32Used, 0u) << "counts cleared";
  EXPECT_EQ((Results{VQXPoolOfBuffersDestroy(nullptr), VQXPoolOfBuffers64Destroy(nullptr), VQXPoolOfBuffersFree(nullptr, &un32Free),
                     VQXPoolOfBuffers64Free(nullptr, &un32Free), VQXPoolOfBuffersGetUsage(nullptr, nullptr, &un32Used),
                     VQXPoolOfBuffers64GetBufferIndex(nullptr, &un32Free, &un32Index)}),
            Results(6, kNull));
  EXPECT_EQ((Ptrs{VQXPoolOfBuffersAlloc(nullptr, 1), VQXPoolOfBuffersFind(nullptr, 1), VQXPoolOfBuffers64First(nullptr),
                  VQXPoolOfBuffersLast(nullptr), VQXPoolOfBuffers64Next(nullptr, &un32Free), VQXPoolOfBuffersFindBufferByIndex(nullptr, 0)}),
            Ptrs(6));
  // A handle of the other kind is refused without being used, in both directions.
  Pool h = Make(4, 8);
  HVQXPOOLOFBUFFERS64 h64 = VQXPoolOfBuffers64Create(4, 8, FirstWordKey, nullptr, GetParam());
  void* pRecord = AllocKeyed(h, 7);
  void* pRecord64 = VQXPoolOfBuffers64Alloc(h64, 7);
  ASSERT_TRUE(pRecord && pRecord64);
  EXPECT_EQ(VQXPoolOfBuffersGetBufferIndex(h, pRecord, nullptr), kNull);
  auto* hAs64 = reinterpret_cast<HVQXPOOLOFBUFFERS64>(h);
  auto* h64AsPlain = reinterpret_cast<Pool>(h64);
  EXPECT_EQ((Ptrs{VQXPoolOfBuffers64Alloc(hAs64, 1), VQXPoolOfBuffers64Find(hAs64, 7), VQXPoolOfBuffers64First(hAs64),
                  VQXPoolOfBuffers64Last(hAs64), VQXPoolOfBuffers64Next(hAs64, pRecord), VQXPoolOfBuffers64FindBufferByIndex(hAs64, 0),
                  VQXPoolOfBuffersAlloc(h64AsPlain, 1), VQXPoolOfBuffersFind(h64AsPlain, 7), VQXPoolOfBuffersFirst(h64AsPlain),
                  VQXPoolOfBuffersLast(h64AsPlain), VQXPoolOfBuffersNext(h64AsPlain, pRecord64), VQXPoolOfBuffersFindBufferByIndex(h64AsPlain, 0)}),
            Ptrs(12));
  EXPECT_EQ((Results{VQXPoolOfBuffers64Free(hAs64, pRecord), VQXPoolOfBuffers64GetUsage(hAs64, &un32Free, &un32Used),
                     VQXPoolOfBuffers64GetBufferIndex(hAs64, pRecord, &un32Index), VqxPoolOfBuffers64Check(hAs64),
                     VQXPoolOfBuffers64Destroy(hAs64), VQXPoolOfBuffersFree(h64AsPlain, pRecord64),
                     VQXPoolOfBuffersGetUsage(h64AsPlain, &un32Free, &un32Used), VqxPoolOfBuffersCheck(h64AsPlain),
                     VQXPoolOfBuffersGetBufferIndex(h64AsPlain, pRecord64, &un32Index), VQXPoolOfBuffersDestroy(h64AsPlain)}),
            Results(10, kBadHandle));
  EXPECT_EQ(Walk(h), Ptrs{pRecord}) << "the other kind's calls changed nothing";
  EXPECT_EQ(VQXPoolOfBuffers64GetUsage(h64, nullptr, &un32Used), kOk) << "the free count is optional";
  EXPECT_TRUE(un32Used == 1 && VQXPoolOfBuffers64Find(h64, 7) == pRecord64);
  // Both kinds compare the full 64 bits of a key.
  void* pHigh = VQXPoolOfBuffersAlloc(h, (1ull << 40) | 7);
  void* pHigh64 = VQXPoolOfBuffers64Alloc(h64, (1ull << 40) | 7);
  EXPECT_TRUE(pHigh && pHigh64 && VQXPoolOfBuffersFind(h, 7) == pRecord && VQXPoolOfBuffers64Find(h64, (1ull << 40) | 7) == pHigh64);
  EXPECT_EQ((Results{VqxPoolOfBuffers64Check(h64), VQXPoolOfBuffers64Destroy(h64)}), Results(2, kOk));
}

TEST_P(PoolTest, RandomisedBothKindsInLockstepAgainstAListModel) {
  // Each operation goes to a plain pool and to a 64-bit pool; the model holds, per record in use, its key, its index
  // and its address in each pool. Keys of the 64-bit pool differ from the plain ones above bit 31 only.
  constexpr u32 kNb = 200;
  constexpr u64 kHigh = 0x5A5A5A5Aull << 32;
  Pool h = Make(kNb, 40);
  HVQXPOOLOFBUFFERS64 h64 = VQXPoolOfBuffers64Create(kNb, 40, FirstWordKey, nullptr, GetParam());
  struct Used { u32 key, index; void *p, *p64; };
  std::list<Used> model;  // head = newest
  std::mt19937 rng(7);
  Capture dup(g_pFctVqxPoolOfBuffersvPrintf, g_pVqxPoolOfBuffersvPrintfContext);
  Capture dup64(g_pFctVqxPoolOfBuffers64vPrintf, g_pVqxPoolOfBuffers64vPrintfContext);
  std::vector<std::string> expectedLines;
  for (int n = 0; n < 20000; ++n) {
    if (rng() % 2 == 0) {
      const u32 key = rng() % 400;
      const bool fTaken = std::any_of(model.begin(), model.end(), [&](const Used& u) { return u.key == key; });
      Used u{key, 0xFFFFFFFFu, AllocKeyed(h, key), VQXPoolOfBuffers64Alloc(h64, kHigh | key)};
      char sz[200];
      std::snprintf(sz, sizeof(sz), "\nProcess 0x%X: VQXPool:Error: Caller trying to allocate two elements with the same "
                    "hashing key (0x%08X)!!!\n", static_cast<unsigned>(getpid()), key);
      if (fTaken) expectedLines.push_back(sz);
      ASSERT_EQ((std::pair{u.p == nullptr, u.p64 == nullptr}), std::pair(fTaken, fTaken)) << "op " << n;
      if (u.p == nullptr) continue;
      u32 un32Index64 = 0;
      ASSERT_EQ((Results{VQXPoolOfBuffersGetBufferIndex(h, u.p, &u.index), VQXPoolOfBuffers64GetBufferIndex(h64, u.p64, &un32Index64)}),
                Results(2, kOk));
      ASSERT_TRUE(u.index < kNb && u.index == un32Index64) << "op " << n;
      model.push_front(u);
    } else if (!model.empty()) {
      auto it = std::next(model.begin(), rng() % model.size());
      void* pNext = VQXPoolOfBuffersNext(h, it->p);  // taken before the free, as a walk that frees does
      void* pNext64 = VQXPoolOfBuffers64Next(h64, it->p64);
      ASSERT_EQ((Results{VQXPoolOfBuffersFree(h, it->p), VQXPoolOfBuffers64Free(h64, it->p64)}), Results(2, kOk)) << n;
      it = model.erase(it);
      ASSERT_EQ((Ptrs{pNext, pNext64}), it == model.end() ? Ptrs(2) : (Ptrs{it->p, it->p64})) << "op " << n;
    }
    if (n % 1000 != 0) continue;
    Ptrs walk, walk64, byIndex(kNb, nullptr), byIndex64(kNb, nullptr), found, found64;
    for (const Used& u : model) {
      walk.push_back(u.p), walk64.push_back(u.p64), byIndex[u.index] = u.p, byIndex64[u.index] = u.p64;
      found.push_back(VQXPoolOfBuffersFind(h, u.key)), found64.push_back(VQXPoolOfBuffers64Find(h64, kHigh | u.key));
    }
    ASSERT_EQ(Walk(h), walk) << "op " << n;
    ASSERT_EQ((std::pair{found, found64}), std::pair(walk, walk64)) << "op " << n;
    Ptrs walked64;
    for (void* r = VQXPoolOfBuffers64First(h64); r != nullptr && walked64.size() <= kNb; r = VQXPoolOfBuffers64Next(h64, r))
      walked64.push_back(r);
    ASSERT_EQ(walked64, walk64) << "op " << n;
    ASSERT_EQ((Ptrs{VQXPoolOfBuffersLast(h), VQXPoolOfBuffers64Last(h64)}),
              model.empty() ? Ptrs(2) : (Ptrs{model.back().p, model.back().p64}));
    u32 un32Free64 = 0, un32Used64 = 0;
    ASSERT_EQ(VQXPoolOfBuffers64GetUsage(h64, &un32Free64, &un32Used64), kOk);
    const std::pair<u32, u32> usage(kNb - model.size(), model.size());
    ASSERT_TRUE(Usage(h) == usage && std::pair(un32Free64, un32Used64) == usage) << "op " << n;
    for (u32 i = 0; i <= kNb; ++i) {
      ASSERT_EQ(VQXPoolOfBuffersFindBufferByIndex(h, i), i < kNb ? byIndex[i] : nullptr) << "index " << i << " kept";
      ASSERT_EQ(VQXPoolOfBuffers64FindBufferByIndex(h64, i), i < kNb ? byIndex64[i] : nullptr) << "index " << i;
    }
    ASSERT_EQ((Results{VqxPoolOfBuffersCheck(h), VqxPoolOfBuffers64Check(h64)}), Results(2, kOk)) << "op " << n;
  }
  EXPECT_EQ(dup.lines, expectedLines) << "one line per refused duplicate, through the plain kind's hook";
  EXPECT_EQ(dup64.lines, expectedLines) << "the same through the 64-bit kind's own hook (low 32 bits of the key)";
  EXPECT_GT(expectedLines.size(), 0u);
  EXPECT_EQ(VQXPoolOfBuffers64Destroy(h64), kOk);
}

INSTANTIATE_TEST_SUITE_P(Storage, PoolTest, ::testing::Values(0u, 1u),
                         [](const auto& i) { return i.param ? "Heap" : "Block"; });

}  // namespace
