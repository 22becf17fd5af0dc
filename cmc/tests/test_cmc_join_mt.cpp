/*
 * Leg joins under threads: legs A and B, each with its own mutex (two
 * serialisations), join and unjoin each other from their job threads (the
 * bookkeeping of a sent join, join done, unjoin done, a refused join) while
 * an application thread queries and commands both, and a third leg joined to
 * both is destroyed half-way. Before the join state moved under the records'
 * class mutex an unjoin done on A took B's mutex under A's while B's did the
 * reverse (a deadlock), and list walks raced with the peer's changes.
 */
#include <atomic>
#include <thread>

#include "cmc_join_test_support.h"

namespace {

using CmcJoinMt = CmcJoinTest;

constexpr u32 kRounds = 200;

TEST_F(CmcJoinMt, TwoLegsJoinAndUnjoinEachOther) {
  JoinLeg A(0x60), B(0x51);
  auto* pC = new JoinLeg(0x70, 0);
  CVQCMC_JOIN_ATTRIBUTE Full, H = Half();
  std::atomic<u32> un32Rounds{0};
  std::thread JobA([&] {
    for (u32 i = 0; i < kRounds; i++, un32Rounds++) {
      A.SetJoined(&B, &Full, 1);
      Deliver(A, 4, VQCMC_MSG_NOTIF_JOIN_DONE, 0x60, 0x51, 0, 40);
      Deliver(A, 4, VQCMC_MSG_NOTIF_UNJOIN_DONE, 0x60, 0x51, 0, 40);
    }
  });
  std::thread JobB([&] {
    for (u32 i = 0; i < kRounds; i++, un32Rounds++) {
      B.SetJoined(&A, &H, 1);
      Deliver(B, 4, VQCMC_MSG_NOTIF_UNJOIN_DONE, 0x51, 0x60, 0, 40);
      B.SetJoined(&A, &H, 1);
      Deliver(B, 2, VQCMC_MSG_CMD_JOIN, 0x51, 0x60, 0x82000005);
    }
  });
  std::thread App([&] {
    std::vector<CVQCMCLeg*> aLegs;
    for (u32 i = 0; i < kRounds; i++) {
      A.GetJoinedLegs(&aLegs);
      B.IsJoined(nullptr, nullptr, nullptr);
      A.GetJoinedLegAttributes(0x51, nullptr);
      B.Unjoin(&A, nullptr);
      A.Join(&B, nullptr, 0, &H);
      if (i == kRounds / 2) {
        delete pC;  // its joins with A and B leave with it
        pC = nullptr;
      } else if (pC != nullptr) {
        pC->SetJoined(&A, &H, 0);
        pC->SetJoined(&B, &H, 0);
      }
    }
  });
  JobA.join();
  JobB.join();
  App.join();
  EXPECT_EQ(un32Rounds.load(), 2 * kRounds);
  // Whatever the interleaving: no record names the destroyed leg, and the lists hold together.
  EXPECT_TRUE(CVQCMCLegJoinedLeg::Find(0x70, 0x60).IsNull() && CVQCMCLegJoinedLeg::Find(0x70, 0x51).IsNull());
  EXPECT_TRUE(A.mJoinedLegs1.Check() && A.mJoinedLegs2.Check() && B.mJoinedLegs1.Check() && B.mJoinedLegs2.Check());
  EXPECT_EQ(A.GetJoinedLegs(nullptr) + B.GetJoinedLegs(nullptr), 2 * CVQCMCLegJoinedLeg::GetCount());
  EXPECT_NE(A.mstrCalls.find("UnjoinDone;"), std::string::npos);
  A.SetUnjoined(nullptr);
  EXPECT_EQ(CVQCMCLegJoinedLeg::GetCount() + B.IsJoined(nullptr, nullptr, nullptr), 0u);
}

}  // namespace
