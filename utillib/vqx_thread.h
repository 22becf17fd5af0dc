/*
 * vqx_thread.h - how the procedural libraries start their threads, and the
 * recursive priority-inheriting mutex they lock with.
 *
 * Threads: a caller fills a VQX_THREAD_RECORD (function and argument) and
 * calls VqxThreadCreate. Every thread starts in the one common start routine
 * VqxThreadCreateEntryPoint, which does nothing but call the record's function
 * with the record's argument; the gateway, host, job-pool and framework thread
 * code all start their threads this way. Threads are joinable, run on a stack
 * of the given size (the libraries use VQX_THREAD_DEFAULT_STACK_SIZE, 1 MiB),
 * carry a name of at most 15 characters (what the kernel keeps; the creator
 * sets it just after the thread has started), and run in a
 * priority class: real-time classes are applied when the process may use
 * them and silently left at the default scheduling when it may not (EPERM).
 * The record must stay in place until VqxThreadJoin has returned.
 *
 * Mutex: VQX_MUTEX_HANDLE is a recursive mutex with priority inheritance (the
 * plain recursive kind where the system has no priority inheritance). The
 * owning thread may take it again; each Get needs one Give. Used by the job
 * pool, the gateway and host libraries and the framework's CVQCAFMutex.
 */
#ifndef VQX_THREAD_H
#define VQX_THREAD_H

#include <pthread.h>

#include <atomic>

#include "vqx_result.h"
#include "vqx_types.h"

/* ---------------------------------------------------------------- threads */

#define VQX_THREAD_DEFAULT_STACK_SIZE 0x100000u /* 1 MiB */
#define VQX_THREAD_NAME_MAX 15u                 /* characters, NUL excluded */

/*
 * Priority classes. Real-time classes use the round-robin policy (SCHED_RR)
 * with system contention scope; when the process lacks the right to use it
 * the thread keeps the default policy instead (no error).
 */
#define VQX_THREAD_PRIORITY_NORMAL 1u  /* default time-sharing scheduling */
#define VQX_THREAD_PRIORITY_RT_LOW 2u  /* SCHED_RR, lowest real-time priority */
#define VQX_THREAD_PRIORITY_RT_MID 3u  /* SCHED_RR, middle of the range */
#define VQX_THREAD_PRIORITY_RT_HIGH 4u /* SCHED_RR, highest priority less one */

/* The thread function: its result is handed back by VqxThreadJoin. */
typedef u32 (*PFN_VQX_THREAD_FUNCTION)(void* pvArg);

typedef struct _VQX_THREAD_RECORD {
  pthread_t hThread;                  /* valid while fCreated is set */
  u32 fCreated;                       /* set by VqxThreadCreate, cleared by VqxThreadJoin */
  std::atomic<u32> fStopRequest;      /* set by VqxThreadRequestStop, read by the thread */
  PFN_VQX_THREAD_FUNCTION pFctThread; /* called by VqxThreadCreateEntryPoint */
  void* pvArg;                        /* its argument */
} VQX_THREAD_RECORD;

typedef struct _VQX_THREAD_PARAMS {
  const char* pszName;    /* thread name, cut to VQX_THREAD_NAME_MAX; null: unnamed */
  u32 un32StackSize;      /* bytes; 0 means VQX_THREAD_DEFAULT_STACK_SIZE */
  u32 un32PriorityClass;  /* VQX_THREAD_PRIORITY_...; 0 means NORMAL */
} VQX_THREAD_PARAMS;

/*
 * The common start routine: pvRecord is a VQX_THREAD_RECORD*; calls
 * pFctThread(pvArg) and returns its u32 result as a pointer-sized integer.
 * Given to pthread_create by VqxThreadCreate; libraries that create threads
 * themselves pass it too.
 */
void* VqxThreadCreateEntryPoint(void* pvRecord);

