/*
 * fuzz_gw_packets.cpp - what peers send an instance before any batch: UDP
 * packets (discovery, specific discovery, polls, adapter and host
 * advertisements) through the real source filter, dispatch and peer
 * creation and update, and the handshake blocks of accepted links after
 * their read. The instance is a real one from VqxGwLibAllocate, made without
 * any socket (no port, no poll socket, no accept socket) and never enabled:
 * its answers go nowhere, its state is the library's own.
 *
 * Input: byte 0 sets up the instance (bit 0 adapters' instance, bit 1
 * loopback only, bit 2 auto discovery off, bits 3-4 local gw0 / gw0 and gw1
 * addresses, bit 5 an allowed subnet, bit 6 excluded). Then records of a
 * flags byte, a 16-bit big-endian length (cut at what is left) and the
 * bytes: flags bits 0-1 are 0 broadcast socket, 1 poll socket, 2 handshake
 * block; bits 2-4 pick the sender's address. After every record the peers
 * must be sound: found under their handle, texts terminated, path addresses
 * those of their texts, at most 64 of them.
 */
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gwlib_internal.h"

using namespace vqxgw;

namespace
{

u32 TwoInterfaces(u32 max, u32* a, u32* b, u32* m)
{
    const u32 addr[2] = {0x0A000001u, 0x0A000101u};
    u32 n = max < 2 ? max : 2;
    for (u32 i = 0; i < n; i++)
    {
        a[i] = htonl(addr[i]);
        m[i] = htonl(0xFFFFFF00u);
        b[i] = htonl(addr[i] | 0xFFu);
    }
    return n;
}

u32 g_now = 1000;
u32 FakeClock()
{
    return g_now;
}

void Ignore(void*, const char*, ...) {}
void IgnoreTrace(void*, u32, const char*, ...) {}
VQX_RESULT Available(void*, u32* p)
{
    *p = 1;
    return VQX_RESULT_OK;
}

const u32 kSources[8] = {0x7F000001u, 0x0A000005u, 0x0A000105u, 0x0A000009u,
                         0x0A000109u, 0xC0A80101u, 0u,          0xFFFFFFFFu};

/* An invariant: a failure names its line and aborts. */
#define Check(f) ((f) ? (void)0 : (std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #f), std::abort()))

bool Terminated(const char* p, size_t n)
{
    return std::memchr(p, '\0', n) != nullptr;
}

void CheckPeers(GwLibCtx* c)
{
    u32 n = 0;
    for (Peer* p : Peers(c))
    {
        n++;
        Check(FindPeer(c, p->hPeer) == p);
        if (p->fIsAdapter)
        {
            const VQX_GW_ADAPTER_INFO& a = p->Adapter.Info;
            Check(Terminated(a.szAdapterName, 128) && Terminated(a.szSerialNumber, 128));
            Check(Terminated(a.szIpAddress0, 64) && Terminated(a.szIpAddress1, 64));
            Check(p->sName == a.szAdapterName);
        }
        else
        {
            const VQX_GW_HOST_INFO& h = p->Host.Info;
            Check(Terminated(h.szHostName, 128) && Terminated(h.szAppName, 128));
            Check(Terminated(h.szIpAddress0, 64) && Terminated(h.szIpAddress1, 64));
            Check(p->sName == std::string(h.szHostName) + "." + h.szAppName);
            Check(p->hPeer >> 24 == c->Params.un8PeerHandlesBase);
        }
        for (const PathCtx& g : p->Gw)
            Check(g.pszAddr != nullptr && g.un32Addr == IpFromText(g.pszAddr));
    }
    Check(n <= MaxPeers(c) && c->Waiting.size() <= kMaxWaitingPeers);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    VqxGwLibSetInterfaceProvider(TwoInterfaces);
    VQXGetIpInterfacesInit();
    VqxGwLibSetClock(FakeClock);
    g_now = 1000;
    const u8 setup = data[0];
    const bool fAda = setup & 1;
    VqxGwLibParams P{};
    P.un32GwDiscoveryId = fAda ? 0x47574449u : 0x484C4449u;
    P.un32GwDiscoverySpecificId = fAda ? 0x47574453u : 0x484C4453u;
    P.un32GwPollId = fAda ? 0x47575049u : 0x484C5049u;
    P.un32GwReplyId = fAda ? 0x47575041u : 0x484C5041u;
    P.un64PollHostCtxId = 0x0A00000100001234ull;
    P.un8PeerHandlesBase = fAda ? 0xCA : 0xCB;
    P.fIsGw0 = P.fIsGw1 = 1;
    P.fDetectAdapters = fAda;
    P.fLocalLoopbackOnly = (setup >> 1) & 1;
    P.fDisableAutoDiscovery = (setup >> 2) & 1;
    const u32 localGw = (setup >> 3) & 3;
    char* ip0 = fAda ? P.AdapterGwParams.szIpAddress0 : P.HostGwParms.szIpAddress0;
    char* ip1 = fAda ? P.AdapterGwParams.szIpAddress1 : P.HostGwParms.szIpAddress1;
    if (localGw >= 1)
        std::strcpy(ip0, "10.0.0.1");
    if (localGw >= 2)
        std::strcpy(ip1, "10.0.1.1");
    /* the names the specific discovery seeds ask for */
    std::strcpy(P.AdapterGwParams.szSerialNumber, "hostA");
    std::strcpy(P.HostGwParms.szHostName, "hostA");
    std::strcpy(P.HostGwParms.szAppName, "appB");
    P.HostGwParms.un64UniqueId = P.un64PollHostCtxId;
    u32 subnet = htonl(0x0A000100u);
    if (setup & 0x20)
    {
        P.un32NbAllowedSubnets = 1;
        P.paun32AllowedSubnetIps = &subnet;
        P.fAllowedSubnetsExclude = (setup >> 6) & 1;
    }
    VQX_GW_EXTRA_ADDR extra[2] = {};
    std::strcpy(extra[0].szIpAddress0, "10.0.0.9");
    std::strcpy(extra[0].szIpAddress1, "10.0.1.9");
    extra[0].un16Port = 5000;
    std::strcpy(extra[1].szIpAddress0, "hostA");
    std::strcpy(extra[1].szIpAddress1, "appB");
    extra[1].un16Port = 5001;
    P.un32NbExtraGwAddr = 2;
    P.paExtraGwAddr = extra;
    P.RedundancyParams = {1, 2000, 4500, 10000, 1, 1, 0};
    P.pFctErrorLog = Ignore;
    P.pFctTraceLog = IgnoreTrace;
    P.pFctGetEthAvailability = Available;
    VqxGwLibContext h = nullptr;
    if (VqxGwLibAllocate(&P, &h) != VQX_RESULT_OK)
        std::abort();
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(h);

    size_t pos = 1;
    while (size - pos >= 3)
    {
        const u8 flags = data[pos];
        size_t len = size_t(data[pos + 1]) << 8 | data[pos + 2];
        pos += 3;
        if (len > size - pos)
            len = size - pos;
        if (len > kUdpMaxPacket)
            len = kUdpMaxPacket;
        /* exactly len bytes, so that AddressSanitizer sees any read past them */
        std::vector<u8> pkt(data + pos, data + pos + len);
        pos += len;
        const u32 src = htonl(kSources[(flags >> 2) & 7]);
        g_now += 100 * (flags >> 5);
        Lock(c);
        switch (flags & 3)
        {
        case 0:
        case 1:
            HandlePacket(c, pkt.data(), pkt.size(), src, htons(u16(40000 + (flags >> 5))), (flags & 3) == 1);
            break;
        default:
            if (HandshakeLengthOk(c, u32(pkt.size())))
                AcceptBlock(c, pkt.data(), u32(pkt.size()), src);
            break;
        }
        CheckPeers(c);
        Unlock(c);
    }
    VqxGwLibDestroy(h);
    return 0;
}
