/*
 * gwlib_discover.cpp - the UDP side of an instance: its sockets, discovery
 * rounds, advertisements, the discover thread ("gwlib_discover") with its
 * source filter and dispatch, and the periodic work that thread runs:
 * keep-alive checks, rediscovery, search for lost paths, host-peer expiry.
 */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "gwlib_internal.h"

namespace vqxgw
{

namespace
{

bool SetNonBlocking(int s)
{
    int on = 1;
    return ioctl(s, FIONBIO, &on) == 0;
}

} // namespace

int OpenUdpSocket(GwLibCtx* c, const char* fn, u16 port, bool fBind)
{
    char sz[128];
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
    {
        snprintf(sz, sizeof(sz), "%s: socket() failed", fn);
        ErrnoLog(c, sz);
        return -1;
    }
    int on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0)
    {
        snprintf(sz, sizeof(sz), "%s: setsockopt(SO_REUSEADDR) failed", fn);
        ErrnoLog(c, sz);
        close(s);
        return -1;
    }
    if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0)
    {
        snprintf(sz, sizeof(sz), "%s: setsockopt(SO_BROADCAST) failed", fn);
        ErrnoLog(c, sz);
        close(s);
        return -1;
    }
    int size = 65535;
    if (setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)) != 0)
    {
        snprintf(sz, sizeof(sz), "%s: setsockopt(SO_SNDBUF) failed", fn);
        ErrnoLog(c, sz);
    }
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) != 0)
    {
        snprintf(sz, sizeof(sz), "%s: setsockopt(SO_RCVBUF) failed", fn);
        ErrnoLog(c, sz);
    }
    if (!SetNonBlocking(s))
    {
        snprintf(sz, sizeof(sz), "%s: ioctl(FIONBIO) failed", fn);
        ErrnoLog(c, sz);
    }
    if (fBind)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(port);
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
        {
            int e = errno;
            ErrorLog(c, "VQXGwLibOpenBroadcastSocket: bind(%s:%u) failed.\n", "0.0.0.0", unsigned(port));
            errno = e;
            close(s);
            return -1;
        }
    }
    return s;
}

namespace
{

VQX_RESULT OpenAcceptSocket(GwLibCtx* c)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
    {
        ErrnoLog(c, "VQXGwLibOpenAcceptSocket: socket() failed");
        return VQX_RESULT_FAIL;
    }
    int on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0)
    {
        ErrnoLog(c, "VQXGwLibOpenAcceptSocket: setsockopt(SO_REUSEADDR) failed");
        close(s);
        return VQX_RESULT_FAIL;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
    {
        ErrorLog(c, "VQXGwLibOpenAcceptSocket: bind(%u) failed.\n", 0u);
        close(s);
        return VQX_RESULT_FAIL;
    }
    socklen_t l = sizeof(a);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&a), &l) != 0)
    {
        ErrnoLog(c, "VQXGwLibOpenAcceptSocket: getsockname failed");
        close(s);
        return VQX_RESULT_FAIL;
    }
    if (listen(s, 20) != 0)
    {
        ErrnoLog(c, "VQXGwLibOpenAcceptSocket: listen() failed");
        close(s);
        return VQX_RESULT_FAIL;
    }
    SetNonBlocking(s);
    c->iAcceptSocket = s;
    c->un16AcceptPort = ntohs(a.sin_port);
    return VQX_RESULT_OK;
}

bool MakePipe(GwLibCtx* c, int (&p)[2], const char* name)
{
    if (pipe(p) != 0)
    {
        char sz[128];
        snprintf(sz, sizeof(sz), "VqxGwLibSocketsCreate: pipe() failed for %s", name);
        ErrnoLog(c, sz);
        p[0] = p[1] = -1;
        return false;
    }
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    fcntl(p[1], F_SETFL, O_NONBLOCK);
    return true;
}

