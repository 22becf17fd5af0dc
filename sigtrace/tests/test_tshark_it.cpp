/*
 * test_tshark_it.cpp - every pcap framing the trace groups write, read back
 * by tshark: the file opens with no malformed packet, and the fields tshark
 * decodes equal what was written. Skipped when tshark is not installed.
 *
 * tshark runs with two preferences: IPv4 checksum validation on, and the
 * IUA SAPI values read as ISDN (Q.921) rather than GSM Abis SAPIs, which is
 * what an ISDN D channel carries (by default tshark hands SAPI 0 to RSL).
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "sigtracegrp.h"
#include "support/sigtrace_test_support.h"

using namespace VQCAF;
using sigtest::CScratchDir;
using sigtest::FromHex;

namespace {

bool HaveTshark() { return system("tshark --version >/dev/null 2>&1") == 0; }

/* One output line per packet, fields separated by '|'. */
std::vector<std::string> Tshark(const std::string& strFile, const std::string& strArgs) {
  const std::string strCmd = "tshark -n -o ip.check_checksum:TRUE -o iua.use_gsm_sapi_values:FALSE -r " + strFile +
                             " -T fields -E separator='|' -E occurrence=f " + strArgs + " 2>/dev/null";
  std::vector<std::string> v;
  FILE* p = popen(strCmd.c_str(), "r");
  if (p == nullptr) return v;
  char acLine[4096];
  while (fgets(acLine, sizeof(acLine), p)) {
    std::string s(acLine);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    v.push_back(s);
  }
  pclose(p);
  return v;
}

/* Packets tshark flags as malformed (or with an error-level expert item). */
size_t Malformed(const std::string& strFile) {
  const std::string strCmd = "tshark -n -o iua.use_gsm_sapi_values:FALSE -o ip.check_checksum:TRUE -r " + strFile +
                             " -Y '_ws.malformed || _ws.expert.severity == error' 2>/dev/null | wc -l";
  FILE* p = popen(strCmd.c_str(), "r");
  size_t n = 999;
  if (p && fscanf(p, "%zu", &n) != 1) n = 999;
  if (p) pclose(p);
  return n;
}

CVQSigTraceEntityParams Entity(u32 un32Type, const char* pszName) {
  CVQSigTraceEntityParams e;
  e.mun32Type = un32Type;
  e.mstrAdapterName = "ADAPTER1";
  e.mstrName = pszName;
  return e;
}

void Pcap(CVQSigTraceGrp& g, const char* pszName, u32 un32Type) {
  g.mstrName = pszName;
  g.mun32Type = un32Type;
  g.mfPcap = 1;
}

}  // namespace

TEST(SigTraceTshark, Ss7Mtp2Mtp3Isup) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark not installed";
  CScratchDir dir;
  {
    CVQSigTraceGrp g;
    Pcap(g, "ss7", VQ_SIGTRACE_TYPE_SS7);
    CVQSigTraceEntityParams e = Entity(2, "L0");
    /* ITU 14-bit label: DPC 291, OPC 73, SLS 5; IAM CIC 1 to 1234567 with a calling number. */
    const std::vector<u8> vIam = FromHex("10 20 3F 85 23 41 12 50 01 00 01 00 60 01 0A 00 02 08 06 83 90 21 43 65 07 0A 06 03 13 21 43 65 87 00");
    const std::vector<u8> vAcm = FromHex("11 21 3F 85 49 C0 48 50 02 00 06 16 14 00");
    const std::vector<u8> vAnm = FromHex("12 22 3F 85 23 41 12 50 01 00 09 00");
    const std::vector<u8> vRel = FromHex("13 23 3F 85 23 41 12 50 01 00 0C 02 00 02 80 90");
    g.WriteSs7PacketData(e, 1, 0, 1, 2, 1, static_cast<u32>(vIam.size()), vIam.data());
    g.WriteSs7PacketData(e, 1, 0, 1, 2, 0, static_cast<u32>(vAcm.size()), vAcm.data());
    g.WriteSs7PacketData(e, 2, 0, 1, 2, 0, static_cast<u32>(vAnm.size()), vAnm.data());
    g.WriteSs7PacketData(e, 2, 0, 1, 2, 1, static_cast<u32>(vRel.size()), vRel.data());
    g.WriteSs7PacketData(e, 1, 0, 1, 2, 0, 3, FromHex("85 83 00").data());
  }
  EXPECT_EQ(Malformed("ss7_000.cap"), 0u);
  const std::vector<std::string> v = Tshark("ss7_000.cap", "-e mtp2.li -e mtp3.dpc -e mtp3.opc -e mtp3.sls -e isup.cic -e isup.message_type -e isup.called -e isup.cause_indicator");
  const std::vector<std::string> vExpected = {
      "63|291|73|5|1|1|1234567|",
      "63|73|291|5|2|6||",
      "63|291|73|5|1|9||",
      "63|291|73|5|1|12||16",
      "0|||||||",
  };
  ASSERT_EQ(v.size(), vExpected.size());
  for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(v[i].substr(0, vExpected[i].size()), vExpected[i]) << "packet " << i + 1 << ": " << v[i];
}

