/*
 * test_server_it.cpp - the library over a real host library linked on
 * 127.0.0.1 with the stand-in server (testing/cmcsim, a python3 child):
 * detection by name in any case, registration, READY and NOT READY turned
 * into one ready and one not-ready notice (with SyncCompleted sent once), and
 * a close that leaves no thread, descriptor, message or filter. A host
 * library message still on its way when Close returns is waited for.
 */
#include "peers/cmcsim_process.h"
#include "support/cmc_fixture.h"

namespace {

class ServerIt : public CmcTest {
 protected:
  void SetUp() override {
    CmcTest::SetUp();
    ASSERT_EQ(VQXCloseLibEx(&mhVqx), VQX_RESULT_API_OK);
    _VQX_LIB_PARAMS params = cmcpeer::HostParams(mun16Host, {mun16Server}, &mAddr);
    ASSERT_EQ(VQXOpenLib(&params, &mhVqx), VQX_RESULT_API_OK);
    mfRealPeers = true;
  }
  cmcpeer::LoopbackNet mNet;
  const u16 mun16Host = cmcpeer::FreePort(), mun16Server = cmcpeer::FreePort();
  cmcpeer::CmcServerProcess mServer{mun16Server, mun16Host, {"--name", "CMC_Server"}};
  std::vector<_VQX_EXTRA_GW_ADDR> mAddr;
};

TEST_F(ServerIt, RegistersAndTurnsReadyAndNotReadyIntoOneNoticeEach) {
  ASSERT_TRUE(mServer.Ready());
  const std::vector<u64> before = HeldBy();
  ASSERT_EQ(Open(2), VQX_RESULT_OK);
  EXPECT_TRUE(cmcpeer::WaitUntil([&] { return LogCount("Successfully registered to CMCServer cmcsim.CMC_Server"); }, 20000));
  for (const auto& [pszCommand, nNotices] : {std::pair{"ready", 1u}, std::pair{"notready", 2u}}) {
    EXPECT_EQ(mServer.Command(pszCommand), "ok");
    EXPECT_TRUE(cmcpeer::WaitUntil([&] { return std::lock_guard(mMutex), mNotifs.size() == nNotices; }, 20000));
  }
  EXPECT_EQ(mServer.Stat("SyncCompleted"), 1);
  Close();
  EXPECT_EQ(mNotifs, (std::vector<u32>{VQCMC_APP_MSG_NOTIF_READY, VQCMC_LIB_MSG_NOTIF_NOT_READY}));
  EXPECT_TRUE(cmcpeer::WaitUntil([&] { return HeldBy() == before; }, 20000));
}

}  // namespace
