/*
 * test_remote_filter_it.cpp - remote filters between host processes on
 * 127.0.0.1: this test process and two children (this same program run
 * again with VQX_RF_CHILD set) open the library with the hosts' transport
 * instance, each on its own port and pointed at the others' ports. One
 * child listens to group 0x0600, the other to group 0x0700; a broadcast
 * event of group 0x0600 must reach the first only. Each child counts what
 * it received until an end marker (group 0x0215, which every host wants)
 * and exits 0 only when the count is the one it was told to expect.
 */
#include <fcntl.h>

#include "test_peer_util.h"

namespace {

constexpr u32 kEventId = 0x06000001u;
constexpr u32 kEndId = 0x02150001u;
constexpr u32 kWaitMs = 20000;

using Clock = std::chrono::steady_clock;

u32 LoopbackOnly(u32 un32Max, u32* paAddr, u32* paBcast, u32* paMask) {
  if (un32Max == 0) return 0;
  paAddr[0] = htonl(0x7F000001u);
  paBcast[0] = htonl(0x7FFFFFFFu);
  paMask[0] = htonl(0xFF000000u);
  return 1;
}

u32 EnvU32(const char* pszName) {
  const char* psz = getenv(pszName);
  return psz != nullptr ? static_cast<u32>(strtoul(psz, nullptr, 0)) : 0;
}

/* Library parameters of one host process: its port, its name, the peers to reach directly. */
_VQX_LIB_PARAMS HostParams(u16 un16Port, const char* pszApp, const std::vector<_VQX_EXTRA_GW_ADDR>& peers) {
  _VQX_LIB_PARAMS params = HostLibTestParams(nullptr);
  params.fAdaptersGwOff = 1;
  params.fHostsGwOn = 1;
  params.un16GwPort = un16Port;
  params.un32TraceLevel = 0x7FFFFFFE;
  snprintf(params.szApplicationName, sizeof(params.szApplicationName), "%s", pszApp);
  params.un32NbExtraGwAddr = static_cast<u32>(peers.size());
  params.paExtraGwAddr = const_cast<_VQX_EXTRA_GW_ADDR*>(peers.data());
  return params;
}

_VQX_EXTRA_GW_ADDR Loopback(u16 un16Port) {
  _VQX_EXTRA_GW_ADDR a{};
  snprintf(a.szIpAddress0, sizeof(a.szIpAddress0), "127.0.0.1");
  a.un16Port = un16Port;
  return a;
}

/* ------------------------------------------------------------ the child */

TEST(RemoteFilterChild, CountsWhatItsFiltersLetThrough) {
  if (getenv("VQX_RF_CHILD") == nullptr) GTEST_SKIP() << "run by RemoteFilterTest as a second host";
  VqxGwLibSetInterfaceProvider(LoopbackOnly);
  VqxGwLibSetBroadcastRedirect(htonl(0x7F000001u));
  VQXGetIpInterfacesInit();
  const std::vector<_VQX_EXTRA_GW_ADDR> peers = {Loopback(static_cast<u16>(EnvU32("VQX_RF_PARENT_PORT")))};
  _VQX_LIB_PARAMS params = HostParams(static_cast<u16>(EnvU32("VQX_RF_PORT")), getenv("VQX_RF_CHILD"), peers);
  VQX_LIB_HANDLE hLib = nullptr;
  ASSERT_EQ(VQXOpenLib(&params, &hLib), VQX_RESULT_API_OK);
  _VQX_FILTER_PARAMS sets[2] = {};
  sets[0].un32Version = sets[1].un32Version = 1;
  sets[0].un32Mask = VQX_FILTER_MASK_MSG_GROUP | VQX_FILTER_MASK_MSG_TYPE;
  sets[0].MsgGroup = EnvU32("VQX_RF_GROUP");
  sets[0].MsgTypeMask = VQX_MSG_TYPE_EVENT;
  sets[1].un32Mask = VQX_FILTER_MASK_MSG_ID;
  sets[1].MsgId = kEndId;
  VQX_FILTER_HANDLE hFilter = nullptr;
  ASSERT_EQ(VQXCreateMsgFilterEx(hLib, 2, sets, &hFilter), VQX_RESULT_API_OK);
  u32 un32Events = 0;
  bool fEnd = false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  while (!fEnd && Clock::now() < deadline) {
    VQX_MSG_HANDLE hMsg = nullptr;
    if (VQXReceiveMsg(hLib, hFilter, 200, &hMsg) != VQX_RESULT_API_OK) continue;
    if (hMsg->un32MsgId == kEventId) un32Events++;
    fEnd = hMsg->un32MsgId == kEndId;
    VQXReleaseMsgEx(hLib, &hMsg);
  }
  EXPECT_TRUE(fEnd) << "end marker";
  EXPECT_EQ(un32Events, EnvU32("VQX_RF_EXPECT"));
  /* What the filters here would not take must not have come over the link at all. */
  _VQX_LIB_STATS stats{};
  ASSERT_EQ(VQXLibGetStats(hLib, &stats), VQX_RESULT_API_OK);
  EXPECT_EQ(stats.RxMsgMatchNoQ, 0u) << "last one: 0x" << std::hex << stats.SignoMatchNoQ;
  VQXDestroyMsgFilterEx(hLib, &hFilter);
  VQXCloseLibEx(&hLib);
}

/* ----------------------------------------------------------- the parent */

class RemoteFilterTest : public ::testing::Test {
 protected:
  pid_t StartChild(const char* pszName, u32 un32Group, u32 un32Expect, u16 un16Port) {
    char szExe[512] = "";
    const ssize_t n = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    if (n <= 0) return -1;
    szExe[n] = '\0';
    const pid_t pid = fork();
    if (pid == 0) {
      setenv("VQX_RF_CHILD", pszName, 1);
      setenv("VQX_RF_GROUP", std::to_string(un32Group).c_str(), 1);
      setenv("VQX_RF_EXPECT", std::to_string(un32Expect).c_str(), 1);
      setenv("VQX_RF_PORT", std::to_string(un16Port).c_str(), 1);
      setenv("VQX_RF_PARENT_PORT", std::to_string(mun16Port).c_str(), 1);
      execl(szExe, szExe, "--gtest_filter=RemoteFilterChild.*", static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid;
  }
  /* Exit status of a child, or -1 after the deadline (the child is then killed). */
  int Reap(pid_t pid, u32 un32Ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(un32Ms);
    int status = 0;
    while (Clock::now() < deadline) {
      if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  void TearDown() override {
    for (pid_t pid : mChildren) {
      if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
    if (HasFailure()) {
      for (const std::string& line : mLog.Lines()) fprintf(stderr, "log: %s", line.c_str());
    }
    if (mhNotif != nullptr) VQXDestroyMsgFilterEx(mhLib, &mhNotif);
    if (mhLib != nullptr) {
      EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
    }
    VqxGwLibSetBroadcastRedirect(0);
    VqxGwLibSetInterfaceProvider(nullptr);
  }
  VQX_RESULT Broadcast(u32 un32Id) {
    VQX_MSG_HANDLE hMsg = nullptr;
    VQX_RESULT r = VQXGetMsg(mhLib, 8, &hMsg);
    if (VQX_RESULT_FAILED(r)) return r;
    hMsg->un32MsgId = un32Id;
    hMsg->MsgType = VQX_MSG_TYPE_EVENT;
    hMsg->hAdapter = 0xFFFFFFFFu;
    hMsg->un32PayloadLength = 8;
    return VQXSendMsgEx(mhLib, &hMsg, nullptr);
  }
  /* Handle of the remote host of that application name whose remote filters have come, 0 if none yet. */
  u32 ReadyHost(const char* pszApp) {
    u32 ah[8];
    u32 n = 0;
    if (VQXGetRemoteHostsList(mhLib, 8, &n, ah) != VQX_RESULT_API_OK) return 0;
    for (u32 i = 0; i < n; i++) {
      _VQX_HOST_INFO info{};
      if (VQXGetRemoteHostInfo(mhLib, ah[i], &info) != VQX_RESULT_API_OK) continue;
      if (strcmp(info.szApplicationName, pszApp) != 0) continue;
      VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
      const VQX_PEER* pPeer = VqxHostRemoteHostByHandle(mhLib, ah[i]);
      const bool fReady = pPeer != nullptr && pPeer->fFiltersComplete != 0 && pPeer->un32NbRemoteFilters > 0;
      VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
      if (fReady) return ah[i];
    }
    return 0;
  }

  CapturedLog mLog;
  VQX_LIB_HANDLE mhLib = nullptr;
  VQX_FILTER_HANDLE mhNotif = nullptr;
  u16 mun16Port = 0;
  std::vector<pid_t> mChildren;
};

TEST_F(RemoteFilterTest, BroadcastEventReachesOnlyTheHostWhoseFiltersMatch) {
  VqxGwLibSetInterfaceProvider(LoopbackOnly);
  VqxGwLibSetBroadcastRedirect(htonl(0x7F000001u));
  VQXGetIpInterfacesInit();
  mun16Port = FreeLoopbackPort();
  const u16 un16PortMatch = FreeLoopbackPort();
  const u16 un16PortOther = FreeLoopbackPort();
  ASSERT_NE(mun16Port, un16PortMatch);
  ASSERT_NE(un16PortMatch, un16PortOther);
  mChildren.push_back(StartChild("rf-match", 0x0600, 1, un16PortMatch));
  mChildren.push_back(StartChild("rf-other", 0x0700, 0, un16PortOther));

  const std::vector<_VQX_EXTRA_GW_ADDR> peers = {Loopback(un16PortMatch), Loopback(un16PortOther)};
  _VQX_LIB_PARAMS params = HostParams(mun16Port, "rf-parent", peers);
  params.pFctErrorCallback = params.pFctTraceCallback = CapturedLog::OnLine;
  params.pvErrorContext = params.pvTraceContext = &mLog;
  ASSERT_EQ(VQXOpenLib(&params, &mhLib), VQX_RESULT_API_OK);
  _VQX_FILTER_PARAMS set{};
  set.un32Version = 1;
  set.un32Mask = VQX_FILTER_MASK_MSG_ID;
  set.MsgId = VQX_MSG_ID_API_NOTIF_HOST_ADDED;
  ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, 1, &set, &mhNotif), VQX_RESULT_API_OK);

  /* Both hosts announced (after their filter-done) and their filters received. */
  u32 un32Added = 0;
  u32 hMatch = 0, hOther = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  while ((hMatch == 0 || hOther == 0) && Clock::now() < deadline) {
    VQX_MSG_HANDLE hMsg = nullptr;
    if (VQXReceiveMsg(mhLib, mhNotif, 100, &hMsg) == VQX_RESULT_API_OK) {
      un32Added++;
      VQXReleaseMsgEx(mhLib, &hMsg);
    }
    hMatch = ReadyHost("rf-match");
    hOther = ReadyHost("rf-other");
  }
  ASSERT_NE(hMatch, 0u) << "the matching host never came with its filters";
  ASSERT_NE(hOther, 0u) << "the other host never came with its filters";
  EXPECT_NE(hMatch, hOther);
  for (int i = 0; i < 20 && un32Added < 2; i++) {
    VQX_MSG_HANDLE hMsg = nullptr;
    if (VQXReceiveMsg(mhLib, mhNotif, 100, &hMsg) == VQX_RESULT_API_OK) {
      un32Added++;
      VQXReleaseMsgEx(mhLib, &hMsg);
    }
  }
  EXPECT_EQ(un32Added, 2u) << "one host-added notification per host";

  ASSERT_EQ(Broadcast(kEventId), VQX_RESULT_API_OK);
  ASSERT_EQ(Broadcast(kEndId), VQX_RESULT_API_OK);
  EXPECT_EQ(Reap(mChildren[0], kWaitMs), 0) << "rf-match: one event, then the end marker";
  EXPECT_EQ(Reap(mChildren[1], kWaitMs), 0) << "rf-other: only the end marker";
}

}  // namespace
