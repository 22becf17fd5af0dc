/*
 * vqcmc_lib_internal.h - inside the core library: the context, the server,
 * entity, timer and job records, and the functions the library's files
 * call in one another. Only the library's files and its tests include it.
 *
 * Locks: hThreadSem guards everything here; every function below runs with
 * it held unless its comment says otherwise. The log mutex guards the log
 * buffer only and is taken inside hThreadSem or alone.
 */
#ifndef VQCMC_LIB_INTERNAL_H
#define VQCMC_LIB_INTERNAL_H

#include <atomic>
#include <cstddef>
#include <mutex>
#include <vector>

#include "vqcmc_lib.h"
#include "vqx_hash.h"
#include "vqx_host_coalesce.h"
#include "vqx_host_filter.h"
#include "vqx_jobs.h"
#include "vqx_log_limit.h"
#include "vqx_pool.h"
#include "vqx_thread.h"
#include "vqx_timer.h"

/* ------------------------------------------------------------ message ids */

/* Private messages of the library to itself (they loop back through its filter). */
#define VQCMC_PRIV_HOST_TIMEOUT 0x0A020300u
#define VQCMC_PRIV_HOST_STATE_ENTER 0x0A020301u
#define VQCMC_PRIV_LEG_TIMEOUT 0x0A020302u
#define VQCMC_PRIV_LEG_STATE_ENTER 0x0A020303u
#define VQCMC_PRIV_LEG_EVENT 0x0A020304u
#define VQCMC_PRIV_MIXER_TIMEOUT 0x0A020305u
#define VQCMC_PRIV_MIXER_STATE_ENTER 0x0A020306u
#define VQCMC_PRIV_MIXER_EVENT 0x0A020307u
#define VQCMC_PRIV_PAYLOAD_SIZE 24u
/* Entry messages kept between state changes: one per nesting level of entries (Init's entry
 * moves a leg on to Ready, whose entry may move it again). */
#define VQCMC_ENTRY_MSGS_KEPT 4u
#define VQCMC_PRIV_OFFSET_ENTITY_ID 8u
#define VQCMC_PRIV_OFFSET_EVENT_KEY 16u

/* The control protocol with the servers. */
#define VQCMC_SRV_LIB_REGISTER 0x0A020400u
#define VQCMC_SRV_HOST_STATES_GET 0x0A020401u
#define VQCMC_SRV_SYNC_COMPLETED 0x0A020402u
#define VQCMC_SRV_SET_LEG_OWNERSHIP 0x0A020403u
#define VQCMC_SRV_SET_LINK_OWNERSHIP 0x0A020404u
#define VQCMC_SRV_SET_MIXER_OWNERSHIP 0x0A020405u
#define VQCMC_SRV_SET_MIXER_LINK_OWNERSHIP 0x0A020406u
#define VQCMC_SRV_READY 0x0A020410u
#define VQCMC_SRV_NOTIF_LEG_SYNC 0x0A020411u
#define VQCMC_SRV_NOTIF_LINK_SYNC 0x0A020412u
#define VQCMC_SRV_NOT_READY 0x0A020413u
#define VQCMC_SRV_SYNC_STARTING 0x0A020414u
#define VQCMC_SRV_NOTIF_MIXER_SYNC 0x0A020415u
#define VQCMC_SRV_NOTIF_MIXER_LINK_SYNC 0x0A020416u
/* LibRegister payload. */
#define VQCMC_REG_OFFSET_LIB_ID 28u
#define VQCMC_REG_OFFSET_ONE 32u
#define VQCMC_REG_OFFSET_FLAGS 33u
#define VQCMC_REG_OFFSET_ANY_READY 37u
/* Results a LibRegister answer may carry. */
#define VQCMC_REG_RESULT_STANDBY 0x82000005u
#define VQCMC_REG_RESULT_VERSION 0x82000020u

/* Host-library notifications read here. */
#define VQCMC_HL_FIRST_IGNORED 0x02010001u
#define VQCMC_HL_LAST_IGNORED 0x02010004u
#define VQCMC_HL_ADAPTER_ADDED 0x02010011u
#define VQCMC_HL_ADAPTER_REMOVED 0x02010012u
#define VQCMC_HL_GW_UP 0x02010013u
#define VQCMC_HL_GW_DOWN 0x02010014u
#define VQCMC_HL_ADDED_OFFSET_HANDLE 12u
#define VQCMC_HL_ADDED_OFFSET_HOST_KEY 424u
#define VQCMC_HL_REMOVED_OFFSET_HANDLE 8u
#define VQCMC_HL_INVALID_DESTINATION 0x82010209u
#define VQCMC_LOCAL_DELIVERY 0xDA000001u

/* Server detection. */
#define VQCMC_SERVER_APP_NAME "cmc_server"
#define VQCMC_SERVER_UNIQUE_ID 0x55708A0000BEBECAull

/* ------------------------------------------------------------ limits */

