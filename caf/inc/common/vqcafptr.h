/*
 * vqcafptr.h - CVQCAFPtr<T>, the framework's shared owner of an object.
 *
 * A CVQCAFPtr holds the object pointer, a pointer to a heap u32 reference
 * count and the allocator kind that says how the object is freed:
 *   1 delete (through the object's destructor, virtual when T has one)
 *   2 free (memory from malloc; no destructor runs)
 *   3 VQCAF_DELETE (VqxDeletePrivate: guard words checked)
 *   any other kind: "CVQCAFPtr: Unknown allocator type, can't free!" is
 *   printed (foundation printer, error level) and the object is left alone.
 * Making a pointer from an object sets the count to 1; copying adds one;
 * releasing, emptying or reassigning subtracts one; the last release frees
 * the object by its kind and frees the count. The count changes atomically
 * (a release publishes the holder's writes to the thread that frees), with
 * no lock held, so a destructor may use other CVQCAFPtr freely. Counts once
 * changed under the framework's global mutex: two mutex round trips per
 * copy and release were most of the cost of handing a shared record out.
 *
 * Threads: different CVQCAFPtr objects sharing one object may be copied and
 * released on any threads at once. One CVQCAFPtr object is not itself
 * guarded: two threads must not change the same CVQCAFPtr at once.
 */
#ifndef VQCAFPTR_H
#define VQCAFPTR_H

#include <atomic>
#include <cstdlib>
#include <new>
#include <utility>

#include "vqcafdebuginfo.h"
#include "vqcafdiag.h"
#include "vqcafexception.h"
#include "vqcafmutex.h"
#include "vqx_types.h"

namespace VQCAF {

constexpr u32 VQCAF_PTR_ALLOC_UNKNOWN = 0u;
constexpr u32 VQCAF_PTR_ALLOC_NEW = 1u;
constexpr u32 VQCAF_PTR_ALLOC_MALLOC = 2u;
constexpr u32 VQCAF_PTR_ALLOC_VQCAF_NEW = 3u;

template <class T>
class CVQCAFPtr {
 public:
  CVQCAFPtr() noexcept : mp(nullptr), mpun32RefCount(nullptr), mun32AllocType(VQCAF_PTR_ALLOC_NEW) {}
  /* Takes ownership of p (count 1). A null p makes an empty pointer. If the
   * count cannot be allocated, p is freed by its kind and bad_alloc thrown. */
  CVQCAFPtr(T* p, u32 un32AllocType = VQCAF_PTR_ALLOC_NEW) : CVQCAFPtr() { Take(p, un32AllocType); }
  CVQCAFPtr(const CVQCAFPtr& Other) noexcept : CVQCAFPtr() { Share(Other.mp, Other.mpun32RefCount, Other.mun32AllocType); }
  template <class U>
  CVQCAFPtr(const CVQCAFPtr<U>& Other) noexcept : CVQCAFPtr() {
    Share(Other.mp, Other.mpun32RefCount, Other.mun32AllocType);
  }
  CVQCAFPtr(CVQCAFPtr&& Other) noexcept
      : mp(Other.mp), mpun32RefCount(Other.mpun32RefCount), mun32AllocType(Other.mun32AllocType) {
    Other.mp = nullptr;
    Other.mpun32RefCount = nullptr;
  }
  ~CVQCAFPtr() { Release(); }

  CVQCAFPtr& operator=(const CVQCAFPtr& Other) noexcept {
    if (this != &Other) {
      CVQCAFPtr Copy(Other);
      Swap(Copy);
    }
    return *this;
  }
  CVQCAFPtr& operator=(CVQCAFPtr&& Other) noexcept {
    if (this != &Other) {
      Release();
      Swap(Other);
    }
    return *this;
  }
  /* Drops the current reference and takes a freshly made object (kind 1). */
  CVQCAFPtr& operator=(T* p) {
    Assign(p, VQCAF_PTR_ALLOC_NEW);
    return *this;
  }
  /* Drops the current reference and takes p with the given kind. */
  void Assign(T* p, u32 un32AllocType) {
    CVQCAFPtr New(p, un32AllocType);
    Swap(New);
  }

  /* Gives this reference back and leaves the pointer empty. */
  void Release() noexcept;

  T* Get() const noexcept { return mp; }
  T* operator->() const noexcept { return mp; }
  T& operator*() const noexcept { return *mp; }
  explicit operator bool() const noexcept { return mp != nullptr; }
  bool IsNull() const noexcept { return mp == nullptr; }
  u32 GetAllocType() const noexcept { return mun32AllocType; }
  /* The shared count (0 for an empty pointer). */
  u32 GetRefCount() const;

  void Swap(CVQCAFPtr& Other) noexcept {
    std::swap(mp, Other.mp);
    std::swap(mpun32RefCount, Other.mpun32RefCount);
    std::swap(mun32AllocType, Other.mun32AllocType);
  }

 private:
  template <class U>
  friend class CVQCAFPtr;

  void Take(T* p, u32 un32AllocType);
  template <class U>
  void Share(U* p, u32* pun32RefCount, u32 un32AllocType) noexcept;
  static void FreeObject(T* p, u32 un32AllocType) noexcept;

  T* mp;
  u32* mpun32RefCount;
  u32 mun32AllocType;
};

template <class T>
void CVQCAFPtr<T>::Take(T* p, u32 un32AllocType) {
  mun32AllocType = un32AllocType;
  if (p == nullptr) return;
  u32* pun32Count = new (std::nothrow) u32(1);
  if (pun32Count == nullptr) {
    FreeObject(p, un32AllocType);
    throw std::bad_alloc();
  }
  mp = p;
  mpun32RefCount = pun32Count;
}

template <class T>
template <class U>
void CVQCAFPtr<T>::Share(U* p, u32* pun32RefCount, u32 un32AllocType) noexcept {
  if (pun32RefCount != nullptr) std::atomic_ref<u32>(*pun32RefCount).fetch_add(1, std::memory_order_relaxed);
  mp = p;
  mpun32RefCount = pun32RefCount;
  mun32AllocType = un32AllocType;
}

template <class T>
void CVQCAFPtr<T>::Release() noexcept {
  T* p = mp;
  u32* pun32Count = mpun32RefCount;
  mp = nullptr;
  mpun32RefCount = nullptr;
  if (pun32Count == nullptr) return;
  if (std::atomic_ref<u32>(*pun32Count).fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  delete pun32Count;
  FreeObject(p, mun32AllocType);
}

template <class T>
void CVQCAFPtr<T>::FreeObject(T* p, u32 un32AllocType) noexcept {
  switch (un32AllocType) {
    case VQCAF_PTR_ALLOC_NEW:
      delete p;
      break;
    case VQCAF_PTR_ALLOC_MALLOC:
      free(const_cast<void*>(static_cast<const volatile void*>(p)));
      break;
    case VQCAF_PTR_ALLOC_VQCAF_NEW:
      try {
        VqxDeletePrivate(&p, __FILE__, __LINE__);
      } catch (...) {
        VqcafReportCurrentException("CVQCAFPtr::Release", __FILE__, __LINE__);
      }
      break;
    default:
      VqcafDiagPrintf(VQCAF_DIAG_LEVEL_ERROR, "CVQCAFPtr: Unknown allocator type, can't free!");
      break;
  }
}

template <class T>
u32 CVQCAFPtr<T>::GetRefCount() const {
  if (mpun32RefCount == nullptr) return 0;
  return std::atomic_ref<u32>(*mpun32RefCount).load(std::memory_order_acquire);
}

}  // namespace VQCAF

#endif
