/*
 * q931_ie_decode.cpp - fields of the richest Q.931 information elements:
 * bearer capability (ITU-T Q.931 4.5.5), low and high layer compatibility
 * (4.5.19, 4.5.17), network specific facilities (4.5.21) and the party
 * numbers (calling, called, redirecting: 4.5.10, 4.5.8, Q.952).
 *
 * Called by q931_decode.cpp after the IE's heading and length lines, with a
 * cursor bounded by the IE (octet 0 the identifier, octet 2 = octet 3 of the
 * IE). Optional octets are read only when the IE holds them.
 */
#include "sigtrace_decode.h"

namespace VQCAF {
namespace {

constexpr SVQSigTraceName s_aTransferCapability[] = {
    {0, "Speech"}, {8, "Unrestricted digital information"}, {9, "Restricted digital information"},
    {16, "3.1Khz audio"}, {17, "Unrestricted digital information with tones/anouncements"}, {24, "Video"},
};
constexpr SVQSigTraceName s_aTransferMode[] = {{0, "Circuit mode"}, {2, "Packet mode"}};
constexpr SVQSigTraceName s_aTransferRate[] = {
    {0, "Packet mode"}, {16, "64kbps"}, {17, "2x64kbps"}, {19, "384kbps"}, {21, "1536kbps"}, {23, "1920kbps"},
    {24, "Multirate"},
};
constexpr SVQSigTraceName s_aLayer1[] = {
    {1, "V.110, I.460, X.30"}, {2, "G.711 mlaw"}, {3, "G.711 Alaw"}, {4, "G.721 32kbps ADPCM and I.460"},
    {5, "H.221, H.242"}, {6, "H.223, H.245"}, {7, "Defined by user"}, {8, "V.120"}, {9, "X.31 HDLC flag stuffing"},
};
constexpr SVQSigTraceName s_aNetIdType[] = {
    {0, "User specified"}, {2, "National network identification"}, {3, "International network identification"},
};
constexpr SVQSigTraceName s_aNetIdPlan[] = {
    {0, "Unknown"}, {1, "Carrier identification code"}, {3, "Data network identification code"},
};
constexpr SVQSigTraceName s_aTypeOfNumber[] = {
    {0, "Unknown"}, {1, "International number"}, {2, "National number"}, {3, "Network specific"},
    {4, "Subscriber number"}, {6, "Abbreviated number"}, {7, "Reserved for extension"},
};
constexpr SVQSigTraceName s_aNumberingPlan[] = {
    {0, "Unknown"}, {1, "ISDN/telephony numbering plan"}, {3, "Data numbering plan"}, {4, "Telex numbering plan"},
    {8, "National standard numbering plan"}, {9, "Private numbering plan"}, {15, "Reserved for extension"},
};
constexpr SVQSigTraceName s_aPresentation[] = {
    {0, "Presentation allowed"}, {1, "Presentation restricted"}, {2, "Number not available due to internetworking"},
    {3, "Reserved"},
};
constexpr SVQSigTraceName s_aScreening[] = {
    {0, "User-provided, not screened"}, {1, "User-provided, verified and passed"},
    {2, "User-provided, verified and failed"}, {3, "Network provided"},
};
constexpr SVQSigTraceName s_aRedirectReason[] = {
    {1, "Call forwarding busy or called DTE busy"}, {2, "Call forwarding no reply"}, {4, "Call deflection"},
    {9, "Called DTE out of order"}, {10, "Call forwarding by the called DTE"},
    {15, "Call forwarding unconditionnal or systematic call redirection"},
};
constexpr SVQSigTraceName s_aHighLayer[] = {
    {1, "Telephony"}, {4, "Facsimile Group 2/3 (F.182)"}, {33, "Facsimile Group 4 Class I (F.184)"},
    {36, "Facsimile service group 4. Classes II ad III (F.184)"}, {50, "Syntax based Videotex (F.300, T.102)"},
    {51, "International Videotex (F.300, T.101)"}, {53, "Telex service"}, {56, "Message handgling system (X.400)"},
    {65, "OSI application (X.200)"}, {66, "FTAM application (ISO 8571)"}, {94, 95, "Unknown"},
    {96, "Videotelephony (F.720, F.721, F.731 profile 1a)"}, {97, "Videoconferencing (F.702, F.731 profile 1b"},
    {98, "Audiographic conferencing (F.702, F.731 some profiles"}, {99, 103, "Audiovisual service (F.700)"},
    {104, "Multimedia service"}, {105, 111, "Audiovisual service (F.700)"},
};

constexpr u32 kun32O3 = 2;
constexpr u32 kun32O4 = 3;
constexpr u8 kun8Ext = 0x80;
constexpr u32 kun32RateMultirate = 24;
constexpr u8 kun8IeCalling = 0x6C;
constexpr u8 kun8IeRedirecting = 0x74;

u32 IeEnd(const CVQSigTraceCursor& ie) { return 2u + ie.At(1); }

void DumpRest(CVQSigTraceText& out, const CVQSigTraceCursor& ie, u32 un32From, const char* pszPrefix) {
  const u32 un32End = IeEnd(ie);
  if (un32From < un32End) out.RawBuffer(pszPrefix, ie.Bytes(un32From, un32End - un32From), false);
}

void CodingAndCapability(CVQSigTraceText& out, u8 o3) {
  out.Field(o3, 0x60, "Coding Standard: ", VqSigTraceQ931CodingStandard((o3 >> 5) & 3u));
  out.Field(o3, 0x1F, "Information transfer capability: ", VqSigTraceName(s_aTransferCapability, o3 & 0x1Fu, "Unknown"));
}

/* Transfer mode and rate at un32Index, then the rate multiplier; returns
 * the index after them. */
u32 ModeAndRate(CVQSigTraceText& out, const CVQSigTraceCursor& ie, u32 un32Index) {
  const u8 o4 = ie.At(un32Index);
  out.Field(o4, 0x60, "Transfer mode: ", VqSigTraceName(s_aTransferMode, (o4 >> 5) & 3u, "Unknown"));
  out.Field(o4, 0x1F, "Information transfer rate: ", VqSigTraceName(s_aTransferRate, o4 & 0x1Fu, "Unknown"));
  ++un32Index;
  if ((o4 & 0x1Fu) == kun32RateMultirate) {
    const u8 un8Mult = ie.At(un32Index);
    out.Field(un8Mult, 0x7F, "Rate multiplier: ", SVQSigTraceDec{un8Mult & 0x7Fu});
    ++un32Index;
  }
  return un32Index;
}

}  // namespace

std::string_view VqSigTraceQ931NetIdType(u32 un32Value) { return VqSigTraceName(s_aNetIdType, un32Value, "Reserved"); }
std::string_view VqSigTraceQ931NetIdPlan(u32 un32Value) { return VqSigTraceName(s_aNetIdPlan, un32Value, "Reserved"); }

void VqSigTraceQ931BearerCapability(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  const u8 o3 = ie.At(kun32O3);
  CodingAndCapability(out, o3);
  u32 k = ModeAndRate(out, ie, kun32O4);
  /* Layer-1 octet 5 (layer identifier 01) is optional: read it only when
   * the IE holds it. */
  if ((o3 & 0x1Fu) == 0 && k < IeEnd(ie) && ((ie.At(k) >> 5) & 3u) == 1) {
    const u8 o5 = ie.At(k);
    out.Field(o5, 0x1F, "User information layer 1: ", VqSigTraceName(s_aLayer1, o5 & 0x1Fu, "Reserved"));
    ++k;
  }
  DumpRest(out, ie, k, "Extra bytes: ");
}

void VqSigTraceQ931LowLayerCompat(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  const u8 o3 = ie.At(kun32O3);
  CodingAndCapability(out, o3);
  u32 k = kun32O4;
  if ((o3 & kun8Ext) == 0) {
    const u8 o3a = ie.At(k);
    out.Field(o3a, 0x40, "Negociation indicator: ",
              (o3a & 0x40) ? "Out-band negotiation possible" : "Out-band negotiation not possible");
    ++k;
  }
  k = ModeAndRate(out, ie, k);
  DumpRest(out, ie, k, " Extra bytes: ");
}

void VqSigTraceQ931NetworkFacilities(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  const u8 un8NetIdLen = ie.At(kun32O3);
  out.Field(un8NetIdLen, 0xFF, "Length of network identification: ", SVQSigTraceDec{un8NetIdLen});
  if (un8NetIdLen != 0) {
    const u8 o4 = ie.At(kun32O4);
    out.Field(o4, 0x70, "Type of network identification: ", VqSigTraceQ931NetIdType((o4 >> 4) & 7u));
    out.Field(o4, 0x0F, "Network identification plan: ", VqSigTraceQ931NetIdPlan(o4 & 0x0Fu));
    if (ie.At(1) > 2) out.RawBuffer("Network identification: ", ie.Bytes(kun32O4 + 1, un8NetIdLen), false);
  }
  DumpRest(out, ie, kun32O4 + un8NetIdLen, "Network specific facilities: ");
}

void VqSigTraceQ931PartyNumber(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  const u8 un8Id = ie.At(0);
  const u8 o3 = ie.At(kun32O3);
  out.Field(o3, 0x70, "Type of number: ", VqSigTraceName(s_aTypeOfNumber, (o3 >> 4) & 7u, "Reserved"));
  out.Field(o3, 0x0F, "Numbering plan identification: ", VqSigTraceName(s_aNumberingPlan, o3 & 0x0Fu, "Reserved"));
  u32 k = kun32O4;
  if ((o3 & kun8Ext) == 0) {
    const u8 o3a = ie.At(k++);
    if (un8Id == kun8IeCalling && (o3a & kun8Ext) == 0) out.Append("ERROR -> Detected invalid extension bit in octet 3a (should be 1)\n");
    out.Field(o3a, 0x60, "Presentation indicator: ", VqSigTraceName(s_aPresentation, (o3a >> 5) & 3u, ""));
    out.Field(o3a, 0x03, "Screening indicator: ", VqSigTraceName(s_aScreening, o3a & 3u, ""));
    if (un8Id == kun8IeRedirecting && (o3a & kun8Ext) == 0) {
      const u8 o3b = ie.At(k++);
      if ((o3b & kun8Ext) == 0) out.Append("ERROR -> Detected invalid extension bit in octet 3b (should be 1)\n");
      out.Field(o3b, 0x0F, "Reason for redirection: ", VqSigTraceName(s_aRedirectReason, o3b & 0x0Fu, "Reserved"));
    }
  }
  out.Append("            Number: ");
  const u32 un32End = IeEnd(ie);
  for (; k < un32End; ++k) {
    const u8 c = ie.At(k);
    if ((c >= '0' && c <= '9') || c == '#') out.Str().push_back(static_cast<char>(c));
    else {
      out.Put(" [0x");
      out.PutHex2(c);
      out.Put("] ");
    }
  }
  out.Append("\n");
}

void VqSigTraceQ931HighLayerCompat(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  const u8 o3 = ie.At(kun32O3);
  out.Field(o3, 0x60, "Coding Standard: ", VqSigTraceQ931CodingStandard((o3 >> 5) & 3u));
  const u32 un32Interp = o3 & 0x1Cu;
  out.Field(o3, 0x1C, "Interpretation: ", un32Interp == 16 ? "Use first high layer characteristics" : "Reserved", "=",
            SVQSigTraceDec{un32Interp});
  const u32 un32Method = o3 & 0x03u;
  out.Field(o3, 0x03, "Presentation method of protocol profile: ", un32Method == 1 ? "High layer" : "Reserved", "=",
            SVQSigTraceDec{un32Method});
  const u8 o4 = ie.At(kun32O4);
  const u32 un32Char = o4 & 0x7Fu;
  out.Field(o4, 0x7F, "High layer Characteristics identification: ", VqSigTraceName(s_aHighLayer, un32Char, "Reserved"), "=",
            SVQSigTraceDec{un32Char});
  if ((un32Char >= 94 && un32Char <= 98) || un32Char == 104) {
    out.Field(ie.At(kun32O4 + 1), 0xFF, "Octet 4a");
  }
}

}  // namespace VQCAF