#define VQCMC_MAX_HOSTS 32u
#define VQCMC_MAX_PENDING_MSGS 0x14000u
#define VQCMC_INTAKE_IDLE_MS 50u
#define VQCMC_INTAKE_MAX_MSGS 256u
#define VQCMC_COALESCING_SLOTS 256u
#define VQCMC_INTAKE_JOB_MARGIN 1024u  /* room the intake keeps below the job limit for one message's jobs */
#define VQCMC_TIMER_POLL_MIN_MS 100u
#define VQCMC_TIMER_DISARMED 0xFFFFFFFFu
#define VQCMC_HOST_REGISTER_RETRY_MS 1000u
#define VQCMC_HOST_POLL_MS 1000u
#define VQCMC_HOST_REMOVED_MS 10000u
#define VQCMC_HOST_DEAD_RECHECK_MS 1000u
#define VQCMC_LOCAL_JOBS_WAIT_MS 60000u
#define VQCMC_LIB_JOB_KEY 0xFFFFFFFFu

/* ------------------------------------------------------------ states */

enum : u32 {
  VQCMC_LIB_STATE_INIT = 0,
  VQCMC_LIB_STATE_READY = 1,
  VQCMC_LIB_STATE_NOT_READY = 2,
  VQCMC_LIB_STATE_HOST_REMOVED = 3,
  VQCMC_LIB_STATE_HOST_DEAD = 4,
  VQCMC_LIB_STATE_CLEG_UNSYNCED = 5,
  VQCMC_LIB_STATE_CLEG_TERMINATED = 6,
  VQCMC_LIB_STATE_CLEG_DESTROY = 7,
  VQCMC_LIB_STATE_CMIXER_UNSYNCED = 8,
  VQCMC_LIB_STATE_CMIXER_TERMINATED = 9,
  VQCMC_LIB_STATE_CMIXER_DESTROY = 10,
};
/* Display name of a state number; "Unknown" for others. */
const char* VqCmcStateName(u32 un32State);

/* ------------------------------------------------------------ records */

struct _VQCMC_LIB_CTX;
typedef struct _VQCMC_LIB_CTX VQCMC_LIB_CTX;
typedef void (*PFCT_VQCMC_TIMER_EXPIRY)(VQCMC_LIB_CTX* pCtx, u64 un64Arg);

/* A state machine's timer; the wheel keeps its usage flag in fInUse. */
typedef struct _VQCMC_TIMER {
  u32 un32MsgId;
  u32 un32PeriodMs;              /* VQCMC_TIMER_DISARMED: not armed */
  u8 fInUse;
  u64 un64Key;                   /* user context 1 of its timeout */
  u32 un32State;                 /* user context 2 of its timeout */
  PFCT_VQCMC_TIMER_EXPIRY pFctExpiry;
  u64 un64ExpiryArg;
} _VQCMC_TIMER;
#define VQCMC_TIMER_OFFSET_IN_USE 8u
static_assert(offsetof(_VQCMC_TIMER, fInUse) == VQCMC_TIMER_OFFSET_IN_USE);

/* One call/media control server. */
typedef struct _VQCMC_HOST_CTX {
  u32 hHost;
  _VQX_HOST_INFO HostInfo;
  u8 fRegistered;
  u8 fReady;
  u8 fDeadSeen;
  u32 un32NbLegs;
  u32 un32NbMixers;
  u32 CurrState;
  _VQCMC_TIMER StateTimer;
  _VQCMC_TIMER PollTimer;
  u32 fSyncDone;
  u32 un32NbPendingMsgs;
  VQX_MSG_HANDLE* pahPendingMsgs;
  VQX_MSG_HANDLE pReadyMsg;
  /* Jobs that were live when READY came and have not ended; the sync ends
   * when they are gone or VQCMC_LOCAL_JOBS_WAIT_MS after READY. */
  u32 un32JobsBeforeReady;
  u64 un64ReadyJobMark;
  u32 un32ReadyMs;
  u32 un32PoolIndex;
} _VQCMC_HOST_CTX;

#define VQCMC_ENTITY_TYPE_LEG 1u
#define VQCMC_ENTITY_TYPE_MIXER 2u
#define VQCMC_ENTITY_FLAG_TIMEOUT 0x01u
#define VQCMC_ENTITY_FLAG_SYNCED 0x02u
#define VQCMC_ENTITY_FLAG_TERMINATE_POSTED 0x04u
#define VQCMC_ENTITY_FLAG_DESTROY_DEFERRED 0x08u

/* The head both kinds of creation parameters share (vqcmc_lib.h), then room for either's own fields. */
typedef struct _VQCMC_LIB_ENTITY_PARAMS {
  VQCMC_ENTITY_PARAMS_HEAD
  u8 abyKindSpecific[64];        /* the leg's or mixer's own fields */
} _VQCMC_LIB_ENTITY_PARAMS;

