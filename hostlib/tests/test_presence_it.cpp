/*
 * test_presence_it.cpp - a board's presence as the application sees it,
 * end to end: the simulated board (a python3 child) advertises two paths on
 * two loopback subnets (127.0.0.0/24 and 127.0.1.0/24), the gateway transport links both, and the library
 * posts added, gw0 up and gw1 up; the board closes one path, then the
 * other: path down with its cause, then removed. Every notification is
 * compared byte for byte with the golden payloads. Also checked: the
 * remote-filter connection sequence reached the board and its answers
 * (little- or big-endian) were accepted.
 */
#include "test_peer_util.h"
#include "vqx_clock.h"

namespace {

constexpr u32 kBoard = 0xCA345678u; /* serial number 12345678 */

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

class PresenceTest : public ::testing::Test {
 protected:
  void StartBoard(const char* pszRfilterMode, const char* pszBuild = "0x02070B04") {
    VqxGwLibSetInterfaceProvider(TwoLoopbackNets);
    VqxGwLibSetBroadcastRedirect(htonl(0x7F000001u));
    VQXGetIpInterfacesInit();
    mun16Port = FreeLoopbackPort();
    const u16 un16Ctl = FreeLoopbackPort();
    const char* pszRoot = getenv("VQX_SOURCE_DIR");
    const std::string script = std::string(pszRoot != nullptr ? pszRoot : ".") + "/testing/boardsim/boardsim.py";
    mpBoard = new ChildWithControl({"python3", script, "--udp-port", std::to_string(mun16Port), "--control-port",
                                    std::to_string(un16Ctl), "--gw0", "127.0.0.2", "--gw1", "127.0.1.3",
                                    "--full", "--build", pszBuild, "--lifetime", "60"},
                                   un16Ctl);
    ASSERT_TRUE(mpBoard->Ready());
    ASSERT_EQ(mpBoard->Command(std::string("rfilter ") + pszRfilterMode), "ok");
    setenv("VQX_GW_PORT", std::to_string(mun16Port).c_str(), 1);
    mParams = HostLibTestParams(&mLog);
    mParams.fAdaptersGwOff = 0;
    snprintf(mParams.szGw0Address, sizeof(mParams.szGw0Address), "127.0.0.1");
    snprintf(mParams.szGw1Address, sizeof(mParams.szGw1Address), "127.0.1.1");
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
  }
  /* The next notification within un32Ms: the whole message, empty on time-out. */
  std::vector<u8> Next(u32 un32Ms) {
    VQX_MSG_HANDLE hMsg = nullptr;
    if (VQXReceiveMsg(mhLib, mhNotif, un32Ms, &hMsg) != VQX_RESULT_API_OK) return {};
    const u8* pby = reinterpret_cast<const u8*>(hMsg);
    std::vector<u8> out(pby, pby + hMsg->un32Length);
    VQXReleaseMsgEx(mhLib, &hMsg);
    return out;
  }
  void Expect(const std::vector<u8>& m, u32 un32Id, const char* pszGolden) {
    SCOPED_TRACE(pszGolden);
    ASSERT_GE(m.size(), 96u);
    EXPECT_EQ(MsgId(m), un32Id);
    EXPECT_EQ(Rd32(m.data(), 4), 4u);
    EXPECT_EQ(Rd32(m.data(), 28), kBoard);
    const std::vector<u8>& golden = mGolden[pszGolden];
    ASSERT_FALSE(golden.empty());
    ASSERT_EQ(m.size(), 88u + 8u + golden.size());
    EXPECT_EQ(std::vector<u8>(m.begin() + 96, m.end()), golden);
  }
  /* Added, then both paths up in whichever order the transport linked them. */
  void WaitBothUp(const char* pszAdded = "sim_added") {
    Expect(Next(10000), 0x02010001, pszAdded);
    std::vector<u8> first = Next(10000);
    ASSERT_FALSE(first.empty());
    const bool fGw0First = Rd32(Payload(first), 12) == 1;
    Expect(first, 0x02010003, fGw0First ? "sim_up_gw0" : "sim_up_gw1");
    Expect(Next(10000), 0x02010003, "sim_up_both");
  }
  long BoardGwOps(const char* pszId) {
    const std::string s = mpBoard->Command("stats");
    const std::string k = std::string("\"") + pszId + "\": ";
    const size_t i = s.find(k);
    return i == std::string::npos ? 0 : strtol(s.c_str() + i + k.size(), nullptr, 10);
  }

