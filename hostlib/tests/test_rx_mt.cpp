/*
 * test_rx_mt.cpp - the receive side. The transport's receive callbacks fed by hand with messages in
 * wire form from a peer record made without a transport: sequence numbers (in order, the other path's
 * copies, a loss resynchronised and counted, the wrap past 0), connection counts, pure and piggy-backed
 * acknowledgements, sizes that do not fit the bytes received, unknown peers, the receive fifo's pause
 * (none while a sender waits for room on that peer, until its backlog reaches the bound a wait allows), and two
 * peers fed at once while readers take. Blocking receive across threads: wake-ups, a waiter
 * released by a message (a destroy releasing readers is the filter tests'), several senders to one
 * reader with nothing lost, callback filters fed by the receive thread, readers woken at the end of a
 * batch, filters coming and going while messages flow. Every wait is bounded.
 */
#include <atomic>
#include <chrono>
#include <optional>
#include <sstream>
#include <thread>

#include "gw/hostlib_gwglue_internal.h"
#include "peers/stall_probe.h"
#include "test_peer_util.h"
#include "vqx_clock.h"

namespace {

constexpr u32 kBoard = 0xCA000101u;
constexpr u32 kBoard2 = 0xCA000202u;
constexpr u32 kDataId = 0x03000001u;

class RxTest : public HostLibTest {
 protected:
  void SetUp() override {
    HostLibTest::SetUp();
    BoardAndDataFilter();
  }
  void BoardAndDataFilter() {
    mAdv = AdapterAdv("101", "boardA", "10.0.0.1", "");
    ASSERT_EQ(Up(kBoard, &mAdv), VQX_RESULT_API_OK);
    mhData = Filter({FilterSet(VQX_FILTER_MASK_MSG_ID | VQX_FILTER_MASK_ADAPTER, kDataId, kBoard)});
    ASSERT_NE(mhData, nullptr);
  }
  void TearDown() override {
    if (mhData != nullptr) VQXDestroyMsgFilterEx(mhLib, &mhData);
    HostLibTest::TearDown();
  }
  VQX_RESULT Up(u32 h, const VQX_GW_ADAPTER_ADV* pAdv) { return PathUp(mhLib, h, pAdv); }
  /* A message as the peer puts it on the wire. */
  VQX_MSG_HANDLE Wire(u32 un32Id, u32 un32Seq, u32 un32Word = 0, u32 un32Ack = 0, u16 un16Conn = 0, u32 un32Payload = 16) {
    VQX_MSG_HANDLE hMsg = NewMsg(un32Id, 0, un32Payload);
    hMsg->un32TxSeq = un32Seq;
    hMsg->un32PiggyAck = un32Ack;
    hMsg->un16ConnectionCount = un16Conn;
    memcpy(VQXMsgPayload(hMsg) + 8, &un32Word, 4);
    Locked(mhLib, [&] { EXPECT_EQ(VQXHostSwapMsgToSend(mhLib, hMsg), VQX_RESULT_OK); });
    return hMsg;
  }
  void Feed(u32 hPeer, VQX_MSG_HANDLE hMsg, u32 un32Size = 0, u32 fIsGw0 = 1) {
    void* ap[1] = {hMsg};
    const u32 aSize[1] = {un32Size != 0 ? un32Size : VQX_MSG_HEADER_SIZE + 16};
    u32 fStop = 0;
    VqxHostGwLibRxHandlerMultiple(mhLib, hPeer, fIsGw0, 1, ap, aSize, &fStop);
  }
  /* Words (payload byte 8) of the messages waiting on a filter (the data filter unless given). */
  std::vector<u32> Delivered(VQX_FILTER_HANDLE hFilter = nullptr, u32 hFrom = kBoard) {
    std::vector<u32> out;
    for (int i = 0; i < 1000; i++) {
      VQX_MSG_HANDLE hMsg = nullptr;
      if (VQXReceiveMsg(mhLib, hFilter != nullptr ? hFilter : mhData, 0, &hMsg) != VQX_RESULT_API_OK) break;
      u32 w;
      memcpy(&w, VQXMsgPayload(hMsg) + 8, 4);
      EXPECT_EQ(hMsg->hAdapter, hFrom);
      EXPECT_EQ(VQXTestMsgEx(mhLib, hMsg, 0, 0), VQX_RESULT_API_OK) << "a delivered header is whole";
      out.push_back(w);
      VQXReleaseMsgEx(mhLib, &hMsg);
    }
    return out;
  }
  VQX_PEER* Peer(u32 h) { return PeerOf(mhLib, h); }
  VQX_GW_ADAPTER_ADV mAdv{};
  VQX_FILTER_HANDLE mhData = nullptr;
};

/* Sequence rows, fed in turn to one board: tests/data/rx_sequence.txt. */
TEST_F(RxTest, SequenceNumbersTable) {
  u32 un32Word = 0;
  for (const auto& row : DataRows("rx_sequence.txt")) {
    SCOPED_TRACE(row.at(5));
    if (DataNum(row[4]) != 0) Peer(kBoard)->un32RxSeq = static_cast<u32>(DataNum(row[4]));
    Feed(kBoard, Wire(kDataId, static_cast<u32>(DataNum(row[0])), ++un32Word));
    EXPECT_EQ(Delivered(), row[1] == "yes" ? std::vector<u32>{un32Word} : std::vector<u32>{});
    EXPECT_EQ(Peer(kBoard)->un64SeqLost, DataNum(row[2]));
    EXPECT_EQ(Peer(kBoard)->un64RxMsgRedundant, DataNum(row[3]));
  }
  EXPECT_TRUE(mLog.WaitFor("message(s) lost (expected sequence 3, received 5), resynchronising"));
  EXPECT_TRUE(mLog.WaitFor("3 message(s) lost (expected sequence 4294967294, received 2), resynchronising"));
  _VQX_LIB_STATS stats = LibStats(mhLib);
  EXPECT_EQ(stats.RxMsgRedundant, 3u);
  EXPECT_EQ(stats.RxMsg, 9u);
}

/*
 * A board of build 799 (the last that does not retransmit) on both paths: messages that overtook their
 * predecessor on the other path are held per path and delivered in order once it comes (tests/data/
 * rx_sequence_older.txt); then what is held too long, what a run that fills up holds, and what is held
 * when the board goes are delivered with the missing ones counted lost; what is held at close is dropped
 * and told. The clock is the test's.
 */
TEST_F(RxTest, OlderBoardsMessagesAheadAreHeldUntilTheGapFills) {
  constexpr u32 kOld = 0xCA000303u;
  HeldClock clock; /* the system's clock again however the test ends */
  u64 un64Ms = 0;
  const VQX_GW_ADAPTER_ADV adv = AdapterAdv("303", "boardOld", "10.0.0.3", "10.1.0.3", 799);
  ASSERT_EQ(PathUp(mhLib, kOld, &adv, nullptr, 1), VQX_RESULT_API_OK);
  ASSERT_EQ(PathUp(mhLib, kOld, &adv, nullptr, 0), VQX_RESULT_API_OK);
  VQX_FILTER_HANDLE hOld = Filter({FilterSet(VQX_FILTER_MASK_MSG_ID | VQX_FILTER_MASK_ADAPTER, kDataId, kOld)});
  ASSERT_NE(hOld, nullptr);
  auto held = [&] {
    return std::to_string(Peer(kOld)->aun32HeldCount[0]) + " " + std::to_string(Peer(kOld)->aun32HeldCount[1]);
  };
  auto feed = [&](u32 fIsGw0, u32 un32Seq, u32 un32Word) { Feed(kOld, Wire(kDataId, un32Seq, un32Word), 0, fIsGw0); };
  u32 un32Row = 0;
  for (const auto& row : DataRows("rx_sequence_older.txt")) {
    SCOPED_TRACE(row.at(6));
    feed(row[0] == "gw0", static_cast<u32>(DataNum(row[1])), ++un32Row);
    std::vector<u32> expected;
    if (row[2] != "-") {
      std::istringstream words(row[2]);
      for (u32 w; words >> w;) expected.push_back(w);
    }
    EXPECT_EQ(Delivered(hOld, kOld), expected);
    EXPECT_EQ(Peer(kOld)->un64SeqLost, DataNum(row[3]));
    EXPECT_EQ(Peer(kOld)->un64RxMsgRedundant, DataNum(row[4]));
    EXPECT_EQ(held(), row[5]);
  }
  EXPECT_TRUE(mLog.WaitFor("BUG! Double reception of message in the future from gw0!\n"));
  EXPECT_TRUE(mLog.WaitFor("303: 65535 message(s) lost (expected sequence 9, received 65544), resynchronising"));

  /* Held since the last row: the receive thread's check lets it wait 1000 ms, not more. */
  clock.Set(un64Ms += VQX_PEER_HELD_MAX_MS - 1);
  EXPECT_TRUE(Locked(mhLib, [&] { return VqxPeerHeldExpire(mhLib); })) << "still held";
  EXPECT_TRUE(Delivered(hOld, kOld).empty());
  clock.Set(un64Ms += 1);
  EXPECT_FALSE(Locked(mhLib, [&] { return VqxPeerHeldExpire(mhLib); })) << "nothing held any more";
  EXPECT_EQ(Delivered(hOld, kOld), std::vector<u32>{un32Row});
  EXPECT_EQ(Peer(kOld)->un64SeqLost, 65537u + 65533u);
  EXPECT_TRUE(mLog.WaitFor("303: 65533 message(s) lost (expected sequence 65545, received 131078), resynchronising"));

  /* A run that fills up is not waited for. */
  u32 un32Seq = 131078;
  for (u32 i = 0; i < VQX_PEER_HELD_MAX; i++) feed(0, un32Seq + 2 + i, 1000 + i);
  std::vector<u32> run(VQX_PEER_HELD_MAX);
  for (u32 i = 0; i < VQX_PEER_HELD_MAX; i++) run[i] = 1000 + i;
  EXPECT_EQ(Delivered(hOld, kOld), run);
  EXPECT_EQ(held(), "0 0");
  un32Seq += 1 + VQX_PEER_HELD_MAX;

  /* Held when a path goes: kept while the other stays up; the last path gone delivers it before the removal. */
  feed(1, un32Seq + 2, 7);
  Locked(mhLib, [&] { VqxHostAdapterDown(mhLib, kOld, 1, VQX_PEER_CAUSE_CLOSED); });
  EXPECT_EQ(held(), "1 0");
  Locked(mhLib, [&] { VqxHostAdapterDown(mhLib, kOld, 0, VQX_PEER_CAUSE_CLOSED); });
  EXPECT_EQ(Delivered(hOld, kOld), std::vector<u32>{7});
  EXPECT_EQ(held(), "0 0");

  /* Build 800 retransmits: its gaps are not waited for, as from every newer peer. */
  constexpr u32 kNewer = 0xCA000304u;
  const VQX_GW_ADAPTER_ADV adv800 = AdapterAdv("304", "board800", "10.0.0.4", "10.1.0.4", 800);
  ASSERT_EQ(PathUp(mhLib, kNewer, &adv800, nullptr, 1), VQX_RESULT_API_OK);
  VQX_FILTER_HANDLE h800 = Filter({FilterSet(VQX_FILTER_MASK_MSG_ID | VQX_FILTER_MASK_ADAPTER, kDataId, kNewer)});
  ASSERT_NE(h800, nullptr);
  Feed(kNewer, Wire(kDataId, 1, 1));
  Feed(kNewer, Wire(kDataId, 3, 3), 0, 0);
  EXPECT_EQ(Delivered(h800, kNewer), (std::vector<u32>{1, 3}));
  EXPECT_EQ(Peer(kNewer)->un64SeqLost, 1u);
  EXPECT_EQ(Peer(kNewer)->aun32HeldCount[1], 0u);
  VQXDestroyMsgFilterEx(mhLib, &h800);

  /* Held at close: dropped, counted and told. */
  ASSERT_EQ(PathUp(mhLib, kOld, &adv, nullptr, 1), VQX_RESULT_API_OK);
  feed(1, 1, 8);
  feed(1, 3, 9);
  EXPECT_EQ(Delivered(hOld, kOld), std::vector<u32>{8});
  EXPECT_EQ(held(), "1 0");
  VQXDestroyMsgFilterEx(mhLib, &hOld);
  Reopen([](_VQX_LIB_PARAMS&) {});
  EXPECT_TRUE(mLog.WaitFor("303: 1 message(s) held ahead of their sequence dropped\n"));
  BoardAndDataFilter();
}

TEST_F(RxTest, AcknowledgementsAndConnectionCount) {
  Feed(kBoard, Wire(0x020D0012u, 0, 0, 77));
  EXPECT_TRUE(Delivered().empty());
  EXPECT_EQ(Peer(kBoard)->un32PeerAckSeq, 77u);
  EXPECT_EQ(Peer(kBoard)->un64RxPureAck, 1u);
  /* An older acknowledgement never lowers the mark. */
  Feed(kBoard, Wire(kDataId, 0, 1, 50));
  EXPECT_EQ(Peer(kBoard)->un32PeerAckSeq, 77u);
  EXPECT_EQ(Delivered().size(), 1u);

  Feed(kBoard, Wire(kDataId, 10, 2, 0, 5));
  EXPECT_EQ(Delivered(), std::vector<u32>{2}) << "first connection count: stored, numbering starts there";
  Feed(kBoard, Wire(kDataId, 11, 3, 0, 5));
  EXPECT_EQ(Delivered(), std::vector<u32>{3});
  EXPECT_EQ(Peer(kBoard)->un32RxUnacked, 2u);
  Feed(kBoard, Wire(kDataId, 1, 4, 0, 6));
  EXPECT_TRUE(Delivered().empty()) << "a new connection count: dropped, numbering reset";
  EXPECT_TRUE(mLog.WaitFor("WARNING: Adapter un16ConnectionCount changed 5 -> 6. Reseting sequence numbering.\n"));
  Feed(kBoard, Wire(kDataId, 2, 5, 0, 6));
  EXPECT_TRUE(Delivered().empty()) << "the stored count stays: the next of the new count is dropped too";
  EXPECT_EQ(Peer(kBoard)->un16RxConnectionCount, 5u);
  EXPECT_EQ(LibStats(mhLib).RxMsgNotQueued, 2u) << "both drops of the new count are counted";
  /* The links dropped and made again: the new count is taken from its first message. */
  Locked(mhLib, [&] { VqxHostAdapterDown(mhLib, kBoard, 1, 3); });
  ASSERT_EQ(Up(kBoard, &mAdv), VQX_RESULT_API_OK);
  Feed(kBoard, Wire(kDataId, 3, 6, 0, 6));
  EXPECT_EQ(Delivered(), std::vector<u32>{6});
  EXPECT_EQ(Peer(kBoard)->un16RxConnectionCount, 6u);
}

/* A path that cannot hold (its store not to be had): the message ahead is
 * delivered past its gap, counted, rather than taken and never seen again. */
TEST_F(RxTest, OlderBoardsMessageAheadWithNoRoomToHoldIsDeliveredPastItsGap) {
  constexpr u32 kOld = 0xCA000305u;
  const VQX_GW_ADAPTER_ADV adv = AdapterAdv("305", "boardNoRoom", "10.0.0.5", "10.1.0.5", 799);
  ASSERT_EQ(PathUp(mhLib, kOld, &adv, nullptr, 1), VQX_RESULT_API_OK);
  ASSERT_EQ(PathUp(mhLib, kOld, &adv, nullptr, 0), VQX_RESULT_API_OK);
  VQX_FILTER_HANDLE hOld = Filter({FilterSet(VQX_FILTER_MASK_MSG_ID | VQX_FILTER_MASK_ADAPTER, kDataId, kOld)});
  ASSERT_NE(hOld, nullptr);
  Feed(kOld, Wire(kDataId, 1, 1), 0, 1);
  EXPECT_EQ(Delivered(hOld, kOld), std::vector<u32>{1});
  /* The hold's store refuses the next message, as when its allocation fails. */
  Locked(mhLib, [&] { Peer(kOld)->aun32HeldFirst[0] = VQX_PEER_HELD_MAX; });
  Feed(kOld, Wire(kDataId, 3, 3), 0, 1);
  Locked(mhLib, [&] { Peer(kOld)->aun32HeldFirst[0] = 0; });
  EXPECT_EQ(Delivered(hOld, kOld), std::vector<u32>{3});
  EXPECT_EQ(Peer(kOld)->un64SeqLost, 1u);
  EXPECT_EQ(Peer(kOld)->aun32HeldCount[0], 0u);
  VQXDestroyMsgFilterEx(mhLib, &hOld);
}

/*
 * An older peer's header (payload start below 88), as it comes off the wire: widened before anything reads
 * header words 64 to 87, which for it are payload. Its payload holds what would read as sequence 5, a
 * fragment, connection count 7 and acknowledgement 9: all must arrive untouched, none consumed.
 */
TEST_F(RxTest, OlderPeersShortHeaderIsWidenedBeforeItIsRead) {
  const u8 abyWords[24] = {0, 0, 0, 5, 0xDB, 0, 0xDB, 0, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18,
                           0x80, 0x03, 0x00, 0x07, 0, 0, 0, 9};
  const struct { const char* pszName; u32 un32Start; u32 un32Payload; } rows[] = {
      {"64-byte header, 24 payload bytes where the 88-byte header has its last words", 64, 24},
      {"64-byte header, 32 payload bytes", 64, 32},
      {"72 bytes in all: shorter than an 88-byte header", 64, 8},
      {"40-byte header", 40, 24},
  };
  const u32 un32Live = LiveCount();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.pszName);
    const u32 un32Len = row.un32Start + row.un32Payload;
    u8* pby = static_cast<u8*>(VqxBufMalloc(mhLib, un32Len, 0, __FILE__, __LINE__));
    ASSERT_NE(pby, nullptr);
    memset(pby, 0, un32Len);
    const u32 aun32Be[6] = {htobe32(kDataId), htobe32(VQX_MSG_TYPE_EVENT), htobe32(un32Len), htobe32(row.un32Payload),
                            htobe32(row.un32Payload), htobe32(row.un32Start)};
    memcpy(pby, aun32Be, sizeof(aun32Be));
    for (u32 i = 0; i < row.un32Payload; i++) pby[row.un32Start + i] = i < 24 ? abyWords[i] : static_cast<u8>(0xA0 + i);
    Feed(kBoard, static_cast<VQX_MSG_HANDLE>(static_cast<void*>(pby)), un32Len);
    VQX_MSG_HANDLE hGot = nullptr;
    ASSERT_EQ(VQXReceiveMsg(mhLib, mhData, 0, &hGot), VQX_RESULT_API_OK) << "delivered";
    EXPECT_EQ((std::vector<u32>{hGot->un32Length, hGot->un32PayloadStart, hGot->un32PayloadLength,
                                hGot->un32PayloadMaxLength, hGot->un32TxSeq, hGot->un16FragInfo,
                                hGot->un16ConnectionCount, hGot->un32PiggyAck, hGot->hAdapter}),
              (std::vector<u32>{88 + row.un32Payload, 88, row.un32Payload, row.un32Payload, 0, 0, 0, 0, kBoard}));
    for (u32 i = 8; i < row.un32Payload; i++) {
      EXPECT_EQ(VQXMsgPayload(hGot)[i], i < 24 ? abyWords[i] : static_cast<u8>(0xA0 + i)) << i;
    }
    EXPECT_EQ(VQXTestMsgEx(mhLib, hGot, 0, 0), VQX_RESULT_API_OK) << "a whole 88-byte header";
    VQXReleaseMsgEx(mhLib, &hGot);
    EXPECT_EQ((std::vector<u64>{Peer(kBoard)->un32RxSeq, Peer(kBoard)->un32PeerAckSeq,
                                Peer(kBoard)->un16RxConnectionCount, Peer(kBoard)->un64SeqLost}),
              (std::vector<u64>{0, 0, 0, 0}))
        << "no sequence, acknowledgement or connection count read from the payload";
  }
  EXPECT_EQ(LiveCount(), un32Live) << "the received buffers are freed once widened";
}

