/*
 * vqcmc_lib_event.cpp - entity events: an application event key attached to
 * a leg or mixer and delivered through that entity's jobs after a delay.
 * Timed events are records in a hash by event key and in a wheel of their
 * own (usage flag at byte 4); each entity chains its records so that its
 * destruction drops them. The intake's timer poll posts the due ones.
 *
 * A due time counts from the clock read when the event is scheduled, never
 * from the last poll, so no event is delivered before its delay. An event
 * that the job layer refuses at expiry because the entity's terminal notice
 * is posted can never be delivered: its record is removed at once, so that
 * it does not hold the entity's destruction back.
 * Runs with hThreadSem held.
 */
#include <cstdlib>
#include <vector>

#include "vqcmc_lib_internal.h"

namespace {

constexpr u32 kMaxDelayMs = 0x7FFFFFFFu;

u32 MaxLegs(const VQCMC_LIB_CTX* pCtx) {
  return pCtx->Params.un32MaxLegs != 0 ? pCtx->Params.un32MaxLegs : VQCMC_LIB_DEFAULT_MAX_LEGS;
}

void Unlink(_VQCMC_ENTITY_EVENT* pEvent) {
  _VQCMC_ENTITY_CTX* pEntity = pEvent->pEntity;
  if (pEvent->pPrev != nullptr) {
    pEvent->pPrev->pNext = pEvent->pNext;
  } else {
    pEntity->pEventHead = pEvent->pNext;
  }
  if (pEvent->pNext != nullptr) pEvent->pNext->pPrev = pEvent->pPrev;
}

/* Out of the wheel, the entity's chain and count, the hash; freed. True when the entity
 * now waits for nothing but its deferred destroy. */
bool Release(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_EVENT* pEvent) {
  VQXTimerRemove(pCtx->hEventTimer, pEvent);
  _VQCMC_ENTITY_CTX* pEntity = pEvent->pEntity;
  Unlink(pEvent);
  bool fDestroy = false;
  {
    std::lock_guard<std::mutex> guard(pCtx->JobLock);
    if (pEntity->un32NbPendingTimers != 0) pEntity->un32NbPendingTimers--;
    fDestroy = (pEntity->un8Flags & VQCMC_ENTITY_FLAG_DESTROY_DEFERRED) != 0 && pEntity->un32NbPendingTimers == 0;
  }
  const VQX_RESULT result = VQXHashRemove(pCtx->hHashOfTimers, pEvent->un64EventKey, nullptr);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_RED(pCtx, "VqCmcLibEntityEventRemoveTimer", "Failed to remove timer from hHashOfTimers (result 0x%08X)\n",
              result);
  }
  free(pEvent);
  return fDestroy;
}

}  // namespace

