/*
 * test_filter_excl.cpp - exclusive claims: the conflict rules between two
 * filters (table-driven), priority of claims over ordinary filters and of
 * the claim lists among themselves, modification, removal with the filter,
 * and the periodic re-sort by hits.
 */
#include <gtest/gtest.h>

#include "support/hostlib_fixture.h"
#include "vqx_filter_internal.h"

namespace {

constexpr u32 kGroup = 0x0600u;
constexpr u32 kId = 0x06000001u;
constexpr u32 kLocal = 0xDA000001u;

_VQX_FILTER_PARAMS Set(u32 un32Mask, u32 hAdapter = kLocal, u32 un32Group = kGroup, u64 uc1 = 0x11, u64 uc2 = 0x22) {
  _VQX_FILTER_PARAMS p{};
  p.un32Version = 1;
  p.un32Mask = un32Mask;
  p.hAdapter = hAdapter;
  p.MsgGroup = un32Group;
  p.un64UserContext1 = uc1;
  p.un64UserContext2 = uc2;
  return p;
}

constexpr u32 XA = VQX_FILTER_MASK_EXCLUSIVE_ADAPTER;
constexpr u32 XG = VQX_FILTER_MASK_EXCLUSIVE_MSG_GROUP;
constexpr u32 X1 = VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT1;
constexpr u32 X2 = VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT2;
constexpr u32 MA = VQX_FILTER_MASK_ADAPTER;
constexpr u32 MG = VQX_FILTER_MASK_MSG_GROUP;
constexpr u32 M1 = VQX_FILTER_MASK_USER_CONTEXT1;
constexpr u32 M2 = VQX_FILTER_MASK_USER_CONTEXT2;

struct ConflictRow {
  const char* pszName;
  _VQX_FILTER_PARAMS first;
  _VQX_FILTER_PARAMS second;
  const char* pszReason; /* null: the second filter is accepted */
};

const ConflictRow kRows[] = {
    {"same group claimed twice", Set(XG), Set(XG), "Another filter has conflicting MsgGroup exclusivity"},
    {"other group claimed", Set(XG), Set(XG, kLocal, 0x0601), nullptr},
    {"same adapter claimed twice", Set(XA), Set(XA), "Another filter has conflicting adapter exclusivity"},
    {"context1 claimed twice", Set(X1), Set(X1), "Another filter has conflicting user context exclusivity"},
    {"context2 claimed twice", Set(X2), Set(X2), "Another filter has conflicting user context exclusivity"},
    {"pair claimed twice", Set(X1 | X2), Set(X1 | X2), "Another filter has conflicting user context exclusivity"},
    {"pairs differing in context2", Set(X1 | X2), Set(X1 | X2, kLocal, kGroup, 0x11, 0x99), nullptr},
    {"context1 then pair", Set(X1), Set(X1 | X2), "Another filter has conflicting user context exclusivity"},
    {"context1 vs context2 same number", Set(X1, kLocal, kGroup, 5, 6), Set(X2, kLocal, kGroup, 6, 5), nullptr},
    {"plain group then claim", Set(MG), Set(XG), "Another filter uses same MsgGroup"},
    {"plain adapter then claim", Set(MA), Set(XA), "Another filter uses same hAdapter"},
    {"plain context1 then claim", Set(M1), Set(X1), "Another filter uses same un64UserContext1"},
    {"plain context2 then claim", Set(M2), Set(X2), "Another filter uses same un64UserContext2"},
    {"plain pair then pair claim", Set(M1 | M2), Set(X1 | X2), "Another filter uses same match on un64UserContext1 + un64UserContext1"},
    {"claim then plain group", Set(XG), Set(MG), "Another filter already owns this MsgGroup's exclusivity"},
    {"claim then plain adapter", Set(XA), Set(MA), "Another filter already owns this adapter's exclusivity"},
    {"claim then plain context1", Set(X1), Set(M1), "Another filter already owns this user context's exclusivity"},
    {"claim then plain other group", Set(XG), Set(MG, kLocal, 0x0601), nullptr},
    {"negated group is no match", Set(XG), Set(VQX_FILTER_MASK_NOT_MSG_GROUP), nullptr},
};

class ExclusiveTest : public HostLibTest {
 protected:
  VQX_FILTER_HANDLE Create(_VQX_FILTER_PARAMS set, VQX_RESULT expected = VQX_RESULT_API_OK) {
    VQX_FILTER_HANDLE h = nullptr;
    EXPECT_EQ(VQXCreateMsgFilterEx(mhLib, 1, &set, &h), expected);
    return h;
  }
  void Send(u32 un32Id, u64 uc1 = 0, u64 uc2 = 0, u32 hAdapter = kLocal) {
    VQX_MSG_HANDLE hMsg = NewMsg(un32Id, hAdapter);
    ASSERT_NE(hMsg, nullptr);
    hMsg->un64UserContext1 = uc1;
    hMsg->un64UserContext2 = uc2;
    ASSERT_EQ(VQXSendMsgEx(mhLib, &hMsg, nullptr), VQX_RESULT_API_OK);
  }
  void Destroy(VQX_FILTER_HANDLE* ph) {
    if (*ph != nullptr) {
      EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, ph), VQX_RESULT_API_OK);
    }
  }
};

