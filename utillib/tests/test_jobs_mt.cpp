// Keyed job pool: parallelism across keys (proved with a latch), cancel, re-keying, counts, limits, close with queued
// jobs, callbacks that call back into the pool, and a stress run of producers and cancels racing the workers (order
// and exclusion per key, exactly one done callback per job). Every wait is on an event, bounded.
#include <map>

#include "support/vqx_test_support.h"
#include "vqx_jobs.h"
#include "vqx_thread.h"

namespace {

using Gate = VqxTestLatch;  // a latch of 1 that handlers block on until the test opens it
constexpr VQX_RESULT kOk = VQX_RESULT_OK, kCancelled = VQX_MT_JOB_RESULT_CANCELLED;

struct Job {
  int nId = 0;
  Gate* pGate = nullptr;           // the handler blocks on it when set
  VqxTestLatch* pLatch = nullptr;  // the handler meets the other keys' handlers here when set
  VQX_RESULT handlerResult = kOk;
  Gate* pDoneGate = nullptr;  // its done callback blocks on it when set
  int nRestarts = 0;          // its done callback starts it again this many times
  std::atomic<bool> fEntered{false}, fInDone{false};
  bool fMet = false;
};

// What the pool reported, under one lock.
struct Recorder {
  std::mutex m;
  std::condition_variable cv;
  std::vector<int> ran;                       // handler order
  std::map<int, Results> done;                // done results per job id
  std::map<int, std::thread::id> doneThread;  // where the last done callback of each job ran
  bool fReenter = false;                      // handlers try to close the pool, done callbacks to close and restart
  Results reentry;                            // what those calls and the restarts answered
  size_t nDone = 0;
} * g_pRec;

const VQX_MULTI_THREADED_JOB_START_PARAMS* StartParams(u32 key);

VQX_RESULT Handler(VQX_MULTI_THREADED_JOBS_HANDLE h, void* pv) {
  Job* j = static_cast<Job*>(pv);
  j->fEntered = true;
  {
    std::lock_guard<std::mutex> g(g_pRec->m);
    g_pRec->ran.push_back(j->nId);
    if (g_pRec->fReenter) g_pRec->reentry.push_back(VQXMultiThreadedJobsCloseLib(h));
  }
  if (j->pLatch != nullptr) j->fMet = j->pLatch->ArriveAndWait();
  if (j->pGate != nullptr) j->pGate->Wait();
  return j->handlerResult;
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
  g_pRec->doneThread[j->nId] = std::this_thread::get_id();
  ++g_pRec->nDone;
  g_pRec->cv.notify_all();
}

const VQX_MULTI_THREADED_JOB_START_PARAMS* StartParams(u32 key) {
  static thread_local VQX_MULTI_THREADED_JOB_START_PARAMS sp;
  return &(sp = {0, key, Handler});
}

class JobsTest : public ::testing::Test {
 protected:
  void SetUp() override { g_pRec = &rec_; }
  void TearDown() override { EXPECT_TRUE(h_ == nullptr || VQXMultiThreadedJobsCloseLib(h_) == kOk); }
  void Open(u32 threads, u32 maxJobs = 1000) {
    const VQX_MULTI_THREADED_JOBS_PARAMS params{threads, maxJobs, VQX_THREAD_PRIORITY_NORMAL, Done};
    ASSERT_EQ(VQXMultiThreadedJobsOpenLib(&params, &h_), kOk);
  }
  VQX_RESULT Start(Job& j, u32 key) { return VQXMultiThreadedJobStart(h_, &j, StartParams(key)); }
  VQX_RESULT Cancel(Job& j) {
    const VQX_MULTI_THREADED_JOB_CONTROL c{VQX_MT_JOB_CONTROL_CANCEL};
    return VQXMultiThreadedJobControl(h_, &j, &c);
  }
  VQX_RESULT Rekey(u32 from, u32 to) {
    const VQX_MULTI_THREADED_JOB_SERIALIZED_CONTROL c{VQX_MT_JOB_SERIALIZED_CONTROL_REKEY, to};
    return VQXMultiThreadedJobSeriliazedControl(h_, from, &c);
  }
  u32 Count() { return VQXMultiThreadedJobGetCount(h_); }
  bool WaitCount(u32 n) {
    return VqxTestWaitUntil([&] { return Count() == n; });
  }
  bool WaitDone(size_t n) {
    std::unique_lock<std::mutex> g(rec_.m);
    return rec_.cv.wait_for(g, kVqxTestWait, [&] { return rec_.nDone >= n; });
  }
  bool WaitEntered(const Job& j) {
    return VqxTestWaitUntil([&] { return j.fEntered.load(); });
  }
  Recorder rec_;
  VQX_MULTI_THREADED_JOBS_HANDLE h_ = nullptr;
};

TEST_F(JobsTest, RefusesBadParametersAndCallsWithoutHoldingAnything) {
  const VQX_MULTI_THREADED_JOBS_PARAMS bad[] = {
      {0, 10, 1, Done}, {VQX_MT_JOBS_MAX_THREADS + 1, 10, 1, Done}, {1, 0, 1, Done}, {1, 10, 0, Done}, {1, 10, 5, Done}};
  for (const auto& params : bad) {  // no threads, too many, no jobs, class 0, class 5
    auto h = reinterpret_cast<VQX_MULTI_THREADED_JOBS_HANDLE>(1);
    EXPECT_EQ(VQXMultiThreadedJobsOpenLib(&params, &h), VQX_RESULT_INVALID_PARAM) << &params - bad;
    EXPECT_EQ(h, nullptr);
  }
  const VQX_MULTI_THREADED_JOBS_PARAMS good[] = {{2, 10, 4, Done}, {1, 1, 1, nullptr}};
  for (const auto& params : good) {
    ASSERT_EQ(VQXMultiThreadedJobsOpenLib(&params, &h_), kOk) << "real-time class when permitted; no done callback";
    ASSERT_EQ(VQXMultiThreadedJobsCloseLib(h_), kOk);
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
                     VQXMultiThreadedJobsOpenLib(bad, nullptr), VQXMultiThreadedJobsCloseLib(nullptr)}),
            Results(12, VQX_RESULT_NULL_PARAM));
  EXPECT_EQ((Results{Cancel(j), Rekey(5, 6)}), Results(2, VQX_RESULT_NOT_FOUND));
  EXPECT_EQ(Count() + VQXMultiThreadedJobGetCount(nullptr), 0u);
  EXPECT_TRUE(rec_.done.empty());
}

