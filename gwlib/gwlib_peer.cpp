/*
 * gwlib_peer.cpp - peers and their TCP links: peer records and handles,
 * creation and update from advertisements and handshakes, the connect
 * thread ("gwlib_connect") that opens and closes transmit links and reports
 * path up/down, the accept thread ("gwlib_accept") with its handshake and
 * refusal rules, and the per-peer public operations.
 */
#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "gwlib_internal.h"

namespace vqxgw
{

namespace
{

constexpr u32 kLoopback = 0x0100007Fu; /* 127.0.0.1 in network order */
/* Peers are built in place in the pool's 8-byte aligned records. */
static_assert(alignof(Peer) <= 8);

void CloseFd(int& fd)
{
    if (fd >= 0)
    {
        close(fd);
        fd = -1;
    }
}

bool ThreadAlive(GwLibCtx* c, int idx)
{
    return c->Threads[idx].fCreated && c->Threads[idx].fDone.load() == 0;
}

void SetPathAddresses(GwLibCtx* c, Peer* p)
{
    (void)c;
    char* t0 = p->fIsAdapter ? p->Adapter.Info.szIpAddress0 : p->Host.Info.szIpAddress0;
    char* t1 = p->fIsAdapter ? p->Adapter.Info.szIpAddress1 : p->Host.Info.szIpAddress1;
    p->Gw[0].pszAddr = t0;
    p->Gw[1].pszAddr = t1;
    p->Gw[0].un32Addr = IpFromText(t0);
    p->Gw[1].un32Addr = IpFromText(t1);
}

/* A peer on this machine is reached through 127.0.0.1 on gw0 only. A board
 * is on this machine when one of its addresses is a local interface's; a
 * host also when it names 127.0.0.1 (a board advertising 127.0.0.1 on gw0
 * keeps its gw1 address). */
bool MakeLocal(GwLibCtx* c, Peer* p)
{
    char* t0 = p->fIsAdapter ? p->Adapter.Info.szIpAddress0 : p->Host.Info.szIpAddress0;
    char* t1 = p->fIsAdapter ? p->Adapter.Info.szIpAddress1 : p->Host.Info.szIpAddress1;
    const bool fLoopbackText =
        !p->fIsAdapter && (std::strcmp(t0, "127.0.0.1") == 0 || std::strcmp(t1, "127.0.0.1") == 0);
    bool fLocal = fLoopbackText || IsLocalAddress(c, IpFromText(t0)) || IsLocalAddress(c, IpFromText(t1));
    if (fLocal)
    {
        std::memset(t0, 0, 64);
        std::strcpy(t0, "127.0.0.1");
        std::memset(t1, 0, 64);
    }
    return fLocal;
}

u32 SerialNumber(const char* psz)
{
    /* The first two characters count as "00"; the rest is read as decimal. */
    char sz[130] = "00";
    if (std::strlen(psz) >= 2)
        std::strncat(sz, psz + 2, sizeof(sz) - 3);
    return u32(std::strtoul(sz, nullptr, 10));
}

void Attribute(GwLibCtx* c, Peer* p, u32 addr, u16 port)
{
    const u32 now = Now();
    if (p->Gw[0].un32Addr == 0 && p->Gw[1].un32Addr == 0 && !p->fIsAdapter)
    {
        p->Gw[0].tLastSeen = now;
        p->Gw[0].un16UdpPort = port;
        std::strncpy(p->Host.Info.szIpAddress0, IpText(addr).c_str(), 63);
        SetPathAddresses(c, p);
    }
    else
    {
        int gw = addr == p->Gw[0].un32Addr ? 0 : (addr == p->Gw[1].un32Addr ? 1 : -1);
        if (gw >= 0)
        {
            p->Gw[gw].tLastSeen = now;
            if (port != 0)
                p->Gw[gw].un16UdpPort = port;
            if (p->Gw[gw].iTxSocket < 0)
                SetPeerEvent(c);
        }
        else if (!p->fIsAdapter && addr != 0)
        {
            const char* kind = p->fIsAdapter ? "adapter" : "host";
            if (p->Gw[1].un32Addr == 0)
                ErrorLog(c,
                         "ERROR. Probably bad IP config on %s %s (%u).\n       Received packet from IP %s, but host lib "
                         "configured to use %s (%s,0x%08X)\n       Please validate and fix IP configuration.\n",
                         kind, p->sName.c_str(), p->hPeer, IpText(addr).c_str(), "gw0", p->Gw[0].pszAddr,
                         ntohl(p->Gw[0].un32Addr));
            else
                ErrorLog(c,
                         "ERROR. Probably bad IP config on %s %s (%u).\n       Received packet from IP %s, but host lib "
                         "configured to use %s (%s,0x%08X) or %s (%s,0x%08X)\n       Please validate and fix IP "
                         "configuration.\n",
                         kind, p->sName.c_str(), p->hPeer, IpText(addr).c_str(), "gw0", p->Gw[0].pszAddr,
                         ntohl(p->Gw[0].un32Addr), "gw1", p->Gw[1].pszAddr, ntohl(p->Gw[1].un32Addr));
        }
    }
    if (p->Gw[0].iTxSocket < 0)
        p->tLastConnectAttempt = 0;
}

void ReportChanges(GwLibCtx* c, Peer* p)
{
    bool up[2];
    for (int gw = 0; gw < 2; gw++)
    {
        up[gw] = p->Gw[gw].iRxSocket >= 0 && p->Gw[gw].iTxSocket >= 0;
        if (!up[gw])
            DropPending(c, p, gw);
    }
    for (int gw = 0; gw < 2; gw++)
    {
        if (up[gw] == p->Gw[gw].fReportedUp)
            continue;
        const bool prev1 = p->Gw[1].fReportedUp;
        p->Gw[gw].fReportedUp = up[gw];
        const u32 reason = p->Gw[gw].un32CloseReason;
        const u32 f0 = gw == 0 ? up[0] : p->Gw[0].fReportedUp;
        const u32 f1 = gw == 0 ? prev1 : up[1];
        Trace(c, 5, "VqxGwLibTxThread %s : Passing peer %s state (%s) to upper layer", p->sName.c_str(), GwName(gw),
              up[gw] ? "Connected" : "Disconnected");
        /* A path down starts the rediscovery marks when they are not running; a running mark is not pushed
         * back: under churn (a path down every few seconds) the listed addresses would never be searched
         * again, and a board started at one of them since the last round never found. */
        if (!up[gw])
        {
            const u32 now = NowNotZero();
            if (c->t10s == 0)
                c->t10s = now;
            if (c->t30s == 0)
                c->t30s = now;
        }
        if (c->Params.pFctUpDown != nullptr)
        {
            p->un32InCallback++;
            if (c->fExternalLock)
                c->Params.pFctUpDown(c->Params.pUpDownCtx, p->hPeer, p->Block(), f0, f1, up[gw] ? 0 : reason);
            else
            {
                /* Advertisements rewrite the stored block under the lock: the
                 * callback, made without it, reads a copy taken now. */
                union
                {
                    VQX_GW_ADAPTER_ADV Adapter;
                    VQX_GW_HOST_ADV Host;
                } block;
                if (p->fIsAdapter)
                    block.Adapter = p->Adapter;
                else
                    block.Host = p->Host;
                LockRelease rl(c);
                c->Params.pFctUpDown(c->Params.pUpDownCtx, p->hPeer, &block, f0, f1, up[gw] ? 0 : reason);
            }
            p->un32InCallback--;
        }
        p->fReported = true;
        p->fSomeUp = p->Gw[0].fReportedUp || p->Gw[1].fReportedUp;
        if (p->fIsAdapter)
            p->Adapter.un8NewInfo = 0;
        else
            p->Host.un8NewInfo = 0;
        /* The lock was released for the callback: a reason set meanwhile
         * belongs to the next report. */
        if (!up[gw] && p->Gw[gw].un32CloseReason == reason)
            p->Gw[gw].un32CloseReason = 0;
        WakeRx(c);
    }
}

/* What this side gave the path that its peer has not taken: queued, in the coalescing buffer, or in the
 * socket's send queue (written, not acknowledged by the peer's TCP). A queue that cannot be read counts. */
u64 UntakenBytes(const PathCtx& g)
{
    int n = 0;
    const u64 un64Socket = ioctl(g.iTxSocket, SIOCOUTQ, &n) == 0 && n >= 0 ? u64(n) : 1;
    return un64Socket + g.un64Pending + g.un32CoalFill;
}

void CloseTx(GwLibCtx* c, Peer* p, int gw)
{
    PathCtx& g = p->Gw[gw];
    if (g.iTxSocket < 0)
        return;
    const bool fShared = p->un32Mode != kModeSeparate && g.iRxSocket == g.iTxSocket;
    if (!fShared || g.iRxSocket < 0)
    {
        Trace(c, 4, "VqxGwLibTxThread %s : Closing %s Tx socket", p->sName.c_str(), GwName(gw));
        g.un64UntakenAtClose = UntakenBytes(g);
        CloseFd(g.iTxSocket);
        if (fShared)
            g.iRxSocket = -1;
        SetPeerEvent(c);
        const u32 now = Now();
        g.tLastTxClose = now;
        g.tDownSince = now;
        g.tLastSeen = 0;
        g.fForceCloseConnectionTx = 0;
        ForgetKeepAlive(g);
        g.fPollPending = g.fReplyPending = false;
        p->un8PathInUse = kPathUndecided;
        p->un8SentCount = 0;
        FreeCoalesce(g);
        if (p->un32Mode == kModeSeparate && g.iRxSocket >= 0)
            g.fForceCloseConnectionRx = 1;
        WakeRx(c);
    }
    else
    {
        g.fForceCloseConnectionRx = 1;
        WakeRx(c);
    }
}

int Connect(GwLibCtx* c, Peer* p, int gw, u32 addr, u32 port, u16 sockBuf)
{
    char szWho[128];
    snprintf(szWho, sizeof(szWho), "VqxGwLibConnectTo '%s:%d'", IpText(addr).c_str(), int(port));
    char sz[192];
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
    {
        snprintf(sz, sizeof(sz), "%s: socket() failed", szWho);
        ErrnoLog(c, sz);
        return -1;
    }
    int on = 1;
    if (!c->Params.fUseTCPNagle && setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0)
    {
        snprintf(sz, sizeof(sz), "%s: setsockopt(TCP_NODELAY) failed", szWho);
        ErrnoLog(c, sz);
    }
    int size = sockBuf;
    if (setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)) != 0)
    {
        snprintf(sz, sizeof(sz), "%s: setsockopt(SO_SNDBUF) failed", szWho);
        ErrnoLog(c, sz);
    }
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) != 0)
    {
        snprintf(sz, sizeof(sz), "%s: setsockopt(SO_RCVBUF) failed", szWho);
        ErrnoLog(c, sz);
    }
    ioctl(s, FIONBIO, &on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = addr;
    a.sin_port = htons(u16(port));
    const u32 t0 = Now();
    bool fOk = false;
    for (;;)
    {
        int r = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        if (r == 0 || errno == EISCONN)
        {
            fOk = true;
            break;
        }
        if (errno != EINPROGRESS && errno != EALREADY && errno != EINTR && errno != EAGAIN)
            break;
        if (Now() - t0 > 1000u || c->fDestroying)
        {
            ErrorLog(c, "%s: connect timed-out", szWho);
            break;
        }
        usleep(10000);
    }
    if (!fOk)
    {
        close(s);
        return -1;
    }
    (void)gw;
    (void)p;
    return s;
}

} // namespace

