/*
 * gwlib_context.cpp - life of a transport instance: allocation, parameter
 * changes, enable/disable, destruction; its lock with deferred events, its
 * wake pipes and its threads. Public operations run on the caller's thread.
 */
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "gwlib_internal.h"

namespace vqxgw
{

/* ---- logs ---------------------------------------------------------------- */

void ErrorLog(GwLibCtx* c, const char* fmt, ...)
{
    char sz[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(sz, sizeof(sz), fmt, ap);
    va_end(ap);
    if (c->Params.pFctErrorLog != nullptr)
        c->Params.pFctErrorLog(c->Params.pErrorCtx, "%s", sz);
}

void ErrnoLog(GwLibCtx* c, const char* text)
{
    int e = errno;
    ErrorLog(c, "%s, errno = %d (%s)\n", text, e, strerror(e));
}

std::string IpText(u32 addrNet)
{
    char sz[INET_ADDRSTRLEN] = "";
    struct in_addr a;
    a.s_addr = addrNet;
    inet_ntop(AF_INET, &a, sz, sizeof(sz));
    return sz;
}

u32 IpFromText(const char* psz)
{
    if (psz == nullptr || psz[0] == '\0')
        return 0;
    u32 v = inet_addr(psz);
    return v == 0xFFFFFFFFu ? 0 : v;
}

/* ---- events and lock ------------------------------------------------------ */

void GwEvent::SetNow()
{
    std::lock_guard<std::mutex> g(m);
    fSet = true;
    cv.notify_all();
}

bool GwEvent::Wait(u32 ms)
{
    std::unique_lock<std::mutex> g(m);
    cv.wait_for(g, std::chrono::milliseconds(ms), [this] { return fSet; });
    bool f = fSet;
    fSet = false;
    return f;
}

void Lock(GwLibCtx* c)
{
    if (c->fExternalLock)
        c->Params.pFctLockEnter(c->Params.pLockCtx);
    else
        VqxMutexGet(c->hLock);
}

void Unlock(GwLibCtx* c)
{
    if (c->fExternalLock)
    {
        c->Params.pFctLockLeave(c->Params.pLockCtx);
        return;
    }
    if (VqxMutexHeldCount(c->hLock) == 1)
    {
        std::unique_lock<std::mutex> g(c->EventsMutex);
        if (!c->PendingEvents.empty())
        {
            VqxMutexGive(c->hLock);
            for (GwEvent* e : c->PendingEvents)
                e->SetNow();
            c->PendingEvents.clear();
            return;
        }
    }
    VqxMutexGive(c->hLock);
}

LockRelease::LockRelease(GwLibCtx* c) : m_c(c), m_n(0)
{
    if (c->fExternalLock)
    {
        m_n = 1;
        Unlock(c);
        return;
    }
    m_n = VqxMutexHeldCount(c->hLock);
    for (u32 i = 0; i < m_n; i++)
        Unlock(c);
}

LockRelease::~LockRelease()
{
    for (u32 i = 0; i < m_n; i++)
        Lock(m_c);
}

void EventSet(GwLibCtx* c, GwEvent* e)
{
    if (e == nullptr)
        return;
    if (c->fExternalLock && c->Params.pFctEventSet != nullptr)
    {
        c->Params.pFctEventSet(c->Params.pLockCtx, e);
        return;
    }
    if (!c->fExternalLock && VqxMutexHeldCount(c->hLock) > 0)
    {
        std::lock_guard<std::mutex> g(c->EventsMutex);
        for (GwEvent* p : c->PendingEvents)
            if (p == e)
                return;
        if (c->PendingEvents.size() < kMaxPendingEvents)
        {
            c->PendingEvents.push_back(e);
            return;
        }
    }
    e->SetNow();
}

void EventForget(GwLibCtx* c, GwEvent* e)
{
    if (e == nullptr)
        return;
    if (c->fExternalLock && c->Params.pFctEventDestroy != nullptr)
        c->Params.pFctEventDestroy(c->Params.pLockCtx, e);
    {
        std::lock_guard<std::mutex> g(c->EventsMutex);
        for (size_t i = 0; i < c->PendingEvents.size(); i++)
            if (c->PendingEvents[i] == e)
            {
                c->PendingEvents.erase(c->PendingEvents.begin() + long(i));
                break;
            }
    }
    e->SetNow();
}

void SleepMs(GwLibCtx* c, u32 ms)
{
    LockRelease r(c);
    usleep(ms * 1000);
}

void WakePipe(int fd)
{
    if (fd < 0)
        return;
    u8 b = 1;
    ssize_t n = write(fd, &b, 1);
    (void)n;
}

void DrainPipe(int fd)
{
    u8 b[256];
    while (read(fd, b, sizeof(b)) == ssize_t(sizeof(b)))
    {
    }
}

namespace
{
/* The instance whose receive thread this is, if it is one. */
thread_local const GwLibCtx* t_pRxThreadOf = nullptr;
} // namespace

void MarkRxThread(GwLibCtx* c)
{
    t_pRxThreadOf = c;
}

void WakeRx(GwLibCtx* c)
{
    /* A send made from the receive thread itself (a callback's acknowledgement or answer) is seen by its loop
     * before it waits again: a wake-up through the pipe would only cost two system calls. */
    if (t_pRxThreadOf == c)
        return;
    if (c->fRxWaitsOnConnectEvent)
        EventSet(c, &c->ConnectEvent);
    else
        WakePipe(c->aiRxWakePipe[1]);
}

void SetPeerEvent(GwLibCtx* c)
{
    EventSet(c, c->pPeerEvent.get());
}

} // namespace vqxgw

using namespace vqxgw;

namespace
{

/* The pool files a peer under its handle, the record's first word. */
u64 PeerKey(void*, const void* pRecord)
{
    return static_cast<const Peer*>(pRecord)->hPeer;
}

const char* const kThreadNames[4] = {"gwlib_discover", "gwlib_accept", "gwlib_rx_read", "gwlib_connect"};

/* How long VqxGwLibCloseLinks waits for the receive thread to close the links. */
constexpr u32 kCloseLinksMs = 2000;
/* How long VqxGwLibDestroy waits for the peers to close the links it ended (FinishLinks) once nothing more of what
 * they carry is written; links still writing out are waited for up to kFinishLinksMaxMs in all. */
constexpr u32 kFinishLinksMs = 2000, kFinishLinksMaxMs = 30000, kFinishLookMs = 50;

struct ThreadArg
{
    GwLibCtx* c;
    u32 (*fn)(void*);
};

/* Runs a library thread: reports running, runs, reports done. */
u32 ThreadMain(void* pv)
{
    ThreadRec* t = static_cast<ThreadRec*>(pv);
    GwLibCtx* c = t->pCtx;
    int idx = int(t - c->Threads);
    t->fRunning = 1;
    t->sem.SetNow();
    Trace(c, 9, "%s: started", kThreadNames[idx]);
    u32 r = 0;
    switch (idx)
    {
    case kThDiscover:
        r = DiscoverThread(c);
        break;
    case kThAccept:
        r = AcceptThread(c);
        break;
    case kThRx:
        r = RxThread(c);
        break;
    default:
        r = ConnectThread(c);
        break;
    }
    Trace(c, 9, "%s: ended", kThreadNames[idx]);
    t->fDone = 1;
    t->sem.SetNow();
    return r;
}

VQX_RESULT CreateThread(GwLibCtx* c, int idx)
{
    ThreadRec& t = c->Threads[idx];
    VQX_THREAD_PARAMS tp{};
    tp.pszName = kThreadNames[idx];
    tp.un32StackSize = VQX_THREAD_DEFAULT_STACK_SIZE;
    tp.un32PriorityClass = (idx == kThRx && c->Params.fRealTimeRxThread) ? VQX_THREAD_PRIORITY_RT_HIGH
                                                                         : VQX_THREAD_PRIORITY_NORMAL;
    t.pCtx = c;
    t.fStop = 0;
    t.fDone = 0;
    t.fRunning = 0;
    /* The thread function finds the context through pvArg and its record
     * through the argument it is given. */
    VQX_RESULT r = VqxThreadCreate(&t.rec, ThreadMain, &t, &tp);
    if (VQX_RESULT_FAILED(r))
    {
        ErrorLog(c, "VqxGwLibCreateThread: Failed to create thread!");
        return VQX_RESULT_OUT_OF_RESOURCE;
    }
    t.fCreated = true;
    if (!c->fExternalLock)
    {
        while (t.fRunning.load() == 0)
        {
            Trace(c, 4, "VqxGwLibCreateThread: Waiting for thread %s (%p) to be running...", kThreadNames[idx],
                  static_cast<void*>(&t));
            LockRelease rl(c);
            t.sem.Wait(100);
        }
    }
    return VQX_RESULT_OK;
}

void StopThread(GwLibCtx* c, int idx)
{
    ThreadRec& t = c->Threads[idx];
    if (!t.fCreated)
        return;
    {
        LockRelease rl(c);
        while (t.fRunning.load() == 0 && t.fDone.load() == 0)
            usleep(10000);
        t.fStop = 1;
        VqxThreadRequestStop(&t.rec);
        while (t.fDone.load() == 0)
        {
            t.sem.Wait(100);
            if (idx == kThConnect)
                c->pPeerEvent->SetNow();
            if (idx == kThRx)
            {
                c->ConnectEvent.SetNow();
                WakePipe(c->aiRxWakePipe[1]);
            }
        }
        VqxThreadJoin(&t.rec, nullptr);
    }
    t.fCreated = false;
}

void ClosePipe(int (&p)[2])
{
    for (int& fd : p)
        if (fd >= 0)
        {
            close(fd);
            fd = -1;
        }
}

void CloseFd(int& fd)
{
    if (fd >= 0)
    {
        close(fd);
        fd = -1;
    }
}

void FreeContext(GwLibCtx* c)
{
    PortSocketsRelease(c);
    CloseFd(c->aiPollSocket[0]);
    CloseFd(c->aiPollSocket[1]);
    CloseFd(c->iAcceptSocket);
    ClosePipe(c->aiAcceptWakePipe);
    ClosePipe(c->aiDiscoverWakePipe);
    ClosePipe(c->aiRxWakePipe);
    if (c->hPeerPool != nullptr)
        VQXPoolOfBuffersDestroy(c->hPeerPool);
    if (c->hHostHash != nullptr)
        VQXHashDestroy(c->hHostHash);
    if (c->hLock != nullptr)
        VqxMutexDestroy(c->hLock);
    delete c;
}

void ResolveSubnets(GwLibCtx* c)
{
    c->AllowedSubnets.clear();
    for (u32 i = 0; i < c->Params.un32NbAllowedSubnets && c->Params.paun32AllowedSubnetIps != nullptr; i++)
    {
        u32 ip = c->Params.paun32AllowedSubnetIps[i];
        std::pair<u32, u32> e(0, 0);
        bool found = false;
        for (u32 k = 0; k < c->un32NbIfaces; k++)
        {
            u32 m = c->aun32IfMask[k];
            if ((c->aun32IfAddr[k] & m) == (ip & m))
            {
                e = {ip & m, m};
                found = true;
                break;
            }
        }
        if (!found)
            ErrorLog(c,
                     "VqxGwLibAllocate: Warning: Could not find local IP interface on the subnet of allowed IP '%s'. "
                     "Will ignore.\n",
                     IpText(ip).c_str());
        c->AllowedSubnets.push_back(e);
    }
}

template <size_t N>
void EndAtLastByte(char (&sz)[N])
{
    sz[N - 1] = '\0';
}

/* The instance's own names and addresses end at their field's last byte at the latest, as its
 * advertisement carries them and as received names are cut: a name that fills its field is then the
 * name a specific discovery finds, and no comparison or reading of it runs into the next field. */
void EndOwnTexts(VqxGwLibParams& p)
{
    EndAtLastByte(p.HostGwParms.szHostName);
    EndAtLastByte(p.HostGwParms.szAppName);
    EndAtLastByte(p.HostGwParms.szIpAddress0);
    EndAtLastByte(p.HostGwParms.szIpAddress1);
    EndAtLastByte(p.AdapterGwParams.szAdapterName);
    EndAtLastByte(p.AdapterGwParams.szSerialNumber);
    EndAtLastByte(p.AdapterGwParams.szIpAddress0);
    EndAtLastByte(p.AdapterGwParams.szIpAddress1);
}

const char* LocalAddrText(const GwLibCtx* c, const VqxGwLibParams& p, int gw)
{
    if (c->Params.fDetectAdapters)
        return gw == 0 ? p.AdapterGwParams.szIpAddress0 : p.AdapterGwParams.szIpAddress1;
    return gw == 0 ? p.HostGwParms.szIpAddress0 : p.HostGwParms.szIpAddress1;
}

/* Waits (lock held, released while it waits) until no path is fOpen, the receive thread that closes them has
 * ended, or un32Ms passed: woken as the receive thread closes each; bounded on the system's clock (the library's
 * may be a test's, standing still). False when it stopped for the time only. */
template <class F> bool WaitLinksClosed(GwLibCtx* c, F fOpen, u32 un32Ms)
{
    const auto AnyOpen = [&] {
        for (Peer* p : Peers(c))
            if (fOpen(p->Gw[0]) || fOpen(p->Gw[1]))
                return true;
        return false;
    };
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(un32Ms);
    const ThreadRec& rx = c->Threads[kThRx];
    WakeRx(c);
    for (auto t = Clock::now(); t < end && AnyOpen() && rx.fCreated && rx.fDone.load() == 0; t = Clock::now())
    {
        LockRelease rl(c);
        c->LinkClosedEvent.Wait(u32(std::chrono::ceil<std::chrono::milliseconds>(end - t).count()));
    }
    return !AnyOpen() || !rx.fCreated || rx.fDone.load() != 0;
}

/* What the links being ended still have to write, and how many have been written out: a change is progress. */
std::pair<u64, u32> FinishProgress(GwLibCtx* c)
{
    std::pair<u64, u32> r{0, 0};
    for (Peer* p : Peers(c))
        for (const PathCtx& g : p->Gw)
            if (g.fFinish && g.iRxSocket >= 0)
            {
                r.first += g.un64Pending + g.un32CoalFill;
                r.second += g.fWriteShut;
            }
    return r;
}

/* The links the instance still has when it is destroyed are ended as a peer expects it (kFinishLinksMs past the
 * last progress of their writing, kFinishLinksMaxMs at most), not merely closed: a socket closed with bytes unread is reset, and a reset throws away what the peer had not
 * read yet of what was sent, and what still waited in the transmit queue would be dropped. The receive thread
 * writes out what is queued, shuts the write side down (the peer reads all of it, then the end of the stream) and
 * reads on until the peer closes its end. A link whose two directions are separate sockets (an older peer's) is
 * closed as before. Under the lock, no link being made meanwhile. */
void FinishLinks(GwLibCtx* c)
{
    bool fAny = false;
    for (Peer* p : Peers(c))
        for (PathCtx& g : p->Gw)
            if (g.iRxSocket >= 0 && g.iRxSocket == g.iTxSocket && !g.fForceCloseConnectionRx &&
                !g.fForceCloseConnectionTx)
                fAny = g.fFinish = true;
    if (!fAny)
        return;
    c->fFinishingLinks = true;
    /* A peer slow to take a large queue (a loaded machine) is waited for while the writing goes on; one that takes
     * nothing, or does not close its end once all is written, for kFinishLinksMs past the last progress, looked at
     * every kFinishLookMs (the write side's shutdown, done at once for a short queue, is progress too). */
    using Clock = std::chrono::steady_clock;
    const Clock::time_point tStart = Clock::now(), tCap = tStart + std::chrono::milliseconds(kFinishLinksMaxMs);
    Clock::time_point tProgress = tStart;
    for (auto last = FinishProgress(c);;)
    {
        const Clock::time_point tEnd = std::min(tProgress + std::chrono::milliseconds(kFinishLinksMs), tCap);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(tEnd - Clock::now()).count();
        if (left <= 0 || WaitLinksClosed(c, [](const PathCtx& g) { return g.fFinish && g.iRxSocket >= 0; },
                                         u32(std::min<long long>(left, kFinishLookMs))))
            break;
        if (const auto now = FinishProgress(c); now != last)
        {
            last = now;
            tProgress = Clock::now();
        }
    }
    const auto un32Waited = u32(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - tStart).count());
    for (Peer* p : Peers(c))
        for (int gw = 0; gw < 2; gw++)
            if (p->Gw[gw].fFinish && p->Gw[gw].iRxSocket >= 0)
                Trace(c, 4, "VqxGwLibDestroy %s:gw%d : not closed by the peer within %u ms (%s), closed", p->sName.c_str(),
                      gw, unsigned(un32Waited), p->Gw[gw].fWriteShut ? "all written" : "not all written");
    c->fFinishingLinks = false;
}

} // namespace

