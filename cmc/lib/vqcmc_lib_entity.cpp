/*
 * vqcmc_lib_entity.cpp - the entity table: every call leg and mixer is one
 * record of a heap-backed pool keyed by its entity id (ids 1 to 0x7FFFFFFF,
 * skipping those in use), with a hash from the servers' mapping ids (the
 * newest binding of an id wins). Create returns an existing record with
 * 0x8200000C; destroy frees at once or, while jobs or timers are pending,
 * marks the record for the destroy that follows them; a server that becomes
 * ready takes over the records of removed or dead servers. The leg and mixer
 * layers build their kind-specific operations on these.
 * Runs with hThreadSem held; pending counts are read under JobLock too.
 */
#include <cstring>

#include "vqcmc_lib_internal.h"
#include "vqcmc_lib_leg_internal.h"
#include "vqcmc_lib_mixer_internal.h"

namespace {

void RecoverOrphans(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) { VqCmcLibRecoverOrphanedEntitiesOwnership(pCtx, pHost); }

/* The sweeps the server machine runs, over every kind of entity. */
void UnSyncAll(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  VqCmcLegUnSyncAll(pCtx, pHost);
  VqCmcMixerUnSyncAll(pCtx, pHost);
}
void TerminateUnSynced(VQCMC_LIB_CTX* pCtx) {
  VqCmcLegTerminateUnSynced(pCtx, nullptr);
  VqCmcMixerTerminateUnSynced(pCtx, nullptr);
}
void AllSyncDone(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  VqCmcLegAllSyncDone(pCtx, pHost);
  VqCmcMixerAllSyncDone(pCtx, pHost);
}
void TerminateOwned(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  VqCmcLegTerminateOwned(pCtx, pHost);
  VqCmcMixerTerminateOwned(pCtx, pHost);
}

u64 EntityGetKey(void*, const void* pRecord) {
  return static_cast<const _VQCMC_ENTITY_CTX*>(pRecord)->Params.EntityId;
}

u32 MaxLegs(const VQCMC_LIB_CTX* pCtx) {
  return pCtx->Params.un32MaxLegs != 0 ? pCtx->Params.un32MaxLegs : VQCMC_LIB_DEFAULT_MAX_LEGS;
}

}  // namespace

/* The leg, mixer and link layers fill the rest. */
const _VQCMC_ENTITY_HOOKS g_VqCmcEntityHooks = {
    .pFctLegMsgHandle = VqCmcLegMsgHandle,
    .pFctMixerMsgHandle = VqCmcMixerMsgHandle,
    .pFctLinkMsgHandleNotifLinkSync = VqCmcLinkMsgHandleNotifLinkSync,
    .pFctUnSyncAll = UnSyncAll,
    .pFctTerminateUnSynced = TerminateUnSynced,
    .pFctAllSyncDone = AllSyncDone,
    .pFctRecoverOrphans = RecoverOrphans,
    .pFctTerminateOwned = TerminateOwned,
    .pFctDestroyEntity = nullptr,
};

VQX_RESULT VqCmcEntityInit(VQCMC_LIB_CTX* pCtx) {
  const u32 un32Fail = pCtx->Seams.un32FailOpenStep;
  pCtx->hEntityPool = un32Fail == VQCMC_OPEN_STEP_ENTITY_POOL
                          ? nullptr
                          : VQXPoolOfBuffersCreate(MaxLegs(pCtx), sizeof(_VQCMC_ENTITY_CTX), EntityGetKey, pCtx, 1);
  const char* pszFailed = "Failed To alloc pool of Entities";
  if (pCtx->hEntityPool != nullptr) {
    pszFailed = "Failed To alloc hash of Entities";
    pCtx->hHashEntityByMapId = un32Fail == VQCMC_OPEN_STEP_ENTITY_HASH
                                   ? nullptr
                                   : VQXHashCreateWithKeyInternal(MaxLegs(pCtx), "cmc entities by mapping id", 0);
    if (pCtx->hHashEntityByMapId != nullptr) return VQX_RESULT_OK;
  }
  VQCMC_ERR(pCtx, "VqCmcEntityInit", VQX_RESULT_NOT_ENOUGH_MEMORY, "%s", pszFailed);
  VqCmcEntityUninit(pCtx);
  return VQX_RESULT_NOT_ENOUGH_MEMORY;
}

