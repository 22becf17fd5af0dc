/*
 * vqcafhashlist.h - CVQCAFHashList<T, K>: borrowed pointers under 32-bit
 * keys, in a hash table (the utility library's VQXHash) and on a list in
 * insertion order.
 *
 * The table never owns the pointed objects: Remove and the destructor drop
 * entries only. The bucket count given to the constructor sizes the first
 * table; the table grows by itself.
 *
 * Threads: no lock inside; the owner serialises every call.
 */
#ifndef VQCAFHASHLIST_H
#define VQCAFHASHLIST_H

#include <cstdint>
#include <new>

#include "vqcafdiag.h"
#include "vqcafnoncopyable.h"
#include "vqx_hash.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

template <class T, class K = unsigned int>
class CVQCAFHashList : private CVQCAFNonCopyable {
  static_assert(sizeof(K) <= sizeof(u64), "keys are at most 64 bits");

 public:
  explicit CVQCAFHashList(u32 un32BucketCount = 16);
  /* Removes every entry ("Failed to Remove element" printed when one cannot
   * be removed); never destroys the pointed objects. */
  virtual ~CVQCAFHashList();

  /* The pointer stored under the key, or null. */
  T* Find(K Key) const;
  /* Stores p under the key and appends it to the insertion-ordered list.
   * 0x02000000; 0x82000014 when the table could not be made; the hash
   * table's result otherwise (0x82000005 key present, 0x82000012 ...). */
  VQX_RESULT Insert(K Key, T* p);
  /* Removes the entry: 0x02000000, or the hash table's negative result
   * (0x82000015 when the key is absent). */
  VQX_RESULT Remove(K Key);

  u32 GetCount() const { return mun32Count; }
  /* Insertion-order walk: First, then Next(previous pointer); null at the end. */
  T* First() const { return mpHead != nullptr ? mpHead->p : nullptr; }
  T* Next(const T* pPrevious) const;

 private:
  struct Node {
    K Key;
    T* p;
    Node* pPrev;
    Node* pNext;
  };
  Node* FindNode(K Key) const;

  HVQXHASH mhHash;
  Node* mpHead = nullptr;
  Node* mpTail = nullptr;
  u32 mun32Count = 0;
};

template <class T, class K>
CVQCAFHashList<T, K>::CVQCAFHashList(u32 un32BucketCount)
    : mhHash(VQXHashCreateWithKeyInternal(0, "CVQCAFHashList", 0)) {
  (void)un32BucketCount; /* the table sizes itself from its first entries */
}

template <class T, class K>
CVQCAFHashList<T, K>::~CVQCAFHashList() {
  while (mpHead != nullptr) {
    if (VQX_RESULT_FAILED(Remove(mpHead->Key))) {
      VqcafDiagPrintf(VQCAF_DIAG_LEVEL_ERROR, "Failed to Remove element\n");
      Node* pNode = mpHead;
      mpHead = pNode->pNext;
      delete pNode;
    }
  }
  if (mhHash != nullptr) VQXHashDestroy(mhHash);
}

template <class T, class K>
typename CVQCAFHashList<T, K>::Node* CVQCAFHashList<T, K>::FindNode(K Key) const {
  if (mhHash == nullptr) return nullptr;
  u64 un64Value = 0;
  if (VQX_RESULT_FAILED(VQXHashFind(mhHash, static_cast<u64>(Key), &un64Value))) return nullptr;
  return reinterpret_cast<Node*>(static_cast<uintptr_t>(un64Value));
}

template <class T, class K>
T* CVQCAFHashList<T, K>::Find(K Key) const {
  Node* pNode = FindNode(Key);
  return pNode != nullptr ? pNode->p : nullptr;
}

template <class T, class K>
VQX_RESULT CVQCAFHashList<T, K>::Insert(K Key, T* p) {
  if (mhHash == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  Node* pNode = new (std::nothrow) Node{Key, p, mpTail, nullptr};
  if (pNode == nullptr) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  VQX_RESULT un32Result =
      VQXHashInsert(mhHash, static_cast<u64>(Key), static_cast<u64>(reinterpret_cast<uintptr_t>(pNode)));
  if (VQX_RESULT_FAILED(un32Result)) {
    delete pNode;
    return un32Result;
  }
  if (mpTail != nullptr) mpTail->pNext = pNode;
  else mpHead = pNode;
  mpTail = pNode;
  ++mun32Count;
  return VQX_RESULT_OK;
}

template <class T, class K>
VQX_RESULT CVQCAFHashList<T, K>::Remove(K Key) {
  if (mhHash == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  u64 un64Value = 0;
  VQX_RESULT un32Result = VQXHashRemove(mhHash, static_cast<u64>(Key), &un64Value);
  if (VQX_RESULT_FAILED(un32Result)) return un32Result;
  Node* pNode = reinterpret_cast<Node*>(static_cast<uintptr_t>(un64Value));
  if (pNode->pPrev != nullptr) pNode->pPrev->pNext = pNode->pNext;
  else mpHead = pNode->pNext;
  if (pNode->pNext != nullptr) pNode->pNext->pPrev = pNode->pPrev;
  else mpTail = pNode->pPrev;
  delete pNode;
  --mun32Count;
  return VQX_RESULT_OK;
}

template <class T, class K>
T* CVQCAFHashList<T, K>::Next(const T* pPrevious) const {
  for (Node* pNode = mpHead; pNode != nullptr; pNode = pNode->pNext) {
    if (pNode->p == pPrevious) return pNode->pNext != nullptr ? pNode->pNext->p : nullptr;
  }
  return nullptr;
}

}  // namespace VQCAF

#endif