/* ---- lookups ---- */

Peer* FindPeer(GwLibCtx* c, u32 hPeer)
{
    return static_cast<Peer*>(VQXPoolOfBuffersFind(c->hPeerPool, hPeer));
}

Peer* FindLivePeer(GwLibCtx* c, u32 hPeer)
{
    Peer* p = FindPeer(c, hPeer);
    return p != nullptr && !p->fDying ? p : nullptr;
}

namespace
{
bool HandleTaken(GwLibCtx* c, u32 h)
{
    return FindPeer(c, h) != nullptr ||
           (c->hHostHash != nullptr && VQXHashFind(c->hHostHash, h, nullptr) == VQX_RESULT_OK);
}
} // namespace

Peer* FindHostPeer(GwLibCtx* c, u64 uid)
{
    for (Peer* pp : Peers(c))
        if (pp && !pp->fIsAdapter && !pp->fDying && pp->Host.Info.un64UniqueId == uid)
            return pp;
    return nullptr;
}

Peer* FindAdapterPeer(GwLibCtx* c, const char* serial)
{
    for (Peer* pp : Peers(c))
        if (pp && pp->fIsAdapter && !pp->fDying && std::strcmp(pp->Adapter.Info.szSerialNumber, serial) == 0)
            return pp;
    return nullptr;
}

void RecomputeSmallestPollDelay(GwLibCtx* c)
{
    u32 m = 0;
    for (Peer* pp : Peers(c))
        if (pp && pp->Red.un32PollDelayMs > 99 && (m == 0 || pp->Red.un32PollDelayMs < m))
            m = pp->Red.un32PollDelayMs;
    c->un32SmallestPollDelay = m;
}

void RequestClose(GwLibCtx* c, Peer* p, int gw, u32 reason)
{
    PathCtx& g = p->Gw[gw];
    if (g.iRxSocket >= 0)
        g.fForceCloseConnectionRx = 1;
    if (g.iTxSocket >= 0)
        g.fForceCloseConnectionTx = 1;
    if (g.un32CloseReason == 0)
        g.un32CloseReason = reason;
    WakeRx(c);
    SetPeerEvent(c);
}

void RequestCloseRead(GwLibCtx* c, Peer* p, int gw, u32 reason)
{
    RequestClose(c, p, gw, reason);
    if (p->Gw[gw].iRxSocket >= 0)
        p->Gw[gw].fDrainOnClose = true;
}

void FreshStart(Peer* p)
{
    for (auto& g : p->Gw)
    {
        ForgetKeepAlive(g);
        g.tLastUdpPoll = 0;
        g.un32CurrentBytesInBuffers = 0;
    }
    p->un8PathInUse = kPathUndecided;
    p->un8SentCount = 0;
    RedRingReset(p);
}

