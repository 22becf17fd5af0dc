// Thread start-up through the common entry point, and the recursive mutex.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "vqx_thread.h"

namespace {

using namespace std::chrono_literals;

struct Seen {
  const char* pszAwaitedName = "";
  char szName[32] = {};
  size_t stackSize = 0;
  int policy = -1;
  int priority = -1;
  u32 loops = 0;
};

u32 ProbeThread(void* pv) {
  Seen* s = static_cast<Seen*>(pv);
  // The creator names the thread just after it starts: wait for the awaited
  // name, bounded. (A read that races the rename can see a mix of the old and
  // the new name, so "different from before" is not enough.)
  const auto until = std::chrono::steady_clock::now() + 5s;
  do {
    pthread_getname_np(pthread_self(), s->szName, sizeof(s->szName));
  } while (strcmp(s->szName, s->pszAwaitedName) != 0 && std::chrono::steady_clock::now() < until);
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstacksize(&attr, &s->stackSize);
    pthread_attr_destroy(&attr);
  }
  sched_param param{};
  pthread_getschedparam(pthread_self(), &s->policy, &param);
  s->priority = param.sched_priority;
  return 0xC0FFEE01u;
}

TEST(VqxThread, CreateNamesSizesAndJoins) {
  struct Row {
    const char* pszName;
    u32 un32Stack;
    const char* pszExpectedName;
    size_t expectedStack;
  };
  const Row rows[] = {
      {"gwlib_discover", 0, "gwlib_discover", VQX_THREAD_DEFAULT_STACK_SIZE},
      {"exactly15chars_", 0x300000, "exactly15chars_", 0x300000},
      {"a_name_longer_than_fifteen", 0, "a_name_longer_t", VQX_THREAD_DEFAULT_STACK_SIZE},
  };
  for (const auto& row : rows) {
    Seen seen;
    seen.pszAwaitedName = row.pszExpectedName;
    VQX_THREAD_RECORD rec;
    const VQX_THREAD_PARAMS params{row.pszName, row.un32Stack, VQX_THREAD_PRIORITY_NORMAL};
    ASSERT_EQ(VqxThreadCreate(&rec, ProbeThread, &seen, &params), VQX_RESULT_OK) << row.pszName;
    u32 result = 0;
    ASSERT_EQ(VqxThreadJoin(&rec, &result), VQX_RESULT_OK);
    EXPECT_EQ(result, 0xC0FFEE01u);
    EXPECT_STREQ(seen.szName, row.pszExpectedName);
    EXPECT_GE(seen.stackSize, row.expectedStack) << row.pszName;
    EXPECT_EQ(seen.policy, SCHED_OTHER);
    EXPECT_EQ(VqxThreadJoin(&rec, nullptr), VQX_RESULT_INVALID_STATE) << "joined twice";
  }
}

TEST(VqxThread, RealTimeClassAppliedOrSilentlyDefault) {
  const int nMin = sched_get_priority_min(SCHED_RR);
  const int nMax = sched_get_priority_max(SCHED_RR);
  struct Row {
    u32 un32Class;
    int expectedPriority;
  };
  const Row rows[] = {{VQX_THREAD_PRIORITY_RT_LOW, nMin},
                      {VQX_THREAD_PRIORITY_RT_MID, nMin + (nMax - nMin) / 2},
                      {VQX_THREAD_PRIORITY_RT_HIGH, nMax - 1}};
  for (const auto& row : rows) {
    Seen seen;
    seen.pszAwaitedName = "rt";
    VQX_THREAD_RECORD rec;
    const VQX_THREAD_PARAMS params{"rt", 0, row.un32Class};
    ASSERT_EQ(VqxThreadCreate(&rec, ProbeThread, &seen, &params), VQX_RESULT_OK) << row.un32Class;
    ASSERT_EQ(VqxThreadJoin(&rec, nullptr), VQX_RESULT_OK);
    if (seen.policy == SCHED_RR) {
      EXPECT_EQ(seen.priority, row.expectedPriority) << row.un32Class;
    } else {
      EXPECT_EQ(seen.policy, SCHED_OTHER) << "no right to real time: default class kept";
    }
  }
}

