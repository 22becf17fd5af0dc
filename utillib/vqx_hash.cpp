/*
 * vqx_hash.cpp - open-addressing hash table of u64 keys to u64 values.
 *
 * Model: one array of {key, value} slots whose length is a prime of
 * s_aun32VqxHashPrimes. A key's home slot comes from its mixed hash scaled
 * onto the slot count (see VqxHashHomeOf); collisions probe the next slots in
 * order. The value all ones marks a slot that holds no entry: with
 * key 0 it is empty (a probe stops there), with key 1 it is a removed entry
 * (a probe goes on). Removing an entry just before an empty slot empties it
 * and the removed entries before it, so that tables without heavy churn keep
 * few markers. The table is rebuilt on a larger prime (or the same one, to
 * drop the markers) when entries and markers pass half of the slots.
 */
#include "vqx_hash.h"
#include "vqx_hash_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>

namespace {

constexpr u32 VQX_HASH_MAGIC = 0x48415348u; /* "HASH" */
constexpr u32 VQX_HASH_DEAD_MAGIC = 0xDEAD4853u;
constexpr u64 VQX_HASH_SLOT_KEY_EMPTY = 0;
constexpr u64 VQX_HASH_SLOT_KEY_REMOVED = 1;
/* Rebuild when (entries + markers) exceed half of the slots; rebuild so that
 * entries fill at most a third of the new table. Linear probing stays short
 * (most lookups end at the home slot), which is what keeps lookups in a large
 * table fast: every further probe is a likely branch misprediction. */
constexpr u64 VQX_HASH_LOAD_NUM = 1;
constexpr u64 VQX_HASH_LOAD_DEN = 2;
constexpr u64 VQX_HASH_REBUILD_FILL_DEN = 3;
/* A size hint above this does not pre-allocate more (the table grows). */
constexpr u32 VQX_HASH_MAX_INITIAL_HINT = 0x10000u;
constexpr size_t VQX_HASH_NAME_SIZE = 32;
/* Slot arrays from this size on are aligned to, and asked to be backed by,
 * 2 MiB pages: random probes into a large table otherwise miss the TLB on
 * nearly every lookup. */
constexpr size_t VQX_HASH_HUGE_PAGE = 2u * 1024u * 1024u;

/* Roughly doubling primes, each far from a power of two. */
constexpr u32 s_aun32VqxHashPrimes[] = {
    17u,       37u,       79u,        163u,       337u,       691u,       1423u,
    2917u,     5981u,     12263u,     25147u,     51551u,     105683u,    216653u,
    444151u,   910519u,   1866569u,   3826481u,   7844303u,   16080833u,  32965727u,
    67579769u, 138538529u, 284003999u, 582208201u, 1193526853u, 2446730051u,
};
constexpr u32 VQX_HASH_NB_PRIMES = sizeof(s_aun32VqxHashPrimes) / sizeof(s_aun32VqxHashPrimes[0]);

constexpr bool VqxIsPrime(u32 n) {
  if (n < 2) return false;
  for (u64 d = 2; d * d <= n; ++d)
    if (n % d == 0) return false;
  return true;
}
constexpr bool VqxPrimesTableIsSound() {
  for (u32 i = 0; i < VQX_HASH_NB_PRIMES; ++i) {
    if (!VqxIsPrime(s_aun32VqxHashPrimes[i])) return false;
    if (i > 0 && s_aun32VqxHashPrimes[i] <= s_aun32VqxHashPrimes[i - 1]) return false;
  }
  return true;
}
static_assert(VqxPrimesTableIsSound(), "the hash size table must hold increasing primes");

struct VqxHashSlot {
  u64 un64Key;
  u64 un64Value;
};
static_assert(sizeof(VqxHashSlot) == 16, "slot layout");

/* Home slot: the key times a 64-bit odd constant (Fibonacci hashing) keeps
 * its well-mixed high 32 bits, which are then scaled onto [0, slots) by a
 * multiply and shift (Lemire's fast range reduction) instead of a division. */
inline u32 VqxHashHomeOf(u64 un64Key, u32 un32NbSlots) {
  const u64 un64Mixed = (un64Key ^ (un64Key >> 29)) * 0x9E3779B97F4A7C15ull;
  return static_cast<u32>(((un64Mixed >> 32) * un32NbSlots) >> 32);
}

inline bool VqxSlotIsLive(const VqxHashSlot& s) { return s.un64Value != VQX_HASH_INVALID_VALUE; }
inline bool VqxSlotIsEmpty(const VqxHashSlot& s) {
  return s.un64Value == VQX_HASH_INVALID_VALUE && s.un64Key == VQX_HASH_SLOT_KEY_EMPTY;
}

}  // namespace

