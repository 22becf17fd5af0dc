/*
 * vqcmc_lib_entity.cpp - the entity table that the job layer and the server
 * machine rely on: one pool of leg and mixer records keyed by entity id and
 * a hash by the servers' mapping ids. The leg and mixer layers build their
 * own create, destroy and find on these; until they exist the hooks table
 * below is empty and nothing routes a server message to an entity.
 */
#include <cstring>

#include "vqcmc_lib_internal.h"

const _VQCMC_ENTITY_HOOKS g_VqCmcEntityHooks = {};

namespace {

u64 EntityGetKey(void*, const void* pRecord) {
  return static_cast<const _VQCMC_ENTITY_CTX*>(pRecord)->Params.EntityId;
}

u32 MaxLegs(const VQCMC_LIB_CTX* pCtx) {
  return pCtx->Params.un32MaxLegs != 0 ? pCtx->Params.un32MaxLegs : VQCMC_LIB_DEFAULT_MAX_LEGS;
}

}  // namespace

VQX_RESULT VqCmcEntityInit(VQCMC_LIB_CTX* pCtx) {
  pCtx->hEntityPool = VQXPoolOfBuffersCreate(MaxLegs(pCtx), sizeof(_VQCMC_ENTITY_CTX), EntityGetKey, pCtx, 1);
  pCtx->hHashEntityByMapId = VQXHashCreateWithKeyInternal(MaxLegs(pCtx), "cmc entities by mapping id", 0);
  if (pCtx->hEntityPool == nullptr || pCtx->hHashEntityByMapId == nullptr) {
    VQCMC_ERR(pCtx, "VqCmcEntityInit", VQX_RESULT_NOT_ENOUGH_MEMORY, "Failed To alloc entity table");
    VqCmcEntityUninit(pCtx);
    return VQX_RESULT_NOT_ENOUGH_MEMORY;
  }
  return VQX_RESULT_OK;
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

VQX_RESULT VqCmcLibEntityCreate(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, u32 un32Type,
                                const _VQCMC_LIB_ENTITY_PARAMS* pParams, _VQCMC_ENTITY_CTX** ppEntity) {
  *ppEntity = nullptr;
  void* pRecord = VQXPoolOfBuffersAlloc(pCtx->hEntityPool, pParams->EntityId);
  if (pRecord == nullptr) return VQX_RESULT_OUT_OF_RESOURCE;
  _VQCMC_ENTITY_CTX* pEntity = static_cast<_VQCMC_ENTITY_CTX*>(pRecord);
  memset(pEntity, 0, sizeof(*pEntity));
  pEntity->Type = un32Type;
  pEntity->Params = *pParams;
  if (pEntity->Params.un32SerialisationId == 0) pEntity->Params.un32SerialisationId = pParams->EntityId;
  pEntity->StateTimer.un32PeriodMs = VQCMC_TIMER_DISARMED;
  pEntity->pHostCtx = pHost;
  if (un32Type == VQCMC_ENTITY_TYPE_LEG) {
    pHost->un32NbLegs++;
    pCtx->Stats.un32LegsActive++;
    pCtx->Stats.un32LegsCreated++;
  } else {
    pHost->un32NbMixers++;
    pCtx->Stats.un32MixersActive++;
    pCtx->Stats.un32MixersCreated++;
  }
  *ppEntity = pEntity;
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcLibEntityDestroy(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pEntity) {
  {
    std::lock_guard<std::mutex> guard(pCtx->JobLock);
    if (pEntity->un32NbPendingJobs != 0 || pEntity->un32NbPendingTimers != 0) {
      pEntity->un8Flags |= VQCMC_ENTITY_FLAG_DESTROY_DEFERRED;
      pEntity->fDestroyDeferred = 1;
      return VQX_RESULT_OK;
    }
  }
  VQXTimerRemove(pCtx->hTimer, &pEntity->StateTimer);
  if (pEntity->MappingId != 0) VQXHashRemove(pCtx->hHashEntityByMapId, pEntity->MappingId, nullptr);
  _VQCMC_HOST_CTX* pHost = pEntity->pHostCtx;
  const bool fLeg = pEntity->Type == VQCMC_ENTITY_TYPE_LEG;
  if (pHost != nullptr) {
    u32& un32Count = fLeg ? pHost->un32NbLegs : pHost->un32NbMixers;
    if (un32Count > 0) un32Count--;
  }
  u32& un32Active = fLeg ? pCtx->Stats.un32LegsActive : pCtx->Stats.un32MixersActive;
  if (un32Active > 0) un32Active--;
  (fLeg ? pCtx->Stats.un32LegsDestroyed : pCtx->Stats.un32MixersDestroyed)++;
  pEntity->pHostCtx = nullptr;
  return VQXPoolOfBuffersFree(pCtx->hEntityPool, pEntity);
}

/* Entity events come with the leg layer; the table holds nothing yet. */
VQX_RESULT VqCmcEntityEventInit(VQCMC_LIB_CTX*) { return VQX_RESULT_OK; }
VQX_RESULT VqCmcEntityEventUninit(VQCMC_LIB_CTX*) { return VQX_RESULT_OK; }
