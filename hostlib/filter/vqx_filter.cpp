/*
 * vqx_filter.cpp - message filters: the filter record, matching, creation,
 * activation, modification, deactivation, destruction, flushing, posting a
 * message to a filter and dispatching one to a list of filters, and the
 * pooled awaited-response (implicit) filters.
 *
 * Everything here runs under the library lock. A filter's queue is chained
 * through the first 8 payload bytes of its messages; wake-ups are deferred
 * to the outermost leave of the lock (or to the end of a receive batch), so
 * a woken reader never finds the lock still held by the poster.
 */
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>
#include <unordered_set>

#include "vqx_clock.h"
#include "filter/vqx_filter_internal.h"

/*
 * The peer layer is told of filters that come, change and go (remote
 * filters, notifications to a newly active filter). It is linked only into
 * programs that use peers: weak references keep the filters usable without it.
 */
#pragma weak VqxPeerFilterCreated
#pragma weak VqxPeerFilterDestroyed
#pragma weak VqxPeerFilterModifyBegin
#pragma weak VqxPeerFilterModifyEnd
#pragma weak VqxPeerFilterActivated
#pragma weak VqxMsgSource
#pragma weak VqxSourceCountPosted
#pragma weak VqxSourceCountPopped
#pragma weak VqxSourceIsAdapter

