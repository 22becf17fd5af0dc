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

VQX_RESULT CVQSigTraceGrp::WriteSs7PacketData(CVQSigTraceEntityParams& Entity, u32 un32LinkNumber, u32 fAnnexA,
                                              u32 un32Variant, u32 un32PcLength, u32 un32Direction, u32 un32Length,
                                              const u8* pData) {
  try {
    const bool fOpen = PrepareRecord();
    CountPacket(Entity, un32Direction);
    if (!fOpen) {
      NoteLost(1);
      return VQX_RESULT_OK;
    }
    const CVQSigTraceCursor su(pData, un32Length);
    mFile.BeginRecord();
    if (IsPcap()) {
      mvScratch.clear();
      const u32 un32Wire = VqSigTraceFrameSs7(mvScratch, un32LinkNumber, fAnnexA, un32Direction, su);
      WritePcapRecord(mpClock->Now(), mvScratch.data(), static_cast<u32>(mvScratch.size()), un32Wire);
    } else {
      AppendPrefixLine(Entity, un32Direction, un32Length);
      CVQSigTraceText text;
      text.Str().swap(mstrText);
      text.Clear();
      VqSigTraceDecodeSs7(text, un32Variant, un32PcLength, fAnnexA, su);
      mFile.Append(text.Str());
      text.Str().swap(mstrText);
    }
    EndRecord(true);
    return VQX_RESULT_OK;
  }
  VQCAF_CATCH_RETURN("CVQSigTraceGrp::WriteSs7PacketData")
}

VQX_RESULT CVQSigTraceGrp::WriteH248PacketData(CVQSigTraceEntityParams& Entity, u32 un32Direction, u32 un32Length,
                                               const u8* pData) {
  try {
    const u32 un32HeaderDirection = un32Direction == 1 ? 1 : 0;
    const bool fOpen = PrepareRecord();
    CountPacket(Entity, un32HeaderDirection);
    if (!fOpen) {
      NoteLost(1);
      return VQX_RESULT_OK;
    }
    const CVQSigTraceCursor msg(pData, un32Length);
    mFile.BeginRecord();
    if (IsPcap()) {
      mvScratch.clear();
      const u32 un32Wire = VqSigTraceFrameH248(mvScratch, un32Direction, msg);
      WritePcapRecord(mpClock->Now(), mvScratch.data(), static_cast<u32>(mvScratch.size()), un32Wire);
    } else {
      AppendPrefixLine(Entity, un32HeaderDirection, un32Length);
      CVQSigTraceText text;
      text.Append(un32Direction == 1 ? "MG -> MGC " : "MGC -> MG ");
      VqSigTracePrintableDump(text, msg.All(), true);
      mFile.Append(text.Str());
    }
    EndRecord(true);
    return VQX_RESULT_OK;
  }
  VQCAF_CATCH_RETURN("CVQSigTraceGrp::WriteH248PacketData")
}

VQX_RESULT CVQSigTraceGrp::WriteTuclPacketData(CVQSigTraceEntityParams& Entity, _VQ500_TUCL_TRACE_DIRECTION_TYPE Direction,
                                               _VQ500_TUCL_TRACE_TRANSPORT_TYPE Transport,
                                               _VQ500_TUCL_TRACE_PROTOCOL_TYPE Protocol, const char* pszInterface,
                                               const char* pszRemoteAddress, const char* pszLocalAddress,
                                               u32 un32LocalPort, u32 un32RemotePort, u32 un32CapturedTimeMs,
                                               u32 un32Length, const u8* pData) {
  try {
    const u32 un32HeaderDirection = Direction == VQ500_TUCL_TRACE_DIRECTION_RX ? 0 : 1;
    const bool fOpen = PrepareRecord();
    CountPacket(Entity, un32HeaderDirection);
    if (!fOpen) {
      NoteLost(1);
      return VQX_RESULT_OK;
    }
    const CVQSigTraceCursor packet(pData, un32Length);
    mFile.BeginRecord();
    if (IsPcap()) {
      mvScratch.clear();
      const u32 un32Wire = VqSigTraceFrameTucl(mvScratch, Direction, Transport, Protocol, pszRemoteAddress, pszLocalAddress,
                                               un32LocalPort, un32RemotePort, packet);
      WritePcapRecord(mpClock->Now(), mvScratch.data(), static_cast<u32>(mvScratch.size()), un32Wire);
    } else {
      AppendPrefixLine(Entity, un32HeaderDirection, un32Length);
      CVQSigTraceText text;
      text.Appendf("    If:%-4s  Lcl:%s:%u  Rem:%s:%u  Captured time: %u ms\n", pszInterface ? pszInterface : "",
                   pszLocalAddress ? pszLocalAddress : "", un32LocalPort, pszRemoteAddress ? pszRemoteAddress : "",
                   un32RemotePort, un32CapturedTimeMs);
      if (Protocol == VQ500_TUCL_TRACE_PROTOCOL_SIP) VqSigTracePrintableDump(text, packet.All(), false);
      else VqSigTraceIpHexDump(text, packet.All());
      mFile.Append(text.Str());
    }
    EndRecord(true);
    return VQX_RESULT_OK;
  }
  VQCAF_CATCH_RETURN("CVQSigTraceGrp::WriteTuclPacketData")
}

VQX_RESULT CVQSigTraceGrp::WriteIsdnPacketData(CVQSigTraceEntityParams& Entity, u32 un32Direction, u32 un32Side,
                                               u32 un32Length, const u8* pData) {
  try {
    const bool fOpen = PrepareRecord();
    CountPacket(Entity, un32Direction);
    if (!fOpen) {
      NoteLost(1);
      return VQX_RESULT_OK;
    }
    const CVQSigTraceCursor frame(pData, un32Length);
    mFile.BeginRecord();
    if (IsPcap()) {
      mvScratch.clear();
      const u32 un32Wire = mfOldIsdnFraming ? VqSigTraceFrameLapd(mvScratch, un32Direction, un32Side, frame)
                                            : VqSigTraceFrameIua(mvScratch, Entity, un32Direction, frame);
      WritePcapRecord(mpClock->Now(), mvScratch.data(), static_cast<u32>(mvScratch.size()), un32Wire);
    } else {
      AppendPrefixLine(Entity, un32Direction, un32Length);
      CVQSigTraceText text;
      text.Str().swap(mstrText);
      text.Clear();
      VqSigTraceDecodeQ921(text, frame);
      mFile.Append(text.Str());
      text.Str().swap(mstrText);
    }
    EndRecord(true);
    return VQX_RESULT_OK;
  }
  VQCAF_CATCH_RETURN("CVQSigTraceGrp::WriteIsdnPacketData")
}

}  // namespace VQCAF
