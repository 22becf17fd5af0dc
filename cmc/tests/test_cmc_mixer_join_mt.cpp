/*
 * Mixer joins under threads: mixers 5 and 3, each on its own mutex, joined
 * both ways from their job threads, confirmed, unjoined and terminated from
 * both sides, while legs join both as listener and speaker and leave (their
 * records go with them) and the core library re-synchronises mixer 5's
 * streams against its playing-done notifications; join dones racing the
 * free of the peer they call or hand out. Before the join state
 * moved under the records' class mutexes, an unjoin done or a termination on
 * one mixer took the other's mutex under its own while the other did the
 * reverse, and the re-synchronisation rewrote the streams without the lock.
 * Against the stand-in server: one mixer unjoins another many times while a
 * thread reads the join from the other side.
 */
#include <atomic>
#include <mutex>
#include <thread>

#include "cmc_join_test_support.h"

namespace {

using CmcMixerJoinMt = CmcJoinTest;

constexpr u32 kRounds = 200;

TEST_F(CmcMixerJoinMt, TwoMixersJoinedBothWaysAsLegsLeave) {
  JoinMixer M5(5), M3(3);
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  ASSERT_EQ(pLib->MixerIdAdd(5, &M5), VQX_RESULT_OK) << "no server: the test registers mixer 5";
  CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE From = MixerJoin(1, 0), Both = MixerJoin(1, 1);
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE Listener = LegJoin(1, 0), Speaker = LegJoin(0, 1);
  std::atomic<u32> un32Rounds{0};
  /* One side's job thread: joins the peer, a leg that listens here and speaks there and leaves. */
  auto Side = [&](JoinMixer& Self, JoinMixer& Peer, CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE& Attribute, u32 un32LegBase) {
    for (u32 i = 0; i < kRounds; i++, un32Rounds++) {
      Self.MixerSetJoined(&Peer, &Attribute, 1);
      Deliver(Self, 4, VQCMC_MSG_NOTIF_MIXER_MIXER_JOIN_DONE, Self.GetMixerId(), Peer.GetMixerId(), 0, 40);
      {
        JoinLeg L(un32LegBase + i);
        Self.MixerSetJoined(&L, &Listener, 1);
        Peer.MixerSetJoined(&L, &Speaker, 0);
        Deliver(Self, 4, VQCMC_MSG_NOTIF_PLAYING_DONE, 1, 0, Self.GetMixerId(), 45);  // play 0 done
      }
      if (i % 2 == 0) {
        Deliver(Self, 4, VQCMC_MSG_NOTIF_MIXER_MIXER_UNJOIN_DONE, Self.GetMixerId(), Peer.GetMixerId(), 0, 40);
      } else {
        Deliver(Self, 4, VQCMC_MSG_NOTIF_MIXER_TERMINATED, 0, 0, 0, 40);  // drops all its joins
      }
    }
  };
  std::thread Job5([&] { Side(M5, M3, From, 0x1000); });
  std::thread Job3([&] { Side(M3, M5, Both, 0x2000); });
  std::thread Library([&] {
    std::vector<CVQCMCMixer*> aMixers;
    for (u32 i = 0; i < kRounds; i++) {
      VQX_MSG_HANDLE h = Received(4, VQCMC_LIB_MSG_NOTIF_MIXER_SYNC, 128, {{28, 5}});
      EXPECT_EQ(pLib->HandleMessage(&h), VQX_RESULT_OK);
      M5.GetJoinedMixers(&aMixers);
      M3.GetJoinedLegs(nullptr);
    }
  });
  Job5.join();
  Job3.join();
  Library.join();
  EXPECT_EQ(un32Rounds.load(), 2 * kRounds);
  // Whatever the interleaving: the lists hold together, no leg record outlived its leg.
  EXPECT_TRUE(M5.mJoinedLegs.Check() && M5.mJoinedMixersHigh.Check() && M5.mJoinedMixersLow.Check());
  EXPECT_TRUE(M3.mJoinedLegs.Check() && M3.mJoinedMixersHigh.Check() && M3.mJoinedMixersLow.Check());
  EXPECT_EQ(M5.GetJoinedLegs(nullptr) + M3.GetJoinedLegs(nullptr) + CVQCMCMixerJoinedLeg::GetCount(), 0u);
  EXPECT_EQ(M5.GetJoinedMixers(nullptr), CVQCMCMixerJoinedMixer::GetCount());
  EXPECT_NE(M3.Calls().find("MixerUnjoinDone(5);"), std::string::npos);
  EXPECT_EQ((M5.mstrTrace + M3.mstrTrace).find("Bug:"), std::string::npos);
  M3.MixerSetUnjoined(0u);
  EXPECT_EQ(M5.GetJoinedMixers(nullptr) + CVQCMCMixerJoinedMixer::GetCount(), 0u);
  EXPECT_EQ(pLib->MixerIdRemove(5), VQX_RESULT_OK);
}

/* Join dones whose callbacks go to the peer (mixer 3 is the lower id, leg 0x51 is leg1 of a legacy
 * leg join) or hand it out (the leg to mixer 5's callback) while the peer is freed on its own thread:
 * the free waits for the call, or a peer already being freed is not called. Before, the call ran on
 * the peer's memory after its free listener had deleted it. */
TEST_F(CmcMixerJoinMt, JoinDoneRacesTheFreeOfItsPeer) {
  JoinMixer M5(5);
  JoinLeg A(0x60);
  CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE From = MixerJoin(1, 0);
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE Listener = LegJoin(1, 0);
  CVQCMC_JOIN_ATTRIBUTE Full;
  for (u32 i = 0; i < kRounds; i++) {
    auto* pM3 = new JoinMixer(3);
    auto* pLeg = new JoinLeg(0x51);
    pM3->SetFreeListener(pM3);  // the default listener: deletes
    pLeg->SetFreeListener(pLeg);
    M5.MixerSetJoined(pM3, &From, 1);
    M5.MixerSetJoined(pLeg, &Listener, 1);
    A.SetJoined(pLeg, &Full, 1);
    std::thread Peers([&] {
      // Each freed at the end of a message on its own thread.
      pM3->FreeMixer();
      Deliver(*pM3, 4, VQCMC_MSG_NOTIF_MIXER_MIXER_JOIN_DONE, 3, 5, 0, 40);
      pLeg->FreeLeg();
      Deliver(*pLeg, 4, VQCMC_MSG_NOTIF_JOIN_DONE, 0x51, 0x60, 0, 40);
    });
    Deliver(M5, 4, VQCMC_MSG_NOTIF_MIXER_MIXER_JOIN_DONE, 5, 3, 0, 40);
    Deliver(M5, 4, VQCMC_MSG_NOTIF_MIXER_LEG_JOIN_DONE, 5, 0x51, 0, 40);
    Deliver(A, 4, VQCMC_MSG_NOTIF_JOIN_DONE, 0x60, 0x51, 0, 40);
    Peers.join();
  }
  // The freed peers took their records with them.
  EXPECT_EQ(CVQCMCMixerJoinedMixer::GetCount() + CVQCMCMixerJoinedLeg::GetCount() + CVQCMCLegJoinedLeg::GetCount(), 0u);
  EXPECT_TRUE(M5.mJoinedLegs.Check() && M5.mJoinedMixersHigh.Check() && M5.mJoinedMixersLow.Check());
  EXPECT_TRUE(A.mJoinedLegs1.Check() && A.mJoinedLegs2.Check());
  EXPECT_EQ(M5.mstrTrace.find("Bug:"), std::string::npos);
}

/* Two mixers on a stand-in server: one unjoins the other over and over (each unjoin sent, then the
 * record marked unjoin pending) while a thread reads the join from the other side. The record's flags
 * belong to the mixer-mixer records' class mutex; an unjoin that marked its record under another lock
 * would race with the reader. */
TEST(CmcMixerUnjoinMt, UnjoinsWhileThePeerReadsTheJoin) {
  CmcServerRun Run;
  static std::mutex s_Guard;
  static bool s_fReady = false;
  Run.Open("cmc_mixer_unjoin_mt", [](VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE* ph) {
    std::lock_guard Lock(s_Guard);
    if ((*ph)->un32MsgId == VQCMC_APP_MSG_NOTIF_READY) s_fReady = true;
  }, [] { return std::lock_guard(s_Guard), s_fReady; });
  struct Counting : JoinMixer {
    using JoinMixer::JoinMixer;
    void OnMixerUnjoinResponse(_VQCMC_MSG_CMD_MIXER_MIXER_UNJOIN*, unsigned int* pf) override { *pf = 0, un32Answers++; }
    std::atomic<u32> un32Answers{0};
  };
  {
    Counting A(0), B(0);
    ASSERT_EQ(A.IsValidMixerCtx() + B.IsValidMixerCtx(), 2u);
    CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE Both = MixerJoin(1, 1);
    A.MixerSetJoined(&B, &Both, 0);
    constexpr u32 kUnjoins = 300, kMaxReads = 200000;
    std::atomic<bool> fDone{false};
    std::thread Reader([&] {
      CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE Seen;
      for (u32 i = 0; i < kMaxReads && !fDone.load(); i++) {
        unsigned int fJoin = 0, fUnjoin = 0;
        EXPECT_EQ(B.GetJoinedMixerAttributes(A.GetMixerId(), &Seen, &fJoin, &fUnjoin), &A);
      }
    });
    u32 un32Sent = 0;
    for (u32 i = 0; i < kUnjoins; i++) un32Sent += A.MixerUnjoin(&B, nullptr) == VQX_RESULT_OK ? 1 : 0;
    fDone = true;
    Reader.join();
    EXPECT_EQ(un32Sent, kUnjoins);
    unsigned int fUnjoin = 0;
    EXPECT_EQ(B.GetJoinedMixerAttributes(A.GetMixerId(), nullptr, nullptr, &fUnjoin), &A);
    EXPECT_EQ(fUnjoin, 1u);
    // Every answer in before the mixers go (the records with them).
    EXPECT_TRUE(cmcpeer::WaitUntil([&] { return A.un32Answers.load() == kUnjoins; }, 20000)) << A.un32Answers.load();
    EXPECT_EQ(Run.Server.Violations(), 0) << Run.Server.Command("stats");
  }
  EXPECT_EQ(CVQCMCMixerJoinedMixer::GetCount(), 0u);
  Run.Close();
}

}  // namespace
