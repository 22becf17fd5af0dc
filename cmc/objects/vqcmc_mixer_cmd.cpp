/*
 * CVQCMCMixer: the mixer's commands (create, terminate, set attribute, the
 * refusals, play, record, pause, resume, stop). A command checks its
 * state, fills its message, remembers its listener and hands the message to
 * the core library; a failure after the state checks reaches the listener
 * (else OnMixerError) and the log. Counts of plays and records rise with
 * the hand-over; a play index of 4 or more touches no count or flag.
 */
#include <cstring>

#include "vqcmc_leg_internal.h"
#include "vqcmc_media_attributes.h"
#include "vqcmc_mixer.h"
#include "vqx_string.h"

namespace VQCAF {

namespace {

constexpr u32 kOffsetVersion = 24u;
constexpr u32 kOffsetWord7 = VQCMC_PAYLOAD_OFFSET_WORD7;
constexpr u32 kOffsetRecord = 32u;       /* mixer description, play or record attribute */
constexpr u32 kOffsetPlayFlag = 32u;     /* pause, resume, stop: word 8 */
constexpr u32 kOffsetRecordFlag = 36u;   /* word 9 */
constexpr u32 kOffsetPlayIndex = 40u;    /* byte */
constexpr u32 kPlayAttrIndex = 15u;      /* play attribute: play index */
constexpr u32 kPlayAttrPaused = 16u;     /* play attribute: initial paused flag */
constexpr u32 kRecordAttrPaused = 70u;   /* record attribute: initial paused flag */
constexpr u32 kPlayFixedBytes = sizeof(_VQCMC_PLAY_ATTRIBUTE);

}  // namespace

/* ------------------------------------------------------------ shared steps */

VQX_RESULT CVQCMCMixer::ReportFailure(const char* pszOperation, const char* pszErrorText, const char* pszStep,
                                      VQX_RESULT Result, IVQCMCErrorListener* pListener, int nLine) {
  CVQCMCMixerError Error(Result, pszErrorText, VqxFileNameFromPath(__FILE__), static_cast<u32>(nLine));
  HandleCmcError(Error, pListener);
  LogFailure(pszOperation, pszStep, 0, Result, nLine);
  return Result;
}

template <class T, u32 id>
VQX_RESULT CVQCMCMixer::SendBuilt(CVQCMCMessage<T, id>& Msg, u32 un32Version, const char* pszOp,
                                  const char* pszError, IVQCMCErrorListener* pListener) {
  u8* pbyPayload = reinterpret_cast<u8*>(Msg.GetPayload());
  *VqCmcAt(pbyPayload, kOffsetVersion) = un32Version;
  *VqCmcAt(pbyPayload, kOffsetWord7) = mun32MixerId;
  const u32 un32Serial = Msg.GetMsg()->un32SerialNumber;
  VQX_RESULT Result = HandleRequest(Msg.GetMsg(), pListener);
  if (VQX_RESULT_FAILED(Result)) return ReportFailure(pszOp, pszError, "HandleRequest Failed.", Result, pListener, __LINE__);
  // A mixer that has no core-library mixer of its own sends nothing: its construction's failure stands.
  Result = mfValidMixerCtx != 0 ? Msg.MixerMsgProcess(mun32MixerId, 0) : mun32InvalidResult;
  if (VQX_RESULT_FAILED(Result)) {
    // No response will come for it: its listener is not kept.
    ForgetRequest(un32Serial);
    return ReportFailure(pszOp, pszError, "ProcessMsg Failed", Result, pListener, __LINE__);
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::LibraryRefusal(const char* pszOperation) {
  return VqCmcLibraryRefusal(*this, "CVQCMCMixer", pszOperation);
}

bool CVQCMCMixer::Refusable(const char* pszOp) {
  if (mfBeingFreed != 0) return false;
  if (mfTerminating != 0) {
    LogTrace(VQLV1, "CVQCMCMixer::%s: This function cannot be used on a mixer in the terminating state.\n", pszOp);
    return false;
  }
  return true;
}

void CVQCMCMixer::CopyMixerFrom(const CVQCMC_MIXER_ATTRIBUTE& Attr, _VQCMC_MIXER* pRecord) {
  pRecord->un8ReserveListenerSlot = static_cast<u8>(Attr.IsReserveListenerSlot());
  pRecord->un8ReserveIvrSlot = static_cast<u8>(Attr.IsReserveIvrSlot());
  pRecord->un8RecordPlayback = static_cast<u8>(Attr.IsRecordPlayback());
  pRecord->un32ReservedActiveSpeakerSlots = Attr.GetNbReservedActiveSpeakerSlots();
  pRecord->un32NbDominantSpeakers = Attr.GetNbDominantSpeakers();
  pRecord->n32NoiseFloor = static_cast<i32>(Attr.GetNoiseFloor());
  pRecord->n32NoiseSuppressionLimit = static_cast<i32>(Attr.GetNoiseSuppressionLimit());
  pRecord->n32TargetPower = static_cast<i32>(Attr.GetTargetPower());
  pRecord->n32LossLimit = static_cast<i32>(Attr.GetLossLimit());
  pRecord->n32GainLimit = static_cast<i32>(Attr.GetGainLimit());
}

/* ------------------------------------------------------------ mixer commands */

VQX_RESULT CVQCMCMixer::MixerCreate(IVQCMCErrorListener* pListener) {
  static constexpr const char* kError = "CVQCMCMixer::MixerCreate Failed";
  if (const VQX_RESULT Refused = LibraryRefusal("MixerCreate"); VQX_RESULT_FAILED(Refused)) return Refused;
  CVQCMCMessage<_VQCMC_MSG_CMD_MIXER_CREATE, VQCMC_MSG_CMD_MIXER_CREATE> Msg(VQCMC_MSG_ELEMENT_ROOM);
  LogTrace(VQLV1, "CVQCMCMixer::MixerCreate\n");
  u8* pbyPayload = reinterpret_cast<u8*>(Msg.GetPayload());
  if (pbyPayload == nullptr) {
    return ReportFailure("MixerCreate", kError, "Message allocation failed", VQX_RESULT_NOT_ENOUGH_MEMORY, pListener,
                         __LINE__);
  }
  const VQX_RESULT Result = CopyMixer(Msg.GetMsg(), VqCmcAt<_VQCMC_MIXER>(pbyPayload, kOffsetRecord));
  if (VQX_RESULT_FAILED(Result)) {
    return ReportFailure("MixerCreate", kError, "CopyMixer Failed", Result, pListener, __LINE__);
  }
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  const VQX_RESULT SendResult = SendBuilt(Msg, 1, "MixerCreate", kError, pListener);
  if (VQX_RESULT_SUCCEEDED(SendResult)) mfCreated = 1;
  return SendResult;
}

VQX_RESULT CVQCMCMixer::MixerTerminate(IVQCMCErrorListener* pListener) {
  static constexpr const char* kError = "CVQCMCMixer::MixerTerminate Failed";
  if (const VQX_RESULT Refused = LibraryRefusal("MixerTerminate"); VQX_RESULT_FAILED(Refused)) return Refused;
  CVQCMCMessage<_VQCMC_MSG_CMD_MIXER_TERMINATE, VQCMC_MSG_CMD_MIXER_TERMINATE> Msg(VQCMC_MSG_ELEMENT_ROOM);
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (mfSynchronized == 0) {
    LogTrace(VQLV3, "CVQCMCMixer::MixerTerminate: Terminate was called when out of sync, ignoring...\n");
    return VQX_RESULT_INVALID_STATE;
  }
  if (mfTerminating != 0) {
    LogTrace(VQLV0, "CVQCMCMixer::MixerTerminate: Terminate was already called before.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  LogTrace(VQLV1, "CVQCMCMixer::MixerTerminate\n");
  if (Msg.GetPayload() == nullptr) {
    return ReportFailure("MixerTerminate", kError, "Message allocation failed", VQX_RESULT_NOT_ENOUGH_MEMORY,
                         pListener, __LINE__);
  }
  mfTerminating = 1;
  const VQX_RESULT Result = SendBuilt(Msg, 1, "MixerTerminate", kError, pListener);
  if (VQX_RESULT_FAILED(Result)) {
    // Not sent: the terminate may be tried again.
    mfTerminating = 0;
    return Result;
  }
  mfBeingFreed = 0;
  SetJoinsUnjoinPending();
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::MixerTerminate(unsigned int un32MixerId, IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = CVQCMCLib::CommandRefusal(); VQX_RESULT_FAILED(Refused)) return Refused;
  _VQCMC_LIB_MIXER_PARAMS Params{};
  const VQX_RESULT Result = VQCmcLibMixerFind(VqCmcLiveLibHandle(), un32MixerId, &Params);
  if (VQX_RESULT_FAILED(Result)) return Result;
  auto* pMixer = static_cast<CVQCMCMixer*>(Params.pvUserContext);
  return pMixer == nullptr ? VQX_RESULT_INVALID_CONTEXT : pMixer->MixerTerminate(pListener);
}

VQX_RESULT CVQCMCMixer::MixerSetAttribute(CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE> pAttribute,
                                          IVQCMCErrorListener* pListener) {
  static constexpr const char* kError = "CVQCMCMixer::MixerSetAttribute Failed";
  if (const VQX_RESULT Refused = LibraryRefusal("MixerSetAttribute"); VQX_RESULT_FAILED(Refused)) return Refused;
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_MIXER_SET_ATTRIBUTE, VQCMC_MSG_CMD_MIXER_SET_ATTRIBUTE> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (!Refusable("MixerSetAttribute")) return VQX_RESULT_INVALID_STATE;
  u8* pbyPayload = reinterpret_cast<u8*>(Msg.GetPayload());
  if (pbyPayload == nullptr) {
    return ReportFailure("MixerSetAttribute", kError, "Message allocation failed", VQX_RESULT_NOT_ENOUGH_MEMORY,
                         pListener, __LINE__);
  }
  // No attribute: refused before anything is replaced, so that the mixer always holds one.
  if (pAttribute.IsNull()) {
    return ReportFailure("MixerSetAttribute", kError, "CopyMixer Failed", VQX_RESULT_NULL_PARAM, pListener, __LINE__);
  }
  // Replaced first and kept whatever follows: a send that fails leaves the new attribute held.
  mpAttribute = pAttribute;
  CopyMixerFrom(*mpAttribute, VqCmcAt<_VQCMC_MIXER>(pbyPayload, kOffsetRecord));
  return SendBuilt(Msg, 1, "MixerSetAttribute", kError, pListener);
}

VQX_RESULT CVQCMCMixer::Refuse() {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  LogTrace(VQLV1, "CVQCMCMixer::RefuseMixer\n");
  SetFreeListener(this);
  mfRefused = 1;
  return MixerTerminate(nullptr);
}

void CVQCMCMixer::RefuseMixer() {
  // A terminate that could not be sent brings no terminated notification: the mixer is
  // freed at the end of the message or event being handled (at once by the static refusal).
  if (VQX_RESULT_SUCCEEDED(Refuse())) return;
  FreeMixer();
  if (mun32Dispatching == 0) CheckFreeMixer();
}

void CVQCMCMixer::RefuseMixer(unsigned int un32MixerId, CVQCMC_MIXER_ATTRIBUTE& Attribute) {
  CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE> pCopy(new CVQCMC_MIXER_ATTRIBUTE(Attribute));
  const bool fKnown = VQX_RESULT_SUCCEEDED(VQCmcLibMixerFind(VqCmcLiveLibHandle(), un32MixerId, nullptr));
  auto* pMixer = new CVQCMCMixer(un32MixerId, pCopy, nullptr, fKnown ? 1u : 0u, nullptr);
  // A mixer the core library does not know, or whose terminate was not sent, goes at once.
  if (!fKnown || pMixer->IsValidMixerCtx() == 0 || VQX_RESULT_FAILED(pMixer->Refuse())) delete pMixer;
}

/* ------------------------------------------------------------ stream commands */

VQX_RESULT CVQCMCMixer::MixerPlayStream(CVQCMC_PLAY_ATTRIBUTE& Attribute, IVQCMCErrorListener* pListener) {
  static constexpr const char* kError = "CVQCMCMixer::MixerPlayStream Failed";
  if (const VQX_RESULT Refused = LibraryRefusal("MixerPlayStream"); VQX_RESULT_FAILED(Refused)) return Refused;
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (!Refusable("MixerPlayStream")) return VQX_RESULT_INVALID_STATE;
  u8 un8Index = 0xFF, fPaused = 0;
  if (VQX_RESULT_FAILED(Attribute.GetFixedByte(kPlayAttrIndex, &un8Index)) || un8Index >= VQCMC_MIXER_NB_PLAYS) {
    return ReportFailure("MixerPlayStream", kError, "un8PlayIndex out of range", VQX_RESULT_INVALID_PARAM, pListener,
                         __LINE__);
  }
  Attribute.GetFixedByte(kPlayAttrPaused, &fPaused);
  const VQX_MSG_HANDLE hAttrMsg = Attribute.GetMsg();
  const u32 un32Used = hAttrMsg == nullptr ? 0 : hAttrMsg->un32PayloadLength;
  CVQCMCMessage<_VQCMC_MSG_CMD_PLAY, VQCMC_MSG_CMD_PLAY> Msg(un32Used > kPlayFixedBytes ? un32Used - kPlayFixedBytes
                                                                                       : 0u);
  u8* pbyPayload = reinterpret_cast<u8*>(Msg.GetPayload());
  if (pbyPayload == nullptr) {
    return ReportFailure("MixerPlayStream", kError, "Message allocation failed", VQX_RESULT_NOT_ENOUGH_MEMORY,
                         pListener, __LINE__);
  }
  const VQX_RESULT CopyResult =
      Attribute.CopyTo(Msg.GetMsg(), VqCmcAt<_VQCMC_PLAY_ATTRIBUTE>(pbyPayload, kOffsetRecord));
  if (VQX_RESULT_FAILED(CopyResult)) {
    return ReportFailure("MixerPlayStream", kError, "Play attribute CopyTo failed", CopyResult, pListener, __LINE__);
  }
  const VQX_RESULT Result = SendBuilt(Msg, 2, "MixerPlayStream", kError, pListener);
  if (VQX_RESULT_FAILED(Result)) return Result;
  maun32PlaysInProgress[un8Index]++;
  maun8PlayPaused[un8Index] = fPaused;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::MixerRecordStream(CVQCMC_RECORD_ATTRIBUTE& Attribute, IVQCMCErrorListener* pListener) {
  static constexpr const char* kError = "CVQCMCMixer::MixerRecordStream Failed";
  if (const VQX_RESULT Refused = LibraryRefusal("MixerRecordStream"); VQX_RESULT_FAILED(Refused)) return Refused;
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_RECORD, VQCMC_MSG_CMD_RECORD> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (!Refusable("MixerRecordStream")) return VQX_RESULT_INVALID_STATE;
  u8* pbyPayload = reinterpret_cast<u8*>(Msg.GetPayload());
  if (pbyPayload == nullptr) {
    return ReportFailure("MixerRecordStream", kError, "Message allocation failed", VQX_RESULT_NOT_ENOUGH_MEMORY,
                         pListener, __LINE__);
  }
  const VQX_RESULT CopyResult =
      Attribute.CopyTo(Msg.GetMsg(), VqCmcAt<_VQCMC_RECORD_ATTRIBUTE>(pbyPayload, kOffsetRecord));
  if (VQX_RESULT_FAILED(CopyResult)) {
    return ReportFailure("MixerRecordStream", kError, "Record attribute CopyTo failed", CopyResult, pListener,
                         __LINE__);
  }
  const VQX_RESULT Result = SendBuilt(Msg, 1, "MixerRecordStream", kError, pListener);
  if (VQX_RESULT_FAILED(Result)) return Result;
  u8 fPaused = 0;
  Attribute.GetFixedByte(kRecordAttrPaused, &fPaused);
  mun32RecordsInProgress++;
  mun8RecordPaused = fPaused;
  return VQX_RESULT_OK;
}

template <class T, u32 id>
VQX_RESULT CVQCMCMixer::StreamControl(const char* pszOp, const char* pszError, unsigned int fPlay,
                                      unsigned int fRecord, unsigned char un8Index, int nPaused,
                                      IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = LibraryRefusal(pszOp); VQX_RESULT_FAILED(Refused)) return Refused;
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<T, id> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (!Refusable(pszOp)) return VQX_RESULT_INVALID_STATE;
  u8* pbyPayload = reinterpret_cast<u8*>(Msg.GetPayload());
  if (pbyPayload == nullptr) {
    return ReportFailure(pszOp, pszError, "Message allocation failed", VQX_RESULT_NOT_ENOUGH_MEMORY, pListener,
                         __LINE__);
  }
  *VqCmcAt(pbyPayload, kOffsetPlayFlag) = fPlay;
  *VqCmcAt(pbyPayload, kOffsetRecordFlag) = fRecord;
  pbyPayload[kOffsetPlayIndex] = un8Index;
  const VQX_RESULT Result = SendBuilt(Msg, 2, pszOp, pszError, pListener);
  if (VQX_RESULT_FAILED(Result) || nPaused < 0) return Result;
  // The command is sent whatever the index; only a known play's flag follows it.
  if (fPlay != 0 && un8Index < VQCMC_MIXER_NB_PLAYS) maun8PlayPaused[un8Index] = static_cast<u8>(nPaused);
  if (fRecord != 0) mun8RecordPaused = static_cast<u8>(nPaused);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::MixerPauseStream(unsigned int fPlay, unsigned int fRecord, unsigned char un8Index,
                                         IVQCMCErrorListener* pListener) {
  return StreamControl<_VQCMC_MSG_CMD_PAUSE, VQCMC_MSG_CMD_PAUSE>(
      "MixerPauseStream", "CVQCMCMixer::MixerPauseStream Failed", fPlay, fRecord, un8Index, 1, pListener);
}

VQX_RESULT CVQCMCMixer::MixerResumeStream(unsigned int fPlay, unsigned int fRecord, unsigned char un8Index,
                                          IVQCMCErrorListener* pListener) {
  return StreamControl<_VQCMC_MSG_CMD_RESUME, VQCMC_MSG_CMD_RESUME>(
      "MixerResumeStream", "CVQCMCMixer::MixerResumeStream Failed", fPlay, fRecord, un8Index, 0, pListener);
}

VQX_RESULT CVQCMCMixer::MixerStopStream(unsigned int fPlay, unsigned int fRecord, unsigned char un8Index,
                                        IVQCMCErrorListener* pListener) {
  return StreamControl<_VQCMC_MSG_CMD_STOP, VQCMC_MSG_CMD_STOP>(
      "MixerStopStream", "CVQCMCMixer::MixerStopStream Failed", fPlay, fRecord, un8Index, -1, pListener);
}

}  // namespace VQCAF
