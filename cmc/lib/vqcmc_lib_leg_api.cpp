/*
 * vqcmc_lib_leg_api.cpp - the public calls that create, modify, find and
 * read back legs. Each takes hThreadSem for the whole call and logs its
 * failure once (Find and GetParam do not log).
 */
#include <cstring>

#include "vqcmc_lib_leg_internal.h"

VQX_RESULT VQCmcLibLegCreate(VQCMC_LIB_HANDLE hLib, _VQCMC_LIB_LEG_PARAMS* pParams) {
  static const char* kOp = "VQCmcLibLegCreate";
  if (hLib == nullptr || pParams == nullptr) return VQX_RESULT_NULL_PARAM;
  CVqCmcLibLock lock(hLib);
  if (pParams->EntityId == 0 && VQX_RESULT_FAILED(VqCmcLibGenerateNewEntityId(hLib, &pParams->EntityId))) {
    VQCMC_RED(hLib, kOp, "VqCmcLibGenerateNewEntityId Failed");
  }
  VQX_RESULT result = VqCmcLegParamValidate(hLib, pParams);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(hLib, kOp, result, "VqCmcLegParamValidate Failed");
    return result;
  }
  _VQCMC_ENTITY_CTX* pLeg = nullptr;
  result = VqCmcLibLegCreate(hLib, nullptr, pParams->EntityId, 0, &pLeg);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(hLib, kOp, result, "VqCmcLibLegCreate Failed");
    return result;
  }
  /* A serialisation key of 0 stands for the id in the stored copy; the caller's record keeps its 0. */
  VqCmcEntityStoreParams(hLib, pLeg, pParams, sizeof(*pParams), true);
  return VQX_RESULT_OK;
}

VQX_RESULT VQCmcLibLegModify(VQCMC_LIB_HANDLE hLib, const _VQCMC_LIB_LEG_PARAMS* pParams) {
  static const char* kOp = "VQCmcLibLegModify";
  if (hLib == nullptr || pParams == nullptr) return VQX_RESULT_NULL_PARAM;
  CVqCmcLibLock lock(hLib);
  VQX_RESULT result = VqCmcLegParamValidate(hLib, pParams);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(hLib, kOp, result, "VqCmcLegParamValidate Failed");
    return result;
  }
  _VQCMC_ENTITY_CTX* pLeg = nullptr;
  result = VqCmcLibLegFind(hLib, pParams->EntityId, 0, &pLeg);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(hLib, kOp, result, "VqCmcLibLegFind Failed LegId=0x%08X", pParams->EntityId);
    return result;
  }
  /* Queued jobs follow the new key, so the leg's deliveries stay in one order. */
  const u32 un32Old = pLeg->Params.un32SerialisationId, un32New = pParams->un32SerialisationId;
  if (hLib->hJobPool != nullptr && un32New != 0 && un32New != un32Old) {
    result = VqCmcThreadJobReserialize(hLib, un32Old, un32New);
    if (VQX_RESULT_FAILED(result)) {
      VQCMC_ERR(hLib, kOp, result, "VqCmcThreadJobReserialize Failed");
      return result;
    }
  }
  VqCmcEntityStoreParams(hLib, pLeg, pParams, sizeof(*pParams), false);
  return VQX_RESULT_OK;
}

VQX_RESULT VQCmcLibLegFind(VQCMC_LIB_HANDLE hLib, u32 un32LegId, _VQCMC_LIB_LEG_PARAMS* pParams) {
  if (hLib == nullptr) return VQX_RESULT_NULL_PARAM;
  CVqCmcLibLock lock(hLib);
  _VQCMC_ENTITY_CTX* pLeg = nullptr;
  const VQX_RESULT result = VqCmcLibLegFind(hLib, un32LegId, 0, &pLeg);
  if (VQX_RESULT_SUCCEEDED(result) && pParams != nullptr) memcpy(pParams, &pLeg->Params, sizeof(*pParams));
  return result;
}

VQX_RESULT VQCmcLibLegGetParam(VQCMC_LIB_HANDLE hLib, u32 un32LegId, _VQCMC_LIB_LEG_PARAMS* pParams) {
  if (pParams == nullptr) return VQX_RESULT_NULL_PARAM;
  memset(pParams, 0, sizeof(*pParams));
  return VQCmcLibLegFind(hLib, un32LegId, pParams);
}
