/*
 * vqcmc_lib_mixer_api.cpp - the public calls that create, modify, find and
 * read back mixers. The library keeps a byte copy of the caller's record in
 * the mixer. Each call holds hThreadSem throughout (recursive: callbacks may
 * call in) and logs its failure once under its own name; a failing call
 * changes nothing.
 */
#include <cstring>

#include "vqcmc_lib_mixer_internal.h"

namespace {

VQX_RESULT Find(VQCMC_LIB_CTX* pCtx, u32 un32MixerId, _VQCMC_LIB_MIXER_PARAMS* pParams) {
  _VQCMC_ENTITY_CTX* pMixer = nullptr;
  const VQX_RESULT result = VqCmcLibMixerFind(pCtx, un32MixerId, 0, &pMixer);
  if (VQX_RESULT_SUCCEEDED(result) && pParams != nullptr) memcpy(pParams, &pMixer->Params, sizeof(*pParams));
  return result;
}

}  // namespace

VQX_RESULT VQCmcLibMixerCreate(VQCMC_LIB_HANDLE hLib, _VQCMC_LIB_MIXER_PARAMS* pParams) {
  static const char* kOp = "VQCmcLibMixerCreate";
  if (hLib == nullptr || pParams == nullptr) return VQX_RESULT_NULL_PARAM;
  CVqCmcLibLock lock(hLib);
  if (pParams->EntityId == 0 && VQX_RESULT_FAILED(VqCmcLibGenerateNewEntityId(hLib, &pParams->EntityId))) {
    VQCMC_RED(hLib, kOp, "VqCmcLibGenerateNewEntityId Failed");
  }
  VQX_RESULT result = VqCmcMixerParamValidate(hLib, pParams);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(hLib, kOp, result, "VqCmcMixerParamValidate Failed");
    return result;
  }
  _VQCMC_ENTITY_CTX* pMixer = nullptr;
  result = VqCmcLibMixerCreate(hLib, nullptr, pParams->EntityId, 0, &pMixer);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(hLib, kOp, result, "VqCmcLibMixerCreate Failed");
    return result;
  }
  /* A serialisation key of 0 stands for the id in the stored copy; the caller's record keeps its 0. */
  VqCmcEntityStoreParams(hLib, pMixer, pParams, sizeof(*pParams), true);
  return VQX_RESULT_OK;
}

VQX_RESULT VQCmcLibMixerModify(VQCMC_LIB_HANDLE hLib, const _VQCMC_LIB_MIXER_PARAMS* pParams) {
  static const char* kOp = "VQCmcLibMixerModify";
  if (hLib == nullptr || pParams == nullptr) return VQX_RESULT_NULL_PARAM;
  CVqCmcLibLock lock(hLib);
  VQX_RESULT result = VqCmcMixerParamValidate(hLib, pParams);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(hLib, kOp, result, "VqCmcMixerParamValidate Failed");
    return result;
  }
  _VQCMC_ENTITY_CTX* pMixer = nullptr;
  result = VqCmcLibMixerFind(hLib, pParams->EntityId, 0, &pMixer);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(hLib, kOp, result, "VqCmcLibMixerFind Failed MixerId=0x%08X", pParams->EntityId);
    return result;
  }
  const u32 un32Old = pMixer->Params.un32SerialisationId, un32New = pParams->un32SerialisationId;
  if (hLib->hJobPool != nullptr && un32New != 0 && un32New != un32Old) {
    result = VqCmcThreadJobReserialize(hLib, un32Old, un32New);
    if (VQX_RESULT_FAILED(result)) {
      VQCMC_ERR(hLib, kOp, result, "VqCmcThreadJobReserialize Failed");
      return result;
    }
  }
  VqCmcEntityStoreParams(hLib, pMixer, pParams, sizeof(*pParams), false);
  return VQX_RESULT_OK;
}

VQX_RESULT VQCmcLibMixerFind(VQCMC_LIB_HANDLE hLib, u32 un32MixerId, _VQCMC_LIB_MIXER_PARAMS* pParams) {
  if (hLib == nullptr) return VQX_RESULT_NULL_PARAM;
  CVqCmcLibLock lock(hLib);
  return Find(hLib, un32MixerId, pParams);
}

VQX_RESULT VQCmcLibMixerGetParam(VQCMC_LIB_HANDLE hLib, u32 un32MixerId, _VQCMC_LIB_MIXER_PARAMS* pParams) {
  if (hLib == nullptr || pParams == nullptr) return VQX_RESULT_NULL_PARAM;
  memset(pParams, 0, sizeof(*pParams));
  CVqCmcLibLock lock(hLib);
  return Find(hLib, un32MixerId, pParams);
}
