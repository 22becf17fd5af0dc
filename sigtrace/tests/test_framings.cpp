/*
 * test_framings.cpp - golden bytes of every pcap framing, compared with the
 * files written by the independent encoder testing/golden/sigtrace/gen_framings.py, and
 * the wire lengths of the record headers; the IPv4 header checksum.
 */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <functional>
#include <memory>

#include "sigtrace_framing.h"
#include "sigtracegrp.h"
#include "support/sigtrace_test_support.h"

using namespace VQCAF;
using sigtest::Be32;
using sigtest::FromHex;
using sigtest::Seq;

namespace {

CVQSigTraceEntityParams IsdnEntity(u32 un32Trunk, const char* pszInterface, const char* pszAddress) {
  CVQSigTraceEntityParams e = sigtest::Entity(VQ_SIGTRACE_TYPE_ISDN, "", "");
  e.mun32Trunk = un32Trunk;
  e.mstrEthPort = pszInterface;
  e.mstrIpMask = pszAddress;
  return e;
}

/* A LAPD link as its board's discovery gives it: trunk 2, its name as interface string, the board's address. */
CVQSigTraceEntityParams LapdLink(const char* pszAddress) {
  CVQSigTraceEntityParams e = IsdnEntity(2, "LAPD_A", pszAddress);
  e.mun32Type = VQ_SIGTRACE_TYPE_LAPD, e.mstrName = "LAPD_A";
  return e;
}

/* The framing of a TUCL packet with these direction, transport, protocol, addresses and ports. */
auto Tucl(u32 un32Dir, u32 un32Transport, u32 un32Protocol, const char* pszRemote, const char* pszLocal, u32 un32Local, u32 un32Remote) {
  return [=](std::vector<u8>& v, const CVQSigTraceCursor& c) {
    return VqSigTraceFrameTucl(v, un32Dir, un32Transport, un32Protocol, pszRemote, pszLocal, un32Local, un32Remote, c);
  };
}

const char* kpszH248 = "MEGACO/1 [192.168.0.2]:2945\r\nTransaction = 1 {\r\n}\r\n";
const char* kpszSetup = "00 01 02 04 08 02 00 05 05 04 03 80 90 A3 18 03 A9 83 81 70 05 81 35 36 36 37";

struct SFramingCase {
  const char* pszName;
  std::vector<u8> vUnit;
  std::function<u32(std::vector<u8>&, const CVQSigTraceCursor&)> fnFrame;
  u32 un32Wire;
};

std::vector<SFramingCase> Cases() {
  const std::vector<u8> vH248(kpszH248, kpszH248 + strlen(kpszH248));
  const u32 un32H248 = static_cast<u32>(vH248.size());
  return {
      {"ss7_310", Seq(310), [](auto& v, auto& c) { return VqSigTraceFrameSs7(v, 3, 0, 1, c); }, 314},
      {"ss7_annexa", FromHex("34 92 02 81 01 00 03 85"), [](auto& v, auto& c) { return VqSigTraceFrameSs7(v, 0x12345, 1, 0, c); }, 12},
      {"lapd_old", FromHex("00 01 02 04 08 01 05 05"), [](auto& v, auto& c) { return VqSigTraceFrameLapd(v, 1, 1, c); }, 24},
      {"lapd_old_rx", FromHex("02 01 01 05"), [](auto& v, auto& c) { return VqSigTraceFrameLapd(v, 0, 0x1FF, c); }, 20},
      {"iua_i5", FromHex("00 01 02 04 08"),
       [](auto& v, auto& c) { return VqSigTraceFrameIua(v, IsdnEntity(7, std::string(37, 'A').c_str(), "10.1.2.3"), 0, c); },
       90 + 40 + 8},
      {"iua_rr4", FromHex("02 01 01 05"), [](auto& v, auto& c) { return VqSigTraceFrameIua(v, IsdnEntity(0, "", ""), 1, c); }, 90},
      {"iua_ui", FromHex("02 01 03 08 01 05 05"),
       [](auto& v, auto& c) { return VqSigTraceFrameIua(v, IsdnEntity(2, "D0:ETSI:NET", "192.168.10.20"), 0, c); }, 90 + 12 + 8},
      {"iua_ui_pf_tx", FromHex("00 01 13 08 01 01 75"),
       [](auto& v, auto& c) { return VqSigTraceFrameIua(v, IsdnEntity(4, "D2", "10.0.0.8"), 1, c); }, 90 + 4 + 8},
      {"iua_sabme3", FromHex("00 01 7F"), [](auto& v, auto& c) { return VqSigTraceFrameIua(v, IsdnEntity(1, "x", "10.0.0.9"), 1, c); },
       90 + 4},
      {"iua_rr6_tx", FromHex("02 01 01 05 0A 0B"),
       [](auto& v, auto& c) { return VqSigTraceFrameIua(v, IsdnEntity(3, "D1", "10.0.0.7"), 1, c); }, 90 + 4 + 8},
      {"iua_sabme5_rx", FromHex("00 01 7F C1 C2"),
       [](auto& v, auto& c) { return VqSigTraceFrameIua(v, IsdnEntity(3, "D1", "10.0.0.7"), 0, c); }, 90 + 4 + 8},
      {"iua_setup", FromHex(kpszSetup),
       [](auto& v, auto& c) { return VqSigTraceFrameIua(v, IsdnEntity(5, "E1_0:ETSI:USER", "10.20.30.40"), 1, c); }, 90 + 16 + 28},
      {"iua_lapd_board2", FromHex("00 01 02 04 08 01 05 05"),
       [](auto& v, auto& c) { return VqSigTraceFrameIua(v, LapdLink("127.0.0.2"), 0, c); }, 90 + 8 + 8},
      {"iua_lapd_board3_tx", FromHex("00 01 02 04 08 01 05 05"),
       [](auto& v, auto& c) { return VqSigTraceFrameIua(v, LapdLink("127.0.0.3"), 1, c); }, 90 + 8 + 8},
      {"h248_dir2", vH248, [](auto& v, auto& c) { return VqSigTraceFrameH248(v, 2, c); }, 42 + un32H248},
      {"h248_dir1", vH248, [](auto& v, auto& c) { return VqSigTraceFrameH248(v, 1, c); }, 42 + un32H248},
      {"h248_dir3", vH248, [](auto& v, auto& c) { return VqSigTraceFrameH248(v, 3, c); }, 42 + un32H248},
      {"h248_dir0", vH248, [](auto& v, auto& c) { return VqSigTraceFrameH248(v, 0, c); }, 42 + un32H248},
      {"tucl_raw_sctp", FromHex("0B 59 13 C4 00 00 00 00 DE AD BE EF"),
       Tucl(VQ500_TUCL_TRACE_DIRECTION_RX, VQ500_TUCL_TRACE_TRANSPORT_RAW, VQ500_TUCL_TRACE_PROTOCOL_SCTP, "10.0.0.2", "10.0.0.1", 2905, 2906),
       34 + 12},
      {"tucl_raw_udp", FromHex("01 02 03 04"),
       Tucl(VQ500_TUCL_TRACE_DIRECTION_TX, VQ500_TUCL_TRACE_TRANSPORT_RAW, VQ500_TUCL_TRACE_PROTOCOL_SIP, "", "10.0.0.1", 1, 2), 34 + 4},
      {"tucl_udp_sip", FromHex("4F 50 54 49 4F 4E 53 20 73 69 70 3A 61 40 62 20 53 49 50 2F 32 2E 30 0D 0A 0D 0A"),
       Tucl(VQ500_TUCL_TRACE_DIRECTION_TX, VQ500_TUCL_TRACE_TRANSPORT_UDP, VQ500_TUCL_TRACE_PROTOCOL_SIP, "10.0.0.2", "10.0.0.1", 5060, 5062),
       42 + 27},
  };
}

}  // namespace

