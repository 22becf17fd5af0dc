/*
 * vqx_gwlib.h - gateway transport library: finds adapter boards and other
 * host applications by UDP discovery on the local subnets, keeps one TCP
 * link per peer on each of two redundant paths (gw0, gw1), frames host
 * messages into batches, keeps the links alive with polls and queues
 * outgoing messages per peer.
 *
 * One instance (an opaque VqxGwLibContext) is made by VqxGwLibAllocate from a
 * VqxGwLibParams record. Its only user is the host messaging library, which
 * opens two instances (adapters, hosts). Message contents are opaque here:
 * buffers are obtained from and handed back to the user through callbacks.
 *
 * Threads: VqxGwLibEnable starts "gwlib_discover", "gwlib_accept" (only when
 * fWaitConnections), "gwlib_rx_read" and "gwlib_connect". Callbacks run on
 * those threads; with the internal lock they run with the lock released,
 * with an external lock (pFctLockEnter/pFctLockLeave) they run with it held.
 *
 * Every operation returns a VQX_RESULT (vqx_result.h): VQX_RESULT_OK on
 * success, a value with bit 31 set on failure.
 */
#ifndef VQX_GWLIB_H
#define VQX_GWLIB_H

#include "vqx_result.h"
#include "vqx_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Records shared with the wire (host order in memory) ---------------- */

/* This host's information block as advertised: the field order of offset
 * 16 of the 440-byte host advertisement (numbers big-endian there, host
 * order here). The host library's own _VQX_HOST_INFO record keeps the same
 * information in another order; its glue copies the fields by name. */
typedef struct _VQX_GW_HOST_INFO
{
    u64 un64UniqueId;    /* local IPv4 address << 32 | process id */
    u32 un32Reserved0;   /* carried as is, never byte-swapped */
    u32 un32InfoVersion; /* 2 as sent by this system */
    char szHostName[128];
    char szAppName[128];
    u64 un64HostCtx1;
    u64 un64HostCtx2;
    char szIpAddress0[64]; /* gw0 address text */
    char szIpAddress1[64]; /* gw1 address text */
    u32 un32BuildNumber;
    u8 un8Two; /* 2 as sent */
    u8 aun8Pad[3];
} VQX_GW_HOST_INFO;

/* Adapter information block (the 548 bytes that follow offset 12 of an
 * adapter advertisement). In an instance that detects adapters only
 * szIpAddress0/szIpAddress1 are used, as the local gw0/gw1 addresses. */
typedef struct _VQX_GW_ADAPTER_INFO
{
    u32 aun32Info[3];
    char szAdapterName[128];
    char szSerialNumber[128];
    u32 un32Info280;
    char szIpAddress0[64];
    char szIpAddress1[64];
    u8 aun8Gw0Info[4]; /* last byte: flag kept for gw0 */
    u8 aun8Gw1Info[4]; /* last byte: flag kept for gw1 */
    u32 un32BuildNumber;
    u32 un32Info424;
    u32 un32Info428;
    u8 aun8Remainder[128];
} VQX_GW_ADAPTER_INFO;

/* The stored advertisement of a peer, as handed to pFctUpDown: the packet
 * with its numbers converted to host order. un32Id tells the kind: the
 * adapters' reply id (0x47575041) or any other (a host's). */
typedef struct _VQX_GW_ADAPTER_ADV
{
    u32 un32Id;
    u8 aun8Head[3];
    u8 un8NewInfo; /* 1 as sent */
    u32 un32TcpPort;
    VQX_GW_ADAPTER_INFO Info;
} VQX_GW_ADAPTER_ADV;

typedef struct _VQX_GW_HOST_ADV
{
    u32 un32Id;
    u8 un8Kind; /* 2 broadcast advertisement, 1 answer */
    u8 un8HostType;
    u8 un8Zero;
    u8 un8NewInfo;
    u32 un32TcpPort;
    u32 un32Zero;
    VQX_GW_HOST_INFO Info;
} VQX_GW_HOST_ADV;

/* Extra gateway address: a peer to reach directly (address texts beginning
 * with a digit) or a host and application to look for by specific discovery. */
