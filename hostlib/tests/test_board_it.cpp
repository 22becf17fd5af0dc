/*
 * test_board_it.cpp - the host library against the simulated board
 * (testing/boardsim/boardsim.py, a python3 child) over 127.0.0.1 only: the
 * board is announced and its path comes up, requests reach it numbered and
 * its answers reach a filter, a board that stops answering is put under
 * flow control and the awaited-response time-out (with an injected clock)
 * releases it, and the board's departure is notified.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hostlib_gwglue_internal.h"
#include "support/hostlib_fixture.h"
#include "test_peer_util.h"
#include "vqx_clock.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr u32 kBoardHandle = 0xCA345678u; /* serial number 12345678 */
constexpr u32 kNotifAdded = 0x02010001u;
constexpr u32 kNotifRemoved = 0x02010002u;
constexpr u32 kNotifGwUp = 0x02010003u;
constexpr u32 kNotifGwDown = 0x02010004u;
constexpr u32 kRequestId = 0x03000001u;
constexpr u32 kFillerId = 0x03000002u;

u32 LoopbackOnly(u32 un32Max, u32* paAddr, u32* paBcast, u32* paMask) {
  if (un32Max == 0) return 0;
  paAddr[0] = htonl(0x7F000001u);
  paBcast[0] = htonl(0x7FFFFFFFu);
  paMask[0] = htonl(0xFF000000u);
  return 1;
}

/* The simulated board as a child process, with its control connection. */
class SimBoard : public ChildWithControl {
 public:
  explicit SimBoard(u16 un16UdpPort, const std::vector<std::string>& extra = {})
      : SimBoard(un16UdpPort, FreeLoopbackPort(), extra) {}
  long Stat(const std::string& key) {
    const std::string s = Command("stats");
    const std::string k = "\"" + key + "\": ";
    const size_t i = s.find(k);
    return i == std::string::npos ? -1 : strtol(s.c_str() + i + k.size(), nullptr, 10);
  }

