/*
 * CVQCMCLibUser's defaults (a trace each; the synchronisation callbacks
 * refuse what they are offered) and the leg's static refusals of a
 * re-synchronised leg and leg-to-leg link that no object represents.
 */
#include "vqcmc_libuser.h"

#include "vqcaflog.h"
#include "vqcmc_leg_internal.h"
#include "vqcmc_mixer.h"

namespace VQCAF {

namespace {
/* The call reason a refused re-synchronised leg is terminated with. */
constexpr u32 kRefusedLegReason = 41;
}  // namespace

void CVQCMCLibUser::OnCallLegPresent(unsigned int, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON&, CVQCMC_PROTOCOL_ATTRIBUTE&) {
  LogTrace(VQLV4, "CVQCMCLibUser::OnCallLegPresent");
}

void CVQCMCLibUser::OnCallLegFailure(unsigned int, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON&, _VQCMC_CALL_REASON&,
                                     CVQCMC_PROTOCOL_ATTRIBUTE&) {
  LogTrace(VQLV2, "CVQCMCLibUser::OnCallLegFailure");
}

void CVQCMCLibUser::OnCallLegSync(unsigned int un32LegId, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Attribute) {
  LogTrace(VQLV4, "CVQCMCLibUser::OnCallLegSync. Refusing the leg.");
  CVQCMCLeg::RefuseLeg(un32LegId, Attribute, static_cast<_VQCMC_CALL_REASON_CODE>(kRefusedLegReason), nullptr);
}

void CVQCMCLibUser::OnLinkSync(unsigned int, unsigned int un32FirstLegId, unsigned int un32SecondLegId,
                               CVQCMC_JOIN_ATTRIBUTE&) {
  LogTrace(VQLV4, "CVQCMCLibUser::OnLinkSync. Refusing link");
  CVQCMCLeg::RefuseLink(un32FirstLegId, un32SecondLegId);
}

void CVQCMCLibUser::OnMixerSync(unsigned int un32MixerId, CVQCMC_MIXER_ATTRIBUTE& Attribute) {
  LogTrace(VQLV4, "CVQCMCLibUser::OnMixerSync. Refuse mixer");
  CVQCMCMixer::RefuseMixer(un32MixerId, Attribute);
}

void CVQCMCLibUser::OnMixerLinkSync(unsigned int un32MixerId, unsigned int un32PeerId,
                                    CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE* pLegJoin,
                                    CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE* pMixerJoin) {
  LogTrace(VQLV4, "CVQCMCLibUser::OnMixerLinkSync. Refuse mixer link");
  if (pLegJoin != nullptr) {
    CVQCMCMixer::RefuseMixerLink(un32MixerId, un32PeerId, pLegJoin);
  } else if (pMixerJoin != nullptr) {
    CVQCMCMixer::RefuseMixerLink(un32MixerId, un32PeerId, pMixerJoin);
  }
}

void CVQCMCLibUser::OnCmcLibReady() { LogTrace(VQLV4, "CVQCMCLibUser::OnCmcLibReady"); }

void CVQCMCLibUser::OnCmcLibNotReady() { LogTrace(VQLV4, "CVQCMCLibUser::OnCmcLibNotReady"); }

void CVQCMCLibUser::OnNapStatsUpdated(std::vector<CVQCAFPtr<CVQCAFNapStats>>) {
  LogTrace(VQLV1, "CVQCMCLibUser::OnNapStatsUpdated");
}

/* ------------------------------------------------------------ refusals */

void CVQCMCLeg::RefuseLeg(unsigned int un32LegId, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Attribute,
                          _VQCMC_CALL_REASON_CODE Code, CVQCMC_PROTOCOL_ATTRIBUTE* pProtocol) {
  CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON> pCopy;
  if (Attribute.GetLegType() == 1 && Attribute.GetCallLegAttribute() != nullptr) {
    pCopy = CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(new CVQCMC_CALL_LEG_ATTRIBUTE(*Attribute.GetCallLegAttribute()));
  } else if (Attribute.GetLegType() == 2 && Attribute.GetMediaOnlyLegAttribute() != nullptr) {
    pCopy = CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(
        new CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE(*Attribute.GetMediaOnlyLegAttribute()));
  }
  const VQX_RESULT Found = VQCmcLibLegFind(VqCmcLiveLibHandle(), un32LegId, nullptr);
  CVQCMCLeg* pLeg = (Found & 0xC0000000u) == 0
                        ? new CVQCMCLeg(un32LegId, pCopy, nullptr, VQCMC_CALL_LEG_STATE_ANSWERED, 0, nullptr)
                        : new CVQCMCLeg(un32LegId, pCopy, nullptr, 0, nullptr);
  // The leg becomes its own free listener: it deletes itself once terminated.
  pLeg->RefuseLeg(Code, pProtocol);
}

void CVQCMCLeg::RefuseLink(unsigned int un32FirstLegId, unsigned int un32SecondLegId) {
  CVQCMCMessage<_VQCMC_MSG_CMD_UNJOIN, VQCMC_MSG_CMD_UNJOIN> Msg(VQCMC_MSG_ELEMENT_ROOM);
  VQCAF::LogTrace(VQLV1, "CVQCMCLeg::RefuseLink 0x%08X - 0x%08X\n", un32FirstLegId, un32SecondLegId);
  if (Msg.GetPayload() == nullptr) return;
  *VqCmcAt(Msg.GetPayload(), 24) = 1;
  *VqCmcAt(Msg.GetPayload(), 32) = un32FirstLegId;
  *VqCmcAt(Msg.GetPayload(), 36) = un32SecondLegId;
  // The leg's object, when there is one, awaits the answer as that of one of its own commands.
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  CVQCMCLeg* pLeg = pLib != nullptr ? pLib->LegIdFind(un32FirstLegId) : nullptr;
  const u32 un32Serial = Msg.GetMsg()->un32SerialNumber;
  if (pLeg != nullptr) pLeg->HandleRequest(Msg.GetMsg(), nullptr);
  if (VQX_RESULT_FAILED(Msg.LegMsgProcess(un32FirstLegId, 0))) {
    if (pLeg != nullptr) pLeg->ForgetRequest(un32Serial);
    return;
  }
  if (CVQCAFPtr<CVQCMCLegJoinedLeg> pJoin = CVQCMCLegJoinedLeg::Find(un32FirstLegId, un32SecondLegId); pJoin) {
    CVQCAFMutexAutoGetGive Lock(CVQCMCLegJoinedLeg::GetMutex());  // join state changes under the class mutex
    pJoin->mfUnjoinPending = 1;
  }
}

/* A mixer link's unjoin (72 bytes and element room) with its two ids. */
template <class T, u32 id>
bool CVQCMCMixer::SendRefusalUnjoin(u32 un32MixerId, u32 un32PeerId) {
  CVQCMCMessage<T, id> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (Msg.GetPayload() == nullptr) return false;
  *VqCmcAt(Msg.GetPayload(), VQCMC_PAYLOAD_OFFSET_LIB_BUILT) = VQCMC_PAYLOAD_LIB_BUILT_MARK;
  *VqCmcAt(Msg.GetPayload(), VQCMC_PAYLOAD_OFFSET_WORD8) = un32MixerId;
  *VqCmcAt(Msg.GetPayload(), VQCMC_PAYLOAD_OFFSET_WORD9) = un32PeerId;
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  CVQCMCMixer* pMixer = pLib != nullptr ? pLib->MixerIdFind(un32MixerId) : nullptr;
  const u32 un32Serial = Msg.GetMsg()->un32SerialNumber;
  if (pMixer != nullptr) pMixer->HandleRequest(Msg.GetMsg(), nullptr);
  if (VQX_RESULT_SUCCEEDED(Msg.MixerMsgProcess(un32MixerId, 0))) return true;
  if (pMixer != nullptr) pMixer->ForgetRequest(un32Serial);
  return false;
}

void CVQCMCMixer::RefuseMixerLink(unsigned int un32MixerId, unsigned int un32LegId, CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE*) {
  VQCAF::LogTrace(VQLV1, "CVQCMCMixer::RefuseMixerLink Mixer 0x%08X - Leg 0x%08X\n", un32MixerId, un32LegId);
  if (!SendRefusalUnjoin<_VQCMC_MSG_CMD_MIXER_LEG_UNJOIN, VQCMC_MSG_CMD_MIXER_LEG_UNJOIN>(un32MixerId, un32LegId)) {
    return;
  }
  if (CVQCAFPtr<CVQCMCMixerJoinedLeg> pJoin = CVQCMCMixerJoinedLeg::Find(un32MixerId, un32LegId); pJoin) {
    CVQCAFMutexAutoGetGive Lock(CVQCMCMixerJoinedLeg::GetMutex());
    pJoin->mfUnjoinPending = 1;
  }
}

void CVQCMCMixer::RefuseMixerLink(unsigned int un32MixerId, unsigned int un32PeerId,
                                  CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE*) {
  VQCAF::LogTrace(VQLV1, "CVQCMCMixer::RefuseMixerLink Mixer 0x%08X - Mixer 0x%08X\n", un32MixerId, un32PeerId);
  if (!SendRefusalUnjoin<_VQCMC_MSG_CMD_MIXER_MIXER_UNJOIN, VQCMC_MSG_CMD_MIXER_MIXER_UNJOIN>(un32MixerId,
                                                                                            un32PeerId)) {
    return;
  }
  if (CVQCAFPtr<CVQCMCMixerJoinedMixer> pJoin = CVQCMCMixerJoinedMixer::Find(un32MixerId, un32PeerId); pJoin) {
    CVQCAFMutexAutoGetGive Lock(CVQCMCMixerJoinedMixer::GetMutex());
    pJoin->mfUnjoinPending = 1;
  }
}

}  // namespace VQCAF