typedef struct _VQX_GW_EXTRA_ADDR
{
    char szIpAddress0[64];
    char szIpAddress1[64];
    u32 un32IpAddress0; /* network order, filled by the library */
    u32 un32IpAddress1; /* network order, filled by the library */
    u16 un16Port;       /* host order */
    u16 un16Pad;
} VQX_GW_EXTRA_ADDR;

/* Path redundancy delays; the defaults of each new peer and the per-peer
 * record of VqxGwLibGet/SetRedundancyParams. */
typedef struct _VqxGwLibRedundancyParams
{
    u32 fValid; /* carried, not interpreted */
    u32 un32PollDelayMs;
    u32 un32NetworkDownDelayMs;
    u32 un32AdapterDownDelayMs;
    u32 fUseGw0;
    u32 fUseGw1;
    u32 un32PreferredGw; /* 0 gw0, 1 gw1 */
} VqxGwLibRedundancyParams;

/* The two ends of one TCP link of a peer, as getsockname/getpeername give them
 * (addresses in network order, ports in host order). */
#define VQX_GW_MAX_PEER_LINKS 4u /* receive and send links of gw0 and gw1 */
typedef struct _VqxGwLibLinkEnds
{
    u32 un32LocalAddr;
    u32 un32RemoteAddr;
    u16 un16LocalPort;
    u16 un16RemotePort;
} VqxGwLibLinkEnds;

/* Peer records of one instance: the boards an adapters' instance holds at
 * once (present, or gone and kept for their return), the hosts a hosts'
 * instance links at once. A peer that finds every record taken is named once
 * on an error line ("VqxGwLibCreatePeer: Adapter '<serial>' (<name>) cannot
 * be linked: the 64 peer records are taken by boards present", "...: Host
 * '<host>.<application>' cannot be linked: the 128 peer records are taken by
 * hosts present") and waits: once a record frees it goes to the peer that
 * waited longest, as long as that one still advertises or links (heard from
 * within 30 s). */
#define VQX_GW_MAX_ADAPTER_PEERS 64u
#define VQX_GW_MAX_HOST_PEERS 128u
/* A waiting peer's name as VqxGwLibGetWaitingPeers gives it, with its end. */
#define VQX_GW_WAITING_NAME_SIZE 256u

/* One message handed to VqxGwLibSendMsgs. */
typedef struct _VqxGwLibSendRecord
{
    void* pMsg;
    u32 un32Size; /* bytes on the wire */
    u32 un32Seq;
    u8 fFreeAfterSend;
} VqxGwLibSendRecord;

/* Close reasons passed to pFctUpDown. A keep-alive close (7, 9), as one of
 * VqxGwLibCloseLinks, VqxGwLibForceDisconnectRead or a path switched off by
 * VqxGwLibSetRedundancyParams (2), first shuts the link down, so that the peer's
 * further data is refused, not taken, and then delivers what the link had
 * taken (the peer counts it as sent), the complete messages of a batch it cuts
 * included; the rest of that batch is logged with its lost message count
 * (and told to pFctRxLost, as for any close within a batch). A link the peer
 * closes, or whose read or write fails, also delivers the complete messages
 * of the batch it cuts (one closed on a plain VqxGwLibForceDisconnect, or by
 * VqxGwLibDestroy, none).
 * The limit is the peer's
 * network-down delay, or its adapter-down delay when the instance uses both
 * paths and one of them is not linked, and for the second path after the
 * first timed out. */
#define VQX_GW_CLOSE_NONE 0u
#define VQX_GW_CLOSE_CORRUPTED 1u
#define VQX_GW_CLOSE_REQUESTED 2u
#define VQX_GW_CLOSE_BY_REMOTE 3u
#define VQX_GW_CLOSE_READ_ERROR 4u
#define VQX_GW_CLOSE_WRITE_ERROR 5u
#define VQX_GW_CLOSE_UDP_TIMEOUT 7u
#define VQX_GW_CLOSE_TCP_TIMEOUT 9u

#define VQX_GW_NB_PORTS 17
#define VQX_GW_MAX_BATCH_MSGS 15u
#define VQX_GW_MAX_MSG_SIZE 0x400000u

/* ---- Callbacks: each receives first the context value named with it ----- */

