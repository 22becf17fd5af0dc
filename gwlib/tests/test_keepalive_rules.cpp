/*
 * test_keepalive_rules.cpp - the TCP keep-alive's judgement of one board's path (gwlib_keepalive.cpp), in steps of
 * 10 ms on a clock of the test's own, fed with the socket's record as the kernel keeps it. The receive thread, when it
 * runs, reads what waits (the read is heard from and marks the socket as holding bytes) and writes a poll every
 * period; the board's kernel acknowledges it ackMs after it gets through (the server's TCP sends it again 200 ms after,
 * then doubling, while what it sends is lost), the board answers it answerMs after, behind what it queued before, and
 * sends a batch every dataMs, or as fast as its link takes them; the socket takes what the link delivers up to its size
 * and drops the segments a row lists: into a full socket, a refusal or a window probe (the acknowledgement's age
 * stays); into one with room, a copy of what it took in (a lone segment sent again: the age is refreshed); the
 * discover thread judges every 100 ms. Rows stop the process (the kernel runs on), pause the machine (nothing runs or
 * arrives, the board stops with it), hold the receive thread back or slow its passes, lose what the server sends for
 * a while, or cut the link one way or both. Each row says when, from the start of the board's quiet span, it is
 * closed (at least that long after it, at most that much running time), or that it stays linked. Then the receive
 * thread's own read of a real socket, as the judgement sees it.
 */
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <vector>

#include "gw_test_support.h"
#include "gwlib_internal.h"
#include "peers/loopback.h"
#include "peers/wait_until.h"

using namespace gwtest;
using namespace vqxgw;

