/*
 * sigtracegrp_pcap.cpp - the trace group's four packet writers (SS7, H.248,
 * IP, ISDN/LAPD): rotation and counters, then one record, pcap with its
 * framing (sigtrace_framing.cpp) or text with the decoded body.
 *
 * Called by the trace application's main thread for every trace
 * notification of a board and every data message of a remote provider.
 */
#include "sigtrace_decode.h"
#include "sigtrace_framing.h"
#include "sigtracegrp.h"
#include "vqcafexception.h"

namespace VQCAF {

template <class FFrame, class FText>
VQX_RESULT CVQSigTraceGrp::WritePacket(CVQSigTraceEntityParams& Entity, u32 un32HeaderDirection, u32 un32Length,
                                       FFrame&& fnFrame, FText&& fnText) {
  const bool fOpen = PrepareRecord();
  CountPacket(Entity, un32HeaderDirection);
  if (!fOpen) {
    NoteLost(1);
    return VQX_RESULT_OK;
  }
  mFile.BeginRecord();
  if (IsPcap()) {
    /* The framing goes straight into the segment's buffer behind room for
     * the record header, filled in once the lengths are known. */
    std::vector<u8>& v = mFile.PieceBuffer();
    const size_t un64Start = v.size();
    u32 un32Wire;
    try {
      v.resize(un64Start + kun32PcapRecordHeaderBytes);
      un32Wire = fnFrame(v);
    } catch (...) {
      v.resize(un64Start); /* no part of a record is left to be written */
      throw;
    }
    PutPcapRecordHeader(v.data() + un64Start, mpClock->Now(),
                        static_cast<u32>(v.size() - un64Start - kun32PcapRecordHeaderBytes), un32Wire);
  } else {
    /* Prefix line and body are built in the group's reused buffer (no
     * allocation per record) and go to the segment in one piece. */
    mText.Clear();
    AppendPrefixLine(mText, Entity, un32HeaderDirection, un32Length);
    fnText(mText);
    mFile.Append(mText.Str());
  }
  /* Standard output is flushed after every packet record. */
  EndRecord(true);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQSigTraceGrp::WriteSs7PacketData(CVQSigTraceEntityParams& Entity, u32 un32LinkNumber, u32 fAnnexA,
                                              u32 un32Variant, u32 un32PcLength, u32 un32Direction, u32 un32Length,
                                              const u8* pData) {
  try {
    const CVQSigTraceCursor su(pData, un32Length);
    return WritePacket(
        Entity, un32Direction, un32Length,
        [&](std::vector<u8>& v) { return VqSigTraceFrameSs7(v, un32LinkNumber, fAnnexA, un32Direction, su); },
        [&](CVQSigTraceText& text) { VqSigTraceDecodeSs7(text, un32Variant, un32PcLength, fAnnexA, su); });
  }
  VQ_SIGTRACE_CATCH_RETURN("CVQSigTraceGrp::WriteSs7PacketData")
}

VQX_RESULT CVQSigTraceGrp::WriteH248PacketData(CVQSigTraceEntityParams& Entity, u32 un32Direction, u32 un32Length,
                                               const u8* pData) {
  try {
    const CVQSigTraceCursor msg(pData, un32Length);
    const bool fFromMgc = VqSigTraceH248FromMgc(un32Direction);
    return WritePacket(
        Entity, fFromMgc ? 0 : 1, un32Length, [&](std::vector<u8>& v) { return VqSigTraceFrameH248(v, un32Direction, msg); },
        [&](CVQSigTraceText& text) {
          text.Append(fFromMgc ? "MGC -> MG " : "MG -> MGC ");
          VqSigTracePrintableDump(text, msg.All(), true);
        });
  }
  VQ_SIGTRACE_CATCH_RETURN("CVQSigTraceGrp::WriteH248PacketData")
}

VQX_RESULT CVQSigTraceGrp::WriteTuclPacketData(CVQSigTraceEntityParams& Entity, _VQ500_TUCL_TRACE_DIRECTION_TYPE Direction,
                                               _VQ500_TUCL_TRACE_TRANSPORT_TYPE Transport,
                                               _VQ500_TUCL_TRACE_PROTOCOL_TYPE Protocol, const char* pszInterface,
                                               const char* pszRemoteAddress, const char* pszLocalAddress,
                                               u32 un32LocalPort, u32 un32RemotePort, u32 un32CapturedTimeMs,
                                               u32 un32Length, const u8* pData) {
  try {
    const CVQSigTraceCursor packet(pData, un32Length);
    return WritePacket(
        Entity, Direction == VQ500_TUCL_TRACE_DIRECTION_RX ? 0 : 1, un32Length,
        [&](std::vector<u8>& v) {
          return VqSigTraceFrameTucl(v, Direction, Transport, Protocol, pszRemoteAddress, pszLocalAddress, un32LocalPort,
                                     un32RemotePort, packet);
        },
        [&](CVQSigTraceText& text) {
          /* "    If:<interface, left-aligned in 4>  Lcl:<address>:<port>  Rem:<address>:<port>  Captured time: <ms> ms". */
          const std::string_view iface(pszInterface ? pszInterface : "");
          text.Put("    If:", iface);
          if (iface.size() < 4) text.Str().append(4 - iface.size(), ' ');
          text.Put("  Lcl:", std::string_view(pszLocalAddress ? pszLocalAddress : ""), ':', SVQSigTraceDec{un32LocalPort},
                   "  Rem:", std::string_view(pszRemoteAddress ? pszRemoteAddress : ""), ':', SVQSigTraceDec{un32RemotePort},
                   "  Captured time: ", SVQSigTraceDec{un32CapturedTimeMs}, " ms\n");
          if (Protocol == VQ500_TUCL_TRACE_PROTOCOL_SIP) VqSigTracePrintableDump(text, packet.All(), false);
          else VqSigTraceIpHexDump(text, packet.All());
        });
  }
  VQ_SIGTRACE_CATCH_RETURN("CVQSigTraceGrp::WriteTuclPacketData")
}

VQX_RESULT CVQSigTraceGrp::WriteIsdnPacketData(CVQSigTraceEntityParams& Entity, u32 un32Direction, u32 un32Side,
                                               u32 un32Length, const u8* pData) {
  try {
    const CVQSigTraceCursor frame(pData, un32Length);
    return WritePacket(
        Entity, un32Direction, un32Length,
        [&](std::vector<u8>& v) {
          return mfOldIsdnFraming ? VqSigTraceFrameLapd(v, un32Direction, un32Side, frame)
                                  : VqSigTraceFrameIua(v, Entity, un32Direction, frame);
        },
        [&](CVQSigTraceText& text) { VqSigTraceDecodeQ921(text, frame); });
  }
  VQ_SIGTRACE_CATCH_RETURN("CVQSigTraceGrp::WriteIsdnPacketData")
}

}  // namespace VQCAF
