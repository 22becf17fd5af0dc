/*
 * test_keepalive_rules.cpp - the TCP keep-alive's judgement of one board's path, played in steps of 10 ms on a clock
 * of the test's own through the library's bookkeeping (gwlib_keepalive.cpp): the receive thread reads what arrived,
 * writes a poll every period and waits until the next, unless a row holds its reading back (a callback that pauses)
 * or stops the process; the board answers each poll after a delay and sends a batch every dataMs, save in its quiet
 * span; its socket refuses the data segments a row lists; the discover thread judges every 100 ms. Each row says
 * within how much running time from the start of the board's quiet span it is closed, or that it stays linked.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "gw_test_support.h"
#include "gwlib_internal.h"

using namespace gwtest;
using namespace vqxgw;

namespace {

constexpr u32 kNever = 0xFFFFFFFFu, kStep = 10, kBase = 1000000; /* the library's clock at the row's 0 */
struct Span {
  u32 from, to; /* [from, to) */
};
bool In(const std::vector<Span>& v, u32 t) {
  return std::any_of(v.begin(), v.end(), [t](const Span& s) { return t >= s.from && t < s.to; });
}
/* Holds of ms, one every period from `from` to `to`. */
std::vector<Span> Every(u32 from, u32 to, u32 period, u32 ms) {
  std::vector<Span> v;
  for (u32 t = from; t < to; t += period) v.push_back({t, t + ms});
  return v;
}

struct Row {
  const char* what;
  u32 poll, limit, end;
  u32 answerMs, dataMs, dataPhase; /* answerMs kNever: no answer */
  Span quiet;                      /* nothing from the board */
  std::vector<Span> holds, stops;  /* reading held back; the process not run */
  bool fMachine;                   /* the board stops with the process (a paused machine) */
  bool fMidPass;                   /* a stop comes between the start of a pass and its look */
  std::vector<u32> refused;        /* data segments the full socket refuses */
  u32 closeFrom, closeBy;          /* running ms from quiet.from; kNever: linked at the end */
};

struct Played {
  u32 closedAt = kNever, runningMs = 0, silenceMs = 0;
};

Played Play(const Row& r) {
  Recorder rec;
  VqxGwLibParams prm = AdapterParams(FreeLoopbackPort(), rec, r.poll, r.limit, r.limit);
  VqxGwLibContext ctx = nullptr;
  EXPECT_EQ(VqxGwLibAllocate(&prm, &ctx), VQX_RESULT_OK);
  GwLibCtx* c = reinterpret_cast<GwLibCtx*>(ctx);
  VQX_GW_ADAPTER_ADV adv{};
  std::snprintf(adv.Info.szSerialNumber, sizeof(adv.Info.szSerialNumber), "VQ500_12345678");
  Peer* p = nullptr;
  Lock(c);
  EXPECT_EQ(CreatePeer(c, &adv, 0, 0, &p), VQX_RESULT_OK);
  PathCtx& g = p->Gw[0];
  std::vector<u32> answers, batches; /* arrival times, not read yet */
  u32 due = kNever, lastArrival = 0, shift = 0, bytes = 0, segs = 0, waitUntil = 0;
  bool fWaiting = false, fPassBegun = false;
  Played out;
  for (u32 t = 0; t <= r.end && out.closedAt == kNever; t += kStep) {
    const bool fStopped = In(r.stops, t);
    shift += fStopped && r.fMachine ? kStep : 0;
    if (fStopped && r.fMachine) continue;
    const u32 tb = t - shift; /* the board's own time */
    const bool fQuiet = tb >= r.quiet.from && tb < r.quiet.to;
    const size_t nUnread = answers.size() + batches.size();
    if (tb >= due && !fQuiet) answers.push_back(t);
    if (tb >= due) due = kNever;
    if (r.dataMs != 0 && tb % r.dataMs == r.dataPhase && !fQuiet) batches.push_back(t);
    if (answers.size() + batches.size() != nUnread) {
      lastArrival = t;
      bytes += 100;
      segs++;
    }
    if (std::find(r.refused.begin(), r.refused.end(), t) != r.refused.end()) segs++;
    if (fStopped) continue;
    out.runningMs += t >= r.quiet.from ? kStep : 0;
    const u32 now = kBase + t;
    const auto Judge = [&] { /* the discover thread */
      RxOverslept(c, now);
      const TcpCounters k{bytes, segs, t - lastArrival, u32(answers.size() + batches.size()) * 100};
      if (g.tLastTcpPollSent != 0 && TcpSilent(c, p, 0, now, r.limit, true, k, &out.silenceMs)) out.closedAt = t;
    };
    /* The receive thread: a pass (its start, a poll made if due, a look, the reads, the poll written), then a wait;
     * with fMidPass, the process stops between the start of a pass and the rest, and the poll it makes then wakes
     * the discover thread before the look. */
    const bool fGoesOn = fPassBegun;
    if (In(r.holds, t)) {
      c->un32RxPausing = 1;
    } else if (fGoesOn || c->un32RxPausing != 0 || !fWaiting || t >= waitUntil || !answers.empty() || !batches.empty()) {
      if (!fGoesOn) {
        if (c->un32RxPausing != 0) {
          c->fRxPaused = true;
          c->un32RxPausing = 0;
        } else if (fWaiting) {
          RxWaitOver(c, now);
        }
        fWaiting = false;
        RxPassStart(c, now);
      }
      fPassBegun = !fGoesOn && r.fMidPass && In(r.stops, t + kStep);
      if (!fPassBegun) {
        const bool fPoll = g.tLastTcpPollSent == 0 || now - g.tLastTcpPollSent >= r.poll;
        if (fPoll) {
          g.tLastTcpPollSent = now;
          if (g.tLastReply == 0) g.tLastReply = g.tLastSign = now;
        }
        if (fGoesOn) Judge();
        RxLooked(c, now);
        if (!answers.empty()) HeardFrom(g, now, now);
        if (!batches.empty() && ReadCounts(c, p, 0, now)) HeardOnRead(c, p, 0, now, t - batches.back());
        answers.clear();
        batches.clear();
        if (fPoll && g.tPollUnanswered == 0) g.tPollUnanswered = now;
        if (fPoll && r.answerMs != kNever && due == kNever) due = t - shift + r.answerMs;
        const u32 ms = std::min({r.poll / 2, 2000u, r.poll - (now - g.tLastTcpPollSent)});
        RxWaitFrom(c, now, ms);
        fWaiting = true;
        waitUntil = t + ms;
      }
    }
    if (t % 100 == 0 && out.closedAt == kNever) Judge();
  }
  Unlock(c);
  VqxGwLibDestroy(ctx);
  return out;
}

