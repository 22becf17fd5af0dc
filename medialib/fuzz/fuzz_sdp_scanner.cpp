/*
 * Fuzz target for the SDP scanner: any bytes, cut at their first NUL, cut
 * into tokens. Invariants (a violation traps): every token is at least one
 * byte long and inside the text, the tokens cover the text exactly, and the
 * codes are ones the scanner returns (never the media variants, IPv6, minus
 * or the end-of-message code inside the text); the parser's shortcuts for
 * the plainest tokens cut the same tokens.
 */
#include <cstdlib>
#include <string>

#include "sdp_parse_internal.h"
#include "sdp_token.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const char* p = text.c_str();
  const char* end = p + std::char_traits<char>::length(p);
  const char* start;
  for (int code; (code = VqxMedialibSdpTokenise(&p, end, &start)) != VQX_SDP_END;) {
    if (p <= start || p > end || code < VQX_SDP_CRLF || code > VQX_SDP_DELIM || code == VQX_SDP_EOM ||
        code == VQX_SDP_IP6ADDRESS || code == VQX_SDP_MATTRKEYWORD || code == VQX_SDP_MCONNKEYWORD ||
        code == VQX_SDP_MBWKEYWORD || code == VQX_SDP_MINFOKEYWORD || code == VQX_SDP_MKEYKEYWORD ||
        code == VQX_SDP_MINUS)
      std::abort();
  }
  if (p != end) std::abort();
  const char* q = text.c_str();
  p = text.c_str();
  for (int code;;) {
    const char *s1, *s2;
    code = VqxMedialibSdpTokenise(&p, end, &s1);
    if (VqxSdpCutToken(&q, end, &s2) != code || p != q || s1 != s2) std::abort();
    if (code == VQX_SDP_END) break;
  }
  return 0;
}