struct _VQCMC_ENTITY_CTX;
typedef void (*PFCT_VQCMC_ENTITY_STATE)(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pEntity,
                                        VQX_MSG_HANDLE* phMsg);
/* One call leg or mixer. The pending counters are 32 bits: up to
 * un32JobsFifoMax (0x14000 by default) jobs may wait for one entity. */
typedef struct _VQCMC_ENTITY_CTX {
  u32 Type;
  u32 CurrState;
  PFCT_VQCMC_ENTITY_STATE pFctStateHandler;
  _VQCMC_TIMER StateTimer;
  u32 un32NbPendingRequests;
  u32 un32NbPendingJobs;         /* guarded by JobLock */
  u32 un32NbPendingTimers;
  u8 un8Flags;
  u8 fDestroyDeferred;           /* VQCMC_ENTITY_FLAG_DESTROY_DEFERRED as workers read it, under JobLock */
  u32 MappingId;
  _VQCMC_HOST_CTX* pHostCtx;
  struct _VQCMC_ENTITY_EVENT* pEventHead;  /* its timed events, so that a destroy drops them */
  _VQCMC_LIB_ENTITY_PARAMS Params;
} _VQCMC_ENTITY_CTX;

/* One timed entity event, owned by the event table until delivered, cancelled or dropped.
 * The wheel keeps its usage flag at byte 4; the links after byte 24 chain the entity's events. */
typedef struct _VQCMC_ENTITY_EVENT {
  u32 un32DelayMs;
  u8 fInUse;
  u8 abyPad[3];
  _VQCMC_ENTITY_CTX* pEntity;
  u64 un64EventKey;
  struct _VQCMC_ENTITY_EVENT* pPrev;
  struct _VQCMC_ENTITY_EVENT* pNext;
} _VQCMC_ENTITY_EVENT;
#define VQCMC_EVENT_OFFSET_IN_USE 4u
static_assert(offsetof(_VQCMC_ENTITY_EVENT, un32DelayMs) == 0 && offsetof(_VQCMC_ENTITY_EVENT, fInUse) == VQCMC_EVENT_OFFSET_IN_USE &&
              offsetof(_VQCMC_ENTITY_EVENT, pEntity) == 8 && offsetof(_VQCMC_ENTITY_EVENT, un64EventKey) == 16 &&
              offsetof(_VQCMC_ENTITY_EVENT, pPrev) == 24);

/* One delivery to the application. */
typedef struct _VQCMC_JOB {
  VQCMC_LIB_CTX* pCtx;
  VQX_MSG_HANDLE hMsg;
  _VQCMC_ENTITY_CTX* pEntity;
  u64 un64Key;
  u8 fInPendingHash;
  u8 fInProcessingHash;
  u8 fCancelled;
  u8 fQueued;                    /* counted in "jobs queued" and the entity's pending jobs */
  u8 fRunning;                   /* counted in "jobs running" */
  /* The entity's callbacks, read under JobLock as the job starts: once its pending count
   * drops, a destroy may free the entity, so the callback step never reads it. */
  PFCT_VQCMC_ENTITY_CALLBACK pFctCallback;
  PFCT_VQCMC_ENTITY_EVENT_CALLBACK pFctEventCallback;
  void* pvLegUserContext;
  struct _VQCMC_JOB* pNextEnded; /* in the context's list of ended pool jobs */
  u64 un64Serial;                /* order of posting */
} _VQCMC_JOB;

/* Where the leg, mixer and link layers plug in; all null until they exist. */
typedef struct _VQCMC_ENTITY_HOOKS {
  VQX_RESULT (*pFctLegMsgHandle)(VQCMC_LIB_CTX*, _VQCMC_HOST_CTX*, VQX_MSG_HANDLE*);
  VQX_RESULT (*pFctMixerMsgHandle)(VQCMC_LIB_CTX*, _VQCMC_HOST_CTX*, VQX_MSG_HANDLE*);
  VQX_RESULT (*pFctLinkMsgHandleNotifLinkSync)(VQCMC_LIB_CTX*, _VQCMC_HOST_CTX*, VQX_MSG_HANDLE*);
  void (*pFctUnSyncAll)(VQCMC_LIB_CTX*, _VQCMC_HOST_CTX*);
  void (*pFctTerminateUnSynced)(VQCMC_LIB_CTX*);
  void (*pFctAllSyncDone)(VQCMC_LIB_CTX*, _VQCMC_HOST_CTX*);
  void (*pFctRecoverOrphans)(VQCMC_LIB_CTX*, _VQCMC_HOST_CTX*);
  void (*pFctTerminateOwned)(VQCMC_LIB_CTX*, _VQCMC_HOST_CTX*);
  void (*pFctDestroyEntity)(VQCMC_LIB_CTX*, _VQCMC_ENTITY_CTX*);
} _VQCMC_ENTITY_HOOKS;
extern const _VQCMC_ENTITY_HOOKS g_VqCmcEntityHooks;

