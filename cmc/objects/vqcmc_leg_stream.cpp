/*
 * CVQCMCLeg: the media stream commands (play, record, pause, resume, stop),
 * their responses, the playing-started and playing-done notifications and
 * the media file information they carry. Entries 0-3 of the stream fields
 * are the play streams by play index, entry 4 the record stream; a play
 * index the leg does not have (4 or more) read from a server message touches
 * no field, while the message's callbacks still run.
 */
#include <algorithm>
#include <cstring>

#include "vqcafcomm.h"
#include "vqcmc_leg_internal.h"
#include "vqx_host_peer.h"
#include "vqx_msg_element.h"

namespace VQCAF {

namespace {

constexpr u32 kOffsetVersion = 24;
constexpr u32 kOffsetAttribute = 32;       /* play and record commands */
constexpr u32 kOffsetPlayIndex = 32 + 15;  /* un8PlayIndex of the play attribute */
constexpr u32 kOffsetPlayPaused = 32 + 16; /* the play's initial paused state */
constexpr u32 kOffsetRecordPaused = 32 + 70;
constexpr u32 kOffsetCtlPlay = 32;         /* pause, resume, stop */
constexpr u32 kOffsetCtlRecord = 36;
constexpr u32 kOffsetCtlIndex = 40;
constexpr u32 kRecordEntry = VQCMC_LEG_NB_STREAMS - 1;

u8 PayloadByte(const void* pPayload, u32 un32Offset) { return static_cast<const u8*>(pPayload)[un32Offset]; }
u32 PayloadVersion(const void* pPayload) {
  u32 un32Version = 0;
  memcpy(&un32Version, static_cast<const u8*>(pPayload) + kOffsetVersion, sizeof(un32Version));
  return un32Version;
}

}  // namespace

/* ------------------------------------------------------------ commands */

VQX_RESULT CVQCMCLeg::CheckCommandState(const char* pszOperation) {
  if (const VQX_RESULT Refused = LibraryRefusal(pszOperation); VQX_RESULT_FAILED(Refused)) return Refused;
  if (mfBeingFreed != 0) return VQX_RESULT_INVALID_STATE;
  if (mState == VQCMC_CALL_LEG_STATE_TERMINATED) {
    LogTrace(VQLV1, "CVQCMCLeg::%s: This function cannot be used on a call in the terminating state.\n", pszOperation);
    return VQX_RESULT_INVALID_STATE;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::PlayStream(CVQCMC_PLAY_ATTRIBUTE& Attribute, IVQCMCErrorListener* pListener) {
  static const char* const kError = "CVQCMCLeg::PlayStream Failed";
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (VQX_RESULT Result = CheckCommandState("PlayStream"); VQX_RESULT_FAILED(Result)) return Result;
  u8 un8Index = 0xFF;
  u8 un8Paused = 0;
  Attribute.GetFixedByte(kOffsetPlayIndex - kOffsetAttribute, &un8Index);
  Attribute.GetFixedByte(kOffsetPlayPaused - kOffsetAttribute, &un8Paused);
  if (un8Index >= kRecordEntry) {
    return ReportFailure("PlayStream", kError, "un8PlayIndex out of range", VQX_RESULT_INVALID_PARAM, pListener,
                         __LINE__);
  }
  const u32 un32Used = Attribute.GetMsg() == nullptr ? 0 : Attribute.GetMsg()->un32PayloadLength;
  const u32 un32Extra = un32Used > sizeof(_VQCMC_PLAY_ATTRIBUTE) ? un32Used - sizeof(_VQCMC_PLAY_ATTRIBUTE) : 0;
  CVQCMCMessage<_VQCMC_MSG_CMD_PLAY, VQCMC_MSG_CMD_PLAY> Msg(un32Extra);
  u8* pbyPayload = reinterpret_cast<u8*>(Msg.GetPayload());
  if (pbyPayload == nullptr) {
    return ReportFailure("PlayStream", kError, "Message allocation failed", VQX_RESULT_NOT_ENOUGH_MEMORY, pListener,
                         __LINE__);
  }
  VQX_RESULT Result = Attribute.CopyTo(Msg.GetMsg(), VqCmcAt<_VQCMC_PLAY_ATTRIBUTE>(pbyPayload, kOffsetAttribute));
  if (VQX_RESULT_FAILED(Result)) {
    return ReportFailure("PlayStream", kError, "VQXMsgElementStringAdd failed", Result, pListener, __LINE__);
  }
  *VqCmcAt(pbyPayload, kOffsetVersion) = 2;
  *VqCmcAt(pbyPayload, VQCMC_PAYLOAD_OFFSET_WORD7) = GetLegId();
  Result = SendBuilt(Msg, "PlayStream", kError, pListener);
  if (VQX_RESULT_FAILED(Result)) return Result;
  maun32StreamsInProgress[un8Index]++;
  maun8StreamPaused[un8Index] = un8Paused;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::RecordStream(CVQCMC_RECORD_ATTRIBUTE& Attribute, IVQCMCErrorListener* pListener) {
  static const char* const kError = "CVQCMCLeg::RecordStream Failed";
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_RECORD, VQCMC_MSG_CMD_RECORD> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (VQX_RESULT Result = CheckCommandState("RecordStream"); VQX_RESULT_FAILED(Result)) return Result;
  u8* pbyPayload = reinterpret_cast<u8*>(Msg.GetPayload());
  if (pbyPayload == nullptr) {
    return ReportFailure("RecordStream", kError, "Message allocation failed", VQX_RESULT_NOT_ENOUGH_MEMORY,
                         pListener, __LINE__);
  }
  VQX_RESULT Result = Attribute.CopyTo(Msg.GetMsg(), VqCmcAt<_VQCMC_RECORD_ATTRIBUTE>(pbyPayload, kOffsetAttribute));
  if (VQX_RESULT_FAILED(Result)) {
    return ReportFailure("RecordStream", kError, "VQXMsgElementStringAdd failed", Result, pListener, __LINE__);
  }
  *VqCmcAt(pbyPayload, kOffsetVersion) = 1;
  *VqCmcAt(pbyPayload, VQCMC_PAYLOAD_OFFSET_WORD7) = GetLegId();
  Result = SendBuilt(Msg, "RecordStream", kError, pListener);
  if (VQX_RESULT_FAILED(Result)) return Result;
  maun32StreamsInProgress[kRecordEntry]++;
  maun8StreamPaused[kRecordEntry] = PayloadByte(pbyPayload, kOffsetRecordPaused);
  return VQX_RESULT_OK;
}

template <class T, u32 id>
VQX_RESULT CVQCMCLeg::StreamControl(const char* pszOperation, const char* pszError, u32 fPlay, u32 fRecord,
                                    u8 un8Index, int nPaused, IVQCMCErrorListener* pListener) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<T, id> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (VQX_RESULT Result = CheckCommandState(pszOperation); VQX_RESULT_FAILED(Result)) return Result;
  T* pPayload = Msg.GetPayload();
  if (pPayload == nullptr) {
    return ReportFailure(pszOperation, pszError, "Message allocation failed", VQX_RESULT_NOT_ENOUGH_MEMORY, pListener,
                         __LINE__);
  }
  *VqCmcAt(pPayload, kOffsetVersion) = 2;
  *VqCmcAt(pPayload, VQCMC_PAYLOAD_OFFSET_WORD7) = GetLegId();
  *VqCmcAt(pPayload, kOffsetCtlPlay) = fPlay;
  *VqCmcAt(pPayload, kOffsetCtlRecord) = fRecord;
  *VqCmcAt<u8>(pPayload, kOffsetCtlIndex) = un8Index;
  const VQX_RESULT Result = SendBuilt(Msg, pszOperation, pszError, pListener);
  if (VQX_RESULT_FAILED(Result) || nPaused < 0) return Result;
  // An index past the play streams is the server's to refuse; no field of ours to mark.
  if (fPlay != 0 && un8Index < kRecordEntry) maun8StreamPaused[un8Index] = static_cast<u8>(nPaused);
  if (fRecord != 0) maun8StreamPaused[kRecordEntry] = static_cast<u8>(nPaused);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::PauseStream(u32 fPlay, u32 fRecord, u8 un8Index, IVQCMCErrorListener* pListener) {
  return StreamControl<_VQCMC_MSG_CMD_PAUSE, VQCMC_MSG_CMD_PAUSE>("PauseStream", "CVQCMCLeg::PauseStream Failed",
                                                                  fPlay, fRecord, un8Index, 1, pListener);
}

VQX_RESULT CVQCMCLeg::ResumeStream(u32 fPlay, u32 fRecord, u8 un8Index, IVQCMCErrorListener* pListener) {
  return StreamControl<_VQCMC_MSG_CMD_RESUME, VQCMC_MSG_CMD_RESUME>("ResumeStream", "CVQCMCLeg::ResumeStream Failed",
                                                                    fPlay, fRecord, un8Index, 0, pListener);
}

VQX_RESULT CVQCMCLeg::StopStream(u32 fPlay, u32 fRecord, u8 un8Index, IVQCMCErrorListener* pListener) {
  return StreamControl<_VQCMC_MSG_CMD_STOP, VQCMC_MSG_CMD_STOP>("StopStream", "CVQCMCLeg::StopStream Failed", fPlay,
                                                                fRecord, un8Index, -1, pListener);
}

/* ------------------------------------------------------------ responses */

u32* CVQCMCLeg::FailedPlayCounter(u32 un32Id, const void* pPayload) {
  switch (un32Id) {
    case VQCMC_MSG_CMD_PLAY: {
      const u8 un8Index = PayloadVersion(pPayload) > 1 ? PayloadByte(pPayload, kOffsetPlayIndex) : 0;
      return un8Index < kRecordEntry ? &maun32StreamsInProgress[un8Index] : nullptr;
    }
    case VQCMC_MSG_CMD_RECORD: return &maun32StreamsInProgress[kRecordEntry];
    case VQCMC_MSG_CMD_DIGIT_PLAY: return &mun32DigitPlays;
    case VQCMC_MSG_CMD_EVENT_PLAY: return &mun32EventPlays;
    default: return nullptr;
  }
}

VQX_RESULT CVQCMCLeg::HandlePlayStreamResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_PLAY, VQCMC_MSG_CMD_PLAY>(
      phMsg, &CVQCMCLeg::OnPlayStreamResponse, "HandlePlayStreamResponse",
      "PlayStream() Request failed on CMC server classes/cmc/CVQCMCLeg:6431");
}

VQX_RESULT CVQCMCLeg::HandleRecordStreamResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_RECORD, VQCMC_MSG_CMD_RECORD>(
      phMsg, &CVQCMCLeg::OnRecordStreamResponse, "HandleRecordStreamResponse",
      "RecordStream() Request failed on CMC server classes/cmc/CVQCMCLeg:6500");
}

VQX_RESULT CVQCMCLeg::HandlePauseStreamResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_PAUSE, VQCMC_MSG_CMD_PAUSE>(
      phMsg, &CVQCMCLeg::OnPauseStreamResponse, "HandlePauseStreamResponse",
      "PauseStream() Request failed on CMC server classes/cmc/CVQCMCLeg:6563");
}

VQX_RESULT CVQCMCLeg::HandleResumeStreamResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_RESUME, VQCMC_MSG_CMD_RESUME>(
      phMsg, &CVQCMCLeg::OnResumeStreamResponse, "HandleResumeStreamResponse",
      "ResumeStream() Request failed on CMC server classes/cmc/CVQCMCLeg:6626");
}

