/*
 * hostlib_buf.cpp - the buffer layer under every host message.
 *
 * A buffer is a 16-byte prefix followed by the caller's bytes. Buffers come
 * from size classes of pre-allocated buffers (stacks filled lazily from the
 * heap) when a class fits and has one free, else from the heap (through a
 * bounded cache of freed heap blocks, VqxBufHeapCache). Which
 * buffers are live, and in which state, is kept in a table beside them
 * (VqxLiveBufferTable): a release of a pointer that is not live is refused
 * without touching its memory, so a second release of the same message is
 * caught even after its memory went back to the heap. The prefix still
 * carries the state word and is compared with the table to catch headers
 * overwritten by the application.
 *
 * All of it runs under the library's buffer mutex (BufMutex); the class table
 * is replaced under the same mutex when the library parameters change.
 */
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "msg/hostlib_msg_internal.h"

namespace {

/*
 * Holds the buffer mutex. Its holds are short (one table operation, or one
 * batch of frees) while the receive thread and a reader take it in turns for
 * every message: a few attempts first spare the loser a sleep in the kernel
 * and the winner a wake-up call.
 */
class VqxBufLock {
 public:
  explicit VqxBufLock(std::mutex& rMutex) : mrMutex(rMutex) {
    for (u32 i = 0; i < kTries; i++) {
      if (mrMutex.try_lock()) return;
      for (u32 k = 0; k < kPauses; k++) VqxCpuRelax();
    }
    mrMutex.lock();
  }
  ~VqxBufLock() { mrMutex.unlock(); }
  VqxBufLock(const VqxBufLock&) = delete;
  VqxBufLock& operator=(const VqxBufLock&) = delete;

 private:
  static constexpr u32 kTries = 100;
  static constexpr u32 kPauses = 16;
  std::mutex& mrMutex;
};

constexpr u64 VqxRoundUp8(u64 un64Size) { return (un64Size + 7u) & ~u64{7u}; }
/* Block size for a request: prefix included, multiple of 8 (64-bit: never wraps). */
constexpr u64 VqxBufRoundedSize(u64 un64Size) { return VqxRoundUp8(un64Size + VQX_BUF_PREFIX_SIZE); }

inline VQX_BUF_PREFIX* VqxBufPrefix(const void* pBuf) {
  return reinterpret_cast<VQX_BUF_PREFIX*>(reinterpret_cast<u8*>(const_cast<void*>(pBuf)) - VQX_BUF_PREFIX_SIZE);
}
inline void* VqxBufFromBlock(void* pBlock) { return reinterpret_cast<u8*>(pBlock) + VQX_BUF_PREFIX_SIZE; }

struct VQX_DEFAULT_CLASSES {
  u32 un32Count;
  _VQX_PREALLOC_BUF_POOL aClasses[6];
};

/* Default class tables, by receive fifo size. */
constexpr VQX_DEFAULT_CLASSES s_LargeFifoClasses = {6, {{384, 8192}, {512, 4096}, {1024, 1024}, {4096, 256}, {8192, 16}, {20000, 64}}};
constexpr VQX_DEFAULT_CLASSES s_SmallFifoClasses = {5, {{384, 256}, {512, 64}, {1024, 64}, {4096, 16}, {8192, 8}, {0, 0}}};
constexpr VQX_DEFAULT_CLASSES s_MediumFifoClasses = {6, {{384, 2048}, {512, 512}, {1024, 256}, {4096, 128}, {8192, 8}, {20000, 48}}};
constexpr u32 VQX_FIFO_SIZE_LARGE = 512000u;
constexpr u32 VQX_FIFO_SIZE_SMALL_BELOW = 128000u;

}  // namespace

/*
 * Live buffers: open addressing on the buffer address, linear probing,
 * deletion by backward shift (no tombstones), doubled at half load.
 */
class VqxLiveBufferTable {
 public:
  struct Entry {
    void* pBuf;          /* null: empty slot */
    u32 un32State;       /* what the prefix state word must read */
    u32 fReleasePending; /* released by its holder, waiting for the batch free */
    u32 un32ClassIndex;
    u64 un64BlockSize;   /* bytes of the block, prefix included */
    u64 un64Requested;   /* bytes asked for */
    const char* pszFile;
    u32 un32Line;
  };

  ~VqxLiveBufferTable() { free(mpaSlots); }

  bool Init() { return Resize(1024); }

  Entry* Find(const void* pBuf) {
    for (u64 i = Slot(pBuf);; i = (i + 1) & mun64Mask) {
      if (mpaSlots[i].pBuf == pBuf) return &mpaSlots[i];
      if (mpaSlots[i].pBuf == nullptr) return nullptr;
    }
  }

