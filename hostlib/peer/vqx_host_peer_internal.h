/*
 * vqx_host_peer_internal.h - inside the host library: the record of each
 * peer (adapter board or remote host) met through the gateway transport,
 * the library-wide peer state, and the calls the transport glue, the send
 * and receive paths and the filter layer make on peers.
 *
 * Model. At most VQX_PEER_MAX records, adapters and hosts together (as many
 * as the two transport instances hold), kept in slots in "pool order" and
 * found by handle through a hash. A record is made when a path to its peer
 * first comes up; a host record is freed when its last path goes down, an
 * adapter record is kept (absent) so that its handle and name stay valid for
 * its return (the one absent the longest gives its slot when every slot is
 * taken, or to a board when the boards hold VQX_GW_MAX_ADAPTER_PEERS).
 *
 * Everything here runs with the library lock held unless said otherwise.
 * Records can disappear whenever the lock is released: code that releases
 * it looks the record up again by handle afterwards.
 */
#ifndef VQX_HOST_PEER_INTERNAL_H
#define VQX_HOST_PEER_INTERNAL_H

#include "filter/vqx_filter_internal.h"
#include "vqx_gwlib.h"
#include "vqx_host_peer.h"

/* ------------------------------------------------------------- constants */

#define VQX_PEER_NAME_SIZE 288u                /* host (127) - application (127) - 16 hex digits */
#define VQX_PEER_AWAIT_MAX 1152u               /* awaited responses per adapter */
#define VQX_PEER_AWAIT_ABANDONED_MAX 256u      /* requests an adapter's caller stopped waiting for, remembered */
/* What one peer's retransmission ring keeps, in bytes: all a board's transport queue can hold of the largest messages
   (255 of 64000 bytes) and the last 4 x 65535 + 2048 bytes written, which alone a path switch can replay. */
#define VQX_TX_PENDING_MAX_BYTES (16u << 20)
#define VQX_PEER_DEFAULT_BYTE_LIMIT 0x40000u   /* flow control towards adapters */
#define VQX_PEER_DEFAULT_MSG_LIMIT 768u
#define VQX_PEER_FLOW_LEVEL_NONE 0xFFFFFFFFu   /* no level set through the API */
#define VQX_PEER_FLOW_LEVEL_MAX 16u
#define VQX_PEER_CONNECTION_COUNT_MAX 65535u   /* then back to 1 */
#define VQX_PEER_BUILD_RETRANSMIT 800u         /* acks, retransmission, flow control from this build */
#define VQX_PEER_BUILD_FILTER_DONE 0x02021501u /* hosts from this build send / expect filter-done */
#define VQX_PEER_BUILD_REMOTE_FILTERS 0x004E0001u
#define VQX_PEER_BUILD_FILTER_REPLACE 0x00540001u
#define VQX_PEER_BUILD_FLOW_LEVEL 0x005F0800u  /* flow-control level sent to adapters above this */
#define VQX_PEER_BUILD_CONNECTION_COUNT 0x00530304u
#define VQX_PEER_LOCAL_ADDRESS "127.0.0.1"

/*
 * Messages ahead of the receive sequence from a peer of build at most 799 (2
 * to 65534 ahead) are held per path until the missing ones come from the
 * other path: at most VQX_PEER_HELD_MAX per path and VQX_PEER_HELD_MAX_MS;
 * past either the missing ones are counted lost and the held ones delivered.
 */
#define VQX_PEER_BUILD_HOLD_MAX 799u
#define VQX_PEER_HOLD_AHEAD_MAX 65534u
#define VQX_PEER_HELD_MAX 256u
#define VQX_PEER_HELD_MAX_MS 1000u

/* Path indexes inside a record (the transport's "path" flag: 1 gw0, 0 gw1). */
#define VQX_PEER_PATH_GW0 0u
#define VQX_PEER_PATH_GW1 1u
static inline u32 VqxPeerPathIndex(u32 fIsGw0) { return fIsGw0 != 0 ? VQX_PEER_PATH_GW0 : VQX_PEER_PATH_GW1; }

