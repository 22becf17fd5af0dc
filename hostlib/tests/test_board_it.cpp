/*
 * test_board_it.cpp - the host library against the simulated board over
 * 127.0.0.1: requests answered through implicit filters, the board's events
 * acknowledged, a board that holds its answers (or never gives them, until
 * the awaited-response time-out on an injected clock) put under flow
 * control, and a board met when no peer record is left.
 */
#include <algorithm>
#include <atomic>

#include "support/hostlib_sim.h"
#include "test_peer_util.h"
#include "vqx_clock.h"

namespace {

/* Injected clock: the system's plus an offset the test moves forward. */
std::atomic<u64> g_un64ClockOffset{0};
u64 OffsetClock() { return VqxClockReadSystem() + g_un64ClockOffset.load(); }

/* One-path board, linked and announced (added, then gw0 up). */
class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(b.Open());
    const std::vector<u8> added = b.Next(10000);
    const std::vector<u8> up = b.Next(3000);
    ASSERT_EQ(added.size() > 0 ? MsgId(added) : 0, 0x02010001u);
    ASSERT_EQ(up.size() > 0 ? MsgId(up) : 0, 0x02010003u);
    EXPECT_EQ(Rd32(Payload(up), 16), 0u) << "gw1 down: no local gw1 address";
  }
  void TearDown() override {
    VqxClockSetSource(nullptr);
    VqxGwLibSetClock(nullptr);
  }
  /* Sends limit + 31 requests the board keeps unanswered: the board takes limit + 1, the rest waits. */
  u32 SendPastTheLimit(u32 un32Limit) {
    const u32 un32Sent = un32Limit + 1 + 30;
    for (u32 i = 0; i < un32Sent; i++) EXPECT_EQ(b.Send(kRequestId, VQX_MSG_TYPE_REQUEST, 8), VQX_RESULT_API_OK) << i;
    EXPECT_TRUE(WaitUntil([&] { return b.Board.Stat("requests") == static_cast<long>(un32Limit) + 1; }, 5000));
    b.WithPeer([&](VQX_PEER* p) {
      EXPECT_EQ(p->fFlowBlocked, 1u);
      EXPECT_EQ(p->un32SendFifoCount, 30u);
      return 0;
    });
    EXPECT_EQ(b.Board.Stat("requests"), static_cast<long>(un32Limit) + 1) << "the rest waits in the fifo";
    return un32Sent;
  }
  BoardLib b{1, {}};
};