VQX_RESULT UpdatePeer(GwLibCtx* c, Peer* p, const void* block, u32 addr, u16 port)
{
    RefreshIfaces(c);
    if (p->fIsAdapter)
    {
        const u8 prevNew = p->Adapter.un8NewInfo;
        p->Adapter = *static_cast<const VQX_GW_ADAPTER_ADV*>(block);
        if (p->Adapter.un8NewInfo == 0)
            p->Adapter.un8NewInfo = prevNew;
        p->sName = p->Adapter.Info.szAdapterName;
        if (MakeLocal(c, p))
            addr = kLoopback;
        SetPathAddresses(c, p);
        p->un32TcpPort = p->Adapter.un32TcpPort;
        p->un16SockBuf = 65535;
        p->aun8UseGw[0] = p->Adapter.Info.aun8Gw0Info[3];
        p->aun8UseGw[1] = p->Adapter.Info.aun8Gw1Info[3];
        p->fUdpPolling = p->fTcpPolling = p->Build() > 799;
        const u32 prev = p->un32Mode;
        if (!c->Params.fWaitConnections)
            p->un32Mode = kModeOut;
        else if (p->Build() < 0x540002u)
        {
            if (prev == kModeUndecided)
                Trace(c, 5, "Remote '%s' DOES NOT support combined sockets mode\n", p->sName.c_str());
            p->un32Mode = kModeSeparate;
        }
        else
        {
            u32 theirs = SerialNumber(p->Adapter.Info.szSerialNumber);
            u32 ours = SerialNumber(c->Params.AdapterGwParams.szSerialNumber);
            p->un32Mode = theirs < ours ? kModeOut : kModeIn;
            if (prev == kModeUndecided)
            {
                if (p->un32Mode == kModeOut)
                    Trace(c, 5, "Remote '%s' CnxMode is OUT (0x%08X > 0x%08X)\n", p->sName.c_str(), ours, theirs);
                else
                    Trace(c, 5, "Remote '%s' CnxMode is IN (0x%08X < 0x%08X)\n", p->sName.c_str(), ours, theirs);
            }
        }
    }
    else
    {
        if (p->fAddrLearned && addr != p->Gw[0].un32Addr && addr != 0)
        {
            Trace(c, 3, "Ignoring packets from host %s.%s, from IP 0x%08X (this gw is IP 0x%08X)\n",
                  p->Host.Info.szHostName, p->Host.Info.szAppName, ntohl(addr), ntohl(p->Gw[0].un32Addr));
            return VQX_RESULT_OK;
        }
        const u8 prevNew = p->Host.un8NewInfo;
        const bool fLearned = p->fAddrLearned;
        char szLearned[64];
        std::memcpy(szLearned, p->Host.Info.szIpAddress0, 64);
        p->Host = *static_cast<const VQX_GW_HOST_ADV*>(block);
        if (p->Host.un8NewInfo == 0)
            p->Host.un8NewInfo = prevNew;
        p->sName = std::string(p->Host.Info.szHostName) + "." + p->Host.Info.szAppName;
        if (p->Host.Info.szIpAddress0[0] == '\0' && p->Host.Info.szIpAddress1[0] == '\0')
        {
            if (fLearned)
                std::memcpy(p->Host.Info.szIpAddress0, szLearned, 64);
            else if (addr != 0)
                std::strncpy(p->Host.Info.szIpAddress0, IpText(addr).c_str(), 63);
            p->fAddrLearned = p->Host.Info.szIpAddress0[0] != '\0';
        }
        if (MakeLocal(c, p))
            addr = kLoopback;
        SetPathAddresses(c, p);
        p->un32TcpPort = p->Host.un32TcpPort;
        p->un16SockBuf = 65535;
        p->aun8UseGw[0] = p->aun8UseGw[1] = 1;
        p->fUdpPolling = true;
        p->fTcpPolling = p->Build() > 799;
        const u32 prev = p->un32Mode;
        const u64 ours = c->Params.un64PollHostCtxId, theirs = p->Host.Info.un64UniqueId;
        if (p->Build() < 0x540002u)
        {
            if (prev == kModeUndecided)
                Trace(c, 5, "Remote '%s' DOES NOT supports combined sockets mode\n", p->sName.c_str());
            p->un32Mode = kModeSeparate;
        }
        else
        {
            p->un32Mode = ours <= theirs ? kModeIn : kModeOut;
            if (prev == kModeUndecided)
            {
                if (p->un32Mode == kModeIn)
                    Trace(c, 5, "Remote '%s' CnxMode is IN (0x%08X%08X < 0x%08X%08X)\n", p->sName.c_str(),
                          u32(ours >> 32), u32(ours), u32(theirs >> 32), u32(theirs));
                else
                    Trace(c, 5, "Remote '%s' CnxMode is OUT (0x%08X%08X > 0x%08X%08X)\n", p->sName.c_str(),
                          u32(ours >> 32), u32(ours), u32(theirs >> 32), u32(theirs));
            }
        }
    }
    Attribute(c, p, addr, port);
    return VQX_RESULT_OK;
}

namespace
{

/* The record of a board leaving: no link on either path nor one being made,
 * its paths reported down (or never up), no advertisement for longer than its
 * adapter-down delay, no callback in progress. Gone once its last link, too,
 * closed longer than that delay ago. */
bool AdapterLeaving(const Peer* p, u32 now)
{
    if (!p->fIsAdapter || p->fDying || p->fSomeUp || p->un32InCallback != 0)
        return false;
    const u32 delay = p->Red.un32AdapterDownDelayMs;
    for (const PathCtx& g : p->Gw)
        if (g.iRxSocket >= 0 || g.iTxSocket >= 0 || g.fConnecting || (g.tLastSeen != 0 && now - g.tLastSeen <= delay))
            return false;
    return true;
}
bool AdapterGone(const Peer* p, u32 now)
{
    return AdapterLeaving(p, now) && now - p->Gw[0].tDownSince > p->Red.un32AdapterDownDelayMs &&
           now - p->Gw[1].tDownSince > p->Red.un32AdapterDownDelayMs;
}

/* How long ago the board of a gone record was last seen or linked. */
u32 GoneFor(const Peer* p, u32 now)
{
    u32 un32Ms = 0xFFFFFFFFu;
    for (const PathCtx& g : p->Gw)
        for (u32 t : {g.tLastSeen, g.tDownSince})
            if (t != 0)
                un32Ms = std::min(un32Ms, now - t);
    return un32Ms;
}

/* Gives a record of a board gone to the board of serial: pWanted (the holder
 * of its handle), or with null the one gone the longest. False when that is
 * no board gone; true once the record is freed (the lock was released meanwhile). */
bool GiveGoneRecord(GwLibCtx* c, Peer* pWanted, const char* serial)
{
    const u32 now = Now();
    Peer* pGone = pWanted;
    if (pGone == nullptr)
        for (Peer* p : Peers(c))
            if (AdapterGone(p, now) && (pGone == nullptr || GoneFor(p, now) > GoneFor(pGone, now)))
                pGone = p;
    if (pGone == nullptr || !AdapterGone(pGone, now))
        return false;
    Trace(c, 5, "VqxGwLibCreatePeer: record 0x%08X of adapter '%s', gone for %u ms, given to '%s'", pGone->hPeer,
          pGone->Adapter.Info.szSerialNumber, GoneFor(pGone, now), serial);
    DestroyPeer(c, pGone);
    return true;
}

/* The line naming a board that cannot be linked: once for the board, not at
 * each of its advertisements (again once it was linked in between). */
bool FirstRefusal(GwLibCtx* c, const char* serial)
{
    auto& v = c->RefusedAdapters;
    if (std::find(v.begin(), v.end(), serial) != v.end())
        return false;
    if (v.size() >= kMaxRefusedNamed)
        v.erase(v.begin());
    v.emplace_back(serial);
    return true;
}

} // namespace

bool SecondBoardOfSerial(GwLibCtx* c, const Peer* p, const VQX_GW_ADAPTER_ADV& adv, u32 src)
{
    bool fLinked = p->fSomeUp;
    for (const PathCtx& g : p->Gw)
        fLinked |= g.iRxSocket >= 0 || g.iTxSocket >= 0;
    /* A board on this machine is known at 127.0.0.1 and advertises from an address of its own. */
    const bool fItsAddress = src == p->Gw[0].un32Addr || src == p->Gw[1].un32Addr ||
                             (p->Gw[0].un32Addr == kLoopback && IsLocalAddress(c, src));
    const std::string strKey = std::string(adv.Info.szSerialNumber) + "@" + IpText(src);
    if (!fLinked || fItsAddress)
    {
        std::erase(c->RefusedAdapters, strKey); /* another conflict later has its line again */
        return false;
    }
    if (FirstRefusal(c, strKey.c_str()))
        ErrorLog(c, "VqxGwLibDiscoverThread: Adapter '%s' (%s) at %s not linked: the board linked at %s has that serial "
                    "number\n", adv.Info.szSerialNumber, adv.Info.szAdapterName, IpText(src).c_str(),
                 IpText(p->Gw[0].un32Addr != 0 ? p->Gw[0].un32Addr : p->Gw[1].un32Addr).c_str());
    return true;
}

