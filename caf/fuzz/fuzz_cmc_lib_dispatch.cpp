/*
 * fuzz_cmc_lib_dispatch.cpp - random library-wide messages through the
 * client singleton's default callback (every one must be taken: the
 * pointer cleared, the buffer given back), and random detail blocks through
 * the error objects' texts. The set-up is the shared harness's: the message
 * wrappers release through the framework's communication bridge, so without
 * it every wrapped message stayed held and the run ran out of memory.
 *
 * Input: u8 selector (bit 0: 0 a message, 1 a detail block); for a message
 * u32 id, u32 kind (little-endian), then the payload (at most 4 KiB); for a
 * detail block the bytes of a leg block then of a mixer block.
 */
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "cmc_fuzz_harness.h"
#include "vqcmc_error.h"

using namespace VQCAF;

namespace {

void Message(const u8* pby, size_t nSize) {
  u32 aun32Head[2];
  if (nSize < sizeof(aun32Head)) return;
  memcpy(aun32Head, pby, sizeof(aun32Head));
  pby += sizeof(aun32Head);
  nSize = std::min<size_t>(nSize - sizeof(aun32Head), 4096);
  VQX_MSG_HANDLE h = nullptr;
  if (VQXGetMsg(cmcfuzz::HostLib(), static_cast<u32>(nSize) + 8, &h) != VQX_RESULT_API_OK) abort();
  h->un32MsgId = aun32Head[0];
  h->MsgType = aun32Head[1];
  h->un32PayloadLength = static_cast<u32>(nSize);
  memcpy(VQXMsgPayload(h), pby, nSize);
  VQCmcHandleDefaultCb(nullptr, nullptr, &h);
  if (h != nullptr) abort();
}

void Detail(const u8* pby, size_t nSize) {
  CVQCMCLegError Leg;
  memcpy(Leg.mabyDetail, pby, std::min(nSize, sizeof(Leg.mabyDetail)));
  const CVQCAFString strLeg = Leg.GetDatapathErrorsStr();
  if ((strLeg.GetLength() == 0) != (Leg.IsDataPathErrors() == 0)) abort();
  CVQCMCMixerError Mixer;
  if (nSize > sizeof(Leg.mabyDetail)) {
    memcpy(Mixer.mabyDetail, pby + sizeof(Leg.mabyDetail), std::min(nSize - sizeof(Leg.mabyDetail), sizeof(Mixer.mabyDetail)));
  }
  if ((Mixer.GetPlayErrorsStr().GetLength() == 0) != (Mixer.IsPlayErrors() == 0)) abort();
  if ((Mixer.GetRecordErrorsStr().GetLength() == 0) != (Mixer.IsRecordErrors() == 0)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* pby, size_t nSize) {
  if (cmcfuzz::HostLib() == nullptr) cmcfuzz::Open();
  if (nSize < 1) return 0;
  if (pby[0] & 1) {
    Detail(pby + 1, nSize - 1);
  } else {
    Message(pby + 1, nSize - 1);
  }
  return 0;
}