namespace {

struct VQX_FILTER_LIB_FULL : VQX_FILTER_LIB {
  std::unordered_set<VQX_FILTER*> Live; /* every filter record of this library */
  VQX_FILTER* pDetachedFirst = nullptr;  /* destroyed, a reader still inside (chained through pNext) */
};

std::atomic<PFCT_VQX_FILTER_READER_WOKEN> s_pFctReaderWoken{nullptr};

VQX_FILTER_LIB_FULL* VqxFilterLibFull(VQX_LIB_HANDLE hLib) {
  return static_cast<VQX_FILTER_LIB_FULL*>(VqxFilterLib(hLib));
}

u64 VqxNow() { return VQXGetClock(); }

/* The clock, read once per receive batch (the batch forgets it whenever it gives the lock up). */
u64 VqxBatchNow(VQX_BATCH_CONTEXT* pBatch) {
  if (pBatch == nullptr) return VqxNow();
  if (pBatch->un64Now == 0) pBatch->un64Now = VqxNow();
  return pBatch->un64Now;
}

size_t VqxFilterRecordSize(u32 un32Capacity) {
  return offsetof(VQX_FILTER, aParams) + sizeof(_VQX_FILTER_PARAMS) * (un32Capacity == 0 ? 1 : un32Capacity);
}

/* A zeroed record with its event, registered as live. */
VQX_FILTER* VqxFilterAllocRecord(VQX_LIB_HANDLE hLib, u32 un32Capacity, u32 fImplicit) {
  VQX_FILTER* pFilter = static_cast<VQX_FILTER*>(calloc(1, VqxFilterRecordSize(un32Capacity)));
  if (pFilter == nullptr) return nullptr;
  if (VQX_RESULT_FAILED(VqxEventCreate(&pFilter->pEvent))) {
    free(pFilter);
    return nullptr;
  }
  try {
    VqxFilterLibFull(hLib)->Live.insert(pFilter);
  } catch (const std::bad_alloc&) {
    VqxEventFree(pFilter->pEvent);
    free(pFilter);
    return nullptr;
  }
  pFilter->un32Capacity = un32Capacity;
  pFilter->fImplicit = fImplicit;
  pFilter->un32Limit = fImplicit ? 1u : VQX_FILTER_QUEUE_UNLIMITED;
  pFilter->un32HeldLinkOffset = VQX_FILTER_HELD_LINK_OFFSET;
  pFilter->LossResult = VQX_RESULT_API_OK;
  return pFilter;
}

void VqxFilterReleaseMemory(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter) {
  VqxFilterKeepRefusals(hLib, pFilter, 0);
  VqxHostLibEventDestroy(hLib, pFilter->pEvent);
  pFilter->un32DbgMagic1 = pFilter->un32DbgMagic2 = 0;
  free(pFilter);
}

/*
 * Frees a record. A thread may still be inside a receive on it (the
 * application destroyed a filter another thread reads): the record is then
 * only detached, its readers woken, and the last of them to take the lock
 * back frees it; it never waits for them, and never frees under them.
 */
void VqxFilterFreeRecord(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter) {
  VQX_FILTER_LIB_FULL* pFl = VqxFilterLibFull(hLib);
  pFilter->un32State = VQX_FILTER_STATE_INACTIVE;
  pFl->Live.erase(pFilter);
  if (pFilter->un32Inside == 0) {
    VqxFilterReleaseMemory(hLib, pFilter);
    return;
  }
  pFilter->fDetached = 1;
  pFilter->pNext = pFl->pDetachedFirst;
  pFl->pDetachedFirst = pFilter;
  VqxFilterNoteActivity(pFilter);
  VqxEventSetNow(pFilter->pEvent);
}

/* Library close: readers still inside a destroyed filter get a bounded time to leave; what remains is freed. */
void VqxFilterFreeDetached(VQX_LIB_HANDLE hLib) {
  VQX_FILTER_LIB_FULL* pFl = VqxFilterLibFull(hLib);
  for (u32 i = 0; i < VQX_FILTER_CLOSE_WAIT_MS && pFl->pDetachedFirst != nullptr; i++) {
    for (VQX_FILTER* p = pFl->pDetachedFirst; p != nullptr; p = p->pNext) VqxEventSetNow(p->pEvent);
    const u32 un32Levels = VqxHostLibLockReleaseAll(hLib);
    struct timespec ts = {0, 1000000};
    nanosleep(&ts, nullptr);
    VqxHostLibLockRetake(hLib, un32Levels);
  }
  while (pFl->pDetachedFirst != nullptr) {
    VQX_FILTER* pFilter = pFl->pDetachedFirst;
    pFl->pDetachedFirst = pFilter->pNext;
    VqxFilterReleaseMemory(hLib, pFilter);
  }
}

/* Copies the sets, negative ones first, each group in the caller's order. */
void VqxFilterStoreParams(VQX_FILTER* pFilter, u32 un32NbParams, const _VQX_FILTER_PARAMS* paParams) {
  u32 un32Out = 0;
  for (u32 fPass = 0; fPass < 2; fPass++) {
    for (u32 i = 0; i < un32NbParams; i++) {
      const bool fNegative = (paParams[i].un32Mask & VQX_FILTER_MASK_NEGATIVE) != 0;
      if (fNegative == (fPass == 0)) pFilter->aParams[un32Out++] = paParams[i];
    }
    if (fPass == 0) pFilter->un32NbNegative = un32Out;
  }
  pFilter->un32NbParams = un32Out;
}

void VqxListAppend(VQX_FILTER** ppFirst, VQX_FILTER** ppLast, VQX_FILTER* pFilter) {
  pFilter->pNext = nullptr;
  if (*ppLast != nullptr) {
    (*ppLast)->pNext = pFilter;
  } else {
    *ppFirst = pFilter;
  }
  *ppLast = pFilter;
}

bool VqxListRemove(VQX_FILTER** ppFirst, VQX_FILTER** ppLast, VQX_FILTER* pFilter) {
  VQX_FILTER* pPrev = nullptr;
  for (VQX_FILTER* p = *ppFirst; p != nullptr; pPrev = p, p = p->pNext) {
    if (p != pFilter) continue;
    if (pPrev != nullptr) {
      pPrev->pNext = p->pNext;
    } else {
      *ppFirst = p->pNext;
    }
    if (*ppLast == p) *ppLast = pPrev;
    p->pNext = nullptr;
    return true;
  }
  return false;
}

/* Pops the head of the queue without bookkeeping. */
VQX_MSG_HANDLE VqxQueuePopRaw(VQX_FILTER* pFilter) {
  VQX_MSG_HANDLE hMsg = pFilter->hFirst;
  if (hMsg == nullptr) return nullptr;
  pFilter->hFirst = *VqxMsgQueueLink(hMsg);
  if (pFilter->hFirst == nullptr) pFilter->hLast = nullptr;
  pFilter->un32Count--;
  *VqxMsgQueueLink(hMsg) = nullptr;
  return hMsg;
}

void VqxQueueAppendRaw(VQX_FILTER* pFilter, VQX_MSG_HANDLE hMsg) {
  *VqxMsgQueueLink(hMsg) = nullptr;
  if (pFilter->hLast != nullptr) {
    *VqxMsgQueueLink(pFilter->hLast) = hMsg;
  } else {
    pFilter->hFirst = hMsg;
  }
  pFilter->hLast = hMsg;
  pFilter->un32Count++;
}

VQX_MSG_HANDLE* VqxHeldLink(const VQX_FILTER* pFilter, VQX_MSG_HANDLE hMsg) {
  return reinterpret_cast<VQX_MSG_HANDLE*>(reinterpret_cast<u8*>(hMsg) + pFilter->un32HeldLinkOffset);
}

/* The close of the library or of its process (VQXEndSendWaits) has begun: readers leave on purpose, and what waits
   in a filter then is drained by the close or freed with its filter, which is no leak. */
bool VqxFilterReadersLeaving(VQX_LIB_HANDLE hLib) {
  const VQX_LIB* pLib = VqxLib(hLib);
  return pLib->fClosing.load() != 0 || pLib->fSendWaitsEnded.load() != 0;
}

/* "Possible leak" watch: a filter whose messages wait unread for more than 5 s, once per 5 s; silent once the
   close has begun (a receive thread stopped, a reader gone, while the transport still delivers). */
void VqxFilterLeakWatch(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, VQX_BATCH_CONTEXT* pBatch) {
  if (pFilter->un32Count == 0 || pFilter->un64LastReadTick == 0) return;
  const u64 un64Now = VqxBatchNow(pBatch);
  /* A clock read before the last read (a batch's, or a stepped clock) is no wait at all. */
  if (un64Now <= pFilter->un64LastReadTick || un64Now - pFilter->un64LastReadTick <= VQX_FILTER_LEAK_WATCH_MS) return;
  if (VqxFilterReadersLeaving(hLib)) return;
  VQX_LOG_V(hLib, 0, "\nFilter LastTick=0x%08X   new=0x%08X\n", static_cast<u32>(pFilter->un64LastReadTick),
            static_cast<u32>(un64Now));
  if (pFilter->fCreationSiteKnown) {
    VQX_LOG_V(hLib, 0, "\nPossible leak (%d) Msg waiting in filter 0x%p for more than 5 seconds, Allocated at %s:%d\n",
              static_cast<int>(pFilter->un32Count), static_cast<void*>(pFilter), pFilter->pszFile,
              static_cast<int>(pFilter->un32Line));
  } else {
    VQX_LOG_V(hLib, 0,
              "\nPossible leak (%d) Msg waiting in filter 0x%p for more than 5 seconds. Use VQX_API_DEBUG to know "
              "which file/line\n",
              static_cast<int>(pFilter->un32Count), static_cast<void*>(pFilter));
  }
  pFilter->un64LastReadTick = un64Now;
}

/* True when the filter takes the message: the first matching set decides. */
bool VqxFilterTakes(const VQX_FILTER* pFilter, const _VQX_MSG_HEADER* pMsg) {
  for (u32 i = 0; i < pFilter->un32NbParams; i++) {
    if (VqxFilterParamsMatch(&pFilter->aParams[i], pMsg)) return i >= pFilter->un32NbNegative;
  }
  return false;
}

}  // namespace

