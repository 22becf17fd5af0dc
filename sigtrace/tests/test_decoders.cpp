/*
 * test_decoders.cpp - golden text and result of every decoder over hand-built units,
 * and the truncation behaviour: a unit cut anywhere yields a marker line and
 * never a read past its end (AddressSanitizer watches the reads: every unit
 * is copied into a buffer of exactly its length).
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "sigtrace_decode.h"
#include "sigtrace_framing.h"
#include "support/sigtrace_test_support.h"

using namespace VQCAF;
using sigtest::CompareGolden;
using sigtest::FromHex;

namespace {

enum class EDecoder { Ss7, Mtp3, Isup, Sccp, Q921, Q931, Maintenance };

struct SUnitCase {
  const char* pszGolden;
  EDecoder Decoder;
  u32 un32Variant, un32PcLength, fAnnexA;
  const char* pszHex;
  u32 un32Result = VQX_RESULT_OK; /* of the decoder called */
};

/* Units, octet by octet (MTP2 header, SIO, label, user part...); several
 * units of a row, separated by '|', are decoded one after the other into
 * its golden file, each with the row's result. */
const SUnitCase s_aCases[] = {
    /* MTP2 basic: BSN 5/BIB 1, FSN 3/FIB 1, LI 0. */
    {"ss7_fisu.txt", EDecoder::Ss7, 1, 2, 0, "85 83 00"},
    /* LSSU LI 2: status SIN, second status 7. */
    {"ss7_lssu_li2.txt", EDecoder::Ss7, 1, 2, 0, "01 02 02 01 07"},
    /* LSSU LI 1 with status 6, spare bits 2. */
    {"ss7_lssu_unknown.txt", EDecoder::Ss7, 1, 2, 0, "01 02 81 06"},
    /* Annex A LSSU: BSN 0x1234, FSN 0x0102 with FIB, LI 0x0001 (16 bits). */
    {"ss7_lssu_annexa.txt", EDecoder::Ss7, 1, 2, 1, "34 92 02 81 01 00 03"},
    /* MSU, ITU 14-bit label (DPC 291, OPC 73, SLS 5), ISUP IAM CIC 1 with
     * called number and a calling party number option. */
    {"ss7_isup_iam.txt", EDecoder::Ss7, 1, 2, 0,
     "10 20 3F  85  23 41 12 50  01 00 01 00 60 01 0A 00 02 08"
     " 06 81 10 21 43 65 07  0A 04 03 13 21 43 00"},
    /* IAM under ANSI (24-bit label): octet 7 is the user service information pointer. */
    {"ss7_isup_iam_ansi.txt", EDecoder::Ss7, 3, 2, 0,
     "10 20 3F  85  01 02 03 04 05 06 07  05 00 01 00 60 01 0A 03 05 00 02 90 A2 03 81 10 21"},
    /* ACM without optional part (ITU 24-bit label). */
    {"ss7_isup_acm.txt", EDecoder::Ss7, 2, 3, 0, "10 20 3F  C5  0A 0B 0C 0D 0E 0F 0C  02 40 06 16 14 00"},
    /* ANM with optional part pointer 0. */
    {"ss7_isup_anm.txt", EDecoder::Ss7, 1, 2, 0, "10 20 3F  85  23 41 12 50  01 00 09 00"},
    /* REL cause 16 (location user), then an optional Redirection Number ending the message. */
    {"ss7_isup_rel.txt", EDecoder::Ss7, 1, 2, 0, "10 20 3F  85  23 41 12 50  05 00 0C 02 04 02 80 90  0C 01 77"},
    /* GRS range 31. */
    {"ss7_isup_grs.txt", EDecoder::Ss7, 1, 2, 0, "10 20 3F  85  23 41 12 50  01 00 17 01 01 1F"},
    /* REL whose cause pointer leaves the message: invalid index, no dump. */
    {"ss7_isup_rel_invalid.txt", EDecoder::Isup, 1, 2, 0, "05 00 0C 09 00", VQX_RESULT_FAIL},
    /* SCCP UDT (protocol class 1 with return option) and UDTS, ITU 24-bit label. */
    {"ss7_sccp_udt.txt", EDecoder::Ss7, 1, 3, 0,
     "10 20 3F  83  0A 0B 0C 0D 0E 0F 0C  09 81 03 07 0B 04 43 01 00 08 04 43 02 00 08 03 AA BB CC"},
    {"ss7_sccp_udts.txt", EDecoder::Sccp, 1, 3, 0, "0A 01 03 05 07"},
    {"ss7_sccp_short.txt", EDecoder::Sccp, 1, 3, 0, "09", VQX_RESULT_FAIL},
    /* SNM TRA, ANSI 14-bit label (variant 4, length 1). Names of every table
     * row, variants and message kinds: the model's units. */
    {"ss7_snm_tra.txt", EDecoder::Ss7, 4, 1, 0, "10 20 3F  80  01 02 03 04 05 17"},
    /* Point-code length 0: warning. */
    {"ss7_pclen0.txt", EDecoder::Mtp3, 3, 0, 0, "85 01 02 03 04 05 06 07 01 00 10 00"},
    /* MTP3 too small for its label; MSU no longer than its header. */
    {"ss7_mtp3_short.txt", EDecoder::Ss7, 1, 3, 0, "10 20 3F 85 01 02"},
    {"ss7_msu_empty.txt", EDecoder::Ss7, 1, 2, 0, "10 20 3F"},
    /* Annex A MSU: LI from all sixteen bits (259), then MTP3. */
    {"ss7_msu_annexa.txt", EDecoder::Ss7, 1, 2, 1, "05 80 07 00 03 01  85  23 41 12 50  01 00 10 00"},
    /* Annex A LSSU LI 2: status in octet 6, second status in octet 7. */
    {"ss7_lssu_annexa_li2.txt", EDecoder::Ss7, 1, 2, 1, "01 00 02 00 02 00 04 09"},
    /* ITU 24-bit frame of exactly 9 octets: one user-part octet (SNM CBA). */
    {"ss7_itu24_min.txt", EDecoder::Mtp3, 2, 3, 0, "C0 01 02 03 04 05 06 F7 61"},
    /* Point-code length 0 under ITU: warning, then 14 bits; SI 2, Sub=1. */
    {"ss7_itu_pclen0.txt", EDecoder::Mtp3, 1, 0, 0, "92 23 41 12 50 11"},
    /* Point-code length 4 under ANSI: warning, then 24 bits; TUP code not in the table. */
    {"ss7_ansi_pclen4.txt", EDecoder::Mtp3, 4, 4, 0, "44 01 02 03 04 05 06 07 99"},
    /* Each label format one octet short of its minimum. */
    {"ss7_short_itu14.txt", EDecoder::Mtp3, 1, 2, 0, "85 01 02 03 04", VQX_RESULT_FAIL},
    {"ss7_short_ansi14.txt", EDecoder::Mtp3, 3, 1, 0, "85 01 02 03 04 05", VQX_RESULT_FAIL},
    {"ss7_short_ansi24.txt", EDecoder::Mtp3, 4, 3, 0, "85 01 02 03 04 05 06 07", VQX_RESULT_FAIL},
    /* NTT variant with nothing after the SIO; SI 9 has no service text. */
    {"ss7_ntt.txt", EDecoder::Mtp3, 6, 2, 0, "06"},
    {"ss7_si9.txt", EDecoder::Mtp3, 1, 2, 0, "89 23 41 12 50 AA"},
    /* ACM with options: a named one, the 0x92 text, an unknown code of length 0. */
    {"ss7_isup_acm_opt.txt", EDecoder::Isup, 1, 2, 0, "01 00 06 16 14 01 11 01 AB 09 01 0A F0 00 00"},
    /* Optional-part pointer past the end; called party number cut by the end. */
    {"ss7_isup_opt_invalid.txt", EDecoder::Isup, 1, 2, 0, "01 00 09 05", VQX_RESULT_FAIL},
    {"ss7_isup_iam_called_invalid.txt", EDecoder::Isup, 1, 2, 0, "01 00 01 00 60 01 0A 00 02 00 06 81", VQX_RESULT_FAIL},
    /* REL with three cause octets (known, last known, unknown) and no optional part. */
    {"ss7_isup_rel_causes.txt", EDecoder::Isup, 1, 2, 0, "05 00 0C 02 00 04 85 9F FF 06"},
    /* An unknown SCCP type. */
    {"ss7_sccp_unknown.txt", EDecoder::Sccp, 1, 2, 0, "15 00"},

    /* Q.921/Q.931 SETUP: I frame NS 1 NR 2, call reference 5 (length 2),
     * sending complete, bearer speech/64k/A-law, channel B1 of a PRI,
     * progress, display, calling 1234 (octet 3a), called 56*7, HLC telephony. */
    {"isdn_setup.txt", EDecoder::Q921, 0, 0, 0,
     "00 01 02 04 08 02 00 05 05 A1 04 03 80 90 A3 18 03 A9 83 81 1E 02 81 83"
     " 28 03 41 42 43 6C 06 21 81 31 32 33 34 70 05 81 35 36 2A 37 7D 02 91 81"},
    /* CONNECT with date/time of length 6 and channel id of a BRI. */
    {"isdn_connect.txt", EDecoder::Q921, 0, 0, 0, "02 01 04 06 08 01 85 07 18 01 89 29 06 1A 0C 06 11 14 1E"},
    /* DISCONNECT with cause 16 (length 2) and progress 8. */
    {"isdn_disconnect.txt", EDecoder::Q921, 0, 0, 0, "00 01 06 06 08 01 05 45 08 02 80 90 1E 02 81 88"},
    /* RELEASE with a cause of length 3 (one extra octet), cause value 0. */
    {"isdn_release.txt", EDecoder::Q921, 0, 0, 0, "00 01 08 08 08 01 85 4D 08 03 82 80 01"},
    /* Shifts: call state, a non-locking shift to 6 for one IE, then a locking
     * shift to 5 whose IEs run to the end of the message. */
    {"isdn_status_shifts.txt", EDecoder::Q931, 0, 0, 0,
     "01 81 7D 14 01 0A 9E 33 01 44 14 01 0A 95 01 01 99 02 02 11 22"},
    /* INFORMATION with many codeset-0 IEs. */
    {"isdn_information.txt", EDecoder::Q931, 0, 0, 0,
     "00 7B 00 02 85 05 27 01 81 34 01 01 2C 02 31 23 20 06 04 A1 31 32 33 55"
     " 6D 03 A0 11 22 71 01 80 74 05 00 00 8F 33 34 78 03 A1 31 32 79 01 86"
     " 7C 04 08 40 90 18 7E 03 04 41 42 B0 BF D2 A0 10 02 01 02 80 7F 00 14 01 3D"},
    /* Bearer multirate with rate multiplier and layer 1, LLC, HLC 104 with octet 4a. */
    {"isdn_capabilities.txt", EDecoder::Q931, 0, 0, 0, "00 05 04 04 80 18 02 A2 7D 03 91 E8 81 0A 01 06"},
    /* Calling party number whose octet 3a lacks its extension bit. */
    {"isdn_calling_bad_3a.txt", EDecoder::Q931, 0, 0, 0, "00 05 6C 04 21 01 31 32"},
    /* Channel identification with an interface identifier without extension: ends the message. */
    {"isdn_chanid_iface.txt", EDecoder::Q931, 0, 0, 0, "00 05 18 03 E9 01 83 A1"},
    /* An I frame whose Q.931 part is empty. */
    {"isdn_i5_q931.txt", EDecoder::Q921, 0, 0, 0, "00 01 00 00 08"},
    /* Maintenance SERVICE: dummy call reference, change status, channel id
     * with an interface identifier; then an IE it cannot parse. */
    {"isdn_maintenance.txt", EDecoder::Q921, 0, 0, 0, "00 01 00 00 03 00 0F 01 01 81 18 04 E9 80 83 81 04 01 00"},

    /* Truncated units: marker line where they run out. */
    {"trunc_mtp2.txt", EDecoder::Ss7, 1, 2, 1, "01 02 03"},
    {"trunc_lssu.txt", EDecoder::Ss7, 1, 2, 0, "01 02 02 01"},
    {"trunc_isup_iam.txt", EDecoder::Isup, 1, 2, 0, "01 00 01 00 60", VQX_RESULT_FAIL},
    {"trunc_isup_option.txt", EDecoder::Isup, 1, 2, 0, "01 00 09 01 0A 04 03"},
    {"trunc_isup_len1.txt", EDecoder::Isup, 1, 2, 0, "01", VQX_RESULT_FAIL},
    {"trunc_q921.txt", EDecoder::Q921, 0, 0, 0, "00"},
    {"trunc_q931_bearer.txt", EDecoder::Q931, 0, 0, 0, "00 05 04 05 80 90"},
    {"trunc_q931_cause_short_ie.txt", EDecoder::Q931, 0, 0, 0, "00 45 08 01 80 1E 02 81 88"},
    {"trunc_maintenance.txt", EDecoder::Maintenance, 0, 0, 0, "00 0F 01 00"},
    /* An IE of a locked codeset whose length runs past the message. */
    {"trunc_q931_codeset.txt", EDecoder::Q931, 0, 0, 0, "00 7D 96 01 05 41"},

    /* Supervisory and unnumbered frames with P/F set and clear, and a
     * control octet that is neither (0x11: no unnumbered command 0x01). */
    {"isdn_frame_kinds.txt", EDecoder::Q921, 0, 0, 0,
     "00 01 05 03 | 02 03 09 FE | 00 01 1F | 00 01 53 | 00 01 63 | 00 01 97 | 00 01 AF | FC 01 03 | 00 01 11 00"},
    /* Maintenance: two-octet call reference, SERVICE_ACK, status 2, channel
     * id of the D channel; unknown type and status; no IE it knows; channel
     * id by slot map with extra octets. */
    {"isdn_maintenance_kinds.txt", EDecoder::Maintenance, 0, 0, 0,
     "02 81 02 07 01 01 02 18 01 A4 | 00 55 01 01 07 0A 00 | 00 0F 0A | 00 0F 18 05 A3 F6 05 AA BB"},
    /* Locking and non-locking shifts through codesets 4, 7, 1, 3 and back to 0. */
    {"isdn_q931_codesets.txt", EDecoder::Q931, 0, 0, 0, "00 7D 94 01 01 41 9F 02 01 42 91 93 9C 14 01 0A 05 00 90 14 01 0A"},
    /* A call identity and an IE of a locked codeset, each the last IE of its
     * message: both are whole, so both are dumped. */
    {"isdn_q931_last_ie.txt", EDecoder::Q931, 0, 0, 0, "00 7B 10 02 01 02 | 00 7D 96 01 01 41"},
    /* One message with the remaining branches of the codeset-0 field decoders. */
    {"isdn_q931_fields.txt", EDecoder::Q931, 0, 0, 0,
     "00 7B 29 03 19 01 1F  34 01 4F 34 01 47 34 01 0A  7E 01 10 7E 01 4F 7E 01 FE 7E 01 FF"
     " 20 03 00 AA BB  20 02 02 31  08 02 4A 9F 08 02 66 FF  27 01 05  00 02 03 05  79 01 80  6D 01 F0"
     " 04 02 90 40  04 03 80 90 C0  04 02 9F BF  7C 03 88 18 05  7C 03 08 00 90  7D 02 80 C4  7D 03 91 5E 01"
     " 18 05 A1 83 01 AA BB  74 05 11 00 0A 39 23  70 03 00 E3 31  1E 02 66 05  14 01 FF"},
};

