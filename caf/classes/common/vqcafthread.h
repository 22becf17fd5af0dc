/*
 * vqcafthread.h - the framework's thread object and its event queue.
 *
 * A class derives from CVQCAFThread and overrides Run (its thread body) and
 * OnEvent (what one event from its queue does). Start creates the thread
 * (1 MiB stack, through the utility library's common thread start routine);
 * Run polls IsStopRequested() and returns when it is set; Stop sets that
 * request, wakes a Run blocked on the event queue and can wait for the thread
 * to end. The default Run waits on the event queue and hands every event to
 * OnEvent until a stop is requested, so a thread that only reacts to events
 * overrides OnEvent alone.
 *
 * The event queue is a bounded CVQCAFPipe of CVQCAFEvent values: any thread
 * posts with EventPost, the thread itself takes them with EventWait. Its
 * length is given at construction (0: no queue, every post is refused) and
 * may be changed with SetEventQlen.
 *
 * Start, Stop and SetPrio may be called from any thread. A derived class
 * must stop its thread (Stop(1)) in its own destructor: by the time the base
 * destructor runs, the derived Run can no longer run safely. The base
 * destructor still stops and joins a thread left running, as a last resort.
 */
#ifndef VQCAFTHREAD_H
#define VQCAFTHREAD_H

#include <atomic>
#include <mutex>

#include "vqcafevent.h"
#include "vqcafnoncopyable.h"
#include "vqcafpipe.h"
#include "vqx_result.h"
#include "vqx_thread.h"
#include "vqx_types.h"

namespace VQCAF {

/* Scheduling class of a framework thread (the utility library's classes). */
enum _VQCAF_THREAD_PRIO {
  VQCAF_THREAD_PRIO_DEFAULT = VQX_THREAD_PRIORITY_NORMAL, /* 1: default time-sharing */
  VQCAF_THREAD_PRIO_RT_LOW = VQX_THREAD_PRIORITY_RT_LOW,  /* round-robin real-time, low */
  VQCAF_THREAD_PRIO_RT_MID = VQX_THREAD_PRIORITY_RT_MID,
  VQCAF_THREAD_PRIO_RT_HIGH = VQX_THREAD_PRIORITY_RT_HIGH,
};

/* Stack of every framework thread. */
constexpr u32 VQCAF_THREAD_STACK_SIZE = VQX_THREAD_DEFAULT_STACK_SIZE; /* 1 MiB */
/* Step of Stop's wait for the thread to leave Run. */
constexpr u32 VQCAF_THREAD_STOP_POLL_MS = 10u;
/* How long the default Run waits on the queue before looking at the stop request. */
constexpr u32 VQCAF_THREAD_EVENT_WAIT_MS = 100u;

class CVQCAFThread : private CVQCAFNonCopyable {
 public:
  /*
   * Prio: scheduling class (1 = default). un32EventQlen: capacity of the
   * event queue (0 = no queue; above VQCAF_PIPE_MAX_CAPACITY clamped to
   * it). The thread is not started; its stop request
   * is set until Start.
   */
  CVQCAFThread(_VQCAF_THREAD_PRIO Prio, unsigned int un32EventQlen);
  virtual ~CVQCAFThread();

  /*
   * Creates the thread, which runs Run. With un32Wait 0 returns at once;
   * otherwise returns once the thread has begun running. Clears the stop
   * request first. Returns 0x02000000; 0x8200000F when the thread is already
   * running; 0x82000008 when the system refuses to create it. A thread that
   * ended by itself is joined and may be started again.
   */
  virtual u32 Start(unsigned int un32Wait);

  /*
   * Sets the stop request and wakes the event queue. With un32Wait non-zero
   * waits, in 10 ms steps, until the thread has left Run, then joins it.
   * Returns 0x02000000 (at once for a thread that was never started). Called
   * by the thread itself it only sets the request (a thread cannot wait for
   * its own end).
   */
  virtual u32 Stop(unsigned int un32Wait);

  /* Non-zero from Start until the thread has left Run. */
  virtual u32 IsRunning();

  /*
   * Changes the scheduling class; applied at once to a running thread
   * (silently kept at the default scheduling where the process may not use
   * real-time classes) and to every later Start. 0x8200000A for an unknown class.
   */
  virtual u32 SetPrio(_VQCAF_THREAD_PRIO Prio);

  /* Changes the queue capacity (see CVQCAFPipe::SetCapacity for the results). */
  virtual u32 SetEventQlen(unsigned int un32EventQlen);

  /*
   * Queues a copy of the event for the thread. Returns 0x02000000;
   * 0x82000008 when the queue is full; 0x8200000F when there is no queue.
   */
  virtual u32 EventPost(const CVQCAFEvent& Event);

  /*
   * Takes the oldest event, waiting at most un32TimeoutMs (0: no wait,
   * VQCAF_PIPE_WAIT_FOREVER: until an event or a stop). Returns 0x02000000;
   * 0x82000003 on time-out; VQCAF_PIPE_RESULT_AWAKENED (0x82000016) when a
   * stop was requested and the queue is empty; 0x82000009 for null.
   */
  virtual u32 EventWait(CVQCAFEvent* pEvent, u32 un32TimeoutMs);

  /* Events queued now. */
  virtual u32 EventGetCount();

  /* The thread body; the default one feeds the queue's events to OnEvent. */
  virtual void Run();

  /* Handles one event from the queue (the default does nothing). */
  virtual void OnEvent(CVQCAFEvent* pEvent);

  /* Non-zero once a stop was requested (also before the first Start). */
  u32 IsStopRequested() const;

 private:
  static u32 ThreadMain(void* pvThis);
  bool IsCallerThisThread() const;

  std::mutex mControlMutex;          // serialises Start, Stop and SetPrio
  VQX_THREAD_RECORD mRecord{};       // under mControlMutex (stop flag atomic)
  std::atomic<u32> mun32Prio;
  std::atomic<u32> mfRunning{0};     // Start .. end of Run
  std::atomic<u32> mfEntered{0};     // the thread has begun
  CVQCAFPipe<CVQCAFEvent> mEventQueue;
};

}  // namespace VQCAF

#endif