 private:
  SimBoard(u16 un16UdpPort, u16 un16Ctl, const std::vector<std::string>& extra)
      : ChildWithControl(Args(un16UdpPort, un16Ctl, extra), un16Ctl) {}
  static std::vector<std::string> Args(u16 un16UdpPort, u16 un16Ctl, const std::vector<std::string>& extra) {
    const char* pszRoot = getenv("VQX_SOURCE_DIR");
    const std::string script = std::string(pszRoot != nullptr ? pszRoot : ".") + "/testing/boardsim/boardsim.py";
    std::vector<std::string> args = {
        "python3",    script, "--udp-port", std::to_string(un16UdpPort), "--control-port", std::to_string(un16Ctl),
        "--lifetime", "60"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
};

/* Injected clock: the system's plus an offset the test moves forward. */
std::atomic<u64> g_un64ClockOffset{0};
u64 OffsetClock() { return VqxClockReadSystem() + g_un64ClockOffset.load(); }

class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_un64ClockOffset.store(0);
    VqxGwLibSetInterfaceProvider(LoopbackOnly);
    VqxGwLibSetBroadcastRedirect(htonl(0x7F000001u));
    VQXGetIpInterfacesInit();
    mun16Port = FreeLoopbackPort();
    setenv("VQX_GW_PORT", std::to_string(mun16Port).c_str(), 1);
    mpBoard = new SimBoard(mun16Port);
    ASSERT_TRUE(mpBoard->Ready());
    mParams = HostLibTestParams(&mLog);
    mParams.fAdaptersGwOff = 0;
    mParams.un32TraceLevel = 0x7FFFFFFE;
    ASSERT_EQ(VQXOpenLib(&mParams, &mhLib), VQX_RESULT_API_OK);
    _VQX_FILTER_PARAMS set{};
    set.un32Version = 1;
    set.un32Mask = VQX_FILTER_MASK_MSG_GROUP;
    set.MsgGroup = 0x0201;
    ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, 1, &set, &mhNotif), VQX_RESULT_API_OK);
  }
  void TearDown() override {
    if (HasFailure() || getenv("VQX_TEST_VERBOSE") != nullptr) {
      for (const std::string& line : mLog.Lines()) fprintf(stderr, "log: %s", line.c_str());
    }
    if (mhNotif != nullptr) VQXDestroyMsgFilterEx(mhLib, &mhNotif);
    if (mhLib != nullptr) {
      EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
    }
    delete mpBoard;
    unsetenv("VQX_GW_PORT");
    VqxGwLibSetBroadcastRedirect(0);
    VqxGwLibSetInterfaceProvider(nullptr);
    VqxClockSetSource(nullptr);
  }
  /* Next notification within un32Ms (its id), payload copied; 0 on time-out. */
  u32 NextNotification(u32 un32Ms, std::vector<u8>* pPayload = nullptr) {
    VQX_MSG_HANDLE hMsg = nullptr;
    if (VQXReceiveMsg(mhLib, mhNotif, un32Ms, &hMsg) != VQX_RESULT_API_OK) return 0;
    const u32 un32Id = hMsg->un32MsgId;
    if (pPayload != nullptr) pPayload->assign(VQXMsgPayload(hMsg), VQXMsgPayload(hMsg) + hMsg->un32PayloadLength);
    VQXReleaseMsgEx(mhLib, &hMsg);
    return un32Id;
  }
  static u32 Word(const std::vector<u8>& v, size_t off) {
    u32 w = 0;
    if (off + 4 <= v.size()) memcpy(&w, v.data() + off, 4);
    return w;
  }
  VQX_RESULT SendRequest(u32 un32Payload = 8) {
    VQX_MSG_HANDLE hMsg = nullptr;
    VQX_RESULT r = VQXGetMsg(mhLib, un32Payload, &hMsg);
    if (VQX_RESULT_FAILED(r)) return r;
    hMsg->un32MsgId = kRequestId;
    hMsg->MsgType = VQX_MSG_TYPE_REQUEST;
    hMsg->hAdapter = kBoardHandle;
    hMsg->un32PayloadLength = un32Payload;
    return VQXSendMsgEx(mhLib, &hMsg, nullptr);
  }
  /* Waits for the board's added and gw0 up notifications. */
  void WaitBoardUp() {
    std::vector<u8> payload;
    ASSERT_EQ(NextNotification(10000, &payload), kNotifAdded);
    EXPECT_EQ(Word(payload, 12), kBoardHandle) << "adapter information record: handle";
    ASSERT_EQ(NextNotification(3000, &payload), kNotifGwUp);
    EXPECT_EQ(Word(payload, 8), kBoardHandle);
    EXPECT_EQ(Word(payload, 12), 1u) << "gw0 up";
    EXPECT_EQ(Word(payload, 16), 0u) << "gw1 down: no local gw1 address";
    EXPECT_STREQ(reinterpret_cast<const char*>(payload.data() + 20), "127.0.0.1");
  }
  /* Polls the board's message count until it stays the same for 300 ms (at most un32Ms). */
  long SettledBoardCount(u32 un32Ms) {
    long last = -2;
    auto stable = Clock::now();
    const auto deadline = Clock::now() + std::chrono::milliseconds(un32Ms);
    while (Clock::now() < deadline) {
      const long n = mpBoard->Stat("messages");
      if (n != last) {
        last = n;
        stable = Clock::now();
      } else if (Clock::now() - stable > std::chrono::milliseconds(300)) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return last;
  }

  CapturedLog mLog;
  _VQX_LIB_PARAMS mParams{};
  VQX_LIB_HANDLE mhLib = nullptr;
  VQX_FILTER_HANDLE mhNotif = nullptr;
  SimBoard* mpBoard = nullptr;
  u16 mun16Port = 0;
};

