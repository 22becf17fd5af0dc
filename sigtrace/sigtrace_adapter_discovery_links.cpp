/*
 * sigtrace_adapter_discovery_links.cpp - SS7 MTP2 and LAPD links: instance
 * list, link list per instance, parameters per link; each link becomes one
 * entity (type 2 or 7) named by the board or, when that name is taken, from
 * its trunk, timeslots and bit mask. The two protocols differ only in the
 * values of one table row, and in the interface string and address that a
 * LAPD link carries into its pcap records.
 *
 * Adapter thread, adapter mutex held.
 */
#include "sigtrace_adapter_wire_internal.h"
#include "vqx_string.h"
#include "vqx_usercontext.h"

namespace VQCAF {

using namespace vqdisc;

namespace {

/* What MTP2 and LAPD links differ in. */
struct SLinkProtocol {
  u32 un32Type;
  const char* pszOperation;
  const char* pszFailure;
  const char* pszLogFormat;   /* adapter, trunk, timeslot mask, bit mask, board name */
  const char* pszGenerated;   /* trunk, timeslot mask, bit mask */
  u32 un32OffSelector, un32OffTrunk, un32OffName1, un32OffName2;
};
constexpr SLinkProtocol kMtp2 = {VQ_SIGTRACE_TYPE_SS7,
                                 "CVQSigTraceAdapter::HandleMtp2OpLinkGetParamsResponse",
                                 "SS7_MTP2_OP_LINK_GET_PARAMS failed",
                                 "\033[36m<Sync> %s: MTP2 LINK: trk=%2u tsmask=%08X-%X name=%s",
                                 "ss7_trk_%02u_%08X_%02x",
                                 kMtp2OffSelector, kMtp2OffTrunk, kMtp2OffName1, kMtp2OffName2};
constexpr SLinkProtocol kLapd = {VQ_SIGTRACE_TYPE_LAPD,
                                 "CVQSigTraceAdapter::HandleLapdOpLinkGetParamsResponse",
                                 "LAPD_OP_LINK_GET_PARAMS failed",
                                 "\033[36m<Sync> %s: LAPD LINK: trk=%2u ts=%08X tsmask=%X name=%s",
                                 "lapd_trk_%02u_%08X_%02x",
                                 kLapdOffSelector, kLapdOffTrunk, kLapdOffName1, kLapdOffName2};

}  // namespace

u32 CVQSigTraceAdapter::HandleMtp2OpGetListResponse(unsigned int* pMsg) {
  return HandleListResponse(pMsg, "CVQSigTraceAdapter::HandleMtp2OpGetListResponse", "SS7_MTP2_OP_GET_LIST failed",
                            0x04210014u);
}
u32 CVQSigTraceAdapter::HandleMtp2OpLinkGetListResponse(unsigned int* pMsg) {
  return HandleListResponse(pMsg, "CVQSigTraceAdapter::HandleMtp2OpLinkGetListResponse",
                            "SS7_MTP2_OP_LINK_GET_LIST failed", 0x04210012u);
}
u32 CVQSigTraceAdapter::HandleLapdOpGetListResponse(unsigned int* pMsg) {
  return HandleListResponse(pMsg, "CVQSigTraceAdapter::HandleLapdOpGetListResponse", "LAPD_OP_GET_LIST failed",
                            0x04540014u);
}
u32 CVQSigTraceAdapter::HandleLapdOpLinkGetListResponse(unsigned int* pMsg) {
  return HandleListResponse(pMsg, "CVQSigTraceAdapter::HandleLapdOpLinkGetListResponse",
                            "LAPD_OP_LINK_GET_LIST failed", 0x04540012u);
}
u32 CVQSigTraceAdapter::HandleMtp2OpLinkGetParamsResponse(unsigned int* pMsg) { return HandleLinkParams(pMsg, false); }
u32 CVQSigTraceAdapter::HandleLapdOpLinkGetParamsResponse(unsigned int* pMsg) { return HandleLinkParams(pMsg, true); }

u32 CVQSigTraceAdapter::HandleLinkParams(unsigned int* pMsg, bool fLapd) {
  const SLinkProtocol& P = fLapd ? kLapd : kMtp2;
  if (pMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  try {
    const CVQSigTraceCursor c = AnswerPayload(pMsg);
    const i32 n32Result = Result(c);
    if (n32Result < 0) return Failure(P.pszOperation, P.pszFailure, static_cast<u32>(n32Result), __LINE__);
    /* Every field is read before anything is registered. */
    const u32 un32Selector = Le32(c, P.un32OffSelector);
    const u32 un32Trunk = Le32(c, P.un32OffTrunk) & kTrunkMask;
    const u64 un64Name1 = Be64(c, P.un32OffName1), un64Name2 = Be64(c, P.un32OffName2);
    u32 un32TimeslotMask = 0;
    if (fLapd) {
      const u32 un32Timeslot = Le32(c, kLapdOffTimeslot);
      if (un32Timeslot >= kTimeslots) {
        /* A mask of 32 bits cannot name it; shifting by 32 or more is undefined. */
        char szText[64];
        Snprintf(szText, sizeof(szText), "Timeslot %u above 31, link refused", un32Timeslot);
        return Failure(P.pszOperation, szText, VQX_RESULT_INVALID_PARAM, __LINE__);
      }
      un32TimeslotMask = 1u << un32Timeslot;
    } else {
      for (u32 i = 0; i < kTimeslots; i++)
        if (Le32(c, kMtp2OffTimeslots + 4 * i) != 0) un32TimeslotMask |= 1u << i;
    }
    const u8 un8BitMask = BitMaskFromSelector(un32Selector);
    char szName[kNameSize], szGenerated[kNameSize];
    HaManagerExtractUserContexts(un64Name1, un64Name2, szName, sizeof(szName));
    LogTrace(VQMSG, P.pszLogFormat, GetAdapterName(), un32Trunk, un32TimeslotMask, un8BitMask, szName);
    Snprintf(szGenerated, sizeof(szGenerated), P.pszGenerated, un32Trunk, un32TimeslotMask, un8BitMask);
    CVQCAFString strGenerated;
    strGenerated = szGenerated;
    CVQSigTraceEntityParams* p = RegisterEntity(P.un32Type, szName, strGenerated);
    if (p == nullptr) return VQX_RESULT_OK;
    p->mun32Type = P.un32Type;
    p->mun32Trunk = un32Trunk;
    p->mun32TimeslotMask = un32TimeslotMask;
    p->mun8BitMask = un8BitMask;
    if (fLapd) {
      /* In pcap (IUA) a LAPD link names itself and its board as an ISDN
       * D channel does; the board gives it neither variant nor side. */
      p->mstrEthPort = p->mstrName;
      p->mstrIpMask = mAdapterInfo.szIpAddress0;
    }
    return VQX_RESULT_OK;
  }
  VQ_ADAPTER_ANSWER_CATCH(P.pszOperation)
}

}  // namespace VQCAF
