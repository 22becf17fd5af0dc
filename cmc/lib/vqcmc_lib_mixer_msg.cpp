/*
 * vqcmc_lib_mixer_msg.cpp - what the application hears about a mixer: the
 * server's messages as jobs of the mixer, and the library's notifications.
 * TERMINATED, SYNC_DONE and SYNC_LOST go to the mixer's own callback under
 * its serialisation id (SYNC_DONE and SYNC_LOST no more once its terminal
 * notice is posted); MIXER_SYNC and MIXER_LINK_SYNC go to the default
 * callback, since the application may not have an object for the mixer yet.
 * MIXER_SYNC deep-copies the description and the play and record sets of a
 * NotifMixerSync that the router has checked. Runs with hThreadSem held.
 */
#include <cstring>

#include "vqcmc_lib_leg_internal.h"
#include "vqcmc_lib_mixer_internal.h"
#include "vqcmc_lib_util.h"
#include "vqcmc_payloads.h"

namespace {

VQX_RESULT PostEntityNotif(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pMixer, u32 un32Id, const char* pszOp) {
  if (un32Id != VQCMC_LIB_MSG_NOTIF_MIXER_TERMINATED && (pMixer->un8Flags & VQCMC_ENTITY_FLAG_TERMINATE_POSTED) != 0) {
    return VQX_RESULT_OK;
  }
  u8* pPayload = nullptr;
  VQX_RESULT result = VqCmcMsgPublicAlloc(pCtx, un32Id, &pPayload);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, pszOp, result, "VqCmcMsgPublicAlloc Failed");
    return result;
  }
  auto* pNotif = reinterpret_cast<_VQCMC_NOTIF_ENTITY*>(pPayload);
  pNotif->Head.un32LibBuilt = VQCMC_PAYLOAD_LIB_BUILT_MARK;
  pNotif->un32EntityId = pMixer->Params.EntityId;
  result = VqCmcMixerMsgPost(pCtx, pMixer, pMixer->Params.un32SerialisationId, &pPayload);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, pszOp, result, "VqCmcMixerMsgPost Failed");
  return result;
}

}  // namespace

VQX_RESULT VqCmcMixerMsgHandlePost(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pMixer, VQX_MSG_HANDLE* phMsg) {
  const VQX_RESULT result = VqCmcThreadJobPost(pCtx, pMixer, 0, pMixer->Params.un32SerialisationId, phMsg);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, "VqCmcMixerMsgHandlePost", result, "VqCmcThreadJobPost Failed");
  return result;
}

VQX_RESULT VqCmcMixerMsgPost(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pMixer, u32 un32SerialisationId, u8** ppPayload) {
  VQX_MSG_HANDLE hMsg = VqCmcMsgFromPayload(pCtx, *ppPayload);
  *ppPayload = nullptr;
  const VQX_RESULT result = VqCmcThreadJobPost(pCtx, pMixer, 0, un32SerialisationId, &hMsg);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, "VqCmcMixerMsgPost", result, "VqCmcThreadJobPost Failed");
  return result;
}

