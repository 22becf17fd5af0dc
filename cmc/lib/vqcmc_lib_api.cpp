/*
 * vqcmc_lib_api.cpp - the public calls on existing legs and mixers: commands
 * to the entity's server, entity events and their cancel, destroy, and the
 * leg-id and link-id reservations. Legs and mixers are twins that differ in
 * their texts only, kept in one row each. Every call takes hThreadSem (it is
 * recursive, so the application's callbacks may call in) and logs its
 * failure once.
 */
#include "vqcmc_lib_leg_internal.h"
#include "vqcmc_lib_mixer_internal.h"

namespace {

using CLibLock = CVqCmcLibLock;

struct Kind {
  u32 un32Type;
  u32 un32Terminated; /* the state the library ends an entity of the kind in: no server knows it any more */
  /* The kind's find: 0x8200000A and null for an id of another kind or none. */
  VQX_RESULT (*pFctFind)(VQCMC_LIB_CTX*, u32, u32, _VQCMC_ENTITY_CTX**);
  const char* pszFindFailed;   /* "%s Failed %s=0x%08X" */
  const char* pszIdName;
  const char* pszIgnoring;     /* the event of an entity whose terminal notice is posted */
  const char* pszSentNotReady; /* a command to a server still registering */
};
const Kind kLeg = {VQCMC_ENTITY_TYPE_LEG, VQCMC_LIB_STATE_CLEG_TERMINATED, VqCmcLibLegFind, "VqCmcLibLegFind", "LegId",
                   "Ignoring Leg Event for LegId=0x%08X, which 'terminate' has already been posted for.",
                   "Message 0x%08x sent when host not Ready"};
const Kind kMixer = {VQCMC_ENTITY_TYPE_MIXER, VQCMC_LIB_STATE_CMIXER_TERMINATED, VqCmcLibMixerFind, "VqCmcLibMixerFind", "MixerId",
                     "Ignoring Mixer Event for MixerId=0x%08X, which 'terminate' has already been posted for.",
                     "Message sent when host not Ready"};

VQX_RESULT FindKind(VQCMC_LIB_CTX* pCtx, const Kind& kind, u32 un32Id, _VQCMC_ENTITY_CTX** ppEntity) {
  return kind.pFctFind(pCtx, un32Id, 0, ppEntity);
}

VQX_RESULT MsgProcess(VQCMC_LIB_CTX* pCtx, const Kind& kind, const char* pszOp, u32 un32Id, u32 un32Tag,
                      VQX_MSG_HANDLE* phMsg) {
  VQX_MSG_HANDLE hMsg = *phMsg;
  *phMsg = nullptr;
  CLibLock lock(pCtx);
  _VQCMC_ENTITY_CTX* pEntity = nullptr;
  VQX_RESULT result = VQX_RESULT_OK;
  if (pCtx->fStopped) {
    /* No intake runs any more to hand the queue over: the command would go nowhere. */
    result = VQX_RESULT_NOT_INITIALIZED;
    VQCMC_ERR(pCtx, pszOp, result, "Library stopped");
  } else if (result = FindKind(pCtx, kind, un32Id, &pEntity); VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, pszOp, result, "%s Failed %s=0x%08X", kind.pszFindFailed, kind.pszIdName, un32Id);
  } else if (pEntity->CurrState == kind.un32Terminated) {
    /* Ended by the library (its server gone, or a new one that did not claim it): no answer would reach it. */
    result = VQX_RESULT_INVALID_STATE;
    VQCMC_ERR(pCtx, pszOp, result, "%s=0x%08X terminated by the library", kind.pszIdName, un32Id);
  } else if (_VQCMC_HOST_CTX* pHost = pEntity->pHostCtx; pHost == nullptr ||
             (!pHost->fReady && pHost->CurrState != VQCMC_LIB_STATE_INIT)) {
    result = VQX_RESULT_API_ADA_NOT_READY;
    VQCMC_ERR(pCtx, pszOp, result, "Host Not Ready");
  } else {
    const u32 un32MsgId = hMsg->un32MsgId;
    const bool fQuiet = kind.un32Type == VQCMC_ENTITY_TYPE_LEG &&
                        (un32MsgId == VQCMC_MSG_CMD_CALL_LEG_TERMINATE || un32MsgId == VQCMC_MSG_CMD_UNJOIN);
    if (!pHost->fReady && !fQuiet) VQCMC_TRACE(pCtx, 3, pszOp, kind.pszSentNotReady, un32MsgId);
    hMsg->hAdapter = pHost->HostInfo.hAdapter;
    hMsg->un64UserContext1 = (static_cast<u64>(un32Tag) << 32) | pEntity->Params.EntityId;
    result = VqCmcSendMsg(pCtx, hMsg);  /* the queue owns the message either way */
    if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, pszOp, result, "VqCmcSendMsg Failed");
    return result;
  }
  if (hMsg != nullptr) VqCmcMsgFreeHandle(pCtx, &hMsg);
  return result;
}

