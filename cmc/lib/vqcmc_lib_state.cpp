/*
 * vqcmc_lib_state.cpp - the intake (the host library's receive callback),
 * the send queue and the state-machine timers.
 *
 * The intake runs on the host library's receive thread, once per batch of
 * up to 256 messages and at least every 50 ms. Each call polls the timers
 * (at most every 100 ms), ends the syncs that may end, answers the commands
 * the host library refused to send (vqcmc_lib_refused.cpp), routes each
 * message to its server, runs the single-thread jobs, and hands back what
 * the library queued for sending.
 *
 * Timers are periodic once armed. A poll re-arms every expired record before
 * it signals any: a failed signal then leaves no record unarmed, and the
 * record is set due at once so that the next poll signals it again.
 */
#include <cstdlib>
#include <iterator>
#include <vector>

#include "vqcmc_lib_internal.h"

namespace {

const char* const s_apszStateNames[] = {"Init",          "Ready",         "Not ready",       "Host removed",
                                        "Host dead",     "Cleg unsynced", "Cleg terminated", "Cleg destroy",
                                        "Cmixer unsynced", "Cmixer terminated", "Cmixer destroy"};

VQX_RESULT Signal(VQCMC_LIB_CTX* pCtx, _VQCMC_TIMER* pTimer) {
  if (pTimer->pFctExpiry != nullptr) {
    pTimer->pFctExpiry(pCtx, pTimer->un64ExpiryArg);
    return VQX_RESULT_OK;
  }
  return VqCmcMsgPrivateSend(pCtx, pTimer->un32MsgId, pTimer->un64Key, pTimer->un32State, nullptr);
}

/* One message of the intake, once the job pool has room for what it posts: to its server's machine, released when
 * left there. */
void IntakeOne(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE hMsg) {
  VqCmcThreadWaitForRoom(pCtx);
  const u32 un32Id = hMsg->un32MsgId;
  if (un32Id < VQCMC_HL_FIRST_IGNORED || un32Id > VQCMC_HL_LAST_IGNORED) {
    const VQX_RESULT result = VqCmcHostMsgHandle(pCtx, &hMsg);
    if (VQX_RESULT_FAILED(result)) VQCMC_RED(pCtx, "VqCmcMsgReceived", "VqCmcHostMsgHandle Failed 0x%X", result);
    if (hMsg != nullptr) VQCMC_TRACE_UNHANDLED(pCtx, "VqCmcMsgReceived", "Unhandle Message MsgId:0x%X", un32Id);
  }
  if (hMsg != nullptr) VqCmcMsgFreeHandle(pCtx, &hMsg);
}

}  // namespace

const char* VqCmcStateName(u32 un32State) {
  return un32State < std::size(s_apszStateNames) ? s_apszStateNames[un32State] : "Unknown";
}

VQX_RESULT VqCmcStateMachineLaunch(VQCMC_LIB_CTX* pCtx) {
  if (pCtx->Seams.fNoIntake) return VQX_RESULT_OK;
  _VQX_FILTER_CALLBACK_PARAMS cb{};
  cb.pFctFilterMsgReceived = VqCmcMsgReceived;
  cb.pvFilterMsgReceivedContext = pCtx;
  cb.un32PostingDelayMs = VQCMC_INTAKE_IDLE_MS;
  cb.un32FilterMaxMsgPerCallback = VQCMC_INTAKE_MAX_MSGS;
  VQX_RESULT result = VQXModifyMsgFilterDbg(pCtx->hVqxLib, pCtx->hFilter, 0, nullptr, &cb, __FILE__, __LINE__);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, "VqCmcStateMachineLaunch", result, "Failed to attach message reception function to hostlib filter.");
    return result;
  }
  /* What the intake hands back and the host library refuses comes back to it, answered at the next intake. */
  result = VQXKeepSendRefusals(pCtx->hVqxLib, pCtx->hFilter, 1);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, "VqCmcStateMachineLaunch", result, "VQXKeepSendRefusals Failed");
  return result;
}