/* A remote-filter request from a board, through the real send path: refused with its one line, no answer
 * queued for the board, no error of the send path, nothing leaked. */
TEST_F(RxTest, RemoteFilterRequestFromABoardIsRefusedUnanswered) {
  const u32 un32Live = LiveCount();
  const u32 un32Queued = Peer(kBoard)->un32SendFifoCount; /* our own filters, sent at path up */
  VQX_MSG_HANDLE hMsg = NewMsg(0x020D0100u, 0, 528, VQX_MSG_TYPE_REQUEST);
  const u32 un32Version = 5;
  memcpy(VQXMsgPayload(hMsg) + 8, &un32Version, 4);
  Locked(mhLib, [&] { EXPECT_EQ(VQXHostSwapMsgToSend(mhLib, hMsg), VQX_RESULT_OK); });
  Feed(kBoard, hMsg, VQX_MSG_HEADER_SIZE + 528);
  EXPECT_TRUE(mLog.WaitFor("VqxRemoteHostFiltersClear: Error: Not supposed to recevie this msg from an adapter\n"));
  EXPECT_EQ(mLog.Count("can't send 'response' to adapter"), 0u);
  EXPECT_EQ(Peer(kBoard)->un32SendFifoCount, un32Queued) << "no answer queued";
  EXPECT_EQ(LiveCount(), un32Live) << "the request is freed";
}

