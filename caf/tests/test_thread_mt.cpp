/*
 * test_thread_mt.cpp - CVQCAFPipe bounds and CVQCAFThread life cycle, event
 * order and stop. Every wait here is bounded; a hang fails the test.
 */
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/vqcaf_diag_capture.h"
#include "vqcaflog.h"
#include "vqcafpipe.h"
#include "vqcafthread.h"

using namespace VQCAF;

namespace {

constexpr auto kBound = std::chrono::seconds(10);

/* Polls pred every millisecond for at most kBound. */
template <typename Pred>
bool WaitFor(Pred pred) {
  const auto End = std::chrono::steady_clock::now() + kBound;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > End) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

/* Runs f on another thread; false when it did not return within kBound. */
template <typename F>
bool ReturnsInTime(F f) {
  auto Future = std::async(std::launch::async, f);
  return Future.wait_for(kBound) == std::future_status::ready;
}

/* ------------------------------------------------------------------ pipe */

/* A thread object that is never started: only its queue is used. */
class CRecordingQueueOnly : public CVQCAFThread {
 public:
  explicit CRecordingQueueOnly(u32 un32Qlen) : CVQCAFThread(VQCAF_THREAD_PRIO_DEFAULT, un32Qlen) {}
};

TEST(Pipe, BoundsTable) {
  struct Row {
    const char* pszName;
    u32 un32Capacity;
    u32 un32Posts;
    u32 un32Accepted;  // posts answered 0x02000000
    u32 un32Refusal;   // answer to the posts beyond
  };
  const Row aRows[] = {
      {"no queue", 0, 3, 0, VQX_RESULT_INVALID_STATE},
      {"one slot", 1, 2, 1, VQX_RESULT_OUT_OF_RESOURCE},
      {"exactly full", 4, 4, 4, VQX_RESULT_OK},
      {"one too many", 4, 5, 4, VQX_RESULT_OUT_OF_RESOURCE},
  };
  for (const Row& R : aRows) {
    CVQCAFPipe<u32> Pipe(R.un32Capacity);
    for (u32 i = 0; i < R.un32Posts; i++) {
      const u32 un32Expected = i < R.un32Accepted ? VQX_RESULT_OK : R.un32Refusal;
      EXPECT_EQ(Pipe.Post(i), un32Expected) << R.pszName << " post " << i;
    }
    EXPECT_EQ(Pipe.GetCount(), R.un32Accepted) << R.pszName;
    EXPECT_TRUE(Pipe.CheckInvariant()) << R.pszName;
  }
}

TEST(Pipe, OrderAcrossWrapAround) {
  CVQCAFPipe<u32> Pipe(3);
  u32 un32Next = 0, un32Expected = 0, un32Value = 0;
  // Keep 2 queued while 20 go through: head and tail wrap several times.
  ASSERT_EQ(Pipe.Post(un32Next++), VQX_RESULT_OK);
  ASSERT_EQ(Pipe.Post(un32Next++), VQX_RESULT_OK);
  for (int i = 0; i < 20; i++) {
    ASSERT_EQ(Pipe.Post(un32Next++), VQX_RESULT_OK);
    ASSERT_EQ(Pipe.Wait(&un32Value, 0), VQX_RESULT_OK);
    EXPECT_EQ(un32Value, un32Expected++);
    EXPECT_TRUE(Pipe.CheckInvariant());
  }
  EXPECT_EQ(Pipe.GetCount(), 2u);
}

TEST(Pipe, WaitTimeoutWakeAndNull) {
  CVQCAFPipe<u32> Pipe(2);
  u32 un32Value = 0;
  EXPECT_EQ(Pipe.Wait(nullptr, 0), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(Pipe.Wait(&un32Value, 0), VQX_RESULT_TIMEOUT);
  EXPECT_EQ(Pipe.Wait(&un32Value, 5), VQX_RESULT_TIMEOUT);

  // A woken pipe still hands out what it holds, then answers "awakened".
  ASSERT_EQ(Pipe.Post(7), VQX_RESULT_OK);
  Pipe.Wake();
  EXPECT_EQ(Pipe.Wait(&un32Value, VQCAF_PIPE_WAIT_FOREVER), VQX_RESULT_OK);
  EXPECT_EQ(un32Value, 7u);
  EXPECT_EQ(Pipe.Wait(&un32Value, VQCAF_PIPE_WAIT_FOREVER), VQCAF_PIPE_RESULT_AWAKENED);
  Pipe.ClearWake();
  EXPECT_EQ(Pipe.Wait(&un32Value, 0), VQX_RESULT_TIMEOUT);
}

TEST(Pipe, WakeReleasesABlockedWaiter) {
  CVQCAFPipe<u32> Pipe(2);
  std::atomic<u32> un32Answer{0};
  std::thread Waiter([&] {
    u32 un32Value = 0;
    un32Answer = Pipe.Wait(&un32Value, VQCAF_PIPE_WAIT_FOREVER);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Pipe.Wake();
  const bool fReturned = WaitFor([&] { return un32Answer.load() != 0; });
  if (!fReturned) Pipe.Post(0);  // let the thread end before failing
  Waiter.join();
  EXPECT_TRUE(fReturned);
  EXPECT_EQ(un32Answer.load(), VQCAF_PIPE_RESULT_AWAKENED);
}

TEST(Pipe, SetCapacityKeepsOrderAndRefusesShrinkBelowCount) {
  CVQCAFPipe<u32> Pipe(3);
  u32 un32Value = 0;
  ASSERT_EQ(Pipe.Post(1), VQX_RESULT_OK);
  ASSERT_EQ(Pipe.Post(2), VQX_RESULT_OK);
  ASSERT_EQ(Pipe.Wait(&un32Value, 0), VQX_RESULT_OK);  // head moves to 1
  ASSERT_EQ(Pipe.Post(3), VQX_RESULT_OK);
  ASSERT_EQ(Pipe.Post(4), VQX_RESULT_OK);  // wrapped: storage [4,2,3]
  EXPECT_EQ(Pipe.SetCapacity(2), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(Pipe.GetCapacity(), 3u);
  EXPECT_EQ(Pipe.SetCapacity(VQCAF_PIPE_MAX_CAPACITY + 1), VQX_RESULT_INVALID_PARAM);
  ASSERT_EQ(Pipe.SetCapacity(5), VQX_RESULT_OK);
  for (u32 un32Expected : {2u, 3u, 4u}) {
    ASSERT_EQ(Pipe.Wait(&un32Value, 0), VQX_RESULT_OK);
    EXPECT_EQ(un32Value, un32Expected);
  }
  EXPECT_TRUE(Pipe.CheckInvariant());
}

TEST(Pipe, OversizedCapacityAtConstructionIsClampedNotDropped) {
  CDiagCapture Capture;
  CVQCAFPipe<u32> Pipe(VQCAF_PIPE_MAX_CAPACITY + 1);
  EXPECT_EQ(Pipe.GetCapacity(), VQCAF_PIPE_MAX_CAPACITY);
  EXPECT_EQ(Pipe.Post(1), VQX_RESULT_OK);  // a queue, not "no queue"
  ASSERT_EQ(Capture.Lines().size(), 1u);
  EXPECT_EQ(Capture.Lines()[0], "CVQCAFPipe: capacity 1048577 clamped to 1048576\n");
  CRecordingQueueOnly Thread(0xFFFFFFFFu);
  EXPECT_EQ(Thread.EventPost(CVQCAFEvent(3)), VQX_RESULT_OK);
  EXPECT_EQ(Thread.EventGetCount(), 1u);
}

TEST(Pipe, ConcurrentPostersKeepEachOrderAndLoseNothing) {
  constexpr u32 kProducers = 4, kPerProducer = 2000;
  CVQCAFPipe<u32> Pipe(16);
  std::vector<std::thread> aProducers;
  for (u32 p = 0; p < kProducers; p++) {
    aProducers.emplace_back([&Pipe, p] {
      for (u32 i = 0; i < kPerProducer; i++) {
        // A full pipe refuses: retry, bounded.
        for (int n = 0; n < 1000000 && Pipe.Post((p << 16) | i) != VQX_RESULT_OK; n++) std::this_thread::yield();
      }
    });
  }
  std::vector<u32> aNext(kProducers, 0);
  u32 un32Received = 0;
  bool fInOrder = true;
  while (un32Received < kProducers * kPerProducer) {
    u32 un32Value = 0;
    if (Pipe.Wait(&un32Value, 5000) != VQX_RESULT_OK) break;
    const u32 p = un32Value >> 16;
    fInOrder = fInOrder && p < kProducers && (un32Value & 0xFFFF) == aNext[p];
    if (p < kProducers) aNext[p]++;
    un32Received++;
  }
  for (auto& T : aProducers) T.join();
  EXPECT_EQ(un32Received, kProducers * kPerProducer);
  EXPECT_TRUE(fInOrder);
}

/* ---------------------------------------------------------------- thread */

/* Records the ids it receives through the default Run. */
class CRecordingThread : public CVQCAFThread {
 public:
  explicit CRecordingThread(u32 un32Qlen) : CVQCAFThread(VQCAF_THREAD_PRIO_DEFAULT, un32Qlen) {}
  ~CRecordingThread() override { Stop(1); }
  void OnEvent(CVQCAFEvent* pEvent) override {
    std::lock_guard<std::mutex> Lock(mMutex);
    maIds.push_back(pEvent->GetId());
  }
  std::vector<u32> Ids() {
    std::lock_guard<std::mutex> Lock(mMutex);
    return maIds;
  }

 private:
  std::mutex mMutex;
  std::vector<u32> maIds;
};

/* Blocks on its queue with no time-out: only Stop's wake-up ends it. */
class CBlockedThread : public CVQCAFThread {
 public:
  CBlockedThread() : CVQCAFThread(VQCAF_THREAD_PRIO_DEFAULT, 4) {}
  ~CBlockedThread() override { Stop(1); }
  void Run() override {
    CVQCAFEvent Event;
    while (IsStopRequested() == 0) {
      mun32LastWait = EventWait(&Event, VQCAF_PIPE_WAIT_FOREVER);
      mun32Waits++;
    }
  }
  std::atomic<u32> mun32LastWait{0};
  std::atomic<u32> mun32Waits{0};
};

TEST(Thread, StopWhileWaitingOnItsQueue) {
  CBlockedThread Thread;
  ASSERT_EQ(Thread.Start(1), VQX_RESULT_OK);
  EXPECT_NE(Thread.IsRunning(), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // let it block
  EXPECT_EQ(Thread.mun32Waits.load(), 0u);
  u32 un32Result = 0;
  ASSERT_TRUE(ReturnsInTime([&] { un32Result = Thread.Stop(1); }));
  EXPECT_EQ(un32Result, VQX_RESULT_OK);
  EXPECT_EQ(Thread.IsRunning(), 0u);
  EXPECT_EQ(Thread.mun32LastWait.load(), VQCAF_PIPE_RESULT_AWAKENED);
}

TEST(Thread, EventsArriveInOrderAndAreCounted) {
  CRecordingThread Thread(8);
  for (u32 i = 0; i < 8; i++) ASSERT_EQ(Thread.EventPost(CVQCAFEvent(100 + i)), VQX_RESULT_OK);
  EXPECT_EQ(Thread.EventGetCount(), 8u);
  EXPECT_EQ(Thread.EventPost(CVQCAFEvent(999)), VQX_RESULT_OUT_OF_RESOURCE);  // full: refused, not overwritten
  ASSERT_EQ(Thread.Start(0), VQX_RESULT_OK);
  ASSERT_TRUE(WaitFor([&] { return Thread.Ids().size() == 8; }));
  EXPECT_EQ(Thread.EventGetCount(), 0u);
  for (u32 i = 8; i < 12; i++) ASSERT_EQ(Thread.EventPost(CVQCAFEvent(100 + i)), VQX_RESULT_OK);
  ASSERT_TRUE(WaitFor([&] { return Thread.Ids().size() == 12; }));
  ASSERT_EQ(Thread.Stop(1), VQX_RESULT_OK);
  std::vector<u32> aExpected;
  for (u32 i = 0; i < 12; i++) aExpected.push_back(100 + i);
  EXPECT_EQ(Thread.Ids(), aExpected);
}

TEST(Thread, NoQueueRefusesPostsAndStillStops) {
  CRecordingThread Thread(0);
  EXPECT_EQ(Thread.EventPost(CVQCAFEvent(1)), VQX_RESULT_INVALID_STATE);
  CVQCAFEvent Event;
  EXPECT_EQ(Thread.EventWait(nullptr, 0), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(Thread.EventWait(&Event, 0), VQX_RESULT_TIMEOUT);
  ASSERT_EQ(Thread.Start(1), VQX_RESULT_OK);
  ASSERT_TRUE(ReturnsInTime([&] { Thread.Stop(1); }));
  EXPECT_EQ(Thread.IsRunning(), 0u);
  ASSERT_EQ(Thread.SetEventQlen(2), VQX_RESULT_OK);
  EXPECT_EQ(Thread.EventPost(CVQCAFEvent(1)), VQX_RESULT_OK);
}

TEST(Thread, StopRequestAndLifeCycle) {
  CRecordingThread Thread(2);
  EXPECT_NE(Thread.IsStopRequested(), 0u);  // set before the first Start
  EXPECT_EQ(Thread.Stop(1), VQX_RESULT_OK);  // never started: at once
  EXPECT_EQ(Thread.IsRunning(), 0u);
  ASSERT_EQ(Thread.Start(1), VQX_RESULT_OK);
  EXPECT_EQ(Thread.IsStopRequested(), 0u);
  EXPECT_EQ(Thread.Start(0), VQX_RESULT_INVALID_STATE);  // no second thread
  EXPECT_EQ(Thread.Stop(0), VQX_RESULT_OK);               // request only
  EXPECT_NE(Thread.IsStopRequested(), 0u);
  ASSERT_TRUE(WaitFor([&] { return Thread.IsRunning() == 0; }));
  // Restart after a stop without wait: the old thread is joined by Start.
  ASSERT_EQ(Thread.Start(1), VQX_RESULT_OK);
  ASSERT_EQ(Thread.EventPost(CVQCAFEvent(5)), VQX_RESULT_OK);
  ASSERT_TRUE(WaitFor([&] { return Thread.Ids().size() == 1; }));
  EXPECT_EQ(Thread.Stop(1), VQX_RESULT_OK);
}

TEST(Thread, PriorityClasses) {
  EXPECT_EQ(static_cast<u32>(VQCAF_THREAD_PRIO_DEFAULT), 1u);  // callers pass 1 for default scheduling
  CRecordingThread Thread(1);
  EXPECT_EQ(Thread.SetPrio(static_cast<_VQCAF_THREAD_PRIO>(0)), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Thread.SetPrio(static_cast<_VQCAF_THREAD_PRIO>(5)), VQX_RESULT_INVALID_PARAM);
  ASSERT_EQ(Thread.Start(1), VQX_RESULT_OK);
  // Real-time classes fall back silently where the process may not use them.
  EXPECT_EQ(Thread.SetPrio(VQCAF_THREAD_PRIO_RT_LOW), VQX_RESULT_OK);
  EXPECT_EQ(Thread.SetPrio(VQCAF_THREAD_PRIO_DEFAULT), VQX_RESULT_OK);
  EXPECT_EQ(Thread.Stop(1), VQX_RESULT_OK);
  CVQCAFThread RealTime(VQCAF_THREAD_PRIO_RT_HIGH, 0);
  EXPECT_EQ(RealTime.Start(1), VQX_RESULT_OK);
  EXPECT_EQ(RealTime.Stop(1), VQX_RESULT_OK);
}

/* Reads the size of the stack it runs on. */
class CStackProbeThread : public CVQCAFThread {
 public:
  CStackProbeThread() : CVQCAFThread(VQCAF_THREAD_PRIO_DEFAULT, 0) {}
  ~CStackProbeThread() override { Stop(1); }
  void Run() override {
    pthread_attr_t Attr;
    size_t nSize = 0;
    if (pthread_getattr_np(pthread_self(), &Attr) == 0) {
      pthread_attr_getstacksize(&Attr, &nSize);
      pthread_attr_destroy(&Attr);
    }
    mnStackSize = nSize;
  }
  std::atomic<size_t> mnStackSize{0};
};

TEST(Thread, RunsOnAOneMebibyteStack) {
  CStackProbeThread Thread;
  ASSERT_EQ(Thread.Start(1), VQX_RESULT_OK);
  ASSERT_TRUE(WaitFor([&] { return Thread.IsRunning() == 0; }));
  EXPECT_EQ(Thread.mnStackSize.load(), 0x100000u);
  EXPECT_EQ(Thread.Stop(1), VQX_RESULT_OK);
}

/* Stops itself from inside Run (with wait, which must not dead-lock). */
class CSelfStoppingThread : public CVQCAFThread {
 public:
  CSelfStoppingThread() : CVQCAFThread(VQCAF_THREAD_PRIO_DEFAULT, 0) {}
  ~CSelfStoppingThread() override { Stop(1); }
  void Run() override { mun32StopResult = Stop(1); }
  std::atomic<u32> mun32StopResult{0};
};

TEST(Thread, StopFromItsOwnThreadDoesNotWaitForItself) {
  CSelfStoppingThread Thread;
  ASSERT_EQ(Thread.Start(0), VQX_RESULT_OK);
  ASSERT_TRUE(WaitFor([&] { return Thread.IsRunning() == 0; }));
  EXPECT_EQ(Thread.mun32StopResult.load(), VQX_RESULT_OK);
  EXPECT_NE(Thread.IsStopRequested(), 0u);
  EXPECT_EQ(Thread.Stop(1), VQX_RESULT_OK);  // joins the ended thread
}

/* Calls its own controls from Run while another thread stops it. */
class CSelfControllingThread : public CVQCAFThread {
 public:
  CSelfControllingThread() : CVQCAFThread(VQCAF_THREAD_PRIO_DEFAULT, 0) {}
  ~CSelfControllingThread() override { Stop(1); }
  void Run() override {
    while (IsStopRequested() == 0) {
      mun32PrioResult = SetPrio(VQCAF_THREAD_PRIO_DEFAULT);
      mun32StartResult = Start(0);
      mun32Passes++;
    }
  }
  std::atomic<u32> mun32PrioResult{0}, mun32StartResult{0}, mun32Passes{0};
};

TEST(Thread, OwnControlsFromRunDoNotBlockAStop) {
  CSelfControllingThread Thread;
  ASSERT_EQ(Thread.Start(1), VQX_RESULT_OK);
  ASSERT_TRUE(WaitFor([&] { return Thread.mun32Passes.load() > 10; }));
  ASSERT_TRUE(ReturnsInTime([&] { Thread.Stop(1); }));
  EXPECT_EQ(Thread.IsRunning(), 0u);
  EXPECT_EQ(Thread.mun32PrioResult.load(), VQX_RESULT_OK);
  EXPECT_EQ(Thread.mun32StartResult.load(), VQX_RESULT_INVALID_STATE);
}

/* Catches what the log lines say. */
class CCapture : public IVQCAFLogTraceListener {
 public:
  void OnLogTrace(_VQX_TRACE_LEVEL Level, _VQCAF_SUBMODULE_TYPE, const char* pszText, u32) override {
    std::lock_guard<std::mutex> Lock(mMutex);
    if (Level == VQERR) maLines.push_back(pszText);
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> Lock(mMutex);
    return maLines;
  }

 private:
  std::mutex mMutex;
  std::vector<std::string> maLines;
};

class CThrowingThread : public CVQCAFThread {
 public:
  CThrowingThread() : CVQCAFThread(VQCAF_THREAD_PRIO_DEFAULT, 0) {}
  ~CThrowingThread() override { Stop(1); }
  void Run() override { throw std::out_of_range("index"); }
};

TEST(Thread, ExceptionEscapingRunIsLoggedOnceAndEndsTheThread) {
  CCapture Capture;
  ASSERT_EQ(AddLogTraceListener(&Capture), VQX_RESULT_OK);
  CThrowingThread Thread;
  ASSERT_EQ(Thread.Start(0), VQX_RESULT_OK);
  ASSERT_TRUE(WaitFor([&] { return Thread.IsRunning() == 0; }));
  EXPECT_EQ(Thread.Stop(1), VQX_RESULT_OK);
  EXPECT_EQ(RemoveLogTraceListener(&Capture), VQX_RESULT_OK);
  const auto aLines = Capture.Lines();
  ASSERT_EQ(aLines.size(), 1u);
  EXPECT_EQ(aLines[0].rfind("CVQCAFThread::Run: ", 0), 0u) << aLines[0];
  EXPECT_NE(aLines[0].find("(82000006) vqcafthread.cpp:"), std::string::npos) << aLines[0];
}

TEST(Thread, ManyPostersOneReceiver) {
  constexpr u32 kPosters = 4, kEach = 500;
  CRecordingThread Thread(32);
  ASSERT_EQ(Thread.Start(1), VQX_RESULT_OK);
  std::vector<std::thread> aPosters;
  for (u32 p = 0; p < kPosters; p++) {
    aPosters.emplace_back([&Thread, p] {
      for (u32 i = 0; i < kEach; i++) {
        for (int n = 0; n < 1000000 && Thread.EventPost(CVQCAFEvent((p << 16) | i)) != VQX_RESULT_OK; n++) {
          std::this_thread::yield();
        }
      }
    });
  }
  for (auto& T : aPosters) T.join();
  ASSERT_TRUE(WaitFor([&] { return Thread.Ids().size() == kPosters * kEach; }));
  EXPECT_EQ(Thread.Stop(1), VQX_RESULT_OK);
  std::vector<u32> aNext(kPosters, 0);
  for (u32 un32Id : Thread.Ids()) {
    const u32 p = un32Id >> 16;
    ASSERT_LT(p, kPosters);
    EXPECT_EQ(un32Id & 0xFFFF, aNext[p]++);  // each poster's events stay in its order
  }
}

}  // namespace
