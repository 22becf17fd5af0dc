/*
 * vqcmc_lib_mixer.cpp - conference mixers as entities of kind 2: creation
 * and lookup, the router that takes every mixer message to its mixer's
 * state (the mixer id read where the catalogue keys the message: the
 * command's context, word 7 or word 8), the re-claim of the mixers and mixer
 * links a resynchronising server still holds, and the sweeps the server
 * machine runs over all mixers. Server input is checked before it is read:
 * a sync message too short or with a broken element set is refused (logged,
 * released) before anything is created or claimed.
 * Runs with hThreadSem held: from the intake through the server's message
 * chain, or from the public calls.
 */
#include <cstring>
#include <utility>

#include "vqcmc_lib_leg_internal.h"
#include "vqcmc_lib_mixer_internal.h"
#include "vqcmc_payloads.h"

namespace {

constexpr u32 kNoId = 0;

bool IsMixer(const _VQCMC_ENTITY_CTX* p) { return p->Type == VQCMC_ENTITY_TYPE_MIXER; }

void Release(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE* phMsg) {
  if (*phMsg != nullptr) VqCmcMsgFreeHandle(pCtx, phMsg);
}

/* Where the mixer id of a message lies: the catalogue keys every mixer command and notification;
 * the mixer's private messages carry the state key as context. */
bool MixerIdOf(VQX_MSG_HANDLE hMsg, u32* pun32Id) {
  const u32 un32MsgId = hMsg->un32MsgId;
  if (un32MsgId == VQCMC_PRIV_MIXER_TIMEOUT || un32MsgId == VQCMC_PRIV_MIXER_STATE_ENTER) {
    *pun32Id = static_cast<u32>(hMsg->un64UserContext1);
    return true;
  }
  if (un32MsgId == VQCMC_SRV_NOTIF_MIXER_SYNC) return VqCmcMsgReadU32(hMsg, VQCMC_PAYLOAD_OFFSET_WORD7, pun32Id);
  const _VQCMC_CATALOGUE_ROW* pRow = VqCmcCatalogueFind(un32MsgId);
  if (pRow == nullptr || (pRow->un8Entities & VQCMC_CATALOGUE_MIXER) == 0) return false;
  switch (pRow->Key) {
    case VqCmcEntityKey::Context:
      *pun32Id = static_cast<u32>(hMsg->un64UserContext1);
      return true;
    case VqCmcEntityKey::Word7:
      return VqCmcMsgReadU32(hMsg, VQCMC_PAYLOAD_OFFSET_WORD7, pun32Id);
    case VqCmcEntityKey::Word8:
      return VqCmcMsgReadU32(hMsg, VQCMC_PAYLOAD_OFFSET_WORD8, pun32Id);
    default:
      return false;
  }
}

}  // namespace

bool VqCmcMixerSyncInputOk(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE hMsg) {
  const u32 un32Length = hMsg->un32PayloadLength;
  const u8* pPayload = VQXMsgPayload(hMsg);
  bool fOk = false;
  if (hMsg->un32MsgId == VQCMC_SRV_NOTIF_MIXER_LINK_SYNC) {
    fOk = un32Length >= sizeof(_VQCMC_SRV_NOTIF_MIXER_LINK_SYNC);
  } else if (un32Length >= sizeof(_VQCMC_SRV_NOTIF_MIXER_SYNC)) {
    /* An empty set (word 0) names nothing to read; any other is walked within the message. */
    const auto* pSync = reinterpret_cast<const _VQCMC_SRV_NOTIF_MIXER_SYNC*>(pPayload);
    const std::pair<const VQXMsgElementSet*, u32> aSets[] = {
        {&pSync->setPlayAttributes, sizeof(_VQCMC_PLAY_ATTRIBUTE)},
        {&pSync->setRecordAttributes, sizeof(_VQCMC_RECORD_ATTRIBUTE)}};
    fOk = true;
    for (const auto& [pSet, un32Min] : aSets) {
      fOk = fOk && (*pSet == 0 || (VQX_RESULT_SUCCEEDED(VqxMsgElementCheckSet(hMsg, pSet)) &&
                                   VQX_RESULT_SUCCEEDED(VqCmcCheckNestedSets(hMsg, pSet, un32Min))));
    }
  }
  if (!fOk) {
    VQCMC_ERR(pCtx, "VqCmcMixerMsgHandle", VQX_RESULT_INVALID_MESSAGE,
              "MsgId 0x%08X refused (%u bytes, bad length or set)", hMsg->un32MsgId, un32Length);
  }
  return fOk;
}