/* The pending-acknowledgement flag (the receive thread's 10 ms pace) is up only past 16383 unacknowledged. */
TEST_F(RxTest, PendingAcknowledgementOnlyPast16383Unacknowledged) {
  const struct { u32 un32UnackedBefore; u8 fPending; } rows[] = {{0, 0}, {16381, 0}, {16382, 0}, {16383, 1}};
  u32 un32Seq = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.un32UnackedBefore);
    Peer(kBoard)->un32RxUnacked = row.un32UnackedBefore;
    un32Seq++;
    Feed(kBoard, Wire(kDataId, un32Seq, un32Seq));
    EXPECT_EQ(Delivered().size(), 1u);
    EXPECT_EQ(Peer(kBoard)->un32RxUnacked, row.un32UnackedBefore + 1);
    EXPECT_EQ(Peer(kBoard)->fPendingAck, row.fPending);
    Locked(mhLib, [&] { EXPECT_EQ(VqxPeerLib(mhLib)->un32NbPendingAck, u32{row.fPending}); });
  }
}

/* Wire headers that do not fit the bytes received (104 for a 16-byte payload unless said): dropped, nothing leaked. */
TEST_F(RxTest, HeadersBeyondTheBytesReceivedAndUnknownPeersAreDropped) {
  const struct { const char* pszName; size_t off; u32 un32Value; u32 un32Size; const char* pszLine; } rows[] = {
      {"shorter than the size words", SIZE_MAX, 0, 20, "message of 20 bytes is shorter than its header, dropped"},
      {"88-byte header in 40 bytes", SIZE_MAX, 0, 40, "with sizes beyond its 40 bytes, dropped"},
      {"payload start inside the size words", offsetof(_VQX_MSG_HEADER, un32PayloadStart), 20, 104, "with sizes beyond its 104 bytes, dropped"},
      {"length past the bytes", SIZE_MAX, 0, 96, "with sizes beyond its 96 bytes, dropped"},
      {"payload start + size past the end", offsetof(_VQX_MSG_HEADER, un32PayloadStart), 96, 104, "with sizes beyond its 104 bytes, dropped"},
      {"payload start + size wraps", offsetof(_VQX_MSG_HEADER, un32PayloadStart), 0xFFFFFFF8u, 104, "with sizes beyond its 104 bytes, dropped"},
      {"payload size past the end", offsetof(_VQX_MSG_HEADER, un32PayloadLength), 17, 104, "with sizes beyond its 104 bytes, dropped"},
      {"maximum size past the end", offsetof(_VQX_MSG_HEADER, un32PayloadMaxLength), 17, 104, "with sizes beyond its 104 bytes, dropped"},
  };
  const u32 un32Live = VqxBufLiveCount(mhLib);
  HeldClock clock;
  u64 un64Ms = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.pszName);
    mLog.Clear();
    clock.Set(un64Ms += 1000); /* a second apart: each kind of line is logged once a second */
    VQX_MSG_HANDLE hMsg = Wire(kDataId, 1, 1);
    if (row.off != SIZE_MAX) Wr32(reinterpret_cast<u8*>(hMsg), row.off, htobe32(row.un32Value));
    Feed(kBoard, hMsg, row.un32Size);
    EXPECT_TRUE(mLog.WaitFor(row.pszLine));
    EXPECT_TRUE(Delivered().empty());
    EXPECT_EQ(Peer(kBoard)->un32RxSeq, 0u) << "dropped messages leave the numbering alone";
  }
  Feed(0xCA00DEADu, Wire(kDataId, 0, 3));
  EXPECT_TRUE(mLog.WaitFor("VqxHostGwLibRxHandler: Unknown peer handle!\n"));
  EXPECT_EQ(LiveCount(), un32Live) << "nothing leaked";
}

/* A stream of bad headers: each kind of line once a second, those left out counted on the next line
 * of the kind, or on a line of their own from the log thread once the second is over. */
TEST_F(RxTest, AStreamOfBadHeadersLogsEachKindOnceASecond) {
  constexpr const char* kShort = "VqxHostGwLibRxHandler: 101: message of 20 bytes is shorter than its header, dropped";
  constexpr const char* kSizes = "VqxHostGwLibRxHandler: 101: message 0x03000001 with sizes beyond its 96 bytes, dropped";
  const struct { u64 un64Ms; u32 nShort, nSizes; size_t nShortLines, nSizesLines; const char* pszLast; } rows[] = {
      {0, 1000, 1000, 1, 1, "\n"},
      {999, 0, 1, 1, 1, nullptr},                                        /* within the second: counted */
      {1000, 0, 1, 1, 2, " (1000 similar line(s) left out)\n"},   /* its second over: logged, 1000 told */
      {1500, 0, 5, 1, 2, nullptr},
  };
  const u32 un32Live = VqxBufLiveCount(mhLib);
  HeldClock clock;
  u32 un32Marks = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.un64Ms);
    std::vector<VQX_MSG_HANDLE> ahShort, ahSizes;
    for (u32 i = 0; i < row.nShort; i++) ahShort.push_back(Wire(kDataId, 1, 1));
    for (u32 i = 0; i < row.nSizes; i++) ahSizes.push_back(Wire(kDataId, 1, 1));
    /* The clock set and the stream fed in one hold of the lock: the log thread's pass comes before or after. */
    Locked(mhLib, [&] {
      clock.Set(row.un64Ms);
      for (VQX_MSG_HANDLE h : ahShort) Feed(kBoard, h, 20);
      for (VQX_MSG_HANDLE h : ahSizes) Feed(kBoard, h, 96);
      Feed(0xCA00DEADu, Wire(kDataId, 0, 3)); /* a mark: the lines before it are printed when it is */
    });
    ASSERT_TRUE(mLog.WaitFor("Unknown peer handle!", 3000, ++un32Marks));
    EXPECT_EQ(mLog.Count(kShort), row.nShortLines);
    EXPECT_EQ(mLog.Count(kSizes), row.nSizesLines);
    if (row.pszLast != nullptr) {
      EXPECT_EQ(mLog.Count((std::string(kSizes) + row.pszLast).c_str()), 1u);
    }
  }
  EXPECT_TRUE(Delivered().empty());
  EXPECT_EQ(Peer(kBoard)->un32RxSeq, 0u);
  /* Once their second is over, the log thread tells the counts still held. */
  clock.Set(2500);
  EXPECT_TRUE(mLog.WaitFor("VqxHostGwLibRxHandler: message with sizes beyond its bytes: 5 similar line(s) left out\n"));
  EXPECT_TRUE(mLog.WaitFor("VqxHostGwLibRxHandler: message shorter than its header: 999 similar line(s) left out\n"));
  EXPECT_EQ(LiveCount(), un32Live) << "nothing leaked";
}