std::vector<std::vector<u8>> Units(const char* pszHex) {
  std::vector<std::vector<u8>> aUnits;
  std::istringstream in(pszHex);
  for (std::string str; std::getline(in, str, '|');) aUnits.push_back(FromHex(str.c_str()));
  return aUnits;
}

/* The unit in a heap block of exactly its length, so that any read past the
 * end is caught by AddressSanitizer. */
std::string Decode(const SUnitCase& c, const std::vector<u8>& v, u32* pun32Result = nullptr) {
  std::unique_ptr<u8[]> p(new u8[v.size() ? v.size() : 1]);
  if (!v.empty()) memcpy(p.get(), v.data(), v.size());
  const CVQSigTraceCursor cur(v.empty() ? nullptr : p.get(), static_cast<u32>(v.size()));
  CVQSigTraceText out;
  u32 r = 0;
  switch (c.Decoder) {
    case EDecoder::Ss7: r = VqSigTraceDecodeSs7(out, c.un32Variant, c.un32PcLength, c.fAnnexA, cur); break;
    case EDecoder::Mtp3: r = VqSigTraceDecodeMtp3(out, c.un32Variant, c.un32PcLength, cur); break;
    case EDecoder::Isup: r = VqSigTraceDecodeIsup(out, c.un32Variant, cur); break;
    case EDecoder::Sccp: r = VqSigTraceDecodeSccp(out, c.un32Variant, cur); break;
    case EDecoder::Q921: r = VqSigTraceDecodeQ921(out, cur); break;
    case EDecoder::Q931: r = VqSigTraceDecodeQ931(out, cur); break;
    case EDecoder::Maintenance: r = VqSigTraceDecodeMaintenance(out, cur); break;
  }
  if (pun32Result) *pun32Result = r;
  return out.Str();
}

}  // namespace

