/*
 * fuzz_decoders.cpp - every text decoder and pcap framing of the trace
 * groups over arbitrary and truncated units. The first octets choose the
 * decoder and its parameters; the rest is the unit, copied into a block of
 * exactly its size so that any read past its end is caught.
 */
#include <cstring>
#include <memory>
#include <vector>

#include "sigtrace_decode.h"
#include "sigtrace_framing.h"

using namespace VQCAF;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t un64Size) {
  if (un64Size < 3) return 0;
  const u8 un8Which = pData[0];
  const u8 un8Param = pData[1];
  const u8 un8Param2 = pData[2];
  const u32 n = static_cast<u32>(un64Size - 3);
  std::unique_ptr<u8[]> p(new u8[n ? n : 1]);
  if (n) memcpy(p.get(), pData + 3, n);
  const CVQSigTraceCursor unit(n ? p.get() : nullptr, n);
  const u32 un32Variant = un8Param & 0x07;
  const u32 un32PcLength = (un8Param >> 3) & 0x03;
  const u32 fAnnexA = (un8Param >> 5) & 1;

  CVQSigTraceText text;
  std::vector<u8> v;
  switch (un8Which % 14) {
    case 0: VqSigTraceDecodeSs7(text, un32Variant, un32PcLength, fAnnexA, unit); break;
    case 1: VqSigTraceDecodeMtp3(text, un32Variant, un32PcLength, unit); break;
    case 2: VqSigTraceDecodeIsup(text, un32Variant, unit); break;
    case 3: VqSigTraceDecodeIsupOptions(text, unit); break;
    case 4: VqSigTraceDecodeSccp(text, un32Variant, unit); break;
    case 5: VqSigTraceDecodeQ921(text, unit); break;
    case 6: VqSigTraceDecodeQ931(text, unit); break;
    case 7: VqSigTraceDecodeMaintenance(text, unit); break;
    case 8: VqSigTraceFrameSs7(v, un8Param2, fAnnexA, un8Param & 1, unit); break;
    case 9: VqSigTraceFrameLapd(v, un8Param & 1, un8Param2, unit); break;
    case 10: {
      CVQSigTraceEntityParams e;
      e.mun32Trunk = un8Param2;
      e.mstrEthPort = std::string(un8Param % 41, 'i').c_str();
      e.mstrIpMask = (un8Param & 1) ? "10.0.0.1" : "";
      VqSigTraceFrameIua(v, e, un8Param2 & 1, unit);
      break;
    }
    case 11: VqSigTraceFrameH248(v, un8Param & 3, unit); break;
    case 12:
      VqSigTraceFrameTucl(v, un8Param & 3, un8Param2 & 3, (un8Param2 >> 2) & 3, "10.0.0.2", (un8Param & 4) ? "" : "10.0.0.1", 5060,
                          5061, unit);
      break;
    case 13:
      VqSigTracePrintableDump(text, unit.All(), un8Param & 1);
      VqSigTraceIpHexDump(text, unit.All());
      break;
  }
  return 0;
}
