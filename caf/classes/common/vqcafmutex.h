/*
 * vqcafmutex.h - the framework's lock and its scoped guards.
 *
 * CVQCAFMutex is recursive and priority-inheriting (the utility library's
 * VQX_MUTEX_HANDLE): the owning thread may take it again, each Get needs one
 * Give. Code takes it through the guards:
 *   CVQCAFMutexAutoGetGive  holds it for a scope;
 *   CVQCAFMutexAutoGiveGet  releases it completely (all levels the thread
 *                           holds) for a scope - around blocking receives,
 *                           sleeps and calls into application code - and
 *                           takes it again as many times at the scope's end.
 * Both do nothing for a null mutex, so that a null pointer means "no locking".
 *
 * The framework's global mutex (GetGlobalMutex) exists from first use to the
 * end of the process.
 */
#ifndef VQCAFMUTEX_H
#define VQCAFMUTEX_H

#include "vqcafnoncopyable.h"
#include "vqx_result.h"
#include "vqx_thread.h"
#include "vqx_types.h"

namespace VQCAF {

class CVQCAFMutex : private CVQCAFNonCopyable {
 public:
  /* Throws CVQCAFException (0x82000012 / 0x82000001) when the lock cannot be made. */
  CVQCAFMutex();
  /* The same without priority inheritance (fPriorityInherit 0): for a class
   * lock held only around table updates, never across a wait or a callback. */
  explicit CVQCAFMutex(bool fPriorityInherit);
  /* Destroys the underlying lock; it must not be held by anyone. */
  ~CVQCAFMutex();

  /* Takes one level (waits as long as needed). 0x02000000. */
  VQX_RESULT Get();
  /* Gives one level back: 0x02000000, 0x8200000F when the caller does not hold it. */
  VQX_RESULT Give();

  /* Levels the calling thread holds (0 when it does not hold the mutex). */
  u32 GetHeldCount() const;
  /* Gives every level the caller holds back and returns how many there were. */
  u32 GiveAll();
  /* Takes un32Count levels (what GiveAll returned). */
  void GetCount(u32 un32Count);

  VQX_MUTEX_HANDLE GetHandle() const { return mhMutex; }

 private:
  VQX_MUTEX_HANDLE mhMutex;
};

/* Takes / gives pMutex explicitly (nothing for null, 0x02000000 then). The
 * source position names the caller for diagnostics. */
VQX_RESULT CVQCAFMutexGetPrivate(CVQCAFMutex* pMutex, const char* pszFile = nullptr, int nLine = 0);
VQX_RESULT CVQCAFMutexGivPrivate(CVQCAFMutex* pMutex, const char* pszFile = nullptr, int nLine = 0);

/* Holds pMutex from construction to destruction (nothing for null). */
class CVQCAFMutexAutoGetGive : private CVQCAFNonCopyable {
 public:
  explicit CVQCAFMutexAutoGetGive(CVQCAFMutex* pMutex);
  ~CVQCAFMutexAutoGetGive();

 private:
  CVQCAFMutex* mpMutex;
};

/*
 * Releases every level of pMutex that the calling thread holds from
 * construction to destruction, then takes it again as many times. When the
 * caller does not hold it, nothing is released and nothing retaken.
 */
class CVQCAFMutexAutoGiveGet : private CVQCAFNonCopyable {
 public:
  explicit CVQCAFMutexAutoGiveGet(CVQCAFMutex* pMutex);
  ~CVQCAFMutexAutoGiveGet();

 private:
  CVQCAFMutex* mpMutex;
  u32 mun32Levels;
};

/* The framework's global mutex (created on first use, never destroyed). */
CVQCAFMutex* GetGlobalMutex();

}  // namespace VQCAF

#endif
