/*
 * test_hosts_it.cpp - host libraries of separate processes on 127.0.0.1
 * (this program and children that are this program run again with
 * VQX_HOST_CHILD set), each on its own port with the others as extra
 * gateway addresses: remote filters let a broadcast event reach only the
 * host whose filters want it, and a stream of requests reaches that host
 * numbered, in order, complete and acknowledged.
 *
 * A child counts what its filter (its group, requests and events, plus the
 * end marker every host wants) lets through until the end marker, and
 * exits 0 only when the count is the expected one, in order, and nothing
 * came over the link that no filter of its own wanted.
 *
 * A peer host's removal (the stand-in server as that peer) names what it did
 * not acknowledge, whatever closed its link, unless it acknowledged all.
 */
#include "peers/cmcsim_process.h"
#include "peers/host_params.h"
#include "support/hostlib_sim.h"
#include "test_peer_util.h"

namespace {

constexpr u32 kEndId = 0x02150001u;
constexpr u32 kWaitMs = 20000;

/* Library parameters of one host (the hosts' instance only, the others on 127.0.0.1), every trace to pLog. */
_VQX_LIB_PARAMS HostParams(CapturedLog* pLog, u16 un16Port, const char* pszApp, const std::vector<u16>& peers,
                           std::vector<_VQX_EXTRA_GW_ADDR>* pStorage) {
  _VQX_LIB_PARAMS params = hostpeer::HostOnlyParams(un16Port, pszApp, peers, pStorage);
  const _VQX_LIB_PARAMS logged = HostLibTestParams(pLog);
  params.pFctErrorCallback = logged.pFctErrorCallback;
  params.pvErrorContext = logged.pvErrorContext;
  params.pFctTraceCallback = logged.pFctTraceCallback;
  params.pvTraceContext = logged.pvTraceContext;
  params.un32TraceLevel = 0x7FFFFFFE;
  return params;
}

/* This program run again as another host (only HostChild runs there); Wait gives its exit status or -1. */
class SelfChild {
 public:
  explicit SelfChild(const std::vector<std::pair<std::string, std::string>>& env) {
    mPid = fork();
    if (mPid == 0) {
      for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
      execl("/proc/self/exe", "child", "--gtest_filter=HostChild.*", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~SelfChild() { Wait(0); }
  int Wait(u32 un32Ms) {
    int status = 0;
    if (mPid <= 0) return -1;
    const bool fExited = WaitUntil([&] { return waitpid(mPid, &status, WNOHANG) == mPid; }, un32Ms);
    if (!fExited) {
      kill(mPid, SIGKILL);
      waitpid(mPid, nullptr, 0);
    }
    mPid = -1;
    return fExited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t mPid = -1;
};

u32 EnvU32(const char* pszName) {
  const char* psz = getenv(pszName);
  return psz != nullptr ? static_cast<u32>(strtoul(psz, nullptr, 0)) : 0;
}

TEST(HostChild, CountsWhatItsFiltersLetThrough) {
  if (getenv("VQX_HOST_CHILD") == nullptr) GTEST_SKIP() << "run by the tests below as another host";
  UseLoopbackNets(1);
  std::vector<_VQX_EXTRA_GW_ADDR> peers;
  _VQX_LIB_PARAMS params = HostParams(nullptr, static_cast<u16>(EnvU32("VQX_HOST_PORT")), getenv("VQX_HOST_CHILD"),
                                      {static_cast<u16>(EnvU32("VQX_HOST_PARENT_PORT"))}, &peers);
  VQX_LIB_HANDLE hLib = nullptr;
  ASSERT_EQ(VQXOpenLib(&params, &hLib), VQX_RESULT_API_OK);
  VQX_FILTER_HANDLE hFilter =
      NewFilter(hLib, {FilterSet(VQX_FILTER_MASK_MSG_GROUP | VQX_FILTER_MASK_MSG_TYPE, EnvU32("VQX_HOST_GROUP") << 16, 0,
                                 VQX_MSG_TYPE_EVENT | VQX_MSG_TYPE_REQUEST),
                       FilterSet(VQX_FILTER_MASK_MSG_ID, kEndId)});
  ASSERT_NE(hFilter, nullptr);
  u32 un32Got = 0;
  bool fEnd = false, fInOrder = true;
  WaitUntil(
      [&] {
        VQX_MSG_HANDLE hMsg = nullptr;
        while (!fEnd && VQXReceiveMsg(hLib, hFilter, 0, &hMsg) == VQX_RESULT_API_OK) {
          fEnd = hMsg->un32MsgId == kEndId;
          if (!fEnd) fInOrder = fInOrder && Rd32(VQXMsgPayload(hMsg), 8) == ++un32Got;
          VQXReleaseMsgEx(hLib, &hMsg);
        }
        return fEnd;
      },
      kWaitMs);
  EXPECT_TRUE(fEnd) << "end marker";
  EXPECT_EQ(un32Got, EnvU32("VQX_HOST_EXPECT"));
  EXPECT_TRUE(fInOrder);
  _VQX_LIB_STATS stats = LibStats(hLib);
  EXPECT_EQ(stats.RxMsgMatchNoQ, 0u) << "last one: 0x" << std::hex << stats.SignoMatchNoQ;
  VQXDestroyMsgFilterEx(hLib, &hFilter);
  VQXCloseLibEx(&hLib);
  UseLoopbackNets(0);
}

class HostsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (getenv("VQX_HOST_CHILD") != nullptr) GTEST_SKIP();
    UseLoopbackNets(1);
    mun16Port = FreeLoopbackPort();
  }
  void TearDown() override {
    DumpLogOnFailure(mLog);
    if (mhNotif != nullptr) VQXDestroyMsgFilterEx(mhLib, &mhNotif);
    if (mhLib != nullptr) { EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK); }
    UseLoopbackNets(0);
  }
  SelfChild* Child(const char* pszName, u32 un32Group, u32 un32Expect, u16 un16Port) {
    mChildren.push_back(std::make_unique<SelfChild>(std::vector<std::pair<std::string, std::string>>{
        {"VQX_HOST_CHILD", pszName},
        {"VQX_HOST_GROUP", std::to_string(un32Group)},
        {"VQX_HOST_EXPECT", std::to_string(un32Expect)},
        {"VQX_HOST_PORT", std::to_string(un16Port)},
        {"VQX_HOST_PARENT_PORT", std::to_string(mun16Port)}}));
    return mChildren.back().get();
  }
  void Open(const std::vector<u16>& children) {
    _VQX_LIB_PARAMS params = HostParams(&mLog, mun16Port, "parent", children, &mPeers);
    ASSERT_EQ(VQXOpenLib(&params, &mhLib), VQX_RESULT_API_OK);
    mhNotif = NewFilter(mhLib, {FilterSet(VQX_FILTER_MASK_MSG_ID, VQX_MSG_ID_API_NOTIF_HOST_ADDED)});
  }
  /* Handle of the remote host of that application name whose remote filters have come (any when fAnyFilters: the
     stand-in server has none), 0 if none yet. */
  u32 ReadyHost(const char* pszApp, bool fAnyFilters = false) {
    u32 ah[8];
    u32 n = 0;
    if (VQXGetRemoteHostsList(mhLib, 8, &n, ah) != VQX_RESULT_API_OK) return 0;
    for (u32 i = 0; i < n; i++) {
      _VQX_HOST_INFO info{};
      if (VQXGetRemoteHostInfo(mhLib, ah[i], &info) != VQX_RESULT_API_OK) continue;
      if (strcmp(info.szApplicationName, pszApp) != 0) continue;
      const bool fReady = Locked(mhLib, [&] {
        const VQX_PEER* pPeer = VqxHostRemoteHostByHandle(mhLib, ah[i]);
        return pPeer != nullptr && pPeer->fFiltersComplete != 0 && (fAnyFilters || pPeer->un32NbRemoteFilters > 0);
      });
      if (fReady) return ah[i];
    }
    return 0;
  }
  /* Host-added notifications waiting. */
  u32 AddedCount() {
    u32 n = 0;
    VQX_MSG_HANDLE hMsg = nullptr;
    while (n < 16 && VQXReceiveMsg(mhLib, mhNotif, 0, &hMsg) == VQX_RESULT_API_OK) {
      EXPECT_EQ(hMsg->hAdapter >> 24, 0xCBu);
      n++;
      VQXReleaseMsgEx(mhLib, &hMsg);
    }
    return n;
  }
  VQX_RESULT Send(u32 hDest, u32 un32Id, u32 MsgType, u32 un32Word) {
    VQX_MSG_HANDLE hMsg = nullptr;
    const VQX_RESULT r = VQXGetMsg(mhLib, 16, &hMsg);
    if (VQX_RESULT_FAILED(r)) return r;
    hMsg->un32MsgId = un32Id;
    hMsg->MsgType = MsgType;
    hMsg->hAdapter = hDest;
    hMsg->un32PayloadLength = 16;
    Wr32(VQXMsgPayload(hMsg), 8, un32Word);
    return VQXSendMsgEx(mhLib, &hMsg, nullptr);
  }

  CapturedLog mLog;
  VQX_LIB_HANDLE mhLib = nullptr;
  VQX_FILTER_HANDLE mhNotif = nullptr;
  u16 mun16Port = 0;
  std::vector<_VQX_EXTRA_GW_ADDR> mPeers;
  std::vector<std::unique_ptr<SelfChild>> mChildren;
};

/*
 * One set-up for both: a broadcast event reaches only the host whose filters
 * want it, then a stream of requests reaches that host numbered after it,
 * in order, complete and acknowledged.
 */
TEST_F(HostsTest, BroadcastReachesOnlyTheMatchingHostThenARequestStreamInOrder) {
  constexpr u32 kCount = 3000;
  const u16 un16Match = FreeLoopbackPort(), un16Other = FreeLoopbackPort();
  ASSERT_NE(un16Match, un16Other);
  SelfChild* pMatch = Child("rf-match", 0x0600, 1 + kCount, un16Match);
  SelfChild* pOther = Child("rf-other", 0x0700, 0, un16Other);
  Open({un16Match, un16Other});
  u32 un32Added = 0, hMatch = 0, hOther = 0;
  ASSERT_TRUE(WaitUntil(
      [&] {
        un32Added += AddedCount();
        return (hMatch = ReadyHost("rf-match")) != 0 && (hOther = ReadyHost("rf-other")) != 0;
      },
      kWaitMs))
      << "both hosts came with their filters";
  EXPECT_NE(hMatch, hOther);
  WaitUntil([&] { return (un32Added += AddedCount()) >= 2; }, 2000);
  EXPECT_EQ(un32Added, 2u) << "one host-added notification per host, after its filters";

  ASSERT_EQ(Send(0xFFFFFFFFu, 0x06000001u, VQX_MSG_TYPE_EVENT, 1), VQX_RESULT_API_OK);
  EXPECT_EQ(LibStats(mhLib).RxMsgCopy, 0u) << "one host wanted it: the message itself went, no copy";
  for (u32 i = 2; i <= 1 + kCount; i++) {
    ASSERT_EQ(Send(hMatch, 0x06000050u, VQX_MSG_TYPE_REQUEST, i), VQX_RESULT_API_OK) << i;
  }
  ASSERT_EQ(Send(0xFFFFFFFFu, kEndId, VQX_MSG_TYPE_EVENT, 0), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXWaitSentMsg(mhLib, 5000), VQX_RESULT_API_OK);
  EXPECT_EQ(pMatch->Wait(kWaitMs), 0) << "rf-match: the event, every request in order, then the end marker";
  EXPECT_EQ(pOther->Wait(kWaitMs), 0) << "rf-other: only the end marker";
  _VQX_LIB_STATS stats = LibStats(mhLib);
  EXPECT_GE(stats.TxMsg, kCount);
  EXPECT_GT(stats.RxPureAck, 0u) << "the receivers acknowledged what they got without traffic of their own";
  /* Both ended normally, having taken all (the end marker maybe not acknowledged yet): removed, no loss line. */
  u32 ah[8], un32Left = 1;
  EXPECT_TRUE(WaitUntil([&] { return VQXGetRemoteHostsList(mhLib, 8, &un32Left, ah) == VQX_RESULT_API_OK && un32Left == 0; },
                        kWaitMs));
  EXPECT_EQ(mLog.Count(" not acknowledged"), 0u) << "no loss line at a clean end";
}

/*
 * A peer's removal names what it may not have received unless it acknowledged all of it (the stand-in server as that
 * peer, 40 events sent to it and read): one that acknowledged everything, then quit, ends cleanly, with no loss line;
 * one that read everything unacknowledged and was killed (its socket closes as cleanly, with nothing left unread) names
 * all 40 as not acknowledged. Either removal says its cause as a message.
 */
TEST_F(HostsTest, PeerRemovalNamesWhatItDidNotAcknowledge) {
  constexpr u32 kSent = 40, kEvent = 0x06000001u;
  const struct {
    const char* pszWhat;
    bool fSilent; /* reads, acknowledges nothing */
    int nSignal;  /* 0: told to quit */
    bool fLoss;   /* the loss line, naming the 40 at least (and what the library may have sent meanwhile) */
  } aRows[] = {{"acknowledged all, then quit", false, 0, false}, {"read all unacknowledged, then killed", true, SIGKILL, true}};
  for (const auto& r : aRows) {
    SCOPED_TRACE(r.pszWhat);
    mLog.Clear();
    cmcpeer::CmcServerProcess Peer(0, mun16Port, {"--name", "peer"});
    ASSERT_TRUE(Peer.Ready());
    Open({Peer.UdpPort()});
    u32 hPeer = 0;
    ASSERT_TRUE(WaitUntil([&] { return (hPeer = ReadyHost("peer", true)) != 0; }, kWaitMs));
    /* What the link's making sent is acknowledged first: the 40 are then what is to be named. */
    ASSERT_TRUE(WaitUntil([&] { return Locked(mhLib, [&] { return VqxPeerUnacked(VqxHostRemoteHostByHandle(mhLib, hPeer)); }) == 0; },
                          kWaitMs));
    if (r.fSilent) {
      ASSERT_EQ(Peer.Command("silent"), "ok");
    }
    for (u32 i = 0; i < kSent; i++) ASSERT_EQ(Send(hPeer, kEvent, VQX_MSG_TYPE_EVENT, i), VQX_RESULT_API_OK);
    ASSERT_TRUE(WaitUntil([&] { return Peer.Stat("0x06000001") == long{kSent}; }, kWaitMs)) << Peer.Command("stats");
    if (r.nSignal != 0) {
      ASSERT_EQ(kill(Peer.Pid(), r.nSignal), 0);
    } else {
      Peer.Command("quit", 1);
    }
    u32 ah[4], un32Left = 1;
    EXPECT_TRUE(WaitUntil([&] { return VQXGetRemoteHostsList(mhLib, 4, &un32Left, ah) == VQX_RESULT_API_OK && un32Left == 0; },
                          kWaitMs));
    EXPECT_TRUE(mLog.WaitFor(" removed (cause: "));
    EXPECT_EQ(mLog.Count(" not acknowledged"), r.fLoss ? 1u : 0u);
    for (const std::string& strLine : mLog.Lines()) {
      const size_t i = strLine.find(" removed with 0 sent message(s) not taken, dropped, and ");
      if (i == std::string::npos) continue;
      EXPECT_GE(strtoul(strLine.c_str() + i + 56, nullptr, 10), kSent) << strLine;
    }
    VQXDestroyMsgFilterEx(mhLib, &mhNotif);
    EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
  }
}

}  // namespace