VQX_RESULT Event(VQCMC_LIB_CTX* pCtx, const Kind& kind, const char* pszOp, u32 un32Id, u64 un64Key, u32 un32DelayMs,
                 bool fCancel) {
  CLibLock lock(pCtx);
  _VQCMC_ENTITY_CTX* pEntity = nullptr;
  VQX_RESULT result = FindKind(pCtx, kind, un32Id, &pEntity);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, pszOp, result, "%s Failed %s=0x%08X does not exist", kind.pszFindFailed, kind.pszIdName, un32Id);
    return result;
  }
  if (fCancel) {
    result = VqCmcLibEntityEventCancel(pCtx, pEntity, un64Key);
    if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, pszOp, result, "VqCmcLibEntityEventCancel Failed");
    return result;
  }
  if ((pEntity->un8Flags & VQCMC_ENTITY_FLAG_TERMINATE_POSTED) != 0) {
    VQCMC_TRACE(pCtx, 4, pszOp, kind.pszIgnoring, un32Id);
    return VQX_RESULT_INVALID_STATE;
  }
  result = VqCmcLibEntityEvent(pCtx, pEntity, un64Key, un32DelayMs);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, pszOp, result, "VqCmcLibEntityEvent Failed");
  return result;
}

VQX_RESULT EntityEvent(VQCMC_LIB_CTX* pCtx, const char* pszOp, u32 un32Id, u64 un64Key, u32 un32DelayMs, bool fCancel) {
  CLibLock lock(pCtx);
  _VQCMC_ENTITY_CTX* pEntity = nullptr;
  VQX_RESULT result = VqCmcLibEntityFind(pCtx, un32Id, 0, &pEntity);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, pszOp, result, "VqCmcLibEntityFind Failed EntityId=0x%08X does not exist", un32Id);
    return result;
  }
  if (pEntity->Type == VQCMC_ENTITY_TYPE_LEG || pEntity->Type == VQCMC_ENTITY_TYPE_MIXER) {
    const bool fLeg = pEntity->Type == VQCMC_ENTITY_TYPE_LEG;
    result = Event(pCtx, fLeg ? kLeg : kMixer, fLeg ? (fCancel ? "VQCmcLibLegEventCancel" : "VQCmcLibLegEvent")
                                                    : (fCancel ? "VQCmcLibMixerEventCancel" : "VQCmcLibMixerEvent"),
                   un32Id, un64Key, un32DelayMs, fCancel);
  } else {
    result = VQX_RESULT_INVALID_STATE;
  }
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, pszOp, result, "%s Failed", pszOp);
  return result;
}

VQX_RESULT Destroy(VQCMC_LIB_CTX* pCtx, const Kind& kind, const char* pszOp, u32 un32Id) {
  CLibLock lock(pCtx);
  _VQCMC_ENTITY_CTX* pEntity = nullptr;
  VQX_RESULT result = FindKind(pCtx, kind, un32Id, &pEntity);
  if (VQX_RESULT_SUCCEEDED(result)) result = VqCmcLibEntityDestroy(pCtx, un32Id);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, pszOp, result, "%s Failed %s=0x%08X", kind.pszFindFailed, kind.pszIdName, un32Id);
  }
  return result;
}

}  // namespace

