/*
 * vqcmc_lib_host_state.cpp - one state machine per server: Init
 * (registering every 1000 ms), Ready (HostStatesGet every 1000 ms), Not
 * ready (passes straight back to Init), Host removed (10000 ms to dead),
 * Host dead (re-examined every 1000 ms; freed once it owns nothing).
 *
 * Driven by messages only, with hThreadSem held: the host library's
 * adapter notifications, the server's messages and the library's private
 * STATE_ENTER (made and handled at once by every change) and TIMEOUT.
 * After "Host dead" has freed the record nothing here touches it again:
 * the entry handler says so to its callers through the return value.
 */
#include "vqcmc_lib_internal.h"

namespace {

const char* kOp = "VqCmcHostState";

bool IsEnter(VQX_MSG_HANDLE hMsg) { return hMsg->un32MsgId == VQCMC_PRIV_HOST_STATE_ENTER; }

void Release(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE* phMsg) {
  if (*phMsg != nullptr) VqCmcMsgFreeHandle(pCtx, phMsg);
}

void ArmState(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, u32 un32PeriodMs) {
  if (VQX_RESULT_FAILED(VqCmcStateSetTimeout(pCtx, &pHost->StateTimer, pHost->CurrState, un32PeriodMs))) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_FAIL, "VqCmcStateSetTimeout Failed");
  }
}

void StopPoll(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  VqCmcStateSetTimeout(pCtx, &pHost->PollTimer, 0, VQCMC_TIMER_DISARMED);
}

void UnSyncAll(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  if (pCtx->pHooks->pFctUnSyncAll != nullptr) pCtx->pHooks->pFctUnSyncAll(pCtx, pHost);
  /* What the leg and mixer sweeps also do for the server itself. */
  pHost->fRegistered = 0;
  pHost->fReady = 0;
  VqCmcStateHostFreePendingMsgs(pCtx, pHost);
}

/* The leg handler, then the mixer handler for what it left; never postponed. */
void OfferToEntities(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  if (pCtx->pHooks->pFctLegMsgHandle != nullptr) pCtx->pHooks->pFctLegMsgHandle(pCtx, pHost, phMsg);
  if (*phMsg != nullptr && pCtx->pHooks->pFctMixerMsgHandle != nullptr) {
    pCtx->pHooks->pFctMixerMsgHandle(pCtx, pHost, phMsg);
  }
}

void StateInit(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  const u32 un32Id = (*phMsg)->un32MsgId;
  if (IsEnter(*phMsg)) {
    VQCMC_TRACE(pCtx, 0, kOp, "STATE_ENTER 0x%08X", pHost->hHost);
    ArmState(pCtx, pHost, VQCMC_HOST_REGISTER_RETRY_MS);
    Release(pCtx, phMsg);
    if (VqCmcHostSendLibRegister(pCtx, pHost) == VQCMC_HL_INVALID_DESTINATION) {
      VqCmcHostStateChange(pCtx, pHost, VQCMC_LIB_STATE_HOST_REMOVED);
    }
    return;
  }
  switch (un32Id) {
    case VQCMC_PRIV_HOST_TIMEOUT:
      Release(pCtx, phMsg);
      VqCmcHostStateChange(pCtx, pHost, VQCMC_LIB_STATE_INIT);
      return;
    case VQCMC_SRV_READY:
      VQCMC_TRACE(pCtx, 0, kOp, "READY 0x%08X", pHost->hHost);
      if (pCtx->pHooks->pFctRecoverOrphans != nullptr) pCtx->pHooks->pFctRecoverOrphans(pCtx, pHost);
      VqCmcHostSendSyncCompleted(pCtx, pHost);
      Release(pCtx, &pHost->pReadyMsg);
      pHost->pReadyMsg = *phMsg;
      *phMsg = nullptr;
      VqCmcHostStateChange(pCtx, pHost, VQCMC_LIB_STATE_READY);
      return;
    case VQCMC_SRV_SYNC_STARTING:
      VQCMC_TRACE(pCtx, 0, kOp, "SYNC_STARTING 0x%08X", pHost->hHost);
      Release(pCtx, phMsg);
      VqCmcHostHandleSyncStarting(pCtx, pHost);
      return;
    case VQCMC_HL_ADAPTER_REMOVED:
      VQCMC_TRACE(pCtx, 0, kOp, "REMOVED 0x%08X", pHost->hHost);
      Release(pCtx, phMsg);
      VqCmcHostStateChange(pCtx, pHost, VQCMC_LIB_STATE_HOST_REMOVED);
      return;
    case VQCMC_HL_ADAPTER_ADDED:
      Release(pCtx, phMsg);
      return;
    default:
      VqCmcAnyMsgHandle(pCtx, pHost, phMsg);
      return;
  }
}

