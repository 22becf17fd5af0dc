// Record pools, on both storages (one block, heap): every pool a case makes is checked for consistency and destroyed
// at its end with records still in use (AddressSanitizer's leak check sees any the pool forgets). The 64-bit kind
// runs the same bodies over its own handle: its tests cover what differs (handle kind, print hook, 64-bit keys).
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

u64 FirstWordKey(void*, const void* pRecord) { return *static_cast<const u32*>(pRecord); }  // tests write it there
std::string DupLine(u64 key) {  // what a pool prints when a key is allocated twice (low 32 bits of the key)
  char sz[200];
  std::snprintf(sz, sizeof(sz), "\nProcess 0x%X: VQXPool:Error: Caller trying to allocate two elements with the same "
                "hashing key (0x%08X)!!!\n", unsigned(getpid()), unsigned(u32(key)));
  return sz;
}

// What the pools print through their hooks, each line after the tag its kind's context points to.
std::vector<std::string> g_lines;
char g_szPlain[] = "", g_sz64[] = "64-bit: ";
int Print(void* pvTag, const char* pszFormat, va_list va) {
  char sz[512];
  const int n = std::vsnprintf(sz, sizeof(sz), pszFormat, va);
  return g_lines.push_back(static_cast<const char*>(pvTag) + std::string(sz)), n;
}

class PoolTest : public ::testing::TestWithParam<u32> {  // the parameter is the heap mode
 protected:
  Pool Make(u32 nb, u32 size, bool fKeyed = true) {
    Pool h = VQXPoolOfBuffersCreate(nb, size, fKeyed ? FirstWordKey : nullptr, nullptr, GetParam());
    if (h != nullptr) pools_.push_back(h);
    return h;
  }
  void SetUp() override {
    g_pFctVqxPoolOfBuffersvPrintf = g_pFctVqxPoolOfBuffers64vPrintf = Print;
    g_pVqxPoolOfBuffersvPrintfContext = g_szPlain, g_pVqxPoolOfBuffers64vPrintfContext = g_sz64;
  }
  void TearDown() override {  // every line a case expects, it takes from g_lines: nothing else may be printed
    for (Pool h : pools_) EXPECT_EQ((Results{VqxPoolOfBuffersCheck(h), VQXPoolOfBuffersDestroy(h)}), Results(2, kOk));
    EXPECT_TRUE(g_lines.empty()) << g_lines.front();
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
    ASSERT_TRUE(p && std::count(p + 4, p + room, 0) == room - 4) << "room again, zeroed";
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
      u32 un32Index = 5;  // Free, GetBufferIndex and Next refuse it alike
      EXPECT_EQ((std::tuple{VQXPoolOfBuffersFree(h, r.p), VQXPoolOfBuffersGetBufferIndex(h, r.p, &un32Index), un32Index, VQXPoolOfBuffersNext(h, r.p)}),
                (std::tuple{r.expected, r.expected, 0xFFFFFFFFu, static_cast<void*>(nullptr)}));
      EXPECT_TRUE(Usage(h) == std::pair(3u, 1u) && VqxPoolOfBuffersCheck(h) == kOk) << "nothing changed";
    }
    EXPECT_EQ(Walk(h), Ptrs{a});
  }
}

