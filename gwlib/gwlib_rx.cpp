/*
 * gwlib_rx.cpp - the receive thread ("gwlib_rx_read"): one poll over every
 * peer's receive sockets (and the transmit sockets that have something to
 * write), reads of up to 16384 bytes parsed at once into batches for the
 * host library, closing of receive sockets, and the blocking read and write
 * helpers used by the handshakes.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "gwlib_internal.h"

namespace vqxgw
{

namespace
{

/* Connects the parser of one path to the user's callbacks. */
class PathSink : public RxSink
{
public:
    PathSink(GwLibCtx* c, Peer* p, int gw) : m_c(c), m_p(p), m_gw(gw) {}

    void Alloc(u32 n, const u32* sizes, void** bufs) override
    {
        const VqxGwLibParams& P = m_c->Params;
        Callback([&] {
            if (P.pFctAllocMsgMultiple != nullptr)
                P.pFctAllocMsgMultiple(P.pBufferCtx, n, sizes, bufs);
            else if (P.pFctAllocMsg != nullptr)
                for (u32 i = 0; i < n; i++)
                    bufs[i] = P.pFctAllocMsg(P.pBufferCtx, sizes[i]);
        });
    }
    void Deliver(u32 n, void** bufs, const u32* sizes) override
    {
        const VqxGwLibParams& P = m_c->Params;
        Trace(m_c, 1, "VqxGwLibRxProcessPeerDataReady %s:gw%d : Passing received messages to upper layer",
              m_p->sName.c_str(), m_gw);
        u32 fClose = 0;
        Callback([&] {
            if (P.pFctRxMultiple != nullptr)
                P.pFctRxMultiple(P.pRxCtx, m_p->hPeer, m_gw == 0, n, bufs, sizes, &fClose);
            else if (P.pFctRx != nullptr)
                for (u32 i = 0; i < n; i++)
                    P.pFctRx(P.pRxCtx, m_p->hPeer, m_gw == 0, bufs[i], sizes[i], &fClose);
            else
                FreeBufs(n, bufs);
        });
        if (fClose)
            RequestClose(m_c, m_p, m_gw, VQX_GW_CLOSE_REQUESTED);
    }
    void Free(u32 n, void** bufs) override { FreeBufs(n, bufs); }
    /* The messages of a batch the link's closing cut, told to the user. */
    void Lost(u32 n)
    {
        const VqxGwLibParams& P = m_c->Params;
        if (P.pFctRxLost != nullptr)
            Callback([&] { P.pFctRxLost(P.pRxCtx, m_p->hPeer, m_gw == 0, n); });
    }
    void Poll() override
    {
        Trace(m_c, 1, "VqxGwLibRxMultiHeaderParse %s:gw%d : Received TCP polling", m_p->sName.c_str(), m_gw);
        PreparePollReply(m_c, m_p, m_gw);
        WakeRx(m_c);
    }
    void PollReply() override
    {
        Trace(m_c, 1, "VqxGwLibRxMultiHeaderParse %s:gw%d : Received TCP poll reply", m_p->sName.c_str(), m_gw);
        const u32 now = Now();
        HeardFrom(m_p->Gw[m_gw], now, now);
    }
    void HeaderBytes(bool fComplete) override
    {
        Trace(m_c, 2, "VqxGwLibRxProcessPeerDataReady %s:gw%d : %s for MultiMsg header", m_p->sName.c_str(), m_gw,
              fComplete ? "Reading" : "Waiting");
    }
    void HeaderReceived(u32 n) override
    {
        Trace(m_c, 1, "VqxGwLibRxMultiHeaderParse %s:gw%d : Receiving payload for %d messages", m_p->sName.c_str(), m_gw,
              int(n));
    }
    void Error(RxError e, u32 v) override
    {
        const char* name = m_p->sName.c_str();
        u32 reason = VQX_GW_CLOSE_CORRUPTED;
        switch (e)
        {
        case kRxBadCount:
            ErrorLog(m_c,
                     "VqxGwLibRxMultiHeaderParse %s:gw%d : Received corrupted in_pGwContext->MultiHeader from (claiming "
                     "%d messages inside)\n",
                     name, m_gw, int(v));
            break;
        case kRxSizeZero:
            ErrorLog(m_c, "Received corrupted MultiHeader from %s:gw%u (message size %d)\n", name, unsigned(m_gw), int(v));
            break;
        case kRxSizeTooBig:
            ErrorLog(m_c, "Received corrupted MultiHeader from %s:gw%u (message size %d, max allowed %d)\n", name,
                     unsigned(m_gw), int(v), int(VQX_GW_MAX_MSG_SIZE));
            break;
        default:
            ErrorLog(m_c, "VqxGwLibRxMultiHeaderParse %s:gw%d : Out of memory to re-assemble received data into messages!\n",
                     name, m_gw);
            reason = VQX_GW_CLOSE_READ_ERROR;
            break;
        }
        PathCtx& g = m_p->Gw[m_gw];
        if (g.un32CloseReason == 0)
            g.un32CloseReason = reason;
        g.fForceCloseConnectionRx = 1;
        SetPeerEvent(m_c);
    }

private:
    template <class F> void Callback(F f)
    {
        m_p->un32InCallback++;
        if (m_c->fExternalLock)
            f();
        else
        {
            LockRelease rl(m_c);
            f();
        }
        m_p->un32InCallback--;
    }
    void FreeBufs(u32 n, void** bufs)
    {
        const VqxGwLibParams& P = m_c->Params;
        if (P.pFctFreeMsgMultiple != nullptr)
        {
            u32 k = 0;
            void* a[VQX_GW_MAX_BATCH_MSGS];
            for (u32 i = 0; i < n; i++)
                if (bufs[i] != nullptr)
                    a[k++] = bufs[i];
            if (k != 0)
                P.pFctFreeMsgMultiple(P.pBufferCtx, k, a);
        }
        else if (P.pFctFreeMsg != nullptr)
            for (u32 i = 0; i < n; i++)
                if (bufs[i] != nullptr)
                    P.pFctFreeMsg(P.pBufferCtx, &bufs[i]);
        for (u32 i = 0; i < n; i++)
            bufs[i] = nullptr;
    }
    GwLibCtx* m_c;
    Peer* m_p;
    int m_gw;
};

} // namespace

