/*
 * CVQCMCMixer: the handlers of the mixer's own responses (create, terminate,
 * set attribute, the five stream commands) and of its notifications (created,
 * terminated, attribute changed, error, sync done, sync lost, playing done).
 * A failed play or record response and a playing done lower their count (an
 * index of 4 or more touches no count or flag). Each runs under the mixer's mutex,
 * called by HandleMessage, and takes the message (released once by its wrapper).
 */
#include <algorithm>
#include <cstring>

#include "vqcmc_leg_internal.h"
#include "vqcmc_mixer_internal.h"
#include "vqx_string.h"

namespace VQCAF {

namespace {

/* The server's mixer-error notification: code, text, media-path detail. */
constexpr u32 kMixerErrorCode = 36u;
constexpr u32 kMixerErrorText = 40u;
constexpr u32 kMixerErrorTextSize = 256u;
constexpr u32 kMixerErrorDetail = 296u;
constexpr u32 kMixerErrorSize = kMixerErrorDetail + VQCMC_MIXER_ERROR_DETAIL_SIZE;
constexpr u32 kOffsetWord7 = VQCMC_PAYLOAD_OFFSET_WORD7;
constexpr const char* kMixerErrorPrefix = "Received Event from CMC Server: ";
constexpr u32 kOffsetRecord = 32u;   /* the play attribute of a play response */
constexpr u32 kPlayAttrIndex = 15u;  /* play attribute: play index */
/* Playing done: word 8 play done, word 9 record done, word 10 reason, byte 44 play index. */
constexpr u32 kDonePlay = 32u, kDoneRecord = 36u, kDoneReason = 40u, kDoneIndex = 44u, kDoneSize = 45u;
/* Playing started: bytes 32-33 a play started, 34 a record started; from version 2 the play
 * index at 35 and the file (element set at 36, host id at 40). */
constexpr u32 kOffsetVersion = VQCMC_PAYLOAD_OFFSET_LIB_BUILT;
constexpr u32 kStartedPlay = 32u, kStartedRecord = 34u, kStartedIndex = 35u, kStartedSize = 36u, kStartedSize2 = 48u;

/* A count that a finished or failed stream lowers, never below 0. */
inline void Lower(u32& un32Count) {
  if (un32Count != 0) un32Count--;
}

}  // namespace

/* ------------------------------------------------------------ responses */

void CVQCMCMixer::OnMixerCreateResponse(_VQCMC_MSG_CMD_MIXER_CREATE* pPayload, unsigned int* pfHandled) {
  if (pPayload != nullptr && static_cast<i32>(*VqCmcAt(pPayload, kOffsetWord7)) < 0) mfTerminating = 1;
  Unhandled(pfHandled);
}

VQX_RESULT CVQCMCMixer::HandleMixerCreateResponse(VQX_MSG_HANDLE* phMsg) {
  i32 n32Result = 0;
  const VQX_RESULT Result = HandleMixerResponse<_VQCMC_MSG_CMD_MIXER_CREATE, VQCMC_MSG_CMD_MIXER_CREATE>(
      phMsg, &CVQCMCMixer::OnMixerCreateResponse, "HandleMixerCreateResponse",
      "MixerCreate() Request failed on CMC server", &n32Result);
  if (VQX_RESULT_SUCCEEDED(Result) && n32Result < 0) {
    // A refused create closes the mixer in the core library: nothing else will be answered.
    FailPendingRequests(VQX_RESULT_INVALID_STATE, kVqCmcLostToEnd);
    OnMixerTerminated();
  }
  return Result;
}

VQX_RESULT CVQCMCMixer::HandleMixerTerminateResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleMixerResponse<_VQCMC_MSG_CMD_MIXER_TERMINATE, VQCMC_MSG_CMD_MIXER_TERMINATE>(
      phMsg, &CVQCMCMixer::OnMixerTerminateResponse, "HandleMixerTerminateResponse",
      "MixerTerminate() Request failed on CMC server");
}

