/*
 * vqcmc_lib.h - the call/media control core library: a procedural client of
 * remote call/media control servers, opened over an opened host library.
 *
 * Model. VQCmcLibOpen gives back an opaque handle (the library context).
 * The library finds the servers among the remote hosts the host library
 * reports, registers with each, follows each through its state machine and
 * tells the application, through its default callback, when the service
 * becomes ready (VQCMC_APP_MSG_NOTIF_READY) or is lost
 * (VQCMC_LIB_MSG_NOTIF_NOT_READY). It owns no thread: it runs on the host
 * library's receive thread (a batch of up to 256 messages, or every 50 ms),
 * on its job threads (two or more threads) and on the caller's threads.
 * Callbacks run without the library lock held and may call back in, except
 * VQCmcLibClose (refused there with 0x8200000F).
 * Every call returns a result (0x02000000 success; bit 31 set: failure).
 */
#ifndef VQCMC_LIB_H
#define VQCMC_LIB_H

#include <cstdarg>

#include "vqx_host.h"
#include "vqx_host_peer.h"
#include "vqx_result.h"
#include "vqx_types.h"
#include "vqcmc_msg_catalogue.h"

typedef struct _VQCMC_LIB_CTX* VQCMC_LIB_HANDLE;

/* Default message callback: a library-level message; keep it by clearing *phMsg. */
typedef void (*PFCT_VQCMC_LIB_CALLBACK)(VQCMC_LIB_HANDLE hLib, void* pContext, VQX_MSG_HANDLE* phMsg);
/* Log callback: (context, 0, level, format, arguments). */
typedef void (*PFCT_VQCMC_LIB_LOG)(void* pContext, u32 un32Reserved, u32 un32Level, const char* pszFormat,
                                   va_list Args);

#define VQCMC_LIB_MAX_THREADS 200u
#define VQCMC_LIB_DEFAULT_MAX_LEGS 0x14000u
#define VQCMC_LIB_DEFAULT_JOBS_FIFO_MAX 0x14000u
#define VQCMC_LOG_LEVEL_ERROR 0x7FFFFFFEu
#define VQCMC_LOG_LEVEL_NOTICE 0x7FFFFFFDu

/* Open parameters. Checked: 1..200 threads, priority 0, 1, 3 or 4, a default
 * callback, a host library that answers its get-parameters call. */
typedef struct _VQCMC_LIB_PARAMS {
  VQX_LIB_HANDLE hVqxLib;
  struct {
    PFCT_VQCMC_LIB_CALLBACK pFctCallback;
    void* pContext;
  } Callback;
  struct {
    u32 un32NbThread;  /* 1: jobs run on the receive thread at the end of each batch */
    u32 Prio;
  } Threads;
  struct {
    PFCT_VQCMC_LIB_LOG pFctLog;  /* null: no log */
    void* pContext;
  } Log;
  u32 un32TraceLevel;      /* traces below it are not passed on; errors always are */
  u32 un32LibId;           /* sent to each server at registration */
  u32 un32MaxLegs;         /* 0: 0x14000 */
  u32 un32JobsFifoMax;     /* 0: 0x14000 */
  u8 aun8RegisterFlags[4]; /* carried in the registration; a change of byte 0, 1 or 3 re-registers */
} _VQCMC_LIB_PARAMS;

/* Counters, in this order. */
typedef struct _VQCMC_LIB_STATS {
  u32 un32LegsActive, un32LegsCreated, un32LegsDestroyed;
  u32 un32MixersActive, un32MixersCreated, un32MixersDestroyed;
  u32 un32JobsQueued, un32JobsRunning, un32JobsDone;
} _VQCMC_LIB_STATS;
static_assert(sizeof(_VQCMC_LIB_STATS) == 36);

/* One known server, as VQCmcLibGetCmcServerList fills it. */
typedef struct _VQCMC_LIB_CMCSERVER_INFO {
  _VQX_HOST_INFO HostInfo;
  u32 un32Gw0State;    /* path states from the host library; 0 for a server without peer handle */
  u32 un32Gw1State;
  u32 fReady;
  u32 un32NbLegs;
  u32 un32NbMixers;
} _VQCMC_LIB_CMCSERVER_INFO;

