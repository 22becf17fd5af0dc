/*
 * gwlib_internal.h - the context of a gateway transport instance, its peers
 * and paths, shared by the files of the library only (not a public header).
 *
 * Locking: every field below is read and written under the instance lock
 * (internal recursive mutex or the user's external lock), except the atomics
 * of the thread records. Threads release the lock around blocking calls and
 * callbacks through LockRelease.
 */
#ifndef GWLIB_INTERNAL_H
#define GWLIB_INTERNAL_H

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gwlib_rxparse.h"
#include "vqx_gwlib.h"
#include "vqx_gwlib_wire.h"
#include "vqx_hash.h"
#include "vqx_log_limit.h"
#include "vqx_pool.h"
#include "vqx_thread.h"

namespace vqxgw
{

constexpr u32 kMaxAdapterPeers = VQX_GW_MAX_ADAPTER_PEERS;
constexpr u32 kMaxHostPeers = VQX_GW_MAX_HOST_PEERS;
constexpr u32 kMaxRefusedNamed = 256; /* boards remembered as named not linked */
constexpr u32 kMaxWaitingPeers = 256; /* peers waiting for a record, in arrival order */
constexpr u32 kMaxWaitingApart = 1024; /* peers past those, listed by name until they join the queue */
constexpr u32 kWaitingHeardMs = 30000; /* a waiting peer not heard from for longer leaves the queue */
constexpr u32 kRingSize = 256;
constexpr u32 kCoalesceSize = 5840;
constexpr u32 kRedRingEntries = 3000;
constexpr u32 kRxChunk = 16384;
constexpr u32 kMaxPendingEvents = 128;
constexpr u8 kPathUndecided = 255;

enum ConnMode : u32
{
    kModeUndecided = 0,
    kModeIn = 1,
    kModeOut = 2,
    kModeSeparate = 3
};

/* An event: a flag with a condition; waiters clear the flag themselves. */
struct GwEvent
{
    std::mutex m;
    std::condition_variable cv;
    bool fSet = false;
    void SetNow();
    /* Waits up to ms for the flag; returns whether it was set; clears it. */
    bool Wait(u32 ms);
};

struct GwLibCtx;
struct ThreadRec
{
    VQX_THREAD_RECORD rec{};
    GwLibCtx* pCtx = nullptr;
    std::atomic<u32> fRunning{0};
    std::atomic<u32> fStop{0};
    std::atomic<u32> fDone{0};
    GwEvent sem;
    bool fCreated = false;
};

struct TxEntry
{
    void* pMsg = nullptr;
    u32 un32Size = 0;
    u32 un32Seq = 0;
    u8 un8PathsDone = 0;
    u8 fFree = 0;
};

struct RedRing
{
    std::unique_ptr<u32[]> aSeq;
    std::unique_ptr<u16[]> aSize8;
    u32 un32Head = 0;
    u32 un32Count = 0;
    u64 un64Bytes = 0;
    u32 un32DroppedSeq = 0;
};

struct PathCtx
{
    const char* pszAddr = nullptr; /* text in the stored block */
    u32 un32Addr = 0;              /* network order */
    u16 un16UdpPort = 0;           /* network order, 0 unknown */
    u8 fConnecting = 0;
    int iRxSocket = -1;
    int iTxSocket = -1;
    u32 tLastUdpPoll = 0, tLastSeen = 0, tLastTxClose = 0, tLastAccept = 0, tDownSince = 0;
    u32 tLastTcpPollSent = 0;
    /* The TCP keep-alive (gwlib_keepalive.cpp): tLastSign, when the peer
     * gave its last sign of life (a byte arrived, a reply read, bytes found
     * waiting unread; the path's first poll, until then);
     * tPollUnanswered, when the first poll written since was handed to the
     * socket (0: none); tGraceFrom, the late wake of the discover thread
     * whose grace the silence now judged had (0: none). */
    u32 tLastSign = 0;
    u32 tPollUnanswered = 0;
    u32 tGraceFrom = 0;
    /* The socket's record at the keep-alive's last look, and the span over
     * which it refused the peer's segments (its TCP then backs off before it
     * sends them again). fRxHeld: that look found bytes waiting unread;
     * tRxRead: when the receive thread last read bytes from the socket (0:
     * not since the record began). */
    bool fRefused = false, fRxHeld = false;
    u32 tTcpLook = 0, un32TcpDrops = 0, tRefusedFrom = 0, tRefusedLast = 0, tRxRead = 0;
    u64 un64TcpBytesIn = 0;
    u32 fForceCloseConnectionRx = 0;
    u32 fForceCloseConnectionTx = 0;
    u32 fRxReplace = 0; /* separate sockets: a new receive link replaces this one */
    u32 un32CloseReason = 0;
    /* This side closes the path (keep-alive, redundancy, the user): what its
     * socket already holds is read and delivered first (the reason may be
     * reported and cleared before). */
    bool fDrainOnClose = false;
    /* The instance's close ends the link (FinishLinks): once what is queued is written its write side is shut
     * down (fWriteShut), and it is read until the peer closes its end. */
    bool fFinish = false, fWriteShut = false;
    bool fReportedUp = false;
    /* What this side had given the path that its peer had not taken when its transmit link last closed
     * (VqxGwLibPathUntaken): queued, or written and not acknowledged by the peer's TCP. */
    u64 un64UntakenAtClose = 0;
    /* receive */
    RxParser Parser;
    u32 un32CurrentBytesInBuffers = 0;
    /* transmit */
    u8 un8ReadIdx = 0;
    u32 un32TakenInEntry = 0;
    u64 un64Pending = 0;
    bool fHdrInProgress = false;
    bool fHdrDone = false;
    u32 un32HdrWritten = 0;
    u32 un32BatchCount = 0;
    u32 un32BatchTaken = 0;
    u8 aHdr[kBatchHeaderSize]{};
    bool fPollPending = false;
    u32 un32PollLen = 0, un32PollWritten = 0;
    u8 aPoll[kAdapterPollSize]{};
    bool fReplyPending = false;
    u32 un32ReplyLen = 0, un32ReplyWritten = 0;
    u8 aReply[kAdapterPollSize]{};
    std::unique_ptr<u8[]> pCoal;
    u32 un32CoalFill = 0;
    bool fInWriteSet = false;
};

struct Peer
{
    u32 hPeer = 0;
    bool fIsAdapter = false;
    VQX_GW_ADAPTER_ADV Adapter{};
    VQX_GW_HOST_ADV Host{};
    std::string sName;
    bool fReported = false, fSomeUp = false, fDying = false, fRxBusy = false, fConnectBusy = false;
    u32 un32InCallback = 0;
    u32 tDiscovered = 0, tLastConnectAttempt = 0;
    u32 un32TcpPort = 0;
    u16 un16SockBuf = 65535;
    u8 aun8UseGw[2] = {1, 1};
    VqxGwLibRedundancyParams Red{};
    bool fForcePoll = false, fUdpPolling = false, fTcpPolling = false, fAddrLearned = false;
    bool fEverConnected = false;
    PathCtx Gw[2];
    u32 un32Mode = kModeUndecided;
    TxEntry aRing[kRingSize];
    u8 un8WriteIdx = 0;
    RedRing Red3000;
    u8 un8PathInUse = kPathUndecided;
    u8 un8SentCount = 0;

