/*
 * test_send_mt.cpp - sending to a peer record made without a transport, so
 * that messages stay in its send fifo: the checks of each send, the high
 * watermark, a full fifo answered by the status callback (drop) or waited
 * on (released when the peer goes away or the library closes), the
 * unknown peer, and every call that waits (for room, for messages, for
 * what was sent) let out by the library's close.
 */
#include <atomic>
#include <functional>
#include <new>
#include <thread>
#include <utility>

#include "gw/hostlib_gwglue_internal.h"
#include "test_peer_util.h"

/* Set by a test to make the next non-throwing allocation of its own thread fail. */
static thread_local bool t_fFailNextNothrowNew = false;

void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  if (t_fFailNextNothrowNew) {
    t_fFailNextNothrowNew = false;
    return nullptr;
  }
  try {
    return ::operator new(n);
  } catch (...) {
    return nullptr;
  }
}

namespace {

constexpr u32 kBoard = 0xCA000101u;
constexpr u32 kHost = 0xCB00000Cu;
constexpr u32 kFifo = 30;

/* Opened by each test (Open) with a fifo of 30 and the board kBoard up; sends are requests unless said. */
class SendTest : public HostLibTest {
 protected:
  void SetUp() override {}
  void Open(bool fStatus, u32 un32Fifo = kFifo) {
    Reopen([&](_VQX_LIB_PARAMS& p) {
      p.un32SendFifoSize = un32Fifo;
      p.pFctStatusCallback = fStatus ? StatusLog::OnStatus : nullptr;
      p.pvStatusContext = &mStatus;
    });
    mAdv = AdapterAdv("101", "boardA", "10.0.0.1", "");
    ASSERT_EQ(PathUp(mhLib, kBoard, &mAdv), VQX_RESULT_API_OK);
    /* What the library itself sends a new board (its filters, its flow-control level) waits there too. */
    mun32Base = FifoCount();
    ASSERT_LT(mun32Base, 10u);
  }
  VQX_RESULT Send(u32 un32Id, u32 hDest, u32 un32Payload, u32 MsgType = VQX_MSG_TYPE_REQUEST) {
    return HostLibTest::Send(un32Id, hDest, un32Payload, MsgType);
  }
  u32 FifoCount() {
    return Locked(mhLib, [&] {
      VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(mhLib, kBoard);
      return pPeer != nullptr ? pPeer->un32SendFifoCount : 0xFFFFFFFFu;
    });
  }
  StatusLog mStatus;
  VQX_GW_ADAPTER_ADV mAdv{};
  u32 mun32Base = 0;
};

struct CheckRow { const char* pszName; u32 un32Id, hDest, un32Payload, MsgType; VQX_RESULT expected; const char* pszLine; };

TEST_F(SendTest, ChecksTowardsAPeer) {
  Open(false);
  const VQX_GW_HOST_ADV host = HostAdv("hostb", "appb", 0x0A000007000004D2ull, 0x02070B04);
  ASSERT_EQ(PathUp(mhLib, kHost, nullptr, &host), VQX_RESULT_API_OK);
  const CheckRow rows[] = {
      {"64000 bytes in all", 0x03000001, kBoard, 64000 - 88, 1, VQX_RESULT_API_OK, nullptr},
      {"64001 bytes in all", 0x0B000001, kBoard, 64001 - 88, 1, VQX_RESULT_API_MSGSZ_NOT_SUPPORTED, "VqxMsgSendTo: Msg=0x0b000001 VqxMsgSendTo: This message is too big to be sent to an adapter\n"},
      {"response to an adapter", 0x03000001, kBoard, 8, 2, VQX_RESULT_API_INVALID_MESSAGE, "VqxMsgSendTo: Msg=0x03000001 VQX_RESULT_API_INVALID_MESSAGE (can't send 'response' to adapter)\n"},
      {"12 bytes to a peer", 0x03000001, kBoard, 12, 1, VQX_RESULT_API_MSGSZ_INVALID, "message is not 64 bits"},
      {"past the hosts' framing", 0x03000001, kHost, VQX_GW_MAX_MSG_SIZE - 88 + 8, 1, VQX_RESULT_API_MSGSZ_NOT_SUPPORTED, "VqxMsgSendTo: Msg=0x03000001 VqxMsgSendTo: This message is too big to be sent to a remote host\n"},
      {"unknown adapter", 0x03000001, 0xCA0000FFu, 8, 1, VQX_RESULT_API_INVALID_ADA_HANDLE, nullptr},
      {"event broadcast, no host", 0x03000001, 0xFFFFFFFFu, 8, 4, VQX_RESULT_API_OK, nullptr},
  };
  const u32 un32Live = VqxBufLiveCount(mhLib);
  u32 un32Queued = 0;
  for (const CheckRow& row : rows) {
    SCOPED_TRACE(row.pszName);
    EXPECT_EQ(Send(row.un32Id, row.hDest, row.un32Payload, row.MsgType), row.expected);
    if (row.pszLine != nullptr) { EXPECT_TRUE(mLog.WaitFor(row.pszLine)); }
    if (row.expected == VQX_RESULT_API_OK && row.hDest == kBoard) un32Queued++;
  }
  EXPECT_EQ(FifoCount(), mun32Base + un32Queued);
  /* What the fifo took and holds (none has left it: no transport), refused messages not counted. */
  VQX_PEER_SEND_QUEUE Queue{};
  EXPECT_EQ(VQXGetPeerSendQueue(mhLib, kBoard, &Queue), VQX_RESULT_API_OK);
  EXPECT_EQ(std::make_pair(Queue.un64Queued, Queue.un32Waiting), std::make_pair(u64{mun32Base + un32Queued}, mun32Base + un32Queued));
  EXPECT_EQ(VQXGetPeerSendQueue(mhLib, 0xCA0000FFu, &Queue), VQX_RESULT_API_INVALID_HANDLE);
  EXPECT_EQ(VQXGetPeerSendQueue(mhLib, kBoard, nullptr), VQX_RESULT_API_NULL_PARAM);
  EXPECT_EQ(VQXGetPeerSendQueue(nullptr, kBoard, &Queue), VQX_RESULT_API_INVALID_LIB_HANDLE);
  /* The unknown peer is refused without a line; refused messages are freed. */
  EXPECT_EQ(mLog.Count("0xCA0000FF"), 0u);
  /* Lines are printed by the log thread: wait for the third before checking there are no more. */
  EXPECT_TRUE(mLog.WaitFor("VQXSendMsg: Failed to send message", 3000, 4));
  EXPECT_EQ(mLog.Count("VQXSendMsg: Failed to send message"), 4u);
  EXPECT_EQ(LiveCount(), un32Live + un32Queued);
  EXPECT_EQ(VQXWaitSentMsg(mhLib, 50), VQX_RESULT_API_OK) << "a time-out is not a failure";
}

TEST_F(SendTest, HighWatermarkAndFullFifoDroppedByTheStatusCallback) {
  Open(true);
  mStatus.un32Answer = 0; /* drop */
  for (u32 i = mun32Base; i < kFifo; i++) ASSERT_EQ(Send(0x03000001, kBoard, 8), VQX_RESULT_API_OK) << i;
  EXPECT_TRUE(mLog.WaitFor("WARNING: High watermark passed for 101 (21 Tx msg in send fifo, max is 30)\n"));
  EXPECT_EQ(mLog.Count("WARNING: High watermark passed"), 1u);
  EXPECT_EQ(Send(0x03000001, kBoard, 8), VQX_RESULT_API_TXMSG_DROPPED);
  EXPECT_EQ(FifoCount(), kFifo);
  u64 un64Pending = 0;
  EXPECT_EQ(VQXGetTxPendingCount(mhLib, &un64Pending), VQX_RESULT_API_OK);
  EXPECT_EQ(un64Pending, kFifo) << "what a close would wait for";
  EXPECT_EQ(VQXGetTxPendingCount(nullptr, &un64Pending), VQX_RESULT_API_INVALID_LIB_HANDLE);
  EXPECT_EQ(VQXGetTxPendingCount(mhLib, nullptr), VQX_RESULT_API_NULL_PARAM);
  _VQX_LIB_STATS stats = LibStats(mhLib);
  EXPECT_EQ(stats.TxMsgDropped, 1u);
  EXPECT_EQ(stats.TxMsgQueued, kFifo);
  std::lock_guard<std::mutex> guard(mStatus.Mutex);
  ASSERT_EQ(mStatus.Events.size(), 2u);
  const _VQX_LIB_ERROR_INFO& w = mStatus.Events[0];
  const _VQX_LIB_ERROR_INFO& f = mStatus.Events[1];
  EXPECT_EQ((std::vector<u32>{w.un32Cause, w.un32MsgCount, w.un32Value, f.un32Cause, f.un32MsgCount, f.hAdapter}),
            (std::vector<u32>{VQX_LIB_STATUS_TX_WATERMARK, 22, 1, VQX_LIB_STATUS_TX_FIFO_FULL, kFifo, kBoard}))
      << "the watermark report (passed: 1), then the full fifo";
}

TEST_F(SendTest, SenderWaitingOnAFullFifoIsReleasedWhenThePeerGoes) {
  Open(false);
  for (u32 i = mun32Base; i < kFifo; i++) ASSERT_EQ(Send(0x03000001, kBoard, 8), VQX_RESULT_API_OK) << i;
  std::atomic<VQX_RESULT> blocked{0};
  std::thread sender([&] { blocked = Send(0x03000001, kBoard, 8); });
  EXPECT_TRUE(mLog.WaitFor("VqxMsgSendTo: Warning: too many messages in queue (max 30). Waiting...\n"));
  EXPECT_EQ(blocked.load(), 0u) << "still waiting for room";
  Locked(mhLib, [&] { VqxHostAdapterDown(mhLib, kBoard, 1, 3); });
  sender.join();
  EXPECT_EQ(blocked.load(), VQX_RESULT_API_ADA_NOT_READY);
  EXPECT_EQ(mLog.Count("Waiting..."), 1u) << "said once, however long it waited";
  EXPECT_EQ(LiveCount(), 0u) << "the queued and the waiting messages were freed";
  EXPECT_EQ(VQXWaitSentMsg(mhLib, 0), VQX_RESULT_API_OK);
}

/*
 * The library closed while two senders wait for room: the close lets both out with a failure they see (the message
 * dropped, counted, each with its line) before it frees what they use. Their two waits within one second log one
 * line, the other counted once the second is over.
 */
TEST_F(SendTest, SendersWaitingForRoomLeaveWhenTheLibraryCloses) {
  HeldClock clock;
  Open(false);
  for (u32 i = mun32Base; i < kFifo; i++) ASSERT_EQ(Send(0x03000001, kBoard, 8), VQX_RESULT_API_OK) << i;
  std::atomic<VQX_RESULT> aSent[2] = {0u, 0u};
  std::thread aSender[2];
  for (u32 i = 0; i < 2; i++) aSender[i] = std::thread([&, i] { aSent[i] = Send(0x03000001, kBoard, 8); });
  const auto Waiting = [&] { return Locked(mhLib, [&] { return VqxPeerLib(mhLib)->aun32SendWaiters[0]; }); };
  ASSERT_TRUE(peerwait::WaitUntil([&] { return Waiting() == 2; }, 10000)) << Waiting() << " waiting";
  EXPECT_TRUE(mLog.WaitFor("VqxMsgSendTo: Warning: too many messages in queue (max 30). Waiting...\n"));
  EXPECT_EQ(mLog.Count("Waiting..."), 1u) << "the second wait within the second is left out";
  clock.Set(1000);
  EXPECT_TRUE(mLog.WaitFor("VqxMsgSendTo: send waiting for room in a full send fifo: 1 similar line(s) left out\n"));
  EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
  for (std::thread& t : aSender) t.join();
  for (const auto& r : aSent) EXPECT_EQ(r.load(), VQX_RESULT_API_TXMSG_DROPPED);
  EXPECT_EQ(mLog.Count("VqxMsgSendTo: Msg=0x03000001 dropped: the library is closing\n"), 2u);
}

/*
 * A callback that reads another filter, blocked there until the close lets it out (the receive thread inside a
 * receive), and hands nothing back.
 */
struct ReadingCallback {
  VQX_FILTER_HANDLE hRead = nullptr;
  std::atomic<VQX_RESULT> Result{0};
  static void OnMsgs(void* pv, VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE, u32* pun32Count, VQX_MSG_HANDLE* pahMsg) {
    for (u32 i = 0; i < *pun32Count; i++) VQXReleaseMsgEx(hLib, &pahMsg[i]);
    *pun32Count = 0;
    auto* p = static_cast<ReadingCallback*>(pv);
    VQX_MSG_HANDLE hGot = nullptr;
    if (p->Result.load() == 0) p->Result = VQXReceiveMsg(hLib, p->hRead, VQX_TIMEOUT_INFINITE, &hGot);
  }
};

/*
 * Every call that waits is let out by the close before it frees what the call uses (the ci build's address checker
 * sees any use after), the close itself bounded. A call whose send waits for room (a plain send, a send-and-receive,
 * a filter's creation telling the board of it) fails with 0x82010218, its message dropped with its line (the receive
 * not waited for, the filter not handed out). A call waiting for messages (the receives, the wait, an awaited answer,
 * the receive thread's callback) is woken and fails with 0x82010208 as when its filter goes, with its line; a filter's
 * destroy waiting for that callback then ends; the wait for what was sent ends with success, as it always does.
 */
TEST_F(SendTest, EveryWaitingCallIsLetOutByTheClose) {
  std::atomic<VQX_FILTER_HANDLE> hWaitedOn{nullptr};
  ReadingCallback callback;
  const auto ForRoom = [&] { return Locked(mhLib, [&] { return VqxPeerLib(mhLib)->aun32SendWaiters[0]; }) == 1; };
  const auto ForMessages = [&] {
    const VQX_FILTER_HANDLE h = hWaitedOn.load();
    return h != nullptr && Locked(mhLib, [&] { return h->un32Waiters; }) == 1;
  };
  const auto Receive = [&](VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE h) {
    hWaitedOn = h;
    VQX_MSG_HANDLE hGot = nullptr;
    return VQXReceiveMsg(hLib, h, VQX_TIMEOUT_INFINITE, &hGot);
  };
  constexpr const char* kReceiveLine = "VqxMsgReceive: VQX_RESULT_API_INVALID_FIL_HANDLE (the library is closing)\n";
  const struct {
    const char* pszCall;
    std::function<VQX_RESULT(VQX_LIB_HANDLE, VQX_FILTER_HANDLE)> Call;
    std::function<bool()> Waiting; /* the call waits: the close may begin */
    VQX_RESULT expected;
    u32 un32MsgId;       /* of the message left waiting for room, dropped with its line; 0: none */
    const char* pszLine; /* the line of a call the close woke; null: none */
  } rows[] = {
      {"VQXSendMsgEx", [&](VQX_LIB_HANDLE, VQX_FILTER_HANDLE) { return Send(0x03000004, kBoard, 8); }, ForRoom,
       VQX_RESULT_API_TXMSG_DROPPED, 0x03000004, nullptr},
      {"VQXSendReceiveMsgMultiple",
       [&](VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter) {
         VQX_MSG_HANDLE ahToSend[1] = {NewMsg(0x03000005, kBoard, 8, VQX_MSG_TYPE_REQUEST)};
         VQX_MSG_HANDLE ahGot[4] = {};
         u32 un32Count = 4;
         return VQXSendReceiveMsgMultiple(hLib, 1, ahToSend, hFilter, VQX_TIMEOUT_INFINITE, &un32Count, ahGot);
       },
       ForRoom, VQX_RESULT_API_TXMSG_DROPPED, 0x03000005, nullptr},
      {"VQXCreateMsgFilterEx",
       [](VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE) {
         _VQX_FILTER_PARAMS set = FilterSet(VQX_FILTER_MASK_MSG_ID, 0x03000006);
         VQX_FILTER_HANDLE hMade = reinterpret_cast<VQX_FILTER_HANDLE>(1);
         const VQX_RESULT r = VQXCreateMsgFilterEx(hLib, 1, &set, &hMade);
         return hMade == nullptr ? r : VQX_RESULT_API_OK;
       },
       ForRoom, VQX_RESULT_API_TXMSG_DROPPED, VQX_MSG_ID_GW_OP_HOST_FILTER_CREATE, nullptr},
      {"VQXReceiveMsg", Receive, ForMessages, VQX_RESULT_API_INVALID_FIL_HANDLE, 0, kReceiveLine},
      {"VQXReceiveMsgMultiple",
       [&](VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter) {
         hWaitedOn = hFilter;
         VQX_MSG_HANDLE ahGot[VQX_RECEIVE_MULTIPLE_MAX] = {};
         u32 un32Count = 0;
         return VQXReceiveMsgMultiple(hLib, hFilter, 600000, &un32Count, ahGot);
       },
       ForMessages, VQX_RESULT_API_INVALID_FIL_HANDLE, 0, kReceiveLine},
      {"VQXWaitMsg",
       [&](VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter) {
         hWaitedOn = hFilter;
         u32 un32Count = 9;
         return VQXWaitMsg(hLib, hFilter, VQX_TIMEOUT_INFINITE, &un32Count);
       },
       ForMessages, VQX_RESULT_API_INVALID_FIL_HANDLE, 0,
       "VQXWaitMsg: VQX_RESULT_API_INVALID_FIL_HANDLE (the library is closing)\n"},
      {"an awaited answer",
       [&](VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE) {
         VQX_MSG_HANDLE hRequest = NewMsg(0x03000008, kBoard, 8, VQX_MSG_TYPE_REQUEST);
         VQX_FILTER_HANDLE hAnswer = nullptr;
         const VQX_RESULT sent = VQXSendMsgEx(hLib, &hRequest, &hAnswer);
         return VQX_RESULT_FAILED(sent) ? sent : Receive(hLib, hAnswer);
       },
       ForMessages, VQX_RESULT_API_INVALID_FIL_HANDLE, 0, kReceiveLine},
      {"VQXWaitSentMsg",
       [](VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE) { return VQXWaitSentMsg(hLib, VQX_TIMEOUT_INFINITE); },
       [&] { return Locked(mhLib, [&] { return VqxPeerLib(mhLib)->un32WaitSentUseCount; }) == 1; }, VQX_RESULT_API_OK,
       0, nullptr},
      {"VQXDestroyMsgFilterEx of a filter whose callback waits in a receive",
       [&](VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter) {
         callback.hRead = hFilter;
         VQX_FILTER_HANDLE hServed = NewFilter(hLib, {FilterSet(VQX_FILTER_MASK_MSG_ID, 0x06000009)});
         const _VQX_FILTER_CALLBACK_PARAMS cb = {nullptr, nullptr, ReadingCallback::OnMsgs, &callback, 0, 1};
         EXPECT_EQ(VQXModifyMsgFilter(hLib, hServed, 0, nullptr, &cb), VQX_RESULT_API_OK);
         EXPECT_EQ(Send(0x06000009, 0xDA000001u, 8, VQX_MSG_TYPE_EVENT), VQX_RESULT_API_OK);
         const auto Reading = [&] { return Locked(hLib, [&] { return hFilter->un32Waiters; }) == 1; };
         if (!peerwait::WaitUntil(Reading, 10000)) return 0u; /* fails the row: the callback never read */
         hWaitedOn = hFilter; /* the destroy waits for the callback from here */
         return VQXDestroyMsgFilterEx(hLib, &hServed);
       },
       [&] { return ForMessages() && VqxLib(mhLib)->un32SendCallsInside.load() == 1; }, VQX_RESULT_API_OK, 0,
       kReceiveLine},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.pszCall);
    Open(false);
    mLog.Clear();
    hWaitedOn = nullptr;
    VQX_FILTER_HANDLE hFilter = Filter({FilterSet(VQX_FILTER_MASK_MSG_ID, 0x03000007)});
    if (r.un32MsgId != 0) {
      while (FifoCount() < kFifo) ASSERT_EQ(Send(0x03000001, kBoard, 8), VQX_RESULT_API_OK);
    } else {
      ASSERT_EQ(Send(0x03000001, kBoard, 8), VQX_RESULT_API_OK) << "something for VQXWaitSentMsg to wait for";
    }
    std::atomic<VQX_RESULT> result{0};
    const VQX_LIB_HANDLE hLib = mhLib;
    peerwait::BoundedThread caller([&] { result = r.Call(hLib, hFilter); });
    ASSERT_TRUE(peerwait::WaitUntil(r.Waiting, 10000));
    std::atomic<VQX_RESULT> closed{0};
    peerwait::BoundedThread closer([&] { closed = VQXCloseLibEx(&mhLib); });
    ASSERT_TRUE(closer.JoinWithin(20000)) << "the close returned";
    EXPECT_EQ(closed.load(), VQX_RESULT_API_OK);
    ASSERT_TRUE(caller.JoinWithin(10000)) << "the close let it out";
    EXPECT_EQ(result.load(), r.expected);
    if (r.un32MsgId != 0) {
      char szLine[96];
      snprintf(szLine, sizeof szLine, "VqxMsgSendTo: Msg=0x%08x dropped: the library is closing\n", r.un32MsgId);
      EXPECT_EQ(mLog.Count(szLine), 1u) << szLine;
    }
    if (r.pszLine != nullptr) {
      EXPECT_EQ(mLog.Count(r.pszLine), 1u) << r.pszLine;
    }
  }
  EXPECT_EQ(callback.Result.load(), VQX_RESULT_API_INVALID_FIL_HANDLE) << "the callback's receive was let out";
}

