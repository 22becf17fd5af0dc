/*
 * sigtrace_adapter_discovery_ip.cpp - the board's IP signalling transport
 * instances (TUCL): instance list, then the parameters of each. Each instance
 * becomes one entity (type 4) named "<adapter>_<instance name>" that traces
 * every address and port; the last listed instance is the one IP trace
 * activations name.
 *
 * Adapter thread, adapter mutex held.
 */
#include "sigtrace_adapter_wire_internal.h"
#include "vqx_string.h"
#include "vqx_usercontext.h"

namespace VQCAF {

using namespace vqdisc;

u32 CVQSigTraceAdapter::HandleTuclOpGetListResponse(unsigned int* pMsg) {
  return HandleListResponse(pMsg, "CVQSigTraceAdapter::HandleTuclOpGetListResponse", "TUCL_OP_GET_LIST failed",
                            0x04390003u, true);
}

u32 CVQSigTraceAdapter::HandleTuclOpGetParamsResponse(unsigned int* pMsg) {
  static constexpr const char* kOp = "CVQSigTraceAdapter::HandleTuclOpGetParamsResponse";
  if (pMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  try {
    const CVQSigTraceCursor c = AnswerPayload(pMsg);
    const i32 n32Result = Result(c);
    if (n32Result < 0) return Failure(kOp, "TUCL_OP_GET_PARAMS failed", static_cast<u32>(n32Result), __LINE__);
    const u64 un64Name1 = Be64(c, kTuclOffName1), un64Name2 = Be64(c, kTuclOffName2);
    char szName[kNameSize], szEntity[kNameSize], szGroup[kNameSize];
    HaManagerExtractUserContexts(un64Name1, un64Name2, szName, sizeof(szName));
    LogTrace(VQMSG, "\033[36m<Sync> %s: TUCL", GetAdapterName());
    Snprintf(szEntity, sizeof(szEntity), "%s_%s", GetAdapterName(), szName);
    Snprintf(szGroup, sizeof(szGroup), "ip_%s_%u", "any", 0u);
    CVQCAFString strGroup;
    strGroup = szGroup;
    CVQSigTraceEntityParams* p = RegisterEntity(VQ_SIGTRACE_TYPE_IP, szEntity, strGroup, false);
    if (p == nullptr) return VQX_RESULT_OK;
    p->mun32Type = VQ_SIGTRACE_TYPE_IP;
    p->mstrEthPort = "any";
    p->mstrIpMask = "255.255.255.255";
    p->mun32Port = 0;
    p->mun32Transport = 0;
    return VQX_RESULT_OK;
  }
  VQ_ADAPTER_ANSWER_CATCH(kOp)
}

}  // namespace VQCAF
