/*
 * test_rx_mt.cpp - the transport's receive callbacks fed by hand with
 * messages in wire form from a peer record made without a transport:
 * sequence numbers (in order, the other path's copies, a loss resynchronised
 * and counted, the wrap past 0), connection counts, pure and piggy-backed
 * acknowledgements, sizes that do not fit the bytes received, unknown peers,
 * one announcement per board presence, and two peers fed at once while
 * readers take their messages.
 */
#include <atomic>
#include <thread>

#include "hostlib_gwglue_internal.h"
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
  VQX_MSG_HANDLE Wire(u32 un32Id, u32 un32Seq, u32 un32Word = 0, u32 un32Ack = 0, u16 un16Conn = 0) {
    VQX_MSG_HANDLE hMsg = NewMsg(un32Id, 0, 16);
    hMsg->un32TxSeq = un32Seq;
    hMsg->un32PiggyAck = un32Ack;
    hMsg->un16ConnectionCount = un16Conn;
    memcpy(VQXMsgPayload(hMsg) + 8, &un32Word, 4);
    Locked(mhLib, [&] { EXPECT_EQ(VQXHostSwapMsgToSend(mhLib, hMsg), VQX_RESULT_OK); });
    return hMsg;
  }
  void Feed(u32 hPeer, VQX_MSG_HANDLE hMsg, u32 un32Size = 0) {
    void* ap[1] = {hMsg};
    const u32 aSize[1] = {un32Size != 0 ? un32Size : VQX_MSG_HEADER_SIZE + 16};
    u32 fStop = 0;
    VqxHostGwLibRxHandlerMultiple(mhLib, hPeer, 1, 1, ap, aSize, &fStop);
  }
  /* Words (payload byte 8) of the messages waiting on the data filter. */
  std::vector<u32> Delivered() {
    std::vector<u32> out;
    for (int i = 0; i < 1000; i++) {
      VQX_MSG_HANDLE hMsg = nullptr;
      if (VQXReceiveMsg(mhLib, mhData, 0, &hMsg) != VQX_RESULT_API_OK) break;
      u32 w;
      memcpy(&w, VQXMsgPayload(hMsg) + 8, 4);
      EXPECT_EQ(hMsg->hAdapter, kBoard);
      out.push_back(w);
      VQXReleaseMsgEx(mhLib, &hMsg);
    }
    return out;
  }
  VQX_PEER* Peer(u32 h) { return PeerOf(mhLib, h); }
  VQX_GW_ADAPTER_ADV mAdv{};
  VQX_FILTER_HANDLE mhData = nullptr;
};

struct SeqRow {
  u32 un32Seq;
  bool fDelivered;
  u64 un64LostTotal;
  u64 un64RedundantTotal;
  u32 un32RxSeqBefore; /* non-zero: the receive state is put there first */
};

TEST_F(RxTest, SequenceNumbersTable) {
  const SeqRow rows[] = {
      {1, true, 0, 0, 0},
      {2, true, 0, 0, 0},
      {2, false, 0, 1, 0}, /* the other path's copy */
      {1, false, 0, 2, 0},
      {5, true, 2, 2, 0}, /* 3 and 4 lost on both paths: counted, carried on */
      {6, true, 2, 2, 0},
      {0, true, 2, 2, 0},            /* no sequence: always taken */
      {0xFFFFFFFEu, false, 2, 3, 0}, /* far behind in serial arithmetic: a stale copy */
      {0xFFFFFFFEu, true, 2, 3, 0xFFFFFFFDu},
      {0xFFFFFFFFu, true, 2, 3, 0},
      {1, true, 2, 3, 0}, /* 0 is skipped on the wrap */
      {2, true, 2, 3, 0},
      {3, false, 2, 4, 0},
      {2, true, 5, 4, 0xFFFFFFFDu}, /* loss across the wrap: 0xFFFFFFFE, 0xFFFFFFFF and 1 (0 is no number) */
  };
  u32 un32Word = 0;
  for (const SeqRow& row : rows) {
    SCOPED_TRACE(row.un32Seq);
    if (row.un32RxSeqBefore != 0) Peer(kBoard)->un32RxSeq = row.un32RxSeqBefore;
    /* Row "3" feeds a copy of 2 under sequence 2. */
    Feed(kBoard, Wire(kDataId, row.un32Seq == 3 ? 2 : row.un32Seq, ++un32Word));
    const std::vector<u32> got = Delivered();
    if (row.fDelivered) {
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0], un32Word);
    } else {
      EXPECT_TRUE(got.empty());
    }
    VQX_PEER* pPeer = Peer(kBoard);
    ASSERT_NE(pPeer, nullptr);
    EXPECT_EQ(pPeer->un64SeqLost, row.un64LostTotal);
    EXPECT_EQ(pPeer->un64RxMsgRedundant, row.un64RedundantTotal);
  }
  EXPECT_TRUE(mLog.WaitFor("message(s) lost (expected sequence 3, received 5), resynchronising"));
  EXPECT_TRUE(mLog.WaitFor("3 message(s) lost (expected sequence 4294967294, received 2), resynchronising"));
  _VQX_LIB_STATS stats = LibStats(mhLib);
  EXPECT_EQ(stats.RxMsgRedundant, 4u);
  EXPECT_EQ(stats.RxMsg, 10u);
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
  /* The links dropped and made again: the new count is taken from its first message. */
  Locked(mhLib, [&] { VqxHostAdapterDown(mhLib, kBoard, 1, 3); });
  ASSERT_EQ(Up(kBoard, &mAdv), VQX_RESULT_API_OK);
  Feed(kBoard, Wire(kDataId, 3, 6, 0, 6));
  EXPECT_EQ(Delivered(), std::vector<u32>{6});
  EXPECT_EQ(Peer(kBoard)->un16RxConnectionCount, 6u);
}

