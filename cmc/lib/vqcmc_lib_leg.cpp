/*
 * vqcmc_lib_leg.cpp - call legs: creation (by the application, by a server's
 * call offer, by a resynchronising server), the router that takes every leg
 * message to its leg's state, the library's notifications about a leg, and
 * the sweeps the server machine runs over all legs of a server.
 *
 * Server input is read against the used payload only: a leg id beyond it
 * refuses the message (logged), a NotifLegSync is refused unless its whole
 * record and every set it names (and the sets inside their elements) are
 * sound. Runs with hThreadSem held.
 */
#include <cstring>

#include "vqcmc_lib_leg_internal.h"
#include "vqcmc_lib_util.h"
#include "vqx_msg_element.h"

namespace {

const char* kOp = "VqCmcLegMsgHandle";

/* Where a message names its leg. */
enum class Place : u8 { P32, P28, Ctx, P8, Offer, Sync };
struct Route {
  u32 un32First, un32Last;
  Place place;
  bool fQuiet; /* an unknown leg leaves the message to the mixers, which use the same ids */
};
constexpr Route kRoutes[] = {
    {0x0A010001u, 0x0A010003u, Place::Ctx, false},
    {0x0A010004u, 0x0A010005u, Place::P32, false},
    {0x0A010011u, 0x0A010011u, Place::Offer, false},
    {0x0A010012u, 0x0A010016u, Place::P32, false},
    {0x0A010017u, 0x0A01001Bu, Place::Ctx, false},
    {0x0A01001Cu, 0x0A01001Cu, Place::P32, false},
    {0x0A01001Du, 0x0A01001Eu, Place::Ctx, false},
    {0x0A01001Fu, 0x0A01001Fu, Place::P28, false},
    {0x0A010041u, 0x0A010042u, Place::Ctx, false},
    {0x0A010044u, 0x0A010044u, Place::P28, false},
    {0x0A010051u, 0x0A010055u, Place::Ctx, true},
    {0x0A010056u, 0x0A010057u, Place::P28, true},
    {0x0A010061u, 0x0A010061u, Place::Ctx, true},
    {0x0A010062u, 0x0A010063u, Place::Ctx, false},
    {0x0A010064u, 0x0A010064u, Place::P28, false},
    {0x0A010065u, 0x0A010065u, Place::P28, true},
    {0x0A010071u, 0x0A010072u, Place::Ctx, true},
    {0x0A010073u, 0x0A010074u, Place::Ctx, false},
    {0x0A010075u, 0x0A010075u, Place::P28, false},
    {0x0A010076u, 0x0A010076u, Place::P28, true},
    {0x0A010091u, 0x0A010091u, Place::P28, false},
    {0x0A010101u, 0x0A010103u, Place::P32, false},
    {0x0A010106u, 0x0A010108u, Place::Ctx, false},
    {VQCMC_PRIV_LEG_TIMEOUT, VQCMC_PRIV_LEG_STATE_ENTER, Place::Ctx, false},
    {VQCMC_PRIV_LEG_EVENT, VQCMC_PRIV_LEG_EVENT, Place::P8, false},
    {VQCMC_SRV_NOTIF_LEG_SYNC, VQCMC_SRV_NOTIF_LEG_SYNC, Place::Sync, false},
};

const Route* FindRoute(u32 un32MsgId) {
  for (const Route& route : kRoutes) {
    if (un32MsgId >= route.un32First && un32MsgId <= route.un32Last) return &route;
  }
  return nullptr;
}

void Free(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE* phMsg) {
  if (*phMsg != nullptr) VqCmcMsgFreeHandle(pCtx, phMsg);
}

void PutU32(u8* pPayload, u32 un32Offset, u32 un32Value) { memcpy(pPayload + un32Offset, &un32Value, 4); }

/* The leg id of a routed message; false when the payload does not hold it. */
bool ReadLegId(VQX_MSG_HANDLE hMsg, Place place, u32* pun32LegId) {
  switch (place) {
    case Place::Ctx:
      *pun32LegId = static_cast<u32>(hMsg->un64UserContext1);
      return true;
    case Place::P28:
      return VqCmcMsgReadU32(hMsg, VQCMC_PAYLOAD_OFFSET_WORD7, pun32LegId);
    case Place::P8:
      return VqCmcMsgReadU32(hMsg, VQCMC_PRIV_OFFSET_ENTITY_ID, pun32LegId);
    default:
      return VqCmcMsgReadU32(hMsg, VQCMC_PAYLOAD_OFFSET_WORD8, pun32LegId);
  }
}

/* Where a leg description keeps its media profile's set (leg type 1 or 2), else null. */
VQXMsgElementSet* ProfileSet(_VQCMC_LEG* pLeg) {
  if (pLeg->un32LegType == VQCMC_LEG_TYPE_CALL) return &pLeg->CallLeg.MediaProfile.setProfileElements;
  if (pLeg->un32LegType == VQCMC_LEG_TYPE_MEDIA_ONLY) return &pLeg->MediaOnlyLeg.MediaProfile.setProfileElements;
  return nullptr;
}

}  // namespace

