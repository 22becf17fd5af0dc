// Building a CALL_LEG_CREATE command with the typed wrapper from prepared attributes (a call-leg attribute whose
// profile has a local SDP and a name, a protocol attribute with three SIP headers and a 300-byte body), beside
// copying the finished payload into a fresh message. The target: building at least a quarter of the copy's rate.
// The attributes' places in the 872-byte payload are this benchmark's own (leg description at 32, protocol
// attribute at 724); only the copy work matters here.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "vq500_sip_text.h"
#include "vqcafcomm.h"
#include "vqcafglobals.h"
#include "vqcaflog.h"
#include "vqcmc_leg_attributes.h"
#include "vqcmc_message.h"
#include "vqcmc_protocol_attribute.h"
#include "vqcmclib.h"

using namespace VQCAF;

namespace {

using CallLegCreate = CVQCMCMessage<_VQCMC_MSG_CMD_CALL_LEG_CREATE, VQCMC_MSG_CMD_CALL_LEG_CREATE>;
constexpr u32 kLegAt = 32 + 8, kProtocolAt = 724;

struct Setup {
  VQX_LIB_HANDLE hLib = nullptr;
  CVQCMC_CALL_LEG_ATTRIBUTE* pLeg = nullptr;
  CVQCMC_PROTOCOL_ATTRIBUTE* pProtocol = nullptr;
};

const Setup& Prepared() {
  static Setup s = [] {
    Setup S;
    alignas(16) static char acGlobals[16];
    SetGlobals(reinterpret_cast<CVQCAFGlobals*>(acGlobals));
    SetSubModTraceLevel(VQCAF_SUBMODULE_COMM, VQDIS);
    CVQCAFCommParams Params;
    Params.mun32HostLibTraceLevel = 0x7FFFFFFF;
    CVQCAFComm::Init(Params);
    S.hLib = CVQCAFComm::GetHostLibInstance();
    _VQCMC_LIB_PARAMS p{};
    p.hVqxLib = S.hLib;
    p.Callback.pFctCallback = [](VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE*) {};
    p.Threads.un32NbThread = 1;
    p.un32LibId = 7777;
    VQCMC_LIB_HANDLE hCmc = nullptr;
    VQCmcLibOpen(&p, &hCmc);
    CVQCMCLib::TestInstall(hCmc);
    S.pLeg = new CVQCMC_CALL_LEG_ATTRIBUTE;
    S.pLeg->GetCalledNumber() = "5551000", S.pLeg->GetCallingNumber(0) = "5552000";
    static _VQX_SDP_INFO Sdp{};
    S.pLeg->GetProfile().SetLocalSDP(Sdp);
    S.pLeg->GetProfile().SetByProfileName("bench profile");
    S.pProtocol = new CVQCMC_PROTOCOL_ATTRIBUTE;
    VQX_MSG_HANDLE hMsg = nullptr;
    VQXMsgElementSet* pSet = nullptr;
    S.pProtocol->InitSipHeaders(&hMsg, &pSet);
    for (const char* psz : {"application/sdp", "text/plain; charset=utf-8", "multipart/mixed; boundary=b1"}) {
      VQ500SipHeaderAddStr_ContentType(hMsg, pSet, psz);
    }
    const std::string strBody(300, 'b');
    S.pProtocol->SetSinglePartSipBody(strBody.c_str());
    return S;
  }();
  return s;
}

void Build(CallLegCreate& Msg, const Setup& S) {
  u8* pby = reinterpret_cast<u8*>(Msg.GetPayload());
  S.pLeg->CopyTo(Msg.GetMsg(), reinterpret_cast<_VQCMC_CALL_LEG_ATTRIBUTE*>(pby + kLegAt));
  S.pProtocol->CopyTo(Msg.GetMsg(), reinterpret_cast<_VQCMC_PROTOCOL_ATTRIBUTE*>(pby + kProtocolAt));
}

void BM_BuildCallLegCreate(benchmark::State& State) {
  const Setup& S = Prepared();
  for (auto _ : State) {
    CallLegCreate Msg(4096);
    Build(Msg, S);
    benchmark::DoNotOptimize(Msg.GetMsg()->un32PayloadLength);
  }
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_BuildCallLegCreate);

void BM_CopyFinishedCallLegCreate(benchmark::State& State) {
  const Setup& S = Prepared();
  CallLegCreate Finished(4096);
  Build(Finished, S);
  const u32 un32Used = Finished.GetMsg()->un32PayloadLength;
  State.counters["payload_bytes"] = un32Used;
  for (auto _ : State) {
    VQX_MSG_HANDLE h = nullptr;
    VQXGetMsg(S.hLib, sizeof(_VQCMC_MSG_CMD_CALL_LEG_CREATE) + 4096, &h);
    memcpy(VQXMsgPayload(h), VQXMsgPayload(Finished.GetMsg()), un32Used);
    h->un32PayloadLength = un32Used;
    benchmark::ClobberMemory();
    VQXReleaseMsgEx(S.hLib, &h);
  }
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_CopyFinishedCallLegCreate);

}  // namespace

BENCHMARK_MAIN();