void SendTo(int s, const void* p, size_t n, u32 addrNet, u16 portNet)
{
    if (s < 0)
        return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = addrNet;
    a.sin_port = portNet;
    ssize_t r = sendto(s, p, n, 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    (void)r; /* other send failures are ignored: the next round retries */
}

bool BeginsWithDigit(const char* psz)
{
    return std::isdigit(static_cast<unsigned char>(psz[0])) != 0;
}

bool InSubnet(u32 addr, u32 subnet, u32 mask)
{
    return mask != 0 && (addr & mask) == subnet;
}

bool InAnyAllowed(GwLibCtx* c, u32 addr)
{
    for (auto& s : c->AllowedSubnets)
        if (InSubnet(addr, s.first, s.second))
            return true;
    return false;
}

/* The path of a sender, or -1 when the packet is to be dropped. */
int SourcePath(GwLibCtx* c, u32 src)
{
    if (c->Params.fLocalLoopbackOnly)
    {
        if (src == htonl(INADDR_LOOPBACK))
            return 0;
        Trace(c, 3, "VqxGwLibDiscoverThread: Only local loopback are allowed ");
        return -1;
    }
    if (c->un32LocalGw[0] == 0 && c->un32LocalGw[1] == 0)
    {
        if (c->AllowedSubnets.empty())
            return 0;
        bool in = InAnyAllowed(c, src);
        if (c->Params.fAllowedSubnetsExclude ? !in : in)
            return 0;
    }
    for (const VQX_GW_EXTRA_ADDR& e : c->ExtraAddr)
    {
        if (e.un32IpAddress0 != 0 && e.un32IpAddress0 == src)
        {
            Trace(c, 3, "VqxGwLibDiscoverThread: Received packet from 0x%08X (gw0 in extra addr list).", ntohl(src));
            return 0;
        }
        if (e.un32IpAddress1 != 0 && e.un32IpAddress1 == src)
        {
            Trace(c, 3, "VqxGwLibDiscoverThread: Received packet from 0x%08X (gw1 in extra addr list).", ntohl(src));
            return 1;
        }
    }
    if (c->Params.fDisableAutoDiscovery)
    {
        Trace(c, 3, "VqxGwLibDiscoverThread: Ignoring packet from 0x%08X (Auto Discovery disabled).", ntohl(src));
        return -1;
    }
    for (int gw = 0; gw < 2; gw++)
    {
        int i = c->un32LocalGw[gw] != 0 ? IfaceIndexOf(c, c->un32LocalGw[gw]) : -1;
        if (i >= 0 && InSubnet(src, c->aun32IfAddr[i] & c->aun32IfMask[i], c->aun32IfMask[i]))
        {
            Trace(c, 3, "VqxGwLibDiscoverThread Packet from 0x%08X match our %s subnet.", ntohl(src), GwName(gw));
            return gw;
        }
    }
    Trace(c, 3, "VqxGwLibDiscoverThread Packet from 0x%08X does NOT match our subnet. Ignoring.", ntohl(src));
    return -1;
}

} // namespace

