/*
 * test_keepalive_mt.cpp - keep-alive of a link to a host peer played by a
 * raw socket on 127.0.0.1 (testing/peers/gw_raw_host.h): a peer that keeps
 * sending data is never polled, one that answers polls stays linked past
 * the down delay, a silent one is closed with reason 9 within the delay and
 * one poll period. Also older peers (separate sockets, UDP keep-alive), a
 * link reset by the remote, a partly received batch, the links closed by the
 * user, a board on a local interface, a destruction during a handshake read,
 * and the keep-alive's record of a split path read from its two sockets.
 */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "gw_test_support.h"
#include "gwlib_internal.h"
#include "peers/boardsim_process.h"
#include "peers/gw_raw_host.h"
#include "peers/loopback.h"
#include "peers/stall_probe.h"
#include "peers/wait_until.h"

using namespace gwtest;
using namespace vqxgw;

namespace {

/* A hosts' instance and a raw peer of an older build (TCP polls, combined
 * sockets, no 127.0.0.1 exemption from the poll period) linked into it. */
struct RawPeer {
  Instance in;
  int s = -1;

  RawPeer(u32 pollMs, u32 downMs, const std::function<void(VqxGwLibParams&)>& adjust = {})
      : in([&](Recorder& r) {
          UseLoopbackNets(1);
          VqxGwLibParams p = HostParams(FreeLoopbackPort(), 0, kSmallId, "inst", r, pollMs, downMs, downMs, nullptr);
          if (adjust) adjust(p);
          return p;
        }) {
    gwpeer::RawHost me;
    me.un32BuildNumber = 0x02030000;
    me.un8NewInfo = 0;
    me.pszHostName = "raw";
    me.pszAppName = "peer";
    s = gwpeer::LinkIn(in.params.aun16GwPorts[0], me);
    EXPECT_GE(s, 0);
    EXPECT_TRUE(in.rec.WaitReports(1, 5000));
  }
  ~RawPeer() {
    if (s >= 0) close(s);
  }
  /* Reads for ms, counting the 64-byte zero polls (nothing else comes);
   * answers them, and/or sends a one-message batch every 50 ms: counted in
   * nSent, the time since the one before kept in SendGaps (ms). */
  u32 nSent = 0;
  std::vector<long> SendGaps;
  int CountPolls(u32 ms, bool fAnswer, bool fSendData) {
    int polls = 0;
    std::vector<u8> pending;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (auto tSent = std::chrono::steady_clock::now(); std::chrono::steady_clock::now() < end;) {
      u8 data[kBatchHeaderSize + 10] = {0, 0, 0, 1, 0, 0, 0, 10}; /* a batch of one 10-byte message */
      if (fSendData && send(s, data, sizeof(data), MSG_NOSIGNAL) != ssize_t(sizeof(data))) break;
      if (fSendData) {
        nSent++;
        SendGaps.push_back(MsSince(tSent));
        tSent = std::chrono::steady_clock::now();
      }
      pollfd pf{s, POLLIN, 0};
      if (poll(&pf, 1, 50) <= 0) continue;
      u8 b[4096];
      ssize_t n = recv(s, b, sizeof(b), 0);
      if (n <= 0) break;
      pending.insert(pending.end(), b, b + n);
      for (; pending.size() >= kBatchHeaderSize; polls++) {
        EXPECT_TRUE(std::all_of(pending.begin(), pending.begin() + kBatchHeaderSize, [](u8 x) { return x == 0; }));
        pending.erase(pending.begin(), pending.begin() + kBatchHeaderSize);
        const std::vector<u8> reply(kBatchHeaderSize, 0xFF);
        if (fAnswer) send(s, reply.data(), reply.size(), MSG_NOSIGNAL);
      }
    }
    return polls;
  }
};

/* An adapters' instance on one path of two (polls every 100 ms, the adapter-down delay of 300 ms the limit) whose
 * batches go to on(ctx), and a raw board linked into it, its handshake sent: s is the board's end. */
struct LinkedBoard {
  Instance in;
  int s = -1;
  LinkedBoard(gwpeer::RawBoard& board, PFN_VQX_GW_RX_MULTIPLE on, void* ctx)
      : in([&](Recorder& r) {
          UseLoopbackNets(1);
          VqxGwLibParams p = AdapterParams(FreeLoopbackPort(), r, 100, 5000, 300);
          p.pFctRxMultiple = on;
          p.pRxCtx = ctx;
          p.pFctRxLost = nullptr; /* its context is the Rx context */
          return p;
        }) {
    s = board.AdvertiseUntilLinked(in.params.aun16GwPorts[0], "127.0.0.1", "");
    EXPECT_GE(s, 0);
    EXPECT_EQ(send(s, "\0\0\0\7", 4, MSG_NOSIGNAL), 4);
    EXPECT_TRUE(in.rec.WaitReports(1, 3000));
  }
  ~LinkedBoard() {
    if (s >= 0) close(s);
  }
};

}  // namespace

/* The trace lines holding part that an instance logged so far. */
long Traces(Recorder& rec, const char* part) {
  std::lock_guard<std::mutex> g(rec.m);
  return long(std::count_if(rec.Traces.begin(), rec.Traces.end(),
                            [&](const std::string& t) { return t.find(part) != std::string::npos; }));
}

/* A poll comes due only once the instance read nothing for a poll period: a gap in the peer's sending, or in its
 * data's arrival, may bring one, nothing else. The polls the instance wrote (its own lines, not those the peer reads:
 * the link's first may reach it late) are judged against the peer's gaps, each widened by what the machine held a
 * thread meanwhile (the peer's, the kernel's delivery). */
TEST(GwKeepAlive, PeerSendingDataIsNeverPolled) {
  constexpr u32 kPoll = 200;
  constexpr const char* kPollLine = "raw.peer : Finished sending TCP Polling to gw0";
  RawPeer r(kPoll, 800);
  r.CountPolls(250, false, true); /* a link starts with one poll */
  const long nPollsBefore = Traces(r.in.rec, kPollLine);
  r.SendGaps.clear();
  peerwait::StallProbe stall;
  r.CountPolls(4 * kPoll, false, true); /* four poll periods */
  const long nPolls = Traces(r.in.rec, kPollLine) - nPollsBefore;
  const long nGaps = long(std::count_if(r.SendGaps.begin(), r.SendGaps.end(),
                                        [&](long ms) { return ms + stall.WorstMs() > long(kPoll) - 20; }));
  EXPECT_LE(nPolls, nGaps) << "polls written while the peer sent; " << stall.Seen();
  EXPECT_EQ(r.in.rec.Reports(), 1u);
  EXPECT_TRUE(r.in.rec.WaitFor(3000, [&] { return r.in.rec.Messages.size() == r.nSent; }))
      << r.nSent << " batches sent, each delivered";
}

/* The silence the instance closed on (its first timeout line: since the peer's last byte), -1 without one */
long SilenceClosedOn(Recorder& rec) {
  std::lock_guard<std::mutex> g(rec.m);
  for (const std::string& e : rec.Errors)
    if (const size_t at = e.find("TCP timeout ("); at != std::string::npos) return std::atol(e.c_str() + at + 13);
  return -1;
}

