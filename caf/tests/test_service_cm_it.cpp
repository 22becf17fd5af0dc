/*
 * test_service_cm_it.cpp - the configuration-management client against the
 * stand-in manager (testing/cmmgrsim, a python3 host peer on 127.0.0.1): it
 * detects the client's service and drives validate, reload and database
 * maintenance; each callback gets the request's arguments and its result goes
 * back with the request's number; short and oversized requests are refused
 * (answered when their number could be read) and the next request still works.
 * Two managers: the second stands by (its requests dropped) until the first
 * leaves, then it is answered; the first one's requests waiting as it leaves
 * are not run. Requests run one at a time in the order of their numbers: 20
 * queued behind a slow one run once each, the last asked last, the manager
 * told one result for each; a copy of an answered one is answered again
 * without running, another request of a number that ran, or a number whose
 * turn is past, refused. Past 1024 waiting the highest numbers are dropped,
 * named at the message level, and run in number order once sent again, also
 * 3000 at once with copies every second. A link's order, step by step: copies
 * in each state, an old copy whose answer is gone, numbers that wrap, drops,
 * a drop forgotten; the bounded ranges of numbers. The answers kept: the last
 * 16, those of the last 10 s, 1024 at most.
 */
#include <algorithm>
#include <atomic>
#include <functional>
#include <sstream>

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
  /* Each reload, once counted, waits (up to un32MaxMs) until Release: what comes meanwhile queues behind it. */
  void HoldReloads(u32 un32MaxMs) {
    mfnOnReload = [this, un32MaxMs] {
      mnReloads++;
      peerwait::WaitUntil([this] { return mfReleased.load(); }, un32MaxMs);
    };
  }
  bool WaitForReloads(int nReloads) {
    return peerwait::WaitUntil([&] { return mnReloads.load() == nReloads; }, 20000);
  }
  void Release() { mfReleased = true; }
  std::atomic<int> mnReloads{0};
  std::atomic<bool> mfReleased{false};
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
  App.HoldReloads(30000);
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
    ASSERT_TRUE(App.WaitForReloads(1));
    EXPECT_EQ(A.Command("validate 3 0 0 waits"), "ok");
    ASSERT_TRUE(peerwait::WaitUntil([&] { return Seen("Request 0x0B0C0001 nb=3 waits for 1 request(s) before it") == 1; }, 20000));
    EXPECT_EQ(A.Command("quit"), "");
    EXPECT_TRUE(peerwait::WaitUntil([&] { return Seen("CM manager on host mgrA left: its 1 waiting request(s) not run: nb=3\n") == 1; }, 15000));
    EXPECT_EQ(Seen("CM manager on host mgrA left while its request 0x0B0C0002 nb=2 runs"), 1) << "what becomes of it";
    App.Release();
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

/* What the manager was told of request n: its result, and to a copy that came late that again, or that it ran and its
 * answer is no longer kept (0x82000011); never another result. */
bool ToldItsResult(cmmgrpeer::CManagerProcess& M, u32 n, const std::string& strResult) {
  const std::string s = M.AnswerResults(n);
  return s == strResult || s == strResult + ",0x82000011";
}

/* A reload that lasts until the test ends it: the manager sends it again meanwhile, and 20 reloads asked behind it are
 * sent again while they wait; each runs once, in the order asked, and the manager is told its one result (a copy it
 * sent just before an answer reached it is answered again: judged by what ran, not by how many answers came). A copy
 * sent after the answer is answered again without running; the same number with another file, or a number below the
 * highest run that never ran, is refused, not run. */
