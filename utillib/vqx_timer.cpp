/*
 * vqx_timer.cpp - hierarchical timing wheel.
 *
 * Model: time runs internally as a 64-bit tick count (caller milliseconds
 * divided by the resolution), extended from the caller's u32 milliseconds by
 * signed differences, so that the u32 wrap never reaches the wheel. There are
 * VQX_TIMER_LEVELS levels of 256 slots; a record due at tick e while the
 * wheel stands at tick c sits at the level of the highest byte in which e and
 * c differ, in the slot named by that byte of e. Hence every record of level L
 * agrees with c above byte L and its byte L is greater than c's. When the
 * wheel reaches the first tick whose byte L equals a slot's (lower bytes
 * zero), that slot's records move down to lower levels, or to the expired
 * list when due. Advancing jumps straight to the next non-empty slot (one
 * 256-bit map per level), so a poll costs the work of the records it moves,
 * not the length of the time step.
 *
 * Armed records are held by nodes (an array grown by doubling); a hash table
 * maps each record's address to its node, for Remove and for refusing a
 * record armed twice.
 */
#include "vqx_timer.h"
#include "vqx_timer_internal.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

#include "vqx_hash.h"
#include "vqx_hash_internal.h"

namespace {

constexpr u32 VQX_TIMER_MAGIC = 0x54494D52u; /* "TIMR" */
constexpr u32 VQX_TIMER_DEAD_MAGIC = 0xDEAD544Du;
constexpr u32 VQX_TIMER_NONE = 0xFFFFFFFFu;
constexpr u32 VQX_TIMER_LEVELS = 8; /* 8 bits each: any 64-bit tick */
constexpr u32 VQX_TIMER_SLOT_BITS = 8;
constexpr u32 VQX_TIMER_SLOTS = 1u << VQX_TIMER_SLOT_BITS;
constexpr u32 VQX_TIMER_MAP_WORDS = VQX_TIMER_SLOTS / 64;
constexpr u32 VQX_TIMER_LIST_EXPIRED = VQX_TIMER_LEVELS * VQX_TIMER_SLOTS;
constexpr u32 VQX_TIMER_NB_LISTS = VQX_TIMER_LIST_EXPIRED + 1;
constexpr u32 VQX_TIMER_LIST_FREE = 0xFFFFu;
static_assert(VQX_TIMER_LEVELS * VQX_TIMER_SLOT_BITS == 64, "levels must cover a 64-bit tick");
static_assert(VQX_TIMER_NB_LISTS < VQX_TIMER_LIST_FREE, "list ids fit in u16");

struct VqxTimerNode {
  void* pRecord;
  u64 un64DueTick;
  u32 un32Prev;
  u32 un32Next; /* also the free list */
  u32 un32List; /* list id, or VQX_TIMER_LIST_FREE */
  u32 un32Pad;
};

struct VqxTimerList {
  u32 un32Head;
  u32 un32Tail;
};

}  // namespace

struct VQX_TIMER {
  u32 un32Magic;
  u32 un32Capacity;
  u32 fGrowable;
  u32 un32ResolutionMs;
  i32 n32MaxDelayMs;
  u32 un32UsageFlagOffset;
  u64 un64NowMs;  /* the wheel's current time, extended to 64 bits */
  u64 un64NowTick; /* un64NowMs / resolution */
  VqxTimerNode* paNodes;
  u32 un32FreeHead;
  u32 un32NbArmed;
  u32 un32NbInWheel;
  u32 un32NbExpired;
  HVQXHASH hRecords; /* record address -> node index */
  VqxTimerList aLists[VQX_TIMER_NB_LISTS];
  u64 aun64Map[VQX_TIMER_LEVELS][VQX_TIMER_MAP_WORDS];
};