VQX_RESULT VQCmcLibLegMsgProcess(VQCMC_LIB_HANDLE hLib, u32 un32LegId, u32 un32Tag, VQX_MSG_HANDLE* phMsg) {
  if (hLib == nullptr || phMsg == nullptr || *phMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  return MsgProcess(hLib, kLeg, "VQCmcLibLegMsgProcess", un32LegId, un32Tag, phMsg);
}

VQX_RESULT VQCmcLibMixerMsgProcess(VQCMC_LIB_HANDLE hLib, u32 un32MixerId, u32 un32Tag, VQX_MSG_HANDLE* phMsg) {
  if (hLib == nullptr || phMsg == nullptr || *phMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  return MsgProcess(hLib, kMixer, "VQCmcLibMixerMsgProcess", un32MixerId, un32Tag, phMsg);
}

VQX_RESULT VQCmcLibLegEvent(VQCMC_LIB_HANDLE hLib, u32 un32LegId, u64 un64EventKey, u32 un32DelayMs) {
  if (hLib == nullptr) return VQX_RESULT_NULL_PARAM;
  return Event(hLib, kLeg, "VQCmcLibLegEvent", un32LegId, un64EventKey, un32DelayMs, false);
}

VQX_RESULT VQCmcLibMixerEvent(VQCMC_LIB_HANDLE hLib, u32 un32MixerId, u64 un64EventKey, u32 un32DelayMs) {
  if (hLib == nullptr) return VQX_RESULT_NULL_PARAM;
  return Event(hLib, kMixer, "VQCmcLibMixerEvent", un32MixerId, un64EventKey, un32DelayMs, false);
}

VQX_RESULT VQCmcLibLegEventCancel(VQCMC_LIB_HANDLE hLib, u32 un32LegId, u64 un64EventKey) {
  if (hLib == nullptr) return VQX_RESULT_NULL_PARAM;
  return Event(hLib, kLeg, "VQCmcLibLegEventCancel", un32LegId, un64EventKey, 0, true);
}

VQX_RESULT VQCmcLibMixerEventCancel(VQCMC_LIB_HANDLE hLib, u32 un32MixerId, u64 un64EventKey) {
  if (hLib == nullptr) return VQX_RESULT_NULL_PARAM;
  return Event(hLib, kMixer, "VQCmcLibMixerEventCancel", un32MixerId, un64EventKey, 0, true);
}

VQX_RESULT VQCmcLibEntityEvent(VQCMC_LIB_HANDLE hLib, u32 un32EntityId, u64 un64EventKey, u32 un32DelayMs) {
  if (hLib == nullptr) return VQX_RESULT_NULL_PARAM;
  return EntityEvent(hLib, "VQCmcLibEntityEvent", un32EntityId, un64EventKey, un32DelayMs, false);
}

VQX_RESULT VQCmcLibEntityEventCancel(VQCMC_LIB_HANDLE hLib, u32 un32EntityId, u64 un64EventKey) {
  if (hLib == nullptr) return VQX_RESULT_NULL_PARAM;
  return EntityEvent(hLib, "VQCmcLibEntityEventCancel", un32EntityId, un64EventKey, 0, true);
}

VQX_RESULT VQCmcLibLegDestroy(VQCMC_LIB_HANDLE hLib, u32 un32LegId) {
  if (hLib == nullptr) return VQX_RESULT_NULL_PARAM;
  return Destroy(hLib, kLeg, "VQCmcLibLegDestroy", un32LegId);
}

VQX_RESULT VQCmcLibMixerDestroy(VQCMC_LIB_HANDLE hLib, u32 un32MixerId) {
  if (hLib == nullptr) return VQX_RESULT_NULL_PARAM;
  return Destroy(hLib, kMixer, "VQCmcLibMixerDestroy", un32MixerId);
}

u32 VQCmcLibLegIdCreate(VQCMC_LIB_HANDLE hLib) {
  if (hLib == nullptr) return 0;
  CLibLock lock(hLib);
  u32 un32Id = 0;
  return VQX_RESULT_SUCCEEDED(VqCmcLibGenerateNewEntityId(hLib, &un32Id)) ? un32Id : 0;
}

u32 VQCmcLibLinkIdCreate(VQCMC_LIB_HANDLE hLib) {
  if (hLib == nullptr) return 0;
  CLibLock lock(hLib);
  u32 un32Id = 0;
  VqCmcLibLegGenerateNewLinkid(hLib, &un32Id);
  return un32Id;
}
