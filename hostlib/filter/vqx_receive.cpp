/*
 * vqx_receive.cpp - the application side of filters: creation, change,
 * destruction, wake, flush and statistics, and the blocking receive and
 * wait calls.
 *
 * A reader blocks on its filter's event with the library lock released. The
 * event is cleared under the lock just before waiting, while the queue is
 * seen empty: every later post happens under the lock and sets the event
 * after its holder leaves, so a wake-up is never lost and a stale signal
 * never ends a wait early. Before it blocks, a reader polls a short while
 * (lock released) for the next post, which then needs no wake-up at all.
 */
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "filter/vqx_filter_internal.h"
#include "vqx_clock.h"

/* The send path towards peers, when linked: a reader about to block pushes what waits for the transport. */
#pragma weak VqxKickMsgSendToGwLib

namespace {

bool VqxMaskAllValid(u32 un32NbParams, const _VQX_FILTER_PARAMS* paParams) {
  for (u32 i = 0; i < un32NbParams; i++) {
    if (!VqxFilterMaskValid(paParams[i].un32Mask)) return false;
  }
  return true;
}

void VqxLogOp(VQX_LIB_HANDLE hLib, const char* pszOperation, const char* pszText) {
  VQX_LOG_V(hLib, 0, "%s: %s\n", pszOperation, pszText);
}

/* Frees the messages a receive call was asked to send before it could run. */
void VqxFreeToSend(VQX_LIB_HANDLE hLib, u32 un32Count, VQX_MSG_HANDLE* pahMsg) {
  for (u32 i = 0; i < un32Count && pahMsg != nullptr; i++) {
    if (pahMsg[i] != nullptr) VQXReleaseMsgEx(hLib, &pahMsg[i]);
  }
}

/* Consumes the pending wakes: their result, or 0 when none. */
VQX_RESULT VqxTakeWake(VQX_FILTER* pFilter) {
  if (pFilter->un32WakeCount == 0) return 0;
  pFilter->un32WakeCount = 0;
  const VQX_RESULT result = pFilter->WakeResult != 0 && pFilter->WakeResult != VQX_RESULT_API_OK
                                ? pFilter->WakeResult
                                : VQX_RESULT_API_FILTER_AWAKENED;
  pFilter->WakeResult = VQX_RESULT_API_OK;
  return result;
}

/* Longest a reader polls an empty queue (lock given up) before it sleeps on the filter's event. */
constexpr std::chrono::nanoseconds kVqxReaderPoll{50000};
/* Processor pauses between two looks at the filter while polling (each look may pull a line the poster writes). */
constexpr u32 VQX_READER_POLL_PAUSES = 64u;

/* Lock attempts of a reader that polled (some 100 us in all): a receive batch holds the lock a few microseconds. */
constexpr u32 VQX_READER_LOCK_SPIN_TRIES = 100u;
constexpr u32 VQX_READER_LOCK_SPIN_PAUSES = 64u;

/* Polling only pays when the poster can run meanwhile on another processor. */
bool VqxReaderMayPoll() {
  static const bool fMultiCpu = sysconf(_SC_NPROCESSORS_ONLN) > 1;
  return fMultiCpu;
}

/*
 * Spins (no lock held) until something happens on the filter or the time
 * passes. A poster that finds nobody blocked sets no event, so a reader
 * that catches the next post this way costs the poster no wake-up and
 * itself no sleep.
 */
void VqxPollFilter(const VQX_FILTER* pFilter, u32 un32Seen, std::chrono::nanoseconds maxPoll) {
  const auto t0 = std::chrono::steady_clock::now();
  for (u32 i = 1; VqxFilterActivity(pFilter) == un32Seen; i++) {
    for (u32 k = 0; k < VQX_READER_POLL_PAUSES; k++) VqxCpuRelax();
    if ((i & 3u) == 0 && std::chrono::steady_clock::now() - t0 >= maxPoll) return;
  }
}

/*
 * Waits (lock released) until the filter holds messages, a wake is pending,
 * the filter goes away, the library begins to close or the time-out passes:
 * a short poll first, then blocked on the event. Returns false when the
 * filter was destroyed or deactivated meanwhile (the record may then be
 * gone). Caller holds the lock.
 */
bool VqxWaitOnFilter(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, u32 un32TimeoutMs) {
  const u64 un64Deadline = VQXGetClock() + un32TimeoutMs;
  bool fPolled = !VqxReaderMayPoll();
  while (pFilter->un32Count == 0 && pFilter->un32WakeCount == 0 && un32TimeoutMs != 0 &&
         VqxLib(hLib)->fClosing.load() == 0) {
    u32 un32Wait = VQX_TIMEOUT_INFINITE;
    if (un32TimeoutMs != VQX_TIMEOUT_INFINITE) {
      const u64 un64Now = VQXGetClock();
      if (un64Now >= un64Deadline) break;
      un32Wait = static_cast<u32>(un64Deadline - un64Now);
    }
    pFilter->un32Inside++;
    if (!fPolled) {
      fPolled = true;
      const u32 un32Seen = VqxFilterActivity(pFilter);
      const std::chrono::nanoseconds maxPoll = std::min<std::chrono::nanoseconds>(
          kVqxReaderPoll, std::chrono::milliseconds(un32Wait));
      const u32 un32Levels = VqxHostLibLockReleaseAll(hLib);
      VqxPollFilter(pFilter, un32Seen, maxPoll);
      /* A post usually comes early in the poster's batch: wait longer for it to give the lock up. */
      VqxLibLockRetakeSpinning(hLib, un32Levels, VQX_READER_LOCK_SPIN_TRIES, VQX_READER_LOCK_SPIN_PAUSES);
    } else {
      VqxEventClear(pFilter->pEvent);
      pFilter->un32Waiters++;
      const u32 un32Levels = VqxHostLibLockReleaseAll(hLib);
      VqxEventWait(pFilter->pEvent, un32Wait);
      VqxFilterReaderWoken(pFilter);
      VqxLibLockRetakeSpinning(hLib, un32Levels);
      pFilter->un32Waiters--;
    }
    if (!VqxFilterReaderBack(hLib, pFilter)) return false;
  }
  return true;
}

}  // namespace