/* Every element of the set has at least un32MinSize bytes and a sound set at its offset 0 (the
 * mixer layer shares this and the two element copies below). */
VQX_RESULT VqCmcCheckNestedSets(VQX_MSG_HANDLE hMsg, const VQXMsgElementSet* pSet, u32 un32MinSize) {
  u16 un16Size = 0;
  for (void* p = VQXMsgElementGetNext(pSet, nullptr, &un16Size); p != nullptr;
       p = VQXMsgElementGetNext(pSet, p, &un16Size)) {
    if (un16Size < un32MinSize) return VQX_RESULT_INVALID_MESSAGE;
    const VQX_RESULT result = VqxMsgElementCheckSet(hMsg, p);
    if (VQX_RESULT_FAILED(result)) return result;
  }
  return VQX_RESULT_OK;
}

i32 VqCmcCopyPlayElement(void* pv, const void* pvSrc, void* pDstMsg, void* pvDst, u16 un16Size) {
  const _VQCMC_ELEMENT_COPY* pCopy = static_cast<const _VQCMC_ELEMENT_COPY*>(pv);
  return static_cast<i32>(VQCmcLibMsgCopyPlayAttribute(pCopy->pCtx, static_cast<const _VQCMC_PLAY_ATTRIBUTE*>(pvSrc),
                                                       static_cast<VQX_MSG_HANDLE>(pDstMsg),
                                                       static_cast<_VQCMC_PLAY_ATTRIBUTE*>(pvDst), un16Size,
                                                       pCopy->hSrcMsg));
}
i32 VqCmcCopyRecordElement(void* pv, const void* pvSrc, void* pDstMsg, void* pvDst, u16) {
  const _VQCMC_ELEMENT_COPY* pCopy = static_cast<const _VQCMC_ELEMENT_COPY*>(pv);
  return static_cast<i32>(VQCmcLibMsgCopyRecordAttribute(
      pCopy->pCtx, static_cast<const _VQCMC_RECORD_ATTRIBUTE*>(pvSrc), static_cast<VQX_MSG_HANDLE>(pDstMsg),
      static_cast<_VQCMC_RECORD_ATTRIBUTE*>(pvDst), pCopy->hSrcMsg));
}

VQX_RESULT VqCmcCopySyncSets(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE hSync, const VQXMsgElementSet* pSrcPlay,
                             const VQXMsgElementSet* pSrcRecord, VQX_MSG_HANDLE hNotif, VQXMsgElementSet* pDstPlay,
                             VQXMsgElementSet* pDstRecord, const char** ppszFailed) {
  _VQCMC_ELEMENT_COPY copy{pCtx, hSync};
  *ppszFailed = "VQXMsgElementDupSet Failed for setPlayAttribute";
  const VQX_RESULT result = VQXMsgElementDupSet(pSrcPlay, hNotif, pDstPlay, VqCmcCopyPlayElement, &copy);
  if (VQX_RESULT_FAILED(result)) return result;
  *ppszFailed = "VQXMsgElementDupSet Failed for setRecordAttribute";
  return VQXMsgElementDupSet(pSrcRecord, hNotif, pDstRecord, VqCmcCopyRecordElement, &copy);
}

