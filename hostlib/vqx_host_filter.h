/*
 * vqx_host_filter.h - receiving and sending host messages inside one
 * process: message filters, blocking receive, local delivery, and the
 * verifying (...Dbg) entry points that track what an application holds.
 *
 * Model. A filter holds 1 to 128 match sets (_VQX_FILTER_PARAMS). Every
 * message the library receives, or that an application sends to a local
 * destination (0xDA000000..0xDA00FFFF, or a board group 0xEA......), is
 * offered to the filters: first to the exclusive claims, then to the awaited
 * response (implicit) filters, then to the ordinary ones in creation order.
 * Each filter that takes it gets a copy, the last one the message itself.
 * A thread receives from a filter (VQXReceiveMsg, blocking with a time-out)
 * or the library's receive thread feeds a callback (VQXModifyMsgFilter).
 *
 * Threads. Any thread may call any operation. A filter is normally read by
 * one thread; VQXWakeMsgFilter may be called from any other thread.
 *
 * Results. 0x02010000 on success unless said otherwise; failures have bit 31
 * set. Sends take the message in every case once the library handle is
 * valid (freed on failure) and clear the caller's handle.
 */
#ifndef VQX_HOST_FILTER_H
#define VQX_HOST_FILTER_H

#include "vqx_host.h"

/* ------------------------------------------------------------- constants */

#define VQX_FILTER_MAX_PARAMS 128u
#define VQX_MAX_MSG_PER_RECEIVE_LOOP 1024u
#define VQX_RECEIVE_MULTIPLE_MAX 16u        /* array size of VQXReceiveMsgMultiple */
#define VQX_TIMEOUT_INFINITE 0xFFFFFFFFu

/* Bits of _VQX_FILTER_PARAMS.un32Mask. */
#define VQX_FILTER_MASK_ADAPTER 0x00000001u       /* peer handle equals hAdapter */
#define VQX_FILTER_MASK_MSG_TYPE 0x00000002u      /* MsgType AND MsgTypeMask non-zero */
#define VQX_FILTER_MASK_MSG_ID 0x00000004u
#define VQX_FILTER_MASK_MSG_GROUP 0x00000008u     /* id >> 16 equals MsgGroup */
#define VQX_FILTER_MASK_SERIAL 0x00000010u
#define VQX_FILTER_MASK_USER_CONTEXT1 0x00000020u
#define VQX_FILTER_MASK_USER_CONTEXT2 0x00000040u
#define VQX_FILTER_MASK_MATCH_ALL 0x0000007Fu
#define VQX_FILTER_MASK_NOT_SHIFT 8u              /* NOT form = match bit << 8 */
#define VQX_FILTER_MASK_NOT_ADAPTER (VQX_FILTER_MASK_ADAPTER << VQX_FILTER_MASK_NOT_SHIFT)
#define VQX_FILTER_MASK_NOT_MSG_TYPE (VQX_FILTER_MASK_MSG_TYPE << VQX_FILTER_MASK_NOT_SHIFT)
#define VQX_FILTER_MASK_NOT_MSG_ID (VQX_FILTER_MASK_MSG_ID << VQX_FILTER_MASK_NOT_SHIFT)
#define VQX_FILTER_MASK_NOT_MSG_GROUP (VQX_FILTER_MASK_MSG_GROUP << VQX_FILTER_MASK_NOT_SHIFT)
#define VQX_FILTER_MASK_NOT_SERIAL (VQX_FILTER_MASK_SERIAL << VQX_FILTER_MASK_NOT_SHIFT)
#define VQX_FILTER_MASK_NOT_USER_CONTEXT1 (VQX_FILTER_MASK_USER_CONTEXT1 << VQX_FILTER_MASK_NOT_SHIFT)
#define VQX_FILTER_MASK_NOT_USER_CONTEXT2 (VQX_FILTER_MASK_USER_CONTEXT2 << VQX_FILTER_MASK_NOT_SHIFT)
#define VQX_FILTER_MASK_EXCLUSIVE_ADAPTER 0x00200000u
#define VQX_FILTER_MASK_EXCLUSIVE_MSG_GROUP 0x00800000u
#define VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT1 0x02000000u
#define VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT2 0x04000000u
#define VQX_FILTER_MASK_EXCLUSIVE_ALL 0x06A00000u
#define VQX_FILTER_MASK_NEGATIVE 0x40000000u      /* a match keeps the message away */

