/*
 * hostlib_fixture.h - what the host library's tests share: default open
 * parameters, a captured error/trace log, and counts of this process's
 * threads and descriptors; the bounded wait on a condition shared with the
 * other libraries' peer tests.
 */
#ifndef HOSTLIB_FIXTURE_H
#define HOSTLIB_FIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "peers/process_counts.h"
#include "peers/wait_until.h"
#include "vqx_clock.h"
#include "vqx_host.h"
#include "filter/vqx_filter_internal.h"
#include "vqx_host_filter.h"
#include "core/vqx_host_internal.h"

using peerwait::WaitUntil;

/* Lines printed by a library through its error and trace callbacks. */
class CapturedLog {
 public:
  static void OnLine(void* pvContext, VQX_LIB_HANDLE hLib, const char* pszLine);
  std::vector<std::string> Lines();
  /* Waits (bounded) until nLines lines containing pszText have been printed. */
  bool WaitFor(const char* pszText, unsigned uTimeoutMs = 3000, size_t nLines = 1);
  size_t Count(const char* pszText);
  /* The lines from the first one holding pszFrom on, as one text; addresses (0x and more than eight
     hex digits) and times ("12ms ago", "3 ms elapsed") read "@", so that a golden file can hold the text. */
  std::string Text(const char* pszFrom = "");
  void Clear();

 private:
  std::mutex mMutex;
  std::vector<std::string> mLines;
};

/*
 * Data files of tests/data (rows kept as data, expected texts kept as golden files). DataRows: the
 * lines of a file, blank ones and those starting with '#' left out, each split at " | ".
 * ExpectGolden: text compared with a file; VQX_UPDATE_GOLDEN=1 in the environment rewrites it.
 */
std::string DataPath(const char* pszFile);
std::vector<std::vector<std::string>> DataRows(const char* pszFile);
void ExpectGolden(const std::string& text, const char* pszFile);
/* A data field as a number (decimal, 0x hex, or negative). */
unsigned long long DataNum(const std::string& field);

/* f() run under the library lock; its result. */
template <class F>
auto Locked(VQX_LIB_HANDLE hLib, F f) {
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  struct Leave {
    VQX_LIB_HANDLE h;
    ~Leave() { VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(h); }
  } leave{hLib};
  return f();
}

/* The library's clock (VQXGetClock) held where the test sets it, in ms past a start; the system's again
   when it goes. One at a time. */
class HeldClock {
 public:
  static constexpr u64 kStart = 5000000;
  HeldClock() {
    s_un64Ms = kStart;
    VqxClockSetSource(Read);
  }
  ~HeldClock() { VqxClockSetSource(nullptr); }
  void Set(u64 un64Ms) { s_un64Ms = kStart + un64Ms; }

 private:
  static u64 Read() { return s_un64Ms.load(); }
  static inline std::atomic<u64> s_un64Ms{0};
};

/* A library's statistics (a test failure when they cannot be read). */
inline _VQX_LIB_STATS LibStats(VQX_LIB_HANDLE hLib) {
  _VQX_LIB_STATS stats{};
  EXPECT_EQ(VQXLibGetStats(hLib, &stats), VQX_RESULT_API_OK);
  return stats;
}

/* Parameters that open the library with no transport and every line captured. */
_VQX_LIB_PARAMS HostLibTestParams(CapturedLog* pLog);

/* Threads and open descriptors of this process (testing/peers/process_counts.h). */
using proccount::ProcessFdCount;
using proccount::ProcessThreadIds;

/* Threads of this process whose ids are not in before (started since it was read). */
size_t ThreadsStartedSince(const std::set<std::string>& before);
/* The same once they had up to 5 s to leave: a joined thread can stay listed a moment after its join
   returned (the join returns on the kernel's wake at the thread's exit, before the kernel releases it).
   A thread still running stays counted. */
size_t ThreadsLeftSince(const std::set<std::string>& before);

/* Status-callback reports of a library (pvStatusContext = the log); each answered with un32Answer unless ~0. */
struct StatusLog {
  std::mutex Mutex;
  std::vector<_VQX_LIB_ERROR_INFO> Events;
  u32 un32Answer = 0xFFFFFFFFu;
  static void OnStatus(void* pv, VQX_LIB_HANDLE, u32, _VQX_LIB_ERROR_INFO* pInfo, _VQX_LIB_ERROR_ACTION* pAction) {
    StatusLog* pLog = static_cast<StatusLog*>(pv);
    std::lock_guard<std::mutex> guard(pLog->Mutex);
    pLog->Events.push_back(*pInfo);
    if (pLog->un32Answer != 0xFFFFFFFFu) pAction->un32Action = pLog->un32Answer;
  }
};