/* One set-up: board events acknowledged while we send nothing, then our requests answered and acknowledged. */
TEST_F(BoardTest, EventsAcknowledgedWithoutTrafficOfOurOwnThenRequestsAnsweredThroughImplicitFilters) {
  ASSERT_EQ(b.Board.Command("full on"), "ok");
  VQX_FILTER_HANDLE hEvents = NewFilter(b.hLib, {FilterSet(VQX_FILTER_MASK_MSG_ID, 0x03000005u)});
  const long nAcks0 = b.Board.Stat("acks");
  /* Sixteen messages: acknowledged at once; then one alone: after 400 ms without other traffic. */
  ASSERT_EQ(b.Board.Command("event 16 0x03000005 16"), "ok");
  EXPECT_TRUE(WaitUntil([&] { return b.Board.Stat("acks") > nAcks0; }, 3000));
  const long nAcks1 = b.Board.Stat("acks");
  ASSERT_EQ(b.Board.Command("event 1 0x03000005 16"), "ok");
  EXPECT_TRUE(WaitUntil([&] { return b.Board.Stat("acks") == nAcks1 + 1; }, 3000));
  u32 un32Got = 0;
  VQX_MSG_HANDLE hMsg = nullptr;
  while (un32Got < 100 && VQXReceiveMsg(b.hLib, hEvents, 0, &hMsg) == VQX_RESULT_API_OK) {
    EXPECT_EQ(hMsg->un32PayloadLength, 16u);
    EXPECT_EQ(hMsg->hAdapter, kSimBoard);
    un32Got++;
    VQXReleaseMsgEx(b.hLib, &hMsg);
  }
  EXPECT_EQ(un32Got, 17u);
  _VQX_LIB_STATS stats = LibStats(b.hLib);
  EXPECT_GE(stats.TxPureAck, static_cast<u64>(nAcks1 + 1 - nAcks0)) << "every acknowledgement the board counted";
  VQXDestroyMsgFilterEx(b.hLib, &hEvents);

  ASSERT_TRUE(b.AnswerRequests(false));
  constexpr u32 kCount = 40;
  std::vector<VQX_FILTER_HANDLE> ahImplicit(kCount, nullptr);
  for (u32 i = 0; i < kCount; i++) {
    ASSERT_EQ(b.Send(kRequestId, VQX_MSG_TYPE_REQUEST, 16, &ahImplicit[i], 0x1122334455667788ull + i),
              VQX_RESULT_API_OK);
  }
  std::set<u32> serials;
  for (u32 i = 0; i < kCount; i++) {
    VQX_MSG_HANDLE hRsp = nullptr;
    ASSERT_EQ(VQXReceiveMsg(b.hLib, ahImplicit[i], 5000, &hRsp), VQX_RESULT_API_OK) << i;
    EXPECT_EQ(hRsp->MsgType, VQX_MSG_TYPE_RESPONSE);
    EXPECT_EQ(hRsp->un64UserContext1, 0x1122334455667788ull + i) << "contexts come back as they went";
    EXPECT_EQ(hRsp->hAdapter, kSimBoard);
    serials.insert(hRsp->un32SerialNumber);
    VQXReleaseMsgEx(b.hLib, &hRsp);
    EXPECT_EQ(VQXDestroyMsgFilterEx(b.hLib, &ahImplicit[i]), VQX_RESULT_API_OK);
  }
  EXPECT_EQ(serials.size(), kCount) << "each answer matched by its own serial number";
  EXPECT_EQ(b.Board.Stat("answered"), static_cast<long>(kCount));
  EXPECT_EQ(b.Board.Stat("duplicates"), 0) << "each request numbered once";
  b.WithPeer([](VQX_PEER* p) {
    EXPECT_EQ(p->un32AwaitCount, 0u) << "every awaited response completed";
    EXPECT_EQ(p->un64SeqLost, 0u);
    EXPECT_NE(p->un32RxSeq, 0u) << "the board numbers what it sends";
    return 0;
  });
  /* Should one come, it says which (id, path, cause) and whether the board saw its link replaced by a second one. */
  const std::vector<u8> extra = b.Next(0);
  EXPECT_TRUE(extra.empty()) << "however many messages the board sent, it was announced once: "
                             << (extra.empty() ? "" : SentLine(extra) + "links replaced at the board: " +
                                                          std::to_string(b.Board.Stat("replaced")));
  /* What the board numbered is acknowledged to it, by piggy-back or on its own within 400 ms. */
  EXPECT_TRUE(WaitUntil([&] { return b.WithPeer([](VQX_PEER* p) { return p->un32RxUnacked == 0; }); }, 3000));
}

/* A notification filter made once the board is linked (gw0 alone) is brought up to date, to it alone: added, then
 * gw0 up and gw1 up, each with the paths as they are. */
TEST_F(BoardTest, NotificationFilterMadeOnceTheBoardIsLinkedIsBroughtUpToDate) {
  VQX_FILTER_HANDLE hLate = NewFilter(b.hLib, {FilterSet(VQX_FILTER_MASK_MSG_GROUP, 0x02010000)});
  std::vector<u32> seen; /* per notification its id, and a path up's gw0 and gw1 flags */
  for (std::vector<u8> m; seen.size() < 16 && !(m = b.Next(0, hLate)).empty();) {
    seen.push_back(MsgId(m));
    if (MsgId(m) != VQX_MSG_ID_API_NOTIF_ADAPTER_GW_UP) continue;
    seen.insert(seen.end(), {Rd32(Payload(m), 12), Rd32(Payload(m), 16)});
  }
  EXPECT_EQ(seen, (std::vector<u32>{0x02010001, 0x02010003, 1, 0, 0x02010003, 1, 0}));
  EXPECT_TRUE(b.Next(0).empty()) << "to the new filter alone";
  VQXDestroyMsgFilterEx(b.hLib, &hLate);
}

