/*
 * vqx_rx_thread.cpp - the library's receive thread: feeds the filters that
 * have a message-received callback, sends what the callbacks hand back, and
 * re-sorts the exclusive claims once a second. What a callback hands back
 * and the send refuses is kept with its filter when its owner asked
 * (VQXKeepSendRefusals), else freed.
 *
 * The thread runs under the library lock except while it calls back or
 * sleeps. While callbacks run, code that changes or destroys a callback
 * filter waits (VqxWaitNoMorePostingToFilters), so a callback never sees its
 * filter vanish under it; a callback may still change or destroy its own
 * filter, because the wait is skipped on this thread.
 */
#include <pthread.h>
#include <time.h>

#include <new>

#include "vqx_clock.h"
#include "filter/vqx_filter_internal.h"

namespace {

struct VQX_RX_SERVED {
  VQX_FILTER* pFilter;
  PFCT_VQX_FILTER_MSG_RECEIVED pFct;
  void* pvContext;
  u32 un32Count;
};

struct VQX_RX_THREAD {
  VQX_THREAD_RECORD Thread;
  std::atomic<u32> fRunning;
  VQX_EVENT* pEvent;
  u64 un64LastSort;
  VQX_RX_SERVED aServed[VQX_RX_THREAD_MAX_FILTERS];
  VQX_MSG_HANDLE aahMsg[VQX_RX_THREAD_MAX_FILTERS][VQX_MAX_MSG_PER_RECEIVE_LOOP];
  /* What one callback handed back and the send refused, on its way to its filter (VQXKeepSendRefusals). */
  VQX_MSG_HANDLE ahRefused[VQX_MAX_MSG_PER_RECEIVE_LOOP];
  VQX_RESULT aRefusedResult[VQX_MAX_MSG_PER_RECEIVE_LOOP];
  VQX_SEND_REFUSALS Refused;
};

/* The refusals of one filter's hand-back, kept with it when it still wants them (known, keeping), else freed. */
void VqxRxKeepRefused(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, VQX_SEND_REFUSALS& r) {
  const bool fKeep = VqxFilterIsKnown(hLib, pFilter) && pFilter->fKeepRefusals != 0 && pFilter->pRefused != nullptr;
  for (u32 i = 0; i < r.un32Count; i++) {
    VQX_MSG_HANDLE hMsg = r.pahMsg[i];
    r.pahMsg[i] = nullptr;
    try {
      if (fKeep) {
        pFilter->pRefused->emplace_back(hMsg, r.paResult[i]);
        continue;
      }
    } catch (const std::bad_alloc&) {
      VQX_LOG_V(hLib, 0, "VqxRxThread: %s\n", "no memory to keep a refused message for its filter: freed");
    }
    VqxMsgReleaseInternal(hLib, hMsg);
  }
  r.un32Count = 0;
}

std::atomic<PFCT_VQX_RX_PERIODIC> s_pFctRxPeriodic{nullptr};

VQX_RX_THREAD* VqxRx(VQX_LIB_HANDLE hLib) { return static_cast<VQX_RX_THREAD*>(VqxLib(hLib)->pvRxThread); }

/* Picks up to 8 callback filters with messages or an elapsed idle period. */
u32 VqxRxCollect(VQX_LIB_HANDLE hLib, VQX_RX_THREAD* pRx) {
  VQX_LIB* pLib = VqxLib(hLib);
  const u64 un64Now = VQXGetClock();
  u32 n = 0;
  for (VQX_FILTER* pFilter = VqxFilterLib(hLib)->pActiveFirst; pFilter != nullptr && n < VQX_RX_THREAD_MAX_FILTERS;
       pFilter = pFilter->pNext) {
    const _VQX_FILTER_CALLBACK_PARAMS& cb = pFilter->Callbacks;
    if (cb.pFctFilterMsgReceived == nullptr) continue;
    const bool fIdle = cb.un32PostingDelayMs != 0 && un64Now - pFilter->un64LastCallbackTick >= cb.un32PostingDelayMs;
    if (pFilter->un32Count == 0 && !fIdle) continue;
    u32 un32Taken = 0;
    const u32 un32Max = cb.un32FilterMaxMsgPerCallback == 0 ? 1u : cb.un32FilterMaxMsgPerCallback;
    while (un32Taken < un32Max) {
      VQX_MSG_HANDLE hMsg = VqxFilterPop(hLib, pFilter, 1);
      if (hMsg == nullptr) break;
      if (VqxDebugActive(hLib)) {
        VqxDebugAddMsg(hLib, hMsg, pFilter->fCreationSiteKnown ? pFilter->pszFile : __FILE__,
                       pFilter->fCreationSiteKnown ? pFilter->un32Line : __LINE__);
      }
      pRx->aahMsg[n][un32Taken++] = hMsg;
    }
    pLib->Counters.RxMsgConsumedByApp += un32Taken;
    if (pFilter->un32Count == 0) VqxEventClear(pFilter->pEvent);
    if (un32Taken != 0) {
      pFilter->un64LastReadTick = un64Now;
      pFilter->un64RxCallsWithMsg++;
    }
    pFilter->un64LastCallbackTick = un64Now;
    pRx->aServed[n++] = VQX_RX_SERVED{pFilter, cb.pFctFilterMsgReceived, cb.pvFilterMsgReceivedContext, un32Taken};
  }
  return n;
}

u32 VqxRxThreadMain(void* pvArg) {
  VQX_LIB_HANDLE hLib = static_cast<VQX_LIB_HANDLE>(pvArg);
  VQX_RX_THREAD* pRx = VqxRx(hLib);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  while (pRx->fRunning.load()) {
    VQX_FILTER_LIB* pFl = VqxFilterLib(hLib);
    const u32 n = pFl != nullptr ? VqxRxCollect(hLib, pRx) : 0;
    if (n != 0) {
      pFl->fPostingInProgress = 1;
      pFl->PostingThread = pthread_self();
      const u32 un32Levels = VqxHostLibLockReleaseAll(hLib);
      for (u32 i = 0; i < n; i++) {
        VQX_RX_SERVED& s = pRx->aServed[i];
        s.pFct(s.pvContext, hLib, s.pFilter, &s.un32Count, pRx->aahMsg[i]);
        if (s.un32Count > VQX_MAX_MSG_PER_RECEIVE_LOOP) s.un32Count = VQX_MAX_MSG_PER_RECEIVE_LOOP;
      }
      VqxHostLibLockRetake(hLib, un32Levels);
      pFl->fPostingInProgress = 0;
      for (u32 i = 0; i < n; i++) {
        VQX_FILTER* pFilter = pRx->aServed[i].pFilter;
        const bool fKeep = VqxFilterIsKnown(hLib, pFilter) && pFilter->fKeepRefusals != 0;
        VQX_SEND_REFUSALS* pBefore = VQXSetThreadSendRefusals(fKeep ? &pRx->Refused : nullptr);
        for (u32 k = 0; k < pRx->aServed[i].un32Count; k++) {
          VQX_MSG_HANDLE hMsg = pRx->aahMsg[i][k];
          pRx->aahMsg[i][k] = nullptr;
          if (hMsg == nullptr) continue;
          if (VqxDebugActive(hLib) && !VqxDebugTakeBackMsg(hLib, hMsg, __FILE__, __LINE__)) continue;
          VqxMsgSend(hLib, hMsg, nullptr);
        }
        VQXSetThreadSendRefusals(pBefore);
        /* A send may have waited with the lock given up: the filter is looked at again. */
        if (pRx->Refused.un32Count != 0) VqxRxKeepRefused(hLib, pFilter, pRx->Refused);
      }
      continue;
    }
    const u64 un64Now = VQXGetClock();
    if (pFl != nullptr && un64Now - pRx->un64LastSort >= VQX_EXCL_SORT_PERIOD_MS) {
      VqxMsgSortExclusiveFilters(hLib);
      pRx->un64LastSort = un64Now;
    }
    u32 un32Sleep = pFl != nullptr ? pFl->un32PostingDelayMs : 0;
    if (un32Sleep == 0 || un32Sleep > VQX_RX_THREAD_MAX_SLEEP_MS) un32Sleep = VQX_RX_THREAD_MAX_SLEEP_MS;
    if (PFCT_VQX_RX_PERIODIC pFctPeriodic = s_pFctRxPeriodic.load()) {
      const u32 un32Cap = pFctPeriodic(hLib);
      if (un32Cap != 0 && un32Cap < un32Sleep) un32Sleep = un32Cap;
      if (!pRx->fRunning.load()) break;
    }
    if (un32Sleep < VQX_RX_THREAD_MIN_SLEEP_MS) un32Sleep = VQX_RX_THREAD_MIN_SLEEP_MS;
    VqxEventClear(pRx->pEvent);
    const u32 un32Levels = VqxHostLibLockReleaseAll(hLib);
    VqxEventWait(pRx->pEvent, un32Sleep);
    VqxHostLibLockRetake(hLib, un32Levels);
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return 0;
}

}  // namespace

VQX_RESULT VqxRxThreadInit(VQX_LIB_HANDLE hLib) {
  VQX_RX_THREAD* pRx = new (std::nothrow) VQX_RX_THREAD{};
  if (pRx == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  if (VQX_RESULT_FAILED(VqxEventCreate(&pRx->pEvent))) {
    delete pRx;
    return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  }
  pRx->fRunning.store(1);
  pRx->un64LastSort = VQXGetClock();
  pRx->Refused = VQX_SEND_REFUSALS{pRx->ahRefused, pRx->aRefusedResult, VQX_MAX_MSG_PER_RECEIVE_LOOP, 0};
  VqxLib(hLib)->pvRxThread = pRx;
  const VQX_THREAD_PARAMS params = {"vqx_rx", 1048576u, 0};
  const VQX_RESULT result = VqxThreadCreate(&pRx->Thread, VqxRxThreadMain, hLib, &params);
  if (VQX_RESULT_FAILED(result)) {
    VqxLib(hLib)->pvRxThread = nullptr;
    VqxEventFree(pRx->pEvent);
    delete pRx;
    return result;
  }
  return VQX_RESULT_API_OK;
}

void VqxRxThreadUninit(VQX_LIB_HANDLE hLib) {
  VQX_RX_THREAD* pRx = VqxRx(hLib);
  if (pRx == nullptr) return;
  pRx->fRunning.store(0);
  VqxEventSetNow(pRx->pEvent);
  const u32 un32Levels = VqxHostLibLockReleaseAll(hLib);
  VqxThreadJoin(&pRx->Thread, nullptr);
  VqxHostLibLockRetake(hLib, un32Levels);
  VqxLib(hLib)->pvRxThread = nullptr;
  VqxEventFree(pRx->pEvent);
  delete pRx;
}

void VqxHostLibSetRxPeriodic(PFCT_VQX_RX_PERIODIC pFct) { s_pFctRxPeriodic.store(pFct); }

void VqxFilterKeepRefusals(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, u32 fKeep) {
  pFilter->fKeepRefusals = fKeep != 0 ? 1u : 0u;
  if (fKeep != 0 || pFilter->pRefused == nullptr) return;
  for (const auto& [hMsg, result] : *pFilter->pRefused) VqxMsgReleaseInternal(hLib, hMsg);
  delete pFilter->pRefused;
  pFilter->pRefused = nullptr;
}

VQX_RESULT VQXKeepSendRefusals(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 fKeep) {
  if (hLib == nullptr) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_RESULT result = VQX_RESULT_API_INVALID_FIL_HANDLE;
  if (VqxFilterIsKnown(hLib, hFilter)) {
    result = VQX_RESULT_API_OK;
    if (fKeep != 0 && hFilter->pRefused == nullptr) {
      hFilter->pRefused = new (std::nothrow) std::deque<std::pair<VQX_MSG_HANDLE, VQX_RESULT>>();
      if (hFilter->pRefused == nullptr) result = VQX_RESULT_API_NOT_ENOUGH_MEMORY;
    }
    if (VQX_RESULT_SUCCEEDED(result)) VqxFilterKeepRefusals(hLib, hFilter, fKeep);
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXTakeSendRefusals(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, VQX_SEND_REFUSALS* pRefusals) {
  if (hLib == nullptr) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  if (pRefusals == nullptr) return VQX_RESULT_API_NULL_PARAM;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  const bool fKnown = VqxFilterIsKnown(hLib, hFilter);
  if (fKnown && hFilter->pRefused != nullptr) {
    auto& kept = *hFilter->pRefused;
    while (!kept.empty() && pRefusals->un32Count < pRefusals->un32Max) {
      pRefusals->pahMsg[pRefusals->un32Count] = kept.front().first;
      pRefusals->paResult[pRefusals->un32Count++] = kept.front().second;
      kept.pop_front();
    }
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return fKnown ? VQX_RESULT_API_OK : VQX_RESULT_API_INVALID_FIL_HANDLE;
}

void VqxRxThreadKick(VQX_LIB_HANDLE hLib) {
  VQX_RX_THREAD* pRx = VqxRx(hLib);
  if (pRx != nullptr) VQX_HOSTLIB_EVENT_SET(hLib, pRx->pEvent);
}

void VqxWaitNoMorePostingToFilters(VQX_LIB_HANDLE hLib) {
  VQX_FILTER_LIB* pFl = VqxFilterLib(hLib);
  while (pFl->fPostingInProgress && !pthread_equal(pFl->PostingThread, pthread_self())) {
    const u32 un32Levels = VqxHostLibLockReleaseAll(hLib);
    struct timespec ts = {0, 1000000};
    nanosleep(&ts, nullptr);
    VqxHostLibLockRetake(hLib, un32Levels);
  }
}

void VqxCalculateMsgPostingThreadDelay(VQX_LIB_HANDLE hLib) {
  VQX_FILTER_LIB* pFl = VqxFilterLib(hLib);
  u32 un32Delay = 0;
  for (VQX_FILTER* pFilter = pFl->pActiveFirst; pFilter != nullptr; pFilter = pFilter->pNext) {
    const _VQX_FILTER_CALLBACK_PARAMS& cb = pFilter->Callbacks;
    if (cb.pFctFilterMsgReceived == nullptr || cb.un32PostingDelayMs == 0) continue;
    if (un32Delay == 0 || cb.un32PostingDelayMs < un32Delay) un32Delay = cb.un32PostingDelayMs;
  }
  pFl->un32PostingDelayMs = un32Delay;
  if (un32Delay != 0) VqxRxThreadKick(hLib);
}
