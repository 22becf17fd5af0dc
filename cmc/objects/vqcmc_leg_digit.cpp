/*
 * CVQCMCLeg: the digit and tone commands (play digits, digit collection,
 * play and cancel a tone event, event collection), their responses and the
 * digit-collected, event-collected and playing-done notifications. Digit
 * and event plays are counted from hand-over to a refused response or their
 * playing-done notification; collections keep no local state.
 */
#include <algorithm>
#include <cstring>

#include "vqcmc_leg_internal.h"
#include "vqx_msg_element.h"

namespace VQCAF {

namespace {

constexpr u32 kOffsetVersion = 24;
constexpr u32 kOffsetFirst = 32;
constexpr u32 kOffsetSet = 36;        /* digit string set; event attribute of a collection */
constexpr u32 kOffsetSecond = 40;
constexpr u32 kOffsetDigits = 32;
constexpr u32 kDigitField = 64;
constexpr u32 kOffsetEventString = 32;

}  // namespace

template <class T, u32 id, class F>
VQX_RESULT CVQCMCLeg::ToneCommand(const char* pszOperation, const char* pszError, IVQCMCErrorListener* pListener,
                                  u32* pun32Plays, F&& fnFill) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<T, id> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (VQX_RESULT Result = CheckCommandState(pszOperation); VQX_RESULT_FAILED(Result)) return Result;
  T* pPayload = Msg.GetPayload();
  if (pPayload == nullptr) {
    return ReportFailure(pszOperation, pszError, "Message allocation failed", VQX_RESULT_NOT_ENOUGH_MEMORY, pListener,
                         __LINE__);
  }
  const char* pszDetail = nullptr;
  VQX_RESULT Result = fnFill(Msg.GetMsg(), reinterpret_cast<u8*>(pPayload), &pszDetail);
  if (VQX_RESULT_FAILED(Result)) return ReportFailure(pszOperation, pszError, pszDetail, Result, pListener, __LINE__);
  *VqCmcAt(pPayload, kOffsetVersion) = 1;
  *VqCmcAt(pPayload, VQCMC_PAYLOAD_OFFSET_WORD7) = GetLegId();
  Result = SendBuilt(Msg, pszOperation, pszError, pListener);
  if (VQX_RESULT_SUCCEEDED(Result) && pun32Plays != nullptr) (*pun32Plays)++;
  return Result;
}

namespace {
/* Fill of a command that carries nothing besides version and leg id. */
VQX_RESULT NoFill(VQX_MSG_HANDLE, u8*, const char**) { return VQX_RESULT_OK; }
}  // namespace

VQX_RESULT CVQCMCLeg::PlayDigit(const char* pszDigits, IVQCMCErrorListener* pListener) {
  return ToneCommand<_VQCMC_MSG_CMD_DIGIT_PLAY, VQCMC_MSG_CMD_DIGIT_PLAY>(
      "PlayDigit", "CVQCMCLeg::PlayDigit Failed", pListener, &mun32DigitPlays,
      [pszDigits](VQX_MSG_HANDLE, u8* pbyPayload, const char**) {
        // At most 63 digits: the field keeps its last byte for the NUL; a null string sends none.
        char* pszField = reinterpret_cast<char*>(pbyPayload + kOffsetDigits);
        memset(pszField, 0, kDigitField);
        if (pszDigits != nullptr) strncpy(pszField, pszDigits, kDigitField - 1);
        return VQX_RESULT_OK;
      });
}

VQX_RESULT CVQCMCLeg::PlayDigit(const CVQCAFString& strDigits, IVQCMCErrorListener* pListener) {
  return PlayDigit(strDigits.c_str(), pListener);
}

VQX_RESULT CVQCMCLeg::StartDigitCollection(const char* pszDigitString, IVQCMCErrorListener* pListener,
                                           u32 un32First, u32 un32Second) {
  return ToneCommand<_VQCMC_MSG_CMD_DIGIT_COLLECT_START, VQCMC_MSG_CMD_DIGIT_COLLECT_START>(
      "StartDigitCollection", "CVQCMCLeg::StartDigitCollection Failed", pListener, nullptr,
      [&](VQX_MSG_HANDLE hMsg, u8* pbyPayload, const char** ppszDetail) {
        *VqCmcAt(pbyPayload, kOffsetFirst) = un32First;
        *VqCmcAt(pbyPayload, kOffsetSecond) = un32Second;
        *ppszDetail = "VQXMsgElementStringAdd Failed.";
        if (pszDigitString == nullptr) return VQX_RESULT_INVALID_PARAM;
        return VQXMsgElementStringAdd(hMsg, pbyPayload + kOffsetSet, pszDigitString);
      });
}

