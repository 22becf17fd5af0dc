/*
 * vqx_jobs.cpp - keyed worker-thread job pool (see vqx_jobs.h).
 *
 * Model: one lock guards the whole pool. Every job is an entry queued on its
 * key's record; a key record that has queued jobs and no running job sits in
 * the ready list, which the workers serve first in, first out. A worker takes
 * the head job of the first ready key, marks the key running, and runs the
 * handler and the done callback without the lock; only then does the key go
 * back to the end of the ready list (when it has more jobs). That gives
 * in-order, one-at-a-time execution per key and parallelism across keys.
 * Cancelled jobs go to a separate list that the workers serve before the
 * ready list, so their done callbacks never wait for a busy key.
 * Entries and key records are recycled through free lists to keep the hot
 * path free of allocations.
 */
#include "vqx_jobs.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "vqx_string.h"
#include "vqx_thread.h"

namespace {

struct VqxJobKey;

enum class VqxJobState : u8 { Queued, Running, Cancelled };

struct VqxJobEntry {
  void* pvJob = nullptr;
  PFN_VQX_MT_JOB_HANDLER pFctHandler = nullptr;
  VqxJobKey* pKey = nullptr;     /* key record while queued or running */
  VqxJobEntry* pPrev = nullptr;  /* links in the key queue or the cancelled list */
  VqxJobEntry* pNext = nullptr;
  VqxJobState state = VqxJobState::Queued;
};

struct VqxJobList {
  VqxJobEntry* pHead = nullptr;
  VqxJobEntry* pTail = nullptr;

  bool Empty() const { return pHead == nullptr; }
  void PushBack(VqxJobEntry* p) {
    p->pNext = nullptr;
    p->pPrev = pTail;
    (pTail != nullptr ? pTail->pNext : pHead) = p;
    pTail = p;
  }
  void Remove(VqxJobEntry* p) {
    (p->pPrev != nullptr ? p->pPrev->pNext : pHead) = p->pNext;
    (p->pNext != nullptr ? p->pNext->pPrev : pTail) = p->pPrev;
    p->pPrev = p->pNext = nullptr;
  }
  VqxJobEntry* PopFront() {
    VqxJobEntry* p = pHead;
    if (p != nullptr) Remove(p);
    return p;
  }
  /* Moves all of other to the end of this list, keeping the order. */
  void Splice(VqxJobList& other) {
    if (other.Empty()) return;
    if (Empty()) {
      pHead = other.pHead;
    } else {
      pTail->pNext = other.pHead;
      other.pHead->pPrev = pTail;
    }
    pTail = other.pTail;
    other.pHead = other.pTail = nullptr;
  }
};

struct VqxJobKey {
  u32 un32Key = 0;
  VqxJobList queue;
  bool fRunning = false;
  bool fInReady = false;
  VqxJobKey* pReadyNext = nullptr;
};

} // namespace

struct _VQX_MULTI_THREADED_JOBS {
  VQX_MULTI_THREADED_JOBS_PARAMS params{};
  std::mutex lock;
  std::condition_variable wake;
  u32 un32Idle = 0;      /* workers waiting on wake */
  u32 un32Held = 0;      /* jobs held: queued, running, cancelled not yet done */
  bool fStopping = false;

  std::unordered_map<void*, VqxJobEntry*> jobs;
  std::unordered_map<u32, VqxJobKey*> keys;
  VqxJobKey* pReadyHead = nullptr;
  VqxJobKey* pReadyTail = nullptr;
  VqxJobList cancelled;

  std::vector<VqxJobEntry*> freeEntries;
  std::vector<VqxJobKey*> freeKeys;
  std::vector<VQX_THREAD_RECORD*> workers;
};

