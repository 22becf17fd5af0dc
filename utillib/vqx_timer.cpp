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
 * Storage: each slot, and the expired list, is an array of entries {record,
 * due tick, index position}; moving a slot reads its array in order, which
 * keeps large wheels fast (linked nodes would be chased one cache miss at a
 * time). Beside the arrays, an open-addressing table keyed by record address
 * (the index) tells where each armed record's entry is, for Remove and for
 * refusing a record armed twice. Removing from a slot moves the slot's last
 * entry into the hole; removing from the expired list leaves a hole that
 * polling skips, so that expired records keep their order.
 */
#include "vqx_timer.h"
#include "vqx_timer_internal.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>

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
/* Index position states, kept in the list field. */
constexpr u32 VQX_TIMER_POS_EMPTY = 0xFFFFFFFFu;   /* ends a probe */
constexpr u32 VQX_TIMER_POS_REMOVED = 0xFFFFFFFEu; /* marker: a probe goes on */
static_assert(VQX_TIMER_LEVELS * VQX_TIMER_SLOT_BITS == 64, "levels must cover a 64-bit tick");
static_assert(VQX_TIMER_NB_LISTS < VQX_TIMER_POS_REMOVED, "list ids below the position states");
/* The index is a power of two; records and markers fill at most three
 * quarters of it, and after a rebuild records fill at most half. */
constexpr u32 VQX_TIMER_MIN_INDEX = 128;
constexpr u32 VQX_TIMER_MIN_ARRAY = 8;
constexpr u32 VQX_TIMER_KEEP_ARRAY = 1024; /* largest storage an emptied slot keeps */
/* Handed-out entries kept at the front of the expired list before it is
 * compacted (see VqxTimerCompactExpired). */
constexpr u32 VQX_TIMER_COMPACT_AFTER = 1024;
/* Index tables from this size on are aligned to, and asked to be backed by,
 * 2 MiB pages: they are reached in due order, which is random in them. */
constexpr size_t VQX_TIMER_HUGE_PAGE = 2u * 1024u * 1024u;

/* One armed record inside a slot or the expired list (pRecord null: a hole). */
struct VqxTimerEntry {
  void* pRecord;
  u64 un64DueTick;
  u32 un32IndexPos;
  u32 un32Pad;
};
static_assert(sizeof(VqxTimerEntry) == 24, "entry layout");

/* Index position of an armed record: where its entry is. */
struct VqxTimerIndexPos {
  void* pRecord;
  u32 un32List; /* list id, or a position state */
  u32 un32Entry;
};
static_assert(sizeof(VqxTimerIndexPos) == 16, "index layout");

struct VqxTimerArray {
  VqxTimerEntry* pa;
  u32 un32Count;
  u32 un32Capacity;
};

}  // namespace

struct VQX_TIMER {
  u32 un32Magic;
  u32 un32Capacity; /* records that may be armed at once */
  u32 fGrowable;
  u32 un32ResolutionMs;
  i32 n32MaxDelayMs;
  u32 un32UsageFlagOffset;
  u64 un64NowMs;   /* the wheel's current time, extended to 64 bits */
  u64 un64NowTick; /* un64NowMs / resolution */
  VqxTimerIndexPos* paIndex;
  u32 un32IndexSize;  /* power of two */
  u32 un32IndexShift; /* 64 - log2(un32IndexSize) */
  u32 un32NbArmed;
  u32 un32NbRemoved;  /* markers in the index */
  u32 un32NbInWheel;
  u32 un32NbExpired;  /* live entries of the expired list */
  u32 un32ExpiredHead; /* first expired entry not handed out */
  VqxTimerArray aLists[VQX_TIMER_NB_LISTS];
  u64 aun64Map[VQX_TIMER_LEVELS][VQX_TIMER_MAP_WORDS];
};

