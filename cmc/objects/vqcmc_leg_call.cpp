/*
 * CVQCMCLeg: the call-control commands (create, accept, alert, answer,
 * progress, supplementary information, transfers, terminate, refuse, profile
 * change, statistics) and the handlers of their responses. Commands run on
 * the application's threads, responses on the core library's jobs; both hold
 * the leg's recursive mutex for their whole run. The names of the
 * supplementary-information types and of the call reasons are tables here.
 */
#include <cstring>

#include "vqcmc_leg_internal.h"
#include "vqx_string.h"

namespace VQCAF {

namespace {

struct NameRow {
  u32 un32Value;
  const char* pszName;
};

template <size_t N>
const char* FindName(const NameRow (&aRows)[N], u32 un32Value) {
  for (const NameRow& Row : aRows) {
    if (Row.un32Value == un32Value) return Row.pszName;
  }
  return "Unknown";
}

constexpr NameRow kSuppInfoNames[] = {
    {0, "Not used"},
    {1, "SIP Call progress or 183"},
    {2, "SIP Information"},
    {3, "SIP info answer"},
    {4, "SIP info completed"},
    {5, "SIP options"},
    {6, "SIP options answer"},
    {7, "SIP options completed"},
    {8, "SIP subscribe"},
    {9, "SIP subscribe answer"},
    {10, "SIP notify refer"},
    {11, "SIP notify refer answer"},
    {12, "Charge Unit (TXA)"},
    {100, "SS7 Call Progress"},
    {101, "SS7 Information"},
    {102, "SS7 SAM (subsequent address)"},
    {103, "SS7 Information Request"},
    {104, "SS7 Facility Request"},
    {105, "SS7 Facility Message"},
    {106, "SS7 Facility Accept"},
    {107, "SS7 Facility Reject"},
    {108, "SS7 Suspend"},
    {109, "SS7 Resume"},
    {110, "SS7 Unrecognized"},
    {111, "SS7 Confusion"},
    {200, "ISDN Call Progress"},
    {201, "ISDN Keypad"},
    {202, "ISDN Setup ACK"},
    {203, "Not used"},
};

/* Q.850 causes (1..127), the server's own (200..218), SIP status codes (400..606). */
constexpr NameRow kCallReasonNames[] = {
    {0, "UNSPECIFIED"}, {1, "UNALLOCATED_NUMBER"}, {2, "NO_ROUTE_TO_NETWORK"}, {3, "NO_ROUTE_TO_DESTINATION"},
    {4, "SEND_SPECIAL_TONE"}, {5, "MISDIALLED_TRUNK_PREFIX"}, {6, "CHANNEL_UNACCEPTABLE"},
    {7, "CALL_AWARDED_IN_ESTABLISHED_CHANNEL"}, {8, "PREEMPTION"}, {9, "REATTEMPT"}, {14, "PORTED_NUMBER"},
    {16, "NORMAL_CALL_CLEARING"}, {17, "USER_BUSY"}, {18, "NO_USER_RESPONDING"}, {19, "NO_ANSWER_FROM_USER"},
    {20, "SUBSCRIBER_ABSENT"}, {21, "CALL_REJECTED"}, {22, "NUMBER_CHANGED"}, {23, "REDIRECTION"},
    {25, "EXCHANGE_ROUTING_ERROR"}, {26, "NON_SELECTED_USER_CLEARING"}, {27, "DESTINATION_OUT_OF_ORDER"},
    {28, "ADDRESS_INCOMPLETE"}, {29, "FACILITY_REJECTED"}, {30, "RESPONSE_TO_STATUS_ENQUIRY"},
    {31, "NORMAL_UNSPECIFIED"}, {34, "NO_CIRCUIT_AVAILABLE"}, {38, "NETWORK_OUT_OF_ORDER"},
    {39, "FRAME_MODE_OUT_OF_SERVICE"}, {40, "FRAME_MODE_CONN_OPERATIONAL"}, {41, "TEMPORARY_FAILURE"},
    {42, "SWITCHING_EQUIP_CONGESTION"}, {43, "ACCESS_INFO_DISCARDED"}, {44, "REQUESTED_CIRCUIT_NOT_AVAILABLE"},
    {46, "PRECEDENCE_CALL_BLOCKED"}, {47, "RESOURCE_UNAVAILABLE"}, {49, "QOS_NOT_AVAILABLE"},
    {50, "REQUESTED_FACILITY_NOT_SUBSCRIBED"}, {52, "OUTGOING_CALLS_BARRED"},
    {53, "OUTGOING_CALLS_BARRED_WITHIN_CUG"}, {54, "INCOMING_CALLS_BARRED"},
    {55, "INCOMING_CALLS_BARRED_WITHIN_CUG"}, {57, "BEARER_CAP_NOT_AUTHORIZED"}, {58, "BEARER_CAP_NOT_AVAILABLE"},
    {62, "INCONSISTENCY_ACCESS_INFO"}, {63, "SERVICE_NOT_AVAILABLE"}, {65, "BEARER_CAP_NOT_IMPLEMENTED"},
    {66, "CHANNEL_TYPE_NOT_IMPLEMENTED"}, {69, "REQUESTED_FACILITY_NOT_IMPLEMENTED"},
    {70, "ONLY_RESTRICTED_DIGITAL_INFO"}, {79, "SERVICE_NOT_IMPLEMENTED"}, {81, "INVALID_CALL_REFERENCE"},
    {82, "CHANNEL_DOES_NOT_EXIST"}, {83, "CALL_IDENTITY_DOES_NOT_EXIST"}, {84, "CALL_IDENTITY_IN_USE"},
    {85, "NO_CALL_SUSPENDED"}, {86, "CALL_HAS_BEEN_CLEARED"}, {87, "USER_NOT_MEMBER_OF_CUG"},
    {88, "INCOMPATIBLE_DESTINATION"}, {90, "NON_EXISTANT_CUG"}, {91, "INVALID_TRANSIT_NETWORK"},
    {95, "INVALID_MESSAGE_UNSPECIFIED"}, {96, "MANDATORY_IE_MISSING"}, {97, "MESSAGE_TYPE_NON_EXISTENT"},
    {98, "MESSAGE_NOT_COMPATIBLE_WITH_CALL_STATE"}, {99, "IE_NON_EXISTENT"}, {100, "INVALID_IE_CONTENT"},
    {101, "MSG_NOT_COMPATIBLE_WITH_CALL_STATE"}, {102, "RECOVERY_ON_TIMER_EXPIRY"},
    {103, "PARAMETER_NON_EXISTENT_PASSED_ON"}, {110, "MESSAGE_WITH_NON_RECOGNIZED_PARAMETERS_DISCARDED"},
    {111, "PROTOCOL_ERROR"}, {127, "INTERWORKING_UNSPECIFIED"}, {200, "CORVANE_NORMAL"},
    {201, "CORVANE_RESOURCE_ERROR"}, {202, "CORVANE_TIMEOUT"}, {203, "CORVANE_NO_ROUTE"},
    {204, "CORVANE_CALL_COLLISION"}, {205, "CORVANE_SYNC_DROP"}, {206, "CORVANE_SIGNALING_ERROR"},
    {207, "CORVANE_LOCALLY_REJECTED"}, {208, "CORVANE_INTERFACE_NOT_AVAILABLE"}, {209, "CORVANE_RESET_IN_PROGRESS"},
    {210, "CORVANE_ADAPTER_REJECT"}, {211, "CORVANE_MISSING_INVALID_IE"}, {212, "CORVANE_INCOMING_ONLY"},
    {213, "CORVANE_SYSTEM_CONFIGURATION_CHANGED"}, {214, "CORVANE_RESOURCE_NO_MORE_AVAILABLE"},
    {215, "CORVANE_INCOMPATIBLE_MEDIA"}, {216, "CORVANE_RES_ALLOC_FAILED"}, {217, "CORVANE_DATA_PATH_NOT_AVAILABLE"},
    {218, "CORVANE_LOCAL_CONGESTION"}, {400, "400_BAD_REQUEST"}, {401, "401_UNAUTHORIZED"},
    {402, "402_PAYMENT_REQD"}, {403, "403_FORBIDDEN"}, {404, "404_NOT_FOUND"}, {405, "405_METHOD_NOT_ALLOWED"},
    {406, "406_NOT_ACCEPTABLE"}, {407, "407_PROXY_AUTH_REQD"}, {408, "408_REQ_TIMEOUT"}, {409, "409_CONFLICT"},
    {410, "410_GONE"}, {413, "413_REQ_ENTITY_TOO_LARGE"}, {414, "414_REQ_URI_TOO_LONG"}, {415, "415_UNSPRTD_MEDIA"},
    {416, "416_UNSPRTD_URI_SCHEME"}, {420, "420_BAD_EXTENSION"}, {421, "421_EXTENSION_REQUIRED"},
    {422, "422_SESSTIMER_TOO_SMALL"}, {423, "423_INTERVAL_TOO_BRIEF"}, {429, "429_REFERRER_IDENTITY_ERROR"},
    {480, "480_TEMP_UNAVAIL"}, {481, "481_CLEG_TRAN_NOT_EXIST"}, {482, "482_LOOP_DETECTED"},
    {483, "483_TOO_MANY_HOPS"}, {484, "484_ADDR_INCOMPLETE"}, {485, "485_AMBIGUOUS"}, {486, "486_BUSY_HERE"},
    {487, "487_REQ_TERMINATED"}, {488, "488_NOT_ACCEPTBLE_HERE"}, {489, "489_BAD_EVENT"}, {491, "491_RETRY_AFTER"},
    {500, "500_SRV_INT_ERROR"}, {501, "501_NOT_IMPLEMENTED"}, {502, "502_BAD_GATEWAY"},
    {503, "503_SERVICE_UNAVAIL"}, {504, "504_SERVER_TIMEOUT"}, {505, "505_VERSION_UNSUPPORTED"},
    {513, "513_MESSAGE_TOO_LARGE"}, {600, "600_BUSY_EVERYWHERE"}, {603, "603_DECLINE"},
    {604, "604_NOT_EXIST_ANYWHERE"}, {606, "606_NOT_ACCEPTABLE"},
};

/* Payload offsets of the call-control commands. */
constexpr u32 kOffsetVersion = 24;
constexpr u32 kOffsetWord7 = 28;
constexpr u32 kOffsetTransferExtra = 168;   /* transfer record, or a transfer response's reason */
constexpr u32 kOffsetTerminateReason = 40;
constexpr u32 kOffsetProfile = 32;
constexpr u32 kOffsetProfileFlag = 104;
constexpr u32 kOffsetCreateProtocol = 32;   /* create response: the protocol type */
constexpr u32 kOffsetCreateReason = 36;     /* create response: the call reason code */
constexpr u32 kProfileVersion = 2;

}  // namespace

const char* VqCmcSuppInfoName(u32 un32Type) { return FindName(kSuppInfoNames, un32Type); }
const char* VqCmcCallReasonName(u32 un32Code) { return FindName(kCallReasonNames, un32Code); }

CVQCMC_CALL_LEG_ATTRIBUTE* CVQCMCLeg::CallLegAttribute() const {
  if (mpAttributes.IsNull() || mpAttributes->GetLegType() != VQCMC_LEG_TYPE_CALL) return nullptr;
  return mpAttributes->GetCallLegAttribute();
}

/* ------------------------------------------------------------ command sequence */

template <class T, u32 id>
VQX_RESULT CVQCMCLeg::RunCommand(CVQCMCMessage<T, id>& Msg, const CommandLayout& L,
                                 CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute, IVQCMCErrorListener* pListener,
                                 u32 un32Version) {
  u8* pbyPayload = reinterpret_cast<u8*>(Msg.GetPayload());
  if (pbyPayload == nullptr) {
    return ReportFailure(L.pszLogOp, L.pszError, "Message allocation failed", VQX_RESULT_NOT_ENOUGH_MEMORY,
                         pListener, __LINE__);
  }
  const VQX_MSG_HANDLE hMsg = Msg.GetMsg();
  void* pvRecord = pbyPayload + L.un16RecordOffset;
  VQX_RESULT Result = VQX_RESULT_OK;
  const char* pszStep = "CopyLegCommon Failed";
  if (L.Record == LegRecord::Leg) {
    Result = CopyLeg(hMsg, static_cast<_VQCMC_LEG*>(pvRecord));
    pszStep = "CopyLeg Failed";
  } else if (L.Record == LegRecord::Update) {
    Result = CopyLegUpdate(hMsg, static_cast<_VQCMC_CALL_LEG_UPDATE*>(pvRecord));
    pszStep = "CopyLegUpdate Failed";
  } else {
    Result = CopyLegCommon(hMsg, static_cast<_VQCMC_COMMON_LEG*>(pvRecord));
  }
  if (VQX_RESULT_FAILED(Result)) return ReportFailure(L.pszLogOp, L.pszError, pszStep, Result, pListener, __LINE__);
  if (L.un16ProtocolOffset != 0) {
    auto* pProtocol = reinterpret_cast<_VQCMC_PROTOCOL_ATTRIBUTE*>(pbyPayload + L.un16ProtocolOffset);
    if (pAttribute != nullptr) {
      Result = pAttribute->CopyTo(hMsg, pProtocol);
      if (VQX_RESULT_FAILED(Result)) {
        return ReportFailure(L.pszLogOp, L.pszError, "CVQCMC_PROTOCOL_ATTRIBUTE CopyTo Failed", Result, pListener,
                             __LINE__);
      }
    }
    InsertGenericHeader(hMsg, pProtocol);
  }
  *VqCmcAt(pbyPayload, kOffsetVersion) = un32Version;
  return SendBuilt(Msg, L.pszLogOp, L.pszError, pListener);
}

VQX_RESULT CVQCMCLeg::CreateCall(CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute, IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = LibraryRefusal("CreateCall"); VQX_RESULT_FAILED(Refused)) return Refused;
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (mpAttributes.IsNull()) return VQX_RESULT_INVALID_PARAM;
  const u32 un32Type = mpAttributes->GetLegType();
  if (un32Type == VQCMC_LEG_TYPE_CALL) return CreateCallSignalingMedia(pAttribute, pListener);
  if (un32Type == VQCMC_LEG_TYPE_MEDIA_ONLY) return CreateCallMediaOnly(pListener);
  return VQX_RESULT_INVALID_PARAM;
}