bool ReadPath(GwLibCtx* c, Peer* p, int gw)
{
    PathCtx& g = p->Gw[gw];
    ssize_t n = read(g.iRxSocket, c->pRxBuf.get(), kRxChunk);
    if (n == 0)
    {
        if (g.un32CloseReason == 0)
            g.un32CloseReason = VQX_GW_CLOSE_BY_REMOTE;
        g.fForceCloseConnectionRx = 1;
        return false;
    }
    if (n < 0)
    {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return false;
        int e = errno;
        ErrorLog(c, "%s:gw%u socket read failed, result %d, errno %d (%s)\n", p->sName.c_str(), unsigned(gw), int(n), e,
                 strerror(e));
        if (g.un32CloseReason == 0)
            g.un32CloseReason = VQX_GW_CLOSE_READ_ERROR;
        g.fForceCloseConnectionRx = 1;
        return false;
    }
    const u32 now = Now();
    if (!p->fIsAdapter)
    {
        /* A host peer's data stands for its poll, and (as any read) for its reply: a poll that came due while the
         * data waited (this thread held off the processor) and is not begun yet is not sent. */
        g.tLastTcpPollSent = now;
        if (g.un32PollWritten == 0)
            g.fPollPending = false;
    }
    /* Heard from now, whether or not a look found the bytes waiting first. */
    BytesRead(g, now);
    PathSink sink(c, p, gw);
    g.Parser.Feed(c->pRxBuf.get(), size_t(n), sink);
    return size_t(n) == kRxChunk && g.iRxSocket >= 0 && !g.fForceCloseConnectionRx;
}