TEST(CmClient, RequestsRunOnceInTheOrderAskedAndACopyIsAnsweredAgain) {
  const u16 un16Port = FreePort();
  cmmgrpeer::CManagerProcess M(un16Port, "mgr");
  ASSERT_TRUE(M.Ready());
  OpenFramework("cmcopies", un16Port, M.UdpPort());
  CApp App;
  App.HoldReloads(30000);
  ASSERT_EQ(CVQCAFServiceCmMgmtClient::Init(), VQX_RESULT_OK);
  CVQCAFServiceCmMgmtClient::GetInstance()->Register(&App);
  EXPECT_EQ(M.Command("reload 1 0 slow.xml"), "ok");
  ASSERT_TRUE(App.WaitForReloads(1));
  std::vector<std::string> aExpected = {"reload 0 slow.xml "};
  for (u32 n = 101; n <= 120; n++) {
    EXPECT_EQ(M.Command("reload " + std::to_string(n) + " 0 f" + std::to_string(n) + ".xml"), "ok");
    aExpected.push_back("reload 0 f" + std::to_string(n) + ".xml ");
  }
  EXPECT_TRUE(peerwait::WaitUntil([&] { return M.Copies(1).first >= 3 && M.Copies(120).first >= 3; }, 15000))
      << "sent again while they wait";
  EXPECT_EQ(App.mnReloads.load(), 1) << "the others wait for the one running";
  App.Release();
  EXPECT_EQ(M.Answer(1, 10000), "answer 0x0b0c0012 1 0x82000001");
  for (u32 n = 101; n <= 120; n++)
    EXPECT_EQ(M.Answer(n, 10000), "answer 0x0b0c0012 " + std::to_string(n) + " 0x82000001");
  EXPECT_EQ(App.Every(), aExpected) << "each run once, the last asked last";
  for (u32 n : {1u, 101u, 120u}) EXPECT_TRUE(ToldItsResult(M, n, "0x82000001")) << n << ": " << M.AnswerResults(n);
  /* Copies after the answers: 120's kept (one of the last 16), 1's after 20 newer answers kept while younger than
   * 10 s, else answered that it ran (0x82000011); neither runs. */
  const long nAnswers120 = M.Copies(120).second;
  EXPECT_EQ(M.Command("reload 120 0 f120.xml"), "ok");
  EXPECT_TRUE(peerwait::WaitUntil([&] { return M.Copies(120).second > nAnswers120; }, 10000)) << "answered again";
  EXPECT_EQ(M.Answer(120, 10000), "answer 0x0b0c0012 120 0x82000001");
  EXPECT_EQ(M.Command("reload 1 0 slow.xml"), "ok");
  const std::string strCopy1 = M.Answer(1, 10000);
  EXPECT_TRUE(strCopy1 == "answer 0x0b0c0012 1 0x82000001" || strCopy1 == "answer 0x0b0c0012 1 0x82000011") << strCopy1;
  EXPECT_EQ(M.Command("reload 120 0 other.xml"), "ok");
  EXPECT_EQ(M.Answer(120, 10000), "answer 0x0b0c0012 120 0x82000004") << "the number ran as another request";
  EXPECT_EQ(M.Command("reload 100 0 late.xml"), "ok");
  EXPECT_EQ(M.Answer(100, 10000), "answer 0x0b0c0012 100 0x8200000f") << "below the highest run, never run";
  EXPECT_EQ(App.mnReloads.load(), 21) << "none of them run";
  /* 16 more requests at once: the last one's copy is answered again, not run (how long answers are kept: the rows of
   * AnswersAreKeptWhileRecentOrAmongTheLast16AndNoMoreThan1024). */
  for (u32 n = 121; n <= 136; n++) EXPECT_EQ(M.Command("validate " + std::to_string(n) + " 0 0 t" + std::to_string(n)), "ok");
  for (u32 n = 121; n <= 136; n++) EXPECT_EQ(M.Answer(n, 10000), "answer 0x0b0c0011 " + std::to_string(n) + " 0x02000000");
  const long nAnswers136 = M.Copies(136).second;
  EXPECT_EQ(M.Command("validate 136 0 0 t136"), "ok");
  EXPECT_TRUE(peerwait::WaitUntil([&] { return M.Copies(136).second == nAnswers136 + 1; }, 10000));
  const auto Calls = App.Every();
  EXPECT_EQ(std::count(Calls.begin(), Calls.end(), "validate 0 0 t136"), 1) << "kept: answered again, not run";
  EXPECT_EQ(std::count_if(Calls.begin(), Calls.end(), [](const std::string& c) { return c.rfind("validate", 0) == 0; }), 16);
  EXPECT_EQ(CVQCAFServiceCmMgmtClient::Uninit(), VQX_RESULT_OK);
  CloseFramework();
}

