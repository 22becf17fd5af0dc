/*
 * test_presence_it.cpp - a board's presence as the application sees it, end
 * to end: the simulated board advertises two paths on two loopback subnets,
 * the transport links both and the library posts added, gw0 up and gw1 up;
 * the board closes one path, then the other: path down with its cause, then
 * removed. Every notification is compared byte for byte with the golden
 * payloads. A board that never acknowledged dies: removed once, no path up
 * again. Also: the remote-filter connection sequence reaches the board
 * and its answers (little- or big-endian) are accepted.
 */

#include "support/hostlib_sim.h"
#include "test_peer_util.h"

namespace {

class PresenceTest : public ::testing::Test {
 protected:
  void Start(const char* pszRfilterMode, const char* pszBuild = "0x02070B04",
             const _VQX_NETWORK_REDUNDANCY_PARAMETERS* pRedundancy = nullptr) {
    b = std::make_unique<BoardLib>(
        2, std::vector<std::string>{"--gw0", "127.0.0.2", "--gw1", "127.0.1.3", "--full", "--build", pszBuild});
    ASSERT_EQ(b->Board.Command(std::string("rfilter ") + pszRfilterMode), "ok");
    ASSERT_TRUE(b->Open(pRedundancy));
  }
  void Expect(const std::vector<u8>& m, u32 un32Id, const char* pszGolden) {
    SCOPED_TRACE(pszGolden);
    ASSERT_GE(m.size(), 96u);
    EXPECT_EQ(MsgId(m), un32Id);
    EXPECT_EQ(Rd32(m.data(), 4), 4u);
    EXPECT_EQ(Rd32(m.data(), 28), kSimBoard);
    const std::vector<u8>& golden = mGolden[pszGolden];
    ASSERT_FALSE(golden.empty());
    EXPECT_EQ(std::vector<u8>(m.begin() + 96, m.end()), golden);
  }
  /* Added, then both paths up in whichever order the transport linked them. */
  void WaitBothUp(const char* pszAdded) {
    Expect(b->Next(10000), 0x02010001, pszAdded);
    const std::vector<u8> first = b->Next(10000);
    ASSERT_FALSE(first.empty());
    Expect(first, 0x02010003, Rd32(Payload(first), 12) == 1 ? "sim_up_gw0" : "sim_up_gw1");
    Expect(b->Next(10000), 0x02010003, "sim_up_both");
  }
  long GwOps(const char* pszId) { return std::max(0L, b->Board.Stat(pszId)); }
  /* Waits (bounded) until the board has seen un32Count gateway operations of that id. */
  bool WaitGwOps(const char* pszId, long nCount) {
    return WaitUntil([&] { return GwOps(pszId) == nCount; }, 3000);
  }

