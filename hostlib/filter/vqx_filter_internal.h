/*
 * vqx_filter_internal.h - inside the host library: the filter record, the
 * library's filter lists and exclusive claims, and the operations the
 * receive, send and verifying layers call. Everything here runs with the
 * library lock held unless said otherwise.
 */
#ifndef VQX_FILTER_INTERNAL_H
#define VQX_FILTER_INTERNAL_H

#include <pthread.h>

#include <deque>
#include <utility>

#include "vqx_host_filter.h"
#include "msg/hostlib_msg_internal.h"
#include "vqx_gwlib.h"

#define VQX_FILTER_STATE_INACTIVE 0u
#define VQX_FILTER_STATE_ACTIVE 1u
#define VQX_FILTER_QUEUE_UNLIMITED 0xFFFFFFFFu
#define VQX_FILTER_NB_PREALLOC_IMPLICIT 16u
#define VQX_FILTER_LEAK_WATCH_MS 5000u
#define VQX_FILTER_CLOSE_WAIT_MS 5000u  /* library close: longest wait for readers of destroyed filters */
#define VQX_FILTER_HELD_LINK_OFFSET 64u   /* header bytes 64..79 chain held sends */
#define VQX_FILTER_MAGIC_DBG 0x48414441u  /* "ADAH" in memory order */
#define VQX_RX_THREAD_MAX_FILTERS 8u
#define VQX_RX_THREAD_MAX_SLEEP_MS 400u
#define VQX_RX_THREAD_MIN_SLEEP_MS 10u
#define VQX_EXCL_SORT_PERIOD_MS 1000u

/* Message groups with a meaning for local delivery. */
#define VQX_MSG_GROUP(id) ((id) >> 16)

struct VQX_EXCL_ENTRY;

/* The filter record; its address is the filter handle. */
struct _VQX_FILTER_CONTEXT {
  u32 un32DbgMagic1;                 /* "ADAH" while the verifying layer tracks it */
  _VQX_FILTER_CONTEXT* pNext;        /* active list or free implicit list */
  u32 un32FilterNumber;
  u32 fImplicit;
  u32 un32State;
  u32 fLostMessages;
  VQX_RESULT LossResult;
  /* Queue, chained through the first 8 payload bytes. */
  VQX_MSG_HANDLE hFirst;
  VQX_MSG_HANDLE hLast;
  u32 un32Count;
  u32 un32Limit;
  VQX_EVENT* pEvent;
  u32 un32WakeCount;
  VQX_RESULT WakeResult;
  u32 un32PeakCount;
  u64 un64RxCallsWithMsg;
  u64 un64RxCallsWithoutMsg;
  u64 un64MsgQueued;
  u32 fCreationSiteKnown;
  const char* pszFile;
  u32 un32Line;
  u64 un64LastReadTick;              /* 0: not set */
  u32 fOwnerKnown;
  pthread_t OwnerThread;
  u32 un32Waiters;                   /* threads blocked on pEvent */
  /*
   * Threads inside a receive or wait on this filter with the lock given up
   * (blocked or polling). While non-zero the record is not freed: a destroy
   * detaches it (fDetached) and the last of them to come back frees it.
   */
  u32 un32Inside;
  u32 fDetached;
  /* Bumped (atomically) on each post, wake and detach; alone on its cache line, as readers poll it. */
  u8 abyActivityPadBefore[64];
  u32 un32Activity;
  u8 abyActivityPadAfter[60];
  /* Messages held for sending until the owner next receives. */
  VQX_MSG_HANDLE hHeldFirst;
  VQX_MSG_HANDLE hHeldLast;
  u32 un32HeldCount;
  u32 un32HeldLinkOffset;
  _VQX_FILTER_CALLBACK_PARAMS Callbacks;
  u64 un64LastCallbackTick;
  /* What the callback handed back and the send refused, kept for its owner (VQXKeepSendRefusals), oldest first. */
  u32 fKeepRefusals;
  std::deque<std::pair<VQX_MSG_HANDLE, VQX_RESULT>>* pRefused;
  u32 un32NbParams;
  u32 un32NbNegative;
  u32 un32Capacity;
  u32 un32DbgMagic2;                 /* "ADAH" while tracked */
  _VQX_FILTER_PARAMS aParams[1];     /* un32Capacity sets, negative first */
};
typedef _VQX_FILTER_CONTEXT VQX_FILTER;