/* One match set (48 bytes). Callers put 1 in un32Version. */
typedef struct _VQX_FILTER_PARAMS {
  u32 un32Version;
  u32 un32Mask;
  u32 hAdapter;
  u32 MsgTypeMask;     /* OR of _VQX_MSG_TYPE values */
  u32 MsgId;
  u32 MsgGroup;        /* message id >> 16 */
  u32 un32SerialNumber;
  u32 un32Padding;
  u64 un64UserContext1;
  u64 un64UserContext2;
} _VQX_FILTER_PARAMS;
static_assert(sizeof(_VQX_FILTER_PARAMS) == 48);
static_assert(offsetof(_VQX_FILTER_PARAMS, un32Mask) == 4);
static_assert(offsetof(_VQX_FILTER_PARAMS, hAdapter) == 8);
static_assert(offsetof(_VQX_FILTER_PARAMS, MsgTypeMask) == 12);
static_assert(offsetof(_VQX_FILTER_PARAMS, MsgId) == 16);
static_assert(offsetof(_VQX_FILTER_PARAMS, MsgGroup) == 20);
static_assert(offsetof(_VQX_FILTER_PARAMS, un32SerialNumber) == 24);
static_assert(offsetof(_VQX_FILTER_PARAMS, un64UserContext1) == 32);
static_assert(offsetof(_VQX_FILTER_PARAMS, un64UserContext2) == 40);

/* What the posted callback learns of each message queued on its filter. */
typedef struct _VQX_FILTER_POSTED_INFO {
  u32 un32MsgId;
  u32 hAdapter;
  u64 un64UserContext1;
  u64 un64UserContext2;
} _VQX_FILTER_POSTED_INFO;
static_assert(sizeof(_VQX_FILTER_POSTED_INFO) == 24);

/* Called under the library lock for every message queued on the filter: keep it short, do not block. */
typedef void (*PFCT_VQX_FILTER_MSG_POSTED)(void* pvContext, VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter,
                                           const _VQX_FILTER_POSTED_INFO* pInfo);
/*
 * Called by the library's receive thread, outside the library lock, with
 * *pun32Count messages in pahMsg (0 when only the idle period elapsed); the
 * callback owns them. On return *pun32Count and pahMsg name the messages the
 * library is to send (at most VQX_MAX_MSG_PER_RECEIVE_LOOP); the library
 * owns those.
 */
typedef void (*PFCT_VQX_FILTER_MSG_RECEIVED)(void* pvContext, VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter,
                                             u32* pun32Count, VQX_MSG_HANDLE* pahMsg);

/* Callback record of a filter (five 64-bit words), replaced as a whole. */
typedef struct _VQX_FILTER_CALLBACK_PARAMS {
  PFCT_VQX_FILTER_MSG_POSTED pFctFilterMsgPosted;
  void* pvFilterMsgPostedContext;
  PFCT_VQX_FILTER_MSG_RECEIVED pFctFilterMsgReceived;
  void* pvFilterMsgReceivedContext;
  u32 un32PostingDelayMs;              /* idle period: call with no message after it; 0 never */
  u32 un32FilterMaxMsgPerCallback;     /* 1..1024 when pFctFilterMsgReceived is set */
} _VQX_FILTER_CALLBACK_PARAMS;
static_assert(sizeof(_VQX_FILTER_CALLBACK_PARAMS) == 40);

/* Per-filter counters (VQXLibGetFilterStats), 48 bytes. */
typedef struct _VQX_FILTER_STATS {
  u32 un32StructVersion;  /* 1 */
  u32 un32NbMsgWaiting;
  u32 un32PeakMsgWaiting;
  u32 fLostMessages;
  u64 un64MsgQueued;
  u64 un64RxCallsWithMsg;
  u64 un64RxCallsWithoutMsg;
  VQX_RESULT LossResult;
  u32 un32FilterNumber;
} _VQX_FILTER_STATS;
static_assert(sizeof(_VQX_FILTER_STATS) == 48);

/* -------------------------------------------------------------- filters */