TEST_F(ExclusiveTest, ConflictTable) {
  for (const ConflictRow& row : kRows) {
    mLog.Clear();
    VQX_FILTER_HANDLE hFirst = Create(row.first);
    ASSERT_NE(hFirst, nullptr) << row.pszName;
    VQX_FILTER_HANDLE hSecond =
        Create(row.second, row.pszReason == nullptr ? VQX_RESULT_API_OK : VQX_RESULT_API_ACCESS_DENIED);
    if (row.pszReason != nullptr) {
      EXPECT_EQ(hSecond, nullptr) << row.pszName;
      EXPECT_TRUE(mLog.WaitFor(row.pszReason)) << row.pszName;
      EXPECT_TRUE(mLog.WaitFor("VqxFilterCreate: Filter exclusivity conflict")) << row.pszName;
    } else {
      EXPECT_NE(hSecond, nullptr) << row.pszName;
    }
    Destroy(&hSecond);
    Destroy(&hFirst);
  }
  /* Every claim was removed with its filter. */
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  for (const VQX_EXCL_LIST& list : VqxFilterLib(mhLib)->aExcl) EXPECT_EQ(list.un32Count, 0u);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
}

TEST_F(ExclusiveTest, RefusedSecondLeavesFirstReceiving) {
  VQX_FILTER_HANDLE hA = Create(Set(XG));
  VQX_FILTER_HANDLE hB = Create(Set(XG), VQX_RESULT_API_ACCESS_DENIED);
  Send(kId);
  EXPECT_EQ(Drain(hA), 1u);
  Destroy(&hA);
  /* Once the claim is gone another filter may take it. */
  hB = Create(Set(XG));
  Send(kId);
  EXPECT_EQ(Drain(hB), 1u);
  Destroy(&hB);
}

TEST_F(ExclusiveTest, ClaimAddsItsMatchBitToTheCallersSet) {
  _VQX_FILTER_PARAMS set = Set(XA | XG | X1 | X2);
  VQX_FILTER_HANDLE h = nullptr;
  ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, 1, &set, &h), VQX_RESULT_API_OK);
  EXPECT_EQ(set.un32Mask, XA | XG | X1 | X2 | MA | MG | M1 | M2);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  const VQX_FILTER_LIB* pFl = VqxFilterLib(mhLib);
  EXPECT_EQ(pFl->aExcl[VQX_EXCL_BY_ADAPTER].un32Count, 1u);
  EXPECT_EQ(pFl->aExcl[VQX_EXCL_BY_GROUP].un32Count, 1u);
  EXPECT_EQ(pFl->aExcl[VQX_EXCL_BY_PAIR].un32Count, 1u);
  EXPECT_EQ(pFl->aExcl[VQX_EXCL_BY_CONTEXT1].un32Count, 0u);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  Destroy(&h);
}

TEST_F(ExclusiveTest, ModifyWithOwnClaimsSucceeds) {
  VQX_FILTER_HANDLE h = Create(Set(XG));
  _VQX_FILTER_PARAMS sets[2] = {Set(XG), Set(XA)};
  EXPECT_EQ(VQXModifyMsgFilter(mhLib, h, 2, sets, nullptr), VQX_RESULT_API_OK);
  VQX_FILTER_HANDLE hOther = Create(Set(XA), VQX_RESULT_API_ACCESS_DENIED);
  /* A refused modification leaves the filter as it was. */
  VQX_FILTER_HANDLE hPlain = Create(Set(MG, kLocal, 0x0700));
  _VQX_FILTER_PARAMS grab = Set(XG, kLocal, 0x0700);
  EXPECT_EQ(VQXModifyMsgFilter(mhLib, h, 1, &grab, nullptr), VQX_RESULT_API_ACCESS_DENIED);
  EXPECT_TRUE(mLog.WaitFor("VqxFilterModify: Filter exclusivity conflict"));
  Send(kId, 0, 0, 0xDA000077u);
  EXPECT_EQ(Drain(h), 1u);
  Destroy(&hPlain);
  Destroy(&h);
  Destroy(&hOther);
}