VQX_RESULT VqCmcEntityEventInit(VQCMC_LIB_CTX* pCtx) {
  static const char* kOp = "VqCmcEntityEventInit";
  pCtx->hHashOfTimers = VQXHashCreateWithKeyInternal(MaxLegs(pCtx), "cmc entity events", 0);
  if (pCtx->hHashOfTimers == nullptr) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_NOT_ENOUGH_MEMORY, "Failed to allocate hash of timers");
    return VQX_RESULT_NOT_ENOUGH_MEMORY;
  }
  pCtx->un32EventTimeMs = VqCmcClockRead(pCtx);
  pCtx->hEventTimer = VQXTimerCreate(0, 1, 0x7FFFFFFF, pCtx->un32EventTimeMs);
  if (pCtx->hEventTimer == nullptr) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_OUT_OF_MEMORY, "Failed to allocate timer lib");
    VQXHashDestroy(pCtx->hHashOfTimers);
    pCtx->hHashOfTimers = nullptr;
    return VQX_RESULT_OUT_OF_MEMORY;
  }
  VQXTimerSetUsageFlagOffset(pCtx->hEventTimer, VQCMC_EVENT_OFFSET_IN_USE);
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcEntityEventUninit(VQCMC_LIB_CTX* pCtx) {
  static const char* kOp = "VqCmcEntityEventUninit";
  /* Pending events are not delivered; their records go with the table. */
  if (pCtx->hEntityPool != nullptr && pCtx->hHashOfTimers != nullptr) {
    for (void* p = VQXPoolOfBuffersFirst(pCtx->hEntityPool); p != nullptr; p = VQXPoolOfBuffersNext(pCtx->hEntityPool, p)) {
      VqCmcLibEntityEventDropAll(pCtx, static_cast<_VQCMC_ENTITY_CTX*>(p));
    }
  }
  if (pCtx->hEventTimer != nullptr && VQX_RESULT_FAILED(VQXTimerDestroy(pCtx->hEventTimer))) {
    VQCMC_RED(pCtx, kOp, "Failed to Destroy timer lib");
  }
  pCtx->hEventTimer = nullptr;
  if (pCtx->hHashOfTimers != nullptr && VQX_RESULT_FAILED(VQXHashDestroy(pCtx->hHashOfTimers))) {
    VQCMC_RED(pCtx, kOp, "Failed To free pool of timers");
  }
  pCtx->hHashOfTimers = nullptr;
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcLibEntityEvent(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pEntity, u64 un64EventKey, u32 un32DelayMs) {
  static const char* kOp = "VqCmcLibEntityEvent";
  if (un32DelayMs == 0 || un32DelayMs == 0xFFFFFFFFu) {
    const VQX_RESULT result = VqCmcThreadJobEventPostInternal(pCtx, pEntity, un64EventKey, __FILE__, __LINE__);
    if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, kOp, result, "VqCmcThreadJobEventPost Failed");
    return result;
  }
  /* The wheel counts a due time more than 0x7FFFFFFF ms ahead as past: it would fire at once. */
  if (un32DelayMs > kMaxDelayMs) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_INVALID_PARAM, "VqCmcLibEntityEventInsertTimer Failed Delay=0x%08X", un32DelayMs);
    return VQX_RESULT_INVALID_PARAM;
  }
  /* The wheel's own time moves to the clock first, so that the due time is within its reach. */
  const u32 un32Now = VqCmcClockRead(pCtx);
  u32 un32Due = 0;
  VQXTimerPoll(pCtx->hEventTimer, un32Now, &un32Due, nullptr);
  VQX_RESULT result = VQX_RESULT_OK;
  auto* pEvent = static_cast<_VQCMC_ENTITY_EVENT*>(calloc(1, sizeof(_VQCMC_ENTITY_EVENT)));
  if (pEvent == nullptr) {
    result = VQX_RESULT_NOT_ENOUGH_MEMORY;
    VQCMC_ERR(pCtx, kOp, result, "Failed to allocate timer context");
  } else if (result = VQXHashInsert(pCtx->hHashOfTimers, un64EventKey, reinterpret_cast<u64>(pEvent));
             VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kOp, result, "VQXHashInsert Failed in hHashOfTimers.");
    free(pEvent);
  } else {
    pEvent->un32DelayMs = un32DelayMs;
    pEvent->pEntity = pEntity;
    pEvent->un64EventKey = un64EventKey;
    result = VQXTimerInsert(pCtx->hEventTimer, un32Now + un32DelayMs, pEvent);
    if (VQX_RESULT_FAILED(result)) {
      VQCMC_ERR(pCtx, kOp, result, "VQXTimerInsert Failed.");
      VQXHashRemove(pCtx->hHashOfTimers, un64EventKey, nullptr);
      free(pEvent);
    }
  }
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kOp, result, "VqCmcLibEntityEventInsertTimer Failed");
    return result;
  }
  pEvent->pNext = pEntity->pEventHead;
  if (pEvent->pNext != nullptr) pEvent->pNext->pPrev = pEvent;
  pEntity->pEventHead = pEvent;
  std::lock_guard<std::mutex> guard(pCtx->JobLock);
  pEntity->un32NbPendingTimers++;
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcLibEntityEventCancel(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pEntity, u64 un64EventKey) {
  u64 un64Value = 0;
  if (VQX_RESULT_SUCCEEDED(VQXHashFind(pCtx->hHashOfTimers, un64EventKey, &un64Value))) {
    return VqCmcLibEntityEventRemoveTimer(pCtx, reinterpret_cast<_VQCMC_ENTITY_EVENT*>(un64Value));
  }
  /* Already due: its job may still be queued or running. */
  const VQX_RESULT result = VqCmcThreadJobEventCancel(pCtx, pEntity, un64EventKey);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, "VqCmcLibEntityEventCancel", result, "VqCmcThreadJobEventCancel Failed");
  }
  return result;
}

