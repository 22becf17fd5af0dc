/*
 * core/vqx_host_internal.h - inside the host library, its lowest module: the
 * library instance, its lock and deferred lists, events, logging, result
 * names, the local addresses and gateway environment, the buffer layer's
 * records, and the seams where the modules above (msg, filter, peer, gw,
 * diag, lib) hook in. It includes no header of those modules.
 *
 * Only the library's own .cpp files and its tests include this header.
 *
 * Locks, in the order they may be nested:
 *   hCriticalSection (the library lock, recursive)
 *     -> hEventsToSetCriticalSection, hTraceQueueCriticalSection,
 *        BufMutex (buffer layer and the list of messages to release)
 *   hOutputCriticalSection is taken alone or under the trace-queue lock.
 *   A pool of messages' own mutex is taken before the library lock.
 * Nothing blocks or calls application code while holding the library lock:
 * code that must wait releases it completely (VqxHostLibLockReleaseAll) and
 * retakes it as often (VqxHostLibLockRetake).
 */
#ifndef VQX_HOST_INTERNAL_H
#define VQX_HOST_INTERNAL_H

#include <pthread.h>
#include <stdarg.h>

#include <atomic>
#include <mutex>

#include "vqx_host.h"
#include "vqx_log_limit.h"
#include "vqx_thread.h"

/* ------------------------------------------------------------- constants */

#define VQX_LIB_EVENTS_TO_SET_MAX 128u
#define VQX_LIB_LOG_QUEUE_SIZE 2048u
#define VQX_LIB_LOG_LINE_SIZE 2048u        /* formatted line, at most 2046 characters */
#define VQX_LIB_MSGS_TO_RELEASE_MAX 2048u
#define VQX_LIB_DEFAULT_FIFO_SIZE 32768u
#define VQX_LIB_MAX_SEND_FIFO_SIZE 65535u
#define VQX_LIB_MAX_RECEIVE_FIFO_SIZE 512000u
#define VQX_LIB_TRANSPORT_TYPE 1u
#define VQX_LIB_STATS_PIECE_SIZE 1024u
#define VQX_LIB_DEFAULT_GW_PORT 12358u
#define VQX_LIB_ADDRESS_REFRESH_MS 10000u
#define VQX_LIB_THREAD_WAIT_STEP_MS 10u
#define VQX_LIB_SEND_WAIT_CLOSE_MS 5000u  /* library close: longest wait for the waiting calls inside to leave */
#define VQX_LIB_MAGIC_OPEN 0x4F50454Eu     /* "OPEN" while the instance is usable */

/* Kinds of the lines kept to once a second (VqxHostLibLogLimited): a received header that cannot be right, a full
   send fifo or retransmission ring. */
enum {
  VQX_LOG_LIMITED_RX_SHORT,        /* shorter than a header */
  VQX_LOG_LIMITED_RX_SIZES,        /* sizes beyond the bytes received */
  VQX_LOG_LIMITED_APPLY_MAX,       /* payload maximum above 10 MiB */
  VQX_LOG_LIMITED_APPLY_LENGTH,    /* length above 10 MiB */
  VQX_LOG_LIMITED_APPLY_PAYLOAD,   /* payload length above its maximum */
  VQX_LOG_LIMITED_APPLY_START,     /* payload start beyond the length */
  VQX_LOG_LIMITED_APPLY_HELD,      /* length beyond the buffer */
  VQX_LOG_LIMITED_APPLY_NEWER,     /* payload start above 88 */
  VQX_LOG_LIMITED_TX_FULL_NO_WAIT, /* a transport thread's send dropped on a full send fifo */
  VQX_LOG_LIMITED_TX_FULL_WAIT,    /* a send waiting for room in a full send fifo */
  VQX_LOG_LIMITED_TX_WAIT_RX_FULL, /* a send's wait for room ended by its peer's unread backlog */
  VQX_LOG_LIMITED_TX_PENDING_FULL, /* a sent message not kept for retransmission, the ring full */
  VQX_LOG_LIMITED_NB_KINDS
};

