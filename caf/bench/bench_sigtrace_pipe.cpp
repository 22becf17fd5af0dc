// Sig-trace data messages (10284-byte records) between two processes on
// 127.0.0.1, through the services (framework envelope, detector, services
// library) beside the same payload as raw host messages, in the same run.
// The receiver (this program forked) answers every 64 messages; a sender
// waits for that answer before the next 64. Target: services >= 70% of raw.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "vqcafcomm.h"
#include "vqcafglobals.h"
#include "vqcaflog.h"
#include "vqcafservicedetector.h"
#include "vqcafservicesigtraceserver.h"
#include "peers/loopback.h"

using namespace VQCAF;

namespace {

constexpr u32 kWindow = 64, kRawId = 0x0A410001, kRawAck = 0x0A410002;

void Open(const char* pszApp, u16 un16Port, u16 un16Peer) {
  loopnet::UseLoopbackNets(1);
  alignas(16) static char acGlobals[16];
  SetGlobals(reinterpret_cast<CVQCAFGlobals*>(acGlobals));
  for (u32 m = 1; m < 12; m++) SetSubModTraceLevel(static_cast<_VQCAF_SUBMODULE_TYPE>(m), VQDIS);
  CVQCAFCommParams P;
  P.mApplicationName = pszApp;
  P.mun16GwPort = un16Port;
  P.mun32NbExtraGwAddr = 1;
  strcpy(P.maExtraGwAddr[0].szIpAddress0, "127.0.0.1");
  P.maExtraGwAddr[0].un16Port = un16Peer;
  P.mfRemoteAddrOnGwPortOnly = 0;
  P.mun32HostLibTraceLevel = 0x7FFFFFFF;
  CVQCAFComm::Init(P);
  CVQCAFComm::Start(0, 1);
  CVQCAFServiceDetector::Init();
}

/* One end of the link: counts data, answers (receiver) or wakes on answers (sender). */
class CEnd : public CVQCAFServiceInstance {
 public:
  void OnMsgReceived(CVQCAFService*, CVQCAFMsgBuffer& Msg) override {
    if (Msg.GetMsgId() == VQCAF_MSG_SERVICE_CONNECTED) mfUp = true;
    if (Msg.GetMsgId() == VQCAF_MSG_SIGTRACE_DATA && ++mun32Count % kWindow == 0) {
      CVQCAFMsgSigtraceCapture Ack;
      SendMsg(Ack, 0);
    }
    if (Msg.GetMsgId() == VQCAF_MSG_SIGTRACE_CAPTURE) mun32Acks++;
  }
  std::atomic<bool> mfUp{false};
  std::atomic<u32> mun32Count{0}, mun32Acks{0};
};
class CEndService : public CVQCAFService {
 public:
  CEndService(u32 un32Id, u32 un32Detect) : CVQCAFService("bench", nullptr) {
    mParams.mServiceInfo.mun32ServiceId = un32Id;
    mParams.mServiceInfo.maun32DetectedRemoteServiceId[0] = un32Detect;
    mParams.maFilters.push_back({1, VQX_FILTER_MASK_MSG_GROUP, 0, 0, 0, 0x0B0D, 0, 0, 0, 0});
  }
  ~CEndService() override { Stop(); }
  CVQCAFServiceInstance* OnServiceConnected(CVQCAFService*, CVQCAFServiceInfo*) override { return &mEnd; }
  void OnServiceDisconnected(CVQCAFService*, CVQCAFServiceInstance*) override {}
  CEnd mEnd;
};

u16 s_un16Parent, s_un16Child;
pid_t s_Child = -1;
CEndService* s_pSender;
VQX_LIB_HANDLE s_hLib;
VQX_FILTER_HANDLE s_hAckFilter;
u32 s_hPeer;

/* The receiver: answers both kinds until killed. */
[[noreturn]] void Receiver() {
  Open("bench_rx", s_un16Child, s_un16Parent);
  CEndService Rx(VQCAF_SERVICE_ID_SIGTRACE_SERVER, VQCAF_SERVICE_ID_SIGTRACE_PROVIDER);
  Rx.Start(nullptr);
  VQX_LIB_HANDLE hLib = CVQCAFComm::GetHostLibInstance();
  _VQX_FILTER_PARAMS f{1, VQX_FILTER_MASK_MSG_ID, 0, 0, kRawId, 0, 0, 0, 0, 0};
  VQX_FILTER_HANDLE hF = nullptr;
  VQXCreateMsgFilterEx(hLib, 1, &f, &hF);
  for (u32 n = 0;;) {
    VQX_MSG_HANDLE h = nullptr;
    if (VQXReceiveMsg(hLib, hF, 1000, &h) != VQX_RESULT_API_OK) continue;
    const u32 hFrom = h->hAdapter;
    VQXReleaseMsgEx(hLib, &h);
    if (++n % kWindow != 0) continue;
    VQXGetMsg(hLib, 8, &h);
    h->un32MsgId = kRawAck, h->MsgType = VQX_MSG_TYPE_EVENT, h->hAdapter = hFrom, h->un32PayloadLength = 8;
    VQXSendMsgEx(hLib, &h, nullptr);
  }
}

bool Setup() {
  if (s_Child > 0) return s_pSender->mEnd.mfUp;
  s_un16Parent = loopnet::FreeLoopbackPort(), s_un16Child = loopnet::FreeLoopbackPort();
  s_Child = fork();
  if (s_Child == 0) Receiver();
  Open("bench_tx", s_un16Parent, s_un16Child);
  s_pSender = new CEndService(VQCAF_SERVICE_ID_SIGTRACE_PROVIDER, VQCAF_SERVICE_ID_SIGTRACE_SERVER);
  s_pSender->Start(nullptr);
  s_hLib = CVQCAFComm::GetHostLibInstance();
  _VQX_FILTER_PARAMS f{1, VQX_FILTER_MASK_MSG_ID, 0, 0, kRawAck, 0, 0, 0, 0, 0};
  VQXCreateMsgFilterEx(s_hLib, 1, &f, &s_hAckFilter);
  const auto End = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!s_pSender->mEnd.mfUp && std::chrono::steady_clock::now() < End) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  s_hPeer = s_pSender->mEnd.GetServiceInfo().mHostInfo.hAdapter;
  return s_pSender->mEnd.mfUp;
}