namespace {

/* One 40-byte notification about the leg, as a job of the leg. */
VQX_RESULT PostSimple(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pLeg, u32 un32MsgId, const char* pszOp,
                      bool fUnlessTerminated) {
  if (fUnlessTerminated && (pLeg->un8Flags & VQCMC_ENTITY_FLAG_TERMINATE_POSTED) != 0) return VQX_RESULT_OK;
  u8* pPayload = nullptr;
  VQX_RESULT result = VqCmcMsgPublicAlloc(pCtx, un32MsgId, &pPayload);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, pszOp, result, "VqCmcMsgPublicAlloc Failed");
    return result;
  }
  PutU32(pPayload, VQCMC_PAYLOAD_OFFSET_LIB_BUILT, 1);
  PutU32(pPayload, VQCMC_PAYLOAD_OFFSET_WORD8, pLeg->Params.EntityId);
  VQX_MSG_HANDLE hMsg = VqCmcMsgFromPayload(pCtx, pPayload);
  result = VqCmcThreadJobPost(pCtx, pLeg, 0, pLeg->Params.un32SerialisationId, &hMsg);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, pszOp, result, "VqCmcLegMsgPostJob Failed");
  return result;
}

}  // namespace

VQX_RESULT VqCmcLegParamValidate(VQCMC_LIB_CTX* pCtx, const _VQCMC_LIB_LEG_PARAMS* pParams) {
  _VQCMC_LIB_ENTITY_PARAMS head{};
  memcpy(&head, pParams, sizeof(*pParams));
  VQX_RESULT result = VqCmcEntityParamValidate(pCtx, &head);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, "VqCmcLegParamValidate", result, "VqCmcEntityParamValidate fails");
    return result;
  }
  if (pParams->LegType > VQCMC_LEG_TYPE_MEDIA_ONLY) {
    VQCMC_ERR(pCtx, "VqCmcLegParamValidate", VQX_RESULT_INVALID_PARAM, "Invalid LegType=0x%X", pParams->LegType);
    return VQX_RESULT_INVALID_PARAM;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcLibLegCreate(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, u32 un32LegId, u32 un32MappingId,
                             _VQCMC_ENTITY_CTX** ppLeg) {
  const VQX_RESULT result = VqCmcLibEntityCreate(pCtx, &pHost, un32LegId, un32MappingId, ppLeg);
  if (VQX_RESULT_FAILED(result)) return result;
  _VQCMC_ENTITY_CTX* pLeg = *ppLeg;
  VqCmcEntitySetKind(pCtx, pLeg, VQCMC_ENTITY_TYPE_LEG);
  VQCMC_TRACE(pCtx, 1, "VqCmcLibLegCreate",
              VQCMC_COLOUR_GREEN "Created new leg context with LegId 0x%08X, mappingId 0x%08X", pLeg->Params.EntityId,
              un32MappingId);
  const VQX_RESULT resultState = VqCmcLegStateChange(pCtx, pHost, pLeg, VQCMC_LIB_STATE_INIT);
  if (VQX_RESULT_FAILED(resultState)) VQCMC_ERR(pCtx, "VqCmcLibLegCreate", resultState, "VqCmcLegStateChange Failed");
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcLibLegFind(VQCMC_LIB_CTX* pCtx, u32 un32LegId, u32 un32MappingId, _VQCMC_ENTITY_CTX** ppLeg) {
  /* As the mixer twin: an entity of another kind, or none, is no leg. */
  if (VQX_RESULT_SUCCEEDED(VqCmcLibEntityFind(pCtx, un32LegId, un32MappingId, ppLeg)) &&
      (*ppLeg)->Type == VQCMC_ENTITY_TYPE_LEG) {
    return VQX_RESULT_OK;
  }
  *ppLeg = nullptr;
  return VQX_RESULT_INVALID_PARAM;
}

bool VqCmcLegSyncInputOk(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE hMsg) {
  const char* pszFault = nullptr;
  VQX_RESULT result = VQX_RESULT_INVALID_MESSAGE;
  if (hMsg->un32PayloadLength < sizeof(_VQCMC_SRV_NOTIF_LEG_SYNC)) {
    pszFault = "short record";
  } else {
    auto* pSync = reinterpret_cast<_VQCMC_SRV_NOTIF_LEG_SYNC*>(VQXMsgPayload(hMsg));
    const VQXMsgElementSet* pProfile = ProfileSet(&pSync->Leg);
    const std::pair<const VQXMsgElementSet*, u32> aSets[] = {
        {&pSync->setPlayAttributes, sizeof(_VQCMC_PLAY_ATTRIBUTE)},
        {&pSync->setRecordAttributes, sizeof(_VQCMC_RECORD_ATTRIBUTE)},
        {pProfile, 0}};
    for (const auto& [pSet, un32Min] : aSets) {
      if (pSet == nullptr || *pSet == 0) continue;
      result = VqxMsgElementCheckSet(hMsg, pSet);
      if (VQX_RESULT_SUCCEEDED(result) && un32Min != 0) result = VqCmcCheckNestedSets(hMsg, pSet, un32Min);
      if (VQX_RESULT_FAILED(result)) {
        pszFault = "broken element set";
        break;
      }
    }
  }
  if (pszFault == nullptr) return true;
  VQCMC_ERR(pCtx, "VqCmcLegMsgHandleNotifLegSync", result, "NotifLegSync refused: %s (%u bytes)", pszFault,
            hMsg->un32PayloadLength);
  return false;
}

namespace {

/* VqCmcLegMsgHandleNotifLegSync, handing back the leg it claimed (null when it claimed none): the
 * routing then takes the message to that leg without looking its id up a second time. */
VQX_RESULT ClaimSyncedLeg(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg,
                          _VQCMC_ENTITY_CTX** ppClaimed) {
  *ppClaimed = nullptr;
  u8* pPayload = VQXMsgPayload(*phMsg);
  u32 un32LegId = 0, un32MappingId = 0;
  memcpy(&un32LegId, pPayload + VQCMC_PAYLOAD_OFFSET_WORD8, 4);
  memcpy(&un32MappingId, pPayload + VQCMC_PAYLOAD_OFFSET_MAPPING_ID, 4);
  _VQCMC_ENTITY_CTX* pLeg = nullptr;
  const VQX_RESULT result = VqCmcLibLegCreate(pCtx, pHost, un32LegId, un32MappingId, &pLeg);
  if (pLeg == nullptr) return result;
  if (pLeg->Type != VQCMC_ENTITY_TYPE_LEG) return VQX_RESULT_INVALID_PARAM; /* the id of a mixer: no claim */
  if (un32LegId == 0) PutU32(pPayload, VQCMC_PAYLOAD_OFFSET_WORD8, pLeg->Params.EntityId);
  VqCmcHostSendSetLegOwnership(pCtx, pHost, pLeg);
  *ppClaimed = pLeg;
  return VQX_RESULT_OK;
}

}  // namespace

VQX_RESULT VqCmcLegMsgHandleNotifLegSync(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  _VQCMC_ENTITY_CTX* pLeg = nullptr;
  return ClaimSyncedLeg(pCtx, pHost, phMsg, &pLeg);
}

VQX_RESULT VqCmcLegMsgHandle(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  const u32 un32MsgId = (*phMsg)->un32MsgId;
  const Route* pRoute = FindRoute(un32MsgId);
  if (pRoute == nullptr) return VQX_RESULT_OK;
  _VQCMC_ENTITY_CTX* pLeg = nullptr;
  u32 un32LegId = 0, un32MappingId = 0;
  if (pRoute->place == Place::Offer) {
    if (!ReadLegId(*phMsg, Place::P32, &un32LegId) || !ReadLegId(*phMsg, Place::P8, &un32MappingId)) {
      VQCMC_ERR(pCtx, kOp, VQX_RESULT_INVALID_MESSAGE, "CALL_LEG_PRESENT refused (%u bytes)",
                (*phMsg)->un32PayloadLength);
      Free(pCtx, phMsg);
      return VQX_RESULT_OK;
    }
    const VQX_RESULT result = VqCmcLibLegCreate(pCtx, pHost, un32LegId, un32MappingId, &pLeg);
    if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, kOp, result, "CALL_LEG_PRESENT: VqCmcLibLegCreate Failed");
    if (pLeg == nullptr) return VQX_RESULT_OK;
    /* A server that let the library choose reads the chosen id where it left 0, as the application does. */
    if (un32LegId == 0) PutU32(VQXMsgPayload(*phMsg), VQCMC_PAYLOAD_OFFSET_WORD8, pLeg->Params.EntityId);
  } else {
    if (pRoute->place == Place::Sync) {
      if (!VqCmcLegSyncInputOk(pCtx, *phMsg)) {
        Free(pCtx, phMsg);
        return VQX_RESULT_OK;
      }
      const VQX_RESULT result = ClaimSyncedLeg(pCtx, pHost, phMsg, &pLeg);
      if (VQX_RESULT_FAILED(result))
        VQCMC_ERR(pCtx, kOp, result, "NOTIF_LEG_SYNC: VqCmcLegMsgHandleNotifLegSync Failed");
    }
    /* A leg just claimed is the one P32 names now: no second lookup. */
    if (pLeg == nullptr) {
      if (!ReadLegId(*phMsg, pRoute->place, &un32LegId)) {
        if (pRoute->fQuiet) return VQX_RESULT_OK;
        VQCMC_ERR(pCtx, kOp, VQX_RESULT_INVALID_MESSAGE, "Message 0x%08x refused (%u bytes)", un32MsgId,
                  (*phMsg)->un32PayloadLength);
        Free(pCtx, phMsg);
        return VQX_RESULT_OK;
      }
      if (un32LegId == 0) return VQX_RESULT_OK;
      if (VQX_RESULT_FAILED(VqCmcLibLegFind(pCtx, un32LegId, 0, &pLeg))) {
        if (pRoute->fQuiet) return VQX_RESULT_OK;
        if (un32MsgId == VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED && pCtx->Params.Callback.pFctCallback != nullptr) {
          /* The application still learns that a call it does not know has ended. */
          VqCmcThreadJobPost(pCtx, nullptr, 0, VQCMC_LIB_JOB_KEY, phMsg);
          return VQX_RESULT_OK;
        }
        VQCMC_TRACE_RED(pCtx, 3, kOp, "VqCmcLibLegFind Failed (LegId=0x%08X msg=0x%08x)", un32LegId, un32MsgId);
        Free(pCtx, phMsg);
        return VQX_RESULT_OK;
      }
    }
  }
  pLeg->pFctStateHandler(pCtx, pHost, pLeg, phMsg);
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcLegMsgHandlePost(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pLeg, VQX_MSG_HANDLE* phMsg) {
  const VQX_RESULT result = VqCmcThreadJobPost(pCtx, pLeg, 0, pLeg->Params.un32SerialisationId, phMsg);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, "VqCmcLegMsgHandlePost", result, "VqCmcThreadJobPost Failed");
  return result;
}

VQX_RESULT VqCmcLegMsgPostNotifLegSync(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX*, VQX_MSG_HANDLE hSync) {
  static const char* kSync = "VqCmcLegMsgPostNotifLegSync";
  u8* pPayload = nullptr;
  VQX_RESULT result = VqCmcMsgPublicAlloc(pCtx, VQCMC_LIB_MSG_NOTIF_LEG_SYNC, &pPayload);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kSync, result, "VqCmcMsgPublicAlloc Failed");
    return result;
  }
  VQX_MSG_HANDLE hNotif = VqCmcMsgFromPayload(pCtx, pPayload);
  const auto* pSrc = reinterpret_cast<const _VQCMC_SRV_NOTIF_LEG_SYNC*>(VQXMsgPayload(hSync));
  auto* pDst = reinterpret_cast<_VQCMC_NOTIF_LEG_SYNC*>(pPayload);
  memcpy(pPayload + VQCMC_PAYLOAD_OFFSET_MAPPING_ID, VQXMsgPayload(hSync) + VQCMC_PAYLOAD_OFFSET_MAPPING_ID, 16);
  PutU32(pPayload, VQCMC_PAYLOAD_OFFSET_LIB_BUILT, 1);
  const char* pszFailed = "VQCmcLibMsgCopyLeg Failed";
  result = VQCmcLibMsgCopyLeg(pCtx, &pSrc->Leg, hNotif, &pDst->Leg, hSync);
  if (VQX_RESULT_SUCCEEDED(result)) {
    result = VqCmcCopySyncSets(pCtx, hSync, &pSrc->setPlayAttributes, &pSrc->setRecordAttributes, hNotif,
                               &pDst->setPlayAttributes, &pDst->setRecordAttributes, &pszFailed);
  }
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kSync, result, "%s", pszFailed);
    VqCmcMsgFreeHandle(pCtx, &hNotif);
    return result;
  }
  result = VqCmcLibMsgPost(pCtx, &pPayload);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, kSync, result, "VqCmcLegMsgPostJob Failed");
  return result;
}