/* The transport's per-batch trace lines: dropped below the trace level, whole at or above it. */
TEST_F(BoardTest, TransportTraceLinesFollowTheTraceLevel) {
  ASSERT_EQ(b.Board.Command("full on"), "ok");
  VQX_FILTER_HANDLE hEvents = NewFilter(b.hLib, {FilterSet(VQX_FILTER_MASK_MSG_ID, 0x03000005u)});
  const auto TakeEvents = [&](u32 un32Count) {
    u32 un32Got = 0;
    VQX_MSG_HANDLE hMsg = nullptr;
    for (u32 i = 0; i < 100 && un32Got < un32Count; i++) {
      if (VQXReceiveMsg(b.hLib, hEvents, 100, &hMsg) != VQX_RESULT_API_OK) continue;
      un32Got++;
      VQXReleaseMsgEx(b.hLib, &hMsg);
    }
    return un32Got;
  };
  for (const u32 un32Level : {0x7FFFFFFEu, 1u}) {
    VqxLib(b.hLib)->un32TraceLevel.store(un32Level);
    b.Log.Clear();
    ASSERT_EQ(b.Board.Command("event 4 0x03000005 16"), "ok");
    EXPECT_EQ(TakeEvents(4), 4u) << un32Level;
    /* Lines are printed in order: once this one is out, the transport's are too. */
    VQX_LOG_V(b.hLib, 0, "marker %u\n", un32Level);
    ASSERT_TRUE(b.Log.WaitFor(("marker " + std::to_string(un32Level)).c_str()));
    if (un32Level == 1) {
      EXPECT_EQ(b.Log.Count("VqxGwLibRxMultiHeaderParse simboard:gw0 : Receiving payload for 4 messages"), 1u);
    } else {
      EXPECT_EQ(b.Log.Count("VqxGwLibRx"), 0u);
    }
  }
  VQXDestroyMsgFilterEx(b.hLib, &hEvents);
}

TEST_F(BoardTest, BoardThatHoldsItsAnswersIsFlowControlledAndReleasedByThem) {
  ASSERT_EQ(b.Board.Command("full on"), "ok");
  ASSERT_TRUE(b.AnswerRequests(true));
  const u32 un32Limit = b.WithPeer([](VQX_PEER* p) { return p->un32MsgLimit; });
  ASSERT_GT(un32Limit, 0u);
  const u32 un32Sent = SendPastTheLimit(un32Limit);
  /* The answers bring the outstanding count back under the limits: the rest goes out. */
  EXPECT_EQ(b.Board.Command("release"), "ok " + std::to_string(un32Limit + 1));
  EXPECT_TRUE(WaitUntil([&] { return b.Board.Stat("requests") == static_cast<long>(un32Sent); }, 3000));
  EXPECT_EQ(b.Board.Command("release").rfind("ok", 0), 0u) << "whatever is still held";
  EXPECT_EQ(VQXWaitSentMsg(b.hLib, 3000), VQX_RESULT_API_OK);
  EXPECT_TRUE(WaitUntil(
      [&] {
        return b.WithPeer([](VQX_PEER* p) { return p->un32AwaitCount + p->un32SendFifoCount + p->fFlowBlocked == 0; });
      },
      3000));
  EXPECT_EQ(b.Log.Count("Timeout waiting for adapter response"), 0u);
}

/*
 * Requests the caller no longer waits for (sent again, or given up) leave the flow control at once, without the
 * 60 s time-out and its line: the rest goes out; their answers, when they come, are taken quietly as answers. A
 * request not awaited (answered, abandoned already, unknown), a peer that is no adapter and a null library are refused.
 */
