/*
 * vqcmc_lib_host_msg.cpp - the control protocol with each server:
 * LibRegister, HostStatesGet, SyncCompleted and the four ownership
 * messages (each built zeroed at its fixed size, the u32 1 at 24), their
 * answers (result at 28), and the resynchronisation: from SYNC_STARTING to
 * the end of the sync every other message of that server waits in its
 * postponement buffer and is replayed in arrival order.
 *
 * A sync ends at the first pass after READY at which the jobs that were
 * queued before READY have run, or 60000 ms after READY: jobs posted later
 * by steady traffic do not hold it back.
 */
#include <cstring>
#include <new>

#include "vqcmc_lib_internal.h"

namespace {

void PutU32(u8* pPayload, u32 un32Offset, u32 un32Value) { memcpy(pPayload + un32Offset, &un32Value, 4); }

void Release(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE* phMsg) {
  if (*phMsg != nullptr) VqCmcMsgFreeHandle(pCtx, phMsg);
}

/* Allocates a to-server message with the 1 at 24; null on failure (logged). */
u8* Build(VQCMC_LIB_CTX* pCtx, u32 un32Id, const char* pszOp) {
  u8* pPayload = nullptr;
  const VQX_RESULT result = VqCmcMsgProtectedAlloc(pCtx, un32Id, &pPayload);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, pszOp, result, "VqCmcMsgProtectedAlloc Failed");
    return nullptr;
  }
  PutU32(pPayload, VQCMC_PAYLOAD_OFFSET_LIB_BUILT, VQCMC_PAYLOAD_LIB_BUILT_MARK);
  return pPayload;
}

VQX_RESULT Send(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, u8* pPayload, const char* pszOp) {
  if (pPayload == nullptr) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  const VQX_RESULT result = VqCmcHostMsgSend(pCtx, pHost, &pPayload);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, pszOp, result, "VqCmcHostMsgSend Failed");
  return result;
}

bool IsProtocol(u32 un32Id) {
  return (un32Id >= VQCMC_SRV_LIB_REGISTER && un32Id <= VQCMC_SRV_SET_MIXER_LINK_OWNERSHIP) ||
         (un32Id >= VQCMC_SRV_READY && un32Id <= VQCMC_SRV_NOTIF_MIXER_LINK_SYNC);
}

void HandleLibRegisterRsp(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, u32 un32Result) {
  static const char* kOp = "VqCmcHostHandleLibRegisterRsp";
  const char* pszHost = pHost->HostInfo.szHostName;
  const char* pszApp = pHost->HostInfo.szApplicationName;
  if (un32Result == VQCMC_REG_RESULT_STANDBY) {
    if (!pCtx->fStandbyLogged) {
      VQCMC_TRACE(pCtx, VQCMC_LOG_LEVEL_NOTICE, kOp,
                  VQCMC_COLOUR_YELLOW "CMCServer %s.%s not active, or already controlled by another application. "
                                      "Will remain standby for now.\n",
                  pszHost, pszApp);
      pCtx->fStandbyLogged = 1;
    }
  } else if (un32Result == VQCMC_REG_RESULT_VERSION) {
    VQCMC_ERR(pCtx, kOp, un32Result,
              "LibRegister Failed: Incompatible version between current application and corvane_engine");
  } else if (VQX_RESULT_FAILED(un32Result)) {
    VQCMC_ERR(pCtx, kOp, un32Result, "LibRegister Failed");
  } else {
    if (!pHost->fRegistered) {
      VQCMC_TRACE(pCtx, VQCMC_LOG_LEVEL_NOTICE, kOp, VQCMC_COLOUR_GREEN "Successfully registered to CMCServer %s.%s\n",
                  pszHost, pszApp);
    }
    pHost->fRegistered = 1;
    pCtx->fStandbyLogged = 0;
  }
}

/* The sync of a ready server may end: the jobs queued before READY have run, or it waited long enough. */
bool SyncMayEnd(VQCMC_LIB_CTX* pCtx, const _VQCMC_HOST_CTX* pHost) {
  if (pHost->un32JobsBeforeReady == 0) return true;
  return pCtx->un32CurrTimeMs - pHost->un32ReadyMs >= VQCMC_LOCAL_JOBS_WAIT_MS;
}

}  // namespace