VQX_RESULT VqCmcLegMsgPostNotifLegTerm(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pLeg) {
  return PostSimple(pCtx, pLeg, VQCMC_LIB_MSG_NOTIF_LEG_TERMINATED, "VqCmcLegMsgPostNotifLegTerm", false);
}

VQX_RESULT VqCmcLegMsgPostNotifLegSyncDone(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pLeg) {
  return PostSimple(pCtx, pLeg, VQCMC_LIB_MSG_NOTIF_LEG_SYNC_DONE, "VqCmcLegMsgPostNotifLegSyncDone", true);
}

VQX_RESULT VqCmcLegMsgPostNotifLegSyncLost(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pLeg) {
  return PostSimple(pCtx, pLeg, VQCMC_LIB_MSG_NOTIF_LEG_SYNC_LOST, "VqCmcLegMsgPostNotifLegSyncLost", true);
}

VQX_RESULT VqCmcLegHostMsgSend(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pLeg, u8** ppPayload) {
  if (*ppPayload != nullptr) VqCmcMsgFromPayload(pCtx, *ppPayload)->un64UserContext1 = pLeg->Params.EntityId;
  const VQX_RESULT result = VqCmcHostMsgSend(pCtx, pHost, ppPayload);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, "VqCmcLegHostMsgSend", result, "VqCmcHostMsgSend Failed");
    *ppPayload = nullptr;
    return result;
  }
  pLeg->un32NbPendingRequests++;
  return VQX_RESULT_OK;
}