void HandlePacket(GwLibCtx* c, const u8* buf, size_t len, u32 src, u16 srcPort, bool fOnPollSocket)
{
    int gw = SourcePath(c, src);
    if (gw < 0)
        return;
    const u32 hsrc = ntohl(src);
    VqxGwCursor cur(buf, len);
    const u32 id = cur.Be32();
    const VqxGwLibParams& P = c->Params;
    if (cur.Ok() && id == P.un32GwDiscoveryId && len >= kDiscoverySize)
    {
        if (fOnPollSocket)
        {
            Trace(c, 3, "VqxGwLibDiscoverThread Received 'who is there' from 0x%08X on private socket. Ignoring...",
                  hsrc);
            return;
        }
        Trace(c, 2, "VqxGwLibDiscoverThread Received 'who is there' from 0x%08X. Replying...", hsrc);
        Advertise(c, gw, src, srcPort, kAdvKindAnswer);
        return;
    }
    if (cur.Ok() && id == P.un32GwDiscoverySpecificId && len >= kSpecificSize)
    {
        SpecificDiscovery sd{};
        DecodeSpecificDiscovery(VqxGwCursor(buf, len), sd);
        bool fUs;
        if (P.fDetectAdapters)
            fUs = std::strcmp(sd.szHost, P.AdapterGwParams.szSerialNumber) == 0 ||
                  std::strcmp(sd.szHost, P.AdapterGwParams.szAdapterName) == 0;
        else
            fUs = std::strcmp(sd.szHost, P.HostGwParms.szHostName) == 0 &&
                  std::strcmp(sd.szApp, P.HostGwParms.szAppName) == 0;
        if (!fUs)
        {
            Trace(c, 3, "VqxGwLibDiscoverThread Received 'are you %s.%s' from 0x%08X. Ignoring, this is not us.",
                  sd.szHost, sd.szApp, hsrc);
            return;
        }
        Trace(c, 2, "VqxGwLibDiscoverThread Received 'are you %s.%s' from 0x%08X. Replying...", sd.szHost, sd.szApp,
              hsrc);
        Advertise(c, gw, src, srcPort, kAdvKindAnswer);
        if (sd.un32Request != 0)
            DiscoveryRound(c, 0, true);
        return;
    }
    if (cur.Ok() && id == P.un32GwPollId && len >= kPollSize)
    {
        Trace(c, 2, "VqxGwLibDiscoverThread Received 'poll' from 0x%08X. Replying...", hsrc);
        Advertise(c, gw, src, srcPort, kAdvKindAnswer);
        return;
    }
    if (cur.Ok() && id == P.un32GwReplyId && P.fDetectAdapters && len >= kAdapterAdvMinSize)
    {
        VQX_GW_ADAPTER_ADV adv;
        if (!DecodeAdapterAdv(VqxGwCursor(buf, len), adv, false))
            return;
        if (std::strcmp(adv.Info.szSerialNumber, P.AdapterGwParams.szSerialNumber) == 0)
        {
            Trace(c, 3, "VqxGwLibDiscoverThread Received 'remote adapter info' from ourself, ignoring...");
            return;
        }
        Trace(c, 2, "VqxGwLibDiscoverThread Received 'remote adapter info' from 0x%08X (%s)", hsrc,
              adv.Info.szAdapterName);
        Peer* p = FindAdapterPeer(c, adv.Info.szSerialNumber);
        if (p != nullptr && SecondBoardOfSerial(c, p, adv, src))
            return;
        if (p != nullptr)
            UpdatePeer(c, p, &adv, src, srcPort);
        else
            CreatePeer(c, &adv, src, srcPort, &p);
        return;
    }
    if (cur.Ok() && id == P.un32GwReplyId && !P.fDetectAdapters && len >= kHostAdvSize)
    {
        const u8 kind = buf[kHostAdvOffKind];
        if ((kind == kAdvKindBroadcast && fOnPollSocket) || (kind == kAdvKindAnswer && !fOnPollSocket))
        {
            Trace(c, 3, "VqxGwLibDiscoverThread Received broadcasted 'advertize' from 0x%08X on private socket. Ignoring...",
                  hsrc);
            return;
        }
        VQX_GW_HOST_ADV adv;
        if (!DecodeHostAdv(VqxGwCursor(buf, len), adv))
            return;
        if (adv.Info.un64UniqueId == P.un64PollHostCtxId)
        {
            Trace(c, 3, "VqxGwLibDiscoverThread Received 'remote host info' from ourself, ignoring...");
            return;
        }
        Trace(c, 2, "VqxGwLibDiscoverThread Received 'remote host info' from 0x%08X (%s.%s)", hsrc,
              adv.Info.szHostName, adv.Info.szAppName);
        Peer* p = FindHostPeer(c, adv.Info.un64UniqueId);
        if (p != nullptr)
            UpdatePeer(c, p, &adv, src, srcPort);
        else
            CreatePeer(c, &adv, src, srcPort, &p);
        return;
    }
    Trace(c, 3, "VqxGwLibDiscoverThread Received unknown packet from 0x%08X. Ignoring.", hsrc);
}