namespace
{

/* Before a close this side decides (RequestCloseRead: a keep-alive close,
 * decided while the link may still carry data, a board busy sending answering
 * no poll; the other path's loss or a path switched off; VqxGwLibCloseLinks),
 * what the peer's TCP already accepted is read and delivered: the peer counts
 * it as sent. The socket is shut down first, so that what arrives from then on
 * is refused with a reset rather than acknowledged and dropped unread when the
 * socket is closed, which (shared with the transmit side) the connect thread
 * does later. Bounded by the socket's receive buffer. The complete messages of
 * a batch the close cuts are delivered too; returns the number of its
 * incomplete ones, lost. Plain requests (VqxGwLibForceDisconnect) are not
 * drained: one may come with a flush. */
u32 DrainBeforeClose(GwLibCtx* c, Peer* p, int gw)
{
    PathCtx& g = p->Gw[gw];
    const bool fDrain = g.fDrainOnClose;
    g.fDrainOnClose = false;
    if (c->fDestroying || !fDrain)
        return 0;
    shutdown(g.iRxSocket, SHUT_RDWR);
    int rcvbuf = 0;
    socklen_t len = sizeof(rcvbuf);
    if (getsockopt(g.iRxSocket, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len) != 0 || rcvbuf <= 0)
        rcvbuf = 0;
    size_t left = size_t(rcvbuf) + kRxChunk;
    while (left > 0 && g.iRxSocket >= 0 && g.Parser.GetState() != RxParser::kDiscard)
    {
        const ssize_t n = recv(g.iRxSocket, c->pRxBuf.get(), kRxChunk, MSG_DONTWAIT);
        if (n <= 0)
            break;
        left = size_t(n) < left ? left - size_t(n) : 0;
        PathSink sink(c, p, gw);
        g.Parser.Feed(c->pRxBuf.get(), size_t(n), sink);
    }
    PathSink sink(c, p, gw);
    return g.iRxSocket >= 0 ? g.Parser.Cut(sink) : 0;
}

/* Wakes a VqxGwLibCloseLinks (or FinishLinks) waiting for the links it marked to be closed. */
void LinkClosed(GwLibCtx* c)
{
    if (c->fClosingLinks || c->fFinishingLinks)
        EventSet(c, &c->LinkClosedEvent);
}

} // namespace

