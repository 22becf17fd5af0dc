/*
 * test_tshark_it.cpp - every pcap framing the trace groups write, read back
 * by tshark: each file opens with no malformed packet, and the fields tshark
 * decodes equal what was written; segments cut by a file size limit too.
 * tshark is required (scripts/deps.sh installs it): without it every test
 * fails instead of passing unchecked.
 *
 * tshark runs with two preferences: IPv4 checksum validation on, and the
 * IUA SAPI values read as ISDN (Q.921) rather than GSM Abis SAPIs, which is
 * what an ISDN D channel carries (by default tshark hands SAPI 0 to RSL).
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/sigtrace_test_support.h"

using namespace VQCAF;
using namespace sigtest;

namespace {

/* tshark runs are started together and read afterwards: each takes a few
 * hundred milliseconds, mostly its own start-up. */
FILE* Start(const std::string& strFile, const std::string& strArgs) {
  const std::string strCmd =
      "tshark -n -o ip.check_checksum:TRUE -o iua.use_gsm_sapi_values:FALSE -r " + strFile + " " + strArgs + " 2>/dev/null";
  return popen(strCmd.c_str(), "r");
}
/* One field line per packet, fields separated by '|'. */
FILE* StartFields(const std::string& strFile, const std::string& strFields) {
  return Start(strFile, "-T fields -E separator='|' -E occurrence=f " + strFields);
}
/* One summary line per packet flagged malformed or with an error-level expert item. */
FILE* StartMalformed(const std::string& strFile) { return Start(strFile, "-Y '_ws.malformed || _ws.expert.severity == error'"); }

std::vector<std::string> Collect(FILE* p) {
  std::vector<std::string> v;
  char acLine[4096];
  while (p && fgets(acLine, sizeof(acLine), p)) v.emplace_back(acLine, strcspn(acLine, "\r\n"));
  if (p) pclose(p);
  return v;
}

class SigTraceTshark : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(system("tshark --version >/dev/null 2>&1"), 0) << "tshark is missing (scripts/deps.sh installs it)";
  }
  CScratchDir mDir;
};

std::vector<u8> Text(const std::string& str) { return std::vector<u8>(str.begin(), str.end()); }
/* The unit in hex, then octets of un8Fill up to un32Length. */
std::vector<u8> Padded(const char* pszHex, u32 un32Length, u8 un8Fill) {
  std::vector<u8> v = FromHex(pszHex);
  v.resize(un32Length, un8Fill);
  return v;
}

const std::string kstrMegaco =
    "MEGACO/1 [192.168.0.2]:2945\r\nTransaction = 17 {\r\n\tContext = - {\r\n\t\tAuditValue = ROOT {\r\n\t\t\tAudit{ }\r\n\t\t}\r\n\t}\r\n}\r\n";

/* One group per row: its records, the fields asked of tshark and the start
 * of each packet's line. */
struct SFileCase {
  const char* pszName;
  u32 un32Type;
  u8 fOldIsdn;
  std::function<void(SGroup&)> fnWrite;
  const char* pszFields;
  std::vector<std::string> vExpected;
};

const char* const kpszCaps = "-e frame.len -e frame.cap_len -e ip.src -e ip.dst -e udp.srcport -e udp.dstport";