  Entry* Insert(void* pBuf) {
    if ((mun64Count + 1) * 2 > mun64Mask + 1 && !Resize((mun64Mask + 1) * 2)) return nullptr;
    u64 i = Slot(pBuf);
    while (mpaSlots[i].pBuf != nullptr) i = (i + 1) & mun64Mask;
    mpaSlots[i] = Entry{};
    mpaSlots[i].pBuf = pBuf;
    mun64Count++;
    return &mpaSlots[i];
  }

  void Remove(Entry* pEntry) {
    u64 i = static_cast<u64>(pEntry - mpaSlots);
    mpaSlots[i].pBuf = nullptr;
    mun64Count--;
    /* Backward shift: pull later entries of the cluster into the hole. */
    for (u64 j = (i + 1) & mun64Mask; mpaSlots[j].pBuf != nullptr; j = (j + 1) & mun64Mask) {
      const u64 home = Slot(mpaSlots[j].pBuf);
      const bool fMovable = (j > i) ? (home <= i || home > j) : (home <= i && home > j);
      if (fMovable) {
        mpaSlots[i] = mpaSlots[j];
        mpaSlots[j].pBuf = nullptr;
        i = j;
      }
    }
  }

  u64 Count() const { return mun64Count; }

  /* Fetches a buffer's home slot into the cache ahead of its release, without
   * the lock: the slot array may be replaced meanwhile, and a prefetch of a
   * stale address reads nothing. */
  void Prefetch(const void* pBuf) const {
    const Entry* paSlots = mpaPublished.load(std::memory_order_relaxed);
    if (paSlots != nullptr) __builtin_prefetch(&paSlots[Slot(pBuf, mun64PublishedMask.load(std::memory_order_relaxed))], 1);
  }

  /* Calls fn(entry) for every live buffer, then forgets them all. */
  template <typename Fn>
  void DrainAll(Fn fn) {
    for (u64 i = 0; mpaSlots != nullptr && i <= mun64Mask; i++) {
      if (mpaSlots[i].pBuf == nullptr) continue;
      fn(mpaSlots[i]);
      mpaSlots[i].pBuf = nullptr;
    }
    mun64Count = 0;
  }

 private:
  /*
   * Neighbouring buffers (64 bytes apart or more) get neighbouring slots, so
   * a batch allocated or released together walks the table in order; each
   * megabyte of addresses starts at a slot of its own, so that regions a
   * power of two apart do not pile onto the same slots.
   */
  static u64 Slot(const void* pBuf, u64 un64Mask) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(pBuf);
    return ((address >> 6) + ((address >> 20) * 0x9E3779B97F4A7C15ull >> 40)) & un64Mask;
  }
  u64 Slot(const void* pBuf) const { return Slot(pBuf, mun64Mask); }

  bool Resize(u64 un64Slots) {
    Entry* paNew = static_cast<Entry*>(calloc(un64Slots, sizeof(Entry)));
    if (paNew == nullptr) return false;
    Entry* paOld = mpaSlots;
    const u64 un64OldSlots = paOld != nullptr ? mun64Mask + 1 : 0;
    mpaSlots = paNew;
    mun64Mask = un64Slots - 1;
    mpaPublished.store(paNew, std::memory_order_relaxed);
    mun64PublishedMask.store(mun64Mask, std::memory_order_relaxed);
    mun64Count = 0;
    for (u64 i = 0; i < un64OldSlots; i++) {
      if (paOld[i].pBuf != nullptr) *Insert(paOld[i].pBuf) = paOld[i];
    }
    free(paOld);
    return true;
  }

  Entry* mpaSlots = nullptr;
  u64 mun64Mask = 0;
  u64 mun64Count = 0;
  /* The slot array and its mask for Prefetch, which runs without the lock. */
  std::atomic<const Entry*> mpaPublished{nullptr};
  std::atomic<u64> mun64PublishedMask{0};
};

/*
 * Heap blocks of the fallback (no class fits or has one free), kept when freed
 * for the next fallback allocation of the same size bin rather than given back
 * to malloc: in a burst the board-reading thread allocates and another thread
 * frees, and malloc's path for blocks freed by another thread is slow and grows
 * the heap. Fallback blocks up to kMaxBlock bytes are allocated at their bin's
 * size (a multiple of kBin) so that any block of a bin serves any request of
 * it. At most kMaxBytes are kept in all; past that a freed block goes back to
 * the heap. Counters, states and the live table are as for a malloc'd block:
 * only where the memory comes from differs. Under the buffer mutex.
 */
class VqxBufHeapCache {
 public:
  static constexpr u64 kBin = 64;
  static constexpr u64 kMaxBlock = 4096;
  static constexpr u64 kMaxBytes = u64{1} << 20;

  ~VqxBufHeapCache() { FreeAll(); }

  /* Bytes really allocated for a fallback block of un64Size bytes. */
  static u64 Capacity(u64 un64Size) { return un64Size <= kMaxBlock ? (un64Size + kBin - 1) & ~(kBin - 1) : un64Size; }

