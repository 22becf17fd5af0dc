/*
 * test_thread_mt.cpp - what runs across threads: CVQCAFPipe bounds and
 * wake-ups, CVQCAFThread life cycle, event order and stop, CVQCAFMutex and
 * its guards, CVQCAFPtr counts and releases, and concurrent CVQCAFFile
 * writers. Every wait is bounded and waits on the event (a thread asleep, a
 * condition), never on a guessed delay.
 */
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/vqcaf_test_support.h"
#include "vqcafdebuginfo.h"
#include "vqcaffile.h"
#include "vqcaflog.h"
#include "vqcafmutex.h"
#include "vqcafpipe.h"
#include "vqcafptr.h"
#include "vqcafthread.h"

using namespace VQCAF;
using vqtest::ReturnsInTime;
using vqtest::WaitFor;

namespace {

/* ------------------------------------------------------------------ pipe */

TEST(Pipe, BoundsTable) {
  const struct {
    const char* pszName;
    u32 un32Capacity;
    u32 un32Posts;
    u32 un32Accepted;  // posts answered 0x02000000
    u32 un32Refusal;   // answer to the posts beyond
  } aRows[] = {
      {"no queue", 0, 3, 0, VQX_RESULT_INVALID_STATE},
      {"one slot", 1, 2, 1, VQX_RESULT_OUT_OF_RESOURCE},
      {"exactly full", 4, 4, 4, VQX_RESULT_OK},
      {"one too many", 4, 5, 4, VQX_RESULT_OUT_OF_RESOURCE},
  };
  for (const auto& R : aRows) {
    CVQCAFPipe<u32> Pipe(R.un32Capacity);
    for (u32 i = 0; i < R.un32Posts; i++) {
      EXPECT_EQ(Pipe.Post(i), i < R.un32Accepted ? VQX_RESULT_OK : R.un32Refusal) << R.pszName << " post " << i;
    }
    EXPECT_EQ(Pipe.GetCount(), R.un32Accepted) << R.pszName;
    EXPECT_TRUE(Pipe.CheckInvariant()) << R.pszName;
  }
  // Past the largest capacity at construction: clamped, not "no queue".
  vqtest::CDiagCapture Capture;
  CVQCAFPipe<u32> Pipe(VQCAF_PIPE_MAX_CAPACITY + 1);
  EXPECT_EQ(Pipe.GetCapacity(), VQCAF_PIPE_MAX_CAPACITY);
  EXPECT_EQ(Pipe.Post(1), VQX_RESULT_OK);
  EXPECT_EQ(Capture.Lines(), std::vector<std::string>({"CVQCAFPipe: capacity 1048577 clamped to 1048576\n"}));
  CVQCAFThread Thread(VQCAF_THREAD_PRIO_DEFAULT, 0xFFFFFFFFu);
  EXPECT_EQ(Thread.EventPost(CVQCAFEvent(3)), VQX_RESULT_OK);
  EXPECT_EQ(Thread.EventGetCount(), 1u);
}

TEST(Pipe, OrderAcrossWrapAroundAndCapacityChanges) {
  CVQCAFPipe<u32> Pipe(3);
  u32 un32Next = 0, un32Expected = 0, un32Value = 0;
  ASSERT_EQ(Pipe.Post(un32Next++), VQX_RESULT_OK);
  ASSERT_EQ(Pipe.Post(un32Next++), VQX_RESULT_OK);
  for (int i = 0; i < 20; i++) {  // 2 stay queued while 20 go through: head and tail wrap
    ASSERT_EQ(Pipe.Post(un32Next++), VQX_RESULT_OK);
    ASSERT_EQ(Pipe.Wait(&un32Value, 0), VQX_RESULT_OK);
    EXPECT_EQ(un32Value, un32Expected++);
    EXPECT_TRUE(Pipe.CheckInvariant());
  }
  ASSERT_EQ(Pipe.Post(un32Next++), VQX_RESULT_OK);  // full, wrapped storage
  EXPECT_EQ(Pipe.SetCapacity(2), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(Pipe.SetCapacity(VQCAF_PIPE_MAX_CAPACITY + 1), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Pipe.GetCapacity(), 3u);
  ASSERT_EQ(Pipe.SetCapacity(5), VQX_RESULT_OK);
  while (Pipe.Wait(&un32Value, 0) == VQX_RESULT_OK) EXPECT_EQ(un32Value, un32Expected++);
  EXPECT_EQ(un32Expected, un32Next);
  EXPECT_TRUE(Pipe.CheckInvariant());
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
  // Wake releases a waiter blocked with no time-out.
  std::atomic<pid_t> nTid{0};
  std::atomic<u32> un32Answer{0};
  std::thread Waiter([&] {
    nTid = gettid();
    un32Answer = Pipe.Wait(&un32Value, VQCAF_PIPE_WAIT_FOREVER);
  });
  EXPECT_TRUE(vqtest::WaitBlocked(nTid));
  Pipe.Wake();
  const bool fReturned = WaitFor([&] { return un32Answer.load() != 0; });
  if (!fReturned) Pipe.Post(0);  // let the thread end before failing
  Waiter.join();
  EXPECT_EQ(un32Answer.load(), VQCAF_PIPE_RESULT_AWAKENED);
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

/* Runs one function as its Run; the thread's kernel id is kept. */
class CFunctionThread : public CVQCAFThread {
 public:
  template <typename F>
  explicit CFunctionThread(F f) : CVQCAFThread(VQCAF_THREAD_PRIO_DEFAULT, 4), mRun(f) {}
  ~CFunctionThread() override { Stop(1); }
  void Run() override {
    mnTid = gettid();
    mRun(*this);
  }
  using CVQCAFThread::EventWait;
  using CVQCAFThread::IsStopRequested;
  std::function<void(CFunctionThread&)> mRun;
  std::atomic<pid_t> mnTid{0};
  std::atomic<u32> mun32A{0}, mun32B{0}, mun32Passes{0};
};

TEST(Thread, StopWhileWaitingOnItsQueueWithoutLimit) {
  CFunctionThread Thread([](CFunctionThread& T) {
    CVQCAFEvent Event;
    while (T.IsStopRequested() == 0) {
      T.mun32A = T.EventWait(&Event, VQCAF_PIPE_WAIT_FOREVER);
      T.mun32Passes++;
    }
  });
  ASSERT_EQ(Thread.Start(1), VQX_RESULT_OK);
  EXPECT_NE(Thread.IsRunning(), 0u);
  ASSERT_TRUE(vqtest::WaitBlocked(Thread.mnTid));
  EXPECT_EQ(Thread.mun32Passes.load(), 0u);  // it sleeps, it does not spin
  u32 un32Result = 0;
  ASSERT_TRUE(ReturnsInTime([&] { un32Result = Thread.Stop(1); }));
  EXPECT_EQ(un32Result, VQX_RESULT_OK);
  EXPECT_EQ(Thread.IsRunning(), 0u);
  EXPECT_EQ(Thread.mun32A.load(), VQCAF_PIPE_RESULT_AWAKENED);
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
  CVQCAFEvent Event;
  EXPECT_EQ(Thread.EventPost(CVQCAFEvent(1)), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(Thread.EventWait(nullptr, 0), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(Thread.EventWait(&Event, 0), VQX_RESULT_TIMEOUT);
  ASSERT_EQ(Thread.Start(1), VQX_RESULT_OK);
  ASSERT_TRUE(ReturnsInTime([&] { Thread.Stop(1); }));
  EXPECT_EQ(Thread.IsRunning(), 0u);
  ASSERT_EQ(Thread.SetEventQlen(2), VQX_RESULT_OK);
  EXPECT_EQ(Thread.EventPost(CVQCAFEvent(1)), VQX_RESULT_OK);
}

TEST(Thread, LifeCycleAndPriorityClasses) {
  CRecordingThread Thread(2);
  EXPECT_NE(Thread.IsStopRequested(), 0u);   // set before the first Start
  EXPECT_EQ(Thread.Stop(1), VQX_RESULT_OK);  // never started: at once
  EXPECT_EQ(Thread.SetPrio(static_cast<_VQCAF_THREAD_PRIO>(0)), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Thread.SetPrio(static_cast<_VQCAF_THREAD_PRIO>(5)), VQX_RESULT_INVALID_PARAM);
  ASSERT_EQ(Thread.Start(1), VQX_RESULT_OK);
  EXPECT_EQ(Thread.IsStopRequested(), 0u);
  EXPECT_EQ(Thread.Start(0), VQX_RESULT_INVALID_STATE);  // no second thread
  // Real-time classes fall back silently where the process may not use them.
  EXPECT_EQ(Thread.SetPrio(VQCAF_THREAD_PRIO_RT_LOW), VQX_RESULT_OK);
  EXPECT_EQ(Thread.SetPrio(VQCAF_THREAD_PRIO_DEFAULT), VQX_RESULT_OK);
  EXPECT_EQ(Thread.Stop(0), VQX_RESULT_OK);  // request only
  EXPECT_NE(Thread.IsStopRequested(), 0u);
  ASSERT_TRUE(WaitFor([&] { return Thread.IsRunning() == 0; }));
  ASSERT_EQ(Thread.Start(1), VQX_RESULT_OK);  // a restart joins the old thread
  ASSERT_EQ(Thread.EventPost(CVQCAFEvent(5)), VQX_RESULT_OK);
  ASSERT_TRUE(WaitFor([&] { return Thread.Ids().size() == 1; }));
  EXPECT_EQ(Thread.Stop(1), VQX_RESULT_OK);
  static_assert(VQCAF_THREAD_PRIO_DEFAULT == 1);  // callers pass 1 for default scheduling
  CVQCAFThread RealTime(VQCAF_THREAD_PRIO_RT_HIGH, 0);
  EXPECT_EQ(RealTime.Start(1), VQX_RESULT_OK);
  EXPECT_EQ(RealTime.Stop(1), VQX_RESULT_OK);
}

TEST(Thread, RunsOnAOneMebibyteStackAndMayStopItself) {
  std::atomic<size_t> nStackSize{0};
  CFunctionThread Thread([&nStackSize](CFunctionThread& T) {
    pthread_attr_t Attr;
    size_t nSize = 0;
    if (pthread_getattr_np(pthread_self(), &Attr) == 0) {
      pthread_attr_getstacksize(&Attr, &nSize);
      pthread_attr_destroy(&Attr);
    }
    nStackSize = nSize;
    T.mun32A = T.Stop(1);  // with wait, from its own thread: must not wait for itself
  });
  ASSERT_EQ(Thread.Start(0), VQX_RESULT_OK);
  ASSERT_TRUE(WaitFor([&] { return Thread.IsRunning() == 0; }));
  EXPECT_EQ(nStackSize.load(), 0x100000u);
  EXPECT_EQ(Thread.mun32A.load(), VQX_RESULT_OK);
  EXPECT_NE(Thread.IsStopRequested(), 0u);
  EXPECT_EQ(Thread.Stop(1), VQX_RESULT_OK);  // joins the ended thread
}

TEST(Thread, OwnControlsFromRunDoNotBlockAStop) {
  CFunctionThread Thread([](CFunctionThread& T) {
    while (T.IsStopRequested() == 0) {
      T.mun32A = T.SetPrio(VQCAF_THREAD_PRIO_DEFAULT);
      T.mun32B = T.Start(0);
      T.mun32Passes++;
    }
  });
  ASSERT_EQ(Thread.Start(1), VQX_RESULT_OK);
  ASSERT_TRUE(WaitFor([&] { return Thread.mun32Passes.load() > 10; }));
  ASSERT_TRUE(ReturnsInTime([&] { Thread.Stop(1); }));
  EXPECT_EQ(Thread.IsRunning(), 0u);
  EXPECT_EQ(Thread.mun32A.load(), VQX_RESULT_OK);
  EXPECT_EQ(Thread.mun32B.load(), VQX_RESULT_INVALID_STATE);
}

TEST(Thread, ExceptionEscapingRunIsLoggedOnceAndEndsTheThread) {
  vqtest::CCaptureListener Capture;
  ASSERT_EQ(AddLogTraceListener(&Capture), VQX_RESULT_OK);
  CFunctionThread Thread([](CFunctionThread&) { throw std::out_of_range("index"); });
  ASSERT_EQ(Thread.Start(0), VQX_RESULT_OK);
  ASSERT_TRUE(WaitFor([&] { return Thread.IsRunning() == 0; }));
  EXPECT_EQ(Thread.Stop(1), VQX_RESULT_OK);
  EXPECT_EQ(RemoveLogTraceListener(&Capture), VQX_RESULT_OK);
  const auto aLines = Capture.Take();
  ASSERT_EQ(aLines.size(), 1u);
  EXPECT_EQ(aLines[0].un32Level, static_cast<u32>(VQERR));
  EXPECT_EQ(aLines[0].strText.rfind("CVQCAFThread::Run: ", 0), 0u) << aLines[0].strText;
  EXPECT_NE(aLines[0].strText.find("(82000006) vqcafthread.cpp:"), std::string::npos) << aLines[0].strText;
}

TEST(Thread, ManyPostersOneReceiverKeepEachOrderAndLoseNothing) {
  constexpr u32 kPosters = 4, kEach = 2000;
  CRecordingThread Thread(16);
  ASSERT_EQ(Thread.Start(1), VQX_RESULT_OK);
  std::vector<std::thread> aPosters;
  for (u32 p = 0; p < kPosters; p++) {
    aPosters.emplace_back([&Thread, p] {
      for (u32 i = 0; i < kEach; i++) {  // a full queue refuses: retry, bounded
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
    ASSERT_EQ(un32Id & 0xFFFF, aNext[p]++);
  }
}

/* ----------------------------------------------------------------- mutex */

TEST(Mutex, ExclusionAcrossThreadsWithRecursion) {
  CVQCAFMutex Mutex;
  u64 un64Counter = 0;  // guarded by Mutex only
  std::vector<std::thread> Threads;
  for (int t = 0; t < 4; ++t) {
    Threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        CVQCAFMutexAutoGetGive Lock(&Mutex);
        CVQCAFMutexAutoGetGive Again(&Mutex);
        ++un64Counter;
      }
    });
  }
  for (auto& t : Threads) t.join();
  EXPECT_EQ(un64Counter, 80000u);
  EXPECT_EQ(Mutex.GetHeldCount(), 0u);
  CVQCAFMutex* pGlobal = nullptr;  // one global mutex for every thread
  std::thread([&] { pGlobal = GetGlobalMutex(); }).join();
  EXPECT_EQ(pGlobal, GetGlobalMutex());
  ASSERT_NE(pGlobal, nullptr);
}

TEST(Mutex, GiveByNonHolderIsRefusedAndNullsAreNothing) {
  CVQCAFMutex Mutex;
  EXPECT_EQ(Mutex.Give(), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(CVQCAFMutexGetPrivate(&Mutex, __FILE__, __LINE__), VQX_RESULT_OK);
  VQX_RESULT un32Other = VQX_RESULT_OK;
  std::thread([&] { un32Other = CVQCAFMutexGivPrivate(&Mutex, __FILE__, __LINE__); }).join();
  EXPECT_EQ(un32Other, VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(Mutex.GetHeldCount(), 1u);
  EXPECT_EQ(CVQCAFMutexGetPrivate(nullptr), VQX_RESULT_OK);
  EXPECT_EQ(CVQCAFMutexGivPrivate(nullptr), VQX_RESULT_OK);
  {  // null guards leave a mutex the thread holds alone, in both directions
    CVQCAFMutexAutoGetGive NullLock(nullptr);
    CVQCAFMutexAutoGiveGet NullRelease(nullptr);
    EXPECT_EQ(Mutex.GetHeldCount(), 1u);
  }
  EXPECT_EQ(Mutex.GetHeldCount(), 1u);
  EXPECT_EQ(CVQCAFMutexGivPrivate(&Mutex), VQX_RESULT_OK);
  {
    CVQCAFMutexAutoGiveGet Released(&Mutex);  // not held: changes nothing
    EXPECT_EQ(Mutex.GetHeldCount(), 0u);
  }
  EXPECT_EQ(Mutex.GetHeldCount(), 0u);
}

TEST(Mutex, GiveGetReleasesEveryLevelAndRetakesThem) {
  CVQCAFMutex Mutex;
  for (int i = 0; i < 3; ++i) Mutex.Get();
  {
    CVQCAFMutexAutoGiveGet Released(&Mutex);
    EXPECT_EQ(Mutex.GetHeldCount(), 0u);
    std::thread([&] { CVQCAFMutexAutoGetGive Lock(&Mutex); }).join();  // another thread can take it
  }
  EXPECT_EQ(Mutex.GetHeldCount(), 3u);
  // While we hold it again, another thread waits until the last level is given.
  std::atomic<pid_t> nTid{0};
  std::atomic<bool> fTaken{false};
  std::thread Waiter([&] {
    nTid = gettid();
    CVQCAFMutexAutoGetGive Lock(&Mutex);
    fTaken = true;
  });
  EXPECT_TRUE(vqtest::WaitBlocked(nTid));
  Mutex.Give();
  Mutex.Give();
  EXPECT_FALSE(fTaken.load());
  Mutex.Give();
  EXPECT_TRUE(WaitFor([&] { return fTaken.load(); }));
  Waiter.join();
}

/* ------------------------------------------------------- shared pointer */

std::atomic<int> g_nDestroyed{0};

struct CObject {
  virtual ~CObject() { ++g_nDestroyed; }
};
struct CDerivedObject : CObject {
  ~CDerivedObject() override { ++g_nDestroyed; }
};

TEST(Ptr, CountsFollowCopiesAndReleases) {
  g_nDestroyed = 0;
  CVQCAFPtr<CObject> a(new CObject);
  EXPECT_EQ(a.GetAllocType(), VQCAF_PTR_ALLOC_NEW);
  {
    CVQCAFPtr<CObject> b = a, c;
    c = b;
    EXPECT_EQ(a.GetRefCount(), 3u);
    EXPECT_EQ(c.Get(), a.Get());
    CVQCAFPtr<CObject> d(std::move(c));
    EXPECT_TRUE(c.IsNull());
    EXPECT_EQ(a.GetRefCount(), 3u);
  }
  EXPECT_EQ(a.GetRefCount(), 1u);
  EXPECT_EQ(g_nDestroyed, 0);
  a = new CObject;  // drops the first object
  EXPECT_EQ(g_nDestroyed, 1);
  EXPECT_EQ(a.GetRefCount(), 1u);
  a.Release();
  EXPECT_EQ(g_nDestroyed, 2);
  EXPECT_TRUE(a.IsNull());
  a.Release();  // empty: nothing
  CVQCAFPtr<CObject> e = a;
  EXPECT_EQ(e.GetRefCount(), 0u);
  CVQCAFPtr<CDerivedObject> Derived(new CDerivedObject);  // a base shares it
  CVQCAFPtr<CObject> Base(Derived);
  EXPECT_EQ(Derived.GetRefCount(), 2u);
  Derived.Release();
  EXPECT_EQ(g_nDestroyed, 2);
  Base.Release();
  EXPECT_EQ(g_nDestroyed, 4);  // derived and base destructors
}

TEST(Ptr, AllocatorKinds) {
  vqtest::CDiagCapture Capture;
  g_nDestroyed = 0;
  {
    CVQCAFPtr<int> m(static_cast<int*>(malloc(sizeof(int))), VQCAF_PTR_ALLOC_MALLOC);  // ASan checks the pairing
  }
  const u32 un32Live = VqcafGetGuardedAllocationCount();
  {
    CVQCAFPtr<CObject> g(VQCAF_NEW(CObject), VQCAF_PTR_ALLOC_VQCAF_NEW);
    EXPECT_EQ(VqcafGetGuardedAllocationCount(), un32Live + 1);
  }
  EXPECT_EQ(VqcafGetGuardedAllocationCount(), un32Live);
  EXPECT_EQ(g_nDestroyed, 1);
  EXPECT_TRUE(Capture.Lines().empty());
  CObject Local;
  {
    CVQCAFPtr<CObject> u(&Local, VQCAF_PTR_ALLOC_UNKNOWN);  // must not free a stack object
    CVQCAFPtr<CObject> v(&Local, 7u);
  }
  ASSERT_EQ(Capture.Lines().size(), 2u);
  EXPECT_EQ(Capture.Lines()[0], "CVQCAFPtr: Unknown allocator type, can't free!");
  EXPECT_EQ(g_nDestroyed, 1);
  // A guarded kind given an object not made by VQCAF_NEW: refused and reported, not freed.
  CObject* pForeign = new CObject;
  { CVQCAFPtr<CObject> f(pForeign, VQCAF_PTR_ALLOC_VQCAF_NEW); }
  ASSERT_EQ(Capture.Lines().size(), 3u);
  EXPECT_NE(Capture.Lines()[2].find("Corrupted buffer"), std::string::npos);
  delete pForeign;
}

/* Looks, while being destroyed, at the global mutex and at a pointer it holds. */
struct CInspector {
  explicit CInspector(u32* pun32Held) : pun32GlobalHeld(pun32Held) {}
  ~CInspector() {
    *pun32GlobalHeld = GetGlobalMutex()->GetHeldCount();
    std::thread([this] { CVQCAFPtr<CObject> Copy = Inner; }).join();  // counts may change meanwhile
    Inner.Release();  // the last reference of the inner object, from inside
  }
  CVQCAFPtr<CObject> Inner;
  u32* pun32GlobalHeld;
};

TEST(Ptr, LastReleaseFreesWithTheGlobalMutexGivenBack) {
  g_nDestroyed = 0;
  u32 un32Held = 0xFFFFFFFFu;
  {
    CVQCAFPtr<CInspector> Outer(new CInspector(&un32Held));
    Outer->Inner = new CObject;
    CVQCAFPtr<CInspector> Second = Outer;
    Outer.Release();
    EXPECT_EQ(un32Held, 0xFFFFFFFFu);  // one reference left: not destroyed
  }
  EXPECT_EQ(un32Held, 0u);  // the global mutex was not held during the deletion
  EXPECT_EQ(g_nDestroyed, 1);
  EXPECT_EQ(GetGlobalMutex()->GetHeldCount(), 0u);
}

TEST(Ptr, ConcurrentCopiesAndTheLastReleaseOnAnyThreadFreeOnce) {
  for (int nRound = 0; nRound < 20; ++nRound) {
    g_nDestroyed = 0;
    std::vector<std::thread> Threads;
    {
      CVQCAFPtr<CObject> Shared(new CObject);
      for (int t = 0; t < 4; ++t) {
        CVQCAFPtr<CObject> Mine = Shared;  // each thread's own reference, taken here
        Threads.emplace_back([Mine]() mutable {
          for (int i = 0; i < 500; ++i) {
            CVQCAFPtr<CObject> Copy = Mine, Second;
            Second = Copy;
            Copy.Release();
          }
          Mine.Release();
        });
      }
    }  // Shared goes first: one of the threads makes the last release
    for (auto& t : Threads) t.join();
    ASSERT_EQ(g_nDestroyed, 1) << nRound;
  }
}

/* ------------------------------------------------------------------ file */

TEST(File, ConcurrentWritersKeepLinesWhole) {
  vqtest::CTempDir Dir;
  CVQCAFFile File;
  ASSERT_EQ(File.Open(Dir.Path("mt.log").c_str(), "w"), VQX_RESULT_OK);
  std::vector<std::thread> Threads;
  for (char c : {'a', 'b', 'c', 'd'}) {
    Threads.emplace_back([&File, c] {
      CVQCAFString strLine((std::string(100, c) + "\n").c_str());
      for (int i = 0; i < 200; ++i) File.Write(strLine);
    });
  }
  for (auto& t : Threads) t.join();
  File.Close();
  const std::string s = vqtest::ReadFile(Dir.Path("mt.log"));
  ASSERT_EQ(s.size(), 4u * 200u * 101u);
  for (size_t i = 0; i < s.size(); i += 101) ASSERT_EQ(s.substr(i, 101), std::string(100, s[i]) + "\n") << i;
}

}  // namespace