namespace
{

void SendUdpPoll(GwLibCtx* c, Peer* p, int gw)
{
    u8 pkt[kPollSize];
    EncodeUdpPoll(c->Params.un32GwPollId, PeerPollFields(c, p), pkt);
    PathCtx& g = p->Gw[gw];
    int s = PathSocket(c, gw);
    if (g.un16UdpPort != 0)
        SendTo(s, pkt, sizeof(pkt), g.un32Addr, g.un16UdpPort);
    else
        for (u16 port : c->Params.aun16GwPorts)
            if (port != 0)
                SendTo(s, pkt, sizeof(pkt), g.un32Addr, htons(port));
    g.tLastUdpPoll = Now();
}

void KeepAliveChecks(GwLibCtx* c, u32 now)
{
    JudgeLook(c, now);
    for (Peer* pp : Peers(c))
    {
        Peer* p = pp;
        if (p == nullptr || p->fDying)
            continue;
        if (p->fIsAdapter && p->Build() < 627)
            continue;
        if (p->Red.un32PollDelayMs == 0 && !p->fForcePoll)
            continue;
        u32 limit = KeepAliveLimit(c, p);
        for (int gw = 0; gw < 2; gw++)
        {
            PathCtx& g = p->Gw[gw];
            if (!UsesGw(c, gw) || !p->Uses(gw) || g.iTxSocket < 0)
                continue;
            if (p->fTcpPolling)
            {
                if (g.tLastTcpPollSent == 0)
                    continue;
                TcpCounters k;
                const bool fCounters = ReadTcpCounters(g, k);
                k.un32Unread = UnreadBytes(g);
                u32 silence = 0;
                if (TcpSilent(c, p, gw, now, limit, fCounters, k, &silence))
                {
                    ErrorLog(c, "VqxGwLibDiscoverThread: Remote %s: %s TCP timeout (%dms > %dms)", p->sName.c_str(),
                             GwName(gw), i32(silence), i32(limit));
                    RequestCloseRead(c, p, gw, VQX_GW_CLOSE_TCP_TIMEOUT);
                    limit = p->Red.un32AdapterDownDelayMs;
                }
            }
            else if (g.tLastSeen != 0 && g.tLastUdpPoll != 0 && i32(g.tLastUdpPoll - g.tLastSeen) > i32(limit))
            {
                RequestCloseRead(c, p, gw, VQX_GW_CLOSE_UDP_TIMEOUT);
                limit = p->Red.un32AdapterDownDelayMs;
            }
        }
        if (!p->fTcpPolling && p->fUdpPolling)
        {
            bool fSent = false;
            for (int gw = 0; gw < 2; gw++)
            {
                PathCtx& g = p->Gw[gw];
                if (g.un32Addr == 0 || !UsesGw(c, gw) || !p->Uses(gw))
                    continue;
                if (p->fForcePoll || now - g.tLastUdpPoll > p->Red.un32PollDelayMs)
                {
                    SendUdpPoll(c, p, gw);
                    fSent = true;
                }
            }
            if (fSent)
                p->fForcePoll = false;
        }
    }
}

void SearchLostPaths(GwLibCtx* c, u32 now)
{
    for (Peer* pp : Peers(c))
    {
        Peer* p = pp;
        if (p == nullptr || p->fDying)
            continue;
        for (int gw = 0; gw < 2; gw++)
        {
            PathCtx& g = p->Gw[gw];
            if (!UsesGw(c, gw) || !p->Uses(gw) || g.un32Addr == 0 || g.iTxSocket >= 0)
                continue;
            u32 down = now - g.tDownSince;
            if (!LostPathSearchDue(down))
                continue;
            if (c->Params.fDetectAdapters)
            {
                u8 pkt[kDiscoverySize];
                EncodeDiscovery(c->Params.un32GwDiscoveryId, pkt);
                for (u16 port : c->Params.aun16GwPorts)
                    if (port != 0)
                    {
                        Trace(c, 3, "VqxGwLibDiscoverThread: Searching for remote %s %s (%s:%u) (%dms)...",
                              p->sName.c_str(), GwName(gw), IpText(g.un32Addr).c_str(), unsigned(port), i32(down));
                        SendTo(PathSocket(c, gw), pkt, sizeof(pkt), g.un32Addr, htons(port));
                    }
            }
            else if (g.un16UdpPort != 0)
            {
                Trace(c, 3, "VqxGwLibDiscoverThread: Searching for remote %s %s (%s:%u) (%dms)...", p->sName.c_str(),
                      GwName(gw), IpText(g.un32Addr).c_str(), unsigned(ntohs(g.un16UdpPort)), i32(down));
                Advertise(c, gw, g.un32Addr, g.un16UdpPort, kAdvKindAnswer);
            }
        }
    }
}

void ExpireHostPeers(GwLibCtx* c, u32 now)
{
    if (c->Params.fDetectAdapters)
        return;
    /* A destruction releases the lock: the walk starts again after each. */
    for (bool fAgain = true; fAgain;)
    {
        fAgain = false;
        for (Peer* p : Peers(c))
        {
            if (p->fDying || p->un32InCallback != 0)
                continue;
            bool fAnySocket = false;
            for (auto& g : p->Gw)
                fAnySocket |= g.iRxSocket >= 0 || g.iTxSocket >= 0 || g.fConnecting;
            if (fAnySocket)
                continue;
            bool fStale = !p->fEverConnected && p->tDiscovered != 0 && now - p->tDiscovered > 10000u;
            if ((p->fReported && !p->fSomeUp) || fStale)
            {
                DestroyPeer(c, p);
                fAgain = true;
                break;
            }
        }
    }
}

/* How long the discover thread may wait for a packet: kJudgeEveryMs, the
 * keep-alive looking at the TCP paths a few times a second (and so seeing
 * when it wakes late), and no longer than the shortest UDP poll delay of a
 * peer kept alive by UDP polls (at least 100 ms), whose polls and time-outs
 * this thread's passes make. */
u32 DiscoverWaitMs(GwLibCtx* c)
{
    u32 ms = kJudgeEveryMs;
    for (Peer* p : Peers(c))
        if (!p->fDying && p->fUdpPolling && !p->fTcpPolling && p->Red.un32PollDelayMs != 0)
            ms = std::min(ms, std::max(p->Red.un32PollDelayMs, 100u));
    return ms;
}

void Periodic(GwLibCtx* c)
{
    const u32 now = Now();
    if (now - c->tLastKeepAlive > 100u || c->fKeepAliveDue)
    {
        c->tLastKeepAlive = now;
        c->fKeepAliveDue = false;
        KeepAliveChecks(c, now);
    }
    if (c->Params.pFctGetEthAvailability != nullptr &&
        (now - c->tLastRediscoverCheck >= 1000u || c->afRediscover[0] || c->afRediscover[1]))
    {
        c->tLastRediscoverCheck = now;
        if (c->t10s == 0)
            c->t10s = now;
        if (c->t30s == 0)
            c->t30s = now;
        bool fRediscover = c->afRediscover[0];
        bool fBroadcast = c->afRediscover[1];
        if (now - c->t10s > 9999u)
        {
            c->t10s = now;
            fRediscover = true;
        }
        if (now - c->t30s > 29999u)
        {
            c->t30s = now;
            fBroadcast = true;
        }
        u32 avail = 0;
        VQX_RESULT r;
        {
            LockRelease rl(c);
            r = c->Params.pFctGetEthAvailability(c->Params.pEthAvailabilityCtx, &avail);
        }
        if (VQX_RESULT_SUCCEEDED(r))
        {
            if (c->fHaveAvailability && avail != c->un32LastAvailability)
                fRediscover = fBroadcast = true;
            c->fHaveAvailability = true;
            c->un32LastAvailability = avail;
        }
        if (fRediscover || fBroadcast)
            DiscoveryRound(c, 1, fBroadcast);
    }
    if (now - c->tLastLostSearch >= 500u)
    {
        c->tLastLostSearch = now;
        SearchLostPaths(c, now);
    }
    if (now - c->tLastExpiry > 100u)
    {
        c->tLastExpiry = now;
        ExpireHostPeers(c, now);
    }
    if (!c->Waiting.empty())
        AdmitWaiting(c);
}

} // namespace