/* ------------------------------------------------------------ sweeps over the entity pool */

namespace {

template <typename F>
void ForEachLeg(VQCMC_LIB_CTX* pCtx, F&& fct) {
  for (void* p = VQXPoolOfBuffersFirst(pCtx->hEntityPool); p != nullptr;
       p = VQXPoolOfBuffersNext(pCtx->hEntityPool, p)) {
    _VQCMC_ENTITY_CTX* pEntity = static_cast<_VQCMC_ENTITY_CTX*>(p);
    if (pEntity->Type == VQCMC_ENTITY_TYPE_LEG) fct(pEntity);
  }
}

void Change(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pLeg, u32 un32State) {
  const VQX_RESULT result = VqCmcLegStateChange(pCtx, pHost, pLeg, un32State);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, "VqCmcLegStateChange", result, "VqCmcLegStateChange Failed");
}

}  // namespace

VQX_RESULT VqCmcLegUnSyncAll(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  ForEachLeg(pCtx, [&](_VQCMC_ENTITY_CTX* pLeg) {
    if (pLeg->pHostCtx != pHost) return;
    VQCMC_TRACE(pCtx, 1, "VqCmcLegUnSyncAll", "LegId 0x%08X VQCMC_LIB_STATE_CLEG_UNSYNCED", pLeg->Params.EntityId);
    Change(pCtx, pHost, pLeg, VQCMC_LIB_STATE_CLEG_UNSYNCED);
  });
  VqCmcStateHostFreePendingMsgs(pCtx, pHost);
  pHost->fRegistered = 0;
  pHost->fReady = 0;
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcLegTerminateUnSynced(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  ForEachLeg(pCtx, [&](_VQCMC_ENTITY_CTX* pLeg) {
    if (pLeg->CurrState != VQCMC_LIB_STATE_CLEG_UNSYNCED) return;
    VQCMC_TRACE(pCtx, 1, "VqCmcLegTerminateUnSynced", "LegId 0x%08X flushed because VQCMC_LIB_STATE_CLEG_UNSYNCED",
                pLeg->Params.EntityId);
    Change(pCtx, pHost != nullptr ? pHost : pLeg->pHostCtx, pLeg, VQCMC_LIB_STATE_CLEG_TERMINATED);
  });
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcLegAllSyncDone(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  ForEachLeg(pCtx, [&](_VQCMC_ENTITY_CTX* pLeg) {
    if (pLeg->pHostCtx == pHost && pLeg->CurrState == VQCMC_LIB_STATE_READY)
      VqCmcLegMsgPostNotifLegSyncDone(pCtx, pLeg);
  });
  return VQX_RESULT_OK;
}

void VqCmcLegTerminateOwned(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  ForEachLeg(pCtx, [&](_VQCMC_ENTITY_CTX* pLeg) {
    if (pLeg->pHostCtx != pHost || pLeg->CurrState == VQCMC_LIB_STATE_CLEG_TERMINATED) return;
    VQCMC_TRACE(pCtx, 4, "VqCmcHostState", "HostDead: Terminating leg 0x%08X state=%u", pLeg->Params.EntityId,
                pLeg->CurrState);
    Change(pCtx, pHost, pLeg, VQCMC_LIB_STATE_CLEG_TERMINATED);
  });
}