/* Causes of a path loss (notification word and log text). */
enum {
  VQX_PEER_CAUSE_UNKNOWN = 0,
  VQX_PEER_CAUSE_PROTOCOL_ERROR = 1,
  VQX_PEER_CAUSE_DISABLED = 2,
  VQX_PEER_CAUSE_CLOSED = 3,
  VQX_PEER_CAUSE_RX_ERROR = 4,
  VQX_PEER_CAUSE_TX_ERROR = 5,
  VQX_PEER_CAUSE_TX_TIMEOUT = 6,
  VQX_PEER_CAUSE_POLL_TIMEOUT = 7,
  VQX_PEER_CAUSE_RECONNECTED = 8,
  VQX_PEER_CAUSE_TCP_POLL_TIMEOUT = 9,
  VQX_PEER_CAUSE_REDUNDANCY_NOT_ESTABLISHED = 10,
  VQX_PEER_CAUSE_CLOSING = 11
};
/* Log word of a cause ("Unknown cause (case missing in switch statement)" outside 0..11). */
const char* VqxPeerCauseText(u32 un32Cause);

/* ------------------------------------------------------ reassembly */

#define VQX_FRAG_MAX_FRAGMENTS 65535u
/* A message whose fragments keep coming for longer than this is given up. */
#define VQX_FRAG_MAX_AGE_MS 30000u
/* Fragment buffers one peer may have waiting; the oldest messages are given up beyond it. */
#define VQX_FRAG_MAX_BYTES_PER_PEER (4u * VQX_MSG_MAX_BUFFER_SIZE)

struct VQX_FRAG_CONTEXT;

/* Per-peer reassembly state, held in the peer record. */
typedef struct _VQX_FRAG_STATE {
  void* hHash;                 /* serial number -> context */
  VQX_FRAG_CONTEXT* pFirst;    /* contexts, oldest first */
  VQX_FRAG_CONTEXT* pLast;
  u32 un32NbContexts;
  u64 un64BytesHeld;           /* buffer bytes of every queued fragment */
} VQX_FRAG_STATE;

VQX_RESULT VqxFragInit(VQX_LIB_HANDLE hLib, VQX_FRAG_STATE* pState);
void VqxFragUninit(VQX_LIB_HANDLE hLib, VQX_FRAG_STATE* pState);
VQX_RESULT VqxFragPendingFree(VQX_LIB_HANDLE hLib, VQX_FRAG_STATE* pState);
/*
 * Takes a received fragment (un16FragInfo != 0, header in host order). On
 * the last fragment (un16FragInfo negative as i16) *phMsg becomes the whole
 * message; otherwise it is consumed and *phMsg is null. Under the library
 * lock. 0x02000000 / failures 0x82010012, 0x8201000F, 0x8201020E, 0x8201020B
 * (the fragments and partial message released, *phMsg null).
 */
VQX_RESULT VqxFragReassemble(VQX_LIB_HANDLE hLib, VQX_FRAG_STATE* pState, VQX_MSG_HANDLE* phMsg);
/* Gives up the messages whose first fragment came more than VQX_FRAG_MAX_AGE_MS before un64NowMs; their count. */
u32 VqxFragExpire(VQX_LIB_HANDLE hLib, VQX_FRAG_STATE* pState, u64 un64NowMs);

/* ------------------------------------------------------------ the record */

struct VQX_REMOTE_FILTER; /* hostlib_rfilter.cpp */