/* Seams: what tests replace to drive the machines by hand. */
typedef struct _VQCMC_LIB_SEAMS {
  u32 (*pFctClockMs)(void* pContext);
  void* pClockContext;
  VQX_RESULT (*pFctGetRemoteHostInfo)(VQX_LIB_HANDLE hLib, u32 hHost, _VQX_HOST_INFO* pInfo);
  VQX_RESULT (*pFctGetRedundancy)(VQX_LIB_HANDLE hLib, u32 hHost, u32* pun32Gw0, u32* pun32Gw1);
  u32 fNoIntake;                 /* open without attaching the receive callback */
  u32 un32FailOpenStep;          /* tests: open fails at this step (5..12); 0 never */
  u32 un32FailNextSends;         /* tests: that many next sends fail (the message is released) */
  const _VQCMC_ENTITY_HOOKS* pEntityHooks;  /* null: g_VqCmcEntityHooks */
} _VQCMC_LIB_SEAMS;
/* Open steps inside the entity layer (step 10) that un32FailOpenStep may fail. */
#define VQCMC_OPEN_STEP_ENTITY_POOL 11u
#define VQCMC_OPEN_STEP_ENTITY_HASH 12u
/* Seams used by every later open (null: the real ones). Not thread-safe; tests only. */
void VqCmcLibSetSeams(const _VQCMC_LIB_SEAMS* pSeams);


/* ------------------------------------------------------------ context */

struct _VQCMC_LIB_CTX {
  _VQX_LIB_PARAMS VqxLibParams;
  VQX_FILTER_HANDLE hFilter;
  VQX_LIB_HANDLE hVqxLib;
  VQX_POOL_OF_MESSAGES_HANDLE hMsgPool;
  VqxApiCoalescingQueue* pCoalescingQueue;
  _VQCMC_LIB_PARAMS Params;
  _VQCMC_LIB_STATS Stats;
  VQX_MUTEX_HANDLE hThreadSem;
  HVQXTIMER hTimer;
  u32 un32CurrTimeMs;
  u32 un32LastPollMs;
  /* job layer. JobLock (plain, short sections, taken inside hThreadSem or alone) guards
   * the job hashes, the jobs queued and running counters, the entities' pending jobs and
   * fStopped, so that a pool job starts without hThreadSem. */
  std::mutex JobLock;
  VQX_MULTI_THREADED_JOBS_HANDLE hJobPool;
  HVQXHASH hHashPendingJobs;
  HVQXHASH hHashProcessingJobs;
  u32 un32FifoCapacity, un32FifoCount, un32FifoHead;
  _VQCMC_JOB** papJobsFifo;
  u32 un32JobsLive;              /* job records in existence */
  std::atomic<_VQCMC_JOB*> pEndedJobs;  /* pool jobs past their done step, not yet counted out */
  u64 un64NextJobSerial;
  u32 fStopped;
  /* Set once the library stops (VqCmcStateMachineStop), before it waits for anything: a send of this library
     waiting for room in the host library, which may hold hThreadSem that the stop waits for, ends at once then
     (VQXSetThreadSendWaitEnd), its message dropped (0x82010218). */
  volatile u32 fSendWaitsEnd;
  /* entities */
  HVQXPOOLOFBUFFERS hEntityPool;
  /* entity events: the records by event key, and their own wheel */
  HVQXHASH hHashOfTimers;
  HVQXTIMER hEventTimer;
  u32 un32EventTimeMs;           /* time of the last event poll */
  HVQXHASH hHashEntityByMapId;
  /* servers */
  HVQXPOOLOFBUFFERS64 pHostPool;
  HVQXHASH pHostHash;
  u32 un32RegisterWaitStartMs;
  u32 un32PayloadOffset;
  u32 un32NbHostsResyncing;      /* servers whose sync has not ended (fSyncDone 0) */
  VQX_MUTEX_HANDLE hLogMutex;
  char szLogBuf[256];
  u32 fStandbyLogged;
  u32 NextEntityId;
  u32 un32NextLinkId;
  _VQCMC_LIB_SEAMS Seams;
  const _VQCMC_ENTITY_HOOKS* pHooks;    /* the leg, mixer and link layers */
  u32 un32LastClockMs;           /* last raw clock reading (backward-step rule) */
  u32 fClockRead;
  /* State-entry messages (VqCmcMsgEntryRun): the free ones kept for the next state change,
   * and the one lent to the running entry handler (cleared when the handler frees it). */
  VQX_MSG_HANDLE ahEntryFree[VQCMC_ENTRY_MSGS_KEPT];
  u32 un32EntryFree;
  std::atomic<VQX_MSG_HANDLE> hEntryLent;
  /* What the host library refused to send (vqcmc_lib_refused.cpp): the sends made under hThreadSem hand it back into
   * SendRefusals, the intake takes what its hand-backs had refused (kept with the filter) into IntakeRefusals; the
   * commands among them wait, answered with their refusal, for the next intake. */
  VQX_MSG_HANDLE ahSendRefused[VQCMC_COALESCING_SLOTS], ahIntakeRefused[VQCMC_COALESCING_SLOTS];
  VQX_RESULT aSendRefusedResult[VQCMC_COALESCING_SLOTS], aIntakeRefusedResult[VQCMC_COALESCING_SLOTS];
  VQX_SEND_REFUSALS SendRefusals, IntakeRefusals;
  std::vector<VQX_MSG_HANDLE> RefusedAnswers;
  CVqxLogLimit RefusedLines;        /* their line, once a second */
  u32 un32RefusedSinceLine, un32RefusedAnsweredSinceLine;
  VQX_RESULT RefusedLastResult;
  CVqxLogLimit UnhandledLines;      /* "Unhandle Message", once a second */
};