VQX_RESULT VqCmcMixerMsgPostNotifMixerSync(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pMixer, VQX_MSG_HANDLE hSync) {
  static const char* kOp = "VqCmcMixerMsgPostNotifMixerSync";
  const auto* pSrc = reinterpret_cast<const _VQCMC_SRV_NOTIF_MIXER_SYNC*>(VQXMsgPayload(hSync));
  u8* pPayload = nullptr;
  VQX_RESULT result = VqCmcMsgPublicAlloc(pCtx, VQCMC_LIB_MSG_NOTIF_MIXER_SYNC, &pPayload);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kOp, result, "VqCmcMsgPublicAlloc Failed");
    return result;
  }
  VQX_MSG_HANDLE hNotif = VqCmcMsgFromPayload(pCtx, pPayload);
  auto* pNotif = reinterpret_cast<_VQCMC_NOTIF_MIXER_SYNC*>(pPayload);
  memcpy(&pNotif->Head.un32MappingId, &pSrc->Head.un32MappingId, 16);
  pNotif->Head.un32LibBuilt = VQCMC_PAYLOAD_LIB_BUILT_MARK;
  pNotif->Head.un32Word7 = pMixer->Params.EntityId;
  result = VQCmcLibMsgCopyMixer(pCtx, &pSrc->Mixer, hNotif, &pNotif->Mixer, hSync);
  const char* pszFailed = "VQCmcLibMsgCopyMixer Failed";
  if (VQX_RESULT_SUCCEEDED(result)) {
    result = VqCmcCopySyncSets(pCtx, hSync, &pSrc->setPlayAttributes, &pSrc->setRecordAttributes, hNotif,
                               &pNotif->setPlayAttributes, &pNotif->setRecordAttributes, &pszFailed);
  }
  if (VQX_RESULT_FAILED(result)) {
    /* Half built: nothing refers to it, so it goes back now. */
    VQCMC_ERR(pCtx, kOp, result, "%s", pszFailed);
    VqCmcMsgFreeHandle(pCtx, &hNotif);
    return result;
  }
  result = VqCmcLibMsgPost(pCtx, &pPayload);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, kOp, result, "VqCmcLibMsgPost Failed");
  return result;
}

VQX_RESULT VqCmcMixerMsgPostNotifMixerTerm(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pMixer) {
  return PostEntityNotif(pCtx, pMixer, VQCMC_LIB_MSG_NOTIF_MIXER_TERMINATED, "VqCmcMixerMsgPostNotifMixerTerm");
}

VQX_RESULT VqCmcMixerMsgPostNotifMixerSyncDone(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pMixer) {
  return PostEntityNotif(pCtx, pMixer, VQCMC_LIB_MSG_NOTIF_MIXER_SYNC_DONE, "VqCmcMixerMsgPostNotifMixerSyncDone");
}

VQX_RESULT VqCmcMixerMsgPostNotifMixerSyncLost(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pMixer) {
  return PostEntityNotif(pCtx, pMixer, VQCMC_LIB_MSG_NOTIF_MIXER_SYNC_LOST, "VqCmcMixerMsgPostNotifMixerSyncLost");
}

VQX_RESULT VqCmcLinkMsgPostNotifMixerLinkSync(VQCMC_LIB_CTX* pCtx, const u8* pMixerLegJoin, const u8* pMixerMixerJoin,
                                              const _VQCMC_ENTITY_CTX* pMixer, const _VQCMC_ENTITY_CTX* pEntity) {
  static const char* kOp = "VqCmcLinkMsgPostNotifMixerLinkSync";
  u8* pPayload = nullptr;
  VQX_RESULT result = VqCmcMsgPublicAlloc(pCtx, VQCMC_LIB_MSG_NOTIF_MIXER_LINK_SYNC, &pPayload);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kOp, result, "VqCmcMsgPublicAlloc Failed");
    return result;
  }
  auto* pNotif = reinterpret_cast<_VQCMC_NOTIF_MIXER_LINK_SYNC*>(pPayload);
  pNotif->Head.un32LibBuilt = VQCMC_PAYLOAD_LIB_BUILT_MARK;
  pNotif->un32MixerId = pMixer->Params.EntityId;
  pNotif->un32EntityId = pEntity->Params.EntityId;
  if (pMixerLegJoin != nullptr) memcpy(&pNotif->MixerLegJoin, pMixerLegJoin, VQCMC_JOIN_ATTRIBUTE_SIZE);
  if (pMixerMixerJoin != nullptr) memcpy(&pNotif->MixerMixerJoin, pMixerMixerJoin, VQCMC_JOIN_ATTRIBUTE_SIZE);
  result = VqCmcLibMsgPost(pCtx, &pPayload);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, kOp, result, "VqCmcLigMsgPost Failed");
  return result;
}