/* Buffer prefix state words (16-byte prefix before every message buffer). */
#define VQX_BUF_STATE_ALLOCATED 0xFB0ABABEu  /* also the "received" mark */
#define VQX_BUF_STATE_ALLOCATED2 0xFBBBBABEu /* second allocated state */
#define VQX_BUF_STATE_SENT 0xFEFEBABEu       /* handed to the send path */
#define VQX_BUF_STATE_RELEASED 0xFEEEBABEu
#define VQX_BUF_CLASS_HEAP 0xFFFFFFFFu       /* class index of a heap buffer */
#define VQX_BUF_PREFIX_SIZE 16u
#define VQX_BUF_MAX_CLASSES VQX_API_MAX_PREALLOC_BUF_POOLS

typedef struct _VQX_BUF_PREFIX {
  u32 un32State;
  u32 un32ClassIndex;
  u32 un32RequestedSize;
  u32 un32Spare;
} VQX_BUF_PREFIX;
static_assert(sizeof(VQX_BUF_PREFIX) == VQX_BUF_PREFIX_SIZE);

/* ------------------------------------------------------------ library event */

/*
 * Event: condition variable, its mutex and a signalled flag. Setting sets the
 * flag and broadcasts; a waiter waits until the flag is set or its time-out
 * (monotonic clock) and clears the flag itself before its next wait.
 */
typedef struct _VQX_EVENT {
  pthread_mutex_t Mutex;
  pthread_cond_t Cond;
  u32 fSignaled;
} VQX_EVENT;

VQX_RESULT VqxEventCreate(VQX_EVENT** ppEvent);     /* 0x02000000 or 0x82000012 */
void VqxEventFree(VQX_EVENT* pEvent);               /* no deferral: see VqxHostLibEventDestroy */
void VqxEventSetNow(VQX_EVENT* pEvent);
void VqxEventClear(VQX_EVENT* pEvent);
/* Waits until set: 0x02000000, or 0x82000003 after un32TimeoutMs (0xFFFFFFFF: for ever). */
VQX_RESULT VqxEventWait(VQX_EVENT* pEvent, u32 un32TimeoutMs);

/* -------------------------------------------------------- buffer layer */

/* One size class of pre-allocated buffers. */
typedef struct _VQX_BUF_CLASS {
  u32 un32BufSize;        /* prefix included, multiple of 8 */
  u64 un64Taken;          /* served from the class */
  u64 un64Returned;       /* given back to it */
  u64 un64MissAlloc;      /* fitting requests it could not serve */
  u64 un64MissFree;       /* heap buffers released that it could have held */
  u32 un32NbConfigured;
  u32 un32NbFree;         /* slots on the stack, filled or not yet */
  u32 un32NbInUse;
  void** papFree;         /* stack of un32NbConfigured slots; null slot: not yet allocated */
} VQX_BUF_CLASS;

typedef struct _VQX_BUF_CLASS_TABLE {
  u32 un32NbClasses;
  VQX_BUF_CLASS aClasses[VQX_BUF_MAX_CLASSES];
} VQX_BUF_CLASS_TABLE;

class VqxLiveBufferTable; /* hostlib_buf.cpp: every buffer handed out and not yet freed */
class VqxBufHeapCache;    /* hostlib_buf.cpp: freed heap blocks kept for the next fallback allocations */

/* ------------------------------------------------------ counters */

typedef struct _VQX_LIB_COUNTERS {
  u64 RxMsg, RxMsgRedundant, RxMsgQueued, RxMsgNotQueued, RxMsgConsumedByApp, RxMsgDroppedFilter;
  u64 TxMsg, TxMsgQueued, TxMsgDropped, TxRetransmit, TxPureAck, RxOverflow, RxMsgMatchNoQ;
  u64 SignoMatchNoQ, RxMsgCopy, RxPureAck, FilterAlloc, FilterFreed, ImpFilterAlloc;
  u64 ImpFilterFreed, FilterOwned, AdapterList, AdapterAdd, AdapterHAAdd, AdapterRem, DebugHashItems;
  u32 MsgSerial; /* 32-bit, wrapping; the last serial number given */
} VQX_LIB_COUNTERS;

/* Buffer-layer totals (under the buffer mutex). */
typedef struct _VQX_BUF_COUNTERS {
  u64 un64Hit, un64HitRelease, un64MissAlloc, un64MissFree;
  u64 un64BigMissAlloc, un64BigMissFree; /* sizes above every class */
} VQX_BUF_COUNTERS;

/* --------------------------------------------------------- log queue */

