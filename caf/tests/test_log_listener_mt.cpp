/*
 * test_log_listener_mt.cpp - trace listeners under several logging threads:
 * each receives exactly the lines that pass, a listener that takes a lock of
 * its own cannot dead-lock the threads that log, and removal waits for the
 * calls in progress.
 */
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_log_support.h"
#include "vqcaflog.h"

using namespace VQCAF;

namespace {

constexpr auto kBound = std::chrono::seconds(10);

TEST(LogListener, EachThreadsPassingLinesArriveExactlyOnce) {
  constexpr u32 kThreads = 4, kEach = 3000;
  logtest::CTempDir Dir;
  CVQCAFLogParams Params;
  Params.mstrBaseName = (Dir.Path() + "/listen").c_str();
  Params.maun32SubModTraceLevel[VQCAF_SUBMODULE_APP01] = VQLV2;
  ASSERT_EQ(InitLog(Params), VQX_RESULT_OK);
  logtest::CCaptureListener Listener;
  ASSERT_EQ(AddLogTraceListener(&Listener), VQX_RESULT_OK);
  std::vector<std::thread> aThreads;
  for (u32 t = 0; t < kThreads; t++) {
    aThreads.emplace_back([t] {
      for (u32 i = 0; i < kEach; i++) {
        // Alternately hidden (level 1) and shown (level 2).
        SubModLogTrace(VQCAF_SUBMODULE_APP01, (i & 1) ? VQLV2 : VQLV1, "%u %u", t, i);
      }
    });
  }
  for (auto& T : aThreads) T.join();
  EXPECT_EQ(RemoveLogTraceListener(&Listener), VQX_RESULT_OK);
  ASSERT_EQ(UninitLog(), VQX_RESULT_OK);

  std::vector<u32> aNext(kThreads, 1);
  const auto aLines = Listener.Take();
  ASSERT_EQ(aLines.size(), kThreads * kEach / 2);
  for (const auto& L : aLines) {
    u32 t = 0, i = 0;
    ASSERT_EQ(sscanf(L.strText.c_str(), "%u %u", &t, &i), 2) << L.strText;
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(i, aNext[t]) << L.strText;  // only odd lines, in each thread's order
    aNext[t] = i + 2;
    EXPECT_EQ(L.un32Level, static_cast<u32>(VQLV2));
  }
}

/* Takes its own (recursive) lock in every call, as a console log would. */
class CLockingListener : public IVQCAFLogTraceListener {
 public:
  void OnLogTrace(_VQX_TRACE_LEVEL, _VQCAF_SUBMODULE_TYPE, const char*, u32) override {
    mun32Waiting++;
    std::lock_guard<std::recursive_mutex> Lock(mMutex);
    mun32Waiting--;
    mun32Calls++;
  }
  std::recursive_mutex mMutex;
  std::atomic<u32> mun32Waiting{0};
  std::atomic<u32> mun32Calls{0};
};

TEST(LogListener, ListenerLockDoesNotDeadLockLoggingThreads) {
  CLockingListener Listener;
  ASSERT_EQ(AddLogTraceListener(&Listener), VQX_RESULT_OK);
  std::atomic<bool> fHeld{false};
  // Holder: takes the listener's lock, waits until another thread is blocked
  // on it inside the listener, then logs itself while still holding it.
  auto Holder = std::async(std::launch::async, [&] {
    std::lock_guard<std::recursive_mutex> Held(Listener.mMutex);
    fHeld = true;
    const auto End = std::chrono::steady_clock::now() + kBound;
    while (Listener.mun32Waiting.load() == 0 && std::chrono::steady_clock::now() < End) std::this_thread::yield();
    LogTrace(VQERR, "while holding the listener's lock");
  });
  while (!fHeld.load()) std::this_thread::yield();
  auto Other = std::async(std::launch::async, [] { LogTrace(VQERR, "from the other thread"); });
  if (Holder.wait_for(kBound) != std::future_status::ready) {
    ADD_FAILURE() << "logging threads dead-locked on the listener registry";
    std::_Exit(1);  // the blocked threads cannot be ended otherwise
  }
  ASSERT_EQ(Other.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(Listener.mun32Calls.load(), 2u);
  EXPECT_EQ(RemoveLogTraceListener(&Listener), VQX_RESULT_OK);
}

/* Blocks in its call until released, to show that removal waits for it. */
class CSlowListener : public IVQCAFLogTraceListener {
 public:
  void OnLogTrace(_VQX_TRACE_LEVEL, _VQCAF_SUBMODULE_TYPE, const char*, u32) override {
    mfInCall = true;
    const auto End = std::chrono::steady_clock::now() + kBound;
    while (!mfRelease.load() && std::chrono::steady_clock::now() < End) std::this_thread::yield();
    mfDone = true;
  }
  std::atomic<bool> mfInCall{false}, mfRelease{false}, mfDone{false};
};

TEST(LogListener, RemovalWaitsForTheCallInProgress) {
  CSlowListener Listener;
  ASSERT_EQ(AddLogTraceListener(&Listener), VQX_RESULT_OK);
  auto Logger = std::async(std::launch::async, [] { LogTrace(VQERR, "slow"); });
  const auto End = std::chrono::steady_clock::now() + kBound;
  while (!Listener.mfInCall.load() && std::chrono::steady_clock::now() < End) std::this_thread::yield();
  ASSERT_TRUE(Listener.mfInCall.load());
  auto Remover = std::async(std::launch::async, [&Listener] { return RemoveLogTraceListener(&Listener); });
  EXPECT_EQ(Remover.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  Listener.mfRelease = true;
  ASSERT_EQ(Remover.wait_for(kBound), std::future_status::ready);
  EXPECT_TRUE(Listener.mfDone.load());  // the call had ended when Remove returned
  EXPECT_EQ(Remover.get(), VQX_RESULT_OK);
  ASSERT_EQ(Logger.wait_for(kBound), std::future_status::ready);
}

}  // namespace