void VqCmcStateMachineStop(VQCMC_LIB_CTX* pCtx) {
  /*
   * First: a thread whose send waits for room (a server that stopped reading) may hold hThreadSem, which the intake
   * waits for, and the filter's change below waits for the intake. Its wait ends now, and the queue's last kick
   * below waits for no room either.
   */
  __atomic_store_n(&pCtx->fSendWaitsEnd, 1u, __ATOMIC_RELEASE);
  if (pCtx->hFilter != nullptr && !pCtx->Seams.fNoIntake) {
    _VQX_FILTER_CALLBACK_PARAMS cb{};
    VQXModifyMsgFilterDbg(pCtx->hVqxLib, pCtx->hFilter, 0, nullptr, &cb, __FILE__, __LINE__);
    VQXKeepSendRefusals(pCtx->hVqxLib, pCtx->hFilter, 0);
  }
  VqxMutexGet(pCtx->hThreadSem);
  const volatile u32* pfBefore = VQXSetThreadSendWaitEnd(&pCtx->fSendWaitsEnd);
  VqxApiCoalescingKickInternal(pCtx->hVqxLib, pCtx->pCoalescingQueue, __FILE__, __LINE__);
  VQXSetThreadSendWaitEnd(pfBefore);
  VqxMutexGive(pCtx->hThreadSem);
}

VQX_RESULT VqCmcSendMsg(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE hMsg) {
  /* Once stopped, no intake hands the queue to the host library: queued, it would only wait for the close. */
  if (pCtx->fStopped) {
    VqCmcMsgFreeHandle(pCtx, &hMsg);
    return VQX_RESULT_NOT_INITIALIZED;
  }
  if (pCtx->Seams.un32FailNextSends > 0) {
    pCtx->Seams.un32FailNextSends--;
    VqCmcMsgFreeHandle(pCtx, &hMsg);
    return VQX_RESULT_OUT_OF_RESOURCE;
  }
  /* A full queue is sent here, hThreadSem held: its wait for room ends once the library stops. What the host
     library refuses of it comes back, each command of the batch to be answered with its refusal. */
  const volatile u32* pfBefore = VQXSetThreadSendWaitEnd(&pCtx->fSendWaitsEnd);
  VQX_SEND_REFUSALS* pRefusalsBefore = VQXSetThreadSendRefusals(&pCtx->SendRefusals);
  const VQX_RESULT result =
      VqxApiCoalescingAddMsgInternal(pCtx->hVqxLib, pCtx->pCoalescingQueue, hMsg, __FILE__, __LINE__);
  VQXSetThreadSendRefusals(pRefusalsBefore);
  VQXSetThreadSendWaitEnd(pfBefore);
  VqCmcRefusalsTake(pCtx, &pCtx->SendRefusals);
  return result;
}

VQX_RESULT VqCmcStateSetTimeout(VQCMC_LIB_CTX* pCtx, _VQCMC_TIMER* pTimer, u32 un32State, u32 un32PeriodMs) {
  /* The wheel keeps fInUse: a timer it does not hold needs no search of its index. */
  if (pTimer->fInUse) VQXTimerRemove(pCtx->hTimer, pTimer);
  pTimer->un32PeriodMs = un32PeriodMs;
  pTimer->un32State = un32State;
  if (un32PeriodMs == VQCMC_TIMER_DISARMED) return VQX_RESULT_OK;
  return VQXTimerInsertNormalized(pCtx->hTimer, pCtx->un32CurrTimeMs + un32PeriodMs, pTimer, 0);
}

