// The trace command line: one table of argument lists, each with its result,
// the flags it leaves and what it logs; then the adapter selection rule.
#include <gtest/gtest.h>

#include <sstream>

#include "sigtrace_cfg_cmdline.h"
#include "support/sigtrace_test_app.h"

using VQCAF::CVQSigTraceCfgCmdLine;

namespace {

// Protocol flags ss7 isdn casr2 ip h248, then cap stdout old x regroup, run
// time, adapter field and list.
std::string Summary(const CVQSigTraceCfgCmdLine& C) {
  char sz[256];
  snprintf(sz, sizeof(sz), "P=%u%u%u%u%u F=%u%u%u%u%u e=%08X a=%s l=", C.mfSs7, C.mfIsdn, C.mfCasr2, C.mfIp,
           C.mfH248, C.mfCapFormat, C.mfStdout, C.mfOldIsdnCap, C.mfCasr2Extended, C.mfRegroup, C.mun32ExecTimeMs,
           C.mAdapterName.c_str());
  std::string s = sz;
  for (const auto& str : C.mAdapterList) s += std::string(str.c_str()) + "|";
  return s;
}

struct Row {
  const char* pszArgs;  // after the program name, split at blanks
  u32 un32Result;
  const char* pszSummary;
  const char* pszLog;   // the last line logged ("" none)
  size_t nLines;        // lines logged
};

constexpr const char* kBadE = "CVQSigTraceCfgCmdLine::ParseCmdLineArgs: Invalid value for option '-e' (8200000A)";
constexpr const char* kStdout =
    "CVQSigTraceCfgCmdLine::ParseCmdLineArgs: Only one (1) protocol is allowed at a time when \"stdout\" mode is "
    "being used (8200000A)";
constexpr const char* kExample = "                  Examples:";

const Row kRows[] = {
    {"-d", 0x02000000, "P=11111 F=10001 e=FFFFFFFF a=ALL l=", "", 0},
    {"-ss7 -ip", 0x02000000, "P=10010 F=10001 e=FFFFFFFF a=ALL l=", "", 0},
    {"-ISDN", 0x02000000, "P=01000 F=10001 e=FFFFFFFF a=ALL l=", "", 0},
    {"-lapd -isdn", 0x02000000, "P=01000 F=10001 e=FFFFFFFF a=ALL l=", "", 0},
    {"-c f.xml", 0x02000000, "P=00000 F=10001 e=FFFFFFFF a=ALL l=", "", 0},
    {"-c f.xml -casr2", 0x02000000, "P=00100 F=10001 e=FFFFFFFF a=ALL l=", "", 0},
    {"-h248 -sip -SS7", 0x02000000, "P=10011 F=10001 e=FFFFFFFF a=ALL l=", "", 0},
    {"-stdout", 0x8200000A, "P=11111 F=11001 e=FFFFFFFF a=ALL l=", kStdout, 1},
    {"-single -stdout -h248", 0x02000000, "P=00001 F=11001 e=FFFFFFFF a=ALL l=", "", 0},
    {"-stdout -c f.xml", 0x02000000, "P=00000 F=11001 e=FFFFFFFF a=ALL l=", "", 0},
    {"-old -format", 0x02000000, "P=11111 F=00101 e=FFFFFFFF a=ALL l=", "", 0},
    {"-format -old", 0x02000000, "P=11111 F=10101 e=FFFFFFFF a=ALL l=", "", 0},
    {"-x -single -cap", 0x02000000, "P=11111 F=10010 e=FFFFFFFF a=ALL l=", "", 0},
    {"-single -regroup", 0x02000000, "P=11111 F=10001 e=FFFFFFFF a=ALL l=", "", 0},
    {"-e 0x2710", 0x02000000, "P=11111 F=10001 e=00002710 a=ALL l=", "", 0},
    {"-E 0X10 -ss7", 0x02000000, "P=10000 F=10001 e=00000010 a=ALL l=", "", 0},
    {"-e 010", 0x02000000, "P=11111 F=10001 e=00000008 a=ALL l=", "", 0},
    {"-e 0", 0x02000000, "P=11111 F=10001 e=00000000 a=ALL l=", "", 0},
    {"-e 4294967295", 0x02000000, "P=11111 F=10001 e=FFFFFFFF a=ALL l=", "", 0},
    {"-ss7 -e", 0x02000000, "P=10000 F=10001 e=FFFFFFFF a=ALL l=", "", 0},
    // A value that is no whole number is refused, not swallowed.
    {"-e -ss7", 0x8200000A, "P=11111 F=10001 e=FFFFFFFF a=ALL l=", kBadE, 1},
    {"-e 12ab", 0x8200000A, "P=11111 F=10001 e=FFFFFFFF a=ALL l=", kBadE, 1},
    {"-e 4294967296", 0x8200000A, "P=11111 F=10001 e=FFFFFFFF a=ALL l=", kBadE, 1},
    {"-e 09", 0x8200000A, "P=11111 F=10001 e=FFFFFFFF a=ALL l=", kBadE, 1},
    {"-e 0x", 0x8200000A, "P=11111 F=10001 e=FFFFFFFF a=ALL l=", kBadE, 1},
    {"-e +5", 0x8200000A, "P=11111 F=10001 e=FFFFFFFF a=ALL l=", kBadE, 1},
    // A framework value spelling a trace option acts as that option too.
    {"-name -ss7", 0x02000000, "P=10000 F=10001 e=FFFFFFFF a=ALL l=", "", 0},
    {"-adapter ab1,Cd2", 0x02000000, "P=11111 F=10001 e=FFFFFFFF a=AB1,CD2 l=ab1|Cd2|", "", 0},
    // The framework's missing value is its own failure; this parse goes on.
    {"-ss7 -adapter", 0x02000000, "P=10000 F=10001 e=FFFFFFFF a=ALL l=",
     "CVQCAFCfgCmdLine::ParseCmdLineArgs: Missing argument for option '-adapter' (8200000A)", 1},
    {"-h -ss7", 0x82000001, "P=11111 F=10001 e=FFFFFFFF a=ALL l=", kExample, 14},
    {"/H", 0x82000001, "P=11111 F=10001 e=FFFFFFFF a=ALL l=", kExample, 14},
    {"-format -help", 0x82000001, "P=11111 F=00001 e=FFFFFFFF a=ALL l=", kExample, 7 + 14},
};

TEST(CmdLine, EachArgumentListGivesItsFlagsResultAndLog) {
  for (const Row& R : kRows) {
    SCOPED_TRACE(R.pszArgs);
    std::vector<std::string> aArgs{"quellan"};
    std::istringstream In(R.pszArgs);
    for (std::string s; In >> s;) aArgs.push_back(s);
    std::vector<char*> apsz;
    for (auto& s : aArgs) apsz.push_back(s.data());
    const std::vector<std::string> aBefore = aArgs;
    CVQSigTraceCfgCmdLine C;
    C.mCfgFile = "quellan.xml";
    C.mAdapterName = "ALL";
    sigtest::CLogLines Log;
    EXPECT_EQ(C.ParseCmdLineArgs(static_cast<int>(apsz.size()), apsz.data()), R.un32Result);
    EXPECT_EQ(Summary(C), R.pszSummary);
    EXPECT_EQ(aArgs, aBefore);  // the caller's strings are not lowered
    const std::vector<std::string> aLines = Log.Take();
    ASSERT_EQ(aLines.size(), R.nLines);
    if (R.nLines == 0) continue;
    const std::string& strLast = aLines.back();
    EXPECT_NE(strLast.find(R.pszLog), std::string::npos) << strLast;
    if (R.nLines >= 14) {
      EXPECT_EQ(aLines[R.nLines - 14], "   -ss7           Default ss7 trace activation");
      EXPECT_EQ(aLines[0], R.nLines == 14 ? aLines[R.nLines - 14] : "Options available:");
    }
  }
  CVQSigTraceCfgCmdLine C;
  sigtest::CLogLines Log;
  char szName[] = "quellan";
  char* apsz[] = {szName};
  EXPECT_EQ(C.ParseCmdLineArgs(1, apsz), 0x8200000Au);
  EXPECT_EQ(Log.Text().find(
                "CVQSigTraceCfgCmdLine::ParseCmdLineArgs: No parameter to parse on the command line (8200000A)"),
            0u);
}

TEST(CmdLine, OneCaseBlindMatcherForSelectionAndConfiguration) {
  struct {
    const char* pszSelection;
    const char* pszAdapter;
    bool fSelected;
  } const kMatch[] = {
      {"ALL", "b1", true},      {"all", "B1", true},      {"AB1,CD2", "cd2", true}, {"AB1,CD2", "ab1", true},
      {"AB1,CD2", "CD", false}, {"AB1,CD2", "", false},   {"B1,,All", "zz", true},  {"", "b1", false},
      {"b1", "B1", true},       {"B1 ", "B1", false},     {",", "", false},
  };
  for (const auto& M : kMatch) {
    EXPECT_EQ(CVQSigTraceCfgCmdLine::IsAdapterSelected(M.pszSelection, M.pszAdapter), M.fSelected)
        << M.pszSelection << " / " << M.pszAdapter;
  }
  CVQSigTraceCfgCmdLine C;
  C.mAdapterName = "ALL";  // as main presets it
  EXPECT_TRUE(C.IsAdapterSelected("anything"));
  char a0[] = "q", a1[] = "-adapter", a2[] = "ab1,Cd2";
  char* apsz[] = {a0, a1, a2};
  ASSERT_EQ(C.ParseCmdLineArgs(3, apsz), 0x02000000u);
  EXPECT_TRUE(C.IsAdapterSelected("AB1"));
  EXPECT_TRUE(C.IsAdapterSelected("cd2"));
  EXPECT_FALSE(C.IsAdapterSelected("anything"));
  EXPECT_FALSE(C.IsAdapterSelected(nullptr));
}

}  // namespace