TEST_F(ExclusiveTest, ListPriorityContextBeforeAdapterBeforeGroup) {
  VQX_FILTER_HANDLE hCtx = Create(Set(X1, kLocal, kGroup, 0x77));
  VQX_FILTER_HANDLE hAdapter = Create(Set(XA, 0xDA000005u));
  VQX_FILTER_HANDLE hGroup = Create(Set(XG));
  VQX_FILTER_HANDLE hOrdinary = Create(Set(VQX_FILTER_MASK_MSG_ID, kLocal, kGroup));
  hOrdinary->aParams[0].MsgId = kId;
  const struct { u64 uc1; u32 hAdapter; VQX_FILTER_HANDLE hExpected; } rows[] = {
      {0x77, 0xDA000005u, hCtx},   /* context claim beats adapter and group claims */
      {0x78, 0xDA000005u, hAdapter},
      {0x78, kLocal, hGroup},
  };
  for (const auto& r : rows) {
    Send(kId, r.uc1, 0, r.hAdapter);
    for (VQX_FILTER_HANDLE h : {hCtx, hAdapter, hGroup, hOrdinary}) {
      EXPECT_EQ(Drain(h), h == r.hExpected ? 1u : 0u) << r.uc1 << " " << r.hAdapter;
    }
  }
  /* A group nobody claims reaches the ordinary filter. */
  Send(0x07000001u);
  hOrdinary->aParams[0].MsgId = 0x07000001u;
  Send(0x07000001u);
  EXPECT_EQ(Drain(hOrdinary), 1u);
  for (VQX_FILTER_HANDLE* ph : {&hCtx, &hAdapter, &hGroup, &hOrdinary}) Destroy(ph);
}

TEST_F(ExclusiveTest, ClaimHonouredWhateverOtherSets) {
  /* The owner's only set is negative for this id, yet the claim delivers. */
  _VQX_FILTER_PARAMS sets[1] = {Set(XG | VQX_FILTER_MASK_MSG_ID)};
  sets[0].MsgId = 0x06000002u;
  VQX_FILTER_HANDLE h = nullptr;
  ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, 1, sets, &h), VQX_RESULT_API_OK);
  Send(kId);
  EXPECT_EQ(Drain(h), 1u);
  Destroy(&h);
}

TEST_F(ExclusiveTest, SortPutsBusiestFirstAndClearsHits) {
  VQX_FILTER_HANDLE ah[3];
  for (u32 i = 0; i < 3; i++) ah[i] = Create(Set(XG, kLocal, 0x0600 + i));
  const u32 aSends[3] = {1, 5, 3};
  for (u32 i = 0; i < 3; i++) {
    for (u32 k = 0; k < aSends[i]; k++) Send(((0x0600 + i) << 16) | 1);
  }
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  VqxMsgSortExclusiveFilters(mhLib);
  const VQX_EXCL_LIST& list = VqxFilterLib(mhLib)->aExcl[VQX_EXCL_BY_GROUP];
  const u32 aOrder[3] = {0x0601, 0x0602, 0x0600};
  u32 i = 0;
  const VQX_EXCL_ENTRY* pPrev = nullptr;
  for (const VQX_EXCL_ENTRY* p = list.pFirst; p != nullptr; pPrev = p, p = p->pNext, i++) {
    ASSERT_LT(i, 3u);
    EXPECT_EQ(p->un32MsgGroup, aOrder[i]);
    EXPECT_EQ(p->un32Hits, 0u);
    EXPECT_EQ(p->pPrev, pPrev);
  }
  EXPECT_EQ(list.pLast, pPrev);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  for (u32 k = 0; k < 3; k++) EXPECT_EQ(Drain(ah[k]), aSends[k]);
  for (auto& h : ah) Destroy(&h);
}

TEST_F(ExclusiveTest, SortIsStableForEqualHits) {
  VQX_FILTER_HANDLE ah[4];
  for (u32 i = 0; i < 4; i++) ah[i] = Create(Set(XG, kLocal, 0x0610 + i));
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  VqxMsgSortExclusiveFilters(mhLib);
  u32 i = 0;
  for (const VQX_EXCL_ENTRY* p = VqxFilterLib(mhLib)->aExcl[VQX_EXCL_BY_GROUP].pFirst; p != nullptr; p = p->pNext) {
    EXPECT_EQ(p->un32MsgGroup, 0x0610 + i++);
  }
  EXPECT_EQ(i, 4u);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  for (auto& h : ah) Destroy(&h);
}

}  // namespace