typedef struct _VQX_PEER {
  u32 fAdapter;                 /* 1 adapter, 0 remote host */
  u32 hAdapter;                 /* handle (0xCA...... adapters, 0xCB...... hosts) */
  u32 hGwPeer;                  /* the transport's peer id (= hAdapter) */
  u32 un32Slot;                 /* index in pool order */
  u32 fPresent;                 /* a path has been up since the last removal */
  u64 un64RemovalNumber;        /* the library's removal count at its last removal (absent records: oldest first) */
  u32 fAddedNotified;
  u32 un32PeerValue;            /* last value received in a peer-value message */
  char szName[VQX_PEER_NAME_SIZE]; /* adapters: serial (or name) from discovery; hosts: host-app-uniqueid */

  /* ---- send side (used by the send path) ---- */
  VQX_MSG_HANDLE* pahSendFifo;  /* ring of un32SendFifoCapacity slots (null until a path came up) */
  u32 un32SendFifoCapacity;
  u32 un32SendFifoCount;
  u32 un32SendFifoHead;         /* oldest */
  VQX_MSG_HANDLE* pahTxPending; /* sent, awaiting acknowledgement: ring of un32TxPendingCapacity */
  u32 un32TxPendingCapacity;
  u32 un32TxPendingCount;
  u32 un32TxPendingHead;
  u32 un32TxPendingToFree;      /* highest sequence acknowledged by the peer */
  u64 un64TxPendingBytes;       /* what the ring's messages hold, headers included (bounded by VQX_TX_PENDING_MAX_BYTES) */
  u32 un32TxRetransmitStart;
  u32 fTxRetransmitting;
  u32 fHighWatermarkWarned;
  u32 fWatermarkReported;       /* warning state last given to the status callback */
  u32 un32TxSeq;                /* last transmit sequence given (0 skipped) */
  u16 un16ConnectionCount;      /* advanced (skipping 0) each time a first path comes up */
  u16 un16RxConnectionCount;    /* the peer's count, as last received (0: none yet) */
  u64 un64LastTxTime;           /* ms */
  u64 un64TxMsg;
  u64 un64TxMsgDropped;
  u64 un64TxMsgRedundant;       /* statistics printout: per-peer counters of the send side */
  u64 un64TxMsgQueued;
  u64 un64TxPureAck;
  u64 un64TxRetransmit;
  _VQX_PEER* pSendNext;         /* list of peers with queued messages */
  _VQX_PEER* pSendPrev;
  u32 fInSendList;
  u32 un32SendWaiters;          /* threads waiting for room in its send fifo (VqxPeerReadOnForSenders) */

  /* ---- paths ---- */
  u32 afPathUp[2];              /* [VQX_PEER_PATH_GW0], [VQX_PEER_PATH_GW1] */
  /* Per path, messages of an older peer received ahead of its sequence, in order (VqxPeerHeld*). */
  VQX_MSG_HANDLE* ahHeldMsg[2]; /* VQX_PEER_HELD_MAX slots, made at the first hold */
  u32 aun32HeldFirst[2];
  u32 aun32HeldCount[2];
  u64 aun64HeldSince[2];        /* ms, when the first of them was held */
  u64 aun64PathUpTime[2];       /* ms */
  u32 fSinglePath;              /* redundancy not yet established (see the send side) */
  u32 un32LastCause;            /* of the last path loss */
  /* A path lost while the other goes along with it (single path), whose
     notification waits until the transport, having read the other, reports it down. */
  u32 afDownWaiting[2];
  u32 aun32DownWaitingCause[2];

  /* ---- redundancy and flow control ---- */
  u32 fRedundancyOn;
  u32 un32PollDelayMs;
  u32 un32AdapterDownDelayMs;
  u32 un32FlowLevelApi;         /* VQX_PEER_FLOW_LEVEL_NONE when not set */
  u32 un32FlowLevelEffective;   /* 1..16 */
  u32 un32ByteLimit;            /* effective limits (after the level) */
  u32 un32MsgLimit;
  u8 fFlowBlocked;
  u8 fPendingAck;
  u8 fHalveLimits;              /* from the adapter's host list */
  u8 un8Spare;

  /* ---- receive side and acknowledgements (used by the receive path) ---- */
  u32 un32RxSeq;                /* highest in-order sequence received */
  u32 un32TxAckSeq;             /* last value acknowledged to the peer */
  u32 un32RxUnacked;            /* messages received since the last acknowledgement */
  u32 un32RxBytesSinceAck;
  u64 un64LastAckTime;          /* ms */
  u32 un32PeerAckSeq;           /* highest sequence the peer acknowledged (piggy-back) */
  u32 un32MsgsInFilters;        /* its messages waiting in filters */
  u64 un64BytesInFilters;       /* their bytes (a remote host's, for the hosts' bound) */
  u32 un32FlowLevelRequested;   /* receive-side flow control asked by the filter layer */
  u32 un32FlowLevelReported;
  u32 fFilterDone;              /* filters received (hosts) / first message seen (adapters) */
  u64 un64CanConnectTime;       /* first refused reconnection, 0 none */
  u64 un64RxMsg;
  u64 un64RxMsgRedundant;
  u64 un64RxPureAck;
  u64 un64SeqLost;              /* messages discarded out of sequence */
  u32 aun32RxCutLost[2];        /* per path, messages of a batch its link's closing cut, told with its path down */

  /* ---- awaited responses (adapters; owned by the send path) ---- */
  void* pvAwait;                /* made and freed through VQX_PEER_HOOKS */
  u64 un64AwaitBytesSent;
  u64 un64AwaitBytesReceived;
  u32 un32AwaitCount;           /* outstanding requests */
  u32 un32ResponsesReceived;

  /* ---- information ---- */
  u32 un32BuildNumber;
  u32 un32ProtocolVersion;
  VQX_ADAPTER_INFO AdapterInfo;          /* adapters (and hosts of a non-zero host type) */
  VQX_ADAPTER_INFO_MORE AdapterInfoMore;
  _VQX_HOST_INFO HostInfo;               /* hosts */
  u32 fHostAdapterInfo;                  /* a host also given adapter records */

  /* ---- hosts: remote filters ---- */
  u32 un32SendHookState;        /* un32FixedTwo of the host's last remote-filter clear */
  u32 fLocalMachine;            /* the host runs on this machine */
  void* hRemoteFilterHash;      /* filter number -> VQX_REMOTE_FILTER* */
  VQX_REMOTE_FILTER* pRemoteFilters; /* newest first */
  u32 un32NbRemoteFilters;
  u32 fFiltersComplete;

  /* ---- reassembly ---- */
  VQX_FRAG_STATE Frag;
} VQX_PEER;

