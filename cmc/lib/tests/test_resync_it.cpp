/*
 * test_resync_it.cpp - legs A and B linked, leg C and mixer M linked to A,
 * kept through a stand-in server's restart and handed over to a second
 * stand-in (testing/cmcsim, python3 children over a real host library on
 * 127.0.0.1). The stand-ins answer the create commands with their mapping
 * ids, replay a scripted resynchronisation of all but C and check the
 * library's ownership claims byte for byte.
 */
#include <cstring>
#include <map>

#include "support/cmc_servers.h"

namespace {

enum Entity : uintptr_t { A, B, C, M, kEntities };

class ResyncIt : public CmcServersTest {
 protected:
  /* The notices each entity's callback received: message id and the u32 at 36 (the stand-in's
   * sequence); the create answers only give the mapping id. */
  using Seen = std::vector<std::pair<u32, u32>>;

  void SetUp() override {
    CmcServersTest::SetUp();
    s_pIt = this;
  }
  static void OnEntity(VQCMC_LIB_HANDLE, void* pv, VQX_MSG_HANDLE* phMsg) {
    const u8* p = VQXMsgPayload(*phMsg);
    u32 un32Seq = 0, un32Mapping = 0;
    if ((*phMsg)->un32PayloadLength >= 40) {
      std::memcpy(&un32Seq, p + 36, 4);
      std::memcpy(&un32Mapping, p + 8, 4);
    }
    std::lock_guard guard(s_pIt->mMutex);
    const Entity e = static_cast<Entity>(reinterpret_cast<uintptr_t>(pv) - 1);  /* contexts are never null */
    if ((*phMsg)->MsgType == VQX_MSG_TYPE_RESPONSE) {
      s_pIt->mMapping[e] = un32Mapping;
    } else {
      s_pIt->mSeen[e].emplace_back((*phMsg)->un32MsgId, un32Seq);
    }
  }
  /* A, B, C and M created on the ready server, each with its create command answered by a
   * mapping id; the stand-in finds nothing wrong in the commands and saw C's destination (the
   * server's peer handle), tag and id. */
  void CreateAll() {
    for (uintptr_t e = A; e < kEntities; e++) {
      _VQCMC_LIB_LEG_PARAMS leg{};
      _VQCMC_LIB_MIXER_PARAMS mixer{};
      leg.Callback.pFctCallback = mixer.Callback.pFctCallback = OnEntity;
      leg.Callback.pvLegUserContext = mixer.Callback.pvLegUserContext = reinterpret_cast<void*>(e + 1);
      leg.LegType = VQCMC_LEG_TYPE_CALL;
      ASSERT_EQ(e == M ? VQCmcLibMixerCreate(mhCmc, &mixer) : VQCmcLibLegCreate(mhCmc, &leg), VQX_RESULT_OK);
      mId[e] = e == M ? mixer.EntityId : leg.EntityId;
      const u32 un32Size = e == M ? 152 : 872;
      VQX_MSG_HANDLE hMsg = nullptr;
      ASSERT_EQ(VQCmcLibMsgAlloc(mhCmc, un32Size + 4096, &hMsg), VQX_RESULT_OK);
      hMsg->un32MsgId = e == M ? VQCMC_MSG_CMD_MIXER_CREATE : VQCMC_MSG_CMD_CALL_LEG_CREATE;
      hMsg->MsgType = VQX_MSG_TYPE_REQUEST;
      ASSERT_EQ(VQXMsgElementInit(hMsg, un32Size), VQX_RESULT_OK);
      const auto process = e == M ? VQCmcLibMixerMsgProcess : VQCmcLibLegMsgProcess;
      ASSERT_EQ(process(mhCmc, mId[e], 0x70 + e, &hMsg), VQX_RESULT_OK);
    }
    ASSERT_TRUE(cmcpeer::WaitUntil([&] { return std::lock_guard(mMutex), mMapping.size() == kEntities; }, 20000));
    EXPECT_EQ(mServers[0]->Violations(), 0);
    const cmcpeer::CmcServerProcess::Seen last = mServers[0]->Last("CALL_LEG_CREATE");
    u64 un64Ready = 0;
    for (const _VQCMC_LIB_CMCSERVER_INFO& s : Servers()) un64Ready = s.fReady ? s.HostInfo.hAdapter : un64Ready;
    EXPECT_EQ(std::make_pair(last.un64Dest, last.un64Ctx1), std::make_pair(un64Ready, (u64{0x70 + C} << 32) | mId[C]));
  }
  /* The script of all but C, with three call-accepted notifications for A the library must hold. */
  std::vector<std::string> ScriptAllButC() {
    auto hex = cmcpeer::CmcServerProcess::Hex;
    return {"leg " + hex(mId[A]) + " " + hex(mMapping[A]), "leg " + hex(mId[B]) + " " + hex(mMapping[B]),
            "link " + hex(mId[A]) + " " + hex(mId[B]) + " " + hex(mMapping[A]) + " " + hex(mMapping[B]),
            "mixer " + hex(mId[M]) + " " + hex(mMapping[M]),
            "mixerlink " + hex(mId[M]) + " " + hex(mId[A]) + " " + hex(mMapping[M]) + " " + hex(mMapping[A]),
            "notify 0x0A010012 " + hex(mId[A]) + " 3"};
  }
  /* After the resynchronisation, each entity's notices in order: lost,
   * then done for A, B and M, A's held notifications after its done, C terminated. */
  void ExpectSeenAfterSync() {
    const u32 kLost = VQCMC_LIB_MSG_NOTIF_LEG_SYNC_LOST, kDone = VQCMC_LIB_MSG_NOTIF_LEG_SYNC_DONE;
    const u32 kAccepted = VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED;
    const std::map<Entity, Seen> want = {
        {A, {{kLost, 0}, {kDone, 0}, {kAccepted, 1}, {kAccepted, 2}, {kAccepted, 3}}},
        {B, {{kLost, 0}, {kDone, 0}}},
        {C, {{kLost, 0}, {VQCMC_LIB_MSG_NOTIF_LEG_TERMINATED, 0}}},
        {M, {{VQCMC_LIB_MSG_NOTIF_MIXER_SYNC_LOST, 0}, {VQCMC_LIB_MSG_NOTIF_MIXER_SYNC_DONE, 0}}}};
    EXPECT_TRUE(cmcpeer::WaitUntil([&] { return std::lock_guard(mMutex), mSeen == want; }, 20000))
        << testing::PrintToString((std::lock_guard(mMutex), mSeen));
  }
  /* The default callback's sync notices from index nFrom: ids in order, and the words the
   * catalogue gives them (mapping ids, entity ids, the join attribute 01..08 of the script). */
  void ExpectSyncNotices(size_t nFrom) {
    const std::vector<u32> ids = {VQCMC_LIB_MSG_NOTIF_LEG_SYNC, VQCMC_LIB_MSG_NOTIF_LEG_SYNC,
                                  VQCMC_LIB_MSG_NOTIF_LINK_SYNC, VQCMC_LIB_MSG_NOTIF_MIXER_SYNC,
                                  VQCMC_LIB_MSG_NOTIF_MIXER_LINK_SYNC};
    const u64 un64Join = 0x0807060504030201u;
    struct Word {
      u32 un32At, un32Width;
      u64 un64Want;
    };
    const std::vector<std::vector<Word>> words = {
        {{8, 4, mMapping[A]}, {32, 4, mId[A]}}, {{8, 4, mMapping[B]}, {32, 4, mId[B]}},
        {{32, 4, mId[A]}, {36, 4, mId[B]}, {40, 8, un64Join}},
        {{8, 4, mMapping[M]}, {28, 4, mId[M]}},
        {{32, 4, mId[M]}, {36, 4, mId[A]}, {40, 8, un64Join}, {48, 8, 0}}};
    std::lock_guard guard(mMutex);
    ASSERT_GE(mNotifs.size(), nFrom + ids.size());
    for (size_t i = 0; i < ids.size(); i++) {
      EXPECT_EQ(mNotifs[nFrom + i], ids[i]) << i;
      for (const Word& w : words[i]) {
        u64 un64Got = 0;
        std::memcpy(&un64Got, mNotifPayloads[nFrom + i].data() + w.un32At, w.un32Width);
        EXPECT_EQ(un64Got, w.un64Want) << "notice " << i << " offset " << w.un32At;
      }
    }
  }
  /* The five claims the script calls for, each received byte for byte by that server; the ready
   * server counts the three legs and the mixer, any other nothing. */
  void ExpectClaimsAndCounts(size_t nServer) {
    EXPECT_TRUE(cmcpeer::WaitUntil(
        [&] { return mServers[nServer]->ClaimCounts() == cmcpeer::CmcServerProcess::Claims{5, 0, 0}; }, 20000));
    for (const _VQCMC_LIB_CMCSERVER_INFO& s : Servers()) {
      const std::pair<u32, u32> want = s.fReady ? std::make_pair(3u, 1u) : std::make_pair(0u, 0u);
      EXPECT_EQ(std::make_pair(s.un32NbLegs, s.un32NbMixers), want);
    }
  }