TEST(SigTraceTshark, IsdnOverIua) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark not installed";
  CScratchDir dir;
  {
    CVQSigTraceGrp g;
    Pcap(g, "isdn", VQ_SIGTRACE_TYPE_ISDN);
    CVQSigTraceEntityParams e = Entity(3, "D0");
    e.mun32Trunk = 6;
    e.mstrEthPort = "D0:ETSI:USER";
    e.mstrIpMask = "10.1.2.3";
    const std::vector<u8> vSetup = FromHex("00 01 02 04 08 02 00 05 05 04 03 80 90 A3 18 03 A9 83 81 70 08 81 31 32 33 34 35 36 37");
    const std::vector<u8> vDisc = FromHex("02 01 04 06 08 02 80 05 45 08 02 80 90");
    const std::vector<u8> vRr = FromHex("02 01 01 05");
    const std::vector<u8> vUi = FromHex("00 FF 03 08 01 05 05 04 03 80 90 A3");
    const std::vector<u8> vSabme = FromHex("00 01 7F");
    g.WriteIsdnPacketData(e, 1, 0, static_cast<u32>(vSetup.size()), vSetup.data());
    g.WriteIsdnPacketData(e, 0, 0, static_cast<u32>(vDisc.size()), vDisc.data());
    g.WriteIsdnPacketData(e, 0, 0, static_cast<u32>(vRr.size()), vRr.data());
    g.WriteIsdnPacketData(e, 1, 0, static_cast<u32>(vUi.size()), vUi.data());
    g.WriteIsdnPacketData(e, 1, 0, static_cast<u32>(vSabme.size()), vSabme.data());
  }
  EXPECT_EQ(Malformed("isdn_000.cap"), 0u);
  const std::vector<std::string> v = Tshark(
      "isdn_000.cap",
      "-e ip.checksum.status -e ip.src -e ip.dst -e sctp.data_sid -e iua.message_type -e iua.int_interface_identifier "
      "-e iua.dlci_sapi -e iua.dlci_tei -e iua.info_string -e q931.message_type -e q931.cause_value -e q931.called_party_number.digits");
  const std::vector<std::string> vExpected = {
      "1|10.1.2.3|0.0.0.0|0x0006|1|0x00000006|0x00|0x00|D0:ETSI:USER|0x05||1234567",
      "1|0.0.0.0|10.1.2.3|0x0006|2|0x00000006|0x00|0x00|D0:ETSI:USER|0x45|16|",
      "1|0.0.0.0|10.1.2.3|0x0006|2|0x00000006|0x00|0x00|D0:ETSI:USER|||",
      "1|10.1.2.3|0.0.0.0|0x0006|3|0x00000006|0x00|0x7f|D0:ETSI:USER|0x05||",
      "1|10.1.2.3|0.0.0.0|0x0006|1|0x00000006|0x00|0x00|D0:ETSI:USER|||",
  };
  ASSERT_EQ(v.size(), vExpected.size());
  for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(v[i], vExpected[i]) << "packet " << i + 1;
}