TEST_F(BoardTest, RequestsNoLongerAwaitedReleaseTheFlowControlAndTheirAnswersAreTakenQuietly) {
  ASSERT_EQ(b.Board.Command("full on"), "ok");
  ASSERT_TRUE(b.AnswerRequests(true));
  const u32 un32Limit = b.WithPeer([](VQX_PEER* p) { return p->un32MsgLimit; });
  const u32 un32Sent = un32Limit + 1 + 30;
  std::vector<u32> aSerials;
  for (u32 i = 0; i < un32Sent; i++) {
    VQX_MSG_HANDLE hMsg = nullptr;
    ASSERT_EQ(VQXGetMsg(b.hLib, 8, &hMsg), VQX_RESULT_API_OK);
    hMsg->un32MsgId = kRequestId, hMsg->MsgType = VQX_MSG_TYPE_REQUEST, hMsg->hAdapter = kSimBoard;
    hMsg->un32PayloadLength = 8;
    aSerials.push_back(hMsg->un32SerialNumber);
    ASSERT_EQ(VQXSendMsgEx(b.hLib, &hMsg, nullptr), VQX_RESULT_API_OK) << i;
  }
  ASSERT_TRUE(WaitUntil([&] { return b.Board.Stat("requests") == static_cast<long>(un32Limit) + 1; }, 5000));
  const u32 un32Received = b.WithPeer([](VQX_PEER* p) { return p->un32ResponsesReceived; });
  for (u32 i = 0; i <= un32Limit; i++)
    EXPECT_EQ(VQXAbandonAwaitedResponse(b.hLib, kSimBoard, aSerials[i]), VQX_RESULT_API_OK) << i;
  /* Under the limits again: the queue goes on at once (up to the limits, the last requests awaited holding it). */
  EXPECT_TRUE(WaitUntil([&] { return b.Board.Stat("requests") > static_cast<long>(un32Limit) + 1; }, 5000))
      << "more went out at once";
  const struct {
    VQX_LIB_HANDLE hLib;
    u32 hAdapter, un32Serial;
    VQX_RESULT expected;
  } refused[] = {{b.hLib, kSimBoard, aSerials[0], VQX_RESULT_API_NOT_FOUND},
                 {b.hLib, kSimBoard, 0, VQX_RESULT_API_NOT_FOUND},
                 {b.hLib, 0xCA0000FFu, aSerials[un32Sent - 1], VQX_RESULT_API_INVALID_HANDLE},
                 {nullptr, kSimBoard, aSerials[un32Sent - 1], VQX_RESULT_API_INVALID_LIB_HANDLE}};
  for (const auto& r : refused) EXPECT_EQ(VQXAbandonAwaitedResponse(r.hLib, r.hAdapter, r.un32Serial), r.expected);
  EXPECT_EQ(b.Board.Command("release").rfind("ok ", 0), 0u) << "every answer held let out, none held from now on";
  EXPECT_TRUE(WaitUntil(
      [&] {
        return b.Board.Stat("requests") == static_cast<long>(un32Sent) && b.WithPeer([&](VQX_PEER* p) {
          return p->un32AwaitCount + p->un32SendFifoCount + p->fFlowBlocked == 0 &&
                 p->un32ResponsesReceived == un32Received + un32Sent;
        });
      },
      5000))
      << "every answer taken, those abandoned too";
  EXPECT_EQ(VQXAbandonAwaitedResponse(b.hLib, kSimBoard, aSerials[un32Sent - 1]), VQX_RESULT_API_NOT_FOUND) << "answered";
  EXPECT_EQ(b.Log.Count("unexpected serial number"), 0u);
  EXPECT_EQ(b.Log.Count("Timeout waiting for adapter response"), 0u);
}

TEST_F(BoardTest, SilentBoardIsFlowControlledAndTheTimeOutReleasesIt) {
  /* Only the host library's clock jumps: the transport keeps the real one (its keep-alive stays quiet). */
  VqxGwLibSetClock([] { return static_cast<u32>(VqxClockReadSystem()); });
  VqxClockSetSource(OffsetClock);
  g_un64ClockOffset.store(0);
  /* Flow-control level 1: the board is held after 768 unanswered requests, the full count limit. */
  _VQX_NETWORK_REDUNDANCY_PARAMETERS red = VqxLib(b.hLib)->Params.NetworkRedundancy;
  red.FlowControlMode = 1;
  ASSERT_EQ(VQXConfigureNetworkRedundancy(b.hLib, kSimBoard, &red), VQX_RESULT_OK) << "the transport's result";
  ASSERT_GE(b.WithPeer([](VQX_PEER* p) { return p->un32BuildNumber; }), VQX_PEER_BUILD_RETRANSMIT);
  ASSERT_EQ(b.WithPeer([](VQX_PEER* p) { return p->un32MsgLimit; }), 768u);
  /* The board counts the requests and never answers them. */
  ASSERT_TRUE(b.AnswerRequests(true));
  const u32 un32Sent = SendPastTheLimit(768);
  EXPECT_EQ(VQXWaitSentMsg(b.hLib, 100), VQX_RESULT_API_OK) << "a time-out is not a failure";
  /* 60 s later every request has timed out: the totals fall back and the rest goes out. */
  g_un64ClockOffset.store(61000);
  EXPECT_TRUE(b.Log.WaitFor("ERROR: Timeout waiting for adapter response: 12345678, MsgId 0x3000001, size 96", 5000));
  EXPECT_TRUE(WaitUntil([&] { return b.Board.Stat("requests") == static_cast<long>(un32Sent); }, 5000));
  EXPECT_EQ(b.Board.Stat("closed_by_host"), 0) << "the link stayed up";
  EXPECT_EQ(VQXWaitSentMsg(b.hLib, 3000), VQX_RESULT_API_OK);
  EXPECT_EQ(b.WithPeer([](VQX_PEER* p) { return p->un32SendFifoCount; }), 0u);
}