/* ------------------------------------------------------------- matching */

bool VqxFilterMaskValid(u32 un32Mask) {
  return (un32Mask & VQX_FILTER_MASK_MATCH_ALL & (un32Mask >> VQX_FILTER_MASK_NOT_SHIFT)) == 0;
}

bool VqxFilterParamsMatch(const _VQX_FILTER_PARAMS* pParams, const _VQX_MSG_HEADER* pMsg) {
  /* One bit per field that "equals" in the sense of its test; match bits need it set, NOT bits clear. */
  const u32 un32Equal = (pMsg->hAdapter == pParams->hAdapter ? VQX_FILTER_MASK_ADAPTER : 0u) |
                        ((pMsg->MsgType & pParams->MsgTypeMask) != 0 ? VQX_FILTER_MASK_MSG_TYPE : 0u) |
                        (pMsg->un32MsgId == pParams->MsgId ? VQX_FILTER_MASK_MSG_ID : 0u) |
                        (VQX_MSG_GROUP(pMsg->un32MsgId) == pParams->MsgGroup ? VQX_FILTER_MASK_MSG_GROUP : 0u) |
                        (pMsg->un32SerialNumber == pParams->un32SerialNumber ? VQX_FILTER_MASK_SERIAL : 0u) |
                        (pMsg->un64UserContext1 == pParams->un64UserContext1 ? VQX_FILTER_MASK_USER_CONTEXT1 : 0u) |
                        (pMsg->un64UserContext2 == pParams->un64UserContext2 ? VQX_FILTER_MASK_USER_CONTEXT2 : 0u);
  const u32 un32Match = pParams->un32Mask & VQX_FILTER_MASK_MATCH_ALL;
  const u32 un32Not = (pParams->un32Mask >> VQX_FILTER_MASK_NOT_SHIFT) & VQX_FILTER_MASK_MATCH_ALL;
  return (un32Match & ~un32Equal) == 0 && (un32Not & un32Equal) == 0;
}

/* ------------------------------------------------------------- init */

VQX_RESULT VqxFilterInit(VQX_LIB_HANDLE hLib) {
  VQX_FILTER_LIB_FULL* pFl = new (std::nothrow) VQX_FILTER_LIB_FULL{};
  if (pFl == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  VqxLib(hLib)->pvFilters = pFl;
  for (u32 i = 0; i < VQX_FILTER_NB_PREALLOC_IMPLICIT; i++) {
    VQX_FILTER* pFilter = VqxFilterAllocRecord(hLib, 1, 1);
    if (pFilter == nullptr) {
      VqxFilterUninit(hLib);
      return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
    }
    pFilter->pNext = pFl->pFreeImplicit;
    pFl->pFreeImplicit = pFilter;
  }
  return VQX_RESULT_API_OK;
}

void VqxFilterUninit(VQX_LIB_HANDLE hLib) {
  VQX_FILTER_LIB_FULL* pFl = VqxFilterLibFull(hLib);
  if (pFl == nullptr) return;
  /* Ordinary filters first, then every other record (implicit ones in use or free). */
  while (pFl->pActiveFirst != nullptr) {
    VQX_FILTER* pFilter = pFl->pActiveFirst;
    u32 un32Freed = 0;
    VqxFilterDeactivate(hLib, pFilter, &un32Freed);
    VqxFilterDestroy(hLib, pFilter);
  }
  while (!pFl->Live.empty()) {
    VQX_FILTER* pFilter = *pFl->Live.begin();
    u32 un32Freed = 0;
    if (pFilter->un32State != VQX_FILTER_STATE_INACTIVE) VqxFilterDeactivate(hLib, pFilter, &un32Freed);
    if (pFilter->fImplicit) {
      VqxFilterFlush(hLib, pFilter, &un32Freed, 0);
      VqxFilterFreeRecord(hLib, pFilter);
    } else {
      VqxFilterDestroy(hLib, pFilter);
    }
  }
  VqxFilterFreeDetached(hLib);
  VqxExclusiveFreeAll(hLib);
  VqxLib(hLib)->pvFilters = nullptr;
  delete pFl;
}

/* The close begins: every reader of a live filter, blocked or polling, wakes to see it and leave (the readers of
   a destroyed one were woken by its destroy). */
void VqxFilterWakeReaders(VQX_LIB_HANDLE hLib) {
  VQX_FILTER_LIB_FULL* pFl = VqxFilterLibFull(hLib);
  if (pFl == nullptr) return;
  for (VQX_FILTER* pFilter : pFl->Live) {
    VqxFilterNoteActivity(pFilter);
    VqxEventSetNow(pFilter->pEvent);
  }
}

bool VqxFilterReaderBack(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter) {
  pFilter->un32Inside--;
  if (pFilter->fDetached) {
    if (pFilter->un32Inside == 0) {
      VQX_FILTER_LIB_FULL* pFl = VqxFilterLibFull(hLib);
      for (VQX_FILTER** pp = &pFl->pDetachedFirst; *pp != nullptr; pp = &(*pp)->pNext) {
        if (*pp == pFilter) {
          *pp = pFilter->pNext;
          break;
        }
      }
      VqxFilterReleaseMemory(hLib, pFilter);
    }
    return false;
  }
  return VqxFilterIsKnown(hLib, pFilter) && pFilter->un32State == VQX_FILTER_STATE_ACTIVE;
}

void VqxFilterSetReaderWokenHook(PFCT_VQX_FILTER_READER_WOKEN pFct) { s_pFctReaderWoken.store(pFct); }

void VqxFilterReaderWoken(VQX_FILTER* pFilter) {
  const PFCT_VQX_FILTER_READER_WOKEN pFct = s_pFctReaderWoken.load(std::memory_order_relaxed);
  if (pFct != nullptr) pFct(pFilter);
}

bool VqxFilterIsKnown(VQX_LIB_HANDLE hLib, const VQX_FILTER* pFilter) {
  VQX_FILTER_LIB_FULL* pFl = VqxFilterLibFull(hLib);
  return pFl != nullptr && pFilter != nullptr && pFl->Live.count(const_cast<VQX_FILTER*>(pFilter)) != 0;
}

/* ------------------------------------------------------------- life cycle */

VQX_RESULT VqxFilterCreate(VQX_LIB_HANDLE hLib, u32 un32NbParams, _VQX_FILTER_PARAMS* paParams, VQX_FILTER** ppFilter) {
  VQX_LIB* pLib = VqxLib(hLib);
  *ppFilter = nullptr;
  VQX_RESULT result = VqxValidateExclusiveFilter(hLib, nullptr, un32NbParams, paParams);
  if (VQX_RESULT_FAILED(result)) {
    VQX_LOG_V(hLib, 0, "VqxFilterCreate: %s\n", "Filter exclusivity conflict");
    return result;
  }
  VQX_FILTER* pFilter = VqxFilterAllocRecord(hLib, VQX_FILTER_MAX_PARAMS, 0);
  if (pFilter == nullptr) {
    VQX_LOG_V(hLib, 0, "VqxFilterCreate: %s\n", "VQX_RESULT_API_NOT_ENOUGH_MEMORY");
    return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  }
  VqxFilterStoreParams(pFilter, un32NbParams, paParams);
  pFilter->un32FilterNumber = ++VqxFilterLib(hLib)->un32FilterNumber;
  VqxExclusiveFilterInsertAll(hLib, pFilter);
  pLib->Counters.FilterAlloc++;
  pLib->Counters.FilterOwned++;
  if (VqxPeerFilterCreated != nullptr) VqxPeerFilterCreated(hLib, pFilter);
  *ppFilter = pFilter;
  VqxCalculateMsgPostingThreadDelay(hLib);
  return VQX_RESULT_API_OK;
}

VQX_RESULT VqxFilterActivate(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter) {
  VQX_FILTER_LIB* pFl = VqxFilterLib(hLib);
  if (pFilter->un32State != VQX_FILTER_STATE_INACTIVE) {
    char szDetail[96];
    snprintf(szDetail, sizeof(szDetail), "(0x%08lX) %s, state=0x%08X",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pFilter)),
             pFilter->fImplicit ? "Implicit" : "Non-Implicit", pFilter->un32State);
    VQX_LOG_V(hLib, 0, "VqxFilterActivate: %s %s\n", "Filter is in Active state", szDetail);
    return VQX_RESULT_API_INVALID_STATE;
  }
  if (pFilter->fImplicit) {
    VqxListAppend(&pFl->pImplicitFirst, &pFl->pImplicitLast, pFilter);
  } else {
    VqxListAppend(&pFl->pActiveFirst, &pFl->pActiveLast, pFilter);
  }
  pFilter->un32State = VQX_FILTER_STATE_ACTIVE;
  if (!pFilter->fImplicit && VqxPeerFilterActivated != nullptr) VqxPeerFilterActivated(hLib, pFilter);
  return VQX_RESULT_API_OK;
}