void RxSocketClose(GwLibCtx* c, Peer* p, int gw)
{
    PathCtx& g = p->Gw[gw];
    if (g.iRxSocket < 0)
    {
        g.fForceCloseConnectionRx = 0;
        g.fDrainOnClose = false;
        return;
    }
    const bool fRead = g.fDrainOnClose;
    const u32 un32CutLost = DrainBeforeClose(c, p, gw);
    /* The batch the close cuts is counted and told before the link is
     * closed: its path cannot be reported down before the user knows. A link
     * the peer closed (or that failed, or fell silent) keeps the whole
     * messages of the batch it cut, as a drained one does: they arrived. One
     * closed on a plain request (a flush may come with it) or being destroyed
     * keeps none. */
    PathSink sink(c, p, gw);
    const u32 r = g.un32CloseReason;
    const bool fKeepWhole = !c->fDestroying && (fRead || r == VQX_GW_CLOSE_BY_REMOTE || r == VQX_GW_CLOSE_READ_ERROR ||
                                                r == VQX_GW_CLOSE_WRITE_ERROR || r == VQX_GW_CLOSE_TCP_TIMEOUT ||
                                                r == VQX_GW_CLOSE_UDP_TIMEOUT);
    if (const u32 un32Lost = un32CutLost + (fKeepWhole ? g.Parser.Cut(sink) : g.Parser.Reset(sink)))
    {
        if (c->fDestroying || c->fClosingLinks || c->fFinishingLinks)
            Trace(c, 4, "%s:gw%d : link closed within a batch, %u message(s) of it lost", p->sName.c_str(), gw,
                  unsigned(un32Lost));
        else
            ErrorLog(c, "%s:gw%d : link closed within a batch, %u message(s) of it lost\n", p->sName.c_str(), gw,
                     unsigned(un32Lost));
        sink.Lost(un32Lost);
    }
    if (g.iRxSocket < 0)
    {
        g.fForceCloseConnectionRx = 0;
        LinkClosed(c);
        return;
    }
    if (p->un32Mode == kModeSeparate)
    {
        Trace(c, 4, "VqxGwLibRxSocketClose %s:gw%d Closing socket", p->sName.c_str(), gw);
        close(g.iRxSocket);
        g.iRxSocket = -1;
        if (g.fRxReplace)
            g.fRxReplace = 0; /* the transmit link stays */
        else if (g.iTxSocket >= 0)
        {
            g.fForceCloseConnectionTx = 1;
            if (g.un32CloseReason == 0)
                g.un32CloseReason = VQX_GW_CLOSE_BY_REMOTE;
        }
    }
    else
    {
        Trace(c, 4, "VqxGwLibRxSocketClose %s:gw%d Stop using socket", p->sName.c_str(), gw);
        if (g.iTxSocket != g.iRxSocket)
            close(g.iRxSocket);
        g.iRxSocket = -1;
        if (g.iTxSocket >= 0)
            g.fForceCloseConnectionTx = 1;
    }
    g.fForceCloseConnectionRx = 0;
    SetPeerEvent(c);
    g.un32CurrentBytesInBuffers = 0;
    LinkClosed(c);
}

void RxDropPartial(GwLibCtx* c, Peer* p, int gw)
{
    PathSink sink(c, p, gw);
    if (const u32 un32Lost = p->Gw[gw].Parser.Reset(sink))
        Trace(c, 4, "%s:gw%d : partly received batch dropped with the peer, %u message(s) of it lost",
              p->sName.c_str(), gw, unsigned(un32Lost));
}

