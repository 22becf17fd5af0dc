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
 * Between processes a port is shared too (several applications of one host
 * hear the same broadcasts), but not by two that detect adapters: the second
 * would link to the first one's boards and take them (a board keeps one link
 * a path), the first tracing nothing more, neither knowing. The first
 * adapters' instance of a process at a port claims it for the process: a
 * listening socket of the abstract local namespace named after the port (it
 * goes with the process, however it ends); another process's instance finds
 * the name taken and is refused, naming the holder (its credentials, read by
 * connecting to the name). The process's later adapters' instances there
 * share the claim, the last one leaving gives it up.
 *
 * Locking: the registry mutex is a leaf (nothing is called with it held but
 * the inbox push and the wake pipe's write); an instance's inbox has its own
 * mutex, taken alone or under the registry's; the claims' mutex is a leaf as
 * well (system calls only). Instance locks are never taken here.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
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

/* The claims of this process's adapters' instances, by port. */
struct AdaptersClaim
{
    u16 un16Port;
    int iSocket;
    u32 un32Refs;
};

std::mutex& ClaimMutex()
{
    static std::mutex m;
    return m;
}

std::vector<AdaptersClaim>& Claims()
{
    static std::vector<AdaptersClaim> v;
    return v;
}

/* The abstract name of port's claim (its leading byte 0) and the address's length. */
socklen_t ClaimAddress(u16 port, sockaddr_un& a)
{
    a = sockaddr_un{};
    a.sun_family = AF_UNIX;
    const int n = snprintf(a.sun_path + 1, sizeof(a.sun_path) - 1, "vqx-gw-adapters-%u", unsigned(port));
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(n));
}

/* The process holding port's claim, 0 when it cannot be told (gone meanwhile, its backlog full). */
pid_t ClaimHolder(u16 port)
{
    sockaddr_un a;
    const socklen_t len = ClaimAddress(port, a);
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    pid_t pid = 0;
    ucred cred{};
    socklen_t credLen = sizeof(cred);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
        getsockopt(s, SOL_SOCKET, SO_PEERCRED, &cred, &credLen) == 0)
        pid = cred.pid;
    if (s >= 0)
        close(s);
    return pid;
}

/* Claims port for this process's adapters' instances (once more when it holds it already). 0 on success; else
 * errno of the bind (EADDRINUSE: another process holds it). */
int ClaimTake(u16 port)
{
    std::lock_guard<std::mutex> g(ClaimMutex());
    for (AdaptersClaim& k : Claims())
        if (k.un16Port == port)
        {
            k.un32Refs++;
            return 0;
        }
    sockaddr_un a;
    const socklen_t len = ClaimAddress(port, a);
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return errno;
    /* Listening, so that a refused process may learn who holds it; nothing is ever accepted. */
    if (bind(s, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(s, 4) != 0)
    {
        const int e = errno;
        close(s);
        return e;
    }
    Claims().push_back({port, s, 1});
    return 0;
}

void ClaimGive(u16 port)
{
    int iClose = -1;
    {
        std::lock_guard<std::mutex> g(ClaimMutex());
        std::vector<AdaptersClaim>& v = Claims();
        for (size_t i = 0; i < v.size(); i++)
            if (v[i].un16Port == port && --v[i].un32Refs == 0)
            {
                iClose = v[i].iSocket;
                v.erase(v.begin() + long(i));
                break;
            }
    }
    if (iClose >= 0)
        close(iClose);
}

/* c's claim on port when it detects adapters; false (the cause logged) when it cannot be had. */
bool ClaimForAdapters(GwLibCtx* c, u16 port)
{
    if (!c->Params.fDetectAdapters)
        return true;
    const int e = ClaimTake(port);
    if (e == 0)
        return true;
    if (e != EADDRINUSE)
    {
        errno = e;
        ErrnoLog(c, "VQXGwLibOpenBroadcastSocket: claim of the port failed");
        return false;
    }
    const pid_t holder = ClaimHolder(port);
    char szHolder[32] = "another process";
    if (holder > 0)
        snprintf(szHolder, sizeof(szHolder), "process %d", int(holder));
    ErrorLog(c, "VQXGwLibOpenBroadcastSocket: Gateway port %u is held by %s, which detects adapters there: not "
                "opened (two processes at one port would take each other's boards)\n",
             unsigned(port), szHolder);
    return false;
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

/* The port's socket, opened or shared (c listed there); -1 when it cannot be opened (logged). */
int PortSocketShare(GwLibCtx* c, u16 port)
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

} // namespace

int PortSocketAcquire(GwLibCtx* c, u16 port)
{
    if (!ClaimForAdapters(c, port))
    {
        c->fPortHeld = true;
        return -1;
    }
    const int s = PortSocketShare(c, port);
    if (s < 0 && c->Params.fDetectAdapters)
        ClaimGive(port);
    return s;
}

void PortSocketsRelease(GwLibCtx* c)
{
    std::vector<int> aClose;
    std::vector<u16> aGiven; /* ports whose claim c gives up */
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
            if (c->Params.fDetectAdapters)
                aGiven.push_back(e->un16Port);
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
    for (u16 port : aGiven)
        ClaimGive(port);
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