TEST_F(JobsTest, DifferentKeysRunInParallel) {
  // Each handler waits at a latch until the other key's handler has arrived: the latch opens only if both handlers
  // are inside at the same time.
  Open(2);
  VqxTestLatch latch(2);
  Job a{1, nullptr, &latch}, b{2, nullptr, &latch};
  ASSERT_EQ((Results{Start(a, 1), Start(b, 2)}), Results(2, kOk));
  ASSERT_TRUE(WaitDone(2));
  EXPECT_TRUE(a.fMet && b.fMet);
}

TEST_F(JobsTest, CancelTakesOnlyQueuedJobsAndEndsThemWithoutWaitingForTheirKey) {
  Open(2);
  Gate gate, doneGate;
  Job g{0, &gate}, j1{1}, j2{2, nullptr, nullptr, kOk, &doneGate}, j3{3}, stranger;
  ASSERT_EQ(Start(g, 9), kOk);
  ASSERT_TRUE(WaitEntered(g));
  ASSERT_EQ((Results{Start(j1, 9), Start(j2, 9), Cancel(j2)}), Results(3, kOk));
  ASSERT_TRUE(VqxTestWaitUntil([&] { return j2.fInDone.load(); })) << "ended by the other worker while key 9 is busy";
  ASSERT_EQ(Start(j3, 10), kOk);  // both workers busy: queued, the only job of its key
  EXPECT_EQ(Cancel(j3), kOk);
  EXPECT_EQ((Results{Cancel(j2), Cancel(j3), Cancel(g), Cancel(stranger)}),
            (Results{VQX_RESULT_ACCESS_DENIED, VQX_RESULT_ACCESS_DENIED, VQX_RESULT_ACCESS_DENIED, VQX_RESULT_NOT_FOUND}))
      << "ending, cancelled, running: none is queued any more";
  EXPECT_EQ(Count(), 4u) << "cancelled jobs stay held until their done callback has returned";
  doneGate.CountDown();
  EXPECT_TRUE(WaitCount(2));
  EXPECT_EQ(Cancel(j2), VQX_RESULT_NOT_FOUND);
  gate.CountDown();
  ASSERT_TRUE(WaitDone(4));
  EXPECT_EQ(rec_.ran, (std::vector<int>{0, 1}));
  EXPECT_EQ((std::vector<Results>{rec_.done[0], rec_.done[1], rec_.done[2], rec_.done[3]}),
            (std::vector<Results>{{kOk}, {kOk}, {kCancelled}, {kCancelled}}));
}