extern "C" {

VQX_RESULT VqxGwLibAllocate(const VqxGwLibParams* pParams, VqxGwLibContext* phCtx)
{
    /* Errors are only ever reported through the error callback: it is required. */
    if (pParams == nullptr || phCtx == nullptr || pParams->pFctErrorLog == nullptr)
        return VQX_RESULT_NULL_PARAM;
    GwLibCtx* c = new (std::nothrow) GwLibCtx();
    if (c == nullptr)
    {
        fprintf(stderr, "VqxGwLibAllocate: %s\n", "Can't allocate gateway library context.");
        return VQX_RESULT_OUT_OF_MEMORY;
    }
    for (int& s : c->aiBcastSocket)
        s = -1;
    c->RxEvent.SetNow();
    c->Params = *pParams;
    EndOwnTexts(c->Params);
    c->un32LocalGw[0] = IpFromText(LocalAddrText(c, c->Params, 0));
    c->un32LocalGw[1] = IpFromText(LocalAddrText(c, c->Params, 1));
    RefreshIfaces(c);
    ResolveSubnets(c);
    ResolveExtraAddresses(c);
    c->fExternalLock = pParams->pFctLockEnter != nullptr && pParams->pFctLockLeave != nullptr;
    const char* err = nullptr;
    VQX_RESULT r = VQX_RESULT_OK;
    if (!c->fExternalLock && VQX_RESULT_FAILED(VqxMutexCreate(&c->hLock)))
    {
        fprintf(stderr, "VqxGwLibAllocate: %s\n", "Can't allocate gateway library context.");
        delete c;
        return VQX_RESULT_OUT_OF_MEMORY;
    }
    c->pRxBuf.reset(new (std::nothrow) u8[kRxChunk]);
    c->pPeerEvent.reset(new (std::nothrow) GwEvent());
    Lock(c);
    /* Heap mode: a record's memory is taken as it is first used, so that an instance pays for the peers it
     * met, not for its limit. */
    c->hPeerPool = VQXPoolOfBuffersCreatePrivate(MaxPeers(c), sizeof(Peer), PeerKey, nullptr, 0,
                                                 VQX_POOL_KEY_TYPE_INTEGER, __FILE__, __LINE__, 1);
    if (!c->Params.fDetectAdapters)
        c->hHostHash = VQXHashCreateWithKeyInternal(1024, "gwlib host peers", 0);
    if (!c->pRxBuf || !c->pPeerEvent || c->hPeerPool == nullptr)
    {
        err = "Could not create pool of peer contexts";
        r = VQX_RESULT_OUT_OF_MEMORY;
    }
    else if (!c->Params.fDetectAdapters && c->hHostHash == nullptr)
    {
        err = "Could not create hash of host-peer mapping";
        r = VQX_RESULT_OUT_OF_MEMORY;
    }
    else
    {
        r = SocketsCreate(c);
        if (VQX_RESULT_FAILED(r))
            err = "Failed to allocate the discover sockets";
    }
    if (err != nullptr)
    {
        /* A socket's failure names its cause where it happened: this line then only traces where it stopped. */
        if (r == VQX_RESULT_OUT_OF_MEMORY)
            ErrorLog(c, "VqxGwLibAllocate: %s\n", err);
        else
            Trace(c, 4, "VqxGwLibAllocate: %s", err);
        Unlock(c);
        FreeContext(c);
        return r;
    }
    Trace(c, 9, "VqxGwLibAllocate: Done...");
    Unlock(c);
    *phCtx = reinterpret_cast<VqxGwLibContext>(c);
    return VQX_RESULT_OK;
}

VQX_RESULT VqxGwLibSetParam(VqxGwLibContext hCtx, const VqxGwLibParams* pParams)
{
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(hCtx);
    if (c == nullptr || pParams == nullptr)
        return VQX_RESULT_NULL_PARAM;
    const VqxGwLibParams& o = c->Params;
    VqxGwLibParams nEnded = *pParams; /* compared and taken as the stored parameters were */
    EndOwnTexts(nEnded);
    const VqxGwLibParams& n = nEnded;
    struct Fixed
    {
        bool fDiffers;
        const char* pszText;
    } const aFixed[] = {
        {o.un32GwDiscoveryId != n.un32GwDiscoveryId, "un32GwDiscoveryId cannot be modified"},
        {o.un32GwDiscoverySpecificId != n.un32GwDiscoverySpecificId, "un32GwDiscoverySpecificId cannot be modified"},
        {o.un32GwPollId != n.un32GwPollId, "un32GwPollId cannot be modified"},
        {o.un32GwReplyId != n.un32GwReplyId, "un32GwReplyId cannot be modified"},
        {o.un64PollHostCtxId != n.un64PollHostCtxId, "un64PollHostCtxId cannot be modified"},
        {o.fUseSeparatePollSocket != n.fUseSeparatePollSocket, "fUseSeparatePollSocket cannot be modified"},
        {o.fUseTCPNagle != n.fUseTCPNagle, "fUseTCPNagle cannot be modified"},
        {o.un8PeerHandlesBase != n.un8PeerHandlesBase, "un8PeerHandlesBase cannot be modified"},
        {o.fIsGw0 != n.fIsGw0, "fIsGw0 cannot be modified"},
        {o.fIsGw1 != n.fIsGw1, "fIsGw1 cannot be modified"},
        {o.fWaitConnections != n.fWaitConnections, "fWaitConnections cannot be modified"},
        {o.fDetectAdapters != n.fDetectAdapters, "fDetectAdapters cannot be modified"},
    };
    Lock(c);
    for (const Fixed& f : aFixed)
        if (f.fDiffers)
        {
            ErrorLog(c, "VqxGwLibSetParam: %s\n", f.pszText);
            Unlock(c);
            return VQX_RESULT_INVALID_PARAM;
        }
    /* The information block must stay, but an empty address text may be set once. */
    const bool fAda = o.fDetectAdapters != 0;
    const char* blockName = fAda ? "AdapterGwParams" : "HostGwParms";
    const char* oldIp[2] = {LocalAddrText(c, o, 0), LocalAddrText(c, o, 1)};
    char newIp[2][64];
    for (int gw = 0; gw < 2; gw++)
        std::memcpy(newIp[gw], LocalAddrText(c, n, gw), 64);
    bool fBlockDiffers;
    if (fAda)
    {
        VQX_GW_ADAPTER_INFO a = o.AdapterGwParams, b = n.AdapterGwParams;
        std::memset(a.szIpAddress0, 0, 64), std::memset(a.szIpAddress1, 0, 64);
        std::memset(b.szIpAddress0, 0, 64), std::memset(b.szIpAddress1, 0, 64);
        fBlockDiffers = std::memcmp(&a, &b, sizeof(a)) != 0;
    }
    else
    {
        VQX_GW_HOST_INFO a = o.HostGwParms, b = n.HostGwParms;
        std::memset(a.szIpAddress0, 0, 64), std::memset(a.szIpAddress1, 0, 64);
        std::memset(b.szIpAddress0, 0, 64), std::memset(b.szIpAddress1, 0, 64);
        fBlockDiffers = std::memcmp(&a, &b, sizeof(a)) != 0;
    }
    if (fBlockDiffers)
    {
        ErrorLog(c, "VqxGwLibSetParam: %s cannot be modified\n", blockName);
        Unlock(c);
        return VQX_RESULT_INVALID_PARAM;
    }
    for (int gw = 0; gw < 2; gw++)
        if (oldIp[gw][0] != '\0' && std::strcmp(oldIp[gw], newIp[gw]) != 0)
        {
            ErrorLog(c, "VqxGwLibSetParam: %s.szIpAddress%d cannot be modified\n", blockName, gw);
            Unlock(c);
            return VQX_RESULT_INVALID_PARAM;
        }
    bool fChanged = std::memcmp(o.aun16GwPorts, n.aun16GwPorts, sizeof(o.aun16GwPorts)) != 0 ||
                    o.un32NbExtraGwAddr != n.un32NbExtraGwAddr || o.paExtraGwAddr != n.paExtraGwAddr ||
                    o.fDisableAutoDiscovery != n.fDisableAutoDiscovery ||
                    std::memcmp(&o.RedundancyParams, &n.RedundancyParams, sizeof(o.RedundancyParams)) != 0;
    if (!fChanged && n.paExtraGwAddr != nullptr && o.paExtraGwAddr == n.paExtraGwAddr)
        fChanged = true; /* the caller may have changed the array in place */
    std::memcpy(c->Params.aun16GwPorts, n.aun16GwPorts, sizeof(n.aun16GwPorts));
    c->Params.un32NbExtraGwAddr = n.un32NbExtraGwAddr;
    c->Params.paExtraGwAddr = n.paExtraGwAddr;
    c->Params.fDisableAutoDiscovery = n.fDisableAutoDiscovery;
    c->Params.RedundancyParams = n.RedundancyParams;
    ResolveExtraAddresses(c);
    for (int gw = 0; gw < 2; gw++)
    {
        if (oldIp[gw][0] != '\0' || newIp[gw][0] == '\0')
            continue;
        char* dst = const_cast<char*>(LocalAddrText(c, c->Params, gw));
        std::memcpy(dst, newIp[gw], 64);
        c->un32LocalGw[gw] = IpFromText(dst);
        BuildAdvertisement(c);
        if (c->Params.fUseSeparatePollSocket && UsesGw(c, gw) && c->aiPollSocket[gw] < 0)
        {
            OpenPollSocket(c, gw);
            fChanged = true;
        }
    }
    if (fChanged)
    {
        c->afRediscover[0] = c->afRediscover[1] = true;
        WakePipe(c->aiDiscoverWakePipe[1]);
    }
    Unlock(c);
    return VQX_RESULT_OK;
}

VQX_RESULT VqxGwLibEnable(VqxGwLibContext hCtx)
{
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(hCtx);
    if (c == nullptr)
        return VQX_RESULT_NULL_PARAM;
    Lock(c);
    if (c->fEnabled)
    {
        Trace(c, 8, "VqxGwLibEnable: Re-enabling...");
        c->fDisabled = 0;
        Unlock(c);
        return VQX_RESULT_OK;
    }
    c->fEnabled = 1;
    c->fDisabled = 0;
    /* In this order; a failure leaves the threads already started running. */
    struct Start
    {
        int idx;
        const char* pszCreating;
        const char* pszFailure;
    } const aStart[] = {
        {kThDiscover, "VqxGwLibEnable: Creating discover thread...", "Failed to launch the discover thread"},
        {kThAccept, "VqxGwLibEnable: Creating accept thread...", "Failed to launch the accept thread"},
        {kThRx, nullptr, "Failed to launch the Rx thread"},
        {kThConnect, nullptr, "Failed to launch the connect thread"},
    };
    for (const Start& st : aStart)
    {
        if (st.idx == kThAccept && !c->Params.fWaitConnections)
            continue;
        if (st.pszCreating != nullptr)
            Trace(c, 4, "%s", st.pszCreating);
        VQX_RESULT r = CreateThread(c, st.idx);
        if (VQX_RESULT_FAILED(r))
        {
            ErrorLog(c, "VqxGwLibEnable: %s\n", st.pszFailure);
            Unlock(c);
            return r;
        }
    }
    Unlock(c);
    return VQX_RESULT_OK;
}

VQX_RESULT VqxGwLibDisable(VqxGwLibContext hCtx)
{
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(hCtx);
    if (c == nullptr)
        return VQX_RESULT_NULL_PARAM;
    Lock(c);
    Trace(c, 8, "VqxGwLibDisable: Disabling...");
    c->fDisabled = 1;
    Unlock(c);
    return VQX_RESULT_OK;
}

VQX_RESULT VqxGwLibDestroy(VqxGwLibContext hCtx)
{
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(hCtx);
    if (c == nullptr)
        return VQX_RESULT_NULL_PARAM;
    Lock(c);
    Trace(c, 9, "VqxGwLibDestroy: Destroying gwlib context...");
    /* No new link from here on (nor a keep-alive's close): the links there are end first. */
    c->Threads[kThDiscover].fStop = 1;
    c->Threads[kThAccept].fStop = 1;
    WakePipe(c->aiAcceptWakePipe[1]);
    WakePipe(c->aiDiscoverWakePipe[1]);
    StopThread(c, kThDiscover);
    StopThread(c, kThAccept);
    FinishLinks(c);
    c->fDestroying = 1;
    WakePipe(c->aiRxWakePipe[1]);
    CloseFd(c->aiPollSocket[0]);
    CloseFd(c->aiPollSocket[1]);
    CloseFd(c->iAcceptSocket);
    PortSocketsRelease(c);
    for (Peer* pp : Peers(c))
        if (pp)
            for (int gw = 0; gw < 2; gw++)
            {
                pp->Gw[gw].fForceCloseConnectionRx = 1;
                /* Only an open transmit path is closed (the flag on a closed one reads as a fault). */
                if (pp->Gw[gw].iTxSocket >= 0)
                    pp->Gw[gw].fForceCloseConnectionTx = 1;
            }
    SetPeerEvent(c);
    while (Peer* pp = FirstPeer(c))
        DestroyPeer(c, pp);
    c->Threads[kThRx].fStop = 1;
    c->Threads[kThConnect].fStop = 1;
    SetPeerEvent(c);
    StopThread(c, kThConnect);
    EventForget(c, c->pPeerEvent.get());
    WakeRx(c);
    StopThread(c, kThRx);
    EventForget(c, &c->RxEvent);
    EventForget(c, &c->ConnectEvent);
    Unlock(c);
    FreeContext(c);
    return VQX_RESULT_OK;
}

VQX_RESULT VqxGwLibCloseLinks(VqxGwLibContext hCtx)
{
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(hCtx);
    if (c == nullptr)
        return VQX_RESULT_NULL_PARAM;
    Lock(c);
    c->fClosingLinks = true;
    /* The receive thread closes them, as it reads them: the parsers are its own. */
    for (Peer* p : Peers(c))
        for (int gw = 0; gw < 2; gw++)
        {
            PathCtx& g = p->Gw[gw];
            if (g.iRxSocket < 0)
                continue;
            Trace(c, 4, "VqxGwLibCloseLinks %s:gw%d : closing, what its TCP took read first", p->sName.c_str(), gw);
            g.fDrainOnClose = true;
            g.fForceCloseConnectionRx = 1;
            if (g.un32CloseReason == 0)
                g.un32CloseReason = VQX_GW_CLOSE_REQUESTED;
        }
    const auto Open = [](const PathCtx& g) { return g.iRxSocket >= 0 && g.fForceCloseConnectionRx; };
    WaitLinksClosed(c, Open, kCloseLinksMs);
    /* A link left open keeps its marks: the receive thread still reads and
     * closes it when it comes back, unless the instance is destroyed first. */
    VQX_RESULT r = VQX_RESULT_OK;
    for (Peer* p : Peers(c))
        for (int gw = 0; gw < 2; gw++)
            if (Open(p->Gw[gw]))
            {
                ErrorLog(c, "VqxGwLibCloseLinks %s:gw%d : still open after %u ms, %u byte(s) from it unread\n",
                         p->sName.c_str(), gw, unsigned(kCloseLinksMs), unsigned(UnreadBytes(p->Gw[gw])));
                r = VQX_RESULT_TIMEOUT;
            }
    c->fClosingLinks = false;
    Unlock(c);
    return r;
}

VQX_RESULT VqxGwLibPoll(VqxGwLibContext hCtx)
{
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(hCtx);
    if (c == nullptr)
        return VQX_RESULT_NULL_PARAM;
    u32 n = 0;
    VQXGetIpInterfaces(&n, nullptr, nullptr, nullptr);
    Lock(c);
    Unlock(c);
    return VQX_RESULT_OK;
}

VQX_RESULT VqxGwLibForceDiscover(VqxGwLibContext hCtx)
{
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(hCtx);
    if (c == nullptr)
        return VQX_RESULT_NULL_PARAM;
    Lock(c);
    VQX_RESULT r = DiscoveryRound(c, 1, true);
    Unlock(c);
    return r;
}

void VqxGwLibEventSetNow(void* pEvent)
{
    if (pEvent != nullptr)
        static_cast<GwEvent*>(pEvent)->SetNow();
}

} // extern "C"