namespace
{

/* The queue's key of the peer of an advertisement block. */
std::string WaitingKey(const GwLibCtx* c, const void* block)
{
    if (c->Params.fDetectAdapters)
        return static_cast<const VQX_GW_ADAPTER_ADV*>(block)->Info.szSerialNumber;
    char sz[24];
    snprintf(sz, sizeof(sz), "%016llX",
             static_cast<unsigned long long>(static_cast<const VQX_GW_HOST_ADV*>(block)->Info.un64UniqueId));
    return sz;
}

/* The name a waiting peer is listed under: a board's serial number, a host's "<host>.<application>". */
std::string WaitingName(const GwLibCtx* c, const void* block)
{
    char sz[VQX_GW_WAITING_NAME_SIZE];
    if (c->Params.fDetectAdapters)
        snprintf(sz, sizeof(sz), "%.127s", static_cast<const VQX_GW_ADAPTER_ADV*>(block)->Info.szSerialNumber);
    else
        snprintf(sz, sizeof(sz), "%.127s.%.127s", static_cast<const VQX_GW_HOST_ADV*>(block)->Info.szHostName,
                 static_cast<const VQX_GW_HOST_ADV*>(block)->Info.szAppName);
    return sz;
}

/* The peer of this block finds the queue full: listed apart (once; its entry refreshed), named on a line once a
 * second at most, those left out counted there; a later advertisement that finds room puts it in the queue. */
void NoteWaitingApart(GwLibCtx* c, const void* block, const std::string& key, u32 now)
{
    auto it = std::find_if(c->WaitingApart.begin(), c->WaitingApart.end(),
                           [&](const WaitingApartPeer& w) { return w.sKey == key; });
    if (it != c->WaitingApart.end())
    {
        it->tLastHeard = now;
        return;
    }
    std::erase_if(c->WaitingApart, [&](const WaitingApartPeer& w) { return now - w.tLastHeard > kWaitingHeardMs; });
    if (c->WaitingApart.size() < kMaxWaitingApart)
        c->WaitingApart.push_back(WaitingApartPeer{key, WaitingName(c, block), now});
    u32 un32LeftOut = 0;
    char szLeftOut[64];
    if (!c->WaitingApartLogLimit.Allow(now, un32LeftOut))
        return;
    const char* pszLeftOut = VqxLogLimitLeftOutText(un32LeftOut, szLeftOut, sizeof(szLeftOut));
    if (c->Params.fDetectAdapters)
        ErrorLog(c, "VqxGwLibCreatePeer: Adapter '%s' (%s) cannot be linked: the %u peer records are taken by boards "
                    "present and %u boards wait for one%s\n",
                 static_cast<const VQX_GW_ADAPTER_ADV*>(block)->Info.szSerialNumber,
                 static_cast<const VQX_GW_ADAPTER_ADV*>(block)->Info.szAdapterName, MaxPeers(c),
                 unsigned(c->Waiting.size()), pszLeftOut);
    else
        ErrorLog(c, "VqxGwLibCreatePeer: Host '%s.%s' cannot be linked: the %u peer records are taken by hosts present "
                    "and %u hosts wait for one%s\n",
                 static_cast<const VQX_GW_HOST_ADV*>(block)->Info.szHostName,
                 static_cast<const VQX_GW_HOST_ADV*>(block)->Info.szAppName, MaxPeers(c), unsigned(c->Waiting.size()),
                 pszLeftOut);
}

/* The peer of this block waits for a record: noted (or its entry refreshed) in arrival order, and named once,
 * save a board while another board leaves (that one's record comes at a later advertisement). Past the queue's
 * bound it is listed apart (NoteWaitingApart). */
void NoteWaiting(GwLibCtx* c, const void* block, u32 addr, u16 port)
{
    const u32 now = NowNotZero();
    const std::string key = WaitingKey(c, block);
    auto it = std::find_if(c->Waiting.begin(), c->Waiting.end(), [&](const WaitingPeer& w) { return w.sKey == key; });
    if (it == c->Waiting.end())
    {
        if (c->Waiting.size() >= kMaxWaitingPeers)
        {
            NoteWaitingApart(c, block, key, now);
            return; /* a later advertisement finds room */
        }
        it = c->Waiting.emplace(c->Waiting.end());
        it->sKey = key;
        it->tArrived = now;
        /* Named already while it waited apart. */
        it->fNamed = std::erase_if(c->WaitingApart, [&](const WaitingApartPeer& w) { return w.sKey == key; }) != 0;
    }
    if (c->Params.fDetectAdapters)
        it->Adapter = *static_cast<const VQX_GW_ADAPTER_ADV*>(block);
    else
        it->Host = *static_cast<const VQX_GW_HOST_ADV*>(block);
    it->un32Addr = addr;
    it->un16Port = port;
    it->tLastHeard = now;
    if (it->fNamed)
        return;
    if (c->Params.fDetectAdapters)
    {
        for (Peer* p : Peers(c))
            if (AdapterLeaving(p, now))
                return;
        ErrorLog(c, "VqxGwLibCreatePeer: Adapter '%s' (%s) cannot be linked: the %u peer records are taken by boards "
                    "present\n", it->Adapter.Info.szSerialNumber, it->Adapter.Info.szAdapterName, MaxPeers(c));
    }
    else
        ErrorLog(c, "VqxGwLibCreatePeer: Host '%s.%s' cannot be linked: the %u peer records are taken by hosts "
                    "present\n", it->Host.Info.szHostName, it->Host.Info.szAppName, MaxPeers(c));
    it->fNamed = true;
}

/* CreatePeer: fAdmitting for the first peer of the queue, which keeps its place when no record is free
 * (*pfNoRecord); otherwise a newcomer waits behind those already waiting. */
VQX_RESULT CreatePeerIn(GwLibCtx* c, const void* block, u32 addr, u16 port, Peer** out, bool fAdmitting,
                        bool* pfNoRecord)
{
    *out = nullptr;
    *pfNoRecord = false;
    const bool fAda = c->Params.fDetectAdapters != 0;
    const u8 base = c->Params.un8PeerHandlesBase;
    u32 h = 0;
    const char* serial = fAda ? static_cast<const VQX_GW_ADAPTER_ADV*>(block)->Info.szSerialNumber : "";
    if (fAda)
    {
        h = HandleFromName(base, serial, true);
        /* The handle of a board gone is given to the new one; a present board keeps it. */
        if (Peer* o = FindPeer(c, h))
            GiveGoneRecord(c, o, serial);
        if (Peer* o = FindPeer(c, h))
        {
            /* A board leaving gives it at a later advertisement: no line meanwhile. */
            if (!AdapterLeaving(o, Now()) && FirstRefusal(c, serial))
                ErrorLog(c, "VqxGwLibCreatePeer: Adapter handle conflict: '%s' with '%s'\n", serial,
                         o->Adapter.Info.szSerialNumber);
            return VQX_RESULT_OUT_OF_RESOURCE;
        }
    }
    else
    {
        const VQX_GW_HOST_ADV* hb = static_cast<const VQX_GW_HOST_ADV*>(block);
        if (hb->un8HostType != 0)
        {
            h = HandleFromName(base, hb->Info.szHostName, false);
            if (HandleTaken(c, h))
            {
                /* A name-made handle has no other candidate: refuse this host
                 * rather than retry the same handle forever. */
                u32 un32LeftOut = 0;
                char szLeftOut[64];
                if (c->aConflictLogLimit[1].Allow(Now(), un32LeftOut))
                    ErrorLog(c, "VqxGwLibCreatePeer: Host handle conflict: '%s.%s' (0x%08X)%s\n", hb->Info.szHostName,
                             hb->Info.szAppName, h, VqxLogLimitLeftOutText(un32LeftOut, szLeftOut, sizeof(szLeftOut)));
                return VQX_RESULT_OUT_OF_RESOURCE;
            }
        }
        else
        {
            for (u32 tries = 0; tries <= 0xFFFFu; tries++)
            {
                h = (u32(base) << 24) | (c->un32HostIndex & 0xFFFFu);
                c->un32HostIndex++;
                if (!HandleTaken(c, h) && !HandleIsReserved(h))
                    break;
            }
        }
    }
    /* Records go in arrival order: behind peers already waiting, a newcomer waits too. */
    if (!fAdmitting && !c->Waiting.empty())
    {
        NoteWaiting(c, block, addr, port);
        return VQX_RESULT_OUT_OF_RESOURCE;
    }
    void* mem = VQXPoolOfBuffersAllocPrivate(c->hPeerPool, h, __FILE__, __LINE__);
    /* Every record taken: the record of a board gone for longer than its down delay is given to the new one. */
    if (mem == nullptr && fAda && GiveGoneRecord(c, nullptr, serial) && FindPeer(c, h) == nullptr)
        mem = VQXPoolOfBuffersAllocPrivate(c->hPeerPool, h, __FILE__, __LINE__);
    if (mem == nullptr)
    {
        *pfNoRecord = true;
        if (!fAdmitting)
            NoteWaiting(c, block, addr, port);
        return VQX_RESULT_OUT_OF_RESOURCE;
    }
    if (fAda)
        Trace(c, 5, "VqxGwLibCreatePeer: (Remote 0%08X) Creating adapter %s for IP 0x%08X...", h,
              static_cast<const VQX_GW_ADAPTER_ADV*>(block)->Info.szAdapterName, ntohl(addr));
    else
        Trace(c, 5, "VqxGwLibCreatePeer: (Remote 0%08X) Creating host %s.%s for IP 0x%08X...", h,
              static_cast<const VQX_GW_HOST_ADV*>(block)->Info.szHostName,
              static_cast<const VQX_GW_HOST_ADV*>(block)->Info.szAppName, ntohl(addr));
    Peer* raw = new (mem) Peer();
    raw->Red3000.aSeq.reset(new (std::nothrow) u32[kRedRingEntries]);
    raw->Red3000.aSize8.reset(new (std::nothrow) u16[kRedRingEntries]);
    if (!raw->Red3000.aSeq || !raw->Red3000.aSize8)
    {
        raw->~Peer();
        VQXPoolOfBuffersFreePrivate(c->hPeerPool, mem, __FILE__, __LINE__);
        return VQX_RESULT_OUT_OF_MEMORY;
    }
    raw->hPeer = h;
    raw->fIsAdapter = fAda;
    const u32 now = Now();
    raw->tDiscovered = now;
    raw->Gw[0].tDownSince = raw->Gw[1].tDownSince = now;
    raw->Red = c->Params.RedundancyParams;
    if (c->hHostHash != nullptr &&
        VQX_RESULT_FAILED(VQXHashInsert(c->hHostHash, h,
                                        static_cast<const VQX_GW_HOST_ADV*>(block)->Info.un64UniqueId)))
        ErrorLog(c, "VqxGwLibCreatePeer: Failed to insert hPeer<->un64UniqueId mapping into hash table\n");
    if (fAda)
        std::erase(c->RefusedAdapters, std::string(serial));
    const std::string key = WaitingKey(c, block);
    std::erase_if(c->WaitingApart, [&](const WaitingApartPeer& w) { return w.sKey == key; });
    UpdatePeer(c, raw, block, addr, port);
    SetPeerEvent(c);
    RecomputeSmallestPollDelay(c);
    *out = raw;
    return VQX_RESULT_OK;
}

} // namespace