TEST(GwKeepAliveRules, SilenceCountsTimeRunAndReadOnly) {
  constexpr u32 kP = 200, kL = 1100; /* the server tests' delays */
  const Row rows[] = {
      {"silent from 1 s: closed within the limit and a poll", kP, kL, 4000, 20, 0, 0, {1000, kNever}, {}, {}, false, false, {},
       kL - kP, kL + 2 * kP + 100},
      {"a paused machine 5 s, a poll awaiting its answer: linked", kP, kL, 9000, 150, 0, 0, {0, 0}, {}, {{2010, 7010}},
       true, false, {}, kNever, kNever},
      {"a paused machine 5 s in the middle of a pass, a poll awaiting its answer: linked", kP, kL, 9000, 250, 0, 0,
       {0, 0}, {}, {{2110, 7110}}, true, true, {}, kNever, kNever},
      {"stopped 1 s every 1.5 s, silent: closed after the limit and a poll of time run", kP, kL, 30000, 20, 0, 0,
       {1900, kNever}, {}, {{2000, 3000}, {3500, 4500}, {5000, 6000}, {6500, 7500}, {8000, 9000}, {9500, 10500}},
       false, false, {}, kL - kP, kL + 2 * kP + 200},
      {"a 3 s hold after its last answer: linked, its first poll after answered", kP, kL, 6000, 20, 0, 0, {0, 0},
       {{850, 4000}}, {}, false, false, {}, kNever, kNever},
      {"short pauses, answers 1.5 s behind its batches: linked while they are read", kP, kL, 6000, 1500, 100, 20,
       {0, 0}, Every(1010, 6000, 100, 50), {}, false, false, {}, kNever, kNever},
      {"data waited through a 6 s stall, silent since: closed within the limit and a poll of its read", kP, kL, 12000,
       20, 20, 0, {2000, kNever}, {{1000, 7000}}, {}, false, false, {}, 5000 + kL - kP, 5000 + kL + 2 * kP + 100},
      {"its TCP backing off after a 30 s hold: linked until it sends again", kP, kL, 56000, 20, 20, 0, {1000, 52100},
       {{1000, 30000}}, {}, false, false, {1300, 1700, 2500, 4100, 7300, 13700, 26500}, kNever, kNever},
      {"refused, then dead: closed once its next try is overdue", kP, kL, 60000, 20, 20, 0, {1000, kNever},
       {{1000, 30000}}, {}, false, false, {1300, 1700, 2500, 4100, 7300, 13700, 26500}, 51000 + kL - kP, 51000 + kL + 3 * kP},
      {"polls every 1 s, batches every 400 ms, no answer: closed within the limit and a poll", 1000, 2500, 8000, kNever,
       400, 0, {0, 0}, {}, {}, false, false, {}, 2500 - 1000, 2500 + 1000 + 200},
  };
  for (const Row& r : rows) {
    const Played out = Play(r);
    if (r.closeFrom == kNever) {
      EXPECT_EQ(out.closedAt, kNever) << r.what << ": closed at " << out.closedAt;
      continue;
    }
    EXPECT_NE(out.closedAt, kNever) << r.what;
    EXPECT_GE(out.runningMs, r.closeFrom) << r.what << ": closed at " << out.closedAt;
    EXPECT_LE(out.runningMs, r.closeBy) << r.what << ": closed at " << out.closedAt;
    /* The timeout line's silence: since the board's last sign of life, just before its quiet span. */
    EXPECT_GE(out.silenceMs + kP, out.closedAt - std::min(r.quiet.from, out.closedAt)) << r.what;
  }
}

}  // namespace