/* A manager's requests behind a slow reload (number 1, run first), past the bound of those that wait; the manager
 * sends each unanswered one again every second. After the reload ends: each number runs once, in number order
 * whatever the bound dropped, and the manager is told each number's one result (ToldItsResult). The drops are named by
 * number, at the message level (a manager sends a dropped request again: no error). */
TEST(CmClient, PastTheBoundARequestRunsOnceItsManagerSendsItAgain) {
  const struct {
    const char* pszCase;
    u32 un32Last; /* requests 2..un32Last behind the slow one */
  } aRows[] = {
      {"5 past the bound", 1 + CVQCAFServiceCmMgmtClient::kQueuedMax + 5},
      {"3000 at once: every 10th a reload of one of four files, the last of its own file", 3001},
  };
  for (const auto& Row : aRows) {
    const u16 un16Port = FreePort();
    cmmgrpeer::CManagerProcess M(un16Port, "mgr");
    ASSERT_TRUE(M.Ready());
    OpenFramework("cmbound", un16Port, M.UdpPort());
    CCaptureListener Log;
    ASSERT_EQ(AddLogTraceListener(&Log), VQX_RESULT_OK);
    CApp App;
    App.HoldReloads(60000);
    ASSERT_EQ(CVQCAFServiceCmMgmtClient::Init(), VQX_RESULT_OK);
    CVQCAFServiceCmMgmtClient::GetInstance()->Register(&App);
    EXPECT_EQ(M.Command("reload 1 1 slow.xml"), "ok");
    ASSERT_TRUE(App.WaitForReloads(1)) << Row.pszCase;
    std::vector<std::string> aExpected = {"reload 1 slow.xml "};
    const auto IsReload = [&Row](u32 n) { return Row.un32Last > 2000 && (n % 10 == 0 || n == Row.un32Last); };
    for (u32 n = 2; n <= Row.un32Last; n++) {
      const std::string N = std::to_string(n);
      const std::string strFile = n == Row.un32Last ? "last.xml" : "f" + std::to_string(n / 10 % 4) + ".xml";
      const bool fReload = IsReload(n);
      ASSERT_EQ(M.Command(fReload ? "reload " + N + " " + N + " " + strFile : "validate " + N + " " + N + " 0 v"), "ok");
      aExpected.push_back(fReload ? "reload " + N + " " + strFile + " " : "validate " + N + " 0 v");
    }
    const auto Lines = [&Log](const std::string& strPart) {
      std::vector<CapturedLine> a;
      for (const CapturedLine& L : Log.Peek())
        if (L.strText.find(strPart) != std::string::npos) a.push_back(L);
      return a;
    };
    /* Dropped past the bound, and sent again while the reload runs. */
    EXPECT_TRUE(peerwait::WaitUntil([&] { return M.Copies(Row.un32Last).first >= 2; }, 20000)) << Row.pszCase;
    const auto aDropLines = Lines("dropped unanswered: 1024 requests wait already; nb=");
    ASSERT_FALSE(aDropLines.empty()) << Row.pszCase;
    EXPECT_NE(aDropLines.front().strText.find("; nb=1026"), std::string::npos) << aDropLines.front().strText;
    for (const CapturedLine& L : aDropLines) EXPECT_EQ(L.un32Level, static_cast<u32>(VQMSG)) << L.strText;
    App.Release();
    EXPECT_TRUE(peerwait::WaitWhileProgress([&] { return M.Unanswered(); }, 0, 15000, 240000)) << Row.pszCase;
    const std::vector<std::string> aRan = App.Every();
    EXPECT_EQ(aRan.size(), aExpected.size()) << Row.pszCase;
    const auto itWrong = std::mismatch(aRan.begin(), aRan.end(), aExpected.begin(), aExpected.end());
    EXPECT_TRUE(itWrong.first == aRan.end()) << Row.pszCase << ": run " << (itWrong.first - aRan.begin()) << " is "
                                             << (itWrong.first == aRan.end() ? "" : *itWrong.first);
    for (u32 n : {1u, 2u, 1025u, 1026u, Row.un32Last})
      EXPECT_TRUE(ToldItsResult(M, n, n == 1 || IsReload(n) ? "0x82000001" : "0x02000000"))
          << Row.pszCase << ": " << n << " " << M.AnswerResults(n);
    EXPECT_EQ(CVQCAFServiceCmMgmtClient::Uninit(), VQX_RESULT_OK);
    RemoveLogTraceListener(&Log);
    CloseFramework();
  }
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

/* One manager's link: rows of steps (a request of a number and file arriving at a time, ms; the request whose turn has
 * come taken to run; its end; the numbers dropped forgotten), each with what it must give. */
TEST(CmClient, ALinkRunsEachNumberOnceInNumberOrder) {
  using Fate = CVQCAFCmLinkOrder::Fate;
  constexpr VQX_RESULT kOk = VQX_RESULT_OK, kRanNotKept = CVQCAFCmLinkOrder::kRanNotKept;
  constexpr VQX_RESULT kTurnPast = CVQCAFCmLinkOrder::kTurnPast, kNumberUsed = CVQCAFCmLinkOrder::kNumberUsed;
  constexpr u32 kNone = 0x5A5A5A5A; /* Take: none's turn */
  enum Op { Arrive, Take, End, Cycle, Fill, Drain, Forget, Holds };
  struct Step {
    Op op;
    u32 n = 0, un32To = 0; /* Cycle, Fill, Drain: n..un32To; Take: the number taken */
    u64 un64Ms = 0, un64StepMs = 0;
    Fate What = Fate::Queued;
    VQX_RESULT r = kOk;
    const char* psz = "f"; /* Arrive: the file; Forget: the numbers forgotten; Holds: "waiting | dropped" */
  };
  const auto A = [](u32 n, const char* f, u64 t, Fate e, VQX_RESULT r = VQX_RESULT_OK) { return Step{Arrive, n, 0, t, 0, e, r, f}; };
  const auto T = [](u32 n) { return Step{Take, n}; };
  const auto E = [](u64 t, VQX_RESULT r = VQX_RESULT_OK) { return Step{End, 0, 0, t, 0, Fate::Queued, r}; };
  /* n..m each arrive, run and end, the first at t, one every dt. */
  const auto C = [](u32 n, u32 m, u64 t, u64 dt) { return Step{Cycle, n, m, t, dt}; };
  const auto F = [](u32 n, u32 m, u64 t) { return Step{Fill, n, m, t}; };
  /* n..m each taken to run in turn, and ended. */
  const auto D = [](u32 n, u32 m) { return Step{Drain, n, m}; };
  const auto Gone = [](u64 t, const char* psz) { return Step{Forget, 0, 0, t, 0, Fate::Queued, kOk, psz}; };
  const auto H = [](const char* psz) { return Step{Holds, 0, 0, 0, 0, Fate::Queued, kOk, psz}; };
  const struct {
    const char* pszCase;
    std::vector<Step> aSteps;
  } aRows[] = {
      {"a copy waiting, running, answered: never run twice; another request of its number refused",
       {A(1, "a", 0, Fate::Queued), A(1, "a", 0, Fate::Copy), A(1, "b", 0, Fate::NumberBusy), T(1),
        A(1, "a", 0, Fate::Copy), A(1, "b", 0, Fate::NumberBusy), T(kNone), E(0, 0x82000001),
        A(1, "a", 5, Fate::AnsweredAgain, 0x82000001), A(1, "b", 5, Fate::Refused, kNumberUsed), T(kNone)}},
      {"an answered reload sent again after 20 newer answers and 15 s: not run, answered that it ran",
       {A(1, "f1", 0, Fate::Queued), T(1), E(0), C(2, 21, 500, 700), A(1, "f1", 15000, Fate::Refused, kRanNotKept),
        T(kNone), A(21, "f", 15000, Fate::AnsweredAgain)}},
      {"below the highest run: one that never ran is refused, one past the marks taken as run",
       {C(5000, 5000, 0, 0), A(4999, "f", 1, Fate::Refused, kTurnPast), A(905, "f", 1, Fate::Refused, kTurnPast),
        A(904, "f", 1, Fate::Refused, kRanNotKept), A(1, "f", 1, Fate::Refused, kRanNotKept), T(kNone)}},
      {"a lower number behind higher ones waiting runs first; the next comes later",
       {A(7, "f", 0, Fate::Queued), A(5, "f", 0, Fate::Queued), A(6, "f", 0, Fate::Queued), T(5), E(0), T(6), E(0), T(7),
        E(0), A(9, "f", 0, Fate::Queued), T(9), E(0), A(8, "f", 0, Fate::Refused, kTurnPast)}},
      {"numbers wrap",
       {A(0xFFFFFFFE, "f", 0, Fate::Queued), A(0, "f", 0, Fate::Queued), A(0xFFFFFFFF, "f", 0, Fate::Queued),
        A(1, "f", 0, Fate::Queued), T(0xFFFFFFFE), E(0), T(0xFFFFFFFF), E(0), T(0), E(0), T(1), E(0),
        A(0xFFFFFFFF, "f", 0, Fate::AnsweredAgain), A(0xFFFFFFFD, "f", 0, Fate::Refused, kTurnPast),
        A(2, "f", 0, Fate::Queued), T(2)}},
      {"past the bound the lowest wait; none runs past a number dropped until it comes again",
       {F(2, 1025, 0), A(1026, "f", 0, Fate::Dropped), A(1028, "f", 0, Fate::Dropped), H("2-1025 | 1026, 1028"),
        A(1, "f", 0, Fate::Queued), H("1-1024 | 1025-1026, 1028"), T(1), E(0), A(1027, "f", 0, Fate::Queued),
        H("2-1024, 1027 | 1025-1026, 1028"), D(2, 1024), T(kNone), A(1025, "f", 0, Fate::Queued), D(1025, 1025),
        T(kNone), A(1026, "f", 0, Fate::Queued), D(1026, 1027), H(" | 1028")}},
      {"dropped numbers come again while lower ones wait: they run in order",
       {F(1, 1024, 0), A(1025, "f", 0, Fate::Dropped), A(1026, "f", 0, Fate::Dropped), T(1), E(0),
        A(1026, "f", 1000, Fate::Queued), T(2), E(0), H("3-1024, 1026 | 1025"), A(1025, "f", 1000, Fate::Queued),
        H("3-1026 | "), D(3, 1026)}},
      {"a number dropped and not sent again for 30 s is forgotten: the higher ones run",
       {F(1, 1024, 0), A(1025, "f", 0, Fate::Dropped), A(1026, "f", 1000, Fate::Dropped), D(1, 1024),
        A(1026, "f", 2000, Fate::Queued), T(kNone), Gone(31999, ""), T(kNone), Gone(32000, "1025"), T(1026),
        A(1025, "f", 32000, Fate::Refused, kTurnPast)}},
  };
  for (const auto& Row : aRows) {
    CVQCAFCmLinkOrder L;
    std::optional<u32> Running;
    const auto Run = [&](u32 n, const std::string& strAt) {
      std::optional<VQCAF_CM_REQUEST_KEY> Next = L.TakeNext();
      EXPECT_EQ(Next ? Next->un32Number : kNone, n) << strAt;
      if (Next) Running = Next->un32Number;
    };
    const auto Key = [](u32 n, const char* f) {
      VQCAF_CM_REQUEST_KEY K;
      K.un32Id = VQCAF_MSG_CM_OP_RELOAD, K.un32Number = n, K.astrText[0] = f;
      return K;
    };
    for (size_t i = 0; i < Row.aSteps.size(); i++) {
      const Step& S = Row.aSteps[i];
      const std::string strAt = std::string(Row.pszCase) + ", step " + std::to_string(i);
      switch (S.op) {
        case Arrive: {
          const auto a = L.Arrive(Key(S.n, S.psz), S.un64Ms);
          EXPECT_EQ(static_cast<int>(a.What), static_cast<int>(S.What)) << strAt;
          if (a.What == Fate::AnsweredAgain || a.What == Fate::Refused) {
            EXPECT_EQ(a.r, S.r) << strAt;
          }
          break;
        }
        case Take: Run(S.n, strAt); break;
        case End: L.Ended(S.r, S.un64Ms); break;
        case Drain:
          for (u32 n = S.n; n <= S.un32To; n++) Run(n, strAt + " " + std::to_string(n)), L.Ended(kOk, 0);
          break;
        case Fill:
        case Cycle:
          for (u32 n = S.n; n <= S.un32To; n++) {
            const u64 t = S.un64Ms + (n - S.n) * S.un64StepMs;
            EXPECT_EQ(static_cast<int>(L.Arrive(Key(n, "f"), t).What), static_cast<int>(Fate::Queued)) << strAt << " " << n;
            if (S.op == Cycle && (Run(n, strAt + " " + std::to_string(n)), Running == n)) L.Ended(kOk, t);
          }
          break;
        case Forget: {
          CVQCAFCmNumbers Gone(SIZE_MAX);
          for (const auto& r : L.ForgetDropped(S.un64Ms))
            for (u32 n = r.un32First; n != r.un32Last + 1; n++) Gone.Add(n, 0);
          EXPECT_EQ(Gone.Text(), S.psz) << strAt;
          break;
        }
        case Holds: EXPECT_EQ(L.WaitingNumbers().Text() + " | " + L.Dropped().Text(), S.psz) << strAt; break;
      }
    }
  }
}

/* The numbers as ranges, bounded: rows of numbers added (+), taken out (-), every one up to a number out (<), the
 * closest ranges joined (j), and the ranges they leave. */
TEST(CmClient, NumberRangesStayBounded) {
  const struct {
    const char* pszSteps;
    const char* pszText;
    u64 un64Count;
  } aRows[] = {
      {"+5 +6 +7 +9", "5-7, 9", 4},
      {"+5 +6 +7 +9 -6", "5, 7, 9", 3},
      {"+9 +5 +7 +8 +6", "5-9", 5},
      {"+4294967295 +0 +4294967294", "4294967294-0", 3},
      {"+1 +3 +5 +7 +5", "1, 3, 5, 7", 4},            /* 4 ranges at most: one in already is no new range */
      {"+1 +3 +5 +7 +9", "1, 3, 5, 7", 4},            /* a fifth refused */
      {"+1 +3 +6 +7 j", "1-3, 6-7", 5},
      {"+1 +2 +3 +5 +6 +9 +10 +13 -2", "1-3, 5-6, 9-10, 13", 8}, /* a split past 4 ranges joins the closest */
      {"+1 +2 +3 +5 +7 <5", "7", 1},
      {"+1 +2 +3 +5 +7 <2", "3, 5, 7", 3},
      {"-3", "", 0},
  };
  for (const auto& Row : aRows) {
    CVQCAFCmNumbers Numbers(4);
    std::istringstream In(Row.pszSteps);
    for (std::string w; In >> w;) {
      const u32 n = w.size() > 1 ? static_cast<u32>(std::stoul(w.substr(1))) : 0;
      if (w[0] == '+') Numbers.Add(n, 0);
      if (w[0] == '-') Numbers.Remove(n, 0);
      if (w[0] == '<') Numbers.RemoveUpTo(n);
      if (w[0] == 'j') Numbers.JoinClosest();
    }
    EXPECT_EQ(Numbers.Text(), Row.pszText) << Row.pszSteps;
    EXPECT_EQ(Numbers.Count(), Row.un64Count) << Row.pszSteps;
    EXPECT_LE(Numbers.Ranges().size(), 4u) << Row.pszSteps;
  }
  CVQCAFCmNumbers Seen(8);
  for (u32 n : {1u, 2u, 5u}) Seen.Add(n, 100 * n);
  EXPECT_EQ(Seen.TakeOlder(600, 400).size(), 1u) << "1-2, seen at 200";
  EXPECT_EQ(Seen.Text(), "5");
  EXPECT_TRUE(Seen.TakeOlder(100, 10).empty()) << "a clock set back keeps them";
}

}  // namespace
