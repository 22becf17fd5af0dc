/*
 * ss7_decode.cpp - MTP2 and MTP3 text decoding of one SS7 signal unit.
 *
 * Called by the trace group for every SS7 unit of a text group. The MTP2
 * header (ITU-T Q.703, basic or Annex A extended format) gives the unit
 * kind; an MSU goes on to MTP3 (Q.704 routing label, ITU 14/24-bit or ANSI
 * 14/24-bit point codes), which hands ISUP and SCCP user parts to
 * isup_decode.cpp. Multi-octet fields are little-endian as on the link.
 */
#include <iterator>

#include "sigtrace_decode.h"

namespace VQCAF {
namespace {

constexpr u32 kun32Mtp2BasicHeader = 3;
constexpr u32 kun32Mtp2ExtendedHeader = 6;
constexpr u8 kun8LiMask = 0x3F;

constexpr SVQSigTraceName s_aLssuStatus[] = {
    {0, "SIO: Out of alignment  "}, {1, "SIN: Normal alignment  "}, {2, "SIE: Emergency         "},
    {3, "SIOS: Out of service   "}, {4, "SIPO: Processor outage "}, {5, "SIB: Busy              "},
    {6, "Unknown (val=6)        "}, {7, "Unknown (val=7)        "},
};

constexpr SVQSigTraceName s_aNetworkIndicator[] = {
    {0, "INTERNAT"}, {1, "SPARE"}, {2, "NATIONAL"}, {3, "NAT. RESERVED"},
};

constexpr SVQSigTraceName s_aServiceIndicator[] = {
    {0, " Signaling Network Management Message (SNM) "},
    {1, " Maintenance Regular Message (MTN/SNT) "},
    {2, " Maintenance Special Message (MTNS) "},
    {3, " Signaling Connection Control Part (SCCP) "},
    {4, " Telephone User Part (TUP) "},
    {5, " ISDN User Part (ISUP) "},
    {6, " Data User Part (call and circuit-related messages) "},
    {7, " Data User Part (facility reg/cancel messages) "},
};

constexpr SVQSigTraceName s_aMaintenanceMsg[] = {
    {0x11, "SLTM: Signalling Link Test Message"},
    {0x21, "SLTA: Signalling Link Test Acknowledgment"},
};

constexpr SVQSigTraceName s_aSnmMsg[] = {
    {0x11, "COO: Changeover-order signal"},
    {0x21, "COA: Changeover-acknowledgment signal"},
    {0x51, "CBD: Changeback-declaration signal"},
    {0x61, "CBA: Changeback-acknowledgment signal"},
    {0x12, "ECO: Emergency-changeover-order signal"},
    {0x22, "ECA: Emergency-changeover-acknowledgment signal"},
    {0x13, "RCT: Signalling-route-set-congestion-test signal"},
    {0x23, "TFC: Transfer-controlled signal"},
    {0x14, "TFP: Transfer-prohibited signal"},
    {0x24, "TCP: Transfer-cluster-prohibited signal"},
    {0x34, "TFR: Transfer-restricted signal"},
    {0x44, "TCR: Transfer-cluster-restricted signal"},
    {0x54, "TFA: Transfer-allowed signal"},
    {0x64, "TCA: Transfer-cluster-allowed signal"},
    {0x15, "RSP: Signalling-route-set-test prohibited signal"},
    {0x25, "RSR: Signalling-route-set-test restricted signal"},
    {0x35, "RCP: Signalling-route-set-test cluster-prohibited signal"},
    {0x45, "RCR: Signalling-route-set-test cluster-restricted signal"},
    {0x16, "LIN: Link inhibit message"},
    {0x26, "LUN: Link uninhibit message"},
    {0x36, "LIA: Link inhibit acknowledgment message"},
    {0x46, "LUA: Link uninhibit acknowledgment"},
    {0x56, "LID: Link inhibit denied message"},
    {0x66, "LFU: Link forced uninhibit message"},
    {0x76, "LLI: Link local inhibit test signal"},
    {0x86, "LRI: Link remote inhibit test signal"},
    {0x17, "TRA: Traffic restart allowed signal"},
    {0x27, "TRW: Traffic restart waiting signal"},
    {0x18, "DLC: Signalling-data-link-connection-order signal"},
    {0x28, "CSS: Connection successful signal"},
    {0x38, "ENS: Signalling-data-link-connection-order signal"},
    {0x48, "CNP: Connection-not-possible signal"},
    {0x1A, "UPU: User part unavailable signal"},
};
static_assert(std::size(s_aSnmMsg) == 33);

constexpr SVQSigTraceName s_aTupMsg[] = {
    {0x11, "IAM: Initial address message"},
    {0x12, "IAI: Initial address message with additional information"},
    {0x13, "SAM: Subsequent address message"},
    {0x14, "SAO: Subsequent address message with one signal"},
    {0x21, "GSM: General forward set-up information message"},
    {0x23, "COT: Continuity signal"},
    {0x24, "CCF: Continuity failure signal"},
    {0x31, "GRQ: General request message"},
    {0x41, "ACM: Address complete message"},
    {0x42, "CHG: Charging message"},
    {0x51, "SEC: Switching-equipment-congestion signal"},
    {0x52, "CGC: Circuit-group-congestion signal"},
    {0x53, "NNC: National-network-congestion signal"},
    {0x54, "ADI: Address incomplete signal"},
    {0x55, "CFL: Call failure signal"},
    {0x56, "SSB: Subscriber-busy signal (electrical)"},
    {0x57, "UNN: Unallocated number signal"},
    {0x58, "LOS: Line-out-of-service signal"},
    {0x59, "SST: Send-special-information tone signal"},
    {0x5A, "ACB: Access barred signal"},
    {0x5B, "DPN: Digital path not provided signal"},
    {0x5C, "MPR: Misdialed trunk prefix"},
    {0x5F, "EUM: Extended unsuccessful backward set-up information message"},
    {0x60, "ANU: Answer signal, unqualified"},
    {0x61, "ANC: Answer signal, charge"},
    {0x62, "ANN: Answer signal, no charge"},
    {0x63, "CBK: Clear-back signal"},
    {0x64, "CLF: Clear-forward signal"},
    {0x65, "RAN: Reanswer signal"},
    {0x66, "FOT: Forward-transfer signal"},
    {0x67, "CCL: Calling party clear signal"},
    {0x71, "RLG: Release-guard signal"},
    {0x72, "BLO: Blocking signal"},
    {0x73, "BLA: Blocking-acknowledgment signal"},
    {0x74, "UBL: Unblocking signal"},
    {0x75, "UBA: Unblocking-acknowledgment signal"},
    {0x76, "CCR: Continuity-check-request signal"},
    {0x77, "RSC: Reset-circuit signal"},
    {0x81, "MGB: Maintenance oriented group blocking message"},
    {0x82, "MBA: Maintenance oriented group blocking acknowledgment message"},
    {0x83, "MGU: Maintenance oriented group unblocking message"},
    {0x84, "MUA: Maintenance oriented group unblocking acknowledgment message"},
    {0x85, "HGB: Hardware generated group blocking message"},
    {0x86, "HBA: Hardware generated group blocking-acknowledgment message"},
    {0x87, "HGU: Hardware failure oriented group unblocking message"},
    {0x88, "HUA: Hardware failure oriented group unblocking acknowledgment message"},
    {0x89, "GRS: Circuit group reset message"},
    {0x8A, "GRA: Circuit group reset-acknowledgment message"},
    {0x8B, "SGB: Software generated group blocking message"},
    {0x8C, "SBA: Software generated group blocking-acknowledgment message"},
    {0x8D, "SGU: Software generated group unblocking message"},
    {0x8E, "SUA: Software generated group unblocking-acknowledgment"},
    {0xA1, "ACC: Automatic congestion control information message"},
};
static_assert(std::size(s_aTupMsg) == 53);

/* Service indicators (SIO bits 0-3). */
constexpr u32 kun32SiSnm = 0;
constexpr u32 kun32SiMtn = 1;
constexpr u32 kun32SiMtns = 2;
constexpr u32 kun32SiSccp = 3;
constexpr u32 kun32SiTup = 4;
constexpr u32 kun32SiIsup = 5;

/* One routing-label format: its title, sizes and error line. */
struct SLabelFormat {
  const char* pszTitle;
  u32 un32MinLength;  /* whole MTP3 frame, SIO included */
  u32 un32Dumped;     /* label octets dumped after the SIO */
  u32 un32HeaderSize; /* SIO plus label */
  const char* pszTooSmall;
};
constexpr SLabelFormat s_Itu24 = {"[ITU 24 bits]", 9, 7, 8,
                                  "\nError: MTP3 frame (size=%u) too small for ITU 24 bits DPC\n"};
constexpr SLabelFormat s_Itu14 = {"[ITU 14 bits]", 6, 4, 5,
                                  "\nError: MTP3 frame (size=%u) too small for ITU 14 bits DPC\n"};
constexpr SLabelFormat s_Ansi14 = {"[ANSI 14 bits]", 7, 5, 6,
                                   "\nError: MTP3 frame (size=%u) too small for ANSI 14 bits DPC\n"};
constexpr SLabelFormat s_Ansi24 = {"[ANSI 24 bits]", 9, 7, 8,
                                   "\nError: MTP3 frame (size=%u) too small for ANSI 24 bits DPC\n"};

/* 14-bit point codes of the ITU label: DPC in octets 1-2, OPC across 2-4. */
u32 Dpc14(const CVQSigTraceCursor& m) { return (m.At(2) & 0x3Fu) * 256u + m.At(1); }
u32 Opc14(const CVQSigTraceCursor& m) { return 4u * m.At(3) + (m.At(2) >> 6) + (m.At(4) & 0x0Fu) * 1024u; }

/* "<title><pc> (Zn-Net-Sp=<zone>-<net>-<sp>)" and "<title><zone>.<net>.<sp>". */
void PointCode(CVQSigTraceText& out, std::string_view title, u32 un32Pc, u32 un32Zone, u32 un32Net, u32 un32Sp) {
  out.Put(title, SVQSigTraceDec{un32Pc}, " (Zn-Net-Sp=", SVQSigTraceDec{un32Zone}, '-', SVQSigTraceDec{un32Net}, '-',
          SVQSigTraceDec{un32Sp}, ')');
}
void Dotted(CVQSigTraceText& out, std::string_view title, u32 un32Zone, u32 un32Net, u32 un32Sp) {
  out.Put(title, SVQSigTraceDec{un32Zone}, '.', SVQSigTraceDec{un32Net}, '.', SVQSigTraceDec{un32Sp});
}

void DecodeLabel(CVQSigTraceText& out, const SLabelFormat& fmt, const CVQSigTraceCursor& m) {
  out.Append(fmt.pszTitle);
  if (&fmt == &s_Itu24) {
    const u32 un32Dpc = m.At(1) + 256u * m.At(2) + 65536u * m.At(3);
    const u32 un32Opc = m.At(4) + 256u * m.At(5) + 65536u * m.At(6);
    PointCode(out, "\nDPC=", un32Dpc, m.At(3), m.At(2), m.At(1));
    PointCode(out, "\nOPC=", un32Opc, m.At(6), m.At(5), m.At(4));
    out.Put("\nSLS=", SVQSigTraceDec{m.At(7) & 0x0Fu});
  } else if (&fmt == &s_Itu14) {
    const u32 un32Dpc = Dpc14(m), un32Opc = Opc14(m);
    PointCode(out, "\nDPC=", un32Dpc, un32Dpc >> 11, (un32Dpc >> 3) & 0xFF, un32Dpc & 7);
    PointCode(out, "\nOPC=", un32Opc, un32Opc >> 11, (un32Opc >> 3) & 0xFF, un32Opc & 7);
    out.Put("\nSLS=", SVQSigTraceDec{static_cast<u32>(m.At(4) >> 4)});
  } else if (&fmt == &s_Ansi14) {
    const u32 un32Dpc = Dpc14(m), un32Opc = Opc14(m);
    Dotted(out, "\nDPC ", un32Dpc >> 11, (un32Dpc >> 3) & 0xFF, un32Dpc & 7);
    Dotted(out, "\nOPC ", un32Opc >> 11, (un32Opc >> 3) & 0xFF, un32Opc & 7);
    out.Put("\nSLS=", SVQSigTraceDec{m.At(5)});
  } else {
    Dotted(out, "\nDPC ", m.At(3), m.At(2), m.At(1));
    Dotted(out, "\nOPC ", m.At(6), m.At(5), m.At(4));
    out.Put("\nSLS=", SVQSigTraceDec{m.At(7)});
  }
}

}  // namespace

u32 VqSigTraceDecodeMtp3(CVQSigTraceText& out, u32 un32Variant, u32 un32PcLength, const CVQSigTraceCursor& m) {
  try {
    const u8 un8Sio = m.At(0);
    const u32 un32Si = un8Sio & 0x0F;
    out.Put(" Sub=", SVQSigTraceDec{(un8Sio >> 4) & 3u}, ' ', VqSigTraceName(s_aNetworkIndicator, un8Sio >> 6, ""),
            VqSigTraceName(s_aServiceIndicator, un32Si, ""));
    if (un32PcLength < VQ_SS7_PC_LENGTH_14 || un32PcLength > VQ_SS7_PC_LENGTH_24) {
      /* The value as the board's signed field. */
      const bool fNegative = static_cast<i32>(un32PcLength) < 0;
      out.Put("\nWARNING DPC length not set (value=", fNegative ? "-" : "", SVQSigTraceDec{fNegative ? 0u - un32PcLength : un32PcLength},
              "), fix this please WARNING");
    }
    const SLabelFormat* pFmt = nullptr;
    switch (un32Variant) {
      case VQ_SS7_VARIANT_ITU_1:
      case VQ_SS7_VARIANT_ITU_2: pFmt = un32PcLength == VQ_SS7_PC_LENGTH_24 ? &s_Itu24 : &s_Itu14; break;
      case VQ_SS7_VARIANT_ANSI_1:
      case VQ_SS7_VARIANT_ANSI_2: pFmt = un32PcLength == VQ_SS7_PC_LENGTH_14 ? &s_Ansi14 : &s_Ansi24; break;
      default:
        if (un32Variant == VQ_SS7_VARIANT_TTC) out.Append("\n[TTC 16 bits]\n");
        else if (un32Variant == VQ_SS7_VARIANT_NTT) out.Append("\n[NTT 16 bits]\n");
        else out.Put("\n[Unknown protocol variant ", SVQSigTraceDec{un32Variant}, ']');
        out.RawBuffer("Raw data:\n", m.Tail(1).All(), true);
        return VQX_RESULT_OK;
    }
    if (m.Size() < pFmt->un32MinLength) {
      out.Appendf(pFmt->pszTooSmall, m.Size());
      return VQX_RESULT_FAIL;
    }
    out.RawBuffer("\nMTP3 Header: ", m.Bytes(1, pFmt->un32Dumped), false);
    DecodeLabel(out, *pFmt, m);

    const CVQSigTraceCursor up = m.Tail(pFmt->un32HeaderSize);
    switch (un32Si) {
      case kun32SiIsup: return VqSigTraceDecodeIsup(out, un32Variant, up);
      case kun32SiSccp: return VqSigTraceDecodeSccp(out, un32Variant, up);
      case kun32SiSnm:
      case kun32SiMtn:
      case kun32SiMtns:
      case kun32SiTup: {
        const u8 un8Code = up.At(0);
        std::string_view name;
        if (un32Si == kun32SiSnm) name = VqSigTraceName(s_aSnmMsg, un8Code, "Unknown");
        else if (un32Si == kun32SiTup) name = VqSigTraceName(s_aTupMsg, un8Code, "Unknown");
        else name = VqSigTraceName(s_aMaintenanceMsg, un8Code, "Unknown");
        out.Put("\nMSG=0x", SVQSigTraceHex{un8Code, 2}, " : ", name, '\n');
        break;
      }
      default: break;
    }
    out.RawBuffer("Raw data:\n", up.All(), true);
  } catch (const CVQSigTraceTruncated& t) {
    out.Truncated(t);
  }
  return VQX_RESULT_OK;
}

u32 VqSigTraceDecodeSs7(CVQSigTraceText& out, u32 un32Variant, u32 un32PcLength, u32 fAnnexA, const CVQSigTraceCursor& su) {
  try {
    u32 un32Bsn, un32Bib, un32Fsn, un32Fib, un32Li, un32Spare, un32Header, un32Status;
    if (fAnnexA == 0) {
      un32Bsn = su.At(0) & 0x7Fu;
      un32Bib = su.At(0) >> 7;
      un32Fsn = su.At(1) & 0x7Fu;
      un32Fib = su.At(1) >> 7;
      un32Li = su.At(2) & kun8LiMask;
      un32Spare = su.At(2) >> 6;
      un32Header = kun32Mtp2BasicHeader;
    } else {
      un32Bsn = (su.At(0) + 256u * su.At(1)) & 0x7FFFu;
      un32Bib = su.At(1) >> 7;
      un32Fsn = (su.At(2) + 256u * su.At(3)) & 0x7FFFu;
      un32Fib = su.At(3) >> 7;
      un32Li = su.At(4) + 256u * su.At(5);
      un32Spare = 0;
      un32Header = kun32Mtp2ExtendedHeader;
    }
    un32Status = un32Header; /* the status octet follows the header */
    out.Put("BSN(", SVQSigTraceDec{un32Bib}, '/', SVQSigTraceDec{un32Bsn, 3}, ") FSN(", SVQSigTraceDec{un32Fib}, '/',
            SVQSigTraceDec{un32Fsn, 3}, ") li=(", SVQSigTraceDec{un32Spare}, '/', SVQSigTraceDec{un32Li, 2}, ") ");
    if (un32Li == 0) {
      out.Append("[FISU]\n\n");
    } else if (un32Li <= 2) {
      out.Append("[LSSU] ");
      out.Put(VqSigTraceName(s_aLssuStatus, su.At(un32Status) & 7u, ""));
      if (un32Li == 2) out.Put("Stat2 = ", SVQSigTraceDec{su.At(un32Status + 1)});
      out.Append("\n\n");
    } else {
      out.Append("[MSU]");
      if (su.Size() > un32Header) {
        VqSigTraceDecodeMtp3(out, un32Variant, un32PcLength, su.Tail(un32Header));
        out.Append("\n");
      } else {
        out.Append("Error detected\n\n");
      }
    }
  } catch (const CVQSigTraceTruncated& t) {
    out.Truncated(t);
    out.Append("\n");
  }
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
