/*
 * q921_decode.cpp - Q.921 (LAPD) frame and maintenance message text decoding.
 *
 * Called by the trace group for every ISDN or LAPD frame of a text group.
 * The address and control fields (ITU-T Q.921 3.3-3.6) give the frame kind;
 * an I frame hands its layer-3 message to the Q.931 decoder (protocol
 * discriminator 8) or to the maintenance decoder (discriminator 3). The
 * channel identification lines are shared with the Q.931 decoder.
 */
#include "sigtrace_decode.h"

namespace VQCAF {
namespace {

/* Octets of the Q.921 frame. */
constexpr u32 kun32Address1 = 0;
constexpr u32 kun32Address2 = 1;
constexpr u32 kun32Control1 = 2;
constexpr u32 kun32Control2 = 3;
constexpr u32 kun32Discriminator = 4;
constexpr u32 kun32Layer3 = 5;

constexpr u8 kun8PdQ931 = 8;
constexpr u8 kun8PdMaintenance = 3;
constexpr u8 kun8UnnumberedPf = 0x10;

/* Frame names; a supervisory frame's line goes on with " PF= p NR= n", an
 * unnumbered frame's with " PF= p". */
constexpr SVQSigTraceName s_aSupervisory[] = {
    {0x01, "[RR]"}, {0x05, "[RNR]"}, {0x09, "[REJ]"},
};

constexpr SVQSigTraceName s_aUnnumbered[] = {
    {0x6F, "[SABME]"}, {0x0F, "[DM]"}, {0x03, "[UI]"}, {0x43, "[DISC]"}, {0x63, "[UA]"}, {0x87, "[FRMR]"}, {0xAF, "[XID]"},
};

constexpr SVQSigTraceName s_aMaintenanceType[] = {{0x0F, "SERVICE"}, {0x07, "SERVICE_ACK"}};
constexpr SVQSigTraceName s_aChangeStatus[] = {{0, "In service"}, {1, "Maintenance"}, {2, "Out-of-service"}};

constexpr SVQSigTraceName s_aChannelSelection[] = {
    {0, "No channel"}, {1, "B1 channel"}, {2, "Reserved"}, {3, "Any channel"},
};
constexpr SVQSigTraceName s_aChannelType[] = {
    {3, "B channel units"}, {6, "H0 channel units"}, {8, "H11 channel units"}, {9, "H12 channel units"},
};

constexpr u8 kun8IeChangeStatus = 0x01;
constexpr u8 kun8IeChannelId = 0x18;

/* " %s %s\n" with the picture under the mask and one of two texts. */
void FlagLine(CVQSigTraceText& out, u8 un8Octet, u8 un8Mask, const char* pszSet, const char* pszClear) {
  out.Field(un8Octet, un8Mask, (un8Octet & un8Mask) ? pszSet : pszClear);
}

/* Call reference (Q.931 4.3): length octet, then the value. Returns the
 * index of the message type. */
u32 CallReference(CVQSigTraceText& out, const CVQSigTraceCursor& m) {
  const u32 un32Len = m.At(0);
  if (un32Len == 0) {
    out.Append(" Dummy Call reference\n");
  } else {
    u32 un32Value = m.At(1) & 0x7Fu;
    for (u32 k = 2; k <= un32Len; ++k) un32Value = un32Value * 256u + m.At(k);
    out.Put(" Call reference -> ", SVQSigTraceDec{un32Value}, "\n");
  }
  return un32Len + 1;
}

}  // namespace

u32 VqSigTraceCallReference(CVQSigTraceText& out, const CVQSigTraceCursor& m) { return CallReference(out, m); }

bool VqSigTraceChannelIdLines(CVQSigTraceText& out, const CVQSigTraceCursor& ie, const char* pszExtraPrefix,
                              bool fExtraOffsets) {
  const u32 un32IeLen = ie.At(1);
  const u8 o3 = ie.At(2);
  FlagLine(out, o3, 0x40, "Explicitly identified", "Implicitly identified");
  FlagLine(out, o3, 0x20, "Primary rate interface", "Basic rate interface");
  FlagLine(out, o3, 0x08, "Indicated channel is exclusive", "Indicated channel is prefered");
  FlagLine(out, o3, 0x04, "Channel identified is the D channel", "Channel identified is not the D channel");
  out.Field(o3, 0x03, "Information channel selection: ", VqSigTraceName(s_aChannelSelection, o3 & 3u, ""));
  if (un32IeLen <= 1) return false;
  u32 un32Index = 3;
  if (o3 & 0x40) {
    const u8 un8Interface = ie.At(un32Index);
    out.Field(un8Interface, 0x7F, "Interface identifier:");
    if ((un8Interface & 0x80) == 0) return true;
    ++un32Index;
  }
  const u8 o3a = ie.At(un32Index);
  out.Field(o3a, 0x60, "Coding Standard: ", VqSigTraceQ931CodingStandard((o3a >> 5) & 3u));
  FlagLine(out, o3a, 0x10, "Channel is indicated by the slot map", "Channel is indicated by the number");
  out.Field(o3a, 0x0F, "Channel type/map element type: ", VqSigTraceName(s_aChannelType, o3a & 0x0Fu, "Reserved: unknown"));
  const u8 un8Number = ie.At(un32Index + 1);
  out.Field(un8Number, 0x7F, "Channel number: ", SVQSigTraceDec{un8Number & 0x7Fu});
  const u32 un32Rest = un32Index + 2;
  if (un32Rest < 2 + un32IeLen) out.RawBuffer(pszExtraPrefix, ie.Bytes(un32Rest, 2 + un32IeLen - un32Rest), fExtraOffsets);
  return false;
}

u32 VqSigTraceDecodeMaintenance(CVQSigTraceText& out, const CVQSigTraceCursor& m) {
  try {
    const u32 un32TypeIndex = CallReference(out, m);
    const u8 un8Type = m.At(un32TypeIndex);
    out.PutPicture(un8Type);
    const std::string_view type = VqSigTraceName(s_aMaintenanceType, un8Type, {});
    if (type.data() != nullptr) out.Put(' ', type, '\n');
    else out.Put(" Unknown message type:0x", SVQSigTraceHex{un8Type}, '\n');
    for (u32 p = un32TypeIndex + 1; p < m.Size();) {
      const u8 un8Id = m.At(p);
      if (un8Id != kun8IeChangeStatus && un8Id != kun8IeChannelId) {
        out.Append("Cannot continue parsing of this message\n");
        break;
      }
      const u8 un8Len = m.At(p + 1);
      const CVQSigTraceCursor ie = m.Sub(p, 2u + un8Len);
      out.Field(un8Id, 0xFF, un8Id == kun8IeChangeStatus ? "Change status ->" : "Channel identification ->");
      out.Field(un8Len, 0xFF, "IE Length = ", SVQSigTraceDec{un8Len});
      if (un8Id == kun8IeChangeStatus) {
        const u8 o3 = ie.At(2);
        out.Field(o3, 0x0F, "Status: ", VqSigTraceName(s_aChangeStatus, o3 & 0x0Fu, "Unknown"));
      } else if (VqSigTraceChannelIdLines(out, ie, "Raw data:\n", true)) {
        break;
      }
      p += (un8Id & 0x80) ? 1u : 2u + un8Len;
    }
  } catch (const CVQSigTraceTruncated& t) {
    out.Truncated(t);
  }
  return VQX_RESULT_OK;
}

u32 VqSigTraceDecodeQ921(CVQSigTraceText& out, const CVQSigTraceCursor& f) {
  try {
    const u8 a1 = f.At(kun32Address1), a2 = f.At(kun32Address2);
    out.Put("SAPI=", SVQSigTraceDec{(a1 >> 2u) & 0x3Fu}, ", CR=", SVQSigTraceDec{(a1 >> 1u) & 1u}, ", TEI=", SVQSigTraceDec{(a2 >> 1u) & 0x7Fu}, "\n");
    const u8 c = f.At(kun32Control1);
    if ((c & 1u) == 0) {
      const u8 d = f.At(kun32Control2);
      out.Put("[I] PF= ", SVQSigTraceDec{d & 1u}, " NR= ", SVQSigTraceDec{(d >> 1u) & 0x7Fu}, " NS= ", SVQSigTraceDec{(c >> 1u) & 0x7Fu}, "\n");
      const u8 un8Pd = f.At(kun32Discriminator);
      if (un8Pd == kun8PdQ931) {
        if (f.Size() > kun32Layer3) VqSigTraceDecodeQ931(out, f.Tail(kun32Layer3));
      } else if (un8Pd == kun8PdMaintenance) {
        out.Append("Q.931 AT&T Maintanence Message\n");
        if (f.Size() > kun32Layer3) VqSigTraceDecodeMaintenance(out, f.Tail(kun32Layer3));
      } else {
        out.Put("Unknown Protocol Discriminator: 0x", SVQSigTraceHex{un8Pd}, '\n');
        out.RawBuffer("Raw data:\n", f.Tail(kun32Layer3).All(), true);
      }
    } else if (const std::string_view s = VqSigTraceName(s_aSupervisory, c, {}); s.data() != nullptr) {
      const u32 d = f.At(kun32Control2);
      out.Put(s, " PF= ", SVQSigTraceDec{d & 1u}, " NR= ", SVQSigTraceDec{d >> 1u}, '\n');
    } else if (const std::string_view u = VqSigTraceName(s_aUnnumbered, c & ~kun8UnnumberedPf & 0xFFu, {}); u.data() != nullptr) {
      out.Put(u, " PF= ", SVQSigTraceDec{(c >> 4) & 1u}, '\n');
    } else {
      out.RawBuffer("Unknown command: raw data:\n", f.All(), true);
    }
  } catch (const CVQSigTraceTruncated& t) {
    out.Truncated(t);
  }
  out.Append("\n");
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
