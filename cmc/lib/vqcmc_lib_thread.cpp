/*
 * vqcmc_lib_thread.cpp - the job layer: every delivery to the application
 * (a message for an entity, a library notification, an entity event) is a
 * job, run on the keyed worker pool (two or more threads) or, with one
 * thread, from a FIFO that the intake empties at the end of each batch.
 *
 * Counting. A job is counted in "jobs queued" (and in its entity's pending
 * jobs) from its post until it starts or leaves unrun (cancelled, dropped
 * after Stop, closed), then in "jobs running" until its done step; each
 * job's flags say where it is counted, so every counter moves once per step
 * whatever way the job ends. A job removes only its own hash entries.
 *
 * Locks: the job records, hashes and counters under JobLock, a short plain
 * lock taken inside hThreadSem or alone; the rest under hThreadSem; the
 * application's callbacks run without either. In pool mode a job's start
 * step takes JobLock only (hThreadSem too when its entity waits to be
 * destroyed); its done step goes through a lock-free list that the next
 * holder of hThreadSem drains (the intake, a post, a cancel, the counters,
 * close), so the counters are exact whenever they are read.
 */
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "vqcmc_lib_internal.h"
#include "vqcmc_lib_util.h"

namespace {

u64 JobsGetKey(void*, u64 un64Value) { return reinterpret_cast<_VQCMC_JOB*>(un64Value)->un64Key; }

u32 FifoMax(const VQCMC_LIB_CTX* pCtx) {
  return pCtx->Params.un32JobsFifoMax != 0 ? pCtx->Params.un32JobsFifoMax : VQCMC_LIB_DEFAULT_JOBS_FIFO_MAX;
}

/* A message of this kind whose used payload holds un32Size bytes. */
bool IsWhole(VQX_MSG_HANDLE hMsg, u32 un32Kind, u32 un32Size) {
  return hMsg->MsgType == un32Kind && VQX_RESULT_SUCCEEDED(VQCmcLibMsgCheckRecord(hMsg, VQXMsgPayload(hMsg), un32Size));
}

/*
 * Whether the message ends its entity: the end of a call or mixer, or a refused create, in the
 * form the application's objects take it (the right kind, as long as what they read). One they
 * refuse, cut short or of another kind, ends nothing: closing the entity on its id alone would
 * leave an object that hears nothing again, its proper end included. The library's own ends are
 * built whole.
 */
bool IsTerminating(VQX_MSG_HANDLE hMsg) {
  switch (hMsg->un32MsgId) {
    case VQCMC_LIB_MSG_NOTIF_LEG_TERMINATED:
    case VQCMC_LIB_MSG_NOTIF_MIXER_TERMINATED:
      return true;
    case VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED:
      return IsWhole(hMsg, VQCMC_MSG_KIND_NOTIFICATION, sizeof(_VQCMC_NOTIF_CALL_LEG_END));
    case VQCMC_MSG_NOTIF_MIXER_TERMINATED:  // the mixer reads nothing of it beyond the id that routed it
      return hMsg->MsgType == VQCMC_MSG_KIND_NOTIFICATION;
    case VQCMC_MSG_CMD_CALL_LEG_CREATE:
    case VQCMC_MSG_CMD_MIXER_CREATE: {
      const u32 un32Size = hMsg->un32MsgId == VQCMC_MSG_CMD_CALL_LEG_CREATE ? sizeof(_VQCMC_MSG_CMD_CALL_LEG_CREATE)
                                                                            : sizeof(_VQCMC_MSG_CMD_MIXER_CREATE);
      return IsWhole(hMsg, VQCMC_MSG_KIND_RESPONSE, un32Size) &&
             reinterpret_cast<const _VQCMC_MSG_HEAD*>(VQXMsgPayload(hMsg))->n32Result < 0;
    }
    default:
      return false;
  }
}

/* Removes the job's own entry of a hash (a newer job may hold the key now). */
void HashRemoveOwn(HVQXHASH hHash, _VQCMC_JOB* pJob, u8* pfFlag) {
  if (!*pfFlag) return;
  *pfFlag = 0;
  u64 un64Value = 0;
  if (VQX_RESULT_SUCCEEDED(VQXHashFind(hHash, pJob->un64Key, &un64Value)) &&
      un64Value == reinterpret_cast<u64>(pJob)) {
    VQXHashRemove(hHash, pJob->un64Key, nullptr);
  }
}

/* Leaves "queued": started, cancelled or dropped. Under JobLock. */
void LeaveQueued(VQCMC_LIB_CTX* pCtx, _VQCMC_JOB* pJob) {
  if (!pJob->fQueued) return;
  pJob->fQueued = 0;
  if (pCtx->Stats.un32JobsQueued > 0) pCtx->Stats.un32JobsQueued--;
  if (pJob->pEntity != nullptr && pJob->pEntity->un32NbPendingJobs > 0) pJob->pEntity->un32NbPendingJobs--;
}

/* The application's callback for one job; called without the library lock. The
 * message the callback left is released here, outside the lock too. */
void CallApp(VQCMC_LIB_CTX* pCtx, _VQCMC_JOB* pJob) {
  VqCmcCallbackEnter(pCtx);
  /* The entity is not read here: it may be gone already (JobStartLocked kept its callbacks). */
  if (pJob->pEntity == nullptr) {
    pCtx->Params.Callback.pFctCallback(pCtx, pCtx->Params.Callback.pContext, &pJob->hMsg);
  } else if (pJob->hMsg->un32MsgId == VQCMC_PRIV_LEG_EVENT || pJob->hMsg->un32MsgId == VQCMC_PRIV_MIXER_EVENT) {
    if (pJob->pFctEventCallback != nullptr) {
      u64 un64Key = 0;
      memcpy(&un64Key, VQXMsgPayload(pJob->hMsg) + VQCMC_PRIV_OFFSET_EVENT_KEY, sizeof(un64Key));
      pJob->pFctEventCallback(pCtx, pJob->pvLegUserContext, un64Key, &pJob->fCancelled);
    }
  } else if (pJob->pFctCallback != nullptr) {
    pJob->pFctCallback(pCtx, pJob->pvLegUserContext, &pJob->hMsg);
  }
  VqCmcCallbackLeave();
  if (pJob->hMsg != nullptr) VQXReleaseMsgDbg(pCtx->hVqxLib, &pJob->hMsg, __FILE__, __LINE__);
}

enum class Start { Call, Skip, Destroy, NeedLibLock };

/*
 * Start step, under JobLock (and hThreadSem when fLibHeld). A job whose entity waits
 * to be destroyed stays queued (so the entity stays) until it is started again with
 * hThreadSem held, which the destruction needs.
 */
Start JobStartLocked(VQCMC_LIB_CTX* pCtx, _VQCMC_JOB* pJob, bool fLibHeld) {
  if (pCtx->fStopped) return Start::Skip;
  _VQCMC_ENTITY_CTX* pEntity = pJob->pEntity;
  const bool fDestroy = pEntity != nullptr && pEntity->fDestroyDeferred;
  if (fDestroy && !fLibHeld) return Start::NeedLibLock;
  if (pEntity != nullptr && pJob->fInPendingHash) {
    HashRemoveOwn(pCtx->hHashPendingJobs, pJob, &pJob->fInPendingHash);
    if (VQX_RESULT_SUCCEEDED(VQXHashInsert(pCtx->hHashProcessingJobs, pJob->un64Key, reinterpret_cast<u64>(pJob)))) {
      pJob->fInProcessingHash = 1;
    } else {
      VQCMC_RED(pCtx, "VqCmcThreadJobHandler", "Failed to insert Job Context into hash of processing jobs");
    }
  }
  /* Read before the pending count drops: from then on a destroy may free the entity, and a
   * modify rewrites these fields under JobLock. */
  if (pEntity != nullptr && !fDestroy) {
    pJob->pFctCallback = pEntity->Params.Callback.pFctCallback;
    pJob->pFctEventCallback = pEntity->Params.Callback.pFctEventCallback;
    pJob->pvLegUserContext = pEntity->Params.Callback.pvLegUserContext;
  }
  LeaveQueued(pCtx, pJob);
  pJob->fRunning = 1;
  pCtx->Stats.un32JobsRunning++;
  return fDestroy ? Start::Destroy : Start::Call;
}

/* Start step with hThreadSem held: true when the application's callback is to run. */
bool JobStart(VQCMC_LIB_CTX* pCtx, _VQCMC_JOB* pJob) {
  Start start;
  {
    std::lock_guard<std::mutex> guard(pCtx->JobLock);
    start = JobStartLocked(pCtx, pJob, true);
  }
  if (start == Start::Destroy) {
    _VQCMC_ENTITY_CTX* pEntity = pJob->pEntity;
    VQCMC_TRACE(pCtx, 0, "VqCmcThreadJobHandler", "Deleting Pending JoB EntityId=0x%08X,MsgId=%X",
                pEntity->Params.EntityId, pJob->hMsg->un32MsgId);
    pJob->pEntity = nullptr;
    VqCmcLibEntityDestroy(pCtx, pEntity->Params.EntityId);
  }
  if (start != Start::Call && pJob->hMsg != nullptr) VqCmcMsgFreeHandle(pCtx, &pJob->hMsg);
  return start == Start::Call;
}

/* Done step, under hThreadSem: every counter the job still holds, its own hash entries, the record. */
void JobDoneInternal(VQCMC_LIB_CTX* pCtx, _VQCMC_JOB* pJob) {
  if (pJob->hMsg != nullptr) VqCmcMsgFreeHandle(pCtx, &pJob->hMsg);
  _VQCMC_ENTITY_CTX* pDestroy = nullptr;
  {
    std::lock_guard<std::mutex> guard(pCtx->JobLock);
    HashRemoveOwn(pCtx->hHashPendingJobs, pJob, &pJob->fInPendingHash);
    HashRemoveOwn(pCtx->hHashProcessingJobs, pJob, &pJob->fInProcessingHash);
    /* A job that never started (dropped after Stop) may be the last one a deferred destroy
     * waited for: the destroy finishes here. */
    _VQCMC_ENTITY_CTX* pEntity = pJob->fQueued ? pJob->pEntity : nullptr;
    LeaveQueued(pCtx, pJob);
    if (pEntity != nullptr && pEntity->fDestroyDeferred && pEntity->un32NbPendingJobs == 0 &&
        pEntity->un32NbPendingTimers == 0) {
      pDestroy = pEntity;
    }
    if (pJob->fRunning && pCtx->Stats.un32JobsRunning > 0) pCtx->Stats.un32JobsRunning--;
    pCtx->Stats.un32JobsDone++;
  }
  if (pDestroy != nullptr) VqCmcLibEntityDestroy(pCtx, pDestroy->Params.EntityId);
  if (pCtx->un32JobsLive > 0) pCtx->un32JobsLive--;
  VqCmcHostJobEnded(pCtx, pJob->un64Serial);
  delete pJob;
}

/* Pool mode: the start step under JobLock alone (hThreadSem only for an entity waiting
 * to be destroyed), the callback after it; the pool's done step hands the job to the
 * next holder of hThreadSem, which ends it (VqCmcThreadDrainEnded). */
VQX_RESULT PoolHandler(VQX_MULTI_THREADED_JOBS_HANDLE, void* pvJob) {
  _VQCMC_JOB* pJob = static_cast<_VQCMC_JOB*>(pvJob);
  VQCMC_LIB_CTX* pCtx = pJob->pCtx;
  Start start;
  {
    std::lock_guard<std::mutex> guard(pCtx->JobLock);
    start = JobStartLocked(pCtx, pJob, false);
  }
  bool fCall = start == Start::Call;
  if (start == Start::NeedLibLock) {
    VqxMutexGet(pCtx->hThreadSem);
    VqCmcThreadDrainEnded(pCtx);
    fCall = JobStart(pCtx, pJob);
    VqxMutexGive(pCtx->hThreadSem);
  } else if (start == Start::Skip) {
    VqCmcMsgFreeHandle(pCtx, &pJob->hMsg);
  }
  if (fCall) CallApp(pCtx, pJob);
  return fCall ? VQX_RESULT_OK : VQX_RESULT_NOT_READY;
}

/* Also called with the cancelled result for a job that never ran; the last use of the
 * record by the pool, so the record may be ended (and freed) by another thread from here. */
void PoolDone(VQX_MULTI_THREADED_JOBS_HANDLE, void* pvJob, VQX_RESULT) {
  _VQCMC_JOB* pJob = static_cast<_VQCMC_JOB*>(pvJob);
  VQCMC_LIB_CTX* pCtx = pJob->pCtx;
  pJob->pNextEnded = pCtx->pEndedJobs.load(std::memory_order_relaxed);
  while (!pCtx->pEndedJobs.compare_exchange_weak(pJob->pNextEnded, pJob, std::memory_order_release,
                                                 std::memory_order_relaxed)) {
  }
}

u32 PoolClass(u32 un32Prio) {
  switch (un32Prio) {
    case 0: return VQX_THREAD_PRIORITY_NORMAL;
    case 1: return VQX_THREAD_PRIORITY_RT_LOW;
    case 3: return VQX_THREAD_PRIORITY_RT_MID;
    default: return VQX_THREAD_PRIORITY_RT_HIGH;
  }
}

}  // namespace