/*
 * Two senders wait for room: the one whose owner stops (its thread's end flag) leaves alone, the other waits on;
 * the process's close (VQXEndSendWaits) lets the other out, and a later send into the full fifo fails at once. Each
 * is told 0x82010218 with its line, counted dropped; the fifo keeps what it held.
 */
TEST_F(SendTest, SendWaitsEndWhenTheirOwnerStopsOrTheProcessCloses) {
  Open(false);
  for (u32 i = mun32Base; i < kFifo; i++) ASSERT_EQ(Send(0x03000001, kBoard, 8), VQX_RESULT_API_OK) << i;
  const u32 un32Live = LiveCount();
  volatile u32 fStopping = 0;
  std::atomic<VQX_RESULT> aSent[2] = {0u, 0u};
  std::atomic<bool> fRestored{false};
  std::thread owned([&] {
    const volatile u32 fOuter = 0;
    VQXSetThreadSendWaitEnd(&fOuter);
    const volatile u32* pfBefore = VQXSetThreadSendWaitEnd(&fStopping);
    aSent[0] = Send(0x03000001, kBoard, 8);
    fRestored = VQXSetThreadSendWaitEnd(pfBefore) == &fStopping && pfBefore == &fOuter;
    VQXSetThreadSendWaitEnd(nullptr);
  });
  std::thread other([&] { aSent[1] = Send(0x03000002, kBoard, 8); });
  const auto Waiting = [&] { return Locked(mhLib, [&] { return VqxPeerLib(mhLib)->aun32SendWaiters[0]; }); };
  ASSERT_TRUE(peerwait::WaitUntil([&] { return Waiting() == 2; }, 10000)) << Waiting() << " waiting";
  __atomic_store_n(&fStopping, 1u, __ATOMIC_RELEASE);
  owned.join();
  EXPECT_EQ(aSent[0].load(), VQX_RESULT_API_TXMSG_DROPPED);
  EXPECT_TRUE(fRestored.load()) << "the flag it replaced is handed back";
  EXPECT_TRUE(mLog.WaitFor("VqxMsgSendTo: Msg=0x03000001 dropped: its sender is stopping\n"));
  EXPECT_EQ(aSent[1].load(), 0u) << "a sender of another owner waits on";
  EXPECT_EQ(Waiting(), 1u);
  EXPECT_EQ(VQXEndSendWaits(nullptr), VQX_RESULT_API_INVALID_LIB_HANDLE);
  EXPECT_EQ(VQXEndSendWaits(mhLib), VQX_RESULT_API_OK);
  other.join();
  EXPECT_EQ(aSent[1].load(), VQX_RESULT_API_TXMSG_DROPPED);
  EXPECT_EQ(Send(0x03000003, kBoard, 8), VQX_RESULT_API_TXMSG_DROPPED) << "no wait once the process closes";
  for (const char* psz : {"Msg=0x03000002 dropped: the library is closing\n", "Msg=0x03000003 dropped: the library is closing\n"})
    EXPECT_TRUE(mLog.WaitFor(psz)) << psz;
  EXPECT_EQ(LibStats(mhLib).TxMsgDropped, 3u);
  EXPECT_EQ(FifoCount(), kFifo) << "what was queued stays for the close's wait";
  EXPECT_EQ(LiveCount(), un32Live) << "the three refused messages were freed";
}