/* hThreadSem held for a scope: the public calls. */
class CVqCmcLibLock {
 public:
  explicit CVqCmcLibLock(VQCMC_LIB_CTX* pCtx) : mhSem(pCtx->hThreadSem) { VqxMutexGet(mhSem); }
  ~CVqCmcLibLock() { VqxMutexGive(mhSem); }
  CVqCmcLibLock(const CVqCmcLibLock&) = delete;
  CVqCmcLibLock& operator=(const CVqCmcLibLock&) = delete;

 private:
  VQX_MUTEX_HANDLE mhSem;
};

/* ------------------------------------------------------------ log */

/* Error line "%s: %s (%X) %s:%d\n", always passed on. */
void VqCmcLogError(VQCMC_LIB_CTX* pCtx, const char* pszOp, VQX_RESULT result, const char* pszFile, int nLine,
                   const char* pszFormat, ...) __attribute__((format(printf, 6, 7)));
/* Trace line "%s%s: %s %s:%d\n" with a colour prefix ("" or an escape), passed on when level >= trace level. */
void VqCmcLogTrace(VQCMC_LIB_CTX* pCtx, u32 un32Level, const char* pszPrefix, const char* pszOp,
                   const char* pszFile, int nLine, const char* pszFormat, ...) __attribute__((format(printf, 7, 8)));
#define VQCMC_ERR(ctx, op, res, ...) VqCmcLogError((ctx), (op), (res), __FILE__, __LINE__, __VA_ARGS__)
/* Whether VqCmcLogTrace writes a line of that level: the trace macros test it first, so that a
 * trace that is off costs neither the call nor its arguments (state changes trace several). */
inline bool VqCmcTraceOn(const VQCMC_LIB_CTX* pCtx, u32 un32Level) {
  return pCtx != nullptr && pCtx->Params.Log.pFctLog != nullptr && un32Level >= pCtx->Params.un32TraceLevel;
}
#define VQCMC_TRACE(ctx, lvl, op, ...)                                                                  \
  (VqCmcTraceOn((ctx), (lvl)) ? VqCmcLogTrace((ctx), (lvl), "", (op), __FILE__, __LINE__, __VA_ARGS__) \
                              : void())
/* A red trace of that level; VQCMC_RED at the error level. */
#define VQCMC_TRACE_RED(ctx, lvl, op, ...)                                                                \
  (VqCmcTraceOn((ctx), (lvl)) ? VqCmcLogTrace((ctx), (lvl), "\033[31m", (op), __FILE__, __LINE__, __VA_ARGS__) \
                              : void())
#define VQCMC_RED(ctx, op, ...) VQCMC_TRACE_RED((ctx), VQCMC_LOG_LEVEL_ERROR, (op), __VA_ARGS__)
#define VQCMC_COLOUR_GREEN "\033[32m"
#define VQCMC_COLOUR_YELLOW "\033[33m"

/* Thread-local marker: this thread runs a library callback of that context. */
void VqCmcCallbackEnter(VQCMC_LIB_CTX* pCtx);
void VqCmcCallbackLeave(void);
bool VqCmcInCallbackOf(const VQCMC_LIB_CTX* pCtx);

/* ------------------------------------------------------------ intake and timers (state) */

/* Reads the clock (a step back of 1..999 ms keeps the previous reading). Any thread, lock held. */
u32 VqCmcClockRead(VQCMC_LIB_CTX* pCtx);
VQX_RESULT VqCmcStateMachineLaunch(VQCMC_LIB_CTX* pCtx);
void VqCmcStateMachineStop(VQCMC_LIB_CTX* pCtx);  /* takes hThreadSem itself */
/* Queues hMsg for sending (taken in every case); 0x82000014 and released once the library is stopped. */
VQX_RESULT VqCmcSendMsg(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE hMsg);
VQX_RESULT VqCmcStateSetTimeout(VQCMC_LIB_CTX* pCtx, _VQCMC_TIMER* pTimer, u32 un32State, u32 un32PeriodMs);
VQX_RESULT VqCmcStatePollTimeout(VQCMC_LIB_CTX* pCtx);
/* Refused sends (vqcmc_lib_refused.cpp), hThreadSem held. Init points the two records at their slots; Take answers
 * the commands of a record with their refusal (RefusedAnswers) and frees the rest, with the line once a second;
 * Answer takes the intake's record and hands each answer made to pFctHandle, as if its server had sent it; Free
 * drops what is left (close). */