VQX_RESULT VqCmcThreadInit(VQCMC_LIB_CTX* pCtx) {
  static const char* kOp = "VqCmcThreadInit";
  const u32 un32MaxLegs = pCtx->Params.un32MaxLegs != 0 ? pCtx->Params.un32MaxLegs : VQCMC_LIB_DEFAULT_MAX_LEGS;
  pCtx->hHashPendingJobs = VQXHashCreateInternal(un32MaxLegs, JobsGetKey, nullptr, nullptr, pCtx, "cmc jobs", 0);
  if (pCtx->hHashPendingJobs == nullptr) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_NOT_ENOUGH_MEMORY, "Failed To alloc hash of Jobs");
    return VQX_RESULT_NOT_ENOUGH_MEMORY;
  }
  pCtx->hHashProcessingJobs = VQXHashCreateInternal(pCtx->Params.Threads.un32NbThread + 1, JobsGetKey, nullptr,
                                                    nullptr, pCtx, "cmc processing jobs", 0);
  VQX_RESULT result = VQX_RESULT_OK;
  if (pCtx->hHashProcessingJobs == nullptr) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_NOT_ENOUGH_MEMORY, "Failed To alloc hash of processing Jobs");
    result = VQX_RESULT_NOT_ENOUGH_MEMORY;
  } else if (pCtx->Params.Threads.un32NbThread >= 2) {
    VQX_MULTI_THREADED_JOBS_PARAMS params{pCtx->Params.Threads.un32NbThread, FifoMax(pCtx),
                                          PoolClass(pCtx->Params.Threads.Prio), PoolDone};
    result = VQXMultiThreadedJobsOpenLib(&params, &pCtx->hJobPool);
    if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, kOp, result, "VQXMultiThreadedJobsOpenLib Failed");
  } else {
    pCtx->un32FifoCapacity = FifoMax(pCtx);
    pCtx->papJobsFifo = static_cast<_VQCMC_JOB**>(calloc(pCtx->un32FifoCapacity, sizeof(_VQCMC_JOB*)));
    if (pCtx->papJobsFifo == nullptr) {
      VQCMC_ERR(pCtx, kOp, VQX_RESULT_OUT_OF_MEMORY, "Failed to initialize papJobsFifo");
      result = VQX_RESULT_OUT_OF_MEMORY;
    }
  }
  if (VQX_RESULT_FAILED(result)) VqCmcThreadUninit(pCtx);
  return result;
}