VQX_RESULT CVQCMCLeg::HandleStopStreamResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_STOP, VQCMC_MSG_CMD_STOP>(
      phMsg, &CVQCMCLeg::OnStopStreamResponse, "HandleStopStreamResponse",
      "StopStream() Request failed on CMC server classes/cmc/CVQCMCLeg:6690");
}

/* ------------------------------------------------------------ notifications */

void CVQCMCLeg::BuildMediaFileInfo(u32* pFileSet, u64 un64HostId, VQCMCMediaFileInfo& Info) {
  VQX_LIB_HANDLE hLib = CVQCAFComm::GetHostLibInstance();
  if (hLib == nullptr) return;
  if (un64HostId != 0) VQXFindRemoteHostById(hLib, un64HostId, &Info.HostInfo);
  if (pFileSet != nullptr) {
    u16 un16Size = 0;
    const char* pszPath = static_cast<const char*>(VQXMsgElementGetNext(pFileSet, nullptr, &un16Size));
    // The element holds the path; a server need not end it with a NUL inside the element.
    if (pszPath != nullptr) Info.strPath = CVQCAFString(pszPath, static_cast<u32>(strnlen(pszPath, un16Size)));
  }
  CVQCAFComm::ReleaseHostLibInstance();
}

/* The file of a playing-started notification: path and host read only from
 * version 2 on, the path only when the element set lies in the message. */
