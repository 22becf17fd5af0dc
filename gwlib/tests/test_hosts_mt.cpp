/*
 * test_hosts_mt.cpp - two hosts' instances in one process linked over
 * 127.0.0.1 (the one with the greater unique id connects): batches both
 * ways, what the framing would refuse, per-peer operations, handshakes
 * refused by length, destruction during a receive callback, the block of an
 * up report, an external lock, and nothing left behind. Run under
 * ThreadSanitizer too.
 */
#include <arpa/inet.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "gw_test_support.h"
#include "peers/stall_probe.h"

using namespace gwtest;

namespace {
std::vector<VqxGwLibSendRecord> Records(std::vector<std::vector<u8>>& msgs, u8 fFree = 0) {
  std::vector<VqxGwLibSendRecord> r;
  for (u32 i = 0; i < msgs.size(); i++) r.push_back({msgs[i].data(), u32(msgs[i].size()), i + 1, fFree});
  return r;
}

/* A receive callback that holds the first batch until the destruction of
 * its instance is under way (its discover and accept threads ended). */
struct HeldRx {
  Recorder* rec = nullptr;
  std::atomic<int> nCalls{0};
  std::atomic<u32> nMsgs{0};
  std::atomic<bool> fInside{false};
  static void On(void* ctx, u32, u32, u32 n, void** bufs, const u32*, u32*) {
    HeldRx* h = static_cast<HeldRx*>(ctx);
    if (h->nCalls++ == 0) {
      h->fInside = true;
      h->rec->WaitLine("gwlib_accept: ended", 10000);
    }
    for (u32 i = 0; i < n; i++) std::free(bufs[i]);
    h->nMsgs += n;
  }
};

/* An up/down callback that keeps reading the block it was given for a
 * while, as a host library copying it would, and notes any change. */
struct BlockReader {
  std::atomic<int> nUp{0};
  std::atomic<bool> fInside{false}, fChanged{false};
  static void On(void* ctx, u32, const void* pInfo, u32 fGw0Up, u32, u32) {
    BlockReader* r = static_cast<BlockReader*>(ctx);
    if (!fGw0Up || r->nUp++ != 0) return;
    u8 first[vqxgw::kHostAdvSize];
    std::memcpy(first, pInfo, sizeof(first));
    r->fInside = true;
    for (int i = 0; i < 60; i++) {
      if (std::memcmp(first, pInfo, sizeof(first)) != 0) r->fChanged = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    r->fInside = false;
  }
};

/* A host-library style re-entrant lock that defers events to its
 * outermost leave. */
struct ExtLock {
  std::recursive_mutex m;
  std::atomic<std::thread::id> owner{};
  int depth = 0;
  std::vector<void*> pending;
  std::atomic<int> deferred{0};