/* When the first down report of hPeer came (the recorder's clock), waiting 3 s at most for it; the clock's epoch
 * without one. */
std::chrono::steady_clock::time_point DownAt(Recorder& rec, u32 hPeer) {
  std::chrono::steady_clock::time_point tAt{};
  rec.WaitFor(3000, [&] {
    for (const UpDown& u : rec.UpDowns)
      if (u.hPeer == hPeer && u.fGw0Up == 0) return tAt = u.tAt, true;
    return false;
  });
  return tAt;
}

/* A live peer, heard from at least every nominalMs when let run, closed at tAt on its limit: the machine's doing only
 * when it held a thread past the rest of the limit over the limit and a look (250 ms) before the close. */
void ExpectClosedByAHold(const peerwait::StallProbe& stall, std::chrono::steady_clock::time_point tAt, long limit,
                         long nominal, const std::string& what) {
  const long span = limit + 250;
  EXPECT_TRUE(peerwait::StallProbe::HeldPast(stall.WorstMsBefore(tAt, span), limit, nominal))
      << what << " closed, " << stall.SeenBefore(tAt, span);
}

/* A peer that answers every poll is heard from within a poll period and its answer's scheduling (50 ms): only the
 * machine holding a thread (the peer's, the instance's) longer than the rest of the limit may close it. */
TEST(GwKeepAlive, PeerAnsweringPollsStaysLinkedPastTheDownDelay) {
  constexpr long kPoll = 100, kDown = 300, kAnswer = 50;
  RawPeer r(kPoll, kDown);
  peerwait::StallProbe stall;
  const int polls = r.CountPolls(1000, true, false); /* three down delays */
  if (const long silence = SilenceClosedOn(r.in.rec); silence >= 0) {
    EXPECT_TRUE(r.in.rec.WaitReports(2, 3000));
    ExpectClosedByAHold(stall, r.in.rec.Report(1).tAt, kDown, kPoll + kAnswer,
                        "answering, on " + std::to_string(silence) + " ms of silence,");
    return;
  }
  EXPECT_GE(polls, (1000 - stall.WorstMs()) / (2 * kPoll)) << "about 10 expected, " << stall.Seen();
  EXPECT_LE(polls, 12);
  EXPECT_EQ(r.in.rec.Reports(), 1u);
}

/* The two down delays differ tenfold, so that the one applied shows: the network-down delay while the
 * instance uses one path, the adapter-down delay when it uses two and the peer has only one linked. The silence the
 * instance closed on is bounded, beyond the delay and a poll period, by a look's scheduling and what the machine held
 * the test's threads back meanwhile. */
TEST(GwKeepAlive, SilentPeerIsClosedWithinTheDelayAndOnePollPeriod) {
  const u32 poll = 100, down = 400, slack = 150; /* slack: scheduling only */
  const struct { const char* what; u32 isGw1, netDown, adaDown; } rows[] = {
      {"gw0 only: network-down", 0, down, 10 * down},
      {"gw1 not linked: adapter-down", 1, 10 * down, down},
  };
  for (const auto& row : rows) {
    RawPeer r(poll, down, [&](VqxGwLibParams& p) {
      p.fIsGw1 = row.isGw1;
      p.RedundancyParams.un32NetworkDownDelayMs = row.netDown;
      p.RedundancyParams.un32AdapterDownDelayMs = row.adaDown;
    });
    peerwait::StallProbe stall;
    EXPECT_GE(r.CountPolls(down, false, false), 3 - stall.WorstMs() / long(poll)) << row.what << ", " << stall.Seen();
    ASSERT_TRUE(r.in.rec.WaitReports(2, 6000)) << row.what;
    const long silence = SilenceClosedOn(r.in.rec);
    EXPECT_GE(silence, long(down)) << row.what;
    EXPECT_LE(silence, long(down + poll + slack) + stall.WorstMs()) << row.what << ", " << stall.Seen();
    EXPECT_EQ(r.in.rec.Report(1).fGw0Up, 0u) << row.what;
    EXPECT_EQ(r.in.rec.Report(1).un32Reason, VQX_GW_CLOSE_TCP_TIMEOUT) << row.what;
    EXPECT_TRUE(r.in.rec.HasError("VqxGwLibDiscoverThread: Remote raw.peer: gw0 TCP timeout (")) << row.what;
    EXPECT_TRUE(r.in.rec.HasError("ms > 400ms)")) << row.what << ": the limit logged";
  }
}

