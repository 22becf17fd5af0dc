/*
 * test_launch_attach_it.cpp - the launch library over a real host library on
 * 127.0.0.1, with attach on, against a stand-in host peer (testing/cmcsim,
 * a python3 child) that claims this host's name and a process id as a host
 * library of this machine does. The claim holds only for the process that
 * holds the peer's end of the link: one row names a sleeping child of this
 * test, one a child the library launched, one the stand-in itself. Only
 * processes this test made are named, so a broken check can kill nothing
 * else. The host library's links to a peer (VQXGetRemoteHostLinks) are read
 * on the way.
 */
#include <signal.h>
#include <sys/wait.h>

#include <fstream>

#include "peers/child_process.h"
#include "peers/cmcsim_process.h"
#include "support/launch_fixture.h"

namespace {

constexpr const char* kHost = "launchhost";
constexpr u32 kHeartbeatMs = 400;

enum Named { kStranger, kLaunched, kItself };
struct Row {
  const char* pszName;
  Named Who;
};
const Row kRows[] = {{"StrangerNotHoldingTheLink", kStranger},
                     {"LaunchedChildNotHoldingTheLink", kLaunched},
                     {"ItselfHoldingTheLink", kItself}};
void PrintTo(const Row& R, std::ostream* pOs) { *pOs << R.pszName; }

class LaunchPeer : public LaunchTest, public ::testing::WithParamInterface<Row> {
 protected:
  /* A host library that finds the stand-in on its (reserved) port, and the launch library over it. */
  void SetUp() override {
    _VQX_LIB_PARAMS Lp = cmcpeer::HostParams(mun16Host, {mun16Peer}, &mAddr);
    snprintf(Lp.szHostName, sizeof(Lp.szHostName), "%s", kHost);
    ASSERT_EQ(VQXOpenLib(&Lp, &mhLib), VQX_RESULT_API_OK);
    ASSERT_EQ(Open([&](auto& p) {
                p.hLib = mhLib, p.fAttach = 1;
                p.un32HeartbeatTimeMs = p.un32StartingTimeMs = p.un32MgmtShutdownTimeMs = kHeartbeatMs;
              }),
              VQX_RESULT_OK);
  }
  void TearDown() override {
    LaunchTest::TearDown();
    if (mhLib != nullptr) {
      EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
    }
  }
  static bool Alive(peerproc::CChild& Child) {
    if (Child.mPid > 0 && waitpid(Child.mPid, nullptr, WNOHANG) == Child.mPid) Child.mPid = -1;
    return Child.mPid > 0;
  }

  loopnet::LoopbackNets mNet;
  const u16 mun16Host = loopnet::FreeLoopbackPort(), mun16Peer = loopnet::FreeLoopbackPort();
  std::vector<_VQX_EXTRA_GW_ADDR> mAddr;
  VQX_LIB_HANDLE mhLib = nullptr;
};

TEST_P(LaunchPeer, ClaimedPidHoldsOnlyForTheProcessAtTheOtherEnd) {
  const Row& R = GetParam();
  peerproc::CChild Stranger({"sleep", "30"}, false);
  ASSERT_GT(Stranger.mPid, 0);
  struct Ender {  /* the sleeper ends with the row, whatever way the row ends */
    peerproc::CChild& C;
    ~Ender() {
      if (C.mPid > 0) kill(C.mPid, SIGKILL);
    }
  } EndStranger{Stranger};
  const u32 un32Launched = R.Who == kLaunched ? Spawn("exec sleep 30") : 0;
  std::string sClaim = "self";
  if (R.Who != kItself) {
    std::lock_guard<std::recursive_mutex> L(mh->Mutex);
    sClaim = std::to_string(R.Who == kStranger ? Stranger.mPid : mh->Ctx.at(un32Launched).Pid);
  }
  cmcpeer::CmcServerProcess Peer(mun16Peer, mun16Host,
                                 {"--host-name", kHost, "--name", "impostor", "--claim-pid", sClaim});
  ASSERT_TRUE(Peer.Ready());

  if (R.Who == kItself) {
    ASSERT_TRUE(WaitEvent(1, VQX_LAUNCH_STATE_HOSTLIB_STARTED, true, 20000)) << "attached";
    pid_t Pid;
    u32 hHost;
    {
      std::lock_guard<std::recursive_mutex> L(mh->Mutex);
      ASSERT_EQ(mh->Ctx.count(1), 1u);
      EXPECT_TRUE(mh->Ctx[1].fAttached);
      hHost = mh->Ctx[1].hHost;
      Pid = mh->Ctx[1].Pid;
    }
    /* The host library's links to it, all on loopback; bad arguments refused. */
    _VQX_PEER_LINK aLinks[VQX_PEER_MAX_LINKS];
    u32 un32Count = 9;
    ASSERT_EQ(VQXGetRemoteHostLinks(mhLib, hHost, &un32Count, aLinks), VQX_RESULT_API_OK);
    ASSERT_GE(un32Count, 1u);
    for (u32 i = 0; i < un32Count; ++i)
      EXPECT_EQ(std::make_pair(aLinks[i].un32LocalAddr, aLinks[i].un32RemoteAddr),
                std::make_pair(htonl(0x7F000001u), htonl(0x7F000001u)));
    EXPECT_EQ(VQXGetRemoteHostLinks(mhLib, 0xCB00FFFFu, &un32Count, aLinks), VQX_RESULT_API_INVALID_HANDLE);
    EXPECT_EQ(un32Count, 0u);
    EXPECT_EQ(VQXGetRemoteHostLinks(mhLib, hHost, nullptr, aLinks), VQX_RESULT_API_NULL_PARAM);
    EXPECT_EQ(VQXGetRemoteHostLinks(mhLib, hHost, &un32Count, nullptr), VQX_RESULT_API_NULL_PARAM);
    std::ifstream Cmd("/proc/" + std::to_string(Pid) + "/cmdline");
    std::string sCmd((std::istreambuf_iterator<char>(Cmd)), std::istreambuf_iterator<char>());
    EXPECT_NE(sCmd.find("cmcsim.py"), std::string::npos) << "the stand-in itself";
    return;  /* it quits and is reaped as Peer goes: its pid is then free, never signalled */
  }
  const std::string sLine = "LaunchLib thread: host " + std::string(kHost) + " pid " + sClaim +
                            " not attached: not the process holding its connection";
  ASSERT_TRUE(peerwait::WaitUntil([&] { return HasLog(sLine.c_str()); }, 20000)) << sLine;
  {
    std::lock_guard<std::recursive_mutex> L(mh->Mutex);
    if (R.Who == kStranger) {
      EXPECT_TRUE(mh->Ctx.empty()) << "no context for the named process";
    } else {
      ASSERT_EQ(mh->Ctx.count(un32Launched), 1u);
      EXPECT_EQ(mh->Ctx[un32Launched].hHost, 0u) << "the launched child is not bound to the stand-in";
    }
  }
  /* The stand-in leaves: nothing it named is shut down or killed, past the heartbeat time. */
  Peer.Command("quit");
  EXPECT_FALSE(WaitEvent(R.Who == kLaunched ? un32Launched : 1, VQX_LAUNCH_STATE_SHUTDOWN, false, 3 * kHeartbeatMs));
  EXPECT_TRUE(Alive(Stranger));
  if (R.Who == kLaunched) {
    EXPECT_FALSE(WaitEvent(un32Launched, VQX_LAUNCH_STATE_DESTROYED, false, 0));
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, LaunchPeer, ::testing::ValuesIn(kRows), [](const auto& I) { return I.param.pszName; });

}  // namespace
