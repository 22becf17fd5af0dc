/*
 * test_board_paths_it.cpp - a simulated board reached on two paths (two
 * loopback subnets) while requests stream: a path lost, and a path lost
 * with requests overtaking the lost ones, each losing no request and
 * answering each once. A board without redundancy whose standby cable is
 * pulled while its data path holds what its TCP acknowledged: removed, and
 * every message acknowledged delivered first.
 */
#include "support/hostlib_sim.h"
#include "test_peer_util.h"

namespace {

/* Requests streaming, gw0 closed in the middle: what the board had not acknowledged goes again on gw1. */
TEST_F(TwoPathTest, LostPathLosesNoRequest) {
  Start();
  for (u32 i = 0; i < 600; i++) {
    Request();
    if (i == 300) { EXPECT_EQ(b.Board.Command("closegw 0"), "ok"); }
    if (i % 50 == 0) Drain(0);
  }
  ExpectAllAnsweredOnce();
}

/*
 * gw0 dies with requests the board never read, and newer ones reach the
 * board on gw1 before the library handles the loss (it waits for the
 * library lock, held here). The board takes only the next request in
 * sequence and drops the newer ones: the retransmission must carry them
 * again, after the lost ones.
 */
TEST_F(TwoPathTest, RequestsOvertakingTheLostOnesAreSentAgain) {
  Start();
  Request(20);
  ExpectAllAnsweredOnce();
  /* Answers kept back: the transport's receive thread must not wait for the lock held below. */
  ASSERT_EQ(b.Board.Command("hold"), "ok");
  ASSERT_EQ(b.Board.Command("stopread"), "ok");
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(b.hLib);
  Request(5); /* written on gw0 and never read */
  EXPECT_EQ(b.Board.Command("closegw 0"), "ok");
  EXPECT_EQ(b.Board.Command("read"), "ok");
  /* Once the transport has closed gw0, what is sent goes on gw1, ahead of the lost five. */
  long nOutOfOrder = 0;
  WaitUntil(
      [&] {
        Request();
        nOutOfOrder = b.Board.Stat("out_of_order");
        return nOutOfOrder >= 1;
      },
      3000);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(b.hLib);
  EXPECT_GE(nOutOfOrder, 1) << "a request overtook the lost ones";
  ASSERT_EQ(b.Board.Command("release").rfind("ok", 0), 0u);
  Request(20);
  ExpectAllAnsweredOnce();
  _VQX_LIB_STATS stats = LibStats(b.hLib);
  EXPECT_GE(stats.TxRetransmit, 5u + static_cast<u64>(nOutOfOrder));
}

/*
 * A board that never acknowledges (redundancy never established) streams batches of one 16000-byte message on gw0 to
 * an application that reads none: past its receive fifo (4) the transport's reading pauses 100 ms a message, so gw0's
 * socket stays full of what the board's TCP saw acknowledged. gw1's cable is pulled: its keep-alive closes it, which
 * takes gw0 along. Every message acknowledged is in the filter when the board is reported removed; gw0's down tells
 * what its close cut; the notifications are those of a board removed for want of redundancy, gw0 first.
 */
TEST(BoardPaths, StandbyPathLostTakesTheDataPathAlongOnceReadLosingNothing) {
  BoardLib b(2, {"--gw0", "127.0.0.2", "--gw1", "127.0.1.3"});
  const _VQX_NETWORK_REDUNDANCY_PARAMETERS red{1, 100, 500, 1100, 1, 1, 0, 0};
  ASSERT_TRUE(b.Open(&red, 4));
  VQX_FILTER_HANDLE hData = NewFilter(b.hLib, {FilterSet(VQX_FILTER_MASK_MSG_ID, kRequestId)});
  ASSERT_NE(hData, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return b.PathUp(0) && b.PathUp(1); }, 10000));
  ASSERT_EQ(b.WithPeer([](VQX_PEER* p) { return p->fSinglePath; }), 1u) << "redundancy not established";
  constexpr u32 kBatches = 100;
  for (u32 i = 0; i < kBatches; i++) ASSERT_EQ(b.Board.Command("send 1 16000 0"), "ok");
  ASSERT_TRUE(WaitUntil([&] { return b.WithPeer([](VQX_PEER* p) { return p->un32MsgsInFilters; }) >= 4; }, 5000));
  ASSERT_EQ(b.Board.Command("cut 1"), "ok");
  std::vector<std::vector<u8>> notifs;
  notifs.reserve(3);
  u32 un32InFilter = 0;
  while (notifs.size() < 3) { /* bounded: Next waits 10 s at most */
    std::vector<u8> m = b.Next(10000);
    if (m.empty()) break;
    if (MsgId(m) != VQX_MSG_ID_API_NOTIF_ADAPTER_GW_DOWN && MsgId(m) != VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED) continue;
    if (MsgId(m) == VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED) un32InFilter = Locked(b.hLib, [&] { return hData->un32Count; });
    notifs.push_back(std::move(m));
  }
  ASSERT_EQ(notifs.size(), 3u);
  const auto Down = [&](size_t i, u32 un32Cause) {
    SCOPED_TRACE(i);
    EXPECT_EQ(MsgId(notifs[i]), VQX_MSG_ID_API_NOTIF_ADAPTER_GW_DOWN);
    EXPECT_EQ(Rd32(Payload(notifs[i]), VQX_NOTIF_OFFSET_GW0_UP) + Rd32(Payload(notifs[i]), VQX_NOTIF_OFFSET_GW1_UP), 0u);
    EXPECT_EQ(Rd32(Payload(notifs[i]), VQX_NOTIF_OFFSET_CAUSE), un32Cause);
    return Rd32(Payload(notifs[i]), VQX_NOTIF_OFFSET_LOST);
  };
  const u32 un32Cut = Down(0, VQX_PEER_CAUSE_REDUNDANCY_NOT_ESTABLISHED);
  EXPECT_EQ(Down(1, VQX_PEER_CAUSE_TCP_POLL_TIMEOUT), 0u);
  EXPECT_EQ(MsgId(notifs[2]), VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED);
  EXPECT_EQ(long(un32InFilter), b.Board.Stat("acked")) << "every message acknowledged delivered before the removal";
  EXPECT_LE(un32Cut, 1u) << "a batch of one message: that one, when cut";
  EXPECT_TRUE(WaitUntil([&] { return b.Board.Stat("unsent") > 0; }, 5000)) << "the board had more to send: gw0 was behind";
  VQX_MSG_HANDLE hMsg = nullptr;
  u32 un32Taken = 0;
  for (u32 i = 0; i <= kBatches && VQXReceiveMsg(b.hLib, hData, 0, &hMsg) == VQX_RESULT_API_OK; i++, un32Taken++)
    VQXReleaseMsgEx(b.hLib, &hMsg);
  EXPECT_EQ(un32Taken, un32InFilter) << "none after the board was removed";
  VQXDestroyMsgFilterEx(b.hLib, &hData);
}

}  // namespace
