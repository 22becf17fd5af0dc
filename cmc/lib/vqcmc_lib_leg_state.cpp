/*
 * vqcmc_lib_leg_state.cpp - the leg state machine: Init (0), Ready (1),
 * Not ready (2, also the handler of every unknown number), Cleg unsynced (5,
 * 10000 ms to be claimed again) and Cleg terminated (6). A state change runs
 * the new state's entry at once; every handler ends with the state check,
 * which moves Init to Ready and Cleg unsynced to Ready (claimed) or to Cleg
 * terminated (timed out) once no request sent in the state is outstanding.
 * What the handlers do is one table of (state, message, action) rows.
 * Runs with hThreadSem held.
 */
#include "vqcmc_lib_leg_internal.h"

namespace {

const char* kOp = "VqCmcLegState";

enum class Act : u8 { Enter, Timeout, TimeoutFlag, SyncLeg, Sync };
struct Row {
  u32 un32State; /* the state whose handler acts */
  u32 un32MsgId;
  Act act;
};
constexpr Row kRows[] = {
    {VQCMC_LIB_STATE_INIT, VQCMC_PRIV_LEG_STATE_ENTER, Act::Enter},
    {VQCMC_LIB_STATE_INIT, VQCMC_PRIV_LEG_TIMEOUT, Act::TimeoutFlag},
    {VQCMC_LIB_STATE_READY, VQCMC_PRIV_LEG_STATE_ENTER, Act::Enter},
    {VQCMC_LIB_STATE_READY, VQCMC_PRIV_LEG_TIMEOUT, Act::Timeout},
    {VQCMC_LIB_STATE_READY, VQCMC_SRV_NOTIF_LEG_SYNC, Act::SyncLeg},
    {VQCMC_LIB_STATE_NOT_READY, VQCMC_PRIV_LEG_STATE_ENTER, Act::Enter},
    {VQCMC_LIB_STATE_NOT_READY, VQCMC_PRIV_LEG_TIMEOUT, Act::Timeout},
    {VQCMC_LIB_STATE_CLEG_UNSYNCED, VQCMC_PRIV_LEG_STATE_ENTER, Act::Enter},
    {VQCMC_LIB_STATE_CLEG_UNSYNCED, VQCMC_SRV_NOTIF_LEG_SYNC, Act::Sync},
    {VQCMC_LIB_STATE_CLEG_UNSYNCED, VQCMC_PRIV_LEG_TIMEOUT, Act::TimeoutFlag},
    {VQCMC_LIB_STATE_CLEG_TERMINATED, VQCMC_PRIV_LEG_STATE_ENTER, Act::Enter},
};

void Free(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE* phMsg) {
  if (*phMsg != nullptr) VqCmcMsgFreeHandle(pCtx, phMsg);
}

/* A command the application sent on a leg without mapping id names the server's id for it. */
void TakeMappingId(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pLeg, VQX_MSG_HANDLE hMsg) {
  u32 un32MappingId = 0;
  if (pLeg->MappingId != 0 || !VqCmcMsgReadU32(hMsg, VQCMC_PAYLOAD_OFFSET_MAPPING_ID, &un32MappingId) ||
      un32MappingId == 0) {
    return;
  }
  pLeg->MappingId = un32MappingId;
  const VQX_RESULT result = VqCmcLibEntityInsertMapId(pCtx, un32MappingId, pLeg);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, kOp, result, "VqCmcLibEntityInsertMapId Failed");
}

void Handle(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pLeg, VQX_MSG_HANDLE* phMsg,
            u32 un32HandlerState) {
  const u32 un32MsgId = (*phMsg)->un32MsgId;
  const u32 un32LegId = pLeg->Params.EntityId;
  const Row* pRow = nullptr;
  for (const Row& row : kRows) {
    if (row.un32State == un32HandlerState && row.un32MsgId == un32MsgId) pRow = &row;
  }
  if (pRow == nullptr) {
    if (un32HandlerState == VQCMC_LIB_STATE_READY) {
      /* Only Ready hands server traffic on to the application. */
      if (un32MsgId == VQCMC_MSG_CMD_CALL_LEG_CREATE) TakeMappingId(pCtx, pLeg, *phMsg);
      VqCmcLegMsgHandlePost(pCtx, pLeg, phMsg);
    } else {
      VQCMC_TRACE_UNHANDLED(pCtx, kOp, "Unhandle Message MsgId:0x%X on LegId:0x%08x", un32MsgId, un32LegId);
    }
  } else {
    switch (pRow->act) {
      case Act::Enter:
        VQCMC_TRACE(pCtx, 0, kOp, "STATE_ENTER");
        if (un32HandlerState == VQCMC_LIB_STATE_CLEG_UNSYNCED) VqCmcLegMsgPostNotifLegSyncLost(pCtx, pLeg);
        if (un32HandlerState == VQCMC_LIB_STATE_CLEG_TERMINATED) VqCmcLegMsgPostNotifLegTerm(pCtx, pLeg);
        break;
      case Act::Timeout:
      case Act::TimeoutFlag:
        VQCMC_TRACE(pCtx, 0, kOp, "TIMEOUT 0x%08X", un32LegId);
        if (pRow->act == Act::TimeoutFlag) pLeg->un8Flags |= VQCMC_ENTITY_FLAG_TIMEOUT;
        break;
      case Act::SyncLeg:
      case Act::Sync:
        VQCMC_TRACE(pCtx, 0, kOp, pRow->act == Act::Sync ? "SYNC 0x%08X" : "SYNC LEG 0x%08X", un32LegId);
        VqCmcLegMsgPostNotifLegSync(pCtx, pLeg, *phMsg);
        if (pRow->act == Act::Sync) pLeg->un8Flags |= VQCMC_ENTITY_FLAG_SYNCED;
        break;
    }
    Free(pCtx, phMsg);
  }
  VqCmcLegStateCheck(pCtx, pHost, pLeg);
}

