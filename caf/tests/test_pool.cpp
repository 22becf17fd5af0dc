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

class PoolModes : public ::testing::TestWithParam<u32> {};  // static or dynamic storage

TEST_P(PoolModes, AllocFindFreeWithinLimit) {
  g_nLive = 0;
  CVQCAFPool<CEntity> Pool(D, 3, 1, 1, GetParam());
  CEntity Foreign;
  CEntity* a = Pool.Alloc(D, "ss7_trk_01");
  CEntity* b = Pool.Alloc(D, CVQCAFString("b"));
  ASSERT_TRUE(a != nullptr && b != nullptr);
  EXPECT_EQ(a->strName, "default");                 // built in place by its constructor
  EXPECT_EQ(Pool.Alloc(D, "ss7_trk_01"), nullptr);  // the key is taken while there is room
  EXPECT_NE(Pool.Alloc(D, "c"), nullptr);
  EXPECT_EQ(Pool.Alloc(D, "d"), nullptr);  // full
  EXPECT_EQ(Pool.Find("ss7_trk_01"), a);
  EXPECT_EQ(Pool.Find("SS7_TRK_01"), nullptr);  // keys keep their case
  EXPECT_EQ(Pool.Free(D, b), VQX_RESULT_OK);
  EXPECT_EQ(Pool.Free(D, b), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Pool.Free(D, &Foreign), VQX_RESULT_INVALID_PARAM);
  EXPECT_NE(Pool.Alloc(D, "b"), nullptr);  // key and slot reusable
  EXPECT_TRUE(Pool.CheckInvariant());
  EXPECT_EQ(Pool.Clear(D), VQX_RESULT_OK);
  EXPECT_EQ(Pool.GetCount(), 0u);
  EXPECT_EQ(g_nLive, 1);  // Foreign only
}

TEST_P(PoolModes, WalkInOrderWhileFreeing) {
  CVQCAFPool<CEntity> Pool(D, 10, 1, 1, GetParam());
  for (int i = 0; i < 6; ++i) Pool.Alloc(D, std::to_string(i).c_str())->nValue = i;
  std::vector<int> Seen;
  Pool.ResetNext();
  while (CEntity* p = Pool.Next()) {  // free the even ones as met and, at 2, also 3 ahead
    Seen.push_back(p->nValue);
    if (p->nValue == 2) {
      EXPECT_EQ(Pool.Free(D, Pool.Find("3")), VQX_RESULT_OK);
    }
    if (p->nValue % 2 == 0) {
      EXPECT_EQ(Pool.Free(D, p), VQX_RESULT_OK);
    }
  }
  while (CEntity* p = Pool.Next()) Seen.push_back(p->nValue);  // after the end the walk starts again
  EXPECT_EQ(Seen, std::vector<int>({0, 1, 2, 4, 5, 1, 5}));
  EXPECT_EQ(Pool.Next()->nValue, 1);  // a partial walk, then a reset
  Pool.ResetNext();
  EXPECT_EQ(Pool.Next()->nValue, 1);
  EXPECT_TRUE(Pool.CheckInvariant());
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
  EXPECT_EQ(a->nValue, 11);                    // untouched under its key
  CEntity* b = Pool.Alloc(D, 2);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(Pool.Alloc(D, 3), nullptr);  // full
  EXPECT_EQ(Pool.Find(un64Key), a);
  EXPECT_EQ(Pool.Find(0x2ull), b);                               // the full 64 bits count
  void* pRecord = VQXPoolOfBuffers64Find(Pool.mhPool, un64Key);  // direct lookup through the handle
  EXPECT_EQ(CVQCAFPool64<CEntity>::PayloadOfRecord(pRecord), a);
  EXPECT_EQ(static_cast<CVQCAFPool64ElementUInt64<CEntity>*>(pRecord)->GetKey(), un64Key);
  EXPECT_EQ(Pool.Free(D, a), VQX_RESULT_OK);
  EXPECT_EQ(Pool.Free(D, a), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(g_nLive, 1);
  EXPECT_EQ(Pool.Free(D, b), VQX_RESULT_OK);
}

TEST(Pool64, FailedStorageRefusesAll) {
  CDiagCapture Capture;  // a count the pool library refuses: one failure line, then everything refuses
  CVQCAFPool64<CEntity> Broken(CVQCAFDebugInfo("maker.cpp", 99), 0, 0);
  CEntity e;
  EXPECT_EQ(Broken.mhPool, nullptr);
  EXPECT_EQ(Broken.Alloc(D, 1), nullptr);
  EXPECT_EQ(Broken.Free(D, &e), VQX_RESULT_NOT_INITIALIZED);
  EXPECT_EQ(Broken.Next(), nullptr);
  EXPECT_EQ(Capture.Lines().back(), "CVQCAFPool64::CVQCAFPool64: Failed to create Pool (82000012) maker.cpp:99\n");
}

}  // namespace
