// Keyed job pool: parallelism across keys, cancel and re-keying, counts, limits, close with queued
// jobs, callbacks that call back into the pool, and a stress run of producers and cancels racing the workers (order
// and exclusion per key, exactly one done callback per job). Every wait is on an event, bounded.
#include <map>

#include "support/vqx_test_support.h"
#include "vqx_jobs.h"
#include "vqx_thread.h"

namespace {

constexpr VQX_RESULT kOk = VQX_RESULT_OK, kCancelled = VQX_MT_JOB_RESULT_CANCELLED;

struct Job {
  int nId = 0;
  VqxTestLatch* pGate = nullptr;  // the handler blocks on it
  VQX_RESULT handlerResult = kOk;
  VqxTestLatch* pDoneGate = nullptr;  // its done callback blocks on it
  int nRestarts = 0;          // its done callback starts it again this many times
  u32 un32Key = 0;            // stress: the key it was started under
  std::atomic<bool> fEntered{false}, fInDone{false};
  std::thread::id doneThread = {};  // where its last done callback ran
};

// What the pool reported, under one lock.
struct Recorder {
  std::mutex m;
  std::vector<int> ran;             // handler order
  std::map<int, Results> done;      // done results per job id
  bool fReenter = false;            // handlers try to close the pool, done callbacks to close and restart
  Results reentry;                  // what those calls and the restarts answered
  std::map<u32, int> busy, lastId;  // stress: handlers inside and last job run, per key
  int nOverlaps = 0;                // stress: same-key handlers at once or out of order
  std::atomic<size_t> nDone{0};     // done callbacks returned
} * g_pRec;

VQX_RESULT Handler(VQX_MULTI_THREADED_JOBS_HANDLE h, void* pv) {
  Job* j = static_cast<Job*>(pv);
  j->fEntered = true;
  {
    std::lock_guard<std::mutex> g(g_pRec->m);
    g_pRec->ran.push_back(j->nId);
    g_pRec->nOverlaps += g_pRec->busy[j->un32Key]++ != 0 || j->nId <= std::exchange(g_pRec->lastId[j->un32Key], j->nId);
    if (g_pRec->fReenter) g_pRec->reentry.push_back(VQXMultiThreadedJobsCloseLib(h));
  }
  if (j->pGate != nullptr) j->pGate->Wait();
  std::lock_guard<std::mutex> g(g_pRec->m);
  return --g_pRec->busy[j->un32Key], j->handlerResult;
}

const VQX_MULTI_THREADED_JOB_START_PARAMS* StartParams(u32 key) {
  static thread_local VQX_MULTI_THREADED_JOB_START_PARAMS sp;
  return &(sp = {0, key, Handler});
}

void Done(VQX_MULTI_THREADED_JOBS_HANDLE h, void* pv, VQX_RESULT result) {
  Job* j = static_cast<Job*>(pv);
  j->fInDone = true;
  if (j->pDoneGate != nullptr) j->pDoneGate->Wait();
  std::lock_guard<std::mutex> g(g_pRec->m);
  if (g_pRec->fReenter) g_pRec->reentry.push_back(VQXMultiThreadedJobsCloseLib(h));
  // The job has left the pool: the same record may be started again from here.
  if (g_pRec->fReenter || j->nRestarts-- > 0) g_pRec->reentry.push_back(VQXMultiThreadedJobStart(h, pv, StartParams(1)));
  g_pRec->done[j->nId].push_back(result);
  j->doneThread = std::this_thread::get_id();
  ++g_pRec->nDone;
}

class JobsTest : public ::testing::Test {
 protected:
  void SetUp() override { g_pRec = &rec_; }
  void TearDown() override { EXPECT_TRUE(h_ == nullptr || VQXMultiThreadedJobsCloseLib(h_) == kOk); }
  void Open(u32 threads, u32 maxJobs = 1000) {
    const VQX_MULTI_THREADED_JOBS_PARAMS params{threads, maxJobs, VQX_THREAD_PRIORITY_NORMAL, Done};
    ASSERT_EQ(VQXMultiThreadedJobsOpenLib(&params, &h_), kOk);
  }
  VQX_RESULT Start(Job& j, u32 key) { return VQXMultiThreadedJobStart(h_, &j, StartParams(j.un32Key = key)); }
  VQX_RESULT Cancel(Job& j) { return VQXMultiThreadedJobControl(h_, &j, &kCancel); }
  VQX_RESULT Rekey(u32 from, u32 to) {
    const VQX_MULTI_THREADED_JOB_SERIALIZED_CONTROL c{VQX_MT_JOB_SERIALIZED_CONTROL_REKEY, to};
    return VQXMultiThreadedJobSeriliazedControl(h_, from, &c);
  }
  u32 Count() { return VQXMultiThreadedJobGetCount(h_); }
  bool WaitCount(u32 n) { return VqxTestWaitUntil([&] { return Count() == n; }); }
  bool WaitDone(size_t n) { return VqxTestWaitUntil([&] { return rec_.nDone >= n; }); }
  bool StartAndWaitEntered(Job& j, u32 key) { return Start(j, key) == kOk && VqxTestWaitUntil([&] { return j.fEntered.load(); }); }
  static constexpr VQX_MULTI_THREADED_JOB_CONTROL kCancel{VQX_MT_JOB_CONTROL_CANCEL};
  Recorder rec_;
  VQX_MULTI_THREADED_JOBS_HANDLE h_ = nullptr;
};

TEST_F(JobsTest, RefusesBadParametersAndCallsWithoutHoldingAnything) {
  // No threads, too many, no jobs, class 0, class 5 are refused; a real-time class (applied when permitted) and no
  // done callback are accepted.
  const VQX_MULTI_THREADED_JOBS_PARAMS rows[] = {{0, 10, 1, Done}, {VQX_MT_JOBS_MAX_THREADS + 1, 10, 1, Done}, {1, 0, 1, Done},
                                                 {1, 10, 0, Done}, {1, 10, 5, Done}, {2, 10, 4, Done}, {1, 1, 1, nullptr}};
  for (const auto& params : rows) {
    auto h = reinterpret_cast<VQX_MULTI_THREADED_JOBS_HANDLE>(1);
    const bool fGood = &params - rows >= 5;
    EXPECT_EQ(VQXMultiThreadedJobsOpenLib(&params, &h), fGood ? kOk : VQX_RESULT_INVALID_PARAM) << &params - rows;
    EXPECT_TRUE(fGood ? VQXMultiThreadedJobsCloseLib(h) == kOk : h == nullptr) << &params - rows;
  }
  Open(1);
  Job j;
  VQX_MULTI_THREADED_JOBS_HANDLE hRefused;
  const VQX_MULTI_THREADED_JOB_START_PARAMS reserved{1, 5, Handler}, noHandler{0, 5, nullptr}, sp{0, 5, Handler};
  const VQX_MULTI_THREADED_JOB_CONTROL c{2};
  const VQX_MULTI_THREADED_JOB_SERIALIZED_CONTROL sc{2, 9};
  EXPECT_EQ((Results{VQXMultiThreadedJobStart(h_, &j, &reserved), VQXMultiThreadedJobControl(h_, &j, &c),
                     VQXMultiThreadedJobSeriliazedControl(h_, 5, &sc)}),
            Results(3, VQX_RESULT_INVALID_PARAM));
  EXPECT_EQ((Results{VQXMultiThreadedJobStart(h_, &j, &noHandler), VQXMultiThreadedJobStart(h_, nullptr, &sp),
                     VQXMultiThreadedJobStart(nullptr, &j, &sp), VQXMultiThreadedJobStart(h_, &j, nullptr),
                     VQXMultiThreadedJobControl(h_, &j, nullptr), VQXMultiThreadedJobControl(h_, nullptr, &c),
                     VQXMultiThreadedJobControl(nullptr, &j, &c), VQXMultiThreadedJobSeriliazedControl(h_, 5, nullptr),
                     VQXMultiThreadedJobSeriliazedControl(nullptr, 5, &sc), VQXMultiThreadedJobsOpenLib(nullptr, &hRefused),
                     VQXMultiThreadedJobsOpenLib(rows, nullptr), VQXMultiThreadedJobsCloseLib(nullptr)}),
            Results(12, VQX_RESULT_NULL_PARAM));
  EXPECT_EQ((Results{Cancel(j), Rekey(5, 6)}), Results(2, VQX_RESULT_NOT_FOUND));
  EXPECT_EQ((Results{Count(), VQXMultiThreadedJobGetCount(nullptr)}), Results(2, 0));
  EXPECT_TRUE(rec_.done.empty());
}

TEST_F(JobsTest, CancelAndRekeyTakeOnlyQueuedJobsWithoutWaitingForTheirKey) {
  Open(2);
  VqxTestLatch gate, gate2, doneGate;
  Job g{0, &gate}, j1{1}, j2{2, nullptr, kOk, &doneGate}, j3{3}, stranger, g2{200, &gate2}, a{4}, c{5};
  ASSERT_TRUE(StartAndWaitEntered(g, 9));
  ASSERT_EQ((Results{Start(j1, 9), Start(j2, 9), Cancel(j2)}), Results(3, kOk));
  ASSERT_TRUE(VqxTestWaitUntil([&] { return j2.fInDone.load(); })) << "ended by the other worker while key 9 is busy";
  ASSERT_EQ((Results{Start(j3, 10), Cancel(j3)}), Results(2, kOk)) << "both workers busy: queued, alone on its key";
  EXPECT_EQ((Results{Cancel(j2), Cancel(j3), Cancel(g), Cancel(stranger)}),
            (Results{VQX_RESULT_ACCESS_DENIED, VQX_RESULT_ACCESS_DENIED, VQX_RESULT_ACCESS_DENIED, VQX_RESULT_NOT_FOUND}))
      << "ending, cancelled, running: none is queued any more";
  EXPECT_EQ(Count(), 4u) << "cancelled jobs stay held until their done callback has returned";
  doneGate.CountDown();
  EXPECT_TRUE(WaitCount(2));
  EXPECT_EQ(Cancel(j2), VQX_RESULT_NOT_FOUND);
  // Re-keying: the free worker runs g2 on key 11; the jobs queued on key 9 (j1, a) move behind c, in order.
  ASSERT_TRUE(StartAndWaitEntered(g2, 11));
  ASSERT_EQ((Results{Start(a, 9), Start(c, 11)}), Results(2, kOk));
  EXPECT_EQ((Results{Rekey(9, 9), Rekey(9, 11), Rekey(9, 11), Rekey(12, 11)}),
            (Results{kOk, kOk, VQX_RESULT_NOT_FOUND, VQX_RESULT_NOT_FOUND}))
      << "the same key moves nothing; nothing is queued under key 9 once moved";
  gate2.CountDown();  // key 11 holds c, j1, a: they run once g2 ends, while g still blocks key 9
  ASSERT_TRUE(WaitDone(6));
  EXPECT_EQ(rec_.ran, (std::vector<int>{0, 200, 5, 1, 4}));
  gate.CountDown();
  ASSERT_TRUE(WaitDone(7));
  EXPECT_EQ((std::vector<Results>{rec_.done[0], rec_.done[1], rec_.done[2], rec_.done[3]}),
            (std::vector<Results>{{kOk}, {kOk}, {kCancelled}, {kCancelled}}));
}

TEST_F(JobsTest, MaxJobsDuplicatesAndRestartFromDone) {
  Open(1, 3);
  VqxTestLatch gate;
  Job g{0, &gate}, j1{1}, j2{2}, j3{3, nullptr, kOk, nullptr, 2};
  ASSERT_EQ((Results{Start(g, 1), Start(j1, 1), Start(j1, 2), Start(j2, 2), Start(j3, 3)}),
            (Results{kOk, kOk, VQX_RESULT_ACCESS_DENIED, kOk, VQX_RESULT_OUT_OF_RESOURCE}))
      << "a held job cannot be started twice; at most 3 held";
  EXPECT_EQ(Count(), 3u);
  gate.CountDown();
  ASSERT_TRUE(WaitCount(0)) << "done callbacks have returned: room again";
  EXPECT_EQ(Start(j3, 3), kOk);
  ASSERT_TRUE(WaitDone(6) && WaitCount(0));
  EXPECT_TRUE(rec_.done[3] == Results(3, kOk) && rec_.reentry == Results(2, kOk)) << "started twice again from its own done callback";
}

TEST_F(JobsTest, CloseWaitsForTheRunningJobAndCancelsTheQueuedOnes) {
  Open(1, 20000);  // the probes below must meet the closing pool, not the job limit
  rec_.fReenter = true;
  VqxTestLatch gate;
  Job g{0, &gate, 0x0200ABCDu};
  std::vector<Job> queued(5), probes(10000);
  ASSERT_TRUE(StartAndWaitEntered(g, 1));
  for (int i = 0; i < 5; ++i) ASSERT_EQ((queued[i].nId = 10 + i, Start(queued[i], i % 2)), kOk) << i;
  std::thread::id closer;
  std::thread t([&] { EXPECT_EQ((closer = std::this_thread::get_id(), VQXMultiThreadedJobsCloseLib(h_)), kOk); });
  size_t n = 0;  // probes until the pool refuses new jobs: close has begun
  VQX_RESULT r = kOk;
  VqxTestWaitUntil([&] { return (r = (probes[n].nId = 1000 + int(n), Start(probes[n], 7))) != kOk || ++n == probes.size(); });
  EXPECT_EQ(r, VQX_RESULT_INVALID_STATE);
  gate.CountDown();
  t.join();
  h_ = nullptr;
  EXPECT_EQ(rec_.ran, std::vector<int>{0}) << "no queued handler may run after close began";
  EXPECT_EQ(rec_.done.size(), 6 + n);
  for (auto& [id, results] : rec_.done) EXPECT_EQ(results, Results{id ? kCancelled : 0x0200ABCDu}) << id;
  for (const Job& j : queued) EXPECT_EQ(j.doneThread, closer) << j.nId;
  EXPECT_EQ(rec_.reentry, Results(1 + 2 * rec_.done.size(), VQX_RESULT_INVALID_STATE))
      << "a handler cannot close its pool; a done callback of a closing pool can neither close it nor start a job";
}

TEST_F(JobsTest, StressEveryJobEndsExactlyOnceInOrderPerKey) {
  // Producers start jobs on 8 keys each and cancel earlier ones at random, racing 4 workers.
  Open(4, 100000);
  constexpr int kProducers = 3, kPerProducer = 5000;
  std::vector<Job> jobs(kProducers * kPerProducer);
  std::vector<std::thread> producers(kProducers);
  for (int p = 0; p < kProducers; ++p) {
    producers[p] = std::thread([&, p, rng = std::mt19937(p)]() mutable {
      for (int i = 0; i < kPerProducer; ++i) {
        Job& j = jobs[p * kPerProducer + i];
        j.nId = p * kPerProducer + i + 1;  // from 1: the first job of a key follows "none" (0)
        const VQX_RESULT r = Start(j, p * 8 + i % 8), rc = rng() % 7 ? kOk : Cancel(jobs[p * kPerProducer + rng() % (i + 1)]);
        EXPECT_TRUE(r == kOk && (rc == kOk || rc == VQX_RESULT_ACCESS_DENIED || rc == VQX_RESULT_NOT_FOUND)) << r << " " << rc;
      }
    });
  }
  for (auto& t : producers) t.join();
  EXPECT_TRUE(WaitCount(0));
  EXPECT_EQ(rec_.nOverlaps, 0) << "same-key jobs overlapped or ran out of order";
  ASSERT_EQ(rec_.done.size(), jobs.size());
  for (Job& j : jobs) ASSERT_EQ(rec_.done[j.nId], Results{j.fEntered ? kOk : kCancelled}) << "job " << j.nId;
}

}  // namespace