  CapturedLog mLog;
  _VQX_LIB_PARAMS mParams{};
  VQX_LIB_HANDLE mhLib = nullptr;
  VQX_FILTER_HANDLE mhNotif = nullptr;
  ChildWithControl* mpBoard = nullptr;
  u16 mun16Port = 0;
  std::map<std::string, std::vector<u8>> mGolden = GoldenNotifications();
};

TEST_F(PresenceTest, AddedBothPathsUpOnePathDownBothDownRemoved) {
  /* A board of a build that keeps no retransmission ring: with nothing awaiting acknowledgement when its
   * second path comes up, redundancy stands at once and each path goes down on its own. */
  StartBoard("answer", "700");
  WaitBothUp();
  EXPECT_TRUE(Next(300).empty()) << "one added, two path ups, nothing more";
  u32 ah[4];
  u32 n = 0;
  ASSERT_EQ(VQXGetAdaptersList(mhLib, 4, &n, ah), VQX_RESULT_API_OK);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(ah[0], kBoard);
  _VQX_NETWORK_REDUNDANCY_STATE state{};
  u32 fGw0 = 0, fGw1 = 0;
  EXPECT_EQ(VQXGetNetworkRedundancyState(mhLib, kBoard, &state, &fGw0, &fGw1), VQX_RESULT_API_OK);
  EXPECT_EQ(fGw0, 1u);
  EXPECT_EQ(fGw1, 1u);
  EXPECT_EQ(state.un32FlowControlLevel, 0xFFFFFFFFu);
  /* Callers that want only the path flags pass no state record. */
  fGw0 = fGw1 = 0;
  EXPECT_EQ(VQXGetNetworkRedundancyState(mhLib, kBoard, nullptr, &fGw0, &fGw1), VQX_RESULT_API_OK);
  EXPECT_EQ(fGw0 + fGw1, 2u);
  EXPECT_EQ(VQXGetNetworkRedundancyState(mhLib, kBoard, &state, &fGw0, nullptr), VQX_RESULT_API_NULL_PARAM);

  /* The board stops answering discovery so that the transport does not link a closed path again. */
  ASSERT_EQ(mpBoard->Command("silent"), "ok");
  ASSERT_EQ(mpBoard->Command("closegw 1"), "ok");
  Expect(Next(10000), 0x02010004, "sim_gw1_down_closed");
  ASSERT_EQ(mpBoard->Command("closegw 0"), "ok");
  Expect(Next(10000), 0x02010004, "sim_gw0_down_closed");
  Expect(Next(3000), 0x02010002, "sim_removed");
  EXPECT_TRUE(mLog.WaitFor("12345678 removed (cause: Socket closed in a clean manner)"));
  ASSERT_EQ(VQXGetAdaptersList(mhLib, 4, &n, ah), VQX_RESULT_API_OK);
  EXPECT_EQ(n, 0u);
  /* Too old a build for remote filters and flow-control levels: none was sent. */
  EXPECT_EQ(BoardGwOps("0x020d0100"), 0);
  EXPECT_EQ(BoardGwOps("0x020d0104"), 0);
}

TEST_F(PresenceTest, FiltersMadeLaterReachTheBoardAndBigEndianAnswersAreTurned) {
  StartBoard("big");
  WaitBothUp("sim_added_recent");
  /* The connection sequence reached the board once: a CLEAR and the flow-control level. */
  for (int i = 0; i < 100 && BoardGwOps("0x020d0104") == 0; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_EQ(BoardGwOps("0x020d0100"), 1) << mpBoard->Command("stats");
  EXPECT_EQ(BoardGwOps("0x020d0104"), 1);
  /* A filter on the board's own group concerns the board: CREATE, answered in the board's order. */
  _VQX_FILTER_PARAMS set{};
  set.un32Version = 1;
  set.un32Mask = VQX_FILTER_MASK_MSG_GROUP;
  set.MsgGroup = 0x0400;
  VQX_FILTER_HANDLE hFilter = nullptr;
  ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, 1, &set, &hFilter), VQX_RESULT_API_OK);
  bool fSeen = false;
  for (int i = 0; i < 100 && !fSeen; i++) {
    fSeen = BoardGwOps("0x020d0101") == 1;
    if (!fSeen) std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_TRUE(fSeen);
  ASSERT_EQ(VQXDestroyMsgFilterEx(mhLib, &hFilter), VQX_RESULT_API_OK);
  fSeen = false;
  for (int i = 0; i < 100 && !fSeen; i++) {
    fSeen = BoardGwOps("0x020d0102") == 1;
    if (!fSeen) std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_TRUE(fSeen);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(mLog.Count("remote adapter/host filters (result"), 0u) << "every answer read with its byte order turned";
  EXPECT_EQ(mLog.Count("Failed to tell flow control level"), 0u);
  EXPECT_EQ(mLog.Count("message(s) lost"), 0u);
  EXPECT_EQ(mLog.Count("VqxRemoteHostFiltersMsgSwap"), 0u);
}

TEST_F(PresenceTest, RequestsAreAnsweredInSequenceWithTheirSerialThroughImplicitFilters) {
  StartBoard("answer");
  WaitBothUp("sim_added_recent");
  ASSERT_EQ(mpBoard->Command("answer 0x04000007"), "ok");
  for (u32 i = 0; i < 20; i++) {
    VQX_MSG_HANDLE hMsg = nullptr;
    ASSERT_EQ(VQXGetMsg(mhLib, 16, &hMsg), VQX_RESULT_API_OK);
    hMsg->un32MsgId = 0x04000007;
    hMsg->MsgType = VQX_MSG_TYPE_REQUEST;
    hMsg->hAdapter = kBoard;
    hMsg->un32PayloadLength = 16;
    hMsg->un64UserContext1 = 0x1122334455667788ull + i;
    Wr32(VQXMsgPayload(hMsg), 8, 0xC0DE0000u + i);
    const u32 un32Serial = hMsg->un32SerialNumber;
    VQX_FILTER_HANDLE hImplicit = nullptr;
    ASSERT_EQ(VQXSendMsgEx(mhLib, &hMsg, &hImplicit), VQX_RESULT_API_OK);
    ASSERT_NE(hImplicit, nullptr);
    VQX_MSG_HANDLE hRsp = nullptr;
    ASSERT_EQ(VQXReceiveMsg(mhLib, hImplicit, 5000, &hRsp), VQX_RESULT_API_OK) << "request " << i;
    EXPECT_EQ(hRsp->MsgType, 2u);
    EXPECT_EQ(hRsp->un32SerialNumber, un32Serial) << "serial copied raw by the board";
    EXPECT_EQ(hRsp->un64UserContext1, 0x1122334455667788ull + i);
    EXPECT_EQ(hRsp->hAdapter, kBoard);
    EXPECT_EQ(Rd32(VQXMsgPayload(hRsp), 8), 0xC0DE0000u + i);
    VQXReleaseMsgEx(mhLib, &hRsp);
    VQXDestroyMsgFilterEx(mhLib, &hImplicit);
  }
  EXPECT_EQ(mLog.Count("message(s) lost"), 0u) << "the board numbers its answers on one path";
  EXPECT_EQ(mLog.Count("BUG: Received response with unexpected serial number"), 0u);
}

}  // namespace