TEST(SigTraceDecoders, GoldenText) {
  for (const SUnitCase& c : s_aCases) {
    std::string strAll;
    for (const std::vector<u8>& v : Units(c.pszHex)) {
      u32 un32Result = 0;
      strAll += Decode(c, v, &un32Result);
      EXPECT_EQ(un32Result, c.un32Result) << "row " << c.pszGolden;
    }
    EXPECT_EQ(CompareGolden(c.pszGolden, strAll), "") << "row " << c.pszGolden;
  }
}

/* Every prefix of every unit decodes without reading past its end. */
TEST(SigTraceDecoders, EveryPrefixStaysInside) {
  for (const SUnitCase& c : s_aCases) {
    for (const std::vector<u8>& v : Units(c.pszHex)) {
      for (size_t n = 0; n <= v.size(); ++n) {
        const std::string str = Decode(c, std::vector<u8>(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n)));
        EXPECT_TRUE(c.Decoder == EDecoder::Sccp || c.Decoder == EDecoder::Mtp3 || !str.empty()) << c.pszGolden << " n=" << n;
      }
    }
  }
}

/* Units built and decoded by an independent model (testing/golden/sigtrace/gen_decoder_cases.py):
 * the decoders must write the model's text byte for byte. */
TEST(SigTraceDecoders, IndependentModelCases) {
  std::istringstream in(sigtest::ReadFile(sigtest::DataPath("decoder_model_cases.txt")));
  u32 un32Cases = 0;
  for (std::string strHead; std::getline(in, strHead); ++un32Cases) {
    char acDecoder[8] = {};
    unsigned uLen = 0, uVariant = 0, uPcLength = 0, uAnnexA = 0;
    int nHex = 0;
    ASSERT_EQ(sscanf(strHead.c_str(), "@@ %u %7s %u %u %u %n", &uLen, acDecoder, &uVariant, &uPcLength, &uAnnexA, &nHex), 5)
        << strHead;
    std::string strExpected(uLen, '\0');
    ASSERT_TRUE(in.read(strExpected.data(), uLen) && in.get() == '\n') << strHead;
    const std::string strDecoder(acDecoder);
    ASSERT_TRUE(strDecoder == "ss7" || strDecoder == "q921" || strDecoder == "mnt") << strHead;
    const SUnitCase c{"", strDecoder == "ss7" ? EDecoder::Ss7 : strDecoder == "q921" ? EDecoder::Q921 : EDecoder::Maintenance,
                      uVariant, uPcLength, uAnnexA, strHead.c_str() + nHex};
    EXPECT_EQ(Decode(c, FromHex(c.pszHex)), strExpected) << strHead;
  }
  EXPECT_EQ(un32Cases, 460u);
}

