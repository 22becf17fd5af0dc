// Remote trace providers against the application's sig-trace service, the
// providers being the test provider program as children; run under
// ThreadSanitizer too.
// - Register, data both ways into the provider's group file (text, as the
//   configured h248 record says), capture switched off and on from the main
//   page, unregister.
// - The bad inputs side by side: a 32-character name (read within its
//   field), a "../" name (its file stays in the trace directory), a data
//   length over 10240 and an empty name (both refused); nothing else lost.
// - Churn: providers sharing one group come, push data and go (every other
//   one killed mid-stream) while a steady one pushes and the console draws
//   and switches capture; the group file then holds exactly the records
//   counted. (A provider that leaves right after sending may lose its last
//   messages in transit: only the steady one's are all awaited.)
#include <gtest/gtest.h>
#include <signal.h>

#include "peers/child_process.h"
#include "peers/loopback.h"
#include "sigtrace_app.h"
#include "sigtrace_page.h"
#include "support/sigtrace_test_app.h"
#include "support/sigtrace_test_support.h"
#include "vqcaf.h"
#include "vqcafservicesigtraceserver.h"

using namespace VQCAF;

namespace {

/* The framework up on 127.0.0.1 as the application brings it (hosts'
 * transport, service detector, off-screen console), one CVQSigTrace (not
 * initialised: no board, no configuration) whose sig-trace server service
 * runs and whose main page is the console's page, a scratch directory for
 * the group files, and the test provider program (testing/sigtrace_provider)
 * launched as children that find this server by its port. */
class CProviderBench {
 public:
  CProviderBench() {
    loopnet::UseLoopbackNets(1);
    EXPECT_EQ(GlobalInit(), VQX_RESULT_OK);
    mComm.mApplicationName = "tracer", mComm.mun16GwPort = mun16Port, mComm.mun32HostLibTraceLevel = 0x7FFFFFFE;
    mComm.mfRemoteAddrOnGwPortOnly = 0;  // providers come from ports of their own
    VqxCliToolsInitParamsDefault(&mCli);
    mCli.fOffScreen = 1, mCli.un32Columns = 100, mCli.un32Rows = 40, mCli.un32LogViewLines = 0;
    CVQCAFGlobalsParams G;
    G.mfAdaptersOn = 0, G.mpCommParams = &mComm, G.mpCliParams = &mCli;
    EXPECT_EQ(GlobalSetParam(&G), VQX_RESULT_OK);
    pApp = std::make_unique<CVQSigTrace>(CVQSigTraceCfgCmdLine());
    CVQCAFMutexAutoGetGive Lock(&pApp->mAppMutex);
    pApp->mpPage = new CVQSigTracePage(pApp.get());
    pApp->mptrPage = CVQCAFPtr<IVQCAFCliPage>(pApp->mpPage);
    EXPECT_EQ(GetCli()->AddPage(pApp->mptrPage), VQX_RESULT_OK);
    pApp->mpPage->Attach();
    pApp->mpSigTraceServer = new CVQCAFServiceSigTraceServer(pApp.get());
    EXPECT_EQ(pApp->mpSigTraceServer->Start(), VQX_RESULT_OK);
  }
  ~CProviderBench() {
    pApp.reset();  // its clean-up: capture off, service stopped, groups closed, page removed
    GlobalSetParam(nullptr);
    GlobalUninit();
    loopnet::UseLoopbackNets(0);
  }
  /* The provider program with "--port <free> --peer-port <ours> --app APP" and aExtra; its output captured. */
  std::unique_ptr<peerproc::CChild> Launch(const std::string& strApp, std::vector<std::string> aExtra) {
    std::vector<std::string> a = {peerproc::BuildProgram("VQX_SIGTRACE_PROVIDER", "testing/sigtrace_provider/vqx_sigtrace_provider"),
                                  "--port", std::to_string(loopnet::FreeLoopbackPort()), "--peer-port",
                                  std::to_string(mun16Port), "--app", strApp};
    a.insert(a.end(), aExtra.begin(), aExtra.end());
    return std::make_unique<peerproc::CChild>(a);
  }
  /* The group's "entities rx tx" under the application mutex ("none" when absent). */
  std::string Counters(const char* pszGroup) {
    CVQCAFMutexAutoGetGive Lock(&pApp->mAppMutex);
    CVQSigTraceGrp* g = pApp->mGroups.Find(pszGroup);
    return g == nullptr ? "none"
                        : std::to_string(g->mvEntities.size()) + " " + std::to_string(g->mun32RxCount) + " " +
                              std::to_string(g->mun32TxCount);
  }
  /* Keys to the console (the main page is shown). */
  std::string Keys(const std::string& strKeys, bool fEnter = false) { return sigtest::ConsoleKeys(*GetCli(), strKeys, fEnter); }

  sigtest::CScratchDir Dir;
  sigtest::CLogLines Log;
  std::unique_ptr<CVQSigTrace> pApp;

