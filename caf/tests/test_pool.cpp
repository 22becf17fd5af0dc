// Keyed pools CVQCAFPool (text keys) and CVQCAFPool64 (u64 keys): limits,
// keys and case, walks that free as they go, the destructors' reports; the
// hash keys, CVQCAFHashList (insertion order, borrowed pointers) and
// CVQCAFHash (address keys).

#include "support/vqcaf_test_support.h"

namespace {

int g_nLive = 0;

struct CEntity {
  CEntity() { ++g_nLive; }
  ~CEntity() { --g_nLive; }
  int nValue = 0;
  std::string strName = "default";
};

const CVQCAFDebugInfo D = VQCAF_DEBUG_INFO;

}  // namespace

class PoolModes : public ::testing::TestWithParam<u32> {};  // static or dynamic storage

TEST_P(PoolModes, AllocFindFreeWithinLimit) {
  g_nLive = 0;
  CVQCAFPool<CEntity> Pool(D, 3, 1, 1, GetParam());
  CEntity* a = Pool.Alloc(D, "ss7_trk_01");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->strName, "default");                      // built in place by its constructor
  EXPECT_EQ(Pool.Alloc(D, "ss7_trk_01"), nullptr);       // key taken
  CEntity* b = Pool.Alloc(D, CVQCAFString("b"));
  ASSERT_NE(Pool.Alloc(D, "c"), nullptr);
  EXPECT_EQ(Pool.Alloc(D, "d"), nullptr);                // full
  EXPECT_EQ(Pool.GetCount(), 3u);
  EXPECT_EQ(Pool.Find("ss7_trk_01"), a);
  EXPECT_EQ(Pool.Find("SS7_TRK_01"), nullptr);           // case-sensitive
  EXPECT_EQ(Pool.Free(D, b), VQX_RESULT_OK);
  EXPECT_EQ(Pool.Free(D, b), VQX_RESULT_INVALID_PARAM);  // already free
  EXPECT_EQ(Pool.Free(D, nullptr), VQX_RESULT_NULL_PARAM);
  CEntity Foreign;
  EXPECT_EQ(Pool.Free(D, &Foreign), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Pool.Find("b"), nullptr);
  EXPECT_NE(Pool.Alloc(D, "b"), nullptr);                // key and slot reusable
  EXPECT_TRUE(Pool.CheckInvariant());
  EXPECT_EQ(Pool.Clear(D), VQX_RESULT_OK);
  EXPECT_EQ(Pool.GetCount(), 0u);
  EXPECT_EQ(g_nLive, 1);  // only Foreign
  EXPECT_TRUE(Pool.CheckInvariant());
}

TEST_P(PoolModes, WalkInOrderWhileFreeing) {
  CVQCAFPool<CEntity> Pool(D, 10, 1, 1, GetParam());
  for (int i = 0; i < 6; ++i) Pool.Alloc(D, std::to_string(i).c_str())->nValue = i;
  std::vector<int> Seen;
  Pool.ResetNext();
  while (CEntity* p = Pool.Next()) {  // free the even ones as met and, at 2, also 3 ahead
    Seen.push_back(p->nValue);
    if (p->nValue == 2) { EXPECT_EQ(Pool.Free(D, Pool.Find("3")), VQX_RESULT_OK); }
    if (p->nValue % 2 == 0) { EXPECT_EQ(Pool.Free(D, p), VQX_RESULT_OK); }
  }
  EXPECT_EQ(Seen, std::vector<int>({0, 1, 2, 4, 5}));
  Seen.clear();  // after the end the walk starts again
  while (CEntity* p = Pool.Next()) Seen.push_back(p->nValue);
  EXPECT_EQ(Seen, std::vector<int>({1, 5}));
  EXPECT_EQ(Pool.Next()->nValue, 1);  // a partial walk, then a reset
  Pool.ResetNext();
  EXPECT_EQ(Pool.Next()->nValue, 1);
  EXPECT_TRUE(Pool.CheckInvariant());
  Pool.Clear(D);
}

INSTANTIATE_TEST_SUITE_P(StaticAndDynamic, PoolModes, ::testing::Values(0u, 1u));

