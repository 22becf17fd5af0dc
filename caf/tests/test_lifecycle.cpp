// The framework life cycle with doubles for every module: start order, later
// calls, stop order, a failing step returned at once, and after it GlobalUninit
// leaves no thread; the rule of the final "Done. Press RETURN" wait.
#include "support/vqcaf_test_support.h"
#include "vqcaf.h"

namespace {

using V = std::vector<std::string>;
V g_aCalls;
std::string g_strFailing;  // the step that fails

VQX_RESULT Called(const char* psz) {
  g_aCalls.push_back(psz);
  return g_strFailing == psz ? VQX_RESULT_NOT_READY : VQX_RESULT_OK;
}

/* Doubles for every step; the log and the console are the real ones behind their doubles so that threads start. */
VQCAF_LIFE_CYCLE_STEPS Doubles() {
  VQCAF_LIFE_CYCLE_STEPS S;
  S.pfnLogInit = [](const CVQCAFLogParams& P) {
    return VQX_RESULT_FAILED(Called("log init")) ? VQX_RESULT_NOT_READY : InitLog(P);
  };
  S.pfnLogSetParam = [](const CVQCAFLogParams&) { return Called("log set"); };
  S.pfnLogUninit = [] { return Called("log uninit") == VQX_RESULT_OK ? UninitLog() : VQX_RESULT_FAIL; };
  S.pfnCommInit = [](CVQCAFCommParams&) { return Called("comm init"); };
  S.pfnCommSetParam = [](CVQCAFCommParams&) { return Called("comm set"); };
  S.pfnCommStart = [](u32 fA, u32 fH) { return Called(fA && !fH ? "comm start 1 0" : "comm start ?"); };
  S.pfnCommUninit = [] { return Called("comm uninit"); };
  S.pfnDetectorInit = [] { return Called("detector init"); };
  S.pfnDetectorUninit = [] { return Called("detector uninit"); };
  S.pfnDetectorPoll = [] { return Called("detector poll"); };
  S.pfnCliOpen = [](CVQCAFCli& Cli, const _VQX_CLI_TOOLS_INIT_PARAMS& P, volatile u32* pf) {
    return VQX_RESULT_FAILED(Called("cli open")) ? VQX_RESULT_NOT_READY : Cli.Open(P, pf);
  };
  S.pfnCliClose = [](CVQCAFCli& Cli) {
    Cli.Close();
    return Called("cli close");
  };
  S.pfnCmcInit = [](void*) { return Called("cmc init"); };
  S.pfnCmcSetParam = [](void*) { return Called("cmc set"); };
  S.pfnCmcUninit = [] { return Called("cmc uninit"); };
  S.pfnCmcPoll = [] { return Called("cmc poll"); };
  return S;
}

size_t ThreadCount() { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); }

struct LifeCycle : ::testing::Test {
  CVQCAFLogParams Log;
  CVQCAFCommParams Comm;
  _VQX_CLI_TOOLS_INIT_PARAMS Cli;
  volatile u32 fQuit = 0;
  int nCmc = 0;
  CVQCAFGlobalsParams Params;
  CTempDir Dir;
  void SetUp() override {
    g_aCalls.clear();
    g_strFailing.clear();
    VqxCliToolsInitParamsDefault(&Cli);
    Cli.fOffScreen = 1;
    Log.mstrBaseName = Dir.Path("log").c_str();
    Params.mfHostsOn = 0;
    Params.mpLogParams = &Log;
    Params.mpCommParams = &Comm;
    Params.mpCliParams = &Cli;
    Params.mpfQuit = &fQuit;
    Params.mpCmcParams = &nCmc;
  }
  void TearDown() override { VqcafSetLifeCycleSteps(nullptr); }
  std::vector<std::string> Take() { return std::exchange(g_aCalls, {}); }
};

