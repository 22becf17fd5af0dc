/*
 * vqcafdebuginfo.h - source positions for allocation tracing, and the
 * guarded allocation pair VQCAF_NEW / VQCAF_DELETE.
 *
 * CVQCAFDebugInfo is the (file, line) of a caller, handed to pools, buffers
 * and guarded deletions so that a leak or a misuse names the code behind it.
 *
 * VQCAF_NEW(T, args...) builds a T (VQCAF_NEW_ARRAY(T, n): n default Ts) in a
 * block framed by guard words and records the block, with its source
 * position, in the table of live guarded allocations. VQCAF_DELETE(p) checks
 * the block and destroys it:
 *   - p null: nothing;
 *   - the block is not a live guarded allocation (deleted twice, never made
 *     by VQCAF_NEW) or a guard word is damaged: throws CVQCAFException
 *     (0x8200000A) with the text
 *     "********** Corrupted buffer 0x%p (base class ptr would be 0x%p) passed to VQCAF_DELETE (%s:%u)"
 *     and touches nothing (no memory of a freed block is read: liveness is
 *     decided from the table first);
 *   - otherwise runs the destructor of each element, frees the block and
 *     sets p to null.
 * p may point to a base-class part of the object: the block is found from
 * the table by address range.
 * VqcafReportGuardedLeaks writes what is still allocated (the framework shell
 * calls it when the framework ends); every thread may allocate and delete.
 */
#ifndef VQCAFDEBUGINFO_H
#define VQCAFDEBUGINFO_H

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "vqx_types.h"

namespace VQCAF {

class CVQCAFDebugInfo {
 public:
  CVQCAFDebugInfo(const char* pszFile = "", int nLine = 0) noexcept
      : mpszFile(pszFile != nullptr ? pszFile : ""), mnLine(nLine) {}
  const char* GetFile() const noexcept { return mpszFile; }
  int GetLine() const noexcept { return mnLine; }

 private:
  const char* mpszFile;
  int mnLine;
};

/* ------------------------------------------------ guarded allocation */

/* Destroys un32Count objects at pvObject (the type is known where the block
 * was made). */
typedef void (*PFN_VQCAF_GUARDED_DESTROY)(void* pvObject, u32 un32Count);

/* Internal: one live block of object bytes (aligned for max_align_t),
 * registered under the source position. Throws std::bad_alloc. */
void* VqcafGuardedAlloc(u64 un64ObjectBytes, u32 un32Count, const char* pszFile, int nLine);
/* Internal: frees a block from VqcafGuardedAlloc whose construction failed. */
void VqcafGuardedAbandon(void* pvObject) noexcept;
/* Internal: records how the block's objects are destroyed once built. */
void VqcafGuardedSetDestroy(void* pvObject, PFN_VQCAF_GUARDED_DESTROY pFctDestroy) noexcept;
/* Internal: finds the live block that holds pvGiven (an object or one of its
 * base-class parts), checks its guard words, destroys its objects and frees
 * it; throws CVQCAFException when there is no such block or it is damaged. */
void VqcafGuardedDelete(const void* pvGiven, const char* pszFile, int nLine);

/* Live guarded allocations. */
u32 VqcafGetGuardedAllocationCount();
/* Writes one line per live guarded allocation (address, bytes, source
 * position) and a summary through the foundation's printer at the error
 * level, or nothing when none is left; returns how many are live. */
u32 VqcafReportGuardedLeaks();

template <class T>
void VqcafGuardedDestroy(void* pvObject, u32 un32Count) {
  T* p = static_cast<T*>(pvObject);
  for (u32 i = un32Count; i > 0; --i) p[i - 1].~T();
}

template <class T, class... Args>
T* VqxNewPrivate(const char* pszFile, int nLine, Args&&... args) {
  static_assert(alignof(T) <= alignof(std::max_align_t), "over-aligned type in VQCAF_NEW");
  void* pv = VqcafGuardedAlloc(sizeof(T), 1, pszFile, nLine);
  T* p;
  try {
    p = ::new (pv) T(std::forward<Args>(args)...);
  } catch (...) {
    VqcafGuardedAbandon(pv);
    throw;
  }
  VqcafGuardedSetDestroy(pv, &VqcafGuardedDestroy<T>);
  return p;
}

template <class T>
T* VqxNewArrayPrivate(const char* pszFile, int nLine, u32 un32Count) {
  static_assert(alignof(T) <= alignof(std::max_align_t), "over-aligned type in VQCAF_NEW_ARRAY");
  void* pv = VqcafGuardedAlloc(static_cast<u64>(sizeof(T)) * un32Count, un32Count, pszFile, nLine);
  T* p = static_cast<T*>(pv);
  u32 i = 0;
  try {
    for (; i < un32Count; ++i) ::new (static_cast<void*>(p + i)) T();
  } catch (...) {
    VqcafGuardedDestroy<T>(p, i);
    VqcafGuardedAbandon(pv);
    throw;
  }
  VqcafGuardedSetDestroy(pv, &VqcafGuardedDestroy<T>);
  return p;
}

/* Guarded deletion of *ppObject (see above); clears *ppObject. Does nothing
 * for a null ppObject or a null object. */
template <class T>
void VqxDeletePrivate(T** ppObject, const char* pszFile, int nLine) {
  if (ppObject == nullptr || *ppObject == nullptr) return;
  /* The block is found by address range in the table of live blocks, never
   * by reading the object (which may already be freed). */
  VqcafGuardedDelete(const_cast<const void*>(static_cast<const volatile void*>(*ppObject)), pszFile, nLine);
  *ppObject = nullptr;
}

}  // namespace VQCAF

#define VQCAF_DEBUG_INFO ::VQCAF::CVQCAFDebugInfo(__FILE__, __LINE__)
#define VQCAF_NEW(T, ...) ::VQCAF::VqxNewPrivate<T>(__FILE__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define VQCAF_NEW_ARRAY(T, n) ::VQCAF::VqxNewArrayPrivate<T>(__FILE__, __LINE__, (n))
#define VQCAF_DELETE(p) ::VQCAF::VqxDeletePrivate(&(p), __FILE__, __LINE__)

#endif
