/*
 * test_service_cm_it.cpp - the configuration-management client against the
 * stand-in manager (testing/cmmgrsim, a python3 host peer on 127.0.0.1): it
 * detects the client's service and drives validate, reload and database
 * maintenance; each callback gets the request's arguments and its result goes
 * back with the request's number; short and oversized requests are refused
 * (answered when their number could be read) and the next request still works.
 * Two managers: the second stands by (its requests dropped) until the first
 * leaves, then it is answered; the first one's requests waiting as it leaves
 * are not run. Requests run one at a time in the order they
 * came: 20 queued behind a slow one run once each, the last asked last, every
 * copy sent while one waits or runs dropped; a copy of an answered one is
 * answered again without running. The answers kept: the last 16, those of the
 * last 10 s, 1024 at most. Past 1024 waiting a request is dropped, and runs
 * once its manager sends it again.
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
    maEvery.push_back(s);
    if (ma.empty() || ma.back() != s) ma.push_back(s);  // the first request may be sent again
  }
  /* The calls so far (the client's thread adds them), a call repeated at once counted once. */
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> L(mMutex);
    return ma;
  }
  /* Every call so far. */
  std::vector<std::string> Every() {
    std::lock_guard<std::mutex> L(mMutex);
    return maEvery;
  }
  std::mutex mMutex;
  std::vector<std::string> ma, maEvery;
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
  std::atomic<bool> fEnd{false};
  App.mfnOnReload = [&] { peerwait::WaitUntil([&] { return fEnd.load(); }, 30000); };
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
    /* The first manager leaves with a reload running and a request waiting: that one is not run, nor answered. */
    EXPECT_EQ(A.Command("reload 2 0 slow.xml"), "ok");
    EXPECT_EQ(A.Command("validate 3 0 0 waits"), "ok");
    ASSERT_TRUE(peerwait::WaitUntil([&] { return Seen("Request 0x0B0C0001 nb=3 waits for 1 request(s) before it") == 1; }, 20000));
    EXPECT_EQ(A.Command("quit"), "");
    EXPECT_TRUE(peerwait::WaitUntil([&] { return Seen("CM manager on host mgrA left: its 1 waiting request(s) not run") == 1; }, 15000));
    fEnd = true;
    EXPECT_TRUE(peerwait::WaitUntil([&] { return Seen("Request 0x0B0C0002 nb=2 ended (0x82000001) after its manager left: not answered") == 1; }, 15000));
    EXPECT_EQ(B.Answer(1, 15000), "answer 0x0b0c0011 1 0x02000000") << "the second manager answered once the first left";
    EXPECT_EQ(Seen("CM manager on host mgrA left; the one on host mgrB is linked now"), 1);
    EXPECT_EQ(B.Command("reload 2 3 f.xml"), "ok");
    EXPECT_EQ(B.Answer(2, 10000), "answer 0x0b0c0012 2 0x82000001");
  }
  EXPECT_EQ(App.Every(), std::vector<std::string>({"validate 7 9 a", "reload 0 slow.xml ", "validate 7 9 b", "reload 3 f.xml "}));
  EXPECT_EQ(CVQCAFServiceCmMgmtClient::Uninit(), VQX_RESULT_OK);
  RemoveLogTraceListener(&Log);
  CloseFramework();
}

/* A reload that lasts until the test ends it: the manager sends it again meanwhile, and 20 reloads asked behind it are
 * sent again while they wait; each runs once, in the order asked, and is answered once. A copy sent after the answer
 * is answered again without running; the same number with another file is another request. */
