/*
 * vqx_jobs.h - keyed worker-thread job pool.
 *
 * A pool runs caller jobs on a fixed set of worker threads. Each job is
 * started under a 32-bit serialisation key: the jobs of one key run one after
 * another in the order they were started (never two at once), the jobs of
 * different keys run in parallel on different workers. After a job's handler
 * has run, the pool's done callback is called for it, on the same worker and
 * before the next job of that key starts.
 *
 * The job: an opaque, non-null caller pointer (typically the caller's own job
 * record) that identifies the job while the pool holds it. The pool never
 * reads or frees what it points to; it hands it to the handler and to the done
 * callback, and the caller finds it again with VQXMultiThreadedJobControl. A
 * pointer can be queued only once at a time; once its handler has begun (or,
 * cancelled, once its done callback is about to be called) the same pointer
 * may be started again, so a done callback may free the record, or start it
 * anew, and a freed address may be reused at once. A job counts as held (see
 * VQXMultiThreadedJobGetCount and the job limit) until its done callback has
 * returned.
 *
 * Results given to the done callback:
 * - the handler's own result when the handler ran;
 * - VQX_MT_JOB_RESULT_CANCELLED when the job was cancelled while queued
 *   (VQXMultiThreadedJobControl code 3, or VQXMultiThreadedJobsCloseLib): the
 *   handler is not called. After a cancel the done callback runs soon after
 *   on a worker thread (never inside the cancel call itself); for jobs still
 *   queued at close it runs on the closing thread, after the workers ended.
 * Every started job thus gets exactly one done callback: none is lost or run
 * twice.
 *
 * Threads and locks: handlers and done callbacks run on the workers without
 * any pool lock held, so they may start, cancel, re-key or count jobs of the
 * same pool. All calls are thread-safe, except that nothing may use a handle
 * once VQXMultiThreadedJobsCloseLib has been called for it.
 */
#ifndef VQX_JOBS_H
#define VQX_JOBS_H

#include "vqx_result.h"
#include "vqx_types.h"

typedef struct _VQX_MULTI_THREADED_JOBS* VQX_MULTI_THREADED_JOBS_HANDLE;

/* Result handed to the done callback of a job that was cancelled unrun. */
#define VQX_MT_JOB_RESULT_CANCELLED VQX_RESULT_OPERATION_INCOMPLETE

/* Runs one job; its result goes to the done callback. */
typedef VQX_RESULT (*PFN_VQX_MT_JOB_HANDLER)(VQX_MULTI_THREADED_JOBS_HANDLE hPool, void* pvJob);
/* Ends one job (after the handler, or after a cancel). */
typedef void (*PFN_VQX_MT_JOB_DONE)(VQX_MULTI_THREADED_JOBS_HANDLE hPool, void* pvJob,
                                    VQX_RESULT result);

#define VQX_MT_JOBS_MAX_THREADS 1024u

typedef struct _VQX_MULTI_THREADED_JOBS_PARAMS {
  u32 un32NbThreads;          /* worker threads, 1 to VQX_MT_JOBS_MAX_THREADS */
  u32 un32MaxJobs;            /* most jobs held at once (queued + running), >= 1 */
  u32 un32PriorityClass;      /* workers' class, VQX_THREAD_PRIORITY_... (1 to 4) */
  PFN_VQX_MT_JOB_DONE pFctDone; /* may be null: no done notification */
} VQX_MULTI_THREADED_JOBS_PARAMS;

typedef struct _VQX_MULTI_THREADED_JOB_START_PARAMS {
  u32 un32Reserved;                /* must be 0 */
  u32 un32SerializationKey;        /* jobs of one key run in order, one at a time */
  PFN_VQX_MT_JOB_HANDLER pFctHandler;
} VQX_MULTI_THREADED_JOB_START_PARAMS;

#define VQX_MT_JOB_CONTROL_CANCEL 3u
typedef struct _VQX_MULTI_THREADED_JOB_CONTROL {
  u32 un32Code; /* VQX_MT_JOB_CONTROL_CANCEL */
} VQX_MULTI_THREADED_JOB_CONTROL;