/*
 * The routine behind every receive: sends the given messages, then waits and
 * takes up to *pun32Count (in: capacity) messages. Used by the verifying twins.
 */
VQX_RESULT VqxMsgReceive(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, u32 un32NbToSend, VQX_MSG_HANDLE* pahToSend,
                         u32 un32TimeoutMs, u32* pun32Count, VQX_MSG_HANDLE* pahMsg) {
  VQX_LIB* pLib = VqxLib(hLib);
  const u32 un32Capacity = *pun32Count;
  *pun32Count = 0;
  const VqxReceiveCallScope receiving(hLib);
  /* Counted by the close while its sends may wait for room (those given, the filter's pending ones); the wait for
     messages that follows is not a send's. */
  std::optional<VqxSendCallScope> sending(std::in_place, hLib);
  VqxLibLockEnterSpinning(hLib);
  if (!VqxFilterIsKnown(hLib, pFilter) || pFilter->un32State != VQX_FILTER_STATE_ACTIVE) {
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
    VqxFreeToSend(hLib, un32NbToSend, pahToSend);
    VqxLogOp(hLib, "VqxMsgReceive", "VQX_RESULT_API_INVALID_FIL_HANDLE");
    return VQX_RESULT_API_INVALID_FIL_HANDLE;
  }
  bool fSent = false;
  for (u32 i = 0; i < un32NbToSend && pahToSend != nullptr; i++) {
    if (pahToSend[i] == nullptr) continue;
    VQX_MSG_HANDLE hMsg = pahToSend[i];
    pahToSend[i] = nullptr;
    VqxMsgSend(hLib, hMsg, nullptr);
    fSent = true;
  }
  if (un32TimeoutMs != 0 && !pFilter->fOwnerKnown) {
    pFilter->fOwnerKnown = 1;
    pFilter->OwnerThread = pthread_self();
  }
  if (pFilter->un32Count == 0) {
    const VQX_RESULT wake = VqxTakeWake(pFilter);
    if (wake != 0) {
      pFilter->un64RxCallsWithoutMsg++;
      VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
      return wake;
    }
    fSent = fSent || pFilter->hHeldFirst != nullptr;
    VqxFilterSendHeld(hLib, pFilter);
    if (VqxKickMsgSendToGwLib != nullptr) VqxKickMsgSendToGwLib(hLib, 0);
  }
  if (fSent && pLib->fClosing.load() != 0) {
    /* The library began to close while this call sent (a send waiting for room was let out, its message dropped):
       no wait on a filter the close frees. */
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
    VqxLogOp(hLib, "VqxMsgReceive", "VQX_RESULT_API_TXMSG_DROPPED (the library is closing)");
    return VQX_RESULT_API_TXMSG_DROPPED;
  }
  sending.reset();
  if (!VqxWaitOnFilter(hLib, pFilter, un32TimeoutMs)) {
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
    return VQX_RESULT_API_INVALID_FIL_HANDLE;
  }
  if (pLib->fClosing.load() != 0) {
    /* The close woke it: the filter goes with the library, as if destroyed under it. */
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
    VqxLogOp(hLib, "VqxMsgReceive", "VQX_RESULT_API_INVALID_FIL_HANDLE (the library is closing)");
    return VQX_RESULT_API_INVALID_FIL_HANDLE;
  }
  pFilter->un64LastReadTick = VQXGetClock();
  const u32 un32Taken = VqxFilterPopMany(hLib, pFilter, un32Capacity, 1, pahMsg);
  pLib->Counters.RxMsgConsumedByApp += un32Taken;
  if (pFilter->un32Count == 0) VqxEventClear(pFilter->pEvent);
  VQX_RESULT result = VQX_RESULT_API_OK;
  if (un32Taken == 0) {
    const VQX_RESULT wake = VqxTakeWake(pFilter);
    result = wake != 0 ? wake : VQX_RESULT_API_TIMEOUT;
    pFilter->un64RxCallsWithoutMsg++;
  } else {
    pFilter->un64RxCallsWithMsg++;
  }
  *pun32Count = un32Taken;
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

/* ------------------------------------------------------------ filters */

VQX_RESULT VQXCreateMsgFilterEx(VQX_LIB_HANDLE hLib, u32 un32NbParams, _VQX_FILTER_PARAMS* paParams,
                                VQX_FILTER_HANDLE* phFilter) {
  static const char* const kOp = "VQXCreateMsgFilter";
  if (hLib == nullptr) {
    fprintf(stderr, "%s: %s\n", kOp, "VQX_RESULT_API_INVALID_LIB_HANDLE");
    if (phFilter != nullptr) *phFilter = nullptr;
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  if (paParams == nullptr) {
    VqxLogOp(hLib, kOp, "in_aFilterParams is NULL");
    if (phFilter != nullptr) *phFilter = nullptr;
    return VQX_RESULT_API_NULL_PARAM;
  }
  if (phFilter == nullptr) {
    VqxLogOp(hLib, kOp, "out_phFilter is NULL");
    return VQX_RESULT_API_NULL_PARAM;
  }
  *phFilter = nullptr;
  if (un32NbParams == 0) {
    VqxLogOp(hLib, kOp, "No parameters in filter");
    return VQX_RESULT_API_INVALID_PARAM;
  }
  if (un32NbParams > VQX_FILTER_MAX_PARAMS) {
    VqxLogOp(hLib, kOp, "Too many parameters in filter");
    return VQX_RESULT_API_INVALID_PARAM;
  }
  if (!VqxMaskAllValid(un32NbParams, paParams)) {
    VqxLogOp(hLib, kOp, "Invalid filter mask");
    return VQX_RESULT_API_INVALID_PARAM;
  }
  /* Telling the boards and hosts of the filter may wait for room: counted by the close. */
  const VqxSendCallScope inside(hLib);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  if (VqxFilterLib(hLib) == nullptr) {
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
    VqxLogOp(hLib, kOp, "VQX_RESULT_API_NOT_INITIALIZED");
    return VQX_RESULT_API_NOT_INITIALIZED;
  }
  VQX_FILTER* pFilter = nullptr;
  VQX_RESULT result = VqxFilterCreate(hLib, un32NbParams, paParams, &pFilter);
  if (VQX_RESULT_SUCCEEDED(result)) {
    result = VqxFilterActivate(hLib, pFilter);
    if (VQX_RESULT_SUCCEEDED(result) && VqxLib(hLib)->fClosing.load() != 0) {
      /* The library began to close meanwhile (what waited for room to tell the peers was dropped): not handed out. */
      VqxLogOp(hLib, kOp, "VQX_RESULT_API_TXMSG_DROPPED (the library is closing)");
      result = VQX_RESULT_API_TXMSG_DROPPED;
    }
    if (VQX_RESULT_FAILED(result)) {
      VqxFilterDestroy(hLib, pFilter);
    } else {
      *phFilter = pFilter;
    }
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXModifyMsgFilter(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 un32NbParams,
                              _VQX_FILTER_PARAMS* paParams, const _VQX_FILTER_CALLBACK_PARAMS* pCallbacks) {
  static const char* const kOp = "VQXModifyMsgFilter";
  if (hLib == nullptr) {
    fprintf(stderr, "%s: %s\n", kOp, "VQX_RESULT_API_INVALID_LIB_HANDLE");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  if (un32NbParams != 0 && paParams == nullptr) {
    VqxLogOp(hLib, kOp, "No parameters in filter");
    return VQX_RESULT_API_INVALID_PARAM;
  }
  if (hFilter == nullptr) {
    VqxLogOp(hLib, kOp, "VQX_RESULT_API_NULL_PARAM");
    return VQX_RESULT_API_NULL_PARAM;
  }
  if (un32NbParams > VQX_FILTER_MAX_PARAMS) {
    VqxLogOp(hLib, kOp, "Too many parameters in filter");
    return VQX_RESULT_API_INVALID_PARAM;
  }
  if (paParams != nullptr && !VqxMaskAllValid(un32NbParams, paParams)) {
    VqxLogOp(hLib, kOp, "Invalid filter mask");
    return VQX_RESULT_API_INVALID_PARAM;
  }
  if (pCallbacks != nullptr && pCallbacks->pFctFilterMsgReceived != nullptr) {
    if (pCallbacks->un32FilterMaxMsgPerCallback == 0) {
      VqxLogOp(hLib, kOp, "un32FilterMaxMsgPerCallback cannot be 0 when pFctFilterMsgReceived is used");
      return VQX_RESULT_API_INVALID_PARAM;
    }
    if (pCallbacks->un32FilterMaxMsgPerCallback > VQX_MAX_MSG_PER_RECEIVE_LOOP) {
      VqxLogOp(hLib, kOp,
               "un32FilterMaxMsgPerCallback cannot be greater than VQX_MAX_MSG_PER_RECEIVE_LOOPwhen "
               "pFctFilterMsgReceived is used");
      return VQX_RESULT_API_INVALID_PARAM;
    }
  }
  const VqxSendCallScope inside(hLib); /* telling the peers of the change may wait for room */
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_RESULT result = VQX_RESULT_API_INVALID_FIL_HANDLE;
  if (VqxFilterIsKnown(hLib, hFilter)) {
    result = VqxFilterModify(hLib, hFilter, un32NbParams, paParams, pCallbacks);
  } else {
    VqxLogOp(hLib, kOp, "VQX_RESULT_API_INVALID_FIL_HANDLE");
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXDestroyMsgFilterEx(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE* phFilter) {
  static const char* const kOp = "VQXDestroyMsgFilter";
  if (hLib == nullptr) {
    fprintf(stderr, "%s: %s\n", kOp, "VQX_RESULT_API_INVALID_LIB_HANDLE");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  if (phFilter == nullptr || *phFilter == nullptr) {
    VqxLogOp(hLib, kOp, "VQX_RESULT_API_INVALID_FIL_HANDLE");
    return VQX_RESULT_API_INVALID_FIL_HANDLE;
  }
  VQX_FILTER* pFilter = *phFilter;
  *phFilter = nullptr;
  const VqxSendCallScope inside(hLib); /* telling the peers of its end may wait for room */
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_RESULT result;
  /* An awaited-response filter back on the free list has number 0: a stale handle to it is refused. */
  if (!VqxFilterIsKnown(hLib, pFilter) || (pFilter->fImplicit && pFilter->un32FilterNumber == 0)) {
    VqxLogOp(hLib, kOp, "Filter Destroy Failed");
    result = VQX_RESULT_API_INVALID_FIL_HANDLE;
  } else {
    u32 un32Freed = 0;
    result = VqxFilterDeactivate(hLib, pFilter, &un32Freed);
    const VQX_RESULT destroy =
        pFilter->fImplicit ? VqxFilterImplicitRelease(hLib, pFilter) : VqxFilterDestroy(hLib, pFilter);
    if (VQX_RESULT_FAILED(destroy)) {
      VqxLogOp(hLib, kOp, "Filter Destroy Failed");
      result = destroy;
    }
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXWakeMsgFilter(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter) {
  if (hLib == nullptr) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  if (hFilter == nullptr) {
    VqxLogOp(hLib, "VQXWakeMsgFilter", "VQX_RESULT_API_INVALID_FIL_HANDLE");
    return VQX_RESULT_API_INVALID_FIL_HANDLE;
  }
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_RESULT result = VQX_RESULT_API_OK;
  if (!VqxFilterIsKnown(hLib, hFilter)) {
    result = VQX_RESULT_API_INVALID_FIL_HANDLE;
  } else {
    hFilter->un32WakeCount++;
    hFilter->WakeResult = VQX_RESULT_API_FILTER_AWAKENED;
    VqxFilterNoteActivity(hFilter);
    VQX_HOSTLIB_EVENT_SET(hLib, hFilter->pEvent);
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXFlushMsgs(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32* pun32Count) {
  if (hLib == nullptr) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  if (pun32Count != nullptr) *pun32Count = 0;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_RESULT result = VQX_RESULT_API_INVALID_FIL_HANDLE;
  if (VqxFilterIsKnown(hLib, hFilter)) result = VqxFilterFlush(hLib, hFilter, pun32Count, 0);
  if (VQX_RESULT_FAILED(result)) VqxLogOp(hLib, "VQXFlushMsgs", "Msg flush failed");
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXLibGetFilterStats(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, _VQX_FILTER_STATS* pStats) {
  if (hLib == nullptr) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  if (pStats == nullptr) return VQX_RESULT_API_NULL_PARAM;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_RESULT result = VQX_RESULT_API_INVALID_FIL_HANDLE;
  if (VqxFilterIsKnown(hLib, hFilter)) {
    *pStats = _VQX_FILTER_STATS{1,
                                hFilter->un32Count,
                                hFilter->un32PeakCount,
                                hFilter->fLostMessages,
                                hFilter->un64MsgQueued,
                                hFilter->un64RxCallsWithMsg,
                                hFilter->un64RxCallsWithoutMsg,
                                hFilter->LossResult,
                                hFilter->un32FilterNumber};
    result = VQX_RESULT_API_OK;
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

/* ------------------------------------------------------------ receive */

VQX_RESULT VQXReceiveMsg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 un32TimeoutMs, VQX_MSG_HANDLE* phMsg) {
  if (hLib == nullptr) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  if (hFilter == nullptr) {
    VqxLogOp(hLib, "VQXReceiveMsg", "VQX_RESULT_API_INVALID_FIL_HANDLE");
    return VQX_RESULT_API_INVALID_FIL_HANDLE;
  }
  if (phMsg == nullptr) {
    VqxLogOp(hLib, "VQXReceiveMsg", "VQX_RESULT_API_NULL_PARAM");
    return VQX_RESULT_API_NULL_PARAM;
  }
  *phMsg = nullptr;
  u32 un32Count = 1;
  return VqxMsgReceive(hLib, hFilter, 0, nullptr, un32TimeoutMs, &un32Count, phMsg);
}

VQX_RESULT VQXReceiveMsgMultiple(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 un32TimeoutMs, u32* pun32Count,
                                 VQX_MSG_HANDLE* pahMsg) {
  if (hLib == nullptr) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  if (hFilter == nullptr) {
    VqxLogOp(hLib, "VQXReceiveMsgMultiple", "VQX_RESULT_API_INVALID_FIL_HANDLE");
    return VQX_RESULT_API_INVALID_FIL_HANDLE;
  }
  if (pun32Count == nullptr || pahMsg == nullptr) {
    VqxLogOp(hLib, "VQXReceiveMsgMultiple", "VQX_RESULT_API_NULL_PARAM");
    return VQX_RESULT_API_NULL_PARAM;
  }
  memset(pahMsg, 0, sizeof(VQX_MSG_HANDLE) * VQX_RECEIVE_MULTIPLE_MAX);
  *pun32Count = VQX_RECEIVE_MULTIPLE_MAX;
  return VqxMsgReceive(hLib, hFilter, 0, nullptr, un32TimeoutMs, pun32Count, pahMsg);
}

VQX_RESULT VQXSendReceiveMsgMultiple(VQX_LIB_HANDLE hLib, u32 un32NbToSend, VQX_MSG_HANDLE* pahToSend,
                                     VQX_FILTER_HANDLE hFilter, u32 un32TimeoutMs, u32* pun32Count,
                                     VQX_MSG_HANDLE* pahMsg) {
  if (hLib == nullptr) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  if (hFilter == nullptr || pun32Count == nullptr || pahMsg == nullptr) {
    VqxFreeToSend(hLib, un32NbToSend, pahToSend);
    VqxLogOp(hLib, "VQXSendReceiveMsgMultiple",
             hFilter == nullptr ? "VQX_RESULT_API_INVALID_FIL_HANDLE" : "VQX_RESULT_API_NULL_PARAM");
    return hFilter == nullptr ? VQX_RESULT_API_INVALID_FIL_HANDLE : VQX_RESULT_API_NULL_PARAM;
  }
  if (*pun32Count == 0 || *pun32Count > VQX_MAX_MSG_PER_RECEIVE_LOOP) *pun32Count = VQX_MAX_MSG_PER_RECEIVE_LOOP;
  memset(pahMsg, 0, sizeof(VQX_MSG_HANDLE) * *pun32Count);
  return VqxMsgReceive(hLib, hFilter, un32NbToSend, pahToSend, un32TimeoutMs, pun32Count, pahMsg);
}

VQX_RESULT VQXWaitMsg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 un32TimeoutMs, u32* pun32Count) {
  if (hLib == nullptr) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  if (hFilter == nullptr) {
    VqxLogOp(hLib, "VQXWaitMsg", "VQX_RESULT_API_INVALID_FIL_HANDLE");
    return VQX_RESULT_API_INVALID_FIL_HANDLE;
  }
  if (pun32Count == nullptr) {
    VqxLogOp(hLib, "VQXWaitMsg", "VQX_RESULT_API_NULL_PARAM");
    return VQX_RESULT_API_NULL_PARAM;
  }
  *pun32Count = 0;
  const VqxReceiveCallScope inside(hLib);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_RESULT result = VQX_RESULT_API_INVALID_FIL_HANDLE;
  bool fClosing = false;
  if (VqxFilterIsKnown(hLib, hFilter) && hFilter->un32State == VQX_FILTER_STATE_ACTIVE) {
    const VQX_RESULT wake = VqxTakeWake(hFilter);
    if (wake != 0) {
      result = wake;
    } else if (!VqxWaitOnFilter(hLib, hFilter, un32TimeoutMs)) {
      result = VQX_RESULT_API_INVALID_FIL_HANDLE;
    } else if (VqxLib(hLib)->fClosing.load() != 0) {
      result = VQX_RESULT_API_INVALID_FIL_HANDLE; /* the close woke it: the filter goes with the library */
      fClosing = true;
    } else if (hFilter->un32Count == 0) {
      const VQX_RESULT wake2 = VqxTakeWake(hFilter);
      result = wake2 != 0 ? wake2 : VQX_RESULT_API_TIMEOUT;
      VqxEventClear(hFilter->pEvent);
    } else {
      *pun32Count = hFilter->un32Count;
      result = VQX_RESULT_API_OK;
    }
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  if (result == VQX_RESULT_API_INVALID_FIL_HANDLE) {
    VqxLogOp(hLib, "VQXWaitMsg",
             fClosing ? "VQX_RESULT_API_INVALID_FIL_HANDLE (the library is closing)"
                      : "VQX_RESULT_API_INVALID_FIL_HANDLE");
  }
  return result;
}