VQX_RESULT VqCmcThreadUninit(VQCMC_LIB_CTX* pCtx) {
  if (pCtx->hJobPool != nullptr) {
    /* Jobs still queued come back through the done step, which takes hThreadSem. */
    if (VQX_RESULT_FAILED(VQXMultiThreadedJobsCloseLib(pCtx->hJobPool))) {
      VQCMC_RED(pCtx, "VqCmcThreadUninit", "VQXMultiThreadedJobsCloseLib Failed");
    }
    pCtx->hJobPool = nullptr;
    VqxMutexGet(pCtx->hThreadSem);
    VqCmcThreadDrainEnded(pCtx);
    VqxMutexGive(pCtx->hThreadSem);
  }
  if (pCtx->papJobsFifo != nullptr) {
    VqxMutexGet(pCtx->hThreadSem);
    while (pCtx->un32FifoCount > 0) {
      _VQCMC_JOB* pJob = pCtx->papJobsFifo[pCtx->un32FifoHead];
      pCtx->un32FifoHead = (pCtx->un32FifoHead + 1) % pCtx->un32FifoCapacity;
      pCtx->un32FifoCount--;
      JobDoneInternal(pCtx, pJob);
    }
    VqxMutexGive(pCtx->hThreadSem);
    free(pCtx->papJobsFifo);
    pCtx->papJobsFifo = nullptr;
  }
  if (pCtx->hHashPendingJobs != nullptr && VQX_RESULT_FAILED(VQXHashDestroy(pCtx->hHashPendingJobs))) {
    VQCMC_RED(pCtx, "VqCmcThreadUninit", "Failed To free hash of jobs");
  }
  pCtx->hHashPendingJobs = nullptr;
  if (pCtx->hHashProcessingJobs != nullptr && VQX_RESULT_FAILED(VQXHashDestroy(pCtx->hHashProcessingJobs))) {
    VQCMC_RED(pCtx, "VqCmcThreadUninit", "Failed To free hash of processing jobs");
  }
  pCtx->hHashProcessingJobs = nullptr;
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcThreadJobPost(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pEntity, u64 un64Key, u32 un32SerialKey,
                              VQX_MSG_HANDLE* phMsg) {
  static const char* kOp = "VqCmcThreadJobPost";
  VqCmcThreadDrainEnded(pCtx);
  VQX_MSG_HANDLE hMsg = *phMsg;
  *phMsg = nullptr;
  if (pEntity != nullptr && (pEntity->un8Flags & VQCMC_ENTITY_FLAG_TERMINATE_POSTED) != 0) {
    VQCMC_TRACE(pCtx, 4, kOp, "Ignoring MsgId=0x%08X for EntityId=0x%08X, which 'terminate' has already been posted for.",
                hMsg->un32MsgId, pEntity->Params.EntityId);
    VqCmcMsgFreeHandle(pCtx, &hMsg);
    return VQX_RESULT_INVALID_STATE;
  }
  if (un64Key != 0) {
    u64 un64Old = 0;
    _VQCMC_JOB* pOld = nullptr;
    {
      std::lock_guard<std::mutex> guard(pCtx->JobLock);
      if (VQX_RESULT_SUCCEEDED(VQXHashRemove(pCtx->hHashProcessingJobs, un64Key, &un64Old))) {
        pOld = reinterpret_cast<_VQCMC_JOB*>(un64Old);
        pOld->fInProcessingHash = 0;
      }
    }
    if (pOld != nullptr) {
      VQCMC_TRACE(pCtx, 0, kOp,
                  "VqCmcThreadJobPost: HashKey 0x%p being reused for a new job (for EntityId 0x%08X). Assuming old "
                  "job (0x%p, EntityId 0x%08X) is done.",
                  reinterpret_cast<void*>(un64Key), pEntity != nullptr ? pEntity->Params.EntityId : 0u,
                  static_cast<void*>(pOld), pOld->pEntity != nullptr ? pOld->pEntity->Params.EntityId : 0u);
    }
  }
  _VQCMC_JOB* pJob = new (std::nothrow) _VQCMC_JOB{};
  VQX_RESULT result = VQX_RESULT_OK;
  if (pJob == nullptr) {
    result = VQX_RESULT_NOT_ENOUGH_MEMORY;
    VQCMC_ERR(pCtx, kOp, result, "Failed to get Job Context!!");
    VqCmcMsgFreeHandle(pCtx, &hMsg);
    return result;
  }
  pJob->pCtx = pCtx;
  pJob->hMsg = hMsg;
  pJob->pEntity = pEntity;
  pJob->un64Key = un64Key;
  /* Read now: once in the pool, the job may run and its message go at once. */
  const bool fTerminating = pEntity != nullptr && IsTerminating(hMsg);
  {
    std::lock_guard<std::mutex> guard(pCtx->JobLock);
    if (un64Key != 0) {
      result = VQXHashInsert(pCtx->hHashPendingJobs, un64Key, reinterpret_cast<u64>(pJob));
      if (VQX_RESULT_FAILED(result)) {
        VQCMC_ERR(pCtx, kOp, result, "Failed to insert Job Context in hash (duplicate job HashKey?)");
      } else {
        pJob->fInPendingHash = 1;
      }
    }
    if (VQX_RESULT_SUCCEEDED(result) && pCtx->hJobPool == nullptr && pCtx->un32FifoCount >= pCtx->un32FifoCapacity) {
      result = VQX_RESULT_OUT_OF_RESOURCE;
      VQCMC_ERR(pCtx, kOp, result, "un32JobsFifoMax reached");
    }
    /* Counted before the start: a worker may start the job as soon as JobLock is free. */
    if (VQX_RESULT_SUCCEEDED(result)) {
      pJob->fQueued = 1;
      pJob->un64Serial = pCtx->un64NextJobSerial++;
      pCtx->Stats.un32JobsQueued++;
      pCtx->un32JobsLive++;
      if (pEntity != nullptr) pEntity->un32NbPendingJobs++;
    }
    if (VQX_RESULT_SUCCEEDED(result) && pCtx->hJobPool != nullptr) {
      VQX_MULTI_THREADED_JOB_START_PARAMS start{0, pEntity != nullptr ? un32SerialKey : VQCMC_LIB_JOB_KEY,
                                                PoolHandler};
      result = VQXMultiThreadedJobStart(pCtx->hJobPool, pJob, &start);
      if (VQX_RESULT_FAILED(result)) {
        VQCMC_ERR(pCtx, kOp, result, "VQXMultiThreadedJobStart Failed");
        LeaveQueued(pCtx, pJob);
        pCtx->un32JobsLive--;
      }
    }
    if (VQX_RESULT_FAILED(result)) HashRemoveOwn(pCtx->hHashPendingJobs, pJob, &pJob->fInPendingHash);
  }
  if (VQX_RESULT_FAILED(result)) {
    VqCmcMsgFreeHandle(pCtx, &pJob->hMsg);
    delete pJob;
    return result;
  }
  if (fTerminating) pEntity->un8Flags |= VQCMC_ENTITY_FLAG_TERMINATE_POSTED;
  if (pCtx->hJobPool == nullptr) {
    pCtx->papJobsFifo[(pCtx->un32FifoHead + pCtx->un32FifoCount) % pCtx->un32FifoCapacity] = pJob;
    pCtx->un32FifoCount++;
  }
  return VQX_RESULT_OK;
}

void VqCmcThreadDrainEnded(VQCMC_LIB_CTX* pCtx) {
  _VQCMC_JOB* pJob = pCtx->pEndedJobs.exchange(nullptr, std::memory_order_acquire);
  while (pJob != nullptr) {
    _VQCMC_JOB* pNext = pJob->pNextEnded;
    JobDoneInternal(pCtx, pJob);
    pJob = pNext;
  }
}

void VqCmcThreadRunFifo(VQCMC_LIB_CTX* pCtx) {
  /* Jobs posted by these jobs run in the same loop; bounded by what the FIFO can hold. */
  while (pCtx->papJobsFifo != nullptr && pCtx->un32FifoCount > 0) {
    _VQCMC_JOB* pJob = pCtx->papJobsFifo[pCtx->un32FifoHead];
    pCtx->papJobsFifo[pCtx->un32FifoHead] = nullptr;
    pCtx->un32FifoHead = (pCtx->un32FifoHead + 1) % pCtx->un32FifoCapacity;
    pCtx->un32FifoCount--;
    if (JobStart(pCtx, pJob)) {
      const u32 un32Levels = VqxMutexHeldCount(pCtx->hThreadSem);
      for (u32 i = 0; i < un32Levels; i++) VqxMutexGive(pCtx->hThreadSem);
      CallApp(pCtx, pJob);
      for (u32 i = 0; i < un32Levels; i++) VqxMutexGet(pCtx->hThreadSem);
    }
    JobDoneInternal(pCtx, pJob);
  }
}

void VqCmcThreadWaitForRoom(VQCMC_LIB_CTX* pCtx) {
  if (pCtx->hJobPool == nullptr) return;
  const u32 un32Max = FifoMax(pCtx);
  const u32 un32Room = un32Max - std::min(un32Max / 8, VQCMC_INTAKE_JOB_MARGIN);
  while (VQXMultiThreadedJobGetCount(pCtx->hJobPool) >= un32Room &&
         __atomic_load_n(&pCtx->fSendWaitsEnd, __ATOMIC_ACQUIRE) == 0) {
    const u32 un32Levels = VqxMutexHeldCount(pCtx->hThreadSem);
    for (u32 i = 0; i < un32Levels; i++) VqxMutexGive(pCtx->hThreadSem);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (u32 i = 0; i < un32Levels; i++) VqxMutexGet(pCtx->hThreadSem);
    VqCmcThreadDrainEnded(pCtx);
  }
}

u32 VqCmcThreadJobsHeld(VQCMC_LIB_CTX* pCtx) {
  return pCtx->hJobPool != nullptr ? VQXMultiThreadedJobGetCount(pCtx->hJobPool) : pCtx->un32FifoCount;
}

VQX_RESULT VqCmcThreadJobEventPostInternal(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX* pEntity, u64 un64EventKey,
                                           const char*, u32) {
  if ((pEntity->un8Flags & VQCMC_ENTITY_FLAG_TERMINATE_POSTED) != 0) {
    VQCMC_TRACE(pCtx, 4, "VqCmcThreadJobEventPost",
                "Ignoring Entity Event for EntityId=0x%08X, which 'terminate' has already been posted for.",
                pEntity->Params.EntityId);
    return VQX_RESULT_INVALID_STATE;
  }
  const u32 un32Id = pEntity->Type == VQCMC_ENTITY_TYPE_MIXER ? VQCMC_PRIV_MIXER_EVENT : VQCMC_PRIV_LEG_EVENT;
  u8* pPayload = nullptr;
  VQX_RESULT result = VqCmcMsgPrivateAlloc(pCtx, un32Id, &pPayload);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, "VqCmcThreadJobEventPost", result, "VqCmcMsgPrivateAlloc Failed");
    return result;
  }
  memcpy(pPayload + VQCMC_PRIV_OFFSET_ENTITY_ID, &pEntity->Params.EntityId, sizeof(u32));
  memcpy(pPayload + VQCMC_PRIV_OFFSET_EVENT_KEY, &un64EventKey, sizeof(u64));
  VQX_MSG_HANDLE hMsg = VqCmcMsgFromPayload(pCtx, pPayload);
  return VqCmcThreadJobPost(pCtx, pEntity, un64EventKey, pEntity->Params.un32SerialisationId, &hMsg);
}