/* A filter parameter set: mask, id (its group too), adapter and type mask. */
_VQX_FILTER_PARAMS FilterSet(u32 un32Mask, u32 un32Id = 0, u32 hAdapter = 0, u32 un32TypeMask = 0);
/* A filter of those sets on a library; null (and a test failure) when refused. */
VQX_FILTER_HANDLE NewFilter(VQX_LIB_HANDLE hLib, std::initializer_list<_VQX_FILTER_PARAMS> sets);

/* Opens a library in SetUp and closes it in TearDown; message and filter helpers on it. */
class HostLibTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  /* Closes the library (when open) and opens it again with the test parameters as pFctEdit changes them. */
  void Reopen(const std::function<void(_VQX_LIB_PARAMS&)>& pFctEdit);
  /* A message of that id, destination, payload size and type; the caller owns it. */
  VQX_MSG_HANDLE NewMsg(u32 un32Id, u32 hDest, u32 un32Payload = 8, u32 MsgType = VQX_MSG_TYPE_EVENT);
  /* Sends such a message (user context 1 as given); the handle is always consumed. */
  VQX_RESULT Send(u32 un32Id, u32 hDest, u32 un32Payload = 8, u32 MsgType = VQX_MSG_TYPE_EVENT, u64 un64Uc1 = 0);
  /* A filter of those sets; null (and a test failure) when refused. */
  VQX_FILTER_HANDLE Filter(std::initializer_list<_VQX_FILTER_PARAMS> sets);
  /* Messages waiting on a filter, each taken and released (un32Max at most). */
  u32 Drain(VQX_FILTER_HANDLE hFilter, u32 un32Max = 100000);
  /* Waits (bounded) until n readers sleep on the filter's event (not polling any more). */
  bool WaitBlocked(VQX_FILTER_HANDLE h, u32 n) {
    return WaitUntil([&] { return Locked(mhLib, [&] { return h->un32Waiters; }) >= n; }, 10000);
  }
  /* Buffers still allocated, once the releases deferred to the lock's leave are done. */
  u32 LiveCount() {
    Locked(mhLib, [] {});
    return VqxBufLiveCount(mhLib);
  }
  CapturedLog mLog;
  _VQX_LIB_PARAMS mParams{};
  VQX_LIB_HANDLE mhLib = nullptr;
};

/* The helpers are inline: a test program links only the parts of the library it uses. */
inline _VQX_FILTER_PARAMS FilterSet(u32 un32Mask, u32 un32Id, u32 hAdapter, u32 un32TypeMask) {
  _VQX_FILTER_PARAMS set{};
  set.un32Version = 1;
  set.un32Mask = un32Mask;
  set.MsgId = un32Id;
  set.MsgGroup = un32Id >> 16;
  set.hAdapter = hAdapter;
  set.MsgTypeMask = un32TypeMask;
  return set;
}

inline VQX_MSG_HANDLE HostLibTest::NewMsg(u32 un32Id, u32 hDest, u32 un32Payload, u32 MsgType) {
  VQX_MSG_HANDLE hMsg = nullptr;
  EXPECT_EQ(VQXGetMsg(mhLib, un32Payload, &hMsg), VQX_RESULT_API_OK);
  if (hMsg == nullptr) return nullptr;
  hMsg->un32MsgId = un32Id;
  hMsg->MsgType = MsgType;
  hMsg->hAdapter = hDest;
  hMsg->un32PayloadLength = un32Payload;
  return hMsg;
}

inline VQX_RESULT HostLibTest::Send(u32 un32Id, u32 hDest, u32 un32Payload, u32 MsgType, u64 un64Uc1) {
  VQX_MSG_HANDLE hMsg = NewMsg(un32Id, hDest, un32Payload, MsgType);
  if (hMsg == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  hMsg->un64UserContext1 = un64Uc1;
  const VQX_RESULT result = VQXSendMsgEx(mhLib, &hMsg, nullptr);
  EXPECT_EQ(hMsg, nullptr) << "the library owns a sent message";
  return result;
}

inline VQX_FILTER_HANDLE NewFilter(VQX_LIB_HANDLE hLib, std::initializer_list<_VQX_FILTER_PARAMS> sets) {
  std::vector<_VQX_FILTER_PARAMS> v(sets);
  VQX_FILTER_HANDLE h = nullptr;
  EXPECT_EQ(VQXCreateMsgFilterEx(hLib, static_cast<u32>(v.size()), v.data(), &h), VQX_RESULT_API_OK);
  return h;
}

inline VQX_FILTER_HANDLE HostLibTest::Filter(std::initializer_list<_VQX_FILTER_PARAMS> sets) { return NewFilter(mhLib, sets); }

inline u32 HostLibTest::Drain(VQX_FILTER_HANDLE hFilter, u32 un32Max) {
  u32 n = 0;
  VQX_MSG_HANDLE hMsg = nullptr;
  while (n < un32Max && VQXReceiveMsg(mhLib, hFilter, 0, &hMsg) == VQX_RESULT_API_OK) {
    EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hMsg), VQX_RESULT_OK);
    n++;
  }
  return n;
}

#endif
