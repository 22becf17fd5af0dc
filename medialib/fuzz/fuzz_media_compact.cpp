/*
 * Fuzz target for the compact forms: arbitrary bytes taken as a compact
 * capability set and as a compact blob, through both expanders (with the real
 * length), the compact searches, comparison, validation, repair, the codec
 * text and both compact byte-order conversions (in either source order).
 *
 * The public calls trust the size field for the buffer's length, so before
 * them the copy's size field is cut to the bytes there are (in the order the
 * call reads it) and the magic is set: the checks inside stay the fuzzer's.
 *
 * Invariants (a violation traps): no access outside the buffers; a
 * conversion to the other order and back that succeeds both ways restores
 * every byte of the form.
 */
#include <cstdlib>
#include <vector>

#include "media_internal.h"

namespace {

void Check(bool f) {
  if (!f) std::abort();
}

/* An aligned copy with its size field (read as fHost says) cut to n. */
std::vector<u32> Prepare(const u8* p, size_t n, bool fHost) {
  std::vector<u32> buf(n / 4 + 1, 0);
  u8* b = reinterpret_cast<u8*>(buf.data());
  std::memcpy(b, p, n);
  std::memcpy(b, VQX_MEDIA_COMPACT_MAGIC, 4);
  if (VqxLoad32Order(b + 4, fHost) > n) VqxStore32(b + 4, fHost ? static_cast<u32>(n) : __builtin_bswap32(static_cast<u32>(n)));
  return buf;
}

void RoundTrip(const std::vector<u32>& src, size_t n, bool fHost, bool fBlob) {
  std::vector<u32> once(src.size(), 0), twice(src.size(), 0);
  const u32 a = fHost ? 2 : 1, b = fHost ? 1 : 2;
  auto swap = fBlob ? VQXMediaSDPInfoCompactSwap : VQXMediaCapabilitiesCompactSwap;
  if (VQX_RESULT_FAILED(swap(src.data(), once.data(), a, b))) return;
  if (VQX_RESULT_FAILED(swap(once.data(), twice.data(), b, a))) return;
  const u32 un32Size = VqxMediaCompactSize(src.data(), fHost);
  Check(un32Size <= n && std::memcmp(src.data(), twice.data(), un32Size) == 0);
  std::vector<u32> inplace = src;
  swap(inplace.data(), inplace.data(), a, b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  _VQX_SDP_INFO* r = new _VQX_SDP_INFO;
  std::memset(r, 0, sizeof *r);
  (void)VqxMediaCapabilitiesExpandBytes(data, size, r);
  (void)VqxMediaSdpInfoExpandBytes(data, size, r);
  if (size >= 8) {
    for (bool fHost : {true, false}) {
      const std::vector<u32> buf = Prepare(data, size, fHost);
      RoundTrip(buf, size, fHost, false);
      RoundTrip(buf, size, fHost, true);
    }
    std::vector<u32> buf = Prepare(data, size, true);
    const void* p = buf.data();
    const _VQX_MEDIA_CAP* c = nullptr;
    const u16* port = nullptr;
    u32 pos = 0;
    const u32 type = size > 9 ? VqxLoad32(data + size - 4) % 1024 : 0;
    VQXMediaFindFirstCap2(p, type, data[size - 1] % 7, &c, &port, &pos);
    VQXMediaFindFirstCap2(p, VQX_MEDIA_TYPE_INVALID, 0, &c, &port, &pos);
    _VQX_MEDIA_CAP tmpl{}; /* a template is a whole capability */
    VqxMediaCompactSet view;
    if (VqxMediaCompactSetOpen(view, static_cast<const u8*>(p), size, true) == VQX_RESULT_OK && view.un32NbCaps > 0)
      view.CapCopy(0, &tmpl);
    VQXMediaFindCapWithParams(p, type, 0, &tmpl, nullptr, 0, &c, &port, &pos);
    VQXMediaFindCapByPayloadType(p, type % 128, &c);
    for (u32 i = 0; i < 40; ++i) {
      if (VQXMediaFindCapByIndex(p, i, &c) != VQX_RESULT_OK) break;
      u8 idx = 255;
      VQXMediaGetCapIndex(p, c, &idx);
      Check(idx == i);
    }
    u32 n = 0;
    for (c = VQXMediaGetNextCapability(p, nullptr); c != nullptr && n < 40; c = VQXMediaGetNextCapability(p, c)) ++n;
    Check(n <= VQX_MEDIA_MAX_CAPS);
    VQXMediaCapabilitiesCompareCompact(p, p);
    VQXMediaCapabilitiesCompare(p, r);
    VQXSDPInfoCompare(p, p);
    VQXSDPInfoCompare(p, r);
    char sz[VQX_MEDIA_VALIDATE_TEXT_SIZE];
    u16 len = sizeof sz;
    VQXMediaLibCapabilitiesFormatCodecChoices(p, sz, &len);
    VQXMediaValidateCapabilities(p, p, sz);
    VQXMediaRepairCapabilities(buf.data(), sz);
    VQXMediaCapabilitiesNot(p, p, r);
  }
  delete r;
  return 0;
}
