/*
 * Leg joins against the stand-in server (testing/cmcsim) on 127.0.0.1: two
 * offered legs (ids 1 and 2) adopted; a half join sent with both ids in its
 * context and answered, join done, unjoin, unjoin done; a full join the
 * server refuses is undone. The stand-in's join notifications name leg 1 at
 * 32 and number themselves 1..COUNT at 36, so COUNT 2 yields the pair (1, 2)
 * after a (1, 1) that has no record.
 */
#include <algorithm>

#include "cmc_join_test_support.h"

namespace {

TEST(CmcJoinIt, HalfJoinUnjoinAndRefusedJoin) {
  CmcServerRun Run;
  static std::mutex s_Guard;
  static std::vector<u32> s_aOffered;
  static bool s_fReady = false;
  const PFCT_VQCMC_LIB_CALLBACK Callback = [](VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE* ph) {
    std::lock_guard Lock(s_Guard);
    if ((*ph)->un32MsgId == VQCMC_APP_MSG_NOTIF_READY) s_fReady = true;
    u32 un32Id = 0;
    memcpy(&un32Id, VQXMsgPayload(*ph) + 32, 4);
    if ((*ph)->un32MsgId == VQCMC_MSG_NOTIF_CALL_LEG_PRESENT) s_aOffered.push_back(un32Id);
  };
  auto Locked = [](auto f) {
    return [f] {
      std::lock_guard Lock(s_Guard);
      return f();
    };
  };
  Run.Open("cmc_join_it", Callback, Locked([] { return s_fReady; }));
  ASSERT_TRUE(Run.Server.Offer(1, 0x4441) && Run.Server.Offer(2, 0x4442));
  ASSERT_TRUE(cmcpeer::WaitUntil(Locked([] { return s_aOffered.size() == 2; }), 20000));
  {
    JoinLeg A(1), B(2);
    ASSERT_EQ(A.IsValidCallCtx() + B.IsValidCallCtx(), 2u);
    auto Saw = [](JoinLeg& Leg, const std::string& s) {
      return cmcpeer::WaitUntil(
          [&] {
            std::lock_guard Lock(Leg.mGuard);
            return Leg.mstrCalls == s;
          },
          20000);
    };
    CVQCMC_JOIN_ATTRIBUTE H = Half();
    EXPECT_EQ(A.Join(&B, nullptr, 7, &H), VQX_RESULT_OK);
    cmcpeer::CmcServerProcess::Seen Join;
    EXPECT_TRUE(cmcpeer::WaitUntil([&] { return (Join = Run.Server.Last("JOIN")).fSeen; }, 20000));
    EXPECT_EQ(Join.un64Ctx1, 0x0000000200000001ull);  // this leg, and the other leg as the caller value
    EXPECT_GE(Join.nPayloadLength, 56);
    unsigned int fPending = 0;
    EXPECT_EQ(B.IsJoined(nullptr, &fPending, nullptr), 1u);
    EXPECT_EQ(fPending, 1u);
    ASSERT_TRUE(Run.Server.Notify(VQCMC_MSG_NOTIF_JOIN_DONE, 1, 2));
    EXPECT_TRUE(Saw(A, "JoinDone;") && Saw(B, "JoinDone;"));
    EXPECT_EQ(A.Unjoin(&B, nullptr), VQX_RESULT_OK);
    EXPECT_TRUE(cmcpeer::WaitUntil([&] { return Run.Server.Last("UNJOIN").un64Ctx1 == 0x0000000200000001ull; }, 20000));
    ASSERT_TRUE(Run.Server.Notify(VQCMC_MSG_NOTIF_UNJOIN_DONE, 1, 2));
    EXPECT_TRUE(Saw(A, "JoinDone;UnjoinDone;") && Saw(B, "JoinDone;UnjoinDone;"));
    EXPECT_EQ(B.IsJoined(nullptr, nullptr, nullptr), 0u);
    // Refused on the server: the full join B <-> A recorded on sending is undone.
    ASSERT_TRUE(Run.Server.Answer("0x0A010001", "0x82000005"));
    EXPECT_EQ(B.Join(&A, nullptr, 0, nullptr), VQX_RESULT_OK);
    EXPECT_TRUE(Saw(B, "JoinDone;UnjoinDone;UnjoinDone;") && Saw(A, "JoinDone;UnjoinDone;UnjoinDone;"));
    EXPECT_EQ(A.IsJoined(nullptr, nullptr, nullptr) + CVQCMCLegJoinedLeg::GetCount(), 0u);
    EXPECT_EQ(Run.Server.Violations(), 0) << Run.Server.Command("stats");
  }
  Run.Close();
}

/* A mixer joined to a leg and to two mixers (one with a lower id, one with a higher) terminates: once
 * the terminate is sent, every join record of it is unjoin pending, seen from both sides. */
TEST(CmcJoinIt, MixerTerminateMarksItsJoinsUnjoinPending) {
  CmcServerRun Run;
  static std::mutex s_Guard;
  static bool s_fReady = false;
  static u32 s_un32Offered = 0;
  Run.Open("cmc_join_it", [](VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE* ph) {
    std::lock_guard Lock(s_Guard);
    if ((*ph)->un32MsgId == VQCMC_APP_MSG_NOTIF_READY) s_fReady = true;
    if ((*ph)->un32MsgId == VQCMC_MSG_NOTIF_CALL_LEG_PRESENT) memcpy(&s_un32Offered, VQXMsgPayload(*ph) + 32, 4);
  }, [] { return std::lock_guard(s_Guard), s_fReady; });
  ASSERT_TRUE(Run.Server.Offer(1, 0x4441));
  ASSERT_TRUE(cmcpeer::WaitUntil([] { return std::lock_guard(s_Guard), s_un32Offered != 0; }, 20000));
  {
    JoinLeg A(1);
    JoinMixer Low(0), M(0), High(0);  // ids given by the core library in this order
    ASSERT_EQ(A.IsValidCallCtx() + Low.IsValidMixerCtx() + M.IsValidMixerCtx() + High.IsValidMixerCtx(), 4u);
    ASSERT_TRUE(Low.GetMixerId() < M.GetMixerId() && M.GetMixerId() < High.GetMixerId());
    CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE Listener = LegJoin(1, 0);
    CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE Both = MixerJoin(1, 1);
    M.MixerSetJoined(&A, &Listener, 0);
    M.MixerSetJoined(&Low, &Both, 0);
    High.MixerSetJoined(&M, &Both, 0);
    // The pending flags of M's three records, as M and as its peers see them: join*10 + unjoin.
    auto Flags = [&] {
      std::vector<u32> a;
      unsigned int fJoin = 9, fUnjoin = 9;
      EXPECT_EQ(M.GetJoinedLegAttributes(1, nullptr, &fJoin, &fUnjoin), &A);
      a.push_back(fJoin * 10 + fUnjoin);
      for (JoinMixer* pPeer : {&Low, &High}) {
        EXPECT_EQ(M.GetJoinedMixerAttributes(pPeer->GetMixerId(), nullptr, &fJoin, &fUnjoin), pPeer);
        a.push_back(fJoin * 10 + fUnjoin);
        EXPECT_EQ(pPeer->GetJoinedMixerAttributes(M.GetMixerId(), nullptr, &fJoin, &fUnjoin), &M);
        a.push_back(fJoin * 10 + fUnjoin);
      }
      return a;
    };
    EXPECT_EQ(Flags(), std::vector<u32>(5, 0u));
    EXPECT_EQ(M.MixerTerminate(nullptr), VQX_RESULT_OK);
    EXPECT_TRUE(cmcpeer::WaitUntil([&] { return Run.Server.Last("MIXER_TERMINATE").fSeen; }, 20000));
    EXPECT_EQ(Flags(), std::vector<u32>(5, 1u));
    // The records stay until the server ends the mixer; the termination drops them.
    EXPECT_EQ(M.GetJoinedLegs(nullptr) + M.GetJoinedMixers(nullptr), 3u);
    EXPECT_EQ(Low.MixerTerminate(nullptr), VQX_RESULT_OK);
    EXPECT_EQ(High.MixerTerminate(nullptr), VQX_RESULT_OK);
    EXPECT_EQ(Run.Server.Violations(), 0) << Run.Server.Command("stats");
  }
  Run.Close();
}

}  // namespace
