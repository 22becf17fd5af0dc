/*
 * vqcmc_lib_leg_internal.h - inside the core library: call legs, the
 * entities of kind 1. Creation and lookup, the router that takes every
 * leg message to its leg's state, the library's notifications about a
 * leg, the re-claim of a leg by a resynchronising server, the sweeps the
 * server machine runs over all legs, and the leg state machine (Init,
 * Ready, Not ready, Cleg unsynced, Cleg terminated). Only the library's
 * files and its tests include it. Everything here runs with hThreadSem held.
 */
#ifndef VQCMC_LIB_LEG_INTERNAL_H
#define VQCMC_LIB_LEG_INTERNAL_H

#include "vqcmc_lib_internal.h"

/* An unsynchronised leg not claimed again within this time is terminated. */
#define VQCMC_LEG_UNSYNCED_MS 10000u

static_assert(sizeof(_VQCMC_LIB_LEG_PARAMS) <= sizeof(_VQCMC_LIB_ENTITY_PARAMS));
static_assert(offsetof(_VQCMC_LIB_LEG_PARAMS, Callback) == offsetof(_VQCMC_LIB_ENTITY_PARAMS, Callback));

/* ------------------------------------------------------------ legs (leg) */

/* The entity checks, then a leg type of 0, 1 or 2 (0x8200000A, "Invalid LegType=0x%X"). */
VQX_RESULT VqCmcLegParamValidate(VQCMC_LIB_CTX* pCtx, const _VQCMC_LIB_LEG_PARAMS* pParams);
/* A leg on pHost (null: a ready server), id 0 generates one; it is in Ready on return. An
 * existing entity of that id (or mapping id when the id is 0) comes back with 0x8200000C. */
VQX_RESULT VqCmcLibLegCreate(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, u32 un32LegId, u32 un32MappingId,
                             _VQCMC_ENTITY_CTX** ppLeg);
/* The entity lookup accepting a leg only: another kind or none gives null and 0x8200000A. */
VQX_RESULT VqCmcLibLegFind(VQCMC_LIB_CTX* pCtx, u32 un32LegId, u32 un32MappingId, _VQCMC_ENTITY_CTX** ppLeg);
/* Routes one received message to its leg; what is no leg message stays in the handle. Always succeeds. */
VQX_RESULT VqCmcLegMsgHandle(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg);
/* Creates or re-claims the leg a (checked) NotifLegSync names; writes a generated id at 32. */
VQX_RESULT VqCmcLegMsgHandleNotifLegSync(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg);
/* A NotifLegSync as the library reads it: long enough, its sets sound. Logs the refusal. */
bool VqCmcLegSyncInputOk(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE hMsg);
/* Sends to the leg's server for the leg and counts it in the pending requests. */
VQX_RESULT VqCmcLegHostMsgSend(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pLeg, u8** ppPayload);
VQX_RESULT VqCmcLegUnSyncAll(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost);
/* Every leg in state 5, whatever its server, to 6 (pHost null: each on its own server). */
VQX_RESULT VqCmcLegTerminateUnSynced(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost);
VQX_RESULT VqCmcLegAllSyncDone(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost);
/* A dead server's legs not yet terminated, to 6. */
void VqCmcLegTerminateOwned(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost);

/* ------------------------------------------------------------ notifications (leg) */

/* The message as a job of the leg (job key 0, its serialisation id). */
VQX_RESULT VqCmcLegMsgHandlePost(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pLeg, VQX_MSG_HANDLE* phMsg);
/* LEG_SYNC built from a checked NotifLegSync, to the default callback. */
VQX_RESULT VqCmcLegMsgPostNotifLegSync(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pLeg, VQX_MSG_HANDLE hSync);
VQX_RESULT VqCmcLegMsgPostNotifLegTerm(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pLeg);
VQX_RESULT VqCmcLegMsgPostNotifLegSyncDone(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pLeg);
VQX_RESULT VqCmcLegMsgPostNotifLegSyncLost(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pLeg);

/* ------------------------------------------------------------ sync sets (leg), shared with the mixers */

/* Every element of the set has at least un32MinSize bytes and a sound set at its offset 0. */
VQX_RESULT VqCmcCheckNestedSets(VQX_MSG_HANDLE hMsg, const VQXMsgElementSet* pSet, u32 un32MinSize);
/* The play and record attribute copies as element copies of VQXMsgElementDupSet; the context is a
 * _VQCMC_ELEMENT_COPY naming the library and the (checked) source message. */
typedef struct _VQCMC_ELEMENT_COPY {
  VQCMC_LIB_CTX* pCtx;
  VQX_MSG_HANDLE hSrcMsg;
} _VQCMC_ELEMENT_COPY;
i32 VqCmcCopyPlayElement(void* pv, const void* pvSrc, void* pDstMsg, void* pvDst, u16 un16Size);
i32 VqCmcCopyRecordElement(void* pv, const void* pvSrc, void* pDstMsg, void* pvDst, u16 un16Size);
/* Both attribute sets of a checked sync message into its notification, through the two copies; on
 * failure *ppszFailed names the step ("VQXMsgElementDupSet Failed for setPlayAttribute" or ...Record...). */
VQX_RESULT VqCmcCopySyncSets(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE hSync, const VQXMsgElementSet* pSrcPlay,
                             const VQXMsgElementSet* pSrcRecord, VQX_MSG_HANDLE hNotif, VQXMsgElementSet* pDstPlay,
                             VQXMsgElementSet* pDstRecord, const char** ppszFailed);

/* ------------------------------------------------------------ state machine (leg_state) */

/* Enters the state and runs its entry at once (0x0A020303 through the handler). */
VQX_RESULT VqCmcLegStateChange(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pLeg, u32 un32NewState);
/* The automatic transitions; the end of every handler. */
void VqCmcLegStateCheck(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pLeg);

#endif
