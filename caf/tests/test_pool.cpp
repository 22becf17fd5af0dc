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
constexpr u32 OK = VQX_RESULT_OK, BAD = VQX_RESULT_INVALID_PARAM, NUL = VQX_RESULT_NULL_PARAM;

class PoolModes : public ::testing::TestWithParam<u32> {};  // static or dynamic storage

TEST_P(PoolModes, AllocFindFreeWithinLimit) {
  g_nLive = 0;
  CVQCAFPool<CEntity> Pool(D, 3, 1, 1, GetParam());
  CEntity Foreign;
  CEntity *a = Pool.Alloc(D, "ss7_trk_01"), *b = Pool.Alloc(D, CVQCAFString("b"));
  ASSERT_TRUE(a != nullptr && b != nullptr);
  EXPECT_EQ(a->strName, "default");  // built in place by its constructor
  ExpectSteps({{"key taken", Pool.Alloc(D, "ss7_trk_01") == nullptr, true}, {"third", Pool.Alloc(D, "c") != nullptr, true},
               {"full", Pool.Alloc(D, "d") == nullptr, true},
               {"count", Pool.GetCount(), 3}, {"find", Pool.Find("ss7_trk_01") == a, true},
               {"keys keep their case", Pool.Find("SS7_TRK_01") == nullptr, true}, {"free", Pool.Free(D, b), OK},
               {"free again", Pool.Free(D, b), BAD}, {"free null", Pool.Free(D, nullptr), NUL},
               {"free a foreign one", Pool.Free(D, &Foreign), BAD}, {"find freed", Pool.Find("b") == nullptr, true},
               {"key and slot reusable", Pool.Alloc(D, "b") != nullptr, true}, {"invariant", Pool.CheckInvariant(), true},
               {"clear", Pool.Clear(D), OK}, {"count after", Pool.GetCount(), 0}, {"live: Foreign only", g_nLive, 1},
               {"invariant after", Pool.CheckInvariant(), true}});
}

TEST_P(PoolModes, WalkInOrderWhileFreeing) {
  CVQCAFPool<CEntity> Pool(D, 10, 1, 1, GetParam());
  for (int i = 0; i < 6; ++i) Pool.Alloc(D, std::to_string(i).c_str())->nValue = i;
  std::vector<int> Seen;
  Pool.ResetNext();
  while (CEntity* p = Pool.Next()) {  // free the even ones as met and, at 2, also 3 ahead
    Seen.push_back(p->nValue);
    if (p->nValue == 2) { EXPECT_EQ(Pool.Free(D, Pool.Find("3")), OK); }
    if (p->nValue % 2 == 0) { EXPECT_EQ(Pool.Free(D, p), OK); }
  }
  while (CEntity* p = Pool.Next()) Seen.push_back(p->nValue);  // after the end the walk starts again
  EXPECT_EQ(Seen, std::vector<int>({0, 1, 2, 4, 5, 1, 5}));
  EXPECT_EQ(Pool.Next()->nValue, 1);  // a partial walk, then a reset
  Pool.ResetNext();
  EXPECT_TRUE(Pool.Next()->nValue == 1 && Pool.CheckInvariant());
  Pool.Clear(D);
}

INSTANTIATE_TEST_SUITE_P(StaticAndDynamic, PoolModes, ::testing::Values(0u, 1u));

TEST(Pool, CaseInsensitiveUnkeyedAndEmptyPools) {
  CVQCAFPool<CVQCAFPoolPointerElement> Pool(D, 1024, 1, 0, 1);
  CVQCAFPool<CEntity> Unkeyed(D, 2, 0, 1, 0), Empty(D, 0, 1, 1, 0);
  CVQCAFPoolPointerElement* p = Pool.Alloc(D, "Host-A");
  ASSERT_NE(p, nullptr);
  ExpectSteps({{"pointer", p->GetPointer() == nullptr, true}, {"find lower", Pool.Find("host-a") == p, true},
               {"find upper", Pool.Find("HOST-A") == p, true},
               {"key taken in any case", Pool.Alloc(D, "HOST-a") == nullptr, true},
               {"stored as given", Pool.GetKey(p)->c_str() == std::string("Host-A"), true}, {"free", Pool.Free(D, p), OK},
               {"unkeyed", Unkeyed.Alloc(D) != nullptr, true}, {"key ignored", Unkeyed.Alloc(D, "ignored") != nullptr, true},
               {"no key to find", Unkeyed.Find("ignored") == nullptr, true}, {"clear", Unkeyed.Clear(D), OK},
               {"no room", Empty.Alloc(D, "x") == nullptr, true}, {"nothing to walk", Empty.Next() == nullptr, true}});
}