  /* A block of Capacity(un64Size) bytes: a kept one when its bin has one, else from the heap. */
  void* Take(u64 un64Size) {
    const u64 un64Capacity = Capacity(un64Size);
    if (un64Size > kMaxBlock) return malloc(un64Capacity);
    Node*& rpHead = mapBins[Bin(un64Capacity)];
    if (rpHead == nullptr) return malloc(un64Capacity);
    Node* pNode = rpHead;
    VqxUnpoison(pNode, un64Capacity);
    rpHead = pNode->pNext;
    mun64Bytes -= un64Capacity;
    mun64Blocks--;
    return pNode;
  }

  /* Keeps a block Take gave for un64Size bytes, or frees it when its size or the bound forbids. */
  void Give(void* pBlock, u64 un64Size) {
    const u64 un64Capacity = Capacity(un64Size);
    if (un64Size > kMaxBlock || mun64Bytes + un64Capacity > kMaxBytes) {
      free(pBlock);
      return;
    }
    /* The link sits after the state word, which keeps reading "released". */
    Node* pNode = static_cast<Node*>(pBlock);
    Node*& rpHead = mapBins[Bin(un64Capacity)];
    pNode->pNext = rpHead;
    rpHead = pNode;
    mun64Bytes += un64Capacity;
    mun64Blocks++;
    VqxPoison(pNode, un64Capacity);
  }

  void FreeAll() {
    for (Node*& rpHead : mapBins) {
      while (rpHead != nullptr) {
        Node* pNode = rpHead;
        VqxUnpoison(pNode, sizeof(Node));
        rpHead = pNode->pNext;
        free(pNode);
      }
    }
    mun64Bytes = 0;
    mun64Blocks = 0;
  }

  u64 Bytes() const { return mun64Bytes; }
  u64 Blocks() const { return mun64Blocks; }

 private:
  struct Node {
    u64 un64Prefix; /* state word and class index of the prefix, left as they were */
    Node* pNext;
  };
  static_assert(sizeof(Node) <= VQX_BUF_PREFIX_SIZE, "the link fits in the prefix");

  static u64 Bin(u64 un64Capacity) { return un64Capacity / kBin - 1; }

  /* A kept block's bytes past the link are nobody's: the address sanitizer reports any use. */
  static void VqxPoison(Node* pNode, u64 un64Capacity) {
#if defined(__SANITIZE_ADDRESS__)
    ASAN_POISON_MEMORY_REGION(&pNode->pNext + 1, un64Capacity - sizeof(Node));
#else
    (void)pNode;
    (void)un64Capacity;
#endif
  }
  static void VqxUnpoison(Node* pNode, u64 un64Capacity) {
#if defined(__SANITIZE_ADDRESS__)
    ASAN_UNPOISON_MEMORY_REGION(pNode, un64Capacity);
#else
    (void)pNode;
    (void)un64Capacity;
#endif
  }

  Node* mapBins[kMaxBlock / kBin] = {};
  u64 mun64Bytes = 0;
  u64 mun64Blocks = 0;
};

/* ----------------------------------------------------------- allocation */