/*
 * Creates an active filter from 1..128 sets. A set may not select a field
 * both as match and as NOT match. Exclusive bits claim the value for this
 * filter alone and add their match bit to the caller's set.
 * 0x02010000; 0x82010206 null library; 0x82010009 null array or out handle;
 * 0x8201000A count 0 or above 128, or an invalid mask; 0x82010005 a claim
 * conflicts with another filter; 0x82010012 no memory; 0x82010218 the library
 * began to close meanwhile (telling the peers of it may wait for room; the
 * close lets such a wait out). *phFilter null on failure.
 */
VQX_RESULT VQXCreateMsgFilterEx(VQX_LIB_HANDLE hLib, u32 un32NbParams, _VQX_FILTER_PARAMS* paParams,
                                VQX_FILTER_HANDLE* phFilter);

/*
 * Replaces the sets (when un32NbParams > 0) and/or the callback record (when
 * pCallbacks is given). Messages already queued stay. 0x02010000;
 * 0x82010206; 0x82010009 null filter; 0x8201000A count without array, count
 * above 128, invalid mask or callback limit; 0x82010005 claim conflict (the
 * filter stays as it was).
 */
VQX_RESULT VQXModifyMsgFilter(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 un32NbParams,
                              _VQX_FILTER_PARAMS* paParams, const _VQX_FILTER_CALLBACK_PARAMS* pCallbacks);

/*
 * Deactivates and frees the filter (an awaited-response filter goes back to
 * the library) and clears *phFilter; queued messages are freed.
 * 0x02010000; 0x02010211 (warning) when messages were freed that had not been
 * read for more than 5 s; 0x82010206; 0x82010208 null filter.
 */
VQX_RESULT VQXDestroyMsgFilterEx(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE* phFilter);

/* Makes a blocked (or the next) receive on the filter return 0x82010210. */
VQX_RESULT VQXWakeMsgFilter(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter);

/* Frees every queued message; *pun32Count (optional) gets their number. */
VQX_RESULT VQXFlushMsgs(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32* pun32Count);

/* Copies one filter's counters. 0x02010000, 0x82010206, 0x82010208, 0x82010009. */
VQX_RESULT VQXLibGetFilterStats(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, _VQX_FILTER_STATS* pStats);

/* -------------------------------------------------------------- receive */

/*
 * Waits up to un32TimeoutMs (0: do not wait; 0xFFFFFFFF: for ever) for one
 * message. 0x02010000 with *phMsg owned by the caller; 0x82010003 time-out;
 * 0x82010210 woken (VQXWakeMsgFilter; pending wakes are consumed together);
 * 0x8201020A the awaited peer went away; 0x82010208 filter not active or
 * destroyed meanwhile, or the library began to close (the close wakes the
 * call and waits for it to leave); 0x82010206, 0x82010009. A message that
 * could not be queued for the filter (full queue, no memory) is logged and
 * recorded in its statistics (fLostMessages, LossResult) until it is
 * deactivated.
 */
VQX_RESULT VQXReceiveMsg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 un32TimeoutMs, VQX_MSG_HANDLE* phMsg);

/* As VQXReceiveMsg, up to 16 messages into pahMsg[16] (unused entries null). */
VQX_RESULT VQXReceiveMsgMultiple(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 un32TimeoutMs, u32* pun32Count,
                                 VQX_MSG_HANDLE* pahMsg);

/*
 * Sends un32NbToSend messages (VQXSendMsgMultipleEx), then receives up to
 * *pun32Count (at most 1024) into pahMsg. 0x82010218 without receiving when
 * the library began to close while it sent (a send waiting for room is let
 * out by the close, its message dropped).
 */
VQX_RESULT VQXSendReceiveMsgMultiple(VQX_LIB_HANDLE hLib, u32 un32NbToSend, VQX_MSG_HANDLE* pahToSend,
                                     VQX_FILTER_HANDLE hFilter, u32 un32TimeoutMs, u32* pun32Count,
                                     VQX_MSG_HANDLE* pahMsg);

/* Waits until the filter holds messages, without taking them; *pun32Count their number. */
VQX_RESULT VQXWaitMsg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 un32TimeoutMs, u32* pun32Count);

