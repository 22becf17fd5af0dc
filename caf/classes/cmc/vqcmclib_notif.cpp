/*
 * vqcmclib_notif.cpp - the library-wide notifications HandleMessage routes
 * here: ready and not ready, an incoming call leg, a call leg that ended
 * without an object, and the legs, links and mixers a server still holds
 * after a re-synchronisation. Until the library user and re-synchronisation
 * exist, each is refused as not supported (logged by HandleMessage, which
 * releases the message).
 */
#include "vqcmclib.h"

namespace VQCAF {

VQX_RESULT CVQCMCLib::HandleCallLegPresent(VQX_MSG_HANDLE*) { return VQX_RESULT_NOT_SUPPORTED; }
VQX_RESULT CVQCMCLib::HandleCallLegFailure(VQX_MSG_HANDLE*) { return VQX_RESULT_NOT_SUPPORTED; }
VQX_RESULT CVQCMCLib::HandleCmcLibReady(VQX_MSG_HANDLE*) {
  mun32ActiveBuildNumber = VQCmcLibGetActiveCmcServerBuildNumber(mhCmcLib);
  return VQX_RESULT_NOT_SUPPORTED;
}
VQX_RESULT CVQCMCLib::HandleCmcLibNotReady(VQX_MSG_HANDLE*) { return VQX_RESULT_NOT_SUPPORTED; }
VQX_RESULT CVQCMCLib::HandleLegSync(VQX_MSG_HANDLE*) { return VQX_RESULT_NOT_SUPPORTED; }
VQX_RESULT CVQCMCLib::HandleLinkSync(VQX_MSG_HANDLE*) { return VQX_RESULT_NOT_SUPPORTED; }
VQX_RESULT CVQCMCLib::HandleMixerSync(VQX_MSG_HANDLE*) { return VQX_RESULT_NOT_SUPPORTED; }
VQX_RESULT CVQCMCLib::HandleMixerLinkSync(VQX_MSG_HANDLE*) { return VQX_RESULT_NOT_SUPPORTED; }

}  // namespace VQCAF