void StateReady(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  const char* pszHost = pHost->HostInfo.szHostName;
  const char* pszApp = pHost->HostInfo.szApplicationName;
  if (IsEnter(*phMsg)) {
    VQCMC_TRACE(pCtx, 0, kOp, "STATE_ENTER 0x%08X", pHost->hHost);
    Release(pCtx, phMsg);
    VQCMC_TRACE(pCtx, 2, kOp, "Corvane engine %s.%s now ready", pszHost, pszApp);
    pHost->fReady = 1;
    /* The sync ends once the jobs that were queued before READY have run (or after 60000 ms). */
    if (!pHost->fSyncDone) {
      pHost->un32JobsBeforeReady = pCtx->un32JobsLive;
      pHost->un64ReadyJobMark = pCtx->un64NextJobSerial;
      pHost->un32ReadyMs = pCtx->un32CurrTimeMs;
    }
    if (pCtx->un32NbHostsResyncing != 0) {
      const VQX_RESULT result = VqCmcStateTestReadyHosts(pCtx);
      if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, kOp, result, "VqCmcStateTestReadyHosts Failed 0x%X", result);
    }
    if (pCtx->pHooks->pFctTerminateUnSynced != nullptr) pCtx->pHooks->pFctTerminateUnSynced(pCtx);
    VqCmcLibMsgPostNotifReady(pCtx, &pHost->pReadyMsg);
    Release(pCtx, &pHost->pReadyMsg);
    pHost->PollTimer.pFctExpiry = VqCmcHostSendHostStatesGetTimer;
    pHost->PollTimer.un64ExpiryArg = pHost->un32PoolIndex;
    VqCmcStateSetTimeout(pCtx, &pHost->PollTimer, VQCMC_LIB_STATE_READY, VQCMC_HOST_POLL_MS);
    return;
  }
  switch ((*phMsg)->un32MsgId) {
    case VQCMC_SRV_NOT_READY:
      Release(pCtx, phMsg);
      VQCMC_TRACE(pCtx, VQCMC_LOG_LEVEL_NOTICE, kOp, "NOT READY 0x%08X", pHost->hHost);
      VQCMC_TRACE(pCtx, VQCMC_LOG_LEVEL_NOTICE, kOp, VQCMC_COLOUR_YELLOW "Corvane engine %s.%s no more ready", pszHost,
                  pszApp);
      pHost->fReady = 0;
      VqCmcLibMsgPostNotifNotReady(pCtx);
      VqCmcHostStateChange(pCtx, pHost, VQCMC_LIB_STATE_NOT_READY);
      return;
    case VQCMC_HL_ADAPTER_REMOVED:
      Release(pCtx, phMsg);
      VQCMC_TRACE(pCtx, 0, kOp, "REMOVED 0x%08X", pHost->hHost);
      VQCMC_TRACE(pCtx, VQCMC_LOG_LEVEL_NOTICE, kOp, VQCMC_COLOUR_YELLOW "Corvane engine %s.%s no more ready\n",
                  pszHost, pszApp);
      pHost->fReady = 0;
      VqCmcLibMsgPostNotifNotReady(pCtx);
      VqCmcHostStateChange(pCtx, pHost, VQCMC_LIB_STATE_HOST_REMOVED);
      return;
    case VQCMC_PRIV_HOST_TIMEOUT:
      Release(pCtx, phMsg);
      VQCMC_TRACE(pCtx, VQCMC_LOG_LEVEL_ERROR, kOp, "TIMEOUT 0x%08X", pHost->hHost);
      return;
    default:
      VqCmcAnyMsgHandle(pCtx, pHost, phMsg);
      return;
  }
}