/*
 * A remote host's request (a CLEAR of its filters) read while its send fifo is full: the receiving thread, the one
 * that would read the acknowledgements making room or the link's close, does not wait for room; the answer is
 * dropped with a line and counted. A sender waiting on the same fifo is released with a failure once the host's
 * link closes.
 */
TEST_F(SendTest, ReceivingThreadNeverWaitsForRoomAndAClosedLinkReleasesTheSenders) {
  Open(false);
  const VQX_GW_HOST_ADV adv = HostAdv("hostA", "appA", 0x1234, 0x00600000);
  ASSERT_EQ(PathUp(mhLib, kHost, nullptr, &adv), VQX_RESULT_API_OK);
  const auto HostFifo = [&] { return Locked(mhLib, [&] { return PeerOf(mhLib, kHost)->un32SendFifoCount; }); };
  for (u32 i = HostFifo(); i < kFifo; i++) ASSERT_EQ(Send(0x03000001, kHost, 8), VQX_RESULT_API_OK) << i;
  std::atomic<VQX_RESULT> blocked{0};
  std::thread sender([&] { blocked = Send(0x03000001, kHost, 8); });
  ASSERT_TRUE(mLog.WaitFor("too many messages in queue (max 30). Waiting...\n"));
  VQX_MSG_HANDLE hClear = NewMsg(0x020D0100u, 0, 528, VQX_MSG_TYPE_REQUEST);
  Wr32(VQXMsgPayload(hClear), 8, 5);
  Locked(mhLib, [&] { EXPECT_EQ(VQXHostSwapMsgToSend(mhLib, hClear), VQX_RESULT_OK); });
  std::atomic<bool> fFed{false};
  std::thread receiver([&] {
    void* ap[1] = {hClear};
    const u32 aSize[1] = {VQX_MSG_HEADER_SIZE + 528};
    u32 fStop = 0;
    VqxHostGwLibRxHandlerMultiple(mhLib, kHost, 1, 1, ap, aSize, &fStop);
    fFed = true;
  });
  const bool fReturned = mLog.WaitFor("and the receiving thread does not wait for room\n", 10000) &&
                         peerwait::WaitUntil([&] { return fFed.load(); }, 10000);
  EXPECT_TRUE(fReturned) << "the receiving thread waits for room";
  EXPECT_EQ(blocked.load(), 0u) << "the application's sender still waits";
  Locked(mhLib, [&] { VqxHostAdapterDown(mhLib, kHost, 1, 3); }); /* the link's close, as the transport reports it */
  receiver.join();
  sender.join();
  EXPECT_EQ(blocked.load(), VQX_RESULT_API_INVALID_ADA_HANDLE) << "a host's record goes with its last link";
  EXPECT_EQ(LibStats(mhLib).TxMsgDropped, 1u + kFifo) << "the answer, and the host's queue as its record went";
  EXPECT_TRUE(mLog.WaitFor("removed with 30 sent message(s) not taken, dropped, and 0 not acknowledged\n"));
  EXPECT_EQ(mLog.Count("VqxMsgSendTo: Msg=0x020d0100 to "), 1u);
  EXPECT_EQ(LiveCount(), FifoCount()) << "only the board's queue left: the request, its answer and the host's queue freed";
}