/* What a batch holds after the transport's stop request is dropped, counted, and nothing of it leaks. */
TEST_F(RxTest, MessagesAfterAStopRequestAreCountedAndFreed) {
  const u32 un32Live = VqxBufLiveCount(mhLib);
  void* ap[2] = {Wire(kDataId, 1, 1), Wire(kDataId, 2, 2)};
  const u32 aSize[2] = {VQX_MSG_HEADER_SIZE + 16, VQX_MSG_HEADER_SIZE + 16};
  u32 fStop = 1;
  VqxHostGwLibRxHandlerMultiple(mhLib, kBoard, 1, 2, ap, aSize, &fStop);
  EXPECT_TRUE(Delivered().empty());
  EXPECT_EQ(LibStats(mhLib).RxMsgNotQueued, 2u);
  EXPECT_EQ(LibStats(mhLib).RxMsg, 0u);
  EXPECT_EQ(Peer(kBoard)->un32RxSeq, 0u) << "dropped messages leave the numbering alone";
  EXPECT_EQ(LiveCount(), un32Live) << "nothing leaked";
  /* The next batch without the request is delivered as usual. */
  Feed(kBoard, Wire(kDataId, 1, 3));
  EXPECT_EQ(Delivered(), std::vector<u32>{3});
  EXPECT_EQ(LibStats(mhLib).RxMsgNotQueued, 2u);
}

/* A peer's maximum short of its length (payload inside both): delivered with the capacity the length gives. */
TEST_F(RxTest, MaximumShortOfTheLengthIsDeliveredWhole) {
  VQX_MSG_HANDLE hMsg = Wire(kDataId, 1, 7);
  Wr32(reinterpret_cast<u8*>(hMsg), offsetof(_VQX_MSG_HEADER, un32PayloadLength), htobe32(12));
  Wr32(reinterpret_cast<u8*>(hMsg), offsetof(_VQX_MSG_HEADER, un32PayloadMaxLength), htobe32(12));
  Feed(kBoard, hMsg);
  EXPECT_EQ(Delivered(), std::vector<u32>{7});
}

TEST_F(RxTest, TwoPeersFedConcurrentlyWhileReadersTake) {
  VQX_GW_ADAPTER_ADV adv2 = AdapterAdv("202", "boardB", "10.0.0.2", "");
  ASSERT_EQ(Up(kBoard2, &adv2), VQX_RESULT_API_OK);
  VQX_FILTER_HANDLE hData2 = Filter({FilterSet(VQX_FILTER_MASK_MSG_ID | VQX_FILTER_MASK_ADAPTER, kDataId, kBoard2)});
  ASSERT_NE(hData2, nullptr);
  constexpr u32 kCount = 2000;
  /* Messages are made before the feeders start (allocation takes the same lock). */
  std::vector<VQX_MSG_HANDLE> a, b;
  for (u32 i = 1; i <= kCount; i++) {
    a.push_back(Wire(kDataId, i, i));
    b.push_back(Wire(kDataId, i, i));
  }
  auto feeder = [this](u32 hPeer, const std::vector<VQX_MSG_HANDLE>* pMsgs) {
    for (VQX_MSG_HANDLE hMsg : *pMsgs) Feed(hPeer, hMsg);
  };
  std::atomic<bool> fOrderOk{true};
  auto reader = [&](VQX_FILTER_HANDLE hFilter, u32* pun32Got) {
    u32 un32Next = 1;
    for (int spins = 0; spins < 2000 && *pun32Got < kCount; spins++) {
      u32 n = 0;
      VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
      if (VQXReceiveMsgMultiple(mhLib, hFilter, 10, &n, ah) != VQX_RESULT_API_OK) continue;
      for (u32 k = 0; k < n; k++) {
        u32 w;
        memcpy(&w, VQXMsgPayload(ah[k]) + 8, 4);
        if (w != un32Next++) fOrderOk = false;
        VQXReleaseMsgEx(mhLib, &ah[k]);
      }
      *pun32Got += n;
    }
  };
  u32 un32GotA = 0, un32GotB = 0;
  std::thread ra(reader, mhData, &un32GotA);
  std::thread rb(reader, hData2, &un32GotB);
  std::thread fa(feeder, kBoard, &a);
  std::thread fb(feeder, kBoard2, &b);
  fa.join();
  fb.join();
  ra.join();
  rb.join();
  EXPECT_EQ(un32GotA, kCount);
  EXPECT_EQ(un32GotB, kCount);
  EXPECT_TRUE(fOrderOk.load());
}

/* Receive fifo of 2: every message from a peer with two or more unread pauses the reading thread 100 ms. */
class RxOverflowTest : public RxTest {
 protected:
  void SetUp() override {}
  void Open(bool fCallback, u32 un32Fifo = 2, u32 un32SendFifo = 0) {
    Reopen([&](_VQX_LIB_PARAMS& p) {
      p.un32ReceiveFifoSize = un32Fifo;
      if (un32SendFifo != 0) p.un32SendFifoSize = un32SendFifo;
      p.pFctStatusCallback = fCallback ? StatusLog::OnStatus : nullptr;
      p.pvStatusContext = &mOverflow;
    });
    BoardAndDataFilter();
  }
  /* Milliseconds one message takes to be handed over. */
  long FeedMs(u32 un32Word) {
    VQX_MSG_HANDLE hMsg = Wire(kDataId, 0, un32Word);
    const auto t0 = std::chrono::steady_clock::now();
    Feed(kBoard, hMsg);
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
  }
  StatusLog mOverflow;
};

TEST_F(RxOverflowTest, UnreadMessagesPauseTheReaderWithoutACallback) {
  Open(false);
  _VQX_LIB_STATS stats{};
  FeedMs(1);
  ASSERT_EQ(VQXLibGetStats(mhLib, &stats), VQX_RESULT_API_OK);
  EXPECT_EQ(stats.RxOverflow, 0u) << "one waiting";
  EXPECT_GE(FeedMs(2), 95) << "two waiting, itself included";
  EXPECT_GE(FeedMs(3), 95);
  EXPECT_EQ(Delivered().size(), 3u) << "paused, not dropped";
  FeedMs(4);
  ASSERT_EQ(VQXLibGetStats(mhLib, &stats), VQX_RESULT_API_OK);
  EXPECT_EQ(stats.RxOverflow, 2u) << "read: no more pause";
}

/* The status callback hears of the overflow (cause, count, peer); its answer is applied: nothing, a
 * disconnection, or the peer's unread messages flushed before the disconnection. */
TEST_F(RxOverflowTest, TheCallbackHearsOfItAndItsAnswerIsApplied) {
  const struct { const char* pszName; u32 un32Answer; size_t nLeft; } rows[] = {
      {"nothing", 0, 2}, {"disconnect", 1, 2}, {"flush, then disconnect", 2, 0}};
  for (const auto& r : rows) {
    if (mhData != nullptr) VQXDestroyMsgFilterEx(mhLib, &mhData);
    Open(true);
    mOverflow.un32Answer = r.un32Answer;
    FeedMs(1);
    FeedMs(2);
    {
      std::lock_guard<std::mutex> guard(mOverflow.Mutex);
      ASSERT_EQ(mOverflow.Events.size(), 1u) << r.pszName;
      const _VQX_LIB_ERROR_INFO& e = mOverflow.Events.back();
      EXPECT_EQ((std::vector<u32>{e.un32Cause, e.un32MsgCount, e.hAdapter}),
                (std::vector<u32>{VQX_LIB_STATUS_RX_OVERFLOW, 2, kBoard})) << r.pszName;
      mOverflow.Events.clear();
    }
    EXPECT_EQ(Delivered().size(), r.nLeft) << r.pszName;
  }
}

/*
 * A thread waiting for room in a peer's send fifo keeps that peer's reading going (the receive fifo of 2 full, as
 * above): no pause is taken while one waits on the board, and one under way ends once a sender begins to wait; a
 * sender waiting on another board or on a remote host leaves the board's pause as it is. Nothing is dropped; the
 * library's close lets out the sender a row leaves waiting.
 */