namespace {

inline bool VqxTimerIsValid(const VQX_TIMER* t) { return t != nullptr && t->un32Magic == VQX_TIMER_MAGIC; }

inline void VqxTimerSetFlag(const VQX_TIMER* t, void* pRecord, u8 byValue) {
  if (t->un32UsageFlagOffset != VQX_TIMER_NO_USAGE_FLAG) static_cast<u8*>(pRecord)[t->un32UsageFlagOffset] = byValue;
}

inline void VqxTimerMapSet(VQX_TIMER* t, u32 un32List) {
  const u32 l = un32List / VQX_TIMER_SLOTS, s = un32List % VQX_TIMER_SLOTS;
  t->aun64Map[l][s / 64] |= 1ull << (s % 64);
}
inline void VqxTimerMapClear(VQX_TIMER* t, u32 un32List) {
  const u32 l = un32List / VQX_TIMER_SLOTS, s = un32List % VQX_TIMER_SLOTS;
  t->aun64Map[l][s / 64] &= ~(1ull << (s % 64));
}

void VqxTimerAppend(VQX_TIMER* t, u32 un32Node, u32 un32List) {
  VqxTimerNode& n = t->paNodes[un32Node];
  VqxTimerList& l = t->aLists[un32List];
  n.un32List = un32List;
  n.un32Next = VQX_TIMER_NONE;
  n.un32Prev = l.un32Tail;
  if (l.un32Tail != VQX_TIMER_NONE)
    t->paNodes[l.un32Tail].un32Next = un32Node;
  else
    l.un32Head = un32Node;
  l.un32Tail = un32Node;
  if (un32List == VQX_TIMER_LIST_EXPIRED) {
    ++t->un32NbExpired;
  } else {
    ++t->un32NbInWheel;
    VqxTimerMapSet(t, un32List);
  }
}

void VqxTimerUnlink(VQX_TIMER* t, u32 un32Node) {
  VqxTimerNode& n = t->paNodes[un32Node];
  VqxTimerList& l = t->aLists[n.un32List];
  if (n.un32Prev != VQX_TIMER_NONE)
    t->paNodes[n.un32Prev].un32Next = n.un32Next;
  else
    l.un32Head = n.un32Next;
  if (n.un32Next != VQX_TIMER_NONE)
    t->paNodes[n.un32Next].un32Prev = n.un32Prev;
  else
    l.un32Tail = n.un32Prev;
  if (n.un32List == VQX_TIMER_LIST_EXPIRED) {
    --t->un32NbExpired;
  } else {
    --t->un32NbInWheel;
    if (l.un32Head == VQX_TIMER_NONE) VqxTimerMapClear(t, n.un32List);
  }
  n.un32Prev = n.un32Next = VQX_TIMER_NONE;
}

/* List a node belongs in, given its due tick and the wheel's tick. */
inline u32 VqxTimerListFor(u64 un64Due, u64 un64Now) {
  if (un64Due <= un64Now) return VQX_TIMER_LIST_EXPIRED;
  const u32 un32Level = static_cast<u32>(63 - std::countl_zero(un64Due ^ un64Now)) / VQX_TIMER_SLOT_BITS;
  const u32 un32Slot = static_cast<u32>(un64Due >> (un32Level * VQX_TIMER_SLOT_BITS)) & (VQX_TIMER_SLOTS - 1);
  return un32Level * VQX_TIMER_SLOTS + un32Slot;
}

/* Smallest set slot of a level above un32After, or VQX_TIMER_SLOTS. */
inline u32 VqxTimerNextSlot(const VQX_TIMER* t, u32 un32Level, u32 un32After) {
  u32 s = un32After + 1;
  while (s < VQX_TIMER_SLOTS) {
    const u64 w = t->aun64Map[un32Level][s / 64] >> (s % 64);
    if (w != 0) return s + static_cast<u32>(std::countr_zero(w));
    s = (s / 64 + 1) * 64;
  }
  return VQX_TIMER_SLOTS;
}

/* Moves the wheel to un64Target, cascading every slot reached on the way. */
void VqxTimerAdvance(VQX_TIMER* t, u64 un64Target) {
  while (t->un64NowTick < un64Target) {
    if (t->un32NbInWheel == 0) {
      t->un64NowTick = un64Target;
      return;
    }
    const u64 un64Now = t->un64NowTick;
    u64 un64Next = 0;
    u32 un32List = VQX_TIMER_NONE;
    for (u32 l = 0; l < VQX_TIMER_LEVELS; ++l) {
      const u32 un32Shift = l * VQX_TIMER_SLOT_BITS;
      const u32 s = VqxTimerNextSlot(t, l, static_cast<u32>(un64Now >> un32Shift) & (VQX_TIMER_SLOTS - 1));
      if (s == VQX_TIMER_SLOTS) continue;
      const u32 un32Above = un32Shift + VQX_TIMER_SLOT_BITS;
      const u64 un64Base = un32Above >= 64 ? 0 : (un64Now >> un32Above) << un32Above;
      un64Next = un64Base | (static_cast<u64>(s) << un32Shift);
      un32List = l * VQX_TIMER_SLOTS + s;
      break;
    }
    if (un32List == VQX_TIMER_NONE || un64Next > un64Target) {
      t->un64NowTick = un64Target;
      return;
    }
    t->un64NowTick = un64Next;
    /* Detach the slot, then file each of its nodes again, in order. */
    u32 i = t->aLists[un32List].un32Head;
    while (i != VQX_TIMER_NONE) {
      const u32 un32Following = t->paNodes[i].un32Next;
      VqxTimerUnlink(t, i);
      VqxTimerAppend(t, i, VqxTimerListFor(t->paNodes[i].un64DueTick, un64Next));
      i = un32Following;
    }
  }
}

bool VqxTimerGrow(VQX_TIMER* t) {
  u32 un32New = t->un32Capacity * 2;
  if (un32New > VQX_TIMER_MAX_CAPACITY) un32New = VQX_TIMER_MAX_CAPACITY;
  auto* pa = static_cast<VqxTimerNode*>(std::realloc(t->paNodes, sizeof(VqxTimerNode) * un32New));
  if (pa == nullptr) return false;
  t->paNodes = pa;
  for (u32 i = t->un32Capacity; i < un32New; ++i) {
    pa[i] = VqxTimerNode{nullptr, 0, VQX_TIMER_NONE, (i + 1 < un32New) ? i + 1 : t->un32FreeHead, VQX_TIMER_LIST_FREE, 0};
  }
  t->un32FreeHead = t->un32Capacity;
  t->un32Capacity = un32New;
  return true;
}

/* Extends a caller time to the wheel's 64-bit milliseconds. */
inline i64 VqxTimerDeltaMs(const VQX_TIMER* t, u32 un32TimeMs) {
  return static_cast<i32>(un32TimeMs - static_cast<u32>(t->un64NowMs));
}

}  // namespace