TEST_F(SendTest, FifoNeverOutgrowsTheRingItHas) {
  Open(true);
  mStatus.un32Answer = 0; /* drop */
  /* A ring smaller than the configured fifo size (as a record made before a size change would hold). */
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(mhLib, kBoard);
  ASSERT_NE(pPeer, nullptr);
  ASSERT_EQ(pPeer->un32SendFifoHead, 0u);
  pPeer->un32SendFifoCapacity = 12;
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  u32 un32Accepted = mun32Base;
  while (un32Accepted < 12 && Send(0x03000001, kBoard, 8) == VQX_RESULT_API_OK) un32Accepted++;
  EXPECT_EQ(un32Accepted, 12u);
  EXPECT_EQ(Send(0x03000001, kBoard, 8), VQX_RESULT_API_TXMSG_DROPPED) << "full at the ring's size, not at 30";
  EXPECT_EQ(FifoCount(), 12u);
}

/* No event to wait on: a clear resource failure, nothing sent or lost; the next wait works. */
TEST_F(SendTest, WaitSentWithoutAnEventIsOutOfResource) {
  Open(false);
  ASSERT_EQ(Send(0x03000001, kBoard, 8), VQX_RESULT_API_OK);
  const u32 un32Queued = FifoCount();
  t_fFailNextNothrowNew = true;
  EXPECT_EQ(VQXWaitSentMsg(mhLib, 50), VQX_RESULT_API_OUT_OF_RESOURCE);
  t_fFailNextNothrowNew = false;
  EXPECT_TRUE(mLog.WaitFor("VQXWaitSentMsg: Failed to allocate hWaitSentMsgEvent!\n"));
  EXPECT_EQ(FifoCount(), un32Queued);
  EXPECT_EQ(VQXWaitSentMsg(mhLib, 20), VQX_RESULT_API_OK) << "the next wait makes its event";
}