const std::vector<SFileCase>& FileCases() {
  static const std::vector<SFileCase> s_aCases = {
      /* ITU 14-bit label: DPC 291, OPC 73, SLS 5; IAM CIC 1 to 1234567, ACM, ANM, REL cause 16, FISU. */
      {"ss7", VQ_SIGTRACE_TYPE_SS7, 0,
       [](SGroup& g) {
         g.Ss7(1, FromHex("10 20 3F 85 23 41 12 50 01 00 01 00 60 01 0A 00 02 08 06 83 90 21 43 65 07 0A 06 03 13 21 43 65 87 00"));
         g.Ss7(0, FromHex("11 21 3F 85 49 C0 48 50 02 00 06 16 14 00"));
         g.Ss7(0, FromHex("12 22 3F 85 23 41 12 50 01 00 09 00"), 2);
         g.Ss7(1, FromHex("13 23 3F 85 23 41 12 50 01 00 0C 02 00 02 80 90"), 2);
         g.Ss7(0);
       },
       "-e mtp2.li -e mtp3.dpc -e mtp3.opc -e mtp3.sls -e isup.cic -e isup.message_type -e isup.called -e isup.cause_indicator",
       {"63|291|73|5|1|1|1234567|", "63|73|291|5|2|6||", "63|291|73|5|1|9||", "63|291|73|5|1|12||16", "0|||||||"}},
      /* Q.921 over IUA/SCTP/IPv4: SETUP, DISCONNECT cause 16, RR, UI, SABME. */
      {"isdn", VQ_SIGTRACE_TYPE_ISDN, 0,
       [](SGroup& g) {
         g.e.mun32Trunk = 6;
         g.e.mstrEthPort = "D0:ETSI:USER";
         g.e.mstrIpMask = "10.1.2.3";
         g.Isdn(1, 0, FromHex("00 01 02 04 08 02 00 05 05 04 03 80 90 A3 18 03 A9 83 81 70 08 81 31 32 33 34 35 36 37"));
         g.Isdn(0, 0, FromHex("02 01 04 06 08 02 80 05 45 08 02 80 90"));
         g.Isdn(0, 0, FromHex("02 01 01 05"));
         g.Isdn(1, 0, FromHex("00 FF 03 08 01 05 05 04 03 80 90 A3"));
         g.Isdn(1, 0, FromHex("00 01 7F"));
       },
       "-e ip.checksum.status -e ip.src -e ip.dst -e sctp.data_sid -e iua.message_type -e iua.int_interface_identifier "
       "-e iua.dlci_sapi -e iua.dlci_tei -e iua.info_string -e q931.message_type -e q931.cause_value -e q931.called_party_number.digits",
       {"1|10.1.2.3|0.0.0.0|0x0006|1|0x00000006|0x00|0x00|D0:ETSI:USER|0x05||1234567",
        "1|0.0.0.0|10.1.2.3|0x0006|2|0x00000006|0x00|0x00|D0:ETSI:USER|0x45|16|",
        "1|0.0.0.0|10.1.2.3|0x0006|2|0x00000006|0x00|0x00|D0:ETSI:USER|||",
        "1|10.1.2.3|0.0.0.0|0x0006|3|0x00000006|0x00|0x7f|D0:ETSI:USER|0x05||",
        "1|10.1.2.3|0.0.0.0|0x0006|1|0x00000006|0x00|0x00|D0:ETSI:USER|||"}},
      /* The old 16-byte LAPD pseudo-header. */
      {"lapd", VQ_SIGTRACE_TYPE_LAPD, 1,
       [](SGroup& g) {
         g.Isdn(1, 1, FromHex("00 01 02 04 08 02 00 05 05 04 03 80 90 A3 70 04 81 39 38 37"));
         g.Isdn(0, 0, FromHex("FE 03 01 05"));
       },
       "-e lapd.sapi -e lapd.tei -e q931.message_type -e q931.called_party_number.digits", {"0|0|0x05|987", "63|1||"}},
      {"h248", VQ_SIGTRACE_TYPE_H248, 0, [](SGroup& g) { g.H248(2, kstrMegaco), g.H248(1, kstrMegaco); },
       "-e ip.checksum.status -e ip.src -e ip.dst -e udp.srcport -e udp.dstport -e megaco.transid",
       {"1|192.168.0.2|192.168.0.1|2945|2944|17", "1|192.168.0.1|192.168.0.2|2944|2945|17"}},
      /* SIP over UDP; raw UDP (ports 7000 -> 7001) and raw SCTP (COOKIE ACK) packets. */
      {"ip", VQ_SIGTRACE_TYPE_IP, 0,
       [](SGroup& g) {
         g.Tucl(VQ500_TUCL_TRACE_DIRECTION_RX, VQ500_TUCL_TRACE_TRANSPORT_UDP, VQ500_TUCL_TRACE_PROTOCOL_SIP, "10.0.0.1", 5060, 5062,
                Text("OPTIONS sip:a@10.0.0.2 SIP/2.0\r\nVia: SIP/2.0/UDP 10.0.0.1:5060\r\nCall-ID: 1@x\r\nCSeq: 1 OPTIONS\r\n\r\n"));
         g.Tucl(VQ500_TUCL_TRACE_DIRECTION_TX, VQ500_TUCL_TRACE_TRANSPORT_RAW, VQ500_TUCL_TRACE_PROTOCOL_SIP, "10.0.0.1", 0, 0,
                FromHex("1B 58 1B 59 00 0C 00 00 61 62 63 64"));
         g.Tucl(VQ500_TUCL_TRACE_DIRECTION_RX, VQ500_TUCL_TRACE_TRANSPORT_RAW, VQ500_TUCL_TRACE_PROTOCOL_SCTP, "", 0, 0,
                FromHex("0B 59 0B 5A 00 00 00 01 00 00 00 00 0B 00 00 04"));
       },
       "-e ip.checksum.status -e ip.src -e ip.dst -e ip.proto -e udp.srcport -e udp.dstport -e sip.Method -e sctp.srcport",
       {"1|10.0.0.2|10.0.0.1|17|5062|5060|OPTIONS|", "1|10.0.0.1|10.0.0.2|17|7000|7001||", "1|10.0.0.2|0.0.0.0|132||||2905"}},
      /* Units above the data caps: the record holds the captured part and
       * announces the full length (tshark counts MTP2 without its 4-octet
       * pseudo-header; ISDN: 90 + 12 + 312 on the wire, 300 captured). */
      {"ss7cap", VQ_SIGTRACE_TYPE_SS7, 0,
       [](SGroup& g) { g.Ss7(0, Padded("10 20 3F 85 23 41 12 50 01 00 09 00", 310, 0)), g.Ss7(0); },
       kpszCaps, {"310|300|", "3|3|"}},
      {"h248cap", VQ_SIGTRACE_TYPE_H248, 0,
       [](SGroup& g) {
         g.H248(3, std::string("MEGACO/1 [192.168.0.2]:2945\r\nTransaction = 3 {\r\n").append(6000 - 48, ' ')), g.H248(2, "A\r\nB");
       },
       kpszCaps, {"6042|5042|192.168.0.1|192.168.0.2|2944|2945", "46|46|192.168.0.2|192.168.0.1|2945|2944"}},
      {"isdncap", VQ_SIGTRACE_TYPE_ISDN, 0,
       [](SGroup& g) {
         g.e.mstrEthPort = "D0:ETSI:NET";
         g.Isdn(0, 0, Padded("00 01 02 04 08 02 00 05 05", 310, 0x41)), g.Isdn(0, 0, FromHex("02 01 01 05"));
       },
       kpszCaps, {"414|402|", "102|102|"}},
  };
  return s_aCases;
}

}  // namespace