u32 RxThread(void* arg)
{
    GwLibCtx* c = static_cast<GwLibCtx*>(arg);
    ThreadRec& self = c->Threads[kThRx];
    MarkRxThread(c);
    Lock(c);
    u32 tPrev = Now();
    WaitSet ws;
    while (!self.fStop && !c->fDestroying)
    {
        const u32 now = Now();
        if (now - tPrev > 3999u)
        {
            c->t10s = c->t30s = now;
            c->afRediscover[0] = c->afRediscover[1] = true;
            ErrorLog(c,
                     "VqxGwLibRxSingleThreadRead WARNING: Was not scheduled, or blocked while waiting for msg data, for "
                     "%d msec.\n",
                     i32(now - tPrev));
        }
        tPrev = now;
        ws.Clear();
        bool fAny = false;
        u32 msToPoll = kNoPollDue;
        for (Peer* pp : Peers(c))
        {
            Peer* p = pp;
            if (p == nullptr)
                continue;
            for (int gw = 0; gw < 2; gw++)
            {
                PathCtx& g = p->Gw[gw];
                g.fInWriteSet = false;
                /* Received bytes are parsed as they are read, so none wait
                 * here: a requested close happens at once. */
                if (g.fForceCloseConnectionRx && g.iRxSocket >= 0)
                {
                    if (!p->Uses(gw) && g.un32CloseReason == 0)
                        g.un32CloseReason = VQX_GW_CLOSE_REQUESTED;
                    if (!p->Uses(gw))
                        g.fDrainOnClose = true; /* no longer used: closed by this side, read first */
                    RxSocketClose(c, p, gw);
                }
                if (PathNeedsWrite(c, p, gw))
                {
                    g.fInWriteSet = true;
                    ws.AddWrite(g.iTxSocket);
                    fAny = true;
                }
                const u32 nextPoll = MsToNextPoll(p, gw, now);
                if (nextPoll < msToPoll)
                    msToPoll = nextPoll;
                if (g.iRxSocket >= 0 && !g.fForceCloseConnectionRx && !g.fConnecting && p->fReported && p->fSomeUp &&
                    p->Uses(gw) && !p->fDying)
                {
                    ws.AddRead(g.iRxSocket);
                    fAny = true;
                }
            }
        }
        ws.AddRead(c->aiRxWakePipe[0]);
        int n;
        if (fAny)
        {
            n = ws.Wait(0);
            if (n == 0)
            {
                u32 ms = c->un32SmallestPollDelay > 99 ? c->un32SmallestPollDelay / 2 : 2000;
                if (ms > 2000)
                    ms = 2000;
                /* wake for the next poll due, so that polls leave on time */
                if (msToPoll < ms)
                    ms = msToPoll != 0 ? msToPoll : 1;
                LockRelease rl(c);
                n = ws.Wait(int(ms));
            }
        }
        else
        {
            c->fRxWaitsOnConnectEvent = true;
            {
                LockRelease rl(c);
                c->ConnectEvent.Wait(1000);
            }
            c->fRxWaitsOnConnectEvent = false;
            DrainPipe(c->aiRxWakePipe[0]);
            continue;
        }
        if (n < 0)
        {
            if (errno != EINTR)
            {
                int e = errno;
                ErrorLog(c, "VqxGwLibRxSingleThreadRead: select() failed, errno %d (%s).\n", e, strerror(e));
                SleepMs(c, 100);
            }
            continue;
        }
        if (ws.Readable(c->aiRxWakePipe[0]))
            DrainPipe(c->aiRxWakePipe[0]);
        for (Peer* pp : Peers(c))
        {
            Peer* p = pp;
            if (p == nullptr)
                continue;
            p->fRxBusy = true;
            for (int gw = 0; gw < 2; gw++)
            {
                PathCtx& g = p->Gw[gw];
                /* A few reads in a row while the socket keeps chunks full
                 * save a wait per chunk under load. */
                if (g.iRxSocket >= 0 && ws.Readable(g.iRxSocket) && !g.fForceCloseConnectionRx)
                    for (int k = 0; k < 8 && ReadPath(c, p, gw); k++)
                    {
                    }
            }
            for (int gw = 0; gw < 2; gw++)
            {
                PathCtx& g = p->Gw[gw];
                if (g.fInWriteSet && g.iTxSocket >= 0 && ws.Writable(g.iTxSocket))
                    WritePath(c, p, gw);
                g.fInWriteSet = false;
            }
            p->fRxBusy = false;
        }
    }
    for (Peer* pp : Peers(c))
        if (pp)
            for (int gw = 0; gw < 2; gw++)
                RxSocketClose(c, pp, gw);
    Unlock(c);
    return 0;
}

/* Reads exactly un32Len bytes from a non-blocking socket (see
 * VQXHostGwLibRead); fStopped is asked before every wait. */
template <class Stopped>
i32 ReadExact(GwLibCtx* c, int iSocket, void* pBuf, u32 un32Len, Stopped fStopped, u32 un32LimitAfterFirstMs,
              u32 un32LimitBeforeAnyMs)
{
    u8* p = static_cast<u8*>(pBuf);
    u32 done = 0, retries = 0;
    const u32 t0 = Now();
    while (done < un32Len)
    {
        if (fStopped())
            return -2;
        const u32 el = Now() - t0;
        if (done == 0 ? el > un32LimitBeforeAnyMs : el > un32LimitAfterFirstMs)
        {
            if (done != 0 && c != nullptr)
                ErrorLog(c, "socket read timeout (%d ms elapsed)\n", int(el));
            return -3;
        }
        pollfd r{iSocket, POLLIN, 0};
        int s = poll(&r, 1, 100);
        if (s < 0 && errno != EINTR)
            return -1;
        if (s <= 0)
            continue;
        ssize_t n = read(iSocket, p + done, un32Len - done);
        if (n == 0)
            return 0;
        if (n < 0)
        {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return -1;
            if (++retries > 1000)
            {
                if (c != nullptr)
                    ErrorLog(c, "socket read failed (unexpected WOULDBLOCK loop)\n");
                return -1;
            }
            if (retries > 500)
                usleep(10000);
            continue;
        }
        retries = 0;
        done += u32(n);
    }
    return i32(done);
}

} // namespace vqxgw