TEST_F(BoardTest, RequestsAreAnsweredThroughImplicitFiltersAndTheBoardIsAnnouncedOnce) {
  WaitBoardUp();
  ASSERT_EQ(mpBoard->Command("full on"), "ok");
  ASSERT_EQ(mpBoard->Command("answer " + std::to_string(kRequestId)), "ok");
  constexpr u32 kCount = 40;
  std::vector<VQX_FILTER_HANDLE> ahImplicit(kCount, nullptr);
  std::vector<u32> aun32Serial(kCount, 0);
  for (u32 i = 0; i < kCount; i++) {
    VQX_MSG_HANDLE hMsg = nullptr;
    ASSERT_EQ(VQXGetMsg(mhLib, 16, &hMsg), VQX_RESULT_API_OK);
    hMsg->un32MsgId = kRequestId;
    hMsg->MsgType = VQX_MSG_TYPE_REQUEST;
    hMsg->hAdapter = kBoardHandle;
    hMsg->un32PayloadLength = 16;
    hMsg->un64UserContext1 = 0x1122334455667788ull + i;
    aun32Serial[i] = hMsg->un32SerialNumber;
    ASSERT_EQ(VQXSendMsgEx(mhLib, &hMsg, &ahImplicit[i]), VQX_RESULT_API_OK) << i;
    ASSERT_NE(ahImplicit[i], nullptr);
  }
  for (u32 i = 0; i < kCount; i++) {
    VQX_MSG_HANDLE hRsp = nullptr;
    ASSERT_EQ(VQXReceiveMsg(mhLib, ahImplicit[i], 5000, &hRsp), VQX_RESULT_API_OK) << i;
    EXPECT_EQ(hRsp->MsgType, VQX_MSG_TYPE_RESPONSE);
    EXPECT_EQ(hRsp->un32SerialNumber, aun32Serial[i]) << "the serial number comes back as it went";
    EXPECT_EQ(hRsp->un64UserContext1, 0x1122334455667788ull + i);
    EXPECT_EQ(hRsp->hAdapter, kBoardHandle);
    VQXReleaseMsgEx(mhLib, &hRsp);
    EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &ahImplicit[i]), VQX_RESULT_API_OK);
  }
  EXPECT_EQ(mpBoard->Stat("answered"), static_cast<long>(kCount));
  EXPECT_EQ(mpBoard->Stat("duplicates"), 0) << "each request numbered once";
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  VQX_PEER* pPeer = VqxHostAdapterByHandle(mhLib, kBoardHandle);
  ASSERT_NE(pPeer, nullptr);
  EXPECT_EQ(pPeer->un32AwaitCount, 0u) << "every awaited response completed";
  EXPECT_EQ(pPeer->un64SeqLost, 0u);
  EXPECT_NE(pPeer->un32RxSeq, 0u) << "the board numbers what it sends";
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  /* However many messages the board sent, it was announced once. */
  EXPECT_EQ(NextNotification(200), 0u);
  EXPECT_EQ(mLog.Count("before VQX_MSG_ID_GW_OP_HOST_FILTER_DONE"), 0u);
  /* What the board numbered was acknowledged to it, by piggy-back or on its own. */
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  long nAcked = -1;
  while (Clock::now() < deadline) {
    VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
    const u32 un32Unacked = VqxHostAdapterByHandle(mhLib, kBoardHandle)->un32RxUnacked;
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
    if (un32Unacked == 0) {
      nAcked = 0;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(nAcked, 0) << "a pure acknowledgement follows within 400 ms";
}

TEST_F(BoardTest, EventsFromTheBoardAreAcknowledgedWithoutTrafficOfOurOwn) {
  WaitBoardUp();
  ASSERT_EQ(mpBoard->Command("full on"), "ok");
  VQX_FILTER_HANDLE hEvents = nullptr;
  _VQX_FILTER_PARAMS set{};
  set.un32Version = 1;
  set.un32Mask = VQX_FILTER_MASK_MSG_ID;
  set.MsgId = 0x03000005u;
  ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, 1, &set, &hEvents), VQX_RESULT_API_OK);
  auto acksAfter = [&](long nBefore) {
    long n = nBefore;
    for (int i = 0; i < 60 && n == nBefore; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      n = mpBoard->Stat("acks");
    }
    return n;
  };
  const long nAcks0 = mpBoard->Stat("acks");
  /* Sixteen messages: acknowledged at once. */
  ASSERT_EQ(mpBoard->Command("event 16 0x03000005 16"), "ok");
  const long nAcks1 = acksAfter(nAcks0);
  EXPECT_GT(nAcks1, nAcks0);
  /* One message: acknowledged after 400 ms without other traffic. */
  ASSERT_EQ(mpBoard->Command("event 1 0x03000005 16"), "ok");
  const long nAcks2 = acksAfter(nAcks1);
  EXPECT_EQ(nAcks2, nAcks1 + 1);
  u32 un32Got = 0;
  VQX_MSG_HANDLE hMsg = nullptr;
  while (VQXReceiveMsg(mhLib, hEvents, 0, &hMsg) == VQX_RESULT_API_OK) {
    EXPECT_EQ(hMsg->un32PayloadLength, 16u);
    EXPECT_EQ(hMsg->hAdapter, kBoardHandle);
    un32Got++;
    VQXReleaseMsgEx(mhLib, &hMsg);
  }
  EXPECT_EQ(un32Got, 17u);
  _VQX_LIB_STATS stats{};
  ASSERT_EQ(VQXLibGetStats(mhLib, &stats), VQX_RESULT_API_OK);
  EXPECT_GE(stats.TxPureAck, static_cast<u64>(nAcks2 - nAcks0)) << "every acknowledgement the board counted is ours";
  VQXDestroyMsgFilterEx(mhLib, &hEvents);
}