void* VqxBufMallocInternal(VQX_LIB_HANDLE hLib, u64 un64Size, u32 fExact, const char* pszFile, u32 un32Line) {
  VQX_LIB* pLib = VqxLib(hLib);
  if (pLib->un32BufRefusals != 0) {
    pLib->un32BufRefusals--;
    return nullptr;
  }
  const u64 un64Rounded = VqxBufRoundedSize(un64Size);
  VQX_BUF_CLASS_TABLE* pTable = pLib->pBufClasses;
  const u32 un32NbClasses = pTable != nullptr ? pTable->un32NbClasses : 0;

  void* pBlock = nullptr;
  u32 un32ClassIndex = VQX_BUF_CLASS_HEAP;
  u64 un64BlockSize = un64Rounded;
  VQX_BUF_CLASS* pFitting = nullptr;
  for (u32 i = 0; i < un32NbClasses; i++) {
    VQX_BUF_CLASS* pClass = &pTable->aClasses[i];
    if (fExact ? pClass->un32BufSize != un64Rounded : pClass->un32BufSize < un64Rounded) continue;
    pFitting = pClass;
    if (pClass->un32NbFree != 0) {
      void*& rSlot = pClass->papFree[pClass->un32NbFree - 1];
      if (rSlot == nullptr) {
        rSlot = malloc(pClass->un32BufSize);
        if (rSlot == nullptr) {
          VQX_LOG_V(hLib, 0, "VqxBufMalloc: malloc failed, out of memory!\n");
          return nullptr;
        }
      }
      pBlock = rSlot;
      rSlot = nullptr;
      pClass->un32NbFree--;
      pClass->un32NbInUse++;
      pClass->un64Taken++;
      pLib->BufCounters.un64Hit++;
      un32ClassIndex = i;
      un64BlockSize = pClass->un32BufSize;
    }
    break;
  }
  if (pBlock == nullptr) {
    if (fExact) return nullptr;
    if (pFitting != nullptr) {
      pFitting->un64MissAlloc++;
    } else {
      pLib->BufCounters.un64BigMissAlloc++;
    }
    pLib->BufCounters.un64MissAlloc++;
    pBlock = pLib->pHeapCache->Take(un64Rounded);
    if (pBlock == nullptr) return nullptr;
  }

  void* pBuf = VqxBufFromBlock(pBlock);
  VqxLiveBufferTable::Entry* pEntry = pLib->pLiveBuffers->Insert(pBuf);
  if (pEntry == nullptr) {
    /* No room to track it: give it back rather than hand out an untracked buffer. */
    if (un32ClassIndex != VQX_BUF_CLASS_HEAP) {
      VQX_BUF_CLASS* pClass = &pTable->aClasses[un32ClassIndex];
      pClass->papFree[pClass->un32NbFree++] = pBlock;
      pClass->un32NbInUse--;
    } else {
      pLib->pHeapCache->Give(pBlock, un64Rounded);
    }
    return nullptr;
  }
  pEntry->un32State = VQX_BUF_STATE_ALLOCATED;
  pEntry->un32ClassIndex = un32ClassIndex;
  pEntry->un64BlockSize = un64BlockSize;
  pEntry->un64Requested = un64Size;
  pEntry->pszFile = pszFile;
  pEntry->un32Line = un32Line;

  VQX_BUF_PREFIX* pPrefix = static_cast<VQX_BUF_PREFIX*>(pBlock);
  pPrefix->un32State = VQX_BUF_STATE_ALLOCATED;
  pPrefix->un32ClassIndex = un32ClassIndex;
  pPrefix->un32RequestedSize = static_cast<u32>(un64Size);
  pPrefix->un32Spare = 0;
  return pBuf;
}

void* VqxBufMalloc(VQX_LIB_HANDLE hLib, u64 un64Size, u32 fExact, const char* pszFile, u32 un32Line) {
  VqxBufLock guard(VqxLib(hLib)->BufMutex);
  return VqxBufMallocInternal(hLib, un64Size, fExact, pszFile, un32Line);
}

void VqxBufMallocMultiple(VQX_LIB_HANDLE hLib, u32 un32Count, const u32* paun32Sizes, void** papBuf,
                          const char* pszFile, u32 un32Line) {
  /* The lock is given up between chunks: a reader releasing its messages
   * waits for one chunk, not for a whole read of the transport. */
  constexpr u32 kChunk = 32;
  for (u32 i = 0; i < un32Count;) {
    VqxBufLock guard(VqxLib(hLib)->BufMutex);
    for (const u32 un32End = std::min(un32Count, i + kChunk); i < un32End; i++)
      papBuf[i] = VqxBufMallocInternal(hLib, paun32Sizes[i], 0, pszFile, un32Line);
  }
}

/* ------------------------------------------------------------- release */

namespace {

/* Gives a block back to its class when that class still has its size and room, else to the heap. */
void VqxBufReturnBlock(VQX_LIB* pLib, const VqxLiveBufferTable::Entry& entry) {
  void* pBlock = VqxBufPrefix(entry.pBuf);
  VQX_BUF_CLASS_TABLE* pTable = pLib->pBufClasses;
  if (entry.un32ClassIndex != VQX_BUF_CLASS_HEAP && pTable != nullptr && entry.un32ClassIndex < pTable->un32NbClasses) {
    VQX_BUF_CLASS* pClass = &pTable->aClasses[entry.un32ClassIndex];
    if (pClass->un32BufSize == entry.un64BlockSize) {
      if (pClass->un32NbInUse != 0) pClass->un32NbInUse--;
      if (pClass->un32NbFree < pClass->un32NbConfigured) {
        pClass->papFree[pClass->un32NbFree++] = pBlock;
        pClass->un64Returned++;
        pLib->BufCounters.un64HitRelease++;
        return;
      }
    }
  }
  /* A heap buffer (or one its class cannot take back): count it on the first class that could have held it. */
  bool fCounted = false;
  for (u32 i = 0; pTable != nullptr && i < pTable->un32NbClasses && !fCounted; i++) {
    if (pTable->aClasses[i].un32BufSize >= entry.un64BlockSize) {
      pTable->aClasses[i].un64MissFree++;
      fCounted = true;
    }
  }
  if (!fCounted) pLib->BufCounters.un64BigMissFree++;
  pLib->BufCounters.un64MissFree++;
  if (entry.un32ClassIndex == VQX_BUF_CLASS_HEAP) {
    pLib->pHeapCache->Give(pBlock, entry.un64BlockSize);
  } else {
    free(pBlock); /* a class block's size need not be a bin's */
  }
}

VQX_RESULT VqxBufLookup(VQX_LIB* pLib, const void* pBuf, VqxLiveBufferTable::Entry** ppEntry) {
  *ppEntry = pBuf != nullptr ? pLib->pLiveBuffers->Find(pBuf) : nullptr;
  if (*ppEntry == nullptr) return VQX_RESULT_API_INVALID_MSG_HANDLE;
  const VQX_BUF_PREFIX* pPrefix = VqxBufPrefix(pBuf);
  if (pPrefix->un32State != (*ppEntry)->un32State || pPrefix->un32ClassIndex != (*ppEntry)->un32ClassIndex) {
    return VQX_RESULT_API_FAIL;
  }
  return VQX_RESULT_OK;
}

}  // namespace

