// The board's trace messages against the independent encoder's rows
// (tests/data/board_trace_cases.txt, testing/golden/sigtrace/gen_board_trace.py):
// each request built byte for byte or refused, each notification and answer
// read to the encoder's fields or refused with its text.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "sigtrace_board_trace.h"
#include "support/sigtrace_test_support.h"

using namespace VQCAF;

namespace {

std::string Hex(std::span<const u8> b) {
  std::string s;
  char sz[3];
  for (u8 c : b) snprintf(sz, sizeof sz, "%02x", c), s += sz;
  return s;
}

std::string Fmt(const char* pszFormat, auto... args) {
  char sz[512];
  snprintf(sz, sizeof sz, pszFormat, args...);
  return sz;
}

/* The reader's fields in the encoder's words, or "error: <text>". */
std::string ReadRow(const std::string& strFamily, const std::vector<u8>& v) {
  const CVQSigTraceCursor c(v.data(), static_cast<u32>(v.size()));
  std::string strError, s;
  VQX_RESULT r = VQX_RESULT_FAIL;
  if (strFamily == "ss7") {
    SVQTraceSs7Unit u;
    if ((r = VqReadSs7TraceUnit(c, u, strError)) == VQX_RESULT_OK)
      s = Fmt("unit=%u dir=%u trunk=%u mask=0x%x bits=0x%x annex=%u variant=%u pc=%u data=", u.un32Unit,
              u.un32Direction, u.un32Trunk, u.un32TimeslotMask, u.un32BitMask, u.fAnnexA, u.un32Variant,
              u.un32PcLength) + Hex(u.Data);
  } else if (strFamily == "lapd" || strFamily == "isdn") {
    SVQTraceIsdnUnit u;
    r = strFamily == "lapd" ? VqReadLapdTraceUnit(c, u, strError) : VqReadIsdnTraceUnit(c, u, strError);
    if (r == VQX_RESULT_OK)
      s = Fmt("unit=%u dir=%u trunk=%u mask=0x%x bits=0x%x side=%u data=", u.un32Unit, u.un32Direction, u.un32Trunk,
              u.un32TimeslotMask, u.un32BitMask, u.un32Side) + Hex(u.Data);
  } else if (strFamily == "casr2") {
    SVQTraceCasr2Unit u;
    if ((r = VqReadCasr2TraceUnit(c, u, strError)) == VQX_RESULT_OK) {
      s = Fmt("unit=%u dir=%u trunk=%u kind=%u slot=%u stamp=%u ", u.un32Unit, u.un32Direction, u.un32Trunk,
              u.un32Kind, u.un32Timeslot, u.un32Timestamp);
      const auto& t = u.Tone.Tone;
      const u8* b = u.Bits.aun8Bits;
      s += u.un32Kind == 1   ? Fmt("state=%u internal=%u", u.State.un32CallState, u.State.un32InternalState)
           : u.un32Kind == 2 ? Fmt("tone=%u level=%d custom=%u,%u,%u,%u value=%u", t.un32ToneCode, t.n32Level,
                                   t.aun32Custom[0], t.aun32Custom[1], t.aun32Custom[2], t.aun32Custom[3],
                                   u.Tone.un32Value)
                             : Fmt("bits=%u,%u,%u,%u,%u,%u,%u,%u start=%u end=%u count=%u", b[0], b[1], b[2], b[3],
                                   b[4], b[5], b[6], b[7], u.Bits.un32StartTime, u.Bits.un32EndTime, u.Bits.un32Count);
    }
  } else if (strFamily == "ip") {
    SVQTraceIpUnit u;
    if ((r = VqReadIpTraceUnit(c, u, strError)) == VQX_RESULT_OK)
      s = Fmt("unit=%u dir=%u ctx=0x%" PRIx64 " transport=%u protocol=%u lport=%u rport=%u time=%u ", u.un32Unit,
              u.un32Direction, u.un64TraceContextId, u.un32Transport, u.un32Protocol, u.un32LocalPort,
              u.un32RemotePort, u.un32CapturedTimeMs) +
          "iface=" + std::string(u.strInterface) + " remote=" + std::string(u.strRemoteAddress) +
          " local=" + std::string(u.strLocalAddress) + " data=" + Hex(u.Data);
  } else {
    i32 n32Result = 0;
    if ((r = VqReadTraceAnswer(c, n32Result, strError)) == VQX_RESULT_OK) s = Fmt("result=%d", n32Result);
  }
  if (r == VQX_RESULT_OK) return s;
  return r == VQX_RESULT_INVALID_PARAM ? "error: " + strError : Fmt("result 0x%x", r);
}

std::string BuildRow(const std::map<std::string, std::string>& k) {
  CVQSigTraceEntityParams e;
  auto n = [&](const char* psz) { return std::stoull(k.at(psz)); };
  auto t = [&](const char* psz) { return k.at(psz) == "-" ? std::string() : k.at(psz); };
  e.mun32Type = static_cast<u32>(n("type"));
  e.mun32Trunk = static_cast<u32>(n("trunk"));
  e.mun32TimeslotMask = static_cast<u32>(n("mask"));
  e.mun8BitMask = static_cast<u8>(n("bits"));
  e.mfExtended = static_cast<u8>(n("extended"));
  e.mun32Transport = static_cast<u32>(n("transport"));
  e.mun32Port = static_cast<u32>(n("port"));
  e.mun64EntityId = n("ctx");
  e.mstrEthPort = t("iface").c_str();
  e.mstrIpMask = t("addr").c_str();
  u32 un32Id = 0;
  std::vector<u8> v{0xEE};
  if (VqBuildTraceSet(e, n("on") != 0, static_cast<u32>(n("tucl")), un32Id, v) != VQX_RESULT_OK)
    return v == std::vector<u8>{0xEE} ? "refused" : "refused, output changed";
  const SVQTraceFamily* f = VqTraceFamilyOfRequest(un32Id);
  if (f == nullptr || v.size() != f->un32RequestSize) return Fmt("id 0x%08x size %zu", un32Id, v.size());
  return Hex(v);
}

}  // namespace

