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

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "vqx_hash.h"
#include "vqx_string.h"
#include "vqx_thread.h"

namespace {

struct VqxJobKey;

enum class VqxJobState : u8 { Queued, Cancelled };

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

/*
 * The pool lock: held only for a few list operations, so a contender spins
 * briefly before it sleeps (glibc's adaptive mutex) instead of paying a
 * sleep and a wake-up per job.
 */
class VqxJobsLock {
 public:
  VqxJobsLock() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&m_, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  ~VqxJobsLock() { pthread_mutex_destroy(&m_); }
  VqxJobsLock(const VqxJobsLock&) = delete;
  VqxJobsLock& operator=(const VqxJobsLock&) = delete;
  void lock() { pthread_mutex_lock(&m_); }
  void unlock() { pthread_mutex_unlock(&m_); }

 private:
  pthread_mutex_t m_;
};

struct VqxJobKey {
  u32 un32Key = 0;
  VqxJobList queue;
  bool fRunning = false;
  bool fInReady = false;
  VqxJobKey* pReadyNext = nullptr;
};

} // namespace

struct _VQX_MULTI_THREADED_JOBS;

/* One worker: its thread and the job whose handler or done callback it runs. */
struct VqxJobWorker {
  _VQX_MULTI_THREADED_JOBS* pPool = nullptr;
  VQX_THREAD_RECORD record;
  void* pvRunning = nullptr; /* under the pool lock */
};

struct _VQX_MULTI_THREADED_JOBS {
  VQX_MULTI_THREADED_JOBS_PARAMS params{};
  VqxJobsLock lock;
  std::condition_variable_any wake;
  u32 un32Idle = 0;      /* workers waiting on wake */
  u32 un32Waking = 0;    /* of those, notified and not yet awake */
  u32 un32ReadyKeys = 0; /* keys in the ready list */
  u32 un32Cancelled = 0; /* jobs in the cancelled list */
  alignas(64) std::atomic<u32> aWorkHint{0}; /* un32ReadyKeys + un32Cancelled, read without the lock */
  u32 un32Held = 0;      /* jobs held: queued, running or cancelled, until done returns */
  bool fStopping = false;

  HVQXHASH hJobs = nullptr; /* job pointer -> entry, queued and cancelled jobs */
  HVQXHASH hKeys = nullptr; /* serialisation key -> key record */
  VqxJobKey* pReadyHead = nullptr;
  VqxJobKey* pReadyTail = nullptr;
  VqxJobList cancelled;

  std::vector<VqxJobEntry*> freeEntries;
  std::vector<VqxJobKey*> freeKeys;
  std::vector<VqxJobKey*> allKeys; /* every key record made, owned here */
  std::vector<VqxJobWorker*> workers;
};

