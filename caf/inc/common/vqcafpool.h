/*
 * vqcafpool.h - CVQCAFPool<T>: a bounded pool of objects built in place, kept
 * in allocation order and found by a text key.
 *
 * Built with (debug info, maximum count, string keys flag, case-sensitive
 * flag, dynamic flag):
 *   - string keys 1: Alloc files each element under its key (refusing a key
 *     already present) and Find looks it up; 0: keys are ignored and Find
 *     finds nothing (the pool is walked instead);
 *   - case-sensitive 1: keys compare byte for byte; 0: ASCII case ignored;
 *   - dynamic 1: each element's storage is taken from the heap when it is
 *     allocated; 0: storage for the maximum count is taken at construction.
 * Alloc builds a default T in place and returns it (null when the pool is
 * full or the key taken); Free destroys it and gives the storage back.
 *
 * Walk: Next returns the elements in allocation order, then null (after
 * which the walk starts again at the first element); ResetNext restarts it.
 * Next has already stepped to the following element when it returns one, and
 * Free of the element the walk would return next steps past it, so any
 * element may be freed during a walk.
 *
 * The destructor frees every element still present, printing
 * "~CVQCAFPool: error: Element still present in pool!!!\n" (foundation
 * printer, error level) for each.
 *
 * Threads: no lock inside; the owner serialises every call.
 */
#ifndef VQCAFPOOL_H
#define VQCAFPOOL_H

#include <cstddef>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "vqcafdebuginfo.h"
#include "vqcafdiag.h"
#include "vqcafhashkey.h"
#include "vqcafnoncopyable.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

/* An element that holds one borrowed pointer (null when allocated). */
class CVQCAFPoolPointerElement {
 public:
  void* GetPointer() const { return mpPointer; }
  void SetPointer(void* pPointer) { mpPointer = pPointer; }

  void* mpPointer = nullptr;
};

template <class T>
class CVQCAFPool : private CVQCAFNonCopyable {
 public:
  CVQCAFPool(const CVQCAFDebugInfo& DebugInfo, u32 un32MaxCount, u32 fStringKeys, u32 fCaseSensitive, u32 fDynamic);
  virtual ~CVQCAFPool();

  /* The element filed under Key, or null. */
  T* Find(const CVQCAFHashKeyString& Key);
  /* A new default element under Key, or null (full, key taken). */
  T* Alloc(const CVQCAFDebugInfo& DebugInfo, const CVQCAFHashKeyString& Key);
  /* A new default element without a key (pools without string keys). */
  T* Alloc(const CVQCAFDebugInfo& DebugInfo) { return Alloc(DebugInfo, CVQCAFHashKeyString()); }
  /* Destroys p: 0x02000000; 0x82000009 for null; 0x8200000A when p is not an
   * element of this pool in use (nothing changes). */
  VQX_RESULT Free(const CVQCAFDebugInfo& DebugInfo, T* p);
  /* Frees every element; 0x02000000. */
  VQX_RESULT Clear(const CVQCAFDebugInfo& DebugInfo);

  T* Next();
  void ResetNext() {
    mfWalking = false;
    mpWalkNext = nullptr;
  }

  /* The key p was allocated under (null when p is not in use here). */
  const CVQCAFHashKeyString* GetKey(T* p) const;
  u32 GetCount() const { return static_cast<u32>(mLive.size()); }
  u32 GetMaxCount() const { return mun32MaxCount; }
  /* Counts, list links and index agree; for tests. */
  bool CheckInvariant() const;

 private:
  struct Node {
    alignas(T) unsigned char abyObject[sizeof(T)];
    CVQCAFHashKeyString Key;
    CVQCAFDebugInfo DebugInfo;
    Node* pPrev = nullptr;
    Node* pNext = nullptr;
    T* Object() { return std::launder(reinterpret_cast<T*>(abyObject)); }
  };

  std::string IndexKey(const CVQCAFHashKeyString& Key) const;
  Node* TakeStorage();
  void GiveStorage(Node* pNode);
  void Unlink(Node* pNode);

  CVQCAFDebugInfo mDebugInfo;
  u32 mun32MaxCount;
  bool mfStringKeys;
  bool mfCaseSensitive;
  bool mfDynamic;
  unsigned char* mpbySlab = nullptr; /* static storage: mun32MaxCount nodes */
  std::vector<u32> mFreeSlots;
  std::unordered_map<std::string, Node*> mIndex;
  std::unordered_map<const T*, Node*> mLive;
  Node* mpHead = nullptr;
  Node* mpTail = nullptr;
  bool mfWalking = false;
  Node* mpWalkNext = nullptr;
};

template <class T>
CVQCAFPool<T>::CVQCAFPool(const CVQCAFDebugInfo& DebugInfo, u32 un32MaxCount, u32 fStringKeys, u32 fCaseSensitive,
                          u32 fDynamic)
    : mDebugInfo(DebugInfo),
      mun32MaxCount(un32MaxCount),
      mfStringKeys(fStringKeys != 0),
      mfCaseSensitive(fCaseSensitive != 0),
      mfDynamic(fDynamic != 0) {
  if (!mfDynamic && un32MaxCount != 0) {
    mpbySlab = static_cast<unsigned char*>(::operator new(sizeof(Node) * static_cast<size_t>(un32MaxCount)));
    mFreeSlots.reserve(un32MaxCount);
    for (u32 i = un32MaxCount; i > 0; --i) mFreeSlots.push_back(i - 1);
  }
}