VQX_RESULT VqCmcEntityUninit(VQCMC_LIB_CTX* pCtx) {
  if (pCtx->hHashEntityByMapId != nullptr) VQXHashDestroy(pCtx->hHashEntityByMapId);
  pCtx->hHashEntityByMapId = nullptr;
  if (pCtx->hEntityPool != nullptr) {
    /* Records still live give their timers back before the pool frees them. */
    for (void* p = VQXPoolOfBuffersFirst(pCtx->hEntityPool); p != nullptr; p = VQXPoolOfBuffersNext(pCtx->hEntityPool, p)) {
      VQXTimerRemove(pCtx->hTimer, &static_cast<_VQCMC_ENTITY_CTX*>(p)->StateTimer);
    }
    VQXPoolOfBuffersDestroy(pCtx->hEntityPool);
  }
  pCtx->hEntityPool = nullptr;
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcLibGenerateNewEntityId(VQCMC_LIB_CTX* pCtx, u32* pun32Id) {
  /* 1 .. 0x7FFFFFFF, wrapping to 1; an id in use is skipped. The pool bounds the ids in use,
   * so the walk ends. */
  u32 un32Id = pCtx->NextEntityId;
  do {
    un32Id++;
    if (static_cast<i32>(un32Id) <= 0) un32Id = 1;
  } while (VQXPoolOfBuffersFind(pCtx->hEntityPool, un32Id) != nullptr);
  pCtx->NextEntityId = un32Id;
  VQCMC_TRACE(pCtx, 1, "VqCmcLibGenerateNewEntityId", VQCMC_COLOUR_GREEN "NextEntityId 0x%08X", un32Id);
  *pun32Id = un32Id;
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcEntityParamValidate(VQCMC_LIB_CTX* pCtx, const _VQCMC_LIB_ENTITY_PARAMS* pParams) {
  static const char* kOp = "VqCmcEntityParamValidate";
  if (pParams->EntityId == 0) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_INVALID_PARAM, "Invalid EntityId=0x%08X", pParams->EntityId);
  } else if (pParams->Callback.pFctCallback == nullptr) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_INVALID_PARAM, "Invalid Callback.pFctCallback=0x%X", 0u);
  } else if (pParams->Callback.pvLegUserContext == nullptr) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_INVALID_PARAM, "Callback.pvLegUserContext Is NULL");
  } else {
    return VQX_RESULT_OK;
  }
  return VQX_RESULT_INVALID_PARAM;
}

VQX_RESULT VqCmcLibEntityFindByMapId(VQCMC_LIB_CTX* pCtx, u32 un32MappingId, _VQCMC_ENTITY_CTX** ppEntity) {
  u64 un64Value = 0;
  const VQX_RESULT result = VQXHashFind(pCtx->hHashEntityByMapId, un32MappingId, &un64Value);
  *ppEntity = reinterpret_cast<_VQCMC_ENTITY_CTX*>(un64Value);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, "VqCmcLibEntityFindByMapId", result,
              "VqCmcLibEntityFindByMapId couldn't find the entity (leg or mixer) (MappingId=0x%08X)", un32MappingId);
    *ppEntity = nullptr;
  }
  return result;
}

VQX_RESULT VqCmcLibEntityFind(VQCMC_LIB_CTX* pCtx, u32 un32EntityId, u32 un32MappingId, _VQCMC_ENTITY_CTX** ppEntity) {
  /* An entity id is looked up alone: a mapping id given with it is no fall-back. */
  if (un32EntityId == 0) return VqCmcLibEntityFindByMapId(pCtx, un32MappingId, ppEntity);
  *ppEntity = static_cast<_VQCMC_ENTITY_CTX*>(VQXPoolOfBuffersFind(pCtx->hEntityPool, un32EntityId));
  return *ppEntity != nullptr ? VQX_RESULT_OK : VQX_RESULT_NOT_FOUND;
}

