// Thread start-up through the common entry point (name, stack, class, result, stop flag), and the recursive mutex
// (nesting, other threads, time-outs, exclusion under contention).
#include <pthread.h>
#include <sched.h>

#include "support/vqx_test_support.h"
#include "vqx_thread.h"

namespace {

using namespace std::chrono_literals;

struct Seen { const char* pszAwaitedName; char szName[32]; size_t stackSize; int policy, priority; };

u32 ProbeThread(void* pv) {
  Seen* s = static_cast<Seen*>(pv);
  // The creator names the thread just after it starts: wait for the awaited name. (A read that races the rename can
  // see a mix of the old and the new name, so "different from before" is not enough.)
  VqxTestWaitUntil([s] {
    pthread_getname_np(pthread_self(), s->szName, sizeof(s->szName));
    return strcmp(s->szName, s->pszAwaitedName) == 0;
  });
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

TEST(VqxThread, CreateNamesSizesClassesAndJoins) {
  const int nMin = sched_get_priority_min(SCHED_RR), nMax = sched_get_priority_max(SCHED_RR);
  // Real-time classes are applied when the process may use them, else the default class is kept silently.
  const struct { const char *pszName, *pszExpectedName; u32 un32Stack, un32Class; size_t expectedStack; int nRtPriority; } rows[] = {
      {"gwlib_discover", "gwlib_discover", 0, VQX_THREAD_PRIORITY_NORMAL, VQX_THREAD_DEFAULT_STACK_SIZE, -1},
      {"exactly15chars_", "exactly15chars_", 0x300000, VQX_THREAD_PRIORITY_NORMAL, 0x300000, -1},
      {"a_name_longer_than_fifteen", "a_name_longer_t", 0, 0, VQX_THREAD_DEFAULT_STACK_SIZE, -1},
      {"rt_low", "rt_low", 0, VQX_THREAD_PRIORITY_RT_LOW, 0, nMin},
      {"rt_mid", "rt_mid", 0, VQX_THREAD_PRIORITY_RT_MID, 0, nMin + (nMax - nMin) / 2},
      {"rt_high", "rt_high", 0, VQX_THREAD_PRIORITY_RT_HIGH, 0, nMax - 1}};
  for (const auto& row : rows) {
    Seen seen{row.pszExpectedName, {}, 0, -1, -1};
    VQX_THREAD_RECORD rec;
    const VQX_THREAD_PARAMS params{row.pszName, row.un32Stack, row.un32Class};
    ASSERT_EQ(VqxThreadCreate(&rec, ProbeThread, &seen, &params), VQX_RESULT_OK) << row.pszName;
    u32 result = 0;
    ASSERT_EQ(VqxThreadJoin(&rec, &result), VQX_RESULT_OK);
    EXPECT_EQ(std::pair(result, std::string(seen.szName)), std::pair(0xC0FFEE01u, std::string(row.pszExpectedName)));
    EXPECT_GE(seen.stackSize, row.expectedStack) << row.pszName;
    EXPECT_TRUE(seen.policy == SCHED_OTHER || (seen.policy == SCHED_RR && seen.priority == row.nRtPriority))
        << row.pszName << ": policy " << seen.policy << " priority " << seen.priority;
    EXPECT_EQ(VqxThreadJoin(&rec, nullptr), VQX_RESULT_INVALID_STATE) << "joined twice";
  }
  VQX_THREAD_RECORD rec;
  const VQX_THREAD_PARAMS badClass{"x", 0, 5}, smallStack{"x", 1024, 1};
  EXPECT_EQ((Results{VqxThreadCreate(&rec, ProbeThread, nullptr, &badClass), VqxThreadCreate(&rec, ProbeThread, nullptr, &smallStack)}),
            Results(2, VQX_RESULT_INVALID_PARAM));
  EXPECT_EQ((Results{VqxThreadCreate(nullptr, ProbeThread, nullptr, nullptr), VqxThreadCreate(&rec, nullptr, nullptr, nullptr),
                     VqxThreadJoin(nullptr, nullptr)}),
            Results(3, VQX_RESULT_NULL_PARAM));
}

u32 LoopUntilStopped(void* pv) {
  auto* rec = static_cast<VQX_THREAD_RECORD*>(pv);
  return VqxTestWaitUntil([rec] { return VqxThreadStopRequested(rec) != 0; }) ? 1u : 0u;
}

u32 StoreArgument(void* pv) { return *static_cast<int*>(pv) = 42, 0xFFFFFFFFu; }

TEST(VqxThread, StopFlagAndTheEntryPoint) {
  VQX_THREAD_RECORD rec;
  ASSERT_EQ(VqxThreadCreate(&rec, LoopUntilStopped, &rec, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(VqxThreadStopRequested(&rec), 0u);
  VqxThreadRequestStop(&rec);
  u32 result = 0;
  ASSERT_EQ(VqxThreadJoin(&rec, &result), VQX_RESULT_OK);
  EXPECT_EQ(result, 1u) << "the loop saw the stop request";
  int n = 0;
  rec.pFctThread = StoreArgument;
  rec.pvArg = &n;
  EXPECT_EQ(reinterpret_cast<uintptr_t>(VqxThreadCreateEntryPoint(&rec)), 0xFFFFFFFFu);
  EXPECT_EQ(n, 42);
}

class MutexTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(VqxMutexCreate(&h_), VQX_RESULT_OK); }
  void TearDown() override { EXPECT_EQ(VqxMutexDestroy(h_), VQX_RESULT_OK); }
  template <class F>
  VQX_RESULT OnOtherThread(F f) {  // runs f on another thread and returns its result
    VQX_RESULT r = 0;
    std::thread([&] { r = f(); }).join();
    return r;
  }
  VQX_MUTEX_HANDLE h_ = nullptr;
};

TEST_F(MutexTest, RecursiveOwnerAndOtherThreads) {
  EXPECT_EQ(VqxMutexHeldCount(h_), 0u);
  ASSERT_EQ((Results{VqxMutexGet(h_), VqxMutexTryGet(h_), VqxMutexTimedGet(h_, 0)}), Results(3, VQX_RESULT_OK));
  EXPECT_EQ(VqxMutexHeldCount(h_), 3u);
  EXPECT_EQ(OnOtherThread([&] { return VQX_RESULT(VqxMutexHeldCount(h_)); }), 0u);
  EXPECT_EQ(OnOtherThread([&] { return VqxMutexTryGet(h_); }), VQX_RESULT_NOT_READY);
  EXPECT_EQ(OnOtherThread([&] { return VqxMutexTimedGet(h_, 0); }), VQX_RESULT_TIMEOUT);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(OnOtherThread([&] { return VqxMutexTimedGet(h_, 30); }), VQX_RESULT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 25ms);
  EXPECT_EQ(OnOtherThread([&] { return VqxMutexGive(h_); }), VQX_RESULT_INVALID_STATE) << "not the owner";
  EXPECT_EQ(OnOtherThread([&] { return VqxMutexDestroy(h_); }), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(VqxMutexDestroy(h_), VQX_RESULT_INVALID_STATE) << "held by the caller";
  EXPECT_EQ((Results{VqxMutexGive(h_), VqxMutexGive(h_)}), Results(2, VQX_RESULT_OK));
  EXPECT_EQ(VqxMutexHeldCount(h_), 1u);
  EXPECT_EQ(VqxMutexGive(h_), VQX_RESULT_OK);
  EXPECT_EQ(VqxMutexGive(h_), VQX_RESULT_INVALID_STATE) << "not held any more";
  EXPECT_EQ(OnOtherThread([&] { return VqxMutexTimedGet(h_, 1000) == VQX_RESULT_OK ? VqxMutexGive(h_) : 0u; }),
            VQX_RESULT_OK);
  EXPECT_EQ(VqxMutexHeldCount(nullptr), 0u);
  EXPECT_EQ((Results{VqxMutexCreate(nullptr), VqxMutexDestroy(nullptr), VqxMutexGet(nullptr), VqxMutexTryGet(nullptr),
                     VqxMutexTimedGet(nullptr, 1), VqxMutexGive(nullptr)}),
            Results(6, VQX_RESULT_NULL_PARAM));
}

TEST_F(MutexTest, MutualExclusionUnderContention) {
  long counter = 0;  // plain: only safe under the mutex
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
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

}  // namespace
