// The framework command line: each option, its failure texts and codes, the
// help lines, "-db" last and unknown words, as rows.
#include "support/vqcaf_test_support.h"
#include "vqcafcfgcmdline.h"

namespace {

struct Parsed {
  VQX_RESULT un32Result;
  CVQCAFCfgCmdLine Cmd;
  std::vector<std::string> aLines;  // what the parse logged
};

Parsed Parse(std::vector<std::string> aArgs) {
  vqtest::CDiagCapture Diag;
  vqtest::CCaptureListener Listener;
  AddLogTraceListener(&Listener);
  Parsed P;
  std::vector<char*> argv;
  for (std::string& s : aArgs) argv.push_back(s.data());
  P.un32Result = P.Cmd.ParseCmdLineArgs(static_cast<int>(argv.size()), argv.data());
  RemoveLogTraceListener(&Listener);
  P.aLines = Diag.Lines();
  for (const std::string& s : Listener.Texts()) P.aLines.push_back(s);
  return P;
}

std::string Fields(const CVQCAFCfgCmdLine& C) {
  std::string s = std::string(C.mAppName.c_str()) + "|" + std::to_string(C.mun32DaemonMode) + "|" +
                  std::to_string(C.mun32DbMode) + "|" + C.mCfgFile.c_str() + "|" + C.mCfgPath.c_str() + "|" +
                  std::to_string(C.mun32GwPort) + "|" + C.mGwAddr0.c_str() + "|" + C.mGwAddr1.c_str() + "|" +
                  std::to_string(C.mun32Port) + "|" + C.mAdapterName.c_str() + "|" + C.mPid.c_str() + "|";
  for (const CVQCAFString& a : C.mAdapterList) s += std::string(a.c_str()) + ",";
  return s;
}

struct Row {
  std::vector<std::string> aArgs;
  VQX_RESULT un32Result;
  const char* pszFields;     // Fields() after the parse
  const char* pszLogPart;    // text one logged line contains ("" for none)
};
const Row kRows[] = {
    {{"app"}, VQX_RESULT_INVALID_PARAM, "|0|0|||0|||0|||", "No parameter to parse on the command line"},
    {{"app", "-d", "-name", "n1", "-c", "f.xml", "-gw", "12000", "-gw_addr_0", "10.0.0.1", "-gw_addr_1", "h1",
      "-port", "65535", "-pid", "77", "-adapter", "TB0,tb1,,x"},
     VQX_RESULT_OK, "n1|1|0|f.xml||12000|10.0.0.1|h1|65535|TB0,tb1,,x|77|TB0,tb1,x,", ""},
    {{"app", "junk", "-D", "-C", "x", "-db"}, VQX_RESULT_OK, "|0|1|||0|||0|||", ""},
    {{"app", "-db", "-name", "n"}, VQX_RESULT_OK, "n|0|1|||0|||0|||", ""},
    {{"app", "-name", "n", "-c"}, VQX_RESULT_INVALID_PARAM, "n|0|0|||0|||0|||", "Missing argument for option '-c'"},
    {{"app", "-adapter"}, VQX_RESULT_INVALID_PARAM, "|0|0|||0|||0|||", "Missing argument for option '-adapter'"},
    {{"app", "-gw", "65536"}, VQX_RESULT_INVALID_PARAM, "|0|0|||0|||0|||", "Invalid value for option '-gw'"},
    {{"app", "-gw", "0x10"}, VQX_RESULT_INVALID_PARAM, "|0|0|||0|||0|||", "Invalid value for option '-gw'"},
    {{"app", "-port", "-1"}, VQX_RESULT_INVALID_PARAM, "|0|0|||0|||0|||", "Invalid value for option '-port'"},
    {{"app", "-port", "99999999999"}, VQX_RESULT_INVALID_PARAM, "|0|0|||0|||0|||", "Invalid value for option '-port'"},
    {{"app", "-gw", "0"}, VQX_RESULT_OK, "|0|0|||0|||0|||", ""},
    {{"app", "-d", "?", "-name", "late"}, VQX_RESULT_FAIL, "|1|0|||0|||0|||", "Options available:"},
    {{"app", "/?"}, VQX_RESULT_FAIL, "|0|0|||0|||0|||", "   -adapter VQXYZ Adapter name to connect"},
};

TEST(CfgCmdLine, RowsSetFieldsAndLogTexts) {
  for (const Row& r : kRows) {
    std::string strName;
    for (const std::string& a : r.aArgs) strName += a + " ";
    SCOPED_TRACE(strName);
    const Parsed P = Parse(r.aArgs);
    EXPECT_EQ(P.un32Result, r.un32Result);
    EXPECT_EQ(Fields(P.Cmd), r.pszFields);
    bool fFound = r.pszLogPart[0] == '\0';
    for (const std::string& s : P.aLines) fFound |= s.find(r.pszLogPart) != std::string::npos;
    EXPECT_TRUE(fFound) << r.pszLogPart;
  }
}

TEST(CfgCmdLine, HelpLinesInOrderAndCopyTakesAll) {
  const Parsed P = Parse({"app", "--help"});
  const std::vector<std::string> kHelp = {
      "Options available:\n",           "   -d             Daemon mode\n",
      "   -name XYZ      Application name\n", "   -db            Database to use\n",
      "   -c XYZ         Configuration file to load\n", "   -gw XYZ        VQX gw port\n",
      "   -adapter VQXYZ Adapter name to connect\n"};
  ASSERT_EQ(P.aLines.size(), kHelp.size());
  for (size_t i = 0; i < kHelp.size(); i++) EXPECT_TRUE(P.aLines[i].ends_with(kHelp[i])) << P.aLines[i];
  const Parsed Q = Parse({"app", "-d", "-db", "-name", "a", "-adapter", "x,y", "-gw", "5", "-port", "6", "-pid", "7"});
  CVQCAFCfgCmdLine Copy;
  Copy.mCfgPath = "p";
  Copy = Q.Cmd;
  EXPECT_EQ(Fields(Copy), Fields(Q.Cmd));
  EXPECT_EQ(Fields(Copy), "a|1|1|||5|||6|x,y|7|x,y,");
}

}  // namespace
