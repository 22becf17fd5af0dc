/*
 * vqx_pool.cpp - pools of fixed-size records (plain and 64-bit handles).
 *
 * Model: one bookkeeping slot per record index. Free slots form a stack
 * (the most recently freed record is reused first, warm in cache); used slots
 * form a doubly linked list, newest at the head. In block mode record i lives
 * at block + i * stride, so a pointer maps back to its index by arithmetic,
 * which also proves it lies at a record boundary. In heap mode each record is
 * a separate heap block, made on its slot's first use and kept for the slot's
 * later uses until the pool is destroyed (an allocation and a release then
 * cost no heap call and no index update); an address index (hash table) maps
 * the records made to their slots, so that a pointer the pool never gave out,
 * or gave back already (its slot is free), is recognised without being
 * dereferenced. Keyed pools keep a
 * second hash table from key to slot.
 *
 * Both public handle kinds wrap the same core; a magic word tells them apart
 * so that a handle of one kind is refused by the calls of the other.
 */
#include "vqx_pool.h"
#include "vqx_pool_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <unistd.h>

#include "vqx_hash.h"
#include "vqx_hash_internal.h"

PFN_VQX_POOL_VPRINTF g_pFctVqxPoolOfBuffersvPrintf = nullptr;
void* g_pVqxPoolOfBuffersvPrintfContext = nullptr;
PFN_VQX_POOL_VPRINTF g_pFctVqxPoolOfBuffers64vPrintf = nullptr;
void* g_pVqxPoolOfBuffers64vPrintfContext = nullptr;

