#include "support/sigtrace_test_trace.h"

#include <map>

#include "sigtrace_board_trace.h"

namespace sigtest {

using namespace VQCAF;

namespace {
std::string Hex(const void* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) s += kDigits[static_cast<const u8*>(p)[i] >> 4], s += kDigits[static_cast<const u8*>(p)[i] & 15];
  return s;
}
std::string Q(std::string_view s) { return "\"" + std::string(s) + "\""; }
std::string N(u64 n) { return std::to_string(n); }
}  // namespace

std::string TraceUnitJson(u32 un32NotifId, const std::vector<u8>& v) {
  const SVQTraceFamily* f = VqTraceFamilyOfNotif(un32NotifId);
  if (f == nullptr) return "not a notification";
  const CVQSigTraceCursor c(v.data(), static_cast<u32>(v.size()));
  std::string strError, strFamily = f->pszName;
  for (char& ch : strFamily) ch = static_cast<char>(tolower(ch));
  std::map<std::string, std::string> m{{"family", Q(strFamily)}};
  const auto Head = [&](const SVQTraceUnit& u) {
    m["unit"] = N(u.un32Unit), m["direction"] = N(u.un32Direction), m["data"] = Q(Hex(u.Data.data(), u.Data.size()));
  };
  VQX_RESULT r = VQX_RESULT_INVALID_PARAM;
  if (f->eFamily == EVQTraceFamily::Ss7) {
    SVQTraceSs7Unit u;
    if ((r = VqReadSs7TraceUnit(c, u, strError)) == VQX_RESULT_OK)
      Head(u), m["trunk"] = N(u.un32Trunk), m["mask"] = N(u.un32TimeslotMask), m["bits"] = N(u.un32BitMask),
          m["annex_a"] = N(u.fAnnexA), m["variant"] = N(u.un32Variant), m["pc_length"] = N(u.un32PcLength);
  } else if (f->eFamily == EVQTraceFamily::Lapd || f->eFamily == EVQTraceFamily::Isdn) {
    SVQTraceIsdnUnit u;
    r = f->eFamily == EVQTraceFamily::Lapd ? VqReadLapdTraceUnit(c, u, strError) : VqReadIsdnTraceUnit(c, u, strError);
    if (r == VQX_RESULT_OK)
      Head(u), m["trunk"] = N(u.un32Trunk), m["mask"] = N(u.un32TimeslotMask), m["bits"] = N(u.un32BitMask),
          m["side"] = N(u.un32Side);
  } else if (f->eFamily == EVQTraceFamily::Casr2) {
    SVQTraceCasr2Unit u;
    if ((r = VqReadCasr2TraceUnit(c, u, strError)) == VQX_RESULT_OK) {
      Head(u), m["trunk"] = N(u.un32Trunk), m["kind"] = N(u.un32Kind), m["timeslot"] = N(u.un32Timeslot),
          m["timestamp"] = N(u.un32Timestamp);
      m["data"] = Q(u.un32Kind == 1   ? Hex(&u.State, sizeof u.State)
                    : u.un32Kind == 2 ? Hex(&u.Tone, sizeof u.Tone)
                                      : Hex(&u.Bits, sizeof u.Bits));
    }
  } else {
    SVQTraceIpUnit u;
    if ((r = VqReadIpTraceUnit(c, u, strError)) == VQX_RESULT_OK)
      Head(u), m["context"] = N(u.un64TraceContextId), m["transport"] = N(u.un32Transport),
          m["protocol"] = N(u.un32Protocol), m["local_port"] = N(u.un32LocalPort),
          m["remote_port"] = N(u.un32RemotePort), m["time_ms"] = N(u.un32CapturedTimeMs),
          m["interface"] = Q(u.strInterface), m["remote"] = Q(u.strRemoteAddress), m["local"] = Q(u.strLocalAddress);
  }
  if (r != VQX_RESULT_OK) return r == VQX_RESULT_INVALID_PARAM && !strError.empty() ? "error: " + strError : "bad result";
  std::string s = "{";
  for (const auto& [k, val] : m) s += (s.size() > 1 ? ", \"" : "\"") + k + "\": " + val;
  return s + "}";
}

}  // namespace sigtest