TEST(VqxThread, BadArguments) {
  VQX_THREAD_RECORD rec;
  Seen seen;
  EXPECT_EQ(VqxThreadCreate(nullptr, ProbeThread, &seen, nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VqxThreadCreate(&rec, nullptr, &seen, nullptr), VQX_RESULT_NULL_PARAM);
  VQX_THREAD_PARAMS params{"x", 0, 5};
  EXPECT_EQ(VqxThreadCreate(&rec, ProbeThread, &seen, &params), VQX_RESULT_INVALID_PARAM);
  params = {"x", 1024, 1};
  EXPECT_EQ(VqxThreadCreate(&rec, ProbeThread, &seen, &params), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(VqxThreadJoin(nullptr, nullptr), VQX_RESULT_NULL_PARAM);
}

u32 LoopUntilStopped(void* pv) {
  VQX_THREAD_RECORD* rec = static_cast<VQX_THREAD_RECORD*>(pv);
  u32 n = 0;
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (!VqxThreadStopRequested(rec) && std::chrono::steady_clock::now() < until) {
    ++n;
    std::this_thread::sleep_for(1ms);
  }
  return VqxThreadStopRequested(rec) ? 1u : 0u;
}

TEST(VqxThread, StopFlagEndsTheLoop) {
  VQX_THREAD_RECORD rec;
  ASSERT_EQ(VqxThreadCreate(&rec, LoopUntilStopped, &rec, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(VqxThreadStopRequested(&rec), 0u);
  VqxThreadRequestStop(&rec);
  u32 result = 0;
  ASSERT_EQ(VqxThreadJoin(&rec, &result), VQX_RESULT_OK);
  EXPECT_EQ(result, 1u);
}

u32 StoreArgument(void* pv) {
  *static_cast<int*>(pv) = 42;
  return 0xFFFFFFFFu;
}

TEST(VqxThread, EntryPointCallsRecordFunctionWithItsArgument) {
  int n = 0;
  VQX_THREAD_RECORD rec;
  rec.pFctThread = StoreArgument;
  rec.pvArg = &n;
  void* pv = VqxThreadCreateEntryPoint(&rec);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(pv), 0xFFFFFFFFu);
  EXPECT_EQ(n, 42);
}

class MutexTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(VqxMutexCreate(&h_), VQX_RESULT_OK); }
  void TearDown() override { EXPECT_EQ(VqxMutexDestroy(h_), VQX_RESULT_OK); }
  // Runs f on another thread and returns its result.
  template <class F>
  VQX_RESULT OnOtherThread(F f) {
    VQX_RESULT r = 0;
    std::thread t([&] { r = f(); });
    t.join();
    return r;
  }
  VQX_MUTEX_HANDLE h_ = nullptr;
};

TEST_F(MutexTest, RecursiveWithNestingCount) {
  EXPECT_EQ(VqxMutexHeldCount(h_), 0u);
  ASSERT_EQ(VqxMutexGet(h_), VQX_RESULT_OK);
  ASSERT_EQ(VqxMutexTryGet(h_), VQX_RESULT_OK);
  ASSERT_EQ(VqxMutexTimedGet(h_, 0), VQX_RESULT_OK);
  EXPECT_EQ(VqxMutexHeldCount(h_), 3u);
  EXPECT_EQ(OnOtherThread([&] { return static_cast<VQX_RESULT>(VqxMutexHeldCount(h_)); }), 0u);
  EXPECT_EQ(VqxMutexDestroy(h_), VQX_RESULT_INVALID_STATE) << "held by the caller";
  EXPECT_EQ(VqxMutexGive(h_), VQX_RESULT_OK);
  EXPECT_EQ(VqxMutexGive(h_), VQX_RESULT_OK);
  EXPECT_EQ(VqxMutexHeldCount(h_), 1u);
  EXPECT_EQ(VqxMutexGive(h_), VQX_RESULT_OK);
  EXPECT_EQ(VqxMutexHeldCount(h_), 0u);
  EXPECT_EQ(VqxMutexGive(h_), VQX_RESULT_INVALID_STATE) << "not held any more";
}

TEST_F(MutexTest, OtherThreadsWaitTryAndTimeOut) {
  ASSERT_EQ(VqxMutexGet(h_), VQX_RESULT_OK);
  EXPECT_EQ(OnOtherThread([&] { return VqxMutexTryGet(h_); }), VQX_RESULT_NOT_READY);
  EXPECT_EQ(OnOtherThread([&] { return VqxMutexTimedGet(h_, 0); }), VQX_RESULT_TIMEOUT);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(OnOtherThread([&] { return VqxMutexTimedGet(h_, 30); }), VQX_RESULT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 25ms);
  EXPECT_EQ(OnOtherThread([&] { return VqxMutexGive(h_); }), VQX_RESULT_INVALID_STATE) << "not the owner";
  EXPECT_EQ(OnOtherThread([&] { return VqxMutexDestroy(h_); }), VQX_RESULT_INVALID_STATE);
  ASSERT_EQ(VqxMutexGive(h_), VQX_RESULT_OK);
  EXPECT_EQ(OnOtherThread([&] {
              const VQX_RESULT r = VqxMutexTimedGet(h_, 1000);
              VqxMutexGive(h_);
              return r;
            }),
            VQX_RESULT_OK);
}

TEST_F(MutexTest, MutualExclusionUnderContention) {
  long counter = 0;  // plain: only safe under the mutex
  std::thread threads[4];
  for (auto& t : threads) {
    t = std::thread([&] {
      for (int i = 0; i < 20000; ++i) {
        ASSERT_EQ(VqxMutexGet(h_), VQX_RESULT_OK);
        ASSERT_EQ(VqxMutexGet(h_), VQX_RESULT_OK);  // nested
        ++counter;
        VqxMutexGive(h_);
        VqxMutexGive(h_);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 4 * 20000);
}

TEST(Mutex, NullHandles) {
  EXPECT_EQ(VqxMutexCreate(nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VqxMutexDestroy(nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VqxMutexGet(nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VqxMutexTryGet(nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VqxMutexTimedGet(nullptr, 1), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VqxMutexGive(nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VqxMutexHeldCount(nullptr), 0u);
}

} // namespace