TEST_F(RxOverflowTest, ASenderWaitingForRoomKeepsItsTransportReading) {
  constexpr u32 kHost = 0xCB000011u, kSendFifo = 12;
  const struct { const char* pszWhat; u32 hWaitOn; bool fDuringPause, fPaused; } rows[] = {
      {"nobody waits", 0, false, true},
      {"a sender waits on the board", kBoard, false, false},
      {"a sender begins to wait on the board during the pause", kBoard, true, false},
      {"a sender waits on another board", kBoard2, false, true},
      {"a sender waits on a host", kHost, false, true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.pszWhat);
    if (mhData != nullptr) VQXDestroyMsgFilterEx(mhLib, &mhData);
    Open(false, 2, kSendFifo);
    const VQX_GW_HOST_ADV adv = HostAdv("hostA", "appA", 0x11, 0x00600000);
    const VQX_GW_ADAPTER_ADV adv2 = AdapterAdv("202", "boardB", "10.0.0.2", "");
    ASSERT_EQ(PathUp(mhLib, kHost, nullptr, &adv), VQX_RESULT_API_OK);
    ASSERT_EQ(PathUp(mhLib, kBoard2, &adv2), VQX_RESULT_API_OK);
    std::atomic<VQX_RESULT> sent{0};
    std::optional<peerwait::BoundedThread> sender;
    const auto Wait = [&] {
      sender.emplace([&] { sent = Send(kDataId, r.hWaitOn, 8, VQX_MSG_TYPE_REQUEST); });
      ASSERT_TRUE(WaitUntil([&] { return Locked(mhLib, [&] { return VqxSendersWaiting(mhLib, r.hWaitOn == kHost); }); },
                            10000));
    };
    if (r.hWaitOn != 0) {
      const auto Fifo = [&] { return Locked(mhLib, [&] { return Peer(r.hWaitOn)->un32SendFifoCount; }); };
      while (Fifo() < kSendFifo) ASSERT_EQ(Send(kDataId, r.hWaitOn, 8, VQX_MSG_TYPE_REQUEST), VQX_RESULT_API_OK);
      if (!r.fDuringPause) Wait();
    }
    FeedMs(1);
    const peerwait::StallProbe probe;
    const auto t0 = std::chrono::steady_clock::now();
    std::thread feeder([&] { FeedMs(2); });
    if (r.fDuringPause) {
      ASSERT_TRUE(WaitUntil([&] { return LibStats(mhLib).RxOverflow == 1u; }, 10000)) << "the pause began";
      Wait();
    }
    feeder.join();
    const auto t1 = std::chrono::steady_clock::now();
    const long nMs = long(std::chrono::duration_cast<std::chrono::milliseconds>(t1 - t0).count());
    if (r.fPaused) {
      EXPECT_GE(nMs, 95);
    } else {
      EXPECT_LT(nMs, 50 + probe.HeldMs(t0, t1)) << "no pause, or one cut short";
    }
    EXPECT_EQ(Delivered().size(), 2u) << "nothing dropped";
    if (sender.has_value()) {
      mhData = nullptr; /* freed by the close (destroying it would tell the board, and wait for room too) */
      EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
      ASSERT_TRUE(sender->JoinWithin(10000)) << "the close let the sender out";
      EXPECT_EQ(sent.load(), VQX_RESULT_API_TXMSG_DROPPED);
    }
  }
}

/*
 * What a peer sends while a thread waits for room in its send fifo piles up only to a bound (the receive fifo, here
 * 2, and 16384 messages more): reached, the wait ends with the message dropped (0x82010218, counted, its line) and
 * the receive overflow pauses the reading again; a sender that comes then fails at once. Nothing received is dropped.
 */
TEST_F(RxOverflowTest, ASendersWaitEndsOnceItsPeersBacklogReachesItsBound) {
  constexpr u32 kSendFifo = 12, kBound = 2 + VQX_RX_WAIT_BACKLOG_EXTRA;
  HeldClock clock; /* the two dropped sends' lines within one second */
  Open(false, 2, kSendFifo);
  while (Locked(mhLib, [&] { return Peer(kBoard)->un32SendFifoCount; }) < kSendFifo)
    ASSERT_EQ(Send(kDataId, kBoard, 8, VQX_MSG_TYPE_REQUEST), VQX_RESULT_API_OK);
  std::atomic<VQX_RESULT> sent{0};
  peerwait::BoundedThread sender([&] { sent = Send(0x03000009, kBoard, 8, VQX_MSG_TYPE_REQUEST); });
  ASSERT_TRUE(WaitUntil([&] { return Locked(mhLib, [&] { return Peer(kBoard)->un32SendWaiters == 1u; }); }, 10000));
  std::vector<VQX_MSG_HANDLE> aFlood; /* made first: allocation takes the library lock too */
  for (u32 i = 1; i < kBound; i++) aFlood.push_back(Wire(kDataId, 0, i));
  const auto t0 = std::chrono::steady_clock::now();
  for (VQX_MSG_HANDLE hMsg : aFlood) Feed(kBoard, hMsg);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0).count(), 60)
      << "one short of the bound: read on (paused, each would take 100 ms)";
  EXPECT_EQ(sent.load(), 0u) << "still waiting";
  EXPECT_GE(FeedMs(kBound), 95) << "the bound: paused again";
  ASSERT_TRUE(sender.JoinWithin(10000)) << "the wait ended";
  EXPECT_EQ(sent.load(), VQX_RESULT_API_TXMSG_DROPPED);
  EXPECT_EQ(Send(0x0300000A, kBoard, 8, VQX_MSG_TYPE_REQUEST), VQX_RESULT_API_TXMSG_DROPPED) << "no wait past the bound";
  EXPECT_EQ(LibStats(mhLib).TxMsgDropped, 2u);
  EXPECT_TRUE(mLog.WaitFor("VqxMsgSendTo: Msg=0x03000009 to 101 dropped: 16386 messages it sent wait unread, its "
                           "reading paused\n"));
  EXPECT_EQ(mLog.Count("Msg=0x0300000A"), 0u) << "the second within the second is left out";
  EXPECT_GE(FeedMs(kBound + 1), 95) << "nobody waits: paused";
  EXPECT_EQ(Locked(mhLib, [&] { return Peer(kBoard)->un32SendWaiters; }), 0u);
  size_t nDelivered = 0;
  for (std::vector<u32> got = Delivered(); !got.empty() && nDelivered < kBound + 1; got = Delivered())
    nDelivered += got.size();
  EXPECT_EQ(nDelivered, kBound + 1) << "nothing received dropped";
  mhData = nullptr; /* freed by the close: its destroy would wait for room to tell the board */
  EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
}

/*
 * A batch of a coalescing queue kicked by a thread that keeps its refusals (VQXSetThreadSendRefusals): with the fifo
 * full its first message waits for room while the board's backlog grows, and at the bound the wait ends. Every message
 * of the batch comes back to its sender, in order, each with 0x82010218 and counted dropped, none freed unseen: the
 * sender can tell each one's own caller. A record of no room left frees what does not fit, as before.
 */
TEST_F(RxOverflowTest, ABatchDroppedAtTheBoundComesBackToItsSender) {
  constexpr u32 kSendFifo = 12, kBound = 2 + VQX_RX_WAIT_BACKLOG_EXTRA, kBatch = 5, kRoom = 4;
  Open(false, 2, kSendFifo);
  while (Locked(mhLib, [&] { return Peer(kBoard)->un32SendFifoCount; }) < kSendFifo)
    ASSERT_EQ(Send(kDataId, kBoard, 8, VQX_MSG_TYPE_REQUEST), VQX_RESULT_API_OK);
  VQX_COALESCING_QUEUE_PARAMS qp{kBatch, mhData, nullptr};
  VqxApiCoalescingQueue* pQueue = VqxApiCoalescingQueueCreate(mhLib, &qp);
  ASSERT_NE(pQueue, nullptr);
  for (u32 i = 0; i < kBatch; i++) {
    ASSERT_EQ(VqxApiCoalescingAddMsgInternal(mhLib, pQueue, NewMsg(0x03000010 + i, kBoard, 8, VQX_MSG_TYPE_REQUEST),
                                             __FILE__, __LINE__),
              VQX_RESULT_OK);
  }
  const u32 un32Live = LiveCount();
  VQX_MSG_HANDLE ah[kRoom] = {};
  VQX_RESULT aResult[kRoom] = {};
  VQX_SEND_REFUSALS Refusals{ah, aResult, kRoom, 0};
  std::atomic<VQX_RESULT> kicked{0};
  peerwait::BoundedThread sender([&] {
    VQX_SEND_REFUSALS* pBefore = VQXSetThreadSendRefusals(&Refusals);
    kicked = VqxApiCoalescingKickInternal(mhLib, pQueue, __FILE__, __LINE__);
    EXPECT_EQ(VQXSetThreadSendRefusals(pBefore), &Refusals);
  });
  ASSERT_TRUE(WaitUntil([&] { return Locked(mhLib, [&] { return Peer(kBoard)->un32SendWaiters == 1u; }); }, 10000));
  std::vector<VQX_MSG_HANDLE> aFlood; /* made first: allocation takes the library lock too */
  for (u32 i = 1; i <= kBound; i++) aFlood.push_back(Wire(kDataId, 0, i));
  for (VQX_MSG_HANDLE hMsg : aFlood) Feed(kBoard, hMsg);
  ASSERT_TRUE(sender.JoinWithin(10000)) << "the wait ended at the bound";
  EXPECT_EQ(kicked.load(), VQX_RESULT_API_TXMSG_DROPPED);
  ASSERT_EQ(Refusals.un32Count, kRoom);
  for (u32 i = 0; i < kRoom; i++) {
    EXPECT_EQ(ah[i]->un32MsgId, 0x03000010 + i) << i;
    EXPECT_EQ(aResult[i], VQX_RESULT_API_TXMSG_DROPPED) << i;
    EXPECT_EQ(VQXReleaseMsgEx(mhLib, &ah[i]), VQX_RESULT_OK) << "the sender's again: " << i;
  }
  EXPECT_EQ(LibStats(mhLib).TxMsgDropped, kBatch);
  EXPECT_EQ(VqxApiCoalescingQueueDestroy(mhLib, pQueue), VQX_RESULT_OK);
  size_t nDelivered = 0;
  for (std::vector<u32> got = Delivered(); !got.empty() && nDelivered < kBound; got = Delivered()) nDelivered += got.size();
  EXPECT_EQ(nDelivered, kBound) << "nothing received dropped";
  EXPECT_EQ(LiveCount(), un32Live - kBatch) << "the fifth, past the record's room, freed";
  mhData = nullptr; /* freed by the close: its destroy would wait for room to tell the board */
  EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
}