TEST(SigTraceFramings, GoldenBytesAndWireLengths) {
  for (const SFramingCase& c : Cases()) {
    /* The unit in a block of exactly its size: ASan catches any overread. */
    std::unique_ptr<u8[]> p(new u8[c.vUnit.size()]);
    memcpy(p.get(), c.vUnit.data(), c.vUnit.size());
    std::vector<u8> v;
    const u32 un32Wire = c.fnFrame(v, CVQSigTraceCursor(p.get(), static_cast<u32>(c.vUnit.size())));
    const std::string strGolden = sigtest::ReadFile(sigtest::DataPath(std::string("framing_") + c.pszName + ".bin"));
    ASSERT_FALSE(strGolden.empty()) << c.pszName;
    EXPECT_EQ(std::string(v.begin(), v.end()), strGolden) << "row " << c.pszName;
    EXPECT_EQ(un32Wire, c.un32Wire) << "row " << c.pszName;
  }
}

/* Captured and wire lengths at the caps: SS7 at 300 octets; IUA frames of
 * 0 to 4 octets (DLCI octets they lack are zero) and above 300 (UI frames
 * carry octets 3 on, every other frame octets 4 on), with the IUA, SCTP and IPv4 lengths of the captured part;
 * H.248 at 5000. Each unit sits in a block of exactly its size. */