TEST_F(JobsTest, RekeyMovesQueuedJobsInOrder) {
  Open(2);
  Gate gate1, gate2;
  Job g1{100, &gate1}, g2{200, &gate2}, a{1}, b{2}, c{3};
  ASSERT_EQ(Start(g1, 1), kOk);
  ASSERT_TRUE(WaitEntered(g1));
  ASSERT_EQ(Start(g2, 2), kOk);
  ASSERT_TRUE(WaitEntered(g2));
  ASSERT_EQ((Results{Start(a, 1), Start(b, 1), Start(c, 2)}), Results(3, kOk));
  EXPECT_EQ(Rekey(1, 1), kOk) << "same key: nothing moves";
  EXPECT_EQ((Results{Rekey(1, 2), Rekey(1, 2), Rekey(3, 2)}),
            (Results{kOk, VQX_RESULT_NOT_FOUND, VQX_RESULT_NOT_FOUND}));
  EXPECT_EQ(Count(), 5u);
  // Key 2 now holds c, a, b; they run once g2 ends, while g1 still blocks key 1.
  gate2.CountDown();
  ASSERT_TRUE(WaitDone(4));
  EXPECT_EQ(rec_.ran, (std::vector<int>{100, 200, 3, 1, 2}));
  gate1.CountDown();
  ASSERT_TRUE(WaitDone(5));
}

TEST_F(JobsTest, MaxJobsDuplicatesAndRestartFromDone) {
  Open(1, 3);
  Gate gate;
  Job g{0, &gate}, j1{1}, j2{2}, j3{3};
  j3.nRestarts = 2;
  ASSERT_EQ((Results{Start(g, 1), Start(j1, 1)}), Results(2, kOk));
  EXPECT_EQ(Start(j1, 2), VQX_RESULT_ACCESS_DENIED) << "a held job cannot be started twice";
  ASSERT_EQ(Start(j2, 2), kOk);
  EXPECT_EQ(Start(j3, 3), VQX_RESULT_OUT_OF_RESOURCE);
  EXPECT_EQ(Count(), 3u);
  gate.CountDown();
  ASSERT_TRUE(WaitCount(0)) << "done callbacks have returned: room again";
  EXPECT_EQ(Start(j3, 3), kOk);
  ASSERT_TRUE(WaitDone(6) && WaitCount(0));
  EXPECT_EQ(rec_.done[3], Results(3, kOk)) << "started twice again from its own done callback";
  EXPECT_EQ(rec_.reentry, Results(2, kOk));
}

TEST_F(JobsTest, CloseWaitsForTheRunningJobAndCancelsTheQueuedOnes) {
  Open(1, 20000);  // the probes below must meet the closing pool, not the job limit
  rec_.fReenter = true;
  Gate gate;
  Job g{0, &gate, nullptr, 0x0200ABCDu};
  std::vector<Job> queued(5), probes(10000);
  ASSERT_EQ(Start(g, 1), kOk);
  ASSERT_TRUE(WaitEntered(g));
  for (int i = 0; i < 5; ++i) {
    queued[i].nId = 10 + i;
    ASSERT_EQ(Start(queued[i], i % 2), kOk);
  }
  std::thread::id closer;
  std::thread t([&] {
    closer = std::this_thread::get_id();
    EXPECT_EQ(VQXMultiThreadedJobsCloseLib(h_), kOk);
  });
  // Probe until the pool refuses new jobs (close has begun).
  size_t nProbes = 0;
  VQX_RESULT r = kOk;
  VqxTestWaitUntil([&] {
    probes[nProbes].nId = 1000 + int(nProbes);
    nProbes += (r = Start(probes[nProbes], 7)) == kOk;
    return r != kOk || nProbes == probes.size();
  });
  EXPECT_EQ(r, VQX_RESULT_INVALID_STATE);
  gate.CountDown();
  t.join();
  h_ = nullptr;
  EXPECT_EQ(rec_.ran, std::vector<int>{0}) << "no queued handler may run after close began";
  EXPECT_EQ(rec_.done[0], Results{0x0200ABCDu}) << "the handler's own result";
  for (int i = 10; i < 15; ++i) {
    EXPECT_EQ(rec_.done[i], Results{kCancelled}) << i;
    EXPECT_EQ(rec_.doneThread[i], closer) << i;
  }
  for (size_t i = 0; i < nProbes; ++i) EXPECT_EQ(rec_.done[1000 + int(i)], Results{kCancelled});
  EXPECT_EQ(rec_.done.size(), 6u + nProbes);
  EXPECT_EQ(rec_.reentry, Results(1 + 2 * rec_.done.size(), VQX_RESULT_INVALID_STATE))
      << "a handler cannot close its pool; a done callback of a closing pool can neither close it nor start a job";
}