typedef struct _VQX_LOG_LINE {
  char* pszLine; /* heap copy */
  u32 un32Level;
} VQX_LOG_LINE;

/* ------------------------------------------------ hooks of later parts */

/*
 * Operations of the gateway transport glue. Until the glue is connected
 * (VqxHostLibSetGatewayGlue) the library runs with both transport instances
 * off: opening, changing and closing then only record the switches.
 */
typedef struct _VQX_HOSTLIB_GATEWAY_GLUE {
  /* At open, after the log thread: local addresses, port and extra addresses
   * from the environment; may fill pParams' addresses and port. */
  VQX_RESULT (*pFctIpAddressesPrepare)(VQX_LIB_HANDLE hLib, _VQX_LIB_PARAMS* pParams);
  /* Log thread, every 10 s while an address is not settled. */
  void (*pFctIpAddressesUpdate)(VQX_LIB_HANDLE hLib);
  /* Creates the instances the switches ask for; sets un64UniqueHostId. */
  VQX_RESULT (*pFctInit)(VQX_LIB_HANDLE hLib);
  void (*pFctUninit)(VQX_LIB_HANDLE hLib);
  /* fHosts: 0 the adapters' instance, 1 the hosts'. fOn: enable / disable. */
  VQX_RESULT (*pFctEnable)(VQX_LIB_HANDLE hLib, u32 fHosts, u32 fOn);
  /* Re-applies the library parameters to an existing instance. */
  VQX_RESULT (*pFctApplyParams)(VQX_LIB_HANDLE hLib, u32 fHosts);
  VQX_RESULT (*pFctPoll)(VQX_LIB_HANDLE hLib);
  VQX_RESULT (*pFctForceDiscover)(VQX_LIB_HANDLE hLib);
  /* Destroys one instance (fHosts as above) without the library lock: once it
   * returns, its links are closed and nothing more comes from its peers. */
  void (*pFctDestroy)(VQX_LIB_HANDLE hLib, u32 fHosts);
} VQX_HOSTLIB_GATEWAY_GLUE;

/*
 * Parts that open and close with the library (peers, filters, the receive
 * thread): each pointer may stay null. Called in the order of the fields at
 * open (Init) and in reverse at close (Uninit), under the library lock; a
 * failing Init aborts the open, which then calls the Uninit of every part
 * whose Init succeeded.
 */
typedef struct _VQX_HOSTLIB_PART {
  const char* pszInitFailureText; /* logged as "VQXOpenLib: %s\n" */
  VQX_RESULT (*pFctInit)(VQX_LIB_HANDLE hLib);
  void (*pFctUninit)(VQX_LIB_HANDLE hLib);
  /* The close begins (fClosing set, under the lock): wakes the threads blocked in the part's waits. */
  void (*pFctWakeWaiters)(VQX_LIB_HANDLE hLib);
} VQX_HOSTLIB_PART;

/* Parts in open order: adapters and remote hosts, filters, receive thread. */
enum { VQX_HOSTLIB_PART_PEERS = 0, VQX_HOSTLIB_PART_FILTERS = 1, VQX_HOSTLIB_PART_RX_THREAD = 2,
       VQX_HOSTLIB_NB_PARTS = 3 };

/* Send and receive entry points used by the coalescing queue. */
typedef VQX_RESULT (*PFCT_VQX_SEND_MULTIPLE)(VQX_LIB_HANDLE hLib, u32 un32Count, VQX_MSG_HANDLE* pahMsg);
typedef VQX_RESULT (*PFCT_VQX_RECEIVE_MULTIPLE)(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter,
                                                 u32 un32TimeoutMs, u32* pun32Count, VQX_MSG_HANDLE* pahMsg);
/* Statistics printout of the peers ("  Adapters:" block), appended by the peers part. */
typedef void (*PFCT_VQX_STATS_PEERS)(VQX_LIB_HANDLE hLib, void (*pFctPiece)(VQX_LIB_HANDLE, const char*, ...));

/*
 * Process-wide registration of the later parts; set once before the first
 * VQXOpenLib (for instance by a static initialiser of the part's own file).
 * Null arguments restore "not connected".
 */
