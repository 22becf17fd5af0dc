/*
 * vqcafhash.h - CVQCAFHash<T>: a table of borrowed pointers keyed by an
 * address (any object's identity), over the utility library's VQXHash.
 *
 * The table never owns the pointed objects. Threads: no lock inside.
 */
#ifndef VQCAFHASH_H
#define VQCAFHASH_H

#include <cstdint>

#include "vqcafnoncopyable.h"
#include "vqx_hash.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

template <class T>
class CVQCAFHash : private CVQCAFNonCopyable {
 public:
  CVQCAFHash() : mhHash(VQXHashCreateWithKeyInternal(0, "CVQCAFHash", 0)) {}
  virtual ~CVQCAFHash() {
    if (mhHash != nullptr) VQXHashDestroy(mhHash);
  }

  /* 0x02000000; 0x82000014 when the table could not be made; 0x82000009 for
   * a null address or value; 0x82000005 when the address is present. */
  VQX_RESULT Insert(const void* pvKey, T* p) {
    if (mhHash == nullptr) return VQX_RESULT_NOT_INITIALIZED;
    if (pvKey == nullptr || p == nullptr) return VQX_RESULT_NULL_PARAM;
    return VQXHashInsert(mhHash, Key(pvKey), static_cast<u64>(reinterpret_cast<uintptr_t>(p)));
  }
  /* The value under the address, or null. */
  T* Find(const void* pvKey) const {
    u64 un64Value = 0;
    if (mhHash == nullptr || VQX_RESULT_FAILED(VQXHashFind(mhHash, Key(pvKey), &un64Value))) return nullptr;
    return reinterpret_cast<T*>(static_cast<uintptr_t>(un64Value));
  }
  /* 0x02000000, or 0x82000015 when absent. */
  VQX_RESULT Remove(const void* pvKey) {
    if (mhHash == nullptr) return VQX_RESULT_NOT_INITIALIZED;
    return VQXHashRemove(mhHash, Key(pvKey), nullptr);
  }

 private:
  static u64 Key(const void* pvKey) { return static_cast<u64>(reinterpret_cast<uintptr_t>(pvKey)); }
  HVQXHASH mhHash;
};

}  // namespace VQCAF

#endif