    u32 Build() const { return fIsAdapter ? Adapter.Info.un32BuildNumber : Host.Info.un32BuildNumber; }
    const void* Block() const { return fIsAdapter ? static_cast<const void*>(&Adapter) : &Host; }
    bool Uses(int gw) const { return gw == 0 ? (Red.fUseGw0 != 0 && aun8UseGw[0]) : (Red.fUseGw1 != 0 && aun8UseGw[1]); }
};

/* A peer that found every record taken (CreatePeer): what it last advertised
 * or gave at its link's handshake, from which address and port (network
 * order), and when. The queue keeps them in arrival order; AdmitWaiting
 * gives a record that frees to the first one. */
struct WaitingPeer
{
    std::string sKey; /* serial number, or host unique id in hex */
    VQX_GW_ADAPTER_ADV Adapter{};
    VQX_GW_HOST_ADV Host{};
    u32 un32Addr = 0;
    u16 un16Port = 0;
    u32 tArrived = 0, tLastHeard = 0;
    bool fNamed = false; /* its "cannot be linked" line written */
};

/* A peer that found every record taken and the queue full: its name, listed with those waiting until it joins
 * the queue (at an advertisement that finds room), is linked or is no longer heard from. */
struct WaitingApartPeer
{
    std::string sKey;  /* as WaitingPeer's */
    std::string sName; /* serial number, or "<host>.<application>" */
    u32 tLastHeard = 0;
};

/* A UDP packet read for another instance (gwlib_ports.cpp); addresses in network order. */
struct UdpPacket
{
    std::vector<u8> aData;
    u32 un32Src;
    u16 un16SrcPort;
};

struct GwLibCtx
{
    VqxGwLibParams Params{};
    std::vector<VQX_GW_EXTRA_ADDR> ExtraAddr; /* resolved copy */
    bool fExternalLock = false;
    VQX_MUTEX_HANDLE hLock = nullptr;
    std::mutex EventsMutex;
    std::vector<GwEvent*> PendingEvents;

