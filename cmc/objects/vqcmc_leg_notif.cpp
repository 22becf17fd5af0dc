/*
 * CVQCMCLeg: the call notifications of the server (accepted, alerting,
 * answered, terminating, terminated, supplementary information, transfers,
 * profile changed, statistics, leg error) and of the core library (leg
 * terminated, synchronisation done and lost). Each handler runs on a core
 * library job under the leg's mutex, reads the payload only within what the
 * message holds (a short one is "Invalid message", 0x8200000A), updates the
 * leg and calls one callback with objects that live for the call only. An
 * end of the call that is refused does not mark the leg terminating: the
 * leg goes on working (joins included) until its proper end.
 */
#include <cstring>

#include "vqcmc_leg_internal.h"

namespace VQCAF {

namespace {

/* Payload offsets and the bytes a handler needs for what it reads. */
constexpr u32 kOffsetUpdate = 40;            /* call-leg attribute update (12 bytes) */
constexpr u32 kOffsetProtocol = 64;          /* accepted, alerting, answered, supplementary information */
constexpr u32 kOffsetReason = 40;            /* terminating, terminated */
constexpr u32 kOffsetReasonProtocol = 56;
constexpr u32 kOffsetSuppInfoType = 28;
constexpr u32 kOffsetTransferProtocol = 40;
constexpr u32 kOffsetTransferExtra = 168;    /* transfer record, or a transfer response's reason */
constexpr u32 kOffsetProfileCallReason = 32;
constexpr u32 kOffsetProfileMediaReason = 36;
constexpr u32 kOffsetProfile = 40;
constexpr u32 kProtocolSize = sizeof(_VQCMC_PROTOCOL_ATTRIBUTE);
constexpr u32 kNeedProgress = kOffsetProtocol + kProtocolSize;
constexpr u32 kNeedTermination = kOffsetReasonProtocol + kProtocolSize;
constexpr u32 kNeedTransfer = kOffsetTransferExtra + sizeof(_VQCMC_CALL_TRANSFER);
constexpr u32 kNeedTransferProgress = kOffsetTransferProtocol + kProtocolSize;
constexpr u32 kNeedTransferResponse = kOffsetTransferExtra + sizeof(_VQCMC_CALL_REASON);
constexpr u32 kNeedProfile = kOffsetProfile + sizeof(_VQCMC_MEDIA_PROFILE);
constexpr const char* kLegErrorPrefix = "Received Event from CMC Server: ";

static_assert(kOffsetReasonProtocol == kOffsetReason + sizeof(_VQCMC_CALL_REASON));
// What the core library takes for a whole end of the call (it then delivers nothing more to the leg).
static_assert(kNeedTermination == sizeof(_VQCMC_NOTIF_CALL_LEG_END) &&
              kOffsetReason == offsetof(_VQCMC_NOTIF_CALL_LEG_END, Reason) &&
              kOffsetReasonProtocol == offsetof(_VQCMC_NOTIF_CALL_LEG_END, Protocol));

}  // namespace

bool CVQCMCLeg::ReadProtocol(VQX_MSG_HANDLE hMsg, u8* pbyPayload, u32 un32Offset, CVQCMC_PROTOCOL_ATTRIBUTE& Attr) {
  const auto* pProtocol = VqCmcAt<const _VQCMC_PROTOCOL_ATTRIBUTE>(pbyPayload, un32Offset);
  if (pProtocol->un8Present == 0) return true;
  // A malformed attribute is refused (and logged) by its copy: the callback then gets an empty one.
  Attr.CopyFrom(hMsg, pProtocol);
  return true;
}

template <class T, u32 id, class F>
VQX_RESULT CVQCMCLeg::AttributeNotif(VQX_MSG_HANDLE* phMsg, const char* pszHandler, const char* pszLabel, u32 un32Need,
                                     u32 un32ProtocolOffset, F&& fnCallback) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<T, id> Msg(VqCmcTake(phMsg));
  CVQCMC_PROTOCOL_ATTRIBUTE Attribute;
  u8* pbyPayload = reinterpret_cast<u8*>(VqCmcPayload(Msg, un32Need));
  if (pbyPayload == nullptr) {
    LogFailure(pszHandler, "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  ReadProtocol(Msg.GetMsg(), pbyPayload, un32ProtocolOffset, Attribute);
  PrintProtocolInfo(pszLabel, Attribute);
  fnCallback(pbyPayload, Attribute);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::CallProgressNotif(VQX_MSG_HANDLE hMsg, u8* pbyPayload, const char* pszHandler,
                                        const char* pszLabel,
                                        void (CVQCMCLeg::*pfnCallback)(CVQCMC_PROTOCOL_ATTRIBUTE&)) {
  CVQCMC_PROTOCOL_ATTRIBUTE Attribute;
  if (pbyPayload == nullptr) {
    LogFailure(pszHandler, "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  const u32 un32Type = GetLegType();
  if (un32Type == VQCMC_LEG_TYPE_MEDIA_ONLY) {
    char szText[96];
    snprintf(szText, sizeof(szText), "%s should not happen on leg type VQCMC_LEG_TYPE_MEDIA_ONLY!", pszHandler);
    LogFailure(pszHandler, szText, 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  if (CVQCMC_CALL_LEG_ATTRIBUTE* pCall = CallLegAttribute()) {
    pCall->UpdateFrom(VqCmcAt<const _VQCMC_CALL_LEG_ATTRIBUTE_UPDATE>(pbyPayload, kOffsetUpdate));
  }
  ReadProtocol(hMsg, pbyPayload, kOffsetProtocol, Attribute);
  PrintProtocolInfo(pszLabel, Attribute);
  (this->*pfnCallback)(Attribute);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::HandleCallAccepted(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED, VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED> Msg(VqCmcTake(phMsg));
  mfAccepted = 1;
  return CallProgressNotif(Msg.GetMsg(), reinterpret_cast<u8*>(VqCmcPayload(Msg, kNeedProgress)),
                           "HandleCallAccepted", "OnCallAccepted", &CVQCMCLeg::OnCallAccepted);
}

VQX_RESULT CVQCMCLeg::HandleCallAlerting(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_NOTIF_CALL_LEG_ALERTING, VQCMC_MSG_NOTIF_CALL_LEG_ALERTING> Msg(VqCmcTake(phMsg));
  mfAlerted = 1;
  return CallProgressNotif(Msg.GetMsg(), reinterpret_cast<u8*>(VqCmcPayload(Msg, kNeedProgress)),
                           "HandleCallAlerting", "OnCallAlerting", &CVQCMCLeg::OnCallAlerting);
}

VQX_RESULT CVQCMCLeg::HandleCallAnswered(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_NOTIF_CALL_LEG_ANSWERED, VQCMC_MSG_NOTIF_CALL_LEG_ANSWERED> Msg(VqCmcTake(phMsg));
  mfAnswered = 1;
  const VQX_RESULT Result =
      CallProgressNotif(Msg.GetMsg(), reinterpret_cast<u8*>(VqCmcPayload(Msg, kNeedProgress)), "HandleCallAnswered",
                        "OnCallAnswered", &CVQCMCLeg::OnCallAnswered);
  if (VQX_RESULT_SUCCEEDED(Result)) mState = VQCMC_CALL_LEG_STATE_ANSWERED;
  return Result;
}

VQX_RESULT CVQCMCLeg::HandleCallTerminatingIndication(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  return AttributeNotif<_VQCMC_MSG_NOTIF_CALL_LEG_TERMINATING_INDICATION,
                        VQCMC_MSG_NOTIF_CALL_LEG_TERMINATING_INDICATION>(
      phMsg, "HandleCallTerminatingIndication", "OnCallTerminatingIndication", kNeedTermination, kOffsetReasonProtocol,
      [&](u8* pbyPayload, CVQCMC_PROTOCOL_ATTRIBUTE& Attribute) {
        mfTerminating = 1;
        _VQCMC_CALL_REASON Reason;
        memcpy(&Reason, pbyPayload + kOffsetReason, sizeof(Reason));
        OnCallTerminatingIndication(Reason, Attribute);
      });
}

VQX_RESULT CVQCMCLeg::HandleCallTerminated(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED> Msg(VqCmcTake(phMsg));
  CVQCMC_PROTOCOL_ATTRIBUTE Attribute;
  u8* pbyPayload = reinterpret_cast<u8*>(VqCmcPayload(Msg, kNeedTermination));
  if (pbyPayload == nullptr) {
    LogFailure("HandleCallTerminated", "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  mfTerminating = 1;
  // The core library delivers nothing more to the leg: what waits for a response fails first.
  FailPendingRequests(VQX_RESULT_INVALID_STATE, kVqCmcLostToEnd);
  // A refused leg goes with its joins: its destructor reports and drops them.
  if (mfRefused != 0) return FreeLeg();
  SetUnjoined(nullptr);
  _VQCMC_CALL_REASON Reason;
  memcpy(&Reason, pbyPayload + kOffsetReason, sizeof(Reason));
  ReadProtocol(Msg.GetMsg(), pbyPayload, kOffsetReasonProtocol, Attribute);
  PrintProtocolInfo("OnCallTerminated", Attribute);
  OnCallTerminated(Reason, Attribute);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::HandleLegTerminated(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_LIB_MSG_NOTIF_LEG_TERMINATED, VQCMC_LIB_MSG_NOTIF_LEG_TERMINATED> Msg(VqCmcTake(phMsg));
  CVQCMC_PROTOCOL_ATTRIBUTE Attribute;
  if (VqCmcPayload(Msg) == nullptr) {
    LogFailure("HandleLegTerminated", "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  mfTerminating = 1;
  // The server no longer knows the leg: no response will come for what is pending.
  FailPendingRequests(VQX_RESULT_INVALID_STATE, kVqCmcLostToEnd);
  SetUnjoined(nullptr);
  _VQCMC_CALL_REASON Reason;
  VqCmcReasonInit(Reason, VQCMC_CALL_REASON_SYNC_DROP);
  OnCallTerminated(Reason, Attribute);
  // A refused leg waits for no one else to free it.
  if (mfRefused != 0) FreeLeg();
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::HandleCallSuppInfo(VQX_MSG_HANDLE* phMsg) {
  return AttributeNotif<_VQCMC_MSG_NOTIF_CALL_SUPP_INFO, VQCMC_MSG_NOTIF_CALL_SUPP_INFO>(
      phMsg, "HandleCallSuppInfo", "OnCallSuppInfo", kNeedProgress, kOffsetProtocol,
      [&](u8* pbyPayload, CVQCMC_PROTOCOL_ATTRIBUTE& Attribute) {
        // Other leg types: no update and no error.
        if (CVQCMC_CALL_LEG_ATTRIBUTE* pCall = CallLegAttribute()) {
          pCall->UpdateFrom(VqCmcAt<const _VQCMC_CALL_LEG_ATTRIBUTE_UPDATE>(pbyPayload, kOffsetUpdate));
        }
        OnCallSuppInfo(static_cast<_VQCMC_SUPP_INFO_MSG_TYPE>(*VqCmcAt(pbyPayload, kOffsetSuppInfoType)), Attribute);
      });
}

VQX_RESULT CVQCMCLeg::HandleCallTransferRequest(VQX_MSG_HANDLE* phMsg) {
  return AttributeNotif<_VQCMC_MSG_NOTIF_CALL_TRANSFER_REQUEST, VQCMC_MSG_NOTIF_CALL_TRANSFER_REQUEST>(
      phMsg, "HandleCallTransferRequest", "OnCallTransferRequest", kNeedTransfer, kOffsetTransferProtocol,
      [&](u8* pbyPayload, CVQCMC_PROTOCOL_ATTRIBUTE& Attribute) {
        OnCallTransferRequest(*VqCmcAt<_VQCMC_CALL_TRANSFER>(pbyPayload, kOffsetTransferExtra), Attribute);
      });
}

VQX_RESULT CVQCMCLeg::HandleCallTransferProgress(VQX_MSG_HANDLE* phMsg) {
  return AttributeNotif<_VQCMC_MSG_NOTIF_CALL_TRANSFER_PROGRESS, VQCMC_MSG_NOTIF_CALL_TRANSFER_PROGRESS>(
      phMsg, "HandleCallTransferProgress", "OnCallTransferProgress", kNeedTransferProgress, kOffsetTransferProtocol,
      [&](u8*, CVQCMC_PROTOCOL_ATTRIBUTE& Attribute) { OnCallTransferProgress(Attribute); });
}

VQX_RESULT CVQCMCLeg::HandleCallTransferResponse(VQX_MSG_HANDLE* phMsg) {
  return AttributeNotif<_VQCMC_MSG_NOTIF_CALL_TRANSFER_RESPONSE, VQCMC_MSG_NOTIF_CALL_TRANSFER_RESPONSE>(
      phMsg, "HandleCallTransferResponse", "OnCallTransferResponse", kNeedTransferResponse, kOffsetTransferProtocol,
      [&](u8* pbyPayload, CVQCMC_PROTOCOL_ATTRIBUTE& Attribute) {
        OnCallTransferResponse(*VqCmcAt<_VQCMC_CALL_REASON>(pbyPayload, kOffsetTransferExtra), Attribute);
      });
}

VQX_RESULT CVQCMCLeg::HandleProfileChanged(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_NOTIF_MEDIA_PROFILE_CHANGED, VQCMC_MSG_NOTIF_MEDIA_PROFILE_CHANGED> Msg(VqCmcTake(phMsg));
  CVQCMC_MEDIA_PROFILE Profile(GetProfile());
  u8* pbyPayload = reinterpret_cast<u8*>(VqCmcPayload(Msg, kNeedProfile));
  if (pbyPayload == nullptr) {
    LogFailure("HandleProfileChanged", "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  Profile.CopyFrom(Msg.GetMsg(), VqCmcAt<const _VQCMC_MEDIA_PROFILE>(pbyPayload, kOffsetProfile));
  SetProfile(Profile);
  OnProfileChanged(Profile, static_cast<_VQCMC_MEDIA_REASON_CODE>(*VqCmcAt(pbyPayload, kOffsetProfileMediaReason)),
                   static_cast<_VQCMC_CALL_REASON_CODE>(*VqCmcAt(pbyPayload, kOffsetProfileCallReason)));
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::HandleStatsUpdated(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_NOTIF_STATS_UPDATED, VQCMC_MSG_NOTIF_STATS_UPDATED> Msg(VqCmcTake(phMsg));
  auto* pNotif = reinterpret_cast<_VQCMC_NOTIF_STATS_UPDATED*>(VqCmcPayload(Msg, sizeof(_VQCMC_NOTIF_STATS_UPDATED)));
  if (pNotif == nullptr) {
    LogFailure("HandleStatsUpdated", "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  OnStatsUpdated(pNotif->Stats, static_cast<_VQCMC_GET_STATS_REASON_CODE>(pNotif->un32ReasonCode));
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::HandleLegSyncDone(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_LIB_MSG_NOTIF_LEG_SYNC_DONE, VQCMC_LIB_MSG_NOTIF_LEG_SYNC_DONE> Msg(VqCmcTake(phMsg));
  if (VqCmcPayload(Msg) == nullptr) {
    LogFailure("HandleLegSyncDone", "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  mState = VQCMC_CALL_LEG_STATE_ANSWERED;
  mfSynchronized = 1;
  OnSyncDone();
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::HandleLegSyncLost(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_LIB_MSG_NOTIF_LEG_SYNC_LOST, VQCMC_LIB_MSG_NOTIF_LEG_SYNC_LOST> Msg(VqCmcTake(phMsg));
  if (VqCmcPayload(Msg) == nullptr) {
    LogFailure("HandleLegSyncLost", "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  // Answers the server owed are lost with it (a restarted server knows nothing of them), and
  // those that come while the leg is out of synchronisation are not delivered: fail them now.
  FailPendingRequests(VQX_RESULT_API_ADA_NOT_READY, kVqCmcLostToSync);
  mfSynchronized = 0;
  OnSyncLost();
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::HandleLegError(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_NOTIF_LEG_ERROR, VQCMC_MSG_NOTIF_LEG_ERROR> Msg(VqCmcTake(phMsg));
  CVQCMCLegError Error;
  auto* pNotif = reinterpret_cast<_VQCMC_NOTIF_LEG_ERROR*>(VqCmcPayload(Msg, sizeof(_VQCMC_NOTIF_LEG_ERROR)));
  if (pNotif == nullptr) {
    LogFailure("HandleLegError", "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  // The server's text is read within its field, NUL or not.
  CVQCAFString strMessage;
  strMessage = kLegErrorPrefix;
  const u32 un32Length = VqCmcFieldLength(pNotif->szErrorText, sizeof(pNotif->szErrorText));
  char szText[VQCMC_LEG_ERROR_TEXT_SIZE + 1];
  memcpy(szText, pNotif->szErrorText, un32Length);
  szText[un32Length] = '\0';
  strMessage += szText;
  VqCmcLegErrorFill(Error, pNotif->un32ErrorCode, strMessage.c_str(), __FILE__, __LINE__, Msg.GetMsg()->un32MsgId);
  VqCmcLegErrorSetDetail(Error, pNotif->abyDetail, sizeof(pNotif->abyDetail));
  OnLegError(Error);
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