VQX_RESULT VqCmcLibEntityEventRemoveTimer(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_EVENT* pEvent) {
  const u32 un32EntityId = pEvent->pEntity->Params.EntityId;
  if (Release(pCtx, pEvent)) VqCmcLibEntityDestroy(pCtx, un32EntityId);
  return VQX_RESULT_OK;
}

void VqCmcLibEntityEventDropAll(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pEntity) {
  while (pEntity->pEventHead != nullptr) Release(pCtx, pEntity->pEventHead);
}

VQX_RESULT VqCmcLibEntityEventPollTimers(VQCMC_LIB_CTX* pCtx) {
  static const char* kOp = "VqCmcLibEntityEventPollTimers";
  pCtx->un32EventTimeMs = VqCmcClockRead(pCtx);
  u32 un32Count = 0;
  VQX_RESULT result = VQXTimerPoll(pCtx->hEventTimer, pCtx->un32EventTimeMs, &un32Count, nullptr);
  if (VQX_RESULT_SUCCEEDED(result) && un32Count == 0) return VQX_RESULT_OK;
  void** apRecords = nullptr;
  if (VQX_RESULT_SUCCEEDED(result)) {
    apRecords = static_cast<void**>(malloc(sizeof(void*) * un32Count));
    if (apRecords == nullptr) {
      VQCMC_ERR(pCtx, kOp, VQX_RESULT_OUT_OF_MEMORY, "Failed to alloate array of expired timers.");
      return VQX_RESULT_OUT_OF_MEMORY;
    }
    result = VQXTimerPoll(pCtx->hEventTimer, pCtx->un32EventTimeMs, &un32Count, apRecords);
  }
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kOp, result, "Failed to poll evt timers.");
    free(apRecords);
    return result;
  }
  /* Deferred destroys run after the walk: a destroy drops the entity's other records,
   * which may still be further on in the array. */
  std::vector<u32> aDestroy;
  for (u32 i = 0; i < un32Count; i++) {
    auto* pEvent = static_cast<_VQCMC_ENTITY_EVENT*>(apRecords[i]);
    const u32 un32EntityId = pEvent->pEntity->Params.EntityId;
    result = VqCmcThreadJobEventPostInternal(pCtx, pEvent->pEntity, pEvent->un64EventKey, __FILE__, __LINE__);
    if (VQX_RESULT_SUCCEEDED(result) || result == VQX_RESULT_INVALID_STATE) {
      /* Delivered, or never deliverable (terminal notice posted): the record goes. */
      if (Release(pCtx, pEvent)) aDestroy.push_back(un32EntityId);
    } else {
      VQCMC_ERR(pCtx, kOp, result, "VqCmcThreadJobEventPost Failed");
      /* Due again at once: the next poll retries it. */
      VQXTimerInsert(pCtx->hEventTimer, pCtx->un32EventTimeMs, pEvent);
    }
  }
  free(apRecords);
  for (u32 un32Id : aDestroy) VqCmcLibEntityDestroy(pCtx, un32Id);
  return VQX_RESULT_OK;
}