TEST_P(PoolTest, NullAndWrongKindHandlesAreRefusedWithoutBeingUsed) {
  u32 un32Free = 5, un32Used = 5, un32Index = 5;
  EXPECT_EQ((Results{VQXPoolOfBuffers64GetUsage(nullptr, &un32Free, &un32Used), un32Free + un32Used}), (Results{kNull, 0})) << "counts cleared";
  EXPECT_EQ((Results{VQXPoolOfBuffersDestroy(nullptr), VQXPoolOfBuffers64Destroy(nullptr), VQXPoolOfBuffersFree(nullptr, &un32Free),
                     VQXPoolOfBuffers64Free(nullptr, &un32Free), VQXPoolOfBuffersGetUsage(nullptr, nullptr, &un32Used),
                     VQXPoolOfBuffers64GetBufferIndex(nullptr, &un32Free, &un32Index)}),
            Results(6, kNull));
  // A handle of the other kind is refused without being used, in both directions.
  Pool h = Make(4, 8);
  HVQXPOOLOFBUFFERS64 h64 = VQXPoolOfBuffers64Create(4, 8, FirstWordKey, nullptr, GetParam());
  void* pRecord = AllocKeyed(h, 7);
  void* pRecord64 = VQXPoolOfBuffers64Alloc(h64, 7);
  ASSERT_TRUE(pRecord && pRecord64);
  EXPECT_EQ(VQXPoolOfBuffersGetBufferIndex(h, pRecord, nullptr), kNull);
  auto* hAs64 = reinterpret_cast<HVQXPOOLOFBUFFERS64>(h);
  auto* h64AsPlain = reinterpret_cast<Pool>(h64);
  // Both families are one body over their own magic: every call one way, one call and the checks the other way.
  EXPECT_EQ((Ptrs{VQXPoolOfBuffers64Alloc(hAs64, 1), VQXPoolOfBuffers64Find(hAs64, 7), VQXPoolOfBuffers64First(hAs64),
                  VQXPoolOfBuffers64Last(hAs64), VQXPoolOfBuffers64Next(hAs64, pRecord), VQXPoolOfBuffers64FindBufferByIndex(hAs64, 0),
                  VQXPoolOfBuffersFind(h64AsPlain, 7)}),
            Ptrs(7));
  EXPECT_EQ((Results{VQXPoolOfBuffers64Free(hAs64, pRecord), VQXPoolOfBuffers64GetUsage(hAs64, &un32Free, &un32Used),
                     VQXPoolOfBuffers64GetBufferIndex(hAs64, pRecord, &un32Index), VqxPoolOfBuffers64Check(hAs64),
                     VQXPoolOfBuffers64Destroy(hAs64), VqxPoolOfBuffersCheck(h64AsPlain), VQXPoolOfBuffersDestroy(h64AsPlain)}),
            Results(7, kBadHandle));
  EXPECT_EQ(Walk(h), Ptrs{pRecord}) << "the other kind's calls changed nothing";
  EXPECT_TRUE(VQXPoolOfBuffers64GetUsage(h64, nullptr, &un32Used) == kOk && un32Used == 1 && VQXPoolOfBuffers64Find(h64, 7) == pRecord64)
      << "the free count is optional";
  // Both kinds compare the full 64 bits of a key.
  void* pHigh = VQXPoolOfBuffersAlloc(h, (1ull << 40) | 7);
  void* pHigh64 = VQXPoolOfBuffers64Alloc(h64, (1ull << 40) | 7);
  EXPECT_TRUE(pHigh && pHigh64 && VQXPoolOfBuffersFind(h, 7) == pRecord && VQXPoolOfBuffers64Find(h64, (1ull << 40) | 7) == pHigh64);
  EXPECT_EQ(VQXPoolOfBuffers64Alloc(h64, (1ull << 40) | 7), nullptr);
  EXPECT_EQ(std::exchange(g_lines, {}), std::vector{g_sz64 + DupLine(7)}) << "a refused duplicate, through its kind's hook";
  EXPECT_EQ((Results{VqxPoolOfBuffers64Check(h64), VQXPoolOfBuffers64Destroy(h64)}), Results(2, kOk));
}

TEST_P(PoolTest, AReusedRecordComesBackZeroedAndItsOldKeyIsGone) {  // heap records stay with their slot
  Pool h = Make(2, 24);
  auto* a = static_cast<u8*>(AllocKeyed(h, 1));
  ASSERT_NE(a, nullptr);
  std::memset(a + 4, 0xA5, 20);
  ASSERT_EQ(VQXPoolOfBuffersFree(h, a), kOk);
  auto* b = static_cast<u8*>(VQXPoolOfBuffersAlloc(h, 2));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b, a) << "the freed slot and its record are taken again";
  EXPECT_EQ(std::vector<u8>(b, b + 24), std::vector<u8>(24, 0)) << "nothing of the previous use is left";
  EXPECT_EQ((Ptrs{VQXPoolOfBuffersFind(h, 1), VQXPoolOfBuffersFind(h, 2)}), (Ptrs{nullptr, b}));
  // Freed at its index: any other index, a free slot or a null record is refused and changes nothing.
  u32 un32Index = 9;
  ASSERT_EQ(VQXPoolOfBuffersGetBufferIndex(h, b, &un32Index), kOk);
  EXPECT_EQ((Results{VQXPoolOfBuffersFreeAtIndexPrivate(h, un32Index + 1, b, nullptr, 0),
                     VQXPoolOfBuffersFreeAtIndexPrivate(h, 2, b, nullptr, 0),
                     VQXPoolOfBuffersFreeAtIndexPrivate(h, un32Index, nullptr, nullptr, 0),
                     VQXPoolOfBuffersFreeAtIndexPrivate(h, un32Index, b, nullptr, 0),
                     VQXPoolOfBuffersFreeAtIndexPrivate(h, un32Index, b, nullptr, 0)}),
            (Results{kInvalid, kInvalid, kNull, kOk, kInvalid}));
  EXPECT_EQ(VQXPoolOfBuffersFind(h, 2), nullptr);
}