 private:
  u16 mun16Port = loopnet::FreeLoopbackPort();
  CVQCAFCommParams mComm;
  _VQX_CLI_TOOLS_INIT_PARAMS mCli{};
};

const std::string kName31 = "n234567890123456789012345678901";  // sent with a 32nd character: the field has no room for it

bool Until(const std::function<bool()>& fn) { return peerwait::WaitUntil(fn, 10000); }

TEST(Providers, RegisterDataCaptureOffAndOnUnregister) {
  CProviderBench B;
  // The configured h248 record (text, not the command line's pcap), put in under the application mutex.
  CVQCAFMutexAutoGetGive(&B.pApp->mAppMutex), B.pApp->mSigTraceParams.Append(sigtest::Entity(VQ_SIGTRACE_TYPE_H248, "", ""));
  auto pA = B.Launch("pa", {"--name", "mgc1", "--both-ways", "--count", "4", "--captures", "2", "--unregister"});
  EXPECT_EQ(pA->ReadLine(), "capture 1 mgc1");
  EXPECT_TRUE(Until([&] { return B.Counters("mgc1") == "1 2 2"; })) << B.Counters("mgc1");
  std::unique_ptr<peerproc::CChild> pLate;
  for (const char* pszAnswer : {"n", "y"}) {  // the main page's provider-group command
    B.Keys("p"), B.Keys("", true), B.Keys(pszAnswer, true);
    EXPECT_EQ(pA->ReadLine(), std::string("capture ") + (*pszAnswer == 'y' ? "1" : "0") + " mgc1");
    if (!pLate) pLate = B.Launch("late", {"--name", "mgc1", "--count", "0"});  // joins while capture is off
    EXPECT_EQ(pLate->ReadLine(), std::string("capture ") + (*pszAnswer == 'y' ? "1" : "0") + " mgc1");
  }
  EXPECT_EQ(pA->Wait(), 0) << "linked, captures answered, every send";
  EXPECT_TRUE(Until([&] { return B.Counters("mgc1") == "1 4 4"; })) << B.Counters("mgc1");  // the late one stays
  const std::string strLog = B.Log.Text();
  for (const char* psz : {"OnServiceConnected: New application ", "Register type=1 name=mgc1 desc=test provider",
                          "in group \033[32mmgc1\033[m FORMAT", "ChangeState: Disable packet capture for group: mgc1",
                          "Free entity: \033[32m "})
    EXPECT_NE(strLog.find(psz), std::string::npos) << psz;
  B.pApp.reset();
  const std::string strText = sigtest::ReadFile("mgc1_000.log");
  EXPECT_EQ(sigtest::Count(strText, "MG -> MGC "), 4u);
  EXPECT_EQ(sigtest::Count(strText, "MGC -> MG "), 4u);
}

TEST(Providers, BadInputsRefusedOrKeptInside) {
  CProviderBench B;
  auto pLong = B.Launch("pb", {"--name", kName31 + "X"});
  auto pDots = B.Launch("pc", {"--name", "../evil"});
  auto pHuge = B.Launch("pd", {"--name", "mgc2", "--length", "20000"});
  auto pEmpty = B.Launch("pe", {"--name", ""});
  EXPECT_EQ(pLong->ReadLine(), "capture 1 " + kName31);
  EXPECT_EQ(pDots->ReadLine(), "capture 1 ../evil");
  EXPECT_EQ(pHuge->ReadLine(), "capture 1 mgc2");
  for (auto* p : {pLong.get(), pDots.get(), pHuge.get()}) EXPECT_EQ(p->Wait(), 0);
  std::string strLog;
  EXPECT_TRUE(Until([&] { return (strLog += B.Log.Text()).find("Register refused: empty name") != std::string::npos; }));
  kill(pEmpty->mPid, SIGKILL);
  EXPECT_TRUE(Until([&] { return B.Counters(kName31.c_str()) == "1 3 0" && B.Counters("../evil") == "1 3 0"; }));
  EXPECT_EQ(B.Counters("mgc2"), "1 0 0") << "a length over 10240 is refused";
  EXPECT_EQ(B.Counters(""), "none");
  B.pApp.reset();
  EXPECT_EQ(sigtest::Count(strLog + B.Log.Text(), "Failed to unserialize MsgSigtraceData"), 3u);
  EXPECT_EQ(sigtest::PcapRecords(sigtest::ReadFile("___evil_000.cap"), 1), 3);
  EXPECT_FALSE(sigtest::FileExists("../evil_000.cap"));
  EXPECT_EQ(sigtest::PcapRecords(sigtest::ReadFile(kName31 + "_000.cap"), 1), 3);
}

TEST(Providers, ChurnWhileDataFlows) {
  CProviderBench B;
  auto pSteady = B.Launch("steady", {"--name", "churn", "--count", "400", "--size", "300", "--stay"});
  EXPECT_EQ(pSteady->ReadLine(), "capture 1 churn");
  std::vector<std::unique_ptr<peerproc::CChild>> aOthers;
  for (int i = 0; i < 6; i++) {
    aOthers.push_back(B.Launch("p" + std::to_string(i), {"--name", "churn", "--count", "100", "--size", "100"}));
    B.Keys("");
    if (i % 2 == 1) {
      EXPECT_EQ(aOthers[i]->ReadLine(), "capture 1 churn");
      kill(aOthers[i]->mPid, SIGKILL);
    }
    if (i == 2) B.Keys("p"), B.Keys("", true), B.Keys("y", true);  // capture on again for every provider
  }
  for (size_t i = 0; i < aOthers.size(); i += 2) EXPECT_EQ(aOthers[i]->Wait(), 0) << i;
  EXPECT_TRUE(Until([&] {  // the steady one's two rounds at least
    const std::string s = B.Counters("churn");
    return s.rfind("7 ", 0) == 0 && std::stoul(s.substr(2)) >= 800;
  })) << B.Counters("churn");
  kill(pSteady->mPid, SIGKILL);
  B.pApp->mpSigTraceServer->Stop();  // nothing more is written: the counters are final
  const std::string strCounters = B.Counters("churn");
  B.pApp.reset();
  EXPECT_EQ("7 " + std::to_string(sigtest::PcapRecords(sigtest::ReadFile("churn_000.cap"), 1)) + " 0", strCounters);
}

}  // namespace