  static inline ResyncIt* s_pIt = nullptr;
  u32 mId[kEntities] = {};
  std::map<Entity, u32> mMapping;
  std::map<Entity, Seen> mSeen;
};

TEST_F(ResyncIt, RestartResynchronisesAllButCWhichIsTerminatedAndHeldMessagesFollowInOrder) {
  Start({{}});
  ASSERT_TRUE(Await("Successfully registered to CMCServer cmcsim1.cmc_server"));
  ASSERT_EQ(mServers[0]->Command("ready"), "ok");
  ASSERT_TRUE(AwaitNotifs({VQCMC_APP_MSG_NOTIF_READY}));
  ASSERT_NO_FATAL_FAILURE(CreateAll());
  ASSERT_EQ(mServers[0]->Command("restart"), "ok");
  ASSERT_TRUE(Await("Successfully registered to CMCServer cmcsim1.cmc_server", 2));
  ASSERT_TRUE(mServers[0]->Resync(ScriptAllButC()));
  ExpectSeenAfterSync();
  EXPECT_TRUE(AwaitNotifs({VQCMC_APP_MSG_NOTIF_READY, VQCMC_LIB_MSG_NOTIF_NOT_READY, VQCMC_LIB_MSG_NOTIF_LEG_SYNC,
                           VQCMC_LIB_MSG_NOTIF_LEG_SYNC, VQCMC_LIB_MSG_NOTIF_LINK_SYNC, VQCMC_LIB_MSG_NOTIF_MIXER_SYNC,
                           VQCMC_LIB_MSG_NOTIF_MIXER_LINK_SYNC, VQCMC_APP_MSG_NOTIF_READY}));
  ExpectSyncNotices(2);
  ExpectClaimsAndCounts(0);
  EXPECT_EQ(Servers().size(), 1u);
}

TEST_F(ResyncIt, HandOverToASecondServerReHomesTheOrphansWithTheirCounts) {
  Start({{}, {}});
  ASSERT_TRUE(Await("Successfully registered to CMCServer cmcsim1.cmc_server"));
  ASSERT_TRUE(Await("Successfully registered to CMCServer cmcsim2.cmc_server"));
  ASSERT_EQ(mServers[0]->Command("ready"), "ok");
  ASSERT_TRUE(AwaitNotifs({VQCMC_APP_MSG_NOTIF_READY}));
  ASSERT_NO_FATAL_FAILURE(CreateAll());
  ASSERT_EQ(mServers[0]->Command("quit"), "");
  ASSERT_TRUE(Await("StateChange (Ready -> Host removed)"));
  ASSERT_TRUE(mServers[1]->Resync(ScriptAllButC()));
  ExpectSeenAfterSync();
  ExpectSyncNotices(2);
  /* Everything, C included, counts on the second server; the first owns nothing and is freed once
   * "Host removed" gives way to "Host dead" (10 s). */
  ExpectClaimsAndCounts(1);
  EXPECT_TRUE(cmcpeer::WaitUntil([&] { return Servers().size() == 1; }, 20000));
}

}  // namespace