/* The adapters' transport closed while the board streams events: once the call returns the board is gone and
 * nothing more is received, even once the events taken in are emptied from their filter (which holds the transport's
 * reading back at the receive fifo's size, so that the board still has some to send), and turned on again the board
 * is found again. */
TEST_F(BoardTest, ClosedAdaptersTransportReceivesNothingMoreUntilTurnedOnAgain) {
  VQX_FILTER_HANDLE hEvents = NewFilter(b.hLib, {FilterSet(VQX_FILTER_MASK_MSG_ID, 0x03000005u)});
  ASSERT_EQ(b.Board.Command("event 100000 0x03000005 16"), "ok");
  ASSERT_TRUE(WaitUntil([&] { return LibStats(b.hLib).RxMsg > 0; }, 5000));
  ASSERT_EQ(VQXCloseAdaptersGw(b.hLib), VQX_RESULT_API_OK);
  const u64 un64Received = LibStats(b.hLib).RxMsg;
  EXPECT_EQ(b.WithPeer([](VQX_PEER* p) { return p != nullptr && p->fPresent != 0; }), false);
  u32 un32Emptied = 0;
  EXPECT_EQ(VQXFlushMsgs(b.hLib, hEvents, &un32Emptied), VQX_RESULT_API_OK);
  EXPECT_TRUE(WaitUntil([&] { return b.Board.Stat("closed_by_host") == 1; }, 5000));
  EXPECT_GT(b.Board.Stat("unsent"), 0) << "closed in the middle of the stream";
  EXPECT_EQ(LibStats(b.hLib).RxMsg, un64Received) << "nothing received once closed";
  VQXDestroyMsgFilterEx(b.hLib, &hEvents);
  _VQX_LIB_PARAMS params{};
  ASSERT_EQ(VQXGetLibParams(b.hLib, &params), VQX_RESULT_API_OK);
  EXPECT_EQ(params.fAdaptersGwOff, 1u);
  params.fAdaptersGwOff = 0;
  ASSERT_EQ(VQXModifLibParams(b.hLib, &params), VQX_RESULT_API_OK);
  std::vector<u32> ids;
  for (std::vector<u8> m; ids.empty() || ids.back() != VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED;) {
    if ((m = b.Next(15000)).empty()) break;
    ids.push_back(MsgId(m));
  }
  EXPECT_NE(std::find(ids.begin(), ids.end(), VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED), ids.end());
  EXPECT_EQ(ids.empty() ? 0u : ids.back(), VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED) << "found again";
  EXPECT_EQ(VQXCloseAdaptersGw(nullptr), VQX_RESULT_API_INVALID_LIB_HANDLE);
}

/* A board met when all 64 peer records are taken: its link is closed, not left up and deaf. */
TEST(BoardNoRecord, LinkOfABoardWithoutARecordIsClosed) {
  BoardLib b{1, {}};
  ASSERT_TRUE(b.Board.Ready());
  _VQX_LIB_PARAMS params = HostLibTestParams(&b.Log);
  params.un32TraceLevel = 0x7FFFFFFE;
  ASSERT_EQ(VQXOpenLib(&params, &b.hLib), VQX_RESULT_API_OK);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(b.hLib);
  for (u32 i = 0; i < VQX_PEER_MAX; i++) {
    const VQX_GW_ADAPTER_ADV adv = AdapterAdv(std::to_string(900 + i).c_str(), "filler", "10.0.0.1", "");
    ASSERT_EQ(VqxHostAdapterPathAdd(b.hLib, 0xCA100000u + i, &adv, nullptr, 1), VQX_RESULT_API_OK) << i;
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(b.hLib);
  /* Now the adapters' instance finds the real one. */
  params.fAdaptersGwOff = 0;
  ASSERT_EQ(VQXModifLibParams(b.hLib, &params), VQX_RESULT_API_OK);
  EXPECT_TRUE(WaitUntil([&] { return b.Board.Stat("closed_by_host") >= 1; }, 10000))
      << "the host closed the link it could not serve";
  EXPECT_TRUE(b.Log.WaitFor("VqxHostAdapterPathAdd: Can't alloc adapter from hPoolOfAdapters"));
  EXPECT_EQ(b.WithPeer([](VQX_PEER* p) { return p; }), nullptr);
}

}  // namespace