/* Hex dumps at their line boundaries, and the H.248 and IP dumps. */
TEST(SigTraceDecoders, Dumps) {
  const std::vector<u8> v = sigtest::Seq(17);
  const std::tuple<const char*, std::function<void(CVQSigTraceText&)>, std::string> aRows[] = {
      {"16 with offsets", [&](auto& t) { t.RawBuffer("P:", std::span(v).first(16), true); },
       "P:0000  00 01 02 03 04 05 06 07   08 09 0A 0B 0C 0D 0E 0F \n\n"},
      {"empty", [&](auto& t) { t.RawBuffer("Raw data:\n", {}, true); }, "Raw data:\n\n"},
      {"17", [&](auto& t) { t.RawBuffer("", v, false); }, "00 01 02 03 04 05 06 07   08 09 0A 0B 0C 0D 0E 0F \n10 \n"},
      {"H.248 CR LF", [](auto& t) { VqSigTracePrintableDump(t, FromHex("41 0D 0A 42"), true); }, "A\nB\n\n"},
      {"H.248 ends CR LF", [](auto& t) { VqSigTracePrintableDump(t, FromHex("41 0D 0A"), true); }, "A\n\n"},
      {"H.248 empty", [](auto& t) { VqSigTracePrintableDump(t, {}, true); }, "\n\n"},
      {"SIP CR LF", [](auto& t) { VqSigTracePrintableDump(t, FromHex("41 0D 0A"), false); }, "A\n\n\n"},
      {"SIP controls", [](auto& t) { VqSigTracePrintableDump(t, FromHex("41 00 7F 20 0A 0A 0D 43"), false); }, "A007F \nC\n\n"},
      {"IP 33", [](auto& t) { VqSigTraceIpHexDump(t, std::vector<u8>(33, 0xAB)); },
       "ABABABABABABABAB ABABABABABABABAB ABABABABABABABAB ABABABABABABABAB \nAB\n\n"},
      {"field under a mask, decimals at both ends",
       [](auto& t) { t.Field(0xA5, 0x3C, "x=", SVQSigTraceDec{0}, "/", SVQSigTraceDec{4294967295u}); },
       " [0xA5] --1001-- x=0/4294967295\n"},
      {"field, every bit", [](auto& t) { t.Field(0x81, 0xFF, "y"); }, " [0x81] 10000001 y\n"},
      {"field, no bit", [](auto& t) { t.Field(0xFF, 0x00, ""); }, " [0xFF] -------- \n"},
      {"put", [](auto& t) {
         t.Put(" [0x");
         t.PutHex2(0x0F);
         t.Put("] ", 'c', SVQSigTraceDec{10});
       }, " [0x0F] c10"},
  };
  for (const auto& [pszRow, fn, strExpected] : aRows) {
    CVQSigTraceText t;
    fn(t);
    EXPECT_EQ(t.Str(), strExpected) << "row " << pszRow;
  }
}