/* ------------------------------------------------- library-wide peer state */

typedef struct _VQX_PEER_LIB {
  VQX_PEER* apSlots[VQX_PEER_MAX]; /* pool order */
  u32 un32NbRecords;
  void* hHashByHandle;             /* handle -> VQX_PEER* */
  /* Peers whose send fifo is not empty (the send path links and unlinks). */
  VQX_PEER* pSendFirst;
  VQX_PEER* pSendLast;
  u32 un32NbInSendList;
  u32 un32NbPendingAck;            /* peers with a pending acknowledgement */
  u64 un64TxPending;               /* messages in all send fifos */
  /* Since the open (VQXGetTxAccount): sent messages freed without being handed to the transport (a removed peer's
     send fifo, a batch the transport refused), and handed to it but freed unacknowledged with their peer's removal. */
  u64 un64TxDropped;
  u64 un64TxUnackedFreed;
  VQX_EVENT* pWaitSentEvent;       /* VQXWaitSentMsg waiters */
  u32 un32WaitSentUseCount;
  u32 un32DefaultPeerValue;
  u32 un32DefaultFlowLevel;        /* from the library's redundancy record */
  u64 un64Removals;
  u32 un32NbHeld;                  /* messages held ahead of their sequence, all peers */
  /* Messages of all remote hosts waiting in filters and their bytes (the sums of their records' counts): bounded
     together (VqxHostsRxFull), so that many hosts flooding at once are held back in their own queues and sockets
     rather than here; with its high-watermark warning. */
  u32 un32HostsMsgsInFilters;
  u32 fHostsWatermarkWarned;
  u64 un64HostsBytesInFilters;
  /* Its lines come in pairs once a second at most (a flood may cross it many times a second): a passing within a
     second of the last one told is not told, nor its clearing. */
  u64 un64HostsWatermarkToldMs;    /* library clock of the last passing told, 0 none */
  u32 fHostsWatermarkTold;         /* the current passing was told */
  /* Threads waiting for room in a send fifo, by the transport instance of the peer they wait on (0 the adapters',
     1 the hosts'; VqxSendersWaiting), each also counted in its peer's record. */
  u32 aun32SendWaiters[2];
} VQX_PEER_LIB;

