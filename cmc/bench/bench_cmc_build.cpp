// Building a CALL_LEG_CREATE command with the typed wrapper from prepared attributes (a call-leg attribute whose
// profile has a local SDP and a name, a protocol attribute with three SIP headers and a 300-byte body), beside
// copying the finished payload into a fresh message. The target: building at least a quarter of the copy's rate.
// Reading a received LEG_SYNC notification into a call-leg attribute (checks, texts, profile with its blob and
// name), beside duplicating the notification's element sets alone into another message: at least half its rate.
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

/* A received LEG_SYNC of a call leg carrying the prepared leg attribute (its profile: local SDP and name). */
VQX_MSG_HANDLE LegSync(const Setup& S) {
  VQX_MSG_HANDLE h = nullptr;
  VQXGetMsg(S.hLib, sizeof(_VQCMC_NOTIF_LEG_SYNC) + 4096, &h);
  h->un32MsgId = 0x0A020003u;
  VQXMsgElementInit(h, sizeof(_VQCMC_NOTIF_LEG_SYNC));
  auto* p = reinterpret_cast<_VQCMC_NOTIF_LEG_SYNC*>(VQXMsgPayload(h));
  p->Leg.un32LegType = VQCMC_LEG_TYPE_CALL;
  S.pLeg->CopyTo(h, &p->Leg.CallLeg);
  return h;
}

void BM_ReadLegSyncIntoCallLeg(benchmark::State& State) {
  const Setup& S = Prepared();
  VQX_MSG_HANDLE h = LegSync(S);
  auto* p = reinterpret_cast<_VQCMC_NOTIF_LEG_SYNC*>(VQXMsgPayload(h));
  CVQCMC_CALL_LEG_ATTRIBUTE Leg;
  for (auto _ : State) {
    Leg.CopyFrom(h, &p->Leg.CallLeg);
    benchmark::DoNotOptimize(Leg.GetCalledNumber().GetLength());
  }
  State.SetItemsProcessed(State.iterations());
  VQXReleaseMsgEx(S.hLib, &h);
}
BENCHMARK(BM_ReadLegSyncIntoCallLeg);

void BM_DupLegSyncSets(benchmark::State& State) {
  const Setup& S = Prepared();
  VQX_MSG_HANDLE h = LegSync(S), hDst = nullptr;
  auto* p = reinterpret_cast<_VQCMC_NOTIF_LEG_SYNC*>(VQXMsgPayload(h));
  VQXGetMsg(S.hLib, sizeof(_VQCMC_NOTIF_LEG_SYNC) + 4096, &hDst);
  auto* pDst = reinterpret_cast<_VQCMC_NOTIF_LEG_SYNC*>(VQXMsgPayload(hDst));
  for (auto _ : State) {
    VQXMsgElementInit(hDst, sizeof(_VQCMC_NOTIF_LEG_SYNC));
    for (const auto pSet : {&_VQCMC_NOTIF_LEG_SYNC::setPlayAttributes, &_VQCMC_NOTIF_LEG_SYNC::setRecordAttributes}) {
      VQXMsgElementDupSet(&(p->*pSet), hDst, &(pDst->*pSet), nullptr, nullptr);
    }
    VQXMsgElementDupSet(&p->Leg.CallLeg.MediaProfile.setProfileElements, hDst,
                        &pDst->Leg.CallLeg.MediaProfile.setProfileElements, nullptr, nullptr);
    benchmark::DoNotOptimize(hDst->un32PayloadLength);
  }
  State.SetItemsProcessed(State.iterations());
  VQXReleaseMsgEx(S.hLib, &h);
  VQXReleaseMsgEx(S.hLib, &hDst);
}
BENCHMARK(BM_DupLegSyncSets);

}  // namespace

BENCHMARK_MAIN();