VQX_RESULT CreatePeer(GwLibCtx* c, const void* block, u32 addr, u16 port, Peer** out)
{
    bool fNoRecord = false;
    const VQX_RESULT r = CreatePeerIn(c, block, addr, port, out, false, &fNoRecord);
    if (r != VQX_RESULT_OUT_OF_RESOURCE || c->Waiting.empty())
        return r;
    /* It waits: a record free now goes to the first one waiting, which may be this one. */
    AdmitWaiting(c);
    const std::string key = WaitingKey(c, block);
    *out = c->Params.fDetectAdapters ? FindAdapterPeer(c, key.c_str())
                                     : FindHostPeer(c, static_cast<const VQX_GW_HOST_ADV*>(block)->Info.un64UniqueId);
    return *out != nullptr ? VQX_RESULT_OK : r;
}

void AdmitWaiting(GwLibCtx* c)
{
    if (c->fAdmitting)
        return; /* another thread gives records now (the lock released in a record given back) */
    const u32 now = Now();
    std::erase_if(c->Waiting, [&](const WaitingPeer& w) { return now - w.tLastHeard > kWaitingHeardMs; });
    c->fAdmitting = true;
    while (!c->Waiting.empty())
    {
        const WaitingPeer w = c->Waiting.front();
        Peer* p = nullptr;
        bool fNoRecord = false;
        const VQX_RESULT r = CreatePeerIn(c, c->Params.fDetectAdapters ? static_cast<const void*>(&w.Adapter) : &w.Host,
                                          w.un32Addr, w.un16Port, &p, true, &fNoRecord);
        if (fNoRecord)
            break; /* still every record taken: it keeps its place */
        /* Linked, or refused for another reason (its own line): out of the queue, wherever it is now. */
        std::erase_if(c->Waiting, [&](const WaitingPeer& o) { return o.sKey == w.sKey; });
        if (VQX_RESULT_SUCCEEDED(r))
            Trace(c, 5, "VqxGwLibCreatePeer: %s '%s' given a record after %u ms waiting",
                  c->Params.fDetectAdapters ? "adapter" : "host", p->sName.c_str(), unsigned(Now() - w.tArrived));
    }
    c->fAdmitting = false;
}

void ConflictLinesLeftOut(GwLibCtx* c)
{
    static const char* const apszKind[2] = {"Adapter", "Host"};
    for (int i = 0; i < 2; i++)
    {
        CVqxLogLimit& limit = c->aConflictLogLimit[i];
        const u32 un32LeftOut = limit.LeftOut() != 0 ? limit.TakeDue(Now()) : 0;
        if (un32LeftOut != 0)
            ErrorLog(c, "VqxGwLibCreatePeer: %s handle conflict: %u similar line(s) left out\n", apszKind[i],
                     unsigned(un32LeftOut));
    }
    CVqxLogLimit& apart = c->WaitingApartLogLimit;
    const u32 un32LeftOut = apart.LeftOut() != 0 ? apart.TakeDue(Now()) : 0;
    if (un32LeftOut != 0)
        ErrorLog(c, "VqxGwLibCreatePeer: %s cannot be linked, past the %u waiting for a record: %u similar line(s) "
                    "left out\n", c->Params.fDetectAdapters ? "Adapter" : "Host", kMaxWaitingPeers, unsigned(un32LeftOut));
}

void DestroyPeer(GwLibCtx* c, Peer* p)
{
    p->fDying = true;
    for (int gw = 0; gw < 2; gw++)
    {
        PathCtx& g = p->Gw[gw];
        if (g.iRxSocket >= 0)
            g.fForceCloseConnectionRx = 1;
        if (g.iTxSocket >= 0)
            g.fForceCloseConnectionTx = 1;
    }
    SetPeerEvent(c);
    WakeRx(c);
    /* Wait for the connect thread to close the transmit sockets (bounded:
     * what is still open is closed below) and for every thread and callback
     * to leave the peer. The latter wait has no bound: the record must not
     * be freed while a thread still uses it, and each of its users returns
     * within its own time limits or when its callback returns. */
    auto fInUse = [&] {
        return (ThreadAlive(c, kThConnect) && (p->fConnectBusy || p->Gw[0].fConnecting || p->Gw[1].fConnecting)) ||
               (ThreadAlive(c, kThRx) && p->fRxBusy) || p->un32InCallback != 0;
    };
    bool fLogged = false;
    for (int i = 0;; i++)
    {
        const bool fTxOpen = ThreadAlive(c, kThConnect) && (p->Gw[0].iTxSocket >= 0 || p->Gw[1].iTxSocket >= 0);
        if (!fInUse() && (!fTxOpen || i >= 500))
            break;
        if (i == 500 && !fLogged)
        {
            ErrorLog(c, "VqxGwLibDestroyPeer: 0x%08X (%s) still in use, waiting...\n", p->hPeer, p->sName.c_str());
            fLogged = true;
        }
        SetPeerEvent(c);
        WakeRx(c);
        SleepMs(c, 10);
    }
    u64 queued = p->Gw[0].un64Pending + p->Gw[1].un64Pending;
    if (queued != 0)
        ErrorLog(c, "VqxGwLibDestroyPeer: Bug: Peer being destroyed while data still present in TX queues (%u / %u bytes)\n",
                 u32(p->Gw[0].un64Pending), u32(p->Gw[1].un64Pending));
    for (int gw = 0; gw < 2; gw++)
    {
        PathCtx& g = p->Gw[gw];
        if (g.iTxSocket == g.iRxSocket)
            g.iTxSocket = -1;
        CloseFd(g.iRxSocket);
        CloseFd(g.iTxSocket);
        FreeCoalesce(g);
        RxDropPartial(c, p, gw);
    }
    ReleaseRing(c, p);
    Trace(c, 5, "VqxGwLibDestroyPeer: 0x%08X (%s) destroyed", p->hPeer, p->sName.c_str());
    if (c->hHostHash != nullptr)
        VQXHashRemove(c->hHostHash, p->hPeer, nullptr);
    p->~Peer();
    VQXPoolOfBuffersFreePrivate(c->hPeerPool, p, __FILE__, __LINE__);
    RecomputeSmallestPollDelay(c);
}