/*
 * The bound of the remote hosts' messages waiting in filters, all together: VQX_HOSTS_RX_MSGS_MAX messages (the
 * receive fifo size when smaller) or VQX_HOSTS_RX_BYTES_MAX bytes of them (their lengths, header included),
 * whichever is reached first. A message a provider floods with is about 10 KiB whatever the data it carries, so
 * a count alone would let a few hosts' backlog grow to hundreds of MiB. The high watermark is passed at two
 * thirds of either, cleared once both are back to half; a pair of its lines once a second at most.
 */
#define VQX_HOSTS_RX_MSGS_MAX 2048u
#define VQX_HOSTS_RX_BYTES_MAX (32u * 1024u * 1024u)
u32 VqxHostsRxMsgsMax(VQX_LIB_HANDLE hLib);
/* The bound reached: the transport's reading of the hosts pauses (under the library lock). */
bool VqxHostsRxFull(VQX_LIB_HANDLE hLib);
/* Back to half the bound (or no peer layer): the high watermark's warning is cleared. */
bool VqxHostsRxCleared(VQX_LIB_HANDLE hLib);
/* A thread waits for room in the send fifo of a peer of that transport instance (fHosts 0 the adapters', 1 the
   hosts'; under the library lock). */
bool VqxSendersWaiting(VQX_LIB_HANDLE hLib, u32 fHosts);
/*
 * A thread waits for room in this peer's send fifo and the peer's messages waiting in filters are under the bound
 * a wait allows (VqxRxWaitBacklogFull): the receive overflow does not pause the reading of this peer's messages.
 * Room comes from that reading (a board's answers end its flow control; a host writing to us reads what we write
 * only while we read it), and the waiting thread may be the one that reads the backlog, or hold what its reader
 * needs. Another peer's overflow pauses as ever. Under the library lock.
 */
bool VqxPeerReadOnForSenders(VQX_LIB_HANDLE hLib, const VQX_PEER* pPeer);
/*
 * The bound of a peer's messages waiting in filters while a thread waits for room in its send fifo: its receive
 * bound (the receive fifo size; for a remote host the hosts' bound) and VQX_RX_WAIT_BACKLOG_EXTRA more, room for the
 * answers to what a sender has in flight; for the remote hosts also twice VQX_HOSTS_RX_BYTES_MAX of them all.
 * Reached, a wait for room on that peer ends at once with the message dropped (0x82010218, counted, its line logged
 * once a second at most) and the receive overflow pauses the reading again. Under the library lock.
 */
#define VQX_RX_WAIT_BACKLOG_EXTRA 16384u
bool VqxRxWaitBacklogFull(VQX_LIB_HANDLE hLib, const VQX_PEER* pPeer);

static inline VQX_PEER_LIB* VqxPeerLib(VQX_LIB_HANDLE hLib) {
  return static_cast<VQX_PEER_LIB*>(VqxLib(hLib)->pvPeers);
}

/*
 * What the send path lends the peer layer (set once, before the first open;
 * each pointer may stay null).
 *  pFctAwaitInit / pFctAwaitUninit: make and free pvAwait of an adapter.
 *  pFctAwaitDiscardAll: forget every awaited response (last path down).
 *  pFctPushPeer: hand the peer's ready messages to the transport now.
 */
typedef struct _VQX_PEER_HOOKS {
  VQX_RESULT (*pFctAwaitInit)(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer);
  void (*pFctAwaitUninit)(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer);
  void (*pFctAwaitDiscardAll)(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer);
  void (*pFctPushPeer)(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer);
} VQX_PEER_HOOKS;
void VqxPeerSetHooks(const VQX_PEER_HOOKS* pHooks);
const VQX_PEER_HOOKS* VqxPeerHooks();

/* ---------------------------------------------------------- life cycle */

/* Part hooks of the library open / close (registered by hostlib_peer.cpp itself). */
VQX_RESULT VqxHostAdapterInit(VQX_LIB_HANDLE hLib);
void VqxHostAdapterUninit(VQX_LIB_HANDLE hLib);