VQX_RESULT VqCmcThreadJobEventCancel(VQCMC_LIB_CTX* pCtx, _VQCMC_ENTITY_CTX*, u64 un64EventKey) {
  static const char* kOp = "VqCmcThreadJobEventCancel";
  VqCmcThreadDrainEnded(pCtx);
  u64 un64Value = 0;
  _VQCMC_JOB* pJob = nullptr;
  VQX_RESULT result = VQX_RESULT_OK;
  {
    std::lock_guard<std::mutex> guard(pCtx->JobLock);
    if (VQX_RESULT_SUCCEEDED(VQXHashRemove(pCtx->hHashProcessingJobs, un64EventKey, &un64Value))) {
      pJob = reinterpret_cast<_VQCMC_JOB*>(un64Value);
      pJob->fInProcessingHash = 0;
      pJob->fCancelled = 1;
    } else {
      result = VQXHashFind(pCtx->hHashPendingJobs, un64EventKey, &un64Value);
      if (VQX_RESULT_SUCCEEDED(result)) {
        /* Queued: the record stays until its done step, which needs hThreadSem we hold. */
        pJob = reinterpret_cast<_VQCMC_JOB*>(un64Value);
        pJob->fCancelled = 1;
        result = VQX_RESULT_NOT_READY;
      }
    }
  }
  if (result == VQX_RESULT_OK) {
    VQCMC_TRACE(pCtx, 1, kOp, "Canceled processing job\n");
    return VQX_RESULT_OK;
  }
  if (pJob == nullptr) {
    VQCMC_ERR(pCtx, kOp, result, "Failed to find Job Context in hash");
    return result;
  }
  if (pCtx->hJobPool != nullptr) {
    VQX_MULTI_THREADED_JOB_CONTROL control{VQX_MT_JOB_CONTROL_CANCEL};
    result = VQXMultiThreadedJobControl(pCtx->hJobPool, pJob, &control);
    if (result == VQX_RESULT_ACCESS_DENIED) {
      VQCMC_TRACE(pCtx, 1, kOp, "Canceled job no more in jobs lib");
      return VQX_RESULT_OK;
    }
    if (VQX_RESULT_FAILED(result)) {
      VQCMC_ERR(pCtx, kOp, result, "VQXMultiThreadedJobControl Failed");
      return result;
    }
  }
  _VQCMC_ENTITY_CTX* pDestroy = nullptr;
  {
    std::lock_guard<std::mutex> guard(pCtx->JobLock);
    /* Out of the pool's queue: its done step follows on a worker and counts nothing more.
     * In the FIFO the job stays queued and counted until it runs (its callback sees the
     * flag); the key is freed now so that a new event of the key can be posted. */
    if (pCtx->hJobPool != nullptr) LeaveQueued(pCtx, pJob);
    HashRemoveOwn(pCtx->hHashPendingJobs, pJob, &pJob->fInPendingHash);
    /* The entity's destroy may have waited for this job alone: it finishes now. */
    _VQCMC_ENTITY_CTX* pEntity = pJob->pEntity;
    if (pCtx->hJobPool != nullptr && pEntity != nullptr && pEntity->fDestroyDeferred &&
        pEntity->un32NbPendingJobs == 0 && pEntity->un32NbPendingTimers == 0) {
      pDestroy = pEntity;
      pJob->pEntity = nullptr;
    }
  }
  if (pDestroy != nullptr) VqCmcLibEntityDestroy(pCtx, pDestroy->Params.EntityId);
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcThreadJobReserialize(VQCMC_LIB_CTX* pCtx, u32 un32OldKey, u32 un32NewKey) {
  if (pCtx->hJobPool == nullptr) return VQX_RESULT_OK;
  VQX_MULTI_THREADED_JOB_SERIALIZED_CONTROL control{VQX_MT_JOB_SERIALIZED_CONTROL_REKEY, un32NewKey};
  const VQX_RESULT result = VQXMultiThreadedJobSeriliazedControl(pCtx->hJobPool, un32OldKey, &control);
  if (result == VQX_RESULT_NOT_FOUND) return VQX_RESULT_OK;
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, "VqCmcThreadJobReserialize", result, "VQXMultiThreadedJobSeriliazedControl Failed");
  }
  return result;
}
