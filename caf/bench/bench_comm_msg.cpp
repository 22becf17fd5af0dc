// Framework message cost against the bare host library: SerializeFromMsg +
// UnserializeToMsg of a sig-trace register message (292-byte record behind the
// envelope) beside VQXGetMsg + a 292-byte memcpy + VQXReleaseMsg. The target:
// the framework pair at least half the rate of the bare one.
#include <benchmark/benchmark.h>

#include <cstring>

#include "vqcafcomm.h"
#include "vqcafglobals.h"
#include "vqcaflog.h"
#include "vqcafmsgsigtrace.h"

using namespace VQCAF;

namespace {

VQX_LIB_HANDLE Bridge() {
  static VQX_LIB_HANDLE hLib = [] {
    alignas(16) static char acGlobals[16];
    SetGlobals(reinterpret_cast<CVQCAFGlobals*>(acGlobals));
    SetSubModTraceLevel(VQCAF_SUBMODULE_COMM, VQDIS);
    CVQCAFCommParams Params;
    Params.mun32HostLibTraceLevel = 0x7FFFFFFF;
    CVQCAFComm::Init(Params);
    return CVQCAFComm::GetHostLibInstance();
  }();
  return hLib;
}

void BM_RegisterSerializeUnserialize(benchmark::State& State) {
  Bridge();
  CVQCAFMsgSigtraceRegister Out, In;
  strcpy(Out.mInfo.szName, "mgc1");
  strcpy(Out.mInfo.szDescription, "gateway one");
  for (auto _ : State) {
    CVQCAFMsgBuffer Buffer;
    Buffer.SerializeFromMsg(Out, nullptr);
    Buffer.Seek(0);
    if (Buffer.UnserializeToMsg(In, nullptr) != VQX_RESULT_OK) State.SkipWithError("unserialize failed");
    benchmark::DoNotOptimize(In.mInfo.un32Type);
  }
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_RegisterSerializeUnserialize);

void BM_HostLibGetCopyRelease(benchmark::State& State) {
  VQX_LIB_HANDLE hLib = Bridge();
  VQCAF_SIGTRACE_REGISTER_INFO Info{};
  for (auto _ : State) {
    VQX_MSG_HANDLE h = nullptr;
    VQXGetMsg(hLib, sizeof(Info), &h);
    memcpy(VQXMsgPayload(h), &Info, sizeof(Info));
    benchmark::ClobberMemory();
    VQXReleaseMsgEx(hLib, &h);
  }
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_HostLibGetCopyRelease);

}  // namespace

BENCHMARK_MAIN();
