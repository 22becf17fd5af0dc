/*
 * vqcafpipe.h - bounded first-in first-out queue between threads.
 *
 * A CVQCAFPipe holds at most its capacity of values (copies), in the order
 * they were posted. Any thread may post; any thread may wait for the oldest
 * value with a time-out. A full pipe refuses the post at once instead of
 * blocking the poster or overwriting an older value. Wake() lets a waiter
 * return without a value (used to stop the thread that reads the pipe): the
 * pipe stays woken, handing out what it still holds first, until ClearWake().
 * The storage is allocated once, when the capacity is set, so posting never
 * allocates. A pipe of capacity 0 is "no queue" and refuses every post.
 *
 * Thread-safe; the value type must be default-constructible and copyable.
 */
#ifndef VQCAFPIPE_H
#define VQCAFPIPE_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "vqcafdiag.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

/* Time-out of Wait that means "until a value or a wake-up comes". */
constexpr u32 VQCAF_PIPE_WAIT_FOREVER = 0xFFFFFFFFu;
/* What Wait answers when the pipe was woken and holds nothing. */
constexpr u32 VQCAF_PIPE_RESULT_AWAKENED = VQX_RESULT_NOT_READY;
/* Largest capacity accepted: keeps the one allocation reasonable. */
constexpr u32 VQCAF_PIPE_MAX_CAPACITY = 0x100000u;

template <typename T>
class CVQCAFPipe {
 public:
  /* A capacity above VQCAF_PIPE_MAX_CAPACITY is clamped to it (with a
   * warning line), so that the pipe is never left without a queue. */
  explicit CVQCAFPipe(u32 un32Capacity = 0) {
    if (un32Capacity > VQCAF_PIPE_MAX_CAPACITY) {
      VqcafDiagPrintf(VQCAF_DIAG_LEVEL_ERROR, "CVQCAFPipe: capacity %u clamped to %u\n", un32Capacity,
                      VQCAF_PIPE_MAX_CAPACITY);
      un32Capacity = VQCAF_PIPE_MAX_CAPACITY;
    }
    (void)SetCapacity(un32Capacity);
  }
  CVQCAFPipe(const CVQCAFPipe&) = delete;
  CVQCAFPipe& operator=(const CVQCAFPipe&) = delete;

  /*
   * Changes the capacity, keeping the queued values in order.
   * Returns 0x02000000; 0x8200000F when more values are queued than the new
   * capacity holds (nothing changes); 0x8200000A above
   * VQCAF_PIPE_MAX_CAPACITY; 0x82000012 when the storage cannot be allocated.
   */
  u32 SetCapacity(u32 un32Capacity) {
    if (un32Capacity > VQCAF_PIPE_MAX_CAPACITY) return VQX_RESULT_INVALID_PARAM;
    std::lock_guard<std::mutex> Lock(mMutex);
    if (mun32Count > un32Capacity) return VQX_RESULT_INVALID_STATE;
    std::vector<T> aNew;
    try {
      aNew.resize(un32Capacity);
    } catch (const std::bad_alloc&) {
      return VQX_RESULT_NOT_ENOUGH_MEMORY;
    }
    for (u32 i = 0; i < mun32Count; i++) aNew[i] = maValues[(mun32Head + i) % maValues.size()];
    maValues.swap(aNew);
    mun32Head = 0;
    return VQX_RESULT_OK;
  }

  u32 GetCapacity() const {
    std::lock_guard<std::mutex> Lock(mMutex);
    return static_cast<u32>(maValues.size());
  }

  /*
   * Appends a copy of Value. Returns 0x02000000; 0x82000008 when the pipe is
   * full; 0x8200000F when its capacity is 0 (no queue).
   */
  u32 Post(const T& Value) {
    {
      std::lock_guard<std::mutex> Lock(mMutex);
      if (maValues.empty()) return VQX_RESULT_INVALID_STATE;
      if (mun32Count == maValues.size()) return VQX_RESULT_OUT_OF_RESOURCE;
      maValues[(mun32Head + mun32Count) % maValues.size()] = Value;
      mun32Count++;
    }
    mCond.notify_one();
    return VQX_RESULT_OK;
  }

  /*
   * Takes the oldest value into *pValue, waiting at most un32TimeoutMs
   * milliseconds (0: do not wait; VQCAF_PIPE_WAIT_FOREVER: no limit).
   * Returns 0x02000000 with a value; 0x82000003 when the time ran out;
   * VQCAF_PIPE_RESULT_AWAKENED when the pipe is woken and empty;
   * 0x82000009 for a null pValue.
   */
  u32 Wait(T* pValue, u32 un32TimeoutMs) {
    if (pValue == nullptr) return VQX_RESULT_NULL_PARAM;
    std::unique_lock<std::mutex> Lock(mMutex);
    auto Ready = [this] { return mun32Count != 0 || mfAwakened; };
    if (un32TimeoutMs == VQCAF_PIPE_WAIT_FOREVER) {
      mCond.wait(Lock, Ready);
    } else if (!mCond.wait_for(Lock, std::chrono::milliseconds(un32TimeoutMs), Ready)) {
      return VQX_RESULT_TIMEOUT;
    }
    if (mun32Count == 0) return VQCAF_PIPE_RESULT_AWAKENED;
    *pValue = maValues[mun32Head];
    mun32Head = static_cast<u32>((mun32Head + 1) % maValues.size());
    mun32Count--;
    return VQX_RESULT_OK;
  }

  /* Number of values queued now. */
  u32 GetCount() const {
    std::lock_guard<std::mutex> Lock(mMutex);
    return mun32Count;
  }

  /* Makes every present and future Wait on an empty pipe return at once. */
  void Wake() {
    {
      std::lock_guard<std::mutex> Lock(mMutex);
      mfAwakened = true;
    }
    mCond.notify_all();
  }

  /* Ends the effect of Wake(). */
  void ClearWake() {
    std::lock_guard<std::mutex> Lock(mMutex);
    mfAwakened = false;
  }

  /* Drops every queued value. */
  void Clear() {
    std::lock_guard<std::mutex> Lock(mMutex);
    mun32Count = 0;
    mun32Head = 0;
  }

  /* Invariant: count within capacity, head inside the storage. */
  bool CheckInvariant() const {
    std::lock_guard<std::mutex> Lock(mMutex);
    if (mun32Count > maValues.size()) return false;
    return maValues.empty() ? (mun32Head == 0 && mun32Count == 0) : mun32Head < maValues.size();
  }

 private:
  mutable std::mutex mMutex;
  std::condition_variable mCond;
  std::vector<T> maValues;  // ring storage, size = capacity
  u32 mun32Head = 0;        // index of the oldest value
  u32 mun32Count = 0;       // values queued
  bool mfAwakened = false;
};

}  // namespace VQCAF

#endif