VQX_RESULT VqCmcMixerParamValidate(VQCMC_LIB_CTX* pCtx, const _VQCMC_LIB_MIXER_PARAMS* pParams) {
  _VQCMC_LIB_ENTITY_PARAMS head{};
  memcpy(&head, pParams, sizeof(*pParams));
  const VQX_RESULT result = VqCmcEntityParamValidate(pCtx, &head);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, "VqCmcMixerParamValidate", result, "VqCmcEntityParamValidate fails");
  return result;
}

VQX_RESULT VqCmcLibMixerCreate(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, u32 un32MixerId, u32 un32MappingId,
                               _VQCMC_ENTITY_CTX** ppMixer) {
  static const char* kOp = "VqCmcLibMixerCreate";
  const VQX_RESULT result = VqCmcLibEntityCreate(pCtx, &pHost, un32MixerId, un32MappingId, ppMixer);
  if (VQX_RESULT_FAILED(result)) return result;
  _VQCMC_ENTITY_CTX* pMixer = *ppMixer;
  VqCmcEntitySetKind(pCtx, pMixer, VQCMC_ENTITY_TYPE_MIXER);
  VqCmcLogTrace(pCtx, 1, VQCMC_COLOUR_GREEN, kOp, __FILE__, __LINE__,
                "Created new mixer context with MixerId 0x%08X, mappingId 0x%08X", pMixer->Params.EntityId,
                un32MappingId);
  if (VQX_RESULT_FAILED(VqCmcMixerStateChange(pCtx, pHost, pMixer, VQCMC_LIB_STATE_INIT))) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_FAIL, "VqCmcMixerStateChange Failed");
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcLibMixerFind(VQCMC_LIB_CTX* pCtx, u32 un32MixerId, u32 un32MappingId, _VQCMC_ENTITY_CTX** ppMixer) {
  const VQX_RESULT result = VqCmcLibEntityFind(pCtx, un32MixerId, un32MappingId, ppMixer);
  if (VQX_RESULT_FAILED(result) || !IsMixer(*ppMixer)) {
    *ppMixer = nullptr;
    return VQX_RESULT_INVALID_PARAM;
  }
  return result;
}

VQX_RESULT VqCmcLibMixerFindByMapId(VQCMC_LIB_CTX* pCtx, u32 un32MappingId, _VQCMC_ENTITY_CTX** ppEntity) {
  return VqCmcLibEntityFindByMapId(pCtx, un32MappingId, ppEntity);
}

VQX_RESULT VqCmcLibMixerDestroy(VQCMC_LIB_CTX* pCtx, u32 un32MixerId) {
  return VqCmcLibEntityDestroy(pCtx, un32MixerId);
}