/* A doubly linked list of claims. */
struct VQX_EXCL_LIST {
  VQX_EXCL_ENTRY* pFirst;
  VQX_EXCL_ENTRY* pLast;
  u32 un32Count;
};

enum { VQX_EXCL_BY_ADAPTER = 0, VQX_EXCL_BY_GROUP, VQX_EXCL_BY_CONTEXT1, VQX_EXCL_BY_CONTEXT2, VQX_EXCL_BY_PAIR,
       VQX_EXCL_NB_LISTS };

struct VQX_EXCL_ENTRY {
  VQX_EXCL_ENTRY* pPrev;
  VQX_EXCL_ENTRY* pNext;
  VQX_FILTER* pOwner;
  u32 hAdapter;
  u32 un32MsgGroup;
  u64 un64UserContext1;
  u64 un64UserContext2;
  u32 un32Hits;
};

/* Where a message being dispatched may record wake-ups to do at the end of a batch. */
struct VQX_BATCH_CONTEXT {
  VQX_FILTER* apToWake[64];
  u32 un32NbToWake;
  u32 fOverflow;                     /* more than 64: wake at once */
  u64 un64Now = 0;                   /* clock read once per batch, 0: not yet */
  /* The peer the message being dispatched came from, when the caller has it at hand (spares a lookup per post). */
  u32 hSource = 0;
  struct _VQX_PEER* pSource = nullptr;
};

/* Per-library state of the filter layer (VQX_LIB::pvFilters). */
struct VQX_FILTER_LIB {
  VQX_FILTER* pActiveFirst;
  VQX_FILTER* pActiveLast;
  VQX_FILTER* pImplicitFirst;
  VQX_FILTER* pImplicitLast;
  VQX_FILTER* pFreeImplicit;
  VQX_EXCL_LIST aExcl[VQX_EXCL_NB_LISTS];
  u32 un32FilterNumber;              /* filters made, implicit ones included */
  u64 un64MsgWaiting;
  u64 un64MsgPopped;
  /* Receive thread's view. */
  VQX_EVENT* pPostingEvent;          /* wakes the receive thread */
  u32 fPostingInProgress;            /* callbacks running without the lock */
  pthread_t PostingThread;
  u32 un32PostingDelayMs;            /* smallest callback idle period, 0 none */
};

static inline VQX_FILTER_LIB* VqxFilterLib(VQX_LIB_HANDLE hLib) {
  return static_cast<VQX_FILTER_LIB*>(VqxLib(hLib)->pvFilters);
}
static inline VQX_FILTER* VqxFilter(VQX_FILTER_HANDLE hFilter) { return hFilter; }

/* Next-message link of a queued message (first 8 payload bytes). */
static inline VQX_MSG_HANDLE* VqxMsgQueueLink(VQX_MSG_HANDLE hMsg) {
  return reinterpret_cast<VQX_MSG_HANDLE*>(VQXMsgPayload(hMsg));
}

/* ------------------------------------------------------------ filter core */

VQX_RESULT VqxFilterInit(VQX_LIB_HANDLE hLib);
void VqxFilterUninit(VQX_LIB_HANDLE hLib);
/* The close begins: wakes every reader of a filter (a reader that sees fClosing leaves). */
void VqxFilterWakeReaders(VQX_LIB_HANDLE hLib);
/* Mask pair check of one set: true when no field is selected both ways. */
bool VqxFilterMaskValid(u32 un32Mask);
bool VqxFilterParamsMatch(const _VQX_FILTER_PARAMS* pParams, const _VQX_MSG_HEADER* pMsg);
VQX_RESULT VqxFilterCreate(VQX_LIB_HANDLE hLib, u32 un32NbParams, _VQX_FILTER_PARAMS* paParams, VQX_FILTER** ppFilter);
VQX_RESULT VqxFilterActivate(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter);
VQX_RESULT VqxFilterModify(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, u32 un32NbParams, _VQX_FILTER_PARAMS* paParams,
                           const _VQX_FILTER_CALLBACK_PARAMS* pCallbacks);
