/*
 * fuzz_cmc_leg.cpp - received messages into a call leg (CVQCMCLeg::
 * HandleMessage: every id the leg dispatches, and others, of any kind, with
 * any payload) and protocol attributes into its trace (PrintProtocolInfo on
 * random SS7 and ISDN elements and SIP header lists). A read past a payload
 * or an element, a message released twice or not at all, or a walk that
 * does not end is what the sanitizers and the fuzzer's timeout catch.
 *
 * Input: u8 target (bit 7 clear: a message; set: a trace, bits 0-1 the
 * protocol 1 SS7, 2 SIP, 3 ISDN), then for a message u8 id index, u8 kind,
 * the payload (at most 8 KiB); for a trace the element bytes.
 */
#include <cstdio>

#include "cmc_fuzz_harness.h"
#include "vqcmc_leg.h"
#include "vqx_msg_element.h"

using namespace VQCAF;

namespace {

/* The ids a leg dispatches, and neighbours it does not. */
constexpr u32 kIds[] = {
    VQCMC_MSG_CMD_CALL_LEG_CREATE, VQCMC_MSG_CMD_CALL_LEG_ACCEPT, VQCMC_MSG_CMD_CALL_LEG_ALERT,
    VQCMC_MSG_CMD_CALL_LEG_ANSWER, VQCMC_MSG_CMD_CALL_LEG_TERMINATE, VQCMC_MSG_CMD_CALL_SUPP_INFO,
    VQCMC_MSG_CMD_GET_STATS, VQCMC_MSG_CMD_MEDIA_PROFILE_CHANGE, VQCMC_MSG_CMD_CALL_TRANSFER_REQUEST,
    VQCMC_MSG_CMD_CALL_TRANSFER_PROGRESS, VQCMC_MSG_CMD_CALL_TRANSFER_RESPONSE, VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED,
    VQCMC_MSG_NOTIF_CALL_LEG_ALERTING, VQCMC_MSG_NOTIF_CALL_LEG_ANSWERED,
    VQCMC_MSG_NOTIF_CALL_LEG_TERMINATING_INDICATION, VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED,
    VQCMC_MSG_NOTIF_CALL_SUPP_INFO, VQCMC_MSG_NOTIF_STATS_UPDATED, VQCMC_MSG_NOTIF_MEDIA_PROFILE_CHANGED,
    VQCMC_MSG_NOTIF_LEG_ERROR, VQCMC_MSG_NOTIF_CALL_TRANSFER_REQUEST, VQCMC_MSG_NOTIF_CALL_TRANSFER_PROGRESS,
    VQCMC_MSG_NOTIF_CALL_TRANSFER_RESPONSE, VQCMC_LIB_MSG_NOTIF_LEG_TERMINATED, VQCMC_LIB_MSG_NOTIF_LEG_SYNC_DONE,
    VQCMC_LIB_MSG_NOTIF_LEG_SYNC_LOST, VQCMC_MSG_CMD_PLAY, VQCMC_MSG_NOTIF_PLAYING_DONE, 0x0A019999u,
};

/* A leg whose trace lines are formatted (every argument read) and dropped. */
class QuietLeg : public CVQCMCLeg {
 public:
  QuietLeg()
      : CVQCMCLeg(0x51, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(new CVQCMC_CALL_LEG_ATTRIBUTE()), nullptr,
                  VQCMC_CALL_LEG_STATE_INCOMING, 0, nullptr) {}
  void LogTrace(_VQX_TRACE_LEVEL, char**, u32, const char* pszFormat, _VQX_VA_LIST& args) override {
    char sz[1024];
    vsnprintf(sz, sizeof(sz), pszFormat, args);
  }
};

void Trace(QuietLeg& Leg, u8 un8Protocol, const u8* pData, size_t nSize) {
  CVQCMC_PROTOCOL_ATTRIBUTE Attr;
  if (un8Protocol == VQCMC_PROTOCOL_SS7) {
    if (VQX_RESULT_FAILED(Attr.SetSS7Ie(static_cast<u32>(nSize), pData))) return;
  } else if (un8Protocol == VQCMC_PROTOCOL_ISDN) {
    if (VQX_RESULT_FAILED(Attr.SetIsdnIe(static_cast<u32>(nSize), pData))) return;
  } else {
    VQX_MSG_HANDLE hMsg = nullptr;
    VQXMsgElementSet* pSet = nullptr;
    if (VQX_RESULT_FAILED(Attr.InitSipHeaders(&hMsg, &pSet))) return;
    for (size_t i = 0; i < nSize; i++) {
      void* pv = nullptr;
      // Header elements of 1 to 8 bytes: the trace reads a type only from one that holds it.
      if (VQX_RESULT_FAILED(VQXMsgElementAlloc(hMsg, pSet, static_cast<u16>(1 + (pData[i] & 7)), &pv))) break;
      memset(pv, pData[i], 1 + (pData[i] & 7));
    }
  }
  Leg.PrintProtocolInfo("fuzz", Attr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* pData, size_t nSize) {
  static bool fOpen = (cmcfuzz::Open(), true);
  (void)fOpen;
  // One leg for the whole run: the messages move it through its states as a server would.
  static QuietLeg Leg;
  if (nSize < 1 || nSize > 8192 + 3) return 0;
  if ((pData[0] & 0x80) == 0) {
    cmcfuzz::Message(kIds, pData + 1, nSize - 1, Leg);
  } else {
    Trace(Leg, pData[0] & 3, pData + 1, nSize - 1);
  }
  return 0;
}