/* ---- connect thread ---- */

namespace
{

void ConnectPath(GwLibCtx* c, Peer* p, int gw)
{
    PathCtx& g = p->Gw[gw];
    const u32 now = Now();
    if (g.un32Addr == 0 || g.tLastSeen == 0 || now - g.tLastSeen >= 2000u || g.iTxSocket >= 0)
        return;
    const u32 T = p->Red.un32NetworkDownDelayMs + p->Red.un32AdapterDownDelayMs;
    if (g.tLastTxClose != 0 && now - g.tLastTxClose <= T + 1000u && (g.tLastAccept == 0 || now - g.tLastAccept > T + 2000u))
        return;
    p->tLastConnectAttempt = now;
    g.fConnecting = 1;
    const u32 addr = g.un32Addr, port = p->un32TcpPort;
    const u16 sockBuf = p->un16SockBuf;
    const std::string name = p->sName;
    u8 block[kAdapterAdvSize];
    const u32 blockLen = c->un32AdvLen;
    std::memcpy(block, c->aAdv, sizeof(block));
    if (!c->Params.fDetectAdapters && blockLen == kHostAdvSize)
        block[kHostAdvOffKind] = kAdvKindAnswer;
    Trace(c, 5, "VqxGwLibConnectToGW %s: VqxGwLibConnectTo %s: %s:%d.", name.c_str(), GwName(gw),
          IpText(addr).c_str(), int(port));
    int s;
    {
        LockRelease rl(c);
        s = Connect(c, p, gw, addr, port, sockBuf);
        if (s >= 0)
        {
            char who[128];
            snprintf(who, sizeof(who), "VqxGwLibConnectTo '%s:%d'", IpText(addr).c_str(), int(port));
            bool fOk = true;
            if (c->Params.fWaitConnections)
            {
                u8 len[kHandshakeLenSize];
                PutBe32(len, blockLen);
                fOk = VQXHostGwLibWrite(reinterpret_cast<VqxGwLibContext>(c), name.c_str(), s, len, 4, 1000) == 4 &&
                      VQXHostGwLibWrite(reinterpret_cast<VqxGwLibContext>(c), name.c_str(), s, block, blockLen, 1000) ==
                          i32(blockLen);
                if (!fOk)
                    ErrorLog(c, "%s: write gwp packet failed", who);
            }
            else if (c->Params.fDetectAdapters)
            {
                u8 pid[kBoardHandshakeSize];
                fOk = ReadUnlessDestroying(c, s, pid, sizeof(pid), 1000, 1000) == i32(sizeof(pid));
                if (!fOk)
                    ErrorLog(c, "%s: read pid failed", who);
            }
            if (!fOk)
            {
                close(s);
                s = -1;
            }
        }
    }
    g.fConnecting = 0;
    if (s < 0)
        return;
    if (p->fDying || g.iTxSocket >= 0)
    {
        close(s);
        return;
    }
    Trace(c, 5, "VqxGwLibConnectToGW %s: Connected to %s: %s:%d.", name.c_str(), GwName(gw), IpText(addr).c_str(),
          int(port));
    p->un8PathInUse = kPathUndecided;
    p->un8SentCount = 0;
    ForgetKeepAlive(g);
    g.tLastSeen = Now();
    g.iTxSocket = s;
    g.un64UntakenAtClose = 0;
    g.un32CloseReason = 0;
    /* With separate sockets the receive link is the accepted one: its parser
     * may hold a partly received batch and must stay as it is. */
    if (p->un32Mode != kModeSeparate)
    {
        g.iRxSocket = s;
        RecordFrom(g, g.tLastSeen);
        g.Parser = RxParser();
        g.fDrainOnClose = false;
    }
    p->fEverConnected = true;
    SetPeerEvent(c);
    WakeRx(c);
    p->tDiscovered = 0;
    p->tLastConnectAttempt = 0;
}

void ConnectPeer(GwLibCtx* c, Peer* p)
{
    RefreshIfaces(c);
    if ((p->Gw[0].iTxSocket >= 0 && p->Gw[1].iTxSocket >= 0) || p->un32Mode == kModeIn)
        return;
    if (IsLocalAddress(c, p->Gw[0].un32Addr) || IsLocalAddress(c, p->Gw[1].un32Addr))
    {
        MakeLocal(c, p);
        SetPathAddresses(c, p);
    }
    if (p->Gw[0].iTxSocket < 0 && p->Gw[1].iTxSocket < 0)
        FreshStart(p);
    for (int gw = 0; gw < 2 && !p->fDying; gw++)
        if (UsesGw(c, gw) && p->Uses(gw) && p->Gw[gw].iTxSocket < 0)
            ConnectPath(c, p, gw);
}

} // namespace

u32 ConnectThread(void* arg)
{
    GwLibCtx* c = static_cast<GwLibCtx*>(arg);
    ThreadRec& self = c->Threads[kThConnect];
    Lock(c);
    while (!self.fStop)
    {
        for (Peer* pp : Peers(c))
        {
            Peer* p = pp;
            if (p == nullptr)
                continue;
            p->fConnectBusy = true;
            const u32 now = Now();
            if (!p->fDying && !c->fDestroying && !c->fFinishingLinks && now - p->tLastConnectAttempt > 1000u &&
                !p->Gw[0].fForceCloseConnectionTx && !p->Gw[1].fForceCloseConnectionTx)
                ConnectPeer(c, p);
            for (int gw = 0; gw < 2; gw++)
            {
                PathCtx& g = p->Gw[gw];
                if (g.fForceCloseConnectionTx && g.iTxSocket < 0)
                {
                    /* While the instance or the peer is being destroyed another path may
                     * have closed the socket first: expected, not a fault. */
                    if (c->fDestroying || p->fDying)
                        Trace(c, 4, "VqxGwLibConnectThread: %s already closed", GwName(gw));
                    else
                        ErrorLog(c,
                                 "VqxGwLibConnectThread: ERROR!! %s iTxSocket == -1 && GwX.fForceCloseConnectionTx == TRUE",
                                 GwName(gw));
                    g.fForceCloseConnectionTx = 0;
                }
                if (g.iTxSocket >= 0 && (g.fForceCloseConnectionTx || !p->Uses(gw) || !UsesGw(c, gw)))
                {
                    if (!p->Uses(gw) && g.un32CloseReason == 0)
                        g.un32CloseReason = VQX_GW_CLOSE_REQUESTED;
                    /* A path no longer used is closed by this side: read first. */
                    if ((!p->Uses(gw) || !UsesGw(c, gw)) && g.iRxSocket >= 0)
                        g.fDrainOnClose = true;
                    CloseTx(c, p, gw);
                }
            }
            ReportChanges(c, p);
            p->fConnectBusy = false;
        }
        {
            LockRelease rl(c);
            c->pPeerEvent->Wait(1000);
        }
    }
    /* Stopping: close every transmit socket and report once more. */
    for (Peer* pp : Peers(c))
    {
        Peer* p = pp;
        if (p == nullptr)
            continue;
        for (int tries = 0; tries < 200 && (p->Gw[0].iTxSocket >= 0 || p->Gw[1].iTxSocket >= 0); tries++)
        {
            for (int gw = 0; gw < 2; gw++)
                CloseTx(c, p, gw);
            if (p->Gw[0].iTxSocket >= 0 || p->Gw[1].iTxSocket >= 0)
                SleepMs(c, 10);
        }
        ReportChanges(c, p);
        Trace(c, 9, "VqxGwLibConnectThread %s terminated", p->sName.c_str());
    }
    Unlock(c);
    return 0;
}

/* ---- accept thread ---- */