TEST_F(BoardTest, BoardThatHoldsItsAnswersIsFlowControlledAndReleasedByThem) {
  WaitBoardUp();
  ASSERT_EQ(mpBoard->Command("full on"), "ok");
  ASSERT_EQ(mpBoard->Command("answer " + std::to_string(kRequestId)), "ok");
  ASSERT_EQ(mpBoard->Command("hold"), "ok");
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  const u32 un32Limit = VqxHostAdapterByHandle(mhLib, kBoardHandle)->un32MsgLimit;
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  ASSERT_GT(un32Limit, 0u);
  const u32 un32Sent = un32Limit + 1 + 30;
  for (u32 i = 0; i < un32Sent; i++) ASSERT_EQ(SendRequest(), VQX_RESULT_API_OK) << i;
  long nRequests = -1;
  for (int i = 0; i < 60 && nRequests != static_cast<long>(un32Limit) + 1; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    nRequests = mpBoard->Stat("requests");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(mpBoard->Stat("requests"), static_cast<long>(un32Limit) + 1) << "the rest waits in the fifo";
  /* The answers bring the outstanding count back under the limits: the rest goes out. */
  EXPECT_EQ(mpBoard->Command("release"), "ok " + std::to_string(un32Limit + 1));
  for (int i = 0; i < 60 && nRequests != static_cast<long>(un32Sent); i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    nRequests = mpBoard->Stat("requests");
  }
  EXPECT_EQ(nRequests, static_cast<long>(un32Sent));
  EXPECT_EQ(mpBoard->Command("release").rfind("ok", 0), 0u) << "whatever is still held";
  EXPECT_EQ(VQXWaitSentMsg(mhLib, 3000), VQX_RESULT_API_OK);
  u32 un32Outstanding = 1;
  for (int i = 0; i < 60 && un32Outstanding != 0; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
    VQX_PEER* pPeer = VqxHostAdapterByHandle(mhLib, kBoardHandle);
    un32Outstanding = pPeer->un32AwaitCount + pPeer->un32SendFifoCount + pPeer->fFlowBlocked;
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  }
  EXPECT_EQ(un32Outstanding, 0u);
  EXPECT_EQ(mLog.Count("Timeout waiting for adapter response"), 0u);
}

TEST_F(BoardTest, ClosedLinkReportsPathDownWithItsCauseThenRemoval) {
  WaitBoardUp();
  ASSERT_EQ(mpBoard->Command("close"), "ok");
  std::vector<u8> payload;
  u32 un32Id = NextNotification(15000, &payload);
  ASSERT_EQ(un32Id, kNotifGwDown);
  EXPECT_EQ(Word(payload, 8), kBoardHandle);
  EXPECT_EQ(Word(payload, 12), 0u);
  EXPECT_EQ(Word(payload, 148), 3u) << "socket closed in a clean manner";
  EXPECT_EQ(NextNotification(3000), kNotifRemoved);
  /* A send to the absent board fails at once and loses nothing of the caller's. */
  EXPECT_EQ(SendRequest(), VQX_RESULT_API_ADA_NOT_READY);
}

TEST_F(BoardTest, SilentBoardIsFlowControlledAndTheTimeOutReleasesIt) {
  VqxClockSetSource(OffsetClock);
  WaitBoardUp();
  /* Flow-control level 1: the board is held after 768 unanswered requests, the full count limit. */
  _VQX_NETWORK_REDUNDANCY_PARAMETERS red = VqxLib(mhLib)->Params.NetworkRedundancy;
  red.FlowControlMode = 1;
  ASSERT_EQ(VQXConfigureNetworkRedundancy(mhLib, kBoardHandle, &red), VQX_RESULT_OK) << "the transport's result";
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  VQX_PEER* pPeer = VqxHostAdapterByHandle(mhLib, kBoardHandle);
  ASSERT_NE(pPeer, nullptr);
  const u32 un32Limit = pPeer->un32MsgLimit;
  const u32 un32Build = pPeer->un32BuildNumber;
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  ASSERT_GE(un32Build, VQX_PEER_BUILD_RETRANSMIT);
  ASSERT_EQ(un32Limit, 768u);
  const long nBase = SettledBoardCount(2000);
  const u32 un32Sent = un32Limit + 1 + 30;
  /* Requests carry a serial number: each awaits an answer the board never gives. */
  for (u32 i = 0; i < un32Sent; i++) ASSERT_EQ(SendRequest(), VQX_RESULT_API_OK) << i;
  const long nAtBoard = SettledBoardCount(5000);
  EXPECT_EQ(nAtBoard - nBase, static_cast<long>(un32Limit) + 1) << "taken until the outstanding count passes the limit";
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  pPeer = VqxHostAdapterByHandle(mhLib, kBoardHandle);
  ASSERT_NE(pPeer, nullptr);
  EXPECT_EQ(pPeer->fFlowBlocked, 1u);
  EXPECT_EQ(pPeer->un32SendFifoCount, un32Sent - static_cast<u32>(nAtBoard - nBase));
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  EXPECT_EQ(VQXWaitSentMsg(mhLib, 100), VQX_RESULT_API_OK) << "a time-out is not a failure";

  /* 60 s later every request has timed out: the totals fall back and the rest goes out. */
  g_un64ClockOffset.store(61000);
  EXPECT_TRUE(mLog.WaitFor("ERROR: Timeout waiting for adapter response: 12345678, MsgId 0x3000001, size 96", 5000));
  EXPECT_EQ(SettledBoardCount(5000) - nBase, static_cast<long>(un32Sent));
  EXPECT_EQ(VQXWaitSentMsg(mhLib, 3000), VQX_RESULT_API_OK);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  pPeer = VqxHostAdapterByHandle(mhLib, kBoardHandle);
  ASSERT_NE(pPeer, nullptr);
  EXPECT_EQ(pPeer->un32SendFifoCount, 0u);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
}

/* Two loopback subnets stand for the two gateway networks: 127.0.0.0/24 (gw0) and 127.0.1.0/24 (gw1). */
u32 TwoLoopbackNets(u32 un32Max, u32* paAddr, u32* paBcast, u32* paMask) {
  const u32 aAddr[2] = {0x7F000001u, 0x7F000101u};
  u32 n = 0;
  for (; n < 2 && n < un32Max; n++) {
    paAddr[n] = htonl(aAddr[n]);
    paMask[n] = htonl(0xFFFFFF00u);
    paBcast[n] = htonl(aAddr[n] | 0xFFu);
  }
  return n;
}

/*
 * A board reached on two paths (two loopback subnets) that answers the test
 * requests, with a library whose filter takes the answers.
 */
class TwoPathBoard {
 public:
  TwoPathBoard()
      : mun16Port(SetUp()), mBoard(mun16Port, {"--gw0", "127.0.0.2", "--gw1", "127.0.1.3", "--full"}) {}
  ~TwoPathBoard() {
    if (mhAnswers != nullptr) VQXDestroyMsgFilterEx(mhLib, &mhAnswers);
    if (mhLib != nullptr) {
      EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
    }
    unsetenv("VQX_GW_PORT");
    VqxGwLibSetBroadcastRedirect(0);
    VqxGwLibSetInterfaceProvider(nullptr);
  }
  /* Opens the library and waits (bounded) for both paths: false on failure. */
  bool Start(const _VQX_NETWORK_REDUNDANCY_PARAMETERS* pRedundancy = nullptr) {
    if (!mBoard.Ready() || mBoard.Command("answer " + std::to_string(kRequestId)) != "ok") return false;
    _VQX_LIB_PARAMS params = HostLibTestParams(&mLog);
    params.fAdaptersGwOff = 0;
    params.un32TraceLevel = 0x7FFFFFFE;
    snprintf(params.szGw0Address, sizeof(params.szGw0Address), "127.0.0.1");
    snprintf(params.szGw1Address, sizeof(params.szGw1Address), "127.0.1.1");
    if (pRedundancy != nullptr) params.NetworkRedundancy = *pRedundancy;
    if (VQXOpenLib(&params, &mhLib) != VQX_RESULT_API_OK) return false;
    _VQX_FILTER_PARAMS set{};
    set.un32Version = 1;
    set.un32Mask = VQX_FILTER_MASK_MSG_ID | VQX_FILTER_MASK_MSG_TYPE;
    set.MsgId = kRequestId;
    set.MsgTypeMask = VQX_MSG_TYPE_RESPONSE;
    if (VQXCreateMsgFilterEx(mhLib, 1, &set, &mhAnswers) != VQX_RESULT_API_OK) return false;
    bool fBothUp = false;
    for (int i = 0; i < 200 && !fBothUp; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
      VQX_PEER* pPeer = VqxHostAdapterByHandle(mhLib, kBoardHandle);
      fBothUp = pPeer != nullptr && pPeer->afPathUp[0] != 0 && pPeer->afPathUp[1] != 0;
      VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
    }
    return fBothUp;
  }
  VQX_RESULT SendRequest() {
    VQX_MSG_HANDLE hMsg = nullptr;
    const VQX_RESULT result = VQXGetMsg(mhLib, 8, &hMsg);
    if (result != VQX_RESULT_API_OK) return result;
    hMsg->un32MsgId = kRequestId;
    hMsg->MsgType = VQX_MSG_TYPE_REQUEST;
    hMsg->hAdapter = kBoardHandle;
    hMsg->un32PayloadLength = 8;
    mun32Sent++;
    return VQXSendMsgEx(mhLib, &hMsg, nullptr);
  }
  /* An unnumbered event the board does not answer (serial number 0), of the given payload size. */
  VQX_RESULT SendFiller(u32 un32Payload) {
    VQX_MSG_HANDLE hMsg = nullptr;
    const VQX_RESULT result = VQXGetMsg(mhLib, un32Payload, &hMsg);
    if (result != VQX_RESULT_API_OK) return result;
    hMsg->un32MsgId = kFillerId;
    hMsg->MsgType = VQX_MSG_TYPE_EVENT;
    hMsg->hAdapter = kBoardHandle;
    hMsg->un32SerialNumber = 0;
    hMsg->un32PayloadLength = un32Payload;
    return VQXSendMsgEx(mhLib, &hMsg, nullptr);
  }
  /* Sends requests and waits (bounded) until the board has answered all sent so far. */
  void SendAnswered(u32 un32Count) {
    for (u32 i = 0; i < un32Count; i++) ASSERT_EQ(SendRequest(), VQX_RESULT_API_OK) << i;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (mSerials.size() < mun32Sent && Clock::now() < deadline) Drain(50);
    ASSERT_EQ(mSerials.size(), mun32Sent);
  }
  /* Takes the answers that came within un32Ms. */
  void Drain(u32 un32Ms) {
    VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
    u32 n = 0;
    if (VQXReceiveMsgMultiple(mhLib, mhAnswers, un32Ms, &n, ah) != VQX_RESULT_API_OK) return;
    for (u32 k = 0; k < n; k++) {
      mSerials.insert(ah[k]->un32SerialNumber);
      mun32Received++;
      VQXReleaseMsgEx(mhLib, &ah[k]);
    }
  }
  /* Waits (bounded) for an answer to every request sent, then checks each came once. */
  void ExpectAllAnsweredOnce() {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (mSerials.size() < mun32Sent && Clock::now() < deadline) Drain(200);
    EXPECT_EQ(mSerials.size(), mun32Sent) << "every request answered";
    EXPECT_EQ(mun32Received, mun32Sent) << "each once";
    EXPECT_EQ(mBoard.Stat("requests"), static_cast<long>(mun32Sent)) << "the board saw each once";
    if (::testing::Test::HasFailure()) {
      fprintf(stderr, "board: %s\n", mBoard.Command("stats").c_str());
      VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
      VQX_PEER* pPeer = VqxHostAdapterByHandle(mhLib, kBoardHandle);
      if (pPeer != nullptr) {
        u32 d = 0;
        const u32 slots = VqxGwLibCanSendMsg(VqxGwOfPeer(mhLib, kBoardHandle), pPeer->hGwPeer, &d);
        fprintf(stderr, "library: fifo %u kept %u to-free %u tx-seq %u acked %u free slots %u dropped %u flow %u\n",
                pPeer->un32SendFifoCount, pPeer->un32TxPendingCount, pPeer->un32TxPendingToFree, pPeer->un32TxSeq,
                pPeer->un32PeerAckSeq, slots, d, pPeer->fFlowBlocked);
      }
      VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
      for (const std::string& line : mLog.Lines()) fprintf(stderr, "log: %s", line.c_str());
    }
  }
  /* Whether the board's path (0 gw0, 1 gw1) is up in the library. */
  bool PathUp(u32 un32Path) {
    VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
    VQX_PEER* pPeer = VqxHostAdapterByHandle(mhLib, kBoardHandle);
    const bool fUp = pPeer != nullptr && pPeer->afPathUp[un32Path] != 0;
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
    return fUp;
  }
  SimBoard& Board() { return mBoard; }
  VQX_LIB_HANDLE Lib() const { return mhLib; }
  u32 Sent() const { return mun32Sent; }

 private:
  static u16 SetUp() {
    VqxGwLibSetInterfaceProvider(TwoLoopbackNets);
    VqxGwLibSetBroadcastRedirect(htonl(0x7F000001u));
    VQXGetIpInterfacesInit();
    const u16 un16Port = FreeLoopbackPort();
    setenv("VQX_GW_PORT", std::to_string(un16Port).c_str(), 1);
    return un16Port;
  }
  CapturedLog mLog;
  u16 mun16Port;
  SimBoard mBoard;
  VQX_LIB_HANDLE mhLib = nullptr;
  VQX_FILTER_HANDLE mhAnswers = nullptr;
  std::set<u32> mSerials;
  u32 mun32Sent = 0;
  u32 mun32Received = 0;
};

/*
 * Both paths up, requests streaming: one path is closed in the middle. What
 * it carried and the board had not acknowledged goes again on the other
 * path; every request is answered once and no answer is lost.
 */
TEST(BoardTwoPaths, LostPathLosesNoRequest) {
  TwoPathBoard t;
  ASSERT_TRUE(t.Start());
  constexpr u32 kCount = 600;
  for (u32 i = 0; i < kCount; i++) {
    ASSERT_EQ(t.SendRequest(), VQX_RESULT_API_OK) << i;
    if (i == kCount / 2) {
      EXPECT_EQ(t.Board().Command("closegw 0"), "ok");
    }
    if (i % 50 == 0) t.Drain(0);
  }
  t.ExpectAllAnsweredOnce();
}

/*
 * The lost path dies with requests the board never read, and newer requests
 * reach the board on the other path before the library has handled the path
 * loss (its handling waits for the library lock, held here). The board takes
 * only the next request in sequence, so those newer ones are dropped; the
 * retransmission after the path loss must carry them again, after the lost
 * ones.
 */
TEST(BoardTwoPaths, RequestsOvertakingTheLostOnesAreSentAgain) {
  TwoPathBoard t;
  ASSERT_TRUE(t.Start());
  t.SendAnswered(20);
  /* Answers kept back: the transport's receive thread must not wait for the lock held below. */
  ASSERT_EQ(t.Board().Command("hold"), "ok");
  ASSERT_EQ(t.Board().Command("stopread"), "ok");
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(t.Lib());
  /* Written on gw0 (the path in use) and never read by the board. */
  for (u32 i = 0; i < 5; i++) EXPECT_EQ(t.SendRequest(), VQX_RESULT_API_OK) << i;
  EXPECT_EQ(t.Board().Command("closegw 0"), "ok");
  EXPECT_EQ(t.Board().Command("read"), "ok");
  /* Once the transport has closed gw0, what is sent goes on gw1, ahead of the lost five. */
  long nOutOfOrder = 0;
  for (int i = 0; i < 150 && nOutOfOrder < 1; i++) {
    EXPECT_EQ(t.SendRequest(), VQX_RESULT_API_OK) << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    nOutOfOrder = t.Board().Stat("out_of_order");
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(t.Lib());
  EXPECT_GE(nOutOfOrder, 1) << "a request overtook the lost ones";
  ASSERT_EQ(t.Board().Command("release").rfind("ok", 0), 0u);
  for (u32 i = 0; i < 20; i++) ASSERT_EQ(t.SendRequest(), VQX_RESULT_API_OK) << i;
  t.ExpectAllAnsweredOnce();
  _VQX_LIB_STATS stats{};
  ASSERT_EQ(VQXLibGetStats(t.Lib(), &stats), VQX_RESULT_API_OK);
  EXPECT_GE(stats.TxRetransmit, 5u + static_cast<u64>(nOutOfOrder));
}

/*
 * Short redundancy delays (poll 100 ms, network down 500 ms, adapter down
 * 1100 ms) so that a lost path is linked again within seconds. Requests
 * stream while gw0 is closed, gw1 carries them, then gw0 comes back and
 * becomes the path in use again: what gw1 had not yet written when the
 * transport switched paths must still reach the board, each request once.
 */
TEST(BoardTwoPaths, PathComingBackMidStreamLosesNoRequest) {
  _VQX_NETWORK_REDUNDANCY_PARAMETERS red{};
  red.fValid = 1;
  red.un32PollDelayMs = 100;
  red.un32NetworkDownDelayMs = 500;
  red.un32AdapterDownDelayMs = 1100;
  red.fUseGw0 = 1;
  red.fUseGw1 = 1;
  red.un32PreferredGateway = 0;
  TwoPathBoard t;
  ASSERT_TRUE(t.Start(&red));
  t.SendAnswered(20);
  EXPECT_EQ(t.Board().Command("closegw 0"), "ok");
  /* Requests stream over gw1 alone for a while. */
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (t.PathUp(0) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_FALSE(t.PathUp(0)) << "gw0 was lost";
  for (u32 i = 0; i < 150; i++) {
    ASSERT_EQ(t.SendRequest(), VQX_RESULT_API_OK) << i;
    if (i % 10 == 0) t.Drain(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  /*
   * The board stops reading: big unnumbered events fill gw1's socket so that
   * the transport still holds requests unwritten on gw1 when gw0 comes back.
   */
  ASSERT_EQ(t.Board().Command("stopread"), "ok");
  for (u32 i = 0; i < 60; i++) {
    ASSERT_EQ(t.SendFiller(32000), VQX_RESULT_API_OK) << i;
    ASSERT_EQ(t.SendRequest(), VQX_RESULT_API_OK) << i;
  }
  deadline = Clock::now() + std::chrono::seconds(15);
  while (!t.PathUp(0) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(t.PathUp(0)) << "gw0 came back";
  /* Let the transport choose its path before the board reads again. */
  for (u32 i = 0; i < 10; i++) {
    ASSERT_EQ(t.SendRequest(), VQX_RESULT_API_OK) << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(t.Board().Command("read"), "ok");
  for (u32 i = 0; i < 200; i++) {
    ASSERT_EQ(t.SendRequest(), VQX_RESULT_API_OK) << i;
    if (i % 10 == 0) t.Drain(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  t.ExpectAllAnsweredOnce();
}

/* A board met when all 64 peer records are taken: its link is closed, not left up and deaf. */
TEST(BoardNoRecord, LinkOfABoardWithoutARecordIsClosed) {
  CapturedLog log;
  VqxGwLibSetInterfaceProvider(LoopbackOnly);
  VqxGwLibSetBroadcastRedirect(htonl(0x7F000001u));
  VQXGetIpInterfacesInit();
  const u16 un16Port = FreeLoopbackPort();
  setenv("VQX_GW_PORT", std::to_string(un16Port).c_str(), 1);
  SimBoard board(un16Port);
  ASSERT_TRUE(board.Ready());
  _VQX_LIB_PARAMS params = HostLibTestParams(&log);
  params.un32TraceLevel = 0x7FFFFFFE;
  VQX_LIB_HANDLE hLib = nullptr;
  ASSERT_EQ(VQXOpenLib(&params, &hLib), VQX_RESULT_API_OK);
  /* Sixty-four boards already known (paths up without a transport behind them). */
  std::vector<VQX_GW_ADAPTER_ADV> advs;
  for (u32 i = 0; i < VQX_PEER_MAX; i++) {
    advs.push_back(AdapterAdv(std::to_string(900 + i).c_str(), "filler", "10.0.0.1", ""));
  }
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  for (u32 i = 0; i < VQX_PEER_MAX; i++) {
    ASSERT_EQ(VqxHostAdapterPathAdd(hLib, 0xCA100000u + i, &advs[i], nullptr, 1), VQX_RESULT_API_OK) << i;
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  /* Now the adapters' instance finds the real one. */
  params.fAdaptersGwOff = 0;
  ASSERT_EQ(VQXModifLibParams(hLib, &params), VQX_RESULT_API_OK);
  long nClosed = 0;
  for (int i = 0; i < 200 && nClosed == 0; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    nClosed = board.Stat("closed_by_host");
  }
  EXPECT_GE(nClosed, 1) << "the host closed the link it could not serve";
  EXPECT_TRUE(log.WaitFor("VqxHostAdapterPathAdd: Can't alloc adapter from hPoolOfAdapters"));
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  EXPECT_EQ(VqxHostAdapterByHandle(hLib, kBoardHandle), nullptr);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  EXPECT_EQ(VQXCloseLibEx(&hLib), VQX_RESULT_API_OK);
  unsetenv("VQX_GW_PORT");
  VqxGwLibSetBroadcastRedirect(0);
  VqxGwLibSetInterfaceProvider(nullptr);
}

}  // namespace