/* A transport stand-in that takes everything posted and records each record's sequence number. */
struct PostedLog {
  std::mutex Mutex;
  std::vector<u32> Seqs;
  std::vector<u32> PureAcks; /* the acknowledgement each pure one carried */
  bool fRefuseNext = false;
  bool fFull = false; /* takes nothing: what is sent stays in the send fifo */
} g_Posted;

u32 StandInCanSend(VQX_LIB_HANDLE, u32, u32* pun32Dropped) {
  *pun32Dropped = 0;
  return g_Posted.fFull ? 0 : 1000;
}

VQX_RESULT StandInSend(VQX_LIB_HANDLE hLib, u32, u32 un32Count, const VqxGwLibSendRecord* pRecords) {
  std::lock_guard<std::mutex> guard(g_Posted.Mutex);
  if (std::exchange(g_Posted.fRefuseNext, false)) return VQX_RESULT_NOT_ACCESSIBLE;
  for (u32 i = 0; i < un32Count; i++) {
    const auto* pHeader = static_cast<const _VQX_MSG_HEADER*>(pRecords[i].pMsg);
    EXPECT_EQ(be32toh(pHeader->un32TxSeq), pRecords[i].un32Seq) << "the record and the wire header agree";
    if (be32toh(pHeader->un32MsgId) == 0x03000001u) g_Posted.Seqs.push_back(pRecords[i].un32Seq);
    if (be32toh(pHeader->un32MsgId) == 0x020D0012u) g_Posted.PureAcks.push_back(be32toh(pHeader->un32PiggyAck));
    if (pRecords[i].fFreeAfterSend) VqxBufFree(hLib, pRecords[i].pMsg);
  }
  return VQX_RESULT_OK;
}