VQX_RESULT VqCmcHostMsgSend(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, u8** ppPayload) {
  u8* pPayload = *ppPayload;
  *ppPayload = nullptr;
  if (pPayload == nullptr) {
    VQCMC_ERR(pCtx, "VqCmcHostMsgSend", VQX_RESULT_INVALID_PARAM, "pMsg is Null!");
    return VQX_RESULT_INVALID_PARAM;
  }
  VQX_MSG_HANDLE hMsg = VqCmcMsgFromPayload(pCtx, pPayload);
  hMsg->hAdapter = pHost->HostInfo.hAdapter;
  const VQX_RESULT result = VqCmcSendMsg(pCtx, hMsg);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, "VqCmcHostMsgSend", result, "VqCmcSendMsg Failed");
  return result;
}

VQX_RESULT VqCmcHostSendLibRegister(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  static const char* kOp = "VqCmcHostSendLibRegister";
  bool fSecondary = false;
  bool fAnyReady = false;
  for (_VQCMC_HOST_CTX* p = VqCmcHostFirst(pCtx); p != nullptr; p = VqCmcHostNext(pCtx, p)) {
    fSecondary = fSecondary || p->fRegistered;
    fAnyReady = fAnyReady || p->fReady;
  }
  const u32 un32Jobs = pCtx->hJobPool != nullptr ? VQXMultiThreadedJobGetCount(pCtx->hJobPool) : 0;
  if (un32Jobs != 0) {
    const u32 un32Now = VqCmcClockRead(pCtx);
    if (pCtx->un32RegisterWaitStartMs == 0 || un32Now - pCtx->un32RegisterWaitStartMs < VQCMC_LOCAL_JOBS_WAIT_MS) {
      if (pCtx->un32RegisterWaitStartMs == 0) pCtx->un32RegisterWaitStartMs = un32Now != 0 ? un32Now : 1;
      VQCMC_TRACE(pCtx, 0, kOp, "Postponing register to%s CMCServer, still %u pending jobs to process locally...\n",
                  fSecondary ? " secondary" : "", un32Jobs);
      return VQX_RESULT_OK;
    }
    VQCMC_TRACE(pCtx, fSecondary ? 0u : VQCMC_LOG_LEVEL_ERROR, kOp,
                "TIMEOUT waiting for local jobs to process (still %u pending jobs). Will register to%s CMCServer now "
                "anyways.\n",
                un32Jobs, fSecondary ? " secondary" : "");
  }
  pCtx->un32RegisterWaitStartMs = 0;
  u8* pPayload = Build(pCtx, VQCMC_SRV_LIB_REGISTER, kOp);
  if (pPayload == nullptr) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  PutU32(pPayload, VQCMC_REG_OFFSET_LIB_ID, pCtx->Params.un32LibId);
  pPayload[VQCMC_REG_OFFSET_ONE] = 1;
  memcpy(pPayload + VQCMC_REG_OFFSET_FLAGS, pCtx->Params.aun8RegisterFlags, 4);
  pPayload[VQCMC_REG_OFFSET_ANY_READY] = fAnyReady ? 1 : 0;
  /* The send's own result: 0x82010209 tells the machine the server is gone. */
  VQX_MSG_HANDLE hMsg = VqCmcMsgFromPayload(pCtx, pPayload);
  hMsg->hAdapter = pHost->HostInfo.hAdapter;
  if (!VqCmcPeerKnown(pCtx, hMsg->hAdapter)) {
    Release(pCtx, &hMsg);
    return VQCMC_HL_INVALID_DESTINATION;
  }
  const VQX_RESULT result = VqCmcSendMsg(pCtx, hMsg);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, kOp, result, "VqCmcHostMsgSend Failed");
  return result;
}

void VqCmcHostSendHostStatesGetTimer(VQCMC_LIB_CTX* pCtx, u64 un64Index) {
  _VQCMC_HOST_CTX* pHost = static_cast<_VQCMC_HOST_CTX*>(
      VQXPoolOfBuffers64FindBufferByIndex(pCtx->pHostPool, static_cast<u32>(un64Index)));
  if (pHost != nullptr) VqCmcHostSendHostStatesGet(pCtx, pHost);
}

VQX_RESULT VqCmcHostSendHostStatesGet(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  return Send(pCtx, pHost, Build(pCtx, VQCMC_SRV_HOST_STATES_GET, "VqCmcHostSendHostStatesGet"),
              "VqCmcHostSendHostStatesGet");
}