// Stress: producers start jobs on 8 keys each and cancel earlier ones at random, racing 4 workers.
struct StressJob {
  int nProducer = 0, nSeq = 0;
  std::atomic<int> nDone{0};
  std::atomic<bool> fRan{false};
  VQX_RESULT lastResult = 0;
};
std::atomic<int> g_keyBusy[3 * 8], g_overlap{0};
std::mutex g_stressLock;
std::map<int, int> g_lastSeq;  // key -> last seq run

VQX_RESULT StressHandler(VQX_MULTI_THREADED_JOBS_HANDLE, void* pv) {
  StressJob* j = static_cast<StressJob*>(pv);
  const int key = j->nProducer * 8 + j->nSeq % 8;
  g_overlap += g_keyBusy[key]++ != 0;
  {
    std::lock_guard<std::mutex> g(g_stressLock);
    g_overlap += j->nSeq <= g_lastSeq[key];  // out of order within a key
    g_lastSeq[key] = j->nSeq;
  }
  j->fRan = true;
  --g_keyBusy[key];
  return kOk;
}

void StressDone(VQX_MULTI_THREADED_JOBS_HANDLE, void* pv, VQX_RESULT r) {
  static_cast<StressJob*>(pv)->lastResult = r;
  ++static_cast<StressJob*>(pv)->nDone;
}

TEST(Jobs, StressEveryJobEndsExactlyOnceInOrderPerKey) {
  const VQX_MULTI_THREADED_JOBS_PARAMS params{4, 100000, VQX_THREAD_PRIORITY_NORMAL, StressDone};
  VQX_MULTI_THREADED_JOBS_HANDLE h = nullptr;
  ASSERT_EQ(VQXMultiThreadedJobsOpenLib(&params, &h), kOk);
  constexpr int kProducers = 3, kPerProducer = 5000;
  std::vector<std::vector<StressJob>> jobs(kProducers);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    jobs[p] = std::vector<StressJob>(kPerProducer);
    producers.emplace_back([&, p] {
      std::mt19937 rng(p);
      for (int i = 0; i < kPerProducer; ++i) {
        StressJob& j = jobs[p][i];
        j.nProducer = p, j.nSeq = i + 1;
        const VQX_MULTI_THREADED_JOB_START_PARAMS sp{0, u32(p * 8 + j.nSeq % 8), StressHandler};
        EXPECT_EQ(VQXMultiThreadedJobStart(h, &j, &sp), kOk);
        if (rng() % 7 != 0) continue;
        const VQX_MULTI_THREADED_JOB_CONTROL c{VQX_MT_JOB_CONTROL_CANCEL};
        const VQX_RESULT r = VQXMultiThreadedJobControl(h, &jobs[p][rng() % (i + 1)], &c);
        EXPECT_TRUE(r == kOk || r == VQX_RESULT_ACCESS_DENIED || r == VQX_RESULT_NOT_FOUND) << r;
      }
    });
  }
  for (auto& t : producers) t.join();
  EXPECT_TRUE(VqxTestWaitUntil([h] { return VQXMultiThreadedJobGetCount(h) == 0; }));
  EXPECT_EQ(VQXMultiThreadedJobsCloseLib(h), kOk);
  EXPECT_EQ(g_overlap.load(), 0) << "same-key jobs overlapped or ran out of order";
  for (auto& v : jobs) {
    for (auto& j : v) {
      ASSERT_EQ(j.nDone.load(), 1) << "producer " << j.nProducer << " seq " << j.nSeq;
      ASSERT_EQ(j.fRan.load() ? kOk : kCancelled, j.lastResult) << "producer " << j.nProducer << " seq " << j.nSeq;
    }
  }
}

}  // namespace
