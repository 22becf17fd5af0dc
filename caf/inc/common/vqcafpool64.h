/*
 * vqcafpool64.h - CVQCAFPool64<T>: a bounded pool of payloads under unsigned
 * 64-bit keys, over the utility library's 64-bit record pool.
 *
 * Each record of the underlying pool holds one CVQCAFPool64ElementUInt64<T>:
 * the key followed by the payload. mhPool is public so that users can look a
 * key up directly (VQXPoolOfBuffers64Find, then PayloadOfRecord).
 *
 * Built with (debug info, maximum count, dynamic flag: 1 takes each record
 * from the heap when its slot is first used, kept for the slot's later uses).
 * When the storage cannot be made the failure line "CVQCAFPool64::CVQCAFPool64: Failed to create Pool (82000012)
 * file:line" is printed and mhPool stays null: every Alloc then gives null
 * and every Free 0x82000014.
 *
 * Walk: Next gives the payloads in the underlying pool's order (newest
 * first), then null (the walk then starts again); Free of the element the
 * walk would return next steps past it first, so freeing during a walk is
 * safe. The destructor frees every element still present, printing
 * "~CVQCAFPool64: error: Element still present in pool!!!\n" for each.
 *
 * Threads: no lock inside; the owner serialises every call.
 */
#ifndef VQCAFPOOL64_H
#define VQCAFPOOL64_H

#include <cstdint>
#include <new>

#include "vqcafdebuginfo.h"
#include "vqcafdiag.h"
#include "vqcafexception.h"
#include "vqcafhashkey.h"
#include "vqcafnoncopyable.h"
#include "vqx_pool.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

/* One pool element: the key, then the payload (built empty). */
template <class T>
class CVQCAFPool64ElementUInt64 {
 public:
  explicit CVQCAFPool64ElementUInt64(u64 un64Key) : mKey(un64Key), mPayload() {}
  virtual ~CVQCAFPool64ElementUInt64() = default;

  u64 GetKey() const { return mKey.Get(); }
  T* GetPayload() { return &mPayload; }

  CVQCAFHashKeyUInt64 mKey;
  T mPayload;
};

template <class T>
class CVQCAFPool64 : private CVQCAFNonCopyable {
 public:
  typedef CVQCAFPool64ElementUInt64<T> Element;

  CVQCAFPool64(const CVQCAFDebugInfo& DebugInfo, u32 un32MaxCount, u32 fDynamic);
  virtual ~CVQCAFPool64();

  /* A new empty payload under the key; null when there is no storage, the
   * key is present already or the pool is full. */
  T* Alloc(const CVQCAFDebugInfo& DebugInfo, u64 un64Key);
  /* 0x82000014 without storage, 0x82000009 for null, 0x8200000A for a
   * pointer that is not a payload of this pool in use; else destroys the
   * element and gives its record back (0x02000000). */
  VQX_RESULT Free(const CVQCAFDebugInfo& DebugInfo, T* pPayload);
  /* The payload under the key, or null. */
  T* Find(u64 un64Key) { return mhPool == nullptr ? nullptr : PayloadOfRecord(VQXPoolOfBuffers64Find(mhPool, un64Key)); }

  T* Next();
  void ResetNext() {
    mfWalking = false;
    mpWalkNext = nullptr;
  }

  /* The payload of a record of the underlying pool (null for null). */
  static T* PayloadOfRecord(void* pRecord) {
    return pRecord == nullptr ? nullptr : static_cast<Element*>(pRecord)->GetPayload();
  }
  u32 GetCount() const;

  HVQXPOOLOFBUFFERS64 mhPool;

 private:
  static u64 GetRecordKey(void*, const void* pRecord) { return static_cast<const Element*>(pRecord)->GetKey(); }
  void* RecordOfPayload(T* pPayload) const;

  CVQCAFDebugInfo mDebugInfo;
  std::ptrdiff_t mnPayloadOffset = -1; /* learnt from the first element made */
  bool mfWalking = false;
  void* mpWalkNext = nullptr;
};