template <class T>
CVQCAFPool<T>::~CVQCAFPool() {
  while (mpHead != nullptr) {
    VqcafDiagPrintf(VQCAF_DIAG_LEVEL_ERROR, "~CVQCAFPool: error: Element still present in pool!!!\n");
    Free(mDebugInfo, mpHead->Object());
  }
  ::operator delete(mpbySlab);
}

template <class T>
std::string CVQCAFPool<T>::IndexKey(const CVQCAFHashKeyString& Key) const {
  std::string strKey(Key.c_str(), Key.GetString().GetLength());
  if (!mfCaseSensitive) {
    for (char& c : strKey) c = VqcafAsciiLower(c);
  }
  return strKey;
}

template <class T>
T* CVQCAFPool<T>::Find(const CVQCAFHashKeyString& Key) {
  if (!mfStringKeys) return nullptr;
  auto It = mIndex.find(IndexKey(Key));
  return It == mIndex.end() ? nullptr : It->second->Object();
}

template <class T>
T* CVQCAFPool<T>::Alloc(const CVQCAFDebugInfo& DebugInfo, const CVQCAFHashKeyString& Key) {
  if (mLive.size() >= mun32MaxCount) return nullptr;
  std::string strIndex;
  if (mfStringKeys) {
    strIndex = IndexKey(Key);
    if (mIndex.find(strIndex) != mIndex.end()) return nullptr;
  }
  Node* pNode = TakeStorage();
  try {
    ::new (static_cast<void*>(pNode->abyObject)) T();
  } catch (...) {
    pNode->~Node();
    GiveStorage(pNode);
    throw;
  }
  T* p = pNode->Object();
  try {
    pNode->Key = Key;
    pNode->DebugInfo = DebugInfo;
    if (mfStringKeys) mIndex.emplace(strIndex, pNode);
    mLive.emplace(p, pNode);
  } catch (...) {
    if (mfStringKeys) mIndex.erase(strIndex);
    p->~T();
    pNode->~Node();
    GiveStorage(pNode);
    throw;
  }
  pNode->pPrev = mpTail;
  if (mpTail != nullptr) mpTail->pNext = pNode;
  else mpHead = pNode;
  mpTail = pNode;
  return p;
}

template <class T>
VQX_RESULT CVQCAFPool<T>::Free(const CVQCAFDebugInfo& /*DebugInfo*/, T* p) {
  if (p == nullptr) return VQX_RESULT_NULL_PARAM;
  auto It = mLive.find(p);
  if (It == mLive.end()) return VQX_RESULT_INVALID_PARAM;
  Node* pNode = It->second;
  if (mpWalkNext == pNode) mpWalkNext = pNode->pNext;
  mLive.erase(It);
  if (mfStringKeys) mIndex.erase(IndexKey(pNode->Key));
  Unlink(pNode);
  p->~T();
  pNode->~Node();
  GiveStorage(pNode);
  return VQX_RESULT_OK;
}

template <class T>
VQX_RESULT CVQCAFPool<T>::Clear(const CVQCAFDebugInfo& DebugInfo) {
  while (mpHead != nullptr) Free(DebugInfo, mpHead->Object());
  ResetNext();
  return VQX_RESULT_OK;
}

template <class T>
T* CVQCAFPool<T>::Next() {
  Node* pCurrent = mfWalking ? mpWalkNext : mpHead;
  if (pCurrent == nullptr) {
    ResetNext();
    return nullptr;
  }
  mfWalking = true;
  mpWalkNext = pCurrent->pNext;
  return pCurrent->Object();
}

template <class T>
const CVQCAFHashKeyString* CVQCAFPool<T>::GetKey(T* p) const {
  auto It = mLive.find(p);
  return It == mLive.end() ? nullptr : &It->second->Key;
}

template <class T>
bool CVQCAFPool<T>::CheckInvariant() const {
  size_t nCount = 0;
  const Node* pPrev = nullptr;
  for (const Node* p = mpHead; p != nullptr; p = p->pNext) {
    if (p->pPrev != pPrev) return false;
    pPrev = p;
    ++nCount;
  }
  if (pPrev != mpTail || nCount != mLive.size() || nCount > mun32MaxCount) return false;
  if (mfStringKeys && mIndex.size() != nCount) return false;
  if (!mfDynamic && mun32MaxCount != 0 && mFreeSlots.size() + nCount != mun32MaxCount) return false;
  return true;
}

template <class T>
typename CVQCAFPool<T>::Node* CVQCAFPool<T>::TakeStorage() {
  void* pv;
  if (mfDynamic) {
    pv = ::operator new(sizeof(Node));
  } else {
    u32 un32Slot = mFreeSlots.back();
    mFreeSlots.pop_back();
    pv = mpbySlab + sizeof(Node) * static_cast<size_t>(un32Slot);
  }
  return ::new (pv) Node();
}

template <class T>
void CVQCAFPool<T>::GiveStorage(Node* pNode) {
  if (mfDynamic) {
    ::operator delete(static_cast<void*>(pNode));
  } else {
    size_t nOffset = reinterpret_cast<unsigned char*>(pNode) - mpbySlab;
    mFreeSlots.push_back(static_cast<u32>(nOffset / sizeof(Node)));
  }
}

template <class T>
void CVQCAFPool<T>::Unlink(Node* pNode) {
  if (pNode->pPrev != nullptr) pNode->pPrev->pNext = pNode->pNext;
  else mpHead = pNode->pNext;
  if (pNode->pNext != nullptr) pNode->pNext->pPrev = pNode->pPrev;
  else mpTail = pNode->pPrev;
}

}  // namespace VQCAF

#endif
