/*
 * sigtrace_unit_index.h - where a board's trace unit goes: the traced entity
 * (its group and its 1-based position there) of every key a unit can carry,
 * found in constant time and without allocation.
 *
 * Model. The application rebuilds the index from its pools of adapters and
 * groups whenever one of them changed (an entity attached or detached, an
 * adapter added or removed, the clean-up) and it is marked stale; the unit
 * path then finds an entity by one hashed probe instead of walking every
 * adapter and every group. A key is the adapter handle, the group type and
 * the trunk and timeslot mask (SS7, LAPD, ISDN), the trunk alone (CAS R2),
 * or the trace context id (IP): the board is part of every key, so that a
 * unit is never written under another board's entity. When two entities share a key the
 * first one of the walk (groups in pool order, entities in group order)
 * keeps it, as the walk would find it first.
 *
 * What the index holds is borrowed: group pointers and adapter names stay
 * valid until the pools change, which marks it stale; nothing is read from
 * a stale index (the owner rebuilds it first).
 *
 * Threads: no lock inside; the application mutex guards it with the pools.
 */
#ifndef SIGTRACE_UNIT_INDEX_H
#define SIGTRACE_UNIT_INDEX_H

#include <string>
#include <vector>

#include "sigtrace_entity.h"
#include "vqx_types.h"

namespace VQCAF {

class CVQSigTraceGrp;

constexpr u32 VQ_SIGTRACE_INDEX_MAX_ADAPTERS = 32u; /* adapter rows of the index */

/* What identifies a unit's entity; fields a type does not use are 0. */
struct SVQUnitKey {
  u32 un32Type = 0;
  u32 hAdapter = 0;
  u32 un32Trunk = 0;
  u32 un32TimeslotMask = 0;
  u64 un64ContextId = 0;
  bool operator==(const SVQUnitKey&) const = default;
};

/* The key of a board unit of type un32Type (CAS R2 units name the trunk only). */
SVQUnitKey VqBoardUnitKey(u32 un32Type, u32 hAdapter, u32 un32Trunk, u32 un32TimeslotMask);
/* The key of an IP unit: its board and its trace context id (ids start at 1
 * in each run, and a board may still send under an earlier run's). */
SVQUnitKey VqIpUnitKey(u32 hAdapter, u64 un64ContextId);

/* An entity found: its group and its 1-based position (the SS7 link number). */
struct SVQUnitEntity {
  CVQSigTraceGrp* pGroup = nullptr; /* null: no entity */
  u32 un32Position = 0;
};

class CVQSigTraceUnitIndex {
 public:
  /* Empty and stale. */
  CVQSigTraceUnitIndex();
  /* Stale until the first Reset. */
  bool IsStale() const { return mfStale; }
  /* The pools changed: the owner rebuilds before the next lookup. */
  void Invalidate() { mfStale = true; }

  /* Empties the index, sized for un32Entities entity rows (more may be
   * added: it grows), and clears the stale flag. Keeps its storage. */
  void Reset(u32 un32Entities);
  /* Files an adapter by its handle; the first of a handle keeps it (false
   * for the later ones, and beyond VQ_SIGTRACE_INDEX_MAX_ADAPTERS). The name
   * is borrowed. */
  bool AddAdapter(u32 hAdapter, const char* pszName);
  /* The name of the adapter filed under hAdapter, or null. */
  const char* FindAdapter(u32 hAdapter) const;
  /* The key an entity's units carry: the handle of the adapter filed under
   * the entity's adapter name (case-sensitive) with, for IP, its trace
   * context id, for the other board types its trunk and timeslot mask. False
   * when its units cannot reach it: another type, or its adapter not filed. */
  bool KeyOf(const CVQSigTraceEntityParams& Entity, SVQUnitKey& Key) const;
  /* Files an entity under Key; false (the first kept) when Key is taken. */
  bool AddEntity(const SVQUnitKey& Key, CVQSigTraceGrp* pGroup, u32 un32Position);
  /* The entity filed under Key (pGroup null when none). Inline: once per unit. */
  SVQUnitEntity FindEntity(const SVQUnitKey& Key) const { return mvSlots[Probe(Key)].Entity; }
  u32 EntityCount() const { return mun32Entities; }

  /* Every row is found by its own key, the counts agree and the table
   * keeps a free slot; for tests. */
  bool CheckInvariant() const;
  /* One line per adapter and per entity row, for tests. */
  std::string Dump() const;

 private:
  struct SAdapterRow {
    u32 hAdapter;
    const char* pszName;
  };
  struct SSlot {
    SVQUnitKey Key;
    SVQUnitEntity Entity; /* pGroup null: slot free */
  };
  /* The slot of Key, or the free slot where it would go; bounded, the
   * table is never more than half full. */
  u32 Probe(const SVQUnitKey& Key) const {
    u32 i = Home(Key);
    while (mvSlots[i].Entity.pGroup != nullptr && !(mvSlots[i].Key == Key)) i = (i + 1) & mun32SlotMask;
    return i;
  }
  /* First slot tried for Key: the top bits of one multiplication of the key's
   * words folded together (a short chain, the lookup being once per unit). */
  u32 Home(const SVQUnitKey& K) const {
    const u64 a = ((u64(K.un32Trunk) << 32) | K.un32TimeslotMask) ^ K.un64ContextId;
    const u64 b = ((u64(K.hAdapter) << 32) | K.un32Type) * 0x9E3779B97F4A7C15ull;
    return static_cast<u32>(((a ^ b) * 0xBF58476D1CE4E5B9ull) >> mun32Shift);
  }
  /* un32Slots (a power of two) free slots. */
  void Size(u32 un32Slots);
  /* Doubles the slots and files the rows again. */
  void Grow();

  bool mfStale = true;
  SAdapterRow maAdapters[VQ_SIGTRACE_INDEX_MAX_ADAPTERS] = {};
  u32 mun32Adapters = 0;
  std::vector<SSlot> mvSlots; /* open addressing, linear probing; a power of two, at most half full */
  u32 mun32SlotMask = 0;      /* slots - 1 */
  u32 mun32Shift = 64;        /* 64 - log2(slots): Home keeps the top bits */
  u32 mun32Entities = 0;
};

}  // namespace VQCAF

#endif