VQX_RESULT VqxFilterDeactivate(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, u32* pun32Freed) {
  VQX_FILTER_LIB* pFl = VqxFilterLib(hLib);
  if (pFilter->fImplicit) {
    VqxListRemove(&pFl->pImplicitFirst, &pFl->pImplicitLast, pFilter);
  } else {
    VqxListRemove(&pFl->pActiveFirst, &pFl->pActiveLast, pFilter);
  }
  const u64 un64Now = VqxNow();
  const bool fUnread = pFilter->un64LastReadTick != 0 && un64Now > pFilter->un64LastReadTick &&
                       un64Now - pFilter->un64LastReadTick > VQX_FILTER_LEAK_WATCH_MS;
  u32 un32Freed = 0;
  VqxFilterFlush(hLib, pFilter, &un32Freed, 0);
  pFilter->un32State = VQX_FILTER_STATE_INACTIVE;
  VqxFilterNoteActivity(pFilter);
  pFilter->fLostMessages = 0;
  pFilter->LossResult = VQX_RESULT_API_OK;
  pFilter->un32WakeCount = 0;
  pFilter->WakeResult = VQX_RESULT_API_OK;
  VqxEventClear(pFilter->pEvent);
  pFilter->un64LastReadTick = un64Now;
  if (pFilter->fCreationSiteKnown && un32Freed != 0) {
    /* An error while the application runs; freed by the close, they are only traced. */
    VQX_LOG_V(hLib, VqxFilterReadersLeaving(hLib) ? 3 : 0, "\nFreed %d messages waiting on filter 0x%p, Allocated at %s:%d\n",
              static_cast<int>(un32Freed), static_cast<void*>(pFilter), pFilter->pszFile,
              static_cast<int>(pFilter->un32Line));
  }
  if (pFilter->fCreationSiteKnown) {
    pFilter->pszFile = __FILE__;
    pFilter->un32Line = __LINE__;
  }
  if (pun32Freed != nullptr) *pun32Freed = un32Freed;
  return un32Freed != 0 && fUnread ? VQX_RESULT_API_FILTER_FREED_W_MSG_IN_Q : VQX_RESULT_API_OK;
}

