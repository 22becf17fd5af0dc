// The keyed pool CVQCAFPool (text keys) within its limit in both storage modes.
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

}  // namespace