TEST(CmClient, RequestsRunOnceInTheOrderAskedAndACopyIsAnsweredAgain) {
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
  std::vector<std::string> aExpected = {"reload 0 slow.xml "};
  for (u32 n = 101; n <= 120; n++) {
    EXPECT_EQ(M.Command("reload " + std::to_string(n) + " 0 f" + std::to_string(n) + ".xml"), "ok");
    aExpected.push_back("reload 0 f" + std::to_string(n) + ".xml ");
  }
  EXPECT_TRUE(peerwait::WaitUntil([&] { return M.Copies(1).first >= 3 && M.Copies(120).first >= 3; }, 15000))
      << "sent again while they wait";
  EXPECT_EQ(nRuns.load(), 1) << "the others wait for the one running";
  fEnd = true;
  EXPECT_EQ(M.Answer(1, 10000), "answer 0x0b0c0012 1 0x82000001");
  for (u32 n = 101; n <= 120; n++)
    EXPECT_EQ(M.Answer(n, 10000), "answer 0x0b0c0012 " + std::to_string(n) + " 0x82000001");
  EXPECT_EQ(App.Every(), aExpected) << "each run once, the last asked last";
  EXPECT_EQ(M.Copies(1).second, 1) << "copies sent while it ran dropped: " << M.Copies(1).first << " sent";
  EXPECT_EQ(M.Copies(120).second, 1) << "copies sent while it waited dropped: " << M.Copies(120).first << " sent";
  EXPECT_EQ(M.Command("reload 1 0 slow.xml"), "ok"); /* a copy after the answer */
  EXPECT_TRUE(peerwait::WaitUntil([&] { return M.Copies(1).second == 2; }, 10000)) << "answered again";
  EXPECT_EQ(nRuns.load(), 21) << "not run again";
  EXPECT_EQ(M.Command("reload 1 0 other.xml"), "ok");
  EXPECT_EQ(M.Answer(1, 10000), "answer 0x0b0c0012 1 0x82000001");
  EXPECT_EQ(nRuns.load(), 22) << "the same number with another file runs";
  /* 16 more requests at once: the last one's copy is answered again, not run (how long answers are kept: the rows of
   * AnswersAreKeptWhileRecentOrAmongTheLast16AndNoMoreThan1024). */
  for (u32 n = 2; n <= 17; n++) EXPECT_EQ(M.Command("validate " + std::to_string(n) + " 0 0 t" + std::to_string(n)), "ok");
  for (u32 n = 2; n <= 17; n++) EXPECT_EQ(M.Answer(n, 10000), "answer 0x0b0c0011 " + std::to_string(n) + " 0x02000000");
  const long nAnswers17 = M.Copies(17).second;
  EXPECT_EQ(M.Command("validate 17 0 0 t17"), "ok");
  EXPECT_TRUE(peerwait::WaitUntil([&] { return M.Copies(17).second == nAnswers17 + 1; }, 10000));
  const auto Calls = App.Every();
  EXPECT_EQ(std::count(Calls.begin(), Calls.end(), "validate 0 0 t17"), 1) << "kept: answered again, not run";
  EXPECT_EQ(std::count_if(Calls.begin(), Calls.end(), [](const std::string& c) { return c.rfind("validate", 0) == 0; }), 16);
  EXPECT_EQ(CVQCAFServiceCmMgmtClient::Uninit(), VQX_RESULT_OK);
  CloseFramework();
}