VQX_RESULT CVQCMCLeg::CreateCallSignalingMedia(CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute,
                                               IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = LibraryRefusal("CreateCallSignalingMedia"); VQX_RESULT_FAILED(Refused)) return Refused;
  static const CommandLayout L{"CreateCall", "CVQCMCLeg::CreateCallSignalingMedia Failed", LegRecord::Leg,
                               VQCMC_CREATE_LEG_OFFSET, VQCMC_CREATE_PROTOCOL_OFFSET};
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_CALL_LEG_CREATE, VQCMC_MSG_CMD_CALL_LEG_CREATE> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (mState != VQCMC_CALL_LEG_STATE_OUTGOING) {
    LogTrace(VQLV1,
             "CVQCMCLeg::CreateCallSignalingMedia: This function can only be used on a call in the outgoing state.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  LogTrace(VQLV1, "CVQCMCLeg::CreateCallSignalingMedia\n");
  return RunCommand(Msg, L, pAttribute, pListener);
}

VQX_RESULT CVQCMCLeg::CreateCallMediaOnly(IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = LibraryRefusal("CreateCall"); VQX_RESULT_FAILED(Refused)) return Refused;
  static const CommandLayout L{"CreateCall", "CVQCMCLeg::CreateCall Failed", LegRecord::Leg,
                               VQCMC_CREATE_LEG_OFFSET, 0};
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_CALL_LEG_CREATE, VQCMC_MSG_CMD_CALL_LEG_CREATE> Msg(VQCMC_MSG_ELEMENT_ROOM);
  return RunCommand(Msg, L, nullptr, pListener);
}

