// The ":params" readers: every name of the common-parameters page read from a
// fixture, absent names leaving defaults, and bad values refused with their code.
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

TEST(ParamsDao, EveryNameOfTheFixture) {
  const Read R(std::string(getenv("VQX_TEST_DATA")) + "/params_common.xml");
  ASSERT_EQ(R.un32Result, VQX_RESULT_OK);
  const CVQCAFCommParams& C = R.Comm;
  EXPECT_EQ(C.mApplicationName, "tracer");
  EXPECT_EQ(C.mNetworkRedundancyParams.un32PollDelayMs, 1000u);
  EXPECT_EQ(C.mNetworkRedundancyParams.un32AdapterDownDelayMs, 8000u);
  EXPECT_STREQ(C.mszGwAddress0, "10.0.0.1");
  EXPECT_STREQ(C.mszGwAddress1, "gw1.local");
  EXPECT_EQ(C.mun16GwPort, 12000u);
  EXPECT_EQ(C.maun16ExtraGwPorts[1], 12002u);
  EXPECT_EQ(C.mun32NbExtraGwAddr, 2u);
  EXPECT_EQ(C.maExtraGwAddr[1].un16Port, 12359u);
  EXPECT_EQ(R.Log.mstrBaseName, "/tmp/trace");
  EXPECT_EQ(R.Log.maun32SubModTraceLevel[VQCAF_SUBMODULE_BASE], 3u);
  EXPECT_EQ(R.Log.maun32SubModTraceLevel[VQCAF_SUBMODULE_CLI], 0u);
  EXPECT_EQ(R.Log.maun32SubModTraceLevel[VQCAF_SUBMODULE_SERVICE], 0x7FFFFFFEu);
  EXPECT_STREQ(R.Cli.szTitle, "Trace");
  EXPECT_EQ(R.Cli.un32MinRefreshMs, 50u);
  EXPECT_EQ(R.Cli.un32LogLines, 100u);
  EXPECT_EQ(R.Cli.un32MaxPromptFields, 6u);
}

TEST(ParamsDao, AbsentKeepsDefaultsBadValuesRefused) {
  const std::pair<const char*, VQX_RESULT> kRows[] = {
      {"<host pollDelay='0'/>", VQX_RESULT_INVALID_PARAM},
      {"<host pollDelay='4294967296'/>", VQX_RESULT_INVALID_PARAM},
      {"<host><env VQX_GW_PORT='65536'/></host>", VQX_RESULT_INVALID_PARAM},
      {"<host><env VQX_GW_ADDRESS_0='0123456789012345678901234567890123456789012345678901234567890123'/></host>",
       VQX_RESULT_BUFFER_TOO_SMALL},
      {"<host><env VQX_GW_REMOTE_ADDR='(1.2.3:5)'/></host>", VQX_RESULT_INVALID_PARAM},
      {"<log><module name='NOPE' level='1'/></log>", VQX_RESULT_INVALID_PARAM},
      {"<log><module name='CLI'/></log>", VQX_RESULT_NOT_FOUND},
      {"<cli promptFields='3'/>", VQX_RESULT_INVALID_PARAM},
  };
  CTempDir Dir;
  std::ofstream(Dir.Path("p.xml")) << "<q><params></params></q>";
  const Read Empty(Dir.Path("p.xml"));  // absent names keep the defaults
  EXPECT_EQ(Empty.un32Result, VQX_RESULT_OK);
  EXPECT_EQ(Empty.Comm.mNetworkRedundancyParams.un32PollDelayMs, 2000u);
  EXPECT_EQ(Empty.Cli.un32MaxPromptFields, 8u);
  EXPECT_EQ(Empty.Log.mstrBaseName, "vqcaf");
  for (const auto& [pszParams, un32Code] : kRows) {
    std::ofstream(Dir.Path("p.xml")) << "<q><params>" << pszParams << "</params></q>";
    const Read R(Dir.Path("p.xml"));
    EXPECT_EQ(R.un32Result, un32Code) << pszParams;
  }
}

}  // namespace