/* The picture of every octet under masks of one, none, all and split bits,
 * against a bit-by-bit reading; a field line opens with the same picture. */
TEST(SigTraceDecoders, Pictures) {
  for (const u8 un8Mask : {0xFF, 0x00, 0x80, 0x01, 0x0F, 0xF0, 0x81, 0x7E}) {
    for (u32 v = 0; v < 256; ++v) {
      char acHex[8];
      snprintf(acHex, sizeof(acHex), "[0x%02X] ", v);
      std::string strExpected = acHex;
      for (int nBit = 7; nBit >= 0; --nBit) {
        strExpected += ((un8Mask >> nBit) & 1) ? static_cast<char>('0' + ((v >> nBit) & 1)) : '-';
      }
      EXPECT_EQ(VqSigTracePicture(static_cast<u8>(v), un8Mask).c_str(), strExpected) << v << " mask " << +un8Mask;
      CVQSigTraceText t;
      t.Field(static_cast<u8>(v), un8Mask);
      EXPECT_EQ(t.Str(), " " + strExpected + " \n") << v << " mask " << +un8Mask;
    }
  }
}

/* Numbers put directly agree with printf's "%u", "%3u", "%05u", "%X" and
 * "%02X" at the ends of their range and where the digits meet the width;
 * hex dumps agree with a printf reading of their layout, offsets past 64 KiB
 * included. */