namespace {

/* Frees a live buffer once looked up (result: that of its lookup). Caller holds BufMutex. */
VQX_RESULT VqxBufFreeFound(VQX_LIB_HANDLE hLib, void* pBuf, VqxLiveBufferTable::Entry* pEntry, VQX_RESULT result) {
  VQX_LIB* pLib = VqxLib(hLib);
  const u32 un32PrefixState = VqxBufPrefix(pBuf)->un32State;
  if (VQX_RESULT_FAILED(result) ||
      (un32PrefixState != VQX_BUF_STATE_ALLOCATED && un32PrefixState != VQX_BUF_STATE_ALLOCATED2 &&
       un32PrefixState != VQX_BUF_STATE_SENT)) {
    VQX_LOG_V(hLib, 0, "%s: Corrupted buffer %p (Buffer header overwritten)\n", "VqxBufFree", pBuf);
    return VQX_RESULT_API_FAIL;
  }
  VqxBufPrefix(pBuf)->un32State = VQX_BUF_STATE_RELEASED;
  const VqxLiveBufferTable::Entry entry = *pEntry;
  pLib->pLiveBuffers->Remove(pEntry);
  VqxBufReturnBlock(pLib, entry);
  return VQX_RESULT_OK;
}

}  // namespace

VQX_RESULT VqxBufFreeInternal(VQX_LIB_HANDLE hLib, void* pBuf) {
  VqxLiveBufferTable::Entry* pEntry;
  const VQX_RESULT result = VqxBufLookup(VqxLib(hLib), pBuf, &pEntry);
  if (result == VQX_RESULT_API_INVALID_MSG_HANDLE) {
    VQX_LOG_V(hLib, 0, "%s: Buffer %p is not allocated (released twice?)\n", "VqxBufFree", pBuf);
    return result;
  }
  return VqxBufFreeFound(hLib, pBuf, pEntry, result);
}

VQX_RESULT VqxBufFree(VQX_LIB_HANDLE hLib, void* pBuf) {
  VqxBufLock guard(VqxLib(hLib)->BufMutex);
  return VqxBufFreeInternal(hLib, pBuf);
}

VQX_RESULT VqxBufFreeMultiple(VQX_LIB_HANDLE hLib, u32 un32Count, void* const* papBuf) {
  VQX_RESULT result = VQX_RESULT_OK;
  VqxBufLock guard(VqxLib(hLib)->BufMutex);
  for (u32 i = 0; i < un32Count; i++) result = VqxBufFreeInternal(hLib, papBuf[i]);
  return result;
}

/*
 * Application release: the buffer must be live and held by the application
 * (allocated or received, or sent when fAllowSent); it is then marked as
 * waiting for the batch free, so that a second release is refused.
 *
 * A release by the application outside the library lock (fAllowSent clear,
 * the lock not held) is freed at once in the same hold of the buffer mutex:
 * no code of the library can still be reading it, and leaving it in the list
 * would have the next thread to leave the lock (mostly the transport's
 * receive thread, in the middle of a read) look it up again and free it.
 * Library code and holders of the lock still release into the list, so that
 * what they released stays readable until their leave.
 */
VQX_RESULT VqxBufReleaseDeferred(VQX_LIB_HANDLE hLib, void* pBuf, u32 fAllowSent) {
  VQX_LIB* pLib = VqxLib(hLib);
  const bool fFreeNow = !fAllowSent && VqxHostLibLockHeld(hLib) == 0;
  VqxBufLock guard(pLib->BufMutex);
  VqxLiveBufferTable::Entry* pEntry;
  const VQX_RESULT result = VqxBufLookup(pLib, pBuf, &pEntry);
  if (result == VQX_RESULT_API_INVALID_MSG_HANDLE) return result;
  if (pEntry->fReleasePending != 0) return VQX_RESULT_API_INVALID_MSG_HANDLE;
  if (pEntry->un32State == VQX_BUF_STATE_SENT && !fAllowSent) return VQX_RESULT_API_INVALID_MSG_HANDLE;
  if (VQX_RESULT_FAILED(result)) return result;
  if (fFreeNow) return VqxBufFreeFound(hLib, pBuf, pEntry, result);
  if (pLib->un32NbMsgsToRelease >= VQX_LIB_MSGS_TO_RELEASE_MAX) return VQX_RESULT_OUT_OF_RESOURCE;
  pEntry->fReleasePending = 1;
  pLib->apMsgsToRelease[pLib->un32NbMsgsToRelease++] = pBuf;
  pLib->un32ReleasesPending.store(1, std::memory_order_relaxed);
  return VQX_RESULT_OK;
}