TEST(Pool, CaseInsensitiveUnkeyedAndEmptyPools) {
  CVQCAFPool<CVQCAFPoolPointerElement> Pool(D, 1024, 1, 0, 1);
  CVQCAFPoolPointerElement* p = Pool.Alloc(D, "Host-A");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->GetPointer(), nullptr);
  EXPECT_EQ(Pool.Find("host-a"), p);
  EXPECT_EQ(Pool.Find("HOST-A"), p);
  EXPECT_EQ(Pool.Alloc(D, "HOST-a"), nullptr);
  EXPECT_STREQ(Pool.GetKey(p)->c_str(), "Host-A");  // stored as given
  Pool.Free(D, p);
  CVQCAFPool<CEntity> Unkeyed(D, 2, 0, 1, 0), Empty(D, 0, 1, 1, 0);
  ASSERT_NE(Unkeyed.Alloc(D), nullptr);
  ASSERT_NE(Unkeyed.Alloc(D, "ignored"), nullptr);
  EXPECT_EQ(Unkeyed.Find("ignored"), nullptr);
  Unkeyed.Clear(D);
  EXPECT_EQ(Empty.Alloc(D, "x"), nullptr);
  EXPECT_EQ(Empty.Next(), nullptr);
}

TEST(Pool64, AllocFindFreeAndDirectLookup) {
  g_nLive = 0;
  CVQCAFPool64<CEntity> Pool(D, 2, 1);
  const u64 un64Key = 0x0000000100000002ull;
  CEntity* a = Pool.Alloc(D, un64Key);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->strName, "default");
  a->nValue = 11;
  // A key in use is refused, and reported once by the record pool's own printer.
  std::string strPrinted;
  g_pVqxPoolOfBuffers64vPrintfContext = &strPrinted;
  g_pFctVqxPoolOfBuffers64vPrintf = [](void* pv, const char* pszFormat, va_list args) {
    char ac[256];
    const int n = vsnprintf(ac, sizeof(ac), pszFormat, args);
    static_cast<std::string*>(pv)->append(ac);
    return n;
  };
  EXPECT_EQ(Pool.Alloc(D, un64Key), nullptr);
  g_pFctVqxPoolOfBuffers64vPrintf = nullptr;
  EXPECT_NE(strPrinted.find("two elements with the same hashing key (0x00000002)!!!"), std::string::npos) << strPrinted;
  EXPECT_EQ(a->nValue, 11);  // the element under the key is untouched
  CEntity* b = Pool.Alloc(D, 2);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(Pool.Alloc(D, 3), nullptr);  // full
  EXPECT_EQ(Pool.Find(un64Key), a);
  EXPECT_EQ(Pool.Find(0x2ull), b);  // the full 64 bits count
  void* pRecord = VQXPoolOfBuffers64Find(Pool.mhPool, un64Key);  // direct lookup through the handle
  EXPECT_EQ(CVQCAFPool64<CEntity>::PayloadOfRecord(pRecord), a);
  EXPECT_EQ(static_cast<CVQCAFPool64ElementUInt64<CEntity>*>(pRecord)->GetKey(), un64Key);
  EXPECT_EQ(Pool.Free(D, a), VQX_RESULT_OK);
  EXPECT_EQ(Pool.Free(D, a), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Pool.Free(D, nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(Pool.Find(un64Key), nullptr);
  EXPECT_EQ(g_nLive, 1);
  EXPECT_EQ(Pool.GetCount(), 1u);
  Pool.Free(D, b);
}

TEST(Pool64, WalkWhileFreeingTheNextElement) {
  CVQCAFPool64<CEntity> Pool(D, 8, 0);
  for (u64 k = 1; k <= 5; ++k) Pool.Alloc(D, k)->nValue = static_cast<int>(k);
  std::multiset<int> Seen;
  while (CEntity* p = Pool.Next()) {
    Seen.insert(p->nValue);
    for (u64 k : {3ull, 2ull}) {  // at 4, free what the walk may not have reached yet
      CEntity* q = p->nValue == 4 ? Pool.Find(k) : nullptr;
      if (q != nullptr) { EXPECT_EQ(Pool.Free(D, q), VQX_RESULT_OK); }
    }
    EXPECT_EQ(Pool.Free(D, p), VQX_RESULT_OK);
  }
  EXPECT_EQ(Seen, std::multiset<int>({5, 4, 1}));  // newest first; 3 and 2 freed ahead of the walk
  EXPECT_EQ(Pool.GetCount(), 0u);
}

TEST(Pools, DestructorsReportAndFreeEachElementAndFailedStorageRefusesAll) {
  CDiagCapture Capture;
  g_nLive = 0;
  {
    CVQCAFPool<CEntity> Pool(D, 128, 1, 1, 1);
    CVQCAFPool64<CEntity> Pool64(D, 4, 1);
    Pool.Alloc(D, "a");
    Pool.Alloc(D, "b");
    Pool64.Alloc(D, 7);
  }
  EXPECT_EQ(g_nLive, 0);
  EXPECT_EQ(Capture.Count("~CVQCAFPool: error: Element still present in pool!!!\n"), 2u);
  EXPECT_EQ(Capture.Count("~CVQCAFPool64: error: Element still present in pool!!!\n"), 1u);
  EXPECT_EQ(Capture.Lines().size(), 3u);
  // A count the pool library refuses: one failure line, then everything refuses.
  CVQCAFPool64<CEntity> Broken(CVQCAFDebugInfo("maker.cpp", 99), 0, 0);
  EXPECT_EQ(Broken.mhPool, nullptr);
  EXPECT_EQ(Capture.Count("CVQCAFPool64::CVQCAFPool64: Failed to create Pool (82000012) maker.cpp:99\n"), 1u);
  EXPECT_EQ(Broken.Alloc(D, 1), nullptr);
  CEntity e;
  EXPECT_EQ(Broken.Free(D, &e), VQX_RESULT_NOT_INITIALIZED);
  EXPECT_EQ(Broken.Next(), nullptr);
}

TEST(HashKey, StringEqualityAndHashAgreePerMode) {
  struct Row { const char *a, *b; bool fSensitive, fInsensitive; };
  for (const Row& r : {Row{"ss7", "ss7", true, true}, Row{"SS7", "ss7", false, true}, Row{"ss7", "ss8", false, false},
                       Row{"ss7", "ss7 ", false, false}, Row{"", "", true, true}, Row{"a-Z", "A-z", false, true}}) {
    CVQCAFHashKeyString a(r.a), b(r.b);
    EXPECT_EQ(a.Equals(b, true), r.fSensitive) << r.a << "/" << r.b;
    EXPECT_EQ(a.Equals(b, false), r.fInsensitive) << r.a << "/" << r.b;
    EXPECT_TRUE(!r.fSensitive || a.Hash(true) == b.Hash(true)) << r.a << "/" << r.b;
    EXPECT_TRUE(!r.fInsensitive || a.Hash(false) == b.Hash(false)) << r.a << "/" << r.b;
  }
  EXPECT_STREQ(CVQCAFHashKeyString(static_cast<const char*>(nullptr)).c_str(), "");
  EXPECT_FALSE(CVQCAFHashKeyUInt64(0xFFFFFFFF00000001ull) == CVQCAFHashKeyUInt64(1));
}

TEST(HashList, InsertFindRemoveInOrderAndNeverDeleteTheObjects) {
  int a = 1, b = 2, c = 3;
  CVQCAFHashList<int, unsigned int> List(16);
  auto Order = [&List] {
    std::vector<int*> v;
    for (int* p = List.First(); p != nullptr; p = List.Next(p)) v.push_back(p);
    return v;
  };
  EXPECT_EQ(List.Insert(30, &c), VQX_RESULT_OK);
  EXPECT_EQ(List.Insert(10, &a), VQX_RESULT_OK);
  EXPECT_EQ(List.Insert(20, &b), VQX_RESULT_OK);
  EXPECT_EQ(List.Insert(10, &b), VQX_RESULT_ACCESS_DENIED);  // key present, value kept
  EXPECT_EQ(List.Find(10), &a);
  EXPECT_EQ(List.Find(99), nullptr);
  EXPECT_EQ(Order(), std::vector<int*>({&c, &a, &b}));
  EXPECT_EQ(List.Remove(10), VQX_RESULT_OK);
  EXPECT_EQ(List.Remove(10), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(List.GetCount(), 2u);
  EXPECT_EQ(Order(), std::vector<int*>({&c, &b}));
  std::vector<int> Values(500);  // beyond the bucket count
  int* pOwned = new int(5);
  {
    CVQCAFHashList<int> Big(16);
    for (unsigned i = 0; i < Values.size(); ++i) ASSERT_EQ(Big.Insert(i * 7919u, &Values[i]), VQX_RESULT_OK);
    for (unsigned i = 0; i < Values.size(); ++i) ASSERT_EQ(Big.Find(i * 7919u), &Values[i]);
    Big.Insert(1, pOwned);
  }
  EXPECT_EQ(*pOwned, 5);  // still ours (ASan would flag a free)
  delete pOwned;
}

TEST(Hash, AddressKeys) {
  int a = 0, b = 0;
  double x = 1.0;
  CVQCAFHash<double> Hash;
  EXPECT_EQ(Hash.Insert(&a, &x), VQX_RESULT_OK);
  EXPECT_EQ(Hash.Insert(&a, &x), VQX_RESULT_ACCESS_DENIED);
  EXPECT_EQ(Hash.Insert(nullptr, &x), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(Hash.Insert(&b, nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(Hash.Find(&a), &x);
  EXPECT_EQ(Hash.Find(&b), nullptr);
  EXPECT_EQ(Hash.Remove(&a), VQX_RESULT_OK);
  EXPECT_EQ(Hash.Remove(&a), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(Hash.Find(&a), nullptr);
}