void StateNotReady(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  if (IsEnter(*phMsg)) {
    VQCMC_TRACE(pCtx, 0, kOp, "STATE_ENTER 0x%08X", pHost->hHost);
    Release(pCtx, phMsg);
    StopPoll(pCtx, pHost);
    UnSyncAll(pCtx, pHost);
    VqCmcHostStateChange(pCtx, pHost, VQCMC_LIB_STATE_INIT);
    return;
  }
  /* The adapter-removed row: the entry above always leaves for "Init" at once, so a
   * message never finds the server here; the row stays for a change of that rule. */
  if ((*phMsg)->un32MsgId == VQCMC_HL_ADAPTER_REMOVED) {
    Release(pCtx, phMsg);
    VQCMC_TRACE(pCtx, 0, kOp, "REMOVED 0x%08X", pHost->hHost);
    VqCmcHostStateChange(pCtx, pHost, VQCMC_LIB_STATE_HOST_DEAD);
    return;
  }
  VQCMC_TRACE(pCtx, VQCMC_LOG_LEVEL_ERROR, kOp, "Received MsgId 0x%X", (*phMsg)->un32MsgId);
}

void StateRemoved(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  if (IsEnter(*phMsg)) {
    VQCMC_TRACE(pCtx, 0, kOp, "STATE_ENTER 0x%08X", pHost->hHost);
    Release(pCtx, phMsg);
    StopPoll(pCtx, pHost);
    ArmState(pCtx, pHost, VQCMC_HOST_REMOVED_MS);
    UnSyncAll(pCtx, pHost);
    return;
  }
  switch ((*phMsg)->un32MsgId) {
    case VQCMC_PRIV_HOST_TIMEOUT:
      Release(pCtx, phMsg);
      VQCMC_TRACE(pCtx, 0, kOp, "TIMEOUT 0x%08X", pHost->hHost);
      VqCmcHostStateChange(pCtx, pHost, VQCMC_LIB_STATE_HOST_DEAD);
      return;
    case VQCMC_HL_ADAPTER_ADDED:
      Release(pCtx, phMsg);
      VqCmcHostStateChange(pCtx, pHost, VQCMC_LIB_STATE_INIT);
      return;
    default:
      OfferToEntities(pCtx, pHost, phMsg);
      return;
  }
}

/* Returns false when the record was freed. */
bool DeadEnter(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  Release(pCtx, phMsg);
  VQCMC_TRACE(pCtx, 0, kOp, "STATE_ENTER 0x%08X legs=%u mixers=%u", pHost->hHost, pHost->un32NbLegs,
              pHost->un32NbMixers);
  if (pHost->un32NbLegs == 0 && pHost->un32NbMixers == 0) {
    VqCmcStateSetTimeout(pCtx, &pHost->StateTimer, pHost->CurrState, VQCMC_TIMER_DISARMED);
    VqCmcLibHostRemove(pCtx, pHost);
    return false;
  }
  if (pHost->fDeadSeen && VqCmcHostCountReady(pCtx, nullptr) == 0) {
    VQCMC_TRACE(pCtx, 4, kOp, "Host %s.%s is dead, killing all calls (%u) and mixers (%u)",
                pHost->HostInfo.szHostName, pHost->HostInfo.szApplicationName, pHost->un32NbLegs,
                pHost->un32NbMixers);
    if (pCtx->pHooks->pFctTerminateOwned != nullptr) pCtx->pHooks->pFctTerminateOwned(pCtx, pHost);
  }
  pHost->fDeadSeen = 1;
  ArmState(pCtx, pHost, VQCMC_HOST_DEAD_RECHECK_MS);
  return true;
}