namespace {

using Pool = _VQX_MULTI_THREADED_JOBS;

/* The pool whose handler or done callback the current thread is running. */
thread_local const Pool* t_pInsidePool = nullptr;

VqxJobEntry* VqxJobsNewEntry(Pool* p) {
  if (!p->freeEntries.empty()) {
    VqxJobEntry* e = p->freeEntries.back();
    p->freeEntries.pop_back();
    *e = VqxJobEntry{};
    return e;
  }
  return new (std::nothrow) VqxJobEntry;
}

void VqxJobsFreeEntry(Pool* p, VqxJobEntry* e) {
  try {
    p->freeEntries.push_back(e);
  } catch (...) {
    delete e;
  }
}

void VqxJobsPushReady(Pool* p, VqxJobKey* k) {
  k->fInReady = true;
  k->pReadyNext = nullptr;
  (p->pReadyTail != nullptr ? p->pReadyTail->pReadyNext : p->pReadyHead) = k;
  p->pReadyTail = k;
}

VqxJobKey* VqxJobsPopReady(Pool* p) {
  VqxJobKey* k = p->pReadyHead;
  if (k == nullptr) return nullptr;
  p->pReadyHead = k->pReadyNext;
  if (p->pReadyHead == nullptr) p->pReadyTail = nullptr;
  k->fInReady = false;
  k->pReadyNext = nullptr;
  return k;
}

/* Finds or makes the record of a key; null without memory. */
VqxJobKey* VqxJobsGetKey(Pool* p, u32 un32Key) {
  auto it = p->keys.find(un32Key);
  if (it != p->keys.end()) return it->second;
  VqxJobKey* k = nullptr;
  if (!p->freeKeys.empty()) {
    k = p->freeKeys.back();
    p->freeKeys.pop_back();
    *k = VqxJobKey{};
  } else {
    k = new (std::nothrow) VqxJobKey;
    if (k == nullptr) return nullptr;
  }
  k->un32Key = un32Key;
  try {
    p->keys.emplace(un32Key, k);
  } catch (...) {
    delete k;
    return nullptr;
  }
  return k;
}

/* Forgets a key record once nothing refers to it any more. */
void VqxJobsReleaseKeyIfIdle(Pool* p, VqxJobKey* k) {
  if (!k->queue.Empty() || k->fRunning || k->fInReady) return;
  p->keys.erase(k->un32Key);
  try {
    p->freeKeys.push_back(k);
  } catch (...) {
    delete k;
  }
}

/* A key with queued jobs and none running belongs in the ready list. */
void VqxJobsMakeReadyIfNeeded(Pool* p, VqxJobKey* k) {
  if (!k->queue.Empty() && !k->fRunning && !k->fInReady) VqxJobsPushReady(p, k);
}

/* Wakes one idle worker when there is work it could take. */
void VqxJobsWakeIfWork(Pool* p) {
  if (p->un32Idle > 0 && (p->pReadyHead != nullptr || !p->cancelled.Empty())) p->wake.notify_one();
}

/* Takes a job out of the lookup and the count; the done callback may follow. */
void VqxJobsForget(Pool* p, VqxJobEntry* e) {
  p->jobs.erase(e->pvJob);
  --p->un32Held;
}

void VqxJobsCallDone(Pool* p, void* pvJob, VQX_RESULT result) {
  if (p->params.pFctDone != nullptr) p->params.pFctDone(p, pvJob, result);
}

u32 VqxJobsWorker(void* pvPool) {
  Pool* p = static_cast<Pool*>(pvPool);
  t_pInsidePool = p;
  std::unique_lock<std::mutex> guard(p->lock);
  for (;;) {
    if (p->fStopping) break;

    if (!p->cancelled.Empty()) {
      VqxJobEntry* e = p->cancelled.PopFront();
      void* pvJob = e->pvJob;
      VqxJobsForget(p, e);
      VqxJobsFreeEntry(p, e);
      guard.unlock();
      VqxJobsCallDone(p, pvJob, VQX_MT_JOB_RESULT_CANCELLED);
      guard.lock();
      continue;
    }

    VqxJobKey* k = VqxJobsPopReady(p);
    if (k == nullptr) {
      ++p->un32Idle;
      p->wake.wait(guard);
      --p->un32Idle;
      continue;
    }
    VqxJobEntry* e = k->queue.PopFront();
    if (e == nullptr) { /* its jobs were cancelled or moved meanwhile */
      VqxJobsReleaseKeyIfIdle(p, k);
      continue;
    }
    k->fRunning = true;
    e->state = VqxJobState::Running;
    VqxJobsWakeIfWork(p);
    guard.unlock();

    const VQX_RESULT result = e->pFctHandler(p, e->pvJob);

    /* Leave the pool before the done callback, which may free or reuse the job. */
    guard.lock();
    void* pvJob = e->pvJob;
    VqxJobsForget(p, e);
    VqxJobsFreeEntry(p, e);
    guard.unlock();

    VqxJobsCallDone(p, pvJob, result);

    guard.lock();
    k->fRunning = false;
    VqxJobsMakeReadyIfNeeded(p, k);
    VqxJobsReleaseKeyIfIdle(p, k);
  }
  t_pInsidePool = nullptr;
  return 0;
}

void VqxJobsStopWorkers(Pool* p) {
  {
    std::lock_guard<std::mutex> guard(p->lock);
    p->fStopping = true;
  }
  p->wake.notify_all();
  for (VQX_THREAD_RECORD* pRecord : p->workers) {
    VqxThreadJoin(pRecord, nullptr);
    delete pRecord;
  }
  p->workers.clear();
}

void VqxJobsFree(Pool* p) {
  for (VqxJobEntry* e : p->freeEntries) delete e;
  for (VqxJobKey* k : p->freeKeys) delete k;
  for (auto& kv : p->keys) delete kv.second;
  delete p;
}

} // namespace