/* *pun32Freed: messages freed; returns 0x02010211 as the public destroy would, else 0x02010000. */
VQX_RESULT VqxFilterDeactivate(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, u32* pun32Freed);
VQX_RESULT VqxFilterDestroy(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter);
VQX_RESULT VqxFilterFlush(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, u32* pun32Count, u32 hAdapter);
/* Frees, from every active filter of the list from pFirst, the messages of one peer (a peer that went away). */
VQX_RESULT VqxFiltersFlushAdapter(VQX_LIB_HANDLE hLib, u32 hAdapter, VQX_FILTER* pFirst);
void VqxFilterUpdateMsgPopStats(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, VQX_MSG_HANDLE hMsg, u32 fFromReceive);
/* Pops the head of the queue (null when empty), with the pop bookkeeping. */
VQX_MSG_HANDLE VqxFilterPop(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, u32 fFromReceive);
/* Pops up to un32Max messages into pahMsg, in queue order, with the bookkeeping of as many pops; returns how many. */
u32 VqxFilterPopMany(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, u32 un32Max, u32 fFromReceive, VQX_MSG_HANDLE* pahMsg);
/* Is the filter one of this library's live filters (active, inactive or free implicit)? */
bool VqxFilterIsKnown(VQX_LIB_HANDLE hLib, const VQX_FILTER* pFilter);
/* Sends the held messages of a filter. */
void VqxFilterSendHeld(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter);

/* Posting and dispatch. pBatch may be null (wake at once after the lock). */
void VqxMsgPostToFilter(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, VQX_MSG_HANDLE hMsg, VQX_BATCH_CONTEXT* pBatch);
/*
 * Offers the message to the active filters of the list starting at pFirst
 * (fSingle: only pFirst). Returns true when a filter took it (the message is
 * then the library's); false leaves it with the caller.
 */
bool VqxMsgDispatchToFilters(VQX_LIB_HANDLE hLib, VQX_FILTER* pFirst, u32 fSingle, VQX_MSG_HANDLE hMsg,
                             VQX_BATCH_CONTEXT* pBatch);
/* Exclusive, then implicit (responses only when fResponsesOnlyToImplicit), then ordinary filters. */
bool VqxMsgDispatchLocal(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, u32 fResponsesOnlyToImplicit,
                         VQX_BATCH_CONTEXT* pBatch);
/* The same for a message the caller has already marked as received (VqxBufMarkReceivedUsableSize). */
bool VqxMsgDispatchLocalMarked(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, u32 fResponsesOnlyToImplicit,
                               VQX_BATCH_CONTEXT* pBatch);

/* Tells a polling reader that something happened on the filter (lock held). */
static inline void VqxFilterNoteActivity(VQX_FILTER* pFilter) {
  __atomic_fetch_add(&pFilter->un32Activity, 1u, __ATOMIC_RELEASE);
}
static inline u32 VqxFilterActivity(const VQX_FILTER* pFilter) {
  return __atomic_load_n(&pFilter->un32Activity, __ATOMIC_ACQUIRE);
}
/*
 * A reader back under the lock after waiting on a filter (un32Inside taken
 * before it gave the lock up): leaves it, and frees the record when the
 * filter was destroyed meanwhile and it was the last one inside. Returns
 * false when the filter is gone (destroyed or no longer active).
 */
