// The ":params" readers: the parsed forms of the common-parameters page read
// from a fixture, absent names leaving defaults, and bad values refused with their
// code (the rows of data/params_dao_refusals.txt).
#include "support/vqcaf_test_support.h"
#include "vqcafcfgfile.h"
#include "vqcafparamsdaoxml.h"

namespace {

struct Read {
  CVQCAFLogParams Log;
  CVQCAFCommParams Comm;
  _VQX_CLI_TOOLS_INIT_PARAMS Cli;
  VQX_RESULT un32Result = VQX_RESULT_FAIL;
  explicit Read(const std::string& strFile) {
    CVQCAFCfgFileXml Cfg(strFile.c_str());
    VqxCliToolsInitParamsDefault(&Cli);
    if (Cfg.Open() == VQX_RESULT_OK) un32Result = CVQCAFParamsDaoXml::ReadCommonParams(Cfg, Log, Comm, Cli);
  }
};

/* The forms that take parsing: a hex port, the remote address list, a module named in lower case, a hex level. */
TEST(ParamsDao, ParsedFormsOfTheFixture) {
  const Read R(std::string(getenv("VQX_TEST_DATA")) + "/params_common.xml");
  ASSERT_EQ(R.un32Result, VQX_RESULT_OK);
  EXPECT_EQ(R.Comm.maun16ExtraGwPorts[1], 12002u);
  EXPECT_EQ(R.Comm.mun32NbExtraGwAddr, 2u);
  EXPECT_EQ(R.Comm.maExtraGwAddr[1].un16Port, 12359u);
  EXPECT_EQ(R.Log.maun32SubModTraceLevel[VQCAF_SUBMODULE_CLI], 0u);
  EXPECT_EQ(R.Log.maun32SubModTraceLevel[VQCAF_SUBMODULE_SERVICE], 0x7FFFFFFEu);
}

TEST(ParamsDao, AbsentKeepsDefaultsBadValuesRefused) {
  CTempDir Dir;
  std::ofstream(Dir.Path("p.xml")) << "<q><params></params></q>";
  const Read Empty(Dir.Path("p.xml"));  // absent names keep the defaults
  EXPECT_EQ(Empty.un32Result, VQX_RESULT_OK);
  EXPECT_EQ(Empty.Comm.mNetworkRedundancyParams.un32PollDelayMs, 2000u);
  EXPECT_EQ(Empty.Cli.un32MaxPromptFields, 8u);
  EXPECT_EQ(Empty.Log.mstrBaseName, "vqcaf");
  CDiagCapture Diag;
  ExpectRows("params_dao_refusals.txt", 3, [&Dir, &Diag](std::vector<std::string>& a) {
    std::ofstream(Dir.Path("p.xml")) << "<q><params>" << a[0] << "</params></q>";
    a[1] = Hex(Read(Dir.Path("p.xml")).un32Result);
    /* The reader's line, its text only, the file named as in the row. */
    const std::vector<std::string> aLines = Diag.Texts();
    std::string s = aLines.empty() ? "" : aLines.back();
    for (size_t n; (n = s.find(Dir.Path(""))) != std::string::npos;) s.erase(n, Dir.Path("").size());
    const size_t nStart = s.find(": ") == std::string::npos ? 0 : s.find(": ") + 2;
    a[2] = s.substr(nStart, std::min(s.find('\n'), s.find(" (8200")) - nStart);
  });
  /* A refused number is quoted as written, with its file and line. */
  std::ofstream(Dir.Path("p.xml")) << "<q>\n<params>\n<host pollDelay=\"abc\"/>\n</params>\n</q>\n";
  EXPECT_EQ(Read(Dir.Path("p.xml")).un32Result, VQX_RESULT_INVALID_PARAM);
  const std::string strWant = ":params:host@pollDelay = \"abc\" is not an unsigned 32-bit number (" + Dir.Path("p.xml") + ":3)";
  const std::vector<std::string> aLines = Diag.Texts();
  EXPECT_EQ(std::count_if(aLines.begin(), aLines.end(), [&](const std::string& s) { return s.find(strWant) != std::string::npos; }), 1)
      << strWant;
}

}  // namespace
