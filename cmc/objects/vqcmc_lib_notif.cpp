/*
 * The library-wide notifications HandleMessage routes here (under the
 * library's message mutex): ready and not ready, an incoming call leg, a
 * call leg that ended without an object, and the legs, leg-to-leg links,
 * mixers and mixer links a server still holds after a re-synchronisation
 * (a known object brought up to date, its streams under its own mutex; an
 * unknown one offered to the user). Each takes the message (its wrapper
 * releases it) and reads only what lies in the payload in use. The user
 * is read under the message mutex, as Detach clears it, and again after
 * any callback that may have detached it.
 */
#include "vqcmc_leg_internal.h"
#include "vqcmc_libuser.h"
#include "vqcmc_mixer.h"
#include "vqx_msg_element.h"

namespace VQCAF {

namespace {

constexpr u32 kOffsetMappingId = 8;
constexpr u32 kLegTypeCall = 1;
constexpr u32 kLegTypeMediaOnly = 2;
/* A leg element of a terminated notification: leg id, leg type, then the attribute,
 * read only when the element fills a whole leg slot. */
constexpr u32 kLegElementMin = VQCMC_LEG_SPAN;

/* The first element of a set that lies in the message (null when none), and its size. */
void* FirstElement(VQX_MSG_HANDLE hMsg, const void* pPayload, u32* pSet, u16* pun16Size) {
  *pun16Size = 0;
  if (VQX_RESULT_FAILED(VqCmcCheckRecordSet(hMsg, pPayload, sizeof(u32), pSet))) return nullptr;
  return VQXMsgElementGetNext(pSet, nullptr, pun16Size);
}

/* A play or record no longer reported after a re-synchronisation ends with this reason. */
constexpr auto kSyncReason = static_cast<_VQCMC_IVR_REASON_CODE>(5);
/* Play and record elements: play index at 15, paused at 16; record paused at 70. */
constexpr u32 kPlayIndex = 15, kPlayPaused = 16, kRecordPaused = 70;

/* The plays a set reports: each count 1 with its paused flag, the others 0. An element too
 * short for its index and paused bytes, or an index past the plays, changes nothing. */
void ReadPlaySet(u32* pSet, u32* aun32Counts, u8* aun8Paused, u32 un32Plays) {
  for (u32 i = 0; i < un32Plays; i++) aun32Counts[i] = 0, aun8Paused[i] = 0;
  u16 un16Size = 0;
  for (u8* pby = pSet == nullptr ? nullptr : static_cast<u8*>(VQXMsgElementGetNext(pSet, nullptr, &un16Size));
       pby != nullptr; pby = static_cast<u8*>(VQXMsgElementGetNext(pSet, pby, &un16Size))) {
    if (un16Size <= kPlayPaused || pby[kPlayIndex] >= un32Plays) continue;
    aun32Counts[pby[kPlayIndex]] = 1;
    aun8Paused[pby[kPlayIndex]] = pby[kPlayPaused];
  }
}

/* The record a set reports by its first element (paused read only when the element holds it). */
void ReadRecordSet(u32* pSet, u32* pun32Count, u8* pun8Paused) {
  u16 un16Size = 0;
  u8* pby = pSet == nullptr ? nullptr : static_cast<u8*>(VQXMsgElementGetNext(pSet, nullptr, &un16Size));
  *pun32Count = pby != nullptr ? 1 : 0;
  *pun8Paused = pby != nullptr && un16Size > kRecordPaused ? pby[kRecordPaused] : 0;
}

/* The element set at un32Offset when it lies within the un32Need bytes checked (else null). */
u32* SetAt(VQX_MSG_HANDLE hMsg, u8* pbyPayload, u32 un32Need, u32 un32Offset) {
  u32* pSet = VqCmcAt(pbyPayload, un32Offset);
  return VQX_RESULT_SUCCEEDED(VqCmcCheckRecordSet(hMsg, pbyPayload, un32Need, pSet)) ? pSet : nullptr;
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
        if (mpUser != nullptr) mpUser->OnCmcLibReady();  // the statistics callback may have detached
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
      phMsg, "CVQCMCLib::HandleCallLegPresent",
      VQCMC_LEG_PRESENT_PROTOCOL_OFFSET + sizeof(_VQCMC_PROTOCOL_ATTRIBUTE),
      [this](VQX_MSG_HANDLE hMsg, u8* pbyPayload) {
        const auto* pLeg = VqCmcAt<_VQCMC_LEG>(pbyPayload, VQCMC_LEG_PRESENT_LEG_OFFSET);
        if (mpUser == nullptr || pLeg->un32LegType != kLegTypeCall) return;
        u32* pSet = VqCmcAt(pbyPayload, 28);
        if (VQX_RESULT_SUCCEEDED(VqCmcCheckRecordSet(hMsg, pbyPayload, 32, pSet))) HandleNapStats(pSet);
        CVQCMC_CALL_LEG_ATTRIBUTE Attribute;
        CVQCMC_PROTOCOL_ATTRIBUTE Protocol;
        Attribute.CopyFrom(hMsg, VqCmcAt<_VQCMC_CALL_LEG_ATTRIBUTE>(pbyPayload, VQCMC_LEG_PRESENT_ATTRIBUTE_OFFSET));
        Attribute.UpdateFrom(VqCmcAt<_VQCMC_CALL_LEG_ATTRIBUTE_UPDATE>(pbyPayload, VQCMC_LEG_PRESENT_UPDATE_OFFSET));
        auto* pProtocol = VqCmcAt<_VQCMC_PROTOCOL_ATTRIBUTE>(pbyPayload, VQCMC_LEG_PRESENT_PROTOCOL_OFFSET);
        if (pProtocol->un8Present != 0) Protocol.CopyFrom(hMsg, pProtocol);
        const u32 un32LegId = pLeg->un32LegId;
        Attribute.GetMappingId() = *VqCmcAt(pbyPayload, kOffsetMappingId);
        Attribute.GetAttrLegId() = un32LegId;
        if (mpUser != nullptr) mpUser->OnCallLegPresent(un32LegId, Attribute, Protocol);  // as for ready
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
      phMsg, "CVQCMCLib::HandleLegSync", sizeof(_VQCMC_NOTIF_LEG_SYNC), [this](VQX_MSG_HANDLE hMsg, u8* pbyPayload) {
        auto* pSync = reinterpret_cast<_VQCMC_NOTIF_LEG_SYNC*>(pbyPayload);
        const u32 un32LegId = pSync->Leg.un32LegId;
        CVQCMCLeg* pLeg = LegIdFind(un32LegId);
        const bool fKnown = pLeg != nullptr;
        if (!fKnown && mpUser != nullptr) {
          const u32 un32Type = pSync->Leg.un32LegType;
          const u32 un32Mapping = *VqCmcAt(pbyPayload, kOffsetMappingId);
          if (un32Type == kLegTypeCall) {
            CVQCMC_CALL_LEG_ATTRIBUTE Attribute;
            Attribute.CopyFrom(hMsg, &pSync->Leg.CallLeg);
            Attribute.GetMappingId() = un32Mapping;
            Attribute.GetAttrLegId() = un32LegId;
            mpUser->OnCallLegSync(un32LegId, Attribute);
          } else if (un32Type == kLegTypeMediaOnly) {
            CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE Attribute;
            Attribute.CopyFrom(hMsg, &pSync->Leg.MediaOnlyLeg);
            Attribute.GetMappingId() = un32Mapping;
            Attribute.GetAttrLegId() = un32LegId;
            mpUser->OnCallLegSync(un32LegId, Attribute);
          }
        }
        // The callback may have made the leg object (adopted or refused): it starts from no streams.
        if (!fKnown) pLeg = LegIdFind(un32LegId);
        if (pLeg == nullptr) return;
        constexpr u32 kSize = sizeof(_VQCMC_NOTIF_LEG_SYNC);
        pLeg->SyncStreams(SetAt(hMsg, pbyPayload, kSize, offsetof(_VQCMC_NOTIF_LEG_SYNC, setPlayAttributes)),
                          SetAt(hMsg, pbyPayload, kSize, offsetof(_VQCMC_NOTIF_LEG_SYNC, setRecordAttributes)),
                          fKnown);
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

VQX_RESULT CVQCMCLib::HandleMixerSync(VQX_MSG_HANDLE* phMsg) {
  return LibNotif<_VQCMC_LIB_MSG_NOTIF_MIXER_SYNC, VQCMC_LIB_MSG_NOTIF_MIXER_SYNC>(
      phMsg, "CVQCMCLib::HandleMixerSync", sizeof(_VQCMC_NOTIF_MIXER_SYNC),
      [this](VQX_MSG_HANDLE hMsg, u8* pbyPayload) {
        const auto* pSync = reinterpret_cast<const _VQCMC_NOTIF_MIXER_SYNC*>(pbyPayload);
        const u32 un32MixerId = pSync->Head.un32Word7;
        CVQCMCMixer* pMixer = MixerIdFind(un32MixerId);
        const bool fKnown = pMixer != nullptr;
        if (!fKnown && mpUser != nullptr) {
          // Only the three settings the server reports; the others keep their defaults.
          CVQCMC_MIXER_ATTRIBUTE Attribute;
          Attribute.SetNbReservedActiveSpeakerSlots(pSync->Mixer.un32ReservedActiveSpeakerSlots);
          Attribute.SetReserveIvrSlot(pSync->Mixer.un8ReserveIvrSlot);
          Attribute.SetReserveListenerSlot(pSync->Mixer.un8ReserveListenerSlot);
          Attribute.GetMappingId() = *VqCmcAt(pbyPayload, kOffsetMappingId);
          mpUser->OnMixerSync(un32MixerId, Attribute);
        }
        // The callback may have made the mixer object (adopted or refused): it starts from no streams.
        if (!fKnown) pMixer = MixerIdFind(un32MixerId);
        if (pMixer == nullptr) return;
        constexpr u32 kSize = sizeof(_VQCMC_NOTIF_MIXER_SYNC);
        pMixer->SyncStreams(SetAt(hMsg, pbyPayload, kSize, offsetof(_VQCMC_NOTIF_MIXER_SYNC, setPlayAttributes)),
                            SetAt(hMsg, pbyPayload, kSize, offsetof(_VQCMC_NOTIF_MIXER_SYNC, setRecordAttributes)),
                            fKnown);
      });
}

VQX_RESULT CVQCMCLib::HandleMixerLinkSync(VQX_MSG_HANDLE* phMsg) {
  return LibNotif<_VQCMC_LIB_MSG_NOTIF_MIXER_LINK_SYNC, VQCMC_LIB_MSG_NOTIF_MIXER_LINK_SYNC>(
      phMsg, "CVQCMCLib::HandleMixerLinkSync", sizeof(_VQCMC_NOTIF_MIXER_LINK_SYNC),
      [this](VQX_MSG_HANDLE, u8* pbyPayload) {
        const auto* pSync = reinterpret_cast<const _VQCMC_NOTIF_MIXER_LINK_SYNC*>(pbyPayload);
        const u32 un32MixerId = pSync->un32MixerId;
        const u32 un32PeerId = pSync->un32EntityId;
        if (CVQCMCMixerJoinedLeg::Find(un32MixerId, un32PeerId)) return;
        if (CVQCMCMixerJoinedMixer::Find(un32MixerId, un32PeerId)) return;
        CVQCMCMixer* pMixer = MixerIdFind(un32MixerId);
        if (pMixer == nullptr) return;
        // The peer is a mixer when one has its id, else a leg.
        if (CVQCMCMixer* pPeer = MixerIdFind(un32PeerId); pPeer != nullptr) {
          CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE Attribute;
          Attribute.SetJoinedFrom1to2(pSync->MixerMixerJoin.un8JoinedFrom1to2);
          Attribute.SetJoinedFrom2to1(pSync->MixerMixerJoin.un8JoinedFrom2to1);
          pMixer->MixerSetJoined(pPeer, &Attribute, 0);
          if (pMixer->IsTerminating() == 0 && pPeer->IsTerminating() == 0) {
            if (mpUser != nullptr) mpUser->OnMixerLinkSync(un32MixerId, un32PeerId, nullptr, &Attribute);
          } else if (auto pJoin = CVQCMCMixerJoinedMixer::Find(un32MixerId, un32PeerId); pJoin) {
            CVQCAFMutexAutoGetGive Lock(CVQCMCMixerJoinedMixer::GetMutex());
            pJoin->mfUnjoinPending = 1;
          }
        } else if (CVQCMCLeg* pLeg = LegIdFind(un32PeerId); pLeg != nullptr) {
          CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE Attribute;
          Attribute.SetListener(pSync->MixerLegJoin.un8Listener);
          Attribute.SetSpeaker(pSync->MixerLegJoin.un8Speaker);
          pMixer->MixerSetJoined(pLeg, &Attribute, 0);
          if (pMixer->IsTerminating() == 0 && pLeg->IsTerminating() == 0) {
            if (mpUser != nullptr) mpUser->OnMixerLinkSync(un32MixerId, un32PeerId, &Attribute, nullptr);
          } else if (auto pJoin = CVQCMCMixerJoinedLeg::Find(un32MixerId, un32PeerId); pJoin) {
            CVQCAFMutexAutoGetGive Lock(CVQCMCMixerJoinedLeg::GetMutex());
            pJoin->mfUnjoinPending = 1;
          }
        }
      });
}

/* ------------------------------------------------------------ the leg's side */

void CVQCMCLeg::SyncStreams(u32* pPlaySet, u32* pRecordSet, bool fCountedBefore) {
  constexpr u32 kRecord = VQCMC_LEG_NB_STREAMS - 1;
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  // What the leg counted before, read under the same lock as the rewrite.
  u32 aun32Before[VQCMC_LEG_NB_STREAMS] = {};
  if (fCountedBefore) memcpy(aun32Before, maun32StreamsInProgress, sizeof(aun32Before));
  ReadPlaySet(pPlaySet, maun32StreamsInProgress, maun8StreamPaused, kRecord);
  for (u8 i = 0; i < kRecord; i++) {
    for (u32 n = aun32Before[i]; n > maun32StreamsInProgress[i]; n--) OnStreamPlayingDone(i, kSyncReason);
  }
  ReadRecordSet(pRecordSet, &maun32StreamsInProgress[kRecord], &maun8StreamPaused[kRecord]);
  for (u32 n = aun32Before[kRecord]; n > maun32StreamsInProgress[kRecord]; n--) OnStreamRecordingDone(kSyncReason);
}

/* ------------------------------------------------------------ the mixer's side */

void CVQCMCMixer::SyncStreams(u32* pPlaySet, u32* pRecordSet, bool fCountedBefore) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  // What the mixer counted before, read under the same lock as the rewrite.
  u32 aun32Plays[VQCMC_MIXER_NB_PLAYS] = {};
  if (fCountedBefore) memcpy(aun32Plays, maun32PlaysInProgress, sizeof(aun32Plays));
  const u32 un32Records = fCountedBefore ? mun32RecordsInProgress : 0;
  ReadPlaySet(pPlaySet, maun32PlaysInProgress, maun8PlayPaused, VQCMC_MIXER_NB_PLAYS);
  for (u8 i = 0; i < VQCMC_MIXER_NB_PLAYS; i++) {
    for (u32 n = aun32Plays[i]; n > maun32PlaysInProgress[i]; n--) OnMixerStreamPlayingDone(i, kSyncReason);
  }
  ReadRecordSet(pRecordSet, &mun32RecordsInProgress, &mun8RecordPaused);
  for (u32 n = un32Records; n > mun32RecordsInProgress; n--) OnMixerStreamRecordingDone(kSyncReason);
}

}  // namespace VQCAF
