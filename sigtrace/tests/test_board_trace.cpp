// The board's trace messages against the independent encoder's rows
// (tests/data/board_trace_cases.txt, testing/golden/sigtrace/gen_board_trace.py):
// each request built byte for byte or refused with nothing written, each
// notification read to the fields the board logs or refused with its text,
// each answer read to its result or refused.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "sigtrace_board_trace.h"
#include "support/sigtrace_test_support.h"
#include "support/sigtrace_test_trace.h"

using namespace VQCAF;

namespace {

std::string BuildRow(std::map<std::string, std::string> k) {
  const auto n = [&](const char* psz) { return std::stoull(k.at(psz)); };
  CVQSigTraceEntityParams e;
  e.mun32Type = static_cast<u32>(n("type")), e.mun32Trunk = static_cast<u32>(n("trunk"));
  e.mun32TimeslotMask = static_cast<u32>(n("mask")), e.mun8BitMask = static_cast<u8>(n("bits"));
  e.mfExtended = static_cast<u8>(n("extended")), e.mun32Transport = static_cast<u32>(n("transport"));
  e.mun32Port = static_cast<u32>(n("port")), e.mun64EntityId = n("ctx");
  e.mstrEthPort = k["iface"] == "-" ? "" : k["iface"].c_str();
  e.mstrIpMask = k["addr"] == "-" ? "" : k["addr"].c_str();
  u32 un32Id = 0;
  std::vector<u8> v{0xEE};
  if (VqBuildTraceSet(e, n("on") != 0, static_cast<u32>(n("tucl")), un32Id, v) != VQX_RESULT_OK)
    return v == std::vector<u8>{0xEE} && un32Id == 0 ? "refused" : "refused, output changed";
  const SVQTraceFamily* f = VqTraceFamilyOfRequest(un32Id);
  if (f == nullptr || f != VqTraceFamilyOfNotif(un32Id + 1) || v.size() != f->un32RequestSize) return "id or size";
  std::string s;
  for (u8 c : v) s += "0123456789abcdef"[c >> 4], s += "0123456789abcdef"[c & 15];
  return s;
}

std::string AnswerRow(const std::vector<u8>& v) {
  i32 n32Result = 1;
  std::string strError;
  const VQX_RESULT r = VqReadTraceAnswer(CVQSigTraceCursor(v.data(), static_cast<u32>(v.size())), n32Result, strError);
  return r == VQX_RESULT_OK ? "result=" + std::to_string(n32Result) : "error: " + strError;
}

}  // namespace

TEST(BoardTrace, GoldenRows) {
  std::ifstream in(sigtest::DataPath("board_trace_cases.txt"));
  int nRows = 0;
  for (std::string strLine; std::getline(in, strLine);) {
    if (strLine.empty() || strLine[0] == '#') continue;
    ++nRows;
    std::istringstream ss(strLine);
    std::string strKind, strName, strWord, strHex;
    ss >> strKind >> strName;
    if (strKind == "request") {
      std::map<std::string, std::string> k;
      while (ss >> strWord && strWord != "=") k[strWord.substr(0, strWord.find('='))] = strWord.substr(strWord.find('=') + 1);
      ss >> strWord;
      EXPECT_EQ(BuildRow(k), strWord) << strName;
      continue;
    }
    u32 un32Id = 0;
    if (strKind == "unit") ss >> std::hex >> un32Id;
    ss >> strHex;
    const std::vector<u8> v = sigtest::FromHex(strHex == "=>" ? "" : strHex.c_str());
    const std::string strWant = strLine.substr(strLine.find(" => ") + 4);
    EXPECT_EQ(un32Id != 0 ? sigtest::TraceUnitJson(un32Id, v) : AnswerRow(v), strWant) << strName;
  }
  EXPECT_EQ(nRows, 47);
}