bool VqxFilterReaderBack(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter);
/* Test hook: called by a reader whose wait on a filter's event ended, before it takes the lock back (null: none). */
typedef void (*PFCT_VQX_FILTER_READER_WOKEN)(VQX_FILTER_HANDLE hFilter);
void VqxFilterSetReaderWokenHook(PFCT_VQX_FILTER_READER_WOKEN pFct);
void VqxFilterReaderWoken(VQX_FILTER* pFilter);
/* Signals the filters recorded in a batch; takes the lock itself (call it with or without). */
void VqxBatchWake(VQX_LIB_HANDLE hLib, VQX_BATCH_CONTEXT* pBatch);
/*
 * Checks made on a received message before dispatch that need no peer
 * record: corrupted sizes, an old 64-byte header widened to 88 bytes, the
 * receive trace line; then dispatch. *phMsg is consumed in every case.
 * 0x02010000 taken; 0x82010020 unusable (released); 0x82010015 nobody took it
 * (released). un64Held: the bytes the buffer holds when the caller knows them
 * (a buffer the transport just had allocated, still in its allocated state),
 * which spares the trip through the buffer mutex; 0: looked up.
 */
VQX_RESULT VqxFilterApply(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg, VQX_BATCH_CONTEXT* pBatch, u64 un64Held = 0);

/* Implicit (awaited-response) filters. */
VQX_RESULT VqxFilterImplicitAllocate(VQX_LIB_HANDLE hLib, VQX_FILTER** ppFilter);
VQX_RESULT VqxFilterImplicitRelease(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter);
/* Wakes every active implicit filter awaiting hAdapter with 0x8201020A. */
void VqxHostAwakeImplictitFilters(VQX_LIB_HANDLE hLib, u32 hAdapter);

/* ------------------------------------------------------------ exclusive */

VQX_RESULT VqxValidateExclusiveFilter(VQX_LIB_HANDLE hLib, const VQX_FILTER* pFilter, u32 un32NbParams,
                                      _VQX_FILTER_PARAMS* paParams);
VQX_RESULT VqxExclusiveFilterInsertAll(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter);
VQX_RESULT VqxExclusiveFilterRemoveAll(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter);
/* True when a claim took the message (posted to its owner). */
bool VqxMsgDispatchToExclusiveFilters(VQX_LIB_HANDLE hLib, VQX_BATCH_CONTEXT* pBatch, VQX_MSG_HANDLE hMsg,
                                      bool fMarked = false);
void VqxMsgSortExclusiveFilters(VQX_LIB_HANDLE hLib);
void VqxExclusiveFreeAll(VQX_LIB_HANDLE hLib);

/* The routine behind every receive call (*pun32Count: in capacity, out taken). */
VQX_RESULT VqxMsgReceive(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, u32 un32NbToSend, VQX_MSG_HANDLE* pahToSend,
                         u32 un32TimeoutMs, u32* pun32Count, VQX_MSG_HANDLE* pahMsg);

/* ------------------------------------------------------ receive thread */

VQX_RESULT VqxRxThreadInit(VQX_LIB_HANDLE hLib);
void VqxRxThreadUninit(VQX_LIB_HANDLE hLib);
/* Keeps, or stops keeping (those kept then freed), what the filter's callback hands back and the send refuses. Lock
   held. */
void VqxFilterKeepRefusals(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, u32 fKeep);
/* Waits (lock released) until the receive thread is not running callbacks; no-op on that thread. */
void VqxWaitNoMorePostingToFilters(VQX_LIB_HANDLE hLib);
/* Recomputes the receive thread's idle delay from the callback filters and wakes it. */
void VqxCalculateMsgPostingThreadDelay(VQX_LIB_HANDLE hLib);
/* Wakes the receive thread (a callback filter has messages). */
void VqxRxThreadKick(VQX_LIB_HANDLE hLib);
/*
 * Periodic work of the receive thread when it has no callback to serve
 * (the peer layer's pushes and time-outs), called under the library lock;
 * returns the longest the thread may then sleep in ms (0: no limit of its
 * own). Set once before the first open; null: none.
 */
typedef u32 (*PFCT_VQX_RX_PERIODIC)(VQX_LIB_HANDLE hLib);
void VqxHostLibSetRxPeriodic(PFCT_VQX_RX_PERIODIC pFct);

/* ----------------------------------------------------------------- send */