using namespace vqxgw;

extern "C" {

i32 VQXHostGwLibWrite(VqxGwLibContext hCtx, const char* pszPeerName, int iSocket, const void* pBuf, u32 un32Len,
                      u32 un32TimeLimitMs)
{
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(hCtx);
    const u8* p = static_cast<const u8*>(pBuf);
    const char* name = pszPeerName != nullptr ? pszPeerName : "";
    u32 done = 0, errors = 0;
    const u32 t0 = Now();
    while (done < un32Len)
    {
        ssize_t n = send(iSocket, p + done, un32Len - done, MSG_NOSIGNAL);
        if (n > 0)
        {
            done += u32(n);
            errors = 0;
            continue;
        }
        int e = errno;
        if (n < 0 && (e == EBADF || e == EINVAL || e == ENOTCONN || e == EPIPE || e == ECONNRESET))
        {
            if (c != nullptr)
                ErrorLog(c, "%s: socket write errno %d (%s). Closing connection.", name, e, strerror(e));
            break;
        }
        if (n < 0 && e != EAGAIN && e != EWOULDBLOCK && e != EINTR && ++errors > 1000)
        {
            if (c != nullptr)
                ErrorLog(c, "%s: too many consecutive errors (errno %d (%s). Closing connection.", name, e, strerror(e));
            break;
        }
        if (Now() - t0 >= un32TimeLimitMs)
            break;
        pollfd w{iSocket, POLLOUT, 0};
        poll(&w, 1, (c != nullptr && c->fDestroying) ? 10 : 100);
    }
    return i32(done);
}

VQX_RESULT VqxGwLibRxPause(VqxGwLibContext hCtx, u32 un32Ms)
{
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(hCtx);
    if (c == nullptr)
        return VQX_RESULT_NULL_PARAM;
    /* On the system's clock: the library's may be a test's, standing still. */
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(un32Ms);
    for (auto t = std::chrono::steady_clock::now(); t < end && !c->fDestroying; t = std::chrono::steady_clock::now())
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(end - t, std::chrono::milliseconds(10)));
    return VQX_RESULT_OK;
}

i32 VQXHostGwLibRead(VqxGwLibContext hCtx, int iSocket, void* pBuf, u32 un32Len, const volatile u32* pfStop,
                     u32 un32LimitAfterFirstMs, u32 un32LimitBeforeAnyMs)
{
    return vqxgw::ReadExact(
        reinterpret_cast<GwLibCtx*>(hCtx), iSocket, pBuf, un32Len, [pfStop] { return pfStop != nullptr && *pfStop; },
        un32LimitAfterFirstMs, un32LimitBeforeAnyMs);
}

} // extern "C"

namespace vqxgw
{

i32 ReadUnlessDestroying(GwLibCtx* c, int iSocket, void* pBuf, u32 un32Len, u32 un32LimitAfterFirstMs,
                         u32 un32LimitBeforeAnyMs)
{
    return ReadExact(
        c, iSocket, pBuf, un32Len, [c] { return c->fDestroying.load() != 0; }, un32LimitAfterFirstMs,
        un32LimitBeforeAnyMs);
}

} // namespace vqxgw