TEST_P(PoolTest, NextFromAnyRecordWhileAWalkGoesOn) {  // heap pools remember where a walk is
  Pool h = Make(8, 16, false);
  Ptrs v;
  for (u32 i = 0; i < 4; ++i) v.push_back(VQXPoolOfBuffersAlloc(h, i));  // head first: v[3], v[2], v[1], v[0]
  EXPECT_EQ(VQXPoolOfBuffersFirst(h), v[3]);
  EXPECT_EQ(VQXPoolOfBuffersNext(h, v[1]), v[0]) << "another record than the walked one";
  EXPECT_EQ(VQXPoolOfBuffersNext(h, v[3]), v[2]) << "back to an earlier one";
  ASSERT_EQ(VQXPoolOfBuffersFree(h, v[2]), kOk);
  EXPECT_EQ(VQXPoolOfBuffersNext(h, v[2]), nullptr) << "the walked record freed";
  void* pNew = VQXPoolOfBuffersAlloc(h, 9);  // takes the freed index (on the heap perhaps the address too)
  EXPECT_EQ(VQXPoolOfBuffersNext(h, pNew), v[3]) << "the newest record is the head";
  EXPECT_EQ(Walk(h), (Ptrs{pNew, v[3], v[1], v[0]}));
}

TEST_P(PoolTest, RandomisedAgainstAListModel) {
  // The model holds, per record in use, its key, its index and its address; head = newest.
  constexpr u32 kNb = 200;
  Pool h = Make(kNb, 40);
  struct Used { u32 key, index; void* p; };
  std::list<Used> model;
  std::mt19937 rng(7);
  std::vector<std::string> expectedLines;
  for (int n = 0; n < 20000; ++n) {
    if (rng() % 2 == 0) {
      const u32 key = rng() % 400;
      const bool fTaken = std::any_of(model.begin(), model.end(), [&](const Used& u) { return u.key == key; });
      Used u{key, 0xFFFFFFFFu, AllocKeyed(h, key)};
      ASSERT_EQ(u.p == nullptr, fTaken) << "op " << n;
      if (fTaken) expectedLines.push_back(DupLine(key));
      else if (VQXPoolOfBuffersGetBufferIndex(h, u.p, &u.index) == kOk && u.index < kNb) model.push_front(u);
      else FAIL() << "index of op " << n;
    } else if (!model.empty()) {
      auto it = std::next(model.begin(), rng() % model.size());
      void* pNext = VQXPoolOfBuffersNext(h, it->p);  // taken before the free, as a walk that frees does
      ASSERT_EQ(VQXPoolOfBuffersFree(h, it->p), kOk) << n;
      it = model.erase(it);
      ASSERT_EQ(pNext, it == model.end() ? nullptr : it->p) << "op " << n;
    }
    if (n % 1000 != 0) continue;
    Ptrs walk, byIndex(kNb + 1, nullptr), found;
    for (const Used& u : model) walk.push_back(u.p), byIndex[u.index] = u.p, found.push_back(VQXPoolOfBuffersFind(h, u.key));
    ASSERT_TRUE(Walk(h) == walk && found == walk && VQXPoolOfBuffersLast(h) == (model.empty() ? nullptr : model.back().p)) << "op " << n;
    ASSERT_EQ(Usage(h), std::pair(u32(kNb - model.size()), u32(model.size()))) << "op " << n;
    for (u32 i = 0; i <= kNb; ++i) ASSERT_EQ(VQXPoolOfBuffersFindBufferByIndex(h, i), byIndex[i]) << "index " << i << " kept";
    ASSERT_EQ(VqxPoolOfBuffersCheck(h), kOk) << "op " << n;
  }
  EXPECT_GT(expectedLines.size(), 0u);
  EXPECT_EQ(std::exchange(g_lines, {}), expectedLines) << "one line per refused duplicate";
}

INSTANTIATE_TEST_SUITE_P(Storage, PoolTest, ::testing::Values(0u, 1u),
                         [](const auto& i) { return i.param ? "Heap" : "Block"; });

}  // namespace
