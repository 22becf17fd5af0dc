/*
 * gwlib_keepalive.cpp - the TCP keep-alive's judgement of a peer's silence
 * (see "the TCP keep-alive's judgement" in gwlib_internal.h): what the
 * receive thread notes (the polls it writes, the replies it reads, its
 * reads) and the discover thread's look at a path from what its socket
 * received. The socket's record is read apart from the judgement, which a
 * test can drive on its own clock.
 */
#include <linux/sock_diag.h>
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

/* The span over which n tries of a peer's TCP can have been refused, its timer at TCP's least and doubling at each
 * try: from the first to the last (one try: none), TCP_RTO_MAX at most. */
u32 BackedOffMs(u32 n)
{
    u32 span = 0;
    for (u32 wait = kTcpRtoMinMs; n > 1 && span < kTcpRtoMaxMs; n--, wait *= 2)
        span += wait;
    return std::min(span, kTcpRtoMaxMs);
}

/* The record at this look. The socket drops the peer's segments it refused, full, and also copies of what it took
 * in already (the path's acknowledgements lost), keep-alive probes and window probes: drops are a refusal only while
 * the socket was full, as the bytes unread at the last look or this one show, or a read since the last look (the
 * memory of many small segments fills it while few bytes wait), not one before a stop or a late wake. A refused
 * peer's TCP sends them again later, backing off while they are dropped: a refusal from the last look on, no further
 * back than its drops can have backed off over, or, with no byte taken in since, going on from its start. Bytes taken
 * in with no refusal since end it. A retransmission of the path pending does not end it: it only suspends its sign of
 * life (TcpSilent), as one lost poll would otherwise end a refusal that the peer's next try alone can renew. */
void NoteCounters(PathCtx& g, u32 now, const TcpCounters& k)
{
    const bool fBytes = k.un64BytesIn != g.un64TcpBytesIn;
    const bool fHeld = k.un32Unread != 0;
    const bool fRead = g.tRxRead != 0 && now - g.tRxRead <= now - g.tTcpLook && now - g.tRxRead <= kJudgeLateMs;
    const u32 un32Drops = k.un32Drops - g.un32TcpDrops;
    if (un32Drops != 0 && (fHeld || g.fRxHeld || fRead))
    {
        if (!g.fRefused || fBytes)
            g.tRefusedFrom = now - std::min(now - g.tTcpLook, BackedOffMs(un32Drops));
        g.fRefused = true;
        g.tRefusedLast = now;
    }
    else if (fBytes)
        g.fRefused = false;
    g.fRxHeld = fHeld;
    g.tTcpLook = now;
    g.un64TcpBytesIn = k.un64BytesIn;
    g.un32TcpDrops = k.un32Drops;
}

bool ReadTcpInfo(int iSocket, tcp_info& ti)
{
    socklen_t len = sizeof(ti);
    return iSocket >= 0 && getsockopt(iSocket, IPPROTO_TCP, TCP_INFO, &ti, &len) == 0 &&
           len >= offsetof(tcp_info, tcpi_bytes_received) + sizeof(ti.tcpi_bytes_received);
}

/* The peer's TCP is to send again what the socket refused and is not due yet. */
bool RefusedNotDue(GwLibCtx* c, const Peer* p, int gw, PathCtx& g, u32 now)
{
    if (!g.fRefused)
        return false;
    const u32 due = std::min(g.tRefusedLast - g.tRefusedFrom, kTcpRtoMaxMs) + kTcpRtoMinMs;
    if (now - g.tRefusedLast > due)
    {
        g.fRefused = false; /* it did not send again when due: judged as any peer */
        return false;
    }
    Trace(c, 2, "VqxGwLibDiscoverThread: Remote %s: %s TCP refused from %u ms to %u ms ago: sends again within %u ms",
          p->sName.c_str(), GwName(gw), unsigned(now - g.tRefusedFrom), unsigned(now - g.tRefusedLast),
          unsigned(due - (now - g.tRefusedLast)));
    return true;
}

} // namespace

void PollDue(PathCtx& g, u32 now)
{
    g.tLastTcpPollSent = now;
    if (g.tLastSign == 0)
        g.tLastSign = now;
}