TEST(GwKeepAlive, WritingToALinkResetByTheRemoteRaisesNoSignal) {
  RawPeer r(0, 800);
  const u32 h = r.in.Peer();
  linger lg{1, 0}; /* close with a reset */
  setsockopt(r.s, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
  close(r.s);
  r.s = -1;
  std::vector<u8> m(1000, 3);
  for (u32 i = 0; i < 200 && r.in.rec.Reports() < 2; i++) {
    VqxGwLibSendRecord rec{m.data(), 1000, i, 0};
    if (VqxGwLibSendMsgs(r.in.ctx, h, 1, &rec, 1) == VQX_RESULT_NOT_ACCESSIBLE) break;
    r.in.rec.WaitReports(2, 2);
  }
  ASSERT_TRUE(r.in.rec.WaitReports(2, 3000));
  EXPECT_EQ(r.in.rec.Report(1).fGw0Up, 0u);
  const u32 reason = r.in.rec.Report(1).un32Reason;
  EXPECT_TRUE(reason == VQX_GW_CLOSE_BY_REMOTE || reason == VQX_GW_CLOSE_READ_ERROR ||
              reason == VQX_GW_CLOSE_WRITE_ERROR)
      << reason;
}

/* Rows: how a link goes while a batch of two messages is half received (its first message complete). Read: the
 * complete message is delivered, as when the remote closes, when this side closes the link reading it first (the user's
 * VqxGwLibCloseLinks or VqxGwLibForceDisconnectRead, the path switched off, the keep-alive), or not (a plain
 * VqxGwLibForceDisconnect, which a
 * flush may come with; the instance destroyed). Each time the messages lost are told to the user (pFctRxLost) before
 * the path is reported down, with a line: an error while the instance runs, a trace as it is closed or destroyed. */
TEST(GwKeepAlive, PartlyReceivedBatchIsFreedWhenTheLinkOrTheInstanceGoes) {
  enum How { kRemote, kDestroy, kCloseLinks, kDisconnect, kDisconnectRead, kSwitchedOff, kSilent };
  const struct {
    const char* pszWhat;
    How how;
    bool fRead;
    u32 un32Reason; /* of the path's down report; 0: made as the instance goes, not looked at */
  } rows[] = {
      {"closed by the remote", kRemote, true, VQX_GW_CLOSE_BY_REMOTE},
      {"instance destroyed", kDestroy, false, 0},
      {"links closed by the user", kCloseLinks, true, 0},
      {"disconnected as it stands", kDisconnect, false, VQX_GW_CLOSE_REQUESTED},
      {"disconnected, read first", kDisconnectRead, true, VQX_GW_CLOSE_REQUESTED},
      {"its path switched off", kSwitchedOff, true, VQX_GW_CLOSE_REQUESTED},
      {"silent: the keep-alive closes it", kSilent, true, VQX_GW_CLOSE_TCP_TIMEOUT},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.pszWhat);
    RawPeer r(row.how == kSilent ? 100 : 0, 1500);
    const u32 sizes[2] = {1000, 1000};
    u8 h[kBatchHeaderSize];
    EncodeBatchHeader(2, sizes, h);
    std::vector<u8> out(h, h + sizeof(h));
    out.resize(out.size() + 1500, 0x77); /* the first message and half the second */
    ASSERT_EQ(send(r.s, out.data(), out.size(), MSG_NOSIGNAL), ssize_t(out.size()));
    EXPECT_TRUE(r.in.rec.WaitLine("raw.peer:gw0 : Receiving payload for 2 messages"));
    if (row.how == kDestroy || row.how == kCloseLinks) {
      if (row.how == kCloseLinks) {
        EXPECT_EQ(VqxGwLibCloseLinks(r.in.ctx), VQX_RESULT_OK);
      }
      VqxGwLibDestroy(r.in.ctx);
      r.in.ctx = nullptr;
    } else {
      if (row.how == kRemote) {
        close(r.s);
        r.s = -1;
      } else if (row.how == kSwitchedOff) {
        VqxGwLibRedundancyParams red{};
        EXPECT_EQ(VqxGwLibGetRedundancyParams(r.in.ctx, r.in.Peer(), &red), VQX_RESULT_OK);
        red.fUseGw0 = 0;
        EXPECT_EQ(VqxGwLibSetRedundancyParams(r.in.ctx, r.in.Peer(), &red), VQX_RESULT_OK);
      } else if (row.how != kSilent) {
        const u32 hPeer = r.in.Peer();
        EXPECT_EQ((row.how == kDisconnect ? VqxGwLibForceDisconnect : VqxGwLibForceDisconnectRead)(r.in.ctx, hPeer, 1, 0),
                  VQX_RESULT_OK);
      }
      EXPECT_TRUE(r.in.rec.WaitReports(2, 5000));
      EXPECT_EQ(r.in.rec.Report(1).un32Reason, row.un32Reason);
    }
    const u32 un32Lost = row.fRead ? 1 : 2;
    const std::string line = "raw.peer:gw0 : link closed within a batch, " + std::to_string(un32Lost) + " message(s) of it lost";
    std::lock_guard<std::mutex> g(r.in.rec.m);
    EXPECT_EQ(r.in.rec.nFreed, int(un32Lost));
    EXPECT_EQ(r.in.rec.Messages.size(), 2u - un32Lost);
    EXPECT_EQ(Recorder::Has(r.in.rec.Errors, line), row.how != kDestroy && row.how != kCloseLinks);
    EXPECT_EQ(Recorder::Has(r.in.rec.Traces, line), row.how == kDestroy || row.how == kCloseLinks) << "traced, no error";
    EXPECT_EQ(r.in.rec.un32Lost, un32Lost);
    EXPECT_EQ(r.in.rec.nReportsBeforeLost, 1) << "told while the path is still up";
  }
}

/* The links closed by the user (VqxGwLibCloseLinks) while the first message keeps the receive thread in its callback
 * and the peer's TCP has taken the rest: 39 messages, then a batch cut short. Rows: the callback returns once the close
 * has begun: the close reads the socket before it closes the link, and returns once every whole message is delivered
 * (the cut one traced as lost); or it returns once the close has given up (2 s): the close fails, logging the bytes
 * left unread, and the receive thread still reads them as it closes the link, the cut message then an error. */
TEST(GwKeepAlive, LinksClosedByTheUserDeliverWhatTheirTcpTookOrTheCloseFails) {
  for (const bool fGiveUp : {false, true}) {
    SCOPED_TRACE(fGiveUp ? "callback kept until the close gave up" : "callback returns as the close begins");
    struct Held {
      Recorder* pRec;
      const char* pszRelease; /* the line that ends the first callback */
      std::atomic<u32> nMsgs{0};
      static void On(void* pv, u32, u32, u32 n, void** bufs, const u32*, u32*) {
        Held* h = static_cast<Held*>(pv);
        for (u32 i = 0; i < n; i++) std::free(bufs[i]);
        if (h->nMsgs.fetch_add(n) == 0) h->pRec->WaitLine(h->pszRelease, 5000);
      }
      static void Lost(void* pv, u32, u32, u32 n) { static_cast<Held*>(pv)->pRec->NoteLost(n); }
    } held{nullptr, fGiveUp ? "VqxGwLibCloseLinks raw.peer:gw0 : still open after 2000 ms"
                            : "VqxGwLibCloseLinks raw.peer:gw0 : closing"};
    RawPeer r(0, 800, [&](VqxGwLibParams& p) { p.pFctRxMultiple = Held::On, p.pRxCtx = &held, p.pFctRxLost = Held::Lost; });
    held.pRec = &r.in.rec;
    const auto Send = [&](u32 n, u32 un32Bytes) { /* a batch of n messages of 1000 bytes, its first un32Bytes */
      u8 h[kBatchHeaderSize];
      EncodeBatchHeader(n, std::vector<u32>(n, 1000).data(), h);
      std::vector<u8> out(h, h + sizeof(h));
      out.resize(out.size() + un32Bytes, 0x66);
      return send(r.s, out.data(), out.size(), MSG_NOSIGNAL) == ssize_t(out.size()) ? u32(out.size()) : 0u;
    };
    ASSERT_NE(Send(1, 1000), 0u);
    ASSERT_TRUE(peerwait::WaitUntil([&] { return held.nMsgs.load() == 1; }, 5000));
    const u32 un32Unread = Send(13, 13000) + Send(13, 13000) + Send(13, 13000) + Send(2, 1500);
    ASSERT_TRUE(peerwait::WaitUntil([&] { int n = -1; return ioctl(r.s, SIOCOUTQ, &n) == 0 && n == 0; }, 5000))
        << "every byte acknowledged";
    EXPECT_EQ(VqxGwLibCloseLinks(r.in.ctx), fGiveUp ? VQX_RESULT_TIMEOUT : VQX_RESULT_OK);
    EXPECT_TRUE(fGiveUp || held.nMsgs.load() == 41u) << held.nMsgs.load() << ": the close returns once the link is read";
    EXPECT_EQ(r.in.rec.HasError("still open after 2000 ms, " + std::to_string(un32Unread) + " byte(s) from it unread"),
              fGiveUp);
    const auto Cut = [&](bool fError, u32 ms) {
      return r.in.rec.WaitFor(ms, [&] {
        return Recorder::Has(fError ? r.in.rec.Errors : r.in.rec.Traces,
                             "raw.peer:gw0 : link closed within a batch, 1 message(s) of it lost");
      });
    };
    EXPECT_TRUE(Cut(fGiveUp, 3000) && !Cut(!fGiveUp, 0)) << "an error once the close is over";
    EXPECT_EQ(held.nMsgs.load(), 41u);
    ASSERT_TRUE(r.in.rec.WaitReports(2, 3000));
    EXPECT_TRUE(r.in.rec.WaitFor(0, [&] { return r.in.rec.un32Lost == 1 && r.in.rec.nReportsBeforeLost == 1; }));
    EXPECT_EQ(r.in.rec.Report(1).un32Reason, VQX_GW_CLOSE_REQUESTED);
  }
}

