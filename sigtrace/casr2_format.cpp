/*
 * casr2_format.cpp - one text line per CAS R2 event: call and internal state
 * change, detected MF R2 tone (ITU-T Q.441), ABCD signalling-bit change.
 *
 * Called by the trace group's CAS R2 writers after the time of day that
 * opens the line. CAS R2 events are text only.
 */
#include "sigtrace_decode.h"

namespace VQCAF {
namespace {

constexpr SVQSigTraceName s_aCallState[] = {
    {0, "IDLE"}, {1, "FWD_PLACED"}, {2, "FWD_SIGNALING"}, {3, "FWD_ALERTING"}, {4, "FWD_ACTIVE"},
    {5, "FWD_TERMINATING"}, {6, "BWD_SIGNALING"}, {7, "BWD_VALIDATING"}, {8, "BWD_SIGNALING_GROUP_B"},
    {9, "BWD_ALERTING"}, {10, "BWD_ACTIVE"}, {11, "BWD_TERMINATING"},
};

constexpr SVQSigTraceName s_aInternalState[] = {
    {0, "IDLE"}, {1, "FWD_SEIZURE"}, {2, "FWD_HOLD_SEIZURE"}, {3, "FWD_HOLD_SEIZURE_TERMINATE"},
    {4, "FWD_ALLOC_RES"}, {5, "FWD_SIGNALING"}, {6, "FWD_WAIT_ABCD_ANSWER"}, {7, "FWD_FREE_RES"},
    {8, "FWD_ANSWERING"}, {9, "FWD_TERMINATING"}, {10, "FWD_HOLD_IDLE"}, {11, "BWD_ALLOC_RES"},
    {12, "BWD_SIGNALING"}, {13, "BWD_VALIDATING"}, {14, "BWD_WAIT_REFUSED"}, {15, "BWD_WAIT_ANSWER"},
    {16, "BWD_FREE_RES"}, {17, "BWD_ANSWERING"}, {18, "BWD_TERMINATING"}, {19, "BWD_TERMINATE_WAIT"},
    {20, "BWD_TERMINATE_ANSWER"}, {21, "BWD_TERMINATE_CLEAR_BWD"}, {22, "BWD_TERMINATE_HOLD_IDLE"},
    {23, "FWD_METERING"},
};

/* Codes follow the board's order, not the signal numbers. */
constexpr SVQSigTraceName s_aTone[] = {
    {40, "MFR2_FWD1"}, {41, "MFR2_FWD2"}, {42, "MFR2_FWD4"}, {43, "MFR2_FWD7"}, {44, "MFR2_FWD11"},
    {45, "MFR2_FWD3"}, {46, "MFR2_FWD5"}, {47, "MFR2_FWD8"}, {48, "MFR2_FWD12"}, {49, "MFR2_FWD6"},
    {50, "MFR2_FWD9"}, {51, "MFR2_FWD13"}, {52, "MFR2_FWD10"}, {53, "MFR2_FWD14"}, {54, "MFR2_FWD15"},
    {60, "MFR2_BCK1"}, {61, "MFR2_BCK2"}, {62, "MFR2_BCK4"}, {63, "MFR2_BCK7"}, {64, "MFR2_BCK11"},
    {65, "MFR2_BCK3"}, {66, "MFR2_BCK5"}, {67, "MFR2_BCK8"}, {68, "MFR2_BCK12"}, {69, "MFR2_BCK6"},
    {70, "MFR2_BCK9"}, {71, "MFR2_BCK13"}, {72, "MFR2_BCK10"}, {73, "MFR2_BCK14"}, {74, "MFR2_BCK15"},
    {200, "CUSTOM"},
};

constexpr SVQSigTraceName s_aDirection[] = {{1, "IN  "}, {2, "OUT "}};

}  // namespace

void VqSigTraceCasr2LineStart(CVQSigTraceText& out, const char* pszEntity, u32 un32Timeslot, u32 un32Timestamp,
                              u32 un32Direction) {
  out.Appendf("%12s  TS=%2d  ", pszEntity ? pszEntity : "", static_cast<int>(un32Timeslot));
  out.Append(VqSigTraceLookup(s_aDirection, un32Direction, "--- "));
  out.Appendf("T=%10u, ", un32Timestamp);
}

void VqSigTraceCasr2State(CVQSigTraceText& out, u32 un32CallState, u32 un32InternalState) {
  out.Appendf("CS=%2u (%21s), ", un32CallState, VqSigTraceLookup(s_aCallState, un32CallState, "Unknown"));
  out.Appendf("IS=%2u (%26s)", un32InternalState, VqSigTraceLookup(s_aInternalState, un32InternalState, "Unknown"));
  out.Append("\n");
}

void VqSigTraceCasr2Tone(CVQSigTraceText& out, const _VQ500_VP_DIGIT_PARAMS& tone, u32 un32Value) {
  out.Appendf("%-10s (%3u) lvl=%3d, ", VqSigTraceLookup(s_aTone, tone.un32ToneCode, "Unknown"), tone.un32ToneCode, tone.n32Level);
  if (tone.un32ToneCode == VQ500_CASR2_TONE_CUSTOM) {
    out.Appendf(", Custom=%3u %3u %3u %3u,  ", tone.aun32Custom[0], tone.aun32Custom[1], tone.aun32Custom[2], tone.aun32Custom[3]);
  }
  out.Appendf("V=%d", static_cast<int>(un32Value));
  out.Append("\n");
}

void VqSigTraceCasr2Bits(CVQSigTraceText& out, const u8 aun8Bits[8], u32 un32Start, u32 un32End, u32 un32Count) {
  out.Appendf("%u%u%u%u->", aun8Bits[4], aun8Bits[5], aun8Bits[6], aun8Bits[7]);
  out.Appendf("%u%u%u%u, ", aun8Bits[0], aun8Bits[1], aun8Bits[2], aun8Bits[3]);
  out.Appendf("DBT=%10u, DBC=%u", un32End - un32Start, un32Count);
  out.Append("\n");
}

}  // namespace VQCAF