typedef void (*PFN_VQX_GW_RX)(void* pCtx, u32 hPeer, u32 fIsGw0, void* pMsg, u32 un32Size, u32* pfCloseRequest);
typedef void (*PFN_VQX_GW_RX_MULTIPLE)(void* pCtx, u32 hPeer, u32 fIsGw0, u32 un32Count, void** apMsgs,
                                       const u32* aun32Sizes, u32* pfCloseRequest);
typedef void (*PFN_VQX_GW_UP_DOWN)(void* pCtx, u32 hPeer, const void* pInfo, u32 fGw0Up, u32 fGw1Up, u32 un32Reason);
typedef VQX_RESULT (*PFN_VQX_GW_GET_ETH_AVAILABILITY)(void* pCtx, u32* pun32Availability);
typedef void* (*PFN_VQX_GW_ALLOC_MSG)(void* pCtx, u32 un32Size);
/* Fills apMsgs[i] with a buffer of at least aun32Sizes[i] bytes (or null). */
typedef void (*PFN_VQX_GW_ALLOC_MSG_MULTIPLE)(void* pCtx, u32 un32Count, const u32* aun32Sizes, void** apMsgs);
typedef void (*PFN_VQX_GW_FREE_MSG)(void* pCtx, void** ppMsg);
typedef void (*PFN_VQX_GW_FREE_MSG_MULTIPLE)(void* pCtx, u32 un32Count, void** apMsgs);
typedef u32 (*PFN_VQX_GW_CAN_CONNECT_TO)(void* pCtx, u32 hPeer); /* carried, never called */
typedef void (*PFN_VQX_GW_ERROR_LOG)(void* pCtx, const char* pszFormat, ...);
typedef void (*PFN_VQX_GW_TRACE_LOG)(void* pCtx, u32 un32Level, const char* pszFormat, ...);
typedef void (*PFN_VQX_GW_LOCK)(void* pCtx);
typedef void (*PFN_VQX_GW_UNUSED)(void* pCtx);
/* A link of the peer closed within a batch: un32Lost of its messages had not
 * arrived whole and are lost (the complete ones were delivered before).
 * Called on the receive thread, as pFctRx is, before the path is reported
 * down; the count is the one the "link closed within a batch" line gives. */
typedef void (*PFN_VQX_GW_RX_LOST)(void* pCtx, u32 hPeer, u32 fIsGw0, u32 un32Lost);
/* With an external lock: the event is to be set (VqxGwLibEventSetNow) once
 * the lock's outermost holder leaves; destroy: set it once, then it is freed
 * by the library right after the call. */
typedef void (*PFN_VQX_GW_EVENT)(void* pCtx, void* pEvent);

/* ---- Parameters ---------------------------------------------------------- */