/* ------------------------------------------------ transport glue entries */

/*
 * A path came up. fIsGw0: 1 gw0, 0 gw1. Exactly one of pAdapterAdv /
 * pHostAdv is the peer's stored advertisement (host order, as the transport
 * hands it). 0x02010000, or 0x82010012 (no record left, no memory): the
 * caller then closes that path, since a peer without a record is deaf.
 */
VQX_RESULT VqxHostAdapterPathAdd(VQX_LIB_HANDLE hLib, u32 hAdapter, const void* pAdapterAdv, const void* pHostAdv,
                                 u32 fIsGw0);
/*
 * A path went down (unknown peers and paths already down are ignored), as the transport reports it. When the other
 * path goes along with it (single path), the transport is asked to read that one before closing it: the record keeps
 * both paths up, taking what the other delivers, until its report, which takes both down.
 */
void VqxHostAdapterDown(VQX_LIB_HANDLE hLib, u32 hAdapter, u32 fIsGw0, u32 un32Cause);
/* Resets a record (and frees it with fFree). */
void VqxHostAdapterRemove(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 fFree);

/* ------------------------------------------------------------- lookups */

VQX_PEER* VqxHostAdapterByHandle(VQX_LIB_HANDLE hLib, u32 hAdapter);      /* adapters only */
VQX_PEER* VqxHostRemoteHostByHandle(VQX_LIB_HANDLE hLib, u32 hAdapter);   /* hosts only */
VQX_PEER* VqxHostAdapterOrHostByHandle(VQX_LIB_HANDLE hLib, u32 hAdapter);
VQX_PEER* VqxHostAdapterByPath(VQX_LIB_HANDLE hLib, const char* pszName);
/* Present records in pool order: first, then the one after pPeer (null at the end). */
VQX_PEER* VqxPeerFirst(VQX_LIB_HANDLE hLib);
VQX_PEER* VqxPeerNext(VQX_LIB_HANDLE hLib, const VQX_PEER* pPeer);
/* Is any path up? */
static inline bool VqxPeerActive(const VQX_PEER* pPeer) {
  return pPeer->fPresent != 0 && (pPeer->afPathUp[0] != 0 || pPeer->afPathUp[1] != 0);
}

/*
 * Does something sent to the peer still wait for its acknowledgement? Kept
 * messages (the retransmission ring) beyond the highest sequence the peer
 * acknowledged. Decides the single-path state when a path comes or goes.
 */
bool VqxPeerAwaitingAck(const VQX_PEER* pPeer);
/*
 * What was handed to the transport for the peer and not yet acknowledged by it, when it is one that acknowledges
 * (its build does, and it has acknowledged before: one that never does is not waited for); else 0.
 */
u32 VqxPeerUnacked(const VQX_PEER* pPeer);
/* Of those, the library's own remote-filter exchange (0x020D0100 to 0x020D0107): the answers to the peer's own
   requests above all, which a peer that closes right after asking never waits for. */
u32 VqxPeerUnackedOwn(const VQX_PEER* pPeer);

/* ------------------------------------------------------ flow control */

/* Redundancy record applied to one record (hAdapter) or every record (0); the last transport result. */
VQX_RESULT VqxHostConfigureNetworkRedundancy(VQX_LIB_HANDLE hLib, u32 hAdapter,
                                             const _VQX_NETWORK_REDUNDANCY_PARAMETERS* pParams);
/* Sets the limits from a byte and a message limit, divided by the effective level. */
void VqxHostAdapterSetFlowControlLimit(VQX_PEER* pPeer, u32 un32ByteLimit, u32 un32MsgLimit);
/* Stores an API level (clamped) and derives the effective level. */
void VqxPeerApplyFlowLevel(VQX_PEER* pPeer, u32 un32Level);

/* ---------------------------------------------------------- send fifo */

/*
 * Releases the acknowledgement ring, then the send ring (with the
 * watermark, pending-send list and status-callback bookkeeping). The status
 * callback runs with the lock released: pPeer may be gone on return unless
 * the caller still holds its own reference (the record is never freed here).
 */