struct VQX_HASH {
  u32 un32Magic;
  u32 un32MaxEntries;
  PFN_VQX_HASH_GET_KEY pFctGetKey;
  void* pContext;
  char szName[VQX_HASH_NAME_SIZE];
  const char* pszCreateFile;
  u32 un32CreateLine;
  VqxHashSlot* paSlots;
  u32 un32NbSlots;
  u32 un32PrimeIndex;
  u32 un32NbEntries;
  u32 un32NbRemoved;
};

namespace {

VqxHashSlot* VqxHashAllocSlots(u32 un32NbSlots) {
  const size_t uBytes = sizeof(VqxHashSlot) * static_cast<size_t>(un32NbSlots);
  VqxHashSlot* p;
  if (uBytes >= VQX_HASH_HUGE_PAGE) {
    const size_t uRounded = (uBytes + VQX_HASH_HUGE_PAGE - 1) & ~(VQX_HASH_HUGE_PAGE - 1);
    p = static_cast<VqxHashSlot*>(std::aligned_alloc(VQX_HASH_HUGE_PAGE, uRounded));
    if (p != nullptr) madvise(p, uRounded, MADV_HUGEPAGE); /* advice only: failure changes nothing */
  } else {
    p = static_cast<VqxHashSlot*>(std::malloc(uBytes));
  }
  if (p == nullptr) return nullptr;
  for (u32 i = 0; i < un32NbSlots; ++i) {
    p[i].un64Key = VQX_HASH_SLOT_KEY_EMPTY;
    p[i].un64Value = VQX_HASH_INVALID_VALUE;
  }
  return p;
}

/* Smallest prime index whose table keeps un64Entries at most at a third. */
u32 VqxHashPrimeIndexFor(u64 un64Entries) {
  for (u32 i = 0; i < VQX_HASH_NB_PRIMES; ++i)
    if (un64Entries * VQX_HASH_REBUILD_FILL_DEN <= s_aun32VqxHashPrimes[i]) return i;
  return VQX_HASH_NB_PRIMES - 1;
}

inline u32 VqxHashHome(const VQX_HASH* h, u64 un64Key) { return VqxHashHomeOf(un64Key, h->un32NbSlots); }

/* Moves every live entry into a fresh table at prime index un32Index.
 * false (table unchanged) when memory runs out. */
bool VqxHashRebuild(VQX_HASH* h, u32 un32Index) {
  const u32 un32NewSlots = s_aun32VqxHashPrimes[un32Index];
  VqxHashSlot* paNew = VqxHashAllocSlots(un32NewSlots);
  if (paNew == nullptr) return false;
  VqxHashSlot* paOld = h->paSlots;
  const u32 un32OldSlots = h->un32NbSlots;
  h->paSlots = paNew;
  h->un32NbSlots = un32NewSlots;
  h->un32PrimeIndex = un32Index;
  h->un32NbRemoved = 0;
  for (u32 i = 0; i < un32OldSlots; ++i) {
    if (!VqxSlotIsLive(paOld[i])) continue;
    u32 j = VqxHashHome(h, paOld[i].un64Key);
    while (!VqxSlotIsEmpty(paNew[j])) j = (j + 1 == un32NewSlots) ? 0 : j + 1;
    paNew[j] = paOld[i];
  }
  std::free(paOld);
  return true;
}

HVQXHASH VqxHashCreate(u32 un32MaxEntries, PFN_VQX_HASH_GET_KEY pFctGetKey, void* pContext, const char* pszName) {
  auto* h = new (std::nothrow) VQX_HASH{};
  if (h == nullptr) return nullptr;
  h->un32MaxEntries = un32MaxEntries;
  h->pFctGetKey = pFctGetKey;
  h->pContext = pContext;
  if (pszName != nullptr) {
    std::strncpy(h->szName, pszName, VQX_HASH_NAME_SIZE - 1);
    h->szName[VQX_HASH_NAME_SIZE - 1] = '\0';
  }
  const u32 un32Index = VqxHashPrimeIndexFor(std::min(un32MaxEntries, VQX_HASH_MAX_INITIAL_HINT));
  h->paSlots = VqxHashAllocSlots(s_aun32VqxHashPrimes[un32Index]);
  if (h->paSlots == nullptr) {
    delete h;
    return nullptr;
  }
  h->un32NbSlots = s_aun32VqxHashPrimes[un32Index];
  h->un32PrimeIndex = un32Index;
  h->un32Magic = VQX_HASH_MAGIC;
  return h;
}

inline bool VqxHashIsValid(const VQX_HASH* h) { return h != nullptr && h->un32Magic == VQX_HASH_MAGIC; }

/* Slot holding the key, or un32NbSlots when absent. */
inline u32 VqxHashLookup(const VQX_HASH* h, u64 un64Key) {
  const u32 un32NbSlots = h->un32NbSlots;
  const VqxHashSlot* pa = h->paSlots;
  u32 i = VqxHashHomeOf(un64Key, un32NbSlots);
  for (u32 n = 0; n < un32NbSlots; ++n) {
    const VqxHashSlot& s = pa[i];
    if (s.un64Key == un64Key && VqxSlotIsLive(s)) return i;
    if (VqxSlotIsEmpty(s)) return un32NbSlots;
    i = (i + 1 == un32NbSlots) ? 0 : i + 1;
  }
  return un32NbSlots;
}

}  // namespace