typedef struct _VqxGwLibParams
{
    /* Host order; 0 = unused slot. The instances of one process at one port share its UDP socket: each
     * packet goes to the instances whose discovery, specific discovery, poll or reply id is its first
     * word (to the one that read it when it names none), whichever reads it. */
    u16 aun16GwPorts[VQX_GW_NB_PORTS];
    u32 un32NbExtraGwAddr;
    VQX_GW_EXTRA_ADDR* paExtraGwAddr; /* caller-owned */
    u32 fDisableAutoDiscovery;
    u32 un32GwDiscoveryId;
    u32 un32GwDiscoverySpecificId;
    u32 un32GwPollId;
    u32 un32GwReplyId;
    u64 un64PollHostCtxId;
    u32 fUseSeparatePollSocket;
    u32 fUseTCPNagle;
    u8 un8PeerHandlesBase;
    u32 fRealTimeRxThread;
    u32 fIsGw0;
    u32 fIsGw1;
    u32 fLocalLoopbackOnly;
    u32 fWaitConnections;
    u32 fDetectAdapters;
    u32 un32HostType;
    u32 fOpenPollSocketsAlways;
    VQX_GW_ADAPTER_INFO AdapterGwParams;
    VQX_GW_HOST_INFO HostGwParms;
    u32 fAllowedSubnetsExclude;
    u32 un32NbAllowedSubnets;
    u32* paun32AllowedSubnetIps; /* network order, caller-owned */
    VqxGwLibRedundancyParams RedundancyParams;

    PFN_VQX_GW_RX pFctRx;
    PFN_VQX_GW_RX_MULTIPLE pFctRxMultiple;
    void* pRxCtx;
    PFN_VQX_GW_UP_DOWN pFctUpDown;
    void* pUpDownCtx;
    PFN_VQX_GW_GET_ETH_AVAILABILITY pFctGetEthAvailability;
    void* pEthAvailabilityCtx;
    PFN_VQX_GW_ALLOC_MSG pFctAllocMsg;
    PFN_VQX_GW_ALLOC_MSG_MULTIPLE pFctAllocMsgMultiple;
    PFN_VQX_GW_FREE_MSG pFctFreeMsg;
    PFN_VQX_GW_FREE_MSG_MULTIPLE pFctFreeMsgMultiple;
    void* pBufferCtx;
    PFN_VQX_GW_CAN_CONNECT_TO pFctCanConnectTo;
    void* pCanConnectToCtx;
    /* required; a handle conflict, which a refused peer's every advertisement
     * repeats, is logged once a second per kind (adapter, host) at most, the
     * next line ending in " (N similar line(s) left out)", or the count told
     * on a line of its own once the second is over */
    PFN_VQX_GW_ERROR_LOG pFctErrorLog;
    void* pErrorCtx;
    PFN_VQX_GW_TRACE_LOG pFctTraceLog; /* optional */
    void* pTraceCtx;
    PFN_VQX_GW_LOCK pFctLockEnter;
    PFN_VQX_GW_LOCK pFctLockLeave;
    PFN_VQX_GW_UNUSED pFctUnused;
    PFN_VQX_GW_EVENT pFctEventSet;
    PFN_VQX_GW_EVENT pFctEventDestroy;
    void* pLockCtx;
    PFN_VQX_GW_RX_LOST pFctRxLost; /* optional; Rx context */
} VqxGwLibParams;

typedef struct VqxGwLibContextRec* VqxGwLibContext;

/* ---- Operations ---------------------------------------------------------- */

/* Every operation returns 0x82000009 for a null context or pointer argument.
 *
 * Builds an instance (sockets open, no thread); the parameters are copied,
 * the extra address array must outlive the instance. Texts of the two
 * information blocks end at their field's last byte at the latest (a name
 * that fills its 128 bytes is its first 127 characters, as advertised).
 * 0x82000009 also
 * without pFctErrorLog; 0x82000007 when memory, the pool or the hash cannot
 * be had; 0x82000001 when a socket or pipe cannot be set up; 0x82000017 for
 * an instance that detects adapters at a port where another process's
 * instance detects adapters (its line names that process): a process claims
 * the ports its adapters' instances use, applications of one host sharing
 * a port otherwise. */
VQX_RESULT VqxGwLibAllocate(const VqxGwLibParams* pParams, VqxGwLibContext* phCtx);
/* 0x8200000A (and nothing changed) when a field that cannot change differs. */
VQX_RESULT VqxGwLibSetParam(VqxGwLibContext hCtx, const VqxGwLibParams* pParams);
/* First call: starts the threads (0x82000008 when one cannot be created);
 * later calls only clear the disabled state. */
VQX_RESULT VqxGwLibEnable(VqxGwLibContext hCtx);
/* Threads keep running; discovery packets and connections are ignored. */
VQX_RESULT VqxGwLibDisable(VqxGwLibContext hCtx);
/* Stops every thread, closes every socket and frees the context. Not from
 * inside a callback; with an external lock, the caller must not hold it
 * (the library's threads need it to finish). */
VQX_RESULT VqxGwLibDestroy(VqxGwLibContext hCtx);
/* Closes every peer's links before a VqxGwLibDestroy, so that whatever their
 * TCP acknowledged is delivered: each link is shut down (what the peer sends
 * from then on is refused with a reset), what it had accepted is read and
 * delivered, the complete messages of a batch the close cuts included, and
 * then it is closed and reported down (reason 2). Returns once the receive
 * thread has done so: 0x02000000. After 2 s (the receive thread kept in a
 * callback) it gives up: each link still open is logged as an error with the
 * bytes from it still unread, and left to the receive thread (or to
 * VqxGwLibDestroy, which drops them); 0x82000003. 0x82000009 null context.
 * Not from inside a callback. */