TEST_F(SigTraceTshark, EveryFramingDecodes) {
  std::vector<std::pair<FILE*, FILE*>> vRuns;
  for (const SFileCase& c : FileCases()) {
    {
      SGroup g(c.pszName, c.un32Type, true);
      g.g.mfOldIsdnFraming = c.fOldIsdn;
      c.fnWrite(g);
    }
    const std::string strFile = std::string(c.pszName) + "_000.cap";
    /* A unit cut by the cap ends inside its message: tshark calls that malformed. */
    vRuns.emplace_back(StartFields(strFile, c.pszFields), strstr(c.pszName, "cap") ? nullptr : StartMalformed(strFile));
  }
  for (size_t n = 0; n < vRuns.size(); ++n) {
    const SFileCase& c = FileCases()[n];
    const std::vector<std::string> v = Collect(vRuns[n].first);
    EXPECT_EQ(Collect(vRuns[n].second), std::vector<std::string>()) << "malformed packets, row " << c.pszName;
    ASSERT_EQ(v.size(), c.vExpected.size()) << "row " << c.pszName;
    for (size_t i = 0; i < v.size(); ++i) {
      EXPECT_EQ(v[i].substr(0, c.vExpected[i].size()), c.vExpected[i]) << "row " << c.pszName << " packet " << i + 1 << ": " << v[i];
    }
  }
}

/* A 300 KB file size limit (a full file system), in a child process: each
 * segment keeps the whole records that reached it and the rest go to the
 * next one, so every segment reads clean and, while a segment can take a
 * record, none is lost: the packets of all segments are those written, in
 * order, each once. */
TEST_F(SigTraceTshark, FullSegmentsCarryTheirRestToTheNext) {
  constexpr u32 kun32Records = 1200;
  ASSERT_TRUE(InChild([] {
    LimitFileSize(300000);
    SGroup g("full", VQ_SIGTRACE_TYPE_IP, true);
    for (u32 i = 0; i < kun32Records; ++i) {
      g.Tucl(VQ500_TUCL_TRACE_DIRECTION_RX, VQ500_TUCL_TRACE_TRANSPORT_UDP, VQ500_TUCL_TRACE_PROTOCOL_SCTP, "10.0.0.1", 40000,
             20000 + i, std::vector<u8>(200 + i % 1000, 'x'));
    }
    g.g.CloseFile();
    std::ofstream("lost.txt") << g.g.mun32LostCount << " " << g.g.mun32RxCount;
    return true;
  }));
  std::vector<std::string> vNames;
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    if (entry.path().filename().string().rfind("full_", 0) == 0) vNames.push_back(entry.path().filename().string());
  }
  std::sort(vNames.begin(), vNames.end());
  EXPECT_GE(vNames.size(), 3u);
  std::vector<std::pair<FILE*, FILE*>> vRuns;
  for (const std::string& strName : vNames) {
    const std::string s = ReadFile(strName);
    EXPECT_LE(s.size(), 300000u) << strName;
    EXPECT_GE(PcapRecords(s, 1), 1) << strName << " is not a sequence of whole records";
    vRuns.emplace_back(StartFields(strName, "-e udp.srcport"), StartMalformed(strName));
  }
  std::vector<std::string> vPorts;
  for (size_t n = 0; n < vRuns.size(); ++n) {
    EXPECT_EQ(Collect(vRuns[n].second), std::vector<std::string>()) << "malformed packets in " << vNames[n];
    for (const std::string& str : Collect(vRuns[n].first)) vPorts.push_back(str);
  }
  EXPECT_EQ(ReadFile("lost.txt"), "0 1200");
  ASSERT_EQ(vPorts.size(), kun32Records);
  for (u32 i = 0; i < kun32Records; ++i) ASSERT_EQ(vPorts[i], std::to_string(20000 + i)) << "packet " << i;
}