void VqCmcRefusalsInit(VQCMC_LIB_CTX* pCtx);
void VqCmcRefusalsTake(VQCMC_LIB_CTX* pCtx, VQX_SEND_REFUSALS* pRefusals);
void VqCmcRefusalsAnswer(VQCMC_LIB_CTX* pCtx, void (*pFctHandle)(VQCMC_LIB_CTX*, VQX_MSG_HANDLE));
void VqCmcRefusalsFree(VQCMC_LIB_CTX* pCtx);
/* An "Unhandle Message" trace: a flood of them (notifications on an entity the library ended) is written once a
 * second, with the count of those left out; the intake writes a count left over once its second is over. */
#define VQCMC_TRACE_UNHANDLED(ctx, op, ...) \
  (VqCmcTraceOn((ctx), 0) ? VqCmcTraceUnhandled((ctx), (op), __FILE__, __LINE__, __VA_ARGS__) : void())
void VqCmcTraceUnhandled(VQCMC_LIB_CTX* pCtx, const char* pszOp, const char* pszFile, int nLine,
                         const char* pszFormat, ...) __attribute__((format(printf, 5, 6)));
/* The filter callback; takes hThreadSem itself. */
void VqCmcMsgReceived(void* pvCtx, VQX_LIB_HANDLE hVqxLib, VQX_FILTER_HANDLE hFilter, u32* pun32Count,
                      VQX_MSG_HANDLE* pahMsg);

/* ------------------------------------------------------------ jobs (thread) */

VQX_RESULT VqCmcThreadInit(VQCMC_LIB_CTX* pCtx);
VQX_RESULT VqCmcThreadUninit(VQCMC_LIB_CTX* pCtx);  /* called without hThreadSem */
VQX_RESULT VqCmcThreadJobPost(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pEntity, u64 un64Key, u32 un32SerialKey,
                              VQX_MSG_HANDLE* phMsg);
VQX_RESULT VqCmcThreadJobEventPostInternal(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pEntity, u64 un64EventKey,
                                           const char* pszFile, u32 un32Line);
VQX_RESULT VqCmcThreadJobEventCancel(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pEntity, u64 un64EventKey);
VQX_RESULT VqCmcThreadJobReserialize(VQCMC_LIB_CTX* pCtx, u32 un32OldKey, u32 un32NewKey);
/* Ends the pool jobs whose done step has run (their counters, hash entries and records). */
void VqCmcThreadDrainEnded(VQCMC_LIB_CTX* pCtx);
/* Runs every job of the single-thread FIFO (the intake's end of batch). */
void VqCmcThreadRunFifo(VQCMC_LIB_CTX* pCtx);
/* Pool mode: while the pool is within VQCMC_INTAKE_JOB_MARGIN (an eighth of a smaller limit) of its job limit, where
 * the jobs of the next message would be refused and what a server sent lost (an answer its command waits for), the
 * intake waits with hThreadSem given up: the workers' jobs free the room, the host library meanwhile pausing the reading
 * of what arrives. Once the library stops (fSendWaitsEnd) it goes on without waiting. */
void VqCmcThreadWaitForRoom(VQCMC_LIB_CTX* pCtx);
/* Jobs the job layer holds (FIFO or pool). */
u32 VqCmcThreadJobsHeld(VQCMC_LIB_CTX* pCtx);

/* ------------------------------------------------------------ entities */

VQX_RESULT VqCmcEntityInit(VQCMC_LIB_CTX* pCtx);
VQX_RESULT VqCmcEntityUninit(VQCMC_LIB_CTX* pCtx);
/* The next id not in use after NextEntityId: 1 .. 0x7FFFFFFF, then 1 again. Always succeeds. */
VQX_RESULT VqCmcLibGenerateNewEntityId(VQCMC_LIB_CTX* pCtx, u32* pun32Id);
/* Checks shared by legs and mixers: an entity id, a callback, a callback context (0x8200000A). */
VQX_RESULT VqCmcEntityParamValidate(VQCMC_LIB_CTX* pCtx, const _VQCMC_LIB_ENTITY_PARAMS* pParams);
/* By entity id alone, or by mapping id when the entity id is 0; 0x82000015 and null when absent. */
VQX_RESULT VqCmcLibEntityFind(VQCMC_LIB_CTX* pCtx, u32 un32EntityId, u32 un32MappingId, _VQCMC_ENTITY_CTX** ppEntity);
VQX_RESULT VqCmcLibEntityFindByMapId(VQCMC_LIB_CTX* pCtx, u32 un32MappingId, _VQCMC_ENTITY_CTX** ppEntity);
/* Binds the mapping id to the record (the caller sets its MappingId); a previous holder loses it. */
VQX_RESULT VqCmcLibEntityInsertMapId(VQCMC_LIB_CTX* pCtx, u32 un32MappingId, _VQCMC_ENTITY_CTX* pEntity);
/* A new record (kind 0, the library's default callback) on *ppHost (null: the first ready server,
 * written back); entity id 0 generates one. An existing record of that id (or of that mapping id
 * when the id is 0) comes back with 0x8200000C; 0x82000015 no server; 0x82000012 pool full. */
