/*
 * Fuzz target for the SDP parser on any bytes (cut at their first NUL), with
 * a small error buffer, then the generator on what was parsed, under every
 * flag combination the first byte picks. Invariants (a violation traps): the
 * parse answers success or a failed line, the error text stays terminated in
 * its buffer, the record's counts stay within its limits, the generator's
 * length is the text's; the same text fed to the grammar token by token
 * gives the same result, error text and record bytes (the line forms change
 * nothing).
 */
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "sdp_parse_internal.h"
#include "vqx_media_parse.h"

namespace {
void Check(bool f) {
  if (!f) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  auto r = std::make_unique<_VQX_SDP_INFO>();
  char err[97];
  const VQX_RESULT res = VQXMediaLibSdpParse2(text.c_str(), r.get(), 0, err, sizeof err, nullptr);
  Check(res == VQX_RESULT_OK || res == VQX_RESULT_INVALID_CONFIG);
  Check(std::char_traits<char>::length(err) < sizeof err);
  Check(r->un8NbMediaCapabilities <= VQX_MEDIA_MAX_CAPS && r->un8NbCapabilityGroups <= VQX_MEDIA_MAX_GROUPS);
  Check(r->un8NbConnections <= VQX_MEDIA_MAX_CONNECTIONS && r->aCapGroups[0].un8NbSimultaneousCap <= VQX_MEDIA_MAX_DESCS);
  auto ref = std::make_unique<_VQX_SDP_INFO>();
  char refErr[sizeof err];
  Check(VQXMediaLibSdpParse2(text.c_str(), ref.get(), VQX_SDP_PARSE_TOKENS, refErr, sizeof refErr, nullptr) == res);
  Check(std::strcmp(err, refErr) == 0 && std::memcmp(r.get(), ref.get(), sizeof *ref) == 0);
  static char out[0x10000];
  u16 len = size > 0 && (data[0] & 0x80) ? 300 : 0xFFFF;
  VQXMediaLibSdpExpandedGenerate(r.get(), out, &len, size > 0 ? data[0] & 0x3F : 0);
  Check(len == std::char_traits<char>::length(out));
  return 0;
}
