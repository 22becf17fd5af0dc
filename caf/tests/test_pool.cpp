// Keyed pools: CVQCAFPool (text keys) within its limit in both storage modes,
// and CVQCAFPool64 without storage.
#include "support/vqcaf_test_support.h"

namespace {

int g_nLive = 0;

struct CEntity {
  CEntity() { ++g_nLive; }
  ~CEntity() { --g_nLive; }
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

INSTANTIATE_TEST_SUITE_P(StaticAndDynamic, PoolModes, ::testing::Values(0u, 1u));

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