VQX_RESULT VqCmcHostSendSyncCompleted(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  return Send(pCtx, pHost, Build(pCtx, VQCMC_SRV_SYNC_COMPLETED, "VqCmcHostSendSyncCompleted"),
              "VqCmcHostSendSyncCompleted");
}

static VQX_RESULT SendOwnership(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pEntity, bool fLeg) {
  const char* pszOp = fLeg ? "VqCmcHostSendSetLegOwnership" : "VqCmcHostSendSetMixerOwnership";
  if (pEntity->pHostCtx != pHost) {
    _VQCMC_HOST_CTX* pOld = pEntity->pHostCtx;
    if (pOld != nullptr) {
      u32& un32Old = fLeg ? pOld->un32NbLegs : pOld->un32NbMixers;
      if (un32Old == 0) {
        VQCMC_ERR(pCtx, pszOp, VQX_RESULT_FAIL,
                  fLeg ? "SetLegOwnership: Internal error: invalid child leg count is already 0, when trying to decrement"
                       : "SetMixerOwnership: Internal error: invalid child mixer count is already 0, when trying to "
                         "decrement");
      } else {
        un32Old--;
      }
    }
    pEntity->pHostCtx = pHost;
    (fLeg ? pHost->un32NbLegs : pHost->un32NbMixers)++;
    VQCMC_TRACE(pCtx, 3, pszOp, fLeg ? "Leg Id 0x%08X new host is 0x%08X" : "Mixer Id 0x%08X new host is 0x%08X",
                pEntity->Params.EntityId, pHost->HostInfo.hAdapter);
  }
  u8* pPayload = Build(pCtx, fLeg ? VQCMC_SRV_SET_LEG_OWNERSHIP : VQCMC_SRV_SET_MIXER_OWNERSHIP, pszOp);
  if (pPayload == nullptr) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  PutU32(pPayload, VQCMC_PAYLOAD_OFFSET_MAPPING_ID, pEntity->MappingId);
  PutU32(pPayload, VQCMC_PAYLOAD_OFFSET_WORD7, pEntity->Params.EntityId);
  return Send(pCtx, pHost, pPayload, pszOp);
}

VQX_RESULT VqCmcHostSendSetLegOwnership(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pLeg) {
  return SendOwnership(pCtx, pHost, pLeg, true);
}

VQX_RESULT VqCmcHostSendSetMixerOwnership(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pMixer) {
  return SendOwnership(pCtx, pHost, pMixer, false);
}

static VQX_RESULT SendLink(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, u32 un32Id, u32 un32Id1, u32 un32Id2,
                           const char* pszOp) {
  u8* pPayload = Build(pCtx, un32Id, pszOp);
  if (pPayload == nullptr) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  PutU32(pPayload, VQCMC_PAYLOAD_OFFSET_WORD8, un32Id1);
  PutU32(pPayload, VQCMC_PAYLOAD_OFFSET_WORD9, un32Id2);
  return Send(pCtx, pHost, pPayload, pszOp);
}

VQX_RESULT VqCmcHostSendSetLinkOwnership(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, u32 un32Id1, u32 un32Id2) {
  return SendLink(pCtx, pHost, VQCMC_SRV_SET_LINK_OWNERSHIP, un32Id1, un32Id2, "VqCmcHostSendSetLinkOwnership");
}

VQX_RESULT VqCmcHostSendSetMixerLinkOwnership(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, u32 un32Id1,
                                              u32 un32Id2) {
  return SendLink(pCtx, pHost, VQCMC_SRV_SET_MIXER_LINK_OWNERSHIP, un32Id1, un32Id2,
                  "VqCmcHostSendSetMixerLinkOwnership");
}