namespace vqx_pool_detail {

constexpr u32 VQX_POOL_NONE = 0xFFFFFFFFu;
constexpr u32 VQX_POOL_MAGIC = 0x504F4F4Cu;   /* "POOL" */
constexpr u32 VQX_POOL64_MAGIC = 0x504C3634u; /* "PL64" */
constexpr u32 VQX_POOL_DEAD_MAGIC = 0xDEAD504Cu;
constexpr u32 VQX_POOL_RECORD_ALIGN = 8;
constexpr u32 VQX_POOL_MIN_BUFFERS = 2;
constexpr u32 VQX_POOL_CACHE_LINE = 64;

/* Links of one record index, kept apart from keys and record addresses so
 * that the lists of a pool stay small in cache. */
struct VqxPoolSlot {
  u32 un32Prev; /* used list: towards the head (newer); VQX_POOL_FREE_MARK when free */
  u32 un32Next; /* used list: towards the tail (older); free stack: next free */
};
static_assert(sizeof(VqxPoolSlot) == 8, "slot layout");
constexpr u32 VQX_POOL_FREE_MARK = 0xFFFFFFFEu;
static_assert(VQX_POOL_MAX_BUFFERS < VQX_POOL_FREE_MARK, "indexes never reach the marks");

inline bool VqxPoolSlotUsed(const VqxPoolSlot& s) { return s.un32Prev != VQX_POOL_FREE_MARK; }

struct VqxPoolCore {
  u32 un32Magic;
  u32 un32NbBuffers;
  u32 un32BufferSize; /* rounded up to VQX_POOL_RECORD_ALIGN */
  u32 fHeapMode;
  u32 fIndexed;     /* keyed or heap mode: index tables to keep up */
  u32 un32SizeShift; /* log2 of the record size when it is a power of two, else 0 */
  PFN_VQX_POOL_GET_KEY pFctGetKey;
  void* pKeyContext;
  const char* pszCreateFile;
  u32 un32CreateLine;
  u8* pbyBlock;
  u64 un64BlockSize;
  u64 un64DivM; /* 2^64 / un32BufferSize rounded up, for blocks below 4 GiB */
  VqxPoolSlot* paSlots;
  u64* paun64Keys;   /* keyed pools: key of each used index */
  void** papRecords; /* heap mode: record of each index, once made */
  u32 un32FreeHead;
  u32 un32UsedHead;
  u32 un32UsedTail;
  u32 un32NbUsed;
  HVQXHASH hKeyIndex;  /* key -> slot, keyed pools only */
  HVQXHASH hAddrIndex; /* record address -> slot, heap mode only */
  /* Heap mode: index of the record First or Next handed out last. A walk
   * passes that record back to Next, which then finds its index without the
   * address hash; any other record goes through the hash. Callers serialise
   * every call on a pool, so the const walks may keep it up to date. */
  mutable u32 un32WalkHint;
  PFN_VQX_POOL_VPRINTF* ppFctPrint;
  void** ppPrintContext;
};

namespace {

void VqxPoolPrint(const VqxPoolCore* p, const char* pszFormat, ...) {
  va_list va;
  va_start(va, pszFormat);
  const PFN_VQX_POOL_VPRINTF pFct = *p->ppFctPrint;
  if (pFct != nullptr)
    pFct(*p->ppPrintContext, pszFormat, va);
  else
    std::vfprintf(stderr, pszFormat, va);
  va_end(va);
}

inline void* VqxPoolRecordOf(const VqxPoolCore* p, u32 un32Index) {
  if (p->fHeapMode) return p->papRecords[un32Index];
  return p->pbyBlock + static_cast<u64>(un32Index) * p->un32BufferSize;
}

/* Heap mode: the address index knows the live records. */
__attribute__((noinline)) u32 VqxPoolIndexOfHeap(const VqxPoolCore* p, const void* pRecord) {
  u64 un64Slot = 0;
  if (VQXHashFind(p->hAddrIndex, reinterpret_cast<uintptr_t>(pRecord), &un64Slot) != VQX_RESULT_OK)
    return VQX_POOL_NONE;
  return static_cast<u32>(un64Slot);
}

/* Block mode: index of a used record, or VQX_POOL_NONE for any other
 * pointer, by address arithmetic alone. */
inline u32 VqxPoolIndexOfBlock(const VqxPoolCore* p, const void* pRecord) {
  const auto uBase = reinterpret_cast<uintptr_t>(p->pbyBlock);
  const auto uRec = reinterpret_cast<uintptr_t>(pRecord);
  if (uRec < uBase) return VQX_POOL_NONE;
  const u64 un64Offset = uRec - uBase;
  if (un64Offset >= p->un64BlockSize) return VQX_POOL_NONE;
  u32 un32Index;
  if (p->un32SizeShift != 0) {
    if ((un64Offset & (p->un32BufferSize - 1)) != 0) return VQX_POOL_NONE;
    un32Index = static_cast<u32>(un64Offset >> p->un32SizeShift);
  } else if (p->un64DivM != 0) {
    /* Divisibility and quotient by multiplication (Lemire, 2019). */
    const u64 un64Low = p->un64DivM * un64Offset;
    if (un64Low > p->un64DivM - 1) return VQX_POOL_NONE;
    un32Index = static_cast<u32>((static_cast<unsigned __int128>(p->un64DivM) * un64Offset) >> 64);
  } else {
    if (un64Offset % p->un32BufferSize != 0) return VQX_POOL_NONE;
    un32Index = static_cast<u32>(un64Offset / p->un32BufferSize);
  }
  if (un32Index >= p->un32NbBuffers || !VqxPoolSlotUsed(p->paSlots[un32Index])) return VQX_POOL_NONE;
  return un32Index;
}

/* Index of a used record, or VQX_POOL_NONE for any other pointer. */
inline u32 VqxPoolIndexOf(const VqxPoolCore* p, const void* pRecord) {
  if (pRecord == nullptr) return VQX_POOL_NONE;
  if (__builtin_expect(p->fHeapMode, 0)) {
    const u32 un32Index = VqxPoolIndexOfHeap(p, pRecord);
    if (un32Index >= p->un32NbBuffers || !VqxPoolSlotUsed(p->paSlots[un32Index])) return VQX_POOL_NONE;
    return un32Index;
  }
  return VqxPoolIndexOfBlock(p, pRecord);
}

}  // namespace

/* Sets up a zeroed core; false (everything released) when refused. */
bool VqxPoolInit(VqxPoolCore* p, u32 un32Magic, u32 un32NbBuffers, u32 un32BufferSize, PFN_VQX_POOL_GET_KEY pFctGetKey,
                           void* pKeyContext, const char* pszFile, u32 un32Line, u32 fHeapMode) {
  if (un32NbBuffers == 0 || un32BufferSize == 0 || un32NbBuffers > VQX_POOL_MAX_BUFFERS || fHeapMode > 1)
    return false;
  if (un32BufferSize > 0xFFFFFFFFu - (VQX_POOL_RECORD_ALIGN - 1)) return false;
  if (un32NbBuffers < VQX_POOL_MIN_BUFFERS) un32NbBuffers = VQX_POOL_MIN_BUFFERS;
  const u32 un32Size = (un32BufferSize + VQX_POOL_RECORD_ALIGN - 1) & ~(VQX_POOL_RECORD_ALIGN - 1);

  p->un32NbBuffers = un32NbBuffers;
  p->un32BufferSize = un32Size;
  p->fHeapMode = fHeapMode;
  p->pFctGetKey = pFctGetKey;
  p->pKeyContext = pKeyContext;
  p->pszCreateFile = pszFile;
  p->un32CreateLine = un32Line;
  p->un32UsedHead = p->un32UsedTail = VQX_POOL_NONE;
  p->un32WalkHint = VQX_POOL_NONE;
  if (un32Magic == VQX_POOL64_MAGIC) {
    p->ppFctPrint = &g_pFctVqxPoolOfBuffers64vPrintf;
    p->ppPrintContext = &g_pVqxPoolOfBuffers64vPrintfContext;
  } else {
    p->ppFctPrint = &g_pFctVqxPoolOfBuffersvPrintf;
    p->ppPrintContext = &g_pVqxPoolOfBuffersvPrintfContext;
  }

  bool fOk = true;
  p->paSlots = static_cast<VqxPoolSlot*>(std::calloc(un32NbBuffers, sizeof(VqxPoolSlot)));
  fOk = p->paSlots != nullptr;
  if (fOk && pFctGetKey != nullptr) {
    p->paun64Keys = static_cast<u64*>(std::calloc(un32NbBuffers, sizeof(u64)));
    fOk = p->paun64Keys != nullptr;
  }
  if (fOk && fHeapMode) {
    p->papRecords = static_cast<void**>(std::calloc(un32NbBuffers, sizeof(void*)));
    fOk = p->papRecords != nullptr;
  }
  if (fOk && !fHeapMode) {
    p->un64BlockSize = static_cast<u64>(un32NbBuffers) * un32Size;
    /* Cache-line aligned, so that a record of 64 bytes or a divisor of it
     * never straddles two lines. */
    const u64 un64Rounded = (p->un64BlockSize + VQX_POOL_CACHE_LINE - 1) & ~static_cast<u64>(VQX_POOL_CACHE_LINE - 1);
    p->pbyBlock = static_cast<u8*>(std::aligned_alloc(VQX_POOL_CACHE_LINE, un64Rounded));
    fOk = p->pbyBlock != nullptr;
    if (p->un64BlockSize <= 0xFFFFFFFFull) p->un64DivM = ~0ull / un32Size + 1;
  }
  if (fOk && fHeapMode) {
    p->hAddrIndex = VQXHashCreateWithKeyInternal(un32NbBuffers, "pool records", 0);
    fOk = p->hAddrIndex != nullptr;
  }
  if (fOk && pFctGetKey != nullptr) {
    p->hKeyIndex = VQXHashCreateWithKeyInternal(un32NbBuffers, "pool keys", 0);
    fOk = p->hKeyIndex != nullptr;
  }
  if (!fOk) {
    if (p->hKeyIndex != nullptr) VQXHashDestroy(p->hKeyIndex);
    if (p->hAddrIndex != nullptr) VQXHashDestroy(p->hAddrIndex);
    std::free(p->pbyBlock);
    std::free(p->papRecords);
    std::free(p->paun64Keys);
    std::free(p->paSlots);
    return false;
  }
  for (u32 i = 0; i < un32NbBuffers; ++i) {
    p->paSlots[i].un32Next = (i + 1 < un32NbBuffers) ? i + 1 : VQX_POOL_NONE;
    p->paSlots[i].un32Prev = VQX_POOL_FREE_MARK;
  }
  p->un32FreeHead = 0;
  p->fIndexed = (p->hKeyIndex != nullptr || fHeapMode) ? 1 : 0;
  if ((un32Size & (un32Size - 1)) == 0) p->un32SizeShift = static_cast<u32>(__builtin_ctz(un32Size));
  p->un32Magic = un32Magic;
  return true;
}

namespace {

/* Zeroes a record (size a multiple of 8) with fixed-size stores, which the
 * compiler emits inline: a library call would cost more than the rest of an
 * allocation. */
inline void VqxPoolZero(void* pRecord, u32 un32Size) {
  u8* q = static_cast<u8*>(pRecord);
  for (; un32Size >= 32; un32Size -= 32, q += 32) std::memset(q, 0, 32);
  for (; un32Size >= 8; un32Size -= 8, q += 8) std::memset(q, 0, 8);
}

/* Puts a slot just taken from the free stack at the head of the used list. */
inline void VqxPoolLinkAtHead(VqxPoolCore* p, u32 un32Index) {
  VqxPoolSlot& s = p->paSlots[un32Index];
  p->un32FreeHead = s.un32Next;
  s.un32Prev = VQX_POOL_NONE;
  s.un32Next = p->un32UsedHead;
  if (p->un32UsedHead != VQX_POOL_NONE)
    p->paSlots[p->un32UsedHead].un32Prev = un32Index;
  else
    p->un32UsedTail = un32Index;
  p->un32UsedHead = un32Index;
  ++p->un32NbUsed;
}

/* Takes a used slot off the used list and pushes it on the free stack. */
inline void VqxPoolUnlink(VqxPoolCore* p, u32 un32Index) {
  VqxPoolSlot& s = p->paSlots[un32Index];
  if (s.un32Prev != VQX_POOL_NONE)
    p->paSlots[s.un32Prev].un32Next = s.un32Next;
  else
    p->un32UsedHead = s.un32Next;
  if (s.un32Next != VQX_POOL_NONE)
    p->paSlots[s.un32Next].un32Prev = s.un32Prev;
  else
    p->un32UsedTail = s.un32Prev;
  s.un32Prev = VQX_POOL_FREE_MARK;
  s.un32Next = p->un32FreeHead;
  p->un32FreeHead = un32Index;
  --p->un32NbUsed;
}

}  // namespace

/* Allocation in a keyed or heap-mode pool: index tables to keep up. The key goes in first: its
 * insertion is also the duplicate check (one probe of the key index, not two). */
__attribute__((noinline)) void* VqxPoolAllocIndexed(VqxPoolCore* p, u64 un64Key) {
  if (p->un32FreeHead == VQX_POOL_NONE) return nullptr;
  const u32 un32Index = p->un32FreeHead;
  if (p->hKeyIndex != nullptr) {
    const VQX_RESULT un32Result = VQXHashInsert(p->hKeyIndex, un64Key, un32Index);
    if (un32Result == VQX_RESULT_ACCESS_DENIED) {
      VqxPoolPrint(p,
                   "\nProcess 0x%X: VQXPool:Error: Caller trying to allocate two elements with the same hashing key "
                   "(0x%08X)!!!\n",
                   static_cast<unsigned>(getpid()), static_cast<unsigned>(static_cast<u32>(un64Key)));
    }
    if (un32Result != VQX_RESULT_OK) return nullptr;
  }
  void* pRecord;
  if (p->fHeapMode && p->papRecords[un32Index] == nullptr) {
    pRecord = std::calloc(1, p->un32BufferSize);
    if (pRecord == nullptr ||
        VQXHashInsert(p->hAddrIndex, reinterpret_cast<uintptr_t>(pRecord), un32Index) != VQX_RESULT_OK) {
      std::free(pRecord);
      if (p->hKeyIndex != nullptr) VQXHashRemove(p->hKeyIndex, un64Key, nullptr);
      return nullptr;
    }
    p->papRecords[un32Index] = pRecord;
  } else {
    pRecord = VqxPoolRecordOf(p, un32Index);
    VqxPoolZero(pRecord, p->un32BufferSize);
  }
  if (p->paun64Keys != nullptr) p->paun64Keys[un32Index] = un64Key;
  VqxPoolLinkAtHead(p, un32Index);
  return pRecord;
}

inline void* VqxPoolAlloc(VqxPoolCore* p, u64 un64Key) {
  if (__builtin_expect(p->fIndexed, 0)) return VqxPoolAllocIndexed(p, un64Key);
  const u32 un32Index = p->un32FreeHead;
  if (un32Index == VQX_POOL_NONE) return nullptr;
  void* pRecord = p->pbyBlock + static_cast<u64>(un32Index) * p->un32BufferSize;
  VqxPoolZero(pRecord, p->un32BufferSize);
  VqxPoolLinkAtHead(p, un32Index);
  return pRecord;
}

/* Drops a used record's key from the key index (a heap record stays with its slot). */
__attribute__((noinline)) void VqxPoolUnindex(VqxPoolCore* p, u32 un32Index) {
  if (p->hKeyIndex != nullptr) VQXHashRemove(p->hKeyIndex, p->paun64Keys[un32Index], nullptr);
}

/* Release in a keyed or heap-mode pool: index tables to keep up. */
__attribute__((noinline)) VQX_RESULT VqxPoolFreeIndexed(VqxPoolCore* p, void* pRecord) {
  const u32 un32Index = VqxPoolIndexOf(p, pRecord);
  if (un32Index == VQX_POOL_NONE) return VQX_RESULT_INVALID_PARAM;
  VqxPoolUnindex(p, un32Index);
  VqxPoolUnlink(p, un32Index);
  return VQX_RESULT_OK;
}

/* The block-pool path stays free of calls, so that it needs no stack frame. */
inline VQX_RESULT VqxPoolFree(VqxPoolCore* p, void* pRecord) {
  if (pRecord == nullptr) return VQX_RESULT_NULL_PARAM;
  if (__builtin_expect(p->fIndexed, 0)) return VqxPoolFreeIndexed(p, pRecord);
  const u32 un32Index = VqxPoolIndexOfBlock(p, pRecord);
  if (un32Index == VQX_POOL_NONE) return VQX_RESULT_INVALID_PARAM;
  VqxPoolUnlink(p, un32Index);
  return VQX_RESULT_OK;
}

/* Release of a used record whose index the caller knows: the index names the record, so that
 * no address lookup is needed; a mismatch is refused like any foreign pointer. */
VQX_RESULT VqxPoolFreeAt(VqxPoolCore* p, u32 un32Index, void* pRecord) {
  if (pRecord == nullptr) return VQX_RESULT_NULL_PARAM;
  if (un32Index >= p->un32NbBuffers || !VqxPoolSlotUsed(p->paSlots[un32Index]) ||
      VqxPoolRecordOf(p, un32Index) != pRecord) {
    return VQX_RESULT_INVALID_PARAM;
  }
  if (p->fIndexed) VqxPoolUnindex(p, un32Index);
  VqxPoolUnlink(p, un32Index);
  return VQX_RESULT_OK;
}

void* VqxPoolFind(const VqxPoolCore* p, u64 un64Key) {
  if (p->hKeyIndex == nullptr) return nullptr;
  u64 un64Slot = 0;
  if (VQXHashFind(p->hKeyIndex, un64Key, &un64Slot) != VQX_RESULT_OK) return nullptr;
  return VqxPoolRecordOf(p, static_cast<u32>(un64Slot));
}

void* VqxPoolFirst(const VqxPoolCore* p) {
  p->un32WalkHint = p->un32UsedHead;
  return p->un32UsedHead == VQX_POOL_NONE ? nullptr : VqxPoolRecordOf(p, p->un32UsedHead);
}

void* VqxPoolLast(const VqxPoolCore* p) {
  return p->un32UsedTail == VQX_POOL_NONE ? nullptr : VqxPoolRecordOf(p, p->un32UsedTail);
}

void* VqxPoolNext(const VqxPoolCore* p, const void* pRecord) {
  /* A used slot whose record is pRecord is pRecord's own (live records have distinct addresses). */
  const u32 un32Hint = p->un32WalkHint;
  const bool fHinted = p->fHeapMode && pRecord != nullptr && un32Hint < p->un32NbBuffers &&
                       VqxPoolSlotUsed(p->paSlots[un32Hint]) && p->papRecords[un32Hint] == pRecord;
  const u32 un32Index = fHinted ? un32Hint : VqxPoolIndexOf(p, pRecord);
  if (un32Index == VQX_POOL_NONE) return nullptr;
  const u32 un32Next = p->paSlots[un32Index].un32Next;
  p->un32WalkHint = un32Next;
  return un32Next == VQX_POOL_NONE ? nullptr : VqxPoolRecordOf(p, un32Next);
}

VQX_RESULT VqxPoolGetUsage(const VqxPoolCore* p, u32* pun32NbFree, u32* pun32NbUsed) {
  if (pun32NbFree != nullptr) *pun32NbFree = p->un32NbBuffers - p->un32NbUsed;
  if (pun32NbUsed != nullptr) *pun32NbUsed = p->un32NbUsed;
  return VQX_RESULT_OK;
}

VQX_RESULT VqxPoolGetBufferIndex(const VqxPoolCore* p, const void* pRecord, u32* pun32Index) {
  if (pRecord == nullptr) {
    *pun32Index = VQX_POOL_NONE;
    return VQX_RESULT_NULL_PARAM;
  }
  *pun32Index = VqxPoolIndexOf(p, pRecord);
  return *pun32Index == VQX_POOL_NONE ? VQX_RESULT_INVALID_PARAM : VQX_RESULT_OK;
}

void* VqxPoolFindByIndex(const VqxPoolCore* p, u32 un32Index) {
  if (un32Index >= p->un32NbBuffers || !VqxPoolSlotUsed(p->paSlots[un32Index])) return nullptr;
  return VqxPoolRecordOf(p, un32Index);
}

/* Releases everything the core holds (not the core itself). */
void VqxPoolRelease(VqxPoolCore* p) {
  p->un32Magic = VQX_POOL_DEAD_MAGIC;
  if (p->fHeapMode)
    for (u32 i = 0; i < p->un32NbBuffers; ++i)
      std::free(p->papRecords[i]);
  if (p->hKeyIndex != nullptr) VQXHashDestroy(p->hKeyIndex);
  if (p->hAddrIndex != nullptr) VQXHashDestroy(p->hAddrIndex);
  std::free(p->pbyBlock);
  std::free(p->papRecords);
  std::free(p->paun64Keys);
  std::free(p->paSlots);
}

VQX_RESULT VqxPoolCheck(const VqxPoolCore* p) {
  u32 un32Count = 0;
  u32 un32Prev = VQX_POOL_NONE;
  for (u32 i = p->un32UsedHead; i != VQX_POOL_NONE; i = p->paSlots[i].un32Next) {
    if (i >= p->un32NbBuffers || p->paSlots[i].un32Prev != un32Prev) return VQX_RESULT_INVALID_STATE;
    if (++un32Count > p->un32NbUsed) return VQX_RESULT_INVALID_STATE;
    if (p->hKeyIndex != nullptr) {
      u64 un64Slot = 0;
      if (VQXHashFind(p->hKeyIndex, p->paun64Keys[i], &un64Slot) != VQX_RESULT_OK || un64Slot != i)
        return VQX_RESULT_INVALID_STATE;
    }
    if (VqxPoolIndexOf(p, VqxPoolRecordOf(p, i)) != i) return VQX_RESULT_INVALID_STATE;
    un32Prev = i;
  }
  if (un32Count != p->un32NbUsed || un32Prev != p->un32UsedTail) return VQX_RESULT_INVALID_STATE;
  u32 un32Free = 0;
  for (u32 i = p->un32FreeHead; i != VQX_POOL_NONE; i = p->paSlots[i].un32Next) {
    if (i >= p->un32NbBuffers || VqxPoolSlotUsed(p->paSlots[i])) return VQX_RESULT_INVALID_STATE;
    if (++un32Free > p->un32NbBuffers) return VQX_RESULT_INVALID_STATE;
  }
  if (un32Free + un32Count != p->un32NbBuffers) return VQX_RESULT_INVALID_STATE;
  if (p->hKeyIndex != nullptr && VqxHashCheck(p->hKeyIndex) != VQX_RESULT_OK) return VQX_RESULT_INVALID_STATE;
  if (p->hAddrIndex != nullptr && VqxHashCheck(p->hAddrIndex) != VQX_RESULT_OK) return VQX_RESULT_INVALID_STATE;
  return VQX_RESULT_OK;
}

}  // namespace vqx_pool_detail