VQX_RESULT OpenPollSocket(GwLibCtx* c, int gw)
{
    if (c->aiPollSocket[gw] >= 0)
        return VQX_RESULT_OK;
    c->aiPollSocket[gw] = OpenUdpSocket(c, "VQXGwLibOpenPollReplySocket", 0, false);
    return c->aiPollSocket[gw] >= 0 ? VQX_RESULT_OK : VQX_RESULT_FAIL;
}

u32 KeepAliveLimit(const GwLibCtx* c, const Peer* p)
{
    u32 limit = p->Red.un32NetworkDownDelayMs;
    if (c->Params.fIsGw0 && c->Params.fIsGw1 && (p->Gw[0].iTxSocket < 0 || p->Gw[1].iTxSocket < 0))
        limit = p->Red.un32AdapterDownDelayMs;
    const bool fLocalNew = !p->fIsAdapter && p->Build() >= 0x02030202u && p->Gw[0].un32Addr == htonl(INADDR_LOOPBACK);
    if (fLocalNew && p->fTcpPolling)
        limit = 10000;
    return limit;
}

bool LostPathSearchDue(u32 un32DownMs)
{
    return un32DownMs <= 3599999u || un32DownMs % 60000u < 2000u;
}

int PathSocket(GwLibCtx* c, int gw)
{
    if (c->aiPollSocket[gw] >= 0)
        return c->aiPollSocket[gw];
    for (int s : c->aiBcastSocket)
        if (s >= 0)
            return s;
    return -1;
}