HVQXTIMER VQXTimerCreate(u32 un32InitialCapacity, u32 un32ResolutionMs, i32 n32MaxDelayMs, u32 un32StartTimeMs) {
  if (un32InitialCapacity > VQX_TIMER_MAX_CAPACITY || un32ResolutionMs == 0 || n32MaxDelayMs <= 0) return nullptr;
  auto* t = new (std::nothrow) VQX_TIMER{};
  if (t == nullptr) return nullptr;
  t->fGrowable = un32InitialCapacity == 0;
  t->un32Capacity = t->fGrowable ? VQX_TIMER_GROWABLE_START_CAPACITY : un32InitialCapacity;
  t->un32ResolutionMs = un32ResolutionMs;
  t->n32MaxDelayMs = n32MaxDelayMs;
  t->un32UsageFlagOffset = VQX_TIMER_NO_USAGE_FLAG;
  t->un64NowMs = un32StartTimeMs;
  t->un64NowTick = t->un64NowMs / un32ResolutionMs;
  for (auto& l : t->aLists) l.un32Head = l.un32Tail = VQX_TIMER_NONE;
  t->paNodes = static_cast<VqxTimerNode*>(std::malloc(sizeof(VqxTimerNode) * t->un32Capacity));
  t->hRecords = VQXHashCreateWithKeyInternal(0, "timer records", 0);
  if (t->paNodes == nullptr || t->hRecords == nullptr) {
    std::free(t->paNodes);
    if (t->hRecords != nullptr) VQXHashDestroy(t->hRecords);
    delete t;
    return nullptr;
  }
  for (u32 i = 0; i < t->un32Capacity; ++i)
    t->paNodes[i] = VqxTimerNode{nullptr, 0, VQX_TIMER_NONE, (i + 1 < t->un32Capacity) ? i + 1 : VQX_TIMER_NONE,
                                 VQX_TIMER_LIST_FREE, 0};
  t->un32FreeHead = 0;
  t->un32Magic = VQX_TIMER_MAGIC;
  return t;
}