struct VQX_POOL_OF_BUFFERS {
  vqx_pool_detail::VqxPoolCore core;
};
struct VQX_POOL_OF_BUFFERS64 {
  vqx_pool_detail::VqxPoolCore core;
};

using namespace vqx_pool_detail;

namespace {

/* The handle's core when the handle is a live pool of the expected kind. */
template <typename THandle>
inline VqxPoolCore* VqxPoolCoreOf(THandle* h, u32 un32Magic) {
  return (h != nullptr && h->core.un32Magic == un32Magic) ? &h->core : nullptr;
}

template <typename THandle>
THandle* VqxPoolNew(u32 un32Magic, u32 un32NbBuffers, u32 un32BufferSize, PFN_VQX_POOL_GET_KEY pFctGetKey,
                    void* pKeyContext, const char* pszFile, u32 un32Line, u32 fHeapMode) {
  auto* h = new (std::nothrow) THandle{};
  if (h == nullptr) return nullptr;
  if (!VqxPoolInit(&h->core, un32Magic, un32NbBuffers, un32BufferSize, pFctGetKey, pKeyContext, pszFile, un32Line,
                   fHeapMode)) {
    delete h;
    return nullptr;
  }
  return h;
}
inline VQX_RESULT VqxPoolBadHandle(const void* h) {
  return h == nullptr ? VQX_RESULT_NULL_PARAM : VQX_RESULT_INVALID_HANDLE;
}

}  // namespace