void VqCmcLegStateInit(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pLeg, VQX_MSG_HANDLE* phMsg) {
  Handle(pCtx, pHost, pLeg, phMsg, VQCMC_LIB_STATE_INIT);
}
void VqCmcLegStateReady(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pLeg, VQX_MSG_HANDLE* phMsg) {
  Handle(pCtx, pHost, pLeg, phMsg, VQCMC_LIB_STATE_READY);
}
void VqCmcLegStateNotReady(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pLeg,
                           VQX_MSG_HANDLE* phMsg) {
  Handle(pCtx, pHost, pLeg, phMsg, VQCMC_LIB_STATE_NOT_READY);
}
void VqCmcLegStateUnSynced(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pLeg,
                           VQX_MSG_HANDLE* phMsg) {
  Handle(pCtx, pHost, pLeg, phMsg, VQCMC_LIB_STATE_CLEG_UNSYNCED);
}
void VqCmcLegStateTerminated(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pLeg,
                             VQX_MSG_HANDLE* phMsg) {
  Handle(pCtx, pHost, pLeg, phMsg, VQCMC_LIB_STATE_CLEG_TERMINATED);
}

}  // namespace

VQX_RESULT VqCmcLegStateChange(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pLeg, u32 un32NewState) {
  static const char* kChange = "VqCmcLegStateChange";
  VQCMC_TRACE(pCtx, 0, kChange, "0x%08X StateChange (%s -> %s)", pLeg->Params.EntityId, VqCmcStateName(pLeg->CurrState),
              VqCmcStateName(un32NewState));
  const u64 un64Index = pHost != nullptr ? pHost->un32PoolIndex : 0;
  pLeg->CurrState = un32NewState;
  pLeg->un8Flags &= static_cast<u8>(~(VQCMC_ENTITY_FLAG_TIMEOUT | VQCMC_ENTITY_FLAG_SYNCED));
  pLeg->StateTimer.un32MsgId = VQCMC_PRIV_LEG_TIMEOUT;
  pLeg->un32NbPendingRequests = 0;
  pLeg->StateTimer.un64Key = (un64Index << 32) | pLeg->Params.EntityId;
  pLeg->pFctStateHandler = VqCmcLegStateNotReady;
  u32 un32PeriodMs = VQCMC_TIMER_DISARMED;
  switch (un32NewState) {
    case VQCMC_LIB_STATE_INIT:
      pLeg->pFctStateHandler = VqCmcLegStateInit;
      break;
    case VQCMC_LIB_STATE_READY:
      pLeg->pFctStateHandler = VqCmcLegStateReady;
      break;
    case VQCMC_LIB_STATE_NOT_READY:
      break;
    case VQCMC_LIB_STATE_CLEG_UNSYNCED:
      pLeg->pFctStateHandler = VqCmcLegStateUnSynced;
      un32PeriodMs = VQCMC_LEG_UNSYNCED_MS;
      break;
    case VQCMC_LIB_STATE_CLEG_TERMINATED:
      pLeg->pFctStateHandler = VqCmcLegStateTerminated;
      break;
    default:
      VQCMC_ERR(pCtx, kChange, VQX_RESULT_INVALID_STATE, "Unk New State 0x%X", un32NewState);
      break;
  }
  /* Leg timeouts are armed with 0xFFFFFFFF: they reach whatever state the leg is in. */
  if (VQX_RESULT_FAILED(VqCmcStateSetTimeout(pCtx, &pLeg->StateTimer, VQCMC_TIMER_DISARMED, un32PeriodMs))) {
    VQCMC_ERR(pCtx, kChange, VQX_RESULT_FAIL, "VqCmcStateSetTimeout Failed");
  }
  const VQX_RESULT result = VqCmcMsgEntryRun(pCtx, VQCMC_PRIV_LEG_STATE_ENTER, pLeg->StateTimer.un64Key,
                                             [&](VQX_MSG_HANDLE* phEnter) {
                                               pLeg->pFctStateHandler(pCtx, pHost, pLeg, phEnter);
                                             });
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kChange, result, "VqCmcMsgPrivateAllocHandle Failed");
    return result;
  }
  return VQX_RESULT_OK;
}

void VqCmcLegStateCheck(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pLeg) {
  if ((pLeg->un8Flags & VQCMC_ENTITY_FLAG_TIMEOUT) != 0) {
    pLeg->un32NbPendingRequests = 0;
  } else if (pLeg->un32NbPendingRequests != 0) {
    return; /* requests sent in this state are outstanding */
  }
  VQX_RESULT result = VQX_RESULT_OK;
  if (pLeg->CurrState == VQCMC_LIB_STATE_INIT) {
    result = VqCmcLegStateChange(pCtx, pHost, pLeg, VQCMC_LIB_STATE_READY);
  } else if (pLeg->CurrState == VQCMC_LIB_STATE_CLEG_UNSYNCED) {
    /* Synchronisation wins over a timeout of the same turn: Ready clears both flags. */
    if ((pLeg->un8Flags & VQCMC_ENTITY_FLAG_SYNCED) != 0)
      result = VqCmcLegStateChange(pCtx, pHost, pLeg, VQCMC_LIB_STATE_READY);
    if (VQX_RESULT_SUCCEEDED(result) && (pLeg->un8Flags & VQCMC_ENTITY_FLAG_TIMEOUT) != 0) {
      result = VqCmcLegStateChange(pCtx, pHost, pLeg, VQCMC_LIB_STATE_CLEG_TERMINATED);
    }
  }
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, kOp, result, "VqCmcLegStateChange Failed");
}