    std::atomic<u32> fDisabled{0};
    std::atomic<u32> fDestroying{0};
    bool fClosingLinks = false; /* VqxGwLibCloseLinks is closing the links (under the lock) */
    bool fFinishingLinks = false; /* VqxGwLibDestroy is ending the links (FinishLinks, under the lock) */
    std::atomic<u32> fEnabled{0};
    u32 un32LocalGw[2] = {0, 0};
    u32 un32NbIfaces = 0;
    u32 aun32IfAddr[VQX_GW_MAX_INTERFACES]{}, aun32IfBcast[VQX_GW_MAX_INTERFACES]{}, aun32IfMask[VQX_GW_MAX_INTERFACES]{};
    std::vector<std::pair<u32, u32>> AllowedSubnets; /* subnet, mask; 0/0 = matches nothing */

    int aiBcastSocket[VQX_GW_NB_PORTS];
    int aiPollSocket[2] = {-1, -1};
    int iAcceptSocket = -1;
    u16 un16AcceptPort = 0;
    int aiAcceptWakePipe[2] = {-1, -1};
    int aiDiscoverWakePipe[2] = {-1, -1};
    int aiRxWakePipe[2] = {-1, -1};

    HVQXPOOLOFBUFFERS hPeerPool = nullptr; /* MaxPeers records keyed by peer handle, taken as first used */
    HVQXHASH hHostHash = nullptr;          /* host-peer handle -> unique id */
    u32 un32HostIndex = 0;
    u32 un32SmallestPollDelay = 0;
    u8 aAdv[kAdapterAdvSize]{};
    u32 un32AdvLen = 0;
    bool afRediscover[2] = {false, false};
    u32 t10s = 0, t30s = 0, tLastRediscoverCheck = 0, tLastLostSearch = 0, tLastKeepAlive = 0, tLastExpiry = 0;
    u32 un32LastAvailability = 0;
    bool fHaveAvailability = false;
    u32 tLastDiscoverPass = 0;
    bool fKeepAliveDue = false; /* a poll found a path silent past its limit */
    /* The discover thread's last keep-alive look, and the last look that came
     * late (over kJudgeLateMs after the one before): the keep-alive's grace. */
    u32 tJudgeLook = 0, tLateWake = 0;
    /* The handle conflict lines ([0] adapter, [1] host), which a refused peer's
     * every advertisement repeats: once a second each (discover thread). */
    CVqxLogLimit aConflictLogLimit[2];
    /* Serial numbers of the boards named as not linked (handle conflict, no
     * record to be had), "serial@address" for a second board of a linked
     * board's serial: each named once, until it is linked (discover thread). */
    std::vector<std::string> RefusedAdapters;
    /* Peers waiting for a record, first come first (CreatePeer, AdmitWaiting);
     * fAdmitting while one is being given a record (the lock may be released). */
    std::deque<WaitingPeer> Waiting;
    bool fAdmitting = false;
    /* Peers past the queue (NoteWaiting), each named on a line of its own once a second at most. */
    std::deque<WaitingApartPeer> WaitingApart;
    CVqxLogLimit WaitingApartLogLimit;

