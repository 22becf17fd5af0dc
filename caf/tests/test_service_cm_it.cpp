/*
 * test_service_cm_it.cpp - the configuration-management client against the
 * stand-in manager (testing/cmmgrsim, a python3 host peer on 127.0.0.1): it
 * detects the client's service and drives validate, reload and database
 * maintenance; each callback gets the request's arguments and its result goes
 * back with the request's number; short and oversized requests are refused
 * (answered when their number could be read) and the next request still works.
 * Two managers: the second stands by (its requests dropped) until the first
 * leaves, then it is answered. A request the manager sends again while it runs,
 * or after its answer, runs once and every copy is answered; the last 16
 * answered are kept, an older one sent again runs again.
 */
#include <algorithm>
#include <functional>

#include "comm_test_support.h"
#include "peers/cmmgrsim_process.h"
#include "vqcafservicecmmgmtclient.h"

namespace {

/* Records each call as text and answers with a result per kind. */
class CApp : public IVQCAFServiceCmMgmtClient {
 public:
  u32 OnValidateConfig(u32 a, u32 b, CVQCAFString s) override {
    return Add("validate " + std::to_string(a) + " " + std::to_string(b) + " " + s.c_str()), VQX_RESULT_OK;
  }
  u32 OnReloadConfig(u32 a, CVQCAFString s1, CVQCAFString s2) override {
    if (mfnOnReload) mfnOnReload();
    return Add("reload " + std::to_string(a) + " " + s1.c_str() + " " + s2.c_str()), VQX_RESULT_FAIL;
  }
  std::function<void()> mfnOnReload; /* run first by each reload (the services thread) */
  u32 OnDbMaintenance() override { return Add("db"), 0x42000001u; }
  void Add(const std::string& s) {
    std::lock_guard<std::mutex> L(mMutex);
    if (ma.empty() || ma.back() != s) ma.push_back(s);  // the first request may be sent again
  }
  /* The calls so far (the services thread adds them). */
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> L(mMutex);
    return ma;
  }
  std::mutex mMutex;
  std::vector<std::string> ma;
};

TEST(CmClient, ManagerDrivesTheThreeRequests) {
  const u16 un16Port = FreePort();
  loopnet::HeldPort ManagerUdp(SOCK_DGRAM); /* bound here, the manager's discovery socket once inherited */
  ASSERT_TRUE(ManagerUdp.Ok());
  OpenFramework("cmclient", un16Port, ManagerUdp.Port());
  CApp App;
  ASSERT_EQ(CVQCAFServiceCmMgmtClient::Init(), VQX_RESULT_OK);
  EXPECT_EQ(CVQCAFServiceCmMgmtClient::Init(), VQX_RESULT_INVALID_OPERATION) << "second Init";
  CVQCAFServiceCmMgmtClient::GetInstance()->Register(&App);
  {
    CChild Manager({"python3", std::string(getenv("VQX_SOURCE_DIR")) + "/testing/cmmgrsim/cmmgrsim.py", "--udp-fd",
                    std::to_string(ManagerUdp.Fd()), "--peer-port", std::to_string(un16Port)},
                   true, {ManagerUdp.Fd()});
    std::string strGot;
    for (std::string s; strGot.size() < 4096 && !(s = Manager.ReadLine()).empty();) {
      if (s.rfind("ready", 0) != 0) strGot += s + "\n";
    }
    EXPECT_EQ(strGot, DataFile("cm_manager_answers.txt")) << "the manager's answers: id, request number, result";
    EXPECT_EQ(Manager.Wait(), 0);
  }
  EXPECT_EQ(App.Calls(), std::vector<std::string>({"validate 7 9 quellan.xml", "reload 3 quellan.xml -db", "db",
                                               "validate 1 2 again"}));
  EXPECT_EQ(CVQCAFServiceCmMgmtClient::Uninit(), VQX_RESULT_OK);
  EXPECT_EQ(CVQCAFServiceCmMgmtClient::GetInstance(), nullptr);
  CloseFramework();
}

