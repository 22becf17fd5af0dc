/*
 * gwlib_ports.cpp - the gateway ports' UDP sockets, one per port for the
 * whole process. The host library runs two instances at the same ports (the
 * adapters' and the hosts'); were each to bind its own socket there, the
 * kernel would hand a datagram sent to one address (not a broadcast) to one
 * of them only, and the other instance would never see its own peers'
 * discoveries and advertisements. So the first instance at a port opens the
 * socket and the later ones share it; every instance listed there waits on
 * it in its discover thread, and the one that reads a packet dispatches it by
 * its first word (the four identifiers of each instance): its own it handles
 * at once, another instance's it queues in that instance's inbox and wakes
 * its discover thread, which handles it under its own lock. A packet no
 * instance's identifiers name is the reader's (it logs it as unknown).
 *
 * Locking: the registry mutex is a leaf (nothing is called with it held but
 * the inbox push and the wake pipe's write); an instance's inbox has its own
 * mutex, taken alone or under the registry's. Instance locks are never taken
 * here.
 */
#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <utility>

#include "gwlib_internal.h"

namespace vqxgw
{

namespace
{

/* What an instance's inbox may hold: as much as the socket's own buffer. */
constexpr size_t kInboxMaxBytes = 2 * 65535;

struct PortUser
{
    GwLibCtx* c;
    u32 aun32Ids[4]; /* discovery, specific discovery, poll, reply: fixed for the instance's life */
    u32 un32Refs;    /* slots of its port table bound here (a port listed twice) */
};

struct PortEntry
{
    u16 un16Port;
    int iSocket;
    std::vector<PortUser> Users;
};

std::mutex& RegistryMutex()
{
    static std::mutex m;
    return m;
}

std::vector<PortEntry>& Registry()
{
    static std::vector<PortEntry> v;
    return v;
}

PortEntry* FindPort(u16 port)
{
    for (PortEntry& e : Registry())
        if (e.un16Port == port)
            return &e;
    return nullptr;
}

PortEntry* FindSocket(int s)
{
    for (PortEntry& e : Registry())
        if (e.iSocket == s)
            return &e;
    return nullptr;
}

bool Names(const PortUser& u, u32 id)
{
    for (u32 k : u.aun32Ids)
        if (k == id)
            return true;
    return false;
}

/* Under the registry mutex: c listed at e (once, counted). */
void Join(PortEntry& e, GwLibCtx* c)
{
    for (PortUser& u : e.Users)
        if (u.c == c)
        {
            u.un32Refs++;
            return;
        }
    const VqxGwLibParams& P = c->Params;
    e.Users.push_back({c, {P.un32GwDiscoveryId, P.un32GwDiscoverySpecificId, P.un32GwPollId, P.un32GwReplyId}, 1});
}

} // namespace

int PortSocketAcquire(GwLibCtx* c, u16 port)
{
    {
        std::lock_guard<std::mutex> g(RegistryMutex());
        if (PortEntry* e = FindPort(port))
        {
            Join(*e, c);
            Trace(c, 4, "VQXGwLibOpenBroadcastSocket: port %u shared with the other instances there", unsigned(port));
            return e->iSocket;
        }
    }
    /* Opened without the mutex (its failures are logged through the instance's callback). */
    const int s = OpenUdpSocket(c, "VQXGwLibOpenBroadcastSocket", port, true);
    if (s < 0)
        return -1;
    int iOther = -1;
    {
        std::lock_guard<std::mutex> g(RegistryMutex());
        PortEntry* e = FindPort(port);
        if (e == nullptr)
        {
            Registry().push_back({port, s, {}});
            e = &Registry().back();
        }
        else
            iOther = e->iSocket; /* another instance opened it meanwhile */
        Join(*e, c);
    }
    if (iOther >= 0)
    {
        close(s);
        return iOther;
    }
    return s;
}

void PortSocketsRelease(GwLibCtx* c)
{
    std::vector<int> aClose;
    {
        std::lock_guard<std::mutex> g(RegistryMutex());
        std::vector<PortEntry>& v = Registry();
        for (int& s : c->aiBcastSocket)
        {
            if (s < 0)
                continue;
            PortEntry* e = FindSocket(s);
            s = -1;
            if (e == nullptr)
                continue;
            for (size_t i = 0; i < e->Users.size(); i++)
                if (e->Users[i].c == c && --e->Users[i].un32Refs == 0)
                {
                    e->Users.erase(e->Users.begin() + long(i));
                    break;
                }
            if (e->Users.empty())
            {
                aClose.push_back(e->iSocket);
                v.erase(v.begin() + (e - v.data()));
            }
        }
    }
    for (int s : aClose)
        close(s);
    std::lock_guard<std::mutex> g(c->InboxMutex);
    c->Inbox.clear();
    c->un64InboxBytes = 0;
}

bool PortPacketDispatch(GwLibCtx* c, int s, const u8* buf, size_t len, u32 src, u16 srcPort)
{
    if (len < 4)
        return true;
    u32 id;
    std::memcpy(&id, buf, 4);
    id = ntohl(id);
    bool fMine = false, fAnyone = false;
    std::lock_guard<std::mutex> g(RegistryMutex());
    PortEntry* e = FindSocket(s);
    if (e == nullptr)
        return true;
    for (PortUser& u : e->Users)
    {
        if (!Names(u, id))
            continue;
        fAnyone = true;
        if (u.c == c)
        {
            fMine = true;
            continue;
        }
        {
            std::lock_guard<std::mutex> gi(u.c->InboxMutex);
            if (u.c->un64InboxBytes + len > kInboxMaxBytes)
            {
                u.c->un32InboxDropped++;
                continue;
            }
            u.c->Inbox.push_back({std::vector<u8>(buf, buf + len), src, srcPort});
            u.c->un64InboxBytes += len;
        }
        WakePipe(u.c->aiDiscoverWakePipe[1]);
    }
    return fMine || !fAnyone;
}

void PortInboxHandle(GwLibCtx* c)
{
    std::vector<UdpPacket> aTaken;
    u32 un32Dropped = 0;
    {
        std::lock_guard<std::mutex> g(c->InboxMutex);
        aTaken.swap(c->Inbox);
        c->un64InboxBytes = 0;
        un32Dropped = std::exchange(c->un32InboxDropped, 0u);
    }
    /* Told where the application's log shows it: a flood that fills the inbox costs packets of this
     * instance's own peers (discoveries, polls). Once a second at most, with every packet since the last line. */
    c->un32InboxDropsUnsaid += un32Dropped;
    if (c->un32InboxDropsUnsaid != 0)
    {
        u32 un32LeftOut = 0;
        const bool fTell = un32Dropped != 0 ? c->InboxDropLogLimit.Allow(Now(), un32LeftOut)
                                            : (un32LeftOut = c->InboxDropLogLimit.TakeDue(Now())) != 0;
        char szLeftOut[64];
        if (fTell)
            ErrorLog(c, "VqxGwLibDiscoverThread: %u packet(s) for this instance dropped, its inbox full%s\n",
                     unsigned(std::exchange(c->un32InboxDropsUnsaid, 0u)),
                     VqxLogLimitLeftOutText(un32LeftOut, szLeftOut, sizeof(szLeftOut)));
    }
    for (const UdpPacket& p : aTaken)
    {
        if (c->fDisabled)
            Trace(c, 3, "VqxGwLibDiscoverThread: Ignoring, remote detect is disabled.");
        else
            HandlePacket(c, p.aData.data(), p.aData.size(), p.un32Src, p.un16SrcPort, false);
    }
}

} // namespace vqxgw
