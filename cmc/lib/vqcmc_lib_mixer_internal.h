/*
 * vqcmc_lib_mixer_internal.h - inside the core library: conference mixers,
 * the entities of kind 2 that a server runs for the application. Creation
 * and lookup, the router of mixer messages, the library's notifications
 * about a mixer, the sweeps the server machine runs over all mixers, the
 * re-claim of mixers and mixer links by a resynchronising server, and the
 * mixer state machine (Init, Ready, Not ready, Cmixer unsynced, Cmixer
 * terminated). Only the library's files and its tests include it.
 * Everything here runs with hThreadSem held.
 */
#ifndef VQCMC_LIB_MIXER_INTERNAL_H
#define VQCMC_LIB_MIXER_INTERNAL_H

#include "vqcmc_lib_internal.h"

#define VQCMC_MIXER_UNSYNCED_MS 10000u

static_assert(sizeof(_VQCMC_LIB_MIXER_PARAMS) <= sizeof(_VQCMC_LIB_ENTITY_PARAMS));

/* ------------------------------------------------------------ mixers (mixer) */

/* The entity checks; "VqCmcEntityParamValidate fails" and their code on failure. */
VQX_RESULT VqCmcMixerParamValidate(VQCMC_LIB_CTX* pCtx, const _VQCMC_LIB_MIXER_PARAMS* pParams);
/* A mixer on pHost (null: a ready server), id 0 generates one; it is in Ready on return.
 * An existing entity of that id (or mapping id when the id is 0) comes back with 0x8200000C. */
VQX_RESULT VqCmcLibMixerCreate(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, u32 un32MixerId, u32 un32MappingId,
                               _VQCMC_ENTITY_CTX** ppMixer);
/* The entity lookup accepting a mixer only: another kind or none gives null and 0x8200000A. */
VQX_RESULT VqCmcLibMixerFind(VQCMC_LIB_CTX* pCtx, u32 un32MixerId, u32 un32MappingId, _VQCMC_ENTITY_CTX** ppMixer);
VQX_RESULT VqCmcLibMixerFindByMapId(VQCMC_LIB_CTX* pCtx, u32 un32MappingId, _VQCMC_ENTITY_CTX** ppEntity);
VQX_RESULT VqCmcLibMixerDestroy(VQCMC_LIB_CTX* pCtx, u32 un32MixerId);
/* Routes one received message to its mixer; what is no mixer message stays in the handle. */
VQX_RESULT VqCmcMixerMsgHandle(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg);
/* Creates or re-claims the mixer a (checked) NotifMixerSync names; writes a generated id at 28. */
VQX_RESULT VqCmcMixerMsgHandleNotifMixerSync(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg);
/* A (checked) NotifMixerLinkSync: both entities by mapping id, or nothing done. Always succeeds. */
VQX_RESULT VqCmcLinkMsgHandleNotifMixerLinkSync(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg);
/* NotifMixerSync and NotifMixerLinkSync as the library reads them: long enough, sets sound. */
bool VqCmcMixerSyncInputOk(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE hMsg);
VQX_RESULT VqCmcMixerUnSyncAll(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost);
/* Every mixer in state 8, whatever its server, to 9 (pHost null: each on its own server). */
VQX_RESULT VqCmcMixerTerminateUnSynced(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost);
VQX_RESULT VqCmcMixerAllSyncDone(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost);
/* A dead server's mixers not yet terminated, to 9. */
void VqCmcMixerTerminateOwned(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost);

/* ------------------------------------------------------------ notifications (mixer_msg) */

/* The message as a job of the mixer (job key 0, its serialisation id). */
VQX_RESULT VqCmcMixerMsgHandlePost(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pMixer, VQX_MSG_HANDLE* phMsg);
/* A library notification (by payload) as a job of the mixer; *ppPayload cleared whatever the result. */
VQX_RESULT VqCmcMixerMsgPost(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pMixer, u32 un32SerialisationId, u8** ppPayload);
/* MIXER_SYNC built from a checked NotifMixerSync, to the default callback. */
VQX_RESULT VqCmcMixerMsgPostNotifMixerSync(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pMixer, VQX_MSG_HANDLE hSync);
VQX_RESULT VqCmcMixerMsgPostNotifMixerTerm(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pMixer);
VQX_RESULT VqCmcMixerMsgPostNotifMixerSyncDone(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pMixer);
VQX_RESULT VqCmcMixerMsgPostNotifMixerSyncLost(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pMixer);
/* MIXER_LINK_SYNC to the default callback with the join attribute that fits the joined kind. */
VQX_RESULT VqCmcLinkMsgPostNotifMixerLinkSync(VQCMC_LIB_CTX* pCtx, const u8* pMixerLegJoin, const u8* pMixerMixerJoin,
                                              const _VQCMC_ENTITY_CTX* pMixer, const _VQCMC_ENTITY_CTX* pEntity);

/* ------------------------------------------------------------ state machine (mixer_state) */

/* Enters the state and runs its entry at once; the allocation's code when the entry could not run. */
VQX_RESULT VqCmcMixerStateChange(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pMixer,
                                 u32 un32NewState);
/* The automatic transitions: Init to Ready; Cmixer unsynced to Ready when synced, else to terminated
 * on a timeout. */
void VqCmcMixerStateCheck(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pMixer);

#endif