TEST(SigTraceTshark, IsdnOldLapdFraming) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark not installed";
  CScratchDir dir;
  {
    CVQSigTraceGrp g;
    Pcap(g, "lapd", VQ_SIGTRACE_TYPE_LAPD);
    g.mfOldIsdnFraming = 1;
    CVQSigTraceEntityParams e = Entity(7, "L");
    const std::vector<u8> vSetup = FromHex("00 01 02 04 08 02 00 05 05 04 03 80 90 A3 70 04 81 39 38 37");
    g.WriteIsdnPacketData(e, 1, 1, static_cast<u32>(vSetup.size()), vSetup.data());
    g.WriteIsdnPacketData(e, 0, 0, 4, FromHex("FE 03 01 05").data());
  }
  EXPECT_EQ(Malformed("lapd_000.cap"), 0u);
  const std::vector<std::string> v = Tshark("lapd_000.cap", "-e lapd.sapi -e lapd.tei -e q931.message_type -e q931.called_party_number.digits");
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[0], "0|0|0x05|987");
  EXPECT_EQ(v[1], "63|1||");
}

TEST(SigTraceTshark, H248OverUdp) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark not installed";
  CScratchDir dir;
  const std::string strMsg =
      "MEGACO/1 [192.168.0.2]:2945\r\nTransaction = 17 {\r\n\tContext = - {\r\n\t\tAuditValue = ROOT {\r\n\t\t\tAudit{ }\r\n\t\t}\r\n\t}\r\n}\r\n";
  {
    CVQSigTraceGrp g;
    Pcap(g, "h248", VQ_SIGTRACE_TYPE_H248);
    CVQSigTraceEntityParams e = Entity(6, "provider");
    g.WriteH248PacketData(e, 2, static_cast<u32>(strMsg.size()), reinterpret_cast<const u8*>(strMsg.data()));
    g.WriteH248PacketData(e, 1, static_cast<u32>(strMsg.size()), reinterpret_cast<const u8*>(strMsg.data()));
  }
  EXPECT_EQ(Malformed("h248_000.cap"), 0u);
  const std::vector<std::string> v =
      Tshark("h248_000.cap", "-e ip.checksum.status -e ip.src -e ip.dst -e udp.srcport -e udp.dstport -e megaco.transid");
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[0], "1|192.168.0.2|192.168.0.1|2945|2944|17");
  EXPECT_EQ(v[1], "1|192.168.0.1|192.168.0.2|2944|2945|17");
}

/* Units above the data caps: each record holds the captured part, the
 * record header announces the full length, and the file reads to its end. */
TEST(SigTraceTshark, CappedRecordsStayReadable) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark not installed";
  CScratchDir dir;
  std::vector<u8> vSs7(310, 0x00);
  const std::vector<u8> vHead = FromHex("10 20 3F 85 23 41 12 50 01 00 09 00");
  std::copy(vHead.begin(), vHead.end(), vSs7.begin());
  std::string strH248 = "MEGACO/1 [192.168.0.2]:2945\r\nTransaction = 3 {\r\n";
  strH248.resize(6000, ' ');
  std::vector<u8> vIsdn(310, 0x41);
  const std::vector<u8> vIsdnHead = FromHex("00 01 02 04 08 02 00 05 05");
  std::copy(vIsdnHead.begin(), vIsdnHead.end(), vIsdn.begin());
  {
    CVQSigTraceGrp g;
    Pcap(g, "ss7cap", VQ_SIGTRACE_TYPE_SS7);
    CVQSigTraceEntityParams e = Entity(2, "L0");
    g.WriteSs7PacketData(e, 1, 0, 1, 2, 0, 310, vSs7.data());
    g.WriteSs7PacketData(e, 1, 0, 1, 2, 0, 3, FromHex("85 83 00").data());
  }
  {
    CVQSigTraceGrp g;
    Pcap(g, "h248cap", VQ_SIGTRACE_TYPE_H248);
    CVQSigTraceEntityParams e = Entity(6, "provider");
    g.WriteH248PacketData(e, 3, static_cast<u32>(strH248.size()), reinterpret_cast<const u8*>(strH248.data()));
    g.WriteH248PacketData(e, 2, 4, reinterpret_cast<const u8*>("A\r\nB"));
  }
  {
    CVQSigTraceGrp g;
    Pcap(g, "isdncap", VQ_SIGTRACE_TYPE_ISDN);
    CVQSigTraceEntityParams e = Entity(3, "D0");
    e.mstrEthPort = "D0:ETSI:NET";
    g.WriteIsdnPacketData(e, 0, 0, 310, vIsdn.data());
    g.WriteIsdnPacketData(e, 0, 0, 4, FromHex("02 01 01 05").data());
  }
  struct {
    const char* pszFile;
    const char* pszFirst;
    const char* pszSecond;
  } const aRows[] = {
      /* tshark counts MTP2 lengths without the 4-octet pseudo-header */
      {"ss7cap_000.cap", "310|300|", "3|3|"},
      {"h248cap_000.cap", "6042|5042|192.168.0.1|192.168.0.2|2944|2945", "46|46|192.168.0.2|192.168.0.1|2945|2944"},
      {"isdncap_000.cap", "414|402|", "102|102|"}, /* 90 + 12 + 312 on the wire, 90 + 12 + 300 captured */
  };
  for (const auto& row : aRows) {
    const std::vector<std::string> v = Tshark(row.pszFile, "-e frame.len -e frame.cap_len -e ip.src -e ip.dst -e udp.srcport -e udp.dstport");
    ASSERT_EQ(v.size(), 2u) << row.pszFile;
    EXPECT_EQ(v[0].substr(0, strlen(row.pszFirst)), row.pszFirst) << row.pszFile << ": " << v[0];
    EXPECT_EQ(v[1].substr(0, strlen(row.pszSecond)), row.pszSecond) << row.pszFile << ": " << v[1];
  }
}

