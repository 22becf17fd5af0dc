/*
 * hostlib_lock.cpp - the library lock, its deferred events and the batched
 * release of messages.
 *
 * Every thread that touches the library's state holds the one re-entrant
 * library lock. Two lists keep work out of it: events set while it is held
 * are signalled after the outermost holder has given it up (so a woken
 * thread never finds the lock still held by its waker), and messages released
 * by any thread (only the small release-list lock needed) are freed in one
 * batch whenever a thread leaves the lock.
 */
#include <errno.h>
#include <string.h>
#include <time.h>

#include "core/vqx_host_internal.h"

/* ------------------------------------------------------------------ events */

VQX_RESULT VqxEventCreate(VQX_EVENT** ppEvent) {
  *ppEvent = nullptr;
  VQX_EVENT* pEvent = new (std::nothrow) VQX_EVENT;
  if (pEvent == nullptr) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  const int rc1 = pthread_mutex_init(&pEvent->Mutex, nullptr);
  const int rc2 = pthread_cond_init(&pEvent->Cond, &attr);
  pthread_condattr_destroy(&attr);
  if (rc1 != 0 || rc2 != 0) {
    if (rc1 == 0) pthread_mutex_destroy(&pEvent->Mutex);
    if (rc2 == 0) pthread_cond_destroy(&pEvent->Cond);
    delete pEvent;
    return VQX_RESULT_FAIL;
  }
  pEvent->fSignaled = 0;
  *ppEvent = pEvent;
  return VQX_RESULT_OK;
}

void VqxEventFree(VQX_EVENT* pEvent) {
  if (pEvent == nullptr) return;
  pthread_cond_destroy(&pEvent->Cond);
  pthread_mutex_destroy(&pEvent->Mutex);
  delete pEvent;
}

void VqxEventSetNow(VQX_EVENT* pEvent) {
  pthread_mutex_lock(&pEvent->Mutex);
  pEvent->fSignaled = 1;
  pthread_cond_broadcast(&pEvent->Cond);
  pthread_mutex_unlock(&pEvent->Mutex);
}

void VqxEventClear(VQX_EVENT* pEvent) {
  pthread_mutex_lock(&pEvent->Mutex);
  pEvent->fSignaled = 0;
  pthread_mutex_unlock(&pEvent->Mutex);
}

VQX_RESULT VqxEventWait(VQX_EVENT* pEvent, u32 un32TimeoutMs) {
  timespec deadline{};
  if (un32TimeoutMs != 0xFFFFFFFFu) {
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += un32TimeoutMs / 1000u;
    deadline.tv_nsec += static_cast<long>(un32TimeoutMs % 1000u) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
  }
  pthread_mutex_lock(&pEvent->Mutex);
  int rc = 0;
  while (pEvent->fSignaled == 0 && rc != ETIMEDOUT) {
    rc = un32TimeoutMs == 0xFFFFFFFFu ? pthread_cond_wait(&pEvent->Cond, &pEvent->Mutex)
                                      : pthread_cond_timedwait(&pEvent->Cond, &pEvent->Mutex, &deadline);
  }
  const u32 fSignaled = pEvent->fSignaled;
  pthread_mutex_unlock(&pEvent->Mutex);
  return fSignaled != 0 ? VQX_RESULT_OK : VQX_RESULT_TIMEOUT;
}

/* ---------------------------------------------------------- library lock */

/*
 * The lock is priority-inheriting: a thread that finds it held sleeps in the
 * kernel and the holder's release hands it over through the kernel too. Most
 * holds are a few microseconds (a receive batch, a reader taking its
 * messages), so a few attempts are made first.
 */
#define VQX_LIB_LOCK_ENTER_TRIES 64u

void VqxLibLockEnterSpinning(VQX_LIB_HANDLE hLib, u32 un32Tries, u32 un32Pauses) {
  VQX_LIB* pLib = VqxLib(hLib);
  for (u32 i = 0; i < un32Tries; i++) {
    if (VqxMutexTryGet(pLib->hCriticalSection) == VQX_RESULT_OK) {
      pLib->un32CsNesting++;
      return;
    }
    for (u32 k = 0; k < un32Pauses; k++) VqxCpuRelax();
  }
  VqxMutexGet(pLib->hCriticalSection);
  pLib->un32CsNesting++;
}

void VqxLibLockEnterSpinning(VQX_LIB_HANDLE hLib) { VqxLibLockEnterSpinning(hLib, VQX_LIB_LOCK_SPIN_TRIES); }