void VqxHostLibSetGatewayGlue(const VQX_HOSTLIB_GATEWAY_GLUE* pGlue);
void VqxHostLibSetPart(u32 un32Part, const VQX_HOSTLIB_PART* pPart);
void VqxHostLibSetSendReceive(PFCT_VQX_SEND_MULTIPLE pFctSend, PFCT_VQX_RECEIVE_MULTIPLE pFctReceive);
/* The connected glue, or null. */
const VQX_HOSTLIB_GATEWAY_GLUE* VqxHostLibGatewayGlue();

/* ------------------------------------------------------ library instance */

typedef struct _VQX_LIB_CONTEXT {
  u32 un32Magic;          /* VQX_LIB_MAGIC_OPEN while usable */
  u32 un32DebugMagic;     /* verifying layer: "BILH" while registered */
  std::atomic<u32> fClosing;
  std::atomic<u32> fAdaptersClosing; /* VQXCloseAdaptersGw is closing the adapters' links */
  std::atomic<u32> fHostsClosing;    /* VQXCloseHostsGw is closing the hosts' links */
  std::atomic<u32> fSendWaitsEnded;  /* VQXEndSendWaits: its process is closing, no send waits for room */
  /* Threads inside a send call (VqxSendCallScope): the close waits for them to leave, a sender waiting for room
     leaving with a failure once it sees fClosing. */
  std::atomic<u32> un32SendCallsInside;
  /* Threads inside a call that waits for messages (VqxReceiveCallScope): the close wakes them and waits for them to
     leave, each leaving with a failure once it sees fClosing. */
  std::atomic<u32> un32ReceiveCallsInside;

  _VQX_LIB_PARAMS Params; /* copy of the parameters in use */

  /* Library lock. un32CsNesting is changed only by the holder. */
  VQX_MUTEX_HANDLE hCriticalSection;
  u32 un32CsNesting;

  /* Events whose signalling waits for the outermost leave. */
  VQX_MUTEX_HANDLE hEventsToSetCriticalSection;
  VQX_EVENT* apEventsToSet[VQX_LIB_EVENTS_TO_SET_MAX];
  u32 un32NbEventsToSet;
  std::atomic<u32> un32EventsPending;

  /*
   * Messages released by any thread, freed at the next leave of the lock.
   * Guarded by BufMutex: every release updates the live-buffer table anyway,
   * so one mutex serves both (the release-list lock).
   */
  void* apMsgsToRelease[VQX_LIB_MSGS_TO_RELEASE_MAX];
  u32 un32NbMsgsToRelease;
  std::atomic<u32> un32ReleasesPending;

  /* Log queue and printing. */
  VQX_MUTEX_HANDLE hTraceQueueCriticalSection;
  VQX_LOG_LINE aLogRing[VQX_LIB_LOG_QUEUE_SIZE];
  u32 un32LogHead;        /* oldest line */
  u32 un32LogCount;
  u32 un32LogDropped;
  std::atomic<u32> un32TraceLevel;  /* copy of Params.un32TraceLevel read by every log call */
  VQX_MUTEX_HANDLE hOutputCriticalSection;
  FILE* pErrorFile;

  /* Buffer layer (the buffer-allocation lock). */
  std::mutex BufMutex;
  VQX_BUF_CLASS_TABLE* pBufClasses;
  VqxLiveBufferTable* pLiveBuffers;
  VqxBufHeapCache* pHeapCache;
  VQX_BUF_COUNTERS BufCounters;
  u32 un32BufRefusals;    /* allocations still to refuse (VqxBufRefuseNextAllocations) */

  /* Time. */
  u64 un64ClockAtOpen;    /* ms */
  u64 un64Now;            /* ms, refreshed by the log thread and on demand */
  u32 un32WallClockAtOpen; /* s */
  u32 un32WallClockNow;   /* s */
  u64 un64LastAddressRefresh;

  /* Identity and gateway transport state. */
  u64 un64UniqueHostId;
  char szLocalGw0Address[64];
  char szLocalGw1Address[64];
  u32 fGw0Settled, fGw1Settled, fNoLocalAddress;
  u32 un32NbExtraGwAddr;              /* the library's own copy */
  _VQX_EXTRA_GW_ADDR* paExtraGwAddr;
  u32 un32NbEnvExtraGwAddr;           /* read from the environment at open */
  _VQX_EXTRA_GW_ADDR* paEnvExtraGwAddr;
  u16 un16EnvGwPort;
  void* pvAdaptersGw;                 /* transport instances, owned by the glue */
  void* pvHostsGw;
  u32 afGwEnabled[2];                 /* [0] adapters, [1] hosts */
  u32 fGwInitCalled;                  /* the glue's Init ran (its Uninit runs at close) */

  /* Counters. */
  VQX_LIB_COUNTERS Counters;
  /* Lines a peer's bad input repeats, each once a second (under the library lock). */
  CVqxLogLimit aLogLimit[VQX_LOG_LIMITED_NB_KINDS];

  /* Log thread. */
  VQX_THREAD_RECORD LogThread;
  std::atomic<u32> fLogThreadRunning;
  u32 fLogThreadExited;
  VQX_EVENT* pLogEvent;
  VQX_EVENT* pLogExitEvent;

  /* Parts built later: each keeps its state behind its own pointer. */
  u32 afPartInitialised[VQX_HOSTLIB_NB_PARTS];
  void* pvPeers;          /* adapters and remote hosts */
  void* pvFilters;        /* filter lists, exclusive lists, implicit filters */
  void* pvRxThread;       /* receive thread */
  void* pvDebug;          /* verifying layer */
  PFCT_VQX_SEND_MULTIPLE pFctSendMultiple;
  PFCT_VQX_RECEIVE_MULTIPLE pFctReceiveMultiple;
  PFCT_VQX_STATS_PEERS pFctStatsPeers;
  /* Verifying layer: when set, VQXTestMsgEx first asks it whether it knows the message. */
  VQX_RESULT (*pFctTestMsgDbg)(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg);
} VQX_LIB;

