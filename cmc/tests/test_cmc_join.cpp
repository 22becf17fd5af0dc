/*
 * Leg-to-leg joins: the records (key symmetry, orientation, duplicate, full
 * pool, self-join, a record missing from a list, after Clear), the join
 * bookkeeping and the join and unjoin messages through the leg's dispatch.
 * The core library is the real one over a bridge with no transport: legs
 * are adopted ids, and every command send fails (a join that cannot be sent
 * leaves no record).
 */
#include "cmc_join_test_support.h"

namespace {

TEST_F(CmcJoinTest, Records) {
  EXPECT_EQ(CVQCMCLegJoinedLegKey(5, 9), CVQCMCLegJoinedLegKey(9, 5));
  EXPECT_EQ(CVQCMCLegJoinedLegKey(9, 5), 0x0000000900000005ull);
  JoinLeg A(0x60), B(0x51), C(0x70);
  CVQCMC_JOIN_ATTRIBUTE H = Half();
  // Orientation: A (higher id) asks, half duplex: leg1 B, leg2 A, media from A (2) to B (1) only.
  auto pAB = CVQCMCLegJoinedLeg::Alloc(&A, &B, &H);
  ASSERT_FALSE(pAB.IsNull());
  EXPECT_EQ(pAB->mpLeg1, &B);
  EXPECT_EQ(pAB->mpLeg2, &A);
  EXPECT_EQ(pAB->mfJoined1To2 * 10 + pAB->mfJoined2To1, 1);
  CVQCMCLeg *pFirst = nullptr, *pSecond = nullptr;
  pAB->GetLegs(&pFirst, &pSecond);
  EXPECT_TRUE(pFirst == &A && pSecond == &B);
  EXPECT_EQ(CVQCMCLegJoinedLeg::Find(0x51, 0x60).Get(), pAB.Get());
  EXPECT_EQ(CVQCMCLegJoinedLeg::Find(0x60, 0x51).Get(), pAB.Get());
  // Duplicate: refused, the first record unchanged.
  EXPECT_TRUE(CVQCMCLegJoinedLeg::Alloc(&B, &A, nullptr).IsNull());
  EXPECT_EQ(pAB->mfJoined1To2 * 10 + pAB->mfJoined2To1, 1);
  // No attribute: full duplex, GetLegs (leg1, leg2).
  auto pAC = CVQCMCLegJoinedLeg::Alloc(&C, &A, nullptr);
  pAC->GetLegs(&pFirst, &pSecond);
  EXPECT_TRUE(pFirst == &A && pSecond == &C);
  // Self-join: one record, in both lists, counted twice.
  auto pAA = CVQCMCLegJoinedLeg::Alloc(&A, &A, nullptr);
  ASSERT_FALSE(pAA.IsNull());
  std::vector<CVQCMCLeg*> aLegs;
  EXPECT_EQ(A.GetJoinedLegs(&aLegs), 4u);
  EXPECT_EQ(aLegs, (std::vector<CVQCMCLeg*>{&B, &A, &C, &A}));
  EXPECT_TRUE(A.mJoinedLegs1.Check() && A.mJoinedLegs2.Check());
  EXPECT_EQ(CVQCMCLegJoinedLeg::Destroy(0x60, 0x60), VQX_RESULT_OK);
  EXPECT_EQ(A.GetJoinedLegs(nullptr), 2u);
  EXPECT_EQ(CVQCMCLegJoinedLeg::Destroy(0x60, 0x61), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(A.mstrTrace + B.mstrTrace, "");
  // A record gone from leg1's list: traced, still unlinked from leg2 and freed.
  B.mJoinedLegs2.Remove(pAB.Get());
  EXPECT_EQ(CVQCMCLegJoinedLeg::Destroy(0x51, 0x60), VQX_RESULT_OK);
  EXPECT_NE(B.mstrTrace.find("Failed to remove Leg/Leg association from Leg1's list"), std::string::npos);
  EXPECT_FALSE(A.mJoinedLegs1.Contains(pAB.Get()));
  EXPECT_EQ(pAB->mpLeg1, &B);  // this reference keeps the record, no longer found
  EXPECT_TRUE(CVQCMCLegJoinedLeg::Find(0x51, 0x60).IsNull());
  EXPECT_EQ(CVQCMCLegJoinedLeg::Destroy(0x60, 0x70), VQX_RESULT_OK);
  // A full pool (2 records) refuses and changes no list; Clear unlinks what it still holds;
  // after it nothing is found, made or destroyed.
  CVQCMCLegJoinedLeg::Clear();
  ASSERT_EQ(CVQCMCLegJoinedLeg::Init(CVQCAFDebugInfo(__FILE__, __LINE__), 2), VQX_RESULT_OK);
  EXPECT_FALSE(CVQCMCLegJoinedLeg::Alloc(&A, &B, nullptr).IsNull());
  EXPECT_FALSE(CVQCMCLegJoinedLeg::Alloc(&A, &C, nullptr).IsNull());
  EXPECT_TRUE(CVQCMCLegJoinedLeg::Alloc(&B, &C, nullptr).IsNull());
  EXPECT_EQ(B.GetJoinedLegs(nullptr) + C.GetJoinedLegs(nullptr), 2u);
  EXPECT_EQ(CVQCMCLegJoinedLeg::Clear(), VQX_RESULT_OK);
  EXPECT_EQ(A.GetJoinedLegs(nullptr), 0u);
  EXPECT_TRUE(CVQCMCLegJoinedLeg::Find(0x60, 0x51).IsNull());
  EXPECT_TRUE(CVQCMCLegJoinedLeg::Alloc(&A, &B, nullptr).IsNull());
  EXPECT_EQ(CVQCMCLegJoinedLeg::Destroy(0x60, 0x51), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(CVQCMCLegJoinedLeg::Clear(), VQX_RESULT_OK);
}

/* The join states through the leg: pending, done, refused, unjoin done, and the callbacks of each family. */
TEST_F(CmcJoinTest, JoinStates) {
  JoinLeg A(0x60), B(0x51), C(0x70, 0);
  CVQCMC_JOIN_ATTRIBUTE H = Half();
  // A half join A -> B, pending: B receives, A does not.
  A.SetJoined(&B, &H, 1);
  CVQCMCLeg* pPeer = nullptr;
  unsigned int fJoin = 9, fUnjoin = 9;
  EXPECT_EQ(B.IsJoined(&pPeer, &fJoin, &fUnjoin), 1u);
  EXPECT_TRUE(pPeer == &A && fJoin == 1 && fUnjoin == 0);
  EXPECT_EQ(A.IsJoined(&pPeer, nullptr, nullptr), 0u);
  CVQCMC_JOIN_ATTRIBUTE Got;
  EXPECT_EQ(B.GetJoinedLegAttributes(0x60, &Got), &A);
  EXPECT_EQ(Got.IsFullDuplex(), 0);
  // C cannot send to B (B receives from A), nor a full join from C receive from B.
  EXPECT_EQ(C.Join(&B, nullptr, 0, &H), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(C.mstrCalls,
            "Error:CVQCMCLeg::Join Failed;");
  EXPECT_NE(C.mstrTrace.find("Destination call leg is already joined"), std::string::npos);
  // Join done (legacy): both legs hear it; a join done without a record is refused.
  EXPECT_EQ(Deliver(B, 4, VQCMC_MSG_NOTIF_JOIN_DONE, 0x51, 0x60, 0, 40), VQX_RESULT_OK);
  EXPECT_EQ(A.mstrCalls + "/" + B.mstrCalls, "JoinDone;/JoinDone;");
  EXPECT_EQ(Deliver(B, 4, VQCMC_MSG_NOTIF_JOIN_DONE, 0x51, 0x99, 0, 40), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(Deliver(B, 4, VQCMC_MSG_NOTIF_JOIN_DONE, 0x51, 0x60, 0, 39), VQX_RESULT_INVALID_PARAM);
  B.IsJoined(nullptr, &fJoin, nullptr);
  EXPECT_EQ(fJoin, 0u);
  // A refused unjoin clears unjoin pending: the next Unjoin sends again (here: the send fails).
  CVQCMCLegJoinedLeg::Find(0x60, 0x51)->mfUnjoinPending = 1;
  EXPECT_EQ(A.Unjoin(&B, nullptr), VQX_RESULT_OK);  // already unjoining: nothing sent
  EXPECT_EQ(Deliver(A, 2, VQCMC_MSG_CMD_UNJOIN, 0x60, 0x51, 0x82000005, 48), VQX_RESULT_OK);
  EXPECT_EQ(CVQCMCLegJoinedLeg::Find(0x60, 0x51)->mfUnjoinPending, 0);
  EXPECT_NE(A.Unjoin(&B, nullptr), VQX_RESULT_OK);
  EXPECT_NE(A.mstrCalls.find("Error:CVQCMCLeg::Unjoin Failed;"), std::string::npos);
  // Unjoin done: record and pointers gone, legacy callbacks on both; a second one is only traced.
  A.mstrCalls = B.mstrCalls = "";
  EXPECT_EQ(Deliver(A, 4, VQCMC_MSG_NOTIF_UNJOIN_DONE, 0x51, 0x60, 0, 40), VQX_RESULT_OK);
  EXPECT_EQ(A.mstrCalls + "/" + B.mstrCalls, "UnjoinDone;/UnjoinDone;");
  EXPECT_EQ(B.IsJoined(nullptr, nullptr, nullptr) + CVQCMCLegJoinedLeg::GetCount(), 0u);
  EXPECT_EQ(Deliver(A, 4, VQCMC_MSG_NOTIF_UNJOIN_DONE, 0x51, 0x60, 0, 40), VQX_RESULT_OK);
  EXPECT_NE(A.mstrTrace.find("no join context"), std::string::npos);
  EXPECT_EQ(A.Unjoin(nullptr, nullptr), VQX_RESULT_INVALID_OPERATION);
  // A refused full join C <-> B (non-legacy C): undone, C hears the unjoin with B, full duplex.
  C.SetJoined(&B, nullptr, 1);
  EXPECT_EQ(C.IsJoined(&pPeer, nullptr, nullptr) + B.IsJoined(nullptr, nullptr, nullptr), 2u);
  EXPECT_EQ(Deliver(C, 2, VQCMC_MSG_CMD_JOIN, 0x70, 0x51, 0x82000005), VQX_RESULT_OK);
  EXPECT_EQ(C.mstrCalls.substr(C.mstrCalls.find("Unjoin")), "UnjoinDone(81,1);");
  EXPECT_EQ(C.IsJoined(nullptr, nullptr, nullptr) + B.IsJoined(nullptr, nullptr, nullptr), 0u);
  // Terminated, by the library (server lost) or by the server (call ended; the application keeps the leg):
  // every join of the leg dropped on both sides, mixer included, no callback.
  JoinMixer M(5);
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE Listener = LegJoin(1, 0);
  struct Row { const char* pszName; u32 un32Id, un32Size; } rows[] = {
      {"leg terminated", VQCMC_LIB_MSG_NOTIF_LEG_TERMINATED, 40},
      {"call terminated", VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, 184},
  };
  for (const Row& r : rows) {
    A.SetJoined(&B, nullptr, 0);
    C.SetJoined(&A, &H, 0);
    M.MixerSetJoined(&A, &Listener, 0);
    ASSERT_EQ(A.GetJoinedLegs(nullptr) + M.GetJoinedLegs(nullptr), 3u) << r.pszName;
    B.mstrCalls = A.mstrCalls = C.mstrCalls = "";
    EXPECT_EQ(Deliver(A, 4, r.un32Id, 0x60, 0, 0, r.un32Size), VQX_RESULT_OK) << r.pszName;
    EXPECT_EQ(A.GetJoinedLegs(nullptr) + CVQCMCLegJoinedLeg::GetCount() + M.GetJoinedLegs(nullptr), 0u) << r.pszName;
    EXPECT_EQ(A.IsJoined(nullptr, nullptr, nullptr) + B.IsJoined(nullptr, nullptr, nullptr), 0u) << r.pszName;
    EXPECT_EQ(B.GetJoinedLegs(nullptr) + C.GetJoinedLegs(nullptr), 0u) << r.pszName;
    EXPECT_EQ(A.mstrCalls + B.mstrCalls + C.mstrCalls + M.Calls(), "") << r.pszName;
    EXPECT_EQ(A.IsBeingFreed(), 0u) << r.pszName;
  }
}

/* A leg that cannot send its join keeps no record; a leg being freed refuses without an error. */
TEST_F(CmcJoinTest, JoinRefusals) {
  JoinLeg A(0x60), B(0x51);
  // Joined to itself: refused as a failure, nothing sent, no record.
  EXPECT_EQ(A.Join(&A, nullptr, 0, nullptr), VQX_RESULT_INVALID_OPERATION);
  EXPECT_EQ(A.mstrCalls, "Error:CVQCMCLeg::Join Failed;");
  EXPECT_NE(A.mstrTrace.find("A leg cannot be joined to itself"), std::string::npos);
  EXPECT_EQ(CVQCMCLegJoinedLeg::GetCount(), 0u);
  // A record of a leg with itself (a server's link naming it twice) goes once when its joins are dropped.
  A.SetJoined(&A, nullptr, 0);
  EXPECT_EQ(A.GetJoinedLegs(nullptr), 2u);
  A.SetUnjoined(nullptr);
  EXPECT_EQ(A.GetJoinedLegs(nullptr) + CVQCMCLegJoinedLeg::GetCount() + A.IsJoined(nullptr, nullptr, nullptr), 0u);
  EXPECT_NE(A.Join(&B, nullptr, 0, nullptr), VQX_RESULT_OK);
  EXPECT_NE(A.mstrTrace.find("ProcessMsg Failed"), std::string::npos);
  EXPECT_EQ(CVQCMCLegJoinedLeg::GetCount() + B.IsJoined(nullptr, nullptr, nullptr), 0u);
  B.FreeLeg();
  A.mstrCalls = "";
  EXPECT_EQ(A.Join(&B, nullptr, 0, nullptr), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(A.mstrCalls, "");
  B.SetFreeListener(nullptr);
}

/* The server's terminated notification to a refused leg leaves its joins alone: the leg is deleted after
 * the message with them, its destructor reports them and drops them. */
TEST_F(CmcJoinTest, TerminatedRefusedLegKeepsItsJoinsToItsEnd) {
  JoinLeg B(0x51);
  JoinMixer M(5);
  auto* pRefused = new JoinLeg(0x60);
  pRefused->SetFreeListener(pRefused);
  pRefused->mfRefused = 1;
  CVQCMC_JOIN_ATTRIBUTE Full;
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE Listener = LegJoin(1, 0);
  pRefused->SetJoined(&B, &Full, 0);
  M.MixerSetJoined(pRefused, &Listener, 0);
  EXPECT_EQ(Deliver(*pRefused, 4, VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, 0x60, 0, 0, 184), VQX_RESULT_OK);
  EXPECT_EQ(Logged("CVQCMCLeg::~CVQCMCLeg: Leg is still joined to 1 other Legs"), 1u);
  EXPECT_EQ(Logged("CVQCMCLeg::~CVQCMCLeg: leg 0x00000060 is still joined as listener to a mixer (0x00000005)"), 1u);
  EXPECT_EQ(B.GetJoinedLegs(nullptr) + M.GetJoinedLegs(nullptr), 0u) << "gone with the leg";
  EXPECT_EQ(CVQCMCLegJoinedLeg::GetCount() + CVQCMCMixerJoinedLeg::GetCount(), 0u);
}

}  // namespace