VQX_RESULT VqxFilterDestroy(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter) {
  VQX_LIB* pLib = VqxLib(hLib);
  if (pFilter->Callbacks.pFctFilterMsgReceived != nullptr) {
    VqxWaitNoMorePostingToFilters(hLib);
    pFilter->Callbacks.pFctFilterMsgReceived = nullptr;
  }
  if (pFilter->un32State != VQX_FILTER_STATE_INACTIVE) VqxFilterDeactivate(hLib, pFilter, nullptr);
  if (VqxPeerFilterDestroyed != nullptr) VqxPeerFilterDestroyed(hLib, pFilter);
  VqxFilterSendHeld(hLib, pFilter);
  VqxExclusiveFilterRemoveAll(hLib, pFilter);
  VqxFilterFreeRecord(hLib, pFilter);
  pLib->Counters.FilterFreed++;
  if (pLib->Counters.FilterOwned != 0) pLib->Counters.FilterOwned--;
  VqxCalculateMsgPostingThreadDelay(hLib);
  return VQX_RESULT_API_OK;
}

VQX_RESULT VqxFilterModify(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, u32 un32NbParams, _VQX_FILTER_PARAMS* paParams,
                           const _VQX_FILTER_CALLBACK_PARAMS* pCallbacks) {
  const bool fNewSets = un32NbParams != 0 && paParams != nullptr;
  if (fNewSets && un32NbParams > pFilter->un32Capacity) {
    VQX_LOG_V(hLib, 0, "VqxFilterModify: %s\n", "Too many parameters in filter");
    return VQX_RESULT_API_INVALID_PARAM;
  }
  if (fNewSets) {
    const VQX_RESULT result = VqxValidateExclusiveFilter(hLib, pFilter, un32NbParams, paParams);
    if (VQX_RESULT_FAILED(result)) {
      VQX_LOG_V(hLib, 0, "VqxFilterModify: %s\n", "Filter exclusivity conflict");
      return result;
    }
  }
  if (pFilter->Callbacks.pFctFilterMsgReceived != nullptr) VqxWaitNoMorePostingToFilters(hLib);
  u8 afConcerned[VQX_PEER_MAX] = {};
  const bool fTellPeers = fNewSets && VqxPeerFilterModifyBegin != nullptr && VqxPeerFilterModifyEnd != nullptr;
  if (fTellPeers) VqxPeerFilterModifyBegin(hLib, pFilter, afConcerned);
  if (pCallbacks != nullptr && pCallbacks->pFctFilterMsgPosted != nullptr &&
      pFilter->Callbacks.pFctFilterMsgPosted == nullptr) {
    /* The new observer hears of what is already queued, in queue order. */
    for (VQX_MSG_HANDLE hMsg = pFilter->hFirst; hMsg != nullptr; hMsg = *VqxMsgQueueLink(hMsg)) {
      const _VQX_FILTER_POSTED_INFO info = {hMsg->un32MsgId, hMsg->hAdapter, hMsg->un64UserContext1,
                                            hMsg->un64UserContext2};
      pCallbacks->pFctFilterMsgPosted(pCallbacks->pvFilterMsgPostedContext, hLib, pFilter, &info);
    }
  }
  if (fNewSets) {
    VqxExclusiveFilterRemoveAll(hLib, pFilter);
    VqxFilterStoreParams(pFilter, un32NbParams, paParams);
    VqxExclusiveFilterInsertAll(hLib, pFilter);
  }
  if (pCallbacks != nullptr) pFilter->Callbacks = *pCallbacks;
  if (fTellPeers) VqxPeerFilterModifyEnd(hLib, pFilter, afConcerned);
  if (pFilter->Callbacks.pFctFilterMsgReceived != nullptr && pFilter->un32Count != 0) VqxRxThreadKick(hLib);
  VqxCalculateMsgPostingThreadDelay(hLib);
  return VQX_RESULT_API_OK;
}

/* ------------------------------------------------------------- queue */

namespace {

/* The source of the last message popped: the messages of one take mostly share it, and one lookup serves them. */
struct VQX_SOURCE_CACHE {
  bool fValid = false;
  u32 hAdapter = 0;
  struct _VQX_PEER* pPeer = nullptr;
};

struct _VQX_PEER* VqxCachedSource(VQX_LIB_HANDLE hLib, const _VQX_MSG_HEADER* pMsg, VQX_SOURCE_CACHE* pCache) {
  if (!pCache->fValid || pCache->hAdapter != pMsg->hAdapter) {
    pCache->pPeer = VqxMsgSource != nullptr ? VqxMsgSource(hLib, pMsg) : nullptr;
    pCache->hAdapter = pMsg->hAdapter;
    pCache->fValid = true;
  }
  return pCache->pPeer;
}

/* One message's share of the bookkeeping of a pop; the filter layer's totals are the caller's. */
void VqxPopStatsOne(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, u32 fFromReceive, VQX_SOURCE_CACHE* pCache) {
  VQX_LIB* pLib = VqxLib(hLib);
  struct _VQX_PEER* pSource = VqxCachedSource(hLib, hMsg, pCache);
  if (pSource != nullptr) VqxSourceCountPopped(hLib, pSource, hMsg);
  /* An event is numbered anew when it leaves the queue. */
  if (hMsg->MsgType == VQX_MSG_TYPE_EVENT) hMsg->un32SerialNumber = ++pLib->Counters.MsgSerial;
  /* The send hook sees what a reader takes from a remote host (or from every peer with its flag). */
  const _VQX_LIB_PARAMS& params = pLib->Params;
  const u32 un32Group = VQX_MSG_GROUP(hMsg->un32MsgId);
  if (fFromReceive && params.pFctSendHook != nullptr && pSource != nullptr &&
      (!VqxSourceIsAdapter(pSource) || params.fSendHookAlways != 0) && un32Group != 0x0201 && un32Group != 0x020D &&
      (params.fSendHookAlways != 0 || hMsg->un32FixedTwo != VQX_MSG_FIXED_TWO)) {
    params.pFctSendHook(params.pvSendHookContext, hLib, hMsg);
    /* The hook runs outside the library's control: what it may have changed is looked up afresh. */
    pCache->fValid = false;
  }
}

void VqxPopTotals(VQX_LIB_HANDLE hLib, u32 un32Popped) {
  VQX_FILTER_LIB* pFl = VqxFilterLib(hLib);
  pFl->un64MsgWaiting = pFl->un64MsgWaiting > un32Popped ? pFl->un64MsgWaiting - un32Popped : 0;
  pFl->un64MsgPopped += un32Popped;
}

}  // namespace