VQX_RESULT VqCmcLibEntityInsertMapId(VQCMC_LIB_CTX* pCtx, u32 un32MappingId, _VQCMC_ENTITY_CTX* pEntity) {
  static const char* kOp = "VqCmcLibEntityInsertMapId";
  VQX_RESULT result = VQXHashInsert(pCtx->hHashEntityByMapId, un32MappingId, reinterpret_cast<u64>(pEntity));
  if (result != VQX_RESULT_ACCESS_DENIED) return VQX_RESULT_OK;
  /* The newest binding wins: the previous holder loses its mapping id. */
  u64 un64Holder = 0;
  if (VQX_RESULT_SUCCEEDED(VQXHashFind(pCtx->hHashEntityByMapId, un32MappingId, &un64Holder))) {
    _VQCMC_ENTITY_CTX* pHolder = reinterpret_cast<_VQCMC_ENTITY_CTX*>(un64Holder);
    if (VQX_RESULT_FAILED(VQXHashRemove(pCtx->hHashEntityByMapId, un32MappingId, nullptr))) {
      VQCMC_RED(pCtx, kOp, "VQXHashRemove 0x%08X from hHashEntityByMapId (EntityId=0x%08X) Failed",
                pHolder->MappingId, pHolder->Params.EntityId);
    }
    if (pHolder != pEntity) pHolder->MappingId = 0;
  }
  result = VQXHashInsert(pCtx->hHashEntityByMapId, un32MappingId, reinterpret_cast<u64>(pEntity));
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kOp, result, "VQXHashInsert 0x%08X in hHashEntityByMapId (EntityId=0x%08X) Failed (Result 0x%08X)",
              un32MappingId, pEntity->Params.EntityId, result);
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcLibEntityCreate(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX** ppHost, u32 un32EntityId, u32 un32MappingId,
                                _VQCMC_ENTITY_CTX** ppEntity) {
  static const char* kOp = "VqCmcLibEntityCreate";
  if (VQX_RESULT_SUCCEEDED(VqCmcLibEntityFind(pCtx, un32EntityId, un32MappingId, ppEntity))) {
    VQCMC_TRACE(pCtx, 1, kOp, VQCMC_COLOUR_GREEN "Found existing entity context with EntityId 0x%08X, mappingId 0x%08X",
                (*ppEntity)->Params.EntityId, (*ppEntity)->MappingId);
    return VQX_RESULT_INVALID_HANDLE;
  }
  *ppEntity = nullptr;
  if (*ppHost == nullptr && VQX_RESULT_FAILED(VqCmcLibHostGetAvailable(pCtx, ppHost))) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_NOT_FOUND, "No Engine available to create an entity");
    return VQX_RESULT_NOT_FOUND;
  }
  if (un32EntityId == 0) VqCmcLibGenerateNewEntityId(pCtx, &un32EntityId);
  _VQCMC_ENTITY_CTX* pEntity = static_cast<_VQCMC_ENTITY_CTX*>(VQXPoolOfBuffersAlloc(pCtx->hEntityPool, un32EntityId));
  if (pEntity == nullptr) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_NOT_ENOUGH_MEMORY, "VQXPoolOfBuffersAlloc Failed");
    return VQX_RESULT_NOT_ENOUGH_MEMORY;
  }
  memset(pEntity, 0, sizeof(*pEntity));
  pEntity->Params.EntityId = un32EntityId;
  pEntity->Params.un32SerialisationId = un32EntityId;
  pEntity->Params.Callback.pFctCallback = pCtx->Params.Callback.pFctCallback;
  pEntity->Params.Callback.pvLegUserContext = pCtx->Params.Callback.pContext;
  pEntity->StateTimer.un32PeriodMs = VQCMC_TIMER_DISARMED;
  pEntity->pHostCtx = *ppHost;
  if (un32MappingId != 0) {
    VqCmcLibEntityInsertMapId(pCtx, un32MappingId, pEntity);
    pEntity->MappingId = un32MappingId;
  }
  VQCMC_TRACE(pCtx, 1, kOp, VQCMC_COLOUR_GREEN "Created new entity context with EntityId 0x%08X, mappingId 0x%08X",
              un32EntityId, un32MappingId);
  *ppEntity = pEntity;
  return VQX_RESULT_OK;
}

void VqCmcEntityStoreParams(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pEntity, const void* pParams, size_t nSize,
                            bool fCreate) {
  std::lock_guard<std::mutex> guard(pCtx->JobLock);
  memcpy(&pEntity->Params, pParams, nSize);
  if (fCreate && pEntity->Params.un32SerialisationId == 0) pEntity->Params.un32SerialisationId = pEntity->Params.EntityId;
}

void VqCmcEntitySetKind(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pEntity, u32 un32Type) {
  pEntity->Type = un32Type;
  const bool fLeg = un32Type == VQCMC_ENTITY_TYPE_LEG;
  (fLeg ? pEntity->pHostCtx->un32NbLegs : pEntity->pHostCtx->un32NbMixers)++;
  (fLeg ? pCtx->Stats.un32LegsActive : pCtx->Stats.un32MixersActive)++;
  (fLeg ? pCtx->Stats.un32LegsCreated : pCtx->Stats.un32MixersCreated)++;
}