VQX_RESULT CVQCMCLeg::AcceptCall(CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute, IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = LibraryRefusal("AcceptCall"); VQX_RESULT_FAILED(Refused)) return Refused;
  static const CommandLayout L{"AcceptCall", "CVQCMCLeg::AcceptCall Failed", LegRecord::Update, 32, 64};
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_CALL_LEG_ACCEPT, VQCMC_MSG_CMD_CALL_LEG_ACCEPT> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (mState != VQCMC_CALL_LEG_STATE_INCOMING) {
    LogTrace(VQLV1, "CVQCMCLeg::AcceptCall: This function can only be used on a call in the incoming state.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  LogTrace(VQLV1, "CVQCMCLeg::AcceptCall\n");
  mfAccepted = 1;
  return RunCommand(Msg, L, pAttribute, pListener);
}

VQX_RESULT CVQCMCLeg::AlertCall(CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute, IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = LibraryRefusal("AlertCall"); VQX_RESULT_FAILED(Refused)) return Refused;
  static const CommandLayout L{"AlertCall", "CVQCMCLeg::AlertCall Failed", LegRecord::Update, 32, 64};
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_CALL_LEG_ALERT, VQCMC_MSG_CMD_CALL_LEG_ALERT> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (mState != VQCMC_CALL_LEG_STATE_INCOMING) {
    LogTrace(VQLV1, "CVQCMCLeg::AlertCall: This function can only be used on a call in the incoming state.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  LogTrace(VQLV1, "CVQCMCLeg::AlertCall\n");
  mfAlerted = 1;
  return RunCommand(Msg, L, pAttribute, pListener);
}

VQX_RESULT CVQCMCLeg::AnswerCall(CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute, IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = LibraryRefusal("AnswerCall"); VQX_RESULT_FAILED(Refused)) return Refused;
  static const CommandLayout L{"AnswerCall", "CVQCMCLeg::AnswerCall Failed", LegRecord::Update, 32, 64};
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_CALL_LEG_ANSWER, VQCMC_MSG_CMD_CALL_LEG_ANSWER> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (mState != VQCMC_CALL_LEG_STATE_INCOMING) {
    LogTrace(VQLV1, "CVQCMCLeg::AnswerCall: This function can only be used on a call in the incoming state.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  LogTrace(VQLV1, "CVQCMCLeg::AnswerCall\n");
  mfAnswered = 1;
  const VQX_RESULT Result = RunCommand(Msg, L, pAttribute, pListener);
  if (VQX_RESULT_SUCCEEDED(Result)) mState = VQCMC_CALL_LEG_STATE_ANSWERED;
  return Result;
}

VQX_RESULT CVQCMCLeg::SendCallSuppInfo(_VQCMC_SUPP_INFO_MSG_TYPE Type, CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute,
                                       IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = LibraryRefusal("SendCallSuppInfo"); VQX_RESULT_FAILED(Refused)) return Refused;
  static const CommandLayout L{"SendCallSuppInfo", "CVQCMCLeg::SendCallSuppInfo Failed", LegRecord::Update, 32, 64};
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_CALL_SUPP_INFO, VQCMC_MSG_CMD_CALL_SUPP_INFO> Msg(VQCMC_MSG_ELEMENT_ROOM);
  LogTrace(VQLV1, "CVQCMCLeg::SendCallSuppInfo (%s)\n", VqCmcSuppInfoName(Type));
  if (Msg.GetPayload() != nullptr) *VqCmcAt(Msg.GetPayload(), kOffsetWord7) = Type;
  return RunCommand(Msg, L, pAttribute, pListener);
}

VQX_RESULT CVQCMCLeg::ProgressCall(CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute, IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = LibraryRefusal("ProgressCall"); VQX_RESULT_FAILED(Refused)) return Refused;
  CVQCMC_PROTOCOL_ATTRIBUTE Local;
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  const u32 un32Protocol = mpAttributes.IsNull() ? 0u : mpAttributes->GetProtocolType();
  if (un32Protocol == VQCMC_PROTOCOL_SS7) {
    return SendCallSuppInfo(VQCMC_SUPP_INFO_SS7_CALL_PROGRESS, pAttribute, pListener);
  }
  if (un32Protocol == VQCMC_PROTOCOL_ISDN) {
    return SendCallSuppInfo(VQCMC_SUPP_INFO_ISDN_CALL_PROGRESS, pAttribute, pListener);
  }
  if (un32Protocol == VQCMC_PROTOCOL_SIP) {
    CVQCMC_PROTOCOL_ATTRIBUTE* pSip = pAttribute != nullptr ? pAttribute : &Local;
    pSip->SetSipStatusCode(183, 0);
    return SendCallSuppInfo(VQCMC_SUPP_INFO_SIP_CALL_PROGRESS, pSip, pListener);
  }
  const VQX_RESULT Result = mpAttributes.IsNull() ? VQX_RESULT_INVALID_PARAM : VQX_RESULT_NOT_SUPPORTED;
  return ReportFailure("ProgressCall", "CVQCMCLeg::ProgressCall Failed",
                       mpAttributes.IsNull() ? "No leg attributes" : "Unsupported protocol", Result, pListener,
                       __LINE__);
}

VQX_RESULT CVQCMCLeg::CallTransferRequest(CVQCMC_CALL_TRANSFER const& Transfer, CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute,
                                          IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = LibraryRefusal("CallTransferRequest"); VQX_RESULT_FAILED(Refused)) return Refused;
  static const CommandLayout L{"CallTransferRequest", "CVQCMCLeg::CallTransferRequest Failed", LegRecord::Common, 32,
                               40};
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_CALL_TRANSFER_REQUEST, VQCMC_MSG_CMD_CALL_TRANSFER_REQUEST> Msg(
      VQCMC_MSG_ELEMENT_ROOM);
  if (mfBeingFreed != 0) return VQX_RESULT_INVALID_STATE;
  if (mState == VQCMC_CALL_LEG_STATE_TERMINATED) {
    LogTrace(VQLV1,
             "CVQCMCLeg::CallTransferRequest: This function cannot be used on a call in the terminating state.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  LogTrace(VQLV1, "CVQCMCLeg::CallTransferRequest (Number: %s)\n", Transfer.GetTransferNumber(nullptr));
  if (Msg.GetPayload() != nullptr) {
    Transfer.CopyTo(*VqCmcAt<_VQCMC_CALL_TRANSFER>(Msg.GetPayload(), kOffsetTransferExtra));
  }
  return RunCommand(Msg, L, pAttribute, pListener);
}

VQX_RESULT CVQCMCLeg::CallTransferProgress(CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute, IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = LibraryRefusal("CallTransferProgress"); VQX_RESULT_FAILED(Refused)) return Refused;
  static const CommandLayout L{"CallTransferProgress", "CVQCMCLeg::CallTransferProgress Failed", LegRecord::Common,
                               32, 40};
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_CALL_TRANSFER_PROGRESS, VQCMC_MSG_CMD_CALL_TRANSFER_PROGRESS> Msg(
      VQCMC_MSG_ELEMENT_ROOM);
  if (mfBeingFreed != 0) return VQX_RESULT_INVALID_STATE;
  if (mState == VQCMC_CALL_LEG_STATE_TERMINATED) {
    LogTrace(VQLV1,
             "CVQCMCLeg::CallTransferProgress: This function cannot be used on a call in the terminating state.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  LogTrace(VQLV1, "CVQCMCLeg::CallTransferProgress\n");
  return RunCommand(Msg, L, pAttribute, pListener);
}

VQX_RESULT CVQCMCLeg::CallTransferResponse(const _VQCMC_CALL_REASON& Reason, CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute,
                                           IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = LibraryRefusal("CallTransferResponse"); VQX_RESULT_FAILED(Refused)) return Refused;
  static const CommandLayout L{"CallTransferResponse", "CVQCMCLeg::CallTransferResponse Failed", LegRecord::Common,
                               32, 40};
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_CALL_TRANSFER_RESPONSE, VQCMC_MSG_CMD_CALL_TRANSFER_RESPONSE> Msg(
      VQCMC_MSG_ELEMENT_ROOM);
  if (mfBeingFreed != 0) return VQX_RESULT_INVALID_STATE;
  if (mState == VQCMC_CALL_LEG_STATE_TERMINATED) {
    LogTrace(VQLV1,
             "CVQCMCLeg::CallTransferResponse: This function cannot be used on a call in the terminating state.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  LogTrace(VQLV1, "CVQCMCLeg::CallTransferResponse (Reason: %s)\n", VqCmcCallReasonName(VqCmcReasonCode(Reason)));
  if (Msg.GetPayload() != nullptr) memcpy(VqCmcAt<u8>(Msg.GetPayload(), kOffsetTransferExtra), &Reason, sizeof(Reason));
  return RunCommand(Msg, L, pAttribute, pListener);
}

VQX_RESULT CVQCMCLeg::TerminateCall(_VQCMC_CALL_REASON& Reason, CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute,
                                    IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = LibraryRefusal("TerminateCall"); VQX_RESULT_FAILED(Refused)) return Refused;
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (mfSynchronized == 0) {
    LogTrace(VQLV3, "CVQCMCLeg::TerminateCall: Terminate was called when out of sync, ignoring...\n");
    return VQX_RESULT_INVALID_STATE;
  }
  if (mState == VQCMC_CALL_LEG_STATE_TERMINATED) {
    LogTrace(VQLV0, "CVQCMCLeg::TerminateCall: Terminate was already called before.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  if (mpAttributes.IsNull()) return VQX_RESULT_INVALID_PARAM;
  LogTrace(VQLV1, "CVQCMCLeg::TerminateCall\n");
  const _VQCMC_MSG_CALL_LEG_STATE OldState = mState;
  const u32 fOldTerminating = mfTerminating;
  mfTerminating = 1;
  mState = VQCMC_CALL_LEG_STATE_TERMINATED;
  OnSendTerminateCall(Reason);
  const u32 un32Type = mpAttributes->GetLegType();
  VQX_RESULT Result = VQX_RESULT_OK;
  if (un32Type == VQCMC_LEG_TYPE_CALL) {
    Result = TerminateCallSignalingMedia(Reason, pAttribute, pListener);
  } else if (un32Type == VQCMC_LEG_TYPE_MEDIA_ONLY) {
    Result = TerminateCallMediaOnly(Reason, pListener);
  } else if (un32Type == VQCMC_LEG_TYPE_UNSPECIFIED || un32Type == 3) {
    return VQX_RESULT_OK;
  }
  if (VQX_RESULT_FAILED(Result)) {
    // Nothing reached the server: the call is as it was, and the terminate may be tried again.
    mState = OldState;
    mfTerminating = fOldTerminating;
    return Result;
  }
  mfBeingFreed = 0;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::TerminateCall(unsigned int un32LegId, _VQCMC_CALL_REASON& Reason,
                                    CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute, IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = CVQCMCLib::CommandRefusal(); VQX_RESULT_FAILED(Refused)) return Refused;
  _VQCMC_LIB_LEG_PARAMS Params{};
  const VQX_RESULT Result = VQCmcLibLegFind(VqCmcLiveLibHandle(), un32LegId, &Params);
  if (VQX_RESULT_FAILED(Result)) return Result;
  if (Params.pvUserContext == nullptr) return VQX_RESULT_INVALID_CONTEXT;
  return static_cast<CVQCMCLeg*>(Params.pvUserContext)->TerminateCall(Reason, pAttribute, pListener);
}

VQX_RESULT CVQCMCLeg::TerminateCallSignalingMedia(_VQCMC_CALL_REASON& Reason, CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute,
                                                  IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = LibraryRefusal("TerminateCallSignalingMedia"); VQX_RESULT_FAILED(Refused)) {
    return Refused;
  }
  static const CommandLayout L{"TerminateCallSignalingMedia", "CVQCMCLeg::TerminateCallSignalingMedia Failed",
                               LegRecord::Common, 32, 56};
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_CALL_LEG_TERMINATE, VQCMC_MSG_CMD_CALL_LEG_TERMINATE> Msg(VQCMC_MSG_ELEMENT_ROOM);
  LogTrace(VQLV1, "CVQCMCLeg::TerminateCallSignalingMedia\n");
  if (Msg.GetPayload() != nullptr) {
    memcpy(VqCmcAt<u8>(Msg.GetPayload(), kOffsetTerminateReason), &Reason, sizeof(Reason));
  }
  return RunCommand(Msg, L, pAttribute, pListener);
}

VQX_RESULT CVQCMCLeg::TerminateCallMediaOnly(_VQCMC_CALL_REASON& Reason, IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = LibraryRefusal("TerminateCallMediaOnly"); VQX_RESULT_FAILED(Refused)) return Refused;
  static const CommandLayout L{"TerminateCallMediaOnly", "CVQCMCLeg::TerminateCallMediaOnly Failed",
                               LegRecord::Common, 32, 0};
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_CALL_LEG_TERMINATE, VQCMC_MSG_CMD_CALL_LEG_TERMINATE> Msg(VQCMC_MSG_ELEMENT_ROOM);
  LogTrace(VQLV1, "CVQCMCLeg::TerminateCallMediaOnly\n");
  if (Msg.GetPayload() != nullptr) {
    memcpy(VqCmcAt<u8>(Msg.GetPayload(), kOffsetTerminateReason), &Reason, sizeof(Reason));
  }
  return RunCommand(Msg, L, nullptr, pListener);
}

void CVQCMCLeg::RefuseLeg(_VQCMC_CALL_REASON_CODE Code, CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute) {
  bool fFreeNow = false;
  {
    CVQCAFMutexAutoGetGive Lock(mpMutex);
    LogTrace(VQLV1, "CVQCMCLeg::RefuseLeg\n");
    SetFreeListener(this);
    mfRefused = 1;
    _VQCMC_CALL_REASON Reason;
    VqCmcReasonInit(Reason, Code);
    if (VQX_RESULT_FAILED(TerminateCall(Reason, pAttribute, nullptr))) {
      // No terminated notification will come to free it: free it now, or at the
      // end of the message or event this call runs in.
      mfBeingFreed = 1;
      fFreeNow = mun32Dispatching == 0;
    }
  }
  if (fFreeNow) CheckFreeLeg();
}

VQX_RESULT CVQCMCLeg::ChangeProfile(IVQCMCErrorListener* pListener, unsigned int fFlag) {
  if (const VQX_RESULT Refused = LibraryRefusal("ChangeProfile"); VQX_RESULT_FAILED(Refused)) return Refused;
  static const char* const kError = "CVQCMCLeg::ChangeProfile Failed";
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_MEDIA_PROFILE_CHANGE, VQCMC_MSG_CMD_MEDIA_PROFILE_CHANGE> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (mfBeingFreed != 0) return VQX_RESULT_INVALID_STATE;
  if (mState == VQCMC_CALL_LEG_STATE_TERMINATED) {
    LogTrace(VQLV1, "CVQCMCLeg::ChangeProfile: This function cannot be used on a call in the terminating state.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  u8* pbyPayload = reinterpret_cast<u8*>(Msg.GetPayload());
  if (pbyPayload == nullptr) {
    return ReportFailure("ChangeProfile", kError, "Message allocation failed", VQX_RESULT_NOT_ENOUGH_MEMORY,
                         pListener, __LINE__);
  }
  *VqCmcAt(pbyPayload, kOffsetVersion) = kProfileVersion;
  *VqCmcAt<u8>(pbyPayload, kOffsetProfileFlag) = static_cast<u8>(fFlag);
  *VqCmcAt(pbyPayload, kOffsetWord7) = mun32LegId;
  // The profile's wire form goes straight into the command, its elements appended to it.
  const VQX_RESULT Result =
      GetProfile().WriteTo(Msg.GetMsg(), VqCmcAt<_VQCMC_MEDIA_PROFILE>(pbyPayload, kOffsetProfile));
  if (VQX_RESULT_FAILED(Result)) {
    return ReportFailure("ChangeProfile", kError, "VQCmcLibMsgCopyMediaProfile Failed", Result, pListener, __LINE__);
  }
  return SendBuilt(Msg, "ChangeProfile", kError, pListener);
}

VQX_RESULT CVQCMCLeg::GetStats(IVQCMCErrorListener* pListener) {
  if (const VQX_RESULT Refused = LibraryRefusal("GetStats"); VQX_RESULT_FAILED(Refused)) return Refused;
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_GET_STATS, VQCMC_MSG_CMD_GET_STATS> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (mfBeingFreed != 0) return VQX_RESULT_INVALID_STATE;
  if (Msg.GetPayload() == nullptr) {
    return ReportFailure("GetStats", "CVQCMCLeg::GetStats Failed", "Message allocation failed",
                         VQX_RESULT_NOT_ENOUGH_MEMORY, pListener, __LINE__);
  }
  *VqCmcAt(Msg.GetPayload(), kOffsetVersion) = 1;
  *VqCmcAt(Msg.GetPayload(), kOffsetWord7) = mun32LegId;
  return SendBuilt(Msg, "GetStats", "CVQCMCLeg::GetStats Failed", pListener);
}

/* ------------------------------------------------------------ responses */

void CVQCMCLeg::OnCreateCallResponse(_VQCMC_MSG_CMD_CALL_LEG_CREATE* pPayload, unsigned int* pfHandled) {
  if (pPayload != nullptr && static_cast<i32>(*VqCmcAt(pPayload, kOffsetWord7)) < 0) {
    mState = VQCMC_CALL_LEG_STATE_TERMINATED;
    mfTerminating = 1;
  }
  Unhandled(pfHandled);
}

VQX_RESULT CVQCMCLeg::HandleCreateCallResponse(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_CALL_LEG_CREATE, VQCMC_MSG_CMD_CALL_LEG_CREATE> Msg(VqCmcTake(phMsg));
  _VQCMC_MSG_CMD_CALL_LEG_CREATE* pPayload = VqCmcPayload(Msg);
  if (pPayload == nullptr) {
    LogFailure("HandleCreateCallResponse", "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  const u32 un32Protocol = *VqCmcAt(pPayload, kOffsetCreateProtocol);
  if (CVQCMC_CALL_LEG_ATTRIBUTE* pCall = CallLegAttribute(); pCall != nullptr && un32Protocol != 0) {
    pCall->GetProtocolType() = un32Protocol;
  }
  const u32 un32Result = *VqCmcAt(pPayload, kOffsetWord7);
  unsigned int fHandled = 0;
  OnCreateCallResponse(pPayload, &fHandled);
  const VQX_RESULT Result =
      HandleResponse(Msg.GetMsg(), fHandled, un32Result, "CreateCall() Request failed on CMC server");
  if (VQX_RESULT_FAILED(Result)) {
    LogFailure("HandleCreateCallResponse", "HandleResponse Failed", 0, Result, __LINE__);
    return Result;
  }
  if (static_cast<i32>(un32Result) < 0) {
    // A refused create closes the leg in the core library: nothing else will be answered.
    FailPendingRequests(VQX_RESULT_INVALID_STATE, kVqCmcLostToEnd);
    CVQCMC_PROTOCOL_ATTRIBUTE Attribute;
    _VQCMC_CALL_REASON Reason;
    VqCmcReasonInit(Reason, *VqCmcAt(pPayload, kOffsetCreateReason));
    OnCallTerminated(Reason, Attribute);
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::HandleAcceptCallResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_CALL_LEG_ACCEPT, VQCMC_MSG_CMD_CALL_LEG_ACCEPT>(
      phMsg, &CVQCMCLeg::OnAcceptCallResponse, "HandleAcceptCallResponse", "AcceptCall() Request failed on CMC server");
}

VQX_RESULT CVQCMCLeg::HandleAlertCallResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_CALL_LEG_ALERT, VQCMC_MSG_CMD_CALL_LEG_ALERT>(
      phMsg, &CVQCMCLeg::OnAlertCallResponse, "HandleAlertCallResponse", "AlertCall() Request failed on CMC server");
}

VQX_RESULT CVQCMCLeg::HandleAnswerCallResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_CALL_LEG_ANSWER, VQCMC_MSG_CMD_CALL_LEG_ANSWER>(
      phMsg, &CVQCMCLeg::OnAnswerCallResponse, "HandleAnswerCallResponse",
      "AnswerCall() Request failed on CMC server");
}

VQX_RESULT CVQCMCLeg::HandleTerminateCallResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_CALL_LEG_TERMINATE, VQCMC_MSG_CMD_CALL_LEG_TERMINATE>(
      phMsg, &CVQCMCLeg::OnTerminateCallResponse, "HandleTerminateCallResponse",
      "TerminateCall() Request failed on CMC server");
}

VQX_RESULT CVQCMCLeg::HandleSendCallSuppInfoResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_CALL_SUPP_INFO, VQCMC_MSG_CMD_CALL_SUPP_INFO>(
      phMsg, &CVQCMCLeg::OnSendCallSuppInfoResponse, "HandleSendCallSuppInfoResponse",
      "SendCallSuppInfo() Request failed on CMC server");
}

VQX_RESULT CVQCMCLeg::HandleGetStatsResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_GET_STATS, VQCMC_MSG_CMD_GET_STATS>(
      phMsg, &CVQCMCLeg::OnGetStatsResponse, "HandleGetStatsResponse",
      "GetStats() Request failed on CMC server classes/cmc/CVQCMCLeg:5714");
}

VQX_RESULT CVQCMCLeg::HandleChangeProfileResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_MEDIA_PROFILE_CHANGE, VQCMC_MSG_CMD_MEDIA_PROFILE_CHANGE>(
      phMsg, &CVQCMCLeg::OnChangeProfileResponse, "HandleChangeProfileResponse",
      "ChangeProfile() Request failed on CMC server classes/cmc/CVQCMCLeg:6353");
}

VQX_RESULT CVQCMCLeg::HandleSendCallTransferReqResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_CALL_TRANSFER_REQUEST, VQCMC_MSG_CMD_CALL_TRANSFER_REQUEST>(
      phMsg, &CVQCMCLeg::OnCallTransferRequestResponse, "HandleSendCallTransferReqResponse",
      "SendCallTransferRequest() Request failed on CMC server");
}

VQX_RESULT CVQCMCLeg::HandleSendCallTransferProgressResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_CALL_TRANSFER_PROGRESS, VQCMC_MSG_CMD_CALL_TRANSFER_PROGRESS>(
      phMsg, &CVQCMCLeg::OnCallTransferProgressResponse, "HandleSendCallTransferProgressResponse",
      "SendCallTransferProgress() Request failed on CMC server");
}

VQX_RESULT CVQCMCLeg::HandleSendCallTransferRspResponse(VQX_MSG_HANDLE* phMsg) {
  return HandleCallResponse<_VQCMC_MSG_CMD_CALL_TRANSFER_RESPONSE, VQCMC_MSG_CMD_CALL_TRANSFER_RESPONSE>(
      phMsg, &CVQCMCLeg::OnCallTransferResponseResponse, "HandleSendCallTransferRspResponse",
      "SendCallTransferResponse() Request failed on CMC server");
}

}  // namespace VQCAF
