/*
 * isup_decode.cpp - ISUP and SCCP text decoding of an MTP3 user part.
 *
 * Called by the MTP3 decoder (ss7_decode.cpp) for service indicators 5 and 3.
 * ISUP (ITU-T Q.763): the CIC, the message name, the mandatory fields of IAM,
 * ACM, ANM, REL and GRS, the optional-parameter list and a hex dump. Pointers
 * count from the pointer octet itself; every pointer-derived index is checked
 * and reported with the "Invalid index" line. SCCP (Q.713): the message type
 * and its class or return-cause octet, then a dump.
 */
#include <iterator>

#include "sigtrace_decode.h"

namespace VQCAF {
namespace {

/* Octets of the ISUP message header and of the fixed parts used here. */
constexpr u32 kun32IsupCicLow = 0;
constexpr u32 kun32IsupCicHigh = 1;
constexpr u32 kun32IsupType = 2;

constexpr u32 kun32IsupIam = 1;
constexpr u32 kun32IsupAcm = 6;
constexpr u32 kun32IsupAnm = 9;
constexpr u32 kun32IsupRel = 12;
constexpr u32 kun32IsupGrs = 23;

constexpr SVQSigTraceName s_aIsupMsg[] = {
    {1, "Initial Address (IAM)"}, {2, "Subsequent Address Message (SAM)"}, {3, "Information Request (INR)"},
    {4, "Information (INF)"}, {5, "Continuity (COT)"}, {6, "Address Complete (ACM)"}, {7, "Connect (CON)"},
    {8, "Forward Transfer (FOT)"}, {9, "Answer (ANM)"}, {12, "Release (REL)"}, {13, "Suspend (SUS)"},
    {14, "Resume (RES)"}, {16, "Release Complete (RLC)"}, {17, "Continuity Check Request (CCR)"},
    {18, "Reset Circuit (RSC)"}, {19, "Blocking (BLO)"}, {20, "Unblocking (UBL)"},
    {21, "Blocking Acknowledgement (BLA)"}, {22, "Unblocking Acknowledgement (UBA)"},
    {23, "Circuit Group Reset (GRS)"}, {24, "Circuit Group Blocking (CGB)"}, {25, "Circuit Group Unblocking (CGU)"},
    {26, "Circuit Group Blocking Acknowledgement (CGBA)"}, {27, "Circuit Group Unblocking Acknowledgement (CGUA)"},
    {28, "Call Modification Request (CMR)"}, {29, "Call Modification Completed (CMC)"},
    {30, "Call Modification Reject (CMRJ)"}, {31, "Facility Request (FAR)"}, {32, "Facility Accepted (FAA)"},
    {33, "Facility Reject (FRJ)"}, {34, "Facility Deactivated (FAD)"}, {35, "Facility Information (FAI)"},
    {36, "Loop Back Acknowledgement (LPA)"}, {37, "CUG Selection and Validation Request (CSVR)"},
    {38, "CUG Selection and Validation Response (CSVS)"}, {39, "Delayed Release (DRS)"}, {40, "Pass Along (PAM)"},
    {41, "Circuit Group Reset Acknowledgement (GRA)"}, {42, "Circuit Group Query (CQM)"},
    {43, "Circuit Group Query Response (CQR)"}, {44, "Call Progress (CPG)"}, {45, "User to User Information (USR)"},
    {46, "Unequipped Circuit Identification Code (UCIC)"}, {47, "Confusion (CFN)"}, {48, "Overload (OLM)"},
    {49, "Charge information (CRG)"}, {50, "Network Resource Management (NRM)"}, {51, "Facility (FAC)"},
    {52, "User Part Test (UPT)"}, {53, "User Part Available (UPA)"}, {54, "Identification Request (IDR)"},
    {55, "Identification Response (IRS)"}, {56, "Segmentation (SGM)"},
    {233, "Circuit Reservation Acknowledgment (CRA)"}, {234, "Circuit Reservation (CRM)"},
    {235, "Circuit Validation Response (CVR)"}, {236, "Circuit Validation Test (CVT)"}, {237, "Exit (EXM)"},
};

constexpr SVQSigTraceName s_aIsupCause[] = {
    {1, "Unallocated number"}, {2, "No route to network"}, {3, "No route to destination"},
    {4, "Send special information tone"}, {5, "Misdialled trunk prefix"}, {8, "Preemption"},
    {9, "Preemption - circuit reserved for reuse"}, {16, "Normal call clearing"}, {17, "User busy"},
    {18, "No user responding"}, {19, "No answer from the user"}, {20, "Subscriber absent"}, {21, "Call rejected"},
    {22, "Number changed"}, {23, "User rejects all calls with CLIR"}, {27, "Destination out of order"},
    {28, "Address incomplete"}, {29, "Facility rejected"}, {31, "Normal unspecified"}, {34, "No circuit available"},
    {38, "Network out of order"}, {41, "Temporary failure"}, {42, "Switching equipment congestion"},
    {43, "Access info discarded"}, {47, "Resource unavailable"}, {50, "Requested facility not subscribed"},
    {53, "Outgoing calls barred within CUG"}, {55, "Incoming calls barred within CUG"},
    {57, "Bearer capability not authorized"}, {58, "Bearer capability not presently available"},
    {62, "Inconsistency in designated outgoing access"}, {63, "Service or option unavailable"},
    {65, "Bearer capability not implemented"}, {70, "Only restricted digital avail"},
    {73, "unsupported comb. of traffic parameters"}, {79, "Service or option not implemented"},
    {81, "Invalid call reference"}, {82, "Identified channel does not exist"}, {87, "User not member of CUG"},
    {88, "Incompatible destination"}, {89, "Invalid endpoint reference"}, {91, "Invalid transit network selection"},
    {92, "Too many add party requests"}, {96, "Mandatory info element is missing"},
    {97, "Message type not implemented"}, {99, "Info element not implemented"}, {100, "Invalid info element"},
    {101, "Msg type not compatible with call state"}, {102, "Recovery of timer expiry"},
    {104, "Incorrect message length"}, {111, "Protocol error"}, {127, "Interworking unspecified"},
};

constexpr SVQSigTraceName s_aIsupParam[] = {
    {1, "Call Reference"}, {2, "Transmission Medium Requirement"}, {3, "Access Transport"},
    {4, "Called Party Number"}, {5, "Subsequent Number"}, {6, "Nature of Connection Indicators"},
    {7, "Forward Call Indicators"}, {8, "Optional Forward Call Indicators"},
    {9, "Calling Party\x92s Category"}, /* 0x92: the right quote of the system's own text */
    {10, "Calling Party Number"}, {11, "Redirecting Number"}, {12, "Redirection Number"},
    {13, "Connection Request"}, {14, "Information Request Indicators"}, {15, "Information Indicators"},
    {16, "Continuity Indicators"}, {17, "Backward Call Indicators"}, {18, "Cause Indicators"},
    {19, "Redirection Information"}, {21, "Circuit Group Supervision Message Type Ind."},
    {22, "Range and Status"}, {23, "Call Modification Indicators"}, {24, "Facility Indicator"},
    {25, "Facility Information Indicators"}, {26, "CUG Interlock Code"}, {27, "Index"},
    {28, "CUG Check Response Indicators"}, {29, "User Service Information"}, {30, "Signaling Point Code"},
    {32, "User-to-user Information"}, {33, "Connected Number"}, {34, "Suspend/resume Indicators"},
    {35, "Transit Network Selection"}, {36, "Event Information Indicators"}, {37, "Circuit Assignment Map"},
    {38, "Circuit State Indicator"}, {39, "Automatic Congestion Level"}, {40, "Original Called Number"},
    {41, "Optional Backward Call Indicators"}, {42, "User-to-user Indicators"},
    {43, "Origination ISC Point Code"}, {44, "Generic Notification"}, {45, "Call History Information"},
    {46, "Access Delivery Information"}, {47, "Network Specific Facilities"},
    {48, "User Service Information Prime"}, {49, "Propagation Delay Counter"}, {50, "Remote Operations"},
    {51, "Service Activation"}, {52, "User Teleservice Information"}, {53, "Transmission Medium Used"},
    {54, "Call Diversion Information"}, {55, "Echo Control Information"},
    {56, "Message Compatibility Information"}, {57, "Parameter Compatibility Information"},
    {58, "MLPP Precedence"}, {59, "MCID Request Indicator"}, {60, "MCID Response Indicator"},
    {61, "Hop Counter"}, {62, "Transmission Medium Requirement Prime"}, {63, "Location Number"},
    {64, "Redirection Number Restriction"}, {65, "Freephone Indicators"}, {66, "Generic Reference"},
    {192, "Generic Address"}, {193, "Generic Digits"}, {194, "Operator Services Information"},
    {195, "Egress"}, {196, "Jurisdiction"}, {197, "Carrier Identification"}, {198, "Business Group"},
    {199, "Generic Name"}, {225, "Notification Indicator"}, {227, "Transaction Request"},
    {229, "Circuit Group Characteristic Indicator"}, {230, "Circuit Validation Response Indicator"},
    {231, "Outgoing Trunk Group Number"}, {232, "Circuit Identification Name"}, {233, "COMMON LANGUAGE"},
    {234, "Originating Line Information"}, {235, "Charge Number"}, {236, "Service Code Indicator"},
    {237, "Special Processing Request"}, {238, "Carrier Selection Information"}, {239, "Network Transport"},
};
static_assert(std::size(s_aIsupParam) == 85);

constexpr SVQSigTraceName s_aSccpMsg[] = {
    {1, "CR: Connection Request (class 2 & 3)"}, {2, "CC: Connection Confirm (class 2 & 3)"},
    {3, "CREF: Connection Refused (class 2 & 3)"}, {4, "RLSD: Released (class 2 & 3)"},
    {5, "RLC: Release Complete (class 2 & 3)"}, {6, "DT1: Data form 1 (class 2)"},
    {7, "DT2: Data form 2 (class 3)"}, {8, "AK: Data Acknowledgement (class 3)"}, {9, "UDT: Unitdata"},
    {10, "UDTS: Unitdata Service"}, {11, "ED: Expedited Data (class 3)"},
    {12, "EA: Expedited Data Acknowledgement (class 3)"}, {13, "RSR: Reset Request (class 3)"},
    {14, "RSC: Reset Confirmation (class 3)"}, {15, "ERR: Protocol data unit Error (class 2 & 3)"},
    {16, "IT: Inactivity Test (class 2 & 3)"}, {17, "XUDT: Extended Unitdata"},
    {18, "XUDTS: Extended Unitdata Service"}, {19, "LUDT: Long Unitdata"}, {20, "LUDTS: Long Unitdata Service"},
};

/* A pointer-derived index that leaves the message ends the decoding. */
struct SInvalidIndex {
  u32 un32Index;
};

u32 Checked(const CVQSigTraceCursor& m, u32 un32Index) {
  if (un32Index >= m.Size()) throw SInvalidIndex{un32Index};
  return un32Index;
}

/* "0x%02X " for each octet of the variable part whose length octet is at
 * un32LengthIndex, then the label. */
void VariablePart(CVQSigTraceText& out, const CVQSigTraceCursor& m, u32 un32LengthIndex, const char* pszLabel) {
  const u32 un32Len = m.At(Checked(m, un32LengthIndex));
  /* A part that runs past the message leaves no octet of it behind. */
  const size_t un64Start = out.Str().size();
  try {
    for (u32 k = 1; k <= un32Len; ++k) out.Put("0x", SVQSigTraceHex{m.At(Checked(m, un32LengthIndex + k)), 2}, ' ');
  } catch (...) {
    out.Str().resize(un64Start);
    throw;
  }
  out.Append(pszLabel);
}

bool IsAnsi(u32 un32Variant) { return un32Variant == VQ_SS7_VARIANT_ANSI_1 || un32Variant == VQ_SS7_VARIANT_ANSI_2; }

}  // namespace

u32 VqSigTraceDecodeIsupOptions(CVQSigTraceText& out, const CVQSigTraceCursor& opt) {
  try {
    u32 i = 0;
    while (opt.At(i) != 0) {
      const u8 un8Code = opt.At(i);
      out.Field(un8Code, 0xFF, "Option: ", VqSigTraceName(s_aIsupParam, un8Code, "Unknown"));
      const u8 un8Len = opt.At(i + 1);
      out.Field(un8Len, 0xFF, "Length: ", SVQSigTraceDec{un8Len});
      out.RawBuffer("OptValue: ", opt.Bytes(i + 2, un8Len), false);
      i += 2u + un8Len;
      if (i >= opt.Size()) {
        out.Append("\n ERROR invalid option field offset\n");
        break;
      }
    }
  } catch (const CVQSigTraceTruncated& t) {
    out.Truncated(t);
  }
  return VQX_RESULT_OK;
}

u32 VqSigTraceDecodeIsup(CVQSigTraceText& out, u32 un32Variant, const CVQSigTraceCursor& m) {
  try {
    const u8 un8CicLow = m.At(kun32IsupCicLow);
    const u8 un8CicHigh = m.At(kun32IsupCicHigh);
    const u8 un8Type = m.At(kun32IsupType);
    out.Put("\n[MSG] CIC=", SVQSigTraceDec{(un8CicHigh & 0x3Fu) * 256u + un8CicLow, 5, '0'}, " (Raw=0x", SVQSigTraceHex{un8CicHigh, 2},
            SVQSigTraceHex{un8CicLow, 2}, ") 0x", SVQSigTraceHex{un8Type, 2}, ' ');

    /* What follows the optional part's lines: the name line of the messages
     * decoded no further, then "No optional part" when there is none. */
    enum class EPending { None, Grs, Name, Unknown } Pending = EPending::None;
    std::string_view pendingName;
    bool fNoOptionalPart = false;
    u32 un32OptPointer = 0; /* index of the optional-part pointer octet, 0: none */
    switch (un8Type) {
      case kun32IsupIam:
        out.Append("Initial Address (IAM)\n");
        out.Field(m.At(3), 0xFF, "Nature of Connection indicators");
        out.Field(m.At(4), 0xFF, "Forward Call indicator H..A");
        out.Field(m.At(5), 0xFF, "Forward Call indicator P..I");
        out.Field(m.At(6), 0xFF, "Calling party category");
        if (!IsAnsi(un32Variant)) {
          out.Field(m.At(7), 0xFF, "Transmission Medium");
        } else {
          VariablePart(out, m, 7u + m.At(7), "User service information\n");
        }
        VariablePart(out, m, 8u + m.At(8), "Called party number\n");
        un32OptPointer = 9;
        break;
      case kun32IsupAcm:
        out.Append("Address Complete (ACM)\n");
        out.Field(m.At(3), 0xFF, "Backward Call indicator H..A");
        out.Field(m.At(4), 0xFF, "Backward Call indicator P..I");
        un32OptPointer = 5;
        break;
      case kun32IsupAnm:
        out.Append("Answer (ANM)\n");
        un32OptPointer = 3;
        break;
      case kun32IsupRel: {
        out.Append("Release (REL)\n");
        const u32 un32LenIndex = Checked(m, 3u + m.At(3));
        const u32 un32Len = m.At(un32LenIndex);
        const u8 un8First = m.At(Checked(m, un32LenIndex + 1));
        out.Field(un8First, 0x0F, "Location");
        out.Field(un8First, 0x10, "spare");
        out.Field(un8First, 0x60, "Coding standard");
        out.Field(un8First, 0x80, "Extension bit");
        for (u32 k = 2; k <= un32Len; ++k) {
          const u8 un8Cause = m.At(Checked(m, un32LenIndex + k));
          out.Field(un8Cause, 0xFF, "Cause=", SVQSigTraceDec{un8Cause & 0x7Fu}, " (",
                    VqSigTraceName(s_aIsupCause, un8Cause & 0x7Fu, "Unknown"), ')');
        }
        un32OptPointer = 4;
        break;
      }
      case kun32IsupGrs:
        Pending = EPending::Grs;
        break;
      default:
        pendingName = VqSigTraceName(s_aIsupMsg, un8Type, {});
        Pending = pendingName.data() != nullptr ? EPending::Name : EPending::Unknown;
        break;
    }
    if (un32OptPointer != 0) {
      const u8 un8Pointer = m.At(un32OptPointer);
      if (un8Pointer == 0) {
        fNoOptionalPart = true;
      } else {
        const u32 un32Start = Checked(m, un32OptPointer + un8Pointer);
        VqSigTraceDecodeIsupOptions(out, m.Tail(un32Start));
      }
    }
    switch (Pending) {
      case EPending::None: break;
      case EPending::Grs: out.Put("Circuit Group Reset (GRS)\n Range = ", SVQSigTraceDec{m.At(5)}, '\n'); break;
      case EPending::Name: out.Put(pendingName, '\n'); break;
      case EPending::Unknown: out.Put("Unknown message=", SVQSigTraceDec{un8Type}, '\n'); break;
    }
    if (fNoOptionalPart) out.Append("No optional part\n");
    if (m.Size() > 1) out.RawBuffer("Raw data:\n", m.Tail(kun32IsupType).All(), true);
  } catch (const SInvalidIndex& e) {
    out.Put("Invalid index inside message ", SVQSigTraceDec{e.un32Index}, " >= ", SVQSigTraceDec{m.Size()});
    return VQX_RESULT_FAIL;
  } catch (const CVQSigTraceTruncated& t) {
    /* A fixed octet of the layout is missing: say so and show what came. */
    out.Truncated(t);
    if (m.Size() > kun32IsupType) out.RawBuffer("Raw data:\n", m.Tail(kun32IsupType).All(), true);
    return VQX_RESULT_FAIL;
  }
  return VQX_RESULT_OK;
}

u32 VqSigTraceDecodeSccp(CVQSigTraceText& out, u32 /*un32Variant*/, const CVQSigTraceCursor& m) {
  constexpr u32 kun32SccpMinLength = 2;
  if (m.Size() < kun32SccpMinLength) {
    out.Put("Invalid index inside message 1 >= ", SVQSigTraceDec{m.Size()});
    return VQX_RESULT_FAIL;
  }
  const u8 un8Type = m.At(0);
  out.Put("\n[SCCP MSG TYPE] ", VqSigTraceName(s_aSccpMsg, un8Type, "Unknown"), " (Raw=0x", SVQSigTraceHex{un8Type, 2}, ")\n");
  if (un8Type == 9 || un8Type == 17 || un8Type == 19) {
    out.Field(m.At(1), 0x0F, "Protocol Class");
  } else if (un8Type == 10 || un8Type == 18 || un8Type == 20) {
    out.Field(m.At(1), 0xFF, "Return Cause");
  } else if (un8Type == 0 || un8Type > 20) {
    out.Put(" Unknown message=", SVQSigTraceDec{un8Type});
  }
  out.RawBuffer("Raw data:\n", m.All(), true);
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
