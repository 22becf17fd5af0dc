// The keyed pool CVQCAFPool (text keys) within its limit in both storage modes,
// and a walk that frees as it goes.
#include "support/vqcaf_test_support.h"
#include "vqcafpool64.h"

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

/* A walk that frees what it meets, and one element ahead of it, sees each live element once, in order. */
TEST_P(PoolModes, WalkInOrderWhileFreeing) {
  CVQCAFPool<CEntity> Pool(D, 10, 1, 1, GetParam());
  for (int i = 0; i < 6; ++i) Pool.Alloc(D, std::to_string(i).c_str())->strName = std::to_string(i);
  std::string strSeen;
  Pool.ResetNext();
  while (CEntity* p = Pool.Next()) {  // the even ones freed as met and, at 2, also 3 ahead
    strSeen += p->strName;
    if (p->strName == "2") {
      EXPECT_EQ(Pool.Free(D, Pool.Find("3")), VQX_RESULT_OK);
    }
    if ((p->strName[0] - '0') % 2 == 0) {
      EXPECT_EQ(Pool.Free(D, p), VQX_RESULT_OK);
    }
  }
  while (CEntity* p = Pool.Next()) strSeen += p->strName;  // after the end the walk starts again
  EXPECT_EQ(strSeen, "0124515");
  EXPECT_EQ(Pool.Next()->strName, "1");  // a partial walk, then a reset
  Pool.ResetNext();
  EXPECT_EQ(Pool.Next()->strName, "1");
  EXPECT_TRUE(Pool.CheckInvariant());
  Pool.Clear(D);
}

INSTANTIATE_TEST_SUITE_P(StaticAndDynamic, PoolModes, ::testing::Values(0u, 1u));

/* The same for u64 keys, whose walk goes newest first: at 4, 3 and 2 are freed before the walk reaches them. */
TEST(Pool64, WalkWhileFreeingTheNextElement) {
  CVQCAFPool64<CEntity> Pool(D, 8, 0);
  for (u64 k = 1; k <= 5; ++k) Pool.Alloc(D, k)->strName = std::to_string(k);
  std::string strSeen;
  while (CEntity* p = Pool.Next()) {
    strSeen += p->strName;
    for (u64 k : {3ull, 2ull}) {
      CEntity* q = p->strName == "4" ? Pool.Find(k) : nullptr;
      if (q != nullptr) {
        EXPECT_EQ(Pool.Free(D, q), VQX_RESULT_OK);
      }
    }
    EXPECT_EQ(Pool.Free(D, p), VQX_RESULT_OK);
  }
  EXPECT_EQ(strSeen, "541");
  EXPECT_EQ(Pool.GetCount(), 0u);
}

}  // namespace
