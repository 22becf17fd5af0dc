/*
 * gwlib_ifaces.cpp - the process-wide table of local IPv4 interfaces
 * (address, broadcast, netmask; at most 16), shared by both transport
 * instances and the host library, and the test seams (interface provider,
 * clock, broadcast redirect). Confined to loopback, the table is the
 * loopback interface alone and discovery goes to 127.0.0.1: nothing the
 * transports send leaves the host.
 */
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <atomic>
#include <mutex>

#include "gwlib_internal.h"
#include "vqx_clock.h"

namespace
{
struct IfaceTable
{
    std::recursive_mutex m;
    bool fInit = false;
    u32 un32Count = 0;
    u32 aAddr[VQX_GW_MAX_INTERFACES]{};
    u32 aBcast[VQX_GW_MAX_INTERFACES]{};
    u32 aMask[VQX_GW_MAX_INTERFACES]{};
};
IfaceTable& Table()
{
    static IfaceTable t;
    return t;
}
std::atomic<PFN_VQX_GW_IFACE_PROVIDER> g_pFctProvider{nullptr};
std::atomic<PFN_VQX_GW_CLOCK> g_pFctClock{nullptr};
std::atomic<u32> g_un32BroadcastRedirect{0};
std::atomic<u32> g_fLoopbackOnly{0};

constexpr u32 kLoopbackHost = 0x7F000001u; /* 127.0.0.1 */

/* The loopback interface as the table holds it: 127.0.0.1/8. */
u32 ReadLoopback(u32 max, u32* a, u32* b, u32* m)
{
    if (max == 0)
        return 0;
    a[0] = htonl(kLoopbackHost);
    b[0] = htonl(0x7FFFFFFFu);
    m[0] = htonl(0xFF000000u);
    return 1;
}

u32 ReadSystem(u32 max, u32* a, u32* b, u32* m)
{
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return 0;
    u32 n = 0;
    for (struct ifaddrs* i = list; i != nullptr && n < max; i = i->ifa_next)
    {
        if (i->ifa_name == nullptr || i->ifa_addr == nullptr || i->ifa_netmask == nullptr ||
            i->ifa_broadaddr == nullptr || i->ifa_addr->sa_family != AF_INET)
            continue;
        u32 addr = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
        u32 mask = reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr;
        u32 bcast = reinterpret_cast<sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr;
        u32 hostAddr = ntohl(addr);
        u32 first = hostAddr >> 24;
        if (first == 0 || first > 223 || mask == 0)
            continue;
        if ((addr | mask) == 0xFFFFFFFFu) /* the all-ones host of its subnet */
            continue;
        if (hostAddr == 0x7F000000u || hostAddr == 0x7F000001u)
            continue;
        a[n] = addr;
        b[n] = bcast;
        m[n] = mask;
        n++;
    }
    freeifaddrs(list);
    return n;
}
} // namespace

extern "C" {

VQX_RESULT VQXGetIpInterfacesInit(void)
{
    IfaceTable& t = Table();
    {
        std::lock_guard<std::recursive_mutex> g(t.m);
        t.un32Count = 0;
        t.fInit = true;
    }
    return VQXGetIpInterfacesRefresh();
}

VQX_RESULT VQXGetIpInterfacesRefresh(void)
{
    u32 a[VQX_GW_MAX_INTERFACES], b[VQX_GW_MAX_INTERFACES], m[VQX_GW_MAX_INTERFACES];
    PFN_VQX_GW_IFACE_PROVIDER p = g_pFctProvider.load();
    u32 n = p != nullptr            ? p(VQX_GW_MAX_INTERFACES, a, b, m)
            : g_fLoopbackOnly.load() ? ReadLoopback(VQX_GW_MAX_INTERFACES, a, b, m)
                                     : ReadSystem(VQX_GW_MAX_INTERFACES, a, b, m);
    if (n > VQX_GW_MAX_INTERFACES)
        n = VQX_GW_MAX_INTERFACES;
    IfaceTable& t = Table();
    std::lock_guard<std::recursive_mutex> g(t.m);
    t.fInit = true;
    t.un32Count = n;
    for (u32 i = 0; i < n; i++)
    {
        t.aAddr[i] = a[i];
        t.aBcast[i] = b[i];
        t.aMask[i] = m[i];
    }
    return VQX_RESULT_OK;
}

VQX_RESULT VQXGetIpInterfaces(u32* pun32Count, u32* paun32Addr, u32* paun32Bcast, u32* paun32Mask)
{
    if (pun32Count == nullptr)
        return VQX_RESULT_NULL_PARAM;
    IfaceTable& t = Table();
    std::lock_guard<std::recursive_mutex> g(t.m);
    if (!t.fInit)
        return VQX_RESULT_INVALID_STATE;
    if (paun32Addr == nullptr)
    {
        *pun32Count = t.un32Count;
        return VQX_RESULT_OK;
    }
    u32 n = *pun32Count < t.un32Count ? *pun32Count : t.un32Count;
    for (u32 i = 0; i < n; i++)
    {
        paun32Addr[i] = t.aAddr[i];
        if (paun32Bcast != nullptr)
            paun32Bcast[i] = t.aBcast[i];
        if (paun32Mask != nullptr)
            paun32Mask[i] = t.aMask[i];
    }
    *pun32Count = n;
    return VQX_RESULT_OK;
}

VQX_RESULT VQXGetIpInterfacesUninit(void)
{
    IfaceTable& t = Table();
    std::lock_guard<std::recursive_mutex> g(t.m);
    t.fInit = false;
    t.un32Count = 0;
    return VQX_RESULT_OK;
}

void VqxGwLibSetLoopbackOnly(u32 fOn)
{
    g_fLoopbackOnly.store(fOn != 0 ? 1u : 0u);
}

u32 VqxGwLibLoopbackOnly(void)
{
    return g_fLoopbackOnly.load();
}

void VqxGwLibSetInterfaceProvider(PFN_VQX_GW_IFACE_PROVIDER pFct)
{
    g_pFctProvider.store(pFct);
}

void VqxGwLibSetClock(PFN_VQX_GW_CLOCK pFct)
{
    g_pFctClock.store(pFct);
}

void VqxGwLibSetBroadcastRedirect(u32 un32Addr)
{
    g_un32BroadcastRedirect.store(un32Addr);
}

} // extern "C"

namespace vqxgw
{

u32 Now()
{
    PFN_VQX_GW_CLOCK p = g_pFctClock.load();
    return p != nullptr ? p() : u32(VQXGetClock());
}

u32 BroadcastRedirect()
{
    /* The loopback interface's broadcast reaches no peer bound to 127.0.0.1: send there instead. */
    const u32 un32Redirect = g_un32BroadcastRedirect.load();
    return un32Redirect != 0 || !g_fLoopbackOnly.load() ? un32Redirect : htonl(kLoopbackHost);
}

void RefreshIfaces(GwLibCtx* c)
{
    VQXGetIpInterfacesRefresh();
    u32 n = VQX_GW_MAX_INTERFACES;
    if (VQX_RESULT_FAILED(VQXGetIpInterfaces(&n, c->aun32IfAddr, c->aun32IfBcast, c->aun32IfMask)))
        n = 0;
    c->un32NbIfaces = n;
}

int IfaceIndexOf(GwLibCtx* c, u32 addr)
{
    for (u32 i = 0; i < c->un32NbIfaces; i++)
        if (c->aun32IfAddr[i] == addr)
            return int(i);
    return -1;
}

bool IsLocalAddress(GwLibCtx* c, u32 addr)
{
    return addr != 0 && IfaceIndexOf(c, addr) >= 0;
}

} // namespace vqxgw
