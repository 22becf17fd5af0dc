/*
 * vqcmc_lib_mixer_state.cpp - the mixer state machine: Init (left for Ready
 * by the state check at once), Ready (server traffic goes on to the
 * application; the create response binds the mapping id), Not ready (also
 * every unknown state number), Cmixer unsynced (10000 ms timer; SYNC_LOST
 * on entry; re-claimed by NotifMixerSync, else terminated), Cmixer
 * terminated (MIXER_TERMINATED on entry). The states differ only in the
 * row of one table; one handler reads it. Entries run synchronously inside
 * the state change, so a handler may change state again before it returns.
 * Runs with hThreadSem held.
 */
#include <iterator>

#include "vqcmc_lib_mixer_internal.h"
#include "vqcmc_payloads.h"

namespace {

enum class OnEnter : u8 { Trace, SyncLost, Terminated };
enum class OnSync : u8 { Leave, Post, PostAndSynced };

struct StateRow {
  u32 un32State;
  const char* pszHandler;
  u32 un32PeriodMs;
  OnEnter Enter;
  bool fTimeoutHandled; /* TIMEOUT traced and freed (else left in the handle) */
  bool fTimeoutFlags;   /* ... and it sets VQCMC_ENTITY_FLAG_TIMEOUT */
  OnSync Sync;
  bool fDelivers; /* server traffic goes to the application */
};

constexpr StateRow kStates[] = {
    {VQCMC_LIB_STATE_INIT, "VqCmcMixerStateInit", VQCMC_TIMER_DISARMED, OnEnter::Trace, true, true, OnSync::Leave,
     false},
    {VQCMC_LIB_STATE_READY, "VqCmcMixerStateReady", VQCMC_TIMER_DISARMED, OnEnter::Trace, true, false, OnSync::Post,
     true},
    {VQCMC_LIB_STATE_NOT_READY, "VqCmcMixerStateNotReady", VQCMC_TIMER_DISARMED, OnEnter::Trace, true, false,
     OnSync::Leave, false},
    {VQCMC_LIB_STATE_CMIXER_UNSYNCED, "VqCmcMixerStateUnSynced", VQCMC_MIXER_UNSYNCED_MS, OnEnter::SyncLost, true, true,
     OnSync::PostAndSynced, false},
    {VQCMC_LIB_STATE_CMIXER_TERMINATED, "VqCmcMixerStateTerminated", VQCMC_TIMER_DISARMED, OnEnter::Terminated, false,
     false, OnSync::Leave, false},
};
constexpr size_t kNotReadyRow = 2;

void Free(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE* phMsg) { VqCmcMsgFreeHandle(pCtx, phMsg); }

/* The create response names the server's id of the mixer: the first non-zero one is bound. */
void BindMappingId(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pMixer, VQX_MSG_HANDLE hMsg) {
  u32 un32MappingId = 0;
  if (pMixer->MappingId != 0 || !VqCmcMsgReadU32(hMsg, 8, &un32MappingId) || un32MappingId == 0) return;
  pMixer->MappingId = un32MappingId;
  VqCmcLibEntityInsertMapId(pCtx, un32MappingId, pMixer);
}

void Handle(const StateRow& row, VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pMixer,
            VQX_MSG_HANDLE* phMsg) {
  const u32 un32MsgId = (*phMsg)->un32MsgId;
  const u32 un32MixerId = pMixer->Params.EntityId;
  if (un32MsgId == VQCMC_PRIV_MIXER_STATE_ENTER) {
    VQCMC_TRACE(pCtx, 0, row.pszHandler, "STATE_ENTER");
    if (row.Enter == OnEnter::SyncLost) VqCmcMixerMsgPostNotifMixerSyncLost(pCtx, pMixer);
    if (row.Enter == OnEnter::Terminated) VqCmcMixerMsgPostNotifMixerTerm(pCtx, pMixer);
    Free(pCtx, phMsg);
  } else if (un32MsgId == VQCMC_PRIV_MIXER_TIMEOUT && row.fTimeoutHandled) {
    VQCMC_TRACE(pCtx, 0, row.pszHandler, "TIMEOUT 0x%08X", un32MixerId);
    if (row.fTimeoutFlags) pMixer->un8Flags |= VQCMC_ENTITY_FLAG_TIMEOUT;
    Free(pCtx, phMsg);
  } else if (un32MsgId == VQCMC_SRV_NOTIF_MIXER_SYNC && row.Sync != OnSync::Leave) {
    VQCMC_TRACE(pCtx, 0, row.pszHandler, row.Sync == OnSync::Post ? "SYNC MIXER 0x%08X" : "SYNC 0x%08X", un32MixerId);
    VqCmcMixerMsgPostNotifMixerSync(pCtx, pMixer, *phMsg);
    if (row.Sync == OnSync::PostAndSynced) pMixer->un8Flags |= VQCMC_ENTITY_FLAG_SYNCED;
    Free(pCtx, phMsg);
  } else if (row.fDelivers && un32MsgId != VQCMC_PRIV_MIXER_TIMEOUT) {
    if (un32MsgId == VQCMC_MSG_CMD_MIXER_CREATE) BindMappingId(pCtx, pMixer, *phMsg);
    VqCmcMixerMsgHandlePost(pCtx, pMixer, phMsg);
  }
  if (*phMsg != nullptr) {
    VQCMC_TRACE_UNHANDLED(pCtx, row.pszHandler, "Unhandle Message MsgId:0x%X on MixerId:0x%08x", un32MsgId,
                          un32MixerId);
  }
  VqCmcMixerStateCheck(pCtx, pHost, pMixer);
}

template <size_t I>
void StateHandler(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pMixer, VQX_MSG_HANDLE* phMsg) {
  Handle(kStates[I], pCtx, pHost, pMixer, phMsg);
}
constexpr PFCT_VQCMC_ENTITY_STATE kHandlers[] = {StateHandler<0>, StateHandler<1>, StateHandler<2>, StateHandler<3>,
                                                 StateHandler<4>};
static_assert(std::size(kHandlers) == std::size(kStates));

}  // namespace

