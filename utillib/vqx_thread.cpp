/*
 * vqx_thread.cpp - thread start-up through the common entry point, and the
 * recursive priority-inheriting mutex (see vqx_thread.h).
 */
#include "vqx_thread.h"

#include <errno.h>
#include <limits.h>
#include <sched.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include <new>

/* ------------------------------------------------------------------ threads */

void* VqxThreadCreateEntryPoint(void* pvRecord) {
  VQX_THREAD_RECORD* pRecord = static_cast<VQX_THREAD_RECORD*>(pvRecord);
  const u32 un32Result = pRecord->pFctThread(pRecord->pvArg);
  return reinterpret_cast<void*>(static_cast<uintptr_t>(un32Result));
}

namespace {

std::atomic<u32> s_un32NotJoined{0};

/* Real-time priority of a class inside the SCHED_RR range [min, max]. */
int VqxRtPriorityOfClass(u32 un32Class, int nMin, int nMax) {
  switch (un32Class) {
    case VQX_THREAD_PRIORITY_RT_LOW: return nMin;
    case VQX_THREAD_PRIORITY_RT_MID: return nMin + (nMax - nMin) / 2;
    default: return nMax > nMin ? nMax - 1 : nMax; /* RT_HIGH */
  }
}

/* Sets up attr for the class; false when the real-time class cannot be set. */
bool VqxApplyRealTime(pthread_attr_t* pAttr, u32 un32Class) {
  const int nMin = sched_get_priority_min(SCHED_RR);
  const int nMax = sched_get_priority_max(SCHED_RR);
  if (nMin < 0 || nMax < 0) return false;
  sched_param param{};
  param.sched_priority = VqxRtPriorityOfClass(un32Class, nMin, nMax);
  return pthread_attr_setscope(pAttr, PTHREAD_SCOPE_SYSTEM) == 0 &&
         pthread_attr_setinheritsched(pAttr, PTHREAD_EXPLICIT_SCHED) == 0 &&
         pthread_attr_setschedpolicy(pAttr, SCHED_RR) == 0 &&
         pthread_attr_setschedparam(pAttr, &param) == 0;
}

int VqxStartThread(VQX_THREAD_RECORD* pRecord, u32 un32StackSize, u32 un32Class) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return EAGAIN;
  int rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
  if (rc == 0) rc = pthread_attr_setstacksize(&attr, un32StackSize);
  if (rc == 0) {
    const bool fRealTime = un32Class != VQX_THREAD_PRIORITY_NORMAL && VqxApplyRealTime(&attr, un32Class);
    rc = pthread_create(&pRecord->hThread, &attr, VqxThreadCreateEntryPoint, pRecord);
    if (rc == EPERM && fRealTime) {
      /* Not allowed to use the real-time class: run with the default one. */
      pthread_attr_destroy(&attr);
      pthread_attr_init(&attr);
      pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
      pthread_attr_setstacksize(&attr, un32StackSize);
      rc = pthread_create(&pRecord->hThread, &attr, VqxThreadCreateEntryPoint, pRecord);
    }
  }
  pthread_attr_destroy(&attr);
  return rc;
}

} // namespace

VQX_RESULT VqxThreadCreate(VQX_THREAD_RECORD* pRecord, PFN_VQX_THREAD_FUNCTION pFctThread,
                           void* pvArg, const VQX_THREAD_PARAMS* pParams) {
  if (pRecord == nullptr || pFctThread == nullptr) return VQX_RESULT_NULL_PARAM;
  const u32 un32StackSize =
      (pParams == nullptr || pParams->un32StackSize == 0) ? VQX_THREAD_DEFAULT_STACK_SIZE : pParams->un32StackSize;
  const u32 un32Class =
      (pParams == nullptr || pParams->un32PriorityClass == 0) ? VQX_THREAD_PRIORITY_NORMAL : pParams->un32PriorityClass;
  if (un32Class > VQX_THREAD_PRIORITY_RT_HIGH || un32StackSize < PTHREAD_STACK_MIN) {
    return VQX_RESULT_INVALID_PARAM;
  }

  pRecord->fCreated = 0;
  pRecord->fStopRequest.store(0);
  pRecord->pFctThread = pFctThread;
  pRecord->pvArg = pvArg;
  if (VqxStartThread(pRecord, un32StackSize, un32Class) != 0) return VQX_RESULT_OUT_OF_RESOURCE;
  pRecord->fCreated = 1;
  s_un32NotJoined++;

  if (pParams != nullptr && pParams->pszName != nullptr) {
    char szName[VQX_THREAD_NAME_MAX + 1];
    strncpy(szName, pParams->pszName, VQX_THREAD_NAME_MAX);
    szName[VQX_THREAD_NAME_MAX] = '\0';
    pthread_setname_np(pRecord->hThread, szName); /* a name is a help, not a need */
  }
  return VQX_RESULT_OK;
}

void VqxThreadRequestStop(VQX_THREAD_RECORD* pRecord) {
  if (pRecord != nullptr) pRecord->fStopRequest.store(1, std::memory_order_release);
}

u32 VqxThreadStopRequested(const VQX_THREAD_RECORD* pRecord) {
  return pRecord != nullptr ? pRecord->fStopRequest.load(std::memory_order_acquire) : 1u;
}

VQX_RESULT VqxThreadJoin(VQX_THREAD_RECORD* pRecord, u32* pun32Result) {
  if (pRecord == nullptr) return VQX_RESULT_NULL_PARAM;
  if (!pRecord->fCreated || pthread_equal(pRecord->hThread, pthread_self())) {
    return VQX_RESULT_INVALID_STATE;
  }
  void* pvResult = nullptr;
  if (pthread_join(pRecord->hThread, &pvResult) != 0) return VQX_RESULT_INVALID_STATE;
  pRecord->fCreated = 0;
  s_un32NotJoined--;
  if (pun32Result != nullptr) *pun32Result = static_cast<u32>(reinterpret_cast<uintptr_t>(pvResult));
  return VQX_RESULT_OK;
}

