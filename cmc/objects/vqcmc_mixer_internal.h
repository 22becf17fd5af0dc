/*
 * vqcmc_mixer_internal.h - what the files of CVQCMCMixer share: the
 * response sequence of its handlers. Not a public header.
 */
#ifndef VQCMC_MIXER_INTERNAL_H
#define VQCMC_MIXER_INTERNAL_H

#include "vqcmc_leg_internal.h"
#include "vqcmc_mixer.h"

namespace VQCAF {

template <class T, u32 id>
VQX_RESULT CVQCMCMixer::HandleMixerResponse(VQX_MSG_HANDLE* phMsg,
                                            void (CVQCMCMixer::*pfnCallback)(T*, unsigned int*),
                                            const char* pszHandler, const char* pszText, i32* pn32Result) {
  CVQCMCMessage<T, id> Msg(VqCmcTake(phMsg));
  T* pPayload = VqCmcPayload(Msg);
  if (pPayload == nullptr) {
    LogFailure(pszHandler, "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  const u32 un32Result = *VqCmcAt(pPayload, VQCMC_PAYLOAD_OFFSET_WORD7);
  if (pn32Result != nullptr) *pn32Result = static_cast<i32>(un32Result);
  unsigned int fHandled = 0;
  (this->*pfnCallback)(pPayload, &fHandled);
  const VQX_RESULT Result = HandleResponse(Msg.GetMsg(), fHandled, un32Result, pszText);
  if (VQX_RESULT_FAILED(Result)) {
    LogFailure(pszHandler, "HandleResponse Failed", 0, Result, __LINE__);
    return Result;
  }
  return VQX_RESULT_OK;
}

}  // namespace VQCAF

#endif