/* Opens the library; *phLib is null on failure, and nothing is left behind. */
VQX_RESULT VQCmcLibOpen(const _VQCMC_LIB_PARAMS* pParams, VQCMC_LIB_HANDLE* phLib);
/* Validates and replaces the parameters; re-registers when flag byte 0, 1 or 3 changed. */
VQX_RESULT VQCmcLibModify(VQCMC_LIB_HANDLE hLib, const _VQCMC_LIB_PARAMS* pParams);
VQX_RESULT VQCmcLibGetParam(VQCMC_LIB_HANDLE hLib, _VQCMC_LIB_PARAMS* pParams);
VQX_RESULT VQCmcLibGetStats(VQCMC_LIB_HANDLE hLib, _VQCMC_LIB_STATS* pStats);
/* *pun32Count: capacity on entry, records filled on return. 0x82000009 for null arguments. */
VQX_RESULT VQCmcLibGetCmcServerList(VQCMC_LIB_HANDLE hLib, u32* pun32Count, _VQCMC_LIB_CMCSERVER_INFO* paInfo);
/* Build number of the first ready server; 0 when none is ready. */
u32 VQCmcLibGetActiveCmcServerBuildNumber(VQCMC_LIB_HANDLE hLib);
/* Stops the intake; from then on jobs are dropped and commands refused (0x82000014). A callback
 * already running is not waited for. */
VQX_RESULT VQCmcLibStop(VQCMC_LIB_HANDLE hLib);
/* Tears everything down and frees the context; 0x8200000F from a library callback. */
VQX_RESULT VQCmcLibClose(VQCMC_LIB_HANDLE hLib);

/*
 * Legs and mixers. The creation record (head shared by both kinds): the kind as the creator fills
 * it (stored and returned unchanged), the entity id (0 on create: a new one, written back), the
 * serialisation key of its jobs (0 on create: the entity id in the stored copy; the caller's record
 * keeps its 0), a user context, the message callback and its context (neither null), the event
 * callback. The library keeps a byte copy of the record; a job takes the callbacks from it as it
 * starts, so a modify applies to the jobs that start after it.
 * The leg calls accept only a leg's id and the mixer calls only a mixer's: an id of the other kind,
 * or of no entity, gives 0x8200000A (and a null or all-zero record where one is handed back).
 */
typedef void (*PFCT_VQCMC_ENTITY_CALLBACK)(VQCMC_LIB_HANDLE hLib, void* pvLegUserContext, VQX_MSG_HANDLE* phMsg);
typedef void (*PFCT_VQCMC_ENTITY_EVENT_CALLBACK)(VQCMC_LIB_HANDLE hLib, void* pvLegUserContext, u64 un64EventKey,
                                                 u8* pfCancelled);
#define VQCMC_ENTITY_PARAMS_HEAD                       \
  u32 un32Kind;                                        \
  u32 EntityId;                                        \
  u32 un32SerialisationId;                             \
  void* pvUserContext;                                 \
  struct {                                             \
    PFCT_VQCMC_ENTITY_CALLBACK pFctCallback;           \
    PFCT_VQCMC_ENTITY_EVENT_CALLBACK pFctEventCallback; \
    void* pvLegUserContext;                            \
  } Callback;
typedef struct _VQCMC_LIB_LEG_PARAMS {
  VQCMC_ENTITY_PARAMS_HEAD
  u32 LegType;  /* 0, VQCMC_LEG_TYPE_CALL or VQCMC_LEG_TYPE_MEDIA_ONLY */
} _VQCMC_LIB_LEG_PARAMS;
typedef struct _VQCMC_LIB_MIXER_PARAMS {
  VQCMC_ENTITY_PARAMS_HEAD
  u64 aun64Data[3];  /* stored and returned, never read */
} _VQCMC_LIB_MIXER_PARAMS;

/* Creates the entity on a ready server; Init then Ready before the call returns. */
VQX_RESULT VQCmcLibLegCreate(VQCMC_LIB_HANDLE hLib, _VQCMC_LIB_LEG_PARAMS* pParams);
VQX_RESULT VQCmcLibMixerCreate(VQCMC_LIB_HANDLE hLib, _VQCMC_LIB_MIXER_PARAMS* pParams);
/* Replaces the stored record (0 stays 0); a new serialisation key moves the entity's queued jobs to it. */
VQX_RESULT VQCmcLibLegModify(VQCMC_LIB_HANDLE hLib, const _VQCMC_LIB_LEG_PARAMS* pParams);
VQX_RESULT VQCmcLibMixerModify(VQCMC_LIB_HANDLE hLib, const _VQCMC_LIB_MIXER_PARAMS* pParams);
/* 0x02000000 and the stored record copied out when found and pParams is not null; 0x8200000A
 * for an id of no entity of that kind. No log. */
