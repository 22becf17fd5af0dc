/*
 * vqcafthread.cpp - CVQCAFThread over the utility library's threads.
 *
 * Life of one run: Start (caller) marks the object running and creates the
 * thread through VqxThreadCreate; ThreadMain (new thread) calls Run, catching
 * whatever escapes it, and clears the running mark; Stop (caller) sets the
 * record's stop flag, wakes the queue, polls the running mark and joins.
 */
#include "vqcafthread.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include "vqcafexception.h"
#include "vqcaflog.h"

namespace VQCAF {

namespace {

/* The CVQCAFThread whose Run the calling thread executes (null elsewhere). */
thread_local CVQCAFThread* t_pCurrentThread = nullptr;

void SleepMs(u32 un32Ms) {
  timespec ts{static_cast<time_t>(un32Ms / 1000u), static_cast<long>(un32Ms % 1000u) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

bool IsKnownPrio(u32 un32Prio) {
  return un32Prio >= VQCAF_THREAD_PRIO_DEFAULT && un32Prio <= VQCAF_THREAD_PRIO_RT_HIGH;
}

/* Applies a class to a running thread; a refused real-time class is ignored,
 * as at creation. */
void ApplyPrio(pthread_t hThread, u32 un32Prio) {
  sched_param Param{};
  if (un32Prio == VQCAF_THREAD_PRIO_DEFAULT) {
    (void)pthread_setschedparam(hThread, SCHED_OTHER, &Param);
    return;
  }
  const int nMin = sched_get_priority_min(SCHED_RR);
  const int nMax = sched_get_priority_max(SCHED_RR);
  if (nMin < 0 || nMax < 0) return;
  switch (un32Prio) {
    case VQCAF_THREAD_PRIO_RT_LOW: Param.sched_priority = nMin; break;
    case VQCAF_THREAD_PRIO_RT_MID: Param.sched_priority = nMin + (nMax - nMin) / 2; break;
    default: Param.sched_priority = nMax > nMin ? nMax - 1 : nMax; break;
  }
  (void)pthread_setschedparam(hThread, SCHED_RR, &Param);
}

}  // namespace

CVQCAFThread::CVQCAFThread(_VQCAF_THREAD_PRIO Prio, unsigned int un32EventQlen)
    : mun32Prio(IsKnownPrio(Prio) ? static_cast<u32>(Prio) : static_cast<u32>(VQCAF_THREAD_PRIO_DEFAULT)),
      mEventQueue(un32EventQlen) {
  // Not started yet: the stop request reads as set until Start clears it.
  VqxThreadRequestStop(&mRecord);
}

CVQCAFThread::~CVQCAFThread() { (void)Stop(1); }

u32 CVQCAFThread::Start(unsigned int un32Wait) {
  // From its own Run the thread is running by definition (and a Stop waiting
  // under the lock would never see it end).
  if (IsCallerThisThread()) return VQX_RESULT_INVALID_STATE;
  std::lock_guard<std::mutex> Lock(mControlMutex);
  if (mfRunning.load(std::memory_order_acquire) != 0) return VQX_RESULT_INVALID_STATE;
  if (mRecord.fCreated != 0) (void)VqxThreadJoin(&mRecord, nullptr);  // ended by itself

  mEventQueue.ClearWake();
  mfEntered.store(0);
  mfRunning.store(1, std::memory_order_release);
  VQX_THREAD_PARAMS Params{nullptr, VQCAF_THREAD_STACK_SIZE, mun32Prio.load()};
  const u32 un32Result = VqxThreadCreate(&mRecord, &CVQCAFThread::ThreadMain, this, &Params);
  if (VQX_RESULT_FAILED(un32Result)) {
    mfRunning.store(0);
    VqxThreadRequestStop(&mRecord);
    return un32Result;
  }
  while (un32Wait != 0 && mfEntered.load(std::memory_order_acquire) == 0 &&
         mfRunning.load(std::memory_order_acquire) != 0) {
    SleepMs(1);
  }
  return VQX_RESULT_OK;
}

u32 CVQCAFThread::Stop(unsigned int un32Wait) {
  if (IsCallerThisThread()) {  // a thread cannot wait for its own end
    VqxThreadRequestStop(&mRecord);
    mEventQueue.Wake();
    return VQX_RESULT_OK;
  }
  // Under the lock, so that a concurrent Start cannot clear the request.
  std::lock_guard<std::mutex> Lock(mControlMutex);
  VqxThreadRequestStop(&mRecord);
  mEventQueue.Wake();
  if (mRecord.fCreated == 0 || un32Wait == 0) return VQX_RESULT_OK;
  while (mfRunning.load(std::memory_order_acquire) != 0) SleepMs(VQCAF_THREAD_STOP_POLL_MS);
  return VqxThreadJoin(&mRecord, nullptr);
}

u32 CVQCAFThread::IsRunning() { return mfRunning.load(std::memory_order_acquire); }

u32 CVQCAFThread::SetPrio(_VQCAF_THREAD_PRIO Prio) {
  if (!IsKnownPrio(Prio)) return VQX_RESULT_INVALID_PARAM;
  if (IsCallerThisThread()) {  // without the lock, which a waiting Stop may hold
    mun32Prio.store(Prio);
    ApplyPrio(pthread_self(), Prio);
    return VQX_RESULT_OK;
  }
  std::lock_guard<std::mutex> Lock(mControlMutex);
  mun32Prio.store(Prio);
  if (mRecord.fCreated != 0 && mfRunning.load() != 0) ApplyPrio(mRecord.hThread, Prio);
  return VQX_RESULT_OK;
}

u32 CVQCAFThread::SetEventQlen(unsigned int un32EventQlen) { return mEventQueue.SetCapacity(un32EventQlen); }

u32 CVQCAFThread::EventPost(const CVQCAFEvent& Event) { return mEventQueue.Post(Event); }

u32 CVQCAFThread::EventWait(CVQCAFEvent* pEvent, u32 un32TimeoutMs) {
  return mEventQueue.Wait(pEvent, un32TimeoutMs);
}

u32 CVQCAFThread::EventGetCount() { return mEventQueue.GetCount(); }

void CVQCAFThread::Run() {
  CVQCAFEvent Event;
  while (IsStopRequested() == 0) {
    // Without a queue the wait just sleeps until Stop wakes it.
    if (EventWait(&Event, VQCAF_THREAD_EVENT_WAIT_MS) == VQX_RESULT_OK) OnEvent(&Event);
  }
}

void CVQCAFThread::OnEvent(CVQCAFEvent* /*pEvent*/) {}

u32 CVQCAFThread::IsStopRequested() const { return VqxThreadStopRequested(&mRecord); }

bool CVQCAFThread::IsCallerThisThread() const { return t_pCurrentThread == this; }

u32 CVQCAFThread::ThreadMain(void* pvThis) {
  CVQCAFThread* pThis = static_cast<CVQCAFThread*>(pvThis);
  t_pCurrentThread = pThis;
  pThis->mfEntered.store(1, std::memory_order_release);
  u32 un32Result = VQX_RESULT_OK;
  try {
    pThis->Run();
  } catch (...) {
    // Nothing may escape a thread function; the failure is logged once.
    VQCAF_FAILURE Failure = VQCAF_CURRENT_FAILURE("CVQCAFThread::Run");
    LogTrace(VQERR, "%s", Failure.strLine.c_str());
    un32Result = Failure.un32Result;
  }
  t_pCurrentThread = nullptr;
  pThis->mfRunning.store(0, std::memory_order_release);
  return un32Result;
}

}  // namespace VQCAF