/* What the peer's TCP accepted before a keep-alive close is delivered: A holds its first delivery while
 * B sends on and then stops answering the UDP polls; the rest waits in A's socket until the timeout. */
TEST(GwKeepAlive, DataAcceptedBeforeATimeoutCloseIsDelivered) {
  struct HeldFirst {
    Recorder* pRec = nullptr;
    std::atomic<bool> fInside{false};
    std::atomic<u32> nMsgs{0};
    static void On(void* pv, u32, u32, u32 n, void** bufs, const u32*, u32*) {
      HeldFirst* h = static_cast<HeldFirst*>(pv);
      if (!h->fInside.exchange(true)) h->pRec->WaitFor(5000, [&] { return h->pRec->UpDowns.size() >= 2; });
      h->nMsgs += n;
      for (u32 i = 0; i < n; i++) std::free(bufs[i]);
    }
  } held;
  HostPair p(100, [&](VqxGwLibParams& pa, VqxGwLibParams& pb) {
    pa.HostGwParms.un32BuildNumber = pb.HostGwParms.un32BuildNumber = 700; /* UDP keep-alive only */
    pa.RedundancyParams.un32NetworkDownDelayMs = pa.RedundancyParams.un32AdapterDownDelayMs = 400;
    pb.RedundancyParams.un32NetworkDownDelayMs = pb.RedundancyParams.un32AdapterDownDelayMs = 8000;
    pa.pFctRxMultiple = HeldFirst::On;
    pa.pRxCtx = &held;
    pa.pFctRxLost = nullptr;
  });
  held.pRec = &p.recA;
  ASSERT_TRUE(p.Link());
  peerwait::StallProbe stall;
  constexpr u32 kMsgs = 40;
  std::vector<u8> m(1000, 0x55);
  VqxGwLibSendRecord rec{m.data(), u32(m.size()), 0, 0};
  ASSERT_EQ(VqxGwLibSendMsgs(p.b, p.recB.Report(0).hPeer, 1, &rec, 1), VQX_RESULT_OK);
  ASSERT_TRUE(peerwait::WaitUntil([&] { return held.fInside.load(); }, 5000));
  for (u32 i = 1; i < kMsgs; i++) ASSERT_EQ(VqxGwLibSendMsgs(p.b, p.recB.Report(0).hPeer, 1, &rec, 1), VQX_RESULT_OK);
  ASSERT_EQ(VqxGwLibDisable(p.b), VQX_RESULT_OK); /* B stops answering */
  ASSERT_TRUE(p.recA.WaitReports(2, 5000));
  EXPECT_EQ(p.recA.Report(1).un32Reason, VQX_GW_CLOSE_UDP_TIMEOUT);
  /* B writes the 40 in far less than A's limit: A's TCP has them all before the close unless the machine held B's
   * thread (or A's, closing B before it was disabled) past the rest of the limit. */
  if (!peerwait::WaitUntil([&] { return held.nMsgs.load() == kMsgs; }, 10000)) {
    EXPECT_TRUE(stall.HeldPast(400, 100 + 50)) << held.nMsgs.load() << " delivered, " << stall.Seen();
  }
}

/* A busy board that answers no poll stays linked while its data arrives (any byte after a poll answers it), over
 * ten limits; once it stops, it is closed with reason 9 within the limit and a poll, and every message its TCP saw
 * acknowledged is delivered, in order. A second board that links without its handshake holds the connect thread
 * (1 s), which closes the shared socket, well past the receive thread's last read. One path of two: the adapter-down
 * delay. */
TEST(GwKeepAlive, BusyBoardAnsweringNoPollStaysLinkedWhileItSendsThenClosedLosingNothing) {
  struct Counted {
    std::atomic<u32> nMsgs{0}, nOutOfOrder{0};
    static void On(void* pv, u32, u32, u32 n, void** bufs, const u32*, u32*) {
      Counted* k = static_cast<Counted*>(pv);
      for (u32 i = 0; i < n; i++) {
        k->nOutOfOrder += GetBe32(static_cast<const u8*>(bufs[i])) != k->nMsgs.load();
        k->nMsgs++;
        std::free(bufs[i]);
      }
    }
  } counted;
  gwpeer::RawBoard busy, mute;
  LinkedBoard lb(busy, Counted::On, &counted);
  Instance& in = lb.in;
  const int s = lb.s;
  ASSERT_TRUE(s >= 0 && in.rec.Reports() == 1);
  int sMute = -1;
  std::thread linker([&] { sMute = mute.AdvertiseUntilLinked(in.params.aun16GwPorts[0], "127.0.0.1", "", "11223344"); });
  constexpr u32 kMsgs = 15, kSize = 100, kBatch = kBatchHeaderSize + kMsgs * kSize;
  std::vector<u8> out(kBatch);
  u32 sizes[kMsgs];
  std::fill(sizes, sizes + kMsgs, kSize);
  u8 header[kBatchHeaderSize];
  EncodeBatchHeader(kMsgs, sizes, header);
  std::memcpy(out.data(), header, kBatchHeaderSize);
  /* Batches as fast as the link takes them, the host's polls read and left unanswered, for 3 s and to the end of a
   * batch, then nothing until the link goes. */
  u64 sent = 0;
  bool fClosed = false, fBusy = true;
  peerwait::StallProbe stall;
  const auto tBusy = std::chrono::steady_clock::now();
  while (!fClosed && MsSince(tBusy) < 10000) {
    const u32 off = u32(sent % kBatch);
    if (off == 0 && MsSince(tBusy) >= 3000) fBusy = false;
    if (off == 0)
      for (u32 i = 0; i < kMsgs; i++) PutBe32(out.data() + kBatchHeaderSize + i * kSize, u32(sent / kBatch) * kMsgs + i);
    const ssize_t n = fBusy ? send(s, out.data() + off, kBatch - off, MSG_NOSIGNAL | MSG_DONTWAIT) : 0;
    if (n > 0)
      sent += u64(n);
    else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
      fClosed = true;
    pollfd pf{s, POLLIN, 0};
    if (poll(&pf, 1, n > 0 ? 0 : 10) == 1) {
      u8 b[4096];
      fClosed = fClosed || recv(s, b, sizeof(b), MSG_DONTWAIT) <= 0;
    }
  }
  linker.join();
  if (fBusy) { /* closed while it sent: heard from within a poll and its scheduling, only a hold past the limit may */
    ExpectClosedByAHold(stall, DownAt(in.rec, 0xCA654321u), 300, 100 + 50,
                        "busy, after " + std::to_string(MsSince(tBusy)) + " ms, on " +
                            std::to_string(SilenceClosedOn(in.rec)) + " ms of silence,");
    if (sMute >= 0) close(sMute);
    return;
  }
  ASSERT_TRUE(fClosed) << "the link outlived 7 s of silence";
  /* tcpi_bytes_acked of the kernel's struct tcp_info, past the end of the C library's copy */
  constexpr size_t kBytesAckedOffset = 120;
  u8 ti[256] = {};
  socklen_t len = sizeof(ti);
  ASSERT_EQ(getsockopt(s, IPPROTO_TCP, TCP_INFO, ti, &len), 0);
  ASSERT_GE(len, kBytesAckedOffset + 8);
  u64 bytesAcked = 0;
  std::memcpy(&bytesAcked, ti + kBytesAckedOffset, 8);
  close(lb.s);
  lb.s = -1;
  if (sMute >= 0) close(sMute);
  ASSERT_TRUE(in.rec.WaitFor(5000, [&] {
    for (const UpDown& u : in.rec.UpDowns)
      if (u.hPeer == 0xCA654321u && u.fGw0Up == 0) return u.un32Reason == VQX_GW_CLOSE_TCP_TIMEOUT;
    return false;
  }));
  /* The silence it closed on, since the board's last byte (what its kernel still held arrived after it stopped): a
   * segment the full socket dropped near the end waits for its TCP's next try, a look apart and its least timer. */
  EXPECT_LE(SilenceClosedOn(in.rec), 300 + 2 * 100 + 250 + 200 + 500 + stall.WorstMs())
      << "within the limit, a poll and a try";
  /* What the board's TCP counts as delivered: every byte it sent acknowledged, less the handshake. */
  EXPECT_EQ(bytesAcked - 4, sent);
  EXPECT_EQ(counted.nMsgs.load(), u32(sent / kBatch) * kMsgs);
  EXPECT_EQ(counted.nOutOfOrder.load(), 0u);
}

