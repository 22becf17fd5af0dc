// The ":params" readers: the names of the common-parameters page read from a
// fixture, absent names leaving defaults, and bad values refused with their
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

/* A name of each element, the hex and list forms, and a module name in lower case. */
TEST(ParamsDao, NamesOfTheFixture) {
  const Read R(std::string(getenv("VQX_TEST_DATA")) + "/params_common.xml");
  ASSERT_EQ(R.un32Result, VQX_RESULT_OK);
  const CVQCAFCommParams& C = R.Comm;
  EXPECT_EQ(C.mApplicationName, "tracer");
  EXPECT_EQ(C.mNetworkRedundancyParams.un32AdapterDownDelayMs, 8000u);
  EXPECT_STREQ(C.mszGwAddress1, "gw1.local");
  EXPECT_EQ(C.maun16ExtraGwPorts[1], 12002u);
  EXPECT_EQ(C.mun32NbExtraGwAddr, 2u);
  EXPECT_EQ(C.maExtraGwAddr[1].un16Port, 12359u);
  EXPECT_EQ(R.Log.mstrBaseName, "/tmp/trace");
  EXPECT_EQ(R.Log.maun32SubModTraceLevel[VQCAF_SUBMODULE_CLI], 0u);
  EXPECT_EQ(R.Log.maun32SubModTraceLevel[VQCAF_SUBMODULE_SERVICE], 0x7FFFFFFEu);
  EXPECT_EQ(R.Cli.un32MaxPromptFields, 6u);
}

TEST(ParamsDao, AbsentKeepsDefaultsBadValuesRefused) {
  CTempDir Dir;
  std::ofstream(Dir.Path("p.xml")) << "<q><params></params></q>";
  const Read Empty(Dir.Path("p.xml"));  // absent names keep the defaults
  EXPECT_EQ(Empty.un32Result, VQX_RESULT_OK);
  EXPECT_EQ(Empty.Comm.mNetworkRedundancyParams.un32PollDelayMs, 2000u);
  EXPECT_EQ(Empty.Cli.un32MaxPromptFields, 8u);
  EXPECT_EQ(Empty.Log.mstrBaseName, "vqcaf");
  ExpectRows("params_dao_refusals.txt", 2, [&Dir](std::vector<std::string>& a) {
    std::ofstream(Dir.Path("p.xml")) << "<q><params>" << a[0] << "</params></q>";
    a[1] = Hex(Read(Dir.Path("p.xml")).un32Result);
  });
}

}  // namespace