VQX_RESULT VqCmcLibEntityCreate(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX** ppHost, u32 un32EntityId, u32 un32MappingId,
                                _VQCMC_ENTITY_CTX** ppEntity);
/* Stores a creation record (nSize bytes) in the entity, under JobLock, where a starting job reads
 * the callbacks; on create a serialisation key of 0 is stored as the entity id. */
void VqCmcEntityStoreParams(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pEntity, const void* pParams, size_t nSize,
                            bool fCreate);
/* The step both kind-specific creates share: the kind, the server's count, the statistics. */
void VqCmcEntitySetKind(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pEntity, u32 un32Type);
/* Frees the record now, or marks it destroy-deferred while jobs or timers are pending;
 * 0x82000015 unknown id, 0x8200000B a record of kind 0 (left as it is). */
VQX_RESULT VqCmcLibEntityDestroy(VQCMC_LIB_CTX* pCtx, u32 un32EntityId);
/* Moves the records of servers in "Host removed" or "Host dead" to this server. */
VQX_RESULT VqCmcLibRecoverOrphanedEntitiesOwnership(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost);

/* ------------------------------------------------------------ entity events (event) */

VQX_RESULT VqCmcEntityEventInit(VQCMC_LIB_CTX* pCtx);
/* Frees the wheel, the hash and every record still pending (not delivered). Always succeeds. */
VQX_RESULT VqCmcEntityEventUninit(VQCMC_LIB_CTX* pCtx);
/* Schedules the event key on the entity: a delay of 0 or 0xFFFFFFFF posts it now; otherwise it is
 * due that many ms after the clock read here. 0x82000005 key pending; 0x8200000A delay beyond the
 * wheel (0x7FFFFFFF); 0x8200000F terminal notice posted (immediate only); 0x82000012 no memory. */
VQX_RESULT VqCmcLibEntityEvent(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pEntity, u64 un64EventKey, u32 un32DelayMs);
/* Cancels the timed event of that key, or else its queued or running job (the job layer's codes). */
VQX_RESULT VqCmcLibEntityEventCancel(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pEntity, u64 un64EventKey);
/* Removes and frees one record; finishes a deferred destroy its entity waited for. Always succeeds. */
VQX_RESULT VqCmcLibEntityEventRemoveTimer(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_EVENT* pEvent);
/* Frees every timed event of the entity without delivering it (the entity is being destroyed). */
void VqCmcLibEntityEventDropAll(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pEntity);
/* Posts the events due by the clock; called by the intake's timer poll. */
VQX_RESULT VqCmcLibEntityEventPollTimers(VQCMC_LIB_CTX* pCtx);

/* ------------------------------------------------------------ links (link) */

/* Link id 0 in: the next of the counter (never 0). An id given in is kept and only moves the
 * counter up (or, from near its top, back down to a low id below 0x100000). Always succeeds. */
VQX_RESULT VqCmcLibLegGenerateNewLinkid(VQCMC_LIB_CTX* pCtx, u32* pun32LinkId);
/* NotifLinkSync of a resynchronising server: both legs by mapping id, or nothing done. The
 * caller releases the message. Always succeeds. */
VQX_RESULT VqCmcLinkMsgHandleNotifLinkSync(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg);

/* ------------------------------------------------------------ messages (msg) */

VQX_RESULT VqCmcMsgPrivateAllocHandle(VQCMC_LIB_CTX* pCtx, u32 un32Id, u64 un64Uc1, VQX_MSG_HANDLE* phMsg);
VQX_RESULT VqCmcMsgPrivateAlloc(VQCMC_LIB_CTX* pCtx, u32 un32Id, u8** ppPayload);
VQX_RESULT VqCmcMsgPrivateSend(VQCMC_LIB_CTX* pCtx, u32 un32Id, u64 un64Uc1, u64 un64Uc2, u8** ppPayload);
VQX_RESULT VqCmcMsgProtectedAlloc(VQCMC_LIB_CTX* pCtx, u32 un32Id, u8** ppPayload);
VQX_RESULT VqCmcMsgPublicAlloc(VQCMC_LIB_CTX* pCtx, u32 un32Id, u8** ppPayload);
VQX_RESULT VqCmcMsgFreeHandle(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE* phMsg);
/*
 * A state change's entry: the private message un32Id (payload zeroed, user context 1 un64Uc1)
 * handed to fHandler(&hMsg) at once. The message never leaves the library, so it is taken from
 * and given back to a few kept in the context instead of the host library each time: a handler
 * frees it as any other (VqCmcMsgFreeHandle only clears the handle) or leaves it. Fails, with
 * the handler not run, when no message can be had. hThreadSem held.
 */
