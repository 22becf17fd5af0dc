/* The server machine driven by hand through the seams, with the injected clock. */
#include <cstring>
#include <functional>

#include "support/cmc_fixture.h"

namespace {

constexpr u32 kSrv = 0x100, kSrv2 = 0x200;
constexpr u64 kKey = 0x7F00000100001234ull, kKey2 = 0x7F00000200005678ull;

class ServerMachine : public CmcTest {
 protected:
  void SetUp() override {
    CmcTest::SetUp();
    ASSERT_EQ(Open(), VQX_RESULT_OK);
  }
  u32 State(u32 h) { return Host(h) != nullptr ? Host(h)->CurrState : 0xDEADu; }
  void Answer(u32 h, u32 un32Id, u32 un32Result) { Intake({Msg(un32Id, h, VQX_MSG_TYPE_RESPONSE, 72, un32Result)}); }
  void Server(u32 h, u32 un32Id, u32 un32Payload = 64) { Intake({Msg(un32Id, h, VQX_MSG_TYPE_EVENT, un32Payload)}); }
  /* Time passes by a timer's period: the poll queues its time-out, the next intake delivers it. */
  void Expire(u32 un32Ms) {
    Advance(un32Ms + 1);
    Intake();
  }
};

TEST_F(ServerMachine, DetectionByNameInAnyCaseOrByIdOnly) {
  Intake({AddServer(0x301, 1, "CMC_Server"), AddServer(0x302, 2, "other", VQCMC_SERVER_UNIQUE_ID),
          AddServer(0x303, 3, "other"), AddServer(0x304, 4, "cmc_serverx")});
  EXPECT_NE(Host(0x301), nullptr);
  EXPECT_NE(Host(0x302), nullptr);
  EXPECT_EQ(Host(0x303), nullptr);
  EXPECT_EQ(Host(0x304), nullptr);
  EXPECT_EQ(SentOf(VQCMC_SRV_LIB_REGISTER).size(), 2u);
  EXPECT_EQ(LogCount("ADDED CMCapp 0x00000301 h301-CMC_Server 127.0.0.1"), 1u);
  Intake({Msg(VQCMC_HL_ADAPTER_ADDED, 0xDA000000u, VQX_MSG_TYPE_EVENT, 424),
          Msg(VQCMC_HL_ADAPTER_REMOVED, 0xDA000000u, VQX_MSG_TYPE_EVENT, 8)});
  EXPECT_EQ(LogCount("Short adapter-added message (424 bytes)"), 1u);
  EXPECT_EQ(LogCount("Short adapter-removed message (8 bytes)"), 1u);
}

/* One server through every transition of its machine; each row checks the state and its line. */
TEST_F(ServerMachine, EveryTransitionWithItsStateChangeLine) {
  struct Step {
    const char* pszName;
    std::function<void()> Do;
    u32 un32State;
    const char* pszLine;
  };
  const Step aSteps[] = {
      {"added", [&] { Intake({AddServer(kSrv, kKey)}); }, 0, "0x00000100 StateChange (Init -> Init)"},
      {"1000 ms retry", [&] { Expire(1000); }, 0, "0x00000100 StateChange (Init -> Init)"},
      {"READY", [&] { Server(kSrv, VQCMC_SRV_READY); }, 1, "0x00000100 StateChange (Init -> Ready)"},
      {"NOT READY", [&] { Server(kSrv, VQCMC_SRV_NOT_READY); }, 0, "0x00000100 StateChange (Not ready -> Init)"},
      {"READY again", [&] { Server(kSrv, VQCMC_SRV_READY); }, 1, "0x00000100 StateChange (Init -> Ready)"},
      {"removed", [&] { Intake({Removed(kSrv)}); }, 3, "0x00000100 StateChange (Ready -> Host removed)"},
      {"added back", [&] { Intake({AddServer(kSrv, kKey)}); }, 0, "0x00000100 StateChange (Host removed -> Init)"},
      {"removed in Init", [&] { Intake({Removed(kSrv)}); }, 3, "0x00000100 StateChange (Init -> Host removed)"},
  };
  for (const Step& step : aSteps) {
    SCOPED_TRACE(step.pszName);
    const size_t nBefore = LogCount(step.pszLine);
    step.Do();
    EXPECT_EQ(State(kSrv), step.un32State);
    EXPECT_GT(LogCount(step.pszLine), nBefore);
  }
  EXPECT_EQ(LogCount("StateChange (Ready -> Not ready)"), 1u);
  /* Each "Init" entry registers: added, retry, after Not ready, added back. */
  EXPECT_EQ(SentOf(VQCMC_SRV_LIB_REGISTER).size(), 4u);
  /* 10000 ms in "Host removed", then "Host dead" frees the record that owns nothing. */
  Expire(9000);
  EXPECT_EQ(State(kSrv), 3u);
  Expire(1000);
  EXPECT_EQ(Host(kSrv), nullptr);
  EXPECT_EQ(LogCount("StateChange (Host removed -> Host dead)"), 1u);
  EXPECT_EQ(LogCount("REMOVED CMCapp 0x00000100"), 1u);
  /* The application heard ready twice (0 -> 1 ready each time) and not ready twice. */
  EXPECT_EQ(mNotifs, (std::vector<u32>{VQCMC_APP_MSG_NOTIF_READY, VQCMC_LIB_MSG_NOTIF_NOT_READY,
                                       VQCMC_APP_MSG_NOTIF_READY, VQCMC_LIB_MSG_NOTIF_NOT_READY}));
}

TEST_F(ServerMachine, UnknownDestinationGoesRemovedThenDead) {
  Intake({AddServer(kSrv, kKey)});
  mPeers.erase(kSrv);
  Expire(1000);
  EXPECT_EQ(State(kSrv), 3u);
  Expire(10000);
  EXPECT_EQ(Host(kSrv), nullptr);
}

TEST_F(ServerMachine, StaleTimeoutDroppedReadyTimeoutLoggedAndHostStatesGetEachSecondWhileReady) {
  Intake({AddServer(kSrv, kKey)});
  Server(kSrv, VQCMC_SRV_READY);
  auto Timeout = [&](u32 un32ArmedIn) {
    VQX_MSG_HANDLE h = Msg(VQCMC_PRIV_HOST_TIMEOUT, VQCMC_LOCAL_DELIVERY, VQX_MSG_TYPE_EVENT, 24);
    h->un64UserContext1 = static_cast<u64>(Host(kSrv)->un32PoolIndex) << 32;
    h->un64UserContext2 = un32ArmedIn;
    return h;
  };
  Intake({Timeout(VQCMC_LIB_STATE_INIT)});
  EXPECT_EQ(LogCount("TIMEOUT 0x00000100"), 0u);
  Intake({Timeout(VQCMC_LIB_STATE_READY)});
  EXPECT_EQ(LogCount("TIMEOUT 0x00000100"), 1u);
  EXPECT_EQ(State(kSrv), 1u);
  for (int i = 0; i < 3; i++) Advance(1001);
  EXPECT_EQ(SentOf(VQCMC_SRV_HOST_STATES_GET).size(), 3u);
  Server(kSrv, VQCMC_SRV_NOT_READY);
  Advance(1001);
  EXPECT_EQ(SentOf(VQCMC_SRV_HOST_STATES_GET).size(), 3u);
}

TEST_F(ServerMachine, DeadServerKeepsItsLegUntilDestroyedAndTerminatesFromTheSecondLook) {
  Intake({AddServer(kSrv, kKey)});
  _VQCMC_ENTITY_CTX* pLeg = Leg(0x1234, kSrv, nullptr, nullptr, nullptr);
  EXPECT_EQ(VqCmcLibHostRemove(mhCmc, Host(kSrv)), VQX_RESULT_INVALID_OPERATION);
  Intake({Removed(kSrv)});
  Expire(10000);
  EXPECT_EQ(State(kSrv), 4u);
  EXPECT_EQ(LogCount("STATE_ENTER 0x00000100 legs=1 mixers=0"), 1u);
  EXPECT_EQ(LogCount("is dead, killing all calls"), 0u);
  Expire(1000);
  EXPECT_EQ(LogCount("Host h100.cmc_server is dead, killing all calls (1) and mixers (0)"), 1u);
  ASSERT_EQ(VqCmcLibEntityDestroy(mhCmc, pLeg->Params.EntityId), VQX_RESULT_OK);
  Expire(1000);
  EXPECT_EQ(Host(kSrv), nullptr);
}

TEST_F(ServerMachine, RegistrationAnswersAndStandbyNoticeOnce) {
  Intake({AddServer(kSrv, kKey)});
  for (int i = 0; i < 3; i++) Answer(kSrv, VQCMC_SRV_LIB_REGISTER, VQCMC_REG_RESULT_STANDBY);
  EXPECT_EQ(LogCount("not active, or already controlled by another application"), 1u);
  Answer(kSrv, VQCMC_SRV_LIB_REGISTER, VQCMC_REG_RESULT_VERSION);
  EXPECT_EQ(LogCount("LibRegister Failed: Incompatible version"), 1u);
  Answer(kSrv, VQCMC_SRV_LIB_REGISTER, 0x02000000u);
  Answer(kSrv, VQCMC_SRV_LIB_REGISTER, 0x02000000u);
  EXPECT_EQ(LogCount("Successfully registered to CMCServer h100.cmc_server"), 1u);
  EXPECT_TRUE(Host(kSrv)->fRegistered);
  Answer(kSrv, VQCMC_SRV_LIB_REGISTER, VQCMC_REG_RESULT_STANDBY);
  EXPECT_EQ(LogCount("not active, or already controlled by another application"), 2u);
  /* A short answer is refused, its result never read. */
  Intake({Msg(VQCMC_SRV_HOST_STATES_GET, kSrv, VQX_MSG_TYPE_RESPONSE, 28)});
  EXPECT_EQ(LogCount("Short answer refused (28 bytes)"), 1u);
}

TEST_F(ServerMachine, TwoServersOneReadyNoticeAndSyncStartingForcesTheOther) {
  Intake({AddServer(kSrv, kKey), AddServer(kSrv2, kKey2)});
  Server(kSrv, VQCMC_SRV_READY);
  Server(kSrv2, VQCMC_SRV_SYNC_STARTING);
  EXPECT_EQ(State(kSrv), 0u);
  EXPECT_EQ(LogCount("Forcing corvane engine h100.cmc_server not ready"), 1u);
  EXPECT_EQ(mhCmc->un32NbHostsResyncing, 1u);
  /* Server 2's traffic waits for the end of its sync, then comes in arrival order. */
  for (u32 i = 0; i < 3; i++) Server(kSrv2, VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED, 40);
  EXPECT_EQ(Host(kSrv2)->un32NbPendingMsgs, 3u);
  Server(kSrv2, VQCMC_SRV_READY, 20);  /* short READY: the library builds the notification */
  EXPECT_EQ(mhCmc->un32NbHostsResyncing, 0u);
  EXPECT_EQ(LogCount("h200.cmc_server sync sequence complete."), 1u);
  EXPECT_EQ(Host(kSrv2)->un32NbPendingMsgs, 0u);
  Server(kSrv, VQCMC_SRV_READY);
  EXPECT_EQ(mNotifs, (std::vector<u32>{VQCMC_APP_MSG_NOTIF_READY, VQCMC_LIB_MSG_NOTIF_NOT_READY,
                                       VQCMC_APP_MSG_NOTIF_READY}));
  EXPECT_EQ(mNotifPayloads[2].size(), 64u);
}

TEST_F(ServerMachine, PostponementHoldsAtMost81920AndRetriesItsBuffer) {
  Intake({AddServer(kSrv, kKey)});
  Server(kSrv, VQCMC_SRV_SYNC_STARTING);
  _VQCMC_HOST_CTX* pHost = Host(kSrv);
  /* Without a buffer the sync still ends: the next postponement takes one. */
  delete[] pHost->pahPendingMsgs;
  pHost->pahPendingMsgs = nullptr;
  for (u32 i = 0; i < VQCMC_MAX_PENDING_MSGS; i++) {
    VQX_MSG_HANDLE h = Msg(VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED, kSrv, VQX_MSG_TYPE_EVENT, 40);
    ASSERT_EQ(VqCmcLibHostPostponeMsg(mhCmc, pHost, &h), VQX_RESULT_OK) << i;
  }
  VQX_MSG_HANDLE hLast = Msg(VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED, kSrv, VQX_MSG_TYPE_EVENT, 40);
  EXPECT_EQ(VqCmcLibHostPostponeMsg(mhCmc, pHost, &hLast), VQX_RESULT_NOT_INITIALIZED);
  EXPECT_EQ(hLast, nullptr);
  EXPECT_EQ(LogCount("Too many messages pending!"), 1u);
  Server(kSrv, VQCMC_SRV_READY);
  EXPECT_EQ(mhCmc->un32NbHostsResyncing, 0u);
  EXPECT_EQ(Host(kSrv)->pahPendingMsgs, nullptr);
}

/* A server added again before its sync ends keeps what it postponed, and postpones on: every
 * message is replayed in arrival order once it is ready. */
TEST_F(ServerMachine, AddedAgainDuringItsSyncKeepsItsPostponedMessages) {
  Intake({AddServer(kSrv, kKey)});
  Host(kSrv)->fReady = 1;  /* for the public create */
  static std::vector<u32> s_aSeen;
  s_aSeen.clear();
  _VQCMC_LIB_LEG_PARAMS params{};
  params.EntityId = 0x21;
  params.Callback = {[](VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE* phMsg) {
                       u32 un32Seq = 0;
                       memcpy(&un32Seq, VQXMsgPayload(*phMsg) + 36, 4);
                       if ((*phMsg)->un32MsgId == VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED) s_aSeen.push_back(un32Seq);
                     },
                     nullptr, this};
  ASSERT_EQ(VQCmcLibLegCreate(mhCmc, &params), VQX_RESULT_OK);
  Host(kSrv)->fReady = 0;
  Server(kSrv, VQCMC_SRV_SYNC_STARTING);
  auto Accepted = [&](u32 un32Seq) {
    VQX_MSG_HANDLE h = Msg(VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED, kSrv, VQX_MSG_TYPE_EVENT, 40);
    const u32 aun32[] = {0x21, un32Seq};
    memcpy(VQXMsgPayload(h) + 32, aun32, sizeof(aun32));
    Intake({h});
  };
  for (u32 i = 0; i < 3; i++) Accepted(i);
  Intake({AddServer(kSrv, kKey)});
  EXPECT_EQ(State(kSrv), 0u);
  EXPECT_EQ(Host(kSrv)->un32NbPendingMsgs, 3u);
  Accepted(3);
  EXPECT_TRUE(s_aSeen.empty());
  Server(kSrv, VQCMC_SRV_READY);
  EXPECT_EQ(s_aSeen, (std::vector<u32>{0, 1, 2, 3}));
  EXPECT_TRUE(mhCmc->un32NbHostsResyncing == 0 && Host(kSrv)->pahPendingMsgs == nullptr);
  /* A sync that holds nothing (no buffer could be had) ends with the refresh, and leaves the count
   * of servers in sync with it. */
  Intake({AddServer(kSrv, kKey)});
  Host(kSrv)->fReady = 0;  /* as after NOT READY: no sync may end at the next intake */
  Server(kSrv, VQCMC_SRV_SYNC_STARTING);
  ASSERT_EQ(Host(kSrv)->fSyncDone * 10 + mhCmc->un32NbHostsResyncing, 1u);
  delete[] Host(kSrv)->pahPendingMsgs;
  Host(kSrv)->pahPendingMsgs = nullptr;
  Intake({AddServer(kSrv, kKey)});
  EXPECT_EQ(Host(kSrv)->fSyncDone * 10 + mhCmc->un32NbHostsResyncing, 10u);
  EXPECT_EQ(VQCmcLibLegDestroy(mhCmc, 0x21), VQX_RESULT_OK);
}

/* The host library's own notices 0x02010001-0x02010004 are dropped at intake, even from a server's
 * handle; the next id goes on to the leg and mixer handlers. */
TEST_F(CmcTest, HostLibraryNoticesReachNoLegOrMixer) {
  static std::vector<u32> s_aLeg, s_aMixer;
  _VQCMC_ENTITY_HOOKS hooks = g_VqCmcEntityHooks;
  hooks.pFctLegMsgHandle = [](VQCMC_LIB_CTX*, _VQCMC_HOST_CTX*, VQX_MSG_HANDLE* phMsg) {
    s_aLeg.push_back((*phMsg)->un32MsgId);
    return VQX_RESULT_OK;
  };
  hooks.pFctMixerMsgHandle = [](VQCMC_LIB_CTX*, _VQCMC_HOST_CTX*, VQX_MSG_HANDLE* phMsg) {
    s_aMixer.push_back((*phMsg)->un32MsgId);
    return VQX_RESULT_OK;
  };
  mpHooks = &hooks;
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  Intake({AddServer(kSrv, kKey)});
  Intake({Msg(VQCMC_SRV_READY, kSrv, VQX_MSG_TYPE_EVENT, 64)});
  s_aLeg.clear(), s_aMixer.clear();
  for (u32 un32Id = 0x02010000u; un32Id <= 0x02010005u; un32Id++) Intake({Msg(un32Id, kSrv, VQX_MSG_TYPE_EVENT, 64)});
  EXPECT_EQ(s_aLeg, (std::vector<u32>{0x02010000u, 0x02010005u}));
  EXPECT_EQ(s_aMixer, s_aLeg);
}

/* Byte for byte against tests/data/to_server_payloads.txt, written by the stand-in's encoder
 * (testing/cmcsim/cmcsim_wire.py). */
TEST_F(CmcTest, GoldenToServerPayloadsAndNotifications) {
  const std::map<std::string, std::string> golden = CmcGolden("to_server_payloads.txt");
  ASSERT_EQ(golden.size(), 10u);
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  Intake({AddServer(0x100, 1)});
  Intake({Msg(VQCMC_SRV_READY, 0x100, VQX_MSG_TYPE_EVENT, 20)});  /* short: the library builds the notification */
  Intake({AddServer(0x200, 2)});
  Advance(1001);
  _VQCMC_ENTITY_CTX* pLeg = Leg(0x1234, 0x100, nullptr, nullptr, nullptr);
  pLeg->MappingId = 0x5001;
  _VQCMC_ENTITY_CTX* pMixer = nullptr;
  _VQCMC_HOST_CTX* pHost = Host(0x100);
  VqxMutexGet(mhCmc->hThreadSem);
  ASSERT_EQ(VqCmcLibEntityCreate(mhCmc, &pHost, 0x2222, 0, &pMixer), VQX_RESULT_OK);
  VqCmcEntitySetKind(mhCmc, pMixer, VQCMC_ENTITY_TYPE_MIXER);
  pMixer->MappingId = 0x6001;
  EXPECT_EQ(VqCmcHostSendSetLegOwnership(mhCmc, Host(0x100), pLeg), VQX_RESULT_OK);
  EXPECT_EQ(VqCmcHostSendSetLinkOwnership(mhCmc, Host(0x100), 0x1234, 0x1235), VQX_RESULT_OK);
  EXPECT_EQ(VqCmcHostSendSetMixerOwnership(mhCmc, Host(0x100), pMixer), VQX_RESULT_OK);
  EXPECT_EQ(VqCmcHostSendSetMixerLinkOwnership(mhCmc, Host(0x100), 0x2222, 0x1234), VQX_RESULT_OK);
  VqxMutexGive(mhCmc->hThreadSem);
  Intake();
  Intake({Msg(VQCMC_SRV_NOT_READY, 0x100, VQX_MSG_TYPE_EVENT, 32)});
  struct Row {
    const char* pszName;
    u32 un32Id;
    size_t nIndex;
  };
  const Row aRows[] = {
      {"LibRegister lib 7777 flags 01 00 00 09 none ready", VQCMC_SRV_LIB_REGISTER, 0},
      {"LibRegister lib 7777 flags 01 00 00 09 one ready", VQCMC_SRV_LIB_REGISTER, 1},
      {"HostStatesGet", VQCMC_SRV_HOST_STATES_GET, 0},
      {"SyncCompleted", VQCMC_SRV_SYNC_COMPLETED, 0},
      {"SetLegOwnership map 0x5001 leg 0x1234", VQCMC_SRV_SET_LEG_OWNERSHIP, 0},
      {"SetLinkOwnership 0x1234 0x1235", VQCMC_SRV_SET_LINK_OWNERSHIP, 0},
      {"SetMixerOwnership map 0x6001 mixer 0x2222", VQCMC_SRV_SET_MIXER_OWNERSHIP, 0},
      {"SetMixerLinkOwnership 0x2222 0x1234", VQCMC_SRV_SET_MIXER_LINK_OWNERSHIP, 0},
  };
  for (const Row& row : aRows) {
    SCOPED_TRACE(row.pszName);
    const std::vector<SentMsg> sent = SentOf(row.un32Id);
    ASSERT_GT(sent.size(), row.nIndex);
    EXPECT_EQ(sent[row.nIndex].un32Type, VQX_MSG_TYPE_REQUEST);
    EXPECT_EQ(CmcHex(sent[row.nIndex].Payload.data(), sent[row.nIndex].Payload.size()), golden.at(row.pszName));
  }
  ASSERT_GE(mNotifPayloads.size(), 2u);  /* then the unsynchronised mixer's SYNC_LOST */
  EXPECT_EQ(CmcHex(mNotifPayloads[0].data(), mNotifPayloads[0].size()),
            golden.at("Ready notification built by the library"));
  EXPECT_EQ(CmcHex(mNotifPayloads[1].data(), mNotifPayloads[1].size()), golden.at("Not-ready notification"));
  VqxMutexGet(mhCmc->hThreadSem);
  VqCmcLibEntityDestroy(mhCmc, pLeg->Params.EntityId);
  VqCmcLibEntityDestroy(mhCmc, pMixer->Params.EntityId);
  VqxMutexGive(mhCmc->hThreadSem);
}

}  // namespace