HVQXHASH VQXHashCreateInternal(u32 un32MaxEntries, PFN_VQX_HASH_GET_KEY pFctGetKey, void* pReserved1,
                               void* pReserved2, void* pContext, const char* pszName, u32 un32Flags) {
  if (pFctGetKey == nullptr || pReserved1 != nullptr || pReserved2 != nullptr || un32Flags != 0) return nullptr;
  return VqxHashCreate(un32MaxEntries, pFctGetKey, pContext, pszName);
}

HVQXHASH VQXHashCreateWithKeyInternal(u32 un32MaxEntries, const char* pszName, u32 un32Flags) {
  if (un32Flags != 0) return nullptr;
  return VqxHashCreate(un32MaxEntries, nullptr, nullptr, pszName);
}

VQX_RESULT VQXHashInsert(HVQXHASH hHash, u64 un64Key, u64 un64Value) {
  if (!VqxHashIsValid(hHash)) return VQX_RESULT_NULL_PARAM;
  if (un64Value == VQX_HASH_INVALID_VALUE) return VQX_RESULT_INVALID_PARAM;
  if (hHash->pFctGetKey != nullptr && hHash->pFctGetKey(hHash->pContext, un64Value) != un64Key)
    return VQX_RESULT_INVALID_PARAM;

  /* One probe finds a duplicate and the first reusable slot. */
  u32 i = VqxHashHome(hHash, un64Key);
  u32 un32Free = hHash->un32NbSlots;
  for (u32 n = 0; n < hHash->un32NbSlots; ++n) {
    const VqxHashSlot& s = hHash->paSlots[i];
    if (VqxSlotIsLive(s)) {
      if (s.un64Key == un64Key) return VQX_RESULT_ACCESS_DENIED; /* 0x82000005: already present */
    } else {
      if (un32Free == hHash->un32NbSlots) un32Free = i;
      if (s.un64Key == VQX_HASH_SLOT_KEY_EMPTY) break;
    }
    i = (i + 1 == hHash->un32NbSlots) ? 0 : i + 1;
  }
  if (hHash->un32MaxEntries != 0 && hHash->un32NbEntries >= hHash->un32MaxEntries) return VQX_RESULT_OUT_OF_RESOURCE;

  const bool fReusesMarker = un32Free != hHash->un32NbSlots && !VqxSlotIsEmpty(hHash->paSlots[un32Free]);
  const u64 un64Occupied = static_cast<u64>(hHash->un32NbEntries) + hHash->un32NbRemoved + (fReusesMarker ? 0 : 1);
  if (un32Free == hHash->un32NbSlots || un64Occupied * VQX_HASH_LOAD_DEN > static_cast<u64>(hHash->un32NbSlots) * VQX_HASH_LOAD_NUM) {
    u32 un32Index = VqxHashPrimeIndexFor(static_cast<u64>(hHash->un32NbEntries) + 1);
    if (un32Index < hHash->un32PrimeIndex) un32Index = hHash->un32PrimeIndex;
    /* Same size only pays when markers, not entries, fill the table. */
    if (un32Index == hHash->un32PrimeIndex && hHash->un32NbRemoved == 0) {
      if (un32Index + 1 >= VQX_HASH_NB_PRIMES) return VQX_RESULT_OUT_OF_RESOURCE;
      ++un32Index;
    }
    if (!VqxHashRebuild(hHash, un32Index)) return VQX_RESULT_NOT_ENOUGH_MEMORY;
    un32Free = VqxHashHome(hHash, un64Key);
    while (!VqxSlotIsEmpty(hHash->paSlots[un32Free])) un32Free = (un32Free + 1 == hHash->un32NbSlots) ? 0 : un32Free + 1;
  } else if (fReusesMarker) {
    --hHash->un32NbRemoved;
  }
  hHash->paSlots[un32Free].un64Key = un64Key;
  hHash->paSlots[un32Free].un64Value = un64Value;
  ++hHash->un32NbEntries;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXHashFind(HVQXHASH hHash, u64 un64Key, u64* pun64Value) {
  if (pun64Value != nullptr) *pun64Value = 0;
  if (!VqxHashIsValid(hHash)) return VQX_RESULT_NULL_PARAM;
  const u32 i = VqxHashLookup(hHash, un64Key);
  if (i == hHash->un32NbSlots) return VQX_RESULT_NOT_FOUND;
  if (pun64Value != nullptr) *pun64Value = hHash->paSlots[i].un64Value;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXHashRemove(HVQXHASH hHash, u64 un64Key, u64* pun64Value) {
  if (!VqxHashIsValid(hHash)) return VQX_RESULT_NULL_PARAM;
  u32 i = VqxHashLookup(hHash, un64Key);
  if (i == hHash->un32NbSlots) return VQX_RESULT_NOT_FOUND;
  VqxHashSlot* pa = hHash->paSlots;
  const u32 un32NbSlots = hHash->un32NbSlots;
  if (pun64Value != nullptr) *pun64Value = pa[i].un64Value;
  pa[i].un64Value = VQX_HASH_INVALID_VALUE;
  pa[i].un64Key = VQX_HASH_SLOT_KEY_REMOVED;
  --hHash->un32NbEntries;
  ++hHash->un32NbRemoved;
  /* A marker followed by an empty slot ends no probe that needs it: empty it,
   * and the markers just before it likewise. */
  if (VqxSlotIsEmpty(pa[(i + 1 == un32NbSlots) ? 0 : i + 1])) {
    for (u32 n = 0; n < un32NbSlots && !VqxSlotIsLive(pa[i]) && pa[i].un64Key == VQX_HASH_SLOT_KEY_REMOVED; ++n) {
      pa[i].un64Key = VQX_HASH_SLOT_KEY_EMPTY;
      --hHash->un32NbRemoved;
      i = (i == 0) ? un32NbSlots - 1 : i - 1;
    }
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VQXHashDestroy(HVQXHASH hHash) {
  if (hHash == nullptr) return VQX_RESULT_NULL_PARAM;
  if (hHash->un32Magic != VQX_HASH_MAGIC) return VQX_RESULT_INVALID_HANDLE;
  hHash->un32Magic = VQX_HASH_DEAD_MAGIC;
  std::free(hHash->paSlots);
  delete hHash;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXHashSetCreateFileLine(HVQXHASH hHash, const char* pszFile, u32 un32Line) {
  if (!VqxHashIsValid(hHash)) return VQX_RESULT_NULL_PARAM;
  hHash->pszCreateFile = pszFile;
  hHash->un32CreateLine = un32Line;
  return VQX_RESULT_OK;
}

VQX_RESULT VqxHashGetStats(HVQXHASH hHash, VQX_HASH_STATS* pStats) {
  if (!VqxHashIsValid(hHash) || pStats == nullptr) return VQX_RESULT_NULL_PARAM;
  pStats->un32NbEntries = hHash->un32NbEntries;
  pStats->un32NbSlots = hHash->un32NbSlots;
  pStats->un32NbRemoved = hHash->un32NbRemoved;
  pStats->un32NbRebuildSizes = hHash->un32PrimeIndex;
  pStats->pszName = hHash->szName;
  pStats->pszCreateFile = hHash->pszCreateFile;
  pStats->un32CreateLine = hHash->un32CreateLine;
  return VQX_RESULT_OK;
}

VQX_RESULT VqxHashCheck(HVQXHASH hHash) {
  if (!VqxHashIsValid(hHash)) return VQX_RESULT_NULL_PARAM;
  u32 un32Live = 0, un32Removed = 0, un32Empty = 0;
  for (u32 i = 0; i < hHash->un32NbSlots; ++i) {
    const VqxHashSlot& s = hHash->paSlots[i];
    if (VqxSlotIsLive(s)) {
      ++un32Live;
      /* Every entry must be reachable from its home slot. */
      if (VqxHashLookup(hHash, s.un64Key) != i) return VQX_RESULT_INVALID_STATE;
      if (hHash->pFctGetKey != nullptr && hHash->pFctGetKey(hHash->pContext, s.un64Value) != s.un64Key)
        return VQX_RESULT_INVALID_STATE;
    } else if (s.un64Key == VQX_HASH_SLOT_KEY_REMOVED) {
      ++un32Removed;
    } else if (s.un64Key == VQX_HASH_SLOT_KEY_EMPTY) {
      ++un32Empty;
    } else {
      return VQX_RESULT_INVALID_STATE;
    }
  }
  if (un32Live != hHash->un32NbEntries || un32Removed != hHash->un32NbRemoved || un32Empty == 0)
    return VQX_RESULT_INVALID_STATE;
  if (hHash->un32MaxEntries != 0 && un32Live > hHash->un32MaxEntries) return VQX_RESULT_INVALID_STATE;
  return VQX_RESULT_OK;
}
