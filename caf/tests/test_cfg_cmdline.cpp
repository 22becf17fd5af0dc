// The framework command line: each option, its failure texts and codes, the
// first and last help lines, "-db" last and unknown words, as rows.
#include "support/vqcaf_test_support.h"
#include "vqcafcfgcmdline.h"

namespace {

/* The parse's result, then its fields joined with '|', then what it logged. */
std::vector<std::string> Parse(std::vector<std::string> aArgs) {
  vqtest::CDiagCapture Diag;
  vqtest::CCaptureListener Listener;
  AddLogTraceListener(&Listener);
  CVQCAFCfgCmdLine C;
  std::vector<char*> argv;
  for (std::string& s : aArgs) argv.push_back(s.data());
  std::vector<std::string> aOut = {std::to_string(C.ParseCmdLineArgs(static_cast<int>(argv.size()), argv.data())), ""};
  RemoveLogTraceListener(&Listener);
  const std::string aFields[] = {C.mAppName.c_str(),
                                 std::to_string(C.mun32DaemonMode),
                                 std::to_string(C.mun32DbMode),
                                 C.mCfgFile.c_str(),
                                 C.mCfgPath.c_str(),
                                 std::to_string(C.mun32GwPort),
                                 C.mGwAddr0.c_str(),
                                 C.mGwAddr1.c_str(),
                                 std::to_string(C.mun32Port),
                                 C.mAdapterName.c_str(),
                                 C.mPid.c_str()};
  for (const std::string& s : aFields) aOut[1] += s + "|";
  for (const CVQCAFString& a : C.mAdapterList) aOut[1] += std::string(a.c_str()) + ",";
  for (const std::string& s : Diag.Lines()) aOut.push_back(s);
  for (const std::string& s : Listener.Texts()) aOut.push_back(s);
  return aOut;
}

struct Row {
  std::vector<std::string> aArgs;
  VQX_RESULT un32Result;
  const char* pszFields;
  const char* pszLogPart;
};
const Row kRows[] = {
    {{"app"}, VQX_RESULT_INVALID_PARAM, "|0|0|||0|||0|||", "No parameter to parse on the command line"},
    {{"app", "-d", "-name", "n1", "-c", "f.xml", "-gw", "12000", "-gw_addr_0", "10.0.0.1", "-gw_addr_1", "h1", "-port",
      "65535", "-pid", "77", "-adapter", "TB0,tb1,,x"},
     VQX_RESULT_OK,
     "n1|1|0|f.xml||12000|10.0.0.1|h1|65535|TB0,tb1,,x|77|TB0,tb1,x,",
     ""},
    {{"app", "junk", "-D", "-C", "x", "-db"}, VQX_RESULT_OK, "|0|1|||0|||0|||", ""},
    {{"app", "-db", "-name", "n"}, VQX_RESULT_OK, "n|0|1|||0|||0|||", ""},
    {{"app", "-name", "n", "-c"}, VQX_RESULT_INVALID_PARAM, "n|0|0|||0|||0|||", "Missing argument for option '-c'"},
    {{"app", "-gw", "65536"}, VQX_RESULT_INVALID_PARAM, "|0|0|||0|||0|||", "Invalid value for option '-gw'"},
    {{"app", "-gw", "0x10"}, VQX_RESULT_INVALID_PARAM, "|0|0|||0|||0|||", "Invalid value for option '-gw'"},
    {{"app", "-port", "99999999999"}, VQX_RESULT_INVALID_PARAM, "|0|0|||0|||0|||", "Invalid value for option '-port'"},
    {{"app", "-d", "?", "-name", "late"}, VQX_RESULT_FAIL, "|1|0|||0|||0|||", "Options available:"},
    {{"app", "/?"}, VQX_RESULT_FAIL, "|0|0|||0|||0|||", "   -adapter VQXYZ Adapter name to connect"},
};

TEST(CfgCmdLine, RowsSetFieldsAndLogTexts) {
  for (const Row& r : kRows) {
    std::string strName;
    for (const std::string& a : r.aArgs) strName += a + " ";
    const std::vector<std::string> aOut = Parse(r.aArgs);
    EXPECT_EQ(aOut[0], std::to_string(r.un32Result)) << strName;
    EXPECT_EQ(aOut[1], r.pszFields) << strName;
    bool fFound = r.pszLogPart[0] == '\0';
    for (size_t i = 2; i < aOut.size(); i++) fFound |= aOut[i].find(r.pszLogPart) != std::string::npos;
    EXPECT_TRUE(fFound) << strName << r.pszLogPart;
  }
}

}  // namespace
