/*
 * test_twohosts_it.cpp - host libraries of separate processes on this
 * machine find each other over the hosts' transport instance (127.0.0.1
 * only, each on its own discovery port with the others as extra gateway
 * addresses) and exchange messages: a broadcast event reaches only the host
 * whose filters want it, and a stream of requests from one host reaches the
 * other numbered, in order and complete, acknowledged on the way.
 *
 * The other hosts are this test program run again (fork and exec) with
 * VQX_TWOHOSTS_ROLE set: only the test named by that role then runs.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/hostlib_fixture.h"
#include "test_peer_util.h"
#include "vqx_gwlib.h"
#include "vqx_host_filter.h"
#include "vqx_host_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr u32 kWantedEvent = 0x06000042u;
constexpr u32 kOtherEvent = 0x06000043u;
constexpr u32 kStreamRequest = 0x06000050u;
constexpr u32 kStreamCount = 3000;
constexpr u32 kChildWaitMs = 15000;

u32 LoopbackOnly(u32 un32Max, u32* paAddr, u32* paBcast, u32* paMask) {
  if (un32Max == 0) return 0;
  paAddr[0] = htonl(0x7F000001u);
  paBcast[0] = htonl(0x7FFFFFFFu);
  paMask[0] = htonl(0xFF000000u);
  return 1;
}

/* One host library on the hosts' instance only, discovery on un16Port, the others reached directly. */
VQX_LIB_HANDLE OpenHost(CapturedLog* pLog, const char* pszApp, u16 un16Port, const std::string& extra) {
  VqxGwLibSetInterfaceProvider(LoopbackOnly);
  VqxGwLibSetBroadcastRedirect(htonl(0x7F000001u));
  VQXGetIpInterfacesInit();
  setenv("VQX_GW_PORT", std::to_string(un16Port).c_str(), 1);
  setenv("VQX_GW_REMOTE_ADDR", extra.c_str(), 1);
  _VQX_LIB_PARAMS params = HostLibTestParams(pLog);
  params.fAdaptersGwOff = 1;
  params.fHostsGwOn = 1;
  params.un32TraceLevel = 0x7FFFFFFE;
  snprintf(params.szApplicationName, sizeof(params.szApplicationName), "%s", pszApp);
  snprintf(params.szHostName, sizeof(params.szHostName), "loopback");
  VQX_LIB_HANDLE hLib = nullptr;
  if (VQXOpenLib(&params, &hLib) != VQX_RESULT_API_OK) return nullptr;
  return hLib;
}

VQX_FILTER_HANDLE OneFilter(VQX_LIB_HANDLE hLib, u32 un32Mask, u32 un32Id, u32 un32Group) {
  _VQX_FILTER_PARAMS set{};
  set.un32Version = 1;
  set.un32Mask = un32Mask;
  set.MsgId = un32Id;
  set.MsgGroup = un32Group;
  VQX_FILTER_HANDLE hFilter = nullptr;
  return VQXCreateMsgFilterEx(hLib, 1, &set, &hFilter) == VQX_RESULT_API_OK ? hFilter : nullptr;
}

/* Waits for a host-added notification; its handle, 0 on time-out. */
u32 WaitHostAdded(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hNotif, u32 un32Ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(un32Ms);
  while (Clock::now() < deadline) {
    VQX_MSG_HANDLE hMsg = nullptr;
    if (VQXReceiveMsg(hLib, hNotif, 200, &hMsg) != VQX_RESULT_API_OK) continue;
    const u32 un32Id = hMsg->un32MsgId;
    const u32 hHost = hMsg->hAdapter;
    VQXReleaseMsgEx(hLib, &hMsg);
    if (un32Id == VQX_MSG_ID_API_NOTIF_HOST_ADDED) return hHost;
  }
  return 0;
}

VQX_RESULT SendTo(VQX_LIB_HANDLE hLib, u32 hDest, u32 un32Id, u32 MsgType, u32 un32Word) {
  VQX_MSG_HANDLE hMsg = nullptr;
  VQX_RESULT r = VQXGetMsg(hLib, 16, &hMsg);
  if (VQX_RESULT_FAILED(r)) return r;
  hMsg->un32MsgId = un32Id;
  hMsg->MsgType = MsgType;
  hMsg->hAdapter = hDest;
  hMsg->un32PayloadLength = 16;
  memcpy(VQXMsgPayload(hMsg) + 8, &un32Word, sizeof(un32Word));
  return VQXSendMsgEx(hLib, &hMsg, nullptr);
}