void VqxBufPrefetchRelease(VQX_LIB_HANDLE hLib, const void* pBuf) { VqxLib(hLib)->pLiveBuffers->Prefetch(pBuf); }

void VqxBufFlushDeferred(VQX_LIB_HANDLE hLib) {
  /* From the end of the list, a chunk per hold of the mutex: a reader
   * releasing the messages of its batch meanwhile waits for one chunk, not
   * for the whole list. The list never holds more than its maximum, so the
   * rounds are bounded; what is released during the last is left for the
   * next flush. */
  constexpr u32 kChunk = 32;
  VQX_LIB* pLib = VqxLib(hLib);
  for (u32 un32Round = 0; un32Round <= VQX_LIB_MSGS_TO_RELEASE_MAX / kChunk; un32Round++) {
    VqxBufLock guard(pLib->BufMutex);
    const u32 un32End = pLib->un32NbMsgsToRelease;
    const u32 un32Start = un32End > kChunk ? un32End - kChunk : 0;
    for (u32 i = un32Start; i < un32End; i++) VqxBufFreeInternal(hLib, pLib->apMsgsToRelease[i]);
    pLib->un32NbMsgsToRelease = un32Start;
    if (un32Start == 0) {
      pLib->un32ReleasesPending.store(0, std::memory_order_relaxed);
      return;
    }
  }
}

void VqxHostLibFlushReleases(VQX_LIB_HANDLE hLib) { VqxBufFlushDeferred(hLib); }

/* ------------------------------------------------------------ states */

VQX_RESULT VqxBufMarkReceived(VQX_LIB_HANDLE hLib, void* pBuf) {
  VQX_LIB* pLib = VqxLib(hLib);
  VqxBufLock guard(pLib->BufMutex);
  VqxLiveBufferTable::Entry* pEntry;
  const VQX_RESULT result = VqxBufLookup(pLib, pBuf, &pEntry);
  if (VQX_RESULT_FAILED(result) || pEntry->fReleasePending != 0) {
    VQX_LOG_V(hLib, 0, "%s: Corrupted buffer %p (Buffer header overwritten)\n", "VqxBufMarkReceived", pBuf);
    return VQX_RESULT_API_FAIL;
  }
  pEntry->un32State = VQX_BUF_STATE_ALLOCATED;
  VqxBufPrefix(pBuf)->un32State = VQX_BUF_STATE_ALLOCATED;
  return VQX_RESULT_OK;
}

VQX_RESULT VqxBufMarkSent(VQX_LIB_HANDLE hLib, void* pBuf) {
  VQX_LIB* pLib = VqxLib(hLib);
  VqxBufLock guard(pLib->BufMutex);
  VqxLiveBufferTable::Entry* pEntry;
  const VQX_RESULT result = VqxBufLookup(pLib, pBuf, &pEntry);
  if (result == VQX_RESULT_OK && pEntry->un32State == VQX_BUF_STATE_SENT) {
    VQX_LOG_V(hLib, 0, "%s: Trying to free already sent buffer %p\n", "VqxBufMarkSent", pBuf);
    return VQX_RESULT_API_FAIL;
  }
  if (VQX_RESULT_FAILED(result) || pEntry->fReleasePending != 0 ||
      (pEntry->un32State != VQX_BUF_STATE_ALLOCATED && pEntry->un32State != VQX_BUF_STATE_ALLOCATED2)) {
    VQX_LOG_V(hLib, 0, "%s: Corrupted buffer %p (Buffer header overwritten)\n", "VqxBufMarkSent", pBuf);
    return VQX_RESULT_API_FAIL;
  }
  pEntry->un32State = VQX_BUF_STATE_SENT;
  VqxBufPrefix(pBuf)->un32State = VQX_BUF_STATE_SENT;
  return VQX_RESULT_OK;
}

VQX_RESULT VqxBufCheck(VQX_LIB_HANDLE hLib, const void* pBuf, u64* pun64Usable) {
  VQX_LIB* pLib = VqxLib(hLib);
  VqxBufLock guard(pLib->BufMutex);
  VqxLiveBufferTable::Entry* pEntry;
  const VQX_RESULT result = VqxBufLookup(pLib, pBuf, &pEntry);
  /* Released by its holder and only waiting for the batch free: no longer a valid handle. */
  if (result == VQX_RESULT_OK && pEntry->fReleasePending != 0) return VQX_RESULT_API_INVALID_MSG_HANDLE;
  if (result == VQX_RESULT_OK && pun64Usable != nullptr) *pun64Usable = pEntry->un64Requested;
  return result;
}