/* The user holds the receive thread back for 2 s, over six limits: rows, by VqxGwLibRxPause (the host library's back
 * pressure: 100 ms a batch), or by callbacks that take 250 ms a batch without pausing. Board A keeps sending batches
 * as the link takes them and answers every poll it gets: its replies wait unread behind its batches, and it stays
 * linked; every message arrives, in order. Board B, linked during the hold, answers nothing and sends nothing (its
 * socket empty): it is closed with reason 9 while the hold goes on, within the limit and a pass of the receive thread
 * (its polls go out once a pass; a pass reads up to 8 chunks). Then a burst of A that ends during a hold: what is
 * left of it in the chunk being parsed counts. One path of two: the adapter-down delay. */
TEST(GwKeepAlive, HeldBackReadingIsNoSilenceASilentBoardIsStillClosed) {
  for (const bool fSlow : {false, true}) {
    SCOPED_TRACE(fSlow ? "callbacks of 250 ms" : "paused 100 ms a batch");
    constexpr u32 kA = 0xCA654321u, kB = 0xCA223344u; /* the handles of serial numbers 87654321 and 11223344 */
    struct Held {
      std::atomic<VqxGwLibContext> ctx{nullptr};
      std::atomic<bool> fHold{false}, fSlow{false};
      std::atomic<u32> nMsgs{0}, nOutOfOrder{0}, nOther{0};
      static void On(void* pv, u32 hPeer, u32, u32 n, void** bufs, const u32*, u32*) {
        Held* h = static_cast<Held*>(pv);
        for (u32 i = 0; i < n; i++) {
          if (hPeer == kA) {
            h->nOutOfOrder += GetBe32(static_cast<const u8*>(bufs[i])) != h->nMsgs.load();
            h->nMsgs++;
          } else {
            h->nOther++;
          }
          std::free(bufs[i]);
        }
        if (h->fHold && h->fSlow) {
          std::this_thread::sleep_for(std::chrono::milliseconds(250));
        } else if (h->fHold) {
          EXPECT_EQ(VqxGwLibRxPause(h->ctx, 100), VQX_RESULT_OK);
        }
      }
    } held;
    gwpeer::RawBoard a, b;
    LinkedBoard lb(a, Held::On, &held);
    Instance& in = lb.in;
    const int s = lb.s;
    ASSERT_TRUE(s >= 0 && in.rec.Reports() == 1);
    held.ctx = in.ctx;
    held.fSlow = fSlow;
    const auto Closed = [&](u32 hPeer, u32 ms = 0) {
      return in.rec.WaitFor(ms, [&] {
        for (const UpDown& u : in.rec.UpDowns)
          if (u.hPeer == hPeer && u.fGw0Up == 0) return true;
        return false;
      });
    };
    /* A's batches of 15 numbered messages of 1000 bytes, each poll answered after the batch being written. */
    constexpr u32 kMsgs = 15, kSize = 1000, kBatch = kBatchHeaderSize + kMsgs * kSize;
    u32 sizes[kMsgs];
    std::fill(sizes, sizes + kMsgs, kSize);
    u8 header[kBatchHeaderSize];
    EncodeBatchHeader(kMsgs, sizes, header);
    std::vector<u8> out; /* the frame being written, then the replies owed */
    size_t nOut = 0;     /* bytes of it written */
    u32 nBatches = 0, nPollBytes = 0;
    const auto Pump = [&](bool fSendMore) {
      if (nOut == out.size() && fSendMore) {
        out.assign(header, header + kBatchHeaderSize);
        out.resize(kBatch);
        for (u32 i = 0; i < kMsgs; i++) PutBe32(out.data() + kBatchHeaderSize + i * kSize, nBatches * kMsgs + i);
        nOut = 0;
        nBatches++;
      }
      if (nOut < out.size()) {
        const ssize_t n = send(s, out.data() + nOut, out.size() - nOut, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) nOut += size_t(n);
      }
      pollfd pf{s, POLLIN, 0};
      if (poll(&pf, 1, nOut < out.size() ? 5 : 0) == 1) {
        u8 buf[4096];
        const ssize_t n = recv(s, buf, sizeof(buf), MSG_DONTWAIT);
        for (ssize_t k = 0; k < n; k++)
          if (++nPollBytes % kAdapterPollSize == 0) out.insert(out.end(), kBatchHeaderSize, 0xFF); /* a poll: reply */
      }
    };
    /* A is heard from within a poll and its answer's scheduling: closed only when the machine held a thread past the
     * rest of its limit, which leaves nothing more of the row to see. */
    peerwait::StallProbe stall;
    const auto AClosedByAHold = [&] {
      if (!Closed(kA)) return false;
      ExpectClosedByAHold(stall, DownAt(in.rec, kA), 300, 100 + 50,
                          "A, on " + std::to_string(SilenceClosedOn(in.rec)) + " ms of silence,");
      return true;
    };
    held.fHold = true;
    int sB = -1;
    std::atomic<bool> fBLinked{false};
    std::thread linker([&] {
      sB = b.AdvertiseUntilLinked(in.params.aun16GwPorts[0], "127.0.0.1", "", "11223344");
      if (sB >= 0) send(sB, "\0\0\0\7", 4, MSG_NOSIGNAL);
      fBLinked = true;
    });
    /* 2 s at least, until B's timeout (the reading held back, its polls go out late: bounded) */
    const auto t0 = std::chrono::steady_clock::now();
    auto tBLinked = t0, tBTimedOut = t0;
    const auto BTimedOut = [&] { return in.rec.HasError("Remote fake: gw0 TCP timeout ("); }; /* A never is */
    for (bool fLinked = false, fOut = false; MsSince(t0) < 2000 || (!fOut && MsSince(t0) < 8000);) {
      Pump(true);
      if (!fLinked && (fLinked = fBLinked)) tBLinked = std::chrono::steady_clock::now();
      if (!fOut && (fOut = BTimedOut())) tBTimedOut = std::chrono::steady_clock::now();
    }
    linker.join();
    const auto CloseSB = [&] {
      if (sB >= 0) close(sB);
    };
    if (AClosedByAHold()) {
      CloseSB();
      continue;
    }
    EXPECT_GE(sB, 0);
    EXPECT_TRUE(BTimedOut()) << "B closed during the hold";
    /* B's silence as the instance closed it (since its handshake), beyond the limit and a pass of the receive thread
     * (500 ms: the looks' and the polls' scheduling), only what the machine held. */
    const long nPassMs = 8 * (fSlow ? 250 : 100); /* a pass reads up to 8 chunks, a batch each */
    const long silence = SilenceClosedOn(in.rec);
    EXPECT_LE(silence, 300 + 2 * nPassMs + 500 + stall.WorstMsBefore(DownAt(in.rec, kB), silence))
        << "within the limit and a pass (" << MsBetween(tBLinked, tBTimedOut) << " ms seen), "
        << stall.SeenBefore(DownAt(in.rec, kB), silence);
    held.fHold = false;
    for (const auto t1 = std::chrono::steady_clock::now(); MsSince(t1) < 300;) Pump(true);
    for (const auto t2 = std::chrono::steady_clock::now(); nOut < out.size() && MsSince(t2) < 5000;) Pump(false);
    EXPECT_TRUE(in.rec.WaitFor(5000, [&] { return held.nMsgs.load() == nBatches * kMsgs; }))
        << held.nMsgs.load() << " of " << nBatches * kMsgs;
    EXPECT_EQ(held.nOutOfOrder.load(), 0u);
    EXPECT_EQ(held.nOther.load(), 0u);
    if (AClosedByAHold()) {
      CloseSB();
      continue;
    }
    EXPECT_TRUE(Closed(kB, 3000));
    EXPECT_GT(nPollBytes, 0u);
    EXPECT_TRUE(in.rec.Traced("fake: gw0 TCP poll elapsed")) << "the limit ran out during the hold";
    EXPECT_TRUE(in.rec.WaitFor(0, [&] {
      for (const UpDown& u : in.rec.UpDowns)
        if (u.hPeer == kB && u.fGw0Up == 0) return u.un32Reason == VQX_GW_CLOSE_TCP_TIMEOUT;
      return false;
    }));
    CloseSB();
    /* A burst that ends during a hold: 15 batches of one message in one write, read at once (the socket empty after)
     * and parsed at 100 ms a batch, while A answers nothing and the application sends to A, making polls due: the
     * keep-alive past its limit counts the bytes left in the chunk being parsed as heard from. A answers again once
     * two thirds of the burst are in (silent for three times its limit), while bytes still wait in the chunk: the
     * last look that finds them may come 250 ms before the parse ends, which leaves an answer sent only then 50 ms
     * of the 300 ms limit, less than a loaded machine's scheduling may take. */
    const u32 nBefore = held.nMsgs.load();
    std::vector<u8> burst;
    for (u32 i = 0; i < kMsgs; i++) {
      const u32 size[1] = {4};
      u8 h[kBatchHeaderSize], m[4];
      EncodeBatchHeader(1, size, h);
      PutBe32(m, nBefore + i);
      burst.insert(burst.end(), h, h + sizeof(h));
      burst.insert(burst.end(), m, m + sizeof(m));
    }
    in.rec.ClearLines();
    held.fHold = true;
    ASSERT_EQ(send(s, burst.data(), burst.size(), MSG_NOSIGNAL), ssize_t(burst.size()));
    const auto t3 = std::chrono::steady_clock::now();
    std::vector<u8> toA(kAdapterPollSize, 0); /* counted by A as one more poll, answered once it reads again */
    const VqxGwLibSendRecord rec{toA.data(), u32(toA.size()), 0, 0};
    const auto BurstIn = [&] { return held.nMsgs.load() == nBefore + kMsgs; };
    const auto Answering = [&] { return held.nMsgs.load() >= nBefore + kMsgs * 2 / 3; };
    while (!Answering() && !Closed(kA) && MsSince(t3) < 5000) {
      EXPECT_EQ(VqxGwLibSendMsgs(in.ctx, kA, 1, &rec, 1), VQX_RESULT_OK);
      in.rec.WaitFor(20, Answering);
    }
    EXPECT_GE(MsSince(t3), 2 * 300) << "A silent past its limit while the chunk is parsed";
    while (!BurstIn() && !Closed(kA) && MsSince(t3) < 5000) {
      EXPECT_EQ(VqxGwLibSendMsgs(in.ctx, kA, 1, &rec, 1), VQX_RESULT_OK);
      for (const auto t = std::chrono::steady_clock::now(); !BurstIn() && MsSince(t) < 20;) Pump(false);
    }
    held.fHold = false;
    if (AClosedByAHold()) continue;
    EXPECT_TRUE(BurstIn()) << held.nMsgs.load() - nBefore << " of " << kMsgs;
    for (const auto t4 = std::chrono::steady_clock::now(); MsSince(t4) < 500;) Pump(false);
    AClosedByAHold(); /* after the burst, too, a close is the machine's only */
    EXPECT_EQ(held.nOutOfOrder.load(), 0u);
  }
}

