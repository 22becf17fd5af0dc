/*
 * bench_server.cpp - SS7 units from a board into the trace server's pcap and text
 * files, against the host library alone, in the same run.
 *
 * A C++ stand-in board (testing/peers, raw sockets on 127.0.0.1) advertises
 * itself, the adapters' transport links in, and the board streams SS7 trace
 * units (docs/board-trace-messages.md, 16 data bytes) in batches of 15.
 * BM_ServerSs7Units: the application (Init, its main loop on a thread, one
 * SS7 link attached to group "SS7", pcap) writes every unit; counted are the
 * units the group wrote, "lost" what it did not (or the board's units not
 * taken within 10 s). BM_ServerSs7UnitsText: the same into decoded text. BM_BareFilterSs7Units: the same stream taken from a
 * plain host-library filter and released (the yardstick of the ratio).
 */
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "peers/boardsim_process.h"
#include "peers/loopback.h"
#include "sigtrace_app.h"
#include "vqx_gwlib_wire.h"

using namespace VQCAF;

namespace {

constexpr u32 kBatches = 2000;  /* 30000 units per pass */
constexpr u32 kPayload = 0x30 + 16;
constexpr u32 kMsgSize = VQX_MSG_HEADER_SIZE + kPayload;
constexpr u32 kUnitId = 0x04210031u;

/* One pass of batches of SS7 units: trunk 5, timeslots 1 and 16, 16 data
 * bytes filled as the stand-in boards fill them (octet i of unit n is
 * n + i), so that text records cover every unit kind. */
std::vector<u8> Stream() {
  std::vector<u8> s;
  u32 sizes[15];
  std::fill(sizes, sizes + 15, kMsgSize);
  u8 h[vqxgw::kBatchHeaderSize];
  vqxgw::EncodeBatchHeader(15, sizes, h);
  u8 m[kMsgSize] = {};
  vqxgw::PutBe32(m + 0, kUnitId);
  vqxgw::PutBe32(m + 4, VQX_MSG_TYPE_EVENT);
  vqxgw::PutBe32(m + 8, kMsgSize);
  vqxgw::PutBe32(m + 12, kPayload);
  vqxgw::PutBe32(m + 16, kPayload);
  vqxgw::PutBe32(m + 20, VQX_MSG_HEADER_SIZE);
  vqxgw::PutBe32(m + 44, 2);
  const u32 aWords[] = {0, 0, 1, 0, 1, 16, 5, 0x00010002, 0xFF, 0, 1, 14};  /* payload, little-endian */
  std::memcpy(m + VQX_MSG_HEADER_SIZE, aWords, sizeof(aWords));
  u32 un32Unit = 0;
  for (u32 b = 0; b < kBatches; b++) {
    s.insert(s.end(), h, h + sizeof(h));
    for (u32 u = 0; u < 15; u++, un32Unit++) {
      for (u32 i = 0; i < 16; i++) m[VQX_MSG_HEADER_SIZE + 0x30 + i] = static_cast<u8>(un32Unit + i);
      s.insert(s.end(), m, m + sizeof(m));
    }
  }
  return s;
}

/* Reads and drops what the library sends the board (requests, polls). */
class CDrain {
 public:
  explicit CDrain(int s)
      : mThread([this, s] {
          char buf[65536];
          timeval tv{0, 100000};
          setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
          while (!mfStop.load() && recv(s, buf, sizeof(buf), 0) != 0) {
          }
        }) {}
  ~CDrain() {
    mfStop = true;
    mThread.join();
  }

 private:
  std::atomic<bool> mfStop{false};
  std::thread mThread;
};

/* The stand-in board linked in (its socket, handshake sent), or -1. */
int LinkBoard(gwpeer::RawBoard& Board, u16 un16Port) {
  const int s = Board.AdvertiseUntilLinked(un16Port, "127.0.0.1", "");
  if (s >= 0 && send(s, "\0\0\0\7", 4, MSG_NOSIGNAL) != 4) return -1;
  return s;
}

/* Writes one pass on its own thread while fnTaken counts up to the pass; the units taken and the seconds. */
template <class F>
std::pair<u64, double> Pass(int s, const std::vector<u8>& Bytes, F fnTaken) {
  const u64 un64Want = u64(kBatches) * 15;
  const auto t0 = std::chrono::steady_clock::now();
  std::thread Writer([&] { (void)!send(s, Bytes.data(), Bytes.size(), MSG_NOSIGNAL); });
  u64 un64Got = 0;
  while ((un64Got = fnTaken()) < un64Want && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10)) {
  }
  Writer.join();
  return {un64Got, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count()};
}

/* The passes of one benchmark: fnTaken gives the units taken so far (cumulative). */
template <class F>
void RunPasses(benchmark::State& state, bool fLinked, int s, F fnTaken) {
  if (!fLinked) {
    state.SkipWithError("the board did not link in");
    return;
  }
  CDrain Drain(s);
  const std::vector<u8> Bytes = Stream();
  u64 un64Total = 0, un64Lost = 0;
  double dSecs = 0;
  for (auto _ : state) {
    const u64 un64Start = fnTaken();
    const auto [un64Got, dPass] = Pass(s, Bytes, [&] { return fnTaken() - un64Start; });
    un64Total += un64Got, dSecs += dPass;
    un64Lost += u64(kBatches) * 15 - un64Got;
  }
  state.counters["units_per_s"] = double(un64Total) / dSecs;
  state.counters["lost"] = double(un64Lost);
}