u64 VqxBufMarkReceivedUsableSize(VQX_LIB_HANDLE hLib, void* pBuf) {
  VQX_LIB* pLib = VqxLib(hLib);
  VqxBufLock guard(pLib->BufMutex);
  VqxLiveBufferTable::Entry* pEntry;
  const VQX_RESULT result = VqxBufLookup(pLib, pBuf, &pEntry);
  if (result == VQX_RESULT_API_INVALID_MSG_HANDLE) return 0;
  if (VQX_RESULT_FAILED(result) || pEntry->fReleasePending != 0) {
    VQX_LOG_V(hLib, 0, "%s: Corrupted buffer %p (Buffer header overwritten)\n", "VqxBufMarkReceived", pBuf);
  } else {
    pEntry->un32State = VQX_BUF_STATE_ALLOCATED;
    VqxBufPrefix(pBuf)->un32State = VQX_BUF_STATE_ALLOCATED;
  }
  return pEntry->un64Requested;
}

u64 VqxBufUsableSize(VQX_LIB_HANDLE hLib, const void* pBuf) {
  VQX_LIB* pLib = VqxLib(hLib);
  VqxBufLock guard(pLib->BufMutex);
  const VqxLiveBufferTable::Entry* pEntry = pBuf != nullptr ? pLib->pLiveBuffers->Find(pBuf) : nullptr;
  return pEntry != nullptr ? pEntry->un64Requested : 0;
}

VQX_RESULT VqxBufTest(VQX_LIB_HANDLE, const void*) { return VQX_RESULT_OK; }

void VqxBufChangeFile(VQX_LIB_HANDLE hLib, void* pBuf, const char* pszFile, u32 un32Line) {
  VQX_LIB* pLib = VqxLib(hLib);
  VqxBufLock guard(pLib->BufMutex);
  VqxLiveBufferTable::Entry* pEntry = pBuf != nullptr ? pLib->pLiveBuffers->Find(pBuf) : nullptr;
  if (pEntry != nullptr) {
    pEntry->pszFile = pszFile;
    pEntry->un32Line = un32Line;
  }
}

bool VqxBufGetFileLine(VQX_LIB_HANDLE hLib, const void* pBuf, const char** ppszFile, u32* pun32Line) {
  VQX_LIB* pLib = VqxLib(hLib);
  VqxBufLock guard(pLib->BufMutex);
  const VqxLiveBufferTable::Entry* pEntry = pBuf != nullptr ? pLib->pLiveBuffers->Find(pBuf) : nullptr;
  if (pEntry == nullptr) return false;
  *ppszFile = pEntry->pszFile;
  *pun32Line = pEntry->un32Line;
  return true;
}

void VqxBufRefuseNextAllocations(VQX_LIB_HANDLE hLib, u32 un32Count) {
  VQX_LIB* pLib = VqxLib(hLib);
  VqxBufLock guard(pLib->BufMutex);
  pLib->un32BufRefusals = un32Count;
}

u32 VqxBufLiveCount(VQX_LIB_HANDLE hLib) {
  VQX_LIB* pLib = VqxLib(hLib);
  VqxBufLock guard(pLib->BufMutex);
  return static_cast<u32>(pLib->pLiveBuffers->Count());
}

u64 VqxBufHeapCacheBytes(VQX_LIB_HANDLE hLib, u64* pun64Blocks) {
  VQX_LIB* pLib = VqxLib(hLib);
  VqxBufLock guard(pLib->BufMutex);
  if (pun64Blocks != nullptr) *pun64Blocks = pLib->pHeapCache->Blocks();
  return pLib->pHeapCache->Bytes();
}

u64 VqxBufHeapCacheBound() { return VqxBufHeapCache::kMaxBytes; }

VQX_RESULT VqxBufLayerInit(VQX_LIB_HANDLE hLib) {
  VQX_LIB* pLib = VqxLib(hLib);
  pLib->pLiveBuffers = new (std::nothrow) VqxLiveBufferTable;
  pLib->pHeapCache = new (std::nothrow) VqxBufHeapCache;
  if (pLib->pLiveBuffers == nullptr || !pLib->pLiveBuffers->Init() || pLib->pHeapCache == nullptr) {
    return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  }
  return VQX_RESULT_OK;
}

void VqxBufLayerDestroy(VQX_LIB_HANDLE hLib) {
  VQX_LIB* pLib = VqxLib(hLib);
  VqxBufLock guard(pLib->BufMutex);
  if (pLib->pLiveBuffers != nullptr) {
    pLib->pLiveBuffers->DrainAll([pLib](const VqxLiveBufferTable::Entry& entry) { VqxBufReturnBlock(pLib, entry); });
    delete pLib->pLiveBuffers;
    pLib->pLiveBuffers = nullptr;
  }
  delete pLib->pHeapCache;
  pLib->pHeapCache = nullptr;
  VQXUpdatePreFreePoolsList(hLib, pLib->pBufClasses);
  pLib->pBufClasses = nullptr;
}