namespace {

inline bool VqxTimerIsValid(const VQX_TIMER* t) { return t != nullptr && t->un32Magic == VQX_TIMER_MAGIC; }

inline void VqxTimerSetFlag(const VQX_TIMER* t, void* pRecord, u8 byValue) {
  if (t->un32UsageFlagOffset != VQX_TIMER_NO_USAGE_FLAG) static_cast<u8*>(pRecord)[t->un32UsageFlagOffset] = byValue;
}

inline bool VqxTimerPosLive(const VqxTimerIndexPos& p) { return p.un32List < VQX_TIMER_NB_LISTS; }

/* Home position of a record address (Fibonacci hashing on the top bits). */
inline u32 VqxTimerHome(const VQX_TIMER* t, const void* pRecord) {
  const u64 un64Address = reinterpret_cast<uintptr_t>(pRecord);
  return static_cast<u32>(((un64Address >> 3) * 0x9E3779B97F4A7C15ull) >> t->un32IndexShift);
}

/* Index position of an armed record, or VQX_TIMER_NONE. */
u32 VqxTimerFind(const VQX_TIMER* t, const void* pRecord) {
  const u32 un32Mask = t->un32IndexSize - 1;
  u32 i = VqxTimerHome(t, pRecord);
  for (u32 n = 0; n < t->un32IndexSize; ++n) {
    const VqxTimerIndexPos& p = t->paIndex[i];
    if (p.un32List == VQX_TIMER_POS_EMPTY) return VQX_TIMER_NONE;
    if (p.pRecord == pRecord && VqxTimerPosLive(p)) return i;
    i = (i + 1) & un32Mask;
  }
  return VQX_TIMER_NONE;
}

inline void VqxTimerMapSet(VQX_TIMER* t, u32 un32List) {
  const u32 l = un32List / VQX_TIMER_SLOTS, s = un32List % VQX_TIMER_SLOTS;
  t->aun64Map[l][s / 64] |= 1ull << (s % 64);
}
inline void VqxTimerMapClear(VQX_TIMER* t, u32 un32List) {
  const u32 l = un32List / VQX_TIMER_SLOTS, s = un32List % VQX_TIMER_SLOTS;
  t->aun64Map[l][s / 64] &= ~(1ull << (s % 64));
}

/* Makes room for un32More entries more; false without memory (unchanged). */
bool VqxTimerReserve(VqxTimerArray& a, u32 un32More) {
  const u64 un64Need = static_cast<u64>(a.un32Count) + un32More;
  if (un64Need <= a.un32Capacity) return true;
  u64 un64Cap = a.un32Capacity < VQX_TIMER_MIN_ARRAY ? VQX_TIMER_MIN_ARRAY : a.un32Capacity;
  while (un64Cap < un64Need) un64Cap *= 2;
  if (un64Cap > 0xFFFFFFFFull) return false;
  auto* p = static_cast<VqxTimerEntry*>(std::realloc(a.pa, sizeof(VqxTimerEntry) * un64Cap));
  if (p == nullptr) return false;
  a.pa = p;
  a.un32Capacity = static_cast<u32>(un64Cap);
  return true;
}

/* Appends an entry to a list with room reserved, and points its index
 * position at it. */
inline void VqxTimerPush(VQX_TIMER* t, u32 un32List, const VqxTimerEntry& e) {
  VqxTimerArray& a = t->aLists[un32List];
  const u32 un32Entry = a.un32Count++;
  a.pa[un32Entry] = e;
  VqxTimerIndexPos& p = t->paIndex[e.un32IndexPos];
  p.un32List = un32List;
  p.un32Entry = un32Entry;
  if (un32List == VQX_TIMER_LIST_EXPIRED) {
    ++t->un32NbExpired;
  } else {
    ++t->un32NbInWheel;
    if (un32Entry == 0) VqxTimerMapSet(t, un32List);
  }
}

/* List an entry belongs in, given its due tick and the wheel's tick. */
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

/* Empties one slot into the lists its entries belong in at the current
 * tick. Room is reserved first, so that a lack of memory leaves the slot
 * whole: false then. */
bool VqxTimerSpillSlot(VQX_TIMER* t, u32 un32List) {
  VqxTimerArray src = t->aLists[un32List];
  if (un32List < VQX_TIMER_SLOTS) {
    /* Level 0: every entry is due now. */
    if (!VqxTimerReserve(t->aLists[VQX_TIMER_LIST_EXPIRED], src.un32Count)) return false;
  } else {
    u32 aun32Need[VQX_TIMER_SLOTS + 1] = {};
    for (u32 i = 0; i < src.un32Count; ++i) {
      const u32 l = VqxTimerListFor(src.pa[i].un64DueTick, t->un64NowTick);
      ++aun32Need[l == VQX_TIMER_LIST_EXPIRED ? VQX_TIMER_SLOTS : l % VQX_TIMER_SLOTS];
    }
    for (u32 s = 0; s <= VQX_TIMER_SLOTS; ++s) {
      if (aun32Need[s] == 0) continue;
      /* Entries of level L go to levels below L, slot s of level L-1 at most
       * once per slot number: reserve in every level they may reach. */
      if (s == VQX_TIMER_SLOTS) {
        if (!VqxTimerReserve(t->aLists[VQX_TIMER_LIST_EXPIRED], aun32Need[s])) return false;
        continue;
      }
      for (u32 lv = 0; lv < un32List / VQX_TIMER_SLOTS; ++lv)
        if (!VqxTimerReserve(t->aLists[lv * VQX_TIMER_SLOTS + s], aun32Need[s])) return false;
    }
  }
  t->aLists[un32List].un32Count = 0;
  t->aLists[un32List].pa = nullptr;
  t->aLists[un32List].un32Capacity = 0;
  VqxTimerMapClear(t, un32List);
  t->un32NbInWheel -= src.un32Count;
  for (u32 i = 0; i < src.un32Count; ++i)
    VqxTimerPush(t, VqxTimerListFor(src.pa[i].un64DueTick, t->un64NowTick), src.pa[i]);
  /* The emptied slot keeps its storage for its next records, unless it is
   * large: a burst must not stay allocated in every slot it passed through. */
  VqxTimerArray& dst = t->aLists[un32List];
  if (dst.pa == nullptr && src.un32Capacity <= VQX_TIMER_KEEP_ARRAY) {
    dst.pa = src.pa;
    dst.un32Capacity = src.un32Capacity;
  } else {
    std::free(src.pa);
  }
  return true;
}

/* Moves the wheel to un64Target, spilling every slot reached on the way.
 * false when memory ran out (the wheel then stands before that slot). */
bool VqxTimerAdvance(VQX_TIMER* t, u64 un64Target) {
  while (t->un64NowTick < un64Target) {
    if (t->un32NbInWheel == 0) {
      t->un64NowTick = un64Target;
      return true;
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
      return true;
    }
    t->un64NowTick = un64Next;
    if (!VqxTimerSpillSlot(t, un32List)) {
      t->un64NowTick = un64Now;
      return false;
    }
  }
  return true;
}

VqxTimerIndexPos* VqxTimerAllocIndex(u32 un32Size) {
  const size_t uBytes = sizeof(VqxTimerIndexPos) * static_cast<size_t>(un32Size);
  VqxTimerIndexPos* pa;
  if (uBytes >= VQX_TIMER_HUGE_PAGE) {
    pa = static_cast<VqxTimerIndexPos*>(std::aligned_alloc(VQX_TIMER_HUGE_PAGE, uBytes)); /* a multiple of 2 MiB */
    if (pa != nullptr) madvise(pa, uBytes, MADV_HUGEPAGE); /* advice only */
  } else {
    pa = static_cast<VqxTimerIndexPos*>(std::malloc(uBytes));
  }
  if (pa == nullptr) return nullptr;
  for (u32 i = 0; i < un32Size; ++i) pa[i] = VqxTimerIndexPos{nullptr, VQX_TIMER_POS_EMPTY, 0};
  return pa;
}

inline void VqxTimerSetIndexSize(VQX_TIMER* t, u32 un32Size) {
  t->un32IndexSize = un32Size;
  t->un32IndexShift = 64u - static_cast<u32>(std::countr_zero(un32Size));
}

/* Index size for un32Records armed records right after a rebuild. */
u32 VqxTimerIndexSizeFor(u32 un32Records) {
  u32 un32Size = VQX_TIMER_MIN_INDEX;
  while (static_cast<u64>(un32Size) < static_cast<u64>(un32Records) * 2) un32Size *= 2;
  return un32Size;
}

/* Files every armed record again in a fresh index of un32Size positions.
 * false (nothing changed) without memory. */
bool VqxTimerRebuildIndex(VQX_TIMER* t, u32 un32Size) {
  VqxTimerIndexPos* paNew = VqxTimerAllocIndex(un32Size);
  if (paNew == nullptr) return false;
  std::free(t->paIndex);
  t->paIndex = paNew;
  VqxTimerSetIndexSize(t, un32Size);
  t->un32NbRemoved = 0;
  for (u32 l = 0; l < VQX_TIMER_NB_LISTS; ++l) {
    VqxTimerArray& a = t->aLists[l];
    for (u32 k = 0; k < a.un32Count; ++k) {
      VqxTimerEntry& e = a.pa[k];
      if (e.pRecord == nullptr) continue; /* hole of the expired list */
      u32 j = VqxTimerHome(t, e.pRecord);
      while (paNew[j].un32List != VQX_TIMER_POS_EMPTY) j = (j + 1) & (un32Size - 1);
      paNew[j] = VqxTimerIndexPos{e.pRecord, l, k};
      e.un32IndexPos = j;
    }
  }
  return true;
}

/* Extends a caller time to the wheel's 64-bit milliseconds. */
inline i64 VqxTimerDeltaMs(const VQX_TIMER* t, u32 un32TimeMs) {
  return static_cast<i32>(un32TimeMs - static_cast<u32>(t->un64NowMs));
}

/* Frees an index position, as a marker unless nothing probes past it. */
void VqxTimerReleasePos(VQX_TIMER* t, u32 un32Pos) {
  const u32 un32Mask = t->un32IndexSize - 1;
  VqxTimerIndexPos& p = t->paIndex[un32Pos];
  p.pRecord = nullptr;
  if (t->paIndex[(un32Pos + 1) & un32Mask].un32List == VQX_TIMER_POS_EMPTY) {
    p.un32List = VQX_TIMER_POS_EMPTY;
    for (u32 i = (un32Pos - 1) & un32Mask; t->paIndex[i].un32List == VQX_TIMER_POS_REMOVED; i = (i - 1) & un32Mask) {
      t->paIndex[i].un32List = VQX_TIMER_POS_EMPTY;
      --t->un32NbRemoved;
    }
  } else {
    p.un32List = VQX_TIMER_POS_REMOVED;
    ++t->un32NbRemoved;
  }
}

/* Slides the expired entries still to hand out to the front of their list,
 * dropping holes, so that a caller who never drains the list completely does
 * not make it grow without end. */
void VqxTimerCompactExpired(VQX_TIMER* t) {
  VqxTimerArray& a = t->aLists[VQX_TIMER_LIST_EXPIRED];
  u32 un32Out = 0;
  for (u32 k = t->un32ExpiredHead; k < a.un32Count; ++k) {
    if (a.pa[k].pRecord == nullptr) continue;
    a.pa[un32Out] = a.pa[k];
    t->paIndex[a.pa[un32Out].un32IndexPos].un32Entry = un32Out;
    ++un32Out;
  }
  a.un32Count = un32Out;
  t->un32ExpiredHead = 0;
}

/* Disarms the record at an index position: its entry leaves its list. */
void VqxTimerDisarm(VQX_TIMER* t, u32 un32Pos) {
  VqxTimerIndexPos& p = t->paIndex[un32Pos];
  VqxTimerArray& a = t->aLists[p.un32List];
  if (p.un32List == VQX_TIMER_LIST_EXPIRED) {
    a.pa[p.un32Entry].pRecord = nullptr; /* a hole keeps the order of the others */
    --t->un32NbExpired;
  } else {
    const u32 un32Last = --a.un32Count;
    if (p.un32Entry != un32Last) {
      a.pa[p.un32Entry] = a.pa[un32Last];
      t->paIndex[a.pa[p.un32Entry].un32IndexPos].un32Entry = p.un32Entry;
    }
    if (un32Last == 0) VqxTimerMapClear(t, p.un32List);
    --t->un32NbInWheel;
  }
  VqxTimerSetFlag(t, p.pRecord, 0);
  --t->un32NbArmed;
  VqxTimerReleasePos(t, un32Pos);
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
  /* The index holds the whole capacity at once. */
  const u32 un32Size = VqxTimerIndexSizeFor(t->un32Capacity);
  t->paIndex = VqxTimerAllocIndex(un32Size);
  if (t->paIndex == nullptr) {
    delete t;
    return nullptr;
  }
  VqxTimerSetIndexSize(t, un32Size);
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
  if (t->un32NbArmed >= t->un32Capacity) {
    if (VqxTimerFind(t, pRecord) != VQX_TIMER_NONE) return VQX_RESULT_ACCESS_DENIED;
    if (!t->fGrowable || t->un32Capacity >= VQX_TIMER_MAX_CAPACITY) return VQX_RESULT_OUT_OF_RESOURCE;
    const u32 un32NewCapacity = std::min(t->un32Capacity * 2, VQX_TIMER_MAX_CAPACITY);
    if (VqxTimerIndexSizeFor(un32NewCapacity) > t->un32IndexSize &&
        !VqxTimerRebuildIndex(t, VqxTimerIndexSizeFor(un32NewCapacity)))
      return VQX_RESULT_NOT_ENOUGH_MEMORY;
    t->un32Capacity = un32NewCapacity;
  }
  /* Records and markers together stay below three quarters of the index. */
  if (static_cast<u64>(t->un32NbArmed + t->un32NbRemoved + 1) * 4 > static_cast<u64>(t->un32IndexSize) * 3 &&
      !VqxTimerRebuildIndex(t, std::max(t->un32IndexSize, VqxTimerIndexSizeFor(t->un32NbArmed + 1))))
    return VQX_RESULT_NOT_ENOUGH_MEMORY;

  VqxTimerEntry e{pRecord, 0, 0, 0};
  if (n64Delta <= 0) {
    e.un64DueTick = t->un64NowTick;
  } else {
    const u64 un64DueMs = t->un64NowMs + static_cast<u64>(n64Delta);
    e.un64DueTick = (un64DueMs + t->un32ResolutionMs - 1) / t->un32ResolutionMs; /* never early */
  }
  const u32 un32List = VqxTimerListFor(e.un64DueTick, t->un64NowTick);

  /* One probe both refuses a record armed already and finds its position. */
  const u32 un32Mask = t->un32IndexSize - 1;
  u32 i = VqxTimerHome(t, pRecord);
  u32 un32Free = VQX_TIMER_NONE;
  for (u32 n = 0; n < t->un32IndexSize; ++n) {
    const VqxTimerIndexPos& p = t->paIndex[i];
    if (p.un32List == VQX_TIMER_POS_EMPTY) {
      if (un32Free == VQX_TIMER_NONE) un32Free = i;
      break;
    }
    if (p.un32List == VQX_TIMER_POS_REMOVED) {
      if (un32Free == VQX_TIMER_NONE) un32Free = i;
    } else if (p.pRecord == pRecord) {
      return VQX_RESULT_ACCESS_DENIED;
    }
    i = (i + 1) & un32Mask;
  }
  if (!VqxTimerReserve(t->aLists[un32List], 1)) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  if (t->paIndex[un32Free].un32List == VQX_TIMER_POS_REMOVED) --t->un32NbRemoved;
  t->paIndex[un32Free].pRecord = pRecord;
  e.un32IndexPos = un32Free;
  VqxTimerPush(t, un32List, e);
  ++t->un32NbArmed;
  VqxTimerSetFlag(t, pRecord, 1);
  return VQX_RESULT_OK;
}

VQX_RESULT VQXTimerInsert(HVQXTIMER hTimer, u32 un32DueTimeMs, void* pRecord) {
  return VQXTimerInsertNormalized(hTimer, un32DueTimeMs, pRecord, 0);
}

VQX_RESULT VQXTimerRemove(HVQXTIMER hTimer, void* pRecord) {
  if (!VqxTimerIsValid(hTimer) || pRecord == nullptr) return VQX_RESULT_NULL_PARAM;
  const u32 un32Pos = VqxTimerFind(hTimer, pRecord);
  if (un32Pos == VQX_TIMER_NONE) return VQX_RESULT_NOT_FOUND;
  VqxTimerDisarm(hTimer, un32Pos);
  return VQX_RESULT_OK;
}

VQX_RESULT VQXTimerPoll(HVQXTIMER hTimer, u32 un32NowMs, u32* pun32Count, void** apRecords) {
  if (!VqxTimerIsValid(hTimer) || pun32Count == nullptr) return VQX_RESULT_NULL_PARAM;
  VQX_TIMER* t = hTimer;
  VQX_RESULT result = VQX_RESULT_OK;
  const i64 n64Delta = VqxTimerDeltaMs(t, un32NowMs);
  if (n64Delta > 0) {
    const u64 un64NowMs = t->un64NowMs + static_cast<u64>(n64Delta);
    if (VqxTimerAdvance(t, un64NowMs / t->un32ResolutionMs)) {
      t->un64NowMs = un64NowMs;
    } else {
      /* The wheel stopped short: its time stays where its tick is. */
      if (t->un64NowTick * t->un32ResolutionMs > t->un64NowMs) t->un64NowMs = t->un64NowTick * t->un32ResolutionMs;
      result = VQX_RESULT_NOT_ENOUGH_MEMORY;
    }
  }
  if (apRecords == nullptr) {
    *pun32Count = t->un32NbExpired;
    return result;
  }
  VqxTimerArray& a = t->aLists[VQX_TIMER_LIST_EXPIRED];
  u32 un32Given = 0;
  while (un32Given < *pun32Count && t->un32NbExpired != 0) {
    VqxTimerEntry& e = a.pa[t->un32ExpiredHead++];
    if (e.pRecord == nullptr) continue;
    apRecords[un32Given++] = e.pRecord;
    VqxTimerSetFlag(t, e.pRecord, 0);
    --t->un32NbExpired;
    --t->un32NbArmed;
    VqxTimerReleasePos(t, e.un32IndexPos);
    e.pRecord = nullptr;
  }
  if (t->un32NbExpired == 0) {
    /* Nothing left to hand out: the list starts again from its beginning. */
    a.un32Count = 0;
    t->un32ExpiredHead = 0;
  } else if (t->un32ExpiredHead >= VQX_TIMER_COMPACT_AFTER && t->un32ExpiredHead * 2 >= a.un32Count) {
    VqxTimerCompactExpired(t);
  }
  *pun32Count = un32Given;
  return result;
}

VQX_RESULT VQXTimerDestroy(HVQXTIMER hTimer) {
  if (hTimer == nullptr) return VQX_RESULT_NULL_PARAM;
  if (hTimer->un32Magic != VQX_TIMER_MAGIC) return VQX_RESULT_INVALID_HANDLE;
  hTimer->un32Magic = VQX_TIMER_DEAD_MAGIC;
  for (auto& a : hTimer->aLists) std::free(a.pa);
  std::free(hTimer->paIndex);
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
    const VqxTimerArray& a = t->aLists[l];
    if (a.un32Count > a.un32Capacity) return VQX_RESULT_INVALID_STATE;
    u32 k = 0;
    if (l != VQX_TIMER_LIST_EXPIRED) {
      const u32 s = l % VQX_TIMER_SLOTS, lv = l / VQX_TIMER_SLOTS;
      const bool fMapped = ((t->aun64Map[lv][s / 64] >> (s % 64)) & 1) != 0;
      if (fMapped != (a.un32Count != 0)) return VQX_RESULT_INVALID_STATE;
    } else {
      if (t->un32ExpiredHead > a.un32Count) return VQX_RESULT_INVALID_STATE;
      for (; k < t->un32ExpiredHead; ++k)
        if (a.pa[k].pRecord != nullptr) return VQX_RESULT_INVALID_STATE; /* handed out already */
    }
    for (; k < a.un32Count; ++k) {
      const VqxTimerEntry& e = a.pa[k];
      if (e.pRecord == nullptr) {
        if (l != VQX_TIMER_LIST_EXPIRED) return VQX_RESULT_INVALID_STATE; /* holes only there */
        continue;
      }
      /* An entry sits where it would be filed now (expired ones may be older). */
      if (l == VQX_TIMER_LIST_EXPIRED) {
        if (e.un64DueTick > t->un64NowTick) return VQX_RESULT_INVALID_STATE;
        ++un32Expired;
      } else {
        if (VqxTimerListFor(e.un64DueTick, t->un64NowTick) != l) return VQX_RESULT_INVALID_STATE;
        ++un32InWheel;
      }
      if (VqxTimerFind(t, e.pRecord) != e.un32IndexPos) return VQX_RESULT_INVALID_STATE;
      const VqxTimerIndexPos& p = t->paIndex[e.un32IndexPos];
      if (p.un32List != l || p.un32Entry != k) return VQX_RESULT_INVALID_STATE;
    }
  }
  if (un32InWheel != t->un32NbInWheel || un32Expired != t->un32NbExpired ||
      un32InWheel + un32Expired != t->un32NbArmed || t->un32NbArmed > t->un32Capacity)
    return VQX_RESULT_INVALID_STATE;
  u32 un32Live = 0, un32Removed = 0, un32Empty = 0;
  for (u32 i = 0; i < t->un32IndexSize; ++i) {
    const u32 un32State = t->paIndex[i].un32List;
    un32Live += VqxTimerPosLive(t->paIndex[i]) ? 1 : 0;
    un32Removed += un32State == VQX_TIMER_POS_REMOVED ? 1 : 0;
    un32Empty += un32State == VQX_TIMER_POS_EMPTY ? 1 : 0;
  }
  if (un32Live != t->un32NbArmed || un32Removed != t->un32NbRemoved || un32Empty == 0 ||
      un32Live + un32Removed + un32Empty != t->un32IndexSize)
    return VQX_RESULT_INVALID_STATE;
  return VQX_RESULT_OK;
}