void BM_SigtraceDataThroughServices(benchmark::State& State) {
  if (!Setup()) return State.SkipWithError("no receiver");
  CVQCAFMsgSigtraceData Data;
  Data.mInfo.un32DataLength = VQCAF_SIGTRACE_MAX_DATA;
  for (auto _ : State) {
    const u32 un32Acks = s_pSender->mEnd.mun32Acks;
    for (u32 i = 0; i < kWindow; i++) s_pSender->mEnd.SendMsg(Data, 0);
    while (s_pSender->mEnd.mun32Acks == un32Acks) std::this_thread::yield();
  }
  State.SetItemsProcessed(State.iterations() * kWindow);
}
BENCHMARK(BM_SigtraceDataThroughServices)->UseRealTime();

void BM_SameDataAsRawHostMessages(benchmark::State& State) {
  if (!Setup()) return State.SkipWithError("no receiver");
  for (auto _ : State) {
    for (u32 i = 0; i < kWindow; i++) {
      VQX_MSG_HANDLE h = nullptr;
      VQXGetMsg(s_hLib, 10312, &h);  // the data record with the envelope, to whole 64-bit words
      h->un32MsgId = kRawId, h->MsgType = VQX_MSG_TYPE_EVENT, h->hAdapter = s_hPeer, h->un32PayloadLength = 10312;
      VQXSendMsgEx(s_hLib, &h, nullptr);
    }
    VQX_MSG_HANDLE h = nullptr;
    if (VQXReceiveMsg(s_hLib, s_hAckFilter, 10000, &h) == VQX_RESULT_API_OK) VQXReleaseMsgEx(s_hLib, &h);
  }
  State.SetItemsProcessed(State.iterations() * kWindow);
}
BENCHMARK(BM_SameDataAsRawHostMessages)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  if (s_Child > 0) kill(s_Child, SIGKILL), waitpid(s_Child, nullptr, 0);
  _exit(0);  // the framework's threads are left to the process end
}