VQX_RESULT VqxGwLibCloseLinks(VqxGwLibContext hCtx);
VQX_RESULT VqxGwLibPoll(VqxGwLibContext hCtx);
VQX_RESULT VqxGwLibForceDiscover(VqxGwLibContext hCtx);
/* 0x8200000C for an unknown or dying peer. */
VQX_RESULT VqxGwLibForceDisconnect(VqxGwLibContext hCtx, u32 hPeer, u32 fGw0, u32 fGw1);
/* As VqxGwLibForceDisconnect, but each path named is read before it is
 * closed, as a keep-alive close reads it: shut down (what the peer sends from
 * then on is refused with a reset), what its TCP had accepted delivered, the
 * complete messages of a batch the close cuts included (the rest told to
 * pFctRxLost), then closed and reported down (reason 2). The call only
 * asks: the library's threads do it once it returns (callbacks may call it). */
VQX_RESULT VqxGwLibForceDisconnectRead(VqxGwLibContext hCtx, u32 hPeer, u32 fGw0, u32 fGw1);
VQX_RESULT VqxGwLibGetRedundancyParams(VqxGwLibContext hCtx, u32 hPeer, VqxGwLibRedundancyParams* pParams);
VQX_RESULT VqxGwLibSetRedundancyParams(VqxGwLibContext hCtx, u32 hPeer, const VqxGwLibRedundancyParams* pParams);
/* The peer's TCP links now, each socket once (up to VQX_GW_MAX_PEER_LINKS in
 * paEnds, their number in *pun32Count; 0 while none is open). 0x8200000C for
 * an unknown or dying peer. */
VQX_RESULT VqxGwLibGetPeerLinks(VqxGwLibContext hCtx, u32 hPeer, u32* pun32Count, VqxGwLibLinkEnds* paEnds);
/* What this side had given the path (gw0 when fIsGw0, else gw1) that the peer
 * had not taken when its transmit link last closed, in bytes: still queued, or
 * written and not acknowledged by the peer's TCP. 0 when everything reached
 * the peer's socket before the link went (as at a peer's clean end) or while
 * the link is open. Meant for pFctUpDown as it reports the path down.
 * 0x8200000C for an unknown peer (*pun64Bytes 0). */
VQX_RESULT VqxGwLibPathUntaken(VqxGwLibContext hCtx, u32 hPeer, u32 fIsGw0, u64* pun64Bytes);
/* The peers waiting for a record (every one taken; see VQX_GW_MAX_HOST_PEERS),
 * the longest waiting first, then those that found the queue of 256 full
 * (1,024 of them at most, each named once a second at most: "VqxGwLibCreatePeer:
 * Host '<host>.<application>' cannot be linked: the 128 peer records are taken
 * by hosts present and 256 hosts wait for one", its boards' twin), heard from
 * within 30 s: a board's serial number, a host's "<host>.<application>". Up to
 * un32Capacity names are copied into paszNames (null with a capacity of 0);
 * *pun32Count is the number waiting, which may be more. */
VQX_RESULT VqxGwLibGetWaitingPeers(VqxGwLibContext hCtx, u32 un32Capacity, u32* pun32Count,
                                   char (*paszNames)[VQX_GW_WAITING_NAME_SIZE]);
/* Number of messages that may be given now (0 unknown/dying peer or full
 * ring); *pun32OldestSeq = newest sequence number dropped from the
 * redundancy ring. */
u32 VqxGwLibCanSendMsg(VqxGwLibContext hCtx, u32 hPeer, u32* pun32OldestSeq);
/* Queues the records in order. 0x82000017 unknown/dying peer; 0x82000008
 * when the ring is full before the last record (those placed stay queued);
 * 0x8200000A, nothing queued, when a record's size is 0 or above the batch
 * framing limit of a host peer (VQX_GW_MAX_MSG_SIZE). */
VQX_RESULT VqxGwLibSendMsgs(VqxGwLibContext hCtx, u32 hPeer, u32 un32Count, const VqxGwLibSendRecord* pRecords,
                            u32 fWriteNow);
