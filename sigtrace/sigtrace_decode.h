/*
 * sigtrace_decode.h - text decoders of the trace groups (SS7, ISDN, CAS R2).
 *
 * Each decoder appends the body of one text record to a CVQSigTraceText; the
 * trace group (sigtracegrp.h) writes it after the record's prefix line. They
 * keep no state between units and read the unit only through the cursor they
 * are given: a unit shorter than its layout gets the truncation marker line
 * where it ran out, never a read past its end.
 *
 * Results: 0x02000000, or 0x82000001 where a decoder reports a malformed unit
 * (MTP3 frame too small, invalid ISUP index, SCCP unit below 2 octets).
 * Callers write the text whatever the result.
 *
 * Internal to the sigtrace library (tests and the fuzz target use it too).
 */
#ifndef SIGTRACE_DECODE_H
#define SIGTRACE_DECODE_H

#include "sigtrace_cursor.h"
#include "sigtrace_text.h"
#include "vq500_trace_types.h"
#include "vqx_result.h"

namespace VQCAF {

/* SS7 protocol variants of the boards. */
enum : u32 {
  VQ_SS7_VARIANT_ITU_1 = 1,
  VQ_SS7_VARIANT_ITU_2 = 2,
  VQ_SS7_VARIANT_ANSI_1 = 3,
  VQ_SS7_VARIANT_ANSI_2 = 4,
  VQ_SS7_VARIANT_TTC = 5,
  VQ_SS7_VARIANT_NTT = 6,
};

/* Point-code lengths the SS7 decoders take. Any other value decodes as the
 * default and the record carries a warning with the value. */
enum : u32 {
  VQ_SS7_PC_LENGTH_14 = 1,
  VQ_SS7_PC_LENGTH_DEFAULT = 2, /* the variant's own: ITU 14-bit, ANSI 24-bit */
  VQ_SS7_PC_LENGTH_24 = 3,
};

/* MTP2 signal unit from its first header octet (Q.703; Annex A: 6-octet header). */
u32 VqSigTraceDecodeSs7(CVQSigTraceText& out, u32 un32Variant, u32 un32PcLength, u32 fAnnexA, const CVQSigTraceCursor& su);
/* MTP3 MSU from its SIO (Q.704 routing label, ANSI T1.111 label). */
u32 VqSigTraceDecodeMtp3(CVQSigTraceText& out, u32 un32Variant, u32 un32PcLength, const CVQSigTraceCursor& msu);
/* ISUP message from its CIC (Q.763). */
u32 VqSigTraceDecodeIsup(CVQSigTraceText& out, u32 un32Variant, const CVQSigTraceCursor& msg);
/* ISUP optional part from its first parameter. */
u32 VqSigTraceDecodeIsupOptions(CVQSigTraceText& out, const CVQSigTraceCursor& opt);
/* SCCP message from its message type (Q.713). */
u32 VqSigTraceDecodeSccp(CVQSigTraceText& out, u32 un32Variant, const CVQSigTraceCursor& msg);

/* Q.921 frame from its first address octet (no flags, no FCS). */
u32 VqSigTraceDecodeQ921(CVQSigTraceText& out, const CVQSigTraceCursor& frame);
/* Maintenance message (protocol discriminator 3) from its call-reference length. */
u32 VqSigTraceDecodeMaintenance(CVQSigTraceText& out, const CVQSigTraceCursor& msg);
/* Q.931 message from its call-reference length octet. */
u32 VqSigTraceDecodeQ931(CVQSigTraceText& out, const CVQSigTraceCursor& msg);

/* Call reference (Q.931 4.3) from its length octet; returns the index of
 * the message type that follows it. */
u32 VqSigTraceCallReference(CVQSigTraceText& out, const CVQSigTraceCursor& msg);

/* Channel identification IE (Q.931 4.5.13) over the IE's own cursor
 * (octet 0 the identifier). Returns true when an interface identifier
 * without extension bit ends the decoding of the whole message. The octets
 * after the channel number are dumped with pszExtraPrefix. */
bool VqSigTraceChannelIdLines(CVQSigTraceText& out, const CVQSigTraceCursor& ie, const char* pszExtraPrefix, bool fExtraOffsets);

/* Q.931 IE field decoders over the IE's own cursor (octet 0 the identifier). */
void VqSigTraceQ931BearerCapability(CVQSigTraceText& out, const CVQSigTraceCursor& ie);
void VqSigTraceQ931LowLayerCompat(CVQSigTraceText& out, const CVQSigTraceCursor& ie);
void VqSigTraceQ931HighLayerCompat(CVQSigTraceText& out, const CVQSigTraceCursor& ie);
void VqSigTraceQ931NetworkFacilities(CVQSigTraceText& out, const CVQSigTraceCursor& ie);
void VqSigTraceQ931PartyNumber(CVQSigTraceText& out, const CVQSigTraceCursor& ie);
/* Shared field texts of the Q.931 IEs. */
std::string_view VqSigTraceQ931CodingStandard(u32 un32Value);
std::string_view VqSigTraceQ931NetIdType(u32 un32Value);
std::string_view VqSigTraceQ931NetIdPlan(u32 un32Value);

/* CAS R2 lines (text only). The entity name is printed right-aligned in 12. */
void VqSigTraceCasr2LineStart(CVQSigTraceText& out, const char* pszEntity, u32 un32Timeslot, u32 un32Timestamp, u32 un32Direction);
void VqSigTraceCasr2State(CVQSigTraceText& out, u32 un32CallState, u32 un32InternalState);
void VqSigTraceCasr2Tone(CVQSigTraceText& out, const _VQ500_VP_DIGIT_PARAMS& tone, u32 un32Value);
void VqSigTraceCasr2Bits(CVQSigTraceText& out, const u8 aun8Bits[8], u32 un32Start, u32 un32End, u32 un32Count);

}  // namespace VQCAF

#endif