static inline VQX_LIB* VqxLib(VQX_LIB_HANDLE hLib) { return reinterpret_cast<VQX_LIB*>(hLib); }

/* ------------------------------------------------------------- locking */

/* Releases every level the caller holds; returns how many (0: not held). */
u32 VqxHostLibLockReleaseAll(VQX_LIB_HANDLE hLib);
/* Takes the lock back as many times as VqxHostLibLockReleaseAll gave it up. */
void VqxHostLibLockRetake(VQX_LIB_HANDLE hLib, u32 un32Levels);
/* Non-zero when the calling thread holds the library lock. */
u32 VqxHostLibLockHeld(VQX_LIB_HANDLE hLib);

/*
 * Deferred signalling: a holder of the library lock has the event set after
 * its outermost leave (once, however often it was asked); with 128 events
 * listed, or when the caller does not hold the lock, it is set at once.
 */
void VqxHostLibEventSet(VQX_LIB_HANDLE hLib, VQX_EVENT* pEvent);
/* Removes the event from the list, sets it, broadcasts and frees it. */
void VqxHostLibEventDestroy(VQX_LIB_HANDLE hLib, VQX_EVENT* pEvent);
#define VQX_HOSTLIB_EVENT_SET(hLib, pEvent) VqxHostLibEventSet(hLib, pEvent)
#define VQX_HOSTLIB_EVENT_DESTROY(hLib, pEvent) VqxHostLibEventDestroy(hLib, pEvent)

/* Frees every message of the release list now (called at each leave; the buffer layer's). */
void VqxHostLibFlushReleases(VQX_LIB_HANDLE hLib);

/*
 * Takes the library lock like VQX_HOSTLIB_CRITICAL_SECTION_ENTER, but tries
 * a short while without sleeping first. The lock hands itself over to a
 * sleeping waiter on release, so a sender and a reader that both sleep on it
 * run in lock-step, one context switch per message; a reader that waits a
 * few microseconds instead takes it while it is free.
 */
void VqxLibLockEnterSpinning(VQX_LIB_HANDLE hLib);
#define VQX_LIB_LOCK_SPIN_TRIES 200u
#define VQX_LIB_LOCK_SPIN_PAUSES 16u
/* The same with un32Tries attempts, each followed by un32Pauses processor pauses, before sleeping on the lock. */
void VqxLibLockEnterSpinning(VQX_LIB_HANDLE hLib, u32 un32Tries, u32 un32Pauses = VQX_LIB_LOCK_SPIN_PAUSES);
/* Takes back un32Levels levels given up by VqxHostLibLockReleaseAll, the first one spinning. */
void VqxLibLockRetakeSpinning(VQX_LIB_HANDLE hLib, u32 un32Levels, u32 un32Tries = VQX_LIB_LOCK_SPIN_TRIES,
                              u32 un32Pauses = VQX_LIB_LOCK_SPIN_PAUSES);