VQX_RESULT CVQCMCMixer::HandleMixerSetAttributeResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleMixerResponse<_VQCMC_MSG_CMD_MIXER_SET_ATTRIBUTE, VQCMC_MSG_CMD_MIXER_SET_ATTRIBUTE>(
      phMsg, &CVQCMCMixer::OnMixerSetAttributeResponse, "HandleMixerSetAttributeResponse",
      "MixerSetAttribute() Request failed on CMC server");
}

/* ------------------------------------------------------------ notifications */

VQX_RESULT CVQCMCMixer::CheckedNotif(VQX_MSG_HANDLE* phMsg, const char* pszHandler, const char* pszText,
                                     void (CVQCMCMixer::*pfnCallback)()) {
  VQX_MSG_HANDLE hMsg = VqCmcTake(phMsg);
  const auto* pHead = reinterpret_cast<const _VQCMC_MSG_HEAD*>(VQXMsgPayload(hMsg));
  const bool fPresent = VQX_RESULT_SUCCEEDED(VqCmcCheckRecord(hMsg, pHead, sizeof(_VQCMC_MSG_HEAD)));
  const bool fMine = fPresent && pHead->un32Word7 == mun32MixerId;
  VqCmcLegReleaseMsg(&hMsg);
  if (!fMine) {
    LogFailure(pszHandler, fPresent ? pszText : "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  (this->*pfnCallback)();
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::HandleMixerCreated(VQX_MSG_HANDLE* phMsg) {
  return CheckedNotif(phMsg, "HandleMixerCreated", "Invalid mixer id in event mixer created",
                      &CVQCMCMixer::OnMixerCreated);
}

VQX_RESULT CVQCMCMixer::HandleMixerAttributeChanged(VQX_MSG_HANDLE* phMsg) {
  return CheckedNotif(phMsg, "HandleMixerAttributeChanged", "Invalid mixer id in event mixer attribute changed",
                      &CVQCMCMixer::OnMixerAttributeChanged);
}

VQX_RESULT CVQCMCMixer::HandleMixerTerminated(VQX_MSG_HANDLE* phMsg) {
  VqCmcLegReleaseMsg(phMsg);
  mfCreated = 0;
  // The core library delivers nothing more to the mixer: what waits for a response fails first.
  FailPendingRequests(VQX_RESULT_INVALID_STATE, kVqCmcLostToEnd);
  if (mfRefused != 0) {
    FreeMixer();
  } else {
    MixerSetUnjoined(1u);
    OnMixerTerminated();
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::HandleMixerError(VQX_MSG_HANDLE* phMsg) {
  VQX_MSG_HANDLE hMsg = VqCmcTake(phMsg);
  const u8* pbyPayload = static_cast<const u8*>(VQXMsgPayload(hMsg));
  const bool fPresent = VQX_RESULT_SUCCEEDED(VqCmcCheckRecord(hMsg, pbyPayload, kMixerErrorSize));
  if (!fPresent || *reinterpret_cast<const u32*>(pbyPayload + kOffsetWord7) != mun32MixerId) {
    VqCmcLegReleaseMsg(&hMsg);
    LogFailure("HandleMixerError", fPresent ? "Invalid mixer id in event mixer error" : "Invalid message", 0,
               VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  // The server's text is read within its field, NUL or not.
  const char* pszField = reinterpret_cast<const char*>(pbyPayload + kMixerErrorText);
  const u32 un32Length = VqCmcFieldLength(pszField, kMixerErrorTextSize);
  std::string strMessage(kMixerErrorPrefix);
  strMessage.append(pszField, un32Length);
  CVQCMCMixerError Error(*reinterpret_cast<const u32*>(pbyPayload + kMixerErrorCode), strMessage.c_str(),
                         VqxFileNameFromPath(__FILE__), __LINE__);
  Error.mun32MsgId = VQCMC_MSG_NOTIF_MIXER_ERROR;
  memcpy(Error.mabyDetail, pbyPayload + kMixerErrorDetail, VQCMC_MIXER_ERROR_DETAIL_SIZE);
  VqCmcLegReleaseMsg(&hMsg);
  OnMixerError(Error);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::HandleMixerSyncDone(VQX_MSG_HANDLE* phMsg) {
  VqCmcLegReleaseMsg(phMsg);
  mfSynchronized = 1;
  OnMixerSyncDone();
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::HandleMixerSyncLost(VQX_MSG_HANDLE* phMsg) {
  VqCmcLegReleaseMsg(phMsg);
  // As a leg's: the answers owed are lost with the synchronisation.
  FailPendingRequests(VQX_RESULT_API_ADA_NOT_READY, kVqCmcLostToSync);
  mfSynchronized = 0;
  OnMixerSyncLost();
  return VQX_RESULT_OK;
}

/* ------------------------------------------------------------ stream responses */

VQX_RESULT CVQCMCMixer::HandlePlayStreamResponse(VQX_MSG_HANDLE* phMsg) {
  // A failed play frees its slot before the callback (an index past the plays touches nothing).
  VQX_MSG_HANDLE hMsg = *phMsg;
  const u8* pbyPayload = reinterpret_cast<const u8*>(VQXMsgPayload(hMsg));
  if (VQX_RESULT_SUCCEEDED(VqCmcCheckRecord(hMsg, pbyPayload, sizeof(_VQCMC_MSG_CMD_PLAY))) &&
      hMsg->un32MsgId == VQCMC_MSG_CMD_PLAY && *reinterpret_cast<const i32*>(pbyPayload + kOffsetWord7) < 0) {
    const u8 un8Index = pbyPayload[kOffsetRecord + kPlayAttrIndex];
    if (un8Index < VQCMC_MIXER_NB_PLAYS) Lower(maun32PlaysInProgress[un8Index]);
  }
  return HandleMixerResponse<_VQCMC_MSG_CMD_PLAY, VQCMC_MSG_CMD_PLAY>(
      phMsg, &CVQCMCMixer::OnMixerPlayStreamResponse, "HandlePlayStreamResponse",
      "MixerPlayStream() Request failed on CMC server");
}

VQX_RESULT CVQCMCMixer::HandleRecordStreamResponse(VQX_MSG_HANDLE* phMsg) {
  VQX_MSG_HANDLE hMsg = *phMsg;
  const u8* pbyPayload = reinterpret_cast<const u8*>(VQXMsgPayload(hMsg));
  if (VQX_RESULT_SUCCEEDED(VqCmcCheckRecord(hMsg, pbyPayload, sizeof(_VQCMC_MSG_CMD_RECORD))) &&
      *reinterpret_cast<const i32*>(pbyPayload + kOffsetWord7) < 0) {
    Lower(mun32RecordsInProgress);
  }
  return HandleMixerResponse<_VQCMC_MSG_CMD_RECORD, VQCMC_MSG_CMD_RECORD>(
      phMsg, &CVQCMCMixer::OnMixerRecordStreamResponse, "HandleRecordStreamResponse",
      "MixerRecordStream() Request failed on CMC server");
}

VQX_RESULT CVQCMCMixer::HandlePauseStreamResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleMixerResponse<_VQCMC_MSG_CMD_PAUSE, VQCMC_MSG_CMD_PAUSE>(
      phMsg, &CVQCMCMixer::OnMixerPauseStreamResponse, "HandlePauseStreamResponse",
      "MixerPauseStream() Request failed on CMC server");
}

VQX_RESULT CVQCMCMixer::HandleResumeStreamResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleMixerResponse<_VQCMC_MSG_CMD_RESUME, VQCMC_MSG_CMD_RESUME>(
      phMsg, &CVQCMCMixer::OnMixerResumeStreamResponse, "HandleResumeStreamResponse",
      "MixerResumeStream() Request failed on CMC server");
}

VQX_RESULT CVQCMCMixer::HandleStopStreamResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleMixerResponse<_VQCMC_MSG_CMD_STOP, VQCMC_MSG_CMD_STOP>(
      phMsg, &CVQCMCMixer::OnMixerStopStreamResponse, "HandleStopStreamResponse",
      "MixerStopStream() Request failed on CMC server");
}

VQX_RESULT CVQCMCMixer::HandleStreamPlayingStarted(VQX_MSG_HANDLE* phMsg) {
  CVQCMCMessage<_VQCMC_MSG_NOTIF_PLAYING_STARTED, VQCMC_MSG_NOTIF_PLAYING_STARTED> Msg(VqCmcTake(phMsg));
  u8* pbyPayload = reinterpret_cast<u8*>(VqCmcPayload(Msg, kStartedSize));
  // The play index and the file exist from version 2 on, as for a leg: a version 1
  // notification is play 0 without a file, a short version 2 one is invalid.
  const bool fIndexed = pbyPayload != nullptr && *VqCmcAt(pbyPayload, kOffsetVersion) > 1;
  if (fIndexed && VQX_RESULT_FAILED(VqCmcCheckRecord(Msg.GetMsg(), pbyPayload, kStartedSize2))) pbyPayload = nullptr;
  if (pbyPayload == nullptr || *VqCmcAt(pbyPayload, kOffsetWord7) != mun32MixerId) {
    LogFailure("HandleStreamPlayingStarted",
               pbyPayload == nullptr ? "Invalid message" : "Invalid mixer id in event stream playing started", 0,
               VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  VQCMCMediaFileInfo Info;
  VqCmcReadStartedFile(Msg.GetMsg(), pbyPayload, Info);
  if (pbyPayload[kStartedPlay] != 0 || pbyPayload[kStartedPlay + 1] != 0) {
    OnMixerStreamPlayingStarted(fIndexed ? pbyPayload[kStartedIndex] : 0, pbyPayload[kStartedPlay], Info);
  }
  if (pbyPayload[kStartedRecord] != 0) OnMixerStreamRecordingStarted(Info);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::HandleStreamPlayingDone(VQX_MSG_HANDLE* phMsg) {
  VQX_MSG_HANDLE hMsg = VqCmcTake(phMsg);
  u8* pbyPayload = reinterpret_cast<u8*>(VQXMsgPayload(hMsg));
  const bool fPresent = VQX_RESULT_SUCCEEDED(VqCmcCheckRecord(hMsg, pbyPayload, kDoneSize));
  if (!fPresent || *VqCmcAt(pbyPayload, kOffsetWord7) != mun32MixerId) {
    VqCmcLegReleaseMsg(&hMsg);
    LogFailure("HandleStreamPlayingDone", fPresent ? "Invalid mixer id in event stream playing done" : "Invalid message",
               0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  const u32 fPlayDone = *VqCmcAt(pbyPayload, kDonePlay);
  const u32 fRecordDone = *VqCmcAt(pbyPayload, kDoneRecord);
  const auto Reason = static_cast<_VQCMC_IVR_REASON_CODE>(*VqCmcAt(pbyPayload, kDoneReason));
  const u8 un8Index = pbyPayload[kDoneIndex];
  VqCmcLegReleaseMsg(&hMsg);
  if (fPlayDone != 0) {
    if (un8Index < VQCMC_MIXER_NB_PLAYS) {
      Lower(maun32PlaysInProgress[un8Index]);
      maun8PlayPaused[un8Index] = 0;
    }
    OnMixerStreamPlayingDone(un8Index, Reason);
  }
  if (fRecordDone != 0) {
    Lower(mun32RecordsInProgress);
    mun8RecordPaused = 0;
    OnMixerStreamRecordingDone(Reason);
  }
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