#define VQX_MT_JOB_SERIALIZED_CONTROL_REKEY 1u
typedef struct _VQX_MULTI_THREADED_JOB_SERIALIZED_CONTROL {
  u32 un32Code;    /* VQX_MT_JOB_SERIALIZED_CONTROL_REKEY */
  u32 un32NewKey;
} VQX_MULTI_THREADED_JOB_SERIALIZED_CONTROL;

/*
 * Creates the pool and starts its workers (1 MiB stacks, named "vqx_jobs_N").
 * Returns 0x02000000 with *phPool set; 0x82000009 for null pointers;
 * 0x8200000A for 0 threads, more than VQX_MT_JOBS_MAX_THREADS, 0 jobs or a
 * class outside 1..4; 0x82000012 without memory; 0x82000008 when a worker
 * cannot be started (the workers already started are stopped). *phPool is
 * null on failure.
 */
VQX_RESULT VQXMultiThreadedJobsOpenLib(const VQX_MULTI_THREADED_JOBS_PARAMS* pParams,
                                       VQX_MULTI_THREADED_JOBS_HANDLE* phPool);

/*
 * Stops the pool: refuses new jobs, waits for the handlers and done callbacks
 * that are running, stops the workers, then calls the done callback with
 * VQX_MT_JOB_RESULT_CANCELLED for every job still queued (per key in queue
 * order) and frees the pool. Returns 0x02000000; 0x82000009 for null;
 * 0x8200000F when called from one of the pool's own handlers or done
 * callbacks (nothing is stopped then).
 */
VQX_RESULT VQXMultiThreadedJobsCloseLib(VQX_MULTI_THREADED_JOBS_HANDLE hPool);

/*
 * Queues pvJob at the end of its key's queue. Returns 0x02000000;
 * 0x82000009 for a null pool, job, parameters or handler; 0x8200000A when
 * un32Reserved is not 0; 0x82000005 when this job is already queued (or
 * cancelled and waiting for its done callback);
 * 0x82000008 when the pool holds un32MaxJobs jobs; 0x8200000F once the pool
 * is closing; 0x82000012 without memory. A refused job is not held.
 */
VQX_RESULT VQXMultiThreadedJobStart(VQX_MULTI_THREADED_JOBS_HANDLE hPool, void* pvJob,
                                    const VQX_MULTI_THREADED_JOB_START_PARAMS* pParams);

/*
 * Acts on one job. Code 3 (cancel) takes a queued job out of its queue; its
 * done callback then receives VQX_MT_JOB_RESULT_CANCELLED. Returns
 * 0x02000000; 0x82000005 when the job is no longer queued (running, or
 * already cancelled and not yet done); 0x82000015 when the pool does not hold
 * the job; 0x82000009 for null arguments; 0x8200000A for another code.
 */
VQX_RESULT VQXMultiThreadedJobControl(VQX_MULTI_THREADED_JOBS_HANDLE hPool, void* pvJob,
                                      const VQX_MULTI_THREADED_JOB_CONTROL* pControl);

/*
 * Acts on every queued job of one key. Code 1 (re-key) moves them, in their
 * order, to the end of un32NewKey's queue; a job of the old key that is
 * already running is not affected (so the moved jobs may run alongside it).
 * Returns 0x02000000 (also when the new key is the old one: nothing moves);
 * 0x82000015 when no queued job has the key; 0x82000009 for null arguments;
 * 0x8200000A for another code.
 */
VQX_RESULT VQXMultiThreadedJobSeriliazedControl(
    VQX_MULTI_THREADED_JOBS_HANDLE hPool, u32 un32SerializationKey,
    const VQX_MULTI_THREADED_JOB_SERIALIZED_CONTROL* pControl);

/* Number of jobs the pool holds (queued, running, cancelled not yet done); 0 for null. */
u32 VQXMultiThreadedJobGetCount(VQX_MULTI_THREADED_JOBS_HANDLE hPool);

#endif
