// CVQCAFMutex and its guards across threads: exclusion, recursion, the
// give-all-and-retake guard, null mutexes. Every wait is bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "vqcafmutex.h"

using namespace VQCAF;

namespace {

// Waits until pred() holds or 5 s have passed.
template <class P>
bool WaitFor(P pred) {
  auto End = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > End) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

TEST(Mutex, ExclusionAcrossThreads) {
  CVQCAFMutex Mutex;
  u64 un64Counter = 0;  // guarded by Mutex only
  std::vector<std::thread> Threads;
  for (int t = 0; t < 4; ++t) {
    Threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        CVQCAFMutexAutoGetGive Lock(&Mutex);
        CVQCAFMutexAutoGetGive Again(&Mutex);  // recursive
        ++un64Counter;
      }
    });
  }
  for (auto& t : Threads) t.join();
  EXPECT_EQ(un64Counter, 80000u);
  EXPECT_EQ(Mutex.GetHeldCount(), 0u);
}

TEST(Mutex, GiveByNonHolderIsRefused) {
  CVQCAFMutex Mutex;
  EXPECT_EQ(Mutex.Give(), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(CVQCAFMutexGetPrivate(&Mutex, __FILE__, __LINE__), VQX_RESULT_OK);
  EXPECT_EQ(Mutex.GetHeldCount(), 1u);
  VQX_RESULT un32Other = VQX_RESULT_OK;
  std::thread([&] { un32Other = CVQCAFMutexGivPrivate(&Mutex, __FILE__, __LINE__); }).join();
  EXPECT_EQ(un32Other, VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(Mutex.GetHeldCount(), 1u);
  EXPECT_EQ(CVQCAFMutexGivPrivate(&Mutex), VQX_RESULT_OK);
  EXPECT_EQ(CVQCAFMutexGetPrivate(nullptr), VQX_RESULT_OK);
  EXPECT_EQ(CVQCAFMutexGivPrivate(nullptr), VQX_RESULT_OK);
}

TEST(Mutex, GiveGetReleasesEveryLevelAndRetakesThem) {
  CVQCAFMutex Mutex;
  std::atomic<int> nState{0};
  Mutex.Get();
  Mutex.Get();
  Mutex.Get();
  {
    CVQCAFMutexAutoGiveGet Released(&Mutex);
    EXPECT_EQ(Mutex.GetHeldCount(), 0u);
    // Another thread can now take it (and gives it back).
    std::thread Other([&] {
      CVQCAFMutexAutoGetGive Lock(&Mutex);
      nState = 1;
    });
    EXPECT_TRUE(WaitFor([&] { return nState.load() == 1; }));
    Other.join();
  }
  EXPECT_EQ(Mutex.GetHeldCount(), 3u);
  // While we hold it again, another thread must wait.
  std::atomic<bool> fTaken{false};
  std::thread Waiter([&] {
    CVQCAFMutexAutoGetGive Lock(&Mutex);
    fTaken = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(fTaken.load());
  Mutex.Give();
  Mutex.Give();
  EXPECT_FALSE(fTaken.load());
  Mutex.Give();
  EXPECT_TRUE(WaitFor([&] { return fTaken.load(); }));
  Waiter.join();
}

TEST(Mutex, GiveGetOnMutexNotHeldChangesNothing) {
  CVQCAFMutex Mutex;
  {
    CVQCAFMutexAutoGiveGet Released(&Mutex);
    EXPECT_EQ(Mutex.GetHeldCount(), 0u);
  }
  EXPECT_EQ(Mutex.GetHeldCount(), 0u);
  // Null guards leave a mutex the thread holds alone, in both directions.
  Mutex.Get();
  {
    CVQCAFMutexAutoGetGive NullLock(nullptr);
    CVQCAFMutexAutoGiveGet NullRelease(nullptr);
    EXPECT_EQ(Mutex.GetHeldCount(), 1u);
  }
  EXPECT_EQ(Mutex.GetHeldCount(), 1u);
  EXPECT_EQ(Mutex.Give(), VQX_RESULT_OK);
}

TEST(Mutex, GlobalMutexIsOneObject) {
  CVQCAFMutex* p = GetGlobalMutex();
  CVQCAFMutex* q = nullptr;
  std::thread([&] { q = GetGlobalMutex(); }).join();
  EXPECT_EQ(p, q);
  ASSERT_NE(p, nullptr);
  CVQCAFMutexAutoGetGive Lock(p);
  EXPECT_EQ(p->GetHeldCount(), 1u);
}