TEST_F(LifeCycle, StartLaterAndStopOrder) {
  EXPECT_EQ(GlobalSetParam(&Params), VQX_RESULT_NOT_INITIALIZED);
  const VQCAF_LIFE_CYCLE_STEPS S = Doubles();
  VqcafSetLifeCycleSteps(&S);
  ASSERT_EQ(GlobalInit(), VQX_RESULT_OK);
  EXPECT_EQ(GlobalInit(), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(GlobalSetParam(&Params), VQX_RESULT_OK);
  EXPECT_EQ(Take(), (V{"log init", "comm init", "detector init", "cli open", "cmc init", "comm start 1 0"}));
  EXPECT_EQ(GlobalPoll(), VQX_RESULT_OK);
  EXPECT_EQ(GlobalSetParam(&Params), VQX_RESULT_OK);
  EXPECT_EQ(Take(), (V{"detector poll", "cmc poll", "log set", "comm set", "cmc set", "comm start 1 0"}));
  Params.mpCmcParams = nullptr;
  Params.mpCliParams = nullptr;
  EXPECT_EQ(GlobalSetParam(&Params), VQX_RESULT_OK);
  EXPECT_EQ(Take(), (V{"cli close", "cmc uninit", "log set", "comm set", "comm start 1 0"}));
  CVQCAFGlobalsParams Empty;
  EXPECT_EQ(GlobalSetParam(&Empty), VQX_RESULT_OK);
  EXPECT_EQ(Take(), (V{"detector uninit", "comm uninit", "log uninit"}));
  EXPECT_EQ(GlobalUninit(), VQX_RESULT_OK);
  EXPECT_EQ(Take(), V{});
}

TEST_F(LifeCycle, FailingStepReturnsAtOnceAndUninitStopsTheRest) {
  std::thread([] {}).join();  // a sanitizer's helper thread, if any, starts before the count
  for (const char* pszFailing : {"log init", "comm init", "detector init", "cli open", "cmc init", "comm start 1 0"}) {
    SCOPED_TRACE(pszFailing);
    const size_t nThreads = ThreadCount();
    const VQCAF_LIFE_CYCLE_STEPS S = Doubles();
    VqcafSetLifeCycleSteps(&S);
    g_strFailing = pszFailing;
    ASSERT_EQ(GlobalInit(), VQX_RESULT_OK);
    EXPECT_EQ(GlobalSetParam(&Params), VQX_RESULT_NOT_READY);
    const std::vector<std::string> aUp = Take();
    EXPECT_EQ(aUp.back(), pszFailing);
    EXPECT_EQ(GlobalUninit(), VQX_RESULT_OK);
    // Every module that came up is stopped, in the stop order.
    std::vector<std::string> aExpected;
    const std::pair<const char*, const char*> kStops[] = {{"cli open", "cli close"},
                                                          {"cmc init", "cmc uninit"},
                                                          {"detector init", "detector uninit"},
                                                          {"comm init", "comm uninit"},
                                                          {"log init", "log uninit"}};
    for (const auto& [pszUp, pszDown] : kStops) {
      if (std::find(aUp.begin(), aUp.end(), pszUp) != aUp.end() && g_strFailing != pszUp) aExpected.push_back(pszDown);
    }
    EXPECT_EQ(Take(), aExpected);
    EXPECT_EQ(ThreadCount(), nThreads);
  }
}

TEST(LifeCycleDone, WaitsOnlyWhenSomeoneCanPressReturn) {
  unsetenv("VQX_SERVICE_MODE");
  EXPECT_FALSE(VqcafWaitsForReturn(0, VQX_RESULT_OK, true));
  EXPECT_TRUE(VqcafWaitsForReturn(1, VQX_RESULT_OK, true));
  EXPECT_TRUE(VqcafWaitsForReturn(0, VQX_RESULT_FAIL, true));
  EXPECT_FALSE(VqcafWaitsForReturn(1, VQX_RESULT_FAIL, false));  // daemon, pipe: nobody to answer
  for (const char* psz : {"VQX_STARTED_BY_LAUNCH_LIB", "VQX_BACKGROUND_LAUNCH", "VQX_SERVICE_MODE"}) {
    setenv(psz, "1", 1);
    EXPECT_FALSE(VqcafWaitsForReturn(1, VQX_RESULT_FAIL, true)) << psz;
    unsetenv(psz);
  }
}

}  // namespace
