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
//   counted. (A provider killed mid-stream loses what was still on its way:
//   only the steady one's are all awaited.)
// - A provider that ends while the server is behind: all it sent written.
// - A group switched off while its provider keeps sending: nothing written
//   from the switch on, every message after it dropped with its line.
// - Each refusal's line names the provider and the group, once a second; the lines left out name their providers; a
//   provider refused for want of a group is counted and named in "Entities not traced"; a registration while H.248
//   tracing is off is ignored with its line.
// - A provider of two groups (testing/provsim): each group switched under its own name.
// - Once the close began: no provider served or told capture on, those left out named.
// The application brings both transports up (the adapters' and the hosts',
// at one gateway port), as the trace server does.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include "peers/child_process.h"
#include "peers/loopback.h"
#include "sigtrace_app.h"
#include "sigtrace_page.h"
#include "sigtrace_provider_entity.h"
#include "vqcafhashkey.h"
#include "support/sigtrace_test_app.h"
#include "support/sigtrace_test_support.h"
#include "vqcaf.h"
#include "vqcafcomm.h"
#include "vqcafservicesigtraceserver.h"

using namespace VQCAF;

namespace {

/* The framework up on 127.0.0.1 as the application brings it (the adapters'
 * and the hosts' transports, service detector, off-screen console), one CVQSigTrace (not
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
    G.mfAdaptersOn = 1, G.mpCommParams = &mComm, G.mpCliParams = &mCli;
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
  /* The Python provider (testing/provsim) with "--udp-port <free> --peer-port <ours> --name APP" and aExtra, once ready. */
  std::unique_ptr<peerproc::CChild> LaunchProvsim(const std::string& strApp, std::vector<std::string> aExtra) {
    std::vector<std::string> a = {"python3", std::string(getenv("VQX_SOURCE_DIR")) + "/testing/provsim/provsim.py",
                                  "--udp-port", std::to_string(loopnet::FreeLoopbackPort()), "--peer-port",
                                  std::to_string(mun16Port), "--name", strApp, "--lifetime", "300"};
    a.insert(a.end(), aExtra.begin(), aExtra.end());
    auto p = std::make_unique<peerproc::CChild>(a);
    std::string s; /* 60 s at most: the interpreter's start on a loaded machine outlasts the 10 s a line is given */
    for (int i = 0; i < 6 && s.empty(); i++) s = p->ReadLine();
    EXPECT_EQ(s.rfind("ready tcp=", 0), 0u) << s;
    return p;
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

/* The child's next line that is not its count of sends ("sent N"). */
std::string NextCapture(peerproc::CChild& Child) {
  std::string s;
  while ((s = Child.ReadLine()).rfind("sent ", 0) == 0) {
  }
  return s;
}

/* The refusals of one kind the log tells of: its lines, the " (and N more since the last line)" they carry and the
 * lines "<text> N more time(s) since the last line". */
size_t Refusals(const std::string& strLog, const std::string& strText) {
  size_t n = 0;
  for (size_t i = strLog.find(strText); i != std::string::npos; i = strLog.find(strText, i + 1)) {
    const std::string strLine = strLog.substr(i, strLog.find('\n', i) - i);
    unsigned u = 0;
    if (sscanf(strLine.c_str() + strText.size(), " %u more time", &u) == 1) {
      n += u;
      continue;
    }
    const size_t iAnd = strLine.find(" (and ");
    n += 1 + (iAnd != std::string::npos && sscanf(strLine.c_str() + iAnd, " (and %u more", &u) == 1 ? u : 0);
  }
  return n;
}

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
    EXPECT_EQ(NextCapture(*pA), std::string("capture ") + (*pszAnswer == 'y' ? "1" : "0") + " mgc1");
    if (!pLate) pLate = B.Launch("late", {"--name", "mgc1", "--count", "0"});  // joins while capture is off
    EXPECT_EQ(NextCapture(*pLate), std::string("capture ") + (*pszAnswer == 'y' ? "1" : "0") + " mgc1");
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
  strLog += B.Log.Text();
  /* One line a second, naming the provider and the group its record names; the rest counted. */
  EXPECT_EQ(Refusals(strLog, "Failed to unserialize MsgSigtraceData"), 3u);
  EXPECT_EQ(sigtest::Count(strLog, ".pd, group \"mgc2\")"), 1u);
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
      EXPECT_EQ(NextCapture(*aOthers[i]), "capture 1 churn");
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

/* A group switched off while its provider keeps sending (it answers the capture off with data too): nothing is
 * written for the group from the switch on, and every message after it is dropped with its line (once a second, the
 * rest counted). */
TEST(Providers, GroupSwitchedOffWritesNothingOfAProviderThatKeepsSending) {
  CProviderBench B;
  auto p = B.Launch("off", {"--name", "goff", "--count", "2000", "--size", "10", "--ignore-off", "--stay"});
  ASSERT_EQ(p->ReadLine(), "capture 1 goff");
  ASSERT_EQ(p->ReadLine(), "sent 2000");
  ASSERT_TRUE(Until([&] { return B.Counters("goff") == "1 2000 0"; })) << B.Counters("goff");
  CVQCAFMutexAutoGetGive(&B.pApp->mAppMutex), B.pApp->ChangeProviderGroupState(B.pApp->mGroups.Find("goff"), 0);
  ASSERT_EQ(p->ReadLine(), "capture 0 goff");
  ASSERT_EQ(p->ReadLine(), "sent 2000");
  B.pApp.reset();  // the close's capture off: 2000 more, let in until the provider stops
  EXPECT_EQ(p->ReadLine(), "capture 0 goff");
  EXPECT_EQ(p->ReadLine(), "sent 2000");
  kill(p->mPid, SIGKILL);
  const std::string strLog = B.Log.Text();
  EXPECT_NE(strLog.find("Group goff: 2000 units written, 0 lost"), std::string::npos);
  EXPECT_EQ(sigtest::PcapRecords(sigtest::ReadFile("goff_000.cap"), 1), 2000);
  EXPECT_EQ(Refusals(strLog, "Data dropped: the group's capture is off"), 4000u);
}

/* A provider that ends while the server is behind: the server's provider handling held back (the application
 * mutex) until the provider has queued all it sends and begun to leave, so that its close finds the most of it still
 * on its way (in its send queue, its transport's queue, the sockets, the server's backlog). The close waits for the
 * server to take it all, and ends the link without a reset: every message the provider's sends accepted is written,
 * none lost. */
TEST(Providers, ProviderEndingWhileTheServerIsBehindHasAllItSentWritten) {
  CProviderBench B;
  constexpr u32 kCount = 5000;
  auto p = B.Launch("leaver", {"--name", "gleave", "--count", std::to_string(kCount), "--size", "16"});
  ASSERT_EQ(p->ReadLine(), "capture 1 gleave");
  {
    CVQCAFMutexAutoGetGive Lock(&B.pApp->mAppMutex);
    ASSERT_EQ(p->ReadLine(), "sent " + std::to_string(kCount));
  }
  EXPECT_EQ(p->Wait(VQCAF_COMM_CLOSE_SEND_WAIT_MS + 10000), 0);
  B.pApp.reset();
  EXPECT_NE(B.Log.Text().find("Group gleave: " + std::to_string(kCount) + " units written, 0 lost"), std::string::npos);
  EXPECT_EQ(sigtest::PcapRecords(sigtest::ReadFile("gleave_000.cap"), 1), kCount);
}

/* Each refusal's line names the provider ("<host>.<application>") and the group, keeping its own text: the 21st
 * provider (it waits for a place), a name of a group of another type, the 65th group, a registration of another type
 * than H.248, data and an unregister naming a group the provider is not in, data of one waiting for a place. Lines of
 * one kind come once a second (the application's clock, injected here), the others counted in the next one or in a
 * line of their own, which name their providers. The providers refused for want of a group or of a place are counted
 * and named in "Entities not traced"; the first waiting for a place is served once one frees, with the registration
 * it made while waiting; past 64 waiting, one is refused for good. Called as the services thread calls them. */
TEST(Providers, EveryRefusalNamesTheProviderAndTheGroupOnceASecond) {
  CProviderBench B;
  static u64 s_un64Now = 5000;
  B.pApp->mpfnClock = [] { return s_un64Now; };
  CVQCAFMutexAutoGetGive Lock(&B.pApp->mAppMutex);
  CVQSigTrace& App = *B.pApp;
  const auto Connect = [&](int i) {
    CVQCAFServiceInfo Info;
    snprintf(Info.mHostInfo.szHostName, sizeof(Info.mHostInfo.szHostName), "h");
    snprintf(Info.mHostInfo.szApplicationName, sizeof(Info.mHostInfo.szApplicationName), "p%d", i);
    return static_cast<CVQSigTraceProviderEntity*>(App.OnServiceConnected(nullptr, &Info));
  };
  const std::string kWaits = "Cannot allocate context (20 providers at most): it waits, served once a place frees";
  std::vector<CVQSigTraceProviderEntity*> aP;
  for (int i = 0; i <= 20; i++) aP.push_back(Connect(i));
  ASSERT_NE(aP[20], nullptr);
  EXPECT_EQ(aP[20]->mfWaiting, CVQSigTraceProviderEntity::kWaitingForPlace);
  EXPECT_EQ(B.Log.CountAt(VQMSG, kWaits), 1u) << "a wait, not an error";
  EXPECT_EQ(B.Log.CountAt(VQERR, kWaits), 0u);
  EXPECT_NE(B.Log.Text().find(kWaits + " (provider h.p20) (82000008)"), std::string::npos);
  char szData[] = "x";
  EXPECT_EQ(App.OnRegister(aP[0], 1, const_cast<char*>("g0"), szData), VQX_RESULT_NOT_READY);  // not registered
  for (int i = 1; i < 63; i++) {
    const std::string strName = "ss7_" + std::to_string(i);
    CVQSigTraceGrp* g = App.mGroups.Alloc(CVQCAFDebugInfo(__FILE__, __LINE__), CVQCAFHashKeyString(strName.c_str()));
    g->mstrName = strName.c_str(), g->mun32Type = VQ_SIGTRACE_TYPE_SS7;
  }
  const struct {
    std::function<u32()> fnCall;
    u32 un32Result;
    const char* pszLine;
  } aRows[] = {
      {[&] { return App.OnRegister(aP[1], 1, const_cast<char*>("ss7_1"), szData); }, VQX_RESULT_INVALID_PARAM,
       "Type mismatch: Several providers using same name but different type (provider h.p1, group \"ss7_1\")"},
      {[&] { return App.OnRegister(aP[1], 1, const_cast<char*>("g63"), szData); }, VQX_RESULT_NOT_READY, ""},
      {[&] { return App.OnRegister(aP[1], 1, const_cast<char*>("g64"), szData); }, VQX_RESULT_OUT_OF_RESOURCE,
       "No more group context (increase QUELLAN_MAX_GROUPS define) (provider h.p1, group \"g64\")"},
      {[&] { return App.OnRegister(aP[3], 7, const_cast<char*>("g7"), szData); }, VQX_RESULT_INVALID_PARAM,
       "Register refused: not of type H.248 (1), the one traced (provider h.p3, group \"g7\")"},
      {[&] { return App.OnTraceMsgReceived(aP[1], 1, const_cast<char*>("g0"), 1, reinterpret_cast<u8*>(szData), 1); },
       VQX_RESULT_NOT_FOUND, "Data refused: the provider is not in that group (provider h.p1, group \"g0\")"},
      {[&] { return App.OnTraceMsgReceived(aP[0], 1, const_cast<char*>("ss7_2"), 1, reinterpret_cast<u8*>(szData), 1); },
       VQX_RESULT_NOT_FOUND, ""},  /* the same kind within the second: counted */
      {[&] { return App.OnUnregister(aP[2], 1, const_cast<char*>("g0"), szData); }, VQX_RESULT_NOT_FOUND,
       "Unregister refused: the provider is not in that group (provider h.p2, group \"g0\")"},
      {[&] { return App.OnTraceMsgReceived(aP[0], 1, const_cast<char*>("g0"), 1, reinterpret_cast<u8*>(szData), 1); },
       VQX_RESULT_OK, ""},
      {[&] {
         App.ChangeProviderGroupState(App.mGroups.Find("g0"), 0);
         return App.OnTraceMsgReceived(aP[0], 1, const_cast<char*>("g0"), 1, reinterpret_cast<u8*>(szData), 1);
       },
       VQX_RESULT_INVALID_STATE, "Data dropped: the group's capture is off (provider h.p0, group \"g0\")"},
      {[&] {
         App.mCmdLine.mfH248 = 0; /* "-c" without "-h248" */
         const u32 r = App.OnRegister(aP[3], 1, const_cast<char*>("gh"), szData);
         App.mCmdLine.mfH248 = 1;
         return r;
       },
       VQX_RESULT_NOT_READY, "Registration ignored: H.248 tracing is off (-h248 not given) (provider h.p3, group \"gh\")"},
      {[&] { return App.OnTraceMsgReceived(aP[20], 1, const_cast<char*>("g0"), 1, reinterpret_cast<u8*>(szData), 1); },
       VQX_RESULT_OUT_OF_RESOURCE,
       "Data refused: the provider waits for a place (20 providers at most) (provider h.p20, group \"g0\")"},
  };
  for (size_t i = 0; i < std::size(aRows); i++) {
    EXPECT_EQ(aRows[i].fnCall(), aRows[i].un32Result) << "row " << i;
    const std::string strLog = B.Log.Text();
    EXPECT_EQ(strLog.find("(provider h.p") != std::string::npos, *aRows[i].pszLine != '\0') << "row " << i << ": " << strLog;
    EXPECT_NE(strLog.find(aRows[i].pszLine), std::string::npos) << "row " << i << ": " << strLog;
  }
  EXPECT_EQ(B.pApp->mGroups.Find("g0")->mun32TxCount, 1u) << "written before the capture went off, not after";
  s_un64Now += 999;
  App.LogProviderRefusalsDue(false);
  EXPECT_EQ(B.Log.Text().find("more time(s)"), std::string::npos) << "within the second";
  s_un64Now += 1;
  App.LogProviderRefusalsDue(false);
  const std::string strDue = B.Log.Text();
  EXPECT_NE(strDue.find("Data refused: the provider is not in that group 1 more time(s) since the last line"),
            std::string::npos);
  EXPECT_NE(strDue.find("Data refused: the provider is not in that group 1 more time(s) since the last line (providers "
                        "h.p0)"),
            std::string::npos) << "the provider left out named" << strDue;
  s_un64Now += 1000;  // the next line comes whole, nothing left out since the count's line
  EXPECT_EQ(App.OnTraceMsgReceived(aP[1], 1, const_cast<char*>("g0"), 1, reinterpret_cast<u8*>(szData), 1),
            VQX_RESULT_NOT_FOUND);
  const std::string strLog = B.Log.Text();
  EXPECT_NE(strLog.find("group \"g0\") (82000015)"), std::string::npos) << strLog;
  EXPECT_EQ(App.mGroups.Find("g7"), nullptr) << "no group for another type";
  /* A second provider beyond the places within the second of the first's line: counted, and named with the next line. */
  for (const int i : {21, 22, 23}) {
    if (i == 23) s_un64Now += 1000;
    EXPECT_NE(Connect(i), nullptr) << i;
  }
  EXPECT_EQ(B.Log.CountAt(VQMSG, kWaits), 2u) << "once a second";
  const std::string strBeyond = B.Log.Text();
  for (const std::string& str : {kWaits + " (provider h.p21) (82000008)",
                                kWaits + " (provider h.p23) (and 1 more since the last line, providers h.p22) (82000008)"})
    EXPECT_NE(strBeyond.find(str), std::string::npos) << str << "\n" << strBeyond;
  /* A place frees: the first to wait takes it, with the group it registered meanwhile (its provider's record), not
   * the one it left meanwhile. */
  aP[20]->mfRegistered = 1;
  aP[20]->mvRegistered.push_back(VQCAF_SIGTRACE_REGISTER_INFO{1, "g0", "d"});
  aP[20]->mvRegistered.push_back(VQCAF_SIGTRACE_REGISTER_INFO{1, "gleft", "d"});
  EXPECT_EQ(App.OnUnregister(aP[20], 1, const_cast<char*>("gleft"), szData), VQX_RESULT_OK);
  App.OnServiceDisconnected(nullptr, aP[5]);
  EXPECT_EQ(aP[20]->mfWaiting, CVQSigTraceProviderEntity::kServed);
  EXPECT_EQ(App.ServedProviders(), 20u);
  const std::string strServed = B.Log.Text();
  for (const char* psz : {"Application h.p5 left: its place goes to h.p20 (0x0000000000000000), the first one waiting",
                          "add \033[32mh.p20\033[m in group \033[32mg0\033[m"})
    EXPECT_NE(strServed.find(psz), std::string::npos) << psz << "\n" << strServed;
  EXPECT_EQ(strServed.find("gleft"), std::string::npos) << "no registration of the group it left:\n" << strServed;
  /* Past 64 waiting: refused for good. */
  int nWaiting = 3;
  for (int i = 24; i < 100 && Connect(i) != nullptr; i++) nWaiting++;
  EXPECT_EQ(nWaiting, 64);
  /* So is one linking during the close with every record taken. */
  for (const int i : {100, 201}) {
    s_un64Now += 1000;
    App.mun64CloseStartMs = i == 201 ? 1 : 0;
    EXPECT_EQ(Connect(i), nullptr);
    EXPECT_NE(B.Log.Text().find("Cannot allocate context (20 providers at most, 64 more waiting): never served (provider "
                                "h.p" + std::to_string(i) + ") (82000008)"),
              std::string::npos);
  }
  App.mun64CloseStartMs = 0;
  /* The providers refused for want of a group, waiting for a place or refused for good (h.p85, h.p100, h.p201), not
   * the one served since, counted and named. */
  App.LogGroupSummaries();
  EXPECT_NE(B.Log.Text().find("Entities not traced: 68, providers among them: h.p1 (group \"g64\"), h.p100 (never "
                              "served: 64 providers waiting), h.p201 (never served: 64 providers waiting), h.p21 (no "
                              "place among the 20 providers), h.p22 (no place among the 20 providers)"),
            std::string::npos);
}

/* A provider that registers two groups: each capture request names its own group, also when the console switches
 * the first one off and on again (its name was the second's when the last register record stood for both). */
TEST(Providers, EachGroupOfAProviderIsSwitchedUnderItsOwnName) {
  CProviderBench B;
  auto p = B.LaunchProvsim("ptwo", {"--group", "gfirst", "--group", "gsecond", "--count", "2"});
  std::vector<std::string> aLines;  /* the first once linked (30 s at most) */
  for (int i = 0; i < 6 && aLines.size() < 4; i++)
    if (std::string str = p->ReadLine(); !str.empty()) aLines.push_back(str);
  std::sort(aLines.begin(), aLines.end());
  EXPECT_EQ(aLines, (std::vector<std::string>{"capture 1 gfirst", "capture 1 gsecond", "sent 2", "sent 2"}));
  ASSERT_TRUE(Until([&] { return B.Counters("gfirst") == "1 2 0" && B.Counters("gsecond") == "1 2 0"; }));
  for (const u32 un32State : {0u, 1u}) {
    CVQCAFMutexAutoGetGive(&B.pApp->mAppMutex), B.pApp->ChangeProviderGroupState(B.pApp->mGroups.Find("gfirst"), un32State);
    EXPECT_EQ(p->ReadLine(), "capture " + std::to_string(un32State) + " gfirst");
  }
  EXPECT_EQ(p->ReadLine(), "sent 2");
  EXPECT_TRUE(Until([&] { return B.Counters("gfirst") == "1 4 0"; })) << B.Counters("gfirst");
  B.pApp.reset();  // the close's capture off, to each group
  std::vector<std::string> aOff = {p->ReadLine(), p->ReadLine()};
  std::sort(aOff.begin(), aOff.end());
  EXPECT_EQ(aOff, (std::vector<std::string>{"capture 0 gfirst", "capture 0 gsecond"}));
  kill(p->mPid, SIGKILL);
}

/* What a provider's link lost as it closed (the host's path-down event, payload 152) counted as the main loop takes
 * it: in the provider's group (its units and lost, no failure of its file), on a line of its own for a provider of
 * two groups (also one whose second registration is handled after the loss), nowhere for a host that is no provider's; a host removed takes its record along, unless a later process
 * holds the handle; a short event is refused with its line. */
TEST(Providers, PathDownLossCountedInTheProvidersGroupOrApart) {
  CProviderBench B;
  CVQCAFMutexAutoGetGive Lock(&B.pApp->mAppMutex);
  CVQSigTrace& App = *B.pApp;
  const auto Connect = [&](u32 hHost, u64 un64Id, const char* pszApp) {
    CVQCAFServiceInfo Info;
    snprintf(Info.mHostInfo.szHostName, sizeof(Info.mHostInfo.szHostName), "h");
    snprintf(Info.mHostInfo.szApplicationName, sizeof(Info.mHostInfo.szApplicationName), "%s", pszApp);
    Info.mHostInfo.hAdapter = hHost, Info.mHostInfo.un64UniqueHostId = un64Id;
    return static_cast<CVQSigTraceProviderEntity*>(App.OnServiceConnected(nullptr, &Info));
  };
  char szDesc[] = "d";
  App.OnRegister(Connect(0xCB000001, 1, "pa"), 1, const_cast<char*>("ga"), szDesc);
  CVQSigTraceProviderEntity* pB = Connect(0xCB000002, 2, "pb");
  for (const char* psz : {"gb1", "gb2"}) App.OnRegister(pB, 1, const_cast<char*>(psz), szDesc);
  CVQSigTraceProviderEntity* pC = Connect(0xCB000003, 3, "pc");
  App.OnRegister(pC, 1, const_cast<char*>("gc1"), szDesc);
  constexpr u32 kRegister = 0; /* pc's registration of a second group, handled after its link's loss */
  const auto Event = [&](u32 un32Id, u32 hHost, u32 un32Word, u32 un32Size) {
    if (un32Id == kRegister) return App.OnRegister(pC, 1, const_cast<char*>("gc2"), szDesc);
    std::vector<u8> Payload(un32Size);
    const u32 un32Offset = un32Id == VQX_MSG_ID_API_NOTIF_HOST_GW_DOWN ? VQX_NOTIF_OFFSET_LOST
                                                                      : 16 + offsetof(_VQX_HOST_INFO, un64UniqueHostId);
    memcpy(Payload.data() + VQX_NOTIF_OFFSET_HANDLE, &hHost, 4);
    if (un32Offset + 4 <= un32Size) memcpy(Payload.data() + un32Offset, &un32Word, 4);
    std::vector<u32> Msg = sigtest::ReceivedMsg(un32Id, Payload, hHost);
    return App.DispatchMsg(reinterpret_cast<unsigned int*>(Msg.data()));
  };
  constexpr u32 kDown = VQX_MSG_ID_API_NOTIF_HOST_GW_DOWN, kRemoved = VQX_MSG_ID_API_NOTIF_HOST_REMOVED;
  const struct {
    u32 un32Id, hHost, un32Word, un32Size, un32Result;
    const char* pszLine;
  } aRows[] = {
      {kDown, 0xCB000001, 5, 160, VQX_RESULT_OK, "Provider h.pa: 5 message(s) lost as its link closed, counted in group ga"},
      {kDown, 0xCB000002, 3, 160, VQX_RESULT_OK,
       "Provider h.pb: 3 message(s) lost as its link closed, counted on a line of their own (groups gb1, gb2)"},
      {kDown, 0xCB000001, 0, 160, VQX_RESULT_OK, ""},
      {kDown, 0xCB000009, 4, 160, VQX_RESULT_OK, "Host 0xCB000009: 4 message(s) lost as its link closed, not a provider's"},
      {kRemoved, 0xCB000001, 7, 440, VQX_RESULT_OK, ""}, /* another process's removal: the record stays */
      {kDown, 0xCB000001, 2, 160, VQX_RESULT_OK, "Provider h.pa: 2 message(s) lost as its link closed, counted in group ga"},
      {kRemoved, 0xCB000001, 1, 440, VQX_RESULT_OK, ""},
      {kDown, 0xCB000001, 6, 160, VQX_RESULT_OK, "Host 0xCB000001: 6 message(s) lost as its link closed, not a provider's"},
      {kDown, 0xCB000002, 1, 152, VQX_RESULT_INVALID_PARAM, "Path-down event too short"},
      {kRemoved, 0xCB000002, 2, 200, VQX_RESULT_INVALID_PARAM, "Host removed event too short"},
      {kDown, 0xCB000003, 4, 160, VQX_RESULT_OK, "Provider h.pc: 4 message(s) lost as its link closed, counted in group gc1"},
      {kRegister, 0xCB000003, 0, 0, VQX_RESULT_NOT_READY, /* its capture request: no link here */
       "Provider h.pc: 4 message(s) lost as its link closed, moved from group gc1 to a line of their own (groups gc1, gc2)"},
  };
  B.Log.Text();
  for (size_t i = 0; i < std::size(aRows); i++) {
    const auto& r = aRows[i];
    EXPECT_EQ(Event(r.un32Id, r.hHost, r.un32Word, r.un32Size), r.un32Result) << "row " << i;
    const std::string strLog = B.Log.Text();
    EXPECT_EQ(strLog.empty(), *r.pszLine == '\0') << "row " << i << ": " << strLog;
    EXPECT_NE(strLog.find(r.pszLine), std::string::npos) << "row " << i << ": " << strLog;
  }
  /* Providers of a new name at each start, of two groups, each losing 2 as its link closes, then gone: past 16 of
   * them with a line of their own, their lines fold into one (those still present keep theirs). */
  for (u32 i = 0; i < 20; i++) {
    CVQSigTraceProviderEntity* p = Connect(0xCB000100 + i, 100 + i, ("f" + std::to_string(i)).c_str());
    for (const char* psz : {"gb1", "gb2"}) App.OnRegister(p, 1, const_cast<char*>(psz), szDesc);
    Event(kDown, 0xCB000100 + i, 2, 160);
    App.OnServiceDisconnected(nullptr, p);
    Event(kRemoved, 0xCB000100 + i, 100 + i, 440);
  }
  EXPECT_NE(B.Log.Text().find("Providers that left: the link losses of 17 of them (34 message(s)) folded into one "
                              "summary line"),
            std::string::npos);
  EXPECT_EQ(App.mProviderLinkLost.size(), 5u) << "h.pb, h.pc and the 3 gone since the fold";
  EXPECT_FALSE(App.LogGroupSummaries()) << "units that never reached a group are no failure of its file";
  const std::string strSummary = B.Log.Text();
  for (const char* psz : {"Group ga: 0 units written, 7 lost", "Group gb1: 0 units written, 0 lost",
                          "Provider h.pb: 3 units lost, their group not known (groups gb1, gb2)",
                          "Group gc1: 0 units written, 0 lost", "Provider h.pc: 4 units lost, their group not known (groups gc1, gc2)",
                          "Provider h.f19: 2 units lost, their group not known (groups gb1, gb2)",
                          "Providers that left: 34 units lost, their group not known (17 providers' lines folded)"})
    EXPECT_NE(strSummary.find(psz), std::string::npos) << psz << "\n" << strSummary;
  EXPECT_EQ(strSummary.find("Provider h.f0:"), std::string::npos) << strSummary;
}

/* Once the close began (its start set as the clean-up sets it) no provider is served or told capture on: one that
 * links waits, named; a registration is answered capture off (no link here: NOT_READY), a group it would make is not
 * made and a served provider left out of it is named; the console's capture on tells nobody; a place that frees goes
 * to none. Each one left out is counted and named in "Entities not traced". */
TEST(Providers, NoneServedOrToldCaptureOnOnceTheCloseBegan) {
  CProviderBench B;
  CVQCAFMutexAutoGetGive Lock(&B.pApp->mAppMutex);
  CVQSigTrace& App = *B.pApp;
  const auto Connect = [&](const char* pszApp) {
    CVQCAFServiceInfo Info;
    snprintf(Info.mHostInfo.szHostName, sizeof(Info.mHostInfo.szHostName), "h");
    snprintf(Info.mHostInfo.szApplicationName, sizeof(Info.mHostInfo.szApplicationName), "%s", pszApp);
    return static_cast<CVQSigTraceProviderEntity*>(App.OnServiceConnected(nullptr, &Info));
  };
  char szDesc[] = "d";
  CVQSigTraceProviderEntity* pServed = Connect("ps");
  pServed->mfRegistered = 1;
  App.OnRegister(pServed, 1, const_cast<char*>("g0"), szDesc);
  App.mun64CloseStartMs = 1;
  CVQSigTraceProviderEntity* pLate = nullptr;
  const struct {
    std::function<u32()> fnCall;
    u32 un32Result;
    const char* pszLine; /* "" none */
  } aRows[] = {
      {[&] { return (pLate = Connect("pl")) != nullptr ? pLate->mfWaiting : 99u; }, CVQSigTraceProviderEntity::kLinkedDuringClose,
       "OnServiceConnected: Application h.pl linked during the close: not served"},
      {[&] { return pLate->mfRegistered = 1, App.OnRegister(pLate, 1, const_cast<char*>("gl"), szDesc); },
       VQX_RESULT_NOT_READY, "SendCaptureRequest (h.pl): capture=0"},
      {[&] { return App.OnRegister(pServed, 1, const_cast<char*>("g0"), szDesc); }, VQX_RESULT_NOT_READY,
       "SendCaptureRequest (h.ps): capture=0"},
      {[&] { return App.OnRegister(pServed, 1, const_cast<char*>("gnew"), szDesc); }, VQX_RESULT_NOT_READY,
       "Registration during the close: not traced (provider h.ps, group \"gnew\")"},
      {[&] { return App.ChangeProviderGroupState(App.mGroups.Find("g0"), 1); }, VQX_RESULT_OK,
       "ChangeState: Enable packet capture for group: g0"},
      {[&] {
         App.OnServiceDisconnected(nullptr, pServed);
         return pLate->mfWaiting;
       },
       CVQSigTraceProviderEntity::kLinkedDuringClose, ""},
  };
  B.Log.Text();
  for (size_t i = 0; i < std::size(aRows); i++) {
    EXPECT_EQ(aRows[i].fnCall(), aRows[i].un32Result) << "row " << i;
    const std::string strLog = B.Log.Text();
    EXPECT_NE(strLog.find(aRows[i].pszLine), std::string::npos) << "row " << i << ": " << strLog;
    EXPECT_EQ(strLog.find("capture=1"), std::string::npos) << "row " << i << ": " << strLog;
    EXPECT_EQ(strLog.find("in group"), std::string::npos) << "row " << i << ": " << strLog;
  }
  EXPECT_EQ(App.mGroups.Find("gl"), nullptr);
  EXPECT_EQ(App.mGroups.Find("gnew"), nullptr);
  App.LogGroupSummaries();
  EXPECT_NE(B.Log.Text().find("Entities not traced: 2, providers among them: h.pl (linked during the close), h.ps "
                              "(group \"gnew\": registered during the close)"),
            std::string::npos);
}