void VqxFilterUpdateMsgPopStats(VQX_LIB_HANDLE hLib, VQX_FILTER*, VQX_MSG_HANDLE hMsg, u32 fFromReceive) {
  VQX_SOURCE_CACHE cache;
  VqxPopTotals(hLib, 1);
  VqxPopStatsOne(hLib, hMsg, fFromReceive, &cache);
}

VQX_MSG_HANDLE VqxFilterPop(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, u32 fFromReceive) {
  VQX_MSG_HANDLE hMsg = VqxQueuePopRaw(pFilter);
  if (hMsg != nullptr) VqxFilterUpdateMsgPopStats(hLib, pFilter, hMsg, fFromReceive);
  return hMsg;
}

u32 VqxFilterPopMany(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, u32 un32Max, u32 fFromReceive, VQX_MSG_HANDLE* pahMsg) {
  VQX_SOURCE_CACHE cache;
  u32 n = 0;
  for (; n < un32Max; n++) {
    VQX_MSG_HANDLE hMsg = VqxQueuePopRaw(pFilter);
    if (hMsg == nullptr) break;
    /* The queue runs through buffers the posting thread wrote last: fetch the next while this one is counted. */
    if (VQX_MSG_HANDLE hNext = pFilter->hFirst; hNext != nullptr) {
      __builtin_prefetch(hNext, 1);
      __builtin_prefetch(VqxMsgQueueLink(hNext), 1);
    }
    VqxPopStatsOne(hLib, hMsg, fFromReceive, &cache);
    if (fFromReceive) VqxBufPrefetchRelease(hLib, hMsg);
    pahMsg[n] = hMsg;
  }
  VqxPopTotals(hLib, n);
  return n;
}

VQX_RESULT VqxFiltersFlushAdapter(VQX_LIB_HANDLE hLib, u32 hAdapter, VQX_FILTER* pFirst) {
  for (VQX_FILTER* pFilter = pFirst; pFilter != nullptr; pFilter = pFilter->pNext) {
    if (pFilter->un32State != VQX_FILTER_STATE_ACTIVE || pFilter->un32NbParams == 0) continue;
    for (u32 i = 0; i < pFilter->un32NbParams; i++) {
      const VQX_RESULT result = VqxFilterFlush(hLib, pFilter, nullptr, hAdapter);
      if (VQX_RESULT_FAILED(result)) {
        VQX_LOG_V(hLib, 0, "VqxFiltersFlushAdapter: %s\n", "VqxFilterFlush Failed");
        return result;
      }
    }
  }
  return VQX_RESULT_API_OK;
}

VQX_RESULT VqxFilterFlush(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, u32* pun32Count, u32 hAdapter) {
  const u32 un32Steps = pFilter->un32Count;
  u32 un32Released = 0;
  for (u32 i = 0; i < un32Steps; i++) {
    VQX_MSG_HANDLE hMsg = VqxQueuePopRaw(pFilter);
    if (hMsg == nullptr) break;
    if (hAdapter == 0 || hMsg->hAdapter == hAdapter) {
      VqxFilterUpdateMsgPopStats(hLib, pFilter, hMsg, 0);
      VqxMsgReleaseInternal(hLib, hMsg);
      un32Released++;
    } else {
      VqxQueueAppendRaw(pFilter, hMsg);
    }
  }
  if (pFilter->un32Count == 0) VqxEventClear(pFilter->pEvent);
  if (pun32Count != nullptr) *pun32Count = un32Released;
  return VQX_RESULT_API_OK;
}

void VqxFilterSendHeld(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter) {
  while (pFilter->hHeldFirst != nullptr) {
    VQX_MSG_HANDLE hMsg = pFilter->hHeldFirst;
    pFilter->hHeldFirst = *VqxHeldLink(pFilter, hMsg);
    if (pFilter->hHeldFirst == nullptr) pFilter->hHeldLast = nullptr;
    pFilter->un32HeldCount--;
    *VqxHeldLink(pFilter, hMsg) = nullptr;
    VqxMsgSend(hLib, hMsg, nullptr);
  }
}

/* ------------------------------------------------------------- posting */

