/*
 * test_filter_destroy_mt.cpp - a filter destroyed while readers are blocked
 * on it: the destroy does not wait for them, the record outlives every
 * reader still inside (held back after its wake-up by a hook, or by the
 * library lock), each returns 0x82010208, and the last one out frees the
 * record (the sanitizers see any use after free or leak). Every wait is
 * bounded.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "support/hostlib_fixture.h"
#include "vqx_filter_internal.h"

namespace {

constexpr u32 kId = 0x06000021u;
constexpr u32 kLocal = 0xDA000001u;
using Clock = std::chrono::steady_clock;

/* Holds readers of one filter after their wake-up, before they take the lock back, until let go. */
class ReaderGate {
 public:
  static ReaderGate& Get() {
    static ReaderGate gate;
    return gate;
  }
  void Arm(VQX_FILTER_HANDLE hFilter) {
    std::lock_guard<std::mutex> lock(mMutex);
    mhFilter = hFilter;
    mun32Held = 0;
    mun32Passes = 0;
    VqxFilterSetReaderWokenHook(&ReaderGate::Hook);
  }
  void Disarm() {
    VqxFilterSetReaderWokenHook(nullptr);
    std::lock_guard<std::mutex> lock(mMutex);
    mhFilter = nullptr;
    mun32Passes = 1000;
    mCond.notify_all();
  }
  /* Lets n held readers go on. */
  void Let(u32 n) {
    std::lock_guard<std::mutex> lock(mMutex);
    mun32Passes += n;
    mCond.notify_all();
  }
  bool WaitHeld(u32 n) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mCond.wait_for(lock, std::chrono::seconds(10), [&] { return mun32Held >= n; });
  }

 private:
  static void Hook(VQX_FILTER_HANDLE hFilter) {
    ReaderGate& g = Get();
    std::unique_lock<std::mutex> lock(g.mMutex);
    if (hFilter != g.mhFilter) return;
    g.mun32Held++;
    g.mCond.notify_all();
    g.mCond.wait_for(lock, std::chrono::seconds(10), [&] { return g.mun32Passes != 0; });
    if (g.mun32Passes != 0) g.mun32Passes--;
  }
  std::mutex mMutex;
  std::condition_variable mCond;
  VQX_FILTER_HANDLE mhFilter = nullptr;
  u32 mun32Held = 0;
  u32 mun32Passes = 0;
};

class FilterDestroyMtTest : public HostLibTest {
 protected:
  void TearDown() override {
    ReaderGate::Get().Disarm();
    HostLibTest::TearDown();
  }
  VQX_FILTER_HANDLE Filter() { return HostLibTest::Filter({FilterSet(VQX_FILTER_MASK_MSG_ID, kId)}); }
  /* Waits until n readers sleep on the filter's event (not polling any more). */
  bool WaitBlocked(VQX_FILTER_HANDLE h, u32 n) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
      const u32 un32Waiters = Locked(mhLib, [&] { return h->un32Waiters; });
      if (un32Waiters >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
  /* The library goes on working while readers of the destroyed filter are held. */
  void UseLibrary() {
    VQX_FILTER_HANDLE h = Filter();
    ASSERT_EQ(Send(kId, kLocal), VQX_RESULT_API_OK);
    EXPECT_EQ(Drain(h), 1u);
    EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
  }
};

TEST_F(FilterDestroyMtTest, DestroyDoesNotWaitForAReaderThatHasNotRunYet) {
  VQX_FILTER_HANDLE h = Filter();
  ReaderGate::Get().Arm(h);
  std::atomic<VQX_RESULT> result{0};
  std::thread reader([&, hFilter = h] {
    VQX_MSG_HANDLE hGot = nullptr;
    result = VQXReceiveMsg(mhLib, hFilter, 20000, &hGot);
  });
  ASSERT_TRUE(WaitBlocked(h, 1));
  VQX_FILTER_HANDLE hKept = h;
  const auto t0 = Clock::now();
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
  EXPECT_EQ(h, nullptr);
  ASSERT_TRUE(ReaderGate::Get().WaitHeld(1));
  /* The handle is already refused while its reader is still inside. */
  EXPECT_EQ(VQXWakeMsgFilter(mhLib, hKept), VQX_RESULT_API_INVALID_FIL_HANDLE);
  UseLibrary();
  EXPECT_EQ(result.load(), 0u);
  ReaderGate::Get().Let(1);
  reader.join();
  EXPECT_EQ(result.load(), VQX_RESULT_API_INVALID_FIL_HANDLE);
}

TEST_F(FilterDestroyMtTest, TwoReadersTheLastOneOutFreesTheRecord) {
  VQX_FILTER_HANDLE h = Filter();
  ReaderGate::Get().Arm(h);
  std::atomic<VQX_RESULT> aResult[2] = {{0}, {0}};
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; i++) {
    readers.emplace_back([&, i, hFilter = h] {
      u32 n = 0;
      aResult[i] = VQXWaitMsg(mhLib, hFilter, 20000, &n);
    });
  }
  ASSERT_TRUE(WaitBlocked(h, 2));
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
  ASSERT_TRUE(ReaderGate::Get().WaitHeld(2));
  ReaderGate::Get().Let(1);
  /* One reader leaves; the other is still held, inside the record. */
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (aResult[0].load() == 0 && aResult[1].load() == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_TRUE(aResult[0].load() == 0 || aResult[1].load() == 0);
  UseLibrary();
  ReaderGate::Get().Let(1);
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(aResult[0].load(), VQX_RESULT_API_INVALID_FIL_HANDLE);
  EXPECT_EQ(aResult[1].load(), VQX_RESULT_API_INVALID_FIL_HANDLE);
}

TEST_F(FilterDestroyMtTest, ReaderHeldByTheLibraryLockAcrossTheDestroy) {
  VQX_FILTER_HANDLE h = Filter();
  std::atomic<VQX_RESULT> result{0};
  std::thread reader([&, hFilter = h] {
    VQX_MSG_HANDLE hGot = nullptr;
    result = VQXReceiveMsg(mhLib, hFilter, 20000, &hGot);
  });
  ASSERT_TRUE(WaitBlocked(h, 1));
  /* Destroyed under an outer hold of the lock: the woken reader cannot run until it is given up. */
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(result.load(), 0u);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  reader.join();
  EXPECT_EQ(result.load(), VQX_RESULT_API_INVALID_FIL_HANDLE);
}

TEST_F(FilterDestroyMtTest, ReaderAboutToPollOrSleepWhileDestroysRepeat) {
  /* Destroys land at any point of a reader's poll, sleep or lock retake. */
  for (int round = 0; round < 200; round++) {
    VQX_FILTER_HANDLE h = Filter();
    std::atomic<VQX_RESULT> result{0};
    std::thread reader([&, hFilter = h] {
      VQX_MSG_HANDLE hGot = nullptr;
      result = VQXReceiveMsg(mhLib, hFilter, 20000, &hGot);
    });
    std::this_thread::sleep_for(std::chrono::microseconds((round % 10) * 20));
    EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
    reader.join();
    ASSERT_EQ(result.load(), VQX_RESULT_API_INVALID_FIL_HANDLE) << "round " << round;
  }
}

}  // namespace