/* ----------------------------------------------------------------- send */

/*
 * Sends one message. Local destinations (0xDA000000..0xDA00FFFF with group
 * 0x020F, 0x0300..0x03FF or 0x0600..0x0BFF; 0xEA...... with group
 * 0x0400..0x05FF, delivered with hAdapter 0xCA......) go to this process's
 * filters. 0xFFFFFFFF broadcasts an event to the remote hosts whose remote
 * filters want it; any other handle names one adapter or remote host
 * (0x82010209 when unknown, returned without a log line): the message is
 * queued in that peer's send fifo, numbered and handed to the gateway
 * transport; with the fifo full the caller waits (status callback event 2
 * may drop it instead: 0x82010218). While it waits the peer's messages are
 * read on past the receive fifo's pause; once that peer's messages waiting
 * unread in filters pass their bound by 16384, the wait ends: 0x82010218,
 * the message dropped and counted, and the pause holds again.
 * 0x8201020A peer without a path up;
 * to an adapter: 0x8201020B above 64000 bytes in all, 0x82010010 for a
 * response. With phImplicitFilter
 * an awaited-response filter is made for the answer (destination and serial
 * number); destroy it with VQXDestroyMsgFilterEx.
 * 0x02010000; 0x82010206 (message left to the caller); 0x82010207;
 * 0x82010204 type not 1..4; 0x82010205 id not set; 0x8201020B, 0x8201020E
 * sizes; 0x82010209 local destination with a group it does not carry;
 * 0x8201021B non-event broadcast; 0x82010001 already sent.
 */
VQX_RESULT VQXSendMsgEx(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg, VQX_FILTER_HANDLE* phImplicitFilter);

/*
 * Ends the waits for room of the sends made on the calling thread while *pfEnd is not zero (its owner stopping),
 * until the next call; null: none. Such a send fails with 0x82010218, its message freed and counted dropped, with
 * the line "VqxMsgSendTo: Msg=0x%08x dropped: its sender is stopping". The flag is read with an atomic load;
 * it must outlive the calling thread's sends. Returns the flag it replaces, for the caller to put back.
 */
const volatile u32* VQXSetThreadSendWaitEnd(const volatile u32* pfEnd);

/*
 * Messages a send refuses once it took them (a peer not ready or gone, a size it refuses, a wait for room ended:
 * 0x82010218 at a peer's backlog bound, a sender stopping, the close) are handed back to their sender here instead of
 * being freed, while the record has room: each entry the message, allocated again and the sender's (its header as it
 * went to the send: length trimmed to its payload), and its send's result. A record full frees the rest as before.
 */
typedef struct _VQX_SEND_REFUSALS {
  VQX_MSG_HANDLE* pahMsg;  /* un32Max entries */
  VQX_RESULT* paResult;    /* un32Max entries */
  u32 un32Max;
  u32 un32Count;           /* entries filled: the caller empties them */
} VQX_SEND_REFUSALS;

/* The record of the sends made on the calling thread from now on (null: none). Returns the one it replaces. */
VQX_SEND_REFUSALS* VQXSetThreadSendRefusals(VQX_SEND_REFUSALS* pRefusals);

/* For a filter with a message-received callback: the messages the callback hands back to be sent that the send
   refuses are kept with the filter (fKeep 1), to be taken by VQXTakeSendRefusals, rather than freed (0, the default;
   what was kept is freed then, as when the filter is destroyed). 0x02010000; 0x82010206 null library; 0x82010208
   unknown filter. */
VQX_RESULT VQXKeepSendRefusals(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 fKeep);

/* Moves the refusals kept with the filter into pRefusals (from its un32Count on), as many as it has room for, oldest
   first. 0x02010000; 0x82010206; 0x82010208; 0x82010009 null record. */
VQX_RESULT VQXTakeSendRefusals(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, VQX_SEND_REFUSALS* pRefusals);

/* Ends every wait for room, now and from now on, of this library's sends: its process is closing, and what waits
   for room would hold the close. Such a send fails with 0x82010218, its message freed and counted dropped, with the
   line "VqxMsgSendTo: Msg=0x%08x dropped: the library is closing". From then on, as during the library's own close,
   messages left unread in a filter are drained or freed by the close, not leaked: the "Possible leak" line is not
   written, and "Freed N messages waiting on filter" is only traced. 0x02010000; 0x82010206 null library. */
