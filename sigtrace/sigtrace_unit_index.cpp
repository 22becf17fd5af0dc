/*
 * sigtrace_unit_index.cpp - the hashed index of traced entities by unit key
 * (sigtrace_unit_index.h). Main thread, application mutex held.
 */
#include "sigtrace_unit_index.h"

#include <assert.h>
#include <stdio.h>
#include <string.h>

namespace VQCAF {

namespace {

constexpr u32 kun32MinSlots = 16u;

bool BoardType(u32 un32Type) {
  return un32Type == VQ_SIGTRACE_TYPE_SS7 || un32Type == VQ_SIGTRACE_TYPE_LAPD || un32Type == VQ_SIGTRACE_TYPE_ISDN ||
         un32Type == VQ_SIGTRACE_TYPE_CASR2 || un32Type == VQ_SIGTRACE_TYPE_IP;
}

}  // namespace

SVQUnitKey VqBoardUnitKey(u32 un32Type, u32 hAdapter, u32 un32Trunk, u32 un32TimeslotMask) {
  SVQUnitKey K;
  K.un32Type = un32Type, K.hAdapter = hAdapter, K.un32Trunk = un32Trunk;
  K.un32TimeslotMask = un32Type == VQ_SIGTRACE_TYPE_CASR2 ? 0 : un32TimeslotMask;
  return K;
}

SVQUnitKey VqIpUnitKey(u32 hAdapter, u64 un64ContextId) {
  SVQUnitKey K;
  K.un32Type = VQ_SIGTRACE_TYPE_IP, K.hAdapter = hAdapter, K.un64ContextId = un64ContextId;
  return K;
}

CVQSigTraceUnitIndex::CVQSigTraceUnitIndex() { Size(kun32MinSlots); }

void CVQSigTraceUnitIndex::Reset(u32 un32Entities) {
  u32 un32Slots = kun32MinSlots;
  while (un32Slots < 2 * un32Entities) un32Slots *= 2;
  Size(un32Slots);
  mun32Entities = 0;
  mun32Adapters = 0;
  mfStale = false;
}

bool CVQSigTraceUnitIndex::AddAdapter(u32 hAdapter, const char* pszName) {
  if (mun32Adapters == VQ_SIGTRACE_INDEX_MAX_ADAPTERS || FindAdapter(hAdapter) != nullptr) return false;
  maAdapters[mun32Adapters++] = SAdapterRow{hAdapter, pszName};
  return true;
}

const char* CVQSigTraceUnitIndex::FindAdapter(u32 hAdapter) const {
  assert(!mfStale);
  for (u32 i = 0; i < mun32Adapters; i++)
    if (maAdapters[i].hAdapter == hAdapter) return maAdapters[i].pszName;
  return nullptr;
}

bool CVQSigTraceUnitIndex::KeyOf(const CVQSigTraceEntityParams& Entity, SVQUnitKey& Key) const {
  if (!BoardType(Entity.mun32Type)) return false;
  for (u32 i = 0; i < mun32Adapters; i++) {
    if (!(Entity.mstrAdapterName == maAdapters[i].pszName)) continue;
    Key = Entity.mun32Type == VQ_SIGTRACE_TYPE_IP
              ? VqIpUnitKey(maAdapters[i].hAdapter, Entity.mun64EntityId)
              : VqBoardUnitKey(Entity.mun32Type, maAdapters[i].hAdapter, Entity.mun32Trunk, Entity.mun32TimeslotMask);
    return true;
  }
  return false;
}

void CVQSigTraceUnitIndex::Size(u32 un32Slots) {
  mvSlots.assign(un32Slots, SSlot{});
  mun32SlotMask = un32Slots - 1;
  mun32Shift = 64;
  for (u32 n = un32Slots; n > 1; n >>= 1) mun32Shift--;
}

void CVQSigTraceUnitIndex::Grow() {
  std::vector<SSlot> vOld;
  vOld.swap(mvSlots);
  Size(static_cast<u32>(vOld.size() * 2));
  for (const SSlot& s : vOld)
    if (s.Entity.pGroup != nullptr) mvSlots[Probe(s.Key)] = s;
}

bool CVQSigTraceUnitIndex::AddEntity(const SVQUnitKey& Key, CVQSigTraceGrp* pGroup, u32 un32Position) {
  assert(pGroup != nullptr && !mfStale);
  if (2 * (mun32Entities + 1) > mvSlots.size()) Grow();
  SSlot& s = mvSlots[Probe(Key)];
  if (s.Entity.pGroup != nullptr) return false;
  s.Key = Key;
  s.Entity = SVQUnitEntity{pGroup, un32Position};
  mun32Entities++;
  return true;
}

bool CVQSigTraceUnitIndex::CheckInvariant() const {
  if (mfStale) return true;
  u32 un32Used = 0;
  for (u32 i = 0; i < mvSlots.size(); i++) {
    if (mvSlots[i].Entity.pGroup == nullptr) continue;
    un32Used++;
    if (Probe(mvSlots[i].Key) != i || mvSlots[i].Entity.un32Position == 0) return false;
  }
  const bool fPowerOfTwo = !mvSlots.empty() && (mvSlots.size() & (mvSlots.size() - 1)) == 0;
  return un32Used == mun32Entities && fPowerOfTwo && mun32SlotMask == mvSlots.size() - 1 &&
         (u64(1) << (64 - mun32Shift)) == mvSlots.size() && 2 * mun32Entities <= mvSlots.size();
}

std::string CVQSigTraceUnitIndex::Dump() const {
  std::string str = mfStale ? "stale\n" : "";
  char sz[160];
  for (u32 i = 0; i < mun32Adapters; i++) {
    snprintf(sz, sizeof(sz), "adapter 0x%08X %s\n", maAdapters[i].hAdapter, maAdapters[i].pszName);
    str += sz;
  }
  for (const SSlot& s : mvSlots) {
    if (s.Entity.pGroup == nullptr) continue;
    const SVQUnitKey& K = s.Key;
    snprintf(sz, sizeof(sz), "entity type %u adapter 0x%08X trunk %u mask 0x%08X context %llu -> %p #%u\n",
             K.un32Type, K.hAdapter, K.un32Trunk, K.un32TimeslotMask, static_cast<unsigned long long>(K.un64ContextId),
             static_cast<void*>(s.Entity.pGroup), s.Entity.un32Position);
    str += sz;
  }
  return str;
}

}  // namespace VQCAF