VQX_RESULT VQCmcLibLegFind(VQCMC_LIB_HANDLE hLib, u32 un32LegId, _VQCMC_LIB_LEG_PARAMS* pParams);
VQX_RESULT VQCmcLibMixerFind(VQCMC_LIB_HANDLE hLib, u32 un32MixerId, _VQCMC_LIB_MIXER_PARAMS* pParams);
/* As Find, with the out record zeroed first (all zero for an id of no entity of that kind). */
VQX_RESULT VQCmcLibLegGetParam(VQCMC_LIB_HANDLE hLib, u32 un32LegId, _VQCMC_LIB_LEG_PARAMS* pParams);
VQX_RESULT VQCmcLibMixerGetParam(VQCMC_LIB_HANDLE hLib, u32 un32MixerId, _VQCMC_LIB_MIXER_PARAMS* pParams);

/* Messages the application fills: from the library's pool; release what it does not hand on. */
/*
 * Commands to the server that holds a leg (mixer): the message, taken from the caller (*phMsg
 * is cleared on every path), goes to the server with user context 1 = (tag << 32) | id; a server
 * still registering gets it too. 0x8200000A an id of no entity of that kind (the message is
 * released); 0x8201020A the server is neither ready nor registering (released too); 0x8200000F the
 * library ended the entity (its server gone, or one that did not claim it: no answer would reach it;
 * released too); 0x82000014 the library is stopped (released, nothing queued). A send that waits for
 * room in the host library ends once the library stops (0x82010218, the message dropped).
 */
VQX_RESULT VQCmcLibLegMsgProcess(VQCMC_LIB_HANDLE hLib, u32 un32LegId, u32 un32Tag, VQX_MSG_HANDLE* phMsg);
VQX_RESULT VQCmcLibMixerMsgProcess(VQCMC_LIB_HANDLE hLib, u32 un32MixerId, u32 un32Tag, VQX_MSG_HANDLE* phMsg);
/*
 * Entity events: the key comes back through the entity's event callback, in order with its
 * messages, after the delay (0 or 0xFFFFFFFF: at once; at most 0x7FFFFFFF ms, else 0x8200000A).
 * 0x8200000F the entity's terminal notice is posted; 0x82000005 the key is pending. Cancel takes
 * the timed event out, or flags its queued or running job. The Entity calls route by kind (an
 * unknown id: 0x82000015).
 */
VQX_RESULT VQCmcLibLegEvent(VQCMC_LIB_HANDLE hLib, u32 un32LegId, u64 un64EventKey, u32 un32DelayMs);
VQX_RESULT VQCmcLibMixerEvent(VQCMC_LIB_HANDLE hLib, u32 un32MixerId, u64 un64EventKey, u32 un32DelayMs);
VQX_RESULT VQCmcLibEntityEvent(VQCMC_LIB_HANDLE hLib, u32 un32EntityId, u64 un64EventKey, u32 un32DelayMs);
VQX_RESULT VQCmcLibLegEventCancel(VQCMC_LIB_HANDLE hLib, u32 un32LegId, u64 un64EventKey);
VQX_RESULT VQCmcLibMixerEventCancel(VQCMC_LIB_HANDLE hLib, u32 un32MixerId, u64 un64EventKey);
VQX_RESULT VQCmcLibEntityEventCancel(VQCMC_LIB_HANDLE hLib, u32 un32EntityId, u64 un64EventKey);
/* Destroys the leg (mixer) now, or once its pending jobs have run; its timed events are dropped.
 * A job already started keeps what it took of the record and runs its callback. */
VQX_RESULT VQCmcLibLegDestroy(VQCMC_LIB_HANDLE hLib, u32 un32LegId);
VQX_RESULT VQCmcLibMixerDestroy(VQCMC_LIB_HANDLE hLib, u32 un32MixerId);
/* A leg id not in use (1 .. 0x7FFFFFFF), and a new link id (never 0); 0 for a null handle. */
u32 VQCmcLibLegIdCreate(VQCMC_LIB_HANDLE hLib);
u32 VQCmcLibLinkIdCreate(VQCMC_LIB_HANDLE hLib);

VQX_RESULT VQCmcLibMsgAlloc(VQCMC_LIB_HANDLE hLib, u32 un32Size, VQX_MSG_HANDLE* phMsg);
VQX_RESULT VQCmcLibMsgRelease(VQCMC_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg);

#endif