VQX_RESULT VQXEndSendWaits(VQX_LIB_HANDLE hLib);

typedef struct _VQX_SEND_MSG2_PARAMS {
  VQX_FILTER_HANDLE* phImplicitFilter;  /* optional, as VQXSendMsgEx */
  VQX_FILTER_HANDLE hCoalescingFilter;  /* optional: hold until its reader next receives */
} _VQX_SEND_MSG2_PARAMS;

/* As VQXSendMsgEx; both parameters at once: 0x8201000A. Held messages: 0x02000000. */
VQX_RESULT VQXSendMsg2Ex(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg, const _VQX_SEND_MSG2_PARAMS* pParams);

/* Sends every non-null entry and clears it; the last failure, else 0x02000000. */
VQX_RESULT VQXSendMsgMultipleEx(VQX_LIB_HANDLE hLib, u32 un32Count, VQX_MSG_HANDLE* pahMsg);

/* Waits until no peer has messages waiting to be sent (or the time-out, or the library begins to close). 0x02010000. */
VQX_RESULT VQXWaitSentMsg(VQX_LIB_HANDLE hLib, u32 un32TimeoutMs);

/* The messages sent to peers and not yet taken by them, into *pun64Count: those waiting in the send fifos
   (what VQXWaitSentMsg waits for), and those a peer that acknowledges what it receives (one that has
   acknowledged before) has not yet acknowledged, that is not yet put into its filters. What a process
   closing waits for. 0x02010000; 0x82010206 null library; 0x82010009 null count. */
VQX_RESULT VQXGetTxPendingCount(VQX_LIB_HANDLE hLib, u64* pun64Count);

/* What became of the messages sent to peers, for a process closing to say what they did not take: waiting in the
   send fifos (un64Queued) and handed to the transport but not yet acknowledged (un64Unacked), the two that
   VQXGetTxPendingCount adds; and since the open, freed without being handed to the transport, that is lost
   (un64Dropped: a removed peer's send fifo, a batch the transport refused), and freed with their peer's removal
   while not acknowledged (un64UnackedFreed: perhaps taken, perhaps not). Each such free also has its error line,
   but where this library closed the peer's links itself (its close, VQXCloseAdaptersGw, VQXCloseHostsGw: its user's
   doing). 0x02010000; 0x82010206 null library; 0x82010009 null record. */
typedef struct _VQX_TX_ACCOUNT {
  u64 un64Queued;
  u64 un64Unacked;
  u64 un64Dropped;
  u64 un64UnackedFreed;
} VQX_TX_ACCOUNT;
VQX_RESULT VQXGetTxAccount(VQX_LIB_HANDLE hLib, VQX_TX_ACCOUNT* pAccount);

/* ------------------------------------------------------ verifying twins */

/*
 * Opening through VQXOpenLibDbg makes the twins below track every message
 * and filter the application holds (with the caller's file and line), refuse
 * handles they do not know, and print a leak report at close. Without it the
 * twins call the plain operations. The caller passes its release tag
 * (VQX_HOSTLIB_RELEASE_TAG) and build number (VQX_HOSTLIB_BUILD_NUMBER);
 * a mismatch gives 0x82010004. A second verifying open in one process gives
 * 0x82010001 and no library.
 */
VQX_RESULT VQXOpenLibDbg(_VQX_LIB_PARAMS* pParams, VQX_LIB_HANDLE* phLib, const char* pszReleaseTag,
                         u32 un32BuildNumber, const char* pszFile, u32 un32Line);
VQX_RESULT VQXCloseLibDbg(VQX_LIB_HANDLE* phLib, const char* pszFile, u32 un32Line);
VQX_RESULT VQXGetMsgDbg(VQX_LIB_HANDLE hLib, u32 un32PayloadSize, VQX_MSG_HANDLE* phMsg, const char* pszFile,
                        u32 un32Line);
VQX_RESULT VQXGetMsgFromPoolDbg(VQX_LIB_HANDLE hLib, VQX_POOL_OF_MESSAGES_HANDLE hPool, u32 un32PayloadSize,
                                VQX_MSG_HANDLE* phMsg, const char* pszFile, u32 un32Line);