/* One message under the lock; the library owns it from here (freed on failure). */
VQX_RESULT VqxMsgSend(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, VQX_BATCH_CONTEXT* pBatch);
/* "TX ..." / "RX ..." trace line of a message (trace level 2 or below). */
void VqxTraceMsg(VQX_LIB_HANDLE hLib, u32 fReceived, VQX_MSG_HANDLE hMsg);
/*
 * Route to adapters and remote hosts, registered by the peer send path;
 * while none is registered such sends fail with 0x82010019. Takes the message.
 */
typedef VQX_RESULT (*PFCT_VQX_SEND_TO_PEER)(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg);
void VqxHostLibSetPeerSend(PFCT_VQX_SEND_TO_PEER pFct);

/* ------------------------------------------- hooks of the peer module */

/*
 * Implemented by the peer module (peer/), which is linked only into programs
 * that use peers: where the filter layer must run without it, it references
 * them weakly and does without them when they are absent (null).
 */
/* Peer records, adapters and hosts together: one for each record the two transport instances hold at once, so
   that every peer they link finds one (an adapter absent gives its record when a new peer needs it). */
#define VQX_PEER_MAX (VQX_GW_MAX_ADAPTER_PEERS + VQX_GW_MAX_HOST_PEERS)
struct _VQX_PEER;
/* A filter was made: every present peer it concerns is sent a remote create. */
void VqxPeerFilterCreated(VQX_LIB_HANDLE hLib, _VQX_FILTER_CONTEXT* pFilter);
/* A filter goes away: every present peer it concerned is sent a remote destroy. */
void VqxPeerFilterDestroyed(VQX_LIB_HANDLE hLib, _VQX_FILTER_CONTEXT* pFilter);
/*
 * Around a change of a filter's sets: Begin records which present peers the
 * filter concerns (into the caller's array of VQX_PEER_MAX flags, indexed by
 * slot); End tells each present peer create / modify / destroy.
 */
void VqxPeerFilterModifyBegin(VQX_LIB_HANDLE hLib, _VQX_FILTER_CONTEXT* pFilter, u8* pafConcerned);
void VqxPeerFilterModifyEnd(VQX_LIB_HANDLE hLib, _VQX_FILTER_CONTEXT* pFilter, const u8* pafConcerned);
/* An ordinary filter became active: added, gw0 up, gw1 up of each present peer, to it alone. */
void VqxPeerFilterActivated(VQX_LIB_HANDLE hLib, _VQX_FILTER_CONTEXT* pFilter);
/* The adapter or remote host a queued message came from (none for local messages or without peers). */
struct _VQX_PEER* VqxMsgSource(VQX_LIB_HANDLE hLib, const _VQX_MSG_HEADER* pMsg);
/* A source's count of messages waiting in filters (and a remote host's bytes), with its high watermark and its
   clearing; pMsg the message posted or popped, its length unchanged in between. */
void VqxSourceCountPosted(VQX_LIB_HANDLE hLib, struct _VQX_PEER* pPeer, const _VQX_MSG_HEADER* pMsg);
void VqxSourceCountPopped(VQX_LIB_HANDLE hLib, struct _VQX_PEER* pPeer, const _VQX_MSG_HEADER* pMsg);
/* True for an adapter board, false for a remote host. */
bool VqxSourceIsAdapter(const struct _VQX_PEER* pPeer);
/* Pushes every peer (fAll: posting and awaited-response time-outs) or the
 * queued ones. */
void VqxKickMsgSendToGwLib(VQX_LIB_HANDLE hLib, u32 fAll);

/* ----------------------------------------------------- verifying layer */

/* Non-zero when hLib is the library registered with the verifying layer. */
u32 VqxDebugActive(VQX_LIB_HANDLE hLib);
/* Adds a message handed to the application by the receive thread's callbacks. */
void VqxDebugAddMsg(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, const char* pszFile, u32 un32Line);
/* A message the application hands back through a callback: false when it must not be sent. */
bool VqxDebugTakeBackMsg(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, const char* pszFile, u32 un32Line);

#endif