/* Past 1024 waiting, a request is dropped unanswered, with a line; its manager sends it again, and it runs once. */
TEST(CmClient, PastTheBoundARequestRunsOnceItsManagerSendsItAgain) {
  const u16 un16Port = FreePort();
  cmmgrpeer::CManagerProcess M(un16Port, "mgr");
  ASSERT_TRUE(M.Ready());
  OpenFramework("cmbound", un16Port, M.UdpPort());
  CCaptureListener Log;
  ASSERT_EQ(AddLogTraceListener(&Log), VQX_RESULT_OK);
  CApp App;
  std::atomic<bool> fEnd{false}, fRunning{false};
  App.mfnOnReload = [&] {
    fRunning = true;
    peerwait::WaitUntil([&] { return fEnd.load(); }, 30000);
  };
  ASSERT_EQ(CVQCAFServiceCmMgmtClient::Init(), VQX_RESULT_OK);
  CVQCAFServiceCmMgmtClient::GetInstance()->Register(&App);
  EXPECT_EQ(M.Command("reload 1 0 slow.xml"), "ok");
  ASSERT_TRUE(peerwait::WaitUntil([&] { return fRunning.load(); }, 20000));
  constexpr u32 kLast = 1 + CVQCAFServiceCmMgmtClient::kQueuedMax + 5;
  for (u32 n = 2; n <= kLast; n++) ASSERT_EQ(M.Command("validate " + std::to_string(n) + " 0 0 v"), "ok");
  const auto Seen = [&Log](const std::string& strPart) {
    const auto a = Log.Peek();
    return std::count_if(a.begin(), a.end(), [&](const CapturedLine& L) { return L.strText.find(strPart) != std::string::npos; });
  };
  EXPECT_TRUE(peerwait::WaitUntil([&] { return Seen("dropped unanswered: 1024 requests wait already") >= 1; }, 20000));
  fEnd = true;
  EXPECT_EQ(M.Answer(kLast, 20000), "answer 0x0b0c0011 " + std::to_string(kLast) + " 0x02000000");
  for (u32 n = 2; n < kLast; n++) ASSERT_EQ(M.Answer(n, 10000).rfind("answer", 0), 0u) << n;
  const auto Calls = App.Every();
  EXPECT_EQ(std::count(Calls.begin(), Calls.end(), "validate 0 0 v"), kLast - 1) << "each run once";
  EXPECT_EQ(CVQCAFServiceCmMgmtClient::Uninit(), VQX_RESULT_OK);
  RemoveLogTraceListener(&Log);
  CloseFramework();
}

/* The answers kept, as time goes: rows of answers given at a time (ms), then whether the copy of each is answered. */
TEST(CmClient, AnswersAreKeptWhileRecentOrAmongTheLast16AndNoMoreThan1024) {
  const auto Key = [](u32 n) {
    VQCAF_CM_REQUEST_KEY K;
    K.un32Id = VQCAF_MSG_CM_OP_RELOAD, K.un32Number = n, K.astrText[0] = std::string("f\0") + std::to_string(n);
    return K;
  };
  constexpr u64 kHold = CVQCAFCmAnswers::kAnsweredHoldMs;
  const struct {
    const char* pszCase;
    u32 un32Answers;   /* answers 1..n, given at un64AtMs */
    u64 un64AtMs;
    u64 un64LastAtMs;  /* then answer n + 1 at this time */
    u32 un32FirstKept; /* the oldest answer still kept (n + 1 always is) */
  } aRows[] = {
      {"17 at once: all kept", 16, 0, 0, 1},
      {"the 18th just before the hold ends", 17, 0, kHold - 1, 1},
      {"the 18th as the hold ends: the last 16 stay", 17, 0, kHold, 3},
      {"1024 at once, then one more: the oldest goes", 1024, 0, 0, 2},
      {"2000 at once: 1024 stay", 1999, 0, 0, 977},
      {"a clock set back keeps them", 17, 2 * kHold, 0, 1},
  };
  for (const auto& Row : aRows) {
    CVQCAFCmAnswers Answers;
    for (u32 n = 1; n <= Row.un32Answers; n++) Answers.Add(Key(n), 0x82000001, Row.un64AtMs);
    Answers.Add(Key(Row.un32Answers + 1), 0x02000000 + Row.un32Answers, Row.un64LastAtMs);
    EXPECT_EQ(Answers.Count(), Row.un32Answers + 2 - Row.un32FirstKept) << Row.pszCase;
    EXPECT_EQ(Answers.Find(Key(Row.un32FirstKept - 1)), nullptr) << Row.pszCase;
    const VQX_RESULT* pFirst = Answers.Find(Key(Row.un32FirstKept));
    const VQX_RESULT* pLast = Answers.Find(Key(Row.un32Answers + 1));
    EXPECT_TRUE(pFirst != nullptr && pLast != nullptr && *pLast == 0x02000000 + Row.un32Answers) << Row.pszCase;
    VQCAF_CM_REQUEST_KEY Other = Key(Row.un32Answers + 1);
    Other.astrText[0] += "x";
    EXPECT_EQ(Answers.Find(Other), nullptr) << Row.pszCase << ": another file is another request";
  }
}

}  // namespace
