/*
 * test_server_it.cpp - the library over a real host library linked on
 * 127.0.0.1 with one or two stand-in servers (testing/cmcsim, python3
 * children): detection by name in any case, registration, READY and NOT
 * READY turned into one notice each, a close that leaves nothing behind;
 * SYNC_STARTING of one server forcing the other not ready, its traffic held
 * and replayed in order with the 81921st message refused; the standby answer
 * re-registering each second; a restarted server keeping its record.
 */
#include <algorithm>

#include "support/cmc_servers.h"

namespace {

class ServerIt : public CmcServersTest {
 protected:
  /* The stand-ins and the library, with the leg hook below in place of the leg layer. */
  void Start(const std::vector<std::vector<std::string>>& options) {
    s_pIt = this;
    mRecorder.pFctLegMsgHandle = RecordLegMsg;
    CmcServersTest::Start(options, &mRecorder);
  }
  long Registers(size_t i) { return mServers[i]->Stat("LibRegister"); }
  /* The leg layer's place in the message chain: records the number (word 7) of each leg notification. */
  static VQX_RESULT RecordLegMsg(VQCMC_LIB_CTX*, _VQCMC_HOST_CTX*, VQX_MSG_HANDLE* phMsg) {
    if ((*phMsg)->un32MsgId == VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED) {
      std::lock_guard guard(s_pIt->mMutex);
      s_pIt->mLegMsgs.push_back(reinterpret_cast<const _VQCMC_SRV_NOTIF*>(VQXMsgPayload(*phMsg))->Head.un32Word7);
    }
    return VQX_RESULT_OK;
  }
  static inline ServerIt* s_pIt = nullptr;