void VqxLibLockRetakeSpinning(VQX_LIB_HANDLE hLib, u32 un32Levels, u32 un32Tries, u32 un32Pauses) {
  if (un32Levels == 0) return;
  VqxLibLockEnterSpinning(hLib, un32Tries, un32Pauses);
  VqxHostLibLockRetake(hLib, un32Levels - 1);
}

void VqxHostLibCriticalSectionEnter(VQX_LIB_HANDLE hLib) { VqxLibLockEnterSpinning(hLib, VQX_LIB_LOCK_ENTER_TRIES); }

/*
 * The released messages are freed at every leave. At the outermost one they
 * are freed once the library lock is given up: they need only the buffer
 * mutex, and a thread waiting for the lock (a reader, the transport's next
 * batch) need not wait for the frees as well.
 */
void VqxHostLibCriticalSectionLeave(VQX_LIB_HANDLE hLib) {
  VQX_LIB* pLib = VqxLib(hLib);
  pLib->un32CsNesting--;
  if (pLib->un32CsNesting != 0) {
    if (pLib->un32ReleasesPending.load(std::memory_order_relaxed) != 0) VqxHostLibFlushReleases(hLib);
    VqxMutexGive(pLib->hCriticalSection);
    return;
  }
  if (pLib->un32EventsPending.load(std::memory_order_relaxed) != 0) {
    VqxMutexGet(pLib->hEventsToSetCriticalSection);
    VqxMutexGive(pLib->hCriticalSection);
    for (u32 i = 0; i < pLib->un32NbEventsToSet; i++) VqxEventSetNow(pLib->apEventsToSet[i]);
    pLib->un32NbEventsToSet = 0;
    pLib->un32EventsPending.store(0, std::memory_order_relaxed);
    VqxMutexGive(pLib->hEventsToSetCriticalSection);
  } else {
    VqxMutexGive(pLib->hCriticalSection);
  }
  if (pLib->un32ReleasesPending.load(std::memory_order_relaxed) != 0) VqxHostLibFlushReleases(hLib);
}

u32 VqxHostLibLockHeld(VQX_LIB_HANDLE hLib) { return VqxMutexHeldCount(VqxLib(hLib)->hCriticalSection); }

u32 VqxHostLibLockReleaseAll(VQX_LIB_HANDLE hLib) {
  const u32 un32Levels = VqxHostLibLockHeld(hLib);
  for (u32 i = 0; i < un32Levels; i++) VqxHostLibCriticalSectionLeave(hLib);
  return un32Levels;
}

void VqxHostLibLockRetake(VQX_LIB_HANDLE hLib, u32 un32Levels) {
  for (u32 i = 0; i < un32Levels; i++) VqxHostLibCriticalSectionEnter(hLib);
}

void VqxHostLibEventSet(VQX_LIB_HANDLE hLib, VQX_EVENT* pEvent) {
  VQX_LIB* pLib = VqxLib(hLib);
  if (VqxHostLibLockHeld(hLib) == 0) {
    /* Nobody will leave the lock on our behalf: signal now. */
    VqxEventSetNow(pEvent);
    return;
  }
  VqxMutexGet(pLib->hEventsToSetCriticalSection);
  bool fListed = false;
  for (u32 i = 0; i < pLib->un32NbEventsToSet && !fListed; i++) fListed = pLib->apEventsToSet[i] == pEvent;
  if (!fListed) {
    if (pLib->un32NbEventsToSet >= VQX_LIB_EVENTS_TO_SET_MAX) {
      VqxEventSetNow(pEvent);
    } else {
      pLib->apEventsToSet[pLib->un32NbEventsToSet++] = pEvent;
      pLib->un32EventsPending.store(1, std::memory_order_relaxed);
    }
  }
  VqxMutexGive(pLib->hEventsToSetCriticalSection);
}

void VqxHostLibEventDestroy(VQX_LIB_HANDLE hLib, VQX_EVENT* pEvent) {
  if (pEvent == nullptr) return;
  VQX_LIB* pLib = VqxLib(hLib);
  VqxMutexGet(pLib->hEventsToSetCriticalSection);
  for (u32 i = 0; i < pLib->un32NbEventsToSet; i++) {
    if (pLib->apEventsToSet[i] == pEvent) {
      pLib->apEventsToSet[i] = pLib->apEventsToSet[--pLib->un32NbEventsToSet];
      break;
    }
  }
  if (pLib->un32NbEventsToSet == 0) pLib->un32EventsPending.store(0, std::memory_order_relaxed);
  VqxMutexGive(pLib->hEventsToSetCriticalSection);
  VqxEventSetNow(pEvent);
  VqxEventFree(pEvent);
}