const VQX_GW_SEND_STANDIN s_StandIn = {StandInCanSend, StandInSend};

/* Sequence numbers across the 32-bit wrap: 0xFFFFFFFF is followed by 1, never 0. */
TEST_F(SendTest, SequenceNumbersSkipZeroAcrossTheWrap) {
  VqxGwSetSendStandIn(&s_StandIn);
  Open(false);
  ASSERT_EQ(VQXWaitSentMsg(mhLib, 3000), VQX_RESULT_API_OK) << "the library's own messages went first";
  Locked(mhLib, [&] { VqxHostAdapterOrHostByHandle(mhLib, kBoard)->un32TxSeq = 0xFFFFFFFDu; });
  for (u32 i = 0; i < 4; i++) ASSERT_EQ(Send(0x03000001, kBoard, 8, VQX_MSG_TYPE_EVENT), VQX_RESULT_API_OK) << i;
  EXPECT_EQ(VQXWaitSentMsg(mhLib, 3000), VQX_RESULT_API_OK);
  {
    std::lock_guard<std::mutex> guard(g_Posted.Mutex);
    EXPECT_EQ(g_Posted.Seqs, (std::vector<u32>{0xFFFFFFFEu, 0xFFFFFFFFu, 1u, 2u}));
  }
  EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
  VqxGwSetSendStandIn(nullptr);
}

/*
 * A batch the transport refuses whole is released (kept for retransmission or not) and counted
 * dropped; its sequence numbers go to the next messages, so the peer sees no gap.
 */
TEST_F(SendTest, RefusedBatchIsReleasedAndItsNumbersReused) {
  VqxGwSetSendStandIn(&s_StandIn);
  Open(false);
  ASSERT_EQ(VQXWaitSentMsg(mhLib, 3000), VQX_RESULT_API_OK);
  const std::pair<const char*, u32> rows[] = {{"kept for retransmission", 0x00600000}, {"not kept", 0}};
  for (const auto& [pszName, un32Build] : rows) {
    SCOPED_TRACE(pszName);
    Locked(mhLib, [&] { VqxHostAdapterOrHostByHandle(mhLib, kBoard)->un32BuildNumber = un32Build; });
    Locked(mhLib, [&] { g_Posted.Seqs.clear(); }); /* the posting side runs under the library lock */
    for (u32 i = 0; i < 3; i++) {
      Locked(mhLib, [&] { g_Posted.fRefuseNext = i == 1; });
      ASSERT_EQ(Send(0x03000001, kBoard, 8, VQX_MSG_TYPE_EVENT), VQX_RESULT_API_OK) << i;
    }
    ASSERT_EQ(VQXWaitSentMsg(mhLib, 3000), VQX_RESULT_API_OK);
    const u32 un32Kept = Locked(mhLib, [&] { return VqxHostAdapterOrHostByHandle(mhLib, kBoard)->un32TxPendingCount; });
    const std::vector<u32> seqs = Locked(mhLib, [&] { return g_Posted.Seqs; });
    ASSERT_EQ(seqs.size(), 2u);
    EXPECT_EQ(seqs[1], seqs[0] + 1);
    EXPECT_EQ(VqxBufLiveCount(mhLib), un32Kept) << "only the kept messages are live";
  }
  _VQX_LIB_STATS stats = LibStats(mhLib);
  EXPECT_EQ(stats.TxMsgDropped, 2u);
  EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
  VqxGwSetSendStandIn(nullptr);
}

/*
 * The retransmission ring of a board that acknowledges nothing (the transport's stand-in never lets a message go) keeps
 * what it may, in messages (the send fifo's size) and in bytes (VQX_TX_PENDING_MAX_BYTES, 262 of the largest messages
 * a board takes, where 16,384 messages were a gigabyte): past either, a message sent is not kept (freed once sent), its line once a second, the others
 * counted on a line of their own once the second is over.
 */