  static void Enter(void* c) {
    ExtLock* l = static_cast<ExtLock*>(c);
    l->m.lock();
    l->owner = std::this_thread::get_id();
    l->depth++;
  }
  static void Leave(void* c) {
    ExtLock* l = static_cast<ExtLock*>(c);
    std::vector<void*> ev;
    if (--l->depth == 0) {
      ev.swap(l->pending);
      l->owner = std::thread::id();
    }
    l->m.unlock();
    for (void* e : ev) VqxGwLibEventSetNow(e);
  }
  static void Set(void* c, void* e) {
    ExtLock* l = static_cast<ExtLock*>(c);
    if (l->owner.load() != std::this_thread::get_id()) return VqxGwLibEventSetNow(e);
    l->pending.push_back(e);
    l->deferred++;
  }
  static void Destroy(void* c, void* e) {
    ExtLock* l = static_cast<ExtLock*>(c);
    std::lock_guard<std::recursive_mutex> g(l->m);
    l->pending.erase(std::remove(l->pending.begin(), l->pending.end(), e), l->pending.end());
  }
  void Install(VqxGwLibParams& p) {
    p.pFctLockEnter = Enter;
    p.pFctLockLeave = Leave;
    p.pFctEventSet = Set;
    p.pFctEventDestroy = Destroy;
    p.pLockCtx = this;
  }
};
}  // namespace

TEST(GwHosts, LinkedPairCarriesBatchesAndRefusesWhatTheFramingCannotCarry) {
  HostPair p;
  ASSERT_TRUE(p.Link());
  EXPECT_TRUE(p.recA.Traced("CnxMode is OUT"));
  EXPECT_TRUE(p.recB.Traced("CnxMode is IN"));
  EXPECT_TRUE(p.recB.Traced("VqxGwLibAcceptPeer: Done."));
  EXPECT_FALSE(p.recA.Traced("VqxGwLibAcceptPeer: Done."));
  const u32 hB = p.recA.Report(0).hPeer;
  EXPECT_EQ(hB >> 24, 0xCBu);
  EXPECT_EQ(p.recA.Report(0).un32InfoId, 0x484C5041u); /* a host block */
  /* twenty messages leave as a batch of 15 and one of 5 */
  std::vector<std::vector<u8>> msgs;
  for (u32 i = 0; i < 20; i++) msgs.push_back(std::vector<u8>(100 + i, u8(i)));
  auto recs = Records(msgs);
  EXPECT_GE(VqxGwLibCanSendMsg(p.a, hB, nullptr), 20u);
  ASSERT_EQ(VqxGwLibSendMsgs(p.a, hB, 20, recs.data(), 1), VQX_RESULT_OK);
  ASSERT_TRUE(p.recB.WaitFor(3000, [&] { return p.recB.Messages.size() >= 20; }));
  EXPECT_TRUE(p.recB.Traced("VqxGwLibRxMultiHeaderParse testhost.appA:gw0 : Receiving payload for 15 messages"));
  EXPECT_TRUE(p.recA.Traced("testhost.appB : Finished sending MultiMsgHeader to gw0"));
  {
    std::lock_guard<std::mutex> g(p.recB.m);
    EXPECT_EQ(p.recB.BatchCounts, (std::vector<u32>{15, 5}));
    EXPECT_EQ(p.recB.Messages, msgs);
    p.recB.Messages.clear();
  }
  /* sizes the peer's framing refuses are refused at once, nothing queued */
  std::vector<u8> big(VQX_GW_MAX_MSG_SIZE + 1, 0x5A);
  const struct {
    u32 size;
    VQX_RESULT expect;
  } rows[] = {{VQX_GW_MAX_MSG_SIZE + 1, VQX_RESULT_INVALID_PARAM},
              {0, VQX_RESULT_INVALID_PARAM},
              {VQX_GW_MAX_MSG_SIZE, VQX_RESULT_OK}};
  for (auto& r : rows) {
    VqxGwLibSendRecord rec[2] = {{big.data(), 10, 1, 0}, {big.data(), r.size, 2, 0}};
    EXPECT_EQ(VqxGwLibSendMsgs(p.a, hB, 2, rec, 1), r.expect) << r.size;
  }
  ASSERT_TRUE(p.recB.WaitFor(5000, [&] { return p.recB.Messages.size() >= 2; }));
  {
    std::lock_guard<std::mutex> g(p.recB.m);
    EXPECT_EQ(p.recB.Messages[1].size(), size_t(VQX_GW_MAX_MSG_SIZE));
  }
  /* per-peer operations on an unknown handle */
  VqxGwLibRedundancyParams red{};
  VqxGwLibSendRecord one{big.data(), 10, 1, 0};
  EXPECT_EQ(VqxGwLibSendMsgs(p.a, 0xCB00ABCD, 1, &one, 1), VQX_RESULT_NOT_ACCESSIBLE);
  EXPECT_EQ(VqxGwLibSendMsgs(p.a, hB, 1, nullptr, 1), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VqxGwLibForceDisconnect(p.a, 0xCB00ABCD, 1, 1), VQX_RESULT_INVALID_HANDLE);
  EXPECT_EQ(VqxGwLibGetRedundancyParams(p.a, 0xCB00ABCD, &red), VQX_RESULT_INVALID_HANDLE);
  EXPECT_EQ(VqxGwLibSetRedundancyParams(p.a, 0xCB00ABCD, &red), VQX_RESULT_INVALID_HANDLE);
  EXPECT_EQ(VqxGwLibCanSendMsg(p.a, 0xCB00ABCD, nullptr), 0u);
  /* the peer's own delays; switching gw0 off closes it with reason 2 */
  ASSERT_EQ(VqxGwLibGetRedundancyParams(p.a, hB, &red), VQX_RESULT_OK);
  EXPECT_EQ(red.un32PollDelayMs, 300u);
  EXPECT_EQ(red.un32NetworkDownDelayMs, 2000u);
  red.fUseGw0 = 0;
  ASSERT_EQ(VqxGwLibSetRedundancyParams(p.a, hB, &red), VQX_RESULT_OK);
  ASSERT_TRUE(p.recA.WaitReports(2, 3000));
  EXPECT_EQ(p.recA.Report(1).fGw0Up, 0u);
  EXPECT_EQ(p.recA.Report(1).un32Reason, VQX_GW_CLOSE_REQUESTED);
}

TEST(GwHosts, HandshakeOfARefusedLengthIsRefusedWhole) {
  /* Each row sends a whole handshake: the length word and as many bytes
   * as it announces (or fewer, then the writer stops and waits); the link
   * is closed without a byte back and the row's own line is logged. */
  Instance in([](Recorder& r) {
    UseLoopbackNets(1);
    return HostParams(FreeLoopbackPort(), 0, kSmallId, "appB", r, 300, 2000, 2000, nullptr);
  });
  UdpPeer u;
  u.Send(in.params.aun16GwPorts[0], Word(0x484C4449, 4));
  std::vector<u8> adv = u.Recv(3000);
  VQX_GW_HOST_ADV me;
  ASSERT_TRUE(vqxgw::DecodeHostAdv(vqxgw::VqxGwCursor(adv.data(), adv.size()), me));
  VQX_GW_HOST_ADV smaller = me; /* a peer this instance connects to */
  smaller.Info.un64UniqueId = kSmallId - 1;
  u8 block[vqxgw::kHostAdvSize];
  vqxgw::EncodeHostAdv(smaller, block);
  struct Row {
    u32 announced;
    u32 sent;
    const char* line;
  } const rows[] = {{0, 0, "failed to read gw packet (bad length 0)"},
                    {100, 100, "failed to read gw packet (bad length 100)"},
                    {439, 439, "failed to read gw packet (bad length 439)"},
                    {1465, 1465, "failed to read gw packet (bad length 1465)"},
                    {0xFFFFFFFF, 1465, "failed to read gw packet (bad length 4294967295)"},
                    {440, 200, "failed to read gw packet (read 0)"}, /* the writer leaves after 200 */
                    {440, 440, "Refusing connection from testhost.appB because ConnectionMode is 'OUT only'"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line);
    in.rec.ClearLines();
    int s = ConnectLoopback(u16(me.un32TcpPort));
    ASSERT_GE(s, 0);
    std::vector<u8> out(4 + r.sent, 0);
    vqxgw::PutBe32(out.data(), r.announced);
    std::memcpy(out.data() + 4, block, std::min<size_t>(r.sent, sizeof(block)));
    ASSERT_EQ(send(s, out.data(), out.size(), MSG_NOSIGNAL), ssize_t(out.size()));
    if (r.sent < r.announced && r.announced != 0xFFFFFFFF) shutdown(s, SHUT_WR);
    EXPECT_TRUE(ClosedWithoutData(s, 3000));
    close(s);
    EXPECT_TRUE(in.rec.WaitLine(r.line));
  }
  EXPECT_EQ(in.rec.Reports(), 0u); /* no peer came up */
}

TEST(GwHosts, ForceDisconnectAndDestroyLeaveNoThreadNorDescriptor) {
  std::thread([] {}).join(); /* ThreadSanitizer starts its own thread first */
  const int threads0 = SettledThreadCount(), fds0 = FdCount();
  {
    HostPair p;
    EXPECT_EQ(ThreadCount(), threads0);
    ASSERT_TRUE(p.Link());
    EXPECT_EQ(ThreadCount(), threads0 + 8); /* four per instance */
    EXPECT_GT(FdCount(), fds0);
    /* a second enable after a disable starts no thread */
    EXPECT_EQ(VqxGwLibDisable(p.a), VQX_RESULT_OK);
    EXPECT_EQ(VqxGwLibEnable(p.a), VQX_RESULT_OK);
    EXPECT_EQ(ThreadCount(), threads0 + 8);
    /* a path closed on request is reported with reason 2 */
    ASSERT_EQ(VqxGwLibForceDisconnect(p.a, p.recA.Report(0).hPeer, 1, 0), VQX_RESULT_OK);
    ASSERT_TRUE(p.recA.WaitReports(2, 3000));
    EXPECT_EQ(p.recA.Report(1).fGw0Up, 0u);
    EXPECT_EQ(p.recA.Report(1).un32Reason, VQX_GW_CLOSE_REQUESTED);
  }
  for (int i = 0; i < 50 && ThreadCount() != threads0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(ThreadCount(), threads0);
  EXPECT_EQ(FdCount(), fds0);
}

/* Destroying a linked instance is a clean end: it logs no error line (its connect thread
 * found the paths the destroy had just closed and reported each as a fault, about one run in two). */
TEST(GwHosts, CleanDestroyLogsNoErrorLine) {
  for (int nRound = 0; nRound < 4; nRound++) {
    HostPair p;
    ASSERT_TRUE(p.Link());
    EXPECT_EQ(VqxGwLibDestroy(p.a), VQX_RESULT_OK);
    EXPECT_EQ(VqxGwLibDestroy(p.b), VQX_RESULT_OK);
    p.a = p.b = nullptr;
    /* B, destroyed second, may first see A's close as a reset: a fault from where it stands. */
    std::lock_guard<std::mutex> g(p.recA.m);
    EXPECT_EQ(p.recA.Errors, std::vector<std::string>()) << "round " << nRound;
    EXPECT_FALSE(Recorder::Has(p.recB.Errors, "ERROR!!")) << "round " << nRound;
  }
}

/* An instance destroyed while its link still carries what it sent (16 MiB queued at once: most of it still in its
 * ring, the sockets full): the destroy writes it out before it shuts the link down, so that the peer reads every
 * message, then the end of the stream (closed by the remote, reason 3), no reset, and closes its end at once (the
 * destroy waits out no window for it unless the machine held its threads that long); also to a peer that reads
 * slowly, the writing outlasting the 2 s a peer is given once nothing more is written. A peer that takes nothing
 * (its receive thread held) is given those 2 s once: past the write side's shutdown, not a second window. */
TEST(GwHosts, DestroyEndsALinkOnceWhatItQueuedIsWritten) {
  const struct {
    const char* pszWhat;
    u32 un32HoldMs, un32Msgs;
    bool fTakesNothing;
  } aRows[] = {{"a peer reading at once", 0, 250, false}, {"a slow reader", 300, 250, false},
               {"a peer that takes nothing", 0, 1, true}};
  for (const auto& Row : aRows) {
    SCOPED_TRACE(Row.pszWhat);
    peerwait::StallProbe stall;
    HostPair p;
    ASSERT_TRUE(p.Link());
    p.recB.un32RxHoldMs = Row.un32HoldMs;
    p.recB.fRxHeld = Row.fTakesNothing;
    const u32 hB = p.recA.Report(0).hPeer;
    std::vector<std::vector<u8>> msgs;
    for (u32 i = 0; i < Row.un32Msgs; i++) msgs.push_back(std::vector<u8>(65536, u8(i)));
    auto recs = Records(msgs);
    ASSERT_EQ(VqxGwLibSendMsgs(p.a, hB, u32(recs.size()), recs.data(), 1), VQX_RESULT_OK);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(VqxGwLibDestroy(p.a), VQX_RESULT_OK);
    const auto t1 = std::chrono::steady_clock::now();
    p.a = nullptr;
    p.recB.fRxHeld = false;
    const long nHeldMs = stall.WorstMs(t0, t1);
    const bool fWindow = p.recA.Traced("not closed by the peer within");
    if (Row.fTakesNothing) {
      EXPECT_TRUE(p.recA.Traced("(all written), closed")) << "its write side shut, then its window waited out";
      EXPECT_GE(MsBetween(t0, t1), 2000);
      EXPECT_LT(MsBetween(t0, t1), 3000 + nHeldMs) << "one window, " << stall.Seen();
    } else {
      EXPECT_TRUE(Row.un32HoldMs != 0 || !fWindow || nHeldMs >= 1000) << "the peer closed at the end of the stream, "
                                                                        << stall.Seen();
    }
    ASSERT_TRUE(p.recB.WaitReports(2, 60000));
    EXPECT_EQ(p.recB.Report(1).fGw0Up, 0u);
    EXPECT_TRUE(Row.fTakesNothing || p.recB.Report(1).un32Reason == VQX_GW_CLOSE_BY_REMOTE) << "not a reset (a read error)";
    std::lock_guard<std::mutex> g(p.recB.m);
    EXPECT_EQ(p.recB.Messages.size(), msgs.size());
    if (Row.fTakesNothing) continue;
    EXPECT_TRUE(p.recB.Messages == msgs);
    EXPECT_EQ(p.recB.un32Lost, 0u);
    /* the slow reader's callbacks alone outlast the 2 s */
    EXPECT_TRUE(Row.un32HoldMs == 0 || p.recB.BatchCounts.size() * Row.un32HoldMs > 2000)
        << p.recB.BatchCounts.size() << " callbacks";
  }
}

/* A path its peer closes (the end of its stream, reason 3) tells what the peer had not taken of what this side gave
 * it (VqxGwLibPathUntaken, as the host library asks while the path is reported down): nothing once the peer read it
 * all, the rest of a megabyte when it took nothing (its receive window full). */
TEST(GwHosts, APathItsPeerClosesTellsWhatThePeerHadNotTaken) {
  const struct {
    const char* pszRow;
    bool fRead;
  } aRows[] = {{"read all, then ended", true}, {"took nothing of a megabyte, then ended", false}};
  for (const auto& Row : aRows) {
    SCOPED_TRACE(Row.pszRow);
    std::vector<std::vector<u8>> msgs(Row.fRead ? 2 : 16, std::vector<u8>(65536, 0x5A));
    std::memcpy(msgs.back().data() + 65536 - 8, "ENDMARK!", 8);
    Instance in([](Recorder& r) {
      UseLoopbackNets(1);
      return HostParams(FreeLoopbackPort(), 0, kSmallId, "quellan", r, 0, 4500, 10000, nullptr); /* no polls */
    });
    const int s = gwpeer::LinkIn(in.params.aun16GwPorts[0]);
    ASSERT_GE(s, 0);
    ASSERT_TRUE(in.rec.WaitReports(1, 3000));
    auto recs = Records(msgs);
    ASSERT_EQ(VqxGwLibSendMsgs(in.ctx, in.Peer(0), u32(recs.size()), recs.data(), 1), VQX_RESULT_OK);
    std::string strTail;
    for (int i = 0; Row.fRead && i < 1000 && strTail.find("ENDMARK!") == std::string::npos; i++) {
      pollfd pf{s, POLLIN, 0};
      char buf[65536];
      const ssize_t n = poll(&pf, 1, 3000) == 1 ? recv(s, buf, sizeof(buf), 0) : 0;
      ASSERT_GT(n, 0) << "the stream stopped before its end";
      strTail = strTail.substr(strTail.size() > 8 ? strTail.size() - 8 : 0) + std::string(buf, size_t(n));
    }
    ASSERT_EQ(shutdown(s, SHUT_WR), 0);
    ASSERT_TRUE(in.rec.WaitReports(2, 3000));
    const UpDown d = in.rec.Report(1);
    EXPECT_EQ(d.fGw0Up, 0u);
    EXPECT_EQ(d.un32Reason, VQX_GW_CLOSE_BY_REMOTE);
    EXPECT_EQ(d.un64Untaken != 0, !Row.fRead) << d.un64Untaken << " bytes not taken";
    close(s);
  }
}

TEST(GwHosts, DestroyWaitsForTheReceiveCallbackInProgress) {
  HeldRx held;
  /* A's name is longer than the inline string buffer: B's record of A
   * keeps it on the heap, where a use after the record's release is
   * caught. */
  HostPair p(
      300,
      [&](VqxGwLibParams&, VqxGwLibParams& pb) {
        pb.pFctRxMultiple = HeldRx::On;
        pb.pRxCtx = &held;
        pb.pFctRxLost = nullptr;
      },
      "an-application-with-a-long-name");
  held.rec = &p.recB;
  ASSERT_TRUE(p.Link());
  /* 16 messages leave in one write (a batch of 15 and a batch of 1), so
   * the second batch is parsed after the first callback returns */
  std::vector<std::vector<u8>> msgs(16, std::vector<u8>(100, 0x33));
  auto recs = Records(msgs);
  ASSERT_EQ(VqxGwLibSendMsgs(p.a, p.recA.Report(0).hPeer, 16, recs.data(), 1), VQX_RESULT_OK);
  ASSERT_TRUE(p.recB.WaitFor(5000, [&] { return held.fInside.load(); }));
  EXPECT_EQ(VqxGwLibDestroy(p.b), VQX_RESULT_OK);
  p.b = nullptr;
  EXPECT_EQ(held.nCalls.load(), 2);
  EXPECT_EQ(held.nMsgs.load(), 16u);
  /* Its connect thread ran while the destroy waited: a closed path is not reported as a fault. */
  EXPECT_FALSE(p.recB.WaitFor(0, [&] { return Recorder::Has(p.recB.Errors, "ERROR!!"); }));
}

TEST(GwHosts, UpDownBlockStaysStillWhileAdvertisementsArrive) {
  /* advertisements update the peer's record while its up report is made
   * without the lock: the callback must get a block nobody writes */
  BlockReader reader;
  HostPair p(300, [&](VqxGwLibParams& pa, VqxGwLibParams&) {
    pa.pFctUpDown = BlockReader::On;
    pa.pUpDownCtx = &reader;
  });
  p.Enable();
  ASSERT_TRUE(p.recB.WaitFor(8000, [&] { return reader.fInside.load(); }));
  /* each round of B sends A its advertisement (kind 2) */
  for (int i = 0; i < 5 && reader.fInside; i++) EXPECT_EQ(VqxGwLibForceDiscover(p.b), VQX_RESULT_OK);
  EXPECT_TRUE(p.recA.WaitFor(3000, [&] { return !reader.fInside.load(); }));
  EXPECT_FALSE(reader.fChanged.load());
}

TEST(GwHosts, ExternalLockWithDeferredEvents) {
  std::thread([] {}).join();
  const int threads0 = SettledThreadCount(), fds0 = FdCount();
  {
    ExtLock la, lb;
    HostPair p(300, [&](VqxGwLibParams& pa, VqxGwLibParams& pb) {
      la.Install(pa);
      lb.Install(pb);
    });
    ASSERT_TRUE(p.Link());
    std::vector<std::vector<u8>> msgs(20, std::vector<u8>(80, 7));
    auto recs = Records(msgs);
    ASSERT_EQ(VqxGwLibSendMsgs(p.a, p.recA.Report(0).hPeer, 20, recs.data(), 1), VQX_RESULT_OK);
    EXPECT_TRUE(p.recB.WaitFor(3000, [&] { return p.recB.Messages.size() >= 20; }));
    EXPECT_GT(la.deferred.load() + lb.deferred.load(), 0); /* events went through the user's lock */
  }
  /* joined threads can stay listed a moment after the join returns */
  for (int i = 0; i < 50 && ThreadCount() != threads0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(ThreadCount(), threads0);
  EXPECT_EQ(FdCount(), fds0);
}
