/*
 * test_thread_mt.cpp - what runs across threads: CVQCAFPipe bounds and
 * wake-ups, CVQCAFThread life cycle, event order and stop, CVQCAFMutex and
 * its guards, CVQCAFPtr counts and releases.
 * Every wait is bounded and waits on the event (a thread asleep, a
 * condition), never on a guessed delay.
 */
#include "support/vqcaf_test_support.h"

namespace {

constexpr u32 OK = VQX_RESULT_OK;
constexpr u32 FULL = VQX_RESULT_OUT_OF_RESOURCE;
constexpr u32 STATE = VQX_RESULT_INVALID_STATE;

TEST(Pipe, BoundsOrderAcrossWrapAroundAndCapacityChanges) {
  EXPECT_EQ(CVQCAFPipe<u32>(0).Post(1), STATE);  // no queue (a full one refuses in Thread.LifeCycleAndFullQueue)
  CVQCAFPipe<u32> Pipe(3);
  u32 un32Next = 0;
  u32 un32Expected = 0;
  u32 un32Value = 0;
  for (int i = 0; i < 22; i++) {  // 2 stay queued while 20 go through: head and tail wrap
    ASSERT_EQ(Pipe.Post(un32Next++), OK);
    if (i < 2) continue;
    ASSERT_EQ(Pipe.Wait(&un32Value, 0), OK) << i;
    EXPECT_EQ(un32Value, un32Expected++) << i;
    EXPECT_TRUE(Pipe.CheckInvariant()) << i;
  }
  ASSERT_EQ(Pipe.Post(un32Next++), OK);   // the last slot
  EXPECT_EQ(Pipe.SetCapacity(2), STATE);  // below the count
  EXPECT_EQ(Pipe.SetCapacity(VQCAF_PIPE_MAX_CAPACITY + 1), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Pipe.SetCapacity(5), OK);  // grows the wrapped storage
  while (Pipe.Wait(&un32Value, 0) == OK) EXPECT_EQ(un32Value, un32Expected++);
  EXPECT_EQ(un32Expected, un32Next);
  CDiagCapture Capture;  // past the largest capacity at construction: clamped, not "no queue"
  EXPECT_EQ(CVQCAFPipe<u32>(VQCAF_PIPE_MAX_CAPACITY + 1).GetCapacity(), VQCAF_PIPE_MAX_CAPACITY);
  EXPECT_EQ(Capture.Texts(), std::vector<std::string>({"CVQCAFPipe: capacity 1048577 clamped to 1048576\n"}));
}

TEST(Pipe, WakeHandsOutWhatIsQueuedFirst) {
  CVQCAFPipe<u32> Pipe(3);
  u32 un32Value = 0;
  ASSERT_EQ(Pipe.Post(7), OK);
  Pipe.Wake();  // a woken pipe still hands out what it holds, then answers "awakened"
  EXPECT_EQ(Pipe.Wait(&un32Value, VQCAF_PIPE_WAIT_FOREVER), OK);
  EXPECT_EQ(un32Value, 7u);
  EXPECT_EQ(Pipe.Wait(&un32Value, VQCAF_PIPE_WAIT_FOREVER), VQCAF_PIPE_RESULT_AWAKENED);
  Pipe.ClearWake();
  EXPECT_EQ(Pipe.Wait(&un32Value, 0), VQX_RESULT_TIMEOUT);
}  // a waiter blocked with no time-out is woken by the thread's Stop (below)

/* Runs a function as its Run, or records the events of the default Run; keeps its kernel id. */
class CTestThread : public CVQCAFThread {
 public:
  explicit CTestThread(u32 un32Qlen, std::function<void(CTestThread&)> Fn = nullptr)
      : CVQCAFThread(VQCAF_THREAD_PRIO_DEFAULT, un32Qlen), mFn(std::move(Fn)) {}
  ~CTestThread() override { Stop(1); }
  void Run() override {
    mnTid = gettid();
    if (mFn) {
      mFn(*this);
    } else {
      CVQCAFThread::Run();
    }
  }
  void OnEvent(CVQCAFEvent* pEvent) override {
    std::lock_guard<std::mutex> Lock(mMutex);
    maIds.push_back(pEvent->GetId());
  }
  size_t Count() {
    std::lock_guard<std::mutex> Lock(mMutex);
    return maIds.size();
  }
  std::function<void(CTestThread&)> mFn;
  std::atomic<pid_t> mnTid{0};
  std::atomic<u32> mun32A{0}, mun32B{0}, mun32Passes{0};
  std::mutex mMutex;
  std::vector<u32> maIds;
};

TEST(Thread, LifeCycleAndFullQueue) {
  CTestThread Thread(8);
  EXPECT_NE(Thread.IsStopRequested(), 0u);  // set before the first Start
  for (u32 i = 0; i < 8; i++) ASSERT_EQ(Thread.EventPost(CVQCAFEvent(i)), OK);
  EXPECT_EQ(Thread.Stop(1), OK);                        // never started
  EXPECT_EQ(Thread.EventPost(CVQCAFEvent(999)), FULL);  // refused, not overwritten
  EXPECT_EQ(Thread.EventGetCount(), 8u);
  ASSERT_EQ(Thread.Start(1), OK);
  EXPECT_EQ(Thread.IsStopRequested(), 0u);
  EXPECT_EQ(Thread.Start(0), STATE);
  ASSERT_TRUE(WaitFor([&] { return Thread.Count() == 8; }));
  EXPECT_EQ(Thread.Stop(0), OK);
  ASSERT_TRUE(WaitFor([&] { return Thread.IsRunning() == 0; }));
  EXPECT_EQ(Thread.Start(1), OK);  // a restart joins the old thread
  EXPECT_EQ(Thread.EventPost(CVQCAFEvent(8)), OK);
  EXPECT_TRUE(WaitFor([&] { return Thread.Count() == 9; }));
}

TEST(Thread, OwnControlsFromRunAndAStopWhileWaitingOnItsQueueWithoutLimit) {
  CTestThread Thread(4, [](CTestThread& T) {
    CVQCAFEvent Event;
    T.mun32A = T.SetPrio(VQCAF_THREAD_PRIO_DEFAULT);  // its own controls, from Run
    T.mun32B = T.Start(0);
    for (; T.IsStopRequested() == 0; T.mun32Passes++) T.mun32A = T.EventWait(&Event, VQCAF_PIPE_WAIT_FOREVER);
  });
  ASSERT_EQ(Thread.Start(1), OK);
  ASSERT_TRUE(WaitFor([&] { return Thread.mun32B.load() != 0; }));  // past its own controls
  ASSERT_TRUE(WaitBlocked(Thread.mnTid));
  EXPECT_EQ(Thread.mun32Passes, 0u);  // it sleeps, it does not spin
  EXPECT_EQ(Thread.mun32A, OK);
  EXPECT_EQ(Thread.mun32B, STATE);
  EndsInTime([&] { Thread.mun32B = Thread.Stop(1); });
  EXPECT_EQ(Thread.mun32B, OK);
  EXPECT_EQ(Thread.IsRunning(), 0u);
  EXPECT_EQ(Thread.mun32A, VQCAF_PIPE_RESULT_AWAKENED);
}

TEST(Thread, StopsItselfAndAnExceptionEscapingRunIsLoggedOnce) {
  CCaptureListener Capture;
  ASSERT_EQ(AddLogTraceListener(&Capture), OK);
  CTestThread Thread(0, [](CTestThread& T) {
    T.mun32A = T.Stop(1);  // with wait, from its own thread: must not wait for itself
    throw std::out_of_range("index");
  });
  ASSERT_EQ(Thread.Start(0), OK);
  ASSERT_TRUE(WaitFor([&] { return Thread.IsRunning() == 0; }));
  EXPECT_EQ(Thread.mun32A, OK);
  EXPECT_EQ(Thread.Stop(1), OK);
  EXPECT_EQ(RemoveLogTraceListener(&Capture), OK);
  const std::vector<std::string> aLines = Capture.Texts();
  ASSERT_EQ(aLines.size(), 1u);
  EXPECT_EQ(aLines[0].rfind("CVQCAFThread::Run: ", 0), 0u) << aLines[0];
  EXPECT_NE(aLines[0].find("(82000006) vqcafthread.cpp:"), std::string::npos) << aLines[0];
}

TEST(Thread, ManyPostersOneReceiverKeepEachOrderAndLoseNothing) {
  constexpr u32 kPosters = 4, kEach = 2000;
  CTestThread Thread(16);
  ASSERT_EQ(Thread.Start(1), OK);
  std::vector<std::thread> aPosters;
  for (u32 p = 0; p < kPosters; p++) {
    aPosters.emplace_back([&Thread, p] {
      for (u32 i = 0; i < kEach; i++) {  // a full queue refuses: retry, bounded
        for (int n = 0; n < 1000000 && Thread.EventPost(CVQCAFEvent((p << 16) | i)) != OK; n++) {
          std::this_thread::yield();
        }
      }
    });
  }
  for (auto& T : aPosters) T.join();
  ASSERT_TRUE(WaitFor([&] { return Thread.Count() == kPosters * kEach; }));
  std::vector<u32> aNext(kPosters, 0);
  for (u32 un32Id : Thread.maIds) ASSERT_EQ(un32Id & 0xFFFF, aNext.at(un32Id >> 16)++) << std::hex << un32Id;
}

TEST(Mutex, ExclusionRecursionRefusalsAndGuards) {
  CVQCAFMutex Mutex;  // taken by many threads at once in the Ptr tests (the global mutex)
  EXPECT_EQ(Mutex.Give(), STATE);  // not held
  Mutex.Get();
  VQX_RESULT un32Other = OK;
  std::thread([&] { un32Other = CVQCAFMutexGivPrivate(&Mutex, __FILE__, __LINE__); }).join();
  EXPECT_EQ(un32Other, STATE);  // given by a thread that does not hold it
  {                             // null guards leave a mutex the thread holds alone, in both directions
    CVQCAFMutexAutoGetGive NullLock(nullptr);
    CVQCAFMutexAutoGiveGet NullRelease(nullptr);
    Mutex.Get();
    Mutex.Get();
  }
  {
    CVQCAFMutexAutoGiveGet Released(&Mutex);
    EXPECT_EQ(Mutex.GetHeldCount(), 0u);
    std::thread([&] { CVQCAFMutexAutoGetGive Lock(&Mutex); }).join();  // another thread can take it
    CVQCAFMutexAutoGiveGet NotHeld(&Mutex);                            // not held: changes nothing
  }
  EXPECT_EQ(Mutex.GetHeldCount(), 3u);
  std::atomic<pid_t> nTid{0};  // held again: another thread waits until the last level is given
  std::atomic<bool> fTaken{false};
  std::thread Waiter = TrackedThread(nTid, [&] {
    CVQCAFMutexAutoGetGive Lock(&Mutex);
    CVQCAFMutexAutoGetGive Again(&Mutex);  // nested guards
    fTaken = Mutex.GetHeldCount() == 2;
  });
  EXPECT_TRUE(WaitBlocked(nTid));
  Mutex.Give();
  Mutex.Give();
  EXPECT_FALSE(fTaken.load());
  Mutex.Give();
  EXPECT_TRUE(WaitFor([&] { return fTaken.load(); }));
  Waiter.join();
}

std::atomic<int> g_nDestroyed{0};

struct CObject {
  virtual ~CObject() { ++g_nDestroyed; }
};

TEST(Ptr, CountsFollowCopiesAndReleasesAndForeignBlocksAreNotFreed) {
  CDiagCapture Capture;
  g_nDestroyed = 0;
  CVQCAFPtr<CObject> a(new CObject);
  CVQCAFPtr<CObject> b = a;
  CVQCAFPtr<CObject> c;
  c = b;
  CVQCAFPtr<CObject> d(std::move(c));
  EXPECT_EQ(a.GetRefCount(), 3u);
  EXPECT_TRUE(c.IsNull());
  b.Release();
  d = new CObject;  // d drops its share of the first object
  EXPECT_EQ(a.GetRefCount(), 1u);
  EXPECT_EQ(g_nDestroyed, 0);
  a.Release();
  a.Release();  // the second release of an empty pointer: nothing
  EXPECT_EQ(g_nDestroyed, 1);
  const u32 un32Live = VqcafGetGuardedAllocationCount();
  CVQCAFPtr<CObject>(VQCAF_NEW(CObject), VQCAF_PTR_ALLOC_VQCAF_NEW).Release();  // VQCAF_DELETE frees it
  EXPECT_EQ(VqcafGetGuardedAllocationCount(), un32Live);
  EXPECT_EQ(g_nDestroyed, 2);
  CObject Local;
  CObject* pForeign = new CObject;
  {
    CVQCAFPtr<CObject> u(&Local, VQCAF_PTR_ALLOC_UNKNOWN);  // must not free a stack object
    CVQCAFPtr<CObject> v(&Local, 7u);
    CVQCAFPtr<CObject> f(pForeign, VQCAF_PTR_ALLOC_VQCAF_NEW);  // not made by VQCAF_NEW: refused, not freed
  }
  const std::vector<std::string> aLines = Capture.Texts();
  ASSERT_EQ(aLines.size(), 3u);
  EXPECT_NE(aLines[0].find("Corrupted buffer"), std::string::npos) << aLines[0];  // the last made goes first
  EXPECT_EQ(aLines[1], "CVQCAFPtr: Unknown allocator type, can't free!");
  EXPECT_EQ(aLines[2], aLines[1]);
  EXPECT_EQ(g_nDestroyed, 2);
  delete pForeign;
}

/* Looks, while being destroyed, at the global mutex and at a pointer it holds. */
struct CInspector {
  ~CInspector() {
    un32GlobalHeld = GetGlobalMutex()->GetHeldCount();
    std::thread([this] { CVQCAFPtr<CObject> Copy = Inner; }).join();  // counts may change meanwhile
    Inner.Release();  // the last reference of the inner object, from inside
  }
  CVQCAFPtr<CObject> Inner;
  static inline u32 un32GlobalHeld = 0xFFFFFFFFu;
};

TEST(Ptr, LastReleaseFreesWithTheGlobalMutexGivenBack) {
  g_nDestroyed = 0;
  {
    CVQCAFPtr<CInspector> Outer(new CInspector);
    CVQCAFPtr<CInspector> Second = Outer;
    Outer->Inner = new CObject;
    Outer.Release();
    EXPECT_EQ(CInspector::un32GlobalHeld, 0xFFFFFFFFu);  // one reference left: not destroyed
  }
  EXPECT_EQ(CInspector::un32GlobalHeld, 0u);  // not held during the deletion
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
        Threads.emplace_back([Mine = Shared]() mutable {  // each thread's own reference, taken here
          for (int i = 0; i < 500; ++i) {
            CVQCAFPtr<CObject> Copy = Mine;
            CVQCAFPtr<CObject> Second;
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

}  // namespace
