/*
 * Mixer joins: the records of a mixer and a leg (where each sits on the leg
 * by its flags, rejoins that move it, a listener displaced by another mixer,
 * every one gone with the leg), of two mixers (ids 5 and 3: orientation,
 * directions as each side sees them), the join messages through the
 * mixer's dispatch, the commands' refusals, and the playing-started
 * versions. The core library has no server: mixers and legs are adopted
 * ids that are not valid, and every command send fails.
 */
#include <functional>
#include <future>

#include "cmc_join_test_support.h"

namespace {

using MixerJoinTest = CmcJoinTest;

/* Where a leg's record sits by its flags, moved by a rejoin, and gone with the leg (no "Bug" trace). */
TEST_F(MixerJoinTest, LegRecordsFollowTheirFlags) {
  EXPECT_EQ(CVQCMCMixerJoinedLegKey(5, 3), 0x0000000500000003ull);
  EXPECT_NE(CVQCMCMixerJoinedLegKey(3, 5), CVQCMCMixerJoinedLegKey(5, 3));
  struct Row {
    const char* pszName;
    std::vector<std::pair<u32, u32>> aJoins;  /* (listener, speaker) of each MixerSetJoined, the last one holds */
    bool fListener;
    u32 un32Speakers;
  } aRows[] = {
      {"listener", {{1, 0}}, true, 0},
      {"speaker", {{0, 1}}, false, 1},
      {"both: the listener slot only", {{1, 1}}, true, 0},
      {"neither: on no leg query, still dropped with the leg", {{0, 0}}, false, 0},
      {"speaker rejoined as listener", {{0, 1}, {1, 0}}, true, 0},
      {"listener rejoined as neither", {{1, 0}, {0, 0}}, false, 0},
      {"neither rejoined as speaker", {{0, 0}, {0, 1}}, false, 1},
  };
  JoinMixer M(5);
  for (const Row& r : aRows) {
    {
      JoinLeg L(3);
      for (auto [fL, fS] : r.aJoins) {
        CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE a = LegJoin(fL, fS);
        M.MixerSetJoined(&L, &a, 1);
      }
      std::vector<CVQCMCMixer*> aSpeakers;
      EXPECT_EQ(L.GetListenerMixer(nullptr), r.fListener ? &M : nullptr) << r.pszName;
      EXPECT_EQ(L.GetSpeakerMixers(&aSpeakers), r.un32Speakers != 0 ? &M : nullptr) << r.pszName;
      EXPECT_EQ(aSpeakers.size(), r.un32Speakers) << r.pszName;
      CVQCAFPtr<CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE> pAttribute;
      unsigned int fJoin = 0, fUnjoin = 1;
      EXPECT_EQ(M.GetJoinedLegAttributes(3, &pAttribute, &fJoin, &fUnjoin), &L) << r.pszName;
      EXPECT_EQ(pAttribute->IsListener() * 10 + pAttribute->IsSpeaker(),
                r.aJoins.back().first * 10 + r.aJoins.back().second) << r.pszName;
      EXPECT_EQ(fJoin * 10 + fUnjoin, 10u) << r.pszName;
      EXPECT_EQ(M.GetJoinedLegs(nullptr), 1u) << r.pszName;
    }
    EXPECT_EQ(M.GetJoinedLegs(nullptr) + CVQCMCMixerJoinedLeg::GetCount(), 0u) << r.pszName;
  }
  // A listener of mixer 5 that mixer 3 then takes (re-synchronised: no command checks): the newest
  // holds the slot, the other stays the leg's and takes the slot back when it frees.
  JoinMixer N(3);
  {
    JoinLeg L(7);
    CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE a = LegJoin(1, 0);
    M.MixerSetJoined(&L, &a, 0);
    N.MixerSetJoined(&L, &a, 0);
    CVQCMCMixer* pOut = nullptr;
    EXPECT_EQ(L.GetListenerMixer(&pOut), &N);
    EXPECT_EQ(pOut, &N);
    N.MixerSetUnjoined(&L);
    EXPECT_EQ(L.GetListenerMixer(nullptr), &M);
    N.MixerSetJoined(&L, &a, 0);
  }
  EXPECT_EQ(M.GetJoinedLegs(nullptr) + N.GetJoinedLegs(nullptr) + CVQCMCMixerJoinedLeg::GetCount(), 0u);
  EXPECT_EQ(M.mstrTrace + N.mstrTrace, "");
  // The leg record's own checks: duplicates and null arguments refused, an unknown pair not found.
  JoinLeg L(9);
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE a = LegJoin(0, 1);
  EXPECT_FALSE(CVQCMCMixerJoinedLeg::Alloc(&M, &L, &a).IsNull());
  EXPECT_TRUE(CVQCMCMixerJoinedLeg::Alloc(&M, &L, &a).IsNull());
  EXPECT_TRUE(CVQCMCMixerJoinedLeg::Alloc(&M, &L, nullptr).IsNull());
  EXPECT_EQ(CVQCMCMixerJoinedLeg::Destroy(9, 5), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(CVQCMCMixerJoinedLeg::Destroy(5, 9), VQX_RESULT_OK);
}

/* A leg or a mixer freed or destroyed while still joined says which joins it still held (a line per
 * kind), and the destructor drops them. */
TEST_F(MixerJoinTest, StillJoinedWhenFreedOrDestroyed) {
  /* The log lines of the destructors that start with pszPrefix, without it. */
  auto Lines = [this](const std::string& strPrefix) {
    std::vector<std::string> aLines;
    for (const std::string& s : mLog.Texts()) {
      if (s.compare(0, strPrefix.size(), strPrefix) == 0) aLines.push_back(s.substr(strPrefix.size()));
    }
    return aLines;
  };
  JoinMixer M5(5), M3(3), M7(7);
  JoinLeg A(0x21), B(0x23);
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE Listener = LegJoin(1, 0), Speaker = LegJoin(0, 1);
  CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE Both = MixerJoin(1, 1);
  CVQCMC_JOIN_ATTRIBUTE H = Half();
  struct Row {
    const char* pszName;
    std::function<void(CVQCMCLeg&)> fnJoin;
    std::vector<std::string> aLines;
  } aRows[] = {
      {"nothing joined: nothing written", [](CVQCMCLeg&) {}, {}},
      {"two legs, listener of 5, speaker to 3 and 7",
       [&](CVQCMCLeg& L) {
         L.SetJoined(&A, &H, 0);
         B.SetJoined(&L, &H, 0);
         M5.MixerSetJoined(&L, &Listener, 0);
         M3.MixerSetJoined(&L, &Speaker, 0);
         M7.MixerSetJoined(&L, &Speaker, 0);
       },
       {"Leg is still joined to 2 other Legs\n",
        "leg 0x00000022 is still joined as listener to a mixer (0x00000005)\n",
        "leg 0x00000022 is still joined as a speaker to 2 mixers\n"}},
      {"speaker only", [&](CVQCMCLeg& L) { M3.MixerSetJoined(&L, &Speaker, 0); },
       {"leg 0x00000022 is still joined as a speaker to 1 mixers\n"}},
  };
  for (const Row& r : aRows) {
    auto* pLeg = new JoinLeg(0x22);
    r.fnJoin(*pLeg);
    mLog.Take();
    delete pLeg;
    EXPECT_EQ(Lines("CVQCMCLeg::~CVQCMCLeg: "), r.aLines) << r.pszName;
    EXPECT_EQ(CVQCMCLegJoinedLeg::GetCount() + CVQCMCMixerJoinedLeg::GetCount(), 0u) << r.pszName;
  }
  // A mixer with two legs and two mixers.
  auto* pMixer = new JoinMixer(9);
  pMixer->MixerSetJoined(&A, &Speaker, 0);
  pMixer->MixerSetJoined(&B, &Speaker, 0);
  pMixer->MixerSetJoined(&M5, &Both, 0);
  M3.MixerSetJoined(pMixer, &Both, 0);
  EXPECT_EQ(pMixer->FreeMixer(), VQX_RESULT_OK);
  EXPECT_EQ(pMixer->mstrTrace,
            "CVQCMCMixer::FreeMixer: mixer is still joined with other legs\n|"
            "CVQCMCMixer::FreeMixer: mixer is still joined with other mixers\n|");
  mLog.Take();
  delete pMixer;
  EXPECT_EQ(Lines("CVQCMCMixer::~CVQCMCMixer: "),
            (std::vector<std::string>{"mixer is still joined to 2 legs\n", "mixer is still joined to 2 other mixers\n"}));
  EXPECT_EQ(CVQCMCMixerJoinedLeg::GetCount() + CVQCMCMixerJoinedMixer::GetCount(), 0u);
  // A leg that receives another leg's media when its free is asked for; the sending one says nothing.
  A.SetJoined(&B, &H, 0);
  A.mstrTrace.clear(), B.mstrTrace.clear();
  EXPECT_EQ(B.FreeLeg() + A.FreeLeg(), 2 * VQX_RESULT_OK);
  EXPECT_EQ(B.mstrTrace, "CVQCMCLeg::FreeLeg: leg is still joined with an other leg\n|");
  EXPECT_EQ(A.mstrTrace, "");
}

/* A peer already handed to its free listener is neither called nor handed out by a join done
 * (its own thread may be deleting it): mixer 3 as the lower id, a leg to the mixer's callback, a
 * leg as leg1 of a legacy leg join. The other side still hears its own. */
TEST_F(MixerJoinTest, PeerGivenToItsFreeListenerIsNotCalled) {
  struct Keep : IVQCMCFreeListener<CVQCMCMixer>, IVQCMCFreeListener<CVQCMCLeg> {
    VQX_RESULT Free(CVQCMCMixer*) override { return un32Freed++, VQX_RESULT_OK; }
    VQX_RESULT Free(CVQCMCLeg*) override { return un32Freed++, VQX_RESULT_OK; }
    u32 un32Freed = 0;
  } Keeper;
  JoinMixer M5(5), M3(3);
  JoinLeg L(0x31), A(0x60);
  CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE From = MixerJoin(1, 0);
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE Listener = LegJoin(1, 0);
  CVQCMC_JOIN_ATTRIBUTE Full;
  M5.MixerSetJoined(&M3, &From, 1);
  M5.MixerSetJoined(&L, &Listener, 1);
  A.SetJoined(&L, &Full, 1);
  M3.SetFreeListener(&Keeper), L.SetFreeListener(&Keeper);
  M3.FreeMixer(), L.FreeLeg();
  EXPECT_EQ(M3.CheckFreeMixer() + L.CheckFreeLeg(), 2 * VQX_RESULT_OK);
  EXPECT_EQ(Keeper.un32Freed, 2u);
  EXPECT_EQ(Deliver(M5, 4, VQCMC_MSG_NOTIF_MIXER_MIXER_JOIN_DONE, 5, 3, 0, 40), VQX_RESULT_OK);
  EXPECT_EQ(Deliver(M5, 4, VQCMC_MSG_NOTIF_MIXER_LEG_JOIN_DONE, 5, 0x31, 0, 40), VQX_RESULT_OK);
  EXPECT_EQ(Deliver(A, 4, VQCMC_MSG_NOTIF_JOIN_DONE, 0x60, 0x31, 0, 40), VQX_RESULT_OK);
  EXPECT_EQ(M3.Calls() + M5.Calls() + L.mstrCalls, "");
  EXPECT_EQ(A.mstrCalls, "JoinDone;");
}

/* Mixers 5 and 3 joined from 5: mixer1 3, mixer2 5, joined from 2 to 1 only; each side sees its own. */
TEST_F(MixerJoinTest, MixerRecordsAndMessages) {
  EXPECT_EQ(CVQCMCMixerJoinedMixerKey(5, 3), CVQCMCMixerJoinedMixerKey(3, 5));
  JoinMixer M5(5), M3(3);
  CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE a = MixerJoin(1, 0);
  M5.MixerSetJoined(&M3, &a, 1);
  auto pJoin = CVQCMCMixerJoinedMixer::Find(5, 3);
  ASSERT_FALSE(pJoin.IsNull());
  EXPECT_TRUE(pJoin->mpMixer1 == &M3 && pJoin->mpMixer2 == &M5);
  EXPECT_EQ(pJoin->mfJoined1To2 * 10 + pJoin->mfJoined2To1, 1);
  CVQCMCMixer *pFirst = nullptr, *pSecond = nullptr;
  pJoin->GetMixers(&pFirst, &pSecond);
  EXPECT_TRUE(pFirst == &M5 && pSecond == &M3) << "(sending, receiving)";
  pJoin.Release();
  CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE Seen5, Seen3;
  unsigned int fJoin = 0, fUnjoin = 1;
  EXPECT_EQ(M5.GetJoinedMixerAttributes(3, &Seen5, &fJoin, &fUnjoin), &M3);
  EXPECT_EQ(fJoin * 10 + fUnjoin, 10u);
  EXPECT_EQ(M3.GetJoinedMixerAttributes(5, &Seen3, nullptr, nullptr), &M5);
  EXPECT_EQ(Seen5.IsJoinedFrom1to2() * 10 + Seen5.IsJoinedFrom2to1(), 10u);
  EXPECT_EQ(Seen3.IsJoinedFrom1to2() * 10 + Seen3.IsJoinedFrom2to1(), 1u);
  std::vector<CVQCMCMixer*> aPeers;
  EXPECT_EQ(M5.GetJoinedMixers(&aPeers), 1u);
  EXPECT_EQ(aPeers, std::vector<CVQCMCMixer*>{&M3});
  // Messages: done callbacks of mixer joins go to the lower id (3), whichever mixer receives them.
  JoinLeg L(0x31);
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE Speaker = LegJoin(0, 1);
  M5.MixerSetJoined(&L, &Speaker, 1);
  struct Row {
    const char* pszName;
    u32 un32Kind, un32Id, un32A, un32B, un32Result, un32Size;
    VQX_RESULT Result;
    const char* psz5;
    const char* psz3;
  } aRows[] = {
      {"mixer join done", 4, VQCMC_MSG_NOTIF_MIXER_MIXER_JOIN_DONE, 5, 3, 0, 40, VQX_RESULT_OK, "", "MixerJoinDone(5);"},
      {"leg join done", 4, VQCMC_MSG_NOTIF_MIXER_LEG_JOIN_DONE, 5, 0x31, 0, 40, VQX_RESULT_OK, "LegJoinDone(49);", ""},
      {"leg join done, unknown pair", 4, VQCMC_MSG_NOTIF_MIXER_LEG_JOIN_DONE, 5, 0x32, 0, 40, VQX_RESULT_NOT_FOUND,
       "", ""},
      {"short", 4, VQCMC_MSG_NOTIF_MIXER_LEG_UNJOIN_DONE, 5, 0x31, 0, 39, VQX_RESULT_INVALID_PARAM, "", ""},
      {"unjoin refused: stays", 2, VQCMC_MSG_CMD_MIXER_LEG_UNJOIN, 5, 0x31, 0x80000001, 72, VQX_RESULT_OK,
       "UnjoinResponse(0);", ""},
      {"mixer unjoin done of another mixer", 4, VQCMC_MSG_NOTIF_MIXER_MIXER_UNJOIN_DONE, 3, 5, 0, 40,
       VQX_RESULT_INVALID_PARAM, "", ""},
      {"mixer unjoin done", 4, VQCMC_MSG_NOTIF_MIXER_MIXER_UNJOIN_DONE, 5, 3, 0, 40, VQX_RESULT_OK, "",
       "MixerUnjoinDone(5);"},
      {"mixer unjoin done again: normal after a refusal", 4, VQCMC_MSG_NOTIF_MIXER_MIXER_UNJOIN_DONE, 5, 3, 0, 40,
       VQX_RESULT_OK, "", ""},
      {"leg join refused: undone", 2, VQCMC_MSG_CMD_MIXER_LEG_JOIN, 5, 0x31, 0x80000001, 80, VQX_RESULT_OK,
       "JoinResponse(0);LegUnjoinDone(49);", ""},
  };
  for (const Row& r : aRows) {
    M5.mstrCalls.clear(), M3.mstrCalls.clear();
    EXPECT_EQ(Deliver(M5, r.un32Kind, r.un32Id, r.un32A, r.un32B, r.un32Result, r.un32Size), r.Result) << r.pszName;
    EXPECT_EQ(M5.mstrCalls, r.psz5) << r.pszName;
    EXPECT_EQ(M3.mstrCalls, r.psz3) << r.pszName;
  }
  EXPECT_EQ(M5.GetJoinedMixers(nullptr) + M5.GetJoinedLegs(nullptr) + M3.GetJoinedMixers(nullptr), 0u);
  EXPECT_EQ(L.GetSpeakerMixers(nullptr), nullptr);
  EXPECT_NE(M5.mstrTrace.find("Received MixerLegJoinDone for unknown join context!"), std::string::npos);
  EXPECT_NE(M5.mstrTrace.find("Invalid mixer id in event mixer unjoin done"), std::string::npos);
  EXPECT_NE(M5.mstrTrace.find("Mixer 0x00000005, Mixer 0x00000003\n" + std::string(41, ' ') + "(normal after"),
            std::string::npos);
  // Every join of a mixer dropped at once, no callback; the peer's lists follow.
  M5.MixerSetJoined(&M3, &a, 0), M3.MixerSetJoined(&L, &Speaker, 0), M5.MixerSetJoined(&L, &Speaker, 0);
  M5.mstrCalls.clear();
  M5.MixerSetUnjoined(0u);
  EXPECT_EQ(M5.GetJoinedMixers(nullptr) + M5.GetJoinedLegs(nullptr) + M3.GetJoinedMixers(nullptr), 0u);
  EXPECT_EQ(L.GetSpeakerMixers(nullptr), &M3);
  EXPECT_EQ(M5.mstrCalls + M3.mstrCalls, "");
}

/* An unjoin done, a join refused and a termination on mixer 5 finish while another thread holds
 * mixer 3's mutex: the peer's records change under the class mutex, its own mutex is never taken
 * (a thread holding it may be waiting for mixer 5's). */
TEST_F(MixerJoinTest, PeerMutexNeverTaken) {
  JoinMixer M5(5), M3(3);
  CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE a = MixerJoin(1, 1);
  ASSERT_EQ(M3.Mutex().Get(), VQX_RESULT_OK);
  auto Done = std::async(std::launch::async, [&] {
    M5.MixerSetJoined(&M3, &a, 0);
    Deliver(M5, 4, VQCMC_MSG_NOTIF_MIXER_MIXER_UNJOIN_DONE, 5, 3, 0, 40);
    M5.MixerSetJoined(&M3, &a, 1);
    Deliver(M5, 2, VQCMC_MSG_CMD_MIXER_MIXER_JOIN, 5, 3, 0x80000001, 80);
    M5.MixerSetJoined(&M3, &a, 0);
    Deliver(M5, 4, VQCMC_MSG_NOTIF_MIXER_TERMINATED, 0, 0, 0, 40);
    return M5.GetJoinedMixers(nullptr);
  });
  const bool fFinished = Done.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  M3.Mutex().Give();
  ASSERT_TRUE(fFinished) << "mixer 5 waited for mixer 3's mutex";
  EXPECT_EQ(Done.get() + M3.GetJoinedMixers(nullptr), 0u);
  EXPECT_EQ(M3.Calls(), "MixerUnjoinDone(5);MixerUnjoinDone(5);");
}

/* Command refusals; a command the core library cannot send leaves no record and reaches the listener. */
TEST_F(MixerJoinTest, Commands) {
  JoinMixer M5(5), M3(3);
  JoinLeg L(0x31);
  TestListener Listener("T", 1);
  CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE a = MixerJoin(1, 1);
  EXPECT_EQ(M5.MixerJoin(&M3, nullptr, &Listener), VQX_RESULT_INVALID_OPERATION);
  EXPECT_EQ(M5.MixerJoin(&L, nullptr, &Listener), VQX_RESULT_INVALID_STATE) << "a leg without call: terminating";
  EXPECT_EQ(M5.MixerUnjoin(&L, &Listener), VQX_RESULT_INVALID_OPERATION);
  EXPECT_EQ(M5.MixerUnjoin(&M3, &Listener), VQX_RESULT_INVALID_OPERATION);
  EXPECT_NE(M5.MixerJoin(&M3, &a, &Listener), VQX_RESULT_OK);
  EXPECT_EQ(Listener.mstrSeen, "T:CVQCMCMixer::MixerJoin Failed;T:CVQCMCMixer::MixerUnjoin Failed;"
                               "T:CVQCMCMixer::MixerUnjoin Failed;T:CVQCMCMixer::MixerJoin Failed;");
  EXPECT_NE(M5.mstrTrace.find("Mixer and Leg are not joined"), std::string::npos);
  EXPECT_NE(M5.mstrTrace.find("Both mixer are not joined"), std::string::npos);
  EXPECT_NE(M5.mstrTrace.find("ProcessMsg Failed"), std::string::npos);
  EXPECT_EQ(M5.GetJoinedMixers(nullptr) + M5.GetPendingListenerCount(), 0u);
  // A leg that listens to a mixer receives no leg's media: refused as source of a full join and as destination.
  JoinLeg B(0x32);
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE Listen = LegJoin(1, 0);
  CVQCMC_JOIN_ATTRIBUTE H = Half();
  M5.MixerSetJoined(&L, &Listen, 0);
  EXPECT_EQ(L.Join(&B, nullptr, 0, nullptr), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(B.Join(&L, nullptr, 0, &H), VQX_RESULT_INVALID_STATE);
  EXPECT_NE(L.mstrTrace.find("Source call leg is already joined as a destination with another mixer"), std::string::npos);
  EXPECT_NE(B.mstrTrace.find("Destination call leg is already joined as a destination with another mixer"),
            std::string::npos);
  // Joined to itself: refused as a null attribute is, nothing sent; a record of a mixer with itself (a
  // server's link naming it twice) goes once when every join of the mixer is dropped.
  Listener.mstrSeen.clear();
  EXPECT_EQ(M5.MixerJoin(&M5, &a, &Listener), VQX_RESULT_INVALID_OPERATION);
  EXPECT_EQ(Listener.mstrSeen, "T:CVQCMCMixer::MixerJoin Failed;");
  EXPECT_NE(M5.mstrTrace.find("A mixer cannot be joined to itself"), std::string::npos);
  EXPECT_EQ(CVQCMCMixerJoinedMixer::GetCount(), 0u);
  M5.MixerSetJoined(&M5, &a, 0);
  EXPECT_EQ(M5.GetJoinedMixers(nullptr), 2u);
  M5.MixerSetUnjoined(0u);
  EXPECT_EQ(M5.GetJoinedMixers(nullptr) + CVQCMCMixerJoinedMixer::GetCount() + M5.GetJoinedLegs(nullptr), 0u);
}

/* Playing started: play index and file only from version 2; a version 2 payload must hold them. */
TEST_F(MixerJoinTest, PlayingStartedVersions) {
  JoinMixer M(5);
  struct Row {
    const char* pszName;
    u32 un32Version, un32Size, un32Word8;  /* bytes 32-35: play, play, record, index */
    VQX_RESULT Result;
    const char* pszCalls;
  } aRows[] = {
      {"version 1: play 0, no file", 1, 40, 0x02010001, VQX_RESULT_OK, "PlayStarted1/(0);RecordStarted(0);"},
      {"version 2: its index", 2, 48, 0x02000100, VQX_RESULT_OK, "PlayStarted0/(2);"},
      {"version 2 short", 2, 47, 0x02000001, VQX_RESULT_INVALID_PARAM, ""},
      {"version 1 short", 1, 39, 0x00000001, VQX_RESULT_INVALID_PARAM, ""},
  };
  for (const Row& r : aRows) {
    M.mstrCalls.clear();
    VQX_MSG_HANDLE h = Received(4, VQCMC_MSG_NOTIF_PLAYING_STARTED, r.un32Size,
                                r.un32Size < 40 ? std::initializer_list<std::pair<u32, u32>>{{24, r.un32Version}}
                                                : std::initializer_list<std::pair<u32, u32>>{
                                                      {24, r.un32Version}, {28, 5}, {32, r.un32Word8}});
    EXPECT_EQ(CmcLibTest::Deliver(M, h), r.Result) << r.pszName;
    EXPECT_EQ(M.mstrCalls, r.pszCalls) << r.pszName;
  }
}

/* An application's leg and mixer override the join queries and commands; callers holding the base
 * class reach the overrides. */
TEST_F(MixerJoinTest, JoinOperationsAreOverridable) {
  struct Leg : JoinLeg {
    using JoinLeg::JoinLeg;
    u32 GetJoinedLegs(std::vector<CVQCMCLeg*>*) override { return 11; }
    CVQCMCLeg* GetJoinedLegAttributes(unsigned int, CVQCMC_JOIN_ATTRIBUTE*) override { return this; }
    CVQCMCMixer* GetListenerMixer(CVQCMCMixer** pp) override { return pp != nullptr ? *pp : nullptr; }
    CVQCMCMixer* GetSpeakerMixers(std::vector<CVQCMCMixer*>* pa) override { return pa->at(0); }
  } L(3);
  struct Mixer : JoinMixer {
    using JoinMixer::JoinMixer;
    u32 GetJoinedLegs(std::vector<CVQCMCLeg*>*) override { return 21; }
    u32 GetJoinedMixers(std::vector<CVQCMCMixer*>*) override { return 22; }
    CVQCMCLeg* GetJoinedLegAttributes(unsigned int, CVQCAFPtr<CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE>*, unsigned int*,
                                      unsigned int*) override {
      return mpLeg;
    }
    CVQCMCMixer* GetJoinedMixerAttributes(unsigned int, CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE*, unsigned int*,
                                          unsigned int*) override {
      return this;
    }
    VQX_RESULT MixerJoin(CVQCMCLeg*, CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE*, IVQCMCErrorListener*) override { return 1; }
    VQX_RESULT MixerJoin(CVQCMCMixer*, CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE*, IVQCMCErrorListener*) override { return 2; }
    VQX_RESULT MixerUnjoin(CVQCMCLeg*, IVQCMCErrorListener*) override { return 3; }
    VQX_RESULT MixerUnjoin(CVQCMCMixer*, IVQCMCErrorListener*) override { return 4; }
    CVQCMCLeg* mpLeg = nullptr;
  } M(5);
  M.mpLeg = &L;
  CVQCMCLeg& rL = L;
  CVQCMCMixer& rM = M;
  CVQCMCMixer* pMixer = &M;
  std::vector<CVQCMCMixer*> aMixers{&M};
  EXPECT_EQ(rL.GetJoinedLegs(nullptr), 11u);
  EXPECT_EQ(rL.GetJoinedLegAttributes(7, nullptr), &L);
  EXPECT_EQ(rL.GetListenerMixer(&pMixer), &M);
  EXPECT_EQ(rL.GetSpeakerMixers(&aMixers), &M);
  EXPECT_EQ(rM.GetJoinedLegs(nullptr) * 100 + rM.GetJoinedMixers(nullptr), 2122u);
  EXPECT_EQ(rM.GetJoinedLegAttributes(3, nullptr, nullptr, nullptr), &L);
  EXPECT_EQ(rM.GetJoinedMixerAttributes(3, nullptr, nullptr, nullptr), &M);
  EXPECT_EQ(rM.MixerJoin(&L, nullptr, nullptr) * 1000 + rM.MixerJoin(&M, nullptr, nullptr) * 100 +
                rM.MixerUnjoin(&L, nullptr) * 10 + rM.MixerUnjoin(&M, nullptr),
            1234u);
}

}  // namespace