VQX_RESULT VqCmcMsgEntryTake(VQCMC_LIB_CTX* pCtx, u32 un32Id, u64 un64Uc1, VQX_MSG_HANDLE* phMsg);
void VqCmcMsgEntryGiveBack(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE hLent, VQX_MSG_HANDLE hLeft, VQX_MSG_HANDLE hOuter);
template <typename F>
VQX_RESULT VqCmcMsgEntryRun(VQCMC_LIB_CTX* pCtx, u32 un32Id, u64 un64Uc1, F&& fHandler) {
  VQX_MSG_HANDLE hEnter = nullptr;
  const VQX_RESULT result = VqCmcMsgEntryTake(pCtx, un32Id, un64Uc1, &hEnter);
  if (VQX_RESULT_FAILED(result)) return result;
  const VQX_MSG_HANDLE hLent = hEnter;
  /* Written only by this thread (the one holding hThreadSem): a load and a store, no exchange. */
  const VQX_MSG_HANDLE hOuter = pCtx->hEntryLent.load(std::memory_order_relaxed);
  pCtx->hEntryLent.store(hLent, std::memory_order_relaxed);
  fHandler(&hEnter);
  VqCmcMsgEntryGiveBack(pCtx, hLent, hEnter, hOuter);
  return VQX_RESULT_OK;
}
/* Releases the kept entry messages (library close). */
void VqCmcMsgEntryUninit(VQCMC_LIB_CTX* pCtx);
VQX_MSG_HANDLE VqCmcMsgFromPayload(VQCMC_LIB_CTX* pCtx, u8* pPayload);
VQX_RESULT VqCmcLibMsgPost(VQCMC_LIB_CTX* pCtx, u8** ppPayload);
VQX_RESULT VqCmcLibMsgPostNotifReady(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE* phHeldReady);
VQX_RESULT VqCmcLibMsgPostNotifNotReady(VQCMC_LIB_CTX* pCtx);
/* The u32 at a payload offset, when the payload holds it. */
bool VqCmcMsgReadU32(VQX_MSG_HANDLE hMsg, u32 un32Offset, u32* pun32Value);

/* ------------------------------------------------------------ servers (host, host_state, host_msg) */

VQX_RESULT VqCmcHostInit(VQCMC_LIB_CTX* pCtx);
VQX_RESULT VqCmcHostUninit(VQCMC_LIB_CTX* pCtx);
VQX_RESULT VqCmcHostMsgHandle(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE* phMsg);
VQX_RESULT VqCmcLibHostGetAvailable(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX** ppHost);
VQX_RESULT VqCmcLibHostRemove(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost);
VQX_RESULT VqCmcStateHostFreePendingMsgs(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost);
_VQCMC_HOST_CTX* VqCmcHostFirst(VQCMC_LIB_CTX* pCtx);
_VQCMC_HOST_CTX* VqCmcHostNext(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost);
/* The host library still knows the peer (a send to it would not be refused as 0x82010209). */
bool VqCmcPeerKnown(VQCMC_LIB_CTX* pCtx, u32 hHost);
u32 VqCmcHostCountReady(VQCMC_LIB_CTX* pCtx, u32* pun32NbRecords);

VQX_RESULT VqCmcHostStateChange(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, u32 un32NewState);
void VqCmcHostStateMsgHandle(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg);

VQX_RESULT VqCmcHostMsgSend(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, u8** ppPayload);
VQX_RESULT VqCmcHostSendLibRegister(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost);
void VqCmcHostSendHostStatesGetTimer(VQCMC_LIB_CTX* pCtx, u64 un64Host);
VQX_RESULT VqCmcHostSendHostStatesGet(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost);
VQX_RESULT VqCmcHostSendSyncCompleted(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost);
VQX_RESULT VqCmcHostSendSetLegOwnership(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pLeg);
VQX_RESULT VqCmcHostSendSetMixerOwnership(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pMixer);
VQX_RESULT VqCmcHostSendSetLinkOwnership(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, u32 un32Id1, u32 un32Id2);
VQX_RESULT VqCmcHostSendSetMixerLinkOwnership(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, u32 un32Id1,
                                              u32 un32Id2);
VQX_RESULT VqCmcHostMsgHandleRsp(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg);
VQX_RESULT VqCmcHostHandleSyncStarting(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost);
VQX_RESULT VqCmcAnyMsgHandle(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg);
VQX_RESULT VqCmcLibHostPostponeMsg(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg);
VQX_RESULT VqCmcStateTestReadyHosts(VQCMC_LIB_CTX* pCtx);
/* The job layer tells the sync bookkeeping that a job of that serial ended. */
void VqCmcHostJobEnded(VQCMC_LIB_CTX* pCtx, u64 un64Serial);

#endif