/* Remote hosts all together: their unread messages count against the receive fifo (6 here) as one peer's do, a
 * board's apart, so that hosts flooding at once pause the reading however few each has waiting; the high watermark
 * of their sum, (2 x 6 + 4) / 3 = 5, is told once, and its clearing at 3. Paused, nothing dropped.
 * Then with the default fifo (32768) the hosts' bound is smaller than a peer's: 2048 messages or 32 MiB of them,
 * whichever comes first (watermark at two thirds of either, cleared once both are at half); a pause for it ends
 * as soon as a reader took the backlog under the bound. */
TEST_F(RxOverflowTest, RemoteHostsTogetherPauseTheReaderPastTheFifo) {
  Open(false, 6);
  constexpr u32 kHostA = 0xCB000011u, kHostB = 0xCB000012u, kHostData = 0x03000002u;
  const VQX_GW_HOST_ADV advA = HostAdv("hostA", "appA", 0x11, 0x00600000), advB = HostAdv("hostB", "appB", 0x12, 0x00600000);
  ASSERT_EQ(PathUp(mhLib, kHostA, nullptr, &advA), VQX_RESULT_API_OK);
  ASSERT_EQ(PathUp(mhLib, kHostB, nullptr, &advB), VQX_RESULT_API_OK);
  VQX_FILTER_HANDLE hA = Filter({FilterSet(VQX_FILTER_MASK_MSG_ID | VQX_FILTER_MASK_ADAPTER, kHostData, kHostA)});
  VQX_FILTER_HANDLE hB = Filter({FilterSet(VQX_FILTER_MASK_MSG_ID | VQX_FILTER_MASK_ADAPTER, kHostData, kHostB)});
  ASSERT_TRUE(hA != nullptr && hB != nullptr);
  const auto Overflows = [&] { return LibStats(mhLib).RxOverflow; };
  constexpr const char* kPassed = "WARNING: High watermark passed for remote hosts (5 Rx msg pending in filters, max is 6)\n";
  const struct { const char* pszWhat; u32 hFrom; u32 un32Count; u64 un64Overflows; size_t nPassed; } rows[] = {
      {"a board's 5, its own bound", kBoard, 5, 0, 0},
      {"host A's 3", kHostA, 3, 0, 0},
      {"host B's 2: 5 in all", kHostB, 2, 0, 0},
      {"host B's 6th of the hosts", kHostB, 1, 1, 1},
      {"host A's 7th", kHostA, 1, 2, 1}};
  for (const auto& r : rows) {
    for (u32 i = 0; i < r.un32Count; i++) Feed(r.hFrom, Wire(r.hFrom == kBoard ? kDataId : kHostData, 0, i));
    EXPECT_EQ(Overflows(), r.un64Overflows) << r.pszWhat;
    EXPECT_EQ(mLog.Count(kPassed), r.nPassed) << r.pszWhat;
  }
  EXPECT_EQ(Delivered().size(), 5u);
  EXPECT_EQ(Delivered(hA, kHostA).size() + Delivered(hB, kHostB).size(), 7u) << "paused, not dropped";
  EXPECT_TRUE(mLog.WaitFor("NOTE: High watermark warning cleared for remote hosts (now down to 3 Rx msg pending in filters)\n"));
  Feed(kHostA, Wire(kHostData, 0, 9));
  EXPECT_EQ(Overflows(), 2u) << "read: no more pause";
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hA), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hB), VQX_RESULT_API_OK);

  /* The default fifo: rows of small messages (16 bytes), then of 4 MiB ones (header included), from hosts A and B
   * in turn, at the row's time; the watermark lines and the pauses (100 ms each with no reader) as each row ends.
   * Passed within a second of the last one told, the watermark is not told, nor its clearing. */
  HeldClock clock;
  VQXDestroyMsgFilterEx(mhLib, &mhData);
  Open(false, 32768);
  ASSERT_EQ(PathUp(mhLib, kHostA, nullptr, &advA), VQX_RESULT_API_OK);
  ASSERT_EQ(PathUp(mhLib, kHostB, nullptr, &advB), VQX_RESULT_API_OK);
  VQX_FILTER_HANDLE hHosts = Filter({FilterSet(VQX_FILTER_MASK_MSG_ID, kHostData, 0)});
  ASSERT_NE(hHosts, nullptr);
  constexpr u32 kBig = 4u << 20;
  const auto Take = [&](u32 n) {
    for (u32 i = 0; i < n; i++) {
      VQX_MSG_HANDLE hMsg = nullptr;
      if (VQXReceiveMsg(mhLib, hHosts, 0, &hMsg) != VQX_RESULT_API_OK) return i;
      VQXReleaseMsgEx(mhLib, &hMsg);
    }
    return n;
  };
  const auto Lines = [&](const char* psz) { return mLog.Count(psz); };
  constexpr const char* kBigPassed =
      "WARNING: High watermark passed for remote hosts (6 Rx msg pending in filters, max is 2048)\n";
  const struct {
    const char* pszWhat;
    u64 un64Ms;
    u32 hFrom, un32Count, un32Length, un32Take;
    u64 un64Overflows;
    const char* pszLine; /* told as the row ends (null: no new watermark line) */
  } big[] = {
      {"1366 small ones: the watermark reached", 0, kHostA, 1366, 0, 0, 0, nullptr},
      {"the 1367th passes it", 0, kHostB, 1, 0, 0, 0,
       "WARNING: High watermark passed for remote hosts (1366 Rx msg pending in filters, max is 2048)\n"},
      {"the 2048th: the bound, not the fifo's 32768", 0, kHostA, 681, 0, 0, 1, nullptr},
      {"read down to half", 0, 0, 0, 0, 1024, 1,
       "NOTE: High watermark warning cleared for remote hosts (now down to 1024 Rx msg pending in filters)\n"},
      {"the rest read", 0, 0, 0, 0, 1024, 1, nullptr},
      {"6 of 4 MiB: 24 MiB, over two thirds of 32 MiB", 999, kHostA, 6, kBig, 0, 1, nullptr},
      {"the 7th passes the watermark within the second: not told", 999, kHostB, 1, kBig, 0, 1, nullptr},
      {"the 8th: 32 MiB, the bound with 8 messages", 999, kHostB, 1, kBig, 0, 2, nullptr},
      {"read down to 16 MiB: cleared, not told either", 999, 0, 0, 0, 4, 2, nullptr},
      {"4 more a second later: passed and told, the bound again", 1000, kHostA, 4, kBig, 0, 3, kBigPassed}};
  size_t nLines = Lines("High watermark");
  for (const auto& r : big) {
    clock.Set(r.un64Ms);
    const size_t nBefore = r.pszLine != nullptr ? Lines(r.pszLine) : 0;
    for (u32 i = 0; i < r.un32Count; i++) {
      const u32 un32Payload = r.un32Length != 0 ? r.un32Length - VQX_MSG_HEADER_SIZE : 16;
      Feed(r.hFrom, Wire(kHostData, 0, i, 0, 0, un32Payload), VQX_MSG_HEADER_SIZE + un32Payload);
    }
    EXPECT_EQ(Take(r.un32Take), r.un32Take) << r.pszWhat;
    EXPECT_EQ(Overflows(), r.un64Overflows) << r.pszWhat;
    if (r.pszLine != nullptr) {
      EXPECT_TRUE(mLog.WaitFor(r.pszLine, 3000, nBefore + 1)) << r.pszWhat;
      nLines++;
    }
    EXPECT_EQ(Lines("High watermark"), nLines) << r.pszWhat;
  }
  /* Full (8 of 4 MiB): a 9th pauses the reading until a reader takes the backlog under the bound (2 taken, 28 MiB),
   * not for the whole 100 ms; nothing dropped. */
  const peerwait::StallProbe probe;
  std::atomic<long> nFedAtMs{-1};
  const auto t0 = std::chrono::steady_clock::now();
  const auto Ms = [&] {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
  };
  std::thread feeder([&] {
    Feed(kHostB, Wire(kHostData, 0, 0, 0, 0, kBig - VQX_MSG_HEADER_SIZE), kBig);
    nFedAtMs = Ms();
  });
  EXPECT_TRUE(WaitUntil([&] { return Overflows() == 4u; }, 10000)) << "the 9th pauses";
  EXPECT_EQ(Take(2), 2u);
  const long nTakenAtMs = Ms();
  feeder.join();
  EXPECT_LT(nFedAtMs.load() - nTakenAtMs, 50 + probe.WorstMs()) << "the pause ended once under the bound";
  EXPECT_EQ(Take(100), 7u) << "paused, not dropped";
  EXPECT_TRUE(
      mLog.WaitFor("NOTE: High watermark warning cleared for remote hosts (now down to 4 Rx msg pending in filters)\n"));
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hHosts), VQX_RESULT_API_OK);
}

std::atomic<u64> g_un64Offset{0};
u64 ShiftedClock() { return VqxClockReadSystem() + g_un64Offset.load(); }