/* --------------------------------------------------------- class tables */

u32 VqxBufDefaultClasses(u32 un32ReceiveFifoSize, _VQX_PREALLOC_BUF_POOL* paOut) {
  const VQX_DEFAULT_CLASSES& defaults = un32ReceiveFifoSize == VQX_FIFO_SIZE_LARGE          ? s_LargeFifoClasses
                                        : un32ReceiveFifoSize < VQX_FIFO_SIZE_SMALL_BELOW ? s_SmallFifoClasses
                                                                                          : s_MediumFifoClasses;
  for (u32 i = 0; i < defaults.un32Count; i++) paOut[i] = defaults.aClasses[i];
  return defaults.un32Count;
}

void VQXUpdatePreFreePoolsList(VQX_LIB_HANDLE, VQX_BUF_CLASS_TABLE* pTable) {
  if (pTable == nullptr) return;
  for (u32 i = 0; i < pTable->un32NbClasses; i++) {
    VQX_BUF_CLASS* pClass = &pTable->aClasses[i];
    for (u32 j = 0; j < pClass->un32NbFree; j++) free(pClass->papFree[j]);
    free(pClass->papFree);
  }
  free(pTable);
}

VQX_RESULT VQXUpdatePreAllocPoolsList(VQX_LIB_HANDLE hLib) {
  VQX_LIB* pLib = VqxLib(hLib);
  VqxBufLock guard(pLib->BufMutex);
  _VQX_LIB_PARAMS* pParams = &pLib->Params;
  if (pParams->un32NbPreAllocBufferPools == 0) {
    pParams->un32NbPreAllocBufferPools = VqxBufDefaultClasses(pParams->un32ReceiveFifoSize, pParams->aPreAllocBufferPools);
  }
  const u32 un32NbClasses = pParams->un32NbPreAllocBufferPools;
  if (un32NbClasses > VQX_BUF_MAX_CLASSES) return VQX_RESULT_API_INVALID_NB_PREALLOC_BUF_POOLS;

  VQX_BUF_CLASS_TABLE* pOld = pLib->pBufClasses;
  if (pOld != nullptr && pOld->un32NbClasses == un32NbClasses) {
    bool fSame = true;
    for (u32 i = 0; i < un32NbClasses && fSame; i++) {
      fSame = pOld->aClasses[i].un32BufSize == VqxRoundUp8(pParams->aPreAllocBufferPools[i].un32BufSize) &&
              pOld->aClasses[i].un32NbConfigured == pParams->aPreAllocBufferPools[i].un32NbBuf;
    }
    if (fSame) return VQX_RESULT_OK;
  }

  VQX_BUF_CLASS_TABLE* pNew = static_cast<VQX_BUF_CLASS_TABLE*>(calloc(1, sizeof(VQX_BUF_CLASS_TABLE)));
  if (pNew == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  for (u32 i = 0; i < un32NbClasses; i++) {
    VQX_BUF_CLASS* pClass = &pNew->aClasses[i];
    /* Class sizes count the prefix and are multiples of 8. */
    pClass->un32BufSize = static_cast<u32>(VqxRoundUp8(pParams->aPreAllocBufferPools[i].un32BufSize));
    pClass->un32NbConfigured = pParams->aPreAllocBufferPools[i].un32NbBuf;
    pClass->papFree = static_cast<void**>(calloc(pClass->un32NbConfigured + 1u, sizeof(void*)));
    if (pClass->papFree == nullptr) {
      pNew->un32NbClasses = i;
      VQXUpdatePreFreePoolsList(hLib, pNew);
      return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
    }
    pClass->un32NbFree = pClass->un32NbConfigured;
    /* Carry over the free buffers of a class of the same size, on top of the stack. */
    for (u32 k = 0; pOld != nullptr && k < pOld->un32NbClasses; k++) {
      VQX_BUF_CLASS* pOldClass = &pOld->aClasses[k];
      if (pOldClass->un32BufSize != pClass->un32BufSize) continue;
      u32 un32Top = pClass->un32NbFree;
      for (u32 j = 0; j < pOldClass->un32NbFree && un32Top > 0; j++) {
        if (pOldClass->papFree[j] == nullptr) continue;
        pClass->papFree[--un32Top] = pOldClass->papFree[j];
        pOldClass->papFree[j] = nullptr;
      }
      pClass->un32NbInUse = pOldClass->un32NbInUse;
      break;
    }
  }
  pNew->un32NbClasses = un32NbClasses;
  pLib->pBufClasses = pNew;
  VQXUpdatePreFreePoolsList(hLib, pOld);
  return VQX_RESULT_OK;
}