void ResolveExtraAddresses(GwLibCtx* c)
{
    c->ExtraAddr.clear();
    VQX_GW_EXTRA_ADDR* pa = c->Params.paExtraGwAddr;
    for (u32 i = 0; pa != nullptr && i < c->Params.un32NbExtraGwAddr; i++)
    {
        VQX_GW_EXTRA_ADDR e = pa[i];
        e.szIpAddress0[63] = e.szIpAddress1[63] = '\0';
        if (BeginsWithDigit(e.szIpAddress0))
        {
            e.un32IpAddress0 = IpFromText(e.szIpAddress0);
            e.un32IpAddress1 = BeginsWithDigit(e.szIpAddress1) ? IpFromText(e.szIpAddress1) : 0;
        }
        else
            e.un32IpAddress0 = e.un32IpAddress1 = 0;
        pa[i].un32IpAddress0 = e.un32IpAddress0;
        pa[i].un32IpAddress1 = e.un32IpAddress1;
        c->ExtraAddr.push_back(e);
    }
}

void BuildAdvertisement(GwLibCtx* c)
{
    if (c->Params.fDetectAdapters)
    {
        VQX_GW_ADAPTER_ADV adv{};
        adv.un32Id = c->Params.un32GwReplyId;
        adv.un8NewInfo = 1;
        adv.un32TcpPort = c->un16AcceptPort;
        adv.Info = c->Params.AdapterGwParams;
        u8 out[kAdapterAdvSize];
        EncodeAdapterAdv(adv, out);
        std::memcpy(c->aAdv, out, sizeof(out));
        c->un32AdvLen = kAdapterAdvSize;
    }
    else
    {
        VQX_GW_HOST_ADV adv{};
        adv.un32Id = c->Params.un32GwReplyId;
        adv.un8Kind = kAdvKindBroadcast;
        adv.un8HostType = u8(c->Params.un32HostType);
        adv.un8NewInfo = 1;
        adv.un32TcpPort = c->un16AcceptPort;
        adv.Info = c->Params.HostGwParms;
        u8 out[kHostAdvSize];
        EncodeHostAdv(adv, out);
        std::memcpy(c->aAdv, out, sizeof(out));
        c->un32AdvLen = kHostAdvSize;
    }
}

VQX_RESULT Advertise(GwLibCtx* c, int gw, u32 addrNet, u16 portNet, u8 kind)
{
    if (!c->Params.fWaitConnections || c->fDisabled || c->un32AdvLen == 0)
        return VQX_RESULT_OK;
    if (!c->Params.fDetectAdapters)
        c->aAdv[kHostAdvOffKind] = kind;
    int s = PathSocket(c, gw);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = addrNet;
    a.sin_port = portNet;
    if (sendto(s, c->aAdv, c->un32AdvLen, 0, reinterpret_cast<sockaddr*>(&a), sizeof(a)) < 0)
    {
        char sz[160];
        snprintf(sz, sizeof(sz), "VqxGwLibAdvertise: sendto( %d, %s:%u ) failed", s, IpText(addrNet).c_str(),
                 unsigned(ntohs(portNet)));
        ErrnoLog(c, sz);
        return VQX_RESULT_FAIL;
    }
    return VQX_RESULT_OK;
}

VQX_RESULT SocketsCreate(GwLibCtx* c)
{
    /* The pipes first: once listed at a port socket, this instance is woken by the others sharing it. */
    if (!MakePipe(c, c->aiAcceptWakePipe, "aiAcceptWakePipe") ||
        !MakePipe(c, c->aiDiscoverWakePipe, "aiDiscoverWakePipe") || !MakePipe(c, c->aiRxWakePipe, "aiRxWakePipe"))
        return VQX_RESULT_FAIL;
    for (int i = 0; i < VQX_GW_NB_PORTS; i++)
    {
        u16 port = c->Params.aun16GwPorts[i];
        if (port == 0)
            continue;
        c->aiBcastSocket[i] = PortSocketAcquire(c, port);
        if (c->aiBcastSocket[i] < 0)
        {
            /* Its cause is logged already: this line only traces where the allocation stopped. */
            Trace(c, 4, "VqxGwLibSocketsCreate: %s", "Failed to create UDP subnet broadcast socket");
            return c->fPortHeld ? VQX_RESULT_NOT_ACCESSIBLE : VQX_RESULT_FAIL;
        }
    }
    if (c->Params.fUseSeparatePollSocket)
        for (int gw = 0; gw < 2; gw++)
        {
            if (!UsesGw(c, gw) || (c->un32LocalGw[gw] == 0 && !c->Params.fOpenPollSocketsAlways))
                continue;
            if (VQX_RESULT_FAILED(OpenPollSocket(c, gw)) && gw == 1)
            {
                ErrorLog(c, "VqxGwLibSocketsCreate: %s\n", "Failed to create UDP poll sockets");
                return VQX_RESULT_FAIL;
            }
        }
    if (c->Params.fWaitConnections)
    {
        if (VQX_RESULT_FAILED(OpenAcceptSocket(c)))
        {
            ErrorLog(c, "VqxGwLibSocketsCreate: %s\n", "Failed to create TCP connections accept socket");
            return VQX_RESULT_FAIL;
        }
        BuildAdvertisement(c);
    }
    return VQX_RESULT_OK;
}