TEST(Pool64, AllocFindFreeAndDirectLookup) {
  g_nLive = 0;
  CVQCAFPool64<CEntity> Pool(D, 2, 1);
  const u64 un64Key = 0x0000000100000002ull;
  CEntity* a = Pool.Alloc(D, un64Key);
  ASSERT_NE(a, nullptr);
  a->nValue = 11;
  EXPECT_EQ(Pool.Alloc(D, un64Key), nullptr);  // a key in use is refused (the record pool reports it)
  CEntity* b = Pool.Alloc(D, 2);
  void* pRecord = VQXPoolOfBuffers64Find(Pool.mhPool, un64Key);  // direct lookup through the handle
  ExpectSteps({{"untouched under its key", a->nValue, 11}, {"built", a->strName == "default", true},
               {"second", b != nullptr, true},
               {"full", Pool.Alloc(D, 3) == nullptr, true}, {"find", Pool.Find(un64Key) == a, true},
               {"the full 64 bits count", Pool.Find(0x2ull) == b, true},
               {"payload of the record", CVQCAFPool64<CEntity>::PayloadOfRecord(pRecord) == a, true},
               {"key of the record", static_cast<CVQCAFPool64ElementUInt64<CEntity>*>(pRecord)->GetKey(), un64Key},
               {"free", Pool.Free(D, a), OK}, {"free again", Pool.Free(D, a), BAD}, {"free null", Pool.Free(D, nullptr), NUL},
               {"find freed", Pool.Find(un64Key) == nullptr, true}, {"live", g_nLive, 1}, {"count", Pool.GetCount(), 1},
               {"free the last", Pool.Free(D, b), OK}});
}

TEST(Pool64, WalkWhileFreeingTheNextElement) {
  CVQCAFPool64<CEntity> Pool(D, 8, 0);
  for (u64 k = 1; k <= 5; ++k) Pool.Alloc(D, k)->nValue = static_cast<int>(k);
  std::multiset<int> Seen;
  while (CEntity* p = Pool.Next()) {
    Seen.insert(p->nValue);
    for (u64 k : {3ull, 2ull}) {  // at 4, free what the walk may not have reached yet
      CEntity* q = p->nValue == 4 ? Pool.Find(k) : nullptr;
      if (q != nullptr) { EXPECT_EQ(Pool.Free(D, q), OK); }
    }
    EXPECT_EQ(Pool.Free(D, p), OK);
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
  const std::string strStill = "error: Element still present in pool!!!\n";
  EXPECT_EQ(Capture.Lines(),
            std::vector<std::string>({"~CVQCAFPool64: " + strStill, "~CVQCAFPool: " + strStill, "~CVQCAFPool: " + strStill}));
  // A count the pool library refuses: one failure line, then everything refuses.
  CVQCAFPool64<CEntity> Broken(CVQCAFDebugInfo("maker.cpp", 99), 0, 0);
  CEntity e;
  ExpectSteps({{"no storage", Broken.mhPool == nullptr, true}, {"alloc", Broken.Alloc(D, 1) == nullptr, true},
               {"free", Broken.Free(D, &e), VQX_RESULT_NOT_INITIALIZED}, {"walk", Broken.Next() == nullptr, true},
               {"reported", Capture.Lines().back() == "CVQCAFPool64::CVQCAFPool64: Failed to create Pool (82000012) maker.cpp:99\n", true}});
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
  ExpectSteps({{"insert 30", List.Insert(30, &c), OK}, {"insert 10", List.Insert(10, &a), OK},
               {"insert 20", List.Insert(20, &b), OK},
               {"key present", List.Insert(10, &b), VQX_RESULT_ACCESS_DENIED}, {"value kept", List.Find(10) == &a, true},
               {"unknown", List.Find(99) == nullptr, true}});
  EXPECT_EQ(Order(), std::vector<int*>({&c, &a, &b}));
  ExpectSteps({{"remove", List.Remove(10), OK}, {"remove again", List.Remove(10), VQX_RESULT_NOT_FOUND},
               {"count", List.GetCount(), 2}});
  EXPECT_EQ(Order(), std::vector<int*>({&c, &b}));
  std::vector<int> Values(500);  // beyond the bucket count
  int* pOwned = new int(5);
  {
    CVQCAFHashList<int> Big(16);
    for (unsigned i = 0; i < Values.size(); ++i) ASSERT_EQ(Big.Insert(i * 7919u, &Values[i]), OK);
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
  ExpectSteps({{"insert", Hash.Insert(&a, &x), OK}, {"insert again", Hash.Insert(&a, &x), VQX_RESULT_ACCESS_DENIED},
               {"null key", Hash.Insert(nullptr, &x), NUL}, {"null value", Hash.Insert(&b, nullptr), NUL},
               {"find", Hash.Find(&a) == &x, true}, {"find unknown", Hash.Find(&b) == nullptr, true},
               {"remove", Hash.Remove(&a), OK},
               {"remove again", Hash.Remove(&a), VQX_RESULT_NOT_FOUND}, {"find removed", Hash.Find(&a) == nullptr, true}});
}

}  // namespace