/* A child host: run again with the role, the ports and what it listens to. */
class ChildHost {
 public:
  ChildHost(const std::string& role, u16 un16Port, u16 un16ParentPort, u32 un32ListenId,
            u32 un32WaitMs = kChildWaitMs) {
    mPid = fork();
    if (mPid == 0) {
      setenv("VQX_TWOHOSTS_ROLE", role.c_str(), 1);
      setenv("VQX_TWOHOSTS_PORT", std::to_string(un16Port).c_str(), 1);
      setenv("VQX_TWOHOSTS_PARENT_PORT", std::to_string(un16ParentPort).c_str(), 1);
      setenv("VQX_TWOHOSTS_LISTEN", std::to_string(un32ListenId).c_str(), 1);
      setenv("VQX_TWOHOSTS_WAIT_MS", std::to_string(un32WaitMs).c_str(), 1);
      const std::string filter = "--gtest_filter=TwoHostsChild." + role;
      execl("/proc/self/exe", "test_twohosts_it", filter.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  /* Exit status within un32Ms (-1: killed after the time-out). */
  int Wait(u32 un32Ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(un32Ms);
    int status = 0;
    while (Clock::now() < deadline) {
      if (waitpid(mPid, &status, WNOHANG) == mPid) {
        mPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(mPid, SIGKILL);
    waitpid(mPid, nullptr, 0);
    mPid = -1;
    return -1;
  }
  ~ChildHost() {
    if (mPid > 0) Wait(0);
  }

 private:
  pid_t mPid = -1;
};

const char* Env(const char* pszName) {
  const char* psz = getenv(pszName);
  return psz != nullptr ? psz : "";
}

/*
 * Child role: listens to one event id; reports through its exit status
 * (checked by the parent): GTest failure, the event not received (10, 11),
 * or a message received that none of its filters wanted (20).
 * Also receives the request stream in order when asked.
 */
void RunChild(bool fStream) {
  CapturedLog log;
  const u16 un16Port = static_cast<u16>(atoi(Env("VQX_TWOHOSTS_PORT")));
  const std::string extra = std::string("(127.0.0.1:") + Env("VQX_TWOHOSTS_PARENT_PORT") + ")";
  VQX_LIB_HANDLE hLib = OpenHost(&log, fStream ? "stream" : Env("VQX_TWOHOSTS_LISTEN"), un16Port, extra);
  ASSERT_NE(hLib, nullptr);
  const u32 un32Listen = static_cast<u32>(strtoul(Env("VQX_TWOHOSTS_LISTEN"), nullptr, 0));
  VQX_FILTER_HANDLE hWanted = OneFilter(hLib, VQX_FILTER_MASK_MSG_ID, un32Listen, 0);
  ASSERT_NE(hWanted, nullptr);
  u32 un32Got = 0;
  u32 un32Expected = 1;
  bool fInOrder = true;
  const auto deadline = Clock::now() + std::chrono::milliseconds(atoi(Env("VQX_TWOHOSTS_WAIT_MS")));
  const u32 un32Want = fStream ? kStreamCount : 1;
  while (un32Got < un32Want && Clock::now() < deadline) {
    VQX_MSG_HANDLE hMsg = nullptr;
    if (VQXReceiveMsg(hLib, hWanted, 200, &hMsg) != VQX_RESULT_API_OK) continue;
    u32 un32Word = 0;
    memcpy(&un32Word, VQXMsgPayload(hMsg) + 8, sizeof(un32Word));
    if (fStream && un32Word != un32Expected) fInOrder = false;
    un32Expected = un32Word + 1;
    un32Got++;
    VQXReleaseMsgEx(hLib, &hMsg);
  }
  /* Stay a moment so that the parent's last acknowledgements and the other child's wait can end. */
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  /* Something came over the link that no filter here wanted: the sender should not have sent it. */
  _VQX_LIB_STATS stats{};
  const bool fUnwanted = VQXLibGetStats(hLib, &stats) != VQX_RESULT_API_OK || stats.RxMsgMatchNoQ != 0;
  VQXDestroyMsgFilterEx(hLib, &hWanted);
  VQXCloseLibEx(&hLib);
  fflush(stdout);
  if (fUnwanted) _exit(20);
  _exit(un32Got == un32Want && fInOrder ? 0 : 10 + (un32Got > 0 ? 1 : 0));
}

TEST(TwoHostsChild, Listener) {
  if (strcmp(Env("VQX_TWOHOSTS_ROLE"), "Listener") != 0) GTEST_SKIP() << "runs only as a child";
  RunChild(false);
}

TEST(TwoHostsChild, Stream) {
  if (strcmp(Env("VQX_TWOHOSTS_ROLE"), "Stream") != 0) GTEST_SKIP() << "runs only as a child";
  RunChild(true);
}

class TwoHosts : public ::testing::Test {
 protected:
  void TearDown() override {
    if (mhNotif != nullptr) VQXDestroyMsgFilterEx(mhLib, &mhNotif);
    if (mhLib != nullptr) VQXCloseLibEx(&mhLib);
    if (HasFailure()) {
      for (const std::string& line : mLog.Lines()) fprintf(stderr, "log: %s", line.c_str());
    }
    unsetenv("VQX_GW_PORT");
    unsetenv("VQX_GW_REMOTE_ADDR");
    VqxGwLibSetBroadcastRedirect(0);
    VqxGwLibSetInterfaceProvider(nullptr);
  }
  CapturedLog mLog;
  VQX_LIB_HANDLE mhLib = nullptr;
  VQX_FILTER_HANDLE mhNotif = nullptr;
};

TEST_F(TwoHosts, BroadcastEventReachesOnlyTheHostWhoseFiltersMatch) {
  if (getenv("VQX_TWOHOSTS_ROLE") != nullptr) GTEST_SKIP();
  const u16 un16Parent = FreeLoopbackPort(), un16A = FreeLoopbackPort(), un16B = FreeLoopbackPort();
  ASSERT_NE(un16A, un16B);
  ChildHost wants("Listener", un16A, un16Parent, kWantedEvent);
  /* The host that does not want the event waits long enough to be found and to see the broadcast go by. */
  ChildHost other("Listener", un16B, un16Parent, kOtherEvent, 5000);
  const std::string extra = "(127.0.0.1:" + std::to_string(un16A) + ")(127.0.0.1:" + std::to_string(un16B) + ")";
  mhLib = OpenHost(&mLog, "parent", un16Parent, extra);
  ASSERT_NE(mhLib, nullptr);
  mhNotif = OneFilter(mhLib, VQX_FILTER_MASK_MSG_GROUP, 0, 0x0201);
  ASSERT_NE(mhNotif, nullptr);
  /* Added comes once a host's filters are all known here. */
  const u32 hFirst = WaitHostAdded(mhLib, mhNotif, 10000);
  const u32 hSecond = WaitHostAdded(mhLib, mhNotif, 10000);
  ASSERT_NE(hFirst, 0u);
  ASSERT_NE(hSecond, 0u);
  EXPECT_EQ(hFirst >> 24, 0xCBu);
  EXPECT_NE(hFirst, hSecond);
  u32 un32Hosts = 0;
  u32 ahHosts[4] = {};
  EXPECT_EQ(VQXGetRemoteHostsList(mhLib, 4, &un32Hosts, ahHosts), VQX_RESULT_API_OK);
  EXPECT_EQ(un32Hosts, 2u);

  EXPECT_EQ(SendTo(mhLib, 0xFFFFFFFFu, kWantedEvent, VQX_MSG_TYPE_EVENT, 7), VQX_RESULT_API_OK);
  _VQX_LIB_STATS stats{};
  ASSERT_EQ(VQXLibGetStats(mhLib, &stats), VQX_RESULT_API_OK);
  EXPECT_EQ(stats.RxMsgCopy, 0u) << "one host wanted it: the message itself went, no copy";
  EXPECT_EQ(wants.Wait(kChildWaitMs + 5000), 0) << "the host listening to the event received it";
  EXPECT_EQ(other.Wait(kChildWaitMs + 5000), 10) << "the other host received nothing";
}

TEST_F(TwoHosts, RequestStreamArrivesInOrderAndAcknowledged) {
  if (getenv("VQX_TWOHOSTS_ROLE") != nullptr) GTEST_SKIP();
  const u16 un16Parent = FreeLoopbackPort(), un16A = FreeLoopbackPort();
  ChildHost child("Stream", un16A, un16Parent, kStreamRequest);
  mhLib = OpenHost(&mLog, "parent", un16Parent, "(127.0.0.1:" + std::to_string(un16A) + ")");
  ASSERT_NE(mhLib, nullptr);
  mhNotif = OneFilter(mhLib, VQX_FILTER_MASK_MSG_GROUP, 0, 0x0201);
  ASSERT_NE(mhNotif, nullptr);
  const u32 hChild = WaitHostAdded(mhLib, mhNotif, 10000);
  ASSERT_NE(hChild, 0u);
  for (u32 i = 1; i <= kStreamCount; i++) {
    ASSERT_EQ(SendTo(mhLib, hChild, kStreamRequest, VQX_MSG_TYPE_REQUEST, i), VQX_RESULT_API_OK) << i;
  }
  EXPECT_EQ(VQXWaitSentMsg(mhLib, 5000), VQX_RESULT_API_OK);
  EXPECT_EQ(child.Wait(kChildWaitMs + 5000), 0) << "every request, in order";
  _VQX_LIB_STATS stats{};
  ASSERT_EQ(VQXLibGetStats(mhLib, &stats), VQX_RESULT_API_OK);
  EXPECT_GE(stats.TxMsg, kStreamCount);
  EXPECT_GT(stats.RxPureAck, 0u) << "the receiver acknowledged what it got without traffic of its own";
}

}  // namespace
