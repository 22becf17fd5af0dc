// The trace command line: the table of argument lists in tests/data, each
// with its result, the flags it leaves and what it logs; then the adapter
// selection rule.
#include <gtest/gtest.h>

#include "sigtrace_cfg_cmdline.h"
#include "support/sigtrace_test_app.h"

using VQCAF::CVQSigTraceCfgCmdLine;

namespace {

std::string Summary(const CVQSigTraceCfgCmdLine& C) {
  char sz[256];
  snprintf(sz, sizeof(sz), "P=%u%u%u%u%u F=%u%u%u%u%u e=%08X a=%s l=", C.mfSs7, C.mfIsdn, C.mfCasr2, C.mfIp,
           C.mfH248, C.mfCapFormat, C.mfStdout, C.mfOldIsdnCap, C.mfCasr2Extended, C.mfRegroup, C.mun32ExecTimeMs,
           C.mAdapterName.c_str());
  std::string s = sz;
  for (const auto& str : C.mAdapterList) s += std::string(str.c_str()) + "|";
  return s;
}

TEST(CmdLine, EachArgumentListGivesItsFlagsResultAndLog) {
  for (const auto& R : sigtest::DataRows("cmdline_rows.txt")) {
    SCOPED_TRACE(R[0]);
    std::vector<std::string> aArgs;
    std::vector<char*> apsz = sigtest::Argv(aArgs, R[0]);
    const std::vector<std::string> aBefore = aArgs;
    CVQSigTraceCfgCmdLine C;
    C.mAdapterName = "ALL";  // as main presets it
    sigtest::CLogLines Log;
    EXPECT_EQ(C.ParseCmdLineArgs(static_cast<int>(apsz.size()), apsz.data()), std::stoul(R[1], nullptr, 16));
    EXPECT_EQ(Summary(C), R[2]);
    EXPECT_EQ(aArgs, aBefore);  // the caller's strings are not lowered
    const std::vector<std::string> aLines = Log.Take();
    ASSERT_EQ(aLines.size(), std::stoul(R[3]));
    EXPECT_TRUE(aLines.empty() || aLines.back().find(R[4]) == 0) << aLines.back();
    EXPECT_TRUE(aLines.size() != 21 || aLines[0] == "Options available:");  // the framework's list first
  }
  sigtest::CLogLines Log;
  std::vector<std::string> aArgs;
  EXPECT_EQ(CVQSigTraceCfgCmdLine().ParseCmdLineArgs(1, sigtest::Argv(aArgs, "").data()), 0x8200000Au);
  EXPECT_EQ(Log.Text().find("CVQSigTraceCfgCmdLine::ParseCmdLineArgs: No parameter to parse on the command line"), 0u);
}

TEST(CmdLine, OneCaseBlindMatcherForSelectionAndConfiguration) {
  struct {
    const char *pszSelection, *pszAdapter;
    bool fSelected;
  } const kMatch[] = {{"ALL", "b1", true},    {"all", "B1", true},     {"AB1,CD2", "cd2", true}, {"AB1,CD2", "CD", false},
                      {"AB1,CD2", "", false}, {"B1,,All", "zz", true}, {"", "b1", false},       {"B1 ", "B1", false}};
  for (const auto& M : kMatch)
    EXPECT_EQ(CVQSigTraceCfgCmdLine::IsAdapterSelected(M.pszSelection, M.pszAdapter), M.fSelected) << M.pszSelection;
  CVQSigTraceCfgCmdLine C;
  C.mAdapterName = "ALL";
  EXPECT_TRUE(C.IsAdapterSelected("anything"));
  std::vector<std::string> aArgs;
  ASSERT_EQ(C.ParseCmdLineArgs(3, sigtest::Argv(aArgs, "-adapter ab1,Cd2").data()), 0x02000000u);
  EXPECT_TRUE(C.IsAdapterSelected("AB1") && C.IsAdapterSelected("cd2"));
  EXPECT_FALSE(C.IsAdapterSelected("anything"));
}

}  // namespace