VQX_RESULT VqCmcStatePollTimeout(VQCMC_LIB_CTX* pCtx) {
  static const char* kOp = "VqCmcStatePollTimeout";
  pCtx->un32CurrTimeMs = VqCmcClockRead(pCtx);
  if (pCtx->un32CurrTimeMs - pCtx->un32LastPollMs <= VQCMC_TIMER_POLL_MIN_MS) return VQX_RESULT_OK;
  pCtx->un32LastPollMs = pCtx->un32CurrTimeMs;
  VqCmcLibEntityEventPollTimers(pCtx);
  u32 un32Count = 0;
  VQX_RESULT result = VQXTimerPoll(pCtx->hTimer, pCtx->un32CurrTimeMs, &un32Count, nullptr);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kOp, result, "Failed to poll timers");
    return result;
  }
  if (un32Count == 0) return VQX_RESULT_OK;
  void** apRecords = static_cast<void**>(malloc(sizeof(void*) * un32Count));
  if (apRecords == nullptr) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_OUT_OF_MEMORY, "Failed to alloate array of expired timers.");
    return VQX_RESULT_OUT_OF_MEMORY;
  }
  result = VQXTimerPoll(pCtx->hTimer, pCtx->un32CurrTimeMs, &un32Count, apRecords);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kOp, result, "Failed to poll timers.");
    free(apRecords);
    return result;
  }
  /* Re-arm them all first: whatever a signal does, no expired timer is left unarmed. */
  for (u32 i = 0; i < un32Count; i++) {
    _VQCMC_TIMER* pTimer = static_cast<_VQCMC_TIMER*>(apRecords[i]);
    if (VQX_RESULT_FAILED(
            VQXTimerInsertNormalized(pCtx->hTimer, pCtx->un32CurrTimeMs + pTimer->un32PeriodMs, pTimer, 0))) {
      VQCMC_RED(pCtx, kOp, "VqCmcStatePollTimeout: Failed to reinsert in timer list!");
    }
  }
  VQX_RESULT firstFailure = VQX_RESULT_OK;
  for (u32 i = 0; i < un32Count; i++) {
    _VQCMC_TIMER* pTimer = static_cast<_VQCMC_TIMER*>(apRecords[i]);
    /* An expiry function may disarm or re-arm later records; a disarmed one is not signalled. */
    if (pTimer->un32PeriodMs == VQCMC_TIMER_DISARMED || !pTimer->fInUse) continue;
    result = Signal(pCtx, pTimer);
    if (VQX_RESULT_FAILED(result)) {
      VQCMC_ERR(pCtx, kOp, result, "VqCmcMsgPrivateSend Failed");
      /* Due again at once: the next poll retries the signal. */
      VQXTimerRemove(pCtx->hTimer, pTimer);
      VQXTimerInsertNormalized(pCtx->hTimer, pCtx->un32CurrTimeMs, pTimer, 0);
      if (VQX_RESULT_SUCCEEDED(firstFailure)) firstFailure = result;
    }
  }
  free(apRecords);
  return firstFailure;
}

void VqCmcMsgReceived(void* pvCtx, VQX_LIB_HANDLE, VQX_FILTER_HANDLE, u32* pun32Count, VQX_MSG_HANDLE* pahMsg) {
  VQCMC_LIB_CTX* pCtx = static_cast<VQCMC_LIB_CTX*>(pvCtx);
  const u32 un32Received = *pun32Count;
  *pun32Count = 0;
  VqxMutexGet(pCtx->hThreadSem);
  VqCmcThreadDrainEnded(pCtx);
  VQX_RESULT result = VqCmcStatePollTimeout(pCtx);
  if (VQX_RESULT_FAILED(result)) VQCMC_RED(pCtx, "VqCmcMsgReceived", "VqCmcStatePollTimeout Failed 0x%X", result);
  if (pCtx->un32NbHostsResyncing != 0) {
    result = VqCmcStateTestReadyHosts(pCtx);
    if (VQX_RESULT_FAILED(result)) {
      VQCMC_RED(pCtx, "VqCmcMsgReceived", "VqCmcStateTestReadyHosts Failed 0x%X", result);
    }
  }
  /* The answers the library made to the commands the host library refused come first: they are older. */
  VqCmcRefusalsAnswer(pCtx, IntakeOne);
  for (u32 i = 0; i < un32Received; i++) {
    VQX_MSG_HANDLE hMsg = pahMsg[i];
    pahMsg[i] = nullptr;
    if (hMsg != nullptr) IntakeOne(pCtx, hMsg);
  }
  if (const u32 un32LeftOut = pCtx->UnhandledLines.TakeDue(pCtx->un32CurrTimeMs)) {
    VQCMC_TRACE(pCtx, 0, "VqCmcMsgReceived", "Unhandle Message: %u similar line(s) left out", un32LeftOut);
  }
  if (pCtx->hJobPool == nullptr) VqCmcThreadRunFifo(pCtx);
  VQCMC_TRACE(pCtx, 0, "VqCmcMsgReceived", "VqCmcMsgReceived");
  VqxApiCoalescingRetrieveMsgsToSend(pCtx->hVqxLib, pCtx->pCoalescingQueue, pun32Count, pahMsg);
  VqxMutexGive(pCtx->hThreadSem);
}