TEST_F(SendTest, RetransmissionRingIsBoundedInMessagesAndInBytes) {
  HeldClock clock;
  VqxGwSetSendStandIn(&s_StandIn);
  const struct {
    const char* pszName;
    u32 un32Fifo, un32Length, un32Count;
    bool fBytes; /* the bound reached: bytes, else messages */
  } rows[] = {{"in messages", 30, 96, 40, false}, {"in bytes", 1024, 64000, 300, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.pszName);
    clock.Set(0);
    Open(false, row.un32Fifo);
    ASSERT_EQ(VQXWaitSentMsg(mhLib, 3000), VQX_RESULT_API_OK) << "the library's own messages went first";
    const auto Ring = [&] {
      return Locked(mhLib, [&] {
        const VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(mhLib, kBoard);
        return std::make_pair(pPeer->un32TxPendingCount, pPeer->un64TxPendingBytes);
      });
    };
    const auto [un32Kept0, un64Bytes0] = Ring(); /* the library's own messages, kept too */
    const u32 un32Kept = row.fBytes ? static_cast<u32>((VQX_TX_PENDING_MAX_BYTES - un64Bytes0) / row.un32Length)
                                    : row.un32Fifo - un32Kept0;
    ASSERT_LT(un32Kept, row.un32Count);
    mLog.Clear();
    for (u32 i = 0; i < row.un32Count; i++)
      ASSERT_EQ(Send(0x03000001, kBoard, row.un32Length - 88, VQX_MSG_TYPE_EVENT), VQX_RESULT_API_OK) << i;
    ASSERT_EQ(VQXWaitSentMsg(mhLib, 3000), VQX_RESULT_API_OK);
    EXPECT_EQ(Ring(), std::make_pair(un32Kept0 + un32Kept, un64Bytes0 + u64{un32Kept} * row.un32Length));
    EXPECT_LE(Ring().second, VQX_TX_PENDING_MAX_BYTES);
    EXPECT_EQ(LiveCount(), un32Kept0 + un32Kept) << "those not kept freed once sent";
    EXPECT_TRUE(mLog.WaitFor("ERROR: TxPending fifo full, network redundancy may not work properly\n"));
    EXPECT_EQ(mLog.Count("TxPending fifo full"), 1u) << "once within the second";
    clock.Set(1000);
    const std::string strLeftOut = "VQXHostPostReadyMessagesToGwLib: TxPending fifo full, message not kept for retransmission: " +
                                   std::to_string(row.un32Count - un32Kept - 1) + " similar line(s) left out\n";
    EXPECT_TRUE(mLog.WaitFor(strLeftOut.c_str())) << strLeftOut;
    EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
  }
  VqxGwSetSendStandIn(nullptr);
}

/*
 * What a closing process waits for (VQXGetTxPendingCount) and is told of (VQXGetTxAccount): handed to the transport
 * is not taken; what a peer that acknowledges has not acknowledged (its pure acknowledgements read here as the
 * transport delivers them) is counted until it is, beside what waits in the send fifo. Rows in order: 5 posted to a
 * board that has acknowledged nothing yet (it may be one that never does), the first 2 acknowledged, 2 more posted,
 * all acknowledged, 1 more posted, then the board too old to acknowledge, 3 more held in the fifo by a full
 * transport, and the board gone: it takes nothing more, its fifo is counted dropped and what it had not acknowledged
 * freed, both named on its line.
 */
/* The board acknowledges, piggybacked on a request of its own, the un32Posted-th message posted since Seqs was cleared. */
void AckPosted(VQX_LIB_HANDLE hLib, u32 un32Posted) {
  VQX_MSG_HANDLE hAck = nullptr;
  ASSERT_EQ(VQXGetMsg(hLib, 8, &hAck), VQX_RESULT_API_OK);
  hAck->un32MsgId = 0x020D0012u;
  hAck->MsgType = VQX_MSG_TYPE_REQUEST;
  hAck->un32PayloadLength = 8;
  hAck->un32PiggyAck = Locked(hLib, [&] { return g_Posted.Seqs.at(un32Posted - 1); });
  Locked(hLib, [&] { EXPECT_EQ(VQXHostSwapMsgToSend(hLib, hAck), VQX_RESULT_OK); });
  void* ap[1] = {hAck};
  const u32 aSize[1] = {VQX_MSG_HEADER_SIZE + 8};
  u32 fStop = 0;
  VqxHostGwLibRxHandlerMultiple(hLib, kBoard, 1, 1, ap, aSize, &fStop);
}

TEST_F(SendTest, ClosingWaitsForWhatAPeerHasNotAcknowledged) {
  VqxGwSetSendStandIn(&s_StandIn);
  Open(false);
  ASSERT_EQ(VQXWaitSentMsg(mhLib, 3000), VQX_RESULT_API_OK);
  Locked(mhLib, [&] { g_Posted.Seqs.clear(); });
  const auto Post = [&](u32 n) {
    for (u32 i = 0; i < n; i++) ASSERT_EQ(Send(0x03000001, kBoard, 8, VQX_MSG_TYPE_EVENT), VQX_RESULT_API_OK) << i;
  };
  const auto Ack = [&](u32 un32Posted) { AckPosted(mhLib, un32Posted); };
  const auto Build = [&](u32 un32Build) { Locked(mhLib, [&] { PeerOf(mhLib, kBoard)->un32BuildNumber = un32Build; }); };
  const u64 un64Dropped = LibStats(mhLib).TxMsgDropped;
  const struct {
    const char* pszWhat;
    std::function<void()> Step;
    VQX_TX_ACCOUNT Account; /* queued, not acknowledged, dropped, freed not acknowledged */
  } aRows[] = {
      {"5 posted, no acknowledgement seen yet", [&] { Post(5); }, {0, 0, 0, 0}},
      {"the first 2 acknowledged", [&] { Ack(2); }, {0, 3, 0, 0}},
      {"2 more posted", [&] { Post(2); }, {0, 5, 0, 0}},
      {"all acknowledged", [&] { Ack(7); }, {0, 0, 0, 0}},
      {"1 more posted", [&] { Post(1); }, {0, 1, 0, 0}},
      {"a board too old to acknowledge", [&] { Build(700); }, {0, 0, 0, 0}},
      {"3 more held in the fifo", [&] { Build(0x00600000), Locked(mhLib, [&] { g_Posted.fFull = true; }), Post(3); },
       {3, 1, 0, 0}},
      {"the board gone", [&] { Locked(mhLib, [&] { VqxHostAdapterDown(mhLib, kBoard, 1, 3); }); }, {0, 0, 3, 1}},
  };
  for (const auto& Row : aRows) {
    Row.Step();
    VQX_TX_ACCOUNT a{};
    u64 un64Pending = ~0ull;
    EXPECT_EQ(VQXGetTxAccount(mhLib, &a), VQX_RESULT_API_OK);
    EXPECT_EQ(VQXGetTxPendingCount(mhLib, &un64Pending), VQX_RESULT_API_OK);
    const auto Words = [](const VQX_TX_ACCOUNT& x) {
      return std::vector<u64>{x.un64Queued, x.un64Unacked, x.un64Dropped, x.un64UnackedFreed};
    };
    EXPECT_EQ(Words(a), Words(Row.Account)) << Row.pszWhat;
    EXPECT_EQ(un64Pending, Row.Account.un64Queued + Row.Account.un64Unacked) << Row.pszWhat;
  }
  EXPECT_TRUE(mLog.WaitFor("101 removed with 3 sent message(s) not taken, dropped, and 1 not acknowledged\n"));
  EXPECT_EQ(LibStats(mhLib).TxMsgDropped, un64Dropped + 3);
  EXPECT_EQ(VQXGetTxAccount(mhLib, nullptr), VQX_RESULT_API_NULL_PARAM);
  EXPECT_EQ(VQXGetTxAccount(nullptr, nullptr), VQX_RESULT_API_INVALID_LIB_HANDLE);
  Locked(mhLib, [&] { g_Posted.fFull = false; });
  EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
  VqxGwSetSendStandIn(nullptr);
}

