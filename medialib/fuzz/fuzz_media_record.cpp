/*
 * Fuzz target for the expanded record: arbitrary 10416-byte records (the
 * input, cut or zero-filled) through validation, repair, packing and
 * unpacking, the expanded byte-order conversions, searches, merging, payload
 * types, set difference and the codec text.
 *
 * Invariants (a violation traps): no access outside the record or buffers;
 * a record that packs unpacks again; conversions to the other order and back
 * that succeed restore every byte.
 */
#include <cstdlib>
#include <vector>

#include "media_internal.h"

namespace {

void Check(bool f) {
  if (!f) std::abort();
}

_VQX_SDP_INFO* Copy(const _VQX_SDP_INFO* r) {
  _VQX_SDP_INFO* c = new _VQX_SDP_INFO;
  std::memcpy(c, r, sizeof *c);
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  _VQX_SDP_INFO* r = new _VQX_SDP_INFO;
  std::memset(r, 0, sizeof *r);
  std::memcpy(r, data, size < sizeof *r ? size : sizeof *r);
  if (VQXMediaLibIsCapabilitiesCompact(r)) r->un8NbMediaCapabilities = 0; /* an expanded record, not a blob */

  char sz[VQX_MEDIA_VALIDATE_TEXT_SIZE];
  VQXMediaValidateCapabilities(r, r, sz);
  u16 len = sizeof sz;
  VQXMediaLibCapabilitiesFormatCodecChoicesExpanded(r, sz, &len);

  std::vector<u32> blob(4096, 0);
  const u32 un32Room = size > 0 ? (data[0] | 1u) * 64u : 16384u;
  if (VQXMediaLibSdpInfoCompact(r, un32Room, reinterpret_cast<_VQX_SDP_INFO_COMPACT*>(blob.data())) == VQX_RESULT_OK) {
    _VQX_SDP_INFO* back = new _VQX_SDP_INFO;
    Check(VQXMediaLibSdpInfoExpand(reinterpret_cast<const _VQX_SDP_INFO_COMPACT*>(blob.data()), back) == VQX_RESULT_OK);
    delete back;
  }
  VQXMediaLibCapabilitiesCompact(r, un32Room, reinterpret_cast<_VQX_MEDIA_CAPABILITIES_COMPACT*>(blob.data()));

  _VQX_SDP_INFO *once = Copy(r), *twice = Copy(r);
  if (VQXMediaSDPInfoSwap(r, once, 2, 1) == VQX_RESULT_OK && VQXMediaSDPInfoSwap(once, twice, 1, 2) == VQX_RESULT_OK &&
      r->un8NbConnections <= VQX_MEDIA_MAX_CONNECTIONS)
    Check(std::memcmp(r, twice, sizeof *r) == 0);
  if (VQXMediaCapabilitiesSwap(r, once, 2, 1) == VQX_RESULT_OK && VQXMediaCapabilitiesSwap(once, twice, 1, 2) == VQX_RESULT_OK)
    Check(std::memcmp(r, twice, VQX_MEDIA_CAPABILITIES_SIZE) == 0);

  const _VQX_MEDIA_CAP* c = nullptr;
  const _VQX_SIMULTANEOUS_CAP* d = nullptr;
  u32 pos = 0;
  VQXMediaFindFirstCap(r, size > 4 ? data[4] : 0, size > 5 ? data[5] % 7 : 0, &c, &d, &pos);
  VQXMediaFindCapWithParams(r, size > 4 ? data[4] : 0, 0, &r->aMediaCap[0], nullptr, 0, &c, nullptr, &pos);
  VQXMediaCapabilitiesCompare(r, once);
  VQXSDPInfoCompare(r, once);

  std::memcpy(once, r, sizeof *r);
  VQXMediaLibMediaDescCapabilityAddAfter(r, once);
  VQXMediaLibAssignDynamicPayloadTypes(once, size > 6 ? data[6] : 0);
  _VQX_SIMULTANEOUS_CAP* desc = nullptr;
  VQXMediaLibMediaDescCreate(once, &desc);
  if (desc != nullptr) VQXMediaLibMediaDescCapabilityAdd(once, desc, &r->aMediaCap[0]);
  _VQX_MEDIA_CAP* cap = nullptr;
  u32 counter = 0;
  for (int i = 0; i < 40 && VQXMediaLibMediaDescCapabilityGetNext2(once, &once->aCapGroups[0].aSimultaneousCap[0], &counter, &cap) == VQX_RESULT_OK && cap; ++i) {
  }
  VQXMediaCapabilitiesNotExpanded(once, r, once);
  std::memcpy(twice, r, sizeof *r);
  VQXMediaRepairCapabilities(twice, sz);
  delete once;
  delete twice;
  delete r;
  return 0;
}