/* A board gone while the application has not read all it sent: no reconnection for 60 s, then yes. */
TEST_F(RxTest, ReconnectionWaitsForUnreadMessagesAtMostAMinute) {
  Feed(kBoard, Wire(kDataId, 0, 1));
  Feed(kBoard, Wire(kDataId, 0, 2));
  EXPECT_EQ(VqxHostGwLibCanConnectTo(mhLib, kBoard), 1u) << "present: always";
  Locked(mhLib, [&] { VqxHostAdapterDown(mhLib, kBoard, 1, 3); });
  g_un64Offset = 0;
  VqxClockSetSource(ShiftedClock);
  EXPECT_EQ(VqxHostGwLibCanConnectTo(mhLib, kBoard), 0u) << "two messages still unread";
  g_un64Offset = 59000;
  EXPECT_EQ(VqxHostGwLibCanConnectTo(mhLib, kBoard), 0u);
  g_un64Offset = 60500;
  EXPECT_EQ(VqxHostGwLibCanConnectTo(mhLib, kBoard), 1u) << "waited long enough";
  EXPECT_TRUE(mLog.WaitFor("ERROR: Timeout waiting for application to read all messages from adapter 101\n"));
  EXPECT_TRUE(mLog.WaitFor("msg stillin filters).\n       Will allow reconnecting to adapter anyways.\n"));
  VqxClockSetSource(nullptr);
  EXPECT_EQ(Delivered().size(), 2u);
  EXPECT_EQ(VqxHostGwLibCanConnectTo(mhLib, kBoard), 1u) << "all read";
  EXPECT_EQ(VqxHostGwLibCanConnectTo(mhLib, 0xCA00DEADu), 1u) << "unknown: yes";
}

/* ---------------------------------------------- blocking receive across threads */

constexpr u32 kLocal = 0xDA000001u;
constexpr u32 kIdA = 0x06000001u;
constexpr u32 kIdB = 0x06000002u;

class ReceiveMtTest : public HostLibTest {
 protected:
  VQX_FILTER_HANDLE Id(u32 un32Id) { return Filter({FilterSet(VQX_FILTER_MASK_MSG_ID, un32Id)}); }
  /* Gives the filter a message-received callback (at most 4 messages a call). */
  void Callback(VQX_FILTER_HANDLE h, PFCT_VQX_FILTER_MSG_RECEIVED pFct, void* pvContext) {
    _VQX_FILTER_CALLBACK_PARAMS cb{};
    cb.pFctFilterMsgReceived = pFct;
    cb.pvFilterMsgReceivedContext = pvContext;
    cb.un32FilterMaxMsgPerCallback = 4;
    ASSERT_EQ(VQXModifyMsgFilter(mhLib, h, 0, nullptr, &cb), VQX_RESULT_API_OK);
  }
  /* Starts a reader blocked on the filter (10 s at most); its result lands in *pResult. */
  std::thread BlockedReader(VQX_FILTER_HANDLE h, std::atomic<VQX_RESULT>* pResult, VQX_MSG_HANDLE* phGot) {
    std::thread t([=, this] { *pResult = VQXReceiveMsg(mhLib, h, 10000, phGot); });
    EXPECT_TRUE(WaitBlocked(h, 1));
    return t;
  }
};

TEST_F(ReceiveMtTest, WakesReleaseReadersAndAreConsumedTogether) {
  VQX_FILTER_HANDLE h = Id(kIdA);
  std::atomic<VQX_RESULT> result{0};
  VQX_MSG_HANDLE hGot = nullptr;
  std::thread reader = BlockedReader(h, &result, &hGot);
  ASSERT_EQ(VQXWakeMsgFilter(mhLib, h), VQX_RESULT_API_OK);
  reader.join();
  EXPECT_EQ(result.load(), VQX_RESULT_API_FILTER_AWAKENED);
  EXPECT_EQ(hGot, nullptr);
  /* Two wakes are consumed together. */
  ASSERT_EQ(VQXWakeMsgFilter(mhLib, h), VQX_RESULT_API_OK);
  ASSERT_EQ(VQXWakeMsgFilter(mhLib, h), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 1000, &hGot), VQX_RESULT_API_FILTER_AWAKENED);
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 0, &hGot), VQX_RESULT_API_TIMEOUT);
  /* A wake does not hide a waiting message. */
  ASSERT_EQ(VQXWakeMsgFilter(mhLib, h), VQX_RESULT_API_OK);
  ASSERT_EQ(Send(kIdA, kLocal), VQX_RESULT_API_OK);
  ASSERT_EQ(VQXReceiveMsg(mhLib, h, 0, &hGot), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hGot), VQX_RESULT_OK);
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 0, &hGot), VQX_RESULT_API_FILTER_AWAKENED);
  u32 n = 9;
  ASSERT_EQ(VQXWakeMsgFilter(mhLib, h), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXWaitMsg(mhLib, h, 1000, &n), VQX_RESULT_API_FILTER_AWAKENED);
  EXPECT_EQ(n, 0u);
}

TEST_F(ReceiveMtTest, MessageReleasesAWaiterThatDoesNotTake) {
  VQX_FILTER_HANDLE h = Id(kIdA);
  u32 n = 0;
  std::atomic<VQX_RESULT> waitResult{0};
  std::thread waiter([&] { waitResult = VQXWaitMsg(mhLib, h, 10000, &n); });
  EXPECT_TRUE(WaitBlocked(h, 1));
  ASSERT_EQ(Send(kIdA, kLocal, 8, VQX_MSG_TYPE_EVENT, 42), VQX_RESULT_API_OK);
  waiter.join();
  EXPECT_EQ(waitResult.load(), VQX_RESULT_API_OK);
  EXPECT_EQ(n, 1u);
  VQX_MSG_HANDLE hGot = nullptr;
  ASSERT_EQ(VQXReceiveMsg(mhLib, h, 0, &hGot), VQX_RESULT_API_OK) << "the wait left it there";
  EXPECT_EQ(hGot->un64UserContext1, 42u);
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hGot), VQX_RESULT_OK);
}

TEST_F(ReceiveMtTest, SeveralSendersOneReaderNothingLost) {
  constexpr int kSenders = 4;
  constexpr u64 kPerSender = 5000;
  VQX_FILTER_HANDLE h = Id(kIdA);
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; s++) {
    senders.emplace_back([&, s] {
      for (u64 i = 0; i < kPerSender; i++) {
        ASSERT_EQ(Send(kIdA, kLocal, 8, VQX_MSG_TYPE_EVENT, (u64(s) << 32) | i), VQX_RESULT_API_OK);
      }
    });
  }
  std::vector<u64> next(kSenders, 0);
  u64 total = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (total < kSenders * kPerSender && std::chrono::steady_clock::now() < deadline) {
    VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
    u32 n = 0;
    if (VQXReceiveMsgMultiple(mhLib, h, 1000, &n, ah) != VQX_RESULT_API_OK) continue;
    for (u32 i = 0; i < n; i++) {
      const u32 s = static_cast<u32>(ah[i]->un64UserContext1 >> 32);
      EXPECT_EQ(ah[i]->un64UserContext1 & 0xFFFFFFFFu, next[s]++) << "sender " << s << ", in order";
      VQXReleaseMsgEx(mhLib, &ah[i]);
    }
    total += n;
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(total, kSenders * kPerSender);
  _VQX_FILTER_STATS stats;
  ASSERT_EQ(VQXLibGetFilterStats(mhLib, h, &stats), VQX_RESULT_API_OK);
  EXPECT_EQ(stats.un64MsgQueued, kSenders * kPerSender);
  EXPECT_EQ(stats.fLostMessages, 0u);
}

struct CallbackState {
  std::atomic<u32> un32Messages{0}, un32IdleCalls{0}, un32Calls{0};
};

/* Answers every message with one of id B back to this process. */
void OnMessages(void* pvContext, VQX_LIB_HANDLE, VQX_FILTER_HANDLE, u32* pun32Count, VQX_MSG_HANDLE* pahMsg) {
  CallbackState* pState = static_cast<CallbackState*>(pvContext);
  pState->un32Calls++;
  if (*pun32Count == 0) pState->un32IdleCalls++;
  pState->un32Messages += *pun32Count;
  for (u32 i = 0; i < *pun32Count; i++) pahMsg[i]->un32MsgId = kIdB;
}

TEST_F(ReceiveMtTest, CallbackFilterRepliesIdlesAndStopsAtItsDestroy) {
  VQX_FILTER_HANDLE hCb = Id(kIdA);
  VQX_FILTER_HANDLE hReplies = Id(kIdB);
  CallbackState state;
  _VQX_FILTER_CALLBACK_PARAMS cb{};
  cb.pFctFilterMsgReceived = OnMessages;
  cb.pvFilterMsgReceivedContext = &state;
  cb.un32FilterMaxMsgPerCallback = 4;
  ASSERT_EQ(VQXModifyMsgFilter(mhLib, hCb, 0, nullptr, &cb), VQX_RESULT_API_OK);
  for (u64 i = 0; i < 10; i++) ASSERT_EQ(Send(kIdA, kLocal, 8, VQX_MSG_TYPE_EVENT, i), VQX_RESULT_API_OK);
  for (u64 i = 0; i < 10; i++) {
    VQX_MSG_HANDLE hGot = nullptr;
    ASSERT_EQ(VQXReceiveMsg(mhLib, hReplies, 10000, &hGot), VQX_RESULT_API_OK) << i;
    EXPECT_EQ(hGot->un64UserContext1, i) << "replies keep the order";
    VQXReleaseMsgEx(mhLib, &hGot);
  }
  EXPECT_GE(state.un32Calls.load(), 3u) << "at most 4 per call";
  EXPECT_EQ(state.un32IdleCalls.load(), 0u) << "no posting delay: no idle call";
  /* With a posting delay the callback is also called idle; destroying waits for a call in progress. */
  cb.un32FilterMaxMsgPerCallback = 1;
  cb.un32PostingDelayMs = 20;
  ASSERT_EQ(VQXModifyMsgFilter(mhLib, hCb, 0, nullptr, &cb), VQX_RESULT_API_OK);
  EXPECT_TRUE(WaitUntil([&] { return state.un32IdleCalls.load() >= 3; }, 10000));
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hCb), VQX_RESULT_API_OK);
  const u32 un32After = state.un32Calls.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(60)); /* three posting periods: no call may come */
  EXPECT_EQ(state.un32Calls.load(), un32After);
}