template <class T>
CVQCAFPool64<T>::CVQCAFPool64(const CVQCAFDebugInfo& DebugInfo, u32 un32MaxCount, u32 fDynamic)
    : mhPool(nullptr), mDebugInfo(DebugInfo) {
  static_assert(alignof(Element) <= 8, "records of the 64-bit pool are 8-byte aligned");
  mhPool = VQXPoolOfBuffers64CreatePrivate(un32MaxCount, static_cast<u32>(sizeof(Element)), &GetRecordKey, nullptr,
                                           DebugInfo.GetFile(), static_cast<u32>(DebugInfo.GetLine()),
                                           fDynamic != 0 ? 1u : 0u);
  if (mhPool == nullptr) {
    VqcafReportFailure("CVQCAFPool64::CVQCAFPool64", "Failed to create Pool", VQX_RESULT_NOT_ENOUGH_MEMORY,
                       DebugInfo.GetFile(), DebugInfo.GetLine());
  }
}

template <class T>
CVQCAFPool64<T>::~CVQCAFPool64() {
  if (mhPool == nullptr) return;
  void* pRecord;
  while ((pRecord = VQXPoolOfBuffers64First(mhPool)) != nullptr) {
    VqcafDiagPrintf(VQCAF_DIAG_LEVEL_ERROR, "~CVQCAFPool64: error: Element still present in pool!!!\n");
    if (VQX_RESULT_FAILED(Free(mDebugInfo, PayloadOfRecord(pRecord)))) break;
  }
  VQXPoolOfBuffers64Destroy(mhPool);
}

template <class T>
T* CVQCAFPool64<T>::Alloc(const CVQCAFDebugInfo& DebugInfo, u64 un64Key) {
  if (mhPool == nullptr) return nullptr;
  void* pRecord =
      VQXPoolOfBuffers64AllocPrivate(mhPool, un64Key, DebugInfo.GetFile(), static_cast<u32>(DebugInfo.GetLine()));
  if (pRecord == nullptr) return nullptr;
  Element* pElement;
  try {
    pElement = ::new (pRecord) Element(un64Key);
  } catch (...) {
    VQXPoolOfBuffers64FreePrivate(mhPool, pRecord, DebugInfo.GetFile(), static_cast<u32>(DebugInfo.GetLine()));
    throw;
  }
  T* pPayload = pElement->GetPayload();
  mnPayloadOffset = reinterpret_cast<char*>(pPayload) - static_cast<char*>(pRecord);
  return pPayload;
}

template <class T>
void* CVQCAFPool64<T>::RecordOfPayload(T* pPayload) const {
  if (mnPayloadOffset < 0) return nullptr;
  return reinterpret_cast<char*>(pPayload) - mnPayloadOffset;
}

template <class T>
VQX_RESULT CVQCAFPool64<T>::Free(const CVQCAFDebugInfo& DebugInfo, T* pPayload) {
  if (mhPool == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  if (pPayload == nullptr) return VQX_RESULT_NULL_PARAM;
  void* pRecord = RecordOfPayload(pPayload);
  u32 un32Index = 0;
  /* Asks the pool whether this is one of its records in use before anything
   * of the element is touched. */
  VQX_RESULT un32Result =
      pRecord == nullptr ? VQX_RESULT_INVALID_PARAM : VQXPoolOfBuffers64GetBufferIndex(mhPool, pRecord, &un32Index);
  if (VQX_RESULT_FAILED(un32Result)) return un32Result;
  if (mfWalking && mpWalkNext == pRecord) mpWalkNext = VQXPoolOfBuffers64Next(mhPool, pRecord);
  static_cast<Element*>(pRecord)->~Element();
  // The slot stays in use through the destructor, so the index found above still names it.
  return VQXPoolOfBuffers64FreeAtIndexPrivate(mhPool, un32Index, pRecord, DebugInfo.GetFile(),
                                              static_cast<u32>(DebugInfo.GetLine()));
}

template <class T>
T* CVQCAFPool64<T>::Next() {
  if (mhPool == nullptr) return nullptr;
  void* pCurrent = mfWalking ? mpWalkNext : VQXPoolOfBuffers64First(mhPool);
  if (pCurrent == nullptr) {
    ResetNext();
    return nullptr;
  }
  mfWalking = true;
  mpWalkNext = VQXPoolOfBuffers64Next(mhPool, pCurrent);
  return PayloadOfRecord(pCurrent);
}

template <class T>
u32 CVQCAFPool64<T>::GetCount() const {
  u32 un32Used = 0;
  if (mhPool != nullptr) VQXPoolOfBuffers64GetUsage(mhPool, nullptr, &un32Used);
  return un32Used;
}

}  // namespace VQCAF

#endif
