/*
 * sigtracegrp_text.cpp - the trace group's text records: the decoder entry
 * points that write one decoded body to the current file, and the CAS R2
 * writers (always text, one line per event).
 *
 * Called by the trace application's main thread under its mutex.
 */
#include "sigtrace_decode.h"
#include "sigtracegrp.h"
#include "vqcafexception.h"

namespace VQCAF {

VQX_RESULT CVQSigTraceGrp::GetBinaryString(u8 un8Value, CVQCAFString& strOut, u8 un8Mask) {
  try {
    strOut = VqSigTracePicture(un8Value, un8Mask).c_str();
    return VQX_RESULT_OK;
  }
  VQ_SIGTRACE_CATCH_RETURN("CVQSigTraceGrp::GetBinaryString")
}

VQX_RESULT CVQSigTraceGrp::WriteTextRecord() {
  if (!TakesRest()) return VQX_RESULT_OK;
  mFile.BeginRecord();
  mFile.Append(mText.Str());
  /* The body of a record counted by WritePacketHeader. */
  EndRecord(false, false);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQSigTraceGrp::WriteRawBuffer(const char* pszPrefix, u32 un32Length, const u8* pData, u32 fWithOffsets) {
  try {
    mText.Clear();
    mText.RawBuffer(pszPrefix ? pszPrefix : "", CVQSigTraceCursor(pData, un32Length).All(), fWithOffsets != 0);
    return WriteTextRecord();
  }
  VQ_SIGTRACE_CATCH_RETURN("CVQSigTraceGrp::WriteRawBuffer")
}

/* One decoder over (length, data) into the group's reused text, written as
 * one piece; its result. */
#define VQ_SIGTRACE_TEXT_ENTRY(pszName, call)  \
  try {                                        \
    CVQSigTraceText& text = mText;             \
    text.Clear();                              \
    const VQX_RESULT r = (call);               \
    WriteTextRecord();                         \
    return r;                                  \
  }                                            \
  VQ_SIGTRACE_CATCH_RETURN(pszName)

VQX_RESULT CVQSigTraceGrp::WriteFormattedSs7Trace(u32 un32Variant, u32 un32PcLength, u32 fAnnexA, u32 un32Length, const u8* pData) {
  VQ_SIGTRACE_TEXT_ENTRY("CVQSigTraceGrp::WriteFormattedSs7Trace",
                         VqSigTraceDecodeSs7(text, un32Variant, un32PcLength, fAnnexA, CVQSigTraceCursor(pData, un32Length)))
}
VQX_RESULT CVQSigTraceGrp::WriteFormattedMtp3Trace(u32 un32Variant, u32 un32PcLength, u32 un32Length, const u8* pData) {
  VQ_SIGTRACE_TEXT_ENTRY("CVQSigTraceGrp::WriteFormattedMtp3Trace",
                         VqSigTraceDecodeMtp3(text, un32Variant, un32PcLength, CVQSigTraceCursor(pData, un32Length)))
}
VQX_RESULT CVQSigTraceGrp::WriteFormattedIsupTrace(u32 un32Variant, u32 un32Length, const u8* pData) {
  VQ_SIGTRACE_TEXT_ENTRY("CVQSigTraceGrp::WriteFormattedIsupTrace",
                         VqSigTraceDecodeIsup(text, un32Variant, CVQSigTraceCursor(pData, un32Length)))
}
VQX_RESULT CVQSigTraceGrp::WriteFormattedIsupOptions(u32 un32Length, const u8* pData) {
  VQ_SIGTRACE_TEXT_ENTRY("CVQSigTraceGrp::WriteFormattedIsupOptions",
                         VqSigTraceDecodeIsupOptions(text, CVQSigTraceCursor(pData, un32Length)))
}
VQX_RESULT CVQSigTraceGrp::WriteFormattedSccpTrace(u32 un32Variant, u32 un32Length, const u8* pData) {
  VQ_SIGTRACE_TEXT_ENTRY("CVQSigTraceGrp::WriteFormattedSccpTrace",
                         VqSigTraceDecodeSccp(text, un32Variant, CVQSigTraceCursor(pData, un32Length)))
}
VQX_RESULT CVQSigTraceGrp::WriteFormattedIsdnTrace(u32 un32Length, const u8* pData) {
  VQ_SIGTRACE_TEXT_ENTRY("CVQSigTraceGrp::WriteFormattedIsdnTrace", VqSigTraceDecodeQ921(text, CVQSigTraceCursor(pData, un32Length)))
}
VQX_RESULT CVQSigTraceGrp::WriteFormattedIsdnMaintenance(u32 un32Length, const u8* pData) {
  VQ_SIGTRACE_TEXT_ENTRY("CVQSigTraceGrp::WriteFormattedIsdnMaintenance",
                         VqSigTraceDecodeMaintenance(text, CVQSigTraceCursor(pData, un32Length)))
}
VQX_RESULT CVQSigTraceGrp::WriteFormattedIsdnQ931(u32 un32Length, const u8* pData) {
  VQ_SIGTRACE_TEXT_ENTRY("CVQSigTraceGrp::WriteFormattedIsdnQ931", VqSigTraceDecodeQ931(text, CVQSigTraceCursor(pData, un32Length)))
}

/* ---- CAS R2 ---- */

namespace {
/* Counters of a CAS R2 record: 1 received, 2 sent, any other value neither. */
void CountCasr2(CVQSigTraceGrp& Grp, CVQSigTraceEntityParams& Entity, u32 un32Direction) {
  if (un32Direction == 1) {
    ++Grp.mun32RxCount;
    ++Entity.mun32RxCount;
  } else if (un32Direction == 2) {
    ++Grp.mun32TxCount;
    ++Entity.mun32TxCount;
  } else {
    ++Grp.mun32ExtCount;
    ++Entity.mun32ExtCount;
  }
}
}  // namespace

VQX_RESULT CVQSigTraceGrp::WriteCasr2DateHeader(CVQSigTraceEntityParams& Entity, u32 un32Direction) {
  try {
    const bool fOpen = PrepareRecord();
    CountCasr2(*this, Entity, un32Direction);
    if (!fOpen) {
      NoteLost(1);
      return VQX_RESULT_OK;
    }
    mFile.BeginRecord();
    const std::string_view time = mStamp.TimeOfDay(mpClock->Now());
    mFile.Append(time.data(), time.size());
    mFile.Append(" ", 1);
    return VQX_RESULT_OK;
  }
  VQ_SIGTRACE_CATCH_RETURN("CVQSigTraceGrp::WriteCasr2DateHeader")
}

/* The formatter's part of one CAS R2 line; it ends the record that
 * WriteCasr2DateHeader opened with the time of day. */
#define VQ_SIGTRACE_CASR2_FORMAT(pszName, body)                                                          \
  try {                                                                                                  \
    if (!TakesRest()) return VQX_RESULT_OK;                                                              \
    CVQSigTraceText& text = mText;                                                                       \
    text.Clear();                                                                                        \
    VqSigTraceCasr2LineStart(text, Entity.mstrName.c_str(), un32Timeslot, un32Timestamp, un32Direction); \
    body;                                                                                                \
    mFile.Append(text.Str());                                                                            \
    EndRecord(false);                                                                                    \
    return VQX_RESULT_OK;                                                                                \
  }                                                                                                      \
  VQ_SIGTRACE_CATCH_RETURN(pszName)

VQX_RESULT CVQSigTraceGrp::WriteFormattedCasr2ExtendedStateTrace(CVQSigTraceEntityParams& Entity, u32 un32Timeslot,
                                                                 u32 un32Timestamp, u32 un32Direction,
                                                                 _VQ500_CASR2_CALL_STATE CallState,
                                                                 _VQ500_CASR2_INTERNAL_CALL_STATE InternalState) {
  VQ_SIGTRACE_CASR2_FORMAT("CVQSigTraceGrp::WriteFormattedCasr2ExtendedStateTrace",
                           VqSigTraceCasr2State(text, CallState, InternalState))
}

VQX_RESULT CVQSigTraceGrp::WriteFormattedCasr2ToneTrace(CVQSigTraceEntityParams& Entity, u32 un32Timeslot,
                                                        u32 un32Timestamp, u32 un32Direction,
                                                        const _VQ500_VP_DIGIT_PARAMS* pTone, u32 un32Value) {
  static const _VQ500_VP_DIGIT_PARAMS s_NoTone = {};
  VQ_SIGTRACE_CASR2_FORMAT("CVQSigTraceGrp::WriteFormattedCasr2ToneTrace",
                           VqSigTraceCasr2Tone(text, pTone ? *pTone : s_NoTone, un32Value))
}

VQX_RESULT CVQSigTraceGrp::WriteFormattedCasr2CasBitsTrace(CVQSigTraceEntityParams& Entity, u32 un32Timeslot,
                                                           u32 un32Timestamp, u32 un32Direction, u8 un8Bit1, u8 un8Bit2,
                                                           u8 un8Bit3, u8 un8Bit4, u8 un8Bit5, u8 un8Bit6, u8 un8Bit7,
                                                           u8 un8Bit8, u32 un32StartTime, u32 un32EndTime,
                                                           u32 un32Count) {
  const u8 aun8Bits[8] = {un8Bit1, un8Bit2, un8Bit3, un8Bit4, un8Bit5, un8Bit6, un8Bit7, un8Bit8};
  VQ_SIGTRACE_CASR2_FORMAT("CVQSigTraceGrp::WriteFormattedCasr2CasBitsTrace",
                           VqSigTraceCasr2Bits(text, aun8Bits, un32StartTime, un32EndTime, un32Count))
}

/* CAS R2 events: the time of day (rotation and counters included), then
 * the formatter's text, when the record was begun. */
VQX_RESULT CVQSigTraceGrp::WriteCasr2ExtendedStateData(CVQSigTraceEntityParams& Entity, u32 un32Timeslot, u32 un32Timestamp,
                                                       _VQ500_CASR2_CALL_STATE CallState,
                                                       _VQ500_CASR2_INTERNAL_CALL_STATE InternalState) {
  try {
    /* A state change has no direction: it counts as other and shows "--- ". */
    WriteCasr2DateHeader(Entity, 0);
    WriteFormattedCasr2ExtendedStateTrace(Entity, un32Timeslot, un32Timestamp, 0, CallState, InternalState);
    return VQX_RESULT_OK;
  }
  VQ_SIGTRACE_CATCH_RETURN("CVQSigTraceGrp::WriteCasr2ExtendedStateData")
}

VQX_RESULT CVQSigTraceGrp::WriteCasr2ToneData(CVQSigTraceEntityParams& Entity, u32 un32Timeslot, u32 un32Timestamp,
                                              u32 un32Direction, const _VQ500_VP_DIGIT_PARAMS* pTone, u32 un32Value) {
  try {
    WriteCasr2DateHeader(Entity, un32Direction);
    WriteFormattedCasr2ToneTrace(Entity, un32Timeslot, un32Timestamp, un32Direction, pTone, un32Value);
    return VQX_RESULT_OK;
  }
  VQ_SIGTRACE_CATCH_RETURN("CVQSigTraceGrp::WriteCasr2ToneData")
}

VQX_RESULT CVQSigTraceGrp::WriteCasr2CasBitsData(CVQSigTraceEntityParams& Entity, u32 un32Timeslot, u32 un32Timestamp,
                                                 u32 un32Direction, u8 un8Bit1, u8 un8Bit2, u8 un8Bit3, u8 un8Bit4,
                                                 u8 un8Bit5, u8 un8Bit6, u8 un8Bit7, u8 un8Bit8, u32 un32StartTime,
                                                 u32 un32EndTime, u32 un32Count) {
  try {
    WriteCasr2DateHeader(Entity, un32Direction);
    WriteFormattedCasr2CasBitsTrace(Entity, un32Timeslot, un32Timestamp, un32Direction, un8Bit1, un8Bit2, un8Bit3, un8Bit4,
                                    un8Bit5, un8Bit6, un8Bit7, un8Bit8, un32StartTime, un32EndTime, un32Count);
    return VQX_RESULT_OK;
  }
  VQ_SIGTRACE_CATCH_RETURN("CVQSigTraceGrp::WriteCasr2CasBitsData")
}

}  // namespace VQCAF