VQX_RESULT DiscoveryRound(GwLibCtx* c, u32 un32Request, bool fBroadcast)
{
    const VqxGwLibParams& P = c->Params;
    RefreshIfaces(c);
    Trace(c, 4, "VqxGwLibForceDiscoverInternal: Found %u local IP interfaces:", c->un32NbIfaces);
    for (u32 i = 0; i < c->un32NbIfaces; i++)
        Trace(c, 4, "VqxGwLibForceDiscoverInternal:     %2u: %s, mask %s, broadcast %s", i,
              IpText(c->aun32IfAddr[i]).c_str(), IpText(c->aun32IfMask[i]).c_str(), IpText(c->aun32IfBcast[i]).c_str());
    u8 disc[kDiscoverySize];
    EncodeDiscovery(P.un32GwDiscoveryId, disc);
    if (fBroadcast)
    {
        struct Choice
        {
            u32 idx;
            int gw;
        };
        std::vector<Choice> chosen;
        if (c->un32LocalGw[0] != 0 || c->un32LocalGw[1] != 0)
        {
            for (int gw = 0; gw < 2; gw++)
            {
                int i = c->un32LocalGw[gw] != 0 ? IfaceIndexOf(c, c->un32LocalGw[gw]) : -1;
                if (i >= 0)
                    chosen.push_back({u32(i), gw});
            }
        }
        else
        {
            for (u32 i = 0; i < c->un32NbIfaces; i++)
            {
                if (!c->AllowedSubnets.empty())
                {
                    bool in = InAnyAllowed(c, c->aun32IfAddr[i]);
                    if (P.fAllowedSubnetsExclude ? in : !in)
                        continue;
                }
                chosen.push_back({i, 0});
            }
        }
        const u32 redirect = BroadcastRedirect();
        for (const Choice& ch : chosen)
        {
            const u32 bcast = redirect != 0 ? redirect : c->aun32IfBcast[ch.idx];
            Trace(c, 4, "VqxGwLibForceDiscoverInternal: Sending 'who is there' to 0x%08X...", ntohl(bcast));
            int s = PathSocket(c, ch.gw);
            if (!P.fDisableAutoDiscovery)
                for (u16 port : P.aun16GwPorts)
                    if (port != 0)
                    {
                        SendTo(s, disc, sizeof(disc), bcast, htons(port));
                        Advertise(c, ch.gw, bcast, htons(port), kAdvKindBroadcast);
                    }
            for (const VQX_GW_EXTRA_ADDR& e : c->ExtraAddr)
            {
                if (BeginsWithDigit(e.szIpAddress0) || e.un16Port == 0)
                    continue;
                u8 sd[kSpecificSize];
                EncodeSpecificDiscovery(P.un32GwDiscoverySpecificId, un32Request, e.szIpAddress0, e.szIpAddress1, sd);
                SendTo(s, sd, sizeof(sd), bcast, htons(e.un16Port));
            }
        }
    }
    for (int gw = 0; gw < 2; gw++)
        for (const VQX_GW_EXTRA_ADDR& e : c->ExtraAddr)
        {
            u32 a = gw == 0 ? e.un32IpAddress0 : e.un32IpAddress1;
            if (!BeginsWithDigit(e.szIpAddress0) || e.un16Port == 0 || a == 0 || a == 0xFFFFFFFFu)
                continue;
            SendTo(PathSocket(c, gw), disc, sizeof(disc), a, htons(e.un16Port));
            Advertise(c, gw, a, htons(e.un16Port), kAdvKindBroadcast);
        }
    c->afRediscover[0] = c->afRediscover[1] = false;
    return VQX_RESULT_OK;
}