TEST(SigTraceFramings, CapsAndLengths) {
  const CVQSigTraceEntityParams e = IsdnEntity(1, "abcde", "1.2.3.4"); /* S = 8 */
  struct {
    const char* pszRow; /* the framing is named by the row's first letter */
    u32 un32Length;
    u8 un8Control;
    u32 un32Captured, un32Wire;
  } const aRows[] = {
      {"SS7 0", 0, 0, 4, 4},          {"SS7 300", 300, 0, 304, 304},  {"SS7 301", 301, 0, 304, 305},
      {"IUA 0", 0, 0, 98, 98},        {"IUA 1", 1, 0, 98, 98},        {"IUA 4", 4, 0x7F, 98, 98},
      {"I 310", 310, 0x02, 98 + 300, 98 + 312}, /* Protocol Data 4 + 296, wire 4 + 306 */
      {"I 300", 300, 0x02, 98 + 300, 98 + 300},
      {"UI 310", 310, 0x03, 98 + 304, 98 + 312}, /* 4 + 297 -> 304, wire 4 + 307 -> 312 */
      {"FRMR 310", 310, 0x87, 98 + 300, 98 + 312}, {"XID 301", 301, 0xAF, 98 + 300, 98 + 304},
      {"RR 310", 310, 0x01, 98 + 300, 98 + 312},
      {"H.248 5001", 5001, 'x', 42 + 5000, 42 + 5001},
  };
  for (const auto& row : aRows) {
    std::unique_ptr<u8[]> p(new u8[row.un32Length]);
    memset(p.get(), 0x5A, row.un32Length);
    if (row.un32Length > 2) p[2] = row.un8Control;
    const CVQSigTraceCursor c(p.get(), row.un32Length);
    std::vector<u8> v;
    const u32 un32Wire = row.pszRow[0] == 'S' ? VqSigTraceFrameSs7(v, 1, 0, 0, c)
                         : row.pszRow[0] == 'H' ? VqSigTraceFrameH248(v, 1, c)
                                                : VqSigTraceFrameIua(v, e, 0, c);
    EXPECT_EQ(un32Wire, row.un32Wire) << "row " << row.pszRow;
    ASSERT_EQ(v.size(), row.un32Captured) << "row " << row.pszRow;
    if (row.pszRow[0] == 'S') continue;
    EXPECT_EQ((v[16] << 8) | v[17], row.un32Captured - 14) << "IPv4 total length, row " << row.pszRow;
    if (row.pszRow[0] == 'H') continue;
    EXPECT_EQ(Be32(std::string(v.begin(), v.end()), 66), row.un32Captured - 62) << "IUA length, row " << row.pszRow;
    EXPECT_EQ((v[48] << 8) | v[49], row.un32Captured - 46) << "SCTP chunk length, row " << row.pszRow;
    for (u32 i = row.un32Length; i < 4; ++i) EXPECT_EQ(v[82 + i], 0) << "DLCI octet " << i << ", row " << row.pszRow;
  }
}

/* Known checksums over headers given octet by octet (checksum field
 * non-zero: it is replaced, not summed); sums that fold once and twice. */
TEST(SigTraceFramings, IpHeaderChecksum) {
  const std::pair<const char*, u16> aRows[] = {
      {"45 00 00 73 00 00 40 00 40 11 12 34 C0 A8 00 01 C0 A8 00 C7", 0xB861}, /* RFC 1071 example */
      {"45 00 00 14 00 00 00 00 40 11 FF FF 00 00 00 00 00 00 00 00", 0x7ADA},
      /* 45 00 + seven FF FF + BB 06 = 0x7FFFF: folds to 0x10006, which carries again to 7. */
      {"45 00 FF FF FF FF FF FF FF FF 00 01 FF FF FF FF BB 06 FF FF", 0xFFF8},
  };
  for (const auto& [pszHeader, un16Expected] : aRows) {
    _QUELLAN_IP ip{};
    memcpy(&ip, FromHex(pszHeader).data(), sizeof(ip));
    ASSERT_EQ(CVQSigTraceGrp::CalculateIpHeaderChecksum(&ip), VQX_RESULT_OK);
    EXPECT_EQ(ntohs(ip.un16Checksum), un16Expected) << pszHeader;
  }
  EXPECT_EQ(CVQSigTraceGrp::CalculateIpHeaderChecksum(nullptr), VQX_RESULT_NULL_PARAM);
}