VQX_RESULT CVQCMCLeg::StartDigitCollection(const CVQCAFString& strDigitString, IVQCMCErrorListener* pListener,
                                           u32 un32First, u32 un32Second) {
  return StartDigitCollection(strDigitString.c_str(), pListener, un32First, un32Second);
}

VQX_RESULT CVQCMCLeg::StopDigitCollection(IVQCMCErrorListener* pListener) {
  return ToneCommand<_VQCMC_MSG_CMD_DIGIT_COLLECT_STOP, VQCMC_MSG_CMD_DIGIT_COLLECT_STOP>(
      "StopDigitCollection", "CVQCMCLeg::StopDigitCollection Failed", pListener, nullptr, NoFill);
}

VQX_RESULT CVQCMCLeg::PlayEvent(CVQCMC_EVENT_ATTRIBUTE& Attribute, IVQCMCErrorListener* pListener) {
  return ToneCommand<_VQCMC_MSG_CMD_EVENT_PLAY, VQCMC_MSG_CMD_EVENT_PLAY>(
      "PlayEvent", "CVQCMCLeg::PlayEvent Failed", pListener, &mun32EventPlays,
      [&](VQX_MSG_HANDLE hMsg, u8* pbyPayload, const char** ppszDetail) {
        *ppszDetail = "Failed to copy play event attributes";
        return Attribute.CopyTo(hMsg, VqCmcAt<_VQCMC_EVENT_ATTRIBUTE>(pbyPayload, kOffsetFirst));
      });
}

VQX_RESULT CVQCMCLeg::CancelEvent(IVQCMCErrorListener* pListener) {
  return ToneCommand<_VQCMC_MSG_CMD_EVENT_CANCEL, VQCMC_MSG_CMD_EVENT_CANCEL>(
      "CancelEvent", "CVQCMCLeg::CancelEvent Failed", pListener, nullptr, NoFill);
}

VQX_RESULT CVQCMCLeg::StartEventCollection(CVQCMC_EVENT_ATTRIBUTE& Attribute, IVQCMCErrorListener* pListener,
                                           u32 un32First) {
  return ToneCommand<_VQCMC_MSG_CMD_EVENT_COLLECT_START, VQCMC_MSG_CMD_EVENT_COLLECT_START>(
      "StartEventCollection", "CVQCMCLeg::StartEventCollection Failed", pListener, nullptr,
      [&](VQX_MSG_HANDLE hMsg, u8* pbyPayload, const char** ppszDetail) {
        *VqCmcAt(pbyPayload, kOffsetFirst) = un32First;
        *ppszDetail = "Failed to copy tone mask";
        return Attribute.CopyTo(hMsg, VqCmcAt<_VQCMC_EVENT_ATTRIBUTE>(pbyPayload, kOffsetSet));
      });
}

VQX_RESULT CVQCMCLeg::StopEventCollection(IVQCMCErrorListener* pListener) {
  return ToneCommand<_VQCMC_MSG_CMD_EVENT_COLLECT_STOP, VQCMC_MSG_CMD_EVENT_COLLECT_STOP>(
      "StopEventCollection", "CVQCMCLeg::StopEventCollection Failed", pListener, nullptr, NoFill);
}

/* ------------------------------------------------------------ responses */

VQX_RESULT CVQCMCLeg::HandlePlayDigitResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_DIGIT_PLAY, VQCMC_MSG_CMD_DIGIT_PLAY>(
      phMsg, &CVQCMCLeg::OnPlayDigitResponse, "HandlePlayDigitResponse",
      "PlayDigit() Request failed on CMC server classes/cmc/CVQCMCLeg:6759");
}

VQX_RESULT CVQCMCLeg::HandleStartDigitCollectionResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_DIGIT_COLLECT_START, VQCMC_MSG_CMD_DIGIT_COLLECT_START>(
      phMsg, &CVQCMCLeg::OnStartDigitCollectionResponse, "HandleStartDigitCollectionResponse",
      "StartDigitCollection() Request failed on CMC server classes/cmc/CVQCMCLeg:6823");
}

VQX_RESULT CVQCMCLeg::HandleStopDigitCollectionResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_DIGIT_COLLECT_STOP, VQCMC_MSG_CMD_DIGIT_COLLECT_STOP>(
      phMsg, &CVQCMCLeg::OnStopDigitCollectionResponse, "HandleStopDigitCollectionResponse",
      "StopDigitCollection() Request failed on CMC server classes/cmc/CVQCMCLeg:6887");
}