/*
 * Before this library closes a transport instance's links, each of its peers is told at once that all it sent was
 * received (VqxPeersAckAll): the board, having sent 3 messages not yet acknowledged (under the 16 that are
 * acknowledged at once), gets a pure acknowledgement naming the third; the hosts' instance leaves it alone, and a
 * second call finds nothing left to acknowledge. Under one hold of the lock: no periodic acknowledgement between.
 */
TEST_F(SendTest, ClosingLinksAcknowledgesAllReceivedFirst) {
  VqxGwSetSendStandIn(&s_StandIn);
  Open(false);
  ASSERT_EQ(VQXWaitSentMsg(mhLib, 3000), VQX_RESULT_API_OK);
  std::vector<VQX_MSG_HANDLE> aMsgs;
  for (u32 i = 1; i <= 3; i++) {
    VQX_MSG_HANDLE hMsg = NewMsg(0x04000001u, 0, 8);
    hMsg->un32TxSeq = i;
    hMsg->un16ConnectionCount = 1;
    Locked(mhLib, [&] { EXPECT_EQ(VQXHostSwapMsgToSend(mhLib, hMsg), VQX_RESULT_OK); });
    aMsgs.push_back(hMsg);
  }
  const auto Acks = [&](u32 fHosts) {
    g_Posted.PureAcks.clear();
    VqxPeersAckAll(mhLib, fHosts);
    return g_Posted.PureAcks;
  };
  const std::vector<std::vector<u32>> aSeen = Locked(mhLib, [&] {
    const u32 aSize[3] = {VQX_MSG_HEADER_SIZE + 8, VQX_MSG_HEADER_SIZE + 8, VQX_MSG_HEADER_SIZE + 8};
    u32 fStop = 0;
    VqxHostGwLibRxHandlerMultiple(mhLib, kBoard, 1, 3, reinterpret_cast<void**>(aMsgs.data()), aSize, &fStop);
    return std::vector<std::vector<u32>>{Acks(1), Acks(0), Acks(0)};
  });
  EXPECT_EQ(aSeen, (std::vector<std::vector<u32>>{{}, {3u}, {}}));
  EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
  VqxGwSetSendStandIn(nullptr);
}

/*
 * A peer gone with only this library's own remote-filter messages unacknowledged (the answer to a filter it destroyed
 * just before it closed, say) lost nothing its user sent: no loss line. With one of its user's messages beside them,
 * the line counts both.
 */
TEST_F(SendTest, OnlyOwnRemoteFilterMessagesUnacknowledgedAreNoLoss) {
  VqxGwSetSendStandIn(&s_StandIn);
  Open(false);
  const struct { u32 un32User; const char* pszLine; } aRows[] = {
      {0, "removed with only 1 remote-filter message(s) of this library not acknowledged\n"},
      {1, "removed with 0 sent message(s) not taken, dropped, and 2 not acknowledged\n"}};
  for (const auto& [un32User, pszLine] : aRows) {
    if (Locked(mhLib, [&] { return PeerOf(mhLib, kBoard)->fPresent == 0; })) {
      ASSERT_EQ(PathUp(mhLib, kBoard, &mAdv), VQX_RESULT_API_OK);
    }
    ASSERT_EQ(VQXWaitSentMsg(mhLib, 3000), VQX_RESULT_API_OK);
    Locked(mhLib, [&] { g_Posted.Seqs.clear(); });
    ASSERT_EQ(Send(0x03000001, kBoard, 8, VQX_MSG_TYPE_EVENT), VQX_RESULT_API_OK);
    AckPosted(mhLib, 1);
    ASSERT_EQ(Send(VQX_MSG_ID_GW_OP_HOST_FILTER_DESTROY, kBoard, 16, VQX_MSG_TYPE_EVENT), VQX_RESULT_API_OK);
    for (u32 i = 0; i < un32User; i++) ASSERT_EQ(Send(0x03000001, kBoard, 8, VQX_MSG_TYPE_EVENT), VQX_RESULT_API_OK);
    ASSERT_EQ(VQXWaitSentMsg(mhLib, 3000), VQX_RESULT_API_OK);
    Locked(mhLib, [&] { VqxHostAdapterDown(mhLib, kBoard, 1, VQX_PEER_CAUSE_CLOSED); });
    EXPECT_TRUE(mLog.WaitFor(pszLine)) << pszLine;
  }
  EXPECT_EQ(mLog.Count(" 1 not acknowledged"), 0u) << "the first row has no loss line";
  EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
  VqxGwSetSendStandIn(nullptr);
}

}  // namespace
