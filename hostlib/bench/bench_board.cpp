/*
 * bench_board.cpp - host messages from a peer to the application over
 * 127.0.0.1, through the whole host library and through the transport
 * alone, in the same run.
 *
 * BM_LibRxThroughput: a C++ stand-in for the board links into the host
 * library's hosts' instance and streams numbered events of 100 payload
 * bytes in batches of 15; counted is what the application thread receives
 * from its filter (VQXReceiveMsgMultiple). Lost messages are reported.
 * BM_GwRxThroughput: the same stream into a bare transport instance whose
 * receive callback only counts (the yardstick of the ratio).
 * BM_LibRoundTrip: a request from one library to another in this process,
 * answered by a callback filter of the second, received on the awaited
 * response filter of the first; the median and 99th percentile are given.
 */
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vqx_gwlib.h"
#include "vqx_gwlib_wire.h"
#include "peers/gw_raw_host.h"
#include "vqx_host.h"
#include "vqx_host_filter.h"
#include "vqx_host_peer.h"

using namespace vqxgw;

namespace {

constexpr u32 kPayload = 100;
constexpr u32 kWirePayload = 104; /* padded to 64 bits */
constexpr u32 kMsgSize = VQX_MSG_HEADER_SIZE + kWirePayload;
constexpr u32 kBatches = 2000; /* 30000 messages per pass */
constexpr u32 kEventId = 0x06000077u;
constexpr u32 kRequestId = 0x06000078u;

using loopnet::FreeLoopbackPort;

/* One pass of batches: host messages in wire form, numbered from *pun32Seq on. */
std::vector<u8> Stream(u32* pun32Seq) {
  std::vector<u8> s;
  u32 sizes[15];
  std::fill(sizes, sizes + 15, kMsgSize);
  u8 h[kBatchHeaderSize];
  EncodeBatchHeader(15, sizes, h);
  u8 m[kMsgSize] = {};
  for (u32 b = 0; b < kBatches; b++) {
    s.insert(s.end(), h, h + sizeof(h));
    for (u32 i = 0; i < 15; i++) {
      PutBe32(m + 0, kEventId);
      PutBe32(m + 4, VQX_MSG_TYPE_EVENT);
      PutBe32(m + 8, kMsgSize);
      PutBe32(m + 12, kPayload);
      PutBe32(m + 16, kWirePayload);
      PutBe32(m + 20, VQX_MSG_HEADER_SIZE);
      PutBe32(m + 44, 2);
      PutBe32(m + 64, (*pun32Seq)++);
      if (*pun32Seq == 0) *pun32Seq = 1;
      s.insert(s.end(), m, m + sizeof(m));
    }
  }
  return s;
}

/* The passes of one run, numbered on from *pun32Seq, built before its timed loop: building 3.6 MB
 * a pass inside it would time the heap (what the benchmarks before left of it) with the link. */
std::vector<std::vector<u8>> Passes(const benchmark::State& state, u32* pun32Seq) {
  std::vector<std::vector<u8>> passes;
  for (benchmark::IterationCount i = 0; i < state.max_iterations; i++) passes.push_back(Stream(pun32Seq));
  return passes;
}

/* Links into a hosts' instance on udpPort as a host of a greater unique id,
 * sequenced and acknowledged, announced at link-up. Returns the socket. */
int LinkIn(u16 udpPort) {
  gwpeer::RawHost me;
  me.un64UniqueId = 0xFFFFFFF0FFFFFFFFull;
  me.un32BuildNumber = 0x00600000;
  me.fNoDelay = true;
  return gwpeer::LinkIn(udpPort, me);
}

/* Reads and discards what the library sends the stand-in (its filters, acknowledgements, polls). */
class Drain {
 public:
  explicit Drain(int s)
      : mSock(s), mThread([this] {
          char buf[65536];
          while (!mStop.load()) {
            timeval tv{0, 100000};
            setsockopt(mSock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
            if (recv(mSock, buf, sizeof(buf), 0) == 0) break;
          }
        }) {}
  ~Drain() {
    mStop = true;
    mThread.join();
  }

 private:
  int mSock;
  std::atomic<bool> mStop{false};
  std::thread mThread;
};

void Quiet(void*, VQX_LIB_HANDLE, const char*) {}

VQX_LIB_HANDLE OpenHostLib(u16 port, const std::string& extra, const char* pszApp) {
  setenv("VQX_GW_PORT", std::to_string(port).c_str(), 1);
  setenv("VQX_GW_REMOTE_ADDR", extra.c_str(), 1);
  _VQX_LIB_PARAMS params{};
  params.un32StructVersion = 1;
  params.un32TransportType = 1;
  params.fAdaptersGwOff = 1;
  params.fHostsGwOn = 1;
  params.pFctErrorCallback = Quiet;
  snprintf(params.szApplicationName, sizeof(params.szApplicationName), "%s", pszApp);
  VQX_LIB_HANDLE hLib = nullptr;
  return VQXOpenLib(&params, &hLib) == VQX_RESULT_API_OK ? hLib : nullptr;
}

VQX_FILTER_HANDLE IdFilter(VQX_LIB_HANDLE hLib, u32 un32Id) {
  _VQX_FILTER_PARAMS set{};
  set.un32Version = 1;
  set.un32Mask = VQX_FILTER_MASK_MSG_ID;
  set.MsgId = un32Id;
  VQX_FILTER_HANDLE h = nullptr;
  VQXCreateMsgFilterEx(hLib, 1, &set, &h);
  return h;
}

u32 WaitHost(VQX_LIB_HANDLE hLib, u32 un32Ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(un32Ms);
  while (std::chrono::steady_clock::now() < deadline) {
    u32 n = 0, ah[4];
    if (VQXGetRemoteHostsList(hLib, 4, &n, ah) == VQX_RESULT_API_OK && n > 0) return ah[0];
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return 0;
}

void BM_LibRxThroughput(benchmark::State& state) {
  loopnet::UseLoopbackNets(1);
  const u16 port = FreeLoopbackPort();
  VQX_LIB_HANDLE hLib = OpenHostLib(port, "", "bench");
  if (hLib == nullptr) {
    state.SkipWithError("open");
    return;
  }
  VQX_FILTER_HANDLE hFilter = IdFilter(hLib, kEventId);
  const int s = LinkIn(port);
  if (s < 0 || WaitHost(hLib, 5000) == 0) {
    state.SkipWithError("link");
    VQXCloseLibEx(&hLib);
    return;
  }
  Drain drain(s);
  u32 un32Seq = 1;
  const std::vector<std::vector<u8>> passes = Passes(state, &un32Seq);
  size_t pass = 0;
  u64 total = 0, lost = 0;
  double secs = 0;
  for (auto _ : state) {
    const std::vector<u8>& stream = passes[pass++];
    const u64 perPass = u64(kBatches) * 15;
    u64 got = 0;
    const auto t0 = std::chrono::steady_clock::now();
    std::thread writer([&] {
      if (write(s, stream.data(), stream.size()) != ssize_t(stream.size())) state.SkipWithError("write");
    });
    const auto deadline = t0 + std::chrono::seconds(10);
    while (got < perPass && std::chrono::steady_clock::now() < deadline) {
      u32 n = 0;
      VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
      if (VQXReceiveMsgMultiple(hLib, hFilter, 100, &n, ah) != VQX_RESULT_API_OK) continue;
      for (u32 i = 0; i < n; i++) VQXReleaseMsgEx(hLib, &ah[i]);
      got += n;
    }
    writer.join();
    secs += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    total += got;
    lost += perPass - got;
  }
  state.counters["msgs_per_s"] = double(total) / secs;
  state.counters["lost"] = double(lost);
  close(s);
  VQXDestroyMsgFilterEx(hLib, &hFilter);
  VQXCloseLibEx(&hLib);
}
BENCHMARK(BM_LibRxThroughput)
    ->Iterations(10)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

struct GwCounter {
  std::atomic<u64> msgs{0};
  std::atomic<u32> up{0};
};
void GwNop(void*, const char*, ...) {}
void GwUpDown(void* c, u32, const void*, u32 f0, u32, u32) { static_cast<GwCounter*>(c)->up = f0; }
void GwAlloc(void*, u32 n, const u32* sizes, void** bufs) {
  for (u32 i = 0; i < n; i++) bufs[i] = std::malloc(sizes[i]);
}
void GwFree(void*, void** p) {
  std::free(*p);
  *p = nullptr;
}
void GwFreeMany(void*, u32 n, void** bufs) {
  for (u32 i = 0; i < n; i++) std::free(bufs[i]);
}
void GwRx(void* c, u32, u32, u32 n, void** bufs, const u32*, u32*) {
  for (u32 i = 0; i < n; i++) std::free(bufs[i]);
  static_cast<GwCounter*>(c)->msgs += n;
}

void BM_GwRxThroughput(benchmark::State& state) {
  loopnet::UseLoopbackNets(1);
  GwCounter k;
  const u16 port = FreeLoopbackPort();
  VqxGwLibParams p{};
  p.aun16GwPorts[0] = port;
  std::memcpy(&p.un32GwDiscoveryId, "IDLH", 4);
  std::memcpy(&p.un32GwDiscoverySpecificId, "SDLH", 4);
  std::memcpy(&p.un32GwPollId, "IPLH", 4);
  std::memcpy(&p.un32GwReplyId, "APLH", 4);
  p.un64PollHostCtxId = 0x7F00000100000001ull;
  p.fUseSeparatePollSocket = 1;
  p.fOpenPollSocketsAlways = 1;
  p.un8PeerHandlesBase = 0xCB;
  p.fIsGw0 = p.fIsGw1 = 1;
  p.fWaitConnections = 1;
  p.HostGwParms.un64UniqueId = p.un64PollHostCtxId;
  std::strcpy(p.HostGwParms.szHostName, "bench");
  std::strcpy(p.HostGwParms.szAppName, "gwonly");
  std::strcpy(p.HostGwParms.szIpAddress0, "127.0.0.1");
  p.HostGwParms.un32BuildNumber = kHostBuildNumber;
  p.RedundancyParams = {1, 2000, 4500, 10000, 1, 1, 0};
  p.pFctRxMultiple = GwRx;
  p.pRxCtx = &k;
  p.pFctUpDown = GwUpDown;
  p.pUpDownCtx = &k;
  p.pFctAllocMsgMultiple = GwAlloc;
  p.pFctFreeMsg = GwFree;
  p.pFctFreeMsgMultiple = GwFreeMany;
  p.pFctErrorLog = GwNop;
  VqxGwLibContext ctx = nullptr;
  if (VqxGwLibAllocate(&p, &ctx) != VQX_RESULT_OK || VqxGwLibEnable(ctx) != VQX_RESULT_OK) {
    state.SkipWithError("allocate");
    return;
  }
  const int s = LinkIn(port);
  for (int i = 0; i < 500 && k.up.load() == 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (s < 0 || k.up.load() == 0) {
    state.SkipWithError("link");
    VqxGwLibDestroy(ctx);
    return;
  }
  Drain drain(s);
  u32 un32Seq = 1;
  const std::vector<std::vector<u8>> passes = Passes(state, &un32Seq);
  size_t pass = 0;
  u64 total = 0;
  double secs = 0;
  for (auto _ : state) {
    const std::vector<u8>& stream = passes[pass++];
    const u64 target = k.msgs + u64(kBatches) * 15;
    const auto t0 = std::chrono::steady_clock::now();
    std::thread writer([&] {
      if (write(s, stream.data(), stream.size()) != ssize_t(stream.size())) state.SkipWithError("write");
    });
    const auto deadline = t0 + std::chrono::seconds(10);
    while (k.msgs < target && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    writer.join();
    secs += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    total += u64(kBatches) * 15;
  }
  state.counters["msgs_per_s"] = double(total) / secs;
  close(s);
  VqxGwLibDestroy(ctx);
}
BENCHMARK(BM_GwRxThroughput)->Iterations(10)->Repetitions(3)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);

/* The answering library's callback: each request goes back as its response. */
void Answer(void*, VQX_LIB_HANDLE, VQX_FILTER_HANDLE, u32* pun32Count, VQX_MSG_HANDLE* pahMsg) {
  for (u32 i = 0; i < *pun32Count; i++) {
    pahMsg[i]->MsgType = VQX_MSG_TYPE_RESPONSE;
    /* hAdapter already names the sender. */
  }
}

void BM_LibRoundTrip(benchmark::State& state) {
  loopnet::UseLoopbackNets(1);
  const u16 pa = FreeLoopbackPort(), pb = FreeLoopbackPort();
  VQX_LIB_HANDLE hA = OpenHostLib(pa, "(127.0.0.1:" + std::to_string(pb) + ")", "asker");
  VQX_LIB_HANDLE hB = OpenHostLib(pb, "(127.0.0.1:" + std::to_string(pa) + ")", "answerer");
  if (hA == nullptr || hB == nullptr) {
    state.SkipWithError("open");
    return;
  }
  VQX_FILTER_HANDLE hRequests = IdFilter(hB, kRequestId);
  _VQX_FILTER_CALLBACK_PARAMS cb{};
  cb.pFctFilterMsgReceived = Answer;
  cb.un32FilterMaxMsgPerCallback = 16;
  VQXModifyMsgFilter(hB, hRequests, 0, nullptr, &cb);
  const u32 hPeer = WaitHost(hA, 8000);
  if (hPeer == 0 || WaitHost(hB, 8000) == 0) {
    state.SkipWithError("link");
  }
  std::vector<double> us;
  u32 failures = 0;
  for (auto _ : state) {
    if (hPeer == 0) break;
    const auto t0 = std::chrono::steady_clock::now();
    VQX_MSG_HANDLE hMsg = nullptr;
    VQXGetMsg(hA, 8, &hMsg);
    hMsg->un32MsgId = kRequestId;
    hMsg->MsgType = VQX_MSG_TYPE_REQUEST;
    hMsg->hAdapter = hPeer;
    hMsg->un32PayloadLength = 8;
    VQX_FILTER_HANDLE hImplicit = nullptr;
    VQXSendMsgEx(hA, &hMsg, &hImplicit);
    VQX_MSG_HANDLE hRsp = nullptr;
    if (hImplicit == nullptr || VQXReceiveMsg(hA, hImplicit, 2000, &hRsp) != VQX_RESULT_API_OK) failures++;
    if (hRsp != nullptr) VQXReleaseMsgEx(hA, &hRsp);
    if (hImplicit != nullptr) VQXDestroyMsgFilterEx(hA, &hImplicit);
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(us.begin(), us.end());
  state.counters["median_us"] = us.empty() ? 0 : us[us.size() / 2];
  state.counters["p99_us"] = us.empty() ? 0 : us[us.size() * 99 / 100];
  state.counters["failures"] = failures;
  VQXDestroyMsgFilterEx(hB, &hRequests);
  VQXCloseLibEx(&hA);
  VQXCloseLibEx(&hB);
}
BENCHMARK(BM_LibRoundTrip)->Iterations(3000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