TEST(BoardTrace, GoldenRows) {
  std::ifstream in(sigtest::DataPath("board_trace_cases.txt"));
  std::string strLine;
  int nRows = 0;
  while (std::getline(in, strLine)) {
    if (strLine.empty() || strLine[0] == '#') continue;
    ++nRows;
    std::istringstream ss(strLine);
    std::string strKind, strName, strWord;
    ss >> strKind >> strName;
    if (strKind == "request") {
      std::map<std::string, std::string> k;
      while (ss >> strWord && strWord != "=") k[strWord.substr(0, strWord.find('='))] = strWord.substr(strWord.find('=') + 1);
      std::string strWant;
      ss >> strWant;
      EXPECT_EQ(BuildRow(k), strWant) << strName;
      continue;
    }
    std::string strFamily = strKind == "answer" ? "answer" : "", strHex;
    if (strKind == "unit") ss >> strFamily;
    ss >> strHex;
    if (strHex == "=>") strHex.clear();
    const std::string strWant = strLine.substr(strLine.find(" => ") + 4);
    EXPECT_EQ(ReadRow(strFamily, sigtest::FromHex(strHex.c_str())), strWant) << strName;
  }
  EXPECT_EQ(nRows, 47);
}

TEST(BoardTrace, NotificationIdsClearOfDiscovery) {
  for (u32 id = 0x0001; id <= 0x0014; ++id)
    for (u32 prefix : {0x04210000u, 0x04540000u, 0x04080000u, 0x04510000u, 0x04390000u}) {
      EXPECT_EQ(VqTraceFamilyOfNotif(prefix | id), nullptr);
      EXPECT_EQ(VqTraceFamilyOfRequest(prefix | id), nullptr);
    }
  for (u32 i = 0; i < 5; ++i) {
    const SVQTraceFamily& f = VqTraceFamily(static_cast<EVQTraceFamily>(i));
    EXPECT_EQ(VqTraceFamilyOfNotif(f.un32NotifId), &f) << f.pszName;
    EXPECT_EQ(f.un32RequestSize % 8, 0u) << f.pszName;
  }
}