VQX_RESULT CVQCMCLeg::HandleStreamPlayingStarted(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_NOTIF_PLAYING_STARTED, VQCMC_MSG_NOTIF_PLAYING_STARTED> Msg(VqCmcTake(phMsg));
  u8* pbyPayload = reinterpret_cast<u8*>(VqCmcPayload(Msg, 36));
  if (pbyPayload != nullptr && *VqCmcAt(pbyPayload, kOffsetVersion) > 1 &&
      VQX_RESULT_FAILED(VqCmcCheckRecord(Msg.GetMsg(), pbyPayload, 48))) {
    pbyPayload = nullptr;  // version 2 reads up to the host id at 40
  }
  if (pbyPayload == nullptr) {
    LogFailure("HandleStreamPlayingStarted", "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  const u8 un8Index = *VqCmcAt(pbyPayload, kOffsetVersion) > 1 ? pbyPayload[35] : 0;
  if (pbyPayload[32] != 0 || pbyPayload[33] != 0) {
    VQCMCMediaFileInfo Info;
    VqCmcReadStartedFile(Msg.GetMsg(), pbyPayload, Info);
    OnStreamPlayingStarted(un8Index, pbyPayload[32], Info);
  }
  if (pbyPayload[34] != 0) {
    VQCMCMediaFileInfo Info;
    VqCmcReadStartedFile(Msg.GetMsg(), pbyPayload, Info);
    OnStreamRecordingStarted(Info);
  }
  return VQX_RESULT_OK;
}

void CVQCMCLeg::EndStream(u32 un32Entry) {
  if (un32Entry >= VQCMC_LEG_NB_STREAMS) return;
  if (maun32StreamsInProgress[un32Entry] > 0) maun32StreamsInProgress[un32Entry]--;
  maun8StreamPaused[un32Entry] = 0;
}

VQX_RESULT CVQCMCLeg::HandleStreamPlayingDone(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_NOTIF_PLAYING_DONE, VQCMC_MSG_NOTIF_PLAYING_DONE> Msg(VqCmcTake(phMsg));
  u8* pbyPayload = reinterpret_cast<u8*>(VqCmcPayload(Msg, 44));
  const bool fIndexed = pbyPayload != nullptr && *VqCmcAt(pbyPayload, kOffsetVersion) > 1;
  if (fIndexed && VQX_RESULT_FAILED(VqCmcCheckRecord(Msg.GetMsg(), pbyPayload, 45))) pbyPayload = nullptr;
  if (pbyPayload == nullptr) {
    LogFailure("HandleStreamPlayingDone", "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  const u8 un8Index = fIndexed ? pbyPayload[44] : 0;
  const auto Reason = static_cast<_VQCMC_IVR_REASON_CODE>(*VqCmcAt(pbyPayload, 40));
  if (*VqCmcAt(pbyPayload, 32) != 0) {
    // The record entry is not a play index: an index of 4 or more ends nothing.
    if (un8Index < kRecordEntry) EndStream(un8Index);
    OnStreamPlayingDone(un8Index, Reason);
  }
  if (*VqCmcAt(pbyPayload, 36) != 0) {
    EndStream(kRecordEntry);
    OnStreamRecordingDone(Reason);
  }
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