/* The two public families: identical bodies over their own handle kind. */
#define VQX_POOL_DEFINE_API(PREFIX, HANDLE, MAGIC)                                                        \
  void* PREFIX##AllocPrivate(HANDLE hPool, u64 un64Key, const char*, u32) {                                \
    VqxPoolCore* p = VqxPoolCoreOf(hPool, MAGIC);                                                          \
    return p == nullptr ? nullptr : VqxPoolAlloc(p, un64Key);                                              \
  }                                                                                                        \
  VQX_RESULT PREFIX##FreePrivate(HANDLE hPool, void* pRecord, const char*, u32) {                          \
    VqxPoolCore* p = VqxPoolCoreOf(hPool, MAGIC);                                                          \
    return p == nullptr ? VqxPoolBadHandle(hPool) : VqxPoolFree(p, pRecord);                              \
  }                                                                                                        \
  VQX_RESULT PREFIX##FreeAtIndexPrivate(HANDLE hPool, u32 un32Index, void* pRecord, const char*, u32) {      \
    VqxPoolCore* p = VqxPoolCoreOf(hPool, MAGIC);                                                          \
    return p == nullptr ? VqxPoolBadHandle(hPool) : VqxPoolFreeAt(p, un32Index, pRecord);                 \
  }                                                                                                        \
  void* PREFIX##Find(HANDLE hPool, u64 un64Key) {                                                          \
    VqxPoolCore* p = VqxPoolCoreOf(hPool, MAGIC);                                                          \
    return p == nullptr ? nullptr : VqxPoolFind(p, un64Key);                                               \
  }                                                                                                        \
  void* PREFIX##First(HANDLE hPool) {                                                                      \
    VqxPoolCore* p = VqxPoolCoreOf(hPool, MAGIC);                                                          \
    return p == nullptr ? nullptr : VqxPoolFirst(p);                                                       \
  }                                                                                                        \
  void* PREFIX##Next(HANDLE hPool, const void* pRecord) {                                                  \
    VqxPoolCore* p = VqxPoolCoreOf(hPool, MAGIC);                                                          \
    return p == nullptr ? nullptr : VqxPoolNext(p, pRecord);                                               \
  }                                                                                                        \
  void* PREFIX##Last(HANDLE hPool) {                                                                       \
    VqxPoolCore* p = VqxPoolCoreOf(hPool, MAGIC);                                                          \
    return p == nullptr ? nullptr : VqxPoolLast(p);                                                        \
  }                                                                                                        \
  VQX_RESULT PREFIX##GetUsage(HANDLE hPool, u32* pun32NbFree, u32* pun32NbUsed) {                          \
    VqxPoolCore* p = VqxPoolCoreOf(hPool, MAGIC);                                                          \
    if (p == nullptr) {                                                                                    \
      if (pun32NbFree != nullptr) *pun32NbFree = 0;                                                        \
      if (pun32NbUsed != nullptr) *pun32NbUsed = 0;                                                        \
      return VqxPoolBadHandle(hPool);                                                                      \
    }                                                                                                      \
    return VqxPoolGetUsage(p, pun32NbFree, pun32NbUsed);                                                   \
  }                                                                                                        \
  VQX_RESULT PREFIX##GetBufferIndex(HANDLE hPool, const void* pRecord, u32* pun32Index) {                  \
    if (pun32Index == nullptr) return VQX_RESULT_NULL_PARAM;                                               \
    VqxPoolCore* p = VqxPoolCoreOf(hPool, MAGIC);                                                          \
    if (p == nullptr) {                                                                                    \
      *pun32Index = 0xFFFFFFFFu;                                                                           \
      return VqxPoolBadHandle(hPool);                                                                      \
    }                                                                                                      \
    return VqxPoolGetBufferIndex(p, pRecord, pun32Index);                                                  \
  }                                                                                                        \
  void* PREFIX##FindBufferByIndex(HANDLE hPool, u32 un32Index) {                                           \
    VqxPoolCore* p = VqxPoolCoreOf(hPool, MAGIC);                                                          \
    return p == nullptr ? nullptr : VqxPoolFindByIndex(p, un32Index);                                      \
  }                                                                                                        \
  VQX_RESULT PREFIX##Destroy(HANDLE hPool) {                                                               \
    VqxPoolCore* p = VqxPoolCoreOf(hPool, MAGIC);                                                          \
    if (p == nullptr) return VqxPoolBadHandle(hPool);                                                      \
    VqxPoolRelease(p);                                                                                     \
    delete hPool;                                                                                          \
    return VQX_RESULT_OK;                                                                                  \
  }