namespace {

using Pool = _VQX_MULTI_THREADED_JOBS;

/* The pool whose handler or done callback the current thread is running. */
thread_local const Pool* t_pInsidePool = nullptr;

u64 VqxPtrWord(const void* pv) { return static_cast<u64>(reinterpret_cast<uintptr_t>(pv)); }

template <class T>
T* VqxFindPtr(HVQXHASH h, u64 un64Key) {
  u64 un64Value = 0;
  return VQXHashFind(h, un64Key, &un64Value) == VQX_RESULT_OK ? reinterpret_cast<T*>(static_cast<uintptr_t>(un64Value))
                                                               : nullptr;
}

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

void VqxJobsUpdateHint(Pool* p) {
  p->aWorkHint.store(p->un32ReadyKeys + p->un32Cancelled, std::memory_order_relaxed);
}

void VqxJobsPushReady(Pool* p, VqxJobKey* k) {
  k->fInReady = true;
  k->pReadyNext = nullptr;
  ++p->un32ReadyKeys;
  VqxJobsUpdateHint(p);
  (p->pReadyTail != nullptr ? p->pReadyTail->pReadyNext : p->pReadyHead) = k;
  p->pReadyTail = k;
}

VqxJobKey* VqxJobsPopReady(Pool* p) {
  VqxJobKey* k = p->pReadyHead;
  if (k == nullptr) return nullptr;
  p->pReadyHead = k->pReadyNext;
  if (p->pReadyHead == nullptr) p->pReadyTail = nullptr;
  --p->un32ReadyKeys;
  VqxJobsUpdateHint(p);
  k->fInReady = false;
  k->pReadyNext = nullptr;
  return k;
}

/* Finds or makes the record of a key; null without memory. */
VqxJobKey* VqxJobsGetKey(Pool* p, u32 un32Key) {
  VqxJobKey* k = VqxFindPtr<VqxJobKey>(p->hKeys, un32Key);
  if (k != nullptr) return k;
  if (!p->freeKeys.empty()) {
    k = p->freeKeys.back();
    p->freeKeys.pop_back();
    *k = VqxJobKey{};
  } else {
    k = new (std::nothrow) VqxJobKey;
    if (k == nullptr) return nullptr;
    try {
      p->freeKeys.reserve(p->allKeys.size() + 1);
      p->allKeys.push_back(k);
    } catch (...) {
      delete k;
      return nullptr;
    }
  }
  k->un32Key = un32Key;
  if (VQXHashInsert(p->hKeys, un32Key, VqxPtrWord(k)) != VQX_RESULT_OK) {
    p->freeKeys.push_back(k); /* room reserved above: cannot throw */
    return nullptr;
  }
  return k;
}

/* Forgets a key record once nothing refers to it any more. */
void VqxJobsReleaseKeyIfIdle(Pool* p, VqxJobKey* k) {
  if (!k->queue.Empty() || k->fRunning || k->fInReady) return;
  VQXHashRemove(p->hKeys, k->un32Key, nullptr);
  p->freeKeys.push_back(k); /* room for every record is reserved: cannot throw */
}

/* A key with queued jobs and none running belongs in the ready list. */
void VqxJobsMakeReadyIfNeeded(Pool* p, VqxJobKey* k) {
  if (!k->queue.Empty() && !k->fRunning && !k->fInReady) VqxJobsPushReady(p, k);
}

/*
 * Wakes one idle worker when there is more work than workers already on
 * their way to it; waking a worker for work another will take costs a system
 * call for nothing, which dominates with short jobs.
 */
void VqxJobsWakeIfWork(Pool* p) {
  const u32 un32Work = p->un32ReadyKeys + p->un32Cancelled;
  if (p->un32Idle > p->un32Waking && un32Work > p->un32Waking) {
    ++p->un32Waking;
    p->wake.notify_one();
  }
}

constexpr u32 kSpinRounds = 2000;

void VqxJobsSpinForWork(const Pool* p) {
  for (u32 i = 0; i < kSpinRounds; ++i) {
    if (p->aWorkHint.load(std::memory_order_relaxed) != 0) return;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
}

void VqxJobsCallDone(Pool* p, void* pvJob, VQX_RESULT result) {
  if (p->params.pFctDone != nullptr) p->params.pFctDone(p, pvJob, result);
}

/*
 * A job leaves the lookup when its handler starts (or, cancelled, just before
 * its done callback), so that the done callback may free the record and the
 * same address may be started again at once. Until its done callback has
 * returned the job stays counted, and a running job is found through its
 * worker's slot. One lock round per job: the end of one job and the start of
 * the next share a critical section.
 */
u32 VqxJobsWorker(void* pvWorker) {
  VqxJobWorker* w = static_cast<VqxJobWorker*>(pvWorker);
  Pool* p = w->pPool;
  t_pInsidePool = p;
  VqxJobKey* pKeyDone = nullptr; /* key of the job that just ended, still marked running */
  std::unique_lock<VqxJobsLock> guard(p->lock);
  for (;;) {
    if (pKeyDone != nullptr) {
      w->pvRunning = nullptr;
      --p->un32Held;
      pKeyDone->fRunning = false;
      VqxJobsMakeReadyIfNeeded(p, pKeyDone);
      VqxJobsReleaseKeyIfIdle(p, pKeyDone);
      pKeyDone = nullptr;
    }
    if (p->fStopping) break;

    if (!p->cancelled.Empty()) {
      VqxJobEntry* e = p->cancelled.PopFront();
      --p->un32Cancelled;
      VqxJobsUpdateHint(p);
      void* pvJob = e->pvJob;
      VQXHashRemove(p->hJobs, VqxPtrWord(pvJob), nullptr);
      VqxJobsFreeEntry(p, e);
      w->pvRunning = pvJob;
      guard.unlock();
      VqxJobsCallDone(p, pvJob, VQX_MT_JOB_RESULT_CANCELLED);
      guard.lock();
      w->pvRunning = nullptr;
      --p->un32Held;
      continue;
    }

    VqxJobKey* k = VqxJobsPopReady(p);
    if (k == nullptr) {
      /*
       * Look for new work a little while before sleeping: with short jobs the
       * producer then finds no sleeper to wake, and a wake-up (a system call
       * on both sides) costs more than many jobs.
       */
      guard.unlock();
      VqxJobsSpinForWork(p);
      guard.lock();
      if (p->pReadyHead == nullptr && p->cancelled.Empty() && !p->fStopping) {
        ++p->un32Idle;
        p->wake.wait(guard);
        --p->un32Idle;
        if (p->un32Waking > 0) --p->un32Waking;
      }
      continue;
    }
    VqxJobEntry* e = k->queue.PopFront();
    if (e == nullptr) { /* its jobs were cancelled or moved meanwhile */
      VqxJobsReleaseKeyIfIdle(p, k);
      continue;
    }
    k->fRunning = true;
    void* pvJob = e->pvJob;
    const PFN_VQX_MT_JOB_HANDLER pFctHandler = e->pFctHandler;
    VQXHashRemove(p->hJobs, VqxPtrWord(pvJob), nullptr);
    VqxJobsFreeEntry(p, e);
    w->pvRunning = pvJob;
    VqxJobsWakeIfWork(p);
    guard.unlock();

    VqxJobsCallDone(p, pvJob, pFctHandler(p, pvJob));

    guard.lock();
    pKeyDone = k;
  }
  t_pInsidePool = nullptr;
  return 0;
}

void VqxJobsStopWorkers(Pool* p) {
  {
    std::lock_guard<VqxJobsLock> guard(p->lock);
    p->fStopping = true;
  }
  p->wake.notify_all();
  for (VqxJobWorker* w : p->workers) {
    VqxThreadJoin(&w->record, nullptr);
    delete w;
  }
  p->workers.clear();
}

void VqxJobsFree(Pool* p) {
  for (VqxJobEntry* e : p->freeEntries) delete e;
  for (VqxJobKey* k : p->allKeys) delete k;
  if (p->hJobs != nullptr) VQXHashDestroy(p->hJobs);
  if (p->hKeys != nullptr) VQXHashDestroy(p->hKeys);
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
  /* The pool enforces its own job limit; the tables grow as needed. */
  p->hJobs = VQXHashCreateWithKeyInternal(0, "vqx_jobs: jobs", 0);
  p->hKeys = VQXHashCreateWithKeyInternal(0, "vqx_jobs: keys", 0);
  bool fOk = p->hJobs != nullptr && p->hKeys != nullptr;
  try {
    p->workers.reserve(pParams->un32NbThreads);
  } catch (...) {
    fOk = false;
  }
  if (!fOk) {
    VqxJobsFree(p);
    return VQX_RESULT_NOT_ENOUGH_MEMORY;
  }

  for (u32 i = 0; i < pParams->un32NbThreads; ++i) {
    VqxJobWorker* w = new (std::nothrow) VqxJobWorker;
    char szName[32];
    Snprintf(szName, sizeof(szName), "vqx_jobs_%u", i);
    const VQX_THREAD_PARAMS threadParams{szName, VQX_THREAD_DEFAULT_STACK_SIZE, pParams->un32PriorityClass};
    if (w != nullptr) w->pPool = p;
    const VQX_RESULT result = w == nullptr ? VQX_RESULT_NOT_ENOUGH_MEMORY
                                           : VqxThreadCreate(&w->record, VqxJobsWorker, w, &threadParams);
    if (VQX_RESULT_FAILED(result)) {
      delete w;
      VqxJobsStopWorkers(p);
      VqxJobsFree(p);
      return result;
    }
    p->workers.push_back(w); /* reserved above: cannot throw */
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
  for (VqxJobKey* k : p->allKeys) { /* keys not in the ready list hold nothing queued, but be sure */
    while (VqxJobEntry* e = k->queue.PopFront()) {
      toCancel.push_back(e->pvJob);
      delete e;
    }
  }
  p->un32Held = 0;
  /* The done callbacks run here count as the pool's own: they cannot close it again. */
  const Pool* pOuter = t_pInsidePool;
  t_pInsidePool = p;
  for (void* pvJob : toCancel) VqxJobsCallDone(p, pvJob, VQX_MT_JOB_RESULT_CANCELLED);
  t_pInsidePool = pOuter;
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
  std::lock_guard<VqxJobsLock> guard(p->lock);
  if (p->fStopping) return VQX_RESULT_INVALID_STATE;
  if (p->un32Held >= p->params.un32MaxJobs) return VQX_RESULT_OUT_OF_RESOURCE;

  VqxJobEntry* e = VqxJobsNewEntry(p);
  if (e == nullptr) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  const VQX_RESULT inserted = VQXHashInsert(p->hJobs, VqxPtrWord(pvJob), VqxPtrWord(e));
  if (inserted != VQX_RESULT_OK) {
    VqxJobsFreeEntry(p, e);
    return inserted == VQX_RESULT_ACCESS_DENIED ? VQX_RESULT_ACCESS_DENIED /* already queued */
                                                : VQX_RESULT_NOT_ENOUGH_MEMORY;
  }
  VqxJobKey* k = VqxJobsGetKey(p, pParams->un32SerializationKey);
  if (k == nullptr) {
    VQXHashRemove(p->hJobs, VqxPtrWord(pvJob), nullptr);
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
  std::lock_guard<VqxJobsLock> guard(p->lock);
  VqxJobEntry* e = VqxFindPtr<VqxJobEntry>(p->hJobs, VqxPtrWord(pvJob));
  if (e == nullptr) {
    for (const VqxJobWorker* w : p->workers) {
      if (w->pvRunning == pvJob) return VQX_RESULT_ACCESS_DENIED; /* running or ending */
    }
    return VQX_RESULT_NOT_FOUND;
  }
  if (e->state != VqxJobState::Queued) return VQX_RESULT_ACCESS_DENIED; /* no longer queued */

  VqxJobKey* k = e->pKey;
  k->queue.Remove(e);
  e->pKey = nullptr;
  e->state = VqxJobState::Cancelled;
  VqxJobsReleaseKeyIfIdle(p, k);
  p->cancelled.PushBack(e);
  ++p->un32Cancelled;
  VqxJobsUpdateHint(p);
  VqxJobsWakeIfWork(p);
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMultiThreadedJobSeriliazedControl(
    VQX_MULTI_THREADED_JOBS_HANDLE hPool, u32 un32SerializationKey,
    const VQX_MULTI_THREADED_JOB_SERIALIZED_CONTROL* pControl) {
  if (hPool == nullptr || pControl == nullptr) return VQX_RESULT_NULL_PARAM;
  if (pControl->un32Code != VQX_MT_JOB_SERIALIZED_CONTROL_REKEY) return VQX_RESULT_INVALID_PARAM;
  Pool* p = hPool;
  std::lock_guard<VqxJobsLock> guard(p->lock);
  VqxJobKey* pOld = VqxFindPtr<VqxJobKey>(p->hKeys, un32SerializationKey);
  if (pOld == nullptr || pOld->queue.Empty()) return VQX_RESULT_NOT_FOUND;
  if (pControl->un32NewKey == un32SerializationKey) return VQX_RESULT_OK;

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
  std::lock_guard<VqxJobsLock> guard(hPool->lock);
  return hPool->un32Held;
}