void PollWritten(PathCtx& g, u32 now)
{
    if (g.tPollUnanswered == 0)
        g.tPollUnanswered = now != 0 ? now : 1;
}

void HeardFrom(PathCtx& g, u32 now, u32 tSign, u32 un32SureMs)
{
    if (now - tSign > now - g.tLastSign)
        return; /* older than the last one known */
    g.tLastSign = tSign;
    if (g.tPollUnanswered != 0 && now - tSign + un32SureMs <= now - g.tPollUnanswered)
    {
        g.tPollUnanswered = 0; /* answered */
        g.tGraceFrom = 0;
    }
}

void BytesRead(PathCtx& g, u32 now)
{
    g.tRxRead = now != 0 ? now : 1;
    HeardFrom(g, now, now);
}

void JudgeLook(GwLibCtx* c, u32 now)
{
    if (c->tJudgeLook != 0 && now - c->tJudgeLook > kJudgeLateMs)
    {
        Trace(c, 4, "VqxGwLibDiscoverThread: looked again %u ms after its last look: a poll's round trip before a silence is judged",
              unsigned(now - c->tJudgeLook));
        c->tLateWake = now != 0 ? now : 1;
    }
    c->tJudgeLook = now != 0 ? now : 1;
}

bool ReadTcpCounters(const PathCtx& g, TcpCounters& k)
{
    tcp_info ti{};
    if (!ReadTcpInfo(g.iRxSocket, ti))
        return false;
    k.un64BytesIn = ti.tcpi_bytes_received;
    k.un32AgeMs = ti.tcpi_last_data_recv;
    /* The peer's acknowledgements of the polls: on the transmit socket, which is the receive socket unless the
     * peer links them apart. */
    tcp_info to{};
    const tcp_info* pTx = &ti;
    if (g.iTxSocket != g.iRxSocket)
    {
        if (!ReadTcpInfo(g.iTxSocket, to))
            return false;
        pTx = &to;
    }
    k.un32Retransmits = pTx->tcpi_retransmits;
    k.un32AckAgeMs = pTx->tcpi_last_ack_recv;
    u32 aMem[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof(aMem);
    const bool fMem = getsockopt(g.iRxSocket, SOL_SOCKET, SO_MEMINFO, aMem, &len) == 0 &&
                      len > SK_MEMINFO_DROPS * sizeof(u32);
    k.un32Drops = fMem ? aMem[SK_MEMINFO_DROPS] : g.un32TcpDrops;
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
    const i32 elapsed = i32(g.tLastTcpPollSent - g.tLastSign);
    Trace(c, elapsed < i32(limit / 2) ? 1 : 2, "VqxGwLibDiscoverThread: Remote %s: %s TCP poll elapsed %dms",
          p->sName.c_str(), GwName(gw), elapsed);
    /* Signs of life: bytes waiting unread (the peer may send nothing more until they are read, its answer among
     * them or behind), the newest byte that arrived, and while a refusal's next try is not due, the peer's last
     * acknowledgement, unless the path has a retransmission pending (what it sends may be lost: the age of the
     * acknowledgement tells nothing of the peer then). Arrivals are recorded in jiffies: surely after the poll only
     * kRecordMs after it. */
    if (k.un32Unread != 0)
        HeardFrom(g, now, now);
    else if (fCounters)
    {
        if (RefusedNotDue(c, p, gw, g, now) && k.un32Retransmits == 0)
            HeardFrom(g, now, now - k.un32AckAgeMs, kRecordMs);
        HeardFrom(g, now, now - k.un32AgeMs, kRecordMs);
    }
    *pun32SilenceMs = fCounters ? k.un32AgeMs : now - g.tLastSign;
    /* Silent: asked since its last sign, given a poll period to answer, and no sign for the limit. */
    if (g.tPollUnanswered == 0 || now - g.tPollUnanswered <= PollPeriod(p, gw) || now - g.tLastSign <= limit)
        return false;
    /* After a late wake of this thread, a poll's round trip before the silence is judged: once per silence. */
    if (g.tGraceFrom == 0)
        g.tGraceFrom = c->tLateWake;
    return g.tGraceFrom == 0 || now - g.tGraceFrom > PollPeriod(p, gw) + kAnswerMs;
}

} // namespace vqxgw