    ThreadRec Threads[4]; /* discover, accept, rx, connect */
    GwEvent RxEvent;      /* receive event (created set) */
    GwEvent ConnectEvent; /* the receive thread waits here when no socket is open */
    GwEvent LinkClosedEvent; /* set by the receive thread as it closes a link during VqxGwLibCloseLinks or FinishLinks */
    std::unique_ptr<GwEvent> pPeerEvent;
    bool fRxWaitsOnConnectEvent = false;
    std::unique_ptr<u8[]> pRxBuf;
    /* Packets for this instance that another instance of the process read
     * from a gateway port's socket they share (gwlib_ports.cpp), for the
     * discover thread: under InboxMutex, not the instance lock. */
    std::mutex InboxMutex;
    std::vector<UdpPacket> Inbox;
    u64 un64InboxBytes = 0;
    u32 un32InboxDropped = 0;
    /* Inbox drops not yet told, and their line kept to once a second (discover thread). */
    u32 un32InboxDropsUnsaid = 0;
    CVqxLogLimit InboxDropLogLimit;
    /* A gateway port was refused at allocation: another process detects adapters there. */
    bool fPortHeld = false;
};

/* Walk of the peers in use (newest first). The current peer must not be
 * destroyed inside the loop body: loops that destroy restart from First. */
class PeerIter
{
public:
    PeerIter(HVQXPOOLOFBUFFERS h, void* p) : m_h(h), m_p(p) {}
    Peer* operator*() const { return static_cast<Peer*>(m_p); }
    PeerIter& operator++()
    {
        m_p = VQXPoolOfBuffersNext(m_h, m_p);
        return *this;
    }
    bool operator!=(const PeerIter& o) const { return m_p != o.m_p; }

private:
    HVQXPOOLOFBUFFERS m_h;
    void* m_p;
};
struct PeerRange
{
    HVQXPOOLOFBUFFERS h;
    PeerIter begin() const { return PeerIter(h, VQXPoolOfBuffersFirst(h)); }
    PeerIter end() const { return PeerIter(h, nullptr); }
};
inline PeerRange Peers(const GwLibCtx* c)
{
    return PeerRange{c->hPeerPool};
}
inline Peer* FirstPeer(const GwLibCtx* c)
{
    return static_cast<Peer*>(VQXPoolOfBuffersFirst(c->hPeerPool));
}

enum ThreadIdx
{
    kThDiscover = 0,
    kThAccept = 1,
    kThRx = 2,
    kThConnect = 3
};

/* ---- clock, logs ---- */
u32 Now();
/* Now, 1 instead of 0 (0 marks a time not taken). */
inline u32 NowNotZero()
{
    const u32 t = Now();
    return t != 0 ? t : 1;
}
void ErrorLog(GwLibCtx* c, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
/* The handle conflict lines left out whose second is over, each on a line of its own (discover thread). */
void ConflictLinesLeftOut(GwLibCtx* c);
/* Trace lines reach the trace callback as format and arguments, unformatted:
 * the callback formats only those its level keeps (most are dropped, some
 * come once per received batch). TraceFormat is never run; it only has the
 * compiler check each line's arguments against its format. */
inline void __attribute__((format(printf, 1, 2))) TraceFormat(const char*, ...) {}
template <typename... Args>
inline void TraceArgs(GwLibCtx* c, u32 level, const char* fmt, Args... args)
{
    if (c->Params.pFctTraceLog != nullptr)
        c->Params.pFctTraceLog(c->Params.pTraceCtx, level, fmt, args...);
}
#define Trace(c, level, ...) (false ? TraceFormat(__VA_ARGS__) : TraceArgs((c), (level), __VA_ARGS__))
/* "%s, errno = %d (%s)\n" with the current errno. */
void ErrnoLog(GwLibCtx* c, const char* text);
std::string IpText(u32 addrNet);
u32 IpFromText(const char* psz); /* inet_addr, 0 for empty or invalid/all-ones */

/* ---- lock and events ---- */
void Lock(GwLibCtx* c);
void Unlock(GwLibCtx* c);
/* Releases every level held by this thread for the lifetime of the object. */
class LockRelease
{
public:
    explicit LockRelease(GwLibCtx* c);
    ~LockRelease();
    LockRelease(const LockRelease&) = delete;
    LockRelease& operator=(const LockRelease&) = delete;

private:
    GwLibCtx* m_c;
    u32 m_n;
};
void EventSet(GwLibCtx* c, GwEvent* e);
void EventForget(GwLibCtx* c, GwEvent* e);
void SleepMs(GwLibCtx* c, u32 ms); /* with the lock released */
void WakePipe(int fd);
void DrainPipe(int fd);
/* Wakes the receive thread (its loop then looks again at what there is to write); nothing when it is the caller. */
void WakeRx(GwLibCtx* c);
/* Called by the receive thread of c as it starts: it need not wake itself. */
void MarkRxThread(GwLibCtx* c);
void SetPeerEvent(GwLibCtx* c);

/* ---- waits on descriptors (gwlib_wait.cpp) ---- */
/* The descriptors a thread waits on, through poll(): their numbers have no
 * bound (an fd_set holds only those below FD_SETSIZE). Readiness is asked by
 * descriptor number and means what a select() set would say: readable on
 * data, end of stream or error; writable on room or error. Negative numbers
 * are ignored. Keep one set per thread and Clear it before each round: its
 * storage is reused. */
class WaitSet
{
public:
    void Clear() { m_a.clear(); m_nReady = 0; }
    void AddRead(int fd) { Add(fd, POLLIN); }
    void AddWrite(int fd) { Add(fd, POLLOUT); }
    /* Waits up to ms (0: just looks). Returns the number of ready entries,
     * 0 on time-out, -1 with errno set on failure; a descriptor that is no
     * longer open fails the wait with EBADF, as select() does. */
    int Wait(int ms);
    bool Readable(int fd) const { return Ready(fd, POLLIN, POLLIN | POLLHUP | POLLERR); }
    bool Writable(int fd) const { return Ready(fd, POLLOUT, POLLOUT | POLLERR); }

private:
    void Add(int fd, short ev)
    {
        if (fd >= 0)
            m_a.push_back(pollfd{fd, ev, 0});
    }
    bool Ready(int fd, short asked, short seen) const;
    std::vector<pollfd> m_a;
    size_t m_nReady = 0; /* the ready entries come first after a wait */
};

/* ---- interfaces ---- */
u32 BroadcastRedirect();
void RefreshIfaces(GwLibCtx* c);
int IfaceIndexOf(GwLibCtx* c, u32 addr);
bool IsLocalAddress(GwLibCtx* c, u32 addr);

/* ---- sockets and discovery (gwlib_discover.cpp) ---- */
/* A UDP socket as the instance's sockets are made (SO_REUSEADDR, SO_BROADCAST, 64 KiB buffers, non-blocking),
 * bound at port on any address when fBind; -1 when it cannot be had (logged under fn's name). */
int OpenUdpSocket(GwLibCtx* c, const char* fn, u16 port, bool fBind);
VQX_RESULT SocketsCreate(GwLibCtx* c);
VQX_RESULT OpenPollSocket(GwLibCtx* c, int gw);
int PathSocket(GwLibCtx* c, int gw);
void BuildAdvertisement(GwLibCtx* c);
VQX_RESULT Advertise(GwLibCtx* c, int gw, u32 addrNet, u16 portNet, u8 kind);
VQX_RESULT DiscoveryRound(GwLibCtx* c, u32 un32Request, bool fBroadcast);
void ResolveExtraAddresses(GwLibCtx* c);
u32 DiscoverThread(void* arg);
/* One received UDP packet through the source filter and the dispatch on its
 * first word (answers, peer creation and update), under the lock: the
 * discover thread's step after its read, also called by the fuzz targets
 * (src and srcPort in network order). */
void HandlePacket(GwLibCtx* c, const u8* buf, size_t len, u32 src, u16 srcPort, bool fOnPollSocket);
/* Whether a path down for un32DownMs is searched now: always during the
 * first hour, then in the first 2 s of each minute. */
bool LostPathSearchDue(u32 un32DownMs);
/* The silence after which the keep-alive closes a path of the peer: its
 * network-down delay, its adapter-down delay while the instance uses both
 * paths and one of the peer's is down, 10000 ms for a current host on this
 * machine. */
u32 KeepAliveLimit(const GwLibCtx* c, const Peer* p);

/* ---- the gateway ports' sockets, one per port for the process (gwlib_ports.cpp) ----
 * PortSocketAcquire: the socket bound at port, opened by the first instance
 * of the process there and shared with the later ones; c is listed there
 * until PortSocketsRelease (which gives up every one in c->aiBcastSocket,
 * closing the last user's, and empties c's inbox). An instance that detects
 * adapters also holds the port's claim for its process meanwhile. -1 when
 * it cannot be had, its cause logged (c->fPortHeld set when another process
 * detects adapters at the port).
 * PortPacketDispatch: a packet c's discover thread read from the port socket
 * s, queued for each other instance listed there whose identifiers its first
 * word is (their discover threads woken); true when c handles it (its own
 * identifier, or nobody's). PortInboxHandle: c's discover thread handles what
 * the others queued for it (under c's lock), and tells what was dropped for
 * want of room in its inbox, once a second at most. */
int PortSocketAcquire(GwLibCtx* c, u16 port);
void PortSocketsRelease(GwLibCtx* c);
bool PortPacketDispatch(GwLibCtx* c, int s, const u8* buf, size_t len, u32 src, u16 srcPort);
void PortInboxHandle(GwLibCtx* c);

/* ---- peers, links (gwlib_peer.cpp) ---- */
/* Records of the instance: boards for an adapters' instance, hosts for the other. */
inline u32 MaxPeers(const GwLibCtx* c)
{
    return c->Params.fDetectAdapters ? kMaxAdapterPeers : kMaxHostPeers;
}
Peer* FindPeer(GwLibCtx* c, u32 hPeer);
/* The peer with that handle, null when there is none or it is going. */
Peer* FindLivePeer(GwLibCtx* c, u32 hPeer);
Peer* FindHostPeer(GwLibCtx* c, u64 uid);
Peer* FindAdapterPeer(GwLibCtx* c, const char* serial);
/* An advertisement of the linked board p's serial number from src, an address that is not p's: a second board of
 * that serial, not linked (p's record keeps its addresses), named once per serial number and address. */
bool SecondBoardOfSerial(GwLibCtx* c, const Peer* p, const VQX_GW_ADAPTER_ADV& adv, u32 src);
/* A record for the peer of this advertisement block (adapter or host, as the
 * instance), updated from it. Every record taken, or peers already waiting for
 * one: it waits in the queue, named once (0x82000008); a handle conflict is
 * refused with its own line (0x82000008). */
VQX_RESULT CreatePeer(GwLibCtx* c, const void* block, u32 addr, u16 port, Peer** out);
/* Gives the records free now to the peers waiting, first come first; those not
 * heard from for kWaitingHeardMs leave the queue (discover thread, each pass). */
void AdmitWaiting(GwLibCtx* c);
VQX_RESULT UpdatePeer(GwLibCtx* c, Peer* p, const void* block, u32 addr, u16 port);
void DestroyPeer(GwLibCtx* c, Peer* p);
void RecomputeSmallestPollDelay(GwLibCtx* c);
void RequestClose(GwLibCtx* c, Peer* p, int gw, u32 reason);
/* A close of this side's own (keep-alive, redundancy, the user's): as RequestClose, but what the path's socket
 * already holds is read and delivered first (DrainBeforeClose). */
void RequestCloseRead(GwLibCtx* c, Peer* p, int gw, u32 reason);
void FreshStart(Peer* p);
u32 ConnectThread(void* arg);
u32 AcceptThread(void* arg);
/* Whether the announced length of an accepted link's handshake block may be
 * read: at least an advertisement, at most one UDP packet. */
bool HandshakeLengthOk(const GwLibCtx* c, u32 un32Len);
/* The handshake block of an accepted link from address from (network
 * order), once read: decoded, its peer updated or created. Returns the peer
 * the link may join, or null when the block is refused (undecodable, no
 * peer to be had, or the peer's mode is OUT: this side connects). Under
 * the lock; no socket is touched. */
Peer* AcceptBlock(GwLibCtx* c, const u8* buf, u32 un32Len, u32 from);

/* ---- the TCP keep-alive's judgement (gwlib_keepalive.cpp) ----
 * A path is judged from what its socket received, as the kernel records it
 * whatever this process is doing (stopped, slow, starved or held back by its
 * consumer): the age of the newest data that arrived, the bytes taken in,
 * the segments it dropped, and the bytes waiting unread. The discover thread reads
 * that record a few times a second; the receive thread notes the polls it
 * writes, the replies it reads and its reads.
 *   - a sign of life is a reply read, any byte of the peer that arrived
 *     (a reply may queue behind the peer's own data), bytes found waiting
 *     unread (the peer may send nothing more until they are read), or bytes
 *     the receive thread reads (they may have waited through a stop or a
 *     hold, with no look finding them: a sign as it reads them); a sign after
 *     a poll was handed to the socket answers it (a byte that arrived, only
 *     when kRecordMs after it);
 *   - a path is silent once a poll has gone unanswered for a poll period
 *     and the peer gave no sign of life for the limit;
 *   - the socket's dropped segments are those it refused, full, and the
 *     peer's copies of bytes it took in already (the path's acknowledgements
 *     lost), its keep-alive probes and its window probes. Drops are a
 *     refusal only while the socket was full, as the bytes waiting unread at
 *     this look or the last show, or a read of the receive thread since the
 *     last look (the memory of many small segments can fill the socket while
 *     few bytes wait, between two looks that find it empty). A read marks
 *     only the look interval it was made in, and not across a stop or a late
 *     wake (kJudgeLateMs): drops into a socket with room and nothing to read
 *     are none (a silent peer's copies or keep-alive probes, while this
 *     process is stopped). A peer whose segments were refused sends them
 *     again on a timer that doubles at each try, from TCP's least,
 *     kTcpRtoMinMs: from the span over which they were dropped, the next try
 *     comes within as long again and that least timer, TCP_RTO_MAX at most.
 *     A refusal first seen at a look is dated back to the last look, but no
 *     further than its drops can have backed off over with that least timer
 *     (one drop: none; two: 200 ms; three: 600 ms): the last look may be
 *     long ago (a stop), and a stray copy dropped into a socket holding a
 *     few bytes says nothing of when. Until the next try is due, the peer's
 *     last acknowledgement of what the path sends is a sign of life (its
 *     kernel answers while its TCP backs off), save while a retransmission
 *     of the path is pending: what the path sent waits unacknowledged then,
 *     so the link toward the peer may be cut, and the acknowledgements that
 *     still come (a lone segment the peer sends again carries one) are of
 *     older bytes and tell nothing. A link cut one way with one segment in
 *     flight is closed up to the path's first retransmission later than the
 *     limit and a poll;
 *   - when the judging thread itself wakes late (a machine paused as a
 *     whole records nothing meanwhile, its kernel stopped too), a silence
 *     is judged only once a poll has had its round trip since that wake:
 *     once per silence, never a reset, so that repeated stops still close
 *     a silent peer.
 * The timeout line gives the silence since the peer's last byte arrived.
 * Times are the library's clock in ms, compared by their ages from now,
 * never by a signed difference. Under the lock. */
constexpr u32 kRecordMs = 10;        /* the kernel's record of an arrival is in jiffies: 10 ms at most */
constexpr u32 kJudgeLateMs = 1000;   /* a look this long after the last one: the judging thread woke late, not
                                        * merely slowed by a loaded machine (it waits kJudgeEveryMs at most) */
constexpr u32 kJudgeEveryMs = 250;   /* the discover thread's longest wait */
constexpr u32 kAnswerMs = 200;       /* a poll's answer after its period: a late wake's grace */
constexpr u32 kTcpRtoMinMs = 200;    /* a TCP's least retransmission timer */
constexpr u32 kTcpRtoMaxMs = 120000; /* the longest it backs off to */
/* A poll due on the path now (receive thread): the first one starts the
 * peer's silence. PollWritten: handed to the socket now. */
void PollDue(PathCtx& g, u32 now);
void PollWritten(PathCtx& g, u32 now);
/* A sign of life of the peer at tSign, seen now: the polls written at least
 * un32SureMs before it are answered (one older than the last sign known
 * tells nothing). */
void HeardFrom(PathCtx& g, u32 now, u32 tSign, u32 un32SureMs = 0);
/* The receive thread read bytes from the socket now: a sign of life, and a
 * mark that the socket held bytes (drops seen at the next look may be a
 * refusal). */
void BytesRead(PathCtx& g, u32 now);
/* The discover thread's keep-alive looks at its peers now. */
void JudgeLook(GwLibCtx* c, u32 now);
/* The socket's record: bytes it took in, segments it dropped (refused,
 * full; copies of what it took in already; window probes), since when the
 * newest data it took in arrived;
 * and (UnreadBytes) bytes waiting unread. Of the path's transmit socket,
 * which is another one when the peer links them apart: whether its timer
 * sent again what the peer left unacknowledged (pending until acknowledged)
 * and since when the peer's kernel last acknowledged it (a lone segment the
 * peer sends again refreshes that age, its window probes do not). */
struct TcpCounters
{
    u64 un64BytesIn = 0;
    u32 un32Drops = 0;
    u32 un32AgeMs = 0;
    u32 un32Unread = 0;
    u32 un32Retransmits = 0;
    u32 un32AckAgeMs = 0;
};
bool ReadTcpCounters(const PathCtx& g, TcpCounters& k);
/* Bytes from the peer waiting unread: in the socket or in the chunk being parsed. */
u32 UnreadBytes(const PathCtx& g);
/* The keep-alive's look at a TCP path whose last poll was written, with its
 * socket's record (fCounters false: none could be read, only the bytes
 * unread), and whether its peer is silent past limit; *pun32SilenceMs: the
 * time since its last byte arrived, for the timeout line. */
bool TcpSilent(GwLibCtx* c, Peer* p, int gw, u32 now, u32 limit, bool fCounters, const TcpCounters& k,
               u32* pun32SilenceMs);
/* Whether a poll awaits its answer and the peer gave no sign of life for
 * limit (the keep-alive then looks at once). */
inline bool PollPastLimit(const PathCtx& g, u32 now, u32 limit)
{
    return g.tPollUnanswered != 0 && now - g.tLastSign > limit;
}
/* A path's TCP keep-alive starts afresh: no poll, reply or hold behind it. */
inline void ForgetKeepAlive(PathCtx& g)
{
    g.tLastTcpPollSent = g.tPollUnanswered = g.tLastSign = g.tGraceFrom = g.tRxRead = 0;
    g.fRefused = g.fRxHeld = false;
}
/* A new receive socket on the path: its record starts from nothing now. */
inline void RecordFrom(PathCtx& g, u32 now)
{
    g.tTcpLook = now;
    g.un64TcpBytesIn = 0;
    g.un32TcpDrops = g.tRxRead = 0;
    g.fRefused = g.fRxHeld = false;
}

/* ---- receive (gwlib_rx.cpp) ---- */
/* Reads the path's receive socket once (up to a chunk), parses and delivers
 * what came, under the lock (the receive thread); returns whether the chunk
 * came back full (more may wait). */
bool ReadPath(GwLibCtx* c, Peer* p, int gw);
void RxSocketClose(GwLibCtx* c, Peer* p, int gw);
/* Frees the buffers of a partly received batch of the path. */
void RxDropPartial(GwLibCtx* c, Peer* p, int gw);
u32 RxThread(void* arg);
/* VQXHostGwLibRead that stops (-2) when the instance is being destroyed. */
i32 ReadUnlessDestroying(GwLibCtx* c, int iSocket, void* pBuf, u32 un32Len, u32 un32LimitAfterFirstMs,
                         u32 un32LimitBeforeAnyMs);

/* ---- transmit (gwlib_tx.cpp) ---- */
bool PathNeedsWrite(GwLibCtx* c, Peer* p, int gw);
void WritePath(GwLibCtx* c, Peer* p, int gw);
void DropPending(GwLibCtx* c, Peer* p, int gw);
void FreeCoalesce(PathCtx& g);
void RedRingReset(Peer* p);
void ReleaseRing(GwLibCtx* c, Peer* p);
/* Checks the transmit ring of a peer: per path, the pending bytes equal what
 * its entries still hold, entries behind both read positions are released.
 * Returns an empty text when sound, else what is wrong (for tests). */
std::string TxRingCheck(const Peer* p);
/* The TCP poll period of a path, 0 when it sends no polls. */
u32 PollPeriod(const Peer* p, int gw);
void PrepareTcpPollIfDue(GwLibCtx* c, Peer* p, int gw);
/* Milliseconds until the path's next TCP poll is due (0: due now), or
 * kNoPollDue when it sends none now. */
constexpr u32 kNoPollDue = 0xFFFFFFFFu;
u32 MsToNextPoll(const Peer* p, int gw, u32 now);
void PreparePollReply(GwLibCtx* c, Peer* p, int gw);
PollFields PeerPollFields(GwLibCtx* c, Peer* p);

inline bool IsAdapterForm(const GwLibCtx* c)
{
    return c->Params.un32GwDiscoveryId == kAdaptersDiscoveryId;
}
inline const char* GwName(int gw)
{
    return gw == 0 ? "gw0" : "gw1";
}
inline bool UsesGw(const GwLibCtx* c, int gw)
{
    return gw == 0 ? c->Params.fIsGw0 != 0 : c->Params.fIsGw1 != 0;
}

} // namespace vqxgw

#endif