VQX_RESULT CVQCMCLeg::HandlePlayEventResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_EVENT_PLAY, VQCMC_MSG_CMD_EVENT_PLAY>(
      phMsg, &CVQCMCLeg::OnPlayEventResponse, "HandlePlayEventResponse",
      "PlayEvent() Request failed on CMC server classes/cmc/CVQCMCLeg:6956");
}

VQX_RESULT CVQCMCLeg::HandleCancelEventResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_EVENT_CANCEL, VQCMC_MSG_CMD_EVENT_CANCEL>(
      phMsg, &CVQCMCLeg::OnCancelEventResponse, "HandleCancelEventResponse",
      "CancelEvent() Request failed on CMC server classes/cmc/CVQCMCLeg:7020");
}

VQX_RESULT CVQCMCLeg::HandleStartEventCollectionResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_EVENT_COLLECT_START, VQCMC_MSG_CMD_EVENT_COLLECT_START>(
      phMsg, &CVQCMCLeg::OnStartEventCollectionResponse, "HandleStartEventCollectionResponse",
      "StartEventCollection() Request failed on CMC server classes/cmc/CVQCMCLeg:7084");
}

VQX_RESULT CVQCMCLeg::HandleStopEventCollectionResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_EVENT_COLLECT_STOP, VQCMC_MSG_CMD_EVENT_COLLECT_STOP>(
      phMsg, &CVQCMCLeg::OnStopEventCollectionResponse, "HandleStopEventCollectionResponse",
      "StopEventCollection() Request failed on CMC server classes/cmc/CVQCMCLeg:7147");
}

/* ------------------------------------------------------------ notifications */

template <class T, u32 id, class F>
VQX_RESULT CVQCMCLeg::ToneNotif(VQX_MSG_HANDLE* phMsg, const char* pszHandler, u32 un32Need, F&& fnWork) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<T, id> Msg(VqCmcTake(phMsg));
  T* pPayload = VqCmcPayload(Msg, un32Need);
  if (pPayload == nullptr) {
    LogFailure(pszHandler, "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  // Bytes in use, never past the buffer: what a server string may span.
  const u32 un32Used = std::min(Msg.GetMsg()->un32PayloadLength, Msg.GetMsg()->un32PayloadMaxLength);
  fnWork(pPayload, un32Used);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::HandleDigitPlayingDone(VQX_MSG_HANDLE* phMsg) {
  return ToneNotif<_VQCMC_MSG_NOTIF_DIGIT_PLAYING_DONE, VQCMC_MSG_NOTIF_DIGIT_PLAYING_DONE>(
      phMsg, "HandleDigitPlayingDone", 32, [this](auto*, u32) {
        if (mun32DigitPlays > 0) mun32DigitPlays--;
        OnDigitPlayingDone();
      });
}

VQX_RESULT CVQCMCLeg::HandleEventPlayingDone(VQX_MSG_HANDLE* phMsg) {
  return ToneNotif<_VQCMC_MSG_NOTIF_EVENT_PLAYING_DONE, VQCMC_MSG_NOTIF_EVENT_PLAYING_DONE>(
      phMsg, "HandleEventPlayingDone", 32, [this](auto*, u32) {
        if (mun32EventPlays > 0) mun32EventPlays--;
        OnEventPlayingDone();
      });
}

VQX_RESULT CVQCMCLeg::HandleDigitCollected(VQX_MSG_HANDLE* phMsg) {
  return ToneNotif<_VQCMC_MSG_NOTIF_DIGIT_COLLECTED, VQCMC_MSG_NOTIF_DIGIT_COLLECTED>(
      phMsg, "HandleDigitCollected", 40, [this](_VQCMC_MSG_NOTIF_DIGIT_COLLECTED* pPayload, u32 un32Used) {
        CVQCMC_COLLECTED_DIGIT_ATTRIBUTE Digits;
        Digits.CopyFrom(pPayload, un32Used);
        OnDigitCollected(Digits);
      });
}

VQX_RESULT CVQCMCLeg::HandleEventCollected(VQX_MSG_HANDLE* phMsg) {
  return ToneNotif<_VQCMC_MSG_NOTIF_EVENT_COLLECTED, VQCMC_MSG_NOTIF_EVENT_COLLECTED>(
      phMsg, "HandleEventCollected", kOffsetEventString, [this](auto* pPayload, u32 un32Used) {
        // The string ends at its NUL or at the last byte in use.
        const char* pszEvents = VqCmcAt<const char>(pPayload, kOffsetEventString);
        const CVQCAFString strEvents(pszEvents, static_cast<u32>(strnlen(pszEvents, un32Used - kOffsetEventString)));
        OnEventCollected(strEvents);
      });
}

}  // namespace VQCAF
