// Keyed pools CVQCAFPool (text keys) and CVQCAFPool64 (u64 keys): limits,
// keys, a walk that frees as it goes, a pool without storage.
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

TEST(Pool64, FailedStorageRefusesAll) {
  CDiagCapture Capture;  // a count the pool library refuses: one failure line, then everything refuses
  CVQCAFPool64<CEntity> Broken(CVQCAFDebugInfo("maker.cpp", 99), 0, 0);
  CEntity e;
  ExpectSteps({{"no storage", Broken.mhPool == nullptr, true}, {"alloc", Broken.Alloc(D, 1) == nullptr, true},
               {"free", Broken.Free(D, &e), VQX_RESULT_NOT_INITIALIZED}, {"walk", Broken.Next() == nullptr, true},
               {"reported", Capture.Lines().back() == "CVQCAFPool64::CVQCAFPool64: Failed to create Pool (82000012) maker.cpp:99\n", true}});
}

}  // namespace
