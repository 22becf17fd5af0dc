/*
 * bench_leg.cpp - leg commands and their answers over 127.0.0.1, through the
 * core library and through the host library alone, against one responder.
 *
 * The responder is a second host library in this process, named as a
 * call/media control server, whose callback filter turns every request into
 * its response (result 0 at 28, the rest as received); it sends READY itself.
 * BM_LegCommands: 1000 legs on a library opened over the first host library
 * (two job threads); 4 threads send GET_STATS commands through
 * VQCmcLibLegMsgProcess, each answer counted in its leg's callback.
 * BM_HostRequests: the same commands sent by 4 threads as plain requests of
 * the first host library, the answers received on a filter (the yardstick).
 * BM_LegCommandLatency: one command at a time, from the call to its leg's
 * callback (it waits for the intake's next batch or idle period by design).
 */
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "peers/loopback.h"
#include "vqcmc_lib_internal.h"
#include "vqx_host_filter.h"

namespace {

constexpr u32 kLegs = 1000, kThreads = 4, kPerThread = 5000, kPayload = 40;

void Quiet(void*, VQX_LIB_HANDLE, const char*) {}

VQX_LIB_HANDLE OpenPeer(u16 port, u16 other, const char* pszApp) {
  setenv("VQX_GW_PORT", std::to_string(port).c_str(), 1);
  setenv("VQX_GW_REMOTE_ADDR", ("(127.0.0.1:" + std::to_string(other) + ")").c_str(), 1);
  _VQX_LIB_PARAMS params{};
  params.un32StructVersion = 1;
  params.un32TransportType = 1;
  params.fAdaptersGwOff = 1;
  params.fHostsGwOn = 1;
  params.pFctErrorCallback = Quiet;
  snprintf(params.szApplicationName, sizeof(params.szApplicationName), "%s", pszApp);
  VQX_LIB_HANDLE h = nullptr;
  return VQXOpenLib(&params, &h) == VQX_RESULT_API_OK ? h : nullptr;
}

VQX_FILTER_HANDLE GroupFilter(VQX_LIB_HANDLE hLib, u32 un32TypeMask) {
  _VQX_FILTER_PARAMS sets[2] = {};
  for (u32 i = 0; i < 2; i++) {
    sets[i].un32Version = 1;
    sets[i].un32Mask = VQX_FILTER_MASK_MSG_GROUP | VQX_FILTER_MASK_MSG_TYPE;
    sets[i].MsgGroup = i == 0 ? 0x0A01 : 0x0A02;
    sets[i].MsgTypeMask = un32TypeMask;
  }
  VQX_FILTER_HANDLE h = nullptr;
  VQXCreateMsgFilterEx(hLib, 2, sets, &h);
  return h;
}

/* The responder: each request goes back as its response with result 0. */
void Answer(void*, VQX_LIB_HANDLE, VQX_FILTER_HANDLE, u32* pun32Count, VQX_MSG_HANDLE* pahMsg) {
  for (u32 i = 0; i < *pun32Count; i++) {
    pahMsg[i]->MsgType = VQX_MSG_TYPE_RESPONSE;
    if (pahMsg[i]->un32PayloadLength >= 32) memset(VQXMsgPayload(pahMsg[i]) + 28, 0, 4);
  }
}

u32 WaitHost(VQX_LIB_HANDLE hLib) {
  for (int i = 0; i < 800; i++) {
    u32 n = 0, ah[4];
    if (VQXGetRemoteHostsList(hLib, 4, &n, ah) == VQX_RESULT_API_OK && n > 0) return ah[0];
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return 0;
}

/* The two host libraries linked, the responder answering; false when they did not link. */
struct Pair {
  Pair() {
    loopnet::UseLoopbackNets(1);
    const u16 pa = loopnet::FreeLoopbackPort(), pb = loopnet::FreeLoopbackPort();
    hA = OpenPeer(pa, pb, "cmc_client");
    hB = OpenPeer(pb, pa, "cmc_server");
    if (hA == nullptr || hB == nullptr) return;
    hRequests = GroupFilter(hB, VQX_MSG_TYPE_REQUEST);
    _VQX_FILTER_CALLBACK_PARAMS cb{};
    cb.pFctFilterMsgReceived = Answer;
    cb.un32FilterMaxMsgPerCallback = 256;
    VQXModifyMsgFilter(hB, hRequests, 0, nullptr, &cb);
    hToB = WaitHost(hA);
    hToA = WaitHost(hB);
  }
  ~Pair() {
    if (hB != nullptr) VQXCloseLibEx(&hB);
    if (hA != nullptr) VQXCloseLibEx(&hA);
  }
  VQX_LIB_HANDLE hA = nullptr, hB = nullptr;
  VQX_FILTER_HANDLE hRequests = nullptr;
  u32 hToB = 0, hToA = 0;
};

std::atomic<u64> s_un64Answers{0};
void OnLegMsg(VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE* phMsg) {
  if ((*phMsg)->MsgType == VQX_MSG_TYPE_RESPONSE) s_un64Answers++;
}
void OnLib(VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE*) {}

/* The core library over the pair, the server ready, the legs created; null when it did not come up. */
VQCMC_LIB_HANDLE OpenLegs(Pair& pair) {
  _VQCMC_LIB_PARAMS p{};
  p.hVqxLib = pair.hA;
  p.Callback.pFctCallback = OnLib;
  p.Threads.un32NbThread = 2;
  VQCMC_LIB_HANDLE hCmc = nullptr;
  if (pair.hToA == 0 || VQX_RESULT_FAILED(VQCmcLibOpen(&p, &hCmc))) return nullptr;
  for (int i = 0; i < 500 && VQCmcLibGetActiveCmcServerBuildNumber(hCmc) == 0; i++) {
    VQX_MSG_HANDLE h = nullptr;
    VQXGetMsg(pair.hB, 64, &h);
    memset(VQXMsgPayload(h), 0, 64);
    h->un32MsgId = VQCMC_SRV_READY;
    h->MsgType = VQX_MSG_TYPE_EVENT;
    h->hAdapter = pair.hToA;
    h->un32PayloadLength = 64;
    VQXSendMsgEx(pair.hB, &h, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (u32 un32Id = 1; un32Id <= kLegs; un32Id++) {
    _VQCMC_LIB_LEG_PARAMS params{};
    params.EntityId = un32Id;
    params.Callback = {OnLegMsg, nullptr, &pair};
    if (VQX_RESULT_FAILED(VQCmcLibLegCreate(hCmc, &params))) {
      VQCmcLibClose(hCmc);
      return nullptr;
    }
  }
  return hCmc;
}

VQX_MSG_HANDLE Command(VQX_LIB_HANDLE hLib, VQCMC_LIB_HANDLE hCmc) {
  VQX_MSG_HANDLE h = nullptr;
  if (hCmc != nullptr) VQCmcLibMsgAlloc(hCmc, kPayload, &h);
  if (hCmc == nullptr) VQXGetMsg(hLib, kPayload, &h);
  memset(VQXMsgPayload(h), 0, kPayload);
  h->un32MsgId = VQCMC_MSG_CMD_GET_STATS;
  h->MsgType = VQX_MSG_TYPE_REQUEST;
  h->un32PayloadLength = kPayload;
  return h;
}

/* Runs kThreads senders of kPerThread commands each and waits for every answer; answers per second. */
double Run(const std::function<void(u32, u32)>& send, const std::function<u64()>& answers) {
  const u64 un64Target = answers() + u64{kThreads} * kPerThread;
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> aThreads;
  for (u32 t = 0; t < kThreads; t++) {
    aThreads.emplace_back([&, t] {
      for (u32 i = 0; i < kPerThread; i++) send(t, i);
    });
  }
  for (std::thread& th : aThreads) th.join();
  const auto deadline = t0 + std::chrono::seconds(30);
  while (answers() < un64Target && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return answers() >= un64Target ? double(u64{kThreads} * kPerThread) / secs : 0;
}

void BM_LegCommands(benchmark::State& state) {
  Pair pair;
  VQCMC_LIB_HANDLE hCmc = OpenLegs(pair);
  if (hCmc == nullptr) {
    state.SkipWithError("no ready server");
    return;
  }
  double sum = 0;
  for (auto _ : state) {
    sum += Run(
        [&](u32 t, u32 i) {
          VQX_MSG_HANDLE h = Command(pair.hA, hCmc);
          VQCmcLibLegMsgProcess(hCmc, 1 + (t * (kLegs / kThreads) + i % (kLegs / kThreads)), i, &h);
        },
        [] { return s_un64Answers.load(); });
  }
  state.counters["answers_per_s"] = sum / double(state.iterations());
  VQCmcLibClose(hCmc);
}
BENCHMARK(BM_LegCommands)->Iterations(5)->Repetitions(3)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);

void BM_HostRequests(benchmark::State& state) {
  Pair pair;
  VQX_FILTER_HANDLE hAnswers = GroupFilter(pair.hA, VQX_MSG_TYPE_RESPONSE);
  if (pair.hToB == 0 || hAnswers == nullptr) {
    state.SkipWithError("link");
    return;
  }
  std::atomic<u64> un64Answers{0};
  std::atomic<bool> fStop{false};
  std::thread receiver([&] {
    while (!fStop) {
      u32 n = 0;
      VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
      if (VQXReceiveMsgMultiple(pair.hA, hAnswers, 50, &n, ah) != VQX_RESULT_API_OK) continue;
      for (u32 i = 0; i < n; i++) VQXReleaseMsgEx(pair.hA, &ah[i]);
      un64Answers += n;
    }
  });
  double sum = 0;
  for (auto _ : state) {
    sum += Run(
        [&](u32 t, u32 i) {
          VQX_MSG_HANDLE h = Command(pair.hA, nullptr);
          h->hAdapter = pair.hToB;
          h->un64UserContext1 = (u64{i} << 32) | (1 + t);
          VQXSendMsgEx(pair.hA, &h, nullptr);
        },
        [&] { return un64Answers.load(); });
  }
  fStop = true;
  receiver.join();
  state.counters["answers_per_s"] = sum / double(state.iterations());
  VQXDestroyMsgFilterEx(pair.hA, &hAnswers);
}
BENCHMARK(BM_HostRequests)->Iterations(5)->Repetitions(3)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);

void BM_LegCommandLatency(benchmark::State& state) {
  Pair pair;
  VQCMC_LIB_HANDLE hCmc = OpenLegs(pair);
  if (hCmc == nullptr) {
    state.SkipWithError("no ready server");
    return;
  }
  std::vector<double> us;
  for (auto _ : state) {
    const u64 un64Before = s_un64Answers.load();
    const auto t0 = std::chrono::steady_clock::now();
    VQX_MSG_HANDLE h = Command(pair.hA, hCmc);
    VQCmcLibLegMsgProcess(hCmc, 1, 0, &h);
    while (s_un64Answers.load() == un64Before &&
           std::chrono::steady_clock::now() - t0 < std::chrono::seconds(2)) {
      std::this_thread::yield();
    }
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(us.begin(), us.end());
  state.counters["median_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[us.size() * 99 / 100];
  VQCmcLibClose(hCmc);
}
BENCHMARK(BM_LegCommandLatency)->Iterations(200)->Unit(benchmark::kMicrosecond);

}  // namespace
BENCHMARK_MAIN();