u32 VqxThreadsNotJoined(void) { return s_un32NotJoined.load(); }

/* -------------------------------------------------------------------- mutex */

/*
 * The owner and nesting count are kept beside the pthread mutex so that a
 * thread can ask how deep it holds it. Only the owner writes them (while it
 * holds the mutex); the owned flag is published with release after the owner
 * id, so a thread that sees the flag set also sees the current owner and can
 * never mistake a newer owner's hold for its own past one.
 */
struct _VQX_MUTEX {
  pthread_mutex_t mutex;
  std::atomic<pthread_t> owner;
  std::atomic<bool> fOwned;
  u32 un32Depth;
};

namespace {

bool VqxMutexHeldByMe(const _VQX_MUTEX* p) {
  return p->fOwned.load(std::memory_order_acquire) &&
         pthread_equal(p->owner.load(std::memory_order_relaxed), pthread_self());
}

void VqxMutexNoteTaken(_VQX_MUTEX* p) {
  if (p->un32Depth++ == 0) {
    p->owner.store(pthread_self(), std::memory_order_relaxed);
    p->fOwned.store(true, std::memory_order_release);
  }
}

bool VqxMutexInit(pthread_mutex_t* pMutex, bool fPriorityInherit) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  bool fOk = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0;
  if (fOk && fPriorityInherit) fOk = pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT) == 0;
  if (fOk) fOk = pthread_mutex_init(pMutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return fOk;
}

} // namespace

namespace {

VQX_RESULT VqxMutexCreateWith(VQX_MUTEX_HANDLE* phMutex, bool fPriorityInherit) {
  if (phMutex == nullptr) return VQX_RESULT_NULL_PARAM;
  *phMutex = nullptr;
  _VQX_MUTEX* p = new (std::nothrow) _VQX_MUTEX;
  if (p == nullptr) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  p->fOwned.store(false);
  p->un32Depth = 0;
  /* Without priority inheritance on this system, keep a plain recursive mutex. */
  if (!(fPriorityInherit && VqxMutexInit(&p->mutex, true)) && !VqxMutexInit(&p->mutex, false)) {
    delete p;
    return VQX_RESULT_FAIL;
  }
  *phMutex = p;
  return VQX_RESULT_OK;
}

}  // namespace

VQX_RESULT VqxMutexCreate(VQX_MUTEX_HANDLE* phMutex) { return VqxMutexCreateWith(phMutex, true); }

VQX_RESULT VqxMutexCreatePlain(VQX_MUTEX_HANDLE* phMutex) { return VqxMutexCreateWith(phMutex, false); }

VQX_RESULT VqxMutexDestroy(VQX_MUTEX_HANDLE hMutex) {
  if (hMutex == nullptr) return VQX_RESULT_NULL_PARAM;
  if (pthread_mutex_trylock(&hMutex->mutex) != 0) return VQX_RESULT_INVALID_STATE;
  if (hMutex->un32Depth != 0) { /* held by the caller itself */
    pthread_mutex_unlock(&hMutex->mutex);
    return VQX_RESULT_INVALID_STATE;
  }
  pthread_mutex_unlock(&hMutex->mutex);
  pthread_mutex_destroy(&hMutex->mutex);
  delete hMutex;
  return VQX_RESULT_OK;
}

VQX_RESULT VqxMutexGet(VQX_MUTEX_HANDLE hMutex) {
  if (hMutex == nullptr) return VQX_RESULT_NULL_PARAM;
  if (pthread_mutex_lock(&hMutex->mutex) != 0) return VQX_RESULT_FAIL;
  VqxMutexNoteTaken(hMutex);
  return VQX_RESULT_OK;
}

VQX_RESULT VqxMutexTryGet(VQX_MUTEX_HANDLE hMutex) {
  if (hMutex == nullptr) return VQX_RESULT_NULL_PARAM;
  if (pthread_mutex_trylock(&hMutex->mutex) != 0) return VQX_RESULT_NOT_READY;
  VqxMutexNoteTaken(hMutex);
  return VQX_RESULT_OK;
}

VQX_RESULT VqxMutexTimedGet(VQX_MUTEX_HANDLE hMutex, u32 un32TimeoutMs) {
  if (hMutex == nullptr) return VQX_RESULT_NULL_PARAM;
  /* Priority-inheriting mutexes wait against the real-time clock. */
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += un32TimeoutMs / 1000u;
  deadline.tv_nsec += static_cast<long>(un32TimeoutMs % 1000u) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  const int rc = pthread_mutex_timedlock(&hMutex->mutex, &deadline);
  if (rc == ETIMEDOUT) return VQX_RESULT_TIMEOUT;
  if (rc != 0) return VQX_RESULT_FAIL;
  VqxMutexNoteTaken(hMutex);
  return VQX_RESULT_OK;
}

VQX_RESULT VqxMutexGive(VQX_MUTEX_HANDLE hMutex) {
  if (hMutex == nullptr) return VQX_RESULT_NULL_PARAM;
  if (!VqxMutexHeldByMe(hMutex)) return VQX_RESULT_INVALID_STATE;
  if (--hMutex->un32Depth == 0) hMutex->fOwned.store(false, std::memory_order_release);
  pthread_mutex_unlock(&hMutex->mutex);
  return VQX_RESULT_OK;
}

u32 VqxMutexHeldCount(VQX_MUTEX_HANDLE hMutex) {
  if (hMutex == nullptr || !VqxMutexHeldByMe(hMutex)) return 0;
  return hMutex->un32Depth;
}