VQX_RESULT VQXReleaseMsgDbg(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg, const char* pszFile, u32 un32Line);
VQX_RESULT VQXSendMsgDbg(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg, VQX_FILTER_HANDLE* phImplicitFilter,
                         const char* pszFile, u32 un32Line);
VQX_RESULT VQXSendMsg2Dbg(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg, const _VQX_SEND_MSG2_PARAMS* pParams,
                          const char* pszFile, u32 un32Line);
VQX_RESULT VQXSendMsgMultipleDbg(VQX_LIB_HANDLE hLib, u32 un32Count, VQX_MSG_HANDLE* pahMsg, const char* pszFile,
                                 u32 un32Line);
VQX_RESULT VQXSendReceiveMsgMultipleDbg(VQX_LIB_HANDLE hLib, u32 un32NbToSend, VQX_MSG_HANDLE* pahToSend,
                                        VQX_FILTER_HANDLE hFilter, u32 un32TimeoutMs, u32* pun32Count,
                                        VQX_MSG_HANDLE* pahMsg, const char* pszFile, u32 un32Line);
VQX_RESULT VQXReceiveMsgDbg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 un32TimeoutMs, VQX_MSG_HANDLE* phMsg,
                            const char* pszFile, u32 un32Line);
VQX_RESULT VQXReceiveMsgMultipleDbg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 un32TimeoutMs,
                                    u32* pun32Count, VQX_MSG_HANDLE* pahMsg, const char* pszFile, u32 un32Line);
VQX_RESULT VQXWaitMsgDbg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 un32TimeoutMs, u32* pun32Count,
                         const char* pszFile, u32 un32Line);
VQX_RESULT VQXFlushMsgsDbg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32* pun32Count, const char* pszFile,
                           u32 un32Line);
VQX_RESULT VQXCreateMsgFilterDbg(VQX_LIB_HANDLE hLib, u32 un32NbParams, _VQX_FILTER_PARAMS* paParams,
                                 VQX_FILTER_HANDLE* phFilter, const char* pszFile, u32 un32Line);
VQX_RESULT VQXModifyMsgFilterDbg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 un32NbParams,
                                 _VQX_FILTER_PARAMS* paParams, const _VQX_FILTER_CALLBACK_PARAMS* pCallbacks,
                                 const char* pszFile, u32 un32Line);
VQX_RESULT VQXDestroyMsgFilterDbg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE* phFilter, const char* pszFile,
                                  u32 un32Line);
VQX_RESULT VQXWakeMsgFilterDbg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, const char* pszFile, u32 un32Line);
/* Twins of VQXGetAdaptersList / VQXGetRemoteHostsList (peer handles into the caller's array). */
VQX_RESULT VQXGetAdaptersListDbg(VQX_LIB_HANDLE hLib, u32 un32Capacity, u32* pun32Count, u32* pahAdapters,
                                 const char* pszFile, u32 un32Line);
VQX_RESULT VQXGetRemoteHostsListDbg(VQX_LIB_HANDLE hLib, u32 un32Capacity, u32* pun32Count, u32* pahHosts,
                                    const char* pszFile, u32 un32Line);
VQX_RESULT VQXCreateAssociationDbg(VQX_LIB_HANDLE hLib, const char* pszFile, u32 un32Line);
VQX_RESULT VQXDestroyAssociationDbg(VQX_LIB_HANDLE hLib, const char* pszFile, u32 un32Line);
/* With the layer active: the message must be tracked (0x82010207 / 0x8201000C). */
VQX_RESULT VQXTestMsgDbg(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg);

/* Leak report of the tracked messages and filters (error lines). 0x02010000 / 0x02000000 inactive. */
VQX_RESULT VQXPrintLeakDbg(VQX_LIB_HANDLE hLib);
/* One filter's block / every filter and the buffer pool totals (error lines). */
VQX_RESULT VQXPrintFilterDbg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter);
VQX_RESULT VQXPrintFiltersDbg(VQX_LIB_HANDLE hLib);

/* 32-bit random number (reentrant 48-bit generator seeded from the clocks on first use). */
u32 VQX_RAND(void);

#endif