VQX_POOL_DEFINE_API(VQXPoolOfBuffers, HVQXPOOLOFBUFFERS, VQX_POOL_MAGIC)
VQX_POOL_DEFINE_API(VQXPoolOfBuffers64, HVQXPOOLOFBUFFERS64, VQX_POOL64_MAGIC)

HVQXPOOLOFBUFFERS VQXPoolOfBuffersCreatePrivate(u32 un32NbBuffers, u32 un32BufferSize,
                                                PFN_VQX_POOL_GET_KEY pFctGetKey, void* pKeyContext,
                                                u32 un32Reserved, u32 un32KeyType, const char* pszFile,
                                                u32 un32Line, u32 fHeapMode) {
  if (un32Reserved != 0 || un32KeyType != VQX_POOL_KEY_TYPE_INTEGER) return nullptr;
  return VqxPoolNew<VQX_POOL_OF_BUFFERS>(VQX_POOL_MAGIC, un32NbBuffers, un32BufferSize, pFctGetKey, pKeyContext,
                                         pszFile, un32Line, fHeapMode);
}

HVQXPOOLOFBUFFERS64 VQXPoolOfBuffers64CreatePrivate(u32 un32NbBuffers, u32 un32BufferSize,
                                                    PFN_VQX_POOL_GET_KEY pFctGetKey, void* pKeyContext,
                                                    const char* pszFile, u32 un32Line, u32 fHeapMode) {
  return VqxPoolNew<VQX_POOL_OF_BUFFERS64>(VQX_POOL64_MAGIC, un32NbBuffers, un32BufferSize, pFctGetKey, pKeyContext,
                                           pszFile, un32Line, fHeapMode);
}

VQX_RESULT VqxPoolOfBuffersCheck(HVQXPOOLOFBUFFERS hPool) {
  VqxPoolCore* p = VqxPoolCoreOf(hPool, VQX_POOL_MAGIC);
  return p == nullptr ? VqxPoolBadHandle(hPool) : VqxPoolCheck(p);
}

VQX_RESULT VqxPoolOfBuffers64Check(HVQXPOOLOFBUFFERS64 hPool) {
  VqxPoolCore* p = VqxPoolCoreOf(hPool, VQX_POOL64_MAGIC);
  return p == nullptr ? VqxPoolBadHandle(hPool) : VqxPoolCheck(p);
}