u32 DiscoverThread(void* arg)
{
    GwLibCtx* c = static_cast<GwLibCtx*>(arg);
    ThreadRec& self = c->Threads[kThDiscover];
    std::unique_ptr<u8[]> buf(new u8[kUdpMaxPacket]);
    Lock(c);
    DiscoveryRound(c, 1, true);
    c->tLastDiscoverPass = Now();
    WaitSet ws;
    while (!self.fStop)
    {
        ws.Clear();
        ws.AddRead(c->aiPollSocket[0]);
        ws.AddRead(c->aiPollSocket[1]);
        ws.AddRead(c->aiDiscoverWakePipe[0]);
        for (int s : c->aiBcastSocket)
            ws.AddRead(s);
        const int ms = c->fDestroying ? 10 : int(DiscoverWaitMs(c));
        int n;
        {
            LockRelease rl(c);
            n = ws.Wait(ms);
        }
        if (self.fStop)
            break;
        const u32 now = Now();
        if (now - c->tLastDiscoverPass > 4000u)
        {
            ErrorLog(c, "VqxGwLibDiscoverThread: WARNING: Was not scheduled for %d msec. Will poll remote %s again.\n",
                     i32(now - c->tLastDiscoverPass), c->Params.fDetectAdapters ? "adapters" : "hosts");
            c->afRediscover[0] = c->afRediscover[1] = true;
        }
        c->tLastDiscoverPass = now;
        if (n < 0)
        {
            if (errno != EINTR)
            {
                int e = errno;
                ErrorLog(c, "VqxGwLibDiscoverThread: select() failed, errno %d (%s).\n", e, strerror(e));
                SleepMs(c, 100);
            }
            else
                Trace(c, 3, "VqxGwLibDiscoverThread: select() interrupted");
        }
        else if (n > 0)
        {
            int s = -1;
            bool fPoll = false;
            for (int gw = 0; gw < 2 && s < 0; gw++)
                if (ws.Readable(c->aiPollSocket[gw]))
                {
                    s = c->aiPollSocket[gw];
                    fPoll = true;
                }
            bool fPipe = false;
            if (s < 0 && ws.Readable(c->aiDiscoverWakePipe[0]))
            {
                DrainPipe(c->aiDiscoverWakePipe[0]);
                fPipe = true;
            }
            for (int i = 0; i < VQX_GW_NB_PORTS && s < 0 && !fPipe; i++)
                if (ws.Readable(c->aiBcastSocket[i]))
                    s = c->aiBcastSocket[i];
            if (s < 0 && !fPipe)
                ErrorLog(c, "VqxGwLibDiscoverThread: Bug? select() returned %u, but found no socket with data ready!\n",
                         unsigned(n));
            if (s >= 0)
            {
                sockaddr_in from{};
                socklen_t fl = sizeof(from);
                ssize_t len = recvfrom(s, buf.get(), kUdpMaxPacket, 0, reinterpret_cast<sockaddr*>(&from), &fl);
                /* A port socket is shared: another instance may have read the packet that woke both; one read
                 * here for another instance goes to that one's inbox, whatever the state of this one. */
                const bool fTakenByOther = len < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !fPoll;
                const bool fOwn = !fTakenByOther && (len <= 0 || fPoll ||
                                                     PortPacketDispatch(c, s, buf.get(), size_t(len),
                                                                        from.sin_addr.s_addr, from.sin_port));
                if (!fOwn)
                {
                    /* nothing read, or read for another instance */
                }
                else if (c->fDisabled)
                {
                    Trace(c, 3, "VqxGwLibDiscoverThread: Ignoring, remote detect is disabled.");
                    SleepMs(c, 100);
                }
                else if (len <= 0)
                    Trace(c, 3, "VqxGwLibDiscoverThread receiving 0 bytes. Peer may have rebooted.");
                else
                    HandlePacket(c, buf.get(), size_t(len), from.sin_addr.s_addr, from.sin_port, fPoll);
            }
        }
        PortInboxHandle(c);
        if (!c->fDestroying)
        {
            Periodic(c);
            ConflictLinesLeftOut(c);
        }
    }
    Unlock(c);
    return 0;
}

} // namespace vqxgw
