// CVQCAFPool (text keys) and CVQCAFPool64 (u64 keys): limits, keys and case,
// walks that free as they go, Clear, and the destructor's reports.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "support/vqcaf_diag_capture.h"
#include "vqcafpool.h"
#include "vqcafpool64.h"

using namespace VQCAF;

namespace {

int g_nLive = 0;

struct CEntity {
  CEntity() { ++g_nLive; }
  ~CEntity() { --g_nLive; }
  int nValue = 0;
  std::string strName = "default";
};

const std::string kStill = "~CVQCAFPool: error: Element still present in pool!!!\n";
const std::string kStill64 = "~CVQCAFPool64: error: Element still present in pool!!!\n";

}  // namespace

class PoolModes : public ::testing::TestWithParam<u32> {};

TEST_P(PoolModes, AllocFindFreeWithinLimit) {
  g_nLive = 0;
  CVQCAFPool<CEntity> Pool(VQCAF_DEBUG_INFO, 3, 1, 1, GetParam());
  CEntity* a = Pool.Alloc(VQCAF_DEBUG_INFO, "ss7_trk_01");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->strName, "default");  // built in place by its constructor
  a->nValue = 1;
  EXPECT_EQ(Pool.Alloc(VQCAF_DEBUG_INFO, "ss7_trk_01"), nullptr);  // key taken
  CEntity* b = Pool.Alloc(VQCAF_DEBUG_INFO, CVQCAFString("b"));
  CEntity* c = Pool.Alloc(VQCAF_DEBUG_INFO, "c");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(Pool.Alloc(VQCAF_DEBUG_INFO, "d"), nullptr);  // full
  EXPECT_EQ(Pool.GetCount(), 3u);
  EXPECT_EQ(Pool.Find("ss7_trk_01"), a);
  EXPECT_EQ(Pool.Find("SS7_TRK_01"), nullptr);  // case-sensitive
  EXPECT_EQ(Pool.Find("zz"), nullptr);
  EXPECT_STREQ(Pool.GetKey(b)->c_str(), "b");
  EXPECT_EQ(Pool.Free(VQCAF_DEBUG_INFO, b), VQX_RESULT_OK);
  EXPECT_EQ(Pool.Free(VQCAF_DEBUG_INFO, b), VQX_RESULT_INVALID_PARAM);  // already free
  EXPECT_EQ(Pool.Free(VQCAF_DEBUG_INFO, nullptr), VQX_RESULT_NULL_PARAM);
  CEntity Foreign;
  EXPECT_EQ(Pool.Free(VQCAF_DEBUG_INFO, &Foreign), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Pool.Find("b"), nullptr);
  EXPECT_NE(Pool.Alloc(VQCAF_DEBUG_INFO, "b"), nullptr);  // key and slot reusable
  EXPECT_TRUE(Pool.CheckInvariant());
  EXPECT_EQ(Pool.Clear(VQCAF_DEBUG_INFO), VQX_RESULT_OK);
  EXPECT_EQ(Pool.GetCount(), 0u);
  EXPECT_EQ(g_nLive, 1);  // only Foreign
  EXPECT_TRUE(Pool.CheckInvariant());
}

TEST_P(PoolModes, WalkInOrderWhileFreeing) {
  CVQCAFPool<CEntity> Pool(VQCAF_DEBUG_INFO, 10, 1, 1, GetParam());
  for (int i = 0; i < 6; ++i) Pool.Alloc(VQCAF_DEBUG_INFO, std::to_string(i).c_str())->nValue = i;
  // Free the current element and, at 2, also the one after it.
  std::vector<int> Seen;
  Pool.ResetNext();
  while (CEntity* p = Pool.Next()) {
    Seen.push_back(p->nValue);
    if (p->nValue == 2) {
      EXPECT_EQ(Pool.Free(VQCAF_DEBUG_INFO, Pool.Find("3")), VQX_RESULT_OK);
    }
    if (p->nValue % 2 == 0) {
      EXPECT_EQ(Pool.Free(VQCAF_DEBUG_INFO, p), VQX_RESULT_OK);
    }
  }
  EXPECT_EQ(Seen, std::vector<int>({0, 1, 2, 4, 5}));
  // After the end the walk starts again; the survivors are 1 and 5.
  Seen.clear();
  while (CEntity* p = Pool.Next()) Seen.push_back(p->nValue);
  EXPECT_EQ(Seen, std::vector<int>({1, 5}));
  // A partial walk, a reset, then a full one from the start.
  EXPECT_EQ(Pool.Next()->nValue, 1);
  Pool.ResetNext();
  EXPECT_EQ(Pool.Next()->nValue, 1);
  EXPECT_TRUE(Pool.CheckInvariant());
  Pool.Clear(VQCAF_DEBUG_INFO);
}