VQX_RESULT VQXMultiThreadedJobsOpenLib(const VQX_MULTI_THREADED_JOBS_PARAMS* pParams,
                                       VQX_MULTI_THREADED_JOBS_HANDLE* phPool) {
  if (phPool == nullptr) return VQX_RESULT_NULL_PARAM;
  *phPool = nullptr;
  if (pParams == nullptr) return VQX_RESULT_NULL_PARAM;
  if (pParams->un32NbThreads == 0 || pParams->un32NbThreads > VQX_MT_JOBS_MAX_THREADS ||
      pParams->un32MaxJobs == 0 || pParams->un32PriorityClass < VQX_THREAD_PRIORITY_NORMAL ||
      pParams->un32PriorityClass > VQX_THREAD_PRIORITY_RT_HIGH) {
    return VQX_RESULT_INVALID_PARAM;
  }

  Pool* p = new (std::nothrow) Pool;
  if (p == nullptr) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  p->params = *pParams;
  try {
    p->workers.reserve(pParams->un32NbThreads);
    p->jobs.reserve(pParams->un32MaxJobs < 0x10000u ? pParams->un32MaxJobs : 0x10000u);
  } catch (...) {
    delete p;
    return VQX_RESULT_NOT_ENOUGH_MEMORY;
  }

  for (u32 i = 0; i < pParams->un32NbThreads; ++i) {
    VQX_THREAD_RECORD* pRecord = new (std::nothrow) VQX_THREAD_RECORD;
    char szName[32];
    Snprintf(szName, sizeof(szName), "vqx_jobs_%u", i);
    const VQX_THREAD_PARAMS threadParams{szName, VQX_THREAD_DEFAULT_STACK_SIZE, pParams->un32PriorityClass};
    const VQX_RESULT result = pRecord == nullptr ? VQX_RESULT_NOT_ENOUGH_MEMORY
                                                 : VqxThreadCreate(pRecord, VqxJobsWorker, p, &threadParams);
    if (VQX_RESULT_FAILED(result)) {
      delete pRecord;
      VqxJobsStopWorkers(p);
      VqxJobsFree(p);
      return result;
    }
    p->workers.push_back(pRecord); /* reserved above: cannot throw */
  }
  *phPool = p;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMultiThreadedJobsCloseLib(VQX_MULTI_THREADED_JOBS_HANDLE hPool) {
  if (hPool == nullptr) return VQX_RESULT_NULL_PARAM;
  if (t_pInsidePool == hPool) return VQX_RESULT_INVALID_STATE;
  Pool* p = hPool;

  /* Running jobs finish (handler and done callback); workers then end. */
  VqxJobsStopWorkers(p);

  /* Everything still held is queued or cancelled: end it, per key in order. */
  std::vector<void*> toCancel;
  toCancel.reserve(p->un32Held);
  while (VqxJobEntry* e = p->cancelled.PopFront()) {
    toCancel.push_back(e->pvJob);
    delete e;
  }
  while (VqxJobKey* k = VqxJobsPopReady(p)) {
    while (VqxJobEntry* e = k->queue.PopFront()) {
      toCancel.push_back(e->pvJob);
      delete e;
    }
  }
  for (auto& kv : p->keys) { /* keys not in the ready list hold nothing queued, but be sure */
    while (VqxJobEntry* e = kv.second->queue.PopFront()) {
      toCancel.push_back(e->pvJob);
      delete e;
    }
  }
  p->jobs.clear();
  p->un32Held = 0;
  for (void* pvJob : toCancel) VqxJobsCallDone(p, pvJob, VQX_MT_JOB_RESULT_CANCELLED);
  VqxJobsFree(p);
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMultiThreadedJobStart(VQX_MULTI_THREADED_JOBS_HANDLE hPool, void* pvJob,
                                    const VQX_MULTI_THREADED_JOB_START_PARAMS* pParams) {
  if (hPool == nullptr || pvJob == nullptr || pParams == nullptr || pParams->pFctHandler == nullptr) {
    return VQX_RESULT_NULL_PARAM;
  }
  if (pParams->un32Reserved != 0) return VQX_RESULT_INVALID_PARAM;
  Pool* p = hPool;
  std::lock_guard<std::mutex> guard(p->lock);
  if (p->fStopping) return VQX_RESULT_INVALID_STATE;
  if (p->un32Held >= p->params.un32MaxJobs) return VQX_RESULT_OUT_OF_RESOURCE;

  VqxJobEntry* e = VqxJobsNewEntry(p);
  if (e == nullptr) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  bool fInserted = false;
  try {
    fInserted = p->jobs.emplace(pvJob, e).second;
  } catch (...) {
    VqxJobsFreeEntry(p, e);
    return VQX_RESULT_NOT_ENOUGH_MEMORY;
  }
  if (!fInserted) {
    VqxJobsFreeEntry(p, e);
    return VQX_RESULT_ACCESS_DENIED; /* already held */
  }
  VqxJobKey* k = VqxJobsGetKey(p, pParams->un32SerializationKey);
  if (k == nullptr) {
    p->jobs.erase(pvJob);
    VqxJobsFreeEntry(p, e);
    return VQX_RESULT_NOT_ENOUGH_MEMORY;
  }
  e->pvJob = pvJob;
  e->pFctHandler = pParams->pFctHandler;
  e->pKey = k;
  e->state = VqxJobState::Queued;
  k->queue.PushBack(e);
  ++p->un32Held;
  VqxJobsMakeReadyIfNeeded(p, k);
  VqxJobsWakeIfWork(p);
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMultiThreadedJobControl(VQX_MULTI_THREADED_JOBS_HANDLE hPool, void* pvJob,
                                      const VQX_MULTI_THREADED_JOB_CONTROL* pControl) {
  if (hPool == nullptr || pvJob == nullptr || pControl == nullptr) return VQX_RESULT_NULL_PARAM;
  if (pControl->un32Code != VQX_MT_JOB_CONTROL_CANCEL) return VQX_RESULT_INVALID_PARAM;
  Pool* p = hPool;
  std::lock_guard<std::mutex> guard(p->lock);
  auto it = p->jobs.find(pvJob);
  if (it == p->jobs.end()) return VQX_RESULT_NOT_FOUND;
  VqxJobEntry* e = it->second;
  if (e->state != VqxJobState::Queued) return VQX_RESULT_ACCESS_DENIED; /* no longer queued */

  VqxJobKey* k = e->pKey;
  k->queue.Remove(e);
  e->pKey = nullptr;
  e->state = VqxJobState::Cancelled;
  VqxJobsReleaseKeyIfIdle(p, k);
  p->cancelled.PushBack(e);
  VqxJobsWakeIfWork(p);
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMultiThreadedJobSeriliazedControl(
    VQX_MULTI_THREADED_JOBS_HANDLE hPool, u32 un32SerializationKey,
    const VQX_MULTI_THREADED_JOB_SERIALIZED_CONTROL* pControl) {
  if (hPool == nullptr || pControl == nullptr) return VQX_RESULT_NULL_PARAM;
  if (pControl->un32Code != VQX_MT_JOB_SERIALIZED_CONTROL_REKEY) return VQX_RESULT_INVALID_PARAM;
  Pool* p = hPool;
  std::lock_guard<std::mutex> guard(p->lock);
  auto it = p->keys.find(un32SerializationKey);
  if (it == p->keys.end() || it->second->queue.Empty()) return VQX_RESULT_NOT_FOUND;
  if (pControl->un32NewKey == un32SerializationKey) return VQX_RESULT_OK;

  VqxJobKey* pOld = it->second;
  VqxJobKey* pNew = VqxJobsGetKey(p, pControl->un32NewKey);
  if (pNew == nullptr) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  for (VqxJobEntry* e = pOld->queue.pHead; e != nullptr; e = e->pNext) e->pKey = pNew;
  pNew->queue.Splice(pOld->queue);
  VqxJobsReleaseKeyIfIdle(p, pOld);
  VqxJobsMakeReadyIfNeeded(p, pNew);
  VqxJobsWakeIfWork(p);
  return VQX_RESULT_OK;
}

u32 VQXMultiThreadedJobGetCount(VQX_MULTI_THREADED_JOBS_HANDLE hPool) {
  if (hPool == nullptr) return 0;
  std::lock_guard<std::mutex> guard(hPool->lock);
  return hPool->un32Held;
}