VQX_RESULT VQXTimerSetUsageFlagOffset(HVQXTIMER hTimer, u32 un32Offset) {
  if (!VqxTimerIsValid(hTimer)) return VQX_RESULT_NULL_PARAM;
  hTimer->un32UsageFlagOffset = un32Offset;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXTimerInsertNormalized(HVQXTIMER hTimer, u32 un32DueTimeMs, void* pRecord, u32 un32Flag) {
  if (!VqxTimerIsValid(hTimer) || pRecord == nullptr) return VQX_RESULT_NULL_PARAM;
  VQX_TIMER* t = hTimer;
  const i64 n64Delta = VqxTimerDeltaMs(t, un32DueTimeMs);
  if (un32Flag != 0 || n64Delta > t->n32MaxDelayMs) return VQX_RESULT_INVALID_PARAM;
  const u64 un64Address = reinterpret_cast<uintptr_t>(pRecord);
  if (VQXHashFind(t->hRecords, un64Address, nullptr) == VQX_RESULT_OK) return VQX_RESULT_ACCESS_DENIED;
  if (t->un32FreeHead == VQX_TIMER_NONE) {
    if (!t->fGrowable || t->un32Capacity >= VQX_TIMER_MAX_CAPACITY) return VQX_RESULT_OUT_OF_RESOURCE;
    if (!VqxTimerGrow(t)) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  }
  const u32 un32Node = t->un32FreeHead;
  if (VQXHashInsert(t->hRecords, un64Address, un32Node) != VQX_RESULT_OK) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  VqxTimerNode& n = t->paNodes[un32Node];
  t->un32FreeHead = n.un32Next;
  n.pRecord = pRecord;
  if (n64Delta <= 0) {
    n.un64DueTick = t->un64NowTick;
  } else {
    const u64 un64DueMs = t->un64NowMs + static_cast<u64>(n64Delta);
    n.un64DueTick = (un64DueMs + t->un32ResolutionMs - 1) / t->un32ResolutionMs; /* never early */
  }
  VqxTimerAppend(t, un32Node, VqxTimerListFor(n.un64DueTick, t->un64NowTick));
  ++t->un32NbArmed;
  VqxTimerSetFlag(t, pRecord, 1);
  return VQX_RESULT_OK;
}

VQX_RESULT VQXTimerInsert(HVQXTIMER hTimer, u32 un32DueTimeMs, void* pRecord) {
  return VQXTimerInsertNormalized(hTimer, un32DueTimeMs, pRecord, 0);
}

namespace {

void VqxTimerDisarm(VQX_TIMER* t, u32 un32Node) {
  VqxTimerNode& n = t->paNodes[un32Node];
  VqxTimerUnlink(t, un32Node);
  VQXHashRemove(t->hRecords, reinterpret_cast<uintptr_t>(n.pRecord), nullptr);
  VqxTimerSetFlag(t, n.pRecord, 0);
  n.pRecord = nullptr;
  n.un32List = VQX_TIMER_LIST_FREE;
  n.un32Next = t->un32FreeHead;
  t->un32FreeHead = un32Node;
  --t->un32NbArmed;
}

}  // namespace

VQX_RESULT VQXTimerRemove(HVQXTIMER hTimer, void* pRecord) {
  if (!VqxTimerIsValid(hTimer) || pRecord == nullptr) return VQX_RESULT_NULL_PARAM;
  u64 un64Node = 0;
  if (VQXHashFind(hTimer->hRecords, reinterpret_cast<uintptr_t>(pRecord), &un64Node) != VQX_RESULT_OK)
    return VQX_RESULT_NOT_FOUND;
  VqxTimerDisarm(hTimer, static_cast<u32>(un64Node));
  return VQX_RESULT_OK;
}

VQX_RESULT VQXTimerPoll(HVQXTIMER hTimer, u32 un32NowMs, u32* pun32Count, void** apRecords) {
  if (!VqxTimerIsValid(hTimer) || pun32Count == nullptr) return VQX_RESULT_NULL_PARAM;
  VQX_TIMER* t = hTimer;
  const i64 n64Delta = VqxTimerDeltaMs(t, un32NowMs);
  if (n64Delta > 0) {
    t->un64NowMs += static_cast<u64>(n64Delta);
    VqxTimerAdvance(t, t->un64NowMs / t->un32ResolutionMs);
  }
  if (apRecords == nullptr) {
    *pun32Count = t->un32NbExpired;
    return VQX_RESULT_OK;
  }
  u32 un32Given = 0;
  while (un32Given < *pun32Count && t->aLists[VQX_TIMER_LIST_EXPIRED].un32Head != VQX_TIMER_NONE) {
    const u32 un32Node = t->aLists[VQX_TIMER_LIST_EXPIRED].un32Head;
    apRecords[un32Given++] = t->paNodes[un32Node].pRecord;
    VqxTimerDisarm(t, un32Node);
  }
  *pun32Count = un32Given;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXTimerDestroy(HVQXTIMER hTimer) {
  if (hTimer == nullptr) return VQX_RESULT_NULL_PARAM;
  if (hTimer->un32Magic != VQX_TIMER_MAGIC) return VQX_RESULT_INVALID_HANDLE;
  hTimer->un32Magic = VQX_TIMER_DEAD_MAGIC;
  VQXHashDestroy(hTimer->hRecords);
  std::free(hTimer->paNodes);
  delete hTimer;
  return VQX_RESULT_OK;
}

VQX_RESULT VqxTimerGetStats(HVQXTIMER hTimer, VQX_TIMER_STATS* pStats) {
  if (!VqxTimerIsValid(hTimer) || pStats == nullptr) return VQX_RESULT_NULL_PARAM;
  pStats->un32Capacity = hTimer->un32Capacity;
  pStats->un32NbArmed = hTimer->un32NbArmed;
  pStats->un32NbExpired = hTimer->un32NbExpired;
  pStats->un64NowMs = hTimer->un64NowMs;
  return VQX_RESULT_OK;
}

VQX_RESULT VqxTimerCheck(HVQXTIMER hTimer) {
  if (!VqxTimerIsValid(hTimer)) return VQX_RESULT_NULL_PARAM;
  const VQX_TIMER* t = hTimer;
  u32 un32InWheel = 0, un32Expired = 0;
  for (u32 l = 0; l < VQX_TIMER_NB_LISTS; ++l) {
    const VqxTimerList& list = t->aLists[l];
    if (l != VQX_TIMER_LIST_EXPIRED) {
      const u32 s = l % VQX_TIMER_SLOTS, lv = l / VQX_TIMER_SLOTS;
      const bool fMapped = ((t->aun64Map[lv][s / 64] >> (s % 64)) & 1) != 0;
      if (fMapped != (list.un32Head != VQX_TIMER_NONE)) return VQX_RESULT_INVALID_STATE;
    }
    u32 un32Prev = VQX_TIMER_NONE;
    for (u32 i = list.un32Head; i != VQX_TIMER_NONE; i = t->paNodes[i].un32Next) {
      const VqxTimerNode& n = t->paNodes[i];
      if (i >= t->un32Capacity || n.un32List != l || n.un32Prev != un32Prev) return VQX_RESULT_INVALID_STATE;
      /* A node sits where it would be filed now (expired ones may be older). */
      if (l == VQX_TIMER_LIST_EXPIRED) {
        if (n.un64DueTick > t->un64NowTick) return VQX_RESULT_INVALID_STATE;
        ++un32Expired;
      } else {
        if (VqxTimerListFor(n.un64DueTick, t->un64NowTick) != l) return VQX_RESULT_INVALID_STATE;
        ++un32InWheel;
      }
      u64 un64Node = 0;
      if (VQXHashFind(t->hRecords, reinterpret_cast<uintptr_t>(n.pRecord), &un64Node) != VQX_RESULT_OK || un64Node != i)
        return VQX_RESULT_INVALID_STATE;
      if (un32InWheel + un32Expired > t->un32Capacity) return VQX_RESULT_INVALID_STATE;
      un32Prev = i;
    }
    if (un32Prev != list.un32Tail) return VQX_RESULT_INVALID_STATE;
  }
  if (un32InWheel != t->un32NbInWheel || un32Expired != t->un32NbExpired ||
      un32InWheel + un32Expired != t->un32NbArmed)
    return VQX_RESULT_INVALID_STATE;
  VQX_HASH_STATS hs{};
  if (VqxHashGetStats(t->hRecords, &hs) != VQX_RESULT_OK || hs.un32NbEntries != t->un32NbArmed)
    return VQX_RESULT_INVALID_STATE;
  u32 un32Free = 0;
  for (u32 i = t->un32FreeHead; i != VQX_TIMER_NONE; i = t->paNodes[i].un32Next) {
    if (i >= t->un32Capacity || t->paNodes[i].un32List != VQX_TIMER_LIST_FREE) return VQX_RESULT_INVALID_STATE;
    if (++un32Free > t->un32Capacity) return VQX_RESULT_INVALID_STATE;
  }
  if (un32Free + t->un32NbArmed != t->un32Capacity) return VQX_RESULT_INVALID_STATE;
  return VQX_RESULT_OK;
}