/* One pause of a spinning thread. */
static inline void VqxCpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  __asm__ __volatile__("" ::: "memory");
#endif
}

/* ------------------------------------------------------------- logging */

void VqxHostLibLogV(VQX_LIB_HANDLE hLib, u32 un32Level, const char* pszFormat, va_list vaArgs);
/* Whether a line of this level would be kept (VqxHostLibLogV drops the others before formatting). */
bool VqxHostLibLogKeeps(VQX_LIB_HANDLE hLib, u32 un32Level);
/* Prints one line now on the error path (under the output lock). */
void VqxHostLibPrintError(VQX_LIB_HANDLE hLib, const char* pszLine);
/* Log thread body and its start / stop. */
VQX_RESULT VqxHostLibLogThreadStart(VQX_LIB_HANDLE hLib);
void VqxHostLibLogThreadStop(VQX_LIB_HANDLE hLib);
/* Frees the lines still queued. */
void VqxHostLibLogQueueFree(VQX_LIB_HANDLE hLib);
/* Refreshes "now" and the wall clock. */
void VqxHostLibRefreshNow(VQX_LIB_HANDLE hLib);
/*
 * An error line a peer's input may repeat without end (a stream of bad message
 * headers): logged once a second per kind (VQX_LOG_LIMITED_*) at most, the lines
 * left out counted and told with the next one logged, " (N similar line(s) left
 * out)" before its newline. Under the library lock; true when the line was logged,
 * so that a line that goes with it is logged or left out alike.
 */
