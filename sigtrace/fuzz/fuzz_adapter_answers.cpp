// Every answer handler of the adapter over random and truncated payloads.
// Input: byte 0 picks one of the thirteen handlers, byte 1 bit 0 makes the
// header claim more payload than the buffer holds, the rest is the payload
// (up to 64 KiB, so that the largest answer fits whole). The adapter is not
// initialised: the requests an answer prompts fail to send (logged), which
// leaves every path of the handlers but the host library's. The adapter's
// log lines are switched off (without a log file every line would go to
// standard error); their texts are checked by the integration tests.
#include <string.h>

#include <algorithm>
#include <vector>

#include "sigtrace_adapter.h"
#include "vqcaflog.h"

namespace {

using namespace VQCAF;
using PfnHandle = u32 (CVQSigTraceAdapter::*)(unsigned int*);

constexpr PfnHandle kHandlers[] = {
    &CVQSigTraceAdapter::HandleAdapterConfigGetResponse,    &CVQSigTraceAdapter::HandleMtp2OpGetListResponse,
    &CVQSigTraceAdapter::HandleMtp2OpLinkGetListResponse,   &CVQSigTraceAdapter::HandleMtp2OpLinkGetParamsResponse,
    &CVQSigTraceAdapter::HandleLapdOpGetListResponse,       &CVQSigTraceAdapter::HandleLapdOpLinkGetListResponse,
    &CVQSigTraceAdapter::HandleLapdOpLinkGetParamsResponse, &CVQSigTraceAdapter::HandleIsdnOpGetListResponse,
    &CVQSigTraceAdapter::HandleIsdnOpGetParamsResponse,     &CVQSigTraceAdapter::HandleCasr2OpGetListResponse,
    &CVQSigTraceAdapter::HandleCasr2OpGetParamsResponse,    &CVQSigTraceAdapter::HandleTuclOpGetListResponse,
    &CVQSigTraceAdapter::HandleTuclOpGetParamsResponse,
};
constexpr size_t kMaxPayload = 65536;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  static CVQSigTraceAdapter* s_pAdapter =
      (SetSubModTraceLevel(VQCAF_SUBMODULE_VQLT, 0xFFFFFFFFu), new CVQSigTraceAdapter());
  if (nSize < 2) return 0;
  const size_t nPayload = std::min(nSize - 2, kMaxPayload);
  /* Whole u64 words: the header holds 64-bit fields. */
  std::vector<u64> aBuffer((VQX_MSG_HEADER_SIZE + nPayload + 7) / 8, 0);
  VQX_MSG_HEADER* pHeader = reinterpret_cast<VQX_MSG_HEADER*>(aBuffer.data());
  pHeader->un32Length = static_cast<u32>(VQX_MSG_HEADER_SIZE + nPayload);
  pHeader->un32PayloadStart = VQX_MSG_HEADER_SIZE;
  pHeader->un32PayloadLength = (pData[1] & 1) != 0 ? 0xFFFFFFFFu : static_cast<u32>(nPayload);
  pHeader->un32PayloadMaxLength = static_cast<u32>(nPayload);
  memcpy(reinterpret_cast<u8*>(aBuffer.data()) + VQX_MSG_HEADER_SIZE, pData + 2, nPayload);
  CVQCAFMutexAutoGetGive Lock(&s_pAdapter->GetMutex());
  (s_pAdapter->*kHandlers[pData[0] % std::size(kHandlers)])(reinterpret_cast<unsigned int*>(aBuffer.data()));
  /* A new round once the table fills, so that registration keeps being reached. */
  if (s_pAdapter->GetEntityTable().GetCount() >= VQ_SIGTRACE_MAX_ENTITIES - 8) s_pAdapter->Synchronize();
  if (!s_pAdapter->GetEntityTable().CheckInvariant() ||
      s_pAdapter->GetEntityTable().GetCount() > VQ_SIGTRACE_MAX_ENTITIES)
    __builtin_trap();
  return 0;
}