namespace
{

void AcceptPeer(GwLibCtx* c, int s, u32 from)
{
    int on = 1;
    if (!c->Params.fUseTCPNagle && setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0)
    {
        ErrnoLog(c, "VqxGwLibAcceptPeer: setsockopt(TCP_NODELAY) failed");
        close(s);
        return;
    }
    if (ioctl(s, FIONBIO, &on) != 0)
    {
        ErrnoLog(c, "VqxGwLibAcceptPeer: ioctl(FIONBIO) failed");
        close(s);
        return;
    }
    u8 buf[kHandshakeMaxLen];
    i32 got;
    u32 len = 0;
    {
        LockRelease rl(c);
        u8 l[kHandshakeLenSize];
        got = ReadUnlessDestroying(c, s, l, 4, 1000, 1000);
        if (got == 4)
        {
            len = GetBe32(l);
            if (!HandshakeLengthOk(c, len))
                got = -4;
            else
                got = ReadUnlessDestroying(c, s, buf, len, 1000, 1000);
        }
    }
    if (got == -4)
    {
        ErrorLog(c, "VqxGwLibAcceptPeer: failed to read gw packet (bad length %u)", len);
        close(s);
        return;
    }
    if (got != i32(len) || len == 0)
    {
        ErrorLog(c, "VqxGwLibAcceptPeer: failed to read gw packet (read %d)", int(got));
        close(s);
        return;
    }
    Peer* p = AcceptBlock(c, buf, len, from);
    if (p == nullptr)
    {
        close(s);
        return;
    }
    int size = p->un16SockBuf;
    if (setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) != 0)
    {
        ErrnoLog(c, "VqxGwLibAcceptPeer: setsockopt(SO_SNDBUF) failed");
        close(s);
        return;
    }
    int gw;
    if (p->Gw[0].un32Addr == 0 && p->Gw[1].un32Addr == 0)
        gw = 0;
    else if (from == p->Gw[1].un32Addr && from != kLoopback && from != p->Gw[0].un32Addr)
        gw = 1;
    else if (from != kLoopback && from != p->Gw[0].un32Addr)
    {
        Trace(c, 5, "VqxGwLibAcceptPeer: Refusing connection from unknown GW (addr 0x%08X) for %s", ntohl(from),
              p->sName.c_str());
        close(s);
        return;
    }
    else
        gw = 0;
    if (!UsesGw(c, gw) || !p->Uses(gw))
    {
        Trace(c, 5, "VqxGwLibAcceptPeer: Refusing connection from %s for %s", gw == 0 ? "GW0" : "GW1", p->sName.c_str());
        close(s);
        return;
    }
    PathCtx& g = p->Gw[gw];
    /* With separate sockets an accepted link is a receive link: it replaces
     * only the previous receive link; otherwise the whole path is renewed. */
    const bool fSeparate = p->un32Mode == kModeSeparate;
    auto busy = [&] { return fSeparate ? g.iRxSocket >= 0 : (g.iTxSocket >= 0 || g.iRxSocket >= 0); };
    p->un32InCallback++; /* keeps the peer while the lock is released below */
    for (int i = 0; i < 500 && busy() && !c->fDestroying; i++)
    {
        if (fSeparate)
        {
            g.fRxReplace = 1;
            g.fForceCloseConnectionRx = 1;
        }
        else if (g.iTxSocket >= 0)
            g.fForceCloseConnectionTx = 1;
        else
            g.fForceCloseConnectionRx = 1;
        Trace(c, 5, "VqxGwLibAcceptPeer: Waiting for previous %s %s connection to close for %s...", GwName(gw),
              !fSeparate && g.iTxSocket >= 0 ? "Tx" : "Rx", p->sName.c_str());
        SetPeerEvent(c);
        WakeRx(c);
        SleepMs(c, 10);
    }
    p->un32InCallback--;
    if (busy() || p->fDying || c->fDestroying)
    {
        close(s);
        return;
    }
    const bool fFresh = p->Gw[0].iTxSocket < 0 && p->Gw[1].iTxSocket < 0;
    g.tLastAccept = Now();
    p->un8PathInUse = kPathUndecided;
    p->un8SentCount = 0;
    g.iRxSocket = s;
    RecordFrom(g, g.tLastAccept);
    g.Parser = RxParser();
    g.fDrainOnClose = false;
    g.fForceCloseConnectionRx = 0;
    g.fRxReplace = 0;
    if (!fSeparate)
    {
        g.un32CloseReason = 0;
        g.fForceCloseConnectionTx = 0;
    }
    if (p->un32Mode != kModeSeparate)
    {
        g.iTxSocket = s;
        g.un64UntakenAtClose = 0;
        g.tLastSeen = Now();
        if (fFresh)
            FreshStart(p);
    }
    p->fEverConnected = true;
    p->tDiscovered = 0;
    Trace(c, 5, "VqxGwLibAcceptPeer: Done. Peer is 0x%08X (%s, %s-%s).", p->hPeer, p->sName.c_str(), GwName(gw),
          p->un32Mode == kModeSeparate ? "Rx" : "RxTx");
    SetPeerEvent(c);
    WakeRx(c);
}

} // namespace

bool HandshakeLengthOk(const GwLibCtx* c, u32 un32Len)
{
    const u32 minLen = c->Params.fDetectAdapters ? kAdapterAdvMinSize : kHostAdvSize;
    return un32Len >= minLen && un32Len <= kHandshakeMaxLen;
}

Peer* AcceptBlock(GwLibCtx* c, const u8* buf, u32 un32Len, u32 from)
{
    Peer* p = nullptr;
    VQX_RESULT r;
    if (c->Params.fDetectAdapters)
    {
        VQX_GW_ADAPTER_ADV adv;
        if (!DecodeAdapterAdv(VqxGwCursor(buf, un32Len), adv, true))
            return nullptr;
        p = FindAdapterPeer(c, adv.Info.szSerialNumber);
        r = p != nullptr ? UpdatePeer(c, p, &adv, from, 0) : CreatePeer(c, &adv, from, 0, &p);
    }
    else
    {
        VQX_GW_HOST_ADV adv;
        if (!DecodeHostAdv(VqxGwCursor(buf, un32Len), adv))
            return nullptr;
        p = FindHostPeer(c, adv.Info.un64UniqueId);
        r = p != nullptr ? UpdatePeer(c, p, &adv, from, 0) : CreatePeer(c, &adv, from, 0, &p);
    }
    if (VQX_RESULT_FAILED(r) || p == nullptr)
        return nullptr;
    if (p->un32Mode == kModeOut)
    {
        Trace(c, 5, "VqxGwLibAcceptPeer: Refusing connection from %s because ConnectionMode is 'OUT only'",
              p->sName.c_str());
        return nullptr;
    }
    return p;
}

u32 AcceptThread(void* arg)
{
    GwLibCtx* c = static_cast<GwLibCtx*>(arg);
    ThreadRec& self = c->Threads[kThAccept];
    Lock(c);
    WaitSet ws;
    while (!self.fStop)
    {
        ws.Clear();
        ws.AddRead(c->aiAcceptWakePipe[0]);
        ws.AddRead(c->iAcceptSocket);
        const int ms = c->fDestroying ? 10 : 10000;
        int n;
        {
            LockRelease rl(c);
            n = ws.Wait(ms);
        }
        if (self.fStop)
            break;
        if (n < 0)
        {
            if (errno != EINTR)
            {
                int e = errno;
                ErrorLog(c, "VqxGwLibAcceptThread: select() failed, errno %d (%s).\n", e, strerror(e));
                SleepMs(c, 100);
            }
            continue;
        }
        if (n == 0)
            continue;
        if (ws.Readable(c->aiAcceptWakePipe[0]))
            DrainPipe(c->aiAcceptWakePipe[0]);
        if (c->iAcceptSocket < 0 || !ws.Readable(c->iAcceptSocket))
            continue;
        sockaddr_in from{};
        socklen_t fl = sizeof(from);
        int s = accept(c->iAcceptSocket, reinterpret_cast<sockaddr*>(&from), &fl);
        if (s < 0)
        {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                ErrnoLog(c, "VqxGwLibAcceptPeer: accept() failed!");
            continue;
        }
        if (c->fDisabled)
        {
            Trace(c, 3, "VqxGwLibAcceptThread: Ignoring, remote detect is disabled.");
            close(s);
            SleepMs(c, 100);
            continue;
        }
        AcceptPeer(c, s, from.sin_addr.s_addr);
    }
    Unlock(c);
    return 0;
}