void VqxMsgPostToFilter(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, VQX_MSG_HANDLE hMsg, VQX_BATCH_CONTEXT* pBatch) {
  VQX_LIB* pLib = VqxLib(hLib);
  if (pFilter->un32Count == 0) pFilter->un64LastReadTick = VqxBatchNow(pBatch);
  if (pFilter->un32Count >= pFilter->un32Limit) {
    pLib->Counters.RxMsgDroppedFilter++;
    pFilter->fLostMessages = 1;
    pFilter->LossResult = VQX_RESULT_API_RXFIFO_OVERFLOW;
    VQX_LOG_V(hLib, 0, "ERROR: VQX_FIFO_PUT: fifo is FULL. Dropping message 0x%X\n", hMsg->un32MsgId);
    VqxMsgReleaseInternal(hLib, hMsg);
    return;
  }
  const bool fCallback = pFilter->Callbacks.pFctFilterMsgReceived != nullptr;
  VqxQueueAppendRaw(pFilter, hMsg);
  pFilter->un64MsgQueued++;
  if (pFilter->un32Count > pFilter->un32PeakCount) pFilter->un32PeakCount = pFilter->un32Count;
  VqxFilterNoteActivity(pFilter);
  pLib->Counters.RxMsgQueued++;
  struct _VQX_PEER* pSource = pBatch != nullptr && pBatch->pSource != nullptr && pBatch->hSource == hMsg->hAdapter
                          ? pBatch->pSource
                          : VqxMsgSource != nullptr ? VqxMsgSource(hLib, hMsg) : nullptr;
  if (pSource != nullptr) VqxSourceCountPosted(hLib, pSource, hMsg);
  VqxFilterLib(hLib)->un64MsgWaiting++;
  if (pFilter->Callbacks.pFctFilterMsgPosted != nullptr) {
    const _VQX_FILTER_POSTED_INFO info = {hMsg->un32MsgId, hMsg->hAdapter, hMsg->un64UserContext1,
                                          hMsg->un64UserContext2};
    pFilter->Callbacks.pFctFilterMsgPosted(pFilter->Callbacks.pvFilterMsgPostedContext, hLib, pFilter, &info);
  }
  if (fCallback) {
    VqxRxThreadKick(hLib);
  } else if (pFilter->un32Waiters == 0 || pFilter->un32Count > 1) {
    /*
     * A reader checks the queue under the lock before it waits, so only a
     * blocked reader needs the event, and only once: when the queue stops
     * being empty (the event stays set until a reader clears it).
     */
  } else if (pBatch == nullptr) {
    VQX_HOSTLIB_EVENT_SET(hLib, pFilter->pEvent);
  } else {
    for (u32 i = 0; i < pBatch->un32NbToWake; i++) {
      if (pBatch->apToWake[i] == pFilter) return;
    }
    if (pBatch->un32NbToWake < sizeof(pBatch->apToWake) / sizeof(pBatch->apToWake[0])) {
      pBatch->apToWake[pBatch->un32NbToWake++] = pFilter;
    } else {
      pBatch->fOverflow = 1;
      VQX_HOSTLIB_EVENT_SET(hLib, pFilter->pEvent);
    }
  }
}

void VqxBatchWake(VQX_LIB_HANDLE hLib, VQX_BATCH_CONTEXT* pBatch) {
  /* The caller may give the lock up next (and wait): the clock is read afresh after. */
  pBatch->un64Now = 0;
  if (pBatch->un32NbToWake == 0) return;
  /* Under the lock (a filter may have gone meanwhile); the events are set at its outermost leave. */
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  for (u32 i = 0; i < pBatch->un32NbToWake; i++) {
    if (VqxFilterIsKnown(hLib, pBatch->apToWake[i])) VQX_HOSTLIB_EVENT_SET(hLib, pBatch->apToWake[i]->pEvent);
  }
  pBatch->un32NbToWake = 0;
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
}

namespace {

/* VqxMsgDispatchToFilters, the message already marked as received. */
bool VqxDispatchToList(VQX_LIB_HANDLE hLib, VQX_FILTER* pFirst, u32 fSingle, VQX_MSG_HANDLE hMsg,
                       VQX_BATCH_CONTEXT* pBatch) {
  VQX_FILTER* pTaker = nullptr;
  for (VQX_FILTER* pFilter = pFirst; pFilter != nullptr; pFilter = fSingle ? nullptr : pFilter->pNext) {
    if (pFilter->un32State != VQX_FILTER_STATE_ACTIVE) continue;
    VqxFilterLeakWatch(hLib, pFilter, pBatch);
    if (!VqxFilterTakes(pFilter, hMsg)) continue;
    if (pTaker != nullptr) {
      /* The previous taker gets a copy; the message itself goes to the last one. */
      VQX_MSG_HANDLE hCopy = VqxMsgCopyCreate(hLib, hMsg);
      if (hCopy == nullptr) {
        pTaker->fLostMessages = 1;
        pTaker->LossResult = VQX_RESULT_API_NOT_ENOUGH_MEMORY;
      } else {
        VqxMsgPostToFilter(hLib, pTaker, hCopy, pBatch);
      }
    }
    pTaker = pFilter;
  }
  if (pTaker == nullptr) return false;
  VqxMsgPostToFilter(hLib, pTaker, hMsg, pBatch);
  return true;
}

}  // namespace

bool VqxMsgDispatchToFilters(VQX_LIB_HANDLE hLib, VQX_FILTER* pFirst, u32 fSingle, VQX_MSG_HANDLE hMsg,
                             VQX_BATCH_CONTEXT* pBatch) {
  VqxBufMarkReceived(hLib, hMsg);
  return VqxDispatchToList(hLib, pFirst, fSingle, hMsg, pBatch);
}

namespace {

bool VqxDispatchLocal(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, u32 fResponsesOnlyToImplicit,
                      VQX_BATCH_CONTEXT* pBatch, bool fMarked) {
  VQX_FILTER_LIB* pFl = VqxFilterLib(hLib);
  /* Whoever receives it holds it afresh: the sender's tracking mark does not follow it (nor its copies). */
  hMsg->un32TrackMark = 0;
  if (VqxMsgDispatchToExclusiveFilters(hLib, pBatch, hMsg, fMarked)) return true;
  /* Marked once for both lists (one trip through the buffer layer's mutex). */
  if (!fMarked) VqxBufMarkReceived(hLib, hMsg);
  if (!fResponsesOnlyToImplicit || hMsg->MsgType == VQX_MSG_TYPE_RESPONSE) {
    if (VqxDispatchToList(hLib, pFl->pImplicitFirst, 0, hMsg, pBatch)) return true;
  }
  return VqxDispatchToList(hLib, pFl->pActiveFirst, 0, hMsg, pBatch);
}

}  // namespace