/* Returns false when the record was freed. */
bool StateDead(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  if (IsEnter(*phMsg)) return DeadEnter(pCtx, pHost, phMsg);
  switch ((*phMsg)->un32MsgId) {
    case VQCMC_PRIV_HOST_TIMEOUT:
      Release(pCtx, phMsg);
      VqCmcHostStateChange(pCtx, pHost, VQCMC_LIB_STATE_HOST_DEAD);
      return true;
    case VQCMC_HL_ADAPTER_ADDED:
      Release(pCtx, phMsg);
      VqCmcHostStateChange(pCtx, pHost, VQCMC_LIB_STATE_INIT);
      return true;
    default:
      /* As in "Host removed": the timeouts of its unsynchronised legs and mixers still take
       * them to their terminated state, so the application can destroy them and the record goes. */
      OfferToEntities(pCtx, pHost, phMsg);
      return true;
  }
}

/* Runs one message through the current state; false when the record was freed. */
bool Dispatch(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  switch (pHost->CurrState) {
    case VQCMC_LIB_STATE_INIT: StateInit(pCtx, pHost, phMsg); return true;
    case VQCMC_LIB_STATE_READY: StateReady(pCtx, pHost, phMsg); return true;
    case VQCMC_LIB_STATE_NOT_READY: StateNotReady(pCtx, pHost, phMsg); return true;
    case VQCMC_LIB_STATE_HOST_REMOVED: StateRemoved(pCtx, pHost, phMsg); return true;
    case VQCMC_LIB_STATE_HOST_DEAD: return StateDead(pCtx, pHost, phMsg);
    default:
      VQCMC_ERR(pCtx, kOp, VQX_RESULT_INVALID_STATE, "Invalid state for 0x%08X", pHost->hHost);
      return true;
  }
}

}  // namespace

VQX_RESULT VqCmcHostStateChange(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, u32 un32NewState) {
  VQCMC_TRACE(pCtx, 0, "VqCmcHostStateChange", "0x%08X StateChange (%s -> %s)", pHost->hHost,
              VqCmcStateName(pHost->CurrState), VqCmcStateName(un32NewState));
  pHost->CurrState = un32NewState;
  pHost->StateTimer.un32MsgId = VQCMC_PRIV_HOST_TIMEOUT;
  pHost->StateTimer.un64Key = static_cast<u64>(pHost->un32PoolIndex) << 32;
  if (VQX_RESULT_FAILED(VqCmcStateSetTimeout(pCtx, &pHost->StateTimer, un32NewState, VQCMC_TIMER_DISARMED))) {
    VQCMC_ERR(pCtx, "VqCmcHostStateChange", VQX_RESULT_FAIL, "VqCmcStateSetTimeout Failed");
  }
  const VQX_RESULT result =
      VqCmcMsgEntryRun(pCtx, VQCMC_PRIV_HOST_STATE_ENTER, pHost->StateTimer.un64Key,
                       [&](VQX_MSG_HANDLE* phEnter) { Dispatch(pCtx, pHost, phEnter); });
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, "VqCmcHostStateChange", result, "VqCmcMsgPrivateAllocHandle Failed");
    return result;
  }
  return VQX_RESULT_OK;
}

void VqCmcHostStateMsgHandle(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, VQX_MSG_HANDLE* phMsg) {
  const u32 un32Id = (*phMsg)->un32MsgId;
  if (Dispatch(pCtx, pHost, phMsg) && *phMsg != nullptr) {
    VQCMC_TRACE_UNHANDLED(pCtx, kOp, "Unhandle Message MsgId:0x%X", un32Id);
  }
}