namespace
{

/* VqxGwLibForceDisconnect and VqxGwLibForceDisconnectRead. */
VQX_RESULT ForceDisconnect(VqxGwLibContext hCtx, u32 hPeer, u32 fGw0, u32 fGw1, bool fRead)
{
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(hCtx);
    if (c == nullptr)
        return VQX_RESULT_NULL_PARAM;
    Lock(c);
    Peer* p = FindLivePeer(c, hPeer);
    if (p == nullptr)
    {
        Unlock(c);
        return VQX_RESULT_INVALID_HANDLE;
    }
    Trace(c, 5, "VqxGwLibForceDisconnect: 0x%08X: (%s/%s)%s", hPeer, fGw0 ? "true" : "false", fGw1 ? "true" : "false",
          fRead ? ", what the links took read first" : "");
    const u32 f[2] = {fGw0, fGw1};
    for (int gw = 0; gw < 2; gw++)
        if (f[gw] && (p->Gw[gw].iRxSocket >= 0 || p->Gw[gw].iTxSocket >= 0))
            (fRead ? RequestCloseRead : RequestClose)(c, p, gw, VQX_GW_CLOSE_REQUESTED);
    Unlock(c);
    return VQX_RESULT_OK;
}

} // namespace

} // namespace vqxgw

using namespace vqxgw;

extern "C" {

VQX_RESULT VqxGwLibForceDisconnect(VqxGwLibContext hCtx, u32 hPeer, u32 fGw0, u32 fGw1)
{
    return ForceDisconnect(hCtx, hPeer, fGw0, fGw1, false);
}

VQX_RESULT VqxGwLibForceDisconnectRead(VqxGwLibContext hCtx, u32 hPeer, u32 fGw0, u32 fGw1)
{
    return ForceDisconnect(hCtx, hPeer, fGw0, fGw1, true);
}

VQX_RESULT VqxGwLibGetRedundancyParams(VqxGwLibContext hCtx, u32 hPeer, VqxGwLibRedundancyParams* pParams)
{
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(hCtx);
    if (c == nullptr || pParams == nullptr)
        return VQX_RESULT_NULL_PARAM;
    Lock(c);
    Peer* p = FindLivePeer(c, hPeer);
    VQX_RESULT r = VQX_RESULT_INVALID_HANDLE;
    if (p != nullptr)
    {
        *pParams = p->Red;
        r = VQX_RESULT_OK;
    }
    Unlock(c);
    return r;
}

VQX_RESULT VqxGwLibGetWaitingPeers(VqxGwLibContext hCtx, u32 un32Capacity, u32* pun32Count,
                                   char (*paszNames)[VQX_GW_WAITING_NAME_SIZE])
{
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(hCtx);
    if (c == nullptr || pun32Count == nullptr || (paszNames == nullptr && un32Capacity != 0))
        return VQX_RESULT_NULL_PARAM;
    Lock(c);
    const u32 now = Now();
    u32 n = 0;
    for (const WaitingPeer& w : c->Waiting)
    {
        if (now - w.tLastHeard > kWaitingHeardMs)
            continue; /* gone: out of the queue at the next pass */
        if (n < un32Capacity)
            snprintf(paszNames[n], VQX_GW_WAITING_NAME_SIZE, "%s",
                     WaitingName(c, c->Params.fDetectAdapters ? static_cast<const void*>(&w.Adapter) : &w.Host).c_str());
        n++;
    }
    for (const WaitingApartPeer& w : c->WaitingApart)
    {
        if (now - w.tLastHeard > kWaitingHeardMs)
            continue;
        if (n < un32Capacity)
            snprintf(paszNames[n], VQX_GW_WAITING_NAME_SIZE, "%s", w.sName.c_str());
        n++;
    }
    *pun32Count = n;
    Unlock(c);
    return VQX_RESULT_OK;
}

VQX_RESULT VqxGwLibPathUntaken(VqxGwLibContext hCtx, u32 hPeer, u32 fIsGw0, u64* pun64Bytes)
{
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(hCtx);
    if (c == nullptr || pun64Bytes == nullptr)
        return VQX_RESULT_NULL_PARAM;
    *pun64Bytes = 0;
    Lock(c);
    const Peer* p = FindPeer(c, hPeer);
    if (p != nullptr)
        *pun64Bytes = p->Gw[fIsGw0 != 0 ? 0 : 1].un64UntakenAtClose;
    Unlock(c);
    return p != nullptr ? VQX_RESULT_OK : VQX_RESULT_INVALID_HANDLE;
}

VQX_RESULT VqxGwLibGetPeerLinks(VqxGwLibContext hCtx, u32 hPeer, u32* pun32Count, VqxGwLibLinkEnds* paEnds)
{
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(hCtx);
    if (c == nullptr || pun32Count == nullptr || paEnds == nullptr)
        return VQX_RESULT_NULL_PARAM;
    *pun32Count = 0;
    Lock(c);
    Peer* p = FindLivePeer(c, hPeer);
    VQX_RESULT r = VQX_RESULT_INVALID_HANDLE;
    if (p != nullptr)
    {
        r = VQX_RESULT_OK;
        /* A shared link is one socket in both slots: listed once. */
        int aiSeen[VQX_GW_MAX_PEER_LINKS];
        u32 n = 0;
        for (const PathCtx& g : p->Gw)
        {
            for (int s : {g.iRxSocket, g.iTxSocket})
            {
                if (s < 0 || std::find(aiSeen, aiSeen + n, s) != aiSeen + n)
                    continue;
                sockaddr_in l{}, rm{};
                socklen_t ll = sizeof(l), rl = sizeof(rm);
                if (getsockname(s, reinterpret_cast<sockaddr*>(&l), &ll) != 0 ||
                    getpeername(s, reinterpret_cast<sockaddr*>(&rm), &rl) != 0 || l.sin_family != AF_INET)
                    continue;
                aiSeen[n] = s;
                paEnds[n++] = {l.sin_addr.s_addr, rm.sin_addr.s_addr, ntohs(l.sin_port), ntohs(rm.sin_port)};
            }
        }
        *pun32Count = n;
    }
    Unlock(c);
    return r;
}

VQX_RESULT VqxGwLibSetRedundancyParams(VqxGwLibContext hCtx, u32 hPeer, const VqxGwLibRedundancyParams* pParams)
{
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(hCtx);
    if (c == nullptr || pParams == nullptr)
        return VQX_RESULT_NULL_PARAM;
    Lock(c);
    Peer* p = FindLivePeer(c, hPeer);
    if (p == nullptr)
    {
        Unlock(c);
        return VQX_RESULT_INVALID_HANDLE;
    }
    const VqxGwLibRedundancyParams& n = *pParams;
    Trace(c, 5, "VqxGwLibSetRedundancyParams: 0x%08X: (%d-%d-%d, %s/%s)", hPeer, int(n.un32PollDelayMs),
          int(n.un32NetworkDownDelayMs), int(n.un32AdapterDownDelayMs), n.fUseGw0 ? "true" : "false",
          n.fUseGw1 ? "true" : "false");
    const u32 use[2] = {n.fUseGw0, n.fUseGw1};
    for (int gw = 0; gw < 2; gw++)
        if (!use[gw] && (p->Gw[gw].iRxSocket >= 0 || p->Gw[gw].iTxSocket >= 0))
            RequestCloseRead(c, p, gw, VQX_GW_CLOSE_REQUESTED);
    if (std::memcmp(&p->Red, &n, sizeof(n)) != 0)
    {
        p->Red = n;
        p->fForcePoll = true;
        p->un8PathInUse = kPathUndecided;
        p->un8SentCount = 0;
        p->Gw[0].tLastUdpPoll = p->Gw[1].tLastUdpPoll = 0;
        DiscoveryRound(c, 1, true);
        RecomputeSmallestPollDelay(c);
    }
    Unlock(c);
    return VQX_RESULT_OK;
}

} // extern "C"