/* Time the process did not run is no silence: the library's clock jumps ahead (a stop of 5 s) while the board goes
 * on. One that answers its polls and sends stays linked, also when the stop came before it answered a poll (that
 * answer and the next come with the answer to the poll after: it is judged on a poll written after the stop); one
 * that falls silent as the process stops is closed within the limit and a poll of the jump (reason 9). 25 days on
 * the clock, past what a signed 32-bit time difference holds: a board that answers again after the jump, then sends
 * as the link takes it and answers no poll, stays linked while its data arrives. One path of two: the adapter-down
 * delay. */
TEST(GwKeepAlive, TimeNotRunIsNoSilenceASilentBoardIsStillClosed) {
  constexpr u32 kPoll = 100, kLimit = 300, kSlack = 150; /* slack: a look's scheduling, the machine's holds added */
  constexpr u32 k25Days = 25u * 86400000u;
  constexpr u32 kHandle = 0xCA654321u; /* serial number 87654321 */
  const struct {
    const char* what;
    u32 un32AheadMs;
    bool fPauseFirst, fOweOne, fAnswer, fSend, fBusy; /* fBusy: sending as the link takes it */
  } rows[] = {
      {"stopped 5 s, a board that answers and sends", 5000, false, false, true, true, false},
      {"stopped 5 s before a poll was answered", 5000, false, true, true, false, false},
      {"stopped 5 s, a board silent since", 5000, false, false, false, false, false},
      {"25 days after a pause, a busy board that answers no poll: linked", k25Days, true, false, false, true, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ClockAhead clock;
    struct Paused {
      std::atomic<VqxGwLibContext> ctx{nullptr};
      std::atomic<bool> fPause{false};
      static void On(void* pv, u32, u32, u32 n, void** bufs, const u32*, u32*) {
        Paused* h = static_cast<Paused*>(pv);
        for (u32 i = 0; i < n; i++) std::free(bufs[i]);
        if (h->fPause.exchange(false)) {
          EXPECT_EQ(VqxGwLibRxPause(h->ctx, 1), VQX_RESULT_OK);
        }
      }
    } paused;
    gwpeer::RawBoard board;
    LinkedBoard lb(board, Paused::On, &paused);
    paused.ctx = lb.in.ctx;
    peerwait::StallProbe stall;
    const auto Closed = [&] {
      return lb.in.rec.WaitFor(0, [&] {
        for (const UpDown& u : lb.in.rec.UpDowns)
          if (u.hPeer == kHandle && u.fGw0Up == 0) return true;
        return false;
      });
    };
    /* A board that answers or sends is heard from within a poll and its scheduling: closed only when the machine held
     * a thread past the rest of the limit, which leaves nothing more of the row to see. */
    const auto ClosedByAHold = [&] {
      if (!Closed()) return false;
      ExpectClosedByAHold(stall, DownAt(lb.in.rec, kHandle), kLimit, kPoll + 50,
                          "a live board, on " + std::to_string(SilenceClosedOn(lb.in.rec)) + " ms of silence,");
      return true;
    };
    /* The board for ms or until closed: reads what comes (polls only), answers each when fAnswer (and those it owes),
     * sends a batch of one message every 20 ms when fSend (at every turn when fBusy). */
    u32 nPollBytes = 0, nOwed = 0;
    const auto Board = [&](long ms, bool fAnswer, bool fSend, bool fBusy) {
      const u32 sizes[1] = {100};
      u8 header[kBatchHeaderSize];
      EncodeBatchHeader(1, sizes, header);
      u8 batch[kBatchHeaderSize + 100] = {};
      std::memcpy(batch, header, kBatchHeaderSize);
      auto tSent = std::chrono::steady_clock::now();
      for (const auto t0 = tSent; MsSince(t0) < ms && !Closed();) {
        if (fSend && (fBusy || MsSince(tSent) >= 20)) {
          send(lb.s, batch, sizeof(batch), MSG_NOSIGNAL | MSG_DONTWAIT);
          tSent = std::chrono::steady_clock::now();
        }
        pollfd pf{lb.s, POLLIN, 0};
        if (poll(&pf, 1, fBusy ? 0 : 5) != 1) continue;
        u8 b[4096];
        const ssize_t n = recv(lb.s, b, sizeof(b), MSG_DONTWAIT);
        for (ssize_t k = 0; k < n; k++)
          if (++nPollBytes % kAdapterPollSize == 0 && !fAnswer) {
            nOwed++;
          } else if (nPollBytes % kAdapterPollSize == 0) {
            const std::vector<u8> replies((nOwed + 1) * kBatchHeaderSize, 0xFF);
            send(lb.s, replies.data(), replies.size(), MSG_NOSIGNAL);
            nOwed = 0;
          }
      }
    };
    Board(300, true, true, false);
    if (row.fPauseFirst) {
      paused.fPause = true;
      Board(1000, true, true, false);
      EXPECT_FALSE(paused.fPause) << "the reading paused once";
    }
    for (const auto t1 = std::chrono::steady_clock::now(); row.fOweOne && nOwed == 0 && MsSince(t1) < 2000;)
      Board(5, false, false, false); /* a poll read, not answered: the stop comes before the answer */
    if (ClosedByAHold()) continue;
    clock.Set(row.un32AheadMs);
    auto t0 = std::chrono::steady_clock::now();
    for (const auto t1 = t0; row.fOweOne && nOwed < 2 && MsSince(t1) < 2000;)
      Board(5, false, false, false); /* and the first poll after it, both answered with the next */
    if (row.fPauseFirst) {
      Board(500, true, true, false); /* heard from after the jump */
      if (ClosedByAHold()) continue; /* linked through the jump */
      t0 = std::chrono::steady_clock::now();
    }
    Board(row.fAnswer ? 1000 : 3000, row.fAnswer, row.fSend, row.fBusy);
    const bool fSilent = !row.fAnswer && !row.fSend;
    if (fSilent) {
      /* The silence the instance closed on (since the board's last byte, before the jump), the stop not in it. */
      ASSERT_TRUE(Closed());
      EXPECT_EQ(lb.in.rec.Report(1).un32Reason, VQX_GW_CLOSE_TCP_TIMEOUT);
      const long silence = SilenceClosedOn(lb.in.rec);
      EXPECT_GE(silence, long(kLimit));
      EXPECT_LE(silence, long(kLimit + 2 * kPoll + kSlack) + stall.WorstMsBefore(DownAt(lb.in.rec, kHandle), silence))
          << "closed within the limit and a poll (" << MsBetween(t0, lb.in.rec.Report(1).tAt) << " ms after the jump), "
          << stall.SeenBefore(DownAt(lb.in.rec, kHandle), silence);
    } else {
      ClosedByAHold();
    }
  }
}

TEST(GwKeepAlive, OlderPeersLinkWithSeparateSockets) {
  HostPair p(0, [](VqxGwLibParams& pa, VqxGwLibParams& pb) {
    pa.HostGwParms.un32BuildNumber = pb.HostGwParms.un32BuildNumber = 0x00530000; /* below 0x540002 */
  });
  ASSERT_TRUE(p.Link());
  std::vector<u8> m(50, 1);
  VqxGwLibSendRecord rec{m.data(), 50, 1, 0};
  EXPECT_EQ(VqxGwLibSendMsgs(p.a, p.recA.Report(0).hPeer, 1, &rec, 1), VQX_RESULT_OK);
  EXPECT_EQ(VqxGwLibSendMsgs(p.b, p.recB.Report(0).hPeer, 1, &rec, 1), VQX_RESULT_OK);
  EXPECT_TRUE(p.recB.WaitFor(3000, [&] { return !p.recB.Messages.empty(); }));
  EXPECT_TRUE(p.recA.WaitFor(3000, [&] { return !p.recA.Messages.empty(); }));
  /* each side connected its own transmit link and accepted a receive one */
  EXPECT_TRUE(p.recA.Traced("DOES NOT supports combined sockets mode"));
  for (Recorder* r : {&p.recA, &p.recB}) {
    EXPECT_TRUE(r->Traced("Connected to gw0"));
    EXPECT_TRUE(r->Traced("gw0-Rx)."));
  }
}

TEST(GwKeepAlive, OldHostPeerNotAnsweringUdpPollsIsClosedWithReason7) {
  /* B, which stops answering, would itself time A out only much later */
  HostPair p(100, [](VqxGwLibParams& pa, VqxGwLibParams& pb) {
    pa.HostGwParms.un32BuildNumber = pb.HostGwParms.un32BuildNumber = 700; /* UDP keep-alive only */
    pa.RedundancyParams.un32NetworkDownDelayMs = pa.RedundancyParams.un32AdapterDownDelayMs = 400;
    pb.RedundancyParams.un32NetworkDownDelayMs = pb.RedundancyParams.un32AdapterDownDelayMs = 8000;
  });
  ASSERT_TRUE(p.Link());
  peerwait::StallProbe stall;
  if (p.recA.WaitReports(2, 1000)) { /* answered UDP polls keep the link: only a hold past the rest of the limit not */
    ExpectClosedByAHold(stall, p.recA.Report(1).tAt, 400, 100 + 50, "B, answering,");
    return;
  }
  ASSERT_EQ(VqxGwLibDisable(p.b), VQX_RESULT_OK); /* B stops answering */
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(p.recA.WaitReports(2, 5000));
  /* polled every 100 ms, not every 2 s (500: the polls' scheduling), and what the machine held */
  const auto tAt = p.recA.Report(1).tAt;
  EXPECT_LE(MsBetween(t0, tAt), 400 + 2 * 100 + 500 + stall.WorstMs(t0, tAt)) << stall.SeenBefore(tAt, MsBetween(t0, tAt));
  EXPECT_EQ(p.recA.Report(1).fGw0Up, 0u);
  EXPECT_EQ(p.recA.Report(1).un32Reason, VQX_GW_CLOSE_UDP_TIMEOUT);
}

TEST(GwKeepAlive, BoardOnALocalInterfaceIsLinkedThrough127001OnGw0Only) {
  gwpeer::RawBoard board;
  {
    Instance in([&](Recorder& r) {
      UseLoopbackNets(1);
      UseInterfaces({{0x7F000002u, 0xFF000000u}});
      VQXGetIpInterfacesRefresh();
      VqxGwLibParams p = AdapterParams(FreeLoopbackPort(), r, 200, 2000, 2000);
      p.AdapterGwParams.szIpAddress0[0] = '\0';
      return p;
    });
    /* gw0 127.0.0.2 is this host's interface: the link goes to
     * 127.0.0.1, where the fake listens, and gw1 is dropped */
    int s = board.AdvertiseUntilLinked(in.params.aun16GwPorts[0], "127.0.0.2", "127.0.0.3");
    ASSERT_GE(s, 0);
    ASSERT_EQ(send(s, "\0\0\0\7", 4, MSG_NOSIGNAL), 4);
    ASSERT_TRUE(in.rec.WaitReports(1, 3000));
    EXPECT_EQ(in.rec.Report(0).sIp0, "127.0.0.1");
    EXPECT_EQ(in.rec.Report(0).sIp1, "");
    close(s);
  }
  UseLoopbackNets(1);
}

TEST(GwKeepAlive, DestroyStopsAHandshakeReadAtOnce) {
  /* a board that accepts the link but never sends its 4-byte handshake:
   * the destruction ends the connect thread's read without waiting for
   * the read's 1000 ms limit */
  gwpeer::RawBoard board;
  Instance in([](Recorder& r) {
    UseLoopbackNets(1);
    return AdapterParams(FreeLoopbackPort(), r, 200, 2000, 2000);
  });
  int s = board.AdvertiseUntilLinked(in.params.aun16GwPorts[0], "127.0.0.1", "");
  ASSERT_GE(s, 0);
  peerwait::StallProbe stall;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(VqxGwLibDestroy(in.ctx), VQX_RESULT_OK);
  in.ctx = nullptr;
  /* the read stopped on the destruction, not on its limit, but for what the machine held */
  EXPECT_LT(MsSince(t0), 700 + stall.WorstMs()) << stall.Seen();
  close(s);
}

/* The keep-alive's record of a split path (a peer that links its two directions apart): bytes and the newest data's
 * age from the receive socket, the peer's acknowledgements from the transmit one. The receive link takes a byte once
 * both links are 100 ms old, the transmit link's byte is acknowledged once that one is 100 ms old: an acknowledgement
 * age read from the receive socket, or taken from an arrivals' age, is 100 ms too old; arrivals read from the
 * transmit socket date from its handshake. */
TEST(GwKeepAlive, ASplitPathsRecordTakesEachAgeFromItsOwnSocket) {
  loopnet::HeldPort Listen(SOCK_STREAM);
  ASSERT_TRUE(Listen.Ok());
  int aOurs[2] = {-1, -1}, aTheirs[2] = {-1, -1}; /* [0] the receive link, [1] the transmit link */
  PathCtx Rx, Tx, Split;                          /* each socket alone, and the path of both */
  for (int i = 0; i < 2; i++) {
    aTheirs[i] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopnet::LoopbackAddress(Listen.Port());
    ASSERT_EQ(connect(aTheirs[i], reinterpret_cast<const sockaddr*>(&a), sizeof(a)), 0);
    aOurs[i] = accept(Listen.Fd(), nullptr, nullptr);
    ASSERT_GE(aOurs[i], 0);
  }
  Rx.iRxSocket = Rx.iTxSocket = Split.iRxSocket = aOurs[0];
  Tx.iRxSocket = Tx.iTxSocket = Split.iTxSocket = aOurs[1];
  TcpCounters kRx, kTx, k;
  const auto Aged = [&](PathCtx& g, TcpCounters& r, bool fAck, u32 ms) {
    return peerwait::WaitUntil([&] { return ReadTcpCounters(g, r) && (fAck ? r.un32AckAgeMs : r.un32AgeMs) >= ms; }, 5000);
  };
  ASSERT_TRUE(Aged(Rx, kRx, false, 100) && Aged(Tx, kTx, true, 100));
  ASSERT_EQ(send(aTheirs[0], "x", 1, MSG_NOSIGNAL), 1);
  ASSERT_TRUE(peerwait::WaitUntil([&] { return ReadTcpCounters(Rx, kRx) && kRx.un64BytesIn == 1; }, 5000));
  ASSERT_TRUE(Aged(Rx, kRx, false, 100));
  ASSERT_EQ(send(aOurs[1], "y", 1, MSG_NOSIGNAL), 1);
  ASSERT_TRUE(peerwait::WaitUntil([&] { return ReadTcpCounters(Tx, kTx) && kTx.un32AckAgeMs < 50; }, 5000));
  ASSERT_TRUE(ReadTcpCounters(Split, k) && ReadTcpCounters(Tx, kTx));
  EXPECT_EQ(k.un64BytesIn, 1u);
  EXPECT_EQ(k.un32Retransmits, 0u);
  EXPECT_GE(k.un32AgeMs, k.un32AckAgeMs + 90) << "the acknowledgement's age is the transmit socket's";
  EXPECT_GE(kTx.un32AgeMs, k.un32AgeMs + 90) << "the arrivals' age is the receive socket's";
  for (int s : {aOurs[0], aOurs[1], aTheirs[0], aTheirs[1]}) close(s);
}