/* Hands every message back to this process under a group a local destination does not carry: each send refuses it. */
void OnMessagesRefused(void* pvContext, VQX_LIB_HANDLE, VQX_FILTER_HANDLE, u32* pun32Count, VQX_MSG_HANDLE* pahMsg) {
  static_cast<CallbackState*>(pvContext)->un32Messages += *pun32Count;
  for (u32 i = 0; i < *pun32Count; i++) pahMsg[i]->un32MsgId = 0x04000001u;
}

/*
 * What a callback hands back and its send refuses is freed, or kept with the filter once its owner asked
 * (VQXKeepSendRefusals) and taken back (VQXTakeSendRefusals) in order with each send's result, as far as the record
 * has room; ending the keeping frees what is kept. Rows: {keeping, sent, record room, taken}. Bad calls refused.
 */
TEST_F(ReceiveMtTest, RefusedHandBacksAreKeptForTheirFilterWhenAsked) {
  VQX_FILTER_HANDLE hCb = Id(kIdA);
  CallbackState state;
  Callback(hCb, OnMessagesRefused, &state);
  const u32 un32Live = LiveCount();
  const struct {
    const char* pszWhat;
    u32 fKeep, un32Sent, un32Room, un32Taken;
  } aRows[] = {{"not kept: freed", 0, 3, 8, 0},
               {"kept, taken in two turns", 1, 6, 4, 6},
               {"kept, then the keeping ended", 1, 2, 0, 0}};
  u64 un64Word = 0;
  for (const auto& r : aRows) {
    SCOPED_TRACE(r.pszWhat);
    ASSERT_EQ(VQXKeepSendRefusals(mhLib, hCb, r.fKeep), VQX_RESULT_API_OK);
    const u32 un32Seen = state.un32Messages.load();
    const u64 un64First = un64Word;
    for (u32 i = 0; i < r.un32Sent; i++) ASSERT_EQ(Send(kIdA, kLocal, 8, VQX_MSG_TYPE_EVENT, un64Word++), VQX_RESULT_API_OK);
    ASSERT_TRUE(WaitUntil([&] { return state.un32Messages.load() == un32Seen + r.un32Sent; }, 10000));
    const u32 un32Kept = r.fKeep != 0 ? r.un32Sent : 0;
    EXPECT_TRUE(WaitUntil([&] { return LiveCount() == un32Live + un32Kept; }, 10000)) << LiveCount();
    std::vector<u64> aTaken;
    for (u32 un32Turn = 0; un32Turn < 4 && r.un32Room != 0; un32Turn++) {
      std::vector<VQX_MSG_HANDLE> ah(r.un32Room);
      std::vector<VQX_RESULT> aResult(r.un32Room);
      VQX_SEND_REFUSALS Refusals{ah.data(), aResult.data(), r.un32Room, 0};
      ASSERT_EQ(VQXTakeSendRefusals(mhLib, hCb, &Refusals), VQX_RESULT_API_OK);
      for (u32 i = 0; i < Refusals.un32Count; i++) {
        EXPECT_EQ(aResult[i], VQX_RESULT_API_INVALID_ADA_HANDLE);
        aTaken.push_back(ah[i]->un64UserContext1);
        EXPECT_EQ(VQXReleaseMsgEx(mhLib, &ah[i]), VQX_RESULT_OK);
      }
    }
    std::vector<u64> aExpected(r.un32Taken);
    for (u32 i = 0; i < r.un32Taken; i++) aExpected[i] = un64First + i;
    EXPECT_EQ(aTaken, aExpected) << "in the order sent";
    ASSERT_EQ(VQXKeepSendRefusals(mhLib, hCb, 0), VQX_RESULT_API_OK);
    EXPECT_EQ(LiveCount(), un32Live) << "nothing left behind";
  }
  VQX_SEND_REFUSALS None{};
  EXPECT_EQ(VQXKeepSendRefusals(nullptr, hCb, 1), VQX_RESULT_API_INVALID_LIB_HANDLE);
  EXPECT_EQ(VQXTakeSendRefusals(mhLib, hCb, nullptr), VQX_RESULT_API_NULL_PARAM);
  VQX_FILTER_HANDLE hGone = reinterpret_cast<VQX_FILTER_HANDLE>(&state); /* not a filter of the library */
  EXPECT_EQ(VQXKeepSendRefusals(mhLib, hGone, 1), VQX_RESULT_API_INVALID_FIL_HANDLE);
  EXPECT_EQ(VQXTakeSendRefusals(mhLib, hGone, &None), VQX_RESULT_API_INVALID_FIL_HANDLE);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hCb), VQX_RESULT_API_OK);
}

TEST_F(ReceiveMtTest, BlockedReadersWokenAtTheEndOfABatch) {
  constexpr u64 kFilters = 3;
  VQX_FILTER_HANDLE ah[kFilters];
  std::atomic<VQX_RESULT> aResult[kFilters];
  VQX_MSG_HANDLE ahGot[kFilters] = {};
  std::vector<std::thread> readers;
  for (u64 i = 0; i < kFilters; i++) {
    _VQX_FILTER_PARAMS set = FilterSet(VQX_FILTER_MASK_USER_CONTEXT1);
    set.un64UserContext1 = i + 1;
    ah[i] = Filter({set});
    aResult[i] = 0;
    readers.push_back(BlockedReader(ah[i], &aResult[i], &ahGot[i]));
  }
  VQX_BATCH_CONTEXT batch{};
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  for (u64 i = 0; i < kFilters; i++) {
    VQX_MSG_HANDLE hMsg = NewMsg(kIdA, 0);
    hMsg->un64UserContext1 = i + 1;
    EXPECT_TRUE(VqxMsgDispatchLocal(mhLib, hMsg, 0, &batch));
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  EXPECT_EQ(batch.un32NbToWake, kFilters) << "the wakes wait for the end of the batch";
  VqxBatchWake(mhLib, &batch);
  for (u64 i = 0; i < kFilters; i++) {
    readers[i].join();
    EXPECT_EQ(aResult[i].load(), VQX_RESULT_API_OK) << i;
    VQXReleaseMsgEx(mhLib, &ahGot[i]);
    EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &ah[i]), VQX_RESULT_API_OK);
  }
}

/* Filters made and destroyed while messages flow to them and to a steady reader: nothing lost for the reader. */
TEST_F(ReceiveMtTest, FiltersComeAndGoWhileMessagesFlow) {
  constexpr u32 kMessages = 4000;
  VQX_FILTER_HANDLE hSteady = Id(kIdA);
  std::atomic<bool> fDone{false};
  std::thread churn([&] {
    for (u32 i = 0; i < 2000 && !fDone.load(); i++) {
      _VQX_FILTER_PARAMS sets[2] = {
          FilterSet(VQX_FILTER_MASK_MSG_GROUP | (i % 2 ? VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT2 : 0u), kIdA),
          FilterSet(VQX_FILTER_MASK_USER_CONTEXT1 | VQX_FILTER_MASK_NEGATIVE)};
      sets[0].un64UserContext2 = 1000 + i;
      sets[1].un64UserContext1 = 7;
      VQX_FILTER_HANDLE h = nullptr;
      if (VQXCreateMsgFilterEx(mhLib, 2, sets, &h) != VQX_RESULT_API_OK) continue;
      Drain(h);
      VQXDestroyMsgFilterEx(mhLib, &h);
    }
  });
  std::thread sender([&] {
    for (u32 i = 0; i < kMessages; i++) ASSERT_EQ(Send(kIdA, kLocal, 8, VQX_MSG_TYPE_EVENT, i), VQX_RESULT_API_OK);
  });
  u32 un32Got = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (un32Got < kMessages && std::chrono::steady_clock::now() < deadline) {
    VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
    u32 n = 0;
    if (VQXReceiveMsgMultiple(mhLib, hSteady, 500, &n, ah) != VQX_RESULT_API_OK) continue;
    for (u32 i = 0; i < n; i++) VQXReleaseMsgEx(mhLib, &ah[i]);
    un32Got += n;
  }
  sender.join();
  fDone = true;
  churn.join();
  EXPECT_EQ(un32Got, kMessages);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hSteady), VQX_RESULT_API_OK);
  _VQX_LIB_STATS stats = LibStats(mhLib);
  EXPECT_EQ(stats.FilterOwned, 0u);
  EXPECT_EQ(stats.FilterAlloc, stats.FilterFreed);
}

}  // namespace
