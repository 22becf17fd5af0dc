/*
 * Fuzz target for parse, generate, parse, generate: any bytes (cut at their
 * first NUL) parsed; when the generator accepts the record and the text fits
 * its buffer, that text must parse without a failed line and generate the
 * same text again. Flags come from the first byte, all but two whose text
 * is not meant to read back the same: "no session c=" (a record without
 * descriptions loses its session address, as no media block carries it) and
 * the H.263 frame lines (one a=framerate per block, from one capability,
 * reads back into every H.263 capability of the block).
 * The check also needs room for one fresh capability per format of a
 * description: the generated text gives directions per m= line, after it,
 * so a second parse may hold a description's formats in the default
 * direction before its direction line makes them equal to stored ones.
 */
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "vqx_media_parse.h"

namespace {
void Check(bool f) {
  if (!f) std::abort();
}
std::string Gen(const _VQX_SDP_INFO* r, u32 flags, VQX_RESULT* pRes) {
  static char out[0x10000];
  u16 len = 0xFFFF;
  *pRes = VQXMediaLibSdpExpandedGenerate(r, out, &len, flags);
  return std::string(out, len);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  auto r = std::make_unique<_VQX_SDP_INFO>();
  VQXMediaLibSdpParse(text.c_str(), r.get(), 0, nullptr);
  const u32 flags = size > 0 ? data[0] & 0x36 : 0;
  VQX_RESULT res;
  const std::string first = Gen(r.get(), flags, &res);
  u32 un32MaxChoices = 0;
  for (u32 g = 0; g < r->un8NbCapabilityGroups && g < VQX_MEDIA_MAX_GROUPS; ++g)
    for (u32 d = 0; d < r->aCapGroups[g].un8NbSimultaneousCap && d < VQX_MEDIA_MAX_DESCS; ++d)
      un32MaxChoices = std::max<u32>(un32MaxChoices, r->aCapGroups[g].aSimultaneousCap[d].un8NbChoices);
  if (res != VQX_RESULT_OK || first.size() >= 0xFFFE || r->un8NbMediaCapabilities + un32MaxChoices > VQX_MEDIA_MAX_CAPS)
    return 0;
  char err[512];
  Check(VQXMediaLibSdpParse2(first.c_str(), r.get(), 0, err, sizeof err, nullptr) == VQX_RESULT_OK);
  const std::string second = Gen(r.get(), flags, &res);
  Check(res == VQX_RESULT_OK && second == first);
  return 0;
}