void VqxHostFreeAdapterSendFifo(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer);
/* Links / unlinks a peer in the list of peers with queued messages; the unlink wakes VQXWaitSentMsg waiters when the list empties. */
void VqxPeerSendListLink(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer);
void VqxPeerSendListUnlink(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer);

/* ------------------------------------------------------- notifications */

/*
 * A message of the library's own making for a peer or about it: header as
 * at allocation with the id, type, sizes, handle, track magic 1 and fixed
 * two 2, serial 0, every other word and the payload zeroed. Null without memory.
 */
VQX_MSG_HANDLE VqxPeerNewLibMsg(VQX_LIB_HANDLE hLib, u32 hAdapter, u32 un32MsgId, u32 MsgType, u32 un32Payload);

/*
 * Build the notification for the record's kind and dispatch it to pFilter
 * alone, or (null) to the active ordinary filters, logging first. Released
 * when nobody took it. 0x02010000 or 0x82010012.
 */
VQX_RESULT VqxHostSendAdapterAddedEvent(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, _VQX_FILTER_CONTEXT* pFilter);
VQX_RESULT VqxHostSendAdapterRemovedEvent(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, _VQX_FILTER_CONTEXT* pFilter);
VQX_RESULT VqxHostSendGwUpEvent(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 un32Path, _VQX_FILTER_CONTEXT* pFilter);
VQX_RESULT VqxHostSendGwDownEvent(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 un32Path, u32 un32Cause, u32 un32Lost,
                                  _VQX_FILTER_CONTEXT* pFilter);
/* Added notification the first time a board talks before its filters are done (at most once per presence). */
void VqxPeerAnnounceIfNeeded(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer);

/* The hooks the filter layer calls (VqxPeerFilter*, VqxMsgSource, VqxSourceCount*) are declared in filter/vqx_filter_internal.h. */

/*
 * Receive side, for messages of group 0x020D other than acknowledgements
 * (remote filters, peer value, flow-control level, host list, message
 * delay). Header in host order, hAdapter set to the peer. Returns true when
 * the message was consumed here (answered, stored or released).
 */
bool VqxPeerHandleGwOpMsg(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg);

/* ---------------------------------------- messages held ahead of sequence */

/* Appends to what the path holds (time stamped when it held nothing); false when no memory. */
bool VqxPeerHeldPush(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 un32Path, VQX_MSG_HANDLE hMsg);
/* The first or last message the path holds; null when none. */
VQX_MSG_HANDLE VqxPeerHeldFirst(const VQX_PEER* pPeer, u32 un32Path);
VQX_MSG_HANDLE VqxPeerHeldLast(const VQX_PEER* pPeer, u32 un32Path);
/* Takes the first message the path holds (the caller owns it); null when none. */
VQX_MSG_HANDLE VqxPeerHeldPop(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 un32Path);
/* Frees what the path holds, counted in the peer's lost messages and RxMsgNotQueued; returns how many. */
u32 VqxPeerHeldDrop(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 un32Path);
/*
 * The receive side's release of what a peer holds (gw/hostlib_rx.cpp sets it):
 * the held messages delivered in order, the missing ones before each counted
 * lost. VqxPeerHeldRelease uses it when fDeliver is set; otherwise, or without
 * it, what is held is dropped, counted and logged.
 */
typedef void (*PFCT_VQX_PEER_HELD_RELEASE)(VQX_LIB_HANDLE hLib, u32 hAdapter);
void VqxPeerSetHeldRelease(PFCT_VQX_PEER_HELD_RELEASE pFct);
void VqxPeerHeldRelease(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 fDeliver);
/* Releases what each peer has held for VQX_PEER_HELD_MAX_MS or more (receive thread); true while any is held. */
bool VqxPeerHeldExpire(VQX_LIB_HANDLE hLib);

/* ------------------------------------------------------- remote filters */