TEST(SigTraceDecoders, DirectPartsMatchPrintf) {
  for (const u32 v : {0u, 7u, 10u, 99u, 100u, 999u, 1000u, 65535u, 99999u, 100000u, 4294967295u}) {
    const std::tuple<const char*, std::function<void(CVQSigTraceText&)>> aRows[] = {
        {"%u", [&](auto& t) { t.Put(SVQSigTraceDec{v}); }},
        {"%3u", [&](auto& t) { t.Put(SVQSigTraceDec{v, 3}); }},
        {"%05u", [&](auto& t) { t.Put(SVQSigTraceDec{v, 5, '0'}); }},
        {"%X", [&](auto& t) { t.Put(SVQSigTraceHex{v}); }},
        {"%02X", [&](auto& t) { t.Put(SVQSigTraceHex{v, 2}); }},
        /* Widths past the longest number: the room a line's parts take is
         * the width, not the digits. */
        {"%12u", [&](auto& t) { t.Put(SVQSigTraceDec{v, 12}); }},
        {"%012u", [&](auto& t) { t.Put(SVQSigTraceDec{v, 12, '0'}); }},
        {"%010X", [&](auto& t) { t.Put(SVQSigTraceHex{v, 10}); }},
        {"x=%u/%3u-%c%s%05u:%02X;%X", [&](auto& t) {
           t.Put("x=", SVQSigTraceDec{v}, '/', SVQSigTraceDec{v, 3}, '-', 'c', std::string_view(), SVQSigTraceDec{v, 5, '0'},
                 ':', SVQSigTraceHex{v, 2}, ';', SVQSigTraceHex{v});
         }},
    };
    for (const auto& [pszFormat, fn] : aRows) {
      char acExpected[96];
      if (strchr(pszFormat, 's') != nullptr) snprintf(acExpected, sizeof(acExpected), pszFormat, v, v, 'c', "", v, v, v);
      else snprintf(acExpected, sizeof(acExpected), pszFormat, v);
      CVQSigTraceText t;
      t.Put("<");
      fn(t);
      EXPECT_EQ(t.Str(), std::string("<") + acExpected) << pszFormat << " " << v;
    }
  }
  /* A point-code length outside 1..3 is shown as the signed field it is. */
  const std::vector<u8> vMtp3 = FromHex("85 01 02 03 04 05");
  for (const u32 un32PcLength : {0u, 4u, 14u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    char acExpected[96];
    snprintf(acExpected, sizeof(acExpected), " Sub=0 NATIONAL ISDN User Part (ISUP) \nWARNING DPC length not set (value=%d), fix",
             static_cast<int>(un32PcLength));
    CVQSigTraceText t;
    VqSigTraceDecodeMtp3(t, 1, un32PcLength, CVQSigTraceCursor(vMtp3.data(), static_cast<u32>(vMtp3.size())));
    EXPECT_EQ(t.Str().rfind(acExpected, 0), 0u) << un32PcLength << ": " << t.Str();
  }
  for (const size_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 33u, 65552u, 65553u}) {
    const std::vector<u8> v = sigtest::Seq(static_cast<u32>(n));
    for (const bool fOffsets : {false, true}) {
      std::string strExpected = "P:";
      char ac[16];
      for (size_t i = 0; i < n; ++i) {
        if (fOffsets && i % 16 == 0) strExpected += (snprintf(ac, sizeof(ac), "%04X  ", static_cast<unsigned>(i)), ac);
        strExpected += (snprintf(ac, sizeof(ac), "%02X ", v[i]), ac);
        if (i % 16 == 7) strExpected += "  ";
        if (i % 16 == 15) strExpected += "\n";
      }
      CVQSigTraceText t;
      t.RawBuffer("P:", v, fOffsets);
      EXPECT_EQ(t.Str(), strExpected + "\n") << n << (fOffsets ? " with offsets" : "");
    }
  }
}