bool VqxMsgDispatchLocal(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, u32 fResponsesOnlyToImplicit,
                         VQX_BATCH_CONTEXT* pBatch) {
  return VqxDispatchLocal(hLib, hMsg, fResponsesOnlyToImplicit, pBatch, false);
}

bool VqxMsgDispatchLocalMarked(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, u32 fResponsesOnlyToImplicit,
                               VQX_BATCH_CONTEXT* pBatch) {
  return VqxDispatchLocal(hLib, hMsg, fResponsesOnlyToImplicit, pBatch, true);
}

/* ------------------------------------------------------------- implicit */

VQX_RESULT VqxFilterImplicitAllocate(VQX_LIB_HANDLE hLib, VQX_FILTER** ppFilter) {
  VQX_LIB* pLib = VqxLib(hLib);
  VQX_FILTER_LIB* pFl = VqxFilterLib(hLib);
  VQX_FILTER* pFilter = pFl->pFreeImplicit;
  if (pFilter != nullptr) {
    pFl->pFreeImplicit = pFilter->pNext;
    pFilter->pNext = nullptr;
  } else {
    pFilter = VqxFilterAllocRecord(hLib, 1, 1);
    if (pFilter == nullptr) {
      VQX_LOG_V(hLib, 0, "VqxFilterImplicitCreate: %s\n", "VQX_RESULT_API_NOT_ENOUGH_MEMORY");
      VQX_LOG_V(hLib, 0, "VqxFilterImplicitAllocate: %s\n", "Implicit filter Alloc failed");
      *ppFilter = nullptr;
      return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
    }
  }
  pFilter->un32FilterNumber = ++pFl->un32FilterNumber;
  pFilter->fCreationSiteKnown = 0;
  pFilter->un32NbParams = pFilter->un32NbNegative = 0;
  pFilter->fOwnerKnown = 0;
  pFilter->un64RxCallsWithMsg = pFilter->un64RxCallsWithoutMsg = pFilter->un64MsgQueued = 0;
  pFilter->un32PeakCount = 0;
  pLib->Counters.ImpFilterAlloc++;
  pLib->Counters.FilterOwned++;
  *ppFilter = pFilter;
  return VQX_RESULT_API_OK;
}

VQX_RESULT VqxFilterImplicitRelease(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter) {
  VQX_LIB* pLib = VqxLib(hLib);
  VQX_FILTER_LIB* pFl = VqxFilterLib(hLib);
  if (pFilter->un32State != VQX_FILTER_STATE_INACTIVE || pFilter->un32FilterNumber == 0) {
    /* Active, or already back on the free list (number 0): a second release would chain it twice. */
    VQX_LOG_V(hLib, 0, "VqxFilterImplicitRelease: %s\n", "VQX_RESULT_API_INVALID_STATE");
    return VQX_RESULT_API_INVALID_STATE;
  }
  VqxFilterFlush(hLib, pFilter, nullptr, 0);
  pFilter->un32FilterNumber = 0;
  pFilter->un32NbParams = 0;
  pFilter->Callbacks = _VQX_FILTER_CALLBACK_PARAMS{};
  pFilter->un32DbgMagic1 = pFilter->un32DbgMagic2 = 0;
  pFilter->pNext = pFl->pFreeImplicit;
  pFl->pFreeImplicit = pFilter;
  pLib->Counters.ImpFilterFreed++;
  if (pLib->Counters.FilterOwned != 0) pLib->Counters.FilterOwned--;
  return VQX_RESULT_API_OK;
}

void VqxHostAwakeImplictitFilters(VQX_LIB_HANDLE hLib, u32 hAdapter) {
  for (VQX_FILTER* pFilter = VqxFilterLib(hLib)->pImplicitFirst; pFilter != nullptr; pFilter = pFilter->pNext) {
    if (pFilter->un32NbParams == 0 || pFilter->aParams[0].hAdapter != hAdapter) continue;
    pFilter->un32WakeCount++;
    pFilter->WakeResult = VQX_RESULT_API_ADA_NOT_READY;
    VqxFilterNoteActivity(pFilter);
    VQX_HOSTLIB_EVENT_SET(hLib, pFilter->pEvent);
  }
}

/* ------------------------------------------------------------- registration */

namespace {

/* Send and receive entry points for the coalescing queue: *pun32Count is the capacity asked for. */
VQX_RESULT VqxReceiveMultipleHook(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 un32TimeoutMs, u32* pun32Count,
                                  VQX_MSG_HANDLE* pahMsg) {
  if (*pun32Count == 0 || *pun32Count > VQX_MAX_MSG_PER_RECEIVE_LOOP) *pun32Count = VQX_RECEIVE_MULTIPLE_MAX;
  return VqxMsgReceive(hLib, hFilter, 0, nullptr, un32TimeoutMs, pun32Count, pahMsg);
}

/* The filter layer and the receive thread open and close with every library. */
struct VqxFilterRegistrar {
  VqxFilterRegistrar() {
    const VQX_HOSTLIB_PART filters = {"Filter init failed", VqxFilterInit, VqxFilterUninit, VqxFilterWakeReaders};
    const VQX_HOSTLIB_PART rxThread = {"Rx thread init failed", VqxRxThreadInit, VqxRxThreadUninit, nullptr};
    VqxHostLibSetPart(VQX_HOSTLIB_PART_FILTERS, &filters);
    VqxHostLibSetPart(VQX_HOSTLIB_PART_RX_THREAD, &rxThread);
    VqxHostLibSetSendReceive(VQXSendMsgMultipleEx, VqxReceiveMultipleHook);
  }
};
const VqxFilterRegistrar s_Registrar;

}  // namespace