VQX_RESULT VqCmcLibEntityDestroy(VQCMC_LIB_CTX* pCtx, u32 un32EntityId) {
  static const char* kOp = "VqCmcLibEntityDestroy";
  _VQCMC_ENTITY_CTX* pEntity = nullptr;
  VQX_RESULT result = VqCmcLibEntityFind(pCtx, un32EntityId, 0, &pEntity);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kOp, result, "VqCmcLibEntityFind Failed EntityId=0x%08X", un32EntityId);
    return result;
  }
  /* Its timed events can no longer be delivered: they hold nothing back. */
  VqCmcLibEntityEventDropAll(pCtx, pEntity);
  {
    std::lock_guard<std::mutex> guard(pCtx->JobLock);
    if (pEntity->un32NbPendingJobs != 0 || pEntity->un32NbPendingTimers != 0) {
      VQCMC_RED(pCtx, kOp, "Attempting to free EntityId 0x%08X, while %d jobs %d timers are pending",
                un32EntityId, static_cast<int>(pEntity->un32NbPendingJobs), static_cast<int>(pEntity->un32NbPendingTimers));
      pEntity->un8Flags |= VQCMC_ENTITY_FLAG_DESTROY_DEFERRED;
      pEntity->fDestroyDeferred = 1;
      return VQX_RESULT_OK;
    }
  }
  const bool fLeg = pEntity->Type == VQCMC_ENTITY_TYPE_LEG;
  if (pEntity->Type == 0) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_INVALID_CONTEXT, "Unknown entity type!");
    return VQX_RESULT_INVALID_CONTEXT;
  }
  _VQCMC_HOST_CTX* pHost = pEntity->pHostCtx;
  if (pHost != nullptr && (fLeg || pEntity->Type == VQCMC_ENTITY_TYPE_MIXER)) {
    u32& un32Count = fLeg ? pHost->un32NbLegs : pHost->un32NbMixers;
    if (un32Count > 0) {
      un32Count--;
    } else {
      VQCMC_RED(pCtx, kOp, "EntityDestroy: Internal error: invalid child %s count is already 0, when trying to decrement",
                fLeg ? "leg" : "mixer");
    }
  }
  pEntity->pHostCtx = nullptr;
  const u32 un32MappingId = pEntity->MappingId;
  if (un32MappingId != 0 && VQX_RESULT_FAILED(VQXHashRemove(pCtx->hHashEntityByMapId, un32MappingId, nullptr))) {
    VQCMC_RED(pCtx, kOp, "VQXHashRemove 0x%08X from hHashEntityByMapId (EntityId=0x%08X) Failed", un32MappingId,
              un32EntityId);
  }
  pEntity->MappingId = 0;
  VQXTimerRemove(pCtx->hTimer, &pEntity->StateTimer);
  VQCMC_TRACE(pCtx, 1, kOp, VQCMC_COLOUR_GREEN "Destroyed entity context with EntityId 0x%08X, mappingId 0x%08X",
              un32EntityId, un32MappingId);
  const u32 un32Type = pEntity->Type;
  result = VQXPoolOfBuffersFree(pCtx->hEntityPool, pEntity);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kOp, result, "VQXPoolOfBuffersFree Failed");
    return result;
  }
  if (un32Type == VQCMC_ENTITY_TYPE_LEG || un32Type == VQCMC_ENTITY_TYPE_MIXER) {
    u32& un32Active = fLeg ? pCtx->Stats.un32LegsActive : pCtx->Stats.un32MixersActive;
    if (un32Active > 0) un32Active--;
    (fLeg ? pCtx->Stats.un32LegsDestroyed : pCtx->Stats.un32MixersDestroyed)++;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcLibRecoverOrphanedEntitiesOwnership(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  for (void* p = VQXPoolOfBuffersFirst(pCtx->hEntityPool); p != nullptr; p = VQXPoolOfBuffersNext(pCtx->hEntityPool, p)) {
    _VQCMC_ENTITY_CTX* pEntity = static_cast<_VQCMC_ENTITY_CTX*>(p);
    _VQCMC_HOST_CTX* pOwner = pEntity->pHostCtx;
    if (pOwner == pHost || pOwner == nullptr) continue;
    VQCMC_TRACE_RED(pCtx, 1, "VqCmcLibRecoverOrphanedEntitiesOwnership",
                    "RecoverOrphanedEntitiesOwnership checking EntityId=0x%08X pEntityCtx->Entity.pHostCtx->CurrState=%d",
                    pEntity->Params.EntityId, static_cast<int>(pOwner->CurrState));
    if (pOwner->CurrState != VQCMC_LIB_STATE_HOST_REMOVED && pOwner->CurrState != VQCMC_LIB_STATE_HOST_DEAD) continue;
    if (pEntity->Type != VQCMC_ENTITY_TYPE_LEG && pEntity->Type != VQCMC_ENTITY_TYPE_MIXER) continue;
    const bool fLeg = pEntity->Type == VQCMC_ENTITY_TYPE_LEG;
    u32& un32From = fLeg ? pOwner->un32NbLegs : pOwner->un32NbMixers;
    if (un32From > 0) un32From--;
    (fLeg ? pHost->un32NbLegs : pHost->un32NbMixers)++;
    pEntity->pHostCtx = pHost;
  }
  return VQX_RESULT_OK;
}