void ServerSs7Units(benchmark::State& state, u8 fCapFile) {
  signal(SIGPIPE, SIG_IGN);  /* the library writing to the board once it is gone */
  loopnet::UseLoopbackNets(1);
  const u16 un16Port = loopnet::FreeLoopbackPort();
  setenv("VQX_GW_PORT", std::to_string(un16Port).c_str(), 1);
  const std::filesystem::path Dir = std::filesystem::temp_directory_path() / ("bench_server_" + std::to_string(getpid()));
  std::filesystem::create_directories(Dir);
  const std::filesystem::path Cwd = std::filesystem::current_path();
  std::filesystem::current_path(Dir);
  GlobalInit();
  CVQSigTraceCfgCmdLine CmdLine;
  CmdLine.mfH248 = 0;
  CmdLine.mAdapterName = "NONE";  /* no activation of its own: the bench attaches the link */
  auto pApp = std::make_unique<CVQSigTrace>(CmdLine);
  gwpeer::RawBoard Board;
  int s = -1;
  if (pApp->Init() == VQX_RESULT_OK) s = LinkBoard(Board, un16Port);
  std::thread Loop([&] {
    if (s >= 0) pApp->MainLoop();
  });
  CVQSigTraceGrp* pGroup = nullptr;
  for (int i = 0; i < 500 && pGroup == nullptr && s >= 0; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    CVQCAFMutexAutoGetGive Lock(&pApp->mAppMutex);
    pApp->mAdapters.ResetNext();
    if (CVQSigTraceAdapter* pAdapter = pApp->mAdapters.Next()) {
      CVQSigTraceEntityParams E;
      E.mun32Type = VQ_SIGTRACE_TYPE_SS7, E.mun32Trunk = 5, E.mun32TimeslotMask = 0x00010002;
      E.mstrGroupName = "SS7", E.mstrName = "LINK", E.mfCapFile = fCapFile;
      pApp->AttachEntityToGroup(*pAdapter, E);
      pGroup = pApp->mGroups.Find(CVQCAFHashKeyString("SS7"));
    }
  }
  RunPasses(state, pGroup != nullptr, s, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  /* the main loop needs the mutex more */
    CVQCAFMutexAutoGetGive Lock(&pApp->mAppMutex);
    return u64(pGroup->mvEntities[0].mun32RxCount);
  });
  if (pGroup != nullptr) state.counters["lost"] += pGroup->mun32LostCount;  /* counted, not written */
  pApp->mfQuit = 1;
  Loop.join();
  pApp.reset();
  if (s >= 0) close(s);
  GlobalUninit();
  std::filesystem::current_path(Cwd);
  if (!getenv("BENCH_KEEP")) std::filesystem::remove_all(Dir);
  loopnet::UseLoopbackNets(0);
}
void BM_ServerSs7Units(benchmark::State& state) { ServerSs7Units(state, 1); }
BENCHMARK(BM_ServerSs7Units)->Iterations(5)->Unit(benchmark::kMillisecond);
void BM_ServerSs7UnitsText(benchmark::State& state) { ServerSs7Units(state, 0); }
BENCHMARK(BM_ServerSs7UnitsText)->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_BareFilterSs7Units(benchmark::State& state) {
  loopnet::UseLoopbackNets(1);
  const u16 un16Port = loopnet::FreeLoopbackPort();
  setenv("VQX_GW_PORT", std::to_string(un16Port).c_str(), 1);
  _VQX_LIB_PARAMS Params{};
  Params.un32StructVersion = 1, Params.un32TransportType = 1;
  Params.pFctErrorCallback = [](void*, VQX_LIB_HANDLE, const char*) {};
  snprintf(Params.szApplicationName, sizeof(Params.szApplicationName), "bench");
  VQX_LIB_HANDLE hLib = nullptr;
  VQX_FILTER_HANDLE hFilter = nullptr;
  _VQX_FILTER_PARAMS Set{};
  Set.un32Version = 1, Set.un32Mask = VQX_FILTER_MASK_MSG_ID, Set.MsgId = kUnitId;
  gwpeer::RawBoard Board;
  int s = -1;
  if (VQXOpenLib(&Params, &hLib) == VQX_RESULT_API_OK && VQXCreateMsgFilterEx(hLib, 1, &Set, &hFilter) == VQX_RESULT_API_OK)
    s = LinkBoard(Board, un16Port);
  u32 un32Adapters = 0, ahAdapters[4];
  for (int i = 0; i < 500 && s >= 0 && un32Adapters == 0; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    VQXGetAdaptersList(hLib, 4, &un32Adapters, ahAdapters);
  }
  u64 un64Got = 0;
  RunPasses(state, un32Adapters != 0, s, [&] {
    u32 n = 0;
    VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
    if (VQXReceiveMsgMultiple(hLib, hFilter, 100, &n, ah) == VQX_RESULT_API_OK)
      for (u32 i = 0; i < n; i++) VQXReleaseMsgEx(hLib, &ah[i]);
    return un64Got += n;
  });
  if (s >= 0) close(s);
  if (hFilter != nullptr) VQXDestroyMsgFilterEx(hLib, &hFilter);
  if (hLib != nullptr) VQXCloseLibEx(&hLib);
  loopnet::UseLoopbackNets(0);
}
BENCHMARK(BM_BareFilterSs7Units)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