VQX_RESULT VqCmcMixerMsgHandle(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  static const char* kOp = "VqCmcMixerMsgHandle";
  const u32 un32MsgId = (*phMsg)->un32MsgId;
  if (un32MsgId == VQCMC_SRV_NOTIF_MIXER_LINK_SYNC) {
    if (VqCmcMixerSyncInputOk(pCtx, *phMsg)) {
      const auto* pSync = reinterpret_cast<const _VQCMC_SRV_NOTIF_MIXER_LINK_SYNC*>(VQXMsgPayload(*phMsg));
      VQCMC_TRACE(pCtx, 0, kOp, "MIXER SYNC MixerId=0x%08X AND EntityId=0x%08X", pSync->un32MixerId,
                  pSync->un32EntityId);
      VqCmcLinkMsgHandleNotifMixerLinkSync(pCtx, pHost, phMsg);
    }
    Release(pCtx, phMsg);
    return VQX_RESULT_OK;
  }
  if (un32MsgId == VQCMC_SRV_NOTIF_MIXER_SYNC) {
    if (!VqCmcMixerSyncInputOk(pCtx, *phMsg)) {
      Release(pCtx, phMsg);
      return VQX_RESULT_OK;
    }
    const VQX_RESULT result = VqCmcMixerMsgHandleNotifMixerSync(pCtx, pHost, phMsg);
    if (VQX_RESULT_FAILED(result))
      VQCMC_ERR(pCtx, kOp, result, "NOTIF_MIXER_SYNC: VqCmcMixerMsgHandleNotifMixerSync Failed");
  }
  u32 un32MixerId = kNoId;
  if (!MixerIdOf(*phMsg, &un32MixerId) || un32MixerId == kNoId) return VQX_RESULT_OK;
  _VQCMC_ENTITY_CTX* pMixer = nullptr;
  if (VQX_RESULT_FAILED(VqCmcLibMixerFind(pCtx, un32MixerId, 0, &pMixer))) {
    if (un32MsgId == VQCMC_MSG_NOTIF_MIXER_TERMINATED && pCtx->Params.Callback.pFctCallback != nullptr) {
      VqCmcThreadJobPost(pCtx, nullptr, 0, VQCMC_LIB_JOB_KEY, phMsg);
      return VQX_RESULT_OK;
    }
    if (un32MsgId != VQCMC_MSG_NOTIF_MIXER_TERMINATED) {
      VQCMC_TRACE_RED(pCtx, 3, kOp, "VqCmcLibMixerFind Failed (MixerId=0x%08X msg=0x%08x)", un32MixerId, un32MsgId);
    }
    Release(pCtx, phMsg);
    return VQX_RESULT_OK;
  }
  if (pMixer->pFctStateHandler != nullptr) pMixer->pFctStateHandler(pCtx, pHost, pMixer, phMsg);
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcMixerMsgHandleNotifMixerSync(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  auto* pSync = reinterpret_cast<_VQCMC_SRV_NOTIF_MIXER_SYNC*>(VQXMsgPayload(*phMsg));
  _VQCMC_ENTITY_CTX* pMixer = nullptr;
  const VQX_RESULT result = VqCmcLibMixerCreate(pCtx, pHost, pSync->Head.un32Word7, pSync->Head.un32MappingId, &pMixer);
  if (pMixer == nullptr) return result;
  /* The id (or mapping id) of a leg: no claim, nothing moved; the routing then finds no mixer. */
  if (!IsMixer(pMixer)) return VQX_RESULT_INVALID_PARAM;
  if (pSync->Head.un32Word7 == kNoId) pSync->Head.un32Word7 = pMixer->Params.EntityId;
  VqCmcHostSendSetMixerOwnership(pCtx, pHost, pMixer);
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcLinkMsgHandleNotifMixerLinkSync(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  static const char* kOp = "VqCmcLinkMsgHandleNotifMixerLinkSync";
  _VQCMC_SRV_NOTIF_MIXER_LINK_SYNC sync;
  memcpy(&sync, VQXMsgPayload(*phMsg), sizeof(sync));
  _VQCMC_ENTITY_CTX *pMixer = nullptr, *pEntity = nullptr;
  if (VQX_RESULT_FAILED(VqCmcLibMixerFindByMapId(pCtx, sync.un32MixerMappingId, &pMixer))) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_NOT_FOUND, "VqCmcLibMixerFindByMapId Failed (MixerMapId=0x%08X)",
              sync.un32MixerMappingId);
  }
  if (VQX_RESULT_FAILED(VqCmcLibEntityFindByMapId(pCtx, sync.un32EntityMappingId, &pEntity))) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_NOT_FOUND, "VqCmcLibEntityFindByMapId Failed (EntityMapId=0x%08X)",
              sync.un32EntityMappingId);
  }
  if (pMixer == nullptr || pEntity == nullptr) return VQX_RESULT_OK;
  /* The joined entity's jobs run under the mixer's key from now on; those already queued under its
   * old key move too, or they would run beside the new ones. */
  const u32 un32OldKey = pEntity->Params.un32SerialisationId;
  pEntity->Params.un32SerialisationId = pMixer->Params.un32SerialisationId;
  if (un32OldKey != pEntity->Params.un32SerialisationId) {
    VqCmcThreadJobReserialize(pCtx, un32OldKey, pEntity->Params.un32SerialisationId);
  }
  const bool fLeg = pEntity->Type == VQCMC_ENTITY_TYPE_LEG;
  const u8* pbyLegJoin = reinterpret_cast<const u8*>(&sync.MixerLegJoin);
  const u8* pbyMixerJoin = reinterpret_cast<const u8*>(&sync.MixerMixerJoin);
  VqCmcLinkMsgPostNotifMixerLinkSync(pCtx, fLeg ? pbyLegJoin : nullptr, IsMixer(pEntity) ? pbyMixerJoin : nullptr,
                                     pMixer, pEntity);
  VqCmcHostSendSetMixerLinkOwnership(pCtx, pHost, pMixer->Params.EntityId, pEntity->Params.EntityId);
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcMixerUnSyncAll(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  for (void* p = VQXPoolOfBuffersFirst(pCtx->hEntityPool); p != nullptr;
       p = VQXPoolOfBuffersNext(pCtx->hEntityPool, p)) {
    _VQCMC_ENTITY_CTX* pMixer = static_cast<_VQCMC_ENTITY_CTX*>(p);
    if (!IsMixer(pMixer) || pMixer->pHostCtx != pHost) continue;
    VQCMC_TRACE(pCtx, 1, "VqCmcMixerUnSyncAll", "MixerId 0x%08X VQCMC_LIB_STATE_CMIXER_UNSYNCED",
                pMixer->Params.EntityId);
    if (VQX_RESULT_FAILED(VqCmcMixerStateChange(pCtx, pHost, pMixer, VQCMC_LIB_STATE_CMIXER_UNSYNCED))) {
      VQCMC_ERR(pCtx, "VqCmcMixerUnSyncAll", VQX_RESULT_FAIL, "VqCmcMixerStateChange Failed");
    }
  }
  VqCmcStateHostFreePendingMsgs(pCtx, pHost);
  pHost->fRegistered = 0;
  pHost->fReady = 0;
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcMixerTerminateUnSynced(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  for (void* p = VQXPoolOfBuffersFirst(pCtx->hEntityPool); p != nullptr;
       p = VQXPoolOfBuffersNext(pCtx->hEntityPool, p)) {
    _VQCMC_ENTITY_CTX* pMixer = static_cast<_VQCMC_ENTITY_CTX*>(p);
    if (!IsMixer(pMixer) || pMixer->CurrState != VQCMC_LIB_STATE_CMIXER_UNSYNCED) continue;
    VQCMC_TRACE(pCtx, 1, "VqCmcMixerTerminateUnSynced",
                "MixerId 0x%08X flushed because VQCMC_LIB_STATE_CMIXER_UNSYNCED", pMixer->Params.EntityId);
    if (VQX_RESULT_FAILED(VqCmcMixerStateChange(pCtx, pHost != nullptr ? pHost : pMixer->pHostCtx, pMixer,
                                                VQCMC_LIB_STATE_CMIXER_TERMINATED))) {
      VQCMC_ERR(pCtx, "VqCmcMixerTerminateUnSynced", VQX_RESULT_FAIL, "VqCmcMixerStateChange Failed");
    }
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcMixerAllSyncDone(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  for (void* p = VQXPoolOfBuffersFirst(pCtx->hEntityPool); p != nullptr;
       p = VQXPoolOfBuffersNext(pCtx->hEntityPool, p)) {
    _VQCMC_ENTITY_CTX* pMixer = static_cast<_VQCMC_ENTITY_CTX*>(p);
    if (IsMixer(pMixer) && pMixer->pHostCtx == pHost && pMixer->CurrState == VQCMC_LIB_STATE_READY) {
      VqCmcMixerMsgPostNotifMixerSyncDone(pCtx, pMixer);
    }
  }
  return VQX_RESULT_OK;
}

void VqCmcMixerTerminateOwned(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  for (void* p = VQXPoolOfBuffersFirst(pCtx->hEntityPool); p != nullptr;
       p = VQXPoolOfBuffersNext(pCtx->hEntityPool, p)) {
    _VQCMC_ENTITY_CTX* pMixer = static_cast<_VQCMC_ENTITY_CTX*>(p);
    if (!IsMixer(pMixer) || pMixer->pHostCtx != pHost || pMixer->CurrState == VQCMC_LIB_STATE_CMIXER_TERMINATED)
      continue;
    VQCMC_TRACE(pCtx, 4, "VqCmcHostState", "HostDead: Terminating mixer 0x%08X state=%u", pMixer->Params.EntityId,
                pMixer->CurrState);
    VqCmcMixerStateChange(pCtx, pHost, pMixer, VQCMC_LIB_STATE_CMIXER_TERMINATED);
  }
}
