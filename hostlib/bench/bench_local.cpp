/*
 * bench_local.cpp - local delivery throughput: one thread sends messages of
 * 64 payload bytes to this process's filters while another drains the
 * filter. Compared in the same run with a std::mutex + std::deque queue
 * carrying the same messages (same allocation and release), so that the
 * ratio measures the filter path alone. Target: the filter path at least
 * 1M messages/s and at least half the deque's rate.
 */
#include <benchmark/benchmark.h>

#include <string.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "vqx_host_filter.h"

namespace {

constexpr u32 kBatch = 20000;      /* messages per iteration */
constexpr u32 kPayload = 64;
constexpr u32 kMsgId = 0x06000001u;
constexpr u32 kLocal = 0xDA000001u;

void Quiet(void*, VQX_LIB_HANDLE, const char*) {}

VQX_LIB_HANDLE OpenLib() {
  _VQX_LIB_PARAMS params;
  memset(&params, 0, sizeof(params));
  params.un32StructVersion = 1;
  params.un32TransportType = 1;
  params.fAdaptersGwOff = 1;
  params.pFctErrorCallback = Quiet;
  params.un32TraceLevel = 0xFFFFFFFFu;
  VQX_LIB_HANDLE hLib = nullptr;
  return VQXOpenLib(&params, &hLib) == VQX_RESULT_API_OK ? hLib : nullptr;
}

VQX_MSG_HANDLE NewMsg(VQX_LIB_HANDLE hLib, u32 i) {
  VQX_MSG_HANDLE hMsg = nullptr;
  if (VQXGetMsg(hLib, kPayload, &hMsg) != VQX_RESULT_API_OK) return nullptr;
  hMsg->un32MsgId = kMsgId;
  hMsg->MsgType = VQX_MSG_TYPE_EVENT;
  hMsg->hAdapter = kLocal;
  hMsg->un32PayloadLength = kPayload;
  hMsg->un64UserContext1 = i;
  return hMsg;
}

void BM_FilterLocalDelivery(benchmark::State& state) {
  VQX_LIB_HANDLE hLib = OpenLib();
  _VQX_FILTER_PARAMS set{};
  set.un32Version = 1;
  set.un32Mask = VQX_FILTER_MASK_MSG_ID;
  set.MsgId = kMsgId;
  VQX_FILTER_HANDLE hFilter = nullptr;
  if (hLib == nullptr || VQXCreateMsgFilterEx(hLib, 1, &set, &hFilter) != VQX_RESULT_API_OK) {
    state.SkipWithError("library or filter could not be made");
    return;
  }
  u64 un64Lost = 0;
  for (auto _ : state) {
    std::thread producer([&] {
      for (u32 i = 0; i < kBatch; i++) {
        VQX_MSG_HANDLE hMsg = NewMsg(hLib, i);
        if (hMsg != nullptr) VQXSendMsgEx(hLib, &hMsg, nullptr);
      }
    });
    u32 un32Got = 0;
    u32 un32Idle = 0;
    while (un32Got < kBatch && un32Idle < 5) {
      VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
      u32 n = 0;
      if (VQXReceiveMsgMultiple(hLib, hFilter, 1000, &n, ah) != VQX_RESULT_API_OK) {
        un32Idle++;
        continue;
      }
      for (u32 i = 0; i < n; i++) VQXReleaseMsgEx(hLib, &ah[i]);
      un32Got += n;
    }
    producer.join();
    un64Lost += kBatch - un32Got;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBatch);
  state.counters["lost"] = static_cast<double>(un64Lost);
  VQXDestroyMsgFilterEx(hLib, &hFilter);
  VQXCloseLibEx(&hLib);
}

void BM_MutexDequeSameMessages(benchmark::State& state) {
  VQX_LIB_HANDLE hLib = OpenLib();
  if (hLib == nullptr) {
    state.SkipWithError("library could not be opened");
    return;
  }
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<VQX_MSG_HANDLE> queue;
  for (auto _ : state) {
    std::thread producer([&] {
      for (u32 i = 0; i < kBatch; i++) {
        VQX_MSG_HANDLE hMsg = NewMsg(hLib, i);
        {
          std::lock_guard<std::mutex> guard(mutex);
          queue.push_back(hMsg);
        }
        cv.notify_one();
      }
    });
    u32 un32Got = 0;
    while (un32Got < kBatch) {
      VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
      u32 n = 0;
      {
        std::unique_lock<std::mutex> lock(mutex);
        if (!cv.wait_for(lock, std::chrono::seconds(1), [&] { return !queue.empty(); })) break;
        while (n < VQX_RECEIVE_MULTIPLE_MAX && !queue.empty()) {
          ah[n++] = queue.front();
          queue.pop_front();
        }
      }
      for (u32 i = 0; i < n; i++) {
        if (ah[i] != nullptr) VQXReleaseMsgEx(hLib, &ah[i]);
      }
      un32Got += n;
    }
    producer.join();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBatch);
  VQXCloseLibEx(&hLib);
}

BENCHMARK(BM_FilterLocalDelivery)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(3);
BENCHMARK(BM_MutexDequeSameMessages)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(3);

/* Keeps each benchmark's mean real time per iteration (over the repetitions) to print the rates and their ratio. */
class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred || r.iterations == 0) continue;
      const bool fMean = r.run_type == Run::RT_Aggregate && r.aggregate_name == "mean";
      if (fMean || (r.run_type == Run::RT_Iteration && mTimes.count(r.run_name.function_name) == 0)) {
        mTimes[r.run_name.function_name] = r.real_accumulated_time / static_cast<double>(r.iterations);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> mTimes; /* seconds per iteration */
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto ours = reporter.mTimes.find("BM_FilterLocalDelivery");
  const auto base = reporter.mTimes.find("BM_MutexDequeSameMessages");
  if (ours != reporter.mTimes.end() && base != reporter.mTimes.end() && ours->second > 0 && base->second > 0) {
    const double dOurs = kBatch / ours->second;
    const double dBase = kBatch / base->second;
    std::printf("filter path: %.2f M msg/s (target >= 1.00): %s\n", dOurs / 1e6, dOurs >= 1e6 ? "met" : "NOT MET");
    std::printf("mutex+deque: %.2f M msg/s\n", dBase / 1e6);
    std::printf("ratio filter / deque = %.2f (target >= 0.50): %s\n", dOurs / dBase, dOurs >= 0.5 * dBase ? "met" : "NOT MET");
  }
  benchmark::Shutdown();
  return 0;
}
