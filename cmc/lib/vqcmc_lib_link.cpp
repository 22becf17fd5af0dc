/*
 * vqcmc_lib_link.cpp - links: the library keeps no link records, it hands
 * out link ids and re-claims the links a resynchronising server still holds
 * (NotifLinkSync): the two legs, found by their mapping ids, are serialised
 * together from then on, the server is told the library owns the link, and
 * the application gets VQCMC_LIB_MSG_NOTIF_LINK_SYNC on its default callback.
 * Runs with hThreadSem held.
 */
#include <cstring>

#include "vqcmc_lib_internal.h"
#include "vqcmc_payloads.h"

namespace {

constexpr u32 kLowIdsEnd = 0x100000u;      /* ids below it restart a counter near its top */
constexpr u32 kCounterNearTop = 0xFF000000u;

}  // namespace

VQX_RESULT VqCmcLibLegGenerateNewLinkid(VQCMC_LIB_CTX* pCtx, u32* pun32LinkId) {
  u32& un32Counter = pCtx->un32NextLinkId;
  const u32 un32Given = *pun32LinkId;
  if (un32Given == 0) {
    if (++un32Counter == 0) un32Counter = 1;
    *pun32LinkId = un32Counter;
  } else if (un32Given < kLowIdsEnd && un32Counter > kCounterNearTop) {
    un32Counter = un32Given;
  } else if (un32Given > un32Counter) {
    un32Counter = un32Given;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcLinkMsgPostNotifLinkSync(VQCMC_LIB_CTX* pCtx, const _VQCMC_JOIN_ATTRIBUTE* pJoin,
                                         const _VQCMC_ENTITY_CTX* pSrc, const _VQCMC_ENTITY_CTX* pDst) {
  static const char* kOp = "VqCmcLinkMsgPostNotifLinkSync";
  u8* pPayload = nullptr;
  VQX_RESULT result = VqCmcMsgPublicAlloc(pCtx, VQCMC_LIB_MSG_NOTIF_LINK_SYNC, &pPayload);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kOp, result, "VqCmcMsgPublicAlloc Failed");
    return result;
  }
  auto* pNotif = reinterpret_cast<_VQCMC_NOTIF_LINK_SYNC*>(pPayload);
  pNotif->Head.un32LibBuilt = 1;
  pNotif->un32SrcLegId = pSrc->Params.EntityId;
  pNotif->un32DstLegId = pDst->Params.EntityId;
  memcpy(&pNotif->JoinAttribute, pJoin, sizeof(pNotif->JoinAttribute));
  result = VqCmcLibMsgPost(pCtx, &pPayload);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, kOp, result, "VqCmcLigMsgPost Failed");
  return result;
}

VQX_RESULT VqCmcLinkMsgHandleNotifLinkSync(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  static const char* kOp = "VqCmcLinkMsgHandleNotifLinkSync";
  if ((*phMsg)->un32PayloadLength < sizeof(_VQCMC_SRV_NOTIF_LINK_SYNC)) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_INVALID_MESSAGE, "Short NotifLinkSync refused (%u bytes)", (*phMsg)->un32PayloadLength);
    return VQX_RESULT_OK;
  }
  _VQCMC_SRV_NOTIF_LINK_SYNC sync;
  memcpy(&sync, VQXMsgPayload(*phMsg), sizeof(sync));
  _VQCMC_ENTITY_CTX *pSrc = nullptr, *pDst = nullptr;
  if (VQX_RESULT_FAILED(VqCmcLibEntityFindByMapId(pCtx, sync.un32SrcMappingId, &pSrc))) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_NOT_FOUND, "VqCmcLibLegFindByMapId Failed (SrcMapId=0x%08X)", sync.un32SrcMappingId);
  }
  if (VQX_RESULT_FAILED(VqCmcLibEntityFindByMapId(pCtx, sync.un32DstMappingId, &pDst))) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_NOT_FOUND, "VqCmcLibLegFindByMapId Failed (DstMapId=0x%08X)", sync.un32DstMappingId);
  }
  if (pSrc == nullptr || pDst == nullptr) return VQX_RESULT_OK;
  /* Both legs' jobs run under one key from now on; jobs already queued under the
   * destination's old key move too, or they would run beside the new ones. */
  const u32 un32OldKey = pDst->Params.un32SerialisationId;
  pDst->Params.un32SerialisationId = pSrc->Params.un32SerialisationId;
  if (un32OldKey != pDst->Params.un32SerialisationId) {
    VqCmcThreadJobReserialize(pCtx, un32OldKey, pDst->Params.un32SerialisationId);
  }
  VqCmcHostSendSetLinkOwnership(pCtx, pHost, pSrc->Params.EntityId, pDst->Params.EntityId);
  VqCmcLinkMsgPostNotifLinkSync(pCtx, &sync.JoinAttribute, pSrc, pDst);
  return VQX_RESULT_OK;
}