VQX_RESULT VqxRemoteHostFiltersInit(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer);
void VqxRemoteHostFiltersUninit(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer);
void VqxRemoteHostFiltersFreeAll(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer);
/* Does a broadcast event go to this host? */
bool VqxRemoteHostFiltersTest(VQX_LIB_HANDLE hLib, const VQX_PEER* pPeer, const _VQX_MSG_HEADER* pMsg);
/* Which sets concern the peer: their number (copied to paOut when given). */
u32 VqxAdapterFilterTestMatch(VQX_LIB_HANDLE hLib, const VQX_PEER* pPeer, const _VQX_FILTER_CONTEXT* pFilter,
                              _VQX_FILTER_PARAMS* paOut);
/* Byte order of the remote-filter family (see hostlib_rfilter_swap.cpp). */
VQX_RESULT VqxRemoteHostFiltersMsgSwap(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg);
/* Connection sequence when a peer's first path comes up. */
void VqxRemoteFiltersConnect(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer);
VQX_RESULT VqxSendRemoteFilterClear(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer);
VQX_RESULT VqxSendRemoteFilterCreate(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, const _VQX_FILTER_CONTEXT* pFilter);
VQX_RESULT VqxSendRemoteFilterDestroy(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, const _VQX_FILTER_CONTEXT* pFilter);
/* DESTROY of a filter number whatever the filter's sets (a filter that stopped concerning the peer). */
VQX_RESULT VqxSendRemoteFilterDestroyNumber(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 un32FilterNumber);
VQX_RESULT VqxSendRemoteFilterModify(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, const _VQX_FILTER_CONTEXT* pFilter);
VQX_RESULT VqxSendRemoteFilterDone(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer);
VQX_RESULT VqxSendRemoteFlowControlLevel(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer);
/* ADAPTER_MSG_DELAY with the delay capped at 250 ms, whatever the adapter's build. */
VQX_RESULT VqxSendAdapterMsgDelay(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 un32DelayMs);

/* ------------------------------------------------------------- sending */

/* Route to one peer or broadcast to remote hosts; takes the message. */
VQX_RESULT VqxMsgSendToPeers(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg);
/* Posts what is ready for one peer (retransmission, acknowledgement, up to 256 messages of its fifo). */
void VQXHostPostReadyMessagesToGwLib(VQX_LIB_HANDLE hLib, VQX_PEER *pPeer, u32 fWriteNow);
/* Before this library closes the links of one transport instance (fHosts: the hosts', else the adapters'): every
   peer of it that acknowledges is told at once that all it sent was received, so that its removal knows it lost
   nothing here; what comes later is not acknowledged. Under the library lock. */
void VqxPeersAckAll(VQX_LIB_HANDLE hLib, u32 fHosts);
/* A response from an adapter completes its awaited request (flow control re-evaluated). */
void VqxPopRspAwaited(VQX_LIB_HANDLE hLib, VQX_PEER *pPeer, VQX_MSG_HANDLE hMsg);

/*
 * The transport's send side for peers that have no transport instance (both
 * instances off): null by default, so that such peers are never posted to.
 * The fuzz targets put a stand-in here to drive numbering, acknowledgements
 * and awaited responses with no socket. pFctCanSend answers as
 * VqxGwLibCanSendMsg, pFctSend takes the records as VqxGwLibSendMsgs (it
 * frees those marked fFreeAfterSend). Set before any library is opened.
 */
typedef struct _VQX_GW_SEND_STANDIN {
  u32 (*pFctCanSend)(VQX_LIB_HANDLE hLib, u32 hPeer, u32 *pun32OldestSeq);
  VQX_RESULT (*pFctSend)(VQX_LIB_HANDLE hLib, u32 hPeer, u32 un32Count, const VqxGwLibSendRecord *pRecords);
} VQX_GW_SEND_STANDIN;
void VqxGwSetSendStandIn(const VQX_GW_SEND_STANDIN *pStandIn);

/* Transport instance of a peer handle: adapters' for 0xCA......, else hosts'. Defined by the glue
 * (gw/hostlib_gwglue.cpp), whose object it also brings into every program that sends to peers. */
VqxGwLibContext VqxGwOfPeer(VQX_LIB_HANDLE hLib, u32 hPeer);

#endif
