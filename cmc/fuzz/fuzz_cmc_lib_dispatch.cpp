/*
 * fuzz_cmc_lib_dispatch.cpp - random library-wide messages through the
 * client singleton's default callback (every one must be taken: the
 * pointer cleared, the buffer given back), and random detail blocks through
 * the error objects' texts. The set-up is the shared harness's: the message
 * wrappers release through the framework's communication bridge, so without
 * it every wrapped message stayed held and the run ran out of memory.
 *
 * A third form builds a library notification with well-formed element sets
 * (streams of a re-synchronised leg or mixer, statistics records, a
 * terminated leg's record), so that the handlers walk elements of any size
 * and content. Legs 7 and mixers 5 and 3 are registered: re-synchronisations
 * and mixer links find them, make join records and rewrite their streams.
 *
 * Input: u8 selector (bit 0: 1 a detail block; else bit 1: 0 a raw message,
 * 1 a built one); for a raw message u32 id, u32 kind (little-endian), then
 * the payload (at most 4 KiB); for a built one u8 notification index, u8
 * element count, per element u8 set index and u8 size, then the bytes that
 * fill the fixed part and then the elements in turn; for a detail block the
 * bytes of a leg block then of a mixer block.
 */
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "cmc_fuzz_harness.h"
#include "vqcmc_error.h"
#include "vqcmc_leg.h"
#include "vqcmc_mixer.h"
#include "vqx_msg_element.h"

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

/* The notifications with element sets: id, fixed part, the offsets of their sets. */
struct Built {
  u32 un32Id;
  u32 un32Fixed;
  u32 aun32Sets[2];
};
constexpr Built kBuilt[] = {
    {VQCMC_APP_MSG_NOTIF_READY, 36, {32, 32}},          {VQCMC_MSG_NOTIF_CALL_LEG_PRESENT, 2048, {28, 28}},
    {VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, 1024, {28, 28}}, {VQCMC_LIB_MSG_NOTIF_LEG_SYNC, 744, {736, 740}},
    {VQCMC_LIB_MSG_NOTIF_MIXER_SYNC, 128, {120, 124}},   {VQCMC_LIB_MSG_NOTIF_MIXER_LINK_SYNC, 56, {48, 48}},
    {VQCMC_LIB_MSG_NOTIF_LINK_SYNC, 48, {40, 40}},
};

void BuiltMessage(const u8* pby, size_t nSize) {
  if (nSize < 2) return;
  const Built& Row = kBuilt[pby[0] % (sizeof(kBuilt) / sizeof(kBuilt[0]))];
  const u32 un32Elements = std::min<u32>(pby[1], 16);
  pby += 2, nSize -= 2;
  if (nSize < 2 * un32Elements) return;
  const u8* pbyShapes = pby;
  pby += 2 * un32Elements, nSize -= 2 * un32Elements;
  VQX_MSG_HANDLE h = nullptr;
  if (VQXGetMsg(cmcfuzz::HostLib(), 8192, &h) != VQX_RESULT_API_OK) abort();
  h->un32MsgId = Row.un32Id;
  h->MsgType = 4;
  if (VQXMsgElementInit(h, Row.un32Fixed) != VQX_RESULT_OK) abort();
  u8* pbyPayload = reinterpret_cast<u8*>(VQXMsgPayload(h));
  // The fixed part from the input, the set words left as made.
  const size_t nFixed = std::min<size_t>(nSize, Row.un32Fixed);
  for (size_t i = 0; i < nFixed; i++) {
    if (i / 4 * 4 != Row.aun32Sets[0] && i / 4 * 4 != Row.aun32Sets[1]) pbyPayload[i] = pby[i];
  }
  pby += nFixed, nSize -= nFixed;
  for (u32 i = 0; i < un32Elements; i++) {
    const u16 un16Size = static_cast<u16>(pbyShapes[2 * i + 1] + 1);
    void* pv = nullptr;
    if (VQXMsgElementAlloc(h, pbyPayload + Row.aun32Sets[pbyShapes[2 * i] & 1], un16Size, &pv) != VQX_RESULT_OK) break;
    const size_t nCopy = std::min<size_t>(nSize, un16Size);
    memcpy(pv, pby, nCopy);
    pby += nCopy, nSize -= nCopy;
  }
  VQCmcHandleDefaultCb(nullptr, nullptr, &h);
  if (h != nullptr) abort();
}

/* What the re-synchronisations find: a leg and two mixers, registered once. */
void Register() {
  static auto* pLeg = new CVQCMCLeg(7, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(new CVQCMC_CALL_LEG_ATTRIBUTE()),
                                    nullptr, VQCMC_CALL_LEG_STATE_ANSWERED, 0, nullptr);
  static auto* pMixer5 = new CVQCMCMixer(5, CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE>(new CVQCMC_MIXER_ATTRIBUTE()), nullptr,
                                         0, nullptr);
  static auto* pMixer3 = new CVQCMCMixer(3, CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE>(new CVQCMC_MIXER_ATTRIBUTE()), nullptr,
                                         0, nullptr);
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  pLib->LegIdAdd(7, pLeg);
  pLib->MixerIdAdd(5, pMixer5);
  pLib->MixerIdAdd(3, pMixer3);
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
  if (cmcfuzz::HostLib() == nullptr) cmcfuzz::Open(), Register();
  if (nSize < 1) return 0;
  if (pby[0] & 1) {
    Detail(pby + 1, nSize - 1);
  } else if (pby[0] & 2) {
    BuiltMessage(pby + 1, nSize - 1);
  } else {
    Message(pby + 1, nSize - 1);
  }
  return 0;
}