namespace {

constexpr u32 kNever = 0xFFFFFFFFu, kStep = 10, kBase = 1000000; /* the library's clock at the row's 0 */
constexpr u32 kBurst = 1;                                        /* dataMs: as fast as the link takes them */
constexpr u32 kBatch = 1000, kReply = 64, kSocket = 256 * 1024;  /* bytes */
constexpr u32 kAckMs = 10, kRtoMs = 200; /* the board's kernel acknowledges a poll; the server's TCP sends it again */
struct Span {
  u32 from, to; /* [from, to) */
};
bool In(const std::vector<Span>& v, u32 t) {
  return std::any_of(v.begin(), v.end(), [t](const Span& s) { return t >= s.from && t < s.to; });
}
/* Spans of ms, one every period from `from` to `to`. */
std::vector<Span> Every(u32 from, u32 to, u32 period, u32 ms) {
  std::vector<Span> v;
  for (u32 t = from; t < to; t += period) v.push_back({t, t + ms});
  return v;
}

struct Row {
  const char* what;
  u32 poll = 200, limit = 1100, end = 12000; /* the server tests' delays */
  u32 answerMs = 20, dataMs = 0;             /* answerMs kNever: no answer; dataMs 0: no batch */
  u32 ackMs = kAckMs;
  Span quiet{0, 0};                          /* the board adds nothing to what it sends */
  Span backOff{0, 0};                        /* its TCP sends nothing (a dropped segment not sent again yet) */
  std::vector<Span> stops{}, pauses{}, holds{};
  u32 passMs = 0;                 /* the receive thread's passes (slow callbacks); 0: every step */
  u32 linkPerStep = kNever;       /* bytes the link delivers in a step */
  bool fSendsPoll = false;        /* during holds, the application's sends write the polls due */
  std::vector<u32> drops{};       /* segments of the board the socket drops */
  std::vector<Span> outLost{};    /* what the server sends is lost */
  u32 cutIn = kNever;             /* from then on, what the board sends is lost */
  u32 closeFrom = kNever, closeBy = kNever; /* wall ms from quiet.from at least, running ms at most; kNever: linked */
};

struct Played {
  u32 closedAt = kNever, runningMs = 0, silenceMs = 0;
};

/* An adapters' instance, not enabled (no thread of its own), with one board polled every poll ms and judged silent
 * past limit ms, held under the instance's lock. */
struct OneBoard {
  Recorder rec;
  VqxGwLibContext ctx = nullptr;
  GwLibCtx* c = nullptr;
  Peer* p = nullptr;
  OneBoard(u32 poll, u32 limit) {
    VqxGwLibParams prm = AdapterParams(FreeLoopbackPort(), rec, poll, limit, limit);
    EXPECT_EQ(VqxGwLibAllocate(&prm, &ctx), VQX_RESULT_OK);
    c = reinterpret_cast<GwLibCtx*>(ctx);
    VQX_GW_ADAPTER_ADV adv{};
    std::snprintf(adv.Info.szSerialNumber, sizeof(adv.Info.szSerialNumber), "VQ500_12345678");
    Lock(c);
    EXPECT_EQ(CreatePeer(c, &adv, 0, 0, &p), VQX_RESULT_OK);
    p->fTcpPolling = true;
    p->Red.un32PollDelayMs = poll;
  }
  ~OneBoard() {
    Unlock(c);
    VqxGwLibDestroy(ctx);
  }
};

Played Play(const Row& r) {
  OneBoard b(r.poll, r.limit);
  GwLibCtx* c = b.c;
  Peer* p = b.p;
  PathCtx& g = p->Gw[0];
  RecordFrom(g, kBase);
  struct Item {
    u32 bytes;
    bool fReply;
  };
  std::deque<Item> board, socket; /* queued at the board; arrived, not read */
  std::vector<u32> answersDue;    /* the board's own time */
  struct Poll {
    u32 sent, ackAt;
  };
  std::deque<Poll> unacked; /* polls written, awaiting the board's acknowledgement */
  u32 shift = 0, lastArrival = 0, lastAck = 0, socketBytes = 0, boardBytes = 0, drops = 0;
  u64 bytesIn = 0;
  Played out;
  for (u32 t = 0; t <= r.end && out.closedAt == kNever; t += kStep) {
    if (In(r.pauses, t)) { /* the board stops with the machine: nothing happens */
      shift += kStep;
      continue;
    }
    const u32 now = kBase + t, tb = t - shift; /* the board's own time */
    const bool fRuns = !In(r.stops, t), fHeld = In(r.holds, t);
    const bool fPass = fRuns && !fHeld && (r.passMs == 0 || t % r.passMs == 0); /* the receive thread reads */
    const auto Read = [&] {
      if (std::any_of(socket.begin(), socket.end(), [](const Item& i) { return i.fReply; })) HeardFrom(g, now, now);
      if (socketBytes != 0) BytesRead(g, now);
      socket.clear();
      socketBytes = 0;
    };
    if (fPass) Read();
    if ((fPass || (fRuns && fHeld && r.fSendsPoll)) && (g.tLastTcpPollSent == 0 || now - g.tLastTcpPollSent >= r.poll)) {
      PollDue(g, now);
      PollWritten(g, now);
      u32 through = t; /* sent again 200 ms after, then doubling, until it gets through */
      for (u32 wait = kRtoMs; through <= r.end && In(r.outLost, through); wait *= 2) through += wait;
      const bool fThrough = through <= r.end;
      unacked.push_back({t, fThrough ? through + r.ackMs : kNever});
      if (r.answerMs != kNever && fThrough) answersDue.push_back(tb + through - t + r.answerMs);
    }
    const bool fArrives = t < r.cutIn;
    for (; fArrives && !unacked.empty() && t >= unacked.front().ackAt; unacked.pop_front()) lastAck = t;
    const bool fQuiet = tb >= r.quiet.from && tb < r.quiet.to;
    for (auto it = answersDue.begin(); it != answersDue.end();)
      if (tb >= *it) {
        if (!fQuiet) board.push_back({kReply, true});
        it = answersDue.erase(it);
      } else {
        ++it;
      }
    if (!fQuiet && r.dataMs == kBurst)
      for (; boardBytes < 1024 * 1024; boardBytes += kBatch) board.push_back({kBatch, false});
    else if (!fQuiet && r.dataMs != 0 && tb % r.dataMs == 0)
      board.push_back({kBatch, false}), boardBytes += kBatch;
    const bool fBackOff = t >= r.backOff.from && t < r.backOff.to;
    for (u32 sent = 0; fArrives && !fBackOff && !board.empty() && socketBytes + board.front().bytes <= kSocket &&
                       sent < r.linkPerStep;) {
      const Item i = board.front();
      board.pop_front();
      boardBytes -= i.fReply ? 0 : i.bytes;
      socket.push_back(i);
      socketBytes += i.bytes;
      bytesIn += i.bytes;
      sent += i.bytes;
      lastArrival = lastAck = t;
    }
    const bool fFull = socketBytes + kBatch > kSocket;
    if (fArrives && std::find(r.drops.begin(), r.drops.end(), t) != r.drops.end()) {
      drops++;
      if (!fFull) lastAck = t; /* a copy refreshes the acknowledgement's age, a probe of a full socket does not */
    }
    if (fPass) Read(); /* what arrived meanwhile */
    if (!fRuns) continue;
    out.runningMs += t >= r.quiet.from ? kStep : 0;
    if (t % 100 == 0) { /* the discover thread */
      JudgeLook(c, now);
      const u32 retransmits = !unacked.empty() && t - unacked.front().sent >= kRtoMs;
      const TcpCounters k{bytesIn, drops, t - lastArrival, socketBytes, retransmits, t - lastAck};
      if (g.tLastTcpPollSent != 0 && TcpSilent(c, p, 0, now, r.limit, true, k, &out.silenceMs)) out.closedAt = t;
    }
  }
  return out;
}

/* Every period from `from` to `to`. */
std::vector<u32> Ticks(u32 from, u32 to, u32 period) {
  std::vector<u32> v;
  for (u32 t = from; t < to; t += period) v.push_back(t);
  return v;
}

/* Times the board's TCP tries again after a segment dropped at `from`, each wait twice the last. */
std::vector<u32> BackingOff(u32 from, u32 to, u32 firstWait = 400) {
  std::vector<u32> v;
  for (u32 t = from, wait = firstWait; t < to; t += wait, wait *= 2) v.push_back(t);
  return v;
}

TEST(GwKeepAliveRules, APathIsJudgedFromWhatItsSocketReceived) {
  constexpr u32 kL = 1100, kP = 200, kGrace = kP + 200, k60s = 60000;
  const Row rows[] = {
      {.what = "silent from 1 s: closed within the limit and a poll", .end = 4000, .quiet = {1000, kNever},
       .closeFrom = kL - kP, .closeBy = kL + 2 * kP + 100},
      {.what = "silent beside another board's 250 ms callbacks: closed within the limit and a poll", .end = 4000,
       .quiet = {1000, kNever}, .passMs = 250, .closeFrom = kL - kP, .closeBy = kL + 2 * kP + 100},
      {.what = "polls every 1 s, batches every 400 ms, no answer: linked, the batches come after the polls",
       .poll = 1000, .limit = 2500, .end = 8000, .answerMs = kNever, .dataMs = 400},
      /* The process stopped, the kernel running on. */
      {.what = "in a burst, stopped 5 s, its backlog delivered slower than the limit after: linked", .dataMs = kBurst,
       .stops = {{2000, 7000}}, .linkPerStep = 5000},
      {.what = "silent from a 5 s stop: closed within the limit and a poll of SIGCONT", .quiet = {2000, kNever},
       .stops = {{2000, 7000}}, .closeFrom = kL, .closeBy = kL + kP + 100},
      {.what = "silent from a 5 s stop, a copy dropped at 4 s into its empty socket: no refusal, closed within the "
               "limit and a poll of SIGCONT", .quiet = {2000, kNever}, .stops = {{2000, 7000}}, .drops = {4000},
       .closeFrom = kL, .closeBy = kL + kP + 100},
      {.what = "silent from a 5 s stop, its last reply read after the look before it, a copy dropped 2.5 s into the "
               "stop: the read marks no drop after a stop, closed within the limit and a poll of SIGCONT",
       .quiet = {2030, kNever}, .stops = {{2050, 7050}}, .drops = {4550}, .closeFrom = kL, .closeBy = kL + kP + 100},
      {.what = "silent from a 5 s stop, its last reply read after the look before it, its keep-alive probes dropped "
               "every second of the stop: no refusal, closed within the limit and a poll of SIGCONT",
       .quiet = {2030, kNever}, .stops = {{2050, 7050}}, .drops = Ticks(3050, 7050, 1000), .closeFrom = kL,
       .closeBy = kL + kP + 100},
      {.what = "silent from a 5 s stop, 5 KB waiting unread through it, read at SIGCONT before a look finds it: heard "
               "from at its read, closed within the limit and a poll of it", .dataMs = 20, .quiet = {2000, kNever},
       .stops = {{2000, 7000}}, .holds = {{1900, 7000}}, .closeFrom = 5000 + kL, .closeBy = kL + kP + 100},
      {.what = "silent from a 5 s stop, 5 KB waiting unread through it, a copy dropped 2.5 s into it: a refusal dated "
               "no further back than its one drop, closed within the limit and a poll of SIGCONT", .dataMs = 20,
       .quiet = {2000, kNever}, .stops = {{2000, 7000}}, .holds = {{1900, 7000}}, .drops = {4500},
       .closeFrom = 5000 + kL, .closeBy = kL + kP + 100},
      {.what = "in a burst, stopped 5 s, its probes refused; what the server sends lost from 0.2 s before SIGCONT to "
               "0.5 s after, the board told of the room 0.6 s after: linked, heard from as its backlog is read",
       .dataMs = kBurst, .backOff = {7000, 7600}, .stops = {{2000, 7000}}, .drops = BackingOff(2050, 7000),
       .outLost = {{6800, 7500}}},
      {.what = "stopped 1 s every 1.5 s, silent: closed within 1.2 s of time run", .end = 30000,
       .quiet = {1900, kNever}, .stops = Every(2000, 30000, 1500, 1000), .closeFrom = kL, .closeBy = 1200},
      {.what = "stopped 0.3 s every 0.6 s, silent: closed within 1.2 s of time run", .end = 30000,
       .quiet = {1900, kNever}, .stops = Every(2000, 30000, 600, 300), .closeFrom = kL, .closeBy = 1200},
      {.what = "stopped 0.4 s every second, silent: closed within 1.2 s of time run", .end = 30000,
       .quiet = {1900, kNever}, .stops = Every(2000, 30000, 1000, 400), .closeFrom = kL, .closeBy = 1200},
      {.what = "stopped 0.4 s every second, answering and sending: linked", .end = 30000, .dataMs = 20,
       .stops = Every(2000, 30000, 1000, 400)},
      /* The machine paused as a whole: the kernel records nothing meanwhile. */
      {.what = "a paused machine 5 s, a poll awaiting its answer: linked", .answerMs = 150, .pauses = {{2010, 7010}}},
      {.what = "a paused machine 5 s just after a poll, a slow answer 450 ms after it: linked", .answerMs = 450,
       .pauses = {{2110, 7110}}},
      {.what = "polls every 1 s, a paused machine 5 s just after one, answered 650 ms after it: linked",
       .poll = 1000, .limit = 2500, .answerMs = 650, .pauses = {{2010, 7010}}},
      {.what = "a paused machine 1.5 s, a poll awaiting its answer: linked", .answerMs = 150,
       .pauses = {{2010, 3510}}},
      {.what = "a paused machine 1.2 s every 1.5 s, answering: linked", .end = 30000,
       .pauses = Every(2000, 30000, 1500, 1200)},
      {.what = "a paused machine 1.2 s every 1.5 s, silent: closed, one grace only", .end = 30000,
       .quiet = {1900, kNever}, .pauses = Every(2000, 30000, 1500, 1200), .closeFrom = kL, .closeBy = kL + kGrace + kP},
      /* The receive thread held back (a consumer stall): what arrives waits unread. */
      {.what = "a 3 s hold after its last answer: linked", .end = 6000, .holds = {{850, 4000}}},
      {.what = "its first poll answered in the same ms, then a 3 s hold: linked", .end = 6000, .answerMs = 0,
       .holds = {{10, 3000}}},
      {.what = "short holds, answers 1.5 s behind its batches: linked", .end = 6000, .answerMs = 1500,
       .dataMs = 100, .holds = Every(1010, 6000, 100, 50)},
      {.what = "a 60 s stall, the socket full, polls written by the application's sends: linked",
       .end = k60s + 4000, .dataMs = 20, .holds = {{1000, k60s + 1000}}, .fSendsPoll = true},
      {.what = "data waited through a 6 s stall, silent since: closed within the limit and a poll of its read",
       .dataMs = 20, .quiet = {2000, kNever}, .holds = {{1000, 7000}}, .closeFrom = 5000 + kL - kP,
       .closeBy = 5000 + kL + 2 * kP + 100},
      /* The board's TCP backing off after the full socket refused its segments. */
      {.what = "its TCP backing off after a 30 s hold: linked until it sends again", .end = 56000, .dataMs = 20,
       .quiet = {1000, 52100}, .holds = {{900, 30000}}, .drops = BackingOff(1300, 30000)},
      {.what = "its TCP backing off after a 30 s hold, a poll lost at 30.4 s, acknowledged 10 ms after it is sent "
               "again: linked until it sends again", .end = 56000, .dataMs = 20, .quiet = {1000, 52100},
       .holds = {{900, 30000}}, .drops = BackingOff(1300, 30000), .outLost = {{30400, 30410}}},
      {.what = "its TCP backing off after a 30 s hold, a poll lost at 40 s, acknowledged 40 ms after it is sent "
               "again: linked until it sends again", .end = 56000, .dataMs = 20, .ackMs = 40, .quiet = {1000, 52100},
       .holds = {{900, 30000}}, .drops = BackingOff(1300, 30000), .outLost = {{40000, 40010}}},
      {.what = "in a burst, stopped 5 s as it links, segments dropped meanwhile, its next try 1.5 s after: linked",
       .dataMs = kBurst, .backOff = {400, 6500}, .stops = {{0, 5000}}, .drops = BackingOff(500, 5000)},
      {.what = "in a stream, a segment refused between two looks that find its socket empty (its memory full of small "
               "segments), its TCP's next try 1.25 s after (its timer stretched by a loaded machine): linked",
       .dataMs = 20, .backOff = {2050, 3300}, .drops = {2050}},
      {.what = "in a burst, segments dropped along the way, then dead: closed within the limit, a poll and a try",
       .dataMs = kBurst, .quiet = {4000, kNever}, .drops = Ticks(1050, 4100, 100), .closeFrom = kL - kP,
       .closeBy = kL + 2 * kP + 500},
      {.what = "its TCP backing off after a 30 s hold, then cut toward it (what the server sends lost from 30 s), its "
               "lone copies dropped at 30.5 and 31.5 s: no sign while its polls wait unacknowledged, closed within the "
               "limit and a poll of its backlog's read", .end = 40000, .dataMs = 20, .quiet = {1000, kNever},
       .holds = {{900, 30000}}, .drops = [] { auto v = BackingOff(1300, 30000); v.insert(v.end(), {30500, 31500});
         return v; }(), .outLost = {{30000, kNever}}, .closeFrom = 29000 + kL - kP, .closeBy = 29000 + kL + kP + 100},
      {.what = "refused, then dead: closed once its next try is overdue", .end = 60000, .dataMs = 20,
       .quiet = {1000, kNever}, .holds = {{900, 30000}}, .drops = BackingOff(1300, 30000),
       .closeFrom = 51000 + kL - kP, .closeBy = 51000 + kL + 3 * kP},
      {.what = "refused for 200 s, then dead: closed once TCP's longest wait of 120 s is overdue", .end = 330000,
       .dataMs = 20, .quiet = {1000, kNever}, .holds = {{900, 210000}}, .drops = BackingOff(1300, 210000),
       .closeFrom = 205700 + 120200 - 1000, .closeBy = 205700 + 120200 - 1000 + kL + 3 * kP},
      /* The link cut: the board's TCP sends again what the server's lost acknowledgements left unacknowledged. */
      {.what = "cut one way at 2 s, the board's retransmissions dropped, taken in already: closed within the limit and "
               "a poll", .end = 16000, .dataMs = 20, .quiet = {2000, kNever}, .drops = BackingOff(2050, 16000),
       .outLost = {{2000, kNever}}, .closeFrom = kL - kP, .closeBy = kL + kP},
      {.what = "its receive link cut toward it at 2 s (a split path), its copies dropped from 200 ms doubling into a "
               "socket with room, its polls acknowledged: no refusal, closed within the limit and a poll",
       .end = 60000, .dataMs = 20, .quiet = {2000, kNever}, .drops = BackingOff(2200, 60000, 200),
       .closeFrom = kL - kP, .closeBy = kL + kP},
      {.what = "cut both ways at 2 s, the board's last retransmission dropped at the look after, no poll awaiting an "
               "acknowledgement: closed within the limit and a poll", .dataMs = 20, .quiet = {2000, kNever},
       .drops = {2050}, .outLost = {{2020, kNever}}, .cutIn = 2060, .closeFrom = kL - kP, .closeBy = kL + kP},
  };
  for (const Row& r : rows) {
    const Played out = Play(r);
    if (r.closeFrom == kNever) {
      EXPECT_EQ(out.closedAt, kNever) << r.what << ": closed at " << out.closedAt;
      continue;
    }
    if (out.closedAt == kNever) {
      ADD_FAILURE() << r.what << ": linked";
      continue;
    }
    EXPECT_GE(out.closedAt - r.quiet.from, r.closeFrom) << r.what << ": closed at " << out.closedAt;
    EXPECT_LE(out.runningMs, r.closeBy) << r.what << ": closed at " << out.closedAt;
    /* The timeout line's silence: since the board's last byte arrived, just before its quiet span. */
    EXPECT_GE(out.silenceMs + kP, out.closedAt - r.quiet.from) << r.what;
  }
}

/* The library's clock, as the test sets it. */
std::atomic<u32> g_tClock{kBase};

/* What the receive thread reads (ReadPath, from a real socket) reaches the judgement: a batch that waited unread
 * through a 5 s stop is a sign of life as it is read (closed only the limit after the read), and marks the socket as
 * holding bytes for the look after it, which takes the drops it sees for a refusal: the board's acknowledgements keep
 * it until its TCP's next try is due (four drops: a back-off of 1.4 s and a least timer). */
TEST(GwKeepAliveRules, TheReceiveThreadsReadReachesTheJudgement) {
  constexpr u32 kL = 1100, kP = 200, kStop = 5000;
  loopnet::HeldPort listen(SOCK_STREAM);
  const int sBoard = ConnectLoopback(listen.Port()), sOurs = accept(listen.Fd(), nullptr, nullptr);
  ASSERT_TRUE(sBoard >= 0 && sOurs >= 0);
  VqxGwLibSetClock([] { return g_tClock.load(); });
  {
    OneBoard b(kP, kL);
    PathCtx& g = b.p->Gw[0];
    g.iRxSocket = g.iTxSocket = sOurs;
    RecordFrom(g, kBase);
    u32 drops = 0;
    const auto Poll = [&] { PollDue(g, g_tClock), PollWritten(g, g_tClock); };
    const auto Look = [&](u32 ms, u32 ackAgeMs) { /* ms on; the batches arrived at kBase, none waits unread */
      const u32 now = g_tClock += ms;
      u32 silence = 0;
      return TcpSilent(b.c, b.p, 0, now, kL, true, {2 * (kBatchHeaderSize + 10), drops, now - kBase, 0, 0, ackAgeMs},
                       &silence);
    };
    const auto ReadAfterAStop = [&] { /* a batch of one 10-byte message waits through a stop, then is read */
      const u32 size[1] = {10};
      u8 batch[kBatchHeaderSize + 10] = {};
      EncodeBatchHeader(1, size, reinterpret_cast<u8(&)[kBatchHeaderSize]>(batch));
      EXPECT_EQ(send(sBoard, batch, sizeof(batch), MSG_NOSIGNAL), ssize_t(sizeof(batch)));
      EXPECT_TRUE(peerwait::WaitUntil([&] { int n = 0; return ioctl(sOurs, FIONREAD, &n) == 0 && n == sizeof(batch); },
                                      5000));
      g_tClock += kStop;
      EXPECT_FALSE(ReadPath(b.c, b.p, 0));
      Poll(); /* the receive thread's poll, overdue */
    };
    Poll();
    ReadAfterAStop();
    EXPECT_FALSE(Look(kL - 10, kStop)) << "heard from at its read";
    EXPECT_TRUE(Look(20, kStop + kL + 10)) << "silent for the limit since";
    ReadAfterAStop();
    drops += 4;
    EXPECT_FALSE(Look(10, 0)) << "drops seen after the read";
    EXPECT_FALSE(Look(kL, 0)) << "its TCP's next try not due";
    g_tClock += 200;
    Poll();
    EXPECT_TRUE(Look(1500, 0)) << "its TCP's next try overdue";
    g.iRxSocket = g.iTxSocket = -1;
    std::lock_guard<std::mutex> lk(b.rec.m);
    EXPECT_EQ(b.rec.Messages.size(), 2u);
  }
  VqxGwLibSetClock(nullptr);
  close(sOurs);
  close(sBoard);
}

}  // namespace