TEST(CmClient, AStandbyManagerIsAnsweredOnceTheLinkedOneLeaves) {
  const u16 un16Port = FreePort();
  cmmgrpeer::CManagerProcess A(un16Port, "mgrA");
  ASSERT_TRUE(A.Ready());
  OpenFramework("cmstandby", un16Port, A.UdpPort());
  CCaptureListener Log;
  ASSERT_EQ(AddLogTraceListener(&Log), VQX_RESULT_OK);
  CApp App;
  ASSERT_EQ(CVQCAFServiceCmMgmtClient::Init(), VQX_RESULT_OK);
  CVQCAFServiceCmMgmtClient::GetInstance()->Register(&App);
  EXPECT_EQ(A.Command("validate 1 7 9 a"), "ok");
  EXPECT_EQ(A.Answer(1, 20000), "answer 0x0b0c0011 1 0x02000000") << "the first manager linked";
  {
    cmmgrpeer::CManagerProcess B(un16Port, "mgrB");
    ASSERT_TRUE(B.Ready());
    EXPECT_EQ(B.Command("validate 1 7 9 b"), "ok");
    const auto Seen = [&Log](const std::string& strPart) {
      const auto a = Log.Peek();
      return std::count_if(a.begin(), a.end(), [&](const CapturedLine& L) { return L.strText.find(strPart) != std::string::npos; });
    };
    ASSERT_TRUE(peerwait::WaitUntil([&] { return Seen("the manager on host mgrB stands by while the one on host mgrA") == 1; }, 20000));
    /* Sent again every second: dropped while the first manager is linked. */
    ASSERT_TRUE(peerwait::WaitUntil([&] { return B.Sent(1) >= 3; }, 10000));
    EXPECT_EQ(B.Command("answer 1").rfind("none", 0), 0u);
    EXPECT_EQ(A.Command("quit"), "");
    EXPECT_EQ(B.Answer(1, 15000), "answer 0x0b0c0011 1 0x02000000") << "the second manager answered once the first left";
    EXPECT_EQ(Seen("CM manager on host mgrA left; the one on host mgrB is linked now"), 1);
    EXPECT_EQ(B.Command("reload 2 3 f.xml"), "ok");
    EXPECT_EQ(B.Answer(2, 10000), "answer 0x0b0c0012 2 0x82000001");
  }
  EXPECT_EQ(App.Calls(), std::vector<std::string>({"validate 7 9 a", "validate 7 9 b", "reload 3 f.xml "}));
  EXPECT_EQ(CVQCAFServiceCmMgmtClient::Uninit(), VQX_RESULT_OK);
  RemoveLogTraceListener(&Log);
  CloseFramework();
}

/* A reload that lasts until the test ends it: the manager sends it again meanwhile, and again once answered; the
 * same number with another file is another request. */
TEST(CmClient, ARequestSentAgainRunsOnceAndEveryCopyIsAnswered) {
  const u16 un16Port = FreePort();
  cmmgrpeer::CManagerProcess M(un16Port, "mgr");
  ASSERT_TRUE(M.Ready());
  OpenFramework("cmcopies", un16Port, M.UdpPort());
  CApp App;
  std::atomic<int> nRuns{0};
  std::atomic<bool> fEnd{false};
  App.mfnOnReload = [&] {
    nRuns++;
    peerwait::WaitUntil([&] { return fEnd.load(); }, 30000);
  };
  ASSERT_EQ(CVQCAFServiceCmMgmtClient::Init(), VQX_RESULT_OK);
  CVQCAFServiceCmMgmtClient::GetInstance()->Register(&App);
  EXPECT_EQ(M.Command("reload 1 0 slow.xml"), "ok");
  ASSERT_TRUE(peerwait::WaitUntil([&] { return nRuns.load() == 1; }, 20000));
  EXPECT_TRUE(peerwait::WaitUntil([&] { return M.Copies(1).first >= 3; }, 10000)) << "sent again while it runs";
  fEnd = true;
  EXPECT_EQ(M.Answer(1, 10000), "answer 0x0b0c0012 1 0x82000001");
  EXPECT_TRUE(peerwait::WaitUntil([&] { return M.Copies(1).second == M.Copies(1).first; }, 10000))
      << "every copy answered: " << M.Copies(1).first << " sent, " << M.Copies(1).second << " answers";
  const long nAnswers = M.Copies(1).second;
  EXPECT_EQ(M.Command("reload 1 0 slow.xml"), "ok"); /* a copy after the answer */
  EXPECT_EQ(M.Answer(1, 10000), "answer 0x0b0c0012 1 0x82000001");
  EXPECT_EQ(M.Copies(1).second, nAnswers + 1);
  EXPECT_EQ(nRuns.load(), 1) << "run once";
  EXPECT_EQ(M.Command("reload 1 0 other.xml"), "ok");
  EXPECT_EQ(M.Answer(1, 10000), "answer 0x0b0c0012 1 0x82000001");
  EXPECT_EQ(nRuns.load(), 2) << "the same number with another file runs";
  EXPECT_EQ(App.Calls(), std::vector<std::string>({"reload 0 slow.xml ", "reload 0 other.xml "}));
  /* 16 answers are kept: after 16 more requests the first one's copy runs again, the last one's does not. */
  for (u32 n = 2; n <= 17; n++) {
    const std::string strN = std::to_string(n);
    EXPECT_EQ(M.Command("validate " + strN + " 0 0 t" + strN), "ok");
    EXPECT_EQ(M.Answer(n, 10000), "answer 0x0b0c0011 " + strN + " 0x02000000");
  }
  EXPECT_EQ(M.Command("reload 1 0 other.xml"), "ok");
  EXPECT_TRUE(peerwait::WaitUntil([&] { return nRuns.load() == 3; }, 10000)) << "no longer kept: run again";
  const long nAnswers17 = M.Copies(17).second;
  EXPECT_EQ(M.Command("validate 17 0 0 t17"), "ok");
  EXPECT_TRUE(peerwait::WaitUntil([&] { return M.Copies(17).second == nAnswers17 + 1; }, 10000));
  const auto Calls = App.Calls();
  EXPECT_EQ(std::count(Calls.begin(), Calls.end(), "validate 0 0 t17"), 1) << "kept: answered again, not run";
  EXPECT_EQ(CVQCAFServiceCmMgmtClient::Uninit(), VQX_RESULT_OK);
  CloseFramework();
}

}  // namespace