bool VqxHostLibLogLimited(VQX_LIB_HANDLE hLib, u32 un32Kind, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
/* Counts left out whose second is over at "now" (VqxHostLibRefreshNow), each on a line of its own; the log
   thread's pass, under the lock. */
void VqxHostLibLogLeftOut(VQX_LIB_HANDLE hLib);

/*
 * The gateway transport's threads (receive, discover, connect) run library code in its callbacks. Such a thread
 * never waits for room in a send fifo: it is the one that reads what would make room (acknowledgements) or
 * tells that the peer went away (a link's close), so its wait could last for ever. A scope marks the thread for
 * the time of a callback; a send it makes on a full fifo is dropped with a line (VqxMsgSendTo).
 */
extern thread_local u32 t_un32VqxTransportDepth;
struct VqxTransportThreadScope {
  VqxTransportThreadScope() { ++t_un32VqxTransportDepth; }
  ~VqxTransportThreadScope() { --t_un32VqxTransportDepth; }
  VqxTransportThreadScope(const VqxTransportThreadScope&) = delete;
  VqxTransportThreadScope& operator=(const VqxTransportThreadScope&) = delete;
};
inline bool VqxOnTransportThread() { return t_un32VqxTransportDepth != 0; }

/*
 * Result tables of four adapter-board managers (boot 1047, voice processing
 * 1046, SS7 1056, BERT 1078): 132-byte rows of a result word and its text
 * "NAME: text", generic rows first; searched by VQXGetErrorString.
 */
typedef struct _VQX_MANAGER_ERROR_ROW {
  u32 un32Result;
  char szText[128];
} VQX_MANAGER_ERROR_ROW;
static_assert(sizeof(VQX_MANAGER_ERROR_ROW) == 132);
extern const VQX_MANAGER_ERROR_ROW g_aBootMgrError[];
extern const u32 g_aBootMgrErrorCount;
extern const VQX_MANAGER_ERROR_ROW g_aVpMgrError[];
extern const u32 g_aVpMgrErrorCount;
extern const VQX_MANAGER_ERROR_ROW g_aSs7MgrError[];
extern const u32 g_aSs7MgrErrorCount;
extern const VQX_MANAGER_ERROR_ROW g_aBertMgrError[];
extern const u32 g_aBertMgrErrorCount;

/* The result's name, for log lines. */
const char* VqxResultName(VQX_RESULT Result, char* pszBuf, u32 un32BufSize);
const char* VqxResultSourceName(u32 un32Source);
const char* VqxResultExactName(VQX_RESULT Result);

/* A thread inside a call that may wait, counted until it has left the library (the close waits for it). */
class VqxCallScope {
 public:
  explicit VqxCallScope(std::atomic<u32>& un32Inside) : mun32Inside(un32Inside) { mun32Inside++; }
  ~VqxCallScope() { mun32Inside--; }
  VqxCallScope(const VqxCallScope&) = delete;
  VqxCallScope& operator=(const VqxCallScope&) = delete;

 private:
  std::atomic<u32>& mun32Inside;
};
/* One of the send calls (its send may wait for room). */
struct VqxSendCallScope : VqxCallScope {
  explicit VqxSendCallScope(VQX_LIB_HANDLE hLib) : VqxCallScope(VqxLib(hLib)->un32SendCallsInside) {}
};
/* A receive or a wait for messages on a filter. */
struct VqxReceiveCallScope : VqxCallScope {
  explicit VqxReceiveCallScope(VQX_LIB_HANDLE hLib) : VqxCallScope(VqxLib(hLib)->un32ReceiveCallsInside) {}
};
/*
 * First step of a close: marks the instance closing, wakes what waits in the parts and waits (at most
 * VQX_LIB_SEND_WAIT_CLOSE_MS) for the calls inside to leave, each with its failure. Called again by the close
 * itself, it has nothing left to do.
 */
void VqxHostLibLetCallsOut(VQX_LIB_HANDLE hLib);

/* --------------------------------------------- local addresses, environment */

#define VQX_GW_ENV_VALUE_MAX 1024u
#define VQX_GW_ADDR_TEXT_MAX 63u
#define VQX_GW_SUBNET_ENTRY_MAX 62u
#define VQX_GW_ERROR_TEXT_SIZE 256u
#define VQX_GW_INVALID_ADDR 0xFFFFFFFFu
#define VQX_GW_MAX_LOCAL_IFACES 16u

/* ------------------------------------------------------------ parsers */

/*
 * Dotted IPv4 text (four decimal numbers 0..255) to a network-order value.
 * False for anything else.
 */
bool VqxParseIpv4(const char *pszText, u32 *pun32Addr);

/*
 * Subnet list "[!](a.b.c.d, ...)": an allocated array (free()) of network-
 * order addresses, 0, 255.255.255.255 and 127.0.0.1 left out; *pfExclude is
 * 1 with a leading "!". Null with *pun32Count 0 when the list is empty.
 */
u32 *VqxHostParseGwSubnets(const char *pszText, u32 *pun32Count, u32 *pfExclude);

/* The gateway port from VQX_GW_PORT (automatic base); 12358 absent or invalid
 * (warned). */
u16 VqxGwPortFromEnv(VQX_LIB_HANDLE hLib);

/* ------------------------------------------------------ local addresses */

/* Wanted address of gw0 (fGw1 0) or gw1 (network order), VQX_GW_INVALID_ADDR
 * for none. */
u32 VqxGetLocalIpAddrToUse(VQX_LIB_HANDLE hLib, const _VQX_LIB_PARAMS *pParams, u32 fGw1);
/* True for an address (network order) on 127.0.0.0/8. */
bool VqxIsLoopback(u32 un32Addr);
/* Settles the local addresses against the interface table. A wanted gw0 or
 * gw1 address on 127.0.0.0/8 first confines the process's transports to the
 * loopback interface (VqxGwLibSetLoopbackOnly); any other setting lifts it.
 * A VQX_GW_REMOTE_ADDR that VQXParseExtraGwAddr refuses (syntax, or longer
 * than 1024 characters) is logged; when the parameters give no list of their
 * own (the environment's is the one to use) it fails with that result
 * (0x8201000A), as a failing interface list does (0x82010001). */
VQX_RESULT VqxIpAddressesPrepare(VQX_LIB_HANDLE hLib, _VQX_LIB_PARAMS *pParams);
void VqxIpAddressesUpdate(VQX_LIB_HANDLE hLib);
VQX_RESULT VqxHostGuessLocalIPs(VQX_LIB_HANDLE hLib, const char *pszPeerGw0, const char *pszPeerGw1);
/* Interfaces (network order) from the transport's table, refreshed first;
 * count. */
u32 VqxLocalInterfaces(u32 *paun32Addr, u32 *paun32Mask);

#endif
