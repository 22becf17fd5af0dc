// Keyed job pool: ordering per key, parallelism across keys (proved with a
// latch), cancel, re-keying, counts, limits and close with queued jobs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "vqx_jobs.h"
#include "vqx_thread.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 10s;  // bound of every wait; never reached when the pool works

/* Polls a condition until it holds or kWait has passed; its last answer. */
template <class F>
bool WaitUntil(F fCondition) {
  const auto until = std::chrono::steady_clock::now() + kWait;
  while (!fCondition() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
  return fCondition();
}

/* A count-down latch with bounded waits. With a count of 1 it is the gate
 * that handlers block on until the test opens it. */
class Latch {
 public:
  explicit Latch(int n = 1) : n_(n) {}
  void CountDown() {
    std::lock_guard<std::mutex> g(m_);
    if (--n_ <= 0) cv_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, kWait, [&] { return n_ <= 0; });
  }
  bool ArriveAndWait() {
    CountDown();
    return Wait();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int n_;
};
using Gate = Latch;

/* One job record as a caller would keep it. */
struct Job {
  Job() = default;
  explicit Job(int id, Gate* gate = nullptr) : nId(id), pGate(gate) {}
  int nId = 0;
  Gate* pGate = nullptr;       // handler blocks on it when set
  Latch* pLatch = nullptr;     // handler meets the other keys here when set
  std::atomic<bool> fEntered{false};
  bool fMet = false;
  VQX_RESULT handlerResult = VQX_RESULT_OK;
};

/* What the pool reported, recorded under one lock. */
struct Recorder {
  std::mutex m;
  std::condition_variable cv;
  std::vector<int> ran;                  // handler order
  std::map<int, std::vector<VQX_RESULT>> done;  // done results per job id
  std::map<int, std::thread::id> doneThread;
  std::atomic<int> inHandler{0};
  std::atomic<int> maxInHandler{0};

  bool WaitDone(size_t n) {
    std::unique_lock<std::mutex> g(m);
    return cv.wait_for(g, kWait, [&] {
      size_t total = 0;
      for (auto& kv : done) total += kv.second.size();
      return total >= n;
    });
  }
};

Recorder* g_pRec = nullptr;

VQX_RESULT Handler(VQX_MULTI_THREADED_JOBS_HANDLE, void* pv) {
  Job* j = static_cast<Job*>(pv);
  const int now = ++g_pRec->inHandler;
  int prev = g_pRec->maxInHandler.load();
  while (now > prev && !g_pRec->maxInHandler.compare_exchange_weak(prev, now)) {
  }
  j->fEntered = true;
  {
    std::lock_guard<std::mutex> g(g_pRec->m);
    g_pRec->ran.push_back(j->nId);
  }
  if (j->pLatch != nullptr) j->fMet = j->pLatch->ArriveAndWait();
  if (j->pGate != nullptr) j->pGate->Wait();
  --g_pRec->inHandler;
  return j->handlerResult;
}

void Done(VQX_MULTI_THREADED_JOBS_HANDLE, void* pv, VQX_RESULT result) {
  Job* j = static_cast<Job*>(pv);
  std::lock_guard<std::mutex> g(g_pRec->m);
  g_pRec->done[j->nId].push_back(result);
  g_pRec->doneThread[j->nId] = std::this_thread::get_id();
  g_pRec->cv.notify_all();
}

class JobsTest : public ::testing::Test {
 protected:
  void SetUp() override { g_pRec = &rec_; }
  void TearDown() override {
    if (h_ != nullptr) {
      EXPECT_EQ(VQXMultiThreadedJobsCloseLib(h_), VQX_RESULT_OK);
    }
    g_pRec = nullptr;
  }
  void Open(u32 threads, u32 maxJobs = 1000) {
    const VQX_MULTI_THREADED_JOBS_PARAMS params{threads, maxJobs, VQX_THREAD_PRIORITY_NORMAL, Done};
    ASSERT_EQ(VQXMultiThreadedJobsOpenLib(&params, &h_), VQX_RESULT_OK);
  }
  VQX_RESULT Start(Job& j, u32 key) {
    const VQX_MULTI_THREADED_JOB_START_PARAMS sp{0, key, Handler};
    return VQXMultiThreadedJobStart(h_, &j, &sp);
  }
  VQX_RESULT Cancel(Job& j) {
    const VQX_MULTI_THREADED_JOB_CONTROL c{VQX_MT_JOB_CONTROL_CANCEL};
    return VQXMultiThreadedJobControl(h_, &j, &c);
  }
  VQX_RESULT Rekey(u32 from, u32 to) {
    const VQX_MULTI_THREADED_JOB_SERIALIZED_CONTROL c{VQX_MT_JOB_SERIALIZED_CONTROL_REKEY, to};
    return VQXMultiThreadedJobSeriliazedControl(h_, from, &c);
  }
  bool WaitCount(u32 n) {
    return WaitUntil([&] { return VQXMultiThreadedJobGetCount(h_) == n; });
  }
  static bool WaitEntered(const Job& j) {
    return WaitUntil([&] { return j.fEntered.load(); });
  }

  Recorder rec_;
  VQX_MULTI_THREADED_JOBS_HANDLE h_ = nullptr;
};

TEST(JobsOpen, RefusesBadParameters) {
  struct Row {
    const char* pszName;
    VQX_MULTI_THREADED_JOBS_PARAMS params;
    VQX_RESULT expected;
  };
  const Row rows[] = {
      {"no threads", {0, 10, 1, Done}, VQX_RESULT_INVALID_PARAM},
      {"too many threads", {VQX_MT_JOBS_MAX_THREADS + 1, 10, 1, Done}, VQX_RESULT_INVALID_PARAM},
      {"no jobs", {1, 0, 1, Done}, VQX_RESULT_INVALID_PARAM},
      {"class 0", {1, 10, 0, Done}, VQX_RESULT_INVALID_PARAM},
      {"class 5", {1, 10, 5, Done}, VQX_RESULT_INVALID_PARAM},
      {"class 4 (real-time when permitted)", {2, 10, 4, Done}, VQX_RESULT_OK},
      {"no done callback", {1, 1, 1, nullptr}, VQX_RESULT_OK},
  };
  for (const auto& row : rows) {
    VQX_MULTI_THREADED_JOBS_HANDLE h = reinterpret_cast<VQX_MULTI_THREADED_JOBS_HANDLE>(1);
    EXPECT_EQ(VQXMultiThreadedJobsOpenLib(&row.params, &h), row.expected) << row.pszName;
    if (row.expected == VQX_RESULT_OK) {
      EXPECT_EQ(VQXMultiThreadedJobsCloseLib(h), VQX_RESULT_OK) << row.pszName;
    } else {
      EXPECT_EQ(h, nullptr) << row.pszName;
    }
  }
  VQX_MULTI_THREADED_JOBS_HANDLE h = nullptr;
  EXPECT_EQ(VQXMultiThreadedJobsOpenLib(nullptr, &h), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VQXMultiThreadedJobsOpenLib(&rows[5].params, nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VQXMultiThreadedJobsCloseLib(nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VQXMultiThreadedJobGetCount(nullptr), 0u);
}

TEST_F(JobsTest, RefusesBadCalls) {
  Open(1);
  Job j;
  VQX_MULTI_THREADED_JOB_START_PARAMS sp{1, 5, Handler};
  EXPECT_EQ(VQXMultiThreadedJobStart(h_, &j, &sp), VQX_RESULT_INVALID_PARAM);  // reserved not 0
  sp = {0, 5, nullptr};
  EXPECT_EQ(VQXMultiThreadedJobStart(h_, &j, &sp), VQX_RESULT_NULL_PARAM);
  sp = {0, 5, Handler};
  EXPECT_EQ(VQXMultiThreadedJobStart(h_, nullptr, &sp), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VQXMultiThreadedJobStart(nullptr, &j, &sp), VQX_RESULT_NULL_PARAM);
  const VQX_MULTI_THREADED_JOB_CONTROL c{2};
  EXPECT_EQ(VQXMultiThreadedJobControl(h_, &j, &c), VQX_RESULT_INVALID_PARAM);
  const VQX_MULTI_THREADED_JOB_SERIALIZED_CONTROL sc{2, 9};
  EXPECT_EQ(VQXMultiThreadedJobSeriliazedControl(h_, 5, &sc), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(VQXMultiThreadedJobControl(h_, &j, nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VQXMultiThreadedJobControl(h_, nullptr, &c), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VQXMultiThreadedJobControl(nullptr, &j, &c), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VQXMultiThreadedJobSeriliazedControl(h_, 5, nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VQXMultiThreadedJobSeriliazedControl(nullptr, 5, &sc), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VQXMultiThreadedJobStart(h_, &j, nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(Cancel(j), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(Rekey(5, 6), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(VQXMultiThreadedJobGetCount(h_), 0u);
  EXPECT_TRUE(rec_.done.empty());
}

TEST_F(JobsTest, SameKeyRunsStrictlyInOrderOneAtATime) {
  Open(4, 5000);
  std::vector<Job> jobs(2000);
  for (int i = 0; i < 2000; ++i) {
    jobs[i].nId = i;
    jobs[i].handlerResult = 0x02000000u + i;
    ASSERT_EQ(Start(jobs[i], 77), VQX_RESULT_OK);
  }
  ASSERT_TRUE(rec_.WaitDone(2000));
  // The last job stays held until its done callback has returned.
  EXPECT_TRUE(WaitCount(0));
  std::lock_guard<std::mutex> g(rec_.m);
  ASSERT_EQ(rec_.ran.size(), 2000u);
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(rec_.ran[i], i) << "out of order at " << i;
    ASSERT_EQ(rec_.done[i].size(), 1u) << i;
    EXPECT_EQ(rec_.done[i][0], 0x02000000u + i) << "done must receive the handler's result";
  }
  EXPECT_EQ(rec_.maxInHandler.load(), 1);
}

TEST_F(JobsTest, DifferentKeysRunInParallel) {
  // Each handler waits at a latch until the other key's handler has arrived:
  // the latch opens only if both handlers are inside at the same time.
  Open(2);
  Latch latch(2);
  Job a(1), b(2);
  a.pLatch = b.pLatch = &latch;
  ASSERT_EQ(Start(a, 1), VQX_RESULT_OK);
  ASSERT_EQ(Start(b, 2), VQX_RESULT_OK);
  ASSERT_TRUE(rec_.WaitDone(2));
  EXPECT_TRUE(a.fMet);
  EXPECT_TRUE(b.fMet);
  EXPECT_EQ(rec_.maxInHandler.load(), 2);
}

TEST_F(JobsTest, CancelQueuedJobOnly) {
  Open(1);
  Gate gate;
  Job g(0, &gate), j1(1), j2(2), j3(3), stranger;
  ASSERT_EQ(Start(g, 9), VQX_RESULT_OK);
  ASSERT_TRUE(WaitEntered(g));
  ASSERT_EQ(Start(j1, 9), VQX_RESULT_OK);
  ASSERT_EQ(Start(j2, 9), VQX_RESULT_OK);
  ASSERT_EQ(Start(j3, 10), VQX_RESULT_OK);
  EXPECT_EQ(VQXMultiThreadedJobGetCount(h_), 4u);

  EXPECT_EQ(Cancel(j2), VQX_RESULT_OK);
  EXPECT_EQ(Cancel(j2), VQX_RESULT_ACCESS_DENIED) << "cancelled, no longer queued";
  EXPECT_EQ(Cancel(g), VQX_RESULT_ACCESS_DENIED) << "running, no longer queued";
  EXPECT_EQ(Cancel(stranger), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(Cancel(j3), VQX_RESULT_OK);  // the only job of its key
  EXPECT_EQ(VQXMultiThreadedJobGetCount(h_), 4u) << "cancelled jobs stay held until their done callback";

  gate.CountDown();
  ASSERT_TRUE(rec_.WaitDone(4));
  std::lock_guard<std::mutex> lock(rec_.m);
  EXPECT_EQ(rec_.ran, (std::vector<int>{0, 1}));
  EXPECT_EQ(rec_.done[2], std::vector<VQX_RESULT>{VQX_MT_JOB_RESULT_CANCELLED});
  EXPECT_EQ(rec_.done[3], std::vector<VQX_RESULT>{VQX_MT_JOB_RESULT_CANCELLED});
  EXPECT_EQ(rec_.done[1], std::vector<VQX_RESULT>{VQX_RESULT_OK});
  EXPECT_EQ(rec_.done.size(), 4u);
}

TEST_F(JobsTest, CancelledJobIsEndedWithoutWaitingForItsKey) {
  Open(2);
  Gate gate;
  Job g(0, &gate), j(1);
  ASSERT_EQ(Start(g, 4), VQX_RESULT_OK);
  ASSERT_TRUE(WaitEntered(g));
  ASSERT_EQ(Start(j, 4), VQX_RESULT_OK);
  ASSERT_EQ(Cancel(j), VQX_RESULT_OK);
  ASSERT_TRUE(rec_.WaitDone(1));  // the second worker ends it while key 4 is busy
  {
    std::lock_guard<std::mutex> lock(rec_.m);
    EXPECT_EQ(rec_.done[1], std::vector<VQX_RESULT>{VQX_MT_JOB_RESULT_CANCELLED});
  }
  ASSERT_TRUE(WaitCount(1));  // held until its done callback has returned
  EXPECT_EQ(Cancel(j), VQX_RESULT_NOT_FOUND);
  gate.CountDown();
  ASSERT_TRUE(rec_.WaitDone(2));
}

TEST_F(JobsTest, RekeyMovesQueuedJobsInOrder) {
  Open(2);
  Gate gate1, gate2;
  Job g1(100, &gate1), g2(200, &gate2), a(1), b(2), c(3);
  ASSERT_EQ(Start(g1, 1), VQX_RESULT_OK);
  ASSERT_TRUE(WaitEntered(g1));
  ASSERT_EQ(Start(g2, 2), VQX_RESULT_OK);
  ASSERT_TRUE(WaitEntered(g2));
  ASSERT_EQ(Start(a, 1), VQX_RESULT_OK);
  ASSERT_EQ(Start(b, 1), VQX_RESULT_OK);
  ASSERT_EQ(Start(c, 2), VQX_RESULT_OK);

  EXPECT_EQ(Rekey(1, 1), VQX_RESULT_OK);  // same key: nothing moves
  EXPECT_EQ(Rekey(1, 2), VQX_RESULT_OK);
  EXPECT_EQ(Rekey(1, 2), VQX_RESULT_NOT_FOUND) << "nothing queued under key 1 any more";
  EXPECT_EQ(Rekey(3, 2), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(VQXMultiThreadedJobGetCount(h_), 5u);

  // Key 2 now holds c, a, b; they run once g2 ends, while g1 still blocks key 1.
  gate2.CountDown();
  ASSERT_TRUE(rec_.WaitDone(4));
  {
    std::lock_guard<std::mutex> lock(rec_.m);
    EXPECT_EQ(rec_.ran, (std::vector<int>{100, 200, 3, 1, 2}));
    EXPECT_TRUE(rec_.done[100].empty());
  }
  gate1.CountDown();
  ASSERT_TRUE(rec_.WaitDone(5));
}

TEST_F(JobsTest, MaxJobsAndDuplicates) {
  Open(1, 3);
  Gate gate;
  Job g(0, &gate), j1(1), j2(2), j3(3);
  ASSERT_EQ(Start(g, 1), VQX_RESULT_OK);
  ASSERT_EQ(Start(j1, 1), VQX_RESULT_OK);
  EXPECT_EQ(Start(j1, 2), VQX_RESULT_ACCESS_DENIED) << "a held job cannot be started twice";
  ASSERT_EQ(Start(j2, 2), VQX_RESULT_OK);
  EXPECT_EQ(Start(j3, 3), VQX_RESULT_OUT_OF_RESOURCE);
  EXPECT_EQ(VQXMultiThreadedJobGetCount(h_), 3u);
  gate.CountDown();
  ASSERT_TRUE(rec_.WaitDone(3));
  ASSERT_TRUE(WaitCount(0));  // done callbacks have returned: room again
  EXPECT_EQ(Start(j3, 3), VQX_RESULT_OK);
  ASSERT_TRUE(rec_.WaitDone(4));
  std::lock_guard<std::mutex> lock(rec_.m);
  EXPECT_EQ(rec_.done.count(3), 1u);
}

TEST_F(JobsTest, CloseWaitsForRunningAndCancelsQueued) {
  Open(1, 20000);  // the probes below must meet the closing pool, not the job limit
  Gate gate;
  Job g(0, &gate);
  g.handlerResult = 0x0200ABCDu;
  std::vector<Job> queued(5);
  ASSERT_EQ(Start(g, 1), VQX_RESULT_OK);
  ASSERT_TRUE(WaitEntered(g));
  for (int i = 0; i < 5; ++i) {
    queued[i].nId = 10 + i;
    ASSERT_EQ(Start(queued[i], i % 2), VQX_RESULT_OK);
  }

  std::thread::id closer;
  std::thread t([&] {
    closer = std::this_thread::get_id();
    EXPECT_EQ(VQXMultiThreadedJobsCloseLib(h_), VQX_RESULT_OK);
  });
  // Wait until the pool refuses new jobs (close has begun), bounded.
  std::vector<Job> probes(10000);
  size_t nProbes = 0;
  VQX_RESULT r = VQX_RESULT_OK;
  const auto until = std::chrono::steady_clock::now() + kWait;
  while (std::chrono::steady_clock::now() < until && nProbes < probes.size()) {
    probes[nProbes].nId = 1000 + static_cast<int>(nProbes);
    r = Start(probes[nProbes], 7);
    if (r != VQX_RESULT_OK) break;
    ++nProbes;
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(r, VQX_RESULT_INVALID_STATE);
  gate.CountDown();
  t.join();
  h_ = nullptr;

  std::lock_guard<std::mutex> lock(rec_.m);
  EXPECT_EQ(rec_.ran, std::vector<int>{0}) << "no queued handler may run after close began";
  EXPECT_EQ(rec_.done[0], std::vector<VQX_RESULT>{0x0200ABCDu});
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(rec_.done[10 + i], std::vector<VQX_RESULT>{VQX_MT_JOB_RESULT_CANCELLED}) << i;
    EXPECT_EQ(rec_.doneThread[10 + i], closer) << i;
  }
  for (size_t i = 0; i < nProbes; ++i) {
    EXPECT_EQ(rec_.done[1000 + static_cast<int>(i)].size(), 1u);
  }
  EXPECT_EQ(rec_.done.size(), 6u + nProbes);
}

std::atomic<VQX_RESULT> g_selfCloseResult{0};
std::atomic<VQX_RESULT> g_restartResult{0};
std::atomic<int> g_restarts{0};

VQX_RESULT SelfCloseHandler(VQX_MULTI_THREADED_JOBS_HANDLE h, void*) {
  g_selfCloseResult = VQXMultiThreadedJobsCloseLib(h);
  return VQX_RESULT_OK;
}

VQX_RESULT CountHandler(VQX_MULTI_THREADED_JOBS_HANDLE, void*) { return VQX_RESULT_OK; }

void RestartDone(VQX_MULTI_THREADED_JOBS_HANDLE h, void* pv, VQX_RESULT) {
  // The job has left the pool: the same record may be started again.
  if (++g_restarts < 3) {
    const VQX_MULTI_THREADED_JOB_START_PARAMS sp{0, 1, CountHandler};
    g_restartResult = VQXMultiThreadedJobStart(h, pv, &sp);
  }
}

TEST(JobsCallbacks, CloseFromOwnHandlerIsRefusedAndDoneMayRestart) {
  g_selfCloseResult = 0;
  g_restartResult = 0;
  g_restarts = 0;
  VQX_MULTI_THREADED_JOBS_PARAMS params{2, 10, VQX_THREAD_PRIORITY_NORMAL, RestartDone};
  VQX_MULTI_THREADED_JOBS_HANDLE h = nullptr;
  ASSERT_EQ(VQXMultiThreadedJobsOpenLib(&params, &h), VQX_RESULT_OK);
  int record = 0;
  VQX_MULTI_THREADED_JOB_START_PARAMS sp{0, 1, SelfCloseHandler};
  ASSERT_EQ(VQXMultiThreadedJobStart(h, &record, &sp), VQX_RESULT_OK);
  WaitUntil([] { return g_restarts >= 3; });
  EXPECT_EQ(g_selfCloseResult.load(), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(g_restarts.load(), 3);
  EXPECT_EQ(g_restartResult.load(), VQX_RESULT_OK);
  EXPECT_EQ(VQXMultiThreadedJobsCloseLib(h), VQX_RESULT_OK);
}

std::atomic<VQX_RESULT> g_closeAgain{0};
std::atomic<VQX_RESULT> g_startDuringClose{0};

void CloseAgainDone(VQX_MULTI_THREADED_JOBS_HANDLE h, void* pv, VQX_RESULT) {
  g_closeAgain = VQXMultiThreadedJobsCloseLib(h);
  const VQX_MULTI_THREADED_JOB_START_PARAMS sp{0, 1, CountHandler};
  g_startDuringClose = VQXMultiThreadedJobStart(h, pv, &sp);
}

VQX_RESULT SleepyHandler(VQX_MULTI_THREADED_JOBS_HANDLE, void*) {
  std::this_thread::sleep_for(20ms);
  return VQX_RESULT_OK;
}

TEST(JobsCallbacks, DoneCallbacksOfCloseCannotCloseOrStartAgain) {
  g_closeAgain = 0;
  g_startDuringClose = 0;
  VQX_MULTI_THREADED_JOBS_PARAMS params{1, 10, VQX_THREAD_PRIORITY_NORMAL, CloseAgainDone};
  VQX_MULTI_THREADED_JOBS_HANDLE h = nullptr;
  ASSERT_EQ(VQXMultiThreadedJobsOpenLib(&params, &h), VQX_RESULT_OK);
  int a = 0, b = 0;
  VQX_MULTI_THREADED_JOB_START_PARAMS sp{0, 1, SleepyHandler};
  ASSERT_EQ(VQXMultiThreadedJobStart(h, &a, &sp), VQX_RESULT_OK);
  ASSERT_EQ(VQXMultiThreadedJobStart(h, &b, &sp), VQX_RESULT_OK);  // queued behind a
  EXPECT_EQ(VQXMultiThreadedJobsCloseLib(h), VQX_RESULT_OK);
  EXPECT_EQ(g_closeAgain.load(), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(g_startDuringClose.load(), VQX_RESULT_INVALID_STATE);
}

/* Stress: several producers and cancels racing the workers. */
struct StressJob {
  int nProducer = 0;
  int nSeq = 0;
  std::atomic<int> nDone{0};
  std::atomic<bool> fRan{false};
  VQX_RESULT lastResult = 0;
};
std::atomic<int> g_keyBusy[3 * 8];  // per pool key: producer * 8 + seq % 8
std::atomic<int> g_overlap{0};
std::mutex g_stressLock;
std::map<std::pair<int, int>, int> g_lastSeq;  // (producer, key) -> last seq run

VQX_RESULT StressHandler(VQX_MULTI_THREADED_JOBS_HANDLE, void* pv) {
  StressJob* j = static_cast<StressJob*>(pv);
  const int key = j->nProducer * 8 + j->nSeq % 8;
  if (g_keyBusy[key]++ != 0) ++g_overlap;
  {
    std::lock_guard<std::mutex> g(g_stressLock);
    int& last = g_lastSeq[{j->nProducer, key}];
    if (j->nSeq <= last) ++g_overlap;  // out of order within a key
    last = j->nSeq;
  }
  j->fRan = true;
  --g_keyBusy[key];
  return VQX_RESULT_OK;
}

void StressDone(VQX_MULTI_THREADED_JOBS_HANDLE, void* pv, VQX_RESULT r) {
  StressJob* j = static_cast<StressJob*>(pv);
  j->lastResult = r;
  ++j->nDone;
}

TEST(JobsStress, EveryJobEndsExactlyOnce) {
  g_overlap = 0;
  g_lastSeq.clear();
  VQX_MULTI_THREADED_JOBS_PARAMS params{4, 100000, VQX_THREAD_PRIORITY_NORMAL, StressDone};
  VQX_MULTI_THREADED_JOBS_HANDLE h = nullptr;
  ASSERT_EQ(VQXMultiThreadedJobsOpenLib(&params, &h), VQX_RESULT_OK);
  constexpr int kProducers = 3, kPerProducer = 5000;
  std::vector<std::vector<StressJob>> jobs(kProducers);
  for (auto& v : jobs) v = std::vector<StressJob>(kPerProducer);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      std::mt19937 rng(p);
      for (int i = 0; i < kPerProducer; ++i) {
        StressJob& j = jobs[p][i];
        j.nProducer = p;
        j.nSeq = i + 1;
        const VQX_MULTI_THREADED_JOB_START_PARAMS sp{0, static_cast<u32>(p * 8 + j.nSeq % 8), StressHandler};
        EXPECT_EQ(VQXMultiThreadedJobStart(h, &j, &sp), VQX_RESULT_OK);
        if (rng() % 7 == 0) {
          const VQX_MULTI_THREADED_JOB_CONTROL c{VQX_MT_JOB_CONTROL_CANCEL};
          const VQX_RESULT r = VQXMultiThreadedJobControl(h, &jobs[p][rng() % (i + 1)], &c);
          EXPECT_TRUE(r == VQX_RESULT_OK || r == VQX_RESULT_ACCESS_DENIED || r == VQX_RESULT_NOT_FOUND);
        }
        VQXMultiThreadedJobGetCount(h);
      }
    });
  }
  for (auto& t : producers) t.join();
  EXPECT_TRUE(WaitUntil([h] { return VQXMultiThreadedJobGetCount(h) == 0; }));
  EXPECT_EQ(VQXMultiThreadedJobsCloseLib(h), VQX_RESULT_OK);
  EXPECT_EQ(g_overlap.load(), 0) << "same-key jobs overlapped or ran out of order";
  int nCancelled = 0;
  for (auto& v : jobs) {
    for (auto& j : v) {
      ASSERT_EQ(j.nDone.load(), 1) << "producer " << j.nProducer << " seq " << j.nSeq;
      ASSERT_EQ(j.fRan.load(), j.lastResult == VQX_RESULT_OK);
      if (j.lastResult == VQX_MT_JOB_RESULT_CANCELLED) ++nCancelled;
    }
  }
  RecordProperty("cancelled", nCancelled);
}

} // namespace