VQX_RESULT VqCmcHostMsgHandleRsp(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  struct RspRow {
    u32 un32Id;
    const char* pszHandler;
    const char* pszFailed;
  };
  static const RspRow kRows[] = {
      {VQCMC_SRV_LIB_REGISTER, "VqCmcHostHandleLibRegisterRsp", "LibRegister Failed"},
      {VQCMC_SRV_HOST_STATES_GET, "VqCmcHostHandleHostStatesGetRsp", "HostStatesGet Failed"},
      {VQCMC_SRV_SYNC_COMPLETED, "VqCmcHostHandleSyncCompleted", "SyncCompleted Failed"},
      {VQCMC_SRV_SET_LEG_OWNERSHIP, "VqCmcHostHandleSetLegOwnership", "SetLegOwnership Failed"},
      {VQCMC_SRV_SET_LINK_OWNERSHIP, "VqCmcHostHandleSetLinkOwnership", "SetLinkOwnership Failed"},
      {VQCMC_SRV_SET_MIXER_OWNERSHIP, "VqCmcHostHandleSetMixerOwnership", "SetMixerOwnership Failed"},
      {VQCMC_SRV_SET_MIXER_LINK_OWNERSHIP, "VqCmcHostHandleSetMixerLinkOwnership", "SetMixerLinkOwnership Failed"},
  };
  const u32 un32Id = (*phMsg)->un32MsgId;
  for (const RspRow& row : kRows) {
    if (row.un32Id != un32Id) continue;
    u32 un32Result = 0;
    if (!VqCmcMsgReadU32(*phMsg, VQCMC_PAYLOAD_OFFSET_WORD7, &un32Result)) {
      VQCMC_ERR(pCtx, row.pszHandler, VQX_RESULT_INVALID_MESSAGE, "Short answer refused (%u bytes)",
                (*phMsg)->un32PayloadLength);
    } else if (un32Id == VQCMC_SRV_LIB_REGISTER) {
      HandleLibRegisterRsp(pCtx, pHost, un32Result);
    } else if (VQX_RESULT_FAILED(un32Result)) {
      VQCMC_ERR(pCtx, row.pszHandler, un32Result, "%s", row.pszFailed);
    }
    Release(pCtx, phMsg);
    return VQX_RESULT_OK;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcHostHandleSyncStarting(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  static const char* kOp = "VqCmcHostHandleSyncStarting";
  VQCMC_TRACE(pCtx, VQCMC_LOG_LEVEL_NOTICE, kOp, VQCMC_COLOUR_GREEN "Corvane engine %s.%s is now active. Starting resync...",
              pHost->HostInfo.szHostName, pHost->HostInfo.szApplicationName);
  for (_VQCMC_HOST_CTX* p = VqCmcHostFirst(pCtx); p != nullptr; p = VqCmcHostNext(pCtx, p)) {
    if (p == pHost || !p->fReady) continue;
    VQCMC_TRACE(pCtx, VQCMC_LOG_LEVEL_NOTICE, kOp,
                VQCMC_COLOUR_YELLOW "Forcing corvane engine %s.%s not ready (new active engine detected)",
                p->HostInfo.szHostName, p->HostInfo.szApplicationName);
    p->fReady = 0;
    VqCmcLibMsgPostNotifNotReady(pCtx);
    VqCmcHostStateChange(pCtx, p, VQCMC_LIB_STATE_NOT_READY);
  }
  if (pHost->fSyncDone) {
    pHost->fSyncDone = 0;
    pCtx->un32NbHostsResyncing++;
    pHost->un32JobsBeforeReady = 0;
  }
  if (pHost->pahPendingMsgs == nullptr) {
    pHost->un32NbPendingMsgs = 0;
    pHost->pahPendingMsgs = new (std::nothrow) VQX_MSG_HANDLE[VQCMC_MAX_PENDING_MSGS];
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcLibHostPostponeMsg(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  /* A buffer that could not be had at SYNC_STARTING is tried again here. */
  if (pHost->pahPendingMsgs == nullptr) {
    pHost->un32NbPendingMsgs = 0;
    pHost->pahPendingMsgs = new (std::nothrow) VQX_MSG_HANDLE[VQCMC_MAX_PENDING_MSGS];
  }
  const char* pszRefusal = nullptr;
  if (pHost->pahPendingMsgs == nullptr) {
    pszRefusal = "VqCmcLibHostPostponeMsg: pahPendingMsgs is not initialized!";
  } else if (pHost->un32NbPendingMsgs >= VQCMC_MAX_PENDING_MSGS) {
    pszRefusal = "VqCmcLibHostPostponeMsg: Too many messages pending!";
  }
  if (pszRefusal != nullptr) {
    VQCMC_ERR(pCtx, "VqCmcLibHostPostponeMsg", VQX_RESULT_NOT_INITIALIZED, "%s", pszRefusal);
    Release(pCtx, phMsg);
    return VQX_RESULT_NOT_INITIALIZED;
  }
  pHost->pahPendingMsgs[pHost->un32NbPendingMsgs++] = *phMsg;
  *phMsg = nullptr;
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcAnyMsgHandle(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  const u32 un32Id = (*phMsg)->un32MsgId;
  if (!pHost->fSyncDone && !IsProtocol(un32Id)) return VqCmcLibHostPostponeMsg(pCtx, pHost, phMsg);
  VqCmcHostMsgHandleRsp(pCtx, pHost, phMsg);
  if (*phMsg != nullptr && pCtx->pHooks->pFctLegMsgHandle != nullptr) {
    pCtx->pHooks->pFctLegMsgHandle(pCtx, pHost, phMsg);
  }
  if (*phMsg != nullptr && pCtx->pHooks->pFctMixerMsgHandle != nullptr) {
    pCtx->pHooks->pFctMixerMsgHandle(pCtx, pHost, phMsg);
  }
  if (*phMsg != nullptr && un32Id == VQCMC_SRV_NOTIF_LINK_SYNC) {
    u32 un32Id1 = 0, un32Id2 = 0;
    if (VqCmcMsgReadU32(*phMsg, VQCMC_PAYLOAD_OFFSET_WORD8, &un32Id1) &&
        VqCmcMsgReadU32(*phMsg, VQCMC_PAYLOAD_OFFSET_WORD9, &un32Id2)) {
      VQCMC_TRACE(pCtx, 0, "VqCmcAnyMsgHandle", "SYNC LegId=0x%08X AND 0x%08X", un32Id1, un32Id2);
      if (pCtx->pHooks->pFctLinkMsgHandleNotifLinkSync != nullptr) {
        pCtx->pHooks->pFctLinkMsgHandleNotifLinkSync(pCtx, pHost, phMsg);
      }
    } else {
      VQCMC_ERR(pCtx, "VqCmcAnyMsgHandle", VQX_RESULT_INVALID_MESSAGE, "Short NotifLinkSync refused");
    }
    Release(pCtx, phMsg);
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcStateTestReadyHosts(VQCMC_LIB_CTX* pCtx) {
  for (_VQCMC_HOST_CTX* pHost = VqCmcHostFirst(pCtx); pHost != nullptr; pHost = VqCmcHostNext(pCtx, pHost)) {
    if (!pHost->fReady || pHost->fSyncDone || !SyncMayEnd(pCtx, pHost)) continue;
    pHost->fSyncDone = 1;
    VQCMC_TRACE(pCtx, VQCMC_LOG_LEVEL_NOTICE, "VqCmcStateTestReadyHosts",
                VQCMC_COLOUR_GREEN "Corvane engine %s.%s sync sequence complete.", pHost->HostInfo.szHostName,
                pHost->HostInfo.szApplicationName);
    if (pCtx->pHooks->pFctAllSyncDone != nullptr) pCtx->pHooks->pFctAllSyncDone(pCtx, pHost);
    /* Replayed in arrival order; the buffer is detached first so nothing is postponed into it again. */
    VQX_MSG_HANDLE* pahMsgs = pHost->pahPendingMsgs;
    const u32 un32Count = pHost->un32NbPendingMsgs;
    pHost->pahPendingMsgs = nullptr;
    pHost->un32NbPendingMsgs = 0;
    for (u32 i = 0; i < un32Count; i++) {
      VqCmcAnyMsgHandle(pCtx, pHost, &pahMsgs[i]);
      Release(pCtx, &pahMsgs[i]);
    }
    delete[] pahMsgs;
    if (pCtx->un32NbHostsResyncing > 0) pCtx->un32NbHostsResyncing--;
  }
  return VQX_RESULT_OK;
}

void VqCmcHostJobEnded(VQCMC_LIB_CTX* pCtx, u64 un64Serial) {
  if (pCtx->un32NbHostsResyncing == 0 || pCtx->pHostPool == nullptr) return;
  for (_VQCMC_HOST_CTX* p = VqCmcHostFirst(pCtx); p != nullptr; p = VqCmcHostNext(pCtx, p)) {
    if (!p->fSyncDone && p->fReady && p->un32JobsBeforeReady > 0 && un64Serial < p->un64ReadyJobMark) {
      p->un32JobsBeforeReady--;
    }
  }
}