/* Holds the receive thread back for un32Ms (back pressure: the user's
 * receive queue is full): sleeps, called in a receive callback with no lock
 * of the instance held (an external lock released first). What a peer sends
 * meanwhile waits unread in its socket: the TCP keep-alive, which judges a
 * peer from what its socket received, takes no silence from it. But the
 * receive thread writes the TCP polls at the end of each pass, after its
 * reads, none while it sleeps (save by a VqxGwLibSendMsgs that writes now)
 * nor between the pauses of one pass (a pass reads up to 8 chunks of each
 * peer, each batch of them may pause); and a peer is judged silent only once
 * a poll has gone unanswered for a poll period: a peer that falls silent with
 * no poll awaiting its answer is not closed during the pass, however long,
 * but a poll period or so after it ends. A poll already awaiting its answer
 * when the pause begins is judged as usual, but the link is closed by the
 * receive thread once the pass that paused has ended. Ends early when the
 * instance is being destroyed. */
VQX_RESULT VqxGwLibRxPause(VqxGwLibContext hCtx, u32 un32Ms);

/* Writes all of a buffer to a non-blocking socket within un32TimeLimitMs;
 * returns the bytes written (less on time-out or failure). */
i32 VQXHostGwLibWrite(VqxGwLibContext hCtx, const char* pszPeerName, int iSocket, const void* pBuf, u32 un32Len,
                      u32 un32TimeLimitMs);
/* Reads exactly un32Len bytes: returns the length, 0 remote closed, -1 socket
 * error, -2 stop flag set, -3 time limit. */
i32 VQXHostGwLibRead(VqxGwLibContext hCtx, int iSocket, void* pBuf, u32 un32Len, const volatile u32* pfStop,
                     u32 un32LimitAfterFirstMs, u32 un32LimitBeforeAnyMs);

/* Sets an event handed to pFctEventSet (external-lock mode). */
void VqxGwLibEventSetNow(void* pEvent);

/* ---- Process-wide local interface table (IPv4, at most 16 entries) ------- */

#define VQX_GW_MAX_INTERFACES 16u
VQX_RESULT VQXGetIpInterfacesInit(void);
VQX_RESULT VQXGetIpInterfacesRefresh(void);
/* In: *pun32Count = room in the arrays; out: entries copied (or, without an
 * address array, the number of interfaces). Addresses in network order. */
VQX_RESULT VQXGetIpInterfaces(u32* pun32Count, u32* paun32Addr, u32* paun32Bcast, u32* paun32Mask);
VQX_RESULT VQXGetIpInterfacesUninit(void);
/* Confines every transport of the process to loopback (fOn != 0): the table
 * read from the system is then the loopback interface alone (127.0.0.1/8)
 * and discovery "broadcasts" go to 127.0.0.1. Takes effect at the next
 * VQXGetIpInterfacesInit/Refresh; an interface provider still takes
 * precedence. VqxGwLibLoopbackOnly gives the setting. */
void VqxGwLibSetLoopbackOnly(u32 fOn);
u32 VqxGwLibLoopbackOnly(void);

/* ---- Seams for tests ------------------------------------------------------ */

/* Replaces the system's interface list: the provider fills up to un32Max
 * entries (network order) and returns the count; null restores getifaddrs.
 * Entries from a provider are taken as given (no loopback filtering). */
typedef u32 (*PFN_VQX_GW_IFACE_PROVIDER)(u32 un32Max, u32* paun32Addr, u32* paun32Bcast, u32* paun32Mask);
void VqxGwLibSetInterfaceProvider(PFN_VQX_GW_IFACE_PROVIDER pFct);
/* Replaces the millisecond clock (null restores the library clock). */
typedef u32 (*PFN_VQX_GW_CLOCK)(void);
void VqxGwLibSetClock(PFN_VQX_GW_CLOCK pFct);
/* When not 0, discovery "broadcasts" are sent to this address (network
 * order) instead of the interface's broadcast address. */
void VqxGwLibSetBroadcastRedirect(u32 un32Addr);

#ifdef __cplusplus
}
#endif

#endif