INSTANTIATE_TEST_SUITE_P(StaticAndDynamic, PoolModes, ::testing::Values(0u, 1u));

TEST(Pool, CaseInsensitiveKeys) {
  CVQCAFPool<CVQCAFPoolPointerElement> Pool(VQCAF_DEBUG_INFO, 1024, 1, 0, 1);
  CVQCAFPoolPointerElement* p = Pool.Alloc(VQCAF_DEBUG_INFO, "Host-A");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->GetPointer(), nullptr);
  EXPECT_EQ(Pool.Find("host-a"), p);
  EXPECT_EQ(Pool.Find("HOST-A"), p);
  EXPECT_EQ(Pool.Alloc(VQCAF_DEBUG_INFO, "HOST-a"), nullptr);
  EXPECT_STREQ(Pool.GetKey(p)->c_str(), "Host-A");  // stored as given
  Pool.Free(VQCAF_DEBUG_INFO, p);
}

TEST(Pool, WithoutKeysAndZeroCapacity) {
  CVQCAFPool<CEntity> Unkeyed(VQCAF_DEBUG_INFO, 2, 0, 1, 0);
  CEntity* a = Unkeyed.Alloc(VQCAF_DEBUG_INFO);
  CEntity* b = Unkeyed.Alloc(VQCAF_DEBUG_INFO, "ignored");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(Unkeyed.Find("ignored"), nullptr);
  Unkeyed.Clear(VQCAF_DEBUG_INFO);
  CVQCAFPool<CEntity> Empty(VQCAF_DEBUG_INFO, 0, 1, 1, 0);
  EXPECT_EQ(Empty.Alloc(VQCAF_DEBUG_INFO, "x"), nullptr);
  EXPECT_EQ(Empty.Next(), nullptr);
}

TEST(Pool, DestructorReportsAndFreesEachElement) {
  CDiagCapture Capture;
  g_nLive = 0;
  {
    CVQCAFPool<CEntity> Pool(VQCAF_DEBUG_INFO, 128, 1, 1, 1);
    Pool.Alloc(VQCAF_DEBUG_INFO, "a");
    Pool.Alloc(VQCAF_DEBUG_INFO, "b");
    EXPECT_EQ(g_nLive, 2);
  }
  EXPECT_EQ(g_nLive, 0);
  EXPECT_EQ(Capture.Count(kStill), 2u);
  EXPECT_EQ(Capture.Lines().size(), 2u);
}