/* The pending-acknowledgement flag (the receive thread's 10 ms pace) is up only past 16383 unacknowledged. */
TEST_F(RxTest, PendingAcknowledgementOnlyPast16383Unacknowledged) {
  const struct {
    u32 un32UnackedBefore;
    u8 fPending;
  } rows[] = {{0, 0}, {16381, 0}, {16382, 0}, {16383, 1}};
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
  const struct {
    const char* pszName;
    size_t off;      /* header word set (big-endian) before feeding, or SIZE_MAX */
    u32 un32Value;
    u32 un32Size;    /* bytes received */
    const char* pszLine;
  } rows[] = {
      {"shorter than a header", SIZE_MAX, 0, 40, "message of 40 bytes is shorter than its header, dropped"},
      {"length past the bytes", SIZE_MAX, 0, 96, "with sizes beyond its 96 bytes, dropped"},
      {"payload start + size past the end", offsetof(_VQX_MSG_HEADER, un32PayloadStart), 96, 104, "with sizes beyond its 104 bytes, dropped"},
      {"payload start + size wraps", offsetof(_VQX_MSG_HEADER, un32PayloadStart), 0xFFFFFFF8u, 104, "with sizes beyond its 104 bytes, dropped"},
      {"payload size past the end", offsetof(_VQX_MSG_HEADER, un32PayloadLength), 17, 104, "with sizes beyond its 104 bytes, dropped"},
      {"maximum size past the end", offsetof(_VQX_MSG_HEADER, un32PayloadMaxLength), 17, 104, "with sizes beyond its 104 bytes, dropped"},
  };
  const u32 un32Live = VqxBufLiveCount(mhLib);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.pszName);
    mLog.Clear();
    VQX_MSG_HANDLE hMsg = Wire(kDataId, 1, 1);
    if (row.off != SIZE_MAX) Wr32(reinterpret_cast<u8*>(hMsg), row.off, htobe32(row.un32Value));
    Feed(kBoard, hMsg, row.un32Size);
    EXPECT_TRUE(mLog.WaitFor(row.pszLine));
    EXPECT_TRUE(Delivered().empty());
    EXPECT_EQ(Peer(kBoard)->un32RxSeq, 0u) << "dropped messages leave the numbering alone";
  }
  Feed(0xCA00DEADu, Wire(kDataId, 0, 3));
  EXPECT_TRUE(mLog.WaitFor("VqxHostGwLibRxHandler: Unknown peer handle!\n"));
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  EXPECT_EQ(VqxBufLiveCount(mhLib), un32Live) << "nothing leaked";
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
  auto feeder = [this](u32 hPeer, std::vector<VQX_MSG_HANDLE>* pMsgs) {
    for (size_t i = 0; i < pMsgs->size(); i += 8) {
      void* ap[8];
      u32 aSize[8];
      u32 n = 0;
      for (; n < 8 && i + n < pMsgs->size(); n++) {
        ap[n] = (*pMsgs)[i + n];
        aSize[n] = VQX_MSG_HEADER_SIZE + 16;
      }
      u32 fStop = 0;
      VqxHostGwLibRxHandlerMultiple(mhLib, hPeer, 1, n, ap, aSize, &fStop);
    }
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
  std::thread ra(reader, mhData, &un32GotA), rb(reader, hData2, &un32GotB);
  std::thread fa(feeder, kBoard, &a), fb(feeder, kBoard2, &b);
  fa.join();
  fb.join();
  ra.join();
  rb.join();
  EXPECT_EQ(un32GotA, kCount);
  EXPECT_EQ(un32GotB, kCount);
  EXPECT_TRUE(fOrderOk.load());
  VQXDestroyMsgFilterEx(mhLib, &hData2);
}

}  // namespace

namespace {

/* Receive fifo of 2: every message from a peer with two or more unread pauses the reading thread 100 ms. */
class RxOverflowTest : public RxTest {
 protected:
  void SetUp() override {}
  void Open(bool fCallback) {
    mParams = HostLibTestParams(&mLog);
    mParams.un32ReceiveFifoSize = 2;
    if (fCallback) {
      mParams.pFctStatusCallback = StatusLog::OnStatus;
      mParams.pvStatusContext = &mOverflow;
    }
    ASSERT_EQ(VQXOpenLib(&mParams, &mhLib), VQX_RESULT_API_OK);
    mAdv = AdapterAdv("101", "boardA", "10.0.0.1", "");
    ASSERT_EQ(Up(kBoard, &mAdv), VQX_RESULT_API_OK);
    mhData = Filter({FilterSet(VQX_FILTER_MASK_MSG_ID | VQX_FILTER_MASK_ADAPTER, kDataId, kBoard)});
    ASSERT_NE(mhData, nullptr);
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

TEST_F(RxOverflowTest, CallbackHearsOfItAndMayDisconnect) {
  Open(true);
  mOverflow.un32Answer = 0; /* nothing */
  FeedMs(1);
  FeedMs(2);
  {
    std::lock_guard<std::mutex> guard(mOverflow.Mutex);
    ASSERT_FALSE(mOverflow.Events.empty());
    const _VQX_LIB_ERROR_INFO& e = mOverflow.Events.back();
    EXPECT_EQ((std::vector<u32>{e.un32Cause, e.un32MsgCount, e.hAdapter}),
              (std::vector<u32>{VQX_LIB_STATUS_RX_OVERFLOW, 2, kBoard}));
  }
  mOverflow.un32Answer = 2; /* flush, then disconnect */
  FeedMs(3);
  EXPECT_TRUE(Delivered().empty()) << "the peer's unread messages were flushed";
}

}  // namespace

namespace {

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

}  // namespace