TEST(SigTraceTshark, IpTransports) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark not installed";
  CScratchDir dir;
  const std::string strSip = "OPTIONS sip:a@10.0.0.2 SIP/2.0\r\nVia: SIP/2.0/UDP 10.0.0.1:5060\r\nCall-ID: 1@x\r\nCSeq: 1 OPTIONS\r\n\r\n";
  /* A raw UDP datagram (ports 7000 -> 7001) and a raw SCTP packet with a COOKIE ACK chunk. */
  const std::vector<u8> vUdp = FromHex("1B 58 1B 59 00 0C 00 00 61 62 63 64");
  const std::vector<u8> vSctp = FromHex("0B 59 0B 5A 00 00 00 01 00 00 00 00 0B 00 00 04");
  {
    CVQSigTraceGrp g;
    Pcap(g, "ip", VQ_SIGTRACE_TYPE_IP);
    CVQSigTraceEntityParams e = Entity(4, "eth0");
    g.WriteTuclPacketData(e, VQ500_TUCL_TRACE_DIRECTION_RX, VQ500_TUCL_TRACE_TRANSPORT_UDP, VQ500_TUCL_TRACE_PROTOCOL_SIP, "eth0",
                          "10.0.0.2", "10.0.0.1", 5060, 5062, 1, static_cast<u32>(strSip.size()),
                          reinterpret_cast<const u8*>(strSip.data()));
    g.WriteTuclPacketData(e, VQ500_TUCL_TRACE_DIRECTION_TX, VQ500_TUCL_TRACE_TRANSPORT_RAW, VQ500_TUCL_TRACE_PROTOCOL_SIP, "eth0",
                          "10.0.0.2", "10.0.0.1", 0, 0, 2, static_cast<u32>(vUdp.size()), vUdp.data());
    g.WriteTuclPacketData(e, VQ500_TUCL_TRACE_DIRECTION_RX, VQ500_TUCL_TRACE_TRANSPORT_RAW, VQ500_TUCL_TRACE_PROTOCOL_SCTP, "eth0",
                          "10.0.0.2", "", 0, 0, 3, static_cast<u32>(vSctp.size()), vSctp.data());
  }
  EXPECT_EQ(Malformed("ip_000.cap"), 0u);
  const std::vector<std::string> v =
      Tshark("ip_000.cap", "-e ip.checksum.status -e ip.src -e ip.dst -e ip.proto -e udp.srcport -e udp.dstport -e sip.Method -e sctp.srcport");
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0], "1|10.0.0.2|10.0.0.1|17|5062|5060|OPTIONS|");
  EXPECT_EQ(v[1], "1|10.0.0.1|10.0.0.2|17|7000|7001||");
  EXPECT_EQ(v[2], "1|10.0.0.2|0.0.0.0|132||||2905");
}