  std::unique_ptr<BoardLib> b;
  std::map<std::string, std::vector<u8>> mGolden = GoldenNotifications();
};

TEST_F(PresenceTest, AddedBothPathsUpOnePathDownBothDownRemoved) {
  /* A build that keeps no retransmission ring: redundancy stands at once and each path goes down on its own. */
  Start("answer", "700");
  WaitBothUp("sim_added");
  EXPECT_TRUE(b->Next(300).empty()) << "one added, two path ups, nothing more";
  u32 ah[4];
  u32 n = 0;
  ASSERT_EQ(VQXGetAdaptersList(b->hLib, 4, &n, ah), VQX_RESULT_API_OK);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(ah[0], kSimBoard);
  _VQX_NETWORK_REDUNDANCY_STATE state{};
  u32 fGw0 = 0, fGw1 = 0;
  EXPECT_EQ(VQXGetNetworkRedundancyState(b->hLib, kSimBoard, &state, &fGw0, &fGw1), VQX_RESULT_API_OK);
  EXPECT_EQ(fGw0 + fGw1, 2u);
  EXPECT_EQ(state.un32FlowControlLevel, 0xFFFFFFFFu);
  /* Callers that want only the path flags pass no state record. */
  fGw0 = fGw1 = 0;
  EXPECT_EQ(VQXGetNetworkRedundancyState(b->hLib, kSimBoard, nullptr, &fGw0, &fGw1), VQX_RESULT_API_OK);
  EXPECT_EQ(fGw0 + fGw1, 2u);
  EXPECT_EQ(VQXGetNetworkRedundancyState(b->hLib, kSimBoard, &state, &fGw0, nullptr), VQX_RESULT_API_NULL_PARAM);

  /* The board stops answering discovery so that the transport does not link a closed path again. */
  ASSERT_EQ(b->Board.Command("silent"), "ok");
  ASSERT_EQ(b->Board.Command("closegw 1"), "ok");
  Expect(b->Next(10000), 0x02010004, "sim_gw1_down_closed");
  ASSERT_EQ(b->Board.Command("closegw 0"), "ok");
  Expect(b->Next(10000), 0x02010004, "sim_gw0_down_closed");
  Expect(b->Next(3000), 0x02010002, "sim_removed");
  EXPECT_TRUE(b->Log.WaitFor("12345678 removed (cause: Socket closed in a clean manner)"));
  ASSERT_EQ(VQXGetAdaptersList(b->hLib, 4, &n, ah), VQX_RESULT_API_OK);
  EXPECT_EQ(n, 0u);
  /* A send to the absent board fails at once. */
  EXPECT_EQ(b->Send(0x04000007, VQX_MSG_TYPE_REQUEST, 8), VQX_RESULT_API_ADA_NOT_READY);
  /* Too old a build for remote filters and flow-control levels: none was sent. */
  EXPECT_EQ(GwOps("0x020d0100"), 0);
  EXPECT_EQ(GwOps("0x020d0104"), 0);
}

/*
 * A board that never acknowledges (it leaves the connection sequence unanswered: redundancy not established) dies,
 * its gw0 found silent first: gw0's down takes gw1 along and the board is removed once. The transport's report of
 * gw0 still shows gw1 up, as last reported; no path comes up again from it.
 */
TEST_F(PresenceTest, DeadBoardOwingAcknowledgementsIsRemovedOnce) {
  const _VQX_NETWORK_REDUNDANCY_PARAMETERS red{1, 100, 500, 1100, 1, 1, 0, 0};
  Start("ignore", "0x02070B04", &red);
  WaitBothUp("sim_added_recent");
  ASSERT_EQ(b->WithPeer([](VQX_PEER* p) { return p->fSinglePath; }), 1u) << "redundancy not established";
  EXPECT_EQ(b->Board.Command("silent 2"), "error path");
  ASSERT_EQ(b->Board.Command("silent 0"), "ok");
  ASSERT_TRUE(b->Log.WaitFor("simboard: gw0 TCP timeout", 5000));
  ASSERT_EQ(b->Board.Command("silent"), "ok");
  Expect(b->Next(5000), 0x02010004, "sim_gw0_down_tcp_timeout");
  Expect(b->Next(3000), 0x02010004, "sim_gw1_down_not_established");
  Expect(b->Next(3000), 0x02010002, "sim_removed_recent");
  EXPECT_TRUE(b->Next(500).empty()) << "removed once, no path up after the first down";
  EXPECT_EQ(b->Log.Count(" removed (cause"), 1u);
}

TEST_F(PresenceTest, FiltersMadeLaterReachTheBoardAndBigEndianAnswersAreTurned) {
  Start("big");
  WaitBothUp("sim_added_recent");
  /* The connection sequence reached the board once: a CLEAR and the flow-control level. */
  EXPECT_TRUE(WaitGwOps("0x020d0104", 1)) << b->Board.Command("stats");
  EXPECT_EQ(GwOps("0x020d0100"), 1);
  /* A filter on the board's own group concerns the board: CREATE, then DESTROY, answered in its order. */
  VQX_FILTER_HANDLE hFilter = NewFilter(b->hLib, {FilterSet(VQX_FILTER_MASK_MSG_GROUP, 0x04000000)});
  EXPECT_TRUE(WaitGwOps("0x020d0101", 1));
  ASSERT_EQ(VQXDestroyMsgFilterEx(b->hLib, &hFilter), VQX_RESULT_API_OK);
  EXPECT_TRUE(WaitGwOps("0x020d0102", 1));
  /* Everything the board numbered (its answers included) has been received. */
  const long nBoardTx = b->Board.Stat("tx_seq");
  EXPECT_TRUE(WaitUntil([&] { return b->WithPeer([&](VQX_PEER* p) { return long{p->un32RxSeq} == nBoardTx; }); }, 3000));
  for (const char* pszBad : {"remote adapter/host filters (result", "Failed to tell flow control level",
                             "message(s) lost", "VqxRemoteHostFiltersMsgSwap"}) {
    EXPECT_EQ(b->Log.Count(pszBad), 0u) << pszBad;
  }
}

}  // namespace
