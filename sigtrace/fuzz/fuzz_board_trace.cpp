// The board's trace unit readers and the answer reader over any payload.
// Input: byte 0 picks the reader, the rest is the payload. A read that
// succeeds must have checked what the page promises: the payload exactly the
// padded size of its data, the data inside the payload, texts inside their
// fields; a refusal must say why.
#include <cstdlib>
#include <vector>

#include "sigtrace_board_trace.h"

namespace {

using namespace VQCAF;

void Check(bool f) {
  if (!f) abort();
}

/* The data view lies at the family's offset and the payload ends at its padding. */
void CheckUnit(const SVQTraceUnit& u, const std::vector<u8>& v, EVQTraceFamily e) {
  const SVQTraceFamily& f = VqTraceFamily(e);
  Check(u.Data.data() == v.data() + f.un32DataOffset);
  Check(!u.Data.empty() && u.Data.size() <= f.un32MaxData);
  Check(v.size() == ((f.un32DataOffset + u.Data.size() + 7) & ~size_t{7}));
  Check(u.un32Direction <= 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  if (nSize < 1) return 0;
  /* A copy of exactly the payload, so that a read past it is caught. */
  const std::vector<u8> v(pData + 1, pData + nSize);
  const CVQSigTraceCursor c(v.data(), static_cast<u32>(v.size()));
  std::string strError;
  VQX_RESULT r = VQX_RESULT_OK;
  switch (pData[0] % 6) {
    case 0: {
      SVQTraceSs7Unit u;
      if ((r = VqReadSs7TraceUnit(c, u, strError)) == VQX_RESULT_OK) {
        CheckUnit(u, v, EVQTraceFamily::Ss7);
        Check(u.un32BitMask <= 0xFF && u.fAnnexA <= 1 && (u.un32PcLength == 14 || u.un32PcLength == 24));
      }
      break;
    }
    case 1:
    case 2: {
      SVQTraceIsdnUnit u;
      const bool fLapd = pData[0] % 6 == 1;
      r = fLapd ? VqReadLapdTraceUnit(c, u, strError) : VqReadIsdnTraceUnit(c, u, strError);
      if (r == VQX_RESULT_OK) {
        CheckUnit(u, v, fLapd ? EVQTraceFamily::Lapd : EVQTraceFamily::Isdn);
        Check(u.un32BitMask <= 0xFF && (u.un32Side == 1 || u.un32Side == 2));
      }
      break;
    }
    case 3: {
      SVQTraceCasr2Unit u;
      if ((r = VqReadCasr2TraceUnit(c, u, strError)) == VQX_RESULT_OK) {
        CheckUnit(u, v, EVQTraceFamily::Casr2);
        Check(u.un32Kind >= 1 && u.un32Kind <= 3 && u.un32Timeslot <= 31);
      }
      break;
    }
    case 4: {
      SVQTraceIpUnit u;
      if ((r = VqReadIpTraceUnit(c, u, strError)) == VQX_RESULT_OK) {
        CheckUnit(u, v, EVQTraceFamily::Ip);
        for (std::string_view s : {u.strInterface, u.strRemoteAddress, u.strLocalAddress}) {
          Check(s.size() < VQ_TRACE_TEXT_SIZE);
          Check(reinterpret_cast<const u8*>(s.data()) >= v.data() &&
                reinterpret_cast<const u8*>(s.data()) + s.size() < v.data() + v.size());
          Check(s.data()[s.size()] == '\0');
        }
        Check(u.un32Transport <= 3 && (u.un32Protocol == 1 || u.un32Protocol == 2));
      }
      break;
    }
    default: {
      i32 n32Result = 0;
      r = VqReadTraceAnswer(c, n32Result, strError);
      Check(r != VQX_RESULT_OK || v.size() >= 16);
      break;
    }
  }
  Check(r == VQX_RESULT_OK ? strError.empty() : (r == VQX_RESULT_INVALID_PARAM && !strError.empty()));
  return 0;
}