/*
 * Starts a joinable thread running pFctThread(pvArg) through the common start
 * routine. Fills pRecord (function, argument, handle, fCreated; stop flag
 * cleared). pParams may be null (defaults: unnamed, 1 MiB, NORMAL).
 * Returns 0x02000000; 0x82000009 for a null record or function; 0x8200000A
 * for a priority class above 4 or a stack size below PTHREAD_STACK_MIN;
 * 0x82000008 when the thread cannot be created (record left not created).
 */
VQX_RESULT VqxThreadCreate(VQX_THREAD_RECORD* pRecord, PFN_VQX_THREAD_FUNCTION pFctThread,
                           void* pvArg, const VQX_THREAD_PARAMS* pParams);

/* Sets the record's stop flag; the thread function polls it. */
void VqxThreadRequestStop(VQX_THREAD_RECORD* pRecord);
/* Non-zero once a stop was requested (the thread function's loop test). */
u32 VqxThreadStopRequested(const VQX_THREAD_RECORD* pRecord);

/*
 * Waits for the thread to end and gives back its function's result (when
 * pun32Result is given). Returns 0x02000000; 0x82000009 for a null record;
 * 0x8200000F when the record holds no created thread or the caller is that
 * thread itself.
 */
VQX_RESULT VqxThreadJoin(VQX_THREAD_RECORD* pRecord, u32* pun32Result);

/*
 * Threads of the whole process started by VqxThreadCreate and not joined
 * since by VqxThreadJoin: a library whose close joins every thread it started
 * leaves it as it found it when the close returns.
 */
u32 VqxThreadsNotJoined(void);

/* ------------------------------------------------------------------ mutex */

typedef struct _VQX_MUTEX* VQX_MUTEX_HANDLE;

/*
 * Creates a recursive, priority-inheriting mutex and writes its handle.
 * Returns 0x02000000; 0x82000009 for a null out pointer; 0x82000012 when it
 * cannot be allocated; 0x82000001 when the mutex cannot be set up (*phMutex
 * is null on failure).
 */
VQX_RESULT VqxMutexCreate(VQX_MUTEX_HANDLE* phMutex);

/*
 * As VqxMutexCreate, without priority inheritance: for a lock that is only
 * ever held for a few instructions (a table lookup or insertion), where the
 * kernel-assisted priority-inheriting lock and release cost more than the
 * work they guard. Same results.
 */
VQX_RESULT VqxMutexCreatePlain(VQX_MUTEX_HANDLE* phMutex);

/*
 * Frees the mutex; it must not be held or waited for. Returns 0x02000000;
 * 0x82000009 for null; 0x8200000F when some thread holds it (then it is not
 * freed).
 */
VQX_RESULT VqxMutexDestroy(VQX_MUTEX_HANDLE hMutex);

/* Takes the mutex, waiting as long as needed. 0x82000009 for null. */
VQX_RESULT VqxMutexGet(VQX_MUTEX_HANDLE hMutex);

/*
 * Takes the mutex without waiting: 0x02000000 when taken (also when the
 * caller already holds it), 0x82000016 when another thread holds it.
 */
VQX_RESULT VqxMutexTryGet(VQX_MUTEX_HANDLE hMutex);

/*
 * Takes the mutex, waiting at most un32TimeoutMs milliseconds: 0x02000000
 * when taken, 0x82000003 when the time ran out (0 behaves as VqxMutexTryGet
 * but answers 0x82000003).
 */
VQX_RESULT VqxMutexTimedGet(VQX_MUTEX_HANDLE hMutex, u32 un32TimeoutMs);

/*
 * Gives back one level of the mutex: 0x02000000; 0x8200000F when the caller
 * does not hold it (nothing changes).
 */
VQX_RESULT VqxMutexGive(VQX_MUTEX_HANDLE hMutex);

/*
 * How many levels the calling thread holds (0 when it does not hold the
 * mutex or for null); lets a scoped guard release every level around a
 * blocking call and take them all again afterwards.
 */
u32 VqxMutexHeldCount(VQX_MUTEX_HANDLE hMutex);

#endif