TEST(Pool64, AllocFindFreeAndDirectLookup) {
  g_nLive = 0;
  CVQCAFPool64<CEntity> Pool(VQCAF_DEBUG_INFO, 2, 1);
  ASSERT_NE(Pool.mhPool, nullptr);
  const u64 un64Key = 0x0000000100000002ull;
  CEntity* a = Pool.Alloc(VQCAF_DEBUG_INFO, un64Key);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->strName, "default");
  a->nValue = 11;
  // The refusal of a key in use is reported once, by the record pool's own printer.
  std::string strPrinted;
  g_pVqxPoolOfBuffers64vPrintfContext = &strPrinted;
  g_pFctVqxPoolOfBuffers64vPrintf = [](void* pv, const char* pszFormat, va_list args) {
    char ac[256];
    int n = vsnprintf(ac, sizeof(ac), pszFormat, args);
    static_cast<std::string*>(pv)->append(ac);
    return n;
  };
  EXPECT_EQ(Pool.Alloc(VQCAF_DEBUG_INFO, un64Key), nullptr);
  g_pFctVqxPoolOfBuffers64vPrintf = nullptr;
  g_pVqxPoolOfBuffers64vPrintfContext = nullptr;
  EXPECT_NE(strPrinted.find("Caller trying to allocate two elements with the same hashing key (0x00000002)!!!"),
            std::string::npos)
      << strPrinted;
  EXPECT_EQ(a->nValue, 11);  // the element under the key is untouched
  CEntity* b = Pool.Alloc(VQCAF_DEBUG_INFO, 2);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(Pool.Alloc(VQCAF_DEBUG_INFO, 3), nullptr);  // full
  EXPECT_EQ(Pool.Find(un64Key), a);
  EXPECT_EQ(Pool.Find(0x2ull), b);  // the full 64 bits count
  // Direct lookup through the public storage handle.
  void* pRecord = VQXPoolOfBuffers64Find(Pool.mhPool, un64Key);
  EXPECT_EQ(CVQCAFPool64<CEntity>::PayloadOfRecord(pRecord), a);
  EXPECT_EQ(static_cast<CVQCAFPool64ElementUInt64<CEntity>*>(pRecord)->GetKey(), un64Key);
  EXPECT_EQ(Pool.Free(VQCAF_DEBUG_INFO, a), VQX_RESULT_OK);
  EXPECT_EQ(Pool.Free(VQCAF_DEBUG_INFO, a), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Pool.Free(VQCAF_DEBUG_INFO, nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(Pool.Find(un64Key), nullptr);
  EXPECT_EQ(g_nLive, 1);
  EXPECT_EQ(Pool.GetCount(), 1u);
  Pool.Free(VQCAF_DEBUG_INFO, b);
}

TEST(Pool64, WalkWhileFreeingTheNextElement) {
  CVQCAFPool64<CEntity> Pool(VQCAF_DEBUG_INFO, 8, 0);
  for (u64 k = 1; k <= 5; ++k) Pool.Alloc(VQCAF_DEBUG_INFO, k)->nValue = static_cast<int>(k);
  std::multiset<int> Seen;
  while (CEntity* p = Pool.Next()) {
    Seen.insert(p->nValue);
    if (p->nValue == 4) {
      // Free everything else that the walk may not have reached yet.
      for (u64 k : {3ull, 2ull}) {
        if (CEntity* q = Pool.Find(k)) {
          EXPECT_EQ(Pool.Free(VQCAF_DEBUG_INFO, q), VQX_RESULT_OK);
        }
      }
    }
    EXPECT_EQ(Pool.Free(VQCAF_DEBUG_INFO, p), VQX_RESULT_OK);
  }
  // Newest first: 5, 4, then 3 and 2 were freed ahead of the walk, then 1.
  EXPECT_EQ(Seen, std::multiset<int>({5, 4, 1}));
  EXPECT_EQ(Pool.GetCount(), 0u);
}

TEST(Pool64, DestructorReportsAndFailedStorage) {
  CDiagCapture Capture;
  g_nLive = 0;
  {
    CVQCAFPool64<CEntity> Pool(VQCAF_DEBUG_INFO, 4, 1);
    Pool.Alloc(VQCAF_DEBUG_INFO, 7);
    Pool.Alloc(VQCAF_DEBUG_INFO, 8);
  }
  EXPECT_EQ(g_nLive, 0);
  EXPECT_EQ(Capture.Count(kStill64), 2u);
  // A count the pool library refuses: one failure line, then everything refuses.
  CVQCAFPool64<CEntity> Broken(CVQCAFDebugInfo("maker.cpp", 99), 0, 0);
  EXPECT_EQ(Broken.mhPool, nullptr);
  EXPECT_EQ(Capture.Count("CVQCAFPool64::CVQCAFPool64: Failed to create Pool (82000012) maker.cpp:99\n"), 1u);
  EXPECT_EQ(Broken.Alloc(VQCAF_DEBUG_INFO, 1), nullptr);
  CEntity e;
  EXPECT_EQ(Broken.Free(VQCAF_DEBUG_INFO, &e), VQX_RESULT_NOT_INITIALIZED);
  EXPECT_EQ(Broken.Next(), nullptr);
}