/* The text builder's own formatter agrees with printf on what the decoders
 * use (widths, flags, %c, %%), and falls back to it outside that subset,
 * whatever the length of the text. */
TEST(SigTraceDecoders, FormatterMatchesPrintf) {
  const char* const apszFormats[] = {"%d|%u|%s", "%3d|%2u|%12s", "%-4d|%05u|%-10s", "%d|%X|%-4s", "%c|%02X|%s",
                                     "%d|%10u|%s%%", "%d|%x|%s", "%+d|%u|%.2s"};
  for (const char* pszFormat : apszFormats) {
    for (const auto& [n, u, psz] : {std::tuple<int, unsigned, const char*>{-12, 4294967295u, "MFR2_FWD1"}, {65, 0u, ""}}) {
      char acExpected[256];
      snprintf(acExpected, sizeof(acExpected), pszFormat, n, u, psz);
      CVQSigTraceText t;
      t.Appendf(pszFormat, n, u, psz);
      EXPECT_EQ(t.Str(), acExpected) << pszFormat << " " << n;
    }
  }
  /* The fallback's own buffer (512 bytes) at its edges: a text of its length less the terminator, its length, and
   * past it, after what the builder holds already. */
  for (const size_t un64Length : {3u, 510u, 511u, 512u, 513u, 2000u}) {
    const std::string strTail(un64Length - 3, 'a');
    CVQSigTraceText t;
    t.Append("head|");
    t.Appendf("%+d%s", -12, strTail.c_str());
    EXPECT_EQ(t.Str(), "head|-12" + strTail) << un64Length << " characters";
  }
}
