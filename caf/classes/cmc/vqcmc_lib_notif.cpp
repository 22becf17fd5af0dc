/*
 * The library-wide notifications HandleMessage routes here (under the
 * library's message mutex): ready and not ready, an incoming call leg, a
 * call leg that ended without an object, and the legs and leg-to-leg links
 * a server still holds after a re-synchronisation. Each takes the message
 * (its wrapper releases it) and reads only what lies in the payload in use.
 * The mixer and mixer-link synchronisations are not handled yet (refused as
 * not supported, the message released by HandleMessage).
 */
#include "vqcmc_leg_internal.h"
#include "vqcmc_libuser.h"
#include "vqx_msg_element.h"

namespace VQCAF {

namespace {

constexpr u32 kOffsetMappingId = 8;
constexpr u32 kLegTypeCall = 1;
constexpr u32 kLegTypeMediaOnly = 2;
/* A leg element of a terminated notification: leg id, leg type, then the attribute. */
constexpr u32 kLegElementMin = 704;

/* The first element of a set that lies in the message (null when none), and its size. */
void* FirstElement(VQX_MSG_HANDLE hMsg, const void* pPayload, u32* pSet, u16* pun16Size) {
  *pun16Size = 0;
  if (VQX_RESULT_FAILED(VqCmcCheckRecordSet(hMsg, pPayload, sizeof(u32), pSet))) return nullptr;
  return VQXMsgElementGetNext(pSet, nullptr, pun16Size);
}

}  // namespace

template <class T, u32 id, class F>
VQX_RESULT CVQCMCLib::LibNotif(VQX_MSG_HANDLE* phMsg, const char* pszHandler, u32 un32Need, F&& fnWork) {
  CVQCMCMessage<T, id> Msg(VqCmcTake(phMsg));
  u8* pbyPayload = reinterpret_cast<u8*>(VqCmcPayload(Msg, un32Need));
  if (pbyPayload == nullptr) {
    Fail(pszHandler, "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  fnWork(Msg.GetMsg(), pbyPayload);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLib::HandleCmcLibReady(VQX_MSG_HANDLE* phMsg) {
  return LibNotif<_VQCMC_APP_MSG_NOTIF_READY, VQCMC_APP_MSG_NOTIF_READY>(
      phMsg, "CVQCMCLib::HandleCmcLibReady", 36, [this](VQX_MSG_HANDLE hMsg, u8* pbyPayload) {
        mun32ActiveBuildNumber = VQCmcLibGetActiveCmcServerBuildNumber(mhCmcLib);
        if (mpUser == nullptr) return;
        u32* pSet = VqCmcAt(pbyPayload, 32);
        if (VQX_RESULT_SUCCEEDED(VqCmcCheckRecordSet(hMsg, pbyPayload, 36, pSet))) HandleNapStats(pSet);
        mpUser->OnCmcLibReady();
      });
}

VQX_RESULT CVQCMCLib::HandleCmcLibNotReady(VQX_MSG_HANDLE* phMsg) {
  return LibNotif<_VQCMC_LIB_MSG_NOTIF_NOT_READY, VQCMC_LIB_MSG_NOTIF_NOT_READY>(
      phMsg, "CVQCMCLib::HandleCmcLibNotReady", 0, [this](VQX_MSG_HANDLE, u8*) {
        if (mpUser != nullptr) mpUser->OnCmcLibNotReady();
      });
}

VQX_RESULT CVQCMCLib::HandleCallLegPresent(VQX_MSG_HANDLE* phMsg) {
  return LibNotif<_VQCMC_MSG_NOTIF_CALL_LEG_PRESENT, VQCMC_MSG_NOTIF_CALL_LEG_PRESENT>(
      phMsg, "CVQCMCLib::HandleCallLegPresent", 736 + sizeof(_VQCMC_PROTOCOL_ATTRIBUTE),
      [this](VQX_MSG_HANDLE hMsg, u8* pbyPayload) {
        if (mpUser == nullptr || *VqCmcAt(pbyPayload, 36) != kLegTypeCall) return;
        u32* pSet = VqCmcAt(pbyPayload, 28);
        if (VQX_RESULT_SUCCEEDED(VqCmcCheckRecordSet(hMsg, pbyPayload, 32, pSet))) HandleNapStats(pSet);
        CVQCMC_CALL_LEG_ATTRIBUTE Attribute;
        CVQCMC_PROTOCOL_ATTRIBUTE Protocol;
        Attribute.CopyFrom(hMsg, VqCmcAt<_VQCMC_CALL_LEG_ATTRIBUTE>(pbyPayload, 40));
        Attribute.UpdateFrom(VqCmcAt<_VQCMC_CALL_LEG_ATTRIBUTE_UPDATE>(pbyPayload, 712));
        if (pbyPayload[736] != 0) Protocol.CopyFrom(hMsg, VqCmcAt<_VQCMC_PROTOCOL_ATTRIBUTE>(pbyPayload, 736));
        const u32 un32LegId = *VqCmcAt(pbyPayload, 32);
        Attribute.GetMappingId() = *VqCmcAt(pbyPayload, kOffsetMappingId);
        Attribute.GetAttrLegId() = un32LegId;
        mpUser->OnCallLegPresent(un32LegId, Attribute, Protocol);
      });
}

VQX_RESULT CVQCMCLib::HandleCallLegFailure(VQX_MSG_HANDLE* phMsg) {
  return LibNotif<_VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED>(
      phMsg, "CVQCMCLib::HandleCallLegFailure", 56 + sizeof(_VQCMC_PROTOCOL_ATTRIBUTE),
      [this](VQX_MSG_HANDLE hMsg, u8* pbyPayload) {
        u16 un16Size = 0;
        u8* pbyLeg = static_cast<u8*>(FirstElement(hMsg, pbyPayload, VqCmcAt(pbyPayload, 28), &un16Size));
        if (pbyLeg == nullptr || un16Size < kLegElementMin || mpUser == nullptr) return;
        if (*VqCmcAt(pbyLeg, 4) != kLegTypeCall) return;
        CVQCMC_CALL_LEG_ATTRIBUTE Attribute;
        CVQCMC_PROTOCOL_ATTRIBUTE Protocol;
        Attribute.CopyFrom(hMsg, VqCmcAt<_VQCMC_CALL_LEG_ATTRIBUTE>(pbyLeg, 8));
        if (pbyPayload[56] != 0) Protocol.CopyFrom(hMsg, VqCmcAt<_VQCMC_PROTOCOL_ATTRIBUTE>(pbyPayload, 56));
        const u32 un32LegId = *VqCmcAt(pbyLeg, 0);
        Attribute.GetMappingId() = *VqCmcAt(pbyPayload, kOffsetMappingId);
        Attribute.GetAttrLegId() = un32LegId;
        mpUser->OnCallLegFailure(un32LegId, Attribute, *VqCmcAt<_VQCMC_CALL_REASON>(pbyPayload, 40), Protocol);
      });
}

VQX_RESULT CVQCMCLib::HandleLegSync(VQX_MSG_HANDLE* phMsg) {
  return LibNotif<_VQCMC_LIB_MSG_NOTIF_LEG_SYNC, VQCMC_LIB_MSG_NOTIF_LEG_SYNC>(
      phMsg, "CVQCMCLib::HandleLegSync", 744, [this](VQX_MSG_HANDLE hMsg, u8* pbyPayload) {
        const u32 un32LegId = *VqCmcAt(pbyPayload, 32);
        u32 aun32Before[VQCMC_LEG_NB_STREAMS] = {};
        if (CVQCMCLeg* pLeg = LegIdFind(un32LegId); pLeg != nullptr) {
          pLeg->GetStreamCounts(aun32Before);
        } else if (mpUser != nullptr) {
          const u32 un32Type = *VqCmcAt(pbyPayload, 36);
          const u32 un32Mapping = *VqCmcAt(pbyPayload, kOffsetMappingId);
          if (un32Type == kLegTypeCall) {
            CVQCMC_CALL_LEG_ATTRIBUTE Attribute;
            Attribute.CopyFrom(hMsg, VqCmcAt<_VQCMC_CALL_LEG_ATTRIBUTE>(pbyPayload, 40));
            Attribute.GetMappingId() = un32Mapping;
            Attribute.GetAttrLegId() = un32LegId;
            mpUser->OnCallLegSync(un32LegId, Attribute);
          } else if (un32Type == kLegTypeMediaOnly) {
            CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE Attribute;
            Attribute.CopyFrom(hMsg, VqCmcAt<_VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE>(pbyPayload, 40));
            Attribute.GetMappingId() = un32Mapping;
            Attribute.GetAttrLegId() = un32LegId;
            mpUser->OnCallLegSync(un32LegId, Attribute);
          }
        }
        // The callback may have made the leg object (adopted or refused).
        if (CVQCMCLeg* pLeg = LegIdFind(un32LegId); pLeg != nullptr) {
          u32* pPlaySet = VqCmcAt(pbyPayload, 736);
          u32* pRecordSet = VqCmcAt(pbyPayload, 740);
          if (VQX_RESULT_FAILED(VqCmcCheckRecordSet(hMsg, pbyPayload, 744, pPlaySet))) pPlaySet = nullptr;
          if (VQX_RESULT_FAILED(VqCmcCheckRecordSet(hMsg, pbyPayload, 744, pRecordSet))) pRecordSet = nullptr;
          pLeg->SyncStreams(pPlaySet, pRecordSet, aun32Before);
        }
      });
}

VQX_RESULT CVQCMCLib::HandleLinkSync(VQX_MSG_HANDLE* phMsg) {
  return LibNotif<_VQCMC_LIB_MSG_NOTIF_LINK_SYNC, VQCMC_LIB_MSG_NOTIF_LINK_SYNC>(
      phMsg, "CVQCMCLib::HandleLinkSync", 48, [this](VQX_MSG_HANDLE, u8* pbyPayload) {
        const u32 un32First = *VqCmcAt(pbyPayload, 32);
        const u32 un32Second = *VqCmcAt(pbyPayload, 36);
        if (CVQCMCLegJoinedLeg::Find(un32First, un32Second)) return;
        CVQCMCLeg* pFirst = LegIdFind(un32First);
        CVQCMCLeg* pSecond = LegIdFind(un32Second);
        if (pFirst == nullptr || pSecond == nullptr) return;
        CVQCMC_JOIN_ATTRIBUTE Attribute;
        Attribute.CopyFrom(VqCmcAt<_VQCMC_JOIN_ATTRIBUTE>(pbyPayload, 40));
        pFirst->SetJoined(pSecond, &Attribute, 0);
        if (pFirst->IsTerminating() == 0 && pSecond->IsTerminating() == 0) {
          if (mpUser != nullptr) mpUser->OnLinkSync(un32Second, un32First, un32Second, Attribute);
        } else if (CVQCAFPtr<CVQCMCLegJoinedLeg> pJoin = CVQCMCLegJoinedLeg::Find(un32First, un32Second); pJoin) {
          pJoin->mfUnjoinPending = 1;
        }
      });
}

VQX_RESULT CVQCMCLib::HandleMixerSync(VQX_MSG_HANDLE*) { return VQX_RESULT_NOT_SUPPORTED; }
VQX_RESULT CVQCMCLib::HandleMixerLinkSync(VQX_MSG_HANDLE*) { return VQX_RESULT_NOT_SUPPORTED; }

/* ------------------------------------------------------------ the leg's side */

void CVQCMCLeg::GetStreamCounts(u32 (&aun32Counts)[VQCMC_LEG_NB_STREAMS]) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  memcpy(aun32Counts, maun32StreamsInProgress, sizeof(aun32Counts));
}

void CVQCMCLeg::SyncStreams(u32* pPlaySet, u32* pRecordSet, const u32 (&aun32Before)[VQCMC_LEG_NB_STREAMS]) {
  constexpr u32 kRecord = VQCMC_LEG_NB_STREAMS - 1;
  constexpr auto kSyncReason = static_cast<_VQCMC_IVR_REASON_CODE>(5);
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  for (u32 i = 0; i < kRecord; i++) maun32StreamsInProgress[i] = 0, maun8StreamPaused[i] = 0;
  u16 un16Size = 0;
  for (u8* pby = pPlaySet == nullptr ? nullptr : static_cast<u8*>(VQXMsgElementGetNext(pPlaySet, nullptr, &un16Size));
       pby != nullptr; pby = static_cast<u8*>(VQXMsgElementGetNext(pPlaySet, pby, &un16Size))) {
    // An element too short for its index and paused bytes, or an index past the play streams: skipped.
    if (un16Size < 17 || pby[15] >= kRecord) continue;
    maun32StreamsInProgress[pby[15]] = 1;
    maun8StreamPaused[pby[15]] = pby[16];
  }
  for (u8 i = 0; i < kRecord; i++) {
    for (u32 n = aun32Before[i]; n > maun32StreamsInProgress[i]; n--) OnStreamPlayingDone(i, kSyncReason);
  }
  u8* pbyRecord = pRecordSet == nullptr ? nullptr : static_cast<u8*>(VQXMsgElementGetNext(pRecordSet, nullptr, &un16Size));
  maun32StreamsInProgress[kRecord] = pbyRecord != nullptr ? 1 : 0;
  maun8StreamPaused[kRecord] = pbyRecord != nullptr && un16Size > 70 ? pbyRecord[70] : 0;
  for (u32 n = aun32Before[kRecord]; n > maun32StreamsInProgress[kRecord]; n--) OnStreamRecordingDone(kSyncReason);
}

}  // namespace VQCAF