VQX_RESULT VqCmcMixerStateChange(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pMixer,
                                 u32 un32NewState) {
  static const char* kOp = "VqCmcMixerStateChange";
  VQCMC_TRACE(pCtx, 0, kOp, "MixerId 0x%08X StateChange (%s -> %s)", pMixer->Params.EntityId,
              VqCmcStateName(pMixer->CurrState), VqCmcStateName(un32NewState));
  const u32 un32HostIndex = pHost != nullptr ? pHost->un32PoolIndex : 0;
  pMixer->CurrState = un32NewState;
  pMixer->un8Flags &= static_cast<u8>(~(VQCMC_ENTITY_FLAG_TIMEOUT | VQCMC_ENTITY_FLAG_SYNCED));
  pMixer->un32NbPendingRequests = 0;
  pMixer->StateTimer.un32MsgId = VQCMC_PRIV_MIXER_TIMEOUT;
  pMixer->StateTimer.un64Key = (static_cast<u64>(un32HostIndex) << 32) | pMixer->Params.EntityId;
  size_t nRow = 0;
  while (nRow < std::size(kStates) && kStates[nRow].un32State != un32NewState) nRow++;
  u32 un32PeriodMs = VQCMC_TIMER_DISARMED;
  if (nRow == std::size(kStates)) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_INVALID_STATE, "Unk New State 0x%X", un32NewState);
    nRow = kNotReadyRow;
  } else {
    un32PeriodMs = kStates[nRow].un32PeriodMs;
  }
  pMixer->pFctStateHandler = kHandlers[nRow];
  if (VQX_RESULT_FAILED(VqCmcStateSetTimeout(pCtx, &pMixer->StateTimer, VQCMC_TIMER_DISARMED, un32PeriodMs))) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_FAIL, "VqCmcStateSetTimeout Failed");
  }
  const VQX_RESULT result = VqCmcMsgEntryRun(pCtx, VQCMC_PRIV_MIXER_STATE_ENTER, pMixer->StateTimer.un64Key,
                                             [&](VQX_MSG_HANDLE* phEnter) {
                                               pMixer->pFctStateHandler(pCtx, pHost, pMixer, phEnter);
                                             });
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kOp, result, "VqCmcMsgPrivateAllocHandle Failed");
    return result;
  }
  return VQX_RESULT_OK;
}

void VqCmcMixerStateCheck(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost, _VQCMC_ENTITY_CTX* pMixer) {
  if ((pMixer->un8Flags & VQCMC_ENTITY_FLAG_TIMEOUT) != 0) {
    pMixer->un32NbPendingRequests = 0;
  } else if (pMixer->un32NbPendingRequests != 0) {
    return;
  }
  if (pMixer->CurrState == VQCMC_LIB_STATE_INIT) {
    VqCmcMixerStateChange(pCtx, pHost, pMixer, VQCMC_LIB_STATE_READY);
  } else if (pMixer->CurrState == VQCMC_LIB_STATE_CMIXER_UNSYNCED) {
    if ((pMixer->un8Flags & VQCMC_ENTITY_FLAG_SYNCED) != 0) {
      VqCmcMixerStateChange(pCtx, pHost, pMixer, VQCMC_LIB_STATE_READY);
    }
    if ((pMixer->un8Flags & VQCMC_ENTITY_FLAG_TIMEOUT) != 0) {
      VqCmcMixerStateChange(pCtx, pHost, pMixer, VQCMC_LIB_STATE_CMIXER_TERMINATED);
    }
  }
}
