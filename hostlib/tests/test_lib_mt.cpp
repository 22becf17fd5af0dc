/*
 * test_lib_mt.cpp - the library instance: parameter validation, open with
 * rollback, modify and close (no thread or descriptor left behind), the log
 * thread, deferred events, statistics, and concurrent use of
 * messages from several threads (also run under ThreadSanitizer).
 */
#include <string.h>

#include <atomic>
#include <map>
#include <sstream>
#include <thread>

#include "support/hostlib_fixture.h"

namespace {

using LibTest = HostLibTest;

/* ------------------------------------------------------------ validation */

/* The redundancy record's fields in order: valid, poll, network down, adapter down, gw0, gw1, preferred, flow mode. */
void ReadRedundancy(std::istream& in, _VQX_NETWORK_REDUNDANCY_PARAMETERS& r) {
  in >> r.fValid >> r.un32PollDelayMs >> r.un32NetworkDownDelayMs >> r.un32AdapterDownDelayMs >> r.fUseGw0 >>
      r.fUseGw1 >> r.un32PreferredGateway >> r.FlowControlMode;
}

/* Open parameter rows, one field set by name: tests/data/lib_params.txt. */
TEST_F(LibTest, ValidateLibParamsTable) {
  using P = _VQX_LIB_PARAMS;
  const std::map<std::string, u32 P::*> kFields = {
      {"un32TransportType", &P::un32TransportType},     {"un32NbExtraGwAddr", &P::un32NbExtraGwAddr},
      {"un32RxThreadPriority", &P::un32RxThreadPriority}, {"un32SendFifoSize", &P::un32SendFifoSize},
      {"un32ReceiveFifoSize", &P::un32ReceiveFifoSize}, {"un32NbPreAllocBufferPools", &P::un32NbPreAllocBufferPools},
      {"HostType", &P::HostType}};
  for (const auto& row : DataRows("lib_params.txt")) {
    mLog.Clear();
    _VQX_LIB_PARAMS params = HostLibTestParams(nullptr);
    std::istringstream in(row.at(1));
    std::string field;
    in >> field;
    if (field == "NetworkRedundancy") {
      ReadRedundancy(in, params.NetworkRedundancy);
    } else if (field != "-") {
      in >> params.*kFields.at(field);
    }
    EXPECT_EQ(VQXValidateLibParams(mhLib, &params), DataNum(row[2])) << row[0];
    if (row[3] != "-") { EXPECT_TRUE(mLog.WaitFor(row[3].c_str())) << row[0]; }
  }
  /* Zero fields take their defaults: fifos, posting count, log thread, redundancy delays and paths. */
  _VQX_LIB_PARAMS p = HostLibTestParams(nullptr);
  ASSERT_EQ(VQXValidateLibParams(mhLib, &p), VQX_RESULT_API_OK);
  const _VQX_NETWORK_REDUNDANCY_PARAMETERS& r = p.NetworkRedundancy;
  EXPECT_EQ((std::vector<u32>{p.un32SendFifoSize, p.un32ReceiveFifoSize, p.un32PostingCount, p.fPrintThroughLogThread,
                              r.un32PollDelayMs, r.un32NetworkDownDelayMs, r.un32AdapterDownDelayMs, r.fUseGw0,
                              r.fUseGw1, r.un32PreferredGateway}),
            (std::vector<u32>{32768, 32768, 1, 1, 2000, 4500, 10000, 1, 1, 0}));
}

TEST_F(LibTest, ValidateRedundancyTable) {
  for (const auto& row : DataRows("redundancy_params.txt")) {
    ASSERT_EQ(row.size(), 6u);
    mLog.Clear();
    _VQX_NETWORK_REDUNDANCY_PARAMETERS r{};
    std::istringstream in(row[1]);
    ReadRedundancy(in, r);
    EXPECT_EQ(VQXValidateNetworkRedundancyParams(mhLib, &r), DataNum(row[2])) << row[0];
    EXPECT_EQ(r.un32PollDelayMs, DataNum(row[3])) << row[0];
    EXPECT_EQ(r.FlowControlMode, std::stoi(row[4])) << row[0];
    if (row[5] != "-") { EXPECT_TRUE(mLog.WaitFor(row[5].c_str())) << row[0]; }
  }
  _VQX_NETWORK_REDUNDANCY_PARAMETERS r = {1, 2000, 0, 0, 1, 1, 0, 0};
  ASSERT_EQ(VQXValidateNetworkRedundancyParams(mhLib, &r), VQX_RESULT_API_OK);
  EXPECT_EQ(r.un32NetworkDownDelayMs + r.un32AdapterDownDelayMs, 4500u + 10000u) << "delays 0 take the defaults";
}

/* ------------------------------------------------------- open and close */

/* The threads it left are judged from the thread layer's record of those started and not joined: the process's own
 * list keeps a joined thread a little while, and a thread left to end by itself would leave it soon after. */
TEST(LibOpen, FillsCallerRecordAndLeavesNothingBehind) {
  const u32 un32ThreadsBefore = VqxThreadsNotJoined();
  const size_t fdsBefore = ProcessFdCount();
  for (int i = 0; i < 10; i++) {
    CapturedLog log;
    _VQX_LIB_PARAMS params = HostLibTestParams(&log);
    VQX_LIB_HANDLE hLib = nullptr;
    ASSERT_EQ(VQXOpenLib(&params, &hLib), VQX_RESULT_API_OK);
    EXPECT_EQ(VqxThreadsNotJoined(), un32ThreadsBefore + 1) << "the log thread";
    EXPECT_STREQ(params.szReleaseTag, VQX_HOSTLIB_RELEASE_TAG);
    EXPECT_NE(params.szHostName[0], '\0');
    EXPECT_EQ(strncmp(params.szApplicationName, "Unnamed_app_", 12), 0) << params.szApplicationName;
    EXPECT_EQ(strlen(params.szApplicationName), 12u + 8u);
    EXPECT_EQ(params.un16GwPort, 12358u);

    _VQX_LIB_PARAMS modified = params;
    modified.fHostsGwOn = 1;
    modified.un32NbPreAllocBufferPools = 2;
    modified.aPreAllocBufferPools[0] = {128, 4};
    modified.aPreAllocBufferPools[1] = {1024, 2};
    EXPECT_EQ(VQXModifLibParams(hLib, &modified), VQX_RESULT_API_OK);
    EXPECT_EQ(VQXCloseLibEx(&hLib), VQX_RESULT_API_OK);
    EXPECT_EQ(hLib, nullptr);
    EXPECT_EQ(VqxThreadsNotJoined(), un32ThreadsBefore) << "every thread it started joined before the close returned";
    EXPECT_EQ(ProcessFdCount(), fdsBefore);
  }
}

/* Names that fill their fields are cut at the last byte, in the caller's record and in what the library reports. */
TEST(LibOpen, NamesFillingTheirFieldsEndAtTheirLastByte) {
  CapturedLog log;
  _VQX_LIB_PARAMS params = HostLibTestParams(&log);
  memset(params.szHostName, 'h', sizeof(params.szHostName));
  memset(params.szApplicationName, 'a', sizeof(params.szApplicationName));
  VQX_LIB_HANDLE hLib = nullptr;
  ASSERT_EQ(VQXOpenLib(&params, &hLib), VQX_RESULT_API_OK);
  _VQX_LIB_INFO info;
  ASSERT_EQ(VQXGetLibInfo(hLib, &info), VQX_RESULT_API_OK);
  EXPECT_EQ(std::string(info.szHostName, strnlen(info.szHostName, sizeof(info.szHostName))), std::string(127, 'h'));
  EXPECT_EQ(std::string(info.szApplicationName, strnlen(info.szApplicationName, sizeof(info.szApplicationName))),
            std::string(127, 'a'));
  EXPECT_EQ(strnlen(params.szHostName, sizeof(params.szHostName)), 127u);
  EXPECT_EQ(VQXCloseLibEx(&hLib), VQX_RESULT_API_OK);
}

TEST(LibOpen, NullArgumentsAndValidationFailure) {
  VQX_LIB_HANDLE hLib = reinterpret_cast<VQX_LIB_HANDLE>(1);
  EXPECT_EQ(VQXOpenLib(nullptr, &hLib), VQX_RESULT_API_NULL_PARAM);
  EXPECT_EQ(hLib, nullptr);
  _VQX_LIB_PARAMS params = HostLibTestParams(nullptr);
  EXPECT_EQ(VQXOpenLib(&params, nullptr), VQX_RESULT_API_NULL_PARAM);
  params.un32SendFifoSize = 1;
  EXPECT_EQ(VQXOpenLib(&params, &hLib), VQX_RESULT_API_INVALID_SEND_FIFO_SIZE);
  EXPECT_EQ(hLib, nullptr);
  EXPECT_EQ(params.un32BuildNumber, VQX_HOSTLIB_BUILD_NUMBER) << "written before validation";
  EXPECT_EQ(VQXCloseLibEx(nullptr), VQX_RESULT_API_INVALID_LIB_HANDLE);
  EXPECT_EQ(VQXCloseLibEx(&hLib), VQX_RESULT_API_INVALID_LIB_HANDLE);
}

/* Parts that record their calls, and one that fails. */
std::atomic<int> g_peersInit{0};
std::atomic<int> g_peersUninit{0};
std::atomic<int> g_filtersUninit{0};
VQX_RESULT PeersInit(VQX_LIB_HANDLE) {
  g_peersInit++;
  return VQX_RESULT_OK;
}
void PeersUninit(VQX_LIB_HANDLE) { g_peersUninit++; }
VQX_RESULT FiltersInitFails(VQX_LIB_HANDLE) { return VQX_RESULT_API_NOT_ENOUGH_MEMORY; }
void FiltersUninit(VQX_LIB_HANDLE) { g_filtersUninit++; }

TEST(LibOpen, FailingStepRollsEverythingBack) {
  const VQX_HOSTLIB_PART peers = {nullptr, PeersInit, PeersUninit, nullptr};
  const VQX_HOSTLIB_PART filters = {nullptr, FiltersInitFails, FiltersUninit, nullptr};
  VqxHostLibSetPart(VQX_HOSTLIB_PART_PEERS, &peers);
  VqxHostLibSetPart(VQX_HOSTLIB_PART_FILTERS, &filters);
  g_peersInit = g_peersUninit = g_filtersUninit = 0; /* this run's calls only (--gtest_repeat runs it again) */
  const std::set<std::string> threadsBefore = ProcessThreadIds();
  const size_t fdsBefore = ProcessFdCount();
  CapturedLog log;
  _VQX_LIB_PARAMS params = HostLibTestParams(&log);
  VQX_LIB_HANDLE hLib = reinterpret_cast<VQX_LIB_HANDLE>(1);
  EXPECT_EQ(VQXOpenLib(&params, &hLib), VQX_RESULT_API_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(hLib, nullptr);
  EXPECT_EQ(log.Count("VQXOpenLib: Filter init failed"), 1u) << "printed before the log thread stopped";
  EXPECT_EQ((std::vector<int>{g_peersInit, g_peersUninit, g_filtersUninit}), (std::vector<int>{1, 1, 0}))
      << "the filters' init never succeeded: no uninit for them";
  EXPECT_EQ(ThreadsLeftSince(threadsBefore), 0u);
  EXPECT_EQ(ProcessFdCount(), fdsBefore);
  VqxHostLibSetPart(VQX_HOSTLIB_PART_PEERS, nullptr);
  VqxHostLibSetPart(VQX_HOSTLIB_PART_FILTERS, nullptr);
}

/* A gateway glue that records what the library asks of it; an adapters' enable fails on request. */
struct GlueCalls {
  std::atomic<int> init{0}, uninit{0}, apply{0};
  std::atomic<int> enable[2][2] = {{0, 0}, {0, 0}};
  std::atomic<bool> fFailAdaptersEnable{false};
} g_glue;
int g_adaptersInstance, g_hostsInstance;

const VQX_HOSTLIB_GATEWAY_GLUE kGlue = {
    nullptr,
    nullptr,
    [](VQX_LIB_HANDLE hLib) {
      g_glue.init++;
      VqxLib(hLib)->pvAdaptersGw = &g_adaptersInstance;
      VqxLib(hLib)->un64UniqueHostId = 0x7F0000AA00001234ull;
      return VQX_RESULT_OK;
    },
    [](VQX_LIB_HANDLE hLib) {
      EXPECT_EQ(VqxHostLibLockHeld(hLib), 0u) << "transport threads call back under the library lock";
      g_glue.uninit++;
    },
    [](VQX_LIB_HANDLE hLib, u32 fHosts, u32 fOn) {
      if (fHosts != 0 && VqxLib(hLib)->pvHostsGw == nullptr) VqxLib(hLib)->pvHostsGw = &g_hostsInstance;
      g_glue.enable[fHosts][fOn]++;
      return fHosts == 0 && fOn != 0 && g_glue.fFailAdaptersEnable ? VQX_RESULT_FAIL : VQX_RESULT_OK;
    },
    [](VQX_LIB_HANDLE, u32) {
      g_glue.apply++;
      return VQX_RESULT_OK;
    },
    nullptr,
    nullptr,
    nullptr,
};

/* The switches reach the glue at open and modify; a failing enable rolls the open back whole (the glue
 * taken down again, no handle) and leaves a modify's switch as it was. */
TEST(LibGateway, SwitchesReachTheGlueAndAFailingEnableRollsBack) {
  const VQX_HOSTLIB_GATEWAY_GLUE* pBefore = VqxHostLibGatewayGlue();
  VqxHostLibSetGatewayGlue(&kGlue);
  CapturedLog log;
  _VQX_LIB_PARAMS params = HostLibTestParams(&log);
  params.fAdaptersGwOff = 0;
  VQX_LIB_HANDLE hLib = nullptr;
  ASSERT_EQ(VQXOpenLib(&params, &hLib), VQX_RESULT_API_OK);
  EXPECT_EQ(params.un32BuildNumber, 0x00001234u);
  auto Calls = [] {
    return std::vector<int>{g_glue.enable[0][0], g_glue.enable[0][1], g_glue.enable[1][0], g_glue.enable[1][1],
                            g_glue.apply, g_glue.uninit};
  };
  EXPECT_EQ(Calls(), (std::vector<int>{0, 1, 0, 0, 0, 0})) << "adapters' on only";
  const struct { const char* pszName; u32 fHostsOn, fAdaptersOff, fFail; u16 un16Port; VQX_RESULT r; std::vector<int> calls; } rows[] = {
      {"hosts on, adapters off, new port", 1, 1, 0, 5000, VQX_RESULT_API_OK, {1, 1, 0, 1, 2, 0}},
      {"nothing changed", 1, 1, 0, 5000, VQX_RESULT_API_OK, {1, 1, 0, 1, 2, 0}},
      {"adapters' enable fails", 1, 0, 1, 5000, VQX_RESULT_FAIL, {1, 2, 0, 1, 2, 0}},
      {"the same switch tried again", 1, 0, 0, 5000, VQX_RESULT_API_OK, {1, 3, 0, 1, 2, 0}},
  };
  for (const auto& r : rows) {
    g_glue.fFailAdaptersEnable = r.fFail != 0;
    params.fHostsGwOn = r.fHostsOn, params.fAdaptersGwOff = r.fAdaptersOff, params.un16GwPort = r.un16Port;
    EXPECT_EQ(VQXModifLibParams(hLib, &params), r.r) << r.pszName;
    EXPECT_EQ(Calls(), r.calls) << r.pszName;
  }
  EXPECT_EQ(VQXCloseLibEx(&hLib), VQX_RESULT_API_OK);
  EXPECT_EQ(g_glue.uninit.load(), 1);
  g_glue.fFailAdaptersEnable = true;
  params = HostLibTestParams(&log);
  params.fAdaptersGwOff = 0;
  EXPECT_EQ(VQXOpenLib(&params, &hLib), VQX_RESULT_FAIL);
  EXPECT_EQ(hLib, nullptr);
  EXPECT_EQ(g_glue.uninit.load(), 2) << "the open's glue taken down again";
  EXPECT_EQ(log.Count("VQXOpenLib: Adapters Gateway Library enable failed"), 1u);
  EXPECT_EQ(log.Count("VQXModifLibParams: Adapter Gateway Library enable failed"), 1u);
  VqxHostLibSetGatewayGlue(pBefore);
}

/* ------------------------------------------------------------- modify */

TEST_F(LibTest, FailingModifyLeavesTheLockFree) {
  _VQX_LIB_PARAMS params = mParams;
  params.un32SendFifoSize = 70000;
  EXPECT_EQ(VQXModifLibParams(mhLib, &params), VQX_RESULT_API_INVALID_SEND_FIFO_SIZE);
  EXPECT_TRUE(mLog.WaitFor("VQXModifLibParams: VQXValidateLibParams failed"));
  std::atomic<VQX_RESULT> other{0};
  std::thread([&] {
    other = VqxMutexTimedGet(VqxLib(mhLib)->hCriticalSection, 1000);
    if (other == VQX_RESULT_OK) VqxMutexGive(VqxLib(mhLib)->hCriticalSection);
  }).join();
  EXPECT_EQ(other.load(), VQX_RESULT_OK);
  EXPECT_EQ(VqxHostLibLockHeld(mhLib), 0u);
  EXPECT_EQ(VQXModifLibParams(nullptr, &params), VQX_RESULT_API_INVALID_LIB_HANDLE);
  EXPECT_EQ(VQXModifLibParams(mhLib, nullptr), VQX_RESULT_API_NULL_PARAM);
}

/* ------------------------------------------------------------- events */

TEST_F(LibTest, EventsSetUnderTheLockWaitForTheOutermostLeave) {
  VQX_EVENT* pEvent = nullptr;
  ASSERT_EQ(VqxEventCreate(&pEvent), VQX_RESULT_OK);
  VqxHostLibCriticalSectionEnter(mhLib);
  VqxHostLibCriticalSectionEnter(mhLib);
  VQX_HOSTLIB_EVENT_SET(mhLib, pEvent);
  VQX_HOSTLIB_EVENT_SET(mhLib, pEvent);
  EXPECT_EQ(VqxLib(mhLib)->un32NbEventsToSet, 1u) << "listed once";
  VqxHostLibCriticalSectionLeave(mhLib);
  EXPECT_EQ(VqxEventWait(pEvent, 0), VQX_RESULT_TIMEOUT) << "inner leave";
  VqxHostLibCriticalSectionLeave(mhLib);
  EXPECT_EQ(VqxEventWait(pEvent, 0), VQX_RESULT_OK) << "outermost leave";
  VqxEventClear(pEvent);

  /* Without the lock, and with a full list, the event is set at once. */
  VQX_HOSTLIB_EVENT_SET(mhLib, pEvent);
  EXPECT_EQ(VqxEventWait(pEvent, 0), VQX_RESULT_OK);
  VqxEventClear(pEvent);
  std::vector<VQX_EVENT*> others(VQX_LIB_EVENTS_TO_SET_MAX);
  VqxHostLibCriticalSectionEnter(mhLib);
  for (VQX_EVENT*& p : others) {
    ASSERT_EQ(VqxEventCreate(&p), VQX_RESULT_OK);
    VQX_HOSTLIB_EVENT_SET(mhLib, p);
  }
  VQX_HOSTLIB_EVENT_SET(mhLib, pEvent);
  EXPECT_EQ(VqxEventWait(pEvent, 0), VQX_RESULT_OK) << "129th event";
  VQX_HOSTLIB_EVENT_DESTROY(mhLib, others[0]);
  EXPECT_EQ(VqxLib(mhLib)->un32NbEventsToSet, VQX_LIB_EVENTS_TO_SET_MAX - 1);
  VqxHostLibCriticalSectionLeave(mhLib);
  for (size_t i = 1; i < others.size(); i++) {
    EXPECT_EQ(VqxEventWait(others[i], 0), VQX_RESULT_OK);
    VqxEventFree(others[i]);
  }
  VqxEventFree(pEvent);
}

/* ------------------------------------------------------- concurrency */

/* Threads allocate, log and release while the parameters change: printers and trace level are swapped under
   their locks, every message comes back and every serial is taken once. */
TEST_F(LibTest, MessagesFromManyThreadsWhileTheParametersChange) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; i++) {
        VQX_MSG_HANDLE hMsg = nullptr;
        if (VQXGetMsg(mhLib, static_cast<u32>((i * 37 + t * 101) % 9000), &hMsg) != VQX_RESULT_API_OK) failures++;
        if (i % 500 == 0) VQX_LOG_V(mhLib, 0, "thread %d round %d\n", t, i);
        if (VQXReleaseMsgEx(mhLib, &hMsg) != VQX_RESULT_OK) failures++;
      }
    });
  }
  threads.emplace_back([&] {
    _VQX_LIB_PARAMS params = mParams;
    for (u32 i = 0; i < 20; i++) {
      params.un32TraceLevel = i % 3;
      if (VQXModifLibParams(mhLib, &params) != VQX_RESULT_API_OK) failures++;
      VQX_LOG_V(mhLib, 1, "trace %u\n", i);
    }
  });
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(LiveCount(), 0u);
  EXPECT_EQ(LibStats(mhLib).MsgSerial, static_cast<u64>(kThreads * kRounds));
  EXPECT_TRUE(mLog.WaitFor("thread 3 round 1500"));
}

}  // namespace
