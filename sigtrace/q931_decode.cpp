/*
 * q931_decode.cpp - Q.931 message text decoding (ITU-T Q.931 4.2-4.6).
 *
 * Called by the Q.921 decoder for an I frame whose protocol discriminator is
 * 8. Writes the call reference, the message type, then walks the information
 * elements: codeset shifts (locking and non-locking, 4.5.2-4.5.3),
 * single-octet IEs, and the codeset-0 IEs of the table below, each read
 * through a cursor bounded by the IE's own length. The richest IEs (bearer
 * capability, compatibilities, facilities, numbers) are in q931_ie_decode.cpp.
 */
#include <array>
#include <iterator>

#include "sigtrace_decode.h"

namespace VQCAF {
namespace {

constexpr SVQSigTraceName s_aMessageType[] = {
    {0x01, "ALERTING"}, {0x02, "CALL_PROCEEDING"}, {0x07, "CONNECT"}, {0x0F, "CONNECT_ACKNOWLEDGE"},
    {0x03, "PROGRESS"}, {0x05, "SETUP"}, {0x0D, "SETUP_ACKNOWLEDGE"}, {0x26, "RESUME"},
    {0x2E, "RESUME_ACKNOWLEDGE"}, {0x22, "RESUME_REJECT"}, {0x25, "SUSPEND"}, {0x2D, "SUSPEND_ACKNOWLEDGE"},
    {0x21, "SUSPEND_REJECT"}, {0x20, "USER_INFORMATION"}, {0x45, "DISCONNECT"}, {0x4D, "RELEASE"},
    {0x5A, "RELEASE_COMPLETE"}, {0x46, "RESTART"}, {0x4E, "RESTART_ACKNOWLEDGE"}, {0x60, "SEGMENT"},
    {0x79, "CONGESTION_CONTROL"}, {0x7B, "INFORMATION"}, {0x6E, "NOTIFY"}, {0x7D, "STATUS"},
    {0x75, "STATUS_ENQUIRY"},
};

constexpr SVQSigTraceName s_aCodeset[] = {
    {0, "Q.931 IE"}, {1, 3, "Reserved"}, {4, "IE for ISO/IEC"}, {5, "IE for National use"},
    {6, "IE specific to the local network"}, {7, "User specific IE"},
};

constexpr SVQSigTraceName s_aCodingStandard[] = {
    {0, "ITU-T"}, {1, "ISO/IEC"}, {2, "National"}, {3, "Network side standard"},
};

constexpr SVQSigTraceName s_aLocation[] = {
    {0, "User"}, {1, "Private network serving the local user"}, {2, "Public network serving the local user"},
    {3, "Transit network"}, {4, "Public network serving the remote user"},
    {5, "Private network serving the remote user"}, {10, "Network beyond the interworking point"},
};

constexpr SVQSigTraceName s_aCallState[] = {
    {0, "NULL"}, {1, "Call initiated"}, {2, "Overlap sending"}, {3, "Outgoing call proceeding"},
    {4, "Call delivered"}, {6, "Call present"}, {7, "Call received"}, {8, "Connect request"},
    {9, "Incoming call proceeding"}, {10, "Active"}, {11, "Disconnect request"}, {12, "Diconnect indication"},
    {15, "Suspend request"}, {17, "Resume request"}, {19, "Release request"}, {22, "Call abort"},
    {25, "Overlap receiving"}, {61, "Restart request"}, {62, "Restart"},
};

constexpr SVQSigTraceName s_aProgress[] = {
    {1, "Call is not end-to-end ISDN"}, {2, "Destination address is non-ISDN"},
    {3, "Origination address is non-ISDN"}, {4, "Call has returned to the ISDN"},
    {5, "Interworking has occurred and has resulted in a telecommunication service change"},
    {8, "In-band information or an appropriate pattern is now available"},
};

constexpr SVQSigTraceName s_aSignal[] = {
    {0, "Dial tone"}, {1, "Ringback tone"}, {2, "Intercept tone on"}, {3, "Network congestion tone on"},
    {4, "Busy tone on"}, {5, "Confirm tone on"}, {6, "Answer tone on"}, {7, "Call waiting tone"},
    {8, "Off-hook warning tone"}, {9, "Pre-emption tone on"}, {63, "Tones off"},
    {64, "Alerting on - pattern 0"}, {65, "Alerting on - pattern 1"}, {66, "Alerting on - pattern 2"},
    {67, "Alerting on - pattern 3"}, {68, "Alerting on - pattern 4"}, {69, "Alerting on - pattern 5"},
    {70, "Alerting on - pattern 6"}, {71, "Alerting on - pattern 7"}, {79, "Alerting off"},
};

constexpr SVQSigTraceName s_aCause[] = {
    {1, "Unassigned number"}, {2, "No route to specified transit network"}, {3, "No route to destination"},
    {6, "Channel unacceptable"}, {7, "Call awarded and being delivered in an established channel"},
    {16, "Normal call clearing"}, {17, "User busy"}, {18, "No user responding"}, {19, "User alerting, no answer"},
    {21, "Call rejected"}, {22, "Number changed"}, {26, "Non-selected user clearing"},
    {27, "Destination out of order"}, {28, "Invalid number format (incomplete number)"}, {29, "Facility rejected"},
    {30, "Response to STATUS ENQUIRY"}, {31, "Normal, unspecified"}, {34, "No circuit/channel available"},
    {38, "Network out of order"}, {41, "Temporary failure"}, {42, "Switching equipment congestion"},
    {43, "Access information discarded"}, {44, "Requested circuit/channel not available"},
    {47, "Resource unavailable, unspecified"}, {57, "Bearer capability not authorized"},
    {58, "Bearer capability not presently available"}, {63, "Service or option not available, unspecified"},
    {65, "Bearer capability not implemented"}, {66, "Channel type not implemented"},
    {69, "Requested facility not implemented"},
    {70, "Only restricted digital information bearer capability is available"},
    {79, "Service or option not implemented, unspecified"}, {81, "Invalid call reference value"},
    {82, "Identified channel does not exist"}, {83, "A suspended call exists, but this call identity does not"},
    {84, "Call identity in use"}, {85, "No call suspended"},
    {86, "Call having the requested call identity has been cleared"}, {88, "Incompatible destination"},
    {91, "Invalid transit network selection"}, {95, "Invalid message, unspecified"},
    {96, "Mandatory IE is missing"}, {97, "Message type non-existent or not implemented"},
    {98, "Message not compatible with call state or message type non-existent or not implemented"},
    {99, "IE non-existent or not implemented"}, {100, "Invalid IE contents"},
    {101, "Message not compatible with call state"}, {102, "Recovery on time expiry"},
    {111, "Protocol error, unspecified"}, {127, "Interworking, unspecified"},
};

constexpr SVQSigTraceName s_aNotification[] = {{0, "User suspended"}, {1, "User resumed"}, {2, "Bearer service change"}};
constexpr SVQSigTraceName s_aSubaddressType[] = {{0, "NSAP"}, {2, "User specified"}};
constexpr SVQSigTraceName s_aRestartClass[] = {
    {0, "Indicated channels in the channel identification IE"}, {6, "Single interface"}, {7, "All interface"},
};
constexpr SVQSigTraceName s_aUserProtocol[] = {
    {0, "User specific protocol"}, {1, "OSI high layer protocols"}, {2, "X.244"},
    {3, "Reserved for system management convergence function"}, {4, "IA5 characters"}, {5, "X.208 and X.209"},
    {7, "V.120"}, {8, "Q.931/I.451 user-network call control"}, {16, 63, "Other network layer 3 protocols (X.25)"},
    {64, 79, "National use"}, {80, 254, "Other network layer 3 protocols (X.25)"},
};

/* Octets of an IE as its cursor counts them. */
constexpr u32 kun32IeLength = 1;
constexpr u32 kun32O3 = 2;
constexpr u32 kun32O4 = 3;

u32 IeLength(const CVQSigTraceCursor& ie) { return ie.At(kun32IeLength); }

/* The IE's content octets from index un32From (IE-relative) to its end.
 * An IE that ends exactly at the end of the message is whole and is dumped
 * like any other; one that runs past it gets the truncation marker. */
void DumpFrom(CVQSigTraceText& out, const CVQSigTraceCursor& ie, u32 un32From, const char* pszPrefix, bool fOffsets = false) {
  const u32 un32End = 2 + IeLength(ie);
  if (un32From < un32End) out.RawBuffer(pszPrefix, ie.Bytes(un32From, un32End - un32From), fOffsets);
}

void CodingStandardLine(CVQSigTraceText& out, u8 un8Octet) {
  out.Field(un8Octet, 0x60, "Coding Standard: ", VqSigTraceQ931CodingStandard((un8Octet >> 5) & 3u));
}
void LocationLine(CVQSigTraceText& out, u8 un8Octet) {
  out.Field(un8Octet, 0x0F, "Location: ", VqSigTraceName(s_aLocation, un8Octet & 0x0Fu, "Reserved"));
}

bool Segmented(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  const u8 o3 = ie.At(kun32O3);
  if (o3 & 0x80) {
    out.Field(o3, 0xFF, "First segment, ", SVQSigTraceDec{o3 & 0x7Fu}, " segments remaining, next message: ",
              VqSigTraceName(s_aMessageType, ie.At(kun32O4), "Unknown"));
  } else {
    out.Field(o3, 0xFF, "Subsequent segment, ", SVQSigTraceDec{o3 & 0x7Fu}, " segments remaining");
  }
  return false;
}
bool Bearer(CVQSigTraceText& out, const CVQSigTraceCursor& ie) { VqSigTraceQ931BearerCapability(out, ie); return false; }
bool Cause(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  const u8 o3 = ie.At(kun32O3);
  CodingStandardLine(out, o3);
  LocationLine(out, o3);
  const u8 o4 = ie.At(kun32O4);
  out.Field(o4, 0x7F, "Cause value=", SVQSigTraceDec{o4 & 0x7Fu}, " ", VqSigTraceName(s_aCause, o4 & 0x7Fu, "Illegal value"));
  if (IeLength(ie) >= 3) DumpFrom(out, ie, kun32O4 + 1, "Extra bytes: ");
  return false;
}
bool CallIdentity(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  DumpFrom(out, ie, kun32O3, "Raw data: ", true);
  return false;
}
bool CallState(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  const u8 o3 = ie.At(kun32O3);
  out.Field(o3, 0xC0, "Coding Standard: ", VqSigTraceQ931CodingStandard(o3 >> 6));
  out.Field(o3, 0x3F, "Call state value: ", VqSigTraceName(s_aCallState, o3 & 0x3Fu, "Reserved"));
  return false;
}
bool ChannelId(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  return VqSigTraceChannelIdLines(out, ie, "Extra bytes: ", false);
}
bool Progress(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  const u8 o3 = ie.At(kun32O3);
  CodingStandardLine(out, o3);
  LocationLine(out, o3);
  const u8 o4 = ie.At(kun32O4);
  out.Field(o4, 0x7F, "Progress description: ", VqSigTraceName(s_aProgress, o4 & 0x7Fu, "Reserved"));
  return false;
}
bool Facilities(CVQSigTraceText& out, const CVQSigTraceCursor& ie) { VqSigTraceQ931NetworkFacilities(out, ie); return false; }
bool Notification(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  const u8 o3 = ie.At(kun32O3);
  out.Field(o3, 0x7F, "Notification description: ", VqSigTraceName(s_aNotification, o3 & 0x7Fu, "Reserved"));
  return false;
}
bool Display(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  DumpFrom(out, ie, kun32O3, "Extra bytes: ");
  return false;
}
bool DateTime(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  const u32 un32Len = IeLength(ie);
  const u8 un8Year = ie.At(2), un8Month = ie.At(3), un8Day = ie.At(4);
  out.Put(" ", SVQSigTraceDec{un8Year}, "/", SVQSigTraceDec{un8Month}, "/", SVQSigTraceDec{un8Day});
  if (un32Len >= 4) out.Put(", ", SVQSigTraceDec{ie.At(5)}, ":");
  if (un32Len >= 5) out.Put(SVQSigTraceDec{ie.At(6)}, ":");
  if (un32Len >= 6) out.Put(SVQSigTraceDec{ie.At(7)});
  out.Append("\n");
  return false;
}
bool Signal(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  const u8 o3 = ie.At(kun32O3);
  out.Field(o3, 0xFF, "Signal value: ", VqSigTraceName(s_aSignal, o3, "Reserved"));
  return false;
}
bool PartyNumber(CVQSigTraceText& out, const CVQSigTraceCursor& ie) { VqSigTraceQ931PartyNumber(out, ie); return false; }
bool Subaddress(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  const u8 o3 = ie.At(kun32O3);
  const u32 un32Type = (o3 >> 4) & 7u;
  out.Field(o3, 0x70, "Type of subaddress: ", VqSigTraceName(s_aSubaddressType, un32Type, "Reserved"));
  if (un32Type == 2) {
    out.Field(o3, 0x80, "Odd/even indicator: ", (o3 & 0x80) ? "Odd number of address signals" : "Even number of address signals");
  }
  if (IeLength(ie) >= 2) DumpFrom(out, ie, kun32O4, " Subaddress information: ");
  return false;
}
bool TransitNetwork(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  const u8 o3 = ie.At(kun32O3);
  out.Field(o3, 0x70, "Type of network identification: ", VqSigTraceQ931NetIdType((o3 >> 4) & 7u));
  out.Field(o3, 0x0F, "Network identification plan: ", VqSigTraceQ931NetIdPlan(o3 & 0x0Fu));
  if (IeLength(ie) >= 2) DumpFrom(out, ie, kun32O4, " Network identification: ");
  return false;
}
bool Restart(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  const u8 o3 = ie.At(kun32O3);
  out.Field(o3, 0x07, "Class: ", VqSigTraceName(s_aRestartClass, o3 & 7u, "Reserved"));
  return false;
}
bool LowLayer(CVQSigTraceText& out, const CVQSigTraceCursor& ie) { VqSigTraceQ931LowLayerCompat(out, ie); return false; }
bool HighLayer(CVQSigTraceText& out, const CVQSigTraceCursor& ie) { VqSigTraceQ931HighLayerCompat(out, ie); return false; }
bool UserUser(CVQSigTraceText& out, const CVQSigTraceCursor& ie) {
  const u8 o3 = ie.At(kun32O3);
  out.Field(o3, 0xFF, "Protocol discriminator: ", VqSigTraceName(s_aUserProtocol, o3, "Reserved"), "=", SVQSigTraceDec{o3});
  if (IeLength(ie) >= 2) DumpFrom(out, ie, kun32O4, " User information: ");
  return false;
}

constexpr u8 kun8IeEscape = 0x7F;

struct SIeDecoder {
  u8 un8Id;
  std::string_view heading; /* the heading line's text after the picture */
  bool (*pfnFields)(CVQSigTraceText&, const CVQSigTraceCursor&); /* true: the message ends here */
};
constexpr SIeDecoder s_aIeDecoders[] = {
    {0x00, "Segmented message ->", Segmented},
    {0x04, "Bearer capability ->", Bearer},
    {0x08, "Cause ->", Cause},
    {0x10, "Call identity ->", CallIdentity},
    {0x14, "Call state ->", CallState},
    {0x18, "Channel identification ->", ChannelId},
    {0x1E, "Progress indicator ->", Progress},
    {0x20, "Network specific facilities ->", Facilities},
    {0x27, "Notification indicator ->", Notification},
    {0x28, "Display ->", Display},
    {0x29, "Date, time (Y/M/D) ->", DateTime},
    {0x2C, "Keypad facility ->", Display},
    {0x34, "Signal ->", Signal},
    {0x6C, "Calling party number ->", PartyNumber},
    {0x6D, "Calling party subaddress ->", Subaddress},
    {0x70, "Called party number ->", PartyNumber},
    {0x71, "Called party subaddress ->", Subaddress},
    {0x74, "Redirecting number ->", PartyNumber},
    {0x78, "Transit network selection ->", TransitNetwork},
    {0x79, "Restart indicator ->", Restart},
    {0x7C, "Low layer compatibility ->", LowLayer},
    {0x7D, "High layer compatibility ->", HighLayer},
    {0x7E, "User to user ->", UserUser},
    {kun8IeEscape, "Escape for extension ->", nullptr},
};

/* 1 + the row of each identifier in s_aIeDecoders, 0 for none: one index
 * per IE instead of a walk down the table. */
constexpr auto s_aun8IeRow = [] {
  std::array<u8, 256> a{};
  for (size_t i = std::size(s_aIeDecoders); i-- > 0;) a[s_aIeDecoders[i].un8Id] = static_cast<u8>(i + 1);
  return a;
}();

const SIeDecoder* FindIe(u8 un8Id) {
  const u8 un8Row = s_aun8IeRow[un8Id];
  return un8Row != 0 ? &s_aIeDecoders[un8Row - 1] : nullptr;
}

/* Heading and length line of a variable-length IE; the IE's cursor. */
CVQSigTraceCursor VariableIe(CVQSigTraceText& out, const CVQSigTraceCursor& m, u32 p, std::string_view heading, u32 un32Arg,
                             bool fWithArg) {
  const u8 un8Id = m.At(p);
  if (fWithArg) out.Field(un8Id, 0xFF, "IE from codeset ", SVQSigTraceDec{un32Arg}, " ->");
  else out.Field(un8Id, 0xFF, heading);
  const u8 un8Len = m.At(p + 1);
  out.Field(un8Len, 0xFF, "IE Length = ", SVQSigTraceDec{un8Len});
  return m.Sub(p, 2u + un8Len);
}

}  // namespace

std::string_view VqSigTraceQ931CodingStandard(u32 un32Value) { return VqSigTraceName(s_aCodingStandard, un32Value, "Reserved"); }

u32 VqSigTraceDecodeQ931(CVQSigTraceText& out, const CVQSigTraceCursor& m) {
  u32 p = 0;
  try {
    const u32 un32TypeIndex = VqSigTraceCallReference(out, m);
    const u8 un8Type = m.At(un32TypeIndex);
    out.Field(un8Type, 0xFF, " ", VqSigTraceName(s_aMessageType, un8Type, "Unknown"));
    p = un32TypeIndex + 1;
  } catch (const CVQSigTraceTruncated& t) {
    out.Truncated(t);
    return VQX_RESULT_OK;
  }

  u32 un32Locked = 0, un32Active = 0;
  bool fOneShot = false;
  while (p < m.Size()) {
    if (!fOneShot) un32Active = un32Locked;
    const u8 b = m.At(p);
    u32 un32Next = m.Size(); /* where the walk goes on; the end when the length is unknown */
    try {
      if ((b & 0xF0) == 0x80) {
        out.Field(b, 0xFF, "Reserved:");
      } else if ((b & 0xF0) == 0x90) {
        const u32 un32Codeset = b & 7u;
        const bool fNonLocking = (b & 0x08) != 0;
        un32Locked = fNonLocking ? un32Active : un32Codeset;
        out.Field(b, 0xFF, fNonLocking ? "Non-locking Shift to codeset" : "Locking Shift to codeset", " -> ",
                  VqSigTraceName(s_aCodeset, un32Codeset, "Reserved"));
        un32Active = un32Codeset;
        fOneShot = true;
        p += 1;
        continue;
      } else if (un32Active != 0) {
        const CVQSigTraceCursor ie = VariableIe(out, m, p, {}, un32Active, true);
        un32Next = p + 2 + IeLength(ie);
        DumpFrom(out, ie, kun32O3, "Raw data: ");
      } else if (b == 0xA0) {
        out.Field(b, 0xFF, "More data");
      } else if (b == 0xA1) {
        out.Field(b, 0xFF, "Sending complete");
      } else if ((b & 0xF0) == 0xB0) {
        const u32 un32Level = b & 0x0Fu;
        out.Field(b, 0xFF, "Congestion level -> ", un32Level == 0 ? "Receiver ready" : un32Level == 15 ? "Receiver not ready" : "Unknown");
      } else if ((b & 0xF0) == 0xD0) {
        out.Field(b, 0x04, "Repeat indicator -> ", (b & 7u) == 2 ? "Prioritized list for selecting one possibility" : "Reserved");
      } else if (const SIeDecoder* pDec = FindIe(b)) {
        const CVQSigTraceCursor ie = VariableIe(out, m, p, pDec->heading, 0, false);
        /* The escape IE's contents are walked as IEs of their own. */
        un32Next = b == kun8IeEscape ? p + 2 : p + 2 + IeLength(ie);
        if (pDec->pfnFields && pDec->pfnFields(out, ie)) break;
      } else {
        const CVQSigTraceCursor ie = VariableIe(out, m, p, "UNKNOWN IE ->", 0, false);
        un32Next = p + 2 + IeLength(ie);
        if (IeLength(ie) >= 1) DumpFrom(out, ie, kun32O3, " Extra bytes: ");
      }
    } catch (const CVQSigTraceTruncated& t) {
      out.Truncated(t);
    }
    fOneShot = false;
    if (b & 0x80) un32Next = p + 1;
    p = un32Next;
  }
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