  std::vector<u32> mLegMsgs;
  _VQCMC_ENTITY_HOOKS mRecorder{};
};

TEST_F(ServerIt, RegistersTurnsReadyAndNotReadyIntoOneNoticeEachAndKeepsTheRecordOfARestartedServer) {
  Start({{"--name", "CMC_Server"}});
  const char* pszRegistered = "Successfully registered to CMCServer cmcsim1.CMC_Server";
  EXPECT_TRUE(Await(pszRegistered));
  EXPECT_EQ(mServers[0]->Command("ready"), "ok");
  EXPECT_TRUE(AwaitNotifs({VQCMC_APP_MSG_NOTIF_READY}));
  /* Restarted, the server is known again by its unique id: the same record leaves and comes back. */
  EXPECT_EQ(mServers[0]->Command("restart"), "ok");
  EXPECT_TRUE(Await("StateChange (Ready -> Host removed)") && Await("StateChange (Host removed -> Init)"));
  EXPECT_TRUE(Await(pszRegistered, 2));
  EXPECT_TRUE(AwaitNotifs({VQCMC_APP_MSG_NOTIF_READY, VQCMC_LIB_MSG_NOTIF_NOT_READY}));
  EXPECT_EQ(Servers().size(), 1u);
  /* The first may go with the old link. */
  const long nSyncCompleted = std::max(0L, mServers[0]->Stat("SyncCompleted"));
  for (const char* pszCommand : {"ready", "notready"}) EXPECT_EQ(mServers[0]->Command(pszCommand), "ok");
  EXPECT_TRUE(AwaitNotifs({VQCMC_APP_MSG_NOTIF_READY, VQCMC_LIB_MSG_NOTIF_NOT_READY, VQCMC_APP_MSG_NOTIF_READY,
                           VQCMC_LIB_MSG_NOTIF_NOT_READY}));
  EXPECT_TRUE(cmcpeer::WaitUntil([&] { return mServers[0]->Stat("SyncCompleted") == nSyncCompleted + 1; }, 20000));
  /* Nothing left: no host-library message or filter, then, with the host library closed as
   * well, no thread or descriptor beyond those before both opened. */
  Close();
  EXPECT_TRUE(cmcpeer::WaitUntil([&] { return HeldBy()[2] == 0 && HeldBy()[3] == 0; }, 20000));
  ASSERT_EQ(VQXCloseLibEx(&mhVqx), VQX_RESULT_API_OK);
  EXPECT_TRUE(cmcpeer::WaitUntil([&] { return HeldBy() == mBaseline; }, 20000))
      << testing::PrintToString(mBaseline) << " then " << testing::PrintToString(HeldBy());
}

TEST_F(ServerIt, SyncStartingForcesTheOtherNotReadyThenReplaysInOrderAndRefusesThe81921st) {
  Start({{}, {}});
  ASSERT_TRUE(Await("Successfully registered to CMCServer cmcsim1.cmc_server"));
  ASSERT_TRUE(Await("Successfully registered to CMCServer cmcsim2.cmc_server"));
  EXPECT_EQ(mServers[0]->Command("ready"), "ok");
  ASSERT_TRUE(AwaitNotifs({VQCMC_APP_MSG_NOTIF_READY}));
  const long nRegisters = Registers(0);
  EXPECT_EQ(mServers[1]->Command("syncstarting"), "ok");
  EXPECT_TRUE(Await("Forcing corvane engine cmcsim1.cmc_server not ready"));
  EXPECT_TRUE(AwaitNotifs({VQCMC_APP_MSG_NOTIF_READY, VQCMC_LIB_MSG_NOTIF_NOT_READY}));
  /* The forced server is back in "Init" and registers again. */
  EXPECT_TRUE(cmcpeer::WaitUntil([&] { return Registers(0) > nRegisters; }, 20000));
  /* The steps' waits, judged once the run is over: a stand-in that streams, then answers, closed meanwhile by the
   * machine's doing ends the row. */
  const std::string strEvents = mServers[1]->Command("events 0x0A010012 81921 0x1234", 120); /* once all are sent */
  const bool fPostponed = Await("VqCmcLibHostPostponeMsg: Too many messages pending!", 1, 60000);
  const bool fHeld = (std::lock_guard(mMutex), mLegMsgs.empty());
  const std::string strReady = mServers[1]->Command("ready");
  const bool fComplete = Await("cmcsim2.cmc_server sync sequence complete.");
  const bool fReplayed = cmcpeer::WaitUntil([&] { return std::lock_guard(mMutex), mLegMsgs.size() >= 81920u; }, 60000);
  const bool fNotifs = AwaitNotifs({VQCMC_APP_MSG_NOTIF_READY, VQCMC_LIB_MSG_NOTIF_NOT_READY, VQCMC_APP_MSG_NOTIF_READY});
  Close();
  if (ServerClosedByAHold()) return;
  EXPECT_EQ(strEvents, "ok");
  EXPECT_TRUE(fPostponed);
  EXPECT_TRUE(fHeld) << "traffic of a server not ready passed on";
  EXPECT_EQ(strReady, "ok");
  EXPECT_TRUE(fComplete && fReplayed && fNotifs);
  ASSERT_EQ(mLegMsgs.size(), 81920u);
  for (u32 i = 0; i < mLegMsgs.size(); i++) ASSERT_EQ(mLegMsgs[i], i + 1) << "replayed out of order at " << i;
  EXPECT_EQ(LogCount("Too many messages pending!"), 1u);
}

TEST_F(ServerIt, StandbyAnswerReRegistersEachSecondWithOneNotice) {
  Start({{"--register", "standby"}});
  ASSERT_TRUE(cmcpeer::WaitUntil([&] { return Registers(0) >= 1; }, 20000));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(cmcpeer::WaitUntil([&] { return Registers(0) >= 4; }, 20000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_EQ(LogCount("CMCServer cmcsim1.cmc_server not active, or already controlled by another application"), 1u);
  EXPECT_EQ(mServers[0]->Command("register ok"), "ok");
  EXPECT_TRUE(Await("Successfully registered to CMCServer cmcsim1.cmc_server"));
}

}  // namespace
