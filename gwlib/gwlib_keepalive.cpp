/*
 * gwlib_keepalive.cpp - the TCP keep-alive's judgement of a peer's silence
 * (see "the TCP keep-alive's judgement" in gwlib_internal.h): the receive
 * thread's looks at its sockets and the holds of its reading, what counts as
 * hearing from a peer, and the discover thread's look at a path. Socket reads
 * (the receive counters) are kept apart from the judgement, which a test can
 * drive on its own clock.
 */
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "gwlib_internal.h"

namespace vqxgw
{

namespace
{

/* Reading was held back since the receive thread last looked: every path is
 * marked until its peer is heard from. */
void MarkAllHeld(GwLibCtx* c)
{
    for (Peer* p : Peers(c))
        for (PathCtx& g : p->Gw)
            g.fHeld = true;
}

/* Time the process did not run (or the receive thread did not look, kept by
 * no pause) pauses the silence: what was awaited counts as asked that much
 * later. */
void AskedLater(GwLibCtx* c, u32 now, u32 ms)
{
    for (Peer* p : Peers(c))
        for (PathCtx& g : p->Gw)
            if (g.tPollUnanswered != 0)
            {
                g.tPollUnanswered += std::min(ms, now - g.tPollUnanswered);
                if (g.tPollUnanswered == 0)
                    g.tPollUnanswered = 1;
            }
}

/* A pause of the user in progress, or ended since the receive thread last looked. */
bool PausedSinceLook(const GwLibCtx* c)
{
    return c->un32RxPausing != 0 || c->fRxPaused || c->fRxPausedSeen;
}

/* The peer's TCP is to send again what the socket refused and is not due yet:
 * no silence so far, and the polls written may be answered only after it. */
void Refused(PathCtx& g, u32 now)
{
    g.tLastReply = now;
    g.tPollUnanswered = 0;
}

/* The counters at this look: data segments that reached the socket while it
 * took in nothing were refused (it was full); bytes taken in end that. */
void NoteCounters(PathCtx& g, u32 now, const TcpCounters& k)
{
    if (g.fTcpLooked && k.un64BytesIn != g.un64TcpBytesIn)
        g.fRefused = false;
    else if (g.fTcpLooked && k.un32DataSegsIn != g.un32TcpDataSegsIn)
    {
        if (!g.fRefused)
            g.tRefusedFrom = g.tTcpLook; /* the first came after the last look */
        g.fRefused = true;
        g.tRefusedLast = now;
    }
    g.fTcpLooked = true;
    g.tTcpLook = now;
    g.un64TcpBytesIn = k.un64BytesIn;
    g.un32TcpDataSegsIn = k.un32DataSegsIn;
}

} // namespace

bool RxHeldNow(const GwLibCtx* c, u32 now)
{
    return PausedSinceLook(c) || (!c->fRxWaiting && now - c->tRxLook > kRxLateMs);
}

void RxPassStart(GwLibCtx* c, u32 now)
{
    /* Before any poll due now goes out: a pause in the last pass, or a long one. */
    if (c->fRxPaused.exchange(false))
        c->fRxPausedSeen = true;
    if (c->fRxPausedSeen || now - c->tRxLook > kRxLateMs)
        MarkAllHeld(c);
}

void RxLooked(GwLibCtx* c, u32 now)
{
    const u32 gap = now - c->tRxLook;
    const bool fPaused = PausedSinceLook(c);
    c->fRxPaused = false;
    c->fRxPausedSeen = false;
    if (fPaused || gap > kRxLateMs)
        MarkAllHeld(c);
    if (!fPaused && gap > kRxLateMs)
    {
        Trace(c, 4, "VqxGwLibRxSingleThreadRead: %u ms since it last looked, no pause in them: no silence of the peers",
              unsigned(gap));
        AskedLater(c, now, gap);
    }
    c->tRxLook = now;
}

void RxWaitFrom(GwLibCtx* c, u32 now, u32 ms)
{
    c->tRxWaitFrom = now;
    c->un32RxWaitMs = ms;
    c->fRxWaiting = true;
}

void RxWaitOver(GwLibCtx* c, u32 now)
{
    RxOverslept(c, now);
    c->fRxWaiting = false;
    c->tRxLook = now;
}

void RxOverslept(GwLibCtx* c, u32 now)
{
    const u32 waited = now - c->tRxWaitFrom;
    if (!c->fRxWaiting || waited <= c->un32RxWaitMs + kRxLateMs)
        return;
    const u32 late = waited - c->un32RxWaitMs;
    c->tRxWaitFrom = now; /* taken: the thread itself finds it on time as it wakes */
    c->un32RxWaitMs = 0;
    Trace(c, 4, "VqxGwLibRxSingleThreadRead: %u ms past its wait: not run meanwhile, no silence of the peers",
          unsigned(late));
    MarkAllHeld(c);
    AskedLater(c, now, late);
}

void HeardFrom(PathCtx& g, u32 now, u32 tSign)
{
    g.tLastReply = now;
    /* A sign older than the last one known tells nothing more (ages from now: no signed time compared). */
    if (g.tLastSign == 0 || now - tSign < now - g.tLastSign)
        g.tLastSign = tSign;
    g.tPollUnanswered = 0;
    g.fHeld = false;
}

bool ReadCounts(const GwLibCtx* c, const Peer* p, int gw, u32 now)
{
    return !p->fIsAdapter || p->Gw[gw].fHeld || RxHeldNow(c, now);
}

void HeardOnRead(GwLibCtx* c, Peer* p, int gw, u32 now, u32 un32AgeMs)
{
    PathCtx& g = p->Gw[gw];
    if (!p->fIsAdapter)
    {
        g.tLastTcpPollSent = now; /* a host peer's data stands for its poll */
        HeardFrom(g, now, now);
        return;
    }
    if (!ReadCounts(c, p, gw, now))
        return;
    if (g.fHeld)
        Trace(c, 4, "VqxGwLibRxSingleThreadRead %s:gw%d : bytes read, the newest %u ms old, after reading was held back: heard from",
              p->sName.c_str(), gw, unsigned(un32AgeMs));
    HeardFrom(g, now, now - un32AgeMs);
}

bool ReadTcpCounters(const PathCtx& g, TcpCounters& k)
{
    if (g.iRxSocket < 0)
        return false;
    tcp_info ti{};
    socklen_t len = sizeof(ti);
    if (getsockopt(g.iRxSocket, IPPROTO_TCP, TCP_INFO, &ti, &len) != 0 ||
        len < offsetof(tcp_info, tcpi_data_segs_in) + sizeof(ti.tcpi_data_segs_in))
        return false;
    k.un64BytesIn = ti.tcpi_bytes_received;
    k.un32DataSegsIn = ti.tcpi_data_segs_in;
    k.un32AgeMs = ti.tcpi_last_data_recv;
    return true;
}

u32 UnreadBytes(const PathCtx& g)
{
    int n = 0;
    return u32(g.Parser.Unparsed()) + (g.iRxSocket >= 0 && ioctl(g.iRxSocket, FIONREAD, &n) == 0 && n > 0 ? u32(n) : 0u);
}

bool TcpSilent(GwLibCtx* c, Peer* p, int gw, u32 now, u32 limit, bool fCounters, const TcpCounters& k,
               u32* pun32SilenceMs)
{
    PathCtx& g = p->Gw[gw];
    if (fCounters)
        NoteCounters(g, now, k);
    if (g.fRefused)
    {
        const u32 due = std::min(g.tRefusedLast - g.tRefusedFrom, kTcpRtoMaxMs) + kTcpRtoMinMs;
        if (now - g.tRefusedLast <= due)
        {
            Trace(c, 2, "VqxGwLibDiscoverThread: Remote %s: %s TCP refused from %u ms to %u ms ago: sends again within %u ms",
                  p->sName.c_str(), GwName(gw), unsigned(now - g.tRefusedFrom), unsigned(now - g.tRefusedLast),
                  unsigned(due - (now - g.tRefusedLast)));
            Refused(g, now);
        }
        else
            g.fRefused = false; /* it did not send again when due: judged as any peer */
    }
    g.fHeld = g.fHeld || RxHeldNow(c, now);
    const i32 elapsed = i32(g.tLastTcpPollSent - g.tLastReply);
    *pun32SilenceMs = u32(std::max(elapsed, i32(g.tLastTcpPollSent - (g.tLastSign != 0 ? g.tLastSign : g.tLastReply))));
    Trace(c, elapsed < i32(limit / 2) ? 1 : 2, "VqxGwLibDiscoverThread: Remote %s: %s TCP poll elapsed %dms",
          p->sName.c_str(), GwName(gw), elapsed);
    if (elapsed <= i32(limit))
        return false;
    if (!g.fHeld)
        return true;
    if (k.un32Unread != 0)
    {
        /* Not silent: its reply may wait among them. */
        Trace(c, 4,
              "VqxGwLibDiscoverThread: Remote %s: %s TCP poll elapsed %dms, its bytes wait unread while reading is "
              "held back: heard from",
              p->sName.c_str(), GwName(gw), elapsed);
        HeardFrom(g, now, now - std::min(k.un32AgeMs, now - g.tLastReply));
        return false;
    }
    /* The polls went out late, if at all: silent once one has gone unanswered for the limit, less the time the
     * receive thread has not looked with no pause in it (RxLooked counts it when it looks). */
    if (g.tPollUnanswered == 0)
        return false;
    u32 unanswered = now - g.tPollUnanswered;
    if (!c->fRxWaiting && !PausedSinceLook(c) && now - c->tRxLook > kRxLateMs)
        unanswered -= std::min(unanswered, now - c->tRxLook);
    return unanswered > limit;
}

} // namespace vqxgw
